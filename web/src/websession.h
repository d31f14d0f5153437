// websession: the browser sessions of orxweb. Each session owns one logged-in listener
// connection, a random identifier (the cookie) and a CSRF token; it ends at logout, after an
// idle time or when its listener connection fails.
#ifndef VORNWEB_WEBSESSION_H
#define VORNWEB_WEBSESSION_H

#include "webkeys.h"

#include <adminclient.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vornweb {

using Clock = std::chrono::steady_clock;

// Lets one holder in at a time; others wait up to a limit. (A condition variable rather than a
// timed mutex: the thread checker cannot follow a timed mutex's clock-based lock.)
class CBusyGate {
public:
    // True when the caller now holds the gate; false when `limit` passed first.
    bool enter(Clock::duration limit) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_freed.wait_for(lock, limit, [this] { return !m_held; }))
            return false;
        m_held = true;
        return true;
    }
    void leave() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_held = false;
        }
        m_freed.notify_one();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_freed;
    bool m_held = false;
};

// Holds a gate for a scope once entered.
class CGateHold {
public:
    CGateHold(CBusyGate& gate, Clock::duration limit) : m_gate(gate), m_held(gate.enter(limit)) {}
    ~CGateHold() {
        if (m_held)
            m_gate.leave();
    }
    CGateHold(const CGateHold&) = delete;
    CGateHold& operator=(const CGateHold&) = delete;
    bool held() const { return m_held; }

private:
    CBusyGate& m_gate;
    const bool m_held;
};

// Bytes that all sessions together may hold for key files sent in pieces.
class CUploadBudget {
public:
    explicit CUploadBudget(size_t limit) : m_limit(limit) {}
    bool reserve(size_t bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (bytes > m_limit - m_used)
            return false;
        m_used += bytes;
        return true;
    }
    void release(size_t bytes) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_used -= std::min(bytes, m_used);
    }
    size_t used() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_used;
    }

private:
    const size_t m_limit;
    mutable std::mutex m_mutex;
    size_t m_used = 0;
};

// A key file the page sends in pieces and then has imported in pieces of whole keys. The bytes it
// holds count against an upload budget until the job ends.
struct SImportJob {
    SImportJob(CUploadBudget& from, size_t size) : budget(from), total(size) {}
    ~SImportJob() { budget.release(total); }
    SImportJob(const SImportJob&) = delete;
    SImportJob& operator=(const SImportJob&) = delete;

    CUploadBudget& budget;
    const size_t total;
    std::string bytes;
    // Once the file is whole: its pieces, the number of keys in each, the next one to import.
    std::vector<std::string> pieces;
    std::vector<size_t> keys;
    size_t next = 0;
    // The best import status so far (0 imported, 1 as X.509, 2 nothing new) and what the
    // listener left out.
    int best = 2;
    uint64_t droppedCertifications = 0;
    // The key list before the first piece (to tell what was added).
    std::shared_ptr<const CKeyList> before;
};

// One browser session. The listener connection is used by one request at a time: hold `busy`
// while using it.
class CWebSession {
public:
    CWebSession(std::string id, std::string csrf, std::string user,
                std::unique_ptr<vornadmin::CAdminConnection> connection, Clock::time_point now)
        : m_id(std::move(id)), m_csrf(std::move(csrf)), m_user(std::move(user)),
          m_connection(std::move(connection)), m_lastUse(now.time_since_epoch().count()) {}

    const std::string& id() const { return m_id; }
    const std::string& csrf() const { return m_csrf; }
    const std::string& user() const { return m_user; }
    // The listener connection; null for sessions made without one (tests of the store).
    vornadmin::CAdminConnection* connection() { return m_connection.get(); }

    CBusyGate& busy() { return m_busy; }
    void touch(Clock::time_point now) { m_lastUse = now.time_since_epoch().count(); }
    Clock::time_point lastUse() const { return Clock::time_point(Clock::duration(m_lastUse)); }
    // Requests running on the session; an idle sweep skips a session while it is not zero.
    std::atomic<int>& inUse() { return m_inUse; }
    // The key file being sent or imported; only touched while holding `busy`.
    std::unique_ptr<SImportJob>& importJob() { return m_import; }

private:
    const std::string m_id;
    const std::string m_csrf;
    const std::string m_user;
    std::unique_ptr<vornadmin::CAdminConnection> m_connection;
    CBusyGate m_busy;
    std::atomic<Clock::rep> m_lastUse;
    std::atomic<int> m_inUse{0};
    std::unique_ptr<SImportJob> m_import;
};

// What a look-up found: eReplaced when the session was ended for a newer one of its user.
enum class eLookup { eFound, eExpired, eReplaced, eUnknown };

// The sessions of one orxweb, shared by its request threads.
class CSessionStore {
public:
    // `clock` gives the current time (tests pass their own). One user has at most `perUser`
    // sessions (0: no limit of its own).
    CSessionStore(size_t maxSessions, Clock::duration idle,
                  std::function<Clock::time_point()> clock = &Clock::now, size_t perUser = 0);

    size_t maxSessions() const { return m_maxSessions; }
    size_t perUser() const { return m_perUser; }
    Clock::duration idle() const { return m_idle; }
    size_t size() const;
    // True when no further session may be made now.
    bool full() const;

    // Makes a session with a fresh identifier and CSRF token (32 random bytes each). A user who
    // already has perUser sessions loses the least recently used one that no request is using
    // (its identifier goes to `replaced`). Returns null when the store already holds
    // maxSessions sessions, or the user's are all in use (`userFull` tells which); the
    // connection is then closed.
    std::shared_ptr<CWebSession> create(const std::string& user,
                                        std::unique_ptr<vornadmin::CAdminConnection> connection,
                                        std::string* replaced = nullptr, bool* userFull = nullptr);
    // The session of `id`. A session idle for longer than the limit is ended here (eExpired);
    // `touch` counts the look-up as use.
    std::shared_ptr<CWebSession> find(const std::string& id, bool touch, eLookup* result = nullptr);
    // Ends a session (logout, failed connection). True when it existed.
    bool remove(const std::string& id, bool expired = false);
    // Ends every idle session that no request is using; returns how many ended.
    size_t sweep();
    // Ends every session.
    void clear();
    // The users that have sessions.
    std::vector<std::string> users() const;

private:
    bool idleAt(const CWebSession& session, Clock::time_point now) const;
    void rememberEnded(const std::string& id, eLookup why);

    const size_t m_maxSessions;
    const size_t m_perUser;
    const Clock::duration m_idle;
    const std::function<Clock::time_point()> m_clock;
    mutable std::mutex m_mutex;
    std::map<std::string, std::shared_ptr<CWebSession>> m_sessions;
    // Identifiers of sessions that ended by the idle limit or were replaced, newest last
    // (bounded), so that the page can say why it was logged out.
    std::deque<std::pair<std::string, eLookup>> m_ended;
};

// The session cookie's name (the "__Host-" prefix makes browsers insist on Secure, Path=/ and no
// Domain).
extern const char* const kSessionCookie;
// Set-Cookie values that set and clear the session cookie.
std::string gSessionCookie(const std::string& id);
std::string gClearedSessionCookie();

} // namespace vornweb

#endif
