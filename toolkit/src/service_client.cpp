// service_client: passing ring descriptors to orxsdkd and taking its verification results.
#include "service_client.h"

#include "keystore_internal.h"
#include "service_protocol.h"

#include <fcntl.h>
#include <unistd.h>

namespace zaf {

namespace {

// The service verifies a ring it has not seen while the client waits; the 7k corpus takes it
// some seconds on a busy machine. Beyond this bound the client gives up and reads locally.
constexpr int kReplyTimeoutMs = 300000;

void closeAll(std::vector<int>& fds) {
    for (int fd : fds)
        ::close(fd);
    fds.clear();
}

} // namespace

uint64_t serviceOpenRings(const std::string& pubPath, const std::string& secPath) {
    std::vector<int> rings;
    for (const std::string* path : {&pubPath, &secPath}) {
        if (path->empty())
            continue;
        int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) {
            closeAll(rings);
            return 0;
        }
        rings.push_back(fd);
    }
    uint64_t pinned = 0;
    svc::CheckResults results;
    withServiceConnection([&](int socket) {
        const std::string body{char(1), char(rings.size())};
        if (!svc::sendMessage(socket, svc::kOpen, body, rings.data(), int(rings.size())))
            return false;
        svc::Header header;
        std::string reply;
        std::vector<int> stray;
        bool ok =
            svc::receiveMessage(socket, svc::kMaxReplyBody, kReplyTimeoutMs, header, reply, stray);
        const bool clean = stray.empty();
        closeAll(stray);
        uint8_t status = 0;
        if (!ok || !clean || header.type != svc::kOpenReply ||
            !svc::parseOpenReply(reinterpret_cast<const uint8_t*>(reply.data()), reply.size(),
                                 status, pinned, results)) {
            pinned = 0;
            results.clear();
            return false;
        }
        if (status != svc::kStatusOk)
            pinned = 0;
        return true;
    });
    closeAll(rings);
    if (!results.empty())
        seedCachedChecks(results);
    return pinned;
}

void serviceReleaseRings(uint64_t entry) {
    if (entry == 0)
        return;
    withServiceConnection([&](int socket) {
        std::string body;
        for (int shift = 56; shift >= 0; shift -= 8)
            body.push_back(char(uint8_t(entry >> shift)));
        if (!svc::sendMessage(socket, svc::kRelease, body))
            return false;
        svc::Header header;
        std::string reply;
        std::vector<int> stray;
        bool ok = svc::receiveMessage(socket, 16, kReplyTimeoutMs, header, reply, stray);
        const bool clean = stray.empty();
        closeAll(stray);
        return ok && clean && header.type == svc::kReleaseReply && reply.size() == 1;
    });
}

} // namespace zaf
