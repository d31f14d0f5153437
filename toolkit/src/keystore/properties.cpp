// properties: numeric, boolean, time and data properties of key database objects; key IDs.
#include "keystore_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace zaf;

static_assert(sizeof(ZAFKeyID) == 36, "the key ID record is 36 bytes");

std::string_view zaf::secretPacketBody(const Key& k, const ZAFKeyDBObj& o) {
    if (!k.hasSecret())
        return {};
    const uint8_t wantedTag =
        o.type == kZAFKeyDBObjType_Key ? rfc4880::kTagSecretKey : rfc4880::kTagSecretSubkey;
    std::string_view bytes = k.secBytes();
    const uint8_t* data = reinterpret_cast<const uint8_t*>(bytes.data());
    std::string scratch; // secret key packets never use partial lengths, so it stays unused
    size_t pos = 0;
    while (pos < bytes.size()) {
        rfc4880::RawPacket rp;
        if (!rfc4880::readPacket(data, bytes.size(), pos, rp, scratch))
            return {};
        pos += rp.total;
        if (rp.tag != wantedTag)
            continue;
        rfc4880::KeyInfo info;
        if (rfc4880::parseKeyPacket(rp.body, info) && std::memcmp(info.keyID, o.keyID, 8) == 0)
            return rp.body;
    }
    return {};
}

namespace {

bool isKeyish(const ZAFKeyDBObj* o) {
    return o->type == kZAFKeyDBObjType_Key || o->type == kZAFKeyDBObjType_SubKey;
}

bool keyUnverifiedRevocation(const Key& k) {
    ZAFKeyDB* db = k.owner;
    for (uint32_t idx : k.foreignRevocations)
        if (!isValidDB(db) || db->findByKeyID(k.objs[idx].keyID) == nullptr)
            return true;
    return false;
}

bool expired(uint32_t expiration) { return expiration != 0 && expiration <= now(); }

bool canEncrypt(const Key& k) { return primaryEncrypts(k) || !encryptionSubkeys(k).empty(); }

void fillKeyID(ZAFKeyID& id, const uint8_t bytes[8], int32_t alg) {
    std::memset(&id, 0, sizeof id);
    std::memcpy(id.bytes, bytes, 8);
    id.length = 8;
    id.algorithm = alg;
}

bool secretProtected(std::string_view body) {
    rfc4880::KeyInfo info;
    if (!rfc4880::parseKeyPacket(body, info, false) || info.publicLength >= body.size())
        return false;
    return body[info.publicLength] != 0;
}

ZAFError putData(const std::string& data, void* buffer, size_t size, size_t* outSize) {
    if (outSize)
        *outSize = data.size();
    if (buffer == nullptr || size < data.size())
        return kZAFError_BufferTooSmall;
    if (!data.empty())
        std::memcpy(buffer, data.data(), data.size());
    return kZAFError_NoErr;
}

ZAFError dataProperty(ZAFKeyDBObj* o, int32_t property, std::string& out) {
    Key& k = *o->key;
    switch (property) {
    case kZAFKeyProperty_Fingerprint:
        if (o->type != kZAFKeyDBObjType_Key)
            return kZAFError_BadParams;
        out.assign(reinterpret_cast<const char*>(k.fingerprint), k.fingerprintLength);
        return kZAFError_NoErr;
    case kZAFSubKeyProperty_Fingerprint: {
        if (o->type != kZAFKeyDBObjType_SubKey)
            return kZAFError_BadParams;
        rfc4880::KeyInfo info;
        if (!rfc4880::parseKeyPacket(k.packetBody(o->packet), info))
            return kZAFError_CorruptData;
        out.assign(reinterpret_cast<const char*>(info.fingerprint), info.fingerprintLength);
        return kZAFError_NoErr;
    }
    case kZAFKeyProperty_KeyID:
    case kZAFSubKeyProperty_KeyID:
    case kZAFSigProperty_KeyID: {
        uint8_t want = property == kZAFKeyProperty_KeyID      ? kZAFKeyDBObjType_Key
                       : property == kZAFSubKeyProperty_KeyID ? kZAFKeyDBObjType_SubKey
                                                              : kZAFKeyDBObjType_Signature;
        if (o->type != want || (want == kZAFKeyDBObjType_Signature && !o->hasIssuer))
            return kZAFError_BadParams;
        ZAFKeyID id;
        fillKeyID(id, o->keyID, o->algorithm);
        out.assign(reinterpret_cast<const char*>(&id), sizeof id);
        return kZAFError_NoErr;
    }
    case kZAFKeyProperty_PreferredCiphers: {
        if (o->type != kZAFKeyDBObjType_Key)
            return kZAFError_BadParams;
        if (k.prefSymmetric.empty())
            return kZAFError_ItemNotFound;
        out.clear();
        for (char c : k.prefSymmetric) {
            int32_t v = uint8_t(c);
            out.append(reinterpret_cast<const char*>(&v), sizeof v);
        }
        return kZAFError_NoErr;
    }
    case kZAFUserIDProperty_Name:
        if (o->type != kZAFKeyDBObjType_UserID)
            return kZAFError_BadParams;
        if (k.packets[o->packet].tag == rfc4880::kTagUserAttribute)
            out.clear();
        else
            out.assign(k.packetBody(o->packet));
        return kZAFError_NoErr;
    case kZAFUserIDProperty_AttributeData: {
        if (o->type != kZAFKeyDBObjType_UserID)
            return kZAFError_BadParams;
        if (k.packets[o->packet].tag != rfc4880::kTagUserAttribute)
            return kZAFError_ItemNotFound;
        std::string_view first = rfc4880::firstAttributeSubpacket(k.packetBody(o->packet));
        if (first.empty())
            return kZAFError_CorruptData;
        out.assign(first.substr(1));
        return kZAFError_NoErr;
    }
    case kZAFSigProperty_RegularExpression: {
        if (o->type != kZAFKeyDBObjType_Signature)
            return kZAFError_BadParams;
        rfc4880::SigInfo s;
        if (!rfc4880::parseSignature(k.packetBody(o->packet), s) || s.regexp.empty())
            return kZAFError_ItemNotFound;
        // The subpacket holds a NUL-terminated text; callers get the text alone.
        std::string_view text = s.regexp;
        if (!text.empty() && text.back() == '\0')
            text.remove_suffix(1);
        out.assign(text);
        return kZAFError_NoErr;
    }
    case kZAFSigProperty_X509Certificate:
    case kZAFSigProperty_X509LongName:
    case kZAFSigProperty_X509IssuerLongName:
        return o->type == kZAFKeyDBObjType_Signature ? kZAFError_ItemNotFound : kZAFError_BadParams;
    default:
        return kZAFError_BadParams;
    }
}

} // namespace

extern "C" {

ZAFError ZAFGetKeyDBObjNumericProperty(ZAFKeyDBObjRef obj, int32_t property, int32_t* outValue) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(obj))
            return kZAFError_InvalidHandle;
        if (outValue == nullptr)
            return kZAFError_BadParams;
        Key& k = *obj->key;
        int32_t v = 0;
        switch (property) {
        case kZAFObjProperty_ObjectType:
            v = obj->type;
            break;
        case kZAFKeyProperty_AlgorithmID:
        case kZAFSubKeyProperty_AlgorithmID:
            if (!isKeyish(obj))
                return kZAFError_BadParams;
            v = obj->algorithm;
            break;
        case kZAFKeyProperty_Bits:
        case kZAFSubKeyProperty_Bits:
            if (!isKeyish(obj))
                return kZAFError_BadParams;
            v = int32_t(obj->bits);
            break;
        case kZAFSubKeyProperty_Usage:
            if (obj->type != kZAFKeyDBObjType_SubKey)
                return kZAFError_BadParams;
            v = obj->usage;
            break;
        case kZAFKeyProperty_Trust:
            if (obj->type != kZAFKeyDBObjType_Key)
                return kZAFError_BadParams;
            v = k.effectiveOwnerTrust();
            break;
        case kZAFKeyProperty_Validity:
            if (obj->type != kZAFKeyDBObjType_Key)
                return kZAFError_BadParams;
            v = k.validity;
            break;
        case kZAFUserIDProperty_Validity:
            if (obj->type != kZAFKeyDBObjType_UserID)
                return kZAFError_BadParams;
            v = k.validity;
            break;
        case kZAFKeyProperty_PreferredHash:
            if (obj->type != kZAFKeyDBObjType_Key)
                return kZAFError_BadParams;
            v = k.prefHash.empty() ? 0 : uint8_t(k.prefHash[0]);
            break;
        case kZAFKeyProperty_NumUserIDs:
        case kZAFKeyProperty_NumSubKeys:
        case kZAFKeyProperty_NumSignatures: {
            if (obj->type != kZAFKeyDBObjType_Key)
                return kZAFError_BadParams;
            uint8_t t = property == kZAFKeyProperty_NumUserIDs   ? kZAFKeyDBObjType_UserID
                        : property == kZAFKeyProperty_NumSubKeys ? kZAFKeyDBObjType_SubKey
                                                                 : kZAFKeyDBObjType_Signature;
            for (const ZAFKeyDBObj& o : k.objs)
                v += o.type == t ? 1 : 0;
            break;
        }
        case kZAFKeyProperty_Version:
            if (!isKeyish(obj))
                return kZAFError_BadParams;
            v = obj->version;
            break;
        case kZAFUserIDProperty_AttributeType:
            if (obj->type != kZAFKeyDBObjType_UserID)
                return kZAFError_BadParams;
            v = obj->attributeType;
            break;
        case kZAFUserIDProperty_AttributeCount: {
            if (obj->type != kZAFKeyDBObjType_UserID)
                return kZAFError_BadParams;
            v = k.packets[obj->packet].tag == rfc4880::kTagUserAttribute ? 1 : 0;
            break;
        }
        case kZAFSigProperty_AlgorithmID:
        case kZAFSigProperty_TrustLevel:
        case kZAFSigProperty_TrustValue:
        case kZAFSigProperty_SigType:
        case kZAFSigProperty_HashAlgorithm:
        case kZAFSigProperty_Version:
            if (obj->type != kZAFKeyDBObjType_Signature)
                return kZAFError_BadParams;
            v = property == kZAFSigProperty_AlgorithmID     ? obj->algorithm
                : property == kZAFSigProperty_TrustLevel    ? obj->trustDepth
                : property == kZAFSigProperty_TrustValue    ? obj->trustAmount
                : property == kZAFSigProperty_SigType       ? obj->sigType
                : property == kZAFSigProperty_HashAlgorithm ? obj->hashAlg
                                                            : obj->sigVersion;
            break;
        default:
            return kZAFError_BadParams;
        }
        *outValue = v;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetKeyDBObjBooleanProperty(ZAFKeyDBObjRef obj, int32_t property, ZAFBoolean* outValue) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(obj))
            return kZAFError_InvalidHandle;
        if (outValue == nullptr)
            return kZAFError_BadParams;
        Key& k = *obj->key;
        bool v = false;
        bool isKey = obj->type == kZAFKeyDBObjType_Key;
        bool isSub = obj->type == kZAFKeyDBObjType_SubKey;
        bool isSig = obj->type == kZAFKeyDBObjType_Signature;
        if (property >= 100 && property <= 115 && !isKey)
            return kZAFError_BadParams;
        if (property >= 501 && property <= 505 && !isSub)
            return kZAFError_BadParams;
        if (property >= 1300 && property <= 1308 && !isSig)
            return kZAFError_BadParams;
        switch (property) {
        case kZAFKeyProperty_IsSecret:
        case kZAFKeyProperty_CanDecrypt:
            v = k.hasSecret() && (property == kZAFKeyProperty_IsSecret || canEncrypt(k));
            break;
        case kZAFKeyProperty_IsAxiomatic:
            v = k.effectiveOwnerTrust() == kZAFKeyTrust_Ultimate;
            break;
        case kZAFKeyProperty_IsRevoked:
            v = keyRevoked(k);
            break;
        case kZAFKeyProperty_IsDisabled:
            v = k.disabled;
            break;
        case kZAFKeyProperty_IsNotCorrupt:
            v = true;
            break;
        case kZAFKeyProperty_IsExpired:
            v = expired(k.expiration);
            break;
        case kZAFKeyProperty_NeedsPassphrase: {
            std::string_view body = secretPacketBody(k, *obj);
            v = !body.empty() && secretProtected(body);
            break;
        }
        case kZAFKeyProperty_HasUnverifiedRevocation:
            v = keyUnverifiedRevocation(k);
            break;
        case kZAFKeyProperty_CanEncrypt:
        case kZAFKeyProperty_IsEncryptionKey:
            v = canEncrypt(k);
            break;
        case kZAFKeyProperty_CanSign:
            v = k.hasSecret() && rfc4880::canAlgSign(k.algorithm) && !keyRevoked(k) &&
                !expired(k.expiration);
            break;
        case kZAFKeyProperty_CanVerify:
        case kZAFKeyProperty_IsSigningKey:
            v = rfc4880::canAlgSign(k.algorithm);
            break;
        case kZAFKeyProperty_IsSecretShared:
            v = false;
            break;
        case kZAFKeyProperty_IsRevocable:
            v = k.revocable;
            break;
        case kZAFSubKeyProperty_IsRevoked:
            v = obj->revoked;
            break;
        case kZAFSubKeyProperty_IsCorrupt:
            v = false;
            break;
        case kZAFSubKeyProperty_IsExpired:
            v = expired(obj->expiration);
            break;
        case kZAFSubKeyProperty_NeedsPassphrase: {
            std::string_view body = secretPacketBody(k, *obj);
            v = !body.empty() && secretProtected(body);
            break;
        }
        case kZAFSubKeyProperty_HasUnverifiedRevocation:
            v = obj->unverifiedRevocation;
            break;
        case kZAFUserIDProperty_IsAttribute:
            if (obj->type != kZAFKeyDBObjType_UserID)
                return kZAFError_BadParams;
            v = k.packets[obj->packet].tag == rfc4880::kTagUserAttribute;
            break;
        case kZAFSigProperty_IsRevoked:
            v = obj->revoked;
            break;
        case kZAFSigProperty_IsExportable:
            v = obj->exportable;
            break;
        case kZAFSigProperty_IsTried:
            v = obj->tried;
            break;
        case kZAFSigProperty_IsVerified:
            v = obj->verified;
            break;
        case kZAFSigProperty_IsMySig: {
            ZAFKeyDB* db = k.owner;
            Key* signer = isValidDB(db) && obj->hasIssuer ? db->findByKeyID(obj->keyID) : nullptr;
            v = signer != nullptr && signer->hasSecret();
            break;
        }
        case kZAFSigProperty_IsRevocation:
            v = obj->sigType == 0x20 || obj->sigType == 0x28 || obj->sigType == 0x30;
            break;
        case kZAFSigProperty_HasUnverifiedRevocation:
            v = false;
            break;
        case kZAFSigProperty_IsExpired:
            v = obj->sigExpireSecs != 0 && expired(obj->created + obj->sigExpireSecs);
            break;
        case kZAFSigProperty_IsX509:
            v = false;
            break;
        default:
            return kZAFError_BadParams;
        }
        *outValue = v ? 1 : 0;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetKeyDBObjTimeProperty(ZAFKeyDBObjRef obj, int32_t property, ZAFTime* outValue) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(obj))
            return kZAFError_InvalidHandle;
        if (outValue == nullptr)
            return kZAFError_BadParams;
        Key& k = *obj->key;
        switch (property) {
        case kZAFKeyProperty_Creation:
        case kZAFKeyProperty_Expiration:
            if (obj->type != kZAFKeyDBObjType_Key)
                return kZAFError_BadParams;
            *outValue = property == kZAFKeyProperty_Creation ? k.created : k.expiration;
            return kZAFError_NoErr;
        case kZAFSubKeyProperty_Creation:
        case kZAFSubKeyProperty_Expiration:
            if (obj->type != kZAFKeyDBObjType_SubKey)
                return kZAFError_BadParams;
            *outValue = property == kZAFSubKeyProperty_Creation ? obj->created : obj->expiration;
            return kZAFError_NoErr;
        case kZAFSigProperty_Creation:
        case kZAFSigProperty_Expiration:
            if (obj->type != kZAFKeyDBObjType_Signature)
                return kZAFError_BadParams;
            *outValue = property == kZAFSigProperty_Creation ? obj->created
                        : obj->sigExpireSecs                 ? obj->created + obj->sigExpireSecs
                                                             : 0;
            return kZAFError_NoErr;
        default:
            return kZAFError_BadParams;
        }
    });
}

ZAFError ZAFGetKeyDBObjDataProperty(ZAFKeyDBObjRef obj, int32_t property, void* buffer, size_t size,
                                    size_t* outSize) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(obj))
            return kZAFError_InvalidHandle;
        if (outSize == nullptr)
            return kZAFError_BadParams;
        std::string data;
        ZAFError err = dataProperty(obj, property, data);
        if (err != kZAFError_NoErr)
            return err;
        return putData(data, buffer, size, outSize);
    });
}

ZAFError ZAFGetKeyDBObjAllocatedDataProperty(ZAFKeyDBObjRef obj, int32_t property, void** outData,
                                             size_t* outSize) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(obj))
            return kZAFError_InvalidHandle;
        if (outData == nullptr || outSize == nullptr)
            return kZAFError_BadParams;
        std::string data;
        ZAFError err = dataProperty(obj, property, data);
        if (err != kZAFError_NoErr)
            return err;
        void* block = std::malloc(data.empty() ? 1 : data.size());
        if (block == nullptr)
            return kZAFError_OutOfMemory;
        if (!data.empty())
            std::memcpy(block, data.data(), data.size());
        *outData = block;
        *outSize = data.size();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFreeData(void* data) {
    return zaf::guard([&]() -> ZAFError {
        std::free(data);
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetKeyDBObjKey(ZAFKeyDBObjRef obj, ZAFKeyDBObjRef* outKey) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(obj))
            return kZAFError_InvalidHandle;
        if (outKey == nullptr)
            return kZAFError_BadParams;
        *outKey = &obj->key->objs[0];
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetPrimaryUserID(ZAFKeyDBObjRef key, ZAFKeyDBObjRef* outUserID) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(key))
            return kZAFError_InvalidHandle;
        if (key->type != kZAFKeyDBObjType_Key || outUserID == nullptr)
            return kZAFError_BadParams;
        Key& k = *key->key;
        if (k.primaryUserID < 0)
            return kZAFError_ItemNotFound;
        *outUserID = &k.objs[size_t(k.primaryUserID)];
        return kZAFError_NoErr;
    });
}

static ZAFError setTrustPacket(ZAFKeyDBObjRef key, int32_t trust, bool disabled) {
    Key* k = key->key;
    ZAFKeyDB* db = k->owner;
    if (!isValidDB(db))
        return kZAFError_ItemNotFound;
    if (!k->pubLength)
        return kZAFError_ItemNotFound;
    TKTree t;
    if (!t.parse(k->pubBytes()))
        return kZAFError_CorruptData;
    std::string body;
    body.push_back(char((trust & 7) | (disabled ? 0x20 : 0)));
    body.push_back(0);
    std::string packet;
    rfc4880::writePacket(packet, rfc4880::kTagTrust, body);
    if (!t.follow.empty() && (uint8_t(t.follow[0][0]) & 0x3C) == (rfc4880::kTagTrust << 2) &&
        !(uint8_t(t.follow[0][0]) & 0x40))
        t.follow[0] = packet;
    else
        t.follow.insert(t.follow.begin(), packet);
    KeyPtr nk = buildKeyFromStrings(t.serialize(), std::string(k->secBytes()));
    if (!nk)
        return kZAFError_CorruptData;
    KeyPtr old;
    for (const KeyPtr& p : db->keys)
        if (p.get() == k)
            old = p;
    if (!old)
        return kZAFError_ItemNotFound;
    db->replaceKey(old, nk, true);
    return kZAFError_NoErr;
}

ZAFError ZAFSetKeyOwnerTrust(ZAFKeyDBObjRef key, int32_t trust) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(key))
            return kZAFError_InvalidHandle;
        if (key->type != kZAFKeyDBObjType_Key ||
            !(trust == 0 || trust == 1 || trust == 2 || trust == 5 || trust == 6 || trust == 7))
            return kZAFError_BadParams;
        return setTrustPacket(key, trust, key->key->disabled);
    });
}

ZAFError ZAFSetKeyDisabled(ZAFKeyDBObjRef key, ZAFBoolean disabled) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(key))
            return kZAFError_InvalidHandle;
        if (key->type != kZAFKeyDBObjType_Key)
            return kZAFError_BadParams;
        return setTrustPacket(key, key->key->effectiveOwnerTrust(), disabled != 0);
    });
}

static ZAFError indexed(ZAFKeyDBObjRef key, bool revokers, uint32_t index, ZAFKeyDBObjRef* outKey,
                        ZAFKeyID* outKeyID, uint8_t* outClass) {
    if (!isValidObj(key) || key->type != kZAFKeyDBObjType_Key)
        return kZAFError_BadParams;
    const Key& k = *key->key;
    const auto& list = revokers ? k.revokers : k.adks;
    if (index >= list.size())
        return kZAFError_ItemNotFound;
    const auto& e = list[index];
    // Layout: class, algorithm, 20-byte fingerprint; the key ID is its last 8 bytes.
    if (outKeyID) {
        fillKeyID(*outKeyID, e.data() + 14, e[1]);
    }
    if (outClass)
        *outClass = e[0];
    if (outKey) {
        *outKey = nullptr;
        ZAFKeyDB* db = k.owner;
        if (isValidDB(db)) {
            std::string fpr(reinterpret_cast<const char*>(e.data() + 2), 20);
            Key* found = db->findByFingerprint(fpr);
            if (found)
                *outKey = &found->objs[0];
        }
    }
    return kZAFError_NoErr;
}

ZAFError ZAFCountRevocationKeys(ZAFKeyDBObjRef key, uint32_t* outCount) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(key))
            return kZAFError_InvalidHandle;
        if (key->type != kZAFKeyDBObjType_Key || outCount == nullptr)
            return kZAFError_BadParams;
        *outCount = uint32_t(key->key->revokers.size());
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetIndexedRevocationKey(ZAFKeyDBObjRef key, uint32_t index, ZAFKeyDBObjRef* outKey,
                                    ZAFKeyID* outKeyID) {
    return zaf::guard(
        [&]() -> ZAFError { return indexed(key, true, index, outKey, outKeyID, nullptr); });
}

ZAFError ZAFCountAdditionalRecipientRequests(ZAFKeyDBObjRef key, uint32_t* outCount) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(key))
            return kZAFError_InvalidHandle;
        if (key->type != kZAFKeyDBObjType_Key || outCount == nullptr)
            return kZAFError_BadParams;
        *outCount = uint32_t(key->key->adks.size());
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetIndexedAdditionalRecipientRequest(ZAFKeyDBObjRef key, uint32_t index,
                                                 ZAFKeyDBObjRef* outKey, ZAFKeyID* outKeyID,
                                                 uint8_t* outClass) {
    return zaf::guard(
        [&]() -> ZAFError { return indexed(key, false, index, outKey, outKeyID, outClass); });
}

ZAFError ZAFGetKeyID(ZAFKeyDBObjRef keyOrSubKey, ZAFKeyID* outKeyID) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(keyOrSubKey))
            return kZAFError_InvalidHandle;
        if (!isKeyish(keyOrSubKey) || outKeyID == nullptr)
            return kZAFError_BadParams;
        fillKeyID(*outKeyID, keyOrSubKey->keyID, keyOrSubKey->algorithm);
        return kZAFError_NoErr;
    });
}

ZAFError ZAFNewKeyID(const uint8_t* bytes, size_t size, int32_t algorithm, ZAFKeyID* outKeyID) {
    return zaf::guard([&]() -> ZAFError {
        if (bytes == nullptr || outKeyID == nullptr || (size != 4 && size != 8))
            return kZAFError_BadParams;
        std::memset(outKeyID, 0, sizeof *outKeyID);
        std::memcpy(outKeyID->bytes + 8 - size, bytes, size);
        outKeyID->length = uint32_t(size);
        outKeyID->algorithm = algorithm;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetKeyIDString(const ZAFKeyID* keyID, int32_t type, char* buffer, size_t size) {
    return zaf::guard([&]() -> ZAFError {
        if (keyID == nullptr || buffer == nullptr ||
            (type != kZAFKeyIDString_Abbreviated && type != kZAFKeyIDString_Full))
            return kZAFError_BadParams;
        size_t digits = type == kZAFKeyIDString_Abbreviated ? 8 : 16;
        if (type == kZAFKeyIDString_Full && keyID->length < 8)
            return kZAFError_BadParams; // a short ID cannot be shown in full
        if (size < digits + 3)
            return kZAFError_BufferTooSmall;
        buffer[0] = '0';
        buffer[1] = 'x';
        const uint8_t* start = keyID->bytes + 8 - digits / 2;
        for (size_t i = 0; i < digits / 2; ++i)
            std::snprintf(buffer + 2 + 2 * i, 3, "%02X", start[i]);
        buffer[2 + digits] = '\0';
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetKeyIDFromString(const char* text, int32_t algorithm, ZAFKeyID* outKeyID) {
    return zaf::guard([&]() -> ZAFError {
        if (text == nullptr || outKeyID == nullptr)
            return kZAFError_BadParams;
        size_t len = std::strlen(text);
        if (len != 10 && len != 18)
            return kZAFError_BadParams;
        if (text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
            return kZAFError_BadParams;
        uint8_t bytes[8] = {};
        size_t n = (len - 2) / 2;
        for (size_t i = 0; i < n; ++i) {
            int v = 0;
            for (size_t j = 0; j < 2; ++j) {
                char c = text[2 + 2 * i + j];
                int d = c >= '0' && c <= '9'   ? c - '0'
                        : c >= 'a' && c <= 'f' ? c - 'a' + 10
                        : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                               : -1;
                if (d < 0)
                    return kZAFError_BadParams;
                v = v * 16 + d;
            }
            bytes[i] = uint8_t(v);
        }
        return ZAFNewKeyID(bytes, n, algorithm, outKeyID);
    });
}

ZAFError ZAFNewKeyIDFromString(const char* text, int32_t algorithm, ZAFKeyID* outKeyID) {
    return zaf::guard(
        [&]() -> ZAFError { return ZAFGetKeyIDFromString(text, algorithm, outKeyID); });
}

int32_t ZAFCompareKeyIDs(const ZAFKeyID* a, const ZAFKeyID* b) {
    return zaf::guard(int32_t(0), [&]() -> int32_t {
        if (a == nullptr || b == nullptr)
            return a == b ? 0 : (a == nullptr ? -1 : 1);
        uint32_t la = a->length > 8 ? 8 : a->length;
        uint32_t lb = b->length > 8 ? 8 : b->length;
        uint32_t n = la < lb ? la : lb;
        int c = std::memcmp(a->bytes + 8 - n, b->bytes + 8 - n, n);
        return c == 0 ? 0 : (c < 0 ? -1 : 1);
    });
}

} // extern "C"
