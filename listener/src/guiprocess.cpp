// guiprocess: starting the listener's connection processes, their limits and their identity.
#include <vorngui/guiprocess.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

extern char** environ;

namespace vorngui {

namespace {

const char* roleName(eGUIRole role) {
    switch (role) {
    case eGUIRole::eLogin:
        return "login";
    case eGUIRole::eSession:
        return "session";
    case eGUIRole::eDaemon:
        break;
    }
    return "daemon";
}

[[noreturn]] void fail(const std::string& text, int error) {
    throw new CGUIProcessException(text, error);
}

// Owns posix_spawn's attribute and file action objects.
struct SSpawnSetup {
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_t actions;
    SSpawnSetup() {
        posix_spawnattr_init(&attributes);
        posix_spawn_file_actions_init(&actions);
    }
    ~SSpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
};

// A copy of `descriptor` numbered 10 or above (the spawned process moves it down to 3 or 4,
// which a copy below 5 could overwrite); -1 on failure.
int highCopy(int descriptor) { return ::fcntl(descriptor, F_DUPFD_CLOEXEC, 10); }

} // namespace

eGUIRole gProcessRole() {
    const char* value = std::getenv(kRoleVariable);
    if (value == nullptr)
        return eGUIRole::eDaemon;
    if (std::strcmp(value, "login") == 0)
        return eGUIRole::eLogin;
    if (std::strcmp(value, "session") == 0)
        return eGUIRole::eSession;
    return eGUIRole::eDaemon;
}

pid_t gSpawnRole(eGUIRole role, int connection, int channel, int logDescriptor) {
    // The environment of the daemon, with the role set (and an inherited role dropped).
    const std::string roleEntry = std::string(kRoleVariable) + "=" + roleName(role);
    const std::string prefix = std::string(kRoleVariable) + "=";
    std::vector<char*> environment;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        if (std::strncmp(*entry, prefix.c_str(), prefix.size()) != 0)
            environment.push_back(*entry);
    environment.push_back(const_cast<char*>(roleEntry.c_str()));
    environment.push_back(nullptr);
    const std::string name = std::string("orxgui-") + roleName(role);
    char* arguments[] = {const_cast<char*>(name.c_str()), nullptr};

    const int copies[3] = {highCopy(connection), highCopy(channel), highCopy(logDescriptor)};
    struct SCloseCopies {
        const int* fds;
        ~SCloseCopies() {
            for (int i = 0; i < 3; ++i)
                if (fds[i] >= 0)
                    ::close(fds[i]);
        }
    } closeCopies{copies};
    if (copies[0] < 0 || copies[1] < 0 || copies[2] < 0)
        fail("Cannot pass the descriptors of a connection process", errno);

    SSpawnSetup setup;
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    posix_spawnattr_setsigmask(&setup.attributes, &none);
    posix_spawnattr_setsigdefault(&setup.attributes, &all);
    posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_addopen(&setup.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&setup.actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&setup.actions, copies[2], 2);
    posix_spawn_file_actions_adddup2(&setup.actions, copies[0], kConnectionDescriptor);
    posix_spawn_file_actions_adddup2(&setup.actions, copies[1], kChannelDescriptor);
    posix_spawn_file_actions_addclosefrom_np(&setup.actions, kChannelDescriptor + 1);

    pid_t pid = -1;
    const int rc = posix_spawn(&pid, "/proc/self/exe", &setup.actions, &setup.attributes, arguments,
                               environment.data());
    if (rc != 0)
        fail(std::string("Cannot start a ") + roleName(role) + " process", rc);
    return pid;
}

void gApplyLimits(const SGUIProcessLimits& limits) {
    auto set = [](int resource, rlim_t soft, rlim_t hard, const char* what) {
        rlimit value{soft, hard};
        if (::setrlimit(resource, &value) != 0)
            fail(std::string("Cannot limit the ") + what, errno);
    };
    set(RLIMIT_CORE, 0, 0, "core file size");
    if (limits.addressSpace != 0 && !kGUISanitizedBuild)
        set(RLIMIT_AS, limits.addressSpace, limits.addressSpace, "address space");
    if (limits.openFiles != 0)
        set(RLIMIT_NOFILE, limits.openFiles, limits.openFiles, "open files");
    if (limits.cpuSeconds != 0)
        gLimitCPUFromNow(static_cast<unsigned int>(limits.cpuSeconds));
}

void gLimitCPUFromNow(unsigned int seconds) {
    rlimit value{};
    if (::getrlimit(RLIMIT_CPU, &value) != 0)
        fail("Cannot read the CPU time limit", errno);
    rlim_t soft = RLIM_INFINITY;
    if (seconds != 0) {
        rusage used{};
        ::getrusage(RUSAGE_SELF, &used);
        soft = static_cast<rlim_t>(used.ru_utime.tv_sec + used.ru_stime.tv_sec) + seconds + 1;
    }
    if (value.rlim_max != RLIM_INFINITY && (soft == RLIM_INFINITY || soft > value.rlim_max))
        soft = value.rlim_max;
    value.rlim_cur = soft;
    if (::setrlimit(RLIMIT_CPU, &value) != 0)
        fail("Cannot limit the CPU time", errno);
}

void gTakeIdentity(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
    if (::geteuid() == 0 && ::setgroups(groups.size(), groups.data()) != 0)
        fail("Cannot take the supplementary groups", errno);
    if (::setresgid(gid, gid, gid) != 0)
        fail("Cannot take group id " + std::to_string(gid), errno);
    if (::setresuid(uid, uid, uid) != 0)
        fail("Cannot take user id " + std::to_string(uid), errno);
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        fail("Cannot give up gaining rights", errno);
    const std::string problem = gCheckIdentity(uid, gid, groups);
    if (!problem.empty())
        fail("The identity was not taken for good: " + problem, 0);
}

std::string gCheckIdentity(uid_t uid, gid_t gid, const std::vector<gid_t>& groups) {
    uid_t ruid = 0, euid = 0, suid = 0;
    gid_t rgid = 0, egid = 0, sgid = 0;
    if (::getresuid(&ruid, &euid, &suid) != 0 || ::getresgid(&rgid, &egid, &sgid) != 0)
        return "the ids cannot be read";
    if (ruid != uid || euid != uid || suid != uid)
        return "user ids " + std::to_string(ruid) + "/" + std::to_string(euid) + "/" +
               std::to_string(suid) + " instead of " + std::to_string(uid);
    if (rgid != gid || egid != gid || sgid != gid)
        return "group ids " + std::to_string(rgid) + "/" + std::to_string(egid) + "/" +
               std::to_string(sgid) + " instead of " + std::to_string(gid);
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> held(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0 && ::getgroups(count, held.data()) != count)
        return "the supplementary groups cannot be read";
    std::vector<gid_t> wanted = groups;
    std::sort(held.begin(), held.end());
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    held.erase(std::unique(held.begin(), held.end()), held.end());
    if (held != wanted)
        return "other supplementary groups than the account's";
    if (uid == 0)
        return std::string();
    // The system calls themselves, so that each asks the kernel for this thread (the only one).
    if (::syscall(SYS_setresuid, 0, 0, 0) == 0 || ::syscall(SYS_setuid, 0) == 0)
        return "user 0 could be taken back";
    if (gid != 0 && (::syscall(SYS_setresgid, 0, 0, 0) == 0 || ::syscall(SYS_setgid, 0) == 0))
        return "group 0 could be taken back";
    const gid_t rootGroup = 0;
    if (::syscall(SYS_setgroups, 1, &rootGroup) == 0)
        return "the supplementary groups could be changed";
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return "the capabilities cannot be read";
    for (const auto& word : data)
        if (word.effective != 0 || word.permitted != 0)
            return "capabilities are still held";
    if (::prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1)
        return "rights could still be gained by running a program";
    return std::string();
}

} // namespace vorngui
