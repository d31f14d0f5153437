// Secret key protection of legacy keys: each MPI encrypted on its own with the cipher
// resynchronised in between, checked against a decryption written here from the RFC's
// description; the older form with a bare cipher number; damaged secret packets.
#include "keygen_test_util.h"

#include <botan/bigint.h>
#include <botan/cipher_mode.h>
#include <botan/hash.h>

using namespace kgtest;

namespace {

using Bytes = Botan::secure_vector<uint8_t>;

// Runs CFB over each MPI value separately, each time starting from the last block of cipher
// text so far (the IV before the first). `encrypt` picks the direction.
std::string cfbPerMpi(const std::string& cipher, const Bytes& key, std::string iv,
                      const std::vector<std::string>& values, bool encrypt,
                      std::vector<std::string>& out) {
    std::string history = iv;
    out.clear();
    for (const std::string& v : values) {
        std::string start = history.substr(history.size() - iv.size());
        auto mode = Botan::Cipher_Mode::create(cipher + "/CFB",
                                               encrypt ? Botan::ENCRYPTION : Botan::DECRYPTION);
        mode->set_key(key);
        mode->start(reinterpret_cast<const uint8_t*>(start.data()), start.size());
        Bytes data(v.begin(), v.end());
        mode->finish(data);
        std::string result(data.begin(), data.end());
        history += encrypt ? result : v;
        out.push_back(result);
    }
    return history;
}

uint16_t sum16(const std::string& s) {
    uint32_t sum = 0;
    for (char c : s)
        sum += uint8_t(c);
    return uint16_t(sum);
}

struct LegacySecret {
    std::string publicPart;
    std::vector<uint16_t> bits;
    std::vector<std::string> values; // as stored (encrypted or not)
    std::string tail;                // what follows the MPIs
};

// Splits the MPIs that follow `pos` in a legacy secret body.
LegacySecret split(const std::string& body, size_t publicLength, size_t pos) {
    LegacySecret s;
    s.publicPart = body.substr(0, publicLength);
    for (int i = 0; i < 4; ++i) {
        uint16_t bits = uint16_t((uint8_t(body[pos]) << 8) | uint8_t(body[pos + 1]));
        size_t n = (bits + 7u) / 8u;
        s.bits.push_back(bits);
        s.values.push_back(body.substr(pos + 2, n));
        pos += 2 + n;
    }
    s.tail = body.substr(pos);
    return s;
}

} // namespace

TEST(LegacyProtection, EachMpiIsEncryptedOnItsOwnAfterAResynchronisation) {
    Context ctx;
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(0, ZAFNewKeyDB(ctx.get(), &db));
    ZAFKeyDBObjRef key =
        generateKey(ctx.get(), db, "Old", "legacy pw", 1, 1024, kZAFKeyVersion_Legacy);
    ASSERT_NE(nullptr, key);
    std::string body = packets(key->key->secBytes()).at(0).body;
    zaf::rfc4880::KeyInfo info;
    ASSERT_TRUE(zaf::rfc4880::parseKeyPacket(body, info));
    size_t pos = info.publicLength;
    ASSERT_EQ(255, uint8_t(body[pos]));
    ASSERT_EQ(9, body[pos + 1]); // AES-256
    ASSERT_EQ(3, body[pos + 2]); // iterated and salted
    ASSERT_EQ(8, body[pos + 3]); // SHA-256
    std::string salt = body.substr(pos + 4, 8);
    uint8_t c = uint8_t(body[pos + 12]);
    std::string iv = body.substr(pos + 13, 16);
    LegacySecret s = split(body, info.publicLength, pos + 29);
    ASSERT_EQ(2u, s.tail.size());

    size_t count = size_t(16 + (c & 15)) << ((c >> 4) + 6);
    std::string material = salt + "legacy pw";
    auto sha = Botan::HashFunction::create("SHA-256");
    for (size_t left = count; left > 0;) {
        size_t n = std::min(left, material.size());
        sha->update(reinterpret_cast<const uint8_t*>(material.data()), n);
        left -= n;
    }
    Bytes aesKey = sha->final();
    std::vector<std::string> plain;
    cfbPerMpi("AES-256", aesKey, iv, s.values, false, plain);
    Botan::BigInt p(reinterpret_cast<const uint8_t*>(plain[1].data()), plain[1].size());
    Botan::BigInt q(reinterpret_cast<const uint8_t*>(plain[2].data()), plain[2].size());
    Botan::BigInt n(reinterpret_cast<const uint8_t*>(info.mpis[0].bytes.data()),
                    info.mpis[0].bytes.size());
    EXPECT_EQ(n, p * q);
    // The checksum (in the clear) covers the plain MPIs with their bit counts.
    std::string all;
    for (size_t i = 0; i < 4; ++i)
        all += std::string{char(s.bits[i] >> 8), char(s.bits[i] & 0xFF)} + plain[i];
    EXPECT_EQ(sum16(all), uint16_t((uint8_t(s.tail[0]) << 8) | uint8_t(s.tail[1])));
    EXPECT_TRUE(ZAFPassphraseIsValid(key, "legacy pw"));
    EXPECT_FALSE(ZAFPassphraseIsValid(key, "legacy PW"));
    ZAFFreeKeyDB(db);
}

TEST(LegacyProtection, TheOlderFormWithABareCipherNumberUnlocks) {
    Context ctx;
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(0, ZAFNewKeyDB(ctx.get(), &db));
    ZAFKeyDBObjRef key = generateKey(ctx.get(), db, "Older", "", 1, 1024, kZAFKeyVersion_Legacy);
    ASSERT_NE(nullptr, key);
    std::vector<Packet> sec = packets(key->key->secBytes());
    zaf::rfc4880::KeyInfo info;
    ASSERT_TRUE(zaf::rfc4880::parseKeyPacket(sec[0].body, info));
    LegacySecret clear = split(sec[0].body, info.publicLength, info.publicLength + 1);
    // CAST5 keyed with the MD5 of the passphrase, an 8-byte IV, checksum in the clear.
    auto md5 = Botan::HashFunction::create("MD5");
    md5->update("old secret");
    Bytes castKey = md5->final();
    std::string iv = "\x01\x02\x03\x04\x05\x06\x07\x08";
    std::vector<std::string> enc;
    cfbPerMpi("CAST-128", castKey, iv, clear.values, true, enc);
    std::string body = clear.publicPart + char(3) + iv;
    for (size_t i = 0; i < 4; ++i)
        body += std::string{char(clear.bits[i] >> 8), char(clear.bits[i] & 0xFF)} + enc[i];
    body += clear.tail;
    std::string rebuilt;
    zaf::rfc4880::writePacket(rebuilt, zaf::rfc4880::kTagSecretKey, body);
    for (size_t i = 1; i < sec.size(); ++i)
        zaf::rfc4880::writePacket(rebuilt, sec[i].tag, sec[i].body);
    ZAFKeyDBRef other = importBytes(ctx.get(), rebuilt);
    ASSERT_NE(nullptr, other);
    ZAFKeyDBObjRef k = &other->keys.at(0)->objs[0];
    EXPECT_TRUE(boolProperty(k, kZAFKeyProperty_NeedsPassphrase));
    EXPECT_TRUE(ZAFPassphraseIsValid(k, "old secret"));
    EXPECT_FALSE(ZAFPassphraseIsValid(k, "old secreT"));
    // Usable for signing: a new user ID gets a good legacy self-signature.
    ASSERT_EQ(0, ZAFAddUserID(k, "Older still", ZAFOPassphrase(ctx.get(), "old secret"),
                              ZAFOLastOption()));
    EXPECT_EQ(2u, expectAllVerify(other, current(other, k)));
    ZAFFreeKeyDB(other);
    ZAFFreeKeyDB(db);
}

TEST(LegacyProtection, DamagedSecretPacketsAreRefusedWithoutReadingPastTheEnd) {
    Context ctx;
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(0, ZAFNewKeyDB(ctx.get(), &db));
    ZAFKeyDBObjRef key = generateKey(ctx.get(), db, "Old", "pw", 1, 1024, kZAFKeyVersion_Legacy);
    ASSERT_NE(nullptr, key);
    std::string body = packets(key->key->secBytes()).at(0).body;
    zaf::rfc4880::KeyInfo info;
    ASSERT_TRUE(zaf::rfc4880::parseKeyPacket(body, info));
    size_t checked = 0;
    for (size_t cut = info.publicLength; cut < body.size(); cut += 7) {
        // Heap copies of exactly the cut length, so a read past the end is caught by ASan.
        std::vector<char> piece(body.begin(), body.begin() + long(cut));
        std::string_view view(piece.data(), piece.size());
        zaf::edit::Secret mpis;
        EXPECT_NE(kZAFError_NoErr, zaf::edit::unlockLegacySecret(view, "pw", mpis, info));
        ++checked;
    }
    EXPECT_GT(checked, 30u);
    // A flipped bit in an encrypted value is caught by the checksum or the modulus check.
    std::string flipped = body;
    flipped[body.size() - 10] ^= 0x10;
    zaf::edit::Secret mpis;
    EXPECT_EQ(kZAFError_BadPassphrase, zaf::edit::unlockLegacySecret(flipped, "pw", mpis, info));
    EXPECT_EQ(kZAFError_NoErr, zaf::edit::unlockLegacySecret(body, "pw", mpis, info));
    ZAFFreeKeyDB(db);
}
