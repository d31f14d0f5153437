// The listener daemon as a whole: exit statuses, start-up failures, the toolkit fall-back,
// shutdown by signal with clients connected, the maintenance thread and the login time limit.
// ctest-labels: threaded
#include "listener_harness.h"
#include "test_account.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace orxtest;

namespace {

// Positions of the lines in the log, each looked for after the one before it (a line such as
// a maintenance wake-up may also appear earlier); -1 for a missing one.
std::vector<long> positions(const std::string& log, const std::vector<std::string>& lines) {
    std::vector<long> out;
    size_t from = 0;
    for (const std::string& line : lines) {
        const size_t at = log.find(line, from);
        out.push_back(at == std::string::npos ? -1 : static_cast<long>(at));
        if (at != std::string::npos)
            from = at + line.size();
    }
    return out;
}

void expectInOrder(const std::string& log, const std::vector<std::string>& lines) {
    const std::vector<long> at = positions(log, lines);
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_GE(at[i], 0) << "missing: " << lines[i] << "\n" << log;
        if (i > 0 && at[i] >= 0 && at[i - 1] >= 0) {
            EXPECT_LT(at[i - 1], at[i]) << lines[i - 1] << " should come before " << lines[i];
        }
    }
}

const std::vector<std::string> kReleaseOrder = {
    "Closing server's socket...",
    "Server's socket closed",
    "Cleaning up networking library...",
    "Networking library cleaned-up",
    "Terminating connection to the SDK service...",
    "Disconnected from SDK service",
    "Terminating XML service...",
    "XML service terminated",
};

// A raw TCP connection to the daemon; returns the descriptor after reading the first byte.
int rawConnect(uint16_t port, unsigned char& first) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        return -1;
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, 30000) != 1 || ::recv(fd, &first, 1, 0) != 1) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True when the peer closes `fd` within the bound (no further byte arrives).
bool closedByPeer(int fd, unsigned int milliseconds = 30000) {
    pollfd entry{fd, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(milliseconds)) != 1)
        return false;
    char byte = 0;
    return ::recv(fd, &byte, 1, 0) <= 0;
}

} // namespace

TEST(ListenerExit, CommandLineErrorsEndWithStatus2AndNeverStart) {
    CListenerProcess daemon;
    EXPECT_EQ(2, daemon.runToEnd({"--port", "1023"}));
    std::string err = daemon.stderrText();
    EXPECT_EQ(0u, err.find("Brevan Vorn Server v8.5.0\nGUI Client Listener\n\n")) << err;
    EXPECT_NE(std::string::npos, err.find("'1023'")) << err;
    EXPECT_NE(std::string::npos, err.find("--help                Display this help screen\n"));
    EXPECT_EQ(std::string::npos, err.find("Initializing")) << err;

    EXPECT_EQ(2, daemon.runToEnd({"start", "--port", "2000"}));
    EXPECT_NE(std::string::npos, daemon.stderrText().find("Invalid syntax"));
    EXPECT_EQ(2, daemon.runToEnd({"--version", "now"}));
    EXPECT_EQ(2, daemon.runToEnd({"--port", "2000", "--port", "2001"}));
}

TEST(ListenerExit, HelpAndVersionEndWithStatus0AndHelpWins) {
    CListenerProcess daemon;
    EXPECT_EQ(0, daemon.runToEnd({"--version"}));
    const std::string version = daemon.stderrText();
    EXPECT_NE(std::string::npos,
              version.find("Product Name: Brevan Vorn Server\nVersion     : 8.5.0\n"
                           "Build Stage : Release\nBuild Number: 117\n"
                           "Debug Info  : Not Present\n"))
        << version;

    EXPECT_EQ(0, daemon.runToEnd({"--help", "--version"}));
    const std::string help = daemon.stderrText();
    EXPECT_NE(std::string::npos, help.find("--version             Display version information\n"));
    EXPECT_EQ(std::string::npos, help.find("Product Name")) << help;
}

TEST(ListenerExit, APortInUseEndsWithStatus1AfterReleasingEverythingInReverseOrder) {
    const int blocker = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(blocker, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t length = sizeof address;
    ASSERT_EQ(0, ::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address));
    ASSERT_EQ(0, ::listen(blocker, 1));
    ASSERT_EQ(0, ::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length));
    const uint16_t port = ntohs(address.sin_port);
    if (port < 1024) {
        ::close(blocker);
        GTEST_SKIP() << "the system handed out a port below 1024";
    }

    CListenerProcess daemon;
    daemon.launchWith({"--port", std::to_string(port)});
    EXPECT_EQ(1, daemon.waitExit());
    ::close(blocker);
    const std::string log = daemon.log();
    expectInOrder(log, {"Trying to bind to local port " + std::to_string(port) + "...",
                        "Initialization failed.", "Shutting down..."});
    expectInOrder(log, kReleaseOrder);
    EXPECT_EQ(std::string::npos, log.find("Initialization completed successfully.")) << log;
}

TEST(ListenerStart, WithoutTheToolkitServiceItFallsBackToLocalMode) {
    ZafTempDir dir;
    SListenerOptions options;
    options.local = false;
    options.environment["ORXSDKD_SOCKET"] = dir.file("no-service.sock");
    CListenerProcess daemon(options);
    ASSERT_TRUE(daemon.start());
    const std::string log = daemon.log();
    expectInOrder(log,
                  {"Initializing the SDK (flags = 00000000)...",
                   "WARNING: Could not initialize connection to the SDK service (err = "
                   "-11977), will attempt running in local mode",
                   "Initializing the SDK (flags = 00000002)...", "SDK initialized in local mode."});
    EXPECT_EQ(0, daemon.stop());

    CListenerProcess local;
    ASSERT_TRUE(local.start());
    const std::string localLog = local.log();
    expectInOrder(localLog,
                  {"Initializing the SDK (flags = 00000002)...", "SDK initialized successfully."});
    EXPECT_EQ(std::string::npos, localLog.find("Could not initialize connection")) << localLog;
    EXPECT_EQ(0, local.stop());
}

class ListenerLifecycle : public ::testing::TestWithParam<bool> {
protected:
    SListenerOptions options() const {
        SListenerOptions o;
        o.secure = GetParam();
        return o;
    }
};

TEST_P(ListenerLifecycle, SigtermStopsEveryClientReleasesInReverseOrderAndExits0) {
    std::unique_ptr<TestAccount> user = TestAccount::create("orxlc");
    CListenerProcess daemon(options());
    ASSERT_TRUE(daemon.start());
    // Two connections that never log in, and one logged-in session when an account is at hand.
    auto first = daemon.connect();
    auto second = daemon.connect();
    std::unique_ptr<vornadmin::CAdminConnection> session;
    size_t clients = 2;
    if (user) {
        session = daemon.connect();
        loginOK(*session, user->name(), user->password());
        ++clients;
    }
    ASSERT_TRUE(daemon.waitForLog("Created new thread", 2 + clients));

    EXPECT_EQ(0, daemon.stop(SIGTERM));
    const std::string log = daemon.log();
    expectInOrder(log, {"Signal handler received signal number 15", "Starting shutdown sequence",
                        "Aborting current connections...", "Connections have been aborted.",
                        "Shutting down...", "Terminating clients set maintenance thread...",
                        "Clients set maintenance thread successfully terminated"});
    expectInOrder(log, kReleaseOrder);
    expectInOrder(log, {"Connections have been aborted.", "Exiting"});
    EXPECT_EQ(clients, countOccurrences(log, " successfully destructed")) << log;
    EXPECT_EQ(clients, countOccurrences(log, "(Normal Stop) Thread completed")) << log;
}

TEST_P(ListenerLifecycle, SigintAndSighupAlsoShutDownCleanly) {
    for (int sig : {SIGINT, SIGHUP, SIGQUIT}) {
        CListenerProcess daemon(options());
        ASSERT_TRUE(daemon.start());
        auto connection = daemon.connect();
        EXPECT_EQ(0, daemon.stop(sig)) << "signal " << sig;
        EXPECT_NE(std::string::npos, daemon.log().find("Signal handler received signal number " +
                                                       std::to_string(sig)));
        EXPECT_EQ(1u, countOccurrences(daemon.log(), " successfully destructed"));
    }
}

TEST_P(ListenerLifecycle, AConnectionClosedAtOnceEndsWithCode2AndIsReaped) {
    SListenerOptions o = options();
    o.clientsThreadInterval = "100";
    CListenerProcess daemon(o);
    ASSERT_TRUE(daemon.start());
    {
        unsigned char first = 0xFF;
        const int fd = rawConnect(daemon.port(), first);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(GetParam() ? 1 : 0, first);
        ::close(fd);
    }
    ASSERT_TRUE(daemon.waitForLog("(Normal Stop) Thread completed with return code 2"))
        << daemon.log();
    ASSERT_TRUE(daemon.waitForLog(" was deleted")) << daemon.log();
    const std::string log = daemon.log();
    expectInOrder(log, {"(Normal Stop) Thread completed with return code 2",
                        "Clients set maintenance thread woke up", "Found 1 inactive clients",
                        " has stopped", " was removed from clients set", " was deleted"});
    EXPECT_EQ(std::string::npos, log.find("Thread completed with return code 1")) << log;
    // The daemon goes on serving.
    auto next = daemon.connect();
    EXPECT_EQ(0, daemon.stop());
}

TEST_P(ListenerLifecycle, ASilentConnectionIsClosedAtTheLoginTimeLimit) {
    SListenerOptions o = options();
    o.loginTimeout = "300";
    CListenerProcess daemon(o);
    ASSERT_TRUE(daemon.start());
    // Stays silent after the first byte: no handshake, no login request.
    unsigned char first = 0;
    const int fd = rawConnect(daemon.port(), first);
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(closedByPeer(fd));
    ::close(fd);
    ASSERT_TRUE(daemon.waitForLog("(Normal Stop) Thread completed with return code 2"));
    // A connection that did its handshake but sends no login request is closed the same way.
    auto quiet = daemon.connect();
    std::string frame;
    EXPECT_FALSE(quiet->readFrame(frame));
    ASSERT_TRUE(daemon.waitForLog("(Normal Stop) Thread completed with return code 2", 2));
    EXPECT_NE(std::string::npos, daemon.log().find("No login request within 300 ms"));
    // Others are served meanwhile: a login reply still comes.
    auto other = daemon.connect();
    EXPECT_EQ(3, other->login("no-such-user-orx", "x").rc);
    EXPECT_EQ(0, daemon.stop());
}

TEST_P(ListenerLifecycle, AnOversizedLoginRequestClosesTheConnectionWithoutAReply) {
    CListenerProcess daemon(options());
    ASSERT_TRUE(daemon.start());
    auto connection = daemon.connect();
    connection->writeRaw(vornadmin::CAdminConnection::encodeLength(64 * 1024 + 1).data(), 4);
    std::string frame;
    EXPECT_FALSE(connection->readFrame(frame));
    ASSERT_TRUE(daemon.waitForLog("(Normal Stop) Thread completed with return code 2"));
    EXPECT_NE(std::string::npos,
              daemon.log().find("Frame length 65537 exceeds the limit of 65536 bytes"));

    // Exactly the limit is still read (and then refused as XML).
    auto big = daemon.connect();
    std::string payload(64 * 1024, ' ');
    payload.replace(0, 9, "<command>");
    big->sendFrame(payload);
    ASSERT_TRUE(big->readFrame(frame));
    EXPECT_EQ(1, vornadmin::gParseReply(frame).rc);
    EXPECT_EQ(0, daemon.stop());
}

TEST_P(ListenerLifecycle, ABurstOfConnectionsIsServedWhole) {
    CListenerProcess daemon(options());
    ASSERT_TRUE(daemon.start());
    // Connect all at once before the daemon takes any of them.
    std::vector<int> sockets;
    for (int i = 0; i < 60; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        ASSERT_GE(fd, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(daemon.port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        sockets.push_back(fd);
    }
    // Wait for every first byte under one bound: a lost connection never gets one.
    std::vector<bool> got(sockets.size(), false);
    size_t served = 0;
    waitUntil(
        [&] {
            for (size_t i = 0; i < sockets.size(); ++i) {
                unsigned char first = 0xFF;
                if (!got[i] && ::recv(sockets[i], &first, 1, 0) == 1) {
                    got[i] = true;
                    ++served;
                }
            }
            return served == sockets.size();
        },
        30000);
    for (int fd : sockets)
        ::close(fd);
    EXPECT_EQ(sockets.size(), served);
    EXPECT_EQ(0, daemon.stop());
}

TEST_P(ListenerLifecycle, AFaultSignalKeepsItsCrashInsteadOfAShutdown) {
    CListenerProcess daemon(options());
    ASSERT_TRUE(daemon.start());
    // Killed by the signal (a sanitizer's own fault handler exits with its code instead).
    EXPECT_NE(0, daemon.stop(SIGSEGV));
    EXPECT_EQ(std::string::npos, daemon.log().find("Starting shutdown sequence"));
    EXPECT_EQ(std::string::npos, daemon.log().find("Exiting"));
}

TEST_P(ListenerLifecycle, AConsoleThatGoesAwayMidReplyCostsOnlyItsSession) {
    std::unique_ptr<TestAccount> user = TestAccount::create("orxlc");
    if (!user)
        GTEST_SKIP() << TestAccount::skipReason();
    const std::string bench = std::string(ORX_SHARED_DIR) + "/bench/pubring-1k.pkr";
    if (!std::filesystem::exists(bench))
        GTEST_SKIP() << "the bench corpus is not there";
    // A big ring makes a reply of more than a megabyte, far more than the socket buffers hold.
    const std::string dir = user->file(".zaf");
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(bench, dir + "/pubring.pkr");
    std::ofstream(dir + "/secring.skr").flush();
    for (const char* name : {"", "/pubring.pkr", "/secring.skr"})
        ASSERT_EQ(0, ::chown((dir + name).c_str(), user->uid(), user->gid()));

    CListenerProcess daemon(options());
    ASSERT_TRUE(daemon.start());
    for (int i = 0; i < 3; ++i) {
        auto connection = daemon.connect();
        loginOK(*connection, user->name(), user->password());
        connection->sendFrame(vornadmin::gWriteXml(vornadmin::gKeysSummaryRequest()));
        // Once the reply has begun to arrive, reset the connection: the daemon is still
        // writing the rest of it.
        pollfd entry{connection->socket().getDescriptor(), POLLIN, 0};
        ASSERT_EQ(1, ::poll(&entry, 1, 30000));
        linger abort{1, 0};
        ::setsockopt(connection->socket().getDescriptor(), SOL_SOCKET, SO_LINGER, &abort,
                     sizeof abort);
        connection.reset();
    }
    ASSERT_TRUE(daemon.waitForLog("(Normal Stop) Thread completed with return code 0", 3));
    // Plain, the session writes to the console itself and sees it go. Over the secure channel
    // the login process relays: the reply may all be in the relay's hands when the console goes.
    if (!GetParam()) {
        EXPECT_EQ(3u,
                  countOccurrences(daemon.log(), "A communication error occured with 127.0.0.1"))
            << daemon.log();
    }
    EXPECT_TRUE(daemon.running());
    auto next = daemon.connect();
    loginOK(*next, user->name(), user->password());
    EXPECT_EQ(0, request(*next, vornadmin::gCmdlineOptionsRequest()).rc);
    next.reset();
    EXPECT_EQ(0, daemon.stop());
}

INSTANTIATE_TEST_SUITE_P(Channels, ListenerLifecycle, ::testing::Values(true, false), channelName);
