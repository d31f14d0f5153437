// handles: the registry of live toolkit handles.
#include "handles.h"

#include <mutex>
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

} // namespace zaf
