// Tests of the request protocol of a session: frames on a real socket pair, parsing, the
// structural checks with their exact texts, return codes, and the login as a login process runs
// it against a daemon the test plays.
// ctest-labels: threaded
#include "expect_throw.h"
#include "gui_test_support.h"

#include <oozaf/ops.h>
#include <oozaf/sockets.h>
#include <vorngui/gui.h>
#include <vorngui/guichannel.h>
#include <vorngui/guiexceptions.h>

#include <adminclient.h>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace oozaf;
using namespace vorngui;

namespace {

// A client without a connection answers requests in memory.
struct Answer {
    int rc = -1;
    vornadmin::SReply reply;
};

Answer ask(const std::string& request) {
    CGUIClient client(nullptr);
    Answer answer;
    const std::string xml = client.answer(request, answer.rc);
    answer.reply = vornadmin::gParseReply(xml);
    return answer;
}

const std::string kFormatPrefix = "A format error has been detected in the request: ";

// Both ends of a connected stream socket pair; `client` is the listener's side.
struct SocketPair {
    SocketPair() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair failed");
        listenerEnd = new CZAFSocket(fds[0]);
        peer = fds[1];
    }
    ~SocketPair() {
        if (peer >= 0)
            ::close(peer);
    }
    void send(const std::string& bytes) const {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::send(peer, bytes.data(), bytes.size(), 0));
    }
    void closePeer() {
        ::close(peer);
        peer = -1;
    }
    CZAFSocket* listenerEnd; // adopted by the CGUIClient
    int peer;
};

std::string frame(const std::string& payload) {
    return vornadmin::CAdminConnection::encodeLength(static_cast<uint32_t>(payload.size())) +
           payload;
}

// Waits (bounded) until the reading side has taken every byte sent so far.
bool drained(int readerDescriptor) {
    for (int i = 0; i < 20000; ++i) {
        int pending = 0;
        if (ioctl(readerDescriptor, FIONREAD, &pending) == 0 && pending == 0)
            return true;
        std::this_thread::yield();
        poll(nullptr, 0, 1);
    }
    return false;
}

} // namespace

TEST(GuiProtocolValidation, EachStructuralFaultHasItsText) {
    const struct {
        const char* request;
        int rc;
        const char* text;
    } cases[] = {
        {"<request type=\"keys-summary\"><data/></request>", 12,
         "Root element must be \"command\""},
        {"<command><data/></command>", 12, "Missing 'type' attribute in 'command' element"},
        {"<command type=\"\"><data/></command>", 12,
         "Missing 'type' attribute in 'command' element"},
        {"<command type=\"keys-summary\"/>", 12, "The 'data' element should appear exactly once"},
        {"<command type=\"keys-summary\"><data/><x><data/></x></command>", 12,
         "The 'data' element should appear exactly once"},
        {"<command type=\"KEYS-SUMMARY\"><data/></command>", 16,
         "Unknown request received from client: 'KEYS-SUMMARY'"},
        {"<command type=\"key-gen\"><data passphrase=\"\" name=\"n\" trust-depth=\"0\" "
         "cipher=\"AES256\" size=\"2048\" adk=\"\" sign-only=\"no\"/></command>",
         12, "Missing attribute: 'token'"},
        {"<command type=\"key-sign\"><data signed-key=\"a\" signing-key=\"b\"/></command>", 12,
         "Missing attribute: 'sig-type'"},
        {"<command type=\"conf-set\"><data><values/></data></command>", 12,
         "The 'aliases' element has to appear exactly once"},
        {"<command type=\"conf-set\"><data><aliases/><values/><values/></data></command>", 12,
         "The 'values' element has to appear exactly once"},
        {"<command type=\"key-remove\"><data/></command>", 12,
         "The 'key' element has to appear exactly once"},
        {"<command type=\"key-remove\"><data><key id=\"0x1\"/></data></command>", 12,
         "Missing attribute: 'pin'"},
        {"<command type=\"entropy-supply\"><data/></command>", 12,
         "The 'entropy' element has to appear exactly once"},
        {"<command type=\"entropy-supply\"><data><entropy/></data></command>", 12,
         "Missing attribute: 'needed'"},
        {"<command type=\"key-add\"><data x509=\"no\" with-private=\"no\"/></command>", 12,
         "The 'file' element is missing"},
        {"<command type=\"key-add\"><data x509=\"no\" with-private=\"no\"><file size=\"1\"/>"
         "<file/></data></command>",
         12, "Missing attribute: 'size'"},
        {"<command type=\"key-add\"><data with-private=\"no\"><file size=\"1\"/></data></command>",
         12, "Missing attribute: 'x509'"},
        {"<command type=\"auth\"><data username=\"u\" password=\"p\"/></command>", 12,
         "Missing attribute: 'domain'"},
    };
    for (const auto& c : cases) {
        const Answer answer = ask(c.request);
        EXPECT_EQ(c.rc, answer.rc) << c.request;
        EXPECT_EQ(std::to_string(c.rc), std::to_string(answer.reply.rc)) << c.request;
        const std::string expected =
            c.rc == 12 ? kFormatPrefix + c.text + "\n" : std::string(c.text) + "\n";
        EXPECT_EQ(expected, answer.reply.error) << c.request;
        EXPECT_EQ(nullptr, answer.reply.body()) << c.request;
    }
}

// Every request type's required attributes, in the order they are checked: leaving out one
// names that one, and a request that carries them all passes validation.
TEST(GuiProtocolValidation, EachTypeNamesItsFirstMissingAttribute) {
    const struct {
        const char* type;
        std::vector<std::string> names;
        const char* inner; // what "data" holds
    } types[] = {
        {"key-gen",
         {"passphrase", "name", "trust-depth", "cipher", "size", "adk", "sign-only", "token"},
         ""},
        {"key-sign",
         {"signed-key", "signing-key", "sig-type", "regexp", "passphrase", "depth"},
         ""},
        {"key-export", {"id", "with-private", "armor", "export-format"}, ""},
        {"key-add", {"x509", "with-private"}, "<file size=\"0\"/>"},
        {"auth", {"username", "password", "domain"}, ""},
        {"entropy-pair", {"type", "size"}, ""},
        {"entropy-subkey", {"id", "subkey-size"}, ""},
        {"subkey-gen", {"id", "subkey-size", "passphrase"}, ""},
        {"userid-add", {"id", "userid", "passphrase"}, ""},
        {"userid-remove", {"id", "userid"}, ""},
        {"key-revoke", {"id", "revoker-id", "passphrase"}, ""},
        {"get-picture", {"id"}, ""},
        {"keyserver-search", {"pattern"}, ""},
        {"keyserver-fetch", {"ids"}, ""},
        {"keys-summary", {}, ""},
        {"conf-get", {}, ""},
        {"log-get", {}, ""},
        {"get-cmdline-options", {}, ""},
        {"host-key", {}, ""},
        {"conf-set", {}, "<aliases/><values/>"},
        {"key-remove", {}, "<key id=\"0x1\" pin=\"\"/>"},
        {"entropy-supply", {}, "<entropy needed=\"1\"/>"},
    };
    CGUIClient client(nullptr);
    auto check = [&](const std::string& request) -> std::string {
        xercesc::DOMDocument* document = client.parseCommand(request);
        try {
            CGUIClient::validateRequest(document);
        } catch (CGUIFormatException* e) {
            document->release();
            const std::string text = e->getText();
            delete e;
            return text;
        }
        document->release();
        return "";
    };
    for (const auto& t : types) {
        for (std::size_t missing = 0; missing <= t.names.size(); ++missing) {
            std::string attributes;
            for (std::size_t i = 0; i < t.names.size(); ++i)
                if (i < missing || i > missing)
                    attributes += " " + t.names[i] + "=\"\"";
            const std::string request = std::string("<command type=\"") + t.type + "\"><data" +
                                        attributes + ">" + t.inner + "</data></command>";
            const std::string expected =
                missing < t.names.size() ? "Missing attribute: '" + t.names[missing] + "'" : "";
            EXPECT_EQ(expected, check(request)) << request;
        }
    }
}

TEST(GuiProtocolValidation, EmptyAttributesCountAsPresent) {
    // Every attribute the check names is there, empty: the request passes validation and reaches
    // its handler, which here finds no facade open (a logged-in session always has one).
    CGUIClient client(nullptr);
    int rc = -1;
    try {
        client.answer("<command type=\"get-picture\"><data id=\"\"/></command>", rc);
        ADD_FAILURE() << "the request was answered without reaching its handler, rc " << rc;
    } catch (CZAFInternalError* reachedHandler) {
        delete reachedHandler;
    }
}

// The error text is also what the log gets: it names the parser's complaint, never the request.
// The reply shows the console what it sent, secrets masked and bounded; the log keeps only the
// request's masked beginning (gDescribeRequest).
TEST(GuiProtocolValidation, MalformedXmlIsAnsweredWithItsTextSecretsMasked) {
    const std::string request = "<command type=\"keys-summary\"><data password=\"MARKER-7f3a\" "
                                "new-passphrase=\"MARKER-9b\" name=\"shown\"></command>";
    const Answer answer = ask(request);
    EXPECT_EQ(12, answer.rc);
    const std::string& text = answer.reply.error;
    EXPECT_EQ(0u, text.find(kFormatPrefix + "An error occured while trying to parse XML data:\n"
                                            "Error message: --->"))
        << text;
    EXPECT_NE(std::string::npos,
              text.find("<---\nFailing data : --->" + gMaskSecrets(request) + "<---\n"))
        << text;
    EXPECT_NE(std::string::npos, text.find("name=\"shown\"")) << text;
    EXPECT_EQ(std::string::npos, text.find("MARKER")) << text;

    const std::string huge =
        "<command type=\"x\"><data a=\"" + std::string(100000, 'y') + "\"></command>";
    const Answer big = ask(huge);
    EXPECT_EQ(12, big.rc);
    const size_t from = big.reply.error.find("Failing data : --->");
    ASSERT_NE(std::string::npos, from);
    EXPECT_EQ("Failing data : --->" + huge.substr(0, kEchoedRequest) + "...<---\n",
              big.reply.error.substr(from));
}

TEST(GuiProtocolValidation, DocumentTypesAndEntitiesAreRefused) {
    const char* requests[] = {
        "<!DOCTYPE command [<!ENTITY x \"keys-summary\">]><command type=\"&x;\"><data/></command>",
        "<!DOCTYPE command SYSTEM \"file:///etc/passwd\"><command type=\"keys-summary\">"
        "<data/></command>",
        "<!DOCTYPE command [<!ENTITY x SYSTEM \"file:///etc/hostname\">]>"
        "<command type=\"get-cmdline-options\"><data>&x;</data></command>",
        "<command type=\"get-cmdline-options\"><data>&undefined;</data></command>",
    };
    for (const char* request : requests) {
        const Answer answer = ask(request);
        EXPECT_EQ(12, answer.rc) << request;
        EXPECT_EQ(nullptr, answer.reply.body()) << request;
    }
}

TEST(GuiProtocolRequests, CommandLineOptionsComeInTableOrder) {
    const Answer answer =
        ask("<?xml version=\"1.0\"?><command type=\"get-cmdline-options\"><data/></command>");
    ASSERT_EQ(0, answer.rc);
    EXPECT_EQ("", answer.reply.error);
    const vornadmin::SXmlElement* switches = answer.reply.body();
    ASSERT_NE(nullptr, switches);
    EXPECT_EQ("switches", switches->name);
    ASSERT_EQ(gCLLongOptionsCount(), switches->children.size());
    EXPECT_EQ("--wipe", switches->children.front().get("id"));
    for (unsigned int i = 0; i < gCLLongOptionsCount(); ++i)
        EXPECT_EQ(CLLongOptions[i], switches->children[i].get("id"));
}

TEST(GuiProtocolRequests, AnAuthRequestAfterTheLoginEndsTheSessionWithoutAnswer) {
    CGUIClient client(nullptr);
    int rc = -1;
    auto e = expectThrow<CZAFInternalError>([&] {
        client.answer("<command type=\"auth\"><data username=\"u\" password=\"p\" domain=\"\"/>"
                      "</command>",
                      rc);
    });
    EXPECT_TRUE(e);
}

TEST(GuiProtocolRequests, SecretsAreMaskedInLoggedRequests) {
    EXPECT_EQ("<data username=\"u\" password=\"***\" domain=\"\"/>",
              gMaskSecrets("<data username=\"u\" password=\"s3cr=t\" domain=\"\"/>"));
    EXPECT_EQ("<data passphrase = '***' name=\"n\"/>",
              gMaskSecrets("<data passphrase = 'a \"b' name=\"n\"/>"));
    EXPECT_EQ("<data oldpassword=\"x\"/>", gMaskSecrets("<data oldpassword=\"x\"/>"));
    EXPECT_EQ("<data password=\"***", gMaskSecrets("<data password=\"unterminated"));
}

class GuiFrames : public ::testing::Test {
protected:
    SocketPair pair;
    CGUIClient client{pair.listenerEnd};
};

TEST_F(GuiFrames, ALengthArrivingInPiecesIsReadWhole) {
    const std::string bytes = frame("<command type=\"x\"/>");
    std::atomic<bool> sent{false};
    std::thread writer([&] {
        for (char c : bytes) {
            if (::send(pair.peer, &c, 1, 0) != 1 || !drained(pair.listenerEnd->getDescriptor()))
                return;
        }
        sent = true;
    });
    std::string command;
    EXPECT_TRUE(client.getCommand(command, 1024));
    writer.join();
    EXPECT_TRUE(sent);
    EXPECT_EQ("<command type=\"x\"/>", command);
}

TEST_F(GuiFrames, PayloadIsCutAtItsFirstNulByte) {
    pair.send(frame(std::string("<command/>\0<junk>", 17)));
    std::string command;
    ASSERT_TRUE(client.getCommand(command, 1024));
    EXPECT_EQ("<command/>", command);
}

TEST_F(GuiFrames, ZeroLengthAndClosedPeerAreTold) {
    pair.send(frame(""));
    std::string command = "old";
    EXPECT_TRUE(client.getCommand(command, 1024));
    EXPECT_EQ("", command);
    pair.closePeer();
    command = "old";
    EXPECT_FALSE(client.getCommand(command, 1024));
    EXPECT_EQ("", command);
}

TEST_F(GuiFrames, ALengthAboveTheLimitEndsTheSessionBeforeAnythingIsRead) {
    pair.send(vornadmin::CAdminConnection::encodeLength(1025) + "<command/>");
    std::string command;
    auto e = expectThrow<CGUICommunicationException>([&] { client.getCommand(command, 1024); });
    ASSERT_TRUE(e);
    ASSERT_NE(nullptr, dynamic_cast<const CGUIFrameTooLongException*>(e->getRoot()));
    EXPECT_NE(std::string::npos,
              e->getDetailedMessage().find("Frame length 1025 exceeds the limit of 1024 bytes"));

    pair.send(vornadmin::CAdminConnection::encodeLength(0xFFFFFFFFu));
    auto huge = expectThrow<CGUICommunicationException>([&] { client.getCommand(command, 1024); });
    EXPECT_TRUE(huge);
}

TEST_F(GuiFrames, APeerClosingInsideAFrameIsACommunicationError) {
    pair.send(vornadmin::CAdminConnection::encodeLength(100) + "<comm");
    pair.closePeer();
    std::string command;
    EXPECT_TRUE(expectThrow<CGUICommunicationException>([&] { client.getCommand(command, 1024); }));
    SocketPair second;
    CGUIClient other(second.listenerEnd);
    second.send(std::string("\0\0", 2));
    second.closePeer();
    EXPECT_TRUE(expectThrow<CGUICommunicationException>([&] { other.getCommand(command, 1024); }));
}

TEST_F(GuiFrames, AReplyIsOneLengthPrefixedFrame) {
    client.reply("<response/>", 11);
    std::string received(15, '\0');
    ASSERT_EQ(15, ::recv(pair.peer, &received[0], 15, MSG_WAITALL));
    EXPECT_EQ(frame("<response/>"), received);
}

// The login as a login process runs it: on one side of a socket pair the console, on the other
// the channel to the daemon, played by the test.
struct LoginRig {
    LoginRig() {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
            throw std::runtime_error("socketpair failed");
        m_daemonEnd = std::make_unique<CGUIChannel>(fds[0]);
        m_loginEnd = std::make_unique<CGUIChannel>(fds[1]);
    }
    ~LoginRig() {
        if (m_thread.joinable())
            m_thread.join();
        if (m_session >= 0)
            ::close(m_session);
    }

    void startLogin(const SGUIClientSettings& settings = SGUIClientSettings()) {
        m_thread = std::thread([this, settings] {
            CGUIClient client(m_pair.listenerEnd, settings);
            m_result = client.login(*m_loginEnd, m_session);
        });
    }
    int result() {
        m_thread.join();
        return m_result;
    }
    // The console's next frame from the login process, parsed.
    vornadmin::SReply readReply() {
        std::string header(4, '\0');
        if (::recv(m_pair.peer, &header[0], 4, MSG_WAITALL) != 4)
            return vornadmin::SReply();
        const uint32_t length = (static_cast<unsigned char>(header[0]) << 24) |
                                (static_cast<unsigned char>(header[1]) << 16) |
                                (static_cast<unsigned char>(header[2]) << 8) |
                                static_cast<unsigned char>(header[3]);
        std::string body(length, '\0');
        if (length > 65536 ||
            ::recv(m_pair.peer, &body[0], length, MSG_WAITALL) != static_cast<ssize_t>(length))
            return vornadmin::SReply();
        return vornadmin::gParseReply(body);
    }
    // What the login asked the daemon: user name, password, domain, client address.
    std::vector<std::string> readAuth() {
        std::string bytes;
        EXPECT_TRUE(m_daemonEnd->receive(bytes, 30000));
        CGUIMessage message = CGUIMessage::decode(bytes);
        EXPECT_EQ(eGUIMessage::eAuth, message.getType());
        std::vector<std::string> fields;
        for (int i = 0; i < 4; ++i)
            fields.push_back(message.text(65536));
        message.expectEnd();
        return fields;
    }
    void answer(int rc, const std::string& text, int passed = -1) {
        CGUIMessage verdict(eGUIMessage::eVerdict);
        verdict.add(uint64_t(rc)).add(text);
        m_daemonEnd->send(verdict, passed);
    }

    SocketPair m_pair;
    std::unique_ptr<CGUIChannel> m_daemonEnd;
    std::unique_ptr<CGUIChannel> m_loginEnd;
    std::thread m_thread;
    int m_result = -1;
    int m_session = -1;
};

class GuiLogin : public ::testing::Test, public LoginRig {};

const std::string kAuth = "<command type=\"auth\"><data username=\"alice\" password=\"s3cret\" "
                          "domain=\"d\"/></command>";

TEST_F(GuiLogin, ASilentConnectionIsClosedAtTheLoginTimeLimitWithoutAsking) {
    SGUIClientSettings settings;
    settings.loginTimeout = 200;
    startLogin(settings);
    pollfd entry{m_pair.peer, POLLIN, 0};
    ASSERT_EQ(1, poll(&entry, 1, 30000)) << "the login never closed the connection";
    char byte = 0;
    EXPECT_EQ(0, ::recv(m_pair.peer, &byte, 1, 0)) << "no reply may be sent";
    EXPECT_EQ(CGUIClient::eLoginCommunication, result());
    std::string bytes;
    m_loginEnd.reset();
    EXPECT_FALSE(m_daemonEnd->receive(bytes, 1000)) << "the daemon was asked nothing";
}

TEST_F(GuiLogin, AZeroLengthLoginIsAFormatErrorAnsweredWithRc1) {
    startLogin();
    m_pair.send(frame(""));
    const vornadmin::SReply reply = readReply();
    EXPECT_EQ(1, reply.rc);
    EXPECT_EQ(kFormatPrefix + "Null authentication data received\n", reply.error);
    EXPECT_EQ(CGUIClient::eLoginFormat, result());
}

TEST_F(GuiLogin, TheDaemonDecidesAndARefusalIsAnsweredWithItsText) {
    startLogin();
    m_pair.send(frame(kAuth));
    EXPECT_EQ((std::vector<std::string>{"alice", "s3cret", "d", ""}), readAuth());
    answer(3, "Incorrect password");
    const vornadmin::SReply reply = readReply();
    EXPECT_EQ(3, reply.rc);
    EXPECT_EQ("Incorrect password", reply.error);
    EXPECT_EQ(CGUIClient::eLoginRefused, result());
    EXPECT_EQ(-1, m_session);
}

TEST_F(GuiLogin, AnAcceptedLoginLeavesTheReplyToTheSessionAndTakesItsConnection) {
    startLogin();
    // A password longer than any that is checked goes to the daemon cut one byte past the bound.
    m_pair.send(frame("<command type=\"auth\"><data username=\"bob\" password=\"" +
                      std::string(5000, 'p') + "\" domain=\"\"/></command>"));
    const std::vector<std::string> auth = readAuth();
    EXPECT_EQ("bob", auth[0]);
    EXPECT_EQ(1025u, auth[1].size());
    int ends[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends));
    answer(0, "", ends[0]);
    ::close(ends[0]);
    EXPECT_EQ(CGUIClient::eLoginOK, result());
    ASSERT_GE(m_session, 0);
    // The descriptor handed over is the other end of the daemon's pair.
    ASSERT_EQ(1, ::send(m_session, "x", 1, MSG_NOSIGNAL));
    char byte = 0;
    EXPECT_EQ(1, ::recv(ends[1], &byte, 1, 0));
    ::close(ends[1]);
    // Nothing was answered to the console: the session process answers the login.
    EXPECT_LE(::recv(m_pair.peer, &byte, 1, MSG_DONTWAIT), 0);
}

TEST(GuiWebLogin, OnlyTheWebSocketNamesTheBrowsersAddressAndOnlyAnIPAddress) {
    const struct {
        const char* attribute;
        bool web;
        const char* sent; // "" for a format error
    } cases[] = {
        {" client-address=\"203.0.113.7\"", true, "203.0.113.7"},
        {" client-address=\" ::ffff:198.51.100.9\"", true, ""},
        {" client-address=\"::ffff:198.51.100.9\"", true, "198.51.100.9"},
        {" client-address=\"2001:DB8::1\"", true, "2001:db8::1"},
        {" client-address=\"example.org\"", true, ""},
        {"", true, ""},
        {" client-address=\"203.0.113.7\"", false, "-"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.attribute) + (c.web ? " (web)" : ""));
        LoginRig fresh;
        SGUIClientSettings settings;
        settings.webSocket = c.web;
        fresh.startLogin(settings);
        fresh.m_pair.send(frame(std::string("<command type=\"auth\"><data username=\"u\" "
                                            "password=\"p\" domain=\"\"") +
                                c.attribute + "/></command>"));
        if (std::string(c.sent).empty()) {
            const vornadmin::SReply reply = fresh.readReply();
            EXPECT_EQ(1, reply.rc);
            EXPECT_NE(std::string::npos, reply.error.find("client-address")) << reply.error;
            EXPECT_EQ(CGUIClient::eLoginFormat, fresh.result());
            continue;
        }
        const std::vector<std::string> auth = fresh.readAuth();
        EXPECT_EQ(std::string(c.sent) == "-" ? "" : c.sent, auth[3]);
        fresh.answer(3, "Incorrect password");
        EXPECT_EQ(3, fresh.readReply().rc);
        EXPECT_EQ(CGUIClient::eLoginRefused, fresh.result());
    }
}

TEST_F(GuiLogin, ADaemonThatGoesAwayEndsTheLoginWithoutAReply) {
    startLogin();
    m_pair.send(frame(kAuth));
    readAuth();
    m_daemonEnd.reset();
    EXPECT_EQ(CGUIClient::eLoginCommunication, result());
    char byte = 0;
    EXPECT_LE(::recv(m_pair.peer, &byte, 1, MSG_DONTWAIT), 0) << "no reply may be sent";
}

TEST(GuiDeadline, RunsItsActionOnlyWhenNotCancelledInTime) {
    std::atomic<int> runs{0};
    auto action = [](void* counter) { ++*static_cast<std::atomic<int>*>(counter); };
    CGUIDeadline deadline;
    deadline.start(3600000, action, &runs);
    EXPECT_FALSE(deadline.cancel());
    EXPECT_EQ(0, runs.load());
    deadline.start(1, action, &runs);
    for (int i = 0; i < 30000 && runs.load() == 0; ++i)
        poll(nullptr, 0, 1);
    EXPECT_TRUE(deadline.cancel());
    EXPECT_EQ(1, runs.load());
    EXPECT_FALSE(deadline.cancel());
}
