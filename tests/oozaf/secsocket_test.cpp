// Tests of the secure channel: counter mode, records on the wire, both handshake halves with and
// without keys, a hand-written peer that follows the documented protocol, and every failure.
// ctest-labels: threaded
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

namespace {

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
const ::testing::Environment* const gToolkit =
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

template <class F> std::unique_ptr<CZAFThrowable> capture(F&& f) {
    try {
        f();
    } catch (CZAFThrowable* e) {
        return std::unique_ptr<CZAFThrowable>(e);
    }
    return nullptr;
}

std::string messageOf(const std::unique_ptr<CZAFThrowable>& e) {
    return e ? e->getMessage() : std::string("<nothing thrown>");
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

// ---- raw descriptor access, every wait bounded ----

void boundBlocking(int fd) {
    timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

Bytes rawRead(int fd, size_t length) {
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
Bytes rawReadMessage(int fd) {
    Bytes header = rawRead(fd, 5);
    if (header.size() != 5)
        return header;
    uint32_t length = (uint32_t(header[1]) << 24) | (uint32_t(header[2]) << 16) |
                      (uint32_t(header[3]) << 8) | header[4];
    return concat({header, rawRead(fd, length)});
}

void rawWrite(int fd, const Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t count = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        ASSERT_GT(count, 0);
        done += size_t(count);
    }
}

size_t queued(int fd) {
    int count = 0;
    ::ioctl(fd, FIONREAD, &count);
    return size_t(count);
}

Bytes frame(unsigned char type, const Bytes& payload) {
    uint32_t n = uint32_t(payload.size());
    return concat(
        {{type, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)}, payload});
}

Bytes bigEndian64(uint64_t value) {
    Bytes out(8);
    for (int i = 7; i >= 0; --i, value >>= 8)
        out[size_t(i)] = uint8_t(value);
    return out;
}

struct SPair {
    std::unique_ptr<CTestSocket> server;
    std::unique_ptr<CTestSocket> client;
};

SPair makePair() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
    boundBlocking(fds[0]);
    boundBlocking(fds[1]);
    return {std::make_unique<CTestSocket>(fds[0]), std::make_unique<CTestSocket>(fds[1])};
}

// ---- the protocol written out by hand with toolkit primitives, independent of the library ----

Bytes sha1(ZAFContextRef ctx, const Bytes& data) {
    ZAFHashContextRef hash = nullptr;
    EXPECT_EQ(0, ZAFNewHashContext(ctx, kZAFHashAlgorithm_SHA1, &hash));
    ZAFContinueHash(hash, data.data(), data.size());
    Bytes out(20);
    EXPECT_EQ(0, ZAFFinalizeHash(hash, out.data(), out.size()));
    ZAFFreeHashContext(hash);
    return out;
}

Bytes hmacSha1(ZAFContextRef ctx, const Bytes& key, const Bytes& data) {
    ZAFHMACContextRef mac = nullptr;
    EXPECT_EQ(0, ZAFNewHMACContext(ctx, kZAFHashAlgorithm_SHA1, key.data(), key.size(), &mac));
    ZAFContinueHMAC(mac, data.data(), data.size());
    Bytes out(20);
    EXPECT_EQ(0, ZAFFinalizeHMAC(mac, out.data(), out.size()));
    ZAFFreeHMACContext(mac);
    return out;
}

// AES-128 counter-mode key stream, one single-block call per block, starting at block `first`.
Bytes keyStream(ZAFContextRef ctx, const Bytes& key, const Bytes& iv, uint64_t first, size_t length,
                int32_t algorithm = kZAFCipherAlgorithm_AES128) {
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

Bytes xorWith(Bytes data, const Bytes& stream) {
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

SKeys deriveByHand(ZAFContextRef ctx, const Bytes& secret192, const Bytes& clientNonce,
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
Bytes sealByHand(ZAFContextRef ctx, const SDirection& d, uint64_t firstBlock, uint64_t sequence,
                 Bytes plain, bool padded = false) {
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
Bytes openByHand(ZAFContextRef ctx, const SDirection& d, uint64_t firstBlock, uint64_t sequence,
                 const Bytes& record) {
    EXPECT_GE(record.size(), 5u + 16u + 20u);
    Bytes body(record.begin(), record.end() - 20);
    Bytes mac(record.end() - 20, record.end());
    EXPECT_EQ(hmacSha1(ctx, d.macKey, concat({body, bigEndian64(sequence)})), mac);
    Bytes cipher(body.begin() + 5, body.end());
    return xorWith(cipher, keyStream(ctx, d.key, d.iv, firstBlock, cipher.size()));
}

Bytes modExp(ZAFContextRef ctx, const Bytes& base, const Bytes& exponent, const Bytes& modulus) {
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
Bytes mpiOf(Bytes value) {
    value.erase(value.begin(),
                std::find_if(value.begin(), value.end(), [](unsigned char b) { return b != 0; }));
    unsigned bits = value.empty() ? 0 : unsigned(value.size() * 8);
    for (unsigned char top = value.empty() ? 0 : value[0]; top != 0 && !(top & 0x80); top <<= 1)
        --bits;
    return concat({{uint8_t(bits >> 8), uint8_t(bits)}, value});
}

const Bytes kP(ss::kGroupP, ss::kGroupP + ss::kModulusLength);
const Bytes kG(ss::kGroupG, ss::kGroupG + ss::kModulusLength);

Bytes minus(Bytes value, unsigned char amount) {
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

Bytes keyIDOf(ZAFKeyDBObjRef key) {
    ZAFKeyID id;
    EXPECT_EQ(0, ZAFGetKeyID(key, &id));
    return Bytes(id.bytes, id.bytes + 8);
}

Bytes signByHand(ZAFKeyDBObjRef key, const Bytes& digest) {
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

const Bytes kSecret(ss::kModulusLength, 0x5c);
const Bytes kClientNonce(16, 0x11);
const Bytes kServerNonce(16, 0x22);

void keyPair(SPair& pair, ZAFContextRef ctx) {
    pair.server->keygen(ctx, kSecret.data(), kSecret.size(), kClientNonce.data(),
                        kServerNonce.data(), true);
    pair.client->keygen(ctx, kSecret.data(), kSecret.size(), kClientNonce.data(),
                        kServerNonce.data(), false);
}

} // namespace

// ---- counter mode ----

TEST(CTRMode, KeyStreamRunsOnAcrossCallsBatchesAndCounterCarries) {
    CContext ctx;
    const Bytes key(16, 0x42);
    struct SCase {
        int32_t algorithm;
        Bytes iv;
    };
    // Counters whose low bytes carry soon, whose low 64-bit word carries into the next byte,
    // and that wrap around completely; for 16- and 8-byte blocks.
    const SCase cases[] = {
        {kZAFCipherAlgorithm_AES128,
         {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}},
        {kZAFCipherAlgorithm_AES128,
         {0, 1, 2, 3, 4, 5, 6, 7, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}},
        {kZAFCipherAlgorithm_AES128, Bytes(16, 0xFF)},
        {kZAFCipherAlgorithm_CAST5, {1, 2, 3, 0xFF, 0xFF, 0xFF, 0xFF, 0xF0}},
        {kZAFCipherAlgorithm_CAST5, Bytes(8, 0xFF)},
    };
    for (const SCase& c : cases) {
        const unsigned int block = unsigned(c.iv.size());
        ZAFSymmetricCipherContextRef cipher = nullptr;
        ASSERT_EQ(0, ZAFNewSymmetricCipherContext(ctx.ref, c.algorithm, &cipher));
        ASSERT_EQ(0, ZAFInitSymmetricCipher(cipher, key.data(), key.size()));
        CZAFCTRMode ctr(cipher, c.iv.data(), block);
        Bytes padded;
        Bytes sent;
        for (size_t length : {1u, 15u, 16u, 17u, 4000u, 300u, 9000u, 31u}) {
            Bytes plain(length, uint8_t(length));
            Bytes out(length + block);
            unsigned int n =
                ctr.encrypt(out.data(), unsigned(out.size()), plain.data(), unsigned(length));
            ASSERT_EQ(length + (block - length % block), n);
            out.resize(n);
            sent.insert(sent.end(), out.begin(), out.end());
            const unsigned char pad = uint8_t(n - length);
            plain.insert(plain.end(), pad, pad);
            padded.insert(padded.end(), plain.begin(), plain.end());
        }
        EXPECT_EQ(xorWith(padded, keyStream(ctx.ref, key, c.iv, 0, padded.size(), c.algorithm)),
                  sent)
            << "algorithm " << c.algorithm << ", block " << block;
    }
}

TEST(CTRMode, DecryptChecksLengthAndPaddingAndFitsTheOutput) {
    CContext ctx;
    auto make = [&] {
        ZAFSymmetricCipherContextRef aes = nullptr;
        EXPECT_EQ(0, ZAFNewSymmetricCipherContext(ctx.ref, kZAFCipherAlgorithm_AES128, &aes));
        EXPECT_EQ(0, ZAFInitSymmetricCipher(aes, Bytes(16, 7).data(), 16));
        return std::make_unique<CZAFCTRMode>(aes, Bytes(16, 9).data(), 16);
    };
    auto sender = make();
    auto receiver = make();
    Bytes cipher(48);
    ASSERT_EQ(32u, sender->encrypt(cipher.data(), 48, "twenty bytes of data", 20));
    Bytes small(10);
    auto e = expectThrow<CZAFSecSocketException>(
        [&] { receiver->decrypt(small.data(), 10, cipher.data(), 32); });
    ASSERT_TRUE(e);
    EXPECT_EQ("Bad padding format", e->getMessage());

    Bytes plain(20);
    auto again = make();
    EXPECT_EQ(20u, again->decrypt(plain.data(), 20, cipher.data(), 32));
    EXPECT_EQ(bytesOf("twenty bytes of data"), plain);

    // Malformed padding: pad byte 0, larger than a block, pad bytes that differ; bad lengths.
    struct {
        Bytes data;
    } cases[] = {{Bytes(16, 0)},
                 {Bytes(16, 17)},
                 {concat({Bytes(13, 0), {2, 3, 3}})},
                 {Bytes()},
                 {Bytes(15, 1)}};
    for (auto& c : cases) {
        Bytes out(32);
        auto bad = expectThrow<CZAFSecSocketException>([&] {
            receiver->unpad(out.data(), 32, c.data.empty() ? out.data() : c.data.data(),
                            unsigned(c.data.size()));
        });
        ASSERT_TRUE(bad);
        EXPECT_EQ("Invalid input received", bad->getMessage());
    }
    EXPECT_EQ(13u, receiver->unpad(plain.data(), 20, concat({Bytes(13, 0), {3, 3, 3}}).data(), 16));
}

TEST(CTRMode, EncryptingIntoAnotherBufferGivesWhatEncryptingInPlaceGives) {
    CContext ctx;
    const Bytes key(16, 0x31);
    const Bytes iv(16, 0xFE);
    auto make = [&] {
        ZAFSymmetricCipherContextRef aes = nullptr;
        EXPECT_EQ(0, ZAFNewSymmetricCipherContext(ctx.ref, kZAFCipherAlgorithm_AES128, &aes));
        EXPECT_EQ(0, ZAFInitSymmetricCipher(aes, key.data(), key.size()));
        return std::make_unique<CZAFCTRMode>(aes, iv.data(), 16);
    };
    auto inPlace = make();
    auto apart = make();
    // Sizes around the key-stream batch and a block boundary, one after the other.
    for (size_t length : {0u, 5u, 16u, 16383u, 16384u, 16385u, 40000u}) {
        Bytes plain(length);
        for (size_t i = 0; i < length; ++i)
            plain[i] = uint8_t(i * 13 + length);
        Bytes same = plain;
        same.resize(length + 16);
        const unsigned int n1 =
            inPlace->encrypt(same.data(), unsigned(same.size()), same.data(), unsigned(length));
        Bytes out(length + 16);
        const unsigned int n2 =
            apart->encrypt(out.data(), unsigned(out.size()), plain.data(), unsigned(length));
        ASSERT_EQ(n1, n2);
        EXPECT_TRUE(std::equal(same.begin(), same.begin() + n1, out.begin())) << length;
    }
}

// ---- records ----

TEST(SecSocketRecords, UnkeyedRecordsCarryPlainData) {
    SPair pair = makePair();
    ASSERT_EQ(5, pair.server->write("hello", 5));
    EXPECT_EQ(concat({{0x40, 0, 0, 0, 5}, bytesOf("hello")}),
              rawRead(pair.client->getDescriptor(), 10));
    rawWrite(pair.client->getDescriptor(), frame(0x40, bytesOf("hi")));
    char buffer[8];
    ASSERT_EQ(2, pair.server->read(buffer, sizeof buffer));
    EXPECT_EQ(0, std::memcmp(buffer, "hi", 2));

    // An empty record would read as a closed connection; it is refused.
    rawWrite(pair.client->getDescriptor(), frame(0x40, Bytes()));
    auto e = expectThrow<CZAFSecSocketException>([&] { pair.server->read(buffer, 8); });
    ASSERT_TRUE(e);
    EXPECT_EQ("Invalid input received", e->getMessage());
}

// A lowered inbound bound refuses a longer record from its five header bytes alone, keyed or
// not; a record within it still reads.
TEST(SecSocketRecords, AnInboundBoundRefusesLongerRecordsFromTheirHeader) {
    SPair pair = makePair();
    pair.server->setInboundRecordLimit(16);
    EXPECT_EQ(16u, pair.server->getInboundRecordLimit());
    rawWrite(pair.client->getDescriptor(), frame(0x40, bytesOf("sixteen bytes!!!")));
    char buffer[32];
    ASSERT_EQ(16, pair.server->read(buffer, sizeof buffer));
    // Announced, never sent: the header is enough to end the channel.
    rawWrite(pair.client->getDescriptor(), {0x40, 0, 0, 0, 17});
    auto e = expectThrow<CZAFSecSocketException>([&] { pair.server->read(buffer, 8); });
    ASSERT_TRUE(e);
    EXPECT_EQ("Invalid input received", e->getMessage());
    // The bound never rises above the socket's own.
    pair.client->setInboundRecordLimit(0xFFFFFFFFu);
    EXPECT_EQ(CZAFSecSocket::kMaxRecordPlaintext, pair.client->getInboundRecordLimit());
}

TEST(SecSocketRecords, WireFormatSizesKeyStreamAndSequenceAsDocumented) {
    CContext ctx;
    SPair pair = makePair();
    keyPair(pair, ctx.ref);
    const SKeys keys = deriveByHand(ctx.ref, kSecret, kClientNonce, kServerNonce);
    const int server = pair.server->getDescriptor();

    ASSERT_EQ(1, pair.client->write("A", 1));
    ASSERT_EQ(16, pair.client->write("0123456789abcdef", 16));
    Bytes first = rawReadMessage(server);
    Bytes second = rawReadMessage(server);
    ASSERT_EQ(41u, first.size());
    ASSERT_EQ(57u, second.size());
    EXPECT_EQ((Bytes{0x40, 0, 0, 0, 36}), Bytes(first.begin(), first.begin() + 5));
    EXPECT_EQ(concat({bytesOf("A"), Bytes(15, 15)}),
              openByHand(ctx.ref, keys.toServer, 0, 0, first));
    // The second record starts at the next key-stream block and carries sequence number 1.
    EXPECT_EQ(concat({bytesOf("0123456789abcdef"), Bytes(16, 16)}),
              openByHand(ctx.ref, keys.toServer, 1, 1, second));

    // The other direction uses the other keys; what arrives hand-sealed is read back.
    ASSERT_EQ(3, pair.server->write("xyz", 3));
    Bytes down = rawReadMessage(pair.client->getDescriptor());
    EXPECT_EQ(concat({bytesOf("xyz"), Bytes(13, 13)}),
              openByHand(ctx.ref, keys.toClient, 0, 0, down));
    rawWrite(pair.server->getDescriptor(), sealByHand(ctx.ref, keys.toClient, 0, 0, bytesOf("ok")));
    char buffer[4];
    ASSERT_EQ(2, pair.client->read(buffer, sizeof buffer));
    EXPECT_EQ(0, std::memcmp(buffer, "ok", 2));
}

TEST(SecSocketRecords, ShortReadsHandOutOneRecordInPiecesBeforeTheNext) {
    CContext ctx;
    SPair pair = makePair();
    keyPair(pair, ctx.ref);
    Bytes big(100);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i);
    ASSERT_EQ(100, pair.client->write(big.data(), 100));
    ASSERT_EQ(10, pair.client->write("0123456789", 10));
    const int fd = pair.server->getDescriptor();
    Bytes got;
    unsigned char buffer[30];
    for (int expected : {30, 30, 30, 10}) {
        ASSERT_EQ(expected, pair.server->read(buffer, 30));
        got.insert(got.end(), buffer, buffer + expected);
        EXPECT_EQ(41u, queued(fd)); // the second record is still on the socket
    }
    EXPECT_EQ(big, got);
    ASSERT_EQ(10, pair.server->read(buffer, 30));
    EXPECT_EQ(0, std::memcmp(buffer, "0123456789", 10));
    EXPECT_EQ(0u, queued(fd));
}

TEST(SecSocketRecords, AWriteAboveTheRecordLimitIsCutAndWriteAllSendsTheRest) {
    CContext ctx;
    SPair pair = makePair();
    keyPair(pair, ctx.ref);
    const size_t total = CZAFSecSocket::kMaxRecordPlaintext + 100;
    Bytes data(total);
    for (size_t i = 0; i < total; ++i)
        data[i] = uint8_t(i * 7);
    Bytes received(total);
    bool complete = false;
    std::thread reader([&] {
        auto e =
            capture([&] { complete = pair.server->readAll(received.data(), unsigned(total)); });
        EXPECT_FALSE(e) << messageOf(e);
    });
    EXPECT_EQ(int(CZAFSecSocket::kMaxRecordPlaintext),
              pair.client->write(data.data(), unsigned(total)));
    pair.client->writeAll(data.data() + CZAFSecSocket::kMaxRecordPlaintext, 100);
    reader.join();
    EXPECT_TRUE(complete);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), received.begin()));
}

// Once keyed, a record that fits the reader's buffer (all of it, or all but its last block) is
// read and decrypted there; only the plaintext of a last block that did not fit waits for the
// next read. A longer record waits whole and is handed out in pieces.
TEST(SecSocketRecords, RecordsThatFitAreReadIntoTheCallersBufferAndTheRestWaits) {
    CContext ctx;
    SPair pair = makePair();
    keyPair(pair, ctx.ref);
    const int fd = pair.server->getDescriptor();
    Bytes data(200);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i + 1);
    unsigned char buffer[64];
    // 40 bytes (48 of ciphertext) into 32: the first two blocks land, 8 bytes wait.
    ASSERT_EQ(40, pair.client->write(data.data(), 40));
    ASSERT_EQ(32, pair.server->read(buffer, 32));
    EXPECT_EQ(0u, queued(fd));
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 32, buffer));
    ASSERT_EQ(8, pair.server->read(buffer, 32));
    EXPECT_TRUE(std::equal(data.begin() + 32, data.begin() + 40, buffer));
    // 64 bytes and a block of padding into 64: all of it at once.
    ASSERT_EQ(64, pair.client->write(data.data(), 64));
    ASSERT_EQ(64, pair.server->read(buffer, 64));
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 64, buffer));
    // A buffer smaller than one block still gets the whole plaintext, piece by piece.
    ASSERT_EQ(3, pair.client->write("abc", 3));
    ASSERT_EQ(2, pair.server->read(buffer, 2));
    ASSERT_EQ(1, pair.server->read(buffer + 2, 2));
    EXPECT_EQ(0, std::memcmp(buffer, "abc", 3));
    // 200 bytes into 64: the record waits whole.
    ASSERT_EQ(200, pair.client->write(data.data(), 200));
    Bytes got;
    for (int expected : {64, 64, 64, 8}) {
        ASSERT_EQ(expected, pair.server->read(buffer, 64));
        got.insert(got.end(), buffer, buffer + expected);
    }
    EXPECT_EQ(data, got);
    EXPECT_EQ(0u, queued(fd));

    // A damaged record is refused on either path before its plaintext is handed out.
    for (unsigned int size : {64u, 16u}) {
        SPair damaged = makePair();
        keyPair(damaged, ctx.ref);
        ASSERT_EQ(40, damaged.client->write(data.data(), 40));
        Bytes record = rawReadMessage(damaged.server->getDescriptor());
        record[record.size() - 21] ^= 1; // the last ciphertext byte
        rawWrite(damaged.client->getDescriptor(), record);
        auto e = expectThrow<CZAFSecSocketException>([&] { damaged.server->read(buffer, size); });
        ASSERT_TRUE(e);
        EXPECT_EQ("Invalid input received", e->getMessage());
    }
}

// A keyed write goes out as records of at most kRecordPlaintext bytes, one after the other in
// the key stream and the sequence, and the reader gets the bytes back in order.
TEST(SecSocketRecords, AKeyedWriteGoesOutAsRecordsOfTheRecordSize) {
    CContext ctx;
    SPair pair = makePair();
    keyPair(pair, ctx.ref);
    const SKeys keys = deriveByHand(ctx.ref, kSecret, kClientNonce, kServerNonce);
    const size_t full = CZAFSecSocket::kRecordPlaintext;
    const size_t total = (CZAFSecSocket::kBatchRecords + 1) * full + 5;
    Bytes data(total);
    for (size_t i = 0; i < total; ++i)
        data[i] = uint8_t(i * 31 + 7);
    std::vector<Bytes> records;
    std::thread reader([&] {
        for (size_t i = 0; i < CZAFSecSocket::kBatchRecords + 2; ++i)
            records.push_back(rawReadMessage(pair.server->getDescriptor()));
    });
    EXPECT_EQ(int(total), pair.client->write(data.data(), unsigned(total)));
    reader.join();
    ASSERT_EQ(CZAFSecSocket::kBatchRecords + 2, records.size());
    Bytes plain;
    uint64_t block = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const size_t expected = i + 1 < records.size() ? full : 5;
        ASSERT_EQ(5 + expected + (16 - expected % 16) + 20, records[i].size()) << i;
        Bytes opened = openByHand(ctx.ref, keys.toServer, block, i, records[i]);
        block += opened.size() / 16;
        opened.resize(expected);
        plain.insert(plain.end(), opened.begin(), opened.end());
    }
    EXPECT_EQ(data, plain);
}

// Each case damages the client's record "attack at dawn" (or replaces it by a hand-sealed
// one) before the server reads it.
TEST(SecSocketRecords, DamagedReplayedOrMalformedRecordsAreInvalidInputAndEndTheChannel) {
    CContext ctx;
    const SKeys keys = deriveByHand(ctx.ref, kSecret, kClientNonce, kServerNonce);
    using Damage = std::function<Bytes(const Bytes& first, const Bytes& second)>;
    const struct {
        const char* name;
        Damage damage;
    } cases[] = {
        {"flipped ciphertext bit",
         [](Bytes r, const Bytes&) {
             r[7] ^= 1;
             return r;
         }},
        {"flipped MAC bit",
         [](Bytes r, const Bytes&) {
             r.back() ^= 0x80;
             return r;
         }},
        {"replayed record",
         [](const Bytes& r, const Bytes&) {
             return concat({r, r});
         }},
        {"reordered records",
         [](const Bytes& a, const Bytes& b) {
             return concat({b, a});
         }},
        {"empty ciphertext",
         [](const Bytes& r, const Bytes&) { return frame(0x40, Bytes(r.end() - 20, r.end())); }},
        {"ciphertext not whole blocks",
         [](const Bytes& r, const Bytes&) { return frame(0x40, Bytes(r.begin() + 6, r.end())); }},
        {"record of 24 bytes", [](const Bytes&, const Bytes&) { return frame(0x40, Bytes(19)); }},
        {"valid MAC, pad byte 0",
         [&](const Bytes&, const Bytes&) {
             return sealByHand(ctx.ref, keys.toServer, 0, 0, Bytes(16, 0), true);
         }},
        {"valid MAC, pad byte above block size",
         [&](const Bytes&, const Bytes&) {
             return sealByHand(ctx.ref, keys.toServer, 0, 0, concat({Bytes(15), {17}}), true);
         }},
        {"valid MAC, pad bytes that differ",
         [&](const Bytes&, const Bytes&) {
             return sealByHand(ctx.ref, keys.toServer, 0, 0, concat({Bytes(13), {2, 3, 3}}), true);
         }},
    };
    // A buffer that takes the whole record and one that takes none of its blocks.
    for (unsigned int size : {64u, 8u})
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name + std::string(", reads of ") + std::to_string(size));
            SPair pair = makePair();
            keyPair(pair, ctx.ref);
            ASSERT_EQ(14, pair.client->write("attack at dawn", 14));
            ASSERT_EQ(14, pair.client->write("attack at dusk", 14));
            const int server = pair.server->getDescriptor();
            Bytes first = rawReadMessage(server);
            Bytes second = rawReadMessage(server);
            rawWrite(pair.client->getDescriptor(), c.damage(first, second));
            char buffer[64];
            std::unique_ptr<CZAFThrowable> e;
            for (int i = 0; i < 4 && !e; ++i)
                e = capture([&] { pair.server->read(buffer, size); });
            EXPECT_EQ("Invalid input received", messageOf(e));
            // The channel stays closed for good: reads fail again, and writes send nothing.
            EXPECT_TRUE(pair.server->hasFailed());
            auto again = expectThrow<CZAFSecSocketException>(
                [&] { pair.server->read(buffer, sizeof buffer); });
            ASSERT_TRUE(again);
            EXPECT_EQ("Invalid input received", again->getMessage());
            EXPECT_TRUE(expectThrow<CZAFSecSocketException>([&] { pair.server->write("x", 1); }));
            EXPECT_EQ(0u, queued(pair.client->getDescriptor()));
        }
}

TEST(SecSocketRecords, FramingFailuresOfTheDataPhase) {
    CContext ctx;
    char buffer[16];
    struct {
        const char* name;
        Bytes bytes;
        bool keyed;
        const char* message;
    } cases[] = {
        // Announcements beyond the bound are refused from the header alone, without waiting
        // for (or allocating) the payload.
        {"huge keyed record", {0x40, 0xFF, 0xFF, 0xFF, 0xFF}, true, "Invalid input received"},
        {"record just above the bound",
         {0x40, uint8_t((CZAFSecSocket::kMaxRecordPayload + 1) >> 24),
          uint8_t((CZAFSecSocket::kMaxRecordPayload + 1) >> 16),
          uint8_t((CZAFSecSocket::kMaxRecordPayload + 1) >> 8),
          uint8_t(CZAFSecSocket::kMaxRecordPayload + 1)},
         true,
         "Invalid input received"},
        {"huge plain record", {0x40, 0x01, 0x00, 0x01, 0x00}, false, "Invalid input received"},
        {"handshake type in the data phase", frame(1, Bytes(40)), true, "Bad packet type received"},
        {"peer closes inside a header", {0x40, 0}, true, "Incoming connection closed prematurely"},
        {"peer closes inside a payload",
         {0x40, 0, 0, 0, 36, 1, 2},
         true,
         "Incoming connection closed prematurely"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        SPair pair = makePair();
        if (c.keyed)
            keyPair(pair, ctx.ref);
        rawWrite(pair.client->getDescriptor(), c.bytes);
        if (std::string(c.message) == "Incoming connection closed prematurely")
            pair.client->close();
        auto start = steady_clock::now();
        auto e = capture([&] { pair.server->read(buffer, sizeof buffer); });
        EXPECT_EQ(c.message, messageOf(e));
        EXPECT_LT(steady_clock::now() - start, milliseconds(5000));
        EXPECT_TRUE(pair.server->hasFailed());
    }
}

// ---- handshakes between two library sockets ----

namespace {

// Key rings built once from a few keys of the bench rings: "ring" holds RSA keys 1 and 2, DSA
// key 3 and a passphrase-protected RSA key; "stranger" holds RSA key 4 only; "public" holds key 5
// without its secret part.
class SecSocketHandshake : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string bench = std::string(ORX_SHARED_DIR) + "/bench/";
        if (!std::filesystem::exists(bench + "secring-1k.skr"))
            return;
        s_dir = new ZafTempDir();
        CContext ctx;
        ZAFKeyDBRef secrets = importFile(ctx.ref, bench + "secring-1k.skr");
        ZAFKeyDBRef publics = importFile(ctx.ref, bench + "pubring-1k.pkr");
        ZAFKeyDBRef locked =
            importFile(ctx.ref, std::string(ORX_TEST_DATA_DIR) +
                                    "/secsocket/rsa-key-protected-by-passphrase.skr");
        ASSERT_TRUE(secrets && publics && locked);
        std::vector<ZAFKeyDBObjRef> keys = firstKeys(secrets, 4);
        keys.push_back(firstKeys(publics, 5).at(4));
        keys.push_back(firstKeys(locked, 1).at(0));
        ASSERT_EQ(6u, keys.size());
        buildRing(ctx.ref, "ring", {keys[0], keys[1], keys[2], keys[5]});
        buildRing(ctx.ref, "stranger", {keys[3]});
        buildRing(ctx.ref, "public", {keys[4]});
        for (size_t i = 0; i < keys.size(); ++i)
            s_ids[i] = keyIDOf(keys[i]);
        ZAFFreeKeyDB(secrets);
        ZAFFreeKeyDB(publics);
        ZAFFreeKeyDB(locked);
    }
    static void TearDownTestSuite() {
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override {
        if (s_dir == nullptr)
            GTEST_SKIP() << "the bench key rings are missing";
    }

    static ZAFKeyDBRef importFile(ZAFContextRef ctx, const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ZAFKeyDBRef db = nullptr;
        EXPECT_EQ(0, ZAFImport(ctx, &db, ZAFOInputBuffer(ctx, data.data(), data.size()),
                               ZAFOLastOption()));
        return db;
    }

    static ZAFKeyDBRef openRing(ZAFContextRef ctx, const std::string& name, uint32_t options) {
        ZAFFileSpecRef pub = nullptr, sec = nullptr;
        EXPECT_EQ(0, ZAFNewFileSpecFromFullPath(ctx, s_dir->file(name + ".pkr").c_str(), &pub));
        EXPECT_EQ(0, ZAFNewFileSpecFromFullPath(ctx, s_dir->file(name + ".skr").c_str(), &sec));
        ZAFKeyDBRef db = nullptr;
        EXPECT_EQ(0, ZAFOpenKeyDBFile(ctx, options, pub, sec, &db));
        ZAFFreeFileSpec(pub);
        ZAFFreeFileSpec(sec);
        return db;
    }

    static void buildRing(ZAFContextRef ctx, const std::string& name,
                          const std::vector<ZAFKeyDBObjRef>& keys) {
        ZAFKeyDBRef db =
            openRing(ctx, name, kZAFOpenKeyDBFileOptions_Mutable | kZAFOpenKeyDBFileOptions_Create);
        for (ZAFKeyDBObjRef key : keys) {
            ZAFKeySetRef one = nullptr;
            ASSERT_EQ(0, ZAFNewSingletonKeySet(key, &one));
            ASSERT_EQ(0, ZAFCopyKeys(one, db, nullptr));
            ZAFFreeKeySet(one);
        }
        ASSERT_EQ(0, ZAFFlushKeyDB(db));
        ZAFFreeKeyDB(db);
    }

    static std::vector<ZAFKeyDBObjRef> firstKeys(ZAFKeyDBRef db, size_t count) {
        std::vector<ZAFKeyDBObjRef> keys;
        ZAFKeyIterRef iter = nullptr;
        EXPECT_EQ(0, ZAFNewKeyIterFromKeyDB(db, &iter));
        ZAFKeyDBObjRef key = nullptr;
        while (keys.size() < count && ZAFKeyIterNextKeyDBObj(iter, kZAFKeyDBObjType_Key, &key) == 0)
            keys.push_back(key);
        ZAFFreeKeyIter(iter);
        return keys;
    }

    // One side of a handshake: its own context, an optional ring and an optional own key.
    struct SSide {
        CContext ctx;
        ZAFKeyDBRef db = nullptr;
        ZAFKeyDBObjRef key = nullptr;
        std::string passphrase;
        ZAFKeyDBObjRef remote = nullptr;
        bool remoteSet = false;
        std::unique_ptr<CZAFThrowable> error;

        SSide() = default;
        SSide(const std::string& ring, int ownKey, const std::string& pass = "")
            : passphrase(pass) {
            if (!ring.empty())
                db = openRing(ctx.ref, ring, kZAFOpenKeyDBFileOptions_None);
            if (ownKey >= 0) {
                ZAFKeyID id;
                EXPECT_EQ(0, ZAFNewKeyID(s_ids[ownKey].data(), 8, -1, &id));
                EXPECT_EQ(0, ZAFFindKeyByKeyID(db, &id, &key));
            }
        }
        ~SSide() {
            if (db != nullptr)
                ZAFFreeKeyDB(db);
        }
        // With a ring, the peer's key is looked up there; `useRing` false hides the ring (the
        // own key still comes from it).
        void run(CZAFSecSocket& socket, bool server, bool useRing = true) {
            remote = reinterpret_cast<ZAFKeyDBObjRef>(&remoteSet); // must be overwritten
            error = capture([&] {
                if (server)
                    socket.serverHandshake(&remote, ctx.ref, useRing ? db : nullptr, key,
                                           passphrase);
                else
                    socket.clientHandshake(&remote, ctx.ref, useRing ? db : nullptr, key,
                                           passphrase);
            });
            // A failed side closes its socket, as the listener does.
            if (error)
                socket.close();
        }
        std::string remoteID() const {
            if (remote == nullptr)
                return "none";
            const Bytes id = keyIDOf(remote);
            return std::string(id.begin(), id.end());
        }
    };

    static std::string idText(int index) {
        return std::string(s_ids[index].begin(), s_ids[index].end());
    }

    static void handshake(SPair& pair, SSide& server, SSide& client, bool serverUsesRing = true) {
        std::thread serverThread([&] { server.run(*pair.server, true, serverUsesRing); });
        client.run(*pair.client, false);
        serverThread.join();
    }

    static void expectDataFlows(SPair& pair) {
        char buffer[32] = {0};
        ASSERT_EQ(11, pair.client->write("from client", 11));
        ASSERT_EQ(11, pair.server->read(buffer, sizeof buffer));
        EXPECT_EQ(0, std::memcmp(buffer, "from client", 11));
        ASSERT_EQ(11, pair.server->write("from server", 11));
        ASSERT_EQ(11, pair.client->read(buffer, sizeof buffer));
        EXPECT_EQ(0, std::memcmp(buffer, "from server", 11));
    }

    static ZafTempDir* s_dir;
    static Bytes s_ids[6];
};

ZafTempDir* SecSocketHandshake::s_dir = nullptr;
Bytes SecSocketHandshake::s_ids[6];

enum { kRSA1 = 0, kRSA2 = 1, kDSA3 = 2, kStranger4 = 3, kPublicOnly5 = 4, kProtected = 5 };

} // namespace

TEST_F(SecSocketHandshake, SucceedsWithAndWithoutKeysOnEitherSide) {
    const struct {
        const char* name;
        int serverKey;
        int clientKey;
    } cases[] = {{"neither side has a key", -1, -1},
                 {"server key only", kRSA1, -1},
                 {"server DSA key only", kDSA3, -1},
                 {"client key only", -1, kRSA2},
                 {"both keys", kRSA1, kDSA3},
                 {"protected server key, right passphrase", kProtected, kRSA2}};
    // A buffer that takes the whole record and one that takes none of its blocks.
    for (unsigned int size : {64u, 8u})
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name + std::string(", reads of ") + std::to_string(size));
            SPair pair = makePair();
            SSide server("ring", c.serverKey, "correct horse battery");
            SSide client("ring", c.clientKey);
            handshake(pair, server, client);
            ASSERT_FALSE(server.error) << messageOf(server.error);
            ASSERT_FALSE(client.error) << messageOf(client.error);
            EXPECT_TRUE(pair.server->isKeyed() && pair.client->isKeyed());
            EXPECT_EQ(c.clientKey < 0 ? "none" : idText(c.clientKey), server.remoteID());
            EXPECT_EQ(c.serverKey < 0 ? "none" : idText(c.serverKey), client.remoteID());
            expectDataFlows(pair);
        }
}

TEST_F(SecSocketHandshake, UnauthenticatedPeersWithoutKeyDatabases) {
    SPair pair = makePair();
    SSide server("", -1);
    SSide client("", -1);
    handshake(pair, server, client);
    ASSERT_FALSE(server.error) << messageOf(server.error);
    ASSERT_FALSE(client.error) << messageOf(client.error);
    EXPECT_EQ(nullptr, server.remote);
    EXPECT_EQ(nullptr, client.remote);
    expectDataFlows(pair);
}

// A side that requires the peer's key refuses an unsigned peer, on either side of the
// handshake, even without a key database to look it up in.
TEST_F(SecSocketHandshake, ARequiredPeerKeyRefusesAnUnsignedPeer) {
    for (const bool serverRequires : {true, false}) {
        SPair pair = makePair();
        (serverRequires ? pair.server : pair.client)->setRequirePeerKey(true);
        SSide server("", -1);
        SSide client("", -1);
        handshake(pair, server, client);
        const std::unique_ptr<CZAFThrowable>& refused =
            serverRequires ? server.error : client.error;
        ASSERT_TRUE(refused) << serverRequires;
        EXPECT_EQ("Unknown remote key", refused->getMessage());
    }
}

TEST_F(SecSocketHandshake, FailuresEndTheFailingSideAndThePeerSeesTheClose) {
    const struct {
        const char* name;
        const char* serverRing;
        int serverKey;
        const char* passphrase;
        const char* clientRing;
        int clientKey;
        const char* serverMessage; // "" when the server's half succeeds
        const char* clientMessage;
    } cases[] = {
        {"server key unknown to the client", "stranger", kStranger4, "", "ring", -1, "",
         "Unknown remote key"},
        {"client key unknown to the server", "stranger", -1, "", "ring", kRSA1,
         "Unknown remote key", "Incoming connection closed prematurely"},
        {"protected server key, wrong passphrase", "ring", kProtected, "wrong", "ring", -1,
         "Bad Passphrase", "Incoming connection closed prematurely"},
        {"server key without its secret part", "public", kPublicOnly5, "", "", -1, "Bad Passphrase",
         "Incoming connection closed prematurely"},
        {"client key without its secret part", "", -1, "", "public", kPublicOnly5, "",
         "Bad Passphrase"},
    };
    // A buffer that takes the whole record and one that takes none of its blocks.
    for (unsigned int size : {64u, 8u})
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name + std::string(", reads of ") + std::to_string(size));
            SPair pair = makePair();
            SSide server(c.serverRing, c.serverKey, c.passphrase);
            SSide client(c.clientRing, c.clientKey);
            handshake(pair, server, client);
            EXPECT_EQ(c.clientMessage, messageOf(client.error));
            if (*c.serverMessage == '\0') {
                // The server's half was done before the client gave up; the closed channel shows at
                // the first read.
                ASSERT_FALSE(server.error) << messageOf(server.error);
                char buffer[4];
                auto e = expectThrow<CZAFSecSocketException>([&] { pair.server->read(buffer, 4); });
                ASSERT_TRUE(e);
                EXPECT_EQ("Incoming connection closed prematurely", e->getMessage());
            } else {
                EXPECT_EQ(c.serverMessage, messageOf(server.error));
                EXPECT_FALSE(pair.server->isKeyed());
            }
            EXPECT_FALSE(pair.client->isKeyed());
            EXPECT_EQ(reinterpret_cast<ZAFKeyDBObjRef>(&client.remoteSet), client.remote);
        }
}

TEST_F(SecSocketHandshake, AServerWithoutKeyDatabaseIgnoresTheClientKeyAndItsSignature) {
    // The server neither looks the client's key up nor reads its signature message, which then
    // arrives where the first data record is expected.
    SPair pair = makePair();
    SSide server("ring", -1);
    SSide client("ring", kRSA1);
    handshake(pair, server, client, false);
    ASSERT_FALSE(server.error) << messageOf(server.error);
    ASSERT_FALSE(client.error) << messageOf(client.error);
    EXPECT_EQ(nullptr, server.remote);
    char buffer[4];
    auto e = expectThrow<CZAFSecSocketException>([&] { pair.server->read(buffer, 4); });
    ASSERT_TRUE(e);
    EXPECT_EQ("Bad packet type received", e->getMessage());
}

// ---- the library against a peer written by hand ----

TEST(SecSocketInterop, ServerKeysMatchTheDocumentedDerivationAndTheWireHidesThePlaintext) {
    CContext ctx;
    CContext serverCtx;
    SPair pair = makePair();
    std::unique_ptr<CZAFThrowable> error;
    std::thread server([&] {
        error = capture(
            [&] { pair.server->serverHandshake(nullptr, serverCtx.ref, nullptr, nullptr, ""); });
    });
    const int fd = pair.client->getDescriptor();
    SHandPeer peer{ctx.ref};
    rawWrite(fd, frame(ss::kTypeClientHello, peer.hello()));
    Bytes hello = rawReadMessage(fd);
    server.join();
    ASSERT_FALSE(error) << messageOf(error);
    ASSERT_GE(hello.size(), 5u + 26u);
    EXPECT_EQ(Bytes(8, 0), Bytes(hello.begin() + 5, hello.begin() + 13)); // no server key
    Bytes serverNonce(hello.begin() + 13, hello.begin() + 29);
    Bytes serverMPI(hello.begin() + 29, hello.end());
    ASSERT_EQ(serverMPI, mpiOf(Bytes(serverMPI.begin() + 2, serverMPI.end())));
    Bytes serverValue(serverMPI.begin() + 2, serverMPI.end());
    const SKeys keys = deriveByHand(ctx.ref, peer.secretWith(serverValue), peer.nonce, serverNonce);

    const Bytes secret = bytesOf("the password is swordfish, twice: swordfish");
    rawWrite(fd, sealByHand(ctx.ref, keys.toServer, 0, 0, secret));
    Bytes got(secret.size());
    ASSERT_TRUE(pair.server->readAll(got.data(), unsigned(got.size())));
    EXPECT_EQ(secret, got);

    ASSERT_EQ(int(secret.size()), pair.server->write(secret.data(), unsigned(secret.size())));
    ASSERT_EQ(2, pair.server->write("go", 2));
    Bytes wire = concat({rawReadMessage(fd), rawReadMessage(fd)});
    EXPECT_FALSE(contains(wire, bytesOf("swordfish")));
    Bytes first(wire.begin(), wire.begin() + 5 + 48 + 20);
    Bytes second(wire.begin() + 5 + 48 + 20, wire.end());
    Bytes plain = openByHand(ctx.ref, keys.toClient, 0, 0, first);
    EXPECT_EQ(secret, Bytes(plain.begin(), plain.begin() + long(secret.size())));
    EXPECT_EQ(concat({bytesOf("go"), Bytes(14, 14)}),
              openByHand(ctx.ref, keys.toClient, 3, 1, second));
}

TEST(SecSocketInterop, BadPublicValuesShortOrOversizedHellosAndWrongTypesAreRefused) {
    CContext ctx;
    SHandPeer peer{ctx.ref};
    const Bytes prefix = concat({peer.keyID, peer.nonce});
    auto withValue = [&](const Bytes& value) { return concat({prefix, mpiOf(value)}); };
    const Bytes two = concat({Bytes(191, 0), {2}});
    struct {
        const char* name;
        Bytes message;
        const char* text;
    } cases[] = {
        {"value 0", frame(1, withValue(Bytes(192, 0))), "Handshake protocol error"},
        {"value 1", frame(1, withValue(concat({Bytes(191, 0), {1}}))), "Handshake protocol error"},
        {"value 2, outside the subgroup", frame(1, withValue(two)), "Handshake protocol error"},
        {"value p-1", frame(1, withValue(minus(kP, 1))), "Handshake protocol error"},
        {"value p", frame(1, withValue(kP)), "Handshake protocol error"},
        {"more bits than the modulus", frame(1, concat({prefix, {0x06, 0x01}, Bytes(193, 0xFF)})),
         "Handshake protocol error"},
        {"payload of 25 bytes", frame(1, Bytes(25, 1)), "Handshake protocol error"},
        {"value shorter than announced", frame(1, concat({prefix, {0x06, 0x00}, Bytes(100, 0x80)})),
         "Handshake protocol error"},
        {"announced length above 4 KiB", {1, 0, 0, 0x10, 0x01}, "Handshake protocol error"},
        {"server hello sent to a server", frame(2, peer.hello()), "Bad packet type received"},
        {"silence, then close", Bytes(), "Incoming connection closed prematurely"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        SPair pair = makePair();
        if (!c.message.empty())
            rawWrite(pair.client->getDescriptor(), c.message);
        else
            pair.client->close();
        auto e =
            capture([&] { pair.server->serverHandshake(nullptr, ctx.ref, nullptr, nullptr, ""); });
        EXPECT_EQ(c.text, messageOf(e));
        EXPECT_EQ(0u, queued(pair.client->getDescriptor())); // nothing was answered
        // A failed handshake leaves no way to send anything in the clear.
        EXPECT_TRUE(pair.server->hasFailed());
        EXPECT_FALSE(pair.server->isKeyed());
        EXPECT_TRUE(expectThrow<CZAFSecSocketException>([&] { pair.server->write("pw", 2); }));
    }
    // The client side checks the server's value the same way.
    SPair pair = makePair();
    rawWrite(pair.server->getDescriptor(), frame(2, withValue(minus(kP, 1))));
    auto e = capture([&] { pair.client->clientHandshake(nullptr, ctx.ref, nullptr, nullptr, ""); });
    EXPECT_EQ("Handshake protocol error", messageOf(e));
}

TEST_F(SecSocketHandshake, SignaturesCoverTheDocumentedTranscriptAndADamagedOneIsRefused) {
    CContext ctx;
    ZAFKeyDBRef ring = openRing(ctx.ref, "ring", kZAFOpenKeyDBFileOptions_None);
    ZAFKeyID id;
    ZAFKeyDBObjRef key = nullptr;
    ASSERT_EQ(0, ZAFNewKeyID(s_ids[kRSA1].data(), 8, -1, &id));
    ASSERT_EQ(0, ZAFFindKeyByKeyID(ring, &id, &key));
    SHandPeer peer{ctx.ref};
    peer.keyID = s_ids[kRSA1];

    for (bool damaged : {false, true}) {
        SCOPED_TRACE(damaged ? "damaged" : "intact");
        // The hand-written server signs client nonce | server nonce | MPI(client) |
        // MPI(server) | client key ID.
        {
            SPair pair = makePair();
            SSide client("ring", kRSA2);
            std::thread side([&] { client.run(*pair.client, false); });
            const int fd = pair.server->getDescriptor();
            Bytes hello = rawReadMessage(fd);
            ASSERT_GE(hello.size(), 5u + 26u);
            Bytes clientID(hello.begin() + 5, hello.begin() + 13);
            Bytes clientNonce(hello.begin() + 13, hello.begin() + 29);
            Bytes clientMPI(hello.begin() + 29, hello.end());
            Bytes signature = signByHand(
                key,
                sha1(ctx.ref, concat({clientNonce, peer.nonce, clientMPI, peer.mpi(), clientID})));
            if (damaged)
                signature[signature.size() / 2] ^= 4;
            rawWrite(fd, frame(2, concat({peer.hello(), signature})));
            Bytes reply = rawReadMessage(fd); // the client's signature, or the close
            side.join();
            EXPECT_EQ(damaged ? "Handshake protocol error" : "<nothing thrown>",
                      messageOf(client.error));
            if (!damaged) {
                EXPECT_EQ(idText(kRSA1), client.remoteID());
            }
            EXPECT_EQ(damaged ? 0u : 1u, reply.empty() ? 0u : size_t(reply[0] == 3));
        }
        // The hand-written client signs client nonce | server nonce | MPI(client) |
        // MPI(server) | server key ID.
        {
            SPair pair = makePair();
            SSide server("ring", kDSA3);
            std::thread side([&] { server.run(*pair.server, true); });
            const int fd = pair.client->getDescriptor();
            rawWrite(fd, frame(1, peer.hello()));
            Bytes hello = rawReadMessage(fd);
            ASSERT_GE(hello.size(), 5u + 26u);
            Bytes serverID(hello.begin() + 5, hello.begin() + 13);
            Bytes serverNonce(hello.begin() + 13, hello.begin() + 29);
            const long valueLength = (long(hello[29]) * 256 + hello[30] + 7) / 8;
            Bytes serverMPI(hello.begin() + 29, hello.begin() + 31 + valueLength);
            EXPECT_EQ(s_ids[kDSA3], serverID);
            Bytes signature = signByHand(
                key,
                sha1(ctx.ref, concat({peer.nonce, serverNonce, peer.mpi(), serverMPI, serverID})));
            if (damaged)
                signature[3] ^= 1;
            rawWrite(fd, frame(3, signature));
            side.join();
            EXPECT_EQ(damaged ? "Handshake protocol error" : "<nothing thrown>",
                      messageOf(server.error));
            if (!damaged) {
                EXPECT_EQ(idText(kRSA1), server.remoteID());
            }
        }
    }
    ZAFFreeKeyDB(ring);
}

// ---- time limits ----

TEST(SecSocketTimeLimit, ASilentOrDrippingClientCostsOnlyItsOwnConnection) {
    CContext ctx;
    CContext clientCtx;
    CZAFSecServerSocket listener;
    listener.bind(0);
    listener.listen();
    listener.setHandshakeTimeout(300);
    const uint16_t port = listener.getLocalPort();

    std::unique_ptr<CZAFSocket> silent(CZAFSocket::connectTo("127.0.0.1", port));
    std::unique_ptr<CZAFSecSocket> first(listener.accept());
    EXPECT_EQ(300u, first->getHandshakeTimeout());
    auto start = steady_clock::now();
    auto e = capture([&] { first->serverHandshake(nullptr, ctx.ref, nullptr, nullptr, ""); });
    EXPECT_EQ("Handshake timed out", messageOf(e));
    EXPECT_GE(steady_clock::now() - start, milliseconds(250));
    EXPECT_LT(steady_clock::now() - start, milliseconds(5000));

    // Bytes that keep trickling in do not extend the limit.
    std::unique_ptr<CZAFSocket> dripping(CZAFSocket::connectTo("127.0.0.1", port));
    std::unique_ptr<CZAFSecSocket> second(listener.accept());
    std::atomic<bool> stop{false};
    std::thread drip([&] {
        const Bytes hello = frame(1, SHandPeer{clientCtx.ref}.hello());
        for (size_t i = 0; i < hello.size() && !stop; ++i) {
            ::send(dripping->getDescriptor(), &hello[i], 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(milliseconds(20));
        }
    });
    start = steady_clock::now();
    e = capture([&] { second->serverHandshake(nullptr, ctx.ref, nullptr, nullptr, ""); });
    stop = true;
    drip.join();
    EXPECT_EQ("Handshake timed out", messageOf(e));
    EXPECT_LT(steady_clock::now() - start, milliseconds(3000));

    // The same listener then serves a well-behaved client; the limit ends with the handshake.
    std::unique_ptr<CZAFSecSocket> client(CZAFSecSocket::connectTo("127.0.0.1", port));
    std::unique_ptr<CZAFSecSocket> third(listener.accept());
    boundBlocking(third->getDescriptor());
    std::thread clientSide([&] {
        auto failure = capture([&] {
            client->clientHandshake(nullptr, clientCtx.ref, nullptr, nullptr, "");
            std::this_thread::sleep_for(milliseconds(450)); // longer than the handshake limit
            client->writeAll("late", 4);
        });
        EXPECT_FALSE(failure) << messageOf(failure);
    });
    e = capture([&] { third->serverHandshake(nullptr, ctx.ref, nullptr, nullptr, ""); });
    EXPECT_FALSE(e) << messageOf(e);
    char buffer[4];
    e = capture([&] { EXPECT_TRUE(third->readAll(buffer, 4)); });
    EXPECT_FALSE(e) << messageOf(e);
    clientSide.join();
    EXPECT_EQ(0, std::memcmp(buffer, "late", 4));
}

TEST(SecSocket, MisuseIsAnInternalError) {
    CContext ctx;
    SPair pair = makePair();
    keyPair(pair, ctx.ref);
    char buffer[4];
    for (auto& call : std::vector<std::function<void()>>{
             [&] { pair.client->write(nullptr, 4); }, [&] { pair.client->write(buffer, 0); },
             [&] { pair.client->read(nullptr, 4); }, [&] { pair.client->read(buffer, 0); },
             [&] { pair.client->clientHandshake(nullptr, ctx.ref, nullptr, nullptr, ""); }}) {
        auto e = expectThrow<CZAFInternalError>(call);
        ASSERT_TRUE(e);
        EXPECT_EQ("secsocket", e->getFile());
    }
    // None of these ends the channel.
    EXPECT_FALSE(pair.client->hasFailed());
}
