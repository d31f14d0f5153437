// guiauth: user look-ups in the password, shadow and group databases and password checks, all
// through the re-entrant system calls so that sessions can log in concurrently.
#ifndef VORNGUI_GUIAUTH_H
#define VORNGUI_GUIAUTH_H

#include <cstddef>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vorngui {

// Passwords longer than this are refused without hashing them.
constexpr std::size_t kMaxPasswordLength = 1024;
// At most this many supplementary groups are taken for a user.
constexpr int kMaxGroups = 4096;

// What the system databases hold for one user name.
struct SGUIAccount {
    bool hasPasswordEntry = false;
    bool hasShadowEntry = false;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string passwordField; // the password database's field ("x" when shadowed)
    std::string shadowField;   // the shadow database's field
    std::string shell;         // the login shell
    // Shadow dates in days since 1970 (-1 where the field is empty): last change, maximum
    // age, inactive period after it, expiry of the account.
    long lastChange = -1;
    long maxAge = -1;
    long inactive = -1;
    long expire = -1;
    ~SGUIAccount(); // wipes both fields
};

// Fills `account` from getpwnam_r and getspnam_r (full name for both). A database that cannot
// be read counts as holding no entry (an unprivileged daemon cannot read the shadow file);
// throws CGUIAuthSystemException only when a look-up fails with another error than "no such
// entry" or "permission denied".
void gLookUpAccount(const std::string& name, SGUIAccount& account);

// True when crypt_r reproduces `hash` from `password`, compared without stopping at the first
// differing byte. A hash that crypt_r cannot use (a locked account's "!" or "*", "x") is checked
// against a dummy hash instead, so the refusal costs the same time, and gives false.
bool gCheckPassword(const std::string& password, const std::string& hash);
// Runs a password check against a dummy hash of the system's default method; for unknown users,
// so that they take the same time as wrong passwords. Always false.
bool gCheckDummyPassword(const std::string& password);
// The reason an account that gave its right password must still not log in, or an empty text:
// the account has expired, its password is past the inactive period or must be changed first
// (last change 0), its user id is 0 and `allowRoot` is false, or its shell is nologin, false
// or empty and `allowNoShell` is false. `today` is in days since 1970.
std::string gAccountRefusal(const SGUIAccount& account, long today, bool allowRoot,
                            bool allowNoShell);

// Chooses the method and cost of the dummy hash (for unknown and locked names): those of the
// hashes most common in the shadow database, with a fresh salt, so that such names take the
// time a real account takes. Falls back to the system's default method when the database cannot
// be read or holds no usable hash. Call once at start-up, before any session; returns the
// chosen setting without its salt (for the log).
std::string gChooseDummyHash();
// The method part of a hash (everything before the salt: "$6$", "$6$rounds=N$", "$y$j9T$");
// empty for a text that is not a hash crypt can use.
std::string gHashMethod(const std::string& hash);

// Byte-wise equality that reads both texts whole whatever their contents.
bool gConstantTimeEquals(const std::string& a, const std::string& b);

// The supplementary groups of a user (getgrouplist, bounded by kMaxGroups), including `gid`.
std::vector<gid_t> gGetUserGroups(const std::string& name, gid_t gid);

// The ids a session takes on for good.
struct SGUICredentials {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;
};

// Checks a login: the account exists and has a usable hash, the password reproduces it, and the
// account's rules (gAccountRefusal with `allowRoot`, `allowNoShell`) let it in. Fills
// `credentials` on success (the user's groups when the process is privileged, else the process's
// own, which an unprivileged daemon cannot change). Throws CGUIBadPasswordException for every
// refusal (unknown names cost a dummy check, so that they take a real account's time) and
// CGUIAuthSystemException when a database cannot be read; the reason is logged as a warning
// naming the user and `from`.
void gAuthenticate(const std::string& username, const std::string& password, bool allowRoot,
                   bool allowNoShell, const std::string& from, SGUICredentials& credentials);

} // namespace vorngui

#endif
