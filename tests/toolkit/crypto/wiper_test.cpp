// The disk wiper: pass sets, the end-of-passes code, pattern buffers and handle errors.
#include <zaf/zaf.h>

#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <vector>

namespace {

class WiperTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kZAFError_NoErr, ZAFNewContext(&m_context)); }
    void TearDown() override { ZAFFreeContext(m_context); }

    struct Pass {
        int32_t pattern;
        std::vector<uint8_t> bytes;
    };

    // Runs a wiper the way the file manager does and records every pass.
    std::vector<Pass> runAll(int32_t selector) {
        ZAFDiskWiperRef wiper = nullptr;
        EXPECT_EQ(kZAFError_NoErr, ZAFCreateDiskWiper(m_context, &wiper, selector));
        uint32_t* buffer = nullptr;
        EXPECT_EQ(kZAFError_NoErr, ZAFGetDiskWipeBuffer(wiper, &buffer));
        std::vector<Pass> passes;
        int32_t pattern = 0;
        ZAFError rc = kZAFError_NoErr;
        while ((rc = ZAFGetDiskWipePattern(wiper, &pattern)) == kZAFError_NoErr &&
               passes.size() <= 1000) {
            const auto* bytes = reinterpret_cast<const uint8_t*>(buffer);
            passes.push_back(
                {pattern, std::vector<uint8_t>(bytes, bytes + kZAFDiskWipeBufferSize)});
        }
        EXPECT_EQ(kZAFError_EndOfIteration, rc);
        // The end is final.
        EXPECT_EQ(kZAFError_EndOfIteration, ZAFGetDiskWipePattern(wiper, &pattern));
        uint32_t count = 0;
        EXPECT_EQ(kZAFError_NoErr, ZAFGetDiskWipePassCount(wiper, &count));
        EXPECT_EQ(passes.size(), count);
        EXPECT_EQ(kZAFError_NoErr, ZAFDestroyDiskWiper(wiper));
        return passes;
    }

    static size_t randomCount(const std::vector<Pass>& passes) {
        size_t n = 0;
        for (const Pass& p : passes)
            n += p.pattern == kZAFDiskWipePatternRandom;
        return n;
    }

    ZAFContextRef m_context = nullptr;
};

} // namespace

TEST_F(WiperTest, PassCountsFollowTheSelector) {
    struct Case {
        int32_t selector;
        size_t passes;
        size_t random;
    };
    const Case cases[] = {
        {1, 1, 1},
        {2, 2, 1},
        {3, 3, 2},
        {30, 30, 2},
        {300, 300, 2},
        {kZAFDiskWipeSet_ThreePass, 3, 1},
        {kZAFDiskWipeSet_SevenPass, 7, 2},
        {kZAFDiskWipeSet_ThirtyFivePass, 35, 8},
    };
    for (const Case& c : cases) {
        const auto passes = runAll(c.selector);
        EXPECT_EQ(c.passes, passes.size()) << c.selector;
        EXPECT_EQ(c.random, randomCount(passes)) << c.selector;
        // Every set ends with random data, so the last thing on disk says nothing.
        ASSERT_FALSE(passes.empty());
        EXPECT_EQ(kZAFDiskWipePatternRandom, passes.back().pattern) << c.selector;
    }
}

TEST_F(WiperTest, RandomPassesDifferAndFixedPassesFillTheirPattern) {
    const auto passes = runAll(kZAFDiskWipeSet_ThirtyFivePass);
    std::set<std::vector<uint8_t>> randomBuffers;
    for (const Pass& p : passes) {
        if (p.pattern == kZAFDiskWipePatternRandom) {
            randomBuffers.insert(p.bytes);
            continue;
        }
        const auto value = static_cast<uint32_t>(p.pattern);
        if (value <= 0xFF) {
            EXPECT_EQ(std::vector<uint8_t>(kZAFDiskWipeBufferSize, static_cast<uint8_t>(value)),
                      p.bytes);
        } else {
            ASSERT_LE(value, 0xFFFFFFu);
            for (size_t i = 0; i < p.bytes.size(); ++i)
                ASSERT_EQ(static_cast<uint8_t>(value >> (8 * (2 - i % 3))), p.bytes[i])
                    << std::hex << value << " at " << std::dec << i;
        }
    }
    EXPECT_EQ(randomCount(passes), randomBuffers.size());
    // The fixed part holds 27 patterns, all bit pairs 01/10 and the three-byte cycles among them.
    std::set<int32_t> fixed;
    for (const Pass& p : passes)
        if (p.pattern != kZAFDiskWipePatternRandom)
            fixed.insert(p.pattern);
    EXPECT_TRUE(fixed.count(0x55) && fixed.count(0xAA) && fixed.count(0x924924) &&
                fixed.count(0x492492) && fixed.count(0x249249));
}

TEST_F(WiperTest, AcceptsEveryPassCountACallerCanAskFor) {
    ZAFDiskWiperRef wiper = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFCreateDiskWiper(m_context, &wiper, kZAFDiskWipeMaxPasses));
    uint32_t count = 0;
    ASSERT_EQ(kZAFError_NoErr, ZAFGetDiskWipePassCount(wiper, &count));
    EXPECT_EQ(65535u, count);
    ZAFDestroyDiskWiper(wiper);
}

TEST_F(WiperTest, BadSelectorsAndHandlesAreRefused) {
    ZAFDiskWiperRef wiper = nullptr;
    for (int32_t selector : {0, -1, -2, kZAFDiskWipeMaxPasses + 1, -36})
        EXPECT_EQ(kZAFError_BadParams, ZAFCreateDiskWiper(m_context, &wiper, selector)) << selector;
    EXPECT_EQ(nullptr, wiper);
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFCreateDiskWiper(nullptr, &wiper, 3));
    EXPECT_EQ(kZAFError_BadParams, ZAFCreateDiskWiper(m_context, nullptr, 3));

    ASSERT_EQ(kZAFError_NoErr, ZAFCreateDiskWiper(m_context, &wiper, 3));
    EXPECT_EQ(kZAFError_BadParams, ZAFGetDiskWipePattern(wiper, nullptr));
    EXPECT_EQ(kZAFError_BadParams, ZAFGetDiskWipeBuffer(wiper, nullptr));
    EXPECT_EQ(kZAFError_NoErr, ZAFDestroyDiskWiper(wiper));
    int32_t pattern = 0;
    uint32_t* buffer = nullptr;
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFGetDiskWipePattern(wiper, &pattern));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFGetDiskWipeBuffer(wiper, &buffer));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFDestroyDiskWiper(wiper));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFDestroyDiskWiper(nullptr));
}
