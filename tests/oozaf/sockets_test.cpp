// Tests of the TCP socket wrappers on loopback.
#include "expect_throw.h"

#include <oozaf/logger.h>
#include <oozaf/sockets.h>
#include <oozaf/throwable.h>

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <sys/socket.h>

using namespace oozaf;

namespace {

struct SConnectedPair {
    std::unique_ptr<CZAFServerSocket> server;
    std::unique_ptr<CZAFSocket> client;
    std::unique_ptr<CZAFSocket> accepted;
};

SConnectedPair connectPair() {
    SConnectedPair pair;
    pair.server.reset(new CZAFServerSocket());
    pair.server->bind(0);
    pair.server->listen();
    pair.client.reset(CZAFSocket::connectTo("127.0.0.1", pair.server->getLocalPort()));
    pair.accepted.reset(pair.server->accept());
    return pair;
}

} // namespace

TEST(Sockets, BytesFlowBothWaysAndCloseReadsAsZero) {
    SConnectedPair pair = connectPair();
    const char hello[] = "hello";
    pair.client->writeAll(hello, 5);
    char buffer[16] = {0};
    ASSERT_TRUE(pair.accepted->readAll(buffer, 5));
    EXPECT_STREQ("hello", buffer);

    pair.accepted->writeAll("xy", 2);
    EXPECT_EQ(2, pair.client->read(buffer, sizeof(buffer)));

    pair.client->close();
    EXPECT_TRUE(pair.client->isClosed());
    EXPECT_EQ(-1, pair.client->getDescriptor());
    pair.client->close(); // closing twice is harmless
    EXPECT_EQ(0, pair.accepted->read(buffer, sizeof(buffer)));
    EXPECT_FALSE(pair.accepted->readAll(buffer, 4));
}

TEST(Sockets, PeerClosingMidMessageIsAnIOError) {
    SConnectedPair pair = connectPair();
    pair.client->writeAll("ab", 2);
    pair.client->close();
    char buffer[4];
    auto e = expectThrow<CZAFSocketIOException>([&] { pair.accepted->readAll(buffer, 4); });
    EXPECT_TRUE(e);
}

TEST(Sockets, WritingToAClosedPeerFailsWithoutKillingTheProcess) {
    SConnectedPair pair = connectPair();
    pair.accepted->setDontLinger();
    pair.accepted.reset();
    std::string block(64 * 1024, 'x');
    // The first writes may be buffered; after the reset, send fails with EPIPE/ECONNRESET
    // instead of raising SIGPIPE.
    std::unique_ptr<CZAFSocketIOException> failure;
    for (int i = 0; i < 100 && !failure; ++i) {
        try {
            pair.client->write(block.data(), static_cast<unsigned int>(block.size()));
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard guard(e);
            ASSERT_NE(nullptr, dynamic_cast<CZAFSocketIOException*>(e));
            failure.reset(static_cast<CZAFSocketIOException*>(guard.release()));
        }
    }
    ASSERT_TRUE(failure);
    EXPECT_EQ(0u, failure->getDetailedMessage().find("An I/O error occured on socket\n"));
}

TEST(Sockets, BindToAPortInUseGivesReason1706) {
    CZAFServerSocket first;
    first.bind(0);
    first.listen();
    CZAFServerSocket second;
    auto e = expectThrow<CZAFSocketControlException>([&] { second.bind(first.getLocalPort()); });
    ASSERT_TRUE(e);
    EXPECT_EQ(eReasonSocketBind, e->getReason());
    EXPECT_NE(std::string::npos, e->getDetailedMessage().find(std::strerror(EADDRINUSE)));
}

TEST(Sockets, ZeroLengthOrNullBuffersAreAssertions) {
    SConnectedPair pair = connectPair();
    char buffer[4];
    auto zero = expectThrow<CZAFInternalError>([&] { pair.client->read(buffer, 0); });
    ASSERT_TRUE(zero);
    EXPECT_EQ("sockets", zero->getFile());
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] { pair.client->write(nullptr, 3); }));
}

TEST(Sockets, GracefulCloseWarnsWhenShutdownFailsButStillCloses) {
    std::ostringstream log;
    CZAFLogger logger;
    logger.setLog(log);
    logger.setLogLevel(CZAFLogger::eLogWarning);
    gSetOOZAFLogger(&logger);
    // A socket that never connected: both shutdowns fail with ENOTCONN.
    CZAFSocket unconnected(::socket(AF_INET, SOCK_STREAM, 0));
    unconnected.close();
    gSetOOZAFLogger(nullptr);
    EXPECT_TRUE(unconnected.isClosed());
    EXPECT_NE(std::string::npos, log.str().find("WARNING: Unable to gracefully close socket:\n"));
}
