// guisite: site settings and the throttle of failed logins.
#include <vorngui/guisite.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <sstream>

namespace vorngui {

namespace {

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return std::string();
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool parseBool(const std::string& value, bool& out) {
    const std::string word = lower(value);
    if (word == "yes" || word == "on" || word == "true" || word == "1")
        out = true;
    else if (word == "no" || word == "off" || word == "false" || word == "0")
        out = false;
    else
        return false;
    return true;
}

template <class T> bool parseNumber(const std::string& value, T& out, T low, T high) {
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long number = std::stoul(value);
    if (number < low || number > high)
        return false;
    out = static_cast<T>(number);
    return true;
}

bool apply(const std::string& name, const std::string& value, SGUISiteSettings& s) {
    const unsigned int day = 86400;
    const unsigned int hour = 3600000;
    if (name == "allowrootlogin")
        return parseBool(value, s.allowRootLogin);
    if (name == "allownoshelllogin")
        return parseBool(value, s.allowNoShellLogin);
    if (name == "throttlefailures")
        return parseNumber(value, s.throttleFailures, 1u, 1000u);
    if (name == "throttlewindow")
        return parseNumber(value, s.throttleWindow, 1u, day);
    if (name == "throttledelay")
        return parseNumber(value, s.throttleDelay, 0u, hour);
    if (name == "throttlemaxdelay")
        return parseNumber(value, s.throttleMaxDelay, 0u, hour);
    if (name == "lockoutfailures")
        return parseNumber(value, s.lockoutFailures, 0u, 1000u);
    if (name == "lockouttime")
        return parseNumber(value, s.lockoutTime, 1u, day);
    if (name == "maxprelogin")
        return parseNumber<std::size_t>(value, s.maxPreLogin, 1, 4096);
    if (name == "maxpreloginperaddress")
        return parseNumber<std::size_t>(value, s.maxPreLoginPerAddress, 1, 4096);
    if (name == "maxsessions")
        return parseNumber<std::size_t>(value, s.maxSessions, 1, 4096);
    if (name == "webaccount") {
        // A user name as useradd makes them.
        if (value.size() > 32 ||
            value.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                                    "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") !=
                std::string::npos ||
            (!value.empty() && value[0] == '-'))
            return false;
        s.webAccount = value;
        return true;
    }
    if (name == "websocket") {
        // An absolute path that fits a Unix socket's address.
        if (value.size() < 2 || value.size() > 100 || value[0] != '/' ||
            value.find_first_of(" \t") != std::string::npos)
            return false;
        s.webSocket = value;
        return true;
    }
    return false;
}

} // namespace

std::string gNormalizeAddress(const std::string& text) {
    if (text.empty() || text.size() > INET6_ADDRSTRLEN)
        return std::string();
    char out[INET6_ADDRSTRLEN] = {0};
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1)
        return ::inet_ntop(AF_INET, &v4, out, sizeof out) != nullptr ? out : std::string();
    in6_addr v6{};
    if (::inet_pton(AF_INET6, text.c_str(), &v6) != 1)
        return std::string();
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
        std::memcpy(&v4, &v6.s6_addr[12], 4);
        return ::inet_ntop(AF_INET, &v4, out, sizeof out) != nullptr ? out : std::string();
    }
    return ::inet_ntop(AF_INET6, &v6, out, sizeof out) != nullptr ? out : std::string();
}

std::string gParseSiteSettings(const std::string& text, SGUISiteSettings& settings) {
    std::istringstream in(text);
    std::string line;
    unsigned int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        line = trim(line);
        if (line.empty())
            continue;
        const size_t equals = line.find('=');
        const std::string where = "line " + std::to_string(number) + ": ";
        if (equals == std::string::npos)
            return where + "no '=' in the setting";
        const std::string name = lower(trim(line.substr(0, equals)));
        const std::string value = trim(line.substr(equals + 1));
        if (!apply(name, value, settings))
            return where + "unknown setting or bad value for '" + name.substr(0, 64) + "'";
    }
    if (settings.throttleMaxDelay < settings.throttleDelay)
        settings.throttleMaxDelay = settings.throttleDelay;
    return std::string();
}

std::string gReadSiteSettings(const std::string& path, SGUISiteSettings& settings) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::string();
    constexpr size_t kMaxSize = 64 * 1024;
    std::string text(kMaxSize + 1, '\0');
    in.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxSize)
        return "the file is larger than 64 KiB";
    return gParseSiteSettings(text, settings);
}

void CGUIThrottle::prune(SEntry& entry, Clock::time_point now, unsigned int windowSeconds) {
    const auto oldest = now - std::chrono::seconds(windowSeconds);
    entry.failures.erase(std::remove_if(entry.failures.begin(), entry.failures.end(),
                                        [&](Clock::time_point t) { return t < oldest; }),
                         entry.failures.end());
}

unsigned int CGUIThrottle::delayFor(SEntry& entry, Clock::time_point now) {
    prune(entry, now, std::max(m_settings.throttleWindow, m_settings.lockoutTime));
    const auto since = now - std::chrono::seconds(m_settings.throttleWindow);
    const size_t recent =
        static_cast<size_t>(std::count_if(entry.failures.begin(), entry.failures.end(),
                                          [&](Clock::time_point t) { return t >= since; }));
    if (recent < m_settings.throttleFailures)
        return 0;
    const size_t doublings = std::min<size_t>(recent - m_settings.throttleFailures, 30);
    const unsigned long long delay = static_cast<unsigned long long>(m_settings.throttleDelay)
                                     << doublings;
    return static_cast<unsigned int>(
        std::min<unsigned long long>(delay, m_settings.throttleMaxDelay));
}

CGUIThrottle::SVerdict CGUIThrottle::check(const std::string& address, const std::string& user,
                                           Clock::time_point now) {
    std::lock_guard<std::mutex> hold(m_lock);
    SVerdict verdict;
    auto source = m_entries.find("a " + address);
    if (source != m_entries.end()) {
        verdict.delay = delayFor(source->second, now);
        if (verdict.delay != 0 && !source->second.throttled) {
            source->second.throttled = true;
            verdict.newlyThrottled = true;
        } else if (verdict.delay == 0) {
            source->second.throttled = false;
        }
    }
    auto name = m_entries.find("u " + user);
    if (name != m_entries.end()) {
        verdict.delay = std::max(verdict.delay, delayFor(name->second, now));
        if (m_settings.lockoutFailures != 0) {
            const auto since = now - std::chrono::seconds(m_settings.lockoutTime);
            const size_t recent = static_cast<size_t>(
                std::count_if(name->second.failures.begin(), name->second.failures.end(),
                              [&](Clock::time_point t) { return t >= since; }));
            verdict.lockedOut = recent >= m_settings.lockoutFailures;
        }
    }
    return verdict;
}

void CGUIThrottle::add(const std::string& key, Clock::time_point now) {
    auto found = m_entries.find(key);
    if (found == m_entries.end()) {
        if (m_entries.size() >= kMaxEntries) {
            auto oldest = m_entries.begin();
            for (auto it = m_entries.begin(); it != m_entries.end(); ++it) {
                const auto last = [](const SEntry& e) {
                    return e.failures.empty() ? Clock::time_point() : e.failures.back();
                };
                if (last(it->second) < last(oldest->second))
                    oldest = it;
            }
            m_entries.erase(oldest);
        }
        found = m_entries.emplace(key, SEntry()).first;
    }
    SEntry& entry = found->second;
    prune(entry, now, std::max(m_settings.throttleWindow, m_settings.lockoutTime));
    // A bounded history: past this many the oldest failure no longer matters to any rule.
    const size_t keep =
        std::max<size_t>(m_settings.throttleFailures + 31, m_settings.lockoutFailures) + 1;
    if (entry.failures.size() >= keep)
        entry.failures.erase(entry.failures.begin());
    entry.failures.push_back(now);
}

void CGUIThrottle::recordFailure(const std::string& address, const std::string& user,
                                 Clock::time_point now) {
    std::lock_guard<std::mutex> hold(m_lock);
    add("a " + address, now);
    add("u " + user, now);
}

void CGUIThrottle::recordSuccess(const std::string& user) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_entries.erase("u " + user);
}

std::size_t CGUIThrottle::size() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_entries.size();
}

} // namespace vorngui
