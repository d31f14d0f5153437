// Private and public key contexts: unlocking secret keys, signing, verifying; key servers.
#include "keystore/keystore_internal.h"
#include "keystore_test_util.h"

#include <botan/cipher_mode.h>
#include <botan/hash.h>

#include <cstring>
#include <gtest/gtest.h>

using namespace kstest;

namespace {

// Re-protects an unprotected secret key packet body with the iterated and salted S2K
// (SHA-256, AES-256 CFB, SHA-1 check) under `pass`.
std::string protect(std::string_view body, const std::string& pass) {
    zaf::rfc4880::KeyInfo info;
    EXPECT_TRUE(zaf::rfc4880::parseKeyPacket(body, info));
    std::string_view secret = body.substr(info.publicLength + 1); // skip usage byte 0
    secret.remove_suffix(2);                                      // and the checksum
    std::string salt = "saltsalt";
    uint8_t countByte = 0x60; // 65536 bytes
    size_t count = size_t(16 + (countByte & 15)) << ((countByte >> 4) + 6);
    std::string material = salt + pass;
    auto sha256 = Botan::HashFunction::create("SHA-256");
    for (size_t left = count; left > 0;) {
        size_t n = std::min(left, material.size());
        sha256->update(reinterpret_cast<const uint8_t*>(material.data()), n);
        left -= n;
    }
    Botan::secure_vector<uint8_t> key = sha256->final();
    Botan::secure_vector<uint8_t> plain(secret.begin(), secret.end());
    auto sha1 = Botan::HashFunction::create("SHA-1");
    sha1->update(plain);
    Botan::secure_vector<uint8_t> check = sha1->final();
    plain.insert(plain.end(), check.begin(), check.end());
    std::string iv(16, '\x42');
    auto mode = Botan::Cipher_Mode::create("AES-256/CFB", Botan::ENCRYPTION);
    mode->set_key(key);
    mode->start(reinterpret_cast<const uint8_t*>(iv.data()), iv.size());
    mode->finish(plain);
    std::string out(body.substr(0, info.publicLength));
    out += std::string("\xFE\x09\x03\x08", 4) + salt + char(countByte) + iv;
    out.append(reinterpret_cast<const char*>(plain.data()), plain.size());
    return out;
}

void signAndVerify(ZAFKeyDBObjRef key, const char* pass) {
    ZAFPrivateKeyContextRef priv = nullptr;
    ASSERT_EQ(0, ZAFNewPrivateKeyContext(key, pass, std::strlen(pass), &priv));
    uint8_t hash[32];
    for (size_t i = 0; i < sizeof hash; ++i)
        hash[i] = uint8_t(i * 7);
    size_t size = 0;
    ASSERT_EQ(kZAFError_BufferTooSmall, ZAFPrivateKeySign(priv, 8, hash, 32, nullptr, 0, &size));
    std::vector<uint8_t> sig(size);
    ASSERT_EQ(0, ZAFPrivateKeySign(priv, 8, hash, 32, sig.data(), sig.size(), &size));
    ZAFFreePrivateKeyContext(priv);
    ZAFPublicKeyContextRef pub = nullptr;
    ASSERT_EQ(0, ZAFNewPublicKeyContext(key, &pub));
    EXPECT_EQ(0, ZAFPublicKeyVerify(pub, 8, hash, 32, sig.data(), size));
    hash[5] ^= 1;
    EXPECT_EQ(kZAFError_BadSignature, ZAFPublicKeyVerify(pub, 8, hash, 32, sig.data(), size));
    hash[5] ^= 1;
    sig[size - 1] ^= 1;
    EXPECT_EQ(kZAFError_BadSignature, ZAFPublicKeyVerify(pub, 8, hash, 32, sig.data(), size));
    EXPECT_EQ(kZAFError_BadSignature, ZAFPublicKeyVerify(pub, 8, hash, 32, sig.data(), size - 1));
    ZAFFreePublicKeyContext(pub);
}

} // namespace

TEST(PrivateKey, UnprotectedKeysSignAndVerify) {
    if (!haveBench())
        GTEST_SKIP();
    Context ctx;
    std::string pub = readAll(benchPath("pubring-1k.pkr"));
    std::string sec = readAll(benchPath("secring-1k.skr"));
    // Key 1 is RSA, key 3 DSA; both unprotected.
    ZAFKeyDBRef db = importBytes(ctx.get(), sliceKeys(pub, 0, 3) + sliceKeys(sec, 0, 3));
    ASSERT_NE(nullptr, db);
    for (size_t i : {size_t(0), size_t(2)}) {
        ZAFKeyDBObjRef key = &db->keys[i]->objs[0];
        ZAFBoolean needs = 1;
        ASSERT_EQ(0, ZAFGetKeyDBObjBooleanProperty(key, kZAFKeyProperty_NeedsPassphrase, &needs));
        EXPECT_FALSE(needs);
        EXPECT_TRUE(ZAFPassphraseIsValid(key, ""));
        signAndVerify(key, "");
    }
    // A key held only as a public key has nothing to unlock.
    ZAFKeyDBRef pubOnly = importBytes(ctx.get(), sliceKeys(pub, 0, 1));
    ZAFPrivateKeyContextRef priv = nullptr;
    EXPECT_EQ(kZAFError_NoSecretKey,
              ZAFNewPrivateKeyContext(&pubOnly->keys[0]->objs[0], "", 0, &priv));
    ZAFFreeKeyDB(pubOnly);
    ZAFFreeKeyDB(db);
}

TEST(PrivateKey, ProtectedKeyNeedsTheRightPassphrase) {
    if (!haveBench())
        GTEST_SKIP();
    Context ctx;
    std::string sec = sliceKeys(readAll(benchPath("secring-1k.skr")), 0, 1);
    zaf::rfc4880::RawPacket rp;
    std::string scratch;
    ASSERT_TRUE(zaf::rfc4880::readPacket(reinterpret_cast<const uint8_t*>(sec.data()), sec.size(),
                                         0, rp, scratch));
    std::string packet;
    zaf::rfc4880::writePacket(packet, zaf::rfc4880::kTagSecretKey,
                              protect(rp.body, "correct horse"));
    std::string protectedKey = packet + sec.substr(rp.total);
    ZAFKeyDBRef db = importBytes(ctx.get(), protectedKey);
    ASSERT_NE(nullptr, db);
    ZAFKeyDBObjRef key = &db->keys[0]->objs[0];
    ZAFBoolean needs = 0;
    ASSERT_EQ(0, ZAFGetKeyDBObjBooleanProperty(key, kZAFKeyProperty_NeedsPassphrase, &needs));
    EXPECT_TRUE(needs);
    ZAFPrivateKeyContextRef priv = nullptr;
    EXPECT_EQ(kZAFError_BadPassphrase, ZAFNewPrivateKeyContext(key, "wrong", 5, &priv));
    EXPECT_EQ(nullptr, priv);
    EXPECT_FALSE(ZAFPassphraseIsValid(key, "correct hors"));
    EXPECT_TRUE(ZAFPassphraseIsValid(key, "correct horse"));
    signAndVerify(key, "correct horse");
    ZAFFreeKeyDB(db);
}

namespace {

// A key revocation certificate (type 0x20) for `key`, signed with its own secret key.
std::string revocationFor(ZAFKeyDBObjRef key) {
    const zaf::Key& k = *key->key;
    std::string_view keyBody = k.packetBody(0);
    std::string body = {4, 0x20, char(k.algorithm), 8};
    std::string hashed;
    zaf::rfc4880::appendSubpacket(hashed, 2, std::string("\x66\x00\x00\x00", 4));
    body += char(hashed.size() >> 8);
    body += char(hashed.size() & 0xFF);
    body += hashed;
    auto sha = Botan::HashFunction::create("SHA-256");
    uint8_t hdr[3] = {0x99, uint8_t(keyBody.size() >> 8), uint8_t(keyBody.size())};
    sha->update(hdr, 3);
    sha->update(reinterpret_cast<const uint8_t*>(keyBody.data()), keyBody.size());
    sha->update(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    uint32_t n = uint32_t(body.size());
    uint8_t trailer[6] = {4, 0xFF, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    sha->update(trailer, 6);
    Botan::secure_vector<uint8_t> digest = sha->final();
    std::string unhashed;
    zaf::rfc4880::appendSubpacket(unhashed, 16,
                                  std::string(reinterpret_cast<const char*>(k.keyID()), 8));
    body += char(unhashed.size() >> 8);
    body += char(unhashed.size() & 0xFF);
    body += unhashed;
    body += char(digest[0]);
    body += char(digest[1]);
    ZAFPrivateKeyContextRef priv = nullptr;
    EXPECT_EQ(0, ZAFNewPrivateKeyContext(key, "", 0, &priv));
    size_t size = 0;
    ZAFPrivateKeySign(priv, 8, digest.data(), digest.size(), nullptr, 0, &size);
    std::string sig(size, '\0');
    EXPECT_EQ(0, ZAFPrivateKeySign(priv, 8, digest.data(), digest.size(),
                                   reinterpret_cast<uint8_t*>(&sig[0]), size, &size));
    ZAFFreePrivateKeyContext(priv);
    std::string packet;
    zaf::rfc4880::writePacket(packet, zaf::rfc4880::kTagSignature, body + sig);
    return packet;
}

bool isRevoked(ZAFKeyDBRef db) {
    ZAFBoolean b = 0;
    EXPECT_EQ(0,
              ZAFGetKeyDBObjBooleanProperty(&db->keys[0]->objs[0], kZAFKeyProperty_IsRevoked, &b));
    return b != 0;
}

} // namespace

TEST(Revocation, StandAloneCertificateRevokesTheKeyItNames) {
    if (!haveBench())
        GTEST_SKIP();
    Context ctx;
    std::string pair = sliceKeys(readAll(benchPath("pubring-1k.pkr")), 0, 1) +
                       sliceKeys(readAll(benchPath("secring-1k.skr")), 0, 1);
    for (bool forged : {false, true}) {
        ZAFKeyDBRef db = importBytes(ctx.get(), pair);
        ASSERT_NE(nullptr, db);
        EXPECT_FALSE(isRevoked(db));
        std::string rev = revocationFor(&db->keys[0]->objs[0]);
        if (forged)
            rev[rev.size() - 3] = char(rev[rev.size() - 3] ^ 0x10);
        // The certificate alone imports (armoured, as it usually travels) into no keys ...
        ZAFKeyDBRef in = importBytes(ctx.get(), zaf::armor(rev, "ZAF PUBLIC KEY BLOCK", {}));
        ASSERT_NE(nullptr, in);
        uint32_t n = 1;
        ZAFCountKeysInKeyDB(in, &n);
        EXPECT_EQ(0u, n);
        // ... and copying the import into the database applies it to the key it names.
        ZAFBoolean changed = 0;
        ASSERT_EQ(0, ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(in), db, &changed));
        EXPECT_TRUE(changed);
        EXPECT_EQ(!forged, isRevoked(db)) << forged;
        int32_t sigs = 0;
        ZAFGetKeyDBObjNumericProperty(&db->keys[0]->objs[0], kZAFKeyProperty_NumSignatures, &sigs);
        EXPECT_EQ(4, sigs); // the forged one is kept too: nothing read is dropped
        // Importing it again changes nothing.
        ASSERT_EQ(0, ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(in), db, &changed));
        EXPECT_FALSE(changed);
        ZAFFreeKeyDB(in);
        ZAFFreeKeyDB(db);
    }
}

TEST(Options, ABadOptionFailsTheCallAndNullOptionsAreIgnored) {
    Context ctx;
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(0, ZAFNewKeyDB(ctx.get(), &db));
    void* out = nullptr;
    size_t size = 0;
    // A failed builder (null) fails the call; the other options are still released.
    EXPECT_EQ(kZAFError_BadParams, ZAFExport(ctx.get(), ZAFOExportKeySet(ctx.get(), nullptr),
                                             ZAFOAllocatedOutputBuffer(ctx.get(), &out, 0, &size),
                                             ZAFOArmorOutput(ctx.get(), 1), ZAFOLastOption()));
    EXPECT_EQ(nullptr, out);
    // Null options anywhere are skipped; a list built ahead stays the caller's.
    ZAFOptionListRef list = nullptr;
    ASSERT_EQ(0, ZAFNewOptionList(ctx.get(), &list));
    ASSERT_EQ(0, ZAFAppendOptionList(list, ZAFONullOption(ctx.get()), ZAFOArmorOutput(ctx.get(), 1),
                                     ZAFOLastOption()));
    ASSERT_EQ(0, ZAFExport(ctx.get(), ZAFONullOption(ctx.get()),
                           ZAFOExportKeySet(ctx.get(), ZAFPeekKeyDBRootKeySet(db)), list,
                           ZAFOAllocatedOutputBuffer(ctx.get(), &out, 0, &size),
                           ZAFONullOption(ctx.get()), ZAFOLastOption()));
    std::string text(static_cast<char*>(out), size);
    ZAFFreeData(out);
    EXPECT_EQ(0u, text.find("-----BEGIN ZAF PUBLIC KEY BLOCK-----"));
    EXPECT_EQ(0, ZAFFreeOptionList(list));
    ZAFFreeKeyDB(db);
}
