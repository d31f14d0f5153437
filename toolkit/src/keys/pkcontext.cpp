// pkcontext: unlocking secret keys (S2K), signing hashes and checking signatures.
#include "keyedit_internal.h"
#include "keystore/keystore.h"

#include <botan/ber_dec.h>
#include <botan/bigint.h>
#include <botan/cipher_mode.h>
#include <botan/dl_group.h>
#include <botan/dsa.h>
#include <botan/ec_group.h>
#include <botan/ecdsa.h>
#include <botan/ed25519.h>
#include <botan/elgamal.h>
#include <botan/hash.h>
#include <botan/pubkey.h>
#include <botan/rsa.h>
#include <botan/system_rng.h>

#include <cstring>

namespace {

constexpr uint32_t kPrivMagic = 0x5A50524B; // "ZPRK"
constexpr uint32_t kPubMagic = 0x5A50554B;  // "ZPUK"
// Iteration counts above this are refused: they cost time without adding real strength.
constexpr size_t kMaxS2KBytes = 65011712;

} // namespace

struct ZAFPrivateKeyContext {
    uint32_t magic = kPrivMagic;
    uint8_t algorithm = 0;
    std::unique_ptr<Botan::Private_Key> key;
    size_t width = 0; // bytes of one signature part (DSA/ECDSA) or the modulus (RSA)
};

struct ZAFPublicKeyContext {
    uint32_t magic = kPubMagic;
    std::string keyBody;
};

using namespace zaf;

namespace {

// Derives a key from a passphrase with the iterated and salted S2K (count 0 = salted only).
Botan::secure_vector<uint8_t> s2k(const char* hashName, std::string_view salt,
                                  std::string_view pass, size_t count, size_t keyLength) {
    Botan::secure_vector<uint8_t> out;
    std::string material(salt);
    material.append(pass);
    size_t total = count < material.size() ? material.size() : count;
    for (size_t preload = 0; out.size() < keyLength; ++preload) {
        auto h = Botan::HashFunction::create_or_throw(hashName);
        for (size_t i = 0; i < preload; ++i)
            h->update(uint8_t(0));
        size_t left = total;
        while (left > 0) {
            size_t n = left < material.size() ? left : material.size();
            h->update(reinterpret_cast<const uint8_t*>(material.data()), n);
            left -= n;
        }
        Botan::secure_vector<uint8_t> d = h->final();
        out.insert(out.end(), d.begin(), d.end());
    }
    out.resize(keyLength);
    return out;
}

// Decrypts (when protected) and checks the secret MPIs of a secret key packet body.
ZAFError unlockSecret(std::string_view body, std::string_view pass,
                      Botan::secure_vector<uint8_t>& mpis, rfc4880::KeyInfo& info) {
    if (!rfc4880::parseKeyPacket(body, info) || !info.known || info.publicLength >= body.size())
        return kZAFError_CorruptData;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(body.data());
    size_t pos = info.publicLength;
    uint8_t usage = p[pos++];
    if (usage == 0) {
        if (body.size() - pos < 2)
            return kZAFError_CorruptData;
        mpis.assign(p + pos, p + body.size() - 2);
        uint32_t sum = 0;
        for (uint8_t b : mpis)
            sum += b;
        uint16_t want = uint16_t((p[body.size() - 2] << 8) | p[body.size() - 1]);
        return uint16_t(sum) == want ? kZAFError_NoErr : kZAFError_CorruptData;
    }
    if (info.version < 4)
        return edit::unlockLegacySecret(body, pass, mpis, info); // each MPI encrypted on its own
    uint8_t symAlg = usage;
    const char* hashName = "MD5";
    std::string_view salt;
    size_t count = 0;
    if (usage == 254 || usage == 255) {
        if (body.size() - pos < 2)
            return kZAFError_CorruptData;
        symAlg = p[pos++];
        edit::S2KSpec spec;
        ZAFError err = edit::readS2KSpec(body, pos, spec);
        if (err != kZAFError_NoErr)
            return err;
        hashName = spec.hashName;
        salt = spec.salt;
        count = spec.count;
        if (count > kMaxS2KBytes)
            return kZAFError_NotImplemented;
    }
    size_t keyLength = 0, blockSize = 0;
    const char* cipher = rfc4880::cipherName(symAlg, keyLength, blockSize);
    if (cipher == nullptr)
        return kZAFError_NotImplemented;
    if (body.size() - pos < blockSize)
        return kZAFError_CorruptData;
    std::string_view iv = body.substr(pos, blockSize);
    pos += blockSize;
    Botan::secure_vector<uint8_t> key = s2k(hashName, salt, pass, count, keyLength);
    auto mode = Botan::Cipher_Mode::create(std::string(cipher) + "/CFB", Botan::DECRYPTION);
    if (!mode)
        return kZAFError_NotImplemented;
    mode->set_key(key);
    mode->start(reinterpret_cast<const uint8_t*>(iv.data()), iv.size());
    Botan::secure_vector<uint8_t> plain(p + pos, p + body.size());
    mode->finish(plain);
    if (usage == 254) {
        if (plain.size() < 20)
            return kZAFError_BadPassphrase;
        auto sha1 = Botan::HashFunction::create_or_throw("SHA-1");
        sha1->update(plain.data(), plain.size() - 20);
        Botan::secure_vector<uint8_t> d = sha1->final();
        if (std::memcmp(d.data(), plain.data() + plain.size() - 20, 20) != 0)
            return kZAFError_BadPassphrase;
        plain.resize(plain.size() - 20);
    } else {
        if (plain.size() < 2)
            return kZAFError_BadPassphrase;
        uint32_t sum = 0;
        for (size_t i = 0; i + 2 < plain.size(); ++i)
            sum += plain[i];
        uint16_t want = uint16_t((plain[plain.size() - 2] << 8) | plain[plain.size() - 1]);
        if (uint16_t(sum) != want)
            return kZAFError_BadPassphrase;
        plain.resize(plain.size() - 2);
    }
    mpis.swap(plain);
    return kZAFError_NoErr;
}

Botan::BigInt big(const rfc4880::Mpi& m) {
    return Botan::BigInt(reinterpret_cast<const uint8_t*>(m.bytes.data()), m.bytes.size());
}

ZAFError makePrivate(const rfc4880::KeyInfo& info, const Botan::secure_vector<uint8_t>& secret,
                     ZAFPrivateKeyContext& out) {
    std::string_view s(reinterpret_cast<const char*>(secret.data()), secret.size());
    std::vector<rfc4880::Mpi> m;
    if (!rfc4880::readMpis(s, 4, m))
        return kZAFError_CorruptData;
    Botan::System_RNG rng;
    out.algorithm = info.algorithm;
    if (rfc4880::isRSA(info.algorithm)) {
        if (m.size() < 3)
            return kZAFError_CorruptData;
        out.key = std::make_unique<Botan::RSA_PrivateKey>(big(m[1]), big(m[2]), big(info.mpis[1]),
                                                          big(m[0]), big(info.mpis[0]));
        out.width = info.mpis[0].bytes.size();
        return kZAFError_NoErr;
    }
    if (rfc4880::isDSA(info.algorithm)) {
        if (m.empty())
            return kZAFError_CorruptData;
        Botan::DL_Group group(big(info.mpis[0]), big(info.mpis[1]), big(info.mpis[2]));
        out.width = (group.get_q().bits() + 7) / 8;
        out.key = std::make_unique<Botan::DSA_PrivateKey>(rng, group, big(m[0]));
        return kZAFError_NoErr;
    }
    if (info.algorithm == 19) {
        if (m.empty())
            return kZAFError_CorruptData;
        Botan::EC_Group group(zaf::curveOid(info.curveOid));
        out.width = (group.get_order().bits() + 7) / 8;
        out.key = std::make_unique<Botan::ECDSA_PrivateKey>(rng, group, big(m[0]));
        return kZAFError_NoErr;
    }
    if (info.algorithm == 22) {
        if (m.empty() || m[0].bytes.size() > 32)
            return kZAFError_CorruptData;
        Botan::secure_vector<uint8_t> seed(32 - m[0].bytes.size(), 0);
        seed.insert(seed.end(), m[0].bytes.begin(), m[0].bytes.end());
        out.key = std::make_unique<Botan::Ed25519_PrivateKey>(seed);
        out.width = 32;
        return kZAFError_NoErr;
    }
    return kZAFError_UnsupportedAlg;
}

} // namespace

extern "C" {

ZAFError ZAFNewPrivateKeyContext(ZAFKeyDBObjRef keyOrSubKey, const char* passphrase,
                                 size_t passphraseLength, ZAFPrivateKeyContextRef* outCtx) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(keyOrSubKey))
            return kZAFError_InvalidHandle;
        if (outCtx == nullptr ||
            (keyOrSubKey->type != kZAFKeyDBObjType_Key &&
             keyOrSubKey->type != kZAFKeyDBObjType_SubKey) ||
            (passphrase == nullptr && passphraseLength != 0))
            return kZAFError_BadParams;
        std::string_view body = secretPacketBody(*keyOrSubKey->key, *keyOrSubKey);
        if (body.empty())
            return kZAFError_NoSecretKey;
        Botan::secure_vector<uint8_t> mpis;
        rfc4880::KeyInfo info;
        ZAFError err = unlockSecret(
            body, std::string_view(passphrase ? passphrase : "", passphraseLength), mpis, info);
        if (err != kZAFError_NoErr)
            return err;
        auto ctx = std::make_unique<ZAFPrivateKeyContext>();
        err = makePrivate(info, mpis, *ctx);
        if (err != kZAFError_NoErr)
            return err;
        *outCtx = ctx.release();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFreePrivateKeyContext(ZAFPrivateKeyContextRef ctx) {
    return zaf::guard([&]() -> ZAFError {
        if (ctx == nullptr || ctx->magic != kPrivMagic)
            return kZAFError_InvalidHandle;
        ctx->magic = 0;
        delete ctx;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFPrivateKeySign(ZAFPrivateKeyContextRef ctx, int32_t hashAlgorithm, const uint8_t* hash,
                           size_t hashSize, uint8_t* signature, size_t size, size_t* outSize) {
    return zaf::guard([&]() -> ZAFError {
        if (ctx == nullptr || ctx->magic != kPrivMagic)
            return kZAFError_InvalidHandle;
        if (hash == nullptr || outSize == nullptr || hashAlgorithm < 0 || hashAlgorithm > 255)
            return kZAFError_BadParams;
        Botan::System_RNG rng;
        std::vector<uint8_t> msg(hash, hash + hashSize);
        std::string out;
        if (rfc4880::isRSA(ctx->algorithm)) {
            std::string_view prefix = rfc4880::digestInfoPrefix(uint8_t(hashAlgorithm));
            if (prefix.empty())
                return kZAFError_NotImplemented;
            std::vector<uint8_t> m(prefix.begin(), prefix.end());
            m.insert(m.end(), msg.begin(), msg.end());
            Botan::PK_Signer signer(*ctx->key, rng, "EMSA3(Raw)");
            std::vector<uint8_t> s = signer.sign_message(m, rng);
            rfc4880::appendMpi(out, s.data(), s.size());
        } else {
            Botan::PK_Signer signer(*ctx->key, rng, ctx->algorithm == 22 ? "Pure" : "Raw");
            std::vector<uint8_t> s = signer.sign_message(msg, rng);
            size_t half = s.size() / 2;
            rfc4880::appendMpi(out, s.data(), half);
            rfc4880::appendMpi(out, s.data() + half, half);
        }
        *outSize = out.size();
        if (signature == nullptr || size < out.size())
            return kZAFError_BufferTooSmall;
        std::memcpy(signature, out.data(), out.size());
        return kZAFError_NoErr;
    });
}

ZAFBoolean ZAFPassphraseIsValid(ZAFKeyDBObjRef key, const char* passphrase) {
    return zaf::guard(ZAFBoolean(0), [&]() -> ZAFBoolean {
        ZAFPrivateKeyContextRef ctx = nullptr;
        if (ZAFNewPrivateKeyContext(key, passphrase, passphrase ? std::strlen(passphrase) : 0,
                                    &ctx) != kZAFError_NoErr)
            return 0;
        ZAFFreePrivateKeyContext(ctx);
        return 1;
    });
}

ZAFError ZAFNewPublicKeyContext(ZAFKeyDBObjRef keyOrSubKey, ZAFPublicKeyContextRef* out) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(keyOrSubKey))
            return kZAFError_InvalidHandle;
        if (out == nullptr || (keyOrSubKey->type != kZAFKeyDBObjType_Key &&
                               keyOrSubKey->type != kZAFKeyDBObjType_SubKey))
            return kZAFError_BadParams;
        auto ctx = std::make_unique<ZAFPublicKeyContext>();
        ctx->keyBody = std::string(keyOrSubKey->key->packetBody(keyOrSubKey->packet));
        rfc4880::KeyInfo info;
        if (!rfc4880::parseKeyPacket(ctx->keyBody, info, false) || !info.known)
            return kZAFError_UnsupportedAlg;
        *out = ctx.release();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFreePublicKeyContext(ZAFPublicKeyContextRef ctx) {
    return zaf::guard([&]() -> ZAFError {
        if (ctx == nullptr || ctx->magic != kPubMagic)
            return kZAFError_InvalidHandle;
        ctx->magic = 0;
        delete ctx;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFPublicKeyVerify(ZAFPublicKeyContextRef ctx, int32_t hashAlgorithm, const uint8_t* hash,
                            size_t hashSize, const uint8_t* signature, size_t signatureSize) {
    return zaf::guard([&]() -> ZAFError {
        if (ctx == nullptr || ctx->magic != kPubMagic)
            return kZAFError_InvalidHandle;
        if (hash == nullptr || signature == nullptr || hashAlgorithm < 0 || hashAlgorithm > 255)
            return kZAFError_BadParams;
        rfc4880::SigInfo sig;
        std::string_view s(reinterpret_cast<const char*>(signature), signatureSize);
        size_t pos = 0;
        while (pos < s.size() && sig.mpis.size() < 2) {
            rfc4880::Mpi m;
            if (!rfc4880::readMpi(s, pos, m))
                return kZAFError_BadSignature;
            sig.mpis.push_back(m);
        }
        if (pos != s.size())
            return kZAFError_BadSignature;
        return verifyWithKey(ctx->keyBody, uint8_t(hashAlgorithm), hash, hashSize, sig)
                   ? kZAFError_NoErr
                   : kZAFError_BadSignature;
    });
}

} // extern "C"

namespace zaf {

ZAFError unlockSecretPacket(std::string_view body, std::string_view pass,
                            Botan::secure_vector<uint8_t>& mpis, rfc4880::KeyInfo& info) {
    return unlockSecret(body, pass, mpis, info);
}

} // namespace zaf
