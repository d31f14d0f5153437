// orxadmin and the listener's key server requests: a real orxgui on loopback, logged in as a real
// throw-away account (root only; skipped otherwise), searching and fetching from a real sks that
// gpg sent a key to, refusing bad values before any server is asked, and hostile stand-ins that
// never answer or answer too much, which cost only their own request.
// ctest-labels: threaded
#include "adminrequests.h"
#include "hkp_standin.h"
#include "listener_harness.h"
#include "orxadmin_process.h"
#include "sks_harness.h"
#include "test_account.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

using namespace vornadmin;

namespace {

class OrxadminKeyServer : public ::testing::Test {
protected:
    void SetUp() override {
        m_account = TestAccount::create("orxk");
        if (!m_account)
            GTEST_SKIP() << TestAccount::skipReason();
    }

    bool startListener(const std::map<std::string, std::string>& environment = {}) {
        orxtest::SListenerOptions options;
        options.environment = environment;
        m_listener = std::make_unique<orxtest::CListenerProcess>(options);
        return m_listener->start();
    }

    SResult console(std::vector<std::string> args) {
        std::vector<std::string> all = {"--port",
                                        std::to_string(m_listener->port()),
                                        "--user",
                                        m_account->name(),
                                        "--known-hosts",
                                        m_dir.file("known_hosts"),
                                        "--accept-new-host-key"};
        all.insert(all.end(), args.begin(), args.end());
        return runConsole(all, m_account->password());
    }

    // A logged-in session of the account, its replies awaited at most `timeoutMs`.
    std::unique_ptr<CAdminConnection> session(unsigned int timeoutMs = 60000) {
        auto connection = m_listener->connect(timeoutMs);
        orxtest::loginOK(*connection, m_account->name(), m_account->password());
        return connection;
    }

    static SXmlElement command(const std::string& type,
                               const std::vector<std::pair<std::string, std::string>>& data) {
        SXmlElement request = gCommand(type);
        for (const auto& attribute : data)
            gData(request).set(attribute.first, attribute.second);
        return request;
    }

    std::string rings() const {
        return orxtest::readFile(m_account->file(".zaf/pubring.pkr")) +
               orxtest::readFile(m_account->file(".zaf/secring.skr"));
    }

    std::unique_ptr<TestAccount> m_account;
    std::unique_ptr<orxtest::CListenerProcess> m_listener;
    ZafTempDir m_dir;
};

bool holds(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

} // namespace

TEST_F(OrxadminKeyServer, SearchesAndFetchesFromARealKeyServer) {
    orxtest::SSksWithKey server(m_dir.file("ks"), "Alice Example <alice@example.org>");
    if (!server.skip.empty())
        GTEST_SKIP() << server.skip;
    ASSERT_EQ("", server.failure);
    const orxtest::SksServer& sks = *server.sks;
    const std::string fpr = server.fingerprint;
    const std::string shortID = "0x" + fpr.substr(32);
    ASSERT_TRUE(startListener());

    const SResult found = console({"keyserver-search", "alice@example.org", "--server", sks.url()});
    ASSERT_EQ(0, found.status) << found.err;
    EXPECT_TRUE(holds(found.out, shortID + "  RSA   2048")) << found.out;
    EXPECT_TRUE(holds(found.out, "User ID:      Alice Example <alice@example.org>")) << found.out;
    EXPECT_TRUE(holds(found.out, "1 key found.")) << found.out;

    const SResult fetched = console({"keyserver-fetch", fpr, "--server", sks.url()});
    ASSERT_EQ(0, fetched.status) << fetched.err;
    EXPECT_EQ("key " + shortID +
                  " Alice Example <alice@example.org>: new\n"
                  "1 new, 0 changed, 0 unchanged\n",
              fetched.out);
    const SResult keys = console({"keys"});
    ASSERT_EQ(0, keys.status) << keys.err;
    // The keys table names keys by their long IDs.
    EXPECT_TRUE(holds(keys.out, "0x" + fpr.substr(24) + "  RSA")) << keys.out;
    EXPECT_TRUE(holds(keys.out, "Alice Example <alice@example.org>")) << keys.out;

    // Without --server the user's configured key server is asked.
    {
        ScopedIdentity as(*m_account);
        std::ofstream(m_account->file(".zaf/zaf.cfg"), std::ios::app)
            << "\nKey-Server=\"" << sks.url() << "\"\nLog-File=transactions.log\n";
    }
    const SResult again = console({"keyserver-fetch", "0x" + fpr.substr(24)});
    ASSERT_EQ(0, again.status) << again.err;
    EXPECT_TRUE(holds(again.out, "0 new, 0 changed, 1 unchanged")) << again.out;

    // A key the server does not hold fails the whole fetch, and nothing is imported.
    const std::string before = rings();
    const SResult absent = console({"keyserver-fetch", fpr, "0x0123456789ABCDEF"});
    EXPECT_EQ(8, absent.status) << absent.out << absent.err;
    EXPECT_TRUE(holds(absent.err, "0x0123456789ABCDEF")) << absent.err;
    EXPECT_TRUE(before == rings());

    // Fetches change the key rings: each is a line of the transaction log, whatever its outcome;
    // a search is not.
    EXPECT_EQ(0, console({"keyserver-search", "alice"}).status);
    std::vector<std::pair<std::string, std::string>> logged; // operation, rc
    std::istringstream log(orxtest::readFile(m_account->file(".zaf/transactions.log")));
    for (std::string line; std::getline(log, line);) {
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');)
            fields.push_back(field);
        ASSERT_EQ(6u, fields.size()) << line;
        logged.emplace_back(fields[3], fields[5]);
    }
    const std::vector<std::pair<std::string, std::string>> expected = {{"keyserver-fetch", "0"},
                                                                       {"keyserver-fetch", "8"}};
    EXPECT_EQ(expected, logged);
}

TEST_F(OrxadminKeyServer, RefusesBadValuesBeforeAskingAnyServer) {
    // Any question would reach this stand-in (also as the configured server, below).
    orxtest::HkpStandIn watcher(
        [](int fd, const orxtest::HkpStandIn::Request&, orxtest::HkpStandIn&) {
            orxtest::HkpStandIn::writeAll(fd, orxtest::HkpStandIn::answer(404, "not here"));
        });
    ASSERT_TRUE(startListener());
    auto connection = session();
    std::string fiftyOne;
    for (int i = 0; i < 51; ++i)
        fiftyOne += "0x0123456789ABCDEF ";
    const struct {
        SXmlElement request;
        int rc;
        const char* text;
    } cases[] = {
        {command("keyserver-search", {{"pattern", ""}, {"server", watcher.url()}}), 12,
         "attribute 'pattern'"},
        {command("keyserver-search",
                 {{"pattern", std::string(257, 'a')}, {"server", watcher.url()}}),
         12, "attribute 'pattern'"},
        {command("keyserver-search", {{"server", watcher.url()}}), 12,
         "Missing attribute: 'pattern'"},
        {command("keyserver-search", {{"pattern", "alice"}, {"server", "ftp://127.0.0.1:1"}}), 12,
         "attribute 'server'"},
        {command("keyserver-fetch", {{"ids", "alice@example.org"}, {"server", watcher.url()}}), 12,
         "'alice@example.org' of attribute 'ids'"},
        {command("keyserver-fetch", {{"ids", " , "}, {"server", watcher.url()}}), 12,
         "attribute 'ids'"},
        {command("keyserver-fetch", {{"ids", fiftyOne}, {"server", watcher.url()}}), 12,
         "at most 50 key names"},
        {command("keyserver-search", {{"pattern", "alice"}}), 8, "No key server is configured"},
        {command("keyserver-search", {{"pattern", "alice"}, {"server", "ldap://127.0.0.1"}}), 8,
         ""},
    };
    for (const auto& c : cases) {
        const SReply reply = orxtest::request(*connection, c.request);
        EXPECT_EQ(c.rc, reply.rc) << gWriteXml(c.request) << "\n" << reply.error;
        EXPECT_TRUE(holds(reply.error, c.text)) << reply.error;
        EXPECT_EQ(nullptr, reply.body());
    }
    // Names in groups and mixed separators are fine; this server just does not hold them.
    const SReply notHeld = orxtest::request(
        *connection, command("keyserver-fetch", {{"ids", "0x0123456789ABCDEF,\t0x89ABCDEF"},
                                                 {"server", watcher.url()}}));
    EXPECT_EQ(8, notHeld.rc) << notHeld.error;
    EXPECT_EQ(1u, watcher.targets().size());
    EXPECT_EQ(0, orxtest::request(*connection, gKeysSummaryRequest()).rc);
}

TEST_F(OrxadminKeyServer, AHostileServerCostsOnlyItsOwnRequest) {
    orxtest::HkpStandIn silent([](int fd, const orxtest::HkpStandIn::Request&,
                                  orxtest::HkpStandIn& self) { self.holdUntilClosed(fd); });
    orxtest::HkpStandIn huge(
        [](int fd, const orxtest::HkpStandIn::Request&, orxtest::HkpStandIn& self) {
            self.stream(fd, "HTTP/1.0 200 OK\r\n\r\n", uint64_t(1) << 30);
        });
    // The session's questions get 1.5 s instead of 30 s (the setting can only shorten them).
    ASSERT_TRUE(startListener({{"ORX_ZAF_KEYSERVER_TIMEOUT_MS", "1500"}}));
    // The console waits at most 20 s for any reply: a request that outlived the time limit of
    // its question would fail here rather than hang.
    auto connection = session(20000);
    const std::string before = rings();

    const SReply silence = orxtest::request(
        *connection,
        command("keyserver-fetch", {{"ids", "0x0123456789ABCDEF"}, {"server", silent.url()}}));
    EXPECT_EQ(8, silence.rc);
    EXPECT_TRUE(holds(silence.error, "time limit")) << silence.error;

    const SReply flood = orxtest::request(
        *connection, command("keyserver-search", {{"pattern", "alice"}, {"server", huge.url()}}));
    EXPECT_EQ(8, flood.rc);
    EXPECT_TRUE(holds(flood.error, "larger than")) << flood.error;

    // The same session goes on, and nothing reached the key rings.
    const SReply keys = orxtest::request(*connection, gKeysSummaryRequest());
    EXPECT_EQ(0, keys.rc) << keys.error;
    EXPECT_TRUE(before == rings());
    EXPECT_EQ(1, silent.connections());
    EXPECT_EQ(1, huge.connections());

    // Through orxadmin, the refusal is the listener's rc and its reason.
    const SResult viaConsole = console({"keyserver-search", "alice", "--server", silent.url()});
    EXPECT_EQ(8, viaConsole.status) << viaConsole.out;
    EXPECT_TRUE(holds(viaConsole.err, "time limit")) << viaConsole.err;
}
