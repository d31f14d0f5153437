// Fuzz target for the listener's request path: the input is what a logged-in console sends
// (length-prefixed frames), written into a real socket pair and read back by a session's frame
// reader, then each request is parsed, validated and dispatched exactly as the request loop
// does, impersonating a real user whose server facade works on a small key ring in a throw-away
// home folder.
//
// Run as root, the target makes that account (and removes it at exit); otherwise requests that
// need a server facade are parsed and validated only. Expected failures (communication errors,
// request failures answered with their rc) are part of the protocol; a response that is not
// well-formed XML with the right rc, a CZAFError, or a crash ends the run. The login request
// sent again after the login ends a session by design and is not dispatched.
#include "../tests/support/test_account.h"

#include <oozaf/logger.h>
#include <oozaf/nametables.h>
#include <oozaf/sockets.h>
#include <oozaf/time.h>
#include <oozaf/vornserver.h>
#include <zaf/zafcontext.h>

#include <xercesc/dom/DOM.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vorngui/gui.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/xmlstring.h>

using namespace oozaf;
using namespace vorngui;

namespace {

const std::size_t kMaxInput = 256 * 1024;

void require(bool condition) {
    if (!condition)
        std::abort();
}

// Everything the target keeps between inputs; built on the first input, released at exit.
struct SWorld {
    SWorld() {
        logger.setLog(log);
        logger.setLogLevel(CZAFLogger::eLogError);
        gSetOOZAFLogger(&logger);
        xercesc::XMLPlatformUtils::Initialize();
        require(ZAFsdkInit(kZAFFlags_LocalMode) == 0);
        client = std::make_unique<CGUIClient>(nullptr);
        account = TestAccount::create("orxfz");
        if (!account)
            return;
        // The user's configuration is made from the template in the installation directory.
        char pattern[] = "/tmp/orx-fuzz-install-XXXXXX";
        require(mkdtemp(pattern) != nullptr);
        installDir = pattern;
        require(chmod(pattern, 0755) == 0);
        {
            std::ofstream templ(installDir + "/zaf-template.cfg");
            templ << "# configuration made for the request fuzz target\nArmor=off\n";
        }
        require(chmod((installDir + "/zaf-template.cfg").c_str(), 0644) == 0);
        require(setenv("ORXDIR", installDir.c_str(), 1) == 0);
        // Impersonation needs credentials: the real check, once.
        client->setSecurityCredentials(account->name(), account->password(), "");
        client->impersonate();
        try {
            auto* server = new CVornServer();
            client->setServer(server);
            server->generateKeyPair("Fuzz <fuzz@example.org>", "", eKeyTypeRSA,
                                    kZAFCipherAlgorithm_AES128, 1024, "", false, CZAFTime());
        } catch (CZAFThrowable* e) {
            client->unimpersonate();
            std::fprintf(stderr, "%s\n", e->getDetailedMessage().c_str());
            delete e;
            std::abort();
        }
        client->unimpersonate();
    }
    ~SWorld() {
        // The facade saves the user's files when it goes, as the user.
        client->impersonate();
        client->setServer(nullptr);
        client->unimpersonate();
        client.reset();
        account.reset();
        if (!installDir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(installDir, ignored);
        }
        ZAFsdkCleanup();
        xercesc::XMLPlatformUtils::Terminate();
        gSetOOZAFLogger(nullptr);
    }

    std::ostringstream log;
    CZAFLogger logger;
    std::unique_ptr<TestAccount> account;
    std::string installDir;
    std::unique_ptr<CGUIClient> client;
};

SWorld& world() {
    static SWorld instance;
    return instance;
}

// The request's type when it parses and passes validation; empty otherwise.
std::string validatedType(CGUIClient& client, const std::string& command) {
    xercesc::DOMDocument* document = nullptr;
    try {
        document = client.parseCommand(command);
        CGUIClient::validateRequest(document);
    } catch (CZAFException* e) {
        delete e;
        if (document != nullptr)
            document->release();
        return "";
    }
    const std::string type = gGetAttribute(document->getDocumentElement(), CXStr("type").get());
    document->release();
    return type;
}

// The response must be one well-formed "response" document whose rc is the one returned.
void checkResponse(CGUIClient& client, const std::string& xml, int rc) {
    require(rc == 0 || rc == 8 || rc == 12 || rc == 16 || rc == 20);
    std::string body = xml;
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>";
    require(body.compare(0, declaration.size(), declaration) == 0);
    body.erase(0, declaration.size());
    // Wrapped in a command, the response reads back through the request parser.
    xercesc::DOMDocument* document = nullptr;
    try {
        document = client.parseCommand(body);
    } catch (CZAFException* e) {
        std::fprintf(stderr, "response does not parse:\n%s\n%s\n", xml.c_str(),
                     e->getDetailedMessage().c_str());
        delete e;
        std::abort();
    }
    const xercesc::DOMElement* root = document->getDocumentElement();
    require(gTagName(root) == "response");
    require(gGetAttribute(root, CXStr("rc").get()) == std::to_string(rc));
    const xercesc::DOMElement* error = root->getFirstElementChild();
    require(error != nullptr && gTagName(error) == "error");
    require((rc == 0) == gFromXML(error->getTextContent()).empty());
    document->release();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput)
        return 0;
    SWorld& w = world();
    int fds[2];
    require(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    // The whole input fits the socket buffers of a pair that is read right away only if it is
    // small; write it from here in one go, then close our end so the reader sees the end.
    int bufferSize = static_cast<int>(kMaxInput * 2);
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    size_t written = 0;
    while (written < size) {
        const ssize_t n = ::send(fds[1], data + written, size - written, MSG_NOSIGNAL);
        require(n > 0);
        written += static_cast<size_t>(n);
    }
    ::close(fds[1]);

    SGUIClientSettings settings;
    settings.maxFrame = 128 * 1024;
    CGUIClient reader(new CZAFSocket(fds[0]), settings);
    CGUIClient& client = *w.client;
    const bool haveServer = client.getServer() != nullptr;
    std::string command;
    for (;;) {
        try {
            if (!reader.getCommand(command, settings.maxFrame) || command.empty())
                break;
        } catch (CGUICommunicationException* e) {
            delete e;
            break;
        }
        const std::string type = validatedType(client, command);
        if (type == CGUIClient::GUICMD_AUTH)
            continue;
        // Without a facade only what fails validation and the one request that needs no
        // facade are answered.
        if (!haveServer && !type.empty() && type != CGUIClient::GUICMD_GET_CL)
            continue;
        int rc = -1;
        const std::string response = client.answer(command, rc);
        checkResponse(client, response, rc);
    }
    return 0;
}
