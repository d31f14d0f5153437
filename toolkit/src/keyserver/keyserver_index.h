// keyserver_index: what a key server's answers hold. The machine-readable index of a search
// (one "pub:" line per key, "uid:" lines under it), key names (key IDs and fingerprints as a
// user types them), and the selection of the keys an answer to a fetch may bring in.
#ifndef ZAF_KEYSERVER_INDEX_H
#define ZAF_KEYSERVER_INDEX_H

#include <zaf/zafbase.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zaf::hkp {

// One key of an index, as the server describes it.
struct IndexKey {
    std::string keyID; // upper-case hex, 8, 16, 32 or 40 digits
    int32_t algorithm = -1;
    uint32_t bits = 0;
    uint32_t created = 0;
    uint32_t expires = 0;
    uint32_t flags = 0; // kZAFKeyServerKeyFlag_...
    std::vector<std::string> userIDs;
    uint32_t userIDsDropped = 0;
};

// Longest user ID kept from an index line (bytes after decoding); longer ones are dropped.
constexpr size_t kMaxIndexUserIDBytes = 4096;

// Reads an index text: "info:", "pub:" and "uid:" lines (other lines are ignored, and so are
// "pub:" lines that do not parse with the "uid:" lines under them). More than `maxKeys` keys give
// kZAFError_KeyServerTooManyKeys; otherwise kZAFError_NoErr.
ZAFError parseIndex(std::string_view text, uint32_t maxKeys, std::vector<IndexKey>& out);

// A key named by its key ID (short: 4 bytes, long: 8) or fingerprint (16 or 20 bytes).
struct KeyName {
    enum Kind { ShortID, LongID, Fingerprint };
    Kind kind = LongID;
    std::string bytes;
};
// Reads "0x" (optional, any case) followed by 8, 16, 32 or 40 hex digits; blanks between groups
// of a fingerprint are allowed. False for anything else.
bool parseKeyName(std::string_view text, KeyName& out);
// "0x" + upper-case hex of the name.
std::string keyNameText(const KeyName& name);

// Keeps the transferable public keys of `data` (binary, or armoured blocks) whose primary key or
// a public subkey carries `name` (every public key when `name` is null); their packets are
// copied as they were, trust packets and secret subkeys left out.
// Secret keys and every other key are dropped. `kept` is the number of keys kept.
// kZAFError_KeyServerTooManyKeys when the input holds more than `maxKeys` keys,
// kZAFError_CorruptData when it is not a packet sequence.
ZAFError selectKeys(std::string_view data, const KeyName* name, uint32_t maxKeys, std::string& out,
                    uint32_t& kept);

// Percent-encodes everything but the unreserved characters (letters, digits, "-._~").
std::string percentEncode(std::string_view text);

} // namespace zaf::hkp

#endif
