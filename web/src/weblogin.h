// weblogin: orxweb's guard in front of the listener's login. Failed logins are counted per
// browser address and per user name; once either has too many within the window, further
// attempts are refused at once (429, with the time to wait) instead of reaching the listener, so
// that a guesser neither holds request threads nor makes the listener slow down logins of
// others. The number of logins in progress is capped in all and per address, so that failing
// logins, which the listener answers slowly on purpose, never hold every request thread.
#ifndef VORNWEB_WEBLOGIN_H
#define VORNWEB_WEBLOGIN_H

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vornweb {

struct SLoginLimits {
    // Failures within `window` after which attempts are refused for a while.
    unsigned int failures = 5;
    std::chrono::seconds window{900};
    // The first refusal period; it doubles with each further failure up to `maxDelay`.
    std::chrono::milliseconds firstDelay{1000};
    std::chrono::milliseconds maxDelay{60000};
    // Logins in progress at once, in all and from one address.
    size_t inFlight = 4;
    size_t inFlightPerAddress = 2;
    // Addresses and names remembered (the least recently failed are forgotten first).
    size_t tracked = 4096;
};

enum class eLoginVerdict {
    eGo,
    // Too many failures for the address or the name: 429.
    eThrottled,
    // Too many logins in progress: 503.
    eBusy
};

class CLoginGuard;

// Holds one slot of the logins in progress until it is destroyed.
class CLoginSlot {
public:
    CLoginSlot(CLoginGuard& guard, std::string address)
        : m_guard(guard), m_address(std::move(address)) {}
    ~CLoginSlot();
    CLoginSlot(const CLoginSlot&) = delete;
    CLoginSlot& operator=(const CLoginSlot&) = delete;

private:
    CLoginGuard& m_guard;
    const std::string m_address;
};

class CLoginGuard {
public:
    using Clock = std::chrono::steady_clock;

    explicit CLoginGuard(SLoginLimits limits = SLoginLimits(),
                         std::function<Clock::time_point()> clock = &Clock::now);

    // Decides about a login of `name` from `address`. On eGo, `slot` holds a place among the
    // logins in progress; on eThrottled, `retryAfter` says when to try again (whole seconds,
    // at least 1) and `firstRefusal` whether this is the first refusal of the current period
    // for the address or name (to be logged once).
    eLoginVerdict admit(const std::string& address, const std::string& name,
                        std::unique_ptr<CLoginSlot>& slot, std::chrono::seconds& retryAfter,
                        bool& firstRefusal);
    // The listener refused the password (or the account).
    void failed(const std::string& address, const std::string& name);
    // The listener accepted: the name's failures are forgotten (the address's stay, so that
    // one account's password does not let its holder guess others').
    void succeeded(const std::string& name);

    const SLoginLimits& limits() const { return m_limits; }

private:
    friend class CLoginSlot;
    struct SRecord {
        std::deque<Clock::time_point> failures;
        bool reported = false;
    };
    using Records = std::map<std::string, SRecord>;

    void release(const std::string& address);
    // The time until which `record` refuses, or a past time.
    Clock::time_point refusedUntil(SRecord& record, Clock::time_point now) const;
    void record(Records& records, const std::string& key, Clock::time_point now);

    const SLoginLimits m_limits;
    const std::function<Clock::time_point()> m_clock;
    std::mutex m_mutex;
    Records m_addresses;
    Records m_names;
    size_t m_running = 0;
    std::map<std::string, size_t> m_runningPerAddress;
};

} // namespace vornweb

#endif
