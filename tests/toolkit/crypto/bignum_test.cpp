// Big numbers: byte round trips, exp-mod checked against Botan and the secure channel's group.
#include <zaf/zaf.h>

#include <botan/auto_rng.h>
#include <botan/bigint.h>
#include <botan/hex.h>
#include <botan/numthry.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// The fixed group of the secure channel (1536-bit p, 198-bit q, g of order q).
const char* const kP = "92DAA64816FEABFF7CD4C49887F4678656C8C50048895A264C448ED4A21D0709"
                       "368FC4693D8C13595AB25F21FC2D2BDEF35DB78B0B74C2B8AEEF5EF20E8F888B"
                       "65AE87EBF30433372F11D8C8EA938BDBFCA41803255E351C69E1CCB3BC079FB5"
                       "3F506C9FB65D1AD9D6D5FB52D692A2267CB45375B47019B066F77528A3F91DCB"
                       "E13BF1A33948766317CDB6CF64860B45797C793063C61C977D8C16818AFCC841"
                       "2781AFC15AF86276B121E4C2968B55EEAFFB75E5221B836CDFBDC222CC502575";
const char* const kQ = "3DB10134442D8452A3D76BA6564645F7A92F27B516C3316E47";
const char* const kG = "708DE91D634EF33812270C634D852AA4635B9E3B7A270763FA5E9094C549541E"
                       "66603AFE3FA24933DB83CB5CA987D44456778B44EE8469D809371B6AAB9A3328"
                       "ACE21A20AE0DCEF39AF034EB7F9D8EDCBBC73D4B55DEAE55E754DEF4899280DB"
                       "2C49CA8F2FE4427CA4C1CEE1183CCAEDD74D6E8EF70F94AF58850A12140F9DE0"
                       "B3F75EC0E69E8EF381F7C404339EC564D4F85DFD6CA236D60B44D04DAFF299C8"
                       "A138DEAF4426D5A2FB2ACD4069C9BF3DC94E8F7BDEA15BC8F152F18EA23B78DB";

class BigNumTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kZAFError_NoErr, ZAFNewContext(&m_context)); }
    void TearDown() override {
        for (ZAFBigNumRef bn : m_numbers)
            ZAFFreeBigNum(bn);
        ZAFFreeContext(m_context);
    }

    ZAFBigNumRef make(const std::vector<uint8_t>& bytes = {}) {
        ZAFBigNumRef bn = nullptr;
        EXPECT_EQ(kZAFError_NoErr, ZAFNewBigNum(m_context, 1, &bn));
        EXPECT_EQ(kZAFError_NoErr, ZAFBigNumInsertBigEndianBytes(bn, bytes.data(), bytes.size()));
        m_numbers.push_back(bn);
        return bn;
    }
    ZAFBigNumRef make(const char* hexText) { return make(Botan::hex_decode(hexText)); }

    std::vector<uint8_t> bytes(ZAFBigNumRef bn) {
        uint32_t bits = 0;
        EXPECT_EQ(kZAFError_NoErr, ZAFBigNumGetSignificantBits(bn, &bits));
        std::vector<uint8_t> out((bits + 7) / 8);
        EXPECT_EQ(kZAFError_NoErr, ZAFBigNumExtractBigEndianBytes(bn, out.data(), out.size()));
        return out;
    }

    ZAFContextRef m_context = nullptr;
    std::vector<ZAFBigNumRef> m_numbers;
};

} // namespace

TEST_F(BigNumTest, BytesRoundTripWithoutLeadingZerosAndPadOnRequest) {
    ZAFBigNumRef n = make(std::vector<uint8_t>{0x00, 0x00, 0x01, 0x02, 0x03});
    uint32_t bits = 0;
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumGetSignificantBits(n, &bits));
    EXPECT_EQ(17u, bits);
    EXPECT_EQ((std::vector<uint8_t>{0x01, 0x02, 0x03}), bytes(n));
    uint8_t padded[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumExtractBigEndianBytes(n, padded, sizeof padded));
    EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 1, 2, 3}), std::vector<uint8_t>(padded, padded + 6));
    uint8_t shortBuffer[2] = {0xEE, 0xEE};
    EXPECT_EQ(kZAFError_BufferTooSmall, ZAFBigNumExtractBigEndianBytes(n, shortBuffer, 2));
    EXPECT_EQ(0xEE, shortBuffer[0]);

    ZAFBigNumRef zero = make();
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumGetSignificantBits(zero, &bits));
    EXPECT_EQ(0u, bits);
    EXPECT_EQ(kZAFError_NoErr, ZAFBigNumExtractBigEndianBytes(zero, nullptr, 0));
}

TEST_F(BigNumTest, ExpModAgreesWithBotanOnRandomOperands) {
    Botan::AutoSeeded_RNG rng;
    for (int round = 0; round < 20; ++round) {
        const Botan::BigInt base(rng, 600);
        const Botan::BigInt exponent(rng, 200);
        Botan::BigInt modulus(rng, 512);
        if (round % 2 == 0)
            modulus += modulus.is_odd() ? 1 : 0; // even moduli take another path in Botan
        const Botan::BigInt expected = Botan::power_mod(base, exponent, modulus);
        ZAFBigNumRef b = make(Botan::BigInt::encode(base));
        ZAFBigNumRef e = make(Botan::BigInt::encode(exponent));
        ZAFBigNumRef m = make(Botan::BigInt::encode(modulus));
        ZAFBigNumRef r = make();
        ASSERT_EQ(kZAFError_NoErr, ZAFBigNumExpMod(b, e, m, r));
        EXPECT_EQ(Botan::BigInt::encode(expected), bytes(r)) << round;
        // The result may overwrite an operand.
        ASSERT_EQ(kZAFError_NoErr, ZAFBigNumExpMod(b, e, m, b));
        EXPECT_EQ(Botan::BigInt::encode(expected), bytes(b)) << round;
    }
}

// The checks the channel can make on its group and on a peer's value with these calls alone.
TEST_F(BigNumTest, ChannelGroupPassesItsChecks) {
    ZAFBigNumRef p = make(kP);
    ZAFBigNumRef q = make(kQ);
    ZAFBigNumRef g = make(kG);
    ZAFBigNumRef one = make();
    ZAFBigNumRef r = make();
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumSetWord(one, 1));
    uint32_t bits = 0;
    ZAFBigNumGetSignificantBits(p, &bits);
    EXPECT_EQ(1536u, bits);
    ZAFBigNumGetSignificantBits(q, &bits);
    EXPECT_EQ(198u, bits);
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumExpMod(g, q, p, r));
    int32_t order = 5;
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumCompare(r, one, &order));
    EXPECT_EQ(0, order);
    // p - 2 bounds the peer's public value from above.
    ZAFBigNumRef two = make();
    ZAFBigNumSetWord(two, 2);
    ZAFBigNumRef pMinus2 = make();
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumSubtract(p, two, pMinus2));
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumCompare(g, pMinus2, &order));
    EXPECT_EQ(-1, order);
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumAdd(pMinus2, two, r));
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumCompare(r, p, &order));
    EXPECT_EQ(0, order);
    // 192 bytes exactly, as the key derivation encodes the shared secret.
    std::vector<uint8_t> encoded(192);
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumExtractBigEndianBytes(g, encoded.data(), encoded.size()));
    EXPECT_EQ(Botan::hex_decode(kG), encoded);
}

TEST_F(BigNumTest, RefusesNegativeResultsZeroModuliAndOversizedInput) {
    ZAFBigNumRef small = make("05");
    ZAFBigNumRef large = make("0105");
    ZAFBigNumRef zero = make();
    ZAFBigNumRef r = make("77");
    EXPECT_EQ(kZAFError_BadParams, ZAFBigNumSubtract(small, large, r));
    EXPECT_EQ(kZAFError_BadParams, ZAFBigNumExpMod(large, small, zero, r));
    EXPECT_EQ((std::vector<uint8_t>{0x77}), bytes(r)); // untouched by the failures
    ZAFBigNumRef one = make("01");
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumExpMod(large, small, one, r));
    EXPECT_TRUE(bytes(r).empty());

    const std::vector<uint8_t> tooBig(kZAFBigNumMaxBits / 8 + 1, 0xFF);
    EXPECT_EQ(kZAFError_BadParams, ZAFBigNumInsertBigEndianBytes(r, tooBig.data(), tooBig.size()));
    const std::vector<uint8_t> largest(kZAFBigNumMaxBits / 8, 0xFF);
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumInsertBigEndianBytes(r, largest.data(), largest.size()));
    EXPECT_EQ(kZAFError_BadParams, ZAFBigNumAdd(r, r, r));
    int32_t order = 0;
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumCompare(small, large, &order));
    EXPECT_EQ(-1, order);
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumCopy(large, small));
    ASSERT_EQ(kZAFError_NoErr, ZAFBigNumCompare(small, large, &order));
    EXPECT_EQ(0, order);
}

TEST_F(BigNumTest, BoundaryRefusesNullAndFreedHandles) {
    ZAFBigNumRef bn = nullptr;
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFNewBigNum(nullptr, 0, &bn));
    EXPECT_EQ(kZAFError_BadParams, ZAFNewBigNum(m_context, 0, nullptr));
    ASSERT_EQ(kZAFError_NoErr, ZAFNewBigNum(m_context, 0, &bn));
    ZAFBigNumRef other = make("02");
    EXPECT_EQ(kZAFError_NoErr, ZAFFreeBigNum(bn));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFFreeBigNum(bn));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFBigNumExpMod(other, other, bn, other));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFBigNumSetWord(nullptr, 1));
    uint32_t bits = 0;
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFBigNumGetSignificantBits(nullptr, &bits));
    EXPECT_EQ(kZAFError_BadParams, ZAFBigNumGetSignificantBits(other, nullptr));
}
