// Logging in to a real orxgui with a real Unix account, over the secure channel and plain.
// ctest-labels: threaded
#include "listener_harness.h"
#include "test_account.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace orxtest;
using vornadmin::SReply;

namespace {

class ListenerLogin : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxli");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
        SListenerOptions options;
        options.secure = GetParam();
        m_daemon = std::make_unique<CListenerProcess>(options);
        ASSERT_TRUE(m_daemon->start());
    }
    void TearDown() override {
        if (m_daemon && m_daemon->running()) {
            EXPECT_EQ(0, m_daemon->stop());
        }
    }

    std::unique_ptr<TestAccount> m_user;
    std::unique_ptr<CListenerProcess> m_daemon;
};

// After a refused login the server closes the connection: no further frame comes.
void expectClosed(vornadmin::CAdminConnection& connection) {
    std::string frame;
    bool more = true;
    try {
        more = connection.readFrame(frame);
    } catch (oozaf::CZAFThrowable* e) {
        delete e;
        more = false;
    }
    EXPECT_FALSE(more) << frame;
}

} // namespace

TEST_P(ListenerLogin, TheRightPasswordOpensASessionAndAnnouncesFeatures) {
    auto connection = m_daemon->connect();
    EXPECT_EQ(GetParam(), connection->isSecure());
    const SReply reply = connection->login(m_user->name(), m_user->password(), "any domain");
    ASSERT_EQ(0, reply.rc) << reply.xml;
    EXPECT_EQ("", reply.error);
    const vornadmin::SXmlElement* info = reply.body();
    ASSERT_NE(nullptr, info);
    EXPECT_EQ("info", info->name);
    ASSERT_EQ(3u, info->attributes.size()) << reply.xml;
    EXPECT_TRUE(info->get("rng") == "yes" || info->get("rng") == "no") << reply.xml;
    EXPECT_EQ("UNIX", info->get("platform"));
    // The template configures no transaction log.
    EXPECT_EQ("no", info->get("log"));

    // The facade was opened as the user: the personal directory belongs to them.
    struct stat st {};
    ASSERT_EQ(0, ::stat(m_user->file(".zaf/zaf.cfg").c_str(), &st));
    EXPECT_EQ(m_user->uid(), st.st_uid);
    ASSERT_EQ(0, ::stat(m_user->file(".zaf/pubring.pkr").c_str(), &st));
    EXPECT_EQ(m_user->uid(), st.st_uid);
    // One line tells who logged in from where.
    EXPECT_NE(std::string::npos,
              m_daemon->log().find("User '" + m_user->name() + "' (uid " +
                                   std::to_string(m_user->uid()) + ", gid " +
                                   std::to_string(m_user->gid()) + ") logged in from 127.0.0.1"))
        << m_daemon->log();
}

TEST_P(ListenerLogin, AWrongPasswordIsRefusedWithRc3AndTheConnectionCloses) {
    auto connection = m_daemon->connect();
    const SReply reply = connection->login(m_user->name(), m_user->password() + "x");
    EXPECT_EQ(3, reply.rc);
    EXPECT_EQ("Incorrect password\n", reply.error);
    EXPECT_EQ(nullptr, reply.body());
    expectClosed(*connection);
    ASSERT_TRUE(m_daemon->waitForLog("(Normal Stop) Thread completed with return code 3"));
    EXPECT_NE(std::string::npos,
              m_daemon->log().find("WARNING: Username '" + m_user->name() +
                                   "' from 127.0.0.1 has supplied an invalid password."));
    // Nothing was opened for the refused user.
    struct stat st {};
    EXPECT_NE(0, ::stat(m_user->file(".zaf").c_str(), &st));
}

TEST_P(ListenerLogin, UnknownUsersAndOverlongPasswordsGetTheSameAnswer) {
    auto unknown = m_daemon->connect();
    const SReply none = unknown->login("orx-no-such-user", "whatever");
    EXPECT_EQ(3, none.rc);
    EXPECT_EQ("Incorrect password\n", none.error);
    expectClosed(*unknown);
    EXPECT_TRUE(m_daemon->waitForLog(
        "WARNING: Neither password file nor shadow file contains details about username "
        "'orx-no-such-user' (from 127.0.0.1)."));

    // The right password with a kilobyte of junk appended is refused before any hashing.
    auto overlong = m_daemon->connect();
    const SReply longReply = overlong->login(m_user->name(), std::string(1025, 'p'));
    EXPECT_EQ(3, longReply.rc);
    EXPECT_EQ("Incorrect password\n", longReply.error);
    EXPECT_TRUE(m_daemon->waitForLog("has supplied a password longer than 1024 bytes"));

    // A login request that is not one is a format error (rc 1).
    auto wrongType = m_daemon->connect();
    wrongType->sendFrame("<command type=\"keys-summary\"><data/></command>");
    std::string frame;
    ASSERT_TRUE(wrongType->readFrame(frame));
    EXPECT_EQ(3, vornadmin::gParseReply(frame).rc);
    auto broken = m_daemon->connect();
    broken->sendFrame("<command type=\"auth\"><data username=\"u\"/></command>");
    ASSERT_TRUE(broken->readFrame(frame));
    const SReply format = vornadmin::gParseReply(frame);
    EXPECT_EQ(1, format.rc);
    EXPECT_EQ("A format error has been detected in the request: Missing attribute: 'password'\n",
              format.error);
}

TEST_P(ListenerLogin, AnAccountWithoutAUsablePasswordIsRefused) {
    // A locked account ("!" in front of the hash) cannot log in, even with its old password.
    ASSERT_EQ(0, TestAccount::run({"/usr/sbin/usermod", "-L", m_user->name()}));
    auto connection = m_daemon->connect();
    EXPECT_EQ(3, connection->login(m_user->name(), m_user->password()).rc);
    ASSERT_EQ(0, TestAccount::run({"/usr/sbin/usermod", "-U", m_user->name()}));
    auto again = m_daemon->connect();
    EXPECT_EQ(0, again->login(m_user->name(), m_user->password()).rc);
}

INSTANTIATE_TEST_SUITE_P(Channels, ListenerLogin, ::testing::Values(true, false), channelName);
