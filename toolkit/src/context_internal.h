// context_internal: what the toolkit's modules know of a context, its environment and file specs.
#ifndef ZAF_CONTEXT_INTERNAL_H
#define ZAF_CONTEXT_INTERNAL_H

#include <zaf/zafcontext.h>

#include <cstdint>
#include <map>
#include <string>

struct ZAFEnvironment {
    struct Entry {
        bool isString = false;
        int32_t intValue = 0;
        std::string stringValue;
        int32_t priority = 0;
    };
    std::map<int32_t, Entry> entries;

    int32_t getInt(int32_t selector, int32_t fallback) const;
    std::string getString(int32_t selector, const std::string& fallback) const;
};

struct ZAFFileSpec {
    uint32_t magic;
    std::string path;
};

struct ZAFContext {
    uint32_t magic;
    ZAFEnvironment environment;
    std::string randSeedPath; // empty when no seed file is set
};

namespace zaf {

constexpr uint32_t kContextMagic = 0x5A414643;  // "ZAFC"
constexpr uint32_t kFileSpecMagic = 0x5A414653; // "ZAFS"

// True for a non-null context that has not been freed.
bool isValidContext(const ZAFContext* context);
bool isValidFileSpec(const ZAFFileSpec* spec);

} // namespace zaf

#endif
