// handles: the registry of live toolkit handles and the result codes of the C boundary.
#include "handles.h"

#include <botan/exceptn.h>

#include <mutex>
#include <new>
#include <unordered_map>

namespace zaf {

namespace {

struct Registry {
    std::mutex lock;
    std::unordered_map<const void*, HandleKind> live;
};

// Never destroyed: handles may still be freed by static destructors of other libraries.
Registry& registry() {
    static Registry* instance = new Registry;
    return *instance;
}

} // namespace

void registerHandle(const void* handle, HandleKind kind) {
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    r.live[handle] = kind;
}

bool unregisterHandle(const void* handle, HandleKind kind) {
    if (handle == nullptr)
        return false;
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    auto it = r.live.find(handle);
    if (it == r.live.end() || it->second != kind)
        return false;
    r.live.erase(it);
    return true;
}

bool isRegistered(const void* handle, HandleKind kind) {
    if (handle == nullptr)
        return false;
    Registry& r = registry();
    std::lock_guard<std::mutex> hold(r.lock);
    auto it = r.live.find(handle);
    return it != r.live.end() && it->second == kind;
}

ZAFError codeOfCurrentException() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return kZAFError_OutOfMemory;
    } catch (const Botan::Decoding_Error&) {
        return kZAFError_CorruptData;
    } catch (const Botan::Invalid_Authentication_Tag&) {
        return kZAFError_CorruptData;
    } catch (const Botan::Invalid_Argument&) {
        return kZAFError_BadParams;
    } catch (const Botan::Lookup_Error&) {
        return kZAFError_NotImplemented;
    } catch (const Botan::Not_Implemented&) {
        return kZAFError_NotImplemented;
    } catch (const Botan::Key_Not_Set&) {
        return kZAFError_KeyNotSet;
    } catch (...) {
        return kZAFError_Internal;
    }
}

} // namespace zaf
