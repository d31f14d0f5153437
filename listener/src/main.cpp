// main: the listener's entry and lifecycle.
#include <oozaf/mem.h>
#include <oozaf/secsocket.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <vorngui/guiauth.h>
#include <vorngui/guiconnection.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/guihostkey.h>
#include <vorngui/guiprocess.h>
#include <vorngui/main.h>
#include <vorngui/xmlstring.h>
#include <zaf/zafbase.h>
#include <zaf/zafcontext.h>
#include <zaf/zafnetwork.h>

#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <exception>
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <iomanip>
#include <iostream>
#include <malloc.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace vorngui {

using namespace oozaf;

SGUIMainBones gMainBones;
CZAFSynchObject<bool> gActive(false, "main", __LINE__);
CZAFThread setThread;
CGUIShutdownEvent gShutdownRequestedEvent;

namespace {

const char* const kTag = "main";

// The termination signals the signal thread takes, and the one that tells it to end.
const int kTerminationSignals[] = {SIGTERM, SIGABRT, SIGINT, SIGHUP, SIGQUIT};
constexpr int kStopSignal = SIGUSR1;

// Length of the queue of connections not yet accepted.
constexpr int kListenBacklog = 128;

// Toolkit codes that mean the background service cannot be reached.
constexpr ZAFError kServiceUnavailable = -11939;
constexpr ZAFError kServiceNotConnected = -11977;

CZAFThread gSignalThread;
std::atomic<bool> gSignalThreadStopping{false};
// A pipe whose read end wakes the accept loop when the shutdown starts.
int gWakeRead = -1;
std::atomic<int> gWakeWrite{-1};
// orxweb's socket (-1: none) and its account's user id.
int gWebListen = -1;
uid_t gWebUser = static_cast<uid_t>(-1);

std::string hex8(uint32_t value) {
    std::ostringstream out;
    out << std::hex << std::setw(8) << std::setfill('0') << value;
    return out.str();
}

std::string addressOf(const void* object) {
    std::ostringstream out;
    out << object;
    return out.str();
}

sigset_t handledSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kTerminationSignals)
        sigaddset(&set, sig);
    sigaddset(&set, kStopSignal);
    return set;
}

// What every session shares: site settings, the throttle and the host key, made at start-up.
SGUISiteSettings gSite;
std::unique_ptr<CGUIThrottle> gThrottle;
std::unique_ptr<CGUIHostKey> gHostKey;
uint64_t gNextSerial = 0;

// The account login processes run as, and the empty folder they are shut into.
uid_t gLoginUser = 65534;
gid_t gLoginGroup = 65534;
std::string gEmptyFolder;

SGUIDaemonSettings daemonSettings() {
    SGUIDaemonSettings settings;
    const CGUICommandLineContext& commandLine = gMainBones.commandLine;
    settings.secure = !commandLine.getNonsecure();
    settings.local = commandLine.getLocal();
    settings.logLevel = static_cast<int>(gMainBones.logger.getLogLevel());
    settings.logDescriptor = gMainBones.logDescriptor >= 0 ? gMainBones.logDescriptor : 2;
    settings.loginTimeout = CGUICommandLineContext::kDefaultLoginTimeout;
    commandLine.getLoginTimeout(settings.loginTimeout);
    settings.idleTimeout = CGUICommandLineContext::kDefaultIdleTimeout;
    commandLine.getIdleTimeout(settings.idleTimeout);
    settings.maxFrame = CGUICommandLineContext::kDefaultMaxFrame;
    commandLine.getMaxFrame(settings.maxFrame);
    settings.site = &gSite;
    settings.throttle = gThrottle.get();
    settings.hostKey = gHostKey.get();
    settings.loginUser = gLoginUser;
    settings.loginGroup = gLoginGroup;
    settings.emptyFolder = gEmptyFolder;
    return settings;
}

// Makes room for a new connection from `address` among those that have not logged in: when
// that address or the daemon already has as many as allowed, the oldest of them is evicted
// (its connection is interrupted; the maintenance reaps it). So a flood of idle connections
// costs the flooder its own earlier connections, never a console that came later. The caller
// holds the clients mutex.
void makeRoomFor(const std::string& address, CGUIConnection::eKind kind) {
    CGUIConnection* oldest = nullptr;
    CGUIConnection* oldestHere = nullptr;
    std::size_t waiting = 0;
    std::size_t waitingHere = 0;
    // The web socket's connections share one peer (orxweb), whose browsers' addresses are only
    // known from their logins: they count against the daemon's bound, not an address's.
    const bool perAddress = kind == CGUIConnection::eKind::eNetwork;
    for (CGUIConnection* client : gMainBones.clients) {
        if (!client->isActive() || client->isLoggedIn() || client->isEvicted())
            continue;
        ++waiting;
        if (oldest == nullptr || client->getSerial() < oldest->getSerial())
            oldest = client;
        if (perAddress && client->getKind() == kind && client->getPeerAddress() == address) {
            ++waitingHere;
            if (oldestHere == nullptr || client->getSerial() < oldestHere->getSerial())
                oldestHere = client;
        }
    }
    CGUIConnection* victim = nullptr;
    if (perAddress && waitingHere >= gSite.maxPreLoginPerAddress)
        victim = oldestHere;
    else if (waiting >= gSite.maxPreLogin)
        victim = oldest;
    if (victim != nullptr) {
        ZAF_LOG_DEBUG("Evicting the oldest connection not logged in, from "
                      << victim->getPeerAddress());
        victim->evict();
    }
}

// Takes the termination signals one at a time (they are blocked in every other thread) and
// starts the shutdown. The first delivery of a signal is handled; after it that signal gets its
// default action back, so a second one ends a daemon whose shutdown hangs.
void* signalThreadBody(void*) {
    sigset_t waited = handledSignals();
    try {
        for (;;) {
            int sig = 0;
            if (sigwait(&waited, &sig) != 0)
                continue;
            if (sig == kStopSignal) {
                if (gSignalThreadStopping.load())
                    break;
                continue;
            }
            SigHandler(sig);
            sigdelset(&waited, sig);
            std::signal(sig, SIG_DFL);
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, sig);
            pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        }
    } catch (...) {
        gLogBoundaryFailure("A serious error has occured in the signal thread", ":\n", ".");
    }
    return nullptr;
}

// Runs the signal thread for the lifetime of the scope.
class CSignalThreadScope final {
public:
    CSignalThreadScope() {
        try {
            gSignalThreadStopping.store(false);
            gSignalThread.start(signalThreadBody, nullptr);
            m_started = true;
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard guard(e);
            ZAF_LOG_ERROR("Could not start the signal thread; signals keep their default "
                          "actions:\n"
                          << *e);
            sigset_t set = handledSignals();
            pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        }
    }
    ~CSignalThreadScope() {
        if (!m_started)
            return;
        gSignalThreadStopping.store(true);
        kill(getpid(), kStopSignal);
        try {
            gSignalThread.join();
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard guard(e);
            ZAF_LOG_ERROR(e->getDetailedMessage());
        }
    }
    CSignalThreadScope(const CSignalThreadScope&) = delete;
    CSignalThreadScope& operator=(const CSignalThreadScope&) = delete;

private:
    bool m_started = false;
};

// Stops and deletes every finished client. The caller holds the clients mutex.
void reapInactiveClients() {
    ZAF_LOG_DEBUG("Clients set maintenance thread checking for inactive clients...");
    std::set<CGUIConnection*> inactive;
    for (CGUIConnection* client : gMainBones.clients)
        if (!client->isActive())
            inactive.insert(client);
    ZAF_LOG_DEBUG("Found " << inactive.size() << " inactive clients");
    for (CGUIConnection* client : inactive) {
        const std::string identity = addressOf(client);
        ZAF_LOG_DEBUG("Asking client at " << identity << " to stop...");
        client->stop();
        ZAF_LOG_DEBUG("Client at " << identity << " has stopped");
        gMainBones.clients.erase(client);
        ZAF_LOG_DEBUG("Client at " << identity << " was removed from clients set");
        delete client;
        ZAF_LOG_DEBUG("Client at " << identity << " was deleted");
    }
    if (!inactive.empty())
        malloc_trim(0);
}

void abortConnections() {
    ZAF_LOG_VERBOSE("Aborting current connections...");
    CZAFLockGuard guard(gMainBones.clientsMutex);
    // Every session is asked to end first, so that they close their users' servers at once
    // rather than one after the other.
    for (CGUIConnection* client : gMainBones.clients)
        client->requestStop();
    for (CGUIConnection* client : gMainBones.clients) {
        try {
            client->stop();
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard owned(e);
            ZAF_LOG_ERROR(e->getDetailedMessage());
        }
        delete client;
    }
    gMainBones.clients.clear();
    ZAF_LOG_VERBOSE("Connections have been aborted.");
}

// Hands an accepted connection (which has had its first byte) to a new connection object.
void admitClient(int descriptor, CGUIConnection::eKind kind, const std::string& address,
                 const SGUIDaemonSettings& settings) {
    CZAFLockGuard guard(gMainBones.clientsMutex);
    if (gMainBones.clients.size() >= kReapThreshold)
        reapInactiveClients();
    // Logged-in sessions, those waiting for a login, and evicted ones not yet ended.
    const std::size_t ceiling = gSite.maxSessions + 2 * gSite.maxPreLogin;
    if (gMainBones.clients.size() >= ceiling) {
        ZAF_LOG_WARNING("WARNING: " << gMainBones.clients.size()
                                    << " client sessions are running; a new connection from "
                                    << address << " was closed");
        ::close(descriptor);
        return;
    }
    auto* client = new CGUIConnection(descriptor, kind, address, settings);
    client->setSerial(++gNextSerial);
    makeRoomFor(address, kind);
    try {
        client->start();
    } catch (CZAFThreadStartException* e) {
        CZAFThrowableGuard owned(e);
        ZAF_LOG_ERROR("An error occured while trying to create a new thread for a client from "
                      << address << ": " << *e);
        delete client;
        return;
    }
    ZAF_LOG_VERBOSE("Connection from " << address);
    gMainBones.clients.insert(client);
}

// Waits until the wake pipe is readable or `milliseconds` pass; true when woken.
bool waitForWake(int milliseconds) {
    pollfd entry{gWakeRead, POLLIN, 0};
    return ::poll(&entry, 1, milliseconds) > 0;
}

// The dotted address of an accepted IPv4 peer.
std::string peerAddressOf(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {0};
    if (address.sin_family != AF_INET ||
        ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) == nullptr)
        return "unknown";
    return text;
}

// Accepts one connection of the TCP port (web: of orxweb's socket) and sends its first byte.
void acceptOne(int listening, CGUIConnection::eKind kind, const SGUIDaemonSettings& settings) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int descriptor =
        ::accept4(listening, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    if (descriptor < 0) {
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED || error == EINTR ||
            error == EPROTO)
            return;
        if (gActive.get()) {
            ZAF_LOG_ERROR("A connection cannot be accepted: " << CZAFOSException(error));
            // Out of descriptors or memory: the pending connection stays in the queue and poll
            // reports it again at once. Pause briefly instead of spinning, but wake up at once
            // for the shutdown.
            if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM)
                waitForWake(100);
        }
        return;
    }
    std::string peer = "web socket";
    if (kind == CGUIConnection::eKind::eNetwork) {
        peer = peerAddressOf(reinterpret_cast<const sockaddr_in&>(address));
    } else {
        // Only orxweb's account may speak for browsers.
        ucred credentials{};
        socklen_t size = sizeof credentials;
        if (::getsockopt(descriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0 ||
            credentials.uid != gWebUser) {
            ZAF_LOG_WARNING("WARNING: A connection to the web socket by uid "
                            << credentials.uid << " (pid " << credentials.pid
                            << ") was refused: only " << gSite.webAccount << " may use it.");
            ::close(descriptor);
            return;
        }
    }
    // One raw byte, never wrapped in a record: it tells the console whether the secure handshake
    // follows (never on the web socket, which does not leave the host). The handshake itself
    // runs in the connection's login process, under the login time limit.
    const unsigned char first = settings.secure && kind == CGUIConnection::eKind::eNetwork ? 1 : 0;
    if (::send(descriptor, &first, 1, MSG_NOSIGNAL | MSG_DONTWAIT) != 1) {
        ZAF_LOG_DEBUG("The connection from " << peer << " went before its first byte");
        ::close(descriptor);
        return;
    }
    SGUIDaemonSettings own = settings;
    if (kind == CGUIConnection::eKind::eWeb)
        own.secure = false;
    admitClient(descriptor, kind, peer, own);
}

// Finds the account login processes run as and makes the empty folder they are shut into; lets
// the daemon hold a descriptor or three per connection. False (logged) when it cannot.
bool prepareConnectionProcesses() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 65536);
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    if (::geteuid() != 0)
        return true;
    // The traditional account without rights; its numbers where it is missing.
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r("nobody", &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
        gLoginUser = entry.pw_uid;
        gLoginGroup = entry.pw_gid;
    }
    if (gLoginUser == 0 || gLoginGroup == 0) {
        ZAF_LOG_ERROR("The account 'nobody' has user or group id 0; login processes cannot run "
                      "without rights.");
        return false;
    }
    // One folder for every daemon of the host, kept: root's, empty, and nobody else's to change.
    struct stat info {};
    const std::string folder =
        (::lstat("/run", &info) == 0 && S_ISDIR(info.st_mode) ? std::string("/run")
                                                              : CZAFUtil::getTempDirectory()) +
        "/orxgui-empty";
    if (::mkdir(folder.c_str(), 0555) != 0 && errno != EEXIST) {
        ZAF_LOG_WARNING("WARNING: Cannot make the empty folder '"
                        << folder << "' of the login processes: " << CZAFOSException(errno));
    } else if (::lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != 0 ||
               (info.st_mode & 022) != 0) {
        ZAF_LOG_WARNING("WARNING: '" << folder
                                     << "' is not a folder only root may change; login "
                                        "processes are not shut into it.");
    } else {
        gEmptyFolder = folder;
    }
    ZAF_LOG_VERBOSE("Login processes run as uid " << gLoginUser << ", gid " << gLoginGroup
                                                  << (gEmptyFolder.empty() ? "" : ", shut into ")
                                                  << gEmptyFolder);
    return true;
}

// Opens orxweb's socket at the site's path, owned by its account with mode 0600. False (logged)
// when the account is unknown or the path holds anything but an old socket.
bool openWebSocket() {
    passwd entry{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(gSite.webAccount.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        ZAF_LOG_ERROR("The web console's account '" << gSite.webAccount << "' does not exist.");
        return false;
    }
    gWebUser = entry.pw_uid;
    const std::string& path = gSite.webSocket;
    const std::string folder = path.substr(0, path.rfind('/'));
    if (!folder.empty() && ::mkdir(folder.c_str(), 0755) == 0)
        ::chmod(folder.c_str(), 0755);
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (!S_ISSOCK(info.st_mode)) {
            ZAF_LOG_ERROR("The web socket '" << path
                                             << "' cannot be used: something else is "
                                                "there.");
            return false;
        }
        ::unlink(path.c_str());
    }
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (descriptor < 0 ||
        ::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::chown(path.c_str(), entry.pw_uid, entry.pw_gid) != 0 ||
        ::chmod(path.c_str(), 0600) != 0 || ::listen(descriptor, kListenBacklog) != 0) {
        ZAF_LOG_ERROR("The web socket '" << path
                                         << "' cannot be opened: " << CZAFOSException(errno));
        if (descriptor >= 0)
            ::close(descriptor);
        return false;
    }
    gWebListen = descriptor;
    ZAF_LOG_VERBOSE("Listening for the web console (" << gSite.webAccount << ") on " << path);
    return true;
}

void closeWebSocket() {
    if (gWebListen < 0)
        return;
    ::close(gWebListen);
    gWebListen = -1;
    ::unlink(gSite.webSocket.c_str());
}

} // namespace

// ---- CGUIShutdownEvent ----

bool CGUIShutdownEvent::wait(unsigned int milliseconds) {
    std::unique_lock<std::mutex> hold(m_lock);
    return m_wake.wait_for(hold, std::chrono::milliseconds(milliseconds),
                           [this] { return m_raised; });
}

void CGUIShutdownEvent::signal() {
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_raised = true;
    }
    m_wake.notify_all();
}

void CGUIShutdownEvent::reset() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_raised = false;
}

// ---- entry ----

int gGUIMain(int argc, char** argv) {
    gSetOOZAFLogger(&gMainBones.logger);
    gMainBones.logger.setLog(std::clog);
    gMainBones.logger.setLogLevel(CZAFLogger::eLogWarning);
    // Programs read the log: the date in every stamp and one line per event.
    gMainBones.logger.setDateInTimeStamp(true);
    gMainBones.logger.setOneLinePerMessage(true);
    const eGUIRole role = gProcessRole();
    if (role != eGUIRole::eDaemon) {
        const int result = gGUIRoleMain(role);
        gSetOOZAFLogger(nullptr);
        return result;
    }
    const int status = sGUIServiceMain(argc, argv);
    ZAF_LOG_VERBOSE("Exiting");
    gMainBones.logger.setLog(std::clog);
    gMainBones.logFile.flush();
    gMainBones.logFile.rdbuf(nullptr);
    gMainBones.logBuffer.reset();
    gSetOOZAFLogger(nullptr);
    return status;
}

int sGUIServiceMain(int argc, char** argv) {
    ZAF_LOG_VERBOSE("Effective uid: " << geteuid());
    ZAF_LOG_VERBOSE("Effective gid: " << getegid());
    CGUICommandLineContext& commandLine = gMainBones.commandLine;
    try {
        commandLine.parse(argc > 0 ? static_cast<unsigned int>(argc - 1) : 0,
                          argc > 0 ? argv + 1 : argv);
    } catch (CZAFCommandLineException* e) {
        CZAFThrowableGuard guard(e);
        std::clog << gGetOutputHeader() << "\n"
                  << *e << "\n"
                  << CGUICommandLineContext::syntax() << "\n";
        return eExitCommandLine;
    }
    if (commandLine.getHelp()) {
        std::clog << gGetOutputHeader() << "\n" << CGUICommandLineContext::syntax() << "\n";
        return eExitOK;
    }
    if (commandLine.getVersion()) {
        std::clog << gGetOutputHeader() << "\n"
                  << "Product Name: "
                  << "Brevan Vorn Server"
                  << "\n"
                  << "Version     : " << gGetVersionString() << "\n"
                  << "Build Stage : " << CZAFUtil::buildStageString(3) << "\n"
                  << "Build Number: "
                  << "117"
                  << "\n"
                  << "Debug Info  : Not Present\n";
        return eExitOK;
    }
    CZAFLogger::eLogLevel level = CZAFLogger::eLogWarning;
    if (commandLine.getInfo(level)) {
        ZAF_LOG_VERBOSE("Setting log level to " << static_cast<int>(level));
        gMainBones.logger.setLogLevel(level);
    }
    // Everything the daemon creates (log, host key, temporary files) is its own alone.
    ::umask(077);
    std::string logName;
    if (commandLine.getLogFilename(logName)) {
        ZAF_LOG_VERBOSE("Going to use logfile: " << logName);
        // Never through a link someone placed at the log's name, never readable by others.
        const int descriptor =
            ::open(logName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (descriptor >= 0) {
            gMainBones.logDescriptor = descriptor;
            gMainBones.logBuffer.reset(
                new __gnu_cxx::stdio_filebuf<char>(descriptor, std::ios::out | std::ios::app));
            gMainBones.logFile.rdbuf(gMainBones.logBuffer.get());
            gMainBones.logger.setLog(gMainBones.logFile);
        } else {
            ZAF_LOG_ERROR("Error opening log file '"
                          << logName
                          << "' for writing. Log will be written to the standard output stream.");
        }
    }
    return doMain();
}

int doMain() {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    std::set_unexpected(UnexpectedExceptionThrownHandler);
#pragma GCC diagnostic pop
    std::set_terminate(TerminateHandler);
    // Termination signals go to the signal thread only: block them before any thread starts so
    // that every thread inherits the mask. A peer that goes away while we write must cost only
    // its own session, never the daemon. Fault signals keep their default action (a core).
    sigset_t blocked = handledSignals();
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    int status = eExitOK;
    try {
        if (!guiInitialize()) {
            ZAF_LOG_ERROR("Initialization failed.");
            status = eExitCannotStart;
        } else {
            CSignalThreadScope signals;
            guiRun();
        }
        ZAF_LOG_VERBOSE("Shutting down...");
        guiShutdown();
    } catch (...) {
        status = eExitCannotStart;
        gLogBoundaryFailure("A serious error has occured. Program will now stop.\n"
                            "Please report this issue to the support team. Thank you.\n",
                            "Error description follows:\n", "Error description not available.");
    }
    return status;
}

// ---- lifecycle ----

bool guiInitialize() {
    ZAF_LOG_VERBOSE("Initializing...");
    CGUICommandLineContext& commandLine = gMainBones.commandLine;
    const uint32_t flags = commandLine.getLocal() ? kZAFFlags_LocalMode : 0;

    ZAF_LOG_VERBOSE("Initializing XML service...");
    try {
        xercesc::XMLPlatformUtils::Initialize();
    } catch (const xercesc::XMLException& e) {
        ZAF_LOG_ERROR("Error during Xerces-C Initialization.\n  Exception message:"
                      << gFromXML(e.getMessage()));
        return false;
    }
    gMainBones.xmlInitialized = true;
    ZAF_LOG_VERBOSE("XML service initialized.");

    ZAF_LOG_VERBOSE("Initializing the SDK (flags = " << hex8(flags) << ")...");
    ZAFError rc = ZAFsdkInit(flags);
    if (rc == kZAFError_NoErr) {
        gMainBones.toolkitInitialized = true;
        ZAF_LOG_VERBOSE("SDK initialized successfully.");
    } else if (rc == kServiceNotConnected || rc == kServiceUnavailable) {
        ZAF_LOG_WARNING("WARNING: Could not initialize connection to the SDK service (err = "
                        << rc << "), will attempt running in local mode");
        ZAF_LOG_VERBOSE("Initializing the SDK (flags = " << hex8(kZAFFlags_LocalMode) << ")...");
        rc = ZAFsdkInit(kZAFFlags_LocalMode);
        if (rc != kZAFError_NoErr) {
            ZAF_LOG_ERROR("Error initializing SDK (flags = " << hex8(kZAFFlags_LocalMode)
                                                             << ", err = " << rc << ")");
            return false;
        }
        gMainBones.toolkitInitialized = true;
        ZAF_LOG_VERBOSE("SDK initialized in local mode.");
    } else {
        ZAF_LOG_ERROR("Error initializing SDK (flags = " << hex8(flags) << ", err = " << rc << ")");
        return false;
    }

    std::string sitePath = CZAFUtil::getRunDirectory() + "/" + kSiteFileName;
    commandLine.getText("--site-file", sitePath);
    gSite = SGUISiteSettings();
    const std::string siteProblem = gReadSiteSettings(sitePath, gSite);
    if (!siteProblem.empty()) {
        ZAF_LOG_ERROR("The site settings '" << sitePath << "' cannot be used: " << siteProblem);
        return false;
    }
    gThrottle.reset(new CGUIThrottle(gSite));
    if (!prepareConnectionProcesses())
        return false;
    const std::string method = gChooseDummyHash();
    ZAF_LOG_VERBOSE("Unknown and locked user names are checked with the hash method '" << method
                                                                                       << "'");

    if (!commandLine.getNonsecure()) {
        std::string folder = CZAFUtil::getRunDirectory() + "/" + CGUIHostKey::kFolderName;
        commandLine.getText("--host-key", folder);
        try {
            gHostKey = CGUIHostKey::open(folder);
        } catch (CGUIHostKeyException* e) {
            CZAFThrowableGuard guard(e);
            ZAF_LOG_ERROR(e->getDetailedMessage());
            return false;
        }
        if (gHostKey->isNew())
            ZAF_LOG_WARNING("WARNING: A new host key was made in '" << folder << "'.");
        ZAF_LOG_WARNING("Host key fingerprint: " << gHostKey->fingerprint());
    }

    ZAF_LOG_VERBOSE("Initializing networking library...");
    rc = ZAFsdkNetworkLibInit();
    if (rc != kZAFError_NoErr) {
        ZAF_LOG_ERROR("Error initializing SDK networking library (err = " << rc << ")");
        return false;
    }
    gMainBones.networkInitialized = true;
    ZAF_LOG_VERBOSE("Networking library initialized.");

    try {
        if (commandLine.getNonsecure()) {
            ZAF_LOG_VERBOSE("Trying to create server socket (non-secure)...");
            gMainBones.serverSocket = new CZAFServerSocket();
        } else {
            ZAF_LOG_VERBOSE("Trying to create server socket (secure)...");
            auto* secure = new CZAFSecServerSocket();
            secure->setHandshakeTimeout(daemonSettings().loginTimeout);
            gMainBones.serverSocket = secure;
        }
        ZAF_LOG_VERBOSE("Server socket created.");
    } catch (CZAFException* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_ERROR(e->getDetailedMessage());
        return false;
    }

    unsigned short port = CGUICommandLineContext::kDefaultPort;
    commandLine.getPort(port);
    const int descriptor = gMainBones.serverSocket->getDescriptor();
    // A restarted daemon must be able to take its port while connections of the previous run
    // wait out their closing; the accept loop polls, so accept must never block.
    const int one = 1;
    setsockopt(descriptor, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const int socketFlags = fcntl(descriptor, F_GETFL);
    if (socketFlags >= 0)
        fcntl(descriptor, F_SETFL, socketFlags | O_NONBLOCK);
    try {
        ZAF_LOG_VERBOSE("Trying to bind to local port " << port << "...");
        std::string bindAddress;
        if (commandLine.getText("--bind", bindAddress)) {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            ::inet_pton(AF_INET, bindAddress.c_str(), &address.sin_addr);
            if (::bind(descriptor, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                throw new CZAFSocketControlException(eReasonSocketBind, errno);
        } else {
            gMainBones.serverSocket->bind(port);
        }
        ZAF_LOG_VERBOSE("Server socket successfully bound to local port " << port << ".");
        ZAF_LOG_VERBOSE("Switching to listening mode...");
        gMainBones.serverSocket->listen();
        // The socket layer listens with a queue of 5. When a burst of consoles connects faster
        // than the accept loop takes them, the system answers the surplus with SYN cookies and
        // then drops those connections silently once the queue is full: the consoles wait for
        // a first byte that never comes. A longer queue (listen again on the same socket)
        // keeps every connection of such a burst.
        if (::listen(descriptor, kListenBacklog) != 0)
            throw new CZAFSocketControlException(eReasonSocketListen, errno);
        ZAF_LOG_VERBOSE("Switched to listening mode.");
    } catch (CZAFSocketException* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_ERROR(e->getDetailedMessage());
        return false;
    }

    if (!gSite.webAccount.empty() && !openWebSocket())
        return false;

    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0) {
        CZAFOSException error(errno);
        ZAF_LOG_ERROR("Could not create the shutdown pipe:\n" << error);
        return false;
    }
    gWakeRead = pipeEnds[0];
    gWakeWrite.store(pipeEnds[1]);

    gShutdownRequestedEvent.reset();
    gActive.set(true);
    try {
        setThread.start(clientsSetThread, nullptr);
    } catch (CZAFThreadStartException* e) {
        CZAFThrowableGuard guard(e);
        gActive.set(false);
        ZAF_LOG_ERROR("An error occured while trying to start a maintenance thread:\n" << *e);
        return false;
    }
    ZAF_LOG_VERBOSE("Initialization completed successfully.");
    return true;
}

void guiRun() {
    const SGUIDaemonSettings settings = daemonSettings();
    ZAF_ASSERT_TAG(kTag, gMainBones.serverSocket != nullptr);
    struct SAbortAtEnd {
        ~SAbortAtEnd() { abortConnections(); }
    } abortAtEnd;
    while (gActive.get()) {
        pollfd entries[3] = {{gMainBones.serverSocket->getDescriptor(), POLLIN, 0},
                             {gWakeRead, POLLIN, 0},
                             {gWebListen, POLLIN, 0}};
        const int rc = ::poll(entries, 3, -1);
        if (rc < 0) {
            if (errno == EINTR)
                continue;
            CZAFOSException error(errno);
            ZAF_LOG_ERROR("The accept loop cannot wait for connections: " << error);
            break;
        }
        if (entries[1].revents != 0)
            break;
        if (entries[0].revents != 0)
            acceptOne(entries[0].fd, CGUIConnection::eKind::eNetwork, settings);
        if (entries[2].revents != 0)
            acceptOne(entries[2].fd, CGUIConnection::eKind::eWeb, settings);
    }
    // The accept loop is over: nothing more is accepted, and the listening sockets go now.
    gActive.set(false);
    gMainBones.serverSocket->close();
    closeWebSocket();
}

void guiShutdown() {
    if (setThread.isStarted()) {
        ZAF_LOG_VERBOSE("Terminating clients set maintenance thread...");
        gActive.set(false);
        gShutdownRequestedEvent.signal();
        setThread.join();
        ZAF_LOG_VERBOSE("Clients set maintenance thread successfully terminated");
    }
    if (gMainBones.serverSocket != nullptr) {
        ZAF_LOG_VERBOSE("Closing server's socket...");
        try {
            gMainBones.serverSocket->close();
        } catch (CZAFSocketException* e) {
            CZAFThrowableGuard guard(e);
            ZAF_LOG_ERROR(e->getDetailedMessage());
        }
        delete gMainBones.serverSocket;
        gMainBones.serverSocket = nullptr;
        ZAF_LOG_VERBOSE("Server's socket closed");
    }
    const int wakeWrite = gWakeWrite.exchange(-1);
    if (wakeWrite >= 0)
        ::close(wakeWrite);
    if (gWakeRead >= 0) {
        ::close(gWakeRead);
        gWakeRead = -1;
    }
    if (gMainBones.networkInitialized) {
        ZAF_LOG_VERBOSE("Cleaning up networking library...");
        ZAFsdkNetworkLibCleanup();
        gMainBones.networkInitialized = false;
        ZAF_LOG_VERBOSE("Networking library cleaned-up");
    }
    if (gMainBones.toolkitInitialized) {
        ZAF_LOG_VERBOSE("Terminating connection to the SDK service...");
        ZAFsdkCleanup();
        gMainBones.toolkitInitialized = false;
        ZAF_LOG_VERBOSE("Disconnected from SDK service");
    }
    gHostKey.reset();
    closeWebSocket();
    if (gMainBones.xmlInitialized) {
        ZAF_LOG_VERBOSE("Terminating XML service...");
        xercesc::XMLPlatformUtils::Terminate();
        gMainBones.xmlInitialized = false;
        ZAF_LOG_VERBOSE("XML service terminated");
    }
}

void gSignalShutdown() {
    ZAF_LOG_VERBOSE("Starting shutdown sequence");
    gActive.set(false);
    const int wakeWrite = gWakeWrite.load();
    if (wakeWrite >= 0) {
        const char byte = 1;
        if (::write(wakeWrite, &byte, 1) < 0 && errno != EAGAIN)
            ZAF_LOG_ERROR("Could not wake the accept loop:\n" << CZAFOSException(errno));
    }
    gShutdownRequestedEvent.signal();
}

void SigHandler(int sig) {
    ZAF_LOG_VERBOSE("Signal handler received signal number " << sig);
    gSignalShutdown();
}

void* clientsSetThread(void*) {
    unsigned int interval = CGUICommandLineContext::kDefaultClientsThreadInterval;
    gMainBones.commandLine.getClientsThreadInt(interval);
    ZAF_LOG_VERBOSE("Clients maintenance thread will wait " << interval
                                                            << " milliseconds between runs");
    try {
        while (gActive.get()) {
            ZAF_LOG_DEBUG("Clients set maintenance thread is going to sleep");
            if (gShutdownRequestedEvent.wait(interval))
                break;
            ZAF_LOG_DEBUG("Clients set maintenance thread woke up");
            CZAFLockGuard guard(gMainBones.clientsMutex);
            reapInactiveClients();
            if (gLogEnabled(CZAFLogger::eLogDebug)) {
                // Live heap bytes (not resident pages): with no session left this returns to
                // the same figure after any load, which shows that nothing is lost.
                const struct mallinfo2 heap = mallinfo2();
                ZAF_LOG_DEBUG("Memory in use: " << heap.uordblks + heap.hblkhd << " bytes, "
                                                << gMainBones.clients.size() << " clients, "
                                                << gObjMemoryManager().getBlockCount()
                                                << " library objects");
            }
        }
        ZAF_LOG_VERBOSE("Clients set's thread is ending");
    } catch (...) {
        gLogBoundaryFailure("A serious error has occured in the clients set maintenance thread.\n",
                            "Error description follows:\n", "No error description available.");
    }
    return nullptr;
}

void UnexpectedExceptionThrownHandler() {
    ZAF_LOG_ERROR("INTERNAL ERROR: A wrong exception has been thrown. Program will now\n"
                  "terminate. Please record what you have done, and report this error\n"
                  "to the support team. Thank you.");
    gSignalShutdown();
    std::abort();
}

void TerminateHandler() {
    ZAF_LOG_ERROR("INTERNAL ERROR: An uncaught exception is causing this program to\n"
                  "terminate. Please record what you have done, and report this error\n"
                  "to the support team. Thank you.");
    gSignalShutdown();
    std::abort();
}

} // namespace vorngui
