// orxcmd: the command-line front end. Hands the whole command line to the command engine and
// exits with the engine's result (see docs/orxcmd.md).
#include <oozaf/throwable.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <orx/zafengine.h>
#include <unistd.h>

using namespace oozaf;

namespace {

ZAFvornContext* gContext = nullptr;
ZAFapiContext* gApi = nullptr;

const int kSignals[] = {SIGINT,  SIGHUP,  SIGQUIT, SIGPIPE, SIGTERM,
                        SIGTRAP, SIGSEGV, SIGILL,  SIGBUS};

void ORXCleanUp() {
    for (int sig : kSignals)
        std::signal(sig, SIG_DFL);
    if (gApi != nullptr)
        zafVornCleanUp(gApi); // nulls the pointer
    gApi = nullptr;
    if (gContext != nullptr)
        ZAFvornCleanUp(gContext);
    gContext = nullptr;
}

// Ends the process from a signal handler: only async-signal-safe calls may follow the handler's
// clean-up, so no exit handlers or destructors run (_exit).
[[noreturn]] void ORXExit(int code) { _exit(code); }

extern "C" void breakHandler(int sig) {
    char text[64];
    // "\nReceived signal %i. Stopping.\n", formatted without stdio.
    const char head[] = "\nReceived signal ";
    const char tail[] = ". Stopping.\n";
    size_t n = 0;
    std::memcpy(text, head, sizeof head - 1);
    n = sizeof head - 1;
    char digits[12];
    int d = 0;
    unsigned int value = static_cast<unsigned int>(sig);
    do {
        digits[d++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0 && d < 11);
    while (d > 0)
        text[n++] = digits[--d];
    std::memcpy(text + n, tail, sizeof tail - 1);
    n += sizeof tail - 1;
    (void)!write(2, text, n);
    ORXCleanUp();
    ORXExit(6);
}

void sInitSignals() {
    // An interrupt, hang-up or quit that the parent had ignored stays ignored.
    for (int sig : {SIGINT, SIGHUP, SIGQUIT}) {
        struct sigaction old {};
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        std::signal(sig, breakHandler);
    }
    for (int sig : {SIGTERM, SIGTRAP, SIGSEGV, SIGILL, SIGBUS})
        std::signal(sig, breakHandler);
    // A reader that goes away ("orxcmd --key-list | head") is seen by the write that follows,
    // which fails with EPIPE: the engine ends a listing quietly and anything else with its
    // own message, instead of the signal stopping the program in the middle.
    std::signal(SIGPIPE, SIG_IGN);
}

} // namespace

int main(int argc, char** argv) {
    int exitCode = 0;
    if (ZAFvornInit_args(&gContext, argc, argv) != 0) {
        std::fputs("Error initializing crypto library.\n", stderr);
        return -1;
    }
    sInitSignals();
    ZAFapiContext* api = zafVornInit(gContext, false);
    if (api == nullptr) {
        std::fputs("Error initializing thread-level information.\n", stderr);
        ORXCleanUp();
        return -2;
    }
    gApi = api;
    try {
        try {
            api->flag = 0;
            api->result = 0;
            zafEngine(argc, argv, api);
            exitCode = api->result;
        } catch (std::exception& e) {
            throw new CZAFSTLError(e);
        }
    } catch (CZAFThrowable* e) {
        std::cerr << *e << std::endl;
        delete e;
        exitCode = api->result != 0 ? api->result : 1;
    }
    ORXCleanUp();
    return exitCode;
}
