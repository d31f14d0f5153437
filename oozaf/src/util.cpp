// util: directories, environment, time stamp, Base64 and the string routines.
#include <oozaf/logger.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#ifndef ORX_SITE_DIR
#define ORX_SITE_DIR "/etc/vorn"
#endif

namespace oozaf {

namespace {

const char* const kTag = "util";

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The count DecodeBase64Morsel reports for a corrupt group.
constexpr unsigned short kCorruptMorsel = 5;

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool isBlankOrTab(char c) { return c == ' ' || c == '\t'; }

// The value of a Base64 alphabet character, or -1 for anything else ("=" included).
int base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Looks up the effective user's password entry with the re-entrant call, so that concurrent
// sessions never share the static result buffer. The buffer grows on ERANGE up to a fixed bound.
bool lookupEffectiveUser(std::string* home, std::string* name) {
    long hint = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::size_t size = hint > 0 ? static_cast<std::size_t>(hint) : 1024;
    const std::size_t kMaxBuffer = 1 << 20;
    for (;;) {
        std::string buffer(size, '\0');
        passwd entry{};
        passwd* result = nullptr;
        const int rc = getpwuid_r(geteuid(), &entry, &buffer[0], buffer.size(), &result);
        if (rc == ERANGE && size < kMaxBuffer) {
            size *= 2;
            continue;
        }
        if (rc != 0 || result == nullptr)
            return false;
        if (home != nullptr) {
            if (entry.pw_dir == nullptr)
                return false;
            *home = entry.pw_dir;
        }
        if (name != nullptr) {
            if (entry.pw_name == nullptr)
                return false;
            *name = entry.pw_name;
        }
        return true;
    }
}

std::string lowerCopy(const std::string& text) {
    std::string result(text);
    for (char& c : result)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return result;
}

} // namespace

std::string CZAFUtil::getBuildTreeDirectory() {
    // The program's own folder, or one of the two above it, holding the build's cache and the
    // template it copies there: build/frontends/orxcmd is in build/.
    char path[4096] = {};
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return std::string();
    std::string dir(path, static_cast<size_t>(n));
    for (int level = 0; level < 3; ++level) {
        const std::string::size_type slash = dir.rfind('/');
        if (slash == std::string::npos || slash == 0)
            return std::string();
        dir.erase(slash);
        struct stat cache {};
        struct stat templ {};
        if (::stat((dir + "/CMakeCache.txt").c_str(), &cache) == 0 && S_ISREG(cache.st_mode) &&
            ::stat((dir + "/zaf-template.cfg").c_str(), &templ) == 0 && S_ISREG(templ.st_mode))
            return dir;
    }
    return std::string();
}

std::string CZAFUtil::getRunDirectory() {
    std::string dir;
    if (getEnvironmentVariable("ORXDIR", dir))
        return dir;
    // A program run from the build tree uses that build's installation folder, so that it
    // works as built without installing; installed programs are run without ORXDIR by users
    // and scripts alike.
    dir = getBuildTreeDirectory();
    if (!dir.empty())
        return dir;
    struct stat info {};
    if (::stat(ORX_SITE_DIR, &info) == 0 && S_ISDIR(info.st_mode))
        return ORX_SITE_DIR;
    ZAF_LOG_WARNING("WARNING: Unable to determine Vorn Server's installation directory. "
                    "Defaulting to current directory");
    return getWorkingDirectory();
}

std::string CZAFUtil::getWorkingDirectory() {
    char buffer[1025];
    if (getcwd(buffer, sizeof(buffer)) != nullptr)
        return buffer;
    const int error = errno;
    ZAF_LOG_WARNING("WARNING: Unable to determine the current directory\n"
                    << "Error message: " << CZAFOSException::getOSMessage(error) << "\n"
                    << "Defaulting to '.'");
    return ".";
}

std::string CZAFUtil::getTempDirectory() {
    std::string dir;
    if (getEnvironmentVariable("TMP", dir) || getEnvironmentVariable("TMPDIR", dir))
        return dir;
    return "/tmp";
}

bool CZAFUtil::getPersonalDirectory(std::string& out) {
    std::string home;
    if (!lookupEffectiveUser(&home, nullptr)) {
        ZAF_LOG_DEBUG("Personal directory NOT FOUND");
        return false;
    }
    out = home;
    ZAF_LOG_DEBUG("Personal directory FOUND: " << out);
    return true;
}

bool CZAFUtil::getCurrentUserName(std::string& out) {
    std::string name;
    if (!lookupEffectiveUser(nullptr, &name))
        return false;
    out = name;
    return true;
}

bool CZAFUtil::getEnvironmentVariable(const std::string& name, std::string& value) {
    const char* found = std::getenv(name.c_str());
    if (found == nullptr)
        return false;
    value = found;
    return true;
}

void CZAFUtil::setEnvironmentVariable(const std::string& name, const std::string& value) {
    ZAF_ASSERT_TAG(kTag, !name.empty() && name.find('=') == std::string::npos);
    const std::string entry = name + "=" + value;
    // putenv keeps the pointer itself, so the block must outlive every later environment read.
    char* block = static_cast<char*>(std::malloc(entry.size() + 1));
    ZAF_ASSERT_TAG(kTag, block != nullptr);
    std::memcpy(block, entry.c_str(), entry.size() + 1);
    ZAF_ASSERT_TAG(kTag, putenv(block) == 0);
}

int CZAFUtil::getLastError() { return errno; }

std::string CZAFUtil::localTimeString(bool withDate) {
    timeval now{};
    ZAF_ASSERT_TAG(kTag, gettimeofday(&now, nullptr) == 0);
    const time_t seconds = now.tv_sec;
    std::tm local{};
    ZAF_ASSERT_TAG(kTag, localtime_r(&seconds, &local) != nullptr);
    char text[48];
    if (withDate)
        std::snprintf(text, sizeof(text), "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                      local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    else
        std::snprintf(text, sizeof(text), "%02d:%02d:%02d", local.tm_hour, local.tm_min,
                      local.tm_sec);
    return text;
}

std::string CZAFUtil::buildStageString(int stage) {
    switch (stage) {
    case 0:
        return "Development";
    case 1:
        return "Alpha";
    case 2:
        return "Beta";
    case 3:
        return "Release";
    default:
        return "Unknown";
    }
}

unsigned int CZAFUtil::Base64Encode(const std::string& in, std::string& out) {
    out.clear();
    out.reserve((in.size() + 2) / 3 * 4);
    const auto* bytes = reinterpret_cast<const unsigned char*>(in.data());
    std::size_t i = 0;
    for (; i + 3 <= in.size(); i += 3) {
        const unsigned long group = (static_cast<unsigned long>(bytes[i]) << 16) |
                                    (static_cast<unsigned long>(bytes[i + 1]) << 8) | bytes[i + 2];
        out += kBase64Alphabet[(group >> 18) & 0x3F];
        out += kBase64Alphabet[(group >> 12) & 0x3F];
        out += kBase64Alphabet[(group >> 6) & 0x3F];
        out += kBase64Alphabet[group & 0x3F];
    }
    const std::size_t rest = in.size() - i;
    if (rest == 1) {
        const unsigned long group = static_cast<unsigned long>(bytes[i]) << 16;
        out += kBase64Alphabet[(group >> 18) & 0x3F];
        out += kBase64Alphabet[(group >> 12) & 0x3F];
        out += "==";
    } else if (rest == 2) {
        const unsigned long group = (static_cast<unsigned long>(bytes[i]) << 16) |
                                    (static_cast<unsigned long>(bytes[i + 1]) << 8);
        out += kBase64Alphabet[(group >> 18) & 0x3F];
        out += kBase64Alphabet[(group >> 12) & 0x3F];
        out += kBase64Alphabet[(group >> 6) & 0x3F];
        out += '=';
    }
    return static_cast<unsigned int>(out.size());
}

// The decoder of one group, on full-width lengths so that texts beyond 4 GiB decode as well.
static std::size_t decodeMorsel(const char* in, std::size_t length, unsigned char* out,
                                unsigned short& count) {
    std::size_t pos = 0;
    unsigned int n = 0;
    unsigned long group = 0;
    count = 0;
    while (n < 4) {
        while (pos < length && isSpace(in[pos]))
            ++pos;
        if (pos == length)
            break;
        const int value = base64Value(in[pos]);
        if (value < 0) {
            // A character outside the alphabet ends the group. Only the padding forms may end a
            // partial group; at a group boundary it simply marks the end of the data.
            if (n == 0) {
                count = 0;
            } else if (n == 3 && in[pos] == '=') {
                ++pos;
                out[0] = static_cast<unsigned char>(group >> 10);
                out[1] = static_cast<unsigned char>(group >> 2);
                count = 2;
            } else if (n == 2 && in[pos] == '=' && pos + 1 < length && in[pos + 1] == '=') {
                ++pos;
                out[0] = static_cast<unsigned char>(group >> 4);
                count = 1;
            } else {
                count = kCorruptMorsel;
            }
            return pos;
        }
        group = (group << 6) | static_cast<unsigned long>(value);
        ++n;
        ++pos;
    }
    switch (n) {
    case 4:
        out[0] = static_cast<unsigned char>(group >> 16);
        out[1] = static_cast<unsigned char>(group >> 8);
        out[2] = static_cast<unsigned char>(group);
        count = 3;
        break;
    case 3:
        out[0] = static_cast<unsigned char>(group >> 10);
        out[1] = static_cast<unsigned char>(group >> 2);
        count = 2;
        break;
    case 2:
        out[0] = static_cast<unsigned char>(group >> 4);
        count = 1;
        break;
    default:
        count = 0;
        break;
    }
    return pos;
}

unsigned int CZAFUtil::DecodeBase64Morsel(const char* in, unsigned int length, unsigned char* out,
                                          unsigned short& count) {
    return static_cast<unsigned int>(decodeMorsel(in, length, out, count));
}

unsigned int CZAFUtil::Base64Decode(const std::string& in, std::string& out) {
    out.clear();
    out.reserve(in.size() / 4 * 3 + 3);
    const char* data = in.data();
    std::size_t left = in.size();
    for (;;) {
        unsigned char bytes[3];
        unsigned short count = 0;
        const std::size_t used = decodeMorsel(data, left, bytes, count);
        if (count == kCorruptMorsel)
            throw new CZAFCorruptBase64DataException();
        out.append(reinterpret_cast<const char*>(bytes), count);
        if (count != 3)
            break;
        data += used;
        left -= used;
    }
    return static_cast<unsigned int>(out.size());
}

void CZAFUtil::memcpy0x0aEndings(std::string& out, const std::string& in) {
    out.clear();
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '\r' && i + 1 < in.size() && in[i + 1] == '\n')
            continue;
        out += in[i];
    }
}

std::string CZAFUtil::removeCharsFromString(const std::string& text, const std::string& chars) {
    std::string result;
    result.reserve(text.size());
    for (char c : text)
        if (chars.find(c) == std::string::npos)
            result += c;
    return result;
}

std::string CZAFUtil::removeCharFromString(const std::string& text, const char& c) {
    std::string result;
    result.reserve(text.size());
    for (char ch : text)
        if (ch != c)
            result += ch;
    return result;
}

void CZAFUtil::removeWhitespaces(std::string& text) { text = removeCharsFromString(text, " \t"); }

void CZAFUtil::removeUnquotedWS(std::string& text) {
    std::string result;
    result.reserve(text.size());
    bool quoted = false;
    for (char c : text) {
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && isSpace(c))
            continue;
        result += c;
    }
    text.swap(result);
}

void CZAFUtil::quote(std::string& text) { text = "\"" + text + "\""; }

void CZAFUtil::unquote(std::string& text) {
    if (text.size() > 1 && text.front() == '"' && text.back() == '"')
        text = text.substr(1, text.size() - 2);
}

void CZAFUtil::cropUnquotedComment(std::string& text, const char& c) {
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (!quoted && text[i] == c) {
            text.erase(i);
            return;
        }
        if (text[i] == '"')
            quoted = !quoted;
    }
}

void CZAFUtil::trimString(std::string& text) {
    std::size_t first = 0;
    while (first < text.size() && isBlankOrTab(text[first]))
        ++first;
    std::size_t last = text.size();
    while (last > first && isBlankOrTab(text[last - 1]))
        --last;
    text = text.substr(first, last - first);
}

void CZAFUtil::wipe(std::string& text) {
    // Written through a volatile pointer so that the stores are not dropped as dead before the
    // string is emptied.
    volatile char* p = &text[0];
    for (std::size_t i = 0; i < text.size(); ++i)
        p[i] = '\0';
    text.clear();
}

std::string CZAFUtil::toLower(const std::string& text) { return lowerCopy(text); }

std::string CZAFUtil::toUpper(const std::string& text) {
    std::string result(text);
    for (char& c : result)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return result;
}

bool CZAFUtil::compareIgnoreCase(const std::string& a, const std::string& b) {
    return lowerCopy(a) == lowerCopy(b);
}

bool CZAFUtil::beginsWithIgnoreCase(const std::string& text, const std::string& prefix) {
    if (prefix.size() > text.size())
        return false;
    return lowerCopy(text.substr(0, prefix.size())) == lowerCopy(prefix);
}

void CZAFUtil::delimParse(const std::string& text, const std::string& delimiters, bool skipEmpty,
                          std::vector<std::string>& out) {
    ZAF_ASSERT_TAG(kTag, delimiters.find('"') == std::string::npos);
    out.clear();
    std::string token;
    bool open = false;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') {
            // A quote belongs to a token even when nothing stands between the quotes, so an
            // explicitly quoted empty value is kept.
            quoted = !quoted;
            open = true;
        } else if (!quoted && delimiters.find(c) != std::string::npos) {
            if (open) {
                out.push_back(token);
                token.clear();
                open = false;
            } else if (!skipEmpty) {
                out.emplace_back();
            }
        } else {
            token += c;
            open = true;
        }
    }
    if (open)
        out.push_back(token);
}

unsigned int CZAFUtil::wordCount(const std::string& text) {
    std::string trimmed(text);
    trimString(trimmed);
    std::vector<std::string> words;
    delimParse(trimmed, " \t", true, words);
    return static_cast<unsigned int>(words.size());
}

bool CZAFUtil::isInteger(const std::string& text) {
    if (text == "0")
        return true;
    // The leading number as the standard conversion reads it is non-zero exactly when one of
    // its digits is. Looking at the digits avoids the undefined result of converting a number
    // that does not fit an int (which could come out as 0).
    std::size_t i = 0;
    while (i < text.size() && isSpace(text[i]))
        ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        ++i;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
        if (text[i] != '0')
            return true;
    return false;
}

bool CZAFUtil::isHexadecimal(const std::string& text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

bool CZAFUtil::parseKeyIDOrFingerprint(const std::string& text, std::string& hex) {
    hex.clear();
    std::string digits = text;
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits.erase(0, 2);
    for (const char c : digits) {
        if (c == ' ')
            continue;
        if (!isHexadecimal(std::string(1, c)) || hex.size() >= 40) {
            hex.clear();
            return false;
        }
        hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    if (hex.size() == 8 || hex.size() == 16 || hex.size() == 32 || hex.size() == 40)
        return true;
    hex.clear();
    return false;
}

bool CZAFUtil::checkValidKeyID(const std::string& text) {
    switch (text.size()) {
    case 8:
    case 16:
        return isHexadecimal(text);
    case 10:
    case 18:
        return text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
               isHexadecimal(text.substr(2));
    default:
        return false;
    }
}

} // namespace oozaf
