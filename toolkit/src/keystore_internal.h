// keystore_internal: the in-memory key store shared by the key database, set, iterator, property,
// import/export, trust and group modules.
//
// A key keeps the bytes of its transferable public key (and secret key, when held) exactly as
// read, in a shared store that is usually the whole ring file. Objects (the key, its user IDs,
// subkeys and signatures) index into those bytes. A change to a key builds new bytes and a new
// Key; the old one stays alive while a set, an iterator or the database's retired list holds it,
// so handles given out never dangle.
#ifndef ZAF_KEYSTORE_INTERNAL_H
#define ZAF_KEYSTORE_INTERNAL_H

#include "context_internal.h"
#include "packets.h"

#include <zaf/zafkeys.h>

#include <botan/asn1_obj.h>

#include <array>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zaf {

struct Key;

constexpr uint32_t kObjMagic = 0x5A4F424A;    // "ZOBJ"
constexpr uint32_t kKeyDBMagic = 0x5A4B4442;  // "ZKDB"
constexpr uint32_t kKeySetMagic = 0x5A4B5354; // "ZKST"
constexpr uint32_t kIterMagic = 0x5A495452;   // "ZITR"
constexpr uint32_t kFilterMagic = 0x5A464C54; // "ZFLT"

// Hard limits on what one ring may hold, so damaged or hostile input cannot exhaust memory.
constexpr size_t kMaxRingBytes = 512u << 20;
constexpr size_t kMaxPacketsPerKey = 100000;

// One packet of a key's main transferable key, relative to the key's bytes.
struct PacketRef {
    uint32_t offset = 0; // header start
    uint32_t total = 0;  // header + body
    uint32_t bodyOffset = 0;
    uint32_t bodyLength = 0;
    uint8_t tag = 0;
};

} // namespace zaf

// A key, subkey, user ID or signature. Lives inside its Key's object vector.
struct ZAFKeyDBObj {
    uint32_t magic = zaf::kObjMagic;
    uint8_t type = 0;
    zaf::Key* key = nullptr;
    uint32_t packet = 0; // index into Key::packets
    int32_t parent = -1; // object index of the parent (key = 0), -1 for the key itself
    uint32_t index = 0;  // own object index
    // Subkeys (and the key itself, mirrored in Key).
    uint8_t algorithm = 0;
    uint8_t version = 0;
    uint32_t bits = 0;
    uint32_t created = 0;
    uint32_t expiration = 0;
    uint8_t keyID[8] = {};
    // User IDs: attribute type (0 for a plain user ID).
    uint8_t attributeType = 0;
    // Signatures.
    bool parsed = false;
    uint8_t sigVersion = 0;
    uint8_t sigType = 0;
    uint8_t hashAlg = 0;
    bool exportable = true;
    bool revocable = true;
    uint8_t trustDepth = 0;
    uint8_t trustAmount = 0;
    bool hasIssuer = false;
    uint32_t sigExpireSecs = 0;
    // Cached checks (signatures) and derived state (all objects).
    bool tried = false;
    bool verified = false;
    bool revoked = false;
    bool unverifiedRevocation = false;
};

namespace zaf {

struct KeyDB;

struct Key {
    // Public transferable key bytes (size 0 when only the secret ring holds the key).
    std::shared_ptr<const std::string> pubStore;
    size_t pubOffset = 0;
    size_t pubLength = 0;
    std::shared_ptr<const std::string> secStore;
    size_t secOffset = 0;
    size_t secLength = 0;

    std::vector<PacketRef> packets; // of the main bytes (public if present, else secret)
    std::vector<ZAFKeyDBObj> objs;  // objs[0] is the key itself

    uint8_t fingerprint[20] = {};
    uint8_t fingerprintLength = 0;
    uint8_t algorithm = 0;
    uint8_t version = 0;
    uint32_t bits = 0;
    uint32_t created = 0;
    uint32_t expiration = 0; // 0 never
    std::string prefSymmetric;
    std::string prefHash;
    std::vector<std::array<uint8_t, 22>> revokers;
    std::vector<std::array<uint8_t, 22>> adks;
    int32_t primaryUserID = -1; // object index
    bool revokedBySelf = false;
    std::vector<uint32_t> foreignRevocations; // object indexes of key revocations by others
    bool revocable = true;
    int32_t ownerTrust = -1; // from the trust packet; -1 none
    bool disabled = false;
    int32_t validity = 0;
    ZAFKeyDB* owner = nullptr; // the database holding the key
    size_t baseHash = 0;       // digest of the bytes this handle started from

    std::string_view pubBytes() const {
        return pubLength ? std::string_view(*pubStore).substr(pubOffset, pubLength)
                         : std::string_view();
    }
    std::string_view secBytes() const {
        return secLength ? std::string_view(*secStore).substr(secOffset, secLength)
                         : std::string_view();
    }
    bool hasSecret() const { return secLength != 0; }
    std::string_view mainBytes() const { return pubLength ? pubBytes() : secBytes(); }
    std::string_view packetBytes(uint32_t i) const {
        return mainBytes().substr(packets[i].offset, packets[i].total);
    }
    std::string_view packetBody(uint32_t i) const {
        return mainBytes().substr(packets[i].bodyOffset, packets[i].bodyLength);
    }
    std::string fingerprintKey() const {
        return std::string(reinterpret_cast<const char*>(fingerprint), fingerprintLength);
    }
    const uint8_t* keyID() const { return objs[0].keyID; }
    int32_t effectiveOwnerTrust() const;
};

using KeyPtr = std::shared_ptr<Key>;

// Splits a ring (or any packet stream) into keys. `secret` marks secret-ring input. In strict
// mode any damage fails the whole ring; lenient mode (import) skips packets outside keys and
// hands stand-alone signatures to `loose`.
bool parseKeys(const std::shared_ptr<const std::string>& store, bool secret, bool strict,
               std::vector<KeyPtr>& out, std::vector<std::string>* loose);
// Builds a key from its transferable key bytes (public and/or secret). Null on damage.
KeyPtr buildKey(std::shared_ptr<const std::string> pubStore, size_t pubOffset, size_t pubLength,
                std::shared_ptr<const std::string> secStore, size_t secOffset, size_t secLength);
KeyPtr buildKeyFromStrings(std::string pub, std::string sec);
size_t keyDigest(const Key& key);

// Tree form of a transferable key used for merging and editing.
struct TKTree {
    std::string primary;             // the primary key packet (header included)
    std::vector<std::string> follow; // packets before the first user ID / subkey
    struct Component {
        uint8_t tag = 0;
        std::string head;
        std::vector<std::string> follow;
    };
    std::vector<Component> comps;
    bool parse(std::string_view bytes);
    std::string serialize() const;
};
// Merges `incoming` into `base` (union of user IDs, subkeys and signatures; trust packets of
// `incoming` ignored). Returns true when base changed.
bool mergeTrees(TKTree& base, const TKTree& incoming);

} // namespace zaf

struct ZAFKeySet {
    uint32_t magic = zaf::kKeySetMagic;
    ZAFKeyDB* db = nullptr;
    bool isRoot = false;
    std::vector<zaf::KeyPtr> keys; // unused for the root set (it reads the database's list)
    const std::vector<zaf::KeyPtr>& list() const;
};

struct ZAFKeyDB {
    uint32_t magic = zaf::kKeyDBMagic;
    ZAFContext* context = nullptr;
    bool hasFiles = false;
    bool isMutable = true;
    std::string pubPath;
    std::string secPath;
    std::vector<zaf::KeyPtr> keys;
    std::vector<zaf::KeyPtr> retired;
    ZAFKeySet root;
    // Changes of this handle not yet written: fingerprints of keys added/changed and removed.
    std::set<std::string> changed;
    std::set<std::string> removed;
    // Stand-alone revocation certificates read by an import, applied by ZAFCopyKeys.
    std::vector<std::string> pendingRevocations;
    // Signature checks survive key rebuilds through this cache (digest of the checked bytes).
    std::unordered_map<size_t, uint8_t> sigCache;
    std::unordered_map<uint64_t, zaf::Key*> byKeyID; // primary and subkey IDs
    std::unordered_map<std::string, zaf::Key*> byFingerprint;
    bool indexValid = false;

    void reindex();
    zaf::Key* findByKeyID(const uint8_t id[8]);
    zaf::Key* findByFingerprint(const std::string& fpr);
    // Replaces key `oldKey` by `newKey` (same fingerprint) and records the change.
    void replaceKey(const zaf::KeyPtr& oldKey, const zaf::KeyPtr& newKey, bool journal);
    void addKey(const zaf::KeyPtr& key, bool journal);
};

namespace zaf {

uint64_t keyIDValue(const uint8_t id[8]);
bool isValidDB(const ZAFKeyDB* db);
bool isValidSet(const ZAFKeySet* set);
bool isValidObj(const ZAFKeyDBObj* obj);
bool isValidCtx(const ZAFContext* ctx);
int32_t envInt(const ZAFContext* ctx, int32_t selector, int32_t fallback);
std::string envString(const ZAFContext* ctx, int32_t selector);
uint32_t now();

// Runs `body`, mapping escaped exceptions to result codes (bad_alloc to out of memory).
ZAFError storeGuard(const std::function<ZAFError()>& body);

// Reads a whole file (bounded by kMaxRingBytes). Missing file gives an empty string and true
// when `missingOk`.
ZAFError readFile(const std::string& path, std::string& out, bool missingOk);
// Writes `data` to a new file beside `path`, flushes it to disk and renames it over `path`.
ZAFError writeFileAtomic(const std::string& path, const std::string& data, unsigned mode);

// Test hook: when set and returning non-zero, a flush stops right before its renames.
extern int (*gFlushBeforeRenameHook)(const char* pubPath);

// Signature verification of one signature object against its key; uses the database's cache.
bool verifySignature(ZAFKeyDB* db, const Key& key, const ZAFKeyDBObj& sig, const Key* signer);
// Verifies a raw signature over the data hashed by `sigBody`'s context.
bool verifyWithKey(const Key& signer, std::string_view signerKeyBody, uint8_t hashAlg,
                   const uint8_t* digest, size_t digestLength, const rfc4880::SigInfo& sig);
// The key packet body (public part) used to check signatures made by `keyID` in `signer`
// (primary or subkey); empty when the ID is not one of the key's.
std::string_view signingKeyBody(const Key& signer, const uint8_t keyID[8], uint8_t& alg);

// Parses a groups file text; on success `reserialized` (may be null) gets it written anew.
bool checkGroupsText(std::string_view text, std::string* reserialized);

// Armour.
std::string armor(std::string_view data, const std::string& label,
                  const std::vector<std::pair<std::string, std::string>>& headers);
// Finds armoured blocks in `text` and appends their decoded bytes. Returns false when a block is
// malformed (bad Base64, checksum mismatch, missing end line).
bool dearmor(std::string_view text, std::vector<std::string>& blocks);
bool looksArmored(std::string_view data);

// The secret key packet body of the key or subkey `o` of `k` (found by its key ID); empty when
// the key has no secret part for it.
std::string_view secretPacketBody(const Key& k, const ZAFKeyDBObj& o);

// The object identifier of a curve as a key packet stores it (the DER body without tag and
// length). Throws a Botan exception when it cannot be decoded.
Botan::OID curveOid(std::string_view raw);

} // namespace zaf

#endif
