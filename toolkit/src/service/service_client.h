// service_client: what a key database asks the background service orxsdkd in service mode.
#ifndef ZAF_SERVICE_CLIENT_H
#define ZAF_SERVICE_CLIENT_H

#include <cstdint>
#include <functional>
#include <string>

namespace zaf {

// sdk.cpp: runs `exchange` on the service connection under the library's lock. When it returns
// false the connection is closed and the process carries on in local mode. False without a
// connection (local mode).
bool withServiceConnection(const std::function<bool(int)>& exchange);

// How long a client waits for the service's answer before it reads locally.
constexpr int kServiceReplyTimeoutMs = 10000;

// Passes the public ring (a descriptor this process opened with its own access; the secret ring
// never leaves the process) to the service and seeds the process-wide check cache with the
// verification results it holds for that version. Returns the service's entry id of the pinned
// version, 0 when nothing is pinned (local mode, or the service refused, was busy or slow).
uint64_t serviceOpenRing(int pubFd);
// Unpins a version serviceOpenRings pinned; 0 is ignored.
void serviceReleaseRings(uint64_t entry);

} // namespace zaf

#endif
