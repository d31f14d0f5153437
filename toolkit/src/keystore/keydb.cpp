// keydb: the key database: opening, refreshing and flushing it with the three-way merge, copying,
// deleting, and its C interface. Ring files are read and written in ringfile.cpp, keys built from
// their bytes in keytree.cpp.
#include "keystore_internal.h"
#include "ringfile.h"
#include "service/service.h"

#include <botan/exceptn.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace zaf {

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

namespace {

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
        // A key whose checks were cut short is not kept: the new read may have made them.
        if (it != old.end() && it->second != k && !it->second->unchecked &&
            it->second->pubBytes() == k->pubBytes() && it->second->secBytes() == k->secBytes()) {
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
    db->generation++;
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

// Reads both rings of `db` within a check budget; the results are kept beside the rings for
// the next process (see CheckFile). The public ring's descriptor goes to the background service
// first; the entry it pinned is stored in `serviceEntry`.
ZAFError readRings(ZAFKeyDB* db, std::vector<KeyPtr>& out, RingStamp* stamps,
                   uint64_t* serviceEntry) {
    if (!db->checkFile)
        db->checkFile = std::make_shared<CheckFile>(db->pubPath);
    db->checkFile->load();
    CheckRecord record;
    CheckBudget budget(&record);
    ZAFError err;
    {
        CheckBudgetScope scope(&budget);
        err = loadRings(db->pubPath, db->secPath, out, stamps, serviceEntry);
    }
    if (err == kZAFError_NoErr)
        db->checkFile->update(std::move(record), false);
    return err;
}

// Builds again, within a new budget, the keys whose checks the last read's budget did not
// allow, so that a big or costly ring completes over a few reads.
void retryUnchecked(ZAFKeyDB* db) {
    size_t pending = 0;
    for (const KeyPtr& k : db->keys)
        pending += k->unchecked ? 1 : 0;
    if (pending == 0)
        return;
    CheckRecord record;
    CheckBudget budget(&record);
    CheckBudgetScope scope(&budget);
    budget.allowKeys(pending);
    bool any = false;
    for (KeyPtr& k : db->keys) {
        if (!k->unchecked || budget.spent())
            continue;
        // Check results in trust packets count only for the public ring's bytes (as read).
        KeyPtr again = buildKey(k->pubStore, k->pubOffset, k->pubLength, k->secStore, k->secOffset,
                                k->secLength, k->pubLength != 0);
        if (!again)
            continue;
        again->onDisk = k->onDisk;
        again->base = k->base;
        again->validity = k->validity;
        again->owner = db;
        db->retired.push_back(k);
        k = std::move(again);
        any = true;
    }
    if (!any)
        return;
    db->generation++;
    db->indexValid = false;
    if (db->checkFile)
        db->checkFile->update(std::move(record), true);
}

ZAFError flushLocked(ZAFKeyDB* db) {
    std::vector<KeyPtr> disk;
    std::shared_ptr<const std::string> secretRead;
    CheckBudget budget;
    ZAFError err;
    {
        CheckBudgetScope scope(&budget);
        err = loadRings(db->pubPath, db->secPath, disk, nullptr, nullptr, &secretRead);
    }
    if (err != kZAFError_NoErr)
        return err;
    applyJournal(db, disk, nullptr);
    // Most changes (owner trust, certifications, anything of a key held without its secret
    // part) leave the secret ring as it is: it is then not written again, which halves what a
    // change of a big database writes and syncs (check results never go into it).
    const std::string secret = ringBytes(disk, true);
    const bool secretAsRead = secretRead != nullptr && *secretRead == secret;
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
    err = writeRings(db->pubPath, ringBytes(disk, false),
                     secretAsRead ? std::string() : db->secPath, secret);
    if (err != kZAFError_NoErr)
        return err;
    adopt(db, disk, false);
    db->stamped = false;
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
            generation++;
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
    generation++;
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

namespace {

// Drops, in one form (public or secret bytes) of a key, the foreign certifications of each user
// ID beyond the newest `limit`; `held` tells whether an issuer key ID is held. Returns the
// number dropped; `bytes` is rewritten only when something was.
uint32_t limitForeign(std::string& bytes, const std::function<bool(const uint8_t*)>& held,
                      const uint8_t* ownKeyID, uint32_t limit) {
    TKTree tree;
    if (bytes.empty() || !tree.parse(bytes))
        return 0;
    uint32_t dropped = 0;
    for (TKTree::Component& c : tree.comps) {
        if (!isUserTag(c.tag))
            continue;
        // Foreign certifications: (position in follow, creation time).
        std::vector<std::pair<size_t, uint32_t>> foreign;
        for (size_t i = 0; i < c.follow.size(); ++i) {
            if (rfc4880::rawTag(c.follow[i]) != rfc4880::kTagSignature)
                continue;
            rfc4880::SigInfo sig;
            if (!rfc4880::parseSignature(rfc4880::rawBody(c.follow[i]), sig))
                continue;
            if ((sig.type < 0x10 || sig.type > 0x13) && sig.type != 0x30)
                continue;
            if (sig.hasIssuer && (std::memcmp(sig.issuer, ownKeyID, 8) == 0 || held(sig.issuer)))
                continue;
            // Nothing here is verified: a creation time in the future, which would keep a flood
            // ahead of every honest certification, ranks as the oldest.
            foreign.emplace_back(i, sig.created > now() ? 0 : sig.created);
        }
        if (foreign.size() <= limit)
            continue;
        std::stable_sort(foreign.begin(), foreign.end(),
                         [](const auto& a, const auto& b) { return a.second > b.second; });
        std::vector<bool> drop(c.follow.size(), false);
        for (size_t j = limit; j < foreign.size(); ++j) {
            const size_t i = foreign[j].first;
            drop[i] = true;
            // A trust packet belongs to the signature before it.
            for (size_t t = i + 1;
                 t < c.follow.size() && rfc4880::rawTag(c.follow[t]) == rfc4880::kTagTrust; ++t)
                drop[t] = true;
        }
        std::vector<std::string> kept;
        kept.reserve(c.follow.size());
        for (size_t i = 0; i < c.follow.size(); ++i)
            if (!drop[i])
                kept.push_back(std::move(c.follow[i]));
        dropped += uint32_t(foreign.size() - limit);
        c.follow.swap(kept);
    }
    if (dropped != 0)
        bytes = tree.serialize();
    return dropped;
}

} // namespace

extern "C" {

ZAFError ZAFNewKeyDB(ZAFContextRef context, ZAFKeyDBRef* outKeyDB) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidCtx(context))
            return kZAFError_InvalidHandle;
        if (outKeyDB == nullptr)
            return kZAFError_BadParams;
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
    return zaf::guard([&]() -> ZAFError {
        if (!isValidCtx(context) || !isValidFileSpec(pubRing) ||
            (secRing != nullptr && !isValidFileSpec(secRing)))
            return kZAFError_InvalidHandle;
        if (outKeyDB == nullptr || pubRing->path.empty())
            return kZAFError_BadParams;
        std::string pubPath = pubRing->path;
        std::string secPath = secRing ? secRing->path : std::string();
        if (options & kZAFOpenKeyDBFileOptions_Create) {
            for (const std::string* p : {&pubPath, &secPath}) {
                if (p->empty())
                    continue;
                orxfile::UserFile created;
                const ZAFError err = fileError(created.open(
                    *p, O_WRONLY | O_CREAT, orxfile::Rules(), p == &secPath ? 0600 : 0644));
                if (err != kZAFError_NoErr)
                    return err;
            }
        } else {
            // Without the create option a missing public ring is an error (a link, dangling or
            // not, is refused when the ring is read).
            struct stat st;
            if (::lstat(pubPath.c_str(), &st) != 0)
                return errno == ENOENT || errno == ENOTDIR ? kZAFError_FileNotFound
                                                           : kZAFError_FileOpenFailed;
        }
        auto db = std::make_unique<ZAFKeyDB>();
        db->pubPath = pubPath;
        db->secPath = secPath;
        std::vector<KeyPtr> keys;
        RingStamp stamps[2];
        uint64_t serviceEntry = 0;
        ZAFError err = readRings(db.get(), keys, stamps, &serviceEntry);
        if (err != kZAFError_NoErr) {
            serviceReleaseRings(serviceEntry);
            return err;
        }
        db->stamped = true;
        db->pubStamp = stamps[0];
        db->secStamp = stamps[1];
        db->serviceEntry = serviceEntry;
        db->context = context;
        db->hasFiles = true;
        db->isMutable = (options & kZAFOpenKeyDBFileOptions_Mutable) != 0;
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
    return zaf::guard([&]() -> ZAFError {
        if (!isValidDB(keyDB))
            return kZAFError_InvalidHandle;
        keyDB->magic = 0;
        keyDB->root.magic = 0;
        serviceReleaseRings(keyDB->serviceEntry);
        // Keys can outlive their database inside key sets; they must not reach back into it.
        for (const KeyPtr& k : keyDB->keys)
            k->owner = nullptr;
        for (const KeyPtr& k : keyDB->retired)
            k->owner = nullptr;
        delete keyDB;
        return kZAFError_NoErr;
    });
}

ZAFBoolean ZAFKeyDBIsMutable(ZAFKeyDBRef keyDB) {
    return zaf::guard(ZAFBoolean(0),
                      [&]() -> ZAFBoolean { return isValidDB(keyDB) && keyDB->isMutable; });
}

ZAFBoolean ZAFKeyDBIsDirty(ZAFKeyDBRef keyDB) {
    return zaf::guard(ZAFBoolean(0), [&]() -> ZAFBoolean {
        return isValidDB(keyDB) && (!keyDB->changed.empty() || !keyDB->removed.empty());
    });
}

ZAFError ZAFKeyDBRefresh(ZAFKeyDBRef keyDB) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidDB(keyDB))
            return kZAFError_InvalidHandle;
        if (!keyDB->hasFiles)
            return kZAFError_NoErr;
        // Rings unchanged since they were last read: laying the journal over the same disk
        // again would give what this handle already holds.
        RingStamp pubNow, secNow;
        if (keyDB->stamped && currentRingStamp(keyDB->pubPath, pubNow) &&
            pubNow == keyDB->pubStamp &&
            (keyDB->secPath.empty() ||
             (currentRingStamp(keyDB->secPath, secNow) && secNow == keyDB->secStamp))) {
            keyDB->mergeWarnings.clear(); // those of the last read were told then
            retryUnchecked(keyDB);
            return kZAFError_NoErr;
        }
        std::vector<KeyPtr> disk;
        RingStamp stamps[2];
        uint64_t serviceEntry = 0;
        ZAFError err = readRings(keyDB, disk, stamps, &serviceEntry);
        if (err != kZAFError_NoErr) {
            serviceReleaseRings(serviceEntry);
            return err;
        }
        serviceReleaseRings(keyDB->serviceEntry);
        keyDB->serviceEntry = serviceEntry;
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
        keyDB->stamped = true;
        keyDB->pubStamp = stamps[0];
        keyDB->secStamp = stamps[1];
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFlushKeyDB(ZAFKeyDBRef keyDB) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidDB(keyDB))
            return kZAFError_InvalidHandle;
        if (keyDB->changed.empty() && keyDB->removed.empty())
            return kZAFError_NoErr;
        if (!keyDB->hasFiles)
            return kZAFError_NoErr;
        if (!keyDB->isMutable)
            return kZAFError_ReadOnlyKeyDB;
        RingLock lock;
        ZAFError err = lock.acquire(keyDB->pubPath);
        if (err != kZAFError_NoErr)
            return err;
        return flushLocked(keyDB);
    });
}

ZAFError ZAFCountKeysInKeyDB(ZAFKeyDBRef keyDB, uint32_t* outCount) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidDB(keyDB))
            return kZAFError_InvalidHandle;
        if (outCount == nullptr)
            return kZAFError_BadParams;
        *outCount = uint32_t(keyDB->keys.size());
        return kZAFError_NoErr;
    });
}

ZAFKeySetRef ZAFPeekKeyDBRootKeySet(ZAFKeyDBRef keyDB) {
    return zaf::guard(ZAFKeySetRef(nullptr),
                      [&]() -> ZAFKeySetRef { return isValidDB(keyDB) ? &keyDB->root : nullptr; });
}

ZAFKeyDBRef ZAFPeekKeySetKeyDB(ZAFKeySetRef keySet) {
    return zaf::guard(ZAFKeyDBRef(nullptr),
                      [&]() -> ZAFKeyDBRef { return isValidSet(keySet) ? keySet->db : nullptr; });
}

ZAFError ZAFCopyKeys(ZAFKeySetRef keys, ZAFKeyDBRef dest, ZAFBoolean* outChanged) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidSet(keys) || !isValidDB(dest))
            return kZAFError_InvalidHandle;
        bool changed = false;
        std::vector<KeyPtr> source = keys->list(); // copy: dest may be the same database
        // Keys are built again here; what an import could not check within its budget must
        // not be checked without one now.
        CheckBudget budget;
        CheckBudgetScope scope(&budget);
        budget.allowKeys(source.size());
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
    return zaf::guard([&]() -> ZAFError {
        if (!isValidDB(keyDB) || !isValidSet(keys))
            return kZAFError_InvalidHandle;
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
        keyDB->generation++;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFDeleteKeyDBObj(ZAFKeyDBRef keyDB, ZAFKeyDBObjRef obj) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidDB(keyDB) || !isValidObj(obj))
            return kZAFError_InvalidHandle;
        if (obj->type == kZAFKeyDBObjType_Key)
            return kZAFError_BadParams;
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
    return zaf::guard([&]() -> ZAFError {
        if (!isValidDB(keyDB))
            return kZAFError_InvalidHandle;
        if (outCount == nullptr)
            return kZAFError_BadParams;
        *outCount = uint32_t(keyDB->mergeWarnings.size());
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetKeyDBMergeWarning(ZAFKeyDBRef keyDB, uint32_t index, char* buffer, size_t size,
                                 size_t* outSize) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidDB(keyDB))
            return kZAFError_InvalidHandle;
        if (outSize == nullptr)
            return kZAFError_BadParams;
        if (index >= keyDB->mergeWarnings.size())
            return kZAFError_ItemNotFound;
        const std::string& w = keyDB->mergeWarnings[index];
        *outSize = w.size() + 1;
        if (buffer == nullptr || size < w.size() + 1)
            return kZAFError_BufferTooSmall;
        std::memcpy(buffer, w.c_str(), w.size() + 1);
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetImportDropCounts(ZAFKeyDBRef keyDB, uint32_t* outUserIDs, uint32_t* outSubKeys) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidDB(keyDB))
            return kZAFError_InvalidHandle;
        if (outUserIDs)
            *outUserIDs = keyDB->droppedUserIDs;
        if (outSubKeys)
            *outSubKeys = keyDB->droppedSubKeys;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFLimitForeignCertifications(ZAFKeyDBRef imported, ZAFKeyDBRef ring, uint32_t perUserID,
                                       uint32_t* outDropped) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidDB(imported) || (ring != nullptr && !isValidDB(ring)))
            return kZAFError_InvalidHandle;
        if (outDropped)
            *outDropped = 0;
        if (!imported->indexValid)
            imported->reindex();
        if (ring != nullptr && !ring->indexValid)
            ring->reindex();
        auto held = [&](const uint8_t* id) {
            return imported->findByKeyID(id) != nullptr ||
                   (ring != nullptr && ring->findByKeyID(id) != nullptr);
        };
        uint32_t total = 0;
        std::vector<std::pair<KeyPtr, KeyPtr>> replaced;
        for (const KeyPtr& k : imported->keys) {
            std::string pub(k->pubBytes()), sec(k->secBytes());
            const uint32_t fromPub = limitForeign(pub, held, k->keyID(), perUserID);
            const uint32_t fromSec = limitForeign(sec, held, k->keyID(), perUserID);
            if (fromPub == 0 && fromSec == 0)
                continue;
            KeyPtr trimmed = buildKeyFromStrings(std::move(pub), std::move(sec), false);
            if (!trimmed)
                return kZAFError_CorruptData;
            // A key in both forms counts its dropped certifications once.
            total += std::max(fromPub, fromSec);
            replaced.emplace_back(k, std::move(trimmed));
        }
        for (auto& [old, trimmed] : replaced)
            imported->replaceKey(old, trimmed, false);
        if (outDropped)
            *outDropped = total;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFindKeyByKeyID(ZAFKeyDBRef keyDB, const ZAFKeyID* keyID, ZAFKeyDBObjRef* outKey) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidDB(keyDB))
            return kZAFError_InvalidHandle;
        if (keyID == nullptr || outKey == nullptr)
            return kZAFError_BadParams;
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

namespace zaf {

ZAFError openKeyDBFromDescriptor(ZAFContextRef context, int fd, ZAFKeyDBRef* outKeyDB) {
    return guard([&]() -> ZAFError {
        if (!isValidCtx(context))
            return kZAFError_InvalidHandle;
        if (outKeyDB == nullptr)
            return kZAFError_BadParams;
        std::vector<KeyPtr> keys;
        ZAFError err = loadRingFromDescriptor(fd, keys);
        if (err != kZAFError_NoErr)
            return err;
        auto db = std::make_unique<ZAFKeyDB>();
        db->context = context;
        db->isMutable = false;
        db->root.db = db.get();
        db->root.isRoot = true;
        for (const KeyPtr& k : keys)
            k->owner = db.get();
        db->keys.swap(keys);
        *outKeyDB = db.release();
        return kZAFError_NoErr;
    });
}

} // namespace zaf
