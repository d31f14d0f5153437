// websession: the session store.
#include "websession.h"

#include "webhttp.h"

#include <algorithm>
#include <vector>

namespace vornweb {

namespace {
constexpr size_t kMaxRememberedExpired = 256;
}

const char* const kSessionCookie = "__Host-orxweb";

CSessionStore::CSessionStore(size_t maxSessions, Clock::duration idle,
                             std::function<Clock::time_point()> clock, size_t perUser)
    : m_maxSessions(maxSessions), m_perUser(perUser), m_idle(idle), m_clock(std::move(clock)) {}

size_t CSessionStore::size() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions.size();
}

bool CSessionStore::full() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sessions.size() >= m_maxSessions;
}

bool CSessionStore::idleAt(const CWebSession& session, Clock::time_point now) const {
    return now - session.lastUse() > m_idle;
}

void CSessionStore::rememberEnded(const std::string& id, eLookup why) {
    m_ended.emplace_back(id, why);
    if (m_ended.size() > kMaxRememberedExpired)
        m_ended.pop_front();
}

std::shared_ptr<CWebSession>
CSessionStore::create(const std::string& user,
                      std::unique_ptr<vornadmin::CAdminConnection> connection,
                      std::string* replaced, bool* userFull) {
    auto session = std::make_shared<CWebSession>(gRandomHex(32), gRandomHex(32), user,
                                                 std::move(connection), m_clock());
    std::shared_ptr<CWebSession> ended; // closed after the lock is released
    std::lock_guard<std::mutex> lock(m_mutex);
    if (userFull != nullptr)
        *userFull = false;
    if (m_perUser > 0) {
        size_t own = 0;
        auto oldest = m_sessions.end();
        for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
            if (it->second->user() != user)
                continue;
            ++own;
            if (it->second->inUse() == 0 &&
                (oldest == m_sessions.end() || it->second->lastUse() < oldest->second->lastUse()))
                oldest = it;
        }
        if (own >= m_perUser) {
            if (oldest == m_sessions.end()) {
                if (userFull != nullptr)
                    *userFull = true;
                return nullptr;
            }
            if (replaced != nullptr)
                *replaced = oldest->first;
            rememberEnded(oldest->first, eLookup::eReplaced);
            ended = oldest->second;
            m_sessions.erase(oldest);
        }
    }
    if (m_sessions.size() >= m_maxSessions)
        return nullptr;
    m_sessions.emplace(session->id(), session);
    return session;
}

std::shared_ptr<CWebSession> CSessionStore::find(const std::string& id, bool touch,
                                                 eLookup* result) {
    std::shared_ptr<CWebSession> found;
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_sessions.find(id);
    eLookup outcome = eLookup::eUnknown;
    if (it != m_sessions.end()) {
        const Clock::time_point now = m_clock();
        if (it->second->inUse() == 0 && idleAt(*it->second, now)) {
            rememberEnded(id, eLookup::eExpired);
            m_sessions.erase(it);
            outcome = eLookup::eExpired;
        } else {
            found = it->second;
            if (touch)
                found->touch(now);
            outcome = eLookup::eFound;
        }
    } else if (!id.empty()) {
        const auto ended = std::find_if(m_ended.begin(), m_ended.end(),
                                        [&](const auto& entry) { return entry.first == id; });
        if (ended != m_ended.end())
            outcome = ended->second;
    }
    if (result != nullptr)
        *result = outcome;
    return found;
}

bool CSessionStore::remove(const std::string& id, bool expired) {
    std::shared_ptr<CWebSession> ended;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto it = m_sessions.find(id);
        if (it == m_sessions.end())
            return false;
        ended = it->second;
        m_sessions.erase(it);
        if (expired)
            rememberEnded(id, eLookup::eExpired);
    }
    // The connection closes here, outside the store's lock, unless a request still holds it.
    return true;
}

size_t CSessionStore::sweep() {
    std::vector<std::shared_ptr<CWebSession>> ended;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const Clock::time_point now = m_clock();
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            if (it->second->inUse() == 0 && idleAt(*it->second, now)) {
                rememberEnded(it->first, eLookup::eExpired);
                ended.push_back(it->second);
                it = m_sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    return ended.size();
}

void CSessionStore::clear() {
    std::map<std::string, std::shared_ptr<CWebSession>> ended;
    std::lock_guard<std::mutex> lock(m_mutex);
    ended.swap(m_sessions);
}

std::vector<std::string> CSessionStore::users() const {
    std::vector<std::string> names;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& entry : m_sessions)
        if (std::find(names.begin(), names.end(), entry.second->user()) == names.end())
            names.push_back(entry.second->user());
    return names;
}

std::string gSessionCookie(const std::string& id) {
    return std::string(kSessionCookie) + "=" + id + "; Path=/; Secure; HttpOnly; SameSite=Strict";
}

std::string gClearedSessionCookie() {
    return std::string(kSessionCookie) + "=; Path=/; Secure; HttpOnly; SameSite=Strict; Max-Age=0";
}

} // namespace vornweb
