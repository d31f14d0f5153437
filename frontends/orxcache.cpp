// orxcache: opens a list of key rings through the toolkit and keeps them open in the background,
// so that the toolkit's service orxsdkd keeps them cached (and pinned) for every other program.
// SIGHUP starts a new pass (the list is read again, every ring reopened); the break signals stop.
#include <oozaf/keydb.h>
#include <oozaf/throwable.h>
#include <zaf/zafcmdline.h>
#include <zaf/zafcontext.h>
#include <zaf/zafkeys.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <new>
#include <orx/version.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using oozaf::CNOLFileSpec;
using oozaf::CZAFContext;
using oozaf::CZAFThrowable;
using oozaf::CZAFThrowableGuard;

namespace {

const char kVersion[] = ORX_VERSION;
const char kUsage[] = "Usage: orxcache [--help] [--version] [--filelist <filelist>]\n"
                      "                [<pubring> <secring>]...\n";
const char kDefaultFileList[] = "./zafcache.lst";
constexpr int kMaxLineLength = 4094;
constexpr size_t kMaxArgument = 1024;

enum Flag : int32_t { kFlagVersion = 1, kFlagHelp = 2, kFlagVerbose = 3, kFlagFileList = 4 };
const ZAFCommandLineFlag kFlags[] = {{"version", kFlagVersion},
                                     {"help", kFlagHelp},
                                     {"verbose", kFlagVerbose},
                                     {"filelist", kFlagFileList}};

volatile sig_atomic_t gStop = 0;
volatile sig_atomic_t gReload = 0;
bool gFirstPass = true;
std::string gStartDirectory; // captured at the first pass, without a trailing "/"

struct Ignored {
    bool known = false;
    bool interrupt = false, quit = false, cpu = false;
} gIgnoredAtStart;

// One ring of the list; the node of a pair's public ring holds the opened database.
struct Ring {
    std::string path;
    std::unique_ptr<CNOLFileSpec> spec;
    ZAFKeyDBRef db = nullptr;
};

extern "C" void breakHandler(int) {
    for (int sig : {SIGTRAP, SIGSEGV, SIGILL, SIGPIPE})
        signal(sig, SIG_IGN);
    gStop = 1;
}

extern "C" void CatchHup(int) { gReload = 1; }

void install(int sig, void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART; // the flags are looked at between steps and in waitForSignal
    sigaction(sig, &action, nullptr);
}

bool wasIgnored(int sig) {
    struct sigaction current {};
    return sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

void zafInitEA() {
    if (!gIgnoredAtStart.known) {
        gIgnoredAtStart.known = true;
        gIgnoredAtStart.interrupt = wasIgnored(SIGINT);
        gIgnoredAtStart.quit = wasIgnored(SIGQUIT);
        gIgnoredAtStart.cpu = wasIgnored(SIGXCPU);
    }
    if (!gIgnoredAtStart.interrupt)
        install(SIGINT, breakHandler);
    if (!gIgnoredAtStart.quit)
        install(SIGQUIT, breakHandler);
    if (!gIgnoredAtStart.cpu)
        install(SIGXCPU, breakHandler);
    install(SIGHUP, CatchHup);
    for (int sig : {SIGPIPE, SIGTERM, SIGTRAP, SIGSEGV, SIGILL, SIGBUS})
        install(sig, breakHandler);
}

// Waits for SIGHUP or a stop signal. They are blocked while the flags are looked at, so one that
// came before the wait (while the rings loaded, or between the fork and here) is not slept
// through.
void waitForSignal() {
    sigset_t waited, previous;
    sigemptyset(&waited);
    for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGXCPU})
        sigaddset(&waited, sig);
    sigprocmask(SIG_BLOCK, &waited, &previous);
    while (!gStop && !gReload)
        sigsuspend(&previous);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

// Relative paths count from the directory of the first pass, also after the daemon moved to "/".
std::string absolute(const std::string& path) {
    return !path.empty() && path[0] == '/' ? path : gStartDirectory + "/" + path;
}

void append(std::vector<Ring>& rings, const std::string& path) {
    Ring ring;
    ring.path = absolute(path);
    rings.push_back(std::move(ring));
}

int readFileList(const char* name, std::vector<Ring>& rings) {
    FILE* list = std::fopen(absolute(name).c_str(), "re");
    if (list == nullptr) {
        std::fprintf(stderr, "Error: Opening file '%s' failed with error '%s'.\n", name,
                     std::strerror(errno));
        return 2;
    }
    char line[4096];
    int number = 0;
    int code = 0;
    while (std::fgets(line, sizeof line, list) != nullptr) {
        ++number;
        size_t length = std::strlen(line);
        if (length == 0 || line[length - 1] != '\n') {
            std::fprintf(stderr,
                         "Error: Line %d in file %s is too long.  Maximum linelength is %d.\n",
                         number, name, kMaxLineLength);
            code = 2;
            break;
        }
        while (length > 0 &&
               (line[length - 1] == '\n' || line[length - 1] == ' ' || line[length - 1] == '\t'))
            line[--length] = '\0';
        const char* text = line;
        while (*text == ' ' || *text == '\t')
            ++text;
        if (*text == '\0' || *text == '#')
            continue;
        append(rings, text);
    }
    std::fclose(list);
    return code;
}

// True in the daemon (the child); false in the parent, which ends its pass. A daemon's later
// passes (after SIGHUP) stay in the same process: forking again would end the process that a
// pid file or a supervisor knows, on every reload.
bool gIsDaemon = false;

bool becomeDaemon() {
    if (gIsDaemon)
        return true;
    pid_t pid = -1;
    for (int attempt = 0; attempt < 5; ++attempt) {
        pid = fork();
        if (pid >= 0)
            break;
        sleep(5);
    }
    if (pid != 0) {
        gStop = 1;
        return false;
    }
    if (chdir("/") != 0) {
        // Relative paths do not depend on the working directory any more; nothing is lost.
    }
    int null = open("/dev/null", O_RDWR);
    if (null < 0) {
        std::fprintf(stderr, "Opening /dev/null failed.\n");
        return false;
    }
    for (int fd = 0; fd <= 2; ++fd)
        if (isatty(fd))
            dup2(null, fd);
    close(null);
    setsid();
    signal(SIGPIPE, SIG_IGN);
    gIsDaemon = true;
    return true;
}

int ZAFCache(int argc, char** argv) {
    gReload = 0; // a SIGHUP from now on asks for the pass after this one
    zafInitEA();
    if (gFirstPass) {
        char directory[1025];
        if (getcwd(directory, sizeof directory) == nullptr) {
            std::fprintf(stderr, "Obtaining the current directory failed with error %s",
                         errno == EACCES ? "'access denied'.\n"
                                         : "'too many characters in pathname'.\n");
            return 3;
        }
        gStartDirectory = directory;
        if (gStartDirectory == "/")
            gStartDirectory.clear();
        gFirstPass = false;
    }
    if (ZAFsdkInit(0) != kZAFError_NoErr) {
        std::fprintf(stderr, "orxsdkd must be running.\n");
        return 3;
    }
    int code = 0;
    bool verbose = false;
    std::vector<Ring> rings;
    ZAFCommandLineContextRef commandLine = nullptr;
    std::unique_ptr<CZAFContext> context;
    try {
        context = std::make_unique<CZAFContext>();
        if (ZAFNewCommandLineContext(ZAFPeekContextMemoryMgr(context->getHandle()), argc, argv,
                                     kFlags, sizeof kFlags / sizeof kFlags[0],
                                     &commandLine) != kZAFError_NoErr) {
            std::fprintf(stderr, "%s", kUsage);
            code = 4;
        }
        bool fileListGiven = false;
        while (code == 0 && !gStop) {
            int32_t id = 0;
            const char* argument = nullptr;
            ZAFError rc = ZAFCommandLineNextFlag(commandLine, &id, &argument);
            if (rc == kZAFError_EndOfIteration) {
                struct stat st {};
                if (!fileListGiven && rings.empty() &&
                    stat(absolute(kDefaultFileList).c_str(), &st) == 0) {
                    if (verbose)
                        std::fprintf(stderr, "Processing default file list: %s\n",
                                     kDefaultFileList);
                    code = readFileList(kDefaultFileList, rings);
                }
                break;
            }
            if (rc == kZAFError_NoErr && id == kZAFCommandLine_Argument && argument != nullptr &&
                std::strlen(argument) <= kMaxArgument) {
                append(rings, argument);
            } else if (rc == kZAFError_NoErr && id == kFlagVersion) {
                std::fprintf(stderr, "ORXcache Version %s\n", kVersion);
                gStop = 1;
            } else if (rc == kZAFError_NoErr && id == kFlagHelp) {
                std::fprintf(stderr, "ORXcache Version %s\n", kVersion);
                std::fprintf(stderr, "\n");
                std::fprintf(stderr, "%s", kUsage);
                gStop = 1;
            } else if (rc == kZAFError_NoErr && id == kFlagVerbose) {
                verbose = true;
            } else if (rc == kZAFError_NoErr && id == kFlagFileList &&
                       ZAFCommandLineNextArgument(commandLine, &argument) == kZAFError_NoErr) {
                fileListGiven = true;
                if (verbose)
                    std::fprintf(stderr, "Processing file list: %s\n", argument);
                code = readFileList(argument, rings);
            } else {
                std::fprintf(stderr, "%s", kUsage);
                code = 4;
            }
        }
        // Open the pairs: public ring, then secret ring (none for an odd last one).
        const bool stoppedBeforeLoading = gStop != 0;
        for (size_t i = 0; code == 0 && !stoppedBeforeLoading && i < rings.size(); i += 2) {
            if (gStop)
                break;
            Ring& pub = rings[i];
            Ring* sec = i + 1 < rings.size() ? &rings[i + 1] : nullptr;
            if (verbose) {
                std::fprintf(stderr, "Loading public  keyring: %s\n", pub.path.c_str());
                if (sec != nullptr)
                    std::fprintf(stderr, "Loading private keyring: %s\n", sec->path.c_str());
            }
            for (Ring* ring : {&pub, sec}) {
                if (ring == nullptr || code != 0)
                    continue;
                try {
                    ring->spec = std::make_unique<CNOLFileSpec>(*context, ring->path);
                } catch (CZAFThrowable* e) {
                    // The class library throws pointers to heap throwables; the catcher owns it.
                    CZAFThrowableGuard guard(e);
                    std::fprintf(stderr, "Opening file '%s' failed.\n", ring->path.c_str());
                    code = 2;
                }
            }
            if (code != 0)
                break;
            ZAFError rc =
                ZAFOpenKeyDBFile(context->getHandle(), 0, pub.spec->getHandle(),
                                 sec != nullptr ? sec->spec->getHandle() : nullptr, &pub.db);
            if (rc != kZAFError_NoErr) {
                pub.db = nullptr;
                char text[256] = "";
                ZAFGetErrorString(rc, sizeof text, text);
                std::fprintf(stderr, "Opening keyring '%s' failed with error '%s'.\n",
                             pub.path.c_str(), text);
                code = 2;
            }
        }
        if (code == 0 && gStop && !stoppedBeforeLoading)
            std::fprintf(stderr, "Stopping at user's request.\n");
        if (code == 0 && !gStop) {
            if (verbose || becomeDaemon()) {
                waitForSignal();
            }
        }
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "Error: Out of memory.\n");
        code = 1;
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        std::fprintf(stderr, "orxsdkd must be running.\n");
        code = 3;
    }
    if (verbose && !gStop && code == 0)
        std::fprintf(stderr, "Error: Abnormal exit.\n");
    for (Ring& ring : rings)
        if (ring.db != nullptr)
            ZAFFreeKeyDB(ring.db);
    rings.clear();
    if (commandLine != nullptr)
        ZAFFreeCommandLineContext(commandLine);
    context.reset();
    ZAFsdkCleanup();
    if (verbose)
        std::fprintf(stderr, "Exit code = %d.\n", code);
    return code;
}

} // namespace

int main(int argc, char** argv) {
    int code = 0;
    while (!gStop) {
        code = ZAFCache(argc, argv);
        if (code != 0)
            break;
    }
    return code;
}
