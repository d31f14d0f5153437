// webkeys: the key rings as the page shows them, read from the listener's keys summary and kept
// per user. The reply (about 9 MB for 7,000 keys) is cut into its "key" elements by a quick
// lexical scan; each key's bytes are identified by a digest, and only keys whose bytes were not
// read before are parsed (with the pull reader), so that after one change only the keys it
// touched are read again. The page gets a compact list (one row per key) and a key's whole element
// only when it opens the key; a page holding an older version of the list gets only the rows that
// changed since.
#ifndef VORNWEB_WEBKEYS_H
#define VORNWEB_WEBKEYS_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace vornweb {

struct SKeyEntry {
    // As the listener names the key: the short ID (its requests take it), the long ID and the
    // fingerprint.
    std::string id;
    std::string idfull;
    std::string fingerprint;
    std::string name;
    bool secret = false;
    // The list row: a JSON array (see gKeyRowColumns).
    std::string row;
    // The whole "key" element as JSON (gElementToJson).
    std::string detail;
    // The key IDs its signatures, revokers and ADKs name.
    std::vector<std::string> named;
    // Digest of the key element's bytes in the reply.
    std::string digest;
};

// The columns of a list row, as a JSON array of names.
const char* gKeyRowColumns();

// A key ID or fingerprint as people write it: "0x" optional, blanks and colons ignored, any case;
// 8 digits (short ID), 16 (long ID), 32 or 40 (fingerprint). Returns the digits in upper case, or
// "" when the text is none of these.
std::string gNormalKeyID(const std::string& text);

// The byte ranges [begin, end) of the elements named "key" under the root's element "keys", found
// by a lexical scan that follows tags (quoted attribute values included) and their nesting. False
// when the text has anything the listener does not write (comments, declarations other than the
// first, unbalanced tags); the caller then reads it the slow way.
bool gKeyRanges(std::string_view xml, std::vector<std::pair<size_t, size_t>>& ranges);

// What the listener answered instead of a key list.
struct SKeysRefusal {
    int rc = 0;
    std::string error;
};

class CKeyList {
public:
    // Reads a whole keys summary reply. Keys whose bytes `previous` (may be null) already read
    // are taken from it. Returns null with `refusal` set when the reply's rc is not 0. Throws
    // vornadmin::CAdminException when the reply cannot be read.
    static std::shared_ptr<const CKeyList> read(const std::string& reply, const CKeyList* previous,
                                                SKeysRefusal& refusal);

    // Identifies the list: a digest of its keys' bytes.
    const std::string& version() const { return m_version; }
    size_t size() const { return m_keys.size(); }
    const std::vector<std::shared_ptr<const SKeyEntry>>& keys() const { return m_keys; }
    // How many keys the last read took from the previous list (for tests and figures).
    size_t reused() const { return m_reused; }

    // The key named by a short ID, long ID or fingerprint (any form gNormalKeyID reads); null
    // when there is none. A short ID that two keys share finds neither (`ambiguous` is then set).
    const SKeyEntry* find(const std::string& id, bool* ambiguous = nullptr) const;

    // {"version":..,"columns":[..],"rows":[..]}: every key.
    std::string listJson() const;
    // The same with only the rows that are new or differ from those of `older`, the long IDs of
    // keys that `older` had and this list has not ("removed"), and "since": older's version.
    std::string changesJson(const CKeyList& older) const;
    // {"version":..,"key":<detail>,"names":{ID: name, ...},"own":[[id,idfull,name],..]}: one key,
    // the names of the keys its signatures, revokers and ADKs name, and the user's own key pairs
    // (for choosing a signer).
    std::string keyJson(const SKeyEntry& entry) const;

private:
    CKeyList() = default;
    void index();

    std::string m_version;
    std::vector<std::shared_ptr<const SKeyEntry>> m_keys;
    std::unordered_map<std::string, size_t> m_byLong;
    std::unordered_map<std::string, size_t> m_byFingerprint;
    std::unordered_multimap<std::string, size_t> m_byShort;
    std::unordered_map<std::string, size_t> m_byDigest;
    size_t m_reused = 0;
};

// The newest key list of each user, the one before it (for the changes of a page that holds it),
// and when the listener last confirmed the newest. Shared by the request threads. Lists of users
// without a session are kept for a while (a user who logs in again finds them read), a bounded
// number of them.
class CKeyCache {
public:
    using Clock = std::chrono::steady_clock;

    explicit CKeyCache(std::function<Clock::time_point()> clock = &Clock::now)
        : m_clock(std::move(clock)) {}

    std::shared_ptr<const CKeyList> get(const std::string& user) const;
    // The newest list when the listener confirmed it less than `age` ago, else null.
    std::shared_ptr<const CKeyList> fresh(const std::string& user, Clock::duration age) const;
    // The list before the current one, when its version is `version`.
    std::shared_ptr<const CKeyList> previous(const std::string& user,
                                             const std::string& version) const;
    // The listener's list now (confirmed now, whether it changed or not).
    void put(const std::string& user, std::shared_ptr<const CKeyList> list);
    // The rings changed since the newest list was confirmed: it is no longer fresh.
    void unconfirm(const std::string& user);
    // Keeps the lists of `active` users; of the others, those used within `keep` and at most
    // `idle` of them (the most recently used).
    void retain(const std::vector<std::string>& active, Clock::duration keep, size_t idle);

private:
    struct SLists {
        std::shared_ptr<const CKeyList> current;
        std::shared_ptr<const CKeyList> previous;
        Clock::time_point confirmed;
        // The rings changed since (see unconfirm).
        bool stale = false;
    };
    const std::function<Clock::time_point()> m_clock;
    mutable std::mutex m_mutex;
    std::map<std::string, SLists> m_lists;
};

} // namespace vornweb

#endif
