/* Cryptographic primitives: hashes, HMAC, block ciphers and big numbers.
 *
 * Each object belongs to the context it was made from and is used by one thread at a time; free
 * each exactly once. Algorithm numbers are those of RFC 4880. Secret material (HMAC keys, cipher
 * keys, big numbers) is kept in memory that is overwritten when it is released. */
#ifndef ZAF_ZAFCRYPTO_H
#define ZAF_ZAFCRYPTO_H

#include <zaf/zafcontext.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZAFHashContext* ZAFHashContextRef;
typedef struct ZAFHMACContext* ZAFHMACContextRef;
typedef struct ZAFSymmetricCipherContext* ZAFSymmetricCipherContextRef;
typedef struct ZAFBigNum* ZAFBigNumRef;

/* Hash algorithms; an unknown number gives kZAFError_BadParams. */
enum {
    kZAFHashAlgorithm_MD5 = 1,
    kZAFHashAlgorithm_SHA1 = 2,
    kZAFHashAlgorithm_RIPEMD160 = 3,
    kZAFHashAlgorithm_SHA256 = 8,
    kZAFHashAlgorithm_SHA384 = 9,
    kZAFHashAlgorithm_SHA512 = 10,
    kZAFHashAlgorithm_SHA224 = 11
};
/* No digest is longer than this. */
enum { kZAFHashMaxSize = 64 };

/* Digest length in bytes of an algorithm. */
ZAF_API ZAFError ZAFGetHashSize(int32_t algorithm, size_t* outSize);

ZAF_API ZAFError ZAFNewHashContext(ZAFContextRef context, int32_t algorithm,
                                   ZAFHashContextRef* outHash);
ZAF_API ZAFError ZAFContinueHash(ZAFHashContextRef hash, const void* data, size_t length);
/* Writes the digest (ZAFGetHashSize bytes) to `digest`; `size` is the room there and must be at
 * least the digest length, else kZAFError_BufferTooSmall and nothing changes. Afterwards the
 * context starts a new, empty hash. */
ZAF_API ZAFError ZAFFinalizeHash(ZAFHashContextRef hash, void* digest, size_t size);
/* Forgets the data hashed so far. */
ZAF_API ZAFError ZAFResetHash(ZAFHashContextRef hash);
ZAF_API ZAFError ZAFFreeHashContext(ZAFHashContextRef hash);

/* HMAC over one of the hashes above, keyed once at creation (any key length up to 1024 bytes). */
ZAF_API ZAFError ZAFNewHMACContext(ZAFContextRef context, int32_t algorithm, const void* key,
                                   size_t keyLength, ZAFHMACContextRef* outHMAC);
ZAF_API ZAFError ZAFContinueHMAC(ZAFHMACContextRef hmac, const void* data, size_t length);
/* As ZAFFinalizeHash: the MAC (the hash's length) goes to `mac`; the context then starts a new
 * MAC with the same key. */
ZAF_API ZAFError ZAFFinalizeHMAC(ZAFHMACContextRef hmac, void* mac, size_t size);
/* Forgets the data given so far; the key stays. */
ZAF_API ZAFError ZAFResetHMAC(ZAFHMACContextRef hmac);
ZAF_API ZAFError ZAFFreeHMACContext(ZAFHMACContextRef hmac);

/* Compares two byte strings in time that depends only on the length. Returns 1 when equal. */
ZAF_API ZAFBoolean ZAFConstantTimeEqual(const void* a, const void* b, size_t length);

/* Block ciphers, used block by block (ECB); modes are built by the caller. */
enum {
    kZAFCipherAlgorithm_IDEA = 1,
    kZAFCipherAlgorithm_3DES = 2,
    kZAFCipherAlgorithm_CAST5 = 3,
    kZAFCipherAlgorithm_Blowfish = 4,
    kZAFCipherAlgorithm_AES128 = 7,
    kZAFCipherAlgorithm_AES192 = 8,
    kZAFCipherAlgorithm_AES256 = 9,
    kZAFCipherAlgorithm_Twofish = 10,
    kZAFCipherAlgorithm_Camellia128 = 11,
    kZAFCipherAlgorithm_Camellia192 = 12,
    kZAFCipherAlgorithm_Camellia256 = 13
};
/* No block is longer than this. */
enum { kZAFCipherMaxBlockSize = 16 };

ZAF_API ZAFError ZAFNewSymmetricCipherContext(ZAFContextRef context, int32_t algorithm,
                                              ZAFSymmetricCipherContextRef* outCipher);
/* Key and block lengths in bytes (each out-pointer may be NULL). */
ZAF_API ZAFError ZAFGetSymmetricCipherSizes(ZAFSymmetricCipherContextRef cipher, size_t* outKeySize,
                                            size_t* outBlockSize);
/* Sets the key; its length must be the algorithm's key length (kZAFError_BadParams otherwise).
 * Until a key is set, encryption and decryption give kZAFError_KeyNotSet. */
ZAF_API ZAFError ZAFInitSymmetricCipher(ZAFSymmetricCipherContextRef cipher, const void* key,
                                        size_t keyLength);
/* One block: `in` and `out` hold a block each and may be the same buffer. */
ZAF_API ZAFError ZAFSymmetricCipherEncrypt(ZAFSymmetricCipherContextRef cipher, const void* in,
                                           void* out);
ZAF_API ZAFError ZAFSymmetricCipherDecrypt(ZAFSymmetricCipherContextRef cipher, const void* in,
                                           void* out);
/* `blockCount` consecutive blocks in one call, each treated alone (ECB); much faster than one
 * call per block, for example to make many counter-mode key-stream blocks at once. */
ZAF_API ZAFError ZAFSymmetricCipherEncryptBlocks(ZAFSymmetricCipherContextRef cipher,
                                                 const void* in, void* out, size_t blockCount);
ZAF_API ZAFError ZAFSymmetricCipherDecryptBlocks(ZAFSymmetricCipherContextRef cipher,
                                                 const void* in, void* out, size_t blockCount);
ZAF_API ZAFError ZAFFreeSymmetricCipherContext(ZAFSymmetricCipherContextRef cipher);

/* Big numbers: non-negative integers of at most kZAFBigNumMaxBits bits. Every number is kept in
 * memory that is overwritten when it changes size or is freed; `secure` is accepted for the
 * callers' clarity and changes nothing. A new number is 0. Results may be written to one of the
 * operands. */
enum { kZAFBigNumMaxBits = 16384 };

ZAF_API ZAFError ZAFNewBigNum(ZAFContextRef context, ZAFBoolean secure, ZAFBigNumRef* outBigNum);
ZAF_API ZAFError ZAFFreeBigNum(ZAFBigNumRef bn);
/* Replaces the value with the big-endian bytes (leading zero bytes allowed; 0 bytes give 0).
 * More than kZAFBigNumMaxBits / 8 bytes give kZAFError_BadParams. */
ZAF_API ZAFError ZAFBigNumInsertBigEndianBytes(ZAFBigNumRef bn, const void* bytes, size_t length);
/* Writes the value as exactly `size` big-endian bytes, zero bytes in front as needed;
 * kZAFError_BufferTooSmall when the value needs more (its length is
 * (ZAFBigNumGetSignificantBits + 7) / 8). */
ZAF_API ZAFError ZAFBigNumExtractBigEndianBytes(ZAFBigNumRef bn, void* buffer, size_t size);
/* Bits up to and including the highest one bit; 0 for the value 0. */
ZAF_API ZAFError ZAFBigNumGetSignificantBits(ZAFBigNumRef bn, uint32_t* outBits);
ZAF_API ZAFError ZAFBigNumSetWord(ZAFBigNumRef bn, uint32_t value);
ZAF_API ZAFError ZAFBigNumCopy(ZAFBigNumRef source, ZAFBigNumRef destination);
/* *outResult is -1, 0 or 1 as a is less than, equal to or greater than b. */
ZAF_API ZAFError ZAFBigNumCompare(ZAFBigNumRef a, ZAFBigNumRef b, int32_t* outResult);
ZAF_API ZAFError ZAFBigNumAdd(ZAFBigNumRef a, ZAFBigNumRef b, ZAFBigNumRef result);
/* a - b; kZAFError_BadParams when b is greater than a (no negative numbers). */
ZAF_API ZAFError ZAFBigNumSubtract(ZAFBigNumRef a, ZAFBigNumRef b, ZAFBigNumRef result);
/* result = base ^ exponent mod modulus; a modulus of 0 gives kZAFError_BadParams. */
ZAF_API ZAFError ZAFBigNumExpMod(ZAFBigNumRef base, ZAFBigNumRef exponent, ZAFBigNumRef modulus,
                                 ZAFBigNumRef result);

#ifdef __cplusplus
}
#endif

#endif
