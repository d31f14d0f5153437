// Fuzz target for file specs: any byte string as a full and as a portable path.
#include <zaf/zaf.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr size_t kMaxInput = 8192;

ZAFContextRef context() {
    static ZAFContextRef shared = [] {
        ZAFContextRef made = nullptr;
        if (ZAFNewContext(&made) != kZAFError_NoErr)
            std::abort();
        return made;
    }();
    return shared;
}

void check(bool condition) {
    if (!condition)
        std::abort();
}

// The path a spec holds, through the size-query protocol.
std::string pathOf(ZAFFileSpecRef spec) {
    size_t size = 0;
    check(ZAFGetFullPathFromFileSpec(spec, nullptr, &size) == kZAFError_BufferTooSmall);
    std::string text(size, '\0');
    check(ZAFGetFullPathFromFileSpec(spec, text.data(), &size) == kZAFError_NoErr);
    text.resize(size - 1);
    return text;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput)
        return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string asGiven = input.substr(0, input.find('\0'));
    const bool acceptable = !asGiven.empty() && asGiven.size() <= 4096;

    ZAFFileSpecRef spec = nullptr;
    const ZAFError full = ZAFNewFileSpecFromFullPath(context(), input.c_str(), &spec);
    check((full == kZAFError_NoErr) == acceptable);
    if (full == kZAFError_NoErr) {
        check(pathOf(spec) == asGiven);
        check(ZAFFreeFileSpec(spec) == kZAFError_NoErr);
    }

    spec = nullptr;
    const ZAFError portable = ZAFNewFileSpecFromPortablePath(context(), input.c_str(), &spec);
    check((portable == kZAFError_NoErr) == acceptable);
    if (portable == kZAFError_NoErr) {
        const std::string once = pathOf(spec);
        check(!once.empty() && once.find("//") == std::string::npos &&
              once.find("/./") == std::string::npos);
        check(ZAFFreeFileSpec(spec) == kZAFError_NoErr);
        // Normalising is idempotent.
        check(ZAFNewFileSpecFromPortablePath(context(), once.c_str(), &spec) == kZAFError_NoErr);
        check(pathOf(spec) == once);
        check(ZAFFreeFileSpec(spec) == kZAFError_NoErr);
    }
    return 0;
}
