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

#include "api/api.h"
#include "packets/packets.h"
#include "ringfile.h"

#include <zaf/zafkeys.h>

#include <botan/asn1_obj.h>
#include <botan/secmem.h>

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
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

// Hard limits on what one ring may hold, so damaged or hostile input cannot exhaust memory (the
// size of a ring file, kMaxRingBytes, is in ringfile.h).
constexpr size_t kMaxPacketsPerKey = 100000;

// One packet of a key's main transferable key, relative to the key's bytes.
struct PacketRef {
    uint32_t offset = 0; // header start
    uint32_t total = 0;  // header + body
    uint32_t bodyOffset = 0;
    uint32_t bodyLength = 0;
    uint8_t tag = 0;
    bool hidden = false; // part of a user ID or subkey that counts for nothing (see analyse)
};

// Stored check results (the status byte of a check trust packet, see the README).
constexpr uint8_t kCheckGood = 1;
constexpr uint8_t kCheckBad = 2;
constexpr uint8_t kCheckBackGood = 4; // a binding whose embedded back signature verified
constexpr uint8_t kCheckBackBad = 8;  // ... did not verify (or is missing)

// Usage a subkey's ruling binding grants (key flags; without flags, what the algorithm does).
constexpr uint8_t kUsageSign = 0x02;
constexpr uint8_t kUsageEncrypt = 0x0C;

using CheckDigest = std::array<uint8_t, 16>;
using CheckRecord = std::vector<std::pair<CheckDigest, bool>>;

// What signature checks may cost one read of a ring, one import or one trust calculation: CPU
// time of the threads that verify, a base plus an allowance per key up to a ceiling, so that no
// ring, however hostile, costs more than seconds. Once it is spent the remaining checks are not
// made (Check::NotChecked). Results found in a cache cost nothing. Every result looked up or
// made is appended to `record` when one is given. Shared by the threads that build one ring's
// keys; thread-safe.
class CheckBudget {
public:
    explicit CheckBudget(CheckRecord* record = nullptr);
    // Raises the limit by the allowance for `keys` more keys (up to the ceiling).
    void allowKeys(size_t keys);
    bool spent() const { return m_spentNanos.load() >= m_limitNanos.load(); }
    void charge(uint64_t nanos) { m_spentNanos += nanos; }
    void skip() { ++m_skipped; }
    uint32_t skipped() const { return m_skipped.load(); }
    uint64_t spentNanos() const { return m_spentNanos.load(); }
    void note(const CheckDigest& d, bool ok);

private:
    std::atomic<uint64_t> m_limitNanos;
    std::atomic<uint64_t> m_spentNanos{0};
    std::atomic<uint32_t> m_skipped{0};
    std::mutex m_lock; // guards m_record
    CheckRecord* m_record;
};

// The budget of the calling thread's current work, null when none.
CheckBudget* currentCheckBudget();
// Makes `budget` the calling thread's for the scope's life.
class CheckBudgetScope {
public:
    explicit CheckBudgetScope(CheckBudget* budget);
    ~CheckBudgetScope();
    CheckBudgetScope(const CheckBudgetScope&) = delete;
    CheckBudgetScope& operator=(const CheckBudgetScope&) = delete;

private:
    CheckBudget* m_previous;
};

// A budget of the calling thread's own (the base alone) for the scope's life when it has none:
// every check runs within some budget, whatever path asks for it.
class DefaultCheckBudget {
public:
    DefaultCheckBudget() {
        if (currentCheckBudget() == nullptr) {
            m_budget.emplace();
            m_scope.emplace(&*m_budget);
        }
    }

private:
    std::optional<CheckBudget> m_budget;
    std::optional<CheckBudgetScope> m_scope;
};

// The budget's figures in nanoseconds of CPU time: a base, an allowance per key, a ceiling.
struct CheckBudgetLimits {
    uint64_t base;
    uint64_t perKey;
    uint64_t ceiling;
};
CheckBudgetLimits checkBudgetLimits();
void setCheckBudgetLimits(const CheckBudgetLimits& limits); // tests: small budgets

// How many threads build a big ring's keys (and verify what decides them): every core the
// process may run on, unless set (benchmarks: 1, 2, 4; 0 goes back to every core).
unsigned keyBuildThreads();
void setKeyBuildThreads(unsigned threads);

// Check results kept beside the rings, for rings this store does not rewrite (a listing never
// writes a ring, so the results would be made again by every process). One file per database,
// named after its public ring, private to the user (mode 0600), written atomically, bounded in
// size. It is read only when it is a regular file owned by the effective user, not readable by
// others, of this version and intact; anything else is ignored and written anew. Results are
// keyed by their check digest, so one for a changed or forged signature never matches.
class CheckFile {
public:
    // For the rings whose public ring is `pubPath`; none when the folder holding it is not the
    // effective user's own.
    explicit CheckFile(const std::string& pubPath);
    bool enabled() const { return !m_path.empty(); }
    const std::string& path() const { return m_path; }
    // Seeds the process-wide cache with the file's results (when it reads as ours).
    void load();
    // Keeps `record` as the results of the database's last read (a read) or adds it (a trust
    // calculation), and writes the file when it lacks any of them.
    void update(CheckRecord record, bool addToLast);

private:
    std::string m_path;
    std::vector<CheckDigest> m_inFile; // sorted: the digests the file holds
    CheckRecord m_last;                // sorted, unique: what the last read and trust used
};
// The format's bound: results kept per file.
constexpr size_t kMaxCheckFileResults = 1u << 18;
// The file's bytes for `results` (sorted, unique), and the results read back from them (false
// when they are not a whole file of this version). In memory, so tests and fuzzing need no files.
std::string encodeCheckFile(const CheckRecord& results);
bool decodeCheckFile(std::string_view bytes, CheckRecord& out);

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
    bool primaryFlag = false; // signatures: the primary user ID subpacket is set
    // Cached checks (signatures) and derived state (all objects).
    bool tried = false;
    bool verified = false;
    bool revoked = false;
    bool unverifiedRevocation = false;
    // Signatures: the check result (kCheck...), 0 when none; the first 8 bytes of its check
    // digest; whether the key's bytes already hold it in a trust packet after the signature.
    uint8_t stored = 0;
    uint8_t storedDigest[8] = {};
    bool storedInBytes = false;
    // User IDs and subkeys: the ruling self-signature or binding (object index), -1 none.
    int32_t ruling = -1;
    // Subkeys: kUsage... bits granted by the ruling binding (signing only with a back signature).
    uint8_t usage = 0;
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
    int32_t primaryUserID = -1;    // object index; see analyse for the rules
    int32_t primaryAttribute = -1; // object index of the primary user attribute
    int32_t directSig = -1;        // the newest verified direct-key self-signature
    // Key flags of the primary key from the signature its properties come from; -1 none given.
    int16_t primaryKeyFlags = -1;
    // User IDs and subkeys that count for nothing: no verified self-signature or binding.
    uint32_t hiddenUserIDs = 0;
    uint32_t hiddenSubKeys = 0;
    bool revokedBySelf = false;
    std::vector<uint32_t> foreignRevocations; // object indexes of key revocations by others
    bool revocable = true;
    // The primary key's parameters are beyond what we compute with (keyParametersAcceptable):
    // nothing it signed verifies, and an import leaves the key out.
    bool refused = false;
    // Some check deciding the key's state was not made for want of check budget; the key is
    // built again, within a new budget, by the next read or refresh.
    bool unchecked = false;
    int32_t ownerTrust = -1; // from the trust packet; -1 none
    bool disabled = false;
    int32_t validity = 0;
    ZAFKeyDB* owner = nullptr; // the database holding the key
    // The version this handle started from (as read from the rings), for the three-way merge
    // of a flush: the key itself when `onDisk`, else `base` (null when the handle added it).
    bool onDisk = false;
    std::shared_ptr<Key> base;

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

inline bool isPrimaryTag(uint8_t tag) {
    return tag == rfc4880::kTagPublicKey || tag == rfc4880::kTagSecretKey;
}
inline bool isSubkeyTag(uint8_t tag) {
    return tag == rfc4880::kTagPublicSubkey || tag == rfc4880::kTagSecretSubkey;
}
inline bool isUserTag(uint8_t tag) {
    return tag == rfc4880::kTagUserID || tag == rfc4880::kTagUserAttribute;
}

// ---- keys from their bytes (keytree.cpp) ----

// Splits a ring (or any packet stream) into keys. `secret` marks secret-ring input. In strict
// mode any damage fails the whole ring; lenient mode (import) skips packets outside keys and
// hands stand-alone signatures to `loose`. `storedChecks` as for buildKey (public input only).
bool parseKeys(const std::shared_ptr<const std::string>& store, bool secret, bool strict,
               std::vector<KeyPtr>& out, std::vector<std::string>* loose, bool storedChecks);
// Builds a key from its transferable key bytes (public and/or secret). Null on damage.
// `storedChecks` takes check results from the trust packets after signatures; only bytes this
// store wrote itself may do that (never input from outside).
KeyPtr buildKey(std::shared_ptr<const std::string> pubStore, size_t pubOffset, size_t pubLength,
                std::shared_ptr<const std::string> secStore, size_t secOffset, size_t secLength,
                bool storedChecks = true);
KeyPtr buildKeyFromStrings(std::string pub, std::string sec, bool storedChecks = true);
// The version of `k` its database started from (see Key::base), null when none.
std::shared_ptr<Key> baseOf(const std::shared_ptr<Key>& k);

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
// Identity of a component: the user ID bytes, or the subkey's fingerprint.
std::string componentIdentity(const TKTree::Component& c);
// Merges `incoming` into `base` (union of user IDs, subkeys and signatures; trust packets of
// `incoming` ignored). Returns true when base changed.
bool mergeTrees(TKTree& base, const TKTree& incoming);
// Merges two versions of one key (union, as mergeTrees); null when nothing would change.
KeyPtr mergeKeys(const Key& base, const Key& incoming);
// The key without its local trust packets (keys read from elsewhere lose them before they join
// a database); `k` itself when it has none.
KeyPtr withoutTrust(const KeyPtr& k);
// The key with every known check result in a trust packet after its signature, so that the
// ring opens next time without verifying again (public ring only).
KeyPtr withChecks(const KeyPtr& k);

// Three-way merge of one ring's form of a key (empty = absent): what changed from `base` to
// `ours` is laid over `disk`. A removal on either side beats a change on the other; each such
// conflict appends a warning naming `label`.
std::string mergeThreeWay(std::string_view base, std::string_view ours, std::string_view disk,
                          const std::string& label, std::vector<std::string>& warnings);

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
    // Changes of this handle not yet written: fingerprints of keys added/changed, and of keys
    // removed with the version they had when this handle last read them.
    std::set<std::string> changed;
    std::map<std::string, zaf::KeyPtr> removed;
    // Conflicts met by the last flush or refresh (a removal that beat a change), as texts.
    std::vector<std::string> mergeWarnings;
    // Stand-alone revocation certificates read by an import, applied by ZAFCopyKeys.
    std::vector<std::string> pendingRevocations;
    // Import only: user IDs and subkeys dropped for want of a verified self-signature/binding.
    uint32_t droppedUserIDs = 0;
    uint32_t droppedSubKeys = 0;
    // The version of the rings the background service pins for this handle (0: none).
    uint64_t serviceEntry = 0;
    std::unordered_map<uint64_t, zaf::Key*> byKeyID; // primary and subkey IDs
    std::unordered_map<std::string, zaf::Key*> byFingerprint;
    bool indexValid = false;
    // Stamps of the rings as last read; while both still match, a refresh has nothing to read.
    // Cleared by a flush (the next refresh reads what it wrote once).
    bool stamped = false;
    zaf::RingStamp pubStamp;
    zaf::RingStamp secStamp;
    // Bumped by every change of `keys` (add, replace, remove, a refresh that read something), so
    // that results worked out over the whole database can be kept while it stands still.
    uint64_t generation = 1;
    // The check results of the last read and trust calculation, and the file beside the rings
    // that keeps them for other processes (see CheckFile).
    std::shared_ptr<zaf::CheckFile> checkFile;
    // The last trust calculation: the generation and settings it saw and the time until which
    // its result holds (the next expiry of a key, subkey or certification).
    struct TrustMemo {
        uint64_t generation = 0;
        int32_t depthLimit = 0;
        int32_t completes = 0;
        int32_t marginals = 0;
        uint32_t until = 0;
    } trustMemo;

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

// Reads both rings into keys: public keys in ring order, secret-only keys after them
// (ringfile.cpp). A missing ring counts as empty. With `stamps` (two of them), also the stamps
// of the files read. With `serviceEntry`, the public ring's descriptor is passed to the
// background service first, so its results are those of the very file read; the entry it
// pinned is stored there (0 for none). With `secretRead`, the secret ring's bytes as read (null
// when there was no secret ring file).
ZAFError loadRings(const std::string& pubPath, const std::string& secPath, std::vector<KeyPtr>& out,
                   RingStamp* stamps = nullptr, uint64_t* serviceEntry = nullptr,
                   std::shared_ptr<const std::string>* secretRead = nullptr);
// Reads the public ring behind a descriptor (one the background service was passed) into keys;
// the descriptor stays the caller's.
ZAFError loadRingFromDescriptor(int fd, std::vector<KeyPtr>& out);
// A read-only database of the public ring behind `fd`, without files of its own (the background
// service's verifying process opens a client's ring this way).
ZAFError openKeyDBFromDescriptor(ZAFContextRef context, int fd, ZAFKeyDBRef* outKeyDB);
// The bytes of one ring holding `keys` (their public or their secret form).
std::string ringBytes(const std::vector<KeyPtr>& keys, bool secret);

// Signature verification of one signature object of `key` made by `signer` (found by the
// signature's issuer key ID among the signer's key and subkeys). Each result is kept on the
// object (and written into the ring as a trust packet by the next flush) and in a process-wide
// cache, so a signature is verified once.
bool verifySignature(ZAFKeyDB* db, const Key& key, const ZAFKeyDBObj& sig, const Key* signer);
// The digest a check result is bound to: the signature, the key's fingerprint, what it signs
// (`parentTag` 0 for the key itself, else the packet tag and body of the user ID or subkey) and
// the signer (its fingerprint, or its subkey packet body).
CheckDigest checkDigest(std::string_view sigBody, std::string_view keyFingerprint,
                        uint8_t parentTag, std::string_view parent, std::string_view signerID);
// What a check digest holds of a key packet: its public part (the whole body when the layout is
// not known), so that a key read from the secret ring shares the checks of its public form.
std::string_view checkedKeyPart(std::string_view keyBody);
// The hash signature `sigBody` covers over primary key `keyBody` and the user ID, attribute or
// subkey `parentBody` (tag `parentTag`, 0 for none), `sig` parsed from it; empty when the
// signature does not parse or names a hash we lack.
std::vector<uint8_t> signatureDigest(std::string_view sigBody, std::string_view keyBody,
                                     uint8_t parentTag, std::string_view parentBody,
                                     rfc4880::SigInfo& sig);
// Verifies signature `sigBody` by the key packet `signerBody` over primary key `keyBody` and
// the user ID, attribute or subkey `parentBody` (tag `parentTag`, 0 for none).
bool verifyBytes(std::string_view sigBody, std::string_view keyBody, uint8_t parentTag,
                 std::string_view parentBody, std::string_view signerBody);
// The outcome of one check. NotChecked: the check budget was spent before it could be made;
// nothing of it is kept, and a later read makes it.
enum class Check : uint8_t { Bad, Good, NotChecked };
// Looks the check up in the process-wide cache, else runs `verify` within the calling thread's
// check budget (see CheckBudget) and records its result.
Check cachedVerify(const CheckDigest& d, const std::function<bool()>& verify);
size_t cachedCheckCount();
// How many checks this process has verified (not taken from a cache) since it started.
uint64_t verificationsMade();
void clearCachedChecks(); // tests and benchmarks: measure verification from scratch
// Results the background service verified for a ring the client passed it (service_client.cpp).
void seedCachedChecks(const std::vector<std::pair<CheckDigest, bool>>& results);
// The service: every check result looked up or made while a recorder is set is appended to it.
void setCheckRecorder(std::vector<std::pair<CheckDigest, bool>>* recorder);
// Whether a key packet's public parameters are ones we compute with (check signatures by,
// import, encrypt to); see the README, "What a key may cost". Keys of algorithms we do not
// compute with pass: they are stored as they are.
bool keyParametersAcceptable(const rfc4880::KeyInfo& info);
// Verifies a raw signature over the data hashed by `sigBody`'s context.
bool verifyWithKey(std::string_view signerKeyBody, uint8_t hashAlg, const uint8_t* digest,
                   size_t digestLength, const rfc4880::SigInfo& sig);

// ---- the key model's rules (see the README, "Which signatures count") ----

// The verified self-signature that rules for user ID or attribute object `uid`, or null.
const ZAFKeyDBObj* rulingSelfSignature(const Key& k, uint32_t uid);
// The verified binding that rules for subkey object `sub`, or null.
const ZAFKeyDBObj* rulingBinding(const Key& k, uint32_t sub);
// Derives a key's state from its objects (buildKey calls it): verifies the self-signatures
// that decide, takes user IDs and subkeys without one out of the object list. False on damage.
bool analyseKey(Key& k);
// Whether the key itself is revoked (by itself or a designated revoker the database holds).
bool keyRevoked(const Key& k);
// Valid subkeys (object indexes) for encryption / signing now: bound by a verified binding
// (signing also needs a verified back signature), not revoked, not expired, usage granted.
// Empty when the key itself is revoked or expired.
std::vector<uint32_t> encryptionSubkeys(const Key& k);
std::vector<uint32_t> signingSubkeys(const Key& k);
// Whether the primary key itself is the one to encrypt to: a key of an encrypting algorithm
// that is v3 or has no valid encryption subkey (and is neither revoked nor expired).
bool primaryEncrypts(const Key& k);
// Whether the primary key may sign data: a signing algorithm, and key flags (when the ruling
// self-signatures carry them) that grant signing. A key whose primary may only certify signs
// with a subkey.
bool primarySigns(const Key& k);
// The key packet body (public part) used to check signatures made by `keyID` in `signer`
// (primary or subkey); empty when the ID is not one of the key's.
std::string_view signingKeyBody(const Key& signer, const uint8_t keyID[8], uint8_t& alg);

// What a filter asks, in the terms a key server answers: the key IDs of equality filters on the
// key ID properties of keys and subkeys (alone or joined by unions; 4 or 8 bytes each, the low
// bytes of the ID), or the text of a substring or equality filter on the user ID name. False for
// any other filter.
struct ServerQuery {
    std::vector<std::string> keyIDs;
    bool byText = false;
    std::string text;
};
bool serverQueryOf(const ZAFFilter* filter, ServerQuery& out);

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

// Decrypts (when protected) and checks the secret MPIs of a secret key packet body; `info`
// receives its public part. kZAFError_BadPassphrase for a wrong passphrase.
ZAFError unlockSecretPacket(std::string_view body, std::string_view pass,
                            Botan::secure_vector<uint8_t>& mpis, rfc4880::KeyInfo& info);

// The object identifier of a curve as a key packet stores it (the DER body without tag and
// length). Throws a Botan exception when it cannot be decoded.
Botan::OID curveOid(std::string_view raw);

} // namespace zaf

#endif
