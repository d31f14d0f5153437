// nametables: the enumerations that people, configuration files and consoles see as words, with
// one constant table per enumeration and the functions that turn values into words and back.
//
// The tables are constant and the functions keep no state, so any thread may call them. Every
// failed look-up throws (by pointer, allocated with new) the table's CZAFTableLookupError
// subclass from throwable.h; the caller owns it. Text-to-value look-ups compare whole texts,
// ignoring letter case, and the first matching row wins.
#ifndef OOZAF_NAMETABLES_H
#define OOZAF_NAMETABLES_H

#include <oozaf/throwable.h>

#include <cstdint>
#include <string>

namespace oozaf {

// The toolkit's enumerations. Their numbers pass to the toolkit unchanged; the cipher, hash and
// public-key numbers are the algorithm numbers of the RFC 4880 packet format.

enum ZAFValidity : int32_t {
    kZAFValidity_Unknown = 0,
    kZAFValidity_Invalid = 1,
    kZAFValidity_Marginal = 2,
    kZAFValidity_Complete = 3
};

enum ZAFPublicKeyAlgorithm : int32_t {
    kZAFPublicKeyAlgorithm_Invalid = -1,
    kZAFPublicKeyAlgorithm_RSA = 1,
    kZAFPublicKeyAlgorithm_RSAEncryptOnly = 2,
    kZAFPublicKeyAlgorithm_RSASignOnly = 3,
    kZAFPublicKeyAlgorithm_ElGamal = 16,
    kZAFPublicKeyAlgorithm_DSA = 17,
    kZAFPublicKeyAlgorithm_ECEncrypt = 18,
    kZAFPublicKeyAlgorithm_ECSign = 19,
    kZAFPublicKeyAlgorithm_EdDSA = 22
};

enum ZAFKeyVersion : int32_t {
    kZAFKeyVersion_V1 = 1,
    kZAFKeyVersion_V2 = 2,
    kZAFKeyVersion_V3 = 3,
    kZAFKeyVersion_V4 = 4
};

enum ZAFCipherAlgorithm : int32_t {
    kZAFCipherAlgorithm_IDEA = 1,
    kZAFCipherAlgorithm_3DES = 2,
    kZAFCipherAlgorithm_CAST5 = 3,
    kZAFCipherAlgorithm_Blowfish = 4,
    kZAFCipherAlgorithm_AES128 = 7,
    kZAFCipherAlgorithm_AES192 = 8,
    kZAFCipherAlgorithm_AES256 = 9,
    kZAFCipherAlgorithm_Twofish = 10,
    kZAFCipherAlgorithm_Camellia128 = 11,
    kZAFCipherAlgorithm_Camellia192 = 12,
    kZAFCipherAlgorithm_Camellia256 = 13
};

enum ZAFHashAlgorithm : int32_t {
    kZAFHashAlgorithm_MD5 = 1,
    kZAFHashAlgorithm_SHA1 = 2,
    kZAFHashAlgorithm_RIPEMD160 = 3,
    kZAFHashAlgorithm_SHA256 = 8,
    kZAFHashAlgorithm_SHA384 = 9,
    kZAFHashAlgorithm_SHA512 = 10
};

enum ZAFAttributeType : int32_t {
    kZAFAttribute_UserID = 0,
    kZAFAttribute_Image = 1,
    kZAFAttribute_IPAddress = 10,
    kZAFAttribute_DNSName = 11,
    kZAFAttribute_Notation = 20
};

enum ZAFExportFormat : int32_t { kZAFExportFormat_Compatible = 1, kZAFExportFormat_Complete = 255 };

// Key servers (1-3) and certificate authorities (10-14) share one numbering.
enum ZAFKeyServerClass : int32_t {
    kZAFKeyServerClass_ZAF = 1,
    kZAFKeyServerClass_LDAPX509 = 2,
    kZAFKeyServerClass_LDAPZAF = 3,
    kZAFKeyServerClass_Sorrel = 10,
    kZAFKeyServerClass_VeriSign = 11,
    kZAFKeyServerClass_Entrust = 12,
    kZAFKeyServerClass_iPlanet = 13,
    kZAFKeyServerClass_Win2k = 14
};

enum ZAFKeyOrdering : int32_t {
    kZAFKeyOrdering_Any = 1,
    kZAFKeyOrdering_UserID = 2,
    kZAFKeyOrdering_Validity = 4,
    kZAFKeyOrdering_Trust = 5,
    kZAFKeyOrdering_SubKeySize = 6,
    kZAFKeyOrdering_KeySize = 7,
    kZAFKeyOrdering_CreationDate = 8,
    kZAFKeyOrdering_ExpirationDate = 9,
    kZAFKeyOrdering_KeyID = 10
};

// Owner trust levels (an unsigned int in the toolkit's interface).
enum : unsigned int {
    kZAFTrust_Undefined = 0,
    kZAFTrust_Unknown = 1,
    kZAFTrust_Never = 2,
    kZAFTrust_Marginal = 5,
    kZAFTrust_Complete = 6,
    kZAFTrust_Implicit = 7
};

// The library's own enumerations.

// ECC: elliptic-curve key pairs, the size naming the curve: 255 Ed25519 signing with a
// Curve25519 (X25519) encryption subkey; 256, 384, 521 ECDSA with an ECDH subkey on NIST P-256,
// P-384, P-521.
enum eKeyType : int32_t {
    eKeyTypeDHDSS = 1,
    eKeyTypeRSA = 2,
    eKeyTypeRSALegacy = 3,
    eKeyTypeECC = 4
};

enum eSigType : int32_t {
    eSigTypeLocal = 1,
    eSigTypeExportable = 2,
    eSigTypeMeta = 3,
    eSigTypeIntroducer = 4
};

enum eCmdlineVersion : int32_t { eCmdlineVersionLegacy = 1, eCmdlineVersionLong = 2 };

enum eFingerprintView : int32_t { eFingerprintViewHex = 1, eFingerprintViewWords = 2 };

enum eInfoLevel : int32_t {
    eInfoLevelQuiet = 1,
    eInfoLevelNormal = 2,
    eInfoLevelVerbose = 4,
    eInfoLevelDebug = 8
};

// Table rows: a value and one, two or three texts. Rows are searched in array order.
struct SZAFNameRow1 {
    int32_t value;
    const char* name;
};

struct SZAFNameRow2 {
    int32_t value;
    const char* first;
    const char* second;
};

struct SZAFNameRow3 {
    int32_t value;
    const char* first;
    const char* second;
    const char* third;
};

// value, one-character code, full name
extern const SZAFNameRow2 gValidityNames[4];
// value, one-character code, full name, argument word (empty for the two undecided levels)
extern const SZAFNameRow3 gTrustNames[6];
// value, short name, full name
extern const SZAFNameRow2 gAlgNames[9];
// value, short name, full name
extern const SZAFNameRow2 gRSAAlgNames[4];
// value, name, argument word
extern const SZAFNameRow2 gKeyTypeNames[4];
extern const SZAFNameRow1 gCipherNames[11];
extern const SZAFNameRow1 gHashAlgorithms[6];
extern const SZAFNameRow1 gUserIDTypeNames[5];
extern const SZAFNameRow1 gSigTypeNames[4];
extern const SZAFNameRow1 gExportFormats[2];
extern const SZAFNameRow1 gCATypes[5];
extern const SZAFNameRow1 gKeyServerTypes[3];
extern const SZAFNameRow1 gCmdlineVersions[2];
extern const SZAFNameRow1 gFingerprintViews[2];
extern const SZAFNameRow1 gKeyOrderings[9];
extern const SZAFNameRow1 gInfoLevels[4];

// The decimal text of a value.
std::string gEnumToString(unsigned int value);

// Value to text only. `longForm` selects the full name; otherwise the short name or the
// one-character code. Throw the table's error built from the value.
std::string gGetValidityName(ZAFValidity validity, bool longForm); // CZAFNoSuchValidityError
std::string gGetTrustName(unsigned int trust, bool longForm);      // CZAFNoSuchTrustError
std::string gGetAlgName(ZAFPublicKeyAlgorithm alg, bool longForm); // CZAFNoSuchAlgorithmError
std::string gGetRSAAlgName(ZAFKeyVersion version, bool longForm);  // CZAFNoSuchRSAVersionError
std::string gGetUserIDTypeName(ZAFAttributeType type);             // CZAFNoSuchAttributeTypeError

// Trust from its argument word ("none", "marginal", "complete", "implicit"; the empty text gives
// the first level whose word is empty). Throws CZAFNoSuchTrustError built from the text.
unsigned int gTrustFromString(const std::string& text);

// Key types by name ("DH/DSS", "RSA", "RSA-Legacy", "ECC") and by argument word ("DSS", "RSA",
// "RSA-Legacy", "ECC"). CZAFNoSuchKeyTypeError.
std::string gStringFromKeyType(eKeyType type);
eKeyType gKeyTypeFromString(const std::string& text);
std::string gStringFromKeyTypeArg(eKeyType type);
eKeyType gKeyTypeFromStringArg(const std::string& text);

// Pairs over the two-column tables; each throws its table's error (from the value or the text).
std::string gStringFromCipher(ZAFCipherAlgorithm cipher); // CZAFNoSuchCipherError
ZAFCipherAlgorithm gCipherFromString(const std::string& text);
std::string gStringFromSigType(eSigType type); // CZAFNoSuchSigTypeError
eSigType gSigTypeFromString(const std::string& text);
std::string gStringFromExportFormat(ZAFExportFormat format); // CZAFNoSuchExportFormatError
ZAFExportFormat gExportFormatFromString(const std::string& text);
std::string gStringFromCAType(ZAFKeyServerClass type); // CZAFNoSuchCAServerTypeError (gCATypes)
ZAFKeyServerClass gCATypeFromString(const std::string& text);
std::string gStringFromKeyServerType(ZAFKeyServerClass type); // CZAFNoSuchKeyServerTypeError
ZAFKeyServerClass gKeyServerTypeFromString(const std::string& text);
std::string gStringFromCmdlineVersion(eCmdlineVersion version); // CZAFNoSuchCmdlineVersionError
eCmdlineVersion gCmdlineVersionFromString(const std::string& text);
std::string gStringFromFingerprintView(eFingerprintView view); // CZAFNoSuchFingerprintViewError
eFingerprintView gFingerprintViewFromString(const std::string& text);
std::string gStringFromKeyOrdering(ZAFKeyOrdering ordering); // CZAFNoSuchKeyOrderingError
ZAFKeyOrdering gKeyOrderingFromString(const std::string& text);
std::string gStringFromHashAlgorithm(ZAFHashAlgorithm hash); // CZAFNoSuchHashAlgorithmError
ZAFHashAlgorithm gHashAlgorithmFromString(const std::string& text);
std::string gStringFromInfoLevel(eInfoLevel level); // CZAFNoSuchInfoLevelError
eInfoLevel gInfoLevelFromString(const std::string& text);

// "yes" or "no".
std::string gStringFromBool(bool value);
// "yes", "true", "on" give true; "no", "false", "off" give false (ignoring case); anything else
// throws CZAFNoSuchBooleanError built from the text.
bool gBoolFromString(const std::string& text);

} // namespace oozaf

#endif
