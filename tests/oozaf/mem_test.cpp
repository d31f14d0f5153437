// Tests of the tracking memory manager behind CZAFObj.
// ctest-labels: threaded
#include "expect_throw.h"

#include <oozaf/mem.h>
#include <oozaf/obj.h>
#include <oozaf/throwable.h>

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

using namespace oozaf;

namespace {

struct CSmall final : CZAFObj {
    char payload[16];
};
struct CLarge final : CZAFObj {
    char payload[32];
};

std::string report(CZAFMemoryManager& manager) {
    std::ostringstream out;
    out << manager;
    return out.str();
}

} // namespace

TEST(MemoryManager, EmptyReportAndDeleteOfNull) {
    CZAFMemoryManager manager;
    EXPECT_EQ("No outstanding allocations.\n", report(manager));
    void* block = nullptr;
    manager.deallocate(block);
    EXPECT_EQ(nullptr, block);
}

TEST(MemoryManager, ReportListsBlocksInAddressOrderWithTotal) {
    CZAFObjMemoryManager manager;
    void* a = manager.allocate(sizeof(CSmall));
    void* b = manager.allocate(sizeof(CLarge));
    auto* small = ::new (a) CSmall();
    auto* large = ::new (b) CLarge();
    std::string text = report(manager);
    EXPECT_EQ(0u, text.find("Outstanding allocations:\n------------------------\n\n"));
    std::size_t first = text.find("type = ");
    std::size_t second = text.find("type = ", first + 1);
    ASSERT_NE(std::string::npos, second);
    EXPECT_EQ(std::string::npos, text.find("type = ", second + 1));
    // Lower address first.
    void* low = std::min(a, b);
    std::ostringstream lowHex;
    lowHex << "address = 0x" << std::hex << reinterpret_cast<std::uintptr_t>(low) << ",";
    EXPECT_LT(text.find(lowHex.str()), second);
    EXPECT_NE(std::string::npos, text.find(typeid(CSmall).name()));
    std::size_t total = sizeof(CSmall) + sizeof(CLarge);
    EXPECT_NE(std::string::npos,
              text.find("\nTotal unfreed bytes: " + std::to_string(total) + "\n"));
    small->~CSmall();
    large->~CLarge();
    manager.deallocate(a);
    manager.deallocate(b);
    EXPECT_EQ(nullptr, a);
    EXPECT_EQ("No outstanding allocations.\n", report(manager));
}

TEST(MemoryManager, PlainManagerPrintsAddressAndSize) {
    CZAFMemoryManager manager;
    void* block = manager.allocate(24);
    std::ostringstream expected;
    expected << "address = 0x" << std::hex << reinterpret_cast<std::uintptr_t>(block) << std::dec
             << ", size = 24 bytes\n";
    EXPECT_NE(std::string::npos, report(manager).find(expected.str()));
    manager.deallocate(block);
}

TEST(MemoryManager, BlocksAreZeroFilledAndReallocateKeepsContents) {
    CZAFMemoryManager manager;
    auto* block = static_cast<unsigned char*>(manager.allocate(64));
    EXPECT_TRUE(std::all_of(block, block + 64, [](unsigned char c) { return c == 0; }));
    std::memset(block, 0xAB, 64);

    auto* grown = static_cast<unsigned char*>(manager.reallocate(block, 128));
    EXPECT_TRUE(std::all_of(grown, grown + 64, [](unsigned char c) { return c == 0xAB; }));
    EXPECT_TRUE(std::all_of(grown + 64, grown + 128, [](unsigned char c) { return c == 0; }));

    auto* shrunk = static_cast<unsigned char*>(manager.reallocate(grown, 8));
    EXPECT_TRUE(std::all_of(shrunk, shrunk + 8, [](unsigned char c) { return c == 0xAB; }));
    EXPECT_EQ(1u, manager.getBlockCount());
    EXPECT_EQ(8u, manager.getTotalBytes());

    void* fresh = manager.reallocate(nullptr, 5);
    EXPECT_EQ(2u, manager.getBlockCount());
    void* p = shrunk;
    manager.deallocate(p);
    manager.deallocate(fresh);
}

TEST(MemoryManager, MisuseRaisesInternalAssertion) {
    CZAFMemoryManager manager;
    auto zero = expectThrow<CZAFInternalError>([&] { manager.allocate(0); });
    ASSERT_TRUE(zero);
    EXPECT_EQ("mem", zero->getFile());
    EXPECT_EQ(eReasonInternal, zero->getReason());

    int unknown = 0;
    auto stray = expectThrow<CZAFInternalError>([&] { manager.reallocate(&unknown, 4); });
    ASSERT_TRUE(stray);
    EXPECT_EQ(0u, manager.getBlockCount()); // the new block was released again
}

TEST(MemoryManager, ObjectsGoThroughTheProcessManager) {
    CZAFObjMemoryManager& manager = gObjMemoryManager();
    std::size_t before = manager.getBlockCount();
    auto* object = new CLarge();
    EXPECT_EQ(before + 1, manager.getBlockCount());
    std::ostringstream out;
    CZAFObj::printMemoryAllocations(out);
    EXPECT_NE(std::string::npos, out.str().find(typeid(CLarge).name()));
    delete object;
    EXPECT_EQ(before, manager.getBlockCount());
}

TEST(MemoryManager, ManyThreadsAllocateAndFreeConcurrently) {
    CZAFMemoryManager manager;
    constexpr int kThreads = 8;
    constexpr int kRounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&manager, t] {
            std::vector<void*> live;
            for (int i = 0; i < kRounds; ++i) {
                live.push_back(manager.allocate(static_cast<std::size_t>(1 + (i + t) % 97)));
                if (i % 3 == 0) {
                    manager.deallocate(live.back());
                    live.pop_back();
                }
            }
            for (void*& block : live)
                manager.deallocate(block);
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(0u, manager.getBlockCount());
    EXPECT_EQ("No outstanding allocations.\n", report(manager));
}
