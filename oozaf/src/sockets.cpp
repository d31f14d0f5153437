// sockets: IPv4 TCP sockets.
#include <oozaf/logger.h>
#include <oozaf/sockets.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace oozaf {

CZAFAbstractSocket::~CZAFAbstractSocket() {
    try {
        CZAFAbstractSocket::close();
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_ERROR(e->getDetailedMessage());
    }
}

void CZAFAbstractSocket::closeDescriptor() {
    if (m_closed)
        return;
    if (m_descriptor >= 0 && ::close(m_descriptor) != 0)
        throw new CZAFSocketControlException(eReasonSocketClose, errno);
    m_descriptor = -1;
    m_closed = true;
}

void CZAFAbstractSocket::close() { closeDescriptor(); }

CZAFServerSocket::CZAFServerSocket() {
    m_descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (m_descriptor == -1)
        throw new CZAFSocketControlException(eReasonSocketCreate, errno);
}

void CZAFServerSocket::bind(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    if (::bind(m_descriptor, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
        throw new CZAFSocketControlException(eReasonSocketBind, errno);
}

void CZAFServerSocket::listen() {
    if (::listen(m_descriptor, 5) != 0)
        throw new CZAFSocketControlException(eReasonSocketListen, errno);
}

int CZAFServerSocket::acceptInternal() {
    int descriptor;
    do {
        descriptor = ::accept4(m_descriptor, nullptr, nullptr, SOCK_CLOEXEC);
    } while (descriptor == -1 && errno == EINTR);
    if (descriptor == -1)
        throw new CZAFSocketControlException(eReasonSocketAccept, errno);
    return descriptor;
}

CZAFSocket* CZAFServerSocket::accept() {
    int descriptor = acceptInternal();
    try {
        return new CZAFSocket(descriptor);
    } catch (...) {
        ::close(descriptor);
        throw;
    }
}

void CZAFServerSocket::close() { CZAFAbstractSocket::close(); }

uint16_t CZAFServerSocket::getLocalPort() const {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (::getsockname(m_descriptor, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw new CZAFSocketControlException(eReasonSocketBind, errno);
    return ntohs(address.sin_port);
}

int CZAFSocket::read(void* buffer, unsigned int length) {
    ZAF_ASSERT_TAG("sockets", buffer != nullptr);
    ZAF_ASSERT_TAG("sockets", length != 0);
    ssize_t count;
    do {
        count = ::recv(m_descriptor, buffer, length, 0);
    } while (count == -1 && errno == EINTR);
    if (count == -1)
        throw new CZAFSocketIOException(errno);
    ZAF_ASSERT_TAG("sockets", count >= 0);
    return static_cast<int>(count);
}

int CZAFSocket::write(const void* buffer, unsigned int length) {
    ZAF_ASSERT_TAG("sockets", buffer != nullptr);
    ZAF_ASSERT_TAG("sockets", length != 0);
    ssize_t count;
    // MSG_NOSIGNAL: a peer that went away costs this connection an error, not the process.
    do {
        count = ::send(m_descriptor, buffer, length, MSG_NOSIGNAL);
    } while (count == -1 && errno == EINTR);
    if (count == -1)
        throw new CZAFSocketIOException(errno);
    ZAF_ASSERT_TAG("sockets", count >= 0);
    return static_cast<int>(count);
}

void CZAFSocket::writeAll(const void* buffer, unsigned int length) {
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    while (length > 0) {
        int sent = write(bytes, length);
        bytes += sent;
        length -= static_cast<unsigned int>(sent);
    }
}

bool CZAFSocket::readAll(void* buffer, unsigned int length) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    unsigned int done = 0;
    while (done < length) {
        int count = read(bytes + done, length - done);
        if (count == 0) {
            if (done == 0)
                return false;
            throw new CZAFSocketIOException(ECONNRESET);
        }
        done += static_cast<unsigned int>(count);
    }
    return true;
}

void CZAFSocket::shutdownInput() {
    if (::shutdown(m_descriptor, SHUT_RD) != 0)
        throw new CZAFSocketControlException(eReasonSocketShutdownInput, errno);
}

void CZAFSocket::shutdownOutput() {
    if (::shutdown(m_descriptor, SHUT_WR) != 0)
        throw new CZAFSocketControlException(eReasonSocketShutdownOutput, errno);
}

void CZAFSocket::setDontLinger() {
    linger option{};
    option.l_onoff = 0;
    option.l_linger = 0;
    if (::setsockopt(m_descriptor, SOL_SOCKET, SO_LINGER, &option, sizeof(option)) != 0)
        throw new CZAFSocketControlException(eReasonSocketLinger, errno);
}

void CZAFSocket::close() {
    if (isClosed())
        return;
    auto attempt = [](auto&& step) {
        try {
            step();
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard guard(e);
            ZAF_LOG_WARNING("WARNING: Unable to gracefully close socket:\n" << *e << "\n");
        }
    };
    attempt([this] { shutdownInput(); });
    attempt([this] { shutdownOutput(); });
    CZAFAbstractSocket::close();
}

int CZAFSocket::connectDescriptor(const char* host, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (host == nullptr || ::inet_pton(AF_INET, host, &address.sin_addr) != 1)
        throw new CZAFSocketControlException(eReasonSocketCreate, EINVAL);
    int descriptor = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (descriptor == -1)
        throw new CZAFSocketControlException(eReasonSocketCreate, errno);
    int rc;
    do {
        rc = ::connect(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int error = errno;
        ::close(descriptor);
        throw new CZAFSocketIOException(error);
    }
    return descriptor;
}

CZAFSocket* CZAFSocket::connectTo(const char* host, uint16_t port) {
    const int descriptor = connectDescriptor(host, port);
    try {
        return new CZAFSocket(descriptor);
    } catch (...) {
        ::close(descriptor);
        throw;
    }
}

int CZAFSocket::getLastError() { return errno; }

} // namespace oozaf
