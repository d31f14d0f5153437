// The message layer's building blocks against independent references: CFB against Botan's
// mode, our armour against the key store's reader, partial-length framing both ways, the
// hasher on its second thread against plain hashing, text canonicalisation and line reading.
// ctest-labels: threaded
#include "keystore/keystore_internal.h"
#include "messages/message_armor.h"
#include "messages/message_cfb.h"
#include "messages/message_stream.h"

#include <botan/cipher_mode.h>
#include <botan/hash.h>

#include <gtest/gtest.h>
#include <random>

using namespace zaf::msg;

namespace {

std::vector<uint8_t> randomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::vector<uint8_t> out(n);
    for (uint8_t& b : out)
        b = uint8_t(gen());
    return out;
}

// Runs `f(offset, size)` over [0, total) in pieces of random sizes (often 0 or 1 byte, sometimes
// thousands), so every block position is met.
template <class F> void inPieces(size_t total, uint32_t seed, F&& f) {
    std::mt19937 gen(seed);
    size_t at = 0;
    while (at < total) {
        size_t kind = gen() % 4;
        size_t n = kind == 0 ? gen() % 3 : kind == 1 ? gen() % 40 : gen() % 70000;
        n = std::min(n, total - at);
        f(at, n);
        at += n;
    }
}

ZAFError codeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const Failure& e) {
        return e.code();
    }
    return kZAFError_NoErr;
}

TEST(MessageCfb, MatchesBotansModeInAnyPiecesBothWays) {
    struct Alg {
        uint8_t number;
        const char* name;
        size_t key, block;
    };
    const Alg algs[] = {{1, "IDEA", 16, 8},     {2, "TripleDES", 24, 8}, {3, "CAST-128", 16, 8},
                        {4, "Blowfish", 16, 8}, {7, "AES-128", 16, 16},  {8, "AES-192", 24, 16},
                        {9, "AES-256", 32, 16}, {10, "Twofish", 32, 16}};
    for (const Alg& a : algs) {
        SCOPED_TRACE(a.name);
        std::vector<uint8_t> key = randomBytes(a.key, a.number);
        std::vector<uint8_t> iv = randomBytes(a.block, a.number + 100);
        std::vector<uint8_t> plain = randomBytes(150000 + a.number, a.number + 200);
        auto mode = Botan::Cipher_Mode::create(std::string(a.name) + "/CFB", Botan::ENCRYPTION);
        ASSERT_TRUE(mode);
        mode->set_key(key);
        mode->start(iv);
        Botan::secure_vector<uint8_t> reference(plain.begin(), plain.end());
        mode->finish(reference);

        // AES encrypts whole blocks with the processor's instructions when it has them; both
        // ways must give the reference's bytes, in pieces that start and end anywhere in a block.
        bool aes = a.number >= 7 && a.number <= 9;
        std::vector<uint8_t> ours(plain.size());
        for (bool instructions : {false, true}) {
            Cfb enc(a.number, key.data(), key.size(), instructions);
#if defined(__x86_64__)
            EXPECT_EQ(aes && instructions && __builtin_cpu_supports("aes"),
                      enc.usesAesInstructions());
#endif
            enc.resync(iv.data());
            std::fill(ours.begin(), ours.end(), 0);
            inPieces(plain.size(), instructions ? 1 : 4, [&](size_t at, size_t n) {
                enc.encrypt(plain.data() + at, ours.data() + at, n);
            });
            ASSERT_TRUE(std::equal(ours.begin(), ours.end(), reference.begin())) << instructions;
            // In place, and after a resynchronisation in the middle of a block.
            std::vector<uint8_t> inPlace = plain;
            enc.resync(iv.data());
            enc.encrypt(inPlace.data(), inPlace.data(), 5);
            enc.encrypt(inPlace.data() + 5, inPlace.data() + 5, inPlace.size() - 5);
            ASSERT_EQ(ours, inPlace) << instructions;
            if (!aes)
                break;
        }

        // Decryption out of place (the batched path) and in place.
        Cfb dec(a.number, key.data(), key.size());
        dec.resync(iv.data());
        std::vector<uint8_t> back(plain.size());
        inPieces(plain.size(), 2,
                 [&](size_t at, size_t n) { dec.decrypt(ours.data() + at, back.data() + at, n); });
        EXPECT_EQ(plain, back);
        Cfb dec2(a.number, key.data(), key.size());
        dec2.resync(iv.data());
        inPieces(plain.size(), 3,
                 [&](size_t at, size_t n) { dec2.decrypt(ours.data() + at, ours.data() + at, n); });
        EXPECT_EQ(plain, ours);
    }
    uint8_t key[16] = {};
    EXPECT_EQ(kZAFError_UnsupportedCipher, codeOf([&] { Cfb c(9, key, 16); }));
    EXPECT_EQ(kZAFError_UnsupportedCipher, codeOf([&] { Cfb c(5, key, 16); }));
}

// A stream over a memory block, handed out in runs of fixed size to exercise boundaries.
class Runs final : public InStream {
public:
    Runs(const std::string& data, size_t run) : m_data(data), m_run(run) {}

protected:
    ByteView fill() override {
        size_t n = std::min(m_run, m_data.size() - m_pos);
        ByteView v{reinterpret_cast<const uint8_t*>(m_data.data()) + m_pos, n};
        m_pos += n;
        return v;
    }

private:
    const std::string& m_data;
    size_t m_run;
    size_t m_pos = 0;
};

class Collect final : public OutStream {
public:
    void write(const uint8_t* data, size_t size) override {
        bytes.append(reinterpret_cast<const char*>(data), size);
    }
    void finish() override {}
    std::string bytes;
};

TEST(MessageArmor, OurArmourReadsWithTheKeyStoresReaderAndBack) {
    for (size_t size : {0u, 1u, 2u, 3u, 47u, 48u, 49u, 100000u}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> data = randomBytes(size, uint32_t(size));
        Collect out;
        ArmorWriter w(out, "ZAF MESSAGE", {{"Version", "V 1"}, {"Comment", "c"}});
        inPieces(data.size(), 4, [&](size_t at, size_t n) { w.write(data.data() + at, n); });
        w.finish();
        std::vector<std::string> blocks;
        ASSERT_TRUE(zaf::dearmor(out.bytes, blocks));
        ASSERT_EQ(1u, blocks.size());
        EXPECT_EQ(std::string(data.begin(), data.end()), blocks[0]);
        EXPECT_EQ(0u, out.bytes.find("-----BEGIN ZAF MESSAGE-----\nVersion: V 1\nComment: c\n\n"));

        // Our reader, the BEGIN line already consumed, in runs of 7 bytes.
        std::string body = out.bytes.substr(out.bytes.find('\n') + 1);
        Runs runs(body, 7);
        std::vector<std::string> headers;
        ArmorReader r(runs, "ZAF MESSAGE", nullptr, &headers);
        std::string back;
        for (ByteView v = r.next(); !v.empty(); v = r.next())
            back.append(reinterpret_cast<const char*>(v.data), v.size);
        EXPECT_EQ(std::string(data.begin(), data.end()), back);
        EXPECT_EQ((std::vector<std::string>{"Version: V 1", "Comment: c"}), headers);
    }
}

TEST(MessageArmor, DamagedArmourFailsWithItsCode) {
    std::string data = "some bytes to armour, long enough for two lines of Base64 text here.";
    Collect out;
    ArmorWriter w(out, "X", {});
    w.put(data);
    w.finish();
    std::string body = out.bytes.substr(out.bytes.find('\n') + 1);
    auto readAllOf = [](const std::string& text, const std::string& label) {
        return codeOf([&] {
            Runs runs(text, 1000);
            ArmorReader r(runs, label, nullptr);
            r.skipAll();
        });
    };
    EXPECT_EQ(kZAFError_NoErr, readAllOf(body, "X"));
    std::string flipped = body;
    flipped[4] = flipped[4] == 'A' ? 'B' : 'A'; // a data digit: the checksum no longer fits
    EXPECT_EQ(kZAFError_CorruptData, readAllOf(flipped, "X"));
    EXPECT_EQ(kZAFError_CorruptData, readAllOf(body, "Y")); // END line of another label
    EXPECT_EQ(kZAFError_Truncated, readAllOf(body.substr(0, body.find("-----END")), "X"));
    std::string bad = body;
    bad[3] = '*';
    EXPECT_EQ(kZAFError_CorruptData, readAllOf(bad, "X"));
    std::string longLine(size_t(kZAFMessageMaxLineLength) + 10, 'A');
    EXPECT_EQ(kZAFError_TooLarge, readAllOf("\n" + longLine + "\n-----END X-----\n", "X"));
}

TEST(MessageFraming, PartialLengthsRoundTripAndShortPacketsStayDefinite) {
    for (size_t size : {0u, 100u, 511u, 512u, 513u, 70000u, 1000000u}) {
        SCOPED_TRACE(size);
        std::vector<uint8_t> data = randomBytes(size, 9);
        Collect out;
        PartialPacketWriter w(out, 11);
        inPieces(data.size(), 5, [&](size_t at, size_t n) { w.write(data.data() + at, n); });
        w.finish();
        zaf::rfc4880::RawPacket rp;
        std::string scratch;
        ASSERT_TRUE(zaf::rfc4880::readPacket(reinterpret_cast<const uint8_t*>(out.bytes.data()),
                                             out.bytes.size(), 0, rp, scratch) ||
                    size > zaf::rfc4880::kMaxPacketBody);
        EXPECT_EQ(size >= 512, rp.partial);
        EXPECT_EQ(out.bytes.size(), rp.total);
        EXPECT_EQ(std::string(data.begin(), data.end()), std::string(rp.body));

        Runs runs(out.bytes, 333);
        PacketHeader h;
        ASSERT_TRUE(readPacketHeader(runs, h));
        EXPECT_EQ(11, h.tag);
        PacketBody body(runs, h);
        std::string back;
        for (ByteView v = body.next(); !v.empty(); v = body.next())
            back.append(reinterpret_cast<const char*>(v.data), v.size);
        EXPECT_EQ(std::string(data.begin(), data.end()), back);
        EXPECT_FALSE(readPacketHeader(runs, h));
        if (size >= 100) {
            std::string cut = out.bytes.substr(0, out.bytes.size() - 50);
            Runs short_(cut, 333);
            ASSERT_TRUE(readPacketHeader(short_, h));
            EXPECT_EQ(kZAFError_Truncated, codeOf([&] { PacketBody(short_, h).skipAll(); }));
        }
    }
}

std::vector<uint8_t> digestOf(const char* name, const std::string& data) {
    auto h = Botan::HashFunction::create(name);
    h->update(data);
    auto d = h->final();
    return std::vector<uint8_t>(d.begin(), d.end());
}

TEST(MessageHasher, SecondThreadGivesThePlainDigestsAndFreesBuffersInOrder) {
    std::vector<uint8_t> data = randomBytes(3u << 20, 11);
    Hasher hasher;
    hasher.setAsyncThreshold(0);
    size_t sha1 = hasher.addLane(2, false);
    size_t sha256 = hasher.addLane(8, false);
    // Two buffers in turn, as the streams use them; each is rewritten only after waitFor().
    std::vector<uint8_t> buffers[2] = {std::vector<uint8_t>(100000), std::vector<uint8_t>(100000)};
    size_t at = 0;
    for (int turn = 0; at < data.size(); turn ^= 1) {
        std::vector<uint8_t>& b = buffers[turn];
        hasher.waitFor(b.data(), b.size());
        size_t n = std::min(b.size(), data.size() - at);
        std::copy(data.begin() + long(at), data.begin() + long(at + n), b.begin());
        hasher.submit((1u << sha1) | (1u << sha256), b.data(), n);
        hasher.submit(1u << sha1, reinterpret_cast<const uint8_t*>("x"), 1); // copied
        at += n;
    }
    hasher.drain();
    std::string plain(data.begin(), data.end()), withX;
    for (size_t i = 0; i < plain.size(); i += 100000)
        withX += plain.substr(i, 100000) + "x";
    EXPECT_EQ(digestOf("SHA-1", withX), hasher.lane(sha1).finish(nullptr, 0));
    EXPECT_EQ(digestOf("SHA-256", plain), hasher.lane(sha256).finish(nullptr, 0));
    // Finishing works on a copy: the lane goes on.
    const uint8_t tail[] = {'y'};
    EXPECT_EQ(digestOf("SHA-256", plain + "y"), hasher.lane(sha256).finish(tail, 1));
}

TEST(MessageHasher, TextLanesMakeCrLfWhereverTheInputIsCut) {
    const std::string text = "a\nb\r\n\nc\r\r\nd\n";
    const std::string canonical = "a\r\nb\r\n\r\nc\r\r\nd\r\n";
    for (size_t cut1 = 0; cut1 <= text.size(); ++cut1)
        for (size_t cut2 = cut1; cut2 <= text.size(); ++cut2) {
            HashLane lane(8, true);
            auto p = reinterpret_cast<const uint8_t*>(text.data());
            lane.update(p, cut1);
            lane.update(p + cut1, cut2 - cut1);
            lane.update(p + cut2, text.size() - cut2);
            ASSERT_EQ(digestOf("SHA-256", canonical), lane.finish(nullptr, 0))
                << cut1 << " " << cut2;
        }
    EXPECT_EQ(kZAFError_UnsupportedAlg, codeOf([] { HashLane(99, false); }));
}

TEST(MessageLines, LinesAcrossRunsKeepTheirCarriageReturns) {
    std::string text = "one\r\ntwo\n\nthree without end";
    for (size_t run = 1; run <= text.size(); ++run) {
        Runs runs(text, run);
        LineReader lines(runs);
        std::vector<std::string> got;
        std::vector<bool> ends;
        std::string_view line;
        bool newline = false;
        while (lines.next(line, newline)) {
            got.emplace_back(line);
            ends.push_back(newline);
        }
        EXPECT_EQ((std::vector<std::string>{"one\r", "two", "", "three without end"}), got);
        EXPECT_EQ((std::vector<bool>{true, true, true, false}), ends);
    }
}

} // namespace
