// adminclient: connection, first byte, handshake, login and frames.
#include "adminclient.h"

#include "adminrequests.h"

#include <oozaf/secsocket.h>
#include <zaf/zaf.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace vornadmin {

using oozaf::CZAFThrowable;
using oozaf::CZAFThrowableGuard;

namespace {

// Wraps a caught library throwable as the root of a client failure.
[[noreturn]] void rethrowAs(const std::string& message, CZAFThrowable* cause) {
    oozaf::gRethrowAs<CAdminException>(cause, message);
}

std::string describeErrno(int error) { return std::strerror(error); }

// Closes a descriptor that no socket object owns yet.
struct SDescriptor {
    int fd = -1;
    ~SDescriptor() {
        if (fd >= 0)
            ::close(fd);
    }
    int release() {
        int out = fd;
        fd = -1;
        return out;
    }
};

// Waits for `events`; returns false when the time limit passed (0: no limit).
bool waitFor(int fd, short events, unsigned int limitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    for (;;) {
        int wait = -1;
        if (limitMs != 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0)
                return false;
            wait = static_cast<int>(std::min<long long>(left, 60000));
        }
        pollfd entry{fd, events, 0};
        int rc = ::poll(&entry, 1, wait);
        if (rc > 0)
            return true;
        if (rc < 0 && errno != EINTR)
            throw new CAdminException("Waiting for the listener failed: " + describeErrno(errno));
    }
}

sockaddr_in resolve(const std::string& host, uint16_t port) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr)
        throw new CAdminException("Cannot resolve host '" + host +
                                  "': " + (rc != 0 ? gai_strerror(rc) : "no IPv4 address"));
    sockaddr_in address{};
    std::memcpy(&address, found->ai_addr, sizeof(address));
    ::freeaddrinfo(found);
    address.sin_port = htons(port);
    return address;
}

void setSocketTimeouts(int fd, unsigned int milliseconds) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(milliseconds / 1000);
    limit.tv_usec = static_cast<suseconds_t>(milliseconds % 1000) * 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
}

// Connects to the web console's socket at `path`, whose listening end must be root's.
int connectUnixDescriptor(const SConnectOptions& options) {
    const std::string& path = options.unixSocket;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw new CAdminException("The socket path '" + path + "' is too long");
    std::memcpy(address.sun_path, path.data(), path.size());
    SDescriptor fd;
    fd.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd.fd < 0)
        throw new CAdminException("Cannot create a socket: " + describeErrno(errno));
    setSocketTimeouts(fd.fd, options.timeoutMs);
    int rc;
    do {
        rc = ::connect(fd.fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0)
        throw new CAdminException("Cannot connect to " + path + ": " + describeErrno(errno));
    ucred peer{};
    socklen_t length = sizeof peer;
    if (::getsockopt(fd.fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 || peer.uid != 0)
        throw new CAdminException("The socket " + path +
                                  " is not the listener's: root does not listen on it");
    return fd.release();
}

int connectDescriptor(const SConnectOptions& options) {
    if (!options.unixSocket.empty())
        return connectUnixDescriptor(options);
    sockaddr_in address = resolve(options.host, options.port);
    SDescriptor fd;
    fd.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
    if (fd.fd < 0)
        throw new CAdminException("Cannot create a socket: " + describeErrno(errno));
    const std::string where = options.host + ":" + std::to_string(options.port);
    if (!options.sourceAddress.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (::inet_pton(AF_INET, options.sourceAddress.c_str(), &local.sin_addr) != 1 ||
            ::bind(fd.fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0)
            throw new CAdminException("Cannot connect from " + options.sourceAddress);
    }
    if (::connect(fd.fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        if (errno != EINPROGRESS && errno != EINTR)
            throw new CAdminException("Cannot connect to " + where + ": " + describeErrno(errno));
        if (!waitFor(fd.fd, POLLOUT, options.timeoutMs))
            throw new CAdminException("Timed out connecting to " + where);
        int error = 0;
        socklen_t length = sizeof(error);
        if (::getsockopt(fd.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        if (error != 0)
            throw new CAdminException("Cannot connect to " + where + ": " + describeErrno(error));
    }
    int flags = ::fcntl(fd.fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd.fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        throw new CAdminException("Cannot set up the socket: " + describeErrno(errno));
    setSocketTimeouts(fd.fd, options.timeoutMs);
    return fd.release();
}

// The text for a failed receive or send; a socket time-out says so.
std::string ioFailure(const char* what, const CZAFThrowable* cause) {
    for (const CZAFThrowable* t = cause; t != nullptr; t = t->getRoot())
        if (const auto* os = dynamic_cast<const oozaf::CZAFOSException*>(t))
            if (os->getErrno() == EAGAIN || os->getErrno() == EWOULDBLOCK)
                return std::string("Timed out ") + what;
    return std::string("Connection failed while ") + what;
}

} // namespace

const SXmlElement* SReply::body() const {
    bool afterError = false;
    for (const SXmlElement& child : root.children) {
        if (afterError)
            return &child;
        if (child.name == "error")
            afterError = true;
    }
    return nullptr;
}

namespace {

int replyRC(const std::string& rc) {
    if (rc.empty() || rc.size() > 9 || rc.find_first_not_of("0123456789") != std::string::npos)
        throw new CAdminException("The reply has no valid 'rc' attribute: '" + rc + "'");
    return std::stoi(rc);
}

[[noreturn]] void refuseRoot(const std::string& name) {
    throw new CAdminException("The reply's root element is '" + name + "', not 'response'");
}

[[noreturn]] void refuseNoError() {
    throw new CAdminException("The reply does not start with an 'error' element");
}

} // namespace

SReply gParseReply(const std::string& xml) {
    SReply reply;
    reply.root = gParseXml(xml);
    reply.xml = xml;
    if (reply.root.name != "response")
        refuseRoot(reply.root.name);
    reply.rc = replyRC(reply.root.get("rc"));
    if (reply.root.children.empty() || reply.root.children.front().name != "error")
        refuseNoError();
    reply.error = reply.root.children.front().text;
    reply.errorKind = reply.root.children.front().get("kind");
    return reply;
}

SReplyHead gReadReplyHead(CXmlPullReader& reader) {
    using eEvent = CXmlPullReader::eEvent;
    SReplyHead head;
    eEvent event = reader.next();
    if (event != eEvent::eStart)
        throw new CAdminException("Invalid XML: no root element");
    if (reader.name() != "response")
        refuseRoot(reader.name());
    const std::string* rc = reader.find("rc");
    head.rc = replyRC(rc != nullptr ? *rc : std::string());
    // The first element must be "error"; text around it does not count.
    while ((event = reader.next()) == eEvent::eText) {
    }
    if (event != eEvent::eStart || reader.name() != "error")
        refuseNoError();
    if (const std::string* kind = reader.find("kind"))
        head.errorKind = *kind;
    // Its own text, not that of elements inside it.
    for (;;) {
        event = reader.next();
        if (event == eEvent::eText && reader.depth() == 2)
            head.error += reader.text();
        else if (event == eEvent::eStart)
            reader.skipElement();
        else if (event == eEvent::eEnd)
            break;
    }
    while ((event = reader.next()) == eEvent::eText) {
    }
    if (event == eEvent::eStart) {
        head.hasBody = true;
        head.body = reader.name();
    }
    return head;
}

void gFinishReply(CXmlPullReader& reader) {
    while (reader.next() != CXmlPullReader::eEvent::eDone) {
    }
}

std::unique_ptr<CAdminConnection> CAdminConnection::connect(const SConnectOptions& options) {
    using ePolicy = SConnectOptions::eHostKeyPolicy;
    if (options.hostKeyPolicy == ePolicy::eIgnore || !options.unixSocket.empty())
        return open(options, nullptr);
    const std::string listener = options.host + ":" + std::to_string(options.port);
    if (options.hostKeyPolicy == ePolicy::eStrict && !options.pinnedHostKey.publicKey.empty()) {
        SHostKey named = options.pinnedHostKey;
        named.listener = listener;
        return open(options, &named);
    }
    const CKnownHosts hosts(options.knownHostsFile.empty() ? gDefaultKnownHostsFile()
                                                           : options.knownHostsFile);
    SHostKey known;
    if (!hosts.find(listener, known)) {
        if (options.hostKeyPolicy == ePolicy::eStrict)
            throw new CAdminException("The listener " + listener + " is not in " + hosts.path() +
                                      "; its host key is not known");
        // First contact: the listener names its key on a connection of its own.
        std::unique_ptr<CAdminConnection> probe = open(options, nullptr);
        // A plain listener (open() let it through: allowPlain) has no key to pin.
        if (!probe->isSecure())
            return probe;
        known = probe->fetchHostKey();
        known.listener = listener;
        probe->close();
        if (options.hostKeyPolicy == ePolicy::eAsk &&
            !(options.confirmHostKey && options.confirmHostKey(known)))
            throw new CAdminException("The host key of " + listener + " was not accepted");
        hosts.add(known);
    }
    return open(options, &known);
}

SHostKey CAdminConnection::fetchHostKey() {
    SReply reply = request("<command type=\"host-key\"><data/></command>");
    const SXmlElement* body = reply.body();
    if (!reply.ok() || body == nullptr || body->name != "host-key" || body->text.empty())
        throw new CAdminException("The listener sent no host key");
    SHostKey key;
    key.listener = m_options.host + ":" + std::to_string(m_options.port);
    key.publicKey = body->text;
    ZAFContextRef context = m_context != nullptr ? m_context : m_options.context;
    if (!m_secure || context == nullptr)
        throw new CAdminException("A host key travels only over the secure channel");
    ZAFKeyDBRef db = gLoadHostKey(context, key.publicKey, key.fingerprint);
    ZAFFreeKeyDB(db);
    return key;
}

std::unique_ptr<CAdminConnection> CAdminConnection::open(const SConnectOptions& options,
                                                         const SHostKey* pinned) {
    using ePolicy = SConnectOptions::eHostKeyPolicy;
    const bool pinning = options.hostKeyPolicy != ePolicy::eIgnore;
    std::unique_ptr<CAdminConnection> connection(new CAdminConnection());
    connection->m_options = options;
    connection->m_options.passphrase.clear();
    SDescriptor fd;
    fd.fd = connectDescriptor(options);

    unsigned char first = 0xFF;
    if (!waitFor(fd.fd, POLLIN, options.timeoutMs))
        throw new CAdminException("Timed out waiting for the listener's first byte");
    ssize_t count;
    do {
        count = ::recv(fd.fd, &first, 1, 0);
    } while (count < 0 && errno == EINTR);
    if (count < 0)
        throw new CAdminException("Cannot read the listener's first byte: " + describeErrno(errno));
    if (count == 0)
        throw new CAdminException("The listener closed the connection before its first byte");
    if (first == 0) {
        // The web console's socket is plain by design (see SConnectOptions::unixSocket).
        if (options.unixSocket.empty() &&
            (options.requireSecure || (pinning && !options.allowPlain)))
            throw new CAdminException(
                "The listener offers only a plain connection, and a secure one is required");
        connection->m_socket = new oozaf::CZAFSocket(fd.release());
        return connection;
    }
    if (first != 1)
        throw new CAdminException("Unexpected first byte from the listener: " +
                                  std::to_string(first));

    auto* secure = new oozaf::CZAFSecSocket(fd.release());
    connection->m_socket = secure;
    connection->m_secure = true;
    secure->setHandshakeTimeout(options.timeoutMs);
    ZAFContextRef context = options.context;
    if (context == nullptr) {
        if (ZAFsdkInit(kZAFFlags_LocalMode) != 0)
            throw new CAdminException("Cannot start the toolkit for the secure channel");
        connection->m_sdkStarted = true;
        if (ZAFNewContext(&connection->m_context) != 0)
            throw new CAdminException("Cannot create a toolkit context for the secure channel");
        connection->m_ownContext = true;
        context = connection->m_context;
    }
    ZAFKeyDBRef keyDB = options.keyDB;
    struct SOwnedDB {
        ZAFKeyDBRef db = nullptr;
        ~SOwnedDB() {
            if (db != nullptr)
                ZAFFreeKeyDB(db);
        }
    } pinnedDB;
    if (pinned != nullptr) {
        std::string fingerprint;
        pinnedDB.db = gLoadHostKey(context, pinned->publicKey, fingerprint);
        keyDB = pinnedDB.db;
        secure->setRequirePeerKey(true);
        connection->m_hostKey = *pinned;
    }
    try {
        secure->clientHandshake(nullptr, context, keyDB, options.ownKey, options.passphrase);
    } catch (CZAFThrowable* e) {
        if (pinned != nullptr)
            rethrowAs("The listener's host key has changed, or something in the path is "
                      "posing as the listener: its handshake is not signed by the key pinned "
                      "for " +
                          pinned->listener + " (fingerprint " + pinned->fingerprint +
                          "). Refusing to go on. If the key was changed on purpose, remove "
                          "the listener's line from the known-hosts file",
                      e);
        rethrowAs("The secure handshake with the listener failed", e);
    }
    return connection;
}

CAdminConnection::~CAdminConnection() {
    delete m_socket;
    if (m_ownContext)
        ZAFFreeContext(m_context);
    if (m_sdkStarted)
        ZAFsdkCleanup();
}

std::string CAdminConnection::encodeLength(uint32_t length) {
    std::string out(4, '\0');
    out[0] = static_cast<char>((length >> 24) & 0xFF);
    out[1] = static_cast<char>((length >> 16) & 0xFF);
    out[2] = static_cast<char>((length >> 8) & 0xFF);
    out[3] = static_cast<char>(length & 0xFF);
    return out;
}

void CAdminConnection::writeRaw(const void* data, size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    try {
        while (length > 0) {
            const auto chunk =
                static_cast<unsigned int>(std::min<size_t>(length, 16u * 1024 * 1024));
            int sent = m_socket->write(bytes, chunk);
            if (sent <= 0)
                throw new CAdminException("The listener stopped accepting data");
            bytes += sent;
            length -= static_cast<size_t>(sent);
        }
    } catch (CAdminException*) {
        throw;
    } catch (CZAFThrowable* e) {
        rethrowAs(ioFailure("sending to the listener", e), e);
    }
}

void CAdminConnection::sendFrame(const std::string& payload) {
    if (payload.size() > UINT32_MAX)
        throw new CAdminException("Request too long");
    std::string frame = encodeLength(static_cast<uint32_t>(payload.size()));
    frame += payload;
    try {
        writeRaw(frame.data(), frame.size());
    } catch (...) {
        gWipe(frame);
        throw;
    }
    gWipe(frame);
}

size_t CAdminConnection::readSome(unsigned char* buffer, size_t length, bool atStart) {
    try {
        const auto want = static_cast<unsigned int>(std::min<size_t>(length, 1u << 20));
        const int count = m_socket->read(buffer, want);
        if (count == 0) {
            if (atStart)
                return 0;
            throw new CAdminException("The listener closed the connection in the middle of a "
                                      "reply");
        }
        return static_cast<size_t>(count);
    } catch (CAdminException*) {
        throw;
    } catch (oozaf::CZAFSecSocketException* e) {
        // The secure channel reports a closed peer as a failure; before the first byte of a
        // frame it is the same orderly end as a plain socket's empty read.
        if (e->getMessage() == "Incoming connection closed prematurely") {
            if (atStart) {
                delete e;
                return 0;
            }
            rethrowAs("The listener closed the connection in the middle of a reply", e);
        }
        rethrowAs(ioFailure("reading from the listener", e), e);
    } catch (CZAFThrowable* e) {
        rethrowAs(ioFailure("reading from the listener", e), e);
    }
}

bool CAdminConnection::readExactly(unsigned char* buffer, size_t length) {
    size_t done = 0;
    while (done < length) {
        const size_t count = readSome(buffer + done, length - done, done == 0);
        if (count == 0)
            return false;
        done += count;
    }
    return true;
}

bool CAdminConnection::readFrameLength(uint32_t& length) {
    m_replyLeft = 0;
    unsigned char header[4];
    if (!readExactly(header, sizeof(header)))
        return false;
    length = (uint32_t(header[0]) << 24) | (uint32_t(header[1]) << 16) |
             (uint32_t(header[2]) << 8) | uint32_t(header[3]);
    if (length > m_options.maxReply)
        throw new CAdminException("The listener announced a reply of " + std::to_string(length) +
                                  " bytes, more than the limit of " +
                                  std::to_string(m_options.maxReply));
    m_replyLeft = length;
    return true;
}

size_t CAdminConnection::readReply(char* buffer, size_t capacity) {
    if (m_replyLeft == 0 || capacity == 0)
        return 0;
    const size_t count = readSome(reinterpret_cast<unsigned char*>(buffer),
                                  std::min<size_t>(capacity, m_replyLeft), false);
    m_replyLeft -= static_cast<uint32_t>(count);
    return count;
}

CXmlPullReader::Source CAdminConnection::replySource() {
    return [this](char* buffer, size_t capacity) { return readReply(buffer, capacity); };
}

void CAdminConnection::readReplyInto(std::string& payload) {
    // Grow with what arrives instead of trusting the announced length up front.
    payload.reserve(std::min<uint32_t>(m_replyLeft, 1u << 20));
    char chunk[65536];
    while (m_replyLeft > 0)
        payload.append(chunk, readReply(chunk, sizeof(chunk)));
    explicit_bzero(chunk, sizeof(chunk));
}

bool CAdminConnection::readFrame(std::string& payload) {
    payload.clear();
    uint32_t length = 0;
    if (!readFrameLength(length))
        return false;
    readReplyInto(payload);
    return true;
}

void CAdminConnection::waitForReply(const ProgressCallback& progress, unsigned int intervalMs) {
    const auto start = std::chrono::steady_clock::now();
    const unsigned int step = intervalMs == 0 ? 1000 : intervalMs;
    for (;;) {
        auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
        unsigned int wait = step;
        if (m_options.timeoutMs != 0) {
            if (elapsed >= m_options.timeoutMs)
                throw new CAdminException("Timed out waiting for the listener's reply");
            wait = std::min<unsigned int>(step,
                                          m_options.timeoutMs - static_cast<unsigned int>(elapsed));
        }
        if (waitFor(m_socket->getDescriptor(), POLLIN, wait))
            return;
        if (progress)
            progress(
                static_cast<unsigned int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - start)
                                              .count()));
    }
}

uint32_t CAdminConnection::beginReply(const std::string& xml, const ProgressCallback& progress,
                                      unsigned int progressIntervalMs) {
    if (m_replyLeft != 0)
        throw new CAdminException("The previous reply has not been read to its end");
    sendFrame(xml);
    if (progress)
        waitForReply(progress, progressIntervalMs);
    uint32_t length = 0;
    if (!readFrameLength(length))
        throw new CAdminException("The listener closed the connection without a reply");
    return length;
}

SReply CAdminConnection::request(const std::string& xml, const ProgressCallback& progress,
                                 unsigned int progressIntervalMs) {
    beginReply(xml, progress, progressIntervalMs);
    std::string payload;
    readReplyInto(payload);
    SReply reply = gParseReply(payload);
    gWipe(payload);
    return reply;
}

SReply CAdminConnection::login(const std::string& user, const std::string& password,
                               const std::string& domain, const std::string& clientAddress) {
    SXmlElement auth = gAuthRequest(user, password, domain);
    if (!clientAddress.empty())
        gData(auth).set("client-address", clientAddress);
    std::string xml;
    try {
        xml = gWriteXml(auth);
    } catch (...) {
        gWipe(gData(auth).attributes[1].second);
        throw;
    }
    gWipe(gData(auth).attributes[1].second);
    try {
        SReply reply = request(xml);
        gWipe(xml);
        return reply;
    } catch (...) {
        gWipe(xml);
        throw;
    }
}

void CAdminConnection::setTimeout(unsigned int milliseconds) {
    m_options.timeoutMs = milliseconds;
    setSocketTimeouts(m_socket->getDescriptor(), milliseconds);
}

void CAdminConnection::close() {
    if (m_socket == nullptr || m_socket->isClosed())
        return;
    try {
        m_socket->close();
    } catch (CZAFThrowable* e) {
        delete e;
    }
}

} // namespace vornadmin
