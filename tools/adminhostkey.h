// adminhostkey: what the console keeps about listeners (their pinned host keys), and how a large
// key file is cut into requests of whole keys.
#ifndef VORNADMIN_ADMINHOSTKEY_H
#define VORNADMIN_ADMINHOSTKEY_H

#include <zaf/zafcontext.h>
#include <zaf/zafkeys.h>

#include <cstddef>
#include <string>
#include <vector>

namespace vornadmin {

// A listener's host key as the console knows it.
struct SHostKey {
    // "host:port" as the console was asked to reach it.
    std::string listener;
    // Upper-case hexadecimal digits in groups of four, as orxgui logs it at start-up.
    std::string fingerprint;
    // The public key, an armoured block.
    std::string publicKey;
};

// A file of known listeners, one line each: "host:port FINGERPRINT BASE64", FINGERPRINT without
// blanks, BASE64 the armoured public key. Lines that do not have that shape are ignored (and
// kept). The file and its folder are created private to the user (0600 / 0700).
class CKnownHosts {
public:
    explicit CKnownHosts(std::string path) : m_path(std::move(path)) {}

    // The entry for `listener`, if the file has one. Throws CAdminException when the file
    // exists but cannot be read or is larger than 4 MiB.
    bool find(const std::string& listener, SHostKey& out) const;
    // Appends an entry. Throws CAdminException when the file cannot be written.
    void add(const SHostKey& key) const;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

// "~/.orxadmin/known_hosts" of the user running the console (from the password database, not
// from $HOME, so that a console run with sudo does not use another user's file).
std::string gDefaultKnownHostsFile();

// Reads an armoured public key into a new in-memory key database of `context` and returns it
// (the caller frees it) with the key's fingerprint text. Throws CAdminException when the block
// holds no key.
ZAFKeyDBRef gLoadHostKey(ZAFContextRef context, const std::string& publicKey,
                         std::string& fingerprint);

// Cuts a key file (binary packets, or one or more armoured blocks) into pieces of whole keys, a
// piece at most `limit` bytes where a single key allows it; `keys` gets the number of keys of
// each piece. A file that is no sequence of packets, or an armoured file whose body is not Base64,
// gives one piece: the file as it is (the listener then judges it). Armoured input comes out as
// binary pieces; a file whose first byte is a packet header is binary, even when its packets
// hold armour header lines.
std::vector<std::string> gSplitKeyFile(const std::string& bytes, std::size_t limit,
                                       std::vector<std::size_t>& keys);

} // namespace vornadmin

#endif
