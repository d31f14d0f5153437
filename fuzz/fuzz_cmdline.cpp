// Fuzz target for the command-line parser. The input is split at NUL bytes into the argument
// list of a small program's rules. Each list either parses into a state that keeps every rule or
// throws one of the command-line exceptions; any other throwable escapes and ends the run.
#include "fuzz_support.h"

#include <oozaf/cmdline.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

using oozaf::CZAFCommandLineContext;
using oozaf::CZAFCommandLineException;
using oozaf::CZAFUtil;

namespace {

const std::size_t kMaxInput = 4096;

using orxfuzz::require;

// --port takes one integer, --log-file one argument, --files two or more, --level at most
// two of a fixed set of words, --flag anything.
class CFuzzContext final : public CZAFCommandLineContext {
public:
    void minMaxArgsForSwitch(const std::string& sw, uint16_t& min, uint16_t& max) const override {
        min = 0;
        max = 0;
        if (sw == "--port" || sw == "--log-file")
            min = max = 1;
        else if (sw == "--files")
            min = 2;
        else if (sw == "--level")
            max = 2;
    }
    bool switchIsValid(const std::string& sw) const override {
        return sw == "--port" || sw == "--log-file" || sw == "--files" || sw == "--level" ||
               sw == "--flag";
    }
    bool argIsValid(const std::string& sw, const std::string& arg) const override {
        if (sw == "--port")
            return CZAFUtil::isInteger(arg);
        if (sw == "--level")
            return CZAFUtil::compareIgnoreCase(arg, "error") ||
                   CZAFUtil::compareIgnoreCase(arg, "debug");
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput)
        return 0;
    const std::vector<std::string> args = orxfuzz::splitAtNul(data, size);
    const std::vector<const char*> argv = orxfuzz::argvOf(args);

    CFuzzContext context;
    try {
        context.parse(static_cast<unsigned int>(argv.size()), argv.data());
    } catch (CZAFCommandLineException* e) {
        require(!e->getMessage().empty());
        delete e;
        return 0;
    }

    require(context.getArgs() == args);
    std::size_t independent = 0;
    while (independent < args.size() && !CZAFCommandLineContext::isSwitch(args[independent]))
        ++independent;
    require(context.getIndependentArgs() ==
            std::vector<std::string>(args.begin(), args.begin() + static_cast<long>(independent)));

    std::size_t words = independent;
    for (const auto& entry : context.getParsedSwitches()) {
        require(CZAFCommandLineContext::isSwitch(entry.first));
        require(entry.first == CZAFUtil::toLower(entry.first));
        require(context.switchIsValid(entry.first));
        require(context.getArgs(CZAFUtil::toUpper(entry.first)) == &entry.second);
        uint16_t min = 0, max = 0;
        context.minMaxArgsForSwitch(entry.first, min, max);
        require(min == 0 || entry.second.size() >= min);
        require(max == 0 || entry.second.size() <= max);
        for (const std::string& arg : entry.second)
            require(!CZAFCommandLineContext::isSwitch(arg) && context.argIsValid(entry.first, arg));
        words += 1 + entry.second.size();
    }
    require(words == args.size());

    std::ostringstream dump;
    dump << context;
    require(dump.str().compare(0, 20, "Arguments supplied:\n") == 0);
    return 0;
}
