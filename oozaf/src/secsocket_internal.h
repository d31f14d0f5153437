// secsocket_internal: the secure channel's fixed group, message parsing and key derivation,
// shared by secsocket.cpp, its tests and its fuzz targets.
#ifndef OOZAF_SECSOCKET_INTERNAL_H
#define OOZAF_SECSOCKET_INTERNAL_H

#include <zaf/zafcontext.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace oozaf {
namespace secsocket {

// Message types of the framing.
enum : unsigned char {
    kTypeClientHello = 1,
    kTypeServerHello = 2,
    kTypeClientSignature = 3,
    kTypeData = 64
};

constexpr size_t kHeaderLength = 5;
constexpr size_t kNonceLength = 16;
constexpr size_t kKeyIDLength = 8;
constexpr size_t kMACLength = 20;
constexpr size_t kValueLength = 16; // every derived key and IV
constexpr size_t kModulusLength = 192;
constexpr unsigned int kModulusBits = 1536;
constexpr size_t kExponentLength = 25;

// The fixed group, big-endian: p and g in kModulusLength bytes, q in kQLength bytes.
extern const unsigned char kGroupP[kModulusLength];
extern const unsigned char kGroupG[kModulusLength];
constexpr size_t kQLength = 25;
extern const unsigned char kGroupQ[kQLength];

// A hello message as received: key ID | nonce | MPI(public value) | rest. The pointers point
// into the caller's payload.
struct SHello {
    const unsigned char* keyID;
    const unsigned char* nonce;
    const unsigned char* mpi; // the whole MPI: 2 bytes of bit count and the value bytes
    size_t mpiLength;
    const unsigned char* value; // the value bytes alone
    size_t valueLength;
    const unsigned char* rest; // what follows the MPI (the server's signature)
    size_t restLength;
};

// Splits a hello payload. Returns false when it is shorter than 26 bytes, shorter than its MPI
// announces, or the MPI announces more bits than the modulus has (such a value cannot be a
// valid public value, and refusing it here keeps oversized numbers away from the arithmetic).
bool parseHello(const unsigned char* payload, size_t length, SHello& out);

// The six values derived from a shared secret, named by direction: "IToR" values protect what
// the server sends, "RToI" values what the client sends.
struct SKeyMaterial {
    unsigned char iToREncryptionKey[kValueLength];
    unsigned char rToIEncryptionKey[kValueLength];
    unsigned char iToRMacKey[kValueLength];
    unsigned char rToIMacKey[kValueLength];
    unsigned char iToRIV[kValueLength];
    unsigned char rToIIV[kValueLength];
};

// Derives the key material from the shared secret (big-endian, at most kModulusLength bytes;
// it is hashed in exactly kModulusLength bytes) and the two nonces. Throws CZAFSDKException
// when the toolkit fails. The caller wipes `out`.
void deriveKeyMaterial(ZAFContextRef context, const unsigned char* secret, size_t secretLength,
                       const unsigned char* clientNonce, const unsigned char* serverNonce,
                       SKeyMaterial& out);

// Overwrites memory in a way the compiler keeps.
void wipe(void* data, size_t length);

// Throws a toolkit failure as a CZAFSDKException.
void check(ZAFError code);
// Throws a CZAFSecSocketException with `message`.
[[noreturn]] void failWith(const char* message);
extern const char kInvalidInput[];
extern const char kBadPadding[];

// A byte array that is overwritten before it is released.
class CWipedBytes {
public:
    CWipedBytes() = default;
    explicit CWipedBytes(size_t size) : m_bytes(size) {}
    ~CWipedBytes() { wipe(m_bytes.data(), m_bytes.size()); }
    CWipedBytes(const CWipedBytes&) = delete;
    CWipedBytes& operator=(const CWipedBytes&) = delete;

    unsigned char* data() { return m_bytes.data(); }
    size_t size() const { return m_bytes.size(); }

private:
    std::vector<unsigned char> m_bytes;
};

} // namespace secsocket
} // namespace oozaf

#endif
