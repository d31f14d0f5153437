// main: the listener's entry, its process-wide record and its lifecycle: initialisation, the
// accept loop, the client-set maintenance thread, signal handling and the shutdown.
#ifndef VORNGUI_MAIN_H
#define VORNGUI_MAIN_H

#include <oozaf/logger.h>
#include <oozaf/mutex.h>
#include <oozaf/obj.h>
#include <oozaf/sockets.h>
#include <oozaf/thread.h>
#include <vorngui/guicmdline.h>
#include <vorngui/guiconnection.h>

#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>

namespace vorngui {

// The process-wide record of the daemon. The clients set owns its connections and is guarded by
// the clients mutex; the rest is touched only by the main thread (the logger has its own locks).
struct SGUIMainBones : public oozaf::CZAFObj {
    bool toolkitInitialized = false;
    bool networkInitialized = false;
    bool xmlInitialized = false;
    oozaf::CZAFServerSocket* serverSocket = nullptr;
    std::set<CGUIConnection*> clients;
    oozaf::CZAFMutex clientsMutex{"main", __LINE__};
    // The log file: a stream over a descriptor opened without following links.
    std::ostream logFile{nullptr};
    std::unique_ptr<std::streambuf> logBuffer;
    // The log file's descriptor (-1: the log is standard error), which connection processes
    // write to as well.
    int logDescriptor = -1;
    CGUICommandLineContext commandLine;
    oozaf::CZAFLogger logger;
};

// A flag with a condition: the maintenance thread sleeps on it between runs and the shutdown
// raises it, so the thread ends at once however long its interval is.
class CGUIShutdownEvent final : public oozaf::CZAFObj {
public:
    // Waits until the flag is raised or `milliseconds` pass; true when raised.
    bool wait(unsigned int milliseconds);
    void signal();
    void reset();

private:
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_raised = false;
};

// Process exit statuses of orxgui.
enum eGUIExitStatus { eExitOK = 0, eExitCannotStart = 1, eExitCommandLine = 2 };

// Finished sessions are reaped by the accept loop too once the set holds this many. How many
// sessions run at once is a site setting (SGUISiteSettings).
constexpr std::size_t kReapThreshold = 64;

extern SGUIMainBones gMainBones;
extern oozaf::CZAFSynchObject<bool> gActive;
extern oozaf::CZAFThread setThread;
extern CGUIShutdownEvent gShutdownRequestedEvent;

// What main() does: installs the logger, then runs the connection process's role
// (gGUIRoleMain) when this process is one, else sGUIServiceMain and logs "Exiting"; returns the
// exit status (0, 1 when the daemon could not start, 2 for a command-line error; a connection
// process's result).
int gGUIMain(int argc, char** argv);
// The main function of a connection process (guiprocess.h): the login or the session.
int gGUIRoleMain(eGUIRole role);
// Parses the command line, handles help, version, log level and log file, then doMain().
int sGUIServiceMain(int argc, char** argv);
// Handlers, initialisation, signal thread, accept loop, shutdown. Returns the exit status.
int doMain();
bool guiInitialize();
void guiRun();
void guiShutdown();
// Starts the shutdown: the accept loop and the maintenance thread end. Callable from any thread
// (never from an asynchronous signal handler: signals are taken by a thread of their own).
void gSignalShutdown();
// What the signal thread runs for each termination signal it takes.
void SigHandler(int sig);
void* clientsSetThread(void* argument);
void UnexpectedExceptionThrownHandler();
void TerminateHandler();

} // namespace vorngui

#endif
