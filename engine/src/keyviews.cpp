// keyviews: --sig-detail, the listing filters (--signers: key pairs that can sign now; --signer
// KEY: keys KEY certified) and the listing sections --revokers, --introducers and --adk.
#include "engine_internal.h"

#include <oozaf/keydb.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <oozaf/vornserveredit.h>
#include <zaf/zafkeyedit.h>
#include <zaf/zafkeys.h>

#include <algorithm>
#include <cstdio>

using namespace oozaf;

namespace orxengine {

namespace {

template <class T> using Owned = std::unique_ptr<T>;

// Calls `f` for every signature on the key's user IDs.
template <class F> void eachCertification(CEngineRun& run, const CZAFKey& key, F&& f) {
    Owned<CZAFIterator> iter(run.server().getKeyDB()->getIterator());
    iter->seek(&key);
    gEachChild<CZAFUserID>(*iter, kZAFKeyDBObjType_UserID, [&](CZAFUserID& uid) {
        gEachChild<CZAFSignature>(*iter, kZAFKeyDBObjType_Signature,
                                  [&](CZAFSignature& sig) { f(uid, sig); });
    });
}

std::string issuerOf(const CZAFSignature& sig, bool longForm) {
    try {
        return sig.getSignerID(longForm);
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        return longForm ? "0x0000000000000000" : "0x00000000";
    }
}

std::string sigTypeName(int32_t type) {
    switch (type) {
    case 0x10:
        return "generic certification";
    case 0x11:
        return "persona certification";
    case 0x12:
        return "casual certification";
    case 0x13:
        return "positive certification";
    case 0x18:
        return "subkey binding";
    case 0x19:
        return "primary key binding";
    case 0x1F:
        return "direct key";
    case 0x20:
        return "key revocation";
    case 0x28:
        return "subkey revocation";
    case 0x30:
        return "certification revocation";
    default: {
        char text[32];
        std::snprintf(text, sizeof text, "class 0x%02X", static_cast<unsigned int>(type) & 0xFF);
        return text;
    }
    }
}

std::string nameOfSigner(CEngineRun& run, const std::string& issuer) {
    try {
        Owned<CZAFKey> signer(
            run.server().getKeyByID(issuer.substr(0, 2) + issuer.substr(issuer.size() - 8)));
        return signer ? signer->getPrimaryUserIDName() : std::string();
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        return std::string();
    }
}

} // namespace

void gCmdSigDetail(CEngineRun& run) {
    Owned<CZAFKeySet> set(run.findKeys(run.args()));
    Owned<CZAFKeySet>(run.server().keyList())->calculateTrust();
    const bool colons = run.cmd().has("--with-colons");
    std::string signerID;
    if (run.cmd().has("--signer"))
        signerID = CZAFUtil::toUpper(run.findKey(run.cmd().arg("--signer"))->getKeyIDString_Long());
    std::string text;
    unsigned int shownCount = 0;
    Owned<CZAFIterator> keys(set->getIterator());
    for (;;) {
        CZAFDatabaseObject* object = nullptr;
        if (keys->next(kZAFKeyDBObjType_Key, object) != kZAFError_NoErr)
            break;
        Owned<CZAFKey> key(static_cast<CZAFKey*>(object));
        run.checkCancel();
        text += colons ? "key:" + key->getKeyIDString_Long().substr(2) + ":" +
                             gColonField(key->getPrimaryUserIDName()) + ":\n"
                       : "key " + gKeyName(*key) + "\n";
        std::string lastUserID;
        eachCertification(run, *key, [&](CZAFUserID& uid, CZAFSignature& sig) {
            const std::string issuer = issuerOf(sig, true);
            if (!signerID.empty() && CZAFUtil::toUpper(issuer) != signerID)
                return;
            const std::string uidName =
                uid.getType() == kZAFAttribute_Image ? std::string("[photo]") : uid.getName();
            if (!colons && uidName != lastUserID)
                text += "  uid " + gShownText(uidName) + "\n";
            lastUserID = uidName;
            const ZAFKeyDBObjRef h = sig.getHandle();
            const int32_t type = CZAFDatabaseObject::getNumericProperty(h, kZAFSigProperty_SigType);
            const int32_t version =
                CZAFDatabaseObject::getNumericProperty(h, kZAFSigProperty_Version);
            const int32_t hash =
                CZAFDatabaseObject::getNumericProperty(h, kZAFSigProperty_HashAlgorithm);
            const int32_t depth = sig.getTrustDepth();
            const int32_t amount =
                CZAFDatabaseObject::getNumericProperty(h, kZAFSigProperty_TrustValue);
            const bool exportable =
                CZAFDatabaseObject::getBooleanProperty(h, kZAFSigProperty_IsExportable);
            std::string regexp;
            char buffer[1024] = "";
            size_t length = 0;
            if (ZAFGetKeyDBObjDataProperty(h, kZAFSigProperty_RegularExpression, buffer,
                                           sizeof buffer, &length) == kZAFError_NoErr)
                regexp.assign(buffer, std::min(length, sizeof buffer));
            while (!regexp.empty() && regexp.back() == '\0')
                regexp.pop_back();
            bool good = false;
            const bool checked = gCheckSignature(sig, good);
            const char* state = !checked ? "unchecked" : good ? "good" : "BAD";
            const std::string who = nameOfSigner(run, issuer);
            ++shownCount;
            if (colons) {
                text += "sig:" +
                        std::string(!checked ? "?"
                                    : good   ? "!"
                                             : "-") +
                        ":" + std::to_string(type) + ":" + std::to_string(version) + ":" +
                        std::to_string(sig.getAlg()) + ":" + std::to_string(hash) + ":" +
                        issuer.substr(2) + ":" +
                        (sig.getCreationTime().isNever()
                             ? std::string()
                             : std::to_string(sig.getCreationTime().getZAFTime())) +
                        ":" +
                        (sig.getExpirationTime().isNever()
                             ? std::string()
                             : std::to_string(sig.getExpirationTime().getZAFTime())) +
                        ":" + (exportable ? "x" : "l") + (sig.isRevoked() ? "r" : "") +
                        (sig.isExpired() ? "e" : "") + ":" + std::to_string(depth) + ":" +
                        std::to_string(amount) + ":" + gColonField(regexp) + ":" +
                        gColonField(uidName) + ":" + gColonField(who) + ":\n";
                return;
            }
            text += "    " + sigTypeName(type) + " by " + issuer +
                    (who.empty() ? " (not held)" : " " + gShownText(who)) + ": " + state + "\n";
            text += "      version " + std::to_string(version) + ", algorithm " +
                    std::to_string(sig.getAlg()) + ", hash " + std::to_string(hash) + ", made " +
                    run.dateText(sig.getCreationTime(), true) + ", expires " +
                    run.dateText(sig.getExpirationTime(), true) +
                    (exportable ? ", exportable" : ", local") +
                    (sig.isRevoked() ? ", revoked" : "") + (sig.isExpired() ? ", expired" : "") +
                    "\n";
            if (depth > 0)
                text += "      trust signature: depth " + std::to_string(depth) + ", amount " +
                        std::to_string(amount) +
                        (regexp.empty() ? "" : ", scope " + gShownText(regexp)) + "\n";
        });
    }
    if (!colons)
        text += std::to_string(shownCount) + (shownCount == 1 ? " signature\n" : " signatures\n");
    run.writeListing(text, colons);
}

std::unique_ptr<CZAFKeySet> gFilterListing(CEngineRun& run, std::unique_ptr<CZAFKeySet> set) {
    const bool signers = run.cmd().has("--signers");
    const bool bySigner = run.cmd().has("--signer");
    if (!signers && !bySigner)
        return set;
    std::string signerID;
    if (bySigner)
        signerID = CZAFUtil::toUpper(run.findKey(run.cmd().arg("--signer"))->getKeyIDString_Long());
    Owned<CZAFKeySet> kept(run.server().getKeyDB()->getNewEmptyKeySet());
    Owned<CZAFIterator> iter(set->getIterator());
    for (;;) {
        CZAFDatabaseObject* object = nullptr;
        if (iter->next(kZAFKeyDBObjType_Key, object) != kZAFError_NoErr)
            break;
        Owned<CZAFKey> key(static_cast<CZAFKey*>(object));
        bool keep = true;
        if (signers)
            keep =
                key->isSecret() && !key->isRevoked() && !key->isExpired() && !key->isDisabled() &&
                CZAFDatabaseObject::getBooleanProperty(key->getHandle(), kZAFKeyProperty_CanSign);
        if (keep && bySigner) {
            bool certified = false;
            eachCertification(run, *key, [&](CZAFUserID&, CZAFSignature& sig) {
                if (CZAFUtil::toUpper(issuerOf(sig, true)) == signerID &&
                    !CZAFDatabaseObject::getBooleanProperty(sig.getHandle(),
                                                            kZAFSigProperty_IsRevocation))
                    certified = true;
            });
            keep = certified && CZAFUtil::toUpper(key->getKeyIDString_Long()) != signerID;
        }
        if (keep) {
            Owned<CZAFKeySet> one(key->getNewOneKeySet());
            kept->add(one.get());
        }
    }
    return kept;
}

void gListingSections(CEngineRun& run, const CZAFKey& key, bool colons, bool detail,
                      std::string& out) {
    if (detail || run.cmd().has("--revokers")) {
        for (const std::string& r : key.getRevokers())
            out += colons ? "rvk::::" + r.substr(2) + ":::::\n" : "     Revoker: " + r + "\n";
    }
    if (detail || run.cmd().has("--adk")) {
        uint32_t count = 0;
        if (ZAFCountAdditionalRecipientRequests(key.getHandle(), &count) != kZAFError_NoErr)
            count = 0;
        for (uint32_t i = 0; i < count; ++i) {
            ZAFKeyDBObjRef adk = nullptr;
            ZAFKeyID id{};
            uint8_t adkClass = 0;
            if (ZAFGetIndexedAdditionalRecipientRequest(key.getHandle(), i, &adk, &id, &adkClass) !=
                kZAFError_NoErr)
                continue;
            char idText[32] = "";
            ZAFGetKeyIDString(&id, kZAFKeyIDString_Full, idText, sizeof idText);
            const bool required = (adkClass & kZAFADKClass_Enforced) != 0;
            if (colons) {
                out += std::string("adk::::") + (idText[0] != '\0' ? idText + 2 : "") +
                       ":::" + (required ? "r" : "") + (adk == nullptr ? "n" : "") + "::\n";
            } else {
                std::string name;
                if (adk != nullptr) {
                    CZAFKey held(adk);
                    name = " " + gShownText(held.getPrimaryUserIDName());
                }
                out += std::string("     ADK: ") + idText + name +
                       (required ? " [required]" : " [requested]") +
                       (adk == nullptr ? " [not held]" : "") + "\n";
            }
        }
    }
    if (run.cmd().has("--introducers")) {
        eachCertification(run, key, [&](CZAFUserID&, CZAFSignature& sig) {
            const int32_t depth = sig.getTrustDepth();
            if (depth <= 0 || sig.isRevoked() ||
                CZAFDatabaseObject::getBooleanProperty(sig.getHandle(),
                                                       kZAFSigProperty_IsRevocation))
                return;
            const std::string issuer = issuerOf(sig, true);
            const std::string who = nameOfSigner(run, issuer);
            out += colons ? "itr::::" + issuer.substr(2) + "::::" + std::to_string(depth) + ":" +
                                gColonField(who) + ":\n"
                          : "     Introduced by " + issuer +
                                (who.empty() ? "" : " " + gShownText(who)) + ", depth " +
                                std::to_string(depth) + "\n";
        });
    }
}

} // namespace orxengine
