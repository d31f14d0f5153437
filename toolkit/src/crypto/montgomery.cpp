// montgomery: modular exponentiation for public values (see montgomery.h).
#include "montgomery.h"

#include <algorithm>
#include <stdexcept>

namespace zaf {

namespace {

__extension__ typedef unsigned __int128 Wide;

constexpr size_t kMaxWords = MontgomeryModulus::kMaxBits / 64;

// The words of x (x < 2^(64 * words)), least significant first.
std::vector<uint64_t> wordsOf(const Botan::BigInt& x, size_t words) {
    std::vector<uint64_t> out(words, 0);
    for (size_t i = 0; i < words; ++i)
        out[i] = x.word_at(i);
    return out;
}

// a >= b, both `words` long.
bool atLeast(const uint64_t* a, const uint64_t* b, size_t words) {
    for (size_t i = words; i-- > 0;)
        if (a[i] != b[i])
            return a[i] > b[i];
    return true;
}

} // namespace

MontgomeryModulus::MontgomeryModulus(const Botan::BigInt& n)
    : m_modulus(n), m_words(n.sig_words()) {
    if (n.is_negative() || n.is_even() || n < 3 || n.bits() > kMaxBits)
        throw std::invalid_argument("Montgomery arithmetic needs an odd modulus of 2 to " +
                                    std::to_string(kMaxBits) + " bits");
    m_n = wordsOf(n, m_words);
    // Newton's iteration doubles the bits of an inverse modulo 2^64: n is its own inverse
    // modulo 8, five steps reach 96 bits.
    uint64_t inverse = m_n[0];
    for (int i = 0; i < 5; ++i)
        inverse *= 2 - m_n[0] * inverse;
    m_nPrime = 0 - inverse;
    m_r2 = wordsOf(Botan::BigInt::power_of_2(2 * 64 * m_words) % n, m_words);
    m_one.assign(m_words, 0);
    const Words unit = wordsOf(Botan::BigInt(1), m_words);
    multiply(m_r2.data(), unit.data(), m_one.data());
}

void MontgomeryModulus::multiply(const uint64_t* a, const uint64_t* b, uint64_t* out) const {
    // Coarsely integrated operand scanning: one row of a * b[i], then one reduction step.
    const size_t k = m_words;
    const uint64_t* n = m_n.data();
    uint64_t t[kMaxWords + 2];
    std::fill_n(t, k + 2, 0);
    for (size_t i = 0; i < k; ++i) {
        uint64_t carry = 0;
        const uint64_t bi = b[i];
        for (size_t j = 0; j < k; ++j) {
            const Wide p = Wide(a[j]) * bi + t[j] + carry;
            t[j] = uint64_t(p);
            carry = uint64_t(p >> 64);
        }
        Wide p = Wide(t[k]) + carry;
        t[k] = uint64_t(p);
        t[k + 1] = uint64_t(p >> 64);

        const uint64_t m = t[0] * m_nPrime;
        p = Wide(m) * n[0] + t[0];
        carry = uint64_t(p >> 64);
        for (size_t j = 1; j < k; ++j) {
            p = Wide(m) * n[j] + t[j] + carry;
            t[j - 1] = uint64_t(p);
            carry = uint64_t(p >> 64);
        }
        p = Wide(t[k]) + carry;
        t[k - 1] = uint64_t(p);
        t[k] = t[k + 1] + uint64_t(p >> 64);
    }
    // t < 2n: one subtraction at most.
    if (t[k] != 0 || atLeast(t, n, k)) {
        uint64_t borrow = 0;
        for (size_t j = 0; j < k; ++j) {
            const Wide d = Wide(t[j]) - n[j] - borrow;
            t[j] = uint64_t(d);
            borrow = uint64_t(d >> 64) & 1;
        }
    }
    std::copy(t, t + k, out);
}

MontgomeryModulus::Words MontgomeryModulus::toMontgomery(const Botan::BigInt& x) const {
    const Words reduced = wordsOf(x < m_modulus ? x : x % m_modulus, m_words);
    Words out(m_words);
    multiply(reduced.data(), m_r2.data(), out.data());
    return out;
}

Botan::BigInt MontgomeryModulus::fromMontgomery(const Words& x) const {
    Words unit(m_words, 0), plain(m_words);
    unit[0] = 1;
    multiply(x.data(), unit.data(), plain.data());
    Botan::BigInt out;
    out.grow_to(m_words);
    for (size_t i = 0; i < m_words; ++i)
        out.set_word_at(i, plain[i]);
    return out;
}

Botan::BigInt MontgomeryModulus::power(const Botan::BigInt& base,
                                       const Botan::BigInt& exponent) const {
    if (exponent.is_negative())
        throw std::invalid_argument("Montgomery exponents are not negative");
    // Left to right, one bit at a time: public exponents are short (65537) or rare.
    const Words b = toMontgomery(base);
    Words acc = m_one;
    for (size_t i = exponent.bits(); i-- > 0;) {
        multiply(acc.data(), acc.data(), acc.data());
        if (exponent.get_bit(i))
            multiply(acc.data(), b.data(), acc.data());
    }
    return fromMontgomery(acc);
}

} // namespace zaf
