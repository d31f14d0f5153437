// Isolation of users against a real orxgui: each connection has processes of its own, a
// session's process holds its user's ids for good and its bounds, and what one user's session
// does (hang on a ring that is a FIFO, be killed) takes nobody else with it.
// ctest-labels: threaded
#include "listener_harness.h"
#include "test_account.h"

#include <atomic>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>

using namespace orxtest;
using vornadmin::CAdminConnection;
using vornadmin::SReply;

namespace {

// The bound within which another user must be served while one user's session hangs; builds
// with a sanitizer run several times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr unsigned int kServedWithinMs = 20000;
#else
constexpr unsigned int kServedWithinMs = 2000;
#endif

// One line of /proc/<pid>/status ("Uid:" ...), without its name.
std::string statusField(pid_t pid, const std::string& name) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, name.size() + 1, name + ":") == 0) {
            std::string value = line.substr(name.size() + 1);
            const size_t first = value.find_first_not_of(" \t");
            const size_t last = value.find_last_not_of(" \t");
            return first == std::string::npos ? std::string()
                                              : value.substr(first, last - first + 1);
        }
    return std::string();
}

// The processes whose parent is `parent` and whose real user id is `uid`.
std::vector<pid_t> childrenOf(pid_t parent, uid_t uid) {
    std::vector<pid_t> found;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return found;
    while (dirent* entry = ::readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0 || statusField(pid, "PPid") != std::to_string(parent))
            continue;
        std::istringstream ids(statusField(pid, "Uid"));
        uid_t real = 0;
        if (ids >> real && real == uid)
            found.push_back(pid);
    }
    ::closedir(proc);
    return found;
}

// The one session process of `user` under the daemon, waited for with a bound; -1 if none.
pid_t sessionProcessOf(CListenerProcess& daemon, const TestAccount& user) {
    pid_t pid = -1;
    waitUntil([&] {
        const std::vector<pid_t> found = childrenOf(daemon.pid(), user.uid());
        pid = found.size() == 1 ? found[0] : -1;
        return pid > 0;
    });
    return pid;
}

// The account login processes run as.
uid_t loginUser() {
    struct passwd* entry = ::getpwnam("nobody");
    return entry != nullptr ? entry->pw_uid : 65534;
}

// A limit of /proc/<pid>/limits ("Max open files" ...): its soft value.
std::string softLimit(pid_t pid, const std::string& name) {
    std::istringstream limits(readFile("/proc/" + std::to_string(pid) + "/limits"));
    std::string line;
    while (std::getline(limits, line))
        if (line.compare(0, name.size(), name) == 0) {
            std::istringstream values(line.substr(name.size()));
            std::string soft;
            values >> soft;
            return soft;
        }
    return std::string();
}

class ListenerIsolation : public ::testing::Test {
protected:
    void SetUp() override {
        m_alice = TestAccount::create("orxia");
        m_bob = TestAccount::create("orxib");
        if (!m_alice || !m_bob)
            GTEST_SKIP() << TestAccount::skipReason();
        m_daemon = std::make_unique<CListenerProcess>(SListenerOptions());
        ASSERT_TRUE(m_daemon->start());
    }

    // Bob connects, logs in and lists his keys, each step bounded by the console's time limit.
    void bobIsServed() {
        SCOPED_TRACE("another user's login and listing");
        try {
            auto connection = m_daemon->connect(kServedWithinMs);
            connection->setTimeout(kServedWithinMs);
            loginOK(*connection, m_bob->name(), m_bob->password());
            EXPECT_EQ(0, request(*connection, vornadmin::gKeysSummaryRequest()).rc);
        } catch (oozaf::CZAFThrowable* e) {
            ADD_FAILURE() << e->getDetailedMessage();
            delete e;
        }
    }

    std::unique_ptr<TestAccount> m_alice;
    std::unique_ptr<TestAccount> m_bob;
    std::unique_ptr<CListenerProcess> m_daemon;
};

} // namespace

TEST_F(ListenerIsolation, AUsersRingThatIsAFifoStallsOnlyThatUsersSession) {
    const std::string fifo = m_alice->file(".zaf/pubring.pkr");
    {
        ScopedIdentity as(*m_alice);
        std::filesystem::create_directories(m_alice->file(".zaf"));
        ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    }
    // Alice's login opens her rings and hangs there (nobody writes to the FIFO).
    std::unique_ptr<CAdminConnection> alice = m_daemon->connect();
    std::atomic<bool> answered{false};
    std::thread stuck([&] {
        try {
            alice->login(m_alice->name(), m_alice->password());
        } catch (oozaf::CZAFThrowable* e) {
            delete e;
        }
        answered = true;
    });
    ASSERT_TRUE(m_daemon->waitForLog("User '" + m_alice->name() + "'"));
    ASSERT_GT(sessionProcessOf(*m_daemon, *m_alice), 0);
    for (int i = 0; i < 3; ++i)
        bobIsServed();
    // Opening the FIFO for writing lets Alice's session go on (it finds no ring there), and her
    // login is answered.
    int writer = -1;
    // (A session that refuses to open a FIFO has answered already.)
    waitUntil([&] {
        writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        return writer >= 0 || answered.load();
    });
    if (writer >= 0)
        ::close(writer);
    stuck.join();
    alice.reset();
    EXPECT_EQ(0, m_daemon->stop());
}

TEST_F(ListenerIsolation, ASessionKilledWithSigkillLeavesTheDaemonServingOthers) {
    auto alice = m_daemon->connect();
    loginOK(*alice, m_alice->name(), m_alice->password());
    const pid_t session = sessionProcessOf(*m_daemon, *m_alice);
    ASSERT_GT(session, 0);
    ASSERT_EQ(0, ::kill(session, SIGKILL));
    ASSERT_TRUE(m_daemon->waitForLog("ended by signal 9")) << m_daemon->log();
    EXPECT_NE(std::string::npos,
              m_daemon->log().find("The session process of the connection from 127.0.0.1 (user '" +
                                   m_alice->name() + "') ended by signal 9"))
        << m_daemon->log();
    // Alice's console learns at once that its session is gone.
    std::string frame;
    bool gone = false;
    try {
        alice->sendFrame(vornadmin::gWriteXml(vornadmin::gKeysSummaryRequest()));
        gone = !alice->readFrame(frame);
    } catch (oozaf::CZAFThrowable* e) {
        delete e;
        gone = true;
    }
    EXPECT_TRUE(gone) << frame;
    bobIsServed();
    auto again = m_daemon->connect();
    loginOK(*again, m_alice->name(), m_alice->password());
    EXPECT_EQ(0, request(*again, vornadmin::gKeysSummaryRequest()).rc);
    EXPECT_EQ(0, m_daemon->stop());
}

// From inside the kernel's view of the processes: the session holds only its user's ids, no
// capability, cannot gain rights, and has its bounds; the login process is no root either.
TEST_F(ListenerIsolation, ASessionProcessHoldsItsUsersIdsForGoodAndItsBounds) {
    auto alice = m_daemon->connect();
    loginOK(*alice, m_alice->name(), m_alice->password());
    const pid_t session = sessionProcessOf(*m_daemon, *m_alice);
    ASSERT_GT(session, 0);
    const std::string uid = std::to_string(m_alice->uid());
    const std::string gid = std::to_string(m_alice->gid());
    EXPECT_EQ(uid + "\t" + uid + "\t" + uid + "\t" + uid, statusField(session, "Uid"));
    EXPECT_EQ(gid + "\t" + gid + "\t" + gid + "\t" + gid, statusField(session, "Gid"));
    EXPECT_EQ(gid, statusField(session, "Groups"));
    EXPECT_EQ("0000000000000000", statusField(session, "CapPrm"));
    EXPECT_EQ("0000000000000000", statusField(session, "CapEff"));
    EXPECT_EQ("1", statusField(session, "NoNewPrivs"));
    EXPECT_EQ("0", softLimit(session, "Max core file size"));
    EXPECT_EQ("256", softLimit(session, "Max open files"));
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_NE("unlimited", softLimit(session, "Max address space"));
#endif

    // A connection that has not logged in has a login process of an account without rights, as
    // has the secure session's relay.
    auto waiting = m_daemon->connect();
    std::vector<pid_t> logins;
    ASSERT_TRUE(waitUntil([&] {
        logins = childrenOf(m_daemon->pid(), loginUser());
        return logins.size() >= 2;
    })) << logins.size();
    for (pid_t pid : logins) {
        EXPECT_EQ("0000000000000000", statusField(pid, "CapEff")) << pid;
        EXPECT_EQ("1", statusField(pid, "NoNewPrivs")) << pid;
    }
    EXPECT_EQ(0, m_daemon->stop());
}
