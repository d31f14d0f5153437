// keyobjects: keys, subkeys, user IDs and signatures over the toolkit's key database objects.
#include <oozaf/keyobjects.h>
#include <oozaf/logger.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <zaf/zafkeyedit.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace oozaf {

namespace {

const char* const kTag = "keyobjects";

#define KEYOBJ_ASSERT(cond) ZAF_ASSERT_TAG(kTag, cond)

void check(ZAFError err) {
    if (err != kZAFError_NoErr)
        throw new CZAFSDKException(err);
}

// Key ID texts are at most "0x" + 16 digits; the buffer leaves room for any longer form.
constexpr size_t kKeyIDTextSize = 129;

std::string keyIDText(const ZAFKeyID& keyID, int32_t type) {
    char text[kKeyIDTextSize] = {};
    check(ZAFGetKeyIDString(&keyID, type, text, sizeof text - 1));
    return text;
}

std::string objectKeyIDText(ZAFKeyDBObjRef object, int32_t type) {
    ZAFKeyID keyID{};
    check(ZAFGetKeyID(object, &keyID));
    return keyIDText(keyID, type);
}

void requireType(ZAFKeyDBObjRef object, int32_t type) {
    KEYOBJ_ASSERT(object != nullptr);
    KEYOBJ_ASSERT(CZAFDatabaseObject::getObjectType(object) == type);
}

const std::vector<int32_t>& defaultCipherList() {
    static const std::vector<int32_t> list = {
        kZAFCipherAlgorithm_IDEA,    kZAFCipherAlgorithm_3DES,    kZAFCipherAlgorithm_CAST5,
        kZAFCipherAlgorithm_AES128,  kZAFCipherAlgorithm_AES192,  kZAFCipherAlgorithm_AES256,
        kZAFCipherAlgorithm_Twofish, kZAFCipherAlgorithm_Blowfish};
    return list;
}

bool isEC(int32_t alg) {
    return alg == kZAFPublicKeyAlgorithm_ECEncrypt || alg == kZAFPublicKeyAlgorithm_ECSign ||
           alg == kZAFPublicKeyAlgorithm_EdDSA;
}

bool isRSA(int32_t alg) {
    return alg == kZAFPublicKeyAlgorithm_RSA || alg == kZAFPublicKeyAlgorithm_RSAEncryptOnly ||
           alg == kZAFPublicKeyAlgorithm_RSASignOnly;
}

// Frees a key set or iterator handle made inside a call.
struct SKeySetDeleter {
    void operator()(ZAFKeySet* set) const { ZAFFreeKeySet(set); }
};
struct SKeyIterDeleter {
    void operator()(ZAFKeyIter* iter) const { ZAFFreeKeyIter(iter); }
};

using CRefList = std::vector<std::string>;

// The short key ID texts of a key's designated revokers or additional decryption keys.
template <class Count, class Get>
CRefList referencedKeys(ZAFKeyDBObjRef key, Count count, Get get) {
    uint32_t n = 0;
    check(count(key, &n));
    CRefList out;
    out.reserve(n);
    for (uint32_t i = 0; i < n; ++i) {
        ZAFKeyDBObjRef held = nullptr;
        ZAFKeyID keyID{};
        check(get(key, i, &held, &keyID));
        if (held != nullptr)
            out.push_back(CZAFKey(held).getKeyIDString_Short());
        else
            out.push_back(keyIDText(keyID, kZAFKeyIDString_Abbreviated));
    }
    return out;
}

} // namespace

// ---- keys ----

CZAFKey::CZAFKey(ZAFKeyDBObjRef key) : CZAFDatabaseObject(key) {
    requireType(key, kZAFKeyDBObjType_Key);
}

CZAFKey* CZAFKey::createInstance(ZAFKeyDBObjRef key) {
    KEYOBJ_ASSERT(key != nullptr);
    if (isRSA(getNumericProperty(key, kZAFKeyProperty_AlgorithmID)))
        return new CZAFRSAKey(key);
    return new CZAFKey(key);
}

bool CZAFKey::isSecret() const { return getBooleanProperty(kZAFKeyProperty_IsSecret); }
bool CZAFKey::isRevoked() const { return getBooleanProperty(kZAFKeyProperty_IsRevoked); }
bool CZAFKey::isDisabled() const { return getBooleanProperty(kZAFKeyProperty_IsDisabled); }
bool CZAFKey::isExpired() const { return getBooleanProperty(kZAFKeyProperty_IsExpired); }
bool CZAFKey::hasUnverifiedRevocation() const {
    return getBooleanProperty(kZAFKeyProperty_HasUnverifiedRevocation);
}
bool CZAFKey::canEncrypt() const { return getBooleanProperty(kZAFKeyProperty_CanEncrypt); }
bool CZAFKey::isSecretShared() const { return getBooleanProperty(kZAFKeyProperty_IsSecretShared); }
bool CZAFKey::isRevocable() const { return getBooleanProperty(kZAFKeyProperty_IsRevocable); }

ZAFPublicKeyAlgorithm CZAFKey::getAlg() const {
    return static_cast<ZAFPublicKeyAlgorithm>(getNumericProperty(kZAFKeyProperty_AlgorithmID));
}
int32_t CZAFKey::getSize() const { return getNumericProperty(kZAFKeyProperty_Bits); }
unsigned int CZAFKey::getTrust() const {
    return static_cast<unsigned int>(getNumericProperty(kZAFKeyProperty_Trust));
}
ZAFValidity CZAFKey::getValidity() const {
    return static_cast<ZAFValidity>(getNumericProperty(kZAFKeyProperty_Validity));
}
CZAFTime CZAFKey::getCreationTime() const {
    return CZAFTime(getTimeProperty(kZAFKeyProperty_Creation), 0);
}
CZAFTime CZAFKey::getExpirationTime() const {
    return CZAFTime(getTimeProperty(kZAFKeyProperty_Expiration), 0);
}
std::string CZAFKey::getFingerprint() const {
    return getAllocatedDataProperty(kZAFKeyProperty_Fingerprint);
}

ZAFCipherAlgorithm CZAFKey::getCipher() const {
    const std::string list = getDataProperty(kZAFKeyProperty_PreferredCiphers);
    if (list.size() < sizeof(int32_t))
        throw new CZAFPropertyAccessError(kZAFKeyProperty_PreferredCiphers, kZAFError_ItemNotFound);
    int32_t first = 0;
    std::memcpy(&first, list.data(), sizeof first);
    return static_cast<ZAFCipherAlgorithm>(first);
}

CZAFUserID* CZAFKey::getPrimaryUserID() const {
    ZAFKeyDBObjRef userID = nullptr;
    check(ZAFGetPrimaryUserID(getHandle(), &userID));
    return new CZAFUserID(userID);
}

std::string CZAFKey::getPrimaryUserIDName() const {
    ZAFKeyDBObjRef userID = nullptr;
    ZAFError err = ZAFGetPrimaryUserID(getHandle(), &userID);
    // A key read from outside may carry no user ID at all; it then has no primary name.
    if (err == kZAFError_ItemNotFound)
        return std::string();
    check(err);
    return CZAFUserID(userID).getName();
}

std::string CZAFKey::getKeyIDString(int32_t type) const {
    return objectKeyIDText(getHandle(), type);
}
std::string CZAFKey::getKeyIDString_Short() const {
    return getKeyIDString(kZAFKeyIDString_Abbreviated);
}
std::string CZAFKey::getKeyIDString_Long() const { return getKeyIDString(kZAFKeyIDString_Full); }

std::vector<std::string> CZAFKey::getRevokers() const {
    return referencedKeys(getHandle(), &ZAFCountRevocationKeys, &ZAFGetIndexedRevocationKey);
}

std::vector<std::string> CZAFKey::getADKs() const {
    return referencedKeys(getHandle(), &ZAFCountAdditionalRecipientRequests,
                          [](ZAFKeyDBObjRef key, uint32_t i, ZAFKeyDBObjRef* held, ZAFKeyID* id) {
                              return ZAFGetIndexedAdditionalRecipientRequest(key, i, held, id,
                                                                             nullptr);
                          });
}

CZAFKeySet* CZAFKey::getNewOneKeySet() const {
    ZAFKeySetRef set = nullptr;
    check(ZAFNewSingletonKeySet(getHandle(), &set));
    return new CZAFKeySet(set);
}

void CZAFKey::getAllowedKeySize(ZAFPublicKeyAlgorithm alg, int32_t keyVersion, uint16_t& minimum,
                                uint16_t& maximum) {
    if (alg == kZAFPublicKeyAlgorithm_ElGamal) {
        minimum = 1024;
        maximum = 4096;
    } else if (isEC(alg)) {
        minimum = 255;
        maximum = 521;
    } else if (isRSA(alg)) {
        minimum = 1024;
        maximum = keyVersion == kZAFKeyVersion_V4 ? 4096 : 2048;
    } else {
        ZAF_FAIL_TAG(kTag);
    }
}

void CZAFKey::getSigEncAlgFromKeyType(eKeyType keyType, unsigned int size,
                                      ZAFPublicKeyAlgorithm& encryptionAlg, int32_t& keyVersion,
                                      ZAFPublicKeyAlgorithm& signingAlg,
                                      unsigned int& encryptionSize, unsigned int& signingSize) {
    encryptionAlg = static_cast<ZAFPublicKeyAlgorithm>(0);
    signingAlg = static_cast<ZAFPublicKeyAlgorithm>(0);
    keyVersion = 0;
    encryptionSize = 0;
    signingSize = 0;
    switch (keyType) {
    case eKeyTypeDHDSS:
        encryptionAlg = kZAFPublicKeyAlgorithm_ElGamal;
        signingAlg = kZAFPublicKeyAlgorithm_DSA;
        encryptionSize = size;
        signingSize = 1024;
        break;
    case eKeyTypeRSA:
    case eKeyTypeRSALegacy:
        encryptionAlg = kZAFPublicKeyAlgorithm_RSA;
        signingAlg = kZAFPublicKeyAlgorithm_RSA;
        keyVersion = keyType == eKeyTypeRSA ? kZAFKeyVersion_V4 : kZAFKeyVersion_V3;
        encryptionSize = size;
        signingSize = size;
        break;
    case eKeyTypeECC:
        encryptionAlg = kZAFPublicKeyAlgorithm_ECEncrypt;
        signingAlg = size == 255 ? kZAFPublicKeyAlgorithm_EdDSA : kZAFPublicKeyAlgorithm_ECSign;
        keyVersion = kZAFKeyVersion_V4;
        encryptionSize = size;
        signingSize = size;
        break;
    default:
        ZAF_FAIL_TAG(kTag);
    }
}

std::string CZAFKey::describeKeyPair(eKeyType keyType, unsigned int size, bool signOnly) {
    const std::string bits = std::to_string(size) + "-bit";
    switch (keyType) {
    case eKeyTypeDHDSS:
        return "a 1024-bit DSA key" +
               (signOnly ? "" : " with a " + bits + " ElGamal encryption subkey");
    case eKeyTypeRSA:
        return "a " + bits + " RSA key" +
               (signOnly ? "" : " with a " + bits + " RSA encryption subkey");
    case eKeyTypeRSALegacy:
        return "a " + bits + " RSA-Legacy (version 3) key";
    case eKeyTypeECC:
        if (size == 255)
            return std::string("an Ed25519 key") +
                   (signOnly ? "" : " with a Curve25519 encryption subkey");
        return "an ECDSA P-" + std::to_string(size) + " key" +
               (signOnly ? "" : " with an ECDH P-" + std::to_string(size) + " encryption subkey");
    default:
        return "a " + bits + " key pair";
    }
}

std::vector<int32_t> CZAFKey::getPreferredCipherList(ZAFCipherAlgorithm cipher) {
    std::vector<int32_t> list = defaultCipherList();
    auto it = std::find(list.begin(), list.end(), static_cast<int32_t>(cipher));
    if (it != list.end())
        std::iter_swap(list.begin(), it);
    return list;
}

CZAFKey* CZAFKey::generateKey(CZAFContext& context, CZAFKeyDB& keyDB, const std::string& userIDName,
                              const std::string& passphrase, eKeyType keyType,
                              ZAFCipherAlgorithm preferredCipher, unsigned int size, bool withADK,
                              const CZAFKeySet* adkKeySet, bool adkEnforced,
                              unsigned int expirationDays, bool fastGeneration) {
    ZAFPublicKeyAlgorithm encryptionAlg;
    ZAFPublicKeyAlgorithm signingAlg;
    int32_t version = 0;
    unsigned int encryptionSize = 0;
    unsigned int signingSize = 0;
    getSigEncAlgFromKeyType(keyType, size, encryptionAlg, version, signingAlg, encryptionSize,
                            signingSize);
    KEYOBJ_ASSERT(!withADK || adkKeySet != nullptr);
    const std::vector<int32_t> ciphers = getPreferredCipherList(preferredCipher);

    ZAFContextRef c = context.getHandle();
    ZAFKeyDBObjRef key = nullptr;
    check(ZAFGenerateKey(
        c, &key, ZAFOKeyDB(c, keyDB.getHandle()),
        ZAFOKeyGenParams(c, signingAlg, signingSize, version), ZAFOUserID(c, userIDName.c_str()),
        ZAFOExpiration(c, static_cast<int32_t>(expirationDays)),
        ZAFOFastGeneration(c, fastGeneration ? 1 : 0), ZAFOPassphrase(c, passphrase.c_str()),
        withADK ? ZAFOADKKeySet(c, adkKeySet->getHandle(),
                                adkEnforced ? kZAFADKClass_Enforced : kZAFADKClass_Request)
                : ZAFONullOption(c),
        signingAlg == kZAFPublicKeyAlgorithm_RSA && version == kZAFKeyVersion_V4
            ? ZAFOKeyFlags(c, kZAFKeyFlag_Certify | kZAFKeyFlag_Sign)
            : ZAFONullOption(c),
        ZAFOPreferredCiphers(c, ciphers.data(), ciphers.size()), ZAFOLastOption()));
    KEYOBJ_ASSERT(key != nullptr);
    return createInstance(key);
}

CZAFSubKey* CZAFKey::generateSubkey(CZAFContext& context, ZAFPublicKeyAlgorithm alg,
                                    unsigned int size, const CZAFTime& startTime,
                                    unsigned int expirationDays, bool fastGeneration,
                                    const std::string& passphrase) {
    KEYOBJ_ASSERT(!startTime.isNever());
    if (alg == kZAFPublicKeyAlgorithm_RSA) {
        const auto* rsa = dynamic_cast<const CZAFRSAKey*>(this);
        KEYOBJ_ASSERT(rsa != nullptr && rsa->getVersion() == kZAFKeyVersion_V4);
    }
    ZAFContextRef c = context.getHandle();
    ZAFKeyDBObjRef subKey = nullptr;
    check(ZAFGenerateSubKey(
        c, &subKey, ZAFOMasterKey(c, getHandle()),
        ZAFOKeyGenParams(c, alg, size, kZAFKeyVersion_Default),
        ZAFOExpiration(c, static_cast<int32_t>(expirationDays)),
        ZAFOFastGeneration(c, fastGeneration ? 1 : 0), ZAFOCreationDate(c, startTime.getZAFTime()),
        ZAFOPassphrase(c, passphrase.c_str()),
        alg == kZAFPublicKeyAlgorithm_RSA
            ? ZAFOKeyFlags(c, kZAFKeyFlag_EncryptCommunications | kZAFKeyFlag_EncryptStorage)
            : ZAFONullOption(c),
        ZAFOLastOption()));
    KEYOBJ_ASSERT(subKey != nullptr);
    return new CZAFSubKey(subKey);
}

void CZAFKey::exportToFile(CZAFContext& context, const std::string& path, bool withPrivate,
                           bool armor, ZAFExportFormat format) const {
    std::unique_ptr<CZAFKeySet> one(getNewOneKeySet());
    one->exportToFile(context, path, withPrivate, armor, format);
}

CZAFUserID* CZAFKey::getPhotoID() const {
    ZAFKeySetRef rawSet = nullptr;
    check(ZAFNewSingletonKeySet(getHandle(), &rawSet));
    std::unique_ptr<ZAFKeySet, SKeySetDeleter> set(rawSet);
    ZAFKeyIterRef rawIter = nullptr;
    check(ZAFNewKeyIterFromKeySet(set.get(), &rawIter));
    std::unique_ptr<ZAFKeyIter, SKeyIterDeleter> iter(rawIter);
    ZAFKeyDBObjRef object = nullptr;
    check(ZAFKeyIterNextKeyDBObj(iter.get(), kZAFKeyDBObjType_Key, &object));
    for (;;) {
        ZAFError err = ZAFKeyIterNextKeyDBObj(iter.get(), kZAFKeyDBObjType_UserID, &object);
        if (err == kZAFError_EndOfIteration)
            return nullptr;
        check(err);
        if (getNumericProperty(object, kZAFUserIDProperty_AttributeType) == kZAFAttribute_Image)
            return new CZAFUserID(object);
    }
}

void CZAFKey::addUserID(CZAFContext& context, const std::string& name, ZAFOptionListRef options) {
    ZAFContextRef c = context.getHandle();
    check(ZAFAddUserID(getHandle(), name.c_str(), options != nullptr ? options : ZAFONullOption(c),
                       ZAFOLastOption()));
}

void CZAFKey::removeUserID(CZAFUserID*& userID) {
    KEYOBJ_ASSERT(userID != nullptr);
    // Deleting by handle acts on whichever key the user ID belongs to; make sure it is this one.
    ZAFKeyDBObjRef owner = nullptr;
    check(ZAFGetKeyDBObjKey(userID->getHandle(), &owner));
    KEYOBJ_ASSERT(objectKeyIDText(owner, kZAFKeyIDString_Full) ==
                  getKeyIDString(kZAFKeyIDString_Full));
    std::unique_ptr<CZAFKeySet> one(getNewOneKeySet());
    ZAFKeyDBRef keyDB = ZAFPeekKeySetKeyDB(one->getHandle());
    KEYOBJ_ASSERT(keyDB != nullptr);
    check(ZAFDeleteKeyDBObj(keyDB, userID->getHandle()));
    delete userID;
    userID = nullptr;
}

void CZAFKey::revoke(CZAFContext& context, const CZAFKey* revoker, const std::string& passphrase,
                     const SRevocationReason* reason) {
    KEYOBJ_ASSERT(revoker != nullptr);
    if (!ZAFPassphraseIsValid(revoker->getHandle(), passphrase.c_str()))
        throw new CZAFSDKException(kZAFError_BadPassphrase);
    ZAFContextRef c = context.getHandle();
    // The reason first: a code or text the toolkit refuses fails before any list is made.
    ZAFOptionListRef why = nullptr;
    if (reason != nullptr && reason->isGiven()) {
        why = ZAFORevocationReason(c, reason->code, reason->text.c_str());
        if (why == nullptr)
            throw new CZAFSDKException(kZAFError_BadParams);
    } else {
        why = ZAFONullOption(c);
    }
    ZAFOptionListRef secret = revoker->isSecretShared()
                                  ? ZAFOPasskeyBuffer(c, passphrase.data(), passphrase.size())
                                  : ZAFOPassphrase(c, passphrase.c_str());
    check(ZAFRevoke(getHandle(), revoker->getHandle(), secret, why, ZAFOLastOption()));
}

bool gRevocationReasonFromString(const std::string& word, int& code) {
    static const std::pair<const char*, int> kWords[] = {
        {"none", kZAFRevocationReason_None},
        {"superseded", kZAFRevocationReason_Superseded},
        {"compromised", kZAFRevocationReason_Compromised},
        {"retired", kZAFRevocationReason_Retired},
        {"uid-invalid", kZAFRevocationReason_UserIDInvalid}};
    for (const auto& entry : kWords)
        if (CZAFUtil::compareIgnoreCase(word, entry.first)) {
            code = entry.second;
            return true;
        }
    if (word.empty() || word.size() > 3 ||
        word.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int value = std::stoi(word);
    if (value > 3 && value != kZAFRevocationReason_UserIDInvalid && (value < 100 || value > 110))
        return false;
    code = value;
    return true;
}

std::string gStringFromRevocationReason(int code) {
    switch (code) {
    case kZAFRevocationReason_None:
        return "none";
    case kZAFRevocationReason_Superseded:
        return "superseded";
    case kZAFRevocationReason_Compromised:
        return "compromised";
    case kZAFRevocationReason_Retired:
        return "retired";
    case kZAFRevocationReason_UserIDInvalid:
        return "uid-invalid";
    default:
        return std::to_string(code);
    }
}

bool CZAFKey::sameAs(const CZAFKey* other) const {
    KEYOBJ_ASSERT(other != nullptr);
    return getKeyIDString_Long() == other->getKeyIDString_Long();
}

void CZAFKey::formatFingerprint(const std::string& fingerprint, eFingerprintView view,
                                std::vector<std::string>& out) {
    out.clear();
    if (view != eFingerprintViewHex && view != eFingerprintViewWords) {
        ZAF_LOG_ERROR(
            "INTERNAL ERROR: Unknown value for eFingerprintView: " << static_cast<int32_t>(view));
        ZAF_FAIL_TAG(kTag);
    }
    static const char kHex[] = "0123456789ABCDEF";
    out.reserve(fingerprint.size());
    for (size_t i = 0; i < fingerprint.size(); ++i) {
        const auto byte = static_cast<unsigned char>(fingerprint[i]);
        if (view == eFingerprintViewHex)
            out.push_back(std::string{kHex[byte >> 4], kHex[byte & 0x0F]});
        else
            out.emplace_back(i % 2 == 0 ? gHashWordListEven[byte] : gHashWordListOdd[byte]);
    }
}

ZAFKeyVersion CZAFRSAKey::getVersion() const {
    return static_cast<ZAFKeyVersion>(getNumericProperty(kZAFKeyProperty_Version));
}

// ---- subkeys ----

CZAFSubKey::CZAFSubKey(ZAFKeyDBObjRef subKey) : CZAFDatabaseObject(subKey) {
    requireType(subKey, kZAFKeyDBObjType_SubKey);
}

bool CZAFSubKey::isRevoked() const { return getBooleanProperty(kZAFSubKeyProperty_IsRevoked); }
bool CZAFSubKey::isExpired() const { return getBooleanProperty(kZAFSubKeyProperty_IsExpired); }
bool CZAFSubKey::hasUnverifiedRevocation() const {
    return getBooleanProperty(kZAFSubKeyProperty_HasUnverifiedRevocation);
}
int32_t CZAFSubKey::getSize() const { return getNumericProperty(kZAFSubKeyProperty_Bits); }
ZAFPublicKeyAlgorithm CZAFSubKey::getAlg() const {
    return static_cast<ZAFPublicKeyAlgorithm>(getNumericProperty(kZAFSubKeyProperty_AlgorithmID));
}
int32_t CZAFSubKey::getUsage() const { return getNumericProperty(kZAFSubKeyProperty_Usage); }
CZAFTime CZAFSubKey::getCreationTime() const {
    return CZAFTime(getTimeProperty(kZAFSubKeyProperty_Creation), 0);
}
CZAFTime CZAFSubKey::getExpirationTime() const {
    return CZAFTime(getTimeProperty(kZAFSubKeyProperty_Expiration), 0);
}
std::string CZAFSubKey::getSubkeyIDString(int32_t type) const {
    return objectKeyIDText(getHandle(), type);
}
std::string CZAFSubKey::getSubkeyIDString_Short() const {
    return getSubkeyIDString(kZAFKeyIDString_Abbreviated);
}
std::string CZAFSubKey::getSubkeyIDString_Long() const {
    return getSubkeyIDString(kZAFKeyIDString_Full);
}

// ---- user IDs ----

CZAFUserID::CZAFUserID(ZAFKeyDBObjRef userID) : CZAFDatabaseObject(userID) {
    requireType(userID, kZAFKeyDBObjType_UserID);
}

ZAFAttributeType CZAFUserID::getType() const {
    return static_cast<ZAFAttributeType>(getNumericProperty(kZAFUserIDProperty_AttributeType));
}

std::string CZAFUserID::getName() const {
    if (getType() == kZAFAttribute_Image)
        return "photograph";
    return getDataProperty(kZAFUserIDProperty_Name);
}

std::string CZAFUserID::getData() const {
    return getAllocatedDataProperty(kZAFUserIDProperty_AttributeData);
}

bool CZAFUserID::getPhotoImage(std::string& image) const {
    if (getType() != kZAFAttribute_Image)
        return false;
    const std::string data = getData();
    if (data.size() < CZAFKey::kPhotoHeaderSize)
        return false;
    image.assign(data, CZAFKey::kPhotoHeaderSize, std::string::npos);
    return true;
}

void CZAFUserID::certify(CZAFContext* context, const CZAFKey* signer, const std::string& passphrase,
                         const std::string& regularExpression, eSigType sigType,
                         unsigned int trustDepth, unsigned int expirationDays) {
    KEYOBJ_ASSERT(context != nullptr);
    KEYOBJ_ASSERT(signer != nullptr);
    ZAFContextRef c = context->getHandle();
    const bool exportable = sigType != eSigTypeLocal && sigType != eSigTypeMeta;
    check(ZAFCertifyUserID(
        getHandle(), signer->getHandle(), ZAFOPassphrase(c, passphrase.c_str()),
        regularExpression.empty() ? ZAFONullOption(c)
                                  : ZAFORegularExpression(c, regularExpression.c_str()),
        ZAFOExportable(c, exportable ? 1 : 0),
        ZAFOSignatureTrust(c, static_cast<int32_t>(trustDepth), kZAFKeyTrust_Complete),
        ZAFOExpiration(c, static_cast<int32_t>(expirationDays)), ZAFOLastOption()));
}

// ---- signatures ----

CZAFSignature::CZAFSignature(ZAFKeyDBObjRef signature) : CZAFDatabaseObject(signature) {
    requireType(signature, kZAFKeyDBObjType_Signature);
}

CZAFSignature* CZAFSignature::create(ZAFKeyDBObjRef signature) {
    KEYOBJ_ASSERT(signature != nullptr);
    if (getBooleanProperty(signature, kZAFSigProperty_IsX509))
        return new CZAFX509Signature(signature);
    return new CZAFSignature(signature);
}

bool CZAFSignature::isRevoked() const { return getBooleanProperty(kZAFSigProperty_IsRevoked); }
bool CZAFSignature::isTried() const { return getBooleanProperty(kZAFSigProperty_IsTried); }
bool CZAFSignature::isVerified() const { return getBooleanProperty(kZAFSigProperty_IsVerified); }
bool CZAFSignature::hasUnverifiedRevocation() const {
    return getBooleanProperty(kZAFSigProperty_HasUnverifiedRevocation);
}
bool CZAFSignature::isExpired() const { return getBooleanProperty(kZAFSigProperty_IsExpired); }
ZAFPublicKeyAlgorithm CZAFSignature::getAlg() const {
    return static_cast<ZAFPublicKeyAlgorithm>(getNumericProperty(kZAFSigProperty_AlgorithmID));
}
int32_t CZAFSignature::getTrustDepth() const {
    return getNumericProperty(kZAFSigProperty_TrustLevel);
}
CZAFTime CZAFSignature::getCreationTime() const {
    return CZAFTime(getTimeProperty(kZAFSigProperty_Creation), 0);
}
CZAFTime CZAFSignature::getExpirationTime() const {
    return CZAFTime(getTimeProperty(kZAFSigProperty_Expiration), 0);
}

std::string CZAFSignature::getSignerID(bool longForm) const {
    const std::string data = getDataProperty(kZAFSigProperty_KeyID);
    KEYOBJ_ASSERT(data.size() == sizeof(ZAFKeyID));
    ZAFKeyID keyID{};
    std::memcpy(&keyID, data.data(), sizeof keyID);
    return keyIDText(keyID, longForm ? kZAFKeyIDString_Full : kZAFKeyIDString_Abbreviated);
}

std::string CZAFX509Signature::getLongName() const {
    return getDataProperty(kZAFSigProperty_X509LongName);
}

std::string CZAFX509Signature::getIssuerLongName() const {
    return getDataProperty(kZAFSigProperty_X509IssuerLongName);
}

} // namespace oozaf
