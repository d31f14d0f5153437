// guiprotocol: the request protocol of a session: frames, parsing, the request table with its
// structural checks and handlers, and answering one request.
#include <oozaf/logger.h>
#include <oozaf/throwable.h>
#include <oozaf/time.h>
#include <oozaf/util.h>
#include <oozaf/vornserver.h>
#include <vorngui/gui.h>
#include <vorngui/guiaudit.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/guikeyedit.h>
#include <vorngui/guikeys.h>
#include <vorngui/guikeyserver.h>
#include <vorngui/guiprotocol.h>
#include <vorngui/xmlstring.h>
#include <zaf/zafbase.h>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/Wrapper4InputSource.hpp>
#include <xercesc/sax/SAXException.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <unistd.h>

namespace vorngui {

using namespace oozaf;
using namespace xercesc;

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

const CXStr kCommand("command");
const CXStr kType("type");
const CXStr kData("data");

// ---- the request table ----

using CResult = std::unique_ptr<CGUIElement>;

// A handler of the session that reads nothing from the request.
template <CResult (CGUIClient::*Handler)()> CResult session(CGUIClient& client, const DOMElement*) {
    return (client.*Handler)();
}

// A handler of the session that reads the request's "data" element.
template <CResult (CGUIClient::*Handler)(const DOMElement*)>
CResult sessionData(CGUIClient& client, const DOMElement* data) {
    return (client.*Handler)(data);
}

// A key request, run on the session's facade.
template <CResult (CGUIKeyRequests::*Handler)(const DOMElement*)>
CResult keys(CGUIClient& client, const DOMElement* data) {
    CGUIKeyRequests requests(client.server());
    return (requests.*Handler)(data);
}

// A key server request (guikeyserver.h), run on the session's facade.
template <CResult (CGUIKeyServerRequests::*Handler)(const DOMElement*)>
CResult keyServer(CGUIClient& client, const DOMElement* data) {
    CGUIKeyServerRequests requests(client.server());
    return (requests.*Handler)(data);
}

// A key edit beyond the console's original set (guikeyedit.h), run on the session's facade.
template <CResult (CGUIKeyEditRequests::*Handler)(const DOMElement*)>
CResult keyEdits(CGUIClient& client, const DOMElement* data) {
    CGUIKeyEditRequests requests(client.server());
    return (requests.*Handler)(data);
}

CResult hostKey(CGUIClient& client, const DOMElement*) { return client.hostKeyElement(); }

constexpr SGUIRequestCheck kNoCheck{eGUICheckPlace::None, nullptr, {}};

// Attributes required on "data".
constexpr SGUIRequestCheck onData(std::array<const char*, 8> names) {
    return SGUIRequestCheck{eGUICheckPlace::Data, nullptr, names};
}

using C = CGUIClient;
using K = CGUIKeyRequests;
using S = CGUIKeyServerRequests;
using E = CGUIKeyEditRequests;

constexpr SGUIRequestType kRequestTypes[] = {
    {&C::GUICMD_AUTH, {onData({"username", "password", "domain"}), kNoCheck}, nullptr},
    {&C::GUICMD_HOSTKEY, {kNoCheck, kNoCheck}, &hostKey},
    {&C::GUICMD_KEYSSUMMARY, {kNoCheck, kNoCheck}, &session<&C::doKeysSummary>},
    {&C::GUICMD_GETLOG, {kNoCheck, kNoCheck}, &session<&C::doGetLog>},
    {&C::GUICMD_GET_CL, {kNoCheck, kNoCheck}, &session<&C::doGetCLOpts>},
    {&C::GUICMD_GETCONF, {kNoCheck, kNoCheck}, &session<&C::doGetConf>},
    {&C::GUICMD_SETCONF,
     {SGUIRequestCheck{eGUICheckPlace::OnlyElement, "aliases", {}},
      SGUIRequestCheck{eGUICheckPlace::OnlyElement, "values", {}}},
     &sessionData<&C::doSetConf>,
     true},
    {&C::GUICMD_ENTROPYPAIR, {onData({"type", "size"}), kNoCheck}, &keys<&K::doEntropyPair>},
    {&C::GUICMD_ENTROPYSUBK, {onData({"id", "subkey-size"}), kNoCheck}, &keys<&K::doEntropySubkey>},
    {&C::GUICMD_ENTROPYSUPP,
     {SGUIRequestCheck{eGUICheckPlace::OnlyElement, "entropy", {"needed"}}, kNoCheck},
     &keys<&K::doEntropySupply>},
    {&C::GUICMD_KEYGEN,
     {onData({"passphrase", "name", "trust-depth", "cipher", "size", "adk", "sign-only", "token"}),
      kNoCheck},
     &keys<&K::doKeyGen>,
     true},
    {&C::GUICMD_SUBKEYGEN,
     {onData({"id", "subkey-size", "passphrase"}), kNoCheck},
     &keys<&K::doSubkeyGen>,
     true},
    {&C::GUICMD_KEYREMOVE,
     {SGUIRequestCheck{eGUICheckPlace::OnlyElement, "key", {"id", "pin"}}, kNoCheck},
     &keys<&K::doKeyRemove>,
     true},
    {&C::GUICMD_KEYSIGN,
     {onData({"signed-key", "signing-key", "sig-type", "regexp", "passphrase", "depth"}), kNoCheck},
     &keys<&K::doKeySign>,
     true},
    {&C::GUICMD_REV_KEY,
     {onData({"id", "revoker-id", "passphrase"}), kNoCheck},
     &keys<&K::doKeyRevoke>,
     true},
    {&C::GUICMD_ADD_USERID,
     {onData({"id", "userid", "passphrase"}), kNoCheck},
     &keys<&K::doUserIDAdd>,
     true},
    {&C::GUICMD_REM_USERID, {onData({"id", "userid"}), kNoCheck}, &keys<&K::doUserIDRemove>, true},
    {&C::GUICMD_KEYIMPORT,
     {onData({"x509", "with-private"}),
      SGUIRequestCheck{eGUICheckPlace::EachElement, "file", {"size"}}},
     &keys<&K::doKeyImport>,
     true},
    {&C::GUICMD_KEYEXPORT,
     {onData({"id", "with-private", "armor", "export-format"}), kNoCheck},
     &keys<&K::doKeyExport>},
    {&C::GUICMD_GET_PICTURE, {onData({"id"}), kNoCheck}, &keys<&K::doGetPicture>},
    {&S::GUICMD_KS_SEARCH, {onData({"pattern"}), kNoCheck}, &keyServer<&S::doSearch>},
    {&S::GUICMD_KS_FETCH, {onData({"ids"}), kNoCheck}, &keyServer<&S::doFetch>, true},
    {&E::GUICMD_SETTRUST, {onData({"id", "trust"}), kNoCheck}, &keyEdits<&E::doSetTrust>, true},
    {&E::GUICMD_SETDISABLED,
     {onData({"id", "disabled"}), kNoCheck},
     &keyEdits<&E::doSetDisabled>,
     true},
    {&E::GUICMD_SETEXPIRY,
     {onData({"id", "expiry-date", "passphrase"}), kNoCheck},
     &keyEdits<&E::doSetExpiry>,
     true},
    {&E::GUICMD_PASSPHRASE,
     {onData({"id", "passphrase", "new-passphrase"}), kNoCheck},
     &keyEdits<&E::doChangePassphrase>,
     true},
    {&E::GUICMD_REV_SUBKEY,
     {onData({"id", "subkey-id", "passphrase"}), kNoCheck},
     &keyEdits<&E::doRevokeSubkey>,
     true},
    {&E::GUICMD_REV_USERID,
     {onData({"id", "userid", "passphrase"}), kNoCheck},
     &keyEdits<&E::doRevokeUserID>,
     true},
    {&E::GUICMD_KEYSUMMARY, {onData({"id"}), kNoCheck}, &keyEdits<&E::doKeySummary>},
};

// ---- parsing ----

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

uint32_t getBigEndian32(const unsigned char* bytes) {
    return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
           (static_cast<uint32_t>(bytes[2]) << 8) | static_cast<uint32_t>(bytes[3]);
}

// ---- validation ----

const DOMElement* onlyElement(const DOMDocument* document, const XMLCh* name) {
    DOMNodeList* list = document->getElementsByTagName(name);
    if (list == nullptr || list->getLength() != 1)
        return nullptr;
    const DOMNode* node = list->item(0);
    return node->getNodeType() == DOMNode::ELEMENT_NODE ? static_cast<const DOMElement*>(node)
                                                        : nullptr;
}

// Throws CGUIFormatException "Missing attribute: '<name>'" for the first absent name.
void checkAttributes(const DOMElement* element, const std::array<const char*, 8>& names) {
    ZAF_ASSERT_TAG(kTag, element != nullptr);
    for (const char* name : names) {
        if (name == nullptr)
            return;
        if (!element->hasAttribute(CXStr(name)))
            throw new CGUIFormatException(std::string("Missing attribute: '") + name + "'");
    }
}

void runCheck(const SGUIRequestCheck& check, const DOMDocument* request, const DOMElement* data) {
    switch (check.place) {
    case eGUICheckPlace::None:
        return;
    case eGUICheckPlace::Data:
        checkAttributes(data, check.attributes);
        return;
    case eGUICheckPlace::OnlyElement: {
        const DOMElement* element = onlyElement(request, CXStr(check.element));
        if (element == nullptr)
            throw new CGUIFormatException(std::string("The '") + check.element +
                                          "' element has to appear exactly once");
        checkAttributes(element, check.attributes);
        return;
    }
    case eGUICheckPlace::EachElement: {
        DOMNodeList* elements = request->getElementsByTagName(CXStr(check.element));
        if (elements == nullptr || elements->getLength() == 0)
            throw new CGUIFormatException(std::string("The '") + check.element +
                                          "' element is missing");
        for (XMLSize_t i = 0; i < elements->getLength(); ++i)
            checkAttributes(static_cast<const DOMElement*>(elements->item(i)), check.attributes);
        return;
    }
    }
}

} // namespace

const DOMElement* gDataElement(const DOMDocument* request) {
    DOMNodeList* list = request->getDocumentElement()->getElementsByTagName(kData);
    ZAF_ASSERT_TAG(kTag, list != nullptr && list->getLength() == 1);
    const DOMNode* node = list->item(0);
    ZAF_ASSERT_TAG(kTag, node->getNodeType() == DOMNode::ELEMENT_NODE);
    return static_cast<const DOMElement*>(node);
}

const SGUIRequestType* gFindRequestType(const std::string& type) {
    for (const SGUIRequestType& row : kRequestTypes)
        if (*row.type == type)
            return &row;
    return nullptr;
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

namespace {

// Writes the frame's length (the bytes after the 4-byte field) into that field.
void putFrameLength(std::string& frame) {
    const auto length = static_cast<uint32_t>(frame.size() - 4);
    frame[0] = static_cast<char>(length >> 24);
    frame[1] = static_cast<char>(length >> 16);
    frame[2] = static_cast<char>(length >> 8);
    frame[3] = static_cast<char>(length);
}

// Requests that only read: a keys summary kept from before them stays true. Any other request
// (those of later versions too) may change the rings, so it drops the kept summary.
bool keepsKeysSummary(const std::string& type) {
    for (const std::string* reading :
         {&CGUIClient::GUICMD_KEYSSUMMARY, &CGUIClient::GUICMD_GETLOG, &CGUIClient::GUICMD_GET_CL,
          &CGUIClient::GUICMD_GETCONF, &CGUIClient::GUICMD_HOSTKEY, &CGUIClient::GUICMD_KEYEXPORT,
          &CGUIClient::GUICMD_GET_PICTURE, &CGUIKeyEditRequests::GUICMD_KEYSUMMARY})
        if (type == *reading)
            return true;
    return false;
}

} // namespace

void CGUIClient::reply(const void* data, unsigned int length) {
    std::string frame(4, '\0');
    frame.append(static_cast<const char*>(data), length);
    sendFrame(frame);
}

void CGUIClient::reply(const CGUIElement& response) {
    // The document is written straight after the length field, so a large reply is neither
    // copied nor held twice; the secure socket cuts it into records as it sends.
    std::string frame(4, '\0');
    gWriteDocument(response, frame);
    sendFrame(frame);
}

void CGUIClient::sendFrame(std::string& frame) {
    // Length and data go out in one write: two small writes in a row would meet the peer's
    // delayed acknowledgement and cost tens of milliseconds per reply.
    if (frame.size() > std::numeric_limits<unsigned int>::max())
        throw new CGUICommunicationException(new CZAFSocketIOException(EMSGSIZE));
    putFrameLength(frame);
    try {
        m_socket->writeAll(frame.data(), static_cast<unsigned int>(frame.size()));
    } catch (CZAFSocketException* e) {
        throw new CGUICommunicationException(e);
    }
}

std::string CGUIClient::serialize(const CGUIElement& response) { return gWriteDocument(response); }

std::unique_ptr<CGUIElement> CGUIClient::createResponseDocument() {
    return std::make_unique<CGUIElement>("response");
}

// ---- parse, validation and dispatch ----

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
                                          gLogSafe(gMaskSecrets(message), 200) + "<---\n",
                                      true);
    }
    return document;
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

    const SGUIRequestType* row = gFindRequestType(type);
    if (row == nullptr)
        throw new CGUIUnknownRequestException(gLogSafe(type, 64));
    for (const SGUIRequestCheck& check : row->checks)
        runCheck(check, request, data);
}

std::unique_ptr<CGUIElement> CGUIClient::processRequest(const DOMDocument* request) {
    ZAF_ASSERT_TAG(kTag, request != nullptr);
    const SGUIRequestType* row =
        gFindRequestType(gGetAttribute(request->getDocumentElement(), kType));
    // Validation lets no other type through; the login request has no handler (see the table).
    ZAF_ASSERT_TAG(kTag, row != nullptr && row->handler != nullptr);
    return row->handler(*this, gDataElement(request));
}

namespace {

// The kind of a failed request that a console can act on, from its chain of causes: a key the
// rings do not hold, or a wrong passphrase. Empty for any other failure.
std::string failureKind(const CZAFThrowable& failure) {
    for (const CZAFThrowable* t = &failure; t != nullptr; t = t->getRoot()) {
        if (dynamic_cast<const CZAFKeyNotFoundException*>(t) != nullptr)
            return "key-not-found";
        const auto* toolkit = dynamic_cast<const CZAFSDKException*>(t);
        if (toolkit != nullptr && toolkit->getCode() == kZAFError_BadPassphrase)
            return "bad-passphrase";
    }
    return std::string();
}

} // namespace

std::string CGUIClient::answer(const std::string& command, int& rc) {
    const std::string start = CZAFTime::now().formatYMDHMSMs(false);
    std::unique_ptr<CGUIElement> response = createResponseDocument();
    CGUIElement& error = response->add("error");
    std::unique_ptr<CGUIElement> result;
    std::string errorText;
    std::string errorKind;
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
        errorText = gLogFailure(e, head + gDescribeRequest(command, type) + ":\n");
        errorKind = failureKind(e);
    };
    CGUIDocumentGuard request;
    try {
        request.reset(parseCommand(command));
        type = gGetAttribute(request->getDocumentElement(), kType);
        validateRequest(request.get());
        result = processRequest(request.get());
    } catch (CGUIUnknownRequestException* e) {
        CZAFThrowableGuard guard(e);
        rc = eRequestUnknown;
        errorText = gLogFailure(*e, "");
    } catch (CGUIFormatException* e) {
        CZAFThrowableGuard guard(e);
        rc = eRequestFormat;
        errorText = e->getDetailedMessage();
        ZAF_LOG_ERROR("A bad request format has encountered, command is skipped ("
                      << gDescribeRequest(command, requestType()) << "):\n"
                      << errorText);
        // The console is shown what it sent; the log above keeps only its masked beginning.
        if (e->isParseFailure())
            errorText = gWithFailingData(errorText, gEchoRequest(command));
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
    if (!keepsKeysSummary(requestType()))
        m_keysSummary = SKeysSummary();
    audit(start, requestType(), request.get(), rc);
    response->set("rc", std::to_string(rc));
    error.setText(errorText);
    // Added to the protocol: consoles that know it tell these failures apart.
    if (!errorKind.empty())
        error.set("kind", errorKind);
    if (rc == eRequestOK)
        response->adopt(std::move(result));
    return serialize(*response);
}

void CGUIClient::audit(const std::string& start, const std::string& type,
                       const DOMDocument* request, int rc) {
    const SGUIRequestType* row = gFindRequestType(type);
    std::string path;
    if (row == nullptr || !row->changesState || m_server == nullptr ||
        !m_server->getLogFilePath(path) || path.empty())
        return;
    SGUIAuditLine line;
    line.start = start;
    line.end = CZAFTime::now().formatYMDHMSMs(false);
    line.username = m_settings.username;
    if (line.username.empty() && !CZAFUtil::getCurrentUserName(line.username))
        line.username = std::to_string(::geteuid());
    line.operation = type;
    line.commandLine = gAuditCommandLine(
        m_settings.clientAddress.empty() ? "local" : m_settings.clientAddress, type, request);
    line.rc = rc;
    const std::string problem = gAppendAuditLine(path, line);
    if (!problem.empty())
        ZAF_LOG_WARNING("WARNING: The transaction log '" << gLogSafe(path) << "' of '"
                                                         << gLogSafe(line.username, 64)
                                                         << "' cannot be written: " << problem);
}

// ---- request texts in the log ----

std::string gMaskSecrets(const std::string& request) {
    std::string out;
    out.reserve(request.size());
    size_t i = 0;
    while (i < request.size()) {
        size_t nameEnd = std::string::npos;
        for (const char* name : {"passphrase", "password"}) {
            const size_t length = std::char_traits<char>::length(name);
            // "passphrase" and "password", also as the last part of a hyphenated name.
            if (request.compare(i, length, name) == 0 &&
                (i == 0 || std::isspace(static_cast<unsigned char>(request[i - 1])) ||
                 request[i - 1] == '-')) {
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

std::string gEchoRequest(const std::string& request) {
    std::string masked = gMaskSecrets(request.substr(0, kEchoedRequest));
    if (masked.size() > kEchoedRequest)
        masked.resize(kEchoedRequest);
    if (request.size() > kEchoedRequest)
        masked += "...";
    return masked;
}

std::string gWithFailingData(const std::string& errorText, const std::string& echo) {
    std::string out = errorText;
    // The parse error's message ends its own line; the failing data follows on the next.
    if (out.size() >= 2 && out.compare(out.size() - 2, 2, "\n\n") == 0)
        out.pop_back();
    return out + "Failing data : --->" + echo + "<---\n";
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
