// Key generation: the packets of RSA (current and legacy), DSA and ElGamal keys, their
// signatures, secret key protection, option checking and the path to disk.
#include "key_packets.h"
#include "keygen_test_util.h"

#include <botan/bigint.h>
#include <botan/cipher_mode.h>
#include <botan/hash.h>
#include <botan/numthry.h>

using namespace kgtest;

namespace {

class Generate : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, ZAFNewKeyDB(m_ctx.get(), &m_db)); }
    void TearDown() override { ZAFFreeKeyDB(m_db); }
    ZAFContextRef ctx() const { return m_ctx.get(); }
    Context m_ctx;
    ZAFKeyDBRef m_db = nullptr;
};

Botan::BigInt big(std::string_view bytes) {
    return Botan::BigInt(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Decrypts a version 4 secret key packet body protected with usage 254 on its own (not with the
// toolkit's code), checks its SHA-1 digest and returns the secret MPIs.
std::vector<Botan::BigInt> openSecret(const std::string& body, const std::string& pass) {
    zaf::rfc4880::KeyInfo info;
    EXPECT_TRUE(zaf::rfc4880::parseKeyPacket(body, info));
    std::string_view rest = std::string_view(body).substr(info.publicLength);
    std::string plain;
    if (uint8_t(rest[0]) == 0) {
        plain = std::string(rest.substr(1, rest.size() - 3));
    } else {
        EXPECT_EQ(254, uint8_t(rest[0]));
        EXPECT_EQ(9, rest[1]); // AES-256
        EXPECT_EQ(3, rest[2]); // iterated and salted
        EXPECT_EQ(8, rest[3]); // SHA-256
        std::string salt(rest.substr(4, 8));
        uint8_t c = uint8_t(rest[12]);
        size_t count = size_t(16 + (c & 15)) << ((c >> 4) + 6);
        std::string iv(rest.substr(13, 16));
        std::string material = salt + pass;
        auto sha = Botan::HashFunction::create("SHA-256");
        for (size_t left = count; left > 0;) {
            size_t n = std::min(left, material.size());
            sha->update(reinterpret_cast<const uint8_t*>(material.data()), n);
            left -= n;
        }
        Botan::secure_vector<uint8_t> key = sha->final();
        Botan::secure_vector<uint8_t> data(rest.begin() + 29, rest.end());
        auto mode = Botan::Cipher_Mode::create("AES-256/CFB", Botan::DECRYPTION);
        mode->set_key(key);
        mode->start(reinterpret_cast<const uint8_t*>(iv.data()), iv.size());
        mode->finish(data);
        auto sha1 = Botan::HashFunction::create("SHA-1");
        sha1->update(data.data(), data.size() - 20);
        Botan::secure_vector<uint8_t> d = sha1->final();
        EXPECT_EQ(0, std::memcmp(d.data(), data.data() + data.size() - 20, 20));
        plain.assign(reinterpret_cast<const char*>(data.data()), data.size() - 20);
    }
    std::vector<Botan::BigInt> out;
    size_t pos = 0;
    while (pos < plain.size()) {
        zaf::rfc4880::Mpi m;
        if (!zaf::rfc4880::readMpi(plain, pos, m)) {
            ADD_FAILURE() << "bad secret MPI";
            break;
        }
        out.push_back(big(m.bytes));
    }
    return out;
}

} // namespace

TEST_F(Generate, RsaKeyWithSubkeyFollowsTheRfcLayoutAndVerifies) {
    const int32_t ciphers[] = {kZAFCipherAlgorithm_AES256, kZAFCipherAlgorithm_3DES,
                               kZAFCipherAlgorithm_CAST5};
    ZAFKeyDBObjRef key = nullptr;
    ASSERT_EQ(0, ZAFGenerateKey(ctx(), &key, ZAFOKeyDB(ctx(), m_db),
                                ZAFOKeyGenParams(ctx(), kZAFPublicKeyAlgorithm_RSA, 1024, 4),
                                ZAFOUserID(ctx(), "Alice <alice@example.org>"),
                                ZAFOExpiration(ctx(), 10), ZAFOFastGeneration(ctx(), 1),
                                ZAFOPassphrase(ctx(), "alice pw"), ZAFONullOption(ctx()),
                                ZAFOKeyFlags(ctx(), 3), ZAFOPreferredCiphers(ctx(), ciphers, 3),
                                ZAFOLastOption()));
    ZAFKeyDBObjRef sub = nullptr;
    ASSERT_EQ(0, ZAFGenerateSubKey(ctx(), &sub, ZAFOMasterKey(ctx(), key),
                                   ZAFOKeyGenParams(ctx(), kZAFPublicKeyAlgorithm_RSA, 1024, 0),
                                   ZAFOExpiration(ctx(), 5), ZAFOFastGeneration(ctx(), 1),
                                   ZAFOCreationDate(ctx(), 0), ZAFOPassphrase(ctx(), "alice pw"),
                                   ZAFOKeyFlags(ctx(), 12), ZAFOLastOption()));
    key = current(m_db, key);
    ASSERT_EQ(sub->key, key->key);

    // Public part: key, user ID, positive self-certification, subkey, binding.
    std::vector<Packet> pub = packets(key->key->pubBytes());
    ASSERT_EQ((std::vector<uint8_t>{6, 13, 2, 14, 2}), tags(pub));
    EXPECT_EQ(4, pub[0].body[0]);
    EXPECT_EQ(1, pub[0].body[5]);
    EXPECT_EQ("Alice <alice@example.org>", pub[1].body);
    zaf::rfc4880::SigInfo self = sigInfo(pub[2]);
    EXPECT_EQ(4, self.version);
    EXPECT_EQ(0x13, self.type);
    EXPECT_EQ(8, self.hashAlg);
    EXPECT_TRUE(self.primaryUserID);
    EXPECT_TRUE(self.hasKeyFlags);
    EXPECT_EQ(3, self.keyFlags);
    EXPECT_EQ(std::string("\x09\x02\x03", 3), self.prefSymmetric);
    EXPECT_EQ(10u * 86400u, self.keyExpireSecs);
    EXPECT_EQ(0, std::memcmp(self.issuer, key->key->keyID(), 8));
    std::vector<uint8_t> types = hashedTypes(pub[2].body);
    EXPECT_EQ(2, types.front()); // creation time first
    for (uint8_t t : {9, 11, 21, 22, 25, 27, 33, 16})
        EXPECT_NE(types.end(), std::find(types.begin(), types.end(), t)) << int(t);
    zaf::rfc4880::SigInfo binding = sigInfo(pub[4]);
    EXPECT_EQ(0x18, binding.type);
    EXPECT_EQ(12, binding.keyFlags);
    EXPECT_EQ(5u * 86400u, binding.keyExpireSecs);
    EXPECT_EQ(2u, expectAllVerify(m_db, key));

    // Secret part: the same packets with secret key packets, both protected.
    std::vector<Packet> sec = packets(key->key->secBytes());
    ASSERT_EQ((std::vector<uint8_t>{5, 13, 2, 7, 2}), tags(sec));
    EXPECT_EQ(pub[2].body, sec[2].body);
    std::vector<Botan::BigInt> s = openSecret(sec[0].body, "alice pw");
    ASSERT_EQ(4u, s.size());
    zaf::rfc4880::KeyInfo info;
    ASSERT_TRUE(zaf::rfc4880::parseKeyPacket(pub[0].body, info));
    EXPECT_EQ(big(info.mpis[0].bytes), s[1] * s[2]);           // n = p q
    EXPECT_LT(s[1], s[2]);                                     // p < q
    EXPECT_EQ(Botan::BigInt(1), (s[1] * s[3]) % s[2]);         // u = p^-1 mod q
    EXPECT_EQ(4u, openSecret(sec[3].body, "alice pw").size()); // the subkey's d, p, q, u

    EXPECT_EQ(kZAFPublicKeyAlgorithm_RSA, numProperty(key, kZAFKeyProperty_AlgorithmID));
    EXPECT_EQ(1024, numProperty(key, kZAFKeyProperty_Bits));
    EXPECT_EQ(4, numProperty(key, kZAFKeyProperty_Version));
    EXPECT_EQ(kZAFKeyTrust_Ultimate, numProperty(key, kZAFKeyProperty_Trust));
    EXPECT_EQ(1, numProperty(key, kZAFKeyProperty_NumSubKeys));
    EXPECT_EQ(1024, numProperty(sub, kZAFSubKeyProperty_Bits));
    EXPECT_TRUE(boolProperty(key, kZAFKeyProperty_IsSecret));
    EXPECT_TRUE(boolProperty(key, kZAFKeyProperty_NeedsPassphrase));
    EXPECT_TRUE(boolProperty(sub, kZAFSubKeyProperty_NeedsPassphrase));
    EXPECT_TRUE(boolProperty(key, kZAFKeyProperty_CanSign));
    EXPECT_TRUE(boolProperty(key, kZAFKeyProperty_CanEncrypt));
    EXPECT_EQ(timeProperty(key, kZAFKeyProperty_Creation) + 10 * 86400,
              timeProperty(key, kZAFKeyProperty_Expiration));
    EXPECT_EQ(timeProperty(sub, kZAFSubKeyProperty_Creation) + 5 * 86400,
              timeProperty(sub, kZAFSubKeyProperty_Expiration));
    std::string prefs = dataProperty(key, kZAFKeyProperty_PreferredCiphers);
    ASSERT_EQ(3 * sizeof(int32_t), prefs.size());
    int32_t first = 0;
    std::memcpy(&first, prefs.data(), sizeof first);
    EXPECT_EQ(kZAFCipherAlgorithm_AES256, first);

    // Both secret parts sign with the passphrase and only with it.
    EXPECT_TRUE(ZAFPassphraseIsValid(key, "alice pw"));
    EXPECT_FALSE(ZAFPassphraseIsValid(key, "alice pW"));
    EXPECT_TRUE(ZAFPassphraseIsValid(sub, "alice pw"));
    EXPECT_FALSE(ZAFPassphraseIsValid(sub, ""));
}

TEST_F(Generate, AnEmptyPassphraseLeavesTheSecretKeyUnprotected) {
    ZAFKeyDBObjRef key = generateKey(ctx(), m_db, "Open <open@example.org>", "");
    ASSERT_NE(nullptr, key);
    EXPECT_FALSE(boolProperty(key, kZAFKeyProperty_NeedsPassphrase));
    std::vector<Packet> sec = packets(key->key->secBytes());
    zaf::rfc4880::KeyInfo info;
    ASSERT_TRUE(zaf::rfc4880::parseKeyPacket(sec[0].body, info));
    EXPECT_EQ(0, sec[0].body[info.publicLength]);
    std::vector<Botan::BigInt> s = openSecret(sec[0].body, "");
    ASSERT_EQ(4u, s.size());
    EXPECT_EQ(big(info.mpis[0].bytes), s[1] * s[2]);
    EXPECT_TRUE(ZAFPassphraseIsValid(key, ""));
}

TEST_F(Generate, LegacyRsaKeysUseVersion3PacketsAndSignatures) {
    ZAFKeyDBObjRef key = generateKey(ctx(), m_db, "Old <old@example.org>", "legacy",
                                     kZAFPublicKeyAlgorithm_RSA, 1024, kZAFKeyVersion_Legacy, 30);
    ASSERT_NE(nullptr, key);
    std::vector<Packet> pub = packets(key->key->pubBytes());
    ASSERT_EQ((std::vector<uint8_t>{6, 13, 2}), tags(pub));
    zaf::rfc4880::KeyInfo info;
    ASSERT_TRUE(zaf::rfc4880::parseKeyPacket(pub[0].body, info));
    EXPECT_EQ(3, info.version);
    EXPECT_EQ(30, info.v3ValidDays);
    // The key ID is the low 64 bits of the modulus; the fingerprint is 16 bytes.
    std::string_view n = info.mpis[0].bytes;
    EXPECT_EQ(0, std::memcmp(key->key->keyID(), n.data() + n.size() - 8, 8));
    EXPECT_EQ(16u, dataProperty(key, kZAFKeyProperty_Fingerprint).size());
    zaf::rfc4880::SigInfo self = sigInfo(pub[2]);
    EXPECT_EQ(3, self.version);
    EXPECT_EQ(0x13, self.type);
    EXPECT_EQ(1u, expectAllVerify(m_db, key));
    EXPECT_EQ(3, numProperty(key, kZAFKeyProperty_Version));
    EXPECT_EQ(timeProperty(key, kZAFKeyProperty_Creation) + 30 * 86400,
              timeProperty(key, kZAFKeyProperty_Expiration));
    // The secret part is protected the legacy way and still unlocks.
    std::vector<Packet> sec = packets(key->key->secBytes());
    EXPECT_EQ(255, uint8_t(sec[0].body[info.publicLength]));
    EXPECT_TRUE(ZAFPassphraseIsValid(key, "legacy"));
    EXPECT_FALSE(ZAFPassphraseIsValid(key, "Legacy"));
    // Legacy keys take no subkeys, key flags or additional decryption keys.
    ZAFKeyDBObjRef sub = nullptr;
    EXPECT_EQ(kZAFError_UnsupportedAlg,
              ZAFGenerateSubKey(ctx(), &sub, ZAFOMasterKey(ctx(), key),
                                ZAFOKeyGenParams(ctx(), kZAFPublicKeyAlgorithm_RSA, 1024, 0),
                                ZAFOPassphrase(ctx(), "legacy"), ZAFOLastOption()));
    ZAFKeyDBObjRef other = nullptr;
    EXPECT_EQ(kZAFError_ConflictingOptions,
              ZAFGenerateKey(ctx(), &other, ZAFOKeyDB(ctx(), m_db),
                             ZAFOKeyGenParams(ctx(), 1, 1024, kZAFKeyVersion_Legacy),
                             ZAFOUserID(ctx(), "x"), ZAFOPassphrase(ctx(), ""),
                             ZAFOKeyFlags(ctx(), 15), ZAFOLastOption()));
    EXPECT_EQ(nullptr, sub);
    EXPECT_EQ(nullptr, other);
}

TEST_F(Generate, DsaKeyWithElGamalSubkeysFromFixedAndFreshGroups) {
    ZAFKeyDBObjRef key =
        generateKey(ctx(), m_db, "Dee <dee@example.org>", "dsa pw", kZAFPublicKeyAlgorithm_DSA);
    ASSERT_NE(nullptr, key);
    zaf::rfc4880::KeyInfo info;
    ASSERT_TRUE(zaf::rfc4880::parseKeyPacket(key->key->packetBody(0), info));
    EXPECT_EQ(17, info.algorithm);
    EXPECT_EQ(1024u, info.bits);
    EXPECT_EQ(160u, big(info.mpis[1].bytes).bits());
    zaf::rfc4880::SigInfo self = sigInfo(packets(key->key->pubBytes())[2]);
    EXPECT_EQ(3, self.keyFlags);
    EXPECT_EQ(2u, self.mpis.size());

    // Fast: the 2048-bit group of RFC 3526 (generator 2).
    ZAFKeyDBObjRef fast =
        generateSubKey(ctx(), key, "dsa pw", kZAFPublicKeyAlgorithm_ElGamal, 2048, 1);
    ASSERT_NE(nullptr, fast);
    zaf::rfc4880::KeyInfo e;
    ASSERT_TRUE(zaf::rfc4880::parseKeyPacket(fast->key->packetBody(fast->packet), e));
    EXPECT_EQ(16, e.algorithm);
    EXPECT_EQ(2048u, e.bits);
    EXPECT_EQ(Botan::BigInt(2), big(e.mpis[1].bytes));
    // Not fast: a fresh group of the size asked for.
    ZAFKeyDBObjRef fresh = generateSubKey(ctx(), current(m_db, key), "dsa pw",
                                          kZAFPublicKeyAlgorithm_ElGamal, 1024, 0);
    ASSERT_NE(nullptr, fresh);
    zaf::rfc4880::KeyInfo f;
    ASSERT_TRUE(zaf::rfc4880::parseKeyPacket(fresh->key->packetBody(fresh->packet), f));
    EXPECT_EQ(1024u, f.bits);
    EXPECT_NE(Botan::BigInt(2), big(f.mpis[1].bytes));

    key = current(m_db, key);
    EXPECT_EQ(2, numProperty(key, kZAFKeyProperty_NumSubKeys));
    EXPECT_EQ(3u, expectAllVerify(m_db, key));
    EXPECT_TRUE(boolProperty(key, kZAFKeyProperty_CanEncrypt));
    // The secret exponents belong to the public values: y = g^x mod p.
    std::vector<Packet> sec = packets(key->key->secBytes());
    ASSERT_EQ((std::vector<uint8_t>{5, 13, 2, 7, 2, 7, 2}), tags(sec));
    for (size_t i : {size_t(3), size_t(5)}) {
        zaf::rfc4880::KeyInfo k;
        ASSERT_TRUE(zaf::rfc4880::parseKeyPacket(sec[i].body, k));
        std::vector<Botan::BigInt> x = openSecret(sec[i].body, "dsa pw");
        ASSERT_EQ(1u, x.size());
        EXPECT_LE(x[0].bits(), 256u);
        Botan::BigInt p = big(k.mpis[0].bytes), g = big(k.mpis[1].bytes);
        EXPECT_EQ(big(k.mpis[2].bytes), Botan::power_mod(g, x[0], p));
    }
    std::vector<Botan::BigInt> dx = openSecret(sec[0].body, "dsa pw");
    ASSERT_EQ(1u, dx.size());
    EXPECT_EQ(big(info.mpis[3].bytes),
              Botan::power_mod(big(info.mpis[2].bytes), dx[0], big(info.mpis[0].bytes)));
}

TEST_F(Generate, LargerDsaKeysUseA256BitSubgroup) {
    ZAFKeyDBObjRef key =
        generateKey(ctx(), m_db, "Big <big@example.org>", "", kZAFPublicKeyAlgorithm_DSA, 2048);
    ASSERT_NE(nullptr, key);
    zaf::rfc4880::KeyInfo info;
    ASSERT_TRUE(zaf::rfc4880::parseKeyPacket(key->key->packetBody(0), info));
    EXPECT_EQ(2048u, info.bits);
    EXPECT_EQ(256u, big(info.mpis[1].bytes).bits());
    EXPECT_EQ(1u, expectAllVerify(m_db, key));
}

TEST_F(Generate, SigningSubkeysCarryAVerifiedBackSignature) {
    ZAFKeyDBObjRef key = generateKey(ctx(), m_db, "Sig <sig@example.org>", "");
    ZAFKeyDBObjRef sub = nullptr;
    ASSERT_EQ(0, ZAFGenerateSubKey(ctx(), &sub, ZAFOMasterKey(ctx(), key),
                                   ZAFOKeyGenParams(ctx(), 1, 1024, 0), ZAFOPassphrase(ctx(), ""),
                                   ZAFOKeyFlags(ctx(), kZAFKeyFlag_Sign), ZAFOLastOption()));
    std::vector<Packet> pub = packets(sub->key->pubBytes());
    ASSERT_EQ(14, pub[3].tag);
    const Packet& binding = pub[4];
    std::string embedded;
    for (const auto& sp : zaf::edit::hashedSubpackets(binding.body))
        if ((sp.first & 0x7F) == 32)
            embedded = std::string(sp.second);
    ASSERT_FALSE(embedded.empty());
    zaf::rfc4880::SigInfo back;
    ASSERT_TRUE(zaf::rfc4880::parseSignature(embedded, back));
    EXPECT_EQ(0x19, back.type);
    EXPECT_EQ(0, std::memcmp(back.issuer, sub->keyID, 8));
    // The back signature is made by the subkey over key and subkey: check it as the store
    // checks subkey signatures, with the subkey as signer.
    std::string packet;
    zaf::rfc4880::writePacket(packet, zaf::rfc4880::kTagSignature, embedded);
    zaf::KeyPtr probe = zaf::buildKeyFromStrings(
        std::string(sub->key->pubBytes().substr(0, sub->key->packets[3].offset)) +
            std::string(sub->key->packetBytes(3)) + packet,
        std::string());
    ASSERT_NE(nullptr, probe);
    const ZAFKeyDBObj& sigObj = probe->objs.back();
    ASSERT_EQ(kZAFKeyDBObjType_Signature, sigObj.type);
    EXPECT_TRUE(zaf::verifySignature(nullptr, *probe, sigObj, probe.get()));
    EXPECT_EQ(2u, expectAllVerify(m_db, current(m_db, key)));
}

TEST_F(Generate, UnsupportedAlgorithmsAndSizesFailCleanly) {
    struct Case {
        int32_t alg;
        uint32_t bits;
        int32_t version;
        ZAFError want;
    } cases[] = {
        {kZAFPublicKeyAlgorithm_RSA, 1023, 4, kZAFError_BadKeySize},
        {kZAFPublicKeyAlgorithm_RSA, 4097, 4, kZAFError_BadKeySize},
        {kZAFPublicKeyAlgorithm_RSA, 4096, 3, kZAFError_BadKeySize},
        {kZAFPublicKeyAlgorithm_RSA, 0, 4, kZAFError_BadKeySize},
        {kZAFPublicKeyAlgorithm_RSA, 1024, 5, kZAFError_BadParams},
        {kZAFPublicKeyAlgorithm_DSA, 1536, 4, kZAFError_BadKeySize},
        {kZAFPublicKeyAlgorithm_DSA, 1024, 3, kZAFError_ConflictingOptions},
        {kZAFPublicKeyAlgorithm_ElGamal, 2048, 4, kZAFError_UnsupportedAlg},
        {kZAFPublicKeyAlgorithm_ECDH, 256, 4, kZAFError_UnsupportedAlg},
        {kZAFPublicKeyAlgorithm_ECDSA, 255, 4, kZAFError_BadKeySize},
        {kZAFPublicKeyAlgorithm_ECDSA, 300, 4, kZAFError_BadKeySize},
        {kZAFPublicKeyAlgorithm_EdDSA, 384, 4, kZAFError_BadKeySize},
        {kZAFPublicKeyAlgorithm_ECDSA, 256, 3, kZAFError_ConflictingOptions},
        {-1, 1024, 4, kZAFError_BadParams},
    };
    for (const Case& c : cases) {
        ZAFKeyDBObjRef key = nullptr;
        EXPECT_EQ(c.want, ZAFGenerateKey(ctx(), &key, ZAFOKeyDB(ctx(), m_db),
                                         ZAFOKeyGenParams(ctx(), c.alg, c.bits, c.version),
                                         ZAFOUserID(ctx(), "u"), ZAFOPassphrase(ctx(), ""),
                                         ZAFOLastOption()))
            << c.alg << "/" << c.bits << "/" << c.version;
        EXPECT_EQ(nullptr, key);
    }
    ZAFKeyDBObjRef master = generateKey(ctx(), m_db, "M", "");
    for (auto [alg, bits, want] :
         {std::tuple{kZAFPublicKeyAlgorithm_ElGamal, 1023u, kZAFError_BadKeySize},
          std::tuple{kZAFPublicKeyAlgorithm_ElGamal, 8192u, kZAFError_BadKeySize},
          std::tuple{kZAFPublicKeyAlgorithm_DSA, 1024u, kZAFError_UnsupportedAlg},
          std::tuple{kZAFPublicKeyAlgorithm_ECDH, 512u, kZAFError_BadKeySize},
          std::tuple{kZAFPublicKeyAlgorithm_RSA, 512u, kZAFError_BadKeySize}}) {
        ZAFKeyDBObjRef sub = nullptr;
        EXPECT_EQ(want, ZAFGenerateSubKey(ctx(), &sub, ZAFOMasterKey(ctx(), master),
                                          ZAFOKeyGenParams(ctx(), alg, bits, 0),
                                          ZAFOPassphrase(ctx(), ""), ZAFOLastOption()))
            << alg << "/" << bits;
    }
    uint32_t count = 0;
    ZAFCountKeysInKeyDB(m_db, &count);
    EXPECT_EQ(1u, count);
    EXPECT_EQ(0, numProperty(current(m_db, master), kZAFKeyProperty_NumSubKeys));
}

TEST_F(Generate, OptionListsWithMissingRepeatedOrContradictoryOptionsFail) {
    ZAFContextRef c = ctx();
    ZAFKeyDBObjRef key = nullptr;
    // Missing: database, parameters, user ID, passphrase.
    EXPECT_EQ(kZAFError_MissingOption,
              ZAFGenerateKey(c, &key, ZAFOKeyGenParams(c, 1, 1024, 0), ZAFOUserID(c, "u"),
                             ZAFOPassphrase(c, ""), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_MissingOption,
              ZAFGenerateKey(c, &key, ZAFOKeyDB(c, m_db), ZAFOUserID(c, "u"), ZAFOPassphrase(c, ""),
                             ZAFOLastOption()));
    EXPECT_EQ(kZAFError_MissingOption,
              ZAFGenerateKey(c, &key, ZAFOKeyDB(c, m_db), ZAFOKeyGenParams(c, 1, 1024, 0),
                             ZAFOPassphrase(c, ""), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_MissingOption,
              ZAFGenerateKey(c, &key, ZAFOKeyDB(c, m_db), ZAFOKeyGenParams(c, 1, 1024, 0),
                             ZAFOUserID(c, "u"), ZAFOLastOption()));
    // Repeated.
    EXPECT_EQ(kZAFError_RepeatedOption,
              ZAFGenerateKey(c, &key, ZAFOKeyDB(c, m_db), ZAFOKeyGenParams(c, 1, 1024, 0),
                             ZAFOKeyGenParams(c, 17, 1024, 0), ZAFOUserID(c, "u"),
                             ZAFOPassphrase(c, ""), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_RepeatedOption,
              ZAFGenerateKey(c, &key, ZAFOKeyDB(c, m_db), ZAFOKeyGenParams(c, 1, 1024, 0),
                             ZAFOUserID(c, "u"), ZAFOPassphrase(c, ""), ZAFOExpiration(c, 1),
                             ZAFOExpiration(c, 2), ZAFOLastOption()));
    // Contradictory or out of place.
    EXPECT_EQ(kZAFError_ConflictingOptions,
              ZAFGenerateKey(c, &key, ZAFOKeyDB(c, m_db), ZAFOKeyGenParams(c, 1, 1024, 0),
                             ZAFOUserID(c, "u"), ZAFOPassphrase(c, "a"),
                             ZAFOPasskeyBuffer(c, "a", 1), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_ConflictingOptions,
              ZAFGenerateKey(c, &key, ZAFOKeyDB(c, m_db), ZAFOKeyGenParams(c, 17, 1024, 0),
                             ZAFOUserID(c, "u"), ZAFOPassphrase(c, ""),
                             ZAFOKeyFlags(c, kZAFKeyFlag_Certify | kZAFKeyFlag_EncryptStorage),
                             ZAFOLastOption()));
    EXPECT_EQ(kZAFError_ConflictingOptions,
              ZAFGenerateKey(c, &key, ZAFOKeyDB(c, m_db), ZAFOKeyGenParams(c, 1, 1024, 0),
                             ZAFOUserID(c, "u"), ZAFOPassphrase(c, ""), ZAFOKeyFlags(c, 0),
                             ZAFOLastOption()));
    EXPECT_EQ(kZAFError_ConflictingOptions,
              ZAFGenerateKey(c, &key, ZAFOKeyDB(c, m_db), ZAFOKeyGenParams(c, 1, 1024, 0),
                             ZAFOUserID(c, "u"), ZAFOPassphrase(c, ""), ZAFOArmorOutput(c, 1),
                             ZAFOLastOption()));
    EXPECT_EQ(kZAFError_BadParams,
              ZAFGenerateKey(c, &key, ZAFOKeyDB(c, m_db), ZAFOKeyGenParams(c, 1, 1024, 0),
                             ZAFOUserID(c, "u"), ZAFOPassphrase(c, ""), ZAFOKeyFlags(c, 0x100),
                             ZAFOLastOption()));
    // Builders refuse bad values; the call then fails and releases the other options.
    const int32_t twice[] = {9, 9};
    const int32_t unknown[] = {9, 5};
    EXPECT_EQ(nullptr, ZAFOPreferredCiphers(c, twice, 2));
    EXPECT_EQ(nullptr, ZAFOPreferredCiphers(c, unknown, 2));
    EXPECT_EQ(nullptr, ZAFOUserID(c, ""));
    EXPECT_EQ(nullptr, ZAFOExpiration(c, -1));
    EXPECT_EQ(nullptr, ZAFOADKKeySet(c, ZAFPeekKeyDBRootKeySet(m_db), 0x40));
    EXPECT_EQ(kZAFError_BadParams,
              ZAFGenerateKey(c, &key, ZAFOKeyDB(c, m_db), ZAFOKeyGenParams(c, 1, 1024, 0),
                             ZAFOUserID(c, "u"), ZAFOPassphrase(c, ""),
                             ZAFOPreferredCiphers(c, twice, 2), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_BadParams,
              ZAFGenerateKey(c, nullptr, ZAFOKeyDB(c, m_db), ZAFOKeyGenParams(c, 1, 1024, 0),
                             ZAFOUserID(c, "u"), ZAFOPassphrase(c, ""), ZAFOLastOption()));
    // An expiration past the end of the time range.
    EXPECT_EQ(kZAFError_BadTime,
              ZAFGenerateKey(c, &key, ZAFOKeyDB(c, m_db), ZAFOKeyGenParams(c, 1, 1024, 0),
                             ZAFOUserID(c, "u"), ZAFOPassphrase(c, ""),
                             ZAFOExpiration(c, 0x7FFFFFFF), ZAFOLastOption()));
    EXPECT_EQ(nullptr, key);
    uint32_t count = 1;
    ZAFCountKeysInKeyDB(m_db, &count);
    EXPECT_EQ(0u, count);
    EXPECT_FALSE(ZAFKeyDBIsDirty(m_db));
}

TEST_F(Generate, PasskeyBuffersActAsPassphraseBytes) {
    const char secret[] = {'k', '\0', 'e', 'y'};
    ZAFKeyDBObjRef key = nullptr;
    ASSERT_EQ(0, ZAFGenerateKey(ctx(), &key, ZAFOKeyDB(ctx(), m_db),
                                ZAFOKeyGenParams(ctx(), 1, 1024, 0), ZAFOUserID(ctx(), "pk"),
                                ZAFOPasskeyBuffer(ctx(), secret, sizeof secret), ZAFOLastOption()));
    ZAFPrivateKeyContextRef priv = nullptr;
    EXPECT_EQ(kZAFError_BadPassphrase, ZAFNewPrivateKeyContext(key, "k", 1, &priv));
    ASSERT_EQ(0, ZAFNewPrivateKeyContext(key, secret, sizeof secret, &priv));
    ZAFFreePrivateKeyContext(priv);
    ZAFKeyDBObjRef sub = nullptr;
    EXPECT_EQ(0, ZAFGenerateSubKey(
                     ctx(), &sub, ZAFOMasterKey(ctx(), key), ZAFOKeyGenParams(ctx(), 1, 1024, 0),
                     ZAFOPasskeyBuffer(ctx(), secret, sizeof secret), ZAFOLastOption()));
}

TEST_F(Generate, AdditionalDecryptionKeysAreNamedInTheSelfSignature) {
    ZAFKeyDBObjRef adk = generateKey(ctx(), m_db, "ADK <adk@example.org>", "");
    ASSERT_NE(nullptr, generateSubKey(ctx(), adk, ""));
    adk = current(m_db, adk);
    ZAFKeySetRef set = nullptr;
    ASSERT_EQ(0, ZAFNewSingletonKeySet(adk, &set));
    ZAFKeyDBObjRef key = nullptr;
    ASSERT_EQ(
        0, ZAFGenerateKey(ctx(), &key, ZAFOKeyDB(ctx(), m_db), ZAFOKeyGenParams(ctx(), 1, 1024, 0),
                          ZAFOUserID(ctx(), "User"), ZAFOPassphrase(ctx(), ""),
                          ZAFOADKKeySet(ctx(), set, kZAFADKClass_Enforced), ZAFOLastOption()));
    ZAFFreeKeySet(set);
    uint32_t n = 0;
    ASSERT_EQ(0, ZAFCountAdditionalRecipientRequests(key, &n));
    ASSERT_EQ(1u, n);
    ZAFKeyDBObjRef found = nullptr;
    ZAFKeyID id;
    uint8_t cls = 0;
    ASSERT_EQ(0, ZAFGetIndexedAdditionalRecipientRequest(key, 0, &found, &id, &cls));
    EXPECT_EQ(0x80, cls);
    EXPECT_EQ(adk->key, found->key);
    EXPECT_EQ(0, std::memcmp(id.bytes, adk->key->keyID(), 8));
    EXPECT_EQ(1u, expectAllVerify(m_db, key));
}

TEST(GenerateToDisk, KeysFlushMergeWithOtherWritersAndReadBackIdentically) {
    TempDir dir;
    Context ctx;
    ZAFKeyDBRef a = nullptr, b = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &a,
                        kZAFOpenKeyDBFileOptions_Mutable | kZAFOpenKeyDBFileOptions_Create));
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &b));
    ZAFKeyDBObjRef ka = generateKey(ctx.get(), a, "A <a@example.org>", "pa");
    ASSERT_NE(nullptr, generateSubKey(ctx.get(), ka, "pa"));
    ZAFKeyDBObjRef kb = generateKey(ctx.get(), b, "B <b@example.org>", "pb",
                                    kZAFPublicKeyAlgorithm_RSA, 1024, kZAFKeyVersion_Legacy);
    ASSERT_TRUE(ZAFKeyDBIsDirty(a));
    ASSERT_EQ(0, ZAFFlushKeyDB(a));
    ASSERT_EQ(0, ZAFFlushKeyDB(b));
    std::string pubA(current(a, ka)->key->pubBytes()), secA(current(a, ka)->key->secBytes());
    std::string pubB(kb->key->pubBytes()), secB(kb->key->secBytes());
    ZAFFreeKeyDB(a);
    ZAFFreeKeyDB(b);

    // The public ring holds the keys as made plus the check results of their signatures.
    std::string written = readAll(dir.file("pub.pkr"));
    EXPECT_EQ(keypackets::withoutTrust(pubA + pubB), keypackets::withoutTrust(written));
    size_t checks = 0;
    for (const keypackets::Packet& p : keypackets::split(written))
        checks += p.tag == 12 ? 1 : 0;
    EXPECT_GE(checks, 3u); // A's user ID and subkey binding, B's user ID
    EXPECT_EQ(secA + secB, readAll(dir.file("sec.skr")));
    ZAFKeyDBRef c = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &c));
    ASSERT_EQ(2u, c->keys.size());
    for (const zaf::KeyPtr& k : c->keys) {
        EXPECT_TRUE(k->hasSecret());
        expectAllVerify(c, &k->objs[0]);
    }
    EXPECT_TRUE(ZAFPassphraseIsValid(&c->keys[0]->objs[0], "pa"));
    EXPECT_TRUE(ZAFPassphraseIsValid(&c->keys[1]->objs[0], "pb"));
    ZAFFreeKeyDB(c);

    // A database opened read-only takes no new keys.
    ZAFKeyDBRef ro = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &ro,
                        kZAFOpenKeyDBFileOptions_None));
    ZAFKeyDBObjRef none = nullptr;
    EXPECT_EQ(kZAFError_ReadOnlyKeyDB,
              ZAFGenerateKey(ctx.get(), &none, ZAFOKeyDB(ctx.get(), ro),
                             ZAFOKeyGenParams(ctx.get(), 1, 1024, 0), ZAFOUserID(ctx.get(), "R"),
                             ZAFOPassphrase(ctx.get(), ""), ZAFOLastOption()));
    ZAFFreeKeyDB(ro);
}
