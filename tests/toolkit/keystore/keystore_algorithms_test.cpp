// Keys of the algorithms the bench rings lack: legacy v3 RSA, ECDSA, EdDSA and an unknown one,
// built here packet by packet and signed with Botan.
#include "keystore/keystore_internal.h"
#include "keystore_test_util.h"

#include <botan/ecdsa.h>
#include <botan/ed25519.h>
#include <botan/hash.h>
#include <botan/pubkey.h>
#include <botan/rsa.h>
#include <botan/system_rng.h>

#include <cstring>
#include <gtest/gtest.h>

using namespace kstest;

namespace {

const uint32_t kCreated = 0x5F000000;

std::string be32(uint32_t v) {
    return {char(v >> 24), char((v >> 16) & 0xFF), char((v >> 8) & 0xFF), char(v & 0xFF)};
}

std::string mpi(const std::vector<uint8_t>& bytes) {
    size_t i = 0;
    while (i < bytes.size() && bytes[i] == 0)
        ++i;
    size_t bits = 0;
    if (i < bytes.size()) {
        uint8_t top = bytes[i];
        while (top) {
            ++bits;
            top = uint8_t(top >> 1);
        }
        bits += (bytes.size() - i - 1) * 8;
    }
    return std::string{char(bits >> 8), char(bits & 0xFF)} +
           std::string(bytes.begin() + long(i), bytes.end());
}

std::string mpi(const Botan::BigInt& n) { return mpi(Botan::BigInt::encode(n)); }

std::string packet(uint8_t tag, const std::string& body, bool newFormat = false) {
    std::string out;
    zaf::rfc4880::writePacket(out, tag, body, newFormat);
    return out;
}

struct Signer {
    const Botan::Private_Key* key;
    uint8_t alg;
    std::string emsa;
    size_t width;
};

// The signature MPIs of `digest`.
std::string signDigest(const Signer& s, const std::vector<uint8_t>& digest, uint8_t hashAlg) {
    Botan::System_RNG rng;
    std::vector<uint8_t> msg = digest;
    if (zaf::rfc4880::isRSA(s.alg)) {
        std::string_view prefix = zaf::rfc4880::digestInfoPrefix(hashAlg);
        msg.insert(msg.begin(), prefix.begin(), prefix.end());
    }
    Botan::PK_Signer signer(*s.key, rng, s.emsa);
    std::vector<uint8_t> sig = signer.sign_message(msg, rng);
    if (zaf::rfc4880::isRSA(s.alg))
        return mpi(sig);
    size_t half = sig.size() / 2;
    return mpi(std::vector<uint8_t>(sig.begin(), sig.begin() + long(half))) +
           mpi(std::vector<uint8_t>(sig.begin() + long(half), sig.end()));
}

std::vector<uint8_t> hashOf(const std::string& data) {
    auto h = Botan::HashFunction::create("SHA-256");
    h->update(data);
    Botan::secure_vector<uint8_t> d = h->final();
    return std::vector<uint8_t>(d.begin(), d.end());
}

// A v4 signature of `type` over key body `keyBody` and (when not empty) user ID `uid`, issued
// by `keyID`, with `extra` hashed subpackets.
std::string v4Sig(const Signer& s, uint8_t type, const std::string& keyBody, const std::string& uid,
                  const uint8_t keyID[8], const std::string& extra = "", uint8_t uidTag = 0xB4) {
    std::string hashed;
    zaf::rfc4880::appendSubpacket(hashed, 2, be32(kCreated));
    if (type == 0x13)
        zaf::rfc4880::appendSubpacket(hashed, 11, std::string("\x09\x07", 2));
    hashed += extra;
    std::string body = {
        4, char(type), char(s.alg), 8, char(hashed.size() >> 8), char(hashed.size())};
    body += hashed;
    std::string data =
        std::string{char(0x99), char(keyBody.size() >> 8), char(keyBody.size())} + keyBody;
    if (!uid.empty())
        data += char(uidTag) + be32(uint32_t(uid.size())) + uid;
    data += body + std::string{4, char(0xFF)} + be32(uint32_t(body.size()));
    std::vector<uint8_t> digest = hashOf(data);
    std::string unhashed;
    zaf::rfc4880::appendSubpacket(unhashed, 16,
                                  std::string(reinterpret_cast<const char*>(keyID), 8));
    body += char(unhashed.size() >> 8);
    body += char(unhashed.size());
    body += unhashed;
    body += char(digest[0]);
    body += char(digest[1]);
    return body + signDigest(s, digest, 8);
}

std::string v4SelfSig(const Signer& s, const std::string& keyBody, const std::string& uid,
                      const uint8_t keyID[8]) {
    return v4Sig(s, 0x13, keyBody, uid, keyID);
}

// An ECDSA P-256 key packet body for `key`.
std::string ecdsaBody(const Botan::ECDSA_PrivateKey& key) {
    std::vector<uint8_t> point = key.public_point().encode(Botan::PointGFp::UNCOMPRESSED);
    std::string oid("\x2A\x86\x48\xCE\x3D\x03\x01\x07", 8);
    return std::string{4} + be32(kCreated) + char(19) + char(oid.size()) + oid + mpi(point);
}

void expectSelfSignatureVerifies(const std::string& bytes, bool flipInSignature) {
    zaf::KeyPtr k = zaf::buildKeyFromStrings(bytes, "");
    ASSERT_NE(nullptr, k);
    ASSERT_EQ(3u, k->objs.size());
    const ZAFKeyDBObj& sig = k->objs[2];
    ASSERT_EQ(kZAFKeyDBObjType_Signature, sig.type);
    EXPECT_TRUE(zaf::verifySignature(nullptr, *k, sig, k.get()));
    if (flipInSignature) {
        std::string bad = bytes;
        bad[bad.size() - 2] = char(bad[bad.size() - 2] ^ 0x01);
        zaf::KeyPtr b = zaf::buildKeyFromStrings(bad, "");
        ASSERT_NE(nullptr, b);
        EXPECT_FALSE(zaf::verifySignature(nullptr, *b, b->objs[2], b.get()));
    }
}

} // namespace

TEST(Algorithms, LegacyRSAKeyHasItsFingerprintKeyIDAndSignature) {
    Botan::System_RNG rng;
    Botan::RSA_PrivateKey rsa(rng, 1024);
    std::string body = std::string{3} + be32(kCreated) + std::string{0, 0, 1} + mpi(rsa.get_n()) +
                       mpi(rsa.get_e());
    std::string uid = "Legacy <legacy@example.org>";
    // Legacy keys: the ID is the modulus' low 64 bits, the fingerprint MD5 over n and e.
    std::vector<uint8_t> n = Botan::BigInt::encode(rsa.get_n());
    std::vector<uint8_t> e = Botan::BigInt::encode(rsa.get_e());
    uint8_t keyID[8];
    std::memcpy(keyID, n.data() + n.size() - 8, 8);
    auto md5 = Botan::HashFunction::create("MD5");
    md5->update(n);
    md5->update(e);
    Botan::secure_vector<uint8_t> fpr = md5->final();
    // A v3 certification hashes the key, the bare user ID, then type and time.
    std::string trailer = std::string{0x10} + be32(kCreated);
    std::string data =
        std::string{char(0x99), char(body.size() >> 8), char(body.size())} + body + uid + trailer;
    std::vector<uint8_t> digest = hashOf(data);
    Signer s{&rsa, 1, "EMSA3(Raw)", 0};
    std::string sig = std::string{3, 5} + trailer +
                      std::string(reinterpret_cast<const char*>(keyID), 8) + std::string{1, 8} +
                      char(digest[0]) + char(digest[1]) + signDigest(s, digest, 8);
    std::string bytes = packet(6, body) + packet(13, uid) + packet(2, sig);
    expectSelfSignatureVerifies(bytes, true);

    Context ctx;
    ZAFKeyDBRef db = importBytes(ctx.get(), bytes);
    ASSERT_NE(nullptr, db);
    ZAFKeyDBObjRef key = &db->keys[0]->objs[0];
    int32_t v = 0;
    ZAFGetKeyDBObjNumericProperty(key, kZAFKeyProperty_Version, &v);
    EXPECT_EQ(3, v);
    ZAFGetKeyDBObjNumericProperty(key, kZAFKeyProperty_Bits, &v);
    EXPECT_EQ(1024, v);
    uint8_t got[32];
    size_t size = 0;
    ASSERT_EQ(0,
              ZAFGetKeyDBObjDataProperty(key, kZAFKeyProperty_Fingerprint, got, sizeof got, &size));
    ASSERT_EQ(16u, size);
    EXPECT_EQ(0, std::memcmp(got, fpr.data(), 16));
    ZAFKeyID id;
    ASSERT_EQ(0, ZAFGetKeyID(key, &id));
    EXPECT_EQ(0, std::memcmp(id.bytes, keyID, 8));
    // The legacy key writes back as it came.
    EXPECT_EQ(bytes, exportSet(ctx.get(), ZAFPeekKeyDBRootKeySet(db), false, false));
    ZAFFreeKeyDB(db);
}

TEST(Algorithms, ECDSAAndEdDSASelfSignaturesVerify) {
    Botan::System_RNG rng;
    {
        Botan::EC_Group group("secp256r1");
        Botan::ECDSA_PrivateKey ecdsa(rng, group);
        std::vector<uint8_t> point = ecdsa.public_point().encode(Botan::PointGFp::UNCOMPRESSED);
        std::string oid("\x2A\x86\x48\xCE\x3D\x03\x01\x07", 8);
        std::string body =
            std::string{4} + be32(kCreated) + char(19) + char(oid.size()) + oid + mpi(point);
        zaf::rfc4880::KeyInfo info;
        ASSERT_TRUE(zaf::rfc4880::parseKeyPacket(body, info));
        EXPECT_EQ(256u, info.bits);
        std::string uid = "EC <ec@example.org>";
        Signer s{&ecdsa, 19, "Raw", 32};
        // New-format headers this time.
        std::string bytes = packet(6, body, true) + packet(13, uid, true) +
                            packet(2, v4SelfSig(s, body, uid, info.keyID), true);
        expectSelfSignatureVerifies(bytes, true);
    }
    {
        Botan::Ed25519_PrivateKey ed(rng);
        std::vector<uint8_t> pub = ed.get_public_key();
        pub.insert(pub.begin(), 0x40);
        std::string oid("\x2B\x06\x01\x04\x01\xDA\x47\x0F\x01", 9);
        std::string body =
            std::string{4} + be32(kCreated) + char(22) + char(oid.size()) + oid + mpi(pub);
        zaf::rfc4880::KeyInfo info;
        ASSERT_TRUE(zaf::rfc4880::parseKeyPacket(body, info));
        std::string uid = "Ed <ed@example.org>";
        Signer s{&ed, 22, "Pure", 32};
        std::string bytes =
            packet(6, body) + packet(13, uid) + packet(2, v4SelfSig(s, body, uid, info.keyID));
        expectSelfSignatureVerifies(bytes, true);
        Context ctx;
        ZAFKeyDBRef db = importBytes(ctx.get(), bytes);
        ASSERT_NE(nullptr, db);
        // The preferred ciphers of the self-signature are the key's.
        uint8_t prefs[64];
        size_t size = 0;
        ASSERT_EQ(0, ZAFGetKeyDBObjDataProperty(&db->keys[0]->objs[0],
                                                kZAFKeyProperty_PreferredCiphers, prefs,
                                                sizeof prefs, &size));
        ASSERT_EQ(8u, size);
        int32_t first = 0;
        std::memcpy(&first, prefs, 4);
        EXPECT_EQ(9, first);
        ZAFFreeKeyDB(db);
    }
}

TEST(Algorithms, UnknownAlgorithmIsKeptAndWrittenBackUnchanged) {
    // Algorithm 99 with made-up material: listed, exported and flushed as it is.
    std::string body = std::string{4} + be32(kCreated) + char(99) + std::string("opaque-material");
    std::string uid = "Odd <odd@example.org>";
    std::string sig = std::string{4, 0x13, 99, 8, 0, 0, 0, 0, 0x12, 0x34} + std::string("xx");
    std::string bytes = packet(6, body) + packet(13, uid) + packet(2, sig) + packet(60, "future");
    Context ctx;
    TempDir dir;
    writeAll(dir.file("pub.pkr"), bytes);
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &db));
    ZAFKeyDBObjRef key = &db->keys[0]->objs[0];
    int32_t alg = 0, sigs = 0;
    ZAFGetKeyDBObjNumericProperty(key, kZAFKeyProperty_AlgorithmID, &alg);
    ZAFGetKeyDBObjNumericProperty(key, kZAFKeyProperty_NumSignatures, &sigs);
    EXPECT_EQ(99, alg);
    EXPECT_EQ(1, sigs);
    EXPECT_EQ(bytes, exportSet(ctx.get(), ZAFPeekKeyDBRootKeySet(db), false, false));
    ASSERT_EQ(0, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db));
    ZAFPublicKeyContextRef pub = nullptr;
    EXPECT_EQ(kZAFError_UnsupportedAlg, ZAFNewPublicKeyContext(key, &pub));
    // A change to the owner trust rewrites the key with its unknown packets intact.
    ASSERT_EQ(0, ZAFSetKeyOwnerTrust(key, kZAFKeyTrust_Complete));
    ASSERT_EQ(0, ZAFFlushKeyDB(db));
    std::string written = readAll(dir.file("pub.pkr"));
    EXPECT_NE(bytes, written);
    ZAFFreeKeyDB(db);
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &db));
    EXPECT_EQ(bytes, exportSet(ctx.get(), ZAFPeekKeyDBRootKeySet(db), false, false));
    ZAFFreeKeyDB(db);
}

TEST(Packets, HeadersRoundTripAndPartialLengthsOnlyWhereAllowed) {
    for (size_t len :
         {size_t(0), size_t(191), size_t(192), size_t(8383), size_t(8384), size_t(70000)}) {
        for (bool fresh : {false, true}) {
            std::string body(len, 'b');
            std::string p = packet(13, body, fresh);
            zaf::rfc4880::RawPacket rp;
            std::string scratch;
            ASSERT_TRUE(zaf::rfc4880::readPacket(reinterpret_cast<const uint8_t*>(p.data()),
                                                 p.size(), 0, rp, scratch));
            EXPECT_EQ(13, rp.tag);
            EXPECT_EQ(fresh, rp.newFormat);
            EXPECT_EQ(p.size(), rp.total);
            EXPECT_EQ(body, rp.body);
            // One byte short fails.
            EXPECT_FALSE(zaf::rfc4880::readPacket(reinterpret_cast<const uint8_t*>(p.data()),
                                                  p.size() - 1, 0, rp, scratch));
        }
    }
    // A literal data packet in two partial chunks (512 + 3 bytes).
    std::string chunked =
        std::string{char(0xC0 | 11), char(0xE9)} + std::string(512, 'x') + std::string{3} + "end";
    zaf::rfc4880::RawPacket rp;
    std::string scratch;
    ASSERT_TRUE(zaf::rfc4880::readPacket(reinterpret_cast<const uint8_t*>(chunked.data()),
                                         chunked.size(), 0, rp, scratch));
    EXPECT_TRUE(rp.partial);
    EXPECT_EQ(515u, rp.body.size());
    EXPECT_EQ(chunked.size(), rp.total);
    // The same framing on a user ID is refused.
    chunked[0] = char(0xC0 | 13);
    EXPECT_FALSE(zaf::rfc4880::readPacket(reinterpret_cast<const uint8_t*>(chunked.data()),
                                          chunked.size(), 0, rp, scratch));
}

TEST(Algorithms, DesignatedRevokerRevokesOnlyWithAGoodSignature) {
    Botan::System_RNG rng;
    Botan::EC_Group group("secp256r1");
    Botan::ECDSA_PrivateKey owner(rng, group), revoker(rng, group);
    std::string ownerBody = ecdsaBody(owner), revokerBody = ecdsaBody(revoker);
    zaf::rfc4880::KeyInfo oi, ri;
    ASSERT_TRUE(zaf::rfc4880::parseKeyPacket(ownerBody, oi));
    ASSERT_TRUE(zaf::rfc4880::parseKeyPacket(revokerBody, ri));
    Signer os{&owner, 19, "Raw", 32}, rs{&revoker, 19, "Raw", 32};
    // The owner names the revoker (class 0x80, algorithm, fingerprint) in its self-signature.
    std::string designation;
    zaf::rfc4880::appendSubpacket(
        designation, 12,
        std::string{char(0x80), 19} +
            std::string(reinterpret_cast<const char*>(ri.fingerprint), 20));
    // It also asks for the revoker as an additional decryption key, not enforced.
    zaf::rfc4880::appendSubpacket(
        designation, 10,
        std::string{0, 19} + std::string(reinterpret_cast<const char*>(ri.fingerprint), 20));
    std::string ownerUserID =
        packet(13, "Owner") + packet(2, v4Sig(os, 0x13, ownerBody, "Owner", oi.keyID, designation));
    std::string revokerKey = packet(6, revokerBody) + packet(13, "Revoker") +
                             packet(2, v4SelfSig(rs, revokerBody, "Revoker", ri.keyID));
    std::string revocation = packet(2, v4Sig(rs, 0x20, ownerBody, "", ri.keyID));
    std::string forged = revocation;
    forged[forged.size() - 3] = char(forged[forged.size() - 3] ^ 0x04);

    Context ctx;
    auto state = [&](const std::string& bytes, bool& revoked, bool& unverified) {
        ZAFKeyDBRef db = importBytes(ctx.get(), bytes);
        ASSERT_NE(nullptr, db);
        ZAFKeyDBObjRef key = &db->keys[0]->objs[0];
        ZAFBoolean r = 0, u = 0;
        ZAFGetKeyDBObjBooleanProperty(key, kZAFKeyProperty_IsRevoked, &r);
        ZAFGetKeyDBObjBooleanProperty(key, kZAFKeyProperty_HasUnverifiedRevocation, &u);
        revoked = r != 0;
        unverified = u != 0;
        uint32_t count = 0;
        ASSERT_EQ(0, ZAFCountRevocationKeys(key, &count));
        ASSERT_EQ(1u, count);
        ZAFKeyID id;
        ZAFKeyDBObjRef found = nullptr;
        ASSERT_EQ(0, ZAFGetIndexedRevocationKey(key, 0, &found, &id));
        EXPECT_EQ(0, std::memcmp(id.bytes, ri.keyID, 8));
        EXPECT_EQ(db->keys.size() > 1 ? &db->keys[1]->objs[0] : nullptr, found);
        ASSERT_EQ(0, ZAFCountAdditionalRecipientRequests(key, &count));
        ASSERT_EQ(1u, count);
        uint8_t adkClass = 0xFF;
        ASSERT_EQ(0, ZAFGetIndexedAdditionalRecipientRequest(key, 0, nullptr, &id, &adkClass));
        EXPECT_EQ(0, std::memcmp(id.bytes, ri.keyID, 8));
        EXPECT_EQ(0, adkClass);
        EXPECT_EQ(kZAFError_ItemNotFound,
                  ZAFGetIndexedAdditionalRecipientRequest(key, 1, nullptr, &id, nullptr));
        ZAFFreeKeyDB(db);
    };
    bool revoked = true, unverified = false;
    // Key revocations sit right after the primary key packet.
    std::string ownerKey = packet(6, ownerBody);
    state(ownerKey + revocation + ownerUserID, revoked, unverified);
    EXPECT_FALSE(revoked); // the revoker is unknown: the revocation cannot be checked
    EXPECT_TRUE(unverified);
    state(ownerKey + revocation + ownerUserID + revokerKey, revoked, unverified);
    EXPECT_TRUE(revoked);
    EXPECT_FALSE(unverified);
    state(ownerKey + forged + ownerUserID + revokerKey, revoked, unverified);
    EXPECT_FALSE(revoked);
}

namespace {

struct TestKey {
    std::unique_ptr<Botan::ECDSA_PrivateKey> priv;
    std::string body;
    zaf::rfc4880::KeyInfo info;
    std::string uid;
    Signer signer() const { return Signer{priv.get(), 19, "Raw", 32}; }
    std::string selfSigned() const {
        return packet(6, body) + packet(13, uid) +
               packet(2, v4SelfSig(signer(), body, uid, info.keyID));
    }
};

TestKey makeKey(const std::string& uid) {
    Botan::System_RNG rng;
    TestKey k;
    k.priv = std::make_unique<Botan::ECDSA_PrivateKey>(rng, Botan::EC_Group("secp256r1"));
    k.body = ecdsaBody(*k.priv);
    EXPECT_TRUE(zaf::rfc4880::parseKeyPacket(k.body, k.info));
    k.uid = uid;
    return k;
}

// A certification by `by` of `of`'s user ID, with extra hashed subpackets.
std::string certify(const TestKey& by, const TestKey& of, const std::string& extra = "") {
    return packet(2, v4Sig(by.signer(), 0x10, of.body, of.uid, by.info.keyID, extra));
}

} // namespace

TEST(Trust, TrustSignatureMakesItsTargetAnIntroducer) {
    TestKey a = makeKey("A"), b = makeKey("B"), c = makeKey("C");
    std::string trustSig;
    zaf::rfc4880::appendSubpacket(trustSig, 5, std::string{1, 120});
    for (bool withTrustSignature : {false, true}) {
        std::string bytes = a.selfSigned() + b.selfSigned() +
                            certify(a, b, withTrustSignature ? trustSig : "") + c.selfSigned() +
                            certify(b, c);
        Context ctx;
        ZAFKeyDBRef db = importBytes(ctx.get(), bytes);
        ASSERT_NE(nullptr, db);
        ASSERT_EQ(3u, db->keys.size());
        ASSERT_EQ(0, ZAFSetKeyOwnerTrust(&db->keys[0]->objs[0], kZAFKeyTrust_Ultimate));
        ASSERT_EQ(0, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db));
        EXPECT_EQ(kZAFValidity_Complete, db->keys[0]->validity);
        EXPECT_EQ(kZAFValidity_Complete, db->keys[1]->validity);
        // B's owner trust is undefined, so only the trust signature lets it introduce C.
        EXPECT_EQ(withTrustSignature ? kZAFValidity_Complete : kZAFValidity_Unknown,
                  db->keys[2]->validity);
        // A depth-1 trust signature lets B introduce C but not pass that power on: B's own
        // trust signature on C gives D nothing.
        ZAFFreeKeyDB(db);
        TestKey d = makeKey("D");
        std::string chain = a.selfSigned() + b.selfSigned() +
                            certify(a, b, withTrustSignature ? trustSig : "") + c.selfSigned() +
                            certify(b, c, trustSig) + d.selfSigned() + certify(c, d);
        db = importBytes(ctx.get(), chain);
        ASSERT_NE(nullptr, db);
        ASSERT_EQ(0, ZAFSetKeyOwnerTrust(&db->keys[0]->objs[0], kZAFKeyTrust_Ultimate));
        ASSERT_EQ(0, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db));
        EXPECT_EQ(withTrustSignature ? kZAFValidity_Complete : kZAFValidity_Unknown,
                  db->keys[2]->validity);
        EXPECT_EQ(kZAFValidity_Unknown, db->keys[3]->validity);
        // With a certification depth of 1, C is too far away even then.
        zafenvSetInt(zafContextGetEnvironment(ctx.get()), kZAFEnv_CertDepth, 1, 0);
        ASSERT_EQ(0, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db));
        EXPECT_EQ(kZAFValidity_Unknown, db->keys[2]->validity);
        ZAFFreeKeyDB(db);
    }
}

TEST(Export, CompatibleLeavesOutPhotosAndLocalSignaturesStayHome) {
    TestKey a = makeKey("A"), b = makeKey("B");
    // A photo ID: image subpacket (type 1) with its 16-byte header, then the image.
    std::string image = std::string{16, 0, 1, 1} + std::string(12, '\0') + "JPEGDATA";
    std::string attribute = std::string{char(image.size() + 1), 1} + image;
    std::string local;
    zaf::rfc4880::appendSubpacket(local, 4, std::string{0});
    std::string photo = packet(17, attribute) + packet(2, v4Sig(a.signer(), 0x13, a.body, attribute,
                                                                a.info.keyID, "", 0xD1));
    std::string bytes = a.selfSigned() + certify(b, a, local) + photo;
    Context ctx;
    ZAFKeyDBRef db = importBytes(ctx.get(), bytes + b.selfSigned());
    ASSERT_NE(nullptr, db);
    ZAFKeyDBObjRef photoObj = nullptr;
    for (ZAFKeyDBObj& o : db->keys[0]->objs)
        if (o.type == kZAFKeyDBObjType_UserID)
            photoObj = &o;
    int32_t type = 0;
    ASSERT_EQ(0, ZAFGetKeyDBObjNumericProperty(photoObj, kZAFUserIDProperty_AttributeType, &type));
    EXPECT_EQ(1, type);
    void* data = nullptr;
    size_t size = 0;
    ASSERT_EQ(0, ZAFGetKeyDBObjAllocatedDataProperty(photoObj, kZAFUserIDProperty_AttributeData,
                                                     &data, &size));
    EXPECT_EQ(image, std::string(static_cast<char*>(data), size));
    ZAFFreeData(data);
    ZAFKeySetRef one = nullptr;
    ASSERT_EQ(0, ZAFNewSingletonKeySet(&db->keys[0]->objs[0], &one));
    std::string withoutLocal = a.selfSigned() + photo;
    EXPECT_EQ(withoutLocal, exportSet(ctx.get(), one, false, false, kZAFExportFormat_Complete));
    EXPECT_EQ(a.selfSigned(), exportSet(ctx.get(), one, false, false, kZAFExportFormat_Compatible));
    ZAFFreeKeySet(one);
    ZAFFreeKeyDB(db);
}
