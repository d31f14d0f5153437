// crypto: hash, HMAC and block cipher contexts over Botan.
#include "api/api.h"
#include "crypto_internal.h"

#include <botan/mem_ops.h>

#include <cstring>

namespace zaf {

namespace {

constexpr uint32_t kHashMagic = 0x5A414648;   // "ZAFH"
constexpr uint32_t kHMACMagic = 0x5A41464B;   // "ZAFK"
constexpr uint32_t kCipherMagic = 0x5A414658; // "ZAFX"
constexpr size_t kMaxHMACKeyLength = 1024;

struct CipherRow {
    int32_t algorithm;
    const char* name;
    size_t keyLength;
};

// Key lengths as the key store's formats use them (Blowfish with a 128-bit key).
const CipherRow kCiphers[] = {
    {kZAFCipherAlgorithm_IDEA, "IDEA", 16},      {kZAFCipherAlgorithm_3DES, "TripleDES", 24},
    {kZAFCipherAlgorithm_CAST5, "CAST-128", 16}, {kZAFCipherAlgorithm_Blowfish, "Blowfish", 16},
    {kZAFCipherAlgorithm_AES128, "AES-128", 16}, {kZAFCipherAlgorithm_AES192, "AES-192", 24},
    {kZAFCipherAlgorithm_AES256, "AES-256", 32}, {kZAFCipherAlgorithm_Twofish, "Twofish", 32},
};

const CipherRow* findCipher(int32_t algorithm) {
    for (const CipherRow& row : kCiphers)
        if (row.algorithm == algorithm)
            return &row;
    return nullptr;
}

// Frees a registered handle of the given kind; false when it is not a live handle of that kind.
template <class T> bool release(T* handle, HandleKind kind) {
    if (!unregisterHandle(handle, kind))
        return false;
    handle->magic = 0;
    delete handle;
    return true;
}

template <class T> ZAFError adopt(std::unique_ptr<T> object, HandleKind kind, T** out) {
    registerHandle(object.get(), kind);
    *out = object.release();
    return kZAFError_NoErr;
}

ZAFError runBlocks(ZAFSymmetricCipherContext* cipher, const void* in, void* out, size_t blocks,
                   bool encrypt) {
    if (!isValidCipher(cipher))
        return kZAFError_InvalidHandle;
    if (blocks == 0)
        return kZAFError_NoErr;
    if (in == nullptr || out == nullptr)
        return kZAFError_BadParams;
    if (!cipher->keySet)
        return kZAFError_KeyNotSet;
    const auto* source = static_cast<const uint8_t*>(in);
    auto* target = static_cast<uint8_t*>(out);
    if (encrypt)
        cipher->cipher->encrypt_n(source, target, blocks);
    else
        cipher->cipher->decrypt_n(source, target, blocks);
    return kZAFError_NoErr;
}

} // namespace

std::string hashName(int32_t algorithm) {
    switch (algorithm) {
    case kZAFHashAlgorithm_MD5:
        return "MD5";
    case kZAFHashAlgorithm_SHA1:
        return "SHA-160";
    case kZAFHashAlgorithm_RIPEMD160:
        return "RIPEMD-160";
    case kZAFHashAlgorithm_SHA256:
        return "SHA-256";
    case kZAFHashAlgorithm_SHA384:
        return "SHA-384";
    case kZAFHashAlgorithm_SHA512:
        return "SHA-512";
    case kZAFHashAlgorithm_SHA224:
        return "SHA-224";
    default:
        return std::string();
    }
}

bool isValidHash(const ZAFHashContext* hash) {
    return isRegistered(hash, HandleKind::Hash) && hash->magic == kHashMagic;
}

bool isValidHMAC(const ZAFHMACContext* hmac) {
    return isRegistered(hmac, HandleKind::HMAC) && hmac->magic == kHMACMagic;
}

bool isValidCipher(const ZAFSymmetricCipherContext* cipher) {
    return isRegistered(cipher, HandleKind::Cipher) && cipher->magic == kCipherMagic;
}

} // namespace zaf

using zaf::HandleKind;

extern "C" {

ZAFError ZAFGetHashSize(int32_t algorithm, size_t* outSize) {
    return zaf::guard([&]() -> ZAFError {
        const std::string name = zaf::hashName(algorithm);
        if (name.empty() || outSize == nullptr)
            return kZAFError_BadParams;
        *outSize = Botan::HashFunction::create_or_throw(name)->output_length();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFNewHashContext(ZAFContextRef context, int32_t algorithm, ZAFHashContextRef* outHash) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidContext(context))
            return kZAFError_InvalidHandle;
        const std::string name = zaf::hashName(algorithm);
        if (name.empty() || outHash == nullptr)
            return kZAFError_BadParams;
        auto hash = std::make_unique<ZAFHashContext>();
        hash->magic = zaf::kHashMagic;
        hash->algorithm = algorithm;
        hash->hash = Botan::HashFunction::create_or_throw(name);
        return zaf::adopt(std::move(hash), HandleKind::Hash, outHash);
    });
}

ZAFError ZAFContinueHash(ZAFHashContextRef hash, const void* data, size_t length) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidHash(hash))
            return kZAFError_InvalidHandle;
        if (data == nullptr && length > 0)
            return kZAFError_BadParams;
        if (length > 0)
            hash->hash->update(static_cast<const uint8_t*>(data), length);
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFinalizeHash(ZAFHashContextRef hash, void* digest, size_t size) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidHash(hash))
            return kZAFError_InvalidHandle;
        if (digest == nullptr)
            return kZAFError_BadParams;
        if (size < hash->hash->output_length())
            return kZAFError_BufferTooSmall;
        hash->hash->final(static_cast<uint8_t*>(digest));
        return kZAFError_NoErr;
    });
}

ZAFError ZAFResetHash(ZAFHashContextRef hash) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidHash(hash))
            return kZAFError_InvalidHandle;
        hash->hash->clear();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFreeHashContext(ZAFHashContextRef hash) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidHash(hash) || !zaf::release(hash, HandleKind::Hash))
            return kZAFError_InvalidHandle;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFNewHMACContext(ZAFContextRef context, int32_t algorithm, const void* key,
                           size_t keyLength, ZAFHMACContextRef* outHMAC) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidContext(context))
            return kZAFError_InvalidHandle;
        const std::string name = zaf::hashName(algorithm);
        if (name.empty() || outHMAC == nullptr || (key == nullptr && keyLength > 0) ||
            keyLength > zaf::kMaxHMACKeyLength)
            return kZAFError_BadParams;
        auto hmac = std::make_unique<ZAFHMACContext>();
        hmac->magic = zaf::kHMACMagic;
        hmac->algorithm = algorithm;
        hmac->mac = Botan::MessageAuthenticationCode::create_or_throw("HMAC(" + name + ")");
        hmac->mac->set_key(static_cast<const uint8_t*>(key), keyLength);
        return zaf::adopt(std::move(hmac), HandleKind::HMAC, outHMAC);
    });
}

ZAFError ZAFContinueHMAC(ZAFHMACContextRef hmac, const void* data, size_t length) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidHMAC(hmac))
            return kZAFError_InvalidHandle;
        if (data == nullptr && length > 0)
            return kZAFError_BadParams;
        if (length > 0)
            hmac->mac->update(static_cast<const uint8_t*>(data), length);
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFinalizeHMAC(ZAFHMACContextRef hmac, void* mac, size_t size) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidHMAC(hmac))
            return kZAFError_InvalidHandle;
        if (mac == nullptr)
            return kZAFError_BadParams;
        if (size < hmac->mac->output_length())
            return kZAFError_BufferTooSmall;
        hmac->mac->final(static_cast<uint8_t*>(mac));
        return kZAFError_NoErr;
    });
}

ZAFError ZAFResetHMAC(ZAFHMACContextRef hmac) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidHMAC(hmac))
            return kZAFError_InvalidHandle;
        // Finishing into a scratch buffer drops the data while keeping the key (clear() would
        // forget the key too).
        uint8_t scratch[kZAFHashMaxSize];
        hmac->mac->final(scratch);
        Botan::secure_scrub_memory(scratch, sizeof scratch);
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFreeHMACContext(ZAFHMACContextRef hmac) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidHMAC(hmac) || !zaf::release(hmac, HandleKind::HMAC))
            return kZAFError_InvalidHandle;
        return kZAFError_NoErr;
    });
}

ZAFBoolean ZAFConstantTimeEqual(const void* a, const void* b, size_t length) {
    return zaf::guard(ZAFBoolean(0), [&]() -> ZAFBoolean {
        if (length == 0)
            return 1;
        if (a == nullptr || b == nullptr)
            return 0;
        return Botan::constant_time_compare(static_cast<const uint8_t*>(a),
                                            static_cast<const uint8_t*>(b), length)
                   ? 1
                   : 0;
    });
}

ZAFError ZAFNewSymmetricCipherContext(ZAFContextRef context, int32_t algorithm,
                                      ZAFSymmetricCipherContextRef* outCipher) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidContext(context))
            return kZAFError_InvalidHandle;
        const zaf::CipherRow* row = zaf::findCipher(algorithm);
        if (row == nullptr || outCipher == nullptr)
            return kZAFError_BadParams;
        auto cipher = std::make_unique<ZAFSymmetricCipherContext>();
        cipher->magic = zaf::kCipherMagic;
        cipher->algorithm = algorithm;
        cipher->keySet = false;
        cipher->keyLength = row->keyLength;
        cipher->cipher = Botan::BlockCipher::create_or_throw(row->name);
        return zaf::adopt(std::move(cipher), HandleKind::Cipher, outCipher);
    });
}

ZAFError ZAFGetSymmetricCipherSizes(ZAFSymmetricCipherContextRef cipher, size_t* outKeySize,
                                    size_t* outBlockSize) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidCipher(cipher))
            return kZAFError_InvalidHandle;
        if (outKeySize != nullptr)
            *outKeySize = cipher->keyLength;
        if (outBlockSize != nullptr)
            *outBlockSize = cipher->cipher->block_size();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFInitSymmetricCipher(ZAFSymmetricCipherContextRef cipher, const void* key,
                                size_t keyLength) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidCipher(cipher))
            return kZAFError_InvalidHandle;
        if (key == nullptr || keyLength != cipher->keyLength)
            return kZAFError_BadParams;
        cipher->cipher->set_key(static_cast<const uint8_t*>(key), keyLength);
        cipher->keySet = true;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFSymmetricCipherEncrypt(ZAFSymmetricCipherContextRef cipher, const void* in, void* out) {
    return zaf::guard([&] { return zaf::runBlocks(cipher, in, out, 1, true); });
}

ZAFError ZAFSymmetricCipherDecrypt(ZAFSymmetricCipherContextRef cipher, const void* in, void* out) {
    return zaf::guard([&] { return zaf::runBlocks(cipher, in, out, 1, false); });
}

ZAFError ZAFSymmetricCipherEncryptBlocks(ZAFSymmetricCipherContextRef cipher, const void* in,
                                         void* out, size_t blockCount) {
    return zaf::guard([&] { return zaf::runBlocks(cipher, in, out, blockCount, true); });
}

ZAFError ZAFSymmetricCipherDecryptBlocks(ZAFSymmetricCipherContextRef cipher, const void* in,
                                         void* out, size_t blockCount) {
    return zaf::guard([&] { return zaf::runBlocks(cipher, in, out, blockCount, false); });
}

ZAFError ZAFFreeSymmetricCipherContext(ZAFSymmetricCipherContextRef cipher) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidCipher(cipher) || !zaf::release(cipher, HandleKind::Cipher))
            return kZAFError_InvalidHandle;
        return kZAFError_NoErr;
    });
}

} // extern "C"
