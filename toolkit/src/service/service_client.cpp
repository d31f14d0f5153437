// service_client: passing ring descriptors to orxsdkd and taking its verification results.
#include "service_client.h"

#include "keystore/keystore.h"
#include "service_protocol.h"

#include <unistd.h>

namespace zaf {

uint64_t serviceOpenRing(int pubFd) {
    uint64_t pinned = 0;
    svc::CheckResults results;
    withServiceConnection([&](int socket) {
        const std::string body{char(1), char(1)};
        if (!svc::sendMessage(socket, svc::kOpen, body, &pubFd, 1))
            return false;
        svc::Header header;
        std::string reply;
        std::vector<int> stray;
        bool ok = svc::receiveMessage(socket, svc::kMaxReplyBody, kServiceReplyTimeoutMs, header,
                                      reply, stray);
        const bool clean = stray.empty();
        for (int fd : stray)
            ::close(fd);
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
        bool ok = svc::receiveMessage(socket, 16, kServiceReplyTimeoutMs, header, reply, stray);
        const bool clean = stray.empty();
        for (int fd : stray)
            ::close(fd);
        return ok && clean && header.type == svc::kReleaseReply && reply.size() == 1;
    });
}

} // namespace zaf
