// The command engine's command line: the splitting of a command text (ZAFvorn), alias expansion,
// the switch rules of the operation table, and the logged form of the words, which must stay one
// TAB-free line of bounded length.
#include "../engine/src/engine_internal.h"
#include "fuzz_support.h"

#include <oozaf/throwable.h>

using namespace orxengine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> words;
    try {
        words = gSplitCommandText(text);
    } catch (SEngineError& e) {
        orxfuzz::require(e.code == kZAFvorn_Usage);
        words = orxfuzz::splitAtNul(data, size);
    }
    orxfuzz::require(words.size() <= kMaxCommandWords + 1 || size > kMaxCommandWords);

    const std::string logged = gLoggedCommandLine(words);
    orxfuzz::require(logged.size() <= kMaxLoggedCommandLine);
    orxfuzz::require(logged.find_first_of("\t\n\r") == std::string::npos);

    const oozaf::CVornServerCfgPart::CAliasMap aliases = {{"-kl", "--key-list --with-colons"},
                                                          {"-x", "\"--key-export\" --armor"}};
    try {
        const std::vector<std::string> expanded = gExpandAliases(words, aliases);
        orxfuzz::require(expanded.size() <= kMaxCommandWords);
        CEngineCommandLine cmd;
        cmd.parse(expanded);
        for (const auto& entry : cmd.getParsedSwitches())
            for (const SEngineCommand& c : gCommands())
                (void)gOptionAppliesTo(entry.first, c.op);
    } catch (SEngineError& e) {
        orxfuzz::require(e.code == kZAFvorn_Usage || e.code == kZAFvorn_Unsupported);
    } catch (oozaf::CZAFCommandLineException* e) {
        delete e;
    }
    return 0;
}
