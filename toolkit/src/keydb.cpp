// keydb: key ring parsing, the key database, its flush with merge, copy and delete.
#include "keystore_internal.h"

#include <botan/exceptn.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace zaf {

int (*gFlushBeforeRenameHook)(const char*) = nullptr;

uint64_t keyIDValue(const uint8_t id[8]) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | id[i];
    return v;
}

bool isValidDB(const ZAFKeyDB* db) { return db != nullptr && db->magic == kKeyDBMagic; }
bool isValidSet(const ZAFKeySet* set) {
    return set != nullptr && set->magic == kKeySetMagic && isValidDB(set->db);
}
bool isValidObj(const ZAFKeyDBObj* obj) {
    return obj != nullptr && obj->magic == kObjMagic && obj->key != nullptr;
}
bool isValidCtx(const ZAFContext* ctx) { return isValidContext(ctx); }

int32_t envInt(const ZAFContext* ctx, int32_t selector, int32_t fallback) {
    if (!isValidCtx(ctx))
        return fallback;
    auto it = ctx->environment.entries.find(selector);
    if (it == ctx->environment.entries.end() || it->second.isString)
        return fallback;
    return it->second.intValue;
}

std::string envString(const ZAFContext* ctx, int32_t selector) {
    if (!isValidCtx(ctx))
        return std::string();
    auto it = ctx->environment.entries.find(selector);
    if (it == ctx->environment.entries.end() || !it->second.isString)
        return std::string();
    return it->second.stringValue;
}

uint32_t now() { return uint32_t(std::time(nullptr)); }

ZAFError storeGuard(const std::function<ZAFError()>& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return kZAFError_OutOfMemory;
    } catch (const Botan::Exception&) {
        return kZAFError_CorruptData;
    } catch (const std::exception&) {
        return kZAFError_Internal;
    }
}

ZAFError readFile(const std::string& path, std::string& out, bool missingOk) {
    out.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT && missingOk)
            return kZAFError_NoErr;
        return errno == ENOENT   ? kZAFError_FileNotFound
               : errno == EACCES ? kZAFError_FilePermissions
                                 : kZAFError_FileOpenFailed;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || size_t(st.st_size) > kMaxRingBytes) {
        ::close(fd);
        return kZAFError_ReadFailed;
    }
    out.resize(size_t(st.st_size));
    size_t got = 0;
    while (got < out.size()) {
        ssize_t n = ::read(fd, &out[got], out.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    ::close(fd);
    out.resize(got);
    return kZAFError_NoErr;
}

namespace {

// Writes to a temporary file beside `path`; returns its name in `tmp`.
ZAFError writeTemp(const std::string& path, const std::string& data, unsigned mode,
                   std::string& tmp) {
    tmp = path + ".tmpXXXXXX";
    int fd = ::mkstemp(&tmp[0]);
    if (fd < 0)
        return errno == EACCES ? kZAFError_FilePermissions : kZAFError_FileOpenFailed;
    bool ok = ::fchmod(fd, mode_t(mode)) == 0;
    size_t done = 0;
    while (ok && done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += size_t(n);
    }
    if (ok && ::fsync(fd) != 0)
        ok = false;
    if (::close(fd) != 0)
        ok = false;
    if (!ok) {
        ::unlink(tmp.c_str());
        return kZAFError_WriteFailed;
    }
    return kZAFError_NoErr;
}

void syncDirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

ZAFError writeFileAtomic(const std::string& path, const std::string& data, unsigned mode) {
    std::string tmp;
    ZAFError err = writeTemp(path, data, mode, tmp);
    if (err != kZAFError_NoErr)
        return err;
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return kZAFError_WriteFailed;
    }
    syncDirectoryOf(path);
    return kZAFError_NoErr;
}

int32_t Key::effectiveOwnerTrust() const {
    if (ownerTrust >= 0)
        return ownerTrust;
    return hasSecret() ? kZAFKeyTrust_Ultimate : kZAFKeyTrust_Undefined;
}

KeyPtr baseOf(const KeyPtr& k) { return k->onDisk ? k : k->base; }

namespace {

bool isPrimaryTag(uint8_t tag) {
    return tag == rfc4880::kTagPublicKey || tag == rfc4880::kTagSecretKey;
}
bool isSubkeyTag(uint8_t tag) {
    return tag == rfc4880::kTagPublicSubkey || tag == rfc4880::kTagSecretSubkey;
}
bool isUserTag(uint8_t tag) {
    return tag == rfc4880::kTagUserID || tag == rfc4880::kTagUserAttribute;
}

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

// Keys are built (and their self-signatures verified) by a few threads at once when there are
// many: verifying is what costs when a ring is read for the first time.
constexpr size_t kKeysPerThread = 64;
constexpr unsigned kMaxBuildThreads = 4;

void buildInParallel(size_t count, const std::function<void(size_t)>& build) {
    unsigned threads = std::min<unsigned>(kMaxBuildThreads, std::thread::hardware_concurrency());
    if (count < 2 * kKeysPerThread || threads < 2) {
        for (size_t i = 0; i < count; ++i)
            build(i);
        return;
    }
    std::atomic<size_t> next{0};
    std::exception_ptr failure;
    std::mutex failureMutex;
    auto work = [&] {
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

namespace {

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

// Reads both rings into keys: public keys in ring order, secret-only keys after them.
ZAFError loadRings(const std::string& pubPath, const std::string& secPath,
                   std::vector<KeyPtr>& out) {
    std::string pubData, secData;
    ZAFError err = readFile(pubPath, pubData, true);
    if (err != kZAFError_NoErr)
        return err;
    if (!secPath.empty()) {
        err = readFile(secPath, secData, true);
        if (err != kZAFError_NoErr)
            return err;
    }
    auto pubStore = std::make_shared<const std::string>(std::move(pubData));
    auto secStore = std::make_shared<const std::string>(std::move(secData));
    std::vector<KeyPtr> pubKeys;
    if (!parseKeys(pubStore, false, true, pubKeys, nullptr, true))
        return kZAFError_CorruptData;
    std::unordered_map<std::string, size_t> index;
    index.reserve(pubKeys.size());
    for (size_t i = 0; i < pubKeys.size(); ++i)
        index.emplace(pubKeys[i]->fingerprintKey(), i);
    out = std::move(pubKeys);
    // The secret ring is only framed here; its keys are built in full only when the public ring
    // lacks them, which keeps the peak memory of opening big rings down.
    const std::string& sec = *secStore;
    const uint8_t* data = reinterpret_cast<const uint8_t*>(sec.data());
    std::string scratch;
    size_t pos = 0, start = 0;
    std::string fpr;
    auto finish = [&](size_t end) -> bool {
        if (end == start)
            return true;
        auto it = index.find(fpr);
        if (it != index.end()) {
            Key& pk = *out[it->second];
            if (pk.secLength == 0) { // a second secret copy of the same key: the first counts
                pk.secStore = secStore;
                pk.secOffset = start;
                pk.secLength = end - start;
            }
            return true;
        }
        KeyPtr k = buildKey(nullptr, 0, 0, secStore, start, end - start, false);
        if (!k)
            return false;
        index.emplace(fpr, out.size());
        out.push_back(std::move(k));
        return true;
    };
    while (pos < sec.size()) {
        rfc4880::RawPacket rp;
        if (!rfc4880::readPacket(data, sec.size(), pos, rp, scratch) || rp.partial)
            return kZAFError_CorruptData;
        if (isPrimaryTag(rp.tag)) {
            if (!finish(pos))
                return kZAFError_CorruptData;
            rfc4880::KeyInfo info;
            if (!rfc4880::parseKeyPacket(rp.body, info))
                return kZAFError_CorruptData;
            fpr.assign(reinterpret_cast<const char*>(info.fingerprint), info.fingerprintLength);
            start = pos;
        } else if (pos == 0) {
            return kZAFError_CorruptData;
        }
        pos += rp.total;
    }
    if (!finish(pos))
        return kZAFError_CorruptData;
    return kZAFError_NoErr;
}

std::string keyLabel(const Key& k) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out = "0x";
    for (int i = 4; i < 8; ++i) {
        out += hex[k.keyID()[i] >> 4];
        out += hex[k.keyID()[i] & 15];
    }
    return out;
}

// Lays this handle's changes over `disk` with the three-way merge: keys it removed go, keys it
// added come, keys it changed are merged from the version it started from. `diskVersions`
// (may be null) receives the disk's version of every key.
void applyJournal(ZAFKeyDB* db, std::vector<KeyPtr>& disk,
                  std::unordered_map<std::string, KeyPtr>* diskVersions) {
    std::vector<std::string> warnings;
    std::unordered_map<std::string, size_t> index;
    for (size_t i = 0; i < disk.size(); ++i) {
        index.emplace(disk[i]->fingerprintKey(), i);
        if (diskVersions)
            diskVersions->emplace(disk[i]->fingerprintKey(), disk[i]);
    }
    std::vector<bool> gone(disk.size(), false);
    for (const auto& r : db->removed) {
        auto it = index.find(r.first);
        if (it == index.end())
            continue;
        const Key& d = *disk[it->second];
        if (r.second)
            mergeThreeWay(r.second->mainBytes(), std::string_view(), d.mainBytes(), keyLabel(d),
                          warnings);
        gone[it->second] = true;
    }
    std::vector<KeyPtr> appended;
    for (const KeyPtr& k : db->keys) {
        std::string fpr = k->fingerprintKey();
        if (!db->changed.count(fpr))
            continue;
        KeyPtr b = baseOf(k);
        auto it = index.find(fpr);
        if (it == index.end()) {
            if (b)
                mergeThreeWay(b->mainBytes(), k->mainBytes(), std::string_view(), keyLabel(*k),
                              warnings);
            else
                appended.push_back(k);
            continue;
        }
        KeyPtr& d = disk[it->second];
        if (b && d->pubBytes() == b->pubBytes() && d->secBytes() == b->secBytes()) {
            d = k; // nobody else changed it
            continue;
        }
        std::string_view none;
        std::string pub = mergeThreeWay(b ? b->pubBytes() : none, k->pubBytes(), d->pubBytes(),
                                        keyLabel(*k), warnings);
        std::string sec = mergeThreeWay(b ? b->secBytes() : none, k->secBytes(), d->secBytes(),
                                        keyLabel(*k), warnings);
        if (pub.empty() && sec.empty()) {
            gone[it->second] = true;
            continue;
        }
        if (pub == d->pubBytes() && sec == d->secBytes())
            continue;
        KeyPtr m = buildKeyFromStrings(std::move(pub), std::move(sec));
        d = m ? m : k;
    }
    std::vector<KeyPtr> result;
    result.reserve(disk.size() + appended.size());
    for (size_t i = 0; i < disk.size(); ++i)
        if (!gone[i])
            result.push_back(std::move(disk[i]));
    for (auto& k : appended)
        result.push_back(std::move(k));
    disk.swap(result);
    // Both rings name the same conflict; it is told once.
    db->mergeWarnings.clear();
    for (std::string& w : warnings)
        if (std::find(db->mergeWarnings.begin(), db->mergeWarnings.end(), w) ==
            db->mergeWarnings.end())
            db->mergeWarnings.push_back(std::move(w));
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

// Makes `fresh` the database's content, keeping Key objects whose bytes did not change.
void adopt(ZAFKeyDB* db, std::vector<KeyPtr>& fresh, bool keepJournal) {
    std::unordered_map<std::string, KeyPtr> old;
    for (const KeyPtr& k : db->keys)
        old.emplace(k->fingerprintKey(), k);
    std::vector<bool> reused(fresh.size(), false);
    size_t reusedCount = 0;
    for (size_t i = 0; i < fresh.size(); ++i) {
        KeyPtr& k = fresh[i];
        auto it = old.find(k->fingerprintKey());
        if (it != old.end() && it->second != k && it->second->pubBytes() == k->pubBytes() &&
            it->second->secBytes() == k->secBytes()) {
            k = it->second; // unchanged: handles given out stay the same
            reused[i] = true;
            ++reusedCount;
        }
    }
    if (reusedCount > 0) {
        // The few keys that did change would otherwise keep the whole new ring buffer alive
        // next to the old one; they get their own bytes instead.
        for (size_t i = 0; i < fresh.size(); ++i) {
            KeyPtr& k = fresh[i];
            bool bigPub = k->pubLength && k->pubStore->size() > 2 * k->pubLength;
            bool bigSec = k->secLength && k->secStore->size() > 2 * k->secLength;
            if (reused[i] || !(bigPub || bigSec))
                continue;
            KeyPtr own =
                buildKeyFromStrings(std::string(k->pubBytes()), std::string(k->secBytes()));
            if (own) {
                own->validity = k->validity;
                k = own;
            }
        }
    }
    std::set<Key*> kept;
    for (const KeyPtr& k : fresh)
        kept.insert(k.get());
    for (const KeyPtr& k : db->keys)
        if (!kept.count(k.get()))
            db->retired.push_back(k);
    db->keys.swap(fresh);
    for (const KeyPtr& k : db->keys)
        k->owner = db;
    if (!keepJournal) {
        db->changed.clear();
        db->removed.clear();
        for (const KeyPtr& k : db->keys) {
            k->onDisk = true;
            k->base = nullptr;
        }
    }
    db->indexValid = false;
}

class RingLock {
public:
    // Locks the public ring file; retries when the file was replaced between open and lock.
    ZAFError acquire(const std::string& path) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
            if (m_fd < 0)
                return errno == EACCES ? kZAFError_FilePermissions : kZAFError_FileOpenFailed;
            while (::flock(m_fd, LOCK_EX) != 0) {
                if (errno != EINTR) {
                    release();
                    return kZAFError_FileLocked;
                }
            }
            struct stat a, b;
            if (::fstat(m_fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
                a.st_dev == b.st_dev)
                return kZAFError_NoErr;
            release();
        }
        return kZAFError_FileLocked;
    }
    void release() {
        if (m_fd >= 0) {
            ::flock(m_fd, LOCK_UN);
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~RingLock() { release(); }

private:
    int m_fd = -1;
};

std::string ringBytes(const std::vector<KeyPtr>& keys, bool secret) {
    size_t total = 0;
    for (const KeyPtr& k : keys)
        total += secret ? k->secLength : k->pubLength;
    std::string out;
    out.reserve(total);
    for (const KeyPtr& k : keys)
        out.append(secret ? k->secBytes() : k->pubBytes());
    return out;
}

ZAFError flushLocked(ZAFKeyDB* db) {
    std::vector<KeyPtr> disk;
    ZAFError err = loadRings(db->pubPath, db->secPath, disk);
    if (err != kZAFError_NoErr)
        return err;
    applyJournal(db, disk, nullptr);
    // Keys this handle holds unchanged carry its check results (certifications checked by a
    // trust calculation, say); they are written with them.
    std::unordered_map<std::string, KeyPtr> mine;
    for (const KeyPtr& k : db->keys)
        mine.emplace(k->fingerprintKey(), k);
    for (KeyPtr& k : disk) {
        auto it = mine.find(k->fingerprintKey());
        if (it != mine.end() && it->second != k && it->second->pubBytes() == k->pubBytes() &&
            it->second->secBytes() == k->secBytes())
            k = it->second;
        k = withChecks(k);
    }
    std::string pub = ringBytes(disk, false);
    std::string sec = ringBytes(disk, true);
    std::string pubTmp, secTmp;
    err = writeTemp(db->pubPath, pub, 0644, pubTmp);
    if (err != kZAFError_NoErr)
        return err;
    if (!db->secPath.empty()) {
        err = writeTemp(db->secPath, sec, 0600, secTmp);
        if (err != kZAFError_NoErr) {
            ::unlink(pubTmp.c_str());
            return err;
        }
    }
    if (gFlushBeforeRenameHook && gFlushBeforeRenameHook(db->pubPath.c_str()) != 0) {
        ::unlink(pubTmp.c_str());
        if (!secTmp.empty())
            ::unlink(secTmp.c_str());
        return kZAFError_WriteFailed;
    }
    // The secret ring goes first: a crash in between leaves a public ring without the newest
    // keys, never a secret key that the public ring does not list.
    if (!secTmp.empty() && ::rename(secTmp.c_str(), db->secPath.c_str()) != 0) {
        ::unlink(pubTmp.c_str());
        ::unlink(secTmp.c_str());
        return kZAFError_WriteFailed;
    }
    if (::rename(pubTmp.c_str(), db->pubPath.c_str()) != 0) {
        ::unlink(pubTmp.c_str());
        return kZAFError_WriteFailed;
    }
    syncDirectoryOf(db->pubPath);
    adopt(db, disk, false);
    return kZAFError_NoErr;
}

} // namespace

} // namespace zaf

using namespace zaf;

const std::vector<KeyPtr>& ZAFKeySet::list() const { return isRoot ? db->keys : keys; }

void ZAFKeyDB::reindex() {
    byKeyID.clear();
    byFingerprint.clear();
    byKeyID.reserve(keys.size() * 2);
    byFingerprint.reserve(keys.size());
    for (const KeyPtr& k : keys) {
        byFingerprint.emplace(k->fingerprintKey(), k.get());
        for (const ZAFKeyDBObj& o : k->objs)
            if (o.type == kZAFKeyDBObjType_Key || o.type == kZAFKeyDBObjType_SubKey)
                byKeyID.emplace(keyIDValue(o.keyID), k.get());
    }
    indexValid = true;
}

Key* ZAFKeyDB::findByKeyID(const uint8_t id[8]) {
    if (!indexValid)
        reindex();
    auto it = byKeyID.find(keyIDValue(id));
    return it == byKeyID.end() ? nullptr : it->second;
}

Key* ZAFKeyDB::findByFingerprint(const std::string& fpr) {
    if (!indexValid)
        reindex();
    auto it = byFingerprint.find(fpr);
    return it == byFingerprint.end() ? nullptr : it->second;
}

namespace {

// Keeps the look-up tables in step with one key coming or going, so that adding many keys does
// not rebuild them each time.
void indexKey(ZAFKeyDB& db, Key* k, bool add) {
    if (!db.indexValid)
        return;
    std::string fpr = k->fingerprintKey();
    if (add)
        db.byFingerprint[fpr] = k;
    else if (db.byFingerprint.count(fpr) && db.byFingerprint[fpr] == k)
        db.byFingerprint.erase(fpr);
    for (const ZAFKeyDBObj& o : k->objs) {
        if (o.type != kZAFKeyDBObjType_Key && o.type != kZAFKeyDBObjType_SubKey)
            continue;
        uint64_t id = keyIDValue(o.keyID);
        if (add) {
            db.byKeyID.emplace(id, k);
        } else {
            auto it = db.byKeyID.find(id);
            if (it != db.byKeyID.end() && it->second == k)
                db.byKeyID.erase(it);
        }
    }
}

} // namespace

void ZAFKeyDB::replaceKey(const KeyPtr& oldKey, const KeyPtr& newKey, bool journal) {
    for (KeyPtr& k : keys)
        if (k == oldKey) {
            indexKey(*this, oldKey.get(), false);
            indexKey(*this, newKey.get(), true);
            if (newKey != oldKey) {
                newKey->base = baseOf(oldKey);
                newKey->onDisk = false;
            }
            newKey->validity = oldKey->validity;
            retired.push_back(k);
            k = newKey;
            newKey->owner = this;
            break;
        }
    if (journal)
        changed.insert(newKey->fingerprintKey());
}

void ZAFKeyDB::addKey(const KeyPtr& key, bool journal) {
    keys.push_back(key);
    key->owner = this;
    indexKey(*this, key.get(), true);
    std::string fpr = key->fingerprintKey();
    if (journal) {
        // A key removed and added again starts from the version the removal saw.
        auto it = removed.find(fpr);
        key->onDisk = false;
        key->base = it != removed.end() ? it->second : nullptr;
        changed.insert(fpr);
        if (it != removed.end())
            removed.erase(it);
    }
}

extern "C" {

ZAFError ZAFNewKeyDB(ZAFContextRef context, ZAFKeyDBRef* outKeyDB) {
    if (!isValidCtx(context) || outKeyDB == nullptr)
        return kZAFError_BadParams;
    return storeGuard([&]() -> ZAFError {
        auto* db = new ZAFKeyDB();
        db->context = context;
        db->root.db = db;
        db->root.isRoot = true;
        *outKeyDB = db;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFOpenKeyDBFile(ZAFContextRef context, uint32_t options, ZAFFileSpecRef pubRing,
                          ZAFFileSpecRef secRing, ZAFKeyDBRef* outKeyDB) {
    if (!isValidCtx(context) || outKeyDB == nullptr || !isValidFileSpec(pubRing) ||
        pubRing->path.empty() || (secRing != nullptr && !isValidFileSpec(secRing)))
        return kZAFError_BadParams;
    return storeGuard([&]() -> ZAFError {
        std::string pubPath = pubRing->path;
        std::string secPath = secRing ? secRing->path : std::string();
        if (options & kZAFOpenKeyDBFileOptions_Create) {
            for (const std::string* p : {&pubPath, &secPath}) {
                if (p->empty())
                    continue;
                int fd =
                    ::open(p->c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, p == &secPath ? 0600 : 0644);
                if (fd < 0)
                    return kZAFError_FileOpenFailed;
                ::close(fd);
            }
        } else {
            // Without the create option a missing public ring is an error.
            if (::access(pubPath.c_str(), F_OK) != 0)
                return kZAFError_FileNotFound;
        }
        std::vector<KeyPtr> keys;
        ZAFError err = loadRings(pubPath, secPath, keys);
        if (err != kZAFError_NoErr)
            return err;
        auto db = std::make_unique<ZAFKeyDB>();
        db->context = context;
        db->hasFiles = true;
        db->isMutable = (options & kZAFOpenKeyDBFileOptions_Mutable) != 0;
        db->pubPath = pubPath;
        db->secPath = secPath;
        db->root.db = db.get();
        db->root.isRoot = true;
        for (const KeyPtr& k : keys) {
            k->onDisk = true;
            k->owner = db.get();
        }
        db->keys.swap(keys);
        *outKeyDB = db.release();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFreeKeyDB(ZAFKeyDBRef keyDB) {
    if (!isValidDB(keyDB))
        return kZAFError_BadParams;
    keyDB->magic = 0;
    keyDB->root.magic = 0;
    // Keys can outlive their database inside key sets; they must not reach back into it.
    for (const KeyPtr& k : keyDB->keys)
        k->owner = nullptr;
    for (const KeyPtr& k : keyDB->retired)
        k->owner = nullptr;
    delete keyDB;
    return kZAFError_NoErr;
}

ZAFBoolean ZAFKeyDBIsMutable(ZAFKeyDBRef keyDB) { return isValidDB(keyDB) && keyDB->isMutable; }

ZAFBoolean ZAFKeyDBIsDirty(ZAFKeyDBRef keyDB) {
    return isValidDB(keyDB) && (!keyDB->changed.empty() || !keyDB->removed.empty());
}

ZAFError ZAFKeyDBRefresh(ZAFKeyDBRef keyDB) {
    if (!isValidDB(keyDB))
        return kZAFError_BadParams;
    if (!keyDB->hasFiles)
        return kZAFError_NoErr;
    return storeGuard([&]() -> ZAFError {
        std::vector<KeyPtr> disk;
        ZAFError err = loadRings(keyDB->pubPath, keyDB->secPath, disk);
        if (err != kZAFError_NoErr)
            return err;
        // Unsaved changes are laid over what is on disk now and stay in the journal; from now
        // on they count from the disk's version.
        std::unordered_map<std::string, KeyPtr> diskVersions;
        applyJournal(keyDB, disk, &diskVersions);
        adopt(keyDB, disk, true);
        for (const KeyPtr& k : keyDB->keys) {
            auto it = diskVersions.find(k->fingerprintKey());
            bool mine = keyDB->changed.count(k->fingerprintKey()) != 0;
            bool same = it != diskVersions.end() && it->second == k;
            k->onDisk = !mine || same;
            k->base = k->onDisk || it == diskVersions.end() ? nullptr : it->second;
            if (it != diskVersions.end())
                it->second->onDisk = true;
        }
        for (auto it = keyDB->removed.begin(); it != keyDB->removed.end();) {
            auto d = diskVersions.find(it->first);
            if (d == diskVersions.end()) {
                it = keyDB->removed.erase(it); // gone from disk as well
            } else {
                it->second = d->second;
                ++it;
            }
        }
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFlushKeyDB(ZAFKeyDBRef keyDB) {
    if (!isValidDB(keyDB))
        return kZAFError_BadParams;
    if (keyDB->changed.empty() && keyDB->removed.empty())
        return kZAFError_NoErr;
    if (!keyDB->hasFiles)
        return kZAFError_NoErr;
    if (!keyDB->isMutable)
        return kZAFError_ReadOnlyKeyDB;
    return storeGuard([&]() -> ZAFError {
        RingLock lock;
        ZAFError err = lock.acquire(keyDB->pubPath);
        if (err != kZAFError_NoErr)
            return err;
        return flushLocked(keyDB);
    });
}

ZAFError ZAFCountKeysInKeyDB(ZAFKeyDBRef keyDB, uint32_t* outCount) {
    if (!isValidDB(keyDB) || outCount == nullptr)
        return kZAFError_BadParams;
    *outCount = uint32_t(keyDB->keys.size());
    return kZAFError_NoErr;
}

ZAFKeySetRef ZAFPeekKeyDBRootKeySet(ZAFKeyDBRef keyDB) {
    return isValidDB(keyDB) ? &keyDB->root : nullptr;
}

ZAFKeyDBRef ZAFPeekKeySetKeyDB(ZAFKeySetRef keySet) {
    return isValidSet(keySet) ? keySet->db : nullptr;
}

ZAFError ZAFCopyKeys(ZAFKeySetRef keys, ZAFKeyDBRef dest, ZAFBoolean* outChanged) {
    if (!isValidSet(keys) || !isValidDB(dest))
        return kZAFError_BadParams;
    return storeGuard([&]() -> ZAFError {
        bool changed = false;
        std::vector<KeyPtr> source = keys->list(); // copy: dest may be the same database
        for (const KeyPtr& in : source) {
            Key* existing = dest->findByFingerprint(in->fingerprintKey());
            if (existing == nullptr) {
                KeyPtr k = withoutTrust(in);
                if (k == in && keys->db != dest) {
                    // Share the bytes but never the object: each database owns its own keys.
                    k = buildKey(in->pubStore, in->pubOffset, in->pubLength, in->secStore,
                                 in->secOffset, in->secLength);
                    if (!k)
                        return kZAFError_CorruptData;
                } else if (k == in) {
                    continue;
                }
                dest->addKey(k, true);
                changed = true;
                continue;
            }
            KeyPtr merged = mergeKeys(*existing, *in);
            if (merged) {
                merged->ownerTrust = existing->ownerTrust;
                KeyPtr old;
                for (const KeyPtr& k : dest->keys)
                    if (k.get() == existing)
                        old = k;
                dest->replaceKey(old, merged, true);
                changed = true;
            }
        }
        // Stand-alone revocations read by an import apply to the keys they name.
        for (const std::string& rev : keys->db->pendingRevocations) {
            std::string_view body = rev;
            rfc4880::RawPacket rp;
            std::string scratch;
            rfc4880::SigInfo sig;
            if (!rfc4880::readPacket(reinterpret_cast<const uint8_t*>(rev.data()), rev.size(), 0,
                                     rp, scratch) ||
                !rfc4880::parseSignature(rp.body, sig) || !sig.hasIssuer)
                continue;
            (void)body;
            Key* target = dest->findByKeyID(sig.issuer);
            if (target == nullptr || std::memcmp(target->keyID(), sig.issuer, 8) != 0 ||
                !target->pubLength)
                continue;
            TKTree t;
            if (!t.parse(target->pubBytes()))
                continue;
            TKTree addition;
            addition.primary = t.primary;
            addition.follow.push_back(rev);
            if (!mergeTrees(t, addition))
                continue;
            KeyPtr nk = buildKeyFromStrings(t.serialize(), std::string(target->secBytes()));
            if (!nk)
                continue;
            KeyPtr old;
            for (const KeyPtr& k : dest->keys)
                if (k.get() == target)
                    old = k;
            dest->replaceKey(old, nk, true);
            changed = true;
        }
        if (outChanged)
            *outChanged = changed ? 1 : 0;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFDeleteKeys(ZAFKeyDBRef keyDB, ZAFKeySetRef keys) {
    if (!isValidDB(keyDB) || !isValidSet(keys))
        return kZAFError_BadParams;
    return storeGuard([&]() -> ZAFError {
        std::set<std::string> doomed;
        for (const KeyPtr& k : keys->list())
            doomed.insert(k->fingerprintKey());
        std::vector<KeyPtr> kept;
        kept.reserve(keyDB->keys.size());
        for (KeyPtr& k : keyDB->keys) {
            std::string fpr = k->fingerprintKey();
            if (doomed.count(fpr)) {
                // Only a key the rings held needs removing from them.
                if (KeyPtr b = baseOf(k))
                    keyDB->removed[fpr] = b;
                keyDB->changed.erase(fpr);
                keyDB->retired.push_back(k);
            } else {
                kept.push_back(std::move(k));
            }
        }
        keyDB->keys.swap(kept);
        keyDB->indexValid = false;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFDeleteKeyDBObj(ZAFKeyDBRef keyDB, ZAFKeyDBObjRef obj) {
    if (!isValidDB(keyDB) || !isValidObj(obj) || obj->type == kZAFKeyDBObjType_Key)
        return kZAFError_BadParams;
    return storeGuard([&]() -> ZAFError {
        Key* key = obj->key;
        KeyPtr owner;
        for (const KeyPtr& k : keyDB->keys)
            if (k.get() == key)
                owner = k;
        if (!owner)
            return kZAFError_ItemNotFound;
        // Rebuild both rings' bytes without the object's packets (and what hangs under it).
        auto strip = [&](std::string_view bytes, std::string& out) -> bool {
            TKTree t;
            if (!t.parse(bytes))
                return false;
            std::string_view target = key->packetBytes(obj->packet);
            std::string_view parentHead =
                obj->parent > 0 ? key->packetBytes(key->objs[size_t(obj->parent)].packet)
                                : std::string_view();
            if (obj->type == kZAFKeyDBObjType_Signature) {
                auto dropFrom = [&](std::vector<std::string>& v) {
                    for (size_t i = 0; i < v.size(); ++i)
                        if (v[i] == target) {
                            size_t n = (i + 1 < v.size() &&
                                        rfc4880::rawTag(v[i + 1]) == rfc4880::kTagTrust)
                                           ? 2
                                           : 1;
                            v.erase(v.begin() + long(i), v.begin() + long(i + n));
                            return;
                        }
                };
                if (obj->parent <= 0) {
                    dropFrom(t.follow);
                } else {
                    std::string parentRaw(parentHead);
                    std::string_view parentBody = rfc4880::rawBody(parentRaw);
                    for (auto& c : t.comps)
                        if (rfc4880::rawBody(c.head) == parentBody)
                            dropFrom(c.follow);
                }
            } else {
                std::string targetRaw(target);
                std::string_view targetBody = rfc4880::rawBody(targetRaw);
                for (size_t i = 0; i < t.comps.size(); ++i) {
                    bool same = rfc4880::rawBody(t.comps[i].head) == targetBody;
                    if (!same && obj->type == kZAFKeyDBObjType_SubKey) {
                        // The secret ring stores the subkey with its secret part.
                        rfc4880::KeyInfo a, b;
                        same = isSubkeyTag(t.comps[i].tag) &&
                               rfc4880::parseKeyPacket(rfc4880::rawBody(t.comps[i].head), a) &&
                               rfc4880::parseKeyPacket(targetBody, b) &&
                               std::memcmp(a.fingerprint, b.fingerprint, 20) == 0;
                    }
                    if (same) {
                        t.comps.erase(t.comps.begin() + long(i));
                        break;
                    }
                }
            }
            out = t.serialize();
            return true;
        };
        std::string pub, sec;
        if (key->pubLength && !strip(key->pubBytes(), pub))
            return kZAFError_CorruptData;
        if (key->secLength && !strip(key->secBytes(), sec))
            return kZAFError_CorruptData;
        KeyPtr nk = buildKeyFromStrings(std::move(pub), std::move(sec));
        if (!nk)
            return kZAFError_CorruptData;
        keyDB->replaceKey(owner, nk, true);
        return kZAFError_NoErr;
    });
}

ZAFError ZAFCountKeyDBMergeWarnings(ZAFKeyDBRef keyDB, uint32_t* outCount) {
    if (!isValidDB(keyDB) || outCount == nullptr)
        return kZAFError_BadParams;
    *outCount = uint32_t(keyDB->mergeWarnings.size());
    return kZAFError_NoErr;
}

ZAFError ZAFGetKeyDBMergeWarning(ZAFKeyDBRef keyDB, uint32_t index, char* buffer, size_t size,
                                 size_t* outSize) {
    if (!isValidDB(keyDB) || outSize == nullptr)
        return kZAFError_BadParams;
    if (index >= keyDB->mergeWarnings.size())
        return kZAFError_ItemNotFound;
    const std::string& w = keyDB->mergeWarnings[index];
    *outSize = w.size() + 1;
    if (buffer == nullptr || size < w.size() + 1)
        return kZAFError_BufferTooSmall;
    std::memcpy(buffer, w.c_str(), w.size() + 1);
    return kZAFError_NoErr;
}

ZAFError ZAFGetImportDropCounts(ZAFKeyDBRef keyDB, uint32_t* outUserIDs, uint32_t* outSubKeys) {
    if (!isValidDB(keyDB))
        return kZAFError_BadParams;
    if (outUserIDs)
        *outUserIDs = keyDB->droppedUserIDs;
    if (outSubKeys)
        *outSubKeys = keyDB->droppedSubKeys;
    return kZAFError_NoErr;
}

ZAFError ZAFFindKeyByKeyID(ZAFKeyDBRef keyDB, const ZAFKeyID* keyID, ZAFKeyDBObjRef* outKey) {
    if (!isValidDB(keyDB) || keyID == nullptr || outKey == nullptr)
        return kZAFError_BadParams;
    return storeGuard([&]() -> ZAFError {
        if (keyID->length >= 8) {
            Key* k = keyDB->findByKeyID(keyID->bytes);
            if (k && std::memcmp(k->keyID(), keyID->bytes, 8) == 0) {
                *outKey = &k->objs[0];
                return kZAFError_NoErr;
            }
        }
        for (const KeyPtr& k : keyDB->keys) {
            ZAFKeyID mine;
            ZAFNewKeyID(k->keyID(), 8, k->algorithm, &mine);
            if (ZAFCompareKeyIDs(&mine, keyID) == 0) {
                *outKey = &k->objs[0];
                return kZAFError_NoErr;
            }
        }
        return kZAFError_ItemNotFound;
    });
}

} // extern "C"
