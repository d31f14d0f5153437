// montgomery: modular exponentiation for public values (see montgomery.h).
#include "montgomery.h"

#include <algorithm>
#include <stdexcept>
#include <type_traits>

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

// out = a * b / R mod n, coarsely integrated operand scanning: a row of a * b[i], then one
// reduction step. `k` is the word count, a compile-time constant for the common key sizes (the
// compiler then unrolls the rows) or a number at run time. out may be a or b. Only the calling
// thread's own words are touched, so the thread sanitizer, which would make it ten times slower
// and a ring's checks overrun their CPU budget, leaves it alone.
template <class Size>
__attribute__((no_sanitize_thread)) void multiplyWords(Size k, const uint64_t* a, const uint64_t* b,
                                                       const uint64_t* n, uint64_t nPrime,
                                                       uint64_t* out) {
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

        const uint64_t m = t[0] * nPrime;
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
    std::copy(t, t + size_t(k), out);
}

template <size_t K> using Fixed = std::integral_constant<size_t, K>;

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
    const uint64_t* n = m_n.data();
    switch (m_words) {
    case 16:
        return multiplyWords(Fixed<16>(), a, b, n, m_nPrime, out);
    case 24:
        return multiplyWords(Fixed<24>(), a, b, n, m_nPrime, out);
    case 32:
        return multiplyWords(Fixed<32>(), a, b, n, m_nPrime, out);
    case 48:
        return multiplyWords(Fixed<48>(), a, b, n, m_nPrime, out);
    case 64:
        return multiplyWords(Fixed<64>(), a, b, n, m_nPrime, out);
    default:
        return multiplyWords(m_words, a, b, n, m_nPrime, out);
    }
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

Botan::BigInt MontgomeryModulus::power2(const Botan::BigInt& a, const Botan::BigInt& x,
                                        const Botan::BigInt& b, const Botan::BigInt& y) const {
    if (x.is_negative() || y.is_negative())
        throw std::invalid_argument("Montgomery exponents are not negative");
    // table[i + 4 * j] = a^i * b^j for i, j < 4.
    std::vector<Words> table(16);
    table[0] = m_one;
    table[1] = toMontgomery(a);
    table[4] = toMontgomery(b);
    auto product = [this](const Words& u, const Words& v) {
        Words out(m_words);
        multiply(u.data(), v.data(), out.data());
        return out;
    };
    for (size_t i = 2; i < 4; ++i) {
        table[i] = product(table[i - 1], table[1]);
        table[4 * i] = product(table[4 * (i - 1)], table[4]);
    }
    for (size_t j = 1; j < 4; ++j)
        for (size_t i = 1; i < 4; ++i)
            table[i + 4 * j] = product(table[i], table[4 * j]);

    const size_t bits = std::max(x.bits(), y.bits());
    Words acc = m_one;
    for (size_t top = (bits + 1) / 2 * 2; top > 0; top -= 2) {
        multiply(acc.data(), acc.data(), acc.data());
        multiply(acc.data(), acc.data(), acc.data());
        const size_t i = size_t(x.get_bit(top - 1)) * 2 + size_t(x.get_bit(top - 2));
        const size_t j = size_t(y.get_bit(top - 1)) * 2 + size_t(y.get_bit(top - 2));
        if (i + 4 * j != 0)
            multiply(acc.data(), table[i + 4 * j].data(), acc.data());
    }
    return fromMontgomery(acc);
}

} // namespace zaf
