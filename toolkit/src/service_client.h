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

// Passes the rings (opened here, with this process's own access) to the service and seeds the
// process-wide check cache with the verification results it holds for their current versions.
// Returns the service's entry id of the pinned version, 0 when nothing is pinned (local mode,
// the service refused, or the rings could not be opened: the local read reports that).
uint64_t serviceOpenRings(const std::string& pubPath, const std::string& secPath);
// Unpins a version serviceOpenRings pinned; 0 is ignored.
void serviceReleaseRings(uint64_t entry);

} // namespace zaf

#endif
