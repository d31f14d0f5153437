// keytree: keys from their bytes. Splitting a ring into keys and building each (its objects, then
// the analysis of which signatures count), the tree form used for merging and editing, merging
// two versions of a key, and the local trust packets a key carries (dropped from keys that come
// from outside, check results written in for the public ring).
#include "keystore_internal.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <sched.h>
#include <thread>

namespace zaf {

int32_t Key::effectiveOwnerTrust() const {
    if (ownerTrust >= 0)
        return ownerTrust;
    return hasSecret() ? kZAFKeyTrust_Ultimate : kZAFKeyTrust_Undefined;
}

KeyPtr baseOf(const KeyPtr& k) { return k->onDisk ? k : k->base; }

namespace {

// A check trust packet: "ZV", the kCheck... status, 8 bytes of the check digest.
constexpr size_t kCheckPacketBody = 11;

bool isCheckBody(std::string_view body) {
    return body.size() == kCheckPacketBody && body[0] == 'Z' && body[1] == 'V';
}

void readCheckPacket(std::string_view body, ZAFKeyDBObj& sig) {
    if (!isCheckBody(body) || (uint8_t(body[2]) & (kCheckGood | kCheckBad)) == 0)
        return;
    sig.stored = uint8_t(body[2]);
    std::memcpy(sig.storedDigest, body.data() + 3, 8);
    sig.storedInBytes = true;
}

} // namespace

KeyPtr buildKey(std::shared_ptr<const std::string> pubStore, size_t pubOffset, size_t pubLength,
                std::shared_ptr<const std::string> secStore, size_t secOffset, size_t secLength,
                bool storedChecks) {
    DefaultCheckBudget budget; // keys built outside a read (edits, merges) are bounded too
    auto k = std::make_shared<Key>();
    k->pubStore = std::move(pubStore);
    k->pubOffset = pubOffset;
    k->pubLength = pubLength;
    k->secStore = std::move(secStore);
    k->secOffset = secOffset;
    k->secLength = secLength;
    std::string_view bytes = k->mainBytes();
    if (bytes.empty() || bytes.size() > 0xFFFFFFFFu)
        return nullptr;
    const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
    std::string scratch;
    size_t pos = 0;
    int32_t current = 0;
    while (pos < bytes.size()) {
        rfc4880::RawPacket rp;
        if (!rfc4880::readPacket(data, bytes.size(), pos, rp, scratch) || rp.partial)
            return nullptr;
        if (k->packets.size() >= kMaxPacketsPerKey)
            return nullptr;
        PacketRef ref;
        ref.offset = uint32_t(pos);
        ref.total = uint32_t(rp.total);
        ref.bodyOffset = uint32_t(rp.body.data() - bytes.data());
        ref.bodyLength = uint32_t(rp.body.size());
        ref.tag = rp.tag;
        uint32_t pi = uint32_t(k->packets.size());
        k->packets.push_back(ref);
        pos += rp.total;
        if (pi == 0) {
            if (!isPrimaryTag(rp.tag))
                return nullptr;
            ZAFKeyDBObj o;
            o.type = kZAFKeyDBObjType_Key;
            o.packet = 0;
            k->objs.push_back(o);
            continue;
        }
        ZAFKeyDBObj o;
        o.packet = pi;
        if (isPrimaryTag(rp.tag))
            return nullptr;
        if (isUserTag(rp.tag) || isSubkeyTag(rp.tag)) {
            o.type = isUserTag(rp.tag) ? kZAFKeyDBObjType_UserID : kZAFKeyDBObjType_SubKey;
            o.parent = 0;
            current = int32_t(k->objs.size());
        } else if (rp.tag == rfc4880::kTagSignature) {
            o.type = kZAFKeyDBObjType_Signature;
            o.parent = current;
        } else {
            if (rp.tag == rfc4880::kTagTrust && pi == 1 && rp.body.size() >= 1) {
                k->ownerTrust = uint8_t(rp.body[0]) & 7;
                k->disabled = (uint8_t(rp.body[0]) & 0x20) != 0;
            } else if (rp.tag == rfc4880::kTagTrust && storedChecks && !k->objs.empty() &&
                       k->objs.back().packet == pi - 1 &&
                       k->objs.back().type == kZAFKeyDBObjType_Signature) {
                readCheckPacket(rp.body, k->objs.back());
            }
            continue; // trust and unknown packets stay in the bytes without an object
        }
        k->objs.push_back(o);
    }
    for (size_t i = 0; i < k->objs.size(); ++i) {
        k->objs[i].index = uint32_t(i);
        k->objs[i].key = k.get();
    }
    if (!analyseKey(*k))
        return nullptr;
    return k;
}

KeyPtr buildKeyFromStrings(std::string pub, std::string sec, bool storedChecks) {
    size_t pl = pub.size(), sl = sec.size();
    std::shared_ptr<const std::string> ps =
        pl ? std::make_shared<const std::string>(std::move(pub)) : nullptr;
    std::shared_ptr<const std::string> ss =
        sl ? std::make_shared<const std::string>(std::move(sec)) : nullptr;
    return buildKey(ps, 0, pl, ss, 0, sl, storedChecks);
}

namespace {

// Keys are built (and their self-signatures verified) by every core when there are many:
// verifying is what costs when a ring is read for the first time.
constexpr size_t kKeysPerThread = 64;
constexpr unsigned kMaxBuildThreads = 64;

std::atomic<unsigned> gBuildThreads{0}; // 0: every core

unsigned coresAvailable() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return unsigned(CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

void buildInParallel(size_t count, const std::function<void(size_t)>& build) {
    unsigned threads = std::min(kMaxBuildThreads, keyBuildThreads());
    if (count < 2 * kKeysPerThread || threads < 2) {
        for (size_t i = 0; i < count; ++i)
            build(i);
        return;
    }
    threads = unsigned(std::min<size_t>(threads, count / kKeysPerThread));
    // The helpers check within the caller's budget.
    CheckBudget* budget = currentCheckBudget();
    std::atomic<size_t> next{0};
    std::exception_ptr failure;
    std::mutex failureMutex;
    auto work = [&] {
        CheckBudgetScope scope(budget);
        try {
            for (size_t i; (i = next.fetch_add(1)) < count;)
                build(i);
        } catch (...) {
            std::lock_guard<std::mutex> lock(failureMutex);
            failure = std::current_exception();
            next = count;
        }
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < threads; ++t)
        pool.emplace_back(work);
    work();
    for (std::thread& t : pool)
        t.join();
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace

unsigned keyBuildThreads() {
    const unsigned set = gBuildThreads.load();
    return set != 0 ? set : coresAvailable();
}

void setKeyBuildThreads(unsigned threads) { gBuildThreads = threads; }

bool parseKeys(const std::shared_ptr<const std::string>& store, bool secret, bool strict,
               std::vector<KeyPtr>& out, std::vector<std::string>* loose, bool storedChecks) {
    const std::string& s = *store;
    const uint8_t* data = reinterpret_cast<const uint8_t*>(s.data());
    std::string scratch;
    size_t pos = 0;
    size_t keyStart = std::string::npos;
    // First the extent of every key, then the keys.
    std::vector<std::pair<size_t, size_t>> extents;
    auto finish = [&](size_t end) {
        if (keyStart != std::string::npos)
            extents.emplace_back(keyStart, end);
        keyStart = std::string::npos;
    };
    while (pos < s.size()) {
        rfc4880::RawPacket rp;
        if (!rfc4880::readPacket(data, s.size(), pos, rp, scratch)) {
            if (strict)
                return false;
            break; // lenient: what came before the damage is kept
        }
        if (isPrimaryTag(rp.tag)) {
            finish(pos);
            keyStart = pos;
        } else if (keyStart == std::string::npos) {
            if (strict)
                return false;
            if (loose && rp.tag == rfc4880::kTagSignature)
                loose->emplace_back(s.substr(pos, rp.total));
        }
        pos += rp.total;
    }
    finish(pos);
    if (CheckBudget* budget = currentCheckBudget())
        budget->allowKeys(extents.size());
    std::vector<KeyPtr> built(extents.size());
    buildInParallel(extents.size(), [&](size_t i) {
        size_t start = extents[i].first, length = extents[i].second - start;
        built[i] = secret ? buildKey(nullptr, 0, 0, store, start, length, false)
                          : buildKey(store, start, length, nullptr, 0, 0, storedChecks);
    });
    for (KeyPtr& k : built) {
        if (!k) {
            if (strict)
                return false;
            continue;
        }
        out.push_back(std::move(k));
    }
    return true;
}

// ---- tree form ----

bool TKTree::parse(std::string_view bytes) {
    primary.clear();
    follow.clear();
    comps.clear();
    const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
    std::string scratch;
    size_t pos = 0;
    bool first = true;
    while (pos < bytes.size()) {
        rfc4880::RawPacket rp;
        if (!rfc4880::readPacket(data, bytes.size(), pos, rp, scratch))
            return false;
        std::string raw(bytes.substr(pos, rp.total));
        pos += rp.total;
        if (first) {
            if (!isPrimaryTag(rp.tag))
                return false;
            primary = std::move(raw);
            first = false;
        } else if (isUserTag(rp.tag) || isSubkeyTag(rp.tag)) {
            Component c;
            c.tag = rp.tag;
            c.head = std::move(raw);
            comps.push_back(std::move(c));
        } else if (comps.empty()) {
            follow.push_back(std::move(raw));
        } else {
            comps.back().follow.push_back(std::move(raw));
        }
    }
    return !first;
}

std::string TKTree::serialize() const {
    std::string out = primary;
    for (const auto& f : follow)
        out += f;
    for (const auto& c : comps) {
        out += c.head;
        for (const auto& f : c.follow)
            out += f;
    }
    return out;
}

// Identity of a component: the user ID bytes, or the subkey's fingerprint.
std::string componentIdentity(const TKTree::Component& c) {
    std::string_view body = rfc4880::rawBody(c.head);
    if (isSubkeyTag(c.tag)) {
        rfc4880::KeyInfo info;
        if (rfc4880::parseKeyPacket(body, info))
            return "S" + std::string(reinterpret_cast<const char*>(info.fingerprint),
                                     info.fingerprintLength);
    }
    return (isUserTag(c.tag) ? "U" : "?") + std::string(1, char(c.tag)) + std::string(body);
}

namespace {

bool addMissing(std::vector<std::string>& into, const std::vector<std::string>& from) {
    bool changed = false;
    for (const auto& p : from) {
        if (rfc4880::rawTag(p) == rfc4880::kTagTrust)
            continue;
        std::string_view body = rfc4880::rawBody(p);
        bool have = false;
        for (const auto& q : into)
            if (rfc4880::rawTag(q) == rfc4880::rawTag(p) && rfc4880::rawBody(q) == body) {
                have = true;
                break;
            }
        if (!have) {
            into.push_back(p);
            changed = true;
        }
    }
    return changed;
}

} // namespace

bool mergeTrees(TKTree& base, const TKTree& incoming) {
    bool changed = addMissing(base.follow, incoming.follow);
    // A key may carry the same user ID or subkey twice; a packet found under any of the copies
    // is present.
    std::unordered_map<std::string, std::vector<size_t>> index;
    auto reindex = [&] {
        index.clear();
        for (size_t i = 0; i < base.comps.size(); ++i)
            index[componentIdentity(base.comps[i])].push_back(i);
    };
    reindex();
    for (const auto& c : incoming.comps) {
        auto it = index.find(componentIdentity(c));
        if (it != index.end()) {
            for (const auto& p : c.follow) {
                if (rfc4880::rawTag(p) == rfc4880::kTagTrust)
                    continue;
                std::string_view body = rfc4880::rawBody(p);
                bool have = false;
                for (size_t at : it->second)
                    for (const auto& q : base.comps[at].follow)
                        have = have || (rfc4880::rawTag(q) == rfc4880::rawTag(p) &&
                                        rfc4880::rawBody(q) == body);
                if (!have) {
                    base.comps[it->second.front()].follow.push_back(p);
                    changed = true;
                }
            }
            continue;
        }
        TKTree::Component nc;
        nc.tag = c.tag;
        nc.head = c.head;
        for (const auto& f : c.follow)
            if (rfc4880::rawTag(f) != rfc4880::kTagTrust)
                nc.follow.push_back(f);
        size_t at = base.comps.size();
        if (isUserTag(c.tag)) {
            for (size_t i = 0; i < base.comps.size(); ++i)
                if (isSubkeyTag(base.comps[i].tag)) {
                    at = i;
                    break;
                }
        }
        base.comps.insert(base.comps.begin() + long(at), std::move(nc));
        reindex();
        changed = true;
    }
    return changed;
}

// Merges two versions of one key; returns null when nothing would change.
KeyPtr mergeKeys(const Key& base, const Key& incoming) {
    std::string pub(base.pubBytes()), sec(base.secBytes());
    bool changed = false;
    if (incoming.pubLength) {
        if (pub.empty()) {
            pub = std::string(incoming.pubBytes());
            changed = true;
        } else {
            TKTree a, b;
            if (a.parse(pub) && b.parse(incoming.pubBytes()) && mergeTrees(a, b)) {
                pub = a.serialize();
                changed = true;
            }
        }
    }
    if (incoming.secLength) {
        if (sec.empty()) {
            sec = std::string(incoming.secBytes());
            changed = true;
        } else {
            TKTree a, b;
            if (a.parse(sec) && b.parse(incoming.secBytes()) && mergeTrees(a, b)) {
                sec = a.serialize();
                changed = true;
            }
        }
    }
    if (!changed)
        return nullptr;
    return buildKeyFromStrings(std::move(pub), std::move(sec));
}

// Keys read from elsewhere lose their local trust packets before they join a database.
KeyPtr withoutTrust(const KeyPtr& k) {
    bool any = false;
    for (const PacketRef& p : k->packets)
        any = any || p.tag == rfc4880::kTagTrust;
    if (!any)
        return k;
    TKTree t;
    if (!t.parse(k->pubLength ? k->pubBytes() : k->secBytes()))
        return k;
    auto strip = [](std::vector<std::string>& v) {
        std::vector<std::string> kept;
        for (auto& p : v)
            if (rfc4880::rawTag(p) != rfc4880::kTagTrust)
                kept.push_back(std::move(p));
        v.swap(kept);
    };
    strip(t.follow);
    for (auto& c : t.comps)
        strip(c.follow);
    KeyPtr r = k->pubLength ? buildKeyFromStrings(t.serialize(), std::string(k->secBytes()))
                            : buildKeyFromStrings(std::string(), t.serialize());
    return r ? r : k;
}

// The key with every known check result in a trust packet after its signature, so that the
// ring opens next time without verifying again. Public ring only: the secret ring is exported
// as stored.
KeyPtr withChecks(const KeyPtr& k) {
    if (!k->pubLength)
        return k;
    std::vector<const ZAFKeyDBObj*> sigAt(k->packets.size(), nullptr);
    bool needed = false;
    for (const ZAFKeyDBObj& o : k->objs)
        if (o.type == kZAFKeyDBObjType_Signature && o.stored != 0) {
            sigAt[o.packet] = &o;
            needed = needed || !o.storedInBytes;
        }
    if (!needed)
        return k;
    std::string out;
    out.reserve(k->pubLength + k->objs.size() * 13);
    for (size_t p = 0; p < k->packets.size(); ++p) {
        if (p > 0 && sigAt[p - 1] && k->packets[p].tag == rfc4880::kTagTrust &&
            isCheckBody(k->packetBody(uint32_t(p))))
            continue; // written anew below
        out.append(k->packetBytes(uint32_t(p)));
        if (const ZAFKeyDBObj* o = sigAt[p]) {
            std::string body = "ZV";
            body.push_back(char(o->stored));
            body.append(reinterpret_cast<const char*>(o->storedDigest), 8);
            rfc4880::writePacket(out, rfc4880::kTagTrust, body);
        }
    }
    KeyPtr nk = buildKeyFromStrings(std::move(out), std::string(k->secBytes()));
    if (!nk)
        return k;
    nk->validity = k->validity;
    return nk;
}

} // namespace zaf
