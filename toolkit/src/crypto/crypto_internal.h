// crypto_internal: the primitive objects behind the hash, HMAC, cipher and big-number handles,
// for the toolkit's modules that take them (signing over a hash context, for example).
#ifndef ZAF_CRYPTO_INTERNAL_H
#define ZAF_CRYPTO_INTERNAL_H

#include <zaf/zafcrypto.h>

#include <botan/bigint.h>
#include <botan/block_cipher.h>
#include <botan/hash.h>
#include <botan/mac.h>

#include <cstdint>
#include <memory>
#include <string>

struct ZAFHashContext {
    uint32_t magic;
    int32_t algorithm;
    std::unique_ptr<Botan::HashFunction> hash;
};

struct ZAFHMACContext {
    uint32_t magic;
    int32_t algorithm;
    std::unique_ptr<Botan::MessageAuthenticationCode> mac;
};

struct ZAFSymmetricCipherContext {
    uint32_t magic;
    int32_t algorithm;
    bool keySet;
    size_t keyLength;
    std::unique_ptr<Botan::BlockCipher> cipher;
};

struct ZAFBigNum {
    uint32_t magic;
    Botan::BigInt value;
};

namespace zaf {

// Botan's name of a hash algorithm number; empty for an unknown number.
std::string hashName(int32_t algorithm);

bool isValidHash(const ZAFHashContext* hash);
bool isValidHMAC(const ZAFHMACContext* hmac);
bool isValidCipher(const ZAFSymmetricCipherContext* cipher);
bool isValidBigNum(const ZAFBigNum* bn);

} // namespace zaf

#endif
