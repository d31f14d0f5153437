// The key edits of the web console end to end, through a real orxweb and a real orxgui with a
// throw-away account (root only; skipped otherwise): a key pair generated with the entropy
// exchange, then owner trust, disabling and enabling, expiry set and removed, the passphrase
// changed (the old one then fails, in one sentence), a user ID and a subkey revoked; every answer
// carries the key as it is afterwards, named by its long ID, and the list read at once after a
// change shows it; each edit is a line of the transaction log.
// ctest-labels: threaded
#include "listener_harness.h"
#include "test_account.h"
#include "web_test_support.h"
#include "webserver.h"
#include "webtls.h"
#include "zaf_temp_dir.h"

#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <httplib.h>

using namespace vornweb;
using orxwebtest::jsonField;

namespace {

class WebKeyEditTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_account = TestAccount::create("orxwe");
        if (!m_account)
            GTEST_SKIP() << TestAccount::skipReason();
        {
            // A transaction log, before any thread of orxweb runs.
            ScopedIdentity as(*m_account);
            std::filesystem::create_directories(m_account->file(".zaf"));
            std::ofstream(m_account->file(".zaf/zaf.cfg")) << "Log-File=transactions.log\n";
        }
        ASSERT_TRUE(m_listener.start());
        std::string cert;
        std::string key;
        gEnsureCertificate(m_dir.file("state"), cert, key);
        SWebOptions options;
        options.port = 0;
        options.listenerPort = m_listener.port();
        options.certFile = cert;
        options.keyFile = key;
        options.assetsDir = ORXWEB_ASSETS_DIR;
        options.knownHostsFile = m_dir.file("known_hosts");
        m_server = std::make_unique<CWebServer>(options);
        m_server->start();
        m_http = std::make_unique<httplib::SSLClient>("127.0.0.1", m_server->port());
        m_http->enable_server_certificate_verification(false);
        m_http->set_read_timeout(300, 0);
        auto login =
            m_http->Post("/api/login", httplib::Params{{"user", m_account->name()},
                                                       {"password", m_account->password()}});
        ASSERT_TRUE(login);
        ASSERT_EQ(200, login->status) << login->body;
        const std::string cookie = login->get_header_value("Set-Cookie");
        m_headers = {{"Cookie", cookie.substr(0, cookie.find(';'))},
                     {"X-CSRF-Token", jsonField(login->body, "csrf")}};
    }

    // Posts a form; returns the status and the body.
    std::pair<int, std::string> post(const std::string& path, const httplib::Params& form) {
        auto res = m_http->Post(path.c_str(), m_headers, form);
        return res ? std::make_pair(res->status, res->body) : std::make_pair(-1, std::string());
    }

    // A key pair made with the entropy the listener asks for; its long ID.
    std::string generatePair(const std::string& name, const std::string& passphrase) {
        const auto needed = post("/api/action/entropy-pair", {{"type", "RSA"}, {"size", "2048"}});
        EXPECT_EQ(200, needed.first) << needed.second;
        const std::string bytes = jsonField(needed.second, "needed");
        const std::string entropy(std::stoul(bytes), 'e');
        const auto made =
            post("/api/generate/key-gen", {{"name", name},
                                           {"type", "RSA"},
                                           {"size", "2048"},
                                           {"passphrase", passphrase},
                                           {"entropy", vornadmin::gEncodeBase64(entropy)},
                                           {"needed", bytes}});
        EXPECT_EQ(200, made.first) << made.second;
        return jsonField(made.second, "idfull");
    }

    static std::string dayFromNow(int days) {
        const std::time_t when = std::time(nullptr) + days * 86400;
        std::tm parts{};
        ::gmtime_r(&when, &parts);
        char text[16];
        std::strftime(text, sizeof text, "%Y-%m-%d", &parts);
        return text;
    }

    std::unique_ptr<TestAccount> m_account;
    orxtest::CListenerProcess m_listener;
    ZafTempDir m_dir;
    std::unique_ptr<CWebServer> m_server;
    std::unique_ptr<httplib::SSLClient> m_http;
    httplib::Headers m_headers;
};

} // namespace

TEST_F(WebKeyEditTest, EveryEditOfAKeyPairAnswersWithTheKeyAsItIsAfterwards) {
    const std::string id = generatePair("Edit Tester <edit@example.org>", "first words");
    ASSERT_EQ(18u, id.size());

    // The list read just before the change is kept; read again at once after it, it shows the
    // change (the change answers with the one key, the list is asked for again).
    auto before = m_http->Get("/api/keys", m_headers);
    ASSERT_TRUE(before);
    ASSERT_EQ(200, before->status);
    const std::string version = jsonField(before->body, "version");
    auto trust = post("/api/action/trust", {{"id", id}, {"trust", "Marginal"}});
    ASSERT_EQ(200, trust.first) << trust.second;
    EXPECT_NE(std::string::npos, trust.second.find("\"trust\":\"Marginal")) << trust.second;
    auto since = m_http->Get(("/api/keys?since=" + version).c_str(), m_headers);
    ASSERT_TRUE(since);
    EXPECT_NE(version, jsonField(since->body, "version"));
    EXPECT_NE(std::string::npos, since->body.find("\"Marginal\"")) << since->body;
    EXPECT_EQ(400, post("/api/action/trust", {{"id", id}, {"trust", "Total"}}).first);

    auto off = post("/api/action/disable", {{"id", id}});
    ASSERT_EQ(200, off.first) << off.second;
    EXPECT_NE(std::string::npos, off.second.find("\"disabled\":\"yes\""));
    auto on = post("/api/action/enable", {{"id", id}});
    EXPECT_NE(std::string::npos, on.second.find("\"disabled\":\"no\"")) << on.second;

    const std::string day = dayFromNow(100);
    auto expiry =
        post("/api/action/expiry", {{"id", id}, {"expiry", day}, {"passphrase", "first words"}});
    ASSERT_EQ(200, expiry.first) << expiry.second;
    EXPECT_EQ(day, jsonField(expiry.second, "expiration-time")) << expiry.second;
    auto never =
        post("/api/action/expiry", {{"id", id}, {"expiry", ""}, {"passphrase", "first words"}});
    ASSERT_EQ(200, never.first) << never.second;
    EXPECT_EQ("N/A", jsonField(never.second, "expiration-time"));

    auto changed =
        post("/api/action/passphrase",
             {{"id", id}, {"passphrase", "first words"}, {"new-passphrase", "second words"}});
    ASSERT_EQ(200, changed.first) << changed.second;
    auto old =
        post("/api/action/userid-add",
             {{"id", id}, {"userid", "Never <never@example.org>"}, {"passphrase", "first words"}});
    EXPECT_EQ(422, old.first);
    EXPECT_EQ("The passphrase is wrong.", jsonField(old.second, "error")) << old.second;
    EXPECT_NE("", jsonField(old.second, "details"));
    auto added = post(
        "/api/action/userid-add",
        {{"id", id}, {"userid", "Second <second@example.org>"}, {"passphrase", "second words"}});
    ASSERT_EQ(200, added.first) << added.second;
    EXPECT_NE(std::string::npos, added.second.find("second@example.org"));

    // Revoking the second user ID takes it back: it is gone from the key or shown revoked.
    auto revokedID = post("/api/action/userid-revoke", {{"id", id},
                                                        {"userid", "Second <second@example.org>"},
                                                        {"passphrase", "second words"},
                                                        {"reason", "32"}});
    ASSERT_EQ(200, revokedID.first) << revokedID.second;
    const size_t second = revokedID.second.find("second@example.org");
    EXPECT_TRUE(second == std::string::npos ||
                revokedID.second.find("\"revoked\":\"yes\"", second) != std::string::npos)
        << revokedID.second;
    EXPECT_EQ(422, post("/api/action/userid-revoke",
                        {{"id", id}, {"userid", "Nobody"}, {"passphrase", "second words"}})
                       .first);

    // The pair's encryption subkey: algorithm and usage shown, then revoked.
    const size_t subkeys = revokedID.second.find("\"name\":\"subkeys\"");
    ASSERT_NE(std::string::npos, subkeys);
    const std::string rest = revokedID.second.substr(subkeys);
    EXPECT_EQ("RSA", jsonField(rest, "alg"));
    EXPECT_EQ("e", jsonField(rest, "usage"));
    const std::string subkey = jsonField(rest, "id");
    ASSERT_EQ(10u, subkey.size());
    auto revokedSub = post("/api/action/subkey-revoke",
                           {{"id", id}, {"subkey", subkey}, {"passphrase", "second words"}});
    ASSERT_EQ(200, revokedSub.first) << revokedSub.second;
    const std::string after =
        revokedSub.second.substr(revokedSub.second.find("\"name\":\"subkeys\""));
    EXPECT_EQ("yes", jsonField(after, "revoked")) << after;

    // Each edit is a line of the user's transaction log, the passphrases masked.
    auto log = m_http->Get("/api/log", m_headers);
    ASSERT_TRUE(log);
    ASSERT_EQ(200, log->status) << log->body;
    for (const char* type : {"key-set-trust", "key-set-disabled", "key-set-expiry",
                             "key-change-passphrase", "userid-revoke", "subkey-revoke"})
        EXPECT_NE(std::string::npos, log->body.find(type)) << type << ": " << log->body;
    EXPECT_EQ(std::string::npos, log->body.find("first words"));
    EXPECT_EQ(std::string::npos, log->body.find("second words"));
}
