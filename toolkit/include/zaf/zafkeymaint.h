/* Key maintenance: changing the passphrase of a key pair and choosing its primary user ID.
 *
 * Both calls work on a key of a writable database (kZAFError_ReadOnlyKeyDB otherwise), replace the
 * key by its new version in the database (handles to the old version stay usable for reading, as
 * after every edit) and change nothing when they fail. */
#ifndef ZAF_ZAFKEYMAINT_H
#define ZAF_ZAFKEYMAINT_H

#include <zaf/zafkeys.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Protects the secret parts of `key` (the primary key and every secret subkey) with a new
 * passphrase: `oldPass` must unlock each of them (kZAFError_BadPassphrase otherwise); `newPass`
 * protects them again (AES-256, iterated and salted S2K with SHA-256), or leaves them unprotected
 * when it is empty. kZAFError_NoSecretKey when the key has no secret part. */
ZAF_API ZAFError ZAFChangeKeyPassphrase(ZAFKeyDBObjRef key, const char* oldPass, size_t oldLength,
                                        const char* newPass, size_t newLength);

/* Makes `userID` (a user ID or photo ID of a version 4 key) the key's primary one: a new
 * self-certification of it carries the primary user ID flag and the key's current preferences,
 * flags and expiration. `pass` unlocks the key. kZAFError_KeyRevoked for a revoked key or user
 * ID, kZAFError_UnsupportedAlg for a version 3 key. */
ZAF_API ZAFError ZAFSetPrimaryUserID(ZAFKeyDBObjRef userID, const char* pass, size_t length);

/* Sets when a version 4 key expires: every user ID and attribute that is not revoked gets a new
 * self-certification carrying its current one's preferences, flags, primary flag and additional
 * decryption keys with the new key expiration (none for `expires` 0, "never"). `expires` must
 * lie after now and after the key's creation (kZAFError_BadParams). `pass` unlocks the key.
 * kZAFError_KeyRevoked for a revoked key, kZAFError_UnsupportedAlg for a version 3 key. */
ZAF_API ZAFError ZAFSetKeyExpiration(ZAFKeyDBObjRef key, ZAFTime expires, const char* pass,
                                     size_t length);

#ifdef __cplusplus
}
#endif

#endif
