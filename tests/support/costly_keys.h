// costly_keys: hostile key material written packet by packet: DSA keys whose group is as large
// as a sender likes, with many user IDs whose self-signatures are invalid but carry the right
// first two bytes of their hash (so a verifier gets past its cheap test to the expensive part).
// Nothing here is a real key: the numbers only have the sizes and forms the tests need.
#ifndef ORX_TESTS_COSTLY_KEYS_H
#define ORX_TESTS_COSTLY_KEYS_H

#include "key_packets.h"

#include <botan/auto_rng.h>
#include <botan/bigint.h>
#include <botan/hash.h>

#include <cstdint>
#include <string>
#include <vector>

namespace costly {

using keypackets::be32;
using keypackets::packet;

inline std::string be16(size_t v) { return std::string{char(v >> 8), char(v)}; }

inline std::string mpi(const Botan::BigInt& n) {
    std::vector<uint8_t> bytes = Botan::BigInt::encode(n);
    return be16(n.bits()) + std::string(bytes.begin(), bytes.end());
}

// A random number of exactly `bits` bits; odd when asked.
inline Botan::BigInt randomBits(Botan::RandomNumberGenerator& rng, size_t bits, bool odd) {
    Botan::BigInt n(rng, bits);
    n.set_bit(bits - 1);
    if (odd)
        n.set_bit(0);
    else
        n.clear_bit(0);
    return n;
}

struct Group {
    Botan::BigInt p, q, g, y;
};

// A group that passes the cheap checks (odd p, q of `qBits` dividing p - 1, 1 < g, y < p) but is
// not a real one: p is not a prime.
inline Group plausibleGroup(Botan::RandomNumberGenerator& rng, size_t pBits, size_t qBits) {
    Group d;
    d.q = randomBits(rng, qBits, true);
    do {
        const Botan::BigInt k = randomBits(rng, pBits - qBits, false);
        d.p = d.q * k + 1;
    } while (d.p.bits() != pBits);
    d.g = randomBits(rng, pBits - 8, false) + 2;
    d.y = randomBits(rng, pBits - 8, true);
    return d;
}

// Any sizes at all: what a hostile key sends.
inline Group arbitraryGroup(Botan::RandomNumberGenerator& rng, size_t pBits, size_t qBits) {
    Group d;
    d.p = randomBits(rng, pBits, true);
    d.q = randomBits(rng, qBits, true);
    d.g = randomBits(rng, pBits - 8, false) + 2;
    d.y = randomBits(rng, pBits - 8, true);
    return d;
}

constexpr uint32_t kCreated = 1700000000;

inline std::string dsaKeyBody(const Group& d) {
    return std::string(1, 4) + be32(kCreated) + char(17) + mpi(d.p) + mpi(d.q) + mpi(d.g) +
           mpi(d.y);
}

// The v4 key ID of a key packet body: the low 8 bytes of its SHA-1 fingerprint.
inline std::string keyID(const std::string& keyBody) {
    auto sha1 = Botan::HashFunction::create_or_throw("SHA-1");
    sha1->update(std::string(1, char(0x99)) + be16(keyBody.size()) + keyBody);
    Botan::secure_vector<uint8_t> f = sha1->final();
    return std::string(reinterpret_cast<const char*>(f.data()) + 12, 8);
}

// A positive self-certification (0x13, SHA-256) of `userID` by the DSA key `keyBody`, whose
// hash prefix is right and whose values r and s are random numbers of `halfBits` bits.
inline std::string forgedSelfSignature(Botan::RandomNumberGenerator& rng,
                                       const std::string& keyBody, const std::string& userID,
                                       uint32_t created, size_t halfBits) {
    const std::string hashed = std::string{5, 2} + be32(created);
    std::string body = std::string{4, 0x13, 17, 8} + be16(hashed.size()) + hashed;
    auto sha = Botan::HashFunction::create_or_throw("SHA-256");
    sha->update(std::string(1, char(0x99)) + be16(keyBody.size()) + keyBody);
    sha->update(std::string(1, char(0xB4)) + be32(uint32_t(userID.size())) + userID);
    sha->update(body + std::string{4, char(0xFF)} + be32(uint32_t(body.size())));
    Botan::secure_vector<uint8_t> h = sha->final();
    const std::string unhashed = std::string{9, 16} + keyID(keyBody);
    body += be16(unhashed.size()) + unhashed;
    body += char(h[0]);
    body += char(h[1]);
    body += mpi(randomBits(rng, halfBits, true)) + mpi(randomBits(rng, halfBits, true));
    return body;
}

// A transferable DSA key of group `d` with `userIDs` user IDs, each with one forged
// self-signature whose halves have `halfBits` bits.
inline std::string forgedKey(Botan::RandomNumberGenerator& rng, const Group& d, size_t userIDs,
                             size_t halfBits) {
    const std::string keyBody = dsaKeyBody(d);
    std::string out = packet(6, keyBody);
    for (size_t i = 0; i < userIDs; ++i) {
        const std::string uid =
            "Costly " + std::to_string(i) + " <costly" + std::to_string(i) + "@example.org>";
        out += packet(13, uid);
        out += packet(2, forgedSelfSignature(rng, keyBody, uid, kCreated + uint32_t(i), halfBits));
    }
    return out;
}

// The attack ring: one DSA key with a 16,384-bit p and an unbounded q, and 100 user IDs whose
// self-signatures are invalid with the right hash prefixes. Before keys were bounded each check
// cost about 1.5 s.
inline std::string attackRing() {
    Botan::AutoSeeded_RNG rng;
    return forgedKey(rng, arbitraryGroup(rng, 16384, 4096), 100, 4096);
}

} // namespace costly

#endif
