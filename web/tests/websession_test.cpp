// The session store: identifiers, idle expiry on a test clock, the session limit, and many
// request threads at once.
// ctest-labels: threaded
#include "websession.h"

#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <vector>

using namespace vornweb;
using namespace std::chrono_literals;

namespace {

// A clock the test moves by hand.
struct STestClock {
    std::atomic<Clock::rep> now{Clock::now().time_since_epoch().count()};
    std::function<Clock::time_point()> function() {
        return [this] { return Clock::time_point(Clock::duration(now.load())); };
    }
    void advance(Clock::duration by) { now += by.count(); }
};

} // namespace

TEST(WebSessions, FreshRandomIdentifiersAndTokens) {
    CSessionStore store(8, 60s);
    std::set<std::string> seen;
    for (int i = 0; i < 8; ++i) {
        auto session = store.create("ann", nullptr);
        ASSERT_TRUE(session);
        EXPECT_EQ(64u, session->id().size());
        EXPECT_EQ(64u, session->csrf().size());
        EXPECT_NE(session->id(), session->csrf());
        EXPECT_TRUE(seen.insert(session->id()).second);
        EXPECT_TRUE(seen.insert(session->csrf()).second);
        EXPECT_EQ("ann", session->user());
        EXPECT_EQ(session, store.find(session->id(), true));
    }
    EXPECT_EQ(nullptr, store.find("", true));
    EXPECT_EQ(nullptr, store.find(std::string(64, '0'), true));
}

TEST(WebSessions, IdleSessionsExpireAndUseKeepsThemAlive) {
    STestClock clock;
    CSessionStore store(4, 10s, clock.function());
    auto used = store.create("ann", nullptr);
    auto idle = store.create("bob", nullptr);
    auto polled = store.create("cy", nullptr);
    for (int i = 0; i < 3; ++i) {
        clock.advance(6s);
        EXPECT_TRUE(store.find(used->id(), true));
        // A look-up that does not count as use (the page's state poll) does not keep it alive.
        if (i == 0) {
            EXPECT_TRUE(store.find(polled->id(), false));
        }
    }
    eLookup result = eLookup::eFound;
    EXPECT_EQ(nullptr, store.find(idle->id(), true, &result));
    EXPECT_EQ(eLookup::eExpired, result);
    // Still reported as expired, not unknown, on the next look-up.
    EXPECT_EQ(nullptr, store.find(idle->id(), true, &result));
    EXPECT_EQ(eLookup::eExpired, result);
    EXPECT_EQ(nullptr, store.find(polled->id(), false, &result));
    EXPECT_EQ(eLookup::eExpired, result);
    EXPECT_EQ(nullptr, store.find("unknown", true, &result));
    EXPECT_EQ(eLookup::eUnknown, result);
    EXPECT_EQ(1u, store.size());
}

TEST(WebSessions, SweepEndsIdleSessionsThatNoRequestUses) {
    STestClock clock;
    CSessionStore store(4, 10s, clock.function());
    auto busy = store.create("ann", nullptr);
    auto idle = store.create("bob", nullptr);
    ++busy->inUse(); // a key generation that runs for longer than the idle time
    clock.advance(11s);
    EXPECT_EQ(1u, store.sweep());
    EXPECT_EQ(1u, store.size());
    EXPECT_TRUE(store.find(busy->id(), false));
    --busy->inUse();
    busy->touch(clock.function()());
    clock.advance(5s);
    EXPECT_EQ(0u, store.sweep());
    clock.advance(6s);
    EXPECT_EQ(1u, store.sweep());
    EXPECT_EQ(0u, store.size());
    eLookup result = eLookup::eFound;
    store.find(idle->id(), false, &result);
    EXPECT_EQ(eLookup::eExpired, result);
}

TEST(WebSessions, LimitOnSessionsAtOnce) {
    CSessionStore store(2, 60s);
    auto a = store.create("a", nullptr);
    auto b = store.create("b", nullptr);
    EXPECT_TRUE(store.full());
    EXPECT_EQ(nullptr, store.create("c", nullptr));
    EXPECT_TRUE(store.remove(a->id()));
    EXPECT_FALSE(store.remove(a->id()));
    EXPECT_FALSE(store.full());
    EXPECT_TRUE(store.create("c", nullptr));
    // A logged-out session is unknown, not expired.
    eLookup result = eLookup::eFound;
    EXPECT_EQ(nullptr, store.find(a->id(), true, &result));
    EXPECT_EQ(eLookup::eUnknown, result);
    store.clear();
    EXPECT_EQ(0u, store.size());
}

// A user's sessions beyond the cap: the least recently used one that no request is using ends
// (and says so when it is looked up); when all are busy the new one is refused instead.
TEST(WebSessions, PerUserCapReplacesTheLeastRecentlyUsedIdleSession) {
    STestClock clock;
    CSessionStore store(16, 600s, clock.function(), 3);
    std::vector<std::shared_ptr<CWebSession>> ann;
    for (int i = 0; i < 3; ++i) {
        ann.push_back(store.create("ann", nullptr));
        clock.advance(1s);
    }
    auto bob = store.create("bob", nullptr);
    store.find(ann[0]->id(), true); // ann[1] is now the least recently used
    clock.advance(1s);
    std::string replaced;
    bool userFull = true;
    auto fourth = store.create("ann", nullptr, &replaced, &userFull);
    ASSERT_TRUE(fourth);
    EXPECT_FALSE(userFull);
    EXPECT_EQ(ann[1]->id(), replaced);
    eLookup result = eLookup::eFound;
    EXPECT_EQ(nullptr, store.find(ann[1]->id(), true, &result));
    EXPECT_EQ(eLookup::eReplaced, result);
    EXPECT_TRUE(store.find(ann[0]->id(), true));
    EXPECT_TRUE(store.find(bob->id(), true));
    EXPECT_EQ(4u, store.size());

    // A session in use is never the one replaced; with all in use the login is refused.
    ++ann[0]->inUse();
    ++ann[2]->inUse();
    ++fourth->inUse();
    replaced.clear();
    EXPECT_EQ(nullptr, store.create("ann", nullptr, &replaced, &userFull));
    EXPECT_TRUE(userFull);
    EXPECT_EQ("", replaced);
    EXPECT_EQ(4u, store.size());
}

TEST(WebSessions, OneRequestAtATimePerSession) {
    CBusyGate gate;
    ASSERT_TRUE(gate.enter(1s));
    std::atomic<bool> entered{false};
    std::thread waiter([&] {
        CGateHold hold(gate, 30s);
        entered = hold.held();
    });
    // A second holder gives up after its limit while the first one stays.
    EXPECT_FALSE(CGateHold(gate, 10ms).held());
    gate.leave();
    waiter.join();
    EXPECT_TRUE(entered);
    EXPECT_TRUE(CGateHold(gate, 0s).held());
}

TEST(WebSessions, CookieAttributes) {
    const std::string cookie = gSessionCookie("abc");
    EXPECT_EQ(0u, cookie.find("__Host-orxweb=abc;"));
    for (const char* part : {"; Path=/", "; Secure", "; HttpOnly", "; SameSite=Strict"})
        EXPECT_NE(std::string::npos, cookie.find(part)) << part;
    EXPECT_EQ(std::string::npos, cookie.find("Domain"));
    const std::string cleared = gClearedSessionCookie();
    EXPECT_EQ(0u, cleared.find("__Host-orxweb=;"));
    EXPECT_NE(std::string::npos, cleared.find("Max-Age=0"));
}

TEST(WebSessions, ManyThreadsAtOnce) {
    STestClock clock;
    CSessionStore store(16, 10s, clock.function());
    std::atomic<int> made{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                auto session = store.create("u" + std::to_string(t), nullptr);
                if (!session) {
                    ++refused;
                    store.sweep();
                    continue;
                }
                ++made;
                CGateHold hold(session->busy(), 1s);
                ASSERT_TRUE(hold.held());
                session->touch(clock.function()());
                EXPECT_EQ(session, store.find(session->id(), true));
                if (i % 3 == 0)
                    clock.advance(1s);
                if (i % 2 == 0)
                    store.remove(session->id());
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(1600, made + refused);
    EXPECT_LE(store.size(), 16u);
}
