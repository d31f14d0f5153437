// Everything a session does to a user's files runs as that user: the server facade's start and
// end, every request, with the user's supplementary groups, one session at a time.
// ctest-labels: threaded
#include "listener_harness.h"
#include "test_account.h"

#include <atomic>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using namespace orxtest;
using vornadmin::CAdminConnection;
using vornadmin::SReply;
using vornadmin::SXmlElement;

namespace {

class ListenerIdentity : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxid");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
        SListenerOptions options;
        options.secure = false;
        m_daemon = std::make_unique<CListenerProcess>(options);
        ASSERT_TRUE(m_daemon->start());
    }
    void TearDown() override {
        if (m_daemon && m_daemon->running()) {
            EXPECT_EQ(0, m_daemon->stop());
        }
    }

    void writeAsUser(const TestAccount& user, const std::string& relative,
                     const std::string& content) {
        ScopedIdentity as(user);
        std::filesystem::create_directories(
            std::filesystem::path(user.file(relative)).parent_path());
        std::ofstream out(user.file(relative), std::ios::binary | std::ios::trunc);
        out << content;
    }

    // Logs in, runs `work`, closes and waits until the daemon finished the session.
    int session(const TestAccount& user,
                const std::function<void(CAdminConnection&)>& work = nullptr) {
        const size_t ended =
            countOccurrences(m_daemon->log(), "(Normal Stop) Thread completed with return code");
        int rc = -1;
        {
            auto connection = m_daemon->connect();
            rc = connection->login(user.name(), user.password()).rc;
            if (rc == 0 && work)
                work(*connection);
        }
        EXPECT_TRUE(
            m_daemon->waitForLog("(Normal Stop) Thread completed with return code", ended + 1));
        return rc;
    }

    static uid_t ownerOf(const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
    }

    std::unique_ptr<TestAccount> m_user;
    std::unique_ptr<CListenerProcess> m_daemon;
};

// A folder only root can write to, removed at scope end.
struct ForeignDir {
    ForeignDir() { ::chmod(dir.path().c_str(), 0755); }
    std::string file(const std::string& name) const { return dir.file(name); }
    ZafTempDir dir;
};

} // namespace

TEST_F(ListenerIdentity, TheRandomSeedWrittenWhenASessionEndsBelongsToTheUser) {
    const std::string seed = m_user->file(".zaf/randseed.bin");
    writeAsUser(*m_user, ".zaf/zaf.cfg", "Randseed=" + seed + "\n");
    ASSERT_EQ(0, session(*m_user));
    ASSERT_TRUE(std::filesystem::exists(seed));
    EXPECT_EQ(m_user->uid(), ownerOf(seed));
    // A seed the user could not read would lock them out of their next session.
    EXPECT_EQ(0, session(*m_user));
    EXPECT_EQ(m_user->uid(), ownerOf(seed));
}

TEST_F(ListenerIdentity, AGroupsFileLinkedToAForeignFileIsNeverWritten) {
    ForeignDir foreign;
    const std::string target = foreign.file("groups");
    {
        std::ofstream out(target);
        out << "untouched\n";
    }
    ::chmod(target.c_str(), 0644);
    ASSERT_EQ(0, session(*m_user)); // creates the personal folder
    const std::string groups = m_user->file(".zaf/ZAFgroup.zgr");
    {
        ScopedIdentity as(*m_user);
        std::filesystem::remove(groups);
        std::filesystem::create_symlink(target, groups);
    }
    // A groups file is never a link: the server is not opened, the link and its target stay.
    EXPECT_EQ(5, session(*m_user));
    EXPECT_EQ("untouched\n", readFile(target));
    EXPECT_EQ(0u, ownerOf(target));
    EXPECT_TRUE(std::filesystem::is_symlink(groups));

    // A link to a file that does not exist yet, in a folder the user cannot write: the server is
    // not opened, and nothing appears there.
    const std::string missing = foreign.file("planted");
    {
        ScopedIdentity as(*m_user);
        std::filesystem::remove(groups);
        std::filesystem::create_symlink(missing, groups);
    }
    EXPECT_EQ(5, session(*m_user));
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(ListenerIdentity, SupplementaryGroupsAreTheUsersWhileImpersonating) {
    // Read through an Include line when the server opens: a file of the root group is not the
    // user's to read, a file of a group the user belongs to is.
    ForeignDir foreign;
    const std::string rootOnly = foreign.file("root-group.cfg");
    {
        std::ofstream out(rootOnly);
        out << "Comment=\"root group only\"\n";
    }
    ASSERT_EQ(0, ::chown(rootOnly.c_str(), 0, 0));
    ASSERT_EQ(0, ::chmod(rootOnly.c_str(), 0640));
    writeAsUser(*m_user, ".zaf/zaf.cfg", "Include " + rootOnly + "\n");
    EXPECT_EQ(5, session(*m_user));
    EXPECT_NE(std::string::npos, m_daemon->log().find("Could not read user's configuration file"));

    const std::string group = "orxg" + std::to_string(::getpid());
    ASSERT_EQ(0, TestAccount::run({"/usr/sbin/groupadd", group}));
    struct GroupRemoval {
        std::string name;
        ~GroupRemoval() { TestAccount::run({"/usr/sbin/groupdel", name}); }
    } removal{group};
    ASSERT_EQ(0, TestAccount::run({"/usr/sbin/usermod", "-a", "-G", group, m_user->name()}));
    const std::string shared = foreign.file("shared.cfg");
    {
        std::ofstream out(shared);
        out << "Comment=\"shared with the group\"\n";
    }
    ASSERT_EQ(0, TestAccount::run({"/usr/bin/chgrp", group, shared}));
    ASSERT_EQ(0, ::chmod(shared.c_str(), 0640));
    writeAsUser(*m_user, ".zaf/zaf.cfg", "Include " + shared + "\n");
    EXPECT_EQ(0, session(*m_user));
}

TEST_F(ListenerIdentity, RequestsOfTwoUsersNeverRunUnderTheOtherOnesIdentity) {
    std::unique_ptr<TestAccount> other = TestAccount::create("orxid");
    ASSERT_TRUE(other);
    const TestAccount* users[2] = {m_user.get(), other.get()};
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (const TestAccount* user : users) {
        workers.emplace_back([&, user] {
            auto connection = m_daemon->connect();
            if (connection->login(user->name(), user->password()).rc != 0) {
                ++failures;
                return;
            }
            for (int i = 0; i < 40; ++i) {
                SXmlElement configuration("configuration");
                configuration.add(SXmlElement("aliases"));
                SXmlElement& values = configuration.add(SXmlElement("values"));
                SXmlElement comment("Comment");
                comment.text = user->name() + " " + std::to_string(i);
                values.add(comment);
                const SReply set = request(*connection, vornadmin::gConfSetRequest(configuration));
                const SReply get = request(*connection, vornadmin::gConfGetRequest());
                const SXmlElement* body = get.body();
                const SXmlElement* value = body != nullptr && body->child("values") != nullptr
                                               ? body->child("values")->child("Comment")
                                               : nullptr;
                if (set.rc != 0 || get.rc != 0 || value == nullptr || value->text != comment.text) {
                    ADD_FAILURE() << set.xml << "\n" << get.xml;
                    ++failures;
                    return;
                }
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(m_user->uid(), ownerOf(m_user->file(".zaf/zaf.cfg")));
    EXPECT_EQ(other->uid(), ownerOf(other->file(".zaf/zaf.cfg")));
}

TEST_F(ListenerIdentity, LoginsSucceedWhileAnotherSessionRunsRequestsAsItsUser) {
    // The shadow file can only be read, and the daemon's own ids only learnt, while no session
    // runs a request under its user's identity.
    std::unique_ptr<TestAccount> other = TestAccount::create("orxid");
    ASSERT_TRUE(other);
    std::atomic<bool> done{false};
    std::atomic<int> busyFailures{0};
    std::thread busy([&] {
        auto connection = m_daemon->connect();
        if (connection->login(m_user->name(), m_user->password()).rc != 0) {
            ++busyFailures;
            return;
        }
        while (!done.load())
            if (request(*connection, vornadmin::gConfGetRequest()).rc != 0)
                ++busyFailures;
    });
    int refused = 0;
    for (int i = 0; i < 20; ++i) {
        auto connection = m_daemon->connect();
        const SReply reply = connection->login(other->name(), other->password());
        if (reply.rc != 0) {
            ++refused;
            ADD_FAILURE() << reply.xml;
        } else {
            EXPECT_EQ(0, request(*connection, vornadmin::gConfGetRequest()).rc);
        }
    }
    done = true;
    busy.join();
    EXPECT_EQ(0, refused);
    EXPECT_EQ(0, busyFailures.load());
    EXPECT_EQ(std::string::npos, m_daemon->log().find("Unimpersonation error")) << m_daemon->log();
}
