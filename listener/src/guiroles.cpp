// guiroles: the connection processes' own main functions: the login process (no rights; the
// secure handshake, the login request, then the relay of a secure session's bytes) and the
// session process (the user).
#include <oozaf/logger.h>
#include <oozaf/secsocket.h>
#include <oozaf/throwable.h>
#include <vorngui/gui.h>
#include <vorngui/guichannel.h>
#include <vorngui/guiconnection.h>
#include <vorngui/guiprocess.h>
#include <vorngui/main.h>
#include <vorngui/xmlstring.h>
#include <zaf/zafbase.h>

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <memory>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vorngui {

using namespace oozaf;

namespace {

// How long a new process waits for its setup from the daemon.
constexpr int kSetupWaitMs = 30000;
// The relay's buffer.
constexpr std::size_t kRelayBuffer = 256 * 1024;

// The XML library and the toolkit for the process's lifetime.
class CLibraries final {
public:
    // Throws CGUIProcessException when a library cannot start.
    explicit CLibraries(bool local) {
        try {
            xercesc::XMLPlatformUtils::Initialize();
        } catch (const xercesc::XMLException& e) {
            throw new CGUIProcessException(
                "Error during Xerces-C Initialization: " + gFromXML(e.getMessage()), 0);
        }
        m_xml = true;
        ZAFError rc = local ? kZAFError_ServiceNotConnected : ZAFsdkInit(0);
        if (rc != kZAFError_NoErr) {
            if (!local)
                ZAF_LOG_DEBUG("No connection to the SDK service (err = " << rc << "); local mode");
            rc = ZAFsdkInit(kZAFFlags_LocalMode);
        }
        if (rc != kZAFError_NoErr)
            throw new CGUIProcessException(
                "Error initializing SDK (err = " + std::to_string(rc) + ")", 0);
        m_toolkit = true;
    }
    ~CLibraries() {
        if (m_toolkit)
            ZAFsdkCleanup();
        if (m_xml)
            xercesc::XMLPlatformUtils::Terminate();
    }
    CLibraries(const CLibraries&) = delete;
    CLibraries& operator=(const CLibraries&) = delete;

private:
    bool m_xml = false;
    bool m_toolkit = false;
};

std::string receiveSetup(CGUIChannel& daemon) {
    std::string bytes;
    if (!daemon.receive(bytes, kSetupWaitMs))
        throw new CGUIChannelException("the daemon closed the channel before the setup");
    return bytes;
}

void setLogLevel(int level) {
    gMainBones.logger.setLogLevel(static_cast<CZAFLogger::eLogLevel>(level));
}

bool sendAll(int descriptor, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t sent = ::send(descriptor, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        length -= static_cast<std::size_t>(sent);
    }
    return true;
}

// Carries a secure session's bytes: records from the console are decrypted into the session
// process's stream, its stream is encrypted into records. Ends when either side closes or fails.
void relay(CZAFSecSocket& network, int session) {
    std::unique_ptr<char[]> buffer(new char[kRelayBuffer]);
    const auto size = static_cast<unsigned int>(kRelayBuffer);
    for (;;) {
        bool fromNetwork = network.hasPendingInput();
        bool fromSession = false;
        if (!fromNetwork) {
            pollfd entries[2] = {{network.getDescriptor(), POLLIN, 0}, {session, POLLIN, 0}};
            if (::poll(entries, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            fromNetwork = entries[0].revents != 0;
            fromSession = entries[1].revents != 0;
        }
        if (fromNetwork) {
            int count = 0;
            try {
                count = network.read(buffer.get(), size);
            } catch (CZAFSocketException* e) {
                CZAFThrowableGuard guard(e);
                ZAF_LOG_DEBUG("The console left: " << e->getMessage());
                break;
            }
            if (!sendAll(session, buffer.get(), static_cast<std::size_t>(count)))
                break;
        }
        if (fromSession) {
            ssize_t count = -1;
            do
                count = ::recv(session, buffer.get(), kRelayBuffer, 0);
            while (count < 0 && errno == EINTR);
            if (count <= 0)
                break;
            try {
                network.writeAll(buffer.get(), static_cast<unsigned int>(count));
            } catch (CZAFSocketException* e) {
                CZAFThrowableGuard guard(e);
                ZAF_LOG_DEBUG("The console cannot be written to: " << e->getMessage());
                break;
            }
        }
    }
    ::shutdown(session, SHUT_RDWR);
}

int loginMain() {
    CGUIChannel daemon(kChannelDescriptor);
    const SGUILoginSetup setup = SGUILoginSetup::decode(receiveSetup(daemon));
    setLogLevel(setup.logLevel);
    // The time zone is read now: the process is shut into an empty folder below.
    ::tzset();
    SGUIProcessLimits limits;
    limits.addressSpace = kLoginAddressSpace;
    limits.openFiles = kLoginOpenFiles;
    limits.cpuSeconds = kLoginCPUSeconds;
    gApplyLimits(limits);
    CLibraries libraries(true);
    if (::geteuid() == 0) {
        // Sanitizers read /proc at the end of the process, which the empty folder would hide.
        if (!setup.emptyFolder.empty() && !kGUISanitizedBuild &&
            (::chroot(setup.emptyFolder.c_str()) != 0 || ::chdir("/") != 0))
            throw new CGUIProcessException(
                "Cannot enter the empty folder '" + setup.emptyFolder + "'", errno);
        gTakeIdentity(setup.uid, setup.gid, std::vector<gid_t>());
    }

    SGUIClientSettings settings;
    settings.loginTimeout = setup.loginTimeout;
    settings.maxLoginFrame = setup.maxLoginFrame;
    settings.hostKeyText = setup.hostKeyText;
    settings.hostKeyFingerprint = setup.hostKeyFingerprint;
    settings.hostKeyID = setup.hostKeyID;
    settings.webSocket = setup.web;
    settings.clientAddress = setup.peerAddress;
    if (setup.hostKeyID.size() == 8) {
        settings.signer = [&daemon](const unsigned char* digest, size_t length) {
            CGUIMessage request(eGUIMessage::eSign);
            request.add(std::string(reinterpret_cast<const char*>(digest), length));
            std::string bytes;
            if (!daemon.exchange(request, eGUIMessage::eSignature, bytes))
                throw new CGUIChannelException("the daemon closed the channel");
            CGUIMessage answer = CGUIMessage::decode(bytes);
            const std::string signature = answer.text(CZAFSecSocket::kMaxHandshakePayload);
            answer.expectEnd();
            return std::vector<unsigned char>(signature.begin(), signature.end());
        };
    }
    CZAFSocket* socket = setup.secure ? new CZAFSecSocket(kConnectionDescriptor)
                                      : new CZAFSocket(kConnectionDescriptor);
    CGUIClient client(socket, settings);
    int session = -1;
    const int rc = client.login(daemon, session);
    daemon.close();
    if (rc == CGUIClient::eLoginOK && session >= 0) {
        gLimitCPUFromNow(0);
        if (auto* secure = dynamic_cast<CZAFSecSocket*>(client.getSocket()))
            relay(*secure, session);
        ::close(session);
    }
    client.closeSocket();
    return rc;
}

void onTerminate(int) {
    // Ends the request loop after the request that runs: the next read finds the connection
    // closed, and the user's server is closed as usual.
    ::shutdown(kConnectionDescriptor, SHUT_RDWR);
}

int sessionMain() {
    CGUIChannel daemon(kChannelDescriptor);
    const SGUISessionSetup setup = SGUISessionSetup::decode(receiveSetup(daemon));
    daemon.close();
    setLogLevel(setup.logLevel);
    SGUIProcessLimits limits;
    limits.addressSpace = kSessionAddressSpace + 3 * static_cast<rlim_t>(setup.maxFrame);
    limits.openFiles = kSessionOpenFiles;

    std::string identityFailure;
    try {
        gApplyLimits(limits);
        gTakeIdentity(setup.uid, setup.gid, setup.groups);
    } catch (CGUIProcessException* e) {
        CZAFThrowableGuard guard(e);
        identityFailure = e->getDetailedMessage();
        ZAF_LOG_ERROR("The session of '"
                      << gLogSafe(setup.username, 64) << "' from " << setup.clientAddress
                      << " cannot take the user's identity: " << identityFailure);
    }

    struct sigaction terminate {};
    terminate.sa_handler = onTerminate;
    terminate.sa_flags = SA_RESTART;
    sigemptyset(&terminate.sa_mask);
    ::sigaction(SIGTERM, &terminate, nullptr);

    CLibraries libraries(setup.local);
    SGUIClientSettings settings;
    settings.maxFrame = setup.maxFrame;
    settings.idleTimeout = setup.idleTimeout;
    settings.requestCPUSeconds = kRequestCPUSeconds;
    settings.requestWallSeconds = kRequestWallSeconds;
    settings.username = setup.username;
    settings.clientAddress = setup.clientAddress;
    CGUIClient client(new CZAFSocket(kConnectionDescriptor), settings);
    if (!identityFailure.empty()) {
        client.refuseLogin(CGUIClient::eLoginImpersonation,
                           CGUIImpersonationException(EPERM).getDetailedMessage());
        client.closeSocket();
        return CGUIClient::eLoginImpersonation;
    }
    return client.serve();
}

} // namespace

int gGUIRoleMain(eGUIRole role) {
    try {
        return role == eGUIRole::eLogin ? loginMain() : sessionMain();
    } catch (...) {
        const eGUIFailureKind kind =
            gLogBoundaryFailure(role == eGUIRole::eLogin ? "A login process cannot go on: "
                                                         : "A session process cannot go on: ",
                                "", "Error description not available.");
        return kind == eGUIFailureKind::eDefect ? CGUIClient::eSessionError
                                                : CGUIClient::eSessionException;
    }
}

} // namespace vorngui
