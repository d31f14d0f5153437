// keyedit_maint: changing the passphrase of a key pair, and making a user ID the primary one.
#include "keyedit_internal.h"

#include <zaf/zafkeymaint.h>

#include <cstring>

using namespace zaf;
using namespace zaf::edit;

namespace {

// Subpackets the new self-signature of a primary user ID takes over from the key's current
// primary one (expiration, preferences, flags, features), so that only the primary flag moves.
const uint8_t kCarried[] = {9, 10, 11, 21, 22, 23, 27, 30};
constexpr uint8_t kSubpacketPrimaryUserID = 25;

std::string_view viewOf(const char* data, size_t length) {
    return data == nullptr ? std::string_view() : std::string_view(data, length);
}

bool isSecretKeyTag(uint8_t tag) {
    return tag == rfc4880::kTagSecretKey || tag == rfc4880::kTagSecretSubkey;
}

// The secret key packet re-protected with `newPass`; false when `oldPass` does not unlock it.
ZAFError reprotect(const std::string& packet, std::string_view oldPass, std::string_view newPass,
                   std::string& out) {
    std::string_view body = rfc4880::rawBody(packet);
    Secret mpis;
    rfc4880::KeyInfo info;
    ZAFError err = unlockSecretPacket(body, oldPass, mpis, info);
    if (err != kZAFError_NoErr)
        return err;
    out.clear();
    rfc4880::writePacket(out, rfc4880::rawTag(packet),
                         protectSecret(publicPart(body), info.version, mpis, newPass));
    return kZAFError_NoErr;
}

ZAFError changePassphrase(ZAFKeyDBObjRef keyObj, std::string_view oldPass,
                          std::string_view newPass) {
    KeyPtr key = currentKey(keyObj);
    if (!key)
        return kZAFError_ItemNotFound;
    ZAFError err = checkWritable(key->owner);
    if (err != kZAFError_NoErr)
        return err;
    if (!key->hasSecret())
        return kZAFError_NoSecretKey;
    // Every secret packet is re-protected before anything is replaced: a passphrase that fails
    // on one of them changes nothing.
    TKTree tree;
    if (!tree.parse(key->secBytes()))
        return kZAFError_CorruptData;
    std::vector<std::pair<std::string, std::string>> replaced; // old packet, new packet
    std::vector<const std::string*> packets{&tree.primary};
    for (const TKTree::Component& c : tree.comps)
        if (isSecretKeyTag(c.tag))
            packets.push_back(&c.head);
    for (const std::string* packet : packets) {
        if (!isSecretKeyTag(rfc4880::rawTag(*packet)))
            continue;
        std::string fresh;
        if ((err = reprotect(*packet, oldPass, newPass, fresh)) != kZAFError_NoErr)
            return err;
        replaced.emplace_back(*packet, std::move(fresh));
    }
    if (replaced.empty())
        return kZAFError_NoSecretKey;
    return replaceWithEdit(key, [&](TKTree& t, bool secret) {
        if (!secret)
            return true;
        auto swap = [&](std::string& packet) {
            for (const auto& r : replaced)
                if (packet == r.first) {
                    packet = r.second;
                    return;
                }
        };
        swap(t.primary);
        for (TKTree::Component& c : t.comps)
            swap(c.head);
        return true;
    });
}

// The hashed subpackets to carry from the ruling self-signature of the key's primary user ID.
std::string carriedSubpackets(const Key& k) {
    std::string out;
    const ZAFKeyDBObj* ruling =
        k.primaryUserID >= 0 ? rulingSelfSignature(k, uint32_t(k.primaryUserID)) : nullptr;
    if (ruling == nullptr || ruling->sigVersion != 4)
        return out;
    for (const auto& sp : hashedSubpackets(k.packetBody(ruling->packet)))
        for (uint8_t t : kCarried)
            if ((sp.first & 0x7F) == t)
                rfc4880::appendSubpacket(out, sp.first, std::string(sp.second));
    return out;
}

ZAFError setPrimary(ZAFKeyDBObjRef userObj, std::string_view pass) {
    KeyPtr key = currentKey(userObj);
    if (!key)
        return kZAFError_ItemNotFound;
    ZAFError err = checkWritable(key->owner);
    if (err != kZAFError_NoErr)
        return err;
    if (key->version < 4)
        return kZAFError_UnsupportedAlg;
    const int32_t idx = matchObject(*key, *userObj);
    if (idx < 0)
        return kZAFError_ItemNotFound;
    const ZAFKeyDBObj& user = key->objs[size_t(idx)];
    if (user.revoked || keyRevoked(*key))
        return kZAFError_KeyRevoked;
    const uint8_t tag = key->packets[user.packet].tag;
    const std::string body(key->packetBody(user.packet));
    Signer signer;
    if ((err = unlockSigner(*key, pass, signer)) != kZAFError_NoErr)
        return err;
    std::string hashed = carriedSubpackets(*key);
    if (hashed.empty()) {
        const uint8_t flags = rfc4880::canAlgEncrypt(key->algorithm) ? 0x0F : 0x03;
        rfc4880::appendSubpacket(hashed, 27, std::string(1, char(flags)));
    }
    rfc4880::appendSubpacket(hashed, kSubpacketPrimaryUserID, std::string(1, '\x01'));
    // Later than every other self-signature, so that it rules: later than those with the flag,
    // and than the user ID's own (one made in the same second would tie with it, and a tie goes
    // to the older one).
    uint32_t created = now();
    for (const ZAFKeyDBObj& o : key->objs)
        if (o.type == kZAFKeyDBObjType_Signature && o.hasIssuer &&
            std::memcmp(o.keyID, key->keyID(), 8) == 0 && o.created >= created)
            created = o.created + 1;
    std::string sig;
    if ((err = writeSignatureV4({key->packetBody(0), tag, body}, 0x13, created, hashed,
                                std::string(), signer, sig)) != kZAFError_NoErr)
        return err;
    return replaceWithEdit(key, [&](TKTree& t, bool) {
        for (TKTree::Component& c : t.comps)
            if (c.tag == tag && rfc4880::rawBody(c.head) == body) {
                c.follow.push_back(sig);
                return true;
            }
        return false;
    });
}

// The new self-certifications of every live user ID with `expires` as the key's expiration.
ZAFError setExpiration(ZAFKeyDBObjRef keyObj, ZAFTime expires, std::string_view pass) {
    KeyPtr key = currentKey(keyObj);
    if (!key)
        return kZAFError_ItemNotFound;
    ZAFError err = checkWritable(key->owner);
    if (err != kZAFError_NoErr)
        return err;
    if (key->version < 4)
        return kZAFError_UnsupportedAlg;
    if (keyRevoked(*key))
        return kZAFError_KeyRevoked;
    const uint32_t created = key->objs[0].created;
    const uint32_t signedAt = now();
    if (expires != 0 && (expires <= signedAt || expires <= created))
        return kZAFError_BadParams;
    Signer signer;
    if ((err = unlockSigner(*key, pass, signer)) != kZAFError_NoErr)
        return err;
    // Carried from each user ID's ruling self-signature: everything but the old expiration,
    // and the primary flag only on the primary user ID.
    const uint8_t carried[] = {10, 11, 21, 22, 23, 27, 30};
    // The new signatures come after every self-signature there is, the primary one's last, so
    // that each rules and the primary user ID stays the primary one.
    uint32_t base = signedAt;
    for (const ZAFKeyDBObj& o : key->objs)
        if (o.type == kZAFKeyDBObjType_Signature && o.created >= base)
            base = o.created + 1;
    std::vector<std::pair<std::string, std::string>> added; // user ID packet, new signature
    for (uint32_t i = 0; i < key->objs.size(); ++i) {
        const ZAFKeyDBObj& user = key->objs[i];
        if (user.type != kZAFKeyDBObjType_UserID || user.revoked)
            continue;
        const ZAFKeyDBObj* ruling = rulingSelfSignature(*key, i);
        if (ruling == nullptr || ruling->sigVersion != 4)
            continue;
        const bool primary = int32_t(i) == key->primaryUserID;
        std::string hashed;
        for (const auto& sp : hashedSubpackets(key->packetBody(ruling->packet)))
            for (uint8_t t : carried)
                if ((sp.first & 0x7F) == t)
                    rfc4880::appendSubpacket(hashed, sp.first, std::string(sp.second));
        if (primary)
            rfc4880::appendSubpacket(hashed, 25, std::string(1, '\x01'));
        if (expires != 0) {
            const uint32_t after = uint32_t(expires) - created;
            std::string value;
            for (int shift = 24; shift >= 0; shift -= 8)
                value += char((after >> shift) & 0xFF);
            rfc4880::appendSubpacket(hashed, 9, value);
        }
        const uint32_t at = primary ? base + 1 : base;
        const uint8_t tag = key->packets[user.packet].tag;
        std::string sig;
        if ((err = writeSignatureV4({key->packetBody(0), tag, key->packetBody(user.packet)}, 0x13,
                                    at, hashed, std::string(), signer, sig)) != kZAFError_NoErr)
            return err;
        added.emplace_back(std::string(key->packetBody(user.packet)), std::move(sig));
    }
    if (added.empty())
        return kZAFError_ItemNotFound;
    return replaceWithEdit(key, [&](TKTree& t, bool) {
        for (const auto& a : added)
            for (TKTree::Component& c : t.comps)
                if ((c.tag == rfc4880::kTagUserID || c.tag == rfc4880::kTagUserAttribute) &&
                    rfc4880::rawBody(c.head) == a.first) {
                    c.follow.push_back(a.second);
                    break;
                }
        return true;
    });
}

} // namespace

extern "C" {

ZAFError ZAFChangeKeyPassphrase(ZAFKeyDBObjRef key, const char* oldPass, size_t oldLength,
                                const char* newPass, size_t newLength) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(key))
            return kZAFError_InvalidHandle;
        if (key->type != kZAFKeyDBObjType_Key || (oldPass == nullptr && oldLength > 0) ||
            (newPass == nullptr && newLength > 0))
            return kZAFError_BadParams;
        return changePassphrase(key, viewOf(oldPass, oldLength), viewOf(newPass, newLength));
    });
}

ZAFError ZAFSetPrimaryUserID(ZAFKeyDBObjRef userID, const char* pass, size_t length) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(userID))
            return kZAFError_InvalidHandle;
        if (userID->type != kZAFKeyDBObjType_UserID || (pass == nullptr && length > 0))
            return kZAFError_BadParams;
        return setPrimary(userID, viewOf(pass, length));
    });
}

ZAFError ZAFSetKeyExpiration(ZAFKeyDBObjRef key, ZAFTime expires, const char* pass, size_t length) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(key))
            return kZAFError_InvalidHandle;
        if (key->type != kZAFKeyDBObjType_Key || (pass == nullptr && length > 0))
            return kZAFError_BadParams;
        return setExpiration(key, expires, viewOf(pass, length));
    });
}

} // extern "C"
