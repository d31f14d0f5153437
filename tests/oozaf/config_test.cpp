// Tests of configuration values, parts (parsing by type, the one-value rule, Question, aliases,
// merging, path checks, the dump) and the layers with the combined configuration's getters.
#include "expect_throw.h"
#include "zaf_temp_dir.h"

#include <oozaf/mem.h>
#include <oozaf/throwable.h>
#include <oozaf/vornserverconf.h>

#include <climits>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <unistd.h>

using namespace oozaf;

namespace {

class ConfigTest : public ::testing::Test {
protected:
    void SetUp() override { m_blocks = gObjMemoryManager().getBlockCount(); }
    void TearDown() override { EXPECT_EQ(m_blocks, gObjMemoryManager().getBlockCount()); }

private:
    std::size_t m_blocks = 0;
};

// Feeds `text` for `directive` into `part` and expects a parse failure with `reason`.
std::unique_ptr<CZAFPropertiesParsingException> expectRefused(CVornServerCfgPart& part,
                                                              const std::string& directive,
                                                              const std::string& text,
                                                              eReason reason) {
    auto e =
        expectThrow<CZAFPropertiesParsingException>([&] { part.processKeyValue(directive, text); });
    if (e) {
        EXPECT_EQ(reason, e->getReason()) << directive << "=" << text;
    }
    return e;
}

TEST_F(ConfigTest, ValuesCompareByKindAndText) {
    const CStringValue one("1");
    const CIntValue number(1);
    EXPECT_FALSE(one == number);
    EXPECT_TRUE(CBoolValue(true) == CBoolValue(true));
    EXPECT_FALSE(CBoolValue(true) == CStringValue("yes"));
    EXPECT_EQ("-3", CIntValue(-3).stringValue());

    std::unique_ptr<CValue> copy(CTimeValue(CZAFTime::createFromYMD("2004-01-05")).duplicate());
    EXPECT_EQ("2004-01-05", copy->stringValue());
    EXPECT_NE(nullptr, dynamic_cast<CTimeValue*>(copy.get()));

    EXPECT_EQ("AES256", CIntValue(9).stringValue(eZAFOpCipher));
    EXPECT_EQ("9", CIntValue(9).stringValue());
    EXPECT_EQ("9", CIntValue(9).stringValue(eZAFOpKeySize));
    auto e = expectThrow<CZAFNoSuchCipherError>([] { CIntValue(5).stringValue(eZAFOpCipher); });
    ASSERT_TRUE(e);
    EXPECT_EQ("5", e->getValue());

    CValueList list;
    const CIntValue probe(2);
    EXPECT_TRUE(gSearchList(list, &probe) == list.end());
    const CStringValue two("2");
    const CIntValue alsoTwo(2);
    list = {&two, &alsoTwo};
    EXPECT_EQ(&alsoTwo, *gSearchList(list, &probe)); // the first of the same kind
}

TEST_F(ConfigTest, TextsAreParsedByTheOperationsType) {
    CVornServerCfgPart part(nullptr);
    int number = -1;
    part.processKeyValue("Key-Size", "2048");
    EXPECT_TRUE(part.getValue(eZAFOpKeySize, number));
    EXPECT_EQ(2048, number);
    part.clearValue(eZAFOpKeySize);
    part.processKeyValue("KeySize", "2k");
    EXPECT_TRUE(part.getValue(eZAFOpKeySize, number));
    EXPECT_EQ(2, number);
    part.clearValue(eZAFOpKeySize);
    part.processKeyValue("keysize", "0");
    EXPECT_TRUE(part.getValue(eZAFOpKeySize, number));
    EXPECT_EQ(0, number);
    part.clearValue(eZAFOpKeySize);
    part.processKeyValue("Key-Size", "99999999999999");
    EXPECT_TRUE(part.getValue(eZAFOpKeySize, number));
    EXPECT_EQ(INT_MAX, number); // limited, not wrapped
    part.clearValue(eZAFOpKeySize);
    auto e = expectRefused(part, "Key-Size", "abc", eReasonParse);
    ASSERT_TRUE(e);
    EXPECT_EQ("Non-numeric value: abc", e->getInfo());

    part.processKeyValue("Cipher", "aes128");
    EXPECT_TRUE(part.getValue(eZAFOpCipher, number));
    EXPECT_EQ(kZAFCipherAlgorithm_AES128, number);
    EXPECT_EQ("AES128", part.getValue(eZAFOpCipher)->stringValue(eZAFOpCipher));
    expectRefused(part, "Hash", "crc32", eReasonParse);

    bool flag = false;
    part.processKeyValue("Armor", "\"ON\"");
    EXPECT_TRUE(part.getValue(eZAFOpArmor, flag) && flag);
    auto boolean = expectRefused(part, "Wipe", "perhaps", eReasonParse);
    ASSERT_TRUE(boolean);
    EXPECT_NE(nullptr, dynamic_cast<const CZAFNoSuchBooleanError*>(boolean->getRoot()));

    part.processKeyValue("Signed-By", "0X0123456789ABCDEF");
    expectRefused(part, "ADK-Key", "0x0123456", eReasonKeyIDFormat);
    expectRefused(part, "ADK-Key", "0x0123456G", eReasonKeyIDFormat);

    // Commands and include directives are not settings.
    expectRefused(part, "sda", "on", eReasonParse);
    expectRefused(part, "Include", "/etc/passwd", eReasonIncludeFormat);
    auto unknown = expectRefused(part, "Armour", "on", eReasonParse);
    ASSERT_TRUE(unknown);
    EXPECT_NE(nullptr, dynamic_cast<const CZAFNoSuchDirectiveError*>(unknown->getRoot()));
}

TEST_F(ConfigTest, OneToOneSettingsOncePerPartAndMergesOverride) {
    CVornServerCfgPart first(nullptr);
    first.processKeyValue("Armor", "on");
    auto e = expectRefused(first, "ARMOR", "off", eReasonParse);
    ASSERT_TRUE(e);
    EXPECT_EQ("Directive 'Armor' appears more than once in the configuration file", e->getInfo());
    bool flag = false;
    EXPECT_TRUE(first.getValue(eZAFOpArmor, flag) && flag); // the failed call changed nothing

    CVornServerCfgPart second(nullptr);
    second.processKeyValue("Armor", "off");
    second.processKeyValue("Question", "why");
    second.addAlias("-x", "--key-list");
    first.processKeyValue("Question", "why");
    first.addAlias("-x", "--sign");
    first.merge(second);
    EXPECT_TRUE(first.getValue(eZAFOpArmor, flag) && !flag);
    EXPECT_EQ(2u, first.getValues(eZAFOpQuestion)->size());
    std::string target;
    EXPECT_TRUE(first.getAliasTarget("-x", target));
    EXPECT_EQ("--key-list", target);

    first.merge(first); // merging a part into itself changes nothing
    EXPECT_EQ(2u, first.getValues(eZAFOpQuestion)->size());
}

TEST_F(ConfigTest, QuestionsKeepEqualValuesUntilFive) {
    CVornServerCfgPart part(nullptr);
    for (int i = 0; i < 4; ++i)
        part.processKeyValue("Question", "same");
    part.processKeyValue("Question", "\"\"");
    ASSERT_EQ(5u, part.getValues(eZAFOpQuestion)->size());
    EXPECT_EQ("\"\"", part.getValues(eZAFOpQuestion)->back()->stringValue());
    part.processKeyValue("Question", "same"); // exactly five: the equal value is dropped
    EXPECT_EQ(5u, part.getValues(eZAFOpQuestion)->size());
    part.processKeyValue("Question", "other");
    part.processKeyValue("Question", "same"); // six: appended again
    EXPECT_EQ(7u, part.getValues(eZAFOpQuestion)->size());
}

TEST_F(ConfigTest, AliasesAreCheckedAndReplaced) {
    CVornServerCfgPart part(nullptr);
    part.processKeyValue("ALIAS", "-x:--key-list");
    part.processKeyValue("Alias", "-x:--sign");
    std::string target;
    EXPECT_TRUE(part.getAliasTarget("-x", target));
    EXPECT_EQ("--sign", target);
    EXPECT_FALSE(part.getAliasTarget("-X", target)); // codes are case-sensitive
    expectRefused(part, "Alias", "--KEY-LIST:x", eReasonAliasReserved);
    expectRefused(part, "Alias", "x:--key-list", eReasonAliasCode);
    expectRefused(part, "Alias", "no-colon", eReasonAliasFormat);
    expectRefused(part, "Alias", ":--key-list", eReasonAliasFormat);

    // Code and target quoted each on its own (as a console sends words with blanks).
    part.processKeyValue("Alias", "\"-a b\":\"--key-list --with-sigs\"");
    EXPECT_TRUE(part.getAliasTarget("-a b", target));
    EXPECT_EQ("--key-list --with-sigs", target);
    part.processKeyValue("Alias", "\"-y:--sign\""); // quoted as a whole
    EXPECT_TRUE(part.getAliasTarget("-y", target));
    EXPECT_EQ("--sign", target);
    part.processKeyValue("Alias", "-e:");
    EXPECT_TRUE(part.getAliasTarget("-e", target));
    EXPECT_EQ("", target);

    EXPECT_TRUE(part.clearAlias("-e"));
    EXPECT_FALSE(part.clearAlias("-e"));
}

TEST_F(ConfigTest, ClearingAndReplacingValues) {
    CVornServerCfgPart part(nullptr);
    part.putValue(eZAFOpQuestion, "a");
    part.putValue(eZAFOpQuestion, "b");
    const CValue* stored = part.getValues(eZAFOpQuestion)->front();
    ASSERT_TRUE(part.replaceValue(eZAFOpQuestion, stored, "c"));
    EXPECT_EQ("c", stored->stringValue()); // follows the replacement
    const CStringValue missing("zzz");
    const CValue* probe = &missing;
    EXPECT_FALSE(part.clearValue(eZAFOpQuestion, probe));
    EXPECT_TRUE(part.clearValue(eZAFOpQuestion, stored));
    EXPECT_EQ(nullptr, stored);
    const CStringValue b("b");
    probe = &b;
    EXPECT_TRUE(part.clearValue(eZAFOpQuestion, probe));
    EXPECT_EQ(&b, probe);                               // not the stored object, so left alone
    EXPECT_EQ(nullptr, part.getValues(eZAFOpQuestion)); // the last value took the operation
    EXPECT_FALSE(part.clearValue(eZAFOpQuestion));

    // A one-to-one value replaces the old one; its single value is asked for by kind.
    part.putValue(eZAFOpComment, "old");
    part.putValue(eZAFOpComment, std::string("new"));
    EXPECT_EQ(1u, part.getValues(eZAFOpComment)->size());
    int wrongKind = 0;
    auto internal =
        expectThrow<CZAFInternalError>([&] { part.getValue(eZAFOpComment, wrongKind); });
    ASSERT_TRUE(internal);
    EXPECT_EQ("vornserverconf", internal->getFile());
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] { part.getValue(eZAFOpQuestion); }));

    part.clear();
    EXPECT_TRUE(part.getConfigurationMap().empty());
    part.putValue(eZAFOpArmor, true); // still usable
    EXPECT_NE(nullptr, part.getValue(eZAFOpArmor));
}

TEST_F(ConfigTest, PathSettingsAreValidated) {
    ZafTempDir dir;
    const std::string file = dir.file("plain");
    std::ofstream(file) << "x";

    CVornServerCfgPart tmp(nullptr);
    tmp.putValue(eZAFOpTmp, file);
    auto notDir = expectThrow<CZAFPropertiesParsingException>([&] { tmp.ValValues(); });
    ASSERT_TRUE(notDir);
    EXPECT_EQ(eReasonNotADirectory, notDir->getReason());
    EXPECT_EQ(file, notDir->getPath());
    tmp.clear();
    tmp.putValue(eZAFOpTmp, dir.file("missing"));
    EXPECT_TRUE(expectThrow<CZAFFileAccessException>([&] { tmp.ValValues(); }));
    tmp.clear();
    tmp.putValue(eZAFOpTmp, dir.path());
    EXPECT_TRUE(tmp.ValValues());

    CVornServerCfgPart log(nullptr);
    log.putValue(eZAFOpLogFile, dir.file("new.log")); // not there yet, in an existing folder
    EXPECT_TRUE(log.ValValues());
    log.clear();
    log.putValue(eZAFOpLogFile, dir.path());
    auto isDir = expectThrow<CZAFPropertiesParsingException>([&] { log.ValValues(); });
    ASSERT_TRUE(isDir);
    EXPECT_EQ(eReasonIsADirectory, isDir->getReason());
    log.clear();
    log.putValue(eZAFOpLogFile, file + "/x.log");
    auto inFile = expectThrow<CZAFPropertiesParsingException>([&] { log.ValValues(); });
    ASSERT_TRUE(inFile);
    EXPECT_EQ(eReasonNotADirectory, inFile->getReason());
    log.clear();
    log.putValue(eZAFOpLogFile, dir.file("gone/x.log"));
    EXPECT_TRUE(expectThrow<CZAFFileAccessException>([&] { log.ValValues(); }));

    // A bare name lies in the working directory.
    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    ASSERT_EQ(0, chdir(dir.path().c_str()));
    log.clear();
    log.putValue(eZAFOpLogFile, "orx.log");
    bool passed = false;
    try {
        passed = log.ValValues();
    } catch (CZAFThrowable* e) {
        delete e;
    }
    ASSERT_EQ(0, chdir(cwd));
    EXPECT_TRUE(passed);
}

TEST_F(ConfigTest, DumpListsValuesAndAliases) {
    CVornServerCfgEnvPart part(nullptr);
    part.processKeyValue("zafpath", "/srv/keys");
    part.processKeyValue("ZAF_CMDLINE_FORMAT", "long");
    part.addAlias("-x", "--key-list");
    std::ostringstream out;
    out << part;
    std::string cmdline;
    ASSERT_TRUE(gEnumToArg(eZAFOpCLVersion, eCmdlineVersionLong, cmdline));
    EXPECT_EQ("Values:\n-------\n\nZAFPATH -> /srv/keys\nCmdLine-Format -> " +
                  std::to_string(eCmdlineVersionLong) +
                  "\n\nAliases:\n--------\n\n-x -> --key-list\n",
              out.str());
}

TEST_F(ConfigTest, LayersRestrictWhatTheirSourceMaySet) {
    CVornServerCfgFile reader;
    CVornServerCfgPolicyPart policy(nullptr);
    for (const char* line :
         {"PubRing=/tmp/x", "Secring=/tmp/x", "Randseed=/tmp/x", "Default-Key=0x01234567"}) {
        auto e = expectThrow<CZAFPropertiesParsingException>(
            [&] { reader.readText(std::string("Armor=on\n") + line, policy, false); });
        ASSERT_TRUE(e) << line;
        EXPECT_EQ(eReasonNotInPolicy, e->getReason());
        EXPECT_EQ(2u, e->getLineNumber());
        policy.clear();
    }
    CVornServerCfgUserPart user(nullptr);
    reader.readText("PubRing=/tmp/x", user, false);
    EXPECT_NE(nullptr, user.getValue(eZAFOpPubRing));

    CVornServerCfgEnvPart env(nullptr);
    reader.readText("ZAFPATH=/srv/keys\nTmp=/var/tmp\n", env, false);
    EXPECT_NE(nullptr, env.getValue(eZAFOpZAFPath));
    EXPECT_NE(nullptr, env.getValue(eZAFOpTmp));
    auto unknown = expectThrow<CZAFPropertiesParsingException>(
        [&] { env.processKeyValue("Armor", "on"); }); // directives are not variables
    ASSERT_TRUE(unknown);
    EXPECT_EQ(eReasonUnknownEnvSetting, unknown->getReason());
    const auto* cause = dynamic_cast<const CZAFNoSuchEnvVarError*>(unknown->getRoot());
    ASSERT_NE(nullptr, cause);
    EXPECT_EQ("Armor", cause->getValue());
    EXPECT_EQ("Environment Variables", cause->getTableName());
    // Variables of commands take no value from a file.
    expectRefused(env, "ZAFPASS", "secret", eReasonParse);
    expectRefused(env, "TEXTMODE", "1", eReasonParse);
}

TEST_F(ConfigTest, LaterLayersOverrideEarlierOnes) {
    CVornServerCfgFile reader;
    CVornServerCfgEnvPart env(nullptr);
    CVornServerCfgUserPart defaults(nullptr);
    CVornServerCfgUserPart user(nullptr);
    CVornServerCfgPolicyPart policy(nullptr);
    reader.readText("TMP=/env/tmp\nZAFPATH=\"\"/srv/keys\"\"\n", env, false);
    reader.readText("Tmp=/default/tmp\nArmor=off\nCipher=cast5\nQuestion=d\nALIAS -x --sign\n"
                    "Cert-Depth=3\n",
                    defaults, false);
    reader.readText("Armor=on\nCipher=aes256\nQuestion=u\nALIAS -x --key-list\n"
                    "Pubring=\"\"/home/u/ring.pkr\"\"\n",
                    user, false);
    reader.readText("Cipher=twofish\nHash=sha256\nInfo=verbose\n", policy, false);

    CVornServerCfg cfg;
    for (const CVornServerCfgPart* layer : {static_cast<const CVornServerCfgPart*>(&env),
                                            static_cast<const CVornServerCfgPart*>(&defaults),
                                            static_cast<const CVornServerCfgPart*>(&user),
                                            static_cast<const CVornServerCfgPart*>(&policy)})
        cfg.merge(*layer);

    std::string text;
    EXPECT_TRUE(cfg.getTmp(text));
    EXPECT_EQ("/default/tmp", text);
    EXPECT_TRUE(cfg.getZAFPath(text));
    EXPECT_EQ("/srv/keys", text);
    EXPECT_TRUE(cfg.getPubringFilename(text));
    EXPECT_EQ("/home/u/ring.pkr", text); // both pairs of quotes gone
    EXPECT_FALSE(cfg.getSecringFilename(text));
    bool armor = false;
    EXPECT_TRUE(cfg.getZAFMIME(armor) == false);
    ASSERT_TRUE(cfg.getValue(eZAFOpArmor, armor));
    EXPECT_TRUE(armor);
    ZAFCipherAlgorithm cipher = kZAFCipherAlgorithm_IDEA;
    EXPECT_TRUE(cfg.getCipher(cipher));
    EXPECT_EQ(kZAFCipherAlgorithm_Twofish, cipher);
    ZAFHashAlgorithm hash = kZAFHashAlgorithm_MD5;
    EXPECT_TRUE(cfg.getHash(hash));
    EXPECT_EQ(kZAFHashAlgorithm_SHA256, hash);
    eInfoLevel info = eInfoLevelQuiet;
    EXPECT_TRUE(cfg.getInfoLevel(info));
    EXPECT_EQ(eInfoLevelVerbose, info);
    int depth = 0;
    EXPECT_TRUE(cfg.getCertDepth(depth));
    EXPECT_EQ(3, depth);
    EXPECT_FALSE(cfg.getMarginalsNeeded(depth));
    EXPECT_EQ(2u, cfg.getValues(eZAFOpQuestion)->size());
    std::string target;
    EXPECT_TRUE(cfg.getAliasTarget("-x", target));
    EXPECT_EQ("--key-list", target);

    CVornServerCfg empty;
    ZAFCipherAlgorithm untouched = kZAFCipherAlgorithm_IDEA;
    EXPECT_FALSE(empty.getCipher(untouched));
    EXPECT_EQ(kZAFCipherAlgorithm_IDEA, untouched);
}

} // namespace
