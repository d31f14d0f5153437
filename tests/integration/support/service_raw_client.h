// service_raw_client: speaks orxsdkd's protocol by hand, for tests that need what the toolkit's
// client never does (descriptors it would not pass, a request left waiting, a client that leaves).
#ifndef ORX_INTEGRATION_SERVICE_RAW_CLIENT_H
#define ORX_INTEGRATION_SERVICE_RAW_CLIENT_H

#include "service/service_protocol.h"

#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace orxtest {

// A connection to the service's socket; -1 when none.
inline int connectTo(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends an open request (pinning) with the descriptors.
inline bool sendOpen(int socket, const std::vector<int>& fds) {
    const std::string body{char(1), char(fds.size())};
    return zaf::svc::sendMessage(socket, zaf::svc::kOpen, body, fds.data(), int(fds.size()));
}

// Sends an open request for the ring at `path`, opened here for reading.
inline bool sendOpen(int socket, const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool sent = fd >= 0 && sendOpen(socket, std::vector<int>{fd});
    if (fd >= 0)
        close(fd);
    return sent;
}

// The reply to an open request: its status and result count (status 255 when none came).
inline std::pair<int, size_t> openReply(int socket, int timeoutMs = 120000) {
    zaf::svc::Header header;
    std::string reply;
    std::vector<int> stray;
    const bool received =
        zaf::svc::receiveMessage(socket, zaf::svc::kMaxReplyBody, timeoutMs, header, reply, stray);
    for (int fd : stray)
        close(fd);
    uint8_t status = 0;
    uint64_t entry = 0;
    zaf::svc::CheckResults results;
    if (!received || !zaf::svc::parseOpenReply(reinterpret_cast<const uint8_t*>(reply.data()),
                                               reply.size(), status, entry, results))
        return {255, 0};
    return {status, results.size()};
}

// An open request and its reply.
inline std::pair<int, size_t> rawOpen(int socket, const std::vector<int>& fds) {
    return sendOpen(socket, fds) ? openReply(socket) : std::make_pair(255, size_t(0));
}

} // namespace orxtest

#endif
