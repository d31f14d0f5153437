// guiprocess: the processes of the listener. The daemon (privileged) accepts connections and
// starts, for each, this same program again in another role:
//
// - a login process, as an account without rights, that runs the secure handshake, reads the
//   login request and asks the daemon for the verdict; over the secure channel it then carries
//   the session's bytes between the network and the session process;
// - after a successful login, a session process that takes the user's ids for good and serves
//   the user's requests.
//
// The role comes from the environment variable the daemon sets; the connection is descriptor 3
// and the channel to the daemon descriptor 4 (guichannel.h).
#ifndef VORNGUI_GUIPROCESS_H
#define VORNGUI_GUIPROCESS_H

#include <vorngui/guiexceptions.h>

#include <cstdint>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>
#include <vector>

namespace vorngui {

// True in builds under a sanitizer, which reserves terabytes of address space for its shadow
// memory: address space limits and the empty root folder are left out there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kGUISanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
inline constexpr bool kGUISanitizedBuild = true;
#else
inline constexpr bool kGUISanitizedBuild = false;
#endif
#else
inline constexpr bool kGUISanitizedBuild = false;
#endif

enum class eGUIRole { eDaemon, eLogin, eSession };

// The environment variable that names a connection process's role ("login", "session").
constexpr const char* kRoleVariable = "ORXGUI_ROLE";
// The descriptors a connection process starts with.
constexpr int kConnectionDescriptor = 3;
constexpr int kChannelDescriptor = 4;

// A process could not be started, limited or given its identity.
class CGUIProcessException final : public CGUIException {
public:
    CGUIProcessException(const std::string& text, int error)
        : CGUIException(error != 0 ? new oozaf::CZAFOSException(error) : nullptr), m_text(text) {}
    std::string getMessage() const override { return m_text; }

private:
    std::string m_text;
};

// This process's role, from kRoleVariable (the daemon when unset or unknown).
eGUIRole gProcessRole();

// Starts this program again in `role`: `connection` becomes descriptor 3, `channel` descriptor
// 4, standard error `logDescriptor`, standard input and output /dev/null; nothing else stays
// open, every signal has its default action and none is blocked. The program is the one this
// process runs (even when its file was replaced since), so a connection never meets another
// version. Returns the new process's id; throws CGUIProcessException.
pid_t gSpawnRole(eGUIRole role, int connection, int channel, int logDescriptor);

// Bounds of a connection process (0: left as inherited, except the core file, which is always
// 0: a process's memory may hold a password or a user's key material).
struct SGUIProcessLimits {
    rlim_t addressSpace = 0;
    rlim_t openFiles = 0;
    rlim_t cpuSeconds = 0;
};
// Applies the limits (soft and hard, except the CPU time's hard limit, so that a session can
// move its soft limit from one request to the next). Throws CGUIProcessException. The address
// space is not bounded in builds with a sanitizer, which reserve terabytes of it.
void gApplyLimits(const SGUIProcessLimits& limits);
// Moves the soft CPU time limit to `seconds` beyond the CPU time used so far (0: no limit).
void gLimitCPUFromNow(unsigned int seconds);

// Takes on `uid`, `gid` and `groups` for good: real, effective and saved ids, the supplementary
// groups, no gaining of rights through programs run later (no_new_privs); then checks it with
// gCheckIdentity. Must run before the process has a second thread. Throws CGUIProcessException
// (the caller must then end the process: what was switched is unknown).
void gTakeIdentity(uid_t uid, gid_t gid, const std::vector<gid_t>& groups);
// Empty when the process holds exactly these ids (real, effective, saved) and groups, and,
// unless `uid` is 0, can take neither user 0 nor group 0 back and holds no capability;
// otherwise what is wrong. It tries: it asks for root's ids and groups and expects refusals.
std::string gCheckIdentity(uid_t uid, gid_t gid, const std::vector<gid_t>& groups);

} // namespace vorngui

#endif
