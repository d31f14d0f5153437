// trust: what a key may cost, the data a signature covers and the digest of its check, the check
// cache and budget, and the validity calculation over the web of certifications.
#include "keyedit_internal.h"
#include "keystore/keystore.h"

#include <botan/ber_dec.h>
#include <botan/bigint.h>
#include <botan/hash.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <re2/re2.h>

namespace zaf {

namespace {

// Bounds of a trust signature's regular expression: its length and the memory its automaton
// may use.
constexpr size_t kMaxScopeExpression = 1024;
constexpr int64_t kMaxScopeMemory = 1 << 20;

// What a key's parameters may be (README, "What a key may cost"). Beyond these a single check
// costs seconds, and real keys stay far below them.
constexpr size_t kMaxRSABits = 16384;
constexpr size_t kMaxRSAExponentBits = 256;
constexpr size_t kMaxDSABits = 3072;
constexpr size_t kMaxElGamalBits = 4096;

Botan::BigInt toBig(const rfc4880::Mpi& m) {
    return Botan::BigInt(reinterpret_cast<const uint8_t*>(m.bytes.data()), m.bytes.size());
}

// 1 < x < p: a group element that is neither trivial nor outside the group.
bool insideGroup(const Botan::BigInt& x, const Botan::BigInt& p) { return x > 1 && x < p; }

} // namespace

bool keyParametersAcceptable(const rfc4880::KeyInfo& info) {
    if (!info.known)
        return true;
    const std::vector<rfc4880::Mpi>& m = info.mpis;
    if (rfc4880::isRSA(info.algorithm)) {
        if (m.size() < 2)
            return false;
        const Botan::BigInt n = toBig(m[0]), e = toBig(m[1]);
        return n.bits() <= kMaxRSABits && n.is_odd() && e.is_odd() && e >= 3 &&
               e.bits() <= kMaxRSAExponentBits && e < n;
    }
    if (rfc4880::isDSA(info.algorithm)) {
        if (m.size() < 4)
            return false;
        const Botan::BigInt p = toBig(m[0]), q = toBig(m[1]);
        const size_t qBits = q.bits();
        if (p.bits() > kMaxDSABits || (qBits != 160 && qBits != 224 && qBits != 256) ||
            p.is_even() || q.is_even())
            return false;
        // The subgroup's order divides the group's; one division, no exponentiation.
        return (p - 1) % q == 0 && insideGroup(toBig(m[2]), p) && insideGroup(toBig(m[3]), p);
    }
    if (rfc4880::isElGamal(info.algorithm)) {
        if (m.size() < 3)
            return false;
        const Botan::BigInt p = toBig(m[0]);
        return p.bits() <= kMaxElGamalBits && p.is_odd() && insideGroup(toBig(m[1]), p) &&
               insideGroup(toBig(m[2]), p);
    }
    // Elliptic curves: the crypto library knows the curve or refuses it, and checks the point.
    return true;
}

Botan::OID curveOid(std::string_view raw) {
    // Stored without the DER tag and length; the length byte allows up to 254 bytes, but an
    // identifier of more than 127 would need DER's long form and names no curve we know.
    if (raw.size() > 127)
        throw Botan::Decoding_Error("Curve identifier too long");
    std::vector<uint8_t> der(raw.size() + 2);
    der[0] = 0x06;
    der[1] = uint8_t(raw.size());
    for (size_t i = 0; i < raw.size(); ++i)
        der[i + 2] = uint8_t(raw[i]);
    Botan::OID oid;
    Botan::BER_Decoder(der).decode(oid);
    return oid;
}

std::string_view signingKeyBody(const Key& signer, const uint8_t keyID[8], uint8_t& alg) {
    for (const ZAFKeyDBObj& o : signer.objs) {
        if ((o.type == kZAFKeyDBObjType_Key || o.type == kZAFKeyDBObjType_SubKey) &&
            std::memcmp(o.keyID, keyID, 8) == 0) {
            alg = o.algorithm;
            return signer.packetBody(o.packet);
        }
    }
    return {};
}

namespace {

// Results of signature checks made in this process, by check digest. Keys are rebuilt after
// every change and a ring is read again on every refresh; the cache keeps each signature from
// being verified more than once. Bounded: when full it starts over.
constexpr size_t kMaxCachedChecks = 1u << 18;

struct DigestHash {
    size_t operator()(const CheckDigest& d) const {
        size_t v = 0;
        std::memcpy(&v, d.data(), sizeof v);
        return v;
    }
};

std::mutex gCheckMutex;
std::unordered_map<CheckDigest, bool, DigestHash> gChecks;
std::vector<std::pair<CheckDigest, bool>>* gCheckRecorder = nullptr; // guarded by gCheckMutex

// Feeds a key packet as signatures hash it: 0x99, two length bytes, the public part.
bool hashKeyPacket(Botan::HashFunction& hash, std::string_view body) {
    rfc4880::KeyInfo info;
    if (!rfc4880::parseKeyPacket(body, info, false) || info.publicLength > 0xFFFF)
        return false;
    uint8_t hdr[3] = {0x99, uint8_t(info.publicLength >> 8), uint8_t(info.publicLength)};
    hash.update(hdr, 3);
    hash.update(reinterpret_cast<const uint8_t*>(body.data()), info.publicLength);
    return true;
}

} // namespace

std::string_view checkedKeyPart(std::string_view keyBody) {
    std::string_view pub = edit::publicPart(keyBody);
    return pub.empty() ? keyBody : pub;
}

CheckDigest checkDigest(std::string_view sigBody, std::string_view keyFingerprint,
                        uint8_t parentTag, std::string_view parent, std::string_view signerID) {
    thread_local std::unique_ptr<Botan::HashFunction> hash =
        Botan::HashFunction::create_or_throw("SHA-256");
    auto feed = [&](std::string_view part) {
        uint32_t n = uint32_t(part.size());
        uint8_t len[4] = {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
        hash->update(len, 4);
        hash->update(reinterpret_cast<const uint8_t*>(part.data()), part.size());
    };
    feed(sigBody);
    feed(keyFingerprint);
    hash->update(parentTag);
    feed(parent);
    feed(signerID);
    Botan::secure_vector<uint8_t> full = hash->final();
    CheckDigest d{};
    std::memcpy(d.data(), full.data(), d.size());
    return d;
}

std::vector<uint8_t> signatureDigest(std::string_view sigBody, std::string_view keyBody,
                                     uint8_t parentTag, std::string_view parentBody,
                                     rfc4880::SigInfo& sig) {
    const char* hn = nullptr;
    if (!rfc4880::parseSignature(sigBody, sig) || (hn = rfc4880::hashName(sig.hashAlg)) == nullptr)
        return {};
    auto hash = Botan::HashFunction::create(hn);
    if (hash == nullptr || !hashKeyPacket(*hash, keyBody))
        return {};
    if (parentTag == rfc4880::kTagPublicSubkey || parentTag == rfc4880::kTagSecretSubkey) {
        if (!hashKeyPacket(*hash, parentBody))
            return {};
    } else if (parentTag == rfc4880::kTagUserID || parentTag == rfc4880::kTagUserAttribute) {
        if (sig.version == 4) {
            uint8_t tag = parentTag == rfc4880::kTagUserAttribute ? 0xD1 : 0xB4;
            uint32_t n = uint32_t(parentBody.size());
            uint8_t hdr[5] = {tag, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
            hash->update(hdr, 5);
        }
        hash->update(reinterpret_cast<const uint8_t*>(parentBody.data()), parentBody.size());
    }
    if (sig.version == 4) {
        hash->update(reinterpret_cast<const uint8_t*>(sigBody.data()), sig.hashedEnd);
        uint32_t n = uint32_t(sig.hashedEnd);
        uint8_t trailer[6] = {4,         0xFF, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8),
                              uint8_t(n)};
        hash->update(trailer, 6);
    } else {
        hash->update(reinterpret_cast<const uint8_t*>(sig.hashedV3.data()), sig.hashedV3.size());
    }
    std::vector<uint8_t> digest(hash->output_length());
    hash->final(digest.data());
    return digest;
}

bool verifyBytes(std::string_view sigBody, std::string_view keyBody, uint8_t parentTag,
                 std::string_view parentBody, std::string_view signerBody) {
    rfc4880::SigInfo sig;
    const std::vector<uint8_t> digest =
        signatureDigest(sigBody, keyBody, parentTag, parentBody, sig);
    // The two stored bytes of the hash let a damaged signature fail before the expensive part.
    if (digest.size() < 2 || digest[0] != sig.left16[0] || digest[1] != sig.left16[1])
        return false;
    return verifyWithKey(signerBody, sig.hashAlg, digest.data(), digest.size(), sig);
}

namespace {

uint64_t threadCpuNanos() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

// Two seconds, two milliseconds per key, at most twenty seconds of CPU time: the 7k corpus
// (some 16,000 deciding self-signatures, 4,900 of them DSA; about 7 s) fits twice over.
std::atomic<uint64_t> gBudgetBase{2000000000u};
std::atomic<uint64_t> gBudgetPerKey{2000000u};
std::atomic<uint64_t> gBudgetCeiling{20000000000u};

thread_local CheckBudget* tCheckBudget = nullptr;
std::atomic<uint64_t> gVerificationsMade{0};

} // namespace

CheckBudget::CheckBudget(CheckRecord* record)
    : m_limitNanos(std::min(gBudgetBase.load(), gBudgetCeiling.load())), m_record(record) {}

void CheckBudget::allowKeys(size_t keys) {
    const uint64_t ceiling = gBudgetCeiling.load();
    const uint64_t perKey = gBudgetPerKey.load();
    uint64_t limit = m_limitNanos.load();
    uint64_t raised = keys > (ceiling - std::min(limit, ceiling)) / std::max<uint64_t>(perKey, 1)
                          ? ceiling
                          : std::min(ceiling, limit + keys * perKey);
    while (raised > limit && !m_limitNanos.compare_exchange_weak(limit, raised)) {
    }
}

void CheckBudget::note(const CheckDigest& d, bool ok) {
    if (m_record == nullptr)
        return;
    std::lock_guard<std::mutex> hold(m_lock);
    m_record->emplace_back(d, ok);
}

CheckBudget* currentCheckBudget() { return tCheckBudget; }

CheckBudgetScope::CheckBudgetScope(CheckBudget* budget) : m_previous(tCheckBudget) {
    tCheckBudget = budget;
}

CheckBudgetScope::~CheckBudgetScope() { tCheckBudget = m_previous; }

uint64_t verificationsMade() { return gVerificationsMade.load(); }

CheckBudgetLimits checkBudgetLimits() {
    return {gBudgetBase.load(), gBudgetPerKey.load(), gBudgetCeiling.load()};
}

void setCheckBudgetLimits(const CheckBudgetLimits& limits) {
    gBudgetBase = limits.base;
    gBudgetPerKey = limits.perKey;
    gBudgetCeiling = limits.ceiling;
}

Check cachedVerify(const CheckDigest& d, const std::function<bool()>& verify) {
    CheckBudget* budget = tCheckBudget;
    {
        std::lock_guard<std::mutex> lock(gCheckMutex);
        auto it = gChecks.find(d);
        if (it != gChecks.end()) {
            if (gCheckRecorder != nullptr)
                gCheckRecorder->emplace_back(d, it->second);
            if (budget != nullptr)
                budget->note(d, it->second);
            return it->second ? Check::Good : Check::Bad;
        }
    }
    if (budget != nullptr && budget->spent()) {
        budget->skip();
        return Check::NotChecked;
    }
    const uint64_t started = budget != nullptr ? threadCpuNanos() : 0;
    bool ok = verify();
    ++gVerificationsMade;
    if (budget != nullptr) {
        budget->charge(threadCpuNanos() - started);
        budget->note(d, ok);
    }
    std::lock_guard<std::mutex> lock(gCheckMutex);
    if (gChecks.size() >= kMaxCachedChecks)
        gChecks.clear();
    gChecks[d] = ok;
    if (gCheckRecorder != nullptr)
        gCheckRecorder->emplace_back(d, ok);
    return ok ? Check::Good : Check::Bad;
}

void seedCachedChecks(const std::vector<std::pair<CheckDigest, bool>>& results) {
    std::lock_guard<std::mutex> lock(gCheckMutex);
    if (gChecks.size() + results.size() > kMaxCachedChecks)
        gChecks.clear();
    for (const auto& r : results) {
        if (gChecks.size() >= kMaxCachedChecks)
            break;
        gChecks.emplace(r.first, r.second);
    }
}

void setCheckRecorder(std::vector<std::pair<CheckDigest, bool>>* recorder) {
    std::lock_guard<std::mutex> lock(gCheckMutex);
    gCheckRecorder = recorder;
}

size_t cachedCheckCount() {
    std::lock_guard<std::mutex> lock(gCheckMutex);
    return gChecks.size();
}

void clearCachedChecks() {
    std::lock_guard<std::mutex> lock(gCheckMutex);
    gChecks.clear();
}

bool verifySignature(ZAFKeyDB*, const Key& key, const ZAFKeyDBObj& sigObj, const Key* signer) {
    if (signer == nullptr || sigObj.type != kZAFKeyDBObjType_Signature || !sigObj.parsed ||
        !sigObj.hasIssuer)
        return false;
    auto& obj = const_cast<ZAFKeyDBObj&>(sigObj);
    std::string_view sigBody = key.packetBody(sigObj.packet);
    const ZAFKeyDBObj* parent = sigObj.parent > 0 ? &key.objs[size_t(sigObj.parent)] : nullptr;
    uint8_t parentTag = parent ? key.packets[parent->packet].tag : 0;
    std::string_view parentBody = parent ? key.packetBody(parent->packet) : std::string_view();
    uint8_t alg = 0;
    std::string_view signerBody = signingKeyBody(*signer, sigObj.keyID, alg);
    if (signerBody.empty()) {
        obj.tried = true;
        obj.verified = false;
        return false;
    }
    // A check is bound to the signature, the key, what it signs and who signed it (the signing
    // key's fingerprint, or its public packet part when a subkey signed). Key packets count by
    // their public part, so a key read from the secret ring shares its checks.
    std::string signerID = std::memcmp(signer->keyID(), sigObj.keyID, 8) == 0
                               ? signer->fingerprintKey()
                               : std::string(checkedKeyPart(signerBody));
    bool subkeyParent =
        parentTag == rfc4880::kTagPublicSubkey || parentTag == rfc4880::kTagSecretSubkey;
    CheckDigest d = checkDigest(sigBody, key.fingerprintKey(), subkeyParent ? 14 : parentTag,
                                subkeyParent ? checkedKeyPart(parentBody) : parentBody, signerID);
    bool ok;
    if (obj.stored != 0 && std::memcmp(obj.storedDigest, d.data(), 8) == 0) {
        ok = (obj.stored & kCheckGood) != 0;
    } else {
        const Check c = cachedVerify(d, [&] {
            return verifyBytes(sigBody, key.packetBody(0), parentTag, parentBody, signerBody);
        });
        if (c == Check::NotChecked) {
            obj.tried = false;
            obj.verified = false;
            return false;
        }
        ok = c == Check::Good;
        obj.stored = ok ? kCheckGood : kCheckBad;
        std::memcpy(obj.storedDigest, d.data(), 8);
        obj.storedInBytes = false;
    }
    obj.tried = true;
    obj.verified = ok;
    return ok;
}

} // namespace zaf

using namespace zaf;

namespace {

bool keyInvalid(const Key& k) {
    ZAFBoolean revoked = 0, expired = 0;
    ZAFKeyDBObj* obj = const_cast<ZAFKeyDBObj*>(&k.objs[0]);
    ZAFGetKeyDBObjBooleanProperty(obj, kZAFKeyProperty_IsRevoked, &revoked);
    ZAFGetKeyDBObjBooleanProperty(obj, kZAFKeyProperty_IsExpired, &expired);
    return revoked || expired;
}

struct Cert {
    Key* target;
    uint32_t sig; // object index in target
};

// The scopes of trust signatures (RFC 4880 regular expressions). Expressions come from keys made
// elsewhere, so the engine is one that runs in linear time; an expression that is too long or
// does not compile matches nothing.
class Scopes {
public:
    bool matches(const std::string& expression, std::string_view userID) {
        auto it = m_compiled.find(expression);
        if (it == m_compiled.end()) {
            std::unique_ptr<RE2> re;
            if (expression.size() <= kMaxScopeExpression) {
                RE2::Options options;
                options.set_log_errors(false);
                options.set_max_mem(kMaxScopeMemory);
                re = std::make_unique<RE2>(expression, options);
                if (!re->ok())
                    re.reset();
            }
            it = m_compiled.emplace(expression, std::move(re)).first;
        }
        return it->second != nullptr &&
               RE2::PartialMatch(re2::StringPiece(userID.data(), userID.size()), *it->second);
    }

private:
    std::unordered_map<std::string, std::unique_ptr<RE2>> m_compiled;
};

// The regular expression of a trust signature, without its terminating NUL; empty when none.
std::string scopeOf(const Key& k, const ZAFKeyDBObj& sig) {
    rfc4880::SigInfo info;
    if (!rfc4880::parseSignature(k.packetBody(sig.packet), info))
        return std::string();
    std::string_view text = info.regexp;
    if (!text.empty() && text.back() == '\0')
        text.remove_suffix(1);
    return std::string(text);
}

// Works out the validity of every key of `keyDB` and returns the time until which the result
// holds: the first expiry, after now, of a key, subkey or certification.
uint32_t calculateValidity(ZAFKeyDB* keyDB, int32_t depthLimit, int32_t completes,
                           int32_t marginals) {
    if (!keyDB->indexValid)
        keyDB->reindex();
    const uint32_t t = now();
    uint64_t until = UINT32_MAX;
    auto expiresAt = [&](uint64_t when) {
        if (when > t && when < until)
            until = when;
    };
    // Certifications by issuer key ID.
    std::unordered_map<uint64_t, std::vector<Cert>> byIssuer;
    struct State {
        int32_t introducer = 0; // effective trust as an introducer
        int32_t grantDepth = 0; // how many levels a trust signature lets it introduce
        int depth = -1;         // level at which the key became valid
        int32_t completeCount = 0, marginalCount = 0;
        std::set<Key*> counted;
        bool invalid = false;
        // Expressions a user ID must match for this key's certifications to count (from
        // the trust signatures that made it an introducer).
        std::vector<std::string> scopes;
    };
    Scopes matcher;
    std::unordered_map<Key*, State> state;
    state.reserve(keyDB->keys.size());
    std::deque<Key*> queue;
    for (const KeyPtr& kp : keyDB->keys) {
        Key* k = kp.get();
        State& st = state[k];
        st.invalid = keyInvalid(*k);
        st.introducer = k->effectiveOwnerTrust();
        st.grantDepth = st.introducer >= kZAFKeyTrust_Marginal ? 8 : 0;
        if (!st.invalid && st.introducer == kZAFKeyTrust_Ultimate) {
            st.depth = 0;
            queue.push_back(k);
        }
        for (const ZAFKeyDBObj& o : k->objs) {
            if (o.expiration)
                expiresAt(o.expiration);
            if (o.type == kZAFKeyDBObjType_Signature && o.sigExpireSecs)
                expiresAt(uint64_t(o.created) + o.sigExpireSecs);
            if (o.type != kZAFKeyDBObjType_Signature || !o.parsed || !o.hasIssuer ||
                o.sigType < 0x10 || o.sigType > 0x13 || o.parent <= 0 || o.revoked)
                continue;
            if (std::memcmp(o.keyID, k->keyID(), 8) == 0)
                continue; // self-signatures certify nothing
            if (o.sigExpireSecs && uint64_t(o.created) + o.sigExpireSecs <= t)
                continue;
            byIssuer[keyIDValue(o.keyID)].push_back(Cert{k, o.index});
        }
    }
    // Trust signatures first, so that one issuer's plain certification of the same key
    // does not hide its trust signature.
    for (auto& entry : byIssuer)
        std::stable_partition(entry.second.begin(), entry.second.end(),
                              [](const Cert& c) { return c.target->objs[c.sig].trustDepth > 0; });
    while (!queue.empty()) {
        Key* issuer = queue.front();
        queue.pop_front();
        State& is = state[issuer];
        if (is.depth >= depthLimit)
            continue;
        int32_t trust = is.introducer;
        if (trust != kZAFKeyTrust_Marginal && trust != kZAFKeyTrust_Complete &&
            trust != kZAFKeyTrust_Ultimate)
            continue;
        auto it = byIssuer.find(keyIDValue(issuer->keyID()));
        if (it == byIssuer.end())
            continue;
        for (const Cert& c : it->second) {
            State& ts = state[c.target];
            if (ts.invalid || ts.depth >= 0 || ts.counted.count(issuer))
                continue;
            const ZAFKeyDBObj& sig = c.target->objs[c.sig];
            if (!is.scopes.empty()) {
                // An introducer of limited scope counts only for user IDs within it; user
                // attributes hold no text to match.
                const ZAFKeyDBObj& uid = c.target->objs[size_t(sig.parent)];
                bool text = c.target->packets[uid.packet].tag == rfc4880::kTagUserID;
                std::string_view name = text ? c.target->packetBody(uid.packet) : "";
                bool inside = text;
                for (const std::string& e : is.scopes)
                    inside = inside && matcher.matches(e, name);
                if (!inside)
                    continue;
            }
            if (!verifySignature(keyDB, *c.target, sig, issuer))
                continue;
            ts.counted.insert(issuer);
            if (trust == kZAFKeyTrust_Marginal)
                ts.marginalCount++;
            else
                ts.completeCount++;
            // A trust signature makes its target an introducer at the level it names.
            // A trust signature reaches at most its own depth, and never further than the
            // issuer's own grant allows.
            int32_t allowed = std::min<int32_t>(sig.trustDepth, is.grantDepth - 1);
            if (sig.trustDepth > 0 && allowed > 0) {
                int32_t granted = sig.trustAmount >= 120  ? kZAFKeyTrust_Complete
                                  : sig.trustAmount >= 60 ? kZAFKeyTrust_Marginal
                                                          : 0;
                if (granted > ts.introducer && ts.introducer != kZAFKeyTrust_Never) {
                    ts.introducer = granted;
                    ts.grantDepth = allowed;
                    ts.scopes = is.scopes;
                    std::string scope = scopeOf(*c.target, sig);
                    if (!scope.empty())
                        ts.scopes.push_back(std::move(scope));
                }
            }
            if (int64_t(ts.completeCount) * marginals + int64_t(ts.marginalCount) * completes >=
                int64_t(completes) * marginals) {
                ts.depth = is.depth + 1;
                queue.push_back(c.target);
            }
        }
    }
    for (const KeyPtr& kp : keyDB->keys) {
        State& st = state[kp.get()];
        kp->validity = st.invalid                                ? kZAFValidity_Invalid
                       : st.depth >= 0                           ? kZAFValidity_Complete
                       : st.completeCount + st.marginalCount > 0 ? kZAFValidity_Marginal
                                                                 : kZAFValidity_Unknown;
    }
    return uint32_t(until);
}

} // namespace

extern "C" ZAFError ZAFCalculateTrust(ZAFKeySetRef keySet, ZAFKeyDBRef keyDB) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidSet(keySet) || !isValidDB(keyDB))
            return kZAFError_InvalidHandle;
        int32_t depthLimit = envInt(keyDB->context, kZAFEnv_CertDepth, 4);
        int32_t completes = envInt(keyDB->context, kZAFEnv_CompletesNeeded, 1);
        int32_t marginals = envInt(keyDB->context, kZAFEnv_MarginalsNeeded, 2);
        depthLimit = depthLimit < 0 ? 0 : depthLimit > 8 ? 8 : depthLimit;
        completes = completes < 1 ? 1 : completes > 16 ? 16 : completes;
        marginals = marginals < 1 ? 1 : marginals > 16 ? 16 : marginals;
        // The validities worked out last still hold while the database, the settings and
        // every expiry they depended on stand still.
        ZAFKeyDB::TrustMemo& memo = keyDB->trustMemo;
        if (memo.generation != keyDB->generation || memo.depthLimit != depthLimit ||
            memo.completes != completes || memo.marginals != marginals || now() >= memo.until) {
            memo.generation = 0;
            CheckRecord record;
            CheckBudget budget(&record);
            budget.allowKeys(keyDB->keys.size());
            uint32_t until;
            {
                CheckBudgetScope scope(&budget);
                until = calculateValidity(keyDB, depthLimit, completes, marginals);
            }
            // Certifications the budget left unchecked did not count: the next call works the
            // validities out again rather than keep this result.
            memo = {budget.skipped() != 0 ? 0 : keyDB->generation, depthLimit, completes, marginals,
                    until};
            if (keyDB->checkFile)
                keyDB->checkFile->update(std::move(record), true);
        }
        // Keys of the set that live elsewhere (stale copies) take the validity of the current one.
        for (const KeyPtr& kp : keySet->list()) {
            Key* cur = keyDB->findByFingerprint(kp->fingerprintKey());
            if (cur && cur != kp.get())
                kp->validity = cur->validity;
        }
        return kZAFError_NoErr;
    });
}

extern "C" ZAFError ZAFKeyDBChecksComplete(ZAFKeyDBRef keyDB, ZAFBoolean* outComplete) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidDB(keyDB))
            return kZAFError_InvalidHandle;
        if (outComplete == nullptr)
            return kZAFError_BadParams;
        bool complete = keyDB->trustMemo.generation == keyDB->generation;
        for (const KeyPtr& kp : keyDB->keys)
            complete = complete && !kp->unchecked;
        *outComplete = complete ? 1 : 0;
        return kZAFError_NoErr;
    });
}
