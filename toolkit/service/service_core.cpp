// service_core: ring versions, their check results, the work queues and the clients of orxsdkd.
#include "service_core.h"

#include "keystore/keystore.h"

#include <zaf/zafcontext.h>
#include <zaf/zafkeys.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <orx/userfile.h>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace orxsdkd {

using zaf::svc::CheckResults;

namespace {

constexpr size_t kEntryOverhead = 256;
// The descriptors of the verifying process.
constexpr int kChildRingFd = 3;
constexpr int kChildResultFd = 4;
// Beside the ring it reads, what a verifying process may map: the libraries, the build threads'
// stacks and heaps, and the parsed keys (several times the ring's bytes).
constexpr uint64_t kChildBaseAddressSpace = uint64_t(2) << 30;
constexpr uint64_t kChildBytesPerRingByte = 8;
// The sanitizers' shadow memory is terabytes of address space: their builds leave it unbounded.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kLimitAddressSpace = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kLimitAddressSpace = false;
#else
constexpr bool kLimitAddressSpace = true;
#endif
#else
constexpr bool kLimitAddressSpace = true;
#endif

size_t entryBytes(const std::string& version, const CheckResults& results) {
    return kEntryOverhead + version.size() + results.size() * sizeof(results[0]);
}

bool writeAll(int fd, const void* data, size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd, p, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

} // namespace

struct Job {
    std::string version;
    uid_t account = 0;
    int ringFd = -1; // the service's own duplicate of the client's descriptor
    size_t ringBytes = 0;
    enum class State { Queued, Running, Done } state = State::Queued;
    pid_t child = -1;
    unsigned waiters = 1;
    // Written once the job is done; stays readable for every waiter.
    int doneEvent = -1;
    std::shared_ptr<const CheckResults> results; // null: unreadable, ended or dropped
    bool timedOut = false;

    ~Job() {
        if (ringFd >= 0)
            close(ringFd);
        if (doneEvent >= 0)
            close(doneEvent);
    }
};

// ---- the log and the pid file ----

FILE* openOwnFile(const std::string& path, bool append, std::string& why) {
    orxfile::UserFile file;
    orxfile::Rules rules;
    rules.owner = static_cast<long long>(geteuid());
    const int flags = O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
    const orxfile::Problem problem = file.open(path, flags, rules, 0600);
    if (problem != orxfile::Problem::None) {
        why = path + " " + file.explain(problem);
        return nullptr;
    }
    FILE* stream = fdopen(file.fd(), append ? "ae" : "we");
    if (stream == nullptr) {
        why = path + ": " + std::strerror(errno);
        return nullptr;
    }
    file.release();
    return stream;
}

Log::~Log() {
    if (m_file != nullptr && m_file != stderr)
        fclose(m_file);
}

bool Log::open(const std::string& path, std::string& why) {
    m_path = path;
    // A daemon moves to "/": a relative name keeps counting from where it started.
    if (!m_path.empty() && m_path[0] != '/') {
        char here[4096];
        if (getcwd(here, sizeof here) != nullptr)
            m_path = std::string(here) + "/" + m_path;
    }
    return reopen(why);
}

bool Log::reopen(std::string& why) {
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_path.empty()) {
        m_file = stderr;
        return true;
    }
    FILE* next = openOwnFile(m_path, true, why);
    if (next == nullptr)
        return false; // keep writing where we were
    if (m_file != nullptr && m_file != stderr)
        fclose(m_file);
    m_file = next;
    return true;
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

// ---- ring versions and the cache ----

std::string versionKey(const std::vector<int>& fds) {
    std::string key;
    for (int fd : fds) {
        struct stat st {};
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
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

// ---- the verifying process ----

std::shared_ptr<const CheckResults> verifyRing(int fd) {
    ZAFContextRef context = nullptr;
    if (ZAFNewContext(&context) != kZAFError_NoErr)
        return nullptr;
    auto results = std::make_shared<CheckResults>();
    ZAFKeyDBRef db = nullptr;
    bool ok = false;
    zaf::setCheckRecorder(results.get());
    if (zaf::openKeyDBFromDescriptor(context, fd, &db) == kZAFError_NoErr) {
        ok = ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db) == kZAFError_NoErr;
        ZAFFreeKeyDB(db);
    }
    zaf::setCheckRecorder(nullptr);
    ZAFFreeContext(context);
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

int verifyProcessMain(int argc, char** argv) {
    if (argc != 4)
        return 2;
    char* end = nullptr;
    const unsigned long long space = std::strtoull(argv[2], &end, 10);
    if (*end != '\0')
        return 2;
    const unsigned long long cpu = std::strtoull(argv[3], &end, 10);
    if (*end != '\0')
        return 2;
    const rlimit spaceLimit{rlim_t(space), rlim_t(space)};
    const rlimit cpuLimit{rlim_t(cpu), rlim_t(cpu)};
    const rlimit none{0, 0};
    if (kLimitAddressSpace && setrlimit(RLIMIT_AS, &spaceLimit) != 0)
        return 2;
    if (setrlimit(RLIMIT_CPU, &cpuLimit) != 0 || setrlimit(RLIMIT_CORE, &none) != 0)
        return 2;
    if (ZAFsdkInit(kZAFFlags_LocalMode) != kZAFError_NoErr)
        return 2;
    auto results = verifyRing(kChildRingFd);
    ZAFsdkCleanup();
    if (results == nullptr)
        return 1;
    std::string out;
    out.reserve(4 + results->size() * 17);
    const uint32_t count = uint32_t(results->size());
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(char(uint8_t(count >> shift)));
    for (const auto& r : *results) {
        out.append(reinterpret_cast<const char*>(r.first.data()), r.first.size());
        out.push_back(r.second ? '\1' : '\0');
    }
    return writeAll(kChildResultFd, out.data(), out.size()) ? 0 : 2;
}

// ---- the server ----

struct Server::Connection {
    int fd = -1;
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    std::map<uint64_t, unsigned> pins;
    bool closing = false; // the connection ends after the request at hand (its thread only)
    std::thread thread;
    std::atomic<bool> done{false};
};

Server::Server(int listenSocket, const Limits& limits, Log& log)
    : m_listen(listenSocket), m_limits(limits), m_log(log), m_cache(limits.memoryBudget) {
    for (unsigned i = 0; i < std::max(1u, m_limits.workers); ++i)
        m_workers.emplace_back([this] { work(); });
}

Server::~Server() {
    stopConnections();
    reap(true);
    {
        std::lock_guard<std::mutex> hold(m_jobLock);
        m_stopping = true;
        for (auto& entry : m_jobs)
            if (entry.second->child > 0)
                kill(entry.second->child, SIGKILL);
    }
    m_jobReady.notify_all();
    for (std::thread& t : m_workers)
        t.join();
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
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) {
            close(fd);
            continue;
        }
        c->pid = cred.pid;
        c->uid = cred.uid;
        c->gid = cred.gid;
        std::lock_guard<std::mutex> hold(m_connLock);
        const size_t mine = size_t(std::count_if(
            m_connections.begin(), m_connections.end(),
            [&](const std::shared_ptr<Connection>& other) { return other->uid == c->uid; }));
        if (m_connections.size() >= m_limits.maxConnections ||
            (c->uid != 0 && mine >= m_limits.maxUserConnections)) {
            m_log.write("refused connection from pid %d uid %u gid %u: %u connections open, %u "
                        "of this user",
                        int(c->pid), unsigned(c->uid), unsigned(c->gid),
                        unsigned(m_connections.size()), unsigned(mine));
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
            if (idle)
                m_log.write("closing idle connection of pid %d uid %u (%zu pinned versions)",
                            int(c->pid), unsigned(c->uid), c->pins.size());
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
            sent = !c->closing;
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
            c.closing = true;
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
    if (hit.id != 0) {
        m_log.write("pid %d uid %u: ring %s served from the cache (%zu results)", int(c.pid),
                    unsigned(c.uid), version.c_str(), hit.results->size());
        reply(zaf::svc::kStatusOk, hit.id, *hit.results);
        return;
    }
    struct stat st {};
    fstat(fds[0], &st);
    const size_t bytes = size_t(st.st_size);
    if (bytes > m_limits.memoryBudget) {
        // Not read at all: the client reads it itself.
        m_log.write("pid %d uid %u: ring %s of %zu bytes is over the memory budget; not read",
                    int(c.pid), unsigned(c.uid), version.c_str(), bytes);
        reply(zaf::svc::kStatusBusy, 0, {});
        return;
    }
    // Work is queued per account: the client's own, or for root's clients (the listener acting
    // for its users) the account that owns the ring.
    const uid_t account = c.uid == 0 ? st.st_uid : c.uid;
    std::shared_ptr<Job> job = submit(version, fds[0], bytes, account);
    if (job == nullptr) {
        reply(zaf::svc::kStatusBusy, 0, {});
        return;
    }
    // Wait for the job, and for the client: one that leaves takes its work with it.
    pollfd waits[2] = {{c.fd, POLLRDHUP, 0}, {job->doneEvent, POLLIN, 0}};
    for (;;) {
        const int rc = poll(waits, 2, -1);
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc < 0 || waits[1].revents != 0)
            break;
        if (waits[0].revents != 0) {
            const bool dropped = withdraw(job);
            m_log.write("pid %d uid %u left before ring %s was verified%s", int(c.pid),
                        unsigned(c.uid), version.c_str(),
                        dropped ? "; its work is dropped" : " (others still wait for it)");
            c.closing = true;
            return;
        }
    }
    std::shared_ptr<const CheckResults> results;
    bool timedOut = false;
    {
        std::lock_guard<std::mutex> hold(m_jobLock);
        results = job->results;
        timedOut = job->timedOut;
    }
    if (results == nullptr) {
        m_log.write("pid %d uid %u: ring %s %s", int(c.pid), unsigned(c.uid), version.c_str(),
                    timedOut ? "took too long to verify; ended" : "could not be read");
        reply(timedOut ? zaf::svc::kStatusBusy : zaf::svc::kStatusUnreadable, 0, {});
        return;
    }
    hit = m_cache.find(version, request.pin);
    m_log.write("pid %d uid %u: ring %s verified, %zu results%s", int(c.pid), unsigned(c.uid),
                version.c_str(), results->size(),
                hit.id == 0 ? " (over the memory budget, not kept)" : "");
    reply(hit.id == 0 ? zaf::svc::kStatusBusy : zaf::svc::kStatusOk, hit.id, *results);
}

std::shared_ptr<Job> Server::submit(const std::string& version, int fd, off_t bytes,
                                    uid_t account) {
    std::lock_guard<std::mutex> hold(m_jobLock);
    if (m_stopping)
        return nullptr;
    auto known = m_jobs.find(version);
    if (known != m_jobs.end()) { // already queued or running for another client
        ++known->second->waiters;
        return known->second;
    }
    auto job = std::make_shared<Job>();
    job->version = version;
    job->account = account;
    job->ringBytes = size_t(bytes);
    job->ringFd = fcntl(fd, F_DUPFD_CLOEXEC, 10);
    job->doneEvent = eventfd(0, EFD_CLOEXEC);
    if (job->ringFd < 0 || job->doneEvent < 0)
        return nullptr;
    m_queues[account].push_back(job);
    m_jobs[version] = job;
    m_jobReady.notify_one();
    return job;
}

bool Server::withdraw(const std::shared_ptr<Job>& job) {
    std::lock_guard<std::mutex> hold(m_jobLock);
    if (--job->waiters != 0)
        return false;
    if (job->state == Job::State::Done)
        return true;
    if (job->state == Job::State::Running) {
        if (job->child > 0)
            kill(job->child, SIGKILL); // the worker reaps it and finishes the job
        return true;
    }
    auto queue = m_queues.find(job->account);
    if (queue != m_queues.end()) {
        auto& jobs = queue->second;
        jobs.erase(std::remove(jobs.begin(), jobs.end(), job), jobs.end());
        if (jobs.empty()) {
            m_queues.erase(queue);
            if (m_busy.count(job->account) == 0)
                m_lastServed.erase(job->account);
        }
    }
    m_jobs.erase(job->version);
    job->state = Job::State::Done;
    return true;
}

void Server::work() {
    std::unique_lock<std::mutex> hold(m_jobLock);
    for (;;) {
        // The account served least recently among those with queued work and none running,
        // whose next ring fits the memory budget beside the running ones (a ring always runs
        // when nothing else does).
        auto next = m_queues.end();
        uint64_t nextServed = 0;
        for (auto queue = m_queues.begin(); queue != m_queues.end(); ++queue) {
            if (m_busy.count(queue->first) != 0)
                continue;
            if (!m_busy.empty() &&
                m_runningBytes + queue->second.front()->ringBytes > m_limits.memoryBudget)
                continue;
            auto served = m_lastServed.find(queue->first);
            const uint64_t when = served == m_lastServed.end() ? 0 : served->second;
            if (next == m_queues.end() || when < nextServed) {
                next = queue;
                nextServed = when;
            }
        }
        if (next == m_queues.end()) {
            if (m_stopping)
                return;
            m_jobReady.wait(hold);
            continue;
        }
        std::shared_ptr<Job> job = next->second.front();
        next->second.pop_front();
        if (next->second.empty())
            m_queues.erase(next);
        m_busy.insert(job->account);
        m_lastServed[job->account] = ++m_serial;
        m_runningBytes += job->ringBytes;
        job->state = Job::State::Running;
        hold.unlock();
        runJob(*job);
        hold.lock();
        m_busy.erase(job->account);
        if (m_queues.count(job->account) == 0)
            m_lastServed.erase(job->account);
        m_runningBytes -= job->ringBytes;
        m_jobs.erase(job->version);
        job->state = Job::State::Done;
        const uint64_t one = 1;
        if (::write(job->doneEvent, &one, sizeof one) != ssize_t(sizeof one))
            m_log.write("cannot signal the end of a verification");
        m_jobReady.notify_all();
    }
}

void Server::runJob(Job& job) {
    // Descriptors for the new process: the ring and the write end of the result pipe, above the
    // numbers they take there, so that the moves below never meet them.
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return;
    const int reader = pipeFds[0];
    const int writer = fcntl(pipeFds[1], F_DUPFD_CLOEXEC, 10);
    close(pipeFds[1]);
    if (writer < 0) {
        close(reader);
        return;
    }
    const std::string space =
        std::to_string(kChildBaseAddressSpace + kChildBytesPerRingByte * uint64_t(job.ringBytes));
    const std::string cpu = std::to_string(m_limits.verifyLimitMs / 1000 + 1);
    char name[] = "orxsdkd";
    char mode[] = "--verify-ring";
    char* argv[] = {name, mode, const_cast<char*>(space.c_str()), const_cast<char*>(cpu.c_str()),
                    nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, job.ringFd, kChildRingFd);
    posix_spawn_file_actions_adddup2(&actions, writer, kChildResultFd);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGTERM, SIGINT, SIGHUP})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, "/proc/self/exe", &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(writer);
    if (spawned != 0) {
        close(reader);
        m_log.write("cannot start a verifying process: %s", std::strerror(spawned));
        return;
    }
    {
        std::lock_guard<std::mutex> hold(m_jobLock);
        job.child = child;
        if (job.waiters == 0) // every client left while it started
            kill(child, SIGKILL);
    }
    m_log.write("verifying ring %s for uid %u in process %d", job.version.c_str(),
                unsigned(job.account), int(child));
    // Read what it writes, bounded in size and time.
    std::string out;
    const size_t most = 4 + size_t(zaf::svc::kMaxResults) * 17;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(m_limits.verifyLimitMs);
    bool timedOut = false;
    char buffer[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{reader, POLLIN, 0};
        const int rc = left > 0 ? poll(&p, 1, int(left)) : 0;
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc == 0) {
            timedOut = true;
            kill(child, SIGKILL);
            break;
        }
        const ssize_t n = read(reader, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (out.size() + size_t(n) > most) {
            kill(child, SIGKILL);
            out.clear();
            break;
        }
        out.append(buffer, size_t(n));
    }
    close(reader);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::shared_ptr<CheckResults> results;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && out.size() >= 4) {
        uint32_t count = 0;
        for (int i = 0; i < 4; ++i)
            count = (count << 8) | uint8_t(out[size_t(i)]);
        if (count <= zaf::svc::kMaxResults && out.size() == 4 + size_t(count) * 17) {
            results = std::make_shared<CheckResults>(count);
            const char* p = out.data() + 4;
            for (auto& r : *results) {
                std::memcpy(r.first.data(), p, r.first.size());
                r.second = p[16] == 1;
                p += 17;
            }
        }
    }
    if (results != nullptr)
        m_cache.insert(job.version, results, false);
    std::lock_guard<std::mutex> hold(m_jobLock);
    job.child = -1;
    job.results = results;
    job.timedOut = timedOut;
}

} // namespace orxsdkd
