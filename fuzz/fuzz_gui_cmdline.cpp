// Fuzz target for orxgui's command line. The input is split at NUL bytes into the argument list.
// Each list either parses into a state whose getters keep the listener's rules or throws one of
// the command-line exceptions; anything else ends the run.
#include "fuzz_support.h"

#include <oozaf/throwable.h>
#include <vorngui/guicmdline.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using oozaf::CZAFCommandLineException;
using oozaf::CZAFLogger;
using vorngui::CGUICommandLineContext;

namespace {

const std::size_t kMaxInput = 4096;

using orxfuzz::require;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput)
        return 0;
    const std::vector<std::string> args = orxfuzz::splitAtNul(data, size);
    const std::vector<const char*> argv = orxfuzz::argvOf(args);

    CGUICommandLineContext context;
    try {
        context.parse(static_cast<unsigned int>(argv.size()), argv.data());
    } catch (CZAFCommandLineException* e) {
        require(!e->getMessage().empty());
        delete e;
        return 0;
    }

    // Accepted: no word before the switches, and every value within the listener's rules.
    require(context.getIndependentArgs().empty());
    unsigned short port = 0;
    if (context.getPort(port))
        require(port >= 1024);
    unsigned int interval = 0;
    if (context.getClientsThreadInt(interval))
        require(interval > 0);
    unsigned int timeout = 0;
    if (context.getLoginTimeout(timeout))
        require(timeout > 0);
    CZAFLogger::eLogLevel level = CZAFLogger::eLogNone;
    if (context.getInfo(level))
        require(level >= CZAFLogger::eLogError && level <= CZAFLogger::eLogDebug);
    std::string name;
    if (context.getLogFilename(name))
        require(context.switchExists("--log-file"));
    for (const auto& entry : context.getParsedSwitches())
        require(context.switchIsValid(entry.first));
    return 0;
}
