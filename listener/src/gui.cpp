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

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cxxabi.h>
#include <grp.h>
#include <memory>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>
#include <vorngui/gui.h>
#include <vorngui/guiauth.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/xmlstring.h>

namespace vorngui {

using namespace oozaf;
using namespace xercesc;

CGUIFairMutex gRequestMutex;

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

namespace {

const char* const kTag = "gui";

// Frames are read in pieces of this size, so memory grows with the bytes that really arrive and
// not with the length a peer announces.
constexpr uint32_t kReadChunk = 64 * 1024;

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
std::string printable(const std::string& text) {
    std::string out = text.substr(0, 256);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

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
        // Only clients without a session thread can still hold one here; the session deletes
        // its own facade under the user's identity.
        delete m_server;
        m_server = nullptr;
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
            if (m_settings.loginTimeout != 0)
                m_loginDeadline.start(m_settings.loginTimeout, expireLogin, this);
            runHandshake();
            getAuthenticationData(username, password, domain);
            m_loginDeadline.cancel();
            setSecurityCredentials(username, password, domain);
            CZAFUtil::wipe(password);
            impersonate();
            m_server = new CVornServer();
            unimpersonate();
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
        if (rc != eLoginCommunication) {
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
}

void CGUIClient::runHandshake() {
    auto* secure = dynamic_cast<CZAFSecSocket*>(m_socket);
    if (secure == nullptr)
        return;
    try {
        CZAFContext context;
        secure->setHandshakeTimeout(m_settings.loginTimeout);
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
    while (getCommand(command, m_settings.maxFrame) && !command.empty()) {
        int rc = 0;
        const std::string response = answer(command, rc);
        reply(response.data(), static_cast<unsigned int>(response.size()));
        if (!isActive())
            break;
    }
}

std::string CGUIClient::answer(const std::string& command, int& rc) {
    std::unique_ptr<CGUIElement> response = createResponseDocument();
    CGUIElement& error = response->add("error");
    std::unique_ptr<CGUIElement> result;
    std::string errorText;
    rc = eRequestOK;
    // Request failures name the request, its secrets masked.
    auto failed = [&](const CZAFThrowable& e, int code, const char* head) {
        rc = code;
        errorText = logFailure(e, head + gMaskSecrets(command) + "':\n");
    };
    try {
        CImpersonation identity(*this);
        CDocumentGuard request(parseCommand(command));
        validateRequest(request.get());
        result = processRequest(request.get());
    } catch (CGUIUnknownRequestException* e) {
        CZAFThrowableGuard guard(e);
        rc = eRequestUnknown;
        errorText = logFailure(*e, "");
    } catch (CGUIFormatException* e) {
        CZAFThrowableGuard guard(e);
        rc = eRequestFormat;
        errorText = logFailure(*e, "A bad request format has encountered, command is skipped:\n");
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
        throw new CGUIFormatException("An error occured while trying to parse XML data:\n"
                                      "Error message: --->" +
                                      message +
                                      "<---\n"
                                      "Failing data : --->" +
                                      command + "<---\n");
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
    } else if (type == GUICMD_GET_PICTURE) {
        static const std::string names[] = {"id"};
        checkAttributesExist(data, names, 1);
    } else {
        throw new CGUIUnknownRequestException(type);
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
        // The effective identity belongs to the whole process: while another session runs a
        // request as its user, this thread could neither read the shadow file nor learn the
        // daemon's own ids. Both happen while no session impersonates.
        CGUIFairLock quiet(gRequestMutex);
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
        if (restoreGroup && setegid(m_credentials.savedGroupID) != 0)
            ZAF_LOG_ERROR("Unimpersonation error while setting gid to 0:\n"
                          << CZAFOSException(errno));
        if (restoreGroups &&
            setgroups(m_credentials.savedGroups.size(), m_credentials.savedGroups.data()) != 0)
            ZAF_LOG_ERROR("Unimpersonation error while setting the groups:\n"
                          << CZAFOSException(errno));
        m_impersonating = false;
        gRequestMutex.unlock();
        throw new CGUIImpersonationException(error);
    };
    if (c.switchGroups && setgroups(c.groups.size(), c.groups.data()) != 0)
        fail(errno, false, false);
    if (setegid(c.groupID) != 0)
        fail(errno, false, c.switchGroups);
    if (seteuid(c.userID) != 0)
        fail(errno, true, c.switchGroups);
}

void CGUIClient::unimpersonate() {
    if (!m_impersonating)
        return;
    if (m_credentials.isSet) {
        const SSecurityCredentials& c = m_credentials;
        if (seteuid(c.savedUserID) != 0)
            ZAF_LOG_ERROR("Unimpersonation error while setting uid to 0:\n"
                          << CZAFOSException(errno));
        if (setegid(c.savedGroupID) != 0)
            ZAF_LOG_ERROR("Unimpersonation error while setting gid to 0:\n"
                          << CZAFOSException(errno));
        if (c.switchGroups && setgroups(c.savedGroups.size(), c.savedGroups.data()) != 0)
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
