// Tests of the enumeration name tables: case-insensitive whole-text look-ups, column choice,
// first-row-wins order and the lookup errors with their exact messages.
#include "expect_throw.h"

#include <oozaf/nametables.h>

#include <cctype>
#include <functional>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <vector>

using namespace oozaf;

namespace {

std::string lookupMessage(const std::string& value, const std::string& table) {
    return "Table look-up failure: Value '" + value + "' does not exist in table '" + table + "'";
}

// Runs `f`, which must throw the lookup error E, and checks the value and table it names.
template <class E, class F>
void expectLookupFailure(F&& f, const std::string& value, const std::string& table) {
    auto e = expectThrow<E>(std::forward<F>(f));
    ASSERT_TRUE(e);
    EXPECT_EQ(lookupMessage(value, table), e->getMessage());
    EXPECT_EQ(value, e->getValue());
    EXPECT_EQ(eReasonNone, e->getReason());
    EXPECT_EQ(nullptr, e->getRoot());
}

} // namespace

TEST(NameTables, CipherLookupIgnoresCaseButMatchesWholeText) {
    EXPECT_EQ(kZAFCipherAlgorithm_AES256, gCipherFromString("aes256"));
    EXPECT_EQ(kZAFCipherAlgorithm_AES256, gCipherFromString("AES256"));
    EXPECT_EQ(kZAFCipherAlgorithm_AES256, gCipherFromString("Aes256"));
    EXPECT_EQ(kZAFCipherAlgorithm_3DES, gCipherFromString("3des"));

    expectLookupFailure<CZAFNoSuchCipherError>([] { gCipherFromString("AES-256"); }, "AES-256",
                                               "Cipher Algorithm");
    for (const std::string text : {"", "AES", "AES2561", " AES256", "AES256 ", "aes256\n"})
        expectLookupFailure<CZAFNoSuchCipherError>([&] { gCipherFromString(text); }, text,
                                                   "Cipher Algorithm");
    const std::string withNul("AES256\0", 7);
    expectLookupFailure<CZAFNoSuchCipherError>([&] { gCipherFromString(withNul); }, withNul,
                                               "Cipher Algorithm");
}

TEST(NameTables, OnlyAsciiLettersFoldCase) {
    // 0xC1 and 0xE1 are upper and lower A-acute in Latin-1; they must neither crash the folding
    // (negative chars) nor be taken for ASCII letters.
    expectLookupFailure<CZAFNoSuchCipherError>(
        [] {
            gCipherFromString("\xC1"
                              "ES256");
        },
        "\xC1"
        "ES256",
        "Cipher Algorithm");
    expectLookupFailure<CZAFNoSuchBooleanError>([] { gBoolFromString("\xFFyes"); }, "\xFFyes",
                                                "Boolean");
    // '@' and '`' sit just outside the letter ranges.
    expectLookupFailure<CZAFNoSuchCipherError>([] { gCipherFromString("`ES256"); }, "`ES256",
                                               "Cipher Algorithm");
}

TEST(NameTables, TrustReadsOnlyArgumentWordsAndWritesCodesOrNames) {
    EXPECT_EQ(kZAFTrust_Marginal, gTrustFromString("marginal"));
    EXPECT_EQ(kZAFTrust_Never, gTrustFromString("NONE"));
    EXPECT_EQ(kZAFTrust_Implicit, gTrustFromString("Implicit"));
    // Two levels have an empty word; the first row wins.
    EXPECT_EQ(kZAFTrust_Undefined, gTrustFromString(""));
    expectLookupFailure<CZAFNoSuchTrustError>([] { gTrustFromString("Undefined"); }, "Undefined",
                                              "Trust Level");
    expectLookupFailure<CZAFNoSuchTrustError>([] { gTrustFromString("T"); }, "T", "Trust Level");

    EXPECT_EQ("Complete", gGetTrustName(kZAFTrust_Complete, true));
    EXPECT_EQ("T", gGetTrustName(kZAFTrust_Complete, false));
    EXPECT_EQ("~", gGetTrustName(kZAFTrust_Undefined, false));
    expectLookupFailure<CZAFNoSuchTrustError>([] { gGetTrustName(3, true); }, "3", "Trust Level");
    expectLookupFailure<CZAFNoSuchTrustError>([] { gGetTrustName(4294967295u, false); },
                                              "4294967295", "Trust Level");
}

TEST(NameTables, KeyTypeNameAndArgumentWordAreSeparateColumns) {
    EXPECT_EQ(eKeyTypeDHDSS, gKeyTypeFromStringArg("dss"));
    expectLookupFailure<CZAFNoSuchKeyTypeError>([] { gKeyTypeFromString("dss"); }, "dss",
                                                "Key Type");
    EXPECT_EQ(eKeyTypeDHDSS, gKeyTypeFromString("dh/dss"));
    expectLookupFailure<CZAFNoSuchKeyTypeError>([] { gKeyTypeFromStringArg("DH/DSS"); }, "DH/DSS",
                                                "Key Type");
    EXPECT_EQ("DSS", gStringFromKeyTypeArg(eKeyTypeDHDSS));
    EXPECT_EQ("DH/DSS", gStringFromKeyType(eKeyTypeDHDSS));
    EXPECT_EQ(eKeyTypeRSALegacy, gKeyTypeFromStringArg("rsa-legacy"));
    EXPECT_EQ("RSA-Legacy", gStringFromKeyType(eKeyTypeRSALegacy));
    expectLookupFailure<CZAFNoSuchKeyTypeError>(
        [] { gStringFromKeyTypeArg(static_cast<eKeyType>(0)); }, "0", "Key Type");
}

TEST(NameTables, ShortAndLongFormsOfValueOnlyTables) {
    EXPECT_EQ("DSS", gGetAlgName(kZAFPublicKeyAlgorithm_DSA, false));
    EXPECT_EQ("DH/DSS", gGetAlgName(kZAFPublicKeyAlgorithm_DSA, true));
    EXPECT_EQ("DSS", gGetAlgName(kZAFPublicKeyAlgorithm_ElGamal, false));
    EXPECT_EQ("---", gGetAlgName(kZAFPublicKeyAlgorithm_Invalid, false));
    EXPECT_EQ("Invalid", gGetAlgName(kZAFPublicKeyAlgorithm_Invalid, true));
    EXPECT_EQ("RSA Sign Only", gGetAlgName(kZAFPublicKeyAlgorithm_RSASignOnly, true));
    expectLookupFailure<CZAFNoSuchAlgorithmError>(
        [] { gGetAlgName(static_cast<ZAFPublicKeyAlgorithm>(20), true); }, "20",
        "Public-Key Algorithm");
    expectLookupFailure<CZAFNoSuchAlgorithmError>(
        [] { gGetAlgName(static_cast<ZAFPublicKeyAlgorithm>(-2), false); }, "-2",
        "Public-Key Algorithm");

    EXPECT_EQ("v", gGetValidityName(kZAFValidity_Marginal, false));
    EXPECT_EQ("Valid", gGetValidityName(kZAFValidity_Complete, true));
    EXPECT_EQ("?", gGetValidityName(kZAFValidity_Unknown, false));
    expectLookupFailure<CZAFNoSuchValidityError>(
        [] { gGetValidityName(static_cast<ZAFValidity>(4), true); }, "4", "Key Validity");

    EXPECT_EQ("RSA4", gGetRSAAlgName(kZAFKeyVersion_V4, false));
    EXPECT_EQ("RSA", gGetRSAAlgName(kZAFKeyVersion_V4, true));
    EXPECT_EQ("RSA Legacy (v3)", gGetRSAAlgName(kZAFKeyVersion_V3, true));
    expectLookupFailure<CZAFNoSuchRSAVersionError>(
        [] { gGetRSAAlgName(static_cast<ZAFKeyVersion>(0), false); }, "0", "RSA Version");

    EXPECT_EQ("image", gGetUserIDTypeName(kZAFAttribute_Image));
    EXPECT_EQ("User ID", gGetUserIDTypeName(kZAFAttribute_UserID));
    expectLookupFailure<CZAFNoSuchAttributeTypeError>(
        [] { gGetUserIDTypeName(static_cast<ZAFAttributeType>(2)); }, "2", "Attribute");
}

TEST(NameTables, BooleanWords) {
    for (const char* word : {"yes", "ON", "True", "tRuE", "On"})
        EXPECT_TRUE(gBoolFromString(word)) << word;
    for (const char* word : {"no", "OFF", "False", "nO"})
        EXPECT_FALSE(gBoolFromString(word)) << word;
    for (const char* word : {"0", "1", "", "y", "yes ", "enabled"})
        expectLookupFailure<CZAFNoSuchBooleanError>([&] { gBoolFromString(word); }, word,
                                                    "Boolean");
    EXPECT_EQ("yes", gStringFromBool(true));
    EXPECT_EQ("no", gStringFromBool(false));
}

TEST(NameTables, CAAndKeyServerClassesUseTheirOwnTables) {
    // Both share one numbering in the toolkit, but each function sees only its own table.
    EXPECT_EQ(kZAFKeyServerClass_VeriSign, gCATypeFromString("verisign"));
    EXPECT_EQ(kZAFKeyServerClass_LDAPZAF, gKeyServerTypeFromString("ldapzaf"));
    expectLookupFailure<CZAFNoSuchCAServerTypeError>([] { gCATypeFromString("ZAF"); }, "ZAF",
                                                     "CA Key-Server Type");
    expectLookupFailure<CZAFNoSuchKeyServerTypeError>([] { gKeyServerTypeFromString("Entrust"); },
                                                      "Entrust", "Key-Server Type");
    expectLookupFailure<CZAFNoSuchCAServerTypeError>(
        [] { gStringFromCAType(kZAFKeyServerClass_ZAF); }, "1", "CA Key-Server Type");
    expectLookupFailure<CZAFNoSuchKeyServerTypeError>(
        [] { gStringFromKeyServerType(kZAFKeyServerClass_Win2k); }, "14", "Key-Server Type");
}

TEST(NameTables, ValueToTextPicksTheRightRow) {
    EXPECT_EQ("Complete", gStringFromExportFormat(kZAFExportFormat_Complete));
    EXPECT_EQ("Twofish", gStringFromCipher(kZAFCipherAlgorithm_Twofish));
    EXPECT_EQ("Expiration", gStringFromKeyOrdering(kZAFKeyOrdering_ExpirationDate));
    EXPECT_EQ(kZAFKeyOrdering_Any, gKeyOrderingFromString("none"));
    EXPECT_EQ("Debug", gStringFromInfoLevel(eInfoLevelDebug));
    EXPECT_EQ("long", gStringFromCmdlineVersion(eCmdlineVersionLong));
    EXPECT_EQ(eSigTypeIntroducer, gSigTypeFromString("INTRODUCER"));
    EXPECT_EQ(kZAFHashAlgorithm_RIPEMD160, gHashAlgorithmFromString("ripemd160"));
    EXPECT_EQ(eFingerprintViewWords, gFingerprintViewFromString("words"));
    EXPECT_EQ("9", gEnumToString(9));
    EXPECT_EQ("4294967295", gEnumToString(4294967295u));
}

// Every two-way table turns each of its names into a value and back into the same name, and
// reports an unknown value and an unknown text with its own error class and title.
TEST(NameTables, EveryTwoWayTableRoundTripsAndNamesItself) {
    struct Case {
        const char* title;
        std::vector<SZAFNameRow1> rows;
        std::function<int(const std::string&)> fromText;
        std::function<std::string(int)> toText;
        std::function<bool(CZAFThrowable*)> isOwnError;
    };
    auto rows = [](const auto& table) {
        return std::vector<SZAFNameRow1>(std::begin(table), std::end(table));
    };
    auto isA = [](auto* typed) {
        return [](CZAFThrowable* e) { return dynamic_cast<decltype(typed)>(e) != nullptr; };
    };
    std::vector<Case> cases = {
        {"Cipher Algorithm", rows(gCipherNames), [](auto& t) { return gCipherFromString(t); },
         [](int v) { return gStringFromCipher(static_cast<ZAFCipherAlgorithm>(v)); },
         isA(static_cast<CZAFNoSuchCipherError*>(nullptr))},
        {"Hash Algorithm", rows(gHashAlgorithms),
         [](auto& t) { return gHashAlgorithmFromString(t); },
         [](int v) { return gStringFromHashAlgorithm(static_cast<ZAFHashAlgorithm>(v)); },
         isA(static_cast<CZAFNoSuchHashAlgorithmError*>(nullptr))},
        {"Signature Type", rows(gSigTypeNames), [](auto& t) { return gSigTypeFromString(t); },
         [](int v) { return gStringFromSigType(static_cast<eSigType>(v)); },
         isA(static_cast<CZAFNoSuchSigTypeError*>(nullptr))},
        {"Export Format", rows(gExportFormats), [](auto& t) { return gExportFormatFromString(t); },
         [](int v) { return gStringFromExportFormat(static_cast<ZAFExportFormat>(v)); },
         isA(static_cast<CZAFNoSuchExportFormatError*>(nullptr))},
        {"CA Key-Server Type", rows(gCATypes), [](auto& t) { return gCATypeFromString(t); },
         [](int v) { return gStringFromCAType(static_cast<ZAFKeyServerClass>(v)); },
         isA(static_cast<CZAFNoSuchCAServerTypeError*>(nullptr))},
        {"Key-Server Type", rows(gKeyServerTypes),
         [](auto& t) { return gKeyServerTypeFromString(t); },
         [](int v) { return gStringFromKeyServerType(static_cast<ZAFKeyServerClass>(v)); },
         isA(static_cast<CZAFNoSuchKeyServerTypeError*>(nullptr))},
        {"Command-Line Version", rows(gCmdlineVersions),
         [](auto& t) { return gCmdlineVersionFromString(t); },
         [](int v) { return gStringFromCmdlineVersion(static_cast<eCmdlineVersion>(v)); },
         isA(static_cast<CZAFNoSuchCmdlineVersionError*>(nullptr))},
        {"Fingerprint View", rows(gFingerprintViews),
         [](auto& t) { return gFingerprintViewFromString(t); },
         [](int v) { return gStringFromFingerprintView(static_cast<eFingerprintView>(v)); },
         isA(static_cast<CZAFNoSuchFingerprintViewError*>(nullptr))},
        {"Key Ordering Type", rows(gKeyOrderings),
         [](auto& t) { return gKeyOrderingFromString(t); },
         [](int v) { return gStringFromKeyOrdering(static_cast<ZAFKeyOrdering>(v)); },
         isA(static_cast<CZAFNoSuchKeyOrderingError*>(nullptr))},
        {"Info Level", rows(gInfoLevels), [](auto& t) { return gInfoLevelFromString(t); },
         [](int v) { return gStringFromInfoLevel(static_cast<eInfoLevel>(v)); },
         isA(static_cast<CZAFNoSuchInfoLevelError*>(nullptr))},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title);
        for (const SZAFNameRow1& row : c.rows) {
            std::string upper = row.name;
            for (char& ch : upper)
                ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
            EXPECT_EQ(row.value, c.fromText(upper));
            EXPECT_EQ(row.name, c.toText(row.value));
        }
        auto byText = expectThrow<CZAFTableLookupError>([&] { c.fromText("no such name"); });
        ASSERT_TRUE(byText);
        EXPECT_TRUE(c.isOwnError(byText.get()));
        EXPECT_EQ(lookupMessage("no such name", c.title), byText->getMessage());
        auto byValue = expectThrow<CZAFTableLookupError>([&] { c.toText(-7); });
        ASSERT_TRUE(byValue);
        EXPECT_TRUE(c.isOwnError(byValue.get()));
        EXPECT_EQ(lookupMessage("-7", c.title), byValue->getMessage());
    }
}
