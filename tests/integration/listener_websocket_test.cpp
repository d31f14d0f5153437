// The web console's socket of a real orxgui: only the configured account may use it, its logins
// name the browser's address, and that address (not the web console's) is what the throttle
// counts and the log shows; on TCP a named address is ignored.
// ctest-labels: threaded
#include "listener_harness.h"
#include "test_account.h"

#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>

using namespace orxtest;

namespace {

// A connection to the web socket, spoken with raw frames (as orxweb speaks it).
class CWebConnection {
public:
    // Connects as whoever the process is at the moment; false (errno set) when refused.
    bool open(const std::string& path) {
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return false;
        timeval limit{60, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        return true;
    }
    ~CWebConnection() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    // The first byte, or -1 when the daemon closed the connection instead.
    int firstByte() {
        unsigned char byte = 0;
        return ::recv(m_fd, &byte, 1, MSG_WAITALL) == 1 ? byte : -1;
    }
    vornadmin::SReply login(const std::string& user, const std::string& password,
                            const std::string& address) {
        std::string request = "<command type=\"auth\"><data username=\"" + user + "\" password=\"" +
                              password + "\" domain=\"\"";
        if (!address.empty())
            request += " client-address=\"" + address + "\"";
        request += "/></command>";
        return exchange(request);
    }
    vornadmin::SReply exchange(const std::string& request) {
        const std::string frame =
            vornadmin::CAdminConnection::encodeLength(static_cast<uint32_t>(request.size())) +
            request;
        if (::send(m_fd, frame.data(), frame.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(frame.size()))
            return vornadmin::SReply();
        std::string header(4, '\0');
        if (::recv(m_fd, &header[0], 4, MSG_WAITALL) != 4)
            return vornadmin::SReply();
        const uint32_t length = (static_cast<unsigned char>(header[0]) << 24) |
                                (static_cast<unsigned char>(header[1]) << 16) |
                                (static_cast<unsigned char>(header[2]) << 8) |
                                static_cast<unsigned char>(header[3]);
        std::string body(length, '\0');
        if (length > 65536 ||
            ::recv(m_fd, &body[0], length, MSG_WAITALL) != static_cast<ssize_t>(length))
            return vornadmin::SReply();
        return vornadmin::gParseReply(body);
    }

private:
    int m_fd = -1;
};

class ListenerWebSocket : public ::testing::Test {
protected:
    void SetUp() override {
        m_web = TestAccount::create("orxww");
        m_user = TestAccount::create("orxwu");
        if (!m_web || !m_user)
            GTEST_SKIP() << TestAccount::skipReason();
        ::chmod(m_dir.path().c_str(), 0755);
        m_socket = m_dir.file("run/web.sock");
        SListenerOptions options;
        // Two failures of an address (or a name) make its next attempts wait a minute.
        options.siteSettings = "WebAccount=" + m_web->name() + "\nWebSocket=" + m_socket +
                               "\nThrottleFailures=2\nThrottleDelay=60000\n";
        m_daemon = std::make_unique<CListenerProcess>(options);
        ASSERT_TRUE(m_daemon->start());
    }

    // A web login of `user` from the browser `address`, connected as the web account.
    vornadmin::SReply webLogin(const std::string& user, const std::string& password,
                               const std::string& address) {
        CWebConnection connection;
        {
            ScopedIdentity as(*m_web);
            if (!connection.open(m_socket)) {
                ADD_FAILURE() << "cannot connect: " << std::strerror(errno);
                return vornadmin::SReply();
            }
        }
        EXPECT_EQ(0, connection.firstByte());
        return connection.login(user, password, address);
    }

    ZafTempDir m_dir;
    std::string m_socket;
    std::unique_ptr<TestAccount> m_web;
    std::unique_ptr<TestAccount> m_user;
    std::unique_ptr<CListenerProcess> m_daemon;
};

} // namespace

TEST_F(ListenerWebSocket, OnlyTheWebConsolesAccountMayUseTheSocket) {
    struct stat info {};
    ASSERT_EQ(0, ::lstat(m_socket.c_str(), &info));
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(m_web->uid(), info.st_uid);
    EXPECT_EQ(0600u, info.st_mode & 0777);
    // Root may open the file, but the daemon asks the kernel who connected.
    {
        CWebConnection root;
        ASSERT_TRUE(root.open(m_socket));
        EXPECT_EQ(-1, root.firstByte());
    }
    EXPECT_TRUE(m_daemon->waitForLog("A connection to the web socket by uid 0"));
    {
        CWebConnection other;
        ScopedIdentity as(*m_user);
        EXPECT_FALSE(other.open(m_socket));
    }
    EXPECT_EQ(0, webLogin(m_user->name(), m_user->password(), "203.0.113.7").rc);
    EXPECT_TRUE(m_daemon->waitForLog("logged in from 203.0.113.7 (web)")) << m_daemon->log();
    // The browser's address is the client's in the user's transaction log too.
    {
        ScopedIdentity as(*m_user);
        std::filesystem::create_directories(m_user->file(".zaf"));
        std::ofstream(m_user->file(".zaf/zaf.cfg")) << "Log-File=transactions.log\n";
    }
    CWebConnection web;
    {
        ScopedIdentity as(*m_web);
        ASSERT_TRUE(web.open(m_socket));
    }
    ASSERT_EQ(0, web.firstByte());
    ASSERT_EQ(0, web.login(m_user->name(), m_user->password(), "2001:DB8::7").rc);
    EXPECT_EQ(8, web.exchange("<command type=\"key-remove\"><data><key id=\"0x0A0B0C0D\" "
                              "pin=\"\"/></data></command>")
                     .rc);
    EXPECT_NE(std::string::npos, readFile(m_user->file(".zaf/transactions.log"))
                                     .find("\torxgui from 2001:db8::7 (web): key-remove "));
    // The socket goes with the daemon.
    EXPECT_EQ(0, m_daemon->stop());
    EXPECT_NE(0, ::lstat(m_socket.c_str(), &info));
}

TEST_F(ListenerWebSocket, OneGuessingBrowserSlowsDownOnlyItself) {
    // Guesses under many names from one browser: that browser is throttled...
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(3, webLogin("orx-guess-" + std::to_string(i), "wrong", "203.0.113.7").rc);
    ASSERT_TRUE(m_daemon->waitForLog("from 203.0.113.7 (web)", 2));
    // ...while another browser, and a console at the web console's own address, are not.
    EXPECT_EQ(0, webLogin(m_user->name(), m_user->password(), "198.51.100.9").rc);
    auto console = m_daemon->connect();
    loginOK(*console, m_user->name(), m_user->password());
    EXPECT_EQ(0u, countOccurrences(m_daemon->log(), " waits ")) << m_daemon->log();
    EXPECT_EQ(0u, countOccurrences(m_daemon->log(), "Too many failed logins")) << m_daemon->log();

    // The next attempt of the guessing browser waits; the daemon says so once.
    CWebConnection third;
    {
        ScopedIdentity as(*m_web);
        ASSERT_TRUE(third.open(m_socket));
    }
    ASSERT_EQ(0, third.firstByte());
    std::thread waiting([&] { third.login("orx-guess-2", "wrong", "203.0.113.7"); });
    EXPECT_TRUE(m_daemon->waitForLog("Too many failed logins from 203.0.113.7 (web)"));
    EXPECT_TRUE(m_daemon->waitForLog("Login attempt from 203.0.113.7 (web) waits"));
    EXPECT_EQ(0, m_daemon->stop());
    waiting.join();
}

TEST_F(ListenerWebSocket, AWebLoginMustNameAnAddressAndTcpCannotNameOne) {
    const vornadmin::SReply none = webLogin(m_user->name(), m_user->password(), "");
    EXPECT_EQ(1, none.rc);
    EXPECT_NE(std::string::npos, none.error.find("Missing attribute: 'client-address'"));
    const vornadmin::SReply name = webLogin(m_user->name(), m_user->password(), "example.org");
    EXPECT_EQ(1, name.rc);
    EXPECT_NE(std::string::npos, name.error.find("is not an IP address")) << name.error;

    // On TCP the attribute is ignored: the failures count against the peer's address.
    for (int i = 0; i < 2; ++i) {
        auto console = m_daemon->connect();
        console->sendFrame(
            "<command type=\"auth\"><data username=\"orx-tcp-" + std::to_string(i) +
            "\" password=\"x\" domain=\"\" client-address=\"192.0.2.1\"/></command>");
        std::string frame;
        ASSERT_TRUE(console->readFrame(frame));
        EXPECT_EQ(3, vornadmin::gParseReply(frame).rc);
    }
    const std::string log = m_daemon->log();
    EXPECT_EQ(std::string::npos, log.find("192.0.2.1")) << log;
    EXPECT_EQ(2u, countOccurrences(log, "' (from 127.0.0.1).")) << log;
}
