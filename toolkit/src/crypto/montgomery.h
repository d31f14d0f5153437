// montgomery: modular exponentiation for public values, in Montgomery form on 64-bit words.
//
// Signature checks compute with nothing secret (the key, the signature, the hash), so their
// arithmetic may take variable time. The crypto library's arithmetic is made for secret values:
// setting it up for a modulus divides in constant time, which costs as much as hundreds of
// multiplications, and a ring read for the first time meets every key once. Here the set-up is
// one ordinary division (R^2 mod n) and an inverse modulo 2^64. Never use this with a secret
// exponent or base: its time depends on them.
#ifndef ZAF_MONTGOMERY_H
#define ZAF_MONTGOMERY_H

#include <botan/bigint.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zaf {

class MontgomeryModulus {
public:
    // The largest modulus, in bits (the largest key the key store computes with).
    static constexpr size_t kMaxBits = 16384;

    // n odd, 3 <= n, at most kMaxBits bits; throws std::invalid_argument otherwise.
    explicit MontgomeryModulus(const Botan::BigInt& n);

    const Botan::BigInt& modulus() const { return m_modulus; }
    // base^exponent mod n (the base reduced first; anything to the power 0 is 1).
    Botan::BigInt power(const Botan::BigInt& base, const Botan::BigInt& exponent) const;

    // a^x * b^y mod n, both powers in one pass (joint windows of two bits each).
    Botan::BigInt power2(const Botan::BigInt& a, const Botan::BigInt& x, const Botan::BigInt& b,
                         const Botan::BigInt& y) const;

private:
    using Words = std::vector<uint64_t>;

    // out = a * b / R mod n for a, b < n (R = 2^(64 * words)); out may be a or b.
    void multiply(const uint64_t* a, const uint64_t* b, uint64_t* out) const;
    Words toMontgomery(const Botan::BigInt& x) const;
    Botan::BigInt fromMontgomery(const Words& x) const;

    Botan::BigInt m_modulus;
    size_t m_words;
    Words m_n;         // the modulus, least significant word first
    uint64_t m_nPrime; // -1/n mod 2^64
    Words m_r2;        // R^2 mod n
    Words m_one;       // R mod n: 1 in Montgomery form
};

} // namespace zaf

#endif
