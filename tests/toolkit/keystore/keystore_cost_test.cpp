// What keys may cost: parameters we refuse to compute with, the check budget of a ring read,
// and the big corpus ring, which must pass both untouched.
#include "costly_keys.h"
#include "key_packets.h"
#include "keygen_test_util.h"
#include "keystore/keystore_internal.h"
#include "keystore_test_util.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace kstest;

namespace {

zaf::rfc4880::KeyInfo parsed(const std::string& body) {
    zaf::rfc4880::KeyInfo info;
    EXPECT_TRUE(zaf::rfc4880::parseKeyPacket(body, info));
    return info;
}

std::string rsaBody(const Botan::BigInt& n, const Botan::BigInt& e) {
    return std::string(1, 4) + costly::be32(costly::kCreated) + char(1) + costly::mpi(n) +
           costly::mpi(e);
}

std::string elGamalBody(const Botan::BigInt& p, const Botan::BigInt& g, const Botan::BigInt& y) {
    return std::string(1, 4) + costly::be32(costly::kCreated) + char(16) + costly::mpi(p) +
           costly::mpi(g) + costly::mpi(y);
}

size_t userIDCount(const zaf::Key& k) {
    size_t n = 0;
    for (const ZAFKeyDBObj& o : k.objs)
        n += o.type == kZAFKeyDBObjType_UserID ? 1 : 0;
    return n;
}

// Budget figures for one test, put back afterwards.
class BudgetLimits {
public:
    explicit BudgetLimits(const zaf::CheckBudgetLimits& limits)
        : m_saved(zaf::checkBudgetLimits()) {
        zaf::setCheckBudgetLimits(limits);
    }
    ~BudgetLimits() { zaf::setCheckBudgetLimits(m_saved); }

private:
    zaf::CheckBudgetLimits m_saved;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(KeyCost, ParametersBeyondTheBoundsAreRefused) {
    Botan::AutoSeeded_RNG rng;
    using costly::randomBits;
    const Botan::BigInt n = randomBits(rng, 2048, true);
    const Botan::BigInt big = randomBits(rng, 16384, true);
    const Botan::BigInt tooBig = randomBits(rng, 16385, true);
    struct Case {
        const char* what;
        std::string body;
        bool accepted;
    };
    const costly::Group dsa = costly::plausibleGroup(rng, 3072, 256);
    const costly::Group dsa160 = costly::plausibleGroup(rng, 1024, 160);
    const costly::Group dsaLarge = costly::plausibleGroup(rng, 3080, 256);
    const costly::Group dsaOddQ = costly::plausibleGroup(rng, 2048, 200);
    costly::Group notDividing = dsa;
    notDividing.p += 2;
    costly::Group trivialG = dsa;
    trivialG.g = 1;
    costly::Group yOutside = dsa;
    yOutside.y = dsa.p;
    const Botan::BigInt egp = randomBits(rng, 4096, true);
    const Botan::BigInt egBig = randomBits(rng, 4104, true);
    const std::vector<Case> cases = {
        {"RSA 2048, e 65537", rsaBody(n, 65537), true},
        {"RSA 16384 bits", rsaBody(big, 65537), true},
        {"RSA e = 3", rsaBody(n, 3), true},
        {"RSA over 16384 bits", rsaBody(tooBig, 65537), false},
        {"RSA even exponent", rsaBody(n, 65536), false},
        {"RSA exponent 1", rsaBody(n, 1), false},
        {"RSA even modulus", rsaBody(n + 1, 65537), false},
        {"RSA exponent of 257 bits", rsaBody(n, randomBits(rng, 257, true)), false},
        {"DSA 3072/256", costly::dsaKeyBody(dsa), true},
        {"DSA 1024/160", costly::dsaKeyBody(dsa160), true},
        {"DSA p over 3072 bits", costly::dsaKeyBody(dsaLarge), false},
        {"DSA q of 200 bits", costly::dsaKeyBody(dsaOddQ), false},
        {"DSA q not dividing p - 1", costly::dsaKeyBody(notDividing), false},
        {"DSA g = 1", costly::dsaKeyBody(trivialG), false},
        {"DSA y = p", costly::dsaKeyBody(yOutside), false},
        {"DSA 16384-bit p, unbounded q",
         costly::dsaKeyBody(costly::arbitraryGroup(rng, 16384, 4096)), false},
        {"ElGamal 4096", elGamalBody(egp, 5, egp - 7), true},
        {"ElGamal over 4096 bits", elGamalBody(egBig, 5, egBig - 7), false},
        {"ElGamal even p", elGamalBody(egp + 1, 5, egp - 7), false},
        {"ElGamal g = p - 0", elGamalBody(egp, egp, 9), false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.accepted, zaf::keyParametersAcceptable(parsed(c.body))) << c.what;
}

// The attack ring is refused at the first cheap test of each check, however it is opened.
TEST(KeyCost, RingOfACostlyKeyOpensAndListsWithinSeconds) {
    TempDir dir;
    const std::string ring = costly::attackRing();
    writeAll(dir.file("pub.pkr"), ring);
    zaf::clearCachedChecks();
    Context ctx;
    ZAFKeyDBRef db = nullptr;
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &db));
    ASSERT_EQ(0, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db));
    const std::vector<std::string> ids = keyIDs(db);
    // A hundred checks at 1.5 s each took minutes; refused they take milliseconds.
    EXPECT_LT(secondsSince(started), 10.0);
    ASSERT_EQ(1u, ids.size());
    const zaf::Key& k = *db->keys[0];
    EXPECT_TRUE(k.refused);
    EXPECT_FALSE(k.unchecked);
    EXPECT_EQ(0u, userIDCount(k)) << "no self-signature of the key verifies";
    EXPECT_EQ(100u, k.hiddenUserIDs);
    ZAFFreeKeyDB(db);

    // An import leaves the key out and says why.
    ZAFError err = 0;
    ZAFKeyDBRef imported = importBytes(ctx.get(), ring, &err);
    EXPECT_EQ(kZAFError_UnsupportedAlg, err);
    EXPECT_EQ(nullptr, imported);
    if (imported != nullptr)
        ZAFFreeKeyDB(imported);
}

TEST(KeyCost, ImportKeepsGoodKeysBesideARefusedOne) {
    if (!haveBench())
        GTEST_SKIP() << "bench rings missing";
    const std::string good = sliceKeys(readAll(benchPath("pubring-1k.pkr")), 0, 2);
    Context ctx;
    ZAFError err = 0;
    ZAFKeyDBRef db = importBytes(ctx.get(), good + costly::attackRing(), &err);
    ASSERT_EQ(0, err);
    EXPECT_EQ(2u, keyIDs(db).size());
    ZAFFreeKeyDB(db);
}

// A subkey beyond the bounds counts for nothing even with a good binding: never encrypted to,
// left out by an import.
TEST(KeyCost, SubkeysBeyondTheBoundsCountForNothing) {
    Context ctx;
    ZAFKeyDBRef made = nullptr;
    ASSERT_EQ(0, ZAFNewKeyDB(ctx.get(), &made));
    ZAFKeyDBObjRef key = kgtest::generateKey(ctx.get(), made, "Sub Owner <sub@example.org>", "");
    ASSERT_NE(nullptr, key);
    const zaf::Key& k = *key->key;
    const std::string primary(k.packetBody(0));
    Botan::AutoSeeded_RNG rng;
    auto withElGamalSubkey = [&](size_t bits) {
        const Botan::BigInt p = costly::randomBits(rng, bits, true);
        const std::string sub = std::string(1, 4) + costly::be32(k.created + 10) + char(16) +
                                costly::mpi(p) + costly::mpi(5) + costly::mpi(p - 9);
        const std::string binding =
            keypackets::sign(key, "", 0x18, primary, 14, sub, k.created + 11,
                             keypackets::subpacket(27, std::string(1, 0x0C)));
        return std::string(k.pubBytes()) + keypackets::packet(14, sub) +
               keypackets::packet(2, binding);
    };
    for (const size_t bits : {2048u, 4104u}) {
        const bool refused = bits > 4096;
        ZAFError err = 0;
        ZAFKeyDBRef db = importBytes(ctx.get(), withElGamalSubkey(bits), &err);
        ASSERT_EQ(0, err) << bits;
        uint32_t droppedUserIDs = 9, droppedSubKeys = 9;
        ASSERT_EQ(0, ZAFGetImportDropCounts(db, &droppedUserIDs, &droppedSubKeys));
        EXPECT_EQ(0u, droppedUserIDs) << bits;
        EXPECT_EQ(refused ? 1u : 0u, droppedSubKeys) << bits;
        size_t subkeys = 0;
        for (const ZAFKeyDBObj& o : db->keys.at(0)->objs)
            subkeys += o.type == kZAFKeyDBObjType_SubKey ? 1 : 0;
        EXPECT_EQ(refused ? 0u : 1u, subkeys) << bits;
        EXPECT_EQ(refused, zaf::encryptionSubkeys(*db->keys.at(0)).empty()) << bits;
        ZAFFreeKeyDB(db);
    }
    ZAFFreeKeyDB(made);
}

// A ring whose checks cost more than the budget: what is left is not checked, counts for
// nothing meanwhile, and is made by later refreshes until the key is complete.
TEST(KeyCost, ChecksBeyondTheBudgetWaitForALaterRead) {
    Botan::AutoSeeded_RNG rng;
    TempDir dir;
    const costly::Group group = costly::plausibleGroup(rng, 3072, 256);
    writeAll(dir.file("pub.pkr"), costly::forgedKey(rng, group, 60, 255));
    zaf::clearCachedChecks();
    BudgetLimits tiny({2000000, 0, 2000000}); // 2 ms of CPU per read
    Context ctx;
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &db));
    ASSERT_EQ(1u, db->keys.size());
    EXPECT_TRUE(db->keys[0]->unchecked) << "60 checks of a 3072-bit group within 2 ms";
    EXPECT_FALSE(db->keys[0]->refused);
    const size_t firstRead = zaf::cachedCheckCount();
    EXPECT_LT(firstRead, 60u);
    // Results not made are not kept as bad ones.
    int reads = 1;
    while (db->keys[0]->unchecked && reads < 200) {
        ASSERT_EQ(0, ZAFKeyDBRefresh(db));
        ++reads;
    }
    EXPECT_FALSE(db->keys[0]->unchecked) << "after " << reads << " reads";
    EXPECT_GT(reads, 1);
    EXPECT_GE(zaf::cachedCheckCount(), 60u);
    EXPECT_EQ(60u, db->keys[0]->hiddenUserIDs) << "every forged self-signature fails";
    ZAFFreeKeyDB(db);
}

// The trust calculation works within a budget too, and keeps no result it could not finish.
TEST(KeyCost, TrustCalculationLeftShortIsWorkedOutAgain) {
    if (!haveBench())
        GTEST_SKIP() << "bench rings missing";
    TempDir dir;
    // Keys 1-20 certify 5% of the others; with their secret parts held they are introducers.
    const std::string pub = readAll(benchPath("pubring-1k.pkr"));
    const std::string sec = readAll(benchPath("secring-1k.skr"));
    writeAll(dir.file("pub.pkr"), pub);
    writeAll(dir.file("sec.skr"), sliceKeys(sec, 0, 20));
    Context ctx;
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &db));
    zaf::clearCachedChecks();
    auto validCount = [&] {
        size_t valid = 0;
        for (const zaf::KeyPtr& k : db->keys)
            valid += k->validity == kZAFValidity_Complete ? 1 : 0;
        return valid;
    };
    {
        BudgetLimits none({0, 0, 0});
        ASSERT_EQ(0, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db));
        EXPECT_EQ(20u, validCount()) << "only the keys held with their secret part";
    }
    ASSERT_EQ(0, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db));
    EXPECT_GT(validCount(), 20u) << "the certifications count once they are checked";
    ZAFFreeKeyDB(db);
}

// The corpus ring, as another program wrote it, opens complete within the default budget.
TEST(KeyCost, TheBigCorpusRingIsNeitherRefusedNorCutShort) {
    if (!haveBench())
        GTEST_SKIP() << "bench rings missing";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "what the corpus costs is a property of the optimised build";
#endif
    TempDir dir;
    std::filesystem::copy_file(benchPath("pubring-7k.pkr"), dir.file("pub.pkr"));
    zaf::clearCachedChecks();
    Context ctx;
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &db));
    ASSERT_EQ(7000u, db->keys.size());
    size_t userIDs = 0, subkeys = 0, refused = 0, unchecked = 0;
    for (const zaf::KeyPtr& k : db->keys) {
        userIDs += userIDCount(*k);
        refused += k->refused ? 1 : 0;
        unchecked += k->unchecked ? 1 : 0;
        for (const ZAFKeyDBObj& o : k->objs)
            subkeys += o.type == kZAFKeyDBObjType_SubKey ? 1 : 0;
    }
    EXPECT_EQ(0u, refused);
    EXPECT_EQ(0u, unchecked) << "the first read is complete";
    EXPECT_EQ(9333u, userIDs);
    EXPECT_EQ(7000u, subkeys);
    ZAFFreeKeyDB(db);
}
