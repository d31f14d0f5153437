// service_core: the cache of ring versions, the per-account work queues and the connection
// handling of orxsdkd.
#ifndef ORX_SERVICE_CORE_H
#define ORX_SERVICE_CORE_H

#include "service/service.h"

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/types.h>
#include <thread>
#include <unordered_map>
#include <vector>

namespace orxsdkd {

struct Limits {
    // Bytes of cached results; also the most ring bytes read at once by the verifying
    // processes (a larger ring is not read at all).
    size_t memoryBudget = size_t(256) << 20;
    unsigned maxConnections = 64;
    // Connections of one account (root's are bounded by maxConnections alone: they come from
    // the listener's sessions, which act for many users).
    unsigned maxUserConnections = 8;
    // A connection silent this long is closed, also one that holds pinned versions (its client
    // connects anew when it needs the service again).
    int idleTimeoutMs = 300000;
    // Verifying processes at once; each account has at most one of them.
    unsigned workers = 2;
    // A verification running longer than this is ended.
    int verifyLimitMs = 60000;
};

// The service's log: one line per event with a UTC time stamp. The file is opened for appending
// without following a link and must be a regular file of the service's own account; reopen()
// follows a rotated file (a refused new file keeps the old one).
class Log {
public:
    Log() = default;
    ~Log();
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;
    // Empty path: standard error. False (with the reason) when the file is refused.
    bool open(const std::string& path, std::string& why);
    bool reopen(std::string& why);
    void write(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    std::mutex m_lock;
    std::string m_path;
    FILE* m_file = nullptr;
};

// Opens a file the service writes (its log, appended to; its pid file, emptied): created when
// missing, never through a link, and a regular file of the service's own account. Null with the
// reason otherwise.
FILE* openOwnFile(const std::string& path, bool append, std::string& why);

// What a ring version is: device, inode, size, modification and change time of the ring.
// Empty when a descriptor is not a readable regular file.
std::string versionKey(const std::vector<int>& fds);

// Check results per ring version, least recently used first out, pinned versions kept.
class VersionCache {
public:
    explicit VersionCache(size_t budget) : m_budget(budget) {}

    struct Hit {
        uint64_t id = 0; // 0: not cached
        std::shared_ptr<const zaf::svc::CheckResults> results;
    };
    Hit find(const std::string& version, bool pin);
    // Stores results; returns the new entry's id, 0 when it does not fit the budget beside the
    // pinned versions (nothing stored then).
    uint64_t insert(const std::string& version,
                    std::shared_ptr<const zaf::svc::CheckResults> results, bool pin);
    void unpin(uint64_t id);
    size_t bytes() const;
    size_t entries() const;

private:
    struct Entry {
        uint64_t id;
        std::string version;
        std::shared_ptr<const zaf::svc::CheckResults> results;
        size_t bytes;
        unsigned pins;
    };
    void evictFor(size_t bytes);

    mutable std::mutex m_lock;
    size_t m_budget;
    size_t m_used = 0;
    uint64_t m_nextId = 1;
    std::list<Entry> m_lru; // front: most recently used
    std::unordered_map<std::string, std::list<Entry>::iterator> m_byVersion;
    std::unordered_map<uint64_t, std::list<Entry>::iterator> m_byId;
};

// Verifies what the ring behind `fd` holds (every self-signature deciding a key's state and
// every certification a trust calculation checks) and returns the results, sorted, one per
// digest. Null when the ring cannot be read or parsed. Runs in the verifying process.
std::shared_ptr<const zaf::svc::CheckResults> verifyRing(int fd);

// The verifying process: `orxsdkd --verify-ring <address space bytes> <cpu seconds>` with the
// ring on descriptor 3 and the results written to descriptor 4 (a 4-byte count, then 17 bytes
// per result). Limits itself first. Its exit code.
int verifyProcessMain(int argc, char** argv);

// One verification: a ring version to verify, the account it is queued for, the clients that
// wait for it.
struct Job;

class Server {
public:
    Server(int listenSocket, const Limits& limits, Log& log);
    ~Server();
    // Serves until `wakeFd` becomes readable.
    void run(int wakeFd);
    void stopConnections();
    VersionCache& cache() { return m_cache; }

private:
    struct Connection;
    void serve(const std::shared_ptr<Connection>& c);
    void handleOpen(Connection& c, const zaf::svc::Request& request, std::vector<int>& fds);
    // The job verifying `version` (joined when one is queued or running, else queued for
    // `account`); null when the server stops.
    std::shared_ptr<Job> submit(const std::string& version, int fd, off_t bytes, uid_t account);
    // A waiter leaves: the last one drops a queued job and ends a running one (true then).
    bool withdraw(const std::shared_ptr<Job>& job);
    void work();
    void runJob(Job& job);
    void reap(bool all);

    int m_listen;
    Limits m_limits;
    Log& m_log;
    VersionCache m_cache;

    std::mutex m_connLock;
    std::list<std::shared_ptr<Connection>> m_connections;

    // Work queues, one per account, served round-robin by the workers: next is the account
    // with queued work and none running that was served least recently.
    std::mutex m_jobLock;
    std::condition_variable m_jobReady;
    std::map<uid_t, std::deque<std::shared_ptr<Job>>> m_queues; // only non-empty queues
    std::set<uid_t> m_busy;                                     // accounts with a running job
    std::map<uid_t, uint64_t> m_lastServed; // accounts with queued or running work
    uint64_t m_serial = 0;
    std::map<std::string, std::shared_ptr<Job>> m_jobs; // queued or running, by version
    size_t m_runningBytes = 0;
    bool m_stopping = false;
    std::vector<std::thread> m_workers;
};

} // namespace orxsdkd

#endif
