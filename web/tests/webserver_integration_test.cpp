// orxweb's HTTPS side against a real orxgui on loopback, logged in as a real throw-away Unix
// account (root only; skipped otherwise): the page's files and path traversal, malformed and
// oversized requests, login and cookies, CSRF, the session limit, a listener that is down, and
// the pinning of the listener's host key (first contact, a changed key, plain, strict).
// ctest-labels: threaded
#include "listener_harness.h"
#include "test_account.h"
#include "web_test_support.h"
#include "webserver.h"
#include "webtls.h"
#include "zaf_temp_dir.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace vornweb;

namespace {

using orxwebtest::jsonField;
using orxwebtest::rawRequest;
using orxwebtest::SResponse;

class WebServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_account = TestAccount::create("orxweb").release();
        if (s_account == nullptr)
            return;
        s_listener = new orxtest::CListenerProcess();
        if (!s_listener->start()) {
            delete s_listener;
            s_listener = nullptr;
            return;
        }
        s_state = new ZafTempDir();
        gEnsureCertificate(s_state->file("state"), s_cert, s_key);
    }
    static void TearDownTestSuite() {
        delete s_listener;
        s_listener = nullptr;
        delete s_account;
        s_account = nullptr;
        delete s_state;
        s_state = nullptr;
    }

    void SetUp() override {
        if (s_account == nullptr)
            GTEST_SKIP() << TestAccount::skipReason();
        ASSERT_NE(nullptr, s_listener) << "orxgui did not start";
    }

    // Options for a server in front of the listener at `listenerPort` (0: the suite's), with a
    // known-hosts file of this test's own.
    SWebOptions serverOptions(uint16_t listenerPort = 0) const {
        SWebOptions options;
        options.port = 0;
        options.listenerPort = listenerPort != 0 ? listenerPort : s_listener->port();
        options.certFile = s_cert;
        options.keyFile = s_key;
        options.assetsDir = ORXWEB_ASSETS_DIR;
        options.maxSessions = 4;
        options.threads = 4;
        options.knownHostsFile = m_dir.file("known_hosts");
        return options;
    }

    static std::unique_ptr<CWebServer> startServer(const SWebOptions& options) {
        auto server = std::make_unique<CWebServer>(options);
        server->start();
        return server;
    }

    std::unique_ptr<CWebServer> startServer(size_t maxSessions = 4, uint16_t listenerPort = 0,
                                            const std::string& assets = ORXWEB_ASSETS_DIR) {
        SWebOptions options = serverOptions(listenerPort);
        options.assetsDir = assets;
        options.maxSessions = maxSessions;
        return startServer(options);
    }

    static std::unique_ptr<httplib::SSLClient> client(const CWebServer& server) {
        auto http = std::make_unique<httplib::SSLClient>("127.0.0.1", server.port());
        http->enable_server_certificate_verification(false);
        http->set_read_timeout(60, 0);
        return http;
    }

    struct SLogin {
        int status = -1;
        std::string cookie; // "name=value" for a Cookie header
        std::string csrf;
        std::string setCookie;
        std::string body;
    };

    SLogin login(const CWebServer& server, const std::string& password) {
        SLogin result;
        auto http = client(server);
        httplib::Params form{{"user", s_account->name()}, {"password", password}};
        auto res = http->Post("/api/login", form);
        if (!res)
            return result;
        result.status = res->status;
        result.body = res->body;
        result.setCookie = res->get_header_value("Set-Cookie");
        result.cookie = result.setCookie.substr(0, result.setCookie.find(';'));
        result.csrf = jsonField(res->body, "csrf");
        return result;
    }

    ZafTempDir m_dir;
    static TestAccount* s_account;
    static orxtest::CListenerProcess* s_listener;
    static ZafTempDir* s_state;
    static std::string s_cert;
    static std::string s_key;
};

TestAccount* WebServerTest::s_account = nullptr;
orxtest::CListenerProcess* WebServerTest::s_listener = nullptr;
ZafTempDir* WebServerTest::s_state = nullptr;
std::string WebServerTest::s_cert;
std::string WebServerTest::s_key;

} // namespace

TEST_F(WebServerTest, ServesOnlyThePageFilesWithoutTraversal) {
    ZafTempDir dir;
    const std::string assets = dir.file("assets");
    std::filesystem::create_directories(assets + "/sub");
    std::ofstream(assets + "/index.html") << "<!doctype html><title>t</title>";
    std::ofstream(assets + "/app.js") << "\"use strict\";";
    std::ofstream(assets + "/.hidden") << "hidden";
    std::ofstream(assets + "/sub/inner.html") << "inner";
    std::ofstream(dir.file("outside.txt")) << "SECRET-OUTSIDE";
    std::filesystem::create_symlink(dir.file("outside.txt"), assets + "/link.txt");
    auto server = startServer(4, 0, assets);

    const SResponse index = rawRequest(server->port(), "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(200, index.status);
    EXPECT_EQ("<!doctype html><title>t</title>", index.body);
    EXPECT_EQ("text/html; charset=utf-8", index.header("Content-Type"));
    EXPECT_NE("", index.header("Content-Security-Policy"));
    EXPECT_EQ("nosniff", index.header("X-Content-Type-Options"));
    EXPECT_EQ("DENY", index.header("X-Frame-Options"));
    const SResponse script = rawRequest(server->port(), "GET /app.js HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(200, script.status);
    EXPECT_EQ("text/javascript; charset=utf-8", script.header("Content-Type"));

    // The real page's script: compressed once by orxweb for browsers that take gzip, never by
    // the library (which would use brotli at its slowest setting on every request).
    auto real = startServer();
    const SResponse plain = rawRequest(real->port(), "GET /app.js HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ("", plain.header("Content-Encoding"));
    const SResponse packed = rawRequest(
        real->port(), "GET /app.js HTTP/1.1\r\nHost: x\r\nAccept-Encoding: br, gzip\r\n\r\n");
    EXPECT_EQ("gzip", packed.header("Content-Encoding"));
    EXPECT_LT(packed.body.size(), plain.body.size() / 2);
    const SResponse brotliOnly =
        rawRequest(real->port(), "GET /app.js HTTP/1.1\r\nHost: x\r\nAccept-Encoding: br\r\n\r\n");
    EXPECT_EQ("", brotliOnly.header("Content-Encoding"));
    EXPECT_EQ(plain.body, brotliOnly.body);

    for (const char* path :
         {"/link.txt", "/.hidden", "/sub/inner.html", "/sub%2finner.html", "/../outside.txt",
          "/%2e%2e/outside.txt", "/..%2foutside.txt", "/assets/../outside.txt", "//outside.txt",
          "/%2e%2e%2f%2e%2e%2fetc%2fpasswd", "/index.html%00.js", "/missing.css", "/api/nothing"}) {
        const SResponse res =
            rawRequest(server->port(), std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_TRUE(res.status == 404 || res.status == 400) << path << ": " << res.status;
        EXPECT_EQ(std::string::npos, res.body.find("SECRET-OUTSIDE")) << path;
        EXPECT_EQ(std::string::npos, res.body.find("root:")) << path;
    }
    const SResponse api =
        rawRequest(server->port(), "GET /api/nothing HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(404, api.status);
    EXPECT_EQ("{\"error\":\"Not found\"}", api.body);
}

TEST_F(WebServerTest, MalformedAndOversizedRequests) {
    auto server = startServer();
    const uint16_t port = server->port();
    EXPECT_EQ(400, rawRequest(port, "GARBAGE\r\n\r\n").status);
    EXPECT_EQ(400, rawRequest(port, "GET /\r\n\r\n").status);
    EXPECT_EQ(400, rawRequest(port, "POST /api/login HTTP/1.1\r\nHost: x\r\nContent-Length: "
                                    "abc\r\n\r\n")
                       .status);
    EXPECT_EQ(
        414,
        rawRequest(port, "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n").status);
    EXPECT_EQ(400, rawRequest(port, "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " +
                                        std::string(9000, 'a') + "\r\n\r\n")
                       .status);
    std::string headers;
    for (size_t i = 0; i <= kMaxHeaders; ++i)
        headers += "X-" + std::to_string(i) + ": 1\r\n";
    EXPECT_EQ(431, rawRequest(port, "GET / HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n").status);
    // A body announced above the limit is refused before it is read.
    EXPECT_EQ(413, rawRequest(port, "POST /api/import HTTP/1.1\r\nHost: x\r\nContent-Length: "
                                    "104857600\r\n\r\n")
                       .status);
    // Bodies must announce their length: nothing is read in pieces of a size the client picks.
    EXPECT_EQ(411, rawRequest(port, "POST /api/login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: "
                                    "chunked\r\n\r\nFFFFFFFFFFFF\r\n")
                       .status);

    // Login forms: malformed, too large, too many fields, wrong type.
    auto http = client(*server);
    auto bad = http->Post("/api/login", "user=%zz&password=x", "application/x-www-form-urlencoded");
    ASSERT_TRUE(bad);
    EXPECT_EQ(400, bad->status);
    EXPECT_NE(std::string::npos, bad->body.find("percent escape"));
    auto large = http->Post("/api/login", "user=" + std::string(kMaxFormBody, 'u'),
                            "application/x-www-form-urlencoded");
    ASSERT_TRUE(large);
    EXPECT_EQ(413, large->status);
    std::string many;
    for (int i = 0; i < 3000; ++i)
        many += "f=1&";
    auto fields = http->Post("/api/login", many, "application/x-www-form-urlencoded");
    ASSERT_TRUE(fields);
    EXPECT_EQ(413, fields->status);
    auto typed = http->Post("/api/login", "{\"user\":\"x\"}", "application/json");
    ASSERT_TRUE(typed);
    EXPECT_EQ(415, typed->status);
    auto noUser = http->Post("/api/login", "password=x", "application/x-www-form-urlencoded");
    ASSERT_TRUE(noUser);
    EXPECT_EQ(400, noUser->status);
    // A user name goes into the log, so a line break in it could forge log lines.
    auto forgedLine = http->Post("/api/login", "user=ann%0A2026-01-01+orxweb:+fake&password=x",
                                 "application/x-www-form-urlencoded");
    ASSERT_TRUE(forgedLine);
    EXPECT_EQ(400, forgedLine->status);

    // A key file above the import limit, sent in a session.
    const SLogin session = login(*server, s_account->password());
    ASSERT_EQ(200, session.status) << session.body;
    httplib::Headers auth{{"Cookie", session.cookie}, {"X-CSRF-Token", session.csrf}};
    auto upload = http->Post("/api/import/upload?offset=0&size=9000000", auth,
                             std::string(8u * 1024 * 1024 + 1, 'k'), "application/octet-stream");
    ASSERT_TRUE(upload);
    EXPECT_EQ(413, upload->status);
    // The session is unharmed.
    auto keys = http->Get("/api/keys", {{"Cookie", session.cookie}});
    ASSERT_TRUE(keys);
    EXPECT_EQ(200, keys->status);
}

TEST_F(WebServerTest, LoginCookieAndLogout) {
    auto server = startServer();
    const SLogin wrong = login(*server, "not the password");
    EXPECT_EQ(401, wrong.status);
    EXPECT_EQ("", wrong.setCookie);
    EXPECT_NE(std::string::npos, wrong.body.find("Login refused: Incorrect password"));
    EXPECT_EQ(0u, server->sessions().size());

    const SLogin good = login(*server, s_account->password());
    ASSERT_EQ(200, good.status) << good.body;
    EXPECT_EQ(0u, good.setCookie.find("__Host-orxweb="));
    for (const char* part : {"; Secure", "; HttpOnly", "; SameSite=Strict", "; Path=/"})
        EXPECT_NE(std::string::npos, good.setCookie.find(part)) << part;
    EXPECT_EQ(64u, good.csrf.size());
    EXPECT_NE(std::string::npos, good.body.find("\"platform\":\"UNIX\""));

    auto http = client(*server);
    auto state = http->Get("/api/session", {{"Cookie", good.cookie}});
    ASSERT_TRUE(state);
    EXPECT_EQ(200, state->status);
    EXPECT_EQ(good.csrf, jsonField(state->body, "csrf"));
    auto keys = http->Get("/api/keys", {{"Cookie", good.cookie}});
    ASSERT_TRUE(keys);
    EXPECT_EQ(200, keys->status);
    EXPECT_EQ(0u, keys->body.find("{\"version\":\"")) << keys->body;
    // The switches, with those the command engine refuses named apart (the page leaves them out).
    auto options = http->Get("/api/options", {{"Cookie", good.cookie}});
    ASSERT_TRUE(options);
    ASSERT_EQ(200, options->status);
    const std::string refusedList = options->body.substr(options->body.find("\"refused\":["));
    EXPECT_NE(std::string::npos, refusedList.find("\"--smtp\"")) << refusedList;
    EXPECT_EQ(std::string::npos, refusedList.find("\"--wipe\"")) << refusedList;
    EXPECT_NE(std::string::npos, options->body.find("{\"id\":\"--wipe\"}"));
    auto anonymous = http->Get("/api/keys");
    ASSERT_TRUE(anonymous);
    EXPECT_EQ(401, anonymous->status);
    auto forged = http->Get("/api/keys", {{"Cookie", "__Host-orxweb=" + std::string(64, 'a')}});
    ASSERT_TRUE(forged);
    EXPECT_EQ(401, forged->status);

    auto out = http->Post("/api/logout", {{"Cookie", good.cookie}, {"X-CSRF-Token", good.csrf}}, "",
                          "application/x-www-form-urlencoded");
    ASSERT_TRUE(out);
    EXPECT_EQ(200, out->status);
    EXPECT_NE(std::string::npos, out->get_header_value("Set-Cookie").find("Max-Age=0"));
    auto after = http->Get("/api/keys", {{"Cookie", good.cookie}});
    ASSERT_TRUE(after);
    EXPECT_EQ(401, after->status);
    EXPECT_EQ(0u, server->sessions().size());
}

TEST_F(WebServerTest, ChangesNeedTheSessionsCsrfToken) {
    auto server = startServer();
    const SLogin a = login(*server, s_account->password());
    const SLogin b = login(*server, s_account->password());
    ASSERT_EQ(200, a.status);
    ASSERT_EQ(200, b.status);
    auto http = client(*server);
    const std::string form = "id=0x0BADC0DE&confirm=yes";
    const std::string type = "application/x-www-form-urlencoded";
    auto status = [&](const httplib::Headers& headers) {
        auto res = http->Post("/api/action/remove", headers, form, type.c_str());
        return res ? res->status : -1;
    };
    EXPECT_EQ(403, status({{"Cookie", a.cookie}}));
    EXPECT_EQ(403, status({{"Cookie", a.cookie}, {"X-CSRF-Token", ""}}));
    EXPECT_EQ(403, status({{"Cookie", a.cookie}, {"X-CSRF-Token", b.csrf}}));
    EXPECT_EQ(403, status({{"Cookie", a.cookie},
                           {"X-CSRF-Token", a.csrf},
                           {"Origin", "https://evil.example"}}));
    EXPECT_EQ(401, status({{"X-CSRF-Token", a.csrf}}));
    // With the token the request reaches the listener, which knows no such key.
    auto res = http->Post("/api/action/remove", {{"Cookie", a.cookie}, {"X-CSRF-Token", a.csrf}},
                          form, type.c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(422, res->status);
    EXPECT_NE(std::string::npos, res->body.find("\"rc\":8")) << res->body;
    EXPECT_NE(std::string::npos, res->body.find("0x0BADC0DE")) << res->body;
    // Unknown actions are not found, with or without a token.
    auto unknown = http->Post("/api/action/format-disk",
                              {{"Cookie", a.cookie}, {"X-CSRF-Token", a.csrf}}, "", type.c_str());
    ASSERT_TRUE(unknown);
    EXPECT_EQ(404, unknown->status);
}

TEST_F(WebServerTest, NamesTheListenerWouldChokeOnDoNotEndTheSession) {
    auto server = startServer();
    const SLogin session = login(*server, s_account->password());
    ASSERT_EQ(200, session.status);
    auto http = client(*server);
    httplib::Headers auth{{"Cookie", session.cookie}, {"X-CSRF-Token", session.csrf}};
    auto res =
        http->Post("/api/generate/key-gen", auth, "name=A&passphrase=p&size=1024&cipher=ROT13",
                   "application/x-www-form-urlencoded");
    ASSERT_TRUE(res);
    EXPECT_EQ(400, res->status);
    EXPECT_NE(std::string::npos, res->body.find("ROT13"));
    auto entropy = http->Post("/api/action/entropy-pair", auth, "type=RSA&size=2048",
                              "application/x-www-form-urlencoded");
    ASSERT_TRUE(entropy);
    EXPECT_EQ(200, entropy->status) << entropy->body;
    EXPECT_NE(std::string::npos, entropy->body.find("\"needed\":\"")) << entropy->body;
    // Photos: a key the rings do not hold is the listener's refusal, a malformed ID never leaves.
    auto photo = http->Get("/api/photo?id=0x0BADC0DE", {{"Cookie", session.cookie}});
    ASSERT_TRUE(photo);
    EXPECT_EQ(422, photo->status);
    auto odd = http->Get("/api/photo?id=..%2F..%2Fetc%2Fpasswd", {{"Cookie", session.cookie}});
    ASSERT_TRUE(odd);
    EXPECT_EQ(400, odd->status);
}

TEST_F(WebServerTest, AtMostNSessions) {
    auto server = startServer(2);
    const SLogin first = login(*server, s_account->password());
    const SLogin second = login(*server, s_account->password());
    ASSERT_EQ(200, first.status);
    ASSERT_EQ(200, second.status);
    const SLogin third = login(*server, s_account->password());
    EXPECT_EQ(503, third.status);
    EXPECT_NE(std::string::npos, third.body.find("already serves 2 sessions"));
    auto http = client(*server);
    auto out = http->Post("/api/logout", {{"Cookie", first.cookie}, {"X-CSRF-Token", first.csrf}},
                          "", "application/x-www-form-urlencoded");
    ASSERT_TRUE(out);
    EXPECT_EQ(200, out->status);
    EXPECT_EQ(200, login(*server, s_account->password()).status);
}

TEST_F(WebServerTest, ListenerDown) {
    // Nothing listens on the port a released socket had a moment ago.
    auto nowhere = startServer(4, orxtest::pickFreePort());
    const SLogin refused = login(*nowhere, s_account->password());
    EXPECT_EQ(503, refused.status);
    EXPECT_NE(std::string::npos, refused.body.find("\"listenerDown\":true"));
    EXPECT_NE(std::string::npos, refused.body.find("cannot be reached"));

    // A listener that goes away during a session ends the session with a clear answer.
    orxtest::CListenerProcess own;
    ASSERT_TRUE(own.start());
    auto server = startServer(4, own.port());
    const SLogin session = login(*server, s_account->password());
    ASSERT_EQ(200, session.status);
    own.stop();
    auto http = client(*server);
    auto keys = http->Get("/api/keys", {{"Cookie", session.cookie}});
    ASSERT_TRUE(keys);
    EXPECT_EQ(503, keys->status);
    EXPECT_NE(std::string::npos, keys->body.find("\"listenerDown\":true"));
    auto again = http->Get("/api/keys", {{"Cookie", session.cookie}});
    ASSERT_TRUE(again);
    EXPECT_EQ(401, again->status);
}

namespace {

// The fingerprint orxgui logs at start-up ("Host key fingerprint: 7796 69B9 ...").
std::string loggedFingerprint(const orxtest::CListenerProcess& listener) {
    const std::string log = listener.log();
    const std::string key = "Host key fingerprint: ";
    const size_t at = log.find(key);
    if (at == std::string::npos)
        return "";
    std::string fingerprint = log.substr(at + key.size(), log.find('\n', at) - at - key.size());
    while (!fingerprint.empty() && std::isspace(static_cast<unsigned char>(fingerprint.back())))
        fingerprint.pop_back();
    return fingerprint;
}

// Starts `listener` on `port` signing with the other test host key: a listener whose key was
// replaced, or something posing as it, at the address orxweb knows.
bool startWithOtherKey(orxtest::CListenerProcess& listener, uint16_t port) {
    for (const char* name : {"/hostkey.pkr", "/hostkey.skr"}) {
        const std::string target = listener.hostKeyDir() + name;
        std::filesystem::copy_file(std::string(ORX_TEST_DATA_DIR) + "/hostkey-other" + name, target,
                                   std::filesystem::copy_options::overwrite_existing);
        ::chmod(target.c_str(), 0600);
    }
    listener.launchWith({"--port", std::to_string(port)});
    return listener.waitForLog("Initialization completed successfully.");
}

} // namespace

// orxweb pins the key the listener names on first contact (logging its fingerprint), keeps one
// line per listener, and refuses a listener at the same address that signs with another key
// before the password leaves; removing the line, as the log says, lets it meet the new key.
TEST_F(WebServerTest, FirstContactPinsTheHostKeyAndAChangedKeyIsRefused) {
    orxtest::CListenerProcess first;
    ASSERT_TRUE(first.start());
    const uint16_t port = first.port();
    const std::string listener = "127.0.0.1:" + std::to_string(port);
    const std::string fingerprint = loggedFingerprint(first);
    ASSERT_EQ(49u, fingerprint.size()) << first.log();
    const std::string knownHosts = m_dir.file("known_hosts");
    auto server = startServer(4, port);

    testing::internal::CaptureStderr();
    const SLogin met = login(*server, s_account->password());
    const SLogin again = login(*server, s_account->password());
    std::string log = testing::internal::GetCapturedStderr();
    ASSERT_EQ(200, met.status) << met.body;
    ASSERT_EQ(200, again.status) << again.body;
    EXPECT_EQ(1u, orxtest::countOccurrences(log, "first contact with the listener " + listener +
                                                     ": trusting its host key, fingerprint " +
                                                     fingerprint))
        << log;
    std::string digits = fingerprint;
    digits.erase(std::remove(digits.begin(), digits.end(), ' '), digits.end());
    const std::string pinned = orxtest::readFile(knownHosts);
    EXPECT_EQ(0u, pinned.find(listener + " " + digits + " ")) << pinned;
    EXPECT_EQ(1u, orxtest::countOccurrences(pinned, "\n"));
    struct stat info {};
    ASSERT_EQ(0, ::stat(knownHosts.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);
    ASSERT_NE(std::string::npos, first.log().find(s_account->name()));

    first.stop();
    orxtest::CListenerProcess other;
    ASSERT_TRUE(startWithOtherKey(other, port)) << other.log() << other.stderrText();
    ASSERT_NE(fingerprint, loggedFingerprint(other));
    testing::internal::CaptureStderr();
    const SLogin changed = login(*server, s_account->password());
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(502, changed.status);
    EXPECT_EQ("", changed.setCookie);
    EXPECT_NE(std::string::npos, changed.body.find("\"listenerRefused\":\"identity-changed\""))
        << changed.body;
    EXPECT_NE(std::string::npos, changed.body.find("The listener's identity has changed"));
    EXPECT_NE(std::string::npos, changed.body.find("Your password was not sent"));
    EXPECT_NE(std::string::npos,
              log.find("refused the listener at " + listener +
                       ": its handshake is not signed by the host key pinned for it in " +
                       knownHosts + " (fingerprint " + fingerprint + ")"))
        << log;
    EXPECT_NE(std::string::npos, log.find("remove the listener's line from " + knownHosts));
    EXPECT_EQ(std::string::npos, log.find(s_account->password()));
    // The other listener never saw a login, and the pinned key stays as it was.
    EXPECT_EQ(std::string::npos, other.log().find(s_account->name())) << other.log();
    EXPECT_EQ(pinned, orxtest::readFile(knownHosts));

    std::ofstream(knownHosts, std::ios::trunc).close();
    EXPECT_EQ(200, login(*server, s_account->password()).status);
    EXPECT_NE(std::string::npos, orxtest::readFile(knownHosts).find(listener + " "));
    EXPECT_NE(pinned, orxtest::readFile(knownHosts));
}

// Browsers logging in at the same first contact leave one line, not one each.
TEST_F(WebServerTest, SimultaneousFirstContactsPinOnce) {
    SWebOptions options = serverOptions();
    options.threads = 8; // four logins in progress at once
    options.logins.inFlightPerAddress = 4;
    auto server = startServer(options);
    std::vector<std::thread> browsers;
    std::vector<int> statuses(4, -1);
    for (size_t i = 0; i < statuses.size(); ++i)
        browsers.emplace_back(
            [&, i] { statuses[i] = login(*server, s_account->password()).status; });
    for (std::thread& browser : browsers)
        browser.join();
    for (int status : statuses)
        EXPECT_EQ(200, status);
    EXPECT_EQ(1u, orxtest::countOccurrences(orxtest::readFile(m_dir.file("known_hosts")), "\n"));
}

TEST_F(WebServerTest, APlainListenerIsRefusedUnlessAllowed) {
    orxtest::SListenerOptions plainOptions;
    plainOptions.secure = false;
    orxtest::CListenerProcess plain(plainOptions);
    ASSERT_TRUE(plain.start());
    auto server = startServer(4, plain.port());
    const SLogin refused = login(*server, s_account->password());
    EXPECT_EQ(502, refused.status);
    EXPECT_NE(std::string::npos, refused.body.find("\"listenerRefused\":\"plain\""))
        << refused.body;
    EXPECT_NE(std::string::npos, refused.body.find("offers only an unencrypted connection"));
    EXPECT_EQ(std::string::npos, plain.log().find(s_account->name()));
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("known_hosts")));

    SWebOptions options = serverOptions(plain.port());
    options.allowPlainListener = true;
    auto allowed = startServer(options);
    EXPECT_EQ(200, login(*allowed, s_account->password()).status);
}

// Strict: the key is named by its public key file or its fingerprint; nothing is learnt, and a
// listener that proves another key is refused.
TEST_F(WebServerTest, StrictModeWithTheNamedKey) {
    const std::string data = ORX_TEST_DATA_DIR;
    const std::string listener = "127.0.0.1:" + std::to_string(s_listener->port());
    const std::string fingerprint = loggedFingerprint(*s_listener);
    ASSERT_EQ(49u, fingerprint.size());
    auto strict = [&](const std::string& key) {
        SWebOptions options = serverOptions();
        options.knownHostsFile.clear();
        options.listenerHostKey = key;
        return startServer(options);
    };

    auto byFile = strict(data + "/hostkey/hostkey.pkr");
    EXPECT_NE(std::string::npos, byFile->pin().describe().find(fingerprint + " (strict)"));
    EXPECT_EQ(200, login(*byFile, s_account->password()).status);

    testing::internal::CaptureStderr();
    auto otherFile = strict(data + "/hostkey-other/hostkey.pkr");
    const SLogin changed = login(*otherFile, s_account->password());
    std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(502, changed.status);
    EXPECT_NE(std::string::npos, changed.body.find("\"listenerRefused\":\"identity-changed\""));
    EXPECT_NE(std::string::npos, log.find("refused the listener at " + listener +
                                          ": its handshake is not signed by the host key named "
                                          "by --listener-host-key"))
        << log;

    // By fingerprint, as orxgui logs it: the listener shows its key once, then must prove it.
    testing::internal::CaptureStderr();
    auto byFingerprint = strict(fingerprint);
    const SLogin one = login(*byFingerprint, s_account->password());
    const SLogin two = login(*byFingerprint, s_account->password());
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(200, one.status) << one.body;
    EXPECT_EQ(200, two.status) << two.body;
    EXPECT_EQ(1u, orxtest::countOccurrences(log, "named by --listener-host-key (" + fingerprint +
                                                     "); pinned it"))
        << log;

    testing::internal::CaptureStderr();
    auto wrongFingerprint = strict("0123:4567:89ab:cdef:0123:4567:89ab:cdef:0123:4567");
    const SLogin wrong = login(*wrongFingerprint, s_account->password());
    log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(502, wrong.status);
    EXPECT_NE(std::string::npos, wrong.body.find("\"listenerRefused\":\"identity-changed\""));
    EXPECT_NE(std::string::npos,
              log.find("its host key has the fingerprint " + fingerprint +
                       ", not 0123 4567 89AB CDEF 0123 4567 89AB CDEF 0123 4567"))
        << log;
    EXPECT_FALSE(std::filesystem::exists(m_dir.file("known_hosts")));
}

namespace {

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t countOf(const std::string& text, const std::string& what) {
    return orxtest::countOccurrences(text, what);
}

} // namespace

// A key file sent in pieces and imported in pieces of whole keys; then the list (compressed,
// versioned: an unchanged list is not sent again, a changed one only as its changes) and one key
// by short ID, long ID or fingerprint.
TEST_F(WebServerTest, KeyFilesInPiecesAndTheListByVersion) {
    auto server = startServer();
    const SLogin session = login(*server, s_account->password());
    ASSERT_EQ(200, session.status);
    auto http = client(*server);
    const httplib::Headers auth{{"Cookie", session.cookie}, {"X-CSRF-Token", session.csrf}};
    const std::string ring = readWhole(std::string(ORX_SHARED_DIR) + "/bench/pubring-1k.pkr");
    ASSERT_GT(ring.size(), 1000000u);
    const std::string size = std::to_string(ring.size());
    auto upload = [&](size_t offset, const std::string& bytes) {
        auto res = http->Post(
            ("/api/import/upload?offset=" + std::to_string(offset) + "&size=" + size).c_str(), auth,
            bytes, "application/octet-stream");
        return res ? res->status : -1;
    };
    auto run = [&] {
        auto res = http->Post("/api/import/run", auth, "", "application/x-www-form-urlencoded");
        return res ? std::make_pair(res->status, res->body) : std::make_pair(-1, std::string());
    };
    EXPECT_EQ(409, run().first) << "nothing sent yet";
    const size_t third = ring.size() / 3;
    ASSERT_EQ(200, upload(0, ring.substr(0, third)));
    EXPECT_EQ(409, upload(third + 1, ring.substr(third + 1, 10))) << "a gap";
    EXPECT_EQ(409, run().first) << "not whole yet";
    ASSERT_EQ(200, upload(third, ring.substr(third, third)));
    ASSERT_EQ(200, upload(2 * third, ring.substr(2 * third)));
    std::pair<int, std::string> step;
    for (int i = 0; i < 10; ++i) {
        step = run();
        ASSERT_EQ(200, step.first) << step.second;
        if (step.second.find("\"done\":true") != std::string::npos)
            break;
    }
    EXPECT_NE(std::string::npos, step.second.find("\"addedCount\":1000")) << step.second;
    EXPECT_NE(std::string::npos, step.second.find("\"status\":0"));
    EXPECT_EQ(500u, countOf(step.second, "[\"0x")) << "the answer names at most 500 keys";
    EXPECT_EQ(413, upload(0, std::string(4u * 1024 * 1024 + 1, 'k')));

    auto keys = http->Get("/api/keys", {{"Cookie", session.cookie}});
    ASSERT_TRUE(keys);
    ASSERT_EQ(200, keys->status);
    EXPECT_EQ(std::to_string(keys->body.size()), keys->get_header_value("X-Content-Bytes"));
    // Compressed (fast) for a browser that takes gzip.
    const SResponse packed = rawRequest(
        server->port(), "GET /api/keys HTTP/1.1\r\nHost: x\r\nCookie: " + session.cookie +
                            "\r\nAccept-Encoding: gzip, br\r\n\r\n");
    EXPECT_EQ(200, packed.status);
    EXPECT_EQ("gzip", packed.header("Content-Encoding"));
    EXPECT_EQ(0u, packed.body.find("\x1f\x8b"));
    EXPECT_LT(packed.body.size(), keys->body.size() / 3);
    EXPECT_EQ(1000u, countOf(keys->body, "[\"0x"));
    const std::string version = jsonField(keys->body, "version");
    ASSERT_EQ(32u, version.size());
    auto same = http->Get(("/api/keys?since=" + version).c_str(), {{"Cookie", session.cookie}});
    ASSERT_TRUE(same);
    EXPECT_NE(std::string::npos, same->body.find("\"unchanged\":true")) << same->body;

    // Bench User 00822 by its three names.
    auto one = [&](const std::string& id) {
        auto res = http->Get(("/api/key?id=" + id).c_str(), {{"Cookie", session.cookie}});
        return res ? std::make_pair(res->status, res->body) : std::make_pair(-1, std::string());
    };
    const auto byShort = one("0x53DEDA06");
    ASSERT_EQ(200, byShort.first) << byShort.second;
    EXPECT_NE(std::string::npos, byShort.second.find("bench00822@example.org"));
    const std::string idfull = jsonField(byShort.second, "idfull");
    const std::string fingerprint = jsonField(byShort.second, "fingerprint");
    ASSERT_EQ(18u, idfull.size());
    ASSERT_EQ(40u, fingerprint.size());
    EXPECT_EQ(byShort, one(idfull.substr(2)));
    std::string spaced;
    for (size_t i = 0; i < fingerprint.size(); i += 4)
        spaced += fingerprint.substr(i, 4) + "%20";
    EXPECT_EQ(byShort, one(spaced));
    EXPECT_EQ(404, one("0x0BADC0DE0BADC0DE").first);
    EXPECT_EQ(400, one("not-a-key").first);

    // Removing it by its long ID: the list's changes since the old version name it as removed and
    // hold no rows.
    auto removed = http->Post("/api/action/remove", auth, "id=" + idfull + "&confirm=yes",
                              "application/x-www-form-urlencoded");
    ASSERT_TRUE(removed);
    ASSERT_EQ(200, removed->status) << removed->body;
    auto changes = http->Get(("/api/keys?since=" + version).c_str(), {{"Cookie", session.cookie}});
    ASSERT_TRUE(changes);
    EXPECT_NE(std::string::npos, changes->body.find("\"rows\":[],\"removed\":[\"" + idfull + "\"]"))
        << changes->body.substr(0, 400);
    EXPECT_EQ(404, one(idfull).first);
}
