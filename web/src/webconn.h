// webconn: orxweb's reception. One thread accepts the connections, runs their TLS handshakes and
// reads each request's head, and a small body, without blocking and within a whole-request time
// limit; only a request that has fully arrived goes to a request thread, which runs it through the
// HTTP library's parser and handlers and writes the answer, and then hands the connection back to
// wait for the next request. A connection that sends slowly, sends an endless head or just stays
// open therefore never holds a request thread, and no head is kept beyond its byte limit.
//
// Two groups of request threads: a few "fast" ones for what never waits on the listener (the
// page's files, the session state), so that the page loads while every other thread waits for
// the listener, and the others for everything else.
#ifndef VORNWEB_WEBCONN_H
#define VORNWEB_WEBCONN_H

#include "webhead.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace httplib {
class Stream;
}

namespace vornweb {

struct SReceptionLimits {
    // From the accepted connection (TLS handshake included) or from the end of the previous
    // answer to the end of the request's head; not restarted by each read.
    std::chrono::milliseconds headTime{10000};
    // A connection that starts no request for this long after an answer is closed quietly.
    std::chrono::milliseconds keepAliveIdle{5000};
    // Bytes of a head (request line and header fields); more is answered 431.
    size_t maxHead = 64 * 1024;
    // A body up to this size is read by the reception, within `bodyTime` after its head.
    size_t maxSmallBody = 256 * 1024;
    std::chrono::milliseconds bodyTime{10000};
    // A larger body is read by the request thread, and only when `mayStream` allows it; above
    // `maxBody` it is refused (413) before it is read.
    size_t maxBody = 8u * 1024 * 1024;
    std::chrono::milliseconds largeBodyTime{120000};
    // Each wait of a request thread for the client, and all of one answer.
    std::chrono::milliseconds readTimeout{5000};
    std::chrono::milliseconds writeTimeout{10000};
    std::chrono::milliseconds answerTime{300000};
    // Connections at once, and from one address. Beyond the first, the connection that has
    // waited longest for its request is closed to make room; beyond the second the new one is.
    size_t maxConnections = 512;
    size_t maxPerAddress = 32;
    size_t keepAliveMax = 100;
    unsigned int threads = 8;
    unsigned int fastThreads = 2;
};

struct SReceptionHooks {
    // Runs one request through the HTTP library (true: the connection may take another).
    std::function<bool(httplib::Stream& stream, bool closeConnection, bool& connectionClosed,
                       SSL* ssl)>
        serve;
    // True for a request that a fast thread answers.
    std::function<bool(const SRequestHead& head)> isFast;
    // True when a body above maxSmallBody may be read for this request.
    std::function<bool(const SRequestHead& head)> mayStream;
};

class CReception {
public:
    // `context` stays owned by the caller and must outlive the reception.
    CReception(SSL_CTX* context, SReceptionLimits limits, SReceptionHooks hooks);
    ~CReception();
    CReception(const CReception&) = delete;
    CReception& operator=(const CReception&) = delete;

    // Binds and listens (port 0: any free port). Throws std::runtime_error.
    void bind(const std::string& address, uint16_t port);
    uint16_t port() const { return m_port; }
    // Starts the reception thread and the request threads.
    void start();
    // Stops accepting, closes waiting connections, lets running requests finish, joins.
    void stop();

    // Open connections (for tests and the log).
    size_t connections() const { return m_open.load(); }

    struct CConnection;

private:
    void receive();
    void work(bool fast);
    void accept();
    void advance(CConnection& connection);
    void dispatch(std::unique_ptr<CConnection> connection);
    void serveOne(std::unique_ptr<CConnection> connection);
    void handBack(std::unique_ptr<CConnection> connection);
    void close(std::unique_ptr<CConnection> connection);
    void refuse(CConnection& connection, int status);
    void wake();
    bool admit(const std::string& address);

    SSL_CTX* m_context;
    const SReceptionLimits m_limits;
    const SReceptionHooks m_hooks;
    int m_listen = -1;
    int m_wake = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<size_t> m_open{0};

    // Owned by the reception thread.
    std::vector<std::unique_ptr<CConnection>> m_waiting;

    // Connections per address, all states.
    std::mutex m_countMutex;
    std::map<std::string, size_t> m_perAddress;

    // Handed back by request threads.
    std::mutex m_backMutex;
    std::vector<std::unique_ptr<CConnection>> m_back;

    struct SQueue {
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<std::unique_ptr<CConnection>> items;
    };
    SQueue m_fast;
    SQueue m_slow;

    std::thread m_receiver;
    std::vector<std::thread> m_workers;
};

} // namespace vornweb

#endif
