// orxsdkd: the toolkit's background service. Toolkit contexts in service mode pass it the
// descriptors of the public rings they open; it verifies each ring version once, in a process of
// its own, and hands the results to every later client that passes the same version.
#include "service_core.h"

#include <zaf/zafcontext.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <orx/version.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

const char kUsage[] =
    "Usage: orxsdkd [--foreground] [--socket <path>] [--log <file>] [--pid-file <file>]\n"
    "               [--memory-budget <MiB>] [--max-connections <n>] [--max-user-connections <n>]\n"
    "               [--idle-timeout <seconds>] [--workers <n>] [--verify-limit <seconds>]\n"
    "  or:  orxsdkd --help | --version\n";

const char kHelp[] =
    "The toolkit's background service: programs pass it the key rings they open, and it\n"
    "verifies each ring version once for all of them.\n"
    "\n"
    "Options:\n"
    "  --foreground             stay attached and log to standard error (else it becomes\n"
    "                           a daemon)\n"
    "  --socket <path>          the socket to listen on (default ORXSDKD_SOCKET, else\n"
    "                           /run/orxsdkd.sock)\n"
    "  --log <file>             the log file; SIGHUP reopens it (a symbolic link, a FIFO or\n"
    "                           a file of another account is refused)\n"
    "  --pid-file <file>        write the process ID there (refused as the log is)\n"
    "  --memory-budget <MiB>    memory for cached ring versions, the least recently used go\n"
    "                           first; also the most ring bytes verified at once, a larger\n"
    "                           ring is not read at all (default 256)\n"
    "  --max-connections <n>    clients at once (default 64)\n"
    "  --max-user-connections <n>\n"
    "                           clients of one account at once (default 8; root's are\n"
    "                           bounded by --max-connections alone)\n"
    "  --idle-timeout <seconds> close a client that sends nothing this long (default 300)\n"
    "  --workers <n>            verifying processes at once, at most one per account\n"
    "                           (default 2)\n"
    "  --verify-limit <seconds> end a verification running longer than this (default 60)\n"
    "  --help                   print this text\n"
    "  --version                print the version\n";

struct Options {
    std::string socketPath;
    std::string logPath;
    std::string pidPath;
    bool foreground = false;
    orxsdkd::Limits limits;
};

bool number(const char* text, long low, long high, long& out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high)
        return false;
    out = v;
    return true;
}

// 0: go on; 1: usage error; 2: --help; 3: --version.
int parseOptions(int argc, char** argv, Options& o) {
    const char* env = std::getenv("ORXSDKD_SOCKET");
    o.socketPath = (env != nullptr && *env != '\0') ? env : kZAFServiceSocketPath;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char*& out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        const char* v = nullptr;
        long n = 0;
        if (a == "--help")
            return 2;
        if (a == "--version")
            return 3;
        if (a == "--foreground") {
            o.foreground = true;
        } else if (a == "--socket" && value(v)) {
            o.socketPath = v;
        } else if (a == "--log" && value(v)) {
            o.logPath = v;
        } else if (a == "--pid-file" && value(v)) {
            o.pidPath = v;
        } else if (a == "--memory-budget" && value(v) && number(v, 1, 1 << 20, n)) {
            o.limits.memoryBudget = size_t(n) << 20;
        } else if (a == "--max-connections" && value(v) && number(v, 1, 4096, n)) {
            o.limits.maxConnections = unsigned(n);
        } else if (a == "--max-user-connections" && value(v) && number(v, 1, 4096, n)) {
            o.limits.maxUserConnections = unsigned(n);
        } else if (a == "--idle-timeout" && value(v) && number(v, 1, 86400, n)) {
            o.limits.idleTimeoutMs = int(n * 1000);
        } else if (a == "--workers" && value(v) && number(v, 1, 64, n)) {
            o.limits.workers = unsigned(n);
        } else if (a == "--verify-limit" && value(v) && number(v, 1, 3600, n)) {
            o.limits.verifyLimitMs = int(n * 1000);
        } else {
            return 1;
        }
    }
    return 0;
}

// Binds the socket; a socket file left by a service that is gone is replaced, a live one is not.
int listenOn(const std::string& path, std::string& why) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        why = "socket path too long";
        return -1;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why = std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            why = "exists and is not a socket";
            close(fd);
            return -1;
        }
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool live =
            connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        close(probe);
        if (live) {
            why = "another service is listening there";
            close(fd);
            return -1;
        }
        unlink(path.c_str());
    }
    // Every user's toolkit connects; what each may receive is decided per request. The socket
    // is made with its mode (0666) at once: no later change by name that a link could divert.
    mode_t old = umask(0111);
    int rc = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    umask(old);
    if (rc != 0 || listen(fd, 64) != 0) {
        why = std::strerror(errno);
        close(fd);
        return -1;
    }
    return fd;
}

bool daemonise() {
    pid_t pid = fork();
    if (pid < 0)
        return false;
    if (pid > 0)
        _exit(0);
    setsid();
    if (chdir("/") != 0)
        return false;
    int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        return false;
    for (int fd = 0; fd <= 2; ++fd)
        dup2(null, fd);
    close(null);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--verify-ring") == 0)
        return orxsdkd::verifyProcessMain(argc, argv);
    Options options;
    switch (parseOptions(argc, argv, options)) {
    case 1:
        std::fputs(kUsage, stderr);
        return 2;
    case 2:
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return 0;
    case 3:
        std::fputs("orxsdkd (Brevan Vorn Server) " ORX_VERSION "\n", stdout);
        return 0;
    default:
        break;
    }
    std::string why;
    // The log and the pid file are the service's own: a link planted at either name, or a file
    // of another account, is refused and the service does not start. Both are opened here, in
    // the starting process, so a refusal reaches its caller.
    orxsdkd::Log log;
    FILE* pidFile = nullptr;
    if (!log.open(options.logPath, why) ||
        (!options.pidPath.empty() &&
         (pidFile = orxsdkd::openOwnFile(options.pidPath, false, why)) == nullptr)) {
        std::fprintf(stderr, "orxsdkd: cannot start: %s\n", why.c_str());
        return 1;
    }
    int listenSocket = listenOn(options.socketPath, why);
    if (listenSocket < 0) {
        std::fprintf(stderr, "orxsdkd: cannot listen on %s: %s\n", options.socketPath.c_str(),
                     why.c_str());
        return 1;
    }
    if (!options.foreground && !daemonise()) {
        std::fprintf(stderr, "orxsdkd: cannot become a daemon: %s\n", std::strerror(errno));
        return 1;
    }
    if (pidFile != nullptr) {
        const bool written = std::fprintf(pidFile, "%d\n", int(getpid())) > 0;
        if (std::fclose(pidFile) != 0 || !written) {
            log.write("cannot write the pid file %s", options.pidPath.c_str());
            unlink(options.socketPath.c_str());
            return 1;
        }
    }
    // Signals arrive on a descriptor the main loop polls; every thread has them blocked.
    sigset_t handled;
    sigemptyset(&handled);
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&handled, sig);
    pthread_sigmask(SIG_BLOCK, &handled, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int signals = signalfd(-1, &handled, SFD_CLOEXEC);
    if (signals < 0 || ZAFsdkInit(kZAFFlags_LocalMode) != kZAFError_NoErr) {
        std::fprintf(stderr, "orxsdkd: cannot start\n");
        return 1;
    }
    log.write("listening on %s (uid %u), memory budget %zu MiB, at most %u connections (%u per "
              "user), idle limit %d s, %u verifying processes of at most %d s",
              options.socketPath.c_str(), unsigned(geteuid()), options.limits.memoryBudget >> 20,
              options.limits.maxConnections, options.limits.maxUserConnections,
              options.limits.idleTimeoutMs / 1000, options.limits.workers,
              options.limits.verifyLimitMs / 1000);
    int wake[2];
    if (pipe2(wake, O_CLOEXEC) != 0)
        return 1;
    int exitCode = 0;
    {
        orxsdkd::Server server(listenSocket, options.limits, log);
        std::thread loop([&] { server.run(wake[0]); });
        for (;;) {
            signalfd_siginfo info{};
            ssize_t n = read(signals, &info, sizeof info);
            if (n != ssize_t(sizeof info)) {
                if (n < 0 && errno == EINTR)
                    continue;
                exitCode = 1;
                break;
            }
            if (info.ssi_signo == SIGHUP) {
                if (!log.reopen(why))
                    log.write("cannot reopen the log: %s", why.c_str());
                log.write("log reopened; %zu versions cached, %zu bytes", server.cache().entries(),
                          server.cache().bytes());
                continue;
            }
            log.write("stopping on signal %u", info.ssi_signo);
            break;
        }
        if (write(wake[1], "x", 1) != 1)
            exitCode = 1;
        loop.join();
        server.stopConnections();
    }
    close(listenSocket);
    unlink(options.socketPath.c_str());
    if (!options.pidPath.empty())
        unlink(options.pidPath.c_str());
    ZAFsdkCleanup();
    log.write("stopped");
    return exitCode;
}
