// Helpers of the secure channel tests: raw descriptor access with bounded waits, socket pairs,
// and the protocol written out by hand with toolkit primitives, independent of the library.
#pragma once

#include "../../oozaf/src/secsocket_internal.h"
#include "expect_throw.h"
#include "zaf_temp_dir.h"

#include <oozaf/mem.h>
#include <oozaf/secsocket.h>
#include <oozaf/throwable.h>
#include <zaf/zaf.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <vector>

using namespace oozaf;
namespace ss = oozaf::secsocket;
using Bytes = std::vector<unsigned char>;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace sstest {

// Starts the toolkit for the whole run and checks at the end that every library object was
// released.
class CToolkitEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(0, ZAFsdkInit(kZAFFlags_LocalMode));
        m_blocks = gObjMemoryManager().getBlockCount();
    }
    void TearDown() override {
        EXPECT_EQ(m_blocks, gObjMemoryManager().getBlockCount());
        ZAFsdkCleanup();
    }

private:
    size_t m_blocks = 0;
};
inline const ::testing::Environment* const gToolkit =
    ::testing::AddGlobalTestEnvironment(new CToolkitEnvironment);

struct CContext {
    ZAFContextRef ref = nullptr;
    CContext() { EXPECT_EQ(0, ZAFNewContext(&ref)); }
    ~CContext() { ZAFFreeContext(ref); }
    CContext(const CContext&) = delete;
    CContext& operator=(const CContext&) = delete;
};

// A secure socket whose keys can be set from a known secret, as if a handshake had run.
class CTestSocket final : public CZAFSecSocket {
public:
    using CZAFSecSocket::CZAFSecSocket;
    using CZAFSecSocket::keygen;
};

template <class F> inline std::unique_ptr<CZAFThrowable> capture(F&& f) {
    try {
        f();
    } catch (CZAFThrowable* e) {
        return std::unique_ptr<CZAFThrowable>(e);
    }
    return nullptr;
}

inline std::string messageOf(const std::unique_ptr<CZAFThrowable>& e) {
    return e ? e->getMessage() : std::string("<nothing thrown>");
}

inline Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

inline bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

// ---- raw descriptor access, every wait bounded ----

inline void boundBlocking(int fd) {
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

inline Bytes rawRead(int fd, size_t length) {
    Bytes out(length);
    size_t done = 0;
    while (done < length) {
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 10000) <= 0)
            break;
        ssize_t count = ::recv(fd, out.data() + done, length - done, 0);
        if (count <= 0)
            break;
        done += size_t(count);
    }
    out.resize(done);
    return out;
}

// One whole message (header and payload) as it travels.
inline Bytes rawReadMessage(int fd) {
    Bytes header = rawRead(fd, 5);
    if (header.size() != 5)
        return header;
    uint32_t length = (uint32_t(header[1]) << 24) | (uint32_t(header[2]) << 16) |
                      (uint32_t(header[3]) << 8) | header[4];
    return concat({header, rawRead(fd, length)});
}

inline void rawWrite(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t count = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        ASSERT_GT(count, 0);
        done += size_t(count);
    }
}

inline size_t queued(int fd) {
    int count = 0;
    ::ioctl(fd, FIONREAD, &count);
    return size_t(count);
}

inline Bytes frame(unsigned char type, const Bytes& payload) {
    uint32_t n = uint32_t(payload.size());
    return concat(
        {{type, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)}, payload});
}

inline Bytes bigEndian64(uint64_t value) {
    Bytes out(8);
    for (int i = 7; i >= 0; --i, value >>= 8)
        out[size_t(i)] = uint8_t(value);
    return out;
}

struct SPair {
    std::unique_ptr<CTestSocket> server;
    std::unique_ptr<CTestSocket> client;
};

inline SPair makePair() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    boundBlocking(fds[0]);
    boundBlocking(fds[1]);
    return {std::make_unique<CTestSocket>(fds[0]), std::make_unique<CTestSocket>(fds[1])};
}

// ---- the protocol written out by hand with toolkit primitives, independent of the library ----

inline Bytes sha1(ZAFContextRef ctx, const Bytes& data) {
    ZAFHashContextRef hash = nullptr;
    EXPECT_EQ(0, ZAFNewHashContext(ctx, kZAFHashAlgorithm_SHA1, &hash));
    ZAFContinueHash(hash, data.data(), data.size());
    Bytes out(20);
    EXPECT_EQ(0, ZAFFinalizeHash(hash, out.data(), out.size()));
    ZAFFreeHashContext(hash);
    return out;
}

inline Bytes hmacSha1(ZAFContextRef ctx, const Bytes& key, const Bytes& data) {
    ZAFHMACContextRef mac = nullptr;
    EXPECT_EQ(0, ZAFNewHMACContext(ctx, kZAFHashAlgorithm_SHA1, key.data(), key.size(), &mac));
    ZAFContinueHMAC(mac, data.data(), data.size());
    Bytes out(20);
    EXPECT_EQ(0, ZAFFinalizeHMAC(mac, out.data(), out.size()));
    ZAFFreeHMACContext(mac);
    return out;
}

// AES-128 counter-mode key stream, one single-block call per block, starting at block `first`.
inline Bytes keyStream(ZAFContextRef ctx, const Bytes& key, const Bytes& iv, uint64_t first,
                       size_t length, int32_t algorithm = kZAFCipherAlgorithm_AES128) {
    ZAFSymmetricCipherContextRef cipher = nullptr;
    EXPECT_EQ(0, ZAFNewSymmetricCipherContext(ctx, algorithm, &cipher));
    EXPECT_EQ(0, ZAFInitSymmetricCipher(cipher, key.data(), key.size()));
    Bytes out;
    for (uint64_t block = first; out.size() < length; ++block) {
        Bytes counter = iv;
        uint64_t carry = block;
        for (size_t i = counter.size(); i-- > 0 && carry != 0;) {
            uint64_t sum = counter[i] + (carry & 0xFF);
            counter[i] = uint8_t(sum);
            carry = (carry >> 8) + (sum >> 8);
        }
        Bytes encrypted(counter.size());
        EXPECT_EQ(0, ZAFSymmetricCipherEncrypt(cipher, counter.data(), encrypted.data()));
        out.insert(out.end(), encrypted.begin(), encrypted.end());
    }
    ZAFFreeSymmetricCipherContext(cipher);
    out.resize(length);
    return out;
}

inline Bytes xorWith(Bytes data, const Bytes& stream) {
    for (size_t i = 0; i < data.size(); ++i)
        data[i] ^= stream[i];
    return data;
}

struct SDirection {
    Bytes key, iv, macKey;
};
struct SKeys {
    SDirection toClient; // "I->R": what the server sends
    SDirection toServer; // "R->I": what the client sends
};

inline SKeys deriveByHand(ZAFContextRef ctx, const Bytes& secret192, const Bytes& clientNonce,
                          const Bytes& serverNonce) {
    Bytes master = sha1(ctx, secret192);
    auto value = [&](const char* label) {
        Bytes out = hmacSha1(ctx, master, concat({clientNonce, serverNonce, bytesOf(label)}));
        out.resize(16);
        return out;
    };
    return {{value("I->R Encryption Key"), value("I->R Encryption IV"), value("I->R Mac Key")},
            {value("R->I Encryption Key"), value("R->I Encryption IV"), value("R->I Mac Key")}};
}

// Pads (unless `padded` is set), encrypts and authenticates a record.
inline Bytes sealByHand(ZAFContextRef ctx, const SDirection& d, uint64_t firstBlock,
                        uint64_t sequence, Bytes plain, bool padded = false) {
    const unsigned char pad = uint8_t(16 - plain.size() % 16);
    if (!padded)
        plain.insert(plain.end(), pad, pad);
    Bytes cipher = xorWith(plain, keyStream(ctx, d.key, d.iv, firstBlock, plain.size()));
    Bytes record = frame(ss::kTypeData, concat({cipher, Bytes(20)}));
    record.resize(record.size() - 20);
    Bytes mac = hmacSha1(ctx, d.macKey, concat({record, bigEndian64(sequence)}));
    return concat({record, mac});
}

// Checks the MAC and returns the padded plaintext of a record.
inline Bytes openByHand(ZAFContextRef ctx, const SDirection& d, uint64_t firstBlock,
                        uint64_t sequence, const Bytes& record) {
    EXPECT_GE(record.size(), 5u + 16u + 20u);
    Bytes body(record.begin(), record.end() - 20);
    Bytes mac(record.end() - 20, record.end());
    EXPECT_EQ(hmacSha1(ctx, d.macKey, concat({body, bigEndian64(sequence)})), mac);
    Bytes cipher(body.begin() + 5, body.end());
    return xorWith(cipher, keyStream(ctx, d.key, d.iv, firstBlock, cipher.size()));
}

inline Bytes modExp(ZAFContextRef ctx, const Bytes& base, const Bytes& exponent,
                    const Bytes& modulus) {
    ZAFBigNumRef b = nullptr, e = nullptr, m = nullptr, r = nullptr;
    for (ZAFBigNumRef* n : {&b, &e, &m, &r})
        EXPECT_EQ(0, ZAFNewBigNum(ctx, 1, n));
    ZAFBigNumInsertBigEndianBytes(b, base.data(), base.size());
    ZAFBigNumInsertBigEndianBytes(e, exponent.data(), exponent.size());
    ZAFBigNumInsertBigEndianBytes(m, modulus.data(), modulus.size());
    EXPECT_EQ(0, ZAFBigNumExpMod(b, e, m, r));
    Bytes out(ss::kModulusLength);
    EXPECT_EQ(0, ZAFBigNumExtractBigEndianBytes(r, out.data(), out.size()));
    for (ZAFBigNumRef n : {b, e, m, r})
        ZAFFreeBigNum(n);
    return out;
}

// The handshake encoding: bit count, then the value without leading zero bytes.
inline Bytes mpiOf(Bytes value) {
    value.erase(value.begin(),
                std::find_if(value.begin(), value.end(), [](unsigned char b) { return b != 0; }));
    unsigned bits = value.empty() ? 0 : unsigned(value.size() * 8);
    for (unsigned char top = value.empty() ? 0 : value[0]; top != 0 && !(top & 0x80); top <<= 1)
        --bits;
    return concat({{uint8_t(bits >> 8), uint8_t(bits)}, value});
}

inline const Bytes kP(ss::kGroupP, ss::kGroupP + ss::kModulusLength);
inline const Bytes kG(ss::kGroupG, ss::kGroupG + ss::kModulusLength);

inline Bytes minus(Bytes value, unsigned char amount) {
    for (size_t i = value.size(); i-- > 0;) {
        unsigned char before = value[i];
        value[i] = uint8_t(before - amount);
        if (before >= amount)
            break;
        amount = 1;
    }
    return value;
}

// One side of an exchange written out by hand.
struct SHandPeer {
    ZAFContextRef ctx;
    Bytes exponent = Bytes(25, 0x3c);
    Bytes nonce = Bytes(16, 0xA5);
    Bytes keyID = Bytes(8, 0);
    Bytes mpi() const { return mpiOf(modExp(ctx, kG, exponent, kP)); }
    Bytes hello() const { return concat({keyID, nonce, mpi()}); }
    Bytes secretWith(const Bytes& peerValue) const { return modExp(ctx, peerValue, exponent, kP); }
};

inline Bytes keyIDOf(ZAFKeyDBObjRef key) {
    ZAFKeyID id;
    EXPECT_EQ(0, ZAFGetKeyID(key, &id));
    return Bytes(id.bytes, id.bytes + 8);
}

inline Bytes signByHand(ZAFKeyDBObjRef key, const Bytes& digest) {
    ZAFPrivateKeyContextRef priv = nullptr;
    EXPECT_EQ(0, ZAFNewPrivateKeyContext(key, "", 0, &priv));
    Bytes signature(2048);
    size_t size = 0;
    EXPECT_EQ(0, ZAFPrivateKeySign(priv, kZAFHashAlgorithm_SHA1, digest.data(), digest.size(),
                                   signature.data(), signature.size(), &size));
    ZAFFreePrivateKeyContext(priv);
    signature.resize(size);
    return signature;
}

inline const Bytes kSecret(ss::kModulusLength, 0x5c);
inline const Bytes kClientNonce(16, 0x11);
inline const Bytes kServerNonce(16, 0x22);

inline void keyPair(SPair& pair, ZAFContextRef ctx) {
    pair.server->keygen(ctx, kSecret.data(), kSecret.size(), kClientNonce.data(),
                        kServerNonce.data(), true);
    pair.client->keygen(ctx, kSecret.data(), kSecret.size(), kClientNonce.data(),
                        kServerNonce.data(), false);
}

} // namespace sstest
