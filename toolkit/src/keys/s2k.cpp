// s2k: passphrase protection of secret key packets (RFC 4880 string-to-key, CFB encryption).
#include "crypto/crypto.h"
#include "keyedit_internal.h"

#include <botan/bigint.h>
#include <botan/block_cipher.h>
#include <botan/hash.h>

#include <cstring>

namespace zaf::edit {

namespace {

constexpr uint8_t kCipherAES256 = 9;
constexpr size_t kSaltLength = 8;

size_t decodeCount(uint8_t c) { return size_t(16 + (c & 15)) << ((c >> 4) + 6); }

// Cipher feedback with full-block feedback and the resynchronisation RFC 4880 asks for between
// the MPIs of legacy keys: after `sync` the next block is encrypted from the last block-size
// bytes of cipher text, wherever the previous MPI ended.
class Cfb {
public:
    Cfb(std::unique_ptr<Botan::BlockCipher> cipher, const Secret& key, const uint8_t* iv)
        : m_cipher(std::move(cipher)), m_register(iv, iv + m_cipher->block_size()),
          m_stream(m_cipher->block_size()) {
        m_cipher->set_key(key);
    }
    void encrypt(uint8_t* data, size_t n) { run(data, n, true); }
    void decrypt(uint8_t* data, size_t n) { run(data, n, false); }
    void sync() {
        if (m_used == 0 || m_used == m_register.size())
            return;
        // The register becomes the last block-size bytes of cipher text.
        Secret next(m_register.begin() + long(m_used), m_register.end());
        next.insert(next.end(), m_partial.begin(), m_partial.end());
        m_register.swap(next);
        m_partial.clear();
        m_used = 0;
    }

private:
    void run(uint8_t* data, size_t n, bool enc) {
        const size_t bs = m_register.size();
        for (size_t i = 0; i < n; ++i) {
            if (m_used == 0 || m_used == bs) {
                if (m_used == bs) {
                    m_register.assign(m_partial.begin(), m_partial.end());
                    m_partial.clear();
                }
                m_cipher->encrypt(m_register.data(), m_stream.data());
                m_used = 0;
            }
            uint8_t c = enc ? uint8_t(data[i] ^ m_stream[m_used]) : data[i];
            data[i] = enc ? c : uint8_t(data[i] ^ m_stream[m_used]);
            m_partial.push_back(c);
            ++m_used;
        }
    }

    std::unique_ptr<Botan::BlockCipher> m_cipher;
    Secret m_register;
    Secret m_stream;
    Secret m_partial; // cipher text of the current block so far
    size_t m_used = 0;
};

uint16_t checksum(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum += p[i];
    return uint16_t(sum);
}

} // namespace

ZAFError readS2KSpec(std::string_view body, size_t& pos, S2KSpec& out) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(body.data());
    if (body.size() < 2 || pos > body.size() - 2)
        return kZAFError_CorruptData;
    uint8_t type = p[pos++];
    out = S2KSpec();
    out.hashName = rfc4880::hashName(p[pos++]);
    if (out.hashName == nullptr || (type != 0 && type != 1 && type != 3))
        return kZAFError_NotImplemented;
    if (type == 1 || type == 3) {
        if (body.size() - pos < kSaltLength)
            return kZAFError_CorruptData;
        out.salt = body.substr(pos, kSaltLength);
        pos += kSaltLength;
    }
    if (type == 3) {
        if (pos >= body.size())
            return kZAFError_CorruptData;
        out.count = decodeCount(p[pos++]);
    }
    return kZAFError_NoErr;
}

Secret deriveS2K(const char* hashName, std::string_view salt, std::string_view pass, size_t count,
                 size_t keyLength) {
    Secret out;
    Secret material(salt.begin(), salt.end());
    material.insert(material.end(), pass.begin(), pass.end());
    size_t total = count < material.size() ? material.size() : count;
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // A mutated count byte asks for up to 65 MB of hashing per try: in fuzzing builds the work
    // is capped, so inputs cost what the code under test costs (seeds use the smallest count).
    constexpr size_t kFuzzingMostBytes = 65536;
    if (total > kFuzzingMostBytes)
        total = kFuzzingMostBytes;
#endif
    for (size_t preload = 0; out.size() < keyLength; ++preload) {
        auto h = Botan::HashFunction::create_or_throw(hashName);
        for (size_t i = 0; i < preload; ++i)
            h->update(uint8_t(0));
        size_t left = total;
        while (left > 0 && !material.empty()) {
            size_t n = left < material.size() ? left : material.size();
            h->update(material.data(), n);
            left -= n;
        }
        Secret d = h->final();
        out.insert(out.end(), d.begin(), d.end());
    }
    out.resize(keyLength);
    return out;
}

std::string protectSecret(std::string_view publicPart, uint8_t version, const Secret& mpis,
                          std::string_view pass) {
    std::string body(publicPart);
    if (pass.empty()) {
        body.push_back(0);
        body.append(reinterpret_cast<const char*>(mpis.data()), mpis.size());
        uint16_t sum = checksum(mpis.data(), mpis.size());
        body.push_back(char(sum >> 8));
        body.push_back(char(sum & 0xFF));
        return body;
    }
    auto cipher = Botan::BlockCipher::create_or_throw("AES-256");
    const size_t bs = cipher->block_size();
    uint8_t salt[kSaltLength];
    std::vector<uint8_t> iv(bs);
    poolRng().randomize(salt, sizeof salt);
    poolRng().randomize(iv.data(), iv.size());
    Secret key =
        deriveS2K("SHA-256", std::string_view(reinterpret_cast<const char*>(salt), sizeof salt),
                  pass, decodeCount(kS2KCountByte), cipher->maximum_keylength());
    body.push_back(char(version >= 4 ? 254 : 255));
    body.push_back(char(kCipherAES256));
    body.push_back(3); // iterated and salted
    body.push_back(char(kHashSHA256));
    body.append(reinterpret_cast<const char*>(salt), sizeof salt);
    body.push_back(char(kS2KCountByte));
    body.append(reinterpret_cast<const char*>(iv.data()), iv.size());
    Cfb cfb(std::move(cipher), key, iv.data());
    if (version >= 4) {
        Secret plain(mpis);
        auto sha1 = Botan::HashFunction::create_or_throw("SHA-1");
        sha1->update(plain.data(), plain.size());
        Secret digest = sha1->final();
        plain.insert(plain.end(), digest.begin(), digest.end());
        cfb.encrypt(plain.data(), plain.size());
        body.append(reinterpret_cast<const char*>(plain.data()), plain.size());
        return body;
    }
    // Legacy layout: each MPI's bit count stays readable, its value is encrypted on its own.
    std::string_view all(reinterpret_cast<const char*>(mpis.data()), mpis.size());
    size_t pos = 0;
    while (pos < all.size()) {
        rfc4880::Mpi m;
        if (!rfc4880::readMpi(all, pos, m))
            throw std::invalid_argument("malformed secret MPIs");
        Secret value(m.bytes.begin(), m.bytes.end());
        cfb.sync();
        cfb.encrypt(value.data(), value.size());
        body.push_back(char(m.bits >> 8));
        body.push_back(char(m.bits & 0xFF));
        body.append(reinterpret_cast<const char*>(value.data()), value.size());
    }
    uint16_t sum = checksum(mpis.data(), mpis.size());
    body.push_back(char(sum >> 8));
    body.push_back(char(sum & 0xFF));
    return body;
}

ZAFError unlockLegacySecret(std::string_view body, std::string_view pass, Secret& mpis,
                            const rfc4880::KeyInfo& info) {
    if (!rfc4880::isRSA(info.algorithm) || info.mpis.size() != 2 ||
        info.publicLength >= body.size())
        return kZAFError_UnsupportedAlg;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(body.data());
    size_t pos = info.publicLength;
    uint8_t usage = p[pos++];
    uint8_t symAlg = usage;
    const char* hashName = "MD5";
    std::string_view salt;
    size_t count = 0;
    if (usage == 254)
        return kZAFError_NotImplemented; // a SHA-1 check is not defined for legacy keys
    if (usage == 255) {
        if (body.size() - pos < 3)
            return kZAFError_CorruptData;
        symAlg = p[pos++];
        S2KSpec spec;
        ZAFError err = readS2KSpec(body, pos, spec);
        if (err != kZAFError_NoErr)
            return err;
        hashName = spec.hashName;
        salt = spec.salt;
        count = spec.count;
    }
    size_t keyLength = 0, blockSize = 0;
    const char* cipherName = rfc4880::cipherName(symAlg, keyLength, blockSize);
    if (cipherName == nullptr)
        return kZAFError_NotImplemented;
    auto cipher = Botan::BlockCipher::create(cipherName);
    if (!cipher)
        return kZAFError_NotImplemented;
    if (body.size() - pos < blockSize)
        return kZAFError_CorruptData;
    const uint8_t* iv = p + pos;
    pos += blockSize;
    Secret key = deriveS2K(hashName, salt, pass, count, keyLength);
    Cfb cfb(std::move(cipher), key, iv);
    Secret plain;
    // RSA: d, p, q, u.
    for (int i = 0; i < 4; ++i) {
        if (body.size() - pos < 2)
            return kZAFError_CorruptData;
        uint16_t bits = uint16_t((p[pos] << 8) | p[pos + 1]);
        size_t n = (size_t(bits) + 7) / 8;
        if (body.size() - pos - 2 < n)
            return kZAFError_CorruptData;
        Secret value(p + pos + 2, p + pos + 2 + n);
        cfb.sync();
        cfb.decrypt(value.data(), value.size());
        plain.push_back(p[pos]);
        plain.push_back(p[pos + 1]);
        plain.insert(plain.end(), value.begin(), value.end());
        pos += 2 + n;
    }
    if (body.size() - pos != 2)
        return kZAFError_CorruptData;
    uint16_t want = uint16_t((p[pos] << 8) | p[pos + 1]);
    if (checksum(plain.data(), plain.size()) != want)
        return kZAFError_BadPassphrase;
    // The two-byte checksum lets one wrong passphrase in 65536 through; the primes must also
    // give the modulus.
    std::string_view s(reinterpret_cast<const char*>(plain.data()), plain.size());
    size_t at = 0;
    rfc4880::Mpi d, pp, qq;
    if (!rfc4880::readMpi(s, at, d) || !rfc4880::readMpi(s, at, pp) || !rfc4880::readMpi(s, at, qq))
        return kZAFError_BadPassphrase;
    auto big = [](const rfc4880::Mpi& m) {
        return Botan::BigInt(reinterpret_cast<const uint8_t*>(m.bytes.data()), m.bytes.size());
    };
    if (big(pp) * big(qq) != big(info.mpis[0]))
        return kZAFError_BadPassphrase;
    mpis.swap(plain);
    return kZAFError_NoErr;
}

} // namespace zaf::edit
