// pubverify: signatures checked with public keys, and the arithmetic of those checks.
#ifndef ZAF_PUBVERIFY_H
#define ZAF_PUBVERIFY_H

#include "crypto/crypto.h"
#include "packets/packets.h"

#include <botan/bigint.h>

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace zaf {

// How a check is computed. `Cheapest` is what the key store uses: RSA and DSA on the Montgomery
// arithmetic for public values (see pubverify.cpp) until a key has made enough checks for the
// crypto library's set-up to pay, the other algorithms by the library. `Library` and `Direct`
// name one way for RSA and DSA, so that tests and the fuzz target can hold them against each
// other.
enum class VerifyWay : uint8_t { Cheapest, Library, Direct };

// Tests and benchmarks: the way verifyWithKey (so every check of the process) takes from now on.
void setVerifyWay(VerifyWay way);

// verifyWithKey (keystore_internal.h) with the way named. The same front part for every way:
// the key's parameters are checked first (keyParametersAcceptable), signature values longer
// than the key's width are refused, a DSA hash is cut to the subgroup's width.
bool verifyWithKeyBy(VerifyWay way, std::string_view signerKeyBody, uint8_t hashAlg,
                     const uint8_t* digest, size_t digestLength, const rfc4880::SigInfo& sig);

// RSA PKCS#1 v1.5: whether s (0 <= s < n) raised to e is 00 01 FF..FF 00 `t` as wide as n,
// with at least eight bytes FF. `t` is the DigestInfo prefix followed by the digest.
bool rsaSignatureHolds(const MontgomeryModulus& n, const Botan::BigInt& e, const Botan::BigInt& s,
                       const std::vector<uint8_t>& t);
// DSA: whether (r, s) signs hash h (already cut to the subgroup's width) for group (p, q, g) and
// public value y: 0 < r, s < q and (g^(h/s) * y^(r/s) mod p) mod q = r.
bool dsaSignatureHolds(const MontgomeryModulus& p, const Botan::BigInt& q, const Botan::BigInt& g,
                       const Botan::BigInt& y, const Botan::BigInt& r, const Botan::BigInt& s,
                       const Botan::BigInt& h);
} // namespace zaf

#endif
