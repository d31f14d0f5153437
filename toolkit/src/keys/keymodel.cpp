// keymodel: which signatures count. A key's user IDs, subkeys, expiration, preferences, primary
// user ID, designated revokers and additional decryption keys come from verified
// self-signatures only; the rules are described in the README ("Which signatures count").
#include "keystore/keystore.h"

#include <algorithm>
#include <cstring>

namespace zaf {

namespace {

bool isCertification(uint8_t type) { return type >= 0x10 && type <= 0x13; }

bool expiredAt(uint32_t expiration) { return expiration != 0 && expiration <= now(); }

void fillSig(ZAFKeyDBObj& o, const rfc4880::SigInfo& s) {
    o.parsed = true;
    o.sigVersion = s.version;
    o.sigType = s.type;
    o.algorithm = s.pkAlg;
    o.hashAlg = s.hashAlg;
    o.created = s.created;
    o.sigExpireSecs = s.sigExpireSecs;
    o.exportable = s.exportable;
    o.revocable = s.revocable;
    o.trustDepth = s.trustDepth;
    o.trustAmount = s.trustAmount;
    o.hasIssuer = s.hasIssuer;
    o.primaryFlag = s.primaryUserID;
    std::memcpy(o.keyID, s.issuer, 8);
}

void addOnce(std::vector<std::array<uint8_t, 22>>& list, std::string_view record) {
    std::array<uint8_t, 22> a{};
    std::memcpy(a.data(), record.data(), 22);
    if (std::find(list.begin(), list.end(), a) == list.end())
        list.push_back(a);
}

bool sigExpired(const ZAFKeyDBObj& s) {
    return s.sigExpireSecs != 0 && expiredAt(s.created + s.sigExpireSecs);
}

// Whether the subkey's binding `bind` carries a back signature by the subkey that verifies.
bool backSignatureGood(Key& k, ZAFKeyDBObj& bind, const ZAFKeyDBObj& sub,
                       const rfc4880::SigInfo& bindInfo) {
    if (bind.stored & (kCheckBackGood | kCheckBackBad))
        return (bind.stored & kCheckBackGood) != 0;
    bool ok = false;
    rfc4880::SigInfo back;
    std::string_view subBody = k.packetBody(sub.packet);
    if (!bindInfo.embedded.empty() && rfc4880::parseSignature(bindInfo.embedded, back) &&
        back.type == 0x19 && (!back.hasIssuer || std::memcmp(back.issuer, sub.keyID, 8) == 0)) {
        uint8_t tag = k.packets[sub.packet].tag;
        std::string_view subPublic = checkedKeyPart(subBody);
        CheckDigest d = checkDigest(bindInfo.embedded, k.fingerprintKey(),
                                    rfc4880::kTagPublicSubkey, subPublic, subPublic);
        const Check c = cachedVerify(d, [&] {
            return verifyBytes(bindInfo.embedded, k.packetBody(0), tag, subBody, subBody);
        });
        if (c == Check::NotChecked) {
            k.unchecked = true;
            return false; // nothing kept: the next read checks it
        }
        ok = c == Check::Good;
    }
    bind.stored |= ok ? kCheckBackGood : kCheckBackBad;
    bind.storedInBytes = false;
    return ok;
}

} // namespace

bool analyseKey(Key& k) {
    const size_t n = k.objs.size();
    std::vector<rfc4880::SigInfo> sigs(n);
    rfc4880::KeyInfo info;
    // A primary key of an algorithm we cannot verify with: its user IDs are listed as they are
    // (nothing of their signatures counts); its subkeys count for nothing.
    bool verifiable = true;
    // Subkeys whose parameters we do not compute with count for nothing.
    std::vector<bool> refusedSubkey(n, false);
    // Pass 1: key packets, user IDs and the fields of every signature.
    for (ZAFKeyDBObj& o : k.objs) {
        std::string_view body = k.packetBody(o.packet);
        if (o.type == kZAFKeyDBObjType_Key || o.type == kZAFKeyDBObjType_SubKey) {
            if (!rfc4880::parseKeyPacket(body, info))
                return false;
            o.algorithm = info.algorithm;
            o.version = info.version;
            o.bits = info.bits;
            o.created = info.created;
            std::memcpy(o.keyID, info.keyID, 8);
            if (o.type == kZAFKeyDBObjType_Key) {
                std::memcpy(k.fingerprint, info.fingerprint, 20);
                k.fingerprintLength = info.fingerprintLength;
                k.algorithm = info.algorithm;
                k.version = info.version;
                k.bits = info.bits;
                k.created = info.created;
                verifiable = info.known && rfc4880::canAlgSign(info.algorithm);
                k.refused = !keyParametersAcceptable(info);
                if (info.version < 4 && info.v3ValidDays)
                    k.expiration = info.created + uint32_t(info.v3ValidDays) * 86400u;
            } else {
                refusedSubkey[o.index] = !keyParametersAcceptable(info);
                if (info.version < 4 && info.v3ValidDays)
                    o.expiration = info.created + uint32_t(info.v3ValidDays) * 86400u;
            }
            continue;
        }
        if (o.type == kZAFKeyDBObjType_UserID) {
            if (k.packets[o.packet].tag == rfc4880::kTagUserAttribute) {
                std::string_view first = rfc4880::firstAttributeSubpacket(body);
                o.attributeType = first.empty() ? 0 : uint8_t(first[0]);
            }
            continue;
        }
        if (rfc4880::parseSignature(body, sigs[o.index]))
            fillSig(o, sigs[o.index]);
        // else kept as an opaque signature
    }
    auto self = [&](const ZAFKeyDBObj& o) {
        return o.parsed && o.hasIssuer && std::memcmp(o.keyID, k.objs[0].keyID, 8) == 0;
    };
    // The signatures under the key itself (index 0) and under each user ID and subkey.
    std::vector<std::vector<uint32_t>> kids(n);
    for (const ZAFKeyDBObj& o : k.objs)
        if (o.type == kZAFKeyDBObjType_Signature && o.parent >= 0)
            kids[size_t(o.parent)].push_back(o.index);
    // A check the budget did not allow leaves the key to be built again by a later read.
    auto verifiedSelf = [&](ZAFKeyDBObj& o) {
        const bool ok = verifySignature(nullptr, k, o, &k);
        if (!o.tried)
            k.unchecked = true;
        return ok;
    };
    // The newest self-signature of the accepted types under `parent` that verifies. Checked
    // newest first, so that older ones are not verified at all.
    std::vector<uint32_t> cand;
    auto newestVerified = [&](uint32_t parent, auto accept) -> int32_t {
        cand.clear();
        for (uint32_t i : kids[parent])
            if (self(k.objs[i]) && accept(k.objs[i].sigType))
                cand.push_back(i);
        std::stable_sort(cand.begin(), cand.end(), [&](uint32_t a, uint32_t b) {
            return k.objs[a].created > k.objs[b].created;
        });
        for (uint32_t i : cand)
            if (verifiedSelf(k.objs[i]))
                return int32_t(i);
        return -1;
    };

    // The key itself: direct-key signatures and key revocations.
    for (uint32_t i : kids[0]) {
        ZAFKeyDBObj& o = k.objs[i];
        if (o.sigType == 0x20) {
            // A revocation counts only when its signature is good; a forged one stays stored
            // but changes nothing. Others' revocations count through the designated revokers.
            if (self(o)) {
                if (verifiedSelf(o))
                    k.revokedBySelf = true;
            } else if (o.parsed) {
                k.foreignRevocations.push_back(i);
            }
        } else if (o.sigType == 0x1F && self(o) && verifiedSelf(o)) {
            // Each direct-key signature adds a revoker or decryption key: all that verify count.
            for (std::string_view r : sigs[i].revokers)
                addOnce(k.revokers, r);
            for (std::string_view r : sigs[i].adks)
                addOnce(k.adks, r);
            if (k.directSig < 0 || o.created > k.objs[size_t(k.directSig)].created)
                k.directSig = int32_t(i);
        }
    }

    // User IDs and subkeys: each counts only with a verified self-signature or binding.
    std::vector<bool> hidden(n, false);
    for (ZAFKeyDBObj& c : k.objs) {
        if (c.type == kZAFKeyDBObjType_UserID) {
            int32_t r = newestVerified(c.index, isCertification);
            if (r < 0) {
                hidden[c.index] = verifiable;
                continue;
            }
            c.ruling = r;
        } else if (c.type == kZAFKeyDBObjType_SubKey) {
            if (refusedSubkey[c.index]) {
                hidden[c.index] = true;
                continue;
            }
            int32_t r = newestVerified(c.index, [](uint8_t t) { return t == 0x18; });
            if (r < 0) {
                hidden[c.index] = true;
                continue;
            }
            c.ruling = r;
            const rfc4880::SigInfo& b = sigs[size_t(r)];
            uint8_t flags = b.hasKeyFlags
                                ? b.keyFlags
                                : uint8_t((rfc4880::canAlgSign(c.algorithm) ? 0x02 : 0) |
                                          (rfc4880::canAlgEncrypt(c.algorithm) ? 0x0C : 0));
            bool sign = (flags & 0x03) != 0;
            bool encrypt = (flags & 0x0C) != 0;
            // A subkey signs for the key only when it signed back that it belongs to it.
            if (sign && !backSignatureGood(k, k.objs[size_t(r)], c, b))
                sign = false;
            if (!sign && !encrypt && (flags & 0x03) != 0) {
                hidden[c.index] = true; // a signing subkey without a back signature
                continue;
            }
            c.usage = uint8_t((sign ? kUsageSign : 0) | (encrypt ? kUsageEncrypt : 0));
            c.expiration = b.hasKeyExpire && b.keyExpireSecs ? c.created + b.keyExpireSecs : 0;
        } else {
            continue;
        }
        // Revocations apply after all signatures of the object are known, whatever their order.
        const ZAFKeyDBObj& ruling = k.objs[size_t(c.ruling)];
        for (uint32_t i : kids[c.index]) {
            ZAFKeyDBObj& o = k.objs[i];
            if (c.type == kZAFKeyDBObjType_SubKey && o.sigType == 0x28) {
                if (!self(o))
                    c.unverifiedRevocation = c.unverifiedRevocation || o.parsed;
                else if (!c.revoked && verifiedSelf(o))
                    c.revoked = true;
            }
            if (c.type != kZAFKeyDBObjType_UserID || o.sigType != 0x30 || !o.hasIssuer)
                continue;
            // A certification revocation revokes the same issuer's certifications made before
            // it; the key's own must verify, and a user ID whose ruling self-signature it
            // revokes is revoked.
            if (self(o) && !verifiedSelf(o))
                continue;
            for (uint32_t j : kids[c.index]) {
                ZAFKeyDBObj& x = k.objs[j];
                if (x.parsed && isCertification(x.sigType) &&
                    std::memcmp(x.keyID, o.keyID, 8) == 0 && x.created <= o.created)
                    x.revoked = true;
            }
            if (self(o) && o.created >= ruling.created)
                c.revoked = true;
        }
    }

    // The primary user ID: plain user IDs only (attributes only when there is none), those with
    // an unrevoked, unexpired ruling self-signature first; the newest one flagged primary, else
    // the newest. The primary attribute is chosen the same way among attributes.
    auto choosePrimary = [&](bool attributes) -> int32_t {
        int32_t best = -1;
        int bestRank = -1;
        uint32_t bestTime = 0;
        for (const ZAFKeyDBObj& c : k.objs) {
            if (c.type != kZAFKeyDBObjType_UserID || hidden[c.index] ||
                (k.packets[c.packet].tag == rfc4880::kTagUserAttribute) != attributes)
                continue;
            static const ZAFKeyDBObj none;
            const ZAFKeyDBObj& r = c.ruling >= 0 ? k.objs[size_t(c.ruling)] : none;
            int rank = (c.revoked || sigExpired(r) ? 0 : 2) + (r.primaryFlag ? 1 : 0);
            if (rank > bestRank || (rank == bestRank && r.created > bestTime)) {
                best = int32_t(c.index);
                bestRank = rank;
                bestTime = r.created;
            }
        }
        return best;
    };
    k.primaryUserID = choosePrimary(false);
    k.primaryAttribute = choosePrimary(true);
    if (k.primaryUserID < 0)
        k.primaryUserID = k.primaryAttribute;

    // Key properties: from the primary user ID's ruling self-signature, else the newest
    // verified direct-key signature. Revokers and decryption keys from every ruling signature.
    const rfc4880::SigInfo* fromUser =
        k.primaryUserID >= 0 && k.objs[size_t(k.primaryUserID)].ruling >= 0
            ? &sigs[size_t(k.objs[size_t(k.primaryUserID)].ruling)]
            : nullptr;
    const rfc4880::SigInfo* direct = k.directSig >= 0 ? &sigs[size_t(k.directSig)] : nullptr;
    if (fromUser) {
        k.prefSymmetric.assign(fromUser->prefSymmetric);
        k.prefHash.assign(fromUser->prefHash);
    }
    if (direct) {
        if (k.prefSymmetric.empty())
            k.prefSymmetric.assign(direct->prefSymmetric);
        if (k.prefHash.empty())
            k.prefHash.assign(direct->prefHash);
        if (!direct->revocable)
            k.revocable = false;
    }
    if (k.version >= 4) {
        const rfc4880::SigInfo* exp = fromUser && fromUser->hasKeyExpire ? fromUser
                                      : direct && direct->hasKeyExpire   ? direct
                                                                         : nullptr;
        if (exp)
            k.expiration = exp->keyExpireSecs ? k.created + exp->keyExpireSecs : 0;
        const rfc4880::SigInfo* flags = fromUser && fromUser->hasKeyFlags ? fromUser
                                        : direct && direct->hasKeyFlags   ? direct
                                                                          : nullptr;
        k.primaryKeyFlags = flags ? int16_t(flags->keyFlags) : int16_t(-1);
    }
    for (const ZAFKeyDBObj& c : k.objs) {
        if (c.type != kZAFKeyDBObjType_UserID || c.ruling < 0)
            continue;
        const rfc4880::SigInfo& r = sigs[size_t(c.ruling)];
        for (std::string_view x : r.revokers)
            addOnce(k.revokers, x);
        for (std::string_view x : r.adks)
            addOnce(k.adks, x);
        if (!r.revocable)
            k.revocable = false;
    }
    k.objs[0].expiration = k.expiration;

    // User IDs and subkeys that count for nothing leave the object list (their packets stay in
    // the bytes, marked hidden, so that the ring keeps what another program wrote).
    bool anyHidden = false;
    for (size_t i = 0; i < n; ++i)
        anyHidden = anyHidden || hidden[i];
    if (!anyHidden)
        return true;
    std::vector<int32_t> remap(n, -1);
    std::vector<ZAFKeyDBObj> kept;
    kept.reserve(n);
    for (const ZAFKeyDBObj& o : k.objs) {
        uint32_t comp =
            o.type == kZAFKeyDBObjType_Signature ? uint32_t(std::max(o.parent, 0)) : o.index;
        if (hidden[comp]) {
            if (o.type == kZAFKeyDBObjType_UserID)
                ++k.hiddenUserIDs;
            else if (o.type == kZAFKeyDBObjType_SubKey)
                ++k.hiddenSubKeys;
            continue;
        }
        remap[o.index] = int32_t(kept.size());
        kept.push_back(o);
    }
    // Every packet from a hidden component's head up to the next component is hidden.
    bool inHidden = false;
    size_t next = 1;
    for (size_t p = 1; p < k.packets.size(); ++p) {
        uint8_t tag = k.packets[p].tag;
        if (tag == rfc4880::kTagUserID || tag == rfc4880::kTagUserAttribute ||
            tag == rfc4880::kTagPublicSubkey || tag == rfc4880::kTagSecretSubkey) {
            while (next < n && k.objs[next].packet < p)
                ++next;
            inHidden = next < n && k.objs[next].packet == p && hidden[next];
        }
        k.packets[p].hidden = inHidden;
    }
    auto re = [&](int32_t i) { return i < 0 ? i : remap[size_t(i)]; };
    for (ZAFKeyDBObj& o : kept) {
        o.index = uint32_t(re(int32_t(o.index)));
        o.parent = re(o.parent);
        o.ruling = re(o.ruling);
    }
    for (uint32_t& i : k.foreignRevocations)
        i = uint32_t(re(int32_t(i)));
    k.primaryUserID = re(k.primaryUserID);
    k.primaryAttribute = re(k.primaryAttribute);
    k.directSig = re(k.directSig);
    k.objs.swap(kept);
    return true;
}

const ZAFKeyDBObj* rulingSelfSignature(const Key& k, uint32_t uid) {
    if (uid >= k.objs.size() || k.objs[uid].type != kZAFKeyDBObjType_UserID ||
        k.objs[uid].ruling < 0)
        return nullptr;
    return &k.objs[size_t(k.objs[uid].ruling)];
}

const ZAFKeyDBObj* rulingBinding(const Key& k, uint32_t sub) {
    if (sub >= k.objs.size() || k.objs[sub].type != kZAFKeyDBObjType_SubKey ||
        k.objs[sub].ruling < 0)
        return nullptr;
    return &k.objs[size_t(k.objs[sub].ruling)];
}

bool keyRevoked(const Key& k) {
    if (k.revokedBySelf)
        return true;
    // A revocation by a designated revoker counts once its issuer is known to the database.
    ZAFKeyDB* db = k.owner;
    if (!isValidDB(db))
        return false;
    DefaultCheckBudget budget;
    for (uint32_t idx : k.foreignRevocations) {
        const ZAFKeyDBObj& s = k.objs[idx];
        for (const auto& r : k.revokers) {
            if (std::memcmp(r.data() + 14, s.keyID, 8) != 0)
                continue;
            // Only the designated revoker's own good signature revokes the key.
            Key* revoker = db->findByKeyID(s.keyID);
            if (revoker != nullptr && verifySignature(db, k, s, revoker))
                return true;
        }
    }
    return false;
}

namespace {

std::vector<uint32_t> usableSubkeys(const Key& k, uint8_t usage, bool (*algOK)(uint8_t)) {
    std::vector<uint32_t> out;
    if (keyRevoked(k) || expiredAt(k.expiration))
        return out;
    for (const ZAFKeyDBObj& o : k.objs)
        if (o.type == kZAFKeyDBObjType_SubKey && (o.usage & usage) && algOK(o.algorithm) &&
            !o.revoked && !expiredAt(o.expiration))
            out.push_back(o.index);
    return out;
}

} // namespace

std::vector<uint32_t> encryptionSubkeys(const Key& k) {
    return usableSubkeys(k, kUsageEncrypt, rfc4880::canAlgEncrypt);
}

std::vector<uint32_t> signingSubkeys(const Key& k) {
    return usableSubkeys(k, kUsageSign, rfc4880::canAlgSign);
}

bool primarySigns(const Key& k) {
    if (!rfc4880::canAlgSign(k.algorithm))
        return false;
    return k.version < 4 || k.primaryKeyFlags < 0 || (k.primaryKeyFlags & kUsageSign) != 0;
}

bool primaryEncrypts(const Key& k) {
    if (!rfc4880::canAlgEncrypt(k.algorithm) || keyRevoked(k) || expiredAt(k.expiration))
        return false;
    if (k.version < 4)
        return true;
    // Key flags say what the primary key is for; a key without them encrypts with its primary
    // key only when it has no subkey at all.
    if (k.primaryKeyFlags >= 0)
        return (k.primaryKeyFlags & kUsageEncrypt) != 0;
    for (const ZAFKeyDBObj& o : k.objs)
        if (o.type == kZAFKeyDBObjType_SubKey)
            return false;
    return true;
}

} // namespace zaf
