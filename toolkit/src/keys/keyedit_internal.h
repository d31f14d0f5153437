// keyedit_internal: what key generation (keygen.cpp), key editing (keyedit.cpp), secret key
// protection (s2k.cpp) and the signature writer (sigwriter.cpp) share.
#ifndef ZAF_KEYEDIT_INTERNAL_H
#define ZAF_KEYEDIT_INTERNAL_H

#include "keystore/keystore.h"
#include "options_internal.h"

#include <zaf/zafkeyedit.h>

#include <botan/pk_keys.h>
#include <botan/secmem.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zaf::edit {

using Secret = Botan::secure_vector<uint8_t>;

// ---- secret key protection (s2k.cpp) ----

// Bytes hashed by one passphrase derivation (coded count 0xC0): a few tens of milliseconds.
constexpr uint8_t kS2KCountByte = 0xC0;

// Derives `keyLength` bytes from a passphrase with the RFC 4880 S2K of the given type (0 simple,
// 1 salted, 3 iterated and salted; `count` is the decoded byte count for type 3).
Secret deriveS2K(const char* hashName, std::string_view salt, std::string_view pass, size_t count,
                 size_t keyLength);

// An S2K specifier as stored: the hash, the salt (empty for the simple type) and the decoded
// byte count of the iterated type (0 for the others).
struct S2KSpec {
    const char* hashName = nullptr;
    std::string_view salt;
    size_t count = 0;
};
// Reads the specifier whose type byte is body[pos] and moves `pos` past it.
// kZAFError_CorruptData when it is cut short, kZAFError_NotImplemented for an unknown type or
// hash.
ZAFError readS2KSpec(std::string_view body, size_t& pos, S2KSpec& out);

// The body of a secret key packet: `publicPart` (the public key packet body), then the secret
// MPIs `mpis` (RFC 4880 MPI layout, concatenated). An empty passphrase leaves them in the clear
// with the two-byte checksum. Otherwise, version 4: usage 254, AES-256, iterated and salted S2K
// with SHA-256, CFB over MPIs plus their SHA-1 digest. Version 3: usage 255 with the same S2K and
// cipher, each MPI's value encrypted on its own (bit counts and checksum in the clear, the cipher
// resynchronised at each MPI), as RFC 4880 lays down for legacy keys.
std::string protectSecret(std::string_view publicPart, uint8_t version, const Secret& mpis,
                          std::string_view pass);

// Unlocks the secret part of a legacy (version 3) RSA key: usage 255 or a bare cipher number (the
// older form with an MD5 simple S2K). `info` describes the public part of `body`. A wrong
// passphrase gives kZAFError_BadPassphrase.
ZAFError unlockLegacySecret(std::string_view body, std::string_view pass, Secret& mpis,
                            const rfc4880::KeyInfo& info);

using rfc4880::appendMpi;

// ---- signatures (sigwriter.cpp) ----

constexpr uint8_t kHashSHA256 = 8;

// Signs a digest: writes the algorithm's signature MPIs in RFC 4880 layout to `mpis`.
using DigestSigner =
    std::function<ZAFError(uint8_t hashAlg, const std::vector<uint8_t>& digest, std::string& mpis)>;

// Who signs: a key (or subkey) and how to reach its secret part.
struct Signer {
    uint8_t version = 4;
    uint8_t algorithm = 0;
    uint8_t hash = kHashSHA256; // the hash its signatures use (signatureHash of its key)
    uint8_t keyID[8] = {};
    uint8_t fingerprint[20] = {};
    uint8_t fingerprintLength = 0;
    DigestSigner sign;
    std::shared_ptr<void> holder; // keeps an unlocked private key alive while `sign` is used
};

// A signer over a Botan private key held by the caller (fresh keys during generation).
DigestSigner botanSigner(const Botan::Private_Key& key, uint8_t algorithm);
// The hash a key's own signatures (self-signatures, bindings, certifications) use: SHA-256, or as
// many bits as an ECDSA key's curve (SHA-384, SHA-512), which its peers require.
uint8_t signatureHash(std::string_view keyBody);

// Unlocks the primary key of `key` with the passphrase and makes a signer of it. Errors:
// kZAFError_NoSecretKey, kZAFError_BadPassphrase, kZAFError_UnsupportedAlg.
ZAFError unlockSigner(const Key& key, std::string_view pass, Signer& out);

// What a signature covers: the primary key, then (optionally) a user ID (tag 13), a user
// attribute (tag 17) or a subkey (tag 14; its public key packet body).
struct Target {
    std::string_view keyBody;
    uint8_t childTag = 0;
    std::string_view childBody;
};

// Writes a complete version 4 signature packet. `hashed` holds the caller's hashed subpackets;
// the writer puts the creation time first and the issuer fingerprint (version 4 signers) and
// issuer key ID last. `unhashed` is appended to the unhashed area as given.
ZAFError writeSignatureV4(const Target& target, uint8_t type, uint32_t created,
                          const std::string& hashed, const std::string& unhashed,
                          const Signer& signer, std::string& packet);
// Writes a version 3 signature packet (legacy keys: no subpackets).
ZAFError writeSignatureV3(const Target& target, uint8_t type, uint32_t created,
                          const Signer& signer, std::string& packet);

// The raw hashed subpackets (type byte included in each entry's second field) of a version 4
// signature body; empty when malformed.
std::vector<std::pair<uint8_t, std::string_view>> hashedSubpackets(std::string_view sigBody);

// ---- options and key access (keyedit.cpp) ----

// The options of a call, checked against the kinds it accepts: an unknown kind gives
// kZAFError_ConflictingOptions, a kind given twice kZAFError_RepeatedOption.
class OptionSet {
public:
    ZAFError load(std::vector<Option>&& options, std::initializer_list<int> accepted);
    const Option* get(int type) const;
    bool has(int type) const { return get(type) != nullptr; }
    // The passphrase or passkey bytes; kZAFError_MissingOption when neither was given,
    // kZAFError_ConflictingOptions when both were.
    ZAFError secret(Secret& out) const;

private:
    std::vector<Option> m_options;
};

// The database's current version of the key `obj` belongs to (edits replace keys, so handles
// given out earlier may belong to an older version). Null when the key is gone.
KeyPtr currentKey(const ZAFKeyDBObj* obj);
// The object of `key` that stands for `obj` (same packet, same parent); -1 when absent.
int32_t matchObject(const Key& key, const ZAFKeyDBObj& obj);

// Fails with kZAFError_ReadOnlyKeyDB when the key's database may not change.
ZAFError checkWritable(const ZAFKeyDB* db);

// Rebuilds `key` with `edit` applied to the tree of its public bytes and of its secret bytes
// (`secret` tells which), and puts the result in its database in place of the old version.
// `out` (may be null) receives the new key.
ZAFError replaceWithEdit(const KeyPtr& key,
                         const std::function<bool(TKTree& tree, bool secret)>& edit,
                         KeyPtr* out = nullptr);

// The public part of a key packet body.
std::string_view publicPart(std::string_view keyBody);

} // namespace zaf::edit

#endif
