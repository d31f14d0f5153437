// guiconnection: the privileged side of one console connection (CGUIConnection). It starts the
// connection's login process, signs its handshake, decides its login (throttle, password,
// account rules, session count), starts the session process as the user and waits for both to
// end, bounding what they may take. It never parses what the network sent.
#ifndef VORNGUI_GUICONNECTION_H
#define VORNGUI_GUICONNECTION_H

#include <oozaf/mutex.h>
#include <oozaf/obj.h>
#include <oozaf/thread.h>
#include <vorngui/guichannel.h>
#include <vorngui/guiprocess.h>
#include <vorngui/guisite.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vorngui {

class CGUIHostKey;

// What the daemon hands every connection; read-only while connections run.
struct SGUIDaemonSettings {
    bool secure = true;
    // Sessions skip the toolkit's background service (--local).
    bool local = false;
    int logLevel = 2;
    // Standard error of the connection processes: the log.
    int logDescriptor = 2;
    unsigned int loginTimeout = 30000;
    unsigned int idleTimeout = 30u * 60 * 1000;
    uint32_t maxFrame = 64u * 1024 * 1024;
    const SGUISiteSettings* site = nullptr;
    CGUIThrottle* throttle = nullptr;
    const CGUIHostKey* hostKey = nullptr;
    // The account login processes run as (when the daemon is privileged), and the empty folder
    // they are shut into (empty: none).
    uid_t loginUser = 65534;
    gid_t loginGroup = 65534;
    std::string emptyFolder;
};

// Logged-in sessions of the daemon, against SGUISiteSettings::maxSessions.
extern std::atomic<std::size_t> gLoggedInSessions;

// How long a login process may take beyond the login time limit before it is killed, and how
// long processes asked to end get before they are killed.
constexpr unsigned int kLoginGraceMs = 5000;
constexpr unsigned int kStopGraceMs = 10000;

// Limits of the connection processes.
constexpr rlim_t kLoginAddressSpace = rlim_t(1) << 30;
constexpr rlim_t kLoginOpenFiles = 32;
constexpr rlim_t kLoginCPUSeconds = 60;
constexpr rlim_t kSessionAddressSpace = rlim_t(4) << 30; // plus three times the largest frame
constexpr rlim_t kSessionOpenFiles = 256;
// CPU and wall-clock time of one request, and of opening the user's server at the login.
constexpr unsigned int kRequestCPUSeconds = 600;
constexpr unsigned int kRequestWallSeconds = 1800;

// One connection, from its acceptance to the end of its processes. The accept loop creates and
// starts it; it then runs on a thread of its own; the maintenance thread (or the end of the
// accept loop) stops and deletes it. start(), stop(), requestStop(), evict() and the getters may
// be called from other threads.
class CGUIConnection final : public oozaf::CZAFObj {
public:
    enum class eKind { eNetwork, eWeb };

    // Takes ownership of `descriptor` (the accepted socket, which has had its first byte).
    CGUIConnection(int descriptor, eKind kind, const std::string& peerAddress,
                   const SGUIDaemonSettings& settings);
    ~CGUIConnection() override;
    CGUIConnection(const CGUIConnection&) = delete;
    CGUIConnection& operator=(const CGUIConnection&) = delete;

    // Starts the thread; CZAFThreadStartException passes to the caller.
    void start();
    bool isActive() { return m_active.get(); }
    // Asks the connection to end: a login in progress is cut, a session is asked to end (and
    // killed after kStopGraceMs). Returns at once.
    void requestStop();
    // requestStop(), then waits for the thread. Safe to call again.
    void stop();
    // Cuts a connection that has not logged in yet.
    void evict();

    const std::string& getPeerAddress() const { return m_peerAddress; }
    eKind getKind() const { return m_kind; }
    void setSerial(uint64_t serial) { m_serial = serial; }
    uint64_t getSerial() const { return m_serial; }
    bool isLoggedIn() const { return m_loggedIn.load(); }
    bool isEvicted() const { return m_evicted.load(); }
    // The connection's result once it ended: the login's return code, or the session's.
    int getResult() const { return m_result.load(); }

private:
    struct SVerdict;
    struct SProcess {
        pid_t pid = -1;
        int pidDescriptor = -1;
        int status = 0;
        bool ended = false;
    };

    static void* threadBody(void* connection);
    int run();
    void startLogin(CGUIChannel& channel);
    // Serves the login process until it asked for a verdict that let the user in (true) or it
    // ended, failed or ran out of time (false).
    bool serveLogin(CGUIChannel& channel);
    SVerdict authenticate(CGUIMessage& request);
    bool startSession(const SVerdict& verdict, CGUIChannel& login);
    void waitForEnd();
    // Waits until `process` ended, `milliseconds` passed (false) or a stop was asked for.
    bool waitFor(SProcess& process, int milliseconds, bool wakeOnStop);
    void reap(SProcess& process, bool kill);
    // Waits `milliseconds` or until a stop is asked for or the connection hangs up; false then.
    bool pause(unsigned int milliseconds);
    bool stopRequested() const { return m_stopRequested.load(); }
    std::string who() const;
    void closeDescriptor();

    int m_descriptor;
    eKind m_kind;
    std::string m_peerAddress;
    // The address the log and the throttle use: the peer's, or the browser's for the web socket.
    std::string m_clientAddress;
    std::string m_username;
    SGUIDaemonSettings m_settings;
    oozaf::CZAFThread m_thread;
    oozaf::CZAFSynchObject<bool> m_active;
    oozaf::CZAFMutex m_descriptorMutex;
    int m_wake = -1;
    SProcess m_login;
    SProcess m_session;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_loggedIn{false};
    std::atomic<bool> m_evicted{false};
    std::atomic<int> m_result{0};
    uint64_t m_serial = 0;
};

} // namespace vorngui

#endif
