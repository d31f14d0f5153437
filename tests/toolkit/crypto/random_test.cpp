// The random pool: entropy accounting with and without the operating system's source, feature
// flags, fork safety and the algorithm list the server reports RSA support from.
#include <zaf/zaf.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Starts the library with or without the operating system's source. The choice is made when the
// library goes from stopped to started, so every test starts and stops it once.
class PoolTest : public ::testing::Test {
protected:
    void start(bool osSource) {
        if (osSource)
            unsetenv("ORX_ZAF_NO_OS_RANDOM");
        else
            setenv("ORX_ZAF_NO_OS_RANDOM", "1", 1);
        ASSERT_EQ(kZAFError_NoErr, ZAFsdkInit(kZAFFlags_LocalMode));
        m_started = true;
        ASSERT_EQ(kZAFError_NoErr, ZAFNewContext(&m_context));
    }
    // Empties the process-wide account left over from earlier tests.
    void drain() {
        const int32_t left = ZAFContextReserveRandomBytes(m_context, 0);
        ASSERT_GE(left, 0);
        ASSERT_EQ(kZAFError_NoErr,
                  ZAFContextConsumeEntropy(m_context, static_cast<uint32_t>(left)));
        ASSERT_EQ(0, ZAFContextReserveRandomBytes(m_context, 0));
    }
    void TearDown() override {
        if (m_context != nullptr)
            ZAFFreeContext(m_context);
        if (m_started)
            ZAFsdkCleanup();
        unsetenv("ORX_ZAF_NO_OS_RANDOM");
    }
    ZAFContextRef m_context = nullptr;
    bool m_started = false;
};

uint32_t featureFlags() {
    uint32_t flags = 0xFFFFFFFF;
    EXPECT_EQ(kZAFError_NoErr, ZAFGetFeatureFlags(kZAFFeatureSelector_Basic, &flags));
    return flags;
}

} // namespace

TEST_F(PoolTest, WithTheOSSourceThePoolCountsAsFullAndNothingIsConsumed) {
    start(true);
    EXPECT_EQ(static_cast<uint32_t>(kZAFFeatureMask_OSRandom),
              featureFlags() & kZAFFeatureMask_OSRandom);
    EXPECT_GE(kZAFRandomPoolCapacity, 4096);
    EXPECT_EQ(kZAFRandomPoolCapacity, ZAFContextReserveRandomBytes(m_context, 100000));
    EXPECT_EQ(kZAFError_NoErr, ZAFContextConsumeEntropy(m_context, kZAFRandomPoolCapacity));
    EXPECT_EQ(kZAFRandomPoolCapacity, ZAFContextReserveRandomBytes(m_context, 1));
}

TEST_F(PoolTest, WithoutTheOSSourceOnlyCreditedKeystrokesCount) {
    start(false);
    EXPECT_EQ(0u, featureFlags() & kZAFFeatureMask_OSRandom);
    drain();
    for (int32_t key = 'a'; key < 'a' + 10; ++key)
        ASSERT_EQ(kZAFError_NoErr, ZAFGlobalRandomPoolAddKeystroke(key));
    // Reserving is only a question: asking twice gives the same answer.
    EXPECT_EQ(10, ZAFContextReserveRandomBytes(m_context, 10));
    EXPECT_EQ(10, ZAFContextReserveRandomBytes(m_context, 500));
    // A refusal takes nothing.
    EXPECT_EQ(kZAFError_NotEnoughEntropy, ZAFContextConsumeEntropy(m_context, 11));
    EXPECT_EQ(10, ZAFContextReserveRandomBytes(m_context, 0));
    EXPECT_EQ(kZAFError_NoErr, ZAFContextConsumeEntropy(m_context, 4));
    EXPECT_EQ(6, ZAFContextReserveRandomBytes(m_context, 0));
    EXPECT_EQ(kZAFError_NoErr, ZAFContextConsumeEntropy(m_context, 6));
    EXPECT_EQ(kZAFError_NotEnoughEntropy, ZAFContextConsumeEntropy(m_context, 1));
}

// Keystrokes may arrive from several sessions at once; no credit may be lost between them.
TEST_F(PoolTest, ConcurrentKeystrokesAndDrawsKeepAnExactAccount) {
    start(false);
    drain();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            uint8_t bytes[16];
            for (int i = 0; i < 500; ++i) {
                ZAFGlobalRandomPoolAddKeystroke(t * 1000 + i);
                ZAFContextGetRandomBytes(m_context, bytes, sizeof bytes);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(2000, ZAFContextReserveRandomBytes(m_context, 0));
}

TEST_F(PoolTest, KeystrokeCreditIsCappedAtTheCapacity) {
    start(false);
    for (int i = 0; i < kZAFRandomPoolCapacity + 500; ++i)
        ZAFGlobalRandomPoolAddKeystroke(i);
    EXPECT_EQ(kZAFRandomPoolCapacity, ZAFContextReserveRandomBytes(m_context, 0));
    EXPECT_EQ(kZAFError_NotEnoughEntropy,
              ZAFContextConsumeEntropy(m_context, kZAFRandomPoolCapacity + 1));
    EXPECT_EQ(kZAFError_NoErr, ZAFContextConsumeEntropy(m_context, kZAFRandomPoolCapacity));
    EXPECT_EQ(0, ZAFContextReserveRandomBytes(m_context, 0));
}

TEST_F(PoolTest, RandomBytesFlowInBothModesAndNeverRepeat) {
    for (bool osSource : {true, false}) {
        start(osSource);
        std::array<uint8_t, 64> a{};
        std::array<uint8_t, 64> b{};
        ASSERT_EQ(kZAFError_NoErr, ZAFContextGetRandomBytes(m_context, a.data(), a.size()));
        ASSERT_EQ(kZAFError_NoErr, ZAFContextGetRandomBytes(m_context, b.data(), b.size()));
        EXPECT_NE(a, b);
        EXPECT_NE((std::array<uint8_t, 64>{}), a);
        EXPECT_EQ(kZAFError_NoErr, ZAFContextGetRandomBytes(m_context, nullptr, 0));
        EXPECT_EQ(kZAFError_BadParams, ZAFContextGetRandomBytes(m_context, nullptr, 1));
        TearDown();
        m_context = nullptr;
        m_started = false;
    }
}

// A forked child (the cache loader daemonises this way) must not replay its parent's stream.
TEST_F(PoolTest, ForkedChildDrawsDifferentBytesThanItsParent) {
    start(true);
    std::array<uint8_t, 32> warmUp{};
    ASSERT_EQ(kZAFError_NoErr, ZAFContextGetRandomBytes(m_context, warmUp.data(), warmUp.size()));
    int pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    std::array<uint8_t, 32> mine{};
    if (child == 0) {
        ZAFContextGetRandomBytes(m_context, mine.data(), mine.size());
        const ssize_t n = write(pipeFds[1], mine.data(), mine.size());
        _exit(n == static_cast<ssize_t>(mine.size()) ? 0 : 1);
    }
    close(pipeFds[1]);
    ASSERT_EQ(kZAFError_NoErr, ZAFContextGetRandomBytes(m_context, mine.data(), mine.size()));
    std::array<uint8_t, 32> theirs{};
    size_t got = 0;
    while (got < theirs.size()) {
        const ssize_t n = read(pipeFds[0], theirs.data() + got, theirs.size() - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_EQ(theirs.size(), got);
    EXPECT_NE(mine, theirs);
}

TEST_F(PoolTest, CallsRefuseBadHandlesAndSelectors) {
    start(true);
    uint32_t flags = 0;
    EXPECT_EQ(kZAFError_BadParams, ZAFGetFeatureFlags(2, &flags));
    EXPECT_EQ(kZAFError_BadParams, ZAFGetFeatureFlags(kZAFFeatureSelector_Basic, nullptr));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFContextReserveRandomBytes(nullptr, 1));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFContextConsumeEntropy(nullptr, 1));
    uint8_t byte = 0;
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFContextGetRandomBytes(nullptr, &byte, 1));
}

// The server reports its RSA support from the first algorithm-1 entry of this list.
TEST(PublicKeyAlgorithms, OwnRSAIsListedAndCanGenerate) {
    uint32_t count = 0;
    ASSERT_EQ(kZAFError_NoErr, ZAFCountPublicKeyAlgorithms(&count));
    bool sawRSA = false;
    for (uint32_t i = 0; i < count; ++i) {
        ZAFPublicKeyAlgorithmInfo info{};
        ASSERT_EQ(kZAFError_NoErr, ZAFGetIndexedPublicKeyAlgorithmInfo(i, &info));
        EXPECT_LE(info.minSize, info.maxSize);
        EXPECT_NE('\0', info.shortName[0]);
        if (info.algorithm == kZAFPublicKeyAlgorithm_RSA && !sawRSA) {
            sawRSA = true;
            EXPECT_NE(nullptr, std::strstr(info.longName, "ZAF"));
            EXPECT_TRUE(info.canGenerate);
        }
    }
    EXPECT_TRUE(sawRSA);
    ZAFPublicKeyAlgorithmInfo info{};
    EXPECT_EQ(kZAFError_BadParams, ZAFGetIndexedPublicKeyAlgorithmInfo(count, &info));
    EXPECT_EQ(kZAFError_BadParams, ZAFGetIndexedPublicKeyAlgorithmInfo(0, nullptr));
}
