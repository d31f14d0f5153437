// Fuzz target: the groups file; whatever parses must write back to text that parses the same.
#include "keystore/keystore_internal.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20))
        return 0;
    std::string first, second;
    if (!zaf::checkGroupsText(std::string_view(reinterpret_cast<const char*>(data), size), &first))
        return 0;
    if (!zaf::checkGroupsText(first, &second) || first != second)
        std::abort();
    return 0;
}
