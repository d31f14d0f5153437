// Tests of the facade's entropy accounting when the operating system's random source is off:
// key generation needs credited entropy, keystrokes supply it and generation consumes it.
#include "vornserver_test_util.h"

#include <chrono>
#include <cstdlib>
#include <thread>

using namespace oozaf;

namespace {

class VornServerEntropy : public CVornServerFixture {
protected:
    static void SetUpTestSuite() {
        // Read by the toolkit when the library starts, which happens in this process only here.
        setenv("ORX_ZAF_NO_OS_RANDOM", "1", 1);
        CVornServerFixture::SetUpTestSuite();
    }
};

TEST_F(VornServerEntropy, GenerationWaitsForSuppliedEntropyAndConsumesIt) {
    CServerPtr server = open();
    EXPECT_FALSE(server->hasRNG());
    const unsigned int start = server->reserveEntropy(0);
    const unsigned int needed = server->neededEntropyForKeyPair(eKeyTypeRSA, 1024);
    ASSERT_EQ(256u, needed);
    ASSERT_LT(start, needed);

    auto e = expectThrow<CZAFKeyGenException>([&] {
        server->generateKeyPair("Short", "pw", eKeyTypeRSA, oozaf::kZAFCipherAlgorithm_AES128, 1024,
                                "", false, CZAFTime());
    });
    ASSERT_TRUE(e);
    const auto* shortage = dynamic_cast<const CZAFEntropyShortageException*>(e->getRoot());
    ASSERT_NE(nullptr, shortage);
    EXPECT_EQ(needed, shortage->getNeeded());
    EXPECT_EQ(start, shortage->getAvailable());
    EXPECT_EQ("Out of entropy. Needed - 256, available - " + std::to_string(start),
              shortage->getMessage());

    server->supplyEntropy(std::string(needed + 10 - start, 'k'));
    EXPECT_EQ(needed + 10, server->reserveEntropy(needed));
    server->supplyEntropy("");
    EXPECT_EQ(needed + 10, server->reserveEntropy(0));

    server->generateKeyPair("Enough", "pw", eKeyTypeRSA, oozaf::kZAFCipherAlgorithm_AES128, 1024,
                            "", false, CZAFTime());
    EXPECT_EQ(10u, server->reserveEntropy(0));
}

// The number of keys in a server's rings whose primary user ID is `name`.
size_t keysNamed(CVornServer& server, const std::string& name) {
    std::unique_ptr<CZAFKeySet> keys(server.keyList());
    std::unique_ptr<CZAFIterator> iterator(keys->getIterator());
    CZAFDatabaseObject* object = nullptr;
    size_t count = 0;
    while (iterator->next(kZAFKeyDBObjType_Key, object) == 0) {
        std::unique_ptr<CZAFDatabaseObject> owned(object);
        count += static_cast<CZAFKey*>(object)->getPrimaryUserIDName() == name;
    }
    return count;
}

// A key pair whose subkey cannot be made is reported as failed, so its master, already made,
// must not reach the rings. The subkey is starved: a second thread empties the pool as soon as
// the master has taken its share, while the master's primes are still being searched. Should
// the thread be late, the pair is made whole and the attempt is repeated under a new name.
TEST_F(VornServerEntropy, AKeyPairWhoseSubkeyFailsLeavesNoMaster) {
    CServerPtr server = open();
    ZAFContextRef drainer = nullptr;
    ASSERT_EQ(0, ZAFNewContext(&drainer));
    const unsigned int needed = server->neededEntropyForKeyPair(eKeyTypeRSA, 2048);
    bool starved = false;
    std::string name;
    for (int attempt = 0; attempt < 5 && !starved; ++attempt) {
        name = "Half Made " + std::to_string(attempt);
        const unsigned int held = server->reserveEntropy(0);
        if (held < needed) {
            server->supplyEntropy(std::string(needed - held, 'k'));
        } else if (held > needed) {
            ASSERT_EQ(0, ZAFContextConsumeEntropy(drainer, held - needed));
        }
        ASSERT_EQ(needed, server->reserveEntropy(0));

        std::thread starver([&] {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            int32_t left = needed;
            while (left == int32_t(needed) && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::yield();
                left = ZAFContextReserveRandomBytes(drainer, 0);
            }
            if (left > 0)
                ZAFContextConsumeEntropy(drainer, uint32_t(left));
        });
        bool failed = false;
        try {
            server->generateKeyPair(name, "pw", eKeyTypeRSA, oozaf::kZAFCipherAlgorithm_AES128,
                                    2048, "", false, CZAFTime());
        } catch (CZAFThrowable* thrown) {
            std::unique_ptr<CZAFThrowable> owned(thrown);
            const auto* sdk = dynamic_cast<const CZAFSDKException*>(thrown->getRoot());
            failed = sdk != nullptr && sdk->getCode() == kZAFError_NotEnoughEntropy;
            EXPECT_TRUE(failed) << thrown->getDetailedMessage();
        }
        starver.join();
        // Only the master takes entropy before the thread empties the pool, so a shortage
        // now is the subkey's.
        starved = failed;
    }
    ZAFFreeContext(drainer);
    ASSERT_TRUE(starved) << "the subkey was never starved";
    EXPECT_EQ(0u, keysNamed(*server, name));
    server->getKeyDB()->flush();
    EXPECT_EQ(0u, keysNamed(*open(), name));
}

} // namespace
