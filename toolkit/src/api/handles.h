// handles: the registry of live toolkit handles and the guard every exported function runs in.
#ifndef ZAF_HANDLES_H
#define ZAF_HANDLES_H

#include <zaf/zafbase.h>

#include <cstdint>

namespace zaf {

// Kinds of handle kept in the registry; a pointer is valid only as the kind it was made as.
enum class HandleKind : uint32_t {
    Context = 1,
    Environment,
    MemoryMgr,
    FileSpec,
    Hash,
    HMAC,
    Cipher,
    BigNum,
    DiskWiper,
    CommandLine,
    MessageSource,
    MessageSink,
    MessageParams,
    MessageResult,
};

// Records a new handle; a handle is registered once, right after it is built.
void registerHandle(const void* handle, HandleKind kind);
// Forgets a handle; returns false when it was not registered as that kind (then the caller
// must not free it).
bool unregisterHandle(const void* handle, HandleKind kind);
// True when the pointer is a live handle of that kind. Thread-safe.
bool isRegistered(const void* handle, HandleKind kind);

// The result code for the exception being handled (call it only inside a catch block):
// std::bad_alloc is out of memory; of the crypto library's, data that does not decode or fails
// its integrity check is corrupt data, an argument it refuses bad parameters, an algorithm it
// lacks not implemented, a key not set the same; anything else is an internal error.
ZAFError codeOfCurrentException() noexcept;

// The toolkit's C boundary: every exported function runs its whole body in here, so that no
// exception crosses into the caller. A handle the call cannot use (null, freed, or of another
// kind) gives kZAFError_InvalidHandle; the body checks that first.
template <class F> ZAFError guard(F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return codeOfCurrentException();
    }
}

// The same for the few exported functions that return a value rather than a result code:
// `failed` is what the caller gets when the body throws.
template <class T, class F> T guard(T failed, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return failed;
    }
}

} // namespace zaf

#endif
