// Fuzz target: editing keys that came from outside. The first byte picks the mode:
//   0: the rest is a legacy secret key packet body, unlocked with a fixed passphrase;
//   else: the rest is imported, and every key (the first few) that "" or "pw" unlocks gets a
//   user ID, certifies the next key, and revokes its subkeys, its certifications and itself
//   (with and without reasons). The edits read the keys' self-signatures, secret parts and
//   trees. The seeds protect their keys with the cheapest S2K (fuzz/cheap_s2k.py): every edit
//   unlocks its key, and the hashing of a costly S2K would take most of each run.
#include "keys/keyedit_internal.h"

#include <zaf/zaf.h>

#include <cstdint>
#include <vector>

namespace {

ZAFContextRef context() {
    static ZAFContextRef c = [] {
        ZAFContextRef made = nullptr;
        ZAFNewContext(&made);
        return made;
    }();
    return c;
}

void legacySecret(const uint8_t* data, size_t size) {
    std::string_view body(reinterpret_cast<const char*>(data), size);
    zaf::rfc4880::KeyInfo info;
    if (!zaf::rfc4880::parseKeyPacket(body, info) || info.version >= 4)
        return;
    zaf::edit::Secret mpis;
    zaf::edit::unlockLegacySecret(body, "pw", mpis, info);
}

void editAll(const uint8_t* data, size_t size) {
    ZAFContextRef ctx = context();
    ZAFKeyDBRef db = nullptr;
    if (ZAFImport(ctx, &db, ZAFOInputBuffer(ctx, data, size), ZAFOLastOption()) != 0)
        return;
    std::vector<std::string> fingerprints;
    for (size_t i = 0; i < db->keys.size() && i < 4; ++i)
        fingerprints.push_back(db->keys[i]->fingerprintKey());
    auto keyAt = [&](size_t i) -> ZAFKeyDBObjRef {
        zaf::Key* k = db->findByFingerprint(fingerprints[i % fingerprints.size()]);
        return k ? &k->objs[0] : nullptr;
    };
    for (size_t i = 0; i < fingerprints.size(); ++i) {
        // Each edit unlocks the key, which costs the key's own S2K hashing: the passphrase is
        // found once ("" or "pw"); a key neither unlocks gets one edit, which fails as a wrong
        // passphrase does, and is otherwise left alone.
        ZAFKeyDBObjRef key = keyAt(i);
        if (key == nullptr)
            continue;
        const char* pass = ZAFPassphraseIsValid(key, "")     ? ""
                           : ZAFPassphraseIsValid(key, "pw") ? "pw"
                                                             : nullptr;
        if (pass == nullptr) {
            ZAFAddUserID(key, "Fuzz <fuzz@example.org>", ZAFOPassphrase(ctx, "pw"),
                         ZAFOLastOption());
            continue;
        }
        ZAFAddUserID(key, "Fuzz <fuzz@example.org>", ZAFOPassphrase(ctx, pass), ZAFOLastOption());
        key = keyAt(i);
        ZAFKeyDBObjRef next = keyAt(i + 1);
        ZAFKeyDBObjRef uid = nullptr;
        if (key != nullptr && next != nullptr && ZAFGetPrimaryUserID(next, &uid) == 0)
            ZAFCertifyUserID(uid, key, ZAFOPassphrase(ctx, pass),
                             ZAFOSignatureTrust(ctx, 1, kZAFKeyTrust_Complete),
                             ZAFOExportable(ctx, 0), ZAFOLastOption());
        // Revoke what hangs under the key: subkeys and certifications, a few of each, one with a
        // reason.
        for (int round = 0; round < 3; ++round) {
            key = keyAt(i);
            if (key == nullptr)
                break;
            ZAFKeyDBObjRef target = nullptr;
            int seen = 0;
            for (ZAFKeyDBObj& o : key->key->objs)
                if (o.type == kZAFKeyDBObjType_SubKey || o.type == kZAFKeyDBObjType_Signature) {
                    if (seen++ == round) {
                        target = &o;
                        break;
                    }
                }
            if (target == nullptr)
                break;
            ZAFRevoke(target, nullptr, ZAFOPassphrase(ctx, pass),
                      round == 0 ? ZAFORevocationReason(ctx, kZAFRevocationReason_Retired, "fuzz")
                                 : ZAFONullOption(ctx),
                      ZAFOLastOption());
        }
        key = keyAt(i);
        if (key != nullptr)
            ZAFRevoke(key, keyAt(i + 1), ZAFOPassphrase(ctx, pass), ZAFOLastOption());
        key = keyAt(i);
        if (key != nullptr)
            ZAFRevoke(key, nullptr, ZAFOPassphrase(ctx, pass),
                      ZAFORevocationReason(ctx, kZAFRevocationReason_Superseded, ""),
                      ZAFOLastOption());
    }
    ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db);
    ZAFFreeKeyDB(db);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 18) || context() == nullptr)
        return 0;
    if (data[0] == 0)
        legacySecret(data + 1, size - 1);
    else
        editAll(data + 1, size - 1);
    return 0;
}
