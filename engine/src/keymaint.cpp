// keymaint: the key maintenance commands --change-passphrase and --set-primary-userid.
#include "engine_internal.h"

#include <oozaf/keydb.h>
#include <oozaf/throwable.h>
#include <zaf/zafkeymaint.h>

using namespace oozaf;

namespace orxengine {

namespace {

// Runs one toolkit edit of the key rings and writes them when it succeeded.
void edit(CEngineRun& run, ZAFError code) {
    if (code == kZAFError_BadPassphrase)
        fail(kZAFvorn_BadPassphrase, "wrong passphrase");
    if (code != kZAFError_NoErr)
        throw new CZAFSDKException(code);
    run.server().getKeyDB()->flush();
}

} // namespace

void gCmdChangePassphrase(CEngineRun& run) {
    std::unique_ptr<CZAFKey> key = run.findKey(run.args()[0], true);
    CSecret current;
    run.readKeyPassphrase(*key, current);
    CSecret fresh;
    run.readNewPassphrase("the new passphrase of " + key->getKeyIDString_Short(), fresh);
    edit(run, ZAFChangeKeyPassphrase(key->getHandle(), current.c_str(), current.size(),
                                     fresh.c_str(), fresh.size()));
    run.out("passphrase of " + gKeyName(*key) + " changed" +
            (fresh.size() == 0 ? " (the secret key is now unprotected)" : "") + "\n");
}

void gCmdSetPrimaryUserID(CEngineRun& run) {
    std::unique_ptr<CZAFKey> key = run.findKey(run.args()[0], true);
    const std::string& wanted = run.args()[1];
    std::unique_ptr<CZAFKeySet> set(run.server().getKeyDB()->getMatchingKeySet(
        key->getKeyIDString_Long(), 0, nullptr, nullptr));
    std::unique_ptr<CZAFIterator> iter(set->getIterator());
    CZAFDatabaseObject* object = nullptr;
    if (iter->next(kZAFKeyDBObjType_Key, object) != kZAFError_NoErr)
        fail(kZAFvorn_NoKey, "no key matches '" + run.args()[0] + "'");
    delete object;
    std::unique_ptr<CZAFUserID> chosen;
    for (;;) {
        CZAFDatabaseObject* child = nullptr;
        if (iter->next(kZAFKeyDBObjType_UserID, child) != kZAFError_NoErr)
            break;
        std::unique_ptr<CZAFUserID> userID(static_cast<CZAFUserID*>(child));
        if (userID->getType() == 0 && userID->getName() == wanted)
            chosen = std::move(userID);
    }
    if (!chosen)
        fail(kZAFvorn_NoKey, gKeyName(*key) + " has no user ID '" + wanted + "'");
    CSecret passphrase;
    run.readKeyPassphrase(*key, passphrase);
    edit(run, ZAFSetPrimaryUserID(chosen->getHandle(), passphrase.c_str(), passphrase.size()));
    run.out("primary user ID of " + key->getKeyIDString_Short() + " is now " + wanted + "\n");
}

} // namespace orxengine
