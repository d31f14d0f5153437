// keygen: generating key pairs and subkeys (RSA v4 and legacy v3, DSA, ElGamal, ECDSA and ECDH
// on the NIST curves, Ed25519 and Curve25519) into a key database, and the entropy they need
// from the random pool.
#include "crypto/crypto.h"
#include "keyedit_internal.h"

#include <zaf/zafcrypto.h>
#include <zaf/zafrandom.h>

#include <botan/bigint.h>
#include <botan/curve25519.h>
#include <botan/dl_group.h>
#include <botan/dsa.h>
#include <botan/ecdh.h>
#include <botan/ecdsa.h>
#include <botan/ed25519.h>
#include <botan/elgamal.h>
#include <botan/numthry.h>
#include <botan/rsa.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>

using namespace zaf;
using namespace zaf::edit;

namespace {

constexpr uint8_t kRSA = kZAFPublicKeyAlgorithm_RSA;
constexpr uint8_t kElGamal = kZAFPublicKeyAlgorithm_ElGamal;
constexpr uint8_t kDSA = kZAFPublicKeyAlgorithm_DSA;
constexpr uint8_t kECDH = 18;
constexpr uint8_t kECDSA = 19;
constexpr uint8_t kEdDSA = 22;
// Key sizes that name Curve25519 (Ed25519 for signing, X25519 for encryption).
constexpr uint32_t kCurve25519Bits = 255;

// The curves keys are generated on: bits as key sizes name them, the OID as key packets store
// it, Botan's name, and the KDF parameters an ECDH key on it carries (hash, key wrap cipher).
struct Curve {
    uint32_t bits;
    const char* oid;
    size_t oidLength;
    const char* botanName;
    uint8_t kdfHash;
    uint8_t kdfCipher;
};
const Curve kCurves[] = {
    {256, "\x2A\x86\x48\xCE\x3D\x03\x01\x07", 8, "secp256r1", 8, 7},
    {384, "\x2B\x81\x04\x00\x22", 5, "secp384r1", 9, 8},
    {521, "\x2B\x81\x04\x00\x23", 5, "secp521r1", 10, 9},
};
const char kEd25519Oid[] = "\x2B\x06\x01\x04\x01\xDA\x47\x0F\x01";
const char kCv25519Oid[] = "\x2B\x06\x01\x04\x01\x97\x55\x01\x05\x01";

const Curve* nistCurve(uint32_t bits) {
    for (const Curve& c : kCurves)
        if (c.bits == bits)
            return &c;
    return nullptr;
}
// Secret exponents of ElGamal keys: 256 bits, enough for every supported group size.
constexpr size_t kElGamalExponentBits = 256;
// Subgroup size of fresh ElGamal groups.
constexpr size_t kElGamalSubgroupBits = 256;
constexpr uint32_t kSecondsPerDay = 86400;

const uint8_t kDefaultCiphers[] = {kZAFCipherAlgorithm_AES256, kZAFCipherAlgorithm_AES192,
                                   kZAFCipherAlgorithm_AES128, kZAFCipherAlgorithm_CAST5,
                                   kZAFCipherAlgorithm_3DES};
// SHA-256, SHA-512, SHA-384, SHA-224, SHA-1.
const uint8_t kPreferredHashes[] = {8, 10, 9, 11, 2};
// ZLIB, BZip2, ZIP.
const uint8_t kPreferredCompression[] = {2, 3, 1};

struct Params {
    uint8_t algorithm = 0;
    uint32_t bits = 0;
    uint8_t version = 4;
};

// The DSA subgroup size for a key size; 0 when the size is not supported.
size_t dsaSubgroupBits(uint32_t bits) {
    switch (bits) {
    case 1024:
        return 160;
    case 2048:
    case 3072:
        return 256;
    default:
        return 0;
    }
}

// The well-known group of a size for fast ElGamal generation; null when there is none.
const char* wellKnownGroup(uint32_t bits) {
    switch (bits) {
    case 1024:
        return "modp/ietf/1024";
    case 1536:
        return "modp/ietf/1536";
    case 2048:
        return "modp/ietf/2048";
    case 3072:
        return "modp/ietf/3072";
    case 4096:
        return "modp/ietf/4096";
    default:
        return nullptr;
    }
}

// Reads the key parameters option; checks algorithm, version and size for a primary key or a
// subkey.
ZAFError readParams(const OptionSet& opts, bool subkey, Params& out) {
    const Option* o = opts.get(kOptKeyParams);
    if (o == nullptr)
        return kZAFError_MissingOption;
    if (o->value < 0 || o->value > 255 || o->value2 < 0 || o->value2 > 0xFFFFFFFFll)
        return kZAFError_BadParams;
    out.algorithm = uint8_t(o->value);
    out.bits = uint32_t(o->value2);
    if (o->value3 == kZAFKeyVersion_Default || o->value3 == kZAFKeyVersion_Current)
        out.version = 4;
    else if (o->value3 == kZAFKeyVersion_Legacy)
        out.version = 3;
    else
        return kZAFError_BadParams;
    switch (out.algorithm) {
    case kRSA:
        if (out.version == 3 && subkey)
            return kZAFError_ConflictingOptions;
        if (out.bits < 1024 || out.bits > (out.version == 3 ? 2048u : 4096u))
            return kZAFError_BadKeySize;
        return kZAFError_NoErr;
    case kDSA:
        if (subkey)
            return kZAFError_UnsupportedAlg;
        if (out.version == 3)
            return kZAFError_ConflictingOptions;
        return dsaSubgroupBits(out.bits) ? kZAFError_NoErr : kZAFError_BadKeySize;
    case kElGamal:
        if (!subkey)
            return kZAFError_UnsupportedAlg; // it cannot sign, so it cannot be a primary key
        if (out.version == 3)
            return kZAFError_ConflictingOptions;
        return out.bits >= 1024 && out.bits <= 4096 ? kZAFError_NoErr : kZAFError_BadKeySize;
    case kECDSA:
    case kEdDSA:
    case kECDH:
        if (out.version == 3)
            return kZAFError_ConflictingOptions;
        if (out.algorithm == kECDH && !subkey)
            return kZAFError_UnsupportedAlg; // it cannot sign, so it cannot be a primary key
        // Ed25519 is named by 255 (or its listed size, 256); ECDH by 255 for X25519 or a NIST
        // curve's size; ECDSA by a NIST curve's size.
        if (out.algorithm == kEdDSA)
            return out.bits == kCurve25519Bits || out.bits == 256 ? kZAFError_NoErr
                                                                  : kZAFError_BadKeySize;
        if (out.algorithm == kECDH && out.bits == kCurve25519Bits)
            return kZAFError_NoErr;
        return nistCurve(out.bits) ? kZAFError_NoErr : kZAFError_BadKeySize;
    default:
        return kZAFError_UnsupportedAlg;
    }
}

uint32_t entropyBits(const Params& p, bool fast) {
    switch (p.algorithm) {
    case kRSA:
        return p.bits;
    case kDSA:
        return uint32_t(2 * dsaSubgroupBits(p.bits));
    case kElGamal:
        return uint32_t(kElGamalExponentBits) +
               (fast && wellKnownGroup(p.bits) != nullptr ? 0 : p.bits);
    case kECDSA:
    case kECDH:
    case kEdDSA:
        // One secret scalar (a seed for Ed25519) as long as the curve.
        return p.bits == kCurve25519Bits ? 256 : p.bits;
    default:
        return 0;
    }
}

// Key flags of a key or subkey: the given ones checked against the algorithm, or the default.
ZAFError readFlags(const OptionSet& opts, const Params& p, bool subkey, uint8_t& flags) {
    const Option* o = opts.get(kOptKeyFlags);
    if (o == nullptr) {
        flags = subkey ? kZAFKeyFlag_EncryptCommunications | kZAFKeyFlag_EncryptStorage
                       : kZAFKeyFlag_Certify | kZAFKeyFlag_Sign;
        return kZAFError_NoErr;
    }
    const int64_t known = kZAFKeyFlag_Certify | kZAFKeyFlag_Sign |
                          kZAFKeyFlag_EncryptCommunications | kZAFKeyFlag_EncryptStorage |
                          kZAFKeyFlag_Authenticate;
    if (o->value < 0 || (o->value & ~known) != 0)
        return kZAFError_BadParams;
    flags = uint8_t(o->value);
    const uint8_t encrypt = kZAFKeyFlag_EncryptCommunications | kZAFKeyFlag_EncryptStorage;
    const uint8_t sign = kZAFKeyFlag_Certify | kZAFKeyFlag_Sign | kZAFKeyFlag_Authenticate;
    if (flags == 0 || p.version == 3)
        return kZAFError_ConflictingOptions;
    if (subkey && (flags & kZAFKeyFlag_Certify))
        return kZAFError_ConflictingOptions;
    if (!subkey && !(flags & kZAFKeyFlag_Certify))
        return kZAFError_ConflictingOptions; // a primary key always certifies its own parts
    if (!rfc4880::canAlgEncrypt(p.algorithm) && (flags & encrypt))
        return kZAFError_ConflictingOptions;
    if (!rfc4880::canAlgSign(p.algorithm) && (flags & sign))
        return kZAFError_ConflictingOptions;
    return kZAFError_NoErr;
}

ZAFError readExpiration(const OptionSet& opts, uint8_t version, uint32_t created, uint32_t& days) {
    const Option* o = opts.get(kOptExpiration);
    days = 0;
    if (o == nullptr)
        return kZAFError_NoErr;
    if (o->value < 0)
        return kZAFError_BadParams;
    if (version == 3 ? o->value > 0xFFFF
                     : uint64_t(o->value) * kSecondsPerDay > 0xFFFFFFFFull - created)
        return kZAFError_BadTime;
    days = uint32_t(o->value);
    return kZAFError_NoErr;
}

void appendSecretMpi(Secret& out, const Botan::BigInt& v) {
    size_t bits = v.bits();
    out.push_back(uint8_t(bits >> 8));
    out.push_back(uint8_t(bits & 0xFF));
    Secret bytes = Botan::BigInt::encode_locked(v);
    out.insert(out.end(), bytes.begin(), bytes.end());
}

void appendPublicMpi(std::string& out, const Botan::BigInt& v) {
    std::vector<uint8_t> bytes = Botan::BigInt::encode(v);
    appendMpi(out, bytes);
}

void appendSecretBytes(Secret& out, const uint8_t* bytes, size_t size) {
    // As an MPI: leading zero bytes dropped, the bit count from the first byte left.
    while (size > 0 && bytes[0] == 0) {
        ++bytes;
        --size;
    }
    size_t bits = size == 0 ? 0 : (size - 1) * 8;
    for (uint8_t top = size == 0 ? 0 : bytes[0]; top != 0; top = uint8_t(top >> 1))
        ++bits;
    out.push_back(uint8_t(bits >> 8));
    out.push_back(uint8_t(bits & 0xFF));
    out.insert(out.end(), bytes, bytes + size);
}

// An elliptic-curve key's public fields: the curve's OID, then the point as an MPI.
void appendCurvePoint(std::string& body, const char* oid, size_t oidLength,
                      const std::vector<uint8_t>& point) {
    body.push_back(char(oidLength));
    body.append(oid, oidLength);
    appendMpi(body, point);
}

// A freshly generated key: its public key packet body, secret MPIs and the Botan key that signs
// with it.
struct Material {
    uint8_t algorithm = 0;
    uint8_t version = 4;
    std::string publicBody;
    Secret secretMpis;
    std::unique_ptr<Botan::Private_Key> key;
    rfc4880::KeyInfo info;
};

ZAFError generate(const Params& p, bool fast, uint32_t created, uint16_t v3Days, Material& m) {
    Botan::RandomNumberGenerator& rng = poolRng();
    m.algorithm = p.algorithm;
    m.version = p.version;
    std::string& body = m.publicBody;
    body.push_back(char(p.version));
    for (int s = 24; s >= 0; s -= 8)
        body.push_back(char((created >> s) & 0xFF));
    if (p.version == 3) {
        body.push_back(char(v3Days >> 8));
        body.push_back(char(v3Days & 0xFF));
    }
    body.push_back(char(p.algorithm));
    if (p.algorithm == kRSA) {
        auto rsa = std::make_unique<Botan::RSA_PrivateKey>(rng, p.bits);
        appendPublicMpi(body, rsa->get_n());
        appendPublicMpi(body, rsa->get_e());
        // RFC 4880 orders the primes p < q and stores u = p^-1 mod q.
        Botan::BigInt pp = rsa->get_p(), qq = rsa->get_q();
        if (pp > qq)
            std::swap(pp, qq);
        appendSecretMpi(m.secretMpis, rsa->get_d());
        appendSecretMpi(m.secretMpis, pp);
        appendSecretMpi(m.secretMpis, qq);
        appendSecretMpi(m.secretMpis, Botan::inverse_mod(pp, qq));
        m.key = std::move(rsa);
    } else if (p.algorithm == kDSA) {
        Botan::DL_Group group(rng, Botan::DL_Group::DSA_Kosherizer, p.bits,
                              dsaSubgroupBits(p.bits));
        auto dsa = std::make_unique<Botan::DSA_PrivateKey>(rng, group);
        appendPublicMpi(body, group.get_p());
        appendPublicMpi(body, group.get_q());
        appendPublicMpi(body, group.get_g());
        appendPublicMpi(body, dsa->get_y());
        appendSecretMpi(m.secretMpis, dsa->get_x());
        m.key = std::move(dsa);
    } else if (p.algorithm == kElGamal) {
        const char* known = fast ? wellKnownGroup(p.bits) : nullptr;
        Botan::DL_Group group = known ? Botan::DL_Group(known)
                                      : Botan::DL_Group(rng, Botan::DL_Group::Prime_Subgroup,
                                                        p.bits, kElGamalSubgroupBits);
        Botan::BigInt limit = Botan::BigInt::power_of_2(kElGamalExponentBits);
        if (group.get_q() > 0 && group.get_q() < limit)
            limit = group.get_q();
        Botan::BigInt x = Botan::BigInt::random_integer(rng, 2, limit);
        auto elg = std::make_unique<Botan::ElGamal_PrivateKey>(rng, group, x);
        appendPublicMpi(body, group.get_p());
        appendPublicMpi(body, group.get_g());
        appendPublicMpi(body, elg->get_y());
        appendSecretMpi(m.secretMpis, x);
        m.key = std::move(elg);
    } else if (p.algorithm == kEdDSA) {
        // The secret is the 32-byte seed; the public key is the point with the 0x40 prefix.
        Secret seed(32);
        rng.randomize(seed.data(), seed.size());
        auto ed = std::make_unique<Botan::Ed25519_PrivateKey>(seed);
        std::vector<uint8_t> point(1, 0x40);
        const std::vector<uint8_t> pub = ed->get_public_key();
        point.insert(point.end(), pub.begin(), pub.end());
        appendCurvePoint(body, kEd25519Oid, sizeof kEd25519Oid - 1, point);
        appendSecretBytes(m.secretMpis, seed.data(), seed.size());
        m.key = std::move(ed);
    } else if (p.algorithm == kECDH && p.bits == kCurve25519Bits) {
        // X25519: the scalar clamped as the curve uses it, kept big-endian (the curve's own form
        // is little-endian); the public key with the 0x40 prefix.
        Secret scalar(32);
        rng.randomize(scalar.data(), scalar.size());
        scalar[0] &= 248;
        scalar[31] &= 127;
        scalar[31] |= 64;
        auto cv = std::make_unique<Botan::Curve25519_PrivateKey>(scalar);
        std::vector<uint8_t> point(1, 0x40);
        const std::vector<uint8_t> pub = cv->public_value();
        point.insert(point.end(), pub.begin(), pub.end());
        appendCurvePoint(body, kCv25519Oid, sizeof kCv25519Oid - 1, point);
        static const char kKdf[] = {3, 1, 8, 7}; // SHA-256, AES-128 key wrap
        body.append(kKdf, sizeof kKdf);
        Secret bigEndian(scalar.rbegin(), scalar.rend());
        appendSecretBytes(m.secretMpis, bigEndian.data(), bigEndian.size());
        m.key = std::move(cv);
    } else if (p.algorithm == kECDSA || p.algorithm == kECDH) {
        const Curve* curve = nistCurve(p.bits);
        if (curve == nullptr)
            return kZAFError_BadKeySize;
        Botan::EC_Group group(curve->botanName);
        std::unique_ptr<Botan::EC_PrivateKey> ec;
        if (p.algorithm == kECDSA)
            ec = std::make_unique<Botan::ECDSA_PrivateKey>(rng, group);
        else
            ec = std::make_unique<Botan::ECDH_PrivateKey>(rng, group);
        appendCurvePoint(body, curve->oid, curve->oidLength,
                         ec->public_point().encode(Botan::PointGFp::UNCOMPRESSED));
        if (p.algorithm == kECDH) {
            const char kdf[] = {3, 1, char(curve->kdfHash), char(curve->kdfCipher)};
            body.append(kdf, sizeof kdf);
        }
        appendSecretMpi(m.secretMpis, ec->private_value());
        m.key = std::move(ec);
    } else {
        return kZAFError_UnsupportedAlg;
    }
    if (!rfc4880::parseKeyPacket(body, m.info) || !m.info.known)
        return kZAFError_Internal;
    return kZAFError_NoErr;
}

Signer freshSigner(const Material& m) {
    Signer s;
    s.version = m.version;
    s.algorithm = m.algorithm;
    s.hash = signatureHash(m.publicBody);
    std::memcpy(s.keyID, m.info.keyID, 8);
    std::memcpy(s.fingerprint, m.info.fingerprint, m.info.fingerprintLength);
    s.fingerprintLength = m.info.fingerprintLength;
    s.sign = botanSigner(*m.key, m.algorithm);
    return s;
}

std::string bytesOf(const uint8_t* p, size_t n) {
    return std::string(reinterpret_cast<const char*>(p), n);
}

void put32(std::string& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8)
        out.push_back(char((v >> s) & 0xFF));
}

// The body of the packet a signature writer produced.
std::string packetBody(const std::string& packet) {
    rfc4880::RawPacket rp;
    std::string scratch;
    if (!rfc4880::readPacket(reinterpret_cast<const uint8_t*>(packet.data()), packet.size(), 0, rp,
                             scratch))
        return {};
    return std::string(rp.body);
}

ZAFError generateKeyLocked(std::vector<Option>&& collected, ZAFKeyDBObjRef* outKey) {
    OptionSet opts;
    ZAFError err =
        opts.load(std::move(collected),
                  {kOptKeyDB, kOptKeyParams, kOptUserID, kOptExpiration, kOptFastGeneration,
                   kOptPassphrase, kOptPasskey, kOptADKKeySet, kOptKeyFlags, kOptPreferredCiphers});
    if (err != kZAFError_NoErr)
        return err;
    const Option* dbOpt = opts.get(kOptKeyDB);
    const Option* uidOpt = opts.get(kOptUserID);
    if (dbOpt == nullptr || uidOpt == nullptr || !opts.has(kOptKeyParams))
        return kZAFError_MissingOption;
    Params p;
    if ((err = readParams(opts, false, p)) != kZAFError_NoErr)
        return err;
    Secret pass;
    if ((err = opts.secret(pass)) != kZAFError_NoErr)
        return err;
    auto* db = static_cast<ZAFKeyDB*>(dbOpt->handle);
    if (!isValidDB(db))
        return kZAFError_BadParams;
    if ((err = checkWritable(db)) != kZAFError_NoErr)
        return err;
    uint8_t flags = 0;
    if (p.version == 4 && (err = readFlags(opts, p, false, flags)) != kZAFError_NoErr)
        return err;
    if (p.version == 3 && opts.has(kOptKeyFlags))
        return kZAFError_ConflictingOptions;
    const uint32_t created = now();
    uint32_t days = 0;
    if ((err = readExpiration(opts, p.version, created, days)) != kZAFError_NoErr)
        return err;
    // Additional decryption keys: version 4 keys named by fingerprint in the self-signature.
    std::string adks;
    if (const Option* adk = opts.get(kOptADKKeySet)) {
        if (p.version == 3)
            return kZAFError_ConflictingOptions; // legacy signatures cannot carry them
        auto* set = static_cast<ZAFKeySet*>(adk->handle);
        if (!isValidSet(set) || set->list().empty())
            return kZAFError_BadParams;
        for (const KeyPtr& k : set->list()) {
            if (k->fingerprintLength != 20)
                return kZAFError_UnsupportedAlg;
            std::string entry(1, char(adk->value));
            entry.push_back(char(k->algorithm));
            entry += bytesOf(k->fingerprint, 20);
            rfc4880::appendSubpacket(adks, 10, entry);
        }
    }
    std::string ciphers;
    if (const Option* c = opts.get(kOptPreferredCiphers))
        ciphers = c->data;
    else
        ciphers = bytesOf(kDefaultCiphers, sizeof kDefaultCiphers);
    const Option* fastOpt = opts.get(kOptFastGeneration);
    bool fast = fastOpt && fastOpt->value;
    // Entropy first: a refusal leaves the pool's account as it was.
    uint32_t bits = entropyBits(p, fast);
    if (!consumeEntropy((bits + 7) / 8))
        return kZAFError_NotEnoughEntropy;

    Material m;
    if ((err = generate(p, fast, created, uint16_t(p.version == 3 ? days : 0), m)) !=
        kZAFError_NoErr)
        return err;
    if (db->findByFingerprint(bytesOf(m.info.fingerprint, m.info.fingerprintLength)))
        return kZAFError_ItemAlreadyExists;
    Signer signer = freshSigner(m);
    const std::string& uid = uidOpt->data;
    Target target{m.publicBody, rfc4880::kTagUserID, uid};
    std::string selfSig;
    if (p.version == 3) {
        err = writeSignatureV3(target, 0x13, created, signer, selfSig);
    } else {
        std::string hashed;
        if (days) {
            std::string secs;
            put32(secs, days * kSecondsPerDay);
            rfc4880::appendSubpacket(hashed, 9, secs);
        }
        rfc4880::appendSubpacket(hashed, 11, ciphers);
        rfc4880::appendSubpacket(hashed, 21, bytesOf(kPreferredHashes, sizeof kPreferredHashes));
        rfc4880::appendSubpacket(hashed, 22,
                                 bytesOf(kPreferredCompression, sizeof kPreferredCompression));
        rfc4880::appendSubpacket(hashed, 27, std::string(1, char(flags)));
        rfc4880::appendSubpacket(hashed, 30, std::string(1, char(0x01))); // modification detection
        rfc4880::appendSubpacket(hashed, 23, std::string(1, char(0x80))); // key server: no-modify
        rfc4880::appendSubpacket(hashed, 25, std::string(1, char(1)));    // primary user ID
        hashed += adks;
        err = writeSignatureV4(target, 0x13, created, hashed, std::string(), signer, selfSig);
    }
    if (err != kZAFError_NoErr)
        return err;
    std::string userIDPacket;
    rfc4880::writePacket(userIDPacket, rfc4880::kTagUserID, uid);
    std::string pub, sec;
    rfc4880::writePacket(pub, rfc4880::kTagPublicKey, m.publicBody);
    rfc4880::writePacket(
        sec, rfc4880::kTagSecretKey,
        protectSecret(m.publicBody, p.version, m.secretMpis,
                      std::string_view(reinterpret_cast<const char*>(pass.data()), pass.size())));
    pub += userIDPacket + selfSig;
    sec += userIDPacket + selfSig;
    KeyPtr key = buildKeyFromStrings(std::move(pub), std::move(sec));
    if (!key)
        return kZAFError_Internal;
    db->addKey(key, true);
    *outKey = &key->objs[0];
    return kZAFError_NoErr;
}

ZAFError generateSubKeyLocked(std::vector<Option>&& collected, ZAFKeyDBObjRef* outSubKey) {
    OptionSet opts;
    ZAFError err = opts.load(std::move(collected),
                             {kOptMasterKey, kOptKeyParams, kOptExpiration, kOptFastGeneration,
                              kOptCreationDate, kOptPassphrase, kOptPasskey, kOptKeyFlags});
    if (err != kZAFError_NoErr)
        return err;
    const Option* masterOpt = opts.get(kOptMasterKey);
    if (masterOpt == nullptr || !opts.has(kOptKeyParams))
        return kZAFError_MissingOption;
    Params p;
    if ((err = readParams(opts, true, p)) != kZAFError_NoErr)
        return err;
    Secret pass;
    if ((err = opts.secret(pass)) != kZAFError_NoErr)
        return err;
    uint8_t flags = 0;
    if ((err = readFlags(opts, p, true, flags)) != kZAFError_NoErr)
        return err;
    auto* masterObj = static_cast<ZAFKeyDBObj*>(masterOpt->handle);
    KeyPtr master = currentKey(masterObj);
    if (!master)
        return kZAFError_ItemNotFound;
    if ((err = checkWritable(master->owner)) != kZAFError_NoErr)
        return err;
    if (master->version < 4)
        return kZAFError_UnsupportedAlg; // legacy keys have no subkeys
    if (!master->hasSecret())
        return kZAFError_NoSecretKey;
    ZAFBoolean revoked = 0, expired = 0;
    ZAFGetKeyDBObjBooleanProperty(&master->objs[0], kZAFKeyProperty_IsRevoked, &revoked);
    ZAFGetKeyDBObjBooleanProperty(&master->objs[0], kZAFKeyProperty_IsExpired, &expired);
    if (revoked)
        return kZAFError_KeyRevoked;
    if (expired)
        return kZAFError_KeyExpired;
    const uint32_t signedAt = now();
    uint32_t created = signedAt;
    if (const Option* c = opts.get(kOptCreationDate)) {
        if (c->value < 0 || c->value > 0xFFFFFFFFll)
            return kZAFError_BadTime;
        if (c->value != 0)
            created = uint32_t(c->value);
        if (created < master->created)
            return kZAFError_BadTime; // a subkey cannot be older than its key
    }
    uint32_t days = 0;
    if ((err = readExpiration(opts, 4, created, days)) != kZAFError_NoErr)
        return err;
    std::string_view passView(reinterpret_cast<const char*>(pass.data()), pass.size());
    // The passphrase is checked before any entropy is taken.
    Signer masterSigner;
    if ((err = unlockSigner(*master, passView, masterSigner)) != kZAFError_NoErr)
        return err;
    const Option* fastOpt = opts.get(kOptFastGeneration);
    bool fast = fastOpt && fastOpt->value;
    uint32_t bits = entropyBits(p, fast);
    if (!consumeEntropy((bits + 7) / 8))
        return kZAFError_NotEnoughEntropy;

    Material m;
    if ((err = generate(p, fast, created, 0, m)) != kZAFError_NoErr)
        return err;
    std::string_view masterBody = master->packetBody(0);
    Target target{masterBody, rfc4880::kTagPublicSubkey, m.publicBody};
    uint32_t sigTime = created > signedAt ? created : signedAt;
    std::string hashed;
    if (days) {
        std::string secs;
        put32(secs, days * kSecondsPerDay);
        rfc4880::appendSubpacket(hashed, 9, secs);
    }
    rfc4880::appendSubpacket(hashed, 27, std::string(1, char(flags)));
    if (flags & kZAFKeyFlag_Sign) {
        // A signing subkey vouches for its key with a primary key binding signature, so nobody
        // can claim another's signing subkey as theirs.
        std::string back;
        if ((err = writeSignatureV4(target, 0x19, sigTime, std::string(), std::string(),
                                    freshSigner(m), back)) != kZAFError_NoErr)
            return err;
        rfc4880::appendSubpacket(hashed, 32, packetBody(back));
    }
    std::string binding;
    if ((err = writeSignatureV4(target, 0x18, sigTime, hashed, std::string(), masterSigner,
                                binding)) != kZAFError_NoErr)
        return err;
    std::string pubPacket, secPacket;
    rfc4880::writePacket(pubPacket, rfc4880::kTagPublicSubkey, m.publicBody);
    rfc4880::writePacket(secPacket, rfc4880::kTagSecretSubkey,
                         protectSecret(m.publicBody, 4, m.secretMpis, passView));
    KeyPtr updated;
    err = replaceWithEdit(
        master,
        [&](TKTree& tree, bool secret) {
            TKTree::Component c;
            c.tag = secret ? rfc4880::kTagSecretSubkey : rfc4880::kTagPublicSubkey;
            c.head = secret ? secPacket : pubPacket;
            c.follow.push_back(binding);
            tree.comps.push_back(std::move(c));
            return true;
        },
        &updated);
    if (err != kZAFError_NoErr)
        return err;
    for (ZAFKeyDBObj& o : updated->objs)
        if (o.type == kZAFKeyDBObjType_SubKey && std::memcmp(o.keyID, m.info.keyID, 8) == 0) {
            *outSubKey = &o;
            return kZAFError_NoErr;
        }
    return kZAFError_Internal;
}

} // namespace

extern "C" {

uint32_t ZAFGetKeyEntropyNeeded(ZAFContextRef context, ZAFOptionListRef first, ...) {
    va_list ap;
    va_start(ap, first);
    uint32_t bits = zaf::guard(uint32_t(kZAFKeyEntropyUnknown), [&]() -> uint32_t {
        std::vector<Option> collected;
        bool ok = collectOptions(first, ap, collected);
        if (!ok || !isValidCtx(context))
            return kZAFKeyEntropyUnknown;
        OptionSet opts;
        if (opts.load(std::move(collected), {kOptKeyParams, kOptKeyFlags, kOptFastGeneration}) !=
            kZAFError_NoErr)
            return kZAFKeyEntropyUnknown;
        const Option* o = opts.get(kOptKeyParams);
        if (o == nullptr)
            return kZAFKeyEntropyUnknown;
        Params p;
        // The same parameters may describe a primary key or a subkey; either form will do.
        if (readParams(opts, o->value == kElGamal || o->value == kECDH, p) != kZAFError_NoErr)
            return kZAFKeyEntropyUnknown;
        const Option* fastOpt = opts.get(kOptFastGeneration);
        return entropyBits(p, fastOpt && fastOpt->value);
    });
    va_end(ap);
    return bits;
}

ZAFError ZAFGenerateKey(ZAFContextRef context, ZAFKeyDBObjRef* outKey, ZAFOptionListRef first,
                        ...) {
    va_list ap;
    va_start(ap, first);
    ZAFError result = zaf::guard([&]() -> ZAFError {
        std::vector<Option> collected;
        bool ok = collectOptions(first, ap, collected);
        if (!isValidCtx(context))
            return kZAFError_InvalidHandle;
        if (!ok || outKey == nullptr)
            return kZAFError_BadParams;
        return generateKeyLocked(std::move(collected), outKey);
    });
    va_end(ap);
    return result;
}

ZAFError ZAFGenerateSubKey(ZAFContextRef context, ZAFKeyDBObjRef* outSubKey, ZAFOptionListRef first,
                           ...) {
    va_list ap;
    va_start(ap, first);
    ZAFError result = zaf::guard([&]() -> ZAFError {
        std::vector<Option> collected;
        bool ok = collectOptions(first, ap, collected);
        if (!isValidCtx(context))
            return kZAFError_InvalidHandle;
        if (!ok || outSubKey == nullptr)
            return kZAFError_BadParams;
        return generateSubKeyLocked(std::move(collected), outSubKey);
    });
    va_end(ap);
    return result;
}

} // extern "C"
