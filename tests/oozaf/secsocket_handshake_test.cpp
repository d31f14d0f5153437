// Tests of the secure channel's handshake: both halves with and without keys, a hand-written peer
// that follows the documented protocol, signatures over the transcript, and every failure.
// ctest-labels: threaded
#include "secsocket_test_util.h"

using namespace sstest;

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

// A server that does not hold its key names it and has it signed elsewhere (the listener's
// login processes ask the privileged process): the client verifies as for a server that holds
// the key; a signature by another key, an empty one, or a signer that fails ends the handshake.
TEST_F(SecSocketHandshake, ASignerStandsInForAKeyTheServerDoesNotHold) {
    SSide holder("ring", kRSA1);
    SSide other("ring", kRSA2);
    const struct {
        const char* name;
        ZAFKeyDBObjRef signingKey;
        bool fails;
        const char* clientMessage;
        const char* serverMessage;
    } cases[] = {
        {"the named key signs", holder.key, false, "<nothing thrown>", "<nothing thrown>"},
        {"another key signs", other.key, false, "Handshake protocol error", "<nothing thrown>"},
        {"no signature", nullptr, false, "<nothing thrown>", "Handshake protocol error"},
        {"the signer fails", nullptr, true, "<nothing thrown>", "Signer unavailable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SPair pair = makePair();
        SSide client("ring", -1);
        CContext serverContext;
        std::unique_ptr<CZAFThrowable> serverError;
        size_t signed_ = 0;
        std::thread side([&] {
            serverError = capture([&] {
                pair.server->serverHandshake(
                    serverContext.ref, s_ids[kRSA1].data(),
                    [&](const unsigned char* digest, size_t length) {
                        ++signed_;
                        if (c.fails)
                            throw new CZAFSecSocketException("Signer unavailable");
                        if (c.signingKey == nullptr)
                            return Bytes();
                        return signByHand(c.signingKey, Bytes(digest, digest + length));
                    });
            });
            if (serverError)
                pair.server->close();
        });
        client.run(*pair.client, false);
        side.join();
        EXPECT_EQ(1u, signed_);
        EXPECT_EQ(c.serverMessage, messageOf(serverError));
        if (std::string(c.serverMessage) == "<nothing thrown>") {
            EXPECT_EQ(c.clientMessage, messageOf(client.error));
        } else {
            EXPECT_TRUE(client.error);
        }
        if (!client.error && !serverError) {
            EXPECT_EQ(idText(kRSA1), client.remoteID());
            expectDataFlows(pair);
        }
    }
}

// Plaintext of a record that did not fit the reader's buffer waits in the socket, where a
// caller polling the descriptor cannot see it.
TEST_F(SecSocketHandshake, PlaintextLeftOverFromARecordIsReportedAsPending) {
    SPair pair = makePair();
    SSide server("", -1);
    SSide client("", -1);
    handshake(pair, server, client);
    ASSERT_FALSE(server.error || client.error);
    EXPECT_FALSE(pair.server->hasPendingInput());
    ASSERT_EQ(40, pair.client->write("0123456789012345678901234567890123456789", 40));
    char buffer[40] = {0};
    ASSERT_EQ(10, pair.server->read(buffer, 10));
    EXPECT_TRUE(pair.server->hasPendingInput());
    EXPECT_EQ(0u, queued(pair.server->getDescriptor()));
    size_t got = 10;
    while (pair.server->hasPendingInput())
        got += static_cast<size_t>(pair.server->read(buffer + got, sizeof buffer - got));
    EXPECT_EQ(40u, got);
    EXPECT_EQ(0, std::memcmp(buffer, "0123456789012345678901234567890123456789", 40));
}
