// network: starting and stopping the toolkit's networking library.
#include "api/api.h"

#include <zaf/zafcontext.h>
#include <zaf/zafnetwork.h>

#include <mutex>

namespace {

std::mutex gNetworkLock;
unsigned gNetworkInitCount = 0;

} // namespace

extern "C" {

ZAFError ZAFsdkNetworkLibInit(void) {
    return zaf::guard([&]() -> ZAFError {
        std::lock_guard<std::mutex> hold(gNetworkLock);
        uint32_t flags = 0;
        if (ZAFsdkGetInitFlags(&flags) != kZAFError_NoErr)
            return kZAFError_NotInitialized;
        ++gNetworkInitCount;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFsdkNetworkLibCleanup(void) {
    return zaf::guard([&]() -> ZAFError {
        std::lock_guard<std::mutex> hold(gNetworkLock);
        if (gNetworkInitCount == 0)
            return kZAFError_NotInitialized;
        --gNetworkInitCount;
        return kZAFError_NoErr;
    });
}

} // extern "C"
