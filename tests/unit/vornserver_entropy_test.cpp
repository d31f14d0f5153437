// Tests of the facade's entropy accounting when the operating system's random source is off:
// key generation needs credited entropy, keystrokes supply it and generation consumes it.
#include "vornserver_test_util.h"

#include <cstdlib>

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

} // namespace
