// context: toolkit contexts, their prioritised environment, memory manager and seed file.
#include "context_internal.h"
#include "crypto/crypto.h"
#include "handles.h"
#include "keystore/keystore.h"

#include <botan/mem_ops.h>
#include <botan/secmem.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

int32_t ZAFEnvironment::getInt(int32_t selector, int32_t fallback) const {
    auto it = entries.find(selector);
    if (it == entries.end() || it->second.isString)
        return fallback;
    return it->second.intValue;
}

std::string ZAFEnvironment::getString(int32_t selector, const std::string& fallback) const {
    auto it = entries.find(selector);
    if (it == entries.end() || !it->second.isString)
        return fallback;
    return it->second.stringValue;
}

namespace zaf {

bool isValidContext(const ZAFContext* context) {
    return isRegistered(context, HandleKind::Context) && context->magic == kContextMagic;
}

bool isValidEnvironment(const ZAFEnvironment* env) {
    return isRegistered(env, HandleKind::Environment);
}

bool isValidMemoryMgr(const ZAFMemoryMgr* mgr) {
    return isRegistered(mgr, HandleKind::MemoryMgr) && mgr->magic == kMemoryMgrMagic;
}

} // namespace zaf

namespace {

// A seed file is at most this large: a bigger file at the path is no seed of ours, and since the
// seed is replaced after it is read, it is refused rather than overwritten.
constexpr uint64_t kMaxSeedFileBytes = 64u << 10;

bool isIntSelector(int32_t selector) {
    return selector >= kZAFEnv_FirstInt && selector <= kZAFEnv_LastInt;
}

bool isStringSelector(int32_t selector) {
    return selector >= kZAFEnv_FirstString && selector <= kZAFEnv_LastString;
}

// Writes a fresh seed with the atomic writer, so a crash never leaves a truncated seed and the
// file is created with mode 0600 whatever the old one had. The seed stays in secure memory.
ZAFError writeSeedFile(const std::string& path) {
    Botan::secure_vector<uint8_t> seed(kZAFRandSeedFileSize);
    zaf::poolRng().randomize(seed.data(), seed.size());
    const std::string_view bytes(reinterpret_cast<const char*>(seed.data()), seed.size());
    return zaf::writeFileAtomic(path, bytes, S_IRUSR | S_IWUSR) == kZAFError_NoErr
               ? kZAFError_NoErr
               : kZAFError_WriteFailed;
}

// Mixes an existing seed file (its first kZAFRandSeedFileSize bytes) into the pool. Missing files
// are fine (a new user has none); a link, a folder, device or FIFO, or a file above the bound is
// refused.
ZAFError mixSeedFile(const std::string& path) {
    orxfile::UserFile file;
    const ZAFError rc = zaf::openUserFile(path, O_RDONLY, kMaxSeedFileBytes, false, file);
    if (rc == kZAFError_FileNotFound)
        return kZAFError_NoErr;
    if (rc != kZAFError_NoErr)
        return rc;
    // A seed longer than ours counts only as far as ours goes.
    Botan::secure_vector<uint8_t> seed(
        std::min(static_cast<size_t>(file.info().st_size), size_t(kZAFRandSeedFileSize)));
    size_t got = 0;
    while (got < seed.size()) {
        const ssize_t n = read(file.fd(), seed.data() + got, seed.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return kZAFError_ReadFailed;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    if (got > 0)
        zaf::mixIntoPool(seed.data(), got);
    return kZAFError_NoErr;
}

} // namespace

extern "C" {

ZAFError ZAFNewContext(ZAFContextRef* outContext) {
    return zaf::guard([&]() -> ZAFError {
        if (outContext == nullptr)
            return kZAFError_BadParams;
        auto* context = new ZAFContext;
        context->magic = zaf::kContextMagic;
        context->memoryMgr.magic = zaf::kMemoryMgrMagic;
        try {
            zaf::registerHandle(context, zaf::HandleKind::Context);
            zaf::registerHandle(&context->environment, zaf::HandleKind::Environment);
            zaf::registerHandle(&context->memoryMgr, zaf::HandleKind::MemoryMgr);
        } catch (...) {
            zaf::unregisterHandle(context, zaf::HandleKind::Context);
            zaf::unregisterHandle(&context->environment, zaf::HandleKind::Environment);
            delete context;
            throw;
        }
        *outContext = context;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFreeContext(ZAFContextRef context) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidContext(context) ||
            !zaf::unregisterHandle(context, zaf::HandleKind::Context))
            return kZAFError_InvalidHandle;
        zaf::unregisterHandle(&context->environment, zaf::HandleKind::Environment);
        zaf::unregisterHandle(&context->memoryMgr, zaf::HandleKind::MemoryMgr);
        ZAFError result = kZAFError_NoErr;
        if (!context->randSeedPath.empty()) {
            try {
                result = writeSeedFile(context->randSeedPath);
            } catch (...) {
                result = kZAFError_WriteFailed;
            }
        }
        context->magic = 0;
        context->memoryMgr.magic = 0;
        delete context;
        return result;
    });
}

ZAFEnvironmentRef zafContextGetEnvironment(ZAFContextRef context) {
    return zaf::guard(ZAFEnvironmentRef(nullptr), [&]() -> ZAFEnvironmentRef {
        return zaf::isValidContext(context) ? &context->environment : nullptr;
    });
}

ZAFError zafenvSetInt(ZAFEnvironmentRef env, int32_t selector, int32_t value, int32_t priority) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidEnvironment(env))
            return kZAFError_InvalidHandle;
        if (!isIntSelector(selector))
            return kZAFError_BadParams;
        auto it = env->entries.find(selector);
        if (it != env->entries.end() && priority < it->second.priority)
            return kZAFError_NoErr;
        ZAFEnvironment::Entry entry;
        entry.intValue = value;
        entry.priority = priority;
        env->entries[selector] = entry;
        return kZAFError_NoErr;
    });
}

ZAFError zafenvSetString(ZAFEnvironmentRef env, int32_t selector, const char* value,
                         int32_t priority) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidEnvironment(env))
            return kZAFError_InvalidHandle;
        if (!isStringSelector(selector) || value == nullptr)
            return kZAFError_BadParams;
        const size_t length = strnlen(value, kZAFEnv_MaxStringLength + 1);
        if (length > kZAFEnv_MaxStringLength)
            return kZAFError_BadParams;
        auto it = env->entries.find(selector);
        if (it != env->entries.end() && priority < it->second.priority)
            return kZAFError_NoErr;
        ZAFEnvironment::Entry entry;
        entry.isString = true;
        entry.stringValue.assign(value, length);
        entry.priority = priority;
        env->entries[selector] = std::move(entry);
        return kZAFError_NoErr;
    });
}

ZAFError zafenvGetInt(ZAFEnvironmentRef env, int32_t selector, int32_t* value, int32_t* priority) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidEnvironment(env))
            return kZAFError_InvalidHandle;
        if (value == nullptr || !isIntSelector(selector))
            return kZAFError_BadParams;
        auto it = env->entries.find(selector);
        if (it == env->entries.end())
            return kZAFError_ItemNotFound;
        *value = it->second.intValue;
        if (priority != nullptr)
            *priority = it->second.priority;
        return kZAFError_NoErr;
    });
}

ZAFError zafenvGetString(ZAFEnvironmentRef env, int32_t selector, char* buffer, size_t* size,
                         int32_t* priority) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidEnvironment(env))
            return kZAFError_InvalidHandle;
        if (size == nullptr || !isStringSelector(selector))
            return kZAFError_BadParams;
        auto it = env->entries.find(selector);
        if (it == env->entries.end())
            return kZAFError_ItemNotFound;
        const std::string& text = it->second.stringValue;
        const size_t needed = text.size() + 1;
        if (buffer == nullptr || *size < needed) {
            *size = needed;
            return kZAFError_BufferTooSmall;
        }
        std::memcpy(buffer, text.c_str(), needed);
        *size = needed;
        if (priority != nullptr)
            *priority = it->second.priority;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFSetRandSeedFile(ZAFContextRef context, ZAFFileSpecRef seedFile) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidContext(context) || !zaf::isValidFileSpec(seedFile))
            return kZAFError_InvalidHandle;
        const std::string path = seedFile->path;
        ZAFError rc = mixSeedFile(path);
        if (rc != kZAFError_NoErr)
            return rc;
        rc = writeSeedFile(path);
        if (rc != kZAFError_NoErr)
            return rc;
        context->randSeedPath = path;
        return kZAFError_NoErr;
    });
}

ZAFMemoryMgrRef ZAFPeekContextMemoryMgr(ZAFContextRef context) {
    return zaf::guard(ZAFMemoryMgrRef(nullptr), [&]() -> ZAFMemoryMgrRef {
        return zaf::isValidContext(context) ? &context->memoryMgr : nullptr;
    });
}

} // extern "C"
