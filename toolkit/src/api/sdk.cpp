// sdk: starting and stopping the library and its connection to the background service.
#include "crypto/crypto.h"
#include "handles.h"

#include <zaf/zafcontext.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// How long a connection attempt to the service may take before the library gives up.
constexpr int kConnectTimeoutMs = 2000;

struct LibraryState {
    std::mutex lock;
    unsigned initCount = 0;
    int serviceSocket = -1;
};

LibraryState& state() {
    static LibraryState* instance = new LibraryState;
    return *instance;
}

std::string serviceSocketPath() {
    const char* fromEnv = std::getenv("ORXSDKD_SOCKET");
    return (fromEnv != nullptr && *fromEnv != '\0') ? fromEnv : kZAFServiceSocketPath;
}

// The service's check results are believed as they come, and it is handed descriptors of this
// user's rings, so only a service run by root or by this process's own user is used: one run by
// any other account (a stand-in started under a name the client was pointed at) is refused
// before it receives anything.
bool trustedService(int fd) {
    ucred peer{};
    socklen_t length = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
        return false;
    return peer.uid == 0 || peer.uid == geteuid();
}

// Connects to the service's Unix socket within kConnectTimeoutMs; -1 when it is not there or
// cannot be trusted.
int connectToService() {
    const std::string path = serviceSocketPath();
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return -1;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    int rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (rc != 0 && (errno == EINPROGRESS || errno == EAGAIN)) {
        pollfd waiting{fd, POLLOUT, 0};
        int soError = 0;
        socklen_t soLength = sizeof soError;
        if (poll(&waiting, 1, kConnectTimeoutMs) == 1 &&
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLength) == 0 && soError == 0)
            rc = 0;
    }
    if (rc != 0 || !trustedService(fd)) {
        close(fd);
        return -1;
    }
    // The connection is used in blocking mode from here on.
    const int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

// True when the service has closed the connection (it never speaks unasked, so anything
// readable between requests is its end of the stream).
bool closedByService(int fd) {
    pollfd p{fd, POLLIN | POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && p.revents != 0;
}

// After a fork the connection belongs to the child: it keeps the service state (pinned ring
// versions) the parent built, and one stream must not carry two processes' messages. The parent
// connects anew, or carries on in local mode.
void forkPrepare() { state().lock.lock(); }

void forkParent() {
    LibraryState& s = state();
    if (s.serviceSocket >= 0) {
        close(s.serviceSocket);
        s.serviceSocket = connectToService();
    }
    s.lock.unlock();
}

void forkChild() { state().lock.unlock(); }

} // namespace

namespace zaf {

bool withServiceConnection(const std::function<bool(int)>& exchange) {
    LibraryState& s = state();
    std::lock_guard<std::mutex> hold(s.lock);
    if (s.serviceSocket < 0)
        return false;
    if (closedByService(s.serviceSocket)) {
        // The service closes connections that stay idle; that is no failure: connect anew.
        close(s.serviceSocket);
        s.serviceSocket = connectToService();
        if (s.serviceSocket < 0)
            return false;
    }
    if (exchange(s.serviceSocket))
        return true;
    // A service that failed once is not asked again: the process goes on in local mode.
    close(s.serviceSocket);
    s.serviceSocket = -1;
    return false;
}

} // namespace zaf

extern "C" {

ZAFError ZAFsdkInit(uint32_t flags) {
    return zaf::guard([&]() -> ZAFError {
        if ((flags & ~static_cast<uint32_t>(kZAFFlags_LocalMode)) != 0)
            return kZAFError_BadParams;
        LibraryState& s = state();
        std::lock_guard<std::mutex> hold(s.lock);
        const bool localMode = (flags & kZAFFlags_LocalMode) != 0;
        if (!localMode && s.serviceSocket < 0) {
            static std::once_flag forkHandlers;
            std::call_once(forkHandlers,
                           [] { pthread_atfork(forkPrepare, forkParent, forkChild); });
            const int fd = connectToService();
            if (fd < 0)
                return kZAFError_ServiceNotConnected;
            s.serviceSocket = fd;
        }
        if (s.initCount == 0)
            zaf::reconfigurePool();
        ++s.initCount;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFsdkCleanup(void) {
    return zaf::guard([&]() -> ZAFError {
        LibraryState& s = state();
        std::lock_guard<std::mutex> hold(s.lock);
        if (s.initCount == 0)
            return kZAFError_NotInitialized;
        if (--s.initCount == 0 && s.serviceSocket >= 0) {
            close(s.serviceSocket);
            s.serviceSocket = -1;
        }
        return kZAFError_NoErr;
    });
}

ZAFError ZAFsdkGetInitFlags(uint32_t* outFlags) {
    return zaf::guard([&]() -> ZAFError {
        if (outFlags == nullptr)
            return kZAFError_BadParams;
        LibraryState& s = state();
        std::lock_guard<std::mutex> hold(s.lock);
        if (s.initCount == 0)
            return kZAFError_NotInitialized;
        *outFlags = s.serviceSocket >= 0 ? 0u : static_cast<uint32_t>(kZAFFlags_LocalMode);
        return kZAFError_NoErr;
    });
}

} // extern "C"
