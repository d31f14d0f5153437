// Tests of the server facade's start-up: directories, the template copy, the configuration
// layers and their precedence, the key rings, groups and seed files, the toolkit environment,
// every start-up failure with its reason, and writing configuration changes back.
#include "vornserver_test_util.h"

#include <oozaf/filemanager.h>

#include <unistd.h>

using namespace oozaf;

namespace {

class VornServerOpen : public CVornServerFixture {
protected:
    // Opens a server that must fail and returns the failure.
    std::unique_ptr<CZAFServerOpenException> openFails() {
        return expectThrow<CZAFServerOpenException>([&] { open(); });
    }

    static int32_t envInt(const CVornServer& server, int32_t selector) {
        ZAFEnvironmentRef env =
            zafContextGetEnvironment(server.getKeyDB()->getContext().getHandle());
        int32_t value = -1;
        EXPECT_EQ(0, zafenvGetInt(env, selector, &value, nullptr)) << selector;
        return value;
    }
    static std::string envString(const CVornServer& server, int32_t selector) {
        ZAFEnvironmentRef env =
            zafContextGetEnvironment(server.getKeyDB()->getContext().getHandle());
        char buffer[4096] = {};
        size_t size = sizeof buffer;
        EXPECT_EQ(0, zafenvGetString(env, selector, buffer, &size, nullptr)) << selector;
        return buffer;
    }
};

TEST_F(VornServerOpen, FirstStartCreatesThePersonalFilesFromTheTemplate) {
    CServerPtr server = open();

    EXPECT_EQ(personal(), server->getPersonalDirectory());
    EXPECT_EQ(personal(), CVornServer::getDefaultPersonalZAFDir());
    EXPECT_EQ(personal("zaf.cfg"), server->getUserConfFilename());
    struct stat info {};
    ASSERT_EQ(0, stat(personal().c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 0777u);
    EXPECT_EQ(m_account->uid(), info.st_uid);
    EXPECT_EQ(read(install("zaf-template.cfg")), read(personal("zaf.cfg")));
    for (const char* name : {"pubring.pkr", "secring.skr", "ZAFgroup.zgr"})
        EXPECT_TRUE(std::filesystem::exists(personal(name))) << name;
    EXPECT_EQ(0u, std::filesystem::file_size(personal("pubring.pkr")));
    EXPECT_FALSE(server->hasLog());

    // The environment file is optional: its absence is no warning.
    EXPECT_FALSE(logged("Could not open user's environment file"));
    EXPECT_TRUE(logged("ZAF Directory: " + personal() + "\n"));
    EXPECT_TRUE(logged("Default configuration file (" + site("zaf-default.cfg") +
                       ") not found. Skipping."));
    EXPECT_TRUE(logged("Configuration file '" + personal("zaf.cfg") +
                       "' does not exist. Copying from template..."));
    EXPECT_TRUE(logged("Configuration file copied from template."));
    EXPECT_TRUE(
        logged("Policy configuration file (" + site("zaf-policy.cfg") + ") not found. Skipping."));
    EXPECT_TRUE(logged("Combined configuration follows:"));
    EXPECT_TRUE(logged("Public ring filename: " + personal("pubring.pkr") + "\n"));
    EXPECT_TRUE(logged("Secret ring filename: " + personal("secring.skr") + "\n"));
    EXPECT_TRUE(logged("Groups filename:      " + personal("ZAFgroup.zgr") + "\n"));

    // A second start finds everything in place and copies nothing.
    server.reset();
    write(personal("zaf.cfg"), "Armor=on\n");
    server = open();
    EXPECT_EQ("Armor=on\n", read(personal("zaf.cfg")));
}

TEST_F(VornServerOpen, EnvironmentFileMovesThePersonalDirectory) {
    write(home("zaf.env"), "ZAFPATH=" + home("keys/") + "\n");
    CServerPtr server = open();
    EXPECT_EQ(home("keys/"), server->getPersonalDirectory());
    EXPECT_TRUE(std::filesystem::is_directory(home("keys")));
    EXPECT_TRUE(std::filesystem::exists(home("keys/zaf.cfg")));
    EXPECT_TRUE(std::filesystem::exists(home("keys/pubring.pkr")));
    EXPECT_FALSE(std::filesystem::exists(personal()));
    EXPECT_FALSE(logged("Could not open user's environment file"));
}

TEST_F(VornServerOpen, AnEnvironmentFileThatCannotBeReadIsWarnedAbout) {
    std::filesystem::create_directory(home("zaf.env"));
    CServerPtr server = open();
    EXPECT_TRUE(logged("WARNING: Could not open user's environment file:"));
    EXPECT_EQ(personal(), server->getPersonalDirectory());
}

TEST_F(VornServerOpen, LaterLayersOverrideEarlierOnes) {
    writeSite("zaf-default.cfg", "Armor=on\nCipher=CAST5\nHash=SHA1\nComment=\"from site\"\n");
    writeUserConf("Cipher=AES128\nHash=SHA384\nLog-File=\"" + home("tx log") + "\"\n");
    writeSite("zaf-policy.cfg", "Armor=off\nHash=SHA512\n");
    CServerPtr server = open();

    const CVornServerCfg& cfg = server->getConfiguration();
    bool armor = true;
    ASSERT_TRUE(cfg.getValue(eZAFOpArmor, armor));
    EXPECT_FALSE(armor);
    ZAFCipherAlgorithm cipher{};
    ASSERT_TRUE(cfg.getCipher(cipher));
    EXPECT_EQ(oozaf::kZAFCipherAlgorithm_AES128, cipher);
    ZAFHashAlgorithm hash{};
    ASSERT_TRUE(cfg.getHash(hash));
    EXPECT_EQ(oozaf::kZAFHashAlgorithm_SHA512, hash);
    EXPECT_TRUE(server->hasLog());

    EXPECT_EQ(oozaf::kZAFCipherAlgorithm_AES128, envInt(*server, kZAFEnv_Cipher));
    EXPECT_EQ(oozaf::kZAFHashAlgorithm_SHA512, envInt(*server, kZAFEnv_Hash));
    EXPECT_EQ("from site", envString(*server, kZAFEnv_Comment));
    EXPECT_EQ("Brevan Vorn Server v8.5.0", envString(*server, kZAFEnv_Version));
    EXPECT_EQ("noconv", envString(*server, kZAFEnv_Charset));
    EXPECT_EQ("en", envString(*server, kZAFEnv_Language));
    EXPECT_EQ(3, envInt(*server, kZAFEnv_Int1017));
}

// Every layer saved with CRLF line ends, with blank lines, quoted values, ALIAS and Include.
TEST_F(VornServerOpen, EveryLayerReadsWithCrlfLineEnds) {
    write(home("zaf.env"), "# moved\r\n\r\nZAFPATH=\"" + home("keys/") + "\"\r\n");
    writeSite("site extra.cfg", "Comment=\"from site\"\r\n");
    writeSite("zaf-default.cfg",
              "Armor=on\r\n\r\nInclude \"" + site("site extra.cfg") + "\"\r\nCipher=CAST5\r\n");
    std::filesystem::create_directories(home("keys"));
    write(home("keys/zaf.cfg"), "ALIAS -s \"--sign --armor\"\r\n\r\nHash=SHA384\r\n");
    writeSite("policy-extra.cfg", "Compress=off\r\n");
    writeSite("zaf-policy.cfg", "\r\nsource " + site("policy-extra.cfg") + "\r\nHash=SHA512\r\n");
    CServerPtr server = open();

    EXPECT_FALSE(logged("WARNING")) << log();
    EXPECT_EQ(home("keys/"), server->getPersonalDirectory());
    const CVornServerCfg& cfg = server->getConfiguration();
    bool flag = false;
    EXPECT_TRUE(cfg.getValue(eZAFOpArmor, flag) && flag);
    EXPECT_TRUE(cfg.getValue(eZAFOpCompress, flag) && !flag);
    ZAFCipherAlgorithm cipher{};
    ASSERT_TRUE(cfg.getCipher(cipher));
    EXPECT_EQ(oozaf::kZAFCipherAlgorithm_CAST5, cipher);
    std::string comment;
    EXPECT_TRUE(cfg.getComment(comment));
    EXPECT_EQ("from site", comment);
    std::string alias;
    EXPECT_TRUE(cfg.getAliasTarget("-s", alias));
    EXPECT_EQ("--sign --armor", alias);
    ZAFHashAlgorithm hash{};
    ASSERT_TRUE(cfg.getHash(hash));
    EXPECT_EQ(oozaf::kZAFHashAlgorithm_SHA512, hash);
}

TEST_F(VornServerOpen, FaultySiteFilesOnlyWarnAndKeepTheLinesBeforeTheFault) {
    writeSite("zaf-default.cfg", "Compress=on\nArmor=maybe\n");
    writeSite("zaf-policy.cfg", "Hash=SHA256\nSecring=/tmp/elsewhere.skr\nCipher=IDEA\n");
    writeUserConf("Hash=MD5\nCipher=AES192\nCompress=off\n");
    CServerPtr server = open();

    EXPECT_TRUE(logged("WARNING: Could not use default config file:"));
    EXPECT_TRUE(logged("WARNING: Could not use policy config file:"));
    EXPECT_TRUE(logged(gGetReasonText(eReasonNotInPolicy)));
    const CVornServerCfg& cfg = server->getConfiguration();
    ZAFHashAlgorithm hash{};
    ASSERT_TRUE(cfg.getHash(hash));
    EXPECT_EQ(oozaf::kZAFHashAlgorithm_SHA256, hash);
    ZAFCipherAlgorithm cipher{};
    ASSERT_TRUE(cfg.getCipher(cipher));
    EXPECT_EQ(oozaf::kZAFCipherAlgorithm_AES192, cipher);
    std::string secring;
    EXPECT_FALSE(cfg.getSecringFilename(secring));
}

TEST_F(VornServerOpen, ToolkitSettingsAreClampedAndTheTempDirectoryPassedOn) {
    std::filesystem::create_directories(home("scratch"));
    writeUserConf("Cert-Depth=12\nCompletes-Needed=0\nMarginals-Needed=7\nTmp=\"" +
                  home("scratch") + "\"\nZAF-Mime=on\nZAF-MimeParse=off\n");
    CServerPtr server = open();
    EXPECT_EQ(8, envInt(*server, kZAFEnv_CertDepth));
    EXPECT_EQ(1, envInt(*server, kZAFEnv_CompletesNeeded));
    EXPECT_EQ(7, envInt(*server, kZAFEnv_MarginalsNeeded));
    EXPECT_EQ(1, envInt(*server, kZAFEnv_Mime));
    EXPECT_EQ(0, envInt(*server, kZAFEnv_MimeParse));
    EXPECT_EQ(home("scratch"), server->getFileManager().getTempDirectory());
    EXPECT_EQ(home("scratch"), envString(*server, kZAFEnv_TempDirectory));
    server.reset();

    writeUserConf("Cert-Depth=-3\nCompletes-Needed=9\n");
    server = open();
    EXPECT_EQ(0, envInt(*server, kZAFEnv_CertDepth));
    EXPECT_EQ(4, envInt(*server, kZAFEnv_CompletesNeeded));
}

TEST_F(VornServerOpen, ConfiguredFilesAreUsedAndTheSeedFileWritten) {
    std::filesystem::create_directories(home("rings"));
    writeUserConf("Pubring=" + home("rings/p.pkr") + "\nSecring=" + home("rings/s.skr") +
                  "\nGroupsFile=" + home("rings/g.zgr") + "\nRandseed=" + home("rings/seed") +
                  "\n");
    CServerPtr server = open();
    for (const char* name : {"p.pkr", "s.skr", "g.zgr"})
        EXPECT_TRUE(std::filesystem::exists(home(std::string("rings/") + name))) << name;
    EXPECT_FALSE(std::filesystem::exists(personal("pubring.pkr")));
    EXPECT_EQ(1024u, std::filesystem::file_size(home("rings/seed")));
}

TEST_F(VornServerOpen, EachStartUpFailureHasItsReason) {
    const struct {
        const char* what;
        std::function<void()> prepare;
        eReason reason;
    } cases[] = {
        {"personal path is a file", [&] { write(personal(), "not a directory"); },
         eReasonZafPathNotDir},
        {"personal path cannot be created",
         [&] { write(home("zaf.env"), "ZAFPATH=" + home("missing/deeper") + "\n"); },
         eReasonZafDirCreate},
        {"template missing",
         [&] { asRoot([&] { std::remove(install("zaf-template.cfg").c_str()); }); },
         eReasonTemplateCopy},
        {"user file malformed", [&] { writeUserConf("Armor=on\nCipher=\"AES128\n"); },
         eReasonUserConfRead},
        {"ring folder missing",
         [&] { writeUserConf("Pubring=" + home("nowhere/pubring.pkr") + "\n"); },
         eReasonNewKeyRings},
        {"ring unreadable as a ring",
         [&] {
             writeUserConf("");
             write(personal("pubring.pkr"), std::string(64, '\x01'));
         },
         eReasonKeyDBOpen},
        {"groups folder missing",
         [&] { writeUserConf("GroupsFile=" + home("nowhere/g.zgr") + "\n"); }, eReasonGroupsFile},
        {"seed file is a directory",
         [&] {
             writeUserConf("Randseed=" + home("seeddir") + "\n");
             std::filesystem::create_directories(home("seeddir"));
         },
         eReasonRandSeed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(personal());
        std::filesystem::remove(home("zaf.env"));
        c.prepare();
        auto e = openFails();
        ASSERT_TRUE(e);
        EXPECT_EQ(c.reason, e->getReason());
        EXPECT_EQ("Error opening Vorn Server", e->getMessage());
        EXPECT_NE(std::string::npos, e->getDetailedMessage().find(gGetReasonText(c.reason)));
        asRoot([&] {
            std::filesystem::copy_file(
                std::string(ORX_TEST_DATA_DIR) + "/../../conf/zaf-template.cfg",
                install("zaf-template.cfg"), std::filesystem::copy_options::overwrite_existing);
            chmod(install("zaf-template.cfg").c_str(), 0644);
        });
    }
}

TEST_F(VornServerOpen, MalformedUserFileNamesTheLineInItsCause) {
    writeUserConf("Armor=on\n\nA=b=c\n");
    auto e = openFails();
    ASSERT_TRUE(e);
    EXPECT_EQ(eReasonUserConfRead, e->getReason());
    const auto* cause = dynamic_cast<const CZAFPropertiesParsingException*>(e->getRoot());
    ASSERT_NE(nullptr, cause);
    EXPECT_EQ(eReasonTooManyDelimiters, cause->getReason());
    EXPECT_EQ(3u, cause->getLineNumber());
}

TEST_F(VornServerOpen, AnUnsearchablePersonalPathCannotBeExamined) {
    // The existence check passes (it uses the real, root, identity) while the account itself
    // cannot look inside.
    std::string locked;
    asRoot([&] {
        locked = home("../") + "orx-locked-" + std::to_string(getpid());
        std::filesystem::create_directories(locked + "/keys");
        chmod(locked.c_str(), 0700);
    });
    write(home("zaf.env"), "ZAFPATH=" + locked + "/keys\n");
    auto e = openFails();
    asRoot([&] { std::filesystem::remove_all(locked); });
    ASSERT_TRUE(e);
    EXPECT_EQ(eReasonZafDirStat, e->getReason());
    EXPECT_NE(nullptr, dynamic_cast<const CZAFFileAccessException*>(e->getRoot()));
}

TEST_F(VornServerOpen, AnAccountWithoutHomeCannotOpen) {
    becomeRoot();
    // An effective user the password database does not know.
    uid_t stranger = 54321;
    while (getpwuid(stranger) != nullptr)
        ++stranger;
    ASSERT_EQ(0, seteuid(stranger));
    EXPECT_EQ("/.zaf", CVornServer::getDefaultPersonalZAFDir());
    auto e = openFails();
    ASSERT_EQ(0, seteuid(0));
    becomeAccount();
    ASSERT_TRUE(e);
    EXPECT_EQ(eReasonHomeDir, e->getReason());
}

TEST_F(VornServerOpen, ConfigurationChangesReachLaterServersAndKeepComments) {
    writeUserConf("# mine\nArmor=on\nCompress=on\n");
    CServerPtr server = open();
    CVornServerCfgUserPart part(nullptr);
    part.processKeyValue("Armor", "off");
    part.processKeyValue("Log-File", home("tx.log"));
    server->mergeUserConfChanges(part);
    EXPECT_FALSE(server->hasLog()) << "a running server keeps its configuration";

    const std::string text = read(personal("zaf.cfg"));
    EXPECT_EQ(0u, text.find("# mine\n#Armor=on\n#Compress=on\n")) << text;
    CServerPtr later = open();
    EXPECT_TRUE(later->hasLog());
    bool armor = true;
    ASSERT_TRUE(later->getConfiguration().getValue(eZAFOpArmor, armor));
    EXPECT_FALSE(armor);

    // A change that would not read back is refused and leaves the file as it was.
    CVornServerCfgUserPart bad(nullptr);
    bad.processKeyValue("Comment", "line\none");
    auto e = expectThrow<CZAFPropertiesException>([&] { later->mergeUserConfChanges(bad); });
    EXPECT_TRUE(e);
    EXPECT_EQ(text, read(personal("zaf.cfg")));
}

} // namespace
