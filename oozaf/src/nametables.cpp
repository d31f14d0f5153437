// nametables: the enumeration name tables and their look-ups.
#include "nametables_internal.h"

#include <oozaf/nametables.h>

#include <cstddef>
#include <string>

namespace oozaf {

const SZAFNameRow2 gValidityNames[4] = {
    {kZAFValidity_Unknown, "?", "Unknown"},
    {kZAFValidity_Invalid, "-", "Invalid"},
    {kZAFValidity_Marginal, "v", "Marginal"},
    {kZAFValidity_Complete, "V", "Valid"},
};

const SZAFNameRow3 gTrustNames[6] = {
    {kZAFTrust_Undefined, "~", "Undefined", ""},
    {kZAFTrust_Unknown, "?", "Unknown", ""},
    {kZAFTrust_Never, "-", "Never", "none"},
    {kZAFTrust_Marginal, "t", "Marginal", "marginal"},
    {kZAFTrust_Complete, "T", "Complete", "complete"},
    {kZAFTrust_Implicit, "I", "Implicit", "implicit"},
};

const SZAFNameRow2 gAlgNames[9] = {
    {kZAFPublicKeyAlgorithm_RSA, "RSA", "RSA"},
    {kZAFPublicKeyAlgorithm_RSAEncryptOnly, "RSAe", "RSA Encrypt Only"},
    {kZAFPublicKeyAlgorithm_RSASignOnly, "RSAs", "RSA Sign Only"},
    {kZAFPublicKeyAlgorithm_ElGamal, "DSS", "DH/DSS"},
    {kZAFPublicKeyAlgorithm_DSA, "DSS", "DH/DSS"},
    {kZAFPublicKeyAlgorithm_ECEncrypt, "ECe", "EC Encrypt"},
    {kZAFPublicKeyAlgorithm_ECSign, "ECs", "EC Sign"},
    {kZAFPublicKeyAlgorithm_EdDSA, "EdDSA", "EdDSA"},
    {kZAFPublicKeyAlgorithm_Invalid, "---", "Invalid"},
};

const SZAFNameRow2 gRSAAlgNames[4] = {
    {kZAFKeyVersion_V1, "RSA1", "RSA Legacy (v1)"},
    {kZAFKeyVersion_V2, "RSA2", "RSA Legacy (v2)"},
    {kZAFKeyVersion_V3, "RSA3", "RSA Legacy (v3)"},
    {kZAFKeyVersion_V4, "RSA4", "RSA"},
};

const SZAFNameRow2 gKeyTypeNames[4] = {
    {eKeyTypeDHDSS, "DH/DSS", "DSS"},
    {eKeyTypeRSA, "RSA", "RSA"},
    {eKeyTypeRSALegacy, "RSA-Legacy", "RSA-Legacy"},
    {eKeyTypeECC, "ECC", "ECC"},
};

const SZAFNameRow1 gCipherNames[11] = {
    {kZAFCipherAlgorithm_CAST5, "CAST5"},
    {kZAFCipherAlgorithm_Blowfish, "Blowfish"},
    {kZAFCipherAlgorithm_3DES, "3DES"},
    {kZAFCipherAlgorithm_Twofish, "Twofish"},
    {kZAFCipherAlgorithm_AES128, "AES128"},
    {kZAFCipherAlgorithm_AES192, "AES192"},
    {kZAFCipherAlgorithm_AES256, "AES256"},
    {kZAFCipherAlgorithm_IDEA, "IDEA"},
    {kZAFCipherAlgorithm_Camellia128, "Camellia128"},
    {kZAFCipherAlgorithm_Camellia192, "Camellia192"},
    {kZAFCipherAlgorithm_Camellia256, "Camellia256"},
};

const SZAFNameRow1 gHashAlgorithms[6] = {
    {kZAFHashAlgorithm_MD5, "MD5"},
    {kZAFHashAlgorithm_SHA1, "SHA1"},
    {kZAFHashAlgorithm_RIPEMD160, "RIPEMD160"},
    {kZAFHashAlgorithm_SHA256, "SHA256"},
    {kZAFHashAlgorithm_SHA384, "SHA384"},
    {kZAFHashAlgorithm_SHA512, "SHA512"},
};

const SZAFNameRow1 gUserIDTypeNames[5] = {
    {kZAFAttribute_UserID, "User ID"},       {kZAFAttribute_Image, "image"},
    {kZAFAttribute_IPAddress, "IP address"}, {kZAFAttribute_DNSName, "DNS name"},
    {kZAFAttribute_Notation, "notation"},
};

const SZAFNameRow1 gSigTypeNames[4] = {
    {eSigTypeLocal, "Local"},
    {eSigTypeExportable, "Exportable"},
    {eSigTypeMeta, "Meta"},
    {eSigTypeIntroducer, "Introducer"},
};

const SZAFNameRow1 gExportFormats[2] = {
    {kZAFExportFormat_Compatible, "Compatible"},
    {kZAFExportFormat_Complete, "Complete"},
};

const SZAFNameRow1 gCATypes[5] = {
    {kZAFKeyServerClass_Sorrel, "Sorrel"},   {kZAFKeyServerClass_VeriSign, "VeriSign"},
    {kZAFKeyServerClass_Entrust, "Entrust"}, {kZAFKeyServerClass_iPlanet, "iPlanet"},
    {kZAFKeyServerClass_Win2k, "Win2k"},
};

const SZAFNameRow1 gKeyServerTypes[3] = {
    {kZAFKeyServerClass_ZAF, "ZAF"},
    {kZAFKeyServerClass_LDAPX509, "LDAPX509"},
    {kZAFKeyServerClass_LDAPZAF, "LDAPZAF"},
};

const SZAFNameRow1 gCmdlineVersions[2] = {
    {eCmdlineVersionLegacy, "legacy"},
    {eCmdlineVersionLong, "long"},
};

const SZAFNameRow1 gFingerprintViews[2] = {
    {eFingerprintViewHex, "Hex"},
    {eFingerprintViewWords, "Words"},
};

const SZAFNameRow1 gKeyOrderings[9] = {
    {kZAFKeyOrdering_Any, "None"},
    {kZAFKeyOrdering_KeySize, "KeySize"},
    {kZAFKeyOrdering_SubKeySize, "SubKeySize"},
    {kZAFKeyOrdering_KeyID, "KeyID"},
    {kZAFKeyOrdering_UserID, "UserID"},
    {kZAFKeyOrdering_Validity, "Validity"},
    {kZAFKeyOrdering_Trust, "Trust"},
    {kZAFKeyOrdering_ExpirationDate, "Expiration"},
    {kZAFKeyOrdering_CreationDate, "Creation"},
};

const SZAFNameRow1 gInfoLevels[4] = {
    {eInfoLevelQuiet, "Quiet"},
    {eInfoLevelNormal, "Normal"},
    {eInfoLevelVerbose, "Verbose"},
    {eInfoLevelDebug, "Debug"},
};

namespace {

// The first row holding `value`, or null.
template <class Row, std::size_t N> const Row* findValue(const Row (&rows)[N], long value) {
    for (const Row& row : rows)
        if (row.value == value)
            return &row;
    return nullptr;
}

// The first row whose `column` equals `text` ignoring case, or null.
template <class Row, std::size_t N>
const Row* findText(const Row (&rows)[N], const char* Row::*column, const std::string& text) {
    for (const Row& row : rows)
        if (row.*column != nullptr && gEqualsIgnoreCase(row.*column, text))
            return &row;
    return nullptr;
}

template <class Error, class Row, std::size_t N>
std::string textOf(const Row (&rows)[N], const char* Row::*column, long value) {
    const Row* row = findValue(rows, value);
    if (row == nullptr)
        throw new Error(value);
    return row->*column;
}

template <class Error, class Result, class Row, std::size_t N>
Result valueOf(const Row (&rows)[N], const char* Row::*column, const std::string& text) {
    const Row* row = findText(rows, column, text);
    if (row == nullptr)
        throw new Error(text);
    return static_cast<Result>(row->value);
}

} // namespace

// Letter case is folded for ASCII letters only, as the C locale does; bytes above 0x7F are
// compared unchanged (never passed to tolower as negative chars).
bool gEqualsIgnoreCase(const char* a, const std::string& b) {
    std::size_t i = 0;
    for (; i < b.size(); ++i) {
        if (a[i] == '\0' || gFoldCase(a[i]) != gFoldCase(b[i]))
            return false;
    }
    return a[i] == '\0';
}

std::string gEnumToString(unsigned int value) { return std::to_string(value); }

std::string gGetValidityName(ZAFValidity validity, bool longForm) {
    return textOf<CZAFNoSuchValidityError>(
        gValidityNames, longForm ? &SZAFNameRow2::second : &SZAFNameRow2::first, validity);
}

std::string gGetTrustName(unsigned int trust, bool longForm) {
    // Widened without a sign change, so a huge level neither matches a row nor prints negative.
    return textOf<CZAFNoSuchTrustError>(gTrustNames,
                                        longForm ? &SZAFNameRow3::second : &SZAFNameRow3::first,
                                        static_cast<long>(trust));
}

unsigned int gTrustFromString(const std::string& text) {
    return valueOf<CZAFNoSuchTrustError, unsigned int>(gTrustNames, &SZAFNameRow3::third, text);
}

std::string gGetAlgName(ZAFPublicKeyAlgorithm alg, bool longForm) {
    return textOf<CZAFNoSuchAlgorithmError>(
        gAlgNames, longForm ? &SZAFNameRow2::second : &SZAFNameRow2::first, alg);
}

std::string gGetRSAAlgName(ZAFKeyVersion version, bool longForm) {
    return textOf<CZAFNoSuchRSAVersionError>(
        gRSAAlgNames, longForm ? &SZAFNameRow2::second : &SZAFNameRow2::first, version);
}

std::string gGetUserIDTypeName(ZAFAttributeType type) {
    return textOf<CZAFNoSuchAttributeTypeError>(gUserIDTypeNames, &SZAFNameRow1::name, type);
}

std::string gStringFromKeyType(eKeyType type) {
    return textOf<CZAFNoSuchKeyTypeError>(gKeyTypeNames, &SZAFNameRow2::first, type);
}

eKeyType gKeyTypeFromString(const std::string& text) {
    return valueOf<CZAFNoSuchKeyTypeError, eKeyType>(gKeyTypeNames, &SZAFNameRow2::first, text);
}

std::string gStringFromKeyTypeArg(eKeyType type) {
    return textOf<CZAFNoSuchKeyTypeError>(gKeyTypeNames, &SZAFNameRow2::second, type);
}

eKeyType gKeyTypeFromStringArg(const std::string& text) {
    return valueOf<CZAFNoSuchKeyTypeError, eKeyType>(gKeyTypeNames, &SZAFNameRow2::second, text);
}

// The two-column tables all follow one pattern.
#define OOZAF_NAME_PAIR(toText, fromText, Enum, table, Error)                                      \
    std::string toText(Enum value) { return textOf<Error>(table, &SZAFNameRow1::name, value); }    \
    Enum fromText(const std::string& text) {                                                       \
        return valueOf<Error, Enum>(table, &SZAFNameRow1::name, text);                             \
    }

OOZAF_NAME_PAIR(gStringFromCipher, gCipherFromString, ZAFCipherAlgorithm, gCipherNames,
                CZAFNoSuchCipherError)
OOZAF_NAME_PAIR(gStringFromSigType, gSigTypeFromString, eSigType, gSigTypeNames,
                CZAFNoSuchSigTypeError)
OOZAF_NAME_PAIR(gStringFromExportFormat, gExportFormatFromString, ZAFExportFormat, gExportFormats,
                CZAFNoSuchExportFormatError)
OOZAF_NAME_PAIR(gStringFromCAType, gCATypeFromString, ZAFKeyServerClass, gCATypes,
                CZAFNoSuchCAServerTypeError)
OOZAF_NAME_PAIR(gStringFromKeyServerType, gKeyServerTypeFromString, ZAFKeyServerClass,
                gKeyServerTypes, CZAFNoSuchKeyServerTypeError)
OOZAF_NAME_PAIR(gStringFromCmdlineVersion, gCmdlineVersionFromString, eCmdlineVersion,
                gCmdlineVersions, CZAFNoSuchCmdlineVersionError)
OOZAF_NAME_PAIR(gStringFromFingerprintView, gFingerprintViewFromString, eFingerprintView,
                gFingerprintViews, CZAFNoSuchFingerprintViewError)
OOZAF_NAME_PAIR(gStringFromKeyOrdering, gKeyOrderingFromString, ZAFKeyOrdering, gKeyOrderings,
                CZAFNoSuchKeyOrderingError)
OOZAF_NAME_PAIR(gStringFromHashAlgorithm, gHashAlgorithmFromString, ZAFHashAlgorithm,
                gHashAlgorithms, CZAFNoSuchHashAlgorithmError)
OOZAF_NAME_PAIR(gStringFromInfoLevel, gInfoLevelFromString, eInfoLevel, gInfoLevels,
                CZAFNoSuchInfoLevelError)

#undef OOZAF_NAME_PAIR

std::string gStringFromBool(bool value) { return value ? "yes" : "no"; }

bool gBoolFromString(const std::string& text) {
    for (const char* word : {"yes", "true", "on"})
        if (gEqualsIgnoreCase(word, text))
            return true;
    for (const char* word : {"no", "false", "off"})
        if (gEqualsIgnoreCase(word, text))
            return false;
    throw new CZAFNoSuchBooleanError(text);
}

} // namespace oozaf
