// Fuzz target: ASCII armour reading; whatever decodes must armour and read back the same.
#include "keystore/keystore_internal.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20))
        return 0;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> blocks;
    if (!zaf::dearmor(text, blocks))
        return 0;
    for (const std::string& b : blocks) {
        std::vector<std::string> again;
        if (!zaf::dearmor(zaf::armor(b, "ZAF PUBLIC KEY BLOCK", {}), again) || again.size() != 1 ||
            again[0] != b)
            std::abort();
    }
    return 0;
}
