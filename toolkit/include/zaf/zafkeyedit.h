/* Key generation and editing: key pairs and subkeys, the entropy they need, user IDs and photo
 * IDs, certifications, revocations, designated revokers and additional decryption keys.
 *
 * Every call takes its settings as an option list ending in ZAFOLastOption() (see zafkeys.h; a
 * null option is ignored). A call fails with kZAFError_MissingOption when an option it needs is
 * absent, kZAFError_RepeatedOption when one is given twice, and kZAFError_ConflictingOptions when
 * an option does not apply to the call or contradicts another; a failed builder (null) gives
 * kZAFError_BadParams. Every option list is released either way.
 *
 * The passphrase (ZAFOPassphrase, or ZAFOPasskeyBuffer with the same meaning as raw bytes) is
 * required wherever a secret key is made or used; the empty passphrase stands for an unprotected
 * key. A wrong one gives kZAFError_BadPassphrase and changes nothing.
 *
 * An edit builds a new version of the key and puts it in its database in place of the old one
 * (flush and merge see an ordinary changed key). Handles to objects of the old version stay
 * readable and still show the old state; passing them to these calls acts on the current
 * version. Nothing is written to disk until ZAFFlushKeyDB. A database opened without
 * kZAFOpenKeyDBFileOptions_Mutable refuses every edit with kZAFError_ReadOnlyKeyDB.
 *
 * Secret keys are protected with the iterated and salted S2K (SHA-256), AES-256 in CFB mode and a
 * SHA-1 check (usage 254); legacy (version 3) keys use usage 255 with the same S2K and cipher.
 * Signatures use SHA-256. */
#ifndef ZAF_ZAFKEYEDIT_H
#define ZAF_ZAFKEYEDIT_H

#include <zaf/zafkeys.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Key flags (what a key or subkey is for). */
enum {
    kZAFKeyFlag_Certify = 0x01,
    kZAFKeyFlag_Sign = 0x02,
    kZAFKeyFlag_EncryptCommunications = 0x04,
    kZAFKeyFlag_EncryptStorage = 0x08,
    kZAFKeyFlag_Authenticate = 0x20
};

/* Key versions of ZAFOKeyGenParams: 0 picks the current format. */
enum { kZAFKeyVersion_Default = 0, kZAFKeyVersion_Legacy = 3, kZAFKeyVersion_Current = 4 };

/* Classes of additional decryption keys: a request, or enforced. */
enum { kZAFADKClass_Request = 0x00, kZAFADKClass_Enforced = 0x80 };

/* Longest user ID, regular expression and photo accepted. */
enum {
    kZAFMaxUserIDLength = 2048,
    kZAFMaxRegularExpressionLength = 1024,
    kZAFMaxPhotoSize = 1048576,
    kZAFMaxRevocationReasonLength = 1024
};

/* Reasons for revocation (RFC 4880 5.2.3.23) that ZAFORevocationReason takes: none given, the
 * key is superseded, its secret was compromised, it is retired, the user ID is no longer valid;
 * 100 to 110 are private. */
enum {
    kZAFRevocationReason_None = 0,
    kZAFRevocationReason_Superseded = 1,
    kZAFRevocationReason_Compromised = 2,
    kZAFRevocationReason_Retired = 3,
    kZAFRevocationReason_UserIDInvalid = 32
};

/* ZAFGetKeyEntropyNeeded's answer when the options are not usable (all bits set). */
#define kZAFKeyEntropyUnknown ((uint32_t)0xFFFFFFFFu)

/* ---- options ---- */

/* The database a new key goes into. */
ZAF_API ZAFOptionListRef ZAFOKeyDB(ZAFContextRef context, ZAFKeyDBRef keyDB);
/* Algorithm (kZAFPublicKeyAlgorithm_...), size in bits and key version. Supported:
 *   RSA (1): 1024..4096 bits, version 4; legacy version 3 1024..2048 bits.
 *   DSA (17): 1024 (160-bit subgroup), 2048 or 3072 (256-bit subgroup); version 4.
 *   ElGamal (16, subkeys only): 1024..4096 bits.
 * Other algorithms give kZAFError_UnsupportedAlg, other sizes kZAFError_BadKeySize. */
ZAF_API ZAFOptionListRef ZAFOKeyGenParams(ZAFContextRef context, int32_t algorithm, uint32_t bits,
                                          int32_t version);
/* The user ID of a new key (1..kZAFMaxUserIDLength bytes). */
ZAF_API ZAFOptionListRef ZAFOUserID(ZAFContextRef context, const char* userID);
/* Days until a key, subkey or certification expires; 0 (the default) never. */
ZAF_API ZAFOptionListRef ZAFOExpiration(ZAFContextRef context, int32_t days);
/* Fast generation: ElGamal keys of 1024, 1536, 2048, 3072 or 4096 bits use the well-known
 * groups of RFC 2409 / RFC 3526 instead of a fresh group. Default off. */
ZAF_API ZAFOptionListRef ZAFOFastGeneration(ZAFContextRef context, ZAFBoolean fast);
/* Additional decryption keys for a new key: every key of the set (version 4 keys only) with the
 * class kZAFADKClass_Request or kZAFADKClass_Enforced. */
ZAF_API ZAFOptionListRef ZAFOADKKeySet(ZAFContextRef context, ZAFKeySetRef keySet,
                                       uint8_t adkClass);
/* Key flags (kZAFKeyFlag_...). Defaults: certify and sign for primary keys, encrypt
 * (communications and storage) for subkeys. Encryption flags on a DSA key, signing flags on an
 * ElGamal key, certify on a subkey and any flags on a legacy key conflict. */
ZAF_API ZAFOptionListRef ZAFOKeyFlags(ZAFContextRef context, uint32_t flags);
/* Preferred symmetric ciphers, most preferred first (kZAFCipherAlgorithm_... of zafcrypto.h): 1 to
 * 16 distinct known ciphers, else the builder fails. Legacy keys cannot record them and ignore
 * the option. Default: AES-256, AES-192, AES-128, CAST5, 3DES. */
ZAF_API ZAFOptionListRef ZAFOPreferredCiphers(ZAFContextRef context, const int32_t* ciphers,
                                              size_t count);
/* The key a new subkey belongs to. */
ZAF_API ZAFOptionListRef ZAFOMasterKey(ZAFContextRef context, ZAFKeyDBObjRef key);
/* Creation time of a new subkey; 0 (the default) is now. */
ZAF_API ZAFOptionListRef ZAFOCreationDate(ZAFContextRef context, ZAFTime created);
/* Certifications: a regular expression limiting a trust signature (1..kZAFMaxRegularExpression
 * Length bytes). */
ZAF_API ZAFOptionListRef ZAFORegularExpression(ZAFContextRef context, const char* expression);
/* Certifications: exportable (default) or local. Local signatures are never exported. */
ZAF_API ZAFOptionListRef ZAFOExportable(ZAFContextRef context, ZAFBoolean exportable);
/* Certifications: a trust signature of `depth` (0 none, 1..255) and `amount` on the owner-trust
 * scale (kZAFKeyTrust_...: marginal is written as 60, complete and ultimate as 120, the others as
 * 0); any other amount fails at the call with kZAFError_BadParams. */
ZAF_API ZAFOptionListRef ZAFOSignatureTrust(ZAFContextRef context, int32_t depth, int32_t amount);
/* Revocations: the reason (a kZAFRevocationReason_... code, or 100 to 110) and an explanation
 * (UTF-8, at most kZAFMaxRevocationReasonLength bytes; null or empty for none), written into the
 * revocation signature. Without it the reason is "none given" with no text. Any other code fails
 * the builder. A version 3 key's revocation carries no reason unless one is given: then it is a
 * version 4 signature. */
ZAF_API ZAFOptionListRef ZAFORevocationReason(ZAFContextRef context, int32_t code,
                                              const char* text);

/* ---- generation ---- */

/* Bits of entropy that generating a key with the given ZAFOKeyGenParams (required) and
 * ZAFOFastGeneration (optional, default off) takes from the random pool; ZAFOKeyFlags is accepted
 * and does not change the answer. kZAFKeyEntropyUnknown for anything else, or an unsupported
 * algorithm or size. The formula, for a key of L bits:
 *   RSA: L (two random primes of L/2 bits each);
 *   DSA: 2 x N, N the subgroup size (160 for L = 1024, else 256): the domain seed and the secret;
 *   ElGamal: 256 for the secret exponent, plus L for the primes of a fresh group (not with fast
 *   generation at a size that has a well-known group).
 * Generation asks the pool for (bits + 7) / 8 bytes. */
ZAF_API uint32_t ZAFGetKeyEntropyNeeded(ZAFContextRef context, ZAFOptionListRef first, ...);

/* Generates a key pair into a database. Options: ZAFOKeyDB, ZAFOKeyGenParams (RSA or DSA) and
 * ZAFOUserID and a passphrase are required; ZAFOExpiration, ZAFOFastGeneration, ZAFOADKKeySet,
 * ZAFOKeyFlags and ZAFOPreferredCiphers are optional. The key gets one self-signed user ID and no
 * subkey (ZAFGenerateSubKey adds one). Before anything is generated the entropy of
 * ZAFGetKeyEntropyNeeded is taken from the pool (ZAFContextConsumeEntropy); when the pool holds
 * less, the call fails with kZAFError_NotEnoughEntropy and takes nothing. `outKey` receives the
 * new key. */
ZAF_API ZAFError ZAFGenerateKey(ZAFContextRef context, ZAFKeyDBObjRef* outKey,
                                ZAFOptionListRef first, ...);

/* Generates a subkey (RSA or ElGamal) for a version 4 key whose secret part is held. Options:
 * ZAFOMasterKey, ZAFOKeyGenParams and the master key's passphrase are required (the new secret
 * subkey is protected with it too); ZAFOExpiration (days from the creation time),
 * ZAFOFastGeneration, ZAFOCreationDate and ZAFOKeyFlags are optional. A subkey with the signing
 * flag carries the back signature RFC 4880 asks for. The passphrase is checked before any entropy
 * is taken. `outSubKey` receives the subkey in the key's new version. */
ZAF_API ZAFError ZAFGenerateSubKey(ZAFContextRef context, ZAFKeyDBObjRef* outSubKey,
                                   ZAFOptionListRef first, ...);

/* ---- user IDs and photo IDs ---- */

/* Adds a user ID with a self-signature (same preferences, flags and expiration as the key's
 * current self-signature). Option: the key's passphrase. A user ID the key already has gives
 * kZAFError_ItemAlreadyExists. Removing user IDs, subkeys and signatures is ZAFDeleteKeyDBObj. */
ZAF_API ZAFError ZAFAddUserID(ZAFKeyDBObjRef key, const char* userID, ZAFOptionListRef first, ...);

/* Adds a photo ID: a user attribute holding one JPEG image (starting FF D8, at most
 * kZAFMaxPhotoSize bytes) after the 16-byte image header, self-signed. Option: the passphrase. */
ZAF_API ZAFError ZAFAddPhotoID(ZAFKeyDBObjRef key, const void* jpeg, size_t size,
                               ZAFOptionListRef first, ...);

/* ---- certifications and revocations ---- */

/* Certifies a user ID (or photo ID) of another key with `signer`, whose secret part must be held
 * and which must be neither revoked nor expired (kZAFError_KeyRevoked, kZAFError_KeyExpired).
 * Options: the signer's passphrase (required), ZAFORegularExpression, ZAFOExportable,
 * ZAFOSignatureTrust and ZAFOExpiration (optional). A key cannot certify its own user IDs this way
 * (kZAFError_ItemAlreadyExists: its self-signatures do that). */
ZAF_API ZAFError ZAFCertifyUserID(ZAFKeyDBObjRef userID, ZAFKeyDBObjRef signer,
                                  ZAFOptionListRef first, ...);

/* Revokes a key, a subkey or a certification. Options: the revoker's passphrase,
 * ZAFORevocationReason (optional).
 *   Key: by the key itself (`revoker` null or the key) or by one of its designated revokers;
 *     any other revoker gives kZAFError_NotDesignatedRevoker. A key already revoked gives
 *     kZAFError_AlreadyRevoked, one that is not revocable kZAFError_NotRevocable.
 *   Subkey: by its key only.
 *   Certification: by its issuer only (`revoker` null looks the issuer up in the database).
 * The revoker's secret part must be held (kZAFError_NoSecretKey). */
ZAF_API ZAFError ZAFRevoke(ZAFKeyDBObjRef object, ZAFKeyDBObjRef revoker, ZAFOptionListRef first,
                           ...);

/* Names `revoker` (a version 4 key, not the key itself) a designated revoker of `key` in a new
 * direct-key self-signature. Option: the key's passphrase. An existing revoker gives
 * kZAFError_ItemAlreadyExists. */
ZAF_API ZAFError ZAFAddRevocationKey(ZAFKeyDBObjRef key, ZAFKeyDBObjRef revoker,
                                     ZAFOptionListRef first, ...);

/* Adds `adk` (a version 4 key that can encrypt) as an additional decryption key of `key` with the
 * class kZAFADKClass_Request or kZAFADKClass_Enforced, in a new direct-key self-signature.
 * Option: the key's passphrase. */
ZAF_API ZAFError ZAFAddAdditionalDecryptionKey(ZAFKeyDBObjRef key, ZAFKeyDBObjRef adk,
                                               uint8_t adkClass, ZAFOptionListRef first, ...);

#ifdef __cplusplus
}
#endif

#endif
