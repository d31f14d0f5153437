// Fuzz target: orxsdkd's request reading (framing over a real socket, the header and body
// bounds, the request parser with 0-2 descriptors passed) and the client's open-reply parser.
// Input: byte 0 picks the number of descriptors sent along; the rest is what the peer writes.
#include "fuzz_support.h"
#include "service/service_protocol.h"

#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace zaf::svc;
    if (size == 0 || size > 65536)
        return 0;
    const int fdCount = data[0] % 3;
    const std::string wire(reinterpret_cast<const char*>(data) + 1, size - 1);

    int pair[2];
    orxfuzz::require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0);
    int sendBuffer = 1 << 20;
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    int passed[2] = {open("/dev/null", O_RDONLY | O_CLOEXEC),
                     open("/dev/null", O_RDONLY | O_CLOEXEC)};
    if (!wire.empty()) {
        msghdr msg{};
        iovec part{const_cast<char*>(wire.data()), wire.size()};
        msg.msg_iov = &part;
        msg.msg_iovlen = 1;
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof passed)];
        if (fdCount > 0) {
            msg.msg_control = control;
            msg.msg_controllen = CMSG_SPACE(sizeof(int) * size_t(fdCount));
            cmsghdr* c = CMSG_FIRSTHDR(&msg);
            c->cmsg_level = SOL_SOCKET;
            c->cmsg_type = SCM_RIGHTS;
            c->cmsg_len = CMSG_LEN(sizeof(int) * size_t(fdCount));
            std::memcpy(CMSG_DATA(c), passed, sizeof(int) * size_t(fdCount));
        }
        orxfuzz::require(sendmsg(pair[0], &msg, MSG_NOSIGNAL) == ssize_t(wire.size()));
    }
    close(pair[0]);

    Header header;
    std::string body;
    std::vector<int> fds;
    if (receiveMessage(pair[1], kMaxRequestBody, 1000, header, body, fds)) {
        orxfuzz::require(body.size() == header.length && body.size() <= kMaxRequestBody);
        orxfuzz::require(encodeHeader(header.type, header.length) + body ==
                         wire.substr(0, kHeaderSize + body.size()));
        Request request;
        if (parseRequest(header, reinterpret_cast<const uint8_t*>(body.data()), body.size(),
                         int(fds.size()), request)) {
            orxfuzz::require(request.type == kOpen || request.type == kRelease);
            orxfuzz::require(request.type != kOpen || request.ringCount == int(fds.size()));
            orxfuzz::require(request.type != kRelease || request.entry != 0);
        }
    }
    orxfuzz::require(fds.size() <= size_t(kMaxRings));
    for (int fd : fds)
        close(fd);
    close(pair[1]);
    close(passed[0]);
    close(passed[1]);

    uint8_t status = 0;
    uint64_t entry = 0;
    CheckResults results;
    if (parseOpenReply(data, size, status, entry, results)) {
        orxfuzz::require(encodeOpenReply(status, entry, results) ==
                         std::string(reinterpret_cast<const char*>(data), size));
    }
    return 0;
}
