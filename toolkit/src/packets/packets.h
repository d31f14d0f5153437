// packets: the RFC 4880 packet layer: headers, key packets, signatures, fingerprints.
// Everything here works on bytes in memory and checks each length before it is used; malformed
// input gives false, never a read past the end.
#ifndef ZAF_PACKETS_H
#define ZAF_PACKETS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zaf::rfc4880 {

enum Tag : uint8_t {
    kTagSignature = 2,
    kTagSecretKey = 5,
    kTagPublicKey = 6,
    kTagSecretSubkey = 7,
    kTagTrust = 12,
    kTagUserID = 13,
    kTagPublicSubkey = 14,
    kTagUserAttribute = 17
};

// Largest packet body we accept; key material is far smaller, so anything bigger is damage.
constexpr size_t kMaxPacketBody = 16u << 20;

// One packet as found in a byte stream. `body` points into the input, or into the scratch string
// given to readPacket when the body came in partial-length chunks.
struct RawPacket {
    uint8_t tag = 0;
    bool newFormat = false;
    bool partial = false;
    size_t offset = 0; // where the header starts
    size_t total = 0;  // header(s) plus body, as stored
    std::string_view body;
};

// Reads the packet at data[offset]. Partial lengths are allowed only for the data packets that
// may use them (tags 8, 9, 11, 18, 20); the chunks are joined in `scratch`.
bool readPacket(const uint8_t* data, size_t size, size_t offset, RawPacket& out,
                std::string& scratch);

// The tag of one stored packet (`raw` holds at least its first byte) and its body; the body is
// empty when the packet cannot be read or uses partial lengths.
uint8_t rawTag(const std::string& raw);
std::string_view rawBody(const std::string& raw);

// Appends a header for a body of `length` bytes. Old format uses the shortest length type; new
// format the shortest of the three fixed encodings. Tags above 15 always use the new format.
void writeHeader(std::string& out, uint8_t tag, size_t length, bool newFormat);
void writePacket(std::string& out, uint8_t tag, std::string_view body, bool newFormat = false);

// An RFC 4880 MPI: bit count and the value's bytes (leading zeros as stored).
struct Mpi {
    uint16_t bits = 0;
    std::string_view bytes;
};
bool readMpi(std::string_view data, size_t& pos, Mpi& out);
// Appends an MPI (leading zero bytes dropped) to `out`.
void appendMpi(std::string& out, const uint8_t* bytes, size_t length);
template <class Container> void appendMpi(std::string& out, const Container& c) {
    appendMpi(out, reinterpret_cast<const uint8_t*>(c.data()), c.size());
}
// The MPIs at the start of `data`, at most `maxCount` of them; false when one is malformed.
bool readMpis(std::string_view data, size_t maxCount, std::vector<Mpi>& out);

// The public part of a key packet (public or secret, key or subkey).
struct KeyInfo {
    uint8_t version = 0;
    uint8_t algorithm = 0;
    uint32_t created = 0;
    uint16_t v3ValidDays = 0;
    uint32_t bits = 0;
    size_t publicLength = 0; // bytes of the body that form the public key
    bool known = false;      // algorithm-specific fields were understood
    uint8_t fingerprint[20] = {};
    uint8_t fingerprintLength = 0;
    uint8_t keyID[8] = {};
    std::vector<Mpi> mpis; // public MPIs (the EC point for EC keys)
    std::string_view curveOid;
    std::string_view kdfParams; // ECDH: the KDF parameters after the point (length byte excluded)
};
// Parses the public part. `computeFingerprint` can be off when only the layout is needed.
bool parseKeyPacket(std::string_view body, KeyInfo& out, bool computeFingerprint = true);

// Public key algorithm classes.
bool isRSA(uint8_t alg);
bool isDSA(uint8_t alg);
bool isElGamal(uint8_t alg);
bool canAlgSign(uint8_t alg);
bool canAlgEncrypt(uint8_t alg);

// A parsed signature packet. Offsets refer to the signature body it was parsed from.
struct SigInfo {
    uint8_t version = 0;
    uint8_t type = 0;
    uint8_t pkAlg = 0;
    uint8_t hashAlg = 0;
    uint32_t created = 0;
    uint32_t sigExpireSecs = 0;
    uint32_t keyExpireSecs = 0;
    bool hasKeyExpire = false;
    uint8_t issuer[8] = {};
    bool hasIssuer = false;
    bool exportable = true;
    bool revocable = true;
    bool primaryUserID = false;
    bool hasKeyFlags = false;
    uint8_t keyFlags = 0;
    uint8_t trustDepth = 0;
    uint8_t trustAmount = 0;
    uint8_t revocationReason = 0;
    std::string_view prefSymmetric;
    std::string_view prefHash;
    std::string_view regexp;
    std::string_view embedded; // subpacket 32: an embedded signature body (a back signature)
    std::vector<std::string_view> revokers; // subpacket 12 bodies (class, alg, 20-byte fpr)
    std::vector<std::string_view> adks;     // subpacket 10 bodies, same layout
    size_t hashedEnd = 0;                   // v4: bytes of the body hashed (before the trailer)
    std::string_view hashedV3;              // v3: type + creation time
    uint8_t left16[2] = {};
    std::vector<Mpi> mpis;
};
bool parseSignature(std::string_view body, SigInfo& out);

// The first subpacket of a user attribute body (type byte included), empty when malformed.
std::string_view firstAttributeSubpacket(std::string_view body);

// Builds the signature subpacket area header helpers for writers.
void appendSubpacket(std::string& out, uint8_t type, std::string_view body);

// Hash names for Botan by RFC 4880 number, or nullptr.
const char* hashName(uint8_t alg);
// DER DigestInfo prefix for PKCS#1 v1.5 signatures, empty when unknown.
std::string_view digestInfoPrefix(uint8_t alg);
// Botan cipher name and block/key sizes by RFC 4880 number; nullptr when unknown.
const char* cipherName(uint8_t alg, size_t& keyLength, size_t& blockSize);

} // namespace zaf::rfc4880

#endif
