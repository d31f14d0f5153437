// Tests of the operation table: look-ups by switch, directive and variable, the argument-type
// rules, enumerated arguments, and the structure that the configuration relies on.
#include "expect_throw.h"

#include <oozaf/mem.h>
#include <oozaf/ops.h>

#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>

using namespace oozaf;

namespace {

eZAFOp op(int value) { return static_cast<eZAFOp>(value); }

template <class E, class F>
void expectLookupFailure(F&& f, const std::string& value, const std::string& table) {
    auto e = expectThrow<E>(std::forward<F>(f));
    ASSERT_TRUE(e);
    EXPECT_EQ("Table look-up failure: Value '" + value + "' does not exist in table '" + table +
                  "'",
              e->getMessage());
}

template <class F> void expectInternalError(F&& f, const std::string& tag) {
    auto e = expectThrow<CZAFInternalError>(std::forward<F>(f));
    ASSERT_TRUE(e);
    EXPECT_EQ(tag, e->getFile());
    EXPECT_NE(std::string::npos, e->getMessage().find("message : Assertion Failed\n"));
}

} // namespace

TEST(Ops, TableShape) {
    ASSERT_EQ(202u, gOpsCount());
    ASSERT_EQ(193u, gCLLongOptionsCount());

    std::set<int> values;
    std::set<std::string> names;
    for (const SZAFOpStruct& row : gOps) {
        EXPECT_TRUE(values.insert(row.op).second) << "operation " << row.op << " repeated";
        ASSERT_NE(nullptr, row.name);
        EXPECT_TRUE(names.insert(row.name).second) << row.name;
        if (row.cmdlineSwitch != nullptr) {
            EXPECT_EQ(0, std::strncmp(row.cmdlineSwitch, "--", 2)) << row.cmdlineSwitch;
        }
        // Only the string type may carry the one-to-many flag, and date is never used.
        if (row.argType == eArgTypeNone)
            continue;
        EXPECT_NE(eArgTypeDate, row.argType & eArgTypeDate) << row.name;
        if (row.argType & eArgTypeMulti) {
            EXPECT_EQ(eArgTypeString | eArgTypeMulti, row.argType) << row.name;
        }
    }

    EXPECT_STREQ("AddAll", gOps[0].name);
    EXPECT_EQ(eZAFOpYes, gOps[gOpsCount() - 1].op);
    EXPECT_STREQ("--wipe", CLLongOptions[0]);
    EXPECT_STREQ("--version", CLLongOptions[7]);
    EXPECT_STREQ("--smtp-note-file", CLLongOptions[gCLLongOptionsCount() - 1]);
}

TEST(Ops, LongOptionsCoverEverySwitchButOrxcmdsOwn) {
    std::set<std::string> offered;
    for (unsigned int i = 0; i < gCLLongOptionsCount(); ++i)
        EXPECT_TRUE(offered.insert(CLLongOptions[i]).second) << CLLongOptions[i];

    std::set<std::string> missing;
    for (const SZAFOpStruct& row : gOps) {
        if (row.cmdlineSwitch == nullptr)
            continue;
        if (offered.erase(row.cmdlineSwitch) == 0 &&
            gOpFromCmdlineSwitch(row.cmdlineSwitch) == row.op)
            missing.insert(row.cmdlineSwitch);
    }
    // Switches of orxcmd alone, which the console has no use for.
    EXPECT_EQ((std::set<std::string>{"--log-file", "--revoke-with", "--stream-unverified"}),
              missing);
    EXPECT_TRUE(offered.empty()) << *offered.begin();
}

TEST(Ops, EveryTextFindsItsOwnRowExceptTheTwoSharedSwitches) {
    // Directives must stay distinct once hyphens and case are ignored, or a file setting would
    // silently land on another operation.
    std::map<std::string, int> sharedSwitchWinner;
    for (const SZAFOpStruct& row : gOps) {
        if (row.directive != nullptr) {
            EXPECT_EQ(row.op, gOpFromDirective(row.directive)) << row.directive;
        }
        if (row.envVar != nullptr) {
            EXPECT_EQ(row.op, gOpFromEnvVar(row.envVar)) << row.envVar;
        }
        if (row.cmdlineSwitch != nullptr && gOpFromCmdlineSwitch(row.cmdlineSwitch) != row.op)
            sharedSwitchWinner[row.cmdlineSwitch] = gOpFromCmdlineSwitch(row.cmdlineSwitch);
    }
    EXPECT_EQ((std::map<std::string, int>{{"--trust", 219}, {"--version", 10}}),
              sharedSwitchWinner);
}

TEST(Ops, SwitchLookupIgnoresCaseAndFirstRowWins) {
    EXPECT_EQ(eZAFOpArmor, gOpFromCmdlineSwitch("--ARMOR"));
    EXPECT_EQ(eZAFOpTrust, gOpFromCmdlineSwitch("--trust"));
    EXPECT_EQ(eZAFOpShowVersion, gOpFromCmdlineSwitch("--Version"));
    for (const std::string text : {"armor", "-armor", "--armor ", "--armo", ""})
        expectLookupFailure<CZAFNoSuchCmdlineSwitchError>([&] { gOpFromCmdlineSwitch(text); }, text,
                                                          "Command-Line Switch");
}

TEST(Ops, DirectivesMatchWithoutHyphens) {
    for (const char* text : {"PassphraseFD", "passphrase-fd", "PASSPHRASE--FD", "-Passphrase-FD-"})
        EXPECT_EQ(eZAFOpPassphraseFD, gOpFromDirective(text)) << text;
    for (const char* text : {"ZAF-Mime", "zafmime", "Z-A-F-MIME"})
        EXPECT_EQ(eZAFOpMime, gOpFromDirective(text)) << text;
    EXPECT_EQ(eZAFOpMimeParse, gOpFromDirective("zaf-mimeparse"));
    EXPECT_EQ(eZAFOpCLVersion, gOpFromDirective("CmdLineFormat"));
    EXPECT_EQ(eZAFOpInclude1, gOpFromDirective("Include"));
    EXPECT_EQ(eZAFOpInclude2, gOpFromDirective("source"));
    EXPECT_EQ(eZAFOpAlias, gOpFromDirective("ALIAS"));

    // The message names the text exactly as given, hyphens included.
    expectLookupFailure<CZAFNoSuchDirectiveError>([] { gOpFromDirective("Ar-mour"); }, "Ar-mour",
                                                  "Directive");
    for (const std::string text : {"", "-", "---", "Armor ", "Armo", "ZAF_Mime"})
        expectLookupFailure<CZAFNoSuchDirectiveError>([&] { gOpFromDirective(text); }, text,
                                                      "Directive");
    const std::string withNul("Armor\0", 6);
    expectLookupFailure<CZAFNoSuchDirectiveError>([&] { gOpFromDirective(withNul); }, withNul,
                                                  "Directive");
}

TEST(Ops, EnvironmentVariables) {
    EXPECT_EQ(eZAFOpZAFPath, gOpFromEnvVar("zafpath"));
    EXPECT_EQ(eZAFOpCLVersion, gOpFromEnvVar("ZAF_CMDLINE_FORMAT"));
    EXPECT_EQ("TMP", gEnvVarFromOp(eZAFOpTmp));
    expectLookupFailure<CZAFNoSuchEnvVarError>([] { gOpFromEnvVar("HOME"); }, "HOME",
                                               "Environment Variables");
    // Variables are compared whole; hyphens and underscores are not dropped as in directives.
    expectLookupFailure<CZAFNoSuchEnvVarError>([] { gOpFromEnvVar("ZAFCMDLINEFORMAT"); },
                                               "ZAFCMDLINEFORMAT", "Environment Variables");
    expectLookupFailure<CZAFNoSuchEnvVarError>([] { gEnvVarFromOp(eZAFOpArmor); }, "14",
                                               "Environment Variables");
}

TEST(Ops, OperationToTextFailsForMissingRowsAndMissingColumns) {
    EXPECT_EQ("ContentionalPassphrase", gNameFromOp(eZAFOpContentionalPassphrase));
    EXPECT_EQ("SetTrust", gNameFromOp(eZAFOpSetTrust));
    EXPECT_EQ("--trust", gCmdlineSwitchFromOp(eZAFOpSetTrust));
    EXPECT_EQ("ZAF-MimeParse", gDirectiveFromOp(eZAFOpMimeParse));

    expectLookupFailure<CZAFNoSuchOpError>([] { gNameFromOp(op(0)); }, "0", "Op");
    expectLookupFailure<CZAFNoSuchOpError>([] { gNameFromOp(op(-5)); }, "-5", "Op");
    expectLookupFailure<CZAFNoSuchCmdlineSwitchError>(
        [] { gCmdlineSwitchFromOp(eZAFOpEncryptSign); }, "6", "Command-Line Switch");
    expectLookupFailure<CZAFNoSuchCmdlineSwitchError>([] { gCmdlineSwitchFromOp(op(1)); }, "1",
                                                      "Command-Line Switch");
    expectLookupFailure<CZAFNoSuchDirectiveError>([] { gDirectiveFromOp(eZAFOpPassphrase); }, "170",
                                                  "Directive");

    ASSERT_NE(nullptr, _gGetOpStruct(eZAFOpSetTrust));
    EXPECT_STREQ("SetTrust", _gGetOpStruct(eZAFOpSetTrust)->name);
    EXPECT_EQ(nullptr, _gGetOpStruct(op(1)));
    EXPECT_EQ(nullptr, _gGetOpStruct(op(300)));
}

TEST(Ops, ConfigurationArgumentTypes) {
    EXPECT_EQ(132, gCfgArgTypeFromOp(eZAFOpQuestion));
    EXPECT_EQ(eArgTypeBool, gCfgArgTypeFromOp(eZAFOpArmor));
    EXPECT_EQ(eArgTypeKeyID, gCfgArgTypeFromOp(eZAFOpSignedBy));
    EXPECT_EQ(eArgTypeEnum, gCfgArgTypeFromOp(eZAFOpCipher));
    // No directive, but an environment variable.
    EXPECT_EQ(eArgTypeString, gCfgArgTypeFromOp(eZAFOpZAFPath));

    expectLookupFailure<CZAFNoSuchDirectiveError>([] { gCfgArgTypeFromOp(eZAFOpRevokers); }, "97",
                                                  "Directive");
    expectLookupFailure<CZAFNoSuchDirectiveError>([] { gCfgArgTypeFromOp(op(0)); }, "0",
                                                  "Directive");
    // Reachable by a configuration source but taking no value: a defect of the caller.
    expectInternalError([] { gCfgArgTypeFromOp(eZAFOpSDA); }, "nametables");
    expectInternalError([] { gCfgArgTypeFromOp(eZAFOpPassphrase); }, "nametables");
    expectInternalError([] { gCfgArgTypeFromOp(eZAFOpAlias); }, "nametables");

    // Every row either has no configuration source, takes no value, or has a known type.
    for (const SZAFOpStruct& row : gOps) {
        if (row.directive == nullptr && row.envVar == nullptr) {
            auto e = expectThrow<CZAFNoSuchDirectiveError>([&] { gCfgArgTypeFromOp(row.op); });
        } else if (row.argType == eArgTypeNone) {
            auto e = expectThrow<CZAFInternalError>([&] { gCfgArgTypeFromOp(row.op); });
        } else {
            EXPECT_EQ(row.argType, gCfgArgTypeFromOp(row.op)) << row.name;
        }
    }
}

TEST(Ops, EnumeratedArguments) {
    int value = -1;
    EXPECT_TRUE(gArgToEnum(eZAFOpCipher, "twofish", value));
    EXPECT_EQ(10, value);
    value = -1;
    EXPECT_FALSE(gArgToEnum(eZAFOpCipher, "Serpent", value));
    EXPECT_EQ(-1, value);
    EXPECT_TRUE(gArgToEnum(eZAFOpTrust, "Marginal", value));
    EXPECT_EQ(5, value);
    EXPECT_TRUE(gArgToEnum(eZAFOpKeyType, "dss", value));
    EXPECT_EQ(1, value);
    EXPECT_FALSE(gArgToEnum(eZAFOpKeyType, "DH/DSS", value));
    EXPECT_TRUE(gArgToEnum(eZAFOpCLVersion, "LEGACY", value));
    EXPECT_EQ(1, value);

    expectInternalError([&] { gArgToEnum(eZAFOpArmor, "yes", value); }, "vornserverconf");
    expectInternalError([&] { gArgToEnum(op(0), "x", value); }, "vornserverconf");

    // Every enumerated row has a table behind it: an unknown word is a plain "false".
    for (const SZAFOpStruct& row : gOps) {
        if (row.argType == eArgTypeEnum) {
            EXPECT_FALSE(gArgToEnum(row.op, "no such word", value)) << row.name;
        }
    }
}

TEST(Ops, RejectedArgumentsLeaveNoThrowableBehind) {
    CZAFObjMemoryManager& manager = gObjMemoryManager();
    int value = 0;
    std::string text;
    const std::size_t before = manager.getBlockCount();
    EXPECT_FALSE(gArgToEnum(eZAFOpHash, "SHA-1", value));
    EXPECT_FALSE(gEnumToArg(eZAFOpHash, 4, text));
    EXPECT_EQ(before, manager.getBlockCount());
}

TEST(Ops, EnumeratedValuesBackToText) {
    std::string text = "unchanged";
    EXPECT_TRUE(gEnumToArg(eZAFOpCipher, 9, text));
    EXPECT_EQ("AES256", text);
    text = "unchanged";
    EXPECT_FALSE(gEnumToArg(eZAFOpCipher, 5, text));
    EXPECT_EQ("unchanged", text);
    EXPECT_TRUE(gEnumToArg(eZAFOpKeyType, 1, text));
    EXPECT_EQ("DSS", text);
    // Operations without a name table show the number.
    EXPECT_TRUE(gEnumToArg(eZAFOpWidth, -3, text));
    EXPECT_EQ("-3", text);
    EXPECT_EQ("8", gStringFromOpValue(eZAFOpTrust, 8));

    auto e = expectThrow<CZAFNoSuchCipherError>([] { gStringFromOpValue(eZAFOpCipher, 5); });
    ASSERT_TRUE(e);
    EXPECT_EQ("5", e->getValue());

    // Every word that gArgToEnum reads is written back unchanged in meaning.
    for (const SZAFOpStruct& row : gOps) {
        if (row.argType != eArgTypeEnum)
            continue;
        for (int candidate = -1; candidate < 300; ++candidate) {
            std::string word;
            if (!gEnumToArg(row.op, candidate, word))
                continue;
            int back = -100;
            ASSERT_TRUE(gArgToEnum(row.op, word, back)) << row.name << " " << word;
            EXPECT_EQ(candidate, back) << row.name << " " << word;
        }
    }
}
