// Fuzz target: choosing the keys of a key server's answer. What is kept is a sequence of public
// keys that, chosen again, stays the same.
#include "keyserver/keyserver_index.h"

#include <zaf/zafkeyserver.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20))
        return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string kept;
    uint32_t count = 0;
    if (zaf::hkp::selectKeys(text, nullptr, 100, kept, count) != kZAFError_NoErr)
        return 0;
    if (kept.size() > size || count > 100)
        std::abort();
    std::string again;
    uint32_t countAgain = 0;
    if (zaf::hkp::selectKeys(kept, nullptr, 100, again, countAgain) != kZAFError_NoErr ||
        again != kept || countAgain != count)
        std::abort();
    return 0;
}
