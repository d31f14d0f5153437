// secsocket: the secure record channel: handshake, key derivation, records and counter mode.
#include "secsocket_internal.h"

#include <oozaf/secsocket.h>
#include <oozaf/throwable.h>
#include <zaf/zafrandom.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace oozaf {
namespace secsocket {

// The group of the key exchange: a 1536-bit prime p, a 198-bit prime q dividing p - 1 and a
// generator g of the subgroup of order q. Every peer uses exactly these values.
const unsigned char kGroupP[kModulusLength] = {
    0x92, 0xDA, 0xA6, 0x48, 0x16, 0xFE, 0xAB, 0xFF, 0x7C, 0xD4, 0xC4, 0x98, 0x87, 0xF4, 0x67, 0x86,
    0x56, 0xC8, 0xC5, 0x00, 0x48, 0x89, 0x5A, 0x26, 0x4C, 0x44, 0x8E, 0xD4, 0xA2, 0x1D, 0x07, 0x09,
    0x36, 0x8F, 0xC4, 0x69, 0x3D, 0x8C, 0x13, 0x59, 0x5A, 0xB2, 0x5F, 0x21, 0xFC, 0x2D, 0x2B, 0xDE,
    0xF3, 0x5D, 0xB7, 0x8B, 0x0B, 0x74, 0xC2, 0xB8, 0xAE, 0xEF, 0x5E, 0xF2, 0x0E, 0x8F, 0x88, 0x8B,
    0x65, 0xAE, 0x87, 0xEB, 0xF3, 0x04, 0x33, 0x37, 0x2F, 0x11, 0xD8, 0xC8, 0xEA, 0x93, 0x8B, 0xDB,
    0xFC, 0xA4, 0x18, 0x03, 0x25, 0x5E, 0x35, 0x1C, 0x69, 0xE1, 0xCC, 0xB3, 0xBC, 0x07, 0x9F, 0xB5,
    0x3F, 0x50, 0x6C, 0x9F, 0xB6, 0x5D, 0x1A, 0xD9, 0xD6, 0xD5, 0xFB, 0x52, 0xD6, 0x92, 0xA2, 0x26,
    0x7C, 0xB4, 0x53, 0x75, 0xB4, 0x70, 0x19, 0xB0, 0x66, 0xF7, 0x75, 0x28, 0xA3, 0xF9, 0x1D, 0xCB,
    0xE1, 0x3B, 0xF1, 0xA3, 0x39, 0x48, 0x76, 0x63, 0x17, 0xCD, 0xB6, 0xCF, 0x64, 0x86, 0x0B, 0x45,
    0x79, 0x7C, 0x79, 0x30, 0x63, 0xC6, 0x1C, 0x97, 0x7D, 0x8C, 0x16, 0x81, 0x8A, 0xFC, 0xC8, 0x41,
    0x27, 0x81, 0xAF, 0xC1, 0x5A, 0xF8, 0x62, 0x76, 0xB1, 0x21, 0xE4, 0xC2, 0x96, 0x8B, 0x55, 0xEE,
    0xAF, 0xFB, 0x75, 0xE5, 0x22, 0x1B, 0x83, 0x6C, 0xDF, 0xBD, 0xC2, 0x22, 0xCC, 0x50, 0x25, 0x75,
};

const unsigned char kGroupQ[kQLength] = {
    0x3D, 0xB1, 0x01, 0x34, 0x44, 0x2D, 0x84, 0x52, 0xA3, 0xD7, 0x6B, 0xA6, 0x56,
    0x46, 0x45, 0xF7, 0xA9, 0x2F, 0x27, 0xB5, 0x16, 0xC3, 0x31, 0x6E, 0x47,
};

const unsigned char kGroupG[kModulusLength] = {
    0x70, 0x8D, 0xE9, 0x1D, 0x63, 0x4E, 0xF3, 0x38, 0x12, 0x27, 0x0C, 0x63, 0x4D, 0x85, 0x2A, 0xA4,
    0x63, 0x5B, 0x9E, 0x3B, 0x7A, 0x27, 0x07, 0x63, 0xFA, 0x5E, 0x90, 0x94, 0xC5, 0x49, 0x54, 0x1E,
    0x66, 0x60, 0x3A, 0xFE, 0x3F, 0xA2, 0x49, 0x33, 0xDB, 0x83, 0xCB, 0x5C, 0xA9, 0x87, 0xD4, 0x44,
    0x56, 0x77, 0x8B, 0x44, 0xEE, 0x84, 0x69, 0xD8, 0x09, 0x37, 0x1B, 0x6A, 0xAB, 0x9A, 0x33, 0x28,
    0xAC, 0xE2, 0x1A, 0x20, 0xAE, 0x0D, 0xCE, 0xF3, 0x9A, 0xF0, 0x34, 0xEB, 0x7F, 0x9D, 0x8E, 0xDC,
    0xBB, 0xC7, 0x3D, 0x4B, 0x55, 0xDE, 0xAE, 0x55, 0xE7, 0x54, 0xDE, 0xF4, 0x89, 0x92, 0x80, 0xDB,
    0x2C, 0x49, 0xCA, 0x8F, 0x2F, 0xE4, 0x42, 0x7C, 0xA4, 0xC1, 0xCE, 0xE1, 0x18, 0x3C, 0xCA, 0xED,
    0xD7, 0x4D, 0x6E, 0x8E, 0xF7, 0x0F, 0x94, 0xAF, 0x58, 0x85, 0x0A, 0x12, 0x14, 0x0F, 0x9D, 0xE0,
    0xB3, 0xF7, 0x5E, 0xC0, 0xE6, 0x9E, 0x8E, 0xF3, 0x81, 0xF7, 0xC4, 0x04, 0x33, 0x9E, 0xC5, 0x64,
    0xD4, 0xF8, 0x5D, 0xFD, 0x6C, 0xA2, 0x36, 0xD6, 0x0B, 0x44, 0xD0, 0x4D, 0xAF, 0xF2, 0x99, 0xC8,
    0xA1, 0x38, 0xDE, 0xAF, 0x44, 0x26, 0xD5, 0xA2, 0xFB, 0x2A, 0xCD, 0x40, 0x69, 0xC9, 0xBF, 0x3D,
    0xC9, 0x4E, 0x8F, 0x7B, 0xDE, 0xA1, 0x5B, 0xC8, 0xF1, 0x52, 0xF1, 0x8E, 0xA2, 0x3B, 0x78, 0xDB,
};

namespace {

const char kTag[] = "secsocket";

} // namespace

void check(ZAFError code) {
    if (code != kZAFError_NoErr)
        throw new CZAFSDKException(code);
}

const char kInvalidInput[] = "Invalid input received";
const char kBadPadding[] = "Bad padding format";

[[noreturn]] void failWith(const char* message) { throw new CZAFSecSocketException(message); }

bool parseHello(const unsigned char* payload, size_t length, SHello& out) {
    const size_t fixed = kKeyIDLength + kNonceLength + 2;
    if (payload == nullptr || length < fixed)
        return false;
    const unsigned int bits = (unsigned(payload[24]) << 8) | payload[25];
    if (bits > kModulusBits)
        return false;
    const size_t valueLength = (bits + 7) / 8;
    if (length - fixed < valueLength)
        return false;
    out.keyID = payload;
    out.nonce = payload + kKeyIDLength;
    out.mpi = payload + kKeyIDLength + kNonceLength;
    out.mpiLength = 2 + valueLength;
    out.value = payload + fixed;
    out.valueLength = valueLength;
    out.rest = payload + fixed + valueLength;
    out.restLength = length - fixed - valueLength;
    return true;
}

void wipe(void* data, size_t length) {
    if (data != nullptr && length != 0)
        explicit_bzero(data, length);
}

void deriveKeyMaterial(ZAFContextRef context, const unsigned char* secret, size_t secretLength,
                       const unsigned char* clientNonce, const unsigned char* serverNonce,
                       SKeyMaterial& out) {
    ZAF_ASSERT_TAG(kTag, secret != nullptr && secretLength <= kModulusLength);
    // The secret is hashed at the modulus's full width, so both sides hash the same bytes
    // whatever the value's leading zeros.
    unsigned char padded[kModulusLength] = {0};
    std::memcpy(padded + kModulusLength - secretLength, secret, secretLength);
    unsigned char master[kMACLength];
    ZAFHashContextRef hash = nullptr;
    ZAFHMACContextRef hmac = nullptr;
    unsigned char block[kMACLength];
    try {
        check(ZAFNewHashContext(context, kZAFHashAlgorithm_SHA1, &hash));
        check(ZAFContinueHash(hash, padded, sizeof padded));
        check(ZAFFinalizeHash(hash, master, sizeof master));
        check(ZAFNewHMACContext(context, kZAFHashAlgorithm_SHA1, master, sizeof master, &hmac));
        const struct {
            const char* label;
            unsigned char* target;
        } values[] = {{"I->R Encryption Key", out.iToREncryptionKey},
                      {"R->I Encryption Key", out.rToIEncryptionKey},
                      {"I->R Mac Key", out.iToRMacKey},
                      {"R->I Mac Key", out.rToIMacKey},
                      {"I->R Encryption IV", out.iToRIV},
                      {"R->I Encryption IV", out.rToIIV}};
        for (const auto& value : values) {
            check(ZAFContinueHMAC(hmac, clientNonce, kNonceLength));
            check(ZAFContinueHMAC(hmac, serverNonce, kNonceLength));
            check(ZAFContinueHMAC(hmac, value.label, std::strlen(value.label)));
            check(ZAFFinalizeHMAC(hmac, block, sizeof block));
            std::memcpy(value.target, block, kValueLength);
        }
    } catch (...) {
        wipe(padded, sizeof padded);
        wipe(master, sizeof master);
        wipe(block, sizeof block);
        if (hash != nullptr)
            ZAFFreeHashContext(hash);
        if (hmac != nullptr)
            ZAFFreeHMACContext(hmac);
        throw;
    }
    wipe(padded, sizeof padded);
    wipe(master, sizeof master);
    wipe(block, sizeof block);
    ZAFFreeHashContext(hash);
    ZAFFreeHMACContext(hmac);
}

} // namespace secsocket

using namespace secsocket;

namespace {

const char kBadPacketType[] = "Bad packet type received";
const char kIncomingClosed[] = "Incoming connection closed prematurely";
const char kOutgoingClosed[] = "Outgoing connection closed prematurely";
const char kProtocolError[] = "Handshake protocol error";
const char kUnknownRemoteKey[] = "Unknown remote key";
const char kBadPassphrase[] = "Bad Passphrase";
const char kOutputError[] = "Output error";
const char kTimedOut[] = "Handshake timed out";

// Owns one toolkit handle and frees it once.
template <class T, ZAFError (*Free)(T)> class CHandle {
public:
    CHandle() = default;
    ~CHandle() {
        if (m_handle != nullptr)
            Free(m_handle);
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;

    T get() const { return m_handle; }
    T* out() { return &m_handle; }
    T release() {
        T handle = m_handle;
        m_handle = nullptr;
        return handle;
    }

private:
    T m_handle = nullptr;
};

using CBigNum = CHandle<ZAFBigNumRef, ZAFFreeBigNum>;
using CHash = CHandle<ZAFHashContextRef, ZAFFreeHashContext>;
using CHMAC = CHandle<ZAFHMACContextRef, ZAFFreeHMACContext>;
using CCipher = CHandle<ZAFSymmetricCipherContextRef, ZAFFreeSymmetricCipherContext>;
using CPrivateKey = CHandle<ZAFPrivateKeyContextRef, ZAFFreePrivateKeyContext>;
using CPublicKey = CHandle<ZAFPublicKeyContextRef, ZAFFreePublicKeyContext>;

void newBigNum(ZAFContextRef context, CBigNum& number) {
    check(ZAFNewBigNum(context, 1, number.out()));
}

void loadBigNum(ZAFContextRef context, CBigNum& number, const unsigned char* bytes, size_t length) {
    newBigNum(context, number);
    check(ZAFBigNumInsertBigEndianBytes(number.get(), bytes, length));
}

// The handshake's encoding of a number: 2 bytes of bit count, then the value without leading
// zero bytes.
std::vector<unsigned char> encodeMPI(ZAFBigNumRef number) {
    uint32_t bits = 0;
    check(ZAFBigNumGetSignificantBits(number, &bits));
    ZAF_ASSERT_TAG(kTag, bits <= kModulusBits);
    std::vector<unsigned char> mpi(2 + (bits + 7) / 8);
    mpi[0] = static_cast<unsigned char>(bits >> 8);
    mpi[1] = static_cast<unsigned char>(bits);
    check(ZAFBigNumExtractBigEndianBytes(number, mpi.data() + 2, mpi.size() - 2));
    return mpi;
}

void putBigEndian32(unsigned char* out, uint32_t value) {
    out[0] = static_cast<unsigned char>(value >> 24);
    out[1] = static_cast<unsigned char>(value >> 16);
    out[2] = static_cast<unsigned char>(value >> 8);
    out[3] = static_cast<unsigned char>(value);
}

uint32_t getBigEndian32(const unsigned char* in) {
    return (uint32_t(in[0]) << 24) | (uint32_t(in[1]) << 16) | (uint32_t(in[2]) << 8) |
           uint32_t(in[3]);
}

bool isAllZero(const unsigned char* bytes, size_t length) {
    return std::all_of(bytes, bytes + length, [](unsigned char b) { return b == 0; });
}

// The group's fixed numbers, loaded for one exchange.
struct SGroup {
    CBigNum p;
    CBigNum q;
    CBigNum g;

    explicit SGroup(ZAFContextRef context) {
        loadBigNum(context, p, kGroupP, sizeof kGroupP);
        loadBigNum(context, q, kGroupQ, sizeof kGroupQ);
        loadBigNum(context, g, kGroupG, sizeof kGroupG);
    }
};

// Loads the peer's public value and refuses one outside 2..p-2 or outside the subgroup of order
// q: such a value (0, 1, p-1 or an element of a small subgroup) would force the shared secret
// into a handful of values an attacker could guess.
void loadPeerValue(ZAFContextRef context, const SGroup& group, const SHello& hello,
                   CBigNum& value) {
    loadBigNum(context, value, hello.value, hello.valueLength);
    CBigNum bound;
    CBigNum scratch;
    newBigNum(context, bound);
    newBigNum(context, scratch);
    int32_t order = 0;
    check(ZAFBigNumSetWord(bound.get(), 2));
    check(ZAFBigNumCompare(value.get(), bound.get(), &order));
    if (order < 0)
        failWith(kProtocolError);
    check(ZAFBigNumSubtract(group.p.get(), bound.get(), scratch.get()));
    check(ZAFBigNumCompare(value.get(), scratch.get(), &order));
    if (order > 0)
        failWith(kProtocolError);
    check(ZAFBigNumExpMod(value.get(), group.q.get(), group.p.get(), scratch.get()));
    check(ZAFBigNumSetWord(bound.get(), 1));
    check(ZAFBigNumCompare(scratch.get(), bound.get(), &order));
    if (order != 0)
        failWith(kProtocolError);
}

// SHA-1 over what a handshake signature covers.
void transcriptHash(ZAFContextRef context, const unsigned char* clientNonce,
                    const unsigned char* serverNonce, const unsigned char* clientMPI,
                    size_t clientMPILength, const unsigned char* serverMPI, size_t serverMPILength,
                    const unsigned char* keyID, unsigned char (&digest)[kMACLength]) {
    CHash hash;
    check(ZAFNewHashContext(context, kZAFHashAlgorithm_SHA1, hash.out()));
    check(ZAFContinueHash(hash.get(), clientNonce, kNonceLength));
    check(ZAFContinueHash(hash.get(), serverNonce, kNonceLength));
    check(ZAFContinueHash(hash.get(), clientMPI, clientMPILength));
    check(ZAFContinueHash(hash.get(), serverMPI, serverMPILength));
    check(ZAFContinueHash(hash.get(), keyID, kKeyIDLength));
    check(ZAFFinalizeHash(hash.get(), digest, sizeof digest));
}

std::vector<unsigned char> sign(ZAFKeyDBObjRef key, const std::string& passphrase,
                                const unsigned char (&digest)[kMACLength]) {
    CPrivateKey privateKey;
    if (ZAFNewPrivateKeyContext(key, passphrase.data(), passphrase.size(), privateKey.out()) !=
            kZAFError_NoErr ||
        privateKey.get() == nullptr)
        failWith(kBadPassphrase);
    std::vector<unsigned char> signature(1024);
    size_t size = 0;
    ZAFError rc = ZAFPrivateKeySign(privateKey.get(), kZAFHashAlgorithm_SHA1, digest, sizeof digest,
                                    signature.data(), signature.size(), &size);
    if (rc == kZAFError_BufferTooSmall && size > signature.size() &&
        size <= CZAFSecSocket::kMaxHandshakePayload) {
        signature.resize(size);
        rc = ZAFPrivateKeySign(privateKey.get(), kZAFHashAlgorithm_SHA1, digest, sizeof digest,
                               signature.data(), signature.size(), &size);
    }
    check(rc);
    ZAF_ASSERT_TAG(kTag, size <= signature.size());
    signature.resize(size);
    return signature;
}

void verify(ZAFKeyDBObjRef key, const unsigned char (&digest)[kMACLength],
            const unsigned char* signature, size_t length) {
    CPublicKey publicKey;
    if (ZAFNewPublicKeyContext(key, publicKey.out()) != kZAFError_NoErr)
        failWith(kProtocolError);
    if (length == 0 || ZAFPublicKeyVerify(publicKey.get(), kZAFHashAlgorithm_SHA1, digest,
                                          sizeof digest, signature, length) != kZAFError_NoErr)
        failWith(kProtocolError);
}

ZAFKeyDBObjRef findKey(ZAFKeyDBRef keyDB, const unsigned char* keyID) {
    ZAFKeyID id;
    check(ZAFNewKeyID(keyID, kKeyIDLength, -1, &id));
    ZAFKeyDBObjRef key = nullptr;
    if (ZAFFindKeyByKeyID(keyDB, &id, &key) != kZAFError_NoErr || key == nullptr)
        failWith(kUnknownRemoteKey);
    return key;
}

// One stretch of bytes a MAC covers.
struct SPiece {
    const unsigned char* data;
    size_t length;
};

// HMAC over the pieces in order, then the 8-byte big-endian sequence number.
void computeMAC(ZAFHMACContextRef mac, std::initializer_list<SPiece> pieces, uint64_t sequence,
                unsigned char* out) {
    unsigned char counter[8];
    for (int i = 7; i >= 0; --i) {
        counter[i] = static_cast<unsigned char>(sequence);
        sequence >>= 8;
    }
    check(ZAFResetHMAC(mac));
    for (const SPiece& piece : pieces)
        if (piece.length != 0)
            check(ZAFContinueHMAC(mac, piece.data, piece.length));
    check(ZAFContinueHMAC(mac, counter, sizeof counter));
    check(ZAFFinalizeHMAC(mac, out, kMACLength));
}

} // namespace

// ---- secure socket ----

CZAFSecSocket::CZAFSecSocket(int descriptor) : CZAFSocket(descriptor) {}

CZAFSecSocket::~CZAFSecSocket() {
    releasePending();
    wipe(m_outgoing.bytes.get(), m_outgoing.capacity);
    delete m_inboundCipher;
    delete m_outboundCipher;
    if (m_inboundMAC != nullptr)
        ZAFFreeHMACContext(m_inboundMAC);
    if (m_outboundMAC != nullptr)
        ZAFFreeHMACContext(m_outboundMAC);
}

CZAFSecSocket* CZAFSecSocket::connectTo(const char* address, uint16_t port) {
    const int descriptor = connectDescriptor(address, port);
    try {
        return new CZAFSecSocket(descriptor);
    } catch (...) {
        ::close(descriptor);
        throw;
    }
}

void CZAFSecSocket::fail(const std::string& message) {
    if (!m_failed) {
        m_failed = true;
        m_failure = message;
    }
    releasePending();
}

void CZAFSecSocket::throwIfFailed() const {
    if (m_failed)
        throw new CZAFSecSocketException(m_failure);
}

unsigned char* CZAFSecSocket::reserve(SBuffer& buffer, size_t size) {
    if (size > buffer.capacity) {
        wipe(buffer.bytes.get(), buffer.capacity);
        buffer.bytes.reset();
        buffer.capacity = 0;
        buffer.bytes.reset(new unsigned char[size]);
        buffer.capacity = size;
    }
    return buffer.bytes.get();
}

void CZAFSecSocket::trim(SBuffer& buffer) {
    // Buffers are kept between records so that a stream of records costs no allocations, but a
    // rare huge record must not pin its memory for the life of the connection.
    if (buffer.capacity > kKeptBufferSize) {
        wipe(buffer.bytes.get(), buffer.capacity);
        buffer.bytes.reset();
        buffer.capacity = 0;
    }
}

void CZAFSecSocket::releasePending() {
    wipe(m_pending.bytes.get(), m_pendingUsed);
    m_pendingUsed = 0;
    m_pendingOffset = 0;
    m_pendingEnd = 0;
    trim(m_pending);
}

void CZAFSecSocket::waitReady(short events) {
    if (!m_deadlineActive || m_descriptor < 0)
        return;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= m_deadline)
            failWith(kTimedOut);
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_deadline - now).count() + 1;
        pollfd entry{};
        entry.fd = m_descriptor;
        entry.events = events;
        const int rc = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left, 60000)));
        if (rc > 0)
            return;
        if (rc < 0 && errno != EINTR)
            throw new CZAFSocketIOException(errno);
    }
}

void CZAFSecSocket::readExactly(unsigned char* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        waitReady(POLLIN);
        const size_t chunk = std::min<size_t>(length - done, std::numeric_limits<int>::max());
        const int count = CZAFSocket::read(buffer + done, static_cast<unsigned int>(chunk));
        if (count <= 0)
            failWith(kIncomingClosed);
        done += static_cast<size_t>(count);
    }
}

void CZAFSecSocket::sendAll(const unsigned char* buffer, size_t length, const char* failureText) {
    size_t done = 0;
    while (done < length) {
        waitReady(POLLOUT);
        const size_t chunk = std::min<size_t>(length - done, std::numeric_limits<int>::max());
        const int count = CZAFSocket::write(buffer + done, static_cast<unsigned int>(chunk));
        if (count <= 0)
            failWith(failureText);
        done += static_cast<size_t>(count);
    }
}

uint32_t CZAFSecSocket::readHeader(unsigned char type, unsigned char* header) {
    readExactly(header, kHeaderLength);
    if (header[0] != type)
        failWith(kBadPacketType);
    const uint32_t length = getBigEndian32(header + 1);
    // The announced length is checked before anything is allocated, so a peer cannot make the
    // process reserve gigabytes with five bytes.
    if (type != kTypeData) {
        if (length > kMaxHandshakePayload)
            failWith(kProtocolError);
    } else if (length > (isKeyed() ? size_t(m_inboundLimit) + kZAFCipherMaxBlockSize + kMACLength
                                   : size_t(m_inboundLimit))) {
        failWith(kInvalidInput);
    }
    return length;
}

std::vector<unsigned char> CZAFSecSocket::readBuffer(unsigned char type) {
    unsigned char header[kHeaderLength];
    const uint32_t length = readHeader(type, header);
    std::vector<unsigned char> message(kHeaderLength + length);
    std::memcpy(message.data(), header, kHeaderLength);
    readExactly(message.data() + kHeaderLength, length);
    return message;
}

void CZAFSecSocket::writeBuffer(unsigned char type, const std::vector<unsigned char>& payload) {
    ZAF_ASSERT_TAG(kTag, payload.size() <= kMaxHandshakePayload);
    std::vector<unsigned char> message(kHeaderLength + payload.size());
    message[0] = type;
    putBigEndian32(message.data() + 1, static_cast<uint32_t>(payload.size()));
    if (!payload.empty())
        std::memcpy(message.data() + kHeaderLength, payload.data(), payload.size());
    sendAll(message.data(), message.size(), kOutgoingClosed);
}

size_t CZAFSecSocket::decrypt(unsigned char* record, size_t length) {
    const size_t blockSize = m_inboundCipher->getBlockSize();
    const size_t payload = length - kHeaderLength;
    // At least one block of ciphertext, whole blocks only: anything else cannot come from a
    // sender that pads (and an empty ciphertext would leave nothing to unpad).
    if (payload < kMACLength + blockSize || (payload - kMACLength) % blockSize != 0)
        failWith(kInvalidInput);
    const size_t cipherLength = payload - kMACLength;
    unsigned char mac[kMACLength];
    computeMAC(m_inboundMAC, {{record, kHeaderLength + cipherLength}}, m_inboundSequence, mac);
    if (!ZAFConstantTimeEqual(mac, record + kHeaderLength + cipherLength, kMACLength))
        failWith(kInvalidInput);
    unsigned char* data = record + kHeaderLength;
    const unsigned int plain =
        m_inboundCipher->decrypt(data, static_cast<unsigned int>(cipherLength), data,
                                 static_cast<unsigned int>(cipherLength));
    ++m_inboundSequence;
    return plain;
}

void CZAFSecSocket::readExactly(iovec* parts, int count) {
    while (count > 0) {
        if (parts->iov_len == 0) {
            ++parts;
            --count;
            continue;
        }
        waitReady(POLLIN);
        ssize_t got;
        do {
            got = ::readv(m_descriptor, parts, count);
        } while (got < 0 && errno == EINTR);
        if (got < 0)
            throw new CZAFSocketIOException(errno);
        if (got == 0)
            failWith(kIncomingClosed);
        auto left = static_cast<size_t>(got);
        while (count > 0 && left >= parts->iov_len) {
            left -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<unsigned char*>(parts->iov_base) + left;
            parts->iov_len -= left;
        }
    }
}

size_t CZAFSecSocket::readDirect(const unsigned char* header, unsigned char* buffer, size_t direct,
                                 size_t cipherLength) {
    const size_t blockSize = m_inboundCipher->getBlockSize();
    const size_t tail = cipherLength - direct;
    ZAF_ASSERT_TAG(kTag, direct % blockSize == 0 && tail <= blockSize);
    iovec parts[2] = {{buffer, direct}, {m_tail, tail + kMACLength}};
    readExactly(parts, 2);
    unsigned char mac[kMACLength];
    computeMAC(m_inboundMAC, {{header, kHeaderLength}, {buffer, direct}, {m_tail, tail}},
               m_inboundSequence, mac);
    if (!ZAFConstantTimeEqual(mac, m_tail + tail, kMACLength))
        failWith(kInvalidInput);
    m_inboundCipher->crypt(buffer, direct);
    m_inboundCipher->crypt(m_tail, tail);
    ++m_inboundSequence;
    // The padding lies in the last block, wherever that was read to.
    unsigned char* last = tail != 0 ? m_tail : buffer + direct - blockSize;
    const unsigned int kept = m_inboundCipher->unpad(last, static_cast<unsigned int>(blockSize),
                                                     last, static_cast<unsigned int>(blockSize));
    if (tail == 0)
        return direct - blockSize + kept;
    if (kept != 0) {
        std::memcpy(reserve(m_pending, kept), m_tail, kept);
        m_pendingOffset = 0;
        m_pendingEnd = kept;
        m_pendingUsed = kept;
    }
    wipe(m_tail, tail);
    return direct;
}

int CZAFSecSocket::readRecord(void* buffer, unsigned int length) {
    if (m_pendingOffset == m_pendingEnd) {
        releasePending();
        unsigned char header[kHeaderLength];
        const uint32_t payload = readHeader(kTypeData, header);
        if (isKeyed()) {
            const size_t blockSize = m_inboundCipher->getBlockSize();
            // At least one block of ciphertext, whole blocks only: anything else cannot come
            // from a sender that pads (and an empty ciphertext would leave nothing to unpad).
            if (payload < kMACLength + blockSize || (payload - kMACLength) % blockSize != 0)
                failWith(kInvalidInput);
            const size_t cipherLength = payload - kMACLength;
            const size_t direct = std::min(length / blockSize * blockSize, cipherLength);
            if (cipherLength - direct <= blockSize) {
                const size_t plain =
                    readDirect(header, static_cast<unsigned char*>(buffer), direct, cipherLength);
                if (plain != 0)
                    return static_cast<int>(plain);
                // Writers never send an empty record, and handing one out would read as the
                // peer having closed the connection.
                if (m_pendingOffset == m_pendingEnd)
                    failWith(kInvalidInput);
            }
        }
        if (m_pendingOffset == m_pendingEnd) {
            unsigned char* record = reserve(m_pending, kHeaderLength + payload);
            m_pendingUsed = kHeaderLength + payload;
            std::memcpy(record, header, kHeaderLength);
            readExactly(record + kHeaderLength, payload);
            size_t plain = isKeyed() ? decrypt(record, m_pendingUsed) : payload;
            if (plain == 0)
                failWith(kInvalidInput);
            m_pendingOffset = kHeaderLength;
            m_pendingEnd = kHeaderLength + plain;
        }
    }
    const size_t take = std::min<size_t>(length, m_pendingEnd - m_pendingOffset);
    std::memcpy(buffer, m_pending.bytes.get() + m_pendingOffset, take);
    m_pendingOffset += take;
    if (m_pendingOffset == m_pendingEnd)
        releasePending();
    return static_cast<int>(take);
}

int CZAFSecSocket::read(void* buffer, unsigned int length) {
    ZAF_ASSERT_TAG(kTag, buffer != nullptr);
    ZAF_ASSERT_TAG(kTag, length != 0);
    throwIfFailed();
    try {
        return readRecord(buffer, length);
    } catch (CZAFThrowable* e) {
        fail(e->getMessage());
        throw;
    } catch (...) {
        fail(kInvalidInput);
        throw;
    }
}

int CZAFSecSocket::writeRecord(const void* buffer, unsigned int length) {
    const unsigned int count = std::min(length, kMaxRecordPlaintext);
    if (!isKeyed()) {
        unsigned char* message = reserve(m_outgoing, kHeaderLength + count);
        message[0] = kTypeData;
        putBigEndian32(message + 1, count);
        std::memcpy(message + kHeaderLength, buffer, count);
        try {
            sendAll(message, kHeaderLength + count, kOutputError);
        } catch (...) {
            wipe(message, kHeaderLength + count);
            throw;
        }
        wipe(message, kHeaderLength + count);
        trim(m_outgoing);
        return static_cast<int>(count);
    }
    const size_t blockSize = m_outboundCipher->getBlockSize();
    const size_t largest = kHeaderLength + kRecordPlaintext + blockSize + kMACLength;
    // Made once and kept: kBatchRecords records of the largest size stay under the kept size.
    unsigned char* batch = reserve(m_outgoing, kBatchRecords * largest);
    const auto* input = static_cast<const unsigned char*>(buffer);
    size_t done = 0;
    while (done < count) {
        size_t used = 0;
        while (done < count && used + largest <= m_outgoing.capacity) {
            const auto plain =
                static_cast<unsigned int>(std::min<size_t>(count - done, kRecordPlaintext));
            // The record is encrypted and authenticated where it lies in the batch, so once
            // built the buffer holds nothing secret.
            unsigned char* record = batch + used;
            const unsigned int cipherLength = m_outboundCipher->encrypt(
                record + kHeaderLength, static_cast<unsigned int>(largest - kHeaderLength),
                input + done, plain);
            record[0] = kTypeData;
            putBigEndian32(record + 1, static_cast<uint32_t>(cipherLength + kMACLength));
            computeMAC(m_outboundMAC, {{record, kHeaderLength + cipherLength}}, m_outboundSequence,
                       record + kHeaderLength + cipherLength);
            ++m_outboundSequence;
            used += kHeaderLength + cipherLength + kMACLength;
            done += plain;
        }
        sendAll(batch, used, kOutputError);
    }
    return static_cast<int>(count);
}

int CZAFSecSocket::write(const void* buffer, unsigned int length) {
    ZAF_ASSERT_TAG(kTag, buffer != nullptr);
    ZAF_ASSERT_TAG(kTag, length != 0);
    throwIfFailed();
    try {
        return writeRecord(buffer, length);
    } catch (CZAFThrowable* e) {
        fail(e->getMessage());
        throw;
    } catch (...) {
        fail(kOutputError);
        throw;
    }
}

void CZAFSecSocket::keygen(ZAFContextRef context, const unsigned char* secret, size_t secretLength,
                           const unsigned char* clientNonce, const unsigned char* serverNonce,
                           bool isServer) {
    ZAF_ASSERT_TAG(kTag, !isKeyed());
    SKeyMaterial material;
    std::unique_ptr<CZAFCTRMode> inbound;
    std::unique_ptr<CZAFCTRMode> outbound;
    CHMAC inboundMAC;
    CHMAC outboundMAC;
    try {
        deriveKeyMaterial(context, secret, secretLength, clientNonce, serverNonce, material);
        // What the server sends is protected by the "I->R" values, what the client sends by the
        // "R->I" values.
        const unsigned char* outKey =
            isServer ? material.iToREncryptionKey : material.rToIEncryptionKey;
        const unsigned char* outIV = isServer ? material.iToRIV : material.rToIIV;
        const unsigned char* outMacKey = isServer ? material.iToRMacKey : material.rToIMacKey;
        const unsigned char* inKey =
            isServer ? material.rToIEncryptionKey : material.iToREncryptionKey;
        const unsigned char* inIV = isServer ? material.rToIIV : material.iToRIV;
        const unsigned char* inMacKey = isServer ? material.rToIMacKey : material.iToRMacKey;

        auto makeCipher = [context](const unsigned char* key, const unsigned char* iv) {
            CCipher cipher;
            check(ZAFNewSymmetricCipherContext(context, kZAFCipherAlgorithm_AES128, cipher.out()));
            check(ZAFInitSymmetricCipher(cipher.get(), key, kValueLength));
            return std::unique_ptr<CZAFCTRMode>(
                new CZAFCTRMode(cipher.release(), iv, static_cast<unsigned int>(kValueLength)));
        };
        inbound = makeCipher(inKey, inIV);
        outbound = makeCipher(outKey, outIV);
        check(ZAFNewHMACContext(context, kZAFHashAlgorithm_SHA1, inMacKey, kValueLength,
                                inboundMAC.out()));
        check(ZAFNewHMACContext(context, kZAFHashAlgorithm_SHA1, outMacKey, kValueLength,
                                outboundMAC.out()));
    } catch (...) {
        wipe(&material, sizeof material);
        throw;
    }
    wipe(&material, sizeof material);
    m_inboundCipher = inbound.release();
    m_outboundCipher = outbound.release();
    m_inboundMAC = inboundMAC.release();
    m_outboundMAC = outboundMAC.release();
    m_inboundSequence = 0;
    m_outboundSequence = 0;
}

void CZAFSecSocket::serverHandshake(ZAFKeyDBObjRef* remoteKey, ZAFContextRef context,
                                    ZAFKeyDBRef keyDB, ZAFKeyDBObjRef ownKey,
                                    const std::string& passphrase) {
    runHandshake(true, remoteKey, context, keyDB, ownKey, passphrase);
}

void CZAFSecSocket::serverHandshake(ZAFContextRef context, const unsigned char* ownKeyID,
                                    const HandshakeSigner& signer) {
    ZAF_ASSERT_TAG(kTag, ownKeyID != nullptr && signer);
    runHandshake(true, nullptr, context, nullptr, nullptr, std::string(), ownKeyID, &signer);
}

void CZAFSecSocket::clientHandshake(ZAFKeyDBObjRef* remoteKey, ZAFContextRef context,
                                    ZAFKeyDBRef keyDB, ZAFKeyDBObjRef ownKey,
                                    const std::string& passphrase) {
    runHandshake(false, remoteKey, context, keyDB, ownKey, passphrase);
}

void CZAFSecSocket::runHandshake(bool isServer, ZAFKeyDBObjRef* remoteKey, ZAFContextRef context,
                                 ZAFKeyDBRef keyDB, ZAFKeyDBObjRef ownKey,
                                 const std::string& passphrase, const unsigned char* signerKeyID,
                                 const HandshakeSigner* signer) {
    ZAF_ASSERT_TAG(kTag, context != nullptr);
    throwIfFailed();
    ZAF_ASSERT_TAG(kTag, !m_handshakeStarted && !isKeyed());
    m_handshakeStarted = true;
    if (m_handshakeTimeout != 0) {
        m_deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(m_handshakeTimeout);
        m_deadlineActive = true;
    }
    try {
        SGroup group(context);

        unsigned char ownNonce[kNonceLength];
        check(ZAFContextGetRandomBytes(context, ownNonce, sizeof ownNonce));
        unsigned char ownKeyID[kKeyIDLength] = {0};
        if (ownKey != nullptr) {
            ZAFKeyID id;
            check(ZAFGetKeyID(ownKey, &id));
            std::memcpy(ownKeyID, id.bytes, kKeyIDLength);
        } else if (signer != nullptr) {
            std::memcpy(ownKeyID, signerKeyID, kKeyIDLength);
        }
        CBigNum exponent;
        {
            CWipedBytes random(kExponentLength);
            check(ZAFContextGetRandomBytes(context, random.data(), random.size()));
            loadBigNum(context, exponent, random.data(), random.size());
        }
        CBigNum ownValue;
        newBigNum(context, ownValue);
        check(ZAFBigNumExpMod(group.g.get(), exponent.get(), group.p.get(), ownValue.get()));
        const std::vector<unsigned char> ownMPI = encodeMPI(ownValue.get());

        std::vector<unsigned char> peerMessage;
        SHello peer{};
        CBigNum peerValue;
        ZAFKeyDBObjRef peerKey = nullptr;
        unsigned char digest[kMACLength];

        auto receiveHello = [&](unsigned char type) {
            peerMessage = readBuffer(type);
            if (!parseHello(peerMessage.data() + kHeaderLength, peerMessage.size() - kHeaderLength,
                            peer))
                failWith(kProtocolError);
            loadPeerValue(context, group, peer, peerValue);
        };

        if (isServer) {
            receiveHello(kTypeClientHello);
            if (keyDB != nullptr && !isAllZero(peer.keyID, kKeyIDLength))
                peerKey = findKey(keyDB, peer.keyID);
            else if (m_requirePeerKey)
                failWith(kUnknownRemoteKey);
            std::vector<unsigned char> hello(ownKeyID, ownKeyID + kKeyIDLength);
            hello.insert(hello.end(), ownNonce, ownNonce + kNonceLength);
            hello.insert(hello.end(), ownMPI.begin(), ownMPI.end());
            if (ownKey != nullptr || signer != nullptr) {
                transcriptHash(context, peer.nonce, ownNonce, peer.mpi, peer.mpiLength,
                               ownMPI.data(), ownMPI.size(), peer.keyID, digest);
                const std::vector<unsigned char> signature = signer != nullptr
                                                                 ? (*signer)(digest, sizeof digest)
                                                                 : sign(ownKey, passphrase, digest);
                if (signature.empty())
                    failWith(kProtocolError);
                hello.insert(hello.end(), signature.begin(), signature.end());
            }
            if (hello.size() > kMaxHandshakePayload)
                failWith(kProtocolError);
            writeBuffer(kTypeServerHello, hello);
            if (peerKey != nullptr) {
                const std::vector<unsigned char> signature = readBuffer(kTypeClientSignature);
                transcriptHash(context, peer.nonce, ownNonce, peer.mpi, peer.mpiLength,
                               ownMPI.data(), ownMPI.size(), ownKeyID, digest);
                verify(peerKey, digest, signature.data() + kHeaderLength,
                       signature.size() - kHeaderLength);
            }
        } else {
            std::vector<unsigned char> hello(ownKeyID, ownKeyID + kKeyIDLength);
            hello.insert(hello.end(), ownNonce, ownNonce + kNonceLength);
            hello.insert(hello.end(), ownMPI.begin(), ownMPI.end());
            writeBuffer(kTypeClientHello, hello);
            receiveHello(kTypeServerHello);
            if (keyDB != nullptr && !isAllZero(peer.keyID, kKeyIDLength)) {
                peerKey = findKey(keyDB, peer.keyID);
                transcriptHash(context, ownNonce, peer.nonce, ownMPI.data(), ownMPI.size(),
                               peer.mpi, peer.mpiLength, ownKeyID, digest);
                verify(peerKey, digest, peer.rest, peer.restLength);
            } else if (m_requirePeerKey) {
                failWith(kUnknownRemoteKey);
            }
            if (ownKey != nullptr) {
                transcriptHash(context, ownNonce, peer.nonce, ownMPI.data(), ownMPI.size(),
                               peer.mpi, peer.mpiLength, peer.keyID, digest);
                const std::vector<unsigned char> signature = sign(ownKey, passphrase, digest);
                if (signature.size() > kMaxHandshakePayload)
                    failWith(kProtocolError);
                writeBuffer(kTypeClientSignature, signature);
            }
        }

        CBigNum shared;
        newBigNum(context, shared);
        check(ZAFBigNumExpMod(peerValue.get(), exponent.get(), group.p.get(), shared.get()));
        CWipedBytes secret(kModulusLength);
        check(ZAFBigNumExtractBigEndianBytes(shared.get(), secret.data(), secret.size()));
        if (isServer)
            keygen(context, secret.data(), secret.size(), peer.nonce, ownNonce, true);
        else
            keygen(context, secret.data(), secret.size(), ownNonce, peer.nonce, false);
        m_deadlineActive = false;
        if (remoteKey != nullptr)
            *remoteKey = peerKey;
    } catch (CZAFThrowable* e) {
        m_deadlineActive = false;
        fail(e->getMessage());
        throw;
    } catch (...) {
        m_deadlineActive = false;
        fail(kProtocolError);
        throw;
    }
}

// ---- secure server socket ----

CZAFSecSocket* CZAFSecServerSocket::accept() {
    int descriptor = acceptInternal();
    CZAFSecSocket* socket = nullptr;
    try {
        socket = new CZAFSecSocket(descriptor);
    } catch (...) {
        ::close(descriptor);
        throw;
    }
    socket->setHandshakeTimeout(m_handshakeTimeout);
    return socket;
}

} // namespace oozaf
