// service_protocol: the messages between toolkit contexts in service mode and the background
// service orxsdkd, over a Unix stream socket.
//
// Every message is a 12-byte header followed by its body:
//   bytes 0-3  magic "ORXS"
//   byte  4    protocol version (1)
//   byte  5    message type
//   bytes 6-7  zero
//   bytes 8-11 body length, big-endian
// Requests (client to service):
//   kOpen    body: flags (bit 0: pin the version while this connection holds it), ring count
//            (1). Exactly that many descriptors come with the message (SCM_RIGHTS): the public
//            ring. A secret ring is never sent: every check is bound to public parts. Reply
//            kOpenReply.
//   kRelease body: the 8-byte entry id a pinning kOpenReply gave. Reply kReleaseReply.
// Replies (service to client):
//   kOpenReply    body: status, entry id (8 bytes, 0 when nothing is pinned), result count
//                 (4 bytes), then per result the 16-byte check digest and one byte (1 good,
//                 0 bad).
//   kReleaseReply body: status.
// All integers are big-endian.
#ifndef ZAF_SERVICE_PROTOCOL_H
#define ZAF_SERVICE_PROTOCOL_H

#include "keystore/keystore.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zaf::svc {

constexpr uint8_t kProtocolVersion = 1;
constexpr size_t kHeaderSize = 12;
constexpr size_t kMaxRequestBody = 64;
// A reply holds at most this many results (17 bytes each, about 68 MiB).
constexpr uint32_t kMaxResults = 4u << 20;
constexpr size_t kMaxReplyBody = 13 + size_t(kMaxResults) * 17;
constexpr int kMaxRings = 1;

enum MessageType : uint8_t {
    kOpen = 1,
    kRelease = 2,
    kOpenReply = 0x81,
    kReleaseReply = 0x82,
};

enum Status : uint8_t {
    kStatusOk = 0,
    kStatusBadRequest = 1, // malformed message or descriptors that are not readable regular files
    kStatusUnreadable = 2, // the rings could not be read or parsed
    kStatusBusy = 3,       // a limit was reached (memory budget, time); nothing cached
};

struct Header {
    uint8_t type = 0;
    uint32_t length = 0;
};

struct Request {
    uint8_t type = 0;
    bool pin = false;
    int ringCount = 0;
    uint64_t entry = 0;
};

using CheckResults = std::vector<std::pair<CheckDigest, bool>>;

std::string encodeHeader(uint8_t type, uint32_t length);
// False for a wrong magic, version, reserved bytes or a length above maxBody.
bool parseHeader(const uint8_t* bytes, size_t maxBody, Header& out);
// Checks a request's body against its type and the number of descriptors that came with it.
bool parseRequest(const Header& header, const uint8_t* body, size_t size, int descriptorCount,
                  Request& out);

std::string encodeOpenReply(uint8_t status, uint64_t entry, const CheckResults& results);
bool parseOpenReply(const uint8_t* body, size_t size, uint8_t& status, uint64_t& entry,
                    CheckResults& results);

// Writes a whole message, with descriptors when `fds` is not empty; false on any failure.
bool sendMessage(int socket, uint8_t type, const std::string& body, const int* fds = nullptr,
                 int fdCount = 0);
// Reads one message: the header, up to kMaxRings descriptors and the body (at most maxBody).
// Every descriptor received is returned in `fds` (the caller closes them), also on failure;
// a message with more descriptors fails and they are closed here.
// `timeoutMs` bounds each wait for data (-1: no bound); `idle` is set when the wait for the
// first byte ran out, so the caller can tell an idle peer from a stalled one.
bool receiveMessage(int socket, size_t maxBody, int timeoutMs, Header& header, std::string& body,
                    std::vector<int>& fds, bool* idle = nullptr);

} // namespace zaf::svc

#endif
