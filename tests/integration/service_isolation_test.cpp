// orxsdkd shared by users who must not reach or hold up one another, against the real service
// on a socket in a temporary folder and real accounts: a stand-in service of another account is
// refused before it receives anything; the secret ring is never passed; one user's connections
// and costly rings leave another user served; work of a client that left is dropped; accounts
// take turns; sparse rings far above the memory budget are never read; connections that pinned
// versions idle out and their clients connect anew; the log and pid file refuse links.
// ctest-labels: service
#include "costly_ring.h"
#include "keystore/keystore_internal.h"
#include "service/service_protocol.h"
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

// How ring versions appear in the service's log: ":<inode in hex>:".
std::string inodeMark(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    char text[32];
    std::snprintf(text, sizeof text, ":%llx:", static_cast<unsigned long long>(st.st_ino));
    return text;
}

// The pid of the verifying process the log names for a ring (0 when none is named yet).
pid_t verifyingProcess(const std::string& log, const std::string& ring) {
    const std::string mark = inodeMark(ring);
    for (size_t at = log.find("verifying ring "); at != std::string::npos;
         at = log.find("verifying ring ", at + 1)) {
        const size_t end = log.find('\n', at);
        const std::string line = log.substr(at, end - at);
        const size_t in = line.find(" in process ");
        if (line.find(mark) != std::string::npos && in != std::string::npos)
            return pid_t(std::atoi(line.c_str() + in + 12));
    }
    return 0;
}

// True when a line of `log` holds both texts.
bool hasLine(const std::string& log, const std::string& a, const std::string& b) {
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos)
            end = log.size();
        const std::string line = log.substr(start, end - start);
        if (line.find(a) != std::string::npos && line.find(b) != std::string::npos)
            return true;
        start = end + 1;
    }
    return false;
}

// A sparse file of `size` bytes: no disk, all zeros.
void sparse(const std::string& path, off_t size) {
    std::ofstream(path).close();
    ASSERT_EQ(0, truncate(path.c_str(), size)) << path;
}

bool processGone(pid_t pid) {
    return !std::filesystem::exists("/proc/" + std::to_string(pid) + "/status") ||
           readText("/proc/" + std::to_string(pid) + "/status").find("State:\tZ") !=
               std::string::npos;
}

// Peak resident memory of a process in KiB.
long peakKiB(pid_t pid) {
    const std::string status = readText("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// Runs `body` in a child process that has taken `account`'s identity; its exit code.
int asAccount(const TestAccount& account, const std::function<int()>& body, int seconds = 120) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(account.gid()) != 0 || setuid(account.uid()) != 0)
            _exit(100);
        _exit(body());
    }
    return waitExit(pid, seconds);
}

// Opens `ring` through the toolkit with the service at `socket`: 0 when the service verified
// or served it (results seeded, still in service mode), another code otherwise.
int openThroughService(const std::string& socket, const std::string& ring) {
    setenv("ORXSDKD_SOCKET", socket.c_str(), 1);
    if (ZAFsdkInit(0) != kZAFError_NoErr)
        return 10;
    ZAFContextRef ctx = nullptr;
    ZAFNewContext(&ctx);
    ZAFFileSpecRef spec = nullptr;
    ZAFNewFileSpecFromFullPath(ctx, ring.c_str(), &spec);
    zaf::clearCachedChecks();
    ZAFKeyDBRef db = nullptr;
    if (ZAFOpenKeyDBFile(ctx, 0, spec, nullptr, &db) != kZAFError_NoErr)
        return 11;
    uint32_t flags = 0;
    ZAFsdkGetInitFlags(&flags);
    const int code = flags != 0 ? 12 : zaf::cachedCheckCount() == 0 ? 13 : 0;
    ZAFFreeKeyDB(db);
    ZAFFreeFileSpec(spec);
    ZAFFreeContext(ctx);
    ZAFsdkCleanup();
    return code;
}

class ServiceIsolation : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "orxsdkd-iso-XXXXXX").string();
        ASSERT_NE(nullptr, mkdtemp(pattern.data()));
        m_dir = pattern;
        chmod(m_dir.c_str(), 0755);
        std::filesystem::copy_file(kData + "pubring-small.pkr", file("pub.pkr"));
        std::filesystem::copy_file(kData + "secring-small.skr", file("sec.skr"));
    }
    void TearDown() override {
        unsetenv("ORXSDKD_SOCKET");
        std::filesystem::remove_all(m_dir);
    }
    std::string file(const std::string& name) const { return m_dir + "/" + name; }
    // A ring of `account`'s own, readable by it only.
    std::string ringOf(const TestAccount& account, const std::string& name,
                       const std::string& bytes = "") {
        const std::string path = file(name);
        if (bytes.empty())
            std::filesystem::copy_file(kData + "pubring-small.pkr", path);
        else
            std::ofstream(path, std::ios::binary) << bytes;
        EXPECT_EQ(0, chown(path.c_str(), account.uid(), account.gid()));
        EXPECT_EQ(0, chmod(path.c_str(), 0600));
        return path;
    }

    std::string m_dir;
};

// A service run by another account is refused, wherever its socket lies, before it is sent
// anything; one run by the caller's own account is used.
TEST_F(ServiceIsolation, AStandInServiceOfAnotherAccountIsRefusedAndReceivesNothing) {
    auto owner = TestAccount::create("orxso");
    auto client = TestAccount::create("orxsc");
    if (!owner || !client)
        GTEST_SKIP() << TestAccount::skipReason();
    // Below folders only root and the service's account may write to: a place no third
    // account could have put the socket, which is not enough.
    std::string pattern = "/run/orxsdkd-trust-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr)
        GTEST_SKIP() << "no folder of root's own in /run";
    const std::string top = pattern, own = top + "/own";
    chmod(top.c_str(), 0755);
    ASSERT_TRUE(std::filesystem::create_directory(own));
    ASSERT_EQ(0, chown(own.c_str(), owner->uid(), owner->gid()));
    ASSERT_EQ(0, chmod(own.c_str(), 0755));
    const std::string socketPath = own + "/orxsdkd.sock", logPath = own + "/orxsdkd.log";
    pid_t service = fork();
    if (service == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(owner->gid()) != 0 || setuid(owner->uid()) != 0 ||
            std::freopen(logPath.c_str(), "w", stderr) == nullptr)
            _exit(100);
        execl(ORXSDKD_PATH, ORXSDKD_PATH, "--foreground", "--socket", socketPath.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_TRUE(
        pollFor([&] { return readText(logPath).find("listening on") != std::string::npos; }, 30));
    const std::string pub = ringOf(*client, "client.pkr");

    // Root and another account: not connected, and the open works locally.
    auto refused = [&] {
        setenv("ORXSDKD_SOCKET", socketPath.c_str(), 1);
        if (ZAFsdkInit(0) != kZAFError_ServiceNotConnected)
            return 1;
        if (ZAFsdkInit(kZAFFlags_LocalMode) != kZAFError_NoErr)
            return 2;
        ZAFContextRef ctx = nullptr;
        ZAFNewContext(&ctx);
        ZAFFileSpecRef spec = nullptr;
        ZAFNewFileSpecFromFullPath(ctx, pub.c_str(), &spec);
        ZAFKeyDBRef db = nullptr;
        return ZAFOpenKeyDBFile(ctx, 0, spec, nullptr, &db) == kZAFError_NoErr ? 0 : 3;
    };
    pid_t asRoot = fork();
    if (asRoot == 0)
        _exit(refused());
    EXPECT_EQ(0, waitExit(asRoot));
    EXPECT_EQ(0, asAccount(*client, refused));
    // The probes connected (that is how the peer is known) and sent nothing.
    EXPECT_TRUE(pollFor([&] { return countOf(readText(logPath), "connection from") >= 2; }, 30));
    EXPECT_EQ(std::string::npos, readText(logPath).find("ring")) << readText(logPath);
    EXPECT_EQ(std::string::npos, readText(logPath).find("malformed")) << readText(logPath);

    // The service's own account uses it.
    const std::string owners = ringOf(*owner, "owner.pkr");
    EXPECT_EQ(0, asAccount(*owner, [&] { return openThroughService(socketPath, owners); }));
    EXPECT_TRUE(
        pollFor([&] { return readText(logPath).find("verified") != std::string::npos; }, 60));
    kill(service, SIGTERM);
    EXPECT_EQ(0, waitExit(service));
    std::filesystem::remove_all(top);
}

// Opening both rings through the service passes the public ring alone.
TEST_F(ServiceIsolation, TheSecretRingNeverReachesTheService) {
    ServiceProcess service;
    ASSERT_TRUE(service.ready());
    setenv("ORXSDKD_SOCKET", service.socket().c_str(), 1);
    ASSERT_EQ(kZAFError_NoErr, ZAFsdkInit(0));
    ZAFContextRef ctx = nullptr;
    ZAFNewContext(&ctx);
    ZAFFileSpecRef pub = nullptr, sec = nullptr;
    ZAFNewFileSpecFromFullPath(ctx, file("pub.pkr").c_str(), &pub);
    ZAFNewFileSpecFromFullPath(ctx, file("sec.skr").c_str(), &sec);
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFOpenKeyDBFile(ctx, 0, pub, sec, &db));
    ASSERT_TRUE(service.waitForLog("verified"));
    const std::string log = service.logText();
    EXPECT_NE(std::string::npos, log.find(inodeMark(file("pub.pkr")))) << log;
    EXPECT_EQ(std::string::npos, log.find(inodeMark(file("sec.skr")))) << log;
    ZAFFreeKeyDB(db);
    ZAFFreeFileSpec(pub);
    ZAFFreeFileSpec(sec);
    ZAFFreeContext(ctx);
    ZAFsdkCleanup();
}

// One account holding (or trying to hold) every connection leaves another account served.
TEST_F(ServiceIsolation, OneUsersSixtyFourConnectionsDoNotKeepAnotherFromBeingServed) {
    auto hog = TestAccount::create("orxsh");
    auto other = TestAccount::create("orxsv");
    if (!hog || !other)
        GTEST_SKIP() << TestAccount::skipReason();
    ServiceProcess service;
    ASSERT_TRUE(service.ready());
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t holder = fork();
    if (holder == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(hog->gid()) != 0 || setuid(hog->uid()) != 0)
            _exit(100);
        std::vector<int> held;
        for (int i = 0; i < 64; ++i)
            held.push_back(connectTo(service.socket()));
        (void)!write(ready[1], "x", 1);
        pause(); // holds them until killed
        _exit(0);
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(1, read(ready[0], &c, 1));
    close(ready[0]);
    // Its connections beyond its share are closed at once.
    const std::string refusal = "refused connection from pid " + std::to_string(holder) + " uid " +
                                std::to_string(hog->uid());
    EXPECT_TRUE(service.waitForLog(refusal, 56, 60)) << service.logText();
    const std::string ring = ringOf(*other, "other.pkr");
    EXPECT_EQ(0, asAccount(*other, [&] { return openThroughService(service.socket(), ring); }));
    EXPECT_NE(std::string::npos,
              service.logText().find("uid " + std::to_string(other->uid()) + ": ring"));
    kill(holder, SIGKILL);
    waitExit(holder);
}

// One account's costly ring is being verified when another account's ring comes: the second is
// verified beside it, not after it. The first client then leaves, and its work is dropped.
TEST_F(ServiceIsolation, ACostlyRingOfOneUserDoesNotHoldUpAnother) {
    auto slow = TestAccount::create("orxsw");
    auto quick = TestAccount::create("orxsq");
    if (!slow || !quick)
        GTEST_SKIP() << TestAccount::skipReason();
    ServiceProcess service;
    ASSERT_TRUE(service.ready());
    const std::string costly = ringOf(*slow, "costly.pkr", costlyRing(1500));
    const std::string small = ringOf(*quick, "small.pkr");
    int ready[2], leave[2];
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, pipe(leave));
    pid_t waiter = fork();
    if (waiter == 0) { // the slow account's client: asks, then waits until told to leave
        if (setgroups(0, nullptr) != 0 || setgid(slow->gid()) != 0 || setuid(slow->uid()) != 0)
            _exit(100);
        const int s = connectTo(service.socket());
        (void)!write(ready[1], sendOpen(s, costly) ? "y" : "n", 1);
        char c;
        (void)!read(leave[0], &c, 1);
        _exit(0);
    }
    close(ready[1]);
    close(leave[0]);
    char sent = 0;
    ASSERT_EQ(1, read(ready[0], &sent, 1));
    ASSERT_EQ('y', sent);
    ASSERT_TRUE(pollFor([&] { return verifyingProcess(service.logText(), costly) > 0; }, 60));
    const pid_t costlyProcess = verifyingProcess(service.logText(), costly);

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, asAccount(*quick, [&] { return openThroughService(service.socket(), small); }));
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::printf("the quick account's open took %lld ms beside the costly ring\n",
                static_cast<long long>(took.count()));
    // The costly ring is still being verified: the quick one did not wait for it.
    EXPECT_FALSE(processGone(costlyProcess));
    const std::string log = service.logText();
    EXPECT_TRUE(hasLine(log, "uid " + std::to_string(quick->uid()) + ": ring", " verified")) << log;
    EXPECT_FALSE(hasLine(log, inodeMark(costly), " verified")) << log;

    // The slow client leaves: its verification ends and nothing of it is kept.
    (void)!write(leave[1], "x", 1);
    close(leave[1]);
    EXPECT_EQ(0, waitExit(waiter));
    EXPECT_TRUE(service.waitForLog("its work is dropped", 1, 60)) << service.logText();
    EXPECT_TRUE(pollFor([&] { return processGone(costlyProcess); }, 60));
    close(ready[0]);
}

// With one verifying process, accounts take turns: an account that was just served waits behind
// one that was not, whatever came first.
TEST_F(ServiceIsolation, AccountsTakeTurnsAndAQueuedJobOfAClientThatLeftIsDropped) {
    auto first = TestAccount::create("orxsf");
    auto second = TestAccount::create("orxss");
    if (!first || !second)
        GTEST_SKIP() << TestAccount::skipReason();
    ServiceProcess service({"--workers", "1"});
    ASSERT_TRUE(service.ready());
    const std::string costlyA = ringOf(*first, "a1.pkr", costlyRing(1500, 1));
    const std::string costlyA2 = ringOf(*first, "a2.pkr", costlyRing(20, 2));
    const std::string costlyA3 = ringOf(*first, "a3.pkr", costlyRing(20, 3));
    const std::string ringB = ringOf(*second, "b.pkr");
    // Root's clients (as the listener's sessions are) queue for the ring's owner.
    const int a1 = connectTo(service.socket());
    ASSERT_TRUE(sendOpen(a1, costlyA));
    ASSERT_TRUE(pollFor([&] { return verifyingProcess(service.logText(), costlyA) > 0; }, 60));
    const int a2 = connectTo(service.socket());
    ASSERT_TRUE(sendOpen(a2, costlyA2));
    const int a3 = connectTo(service.socket());
    ASSERT_TRUE(sendOpen(a3, costlyA3));
    const int b = connectTo(service.socket());
    ASSERT_TRUE(sendOpen(b, ringB));
    // A queued job whose client leaves is dropped before it starts.
    close(a3);
    EXPECT_TRUE(service.waitForLog("its work is dropped", 1, 60));
    // The running job's client leaves: next is the other account, then the first again.
    close(a1);
    EXPECT_EQ(int(zaf::svc::kStatusOk), openReply(b).first);
    EXPECT_EQ(int(zaf::svc::kStatusOk), openReply(a2).first);
    const std::string log = service.logText();
    EXPECT_LT(log.find(inodeMark(ringB)), log.find(inodeMark(costlyA2))) << log;
    EXPECT_EQ(0, verifyingProcess(log, costlyA3)) << log;
    close(a2);
    close(b);
}

// Rings far above the memory budget are never read, and one within it is read by the verifying
// process: the service itself stays small.
TEST_F(ServiceIsolation, SparseRingsStayWithinTheMemoryBudget) {
    ServiceProcess service({"--memory-budget", "64"});
    ASSERT_TRUE(service.ready());
    for (const char* name : {"huge1.pkr", "huge2.pkr"})
        sparse(file(name), off_t(512) << 20);
    sparse(file("within.pkr"), off_t(48) << 20);
    const long before = peakKiB(service.pid());
    ASSERT_GT(before, 0);
    const int s = connectTo(service.socket());
    for (const char* name : {"huge1.pkr", "huge2.pkr"}) {
        ASSERT_TRUE(sendOpen(s, file(name)));
        EXPECT_EQ(std::make_pair(int(zaf::svc::kStatusBusy), size_t(0)), openReply(s));
    }
    EXPECT_EQ(2u, countOf(service.logText(), "over the memory budget; not read"));
    ASSERT_TRUE(sendOpen(s, file("within.pkr")));
    EXPECT_EQ(std::make_pair(int(zaf::svc::kStatusUnreadable), size_t(0)), openReply(s));
    const long after = peakKiB(service.pid());
    EXPECT_LT(after - before, 16 * 1024)
        << "peak resident memory grew from " << before << " KiB to " << after << " KiB";
    close(s);
}

// A connection that pinned a version is closed once idle as well; its client connects anew
// the next time it needs the service, and stays in service mode.
TEST_F(ServiceIsolation, PinnedConnectionsIdleOutAndTheirClientsConnectAnew) {
    ServiceProcess service({"--idle-timeout", "1"});
    ASSERT_TRUE(service.ready());
    setenv("ORXSDKD_SOCKET", service.socket().c_str(), 1);
    ASSERT_EQ(kZAFError_NoErr, ZAFsdkInit(0));
    ZAFContextRef ctx = nullptr;
    ZAFNewContext(&ctx);
    ZAFFileSpecRef pub = nullptr;
    ZAFNewFileSpecFromFullPath(ctx, file("pub.pkr").c_str(), &pub);
    ZAFKeyDBRef held = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFOpenKeyDBFile(ctx, 0, pub, nullptr, &held));
    EXPECT_TRUE(service.waitForLog("closing idle connection", 1, 60)) << service.logText();
    zaf::clearCachedChecks();
    ZAFKeyDBRef again = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFOpenKeyDBFile(ctx, 0, pub, nullptr, &again));
    EXPECT_GT(zaf::cachedCheckCount(), 0u);
    uint32_t flags = 99;
    ASSERT_EQ(kZAFError_NoErr, ZAFsdkGetInitFlags(&flags));
    EXPECT_EQ(0u, flags);
    const std::string connected = "connection from pid " + std::to_string(getpid()) + " ";
    EXPECT_EQ(2u, countOf(service.logText(), connected)) << service.logText();
    ZAFFreeKeyDB(again);
    ZAFFreeKeyDB(held);
    ZAFFreeFileSpec(pub);
    ZAFFreeContext(ctx);
    ZAFsdkCleanup();
}

// --log and --pid-file name the service's own files: a link planted there (to a file, or to
// nowhere), a FIFO, or a file of another account keeps the service from starting, and the
// file behind the link is left alone.
TEST_F(ServiceIsolation, TheLogAndPidFileRefuseLinksAndOtherAccountsFiles) {
    auto stranger = TestAccount::create("orxst");
    std::ofstream(file("target")) << "keep me\n";
    ASSERT_EQ(0, symlink(file("target").c_str(), file("planted").c_str()));
    ASSERT_EQ(0, symlink(file("nowhere/target").c_str(), file("dangling").c_str()));
    ASSERT_EQ(0, mkfifo(file("fifo").c_str(), 0600));
    std::ofstream(file("foreign")) << "not the service's\n";
    if (stranger) {
        ASSERT_EQ(0, chown(file("foreign").c_str(), stranger->uid(), stranger->gid()));
    }
    struct SCase {
        std::string name;
        std::string said;
    };
    std::vector<SCase> cases = {{"planted", "is a symbolic link"},
                                {"dangling", "is a symbolic link"},
                                {"fifo", "is not a regular file"}};
    if (stranger)
        cases.push_back({"foreign", "is owned by another account"});
    for (const SCase& c : cases) {
        for (const char* option : {"--log", "--pid-file"}) {
            SCOPED_TRACE(std::string(option) + " " + c.name);
            const std::string socketPath = file("s.sock");
            const pid_t pid = spawnProgram(
                {ORXSDKD_PATH, "--foreground", "--socket", socketPath, option, file(c.name)},
                file("err.txt"));
            EXPECT_EQ(1, waitExit(pid, 60));
            EXPECT_NE(std::string::npos, readText(file("err.txt")).find(c.said))
                << readText(file("err.txt"));
            EXPECT_FALSE(std::filesystem::exists(socketPath));
        }
    }
    EXPECT_EQ("keep me\n", readText(file("target")));
    EXPECT_FALSE(std::filesystem::exists(file("nowhere")));
    EXPECT_EQ("not the service's\n", readText(file("foreign")));
    // Its own files in their place: written, and the pid file removed at the stop.
    const pid_t pid = spawnProgram({ORXSDKD_PATH, "--foreground", "--socket", file("s.sock"),
                                    "--pid-file", file("orxsdkd.pid"), "--log", file("own.log")},
                                   file("err.txt"));
    ASSERT_TRUE(pollFor(
        [&] { return readText(file("own.log")).find("listening on") != std::string::npos; }, 30));
    EXPECT_EQ(std::to_string(pid) + "\n", readText(file("orxsdkd.pid")));
    kill(pid, SIGTERM);
    EXPECT_EQ(0, waitExit(pid, 60));
    EXPECT_FALSE(std::filesystem::exists(file("orxsdkd.pid")));
}

} // namespace
