// Signature checks and the validity calculation over the bench rings.
#include "keystore/keystore_internal.h"
#include "keystore_test_util.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>

using namespace kstest;

namespace {

int32_t validityOf(ZAFKeyDBObjRef key) {
    int32_t v = -1;
    EXPECT_EQ(0, ZAFGetKeyDBObjNumericProperty(key, kZAFKeyProperty_Validity, &v));
    return v;
}

} // namespace

TEST(Signatures, SelfSignaturesAndCertificationsVerify) {
    if (!haveBench())
        GTEST_SKIP();
    Context ctx;
    std::string ring = readAll(benchPath("pubring-1k.pkr"));
    // Keys 1..40: RSA and DSA certifiers and their targets.
    ZAFKeyDBRef db = importBytes(ctx.get(), sliceKeys(ring, 0, 40));
    ASSERT_NE(nullptr, db);
    int self = 0, certs = 0;
    for (const zaf::KeyPtr& k : db->keys) {
        for (const ZAFKeyDBObj& o : k->objs) {
            if (o.type != kZAFKeyDBObjType_Signature)
                continue;
            zaf::Key* signer = db->findByKeyID(o.keyID);
            if (signer == nullptr)
                continue;
            EXPECT_TRUE(zaf::verifySignature(nullptr, *k, o, signer));
            (signer == k.get() ? self : certs)++;
        }
    }
    EXPECT_EQ(40 + 40 + 13, self); // user ID self-signatures, subkey bindings, second user IDs
    EXPECT_GT(certs, 0);
    // A changed byte in a user ID breaks its self-signature; in a signature's MPI as well. A
    // user ID without a verified self-signature counts for nothing: it leaves the listing.
    auto userIDs = [](const zaf::Key& k) {
        int n = 0;
        for (const ZAFKeyDBObj& o : k.objs)
            n += o.type == kZAFKeyDBObjType_UserID ? 1 : 0;
        return n;
    };
    const zaf::KeyPtr& first = db->keys[2];
    std::string bytes(first->pubBytes());
    size_t at = bytes.find("Bench User 00003");
    ASSERT_NE(std::string::npos, at);
    bytes[at] = 'b';
    zaf::KeyPtr damaged = zaf::buildKeyFromStrings(bytes, "");
    ASSERT_NE(nullptr, damaged);
    EXPECT_EQ(1u, damaged->hiddenUserIDs);
    EXPECT_EQ(userIDs(*first) - 1, userIDs(*damaged));
    for (size_t dsaOrRsa : {size_t(0), size_t(2)}) {
        const zaf::KeyPtr& k = db->keys[dsaOrRsa];
        ASSERT_EQ(kZAFKeyDBObjType_Signature, k->objs[2].type);
        EXPECT_TRUE(k->objs[2].verified);
        std::string b(k->pubBytes());
        const zaf::PacketRef& p = k->packets[k->objs[2].packet];
        b[p.offset + p.total - 5] = char(b[p.offset + p.total - 5] ^ 1);
        zaf::KeyPtr bad = zaf::buildKeyFromStrings(b, "");
        ASSERT_NE(nullptr, bad);
        EXPECT_EQ(1u, bad->hiddenUserIDs) << dsaOrRsa;
    }
    ZAFFreeKeyDB(db);
}

TEST(Trust, ValidityFollowsTheTrustedIntroducers) {
    if (!haveBench())
        GTEST_SKIP();
    Context ctx;
    TempDir dir;
    std::string ring = readAll(benchPath("pubring-1k.pkr"));
    writeAll(dir.file("pub.pkr"), sliceKeys(ring, 0, 300));
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("none.skr"), &db));
    ZAFKeySetRef all = ZAFPeekKeyDBRootKeySet(db);
    ASSERT_EQ(0, ZAFCalculateTrust(all, db));
    for (const zaf::KeyPtr& k : db->keys)
        EXPECT_EQ(kZAFValidity_Unknown, k->validity);

    // Key 1 becomes implicitly trusted: it and every key it certified are valid.
    ASSERT_EQ(0, ZAFSetKeyOwnerTrust(&db->keys[0]->objs[0], kZAFKeyTrust_Ultimate));
    const uint8_t* id1 = db->keys[0]->keyID();
    auto certifiedBy = [&](const zaf::Key& k, const uint8_t* id) {
        for (const ZAFKeyDBObj& o : k.objs)
            if (o.type == kZAFKeyDBObjType_Signature && o.sigType == 0x10 &&
                std::memcmp(o.keyID, id, 8) == 0)
                return true;
        return false;
    };
    ASSERT_EQ(0, ZAFCalculateTrust(all, db));
    int valid = 0;
    zaf::Key* introducer = nullptr;
    for (size_t i = 0; i < db->keys.size(); ++i) {
        zaf::Key& k = *db->keys[i];
        int32_t want = i == 0 || certifiedBy(k, id1) ? kZAFValidity_Complete : kZAFValidity_Unknown;
        EXPECT_EQ(want, validityOf(&k.objs[0])) << i;
        valid += want == kZAFValidity_Complete;
        if (i > 0 && i < 20 && want == kZAFValidity_Complete && introducer == nullptr)
            introducer = &k;
    }
    EXPECT_GT(valid, 5);
    // Every certification that counted was checked and found good.
    for (const ZAFKeyDBObj& o : db->keys[5]->objs)
        if (o.type == kZAFKeyDBObjType_Signature && std::memcmp(o.keyID, id1, 8) == 0) {
            EXPECT_TRUE(o.tried && o.verified);
        }

    if (introducer != nullptr) {
        // A marginally trusted introducer alone gives marginal validity (two are needed).
        const uint8_t* id2 = introducer->keyID();
        std::string fpr = introducer->fingerprintKey();
        ASSERT_EQ(0, ZAFSetKeyOwnerTrust(&introducer->objs[0], kZAFKeyTrust_Marginal));
        ASSERT_EQ(0, ZAFCalculateTrust(all, db));
        introducer = db->findByFingerprint(fpr);
        int marginal = 0;
        for (const zaf::KeyPtr& k : db->keys) {
            if (certifiedBy(*k, id2) && !certifiedBy(*k, id1) && k->keyID() != id2) {
                EXPECT_EQ(kZAFValidity_Marginal, k->validity);
                ++marginal;
            }
        }
        EXPECT_GT(marginal, 0);
        // With one marginal needed, they become valid.
        zafenvSetInt(zafContextGetEnvironment(ctx.get()), kZAFEnv_MarginalsNeeded, 1, 0);
        ASSERT_EQ(0, ZAFCalculateTrust(all, db));
        for (const zaf::KeyPtr& k : db->keys) {
            if (certifiedBy(*k, id2)) {
                EXPECT_EQ(kZAFValidity_Complete, k->validity);
            }
        }
    }
    // A disabled flag and the owner trust survive a flush and a reopen.
    ASSERT_EQ(0, ZAFFlushKeyDB(db));
    ZAFFreeKeyDB(db);
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("none.skr"), &db));
    int32_t trust = 0;
    ASSERT_EQ(0,
              ZAFGetKeyDBObjNumericProperty(&db->keys[0]->objs[0], kZAFKeyProperty_Trust, &trust));
    EXPECT_EQ(kZAFKeyTrust_Ultimate, trust);
    // Trust packets stay local: an export leaves them out.
    ZAFKeySetRef one = nullptr;
    ASSERT_EQ(0, ZAFNewSingletonKeySet(&db->keys[0]->objs[0], &one));
    EXPECT_EQ(sliceKeys(ring, 0, 1), exportSet(ctx.get(), one, false, false));
    ZAFFreeKeySet(one);
    ZAFFreeKeyDB(db);
}

// What is made from a database is worth keeping beyond the process only when no check was left
// for later: the database tells so before any trust calculation, after a change, and while the
// check budget left self-signatures or certifications unchecked.
TEST(Trust, ChecksAreCompleteOnlyWhenNoneWasLeftForLater) {
    if (!haveBench())
        GTEST_SKIP();
    Context ctx;
    TempDir dir;
    writeAll(dir.file("pub.pkr"), sliceKeys(readAll(benchPath("pubring-1k.pkr")), 0, 60));
    ZAFBoolean complete = 0;
    {
        const zaf::CheckBudgetLimits saved = zaf::checkBudgetLimits();
        zaf::setCheckBudgetLimits({1, 1, 1}); // spent by the first check
        zaf::clearCachedChecks();
        ZAFKeyDBRef db = nullptr;
        const ZAFError opened = openDB(ctx.get(), dir.file("pub.pkr"), dir.file("none.skr"), &db);
        const ZAFError trusted = ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db);
        const ZAFError asked = ZAFKeyDBChecksComplete(db, &complete);
        zaf::setCheckBudgetLimits(saved);
        ASSERT_EQ(0, opened);
        ASSERT_EQ(0, trusted);
        ASSERT_EQ(0, asked);
        EXPECT_EQ(0, complete);
        ZAFFreeKeyDB(db);
    }
    std::remove(dir.file("pub.pkr.checks").c_str());
    zaf::clearCachedChecks();
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("none.skr"), &db));
    ASSERT_EQ(0, ZAFKeyDBChecksComplete(db, &complete));
    EXPECT_EQ(0, complete) << "no trust calculation yet";
    ASSERT_EQ(0, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db));
    ASSERT_EQ(0, ZAFKeyDBChecksComplete(db, &complete));
    EXPECT_EQ(1, complete);
    ASSERT_EQ(0, ZAFSetKeyOwnerTrust(&db->keys[0]->objs[0], kZAFKeyTrust_Ultimate));
    ASSERT_EQ(0, ZAFKeyDBChecksComplete(db, &complete));
    EXPECT_EQ(0, complete) << "a change since the calculation";
    ZAFFreeKeyDB(db);
}
