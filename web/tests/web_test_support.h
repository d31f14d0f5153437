// web_test_support: a raw TLS client for orxweb's integration tests: exact bytes out (also
// malformed or endless ones), one answer in, from a chosen loopback address and with chosen TLS
// versions and suites. Every read and write has a time limit, so a server that never answers
// fails the test instead of hanging it.
#ifndef ORX_WEB_TEST_SUPPORT_H
#define ORX_WEB_TEST_SUPPORT_H

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace orxwebtest {

struct SResponse {
    int status = -1;
    std::string head;
    std::string body;
    std::string header(const std::string& name) const {
        const std::string key = "\r\n" + name + ": ";
        const size_t at = head.find(key);
        if (at == std::string::npos)
            return "";
        const size_t end = head.find("\r\n", at + key.size());
        return head.substr(at + key.size(), end - at - key.size());
    }
};

struct STlsOptions {
    // Local address to connect from (empty: the system's choice, 127.0.0.1).
    std::string source;
    // 0: any; TLS1_2_VERSION pins TLS 1.2 (with `ciphers` as its suites).
    int maxVersion = 0;
    std::string ciphers;
    int timeoutSeconds = 20;
};

class CTlsClient {
public:
    CTlsClient() = default;
    ~CTlsClient() { close(); }
    CTlsClient(const CTlsClient&) = delete;
    CTlsClient& operator=(const CTlsClient&) = delete;

    // Connects to 127.0.0.1:port and runs the handshake; false when either fails.
    bool connect(uint16_t port, const STlsOptions& options = STlsOptions()) {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        timeval limit{options.timeoutSeconds, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        if (!options.source.empty()) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            ::inet_pton(AF_INET, options.source.c_str(), &local.sin_addr);
            if (::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
                return false;
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            return false;
        m_context = SSL_CTX_new(TLS_client_method());
        if (options.maxVersion != 0)
            SSL_CTX_set_max_proto_version(m_context, options.maxVersion);
        if (!options.ciphers.empty() &&
            SSL_CTX_set_cipher_list(m_context, options.ciphers.c_str()) != 1)
            return false;
        m_ssl = SSL_new(m_context);
        SSL_set_fd(m_ssl, m_fd);
        return SSL_connect(m_ssl) == 1;
    }

    int fd() const { return m_fd; }

    // Waits up to `milliseconds` for the server to send something (an answer or its close).
    bool answerWaiting(int milliseconds) const {
        if (m_ssl != nullptr && SSL_pending(m_ssl) > 0)
            return true;
        pollfd entry{m_fd, POLLIN, 0};
        return ::poll(&entry, 1, milliseconds) > 0;
    }

    // The negotiated suite's name ("" before a handshake).
    std::string cipher() const {
        const char* name = m_ssl != nullptr ? SSL_get_cipher_name(m_ssl) : nullptr;
        return name != nullptr ? name : "";
    }

    // Writes all of `bytes`; false when the server closed or stopped reading first.
    bool send(const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            const int n = SSL_write(m_ssl, bytes.data() + sent,
                                    static_cast<int>(std::min<size_t>(bytes.size() - sent, 65536)));
            if (n <= 0)
                return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }

    // Reads one answer (head and Content-Length body); status -1 when none came.
    SResponse receive() {
        SResponse response;
        std::string data;
        char buffer[16384];
        size_t expected = std::string::npos;
        for (;;) {
            const size_t end = data.find("\r\n\r\n");
            if (end != std::string::npos && expected == std::string::npos) {
                response.head = data.substr(0, end);
                const std::string length = response.header("Content-Length");
                expected = end + 4 + (length.empty() ? 0 : std::stoul(length));
            }
            if (expected != std::string::npos && data.size() >= expected)
                break;
            const int n = SSL_read(m_ssl, buffer, sizeof buffer);
            if (n <= 0)
                break;
            data.append(buffer, static_cast<size_t>(n));
        }
        if (!response.head.empty()) {
            response.status = std::atoi(response.head.c_str() + 9);
            response.body = data.substr(response.head.size() + 4);
        }
        return response;
    }

    // True when the server has closed the connection (a read sees its end or a reset).
    bool closedByServer() {
        char byte;
        const int n = SSL_read(m_ssl, &byte, 1);
        return n <= 0 && SSL_get_error(m_ssl, n) != SSL_ERROR_WANT_READ;
    }

    void close() {
        if (m_ssl != nullptr)
            SSL_free(m_ssl);
        if (m_context != nullptr)
            SSL_CTX_free(m_context);
        if (m_fd >= 0)
            ::close(m_fd);
        m_ssl = nullptr;
        m_context = nullptr;
        m_fd = -1;
    }

private:
    int m_fd = -1;
    SSL_CTX* m_context = nullptr;
    SSL* m_ssl = nullptr;
};

// Sends raw bytes over TLS and reads one answer. The server may answer and close before reading
// everything, so a failed send still reads.
inline SResponse rawRequest(uint16_t port, const std::string& bytes,
                            const STlsOptions& options = STlsOptions()) {
    CTlsClient client;
    if (!client.connect(port, options))
        return SResponse();
    client.send(bytes);
    return client.receive();
}

inline std::string formEncode(const std::string& text) {
    static const char* const digits = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.')
            out += static_cast<char>(c);
        else
            out += std::string("%") + digits[c >> 4] + digits[c & 15];
    }
    return out;
}

// A login as a browser on `source` sends it, with extra header lines ("Name: value\r\n").
inline SResponse loginFrom(uint16_t port, const std::string& source, const std::string& user,
                           const std::string& password, const std::string& extraHeaders = "") {
    const std::string body = "user=" + formEncode(user) + "&password=" + formEncode(password);
    STlsOptions options;
    options.source = source;
    return rawRequest(
        port,
        "POST /api/login HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
            "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
            std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" + body,
        options);
}

inline std::string jsonField(const std::string& json, const std::string& name) {
    const std::string key = "\"" + name + "\":\"";
    const size_t at = json.find(key);
    if (at == std::string::npos)
        return "";
    return json.substr(at + key.size(), json.find('"', at + key.size()) - at - key.size());
}

} // namespace orxwebtest

#endif
