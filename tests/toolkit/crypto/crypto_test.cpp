// Hashes, HMAC and block ciphers: published known-answer vectors and the C boundary's errors.
#include <zaf/zaf.h>

#include <botan/hex.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> hex(const std::string& text) { return Botan::hex_decode(text); }

std::string toHex(const uint8_t* data, size_t length) {
    return Botan::hex_encode(data, length, false);
}

class CryptoTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kZAFError_NoErr, ZAFNewContext(&m_context)); }
    void TearDown() override { ZAFFreeContext(m_context); }

    std::string digest(int32_t algorithm, const std::string& message) {
        ZAFHashContextRef hash = nullptr;
        EXPECT_EQ(kZAFError_NoErr, ZAFNewHashContext(m_context, algorithm, &hash));
        EXPECT_EQ(kZAFError_NoErr, ZAFContinueHash(hash, message.data(), message.size()));
        uint8_t out[kZAFHashMaxSize];
        size_t size = 0;
        EXPECT_EQ(kZAFError_NoErr, ZAFGetHashSize(algorithm, &size));
        EXPECT_EQ(kZAFError_NoErr, ZAFFinalizeHash(hash, out, sizeof out));
        EXPECT_EQ(kZAFError_NoErr, ZAFFreeHashContext(hash));
        return toHex(out, size);
    }

    std::string hmac(int32_t algorithm, const std::vector<uint8_t>& key,
                     const std::string& message) {
        ZAFHMACContextRef mac = nullptr;
        EXPECT_EQ(kZAFError_NoErr,
                  ZAFNewHMACContext(m_context, algorithm, key.data(), key.size(), &mac));
        EXPECT_EQ(kZAFError_NoErr, ZAFContinueHMAC(mac, message.data(), message.size()));
        uint8_t out[kZAFHashMaxSize];
        size_t size = 0;
        EXPECT_EQ(kZAFError_NoErr, ZAFGetHashSize(algorithm, &size));
        EXPECT_EQ(kZAFError_NoErr, ZAFFinalizeHMAC(mac, out, sizeof out));
        EXPECT_EQ(kZAFError_NoErr, ZAFFreeHMACContext(mac));
        return toHex(out, size);
    }

    ZAFSymmetricCipherContextRef cipher(int32_t algorithm, const std::string& keyHex) {
        ZAFSymmetricCipherContextRef c = nullptr;
        EXPECT_EQ(kZAFError_NoErr, ZAFNewSymmetricCipherContext(m_context, algorithm, &c));
        const std::vector<uint8_t> key = hex(keyHex);
        EXPECT_EQ(kZAFError_NoErr, ZAFInitSymmetricCipher(c, key.data(), key.size()));
        return c;
    }

    ZAFContextRef m_context = nullptr;
};

} // namespace

TEST_F(CryptoTest, HashesMatchPublishedVectors) {
    EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", digest(kZAFHashAlgorithm_MD5, "abc"));
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", digest(kZAFHashAlgorithm_SHA1, "abc"));
    EXPECT_EQ("8eb208f7e05d987a9b044a8e98c6b087f15a0bfc",
              digest(kZAFHashAlgorithm_RIPEMD160, "abc"));
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
              digest(kZAFHashAlgorithm_SHA256, "abc"));
    EXPECT_EQ("cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed"
              "8086072ba1e7cc2358baeca134c825a7",
              digest(kZAFHashAlgorithm_SHA384, "abc"));
    EXPECT_EQ("ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
              "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
              digest(kZAFHashAlgorithm_SHA512, "abc"));
    EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", digest(kZAFHashAlgorithm_SHA1, ""));
}

TEST_F(CryptoTest, HashOfAMillionAsFedInPiecesAndContextRestartsAfterFinal) {
    ZAFHashContextRef hash = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFNewHashContext(m_context, kZAFHashAlgorithm_SHA1, &hash));
    const std::string chunk(1000, 'a');
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(kZAFError_NoErr, ZAFContinueHash(hash, chunk.data(), chunk.size()));
    uint8_t out[20];
    ASSERT_EQ(kZAFError_NoErr, ZAFFinalizeHash(hash, out, sizeof out));
    EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f", toHex(out, sizeof out));
    // After final, and after a reset, the context hashes from scratch.
    ASSERT_EQ(kZAFError_NoErr, ZAFContinueHash(hash, "abc", 3));
    ASSERT_EQ(kZAFError_NoErr, ZAFFinalizeHash(hash, out, sizeof out));
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", toHex(out, sizeof out));
    ASSERT_EQ(kZAFError_NoErr, ZAFContinueHash(hash, "zzz", 3));
    ASSERT_EQ(kZAFError_NoErr, ZAFResetHash(hash));
    ASSERT_EQ(kZAFError_NoErr, ZAFContinueHash(hash, "abc", 3));
    ASSERT_EQ(kZAFError_NoErr, ZAFFinalizeHash(hash, out, sizeof out));
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", toHex(out, sizeof out));
    ZAFFreeHashContext(hash);
}

TEST_F(CryptoTest, HMACMatchesPublishedVectors) {
    const std::vector<uint8_t> key20(20, 0x0b);
    const std::vector<uint8_t> key16(16, 0x0b);
    const std::vector<uint8_t> jefe{'J', 'e', 'f', 'e'};
    EXPECT_EQ("9294727a3638bb1c13f48ef8158bfc9d", hmac(kZAFHashAlgorithm_MD5, key16, "Hi There"));
    EXPECT_EQ("b617318655057264e28bc0b6fb378c8ef146be00",
              hmac(kZAFHashAlgorithm_SHA1, key20, "Hi There"));
    EXPECT_EQ("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79",
              hmac(kZAFHashAlgorithm_SHA1, jefe, "what do ya want for nothing?"));
    EXPECT_EQ("b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7",
              hmac(kZAFHashAlgorithm_SHA256, key20, "Hi There"));
    EXPECT_EQ("87aa7cdea5ef619d4ff0b4241a1d6cb02379f4e2ce4ec2787ad0b30545e17cde"
              "daa833b7d6b8a702038b274eaea3f4e4be9d914eeb61f1702e696c203a126854",
              hmac(kZAFHashAlgorithm_SHA512, key20, "Hi There"));
}

// The secure channel keeps one HMAC context per direction and reuses it for every record.
TEST_F(CryptoTest, HMACKeepsItsKeyAcrossFinalAndReset) {
    const std::vector<uint8_t> key(20, 0x0b);
    ZAFHMACContextRef mac = nullptr;
    ASSERT_EQ(kZAFError_NoErr,
              ZAFNewHMACContext(m_context, kZAFHashAlgorithm_SHA1, key.data(), key.size(), &mac));
    uint8_t out[20];
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(kZAFError_NoErr, ZAFContinueHMAC(mac, "garbage", 7));
        ASSERT_EQ(kZAFError_NoErr, ZAFResetHMAC(mac));
        ASSERT_EQ(kZAFError_NoErr, ZAFContinueHMAC(mac, "Hi ", 3));
        ASSERT_EQ(kZAFError_NoErr, ZAFContinueHMAC(mac, "There", 5));
        ASSERT_EQ(kZAFError_NoErr, ZAFFinalizeHMAC(mac, out, sizeof out));
        EXPECT_EQ("b617318655057264e28bc0b6fb378c8ef146be00", toHex(out, sizeof out));
    }
    ZAFFreeHMACContext(mac);
}

TEST_F(CryptoTest, BlockCiphersMatchPublishedVectorsBothWays) {
    struct Case {
        int32_t algorithm;
        const char* key;
        const char* plain;
        const char* cipherText;
    };
    const Case cases[] = {
        {kZAFCipherAlgorithm_AES128, "000102030405060708090a0b0c0d0e0f",
         "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
        {kZAFCipherAlgorithm_AES192, "000102030405060708090a0b0c0d0e0f1011121314151617",
         "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191"},
        {kZAFCipherAlgorithm_AES256,
         "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
         "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
        {kZAFCipherAlgorithm_CAST5, "0123456712345678234567893456789a", "0123456789abcdef",
         "238b4fe5847e44b2"},
        // Three equal DES keys reduce triple DES to single DES.
        {kZAFCipherAlgorithm_3DES, "133457799bbcdff1133457799bbcdff1133457799bbcdff1",
         "0123456789abcdef", "85e813540f0ab405"},
    };
    for (const Case& c : cases) {
        ZAFSymmetricCipherContextRef k = cipher(c.algorithm, c.key);
        const std::vector<uint8_t> plain = hex(c.plain);
        std::vector<uint8_t> out(plain.size());
        ASSERT_EQ(kZAFError_NoErr, ZAFSymmetricCipherEncrypt(k, plain.data(), out.data()));
        EXPECT_EQ(c.cipherText, toHex(out.data(), out.size())) << c.algorithm;
        ASSERT_EQ(kZAFError_NoErr, ZAFSymmetricCipherDecrypt(k, out.data(), out.data()));
        EXPECT_EQ(plain, out) << c.algorithm;
        ZAFFreeSymmetricCipherContext(k);
    }
}

TEST_F(CryptoTest, EveryCipherTakesItsKeyAndRoundTripsManyBlocks) {
    for (int32_t algorithm :
         {kZAFCipherAlgorithm_IDEA, kZAFCipherAlgorithm_3DES, kZAFCipherAlgorithm_CAST5,
          kZAFCipherAlgorithm_Blowfish, kZAFCipherAlgorithm_AES128, kZAFCipherAlgorithm_AES192,
          kZAFCipherAlgorithm_AES256, kZAFCipherAlgorithm_Twofish}) {
        ZAFSymmetricCipherContextRef k = nullptr;
        ASSERT_EQ(kZAFError_NoErr, ZAFNewSymmetricCipherContext(m_context, algorithm, &k))
            << algorithm;
        size_t keySize = 0;
        size_t blockSize = 0;
        ASSERT_EQ(kZAFError_NoErr, ZAFGetSymmetricCipherSizes(k, &keySize, &blockSize));
        ASSERT_LE(blockSize, static_cast<size_t>(kZAFCipherMaxBlockSize));
        const std::vector<uint8_t> key(keySize, 0x5c);
        ASSERT_EQ(kZAFError_NoErr, ZAFInitSymmetricCipher(k, key.data(), key.size()));
        std::vector<uint8_t> plain(blockSize * 8);
        for (size_t i = 0; i < plain.size(); ++i)
            plain[i] = static_cast<uint8_t>(i);
        std::vector<uint8_t> data = plain;
        ASSERT_EQ(kZAFError_NoErr, ZAFSymmetricCipherEncryptBlocks(k, data.data(), data.data(), 8));
        EXPECT_NE(plain, data) << algorithm;
        ASSERT_EQ(kZAFError_NoErr, ZAFSymmetricCipherDecryptBlocks(k, data.data(), data.data(), 8));
        EXPECT_EQ(plain, data) << algorithm;
        ZAFFreeSymmetricCipherContext(k);
    }
}

// Counter mode as the secure channel builds it: the key stream is AES of successive counters.
TEST_F(CryptoTest, CounterModeFromManyBlocksMatchesThePublishedAESCTRVector) {
    ZAFSymmetricCipherContextRef k =
        cipher(kZAFCipherAlgorithm_AES128, "2b7e151628aed2a6abf7158809cf4f3c");
    std::vector<uint8_t> counters =
        hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfefff0f1f2f3f4f5f6f7f8f9fafbfcfdff00");
    const std::vector<uint8_t> plain =
        hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51");
    std::vector<uint8_t> stream(32);
    ASSERT_EQ(kZAFError_NoErr,
              ZAFSymmetricCipherEncryptBlocks(k, counters.data(), stream.data(), 2));
    for (size_t i = 0; i < plain.size(); ++i)
        stream[i] ^= plain[i];
    EXPECT_EQ("874d6191b620e3261bef6864990db6ce9806f66b7970fdff8617187bb9fffdff",
              toHex(stream.data(), stream.size()));
    // Many blocks at once give what one block at a time gives.
    std::vector<uint8_t> bulk(16 * 64);
    for (size_t i = 0; i < bulk.size(); ++i)
        bulk[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> once(bulk.size());
    std::vector<uint8_t> single(bulk.size());
    ASSERT_EQ(kZAFError_NoErr, ZAFSymmetricCipherEncryptBlocks(k, bulk.data(), once.data(), 64));
    for (size_t b = 0; b < 64; ++b)
        ASSERT_EQ(kZAFError_NoErr,
                  ZAFSymmetricCipherEncrypt(k, bulk.data() + 16 * b, single.data() + 16 * b));
    EXPECT_EQ(single, once);
    ASSERT_EQ(kZAFError_NoErr, ZAFSymmetricCipherDecryptBlocks(k, once.data(), once.data(), 64));
    EXPECT_EQ(bulk, once);
    ZAFFreeSymmetricCipherContext(k);
}

TEST_F(CryptoTest, CipherRefusesWrongKeysAndUseBeforeKeying) {
    ZAFSymmetricCipherContextRef k = nullptr;
    ASSERT_EQ(kZAFError_NoErr,
              ZAFNewSymmetricCipherContext(m_context, kZAFCipherAlgorithm_AES128, &k));
    size_t keySize = 0;
    size_t blockSize = 0;
    ASSERT_EQ(kZAFError_NoErr, ZAFGetSymmetricCipherSizes(k, &keySize, &blockSize));
    EXPECT_EQ(16u, keySize);
    EXPECT_EQ(16u, blockSize);
    uint8_t block[16] = {};
    EXPECT_EQ(kZAFError_KeyNotSet, ZAFSymmetricCipherEncrypt(k, block, block));
    const uint8_t key[32] = {};
    EXPECT_EQ(kZAFError_BadParams, ZAFInitSymmetricCipher(k, key, 32));
    EXPECT_EQ(kZAFError_BadParams, ZAFInitSymmetricCipher(k, nullptr, 16));
    EXPECT_EQ(kZAFError_KeyNotSet, ZAFSymmetricCipherEncrypt(k, block, block));
    ASSERT_EQ(kZAFError_NoErr, ZAFInitSymmetricCipher(k, key, 16));
    EXPECT_EQ(kZAFError_BadParams, ZAFSymmetricCipherEncrypt(k, nullptr, block));
    EXPECT_EQ(kZAFError_NoErr, ZAFSymmetricCipherEncryptBlocks(k, nullptr, nullptr, 0));
    ZAFFreeSymmetricCipherContext(k);
    EXPECT_EQ(kZAFError_BadParams, ZAFNewSymmetricCipherContext(m_context, 5, &k));
}

TEST_F(CryptoTest, BoundaryRefusesNullFreedAndForeignHandlesAndShortBuffers) {
    ZAFHashContextRef hash = nullptr;
    EXPECT_EQ(kZAFError_BadParams, ZAFNewHashContext(m_context, 4, &hash));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFNewHashContext(nullptr, kZAFHashAlgorithm_SHA1, &hash));
    EXPECT_EQ(nullptr, hash);
    ASSERT_EQ(kZAFError_NoErr, ZAFNewHashContext(m_context, kZAFHashAlgorithm_SHA256, &hash));
    uint8_t out[32];
    ASSERT_EQ(kZAFError_NoErr, ZAFContinueHash(hash, "abc", 3));
    EXPECT_EQ(kZAFError_BufferTooSmall, ZAFFinalizeHash(hash, out, 31));
    // The short buffer did not end the hash.
    ASSERT_EQ(kZAFError_NoErr, ZAFFinalizeHash(hash, out, sizeof out));
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
              toHex(out, sizeof out));
    EXPECT_EQ(kZAFError_BadParams, ZAFContinueHash(hash, nullptr, 1));

    // A hash handle handed to the HMAC and cipher calls.
    EXPECT_EQ(kZAFError_InvalidHandle,
              ZAFContinueHMAC(reinterpret_cast<ZAFHMACContextRef>(hash), "x", 1));
    EXPECT_EQ(kZAFError_InvalidHandle,
              ZAFFreeSymmetricCipherContext(reinterpret_cast<ZAFSymmetricCipherContextRef>(hash)));

    EXPECT_EQ(kZAFError_NoErr, ZAFFreeHashContext(hash));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFFreeHashContext(hash));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFContinueHash(hash, "abc", 3));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFFinalizeHash(nullptr, out, sizeof out));

    ZAFHMACContextRef mac = nullptr;
    EXPECT_EQ(kZAFError_BadParams,
              ZAFNewHMACContext(m_context, kZAFHashAlgorithm_SHA1, nullptr, 4, &mac));
    const std::vector<uint8_t> hugeKey(2048, 1);
    EXPECT_EQ(kZAFError_BadParams, ZAFNewHMACContext(m_context, kZAFHashAlgorithm_SHA1,
                                                     hugeKey.data(), hugeKey.size(), &mac));
    ASSERT_EQ(kZAFError_NoErr, ZAFNewHMACContext(m_context, kZAFHashAlgorithm_SHA1, "k", 1, &mac));
    EXPECT_EQ(kZAFError_BufferTooSmall, ZAFFinalizeHMAC(mac, out, 19));
    EXPECT_EQ(kZAFError_NoErr, ZAFFreeHMACContext(mac));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFResetHMAC(mac));
}

TEST(ConstantTimeEqual, ComparesWholeBuffers) {
    EXPECT_EQ(1, ZAFConstantTimeEqual("abcd", "abcd", 4));
    EXPECT_EQ(0, ZAFConstantTimeEqual("abcd", "abce", 4));
    EXPECT_EQ(0, ZAFConstantTimeEqual("xbcd", "abcd", 4));
    EXPECT_EQ(1, ZAFConstantTimeEqual(nullptr, nullptr, 0));
    EXPECT_EQ(0, ZAFConstantTimeEqual(nullptr, "a", 1));
}
