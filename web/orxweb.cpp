// orxweb: the web console. Serves the page over HTTPS and turns its actions into requests to
// orxgui in each user's own listener session.
#include "webcli.h"
#include "webserver.h"
#include "webtls.h"

#include <csignal>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <orx/version.h>
#include <pthread.h>
#include <stdexcept>
#include <unistd.h>

int main(int argc, char** argv) {
    using namespace vornweb;
    SWebCommandLine line;
    try {
        line = gParseWebCommandLine(std::vector<std::string>(argv + 1, argv + argc),
                                    ORXWEB_ASSETS_DIR, ORXWEB_POLICY_FILE);
    } catch (const std::invalid_argument& e) {
        std::cerr << "orxweb: " << e.what() << '\n';
        return 2;
    }
    if (line.help) {
        std::cout << gWebHelpText();
        return 0;
    }
    if (line.version) {
        std::cout << "orxweb (Brevan Vorn Server) " ORX_VERSION "\n";
        return 0;
    }
    // A browser that goes away costs only its own request.
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    try {
        SWebOptions& options = line.options;
        if (gEnsureCertificate(line.stateDir, options.certFile, options.keyFile))
            gLog("made a self-signed certificate in " + options.certFile);
        gLog("certificate SHA-256 fingerprint: " + gCertificateFingerprint(options.certFile));
        if (::geteuid() == 0)
            gLog("WARNING: orxweb runs as root although it needs no rights; run it as an "
                 "unprivileged account (scripts/run-web.sh does)");
        CWebServer server(options);
        gLog(server.pin().describe());
        if (!options.listenerSocket.empty())
            gLog("logins go to the listener's web socket " + options.listenerSocket +
                 ", naming each browser's address (by TCP when nothing is there)");
        server.start();
        const std::string host = options.address.find(':') != std::string::npos
                                     ? "[" + options.address + "]"
                                     : options.address;
        gLog("serving https://" + host + ":" + std::to_string(server.port()) +
             "/ for the listener at " + options.listenerHost + ":" +
             std::to_string(options.listenerPort));
        if (!line.portFile.empty()) {
            const std::string temporary = line.portFile + ".new";
            std::ofstream(temporary) << server.port() << '\n';
            if (std::rename(temporary.c_str(), line.portFile.c_str()) != 0)
                throw std::runtime_error("cannot write " + line.portFile);
        }
        int received = 0;
        sigwait(&stopSignals, &received);
        gLog("stopping on signal " + std::to_string(received));
        server.stop();
    } catch (const std::exception& e) {
        std::cerr << "orxweb: " << e.what() << '\n';
        return 1;
    }
    return 0;
}
