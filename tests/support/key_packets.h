// key_packets: edits the packets of keys made with our own toolkit, to build the keys a test
// needs (re-ordered packets, copied or dropped signatures, altered bytes) and signs new packets
// with a key's secret part through the toolkit's private key context.
#ifndef ORX_TESTS_KEY_PACKETS_H
#define ORX_TESTS_KEY_PACKETS_H

#include <zaf/zafkeys.h>

#include <botan/hash.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace keypackets {

struct Packet {
    uint8_t tag = 0;
    std::string body;
    size_t total = 0; // header and body as read (split only)
};

inline std::string be32(uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// A packet with a new-format header (five-byte length for long bodies).
inline std::string packet(uint8_t tag, const std::string& body) {
    std::string out(1, char(0xC0 | tag));
    if (body.size() < 192) {
        out += char(body.size());
    } else {
        out += char(0xFF);
        out += be32(uint32_t(body.size()));
    }
    return out + body;
}

// Splits a packet stream (old or new headers, no partial lengths).
inline std::vector<Packet> split(const std::string& bytes) {
    std::vector<Packet> out;
    size_t pos = 0;
    auto byte = [&](size_t at) -> size_t {
        if (at >= bytes.size())
            throw std::runtime_error("truncated packet");
        return uint8_t(bytes[at]);
    };
    while (pos < bytes.size()) {
        uint8_t ctb = uint8_t(byte(pos));
        Packet p;
        size_t len = 0, head = 0;
        if (ctb & 0x40) {
            p.tag = ctb & 0x3F;
            size_t b0 = byte(pos + 1);
            if (b0 < 192) {
                len = b0;
                head = 2;
            } else if (b0 < 224) {
                len = ((b0 - 192) << 8) + byte(pos + 2) + 192;
                head = 3;
            } else if (b0 == 255) {
                len = (byte(pos + 2) << 24) | (byte(pos + 3) << 16) | (byte(pos + 4) << 8) |
                      byte(pos + 5);
                head = 6;
            } else {
                throw std::runtime_error("partial length");
            }
        } else {
            p.tag = (ctb >> 2) & 15;
            size_t n = (ctb & 3) == 0 ? 1 : (ctb & 3) == 1 ? 2 : 4;
            for (size_t i = 0; i < n; ++i)
                len = (len << 8) | byte(pos + 1 + i);
            head = 1 + n;
        }
        if (pos + head + len > bytes.size())
            throw std::runtime_error("truncated packet");
        p.body = bytes.substr(pos + head, len);
        p.total = head + len;
        out.push_back(std::move(p));
        pos += head + len;
    }
    return out;
}

inline std::string join(const std::vector<Packet>& packets) {
    std::string out;
    for (const Packet& p : packets)
        out += packet(p.tag, p.body);
    return out;
}

// A packet stream without trust packets (what an export holds of a key).
inline std::string withoutTrust(const std::string& bytes) {
    std::vector<Packet> kept;
    for (Packet& p : split(bytes))
        if (p.tag != 12)
            kept.push_back(std::move(p));
    return join(kept);
}

inline std::string subpacket(uint8_t type, const std::string& body) {
    size_t n = body.size() + 1;
    std::string len = n < 192 ? std::string(1, char(n))
                              : std::string{char(((n - 192) >> 8) + 192), char((n - 192) & 0xFF)};
    return len + char(type) + body;
}

// The public part of a v4 RSA, DSA or ElGamal key packet body (the secret part cut off).
inline std::string publicPart(const std::string& keyBody) {
    size_t pos = 6;
    uint8_t alg = uint8_t(keyBody.at(5));
    size_t mpis = alg == 1 || alg == 2 || alg == 3 ? 2 : alg == 17 ? 4 : alg == 16 ? 3 : 0;
    if (mpis == 0)
        throw std::runtime_error("algorithm without a known layout");
    for (size_t i = 0; i < mpis; ++i) {
        size_t bits = (size_t(uint8_t(keyBody.at(pos))) << 8) | uint8_t(keyBody.at(pos + 1));
        pos += 2 + (bits + 7) / 8;
    }
    return keyBody.substr(0, pos);
}

// A v4 signature of `type` by `signer` (a key or subkey object whose secret part is held and
// opens with `passphrase`), over the primary key `keyBody` and `target`: a user ID (tag 13),
// user attribute (17) or subkey (14) body, or nothing (tag 0). `hashed` subpackets follow the
// creation time; `unhashed` follow the issuer.
inline std::string sign(ZAFKeyDBObjRef signer, const char* passphrase, uint8_t type,
                        const std::string& keyBody, uint8_t targetTag, const std::string& target,
                        uint32_t created, const std::string& hashed = "",
                        const std::string& unhashed = "") {
    ZAFKeyID id;
    int32_t alg = 0;
    if (ZAFGetKeyID(signer, &id) != 0)
        throw std::runtime_error("no key ID");
    ZAFGetKeyDBObjNumericProperty(signer, kZAFKeyProperty_AlgorithmID, &alg);
    std::string area = subpacket(2, be32(created)) + hashed;
    std::string body = {4, char(type), char(alg), 8, char(area.size() >> 8), char(area.size())};
    body += area;
    auto key = [](const std::string& b) {
        return std::string{char(0x99), char(b.size() >> 8), char(b.size())} + b;
    };
    std::string data = key(keyBody);
    if (targetTag == 14)
        data += key(target);
    else if (targetTag == 13 || targetTag == 17)
        data += char(targetTag == 13 ? 0xB4 : 0xD1) + be32(uint32_t(target.size())) + target;
    data += body + std::string{4, char(0xFF)} + be32(uint32_t(body.size()));
    auto h = Botan::HashFunction::create_or_throw("SHA-256");
    h->update(data);
    Botan::secure_vector<uint8_t> digest = h->final();
    std::string un =
        subpacket(16, std::string(reinterpret_cast<const char*>(id.bytes), 8)) + unhashed;
    body += char(un.size() >> 8);
    body += char(un.size());
    body += un;
    body += char(digest[0]);
    body += char(digest[1]);
    ZAFPrivateKeyContextRef ctx = nullptr;
    std::string pass = passphrase ? passphrase : "";
    if (ZAFNewPrivateKeyContext(signer, pass.c_str(), pass.size(), &ctx) != 0)
        throw std::runtime_error("cannot unlock the signing key");
    uint8_t sig[2048];
    size_t size = 0;
    ZAFError err = ZAFPrivateKeySign(ctx, 8, digest.data(), digest.size(), sig, sizeof sig, &size);
    ZAFFreePrivateKeyContext(ctx);
    if (err != 0)
        throw std::runtime_error("signing failed");
    return body + std::string(reinterpret_cast<const char*>(sig), size);
}

// A v4 certification (type 0x10, RSA, SHA-256) by `issuer` (8 bytes) made at `created`, with a
// filler signature value: what a flood by strangers whose keys nobody holds looks like.
inline std::string fillerCertification(const std::string& issuer, uint32_t created) {
    std::string body = {4, 0x10, 1, 8, 0, 6, 5, 2};
    body += be32(created);
    body += std::string{0, 10, 9, 16} + issuer;
    body += std::string{0x12, 0x34, 0, 8, char(0x9c)}; // left 16 bits, an 8-bit MPI
    return packet(2, body);
}

// Issuer key ID number `i` of a flood: one that no ring holds.
inline std::string strangerID(uint32_t i) {
    return std::string{char(0xF1), 0x0D, char(0xED), 0} + be32(i);
}

// `key` (transferable key bytes) with `count` filler certifications by distinct strangers right
// after its first user ID, created at base + 0 .. base + count - 1 in shuffled order.
inline std::string floodedKey(const std::string& key, uint32_t count, uint32_t base) {
    std::vector<Packet> packets = split(key);
    std::string out;
    bool done = false;
    for (const Packet& p : packets) {
        out += packet(p.tag, p.body);
        if (p.tag == 13 && !done) {
            for (uint32_t i = 0; i < count; ++i) {
                const uint32_t n = uint32_t((uint64_t(i) * 7919u) % count); // each once
                out += fillerCertification(strangerID(n), base + n);
            }
            done = true;
        }
    }
    return out;
}

} // namespace keypackets

#endif
