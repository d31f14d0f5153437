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
#include <vorngui/keptsummary.h>
#include <vorngui/xmlstring.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <orx/version.h>
#include <sys/stat.h>
#include <unistd.h>
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
// expiration after now of anything it shows as expired or not (kept beside the rings), and in the
// session a minute at most, so that checks the check budget left for later are tried again.
class CSummaryLifetime {
public:
    static constexpr ZAFTime kMostSeconds = 60;
    CSummaryLifetime() : m_now(CZAFTime::now().getZAFTime()) {}
    void see(const CZAFTime& expiration) {
        const ZAFTime at = expiration.getZAFTime();
        if (!expiration.isNever() && at > m_now && (m_first == 0 || at < m_first))
            m_first = at;
    }
    ZAFTime until() const {
        return m_first != 0 && m_first < m_now + kMostSeconds ? m_first : m_now + kMostSeconds;
    }
    int64_t firstExpiry() const { return m_first != 0 ? int64_t{m_first} : kKeptForever; }

private:
    ZAFTime m_now;
    ZAFTime m_first = 0; // none yet
};

// The version of what a summary is made from: both rings as the key database tells that another
// process changed them (file, inode, size, times), the trust settings the validities come from,
// the user and this program's version. Empty when a ring cannot be examined (nothing is kept).
// `settled` tells whether both rings were last changed more than a second ago: a file's times
// move in steps, and a change made within the step of the one before could leave them as they
// were, so only a summary of settled rings is kept.
std::string summaryVersion(const CVornServer& facade, bool& settled) {
    settled = true;
    const time_t now = ::time(nullptr);
    std::string version =
        "orxgui " ORX_VERSION " summary 1\nuser " + std::to_string(::geteuid()) + "\ntrust";
    for (const auto getter : {&CVornServerCfg::getCertDepth, &CVornServerCfg::getCompletesNeeded,
                              &CVornServerCfg::getMarginalsNeeded}) {
        int value = 0;
        version += (facade.getConfiguration().*getter)(value) ? ' ' + std::to_string(value) : " -";
    }
    version += '\n';
    for (const std::string& ring : {facade.getPubringPath(), facade.getSecringPath()}) {
        struct stat info {};
        if (ring.empty() || ::stat(ring.c_str(), &info) != 0)
            return std::string(); // nothing to compare: no kept summary
        settled = settled && info.st_ctim.tv_sec + 1 < now;
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

bool CGUIClient::keptSummaryFits() {
    bool settled = false;
    const std::string version = summaryVersion(server(), settled);
    SKeptSummary head;
    return settled && !version.empty() &&
           gReadKeptSummary(gKeptSummaryPath(server().getPubringPath()), head, true) &&
           head.version == version && int64_t{CZAFTime::now().getZAFTime()} < head.validUntil;
}

std::unique_ptr<CGUIElement> CGUIClient::doKeysSummary() {
    CVornServer& facade = server();
    return gRequestWork([&] {
        auto keys = std::make_unique<CGUIElement>("keys");
        // The version is taken before the rings are read: a change in between makes the next
        // version another, never the one of a summary that does not show the change.
        bool settled = false;
        const std::string rings = summaryVersion(facade, settled);
        const int64_t now = CZAFTime::now().getZAFTime();
        if (!rings.empty() && rings == m_keysSummary.rings && now < m_keysSummary.validUntil) {
            keys->setWritten(m_keysSummary.written);
            return keys;
        }
        m_keysSummary = SKeysSummary();
        const std::string keptPath =
            settled && !rings.empty() ? gKeptSummaryPath(facade.getPubringPath()) : std::string();
        SKeptSummary kept;
        if (!keptPath.empty() && gReadKeptSummary(keptPath, kept) && kept.version == rings &&
            now < kept.validUntil) {
            m_keysSummary = {rings, std::move(kept.written), kept.validUntil};
            keys->setWritten(m_keysSummary.written);
            return keys;
        }
        facade.UpdateKeyDB();
        COwned<CZAFKeySet> keySet(facade.keyList());
        keySet->calculateTrust();
        CSummaryLifetime lifetime;
        COwned<CZAFIterator> iterator(keySet->getIterator());
        iterator->rewind(kObjectKey);
        while (COwned<CZAFDatabaseObject> object{nextObject(*iterator, kObjectKey)}) {
            ZAF_ASSERT_TAG(kTag, object->getObjectType() == kObjectKey);
            addKey(*keys, *iterator, static_cast<const CZAFKey&>(*object), lifetime);
        }
        if (rings.empty() || !settled)
            return keys;
        // Kept as written; the reply is made from the kept text like every later one.
        std::string written;
        for (const auto& key : keys->getChildren())
            key->write(written);
        m_keysSummary = {rings, written, int64_t{lifetime.until()}};
        // Beside the rings for the next session, unless a check was left for later.
        if (!keptPath.empty() && facade.getKeyDB()->checksComplete()) {
            std::string why;
            if (!gWriteKeptSummary(keptPath, {rings, lifetime.firstExpiry(), written}, why))
                ZAF_LOG_VERBOSE("The keys summary was not kept beside the rings (" << keptPath
                                                                                   << "): " << why);
        }
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
