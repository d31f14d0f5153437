// Key editing: user IDs and photo IDs, deletion, certifications with their trust, expiration and
// locality, revocations by keys and designated revokers, and keys edited through old handles.
#include "keygen_test_util.h"

#include <zaf/zafkeymaint.h>

#include <chrono>
#include <ctime>

using namespace kgtest;

namespace {

class Edit : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, ZAFNewKeyDB(m_ctx.get(), &m_db)); }
    void TearDown() override { ZAFFreeKeyDB(m_db); }
    ZAFContextRef ctx() const { return m_ctx.get(); }
    ZAFKeyDBObjRef cur(ZAFKeyDBObjRef k) const { return current(m_db, k); }

    // Copies the public part of `key` into `into` (a database without its secret part).
    ZAFKeyDBObjRef copyPublic(ZAFKeyDBObjRef key, ZAFKeyDBRef into) const {
        ZAFKeyDBRef tmp =
            importBytes(ctx(), exportKey(ctx(), current(key->key->owner, key), false));
        EXPECT_NE(nullptr, tmp);
        EXPECT_EQ(0, ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(tmp), into, nullptr));
        ZAFFreeKeyDB(tmp);
        return current(into, key);
    }

    // The user ID object of `key` whose text is `name`.
    static ZAFKeyDBObjRef userID(ZAFKeyDBObjRef key, const std::string& name) {
        for (ZAFKeyDBObjRef u : children(key, kZAFKeyDBObjType_UserID))
            if (dataProperty(u, kZAFUserIDProperty_Name) == name)
                return u;
        return nullptr;
    }

    // Signatures directly under `parent` (a key or user ID) issued by `signer`.
    static std::vector<ZAFKeyDBObjRef> sigsBy(ZAFKeyDBObjRef parent, ZAFKeyDBObjRef signer) {
        std::vector<ZAFKeyDBObjRef> out;
        int32_t under = parent->type == kZAFKeyDBObjType_Key ? 0 : int32_t(parent->index);
        for (ZAFKeyDBObjRef s : children(parent, kZAFKeyDBObjType_Signature, under))
            if (std::memcmp(s->keyID, signer->key->keyID(), 8) == 0)
                out.push_back(s);
        return out;
    }

    Context m_ctx;
    ZAFKeyDBRef m_db = nullptr;
};

std::string jpeg(size_t n) {
    std::string img("\xFF\xD8\xFF\xE0", 4);
    for (size_t i = 0; img.size() < n; ++i)
        img.push_back(char(i * 31));
    return img;
}

} // namespace

TEST_F(Edit, AddedUserIDsAreSelfSignedAndKeepTheKeysSettings) {
    const int32_t ciphers[] = {kZAFCipherAlgorithm_Twofish, kZAFCipherAlgorithm_AES128};
    ZAFKeyDBObjRef key = nullptr;
    ASSERT_EQ(0, ZAFGenerateKey(ctx(), &key, ZAFOKeyDB(ctx(), m_db),
                                ZAFOKeyGenParams(ctx(), 1, 1024, 0), ZAFOUserID(ctx(), "First"),
                                ZAFOExpiration(ctx(), 20), ZAFOPassphrase(ctx(), "pw"),
                                ZAFOPreferredCiphers(ctx(), ciphers, 2), ZAFOLastOption()));
    ZAFTime expires = timeProperty(key, kZAFKeyProperty_Expiration);
    std::string prefs = dataProperty(key, kZAFKeyProperty_PreferredCiphers);

    // A wrong passphrase changes nothing.
    EXPECT_EQ(kZAFError_BadPassphrase,
              ZAFAddUserID(key, "Second", ZAFOPassphrase(ctx(), "PW"), ZAFOLastOption()));
    EXPECT_EQ(key, cur(key));

    ZAFOptionListRef list = nullptr;
    ASSERT_EQ(0, ZAFNewOptionList(ctx(), &list));
    ASSERT_EQ(0, ZAFAppendOptionList(list, ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
    ASSERT_EQ(0, ZAFAddUserID(key, "Second", list, ZAFOLastOption()));
    // The old handle still works: it edits the current version.
    ASSERT_EQ(0, ZAFAddUserID(key, "Third", list, ZAFOLastOption()));
    EXPECT_EQ(kZAFError_ItemAlreadyExists, ZAFAddUserID(key, "Second", list, ZAFOLastOption()));
    ZAFFreeOptionList(list);

    ZAFKeyDBObjRef now = cur(key);
    EXPECT_EQ(3, numProperty(now, kZAFKeyProperty_NumUserIDs));
    EXPECT_EQ(3u, expectAllVerify(m_db, now));
    EXPECT_EQ(expires, timeProperty(now, kZAFKeyProperty_Expiration));
    EXPECT_EQ(prefs, dataProperty(now, kZAFKeyProperty_PreferredCiphers));
    ZAFKeyDBObjRef primary = nullptr;
    ASSERT_EQ(0, ZAFGetPrimaryUserID(now, &primary));
    EXPECT_EQ("First", dataProperty(primary, kZAFUserIDProperty_Name));
    // The secret ring holds the same user IDs and signatures.
    std::vector<Packet> pub = packets(now->key->pubBytes());
    std::vector<Packet> sec = packets(now->key->secBytes());
    ASSERT_EQ(pub.size(), sec.size());
    for (size_t i = 1; i < pub.size(); ++i)
        EXPECT_EQ(pub[i].body, sec[i].body);
}

TEST_F(Edit, UserIDsSubkeysAndSignaturesAreDeletedFromBothRings) {
    TempDir dir;
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(0, openDB(ctx(), dir.file("p.pkr"), dir.file("s.skr"), &db,
                        kZAFOpenKeyDBFileOptions_Mutable | kZAFOpenKeyDBFileOptions_Create));
    ZAFKeyDBObjRef key = generateKey(ctx(), db, "Keep", "");
    ZAFKeyDBObjRef other = generateKey(ctx(), db, "Other", "");
    ASSERT_NE(nullptr, generateSubKey(ctx(), key, ""));
    ASSERT_EQ(0, ZAFAddUserID(key, "Drop", ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    key = current(db, key);
    ASSERT_EQ(0, ZAFCertifyUserID(userID(key, "Keep"), other, ZAFOPassphrase(ctx(), ""),
                                  ZAFOLastOption()));
    key = current(db, key);
    ASSERT_EQ(0, ZAFFlushKeyDB(db));

    key = current(db, key);
    ASSERT_EQ(0, ZAFDeleteKeyDBObj(db, userID(key, "Drop")));
    key = current(db, key);
    ASSERT_EQ(0, ZAFDeleteKeyDBObj(db, children(key, kZAFKeyDBObjType_SubKey).at(0)));
    key = current(db, key);
    std::vector<ZAFKeyDBObjRef> certs = sigsBy(userID(key, "Keep"), other);
    ASSERT_EQ(1u, certs.size());
    ASSERT_EQ(0, ZAFDeleteKeyDBObj(db, certs[0]));
    ASSERT_EQ(0, ZAFFlushKeyDB(db));
    ZAFFreeKeyDB(db);

    ASSERT_EQ(0, openDB(ctx(), dir.file("p.pkr"), dir.file("s.skr"), &db));
    key = &db->keys.at(0)->objs[0];
    // The public ring keeps the self-signature's check in a trust packet after it.
    EXPECT_EQ((std::vector<uint8_t>{6, 13, 2, 12}), tags(packets(key->key->pubBytes())));
    EXPECT_EQ((std::vector<uint8_t>{5, 13, 2}), tags(packets(key->key->secBytes())));
    EXPECT_EQ(1u, expectAllVerify(db, key));
    ZAFFreeKeyDB(db);
}

TEST_F(Edit, PhotoIDsHoldTheImageAfterTheImageHeader) {
    ZAFKeyDBObjRef key = generateKey(ctx(), m_db, "Pic <pic@example.org>", "pw");
    std::string img = jpeg(600);
    ASSERT_EQ(0, ZAFAddPhotoID(key, img.data(), img.size(), ZAFOPassphrase(ctx(), "pw"),
                               ZAFOLastOption()));
    EXPECT_EQ(
        kZAFError_ItemAlreadyExists,
        ZAFAddPhotoID(key, img.data(), img.size(), ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
    key = cur(key);
    std::vector<ZAFKeyDBObjRef> uids = children(key, kZAFKeyDBObjType_UserID);
    ASSERT_EQ(2u, uids.size());
    ZAFKeyDBObjRef photo = uids[1];
    EXPECT_TRUE(boolProperty(photo, kZAFUserIDProperty_IsAttribute));
    EXPECT_EQ(1, numProperty(photo, kZAFUserIDProperty_AttributeType));
    std::string data = dataProperty(photo, kZAFUserIDProperty_AttributeData);
    EXPECT_EQ(std::string("\x10\x00\x01\x01", 4) + std::string(12, '\0') + img, data);
    EXPECT_EQ(2u, expectAllVerify(m_db, key));
    // Photo IDs travel in complete exports only.
    EXPECT_EQ((std::vector<uint8_t>{6, 13, 2, 17, 2}),
              tags(packets(exportKey(ctx(), key, false, kZAFExportFormat_Complete))));
    EXPECT_EQ((std::vector<uint8_t>{6, 13, 2}),
              tags(packets(exportKey(ctx(), key, false, kZAFExportFormat_Compatible))));

    std::string notJpeg = "GIF89a....";
    std::string huge = jpeg(kZAFMaxPhotoSize + 1);
    EXPECT_EQ(kZAFError_BadParams, ZAFAddPhotoID(key, notJpeg.data(), notJpeg.size(),
                                                 ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_BadParams, ZAFAddPhotoID(key, huge.data(), huge.size(),
                                                 ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_BadParams,
              ZAFAddPhotoID(key, nullptr, 10, ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
}

TEST_F(Edit, CertificationsCarryTrustRegularExpressionExpirationAndLocality) {
    ZAFKeyDBObjRef alice = generateKey(ctx(), m_db, "Alice", "a");
    ZAFKeyDBObjRef bob = generateKey(ctx(), m_db, "Bob", "");
    ZAFKeyDBObjRef bobUID = userID(bob, "Bob");
    EXPECT_EQ(kZAFError_BadPassphrase,
              ZAFCertifyUserID(bobUID, alice, ZAFOPassphrase(ctx(), "b"), ZAFOLastOption()));
    EXPECT_EQ(bob, cur(bob));
    EXPECT_EQ(kZAFError_ItemAlreadyExists,
              ZAFCertifyUserID(bobUID, bob, ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_BadParams,
              ZAFCertifyUserID(bobUID, alice, ZAFOPassphrase(ctx(), "a"),
                               ZAFOSignatureTrust(ctx(), 1, 4), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_MissingOption, ZAFCertifyUserID(bobUID, alice, ZAFOLastOption()));

    ASSERT_EQ(0, ZAFCertifyUserID(bobUID, alice, ZAFOPassphrase(ctx(), "a"),
                                  ZAFORegularExpression(ctx(), "<[^>]+[@.]example\\.org>$"),
                                  ZAFOExportable(ctx(), 0), ZAFOSignatureTrust(ctx(), 2, 6),
                                  ZAFOExpiration(ctx(), 7), ZAFOLastOption()));
    // Through the old user ID handle: it certifies the current version.
    ASSERT_EQ(0, ZAFCertifyUserID(bobUID, alice, ZAFOPassphrase(ctx(), "a"),
                                  ZAFOSignatureTrust(ctx(), 0, 6), ZAFOLastOption()));
    bob = cur(bob);
    std::vector<ZAFKeyDBObjRef> sigs = sigsBy(userID(bob, "Bob"), alice);
    ASSERT_EQ(2u, sigs.size());
    ZAFKeyDBObjRef local = sigs[0], plain = sigs[1];
    EXPECT_EQ(2, numProperty(local, kZAFSigProperty_TrustLevel));
    EXPECT_EQ(120, numProperty(local, kZAFSigProperty_TrustValue));
    EXPECT_EQ(0x10, numProperty(local, kZAFSigProperty_SigType));
    EXPECT_EQ("<[^>]+[@.]example\\.org>$", dataProperty(local, kZAFSigProperty_RegularExpression));
    EXPECT_FALSE(boolProperty(local, kZAFSigProperty_IsExportable));
    EXPECT_EQ(timeProperty(local, kZAFSigProperty_Creation) + 7 * 86400,
              timeProperty(local, kZAFSigProperty_Expiration));
    EXPECT_FALSE(boolProperty(local, kZAFSigProperty_IsExpired));
    EXPECT_TRUE(boolProperty(local, kZAFSigProperty_IsMySig));
    EXPECT_EQ(0, numProperty(plain, kZAFSigProperty_TrustLevel));
    EXPECT_TRUE(boolProperty(plain, kZAFSigProperty_IsExportable));
    EXPECT_EQ(0u, timeProperty(plain, kZAFSigProperty_Expiration));
    EXPECT_EQ(3u, expectAllVerify(m_db, bob));

    // The local certification never leaves the database, with or without the secret key; the
    // exportable one goes with the public key.
    for (int32_t format : {kZAFExportFormat_Complete, kZAFExportFormat_Compatible}) {
        for (bool priv : {false, true}) {
            size_t byAlice = 0;
            for (const Packet& p : packets(exportKey(ctx(), bob, priv, format))) {
                if (p.tag != 2)
                    continue;
                zaf::rfc4880::SigInfo s = sigInfo(p);
                EXPECT_TRUE(s.exportable);
                byAlice += std::memcmp(s.issuer, alice->key->keyID(), 8) == 0 ? 1 : 0;
            }
            EXPECT_EQ(priv ? 0u : 1u, byAlice);
        }
    }

    // A signer held only as a public key cannot certify.
    ZAFKeyDBRef other = nullptr;
    ASSERT_EQ(0, ZAFNewKeyDB(ctx(), &other));
    ZAFKeyDBObjRef alicePub = copyPublic(alice, other);
    ZAFKeyDBObjRef bobThere = copyPublic(bob, other);
    EXPECT_EQ(kZAFError_NoSecretKey,
              ZAFCertifyUserID(userID(bobThere, "Bob"), alicePub, ZAFOPassphrase(ctx(), "a"),
                               ZAFOLastOption()));
    ZAFFreeKeyDB(other);
}

TEST_F(Edit, TrustSignaturesMakeTheirTargetAnIntroducer) {
    ZAFKeyDBObjRef me = generateKey(ctx(), m_db, "Me", "");
    ZAFKeyDBObjRef intro = generateKey(ctx(), m_db, "Introducer", "");
    ZAFKeyDBObjRef far = generateKey(ctx(), m_db, "Far", "");
    ZAFKeyDBObjRef plainTarget = generateKey(ctx(), m_db, "Plain", "");
    // Only "Me" is held with its secret part in the database where trust is computed.
    ZAFKeyDBRef web = nullptr;
    ASSERT_EQ(0, ZAFNewKeyDB(ctx(), &web));
    ASSERT_EQ(0, ZAFCertifyUserID(userID(intro, "Introducer"), me, ZAFOPassphrase(ctx(), ""),
                                  ZAFOSignatureTrust(ctx(), 1, kZAFKeyTrust_Complete),
                                  ZAFOLastOption()));
    ASSERT_EQ(0, ZAFCertifyUserID(userID(plainTarget, "Plain"), me, ZAFOPassphrase(ctx(), ""),
                                  ZAFOLastOption()));
    ASSERT_EQ(0, ZAFCertifyUserID(userID(far, "Far"), cur(intro), ZAFOPassphrase(ctx(), ""),
                                  ZAFOLastOption()));
    ZAFKeySetRef meSet = nullptr;
    ASSERT_EQ(0, ZAFNewSingletonKeySet(cur(me), &meSet));
    ASSERT_EQ(0, ZAFCopyKeys(meSet, web, nullptr));
    ZAFFreeKeySet(meSet);
    ZAFKeyDBObjRef introW = copyPublic(intro, web);
    ZAFKeyDBObjRef farW = copyPublic(far, web);
    ZAFKeyDBObjRef plainW = copyPublic(plainTarget, web);
    ASSERT_EQ(0, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(web), web));
    EXPECT_EQ(kZAFValidity_Complete, numProperty(introW, kZAFKeyProperty_Validity));
    EXPECT_EQ(kZAFValidity_Complete, numProperty(plainW, kZAFKeyProperty_Validity));
    EXPECT_EQ(kZAFValidity_Complete, numProperty(farW, kZAFKeyProperty_Validity));

    // With a plain certification instead of the trust signature, the introducer is valid but
    // its own certifications count for nothing.
    ZAFKeyDBObjRef introTrust = sigsBy(userID(introW, "Introducer"), me).at(0);
    ASSERT_EQ(0, ZAFDeleteKeyDBObj(web, introTrust));
    ASSERT_EQ(0, ZAFCertifyUserID(userID(current(web, introW), "Introducer"), current(web, me),
                                  ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    ASSERT_EQ(0, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(web), web));
    EXPECT_EQ(kZAFValidity_Complete, numProperty(current(web, introW), kZAFKeyProperty_Validity));
    EXPECT_EQ(kZAFValidity_Unknown, numProperty(current(web, farW), kZAFKeyProperty_Validity));
    // Owner trust set by hand does the same.
    ASSERT_EQ(0, ZAFSetKeyOwnerTrust(current(web, introW), kZAFKeyTrust_Complete));
    ASSERT_EQ(0, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(web), web));
    EXPECT_EQ(kZAFValidity_Complete, numProperty(current(web, farW), kZAFKeyProperty_Validity));
    ASSERT_EQ(0, ZAFSetKeyDisabled(current(web, introW), 1));
    EXPECT_TRUE(boolProperty(current(web, introW), kZAFKeyProperty_IsDisabled));
    EXPECT_EQ(kZAFKeyTrust_Complete, numProperty(current(web, introW), kZAFKeyProperty_Trust));
    ZAFFreeKeyDB(web);
}

TEST_F(Edit, KeysRevokeThemselvesOnceAndOnlyWithTheirPassphrase) {
    ZAFKeyDBObjRef key = generateKey(ctx(), m_db, "Gone", "pw");
    ZAFKeyDBObjRef stranger = generateKey(ctx(), m_db, "Stranger", "");
    std::string before(key->key->pubBytes());
    EXPECT_EQ(kZAFError_BadPassphrase,
              ZAFRevoke(key, nullptr, ZAFOPassphrase(ctx(), "wrong"), ZAFOLastOption()));
    EXPECT_EQ(before, cur(key)->key->pubBytes());
    EXPECT_FALSE(boolProperty(cur(key), kZAFKeyProperty_IsRevoked));
    EXPECT_EQ(kZAFError_NotDesignatedRevoker,
              ZAFRevoke(key, stranger, ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_MissingOption, ZAFRevoke(key, nullptr, ZAFOLastOption()));

    ASSERT_EQ(0, ZAFRevoke(key, nullptr, ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
    key = cur(key);
    EXPECT_TRUE(boolProperty(key, kZAFKeyProperty_IsRevoked));
    EXPECT_FALSE(boolProperty(key, kZAFKeyProperty_CanSign));
    std::vector<Packet> pub = packets(key->key->pubBytes());
    ASSERT_EQ((std::vector<uint8_t>{6, 2, 13, 2}), tags(pub));
    zaf::rfc4880::SigInfo rev = sigInfo(pub[1]);
    EXPECT_EQ(0x20, rev.type);
    EXPECT_EQ(0, rev.revocationReason);
    EXPECT_EQ(2u, expectAllVerify(m_db, key));
    EXPECT_EQ(kZAFError_AlreadyRevoked,
              ZAFRevoke(key, key, ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
    // A revoked key signs nothing more.
    EXPECT_EQ(kZAFError_KeyRevoked,
              ZAFCertifyUserID(userID(stranger, "Stranger"), key, ZAFOPassphrase(ctx(), "pw"),
                               ZAFOLastOption()));
    EXPECT_EQ(kZAFError_KeyRevoked,
              ZAFAddUserID(key, "More", ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
    // The revocation travels with the key.
    ZAFKeyDBRef other = nullptr;
    ASSERT_EQ(0, ZAFNewKeyDB(ctx(), &other));
    EXPECT_TRUE(boolProperty(copyPublic(key, other), kZAFKeyProperty_IsRevoked));
    ZAFFreeKeyDB(other);
}

TEST_F(Edit, RevocationsCarryTheReasonTheyAreGiven) {
    // The reason of a revocation signature: its code and explanation (subpacket 29), read from
    // the hashed area.
    auto reasonOf = [](const Packet& packet, std::string& text) {
        zaf::rfc4880::SigInfo info = sigInfo(packet);
        const std::string body(packet.body);
        text = "<no reason subpacket>";
        // Version 4: version, type, algorithms, then the hashed area's length and subpackets
        // (one-byte lengths are enough for these).
        size_t at = 6;
        const size_t end = 6 + (size_t(uint8_t(body.at(4))) << 8) + uint8_t(body.at(5));
        while (at < end) {
            const size_t length = uint8_t(body.at(at));
            if (uint8_t(body.at(at + 1)) == 29)
                text = body.substr(at + 3, length - 2);
            at += 1 + length;
        }
        return info.revocationReason;
    };
    std::string text;
    ZAFKeyDBObjRef key = generateKey(ctx(), m_db, "Key", "k");
    ZAFKeyDBObjRef sub = generateSubKey(ctx(), key, "k");
    ASSERT_EQ(0, ZAFRevoke(sub, nullptr, ZAFOPassphrase(ctx(), "k"),
                           ZAFORevocationReason(ctx(), kZAFRevocationReason_Superseded,
                                                "replaced by the new laptop's key"),
                           ZAFOLastOption()));
    key = cur(key);
    std::vector<Packet> pub = packets(key->key->pubBytes());
    ASSERT_EQ((std::vector<uint8_t>{6, 13, 2, 14, 2, 2}), tags(pub));
    EXPECT_EQ(kZAFRevocationReason_Superseded, reasonOf(pub[5], text));
    EXPECT_EQ("replaced by the new laptop's key", text);

    ASSERT_EQ(0, ZAFRevoke(key, nullptr, ZAFOPassphrase(ctx(), "k"),
                           ZAFORevocationReason(ctx(), kZAFRevocationReason_Compromised, nullptr),
                           ZAFOLastOption()));
    key = cur(key);
    pub = packets(key->key->pubBytes());
    ASSERT_EQ(2, pub[1].tag);
    EXPECT_EQ(kZAFRevocationReason_Compromised, reasonOf(pub[1], text));
    EXPECT_EQ("", text);
    EXPECT_TRUE(boolProperty(key, kZAFKeyProperty_IsRevoked));
    EXPECT_EQ(4u, expectAllVerify(m_db, key));

    // Codes RFC 4880 does not define, and over-long texts, are refused by the builder, so the
    // call fails and nothing is revoked.
    ZAFKeyDBObjRef other = generateKey(ctx(), m_db, "Other", "");
    EXPECT_EQ(nullptr, ZAFORevocationReason(ctx(), 4, "no such code"));
    EXPECT_EQ(nullptr,
              ZAFORevocationReason(ctx(), kZAFRevocationReason_Retired,
                                   std::string(kZAFMaxRevocationReasonLength + 1, 'x').c_str()));
    EXPECT_NE(0, ZAFRevoke(other, nullptr, ZAFOPassphrase(ctx(), ""),
                           ZAFORevocationReason(ctx(), 33, ""), ZAFOLastOption()));
    EXPECT_FALSE(boolProperty(cur(other), kZAFKeyProperty_IsRevoked));
}

TEST_F(Edit, DesignatedRevokersRevokeAndUnknownRevokersLeaveTheRevocationUnverified) {
    ZAFKeyDBObjRef key = generateKey(ctx(), m_db, "Owner", "o");
    ZAFKeyDBObjRef revoker = generateKey(ctx(), m_db, "Revoker", "r");
    ASSERT_EQ(0, ZAFAddRevocationKey(key, revoker, ZAFOPassphrase(ctx(), "o"), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_ItemAlreadyExists,
              ZAFAddRevocationKey(key, revoker, ZAFOPassphrase(ctx(), "o"), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_BadParams,
              ZAFAddRevocationKey(key, key, ZAFOPassphrase(ctx(), "o"), ZAFOLastOption()));
    key = cur(key);
    uint32_t n = 0;
    ASSERT_EQ(0, ZAFCountRevocationKeys(key, &n));
    ASSERT_EQ(1u, n);
    ZAFKeyDBObjRef found = nullptr;
    ZAFKeyID id;
    ASSERT_EQ(0, ZAFGetIndexedRevocationKey(key, 0, &found, &id));
    EXPECT_EQ(revoker->key, found->key);
    EXPECT_EQ(2u, expectAllVerify(m_db, key));

    // The key's owner keeps only the public part of the key in a second database.
    ZAFKeyDBRef db2 = nullptr;
    ASSERT_EQ(0, ZAFNewKeyDB(ctx(), &db2));
    ZAFKeyDBObjRef keyPub = copyPublic(key, db2);
    ZAFKeySetRef set = nullptr;
    ASSERT_EQ(0, ZAFNewSingletonKeySet(revoker, &set));
    ASSERT_EQ(0, ZAFCopyKeys(set, db2, nullptr));
    ZAFFreeKeySet(set);
    ZAFKeyDBObjRef revoker2 = current(db2, revoker);
    EXPECT_EQ(kZAFError_BadPassphrase,
              ZAFRevoke(keyPub, revoker2, ZAFOPassphrase(ctx(), "o"), ZAFOLastOption()));
    ASSERT_EQ(0, ZAFRevoke(keyPub, revoker2, ZAFOPassphrase(ctx(), "r"), ZAFOLastOption()));
    keyPub = current(db2, keyPub);
    EXPECT_TRUE(boolProperty(keyPub, kZAFKeyProperty_IsRevoked));
    EXPECT_FALSE(boolProperty(keyPub, kZAFKeyProperty_HasUnverifiedRevocation));
    EXPECT_EQ(3u, expectAllVerify(db2, keyPub));

    // Imported where the revoker is unknown, the revocation is reported unverified.
    std::string revoked = exportKey(ctx(), keyPub, false);
    ZAFKeyDBRef alone = importBytes(ctx(), revoked);
    ASSERT_NE(nullptr, alone);
    ZAFKeyDBObjRef k = &alone->keys.at(0)->objs[0];
    EXPECT_FALSE(boolProperty(k, kZAFKeyProperty_IsRevoked));
    EXPECT_TRUE(boolProperty(k, kZAFKeyProperty_HasUnverifiedRevocation));
    ZAFFreeKeyDB(alone);
    // Applied to the owner's own copy (revoker known there), the key is revoked.
    ZAFKeyDBRef imported = importBytes(ctx(), revoked);
    ZAFBoolean changed = 0;
    ASSERT_EQ(0, ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(imported), m_db, &changed));
    EXPECT_TRUE(changed);
    ZAFFreeKeyDB(imported);
    EXPECT_TRUE(boolProperty(cur(key), kZAFKeyProperty_IsRevoked));
    ZAFFreeKeyDB(db2);
}

TEST_F(Edit, ARevocationCopiedOntoAnotherKeyRevokesNothing) {
    ZAFKeyDBObjRef revoker = generateKey(ctx(), m_db, "Revoker", "");
    ZAFKeyDBObjRef a = generateKey(ctx(), m_db, "A", "");
    ZAFKeyDBObjRef b = generateKey(ctx(), m_db, "B", "");
    for (ZAFKeyDBObjRef k : {a, b})
        ASSERT_EQ(0, ZAFAddRevocationKey(k, revoker, ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    ASSERT_EQ(0, ZAFRevoke(cur(a), revoker, ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    a = cur(a);
    ASSERT_TRUE(boolProperty(a, kZAFKeyProperty_IsRevoked));
    // Put A's revocation (right after A's key packet) on B: its issuer is B's designated
    // revoker too, but the signature is over A.
    std::vector<Packet> ap = packets(a->key->pubBytes());
    ASSERT_EQ(2, ap[1].tag);
    std::string forged;
    zaf::rfc4880::writePacket(forged, zaf::rfc4880::kTagSignature, ap[1].body);
    std::string bBytes(cur(b)->key->pubBytes());
    size_t firstPacket = cur(b)->key->packets[1].offset;
    std::string tampered = bBytes.substr(0, firstPacket) + forged + bBytes.substr(firstPacket);
    ZAFKeyDBRef imported = importBytes(ctx(), tampered);
    ASSERT_NE(nullptr, imported);
    ASSERT_EQ(0, ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(imported), m_db, nullptr));
    ZAFFreeKeyDB(imported);
    b = cur(b);
    EXPECT_EQ(3, numProperty(b, kZAFKeyProperty_NumSignatures));
    EXPECT_FALSE(boolProperty(b, kZAFKeyProperty_IsRevoked));
}

TEST_F(Edit, SubkeysAndCertificationsAreRevokedByTheirOwnKeys) {
    ZAFKeyDBObjRef key = generateKey(ctx(), m_db, "Key", "k");
    ZAFKeyDBObjRef sub = generateSubKey(ctx(), key, "k");
    ZAFKeyDBObjRef signer = generateKey(ctx(), m_db, "Signer", "s");
    ZAFKeyDBObjRef stranger = generateKey(ctx(), m_db, "Stranger", "");
    ASSERT_TRUE(boolProperty(cur(key), kZAFKeyProperty_CanEncrypt));
    EXPECT_EQ(kZAFError_NotDesignatedRevoker,
              ZAFRevoke(sub, stranger, ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    ASSERT_EQ(0, ZAFRevoke(sub, nullptr, ZAFOPassphrase(ctx(), "k"), ZAFOLastOption()));
    key = cur(key);
    ZAFKeyDBObjRef subNow = children(key, kZAFKeyDBObjType_SubKey).at(0);
    EXPECT_TRUE(boolProperty(subNow, kZAFSubKeyProperty_IsRevoked));
    EXPECT_FALSE(boolProperty(key, kZAFKeyProperty_CanEncrypt));
    EXPECT_FALSE(boolProperty(key, kZAFKeyProperty_IsRevoked));
    EXPECT_EQ(kZAFError_AlreadyRevoked,
              ZAFRevoke(sub, nullptr, ZAFOPassphrase(ctx(), "k"), ZAFOLastOption()));
    EXPECT_EQ((std::vector<uint8_t>{6, 13, 2, 14, 2, 2}), tags(packets(key->key->pubBytes())));
    EXPECT_EQ((std::vector<uint8_t>{5, 13, 2, 7, 2, 2}), tags(packets(key->key->secBytes())));
    EXPECT_EQ(3u, expectAllVerify(m_db, key));

    ASSERT_EQ(0, ZAFCertifyUserID(userID(key, "Key"), signer, ZAFOPassphrase(ctx(), "s"),
                                  ZAFOLastOption()));
    key = cur(key);
    ZAFKeyDBObjRef cert = sigsBy(userID(key, "Key"), signer).at(0);
    EXPECT_EQ(kZAFError_NotDesignatedRevoker,
              ZAFRevoke(cert, stranger, ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_BadPassphrase,
              ZAFRevoke(cert, nullptr, ZAFOPassphrase(ctx(), "k"), ZAFOLastOption()));
    ASSERT_EQ(0, ZAFRevoke(cert, nullptr, ZAFOPassphrase(ctx(), "s"), ZAFOLastOption()));
    key = cur(key);
    std::vector<ZAFKeyDBObjRef> bySigner = sigsBy(userID(key, "Key"), signer);
    ASSERT_EQ(2u, bySigner.size());
    EXPECT_TRUE(boolProperty(bySigner[0], kZAFSigProperty_IsRevoked));
    EXPECT_TRUE(boolProperty(bySigner[1], kZAFSigProperty_IsRevocation));
    EXPECT_EQ(0x30, numProperty(bySigner[1], kZAFSigProperty_SigType));
    EXPECT_EQ(kZAFError_AlreadyRevoked,
              ZAFRevoke(bySigner[0], nullptr, ZAFOPassphrase(ctx(), "s"), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_BadParams,
              ZAFRevoke(bySigner[1], nullptr, ZAFOPassphrase(ctx(), "s"), ZAFOLastOption()));
    EXPECT_EQ(5u, expectAllVerify(m_db, key));
}

TEST_F(Edit, LegacyKeysSignTheLegacyWayUnlessSubpacketsAreNeeded) {
    ZAFKeyDBObjRef old = generateKey(ctx(), m_db, "Old", "pw", kZAFPublicKeyAlgorithm_RSA, 1024,
                                     kZAFKeyVersion_Legacy);
    ZAFKeyDBObjRef other = generateKey(ctx(), m_db, "Other", "");
    ASSERT_EQ(0, ZAFAddUserID(old, "Old too", ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
    ASSERT_EQ(0, ZAFCertifyUserID(userID(other, "Other"), old, ZAFOPassphrase(ctx(), "pw"),
                                  ZAFOLastOption()));
    ASSERT_EQ(0, ZAFCertifyUserID(userID(cur(other), "Other"), old, ZAFOPassphrase(ctx(), "pw"),
                                  ZAFOSignatureTrust(ctx(), 1, kZAFKeyTrust_Marginal),
                                  ZAFOLastOption()));
    EXPECT_EQ(kZAFError_UnsupportedAlg,
              ZAFAddRevocationKey(old, other, ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
    std::string img = jpeg(64);
    EXPECT_EQ(
        kZAFError_UnsupportedAlg,
        ZAFAddPhotoID(old, img.data(), img.size(), ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
    ASSERT_EQ(0, ZAFRevoke(old, nullptr, ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
    old = cur(old);
    other = cur(other);
    for (ZAFKeyDBObj& o : old->key->objs) {
        if (o.type == kZAFKeyDBObjType_Signature) {
            EXPECT_EQ(3, o.sigVersion);
        }
    }
    std::vector<ZAFKeyDBObjRef> certs = sigsBy(userID(other, "Other"), old);
    ASSERT_EQ(2u, certs.size());
    EXPECT_EQ(3, numProperty(certs[0], kZAFSigProperty_Version));
    EXPECT_EQ(4, numProperty(certs[1], kZAFSigProperty_Version));
    EXPECT_EQ(60, numProperty(certs[1], kZAFSigProperty_TrustValue));
    EXPECT_EQ(3u, expectAllVerify(m_db, old));
    EXPECT_EQ(3u, expectAllVerify(m_db, other));
    EXPECT_TRUE(boolProperty(old, kZAFKeyProperty_IsRevoked));
}

TEST_F(Edit, EditsOfReadOnlyDatabasesAndBadObjectsAreRefused) {
    TempDir dir;
    ZAFKeyDBRef rw = nullptr;
    ASSERT_EQ(0, openDB(ctx(), dir.file("p.pkr"), dir.file("s.skr"), &rw,
                        kZAFOpenKeyDBFileOptions_Mutable | kZAFOpenKeyDBFileOptions_Create));
    generateKey(ctx(), rw, "K", "");
    ASSERT_EQ(0, ZAFFlushKeyDB(rw));
    ZAFFreeKeyDB(rw);
    ZAFKeyDBRef ro = nullptr;
    ASSERT_EQ(
        0, openDB(ctx(), dir.file("p.pkr"), dir.file("s.skr"), &ro, kZAFOpenKeyDBFileOptions_None));
    ZAFKeyDBObjRef key = &ro->keys.at(0)->objs[0];
    ZAFKeyDBObjRef uid = children(key, kZAFKeyDBObjType_UserID).at(0);
    EXPECT_EQ(kZAFError_ReadOnlyKeyDB,
              ZAFAddUserID(key, "X", ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_ReadOnlyKeyDB,
              ZAFRevoke(key, nullptr, ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_ReadOnlyKeyDB,
              ZAFGenerateSubKey(ctx(), &key, ZAFOMasterKey(ctx(), key),
                                ZAFOKeyGenParams(ctx(), 1, 1024, 0), ZAFOPassphrase(ctx(), ""),
                                ZAFOLastOption()));
    EXPECT_FALSE(ZAFKeyDBIsDirty(ro));
    // Wrong object kinds and null arguments.
    EXPECT_EQ(kZAFError_BadParams,
              ZAFAddUserID(uid, "X", ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_BadParams,
              ZAFAddUserID(key, nullptr, ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_BadParams,
              ZAFAddUserID(key, "", ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_BadParams,
              ZAFCertifyUserID(key, key, ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_BadParams,
              ZAFRevoke(uid, nullptr, ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    EXPECT_EQ(
        kZAFError_BadParams,
        ZAFAddAdditionalDecryptionKey(key, key, 0x11, ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_ConflictingOptions,
              ZAFAddUserID(key, "X", ZAFOPassphrase(ctx(), ""), ZAFOExpiration(ctx(), 3),
                           ZAFOLastOption()));
    ZAFFreeKeyDB(ro);
}

TEST_F(Edit, AdditionalDecryptionKeysCanBeAddedToExistingKeys) {
    ZAFKeyDBObjRef key = generateKey(ctx(), m_db, "Key", "");
    ZAFKeyDBObjRef signOnly = generateKey(ctx(), m_db, "Sign only", "", kZAFPublicKeyAlgorithm_DSA);
    ZAFKeyDBObjRef adk = generateKey(ctx(), m_db, "ADK", "");
    ASSERT_NE(nullptr, generateSubKey(ctx(), adk, ""));
    EXPECT_EQ(kZAFError_UnsupportedAlg,
              ZAFAddAdditionalDecryptionKey(key, signOnly, kZAFADKClass_Request,
                                            ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    ASSERT_EQ(0, ZAFAddAdditionalDecryptionKey(key, cur(adk), kZAFADKClass_Request,
                                               ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    key = cur(key);
    uint32_t n = 0;
    ASSERT_EQ(0, ZAFCountAdditionalRecipientRequests(key, &n));
    ASSERT_EQ(1u, n);
    uint8_t cls = 0xFF;
    ZAFKeyDBObjRef found = nullptr;
    ASSERT_EQ(0, ZAFGetIndexedAdditionalRecipientRequest(key, 0, &found, nullptr, &cls));
    EXPECT_EQ(0, cls);
    EXPECT_EQ(cur(adk)->key, found->key);
    EXPECT_EQ(2u, expectAllVerify(m_db, key));
}

TEST_F(Edit, ExpirationIsSetAndClearedOnEveryLiveUserIDKeepingItsSettings) {
    const int32_t ciphers[] = {kZAFCipherAlgorithm_Twofish, kZAFCipherAlgorithm_AES128};
    ZAFKeyDBObjRef key = nullptr;
    ASSERT_EQ(0, ZAFGenerateKey(ctx(), &key, ZAFOKeyDB(ctx(), m_db),
                                ZAFOKeyGenParams(ctx(), 1, 1024, 0), ZAFOUserID(ctx(), "First"),
                                ZAFOPassphrase(ctx(), "pw"),
                                ZAFOPreferredCiphers(ctx(), ciphers, 2), ZAFOLastOption()));
    ASSERT_EQ(0, ZAFAddUserID(key, "Second", ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
    const std::string prefs = dataProperty(cur(key), kZAFKeyProperty_PreferredCiphers);
    EXPECT_EQ(0u, timeProperty(cur(key), kZAFKeyProperty_Expiration));

    const ZAFTime created = timeProperty(cur(key), kZAFKeyProperty_Creation);
    const ZAFTime later = created + 400 * 86400;
    EXPECT_EQ(kZAFError_BadPassphrase, ZAFSetKeyExpiration(cur(key), later, "PW", 2));
    EXPECT_EQ(0u, timeProperty(cur(key), kZAFKeyProperty_Expiration));
    EXPECT_EQ(kZAFError_BadParams, ZAFSetKeyExpiration(cur(key), created, "pw", 2));
    ASSERT_EQ(0, ZAFSetKeyExpiration(cur(key), later, "pw", 2));
    EXPECT_EQ(later, timeProperty(cur(key), kZAFKeyProperty_Expiration));
    EXPECT_EQ(prefs, dataProperty(cur(key), kZAFKeyProperty_PreferredCiphers));
    // Both user IDs got a new self-certification, and the primary one is still the first.
    ZAFKeyDBObjRef primary = nullptr;
    ASSERT_EQ(0, ZAFGetPrimaryUserID(cur(key), &primary));
    EXPECT_EQ("First", dataProperty(primary, kZAFUserIDProperty_Name));
    for (const char* name : {"First", "Second"})
        EXPECT_EQ(2u, sigsBy(userID(cur(key), name), cur(key)).size()) << name;
    ASSERT_EQ(0, ZAFGetPrimaryUserID(cur(key), &primary));
    EXPECT_EQ("First", dataProperty(primary, kZAFUserIDProperty_Name));

    // A primary user ID chosen before stays the primary one.
    ASSERT_EQ(0, ZAFSetPrimaryUserID(userID(cur(key), "Second"), "pw", 2));
    ASSERT_EQ(0, ZAFSetKeyExpiration(cur(key), later + 86400, "pw", 2));
    ASSERT_EQ(0, ZAFGetPrimaryUserID(cur(key), &primary));
    EXPECT_EQ("Second", dataProperty(primary, kZAFUserIDProperty_Name));

    // Never again.
    ASSERT_EQ(0, ZAFSetKeyExpiration(cur(key), 0, "pw", 2));
    EXPECT_EQ(0u, timeProperty(cur(key), kZAFKeyProperty_Expiration));
    EXPECT_FALSE(boolProperty(cur(key), kZAFKeyProperty_IsExpired));
}

TEST_F(Edit, APrimaryUserIDChosenInTheSecondItWasAddedBecomesPrimary) {
    ZAFKeyDBObjRef key = nullptr;
    ASSERT_EQ(0, ZAFGenerateKey(ctx(), &key, ZAFOKeyDB(ctx(), m_db),
                                ZAFOKeyGenParams(ctx(), 1, 1024, 0), ZAFOUserID(ctx(), "First"),
                                ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
    // The key's primary self-signature is from an earlier second than the new user ID's, and the
    // new one is made primary in the second it was added (a few tries, polled on the clock).
    bool sameSecond = false;
    for (int attempt = 0; attempt < 5 && !sameSecond; ++attempt) {
        const std::time_t start = std::time(nullptr);
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::time(nullptr) == start && std::chrono::steady_clock::now() < limit) {
        }
        const std::time_t tick = std::time(nullptr);
        const std::string name = "Added " + std::to_string(attempt);
        ASSERT_EQ(
            0, ZAFAddUserID(cur(key), name.c_str(), ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
        ASSERT_EQ(0, ZAFSetPrimaryUserID(userID(cur(key), name), "pw", 2));
        sameSecond = std::time(nullptr) == tick;
        ZAFKeyDBObjRef primary = nullptr;
        ASSERT_EQ(0, ZAFGetPrimaryUserID(cur(key), &primary));
        EXPECT_EQ(name, dataProperty(primary, kZAFUserIDProperty_Name));
    }
    EXPECT_TRUE(sameSecond) << "the machine never managed both calls within one second";
}
