// Fuzz target: a key server's machine-readable index. Whatever parses must keep the bounds: key
// IDs of 8, 16, 32 or 40 upper-case hex digits, at most the key and user ID limits.
#include "keyserver/keyserver_index.h"

#include <zaf/zafkeyserver.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20))
        return 0;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<zaf::hkp::IndexKey> keys;
    const ZAFError code = zaf::hkp::parseIndex(text, 50, keys);
    if (code != kZAFError_NoErr && code != kZAFError_KeyServerTooManyKeys)
        std::abort();
    if (keys.size() > 50)
        std::abort();
    for (const zaf::hkp::IndexKey& key : keys) {
        const size_t n = key.keyID.size();
        if (n != 8 && n != 16 && n != 32 && n != 40)
            std::abort();
        for (char c : key.keyID)
            if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
                std::abort();
        if (key.userIDs.size() > kZAFKeyServerMaxIndexUserIDs || key.algorithm > 255)
            std::abort();
        for (const std::string& uid : key.userIDs)
            if (uid.size() > zaf::hkp::kMaxIndexUserIDBytes)
                std::abort();
    }
    return 0;
}
