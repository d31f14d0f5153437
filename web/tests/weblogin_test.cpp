// The login guard on a test clock: failures counted per address and per name within the window,
// refusal periods that double up to their cap, the name forgotten at a right login but not the
// address, the caps on logins in progress, and a bounded memory of addresses.
#include "weblogin.h"

#include <gtest/gtest.h>

using namespace vornweb;
using namespace std::chrono_literals;

namespace {

struct SGuard {
    CLoginGuard::Clock::time_point now = CLoginGuard::Clock::now();
    CLoginGuard guard;
    explicit SGuard(SLoginLimits limits) : guard(limits, [this] { return now; }) {}

    // The verdict, and the wait in seconds when refused.
    std::pair<eLoginVerdict, long long> admit(const std::string& address, const std::string& name) {
        std::unique_ptr<CLoginSlot> slot;
        std::chrono::seconds retry{0};
        bool first = false;
        const eLoginVerdict verdict = guard.admit(address, name, slot, retry, first);
        return {verdict, retry.count()};
    }
};

SLoginLimits limits() {
    SLoginLimits l;
    l.failures = 3;
    l.window = 60s;
    l.firstDelay = 2s;
    l.maxDelay = 10s;
    return l;
}

} // namespace

TEST(WebLoginGuard, RefusesAnAddressForDoublingPeriodsAfterTooManyFailures) {
    SGuard g(limits());
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(eLoginVerdict::eGo, g.admit("10.0.0.1", "n" + std::to_string(i)).first);
        g.guard.failed("10.0.0.1", "n" + std::to_string(i));
    }
    EXPECT_EQ(std::make_pair(eLoginVerdict::eThrottled, 2LL), g.admit("10.0.0.1", "other"));
    EXPECT_EQ(eLoginVerdict::eGo, g.admit("10.0.0.2", "other").first);
    g.now += 2s;
    EXPECT_EQ(eLoginVerdict::eGo, g.admit("10.0.0.1", "x").first);
    // Each further failure doubles the period, up to the cap.
    const long long expected[] = {4, 8, 10, 10};
    for (long long wait : expected) {
        g.guard.failed("10.0.0.1", "x");
        EXPECT_EQ(std::make_pair(eLoginVerdict::eThrottled, wait), g.admit("10.0.0.1", "y"));
        g.now += std::chrono::seconds(wait);
    }
    // Failures age out of the window.
    g.now += 61s;
    EXPECT_EQ(eLoginVerdict::eGo, g.admit("10.0.0.1", "y").first);
}

TEST(WebLoginGuard, NamesAreCountedAcrossAddressesAndForgottenAtARightLogin) {
    SGuard g(limits());
    for (int i = 0; i < 3; ++i)
        g.guard.failed("10.0.1." + std::to_string(i), "ann");
    EXPECT_EQ(eLoginVerdict::eThrottled, g.admit("10.0.2.1", "ann").first);
    EXPECT_EQ(eLoginVerdict::eGo, g.admit("10.0.2.1", "bob").first);
    g.guard.succeeded("ann");
    EXPECT_EQ(eLoginVerdict::eGo, g.admit("10.0.2.1", "ann").first);
    // An address's failures stay after one of its logins succeeds.
    for (int i = 0; i < 3; ++i)
        g.guard.failed("10.0.3.1", "n" + std::to_string(i));
    g.guard.succeeded("mallory");
    EXPECT_EQ(eLoginVerdict::eThrottled, g.admit("10.0.3.1", "mallory").first);
}

TEST(WebLoginGuard, FirstRefusalOfAPeriodIsReportedOnce) {
    SGuard g(limits());
    for (int i = 0; i < 3; ++i)
        g.guard.failed("10.0.0.1", "ann");
    std::unique_ptr<CLoginSlot> slot;
    std::chrono::seconds retry{0};
    bool first = false;
    g.guard.admit("10.0.0.1", "ann", slot, retry, first);
    EXPECT_TRUE(first);
    g.guard.admit("10.0.0.1", "ann", slot, retry, first);
    EXPECT_FALSE(first);
}

TEST(WebLoginGuard, LoginsInProgressAreCappedInAllAndPerAddress) {
    SLoginLimits l = limits();
    l.inFlight = 3;
    l.inFlightPerAddress = 2;
    SGuard g(l);
    std::unique_ptr<CLoginSlot> a, b, c, d;
    std::chrono::seconds retry{0};
    bool first = false;
    EXPECT_EQ(eLoginVerdict::eGo, g.guard.admit("10.0.0.1", "n", a, retry, first));
    EXPECT_EQ(eLoginVerdict::eGo, g.guard.admit("10.0.0.1", "n", b, retry, first));
    EXPECT_EQ(eLoginVerdict::eBusy, g.guard.admit("10.0.0.1", "n", c, retry, first));
    EXPECT_EQ(eLoginVerdict::eGo, g.guard.admit("10.0.0.2", "n", c, retry, first));
    EXPECT_EQ(eLoginVerdict::eBusy, g.guard.admit("10.0.0.3", "n", d, retry, first));
    a.reset();
    EXPECT_EQ(eLoginVerdict::eGo, g.guard.admit("10.0.0.3", "n", d, retry, first));
    EXPECT_EQ(eLoginVerdict::eBusy, g.guard.admit("10.0.0.1", "n", a, retry, first));
}

TEST(WebLoginGuard, RemembersABoundedNumberOfAddressesKeepingTheLatest) {
    SLoginLimits l = limits();
    l.tracked = 100;
    SGuard g(l);
    for (int i = 0; i < 3; ++i)
        g.guard.failed("10.9.9.9", "x");
    // A flood of other addresses forgets the older ones, not the one failing just now.
    for (int i = 0; i < 1000; ++i) {
        g.now += 1ms;
        g.guard.failed("10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256),
                       "y" + std::to_string(i));
    }
    EXPECT_EQ(eLoginVerdict::eGo, g.admit("10.9.9.9", "z").first);
    g.guard.failed("10.9.9.9", "z");
    g.guard.failed("10.9.9.9", "z");
    g.guard.failed("10.9.9.9", "z");
    EXPECT_EQ(eLoginVerdict::eThrottled, g.admit("10.9.9.9", "w").first);
}
