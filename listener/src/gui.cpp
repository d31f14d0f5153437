// gui: the client session: thread, login, identity switch, frames, parse, validation, dispatch.
#include <oozaf/keydb.h>
#include <oozaf/logger.h>
#include <oozaf/secsocket.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <oozaf/vornserver.h>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/Wrapper4InputSource.hpp>
#include <xercesc/sax/SAXException.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <cxxabi.h>
#include <grp.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vorngui/gui.h>
#include <vorngui/guiauth.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/guihostkey.h>
#include <vorngui/xmlstring.h>

namespace vorngui {

using namespace oozaf;
using namespace xercesc;

CGUIFairMutex gRequestMutex;
std::atomic<std::size_t> gLoggedInSessions{0};

void CGUIFairMutex::lock() {
    std::unique_lock<std::mutex> hold(m_lock);
    const uint64_t ticket = m_nextTicket++;
    m_turn.wait(hold, [&] { return m_serving == ticket; });
}

void CGUIFairMutex::unlock() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        ++m_serving;
    }
    m_turn.notify_all();
}

uint64_t CGUIFairMutex::getQueueLength() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_nextTicket - m_serving;
}

bool CGUIFairMutex::tryLock() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_serving != m_nextTicket)
        return false;
    ++m_nextTicket;
    return true;
}

const std::string CGUIClient::GUICMD_KEYSSUMMARY = "keys-summary";
const std::string CGUIClient::GUICMD_KEYGEN = "key-gen";
const std::string CGUIClient::GUICMD_ENTROPYPAIR = "entropy-pair";
const std::string CGUIClient::GUICMD_ENTROPYSUBK = "entropy-subkey";
const std::string CGUIClient::GUICMD_ENTROPYSUPP = "entropy-supply";
const std::string CGUIClient::GUICMD_SUBKEYGEN = "subkey-gen";
const std::string CGUIClient::GUICMD_KEYREMOVE = "key-remove";
const std::string CGUIClient::GUICMD_KEYSIGN = "key-sign";
const std::string CGUIClient::GUICMD_REV_KEY = "key-revoke";
const std::string CGUIClient::GUICMD_ADD_USERID = "userid-add";
const std::string CGUIClient::GUICMD_REM_USERID = "userid-remove";
const std::string CGUIClient::GUICMD_KEYIMPORT = "key-add";
const std::string CGUIClient::GUICMD_KEYEXPORT = "key-export";
const std::string CGUIClient::GUICMD_GET_PICTURE = "get-picture";
const std::string CGUIClient::GUICMD_GETLOG = "log-get";
const std::string CGUIClient::GUICMD_GET_CL = "get-cmdline-options";
const std::string CGUIClient::GUICMD_GETCONF = "conf-get";
const std::string CGUIClient::GUICMD_SETCONF = "conf-set";
const std::string CGUIClient::GUICMD_AUTH = "auth";
const std::string CGUIClient::GUICMD_HOSTKEY = "host-key";

namespace {

const char* const kTag = "gui";

// Frames are read in pieces of this size, so memory grows with the bytes that really arrive and
// not with the length a peer announces.
constexpr uint32_t kReadChunk = 64 * 1024;
// How long the rest of an over-long frame may pause before the session ends unanswered.
constexpr int kDrainStallMs = 5000;

const CXStr kCore("Core");
const CXStr kCommand("command");
const CXStr kType("type");
const CXStr kData("data");
const CXStr kUsername("username");
const CXStr kPassword("password");
const CXStr kDomain("domain");
const CXStr kAliases("aliases");
const CXStr kValues("values");
const CXStr kKey("key");
const CXStr kEntropy("entropy");
const CXStr kFile("file");

// Records the first error the parser reports and stops it there.
class CParseErrorHandler final : public DOMErrorHandler {
public:
    bool handleError(const DOMError& error) override {
        if (!m_failed) {
            m_failed = true;
            m_message = gFromXML(error.getMessage());
            const DOMLocator* where = error.getLocation();
            if (where != nullptr)
                m_message += " (line " + std::to_string(where->getLineNumber()) + ", column " +
                             std::to_string(where->getColumnNumber()) + ")";
        }
        return false;
    }
    bool hasFailed() const { return m_failed; }
    const std::string& getMessage() const { return m_message; }

private:
    bool m_failed = false;
    std::string m_message;
};

struct SDocumentRelease {
    void operator()(DOMDocument* document) const {
        if (document != nullptr)
            document->release();
    }
};
using CDocumentGuard = std::unique_ptr<DOMDocument, SDocumentRelease>;

// Impersonates for the lifetime of the scope.
class CImpersonation final {
public:
    explicit CImpersonation(CGUIClient& client) : m_client(client) { m_client.impersonate(); }
    ~CImpersonation() {
        try {
            m_client.unimpersonate();
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard guard(e);
            ZAF_LOG_ERROR(e->getDetailedMessage());
        }
    }
    CImpersonation(const CImpersonation&) = delete;
    CImpersonation& operator=(const CImpersonation&) = delete;

private:
    CGUIClient& m_client;
};

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

// Logs a failure as `head` followed by its detailed message, and returns that message.
std::string logFailure(const CZAFThrowable& e, const std::string& head) {
    std::string text = e.getDetailedMessage();
    ZAF_LOG_ERROR(head << text);
    return text;
}

std::string addressOf(const void* object) {
    std::ostringstream out;
    out << object;
    return out.str();
}

uint32_t getBigEndian32(const unsigned char* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

const DOMElement* onlyElement(const DOMDocument* document, const XMLCh* name) {
    DOMNodeList* list = document->getElementsByTagName(name);
    if (list == nullptr || list->getLength() != 1)
        return nullptr;
    const DOMNode* node = list->item(0);
    return node->getNodeType() == DOMNode::ELEMENT_NODE ? static_cast<const DOMElement*>(node)
                                                        : nullptr;
}

const DOMElement* dataElement(const DOMDocument* request) {
    DOMNodeList* list = request->getDocumentElement()->getElementsByTagName(kData);
    ZAF_ASSERT_TAG(kTag, list != nullptr && list->getLength() == 1);
    const DOMNode* node = list->item(0);
    ZAF_ASSERT_TAG(kTag, node->getNodeType() == DOMNode::ELEMENT_NODE);
    return static_cast<const DOMElement*>(node);
}

} // namespace

// ---- CGUIDeadline ----

CGUIDeadline::~CGUIDeadline() { cancel(); }

void CGUIDeadline::start(unsigned int milliseconds, Action action, void* argument) {
    ZAF_ASSERT_TAG(kTag, action != nullptr && !m_thread.isStarted());
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_cancelled = false;
        m_expired = false;
        m_milliseconds = milliseconds;
        m_action = action;
        m_argument = argument;
    }
    m_thread.start(body, this);
}

bool CGUIDeadline::cancel() {
    if (!m_thread.isStarted())
        return false;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_cancelled = true;
    }
    m_wake.notify_all();
    m_thread.join();
    std::lock_guard<std::mutex> hold(m_lock);
    return m_expired;
}

void* CGUIDeadline::body(void* self) {
    auto* deadline = static_cast<CGUIDeadline*>(self);
    std::unique_lock<std::mutex> hold(deadline->m_lock);
    const bool cancelled =
        deadline->m_wake.wait_for(hold, std::chrono::milliseconds(deadline->m_milliseconds),
                                  [deadline] { return deadline->m_cancelled; });
    if (cancelled)
        return nullptr;
    deadline->m_expired = true;
    hold.unlock();
    deadline->m_action(deadline->m_argument);
    return nullptr;
}

// ---- construction and lifecycle ----

CGUIClient::CGUIClient(CZAFSocket* socket, const SGUIClientSettings& settings)
    : m_socket(socket), m_active(false, kTag, __LINE__), m_socketMutex(kTag, __LINE__),
      m_domImplementation(nullptr), m_settings(settings) {
    m_peerAddress = peerAddressOf(socket);
    try {
        m_domImplementation = DOMImplementationRegistry::getDOMImplementation(kCore);
        ZAF_ASSERT_TAG(kTag, m_domImplementation != nullptr);
    } catch (...) {
        delete m_socket;
        throw;
    }
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
    delete m_socket;
    ZAF_LOG_DEBUG("Deleting server instance...");
    if (m_server != nullptr) {
        // The facade saves the user's files as it goes: with the user's rights, never the
        // daemon's. When the identity cannot be taken on, the facade is left open rather than
        // written as root.
        try {
            CImpersonation identity(*this);
            delete m_server;
            m_server = nullptr;
        } catch (CGUIImpersonationException* e) {
            CZAFThrowableGuard guard(e);
            ZAF_LOG_ERROR("Could not take on the user's identity to close the server; it is "
                          "left open:\n"
                          << *e);
        }
    }
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

void CGUIClient::setServer(CVornServer* server) {
    delete m_server;
    m_server = server;
}

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
                logFailure(*e, "An error occured while trying to extract authentication\ndata:\n");
        } catch (CGUIAuthenticationException* e) {
            CZAFThrowableGuard guard(e);
            rc = eLoginRefused;
            errorText = logFailure(*e, "An error occured while authenticating username '" +
                                           printable(username) + "':\n");
        } catch (CGUIImpersonationException* e) {
            CZAFThrowableGuard guard(e);
            rc = eLoginImpersonation;
            errorText = logFailure(*e, "An error occured while trying to impersonate to client:\n");
        } catch (CZAFServerOpenException* e) {
            CZAFThrowableGuard guard(e);
            rc = eLoginServerOpen;
            errorText = logFailure(*e, "An error occured while trying to open Vorn Server\nfor "
                                       "username '" +
                                           printable(username) + "':\n");
        } catch (CGUICommunicationException* e) {
            CZAFThrowableGuard guard(e);
            rc = eLoginCommunication;
            errorText =
                logFailure(*e, "A communication error occured while trying to authenticate:\n");
        }
        m_loginDeadline.cancel();
        CZAFUtil::wipe(password);
        if (m_impersonating)
            unimpersonate();
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
                if (auto* secure = dynamic_cast<CZAFSecSocket*>(m_socket))
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
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        rc = dynamic_cast<CZAFError*>(e) != nullptr ? eSessionError : eSessionException;
        ZAF_LOG_ERROR("An internal error has occured. Connection with client will be stopped.\n"
                      "Please report this issue to the support team. Thank you.\n"
                      "Exception text:\n"
                      << *e);
    } catch (const DOMException& e) {
        CGUIXMLEngineException wrapped(gFromXML(e.getMessage()));
        rc = eSessionException;
        ZAF_LOG_ERROR("An internal error has occured. Connection with client will be stopped.\n"
                      "Please report this issue to the support team. Thank you.\n"
                      "Exception text:\n"
                      << wrapped);
    } catch (const SAXException& e) {
        CGUIXMLEngineException wrapped(gFromXML(e.getMessage()));
        rc = eSessionException;
        ZAF_LOG_ERROR("An internal error has occured. Connection with client will be stopped.\n"
                      "Please report this issue to the support team. Thank you.\n"
                      "Exception text:\n"
                      << wrapped);
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        CZAFSTLError wrapped(e);
        rc = eSessionError;
        ZAF_LOG_ERROR("An internal error has occured. Connection with client will be stopped.\n"
                      "Please report this issue to the support team. Thank you.\n"
                      "Exception text:\n"
                      << wrapped);
    } catch (...) {
        rc = eSessionException;
        ZAF_LOG_ERROR("An internal error has occured. Connection with client will be stopped.\n"
                      "Please report this issue to the support team. Thank you.\n"
                      "Exception text:\nError description not available.");
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
        if (m_server != nullptr) {
            // The facade saves the groups file and the random seed when it goes: that must
            // happen with the user's rights, never the daemon's.
            bool impersonated = m_impersonating;
            if (!impersonated) {
                try {
                    impersonate();
                    impersonated = true;
                } catch (CGUIImpersonationException* e) {
                    CZAFThrowableGuard guard(e);
                    ZAF_LOG_ERROR("Could not take on the user's identity to close the server; "
                                  "it is left open:\n"
                                  << *e);
                }
            }
            if (impersonated) {
                delete m_server;
                m_server = nullptr;
            }
        }
        m_active.set(false);
        if (m_impersonating)
            unimpersonate();
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        m_active.set(false);
        if (m_impersonating)
            unimpersonate();
        ZAF_LOG_ERROR(e->getDetailedMessage());
    }
    if (m_loggedIn.load())
        --gLoggedInSessions;
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
    if (auto* secure = dynamic_cast<CZAFSecSocket*>(m_socket))
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
    impersonate();
    m_server = new CVornServer();
    unimpersonate();
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
    auto* secure = dynamic_cast<CZAFSecSocket*>(m_socket);
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

std::string CGUIClient::answer(const std::string& command, int& rc) {
    std::unique_ptr<CGUIElement> response = createResponseDocument();
    CGUIElement& error = response->add("error");
    std::unique_ptr<CGUIElement> result;
    std::string errorText;
    std::string type;
    rc = eRequestOK;
    // Failures name the request by its type and length; its text is never logged.
    // A request that did not parse still names its type when the shape scan found one.
    auto requestType = [&]() {
        if (type.empty()) {
            SGUIShape shape;
            gCheckRequestShape(command, m_settings.shape, shape);
            type = shape.rootType;
        }
        return type;
    };
    auto failed = [&](const CZAFThrowable& e, int code, const char* head) {
        requestType();
        rc = code;
        errorText = logFailure(e, head + gDescribeRequest(command, type) + ":\n");
    };
    try {
        // Parsing and validation need no rights and take no lock: only the handler runs as the
        // user, in turn with every other session's requests.
        CDocumentGuard request(parseCommand(command));
        type = gGetAttribute(request->getDocumentElement(), kType);
        validateRequest(request.get());
        CImpersonation identity(*this);
        result = processRequest(request.get());
    } catch (CGUIUnknownRequestException* e) {
        CZAFThrowableGuard guard(e);
        rc = eRequestUnknown;
        errorText = logFailure(*e, "");
    } catch (CGUIFormatException* e) {
        CZAFThrowableGuard guard(e);
        rc = eRequestFormat;
        errorText = e->getDetailedMessage();
        ZAF_LOG_ERROR("A bad request format has encountered, command is skipped ("
                      << gDescribeRequest(command, requestType()) << "):\n"
                      << errorText);
    } catch (CGUIRequestFailedException* e) {
        CZAFThrowableGuard guard(e);
        failed(*e, eRequestFailed, "Error while processing request '");
    } catch (CGUIImpersonationException* e) {
        CZAFThrowableGuard guard(e);
        failed(*e, eRequestImpersonation, "Error while impersonating for processing request '");
    } catch (CGUIKeyImportException* e) {
        CZAFThrowableGuard guard(e);
        failed(*e, eRequestFailed, "Error while processing key import request '");
    } catch (CZAFException* e) {
        CZAFThrowableGuard guard(e);
        failed(*e, eRequestFailed, "INTERNAL ERROR: Uncaught exception while processing request '");
    }
    response->set("rc", std::to_string(rc));
    error.setText(errorText);
    if (rc == eRequestOK)
        response->adopt(std::move(result));
    return serialize(*response);
}

// ---- frames ----

void CGUIClient::readExactly(void* buffer, unsigned int length, bool& closed) {
    closed = false;
    if (!m_socket->readAll(buffer, length))
        closed = true;
}

bool CGUIClient::getCommand(std::string& command, uint32_t limit) {
    command.clear();
    try {
        unsigned char header[4];
        bool closed = false;
        readExactly(header, sizeof header, closed);
        if (closed) {
            if (m_loginExpired.load())
                throw new CGUILoginTimeoutException(m_settings.loginTimeout);
            return false;
        }
        const uint32_t length = getBigEndian32(header);
        if (length > limit)
            throw new CGUIFrameTooLongException(length, limit);
        std::string payload;
        while (payload.size() < length) {
            const uint32_t chunk =
                std::min<uint32_t>(kReadChunk, length - static_cast<uint32_t>(payload.size()));
            const size_t offset = payload.size();
            payload.resize(offset + chunk);
            readExactly(&payload[offset], chunk, closed);
            if (closed) {
                if (m_loginExpired.load())
                    throw new CGUILoginTimeoutException(m_settings.loginTimeout);
                throw new CZAFSocketIOException(ECONNRESET);
            }
        }
        const size_t end = payload.find('\0');
        if (end != std::string::npos)
            payload.resize(end);
        command.swap(payload);
        return true;
    } catch (CZAFSocketException* e) {
        if (m_loginExpired.load() && dynamic_cast<CGUILoginTimeoutException*>(e) == nullptr) {
            delete e;
            throw new CGUICommunicationException(
                new CGUILoginTimeoutException(m_settings.loginTimeout));
        }
        throw new CGUICommunicationException(e);
    }
}

void CGUIClient::reply(const void* data, unsigned int length) {
    // Length and data go out in one write: two small writes in a row would meet the peer's
    // delayed acknowledgement and cost tens of milliseconds per reply.
    std::string frame(4, '\0');
    frame[0] = static_cast<char>(length >> 24);
    frame[1] = static_cast<char>(length >> 16);
    frame[2] = static_cast<char>(length >> 8);
    frame[3] = static_cast<char>(length);
    frame.append(static_cast<const char*>(data), length);
    try {
        m_socket->writeAll(frame.data(), static_cast<unsigned int>(frame.size()));
    } catch (CZAFSocketException* e) {
        throw new CGUICommunicationException(e);
    }
}

void CGUIClient::reply(const CGUIElement& response) {
    const std::string text = serialize(response);
    reply(text.data(), static_cast<unsigned int>(text.size()));
}

std::string CGUIClient::serialize(const CGUIElement& response) { return gWriteDocument(response); }

std::unique_ptr<CGUIElement> CGUIClient::createResponseDocument() {
    return std::make_unique<CGUIElement>("response");
}

// ---- parse and validation ----

DOMDocument* CGUIClient::parseCommand(const std::string& command) {
    SGUIShape shape;
    const std::string excess = gCheckRequestShape(command, m_settings.shape, shape);
    if (!excess.empty())
        throw new CGUIFormatException("The request was refused before parsing: " + excess);
    CParseErrorHandler errors;
    DOMLSParser* parser =
        m_domImplementation->createLSParser(DOMImplementationLS::MODE_SYNCHRONOUS, nullptr);
    ZAF_ASSERT_TAG(kTag, parser != nullptr);
    std::unique_ptr<DOMLSParser, void (*)(DOMLSParser*)> parserGuard(
        parser, [](DOMLSParser* p) { p->release(); });
    DOMConfiguration* config = parser->getDomConfig();
    // Requests are plain documents: a document type declaration (and with it every entity) is
    // refused, nothing outside the request text is ever loaded.
    config->setParameter(XMLUni::fgDOMDisallowDoctype, true);
    config->setParameter(XMLUni::fgXercesLoadExternalDTD, false);
    config->setParameter(XMLUni::fgXercesDisableDefaultEntityResolution, true);
    config->setParameter(XMLUni::fgDOMNamespaces, false);
    config->setParameter(XMLUni::fgDOMValidate, false);
    config->setParameter(XMLUni::fgXercesUserAdoptsDOMDocument, true);
    config->setParameter(XMLUni::fgDOMErrorHandler, static_cast<DOMErrorHandler*>(&errors));

    std::string message;
    DOMDocument* document = nullptr;
    try {
        MemBufInputSource source(reinterpret_cast<const XMLByte*>(command.data()), command.size(),
                                 "MySYS", false);
        Wrapper4InputSource input(&source, false);
        document = parser->parse(&input);
    } catch (const XMLException& e) {
        message = gFromXML(e.getMessage());
    } catch (const DOMException& e) {
        message = gFromXML(e.getMessage());
    } catch (const SAXException& e) {
        message = gFromXML(e.getMessage());
    }
    if (errors.hasFailed() || document == nullptr || !message.empty()) {
        if (document != nullptr)
            document->release();
        if (message.empty())
            message = errors.hasFailed() ? errors.getMessage() : "no document";
        // The message may quote the request (a name, a value): it is made fit for one line and
        // short, and the request text itself is never part of it.
        throw new CGUIFormatException("An error occured while trying to parse XML data:\n"
                                      "Error message: --->" +
                                      gLogSafe(gMaskSecrets(message), 200) + "<---\n");
    }
    return document;
}

void CGUIClient::checkAttributesExist(const DOMElement* element, const std::string* names,
                                      unsigned int count) {
    ZAF_ASSERT_TAG(kTag, element != nullptr && names != nullptr);
    for (unsigned int i = 0; i < count; ++i)
        if (!element->hasAttribute(gToXML(names[i]).c_str()))
            throw new CGUIFormatException("Missing attribute: '" + names[i] + "'");
}

void CGUIClient::validateRequest(const DOMDocument* request) {
    ZAF_ASSERT_TAG(kTag, request != nullptr);
    const DOMElement* root = request->getDocumentElement();
    if (root == nullptr)
        throw new CGUIFormatException("No command found");
    if (!XMLString::equals(root->getTagName(), kCommand))
        throw new CGUIFormatException("Root element must be \"command\"");
    const std::string type = gGetAttribute(root, kType);
    if (type.empty())
        throw new CGUIFormatException("Missing 'type' attribute in 'command' element");
    DOMNodeList* dataList = root->getElementsByTagName(kData);
    if (dataList == nullptr || dataList->getLength() != 1)
        throw new CGUIFormatException("The 'data' element should appear exactly once");
    if (dataList->item(0)->getNodeType() != DOMNode::ELEMENT_NODE)
        throw new CGUIFormatException("The 'data' node must be an element");
    const auto* data = static_cast<const DOMElement*>(dataList->item(0));

    auto exactlyOnce = [&](const XMLCh* name, const char* message) -> const DOMElement* {
        const DOMElement* element = onlyElement(request, name);
        if (element == nullptr)
            throw new CGUIFormatException(message);
        return element;
    };

    if (type == GUICMD_KEYSSUMMARY || type == GUICMD_GETCONF) {
        return;
    } else if (type == GUICMD_SETCONF) {
        exactlyOnce(kAliases, "The 'aliases' element has to appear exactly once");
        exactlyOnce(kValues, "The 'values' element has to appear exactly once");
    } else if (type == GUICMD_KEYGEN) {
        static const std::string names[] = {"passphrase", "name", "trust-depth", "cipher",
                                            "size",       "adk",  "sign-only",   "token"};
        checkAttributesExist(data, names, 8);
    } else if (type == GUICMD_KEYREMOVE) {
        const DOMElement* key = exactlyOnce(kKey, "The 'key' element has to appear exactly once");
        static const std::string names[] = {"id", "pin"};
        checkAttributesExist(key, names, 2);
    } else if (type == GUICMD_KEYSIGN) {
        static const std::string names[] = {"signed-key", "signing-key", "sig-type",
                                            "regexp",     "passphrase",  "depth"};
        checkAttributesExist(data, names, 6);
    } else if (type == GUICMD_KEYEXPORT) {
        static const std::string names[] = {"id", "with-private", "armor", "export-format"};
        checkAttributesExist(data, names, 4);
    } else if (type == GUICMD_KEYIMPORT) {
        static const std::string names[] = {"x509", "with-private"};
        checkAttributesExist(data, names, 2);
        DOMNodeList* files = request->getElementsByTagName(kFile);
        if (files == nullptr || files->getLength() == 0)
            throw new CGUIFormatException("The 'file' element is missing");
        static const std::string size[] = {"size"};
        for (XMLSize_t i = 0; i < files->getLength(); ++i)
            checkAttributesExist(static_cast<const DOMElement*>(files->item(i)), size, 1);
    } else if (type == GUICMD_AUTH) {
        static const std::string names[] = {"username", "password", "domain"};
        checkAttributesExist(data, names, 3);
    } else if (type == GUICMD_ENTROPYPAIR) {
        static const std::string names[] = {"type", "size"};
        checkAttributesExist(data, names, 2);
    } else if (type == GUICMD_ENTROPYSUBK) {
        static const std::string names[] = {"id", "subkey-size"};
        checkAttributesExist(data, names, 2);
    } else if (type == GUICMD_ENTROPYSUPP) {
        const DOMElement* entropy =
            exactlyOnce(kEntropy, "The 'entropy' element has to appear exactly once");
        static const std::string names[] = {"needed"};
        checkAttributesExist(entropy, names, 1);
    } else if (type == GUICMD_GETLOG) {
        return;
    } else if (type == GUICMD_SUBKEYGEN) {
        static const std::string names[] = {"id", "subkey-size", "passphrase"};
        checkAttributesExist(data, names, 3);
    } else if (type == GUICMD_ADD_USERID) {
        static const std::string names[] = {"id", "userid", "passphrase"};
        checkAttributesExist(data, names, 3);
    } else if (type == GUICMD_REM_USERID) {
        static const std::string names[] = {"id", "userid"};
        checkAttributesExist(data, names, 2);
    } else if (type == GUICMD_REV_KEY) {
        static const std::string names[] = {"id", "revoker-id", "passphrase"};
        checkAttributesExist(data, names, 3);
    } else if (type == GUICMD_GET_CL) {
        return;
    } else if (type == GUICMD_HOSTKEY) {
        return;
    } else if (type == GUICMD_GET_PICTURE) {
        static const std::string names[] = {"id"};
        checkAttributesExist(data, names, 1);
    } else {
        throw new CGUIUnknownRequestException(gLogSafe(type, 64));
    }
}

std::unique_ptr<CGUIElement> CGUIClient::processRequest(const DOMDocument* request) {
    ZAF_ASSERT_TAG(kTag, request != nullptr);
    const std::string type = gGetAttribute(request->getDocumentElement(), kType);
    return dispatch(type, dataElement(request));
}

std::unique_ptr<CGUIElement> CGUIClient::dispatch(const std::string& type, const DOMElement* data) {
    if (type == GUICMD_KEYSSUMMARY)
        return doKeysSummary();
    if (type == GUICMD_GETCONF)
        return doGetConf();
    if (type == GUICMD_SETCONF)
        return doSetConf(data);
    if (type == GUICMD_GETLOG)
        return doGetLog();
    if (type == GUICMD_GET_CL)
        return doGetCLOpts();
    if (type == GUICMD_KEYREMOVE)
        return doKeyRemove(data);
    if (type == GUICMD_KEYGEN)
        return doKeyGen(data);
    if (type == GUICMD_KEYSIGN)
        return doKeySign(data);
    if (type == GUICMD_KEYEXPORT)
        return doKeyExport(data);
    if (type == GUICMD_ENTROPYPAIR)
        return doEntropyPair(data);
    if (type == GUICMD_ENTROPYSUBK)
        return doEntropySubkey(data);
    if (type == GUICMD_ENTROPYSUPP)
        return doEntropySupply(data);
    if (type == GUICMD_SUBKEYGEN)
        return doSubkeyGen(data);
    if (type == GUICMD_ADD_USERID)
        return doUserIDAdd(data);
    if (type == GUICMD_REM_USERID)
        return doUserIDRemove(data);
    if (type == GUICMD_REV_KEY)
        return doKeyRevoke(data);
    if (type == GUICMD_GET_PICTURE)
        return doGetPicture(data);
    if (type == GUICMD_KEYIMPORT)
        return doKeyImport(data);
    if (type == GUICMD_HOSTKEY)
        return hostKeyElement();
    // The login request has no handler: a console that sends it again has lost track of the
    // session, which then ends without a reply. Validation lets no other type through.
    ZAF_FAIL_TAG(kTag);
}

// ---- login and identity ----

void CGUIClient::getAuthenticationData(std::string& username, std::string& password,
                                       std::string& domain) {
    std::string command;
    if (!getCommand(command, m_settings.maxLoginFrame))
        throw new CGUICommunicationException(new CZAFSocketIOException(ECONNRESET));
    if (command.empty())
        throw new CGUIFormatException("Null authentication data received");
    CDocumentGuard request;
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
    const DOMElement* data = dataElement(request.get());
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

void CGUIClient::unimpersonate() {
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

std::string gMaskSecrets(const std::string& request) {
    std::string out;
    out.reserve(request.size());
    size_t i = 0;
    while (i < request.size()) {
        size_t nameEnd = std::string::npos;
        for (const char* name : {"passphrase", "password"}) {
            const size_t length = std::char_traits<char>::length(name);
            if (request.compare(i, length, name) == 0 &&
                (i == 0 || std::isspace(static_cast<unsigned char>(request[i - 1])))) {
                nameEnd = i + length;
                break;
            }
        }
        if (nameEnd == std::string::npos) {
            out.push_back(request[i++]);
            continue;
        }
        size_t k = nameEnd;
        while (k < request.size() && std::isspace(static_cast<unsigned char>(request[k])))
            ++k;
        if (k >= request.size() || request[k] != '=') {
            out.append(request, i, nameEnd - i);
            i = nameEnd;
            continue;
        }
        ++k;
        while (k < request.size() && std::isspace(static_cast<unsigned char>(request[k])))
            ++k;
        if (k >= request.size() || (request[k] != '"' && request[k] != '\'')) {
            out.append(request, i, k - i);
            i = k;
            continue;
        }
        const char quote = request[k];
        const size_t close = request.find(quote, k + 1);
        out.append(request, i, k + 1 - i);
        out += "***";
        if (close == std::string::npos)
            return out;
        out.push_back(quote);
        i = close + 1;
    }
    return out;
}

} // namespace vorngui

namespace vorngui {

std::string gLogSafe(const std::string& text, std::size_t limit) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    const std::size_t length = std::min(text.size(), limit);
    out.reserve(length);
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c == 0x7F || c == '\\') {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (text.size() > limit)
        out += "...";
    return out;
}

std::string gDescribeRequest(const std::string& request, const std::string& type) {
    std::string out = "request";
    if (!type.empty())
        out += " '" + gLogSafe(type, 64) + "'";
    out += " of " + std::to_string(request.size()) + " bytes";
    // Masked as a whole first: a prefix could end inside a secret the masker would not see.
    const std::string masked = gMaskSecrets(request.substr(0, 4096));
    out += ", beginning '" + gLogSafe(masked, 48) + "'";
    return out;
}

} // namespace vorngui
