// guiauth: password, shadow and group look-ups and password checks.
#include <oozaf/util.h>

#include <cerrno>
#include <crypt.h>
#include <cstring>
#include <grp.h>
#include <memory>
#include <mutex>
#include <pwd.h>
#include <shadow.h>
#include <unistd.h>
#include <vorngui/guiauth.h>
#include <vorngui/guiexceptions.h>

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

// A hash of a random text with the system's default method, made once.
const std::string& dummyHash() {
    static std::once_flag once;
    static std::string hash;
    std::call_once(once, [] {
        char setting[CRYPT_GENSALT_OUTPUT_SIZE];
        if (crypt_gensalt_rn(nullptr, 0, nullptr, 0, setting, sizeof setting) != nullptr)
            hash = runCrypt("dummy password that never matches", setting);
        if (hash.empty())
            hash = runCrypt("dummy password that never matches", "$6$orxdummysalt$");
    });
    return hash;
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
    if (account.hasShadowEntry)
        account.shadowField = sp.sp_pwdp != nullptr ? sp.sp_pwdp : "";
    wipeBuffer(buffer);
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
    std::string result = runCrypt(password, dummyHash());
    gConstantTimeEquals(result, dummyHash());
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

} // namespace vorngui
