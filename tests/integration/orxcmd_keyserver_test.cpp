// orxcmd and key servers: a real sks on loopback that gpg sends keys to (searched, fetched and
// refreshed by orxcmd, over HKP and over TLS through stunnel4), and hostile stand-ins that send
// too much, nothing, or elsewhere, or a key with a forged user ID.
#include "hkp_standin.h"
#include "orxcmd_harness.h"
#include "packets/packets.h"
#include "sks_harness.h"

#include <gtest/gtest.h>

using namespace orxtest;

namespace {

class OrxcmdKeyServer : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxks");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
    }
    SCmdResult run(const std::vector<std::string>& args, const SCmdOptions& options = {}) {
        return runOrxcmd(*m_user, m_install, args, options);
    }
    std::string rings() {
        return slurp(m_user->file(".zaf/pubring.pkr")) + slurp(m_user->file(".zaf/secring.skr"));
    }
    // The lines of a colon listing of one kind.
    static std::vector<std::string> lines(const std::string& text, const std::string& kind) {
        std::vector<std::string> out;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line))
            if (line.compare(0, kind.size() + 1, kind + ":") == 0)
                out.push_back(line);
        return out;
    }
    static SCmdOptions passphrase(const std::string& lines) {
        SCmdOptions options;
        options.passphrases = lines;
        return options;
    }
    static std::string field(const std::string& line, size_t index) {
        std::istringstream in(line);
        std::string f;
        for (size_t i = 0; i <= index && std::getline(in, f, ':'); ++i) {
        }
        return f;
    }
    void writeInstallFile(const std::string& name, const std::string& content) {
        std::ofstream(m_install.path() + "/" + name) << content;
        ::chmod((m_install.path() + "/" + name).c_str(), 0644);
    }

    std::unique_ptr<TestAccount> m_user;
    COrxInstall m_install;
    ZafTempDir m_dir;
};

TEST_F(OrxcmdKeyServer, SearchesFetchesAndRefreshesFromARealKeyServer) {
    SSksWithKey server(m_dir.file("ks"), "Alice Example <alice@example.org>");
    if (!server.skip.empty())
        GTEST_SKIP() << server.skip;
    ASSERT_EQ("", server.failure);
    const GpgHome& gpg = server.gpg;
    const SksServer& sks = *server.sks;
    const std::string fpr = server.fingerprint;
    const std::string shortID = "0x" + fpr.substr(32);

    SCmdResult found = run({"--keyserver", sks.url(), "--keyserver-search", "alice@example.org"});
    ASSERT_EQ(0, found.rc) << found.err;
    EXPECT_NE(std::string::npos, found.out.find(shortID + "  ")) << found.out;
    EXPECT_NE(std::string::npos, found.out.find("Alice Example <alice@example.org>")) << found.out;
    EXPECT_NE(std::string::npos, found.out.find("1 key found")) << found.out;
    found = run({"--keyserver", sks.url(), "--keyserver-search", "alice", "--with-colons"});
    ASSERT_EQ(0, found.rc) << found.err;
    ASSERT_EQ(1u, lines(found.out, "pub").size()) << found.out;
    EXPECT_EQ(0u, lines(found.out, "pub")[0].find("pub:u:2048:1:" + fpr.substr(24) + ":"))
        << found.out;
    EXPECT_EQ(std::vector<std::string>{"fpr:::::::::" + fpr + ":"}, lines(found.out, "fpr"));
    EXPECT_EQ(std::vector<std::string>{"uid:::::::::Alice Example <alice@example.org>:"},
              lines(found.out, "uid"));

    SCmdResult fetched = run({"--keyserver", sks.url(), "--keyserver-fetch", fpr});
    ASSERT_EQ(0, fetched.rc) << fetched.err;
    EXPECT_NE(std::string::npos, fetched.out.find("key " + shortID + " Alice Example"))
        << fetched.out;
    EXPECT_NE(std::string::npos, fetched.out.find("1 new, 0 changed, 0 unchanged")) << fetched.out;
    SCmdResult list = run({"--key-list", "--with-colons"});
    ASSERT_EQ(0, list.rc) << list.err;
    ASSERT_EQ(1u, lines(list.out, "pub").size()) << list.out;
    EXPECT_EQ(0u, lines(list.out, "pub")[0].find("pub:u:2048:1:" + fpr.substr(24))) << list.out;

    // The key server in the configuration stands in for --keyserver.
    {
        ScopedIdentity as(*m_user);
        std::ofstream(m_user->file(".zaf/zaf.cfg"), std::ios::app)
            << "\nKey-Server=\"" << sks.url() << "\"\n";
    }
    SCmdResult unchanged = run({"--key-update"});
    ASSERT_EQ(0, unchanged.rc) << unchanged.err;
    EXPECT_NE(std::string::npos, unchanged.out.find("0 new, 0 changed, 1 unchanged"))
        << unchanged.out;

    // gpg revokes the key and sends the revocation; the refresh brings it in.
    ASSERT_EQ(0, gpg.gpg({"--import"}, gpg.revocation(fpr)).rc) << slurp(gpg.dir() + "/gpg.log");
    ASSERT_EQ(0, gpg.gpg({"--keyserver", sks.url(), "--send-keys", fpr}).rc);
    SCmdResult updated = run({"--key-update", shortID, "--with-colons"});
    ASSERT_EQ(0, updated.rc) << updated.err;
    EXPECT_EQ(std::vector<std::string>{"imp:changed:" + fpr.substr(32) +
                                       "::Alice Example <alice@example.org>:"},
              lines(updated.out, "imp"));
    list = run({"--key-list", "--with-colons"});
    ASSERT_EQ(1u, lines(list.out, "pub").size()) << list.out;
    EXPECT_EQ(0u, lines(list.out, "pub")[0].find("pub:r:")) << list.out;

    // A key the server does not hold is named as such, and nothing fails.
    ASSERT_EQ(0, run({"--key-gen", "--key-type", "RSA", "--key-size", "1024", "--userid",
                      "Bob Example <bob@example.org>", "--passphrase-fd", "3"},
                     passphrase("pw\n"))
                     .rc);
    SCmdResult partly = run({"--key-update"});
    ASSERT_EQ(0, partly.rc) << partly.err;
    EXPECT_NE(std::string::npos,
              partly.out.find("Bob Example <bob@example.org>: not on the key server"))
        << partly.out;
    EXPECT_NE(std::string::npos, partly.out.find("0 new, 0 changed, 1 unchanged")) << partly.out;
    SCmdResult absent = run({"--keyserver-fetch", "0x0123456789ABCDEF"});
    EXPECT_EQ(3, absent.rc) << absent.err;
    EXPECT_NE(std::string::npos, absent.err.find("0x0123456789ABCDEF")) << absent.err;

    // TLS in front of the same server: trusted through keyserver-ca.pem of the installation.
    const auto certs = TestCertificates::make("localhost", "Vorn Test CA");
    TlsTunnel tunnel(m_dir.path(), sks.port(), certs.serverPem);
    if (!tunnel.running())
        GTEST_SKIP() << tunnel.skipReason();
    const std::string hkps = "hkps://localhost:" + std::to_string(tunnel.port());
    SCmdResult untrusted = run({"--keyserver", hkps, "--keyserver-search", "alice"});
    EXPECT_EQ(1, untrusted.rc);
    EXPECT_NE(std::string::npos, untrusted.err.find("certificate")) << untrusted.err;
    writeInstallFile("keyserver-ca.pem", certs.caPem);
    SCmdResult overTls = run({"--keyserver", hkps, "--keyserver-search", "alice"});
    ASSERT_EQ(0, overTls.rc) << overTls.err;
    EXPECT_NE(std::string::npos, overTls.out.find(shortID)) << overTls.out;
}

TEST_F(OrxcmdKeyServer, CutsOffHostileServersAndImportsNothing) {
    const std::string genuine = [&] {
        SCmdResult made = run({"--key-gen", "--key-type", "RSA", "--key-size", "1024", "--userid",
                               "Alice Example <alice@example.org>", "--passphrase-fd", "3"},
                              passphrase("pw\n"));
        EXPECT_EQ(0, made.rc) << made.err;
        return run({"--key-export"}).out;
    }();
    const std::string keyID =
        field(lines(run({"--key-list", "--with-colons"}).out, "sec").at(0), 4);
    const SCmdResult removed = run({"--key-remove", "0x" + keyID, "--force"});
    ASSERT_EQ(0, removed.rc) << removed.err;
    const std::string before = rings();

    HkpStandIn huge([](int fd, const HkpStandIn::Request&, HkpStandIn& self) {
        self.stream(fd, "HTTP/1.0 200 OK\r\n\r\n", uint64_t(1) << 30);
    });
    HkpStandIn silent(
        [](int fd, const HkpStandIn::Request&, HkpStandIn& self) { self.holdUntilClosed(fd); });
    HkpStandIn elsewhere(
        [&](int fd, const HkpStandIn::Request&, HkpStandIn&) {
            HkpStandIn::writeAll(fd, HkpStandIn::answer(200, genuine));
        },
        "127.0.0.2");
    HkpStandIn redirecting([&](int fd, const HkpStandIn::Request& r, HkpStandIn&) {
        HkpStandIn::writeAll(
            fd,
            HkpStandIn::answer(302, "", "Location: " + elsewhere.url("http") + r.target + "\r\n"));
    });
    struct Case {
        HkpStandIn* server;
        const char* expected;
    } cases[] = {{&huge, "larger than"}, {&silent, "time limit"}, {&redirecting, "127.0.0.2"}};
    SCmdOptions quick;
    quick.env["ORX_ZAF_KEYSERVER_TIMEOUT_MS"] = "1500";
    for (const Case& c : cases) {
        const SCmdResult r =
            run({"--keyserver", c.server->url(), "--keyserver-fetch", "0x" + keyID}, quick);
        EXPECT_EQ(1, r.rc) << c.expected << ": " << r.out << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.expected)) << r.err;
        EXPECT_EQ(1u, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
        EXPECT_TRUE(before == rings()) << c.expected;
    }
    EXPECT_EQ(0, elsewhere.connections());

    // A server that adds a user ID under a copied self-signature: the key arrives without it.
    std::string forged;
    std::string scratch, selfSig;
    const auto* bytes = reinterpret_cast<const uint8_t*>(genuine.data());
    bool afterUserID = false;
    for (size_t at = 0; at < genuine.size();) {
        zaf::rfc4880::RawPacket p;
        ASSERT_TRUE(zaf::rfc4880::readPacket(bytes, genuine.size(), at, p, scratch));
        forged.append(genuine, at, p.total);
        at += p.total;
        if (afterUserID && p.tag == zaf::rfc4880::kTagSignature && selfSig.empty()) {
            selfSig = std::string(p.body);
            zaf::rfc4880::writePacket(forged, zaf::rfc4880::kTagUserID,
                                      "Mallory <mallory@example.net>");
            zaf::rfc4880::writePacket(forged, zaf::rfc4880::kTagSignature, selfSig);
        }
        afterUserID = p.tag == zaf::rfc4880::kTagUserID;
    }
    HkpStandIn forger([&](int fd, const HkpStandIn::Request&, HkpStandIn&) {
        HkpStandIn::writeAll(fd, HkpStandIn::answer(200, forged));
    });
    const SCmdResult fetched =
        run({"--keyserver", forger.url(), "--keyserver-fetch", "0x" + keyID});
    ASSERT_EQ(0, fetched.rc) << fetched.err;
    const SCmdResult listed = run({"--key-list", "--with-userids", "--with-colons"});
    EXPECT_EQ(std::vector<std::string>{"uid:u::::::::Alice Example <alice@example.org>:"},
              lines(listed.out, "uid"))
        << listed.out;
}

TEST_F(OrxcmdKeyServer, RefusesWhatHkpCannotDo) {
    for (const char* sw : {"--keyserver-send", "--keyserver-delete", "--keyserver-disable"}) {
        const SCmdResult r = run({sw, "0x01234567"});
        EXPECT_EQ(9, r.rc) << sw;
        EXPECT_NE(std::string::npos, r.err.find(std::string(sw) + " is not supported (")) << r.err;
    }
    const SCmdResult ldap = run({"--keyserver", "hkp://127.0.0.1:1", "--keyserver-type", "LDAPX509",
                                 "--keyserver-search", "alice"});
    EXPECT_EQ(9, ldap.rc);
    EXPECT_NE(std::string::npos, ldap.err.find("LDAP key servers are not supported")) << ldap.err;
    const SCmdResult none = run({"--keyserver-search", "alice"});
    EXPECT_EQ(2, none.rc);
    EXPECT_NE(std::string::npos, none.err.find("no key server")) << none.err;
    const SCmdResult badName =
        run({"--keyserver", "hkp://127.0.0.1:1", "--keyserver-fetch", "alice"});
    EXPECT_EQ(2, badName.rc);
    const SCmdResult unreachable =
        run({"--keyserver", "hkp://127.0.0.1:1", "--keyserver-fetch", "0x01234567"});
    EXPECT_EQ(1, unreachable.rc);
    EXPECT_NE(std::string::npos, unreachable.err.find("reach the key server")) << unreachable.err;
}

} // namespace
