// costly_ring: a public ring that is cheap to make and slow to verify. One RSA key of 16384 bits
// with a 256-bit public exponent (the largest the key store checks) and many user IDs, each with
// a self-signature whose two stored hash bytes are right but whose value is not: every one of
// them is worked through to the end before it fails, some tens of milliseconds each.
#ifndef ORX_INTEGRATION_COSTLY_RING_H
#define ORX_INTEGRATION_COSTLY_RING_H

#include "key_packets.h"

#include <botan/hash.h>

#include <cstdint>
#include <random>
#include <string>

namespace orxtest {

inline std::string costlyRing(unsigned userIDs, uint32_t seed = 1) {
    using keypackets::be32;
    using keypackets::packet;
    using keypackets::subpacket;
    std::mt19937 random(seed);
    auto mpi = [&](unsigned bits) {
        std::string bytes((bits + 7) / 8, '\0');
        for (char& b : bytes)
            b = char(random());
        bytes.front() = char(uint8_t(bytes.front()) | 0x80);
        bytes.back() = char(uint8_t(bytes.back()) | 1);
        return std::string{char(bits >> 8), char(bits)} + bytes;
    };
    const uint32_t created = 1600000000;
    std::string key = std::string{4} + be32(created) + char(1) + mpi(16384) + mpi(256);
    const std::string keyData =
        std::string{char(0x99), char(key.size() >> 8), char(key.size())} + key;
    auto sha1 = Botan::HashFunction::create_or_throw("SHA-1");
    sha1->update(keyData);
    const Botan::secure_vector<uint8_t> fingerprint = sha1->final();
    const std::string keyID(reinterpret_cast<const char*>(fingerprint.data()) + 12, 8);
    std::string ring = packet(6, key);
    for (unsigned i = 0; i < userIDs; ++i) {
        const std::string uid = "Costly " + std::to_string(i) + " <costly@example.org>";
        const std::string area = subpacket(2, be32(created + i));
        std::string body = {4, 0x13, 1, 8, char(area.size() >> 8), char(area.size())};
        body += area;
        auto sha256 = Botan::HashFunction::create_or_throw("SHA-256");
        sha256->update(keyData);
        sha256->update(std::string(1, char(0xB4)) + be32(uint32_t(uid.size())) + uid);
        sha256->update(body + std::string{4, char(0xFF)} + be32(uint32_t(body.size())));
        const Botan::secure_vector<uint8_t> digest = sha256->final();
        const std::string unhashed = subpacket(16, keyID);
        body += char(unhashed.size() >> 8);
        body += char(unhashed.size());
        body += unhashed;
        body += char(digest[0]);
        body += char(digest[1]);
        body += mpi(16383);
        ring += packet(13, uid) + packet(2, body);
    }
    return ring;
}

} // namespace orxtest

#endif
