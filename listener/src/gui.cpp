// gui: the client session: its thread and lifecycle, the login and the identity switch.
#include <oozaf/keydb.h>
#include <oozaf/logger.h>
#include <oozaf/secsocket.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <oozaf/vornserver.h>
#include <vorngui/gui.h>
#include <vorngui/guiauth.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/guihostkey.h>
#include <vorngui/guiprotocol.h>
#include <vorngui/xmlstring.h>

#include <xercesc/dom/DOM.hpp>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <grp.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace vorngui {

using namespace oozaf;
using namespace xercesc;

std::atomic<std::size_t> gLoggedInSessions{0};

namespace {

const char* const kTag = "gui";

// How long the rest of an over-long frame may pause before the session ends unanswered.
constexpr int kDrainStallMs = 5000;

const CXStr kCore("Core");
const CXStr kType("type");
const CXStr kUsername("username");
const CXStr kPassword("password");
const CXStr kDomain("domain");

// User names come from the network; log them without line breaks or other controls.
std::string printable(const std::string& text) { return gLogSafe(text, 64); }

// The thread's own effective ids and supplementary groups. glibc's seteuid and friends change
// every thread of the process; the system calls change only the caller.
int setThreadGroups(const std::vector<gid_t>& groups) {
    return static_cast<int>(syscall(SYS_setgroups, groups.size(), groups.data()));
}
int setThreadEgid(gid_t gid) {
    return static_cast<int>(
        syscall(SYS_setresgid, static_cast<gid_t>(-1), gid, static_cast<gid_t>(-1)));
}
int setThreadEuid(uid_t uid) {
    return static_cast<int>(
        syscall(SYS_setresuid, static_cast<uid_t>(-1), uid, static_cast<uid_t>(-1)));
}

std::string peerAddressOf(const CZAFSocket* socket) {
    if (socket == nullptr)
        return std::string();
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (::getpeername(socket->getDescriptor(), reinterpret_cast<sockaddr*>(&address), &length) !=
            0 ||
        address.sin_family != AF_INET)
        return "unknown";
    char text[INET_ADDRSTRLEN] = {0};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

long daysSinceEpoch() { return static_cast<long>(std::time(nullptr) / 86400); }

std::string addressOf(const void* object) {
    std::ostringstream out;
    out << object;
    return out.str();
}

} // namespace

// ---- construction and lifecycle ----

CGUIClient::CGUIClient(CZAFSocket* socket, const SGUIClientSettings& settings)
    : m_socket(socket), m_active(false, kTag, __LINE__), m_socketMutex(kTag, __LINE__),
      m_domImplementation(nullptr), m_settings(settings) {
    m_peerAddress = peerAddressOf(socket);
    m_domImplementation = DOMImplementationRegistry::getDOMImplementation(kCore);
    ZAF_ASSERT_TAG(kTag, m_domImplementation != nullptr);
}

CGUIClient::~CGUIClient() {
    const std::string address = addressOf(this);
    ZAF_LOG_DEBUG("Destructing client at " << address);
    if (m_thread.isStarted()) {
        // A client is deleted only after stop(); make sure no thread still uses it.
        try {
            stop();
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard guard(e);
            ZAF_LOG_ERROR(e->getDetailedMessage());
        }
    }
    ZAF_LOG_DEBUG("Deleting client's socket...");
    m_socket.reset();
    ZAF_LOG_DEBUG("Deleting server instance...");
    closeServer();
    // A facade that could not be closed as the user is left open rather than written as root.
    static_cast<void>(m_server.release());
    ZAF_LOG_DEBUG("Client at " << address << " successfully destructed");
}

void CGUIClient::start() {
    ZAF_ASSERT_TAG(kTag, m_socket != nullptr);
    m_active.set(true);
    try {
        m_thread.start(clientThreadProxy, this);
    } catch (...) {
        m_active.set(false);
        throw;
    }
}

void CGUIClient::evict() {
    m_evicted.store(true);
    interruptSocket();
}

void CGUIClient::stop() {
    m_active.set(false);
    interruptSocket();
    if (m_thread.isStarted())
        m_thread.join();
    closeSocket();
}

void CGUIClient::interruptSocket() {
    if (m_socket == nullptr)
        return;
    CZAFLockGuard guard(m_socketMutex);
    if (!m_socket->isClosed())
        ::shutdown(m_socket->getDescriptor(), SHUT_RDWR);
}

void CGUIClient::closeSocket() {
    if (m_socket == nullptr)
        return;
    CZAFLockGuard guard(m_socketMutex);
    try {
        m_socket->close();
    } catch (CZAFSocketException* e) {
        CZAFThrowableGuard owned(e);
        ZAF_LOG_WARNING("WARNING: An error occured while trying to close socket:\n" << *e);
    }
}

void CGUIClient::expireLogin(void* client) {
    auto* self = static_cast<CGUIClient*>(client);
    self->m_loginExpired.store(true);
    self->interruptSocket();
}

void* CGUIClient::clientThreadProxy(void* client) {
    if (client == nullptr) {
        CZAFInternalError error(kTag, __LINE__, "Assertion Failed");
        ZAF_LOG_ERROR(error.getDetailedMessage());
        return reinterpret_cast<void*>(static_cast<intptr_t>(eSessionError));
    }
    const int rc = static_cast<CGUIClient*>(client)->clientThread();
    return reinterpret_cast<void*>(static_cast<intptr_t>(rc));
}

void CGUIClient::setServer(std::unique_ptr<CVornServer> server) { m_server = std::move(server); }

CVornServer& CGUIClient::server() {
    ZAF_ASSERT_TAG(kTag, m_server != nullptr);
    return *m_server;
}

// ---- the session ----

int CGUIClient::clientThread() {
    int rc = eLoginOK;
    std::string username;
    std::string password;
    std::string domain;
    try {
        std::string errorText;
        try {
            login(username, password, domain);
        } catch (CGUIFormatException* e) {
            CZAFThrowableGuard guard(e);
            rc = eLoginFormat;
            errorText =
                gLogFailure(*e, "An error occured while trying to extract authentication\ndata:\n");
        } catch (CGUIAuthenticationException* e) {
            CZAFThrowableGuard guard(e);
            rc = eLoginRefused;
            errorText = gLogFailure(*e, "An error occured while authenticating username '" +
                                            printable(username) + "':\n");
        } catch (CGUIImpersonationException* e) {
            CZAFThrowableGuard guard(e);
            rc = eLoginImpersonation;
            errorText =
                gLogFailure(*e, "An error occured while trying to impersonate to client:\n");
        } catch (CZAFServerOpenException* e) {
            CZAFThrowableGuard guard(e);
            rc = eLoginServerOpen;
            errorText = gLogFailure(*e, "An error occured while trying to open Vorn Server\nfor "
                                        "username '" +
                                            printable(username) + "':\n");
        } catch (CGUICommunicationException* e) {
            CZAFThrowableGuard guard(e);
            rc = eLoginCommunication;
            errorText =
                gLogFailure(*e, "A communication error occured while trying to authenticate:\n");
        }
        m_loginDeadline.cancel();
        CZAFUtil::wipe(password);
        if (m_hostKeyRequest && rc == eLoginOK) {
            try {
                sendHostKey();
            } catch (CGUICommunicationException* e) {
                CZAFThrowableGuard guard(e);
                ZAF_LOG_VERBOSE("The host key could not be sent:\n" << *e);
            }
            rc = eLoginCommunication;
        } else if (rc != eLoginCommunication) {
            if (errorText.empty() && rc != eLoginOK)
                errorText = "Error description is not available";
            try {
                sendLoginReply(rc, errorText);
            } catch (CGUICommunicationException* e) {
                CZAFThrowableGuard guard(e);
                ZAF_LOG_ERROR("A communication error occured while trying to negotiate "
                              "connection with client:\n"
                              << *e);
                rc = eLoginCommunication;
            }
        }
        if (rc == eLoginOK) {
            try {
                // From here on the large frame bound applies, and an idle session ends.
                if (auto* secure = dynamic_cast<CZAFSecSocket*>(m_socket.get()))
                    secure->setInboundRecordLimit(CZAFSecSocket::kMaxRecordPlaintext);
                if (m_settings.idleTimeout != 0) {
                    timeval limit{};
                    limit.tv_sec = static_cast<time_t>(m_settings.idleTimeout / 1000);
                    limit.tv_usec = static_cast<suseconds_t>(m_settings.idleTimeout % 1000) * 1000;
                    ::setsockopt(m_socket->getDescriptor(), SOL_SOCKET, SO_RCVTIMEO, &limit,
                                 sizeof limit);
                    ::setsockopt(m_socket->getDescriptor(), SOL_SOCKET, SO_SNDTIMEO, &limit,
                                 sizeof limit);
                }
                run();
            } catch (CGUICommunicationException* e) {
                CZAFThrowableGuard guard(e);
                ZAF_LOG_ERROR("A communication error occured with client, therefore I am "
                              "closing this connection:\n"
                              << *e);
            }
        }
    } catch (...) {
        const eGUIFailureKind kind = gLogBoundaryFailure(
            "An internal error has occured. Connection with client will be stopped.\n"
            "Please report this issue to the support team. Thank you.\n",
            "Exception text:\n", "Exception text:\nError description not available.");
        rc = kind == eGUIFailureKind::eDefect ? eSessionError : eSessionException;
    }
    CZAFUtil::wipe(password);
    endSession();
    m_result.store(rc);
    ZAF_LOG_VERBOSE("(Normal Stop) Thread completed with return code " << rc);
    return rc;
}

void CGUIClient::endSession() {
    try {
        m_loginDeadline.cancel();
        closeSocket();
        closeServer();
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_ERROR(e->getDetailedMessage());
    }
    m_active.set(false);
    if (m_loggedIn.load())
        --gLoggedInSessions;
}

void CGUIClient::closeServer() {
    if (m_server == nullptr)
        return;
    // The facade saves the user's files (the groups file, the random seed) as it goes: with the
    // user's rights, never the daemon's. When the identity cannot be taken on, it stays open.
    try {
        CGUIImpersonation identity(*this);
        m_server.reset();
    } catch (CGUIImpersonationException* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_ERROR("Could not take on the user's identity to close the server; it is left "
                      "open:\n"
                      << *e);
    }
}

void CGUIClient::pause(unsigned int milliseconds) {
    // The descriptor reports a hang-up when the session is interrupted (shutdown or eviction).
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || !isActive())
            return;
        pollfd entry{m_socket->getDescriptor(), 0, 0};
        const int rc = ::poll(&entry, 1, static_cast<int>(left));
        if (rc > 0 || (rc < 0 && errno != EINTR))
            return;
    }
}

void CGUIClient::login(std::string& username, std::string& password, std::string& domain) {
    // Until the login succeeds a record may hold no more than the login request.
    if (auto* secure = dynamic_cast<CZAFSecSocket*>(m_socket.get()))
        secure->setInboundRecordLimit(m_settings.maxLoginFrame + 4);
    if (m_settings.loginTimeout != 0)
        m_loginDeadline.start(m_settings.loginTimeout, expireLogin, this);
    runHandshake();
    getAuthenticationData(username, password, domain);
    m_loginDeadline.cancel();
    if (m_hostKeyRequest)
        return;
    CGUIThrottle* throttle = m_settings.throttle;
    CGUIThrottle::SVerdict verdict;
    if (throttle != nullptr) {
        verdict = throttle->check(m_peerAddress, username, CGUIThrottle::Clock::now());
        if (verdict.newlyThrottled)
            ZAF_LOG_WARNING("WARNING: Too many failed logins from " << m_peerAddress
                                                                    << "; its attempts are now "
                                                                       "answered after a delay.");
        if (verdict.delay != 0) {
            ZAF_LOG_DEBUG("Login attempt from " << m_peerAddress << " waits " << verdict.delay
                                                << " ms");
            pause(verdict.delay);
            if (!isActive())
                throw new CGUICommunicationException(new CZAFSocketIOException(ECONNRESET));
        }
    }
    try {
        if (verdict.lockedOut) {
            gCheckDummyPassword(password);
            ZAF_LOG_WARNING("WARNING: Username '" << printable(username)
                                                  << "' is locked out after too many failed "
                                                     "logins.");
            throw new CGUIBadPasswordException();
        }
        setSecurityCredentials(username, password, domain);
    } catch (CGUIAuthenticationException*) {
        if (throttle != nullptr)
            throttle->recordFailure(m_peerAddress, username, CGUIThrottle::Clock::now());
        throw;
    }
    if (throttle != nullptr)
        throttle->recordSuccess(username);
    CZAFUtil::wipe(password);
    const std::size_t maxSessions =
        m_settings.site != nullptr ? m_settings.site->maxSessions : SGUISiteSettings().maxSessions;
    if (++gLoggedInSessions > maxSessions) {
        --gLoggedInSessions;
        ZAF_LOG_WARNING("WARNING: " << maxSessions << " sessions are logged in; the login of '"
                                    << printable(username) << "' was refused.");
        throw new CGUITooManySessionsException();
    }
    m_loggedIn.store(true);
    CGUIImpersonation identity(*this);
    m_server = std::make_unique<CVornServer>();
}

void CGUIClient::sendHostKey() {
    std::unique_ptr<CGUIElement> response = createResponseDocument();
    response->set("rc", std::to_string(eRequestOK));
    response->add("error");
    response->adopt(hostKeyElement());
    reply(*response);
}

std::unique_ptr<CGUIElement> CGUIClient::hostKeyElement() const {
    if (m_settings.hostKey == nullptr)
        return nullptr;
    auto key = std::make_unique<CGUIElement>("host-key");
    key->set("fingerprint", m_settings.hostKey->fingerprint());
    key->setText(m_settings.hostKey->publicKey());
    return key;
}

void CGUIClient::runHandshake() {
    auto* secure = dynamic_cast<CZAFSecSocket*>(m_socket.get());
    if (secure == nullptr)
        return;
    try {
        CZAFContext context;
        secure->setHandshakeTimeout(m_settings.loginTimeout);
        if (m_settings.hostKey != nullptr)
            m_settings.hostKey->serverHandshake(*secure, context.getHandle());
        else
            secure->serverHandshake(nullptr, context.getHandle(), nullptr, nullptr, std::string());
    } catch (CZAFSocketException* e) {
        if (m_loginExpired.load()) {
            delete e;
            throw new CGUICommunicationException(
                new CGUILoginTimeoutException(m_settings.loginTimeout));
        }
        throw new CGUICommunicationException(e);
    }
}

void CGUIClient::sendLoginReply(int rc, const std::string& errorText) {
    std::unique_ptr<CGUIElement> response = createResponseDocument();
    response->set("rc", std::to_string(rc));
    response->add("error").setText(errorText);
    if (rc == eLoginOK)
        feedFeatures(response->add("info"));
    reply(*response);
}

void CGUIClient::run() {
    std::string command;
    for (;;) {
        try {
            if (!getCommand(command, m_settings.maxFrame) || command.empty())
                break;
        } catch (CGUICommunicationException* e) {
            CZAFThrowableGuard guard(e);
            const auto* tooLong = dynamic_cast<const CGUIFrameTooLongException*>(e->getRoot());
            if (tooLong == nullptr) {
                guard.release();
                throw;
            }
            answerTooLong(*tooLong);
            return;
        }
        int rc = 0;
        const std::string response = answer(command, rc);
        reply(response.data(), static_cast<unsigned int>(response.size()));
        if (!isActive())
            break;
    }
}

void CGUIClient::answerTooLong(const CGUIFrameTooLongException& tooLong) {
    ZAF_LOG_ERROR("A request frame was refused:\n" << tooLong);
    // The console is still sending the frame and reads the answer only when it is done: take in
    // (and drop) what it announced while it keeps coming, then answer and end the session. A
    // console that stalls for kDrainStallMs is left without an answer.
    timeval stall{};
    stall.tv_sec = kDrainStallMs / 1000;
    ::setsockopt(m_socket->getDescriptor(), SOL_SOCKET, SO_RCVTIMEO, &stall, sizeof stall);
    uint64_t left = tooLong.getLength();
    std::vector<unsigned char> sink(kReadChunk);
    try {
        while (left > 0) {
            const int count = m_socket->read(
                sink.data(), static_cast<unsigned int>(std::min<uint64_t>(left, sink.size())));
            if (count <= 0)
                return;
            left -= static_cast<uint64_t>(count);
        }
        std::unique_ptr<CGUIElement> response = createResponseDocument();
        response->set("rc", std::to_string(eRequestFormat));
        response->add("error").setText(tooLong.getMessage());
        reply(*response);
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_VERBOSE("The answer to a refused frame could not be sent:\n" << *e);
    }
}

// ---- login and identity ----

void CGUIClient::getAuthenticationData(std::string& username, std::string& password,
                                       std::string& domain) {
    std::string command;
    if (!getCommand(command, m_settings.maxLoginFrame))
        throw new CGUICommunicationException(new CZAFSocketIOException(ECONNRESET));
    if (command.empty())
        throw new CGUIFormatException("Null authentication data received");
    CGUIDocumentGuard request;
    try {
        request.reset(parseCommand(command));
        CZAFUtil::wipe(command);
    } catch (...) {
        CZAFUtil::wipe(command);
        throw;
    }
    validateRequest(request.get());
    if (gGetAttribute(request->getDocumentElement(), kType) == GUICMD_HOSTKEY) {
        m_hostKeyRequest = true;
        return;
    }
    const DOMElement* data = gDataElement(request.get());
    username = gGetAttribute(data, kUsername);
    password = gGetAttribute(data, kPassword);
    domain = gGetAttribute(data, kDomain);
}

void CGUIClient::setSecurityCredentials(const std::string& username, const std::string& password,
                                        const std::string& /*domain*/) {
    const std::string name = printable(username);
    if (password.size() > kMaxPasswordLength) {
        ZAF_LOG_WARNING("WARNING: Username '" << name << "' has supplied a password longer than "
                                              << kMaxPasswordLength << " bytes.");
        throw new CGUIBadPasswordException();
    }
    SGUIAccount account;
    SSecurityCredentials credentials;
    {
        // Sessions switch identity for their own thread only, so this thread still has the
        // daemon's ids and may read the shadow file while other sessions run requests.
        gLookUpAccount(username, account);
        credentials.savedUserID = geteuid();
        credentials.savedGroupID = getegid();
        // Only a privileged daemon can (and must) take on the user's supplementary groups.
        credentials.switchGroups = credentials.savedUserID == 0;
        if (account.hasPasswordEntry && credentials.switchGroups) {
            credentials.groups = gGetUserGroups(username, account.gid);
            const int count = getgroups(0, nullptr);
            if (count > 0) {
                credentials.savedGroups.resize(static_cast<size_t>(count));
                const int got = getgroups(count, credentials.savedGroups.data());
                credentials.savedGroups.resize(got > 0 ? static_cast<size_t>(got) : 0);
            }
        }
    }
    if (!account.hasPasswordEntry) {
        ZAF_LOG_WARNING("WARNING: Neither password file nor shadow file contains details about\n"
                        "username '"
                        << name << "'.");
        gCheckDummyPassword(password);
        throw new CGUIBadPasswordException();
    }
    credentials.userID = account.uid;
    credentials.groupID = account.gid;
    const std::string* hash = nullptr;
    if (account.hasShadowEntry && !account.shadowField.empty())
        hash = &account.shadowField;
    else if (!account.passwordField.empty())
        hash = &account.passwordField;
    if (hash == nullptr) {
        ZAF_LOG_WARNING("WARNING: Username '" << name
                                              << "' exists, but I could not verify its password.");
        gCheckDummyPassword(password);
        throw new CGUIBadPasswordException();
    }
    if (!gCheckPassword(password, *hash)) {
        ZAF_LOG_WARNING("WARNING: Username '" << name << "' has supplied an invalid password.");
        throw new CGUIBadPasswordException();
    }
    // The password was right; the account's own rules may still forbid the login. The console
    // learns only that the login was refused.
    const SGUISiteSettings defaults;
    const SGUISiteSettings& site = m_settings.site != nullptr ? *m_settings.site : defaults;
    const std::string refusal =
        gAccountRefusal(account, daysSinceEpoch(), site.allowRootLogin, site.allowNoShellLogin);
    if (!refusal.empty()) {
        ZAF_LOG_WARNING("WARNING: Username '" << name << "' may not log in: " << refusal << ".");
        throw new CGUIBadPasswordException();
    }
    ZAF_LOG_VERBOSE("Username: " << name);
    ZAF_LOG_VERBOSE("uid     : " << credentials.userID);
    ZAF_LOG_VERBOSE("gid     : " << credentials.groupID);
    credentials.isSet = true;
    m_credentials = credentials;
}

void CGUIClient::impersonate() {
    gRequestMutex.lock();
    m_impersonating = true;
    if (!m_credentials.isSet)
        return;
    const SSecurityCredentials& c = m_credentials;
    auto fail = [this](int error, bool restoreGroup, bool restoreGroups) {
        if (restoreGroup && setThreadEgid(m_credentials.savedGroupID) != 0)
            ZAF_LOG_ERROR("Unimpersonation error while setting gid to 0:\n"
                          << CZAFOSException(errno));
        if (restoreGroups && setThreadGroups(m_credentials.savedGroups) != 0)
            ZAF_LOG_ERROR("Unimpersonation error while setting the groups:\n"
                          << CZAFOSException(errno));
        m_impersonating = false;
        gRequestMutex.unlock();
        throw new CGUIImpersonationException(error);
    };
    if (c.switchGroups && setThreadGroups(c.groups) != 0)
        fail(errno, false, false);
    if (setThreadEgid(c.groupID) != 0)
        fail(errno, false, c.switchGroups);
    if (setThreadEuid(c.userID) != 0)
        fail(errno, true, c.switchGroups);
}

void CGUIClient::unimpersonate() noexcept {
    if (!m_impersonating)
        return;
    if (m_credentials.isSet) {
        const SSecurityCredentials& c = m_credentials;
        if (setThreadEuid(c.savedUserID) != 0)
            ZAF_LOG_ERROR("Unimpersonation error while setting uid to 0:\n"
                          << CZAFOSException(errno));
        if (setThreadEgid(c.savedGroupID) != 0)
            ZAF_LOG_ERROR("Unimpersonation error while setting gid to 0:\n"
                          << CZAFOSException(errno));
        if (c.switchGroups && setThreadGroups(c.savedGroups) != 0)
            ZAF_LOG_ERROR("Unimpersonation error while setting the groups:\n"
                          << CZAFOSException(errno));
    }
    m_impersonating = false;
    gRequestMutex.unlock();
}

void CGUIClient::feedFeatures(CGUIElement& info) {
    const bool rng = m_server != nullptr && m_server->hasRNG();
    const bool log = m_server != nullptr && m_server->hasLog();
    info.set("rng", rng ? "yes" : "no");
    info.set("platform", "UNIX");
    info.set("log", log ? "yes" : "no");
}

} // namespace vorngui
