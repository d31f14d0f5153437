// guirequests: the handlers of the read-only requests (keys summary, transaction log, command-line
// switches) and of the configuration requests.
#include <oozaf/keydb.h>
#include <oozaf/keyobjects.h>
#include <oozaf/logger.h>
#include <oozaf/nametables.h>
#include <oozaf/ops.h>
#include <oozaf/throwable.h>
#include <oozaf/vornserver.h>
#include <oozaf/vornserverconf.h>

#include <memory>
#include <vector>
#include <vorngui/gui.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/xmlstring.h>

namespace vorngui {

using namespace oozaf;
using namespace xercesc;

namespace {

const char* const kTag = "gui";

const CXStr kKeys("keys");
const CXStr kKey("key");
const CXStr kId("id");
const CXStr kIdFull("idfull");
const CXStr kAlg("alg");
const CXStr kVersion("version");
const CXStr kDisabled("disabled");
const CXStr kRevoked("revoked");
const CXStr kExpired("expired");
const CXStr kSize("size");
const CXStr kTrust("trust");
const CXStr kValidity("validity");
const CXStr kRevocable("revocable");
const CXStr kCipher("cipher");
const CXStr kSecretShared("secretshared");
const CXStr kSecret("secret");
const CXStr kHasUnverifiedRevocation("hasunverifiedrevocation");
const CXStr kToken("token");
const CXStr kCreationTime("creation-time");
const CXStr kExpirationTime("expiration-time");
const CXStr kFingerprint("fingerprint");
const CXStr kHasPhotoID("hasphotoid");
const CXStr kUserIDs("userids");
const CXStr kUserID("userid");
const CXStr kName("name");
const CXStr kType("type");
const CXStr kPrimary("primary");
const CXStr kSignatures("signatures");
const CXStr kSignature("signature");
const CXStr kX509("x509");
const CXStr kVerified("verified");
const CXStr kTried("tried");
const CXStr kSignerID("signer-id");
const CXStr kTrustDepth("trust-depth");
const CXStr kLongName("longname");
const CXStr kIssuerLongName("issuerlongname");
const CXStr kSubkeys("subkeys");
const CXStr kSubkey("subkey");
const CXStr kRevokers("revokers");
const CXStr kRevoker("revoker");
const CXStr kADKs("adks");
const CXStr kADK("adk");
const CXStr kTransactions("transactions");
const CXStr kTransaction("transaction");
const CXStr kStart("start");
const CXStr kEnd("end");
const CXStr kUsername("username");
const CXStr kOp("op");
const CXStr kCmdline("cmdline");
const CXStr kRc("rc");
const CXStr kSwitches("switches");
const CXStr kSwitch("switch");

// Object types of the key iterator.
constexpr int32_t kObjectKey = 1;
constexpr int32_t kObjectSubkey = 2;
constexpr int32_t kObjectUserID = 4;
constexpr int32_t kObjectSignature = 8;

const char* yesNo(bool value) { return value ? "yes" : "no"; }

std::string dateOrNA(const CZAFTime& time) {
    return time.isNever() ? std::string("N/A") : time.formatYMD(false);
}

template <class T> using COwned = std::unique_ptr<T>;

// The name a table gives a value, or "UNKNOWN" when the table has none: a key from outside may
// carry any number, and one odd value must not cost the console the whole list.
template <class F> std::string nameOr(F&& lookUp, const char* what) {
    try {
        return lookUp();
    } catch (CZAFTableLookupError* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_WARNING("WARNING: No " << what << " name: " << e->getDetailedMessage());
        return "UNKNOWN";
    }
}

// Moves the iterator to the next object of `type` and returns its wrapper, or null at the end.
CZAFDatabaseObject* nextObject(CZAFIterator& iterator, int32_t type) {
    CZAFDatabaseObject* object = nullptr;
    const ZAFError rc = iterator.next(type, object);
    if (rc == kZAFError_NoErr)
        return object;
    delete object;
    if (rc == kZAFError_EndOfIteration)
        return nullptr;
    throw new CZAFSDKException(rc);
}

std::string keyCipher(const CZAFKey& key, ZAFPublicKeyAlgorithm alg) {
    if (alg == kZAFPublicKeyAlgorithm_RSA || alg == kZAFPublicKeyAlgorithm_RSAEncryptOnly) {
        const auto* rsa = dynamic_cast<const CZAFRSAKey*>(&key);
        if (rsa != nullptr && rsa->getVersion() != kZAFKeyVersion_V4)
            return gStringFromCipher(kZAFCipherAlgorithm_IDEA);
    }
    try {
        return gStringFromCipher(key.getCipher());
    } catch (CZAFPropertyAccessError* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_ERROR(e->getDetailedMessage());
        return "UNKNOWN";
    } catch (CZAFNoSuchCipherError* e) {
        CZAFThrowableGuard guard(e);
        ZAF_LOG_ERROR(e->getDetailedMessage());
        return "None";
    }
}

void addSignature(DOMElement* signatures, const CZAFSignature& signature) {
    DOMElement* element = gAppendElement(signatures, kSignature);
    const auto* x509 = dynamic_cast<const CZAFX509Signature*>(&signature);
    gSetAttribute(element, kX509, yesNo(x509 != nullptr));
    gSetAttribute(element, kAlg,
                  nameOr([&] { return gGetAlgName(signature.getAlg(), false); }, "algorithm"));
    gSetAttribute(element, kRevoked, yesNo(signature.isRevoked()));
    gSetAttribute(element, kHasUnverifiedRevocation, yesNo(signature.hasUnverifiedRevocation()));
    gSetAttribute(element, kExpired, yesNo(signature.isExpired()));
    gSetAttribute(element, kVerified, yesNo(signature.isVerified()));
    gSetAttribute(element, kTried, yesNo(signature.isTried()));
    std::string signer;
    try {
        signer = signature.getSignerID(false);
    } catch (CZAFPropertyAccessError* e) {
        CZAFThrowableGuard guard(e);
        signer = "UNKNOWN";
    }
    gSetAttribute(element, kSignerID, signer);
    gSetAttribute(element, kCreationTime, dateOrNA(signature.getCreationTime()));
    gSetAttribute(element, kExpirationTime, dateOrNA(signature.getExpirationTime()));
    gSetAttribute(element, kTrustDepth, std::to_string(signature.getTrustDepth()));
    if (x509 != nullptr) {
        gSetAttribute(element, kLongName, x509->getLongName());
        gSetAttribute(element, kIssuerLongName, x509->getIssuerLongName());
    }
}

void addKey(DOMElement* keys, CZAFIterator& iterator, const CZAFKey& key) {
    DOMElement* element = gAppendElement(keys, kKey);
    const ZAFPublicKeyAlgorithm alg = key.getAlg();
    gSetAttribute(element, kId, key.getKeyIDString_Short());
    gSetAttribute(element, kIdFull, key.getKeyIDString_Long());
    gSetAttribute(element, kAlg, nameOr([&] { return gGetAlgName(alg, false); }, "algorithm"));
    if (alg == kZAFPublicKeyAlgorithm_RSA || alg == kZAFPublicKeyAlgorithm_RSAEncryptOnly) {
        const auto* rsa = dynamic_cast<const CZAFRSAKey*>(&key);
        ZAF_ASSERT_TAG(kTag, rsa != nullptr);
        gSetAttribute(element, kVersion,
                      nameOr([&] { return gGetRSAAlgName(rsa->getVersion(), false); }, "version"));
    }
    gSetAttribute(element, kDisabled, yesNo(key.isDisabled()));
    gSetAttribute(element, kRevoked, yesNo(key.isRevoked()));
    gSetAttribute(element, kExpired, yesNo(key.isExpired()));
    gSetAttribute(element, kSize, std::to_string(key.getSize()));
    gSetAttribute(element, kTrust,
                  nameOr([&] { return gGetTrustName(key.getTrust(), true); }, "trust"));
    gSetAttribute(element, kValidity,
                  nameOr([&] { return gGetValidityName(key.getValidity(), true); }, "validity"));
    gSetAttribute(element, kRevocable, yesNo(key.isRevocable()));
    gSetAttribute(element, kCipher, keyCipher(key, alg));
    gSetAttribute(element, kSecretShared, yesNo(key.isSecretShared()));
    gSetAttribute(element, kSecret, yesNo(key.isSecret()));
    gSetAttribute(element, kHasUnverifiedRevocation, yesNo(key.hasUnverifiedRevocation()));
    gSetAttribute(element, kToken, "no");
    gSetAttribute(element, kCreationTime, dateOrNA(key.getCreationTime()));
    gSetAttribute(element, kExpirationTime, dateOrNA(key.getExpirationTime()));

    bool hasPhoto = false;
    const std::string primary = key.getPrimaryUserIDName();
    DOMElement* userIDs = gAppendElement(element, kUserIDs);
    iterator.seek(&key);
    while (COwned<CZAFDatabaseObject> object{nextObject(iterator, kObjectUserID)}) {
        const auto* userID = dynamic_cast<const CZAFUserID*>(object.get());
        ZAF_ASSERT_TAG(kTag, userID != nullptr);
        DOMElement* child = gAppendElement(userIDs, kUserID);
        const std::string name = userID->getName();
        const ZAFAttributeType type = userID->getType();
        gSetAttribute(child, kName, name);
        gSetAttribute(child, kType,
                      nameOr([&] { return gGetUserIDTypeName(type); }, "user ID type"));
        if (name == primary)
            gSetAttribute(child, kPrimary, "yes");
        if (type == kZAFAttribute_Image)
            hasPhoto = true;
        DOMElement* signatures = gAppendElement(child, kSignatures);
        while (COwned<CZAFDatabaseObject> sig{nextObject(iterator, kObjectSignature)}) {
            const auto* signature = dynamic_cast<const CZAFSignature*>(sig.get());
            ZAF_ASSERT_TAG(kTag, signature != nullptr);
            addSignature(signatures, *signature);
        }
    }

    DOMElement* subkeys = gAppendElement(element, kSubkeys);
    iterator.seek(&key);
    while (COwned<CZAFDatabaseObject> object{nextObject(iterator, kObjectSubkey)}) {
        const auto* subkey = dynamic_cast<const CZAFSubKey*>(object.get());
        ZAF_ASSERT_TAG(kTag, subkey != nullptr);
        DOMElement* child = gAppendElement(subkeys, kSubkey);
        gSetAttribute(child, kId, subkey->getSubkeyIDString_Short());
        gSetAttribute(child, kCreationTime, dateOrNA(subkey->getCreationTime()));
        gSetAttribute(child, kExpirationTime, dateOrNA(subkey->getExpirationTime()));
        gSetAttribute(child, kSize, std::to_string(subkey->getSize()));
        gSetAttribute(child, kExpired, yesNo(subkey->isExpired()));
        gSetAttribute(child, kRevoked, yesNo(subkey->isRevoked()));
        gSetAttribute(child, kHasUnverifiedRevocation, yesNo(subkey->hasUnverifiedRevocation()));
    }
    // Leave the iterator on the key, so that the walk over the keys goes on after it.
    iterator.seek(&key);

    DOMElement* revokers = gAppendElement(element, kRevokers);
    for (const std::string& id : key.getRevokers())
        gSetAttribute(gAppendElement(revokers, kRevoker), kId, id);
    DOMElement* adks = gAppendElement(element, kADKs);
    for (const std::string& id : key.getADKs())
        gSetAttribute(gAppendElement(adks, kADK), kId, id);

    std::vector<std::string> pieces;
    CZAFKey::formatFingerprint(key.getFingerprint(), eFingerprintViewHex, pieces);
    std::string fingerprint;
    for (const std::string& piece : pieces)
        fingerprint += piece;
    gSetAttribute(element, kFingerprint, fingerprint);
    gSetAttribute(element, kHasPhotoID, yesNo(hasPhoto));
}

} // namespace

DOMElement* CGUIClient::doKeysSummary(DOMDocument* response) {
    ZAF_ASSERT_TAG(kTag, response != nullptr);
    CVornServer& facade = server();
    try {
        facade.UpdateKeyDB();
        COwned<CZAFKeySet> keySet(facade.keyList());
        keySet->calculateTrust();
        DOMElement* keys = response->createElement(kKeys);
        try {
            COwned<CZAFIterator> iterator(keySet->getIterator());
            iterator->rewind(kObjectKey);
            while (COwned<CZAFDatabaseObject> object{nextObject(*iterator, kObjectKey)}) {
                const auto* key = dynamic_cast<const CZAFKey*>(object.get());
                ZAF_ASSERT_TAG(kTag, key != nullptr);
                addKey(keys, *iterator, *key);
            }
        } catch (...) {
            keys->release();
            throw;
        }
        return keys;
    } catch (CZAFException* e) {
        CZAFThrowableGuard cause(e);
        auto* failed = new CGUIRequestFailedException(cause.get());
        cause.release();
        throw failed;
    }
}

DOMElement* CGUIClient::doGetLog(DOMDocument* response) {
    ZAF_ASSERT_TAG(kTag, response != nullptr);
    std::vector<SVornLogEntry> entries;
    try {
        server().getLog(entries);
    } catch (CZAFException* e) {
        CZAFThrowableGuard cause(e);
        if (e->getReason() != eReasonNoLogFile) {
            auto* failed = new CGUIRequestFailedException(cause.get());
            cause.release();
            throw failed;
        }
        entries.clear();
    }
    DOMElement* transactions = response->createElement(kTransactions);
    for (const SVornLogEntry& entry : entries) {
        DOMElement* element = gAppendElement(transactions, kTransaction);
        gSetAttribute(element, kStart, entry.start.formatYMDHMSMs(false));
        gSetAttribute(element, kEnd, entry.end.formatYMDHMSMs(false));
        gSetAttribute(element, kUsername, entry.username);
        gSetAttribute(element, kOp, entry.op);
        gSetAttribute(element, kCmdline, entry.cmdline);
        gSetAttribute(element, kRc, std::to_string(entry.rc));
    }
    return transactions;
}

DOMElement* CGUIClient::doGetCLOpts(DOMDocument* response) {
    ZAF_ASSERT_TAG(kTag, response != nullptr);
    DOMElement* switches = response->createElement(kSwitches);
    const unsigned int count = gCLLongOptionsCount();
    for (unsigned int i = 0; i < count; ++i)
        gSetAttribute(gAppendElement(switches, kSwitch), kId, CLLongOptions[i]);
    return switches;
}

DOMElement* CGUIClient::doGetConf(DOMDocument* response) {
    ZAF_ASSERT_TAG(kTag, response != nullptr);
    try {
        CVornServerCfgUserPart part(nullptr);
        // The user's own file as it stands: its Include/source lines are shown by being kept in
        // the file, not by copying the included settings into the console's view (which a
        // later conf-set would then write into the user's file).
        CVornServerCfgFile reader(false);
        reader.read(server().getUserConfFilename(), part, false);
        return gWriteToXML(part, response);
    } catch (CZAFException* e) {
        CZAFThrowableGuard cause(e);
        auto* failed = new CGUIRequestFailedException(cause.get());
        cause.release();
        throw failed;
    }
}

DOMElement* CGUIClient::doSetConf(const DOMElement* data, DOMDocument* response) {
    ZAF_ASSERT_TAG(kTag, data != nullptr && response != nullptr);
    try {
        CVornServerCfgUserPart part(nullptr);
        gReadFromXML(part, data);
        ZAF_LOG_DEBUG("New configuration received:\n---------------------------\n\n" << part);
        server().mergeUserConfChanges(part);
        return nullptr;
    } catch (CGUIFormatException*) {
        throw;
    } catch (CZAFException* e) {
        CZAFThrowableGuard cause(e);
        auto* failed = new CGUIRequestFailedException(cause.get());
        cause.release();
        throw failed;
    }
}

} // namespace vorngui
