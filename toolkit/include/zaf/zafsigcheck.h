/* Checking one signature of a key database on demand (listings and key checks show every
 * signature's state, not only those the trust calculation needed). */
#ifndef ZAF_ZAFSIGCHECK_H
#define ZAF_ZAFSIGCHECK_H

#include <zaf/zafkeys.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Verifies the signature `sig` (a signature object of a database) with its issuer's key, when
 * the database holds that key: `outTried` tells whether the issuer was found, `outVerified`
 * whether the signature is good. The result is cached with the trust calculation's and shows in
 * the signature's IsTried and IsVerified properties afterwards. kZAFError_BadParams for anything
 * that is not a signature object. */
ZAF_API ZAFError ZAFCheckSignature(ZAFKeyDBObjRef sig, ZAFBoolean* outTried,
                                   ZAFBoolean* outVerified);

#ifdef __cplusplus
}
#endif

#endif
