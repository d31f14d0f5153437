// keyobjects: wrappers of the four kinds of key database object (keys with their RSA
// specialisation, subkeys, user IDs including photo IDs, signatures with their X.509
// specialisation): property getters and the editing calls the server facade combines.
//
// The wrappers hold their object's handle without owning it (see CZAFDatabaseObject in keydb.h);
// deleting a wrapper frees only the wrapper. Returned pointers are new and owned by the caller.
// Failing toolkit calls throw CZAFSDKException with the toolkit's code; failing property reads
// throw CZAFPropertyAccessError; broken preconditions throw CZAFInternalError.
#ifndef OOZAF_KEYOBJECTS_H
#define OOZAF_KEYOBJECTS_H

#include <oozaf/keydb.h>
#include <oozaf/nametables.h>
#include <oozaf/time.h>

#include <cstdint>
#include <string>
#include <vector>

namespace oozaf {

class CZAFSubKey;
class CZAFUserID;

// A key (a primary key with everything under it).
// Why a key, subkey or certification is revoked (RFC 4880 reason for revocation): a code
// (kZAFRevocationReason_...: 0 none given, 1 superseded, 2 compromised, 3 retired, 32 the user
// ID is no longer valid; 100 to 110 private) and an explanation in UTF-8.
struct SRevocationReason {
    int code = 0;
    std::string text;
    // Whether a reason was given at all (without one a revocation says "none given").
    bool isGiven() const { return code != 0 || !text.empty(); }
};
// Reads a reason code given as a number or a word ("none", "superseded", "compromised",
// "retired", "uid-invalid"; letter case ignored). False for anything else.
bool gRevocationReasonFromString(const std::string& word, int& code);
// The word of a reason code ("none", "superseded", ...), or its number for a private code.
std::string gStringFromRevocationReason(int code);

class CZAFKey : public CZAFDatabaseObject {
public:
    // Size of a photo ID's image header, which precedes the image in the attribute data.
    enum : std::size_t { kPhotoHeaderSize = 16 };

    // A non-key object is an internal error.
    explicit CZAFKey(ZAFKeyDBObjRef key);

    // A new CZAFRSAKey when the key's algorithm is RSA (1, 2 or 3), else a new CZAFKey.
    static CZAFKey* createInstance(ZAFKeyDBObjRef key);

    bool isSecret() const;
    bool isRevoked() const;
    bool isDisabled() const;
    bool isExpired() const;
    bool hasUnverifiedRevocation() const;
    bool canEncrypt() const;
    bool isSecretShared() const;
    bool isRevocable() const;

    ZAFPublicKeyAlgorithm getAlg() const;
    int32_t getSize() const;
    unsigned int getTrust() const;
    ZAFValidity getValidity() const;
    CZAFTime getCreationTime() const;   // never (0) when unset
    CZAFTime getExpirationTime() const; // never (0) when the key does not expire
    // The raw fingerprint bytes (20 for version 4 keys, 16 for legacy keys).
    std::string getFingerprint() const;
    // The first entry of the key's preferred cipher list. A key without one throws
    // CZAFPropertyAccessError for property 403.
    ZAFCipherAlgorithm getCipher() const;

    // A new CZAFUserID for the primary user ID. A key without user IDs throws CZAFSDKException.
    CZAFUserID* getPrimaryUserID() const;
    // The primary user ID's name; "" for a key without user IDs.
    std::string getPrimaryUserIDName() const;

    // The key ID as text: type 1 (kZAFKeyIDString_Abbreviated) "0x" + 8 upper-case hex digits,
    // type 2 (kZAFKeyIDString_Full) "0x" + 16.
    std::string getKeyIDString(int32_t type) const;
    std::string getKeyIDString_Short() const;
    std::string getKeyIDString_Long() const;

    // Short key ID texts of the designated revokers, and of the additional decryption keys, in
    // the toolkit's order.
    std::vector<std::string> getRevokers() const;
    std::vector<std::string> getADKs() const;

    // A new key set holding only this key.
    CZAFKeySet* getNewOneKeySet() const;

    // Key sizes allowed for an algorithm and key version, in bits: ElGamal (16) 1024-4096; RSA
    // (1, 2, 3) 1024-4096 for version 4, 1024-2048 otherwise; ECDH, ECDSA and EdDSA (18, 19,
    // 22) 255-521 (of which 255, 256, 384 and 521 name curves). Other algorithms are an internal
    // error.
    static void getAllowedKeySize(ZAFPublicKeyAlgorithm alg, int32_t keyVersion, uint16_t& minimum,
                                  uint16_t& maximum);
    // The algorithms and sizes of a key type: the signing pair describes the master key, the
    // encryption pair its encryption subkey. Every output is set (0 first):
    //   DH/DSS      encryption 16, version 0, signing 17, encryption size `size`, signing 1024
    //   RSA         encryption 1,  version 4, signing 1,  both sizes `size`
    //   RSA-Legacy  encryption 1,  version 3, signing 1,  both sizes `size`
    //   ECC         encryption 18, version 4, signing 22 (size 255: Ed25519 with an X25519
    //               subkey) or 19 (256, 384, 521: ECDSA with an ECDH subkey on that NIST
    //               curve), both sizes `size`
    // Another key type is an internal error.
    static void getSigEncAlgFromKeyType(eKeyType keyType, unsigned int size,
                                        ZAFPublicKeyAlgorithm& encryptionAlg, int32_t& keyVersion,
                                        ZAFPublicKeyAlgorithm& signingAlg,
                                        unsigned int& encryptionSize, unsigned int& signingSize);
    // What generateKeyPair makes of a key type and size, in words for people, for example
    // "a 1024-bit DSA key with a 2048-bit ElGamal encryption subkey" or "an Ed25519 key with a
    // Curve25519 encryption subkey" (without the subkey when `signOnly`).
    static std::string describeKeyPair(eKeyType keyType, unsigned int size, bool signOnly);
    // The preferred cipher list a new key gets: IDEA, 3DES, CAST5, AES128, AES192, AES256,
    // Twofish, Blowfish, with `cipher` swapped into first place when it is in the list.
    static std::vector<int32_t> getPreferredCipherList(ZAFCipherAlgorithm cipher);

    // Generates a key pair (master key only; generateSubkey adds the encryption subkey) into
    // `keyDB` and returns it as a new key. `adkKeySet` (used when `withADK`) names additional
    // decryption keys, enforced when `adkEnforced`. `expirationDays` 0 never expires.
    static CZAFKey* generateKey(CZAFContext& context, CZAFKeyDB& keyDB,
                                const std::string& userIDName, const std::string& passphrase,
                                eKeyType keyType, ZAFCipherAlgorithm preferredCipher,
                                unsigned int size, bool withADK, const CZAFKeySet* adkKeySet,
                                bool adkEnforced, unsigned int expirationDays, bool fastGeneration);
    // Generates a subkey of `alg` (16 ElGamal, 1 RSA) for this key, created at `startTime` (which
    // must not be never) and expiring `expirationDays` after it (0 never). RSA subkeys need a
    // version 4 RSA master key. Returns the new subkey.
    CZAFSubKey* generateSubkey(CZAFContext& context, ZAFPublicKeyAlgorithm alg, unsigned int size,
                               const CZAFTime& startTime, unsigned int expirationDays,
                               bool fastGeneration, const std::string& passphrase);

    // Writes this key alone to `path` (see CZAFKeySet::exportToFile).
    void exportToFile(CZAFContext& context, const std::string& path, bool withPrivate, bool armor,
                      ZAFExportFormat format) const;

    // The first photo user ID (attribute type 1) as a new CZAFUserID, or null when the key has
    // none. Its data may still be too short to hold an image: see CZAFUserID::getPhotoImage.
    CZAFUserID* getPhotoID() const;

    // Adds a self-signed user ID. `options` (may be null) is a toolkit option list (it holds the
    // passphrase) that the call consumes.
    void addUserID(CZAFContext& context, const std::string& name, ZAFOptionListRef options);
    // Removes the user ID from this key (written on flush), deletes `*userID` and sets it to
    // null. A null user ID, or an object that is not a user ID, is an internal error.
    void removeUserID(CZAFUserID*& userID);
    // Revokes this key by `revoker` (the key itself or a designated revoker). A wrong passphrase
    // throws CZAFSDKException with kZAFError_BadPassphrase and changes nothing; a null revoker
    // is an internal error. `reason` (may be null) goes into the revocation.
    void revoke(CZAFContext& context, const CZAFKey* revoker, const std::string& passphrase,
                const SRevocationReason* reason = nullptr);
    // True when both keys have the same long key ID text. A null key is an internal error.
    bool sameAs(const CZAFKey* other) const;

    // One string per fingerprint byte: two upper-case hex digits (Hex), or a word (Words) from
    // the even list for bytes at even positions and from the odd list for the others. Another
    // view logs an error and is an internal error.
    static void formatFingerprint(const std::string& fingerprint, eFingerprintView view,
                                  std::vector<std::string>& out);
};

// A key whose algorithm is RSA.
class CZAFRSAKey : public CZAFKey {
public:
    explicit CZAFRSAKey(ZAFKeyDBObjRef key) : CZAFKey(key) {}
    // The key packet version: 3 (legacy) or 4.
    ZAFKeyVersion getVersion() const;
};

class CZAFSubKey : public CZAFDatabaseObject {
public:
    // A non-subkey object is an internal error.
    explicit CZAFSubKey(ZAFKeyDBObjRef subKey);

    bool isRevoked() const;
    bool isExpired() const;
    bool hasUnverifiedRevocation() const;
    ZAFPublicKeyAlgorithm getAlg() const;
    int32_t getSize() const;
    // What its binding grants (kZAFSubKeyProperty_Usage bits: 0x02 signing, 0x0C encryption).
    int32_t getUsage() const;
    CZAFTime getCreationTime() const;
    CZAFTime getExpirationTime() const;

    std::string getSubkeyIDString(int32_t type) const;
    std::string getSubkeyIDString_Short() const;
    std::string getSubkeyIDString_Long() const;
};

// A user ID or a user attribute (a photo ID when its type is 1).
class CZAFUserID : public CZAFDatabaseObject {
public:
    // A non-user-ID object is an internal error.
    explicit CZAFUserID(ZAFKeyDBObjRef userID);

    // The attribute type: 0 for a plain user ID, 1 for a photo.
    ZAFAttributeType getType() const;
    // "photograph" for a photo ID, else the user ID text.
    std::string getName() const;
    // The attribute data (for a photo ID, the image header and the image).
    std::string getData() const;
    // For a photo ID whose data holds at least the image header: the image after the header
    // (empty when the data is exactly the header) and true. False for anything else, including
    // photo data too short to hold the header.
    bool getPhotoImage(std::string& image) const;

    // Certifies this user ID with `signer`: exportable unless `sigType` is Local or Meta, a trust
    // signature of `trustDepth` (amount complete) when the depth is above 0, limited by
    // `regularExpression` when it is not empty, expiring after `expirationDays` (0 never).
    void certify(CZAFContext* context, const CZAFKey* signer, const std::string& passphrase,
                 const std::string& regularExpression, eSigType sigType, unsigned int trustDepth,
                 unsigned int expirationDays);
};

class CZAFSignature : public CZAFDatabaseObject {
public:
    // A non-signature object is an internal error.
    explicit CZAFSignature(ZAFKeyDBObjRef signature);

    // A new CZAFX509Signature for an X.509 signature, else a new CZAFSignature.
    static CZAFSignature* create(ZAFKeyDBObjRef signature);

    bool isRevoked() const;
    bool isTried() const;
    bool isVerified() const;
    bool hasUnverifiedRevocation() const;
    bool isExpired() const;
    ZAFPublicKeyAlgorithm getAlg() const;
    int32_t getTrustDepth() const;
    CZAFTime getCreationTime() const;
    CZAFTime getExpirationTime() const;
    // The signer's key ID text, long (16 hex digits) when `longForm`, else short. A signature
    // without an issuer throws CZAFPropertyAccessError for property 1600.
    std::string getSignerID(bool longForm) const;
};

class CZAFX509Signature : public CZAFSignature {
public:
    explicit CZAFX509Signature(ZAFKeyDBObjRef signature) : CZAFSignature(signature) {}
    std::string getLongName() const;
    std::string getIssuerLongName() const;
};

// The fingerprint word lists: 256 distinct words each, at most 10 characters in the even list
// and 12 in the odd list.
extern const char* const gHashWordListEven[256];
extern const char* const gHashWordListOdd[256];

} // namespace oozaf

#endif
