// webcli: orxweb's command line.
#include "webcli.h"

#include <orxadmin_cli.h>
#include <stdexcept>

namespace vornweb {

namespace {

unsigned long numberOf(const std::string& option, const std::string& text, unsigned long min,
                       unsigned long max) {
    try {
        return vornadmin::gParseNumber(option, text, min, max);
    } catch (oozaf::CZAFThrowable* e) {
        oozaf::CZAFThrowableGuard guard(e);
        throw std::invalid_argument(e->getMessage());
    }
}

} // namespace

SWebCommandLine gParseWebCommandLine(const std::vector<std::string>& args,
                                     const std::string& defaultAssets,
                                     const std::string& defaultPolicy) {
    SWebCommandLine line;
    line.options.assetsDir = defaultAssets;
    line.options.policyFile = defaultPolicy;
    line.stateDir = "/var/lib/orxweb";
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size())
                throw std::invalid_argument(option + " needs a value");
            return args[++i];
        };
        SWebOptions& o = line.options;
        if (option == "--help" || option == "-h")
            line.help = true;
        else if (option == "--version")
            line.version = true;
        else if (option == "--address")
            o.address = value();
        else if (option == "--port")
            o.port = static_cast<uint16_t>(numberOf(option, value(), 0, 65535));
        else if (option == "--listener-host")
            o.listenerHost = value();
        else if (option == "--listener-port")
            o.listenerPort = static_cast<uint16_t>(numberOf(option, value(), 1, 65535));
        else if (option == "--listener-socket")
            o.listenerSocket = value();
        else if (option == "--allow-plain-listener")
            o.allowPlainListener = true;
        else if (option == "--known-hosts")
            o.knownHostsFile = value();
        else if (option == "--listener-host-key")
            o.listenerHostKey = value();
        else if (option == "--listener-timeout")
            o.listenerTimeoutMs =
                static_cast<unsigned int>(numberOf(option, value(), 1, 3600) * 1000);
        else if (option == "--cert")
            o.certFile = value();
        else if (option == "--key")
            o.keyFile = value();
        else if (option == "--state-dir")
            line.stateDir = value();
        else if (option == "--assets")
            o.assetsDir = value();
        else if (option == "--policy")
            o.policyFile = value();
        else if (option == "--max-sessions")
            o.maxSessions = numberOf(option, value(), 1, 1024);
        else if (option == "--max-sessions-per-user")
            o.maxSessionsPerUser = numberOf(option, value(), 1, 1024);
        else if (option == "--idle-timeout")
            o.idleSeconds = static_cast<unsigned int>(numberOf(option, value(), 1, 86400));
        else if (option == "--threads")
            o.threads = static_cast<unsigned int>(numberOf(option, value(), 2, 256));
        else if (option == "--port-file")
            line.portFile = value();
        else
            throw std::invalid_argument("unknown option " + option + " (see --help)");
    }
    SWebOptions& o = line.options;
    if (o.certFile.empty() != o.keyFile.empty())
        throw std::invalid_argument("--cert and --key go together");
    if (!o.listenerHostKey.empty() && o.allowPlainListener)
        throw std::invalid_argument("--listener-host-key and --allow-plain-listener exclude each "
                                    "other: a plain listener proves no key");
    if (!o.listenerHostKey.empty() && !o.knownHostsFile.empty())
        throw std::invalid_argument("--listener-host-key names the key; --known-hosts is not "
                                    "used with it");
    if (o.listenerHostKey.empty() && o.knownHostsFile.empty())
        o.knownHostsFile = line.stateDir + "/known_hosts";
    return line;
}

std::string gWebHelpText() {
    return "Usage: orxweb [OPTIONS]\n"
           "The web console of Vorn Server: an HTTPS server for a browser page, working in each\n"
           "user's own session of the listener orxgui.\n"
           "\n"
           "Options:\n"
           "  --address ADDR           address to listen on (default 127.0.0.1)\n"
           "  --port N                 HTTPS port (default 8443; 0: any free port)\n"
           "  --port-file FILE         write the port there once serving\n"
           "  --listener-host HOST     where orxgui runs (default 127.0.0.1)\n"
           "  --listener-port N        orxgui's port (default 1718)\n"
           "  --listener-socket PATH   orxgui's socket for orxweb (its WebSocket setting,\n"
           "                           for example /run/orxgui/web.sock): logins name the\n"
           "                           browser's address there; none at PATH: TCP\n"
           "  --known-hosts FILE       the listener's pinned host key (default\n"
           "                           STATE-DIR/known_hosts; a first contact pins it)\n"
           "  --listener-host-key KEY  strict: the listener must prove this key, given as\n"
           "                           its public key file or its fingerprint\n"
           "  --allow-plain-listener   accept an orxgui started with --non-secure\n"
           "  --listener-timeout S     limit for each listener reply (default 30 s)\n"
           "  --cert FILE --key FILE   certificate chain and key in PEM\n"
           "  --state-dir DIR          keeps the known-hosts file and, without --cert, a\n"
           "                           self-signed certificate made on first start (default\n"
           "                           /var/lib/orxweb)\n"
           "  --assets DIR             the page's files\n"
           "  --policy FILE            site policy file shown as fixed settings\n"
           "  --max-sessions N         browser sessions at once (default 16)\n"
           "  --max-sessions-per-user N  sessions of one user (default 4; a further\n"
           "                           login ends the least recently used)\n"
           "  --idle-timeout S         a session ends after S idle seconds (default 900)\n"
           "  --threads N              request threads (default 8, besides two for the\n"
           "                           page's files)\n"
           "  --help                   this text\n"
           "  --version                the version\n";
}

} // namespace vornweb
