// Shamir's scheme over GF(2^8) and the key share format: the field, every K-subset of a split
// rebuilding the secret, what fewer shares show, and the share parser's refusals.
#include "engine_internal.h"

#include <gtest/gtest.h>
#include <random>

using namespace orxengine;

namespace {

std::function<void(uint8_t*, size_t)> seeded(unsigned int seed) {
    auto engine = std::make_shared<std::mt19937>(seed);
    return [engine](uint8_t* bytes, size_t n) {
        for (size_t i = 0; i < n; ++i)
            bytes[i] = static_cast<uint8_t>((*engine)());
    };
}

std::string randomSecret(size_t size, unsigned int seed) {
    std::string secret(size, '\0');
    seeded(seed)(reinterpret_cast<uint8_t*>(&secret[0]), size);
    return secret;
}

SKeyShare sampleShare() {
    SKeyShare share;
    share.threshold = 3;
    share.count = 5;
    share.index = 2;
    share.fingerprint = std::string(20, '\x11');
    share.secretDigest = std::string(32, '\x22');
    share.digests = std::string(5 * 32, '\x33');
    share.bytes = "the share bytes";
    return share;
}

} // namespace

TEST(KeySplitField, MultiplicationMatchesTheAESFieldAndEveryElementHasItsInverse) {
    EXPECT_EQ(0xC1, shamir::gfMul(0x57, 0x83)); // FIPS-197's worked example
    EXPECT_EQ(0xFE, shamir::gfMul(0x57, 0x13));
    for (unsigned int a = 1; a < 256; ++a) {
        EXPECT_EQ(1, shamir::gfMul(static_cast<uint8_t>(a), shamir::gfInv(static_cast<uint8_t>(a))))
            << a;
        EXPECT_EQ(0, shamir::gfMul(static_cast<uint8_t>(a), 0));
    }
    EXPECT_EQ(0, shamir::gfInv(0));
}

TEST(KeySplitShamir, EveryThreeOfFiveSubsetRebuildsTheSecret) {
    const std::string secret = randomSecret(1500, 7);
    const std::vector<std::string> shares = shamir::split(secret, 3, 5, seeded(8));
    ASSERT_EQ(5u, shares.size());
    int subsets = 0;
    for (int a = 0; a < 5; ++a)
        for (int b = a + 1; b < 5; ++b)
            for (int c = b + 1; c < 5; ++c) {
                std::vector<std::pair<uint8_t, std::string>> points = {{uint8_t(a + 1), shares[a]},
                                                                       {uint8_t(b + 1), shares[b]},
                                                                       {uint8_t(c + 1), shares[c]}};
                EXPECT_EQ(secret, shamir::combine(points)) << a << b << c;
                // More than K shares rebuild it too, in any order.
                for (int d = 0; d < 5; ++d) {
                    if (d == a || d == b || d == c)
                        continue;
                    std::vector<std::pair<uint8_t, std::string>> more = points;
                    more.emplace(more.begin() + 1, uint8_t(d + 1), shares[d]);
                    EXPECT_EQ(secret, shamir::combine(more));
                }
                ++subsets;
            }
    EXPECT_EQ(10, subsets);
    // The largest split: 255 shares, any 255 of them.
    const std::vector<std::string> all = shamir::split("x", 255, 255, seeded(9));
    std::vector<std::pair<uint8_t, std::string>> points;
    for (unsigned int i = 0; i < 255; ++i)
        points.emplace_back(static_cast<uint8_t>(i + 1), all[i]);
    EXPECT_EQ("x", shamir::combine(points));
}

TEST(KeySplitShamir, FewerThanThresholdSharesShowNothingOfTheSecret) {
    // Two very different secrets: with K = 3, any two shares of either look the same - byte
    // values spread evenly, unrelated to the secret - and combining them gives neither secret.
    const size_t size = 1 << 16;
    const std::string zeros(size, '\0');
    const std::string ones(size, '\xFF');
    for (const std::string* secret : {&zeros, &ones}) {
        const std::vector<std::string> shares = shamir::split(*secret, 3, 5, seeded(11));
        for (int s = 0; s < 2; ++s) {
            std::vector<unsigned int> histogram(256, 0);
            size_t same = 0;
            for (size_t j = 0; j < size; ++j) {
                ++histogram[static_cast<unsigned char>(shares[s][j])];
                same += shares[s][j] == (*secret)[j];
            }
            double chi = 0;
            const double expected = double(size) / 256;
            for (unsigned int count : histogram)
                chi += (count - expected) * (count - expected) / expected;
            EXPECT_LT(chi, 400.0) << "share " << s; // 255 degrees of freedom: ~255 expected
            EXPECT_LT(same, size / 128);            // ~1/256 by chance
        }
        const std::string guess = shamir::combine({{1, shares[0]}, {2, shares[1]}});
        EXPECT_NE(zeros, guess);
        EXPECT_NE(ones, guess);
    }
}

TEST(KeySplitShamir, BadCountsAndBadSharesAreRefused) {
    EXPECT_THROW(shamir::split("s", 4, 3, seeded(1)), std::invalid_argument);
    EXPECT_THROW(shamir::split("s", 2, 256, seeded(1)), std::invalid_argument);
    EXPECT_THROW(shamir::combine({{1, "ab"}, {1, "cd"}}), std::invalid_argument);
    EXPECT_THROW(shamir::combine({{0, "ab"}, {1, "cd"}}), std::invalid_argument);
    EXPECT_THROW(shamir::combine({{1, "ab"}, {2, "c"}}), std::invalid_argument);
}

TEST(KeySplitFormat, ASharesBytesReadBackAndEveryFaultIsNamed) {
    const SKeyShare share = sampleShare();
    const std::string bytes = gEncodeShare(share);
    SKeyShare back;
    std::string why;
    ASSERT_TRUE(gDecodeShare(bytes, back, why)) << why;
    EXPECT_EQ(gEncodeShare(back), bytes);
    EXPECT_EQ(share.index, back.index);
    EXPECT_EQ(share.bytes, back.bytes);

    struct SCase {
        std::string data;
        std::string why;
    };
    std::string badMagic = bytes;
    badMagic[0] = 'X';
    std::string badVersion = bytes;
    badVersion[8] = 2;
    std::string indexTooLarge = bytes;
    indexTooLarge[11] = 6;
    std::string thresholdOne = bytes;
    thresholdOne[9] = 1;
    std::string badFingerprint = bytes;
    badFingerprint[12] = 19;
    std::string hugeLength = bytes;
    hugeLength[33] = '\x7F';
    const std::vector<SCase> cases = {
        {"", "no key share"},
        {badMagic, "no key share"},
        {badVersion, "format version 2"},
        {indexTooLarge, "out of range"},
        {thresholdOne, "out of range"},
        {badFingerprint, "fingerprint"},
        {hugeLength, "length is out of range"},
        {bytes.substr(0, bytes.size() - 1), "ends too early"},
        {bytes + "!", "bytes after its end"},
    };
    for (const SCase& c : cases) {
        SKeyShare out;
        std::string reason;
        EXPECT_FALSE(gDecodeShare(c.data, out, reason)) << c.why;
        EXPECT_NE(std::string::npos, reason.find(c.why)) << reason;
    }
}
