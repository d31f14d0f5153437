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

    // The stored integer of `selector`, or `fallback` when it was never set (or holds a string).
    int32_t getInt(int32_t selector, int32_t fallback) const;
    std::string getString(int32_t selector, const std::string& fallback) const;
};

// The memory manager a context hands to the calls that take one. Allocation itself goes through
// the ordinary heap; the object only ties those calls to a live context.
struct ZAFMemoryMgr {
    uint32_t magic;
};

struct ZAFFileSpec {
    uint32_t magic;
    std::string path;
};

struct ZAFContext {
    uint32_t magic;
    ZAFEnvironment environment;
    std::string randSeedPath; // empty when no seed file is set
    ZAFMemoryMgr memoryMgr;
};

namespace zaf {

constexpr uint32_t kContextMagic = 0x5A414643;   // "ZAFC"
constexpr uint32_t kFileSpecMagic = 0x5A414653;  // "ZAFS"
constexpr uint32_t kMemoryMgrMagic = 0x5A41464D; // "ZAFM"

// True for a non-null context that has not been freed. These look the pointer up in the live
// handle registry before reading it, so a freed handle is recognised without touching its memory
// (unless the address was reused by a new object of the same kind).
bool isValidContext(const ZAFContext* context);
bool isValidFileSpec(const ZAFFileSpec* spec);
bool isValidEnvironment(const ZAFEnvironment* env);
bool isValidMemoryMgr(const ZAFMemoryMgr* mgr);

} // namespace zaf

#endif
