// sigwriter: making RFC 4880 signature packets (versions 3 and 4) over keys, user IDs and subkeys.
#include "crypto/crypto.h"
#include "keyedit_internal.h"

#include <botan/hash.h>
#include <botan/pubkey.h>

#include <cstring>

namespace zaf::edit {

namespace {

void put32(std::string& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8)
        out.push_back(char((v >> s) & 0xFF));
}

// Feeds what every signature over `target` hashes before its own fields.
bool hashTarget(Botan::HashFunction& h, const Target& t, bool v4) {
    auto feedKey = [&](std::string_view body) {
        std::string_view pub = publicPart(body);
        if (pub.empty() || pub.size() > 0xFFFF)
            return false;
        uint8_t hdr[3] = {0x99, uint8_t(pub.size() >> 8), uint8_t(pub.size() & 0xFF)};
        h.update(hdr, 3);
        h.update(reinterpret_cast<const uint8_t*>(pub.data()), pub.size());
        return true;
    };
    if (!feedKey(t.keyBody))
        return false;
    if (t.childTag == rfc4880::kTagPublicSubkey)
        return feedKey(t.childBody);
    if (t.childTag == rfc4880::kTagUserID || t.childTag == rfc4880::kTagUserAttribute) {
        if (v4) {
            uint32_t n = uint32_t(t.childBody.size());
            uint8_t hdr[5] = {uint8_t(t.childTag == rfc4880::kTagUserID ? 0xB4 : 0xD1),
                              uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
            h.update(hdr, 5);
        }
        h.update(reinterpret_cast<const uint8_t*>(t.childBody.data()), t.childBody.size());
    }
    return true;
}

ZAFError signDigest(const Signer& signer, Botan::HashFunction& h, std::vector<uint8_t>& digest,
                    std::string& mpis) {
    digest.resize(h.output_length());
    h.final(digest.data());
    if (!signer.sign)
        return kZAFError_Internal;
    return signer.sign(signer.hash, digest, mpis);
}

} // namespace

uint8_t signatureHash(std::string_view keyBody) {
    rfc4880::KeyInfo info;
    if (!rfc4880::parseKeyPacket(keyBody, info, false) || info.algorithm != 19)
        return kHashSHA256;
    return info.bits > 384 ? 10 : info.bits > 256 ? 9 : kHashSHA256;
}

std::string_view publicPart(std::string_view keyBody) {
    rfc4880::KeyInfo info;
    if (!rfc4880::parseKeyPacket(keyBody, info, false) || !info.known)
        return {};
    return keyBody.substr(0, info.publicLength);
}

DigestSigner botanSigner(const Botan::Private_Key& key, uint8_t algorithm) {
    return [&key, algorithm](uint8_t hashAlg, const std::vector<uint8_t>& digest,
                             std::string& mpis) -> ZAFError {
        if (rfc4880::isRSA(algorithm)) {
            std::string_view prefix = rfc4880::digestInfoPrefix(hashAlg);
            if (prefix.empty())
                return kZAFError_NotImplemented;
            std::vector<uint8_t> m(prefix.begin(), prefix.end());
            m.insert(m.end(), digest.begin(), digest.end());
            Botan::PK_Signer s(key, poolRng(), "EMSA3(Raw)");
            std::vector<uint8_t> sig = s.sign_message(m, poolRng());
            appendMpi(mpis, sig);
            return kZAFError_NoErr;
        }
        if (rfc4880::isDSA(algorithm) || algorithm == 19 || algorithm == 22) {
            Botan::PK_Signer s(key, poolRng(), algorithm == 22 ? "Pure" : "Raw");
            std::vector<uint8_t> sig = s.sign_message(digest, poolRng());
            size_t half = sig.size() / 2;
            appendMpi(mpis, sig.data(), half);
            appendMpi(mpis, sig.data() + half, half);
            return kZAFError_NoErr;
        }
        return kZAFError_UnsupportedAlg;
    };
}

ZAFError unlockSigner(const Key& key, std::string_view pass, Signer& out) {
    if (!key.hasSecret())
        return kZAFError_NoSecretKey;
    if (!rfc4880::canAlgSign(key.algorithm))
        return kZAFError_UnsupportedAlg;
    ZAFPrivateKeyContextRef ctx = nullptr;
    ZAFError err = ZAFNewPrivateKeyContext(const_cast<ZAFKeyDBObj*>(&key.objs[0]), pass.data(),
                                           pass.size(), &ctx);
    if (err != kZAFError_NoErr)
        return err;
    std::shared_ptr<void> holder(
        ctx, [](void* p) { ZAFFreePrivateKeyContext(static_cast<ZAFPrivateKeyContextRef>(p)); });
    out.version = key.version;
    out.algorithm = key.algorithm;
    out.hash = signatureHash(key.packetBody(key.objs[0].packet));
    std::memcpy(out.keyID, key.keyID(), 8);
    std::memcpy(out.fingerprint, key.fingerprint, key.fingerprintLength);
    out.fingerprintLength = key.fingerprintLength;
    out.holder = holder;
    out.sign = [ctx](uint8_t hashAlg, const std::vector<uint8_t>& digest,
                     std::string& mpis) -> ZAFError {
        size_t size = 0;
        ZAFError e =
            ZAFPrivateKeySign(ctx, hashAlg, digest.data(), digest.size(), nullptr, 0, &size);
        if (e != kZAFError_BufferTooSmall)
            return e == kZAFError_NoErr ? kZAFError_Internal : e;
        std::vector<uint8_t> buf(size);
        e = ZAFPrivateKeySign(ctx, hashAlg, digest.data(), digest.size(), buf.data(), buf.size(),
                              &size);
        if (e != kZAFError_NoErr)
            return e;
        mpis.append(reinterpret_cast<const char*>(buf.data()), size);
        return kZAFError_NoErr;
    };
    return kZAFError_NoErr;
}

ZAFError writeSignatureV4(const Target& target, uint8_t type, uint32_t created,
                          const std::string& hashed, const std::string& unhashed,
                          const Signer& signer, std::string& packet) {
    std::string area;
    std::string when;
    put32(when, created);
    rfc4880::appendSubpacket(area, 2, when);
    area += hashed;
    if (signer.fingerprintLength == 20) {
        std::string fpr(1, char(4));
        fpr.append(reinterpret_cast<const char*>(signer.fingerprint), 20);
        rfc4880::appendSubpacket(area, 33, fpr);
    }
    rfc4880::appendSubpacket(area, 16,
                             std::string_view(reinterpret_cast<const char*>(signer.keyID), 8));
    if (area.size() > 0xFFFF || unhashed.size() > 0xFFFF)
        return kZAFError_BadParams;
    std::string body;
    body.push_back(4);
    body.push_back(char(type));
    body.push_back(char(signer.algorithm));
    body.push_back(char(signer.hash));
    body.push_back(char(area.size() >> 8));
    body.push_back(char(area.size() & 0xFF));
    body += area;
    auto h = Botan::HashFunction::create_or_throw(rfc4880::hashName(signer.hash));
    if (!hashTarget(*h, target, true))
        return kZAFError_CorruptData;
    h->update(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    uint32_t n = uint32_t(body.size());
    uint8_t trailer[6] = {4, 0xFF, uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)};
    h->update(trailer, 6);
    std::vector<uint8_t> digest;
    std::string mpis;
    ZAFError err = signDigest(signer, *h, digest, mpis);
    if (err != kZAFError_NoErr)
        return err;
    body.push_back(char(unhashed.size() >> 8));
    body.push_back(char(unhashed.size() & 0xFF));
    body += unhashed;
    body.push_back(char(digest[0]));
    body.push_back(char(digest[1]));
    body += mpis;
    packet.clear();
    rfc4880::writePacket(packet, rfc4880::kTagSignature, body);
    return kZAFError_NoErr;
}

ZAFError writeSignatureV3(const Target& target, uint8_t type, uint32_t created,
                          const Signer& signer, std::string& packet) {
    auto h = Botan::HashFunction::create_or_throw(rfc4880::hashName(signer.hash));
    if (!hashTarget(*h, target, false))
        return kZAFError_CorruptData;
    std::string hashedPart(1, char(type));
    put32(hashedPart, created);
    h->update(reinterpret_cast<const uint8_t*>(hashedPart.data()), hashedPart.size());
    std::vector<uint8_t> digest;
    std::string mpis;
    ZAFError err = signDigest(signer, *h, digest, mpis);
    if (err != kZAFError_NoErr)
        return err;
    std::string body;
    body.push_back(3);
    body.push_back(5);
    body += hashedPart;
    body.append(reinterpret_cast<const char*>(signer.keyID), 8);
    body.push_back(char(signer.algorithm));
    body.push_back(char(signer.hash));
    body.push_back(char(digest[0]));
    body.push_back(char(digest[1]));
    body += mpis;
    packet.clear();
    rfc4880::writePacket(packet, rfc4880::kTagSignature, body);
    return kZAFError_NoErr;
}

std::vector<std::pair<uint8_t, std::string_view>> hashedSubpackets(std::string_view sigBody) {
    std::vector<std::pair<uint8_t, std::string_view>> out;
    if (sigBody.size() < 6 || sigBody[0] != 4)
        return out;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(sigBody.data());
    size_t hl = (size_t(p[4]) << 8) | p[5];
    if (hl > sigBody.size() - 6)
        return out;
    std::string_view area = sigBody.substr(6, hl);
    size_t pos = 0;
    while (pos < area.size()) {
        const uint8_t* q = reinterpret_cast<const uint8_t*>(area.data()) + pos;
        size_t avail = area.size() - pos;
        size_t len = 0, hb = 0;
        if (q[0] < 192) {
            len = q[0];
            hb = 1;
        } else if (q[0] < 255) {
            if (avail < 2)
                return {};
            len = ((size_t(q[0]) - 192) << 8) + q[1] + 192;
            hb = 2;
        } else {
            if (avail < 5)
                return {};
            len = (size_t(q[1]) << 24) | (size_t(q[2]) << 16) | (size_t(q[3]) << 8) | q[4];
            hb = 5;
        }
        if (len == 0 || len > avail - hb)
            return {};
        out.emplace_back(uint8_t(q[hb]), area.substr(pos + hb + 1, len - 1));
        pos += hb + len;
    }
    return out;
}

} // namespace zaf::edit
