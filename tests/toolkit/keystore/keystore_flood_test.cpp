// Keys flooded with certifications by strangers: the import keeps the newest few per user ID.
#include "key_packets.h"
#include "keystore/keystore_internal.h"
#include "keystore_test_util.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace kstest;

namespace {

// Foreign certifications on each user ID and those by keys `ring` holds, counted from the key's
// objects.
struct SCounts {
    size_t foreign = 0;
    size_t held = 0;
    uint32_t oldestForeign = UINT32_MAX;
};
std::vector<SCounts> countsPerUserID(const zaf::Key& k, ZAFKeyDB* ring) {
    std::vector<SCounts> out;
    std::vector<int32_t> userIndex(k.objs.size(), -1);
    for (const ZAFKeyDBObj& o : k.objs) {
        if (o.type == kZAFKeyDBObjType_UserID) {
            userIndex[o.index] = int32_t(out.size());
            out.emplace_back();
        } else if (o.type == kZAFKeyDBObjType_Signature && o.parent > 0 &&
                   userIndex[size_t(o.parent)] >= 0 && std::memcmp(o.keyID, k.keyID(), 8) != 0) {
            SCounts& c = out[size_t(userIndex[size_t(o.parent)])];
            if (ring->findByKeyID(o.keyID) != nullptr) {
                ++c.held;
            } else {
                ++c.foreign;
                c.oldestForeign = std::min(c.oldestForeign, o.created);
            }
        }
    }
    return out;
}

class Flood : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveBench())
            GTEST_SKIP();
        const std::string pubAll = readAll(benchPath("pubring-1k.pkr"));
        ringPath = dir.file("pubring.pkr");
        writeAll(ringPath, sliceKeys(pubAll, 1, 11));
        ASSERT_EQ(0, openDB(ctx.get(), ringPath, dir.file("secring.skr"), &ring));
        std::memcpy(heldID.data(), ring->keys.at(3)->keyID(), 8);
        plain = sliceKeys(pubAll, 0, 1);
        ZAFKeyDBRef in = importBytes(ctx.get(), plain);
        ASSERT_NE(nullptr, in);
        own = countsPerUserID(*in->keys.at(0), ring).at(0).foreign;
        ownHeld = countsPerUserID(*in->keys.at(0), ring).at(0).held;
        ZAFFreeKeyDB(in);
        ASSERT_LT(own, 100u);
    }
    void TearDown() override {
        if (ring)
            ZAFFreeKeyDB(ring);
    }

    // The plain key with `strangers` foreign certifications (created one second apart, in
    // shuffled order, in the past) and `held` certifications by a ring key
    // after its first user ID's signatures.
    std::string flooded(uint32_t strangers, uint32_t held) {
        zaf::TKTree tree;
        EXPECT_TRUE(tree.parse(keypackets::floodedKey(plain, strangers, kBase)));
        auto first = std::find_if(tree.comps.begin(), tree.comps.end(),
                                  [](const auto& c) { return c.tag == 13; });
        EXPECT_NE(first, tree.comps.end());
        const std::string issuer(reinterpret_cast<const char*>(heldID.data()), 8);
        for (uint32_t i = 0; i < held; ++i)
            first->follow.push_back(keypackets::fillerCertification(issuer, kBase - 1000 - i));
        return tree.serialize();
    }

    static constexpr uint32_t kBase = 1700000000;
    Context ctx;
    TempDir dir;
    std::string ringPath;
    ZAFKeyDBRef ring = nullptr;
    std::array<uint8_t, 8> heldID{};
    std::string plain;
    // Certifications the corpus key has on its first user ID: foreign, and by ring keys.
    size_t own = 0;
    size_t ownHeld = 0;
};

TEST_F(Flood, ImportKeepsTheNewestForeignCertificationsAndAllOfHeldKeys) {
    ZAFKeyDBRef in = importBytes(ctx.get(), flooded(1000, 5));
    ASSERT_NE(nullptr, in);
    ASSERT_EQ(1u, in->keys.size());
    EXPECT_EQ(own + 1000, countsPerUserID(*in->keys[0], ring).at(0).foreign);
    uint32_t dropped = 0;
    ASSERT_EQ(0, ZAFLimitForeignCertifications(in, ring, 100, &dropped));
    EXPECT_EQ(own + 900, dropped);
    std::vector<SCounts> counts = countsPerUserID(*in->keys[0], ring);
    EXPECT_EQ(100u, counts[0].foreign);
    EXPECT_EQ(ownHeld + 5, counts[0].held);
    EXPECT_EQ(kBase + 900, counts[0].oldestForeign) << "the newest hundred";

    // Stored that way: the ring holds the kept signatures only, and a second pass drops nothing.
    ASSERT_EQ(0, ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(in), ring, nullptr));
    ASSERT_EQ(0, ZAFFlushKeyDB(ring));
    ZAFKeyDBRef again = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), ringPath, dir.file("secring.skr"), &again));
    const zaf::Key* stored = again->findByFingerprint(in->keys[0]->fingerprintKey());
    ASSERT_NE(nullptr, stored);
    counts = countsPerUserID(*stored, ring);
    EXPECT_EQ(100u, counts[0].foreign);
    EXPECT_EQ(ownHeld + 5, counts[0].held);
    ZAFFreeKeyDB(in);
    in = importBytes(ctx.get(), std::string(stored->pubBytes()));
    ASSERT_EQ(0, ZAFLimitForeignCertifications(in, again, 100, &dropped));
    EXPECT_EQ(0u, dropped);
    ZAFFreeKeyDB(in);
    ZAFFreeKeyDB(again);
}

TEST_F(Flood, CertificationsDatedInTheFutureAreDroppedFirst) {
    // 150 strangers certify at times to come; 100 honest ones came before them.
    const std::string future = keypackets::floodedKey(plain, 150, 4000000000u);
    zaf::TKTree tree;
    ASSERT_TRUE(tree.parse(keypackets::floodedKey(future, 100, 1600000000)));
    ZAFKeyDBRef in = importBytes(ctx.get(), tree.serialize());
    ASSERT_NE(nullptr, in);
    uint32_t dropped = 0;
    ASSERT_EQ(0, ZAFLimitForeignCertifications(in, ring, 100, &dropped));
    EXPECT_EQ(own + 150, dropped);
    EXPECT_EQ(1600000000u, countsPerUserID(*in->keys[0], ring).at(0).oldestForeign);
    ZAFFreeKeyDB(in);
}

TEST_F(Flood, AtTheLimitNothingIsDroppedAndTheBytesStay) {
    const std::string bytes = flooded(uint32_t(100 - own), 0);
    ZAFKeyDBRef in = importBytes(ctx.get(), bytes);
    ASSERT_NE(nullptr, in);
    const zaf::Key* before = in->keys[0].get();
    uint32_t dropped = 7;
    ASSERT_EQ(0, ZAFLimitForeignCertifications(in, ring, 100, &dropped));
    EXPECT_EQ(0u, dropped);
    EXPECT_EQ(before, in->keys[0].get());
    // Without a ring every issuer outside the import is a stranger; a limit of 0 keeps none.
    ASSERT_EQ(0, ZAFLimitForeignCertifications(in, nullptr, 0, &dropped));
    EXPECT_EQ(100 + ownHeld, dropped);
    EXPECT_EQ(0u, countsPerUserID(*in->keys[0], ring).at(0).foreign);
    EXPECT_EQ(0u, countsPerUserID(*in->keys[0], ring).at(0).held);
    EXPECT_NE(kZAFError_NoErr, ZAFLimitForeignCertifications(nullptr, ring, 100, &dropped));
    ZAFFreeKeyDB(in);
}

} // namespace
