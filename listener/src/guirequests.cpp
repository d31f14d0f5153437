// guirequests: the handlers of the read-only requests (keys summary, transaction log, command-line
// switches) and of the configuration requests.
#include <oozaf/filemanager.h>
#include <oozaf/keydb.h>
#include <oozaf/keyobjects.h>
#include <oozaf/logger.h>
#include <oozaf/nametables.h>
#include <oozaf/ops.h>
#include <oozaf/throwable.h>
#include <oozaf/vornserver.h>
#include <oozaf/vornserverconf.h>
#include <vorngui/gui.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/guikeyedit.h>
#include <vorngui/xmlstring.h>

#include <cerrno>
#include <memory>
#include <sys/stat.h>
#include <vector>

namespace vorngui {

using namespace oozaf;
using namespace xercesc;

namespace {

const char* const kTag = "gui";

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

// The time up to which a summary stays true while the rings stay as they are: the first
// expiration after now of anything it shows as expired or not, and a minute at most, so that
// checks the check budget left for later are tried again.
class CSummaryLifetime {
public:
    static constexpr ZAFTime kMostSeconds = 60;
    CSummaryLifetime() : m_now(CZAFTime::now().getZAFTime()), m_until(m_now + kMostSeconds) {}
    void see(const CZAFTime& expiration) {
        const ZAFTime at = expiration.getZAFTime();
        if (!expiration.isNever() && at > m_now && at < m_until)
            m_until = at;
    }
    ZAFTime until() const { return m_until; }

private:
    ZAFTime m_now;
    ZAFTime m_until;
};

// The version of the rings a summary is made from: what the key database looks at to tell that
// another process changed them (file, size, times), for both rings.
std::string ringsVersion(const CVornServer& facade) {
    std::string pubring, secring;
    if (!facade.getConfiguration().getPubringFilename(pubring))
        pubring =
            CZAFFileManager::appendToDir(facade.getPersonalDirectory(), CVornServer::kPubRingName);
    if (!facade.getConfiguration().getSecringFilename(secring))
        secring =
            CZAFFileManager::appendToDir(facade.getPersonalDirectory(), CVornServer::kSecRingName);
    std::string version;
    for (const std::string& ring : {pubring, secring}) {
        struct stat info {};
        if (::stat(ring.c_str(), &info) != 0)
            return std::string(); // nothing to compare: no kept summary
        for (const auto value :
             {static_cast<long long>(info.st_dev), static_cast<long long>(info.st_ino),
              static_cast<long long>(info.st_size), static_cast<long long>(info.st_mtim.tv_sec),
              static_cast<long long>(info.st_mtim.tv_nsec),
              static_cast<long long>(info.st_ctim.tv_sec),
              static_cast<long long>(info.st_ctim.tv_nsec)})
            version += std::to_string(value) + ' ';
        version += ring + '\n';
    }
    return version;
}

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

void addSignature(CGUIElement& signatures, const CZAFSignature& signature,
                  CSummaryLifetime& lifetime) {
    CGUIElement& element = signatures.add("signature");
    const auto* x509 = dynamic_cast<const CZAFX509Signature*>(&signature);
    element.set("x509", yesNo(x509 != nullptr));
    element.set("alg", nameOr([&] { return gGetAlgName(signature.getAlg(), false); }, "algorithm"));
    element.set("revoked", yesNo(signature.isRevoked()));
    element.set("hasunverifiedrevocation", yesNo(signature.hasUnverifiedRevocation()));
    element.set("expired", yesNo(signature.isExpired()));
    element.set("verified", yesNo(signature.isVerified()));
    element.set("tried", yesNo(signature.isTried()));
    std::string signer;
    try {
        signer = signature.getSignerID(false);
    } catch (CZAFPropertyAccessError* e) {
        CZAFThrowableGuard guard(e);
        signer = "UNKNOWN";
    }
    element.set("signer-id", signer);
    element.set("creation-time", dateOrNA(signature.getCreationTime()));
    element.set("expiration-time", dateOrNA(signature.getExpirationTime()));
    lifetime.see(signature.getExpirationTime());
    element.set("trust-depth", std::to_string(signature.getTrustDepth()));
    if (x509 != nullptr) {
        element.set("longname", x509->getLongName());
        element.set("issuerlongname", x509->getIssuerLongName());
    }
}

void addKey(CGUIElement& keys, CZAFIterator& iterator, const CZAFKey& key,
            CSummaryLifetime& lifetime) {
    CGUIElement& element = keys.add("key");
    const ZAFPublicKeyAlgorithm alg = key.getAlg();
    element.set("id", key.getKeyIDString_Short());
    element.set("idfull", key.getKeyIDString_Long());
    element.set("alg", nameOr([&] { return gGetAlgName(alg, false); }, "algorithm"));
    if (alg == kZAFPublicKeyAlgorithm_RSA || alg == kZAFPublicKeyAlgorithm_RSAEncryptOnly) {
        const auto* rsa = dynamic_cast<const CZAFRSAKey*>(&key);
        ZAF_ASSERT_TAG(kTag, rsa != nullptr);
        element.set("version",
                    nameOr([&] { return gGetRSAAlgName(rsa->getVersion(), false); }, "version"));
    }
    element.set("disabled", yesNo(key.isDisabled()));
    element.set("revoked", yesNo(key.isRevoked()));
    element.set("expired", yesNo(key.isExpired()));
    element.set("size", std::to_string(key.getSize()));
    element.set("trust", nameOr([&] { return gGetTrustName(key.getTrust(), true); }, "trust"));
    element.set("validity",
                nameOr([&] { return gGetValidityName(key.getValidity(), true); }, "validity"));
    element.set("revocable", yesNo(key.isRevocable()));
    element.set("cipher", keyCipher(key, alg));
    element.set("secretshared", yesNo(key.isSecretShared()));
    element.set("secret", yesNo(key.isSecret()));
    element.set("hasunverifiedrevocation", yesNo(key.hasUnverifiedRevocation()));
    element.set("token", "no");
    element.set("creation-time", dateOrNA(key.getCreationTime()));
    element.set("expiration-time", dateOrNA(key.getExpirationTime()));
    lifetime.see(key.getExpirationTime());

    bool hasPhoto = false;
    const std::string primary = key.getPrimaryUserIDName();
    CGUIElement& userIDs = element.add("userids");
    iterator.seek(&key);
    while (COwned<CZAFDatabaseObject> object{nextObject(iterator, kObjectUserID)}) {
        const auto* userID = dynamic_cast<const CZAFUserID*>(object.get());
        ZAF_ASSERT_TAG(kTag, userID != nullptr);
        CGUIElement& child = userIDs.add("userid");
        const std::string name = userID->getName();
        const ZAFAttributeType type = userID->getType();
        child.set("name", name);
        child.set("type", nameOr([&] { return gGetUserIDTypeName(type); }, "user ID type"));
        if (name == primary)
            child.set("primary", "yes");
        if (type == kZAFAttribute_Image)
            hasPhoto = true;
        CGUIElement& signatures = child.add("signatures");
        while (COwned<CZAFDatabaseObject> sig{nextObject(iterator, kObjectSignature)}) {
            const auto* signature = dynamic_cast<const CZAFSignature*>(sig.get());
            ZAF_ASSERT_TAG(kTag, signature != nullptr);
            addSignature(signatures, *signature, lifetime);
        }
    }

    CGUIElement& subkeys = element.add("subkeys");
    iterator.seek(&key);
    while (COwned<CZAFDatabaseObject> object{nextObject(iterator, kObjectSubkey)}) {
        const auto* subkey = dynamic_cast<const CZAFSubKey*>(object.get());
        ZAF_ASSERT_TAG(kTag, subkey != nullptr);
        CGUIElement& child = subkeys.add("subkey");
        child.set("id", subkey->getSubkeyIDString_Short());
        child.set("idfull", subkey->getSubkeyIDString_Long());
        child.set("creation-time", dateOrNA(subkey->getCreationTime()));
        child.set("expiration-time", dateOrNA(subkey->getExpirationTime()));
        lifetime.see(subkey->getExpirationTime());
        child.set("size", std::to_string(subkey->getSize()));
        child.set("expired", yesNo(subkey->isExpired()));
        child.set("revoked", yesNo(subkey->isRevoked()));
        child.set("hasunverifiedrevocation", yesNo(subkey->hasUnverifiedRevocation()));
        // Additions: the subkey's algorithm and what its binding grants (s signing, e
        // encryption; empty when it grants nothing).
        const ZAFPublicKeyAlgorithm subAlg = subkey->getAlg();
        child.set("alg", nameOr([&] { return gGetAlgName(subAlg, false); }, "algorithm"));
        const int32_t usage = subkey->getUsage();
        child.set("usage",
                  std::string((usage & 0x02) != 0 ? "s" : "") + ((usage & 0x0C) != 0 ? "e" : ""));
    }
    // Leave the iterator on the key, so that the walk over the keys goes on after it.
    iterator.seek(&key);

    CGUIElement& revokers = element.add("revokers");
    for (const std::string& id : key.getRevokers())
        revokers.add("revoker").set("id", id);
    CGUIElement& adks = element.add("adks");
    for (const std::string& id : key.getADKs())
        adks.add("adk").set("id", id);

    std::vector<std::string> pieces;
    CZAFKey::formatFingerprint(key.getFingerprint(), eFingerprintViewHex, pieces);
    std::string fingerprint;
    for (const std::string& piece : pieces)
        fingerprint += piece;
    element.set("fingerprint", fingerprint);
    element.set("hasphotoid", yesNo(hasPhoto));
}

} // namespace

std::unique_ptr<CGUIElement> gKeySummaryOf(CVornServer& facade, const std::string& id) {
    return gRequestWork([&] {
        facade.UpdateKeyDB();
        COwned<CZAFKeySet> keySet(facade.keyList());
        keySet->calculateTrust();
        COwned<CZAFKey> key(facade.getKeyByID(id));
        COwned<CZAFKeySet> one(key->getNewOneKeySet());
        auto keys = std::make_unique<CGUIElement>("keys");
        COwned<CZAFIterator> iterator(one->getIterator());
        iterator->rewind(kObjectKey);
        CSummaryLifetime lifetime;
        while (COwned<CZAFDatabaseObject> object{nextObject(*iterator, kObjectKey)})
            addKey(*keys, *iterator, static_cast<const CZAFKey&>(*object), lifetime);
        return keys;
    });
}

std::unique_ptr<CGUIElement> CGUIClient::doKeysSummary() {
    CVornServer& facade = server();
    return gRequestWork([&] {
        facade.UpdateKeyDB();
        auto keys = std::make_unique<CGUIElement>("keys");
        const std::string rings = ringsVersion(facade);
        if (!rings.empty() && rings == m_keysSummary.rings &&
            static_cast<long>(CZAFTime::now().getZAFTime()) < m_keysSummary.validUntil) {
            keys->setWritten(m_keysSummary.written);
            return keys;
        }
        m_keysSummary = SKeysSummary();
        COwned<CZAFKeySet> keySet(facade.keyList());
        keySet->calculateTrust();
        CSummaryLifetime lifetime;
        COwned<CZAFIterator> iterator(keySet->getIterator());
        iterator->rewind(kObjectKey);
        while (COwned<CZAFDatabaseObject> object{nextObject(*iterator, kObjectKey)}) {
            ZAF_ASSERT_TAG(kTag, object->getObjectType() == kObjectKey);
            addKey(*keys, *iterator, static_cast<const CZAFKey&>(*object), lifetime);
        }
        if (rings.empty())
            return keys;
        // Kept as written; the reply is made from the kept text like every later one.
        std::string written;
        for (const auto& key : keys->getChildren())
            key->write(written);
        m_keysSummary = {rings, written, static_cast<long>(lifetime.until())};
        auto fresh = std::make_unique<CGUIElement>("keys");
        fresh->setWritten(std::move(written));
        return fresh;
    });
}

std::unique_ptr<CGUIElement> CGUIClient::doGetLog() {
    std::vector<SVornLogEntry> entries;
    // A log that nothing has written yet holds no entries.
    std::string path;
    struct stat info {};
    if (server().getLogFilePath(path) && ::lstat(path.c_str(), &info) != 0 && errno == ENOENT)
        return std::make_unique<CGUIElement>("transactions");
    try {
        server().getLog(entries);
    } catch (CZAFException* e) {
        if (e->getReason() != eReasonNoLogFile)
            gRethrowAs<CGUIRequestFailedException>(e);
        delete e;
        entries.clear();
    }
    auto transactions = std::make_unique<CGUIElement>("transactions");
    for (const SVornLogEntry& entry : entries) {
        CGUIElement& element = transactions->add("transaction");
        element.set("start", entry.start.formatYMDHMSMs(false));
        element.set("end", entry.end.formatYMDHMSMs(false));
        element.set("username", entry.username);
        element.set("op", entry.op);
        element.set("cmdline", entry.cmdline);
        element.set("rc", std::to_string(entry.rc));
    }
    return transactions;
}

std::unique_ptr<CGUIElement> CGUIClient::doGetCLOpts() {
    auto switches = std::make_unique<CGUIElement>("switches");
    const unsigned int count = gCLLongOptionsCount();
    for (unsigned int i = 0; i < count; ++i)
        switches->add("switch").set("id", CLLongOptions[i]);
    return switches;
}

std::unique_ptr<CGUIElement> CGUIClient::doGetConf() {
    return gRequestWork([&] {
        CVornServerCfgUserPart part(nullptr);
        // The user's own file as it stands: its Include/source lines are shown by being kept in
        // the file, not by copying the included settings into the console's view (which a
        // later conf-set would then write into the user's file).
        CVornServerCfgFile reader(false);
        reader.read(server().getUserConfFilename(), part, false);
        return gWriteToXML(part);
    });
}

std::unique_ptr<CGUIElement> CGUIClient::doSetConf(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    gRequestWork([&] {
        CVornServerCfgUserPart part(nullptr);
        gReadFromXML(part, data);
        ZAF_LOG_DEBUG("New configuration received:\n---------------------------\n\n" << part);
        server().mergeUserConfChanges(part);
    });
    return nullptr;
}

} // namespace vorngui
