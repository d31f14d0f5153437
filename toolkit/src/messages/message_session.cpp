// message_session: session keys, PKESK (RSA, ElGamal, ECDH) and SKESK packets.
#include "message_session.h"

#include "crypto/crypto.h"
#include "keys/keys.h"
#include "message_cfb.h"
#include "packets/packets.h"

#include <botan/bigint.h>
#include <botan/curve25519.h>
#include <botan/dl_group.h>
#include <botan/ec_group.h>
#include <botan/ecdh.h>
#include <botan/elgamal.h>
#include <botan/hash.h>
#include <botan/pubkey.h>
#include <botan/rfc3394.h>
#include <botan/rsa.h>

#include <algorithm>
#include <cstring>

namespace zaf::msg {

namespace {

// Curve25519 for key agreement, as RFC 4880 key packets name it.
const std::string_view kCv25519Oid("\x2B\x06\x01\x04\x01\x97\x55\x01\x05\x01", 10);
// The session key lengths a PKCS #1 block can carry: 16, 24 and 32-byte keys with the algorithm
// byte and the checksum.
const size_t kBlockLengths[] = {19, 27, 35};
// Passphrases hashed per derivation when encrypting (coded count of the key protection).
constexpr uint8_t kS2KCount = edit::kS2KCountByte;
constexpr uint8_t kHashSHA256 = 8;

Botan::BigInt big(std::string_view bytes) {
    return Botan::BigInt(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

void appendMpiBytes(std::string& out, const uint8_t* p, size_t n) { rfc4880::appendMpi(out, p, n); }

uint16_t checksum(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += p[i];
    return uint16_t(sum);
}

// "algorithm, key, checksum" of a session key.
Secret sessionBlock(const SessionKey& sk) {
    Secret m;
    m.push_back(sk.algorithm);
    m.insert(m.end(), sk.key.begin(), sk.key.end());
    uint16_t sum = checksum(sk.key.data(), sk.key.size());
    m.push_back(uint8_t(sum >> 8));
    m.push_back(uint8_t(sum));
    return m;
}

// The parameters ECDH hashes with the shared secret to make the key-encryption key.
std::vector<uint8_t> kdfParam(const rfc4880::KeyInfo& info) {
    std::vector<uint8_t> p;
    p.push_back(uint8_t(info.curveOid.size()));
    p.insert(p.end(), info.curveOid.begin(), info.curveOid.end());
    p.push_back(18);
    p.push_back(uint8_t(info.kdfParams.size()));
    p.insert(p.end(), info.kdfParams.begin(), info.kdfParams.end());
    static const char kSender[] = "Anonymous Sender    ";
    p.insert(p.end(), kSender, kSender + 20);
    p.insert(p.end(), info.fingerprint, info.fingerprint + 20);
    return p;
}

// The key-encryption key from the shared secret; false for KDF parameters we cannot use.
bool ecdhKek(const rfc4880::KeyInfo& info, const Secret& shared, Secret& kek, uint8_t& kekAlg) {
    if (info.kdfParams.size() != 3 || info.kdfParams[0] != 1 || info.fingerprintLength != 20)
        return false;
    const char* hashName = rfc4880::hashName(uint8_t(info.kdfParams[1]));
    kekAlg = uint8_t(info.kdfParams[2]);
    size_t kekLength = cipherKeyLength(kekAlg);
    if (hashName == nullptr || (kekAlg != 7 && kekAlg != 8 && kekAlg != 9))
        return false;
    auto h = Botan::HashFunction::create(hashName);
    if (!h || h->output_length() < kekLength)
        return false;
    static const uint8_t kCounter[4] = {0, 0, 0, 1};
    h->update(kCounter, 4);
    h->update(shared.data(), shared.size());
    std::vector<uint8_t> param = kdfParam(info);
    h->update(param.data(), param.size());
    kek = h->final();
    kek.resize(kekLength);
    return true;
}

bool isCv25519(const rfc4880::KeyInfo& info) { return info.curveOid == kCv25519Oid; }

} // namespace

bool parseSessionKeyBlock(const Secret& block, SessionKey& out) {
    if (block.size() < 3)
        return false;
    size_t keyLength = cipherKeyLength(block[0]);
    // A cipher we do not have still opens as a block whose checksum fits, so that the caller
    // can say why the message cannot be read.
    if (keyLength == 0 && (block.size() == 19 || block.size() == 27 || block.size() == 35))
        keyLength = block.size() - 3;
    if (keyLength == 0 || block.size() != keyLength + 3)
        return false;
    uint16_t want = uint16_t((block[keyLength + 1] << 8) | block[keyLength + 2]);
    if (checksum(block.data() + 1, keyLength) != want)
        return false;
    out.algorithm = block[0];
    out.key.assign(block.begin() + 1, block.begin() + 1 + long(keyLength));
    return true;
}

SessionKey newSessionKey(uint8_t algorithm) {
    SessionKey sk;
    sk.algorithm = algorithm;
    size_t n = cipherKeyLength(algorithm);
    if (n == 0)
        fail(kZAFError_UnsupportedCipher);
    sk.key.resize(n);
    poolRng().randomize(sk.key.data(), n);
    return sk;
}

std::string makePKESK(std::string_view keyBody, const uint8_t keyID[8], const SessionKey& sk) {
    rfc4880::KeyInfo info;
    if (!rfc4880::parseKeyPacket(keyBody, info) || !info.known)
        fail(kZAFError_UnsupportedAlg);
    std::string body;
    body.push_back(3);
    body.append(reinterpret_cast<const char*>(keyID), 8);
    body.push_back(char(info.algorithm));
    Secret m = sessionBlock(sk);
    Botan::RandomNumberGenerator& rng = poolRng();
    if (info.algorithm == 1 || info.algorithm == 2) {
        Botan::RSA_PublicKey pub(big(info.mpis[0].bytes), big(info.mpis[1].bytes));
        Botan::PK_Encryptor_EME enc(pub, rng, "EME-PKCS1-v1_5");
        std::vector<uint8_t> c = enc.encrypt(m, rng);
        appendMpiBytes(body, c.data(), c.size());
        return body;
    }
    if (info.algorithm == 16 || info.algorithm == 20) {
        Botan::DL_Group group(big(info.mpis[0].bytes), big(info.mpis[1].bytes));
        Botan::ElGamal_PublicKey pub(group, big(info.mpis[2].bytes));
        Botan::PK_Encryptor_EME enc(pub, rng, "EME-PKCS1-v1_5");
        std::vector<uint8_t> c = enc.encrypt(m, rng);
        size_t half = c.size() / 2;
        appendMpiBytes(body, c.data(), half);
        appendMpiBytes(body, c.data() + half, half);
        return body;
    }
    if (info.algorithm != 18)
        fail(kZAFError_UnsupportedAlg);
    std::string_view point = info.mpis[0].bytes;
    std::vector<uint8_t> ephemeral;
    Secret shared;
    if (isCv25519(info)) {
        if (point.size() != 33 || uint8_t(point[0]) != 0x40)
            fail(kZAFError_UnsupportedAlg);
        Botan::Curve25519_PrivateKey eph(rng);
        Botan::PK_Key_Agreement ka(eph, rng, "Raw");
        shared = ka.derive_key(0, reinterpret_cast<const uint8_t*>(point.data()) + 1, 32).bits_of();
        ephemeral.push_back(0x40);
        std::vector<uint8_t> pub = eph.public_value();
        ephemeral.insert(ephemeral.end(), pub.begin(), pub.end());
    } else {
        Botan::EC_Group group(curveOid(info.curveOid));
        Botan::ECDH_PrivateKey eph(rng, group);
        Botan::PK_Key_Agreement ka(eph, rng, "Raw");
        shared = ka.derive_key(0, reinterpret_cast<const uint8_t*>(point.data()), point.size())
                     .bits_of();
        ephemeral = eph.public_value(Botan::PointGFp::UNCOMPRESSED);
    }
    Secret kek;
    uint8_t kekAlg = 0;
    if (!ecdhKek(info, shared, kek, kekAlg))
        fail(kZAFError_UnsupportedAlg);
    // The block is padded to whole 8-byte units, each padding byte holding the pad length.
    uint8_t pad = uint8_t(8 - m.size() % 8);
    m.insert(m.end(), pad, pad);
    Botan::secure_vector<uint8_t> wrapped = Botan::rfc3394_keywrap(m, Botan::SymmetricKey(kek));
    appendMpiBytes(body, ephemeral.data(), ephemeral.size());
    body.push_back(char(wrapped.size()));
    body.append(reinterpret_cast<const char*>(wrapped.data()), wrapped.size());
    return body;
}

std::string makeSKESK(uint8_t cipher, std::string_view passphrase, const SessionKey* sk,
                      SessionKey* derived) {
    size_t keyLength = cipherKeyLength(cipher);
    if (keyLength == 0)
        fail(kZAFError_UnsupportedAlg);
    uint8_t salt[8];
    poolRng().randomize(salt, sizeof salt);
    Secret key = edit::deriveS2K(
        "SHA-256", std::string_view(reinterpret_cast<const char*>(salt), sizeof salt), passphrase,
        size_t(16 + (kS2KCount & 15)) << ((kS2KCount >> 4) + 6), keyLength);
    std::string body;
    body.push_back(4);
    body.push_back(char(cipher));
    body.push_back(3);
    body.push_back(char(kHashSHA256));
    body.append(reinterpret_cast<const char*>(salt), sizeof salt);
    body.push_back(char(kS2KCount));
    if (sk == nullptr) {
        derived->algorithm = cipher;
        derived->key = key;
        return body;
    }
    Secret esk;
    esk.push_back(sk->algorithm);
    esk.insert(esk.end(), sk->key.begin(), sk->key.end());
    Cfb cfb(cipher, key.data(), key.size());
    cfb.encrypt(esk.data(), esk.data(), esk.size());
    body.append(reinterpret_cast<const char*>(esk.data()), esk.size());
    return body;
}

ZAFError openSKESK(std::string_view body, std::string_view passphrase, SessionKey& out) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(body.data());
    if (body.size() < 4 || p[0] != 4)
        return kZAFError_CorruptData;
    uint8_t cipher = p[1];
    size_t keyLength = cipherKeyLength(cipher);
    if (keyLength == 0)
        return kZAFError_UnsupportedCipher;
    size_t pos = 2;
    edit::S2KSpec spec;
    ZAFError err = edit::readS2KSpec(body, pos, spec);
    if (err != kZAFError_NoErr)
        return err == kZAFError_NotImplemented ? ZAFError(kZAFError_UnsupportedAlg) : err;
    Secret key = edit::deriveS2K(spec.hashName, spec.salt, passphrase, spec.count, keyLength);
    if (pos == body.size()) {
        out.algorithm = cipher;
        out.key = key;
        return kZAFError_NoErr;
    }
    Secret esk(p + pos, p + body.size());
    Cfb cfb(cipher, key.data(), key.size());
    cfb.decrypt(esk.data(), esk.data(), esk.size());
    // A wrong passphrase shows as an unknown algorithm or a length that does not fit it.
    if (esk.empty() || cipherKeyLength(esk[0]) == 0 || esk.size() != cipherKeyLength(esk[0]) + 1)
        return kZAFError_BadPassphrase;
    out.algorithm = esk[0];
    out.key.assign(esk.begin() + 1, esk.end());
    return kZAFError_NoErr;
}

namespace {

// RSA and ElGamal: PKCS #1 v1.5 blocks, opened through Botan's constant-time decoder, which
// returns random bytes of the asked length when the padding is bad or the length differs.
class EmeKey final : public DecryptionKey {
public:
    EmeKey(uint8_t algorithm, std::unique_ptr<Botan::Private_Key> key, size_t width)
        : m_algorithm(algorithm), m_key(std::move(key)), m_width(width) {}
    uint8_t algorithm() const override { return m_algorithm; }

    bool open(std::string_view body, SessionKey& out) const override {
        std::string_view s = body.substr(10);
        std::vector<uint8_t> c;
        size_t pos = 0;
        int parts = m_algorithm == 16 || m_algorithm == 20 ? 2 : 1;
        for (int i = 0; i < parts; ++i) {
            rfc4880::Mpi m;
            if (!rfc4880::readMpi(s, pos, m) || m.bytes.size() > m_width)
                return false;
            // Each number takes the modulus' width, zeros in front.
            c.insert(c.end(), m_width - m.bytes.size(), 0);
            c.insert(c.end(), m.bytes.begin(), m.bytes.end());
        }
        Botan::RandomNumberGenerator& rng = poolRng();
        try {
            Botan::PK_Decryptor_EME dec(*m_key, rng, "EME-PKCS1-v1_5");
            // The block's length depends on the cipher inside it, so each possible length is
            // asked for; at most one can hold the real block, the others are random.
            bool found = false;
            for (size_t length : kBlockLengths) {
                Secret block = dec.decrypt_or_random(c.data(), c.size(), length, rng);
                SessionKey candidate;
                if (parseSessionKeyBlock(block, candidate) && !found) {
                    out = std::move(candidate);
                    found = true;
                }
            }
            return found;
        } catch (const std::exception&) {
            // A number at least as large as the modulus: public knowledge, no oracle.
            return false;
        }
    }

private:
    uint8_t m_algorithm;
    std::unique_ptr<Botan::Private_Key> m_key;
    size_t m_width;
};

class EcdhKey final : public DecryptionKey {
public:
    EcdhKey(std::string keyBody, Secret scalar) : m_body(std::move(keyBody)) {
        if (!rfc4880::parseKeyPacket(m_body, m_info) || !m_info.known || m_info.algorithm != 18)
            fail(kZAFError_CorruptData);
        Botan::RandomNumberGenerator& rng = poolRng();
        if (isCv25519(m_info)) {
            // Kept as a big-endian number; the curve's own form is little-endian.
            if (scalar.size() > 32)
                fail(kZAFError_CorruptData);
            Secret native(32 - scalar.size(), 0);
            native.insert(native.end(), scalar.begin(), scalar.end());
            std::reverse(native.begin(), native.end());
            m_key = std::make_unique<Botan::Curve25519_PrivateKey>(native);
        } else {
            Botan::EC_Group group(curveOid(m_info.curveOid));
            m_key = std::make_unique<Botan::ECDH_PrivateKey>(
                rng, group, Botan::BigInt(scalar.data(), scalar.size()));
        }
    }
    uint8_t algorithm() const override { return 18; }

    bool open(std::string_view body, SessionKey& out) const override {
        std::string_view s = body.substr(10);
        size_t pos = 0;
        rfc4880::Mpi v;
        if (!rfc4880::readMpi(s, pos, v) || pos >= s.size())
            return false;
        size_t wrappedLength = uint8_t(s[pos++]);
        if (wrappedLength != s.size() - pos || wrappedLength < 24 || wrappedLength % 8 != 0)
            return false;
        try {
            const uint8_t* point = reinterpret_cast<const uint8_t*>(v.bytes.data());
            size_t pointLength = v.bytes.size();
            if (isCv25519(m_info)) {
                if (pointLength != 33 || point[0] != 0x40)
                    return false;
                ++point;
                --pointLength;
            }
            Botan::PK_Key_Agreement ka(*m_key, poolRng(), "Raw");
            Secret shared = ka.derive_key(0, point, pointLength).bits_of();
            Secret kek;
            uint8_t kekAlg = 0;
            if (!ecdhKek(m_info, shared, kek, kekAlg))
                return false;
            Secret wrapped(s.begin() + long(pos), s.end());
            Secret m = Botan::rfc3394_keyunwrap(wrapped, Botan::SymmetricKey(kek));
            uint8_t pad = m.empty() ? 0 : m.back();
            if (pad == 0 || pad > 8 || pad > m.size())
                return false;
            for (size_t i = m.size() - pad; i < m.size(); ++i)
                if (m[i] != pad)
                    return false;
            m.resize(m.size() - pad);
            return parseSessionKeyBlock(m, out);
        } catch (const std::exception&) {
            return false; // a point off the curve or a wrap that does not check
        }
    }

private:
    std::string m_body;
    rfc4880::KeyInfo m_info;
    std::unique_ptr<Botan::Private_Key> m_key;
};

} // namespace

ZAFError unlockDecryptionKey(std::string_view secretBody, std::string_view passphrase,
                             std::unique_ptr<DecryptionKey>& out) {
    Secret mpis;
    rfc4880::KeyInfo info;
    ZAFError err = unlockSecretPacket(secretBody, passphrase, mpis, info);
    if (err != kZAFError_NoErr)
        return err;
    std::string_view s(reinterpret_cast<const char*>(mpis.data()), mpis.size());
    std::vector<rfc4880::Mpi> m;
    if (!rfc4880::readMpis(s, 4, m))
        return kZAFError_CorruptData;
    Botan::RandomNumberGenerator& rng = poolRng();
    if (info.algorithm == 1 || info.algorithm == 2) {
        if (m.size() < 3)
            return kZAFError_CorruptData;
        auto key = std::make_unique<Botan::RSA_PrivateKey>(big(m[1].bytes), big(m[2].bytes),
                                                           big(info.mpis[1].bytes), big(m[0].bytes),
                                                           big(info.mpis[0].bytes));
        size_t width = (key->get_n().bits() + 7) / 8;
        out = std::make_unique<EmeKey>(info.algorithm, std::move(key), width);
        return kZAFError_NoErr;
    }
    if (info.algorithm == 16 || info.algorithm == 20) {
        if (m.empty())
            return kZAFError_CorruptData;
        Botan::DL_Group group(big(info.mpis[0].bytes), big(info.mpis[1].bytes));
        auto key = std::make_unique<Botan::ElGamal_PrivateKey>(rng, group, big(m[0].bytes));
        size_t width = (group.get_p().bits() + 7) / 8;
        out = std::make_unique<EmeKey>(info.algorithm, std::move(key), width);
        return kZAFError_NoErr;
    }
    if (info.algorithm == 18) {
        if (m.empty())
            return kZAFError_CorruptData;
        Secret scalar(m[0].bytes.begin(), m[0].bytes.end());
        out = std::make_unique<EcdhKey>(std::string(secretBody.substr(0, info.publicLength)),
                                        std::move(scalar));
        return kZAFError_NoErr;
    }
    return kZAFError_UnsupportedAlg;
}

} // namespace zaf::msg
