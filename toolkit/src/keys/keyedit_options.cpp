// keyedit_options: the option builders of key generation and editing, the checks every such call
// makes on its options, and access to the current version of a key.
#include "keyedit_internal.h"

#include <zaf/zafcrypto.h>

#include <algorithm>
#include <cstring>

namespace zaf::edit {

ZAFError OptionSet::load(std::vector<Option>&& options, std::initializer_list<int> accepted) {
    m_options = std::move(options);
    for (size_t i = 0; i < m_options.size(); ++i) {
        int type = m_options[i].type;
        if (std::find(accepted.begin(), accepted.end(), type) == accepted.end())
            return kZAFError_ConflictingOptions;
        for (size_t j = 0; j < i; ++j)
            if (m_options[j].type == type)
                return kZAFError_RepeatedOption;
    }
    return kZAFError_NoErr;
}

const Option* OptionSet::get(int type) const {
    for (const Option& o : m_options)
        if (o.type == type)
            return &o;
    return nullptr;
}

ZAFError OptionSet::secret(Secret& out) const {
    const Option* phrase = get(kOptPassphrase);
    const Option* key = get(kOptPasskey);
    if (phrase && key)
        return kZAFError_ConflictingOptions;
    const Option* o = phrase ? phrase : key;
    if (o == nullptr)
        return kZAFError_MissingOption;
    out.assign(o->data.begin(), o->data.end());
    return kZAFError_NoErr;
}

KeyPtr currentKey(const ZAFKeyDBObj* obj) {
    if (!isValidObj(obj))
        return nullptr;
    ZAFKeyDB* db = obj->key->owner;
    if (!isValidDB(db))
        return nullptr;
    Key* cur = db->findByFingerprint(obj->key->fingerprintKey());
    if (cur == nullptr)
        return nullptr;
    for (const KeyPtr& k : db->keys)
        if (k.get() == cur)
            return k;
    return nullptr;
}

int32_t matchObject(const Key& key, const ZAFKeyDBObj& obj) {
    const Key& from = *obj.key;
    if (&from == &key)
        return int32_t(obj.index);
    if (obj.type == kZAFKeyDBObjType_Key)
        return 0;
    auto same = [&](const ZAFKeyDBObj& a, const ZAFKeyDBObj& b) {
        if (a.type != b.type)
            return false;
        if (a.type == kZAFKeyDBObjType_Key)
            return true;
        if (a.type == kZAFKeyDBObjType_SubKey)
            return std::memcmp(a.keyID, b.keyID, 8) == 0;
        return key.packets[a.packet].tag == from.packets[b.packet].tag &&
               key.packetBody(a.packet) == from.packetBody(b.packet);
    };
    for (const ZAFKeyDBObj& o : key.objs) {
        if (!same(o, obj))
            continue;
        if (o.type != kZAFKeyDBObjType_Signature)
            return int32_t(o.index);
        // A signature also needs the same parent (the same bytes may sign two user IDs).
        bool bothTop = o.parent <= 0 && obj.parent <= 0;
        if (bothTop || (o.parent > 0 && obj.parent > 0 &&
                        same(key.objs[size_t(o.parent)], from.objs[size_t(obj.parent)])))
            return int32_t(o.index);
    }
    return -1;
}

ZAFError checkWritable(const ZAFKeyDB* db) {
    if (!isValidDB(db))
        return kZAFError_ItemNotFound;
    if (db->hasFiles && !db->isMutable)
        return kZAFError_ReadOnlyKeyDB;
    return kZAFError_NoErr;
}

ZAFError replaceWithEdit(const KeyPtr& key,
                         const std::function<bool(TKTree& tree, bool secret)>& edit, KeyPtr* out) {
    ZAFKeyDB* db = key->owner;
    std::string pub, sec;
    for (bool secret : {false, true}) {
        std::string_view bytes = secret ? key->secBytes() : key->pubBytes();
        if (bytes.empty())
            continue;
        TKTree tree;
        if (!tree.parse(bytes) || !edit(tree, secret))
            return kZAFError_CorruptData;
        (secret ? sec : pub) = tree.serialize();
    }
    KeyPtr nk = buildKeyFromStrings(std::move(pub), std::move(sec));
    if (!nk || nk->fingerprintKey() != key->fingerprintKey())
        return kZAFError_CorruptData;
    db->replaceKey(key, nk, true);
    if (out)
        *out = nk;
    return kZAFError_NoErr;
}

} // namespace zaf::edit

using namespace zaf;
using namespace zaf::edit;

namespace {

ZAFOptionListRef valueOption(ZAFContextRef context, int type, int64_t value, int64_t value2 = 0,
                             int64_t value3 = 0) {
    Option o;
    o.type = type;
    o.value = value;
    o.value2 = value2;
    o.value3 = value3;
    return makeOption(context, std::move(o));
}

ZAFOptionListRef textOption(ZAFContextRef context, int type, const char* text, size_t maxLength) {
    if (text == nullptr)
        return nullptr;
    size_t n = std::strlen(text);
    if (n == 0 || n > maxLength)
        return nullptr;
    Option o;
    o.type = type;
    o.data.assign(text, n);
    return makeOption(context, std::move(o));
}

bool knownCipher(int32_t c) {
    switch (c) {
    case kZAFCipherAlgorithm_IDEA:
    case kZAFCipherAlgorithm_3DES:
    case kZAFCipherAlgorithm_CAST5:
    case kZAFCipherAlgorithm_Blowfish:
    case kZAFCipherAlgorithm_AES128:
    case kZAFCipherAlgorithm_AES192:
    case kZAFCipherAlgorithm_AES256:
    case kZAFCipherAlgorithm_Twofish:
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" {

ZAFOptionListRef ZAFOKeyDB(ZAFContextRef context, ZAFKeyDBRef keyDB) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        if (!isValidDB(keyDB))
            return nullptr;
        Option o;
        o.type = kOptKeyDB;
        o.handle = keyDB;
        return makeOption(context, std::move(o));
    });
}

ZAFOptionListRef ZAFOKeyGenParams(ZAFContextRef context, int32_t algorithm, uint32_t bits,
                                  int32_t version) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        return valueOption(context, kOptKeyParams, algorithm, bits, version);
    });
}

ZAFOptionListRef ZAFOUserID(ZAFContextRef context, const char* userID) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        return textOption(context, kOptUserID, userID, kZAFMaxUserIDLength);
    });
}

ZAFOptionListRef ZAFOExpiration(ZAFContextRef context, int32_t days) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        if (days < 0)
            return nullptr;
        return valueOption(context, kOptExpiration, days);
    });
}

ZAFOptionListRef ZAFOFastGeneration(ZAFContextRef context, ZAFBoolean fast) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        return valueOption(context, kOptFastGeneration, fast ? 1 : 0);
    });
}

ZAFOptionListRef ZAFOADKKeySet(ZAFContextRef context, ZAFKeySetRef keySet, uint8_t adkClass) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        if (!isValidSet(keySet) ||
            (adkClass != kZAFADKClass_Request && adkClass != kZAFADKClass_Enforced))
            return nullptr;
        Option o;
        o.type = kOptADKKeySet;
        o.handle = keySet;
        o.value = adkClass;
        return makeOption(context, std::move(o));
    });
}

ZAFOptionListRef ZAFOKeyFlags(ZAFContextRef context, uint32_t flags) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        return valueOption(context, kOptKeyFlags, flags);
    });
}

ZAFOptionListRef ZAFOPreferredCiphers(ZAFContextRef context, const int32_t* ciphers, size_t count) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        if (ciphers == nullptr || count == 0 || count > 16)
            return nullptr;
        Option o;
        o.type = kOptPreferredCiphers;
        for (size_t i = 0; i < count; ++i) {
            if (!knownCipher(ciphers[i]) || o.data.find(char(ciphers[i])) != std::string::npos)
                return nullptr;
            o.data.push_back(char(ciphers[i]));
        }
        return makeOption(context, std::move(o));
    });
}

ZAFOptionListRef ZAFOMasterKey(ZAFContextRef context, ZAFKeyDBObjRef key) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        if (!isValidObj(key) || key->type != kZAFKeyDBObjType_Key)
            return nullptr;
        Option o;
        o.type = kOptMasterKey;
        o.handle = key;
        return makeOption(context, std::move(o));
    });
}

ZAFOptionListRef ZAFOCreationDate(ZAFContextRef context, ZAFTime created) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        return valueOption(context, kOptCreationDate, created);
    });
}

ZAFOptionListRef ZAFORegularExpression(ZAFContextRef context, const char* expression) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        return textOption(context, kOptRegularExpression, expression,
                          kZAFMaxRegularExpressionLength);
    });
}

ZAFOptionListRef ZAFOExportable(ZAFContextRef context, ZAFBoolean exportable) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        return valueOption(context, kOptExportable, exportable ? 1 : 0);
    });
}

ZAFOptionListRef ZAFOSignatureTrust(ZAFContextRef context, int32_t depth, int32_t amount) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        return valueOption(context, kOptSignatureTrust, depth, amount);
    });
}

ZAFOptionListRef ZAFORevocationReason(ZAFContextRef context, int32_t code, const char* text) {
    return zaf::guard(ZAFOptionListRef(nullptr), [&]() -> ZAFOptionListRef {
        const bool known =
            code == kZAFRevocationReason_None || code == kZAFRevocationReason_Superseded ||
            code == kZAFRevocationReason_Compromised || code == kZAFRevocationReason_Retired ||
            code == kZAFRevocationReason_UserIDInvalid || (code >= 100 && code <= 110);
        const size_t n = text != nullptr ? std::strlen(text) : 0;
        if (!known || n > kZAFMaxRevocationReasonLength)
            return nullptr;
        Option o;
        o.type = kOptRevocationReason;
        o.value = code;
        o.data.assign(text != nullptr ? text : "", n);
        return makeOption(context, std::move(o));
    });
}

} // extern "C"
