// Montgomery arithmetic for public values against the crypto library's modular exponentiation:
// moduli from one word to the largest, at word boundaries and just past them; bases at the edges
// of the residues and beyond the modulus; exponents from zero to 4,096 bits; two powers at once.
#include "crypto/montgomery.h"

#include <botan/chacha_rng.h>
#include <botan/numthry.h>

#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Botan::BigInt;

BigInt randomOdd(Botan::RandomNumberGenerator& rng, size_t bits) {
    BigInt n(rng, bits);
    n.set_bit(bits - 1);
    n.set_bit(0);
    return n;
}

TEST(Montgomery, PowersAgreeWithTheLibraryAcrossSizesAndEdges) {
    Botan::ChaCha_RNG rng(Botan::secure_vector<uint8_t>(32, 0x4D));
    std::vector<BigInt> moduli = {BigInt(3), BigInt(5), BigInt::power_of_2(64) - 1,
                                  BigInt::power_of_2(64) + 1};
    for (size_t bits : {63, 64, 65, 127, 128, 129, 521, 1023, 1024, 2048, 3072, 4096})
        moduli.push_back(randomOdd(rng, bits));
    // Words of all ones, where every carry travels furthest.
    moduli.push_back(BigInt::power_of_2(2048) - 1);
    for (const BigInt& n : moduli) {
        const std::string tag = std::to_string(n.bits()) + " bits";
        SCOPED_TRACE(tag);
        const zaf::MontgomeryModulus m(n);
        const std::vector<BigInt> bases = {0,
                                           1,
                                           2,
                                           n - 1,
                                           n,
                                           n + 1,
                                           n * 2 + 3,
                                           BigInt(rng, n.bits() * 2),
                                           BigInt::random_integer(rng, 0, n)};
        const std::vector<BigInt> exponents = {
            0, 1, 2, 3, 65537, n - 1, BigInt(rng, 160), BigInt(rng, 256), BigInt(rng, 1024)};
        for (const BigInt& b : bases)
            for (const BigInt& e : exponents)
                ASSERT_EQ(Botan::power_mod(b % n, e, n), m.power(b, e))
                    << "base " << b.to_hex_string() << " exponent " << e.to_hex_string();
        // Two powers at once, exponents of unequal and odd lengths, bases beyond the modulus.
        for (size_t i = 0; i < 6; ++i) {
            const BigInt a = bases[i + 3], b = BigInt::random_integer(rng, 0, n);
            const BigInt x(rng, 1 + i * 50), y(rng, 300 - i * 50);
            ASSERT_EQ(Botan::power_mod(a % n, x, n) * Botan::power_mod(b, y, n) % n,
                      m.power2(a, x, b, y));
        }
        EXPECT_EQ(BigInt(1), m.power2(n - 1, 0, n - 2, 0));
        EXPECT_EQ(n - 1, m.power2(n - 1, 1, 1, 4096));
    }
}

TEST(Montgomery, TheLargestModulusAndALongExponent) {
    Botan::ChaCha_RNG rng(Botan::secure_vector<uint8_t>(32, 0x4E));
    const BigInt n = randomOdd(rng, zaf::MontgomeryModulus::kMaxBits);
    const zaf::MontgomeryModulus m(n);
    const BigInt b = BigInt::random_integer(rng, 2, n), e(rng, 4096);
    EXPECT_EQ(Botan::power_mod(b, e, n), m.power(b, e));
}

TEST(Montgomery, RefusesModuliItCannotWorkWith) {
    const std::vector<BigInt> refused = {
        BigInt(0), BigInt(1), BigInt(2), BigInt(4096), BigInt::power_of_2(16384) + 1, -BigInt(7)};
    for (const BigInt& n : refused)
        EXPECT_THROW(zaf::MontgomeryModulus{n}, std::invalid_argument) << n.to_hex_string();
    const zaf::MontgomeryModulus m(BigInt(7));
    EXPECT_THROW(m.power(2, -BigInt(1)), std::invalid_argument);
    EXPECT_THROW(m.power2(2, 1, 3, -BigInt(1)), std::invalid_argument);
}

} // namespace
