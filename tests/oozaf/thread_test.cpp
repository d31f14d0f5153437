// Tests of the thread object and the timed event.
// ctest-labels: threaded
#include "expect_throw.h"

#include <oozaf/thread.h>
#include <oozaf/throwable.h>

#include <atomic>
#include <gtest/gtest.h>

using namespace oozaf;

namespace {

void* returnArgument(void* argument) { return argument; }

struct SWaiter {
    CZAFEvent* event;
    std::atomic<bool> waiting{false};
    std::atomic<bool> woken{false};
};

void* waitForSignal(void* argument) {
    auto* waiter = static_cast<SWaiter*>(argument);
    waiter->waiting = true;
    waiter->woken = waiter->event->wait(10000);
    return nullptr;
}

} // namespace

TEST(Event, DeadlineNormalisesNanoseconds) {
    timespec deadline = CZAFEvent::computeDeadline(100, 999999, 1500);
    EXPECT_EQ(102, deadline.tv_sec);
    EXPECT_EQ(499999000, deadline.tv_nsec);
    deadline = CZAFEvent::computeDeadline(5, 0, 0);
    EXPECT_EQ(5, deadline.tv_sec);
    EXPECT_EQ(0, deadline.tv_nsec);
    deadline = CZAFEvent::computeDeadline(0, 999999, 4294967294u);
    EXPECT_EQ(4294967 + 1, deadline.tv_sec);
    EXPECT_LT(deadline.tv_nsec, 1000000000);
}

TEST(Event, TimesOutAndLosesSignalsWithoutWaiter) {
    CZAFEvent event("thread_test", __LINE__);
    EXPECT_FALSE(event.wait(0));
    event.signal(); // nobody waits: lost
    EXPECT_FALSE(event.wait(50));
}

TEST(Event, SignalWakesAWaiter) {
    CZAFEvent event("thread_test", __LINE__);
    SWaiter waiter{&event};
    CZAFThread thread;
    thread.start(waitForSignal, &waiter);
    // Signal until the waiter has woken; a signal sent before it waits is lost, so repeat.
    for (int i = 0; i < 1000 && !waiter.woken; ++i) {
        if (waiter.waiting)
            event.signal();
        CZAFThread::sleep(5);
    }
    thread.join();
    EXPECT_TRUE(waiter.woken);
}

TEST(Thread, StartJoinCycleAndMisuse) {
    CZAFThread thread;
    EXPECT_FALSE(thread.isStarted());
    auto joinIdle = expectThrow<CZAFInternalError>([&] { thread.join(); });
    EXPECT_TRUE(joinIdle);
    auto nullFunction = expectThrow<CZAFInternalError>([&] { thread.start(nullptr, nullptr); });
    EXPECT_TRUE(nullFunction);

    int token = 7;
    thread.start(returnArgument, &token);
    EXPECT_TRUE(thread.isStarted());
    auto twice = expectThrow<CZAFInternalError>([&] { thread.start(returnArgument, nullptr); });
    ASSERT_TRUE(twice);
    EXPECT_NE(std::string::npos, twice->getMessage().find("message : Assertion Failed"));
    auto early = expectThrow<CZAFInternalError>([&] { thread.getRc(); });
    EXPECT_TRUE(early);
    thread.join();
    EXPECT_FALSE(thread.isStarted());
    EXPECT_EQ(&token, thread.getRc());

    // Reusable after join.
    thread.start(returnArgument, nullptr);
    thread.join();
    EXPECT_EQ(nullptr, thread.getRc());
}

TEST(Thread, CancelStopsABlockedThread) {
    CZAFEvent event("thread_test", __LINE__);
    SWaiter waiter{&event};
    CZAFThread thread;
    thread.start(waitForSignal, &waiter);
    thread.cancel();
    thread.join();
    EXPECT_FALSE(waiter.woken);
}
