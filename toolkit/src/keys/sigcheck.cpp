// sigcheck: one signature checked on demand with its issuer's key.
#include "keystore/keystore.h"

#include <zaf/zafsigcheck.h>

using namespace zaf;

ZAFError ZAFCheckSignature(ZAFKeyDBObjRef sig, ZAFBoolean* outTried, ZAFBoolean* outVerified) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidObj(sig))
            return kZAFError_InvalidHandle;
        if (sig->type != kZAFKeyDBObjType_Signature || outTried == nullptr ||
            outVerified == nullptr || sig->key == nullptr)
            return kZAFError_BadParams;
        *outTried = 0;
        *outVerified = 0;
        ZAFKeyDB* db = sig->key->owner;
        if (!isValidDB(db) || !sig->hasIssuer)
            return kZAFError_NoErr;
        Key* signer = db->findByKeyID(sig->keyID);
        if (signer == nullptr)
            return kZAFError_NoErr;
        DefaultCheckBudget budget;
        const bool ok = verifySignature(db, *sig->key, *sig, signer);
        *outTried = sig->tried ? 1 : 0; // not when the budget ran out before the check
        *outVerified = ok ? 1 : 0;
        return kZAFError_NoErr;
    });
}
