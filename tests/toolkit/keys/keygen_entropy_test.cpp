// Entropy for key generation: the answer of ZAFGetKeyEntropyNeeded and its accounting against the
// random pool when the operating system's source is off (refusals take nothing).
#include "keygen_test_util.h"

#include <cstdlib>

using namespace kgtest;

namespace {

class Entropy : public ::testing::Test {
protected:
    void start(bool osSource) {
        if (osSource)
            unsetenv("ORX_ZAF_NO_OS_RANDOM");
        else
            setenv("ORX_ZAF_NO_OS_RANDOM", "1", 1);
        ASSERT_EQ(0, ZAFsdkInit(kZAFFlags_LocalMode));
        m_started = true;
        ASSERT_EQ(0, ZAFNewContext(&m_ctx));
        ASSERT_EQ(0, ZAFNewKeyDB(m_ctx, &m_db));
    }
    void TearDown() override {
        if (m_db)
            ZAFFreeKeyDB(m_db);
        if (m_ctx)
            ZAFFreeContext(m_ctx);
        if (m_started)
            ZAFsdkCleanup();
        unsetenv("ORX_ZAF_NO_OS_RANDOM");
    }
    int32_t available() const { return ZAFContextReserveRandomBytes(m_ctx, 0); }
    // Leaves exactly `bytes` credited.
    void creditExactly(int32_t bytes) {
        ASSERT_EQ(0, ZAFContextConsumeEntropy(m_ctx, uint32_t(available())));
        for (int32_t i = 0; i < bytes; ++i)
            ASSERT_EQ(0, ZAFGlobalRandomPoolAddKeystroke('a' + i % 26));
        ASSERT_EQ(bytes, available());
    }
    uint32_t needed(int32_t alg, uint32_t bits, ZAFBoolean fast) const {
        return ZAFGetKeyEntropyNeeded(m_ctx, ZAFOKeyGenParams(m_ctx, alg, bits, 0),
                                      ZAFOFastGeneration(m_ctx, fast), ZAFOLastOption());
    }
    ZAFError generate(ZAFKeyDBObjRef* key, uint32_t bits = 1024) {
        return ZAFGenerateKey(m_ctx, key, ZAFOKeyDB(m_ctx, m_db),
                              ZAFOKeyGenParams(m_ctx, kZAFPublicKeyAlgorithm_RSA, bits, 0),
                              ZAFOUserID(m_ctx, "E"), ZAFOPassphrase(m_ctx, "pw"),
                              ZAFOLastOption());
    }
    ZAFContextRef m_ctx = nullptr;
    ZAFKeyDBRef m_db = nullptr;
    bool m_started = false;
};

} // namespace

TEST_F(Entropy, TheAnswerFollowsTheDocumentedFormula) {
    start(true);
    EXPECT_EQ(2048u, needed(kZAFPublicKeyAlgorithm_RSA, 2048, 1));
    EXPECT_EQ(320u, needed(kZAFPublicKeyAlgorithm_DSA, 1024, 1));
    EXPECT_EQ(512u, needed(kZAFPublicKeyAlgorithm_DSA, 3072, 0));
    // ElGamal: a well-known group costs only the exponent; a fresh one the primes too.
    EXPECT_EQ(256u, needed(kZAFPublicKeyAlgorithm_ElGamal, 2048, 1));
    EXPECT_EQ(256u + 2048u, needed(kZAFPublicKeyAlgorithm_ElGamal, 2048, 0));
    EXPECT_EQ(256u + 1500u, needed(kZAFPublicKeyAlgorithm_ElGamal, 1500, 1));
    // Key flags are accepted and change nothing; without the fast option generation is fresh.
    EXPECT_EQ(256u + 2048u, ZAFGetKeyEntropyNeeded(m_ctx, ZAFOKeyGenParams(m_ctx, 16, 2048, 0),
                                                   ZAFOKeyFlags(m_ctx, 12), ZAFOLastOption()));
    EXPECT_EQ(1024u, ZAFGetKeyEntropyNeeded(m_ctx, ZAFOKeyGenParams(m_ctx, 1, 1024, 3),
                                            ZAFOKeyFlags(m_ctx, 15), ZAFOLastOption()));
    // Elliptic curves: one secret as long as the curve (a 256-bit seed for Ed25519).
    EXPECT_EQ(256u, needed(kZAFPublicKeyAlgorithm_ECDSA, 256, 1));
    EXPECT_EQ(521u, needed(kZAFPublicKeyAlgorithm_ECDH, 521, 0));
    EXPECT_EQ(256u, needed(kZAFPublicKeyAlgorithm_EdDSA, 255, 1));
    // Anything unusable answers with all bits set.
    EXPECT_EQ(kZAFKeyEntropyUnknown, needed(kZAFPublicKeyAlgorithm_ECDSA, 300, 1));
    EXPECT_EQ(kZAFKeyEntropyUnknown, needed(kZAFPublicKeyAlgorithm_RSA, 512, 1));
    EXPECT_EQ(kZAFKeyEntropyUnknown, needed(kZAFPublicKeyAlgorithm_DSA, 1536, 1));
    EXPECT_EQ(kZAFKeyEntropyUnknown,
              ZAFGetKeyEntropyNeeded(m_ctx, ZAFOFastGeneration(m_ctx, 1), ZAFOLastOption()));
    EXPECT_EQ(kZAFKeyEntropyUnknown,
              ZAFGetKeyEntropyNeeded(m_ctx, ZAFOKeyGenParams(m_ctx, 1, 1024, 0),
                                     ZAFOKeyGenParams(m_ctx, 1, 2048, 0), ZAFOLastOption()));
    EXPECT_EQ(kZAFKeyEntropyUnknown,
              ZAFGetKeyEntropyNeeded(m_ctx, ZAFOKeyGenParams(m_ctx, 1, 1024, 0),
                                     ZAFOUserID(m_ctx, "u"), ZAFOLastOption()));
    EXPECT_EQ(
        kZAFKeyEntropyUnknown,
        ZAFGetKeyEntropyNeeded(nullptr, ZAFOKeyGenParams(m_ctx, 1, 1024, 0), ZAFOLastOption()));
}

TEST_F(Entropy, WithoutTheOSSourceGenerationTakesWhatItNeedsOrNothing) {
    start(false);
    const int32_t need = int32_t((needed(kZAFPublicKeyAlgorithm_RSA, 1024, 1) + 7) / 8);
    ASSERT_EQ(128, need);
    creditExactly(need - 1);
    ZAFKeyDBObjRef key = nullptr;
    EXPECT_EQ(kZAFError_NotEnoughEntropy, generate(&key));
    EXPECT_EQ(nullptr, key);
    EXPECT_EQ(need - 1, available());
    uint32_t count = 1;
    ZAFCountKeysInKeyDB(m_db, &count);
    EXPECT_EQ(0u, count);

    ASSERT_EQ(0, ZAFGlobalRandomPoolAddKeystroke('z'));
    ASSERT_EQ(0, ZAFGlobalRandomPoolAddKeystroke('y'));
    ASSERT_EQ(0, generate(&key));
    EXPECT_EQ(1, available());
    EXPECT_TRUE(ZAFPassphraseIsValid(key, "pw"));

    // Subkeys: a wrong passphrase or a bad option is refused before any entropy is taken.
    const int32_t subNeed = int32_t((needed(kZAFPublicKeyAlgorithm_ElGamal, 2048, 1) + 7) / 8);
    creditExactly(subNeed);
    ZAFKeyDBObjRef sub = nullptr;
    auto subKey = [&](const char* pass, uint32_t bits) {
        return ZAFGenerateSubKey(m_ctx, &sub, ZAFOMasterKey(m_ctx, key),
                                 ZAFOKeyGenParams(m_ctx, kZAFPublicKeyAlgorithm_ElGamal, bits, 0),
                                 ZAFOFastGeneration(m_ctx, 1), ZAFOPassphrase(m_ctx, pass),
                                 ZAFOLastOption());
    };
    EXPECT_EQ(kZAFError_BadPassphrase, subKey("PW", 2048));
    EXPECT_EQ(kZAFError_BadKeySize, subKey("pw", 999));
    EXPECT_EQ(subNeed, available());
    EXPECT_EQ(kZAFError_NotEnoughEntropy, subKey("pw", 3000)); // a fresh group costs more
    EXPECT_EQ(subNeed, available());
    ASSERT_EQ(0, subKey("pw", 2048));
    EXPECT_EQ(0, available());
    EXPECT_EQ(2u, expectAllVerify(m_db, current(m_db, key)));
}

TEST_F(Entropy, WithTheOSSourceThePoolNeverRunsDry) {
    start(true);
    ZAFKeyDBObjRef key = nullptr;
    ASSERT_EQ(0, generate(&key));
    ASSERT_EQ(0, generate(&key));
    EXPECT_EQ(kZAFRandomPoolCapacity, available());
}
