// Which signatures count: user IDs, subkeys, decryption keys and revokers only with verified
// self-signatures; the primary user ID; revocations in any order. The keys are made with our
// own toolkit and then edited packet by packet.
#include "key_packets.h"
#include "keygen_test_util.h"
#include "keystore/keystore_internal.h"
#include "keystore_test_util.h"

#include <chrono>
#include <ctime>
#include <gtest/gtest.h>
#include <thread>

using namespace kstest;
using keypackets::Packet;
using keypackets::sign;
using keypackets::subpacket;
using kgtest::boolProperty;
using kgtest::children;
using kgtest::current;
using kgtest::dataProperty;
using kgtest::exportKey;
using kgtest::generateKey;
using kgtest::generateSubKey;
using kgtest::numProperty;

namespace {

constexpr uint32_t kT0 = 1700000000; // creation times of the crafted signatures

class KeyModel : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, ZAFNewKeyDB(ctx.get(), &db)); }
    void TearDown() override {
        for (ZAFKeyDBRef d : imported)
            ZAFFreeKeyDB(d);
        ZAFFreeKeyDB(db);
    }

    // A new RSA key (with an encryption subkey when asked) in the in-memory database.
    ZAFKeyDBObjRef make(const char* name, bool subkey = false) {
        ZAFKeyDBObjRef k = generateKey(ctx.get(), db, name, "");
        if (subkey) {
            EXPECT_NE(nullptr, generateSubKey(ctx.get(), k, ""));
            k = current(db, k);
        }
        return k;
    }
    std::vector<Packet> publicPackets(ZAFKeyDBObjRef key) {
        return keypackets::split(exportKey(ctx.get(), key, false));
    }
    // Imports the packets; the result's first key.
    ZAFKeyDBObjRef import(const std::vector<Packet>& packets, ZAFKeyDBRef* into = nullptr) {
        ZAFKeyDBRef d = importBytes(ctx.get(), keypackets::join(packets));
        EXPECT_NE(nullptr, d);
        if (d == nullptr)
            return nullptr;
        imported.push_back(d);
        if (into)
            *into = d;
        return d->keys.empty() ? nullptr : &d->keys[0]->objs[0];
    }
    static std::vector<std::string> names(ZAFKeyDBObjRef key) {
        std::vector<std::string> out;
        for (ZAFKeyDBObjRef u : children(key, kZAFKeyDBObjType_UserID))
            out.push_back(dataProperty(u, kZAFUserIDProperty_Name));
        return out;
    }
    static std::string primaryName(ZAFKeyDBObjRef key) {
        ZAFKeyDBObjRef uid = nullptr;
        if (ZAFGetPrimaryUserID(key, &uid) != 0)
            return "<none>";
        return dataProperty(uid, kZAFUserIDProperty_Name);
    }

    Context ctx;
    ZAFKeyDBRef db = nullptr;
    std::vector<ZAFKeyDBRef> imported;
};

// The hashed area of a v4 signature body extended by `extra` (the signature no longer verifies).
std::string withHashed(const std::string& sig, const std::string& extra) {
    size_t len = (size_t(uint8_t(sig[4])) << 8) | uint8_t(sig[5]);
    size_t total = len + extra.size();
    return sig.substr(0, 4) + char(total >> 8) + char(total) + sig.substr(6, len) + extra +
           sig.substr(6 + len);
}

std::string fingerprint(ZAFKeyDBObjRef key) {
    return dataProperty(key, kZAFKeyProperty_Fingerprint);
}

} // namespace

TEST_F(KeyModel, AUserIDWithACopiedSelfSignatureCountsForNothing) {
    ZAFKeyDBObjRef alice = make("Alice <alice@example.org>");
    std::vector<Packet> p = publicPackets(alice); // key, user ID, self-signature
    ASSERT_EQ(3u, p.size());
    std::vector<Packet> forged = p;
    forged.push_back({13, "Mallory <mallory@example.org>"});
    forged.push_back(p[2]);
    // Import drops it and says so.
    ZAFKeyDBRef in = nullptr;
    ZAFKeyDBObjRef key = import(forged, &in);
    ASSERT_NE(nullptr, key);
    EXPECT_EQ(1u, in->droppedUserIDs);
    EXPECT_EQ(0u, in->droppedSubKeys);
    EXPECT_EQ((std::vector<std::string>{"Alice <alice@example.org>"}), names(key));
    EXPECT_EQ(keypackets::join(p), exportKey(ctx.get(), key, false));
    // A ring another program wrote keeps it in its bytes, but it is not listed, nor primary,
    // nor exported; also when it stands first.
    std::vector<Packet> first = {p[0], {13, "Mallory <mallory@example.org>"}, p[2], p[1], p[2]};
    TempDir dir;
    writeAll(dir.file("pub.pkr"), keypackets::join(first));
    ZAFKeyDBRef ring = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &ring));
    ZAFKeyDBObjRef onDisk = &ring->keys.at(0)->objs[0];
    EXPECT_EQ((std::vector<std::string>{"Alice <alice@example.org>"}), names(onDisk));
    EXPECT_EQ("Alice <alice@example.org>", primaryName(onDisk));
    EXPECT_EQ(1, numProperty(onDisk, kZAFKeyProperty_NumSignatures));
    EXPECT_EQ(keypackets::join(p), exportKey(ctx.get(), onDisk, false));
    // Written back, the ring still holds what the other program wrote.
    ASSERT_EQ(0, ZAFSetKeyOwnerTrust(onDisk, kZAFKeyTrust_Marginal));
    ASSERT_EQ(0, ZAFFlushKeyDB(ring));
    EXPECT_NE(std::string::npos, readAll(dir.file("pub.pkr")).find("Mallory"));
    ZAFFreeKeyDB(ring);
}

TEST_F(KeyModel, ASubkeyCountsOnlyWithItsOwnVerifiedBinding) {
    ZAFKeyDBObjRef alice = make("Alice", true), mallory = make("Mallory", true);
    std::vector<Packet> a = publicPackets(alice), m = publicPackets(mallory);
    ASSERT_EQ(5u, a.size()); // key, user ID, self-signature, subkey, binding
    ASSERT_EQ(14, m[3].tag);
    // Mallory's subkey under Alice's key, with Alice's binding (of her own subkey) or with
    // Mallory's binding: neither is a binding of this subkey to this key.
    for (const Packet& binding : {a[4], m[4]}) {
        std::vector<Packet> forged = {a[0], a[1], a[2], m[3], binding, a[3], a[4]};
        ZAFKeyDBRef in = nullptr;
        ZAFKeyDBObjRef key = import(forged, &in);
        ASSERT_NE(nullptr, key);
        EXPECT_EQ(1u, in->droppedSubKeys);
        std::vector<uint32_t> enc = zaf::encryptionSubkeys(*key->key);
        ASSERT_EQ(1u, enc.size());
        EXPECT_EQ(dataProperty(children(alice, kZAFKeyDBObjType_SubKey).at(0),
                               kZAFSubKeyProperty_Fingerprint),
                  dataProperty(&key->key->objs[enc[0]], kZAFSubKeyProperty_Fingerprint));
    }
    // Bound by Alice herself it counts.
    std::string bind = sign(alice, "", 0x18, a[0].body, 14, m[3].body, kT0, subpacket(27, "\x0C"));
    ZAFKeyDBRef in = nullptr;
    ZAFKeyDBObjRef key = import({a[0], a[1], a[2], m[3], {2, bind}}, &in);
    EXPECT_EQ(0u, in->droppedSubKeys);
    EXPECT_EQ(1u, zaf::encryptionSubkeys(*key->key).size());
}

TEST_F(KeyModel, ASigningSubkeyNeedsItsBackSignature) {
    ZAFKeyDBObjRef alice = make("Alice"), holder = make("Holder", true);
    std::vector<Packet> a = publicPackets(alice), h = publicPackets(holder);
    ZAFKeyDBObjRef sub = children(holder, kZAFKeyDBObjType_SubKey).at(0);
    const std::string& subBody = h[3].body;
    auto bound = [&](uint8_t flags, bool back) {
        std::string hashed = subpacket(27, std::string(1, char(flags)));
        if (back)
            hashed += subpacket(32, sign(sub, "", 0x19, a[0].body, 14, subBody, kT0));
        return sign(alice, "", 0x18, a[0].body, 14, subBody, kT0, hashed);
    };
    // Signing only, no back signature: nothing.
    ZAFKeyDBRef in = nullptr;
    ZAFKeyDBObjRef key = import({a[0], a[1], a[2], h[3], {2, bound(0x02, false)}}, &in);
    EXPECT_EQ(1u, in->droppedSubKeys);
    EXPECT_TRUE(zaf::signingSubkeys(*key->key).empty());
    // Signing and encryption, no back signature: encryption only.
    key = import({a[0], a[1], a[2], h[3], {2, bound(0x0E, false)}}, &in);
    EXPECT_EQ(0u, in->droppedSubKeys);
    EXPECT_TRUE(zaf::signingSubkeys(*key->key).empty());
    EXPECT_EQ(1u, zaf::encryptionSubkeys(*key->key).size());
    // With the back signature it signs.
    key = import({a[0], a[1], a[2], h[3], {2, bound(0x02, true)}}, &in);
    EXPECT_EQ(0u, in->droppedSubKeys);
    EXPECT_EQ(1u, zaf::signingSubkeys(*key->key).size());
    EXPECT_TRUE(zaf::encryptionSubkeys(*key->key).empty());
    // A back signature made by another key does not do.
    std::string wrongBack = sign(alice, "", 0x19, a[0].body, 14, subBody, kT0);
    std::string bind = sign(alice, "", 0x18, a[0].body, 14, subBody, kT0,
                            subpacket(27, "\x02") + subpacket(32, wrongBack));
    key = import({a[0], a[1], a[2], h[3], {2, bind}}, &in);
    EXPECT_EQ(1u, in->droppedSubKeys);
}

TEST_F(KeyModel, DecryptionKeysAndRevokersComeFromVerifiedSignaturesOnly) {
    ZAFKeyDBObjRef alice = make("Alice"), mallory = make("Mallory", true);
    std::vector<Packet> a = publicPackets(alice);
    std::string fpr = fingerprint(mallory);
    ASSERT_EQ(20u, fpr.size());
    std::string adk = subpacket(10, std::string{char(0x80), 1} + fpr);
    std::string revoker = subpacket(12, std::string{char(0x80), 1} + fpr);
    // Alice's self-signature with a newer date, an ADK and a revoker added: it no longer verifies.
    std::string altered =
        withHashed(a[2].body, subpacket(2, keypackets::be32(kT0 * 2)) + adk + revoker);
    ZAFKeyDBObjRef key = import({a[0], a[1], a[2], a[1], {2, altered}});
    ASSERT_NE(nullptr, key);
    uint32_t n = 9;
    ASSERT_EQ(0, ZAFCountAdditionalRecipientRequests(key, &n));
    EXPECT_EQ(0u, n);
    ASSERT_EQ(0, ZAFCountRevocationKeys(key, &n));
    EXPECT_EQ(0u, n);
    // A direct-key signature that does not verify names none either; one that does, does.
    std::string badDirect = withHashed(sign(alice, "", 0x1F, a[0].body, 0, "", kT0), adk);
    std::string goodDirect = sign(alice, "", 0x1F, a[0].body, 0, "", kT0, adk + revoker);
    key = import({a[0], {2, badDirect}, a[1], a[2]});
    ASSERT_EQ(0, ZAFCountAdditionalRecipientRequests(key, &n));
    EXPECT_EQ(0u, n);
    key = import({a[0], {2, goodDirect}, a[1], a[2]});
    ASSERT_EQ(0, ZAFCountAdditionalRecipientRequests(key, &n));
    EXPECT_EQ(1u, n);
    ASSERT_EQ(0, ZAFCountRevocationKeys(key, &n));
    EXPECT_EQ(1u, n);
}

TEST_F(KeyModel, ForgedUserIDsCountNeitherInTheTrustCalculationNorForCertifying) {
    ZAFKeyDBObjRef alice = make("Alice");
    ZAFKeyDBObjRef trusted = make("Trusted"); // secret held: trusted implicitly
    std::vector<Packet> a = publicPackets(alice);
    // The trusted key certifies a user ID that Alice never signed.
    std::string cert = sign(trusted, "", 0x10, a[0].body, 13, "Mallory", kT0);
    std::string bytes =
        keypackets::join({a[0], {13, "Mallory"}, {2, a[2].body}, {2, cert}, a[1], a[2]});
    TempDir dir;
    writeAll(dir.file("pub.pkr"), bytes + exportKey(ctx.get(), trusted, false));
    writeAll(dir.file("sec.skr"), exportKey(ctx.get(), trusted, true));
    ZAFKeyDBRef ring = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &ring));
    ZAFKeyDBObjRef onDisk = &ring->keys.at(0)->objs[0];
    ASSERT_EQ(0, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(ring), ring));
    EXPECT_EQ(kZAFValidity_Unknown, numProperty(onDisk, kZAFKeyProperty_Validity));
    // Certifying the key certifies its primary user ID, which is Alice's own.
    EXPECT_EQ("Alice", primaryName(onDisk));
    ZAFKeyDBObjRef uid = nullptr;
    ASSERT_EQ(0, ZAFGetPrimaryUserID(onDisk, &uid));
    ASSERT_EQ(0, ZAFCertifyUserID(uid, &ring->keys.at(1)->objs[0], ZAFOPassphrase(ctx.get(), ""),
                                  ZAFOLastOption()));
    ASSERT_EQ(0, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(ring), ring));
    EXPECT_EQ(kZAFValidity_Complete, ring->keys.at(0)->validity);
    ZAFFreeKeyDB(ring);
}

TEST_F(KeyModel, TrustResultsLastOnlyWhileTheRingsAndTheirExpiriesStandStill) {
    ZAFKeyDBObjRef alice = make("Alice");
    ZAFKeyDBObjRef trusted = make("Trusted"); // secret held: trusted implicitly
    std::vector<Packet> a = publicPackets(alice);
    // The trusted key's certification of Alice runs out two seconds after it was made.
    const uint32_t made = uint32_t(std::time(nullptr));
    std::string cert =
        sign(trusted, "", 0x10, a[0].body, 13, a[1].body, made, subpacket(3, keypackets::be32(2)));
    TempDir dir;
    writeAll(dir.file("pub.pkr"), keypackets::join({a[0], a[1], a[2], {2, cert}}) +
                                      exportKey(ctx.get(), trusted, false));
    writeAll(dir.file("sec.skr"), exportKey(ctx.get(), trusted, true));
    ZAFKeyDBRef ring = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &ring));
    auto aliceValidity = [&] {
        EXPECT_EQ(0, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(ring), ring));
        return numProperty(&ring->keys.at(0)->objs[0], kZAFKeyProperty_Validity);
    };
    ASSERT_EQ(kZAFValidity_Complete, aliceValidity());
    // Asked again and again while nothing changes, the answer changes when the certification
    // runs out (bounded: it has two seconds to go).
    int64_t validity = kZAFValidity_Complete;
    for (int i = 0; i < 200 && validity == kZAFValidity_Complete; ++i) {
        validity = aliceValidity();
        if (validity == kZAFValidity_Complete)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(kZAFValidity_Unknown, validity);
    EXPECT_GE(uint32_t(std::time(nullptr)), made + 2);

    // A new certification, then a change by another handle of the same rings: a refresh that
    // reads it is a change too.
    ZAFKeyDBObjRef uid = nullptr;
    ASSERT_EQ(0, ZAFGetPrimaryUserID(&ring->keys.at(0)->objs[0], &uid));
    ASSERT_EQ(0, ZAFCertifyUserID(uid, &ring->keys.at(1)->objs[0], ZAFOPassphrase(ctx.get(), ""),
                                  ZAFOLastOption()));
    ASSERT_EQ(kZAFValidity_Complete, aliceValidity());
    ASSERT_EQ(0, ZAFFlushKeyDB(ring));
    ZAFKeyDBRef other = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &other));
    ASSERT_EQ(0, ZAFSetKeyOwnerTrust(&other->keys.at(1)->objs[0], kZAFKeyTrust_Never));
    ASSERT_EQ(0, ZAFFlushKeyDB(other));
    ZAFFreeKeyDB(other);
    ASSERT_EQ(0, ZAFKeyDBRefresh(ring));
    EXPECT_EQ(kZAFValidity_Unknown, aliceValidity());
    ZAFFreeKeyDB(ring);
}

TEST_F(KeyModel, ImportIgnoresCheckResultsThatComeFromOutside) {
    ZAFKeyDBObjRef alice = make("Alice");
    std::vector<Packet> a = publicPackets(alice);
    // A trust packet after the forged signature claiming a good check: it is not ours to trust.
    std::string claim = std::string("ZV") + char(zaf::kCheckGood) + std::string(8, '\0');
    ZAFKeyDBRef in = nullptr;
    import({a[0], a[1], a[2], {13, "Mallory"}, a[2], { 12, claim }}, &in);
    EXPECT_EQ(1u, in->droppedUserIDs);
}

TEST_F(KeyModel, RingsWeWroteOpenWithoutVerifyingAgain) {
    ZAFKeyDBObjRef alice = make("Alice", true);
    TempDir dir;
    writeAll(dir.file("pub.pkr"), exportKey(ctx.get(), alice, false));
    ZAFKeyDBRef ring = nullptr;
    zaf::clearCachedChecks();
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &ring));
    EXPECT_EQ(2u, zaf::cachedCheckCount()); // the user ID's self-signature and the binding
    ASSERT_EQ(0, ZAFSetKeyOwnerTrust(&ring->keys[0]->objs[0], kZAFKeyTrust_Marginal));
    ASSERT_EQ(0, ZAFFlushKeyDB(ring));
    ZAFFreeKeyDB(ring);
    zaf::clearCachedChecks();
    const uint64_t verifiedBefore = zaf::verificationsMade();
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &ring));
    EXPECT_EQ(verifiedBefore, zaf::verificationsMade());
    EXPECT_EQ(1u, zaf::encryptionSubkeys(*ring->keys[0]).size());
    // Check results are local: an export leaves them out.
    EXPECT_EQ(exportKey(ctx.get(), alice, false),
              exportKey(ctx.get(), &ring->keys[0]->objs[0], false));
    ZAFFreeKeyDB(ring);
    // A check result whose signature was altered since does not count.
    std::string bytes = readAll(dir.file("pub.pkr"));
    std::vector<Packet> p = keypackets::split(bytes);
    ASSERT_EQ(2, p[3].tag);
    ASSERT_EQ(12, p[4].tag);
    p[3].body[p[3].body.size() - 3] ^= 1;
    writeAll(dir.file("pub.pkr"), keypackets::join(p));
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &ring));
    EXPECT_EQ(1u, ring->keys[0]->hiddenUserIDs);
    ZAFFreeKeyDB(ring);
}

TEST_F(KeyModel, ThePrimaryUserIDIsAPlainUserIDWithTheNewestValidSelfSignature) {
    ZAFKeyDBObjRef alice = make("Alice");
    std::vector<Packet> a = publicPackets(alice);
    const std::string& body = a[0].body;
    auto cert = [&](const std::string& uid, uint32_t at, bool primary = false) {
        return Packet{2, sign(alice, "", 0x13, body, 13, uid, at,
                              primary ? subpacket(25, std::string(1, '\1')) : "")};
    };
    std::string image = std::string{16, 0, 1, 1} + std::string(12, '\0') + "\xFF\xD8";
    std::string photoBody = std::string{char(image.size() + 1), 1} + image;
    Packet photo{17, photoBody};
    Packet photoCert{2, sign(alice, "", 0x13, body, 17, photoBody, kT0 + 500)};
    // Newest wins; a photo never, however new.
    ZAFKeyDBObjRef k = import({a[0],
                               {13, "Old"},
                               cert("Old", kT0),
                               {13, "New"},
                               cert("New", kT0 + 10),
                               photo,
                               photoCert});
    EXPECT_EQ("New", primaryName(k));
    ASSERT_GE(k->key->primaryAttribute, 0);
    EXPECT_EQ(image, dataProperty(&k->key->objs[size_t(k->key->primaryAttribute)],
                                  kZAFUserIDProperty_AttributeData));
    // The primary flag beats age; the newest flagged one wins.
    k = import({a[0],
                {13, "Old"},
                cert("Old", kT0, true),
                {13, "Older"},
                cert("Older", kT0 - 5, true),
                {13, "New"},
                cert("New", kT0 + 10)});
    EXPECT_EQ("Old", primaryName(k));
    // A revoked user ID is not primary while another is valid, whatever the order of its
    // packets; an expired self-signature neither.
    Packet revokeNew{2, sign(alice, "", 0x30, body, 13, "New", kT0 + 20)};
    k = import(
        {a[0], {13, "Old"}, cert("Old", kT0), {13, "New"}, revokeNew, cert("New", kT0 + 10)});
    EXPECT_EQ("Old", primaryName(k));
    Packet expiring{
        2, sign(alice, "", 0x13, body, 13, "New", kT0 + 10, subpacket(3, keypackets::be32(60)))};
    k = import({a[0], {13, "Old"}, cert("Old", kT0), {13, "New"}, expiring});
    EXPECT_EQ("Old", primaryName(k));
    // Only a photo: it is the primary user ID.
    k = import({a[0], photo, photoCert});
    ZAFKeyDBObjRef uid = nullptr;
    ASSERT_EQ(0, ZAFGetPrimaryUserID(k, &uid));
    EXPECT_TRUE(boolProperty(uid, kZAFUserIDProperty_IsAttribute));
}

TEST_F(KeyModel, CertificationRevocationsApplyWhateverTheirOrder) {
    ZAFKeyDBObjRef alice = make("Alice"), carol = make("Carol");
    std::vector<Packet> a = publicPackets(alice);
    Packet cert{2, sign(carol, "", 0x10, a[0].body, 13, "Alice", kT0)};
    Packet revocation{2, sign(carol, "", 0x30, a[0].body, 13, "Alice", kT0 + 60)};
    Packet later{2, sign(carol, "", 0x10, a[0].body, 13, "Alice", kT0 + 120)};
    for (bool revocationFirst : {false, true}) {
        std::vector<Packet> p = {a[0], a[1], a[2]};
        if (revocationFirst) {
            p.push_back(revocation);
            p.push_back(cert);
        } else {
            p.push_back(cert);
            p.push_back(revocation);
        }
        p.push_back(later);
        ZAFKeyDBObjRef k = import(p);
        std::vector<ZAFKeyDBObjRef> sigs = children(
            k, kZAFKeyDBObjType_Signature, int32_t(children(k, kZAFKeyDBObjType_UserID)[0]->index));
        int revoked = 0, live = 0;
        for (ZAFKeyDBObjRef s : sigs) {
            if (s->sigType != 0x10)
                continue;
            (boolProperty(s, kZAFSigProperty_IsRevoked) ? revoked : live)++;
            EXPECT_EQ(s->created == kT0, boolProperty(s, kZAFSigProperty_IsRevoked))
                << revocationFirst;
        }
        EXPECT_EQ(1, revoked);
        EXPECT_EQ(1, live);
    }
}

TEST_F(KeyModel, ATrustSignatureWithAnExpressionLimitsItsIntroducer) {
    ZAFKeyDBObjRef me = make("Me");
    struct Case {
        const char* expression;
        bool inside, outside;
    };
    std::string tooLong = "<[^>]+[@.]example\\.org>$" + std::string(1100, '|');
    for (const Case& c : {Case{"<[^>]+[@.]example\\.org>$", true, false}, Case{"", true, true},
                          Case{"(unclosed", false, false}, Case{tooLong.c_str(), false, false},
                          Case{"(a+)+$", false, false}}) {
        // Fresh keys each round: an introducer, a key inside the scope and one outside.
        ZAFKeyDBRef round = nullptr;
        ASSERT_EQ(0, ZAFNewKeyDB(ctx.get(), &round));
        ZAFKeySetRef mine = nullptr;
        ASSERT_EQ(0, ZAFNewSingletonKeySet(me, &mine));
        ASSERT_EQ(0, ZAFCopyKeys(mine, round, nullptr));
        ZAFFreeKeySet(mine);
        ZAFKeyDBObjRef introducer = generateKey(ctx.get(), round, "Introducer", "");
        ZAFKeyDBObjRef inside = generateKey(ctx.get(), round, "In <in@example.org>", "");
        ZAFKeyDBObjRef outside = generateKey(
            ctx.get(), round,
            std::string("Out <out@other.net>" + std::string(40, 'a') + "!").c_str(), "");
        for (ZAFKeyDBObjRef k : {introducer, inside, outside})
            ASSERT_EQ(0, ZAFSetKeyOwnerTrust(current(round, k), kZAFKeyTrust_Undefined));
        // My trust signature on the introducer, made packet by packet (the toolkit would not
        // make one with a faulty expression).
        std::vector<Packet> p = publicPackets(current(round, introducer));
        std::string hashed = subpacket(5, std::string{1, 120});
        if (*c.expression)
            hashed += subpacket(6, std::string(c.expression) + '\0');
        p.insert(p.begin() + 3, Packet{2, sign(current(round, me), "", 0x10, p[0].body, 13,
                                               p[1].body, kT0, hashed)});
        ZAFKeyDBRef in = nullptr;
        import(p, &in);
        ASSERT_EQ(0, ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(in), round, nullptr));
        for (ZAFKeyDBObjRef k : {inside, outside})
            ASSERT_EQ(0, ZAFCertifyUserID(children(current(round, k), kZAFKeyDBObjType_UserID)[0],
                                          current(round, introducer), ZAFOPassphrase(ctx.get(), ""),
                                          ZAFOLastOption()));
        ASSERT_EQ(0, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(round), round));
        EXPECT_EQ(kZAFValidity_Complete, current(round, introducer)->key->validity);
        EXPECT_EQ(c.inside ? kZAFValidity_Complete : kZAFValidity_Unknown,
                  current(round, inside)->key->validity)
            << c.expression;
        EXPECT_EQ(c.outside ? kZAFValidity_Complete : kZAFValidity_Unknown,
                  current(round, outside)->key->validity)
            << c.expression;
        ZAFFreeKeyDB(round);
    }
}
