// service_core: the cache of ring versions and the connection handling of orxsdkd.
#ifndef ORX_SERVICE_CORE_H
#define ORX_SERVICE_CORE_H

#include "service_protocol.h"

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace orxsdkd {

struct Limits {
    size_t memoryBudget = size_t(256) << 20; // bytes of cached results
    unsigned maxConnections = 64;
    int idleTimeoutMs = 300000; // a connection without pinned versions, silent this long, goes
};

// The service's log: one line per event with a UTC time stamp. reopen() follows a rotated file.
class Log {
public:
    explicit Log(std::string path); // empty: standard error
    ~Log();
    void reopen();
    void write(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    std::mutex m_lock;
    std::string m_path;
    FILE* m_file = nullptr;
};

// What a ring version is: device, inode, size, modification and change time of each ring.
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

// Verifies what the rings behind `fds` hold (every self-signature deciding a key's state and
// every certification a trust calculation checks) and returns the results. Null when the rings
// cannot be read or parsed.
std::shared_ptr<const zaf::svc::CheckResults> verifyRings(const std::vector<int>& fds);

class Server {
public:
    Server(int listenSocket, const Limits& limits, Log& log);
    ~Server();
    // Serves until stop() (from another thread or a signal handler's thread).
    void run(int wakeFd);
    void stopConnections();
    VersionCache& cache() { return m_cache; }

private:
    struct Connection;
    void serve(const std::shared_ptr<Connection>& c);
    void handleOpen(Connection& c, const zaf::svc::Request& request, std::vector<int>& fds);
    void reap(bool all);

    int m_listen;
    Limits m_limits;
    Log& m_log;
    VersionCache m_cache;
    std::mutex m_verifyLock; // one verification at a time: it uses every core already
    std::mutex m_connLock;
    std::list<std::shared_ptr<Connection>> m_connections;
};

} // namespace orxsdkd

#endif
