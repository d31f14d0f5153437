// filespec: file specifications, plain and portable.
#include "context_internal.h"
#include "handles.h"

#include <cstring>
#include <string>
#include <vector>

namespace zaf {

bool isValidFileSpec(const ZAFFileSpec* spec) {
    return isRegistered(spec, HandleKind::FileSpec) && spec->magic == kFileSpecMagic;
}

} // namespace zaf

namespace {

constexpr size_t kMaxPathLength = 4096;

// Checks the path's length without reading past kMaxPathLength + 1 bytes.
bool acceptablePath(const char* path, size_t& length) {
    if (path == nullptr)
        return false;
    length = strnlen(path, kMaxPathLength + 1);
    return length > 0 && length <= kMaxPathLength;
}

// Drops empty and "." components; ".." is kept, as it cannot be resolved without the file system.
std::string normalisePortable(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string part = path.substr(start, end - start);
        if (!part.empty() && part != ".")
            parts.push_back(std::move(part));
        start = end + 1;
    }
    std::string result = path[0] == '/' ? "/" : "";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            result += '/';
        result += parts[i];
    }
    return result.empty() ? "." : result;
}

ZAFError newSpec(std::string path, ZAFFileSpecRef* outSpec) {
    auto* spec = new ZAFFileSpec;
    spec->magic = zaf::kFileSpecMagic;
    spec->path = std::move(path);
    try {
        zaf::registerHandle(spec, zaf::HandleKind::FileSpec);
    } catch (...) {
        delete spec;
        throw;
    }
    *outSpec = spec;
    return kZAFError_NoErr;
}

} // namespace

extern "C" {

ZAFError ZAFNewFileSpecFromFullPath(ZAFContextRef context, const char* path,
                                    ZAFFileSpecRef* outSpec) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidContext(context))
            return kZAFError_InvalidHandle;
        size_t length = 0;
        if (outSpec == nullptr || !acceptablePath(path, length))
            return kZAFError_BadParams;
        return newSpec(std::string(path, length), outSpec);
    });
}

ZAFError ZAFNewFileSpecFromPortablePath(ZAFContextRef context, const char* path,
                                        ZAFFileSpecRef* outSpec) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidContext(context))
            return kZAFError_InvalidHandle;
        size_t length = 0;
        if (outSpec == nullptr || !acceptablePath(path, length))
            return kZAFError_BadParams;
        return newSpec(normalisePortable(std::string(path, length)), outSpec);
    });
}

ZAFError ZAFGetFullPathFromFileSpec(ZAFFileSpecRef spec, char* buffer, size_t* size) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidFileSpec(spec))
            return kZAFError_InvalidHandle;
        if (size == nullptr)
            return kZAFError_BadParams;
        const size_t needed = spec->path.size() + 1;
        if (buffer == nullptr || *size < needed) {
            *size = needed;
            return kZAFError_BufferTooSmall;
        }
        std::memcpy(buffer, spec->path.c_str(), needed);
        *size = needed;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFreeFileSpec(ZAFFileSpecRef spec) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidFileSpec(spec) || !zaf::unregisterHandle(spec, zaf::HandleKind::FileSpec))
            return kZAFError_InvalidHandle;
        spec->magic = 0;
        delete spec;
        return kZAFError_NoErr;
    });
}

} // extern "C"
