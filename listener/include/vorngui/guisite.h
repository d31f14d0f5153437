// guisite: the listener's site settings (who may log in, how failed logins are slowed down, how
// many connections are served) and the throttle of failed logins.
#ifndef VORNGUI_GUISITE_H
#define VORNGUI_GUISITE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vorngui {

// The file of site settings in the installation directory (or named by --site-file).
constexpr const char* kSiteFileName = "orxgui-site.cfg";

// One "Name=value" line per setting; names ignore case, "#" starts a comment, a missing file
// leaves every default.
struct SGUISiteSettings {
    // AllowRootLogin: accounts with user id 0 may log in.
    bool allowRootLogin = false;
    // AllowNoShellLogin: accounts whose shell is nologin, false or empty may log in.
    bool allowNoShellLogin = false;
    // ThrottleFailures failed logins within ThrottleWindow seconds, from one address or for one
    // user name, make every further attempt wait ThrottleDelay milliseconds, doubling with each
    // further failure up to ThrottleMaxDelay.
    unsigned int throttleFailures = 5;
    unsigned int throttleWindow = 900;
    unsigned int throttleDelay = 1000;
    unsigned int throttleMaxDelay = 30000;
    // LockoutFailures (0: off) failed logins for one user name within LockoutTime seconds refuse
    // every login of that name, right password or not, until the failures age out.
    unsigned int lockoutFailures = 0;
    unsigned int lockoutTime = 900;
    // MaxPreLogin connections that have not logged in yet, at most MaxPreLoginPerAddress of
    // them from one address (the oldest goes when a new one comes); MaxSessions logged-in
    // sessions (a login beyond it is refused with "too many connections").
    std::size_t maxPreLogin = 64;
    std::size_t maxPreLoginPerAddress = 8;
    std::size_t maxSessions = 256;
    // WebAccount (empty: none): the account of the web console orxweb, the only one that may
    // connect to the Unix socket WebSocket (an absolute path) and name its browsers' addresses.
    std::string webAccount;
    std::string webSocket = "/run/orxgui/web.sock";
};

// Applies the settings in `text` to `settings`. Returns an empty text, or the first problem
// ("line N: ..."): an unknown name, a malformed line, a value that is not yes/no or a number in
// range. Lines before a faulty one stay applied.
std::string gParseSiteSettings(const std::string& text, SGUISiteSettings& settings);
// Reads the file at `path` (at most 64 KiB) into `settings`; a missing file is no error.
// Returns an empty text or the problem.
std::string gReadSiteSettings(const std::string& path, SGUISiteSettings& settings);

// The text form of an IP address (IPv4 dotted, or IPv6; an IPv4-mapped IPv6 address becomes the
// IPv4 address), or an empty text when `text` is no IP address.
std::string gNormalizeAddress(const std::string& text);

// Failed logins per source address and per user name, for the delay before the next answer
// and the optional lock-out. Thread-safe. Holds at most kMaxEntries names and addresses; when
// full, the one whose last failure is oldest is forgotten.
class CGUIThrottle final {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMaxEntries = 16384;

    explicit CGUIThrottle(const SGUISiteSettings& settings) : m_settings(settings) {}

    // What an attempt must wait before it is answered (milliseconds), whether the user name is
    // locked out, and whether this address has only now become throttled (for one log line).
    struct SVerdict {
        unsigned int delay = 0;
        bool lockedOut = false;
        bool newlyThrottled = false;
    };
    SVerdict check(const std::string& address, const std::string& user, Clock::time_point now);
    void recordFailure(const std::string& address, const std::string& user, Clock::time_point now);
    // A successful login clears the user name's failures (not the address's).
    void recordSuccess(const std::string& user);
    std::size_t size();

private:
    struct SEntry {
        std::vector<Clock::time_point> failures;
        bool throttled = false;
    };
    unsigned int delayFor(SEntry& entry, Clock::time_point now);
    void prune(SEntry& entry, Clock::time_point now, unsigned int windowSeconds);
    void add(const std::string& key, Clock::time_point now);

    SGUISiteSettings m_settings;
    std::mutex m_lock;
    std::map<std::string, SEntry> m_entries;
};

} // namespace vorngui

#endif
