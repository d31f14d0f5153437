// Fuzz target: editing keys that came from outside. The first byte picks the mode:
//   0: the rest is a legacy secret key packet body, unlocked with a fixed passphrase;
//   else: the rest is imported, and every key (the first few) that "" or "pw" unlocks gets one
//   edit, the kind the byte names: a user ID, a certification of the next key, the revocation
//   of one of its subkeys or certifications (the first with a reason), a revocation by the next
//   key, or its own revocation with a reason. The edits read the keys' self-signatures, secret
//   parts and trees. One edit per key and input, so that an input costs a few signatures rather
//   than dozens and the fuzzer tries hundreds a second; it reaches every kind through the byte.
//   The seeds protect their keys with the cheapest S2K (fuzz/cheap_s2k.py): every edit unlocks
//   its key, and the hashing of a costly S2K would take most of each run.
#include "keys/keyedit_internal.h"

#include <zaf/zaf.h>

#include <cstdint>
#include <cstring>
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

// The edits, one of which each input makes on each key.
enum class Edit : uint8_t { UserID, Certify, RevokeChild, RevokeByNext, RevokeSelf, Count };

// The `round`th subkey or signature under `key` (a certification, a self-signature), or null.
ZAFKeyDBObjRef childOf(ZAFKeyDBObjRef key, int round) {
    int seen = 0;
    for (ZAFKeyDBObj& o : key->key->objs)
        if ((o.type == kZAFKeyDBObjType_SubKey || o.type == kZAFKeyDBObjType_Signature) &&
            seen++ == round)
            return &o;
    return nullptr;
}

void editAll(uint8_t mode, const uint8_t* data, size_t size) {
    const auto edit = Edit((mode - 1) % uint8_t(Edit::Count));
    const int round = (mode - 1) / uint8_t(Edit::Count) % 3;
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
        // The edit unlocks the key with "" or "pw"; a key neither unlocks fails as a wrong
        // passphrase does.
        ZAFKeyDBObjRef key = keyAt(i);
        if (key == nullptr)
            continue;
        const char* pass = ZAFPassphraseIsValid(key, "") ? "" : "pw";
        ZAFKeyDBObjRef next = keyAt(i + 1);
        switch (edit) {
        case Edit::UserID:
            ZAFAddUserID(key, "Fuzz <fuzz@example.org>", ZAFOPassphrase(ctx, pass),
                         ZAFOLastOption());
            break;
        case Edit::Certify: {
            ZAFKeyDBObjRef uid = nullptr;
            if (next != nullptr && ZAFGetPrimaryUserID(next, &uid) == 0)
                ZAFCertifyUserID(uid, key, ZAFOPassphrase(ctx, pass),
                                 ZAFOSignatureTrust(ctx, 1, kZAFKeyTrust_Complete),
                                 ZAFOExportable(ctx, 0), ZAFOLastOption());
            break;
        }
        case Edit::RevokeChild:
            if (ZAFKeyDBObjRef target = childOf(key, round))
                ZAFRevoke(target, nullptr, ZAFOPassphrase(ctx, pass),
                          round == 0
                              ? ZAFORevocationReason(ctx, kZAFRevocationReason_Retired, "fuzz")
                              : ZAFONullOption(ctx),
                          ZAFOLastOption());
            break;
        case Edit::RevokeByNext:
            ZAFRevoke(key, next, ZAFOPassphrase(ctx, pass), ZAFOLastOption());
            break;
        case Edit::RevokeSelf:
        case Edit::Count:
            ZAFRevoke(key, nullptr, ZAFOPassphrase(ctx, pass),
                      ZAFORevocationReason(ctx, kZAFRevocationReason_Superseded, ""),
                      ZAFOLastOption());
            break;
        }
    }
    ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(db), db);
    ZAFFreeKeyDB(db);
}

} // namespace

// libFuzzer's entropic scheduling kept half of every run in its own bookkeeping of this target's
// thousands of features (77 inputs a second); without it the target runs some 450. Given unless
// the command line sets it.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<char*> args(*argv, *argv + *argc);
    static char plain[] = "-entropic=0";
    for (char* a : args)
        if (std::strncmp(a, "-entropic=", 10) == 0)
            return 0;
    args.push_back(plain);
    *argc = int(args.size());
    args.push_back(nullptr);
    *argv = args.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 18) || context() == nullptr)
        return 0;
    if (data[0] == 0)
        legacySecret(data + 1, size - 1);
    else
        editAll(data[0], data + 1, size - 1);
    return 0;
}
