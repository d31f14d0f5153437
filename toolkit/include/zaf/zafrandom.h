/* The process-wide random pool, entropy accounting, feature flags and the list of public-key
 * algorithms the toolkit knows.
 *
 * The pool is one locked generator for the whole process, fed by the operating system's random
 * source, the seed files of contexts (zafcontext.h) and keystrokes. When the operating system's
 * source works the pool counts as full. Without it (setting the environment variable
 * ORX_ZAF_NO_OS_RANDOM=1 switches it off; the toolkit reads it when the pool is first used and at
 * each ZAFsdkInit that starts the library) the entropy available is what keystrokes credited:
 * one byte per keystroke, capped at the capacity; key generation consumes what it uses. */
#ifndef ZAF_ZAFRANDOM_H
#define ZAF_ZAFRANDOM_H

#include <zaf/zafcontext.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes of entropy the pool holds at most. */
enum { kZAFRandomPoolCapacity = 4096 };

/* ZAFGetFeatureFlags: selector 1 reports kZAFFeatureMask_OSRandom while the operating system's
 * random source is in use. */
enum { kZAFFeatureSelector_Basic = 1 };
enum { kZAFFeatureMask_OSRandom = 32 };

/* Fills `buffer` with `length` bytes from the pool. This never touches the entropy account. */
ZAF_API ZAFError ZAFContextGetRandomBytes(ZAFContextRef context, void* buffer, size_t length);

/* Reports how many bytes of entropy are available, 0 to kZAFRandomPoolCapacity, without
 * consuming any: the capacity while the operating system's source works, otherwise the bytes
 * credited so far. `bytesWanted` does not change the answer. Unlike most calls this returns the
 * count itself; a negative value is a result code (kZAFError_InvalidHandle). */
ZAF_API int32_t ZAFContextReserveRandomBytes(ZAFContextRef context, uint32_t bytesWanted);

/* Takes `bytes` of credited entropy for key generation. While the operating system's source
 * works this always succeeds and takes nothing. Otherwise, when fewer than `bytes` are credited,
 * it returns kZAFError_NotEnoughEntropy and takes nothing. */
ZAF_API ZAFError ZAFContextConsumeEntropy(ZAFContextRef context, uint32_t bytes);

/* Mixes one keystroke (its value and the time it arrived) into the pool and credits one byte of
 * entropy, up to the capacity. */
ZAF_API ZAFError ZAFGlobalRandomPoolAddKeystroke(int32_t keystroke);

/* kZAFError_BadParams for an unknown selector or a null out-pointer. */
ZAF_API ZAFError ZAFGetFeatureFlags(uint32_t selector, uint32_t* outFlags);

/* Public-key algorithm numbers (as in RFC 4880 and its successors). */
enum {
    kZAFPublicKeyAlgorithm_RSA = 1,
    kZAFPublicKeyAlgorithm_ElGamal = 16,
    kZAFPublicKeyAlgorithm_DSA = 17,
    kZAFPublicKeyAlgorithm_ECDH = 18,
    kZAFPublicKeyAlgorithm_ECDSA = 19,
    kZAFPublicKeyAlgorithm_EdDSA = 22
};

/* One entry of the algorithm list. Texts are NUL-terminated; sizes are in bits. */
typedef struct ZAFPublicKeyAlgorithmInfo {
    int32_t algorithm;
    char shortName[32];
    char longName[96];
    char notice[256];
    ZAFBoolean canGenerate;
    ZAFBoolean canSign;
    ZAFBoolean canEncrypt;
    uint32_t minSize;
    uint32_t maxSize;
} ZAFPublicKeyAlgorithmInfo;

ZAF_API ZAFError ZAFCountPublicKeyAlgorithms(uint32_t* outCount);
/* kZAFError_BadParams for an index at or past the count. */
ZAF_API ZAFError ZAFGetIndexedPublicKeyAlgorithmInfo(uint32_t index,
                                                     ZAFPublicKeyAlgorithmInfo* outInfo);

#ifdef __cplusplus
}
#endif

#endif
