// orxweb under attack, against a real orxgui on loopback with real throw-away accounts (root
// only; skipped otherwise): guessed passwords under many names, logins that the listener slows
// down, slow and endless request heads, one account opening many sessions, a login from another
// site's page, TLS 1.2 suites without forward secrecy or authenticated encryption, and guesses
// the listener counts per browser on its web socket (and a socket posing as it). After
// each, a right login and a page load still get through, each within 2 s.
// ctest-labels: threaded
#include "listener_harness.h"
#include "test_account.h"
#include "web_test_support.h"
#include "webserver.h"
#include "webtls.h"
#include "zaf_temp_dir.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <vector>

using namespace vornweb;
using orxwebtest::CTlsClient;
using orxwebtest::loginFrom;
using orxwebtest::rawRequest;
using orxwebtest::SResponse;
using orxwebtest::STlsOptions;
using Seconds = std::chrono::duration<double>;

namespace {

// The bound the right login and the page load must meet while an attack runs.
constexpr double kAnswerBound = 2.0;

double since(std::chrono::steady_clock::time_point start) {
    return Seconds(std::chrono::steady_clock::now() - start).count();
}

// A self-signed RSA certificate and key in PEM files (for the RSA key exchange check).
void makeRsaCertificate(const std::string& certFile, const std::string& keyFile) {
    EVP_PKEY* key = EVP_RSA_gen(2048);
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), 0);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    FILE* out = std::fopen(certFile.c_str(), "w");
    PEM_write_X509(out, cert);
    std::fclose(out);
    out = std::fopen(keyFile.c_str(), "w");
    PEM_write_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(out);
    X509_free(cert);
    EVP_PKEY_free(key);
}

class WebAttackTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_user = TestAccount::create("orxwa").release();
        s_other = TestAccount::create("orxwb").release();
        s_state = new ZafTempDir();
        gEnsureCertificate(s_state->file("state"), s_cert, s_key);
    }
    static void TearDownTestSuite() {
        delete s_user;
        delete s_other;
        delete s_state;
        s_user = s_other = nullptr;
        s_state = nullptr;
    }

    void SetUp() override {
        if (s_user == nullptr)
            GTEST_SKIP() << TestAccount::skipReason();
        // A listener of the test's own: the failures one test causes are not another's.
        ASSERT_TRUE(m_listener.start());
    }

    SWebOptions options() const {
        SWebOptions o;
        o.port = 0;
        o.listenerPort = m_listener.port();
        o.certFile = s_cert;
        o.keyFile = s_key;
        o.assetsDir = ORXWEB_ASSETS_DIR;
        o.knownHostsFile = m_dir.file("known_hosts");
        return o;
    }

    std::unique_ptr<CWebServer> start(const SWebOptions& o) {
        auto server = std::make_unique<CWebServer>(o);
        server->start();
        return server;
    }

    // A right login from 127.0.0.1 and a load of the page, each within the bound; returns the
    // session cookie.
    std::string rightLoginAndPage(uint16_t port, const TestAccount& account) {
        auto started = std::chrono::steady_clock::now();
        const SResponse page = rawRequest(port, "GET / HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(200, page.status);
        EXPECT_LT(since(started), kAnswerBound) << "the page load took too long";
        started = std::chrono::steady_clock::now();
        const SResponse login = loginFrom(port, "127.0.0.1", account.name(), account.password());
        EXPECT_EQ(200, login.status) << login.body;
        EXPECT_LT(since(started), kAnswerBound) << "the right login took too long";
        const std::string cookie = login.header("Set-Cookie");
        return cookie.substr(0, cookie.find(';'));
    }

    TestAccount& user() { return *s_user; }

    ZafTempDir m_dir;
    orxtest::CListenerProcess m_listener;
    static TestAccount* s_user;
    static TestAccount* s_other;
    static ZafTempDir* s_state;
    static std::string s_cert;
    static std::string s_key;
};

TestAccount* WebAttackTest::s_user = nullptr;
TestAccount* WebAttackTest::s_other = nullptr;
ZafTempDir* WebAttackTest::s_state = nullptr;
std::string WebAttackTest::s_cert;
std::string WebAttackTest::s_key;

} // namespace

// A dozen wrong passwords under as many names from one address: after five the address is
// refused at once (429, with the time to wait), without asking the listener; a browser elsewhere
// logs in as before.
TEST_F(WebAttackTest, ADozenGuessesUnderManyNamesAreRefusedAtOnce) {
    auto server = start(options());
    const uint16_t port = server->port();
    std::vector<int> statuses;
    for (int i = 0; i < 12; ++i) {
        const SResponse res =
            loginFrom(port, "127.0.0.2", "ghost" + std::to_string(i), "wrong password");
        statuses.push_back(res.status);
        if (res.status == 429) {
            EXPECT_NE("", res.header("Retry-After"));
            EXPECT_NE(std::string::npos, res.body.find("Too many failed logins")) << res.body;
        }
    }
    EXPECT_EQ(std::vector<int>({401, 401, 401, 401, 401, 429, 429, 429, 429, 429, 429, 429}),
              statuses);
    EXPECT_EQ(5u, orxtest::countOccurrences(m_listener.log(), "The login of 'ghost"));
    rightLoginAndPage(port, user());
}

// On the listener's web socket each browser counts for itself at the listener too: guesses from
// one browser slow down only that browser (this listener makes an address wait a minute after two
// failures), and the listener's log names each browser's address. Over TCP every browser counts
// as orxweb's one address, and the right login would wait that minute.
TEST_F(WebAttackTest, TheListenersThrottleCountsEachBrowserOnTheWebSocket) {
    const std::string socket = m_dir.file("run/web.sock");
    orxtest::SListenerOptions strict;
    strict.siteSettings =
        "WebAccount=root\nWebSocket=" + socket + "\nThrottleFailures=2\nThrottleDelay=60000\n";
    orxtest::CListenerProcess listener(strict);
    ASSERT_TRUE(listener.start());
    SWebOptions o = options();
    o.listenerPort = listener.port();
    o.listenerSocket = socket;
    auto server = start(o);
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(401, loginFrom(server->port(), "127.0.0.2", "ghost" + std::to_string(i),
                                 "wrong password")
                           .status);
    EXPECT_TRUE(listener.waitForLog("from 127.0.0.2 (web)", 2)) << listener.log();
    rightLoginAndPage(server->port(), user());
    EXPECT_TRUE(listener.waitForLog("from 127.0.0.1 (web)")) << listener.log();
    EXPECT_EQ(0u, orxtest::countOccurrences(listener.log(), " waits ")) << listener.log();
}

// A socket at the path that root does not listen on (something posing as the listener) is
// refused before anything is sent to it; with nothing at the path, logins go by TCP.
TEST_F(WebAttackTest, OnlyRootsSocketIsTrustedWithPasswords) {
    const std::string path = m_dir.file("stand-in.sock");
    const int standIn = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_LE(0, standIn);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(0, ::bind(standIn, reinterpret_cast<sockaddr*>(&address), sizeof address));
    {
        // The kernel records who listens; no thread of orxweb runs yet.
        ScopedIdentity as(*s_other);
        ASSERT_EQ(0, ::listen(standIn, 4));
    }
    SWebOptions o = options();
    o.listenerSocket = path;
    auto server = start(o);
    const SResponse refused =
        loginFrom(server->port(), "127.0.0.1", user().name(), user().password());
    EXPECT_EQ(503, refused.status) << refused.body;
    EXPECT_NE(std::string::npos, refused.body.find("not the listener's")) << refused.body;
    const int accepted = ::accept(standIn, nullptr, nullptr);
    ASSERT_LE(0, accepted);
    pollfd readable{accepted, POLLIN, 0};
    ASSERT_EQ(1, ::poll(&readable, 1, 10000));
    char byte = 0;
    EXPECT_EQ(0, ::recv(accepted, &byte, 1, 0)) << "the stand-in received bytes";
    ::close(accepted);
    ::close(standIn);
    server->stop();

    o.listenerSocket = m_dir.file("nothing-here.sock");
    auto fallback = start(o);
    rightLoginAndPage(fallback->port(), user());
}

// Five wrong passwords for one name, from five addresses, refuse that name for a while, even
// with the right password. (The listener here does not slow logins down itself, so that only
// orxweb's own count decides.)
TEST_F(WebAttackTest, GuessingOneNameFromManyAddressesRefusesTheName) {
    orxtest::SListenerOptions lenient;
    lenient.siteSettings = "ThrottleFailures=1000\n";
    orxtest::CListenerProcess listener(lenient);
    ASSERT_TRUE(listener.start());
    SWebOptions o = options();
    o.listenerPort = listener.port();
    auto server = start(o);
    const uint16_t port = server->port();
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(401, loginFrom(port, "127.0.0." + std::to_string(10 + i), s_other->name(),
                                 "wrong password")
                           .status);
    EXPECT_EQ(429, loginFrom(port, "127.0.0.20", s_other->name(), s_other->password()).status);
}

// Logins that the listener answers slowly (its own throttle) hold at most half of the request
// threads: the rest are answered at once with 503, and the page and an open session's requests
// go on.
TEST_F(WebAttackTest, SlowFailingLoginsNeverHoldEveryRequestThread) {
    SWebOptions o = options();
    o.threads = 4;
    o.logins.failures = 1000; // only the listener slows these down
    auto server = start(o);
    const uint16_t port = server->port();
    const std::string cookie = rightLoginAndPage(port, user());
    ASSERT_FALSE(cookie.empty());
    // Enough failures for the listener to hold every further one for seconds.
    for (int i = 0; i < 6; ++i)
        loginFrom(port, "127.0.0.3", "ghost" + std::to_string(i), "wrong password");

    std::atomic<int> busy{0};
    std::vector<std::thread> guessers;
    for (int i = 0; i < 8; ++i)
        guessers.emplace_back([&, i] {
            const SResponse res = loginFrom(port, "127.0.0." + std::to_string(4 + i % 4),
                                            "ghost" + std::to_string(10 + i), "wrong password");
            if (res.status == 503 && res.body.find("\"busy\":true") != std::string::npos)
                ++busy;
        });
    const bool refused = orxtest::waitUntil([&] { return busy.load() >= 6; }, 30000);
    EXPECT_TRUE(refused) << "logins beyond the cap were not refused";
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(200, rawRequest(port, "GET / HTTP/1.1\r\nHost: x\r\n\r\n").status);
    EXPECT_LT(since(started), kAnswerBound);
    started = std::chrono::steady_clock::now();
    const SResponse keys =
        rawRequest(port, "GET /api/keys HTTP/1.1\r\nHost: x\r\nCookie: " + cookie + "\r\n\r\n");
    EXPECT_EQ(200, keys.status) << keys.body;
    EXPECT_LT(since(started), kAnswerBound);
    for (std::thread& guesser : guessers)
        guesser.join();
}

// Eight connections that send a header line each second never finish their heads: the whole
// head has a time limit (3 s here) that no read restarts, so each is answered 408 and closed,
// and none holds a request thread meanwhile.
TEST_F(WebAttackTest, SlowHeadsEndAtTheirDeadlineAndHoldNoThread) {
    SWebOptions o = options();
    o.threads = 2;
    o.reception.headTime = std::chrono::seconds(3);
    auto server = start(o);
    const uint16_t port = server->port();
    std::atomic<int> started{0};
    std::vector<int> outcomes(8, -1);
    std::vector<double> lasted(8, 0);
    std::vector<std::thread> slow;
    for (size_t i = 0; i < outcomes.size(); ++i)
        slow.emplace_back([&, i] {
            CTlsClient client;
            const auto begin = std::chrono::steady_clock::now();
            if (!client.connect(port) || !client.send("GET / HTTP/1.1\r\nHost: x\r\n"))
                return;
            ++started;
            // A line whenever a second passes without an answer, for at most 20 s.
            for (int line = 0; line < 20 && !client.answerWaiting(1000); ++line)
                if (!client.send("X-Slow-" + std::to_string(line) + ": 1\r\n"))
                    break;
            outcomes[i] = client.receive().status;
            lasted[i] = since(begin);
        });
    ASSERT_TRUE(orxtest::waitUntil([&] { return started.load() == 8; }, 30000));
    rightLoginAndPage(port, user());
    for (std::thread& t : slow)
        t.join();
    for (size_t i = 0; i < outcomes.size(); ++i) {
        EXPECT_EQ(408, outcomes[i]) << i;
        EXPECT_LT(lasted[i], 3.0 + 3.0) << i;
    }
}

namespace {

// The orxweb program itself, for what must be measured on its own process.
class COrxwebProcess {
public:
    ~COrxwebProcess() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            if (!orxtest::waitUntil([&] { return ::waitpid(m_pid, nullptr, WNOHANG) == m_pid; },
                                    20000)) {
                ::kill(m_pid, SIGKILL);
                ::waitpid(m_pid, nullptr, 0);
            }
        }
    }

    bool start(uint16_t listenerPort, const ZafTempDir& dir) {
        const std::string portFile = dir.file("orxweb.port");
        std::vector<std::string> args{ORXWEB_PATH,
                                      "--port",
                                      "0",
                                      "--port-file",
                                      portFile,
                                      "--listener-port",
                                      std::to_string(listenerPort),
                                      "--state-dir",
                                      dir.file("state"),
                                      "--assets",
                                      ORXWEB_ASSETS_DIR};
        m_log = dir.file("orxweb.log");
        m_pid = ::fork();
        if (m_pid == 0) {
            const int out = ::open(m_log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(out, 1);
            ::dup2(out, 2);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            std::vector<char*> argv;
            for (std::string& a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        if (!orxtest::waitUntil([&] { return std::filesystem::exists(portFile); }, 30000))
            return false;
        m_port = static_cast<uint16_t>(std::stoi(orxtest::readFile(portFile)));
        return true;
    }

    uint16_t port() const { return m_port; }
    std::string log() const { return orxtest::readFile(m_log); }

    // A field of /proc/PID/status in KiB ("VmRSS", "VmHWM").
    long memoryKiB(const std::string& field) const {
        std::istringstream status(orxtest::readFile("/proc/" + std::to_string(m_pid) + "/status"));
        std::string line;
        while (std::getline(status, line))
            if (line.compare(0, field.size() + 1, field + ":") == 0)
                return std::stol(line.substr(field.size() + 1));
        return -1;
    }

private:
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::string m_log;
};

} // namespace

// Four connections each try to send 100 MB of header lines to the orxweb program: each head is
// refused at 64 KiB and the connection closed after a bounded drain, so the senders get far
// less than 100 MB out and orxweb's memory stays where it was; the page and a login go on.
TEST_F(WebAttackTest, EndlessHeadsAreCutAndLeaveNoMemoryBehind) {
    COrxwebProcess web;
    ASSERT_TRUE(web.start(m_listener.port(), m_dir)) << web.log();
    rightLoginAndPage(web.port(), user()); // warm: first contact, certificate, session
    const long rssBefore = web.memoryKiB("VmRSS");
    const long peakBefore = web.memoryKiB("VmHWM");
    ASSERT_GT(rssBefore, 0);

    constexpr size_t kAttempt = 100u * 1024 * 1024;
    std::string lines;
    for (int i = 0; i < 64; ++i)
        lines += "X-Fill-" + std::to_string(i) + ": " + std::string(8000, 'a') + "\r\n";
    std::vector<size_t> sent(4, 0);
    std::atomic<int> running{0};
    std::vector<std::thread> floods;
    for (size_t i = 0; i < sent.size(); ++i)
        floods.emplace_back([&, i] {
            CTlsClient client;
            if (!client.connect(web.port()) || !client.send("GET / HTTP/1.1\r\nHost: x\r\n"))
                return;
            ++running;
            while (sent[i] < kAttempt && client.send(lines))
                sent[i] += lines.size();
        });
    ASSERT_TRUE(orxtest::waitUntil([&] { return running.load() == 4; }, 30000));
    rightLoginAndPage(web.port(), user());
    for (std::thread& flood : floods)
        flood.join();
    for (size_t bytes : sent)
        EXPECT_LT(bytes, 32u * 1024 * 1024) << "a head was read far beyond its limit";
    EXPECT_LT(web.memoryKiB("VmHWM") - peakBefore, 32 * 1024) << web.log();
    EXPECT_LT(web.memoryKiB("VmRSS") - rssBefore, 16 * 1024) << web.log();
    rightLoginAndPage(web.port(), user());
}

// One account logging in again and again keeps at most four sessions (the least recently used
// one ends, and its browser is told why); the sessions left are enough for everybody else.
TEST_F(WebAttackTest, OneAccountHoldsAtMostFourSessions) {
    auto server = start(options());
    const uint16_t port = server->port();
    std::vector<std::string> cookies;
    for (int i = 0; i < 12; ++i) {
        const SResponse res = loginFrom(port, "127.0.0.1", user().name(), user().password());
        ASSERT_EQ(200, res.status) << res.body;
        const std::string cookie = res.header("Set-Cookie");
        cookies.push_back(cookie.substr(0, cookie.find(';')));
    }
    EXPECT_EQ(4u, server->sessions().size());
    const SResponse first = rawRequest(
        port, "GET /api/session HTTP/1.1\r\nHost: x\r\nCookie: " + cookies.front() + "\r\n\r\n");
    EXPECT_EQ(401, first.status);
    EXPECT_NE(std::string::npos, first.body.find("\"replaced\":true")) << first.body;
    const SResponse last = rawRequest(
        port, "GET /api/session HTTP/1.1\r\nHost: x\r\nCookie: " + cookies.back() + "\r\n\r\n");
    EXPECT_EQ(200, last.status);
    rightLoginAndPage(port, *s_other);
    EXPECT_EQ(5u, server->sessions().size());
}

// A login posted by another site's page (login CSRF) is refused before the listener sees it.
TEST_F(WebAttackTest, LoginsFromAnotherSitesPageAreRefused) {
    auto server = start(options());
    const uint16_t port = server->port();
    const std::string own = "https://127.0.0.1:" + std::to_string(port);
    for (const std::string& headers :
         std::vector<std::string>{"Origin: https://evil.example\r\n", "Origin: null\r\n",
                                  "Sec-Fetch-Site: cross-site\r\n", "Sec-Fetch-Site: same-site\r\n",
                                  "Origin: " + own + "\r\nSec-Fetch-Site: cross-site\r\n"}) {
        const SResponse res =
            loginFrom(port, "127.0.0.1", user().name(), user().password(), headers);
        EXPECT_EQ(403, res.status) << headers;
        EXPECT_NE(std::string::npos, res.body.find("only from orxweb's own page")) << res.body;
    }
    EXPECT_EQ(std::string::npos, m_listener.log().find(user().name()));
    EXPECT_EQ(0u, server->sessions().size());
    const SResponse same = loginFrom(port, "127.0.0.1", user().name(), user().password(),
                                     "Origin: " + own + "\r\nSec-Fetch-Site: same-origin\r\n");
    EXPECT_EQ(200, same.status) << same.body;
}

// TLS 1.2 offers only ECDHE with AES-GCM or ChaCha20-Poly1305: no CBC suites, and with an RSA
// certificate no RSA key exchange. TLS 1.3 is as it was.
TEST_F(WebAttackTest, Tls12OnlyWithForwardSecrecyAndAead) {
    auto handshake = [](uint16_t port, const std::string& ciphers) {
        CTlsClient client;
        STlsOptions tls;
        tls.maxVersion = TLS1_2_VERSION;
        tls.ciphers = ciphers + ":@SECLEVEL=0"; // the client itself refuses nothing
        return client.connect(port, tls) ? client.cipher() : std::string();
    };
    auto ecdsa = start(options());
    for (const char* weak : {"ECDHE-ECDSA-AES128-SHA", "ECDHE-ECDSA-AES256-SHA",
                             "ECDHE-ECDSA-AES128-SHA256", "ECDHE-ECDSA-AES256-SHA384"})
        EXPECT_EQ("", handshake(ecdsa->port(), weak)) << weak;
    for (const char* good : {"ECDHE-ECDSA-AES128-GCM-SHA256", "ECDHE-ECDSA-CHACHA20-POLY1305"})
        EXPECT_EQ(good, handshake(ecdsa->port(), good));
    CTlsClient modern;
    ASSERT_TRUE(modern.connect(ecdsa->port()));
    EXPECT_EQ(0u, modern.cipher().find("TLS_")) << modern.cipher();

    SWebOptions o = options();
    o.certFile = m_dir.file("rsa-cert.pem");
    o.keyFile = m_dir.file("rsa-key.pem");
    makeRsaCertificate(o.certFile, o.keyFile);
    auto rsa = start(o);
    for (const char* weak : {"AES128-GCM-SHA256", "AES256-GCM-SHA384", "AES128-SHA",
                             "ECDHE-RSA-AES128-SHA", "DHE-RSA-AES128-GCM-SHA256"})
        EXPECT_EQ("", handshake(rsa->port(), weak)) << weak;
    EXPECT_EQ("ECDHE-RSA-AES256-GCM-SHA384", handshake(rsa->port(), "ECDHE-RSA-AES256-GCM-SHA384"));
    rightLoginAndPage(rsa->port(), user());
}
