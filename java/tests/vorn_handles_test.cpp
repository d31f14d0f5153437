// The bridge's table of engine contexts: handles that are not live find nothing, slots come back
// with new generations, the bound, and a release deferred to the last running call.
// ctest-labels: threaded
#include "vorn_handles.h"

#include <atomic>
#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <vector>

using orxjava::CVornHandleTable;
using orxjava::CVornUse;

namespace {

ZAFvornContext* newContext() {
    ZAFvornContext* context = nullptr;
    EXPECT_EQ(kZAFvorn_OK, ZAFvornInit(&context));
    return context;
}

bool isLive(CVornHandleTable& table, int32_t handle) {
    CVornUse use(table, handle);
    return use.context() != nullptr;
}

} // namespace

TEST(VornHandles, OnlyLiveHandlesFindTheirContexts) {
    CVornHandleTable table;
    ZAFvornContext* context = newContext();
    const int32_t handle = table.add(context);
    ASSERT_GT(handle, 0);
    {
        CVornUse use(table, handle);
        EXPECT_EQ(context, use.context());
    }
    for (int32_t bad : {0, -1, handle + 1, handle ^ (1 << CVornHandleTable::kSlotBits),
                        handle + CVornHandleTable::kSlots, INT32_MIN, INT32_MAX})
        EXPECT_FALSE(isLive(table, bad)) << bad;
    EXPECT_EQ(0, table.add(nullptr));

    EXPECT_EQ(context, table.remove(handle));
    ZAFvornCleanUp(context);
    EXPECT_EQ(nullptr, table.remove(handle)); // twice: nothing
    EXPECT_FALSE(isLive(table, handle));
    EXPECT_EQ(0, table.live());
}

TEST(VornHandles, ReusedSlotsRefuseTheirEarlierHandles) {
    CVornHandleTable table;
    std::set<int32_t> old;
    ZAFvornContext* context = newContext();
    for (int i = 0; i < 3 * CVornHandleTable::kSlots; ++i) {
        const int32_t handle = table.add(context);
        ASSERT_GT(handle, 0);
        ASSERT_TRUE(old.insert(handle).second) << "handle given twice: " << handle;
        ASSERT_EQ(context, table.remove(handle));
    }
    const int32_t live = table.add(context);
    ASSERT_TRUE(isLive(table, live));
    for (int32_t handle : old) {
        EXPECT_FALSE(isLive(table, handle)) << handle;
        EXPECT_EQ(nullptr, table.remove(handle));
    }
    EXPECT_TRUE(isLive(table, live));
    EXPECT_EQ(context, table.remove(live));
    ZAFvornCleanUp(context);
}

TEST(VornHandles, AFullTableRefusesUntilASlotIsFree) {
    CVornHandleTable table;
    ZAFvornContext* context = newContext();
    std::vector<int32_t> handles;
    for (int i = 0; i < CVornHandleTable::kSlots; ++i)
        handles.push_back(table.add(context));
    EXPECT_EQ(0, table.add(context));
    EXPECT_EQ(CVornHandleTable::kSlots, table.live());
    EXPECT_EQ(context, table.remove(handles[17]));
    const int32_t again = table.add(context);
    EXPECT_GT(again, 0);
    EXPECT_NE(handles[17], again);
    handles[17] = again;
    for (int32_t handle : handles)
        EXPECT_EQ(context, table.remove(handle));
    EXPECT_EQ(0, table.live());
    ZAFvornCleanUp(context);
}

TEST(VornHandles, ARemovalWhileCallsRunIsLeftToTheLastCall) {
    CVornHandleTable table;
    const int32_t handle = table.add(newContext());
    {
        CVornUse first(table, handle);
        CVornUse second(table, handle);
        ASSERT_NE(nullptr, first.context());
        EXPECT_EQ(nullptr, table.remove(handle)); // the calls still run
        EXPECT_FALSE(isLive(table, handle));      // but no new call starts
        EXPECT_EQ(nullptr, table.remove(handle));
        EXPECT_EQ(1, table.live());
        // The engine context is still usable by the running calls.
        unsigned char* out = nullptr;
        unsigned char* err = nullptr;
        size_t outLength = 0, errLength = 0;
        EXPECT_EQ(0, ZAFvorn(second.context(), "--version", nullptr, 0, &out, &outLength, &err,
                             &errLength));
        ZAFvornFree(second.context(), out);
        ZAFvornFree(second.context(), err);
    } // the last use releases the context (a leak or a double release shows in the ASan build)
    EXPECT_EQ(0, table.live());
}

TEST(VornHandles, ThreadsUsingAndRemovingHandlesAtOnce) {
    CVornHandleTable table;
    constexpr int kRounds = 200;
    std::atomic<int32_t> current{0};
    std::atomic<bool> done{false};
    std::atomic<long> uses{0};
    std::vector<std::thread> users;
    for (int t = 0; t < 2; ++t)
        users.emplace_back([&] {
            while (!done.load()) {
                {
                    CVornUse use(table, current.load());
                    if (use.context() != nullptr)
                        uses++;
                }
                std::this_thread::yield();
            }
        });
    for (int i = 0; i < kRounds; ++i) {
        const int32_t handle = table.add(newContext());
        EXPECT_GT(handle, 0);
        const long before = uses.load();
        current = handle;
        for (int spin = 0; spin < 100000 && uses.load() == before; ++spin)
            std::this_thread::yield(); // until a user thread got hold of it, within a bound
        if (ZAFvornContext* context = table.remove(handle))
            ZAFvornCleanUp(context);
    }
    done = true;
    for (std::thread& t : users)
        t.join();
    EXPECT_EQ(0, table.live());
}
