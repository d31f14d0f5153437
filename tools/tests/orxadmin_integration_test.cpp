// orxadmin against a real orxgui on loopback, logged in as a real throw-away Unix account (root
// only; skipped otherwise): login, keys table, configuration round trip, export and import, what
// an eavesdropper sees, and the login-to-first-reply latency.
// ctest-labels: threaded
#include "adminrequests.h"
#include "listener_harness.h"
#include "orxadmin_process.h"
#include "orxadmin_run.h"
#include "test_account.h"

#include <oozaf/secsocket.h>
#include <zaf/zaf.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <sstream>
#include <thread>

using namespace vornadmin;

namespace {

const std::string kBenchRing = std::string(ORX_SHARED_DIR) + "/bench/pubring-1k.pkr";

// Forwards one connection between the console and the daemon and keeps every byte it sees.
class CRecordingRelay {
public:
    explicit CRecordingRelay(uint16_t target) : m_target(target) {
        m_listener.bind(0);
        m_listener.listen();
        m_thread = std::thread([this] { relay(); });
    }
    ~CRecordingRelay() {
        if (m_thread.joinable())
            m_thread.join();
    }
    uint16_t port() const { return m_listener.getLocalPort(); }
    std::string seen() {
        if (m_thread.joinable())
            m_thread.join();
        return m_seen;
    }

private:
    void relay() {
        try {
            std::unique_ptr<oozaf::CZAFSocket> inside(m_listener.accept());
            std::unique_ptr<oozaf::CZAFSocket> outside(
                oozaf::CZAFSocket::connectTo("127.0.0.1", m_target));
            pollfd fds[2] = {{inside->getDescriptor(), POLLIN, 0},
                             {outside->getDescriptor(), POLLIN, 0}};
            oozaf::CZAFSocket* ends[2] = {inside.get(), outside.get()};
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
            while (std::chrono::steady_clock::now() < deadline) {
                if (::poll(fds, 2, 1000) <= 0)
                    continue;
                for (int i = 0; i < 2; ++i) {
                    if (fds[i].revents == 0)
                        continue;
                    char buffer[65536];
                    int n = ends[i]->read(buffer, sizeof buffer);
                    if (n <= 0)
                        return;
                    m_seen.append(buffer, size_t(n));
                    ends[1 - i]->writeAll(buffer, unsigned(n));
                }
            }
        } catch (oozaf::CZAFThrowable* e) {
            delete e;
        }
    }

    oozaf::CZAFServerSocket m_listener;
    uint16_t m_target;
    std::thread m_thread;
    std::string m_seen;
};

// A relay that terminates the secure channel itself: it answers the console as a listener would
// (anonymous handshake, or one signed with a key of its own), logs in to the real listener on
// the console's behalf and passes the frames on, reading everything in clear. One connection.
class CTerminatingRelay {
public:
    // `keyFolder` empty: the relay does not sign its handshake.
    CTerminatingRelay(uint16_t target, std::string keyFolder)
        : m_target(target), m_keyFolder(std::move(keyFolder)) {
        m_listener.bind(0);
        m_listener.listen();
        m_thread = std::thread([this] { relay(); });
    }
    ~CTerminatingRelay() {
        ::shutdown(m_listener.getDescriptor(), SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
    }
    uint16_t port() const { return m_listener.getLocalPort(); }
    std::string seen() {
        if (m_thread.joinable())
            m_thread.join();
        return m_seen;
    }

private:
    static bool readFrame(oozaf::CZAFSocket& socket, std::string& frame) {
        unsigned char header[4];
        if (!socket.readAll(header, 4))
            return false;
        const uint32_t length = (uint32_t(header[0]) << 24) | (uint32_t(header[1]) << 16) |
                                (uint32_t(header[2]) << 8) | header[3];
        if (length > (1u << 20))
            return false;
        frame.assign(length, '\0');
        return length == 0 || socket.readAll(&frame[0], length);
    }

    void relay() {
        ZAFContextRef context = nullptr;
        ZAFKeyDBRef ring = nullptr;
        ZAFFileSpecRef files[2] = {nullptr, nullptr};
        try {
            std::unique_ptr<oozaf::CZAFSecSocket> console(m_listener.accept());
            const unsigned char first = 1;
            console->oozaf::CZAFSocket::write(&first, 1);
            if (ZAFsdkInit(kZAFFlags_LocalMode) != 0 || ZAFNewContext(&context) != 0)
                return;
            ZAFKeyDBObjRef key = nullptr;
            if (!m_keyFolder.empty()) {
                ZAFNewFileSpecFromFullPath(context, (m_keyFolder + "/hostkey.pkr").c_str(),
                                           &files[0]);
                ZAFNewFileSpecFromFullPath(context, (m_keyFolder + "/hostkey.skr").c_str(),
                                           &files[1]);
                ZAFOpenKeyDBFile(context, 0, files[0], files[1], &ring);
                ZAFKeyIterRef iter = nullptr;
                ZAFNewKeyIterFromKeyDB(ring, &iter);
                ZAFKeyIterNextKeyDBObj(iter, kZAFKeyDBObjType_Key, &key);
                ZAFFreeKeyIter(iter);
            }
            console->serverHandshake(nullptr, context, nullptr, key, "");
            SConnectOptions options;
            options.port = m_target;
            std::unique_ptr<CAdminConnection> listener = CAdminConnection::connect(options);
            std::string frame;
            while (readFrame(*console, frame) && !frame.empty()) {
                m_seen += frame;
                listener->sendFrame(frame);
                std::string answer;
                if (!listener->readFrame(answer))
                    break;
                const std::string length = CAdminConnection::encodeLength(uint32_t(answer.size()));
                console->writeAll((length + answer).data(),
                                  unsigned(length.size() + answer.size()));
            }
        } catch (oozaf::CZAFThrowable* e) {
            delete e;
        }
        if (ring != nullptr)
            ZAFFreeKeyDB(ring);
        for (ZAFFileSpecRef file : files)
            if (file != nullptr)
                ZAFFreeFileSpec(file);
        if (context != nullptr) {
            ZAFFreeContext(context);
            ZAFsdkCleanup();
        }
    }

    oozaf::CZAFSecServerSocket m_listener;
    uint16_t m_target;
    std::string m_keyFolder;
    std::thread m_thread;
    std::string m_seen;
};

class OrxadminIntegration : public ::testing::Test {
protected:
    void SetUp() override {
        m_account = TestAccount::create("orxa");
        if (!m_account)
            GTEST_SKIP() << TestAccount::skipReason();
    }

    bool startListener(bool secure = true) {
        orxtest::SListenerOptions options;
        options.secure = secure;
        m_listener = std::make_unique<orxtest::CListenerProcess>(options);
        return m_listener->start();
    }

    std::vector<std::string> base(uint16_t port = 0) const {
        return {"--port",
                std::to_string(port != 0 ? port : m_listener->port()),
                "--user",
                m_account->name(),
                "--timeout",
                "60",
                "--known-hosts",
                m_knownHosts.file("known_hosts"),
                "--accept-new-host-key"};
    }

    SResult console(std::vector<std::string> args, uint16_t port = 0) {
        std::vector<std::string> all = base(port);
        all.insert(all.end(), args.begin(), args.end());
        return runConsole(all, m_account->password());
    }

    // Imports the 1k bench ring; false when the listener does not serve imports.
    bool importBenchRing() {
        SResult imported = console({"--allow-plain", "import", kBenchRing});
        if (imported.status == 8 &&
            imported.err.find("is not available in this listener") != std::string::npos)
            return false;
        EXPECT_EQ(0, imported.status) << imported.err;
        return true;
    }

    // Records in the console's known hosts that the listener reached at `port` has the key in
    // `folder` (the test host key by default), as a console that met it before would have.
    void pin(uint16_t port,
             const std::string& folder = std::string(ORX_TEST_DATA_DIR) + "/hostkey") {
        ASSERT_EQ(0, ZAFsdkInit(kZAFFlags_LocalMode));
        ZAFContextRef context = nullptr;
        ASSERT_EQ(0, ZAFNewContext(&context));
        SHostKey key;
        key.listener = "127.0.0.1:" + std::to_string(port);
        key.publicKey = orxtest::readFile(folder + "/hostkey.pkr");
        ZAFFreeKeyDB(gLoadHostKey(context, key.publicKey, key.fingerprint));
        ZAFFreeContext(context);
        ZAFsdkCleanup();
        CKnownHosts(m_knownHosts.file("known_hosts")).add(key);
    }

    std::unique_ptr<TestAccount> m_account;
    std::unique_ptr<orxtest::CListenerProcess> m_listener;
    ZafTempDir m_knownHosts;
};

const char* const kNoImport = "this listener does not serve key imports";

} // namespace

TEST_F(OrxadminIntegration, LogsInAndRefusesAWrongPassword) {
    ASSERT_TRUE(startListener());
    auto connection = m_listener->connect();
    ASSERT_TRUE(connection->isSecure());
    SReply login = connection->login(m_account->name(), m_account->password());
    ASSERT_EQ(0, login.rc) << login.xml;
    ASSERT_NE(nullptr, login.body());
    EXPECT_EQ("info", login.body()->name);
    EXPECT_EQ("UNIX", login.body()->get("platform"));

    std::vector<std::string> args = base();
    args.push_back("keys");
    SResult refused = runConsole(args, "not the password");
    EXPECT_EQ(43, refused.status) << refused.err;
    EXPECT_NE(std::string::npos, refused.err.find("refused (rc 3)")) << refused.err;

    SResult plainRequired = console({"--require-secure", "keys"});
    EXPECT_EQ(0, plainRequired.status) << plainRequired.err;
}

TEST_F(OrxadminIntegration, ImportsARealKeyRingAndListsItsKeys) {
    ASSERT_TRUE(startListener());
    SResult empty = console({"keys"});
    ASSERT_EQ(0, empty.status) << empty.err;
    EXPECT_EQ("No keys.\n", empty.out);

    SResult imported = console({"import", kBenchRing});
    if (imported.err.find("is not available in this listener") != std::string::npos)
        GTEST_SKIP() << kNoImport;
    ASSERT_EQ(0, imported.status) << imported.err;
    EXPECT_EQ("Keys imported.\n1000 keys read: 1000 new, 0 changed, 0 unchanged.\n", imported.out);
    SResult again = console({"import", kBenchRing});
    EXPECT_EQ(0, again.status) << again.err;
    EXPECT_EQ("Nothing new to import: the key rings already hold it.\n"
              "1000 keys read: 0 new, 0 changed, 1000 unchanged.\n",
              again.out);

    SResult keys = console({"keys"});
    ASSERT_EQ(0, keys.status) << keys.err;
    EXPECT_NE(std::string::npos, keys.out.find("Bench User 00005 <bench00005@example.org>"));
    EXPECT_GE(orxtest::countOccurrences(keys.out, "Key ID  "), 1000u);

    SResult xml = console({"--xml", "keys"});
    ASSERT_EQ(0, xml.status);
    SReply reply = gParseReply(xml.out);
    EXPECT_EQ(orxtest::countOccurrences(keys.out, "\nKey ID  ") + 1,
              reply.body()->childrenNamed("key").size());
}

TEST_F(OrxadminIntegration, ExportRemoveAndImportAKey) {
    ASSERT_TRUE(startListener());
    if (!importBenchRing())
        GTEST_SKIP() << kNoImport;
    SResult xml = console({"--xml", "keys"});
    SReply reply = gParseReply(xml.out);
    std::vector<const SXmlElement*> keys = reply.body()->childrenNamed("key");
    ASSERT_FALSE(keys.empty());
    const std::string id = keys[3]->get("id");
    const size_t count = keys.size();

    ZafTempDir files;
    ::chmod(files.path().c_str(), 0755);
    SResult exported = console({"export", "--id", id, "-o", files.file("key.asc")});
    ASSERT_EQ(0, exported.status) << exported.err;
    const std::string armored = orxtest::readFile(files.file("key.asc"));
    EXPECT_EQ(0u, armored.find("-----BEGIN ZAF PUBLIC KEY BLOCK-----")) << armored;

    ASSERT_EQ(0, console({"key-remove", "--id", id, "--force"}).status);
    SResult missing = console({"export", "--id", id, "-o", files.file("gone.asc")});
    EXPECT_EQ(eExitNoKey, missing.status) << missing.err;
    EXPECT_EQ(count - 1,
              gParseReply(console({"--xml", "keys"}).out).body()->childrenNamed("key").size());

    SResult imported = console({"import", files.file("key.asc")});
    ASSERT_EQ(0, imported.status) << imported.err;
    EXPECT_EQ("Keys imported.\n1 keys read: 1 new, 0 changed, 0 unchanged.\n", imported.out);
    EXPECT_EQ(count,
              gParseReply(console({"--xml", "keys"}).out).body()->childrenNamed("key").size());
    SResult binary = console({"export", "--id", id, "--binary", "-o", files.file("key.bin")});
    ASSERT_EQ(0, binary.status) << binary.err;
    EXPECT_EQ(0x99, static_cast<unsigned char>(orxtest::readFile(files.file("key.bin")).at(0)));
}

TEST_F(OrxadminIntegration, ConfigurationRoundTripKeepsValuesWithBlanks) {
    ASSERT_TRUE(startListener());
    ZafTempDir files;
    SResult got = console({"conf", "get", files.file("conf.xml")});
    ASSERT_EQ(0, got.status) << got.err;
    SXmlElement configuration = gParseXml(orxtest::readFile(files.file("conf.xml")));
    ASSERT_EQ("configuration", configuration.name);
    SXmlElement* values = nullptr;
    for (SXmlElement& child : configuration.children)
        if (child.name == "values")
            values = &child;
    ASSERT_NE(nullptr, values);
    SXmlElement comment("Comment");
    comment.set("type", "string");
    comment.text = "kept with blanks";
    values->add(comment);
    gWriteFile(files.file("changed.xml"), gWriteXml(configuration), 0644);

    SResult set = console({"conf", "set", files.file("changed.xml")});
    ASSERT_EQ(0, set.status) << set.err;
    SResult listing = console({"conf", "get"});
    ASSERT_EQ(0, listing.status) << listing.err;
    EXPECT_NE(std::string::npos, listing.out.find("kept with blanks")) << listing.out;

    SXmlElement bad = configuration;
    for (SXmlElement& child : bad.children)
        if (child.name == "values")
            child.add(SXmlElement("NoSuchDirective"));
    gWriteFile(files.file("bad.xml"), gWriteXml(bad), 0644);
    SResult refused = console({"conf", "set", files.file("bad.xml")});
    EXPECT_EQ(8, refused.status) << refused.err;
    EXPECT_EQ(listing.out, console({"conf", "get"}).out);
}

TEST_F(OrxadminIntegration, AnEavesdropperSeesNeitherPasswordNorKeys) {
    ASSERT_TRUE(startListener());
    ZafTempDir files;
    {
        // Login and a configuration read: the password, the user name and the XML stay hidden.
        CRecordingRelay relay(m_listener->port());
        pin(relay.port());
        SResult got = console({"--require-secure", "conf", "get"}, relay.port());
        ASSERT_EQ(0, got.status) << got.err;
        const std::string wire = relay.seen();
        EXPECT_GT(wire.size(), 500u);
        EXPECT_EQ(std::string::npos, wire.find(m_account->password()));
        EXPECT_EQ(std::string::npos, wire.find(m_account->name()));
        EXPECT_EQ(std::string::npos, wire.find("<command"));
        EXPECT_EQ(std::string::npos, wire.find("<response"));
    }
    const bool canImport = importBenchRing();
    std::string id;
    std::string key;
    if (canImport) {
        id = gParseReply(console({"--xml", "keys"}).out)
                 .body()
                 ->childrenNamed("key")
                 .at(5)
                 ->get("id");
        CRecordingRelay relay(m_listener->port());
        pin(relay.port());
        SResult exported = console(
            {"--require-secure", "export", "--id", id, "--binary", "-o", files.file("key.bin")},
            relay.port());
        ASSERT_EQ(0, exported.status) << exported.err;
        const std::string wire = relay.seen();
        key = orxtest::readFile(files.file("key.bin"));
        ASSERT_GT(key.size(), 100u);
        EXPECT_GT(wire.size(), key.size());
        EXPECT_EQ(std::string::npos, wire.find(m_account->password()));
        EXPECT_EQ(std::string::npos, wire.find(key.substr(0, 48)));
        EXPECT_EQ(std::string::npos, wire.find(gEncodeBase64(key.substr(0, 48)).substr(0, 40)));
        EXPECT_EQ(std::string::npos, wire.find("bench00005"));
    }

    // The same exchanges with a plain listener show everything, so the relay does see the
    // traffic.
    ASSERT_TRUE(startListener(false));
    CRecordingRelay plain(m_listener->port());
    ASSERT_EQ(0, console({"--allow-plain", "conf", "get"}, plain.port()).status);
    const std::string clear = plain.seen();
    EXPECT_NE(std::string::npos, clear.find(m_account->password()));
    EXPECT_NE(std::string::npos, clear.find("<command"));
    if (canImport) {
        ASSERT_TRUE(importBenchRing());
        CRecordingRelay plainExport(m_listener->port());
        ASSERT_EQ(0, console({"--allow-plain", "export", "--id", id, "--binary", "-o",
                              files.file("plain.bin")},
                             plainExport.port())
                         .status);
        EXPECT_NE(std::string::npos,
                  plainExport.seen().find(gEncodeBase64(key.substr(0, 48)).substr(0, 40)));
    }
}

// The relay attack: something in the path answers the console itself and passes the login on.
// A console that pinned the listener refuses it before the password leaves, whether the relay
// leaves the signature out or signs with a key of its own; a console meeting the listener for
// the first time pins the key the listener itself names.
TEST_F(OrxadminIntegration, ARelayInThePathAndAChangedHostKeyAreRefused) {
    ASSERT_TRUE(startListener());
    SResult first = console({"keys"});
    ASSERT_EQ(0, first.status) << first.err;
    EXPECT_NE(std::string::npos,
              orxtest::readFile(m_knownHosts.file("known_hosts"))
                  .find("127.0.0.1:" + std::to_string(m_listener->port()) + " "));

    // The other host key is read from a copy: opening a ring writes its check results beside it.
    ZafTempDir otherKey;
    for (const char* name : {"/hostkey.pkr", "/hostkey.skr"})
        std::filesystem::copy_file(std::string(ORX_TEST_DATA_DIR) + "/hostkey-other" + name,
                                   otherKey.path() + name);
    for (const std::string& folder : {std::string(), otherKey.path()}) {
        CTerminatingRelay relay(m_listener->port(), folder);
        pin(relay.port());
        SResult got = console({"keys"}, relay.port());
        EXPECT_EQ(1, got.status) << got.out << got.err;
        EXPECT_NE(std::string::npos, got.err.find("host key has changed")) << got.err;
        EXPECT_EQ(std::string::npos, relay.seen().find(m_account->password()));
    }

    // Without pinning (the library's default) the same relay reads the password while the
    // console logs in as if nothing were wrong: what the pinning is for.
    CTerminatingRelay relay(m_listener->port(), std::string());
    SConnectOptions options;
    options.port = relay.port();
    auto connection = CAdminConnection::connect(options);
    EXPECT_EQ(0, connection->login(m_account->name(), m_account->password()).rc);
    connection->close();
    EXPECT_NE(std::string::npos, relay.seen().find(m_account->password()));

    // A plain listener is refused unless the console allows it.
    ASSERT_TRUE(startListener(false));
    SResult plain = console({"keys"});
    EXPECT_EQ(1, plain.status);
    EXPECT_NE(std::string::npos, plain.err.find("plain connection")) << plain.err;
    EXPECT_EQ(0, console({"--allow-plain", "keys"}).status);
}

// Keys named by long IDs and fingerprints, the new key's ID, revocation reasons, and the exit
// statuses orxcmd gives the same failures.
TEST_F(OrxadminIntegration, LongIDsFingerprintsReasonsAndSharedExitStatus) {
    ASSERT_TRUE(startListener());
    ZafTempDir files;
    ::chmod(files.path().c_str(), 0755);
    gWriteFile(files.file("pass"), "the passphrase\n", 0644);
    gWriteFile(files.file("wrong"), "not it\n", 0644);
    SResult made = console({"key-gen", "--name", "Ann <ann@example.org>", "--size", "1024",
                            "--passphrase-file", files.file("pass")});
    ASSERT_EQ(0, made.status) << made.err;
    // "Key pair 0x<16 hex digits> generated for Ann <ann@example.org>."
    ASSERT_EQ(0u, made.out.find("Key pair 0x")) << made.out;
    const std::string longID = made.out.substr(9, 18);
    EXPECT_EQ("Key pair " + longID + " generated for Ann <ann@example.org>.\n", made.out);

    SResult listed = console({"keys"});
    ASSERT_EQ(0, listed.status) << listed.err;
    EXPECT_EQ(0u, listed.out.find("Key ID  ")) << listed.out;
    EXPECT_NE(std::string::npos, listed.out.find("\n" + longID + "  RSA4  1024")) << listed.out;
    const SXmlElement key =
        *gParseReply(console({"--xml", "keys"}).out).body()->childrenNamed("key").at(0);
    EXPECT_EQ(longID, key.get("idfull"));
    const std::string fingerprint = key.get("fingerprint");
    ASSERT_EQ(40u, fingerprint.size());

    // Exports by the long ID (lower case, without 0x) and by the fingerprint in groups.
    std::string grouped;
    for (size_t i = 0; i < fingerprint.size(); i += 4)
        grouped += (grouped.empty() ? "" : " ") + fingerprint.substr(i, 4);
    std::string lower = longID.substr(2);
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const std::string& name : {lower, grouped}) {
        SResult exported = console({"export", "--id", name, "-o", files.file("k.asc"), "--binary"});
        EXPECT_EQ(0, exported.status) << name << ": " << exported.err;
        ::unlink(files.file("k.asc").c_str());
    }

    // A wrong passphrase is 5, as with orxcmd; the right one revokes with the reason given.
    SResult wrong = console({"revoke", "--id", longID, "--passphrase-file", files.file("wrong")});
    EXPECT_EQ(eExitPassphrase, wrong.status) << wrong.err;
    SResult revoked =
        console({"revoke", "--id", grouped, "--reason", "compromised", "--reason-text",
                 "left in a taxi", "--passphrase-file", files.file("pass")});
    ASSERT_EQ(0, revoked.status) << revoked.err;
    ASSERT_EQ(0, console({"export", "--id", longID, "--binary", "-o", files.file("r.bin")}).status);
    // The revocation's reason subpacket: type 29, code 2, then the text.
    const std::string bytes = orxtest::readFile(files.file("r.bin"));
    EXPECT_NE(std::string::npos, bytes.find(std::string("\x1d\x02left in a taxi")));

    // Removal by fingerprint; then the key is not there, which is 3 as with orxcmd.
    EXPECT_EQ(0, console({"key-remove", "--id", fingerprint, "--force"}).status);
    SResult gone = console({"key-remove", "--id", fingerprint, "--force"});
    EXPECT_EQ(eExitNoKey, gone.status) << gone.err;
    EXPECT_NE(std::string::npos, gone.err.find("Key ID not found")) << gone.err;
}

// The password is asked for only after the listener has shown its host key (and, met for the
// first time, been trusted); a slow typist's login goes over a fresh connection.
TEST_F(OrxadminIntegration, ThePasswordIsAskedAfterTheHostKeyIsShown) {
    ASSERT_TRUE(startListener());
    for (const unsigned int patience : {60000u, 0u}) {
        ZafTempDir hosts;
        std::vector<std::string> events;
        SCommandLine line = gParseCommandLine({"--port", std::to_string(m_listener->port()),
                                               "--user", m_account->name(), "--known-hosts",
                                               hosts.file("known_hosts"), "options"});
        line.global.loginPromptPatienceMs = patience;
        std::ostringstream out;
        std::ostringstream err;
        CConsole console(line.global, out, err,
                         [&](const std::string& prompt, std::string& secret) {
                             events.push_back(prompt);
                             secret = m_account->password();
                             return true;
                         });
        console.setQuestion([&](const std::string& question, std::string& answer) {
            events.push_back(question);
            answer = "yes";
            return true;
        });
        ::unsetenv("ORXADMIN_PASSWORD");
        EXPECT_EQ(0, console.run(line.command)) << err.str();
        ASSERT_EQ(2u, events.size());
        EXPECT_EQ("Trust it and remember it (yes/no)? ", events[0]);
        EXPECT_EQ("Password for " + m_account->name() + "@127.0.0.1: ", events[1]);
        EXPECT_NE(std::string::npos, err.str().find("Its host key fingerprint is ")) << err.str();
        EXPECT_NE(std::string::npos, out.str().find("--wipe")) << out.str();
    }
}

// A ring larger than one request goes in pieces of whole keys, each piece reported.
TEST_F(OrxadminIntegration, ImportsTheSevenThousandKeyRingInPieces) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "7000 keys through the sanitizers take minutes; the optimised build runs it";
#endif
    const std::string ring = std::string(ORX_SHARED_DIR) + "/bench/pubring-7k.pkr";
    if (!std::filesystem::exists(ring))
        GTEST_SKIP() << "the 7k ring is not there";
    ASSERT_TRUE(startListener());
    SResult imported = console({"import", ring});
    ASSERT_EQ(0, imported.status) << imported.err;
    EXPECT_NE(std::string::npos, imported.err.find("Importing keys 1-")) << imported.err;
    EXPECT_NE(std::string::npos, imported.err.find(" of 7000 (request 1 of ")) << imported.err;
    SResult listed = console({"--xml", "keys"});
    ASSERT_EQ(0, listed.status) << listed.err;
    EXPECT_EQ(7000u, gParseReply(listed.out).body()->childrenNamed("key").size());
}

TEST_F(OrxadminIntegration, LoginToFirstReplyLatency) {
    ASSERT_TRUE(startListener());
    std::vector<double> millis;
    for (int i = 0; i < 20; ++i) {
        const auto start = std::chrono::steady_clock::now();
        auto connection = m_listener->connect();
        SReply login = connection->login(m_account->name(), m_account->password());
        ASSERT_EQ(0, login.rc);
        SReply reply = connection->request(gWriteXml(gCmdlineOptionsRequest()));
        ASSERT_EQ(0, reply.rc);
        millis.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(millis.begin(), millis.end());
    const double median = millis[millis.size() / 2];
    std::printf("login-to-first-reply over the secure channel (connect, handshake, login, "
                "get-cmdline-options): median %.1f ms, max %.1f ms over %zu runs\n",
                median, millis.back(), millis.size());
    RecordProperty("login_to_first_reply_median_us", static_cast<int>(median * 1000));
}
