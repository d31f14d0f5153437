// service_protocol: framing, parsing and descriptor passing of the service's messages.
#include "service_protocol.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zaf::svc {

namespace {

constexpr uint8_t kMagic[4] = {'O', 'R', 'X', 'S'};

void putU32(std::string& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(char(uint8_t(v >> shift)));
}

void putU64(std::string& out, uint64_t v) {
    for (int shift = 56; shift >= 0; shift -= 8)
        out.push_back(char(uint8_t(v >> shift)));
}

uint64_t getBE(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | p[i];
    return v;
}

// Waits until `socket` is readable; false when the time ran out or the wait failed.
bool waitReadable(int socket, int timeoutMs) {
    pollfd p{socket, POLLIN, 0};
    for (;;) {
        int rc = poll(&p, 1, timeoutMs);
        if (rc > 0)
            return true;
        if (rc == 0 || errno != EINTR)
            return false;
    }
}

bool readExact(int socket, uint8_t* to, size_t size, int timeoutMs) {
    size_t done = 0;
    while (done < size) {
        if (!waitReadable(socket, timeoutMs))
            return false;
        ssize_t n = recv(socket, to + done, size - done, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

} // namespace

std::string encodeHeader(uint8_t type, uint32_t length) {
    std::string out(reinterpret_cast<const char*>(kMagic), 4);
    out.push_back(char(kProtocolVersion));
    out.push_back(char(type));
    out.push_back('\0');
    out.push_back('\0');
    putU32(out, length);
    return out;
}

bool parseHeader(const uint8_t* bytes, size_t maxBody, Header& out) {
    if (std::memcmp(bytes, kMagic, 4) != 0 || bytes[4] != kProtocolVersion || bytes[6] != 0 ||
        bytes[7] != 0)
        return false;
    out.type = bytes[5];
    out.length = uint32_t(getBE(bytes + 8, 4));
    return out.length <= maxBody;
}

bool parseRequest(const Header& header, const uint8_t* body, size_t size, int descriptorCount,
                  Request& out) {
    out = Request{};
    out.type = header.type;
    if (size != header.length)
        return false;
    switch (header.type) {
    case kOpen:
        if (size != 2 || (body[0] & ~1u) != 0 || body[1] < 1 || body[1] > kMaxRings ||
            descriptorCount != body[1])
            return false;
        out.pin = (body[0] & 1u) != 0;
        out.ringCount = body[1];
        return true;
    case kRelease:
        if (size != 8 || descriptorCount != 0)
            return false;
        out.entry = getBE(body, 8);
        return out.entry != 0;
    default:
        return false;
    }
}

std::string encodeOpenReply(uint8_t status, uint64_t entry, const CheckResults& results) {
    std::string out;
    out.reserve(13 + results.size() * 17);
    out.push_back(char(status));
    putU64(out, entry);
    putU32(out, uint32_t(results.size()));
    for (const auto& r : results) {
        out.append(reinterpret_cast<const char*>(r.first.data()), r.first.size());
        out.push_back(r.second ? '\1' : '\0');
    }
    return out;
}

bool parseOpenReply(const uint8_t* body, size_t size, uint8_t& status, uint64_t& entry,
                    CheckResults& results) {
    results.clear();
    if (size < 13)
        return false;
    status = body[0];
    entry = getBE(body + 1, 8);
    uint64_t count = getBE(body + 9, 4);
    if (count > kMaxResults || size != 13 + count * 17)
        return false;
    results.resize(size_t(count));
    const uint8_t* p = body + 13;
    for (auto& r : results) {
        std::memcpy(r.first.data(), p, r.first.size());
        if (p[16] > 1)
            return false;
        r.second = p[16] == 1;
        p += 17;
    }
    return true;
}

bool sendMessage(int socket, uint8_t type, const std::string& body, const int* fds, int fdCount) {
    if (body.size() > UINT32_MAX || fdCount < 0 || fdCount > kMaxRings)
        return false;
    std::string header = encodeHeader(type, uint32_t(body.size()));
    iovec parts[2] = {{header.data(), header.size()},
                      {const_cast<char*>(body.data()), body.size()}};
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = body.empty() ? 1 : 2;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxRings)];
    if (fdCount > 0) {
        std::memset(control, 0, sizeof control);
        msg.msg_control = control;
        msg.msg_controllen = CMSG_SPACE(sizeof(int) * size_t(fdCount));
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * size_t(fdCount));
        std::memcpy(CMSG_DATA(c), fds, sizeof(int) * size_t(fdCount));
    }
    size_t total = header.size() + body.size(), sent = 0;
    while (sent < total) {
        ssize_t n = sendmsg(socket, &msg, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += size_t(n);
        // Descriptors travel with the first byte; the rest is plain data.
        msg.msg_control = nullptr;
        msg.msg_controllen = 0;
        size_t skip = size_t(n);
        while (msg.msg_iovlen > 0 && skip >= msg.msg_iov[0].iov_len) {
            skip -= msg.msg_iov[0].iov_len;
            ++msg.msg_iov;
            --msg.msg_iovlen;
        }
        if (msg.msg_iovlen > 0) {
            msg.msg_iov[0].iov_base = static_cast<char*>(msg.msg_iov[0].iov_base) + skip;
            msg.msg_iov[0].iov_len -= skip;
        }
    }
    return true;
}

bool receiveMessage(int socket, size_t maxBody, int timeoutMs, Header& header, std::string& body,
                    std::vector<int>& fds, bool* idle) {
    if (idle != nullptr)
        *idle = false;
    uint8_t head[kHeaderSize];
    if (!waitReadable(socket, timeoutMs)) {
        if (idle != nullptr)
            *idle = true;
        return false;
    }
    iovec part{head, kHeaderSize};
    msghdr msg{};
    msg.msg_iov = &part;
    msg.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxRings)];
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n;
    do {
        n = recvmsg(socket, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n <= 0)
        return false;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS || c->cmsg_len < CMSG_LEN(0))
            continue;
        size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
            fds.push_back(fd);
        }
    }
    // More descriptors than a message may carry (a cut list, or more than kMaxRings in the room
    // the alignment leaves) make the whole message invalid; they are closed here.
    if ((msg.msg_flags & MSG_CTRUNC) != 0 || fds.size() > size_t(kMaxRings)) {
        for (int fd : fds)
            close(fd);
        fds.clear();
        return false;
    }
    if (size_t(n) < kHeaderSize && !readExact(socket, head + n, kHeaderSize - size_t(n), timeoutMs))
        return false;
    if (!parseHeader(head, maxBody, header))
        return false;
    body.assign(header.length, '\0');
    return readExact(socket, reinterpret_cast<uint8_t*>(body.data()), body.size(), timeoutMs);
}

} // namespace zaf::svc
