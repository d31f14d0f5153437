// hkp_standin: a key server stand-in on loopback. It accepts connections on one address, reads
// each request's head and lets the test's handler answer (or stall, stream without end, or
// redirect). Connections are served one after the other on the stand-in's own thread, at most
// `maxConnections` of them; everything stops when the object goes.
#ifndef ORX_TESTS_HKP_STANDIN_H
#define ORX_TESTS_HKP_STANDIN_H

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace orxtest {

class HkpStandIn {
public:
    struct Request {
        std::string target; // path and query of the request line
        std::string head;   // the whole head as sent
    };
    using Handler = std::function<void(int fd, const Request& request, HkpStandIn& server)>;

    explicit HkpStandIn(Handler handler, const std::string& address = "127.0.0.1",
                        int maxConnections = 64)
        : m_handler(std::move(handler)), m_address(address), m_maxConnections(maxConnections) {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const int yes = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
        if (m_listen < 0 || ::bind(m_listen, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(m_listen, 16) != 0)
            throw std::runtime_error("the stand-in key server cannot listen on " + address);
        socklen_t size = sizeof sa;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&sa), &size);
        m_port = ntohs(sa.sin_port);
        m_thread = std::thread([this] { serve(); });
    }
    ~HkpStandIn() {
        m_stop = true;
        m_thread.join();
        ::close(m_listen);
    }
    HkpStandIn(const HkpStandIn&) = delete;
    HkpStandIn& operator=(const HkpStandIn&) = delete;

    uint16_t port() const { return m_port; }
    std::string url(const std::string& scheme = "hkp") const {
        return scheme + "://" + m_address + ":" + std::to_string(m_port);
    }
    bool stopping() const { return m_stop; }
    // The request targets seen so far.
    std::vector<std::string> targets() {
        std::lock_guard<std::mutex> hold(m_lock);
        return m_targets;
    }
    int connections() const { return m_connections; }

    // Writes everything; false when the peer went away (or did not read for ten seconds).
    static bool writeAll(int fd, const std::string& data) {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // A whole answer with Content-Length.
    static std::string answer(int status, const std::string& body,
                              const std::string& extraHeaders = "") {
        return "HTTP/1.0 " + std::to_string(status) +
               " Stand-in\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
               extraHeaders + "\r\n" + body;
    }
    // Waits until the client closes the connection or the stand-in stops.
    void holdUntilClosed(int fd) {
        char buffer[4096];
        while (!m_stop) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) > 0 && ::recv(fd, buffer, sizeof buffer, 0) <= 0)
                return;
        }
    }
    // Sends `prefix`, then filler bytes until `total` bytes went out in all, the client closes,
    // or the stand-in stops.
    bool stream(int fd, const std::string& prefix, uint64_t total) {
        if (!writeAll(fd, prefix))
            return false;
        const std::string filler(64 * 1024, 'A');
        uint64_t sent = prefix.size();
        while (sent < total && !m_stop) {
            if (!writeAll(fd, filler))
                return false;
            sent += filler.size();
        }
        return true;
    }

private:
    void serve() {
        while (!m_stop && m_connections < m_maxConnections) {
            pollfd p{m_listen, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            ++m_connections;
            timeval limit{10, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
            Request request;
            if (readHead(fd, request)) {
                {
                    std::lock_guard<std::mutex> hold(m_lock);
                    m_targets.push_back(request.target);
                }
                m_handler(fd, request, *this);
            }
            ::close(fd);
        }
    }
    bool readHead(int fd, Request& request) {
        char buffer[4096];
        for (int rounds = 0; rounds < 200 && !m_stop; ++rounds) {
            if (request.head.find("\r\n\r\n") != std::string::npos)
                break;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0 || request.head.size() > 65536)
                return false;
            request.head.append(buffer, static_cast<size_t>(n));
        }
        const size_t first = request.head.find(' ');
        const size_t second = request.head.find(' ', first + 1);
        if (first == std::string::npos || second == std::string::npos)
            return false;
        request.target = request.head.substr(first + 1, second - first - 1);
        return true;
    }

    Handler m_handler;
    std::string m_address;
    int m_maxConnections;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    std::mutex m_lock;
    std::vector<std::string> m_targets;
    std::thread m_thread;
};

} // namespace orxtest

#endif
