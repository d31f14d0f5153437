// Tests of the secure channel's counter mode, its records on the wire, time limits and misuse.
// ctest-labels: threaded
#include "secsocket_test_util.h"

using namespace sstest;

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
