// keyserver_http: the key server's bounded HTTP client, plain and over TLS.
#include "keyserver_http.h"

#include <zaf/zafkeyserver.h>

#include <botan/auto_rng.h>
#include <botan/certstor.h>
#include <botan/certstor_system.h>
#include <botan/credentials_manager.h>
#include <botan/data_src.h>
#include <botan/pem.h>
#include <botan/pkix_types.h>
#include <botan/tls_callbacks.h>
#include <botan/tls_client.h>
#include <botan/tls_exceptn.h>
#include <botan/tls_policy.h>
#include <botan/tls_session_manager.h>
#include <botan/x509cert.h>

#include <arpa/inet.h>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <orx/userfile.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace zaf::hkp {

namespace {

using Clock = std::chrono::steady_clock;

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

bool startsNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalNoCase(text.substr(0, prefix.size()), prefix);
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// A decimal number of at most 19 digits; false for anything else.
bool parseDecimal(std::string_view s, uint64_t& out) {
    if (s.empty() || s.size() > 19)
        return false;
    out = 0;
    for (char c : s) {
        if (c < '0' || c > '9')
            return false;
        out = out * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

bool validHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

// ---- connections ----

class Socket {
public:
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }
    int release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

int msLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return 0;
    return left > 60000 ? 60000 : static_cast<int>(left);
}

// Waits for `events` on the descriptor; false when the deadline passed first.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const int left = msLeft(deadline);
        if (left == 0)
            return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, left);
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return true; // the read or write that follows reports the error
    }
}

struct Failure {
    ZAFError code;
    std::string detail;
};

[[noreturn]] void failWith(ZAFError code, const std::string& detail) {
    throw Failure{code, detail};
}

// Resolving a name can hang in the resolver for longer than the deadline allows, so it runs on
// a thread of its own that the request stops waiting for at the deadline.
struct Resolution {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    int code = 0;
    std::vector<sockaddr_storage> addresses;
    std::vector<socklen_t> lengths;
};

void resolve(const std::string& host, uint16_t port, Clock::time_point deadline,
             std::vector<sockaddr_storage>& addresses, std::vector<socklen_t>& lengths) {
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    if (::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        sockaddr_storage s{};
        std::memcpy(&s, &v4, sizeof v4);
        addresses.push_back(s);
        lengths.push_back(sizeof v4);
        return;
    }
    if (::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        sockaddr_storage s{};
        std::memcpy(&s, &v6, sizeof v6);
        addresses.push_back(s);
        lengths.push_back(sizeof v6);
        return;
    }
    auto state = std::make_shared<Resolution>();
    std::thread([state, host, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int code = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
        std::lock_guard<std::mutex> hold(state->lock);
        state->code = code;
        for (addrinfo* a = found; a != nullptr && state->addresses.size() < 16; a = a->ai_next) {
            if (a->ai_addrlen > sizeof(sockaddr_storage))
                continue;
            sockaddr_storage s{};
            std::memcpy(&s, a->ai_addr, a->ai_addrlen);
            state->addresses.push_back(s);
            state->lengths.push_back(a->ai_addrlen);
        }
        if (found != nullptr)
            ::freeaddrinfo(found);
        state->finished = true;
        state->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> hold(state->lock);
    if (!state->done.wait_until(hold, deadline, [&] { return state->finished; }))
        failWith(kZAFError_KeyServerTimeout, "looking up " + printable(host) + " took too long");
    if (state->code != 0 || state->addresses.empty())
        failWith(kZAFError_KeyServerConnect,
                 "cannot find the host " + printable(host) + ": " + ::gai_strerror(state->code));
    addresses = state->addresses;
    lengths = state->lengths;
}

int connectTo(const Address& address, Clock::time_point deadline) {
    std::vector<sockaddr_storage> addresses;
    std::vector<socklen_t> lengths;
    resolve(address.host, address.port, deadline, addresses, lengths);
    std::string lastError = "no address";
    for (size_t i = 0; i < addresses.size(); ++i) {
        const int fd =
            ::socket(addresses[i].ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            lastError = std::strerror(errno);
            continue;
        }
        Socket guard(fd);
        int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addresses[i]), lengths[i]);
        if (rc != 0 && errno == EINPROGRESS) {
            if (!waitFor(fd, POLLOUT, deadline))
                failWith(kZAFError_KeyServerTimeout,
                         "connecting to " + addressText(address) + " took too long");
            int error = 0;
            socklen_t size = sizeof error;
            if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
                error = errno;
            rc = error == 0 ? 0 : -1;
            errno = error;
        }
        if (rc != 0) {
            lastError = std::strerror(errno);
            continue;
        }
        return guard.release();
    }
    failWith(kZAFError_KeyServerConnect,
             "cannot connect to " + addressText(address) + ": " + lastError);
}

void sendAll(int fd, const char* data, size_t size, Clock::time_point deadline) {
    while (size > 0) {
        if (!waitFor(fd, POLLOUT, deadline))
            failWith(kZAFError_KeyServerTimeout, "the key server did not take the request in time");
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            failWith(kZAFError_KeyServerConnect,
                     std::string("sending to the key server failed: ") + std::strerror(errno));
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

// Reads what is there (waiting up to the deadline); 0 at the end of the stream.
size_t receiveSome(int fd, char* buffer, size_t size, Clock::time_point deadline) {
    for (;;) {
        if (!waitFor(fd, POLLIN, deadline))
            failWith(kZAFError_KeyServerTimeout,
                     "the key server did not answer within the time limit");
        const ssize_t n = ::recv(fd, buffer, size, 0);
        if (n >= 0)
            return static_cast<size_t>(n);
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
            continue;
        failWith(kZAFError_KeyServerConnect,
                 std::string("reading from the key server failed: ") + std::strerror(errno));
    }
}

void feedReader(AnswerReader& reader, const char* data, size_t size) {
    const ZAFError code = reader.feed(data, size);
    if (code != kZAFError_NoErr)
        failWith(code, reader.problem());
}

void finishReader(AnswerReader& reader) {
    const ZAFError code = reader.finish();
    if (code != kZAFError_NoErr)
        failWith(code, reader.problem());
}

// ---- TLS ----

// The largest file of certificate authorities read (a system's whole bundle is a few hundred
// KiB).
constexpr uint64_t kMaxAuthorityFileBytes = 8u << 20;

// The self-signed authorities among the PEM certificates of the file the caller named. The file
// is read through its descriptor: a link is followed (the caller named it), but what is behind
// must be a regular file within the bound, so a FIFO or a device there cannot stall a fetch.
std::unique_ptr<Botan::Certificate_Store> authoritiesOf(const std::string& path) {
    orxfile::Rules rules;
    rules.followLinks = true;
    rules.maxBytes = kMaxAuthorityFileBytes;
    orxfile::UserFile file;
    std::string text;
    orxfile::Problem problem = file.open(path, O_RDONLY, rules);
    if (problem == orxfile::Problem::None)
        problem = file.readAll(text);
    if (problem != orxfile::Problem::None)
        throw std::runtime_error("the file " + file.explain(problem));
    auto store = std::make_unique<Botan::Certificate_Store_In_Memory>();
    size_t kept = 0;
    Botan::DataSource_Memory source(text);
    while (!source.end_of_data()) {
        std::string label;
        Botan::secure_vector<uint8_t> der;
        try {
            der = Botan::PEM_Code::decode(source, label);
        } catch (const Botan::Decoding_Error&) {
            continue; // text between certificates, or none after the last one
        }
        if (label != "CERTIFICATE" && label != "X509 CERTIFICATE" && label != "TRUSTED CERTIFICATE")
            continue;
        const Botan::X509_Certificate cert(der.data(), der.size());
        // Intermediate or end-entity certificates in a bundle are passed over, not trusted.
        if (cert.is_self_signed() && cert.is_CA_cert()) {
            store->add_certificate(cert);
            ++kept;
        }
    }
    if (kept == 0)
        throw std::runtime_error("no certificate authority in it");
    return store;
}

class TrustedAuthorities : public Botan::Credentials_Manager {
public:
    explicit TrustedAuthorities(const std::string& caFile) {
        if (caFile.empty())
            m_store = std::make_unique<Botan::System_Certificate_Store>();
        else
            m_store = authoritiesOf(caFile);
    }
    std::vector<Botan::Certificate_Store*>
    trusted_certificate_authorities(const std::string&, const std::string&) override {
        return {m_store.get()};
    }

private:
    std::unique_ptr<Botan::Certificate_Store> m_store;
};

class TlsLink : public Botan::TLS::Callbacks {
public:
    TlsLink(int fd, Clock::time_point deadline, AnswerReader& reader)
        : m_fd(fd), m_deadline(deadline), m_reader(reader) {}

    void tls_emit_data(const uint8_t data[], size_t size) override {
        m_pending.append(reinterpret_cast<const char*>(data), size);
    }
    void tls_record_received(uint64_t, const uint8_t data[], size_t size) override {
        if (!m_reader.complete())
            feedReader(m_reader, reinterpret_cast<const char*>(data), size);
    }
    void tls_alert(Botan::TLS::Alert alert) override {
        if (alert.type() == Botan::TLS::Alert::CLOSE_NOTIFY)
            m_closed = true;
        else if (alert.is_fatal())
            m_alert = alert.type_string();
    }
    bool tls_session_established(const Botan::TLS::Session&) override { return false; }
    void
    tls_verify_cert_chain(const std::vector<Botan::X509_Certificate>& chain,
                          const std::vector<std::shared_ptr<const Botan::OCSP::Response>>& ocsp,
                          const std::vector<Botan::Certificate_Store*>& roots,
                          Botan::Usage_Type usage, const std::string& hostname,
                          const Botan::TLS::Policy& policy) override {
        try {
            Botan::TLS::Callbacks::tls_verify_cert_chain(chain, ocsp, roots, usage, hostname,
                                                         policy);
        } catch (const std::exception& e) {
            m_certificateProblem = e.what();
            throw;
        }
    }

    // Sends what the TLS layer produced.
    void flush() {
        if (!m_pending.empty()) {
            std::string out;
            out.swap(m_pending);
            sendAll(m_fd, out.data(), out.size(), m_deadline);
        }
    }
    bool closed() const { return m_closed; }
    const std::string& alert() const { return m_alert; }
    const std::string& certificateProblem() const { return m_certificateProblem; }

private:
    int m_fd;
    Clock::time_point m_deadline;
    AnswerReader& m_reader;
    std::string m_pending;
    bool m_closed = false;
    std::string m_alert;
    std::string m_certificateProblem;
};

// TLS 1.2 with the library's default choice of suites, no session resumption. Revocation is
// not checked: nothing here fetches revocation lists or asks responders.
class ClientPolicy : public Botan::TLS::Policy {
public:
    bool acceptable_protocol_version(Botan::TLS::Protocol_Version version) const override {
        return version == Botan::TLS::Protocol_Version::TLS_V12;
    }
    bool require_cert_revocation_info() const override { return false; }
};

void exchangeTls(int fd, const Address& address, const std::string& request,
                 const std::string& caFile, Clock::time_point deadline, AnswerReader& reader) {
    TlsLink link(fd, deadline, reader);
    Botan::AutoSeeded_RNG rng;
    Botan::TLS::Session_Manager_Noop sessions;
    std::unique_ptr<TrustedAuthorities> trusted;
    try {
        trusted = std::make_unique<TrustedAuthorities>(caFile);
    } catch (const std::exception& e) {
        failWith(kZAFError_KeyServerCertificate,
                 "cannot read the certificate authorities " +
                     (caFile.empty() ? std::string("of the system") : printable(caFile)) + ": " +
                     printable(e.what()));
    }
    ClientPolicy policy;
    char buffer[16384];
    bool sent = false;
    try {
        Botan::TLS::Client client(link, sessions, *trusted, policy, rng,
                                  Botan::TLS::Server_Information(address.host, address.port),
                                  Botan::TLS::Protocol_Version::TLS_V12);
        link.flush();
        while (!reader.complete()) {
            if (!sent && client.is_active()) {
                client.send(request);
                sent = true;
                link.flush();
                continue;
            }
            const size_t n = receiveSome(fd, buffer, sizeof buffer, deadline);
            if (n == 0) {
                if (!sent)
                    failWith(kZAFError_KeyServerProtocol,
                             "the key server closed the connection during the TLS handshake");
                finishReader(reader);
                break;
            }
            client.received_data(reinterpret_cast<const uint8_t*>(buffer), n);
            link.flush();
            if (!link.alert().empty())
                failWith(sent ? kZAFError_KeyServerProtocol : kZAFError_KeyServerCertificate,
                         "the key server ended TLS: " + link.alert());
            if (link.closed()) {
                finishReader(reader);
                break;
            }
        }
    } catch (const Failure&) {
        throw;
    } catch (const std::exception& e) {
        if (!link.certificateProblem().empty())
            failWith(kZAFError_KeyServerCertificate,
                     "the certificate of " + addressText(address) +
                         " does not verify: " + printable(link.certificateProblem()));
        failWith(sent ? kZAFError_KeyServerProtocol : kZAFError_KeyServerCertificate,
                 "TLS with " + addressText(address) + " failed: " + printable(e.what()));
    }
}

void exchangePlain(int fd, const std::string& request, Clock::time_point deadline,
                   AnswerReader& reader) {
    sendAll(fd, request.data(), request.size(), deadline);
    char buffer[16384];
    while (!reader.complete()) {
        const size_t n = receiveSome(fd, buffer, sizeof buffer, deadline);
        if (n == 0) {
            finishReader(reader);
            break;
        }
        feedReader(reader, buffer, n);
    }
}

std::string hostHeader(const Address& address) {
    const bool v6 = address.host.find(':') != std::string::npos;
    std::string host = v6 ? "[" + address.host + "]" : address.host;
    const uint16_t standard = address.tls ? 443 : 80;
    if (address.port != standard)
        host += ":" + std::to_string(address.port);
    return host;
}

// One request on one connection.
void fetchOnce(const Address& address, const std::string& target, const std::string& caFile,
               Clock::time_point deadline, AnswerReader& reader) {
    const std::string request = "GET " + address.prefix + target +
                                " HTTP/1.1\r\n"
                                "Host: " +
                                hostHeader(address) +
                                "\r\n"
                                "User-Agent: orx-keyserver/1\r\n"
                                "Accept: */*\r\n"
                                "Connection: close\r\n\r\n";
    Socket socket(connectTo(address, deadline));
    if (address.tls)
        exchangeTls(socket.fd(), address, request, caFile, deadline, reader);
    else
        exchangePlain(socket.fd(), request, deadline, reader);
}

// Where a redirect leads: a path on the same server, or another address that must be the same
// host. Throws Failure for anything else.
void followRedirect(const Address& current, const std::string& location, Address& next,
                    std::string& target) {
    if (location.empty())
        failWith(kZAFError_KeyServerProtocol, "the key server redirected without a location");
    if (location[0] == '/' && (location.size() < 2 || location[1] != '/')) {
        next = current;
        next.prefix.clear();
        target = location;
        return;
    }
    Address to;
    const std::string shown = printable(location);
    const size_t scheme = location.find("://");
    const size_t pathAt =
        scheme == std::string::npos ? std::string::npos : location.find('/', scheme + 3);
    const std::string origin = pathAt == std::string::npos ? location : location.substr(0, pathAt);
    if (parseAddress(origin, to) != kZAFError_NoErr)
        failWith(kZAFError_KeyServerRedirect,
                 "the key server redirected to " + shown + ", which is not followed");
    if (!equalNoCase(to.host, current.host))
        failWith(kZAFError_KeyServerRedirect, "the key server redirected to another host (" +
                                                  shown + "); redirects are not followed there");
    if (current.tls && !to.tls)
        failWith(kZAFError_KeyServerRedirect,
                 "the key server redirected from TLS to plain HTTP (" + shown + "); not followed");
    const bool anyScheme = startsNoCase(location, "http://") || startsNoCase(location, "https://");
    if (!anyScheme)
        failWith(kZAFError_KeyServerRedirect,
                 "the key server redirected to " + shown + ", which is not followed");
    if (to.tls == current.tls && to.port != current.port)
        failWith(kZAFError_KeyServerRedirect,
                 "the key server redirected to another port (" + shown + "); not followed");
    next = to;
    next.prefix.clear();
    target = pathAt == std::string::npos ? "/" : location.substr(pathAt);
}

} // namespace

std::string printable(std::string_view text, size_t max) {
    std::string out;
    for (char c : text) {
        if (out.size() >= max) {
            out += "...";
            break;
        }
        const auto u = static_cast<unsigned char>(c);
        out += (u >= 0x20 && u < 0x7F) ? c : '?';
    }
    return out;
}

ZAFError parseAddress(std::string_view url, Address& out) {
    out = Address();
    std::string_view rest;
    const size_t schemeEnd = url.find("://");
    if (schemeEnd == std::string_view::npos) {
        // A bare host name is an HKP server.
        rest = url;
        out.port = 11371;
    } else {
        const std::string_view scheme = url.substr(0, schemeEnd);
        rest = url.substr(schemeEnd + 3);
        if (equalNoCase(scheme, "hkp")) {
            out.port = 11371;
        } else if (equalNoCase(scheme, "hkps") || equalNoCase(scheme, "https")) {
            out.tls = true;
            out.port = 443;
        } else if (equalNoCase(scheme, "http")) {
            out.port = 80;
        } else if (equalNoCase(scheme, "ldap") || equalNoCase(scheme, "ldaps")) {
            return kZAFError_KeyServerType;
        } else {
            return kZAFError_KeyServerAddress;
        }
    }
    if (rest.size() > 1024 || rest.find_first_of("?#@ \t\r\n") != std::string_view::npos)
        return kZAFError_KeyServerAddress;
    const size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    std::string_view path =
        slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    std::string_view portText;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string_view::npos)
            return kZAFError_KeyServerAddress;
        out.host = std::string(authority.substr(1, close - 1));
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':')
                return kZAFError_KeyServerAddress;
            portText = after.substr(1);
        }
        in6_addr check{};
        if (::inet_pton(AF_INET6, out.host.c_str(), &check) != 1)
            return kZAFError_KeyServerAddress;
    } else {
        const size_t colon = authority.find(':');
        out.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos)
            portText = authority.substr(colon + 1);
        if (out.host.empty() || out.host.size() > 253)
            return kZAFError_KeyServerAddress;
        for (char c : out.host)
            if (!validHostChar(c))
                return kZAFError_KeyServerAddress;
    }
    if (out.host.empty())
        return kZAFError_KeyServerAddress;
    if (authority.find(':') != std::string_view::npos && authority[0] != '[' && portText.empty())
        return kZAFError_KeyServerAddress;
    if (!portText.empty()) {
        uint64_t port = 0;
        if (!parseDecimal(portText, port) || port == 0 || port > 65535)
            return kZAFError_KeyServerAddress;
        out.port = static_cast<uint16_t>(port);
    }
    while (!path.empty() && path.back() == '/')
        path.remove_suffix(1);
    for (char c : path)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F ||
            c == '%')
            return kZAFError_KeyServerAddress;
    out.prefix = std::string(path);
    return kZAFError_NoErr;
}

std::string addressText(const Address& address) {
    const bool v6 = address.host.find(':') != std::string::npos;
    return std::string(address.tls ? "hkps://" : "hkp://") +
           (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port) +
           address.prefix;
}

// ---- the answer reader ----

ZAFError AnswerReader::fail(ZAFError code, const std::string& problem) {
    m_state = State::Failed;
    m_problem = problem;
    m_body.clear();
    return code;
}

bool AnswerReader::takeLine(const char*& p, const char* end, std::string& line, ZAFError& error) {
    error = kZAFError_NoErr;
    const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* stop = nl == nullptr ? end : nl;
    if (m_line.size() + static_cast<size_t>(stop - p) > 1024) {
        error = fail(kZAFError_KeyServerProtocol, "a chunk line of the answer is too long");
        return false;
    }
    m_line.append(p, stop);
    if (nl == nullptr) {
        p = end;
        return false;
    }
    p = nl + 1;
    line.swap(m_line);
    m_line.clear();
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

ZAFError AnswerReader::feed(const char* data, size_t size) {
    if (m_state == State::Failed)
        return kZAFError_KeyServerProtocol;
    const char* p = data;
    const char* end = data + size;
    while (p < end && m_state != State::Done) {
        switch (m_state) {
        case State::Head: {
            // The head ends at the first empty line; it is kept whole until then.
            const size_t before = m_head.size();
            const size_t room = kMaxHeaderBytes + 4 - before;
            const size_t take = std::min(room, static_cast<size_t>(end - p));
            m_head.append(p, take);
            size_t stop = m_head.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
            size_t sepLength = 4;
            const size_t bare = m_head.find("\n\n", before >= 1 ? before - 1 : 0);
            if (bare != std::string::npos && (stop == std::string::npos || bare < stop)) {
                stop = bare;
                sepLength = 2;
            }
            if (stop == std::string::npos) {
                if (m_head.size() > kMaxHeaderBytes)
                    return fail(kZAFError_KeyServerTooLarge,
                                "the head of the answer is longer than " +
                                    std::to_string(kMaxHeaderBytes) + " bytes");
                p += take;
                break;
            }
            const size_t used = stop + sepLength - before;
            p += used;
            const std::string head = m_head.substr(0, stop);
            m_head.clear();
            const ZAFError code = parseHead(head);
            if (code != kZAFError_NoErr)
                return code;
            break;
        }
        case State::Body: {
            const uint64_t want = m_length - m_body.size();
            const size_t take =
                static_cast<size_t>(std::min<uint64_t>(want, static_cast<uint64_t>(end - p)));
            m_body.append(p, take);
            p += take;
            if (m_body.size() == m_length)
                m_state = State::Done;
            break;
        }
        case State::ToEnd: {
            const size_t take = static_cast<size_t>(end - p);
            if (m_body.size() + take > m_maxBody)
                return fail(kZAFError_KeyServerTooLarge,
                            "the answer is larger than " + std::to_string(m_maxBody) + " bytes");
            m_body.append(p, take);
            p = end;
            break;
        }
        case State::ChunkSize: {
            std::string line;
            ZAFError error = kZAFError_NoErr;
            if (!takeLine(p, end, line, error)) {
                if (error != kZAFError_NoErr)
                    return error;
                break;
            }
            // A view into `line` itself: a substring would be a temporary the view outlives.
            const std::string_view sizeText =
                trim(std::string_view(line).substr(0, line.find(';')));
            if (sizeText.empty() || sizeText.size() > 15)
                return fail(kZAFError_KeyServerProtocol, "a chunk size of the answer is not valid");
            uint64_t chunk = 0;
            for (char c : sizeText) {
                int v = -1;
                if (c >= '0' && c <= '9')
                    v = c - '0';
                else if (c >= 'a' && c <= 'f')
                    v = c - 'a' + 10;
                else if (c >= 'A' && c <= 'F')
                    v = c - 'A' + 10;
                if (v < 0)
                    return fail(kZAFError_KeyServerProtocol,
                                "a chunk size of the answer is not valid");
                chunk = chunk * 16 + static_cast<uint64_t>(v);
            }
            if (chunk == 0) {
                m_state = State::Trailer;
            } else {
                if (chunk > m_maxBody - m_body.size())
                    return fail(kZAFError_KeyServerTooLarge, "the answer is larger than " +
                                                                 std::to_string(m_maxBody) +
                                                                 " bytes");
                m_chunkLeft = chunk;
                m_state = State::ChunkData;
            }
            break;
        }
        case State::ChunkData: {
            const size_t take = static_cast<size_t>(
                std::min<uint64_t>(m_chunkLeft, static_cast<uint64_t>(end - p)));
            m_body.append(p, take);
            p += take;
            m_chunkLeft -= take;
            if (m_chunkLeft == 0)
                m_state = State::ChunkEnd;
            break;
        }
        case State::ChunkEnd: {
            std::string line;
            ZAFError error = kZAFError_NoErr;
            if (!takeLine(p, end, line, error)) {
                if (error != kZAFError_NoErr)
                    return error;
                break;
            }
            if (!line.empty())
                return fail(kZAFError_KeyServerProtocol, "a chunk of the answer is malformed");
            m_state = State::ChunkSize;
            break;
        }
        case State::Trailer: {
            // Trailer fields are read and dropped up to the empty line that ends the answer.
            std::string line;
            ZAFError error = kZAFError_NoErr;
            const char* before = p;
            const bool whole = takeLine(p, end, line, error);
            if (error != kZAFError_NoErr)
                return error;
            m_trailerBytes += static_cast<size_t>(p - before);
            if (m_trailerBytes > kMaxHeaderBytes)
                return fail(kZAFError_KeyServerTooLarge, "the trailer of the answer is too long");
            if (whole && line.empty())
                m_state = State::Done;
            break;
        }
        case State::Done:
        case State::Failed:
            break;
        }
    }
    return kZAFError_NoErr;
}

ZAFError AnswerReader::parseHead(std::string_view head) {
    // Status line: "HTTP/1.x NNN reason".
    const size_t eol = head.find('\n');
    std::string_view status = trim(head.substr(0, eol));
    if (status.size() < 12 || !startsNoCase(status, "HTTP/1.") || status[8] != ' ')
        return fail(kZAFError_KeyServerProtocol, "the key server's answer is not HTTP");
    uint64_t code = 0;
    if (!parseDecimal(status.substr(9, 3), code) || code < 100 || code > 599 ||
        (status.size() > 12 && status[12] != ' '))
        return fail(kZAFError_KeyServerProtocol, "the key server's answer has no valid status");
    m_status = static_cast<int>(code);
    m_reason = printable(trim(status.size() > 12 ? status.substr(13) : std::string_view()), 100);
    m_chunked = false;
    m_hasLength = false;
    m_location.clear();
    std::string_view rest =
        eol == std::string_view::npos ? std::string_view() : head.substr(eol + 1);
    while (!rest.empty()) {
        const size_t nl = rest.find('\n');
        std::string_view line = trim(rest.substr(0, nl));
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        if (line.empty())
            continue;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return fail(kZAFError_KeyServerProtocol, "a header line of the answer is malformed");
        const std::string_view name = trim(line.substr(0, colon));
        const std::string_view value = trim(line.substr(colon + 1));
        if (equalNoCase(name, "Content-Length")) {
            uint64_t length = 0;
            if (!parseDecimal(value, length) || (m_hasLength && length != m_length))
                return fail(kZAFError_KeyServerProtocol, "the answer's length is not valid");
            m_hasLength = true;
            m_length = length;
        } else if (equalNoCase(name, "Transfer-Encoding")) {
            if (equalNoCase(value, "chunked"))
                m_chunked = true;
            else if (!equalNoCase(value, "identity"))
                return fail(kZAFError_KeyServerProtocol,
                            "the answer uses a transfer coding that is not understood");
        } else if (equalNoCase(name, "Location")) {
            m_location = std::string(value.substr(0, 2048));
        }
    }
    return headDone();
}

ZAFError AnswerReader::headDone() {
    if (m_status < 200) {
        // An interim answer; the real one follows.
        if (++m_interim > 5)
            return fail(kZAFError_KeyServerProtocol, "the key server sent only interim answers");
        m_state = State::Head;
        return kZAFError_NoErr;
    }
    if (m_status == 204 || m_status == 304) {
        m_state = State::Done;
        return kZAFError_NoErr;
    }
    if (m_chunked) {
        m_state = State::ChunkSize;
    } else if (m_hasLength) {
        if (m_length > m_maxBody)
            return fail(kZAFError_KeyServerTooLarge,
                        "the answer announces " + std::to_string(m_length) +
                            " bytes, more than the limit of " + std::to_string(m_maxBody));
        m_body.reserve(static_cast<size_t>(m_length));
        m_state = m_length == 0 ? State::Done : State::Body;
    } else {
        m_state = State::ToEnd;
    }
    return kZAFError_NoErr;
}

ZAFError AnswerReader::finish() {
    if (m_state == State::Done)
        return kZAFError_NoErr;
    if (m_state == State::ToEnd) {
        m_state = State::Done;
        return kZAFError_NoErr;
    }
    if (m_state == State::Failed)
        return kZAFError_KeyServerProtocol;
    return fail(kZAFError_KeyServerProtocol,
                "the key server closed the connection before the answer was complete");
}

// ---- requests ----

ZAFError get(const Address& address, const std::string& target, const Limits& limits,
             const std::string& caFile, Answer& out, std::string& detail) {
    detail.clear();
    out = Answer();
    const Clock::time_point deadline = Clock::now() + limits.timeout;
    Address at = address;
    std::string path = target;
    try {
        for (int redirects = 0;; ++redirects) {
            AnswerReader reader(limits.maxBodyBytes);
            fetchOnce(at, path, caFile, deadline, reader);
            const int status = reader.status();
            if (status == 301 || status == 302 || status == 303 || status == 307 || status == 308) {
                if (redirects == kMaxRedirects)
                    failWith(kZAFError_KeyServerRedirect, "the key server redirected more than " +
                                                              std::to_string(kMaxRedirects) +
                                                              " times");
                Address next;
                followRedirect(at, reader.location(), next, path);
                at = next;
                continue;
            }
            out.status = status;
            out.body.swap(reader.body());
            if (status >= 400)
                detail =
                    "the key server answered " + std::to_string(status) + " " + reader.reason();
            return kZAFError_NoErr;
        }
    } catch (const Failure& f) {
        detail = f.detail;
        return f.code;
    }
}

} // namespace zaf::hkp
