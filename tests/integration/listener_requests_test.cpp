// Requests of a logged-in session against a real orxgui: frames, validation, return codes, the
// configuration requests, the transaction log and the command-line switches.
// ctest-labels: threaded
#include "listener_harness.h"
#include "test_account.h"

#include <oozaf/ops.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace orxtest;
using vornadmin::CAdminConnection;
using vornadmin::SReply;
using vornadmin::SXmlElement;

namespace {

constexpr uint32_t kMaxFrame = 1024 * 1024;

class ListenerRequests : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxrq");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
        SListenerOptions options;
        options.secure = GetParam();
        options.extraArgs = {"--max-frame", std::to_string(kMaxFrame)};
        m_daemon = std::make_unique<CListenerProcess>(options);
        ASSERT_TRUE(m_daemon->start());
        m_session = login();
    }
    void TearDown() override {
        m_session.reset();
        if (m_daemon && m_daemon->running()) {
            EXPECT_EQ(0, m_daemon->stop());
        }
    }

    std::unique_ptr<CAdminConnection> login() {
        return m_daemon->login(m_user->name(), m_user->password());
    }

    SReply send(const std::string& xml) { return m_session->request(xml); }
    SReply send(const SXmlElement& command) { return request(*m_session, command); }

    // Writes a file in the user's home as the user.
    void writeAsUser(const std::string& relative, const std::string& content) {
        ScopedIdentity as(*m_user);
        std::ofstream out(m_user->file(relative), std::ios::binary | std::ios::trunc);
        out << content;
    }

    // True when the session's connection was closed by the server without a reply.
    bool closedWithoutReply() {
        std::string frame;
        try {
            return !m_session->readFrame(frame);
        } catch (oozaf::CZAFThrowable* e) {
            delete e;
            return true;
        }
    }

    std::unique_ptr<TestAccount> m_user;
    std::unique_ptr<CListenerProcess> m_daemon;
    std::unique_ptr<CAdminConnection> m_session;
};

const SXmlElement* findValue(const SXmlElement& configuration, const std::string& directive) {
    const SXmlElement* values = configuration.child("values");
    return values == nullptr ? nullptr : values->child(directive);
}

} // namespace

TEST_P(ListenerRequests, FailedRequestsAnswerWithTheirCodeAndTheSessionGoesOn) {
    const SReply unknown = send("<command type=\"keys-Summary\"><data/></command>");
    EXPECT_EQ(16, unknown.rc);
    EXPECT_EQ("Unknown request received from client: 'keys-Summary'\n", unknown.error);
    const SReply format = send("<request type=\"keys-summary\"><data/></request>");
    EXPECT_EQ(12, format.rc);
    EXPECT_EQ("A format error has been detected in the request: Root element must be "
              "\"command\"\n",
              format.error);
    const SReply broken = send("<command type=\"conf-get\"><data></command>");
    EXPECT_EQ(12, broken.rc);
    EXPECT_NE(std::string::npos, broken.error.find("Error message: --->")) << broken.error;
    EXPECT_NE(std::string::npos,
              broken.error.find("<---\nFailing data : ---><command type=\"conf-get\"><data>"
                                "</command><---\n"))
        << broken.error;
    const SReply doctype = send("<!DOCTYPE command [<!ENTITY e SYSTEM \"/etc/shadow\">]>"
                                "<command type=\"get-cmdline-options\"><data>&e;</data></command>");
    EXPECT_EQ(12, doctype.rc);
    EXPECT_EQ(std::string::npos, doctype.xml.find(m_user->name() + ":")) << doctype.xml;

    const SReply options = send(vornadmin::gCmdlineOptionsRequest());
    ASSERT_EQ(0, options.rc) << options.xml;
    ASSERT_NE(nullptr, options.body());
    EXPECT_EQ(oozaf::gCLLongOptionsCount(), options.body()->children.size());
    EXPECT_EQ("--wipe", options.body()->children.front().get("id"));
}

TEST_P(ListenerRequests, APayloadIsCutAtItsFirstNulAndALengthMayComeInPieces) {
    m_session->sendFrame(std::string("<command type=\"get-cmdline-options\"><data/></command>\0"
                                     "<not xml",
                                     62));
    std::string frame;
    ASSERT_TRUE(m_session->readFrame(frame));
    EXPECT_EQ(0, vornadmin::gParseReply(frame).rc) << frame;

    // Each byte of the length travels alone (one record each on the secure channel).
    const std::string payload = "<command type=\"get-cmdline-options\"><data/></command>";
    const std::string length = CAdminConnection::encodeLength(uint32_t(payload.size()));
    for (char byte : length)
        m_session->writeRaw(&byte, 1);
    m_session->writeRaw(payload.data(), payload.size());
    ASSERT_TRUE(m_session->readFrame(frame));
    EXPECT_EQ(0, vornadmin::gParseReply(frame).rc) << frame;
}

TEST_P(ListenerRequests, AZeroLengthFrameEndsTheSessionWithoutAReply) {
    m_session->sendFrame("");
    EXPECT_TRUE(closedWithoutReply());
    EXPECT_TRUE(m_daemon->waitForLog("(Normal Stop) Thread completed with return code 0"));
}

TEST_P(ListenerRequests, AnAuthRequestAfterTheLoginEndsTheSessionWithoutAReply) {
    m_session->sendFrame(
        vornadmin::gWriteXml(vornadmin::gAuthRequest(m_user->name(), m_user->password(), "")));
    EXPECT_TRUE(closedWithoutReply());
    EXPECT_TRUE(m_daemon->waitForLog("(Normal Stop) Thread completed with return code 7"));
}

// An over-long frame is taken in and answered with rc 12 and its text, then the session ends; a
// length beyond the secure record bound costs the daemon no allocation of that size.
TEST_P(ListenerRequests, AFrameAboveTheBoundIsAnsweredWithItsTextAndEndsTheSession) {
    const std::string payload(kMaxFrame + 1, 'x');
    m_session->sendFrame(payload);
    std::string frame;
    ASSERT_TRUE(m_session->readFrame(frame));
    const SReply reply = vornadmin::gParseReply(frame);
    EXPECT_EQ(12, reply.rc);
    EXPECT_EQ("Frame length 1048577 exceeds the limit of 1048576 bytes", reply.error);
    EXPECT_TRUE(closedWithoutReply());
    // The daemon serves the next session.
    auto again = login();
    EXPECT_EQ(0, request(*again, vornadmin::gCmdlineOptionsRequest()).rc);
}

TEST_P(ListenerRequests, ConfigurationSurvivesAGetSetRoundTrip) {
    SXmlElement configuration("configuration");
    SXmlElement& aliases = configuration.add(SXmlElement("aliases"));
    aliases.add(SXmlElement("alias")).set("code", "-ea").set("command", "--encrypt --armor");
    SXmlElement& values = configuration.add(SXmlElement("values"));
    SXmlElement comment("Comment");
    comment.text = "made by the console";
    values.add(comment);
    SXmlElement armor("Armor");
    armor.text = "yes";
    values.add(armor);
    SXmlElement tmp("Tmp");
    tmp.text = "/tmp";
    values.add(tmp);
    const SReply set = send(vornadmin::gConfSetRequest(configuration));
    ASSERT_EQ(0, set.rc) << set.xml;

    // The user's file was written with the user's rights.
    struct stat st {};
    ASSERT_EQ(0, ::stat(m_user->file(".zaf/zaf.cfg").c_str(), &st));
    EXPECT_EQ(m_user->uid(), st.st_uid);
    EXPECT_EQ(m_user->gid(), st.st_gid);

    const SReply got = send(vornadmin::gConfGetRequest());
    ASSERT_EQ(0, got.rc) << got.xml;
    const SXmlElement* back = got.body();
    ASSERT_NE(nullptr, back);
    ASSERT_NE(nullptr, findValue(*back, "Comment")) << got.xml;
    EXPECT_EQ("made by the console", findValue(*back, "Comment")->text);
    EXPECT_EQ("string", findValue(*back, "Comment")->get("type"));
    ASSERT_NE(nullptr, findValue(*back, "Armor"));
    EXPECT_EQ("yes", findValue(*back, "Armor")->text);
    EXPECT_EQ("boolean", findValue(*back, "Armor")->get("type"));
    const SXmlElement* alias = back->child("aliases")->child("alias");
    ASSERT_NE(nullptr, alias);
    EXPECT_EQ("-ea", alias->get("code"));
    EXPECT_EQ("--encrypt --armor", alias->get("command"));

    // Setting what was read changes nothing, and a new session reads the file fine.
    const std::string before = readFile(m_user->file(".zaf/zaf.cfg"));
    ASSERT_EQ(0, send(vornadmin::gConfSetRequest(*back)).rc);
    EXPECT_EQ(before, readFile(m_user->file(".zaf/zaf.cfg")));
    login();
}

TEST_P(ListenerRequests, ARejectedSettingChangesNothing) {
    const std::string before = readFile(m_user->file(".zaf/zaf.cfg"));
    ASSERT_FALSE(before.empty());
    const char* requests[] = {
        "<command type=\"conf-set\"><data><aliases/><values><Armor>on</Armor>"
        "<NoSuchDirective>1</NoSuchDirective></values></data></command>",
        "<command type=\"conf-set\"><data><aliases/><values><Cert-Depth>deep</Cert-Depth>"
        "</values></data></command>",
        "<command type=\"conf-set\"><data><aliases><alias code=\"x\" command=\"--sign\"/>"
        "</aliases><values/></data></command>",
    };
    for (const char* xml : requests) {
        const SReply reply = send(xml);
        EXPECT_EQ(8, reply.rc) << xml;
        EXPECT_EQ(0u, reply.error.find("Error processing request\n")) << reply.error;
        EXPECT_EQ(before, readFile(m_user->file(".zaf/zaf.cfg"))) << xml;
    }
    const SReply nested = send("<command type=\"conf-set\"><data><aliases/><values>"
                               "<Comment><b>bold</b></Comment></values></data></command>");
    EXPECT_EQ(12, nested.rc);
    EXPECT_NE(std::string::npos, nested.error.find("'Comment'")) << nested.error;
    EXPECT_EQ(before, readFile(m_user->file(".zaf/zaf.cfg")));
}

TEST_P(ListenerRequests, IncludedSettingsStayInTheirOwnFile) {
    writeAsUser("extra.cfg", "Comment=\"from the included file\"\n");
    writeAsUser(".zaf/zaf.cfg", "# my settings\nArmor=on\nInclude " + m_user->file("extra.cfg") +
                                    "\nCompress=off\n");
    const SReply got = send(vornadmin::gConfGetRequest());
    ASSERT_EQ(0, got.rc) << got.xml;
    ASSERT_NE(nullptr, got.body());
    EXPECT_EQ(nullptr, findValue(*got.body(), "Comment")) << got.xml;
    ASSERT_NE(nullptr, findValue(*got.body(), "Armor")) << got.xml;

    ASSERT_EQ(0, send(vornadmin::gConfSetRequest(*got.body())).rc);
    const std::string after = readFile(m_user->file(".zaf/zaf.cfg"));
    EXPECT_NE(std::string::npos, after.find("Include " + m_user->file("extra.cfg"))) << after;
    EXPECT_EQ(std::string::npos, after.find("from the included file")) << after;
    // The file still reads, includes and all: the user can still log in.
    auto next = m_daemon->connect();
    const SReply again = next->login(m_user->name(), m_user->password());
    EXPECT_EQ(0, again.rc) << again.xml;
}

TEST_P(ListenerRequests, TheTransactionLogIsReadWhenOneIsConfigured) {
    const SReply none = send(vornadmin::gLogRequest());
    ASSERT_EQ(0, none.rc) << none.xml;
    ASSERT_NE(nullptr, none.body());
    EXPECT_EQ("transactions", none.body()->name);
    EXPECT_TRUE(none.body()->children.empty());

    writeAsUser("transactions.log",
                "2024-01-02 03:04:05.6\t2024-01-02 03:04:06.7\talice\tencrypt\t--encrypt f\t0\n"
                "2024-01-03 00:00:00.0\t2024-01-03 00:00:01.250\tbob\tsign\t--sign g\t2\n"
                "2024-01-04 10:00:00.0\t2024-01-04 10:00:00.1\tcarol\tlist\t--key-list\t-1\n");
    writeAsUser(".zaf/zaf.cfg", "Log-File=" + m_user->file("transactions.log") + "\n");
    auto session = m_daemon->connect();
    const SReply login = session->login(m_user->name(), m_user->password());
    ASSERT_EQ(0, login.rc);
    EXPECT_EQ("yes", login.body()->get("log"));
    const SReply log = request(*session, vornadmin::gLogRequest());
    ASSERT_EQ(0, log.rc) << log.xml;
    const auto transactions = log.body()->childrenNamed("transaction");
    ASSERT_EQ(3u, transactions.size()) << log.xml;
    EXPECT_EQ("2024-01-02 03:04:05.6", transactions[0]->get("start"));
    EXPECT_EQ("2024-01-02 03:04:06.7", transactions[0]->get("end"));
    EXPECT_EQ("alice", transactions[0]->get("username"));
    EXPECT_EQ("encrypt", transactions[0]->get("op"));
    EXPECT_EQ("--encrypt f", transactions[0]->get("cmdline"));
    EXPECT_EQ("0", transactions[0]->get("rc"));
    EXPECT_EQ("bob", transactions[1]->get("username"));
    EXPECT_EQ("2", transactions[1]->get("rc"));
    EXPECT_EQ("-1", transactions[2]->get("rc"));

    writeAsUser("transactions.log", "2024-01-02 03:04:05.6\tonly\tthree\n");
    const SReply bad = request(*session, vornadmin::gLogRequest());
    EXPECT_EQ(8, bad.rc);
    EXPECT_NE(std::string::npos, bad.error.find("Invalid log line format")) << bad.error;
}

TEST_P(ListenerRequests, EveryStateChangingRequestIsALineOfTheUsersTransactionLog) {
    writeAsUser(".zaf/zaf.cfg", "Log-File=transactions.log\n");
    auto session = login();
    // Nothing has written the log yet: it holds no entries.
    const SReply empty = request(*session, vornadmin::gLogRequest());
    ASSERT_EQ(0, empty.rc) << empty.xml;
    EXPECT_TRUE(empty.body()->children.empty());

    vornadmin::SSignParams sign;
    sign.signedKey = "0x01020304";
    sign.signingKey = "0x05060708";
    sign.passphrase = "MARKER-pass";
    EXPECT_EQ(8, request(*session, vornadmin::gKeySignRequest(sign)).rc);
    EXPECT_EQ(0, request(*session, vornadmin::gKeysSummaryRequest()).rc);
    EXPECT_EQ(8, request(*session, vornadmin::gKeyRemoveRequest("0x0A0B0C0D")).rc);
    EXPECT_EQ(12, session
                      ->request("<command type=\"userid-add\"><data id=\"1\" "
                                "passphrase=\"MARKER-two\"></command>")
                      .rc);
    const SReply log = request(*session, vornadmin::gLogRequest());
    ASSERT_EQ(0, log.rc) << log.xml;
    const auto lines = log.body()->childrenNamed("transaction");
    ASSERT_EQ(3u, lines.size()) << log.xml;
    const struct {
        const char* op;
        const char* rc;
        const char* cmdline;
    } expected[] = {{"key-sign", "8", "orxgui from 127.0.0.1: key-sign "},
                    {"key-remove", "8", "orxgui from 127.0.0.1: key-remove key id='0x0A0B0C0D'"},
                    {"userid-add", "12", "orxgui from 127.0.0.1: userid-add"}};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(expected[i].op);
        EXPECT_EQ(m_user->name(), lines[i]->get("username"));
        EXPECT_EQ(expected[i].op, lines[i]->get("op"));
        EXPECT_EQ(expected[i].rc, lines[i]->get("rc"));
        EXPECT_EQ(0u, lines[i]->get("cmdline").find(expected[i].cmdline))
            << lines[i]->get("cmdline");
    }
    EXPECT_NE(std::string::npos, lines[0]->get("cmdline").find("passphrase='***'"));
    const std::string file = readFile(m_user->file(".zaf/transactions.log"));
    EXPECT_EQ(std::string::npos, file.find("MARKER")) << file;
    struct stat info {};
    ASSERT_EQ(0, ::stat(m_user->file(".zaf/transactions.log").c_str(), &info));
    EXPECT_EQ(m_user->uid(), info.st_uid);
    EXPECT_EQ(0600u, info.st_mode & 0777);
}

TEST_P(ListenerRequests, AMalformedRequestIsShownBackAndOnlyItsMaskedBeginningIsLogged) {
    const std::string text = "<command type=\"key-gen\"><data passphrase=\"MARKER-gen\" "
                             "name=\"Tail End Of The Request Text\"></command>";
    const SReply reply = send(text);
    EXPECT_EQ(12, reply.rc);
    EXPECT_NE(std::string::npos,
              reply.error.find("<---\nFailing data : ---><command type=\"key-gen\"><data "
                               "passphrase=\"***\" name=\"Tail End Of The Request Text\">"
                               "</command><---\n"))
        << reply.error;
    EXPECT_EQ(std::string::npos, reply.error.find("MARKER")) << reply.error;
    // The session goes on, and ends without an error when the console leaves.
    EXPECT_EQ(0, send(vornadmin::gCmdlineOptionsRequest()).rc);
    const size_t ended = countOccurrences(m_daemon->log(), "(Normal Stop)");
    m_session.reset();
    ASSERT_TRUE(m_daemon->waitForLog("(Normal Stop)", ended + 1));
    const std::string log = m_daemon->log();
    EXPECT_EQ(std::string::npos, log.find("Failing data")) << log;
    EXPECT_EQ(std::string::npos, log.find("Tail End")) << log;
    EXPECT_EQ(std::string::npos, log.find("MARKER")) << log;
    EXPECT_EQ(std::string::npos, log.find("communication error")) << log;
    EXPECT_EQ(std::string::npos, log.find("Unable to gracefully close socket")) << log;
    EXPECT_EQ(std::string::npos, log.find("WARNING: Could not open user's environment file"))
        << log;
    EXPECT_NE(std::string::npos, log.find("Connection from 127.0.0.1")) << log;
    EXPECT_NE(std::string::npos, log.find("Thread completed with return code 0 for 127.0.0.1"))
        << log;
}

INSTANTIATE_TEST_SUITE_P(Channels, ListenerRequests, ::testing::Values(true, false), channelName);

// A session keeps its last keys summary while the rings stay as they were: a repeated summary is
// the same text, and a change made through this session, through another session (another
// process) or by a removal there shows in the next summary at once.
TEST_P(ListenerRequests, AKeptKeysSummaryNeverHidesAChange) {
    const std::string keys = std::string(ORX_TEST_DATA_DIR) + "/fixtures/messages/keys/";
    auto summary = [&](CAdminConnection& session) {
        const SReply reply = request(session, vornadmin::gKeysSummaryRequest());
        EXPECT_EQ(0, reply.rc) << reply.xml;
        return reply;
    };
    auto ids = [](const SReply& reply) {
        std::vector<std::string> found;
        if (reply.body() != nullptr)
            for (const SXmlElement* key : reply.body()->childrenNamed("key"))
                found.push_back(key->get("id"));
        return found;
    };
    EXPECT_TRUE(ids(summary(*m_session)).empty());

    ASSERT_EQ(0, send(vornadmin::gKeyImportRequest(readFile(keys + "alice.pub"))).rc);
    const SReply one = summary(*m_session);
    ASSERT_EQ(1u, ids(one).size()) << one.xml;
    EXPECT_EQ(one.xml, summary(*m_session).xml);
    EXPECT_EQ(0, send(vornadmin::gCmdlineOptionsRequest()).rc);
    EXPECT_EQ(one.xml, summary(*m_session).xml);

    auto other = login();
    ASSERT_EQ(0, request(*other, vornadmin::gKeyImportRequest(readFile(keys + "bob.pub"))).rc);
    EXPECT_EQ(2u, ids(summary(*m_session)).size());

    const std::string alice = ids(one).front();
    const std::string name = alice.rfind("0x", 0) == 0 ? alice : "0x" + alice;
    ASSERT_EQ(0, request(*other, vornadmin::gKeyRemoveRequest(name)).rc);
    const std::vector<std::string> left = ids(summary(*m_session));
    ASSERT_EQ(1u, left.size());
    EXPECT_NE(alice, left.front());
}

// A removal whose rings cannot be written fails with its code, and the session goes on: the key
// left the database before the write, so nothing of it may be released twice.
TEST_P(ListenerRequests, ARemovalThatCannotBeWrittenFailsAndTheSessionGoesOn) {
    const std::string keys = std::string(ORX_TEST_DATA_DIR) + "/fixtures/messages/keys/";
    ASSERT_EQ(0, send(vornadmin::gKeyImportRequest(readFile(keys + "alice.pub"))).rc);
    const SReply listed = request(*m_session, vornadmin::gKeysSummaryRequest());
    ASSERT_EQ(0, listed.rc) << listed.xml;
    const std::string id = listed.body()->childrenNamed("key").at(0)->get("id");
    // A ring its owner made read-only.
    ASSERT_EQ(0, ::chmod(m_user->file(".zaf/pubring.pkr").c_str(), 0444));
    const SReply removed = send(vornadmin::gKeyRemoveRequest(id));
    EXPECT_EQ(8, removed.rc) << removed.xml;
    EXPECT_EQ(0, send(vornadmin::gCmdlineOptionsRequest()).rc);
    EXPECT_EQ(0, request(*m_session, vornadmin::gKeysSummaryRequest()).rc);
}
