// adkcommands: additional decryption keys when encrypting. The recipients' keys name their ADKs in
// verified self-signatures; the message layer adds those that are enabled, valid and held. Here
// the settings choose which (Add-All: the requested ones too), how strictly (Enforce-ADK: every
// ADK is required; a missing required ADK fails the command unless Warn-ADK lets it pass, which
// Enforce-ADK - in the site policy, say - overrides), and one more named outright (ADK-Key).
#include "engine_internal.h"

#include <oozaf/keydb.h>
#include <oozaf/throwable.h>
#include <zaf/zafmessage.h>

using namespace oozaf;

namespace orxengine {

namespace {

void set(ZAFMessageParamsRef params, int32_t option, bool value) {
    const ZAFError code = ZAFSetMessageOption(params, option, value ? 1 : 0);
    if (code != kZAFError_NoErr)
        fail(kZAFvorn_Failed, "additional decryption keys: " + gToolkitText(code));
}

std::string keyIDText(const ZAFKeyID& id) {
    char text[32] = "";
    if (ZAFGetKeyIDString(&id, kZAFKeyIDString_Abbreviated, text, sizeof text) != kZAFError_NoErr)
        return "?";
    return text;
}

} // namespace

void gApplyADKOptions(CEngineRun& run, ZAFMessageParamsRef params) {
    const bool enforce = run.setting(eZAFOpEnforceADK, false);
    const bool warn = run.setting(eZAFOpWarnADK, false) && !enforce;
    set(params, kZAFMessageOption_EnforceADK, enforce);
    set(params, kZAFMessageOption_WarnADK, warn);
    set(params, kZAFMessageOption_RequestedADKs, run.setting(eZAFOpAddAll, true));

    const std::string named = run.setting(eZAFOpADKKey, std::string());
    if (named.empty())
        return;
    std::unique_ptr<CZAFKey> adk;
    try {
        adk = run.findKey(named, false, CZAFKeyDB::kMatchEnabledOnly);
    } catch (SEngineError& e) {
        if (!warn || e.code != kZAFvorn_NoKey)
            throw;
        run.note("warning: the additional decryption key " + named +
                 " is not held or is "
                 "disabled; not added");
        return;
    }
    const ZAFError code = ZAFAddMessageAdditionalRecipient(params, adk->getHandle());
    if (code == kZAFError_NoErr) {
        run.verbose("additional decryption key " + gKeyName(*adk) + " named by ADK-Key");
        return;
    }
    if (warn) {
        run.note("warning: the additional decryption key " + gKeyName(*adk) +
                 " cannot be used: " + gToolkitText(code) + "; not added");
        return;
    }
    fail(kZAFvorn_NoKey, "the additional decryption key " + gKeyName(*adk) +
                             " cannot be used: " + gToolkitText(code));
}

void gReportADKs(CEngineRun& run, ZAFMessageResultRef result) {
    if (!run.setting(eZAFOpWarnADK, false))
        return;
    ZAFMessageInfo info{};
    if (ZAFGetMessageInfo(result, &info) != kZAFError_NoErr)
        return;
    for (uint32_t i = 0; i < info.recipientCount; ++i) {
        ZAFMessageRecipient recipient{};
        if (ZAFGetMessageRecipient(result, i, &recipient) == kZAFError_NoErr &&
            (recipient.flags & kZAFRecipient_ADK) != 0)
            run.note("additional decryption key " + keyIDText(recipient.keyID) + " added");
    }
}

} // namespace orxengine
