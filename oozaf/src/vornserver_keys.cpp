// vornserver_keys: the key operations of the server facade.
#include "vornserver_internal.h"

#include <oozaf/keydb.h>
#include <oozaf/keyobjects.h>
#include <oozaf/logger.h>
#include <oozaf/throwable.h>
#include <oozaf/vornserver.h>
#include <zaf/zafkeyedit.h>
#include <zaf/zafkeys.h>
#include <zaf/zafrandom.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace oozaf {

namespace {

const char* const kTag = "vornserver";
const uint32_t kSecondsPerDay = 86400;

template <class T> using CZAFOwned = std::unique_ptr<T>;

// Whole days from `from`'s midnight to `until`'s midnight; `until` must not be earlier.
unsigned int daysBetween(const CZAFTime& from, const CZAFTime& until) {
    const ZAFTime start = from.getMidnight().getZAFTime();
    const ZAFTime end = until.getMidnight().getZAFTime();
    ZAF_ASSERT_TAG(kTag, end >= start);
    return static_cast<unsigned int>((end - start) / kSecondsPerDay);
}

// Days from today to `expiry` (0 when it is never); an expiry whose day is not after today
// raises E with reason 701.
template <class E> unsigned int expiryDaysFromToday(const CZAFTime& expiry) {
    if (expiry.isNever())
        return 0;
    const CZAFTime today = CZAFTime::today();
    if (expiry.getMidnight() <= today)
        throw new E(eReasonExpiryToday);
    return daysBetween(today, expiry);
}

bool isRSA(int32_t alg) {
    return alg == kZAFPublicKeyAlgorithm_RSA || alg == kZAFPublicKeyAlgorithm_RSAEncryptOnly ||
           alg == kZAFPublicKeyAlgorithm_RSASignOnly;
}

bool isEC(int32_t alg) {
    return alg == kZAFPublicKeyAlgorithm_ECEncrypt || alg == kZAFPublicKeyAlgorithm_ECSign ||
           alg == kZAFPublicKeyAlgorithm_EdDSA;
}

// The key version of an RSA key, 0 for any other key.
int32_t rsaVersion(const CZAFKey* key) {
    const auto* rsa = dynamic_cast<const CZAFRSAKey*>(key);
    return rsa != nullptr ? rsa->getVersion() : 0;
}

// The algorithm of the encryption subkey a master key takes: ElGamal under DSA, RSA under a
// version 4 RSA key. An RSA key of an older version raises E with reason 700; any other master
// (an EC key, for example) cannot take a subkey here and raises E with the toolkit's
// unsupported-algorithm code as cause.
template <class E> ZAFPublicKeyAlgorithm subkeyAlgorithm(const CZAFKey* key) {
    const ZAFPublicKeyAlgorithm alg = key->getAlg();
    if (alg == kZAFPublicKeyAlgorithm_DSA)
        return kZAFPublicKeyAlgorithm_ElGamal;
    if (alg == kZAFPublicKeyAlgorithm_ECSign || alg == kZAFPublicKeyAlgorithm_EdDSA)
        return kZAFPublicKeyAlgorithm_ECEncrypt;
    if (isRSA(alg)) {
        if (rsaVersion(key) < kZAFKeyVersion_V4)
            throw new E(eReasonLegacySubkey);
        return kZAFPublicKeyAlgorithm_RSA;
    }
    throw new E(new CZAFSDKException(kZAFError_UnsupportedAlg));
}

// Raises E with reason 607 unless `size` lies in the range allowed for the algorithm (for an
// elliptic-curve algorithm: names one of its curves, 255, 256, 384 or 521).
template <class E>
void checkKeySize(ZAFPublicKeyAlgorithm alg, int32_t version, unsigned int size) {
    uint16_t minimum = 0;
    uint16_t maximum = 0;
    CZAFKey::getAllowedKeySize(alg, version, minimum, maximum);
    if (size < minimum || size > maximum)
        throw new E(eReasonKeySize);
    if (isEC(alg) && size != 255 && size != 256 && size != 384 && size != 521)
        throw new E(eReasonKeySize);
}

// The size of the encryption subkey an elliptic-curve master takes: X25519 (255) under Ed25519
// whatever size was asked, the master's own curve under ECDSA (another size raises E with reason
// 607). Other masters take the size asked.
template <class E> unsigned int subkeySizeFor(const CZAFKey* key, unsigned int size) {
    if (key->getAlg() == kZAFPublicKeyAlgorithm_EdDSA)
        return 255;
    if (key->getAlg() == kZAFPublicKeyAlgorithm_ECSign &&
        static_cast<int32_t>(size) != key->getSize())
        throw new E(eReasonKeySize);
    return size;
}

// Passes a throwable thrown while a temporary file is cleaned up to the log.
void logCleanupFailure(CZAFThrowable* e) {
    CZAFThrowableGuard guard(e);
    ZAF_LOG_WARNING("WARNING: Could not remove a temporary file:\n" << e->getDetailedMessage());
}

} // namespace

CZAFKey* CVornServer::getKeyByID(const std::string& keyID) { return getKeyDB()->getKeyByID(keyID); }

CZAFKeySet* CVornServer::keyList() {
    return guarded<CZAFKeyListException>([&] { return getKeyDB()->getNewKeySet(); });
}

void CVornServer::UpdateKeyDB() {
    guarded<CZAFKeyListException>([&] { getKeyDB()->Update(); });
}

void CVornServer::flushKeyDB() { getKeyDB()->flush(); }

void CVornServer::removeKey(CZAFKey*& key) {
    guarded<CZAFKeyRemoveException>([&] {
        ZAF_ASSERT_TAG(kTag, key != nullptr);
        getKeyDB()->removeKey(key);
        flushKeyDB();
    });
}

int32_t CVornServer::importKeyFromBuffer(const unsigned char* data, uint32_t length, bool x509,
                                         bool withPrivate, int& status) {
    (void)x509;
    (void)withPrivate;
    ZAF_ASSERT_TAG(kTag, data != nullptr || length == 0);
    const ZAFContextRef context = m_context->getHandle();

    ZAFKeyDBRef imported = nullptr;
    m_droppedUserIDs = 0;
    m_droppedCertifications = 0;
    m_droppedSubkeys = 0;
    m_importCounts = SImportCounts();
    status = 1;
    ZAFError code = ZAFImport(context, &imported, ZAFOInputBuffer(context, data, length),
                              ZAFOInputFormat(context, kZAFInputFormat_X509), ZAFOLastOption());
    if (code != kZAFError_NoErr) {
        imported = nullptr;
        status = 0;
        code =
            ZAFImport(context, &imported, ZAFOInputBuffer(context, data, length), ZAFOLastOption());
    }
    if (code != kZAFError_NoErr) {
        status = 2;
        return code;
    }
    if (imported == nullptr) {
        status = 2;
        return kZAFError_ImportNoKeyDB;
    }

    return guarded<CZAFKeyImportException>([&]() -> int32_t {
        uint32_t droppedUserIDs = 0, droppedSubkeys = 0;
        ZAFGetImportDropCounts(imported, &droppedUserIDs, &droppedSubkeys);
        m_droppedUserIDs = droppedUserIDs;
        m_droppedSubkeys = droppedSubkeys;
        CZAFOwned<CZAFKeyDB> source(new CZAFKeyDB(*m_context, imported));
        // A key flooded with certifications by strangers would slow every listing.
        uint32_t droppedCertifications = 0;
        const ZAFError limited = ZAFLimitForeignCertifications(
            imported, getKeyDB()->getHandle(), kMaxForeignCertifications, &droppedCertifications);
        if (limited != kZAFError_NoErr)
            throw new CZAFSDKException(limited);
        m_droppedCertifications = droppedCertifications;
        // Everything the input brings is merged, also when it holds no key of its own: a
        // stand-alone revocation certificate applies to a key already held. Whether anything
        // at all changed (a key, user ID, subkey, signature, revocation or secret part), not
        // the number of keys, decides between saving and status 2.
        // Each key of the input is new, changed or unchanged by the merge.
        const ZAFKeyDBRef target = getKeyDB()->getHandle();
        struct SEntry {
            ZAFKeyID id;
            bool known;
            SKeyShape before;
        };
        std::vector<SEntry> entries;
        {
            CZAFOwned<CZAFIterator> iter(source->getIterator());
            for (;;) {
                CZAFDatabaseObject* object = nullptr;
                const ZAFError next = iter->next(kZAFKeyDBObjType_Key, object);
                if (next == kZAFError_EndOfIteration)
                    break;
                if (next != kZAFError_NoErr)
                    throw new CZAFSDKException(next);
                CZAFOwned<CZAFDatabaseObject> key(object);
                SEntry entry{};
                const ZAFError id = ZAFGetKeyID(key->getHandle(), &entry.id);
                if (id != kZAFError_NoErr)
                    throw new CZAFSDKException(id);
                entry.known = gKeyShapeOf(target, entry.id, entry.before);
                entries.push_back(entry);
            }
        }
        ZAFBoolean changed = 0;
        const ZAFError copied =
            ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(source->getHandle()), target, &changed);
        if (copied != kZAFError_NoErr)
            throw new CZAFSDKException(copied);
        for (const SEntry& entry : entries) {
            SKeyShape after;
            if (!entry.known)
                ++m_importCounts.newKeys;
            else if (gKeyShapeOf(target, entry.id, after) && !(after == entry.before))
                ++m_importCounts.changed;
            else
                ++m_importCounts.unchanged;
        }
        if (changed)
            flushKeyDB();
        else
            status = 2;
        return kZAFError_NoErr;
    });
}

void CVornServer::exportKey(const CZAFKey* key, const std::string& path, bool replace,
                            ZAFExportFormat format, bool withPrivate, bool armored) {
    guarded<CZAFKeyExportException>([&] {
        ZAF_ASSERT_TAG(kTag, key != nullptr);
        const std::string temp = m_fileManager.getTempFilename();
        try {
            key->exportToFile(*m_context, temp, withPrivate, armored, format);
            CZAFFileManager::copyFiles(temp, path, replace);
        } catch (CZAFThrowable*) {
            // The export's own failure is what the caller hears about.
            try {
                removeTempFile(temp, withPrivate);
            } catch (CZAFThrowable* e) {
                logCleanupFailure(e);
            }
            throw;
        }
        removeTempFile(temp, withPrivate);
    });
}

void CVornServer::removeTempFile(const std::string& temp, bool secret) {
    if (secret) {
        int passes = 0;
        if (!m_cfg.getValue(eZAFOpWipePasses, passes) || passes < 1)
            passes = 1;
        try {
            m_fileManager.wipeFile(temp, static_cast<unsigned short>(std::min(passes, 256)));
            return;
        } catch (CZAFException* e) {
            // Removing it unwiped still beats leaving the secret material behind.
            logCleanupFailure(e);
        }
    }
    m_fileManager.removeFile(temp);
}

void CVornServer::exportPhotoID(const CZAFKey* key, std::string& image) {
    guarded<CZAFPhotoIDExportException>([&] {
        ZAF_ASSERT_TAG(kTag, key != nullptr);
        CZAFOwned<CZAFUserID> photo(key->getPhotoID());
        // Photo data too short to hold the image header holds no image either.
        std::string found;
        if (!photo || !photo->getPhotoImage(found))
            throw new CZAFPhotoIDExportException(eReasonNoPhotoID);
        image.swap(found);
    });
}

void CVornServer::exportPhotoID(const std::string& keyID, std::string& image) {
    guarded<CZAFPhotoIDExportException>([&] {
        CZAFOwned<CZAFKey> key(getKeyByID(keyID));
        exportPhotoID(key.get(), image);
    });
}

void CVornServer::generateKeyPair(const std::string& name, const std::string& passphrase,
                                  eKeyType type, ZAFCipherAlgorithm cipher, uint16_t size,
                                  const std::string& adk, bool signOnly, const CZAFTime& expiry) {
    m_lastGeneratedKeyID.clear();
    guarded<CZAFKeyGenException>(
        [&] { doGenerateKeyPair(name, passphrase, type, cipher, size, adk, signOnly, expiry); });
}

void CVornServer::doGenerateKeyPair(const std::string& name, const std::string& passphrase,
                                    eKeyType type, ZAFCipherAlgorithm cipher, uint16_t size,
                                    const std::string& adk, bool signOnly, const CZAFTime& expiry) {
    const unsigned int days = expiryDaysFromToday<CZAFKeyGenException>(expiry);
    const bool fast = getFastKeyGen();
    bool enforce = false;
    if (!m_cfg.getEnforceADK(enforce))
        enforce = false;

    bool rsaPresent = false, rsaCanGenerate = false, bsafe = false, rsaref = false, capi = false,
         ownRSA = false;
    std::string description;
    getRSAStatus(rsaPresent, rsaCanGenerate, bsafe, rsaref, capi, ownRSA, description);
    if (!rsaPresent || !rsaCanGenerate)
        throw new CZAFKeyGenException(eReasonKeyGenUnsupported);

    if (signOnly && !adk.empty())
        throw new CZAFKeyGenException(eReasonSignOnlyADK);
    if (signOnly && type == eKeyTypeRSALegacy)
        throw new CZAFKeyGenException(eReasonSignOnlyLegacy);

    ZAFPublicKeyAlgorithm encryptionAlg = kZAFPublicKeyAlgorithm_Invalid;
    ZAFPublicKeyAlgorithm signingAlg = kZAFPublicKeyAlgorithm_Invalid;
    int32_t version = 0;
    unsigned int encryptionSize = 0;
    unsigned int signingSize = 0;
    CZAFKey::getSigEncAlgFromKeyType(type, size, encryptionAlg, version, signingAlg, encryptionSize,
                                     signingSize);
    // A size the toolkit cannot generate has no entropy figure either, so it is refused before
    // the entropy is counted.
    checkKeySize<CZAFKeyGenException>(encryptionAlg, version, size);

    const unsigned int needed = neededEntropyForKeyPair(type, size);
    const unsigned int available = reserveEntropy(0);
    if (needed > available)
        throw new CZAFKeyGenException(new CZAFEntropyShortageException(needed, available));

    CZAFOwned<CZAFKeySet> adkSet;
    if (!adk.empty()) {
        CZAFOwned<CZAFKeySet> matches(getKeyDB()->getMatchingKeySet(
            adk,
            CZAFKeyDB::kMatchEnabledOnly | CZAFKeyDB::kMatchUnexpiredOnly |
                CZAFKeyDB::kMatchLocalOnly,
            nullptr, m_groupSet.get()));
        CZAFOwned<CZAFIterator> iterator(matches->getIterator());
        CZAFDatabaseObject* found = nullptr;
        const ZAFError code = iterator->next(kZAFKeyDBObjType_Key, found);
        CZAFOwned<CZAFDatabaseObject> owned(found);
        if (code == kZAFError_EndOfIteration)
            throw new CZAFKeyGenException(eReasonADKNotFound);
        if (code != kZAFError_NoErr)
            throw new CZAFSDKException(code);
        const auto* adkKey = dynamic_cast<const CZAFKey*>(found);
        ZAF_ASSERT_TAG(kTag, adkKey != nullptr);
        // A key named by its ID is found whatever its state; as an ADK a disabled or expired
        // key is no more eligible than when it is named by a user ID.
        if (adkKey->isDisabled() || adkKey->isExpired())
            throw new CZAFKeyGenException(eReasonADKNotFound);
        const ZAFPublicKeyAlgorithm adkAlg = adkKey->getAlg();
        if (adkAlg == kZAFPublicKeyAlgorithm_DSA) {
            if (!adkKey->canEncrypt())
                throw new CZAFKeyGenException(eReasonADKSignOnly);
        } else if (adkAlg == kZAFPublicKeyAlgorithm_RSA) {
            if (rsaVersion(adkKey) < kZAFKeyVersion_V4)
                throw new CZAFKeyGenException(eReasonADKType);
            if (!adkKey->canEncrypt())
                throw new CZAFKeyGenException(eReasonADKSignOnly);
        } else if (isEC(adkAlg)) {
            if (!adkKey->canEncrypt())
                throw new CZAFKeyGenException(eReasonADKSignOnly);
        } else {
            throw new CZAFKeyGenException(eReasonADKType);
        }
        adkSet.reset(adkKey->getNewOneKeySet());
    }

    if (adkSet && type == eKeyTypeRSALegacy)
        throw new CZAFKeyGenException(eReasonLegacyADK);

    CZAFOwned<CZAFKey> key(CZAFKey::generateKey(*m_context, *getKeyDB(), name, passphrase, type,
                                                cipher, size, adkSet != nullptr, adkSet.get(),
                                                enforce, days, fast));
    if (!signOnly && (signingAlg != kZAFPublicKeyAlgorithm_RSA || version == kZAFKeyVersion_V4)) {
        try {
            doGenerateSubkey(key.get(), passphrase, static_cast<uint16_t>(encryptionSize),
                             CZAFTime::now(), expiry);
        } catch (CZAFThrowable*) {
            // The caller hears that the key pair failed: its master must not reach the rings
            // with the next save.
            CZAFKey* master = key.release();
            try {
                getKeyDB()->removeKey(master);
            } catch (CZAFThrowable* e) {
                CZAFThrowableGuard guard(e);
                ZAF_LOG_WARNING("WARNING: Could not take back the master key of a failed key "
                                "pair:\n"
                                << e->getDetailedMessage());
            }
            key.reset(master); // null once removed
            throw;
        }
    }
    flushKeyDB();
    m_lastGeneratedKeyID = key->getKeyIDString_Long();
}

void CVornServer::generateSubkey(CZAFKey* key, const std::string& passphrase, uint16_t size,
                                 const CZAFTime& start, const CZAFTime& expiry) {
    guarded<CZAFSubkeyGenException>([&] {
        doGenerateSubkey(key, passphrase, size, start, expiry);
        flushKeyDB();
    });
}

void CVornServer::generateSubkey(const std::string& keyID, const std::string& passphrase,
                                 uint16_t size, const CZAFTime& start, const CZAFTime& expiry) {
    guarded<CZAFSubkeyGenException>([&] {
        CZAFOwned<CZAFKey> key(getKeyByID(keyID));
        generateSubkey(key.get(), passphrase, size, start, expiry);
    });
}

void CVornServer::doGenerateSubkey(CZAFKey* key, const std::string& passphrase, uint16_t size,
                                   const CZAFTime& start, const CZAFTime& expiry) {
    ZAF_ASSERT_TAG(kTag, key != nullptr);
    // A start date of 1970-01-01 reads as "never", which no subkey can start at.
    if (start.isNever())
        throw new CZAFSubkeyGenException(new CZAFSDKException(kZAFError_BadTime));
    unsigned int days = 0;
    if (!expiry.isNever()) {
        const CZAFTime expiryDay = expiry.getMidnight();
        if (expiryDay <= CZAFTime::today())
            throw new CZAFSubkeyGenException(eReasonExpiryToday);
        if (expiryDay <= start.getMidnight())
            throw new CZAFSubkeyGenException(eReasonExpiryBeforeStart);
        const CZAFTime masterExpiry = key->getExpirationTime();
        if (!masterExpiry.isNever() && expiryDay > masterExpiry.getMidnight())
            throw new CZAFSubkeyGenException(eReasonExpiryAfterMaster);
        days = daysBetween(start, expiry);
    }
    const ZAFPublicKeyAlgorithm alg = subkeyAlgorithm<CZAFSubkeyGenException>(key);
    const unsigned int bits = subkeySizeFor<CZAFSubkeyGenException>(key, size);
    checkKeySize<CZAFSubkeyGenException>(alg, kZAFKeyVersion_V4, bits);
    CZAFOwned<CZAFSubKey> subkey(
        key->generateSubkey(*m_context, alg, bits, start, days, getFastKeyGen(), passphrase));
}

void CVornServer::signKey(CZAFKey* target, CZAFKey* signer, eSigType type,
                          const std::string& regexp, const std::string& passphrase,
                          unsigned int depth, const CZAFTime& expiry) {
    guarded<CZAFKeySignException>([&] {
        ZAF_ASSERT_TAG(kTag, target != nullptr && signer != nullptr);
        unsigned int trustDepth = 0;
        switch (type) {
        case eSigTypeLocal:
        case eSigTypeExportable:
            break;
        case eSigTypeMeta:
            trustDepth = depth == 0 ? 2 : depth;
            if (trustDepth < 2 || trustDepth > 8)
                throw new CZAFKeySignException(eReasonSigDepth);
            break;
        case eSigTypeIntroducer:
            trustDepth = depth == 0 ? 1 : depth;
            if (trustDepth > 8)
                throw new CZAFKeySignException(eReasonSigDepth);
            break;
        default:
            ZAF_FAIL_TAG(kTag);
        }
        const unsigned int days = expiryDaysFromToday<CZAFKeySignException>(expiry);
        CZAFOwned<CZAFUserID> userID(target->getPrimaryUserID());
        userID->certify(m_context.get(), signer, passphrase, regexp, type, trustDepth, days);
        flushKeyDB();
    });
}

void CVornServer::addUserID(CZAFKey* key, const std::string& userID,
                            const std::string& passphrase) {
    guarded<CZAFKeyEditUserIDAddException>([&] {
        ZAF_ASSERT_TAG(kTag, key != nullptr);
        key->addUserID(*m_context, userID,
                       ZAFOPassphrase(m_context->getHandle(), passphrase.c_str()));
        flushKeyDB();
    });
}

void CVornServer::addUserID(const std::string& keyID, const std::string& userID,
                            const std::string& passphrase) {
    guarded<CZAFKeyEditUserIDAddException>([&] {
        CZAFOwned<CZAFKey> key(getKeyByID(keyID));
        addUserID(key.get(), userID, passphrase);
    });
}

void CVornServer::removeUserID(CZAFKey* key, const std::string& pattern, bool substring, bool all) {
    ZAF_ASSERT_TAG(kTag, substring || !all);
    guarded<CZAFKeyEditUserIDRemoveException>([&] {
        ZAF_ASSERT_TAG(kTag, key != nullptr);
        std::vector<CZAFOwned<CZAFUserID>> matches;
        CZAFUserID* exact = nullptr;
        unsigned int count = 0;

        CZAFOwned<CZAFIterator> iterator(getKeyDB()->getIterator());
        iterator->seek(key);
        for (;;) {
            CZAFDatabaseObject* object = nullptr;
            const ZAFError code = iterator->next(kZAFKeyDBObjType_UserID, object);
            CZAFOwned<CZAFDatabaseObject> owned(object);
            if (code == kZAFError_EndOfIteration)
                break;
            if (code != kZAFError_NoErr)
                throw new CZAFSDKException(code);
            auto* userID = dynamic_cast<CZAFUserID*>(object);
            ZAF_ASSERT_TAG(kTag, userID != nullptr);
            if (userID->getType() == kZAFAttribute_Image)
                continue;
            ++count;
            const std::string name = userID->getName();
            const bool equal = name == pattern;
            if (!equal && !(substring && name.find(pattern) != std::string::npos))
                continue;
            owned.release();
            matches.emplace_back(userID);
            if (equal)
                exact = userID;
        }

        if (matches.empty())
            throw new CZAFKeyEditUserIDRemoveException(eReasonUserIDNotFound);
        if (count == 1)
            throw new CZAFKeyEditUserIDRemoveException(eReasonLastUserID);
        std::vector<CZAFUserID*> doomed;
        if (all) {
            if (matches.size() == count)
                throw new CZAFKeyEditUserIDRemoveException(eReasonLastUserID);
            for (auto& match : matches)
                doomed.push_back(match.get());
        } else if (matches.size() == 1) {
            doomed.push_back(matches.front().get());
        } else if (exact != nullptr) {
            doomed.push_back(exact);
        } else {
            throw new CZAFKeyEditUserIDRemoveException(eReasonUserIDAmbiguous);
        }
        for (auto& match : matches) {
            if (std::find(doomed.begin(), doomed.end(), match.get()) == doomed.end())
                continue;
            // The removal deletes the wrapper and clears the pointer only when it succeeds.
            CZAFUserID* userID = match.get();
            key->removeUserID(userID);
            if (userID == nullptr)
                match.release();
        }
        flushKeyDB();
    });
}

void CVornServer::removeUserID(const std::string& keyID, const std::string& pattern, bool substring,
                               bool all) {
    guarded<CZAFKeyEditUserIDRemoveException>([&] {
        CZAFOwned<CZAFKey> key(getKeyByID(keyID));
        removeUserID(key.get(), pattern, substring, all);
    });
}

void CVornServer::revokeKey(CZAFKey* key, CZAFKey* revoker, const std::string& passphrase,
                            const SRevocationReason& reason) {
    guarded<CZAFKeyRevocationException>([&] {
        ZAF_ASSERT_TAG(kTag, key != nullptr && revoker != nullptr);
        if (key->isRevoked())
            throw new CZAFKeyRevocationException(eReasonAlreadyRevoked);
        if (!key->isRevocable())
            throw new CZAFKeyRevocationException(eReasonNotRevocable);
        // A key revokes itself, which needs its secret part, or is revoked by one of its
        // designated revokers. Any other revoker is refused, whether or not the key's secret
        // part is held.
        if (!(key->isSecret() && revoker->sameAs(key))) {
            const std::vector<std::string> revokers = key->getRevokers();
            const std::string revokerID = revoker->getKeyIDString_Short();
            if (std::find(revokers.begin(), revokers.end(), revokerID) == revokers.end())
                throw new CZAFKeyRevocationException(eReasonNotDesignatedRevoker);
        }
        key->revoke(*m_context, revoker, passphrase, &reason);
        flushKeyDB();
    });
}

void CVornServer::revokeKey(const std::string& keyID, const std::string& revokerID,
                            const std::string& passphrase, const SRevocationReason& reason) {
    guarded<CZAFKeyRevocationException>([&] {
        CZAFOwned<CZAFKey> key(getKeyByID(keyID));
        CZAFOwned<CZAFKey> revoker(getKeyByID(revokerID));
        revokeKey(key.get(), revoker.get(), passphrase, reason);
    });
}

void CVornServer::getRSAStatus(bool& rsaPresent, bool& rsaCanGenerate, bool& bsafe, bool& rsaref,
                               bool& capi, bool& ownRSA, std::string& description) const {
    rsaPresent = rsaCanGenerate = bsafe = rsaref = capi = ownRSA = false;
    description.clear();
    uint32_t count = 0;
    if (ZAFCountPublicKeyAlgorithms(&count) == kZAFError_NoErr) {
        for (uint32_t i = 0; i < count; ++i) {
            ZAFPublicKeyAlgorithmInfo info{};
            if (ZAFGetIndexedPublicKeyAlgorithmInfo(i, &info) != kZAFError_NoErr)
                break;
            if (info.algorithm != kZAFPublicKeyAlgorithm_RSA)
                continue;
            rsaPresent = true;
            rsaCanGenerate = info.canGenerate != 0;
            const std::string longName(info.longName, strnlen(info.longName, sizeof info.longName));
            const std::string notice(info.notice, strnlen(info.notice, sizeof info.notice));
            if (longName.find("BSAFE") != std::string::npos) {
                bsafe = true;
                description = notice;
            } else if (longName.find("CAPI") != std::string::npos) {
                capi = true;
                description = "Uses the Enhanced CAPI Provider for RSA support";
            } else if (longName.find("RSAREF") != std::string::npos) {
                rsaref = true;
                description = notice;
            } else if (longName.find("ZAF") != std::string::npos) {
                ownRSA = true;
            }
            break;
        }
    }
    if (!bsafe && !capi && !rsaref && !ownRSA)
        description = "DH/DSS only support";
}

bool CVornServer::getFastKeyGen() const {
    bool fast = true;
    if (!m_cfg.getUseFastKeyGen(fast))
        fast = true;
    return fast;
}

unsigned int CVornServer::entropyBits(int32_t algorithm, unsigned int size, int32_t version,
                                      uint32_t keyFlags) const {
    const ZAFContextRef context = m_context->getHandle();
    const uint32_t bits = ZAFGetKeyEntropyNeeded(
        context, ZAFOKeyGenParams(context, algorithm, size, version),
        keyFlags != 0 ? ZAFOKeyFlags(context, keyFlags) : ZAFONullOption(context),
        ZAFOFastGeneration(context, getFastKeyGen() ? 1 : 0), ZAFOLastOption());
    ZAF_ASSERT_TAG(kTag, bits != kZAFKeyEntropyUnknown);
    return bits;
}

unsigned int CVornServer::neededEntropyForKeyPair(eKeyType type, uint16_t size) const {
    ZAFPublicKeyAlgorithm encryptionAlg = kZAFPublicKeyAlgorithm_Invalid;
    ZAFPublicKeyAlgorithm signingAlg = kZAFPublicKeyAlgorithm_Invalid;
    int32_t version = 0;
    unsigned int encryptionSize = 0;
    unsigned int signingSize = 0;
    CZAFKey::getSigEncAlgFromKeyType(type, size, encryptionAlg, version, signingAlg, encryptionSize,
                                     signingSize);
    checkKeySize<CZAFKeyGenException>(encryptionAlg, version, size);

    const bool rsa = signingAlg == kZAFPublicKeyAlgorithm_RSA;
    const bool rsa4 = rsa && version == kZAFKeyVersion_V4;
    unsigned int bits = entropyBits(signingAlg, signingSize, version, rsa4 ? 3 : rsa ? 15 : 0);
    if (!rsa || rsa4)
        bits += entropyBits(encryptionAlg, encryptionSize, version, rsa4 ? 12 : rsa ? 15 : 0);
    return (bits + 7) / 8;
}

unsigned int CVornServer::neededEntropyForSubkey(const CZAFKey* key, uint16_t size) const {
    return guarded<CZAFSubkeyGenException>([&] {
        ZAF_ASSERT_TAG(kTag, key != nullptr);
        const ZAFPublicKeyAlgorithm alg = subkeyAlgorithm<CZAFSubkeyGenException>(key);
        const unsigned int bits = subkeySizeFor<CZAFSubkeyGenException>(key, size);
        checkKeySize<CZAFSubkeyGenException>(alg, kZAFKeyVersion_V4, bits);
        const bool rsa = alg == kZAFPublicKeyAlgorithm_RSA;
        return (entropyBits(alg, bits, rsa ? kZAFKeyVersion_V4 : 0, rsa ? 12 : 0) + 7) / 8;
    });
}

unsigned int CVornServer::reserveEntropy(unsigned int bytesWanted) {
    const int32_t available = ZAFContextReserveRandomBytes(m_context->getHandle(), bytesWanted);
    if (available < 0)
        throw new CZAFSDKException(available);
    return static_cast<unsigned int>(available);
}

void CVornServer::supplyEntropy(const std::string& bytes) {
    for (char c : bytes) {
        const ZAFError code = ZAFGlobalRandomPoolAddKeystroke(static_cast<unsigned char>(c));
        if (code != kZAFError_NoErr)
            throw new CZAFSDKException(code);
    }
}

} // namespace oozaf
