// Fuzz target: key ring parsing, key trees and merging two versions of a key.
#include "keystore/keystore_internal.h"

#include <cstdint>
#include <memory>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20))
        return 0;
    auto store = std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size);
    for (bool secret : {false, true}) {
        std::vector<zaf::KeyPtr> keys;
        if (!zaf::parseKeys(store, secret, true, keys, nullptr, true))
            continue;
        for (const zaf::KeyPtr& k : keys) {
            zaf::TKTree a, b;
            if (!a.parse(k->mainBytes()) || !b.parse(k->mainBytes()))
                std::abort(); // a key that parsed must parse as a tree too
            if (a.serialize() != k->mainBytes())
                std::abort(); // and write back byte for byte
            if (zaf::mergeTrees(a, b))
                std::abort(); // merging a key with itself changes nothing
        }
    }
    return 0;
}
