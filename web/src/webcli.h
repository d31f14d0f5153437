// webcli: orxweb's command line.
#ifndef VORNWEB_WEBCLI_H
#define VORNWEB_WEBCLI_H

#include "webserver.h"

#include <string>
#include <vector>

namespace vornweb {

struct SWebCommandLine {
    SWebOptions options;
    // Where the known-hosts file (unless --known-hosts names one) and, when --cert/--key are
    // not given, the made certificate are kept.
    std::string stateDir;
    // When set, the bound port is written there once the server accepts.
    std::string portFile;
    bool help = false;
    bool version = false;
};

// Parses argv[1..]. Throws std::invalid_argument naming the problem.
SWebCommandLine gParseWebCommandLine(const std::vector<std::string>& args,
                                     const std::string& defaultAssets,
                                     const std::string& defaultPolicy);

std::string gWebHelpText();

} // namespace vornweb

#endif
