// weblogin: the login guard.
#include "weblogin.h"

#include <algorithm>

namespace vornweb {

CLoginSlot::~CLoginSlot() { m_guard.release(m_address); }

CLoginGuard::CLoginGuard(SLoginLimits limits, std::function<Clock::time_point()> clock)
    : m_limits(limits), m_clock(std::move(clock)) {}

CLoginGuard::Clock::time_point CLoginGuard::refusedUntil(SRecord& record,
                                                         Clock::time_point now) const {
    while (!record.failures.empty() && now - record.failures.front() >= m_limits.window)
        record.failures.pop_front();
    if (record.failures.size() < m_limits.failures) {
        record.reported = false;
        return Clock::time_point::min();
    }
    const size_t beyond = record.failures.size() - m_limits.failures;
    auto delay = m_limits.firstDelay;
    for (size_t i = 0; i < beyond && delay < m_limits.maxDelay; ++i)
        delay *= 2;
    delay = std::min(delay, m_limits.maxDelay);
    return record.failures.back() + delay;
}

eLoginVerdict CLoginGuard::admit(const std::string& address, const std::string& name,
                                 std::unique_ptr<CLoginSlot>& slot,
                                 std::chrono::seconds& retryAfter, bool& firstRefusal) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Clock::time_point now = m_clock();
    Clock::time_point until = Clock::time_point::min();
    SRecord* reason = nullptr;
    for (auto* records : {&m_addresses, &m_names}) {
        const auto it = records->find(records == &m_addresses ? address : name);
        if (it == records->end())
            continue;
        const Clock::time_point end = refusedUntil(it->second, now);
        if (end > until) {
            until = end;
            reason = &it->second;
        }
    }
    if (reason != nullptr && until > now) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
        retryAfter = std::chrono::seconds(std::max<long long>(1, (wait.count() + 999) / 1000));
        firstRefusal = !reason->reported;
        reason->reported = true;
        return eLoginVerdict::eThrottled;
    }
    size_t& fromAddress = m_runningPerAddress[address];
    if (m_running >= m_limits.inFlight || fromAddress >= m_limits.inFlightPerAddress) {
        if (fromAddress == 0)
            m_runningPerAddress.erase(address);
        return eLoginVerdict::eBusy;
    }
    ++fromAddress;
    ++m_running;
    slot = std::make_unique<CLoginSlot>(*this, address);
    return eLoginVerdict::eGo;
}

void CLoginGuard::release(const std::string& address) {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_running;
    const auto it = m_runningPerAddress.find(address);
    if (it != m_runningPerAddress.end() && --it->second == 0)
        m_runningPerAddress.erase(it);
}

void CLoginGuard::record(Records& records, const std::string& key, Clock::time_point now) {
    SRecord& entry = records[key];
    entry.failures.push_back(now);
    // Enough to reach the longest delay; older failures add nothing.
    while (entry.failures.size() > m_limits.failures + 32)
        entry.failures.pop_front();
    if (records.size() <= m_limits.tracked)
        return;
    // Forget what has aged out, then the least recently failed.
    for (auto it = records.begin(); it != records.end();) {
        if (it->first != key && now - it->second.failures.back() >= m_limits.window)
            it = records.erase(it);
        else
            ++it;
    }
    while (records.size() > m_limits.tracked) {
        auto oldest = records.end();
        for (auto it = records.begin(); it != records.end(); ++it)
            if (it->first != key && (oldest == records.end() ||
                                     it->second.failures.back() < oldest->second.failures.back()))
                oldest = it;
        if (oldest == records.end())
            break;
        records.erase(oldest);
    }
}

void CLoginGuard::failed(const std::string& address, const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Clock::time_point now = m_clock();
    record(m_addresses, address, now);
    record(m_names, name, now);
}

void CLoginGuard::succeeded(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_names.erase(name);
}

} // namespace vornweb
