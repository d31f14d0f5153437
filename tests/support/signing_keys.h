// signing_keys: RSA and DSA keys made with the crypto library, as RFC 4880 key packet bodies,
// and signature values by them (good ones, and any representative an RSA key can sign), for the
// tests and benchmarks of signature checks.
#ifndef ORX_TESTS_SIGNING_KEYS_H
#define ORX_TESTS_SIGNING_KEYS_H

#include <botan/bigint.h>
#include <botan/dl_group.h>
#include <botan/dsa.h>
#include <botan/hash.h>
#include <botan/numthry.h>
#include <botan/pubkey.h>
#include <botan/rsa.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace signingkeys {

inline std::string bytesOf(const Botan::BigInt& v) {
    std::vector<uint8_t> b = Botan::BigInt::encode(v);
    return std::string(b.begin(), b.end());
}

inline Botan::BigInt numberOf(const std::string& bytes) {
    return Botan::BigInt(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

inline std::string mpi(const Botan::BigInt& v) {
    const size_t bits = v.bits();
    return std::string{char(bits >> 8), char(bits)} + bytesOf(v);
}

// A v4 key packet body of `alg` with these public numbers.
inline std::string keyBody(uint8_t alg, std::initializer_list<Botan::BigInt> numbers) {
    std::string body = {4, 0x5E, 0x0B, 0x1A, 0x00, char(alg)};
    for (const Botan::BigInt& n : numbers)
        body += mpi(n);
    return body;
}

inline std::vector<uint8_t> hashOf(const std::string& name, const std::string& data) {
    auto h = Botan::HashFunction::create_or_throw(name);
    h->update(data);
    Botan::secure_vector<uint8_t> d = h->final();
    return std::vector<uint8_t>(d.begin(), d.end());
}

// A DigestInfo prefix followed by the digest: what PKCS#1 v1.5 signs.
inline std::string digestInfo(std::string_view prefix, const std::vector<uint8_t>& digest) {
    return std::string(prefix) + std::string(digest.begin(), digest.end());
}

class RsaKey {
public:
    RsaKey(Botan::RandomNumberGenerator& rng, size_t bits, uint32_t e) {
        // The library makes no key below 1,024 bits; a key from two primes has any size.
        const Botan::BigInt p = Botan::random_prime(rng, (bits + 1) / 2, e);
        const Botan::BigInt q = Botan::random_prime(rng, bits / 2, e);
        m_key = std::make_unique<Botan::RSA_PrivateKey>(p, q, e);
        body = keyBody(1, {m_key->get_n(), m_key->get_e()});
    }
    const Botan::BigInt& n() const { return m_key->get_n(); }
    size_t width() const { return n().bytes(); }
    // The signature value of representative `m`, as wide as the modulus.
    std::string signRaw(const Botan::BigInt& m) const {
        Botan::secure_vector<uint8_t> s =
            Botan::BigInt::encode_1363(Botan::power_mod(m, m_key->get_d(), n()), width());
        return std::string(s.begin(), s.end());
    }
    std::string signRaw(const std::string& em) const { return signRaw(numberOf(em)); }
    // 00 01 FF.. 00 t as wide as the modulus, signed.
    std::string signEncoded(const std::string& t) const {
        return signRaw(std::string{0, 1} + std::string(width() - t.size() - 3, char(0xFF)) +
                       std::string(1, 0) + t);
    }
    std::string body;

private:
    std::unique_ptr<Botan::RSA_PrivateKey> m_key;
};

class DsaKey {
public:
    DsaKey(Botan::RandomNumberGenerator& rng, const Botan::DL_Group& group)
        : m_rng(rng), m_key(rng, group), m_signer(m_key, rng, "Raw") {
        body = keyBody(17, {group.get_p(), group.get_q(), group.get_g(), m_key.get_y()});
    }
    const Botan::DL_Group& group() const { return m_key.get_group(); }
    size_t width() const { return group().get_q().bytes(); }
    // r and s of a signature over `msg` (its leftmost bytes as wide as the subgroup).
    std::vector<std::string> sign(const std::vector<uint8_t>& msg) {
        const size_t w = width();
        std::vector<uint8_t> cut(msg.begin(),
                                 msg.begin() + std::ptrdiff_t(std::min(w, msg.size())));
        std::vector<uint8_t> s = m_signer.sign_message(cut, m_rng);
        return {std::string(s.begin(), s.begin() + std::ptrdiff_t(w)),
                std::string(s.begin() + std::ptrdiff_t(w), s.end())};
    }
    std::string body;

private:
    Botan::RandomNumberGenerator& m_rng;
    Botan::DSA_PrivateKey m_key;
    Botan::PK_Signer m_signer;
};

} // namespace signingkeys

#endif
