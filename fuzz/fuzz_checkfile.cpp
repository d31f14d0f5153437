// Fuzz target: the file of check results kept beside rings; whatever reads back must be written
// again byte for byte (the reader takes nothing but the writer's own form).
#include "keystore/keystore_internal.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (8u << 20))
        return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    zaf::CheckRecord results;
    if (!zaf::decodeCheckFile(bytes, results))
        return 0;
    if (zaf::encodeCheckFile(results) != bytes)
        std::abort();
    return 0;
}
