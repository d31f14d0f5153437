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
    ~SGUIAccount();            // wipes both fields
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
// Byte-wise equality that reads both texts whole whatever their contents.
bool gConstantTimeEquals(const std::string& a, const std::string& b);

// The supplementary groups of a user (getgrouplist, bounded by kMaxGroups), including `gid`.
std::vector<gid_t> gGetUserGroups(const std::string& name, gid_t gid);

} // namespace vorngui

#endif
