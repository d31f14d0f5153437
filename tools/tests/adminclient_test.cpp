// Tests of the administration client library: request documents as the listener reads them,
// reply parsing, and the connection (first byte, secure channel, frames) against a real loopback
// listener stand-in.
// ctest-labels: threaded
#include "admin_test_server.h"
#include "adminclient.h"
#include "adminrequests.h"
#include "expect_throw.h"

#include <oozaf/mem.h>

#include <atomic>
#include <gtest/gtest.h>
#include <string>

using namespace vornadmin;
using oozaf::CZAFSocket;

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>";

class CToolkitEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_EQ(0, ZAFsdkInit(kZAFFlags_LocalMode));
        m_blocks = oozaf::gObjMemoryManager().getBlockCount();
    }
    void TearDown() override {
        EXPECT_EQ(m_blocks, oozaf::gObjMemoryManager().getBlockCount());
        ZAFsdkCleanup();
    }

private:
    size_t m_blocks = 0;
};
const ::testing::Environment* const gToolkit =
    ::testing::AddGlobalTestEnvironment(new CToolkitEnvironment);

std::string reply(int rc, const std::string& error = "", const std::string& body = "") {
    return kDecl + "<response rc=\"" + std::to_string(rc) + "\"><error>" + error + "</error>" +
           body + "</response>";
}

SConnectOptions local(uint16_t port) {
    SConnectOptions options;
    options.port = port;
    options.timeoutMs = 10000;
    return options;
}

std::unique_ptr<CAdminConnection> connectTo(const SConnectOptions& options) {
    try {
        return CAdminConnection::connect(options);
    } catch (oozaf::CZAFThrowable* e) {
        oozaf::CZAFThrowableGuard guard(e);
        ADD_FAILURE() << e->getDetailedMessage();
        return nullptr;
    }
}

} // namespace

// ---- request documents ----

TEST(AdminRequests, ReadOnlyRequestsCarryAnEmptyDataElement) {
    EXPECT_EQ(kDecl + "<command type=\"keys-summary\"><data/></command>",
              gWriteXml(gKeysSummaryRequest()));
    EXPECT_EQ(kDecl + "<command type=\"log-get\"><data/></command>", gWriteXml(gLogRequest()));
    EXPECT_EQ(kDecl + "<command type=\"get-cmdline-options\"><data/></command>",
              gWriteXml(gCmdlineOptionsRequest()));
    EXPECT_EQ(kDecl + "<command type=\"conf-get\"><data/></command>", gWriteXml(gConfGetRequest()));
}

TEST(AdminRequests, KeyGenerationSendsEveryAttributeTheListenerChecks) {
    SKeyGenParams params;
    params.name = "Alice <alice@example.org>";
    params.passphrase = "pa\"ss & <word>";
    params.size = 3072;
    params.cipher = "AES128";
    EXPECT_EQ(kDecl + "<command type=\"key-gen\"><data adk=\"\" cipher=\"AES128\" "
                      "name=\"Alice &lt;alice@example.org>\" "
                      "passphrase=\"pa&quot;ss &amp; &lt;word>\" sign-only=\"no\" "
                      "size=\"3072\" token=\"no\" trust-depth=\"0\" type=\"RSA\"/>"
                      "</command>",
              gWriteXml(gKeyGenRequest(params)));
    params.expiry = "2031-02-03";
    params.signOnly = true;
    SXmlElement parsed = gParseXml(gWriteXml(gKeyGenRequest(params)));
    const SXmlElement* data = parsed.child("data");
    ASSERT_NE(nullptr, data);
    EXPECT_EQ("pa\"ss & <word>", data->get("passphrase"));
    EXPECT_EQ("2031-02-03", data->get("expiry-date"));
    EXPECT_EQ("yes", data->get("sign-only"));
}

TEST(AdminRequests, KeyEditingRequestsNameTheirKeys) {
    EXPECT_EQ(kDecl + "<command type=\"key-remove\"><data><key id=\"0x1234ABCD\" pin=\"\"/>"
                      "</data></command>",
              gWriteXml(gKeyRemoveRequest("0x1234ABCD")));
    SSignParams sign;
    sign.signedKey = "0x11111111";
    sign.signingKey = "0x22222222";
    sign.sigType = "Meta";
    sign.depth = 2;
    sign.passphrase = "pw";
    EXPECT_EQ(kDecl + "<command type=\"key-sign\"><data depth=\"2\" passphrase=\"pw\" regexp=\"\" "
                      "sig-type=\"Meta\" signed-key=\"0x11111111\" "
                      "signing-key=\"0x22222222\"/></command>",
              gWriteXml(gKeySignRequest(sign)));
    EXPECT_EQ(kDecl + "<command type=\"key-revoke\"><data id=\"0x1\" passphrase=\"p\" "
                      "revoker-id=\"0x2\"/></command>",
              gWriteXml(gKeyRevokeRequest("0x1", "0x2", "p")));
    EXPECT_EQ(kDecl + "<command type=\"key-revoke\"><data id=\"0x1\" passphrase=\"p\" "
                      "reason=\"compromised\" reason-text=\"lost laptop\" "
                      "revoker-id=\"0x1\"/></command>",
              gWriteXml(gKeyRevokeRequest("0x1", "0x1", "p", "compromised", "lost laptop")));
    EXPECT_EQ(kDecl + "<command type=\"userid-remove\"><data id=\"0x1\" userid=\"Bob\"/>"
                      "</command>",
              gWriteXml(gUserIDRemoveRequest("0x1", "Bob")));
    EXPECT_EQ(kDecl + "<command type=\"subkey-gen\"><data expiry-date=\"2030-01-01\" id=\"0x1\" "
                      "passphrase=\"p\" subkey-size=\"2048\"/></command>",
              gWriteXml(gSubkeyGenRequest("0x1", 2048, "p", "", "2030-01-01")));
}

TEST(AdminRequests, KeyServerRequestsNameTheServerOnlyWhenGiven) {
    EXPECT_EQ(kDecl + "<command type=\"keyserver-search\"><data pattern=\"ann example\"/>"
                      "</command>",
              gWriteXml(gKeyServerSearchRequest("ann example", "")));
    // The listener splits the names at blanks: a fingerprint in groups travels as one word.
    EXPECT_EQ(
        kDecl + "<command type=\"keyserver-fetch\"><data ids=\"0x1A2B3C4D "
                "3F0B96C28D1170AE42D90B6E7F33C1D45A1C9E02\" server=\"hkps://k:443\"/>"
                "</command>",
        gWriteXml(gKeyServerFetchRequest(
            {"0x1A2B3C4D", "3F0B 96C2 8D11 70AE 42D9  0B6E 7F33 C1D4 5A1C 9E02"}, "hkps://k:443")));
}

TEST(AdminRequests, BinaryPayloadsTravelAsBase64WithTheirSize) {
    const std::string bytes("\x99\x01\x0d\x00\xff", 5);
    EXPECT_EQ(kDecl + "<command type=\"key-add\"><data with-private=\"no\" x509=\"no\">"
                      "<file size=\"5\">mQENAP8=</file></data></command>",
              gWriteXml(gKeyImportRequest(bytes)));
    EXPECT_EQ(kDecl + "<command type=\"entropy-supply\"><data><entropy needed=\"300\">"
                      "mQENAP8=</entropy></data></command>",
              gWriteXml(gEntropySupplyRequest(bytes, 300)));
    SExportParams exportParams;
    exportParams.id = "0xABCDEF01";
    exportParams.armor = false;
    EXPECT_EQ(kDecl + "<command type=\"key-export\"><data armor=\"no\" export-format=\"Complete\" "
                      "id=\"0xABCDEF01\" with-private=\"no\"/></command>",
              gWriteXml(gKeyExportRequest(exportParams)));
}

TEST(AdminRequests, ConfigurationIsSentAsOneAliasesAndOneValuesElement) {
    SXmlElement configuration =
        gParseXml("<configuration><aliases><alias code=\"k\" command=\"--keys a b\"/></aliases>"
                  "<values><PubRing type=\"string\">/home/u/my ring.pkr</PubRing></values>"
                  "</configuration>");
    EXPECT_EQ(kDecl + "<command type=\"conf-set\"><data><aliases><alias code=\"k\" "
                      "command=\"--keys a b\"/></aliases><values><PubRing type=\"string\">"
                      "/home/u/my ring.pkr</PubRing></values></data></command>",
              gWriteXml(gConfSetRequest(configuration)));

    configuration.children.pop_back();
    auto e = expectThrow<CAdminException>([&] { gConfSetRequest(configuration); });
    ASSERT_TRUE(e);
    EXPECT_EQ("The configuration must hold exactly one 'values' element", e->getMessage());
}

TEST(AdminRequests, TextsOutsideAsciiSurviveTheRoundTrip) {
    const std::string name = "J\xc3\xbcrgen \xe2\x82\xac <j@example.org>";
    SXmlElement parsed = gParseXml(gWriteXml(gUserIDAddRequest("0x1", name, "p")));
    EXPECT_EQ(name, parsed.child("data")->get("userid"));
}

TEST(AdminRequests, InvalidNamesAreRefusedNotSent) {
    SXmlElement command = gCommand("x");
    gData(command).set("bad name", "v");
    auto e = expectThrow<CAdminException>([&] { gWriteXml(command); });
    ASSERT_TRUE(e);
}

// ---- replies ----

TEST(AdminReplies, ReadsCodeErrorAndBody) {
    SReply ok = gParseReply(reply(0, "", "<info rng=\"yes\" platform=\"UNIX\" log=\"no\"/>"));
    EXPECT_TRUE(ok.ok());
    EXPECT_EQ("", ok.error);
    ASSERT_NE(nullptr, ok.body());
    EXPECT_EQ("info", ok.body()->name);
    ASSERT_EQ(3u, ok.body()->attributes.size());
    EXPECT_EQ("yes", ok.body()->get("rng"));
    EXPECT_EQ("no", ok.body()->get("log"));
    EXPECT_EQ("fallback", ok.body()->get("missing", "fallback"));

    SReply failed = gParseReply(reply(12, "A format error has been detected in the request: "
                                          "No command found\n"));
    EXPECT_EQ(12, failed.rc);
    EXPECT_EQ("A format error has been detected in the request: No command found\n", failed.error);
    EXPECT_EQ(nullptr, failed.body());
}

TEST(AdminReplies, RefusesRepliesOfTheWrongShape) {
    struct SCase {
        std::string xml;
        std::string message;
    } cases[] = {
        {kDecl + "<reply rc=\"0\"><error/></reply>",
         "The reply's root element is 'reply', not 'response'"},
        {kDecl + "<response><error/></response>", "The reply has no valid 'rc' attribute: ''"},
        {kDecl + "<response rc=\"-1\"><error/></response>",
         "The reply has no valid 'rc' attribute: '-1'"},
        {kDecl + "<response rc=\"99999999999\"><error/></response>",
         "The reply has no valid 'rc' attribute: '99999999999'"},
        {kDecl + "<response rc=\"0\"><keys/><error/></response>",
         "The reply does not start with an 'error' element"},
        {kDecl + "<response rc=\"0\"/>", "The reply does not start with an 'error' element"},
    };
    for (const SCase& c : cases) {
        auto e = expectThrow<CAdminException>([&] { gParseReply(c.xml); });
        ASSERT_TRUE(e) << c.xml;
        EXPECT_EQ(c.message, e->getMessage()) << c.xml;
    }
}

TEST(AdminReplies, RefusesDocumentTypesAndEntities) {
    const std::string bomb = "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY a \"aaaaaaaaaa\">"
                             "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
                             "<response rc=\"0\"><error>&b;</error></response>";
    auto e = expectThrow<CAdminException>([&] { gParseReply(bomb); });
    ASSERT_TRUE(e);
    EXPECT_EQ(0u, e->getMessage().find("Invalid XML: ")) << e->getMessage();

    const std::string external = "<?xml version=\"1.0\"?><!DOCTYPE r SYSTEM \"/etc/passwd\">"
                                 "<response rc=\"0\"><error/></response>";
    EXPECT_TRUE(expectThrow<CAdminException>([&] { gParseReply(external); }));
}

TEST(AdminReplies, RefusesMalformedAndTooDeepDocuments) {
    EXPECT_TRUE(expectThrow<CAdminException>([&] { gParseXml("<response rc=\"0\"><error>"); }));
    EXPECT_TRUE(expectThrow<CAdminException>([&] { gParseXml(""); }));
    std::string deep;
    for (unsigned int i = 0; i < kXmlMaxDepth; ++i)
        deep += "<a>";
    for (unsigned int i = 0; i < kXmlMaxDepth; ++i)
        deep += "</a>";
    EXPECT_NO_THROW(gParseXml(deep));
    auto e = expectThrow<CAdminException>([&] { gParseXml("<a>" + deep + "</a>"); });
    ASSERT_TRUE(e);
    EXPECT_EQ("XML document nested more than 64 levels deep", e->getMessage());
}

TEST(AdminReplies, ExportAndPhotoPayloadsAreDecodedStrictly) {
    SReply armored = gParseReply(reply(0, "",
                                       "<file><line>-----BEGIN ZAF PUBLIC KEY BLOCK-----"
                                       "</line><line/><line>mQENBF</line></file>"));
    EXPECT_EQ("-----BEGIN ZAF PUBLIC KEY BLOCK-----\n\nmQENBF\n", gExportedKey(armored));
    SReply binary = gParseReply(reply(0, "", "<file>mQEN\nAP8=</file>"));
    EXPECT_EQ(std::string("\x99\x01\x0d\x00\xff", 5), gExportedKey(binary));
    EXPECT_EQ(std::string("\xff\xd8\xff", 3),
              gPhotoBytes(gParseReply(reply(0, "", "<photo>/9j/</photo>"))));

    for (const char* bad : {"mQEN!AP8=", "mQENAP8", "mQENA===", "mQ=ENAP8", "=", "mQENAP8=="}) {
        auto e = expectThrow<CAdminException>([&] { gDecodeBase64(bad); });
        ASSERT_TRUE(e) << bad;
        EXPECT_EQ("The reply holds invalid Base64 data", e->getMessage());
    }
    EXPECT_EQ("", gDecodeBase64(""));
    EXPECT_EQ("a", gDecodeBase64("YQ=="));
    EXPECT_EQ("ab", gDecodeBase64("YWI="));

    auto e = expectThrow<CAdminException>([&] { gPhotoBytes(armored); });
    ASSERT_TRUE(e);
    EXPECT_EQ("The reply holds no 'photo' element", e->getMessage());
}

TEST(AdminReplies, ReportsAreReadAsUnsignedNumbers) {
    EXPECT_EQ(2, gImportStatus(gParseReply(reply(0, "", "<file-report error=\"2\"/>"))));
    EXPECT_EQ(4096u, gEntropyReport(gParseReply(reply(0, "", "<entropy-report needed=\"4096\"/>")),
                                    "needed"));
    EXPECT_TRUE(expectThrow<CAdminException>(
        [&] { gImportStatus(gParseReply(reply(0, "", "<file-report error=\"x\"/>"))); }));
    EXPECT_TRUE(expectThrow<CAdminException>([&] {
        gEntropyReport(gParseReply(reply(0, "", "<entropy-report needed=\"-5\"/>")), "needed");
    }));
}

// ---- the connection ----

TEST(AdminConnection, LogsInOverAPlainConnectionAndExchangesRequests) {
    std::string seenLogin;
    AdminTestServer server(0, [&](CZAFSocket& socket) {
        seenLogin = AdminTestServer::readFrame(socket);
        AdminTestServer::writeFrame(
            socket, reply(0, "", "<info rng=\"yes\" platform=\"UNIX\" log=\"no\"/>"));
        std::string request = AdminTestServer::readFrame(socket);
        AdminTestServer::writeFrame(socket, reply(0, "", "<keys/>"));
    });
    auto connection = connectTo(local(server.port()));
    ASSERT_TRUE(connection);
    EXPECT_FALSE(connection->isSecure());
    SReply login = connection->login("alice", "s3cret&<", "dom");
    EXPECT_EQ(0, login.rc);
    ASSERT_NE(nullptr, login.body());
    EXPECT_EQ("UNIX", login.body()->get("platform"));
    SReply keys = connection->request(gWriteXml(gKeysSummaryRequest()));
    ASSERT_NE(nullptr, keys.body());
    EXPECT_EQ("keys", keys.body()->name);
    EXPECT_EQ("", server.join());

    SXmlElement auth = gParseXml(seenLogin);
    EXPECT_EQ("auth", auth.get("type"));
    EXPECT_EQ("alice", auth.child("data")->get("username"));
    EXPECT_EQ("s3cret&<", auth.child("data")->get("password"));
    EXPECT_EQ("dom", auth.child("data")->get("domain"));
}

TEST(AdminConnection, SecureChannelHidesThePasswordFromTheWire) {
    const std::string password = "Unmistakable-Password-81723";
    std::string seenLogin;
    AdminTestServer server(1, [&](CZAFSocket& socket) {
        seenLogin = AdminTestServer::readFrame(socket);
        AdminTestServer::writeFrame(socket, reply(3, "Incorrect password\n"));
    });
    auto connection = connectTo(local(server.port()));
    ASSERT_TRUE(connection);
    EXPECT_TRUE(connection->isSecure());
    SReply login = connection->login("bob", password);
    EXPECT_EQ(3, login.rc);
    EXPECT_EQ("Incorrect password\n", login.error);
    EXPECT_EQ("", server.join());
    EXPECT_EQ(password, gParseXml(seenLogin).child("data")->get("password"));
}

TEST(AdminConnection, RequireSecureRefusesAPlainListener) {
    AdminTestServer server(0, [](CZAFSocket&) {});
    SConnectOptions options = local(server.port());
    options.requireSecure = true;
    auto e = expectThrow<CAdminException>([&] { CAdminConnection::connect(options); });
    ASSERT_TRUE(e);
    EXPECT_EQ("The listener offers only a plain connection, and a secure one is required",
              e->getMessage());
}

TEST(AdminConnection, RefusesAnUnknownFirstByteAndAnEarlyClose) {
    {
        AdminTestServer server(7, [](CZAFSocket&) {});
        auto e =
            expectThrow<CAdminException>([&] { CAdminConnection::connect(local(server.port())); });
        ASSERT_TRUE(e);
        EXPECT_EQ("Unexpected first byte from the listener: 7", e->getMessage());
    }
    {
        AdminTestServer server(-1, [](CZAFSocket&) {});
        auto e =
            expectThrow<CAdminException>([&] { CAdminConnection::connect(local(server.port())); });
        ASSERT_TRUE(e);
        EXPECT_EQ("The listener closed the connection before its first byte", e->getMessage());
    }
}

TEST(AdminConnection, GivesUpWhenTheFirstByteNeverComes) {
    AdminTestServer server(-1, [&](CZAFSocket& socket) {
        // Hold the connection open until the client has given up.
        char byte;
        socket.read(&byte, 1);
    });
    SConnectOptions options = local(server.port());
    options.timeoutMs = 200;
    auto e = expectThrow<CAdminException>([&] { CAdminConnection::connect(options); });
    ASSERT_TRUE(e);
    EXPECT_EQ("Timed out waiting for the listener's first byte", e->getMessage());
}

TEST(AdminConnection, ReadsALengthThatArrivesInPieces) {
    const std::string body = reply(0, "", "<keys/>");
    int clientFd = -1;
    std::atomic<bool> haveFd{false};
    AdminTestServer server(0, [&](CZAFSocket& socket) {
        AdminTestServer::readFrame(socket);
        const std::string length = AdminTestServer::lengthOf(uint32_t(body.size()));
        while (!haveFd.load())
            std::this_thread::yield();
        // Each piece is consumed by the client before the next one is sent.
        AdminTestServer::writeAll(socket, length.substr(0, 1));
        ASSERT_TRUE(AdminTestServer::drained(clientFd));
        AdminTestServer::writeAll(socket, length.substr(1, 2));
        ASSERT_TRUE(AdminTestServer::drained(clientFd));
        AdminTestServer::writeAll(socket, length.substr(3) + body.substr(0, 10));
        ASSERT_TRUE(AdminTestServer::drained(clientFd));
        AdminTestServer::writeAll(socket, body.substr(10));
    });
    auto connection = connectTo(local(server.port()));
    ASSERT_TRUE(connection);
    clientFd = connection->socket().getDescriptor();
    haveFd = true;
    SReply keys = connection->request(gWriteXml(gKeysSummaryRequest()));
    EXPECT_EQ("keys", keys.body()->name);
    EXPECT_EQ("", server.join());
}

TEST(AdminConnection, ReadsALengthSplitAcrossSecureRecords) {
    const std::string body = reply(0, "", "<keys/>");
    AdminTestServer server(1, [&](CZAFSocket& socket) {
        AdminTestServer::readFrame(socket);
        const std::string length = AdminTestServer::lengthOf(uint32_t(body.size()));
        // One write is one record, and a read never spans two records.
        socket.write(length.data(), 1);
        socket.write(length.data() + 1, 3);
        socket.write(body.data(), 7);
        socket.write(body.data() + 7, unsigned(body.size() - 7));
    });
    auto connection = connectTo(local(server.port()));
    ASSERT_TRUE(connection);
    SReply keys = connection->request(gWriteXml(gKeysSummaryRequest()));
    EXPECT_EQ("keys", keys.body()->name);
    EXPECT_EQ("", server.join());
}

TEST(AdminConnection, RefusesAnOversizedReplyBeforeReadingIt) {
    for (int first : {0, 1}) {
        AdminTestServer server(first, [&](CZAFSocket& socket) {
            AdminTestServer::readFrame(socket);
            AdminTestServer::writeAll(socket, AdminTestServer::lengthOf(kDefaultMaxReply + 1));
            AdminTestServer::writeAll(socket, "<response");
        });
        auto connection = connectTo(local(server.port()));
        ASSERT_TRUE(connection);
        auto e = expectThrow<CAdminException>(
            [&] { connection->request(gWriteXml(gKeysSummaryRequest())); });
        ASSERT_TRUE(e);
        EXPECT_EQ("The listener announced a reply of 67108865 bytes, more than the limit of "
                  "67108864",
                  e->getMessage());
        connection->close();
        server.join();
    }
}

TEST(AdminConnection, TellsAnOrderlyCloseFromABrokenReply) {
    for (int first : {0, 1}) {
        AdminTestServer server(first, [&](CZAFSocket& socket) {
            AdminTestServer::readFrame(socket);
            AdminTestServer::writeFrame(socket, reply(0, "", "<keys/>"));
            AdminTestServer::readFrame(socket);
            AdminTestServer::writeAll(socket, AdminTestServer::lengthOf(100) + "<resp");
            socket.close();
        });
        auto connection = connectTo(local(server.port()));
        ASSERT_TRUE(connection);
        connection->sendFrame(gWriteXml(gKeysSummaryRequest()));
        std::string payload;
        ASSERT_TRUE(connection->readFrame(payload));
        auto e = expectThrow<CAdminException>(
            [&] { connection->request(gWriteXml(gKeysSummaryRequest())); });
        ASSERT_TRUE(e);
        EXPECT_EQ("The listener closed the connection in the middle of a reply", e->getMessage())
            << e->getDetailedMessage();
        server.join();
    }
    AdminTestServer server(1, [&](CZAFSocket& socket) {
        AdminTestServer::readFrame(socket);
        socket.close();
    });
    auto connection = connectTo(local(server.port()));
    ASSERT_TRUE(connection);
    connection->sendFrame(gWriteXml(gKeysSummaryRequest()));
    std::string payload;
    EXPECT_FALSE(connection->readFrame(payload));
    auto e = expectThrow<CAdminException>([&] { connection->login("u", "p"); });
    ASSERT_TRUE(e);
    server.join();
}

TEST(AdminConnection, CallsBackWhileWaitingForASlowReply) {
    std::atomic<int> calls{0};
    AdminTestServer server(1, [&](CZAFSocket& socket) {
        AdminTestServer::readFrame(socket);
        // Reply only after the client has reported progress twice.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (calls.load() < 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        AdminTestServer::writeFrame(socket, reply(0));
    });
    auto connection = connectTo(local(server.port()));
    ASSERT_TRUE(connection);
    SReply done = connection->request(
        gWriteXml(gKeysSummaryRequest()), [&](unsigned int) { ++calls; }, 10);
    EXPECT_TRUE(done.ok());
    EXPECT_GE(calls.load(), 2);
    EXPECT_EQ("", server.join());
}
