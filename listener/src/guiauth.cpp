// guiauth: password, shadow and group look-ups and password checks.
#include <oozaf/logger.h>
#include <oozaf/util.h>
#include <vorngui/gui.h>
#include <vorngui/guiauth.h>
#include <vorngui/guiexceptions.h>

#include <cerrno>
#include <crypt.h>
#include <cstring>
#include <ctime>
#include <fstream>
#include <grp.h>
#include <map>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <shadow.h>
#include <unistd.h>

namespace vorngui {

namespace {

// Look-up buffers start here and double on ERANGE up to the cap, so a huge group or a broken
// name service cannot make the daemon allocate without bound.
constexpr std::size_t kFirstBufferSize = 4096;
constexpr std::size_t kMaxBufferSize = 1024 * 1024;

bool isNoEntry(int error) {
    return error == 0 || error == ENOENT || error == ESRCH || error == EBADF || error == EPERM ||
           error == EACCES;
}

template <class Entry, class Call> bool lookUp(Call call, Entry& entry, std::vector<char>& buffer) {
    buffer.assign(kFirstBufferSize, 0);
    for (;;) {
        Entry* found = nullptr;
        const int rc = call(&entry, buffer.data(), buffer.size(), &found);
        if (rc == ERANGE && buffer.size() < kMaxBufferSize) {
            buffer.assign(buffer.size() * 2, 0);
            continue;
        }
        if (rc == 0 && found != nullptr)
            return true;
        if (isNoEntry(rc))
            return false;
        throw new CGUIAuthSystemException(rc);
    }
}

void wipeBuffer(std::vector<char>& buffer) {
    if (!buffer.empty())
        explicit_bzero(buffer.data(), buffer.size());
}

// crypt_r's scratch area is large (tens of KiB), so it lives on the heap and is wiped after use.
struct SCryptScratch {
    crypt_data data;
};

// Returns crypt_r's result or "" when the setting is unusable (NULL or a failure token "*...").
std::string runCrypt(const std::string& password, const std::string& setting) {
    std::unique_ptr<SCryptScratch> scratch(new SCryptScratch());
    std::memset(&scratch->data, 0, sizeof scratch->data);
    const char* result = crypt_r(password.c_str(), setting.c_str(), &scratch->data);
    std::string out;
    if (result != nullptr && result[0] != '*')
        out = result;
    explicit_bzero(&scratch->data, sizeof scratch->data);
    return out;
}

std::mutex gDummyLock;
std::string gDummy;

// A hash of a random text with the system's default method, or with the method chosen by
// gChooseDummyHash.
std::string dummyHash() {
    std::lock_guard<std::mutex> hold(gDummyLock);
    if (gDummy.empty()) {
        char setting[CRYPT_GENSALT_OUTPUT_SIZE];
        if (crypt_gensalt_rn(nullptr, 0, nullptr, 0, setting, sizeof setting) != nullptr)
            gDummy = runCrypt("dummy password that never matches", setting);
        if (gDummy.empty())
            gDummy = runCrypt("dummy password that never matches", "$6$orxdummysalt$");
    }
    return gDummy;
}

// A salt of `length` characters of crypt's alphabet, from the system's random source.
std::string randomSalt(size_t length) {
    static const char kAlphabet[] =
        "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::string salt(length, '.');
    std::vector<unsigned char> bytes(length);
    std::ifstream random("/dev/urandom", std::ios::binary);
    random.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
    for (size_t i = 0; i < length; ++i)
        salt[i] = kAlphabet[bytes[i] % 64];
    return salt;
}

bool isNoShell(const std::string& shell) {
    if (shell.empty())
        return true;
    const size_t slash = shell.rfind('/');
    const std::string base = slash == std::string::npos ? shell : shell.substr(slash + 1);
    return base == "nologin" || base == "false";
}

} // namespace

SGUIAccount::~SGUIAccount() {
    oozaf::CZAFUtil::wipe(passwordField);
    oozaf::CZAFUtil::wipe(shadowField);
}

void gLookUpAccount(const std::string& name, SGUIAccount& account) {
    account.hasPasswordEntry = false;
    account.hasShadowEntry = false;
    std::vector<char> buffer;
    passwd pw{};
    account.hasPasswordEntry = lookUp<passwd>(
        [&](passwd* entry, char* data, std::size_t size, passwd** found) {
            return getpwnam_r(name.c_str(), entry, data, size, found);
        },
        pw, buffer);
    if (account.hasPasswordEntry) {
        account.uid = pw.pw_uid;
        account.gid = pw.pw_gid;
        account.passwordField = pw.pw_passwd != nullptr ? pw.pw_passwd : "";
        account.shell = pw.pw_shell != nullptr ? pw.pw_shell : "";
    }
    wipeBuffer(buffer);
    spwd sp{};
    try {
        account.hasShadowEntry = lookUp<spwd>(
            [&](spwd* entry, char* data, std::size_t size, spwd** found) {
                return getspnam_r(name.c_str(), entry, data, size, found);
            },
            sp, buffer);
    } catch (...) {
        wipeBuffer(buffer);
        throw;
    }
    if (account.hasShadowEntry) {
        account.shadowField = sp.sp_pwdp != nullptr ? sp.sp_pwdp : "";
        account.lastChange = sp.sp_lstchg;
        account.maxAge = sp.sp_max;
        account.inactive = sp.sp_inact;
        account.expire = sp.sp_expire;
    }
    wipeBuffer(buffer);
}

std::string gAccountRefusal(const SGUIAccount& account, long today, bool allowRoot,
                            bool allowNoShell) {
    if (account.expire >= 0 && today >= account.expire)
        return "the account has expired";
    if (account.lastChange == 0)
        return "the password must be changed first";
    if (account.lastChange > 0 && account.maxAge >= 0 && account.inactive >= 0 &&
        today > account.lastChange + account.maxAge + account.inactive)
        return "the password is past its inactive period";
    if (account.uid == 0 && !allowRoot)
        return "user id 0 may not log in";
    if (!allowNoShell && isNoShell(account.shell))
        return "the account has no login shell";
    return std::string();
}

std::string gHashMethod(const std::string& hash) {
    if (hash.size() < 4 || hash[0] != '$')
        return std::string();
    // "$id$" then parameters: yescrypt always carries one field of them, SHA-crypt
    // an optional "rounds=N"; the salt follows.
    const size_t idEnd = hash.find('$', 1);
    if (idEnd == std::string::npos)
        return std::string();
    const std::string id = hash.substr(1, idEnd - 1);
    size_t end = idEnd + 1;
    if (id == "y" || id == "gy" || id == "7") {
        end = hash.find('$', end);
        if (end == std::string::npos)
            return std::string();
        ++end;
    } else if (hash.compare(end, 7, "rounds=") == 0) {
        end = hash.find('$', end);
        if (end == std::string::npos)
            return std::string();
        ++end;
    }
    // What follows must be a salt and the hash.
    if (hash.find('$', end) == std::string::npos)
        return std::string();
    return hash.substr(0, end);
}

std::string gChooseDummyHash() {
    std::map<std::string, std::pair<size_t, size_t>> methods; // method -> count, salt length
    {
        std::vector<char> buffer(kMaxBufferSize / 16);
        setspent();
        for (unsigned int i = 0; i < 100000; ++i) {
            spwd entry{};
            spwd* found = nullptr;
            if (getspent_r(&entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
                break;
            const std::string hash = entry.sp_pwdp != nullptr ? entry.sp_pwdp : "";
            const std::string method = gHashMethod(hash);
            if (!method.empty()) {
                const size_t saltEnd = hash.find('$', method.size());
                auto& slot = methods[method];
                ++slot.first;
                slot.second = saltEnd - method.size();
            }
        }
        endspent();
        wipeBuffer(buffer);
    }
    std::string best;
    size_t bestCount = 0;
    size_t saltLength = 16;
    for (const auto& entry : methods)
        if (entry.second.first > bestCount) {
            best = entry.first;
            bestCount = entry.second.first;
            saltLength = entry.second.second;
        }
    if (best.empty())
        return dummyHash().substr(0, gHashMethod(dummyHash()).size());
    const std::string hash =
        runCrypt("dummy password that never matches", best + randomSalt(saltLength) + "$");
    if (hash.empty())
        return dummyHash().substr(0, gHashMethod(dummyHash()).size());
    std::lock_guard<std::mutex> hold(gDummyLock);
    gDummy = hash;
    return best;
}

bool gConstantTimeEquals(const std::string& a, const std::string& b) {
    const std::size_t length = a.size() > b.size() ? a.size() : b.size();
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < length; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        difference = static_cast<unsigned char>(difference | (x ^ y));
    }
    return difference == 0;
}

bool gCheckDummyPassword(const std::string& password) {
    const std::string dummy = dummyHash();
    std::string result = runCrypt(password, dummy);
    gConstantTimeEquals(result, dummy);
    oozaf::CZAFUtil::wipe(result);
    return false;
}

bool gCheckPassword(const std::string& password, const std::string& hash) {
    std::string result = runCrypt(password, hash);
    if (result.empty())
        return gCheckDummyPassword(password);
    const bool same = gConstantTimeEquals(result, hash);
    oozaf::CZAFUtil::wipe(result);
    return same;
}

std::vector<gid_t> gGetUserGroups(const std::string& name, gid_t gid) {
    int count = 64;
    std::vector<gid_t> groups;
    for (;;) {
        groups.assign(static_cast<std::size_t>(count), 0);
        int found = count;
        if (getgrouplist(name.c_str(), gid, groups.data(), &found) >= 0) {
            groups.resize(static_cast<std::size_t>(found));
            return groups;
        }
        if (found <= count || count >= kMaxGroups) {
            // More groups than we take: keep the first kMaxGroups the call filled in.
            groups.resize(static_cast<std::size_t>(count));
            return groups;
        }
        count = found < kMaxGroups ? found : kMaxGroups;
    }
}

void gAuthenticate(const std::string& username, const std::string& password, bool allowRoot,
                   bool allowNoShell, const std::string& from, SGUICredentials& credentials) {
    const std::string name = gLogSafe(username, 64);
    if (password.size() > kMaxPasswordLength) {
        ZAF_LOG_WARNING("WARNING: Username '" << name << "' from " << from
                                              << " has supplied a password longer than "
                                              << kMaxPasswordLength << " bytes.");
        throw new CGUIBadPasswordException();
    }
    SGUIAccount account;
    gLookUpAccount(username, account);
    if (!account.hasPasswordEntry) {
        ZAF_LOG_WARNING("WARNING: Neither password file nor shadow file contains details about "
                        "username '"
                        << name << "' (from " << from << ").");
        gCheckDummyPassword(password);
        throw new CGUIBadPasswordException();
    }
    const std::string* hash = nullptr;
    if (account.hasShadowEntry && !account.shadowField.empty())
        hash = &account.shadowField;
    else if (!account.passwordField.empty())
        hash = &account.passwordField;
    if (hash == nullptr) {
        ZAF_LOG_WARNING("WARNING: Username '" << name << "' from " << from
                                              << " exists, but I could not verify its password.");
        gCheckDummyPassword(password);
        throw new CGUIBadPasswordException();
    }
    if (!gCheckPassword(password, *hash)) {
        ZAF_LOG_WARNING("WARNING: Username '" << name << "' from " << from
                                              << " has supplied an invalid password.");
        throw new CGUIBadPasswordException();
    }
    // The password was right; the account's own rules may still forbid the login. The console
    // learns only that the login was refused.
    const long today = static_cast<long>(std::time(nullptr) / 86400);
    const std::string refusal = gAccountRefusal(account, today, allowRoot, allowNoShell);
    if (!refusal.empty()) {
        ZAF_LOG_WARNING("WARNING: Username '" << name << "' from " << from
                                              << " may not log in: " << refusal << ".");
        throw new CGUIBadPasswordException();
    }
    credentials.uid = account.uid;
    credentials.gid = account.gid;
    if (::geteuid() == 0) {
        credentials.groups = gGetUserGroups(username, account.gid);
    } else {
        const int count = ::getgroups(0, nullptr);
        credentials.groups.assign(count > 0 ? static_cast<std::size_t>(count) : 0, 0);
        if (count > 0 && ::getgroups(count, credentials.groups.data()) != count)
            credentials.groups.clear();
    }
}

} // namespace vorngui
