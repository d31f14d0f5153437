// Additional decryption keys end to end: an organisation's key (held by one account) named as a
// required or requested ADK on a user's keys (held by another); messages to those keys open with
// the organisation's secret key; missing, disabled and revoked ADKs; --warn-adk, --enforce-adk,
// --add-all and an ADK named outright with --adk-key.
#include "orxcmd_harness.h"

#include <gtest/gtest.h>
#include <sstream>

using namespace orxtest;

namespace {

class OrxcmdADK : public ::testing::Test {
protected:
    void SetUp() override {
        m_org = TestAccount::create("orxao");
        m_sender = TestAccount::create("orxas");
        if (!m_org || !m_sender)
            GTEST_SKIP() << TestAccount::skipReason();
        m_corp = generate(*m_org, "Corp Recovery <recovery@corp.example>");
        copyPublicKey(*m_org, *m_sender, m_corp);
        m_ann =
            generate(*m_sender, "Ann <ann@corp.example>", {"--adk-key", m_corp, "--enforce-adk"});
        m_bob = generate(*m_sender, "Bob <bob@corp.example>", {"--adk-key", m_corp});
        m_carol = generate(*m_sender, "Carol <carol@corp.example>");
        writeAs(*m_sender, "plain.txt", "quarterly figures\n");
    }

    SCmdResult run(const TestAccount& who, const std::vector<std::string>& args,
                   const SCmdOptions& options = {}) {
        return runOrxcmd(who, m_install, args, options);
    }
    static SCmdOptions pass(const std::string& lines, const std::string& input = "") {
        SCmdOptions options;
        options.passphrases = lines;
        options.input = input;
        return options;
    }
    std::string generate(const TestAccount& who, const std::string& userID,
                         const std::vector<std::string>& extra = {}) {
        SCmdResult failed;
        const std::string id = generateKeyAs(who, m_install, userID, "pw", extra, &failed);
        EXPECT_NE("", id) << failed.err;
        return id;
    }
    void copyPublicKey(const TestAccount& from, const TestAccount& to, const std::string& key) {
        const SCmdResult exported = run(from, {"--key-export", key});
        ASSERT_EQ(0, exported.rc) << exported.err;
        const SCmdResult added = run(to, {"--key-add"}, pass("", exported.out));
        ASSERT_EQ(0, added.rc) << added.err;
    }
    void writeAs(const TestAccount& who, const std::string& relative, const std::string& data) {
        ScopedIdentity as(who);
        std::ofstream(who.file(relative), std::ios::binary) << data;
    }
    // Encrypts plain.txt as the sender to `to` with `extra` switches; the status lines in `out`.
    SCmdResult encrypt(const std::string& to, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--encrypt", "plain.txt",   "--userid",
                                         to,          "--status-fd", "1",
                                         "--output",  "msg.zaf",     "--overwrite"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run(*m_sender, args);
    }
    static int adkLines(const std::string& status) {
        int n = 0;
        std::istringstream in(status);
        for (std::string line; std::getline(in, line);)
            if (line.compare(0, 16, "[ORXCMD] ENC_TO ") == 0 && line.size() > 4 &&
                line.compare(line.size() - 4, 4, " adk") == 0)
                ++n;
        return n;
    }

    std::unique_ptr<TestAccount> m_org, m_sender;
    COrxInstall m_install;
    std::string m_corp, m_ann, m_bob, m_carol;
};

} // namespace

TEST_F(OrxcmdADK, AMessageToAKeyWithARequiredADKOpensWithTheADKsSecretKey) {
    SCmdResult r = run(*m_sender, {"--key-list", m_ann, "--adk"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Corp Recovery <recovery@corp.example> [required]"))
        << r.out;
    r = run(*m_sender, {"--key-detail", m_bob});
    EXPECT_NE(std::string::npos, r.out.find("[requested]")) << r.out;
    r = run(*m_sender, {"--key-list", m_ann, "--adk", "--with-colons"});
    EXPECT_NE(std::string::npos, r.out.find("\nadk::::")) << r.out;

    r = encrypt(m_ann);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(1, adkLines(r.out)) << r.out;
    // The organisation holds no key of Ann: the ADK's secret key opens the message.
    const std::string message = slurp(m_sender->file("msg.zaf"));
    r = run(*m_org, {"--decrypt", "--passphrase-fd", "3"}, pass("pw\n", message));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("quarterly figures\n", r.out);

    // An ADK named outright goes on a message to a key that names none.
    r = encrypt(m_carol, {"--adk-key", m_corp, "--warn-adk"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(1, adkLines(r.out)) << r.out;
    EXPECT_NE(std::string::npos, r.err.find("additional decryption key 0x")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(" added")) << r.err;
    r = run(*m_org, {"--decrypt", "--passphrase-fd", "3"},
            pass("pw\n", slurp(m_sender->file("msg.zaf"))));
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0, adkLines(encrypt(m_carol).out));
}

TEST_F(OrxcmdADK, AMissingRequiredADKRefusesUnlessWarnedAndEnforcementWins) {
    ASSERT_EQ(0, run(*m_sender, {"--key-remove", m_corp}).rc);
    SCmdResult r = encrypt(m_ann);
    EXPECT_EQ(3, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("additional decryption key")) << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    EXPECT_FALSE(std::filesystem::exists(m_sender->file("msg.zaf")));

    r = encrypt(m_ann, {"--warn-adk"});
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("was not added")) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("[ORXCMD] WARNING 1 ")) << r.out;
    r = encrypt(m_ann, {"--warn-adk", "--enforce-adk"});
    EXPECT_EQ(3, r.rc) << r.err;

    // A requested ADK that is missing is only a warning, unless every ADK is enforced.
    r = encrypt(m_bob);
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("was not added")) << r.err;
    EXPECT_EQ(3, encrypt(m_bob, {"--enforce-adk"}).rc);

    // An ADK named outright that is not held fails, or warns with --warn-adk.
    EXPECT_EQ(3, encrypt(m_carol, {"--adk-key", m_corp}).rc);
    EXPECT_EQ(0, encrypt(m_carol, {"--adk-key", m_corp, "--warn-adk"}).rc);
}

TEST_F(OrxcmdADK, DisabledAndRevokedADKsAreNotUsedAndAddAllChoosesRequestedOnes) {
    EXPECT_EQ(1, adkLines(encrypt(m_bob).out));
    SCmdResult r = encrypt(m_bob, {"--add-all", "no"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0, adkLines(r.out)) << r.out;
    EXPECT_EQ(1, adkLines(encrypt(m_ann, {"--add-all", "no"}).out)); // required: always

    ASSERT_EQ(0, run(*m_sender, {"--disable", m_corp}).rc);
    r = encrypt(m_bob);
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0, adkLines(r.out)) << r.out;
    EXPECT_EQ(3, encrypt(m_ann).rc);
    ASSERT_EQ(0, run(*m_sender, {"--enable", m_corp}).rc);
    EXPECT_EQ(1, adkLines(encrypt(m_bob).out));

    // The organisation revokes its key; the sender learns of it.
    ASSERT_EQ(0, run(*m_org, {"--revoke", m_corp, "--passphrase-fd", "3"}, pass("pw\n")).rc);
    copyPublicKey(*m_org, *m_sender, m_corp);
    r = encrypt(m_bob);
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0, adkLines(r.out)) << r.out;
    EXPECT_EQ(3, encrypt(m_ann).rc);
}

TEST_F(OrxcmdADK, BadADKSwitchesGiveTheirCodes) {
    EXPECT_EQ(2, run(*m_sender, {"--key-list", "--adk-key", m_corp}).rc);
    EXPECT_EQ(2, run(*m_sender, {"--decrypt", "--warn-adk"}).rc);
    EXPECT_EQ(2, encrypt(m_bob, {"--adk-key", "0xZZZZ"}).rc);
    EXPECT_EQ(2, encrypt(m_bob, {"--add-all", "maybe"}).rc);
    EXPECT_EQ(3, encrypt(m_bob, {"--adk-key", "0x01234567"}).rc);
    // A key generated with an ADK that is not held.
    const SCmdResult r = run(*m_sender,
                             {"--key-gen", "--key-size", "1024", "--userid", "Dan <d@x>",
                              "--passphrase-fd", "3", "--adk-key", "0x01234567"},
                             pass("pw\n"));
    EXPECT_NE(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("ADK key not found")) << r.err;
}
