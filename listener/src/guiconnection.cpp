// guiconnection: the privileged side of one connection: its processes, the handshake's signature
// and the login's verdict.
#include <oozaf/logger.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <vorngui/gui.h>
#include <vorngui/guiauth.h>
#include <vorngui/guiconnection.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/guihostkey.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace vorngui {

using namespace oozaf;

std::atomic<std::size_t> gLoggedInSessions{0};

namespace {

const char* const kTag = "guiconnection";

// The longest user name and domain the daemon takes from a login process.
constexpr std::size_t kMaxNameLength = 1024;

int openPidDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    static_cast<void>(pid);
    errno = ENOSYS;
    return -1;
#endif
}

std::string printable(const std::string& text) { return gLogSafe(text, 64); }

int millisecondsUntil(std::chrono::steady_clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          end - std::chrono::steady_clock::now())
                          .count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left, 24 * 3600 * 1000));
}

} // namespace

struct CGUIConnection::SVerdict {
    int rc = CGUIClient::eLoginRefused;
    std::string text;
    SGUICredentials credentials;
};

CGUIConnection::CGUIConnection(int descriptor, eKind kind, const std::string& peerAddress,
                               const SGUIDaemonSettings& settings)
    : m_descriptor(descriptor), m_kind(kind), m_peerAddress(peerAddress),
      m_clientAddress(kind == eKind::eWeb ? "web socket" : peerAddress), m_settings(settings),
      m_active(false, kTag, __LINE__), m_descriptorMutex(kTag, __LINE__) {}

CGUIConnection::~CGUIConnection() {
    if (m_thread.isStarted()) {
        try {
            stop();
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard guard(e);
            ZAF_LOG_ERROR(e->getDetailedMessage());
        }
    }
    closeDescriptor();
    for (SProcess* process : {&m_login, &m_session})
        if (process->pidDescriptor >= 0)
            ::close(process->pidDescriptor);
    if (m_wake >= 0)
        ::close(m_wake);
    ZAF_LOG_DEBUG("Client from " << who() << " successfully destructed");
}

void CGUIConnection::start() {
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0)
        throw new CZAFThreadStartException(errno);
    m_active.set(true);
    try {
        m_thread.start(threadBody, this);
    } catch (...) {
        m_active.set(false);
        throw;
    }
}

void CGUIConnection::requestStop() {
    m_stopRequested.store(true);
    if (m_wake >= 0) {
        const uint64_t one = 1;
        if (::write(m_wake, &one, sizeof one) < 0 && errno != EAGAIN)
            ZAF_LOG_ERROR("Could not wake a connection's thread: " << CZAFOSException(errno));
    }
}

void CGUIConnection::stop() {
    requestStop();
    if (m_thread.isStarted())
        m_thread.join();
}

void CGUIConnection::evict() {
    {
        CZAFLockGuard guard(m_descriptorMutex);
        if (m_loggedIn.load())
            return;
        m_evicted.store(true);
        // The peer learns at once; the login process is ended by the connection's thread.
        if (m_descriptor >= 0)
            ::shutdown(m_descriptor, SHUT_RDWR);
    }
    requestStop();
}

void CGUIConnection::closeDescriptor() {
    CZAFLockGuard guard(m_descriptorMutex);
    if (m_descriptor >= 0) {
        ::close(m_descriptor);
        m_descriptor = -1;
    }
}

std::string CGUIConnection::who() const {
    return m_kind == eKind::eWeb && m_clientAddress != "web socket" ? m_clientAddress + " (web)"
                                                                    : m_clientAddress;
}

void* CGUIConnection::threadBody(void* connection) {
    auto* self = static_cast<CGUIConnection*>(connection);
    int rc = CGUIClient::eSessionError;
    try {
        rc = self->run();
    } catch (...) {
        gLogBoundaryFailure("An internal error has occured with a connection.\n", "",
                            "Error description not available.");
    }
    self->m_result.store(rc);
    ZAF_LOG_VERBOSE("(Normal Stop) Thread completed with return code " << rc << " for "
                                                                       << self->who());
    self->m_active.set(false);
    return nullptr;
}

// ---- the connection's life ----

int CGUIConnection::run() {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) {
        ZAF_LOG_ERROR("Cannot make the channel of a connection from " << who() << ": "
                                                                      << CZAFOSException(errno));
        return CGUIClient::eSessionError;
    }
    CGUIChannel channel(ends[0]);
    try {
        m_login.pid = gSpawnRole(eGUIRole::eLogin, m_descriptor, ends[1], m_settings.logDescriptor);
    } catch (CGUIProcessException* e) {
        CZAFThrowableGuard guard(e);
        ::close(ends[1]);
        ZAF_LOG_ERROR("The connection from " << who() << " is closed: " << *e);
        return CGUIClient::eSessionError;
    }
    ::close(ends[1]);
    m_login.pidDescriptor = openPidDescriptor(m_login.pid);
    ZAF_LOG_DEBUG("Connection from " << who() << ": login process " << m_login.pid);

    bool approved = false;
    try {
        startLogin(channel);
        approved = serveLogin(channel);
    } catch (CGUIException* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_ERROR("The login process of the connection from " << who() << " is ended: " << *e);
    }
    channel.close();
    bool cut = false;
    if (!approved && !m_login.ended) {
        // A refused login answers its console and ends by itself; anything else is cut.
        if (stopRequested() || !waitFor(m_login, kLoginGraceMs, true)) {
            ::kill(m_login.pid, SIGKILL);
            cut = true;
        }
    }
    closeDescriptor();
    waitForEnd();

    const SProcess& decisive = m_session.pid > 0 ? m_session : m_login;
    if (WIFEXITED(decisive.status))
        return WEXITSTATUS(decisive.status);
    const int signal = WTERMSIG(decisive.status);
    if (m_session.pid > 0 || !cut)
        ZAF_LOG_WARNING("WARNING: The "
                        << (m_session.pid > 0 ? "session" : "login")
                        << " process of the connection from " << who()
                        << (m_username.empty() ? std::string()
                                               : " (user '" + printable(m_username) + "')")
                        << " ended by signal " << signal << " (" << ::strsignal(signal) << ")");
    return m_session.pid > 0 ? CGUIClient::eSessionError : CGUIClient::eLoginCommunication;
}

void CGUIConnection::startLogin(CGUIChannel& channel) {
    SGUILoginSetup setup;
    setup.secure = m_settings.secure;
    setup.web = m_kind == eKind::eWeb;
    setup.loginTimeout = m_settings.loginTimeout;
    setup.logLevel = m_settings.logLevel;
    setup.peerAddress = m_clientAddress;
    if (m_settings.hostKey != nullptr) {
        setup.hostKeyText = m_settings.hostKey->publicKey();
        setup.hostKeyFingerprint = m_settings.hostKey->fingerprint();
        setup.hostKeyID.assign(reinterpret_cast<const char*>(m_settings.hostKey->keyID()), 8);
    }
    setup.uid = m_settings.loginUser;
    setup.gid = m_settings.loginGroup;
    setup.emptyFolder = m_settings.emptyFolder;
    channel.send(setup.encode());
}

bool CGUIConnection::serveLogin(CGUIChannel& channel) {
    using Clock = std::chrono::steady_clock;
    const bool timed = m_settings.loginTimeout != 0;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(m_settings.loginTimeout + kLoginGraceMs);
    bool signedOnce = false;
    for (;;) {
        pollfd entries[3] = {{channel.getDescriptor(), POLLIN, 0},
                             {m_login.pidDescriptor, POLLIN, 0},
                             {m_wake, POLLIN, 0}};
        const int ready = ::poll(entries, 3, timed ? millisecondsUntil(deadline) : -1);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            throw new CGUIProcessException("Cannot wait for a login process", errno);
        }
        if (stopRequested()) {
            ZAF_LOG_DEBUG("The login of the connection from "
                          << who() << " is cut" << (m_evicted.load() ? " (evicted)" : ""));
            return false;
        }
        if (ready == 0) {
            ZAF_LOG_WARNING("WARNING: The connection from " << who() << " did not log in within "
                                                            << m_settings.loginTimeout
                                                            << " ms; it is closed.");
            return false;
        }
        if (entries[0].revents == 0)
            return false; // the process ended
        std::string bytes;
        if (!channel.receive(bytes, 0))
            return false;
        CGUIMessage message = CGUIMessage::decode(bytes);
        switch (message.getType()) {
        case eGUIMessage::eSign: {
            if (!m_settings.secure || m_settings.hostKey == nullptr || signedOnce)
                throw new CGUIChannelException("a signature it may not ask for");
            const std::string digest = message.text(20);
            message.expectEnd();
            if (digest.size() != 20)
                throw new CGUIChannelException("a digest of " + std::to_string(digest.size()) +
                                               " bytes");
            signedOnce = true;
            std::vector<unsigned char> signature;
            try {
                signature = m_settings.hostKey->sign(
                    reinterpret_cast<const unsigned char*>(digest.data()), digest.size());
            } catch (CGUIHostKeyException* e) {
                CZAFThrowableGuard guard(e);
                ZAF_LOG_ERROR("The handshake with " << who() << " cannot be signed: " << *e);
            }
            CGUIMessage answer(eGUIMessage::eSignature);
            answer.add(std::string(signature.begin(), signature.end()));
            channel.send(answer);
            break;
        }
        case eGUIMessage::eAuth: {
            SVerdict verdict = authenticate(message);
            if (verdict.rc == CGUIClient::eLoginOK)
                return startSession(verdict, channel);
            CGUIMessage answer(eGUIMessage::eVerdict);
            answer.add(uint64_t(verdict.rc)).add(verdict.text);
            channel.send(answer);
            return false;
        }
        default:
            throw new CGUIChannelException("a message it may not send");
        }
    }
}

CGUIConnection::SVerdict CGUIConnection::authenticate(CGUIMessage& request) {
    std::string username = request.text(kMaxNameLength);
    std::string password = request.text(kMaxPasswordLength + 1);
    struct SWipe {
        std::string& text;
        ~SWipe() { CZAFUtil::wipe(text); }
    } wipePassword{password};
    const std::string domain = request.text(kMaxNameLength);
    const std::string address = request.text(64);
    request.expectEnd();
    m_username = username;
    SVerdict verdict;
    std::string throttleAddress = m_peerAddress;
    if (m_kind == eKind::eWeb) {
        throttleAddress = gNormalizeAddress(address);
        if (throttleAddress.empty()) {
            verdict.rc = CGUIClient::eLoginFormat;
            verdict.text = CGUIFormatException("The 'client-address' attribute is not an IP "
                                               "address")
                               .getDetailedMessage();
            ZAF_LOG_WARNING("WARNING: A login on the web socket named no IP address.");
            return verdict;
        }
        m_clientAddress = throttleAddress;
    }

    CGUIThrottle* throttle = m_settings.throttle;
    CGUIThrottle::SVerdict wait;
    if (throttle != nullptr) {
        wait = throttle->check(throttleAddress, username, CGUIThrottle::Clock::now());
        if (wait.newlyThrottled)
            ZAF_LOG_WARNING("WARNING: Too many failed logins from " << who()
                                                                    << "; its attempts are now "
                                                                       "answered after a delay.");
        if (wait.delay != 0) {
            ZAF_LOG_DEBUG("Login attempt from " << who() << " waits " << wait.delay << " ms");
            if (!pause(wait.delay)) {
                verdict.rc = CGUIClient::eLoginCommunication;
                return verdict;
            }
        }
    }
    const SGUISiteSettings defaults;
    const SGUISiteSettings& site = m_settings.site != nullptr ? *m_settings.site : defaults;
    try {
        if (wait.lockedOut) {
            gCheckDummyPassword(password);
            ZAF_LOG_WARNING("WARNING: Username '" << printable(username) << "' from " << who()
                                                  << " is locked out after too many failed "
                                                     "logins.");
            throw new CGUIBadPasswordException();
        }
        gAuthenticate(username, password, site.allowRootLogin, site.allowNoShellLogin, who(),
                      verdict.credentials);
        if (throttle != nullptr)
            throttle->recordSuccess(username);
        if (++gLoggedInSessions > site.maxSessions) {
            --gLoggedInSessions;
            ZAF_LOG_WARNING("WARNING: " << site.maxSessions << " sessions are logged in; the login "
                                        << "of '" << printable(username) << "' from " << who()
                                        << " was refused.");
            throw new CGUITooManySessionsException();
        }
    } catch (CGUIAuthenticationException* e) {
        CZAFThrowableGuard guard(e);
        if (throttle != nullptr && dynamic_cast<CGUITooManySessionsException*>(e) == nullptr)
            throttle->recordFailure(throttleAddress, username, CGUIThrottle::Clock::now());
        verdict.rc = CGUIClient::eLoginRefused;
        verdict.text = e->getDetailedMessage();
        ZAF_LOG_ERROR("The login of '" << printable(username) << "' from " << who()
                                       << " was refused: " << verdict.text);
        return verdict;
    }
    verdict.rc = CGUIClient::eLoginOK;
    return verdict;
}

bool CGUIConnection::startSession(const SVerdict& verdict, CGUIChannel& login) {
    {
        CZAFLockGuard guard(m_descriptorMutex);
        if (m_evicted.load()) {
            --gLoggedInSessions;
            return false;
        }
        m_loggedIn.store(true);
    }
    auto refuse = [&](const CZAFThrowable& why) {
        ZAF_LOG_ERROR("The session of '" << printable(m_username) << "' from " << who()
                                         << " cannot start: " << why);
        --gLoggedInSessions;
        m_loggedIn.store(false);
        CGUIImpersonationException failure(0);
        CGUIMessage answer(eGUIMessage::eVerdict);
        answer.add(uint64_t(CGUIClient::eLoginImpersonation)).add(failure.getMessage());
        login.send(answer);
        return false;
    };
    // Over the secure channel the login process carries the session's bytes, through a stream
    // pair; a plain connection goes to the session process itself.
    int pair[2] = {-1, -1};
    if (m_settings.secure && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return refuse(CZAFOSException(errno));
    struct SClosePair {
        int* fds;
        ~SClosePair() {
            for (int i = 0; i < 2; ++i)
                if (fds[i] >= 0)
                    ::close(fds[i]);
        }
    } closePair{pair};
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return refuse(CZAFOSException(errno));
    CGUIChannel session(ends[0]);
    try {
        m_session.pid = gSpawnRole(eGUIRole::eSession, m_settings.secure ? pair[0] : m_descriptor,
                                   ends[1], m_settings.logDescriptor);
    } catch (CGUIProcessException* e) {
        CZAFThrowableGuard guard(e);
        ::close(ends[1]);
        return refuse(*e);
    }
    ::close(ends[1]);
    m_session.pidDescriptor = openPidDescriptor(m_session.pid);

    SGUISessionSetup setup;
    setup.username = m_username;
    setup.uid = verdict.credentials.uid;
    setup.gid = verdict.credentials.gid;
    setup.groups = verdict.credentials.groups;
    setup.clientAddress = who();
    setup.local = m_settings.local;
    setup.logLevel = m_settings.logLevel;
    setup.idleTimeout = m_settings.idleTimeout;
    setup.maxFrame = m_settings.maxFrame;
    session.send(setup.encode());

    CGUIMessage answer(eGUIMessage::eVerdict);
    answer.add(uint64_t(CGUIClient::eLoginOK)).add(std::string());
    login.send(answer, m_settings.secure ? pair[1] : -1);
    ZAF_LOG_VERBOSE("User '" << printable(m_username) << "' (uid " << setup.uid << ", gid "
                             << setup.gid << ") logged in from " << who() << "; session process "
                             << m_session.pid);
    return true;
}

void CGUIConnection::waitForEnd() {
    if (m_session.pid > 0) {
        if (!waitFor(m_session, -1, true)) {
            // Asked to stop: the session closes the user's server and ends; the login process
            // carrying its bytes ends with it.
            ::kill(m_session.pid, SIGTERM);
            if (!m_login.ended)
                ::kill(m_login.pid, SIGTERM);
            if (!waitFor(m_session, static_cast<int>(kStopGraceMs), false)) {
                ZAF_LOG_WARNING("WARNING: The session process of '"
                                << printable(m_username) << "' from " << who()
                                << " did not end when asked; it is killed.");
                ::kill(m_session.pid, SIGKILL);
                waitFor(m_session, -1, false);
            }
        }
        --gLoggedInSessions;
    }
    if (!waitFor(m_login, static_cast<int>(kLoginGraceMs), false)) {
        ::kill(m_login.pid, SIGKILL);
        waitFor(m_login, -1, false);
    }
}

bool CGUIConnection::waitFor(SProcess& process, int milliseconds, bool wakeOnStop) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (process.ended)
            return true;
        int status = 0;
        const pid_t done = ::waitpid(process.pid, &status, WNOHANG);
        if (done == process.pid || (done < 0 && errno == ECHILD)) {
            process.ended = true;
            process.status = done == process.pid ? status : 0;
            return true;
        }
        if (wakeOnStop && stopRequested())
            return false;
        const int left = milliseconds < 0 ? -1 : millisecondsUntil(end);
        if (left == 0)
            return false;
        // Without a process descriptor (an old kernel), look again every few milliseconds.
        pollfd entries[2] = {{process.pidDescriptor, POLLIN, 0},
                             {wakeOnStop ? m_wake : -1, POLLIN, 0}};
        const int slice = process.pidDescriptor >= 0 ? left : (left < 0 || left > 20 ? 20 : left);
        if (::poll(entries, 2, slice) < 0 && errno != EINTR)
            return false;
    }
}

bool CGUIConnection::pause(unsigned int milliseconds) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const int left = millisecondsUntil(end);
        if (left == 0)
            return true;
        int descriptor = -1;
        {
            CZAFLockGuard guard(m_descriptorMutex);
            descriptor = m_descriptor;
        }
        // A peer that hangs up, a login process that ends and a stop all end the wait.
        pollfd entries[3] = {
            {descriptor, POLLRDHUP, 0}, {m_login.pidDescriptor, POLLIN, 0}, {m_wake, POLLIN, 0}};
        const int ready = ::poll(entries, 3, left);
        if (ready < 0 && errno != EINTR)
            return false;
        if (ready > 0 || stopRequested())
            return false;
    }
}

} // namespace vorngui
