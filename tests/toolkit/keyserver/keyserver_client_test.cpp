// The key server handle against stand-in servers on loopback: what it asks, what it keeps of
// the answers, and how it cuts off servers that send too much, too slowly, or send it elsewhere.
// TLS runs through stunnel4 with a certificate authority made for the test.
#include "bounded_call.h"
#include "hkp_standin.h"
#include "keyserver_test_util.h"
#include "odd_files.h"
#include "tls_tunnel.h"

#include <gtest/gtest.h>
#include <map>

using kstest::ServedKeys;
using orxtest::HkpStandIn;

namespace {

class KeyServerClient : public ::testing::Test {
protected:
    // A handle on `url` with a short time limit, so that servers that never answer cost little.
    ZAFKeyServerRef open(const std::string& url, uint32_t timeoutMs = 1500) {
        ZAFKeyServerRef server = nullptr;
        EXPECT_EQ(0, ZAFNewKeyServer(m_keys.ctx(), url.c_str(), &server)) << url;
        ZAFKeyServerLimits limits{0, 0, timeoutMs};
        EXPECT_EQ(0, ZAFSetKeyServerLimits(server, &limits));
        m_servers.push_back(server);
        return server;
    }
    void TearDown() override {
        for (ZAFKeyServerRef s : m_servers)
            ZAFFreeKeyServer(s);
    }
    static std::string lastError(ZAFKeyServerRef server) {
        char text[512] = {};
        size_t size = 0;
        EXPECT_EQ(0, ZAFGetKeyServerLastError(server, text, sizeof text, &size));
        return text;
    }
    // Fetches and returns the kept bytes ("" on failure, with `code` set).
    static std::string fetch(ZAFKeyServerRef server, const std::string& id, ZAFError& code,
                             uint32_t* keys = nullptr) {
        void* data = nullptr;
        size_t size = 0;
        code = ZAFFetchFromKeyServer(server, id.c_str(), &data, &size, keys);
        if (code != kZAFError_NoErr)
            return "";
        std::string out(static_cast<char*>(data), size);
        ZAFFreeData(data);
        return out;
    }

    ServedKeys m_keys;
    std::vector<ZAFKeyServerRef> m_servers;
};

TEST_F(KeyServerClient, FetchesOnlyTheKeyAskedForAndSearchesIndexes) {
    const std::string alice = m_keys.exportKeys({m_keys.alice()});
    // A server that adds another key and Alice's secret key to every answer.
    const std::string answer = m_keys.exportKeys({m_keys.bob(), m_keys.alice()}, true) +
                               m_keys.exportKeys({m_keys.alice()}, true, true);
    char chunkSize[16];
    std::snprintf(chunkSize, sizeof chunkSize, "%zx", answer.size());
    HkpStandIn server([&](int fd, const HkpStandIn::Request& r, HkpStandIn&) {
        if (r.target.find("op=index") != std::string::npos)
            HkpStandIn::writeAll(
                fd,
                HkpStandIn::answer(200, "info:1:1\npub:" + ServedKeys::fingerprint(m_keys.alice()) +
                                            ":1:1024:1700000000::\nuid:Alice Example "
                                            "%3Calice@example.org%3E:::\n"));
        else
            HkpStandIn::writeAll(fd, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                         std::string(chunkSize) + "\r\n" + answer +
                                         "\r\n0\r\n\r\n");
    });
    ZAFKeyServerRef ks = open(server.url() + "/prefix");
    ZAFError code = 0;
    uint32_t kept = 0;
    EXPECT_TRUE(alice == fetch(ks, ServedKeys::fingerprint(m_keys.alice()), code, &kept));
    EXPECT_EQ(0, code) << lastError(ks);
    EXPECT_EQ(1u, kept);
    EXPECT_EQ("/prefix/pks/lookup?op=get&options=mr&search=0x" +
                  ServedKeys::fingerprint(m_keys.alice()),
              server.targets().back());

    ZAFKeyServerIndexRef index = nullptr;
    ASSERT_EQ(0, ZAFSearchKeyServer(ks, "alice example", &index));
    EXPECT_EQ("/prefix/pks/lookup?op=index&options=mr&search=alice%20example",
              server.targets().back());
    uint32_t count = 0;
    ASSERT_EQ(0, ZAFCountKeyServerIndexKeys(index, &count));
    ASSERT_EQ(1u, count);
    ZAFKeyServerKeyInfo info;
    ASSERT_EQ(0, ZAFGetKeyServerIndexKey(index, 0, &info));
    EXPECT_EQ(ServedKeys::fingerprint(m_keys.alice()), info.keyID);
    EXPECT_EQ(1024u, info.bits);
    size_t size = 0;
    EXPECT_EQ(kZAFError_BufferTooSmall, ZAFGetKeyServerIndexUserID(index, 0, 0, nullptr, 0, &size));
    std::string uid(size, '\0');
    ASSERT_EQ(0, ZAFGetKeyServerIndexUserID(index, 0, 0, &uid[0], size, &size));
    EXPECT_EQ(std::string("Alice Example <alice@example.org>") + '\0', uid);
    EXPECT_EQ(kZAFError_BadParams, ZAFGetKeyServerIndexUserID(index, 0, 1, &uid[0], size, &size));
    EXPECT_EQ(0, ZAFFreeKeyServerIndex(index));
}

TEST_F(KeyServerClient, AnswersFiltersWithVerifiedKeysOnly) {
    const std::string forged = m_keys.aliceWithForgedUserID();
    const std::string bob = m_keys.exportKeys({m_keys.bob()});
    HkpStandIn server([&](int fd, const HkpStandIn::Request& r, HkpStandIn&) {
        // A word search that matches loosely: both keys for any text.
        if (r.target.find("search=0x") != std::string::npos)
            HkpStandIn::writeAll(fd, HkpStandIn::answer(200, forged + bob));
        else
            HkpStandIn::writeAll(fd, HkpStandIn::answer(200, bob + forged));
    });
    ZAFKeyServerRef ks = open(server.url());
    ZAFContextRef ctx = m_keys.ctx();

    ZAFKeyID id;
    ASSERT_EQ(0,
              ZAFNewKeyIDFromString(("0x" + ServedKeys::longID(m_keys.alice())).c_str(), -1, &id));
    ZAFFilterRef byKey = nullptr, bySub = nullptr, either = nullptr;
    ASSERT_EQ(0, ZAFNewKeyDBObjDataFilter(ctx, kZAFKeyProperty_KeyID, &id, sizeof id,
                                          kZAFMatch_Equal, &byKey));
    ASSERT_EQ(0, ZAFNewKeyDBObjDataFilter(ctx, kZAFSubKeyProperty_KeyID, &id, sizeof id,
                                          kZAFMatch_Equal, &bySub));
    ASSERT_EQ(0, ZAFUnionFilters(byKey, bySub, &either));
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(0, ZAFQueryKeyServer(ks, either, &db)) << lastError(ks);
    EXPECT_EQ(1u, server.targets().size()) << "one look-up for the key and subkey filters";
    // The forged user ID does not count; only the genuine one arrives.
    EXPECT_EQ(std::vector<std::string>{"Alice Example <alice@example.org>"}, kstest::userIDsOf(db));
    ZAFFreeKeyDB(db);

    ZAFFilterRef byText = nullptr;
    ASSERT_EQ(0, ZAFNewKeyDBObjDataFilter(ctx, kZAFUserIDProperty_Name, "BOB EXAMPLE", 11,
                                          kZAFMatch_SubString, &byText));
    ASSERT_EQ(0, ZAFQueryKeyServer(ks, byText, &db)) << lastError(ks);
    EXPECT_EQ(std::vector<std::string>{"Bob Example <bob@example.org>"}, kstest::userIDsOf(db));
    ZAFFreeKeyDB(db);

    ZAFFilterRef both = nullptr;
    ASSERT_EQ(0, ZAFIntersectFilters(byKey, byText, &both));
    EXPECT_EQ(kZAFError_NotImplemented, ZAFQueryKeyServer(ks, both, &db));
    for (ZAFFilterRef f : {byKey, bySub, either, byText, both})
        ZAFFreeFilter(f);
}

TEST_F(KeyServerClient, CutsOffAnswersBeyondTheSizeLimit) {
    for (const std::string& head :
         {std::string("HTTP/1.0 200 OK\r\nContent-Length: 1073741824\r\n\r\n"),
          std::string("HTTP/1.0 200 OK\r\n\r\n"),
          std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n40000000\r\n")}) {
        HkpStandIn server([&](int fd, const HkpStandIn::Request&, HkpStandIn& self) {
            self.stream(fd, head, uint64_t(1) << 30);
        });
        ZAFKeyServerRef ks = open(server.url(), 60000);
        ZAFError code = 0;
        fetch(ks, ServedKeys::longID(m_keys.alice()), code);
        EXPECT_EQ(kZAFError_KeyServerTooLarge, code) << head;
        EXPECT_NE(std::string::npos, lastError(ks).find("16777216")) << lastError(ks);
    }
}

TEST_F(KeyServerClient, GivesUpOnServersThatNeverFinish) {
    // One that accepts and says nothing; one that sends a byte every 100 ms for ever.
    HkpStandIn silent(
        [](int fd, const HkpStandIn::Request&, HkpStandIn& self) { self.holdUntilClosed(fd); });
    HkpStandIn dripping([](int fd, const HkpStandIn::Request&, HkpStandIn& self) {
        const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
        for (size_t i = 0; !self.stopping() && i < 100000; ++i) {
            if (!HkpStandIn::writeAll(fd, head.substr(i % head.size(), 1)))
                return;
            ::usleep(100000);
        }
    });
    for (HkpStandIn* s : {&silent, &dripping}) {
        ZAFKeyServerRef ks = open(s->url(), 700);
        const auto start = std::chrono::steady_clock::now();
        ZAFError code = 0;
        fetch(ks, ServedKeys::longID(m_keys.alice()), code);
        EXPECT_EQ(kZAFError_KeyServerTimeout, code) << lastError(ks);
        // The limit holds for the whole request, not each read (generous bound for a busy host).
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    }
}

TEST_F(KeyServerClient, FollowsRedirectsOnlyOnTheSameHost) {
    const std::string alice = m_keys.exportKeys({m_keys.alice()}, true);
    HkpStandIn elsewhere(
        [&](int fd, const HkpStandIn::Request&, HkpStandIn&) {
            HkpStandIn::writeAll(fd, HkpStandIn::answer(200, alice));
        },
        "127.0.0.2");
    HkpStandIn redirecting([&](int fd, const HkpStandIn::Request& r, HkpStandIn& self) {
        if (r.target.compare(0, 7, "/moved/") == 0)
            HkpStandIn::writeAll(fd, HkpStandIn::answer(200, alice));
        else if (r.target.find("loop") != std::string::npos ||
                 r.target.find("0x0123456789ABCDEF") != std::string::npos)
            HkpStandIn::writeAll(fd, HkpStandIn::answer(302, "", "Location: /loop\r\n"));
        else if (r.target.find(ServedKeys::fingerprint(m_keys.alice())) != std::string::npos)
            HkpStandIn::writeAll(fd, HkpStandIn::answer(301, "",
                                                        "Location: " + self.url("http") + "/moved" +
                                                            r.target + "\r\n"));
        else
            HkpStandIn::writeAll(
                fd, HkpStandIn::answer(307, "",
                                       "Location: " + elsewhere.url("http") + r.target + "\r\n"));
    });
    ZAFKeyServerRef ks = open(redirecting.url());
    ZAFError code = 0;
    EXPECT_TRUE(m_keys.exportKeys({m_keys.alice()}) ==
                fetch(ks, ServedKeys::fingerprint(m_keys.alice()), code));
    EXPECT_EQ(0, code) << lastError(ks);

    fetch(ks, ServedKeys::longID(m_keys.alice()), code);
    EXPECT_EQ(kZAFError_KeyServerRedirect, code);
    EXPECT_NE(std::string::npos, lastError(ks).find("127.0.0.2")) << lastError(ks);
    EXPECT_EQ(0, elsewhere.connections());

    const int before = redirecting.connections();
    fetch(ks, "0x0123456789ABCDEF", code);
    EXPECT_EQ(kZAFError_KeyServerRedirect, code);
    EXPECT_EQ(4, redirecting.connections() - before) << "the request and three redirects";
}

TEST_F(KeyServerClient, ReportsMissingKeysRefusalsAndDeadServers) {
    HkpStandIn server([](int fd, const HkpStandIn::Request& r, HkpStandIn&) {
        if (r.target.find("0x0123456789ABCDEF") != std::string::npos)
            HkpStandIn::writeAll(fd, HkpStandIn::answer(500, "text terminated"));
        else
            HkpStandIn::writeAll(fd, HkpStandIn::answer(404, "Not found"));
    });
    ZAFKeyServerRef ks = open(server.url());
    ZAFError code = 0;
    fetch(ks, ServedKeys::longID(m_keys.alice()), code);
    EXPECT_EQ(kZAFError_ItemNotFound, code);
    fetch(ks, "0x0123456789ABCDEF", code);
    EXPECT_EQ(kZAFError_KeyServerRefused, code);
    EXPECT_NE(std::string::npos, lastError(ks).find("500")) << lastError(ks);
    ZAFKeyServerIndexRef index = nullptr;
    ASSERT_EQ(0, ZAFSearchKeyServer(ks, "nobody", &index));
    uint32_t count = 1;
    EXPECT_EQ(0, ZAFCountKeyServerIndexKeys(index, &count));
    EXPECT_EQ(0u, count);
    ZAFFreeKeyServerIndex(index);
    EXPECT_EQ(kZAFError_BadParams, ZAFFetchFromKeyServer(ks, "alice", nullptr, nullptr, nullptr));

    ZAFKeyServerRef dead = open("hkp://127.0.0.1:" + std::to_string(orxtest::freeLoopbackPort()));
    fetch(dead, ServedKeys::longID(m_keys.alice()), code);
    EXPECT_EQ(kZAFError_KeyServerConnect, code);

    ZAFKeyServerRef ldap = nullptr;
    EXPECT_EQ(kZAFError_KeyServerType, ZAFNewKeyServerOfType(m_keys.ctx(), server.url().c_str(),
                                                             kZAFKeyServerType_LDAPX509, &ldap));
    EXPECT_EQ(kZAFError_KeyServerType, ZAFNewKeyServer(m_keys.ctx(), "ldap://ks", &ldap));
    char text[200];
    ASSERT_EQ(0, ZAFGetErrorString(kZAFError_KeyServerType, sizeof text, text));
    EXPECT_NE(std::string::npos, std::string(text).find("LDAP")) << text;
    ZAFKeyServerLimits tooLong{0, 0, 600001};
    EXPECT_EQ(kZAFError_BadParams, ZAFSetKeyServerLimits(ks, &tooLong));
}

TEST_F(KeyServerClient, ChecksTheCertificateOfTlsServers) {
    const std::string alice = m_keys.exportKeys({m_keys.alice()}, true);
    HkpStandIn plain([&](int fd, const HkpStandIn::Request&, HkpStandIn&) {
        HkpStandIn::writeAll(fd, HkpStandIn::answer(200, alice));
    });
    kstest::TempDir dir;
    const auto good = orxtest::TestCertificates::make("localhost", "Test CA");
    const auto otherName = orxtest::TestCertificates::make("keys.example.org", "Test CA");
    orxtest::TlsTunnel tunnel(dir.path(), plain.port(), good.serverPem);
    if (!tunnel.running())
        GTEST_SKIP() << tunnel.skipReason();
    kstest::writeAll(dir.file("ca.pem"), good.caPem);
    kstest::writeAll(dir.file("other-ca.pem"), otherName.caPem);
    const std::string url = "hkps://localhost:" + std::to_string(tunnel.port());

    ZAFKeyServerRef ks = open(url, 10000);
    ASSERT_EQ(0, ZAFSetKeyServerCAFile(ks, dir.file("ca.pem").c_str()));
    ZAFError code = 0;
    EXPECT_TRUE(m_keys.exportKeys({m_keys.alice()}) ==
                fetch(ks, ServedKeys::longID(m_keys.alice()), code));
    EXPECT_EQ(0, code) << lastError(ks);

    // The system's authorities do not know the test's; another authority does not either.
    for (const std::string& ca : {std::string(), dir.file("other-ca.pem")}) {
        ZAFKeyServerRef untrusted = open(url, 10000);
        ASSERT_EQ(0, ZAFSetKeyServerCAFile(untrusted, ca.c_str()));
        fetch(untrusted, ServedKeys::longID(m_keys.alice()), code);
        EXPECT_EQ(kZAFError_KeyServerCertificate, code) << ca << ": " << lastError(untrusted);
    }
    // The right authority, but the certificate names another host.
    std::filesystem::create_directory(dir.file("second"));
    orxtest::TlsTunnel wrongName(dir.file("second"), plain.port(), otherName.serverPem);
    ASSERT_TRUE(wrongName.running()) << wrongName.skipReason();
    ZAFKeyServerRef misnamed = open("hkps://localhost:" + std::to_string(wrongName.port()), 10000);
    ASSERT_EQ(0, ZAFSetKeyServerCAFile(misnamed, dir.file("other-ca.pem").c_str()));
    fetch(misnamed, ServedKeys::longID(m_keys.alice()), code);
    EXPECT_EQ(kZAFError_KeyServerCertificate, code) << lastError(misnamed);

    // The authorities' file is read as the caller named it (a link is followed), but what is
    // there must be a regular file within the bound: anything else fails the fetch at once.
    using orxtest::OddFile;
    const std::map<OddFile, std::string> reasons = {
        {OddFile::Fifo, "is a FIFO, not a regular file"},
        {OddFile::Device, "is a character device, not a regular file"},
        {OddFile::Folder, "is a folder, not a regular file"},
        {OddFile::DanglingLink, "does not exist"},
        {OddFile::TooLarge, "is larger than 8388608 bytes"},
    };
    const std::string odd = dir.file("odd-ca.pem");
    for (OddFile kind : orxtest::allOddFiles()) {
        SCOPED_TRACE(orxtest::nameOf(kind));
        ASSERT_TRUE(orxtest::placeOddFile(kind, odd, 8u << 20, dir.file("ca.pem")));
        ZAFKeyServerRef server = open(url, 10000);
        ASSERT_EQ(0, ZAFSetKeyServerCAFile(server, odd.c_str()));
        std::string got;
        EXPECT_TRUE(orxtest::returnsWithin(
            20, [&] { got = fetch(server, ServedKeys::longID(m_keys.alice()), code); },
            orxtest::fifoWriter(odd)));
        if (kind == OddFile::PlantedLink) {
            EXPECT_EQ(0, code) << lastError(server);
            continue;
        }
        EXPECT_EQ(kZAFError_KeyServerCertificate, code);
        EXPECT_NE(std::string::npos, lastError(server).find(odd + ": the file " + reasons.at(kind)))
            << lastError(server);
    }
    // A bundle without any authority in it (a server's own certificate) trusts nothing.
    kstest::writeAll(odd, good.serverPem);
    ZAFKeyServerRef noAuthority = open(url, 10000);
    ASSERT_EQ(0, ZAFSetKeyServerCAFile(noAuthority, odd.c_str()));
    fetch(noAuthority, ServedKeys::longID(m_keys.alice()), code);
    EXPECT_EQ(kZAFError_KeyServerCertificate, code) << lastError(noAuthority);
}

} // namespace
