// secsocket: the secure record channel over a connected TCP socket, and its listening socket.
#ifndef OOZAF_SECSOCKET_H
#define OOZAF_SECSOCKET_H

#include <oozaf/obj.h>
#include <oozaf/sockets.h>
#include <zaf/zafcontext.h>
#include <zaf/zafcrypto.h>
#include <zaf/zafkeys.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <sys/uio.h>
#include <vector>

namespace oozaf {

// Counter-mode encryption with block padding over a keyed block cipher (AES-128 here).
//
// The key stream is continuous: block i is the encryption of IV + i (a big-endian counter over
// the whole block), and blocks are taken from it one after the other across calls, so two
// messages never reuse a key-stream block. Every call works on whole blocks, so the bytes produced
// do not depend on how the calls are split.
//
// Owns the cipher context (freed by the destructor) and wipes the counter and key stream when it
// is destroyed. Used by one thread at a time.
class CZAFCTRMode final : public CZAFObj {
public:
    // Takes ownership of `cipher`, which must already hold its key; `ivLength` must equal the
    // cipher's block size (at most kZAFCipherMaxBlockSize). A toolkit failure throws
    // CZAFSDKException, after `cipher` has been freed.
    CZAFCTRMode(ZAFSymmetricCipherContextRef cipher, const void* iv, unsigned int ivLength);
    ~CZAFCTRMode() override;
    CZAFCTRMode(const CZAFCTRMode&) = delete;
    CZAFCTRMode& operator=(const CZAFCTRMode&) = delete;

    // Pads `length` bytes of `input` into `output` and encrypts them there; returns the padded
    // length (a multiple of the block size, length + 1 to length + block size). Input and output
    // may be the same buffer; when they are apart the key stream is made in the output and the
    // input mixed into it, one pass over the data. A capacity too small for the padded data is an
    // internal error.
    unsigned int encrypt(void* output, unsigned int capacity, const void* input,
                         unsigned int length);
    // Decrypts `length` bytes of `input` and removes the padding; returns the plaintext length.
    // Input and output may be the same buffer. Throws CZAFSecSocketException
    // "Invalid input received" when the length is 0 or not a multiple of the block size or the
    // padding is malformed (before any key stream is used for a bad length), and
    // "Bad padding format" when the plaintext does not fit in a separate output buffer.
    unsigned int decrypt(void* output, unsigned int capacity, const void* input,
                         unsigned int length);
    // XORs the next `length` bytes of key stream into `data` (a multiple of the block size;
    // anything else is an internal error). No padding is added or checked.
    void crypt(void* data, size_t length);

    // Copies `input` to `output` and appends P bytes of value P, P = block size - length mod
    // block size (1 to block size); returns length + P. Too small a capacity is an internal
    // error.
    unsigned int pad(void* output, unsigned int capacity, const void* input,
                     unsigned int length) const;
    // Checks the padding of `length` bytes of `input` (the last byte P, 1 to block size, and the
    // P last bytes all equal to P) and copies the bytes before it to `output`; returns their
    // count. Throws as decrypt does.
    unsigned int unpad(void* output, unsigned int capacity, const void* input,
                       unsigned int length) const;

    unsigned int getBlockSize() const { return m_blockSize; }

private:
    // How many key-stream blocks one toolkit call computes when the stream is made apart from
    // the data (small enough to stay in the first-level cache).
    static constexpr unsigned int kBatchBlocks = 1024;
    static constexpr unsigned int kBatchBytes = kBatchBlocks * kZAFCipherMaxBlockSize;

    // Adds 1 to the counter block, as a big-endian number (wrapping at the top).
    void increment();
    // Writes the next `blocks` key-stream blocks to `out`.
    void keyStream(unsigned char* out, size_t blocks);

    ZAFSymmetricCipherContextRef m_cipher;
    unsigned int m_blockSize;
    // Counter of the next block to compute.
    unsigned char m_counter[kZAFCipherMaxBlockSize];
    unsigned char m_stream[kBatchBytes];
};

// A connected socket that carries an authenticated, encrypted record channel.
//
// It starts unkeyed: records then carry plain data. One handshake (serverHandshake on the
// accepting side, clientHandshake on the connecting side) runs a Diffie-Hellman exchange in a
// fixed 1536-bit group, optionally signed by keys of a key database, and derives the record
// keys; from then on data travels in records encrypted with AES-128 in counter mode and
// authenticated with HMAC-SHA-1 over the record and its sequence number.
//
// Every failure of the channel (handshake, record, time-out, socket error) is final: the socket
// remembers it and each later read, write or handshake throws CZAFSecSocketException with the
// first failure's message, so nothing is ever sent in the clear after a failed handshake. The
// caller closes the socket.
//
// Raw bytes outside the record layer (the listener's first byte) go through the base class:
// `socket->CZAFSocket::write(&byte, 1)` and `socket->CZAFSocket::read(&byte, 1)`.
//
// Owns its keys, counters and pending plaintext, all wiped when released. Used by one thread at
// a time; another thread may only close it (a blocked read then fails).
class CZAFSecSocket : public CZAFSocket {
public:
    // The longest plaintext of one record: the largest listener frame (16 MiB) with its length
    // field and some room to spare. A longer write is cut to this (write returns the count).
    static constexpr unsigned int kMaxRecordPlaintext = 16 * 1024 * 1024 + 64;
    // The longest record payload: plaintext, a full block of padding and the MAC. A record
    // announcing more ends the connection before anything is allocated.
    static constexpr unsigned int kMaxRecordPayload = kMaxRecordPlaintext + 16 + 20;
    // The longest handshake message payload.
    static constexpr unsigned int kMaxHandshakePayload = 4096;
    // Record buffers up to this size are kept for the next record.
    static constexpr size_t kKeptBufferSize = 1024 * 1024;
    // The longest record plaintext this side writes once keyed, and how many records one send
    // carries.
    static constexpr unsigned int kRecordPlaintext = 64 * 1024;
    static constexpr unsigned int kBatchRecords = 4;
    // Default limit for a whole handshake, in milliseconds.
    static constexpr unsigned int kDefaultHandshakeTimeout = 30000;

    explicit CZAFSecSocket(int descriptor);
    ~CZAFSecSocket() override;

    // Connects to an IPv4 dotted address; the caller owns the result. Throws
    // CZAFSocketControlException (bad address, socket creation) or CZAFSocketIOException.
    static CZAFSecSocket* connectTo(const char* address, uint16_t port);

    // The two halves of the handshake. Arguments: where to store the peer's key (may be null),
    // the toolkit context, the key database in which the peer's key is looked up (null: the
    // peer is not authenticated), this side's private key (null: this side does not sign) and
    // its passphrase. On success the channel is keyed and `*remoteKey` (when given) is the
    // peer's key from `keyDB` (owned by the database), or null when the peer sent no key ID or
    // no database was given. Throws CZAFSecSocketException with the texts "Handshake protocol
    // error", "Unknown remote key", "Bad Passphrase", "Bad packet type received",
    // "Incoming connection closed prematurely", "Outgoing connection closed prematurely" or
    // "Handshake timed out" (the whole exchange took longer than the handshake time limit);
    // CZAFSocketIOException for socket errors; CZAFSDKException when the toolkit fails on this
    // side's own material. Running a second handshake is an internal error.
    void serverHandshake(ZAFKeyDBObjRef* remoteKey, ZAFContextRef context, ZAFKeyDBRef keyDB,
                         ZAFKeyDBObjRef ownKey, const std::string& passphrase);
    void clientHandshake(ZAFKeyDBObjRef* remoteKey, ZAFContextRef context, ZAFKeyDBRef keyDB,
                         ZAFKeyDBObjRef ownKey, const std::string& passphrase);

    // Signs the 20-byte SHA-1 digest a handshake signature covers and returns the signature
    // (at most kMaxHandshakePayload bytes in all with the hello). It may throw a CZAFThrowable,
    // which fails the handshake.
    using HandshakeSigner =
        std::function<std::vector<unsigned char>(const unsigned char* digest, size_t length)>;
    // The server half of the handshake signed by a key this side does not hold: `ownKeyID` (8
    // bytes) names it to the peer and `signer` makes the signature, for example by asking the
    // process that keeps the key. The peer is not authenticated. Throws as serverHandshake.
    void serverHandshake(ZAFContextRef context, const unsigned char* ownKeyID,
                         const HandshakeSigner& signer);

    // Returns up to `length` bytes of received data, never more than the rest of one record;
    // reads the next record from the network only when the last one is used up. Never returns
    // 0: a peer that closes throws "Incoming connection closed prematurely". A bad record
    // (length, MAC, padding, empty) throws "Invalid input received". A null buffer or a zero
    // length is an internal error.
    //
    // Once keyed, a record whose ciphertext fits `length` (all of it, or all but its last block)
    // is read and decrypted in the caller's buffer, no copy in between; the whole of `length`
    // may then be overwritten, beyond the count returned. The plaintext of a last block that
    // did not fit, and of a record too long for the buffer, is kept for the next reads.
    int read(void* buffer, unsigned int length) override;
    // Sends min(length, kMaxRecordPlaintext) bytes and returns that count. Unkeyed they go as
    // one record; keyed as records of at most kRecordPlaintext bytes each, encrypted and
    // authenticated where they lie in one batch buffer that goes out with one system call per
    // kBatchRecords records (the buffer is made once and kept). A send of 0 bytes throws
    // "Output error". Same assertions as read.
    int write(const void* buffer, unsigned int length) override;

    // Limit for the whole of a later handshake, in milliseconds; 0 means no limit.
    void setHandshakeTimeout(unsigned int milliseconds) { m_handshakeTimeout = milliseconds; }
    unsigned int getHandshakeTimeout() const { return m_handshakeTimeout; }
    // Largest record plaintext accepted from the peer, kMaxRecordPlaintext at most (the default);
    // a record announcing more (plus padding and MAC once keyed) ends the connection before
    // anything is allocated for it. A server lowers it until the peer has logged in.
    void setInboundRecordLimit(unsigned int plaintext) {
        m_inboundLimit = plaintext < kMaxRecordPlaintext ? plaintext : kMaxRecordPlaintext;
    }
    unsigned int getInboundRecordLimit() const { return m_inboundLimit; }
    // When set, a handshake whose peer names no key (or whose key is not in the key database
    // given) fails with "Unknown remote key": without it such a peer stays unauthenticated. A
    // console that pinned the listener's key sets it, so that a relay cannot just leave the
    // signature out.
    void setRequirePeerKey(bool require) { m_requirePeerKey = require; }
    // True once a handshake has keyed the channel.
    bool isKeyed() const { return m_inboundCipher != nullptr; }
    // True once a failure has ended the channel.
    bool hasFailed() const { return m_failed; }
    // True while received plaintext waits to be read: a read then returns at once, whether or not
    // the descriptor is readable (callers that poll the descriptor must read this first).
    bool hasPendingInput() const { return m_pendingOffset != m_pendingEnd; }

protected:
    // Derives the six record values from the shared secret (`secretLength` big-endian bytes,
    // at most the modulus length) and the two 16-byte nonces, and keys both directions for the
    // given side. Called by the handshakes; exposed to subclasses so that tests and fuzz targets
    // can key a socket without running an exchange.
    void keygen(ZAFContextRef context, const unsigned char* secret, size_t secretLength,
                const unsigned char* clientNonce, const unsigned char* serverNonce, bool isServer);

private:
    // A reusable block of bytes whose contents are not initialised; wiped before release.
    struct SBuffer {
        std::unique_ptr<unsigned char[]> bytes;
        size_t capacity = 0;
    };

    // Reads the 5 header bytes of a message of the expected type and returns its announced
    // payload length, bounded before anything is allocated.
    uint32_t readHeader(unsigned char type, unsigned char* header);
    // Reads one whole handshake message (header and payload) of the expected type.
    std::vector<unsigned char> readBuffer(unsigned char type);
    // Frames and sends a handshake message.
    void writeBuffer(unsigned char type, const std::vector<unsigned char>& payload);
    void readExactly(unsigned char* buffer, size_t length);
    void sendAll(const unsigned char* buffer, size_t length, const char* failureText);
    // Waits until the descriptor is ready for `events` while a handshake deadline runs.
    void waitReady(short events);
    // Checks and decrypts a record (header included) in place; returns the plaintext length,
    // which starts at offset 5.
    size_t decrypt(unsigned char* record, size_t length);
    // Reads a keyed record's payload of `cipherLength` bytes of ciphertext and the MAC, the
    // ciphertext's first `direct` bytes (whole blocks) into `buffer`, the rest into m_tail;
    // checks and decrypts both parts and keeps the plaintext of the tail as pending. Returns
    // the plaintext count in `buffer`.
    size_t readDirect(const unsigned char* header, unsigned char* buffer, size_t direct,
                      size_t cipherLength);
    // Reads exactly the bytes the parts describe, in as few system calls as the socket allows.
    void readExactly(::iovec* parts, int count);
    int readRecord(void* buffer, unsigned int length);
    int writeRecord(const void* buffer, unsigned int length);
    void runHandshake(bool isServer, ZAFKeyDBObjRef* remoteKey, ZAFContextRef context,
                      ZAFKeyDBRef keyDB, ZAFKeyDBObjRef ownKey, const std::string& passphrase,
                      const unsigned char* ownKeyID = nullptr,
                      const HandshakeSigner* signer = nullptr);
    static unsigned char* reserve(SBuffer& buffer, size_t size);
    static void trim(SBuffer& buffer);
    void releasePending();
    // Remembers the first failure; later calls throw its message again.
    void fail(const std::string& message);
    void throwIfFailed() const;

    // The last record read: plaintext from m_pendingOffset to m_pendingEnd still to hand out;
    // m_pendingUsed bytes to wipe.
    SBuffer m_pending;
    size_t m_pendingOffset = 0;
    size_t m_pendingEnd = 0;
    size_t m_pendingUsed = 0;
    // Where outgoing records are built.
    SBuffer m_outgoing;
    // The last ciphertext block and the MAC of a record read into the caller's buffer (the MAC
    // of SHA-1 is 20 bytes).
    unsigned char m_tail[kZAFCipherMaxBlockSize + 20];
    CZAFCTRMode* m_inboundCipher = nullptr;
    CZAFCTRMode* m_outboundCipher = nullptr;
    ZAFHMACContextRef m_inboundMAC = nullptr;
    ZAFHMACContextRef m_outboundMAC = nullptr;
    uint64_t m_inboundSequence = 0;
    uint64_t m_outboundSequence = 0;
    bool m_handshakeStarted = false;
    bool m_failed = false;
    std::string m_failure;
    unsigned int m_handshakeTimeout = kDefaultHandshakeTimeout;
    unsigned int m_inboundLimit = kMaxRecordPlaintext;
    bool m_requirePeerKey = false;
    bool m_deadlineActive = false;
    std::chrono::steady_clock::time_point m_deadline;
};

// A listening socket whose accept returns secure sockets (still unkeyed: the caller runs
// serverHandshake). Each accepted socket gets this socket's handshake time limit.
class CZAFSecServerSocket : public CZAFServerSocket {
public:
    CZAFSecServerSocket() = default;

    // Returns a new CZAFSecSocket; the caller owns it.
    CZAFSecSocket* accept() override;

    void setHandshakeTimeout(unsigned int milliseconds) { m_handshakeTimeout = milliseconds; }
    unsigned int getHandshakeTimeout() const { return m_handshakeTimeout; }

private:
    unsigned int m_handshakeTimeout = CZAFSecSocket::kDefaultHandshakeTimeout;
};

} // namespace oozaf

#endif
