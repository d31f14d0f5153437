// Fuzz target for the toolkit's command-line iterator: the input, split at NUL bytes, is argv.
#include "fuzz_support.h"

#include <zaf/zaf.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr size_t kMaxInput = 64 * 1024;

const ZAFCommandLineFlag kFlags[] = {
    {"version", 1}, {"help", 2}, {"verbose", 3}, {"filelist", 4}, {"v", 5},
};

ZAFContextRef context() {
    static ZAFContextRef shared = [] {
        ZAFContextRef made = nullptr;
        if (ZAFNewContext(&made) != kZAFError_NoErr)
            std::abort();
        return made;
    }();
    return shared;
}

using orxfuzz::require;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput)
        return 0;
    std::vector<std::string> items{"orxcache"};
    for (std::string& word : orxfuzz::splitAtNul(data, size))
        items.push_back(std::move(word));
    const std::vector<const char*> argv = orxfuzz::argvOf(items);

    ZAFCommandLineContextRef line = nullptr;
    const ZAFError made =
        ZAFNewCommandLineContext(ZAFPeekContextMemoryMgr(context()), static_cast<int>(argv.size()),
                                 argv.data(), kFlags, std::size(kFlags), &line);
    require(made == kZAFError_NoErr);

    // Every call consumes an item or a pending value, so this many steps always reach the end.
    const size_t limit = 2 * items.size() + 4;
    bool ended = false;
    for (size_t step = 0; step < limit && !ended; ++step) {
        int32_t id = -1;
        const char* text = nullptr;
        const ZAFError rc = ZAFCommandLineNextFlag(line, &id, &text);
        if (rc == kZAFError_EndOfIteration) {
            ended = true;
        } else if (rc == kZAFError_NoErr) {
            if (id == kZAFCommandLine_Argument) {
                require(text != nullptr);
                (void)std::strlen(text);
            } else {
                require(id >= 1 && id <= 5 && text == nullptr);
                if (id == 4) {
                    const char* value = nullptr;
                    const ZAFError got = ZAFCommandLineNextArgument(line, &value);
                    require(got == kZAFError_NoErr ? value != nullptr
                                                   : got == kZAFError_MissingArgument);
                }
            }
        } else {
            require(rc == kZAFError_UnknownFlag || rc == kZAFError_UnexpectedValue);
        }
    }
    require(ended);
    require(ZAFFreeCommandLineContext(line) == kZAFError_NoErr);
    return 0;
}
