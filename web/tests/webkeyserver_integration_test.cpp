// The web console's key server requests end to end: a real orxweb and a real orxgui with a
// throw-away account (root only; skipped otherwise) search a real sks that gpg sent a key to and
// fetch the key; the list read at once afterwards shows it; bad values never leave orxweb; a
// key the server does not hold is the listener's refusal in one sentence.
// ctest-labels: threaded
#include "hkp_standin.h"
#include "listener_harness.h"
#include "sks_harness.h"
#include "test_account.h"
#include "web_test_support.h"
#include "webserver.h"
#include "webtls.h"
#include "zaf_temp_dir.h"

#include <gtest/gtest.h>
#include <httplib.h>

using namespace vornweb;
using orxwebtest::jsonField;

namespace {

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class WebKeyServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_account = TestAccount::create("orxwk");
        if (!m_account)
            GTEST_SKIP() << TestAccount::skipReason();
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

    std::pair<int, std::string> post(const std::string& path, const httplib::Params& form) {
        auto res = m_http->Post(path.c_str(), m_headers, form);
        return res ? std::make_pair(res->status, res->body) : std::make_pair(-1, std::string());
    }

    std::unique_ptr<TestAccount> m_account;
    orxtest::CListenerProcess m_listener;
    ZafTempDir m_dir;
    std::unique_ptr<CWebServer> m_server;
    std::unique_ptr<httplib::SSLClient> m_http;
    httplib::Headers m_headers;
};

} // namespace

TEST_F(WebKeyServerTest, SearchesAndFetchesFromARealKeyServer) {
    orxtest::SSksWithKey server(m_dir.file("ks"), "Web Example <web@example.org>");
    if (!server.skip.empty())
        GTEST_SKIP() << server.skip;
    ASSERT_EQ("", server.failure);
    const orxtest::SksServer& sks = *server.sks;
    const std::string fpr = server.fingerprint;
    const std::string longID = "0x" + fpr.substr(24);

    const auto found =
        post("/api/keyserver/search", {{"pattern", "web@example.org"}, {"server", sks.url()}});
    ASSERT_EQ(200, found.first) << found.second;
    EXPECT_TRUE(holds(found.second, "\"name\":\"keyserver-keys\"")) << found.second;
    EXPECT_TRUE(holds(found.second, "Web Example \\u003cweb@example.org\\u003e")) << found.second;
    EXPECT_TRUE(holds(found.second, fpr.substr(24))) << found.second;

    // The list read before the fetch is kept; read at once afterwards it shows the new key.
    auto before = m_http->Get("/api/keys", m_headers);
    ASSERT_TRUE(before);
    ASSERT_EQ(200, before->status) << before->body;
    EXPECT_FALSE(holds(before->body, "web@example.org"));
    const auto fetched = post("/api/keyserver/fetch", {{"ids", longID}, {"server", sks.url()}});
    ASSERT_EQ(200, fetched.first) << fetched.second;
    EXPECT_EQ("1", jsonField(fetched.second, "new")) << fetched.second;
    EXPECT_EQ("new", jsonField(fetched.second, "outcome")) << fetched.second;
    auto after =
        m_http->Get(("/api/keys?since=" + jsonField(before->body, "version")).c_str(), m_headers);
    ASSERT_TRUE(after);
    EXPECT_TRUE(holds(after->body, "web@example.org")) << after->body;

    // A key the server does not hold: the listener's refusal, nothing imported.
    const auto absent =
        post("/api/keyserver/fetch", {{"ids", "0x0123456789ABCDEF"}, {"server", sks.url()}});
    EXPECT_EQ(422, absent.first) << absent.second;
    EXPECT_TRUE(holds(absent.second, "\"rc\":8")) << absent.second;
    EXPECT_TRUE(holds(absent.second, "0x0123456789ABCDEF")) << absent.second;
    auto unchanged = m_http->Get("/api/keys", m_headers);
    ASSERT_TRUE(unchanged);
    EXPECT_EQ(jsonField(after->body, "version"), jsonField(unchanged->body, "version"));
}

TEST_F(WebKeyServerTest, BadValuesAndForgedRequestsNeverReachTheListener) {
    // Nothing may reach a key server: this one would say so.
    orxtest::HkpStandIn watcher(
        [](int fd, const orxtest::HkpStandIn::Request&, orxtest::HkpStandIn&) {
            orxtest::HkpStandIn::writeAll(fd, orxtest::HkpStandIn::answer(404, "not here"));
        });
    for (const httplib::Params& form :
         {httplib::Params{{"ids", "web@example.org"}}, httplib::Params{{"ids", " , "}},
          httplib::Params{{"ids", "0x1A2B3C4"}}}) {
        httplib::Params withServer = form;
        withServer.emplace("server", watcher.url());
        EXPECT_EQ(400, post("/api/keyserver/fetch", withServer).first);
    }
    EXPECT_EQ(400,
              post("/api/keyserver/search", {{"pattern", ""}, {"server", watcher.url()}}).first);
    // Without the session's CSRF token a fetch changes nothing.
    httplib::Headers forged = m_headers;
    forged.erase("X-CSRF-Token");
    auto res = m_http->Post("/api/keyserver/fetch", forged,
                            httplib::Params{{"ids", "0x1A2B3C4D"}, {"server", watcher.url()}});
    ASSERT_TRUE(res);
    EXPECT_EQ(403, res->status);
    EXPECT_EQ(0, watcher.connections());
    EXPECT_EQ(404, post("/api/keyserver/send", {{"ids", "0x1A2B3C4D"}}).first);
}
