// keyserver_http: the key server's transport, a bounded HTTP/1.1 client over TCP, with TLS
// (Botan) for hkps://. One request per connection; every answer is bounded in header bytes, body
// bytes and time, and redirects are followed only on the same host.
#ifndef ZAF_KEYSERVER_HTTP_H
#define ZAF_KEYSERVER_HTTP_H

#include <zaf/zafbase.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zaf::hkp {

// Where a key server is: host (a name, an IPv4 address or an IPv6 address without brackets),
// port, TLS or not, and the path prefix put before "/pks/..." ("" or "/something", no trailing
// slash).
struct Address {
    bool tls = false;
    std::string host;
    uint16_t port = 0;
    std::string prefix;
};

// Reads hkp://, hkps://, http:// and https:// addresses (scheme case ignored; user info, queries
// and fragments refused). ldap:// and ldaps:// give kZAFError_KeyServerType, anything else that
// does not parse kZAFError_KeyServerAddress.
ZAFError parseAddress(std::string_view url, Address& out);
// The address as text ("hkps://host:port/prefix"), for messages.
std::string addressText(const Address& address);

struct Limits {
    size_t maxBodyBytes = 16u << 20;
    std::chrono::milliseconds timeout{30000};
};

// Most header bytes (status line and headers) of one answer.
constexpr size_t kMaxHeaderBytes = 64 * 1024;
// Most redirects followed for one request (each on the same host).
constexpr int kMaxRedirects = 3;

// One HTTP answer read from a byte stream, fed in pieces as they arrive. It keeps at most
// kMaxHeaderBytes of header and `maxBodyBytes` of body; interim (1xx) answers are skipped. The
// body is framed by Content-Length, chunked transfer coding, or the end of the stream.
class AnswerReader {
public:
    explicit AnswerReader(size_t maxBodyBytes) : m_maxBody(maxBodyBytes) {}

    // Takes the next bytes. Returns kZAFError_NoErr, kZAFError_KeyServerTooLarge (a body or
    // header beyond its bound) or kZAFError_KeyServerProtocol (not HTTP); after a failure the
    // reader takes nothing more. Bytes after the end of the answer are ignored.
    ZAFError feed(const char* data, size_t size);
    // The stream ended: completes a body that runs to the end, else kZAFError_KeyServerProtocol
    // when the answer is incomplete.
    ZAFError finish();
    bool complete() const { return m_state == State::Done; }

    int status() const { return m_status; }
    const std::string& reason() const { return m_reason; }
    const std::string& location() const { return m_location; }
    std::string& body() { return m_body; }
    // What went wrong, for messages.
    const std::string& problem() const { return m_problem; }

private:
    enum class State { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailer, ToEnd, Done, Failed };
    ZAFError fail(ZAFError code, const std::string& problem);
    ZAFError headDone();
    ZAFError parseHead(std::string_view head);
    // Takes one line of `m_line` growth; true with `line` set once a whole line ("\r\n" or "\n"
    // ended) is there.
    bool takeLine(const char*& p, const char* end, std::string& line, ZAFError& error);

    size_t m_maxBody;
    State m_state = State::Head;
    std::string m_head;
    std::string m_line;
    int m_interim = 0;
    int m_status = 0;
    std::string m_reason;
    std::string m_location;
    bool m_chunked = false;
    bool m_hasLength = false;
    uint64_t m_length = 0;
    uint64_t m_chunkLeft = 0;
    size_t m_trailerBytes = 0;
    std::string m_body;
    std::string m_problem;
};

// What one request got.
struct Answer {
    int status = 0;
    std::string body;
};

// GETs `target` (a path with query, starting with "/"; the address's prefix is put before it)
// within the limits, following at most kMaxRedirects redirects that stay on the same host (to
// the same scheme, or from plain to TLS). TLS certificates are checked against `caFile` (PEM),
// or the system's store when it is empty, and must name the host. Any status is returned in
// `out`, except a redirect that is not followed. On failure `detail` says what happened:
//   kZAFError_KeyServerConnect, kZAFError_KeyServerTimeout, kZAFError_KeyServerTooLarge,
//   kZAFError_KeyServerRedirect, kZAFError_KeyServerCertificate, kZAFError_KeyServerProtocol.
ZAFError get(const Address& address, const std::string& target, const Limits& limits,
             const std::string& caFile, Answer& out, std::string& detail);

// The text with every byte outside printable ASCII as '?', cut to `max` bytes: for messages
// that quote what a server sent.
std::string printable(std::string_view text, size_t max = 200);

} // namespace zaf::hkp

#endif
