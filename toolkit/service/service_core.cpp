// service_core: ring versions, their check results and the clients of orxsdkd.
#include "service_core.h"

#include "keystore_internal.h"

#include <zaf/zafcontext.h>
#include <zaf/zafkeys.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orxsdkd {

using zaf::svc::CheckResults;

namespace {

// Rings above this size are not read (the key store refuses them as well).
constexpr off_t kMaxRingBytes = off_t(512) << 20;
constexpr size_t kEntryOverhead = 256;

size_t entryBytes(const std::string& version, const CheckResults& results) {
    return kEntryOverhead + version.size() + results.size() * sizeof(results[0]);
}

// Copies a ring from the client's descriptor into a memory file of this process, so the key
// store reads it by a path of ours, without the service ever opening the user's file itself.
int copyToMemoryFile(int fd, off_t size) {
    int mem = memfd_create("orxsdkd-ring", MFD_CLOEXEC);
    if (mem < 0)
        return -1;
    std::vector<char> buffer(size_t(1) << 20);
    off_t offset = 0;
    while (offset < size) {
        ssize_t n =
            pread(fd, buffer.data(), std::min(buffer.size(), size_t(size - offset)), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // the file shrank: what was read is what gets verified
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(mem, buffer.data() + done, size_t(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                close(mem);
                return -1;
            }
            done += w;
        }
        offset += n;
    }
    return mem;
}

} // namespace

Log::Log(std::string path) : m_path(std::move(path)) { reopen(); }

Log::~Log() {
    if (m_file != nullptr && m_file != stderr)
        fclose(m_file);
}

void Log::reopen() {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_path.empty()) {
        m_file = stderr;
        return;
    }
    FILE* next = fopen(m_path.c_str(), "ae");
    if (next == nullptr)
        return; // keep writing where we were
    if (m_file != nullptr && m_file != stderr)
        fclose(m_file);
    m_file = next;
}

void Log::write(const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    char stamp[32];
    time_t now = time(nullptr);
    tm utc{};
    gmtime_r(&now, &utc);
    strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_file == nullptr)
        return;
    fprintf(m_file, "%s orxsdkd[%d]: %s\n", stamp, int(getpid()), text);
    fflush(m_file);
}

std::string versionKey(const std::vector<int>& fds) {
    std::string key;
    for (int fd : fds) {
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxRingBytes)
            return {};
        // A descriptor opened for writing only, or with O_PATH (which needs no read access to
        // the file), proves nothing about reading it.
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || (flags & O_PATH) != 0 ||
            ((flags & O_ACCMODE) != O_RDONLY && (flags & O_ACCMODE) != O_RDWR))
            return {};
        char part[160];
        snprintf(
            part, sizeof part, "%llx:%llx:%llx:%lld.%09ld:%lld.%09ld;",
            static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
            static_cast<unsigned long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
            st.st_mtim.tv_nsec, static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
        key += part;
    }
    return key;
}

VersionCache::Hit VersionCache::find(const std::string& version, bool pin) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_byVersion.find(version);
    if (it == m_byVersion.end())
        return {};
    m_lru.splice(m_lru.begin(), m_lru, it->second);
    if (pin)
        ++it->second->pins;
    return {it->second->id, it->second->results};
}

void VersionCache::evictFor(size_t bytes) {
    for (auto it = m_lru.end(); m_used + bytes > m_budget && it != m_lru.begin();) {
        --it;
        if (it->pins != 0)
            continue;
        m_used -= it->bytes;
        m_byVersion.erase(it->version);
        m_byId.erase(it->id);
        it = m_lru.erase(it);
    }
}

uint64_t VersionCache::insert(const std::string& version,
                              std::shared_ptr<const CheckResults> results, bool pin) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto existing = m_byVersion.find(version);
    if (existing != m_byVersion.end()) { // verified twice at once: the first one stays
        if (pin)
            ++existing->second->pins;
        return existing->second->id;
    }
    const size_t bytes = entryBytes(version, *results);
    size_t pinned = 0;
    for (const Entry& e : m_lru)
        pinned += e.pins != 0 ? e.bytes : 0;
    if (pinned + bytes > m_budget)
        return 0; // no room even with every unpinned version gone: keep those
    evictFor(bytes);
    if (m_used + bytes > m_budget)
        return 0;
    m_lru.push_front(Entry{m_nextId++, version, std::move(results), bytes, pin ? 1u : 0u});
    m_byVersion[version] = m_lru.begin();
    m_byId[m_lru.front().id] = m_lru.begin();
    m_used += bytes;
    return m_lru.front().id;
}

void VersionCache::unpin(uint64_t id) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_byId.find(id);
    if (it != m_byId.end() && it->second->pins > 0)
        --it->second->pins;
    evictFor(0);
}

size_t VersionCache::bytes() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_used;
}

size_t VersionCache::entries() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_lru.size();
}

std::shared_ptr<const CheckResults> verifyRings(const std::vector<int>& fds) {
    std::vector<int> copies;
    auto closeCopies = [&] {
        for (int fd : copies)
            close(fd);
    };
    for (int fd : fds) {
        struct stat st {};
        int mem = fstat(fd, &st) == 0 ? copyToMemoryFile(fd, st.st_size) : -1;
        if (mem < 0) {
            closeCopies();
            return nullptr;
        }
        copies.push_back(mem);
    }
    ZAFContextRef context = nullptr;
    if (ZAFNewContext(&context) != kZAFError_NoErr) {
        closeCopies();
        return nullptr;
    }
    std::vector<ZAFFileSpecRef> specs;
    for (int fd : copies) {
        std::string path = "/proc/self/fd/" + std::to_string(fd);
        ZAFFileSpecRef spec = nullptr;
        if (ZAFNewFileSpecFromFullPath(context, path.c_str(), &spec) == kZAFError_NoErr)
            specs.push_back(spec);
    }
    auto results = std::make_shared<CheckResults>();
    ZAFKeyDBRef db = nullptr;
    bool ok = false;
    if (specs.size() == copies.size()) {
        zaf::setCheckRecorder(results.get());
        if (ZAFOpenKeyDBFile(context, 0, specs[0], specs.size() > 1 ? specs[1] : nullptr, &db) ==
            kZAFError_NoErr) {
            ok = ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db) == kZAFError_NoErr;
            ZAFFreeKeyDB(db);
        }
        zaf::setCheckRecorder(nullptr);
    }
    for (ZAFFileSpecRef spec : specs)
        ZAFFreeFileSpec(spec);
    ZAFFreeContext(context);
    closeCopies();
    if (!ok)
        return nullptr;
    auto less = [](const auto& a, const auto& b) { return a.first < b.first; };
    auto same = [](const auto& a, const auto& b) { return a.first == b.first; };
    std::sort(results->begin(), results->end(), less);
    results->erase(std::unique(results->begin(), results->end(), same), results->end());
    if (results->size() > zaf::svc::kMaxResults)
        results->resize(zaf::svc::kMaxResults);
    return results;
}

struct Server::Connection {
    int fd = -1;
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    std::map<uint64_t, unsigned> pins;
    std::thread thread;
    std::atomic<bool> done{false};
};

Server::Server(int listenSocket, const Limits& limits, Log& log)
    : m_listen(listenSocket), m_limits(limits), m_log(log), m_cache(limits.memoryBudget) {}

Server::~Server() {
    stopConnections();
    reap(true);
}

void Server::run(int wakeFd) {
    for (;;) {
        pollfd waits[2] = {{m_listen, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int rc = poll(waits, 2, 1000);
        reap(false);
        if (rc < 0 && errno != EINTR)
            return;
        if (rc <= 0)
            continue;
        if (waits[1].revents != 0)
            return;
        if ((waits[0].revents & POLLIN) == 0)
            continue;
        int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        auto c = std::make_shared<Connection>();
        c->fd = fd;
        ucred cred{};
        socklen_t length = sizeof cred;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0) {
            c->pid = cred.pid;
            c->uid = cred.uid;
            c->gid = cred.gid;
        }
        std::lock_guard<std::mutex> hold(m_connLock);
        if (m_connections.size() >= m_limits.maxConnections) {
            m_log.write("refused connection from pid %d uid %u gid %u: %u connections open",
                        int(c->pid), unsigned(c->uid), unsigned(c->gid),
                        unsigned(m_connections.size()));
            close(fd);
            continue;
        }
        m_log.write("connection from pid %d uid %u gid %u", int(c->pid), unsigned(c->uid),
                    unsigned(c->gid));
        m_connections.push_back(c);
        c->thread = std::thread([this, c] { serve(c); });
    }
}

void Server::stopConnections() {
    std::lock_guard<std::mutex> hold(m_connLock);
    for (auto& c : m_connections)
        shutdown(c->fd, SHUT_RDWR);
}

void Server::reap(bool all) {
    std::list<std::shared_ptr<Connection>> finished;
    {
        std::lock_guard<std::mutex> hold(m_connLock);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if (all || (*it)->done) {
                finished.push_back(*it);
                it = m_connections.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& c : finished)
        if (c->thread.joinable())
            c->thread.join();
}

void Server::serve(const std::shared_ptr<Connection>& c) {
    for (;;) {
        zaf::svc::Header header;
        std::string body;
        std::vector<int> fds;
        bool idle = false;
        bool ok = zaf::svc::receiveMessage(c->fd, zaf::svc::kMaxRequestBody, m_limits.idleTimeoutMs,
                                           header, body, fds, &idle);
        if (!ok) {
            for (int fd : fds)
                close(fd);
            if (idle && !c->pins.empty())
                continue; // a holder of pinned versions (orxcache) may stay silent
            if (idle)
                m_log.write("closing idle connection of pid %d uid %u", int(c->pid),
                            unsigned(c->uid));
            break;
        }
        zaf::svc::Request request;
        if (!zaf::svc::parseRequest(header, reinterpret_cast<const uint8_t*>(body.data()),
                                    body.size(), int(fds.size()), request)) {
            m_log.write("malformed request from pid %d uid %u; closing", int(c->pid),
                        unsigned(c->uid));
            for (int fd : fds)
                close(fd);
            break;
        }
        bool sent = true;
        if (request.type == zaf::svc::kOpen) {
            handleOpen(*c, request, fds);
            sent = c->fd >= 0;
        } else {
            auto it = c->pins.find(request.entry);
            if (it != c->pins.end()) { // only what this connection pinned
                m_cache.unpin(request.entry);
                if (--it->second == 0)
                    c->pins.erase(it);
            }
            sent = zaf::svc::sendMessage(c->fd, zaf::svc::kReleaseReply,
                                         std::string(1, char(zaf::svc::kStatusOk)));
        }
        for (int fd : fds)
            close(fd);
        if (!sent)
            break;
    }
    for (const auto& pin : c->pins)
        for (unsigned i = 0; i < pin.second; ++i)
            m_cache.unpin(pin.first);
    c->pins.clear();
    close(c->fd);
    c->done = true;
}

void Server::handleOpen(Connection& c, const zaf::svc::Request& request, std::vector<int>& fds) {
    auto reply = [&](uint8_t status, uint64_t id, const CheckResults& results) {
        if (!zaf::svc::sendMessage(c.fd, zaf::svc::kOpenReply,
                                   zaf::svc::encodeOpenReply(status, id, results))) {
            if (id != 0 && request.pin)
                m_cache.unpin(id);
            shutdown(c.fd, SHUT_RDWR);
            return;
        }
        if (id != 0 && request.pin)
            ++c.pins[id];
    };
    const std::string version = versionKey(fds);
    if (version.empty()) {
        m_log.write("pid %d uid %u passed a descriptor that is not a readable regular file",
                    int(c.pid), unsigned(c.uid));
        reply(zaf::svc::kStatusBadRequest, 0, {});
        return;
    }
    VersionCache::Hit hit = m_cache.find(version, request.pin);
    if (hit.id == 0) {
        std::lock_guard<std::mutex> one(m_verifyLock);
        hit = m_cache.find(version, request.pin); // verified meanwhile by another client
        if (hit.id == 0) {
            auto results = verifyRings(fds);
            if (results == nullptr) {
                m_log.write("pid %d uid %u: rings %s could not be read", int(c.pid),
                            unsigned(c.uid), version.c_str());
                reply(zaf::svc::kStatusUnreadable, 0, {});
                return;
            }
            uint64_t id = m_cache.insert(version, results, request.pin);
            m_log.write("pid %d uid %u: rings %s verified, %zu results%s", int(c.pid),
                        unsigned(c.uid), version.c_str(), results->size(),
                        id == 0 ? " (over the memory budget, not kept)" : "");
            reply(id == 0 ? zaf::svc::kStatusBusy : zaf::svc::kStatusOk, id, *results);
            return;
        }
    }
    m_log.write("pid %d uid %u: rings %s served from the cache (%zu results)", int(c.pid),
                unsigned(c.uid), version.c_str(), hit.results->size());
    reply(zaf::svc::kStatusOk, hit.id, *hit.results);
}

} // namespace orxsdkd
