// orxsdkd as a real process: check results served to a new client's first trust calculation, a
// rewritten ring seen as a new version, a lost service, the bounds, refused descriptors, and
// two real accounts (what keeps users apart: service_isolation_test.cpp).
// ctest-labels: service
#include "keystore/keystore_internal.h"
#include "service/service_protocol.h"
#include "service_core.h"
#include "service_harness.h"
#include "service_raw_client.h"
#include "test_account.h"

#include <zaf/zafcontext.h>
#include <zaf/zafkeys.h>

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

using namespace orxtest;

namespace {

const std::string kData = std::string(ORX_TEST_DATA_DIR) + "/service/";

// True when the service closed the connection (end of stream) within the bound.
bool closedByPeer(int socket, int seconds) {
    return pollFor(
        [&] {
            char c;
            return recv(socket, &c, 1, MSG_DONTWAIT) == 0;
        },
        seconds);
}

class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orxsdkd-rings-XXXXXX").string();
        ASSERT_NE(nullptr, mkdtemp(pattern.data()));
        m_dir = pattern;
        chmod(m_dir.c_str(), 0755);
        std::filesystem::copy_file(kData + "pubring-small.pkr", pub());
        std::filesystem::copy_file(kData + "secring-small.skr", sec());
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }
    std::string pub() const { return m_dir + "/pubring.pkr"; }
    std::string sec() const { return m_dir + "/secring.skr"; }

    static ZAFKeyDBRef open(ZAFContextRef ctx, const std::string& p, const std::string& s,
                            uint32_t options = 0) {
        ZAFFileSpecRef ps = nullptr, ss = nullptr;
        ZAFNewFileSpecFromFullPath(ctx, p.c_str(), &ps);
        if (!s.empty())
            ZAFNewFileSpecFromFullPath(ctx, s.c_str(), &ss);
        ZAFKeyDBRef db = nullptr;
        if (ZAFOpenKeyDBFile(ctx, options, ps, ss, &db) != kZAFError_NoErr)
            db = nullptr;
        ZAFFreeFileSpec(ps);
        if (ss != nullptr)
            ZAFFreeFileSpec(ss);
        return db;
    }

    std::string m_dir;
};

TEST_F(ServiceTest, FirstTrustCalculationReusesTheServicesResultsAndARenamedRingIsANewVersion) {
    ServiceProcess service;
    ASSERT_TRUE(service.ready());
    setenv("ORXSDKD_SOCKET", service.socket().c_str(), 1);
    ASSERT_EQ(kZAFError_NoErr, ZAFsdkInit(0));
    uint32_t flags = 99;
    ASSERT_EQ(kZAFError_NoErr, ZAFsdkGetInitFlags(&flags));
    EXPECT_EQ(0u, flags);
    ZAFContextRef ctx = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFNewContext(&ctx));

    // A new process: nothing verified yet. The service verifies the rings once; the open and
    // the first trust calculation then find every result in the seeded cache.
    zaf::clearCachedChecks();
    ZAFKeyDBRef db = open(ctx, pub(), sec(), kZAFOpenKeyDBFileOptions_Mutable);
    ASSERT_NE(nullptr, db);
    const size_t seeded = zaf::cachedCheckCount();
    EXPECT_GT(seeded, 24u);
    ASSERT_EQ(kZAFError_NoErr, ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db));
    EXPECT_EQ(seeded, zaf::cachedCheckCount()) << "the trust calculation verified something";
    EXPECT_TRUE(service.waitForLog("verified", 1));

    // The same version again (a new process): served from the cache, nothing verified here.
    zaf::clearCachedChecks();
    ZAFKeyDBRef again = open(ctx, pub(), sec());
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(seeded, zaf::cachedCheckCount());
    EXPECT_TRUE(service.waitForLog("served from the cache", 1));
    ZAFFreeKeyDB(again);

    // A flush renames new rings into place: a new version, verified anew, not served stale.
    ASSERT_EQ(kZAFError_NoErr, ZAFSetKeyOwnerTrust(&db->keys[1]->objs[0], 6));
    ASSERT_EQ(kZAFError_NoErr, ZAFFlushKeyDB(db));
    ZAFFreeKeyDB(db);
    zaf::clearCachedChecks();
    db = open(ctx, pub(), sec());
    ASSERT_NE(nullptr, db);
    EXPECT_TRUE(service.waitForLog("verified", 2));
    EXPECT_EQ(1u, countOf(service.logText(), "served from the cache"));
    ZAFFreeKeyDB(db);

    // SO_PEERCRED: the log names this process.
    EXPECT_NE(std::string::npos,
              service.logText().find("connection from pid " + std::to_string(getpid()) + " uid 0"));

    // The service goes away: the next open carries on in local mode.
    EXPECT_EQ(0, service.stop());
    EXPECT_FALSE(std::filesystem::exists(service.socket()));
    db = open(ctx, pub(), sec());
    ASSERT_NE(nullptr, db);
    ASSERT_EQ(kZAFError_NoErr, ZAFsdkGetInitFlags(&flags));
    EXPECT_EQ(uint32_t(kZAFFlags_LocalMode), flags);
    ZAFFreeKeyDB(db);
    ZAFFreeContext(ctx);
    ZAFsdkCleanup();
    unsetenv("ORXSDKD_SOCKET");
}

TEST_F(ServiceTest, RefusesDescriptorsThatProveNoReadAccessAndMalformedRequests) {
    ServiceProcess service;
    ASSERT_TRUE(service.ready());
    int s = connectTo(service.socket());
    ASSERT_GE(s, 0);
    // O_PATH needs no read permission on the file; write-only proves no reading either; a
    // folder is no ring.
    for (int fd : {::open(pub().c_str(), O_PATH | O_CLOEXEC), ::open(pub().c_str(), O_WRONLY),
                   ::open(m_dir.c_str(), O_RDONLY | O_DIRECTORY)}) {
        ASSERT_GE(fd, 0);
        EXPECT_EQ(std::make_pair(int(zaf::svc::kStatusBadRequest), size_t(0)), rawOpen(s, {fd}));
        close(fd);
    }
    // A ring that is no ring.
    std::ofstream(m_dir + "/junk") << "this is not a key ring";
    int junk = ::open((m_dir + "/junk").c_str(), O_RDONLY);
    EXPECT_EQ(std::make_pair(int(zaf::svc::kStatusUnreadable), size_t(0)), rawOpen(s, {junk}));
    close(junk);
    // The count of descriptors must match the body.
    int fd = ::open(pub().c_str(), O_RDONLY);
    std::string body{char(1), char(2)};
    ASSERT_TRUE(zaf::svc::sendMessage(s, zaf::svc::kOpen, body, &fd, 1));
    EXPECT_TRUE(closedByPeer(s, 30));
    close(s);
    // A body above the request bound closes the connection before it is read.
    s = connectTo(service.socket());
    std::string header = zaf::svc::encodeHeader(zaf::svc::kOpen, 1u << 30);
    ASSERT_EQ(ssize_t(header.size()), send(s, header.data(), header.size(), MSG_NOSIGNAL));
    EXPECT_TRUE(closedByPeer(s, 30));
    close(s);
    close(fd);
    EXPECT_NE(std::string::npos, service.logText().find("malformed request"));
}

TEST_F(ServiceTest, ConnectionLimitAndIdleClients) {
    ServiceProcess service({"--max-connections", "1", "--idle-timeout", "1"});
    ASSERT_TRUE(service.ready());
    int first = connectTo(service.socket());
    ASSERT_GE(first, 0);
    ASSERT_TRUE(service.waitForLog("connection from", 1));
    int second = connectTo(service.socket()); // the backlog accepts; the service closes it
    EXPECT_TRUE(closedByPeer(second, 30));
    EXPECT_NE(std::string::npos, service.logText().find("refused connection"));
    close(second);
    // Idle: closed after the idle limit, and so is a client that holds a pinned version (its
    // pins go with it).
    EXPECT_TRUE(closedByPeer(first, 30));
    close(first);
    int holder = connectTo(service.socket());
    int ring = ::open(pub().c_str(), O_RDONLY);
    EXPECT_EQ(int(zaf::svc::kStatusOk), rawOpen(holder, {ring}).first);
    close(ring);
    EXPECT_TRUE(closedByPeer(holder, 30));
    EXPECT_NE(std::string::npos, service.logText().find("(1 pinned versions)"));
    close(holder);
}

TEST(ServiceCacheTest, LeastRecentlyUsedVersionsGoFirstPinnedOnesStay) {
    auto results = [](size_t n) {
        auto r = std::make_shared<zaf::svc::CheckResults>(n);
        return std::shared_ptr<const zaf::svc::CheckResults>(r);
    };
    // Room for about three entries of 100 results.
    orxsdkd::VersionCache cache(3 * (100 * 17 + 300));
    uint64_t a = cache.insert("a", results(100), true);
    uint64_t b = cache.insert("b", results(100), false);
    uint64_t c = cache.insert("c", results(100), false);
    ASSERT_NE(0u, a * b * c);
    EXPECT_NE(0u, cache.find("b", false).id); // b is now more recent than c
    EXPECT_NE(0u, cache.insert("d", results(100), false));
    EXPECT_EQ(0u, cache.find("c", false).id); // c went, not the pinned a
    EXPECT_NE(0u, cache.find("a", false).id);
    EXPECT_NE(0u, cache.find("b", false).id);
    // Bigger than the budget beside the pinned entry: not kept.
    EXPECT_EQ(0u, cache.insert("e", results(400), false));
    cache.unpin(a);
    EXPECT_NE(0u, cache.insert("f", results(100), false));
    EXPECT_NE(0u, cache.insert("g", results(100), false));
    EXPECT_EQ(0u, cache.find("a", false).id); // unpinned, least recently used: gone
    EXPECT_LE(cache.bytes(), size_t(3 * (100 * 17 + 300)));
}

// Two real accounts: one user's ring of mode 0600 never reaches the other, whatever descriptor
// the other passes; a ring of mode 0644 is served to both.
TEST_F(ServiceTest, OneUsersCachedDataNeverReachesAnotherUser) {
    auto alice = TestAccount::create("orxsa");
    auto bob = TestAccount::create("orxsb");
    if (!alice || !bob)
        GTEST_SKIP() << TestAccount::skipReason();
    ServiceProcess service;
    ASSERT_TRUE(service.ready());
    const std::string privateRing = m_dir + "/alice.pkr", sharedRing = m_dir + "/bob.pkr";
    std::filesystem::copy_file(pub(), privateRing);
    std::filesystem::copy_file(pub(), sharedRing);
    ASSERT_EQ(0, chown(privateRing.c_str(), alice->uid(), alice->gid()));
    ASSERT_EQ(0, chmod(privateRing.c_str(), 0600));
    ASSERT_EQ(0, chown(sharedRing.c_str(), bob->uid(), bob->gid()));
    ASSERT_EQ(0, chmod(sharedRing.c_str(), 0644));

    // Alice first, so her ring's results are cached when Bob comes.
    auto asUser = [&](const TestAccount& account, const std::function<int()>& body) {
        pid_t pid = fork();
        if (pid == 0) {
            if (setgroups(0, nullptr) != 0 || setgid(account.gid()) != 0 ||
                setuid(account.uid()) != 0)
                _exit(100);
            _exit(body());
        }
        return waitExit(pid, 120);
    };
    EXPECT_EQ(0, asUser(*alice, [&] {
                  int s = connectTo(service.socket());
                  int own = ::open(privateRing.c_str(), O_RDONLY);
                  int other = ::open(sharedRing.c_str(), O_RDONLY);
                  if (s < 0 || own < 0 || other < 0)
                      return 1;
                  auto first = rawOpen(s, {own});
                  if (first.first != zaf::svc::kStatusOk || first.second == 0)
                      return 2;
                  return rawOpen(s, {other}).second > 0 ? 0 : 3;
              }));
    EXPECT_EQ(0, asUser(*bob, [&] {
                  if (::open(privateRing.c_str(), O_RDONLY) >= 0)
                      return 1; // the test's premise
                  // O_PATH opens without read permission: the service must refuse it.
                  int s = connectTo(service.socket());
                  int handle = ::open(privateRing.c_str(), O_PATH);
                  if (s < 0 || handle < 0)
                      return 2;
                  if (rawOpen(s, {handle}) !=
                      std::make_pair(int(zaf::svc::kStatusBadRequest), size_t(0)))
                      return 3;
                  // Through the toolkit: the open fails as in local mode, nothing is seeded.
                  setenv("ORXSDKD_SOCKET", service.socket().c_str(), 1);
                  if (ZAFsdkInit(0) != kZAFError_NoErr)
                      return 4;
                  ZAFContextRef ctx = nullptr;
                  ZAFNewContext(&ctx);
                  zaf::clearCachedChecks();
                  if (open(ctx, privateRing, "") != nullptr || zaf::cachedCheckCount() != 0)
                      return 5;
                  ZAFKeyDBRef own = open(ctx, sharedRing, "");
                  if (own == nullptr || zaf::cachedCheckCount() == 0)
                      return 6;
                  return 0;
              }));
    const std::string log = service.logText();
    EXPECT_NE(std::string::npos, log.find("uid " + std::to_string(alice->uid())));
    EXPECT_NE(std::string::npos, log.find("uid " + std::to_string(bob->uid())));
}

} // namespace
