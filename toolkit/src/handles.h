// handles: the registry of live toolkit handles and the guard every exported function runs in.
#ifndef ZAF_HANDLES_H
#define ZAF_HANDLES_H

#include <zaf/zafbase.h>

#include <botan/exceptn.h>

#include <cstdint>
#include <exception>
#include <new>

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
};

// Records a new handle; a handle is registered once, right after it is built.
void registerHandle(const void* handle, HandleKind kind);
// Forgets a handle; returns false when it was not registered as that kind (then the caller
// must not free it).
bool unregisterHandle(const void* handle, HandleKind kind);
// True when the pointer is a live handle of that kind. Thread-safe.
bool isRegistered(const void* handle, HandleKind kind);

// Runs the body of an exported function and turns every exception into a result code, so no
// exception crosses the C boundary.
template <class F> ZAFError guard(F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return kZAFError_OutOfMemory;
    } catch (const Botan::Invalid_Argument&) {
        return kZAFError_BadParams;
    } catch (const Botan::Lookup_Error&) {
        return kZAFError_NotImplemented;
    } catch (const std::exception&) {
        return kZAFError_Internal;
    } catch (...) {
        return kZAFError_Internal;
    }
}

} // namespace zaf

#endif
