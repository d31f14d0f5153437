// gui: the client session: the login as the login process runs it, and the session as the
// session process serves it.
#include <oozaf/keydb.h>
#include <oozaf/logger.h>
#include <oozaf/secsocket.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <oozaf/vornserver.h>
#include <vorngui/gui.h>
#include <vorngui/guiauth.h>
#include <vorngui/guichannel.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/guiprocess.h>
#include <vorngui/guiprotocol.h>
#include <vorngui/guisite.h>
#include <vorngui/xmlstring.h>

#include <xercesc/dom/DOM.hpp>

#include <cerrno>
#include <cstdint>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace vorngui {

using namespace oozaf;
using namespace xercesc;

namespace {

const char* const kTag = "gui";

// How long the rest of an over-long frame may pause before the session ends unanswered.
constexpr int kDrainStallMs = 5000;

// The longest user name and domain a login passes on to the daemon (no account has longer).
constexpr std::size_t kMaxNameLength = 1024;

const CXStr kCore("Core");
const CXStr kType("type");
const CXStr kUsername("username");
const CXStr kPassword("password");
const CXStr kDomain("domain");
const CXStr kClientAddress("client-address");

// User names come from the network; log them without line breaks or other controls.
std::string printable(const std::string& text) { return gLogSafe(text, 64); }

} // namespace

// ---- construction ----

CGUIClient::CGUIClient(CZAFSocket* socket, const SGUIClientSettings& settings)
    : m_socket(socket), m_socketMutex(kTag, __LINE__), m_domImplementation(nullptr),
      m_settings(settings) {
    m_domImplementation = DOMImplementationRegistry::getDOMImplementation(kCore);
    ZAF_ASSERT_TAG(kTag, m_domImplementation != nullptr);
}

CGUIClient::~CGUIClient() {
    m_loginDeadline.cancel();
    m_server.reset();
    m_socket.reset();
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
    // Only the descriptor: closing the last one ends the connection in order, and a shutdown
    // would fail (and be logged) for every peer that left first, or cut a connection this
    // process hands on.
    try {
        m_socket->CZAFAbstractSocket::close();
    } catch (CZAFSocketException* e) {
        CZAFThrowableGuard owned(e);
        ZAF_LOG_WARNING("WARNING: An error occured while trying to close socket: " << *e);
    }
}

void CGUIClient::expireLogin(void* client) {
    auto* self = static_cast<CGUIClient*>(client);
    self->m_loginExpired.store(true);
    self->interruptSocket();
}

void CGUIClient::setServer(std::unique_ptr<CVornServer> server) { m_server = std::move(server); }

CVornServer& CGUIClient::server() {
    ZAF_ASSERT_TAG(kTag, m_server != nullptr);
    return *m_server;
}

// ---- the login process ----

int CGUIClient::login(CGUIChannel& daemon, int& sessionDescriptor) {
    sessionDescriptor = -1;
    int rc = eLoginOK;
    std::string errorText;
    try {
        try {
            rc = askDaemon(daemon, errorText, sessionDescriptor);
        } catch (CGUIFormatException* e) {
            CZAFThrowableGuard guard(e);
            rc = eLoginFormat;
            errorText = gLogFailure(*e, "An error occured while trying to extract authentication "
                                        "data from " +
                                            m_settings.clientAddress + ": ");
            if (!m_loginEcho.empty())
                errorText = gWithFailingData(errorText, m_loginEcho);
        } catch (CGUICommunicationException* e) {
            CZAFThrowableGuard guard(e);
            rc = eLoginCommunication;
            gLogFailure(*e, "A communication error occured while trying to authenticate " +
                                m_settings.clientAddress + ": ");
        } catch (CGUIChannelException* e) {
            CZAFThrowableGuard guard(e);
            rc = eLoginCommunication;
            gLogFailure(*e, "The daemon did not answer the login from " + m_settings.clientAddress +
                                ": ");
        }
        m_loginDeadline.cancel();
        if (m_hostKeyRequest && rc == eLoginOK) {
            try {
                sendHostKey();
            } catch (CGUICommunicationException* e) {
                CZAFThrowableGuard guard(e);
                ZAF_LOG_VERBOSE("The host key could not be sent to " << m_settings.clientAddress
                                                                     << ": " << *e);
            }
            rc = eLoginCommunication;
        } else if (rc != eLoginOK && rc != eLoginCommunication) {
            refuseLogin(rc, errorText);
        }
    } catch (...) {
        const eGUIFailureKind kind = gLogBoundaryFailure(
            "An internal error has occured. Connection with client will be stopped.\n"
            "Please report this issue to the support team. Thank you.\n",
            "Exception text:\n", "Exception text:\nError description not available.");
        rc = kind == eGUIFailureKind::eDefect ? eSessionError : eSessionException;
        if (sessionDescriptor >= 0) {
            ::close(sessionDescriptor);
            sessionDescriptor = -1;
        }
    }
    return rc;
}

int CGUIClient::askDaemon(CGUIChannel& daemon, std::string& errorText, int& sessionDescriptor) {
    // Until the login succeeds a record may hold no more than the login request.
    if (auto* secure = dynamic_cast<CZAFSecSocket*>(m_socket.get()))
        secure->setInboundRecordLimit(m_settings.maxLoginFrame + 4);
    if (m_settings.loginTimeout != 0)
        m_loginDeadline.start(m_settings.loginTimeout, expireLogin, this);
    runHandshake();
    std::string username;
    std::string password;
    std::string domain;
    std::string clientAddress;
    struct SWipe {
        std::string& text;
        ~SWipe() { CZAFUtil::wipe(text); }
    } wipePassword{password};
    getAuthenticationData(username, password, domain, clientAddress);
    m_loginDeadline.cancel();
    if (m_hostKeyRequest)
        return eLoginOK;

    // The daemon decides: it alone can read the password database. A password too long to be
    // checked is cut one byte past the bound, which the daemon refuses without hashing.
    if (password.size() > kMaxPasswordLength)
        password.resize(kMaxPasswordLength + 1);
    CGUIMessage request(eGUIMessage::eAuth);
    request.add(username.substr(0, kMaxNameLength))
        .add(password)
        .add(domain.substr(0, kMaxNameLength))
        .add(clientAddress);
    std::string bytes;
    int passed = -1;
    if (!daemon.exchange(request, eGUIMessage::eVerdict, bytes, &passed))
        throw new CGUIChannelException("the daemon closed the channel");
    CGUIMessage verdict = CGUIMessage::decode(bytes);
    const int rc = static_cast<int>(verdict.number(eSessionError));
    errorText = verdict.text(CGUIMessage::kMaxBytes);
    verdict.expectEnd();
    if (rc == eLoginOK)
        sessionDescriptor = passed;
    else if (passed >= 0)
        ::close(passed);
    return rc;
}

void CGUIClient::refuseLogin(int rc, const std::string& errorText) {
    try {
        sendLoginReply(rc, errorText.empty() ? "Error description is not available" : errorText);
    } catch (CGUICommunicationException* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_ERROR("A communication error occured while trying to negotiate connection with "
                      << m_settings.clientAddress << ": " << *e);
    }
}

void CGUIClient::sendHostKey() {
    std::unique_ptr<CGUIElement> response = createResponseDocument();
    response->set("rc", std::to_string(eRequestOK));
    response->add("error");
    response->adopt(hostKeyElement());
    reply(*response);
}

std::unique_ptr<CGUIElement> CGUIClient::hostKeyElement() const {
    if (m_settings.hostKeyText.empty())
        return nullptr;
    auto key = std::make_unique<CGUIElement>("host-key");
    key->set("fingerprint", m_settings.hostKeyFingerprint);
    key->setText(m_settings.hostKeyText);
    return key;
}

void CGUIClient::runHandshake() {
    auto* secure = dynamic_cast<CZAFSecSocket*>(m_socket.get());
    if (secure == nullptr)
        return;
    try {
        CZAFContext context;
        secure->setHandshakeTimeout(m_settings.loginTimeout);
        if (m_settings.signer && m_settings.hostKeyID.size() == 8)
            secure->serverHandshake(
                context.getHandle(),
                reinterpret_cast<const unsigned char*>(m_settings.hostKeyID.data()),
                m_settings.signer);
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

void CGUIClient::getAuthenticationData(std::string& username, std::string& password,
                                       std::string& domain, std::string& clientAddress) {
    std::string command;
    if (!getCommand(command, m_settings.maxLoginFrame))
        throw new CGUICommunicationException(new CZAFSocketIOException(ECONNRESET));
    if (command.empty())
        throw new CGUIFormatException("Null authentication data received");
    CGUIDocumentGuard request;
    try {
        request.reset(parseCommand(command));
        CZAFUtil::wipe(command);
    } catch (CGUIFormatException* e) {
        // The reply shows the console what it sent (its password masked), as any request's.
        if (e->isParseFailure())
            m_loginEcho = gEchoRequest(command);
        CZAFUtil::wipe(command);
        throw;
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
    clientAddress.clear();
    // Only orxweb's socket may name another address than the peer's; elsewhere the attribute is
    // ignored.
    if (m_settings.webSocket) {
        if (!gHasAttribute(data, kClientAddress))
            throw new CGUIFormatException("Missing attribute: 'client-address'");
        const std::string given = gGetAttribute(data, kClientAddress);
        clientAddress = gNormalizeAddress(given);
        if (clientAddress.empty())
            throw new CGUIFormatException("The 'client-address' attribute '" + gLogSafe(given, 64) +
                                          "' is not an IP address");
    }
}

// ---- the session process ----

void CGUIClient::limitWork() {
    try {
        if (m_settings.requestCPUSeconds != 0)
            gLimitCPUFromNow(m_settings.requestCPUSeconds);
    } catch (CGUIProcessException* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_WARNING("WARNING: " << e->getDetailedMessage());
    }
    if (m_settings.requestWallSeconds != 0)
        ::alarm(m_settings.requestWallSeconds);
}

void CGUIClient::endWorkLimit() {
    if (m_settings.requestWallSeconds != 0)
        ::alarm(0);
    try {
        if (m_settings.requestCPUSeconds != 0)
            gLimitCPUFromNow(0);
    } catch (CGUIProcessException* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_WARNING("WARNING: " << e->getDetailedMessage());
    }
}

int CGUIClient::serve() {
    int rc = eLoginOK;
    try {
        std::string errorText;
        try {
            limitWork();
            m_server = std::make_unique<CVornServer>(nullptr, CVornServer::eRingsRead::eWhenUsed);
            if (!keptSummaryFits())
                m_server->getKeyDB();
            endWorkLimit();
        } catch (CZAFServerOpenException* e) {
            CZAFThrowableGuard guard(e);
            endWorkLimit();
            rc = eLoginServerOpen;
            errorText = gLogFailure(*e, "An error occured while trying to open Vorn Server for "
                                        "username '" +
                                            printable(m_settings.username) + "' from " +
                                            m_settings.clientAddress + ": ");
        }
        if (rc != eLoginOK) {
            refuseLogin(rc, errorText);
            m_server.reset();
            return rc;
        }
        try {
            sendLoginReply(eLoginOK, std::string());
            ZAF_LOG_VERBOSE("Session of '" << printable(m_settings.username) << "' from "
                                           << m_settings.clientAddress << " started");
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
            ZAF_LOG_ERROR("A communication error occured with " << m_settings.clientAddress
                                                                << ", therefore I am closing this "
                                                                   "connection: "
                                                                << *e);
        }
    } catch (...) {
        const eGUIFailureKind kind = gLogBoundaryFailure(
            "An internal error has occured. Connection with client will be stopped.\n"
            "Please report this issue to the support team. Thank you.\n",
            "Exception text:\n", "Exception text:\nError description not available.");
        rc = kind == eGUIFailureKind::eDefect ? eSessionError : eSessionException;
    }
    closeSocket();
    // The facade saves the user's groups file and random seed as it goes.
    try {
        m_server.reset();
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_ERROR(e->getDetailedMessage());
    }
    return rc;
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
        limitWork();
        const std::string response = answer(command, rc);
        endWorkLimit();
        reply(response.data(), static_cast<unsigned int>(response.size()));
    }
}

void CGUIClient::answerTooLong(const CGUIFrameTooLongException& tooLong) {
    ZAF_LOG_ERROR("A request frame from " << m_settings.clientAddress
                                          << " was refused: " << tooLong);
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
        ZAF_LOG_VERBOSE("The answer to a refused frame could not be sent: " << *e);
    }
}

void CGUIClient::feedFeatures(CGUIElement& info) {
    const bool rng = m_server != nullptr && m_server->hasRNG();
    const bool log = m_server != nullptr && m_server->hasLog();
    info.set("rng", rng ? "yes" : "no");
    info.set("platform", "UNIX");
    info.set("log", log ? "yes" : "no");
}

} // namespace vorngui
