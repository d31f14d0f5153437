// webconn: the reception and the request threads.
#include "webconn.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vornweb {

using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kReadChunk = 16 * 1024;

enum class eState { eHandshake, eHead, eBody, eLinger };

// After a refusal the reception reads and drops what the client still sends, for a while, so
// that closing does not reset the connection before the client has read the answer.
constexpr size_t kLingerBytes = 1024 * 1024;
constexpr std::chrono::milliseconds kLingerTime{2000};

std::string numericHost(const sockaddr_storage& address, socklen_t length, int& port) {
    char host[NI_MAXHOST] = {0};
    char service[NI_MAXSERV] = {0};
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&address), length, host, sizeof host,
                      service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "";
    port = std::atoi(service);
    return host;
}

int remaining(Clock::time_point deadline, std::chrono::milliseconds cap) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, std::min(left, cap).count()));
}

// Waits until `fd` is ready for `events` or `milliseconds` pass; false on time-out or error.
bool waitFor(int fd, short events, int milliseconds) {
    pollfd entry{fd, events, 0};
    for (;;) {
        const int ready = ::poll(&entry, 1, milliseconds);
        if (ready > 0)
            return true;
        if (ready == 0 || errno != EINTR)
            return false;
    }
}

const char* statusText(int status) {
    switch (status) {
    case 400:
        return "Bad Request";
    case 408:
        return "Request Timeout";
    case 411:
        return "Length Required";
    case 413:
        return "Payload Too Large";
    default:
        return "Request Header Fields Too Large";
    }
}

const char* refusalText(int status) {
    switch (status) {
    case 400:
        return "Malformed request";
    case 408:
        return "The request took too long to arrive";
    case 411:
        return "A request body must announce its length";
    case 413:
        return "The request is too large";
    default:
        return "The header fields are too large";
    }
}

} // namespace

struct CReception::CConnection {
    int fd = -1;
    SSL* ssl = nullptr;
    std::string peer;
    int peerPort = -1;
    std::string local;
    int localPort = -1;
    eState state = eState::eHandshake;
    // Bytes received and not yet taken; the current request starts at `pos`.
    std::string in;
    size_t pos = 0;
    SHeadScan scan;
    SRequestHead head;
    // Bytes of the current request (head and body) once its head is known.
    uint64_t requestLength = 0;
    bool streamBody = false;
    bool anyByte = false;
    // Failed or refused: closed by the reception's next sweep.
    bool dead = false;
    Clock::time_point deadline;
    Clock::time_point idleUntil;
    Clock::time_point since;
    size_t lingered = 0;
    short events = POLLIN;
    size_t served = 0;

    std::string_view pending() const { return std::string_view(in).substr(pos); }
    void resetRequest(Clock::time_point now, const SReceptionLimits& limits, bool first) {
        if (pos > 0) {
            in.erase(0, pos);
            pos = 0;
        }
        if (in.empty())
            std::string().swap(in); // no memory kept between requests
        scan = SHeadScan();
        head = SRequestHead();
        requestLength = 0;
        streamBody = false;
        anyByte = !in.empty();
        since = now;
        if (!first) {
            deadline = now + limits.headTime;
            idleUntil = now + limits.keepAliveIdle;
        }
    }
};

namespace {

// The request's bytes for the HTTP library: the ones the reception read, then (for a large body
// only) more from the connection, never beyond the request's end; answers with bounded waits.
class CConnectionStream final : public httplib::Stream {
public:
    CConnectionStream(CReception::CConnection& c, const SReceptionLimits& limits)
        : m_c(c), m_limits(limits), m_start(c.pos),
          m_bodyDeadline(Clock::now() + limits.largeBodyTime),
          m_answerDeadline(Clock::now() + limits.answerTime) {}

    bool failed() const { return m_failed; }
    // Bytes of the request taken so far.
    uint64_t taken() const { return (m_c.pos - m_start) + m_direct; }

    bool is_readable() const override {
        if (m_failed)
            return false;
        if (m_c.pos < m_c.in.size())
            return true;
        return m_c.streamBody && taken() < m_c.requestLength &&
               (SSL_pending(m_c.ssl) > 0 ||
                waitFor(m_c.fd, POLLIN, remaining(m_bodyDeadline, m_limits.readTimeout)));
    }
    bool is_writable() const override {
        return !m_failed &&
               waitFor(m_c.fd, POLLOUT, remaining(m_answerDeadline, m_limits.writeTimeout));
    }

    ssize_t read(char* ptr, size_t size) override {
        if (m_failed)
            return -1;
        const uint64_t left = m_c.requestLength - std::min(m_c.requestLength, taken());
        if (left == 0)
            return -1; // never into the next request
        size = static_cast<size_t>(std::min<uint64_t>(size, left));
        if (m_c.pos < m_c.in.size()) {
            const size_t n = std::min(size, m_c.in.size() - m_c.pos);
            std::memcpy(ptr, m_c.in.data() + m_c.pos, n);
            m_c.pos += n;
            return static_cast<ssize_t>(n);
        }
        if (!m_c.streamBody)
            return -1;
        for (;;) {
            ERR_clear_error();
            const int n = SSL_read(m_c.ssl, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
            if (n > 0) {
                m_direct += static_cast<uint64_t>(n);
                return n;
            }
            const int error = SSL_get_error(m_c.ssl, n);
            const int wait = remaining(m_bodyDeadline, m_limits.readTimeout);
            if ((error == SSL_ERROR_WANT_READ && waitFor(m_c.fd, POLLIN, wait)) ||
                (error == SSL_ERROR_WANT_WRITE && waitFor(m_c.fd, POLLOUT, wait)))
                continue;
            m_failed = true;
            return -1;
        }
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (m_failed)
            return -1;
        for (;;) {
            ERR_clear_error();
            const int n =
                SSL_write(m_c.ssl, ptr, static_cast<int>(std::min<size_t>(size, INT_MAX)));
            if (n > 0)
                return n;
            const int error = SSL_get_error(m_c.ssl, n);
            const int wait = remaining(m_answerDeadline, m_limits.writeTimeout);
            if ((error == SSL_ERROR_WANT_WRITE && waitFor(m_c.fd, POLLOUT, wait)) ||
                (error == SSL_ERROR_WANT_READ && waitFor(m_c.fd, POLLIN, wait)))
                continue;
            m_failed = true;
            return -1;
        }
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        ip = m_c.peer;
        port = m_c.peerPort;
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        ip = m_c.local;
        port = m_c.localPort;
    }
    socket_t socket() const override { return m_c.fd; }

private:
    CReception::CConnection& m_c;
    const SReceptionLimits& m_limits;
    const size_t m_start;
    uint64_t m_direct = 0;
    const Clock::time_point m_bodyDeadline;
    const Clock::time_point m_answerDeadline;
    bool m_failed = false;
};

} // namespace

CReception::CReception(SSL_CTX* context, SReceptionLimits limits, SReceptionHooks hooks)
    : m_context(context), m_limits(limits), m_hooks(std::move(hooks)) {
    m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wake < 0)
        throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

CReception::~CReception() {
    stop();
    if (m_listen >= 0)
        ::close(m_listen);
    ::close(m_wake);
}

void CReception::bind(const std::string& address, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(address.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr)
        throw std::runtime_error("cannot bind " + address + ": not a numeric address");
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> guard(found, ::freeaddrinfo);
    const int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 128) != 0) {
        const int error = errno;
        ::close(fd);
        throw std::runtime_error("cannot bind " + address + ":" + service + ": " +
                                 std::strerror(error));
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    int boundPort = 0;
    numericHost(bound, length, boundPort);
    m_port = static_cast<uint16_t>(boundPort);
    m_listen = fd;
}

void CReception::start() {
    m_stopping = false;
    m_receiver = std::thread([this] { receive(); });
    for (unsigned int i = 0; i < m_limits.fastThreads; ++i)
        m_workers.emplace_back([this] { work(true); });
    for (unsigned int i = 0; i < m_limits.threads; ++i)
        m_workers.emplace_back([this] { work(false); });
}

void CReception::stop() {
    if (m_stopping.exchange(true))
        return;
    wake();
    if (m_receiver.joinable())
        m_receiver.join();
    for (SQueue* queue : {&m_fast, &m_slow}) {
        std::lock_guard<std::mutex> lock(queue->mutex);
        queue->ready.notify_all();
    }
    for (std::thread& worker : m_workers)
        if (worker.joinable())
            worker.join();
    m_workers.clear();
    for (SQueue* queue : {&m_fast, &m_slow}) {
        std::deque<std::unique_ptr<CConnection>> left;
        {
            std::lock_guard<std::mutex> lock(queue->mutex);
            left.swap(queue->items);
        }
        for (auto& connection : left)
            close(std::move(connection));
    }
    std::vector<std::unique_ptr<CConnection>> back;
    {
        std::lock_guard<std::mutex> lock(m_backMutex);
        back.swap(m_back);
    }
    for (auto& connection : back)
        close(std::move(connection));
}

void CReception::wake() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wake, &one, sizeof one);
}

bool CReception::admit(const std::string& address) {
    std::lock_guard<std::mutex> lock(m_countMutex);
    size_t& count = m_perAddress[address];
    if (count >= m_limits.maxPerAddress)
        return false;
    ++count;
    ++m_open;
    return true;
}

void CReception::close(std::unique_ptr<CConnection> connection) {
    if (!connection)
        return;
    if (connection->ssl != nullptr) {
        // One try at a closing alert; a peer that does not read gets none.
        if (SSL_is_init_finished(connection->ssl) && connection->state != eState::eLinger) {
            ERR_clear_error();
            SSL_shutdown(connection->ssl);
        }
        SSL_free(connection->ssl);
    }
    ::close(connection->fd);
    std::lock_guard<std::mutex> lock(m_countMutex);
    const auto it = m_perAddress.find(connection->peer);
    if (it != m_perAddress.end() && --it->second == 0)
        m_perAddress.erase(it);
    --m_open;
}

// A short answer from the reception itself, written once without waiting; then the connection
// only drains what the client still sends (bounded) until it is closed.
void CReception::refuse(CConnection& c, int status) {
    const bool api = c.head.path.rfind("/api/", 0) == 0;
    const std::string text = refusalText(status);
    const std::string body = api ? "{\"error\":\"" + text + "\"}" : text + "\n";
    const std::string answer =
        "HTTP/1.1 " + std::to_string(status) + " " + statusText(status) +
        "\r\nContent-Type: " + (api ? "application/json" : "text/plain; charset=utf-8") +
        "\r\nCache-Control: no-store\r\nConnection: close\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    ERR_clear_error();
    SSL_write(c.ssl, answer.data(), static_cast<int>(answer.size()));
    ERR_clear_error();
    SSL_shutdown(c.ssl);
    ::shutdown(c.fd, SHUT_WR);
    c.state = eState::eLinger;
    c.events = POLLIN;
    c.deadline = Clock::now() + kLingerTime;
    c.anyByte = true;
}

void CReception::accept() {
    for (int i = 0; i < 64; ++i) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        const int fd = ::accept4(m_listen, reinterpret_cast<sockaddr*>(&address), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        auto c = std::make_unique<CConnection>();
        c->fd = fd;
        c->peer = numericHost(address, length, c->peerPort);
        sockaddr_storage own{};
        socklen_t ownLength = sizeof own;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &ownLength) == 0)
            c->local = numericHost(own, ownLength, c->localPort);
        if (m_open.load() >= m_limits.maxConnections) {
            // Make room by closing the connection that has waited longest for its request.
            auto oldest =
                std::min_element(m_waiting.begin(), m_waiting.end(),
                                 [](const auto& a, const auto& b) { return a->since < b->since; });
            if (oldest != m_waiting.end()) {
                std::unique_ptr<CConnection> evicted = std::move(*oldest);
                m_waiting.erase(oldest);
                close(std::move(evicted));
            }
        }
        if (m_open.load() >= m_limits.maxConnections || !admit(c->peer)) {
            ::close(fd);
            continue;
        }
        const int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        c->ssl = SSL_new(m_context);
        if (c->ssl == nullptr || SSL_set_fd(c->ssl, fd) != 1) {
            close(std::move(c));
            continue;
        }
        SSL_set_accept_state(c->ssl);
        const Clock::time_point now = Clock::now();
        c->since = now;
        c->deadline = now + m_limits.headTime;
        c->idleUntil = c->deadline;
        CConnection& ref = *c;
        m_waiting.push_back(std::move(c));
        advance(ref);
    }
}

// Moves a connection on as far as the bytes that arrived allow: handshake, head, small body. A
// connection that failed is marked dead, one whose request is complete gets no poll events; the
// reception's sweep closes or dispatches them.
void CReception::advance(CConnection& c) {
    if (c.state == eState::eLinger) {
        char scratch[kReadChunk];
        for (;;) {
            const ssize_t n = ::read(c.fd, scratch, sizeof scratch);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (n < 0 && errno == EINTR)
                continue;
            c.lingered += n > 0 ? static_cast<size_t>(n) : 0;
            if (n <= 0 || c.lingered > kLingerBytes) {
                c.dead = true;
                return;
            }
        }
    }
    if (c.state == eState::eHandshake) {
        ERR_clear_error();
        const int done = SSL_accept(c.ssl);
        if (done != 1) {
            const int error = SSL_get_error(c.ssl, done);
            if (error == SSL_ERROR_WANT_READ)
                c.events = POLLIN;
            else if (error == SSL_ERROR_WANT_WRITE)
                c.events = POLLOUT;
            else
                c.dead = true; // failed handshake: closed by the sweep
            return;
        }
        c.state = eState::eHead;
    }
    // Read what has arrived, but no more than the request in hand needs.
    char buffer[kReadChunk];
    for (;;) {
        const size_t have = c.in.size() - c.pos;
        const uint64_t wanted = c.state == eState::eHead ? m_limits.maxHead + 1 : c.requestLength;
        if (have >= wanted)
            break;
        ERR_clear_error();
        const int n = SSL_read(c.ssl, buffer, sizeof buffer);
        if (n > 0) {
            c.in.append(buffer, static_cast<size_t>(n));
            c.anyByte = true;
            if (c.state == eState::eHead && gFindHeadEnd(c.pending(), c.scan) != 0)
                break;
            continue;
        }
        const int error = SSL_get_error(c.ssl, n);
        if (error == SSL_ERROR_WANT_READ) {
            c.events = POLLIN;
            break;
        }
        if (error == SSL_ERROR_WANT_WRITE) {
            c.events = POLLOUT;
            break;
        }
        c.dead = true; // closed by the peer or broken
        return;
    }
    if (c.state == eState::eHead) {
        const size_t end = gFindHeadEnd(c.pending(), c.scan);
        if (end == 0) {
            if (c.in.size() - c.pos > m_limits.maxHead) {
                std::string().swap(c.in);
                c.pos = 0;
                refuse(c, 431);
            }
            return;
        }
        c.head = gInspectHead(c.pending().substr(0, end));
        gHideAcceptEncoding(&c.in[c.pos], end);
        int refusal = 0;
        if (end > m_limits.maxHead)
            refusal = 431;
        else if (c.head.badLength)
            refusal = 400;
        else if (c.head.transferEncoding)
            refusal = 411;
        else if (c.head.contentLength > m_limits.maxBody)
            refusal = 413;
        else if (c.head.contentLength > m_limits.maxSmallBody && !m_hooks.mayStream(c.head))
            refusal = 413;
        if (refusal != 0) {
            std::string().swap(c.in);
            c.pos = 0;
            refuse(c, refusal);
            return;
        }
        c.requestLength = end + c.head.contentLength;
        c.streamBody = c.head.contentLength > m_limits.maxSmallBody;
        c.state = eState::eBody;
        if (c.head.contentLength > 0)
            c.deadline = Clock::now() + m_limits.bodyTime;
        if (!c.streamBody && c.in.size() - c.pos < c.requestLength)
            return advance(c); // read the body's bytes that have arrived
    }
    if (c.state == eState::eBody && (c.streamBody || c.in.size() - c.pos >= c.requestLength))
        c.events = 0; // ready: dispatched by the sweep
}

void CReception::dispatch(std::unique_ptr<CConnection> c) {
    SQueue& queue = m_hooks.isFast(c->head) ? m_fast : m_slow;
    std::lock_guard<std::mutex> lock(queue.mutex);
    queue.items.push_back(std::move(c));
    queue.ready.notify_one();
}

void CReception::handBack(std::unique_ptr<CConnection> c) {
    {
        std::lock_guard<std::mutex> lock(m_backMutex);
        m_back.push_back(std::move(c));
    }
    wake();
}

void CReception::receive() {
    std::vector<pollfd> entries;
    while (!m_stopping) {
        // Connections back from a request: wait for the next one (some of it may be here).
        std::vector<std::unique_ptr<CConnection>> back;
        {
            std::lock_guard<std::mutex> lock(m_backMutex);
            back.swap(m_back);
        }
        const Clock::time_point now = Clock::now();
        for (auto& c : back) {
            c->state = eState::eHead;
            c->resetRequest(now, m_limits, false);
            CConnection& ref = *c;
            m_waiting.push_back(std::move(c));
            advance(ref);
        }

        // Sweep: dispatch what is ready, close what failed or ran out of time.
        const Clock::time_point swept = Clock::now();
        Clock::time_point next = swept + std::chrono::seconds(1);
        std::vector<std::unique_ptr<CConnection>> kept;
        kept.reserve(m_waiting.size());
        for (auto& c : m_waiting) {
            if (c->dead) {
                close(std::move(c));
            } else if (c->state == eState::eBody && c->events == 0) {
                dispatch(std::move(c));
            } else if (swept >= c->deadline &&
                       (c->state == eState::eHead || c->state == eState::eBody) && c->anyByte) {
                std::string().swap(c->in);
                c->pos = 0;
                refuse(*c, 408);
                kept.push_back(std::move(c));
            } else if (swept >= c->deadline || (!c->anyByte && swept >= c->idleUntil)) {
                close(std::move(c));
            } else {
                next =
                    std::min(next, c->anyByte ? c->deadline : std::min(c->deadline, c->idleUntil));
                kept.push_back(std::move(c));
            }
        }
        m_waiting.swap(kept);

        entries.clear();
        entries.push_back(pollfd{m_listen, POLLIN, 0});
        entries.push_back(pollfd{m_wake, POLLIN, 0});
        for (const auto& c : m_waiting)
            entries.push_back(pollfd{c->fd, c->events, 0});
        const int wait = remaining(next, std::chrono::milliseconds(1000)) + 1;
        const int ready = ::poll(entries.data(), entries.size(), wait);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        if (entries[1].revents != 0) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t got = ::read(m_wake, &count, sizeof count);
        }
        // The waiting list may grow while accepting: look at the entries polled only.
        const size_t polled = entries.size() - 2;
        for (size_t i = 0; i < polled; ++i)
            if (entries[i + 2].revents != 0)
                advance(*m_waiting[i]);
        if (entries[0].revents != 0)
            accept();
    }
    for (auto& c : m_waiting)
        close(std::move(c));
    m_waiting.clear();
}

void CReception::work(bool fast) {
    SQueue& queue = fast ? m_fast : m_slow;
    for (;;) {
        std::unique_ptr<CConnection> c;
        {
            std::unique_lock<std::mutex> lock(queue.mutex);
            queue.ready.wait(lock, [&] { return m_stopping || !queue.items.empty(); });
            if (m_stopping)
                return; // what is still queued is closed by stop()
            c = std::move(queue.items.front());
            queue.items.pop_front();
        }
        serveOne(std::move(c));
    }
}

void CReception::serveOne(std::unique_ptr<CConnection> c) {
    CConnectionStream stream(*c, m_limits);
    const bool closing = m_stopping || c->served + 1 >= m_limits.keepAliveMax;
    bool closed = false;
    bool kept = false;
    try {
        kept = m_hooks.serve(stream, closing, closed, c->ssl);
    } catch (...) {
        kept = false;
    }
    ++c->served;
    // The next request starts right after this one; a body the library left unread in the
    // buffer is skipped, one left on the connection ends it.
    const uint64_t taken = stream.taken();
    bool sane = !stream.failed() && taken <= c->requestLength;
    if (sane && taken < c->requestLength) {
        const uint64_t rest = c->requestLength - taken;
        if (c->in.size() - c->pos >= rest)
            c->pos += static_cast<size_t>(rest);
        else
            sane = false;
    }
    if (c->streamBody && sane) {
        c->in.clear();
        c->pos = 0;
    }
    if (!kept || closed || closing || !sane || m_stopping)
        close(std::move(c));
    else
        handBack(std::move(c));
}

} // namespace vornweb
