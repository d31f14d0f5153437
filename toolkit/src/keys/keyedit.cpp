// keyedit: user IDs and photo IDs, certifications, revocations, designated revokers and
// additional decryption keys of existing keys.
#include "keyedit_internal.h"

#include <cstdarg>
#include <cstring>

using namespace zaf;
using namespace zaf::edit;

namespace {

constexpr uint32_t kSecondsPerDay = 86400;

// A revocation's reason: the code and the explanation (RFC 4880 subpacket 29).
struct Reason {
    uint8_t code = kZAFRevocationReason_None;
    std::string text;
    bool given = false;

    std::string subpacket() const {
        std::string hashed;
        rfc4880::appendSubpacket(hashed, 29, std::string(1, char(code)) + text);
        return hashed;
    }
};

// Subpackets a new self-signature takes over from the key's current one, so that adding a user
// ID changes neither the key's expiration nor its preferences.
const uint8_t kInherited[] = {9, 10, 11, 21, 22, 23, 27, 30};

bool isCertification(uint8_t type) { return type >= 0x10 && type <= 0x13; }

bool selfSigned(const Key& k, const ZAFKeyDBObj& o) {
    return o.type == kZAFKeyDBObjType_Signature && o.parsed && o.hasIssuer &&
           std::memcmp(o.keyID, k.keyID(), 8) == 0;
}

// The hashed subpackets of the newest self-certification of the key's primary user ID.
std::string inheritedSubpackets(const Key& k) {
    const ZAFKeyDBObj* best = nullptr;
    for (const ZAFKeyDBObj& o : k.objs)
        if (selfSigned(k, o) && o.parent == k.primaryUserID && isCertification(o.sigType) &&
            o.sigVersion == 4 && (best == nullptr || o.created >= best->created))
            best = &o;
    std::string out;
    if (best == nullptr) {
        // No self-signature to follow: the flags a primary key of this algorithm gets.
        uint8_t flags = rfc4880::canAlgEncrypt(k.algorithm) ? 0x0F : 0x03;
        rfc4880::appendSubpacket(out, 27, std::string(1, char(flags)));
        return out;
    }
    for (const auto& sp : hashedSubpackets(k.packetBody(best->packet)))
        for (uint8_t t : kInherited)
            if ((sp.first & 0x7F) == t) {
                // Keep the critical bit as the key's own signature had it.
                std::string body(sp.second);
                std::string one;
                rfc4880::appendSubpacket(one, sp.first, body);
                out += one;
            }
    return out;
}

bool isKeyRevoked(const Key& k) {
    ZAFBoolean v = 0;
    ZAFGetKeyDBObjBooleanProperty(const_cast<ZAFKeyDBObj*>(&k.objs[0]), kZAFKeyProperty_IsRevoked,
                                  &v);
    return v != 0;
}

bool isKeyExpired(const Key& k) {
    ZAFBoolean v = 0;
    ZAFGetKeyDBObjBooleanProperty(const_cast<ZAFKeyDBObj*>(&k.objs[0]), kZAFKeyProperty_IsExpired,
                                  &v);
    return v != 0;
}

// The component of a tree holding the user ID (or attribute) with this tag and body.
TKTree::Component* findUser(TKTree& t, uint8_t tag, std::string_view body) {
    for (auto& c : t.comps)
        if (c.tag == tag && rfc4880::rawBody(c.head) == body)
            return &c;
    return nullptr;
}

// The component of a tree holding the subkey with this key ID (public or secret packet).
TKTree::Component* findSubkey(TKTree& t, const uint8_t keyID[8]) {
    for (auto& c : t.comps) {
        if (c.tag != rfc4880::kTagPublicSubkey && c.tag != rfc4880::kTagSecretSubkey)
            continue;
        rfc4880::KeyInfo info;
        if (rfc4880::parseKeyPacket(rfc4880::rawBody(c.head), info) &&
            std::memcmp(info.keyID, keyID, 8) == 0)
            return &c;
    }
    return nullptr;
}

// Certifications by other keys (and their revocations) belong to the public key: the secret ring
// keeps the key's own signatures only, so an export with secret keys never carries a local
// certification. A key held only in the secret ring takes them there. The key's own signatures
// (revoking one of its user IDs) go to both rings.
bool addCertificationPacket(const Key& key, TKTree& t, bool secret, uint8_t tag,
                            std::string_view body, const std::string& sig, bool ownSignature) {
    if (secret && key.pubLength && !ownSignature)
        return true;
    TKTree::Component* c = findUser(t, tag, body);
    if (c == nullptr)
        return false;
    c->follow.push_back(sig);
    return true;
}

// Key-level signatures go after the trust packet that must stay right behind the key packet.
void insertKeySignature(TKTree& t, const std::string& sig, bool atFront) {
    size_t at = (!t.follow.empty() && rfc4880::rawTag(t.follow[0]) == rfc4880::kTagTrust) ? 1 : 0;
    if (!atFront)
        at = t.follow.size();
    t.follow.insert(t.follow.begin() + long(at), sig);
}

// Collects the options of an edit call into `opts`, accepting the given kinds.
ZAFError loadOptions(std::vector<Option>&& collected, std::initializer_list<int> accepted,
                     OptionSet& opts, Secret& pass) {
    ZAFError err = opts.load(std::move(collected), accepted);
    if (err != kZAFError_NoErr)
        return err;
    return opts.secret(pass);
}

std::string_view view(const Secret& s) {
    return std::string_view(reinterpret_cast<const char*>(s.data()), s.size());
}

// The key of `obj` in its current version, in a database that may change.
ZAFError editableKey(const ZAFKeyDBObj* obj, KeyPtr& out) {
    out = currentKey(obj);
    if (!out)
        return kZAFError_ItemNotFound;
    return checkWritable(out->owner);
}

// Adds a self-signed user ID or user attribute packet to a key.
ZAFError addUser(ZAFKeyDBObjRef keyObj, uint8_t tag, const std::string& body,
                 std::vector<Option>&& collected) {
    OptionSet opts;
    Secret pass;
    ZAFError err = loadOptions(std::move(collected), {kOptPassphrase, kOptPasskey}, opts, pass);
    if (err != kZAFError_NoErr)
        return err;
    KeyPtr key;
    if ((err = editableKey(keyObj, key)) != kZAFError_NoErr)
        return err;
    if (tag == rfc4880::kTagUserAttribute && key->version < 4)
        return kZAFError_UnsupportedAlg;
    for (const ZAFKeyDBObj& o : key->objs)
        if (o.type == kZAFKeyDBObjType_UserID && key->packets[o.packet].tag == tag &&
            key->packetBody(o.packet) == body)
            return kZAFError_ItemAlreadyExists;
    if (isKeyRevoked(*key))
        return kZAFError_KeyRevoked;
    Signer signer;
    if ((err = unlockSigner(*key, view(pass), signer)) != kZAFError_NoErr)
        return err;
    Target target{key->packetBody(0), tag, body};
    std::string sig;
    err = key->version < 4 ? writeSignatureV3(target, 0x13, now(), signer, sig)
                           : writeSignatureV4(target, 0x13, now(), inheritedSubpackets(*key),
                                              std::string(), signer, sig);
    if (err != kZAFError_NoErr)
        return err;
    std::string packet;
    rfc4880::writePacket(packet, tag, body);
    return replaceWithEdit(key, [&](TKTree& t, bool) {
        TKTree::Component c;
        c.tag = tag;
        c.head = packet;
        c.follow.push_back(sig);
        // User IDs come before the subkeys.
        size_t at = t.comps.size();
        for (size_t i = 0; i < t.comps.size(); ++i)
            if (t.comps[i].tag == rfc4880::kTagPublicSubkey ||
                t.comps[i].tag == rfc4880::kTagSecretSubkey) {
                at = i;
                break;
            }
        t.comps.insert(t.comps.begin() + long(at), std::move(c));
        return true;
    });
}

// Owner-trust values to trust signature amounts.
bool trustAmount(int64_t ownerTrust, uint8_t& amount) {
    switch (ownerTrust) {
    case kZAFKeyTrust_Undefined:
    case kZAFKeyTrust_Unknown:
    case kZAFKeyTrust_Never:
        amount = 0;
        return true;
    case kZAFKeyTrust_Marginal:
        amount = 60;
        return true;
    case kZAFKeyTrust_Complete:
    case kZAFKeyTrust_Ultimate:
        amount = 120;
        return true;
    default:
        return false;
    }
}

ZAFError certify(ZAFKeyDBObjRef userID, ZAFKeyDBObjRef signerObj, std::vector<Option>&& collected) {
    OptionSet opts;
    Secret pass;
    ZAFError err = loadOptions(std::move(collected),
                               {kOptPassphrase, kOptPasskey, kOptRegularExpression, kOptExportable,
                                kOptSignatureTrust, kOptExpiration},
                               opts, pass);
    if (err != kZAFError_NoErr)
        return err;
    KeyPtr target;
    if ((err = editableKey(userID, target)) != kZAFError_NoErr)
        return err;
    int32_t idx = matchObject(*target, *userID);
    if (idx < 0)
        return kZAFError_ItemNotFound;
    const ZAFKeyDBObj& uid = target->objs[size_t(idx)];
    KeyPtr signerKey = currentKey(signerObj);
    if (!signerKey)
        return kZAFError_ItemNotFound;
    if (signerKey->fingerprintKey() == target->fingerprintKey())
        return kZAFError_ItemAlreadyExists;
    if (isKeyRevoked(*signerKey))
        return kZAFError_KeyRevoked;
    if (isKeyExpired(*signerKey))
        return kZAFError_KeyExpired;
    std::string hashed;
    bool local = false;
    if (const Option* e = opts.get(kOptExportable))
        local = e->value == 0;
    if (local)
        rfc4880::appendSubpacket(hashed, 4, std::string(1, char(0)));
    if (const Option* t = opts.get(kOptSignatureTrust)) {
        uint8_t amount = 0;
        if (t->value < 0 || t->value > 255 || !trustAmount(t->value2, amount))
            return kZAFError_BadParams;
        if (t->value > 0) {
            std::string body;
            body.push_back(char(t->value));
            body.push_back(char(amount));
            rfc4880::appendSubpacket(hashed, 5, body);
        }
    }
    if (const Option* r = opts.get(kOptRegularExpression))
        rfc4880::appendSubpacket(hashed, 6, r->data + std::string(1, '\0'));
    const uint32_t created = now();
    if (const Option* x = opts.get(kOptExpiration)) {
        if (uint64_t(x->value) * kSecondsPerDay > 0xFFFFFFFFull - created)
            return kZAFError_BadTime;
        if (x->value > 0) {
            uint32_t secs = uint32_t(x->value) * kSecondsPerDay;
            std::string b;
            for (int s = 24; s >= 0; s -= 8)
                b.push_back(char((secs >> s) & 0xFF));
            rfc4880::appendSubpacket(hashed, 3, b);
        }
    }
    Signer signer;
    if ((err = unlockSigner(*signerKey, view(pass), signer)) != kZAFError_NoErr)
        return err;
    uint8_t tag = target->packets[uid.packet].tag;
    std::string body(target->packetBody(uid.packet));
    Target what{target->packetBody(0), tag, body};
    std::string sig;
    // Legacy keys keep to legacy signatures unless the certification needs subpackets.
    err = signer.version < 4 && hashed.empty()
              ? writeSignatureV3(what, 0x10, created, signer, sig)
              : writeSignatureV4(what, 0x10, created, hashed, std::string(), signer, sig);
    if (err != kZAFError_NoErr)
        return err;
    return replaceWithEdit(target, [&](TKTree& t, bool secret) {
        return addCertificationPacket(*target, t, secret, tag, body, sig, false);
    });
}

ZAFError revokeKey(const KeyPtr& target, ZAFKeyDBObjRef revoker, const Secret& pass,
                   const Reason& reason) {
    KeyPtr signerKey = target;
    if (revoker != nullptr) {
        signerKey = currentKey(revoker);
        if (!signerKey)
            return kZAFError_ItemNotFound;
    }
    if (signerKey->fingerprintKey() != target->fingerprintKey()) {
        bool designated = false;
        for (const auto& r : target->revokers)
            designated = designated || (signerKey->fingerprintLength == 20 &&
                                        std::memcmp(r.data() + 2, signerKey->fingerprint, 20) == 0);
        if (!designated)
            return kZAFError_NotDesignatedRevoker;
    }
    if (isKeyRevoked(*target))
        return kZAFError_AlreadyRevoked;
    if (!target->revocable)
        return kZAFError_NotRevocable;
    Signer signer;
    ZAFError err = unlockSigner(*signerKey, view(pass), signer);
    if (err != kZAFError_NoErr)
        return err;
    Target what{target->packetBody(0), 0, {}};
    std::string sig;
    // A legacy key's revocation is a legacy signature, unless it must carry a reason.
    if (signer.version < 4 && !reason.given)
        err = writeSignatureV3(what, 0x20, now(), signer, sig);
    else
        err = writeSignatureV4(what, 0x20, now(), reason.subpacket(), std::string(), signer, sig);
    if (err != kZAFError_NoErr)
        return err;
    return replaceWithEdit(target, [&](TKTree& t, bool) {
        insertKeySignature(t, sig, true);
        return true;
    });
}

ZAFError revokeSubkey(const KeyPtr& target, const ZAFKeyDBObj& sub, ZAFKeyDBObjRef revoker,
                      const Secret& pass, const Reason& reason) {
    if (revoker != nullptr) {
        KeyPtr r = currentKey(revoker);
        if (!r)
            return kZAFError_ItemNotFound;
        if (r->fingerprintKey() != target->fingerprintKey())
            return kZAFError_NotDesignatedRevoker;
    }
    if (sub.revoked)
        return kZAFError_AlreadyRevoked;
    Signer signer;
    ZAFError err = unlockSigner(*target, view(pass), signer);
    if (err != kZAFError_NoErr)
        return err;
    std::string subBody(target->packetBody(sub.packet));
    Target what{target->packetBody(0), rfc4880::kTagPublicSubkey, subBody};
    std::string sig;
    if ((err = writeSignatureV4(what, 0x28, now(), reason.subpacket(), std::string(), signer,
                                sig)) != kZAFError_NoErr)
        return err;
    uint8_t keyID[8];
    std::memcpy(keyID, sub.keyID, 8);
    return replaceWithEdit(target, [&](TKTree& t, bool secret) {
        TKTree::Component* c = findSubkey(t, keyID);
        if (c == nullptr)
            return secret;
        c->follow.push_back(sig);
        return true;
    });
}

ZAFError revokeCertification(const KeyPtr& target, const ZAFKeyDBObj& cert, ZAFKeyDBObjRef revoker,
                             const Secret& pass, const Reason& reason) {
    if (!cert.parsed || !isCertification(cert.sigType) || cert.parent <= 0 || !cert.hasIssuer ||
        target->objs[size_t(cert.parent)].type != kZAFKeyDBObjType_UserID)
        return kZAFError_BadParams;
    if (cert.revoked)
        return kZAFError_AlreadyRevoked;
    KeyPtr signerKey;
    if (revoker != nullptr) {
        signerKey = currentKey(revoker);
        if (!signerKey)
            return kZAFError_ItemNotFound;
    } else {
        Key* issuer = target->owner->findByKeyID(cert.keyID);
        if (issuer == nullptr)
            return kZAFError_NoSecretKey;
        for (const KeyPtr& k : target->owner->keys)
            if (k.get() == issuer)
                signerKey = k;
    }
    if (!signerKey || std::memcmp(signerKey->keyID(), cert.keyID, 8) != 0)
        return kZAFError_NotDesignatedRevoker; // only the issuer revokes its certification
    Signer signer;
    ZAFError err = unlockSigner(*signerKey, view(pass), signer);
    if (err != kZAFError_NoErr)
        return err;
    const bool own = signerKey->fingerprintKey() == target->fingerprintKey();
    const ZAFKeyDBObj& uid = target->objs[size_t(cert.parent)];
    uint8_t tag = target->packets[uid.packet].tag;
    std::string body(target->packetBody(uid.packet));
    Target what{target->packetBody(0), tag, body};
    std::string hashed;
    // Revoking a local certification is a local matter too.
    if (!cert.exportable)
        rfc4880::appendSubpacket(hashed, 4, std::string(1, char(0)));
    std::string sig;
    if (signer.version < 4 && cert.exportable && !reason.given) {
        err = writeSignatureV3(what, 0x30, now(), signer, sig);
    } else {
        hashed += reason.subpacket();
        err = writeSignatureV4(what, 0x30, now(), hashed, std::string(), signer, sig);
    }
    if (err != kZAFError_NoErr)
        return err;
    return replaceWithEdit(target, [&](TKTree& t, bool secret) {
        return addCertificationPacket(*target, t, secret, tag, body, sig, own);
    });
}

// Adds a direct-key self-signature naming another key in subpacket `type` (12 revoker, 10 ADK).
ZAFError addKeyReference(ZAFKeyDBObjRef keyObj, ZAFKeyDBObjRef otherObj, uint8_t type,
                         uint8_t keyClass, std::vector<Option>&& collected) {
    OptionSet opts;
    Secret pass;
    ZAFError err = loadOptions(std::move(collected), {kOptPassphrase, kOptPasskey}, opts, pass);
    if (err != kZAFError_NoErr)
        return err;
    KeyPtr key;
    if ((err = editableKey(keyObj, key)) != kZAFError_NoErr)
        return err;
    const Key& other = *otherObj->key;
    if (key->version < 4 || other.fingerprintLength != 20)
        return kZAFError_UnsupportedAlg;
    if (other.fingerprintKey() == key->fingerprintKey())
        return kZAFError_BadParams;
    if (type == 10) {
        ZAFBoolean canEncrypt = 0;
        ZAFGetKeyDBObjBooleanProperty(const_cast<ZAFKeyDBObj*>(&other.objs[0]),
                                      kZAFKeyProperty_CanEncrypt, &canEncrypt);
        if (!canEncrypt)
            return kZAFError_UnsupportedAlg;
    }
    for (const auto& e : type == 12 ? key->revokers : key->adks)
        if (std::memcmp(e.data() + 2, other.fingerprint, 20) == 0)
            return kZAFError_ItemAlreadyExists;
    if (isKeyRevoked(*key))
        return kZAFError_KeyRevoked;
    Signer signer;
    if ((err = unlockSigner(*key, view(pass), signer)) != kZAFError_NoErr)
        return err;
    std::string entry(1, char(keyClass));
    entry.push_back(char(other.algorithm));
    entry.append(reinterpret_cast<const char*>(other.fingerprint), 20);
    std::string hashed;
    rfc4880::appendSubpacket(hashed, type, entry);
    std::string sig;
    if ((err = writeSignatureV4(Target{key->packetBody(0), 0, {}}, 0x1F, now(), hashed,
                                std::string(), signer, sig)) != kZAFError_NoErr)
        return err;
    return replaceWithEdit(key, [&](TKTree& t, bool) {
        insertKeySignature(t, sig, false);
        return true;
    });
}

// Runs an edit call in the C boundary's guard: collects its options, then checks the handles
// (`handlesOk`) and the other arguments (`argumentsOk`).
template <class Body>
ZAFError runEdit(ZAFOptionListRef first, va_list ap, bool handlesOk, bool argumentsOk, Body body) {
    return zaf::guard([&]() -> ZAFError {
        std::vector<Option> collected;
        bool ok = collectOptions(first, ap, collected);
        if (!handlesOk)
            return kZAFError_InvalidHandle;
        if (!ok || !argumentsOk)
            return kZAFError_BadParams;
        return body(std::move(collected));
    });
}

// A live object handle (null counts as live when `optional`) and, when live, of `type`.
bool isType(const ZAFKeyDBObj* o, uint8_t type) { return isValidObj(o) && o->type == type; }
bool isHandle(const ZAFKeyDBObj* o, bool optional = false) {
    return isValidObj(o) || (optional && o == nullptr);
}

} // namespace

extern "C" {

ZAFError ZAFAddUserID(ZAFKeyDBObjRef key, const char* userID, ZAFOptionListRef first, ...) {
    va_list ap;
    va_start(ap, first);
    size_t n = userID ? std::strlen(userID) : 0;
    ZAFError err = runEdit(first, ap, isHandle(key),
                           isType(key, kZAFKeyDBObjType_Key) && n > 0 && n <= kZAFMaxUserIDLength,
                           [&](std::vector<Option>&& opts) {
                               return addUser(key, rfc4880::kTagUserID, std::string(userID, n),
                                              std::move(opts));
                           });
    va_end(ap);
    return err;
}

ZAFError ZAFAddPhotoID(ZAFKeyDBObjRef key, const void* jpeg, size_t size, ZAFOptionListRef first,
                       ...) {
    va_list ap;
    va_start(ap, first);
    const uint8_t* img = static_cast<const uint8_t*>(jpeg);
    bool imageOk =
        img != nullptr && size >= 3 && size <= kZAFMaxPhotoSize && img[0] == 0xFF && img[1] == 0xD8;
    ZAFError err =
        runEdit(first, ap, isHandle(key), isType(key, kZAFKeyDBObjType_Key) && imageOk,
                [&](std::vector<Option>&& opts) {
                    // Image header: length 16 (little-endian), version 1, format 1
                    // (JPEG), then twelve zero bytes.
                    std::string image("\x10\x00\x01\x01", 4);
                    image.append(12, '\0');
                    image.append(reinterpret_cast<const char*>(img), size);
                    std::string body;
                    rfc4880::appendSubpacket(body, 1, image);
                    return addUser(key, rfc4880::kTagUserAttribute, body, std::move(opts));
                });
    va_end(ap);
    return err;
}

ZAFError ZAFCertifyUserID(ZAFKeyDBObjRef userID, ZAFKeyDBObjRef signer, ZAFOptionListRef first,
                          ...) {
    va_list ap;
    va_start(ap, first);
    ZAFError err = runEdit(
        first, ap, isHandle(userID) && isHandle(signer),
        isType(userID, kZAFKeyDBObjType_UserID) && isType(signer, kZAFKeyDBObjType_Key),
        [&](std::vector<Option>&& opts) { return certify(userID, signer, std::move(opts)); });
    va_end(ap);
    return err;
}

ZAFError ZAFRevoke(ZAFKeyDBObjRef object, ZAFKeyDBObjRef revoker, ZAFOptionListRef first, ...) {
    va_list ap;
    va_start(ap, first);
    bool handlesOk = isHandle(object) && isHandle(revoker, true);
    bool objectOk = handlesOk && object->type != kZAFKeyDBObjType_UserID &&
                    (revoker == nullptr || isType(revoker, kZAFKeyDBObjType_Key));
    ZAFError err = runEdit(first, ap, handlesOk, objectOk, [&](std::vector<Option>&& collected) {
        OptionSet opts;
        Secret pass;
        ZAFError e = loadOptions(std::move(collected),
                                 {kOptPassphrase, kOptPasskey, kOptRevocationReason}, opts, pass);
        if (e != kZAFError_NoErr)
            return e;
        Reason reason;
        if (const Option* r = opts.get(kOptRevocationReason)) {
            reason.code = uint8_t(r->value);
            reason.text = r->data;
            reason.given = true;
        }
        KeyPtr target;
        if ((e = editableKey(object, target)) != kZAFError_NoErr)
            return e;
        int32_t idx = matchObject(*target, *object);
        if (idx < 0)
            return ZAFError(kZAFError_ItemNotFound);
        const ZAFKeyDBObj& o = target->objs[size_t(idx)];
        switch (o.type) {
        case kZAFKeyDBObjType_Key:
            return revokeKey(target, revoker, pass, reason);
        case kZAFKeyDBObjType_SubKey:
            return revokeSubkey(target, o, revoker, pass, reason);
        default:
            return revokeCertification(target, o, revoker, pass, reason);
        }
    });
    va_end(ap);
    return err;
}

ZAFError ZAFAddRevocationKey(ZAFKeyDBObjRef key, ZAFKeyDBObjRef revoker, ZAFOptionListRef first,
                             ...) {
    va_list ap;
    va_start(ap, first);
    ZAFError err =
        runEdit(first, ap, isHandle(key) && isHandle(revoker),
                isType(key, kZAFKeyDBObjType_Key) && isType(revoker, kZAFKeyDBObjType_Key),
                [&](std::vector<Option>&& opts) {
                    return addKeyReference(key, revoker, 12, 0x80, std::move(opts));
                });
    va_end(ap);
    return err;
}

ZAFError ZAFAddAdditionalDecryptionKey(ZAFKeyDBObjRef key, ZAFKeyDBObjRef adk, uint8_t adkClass,
                                       ZAFOptionListRef first, ...) {
    va_list ap;
    va_start(ap, first);
    bool classOk = adkClass == kZAFADKClass_Request || adkClass == kZAFADKClass_Enforced;
    ZAFError err =
        runEdit(first, ap, isHandle(key) && isHandle(adk),
                classOk && isType(key, kZAFKeyDBObjType_Key) && isType(adk, kZAFKeyDBObjType_Key),
                [&](std::vector<Option>&& opts) {
                    return addKeyReference(key, adk, 10, adkClass, std::move(opts));
                });
    va_end(ap);
    return err;
}

} // extern "C"
