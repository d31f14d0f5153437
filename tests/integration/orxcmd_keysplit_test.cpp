// Split custody end to end: a key pair's secret part cut into shares for five holders (or with
// passphrases), every 3-of-5 subset rebuilding the same key (used once in memory, and restored),
// too few, tampered and foreign shares refused by name, shares handed on with --send-share, and
// the command-line faults.
#include "orxcmd_harness.h"

#include <gtest/gtest.h>

using namespace orxtest;

namespace {

class OrxcmdKeySplit : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxcs");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
        m_vault = generate("Vault <vault@example.org>", "kpw");
        for (int i = 1; i <= 5; ++i)
            m_holders.push_back(generate("Holder " + std::to_string(i) + " <h" + std::to_string(i) +
                                             "@example.org>",
                                         "h" + std::to_string(i)));
        writeAsUser("data.txt", "signed by a rebuilt key\n");
        ScopedIdentity as(*m_user);
        ::mkdir(m_user->file("shares").c_str(), 0700);
    }

    SCmdResult run(const std::vector<std::string>& args, const std::string& lines = "") {
        SCmdOptions options;
        options.passphrases = lines;
        return runOrxcmd(*m_user, m_install, args, options);
    }
    std::string generate(const std::string& userID, const std::string& passphrase) {
        SCmdResult failed;
        const std::string id = generateKeyAs(*m_user, m_install, userID, passphrase, {}, &failed);
        EXPECT_NE("", id) << failed.err;
        return id;
    }
    void writeAsUser(const std::string& relative, const std::string& content) {
        ScopedIdentity as(*m_user);
        std::ofstream(m_user->file(relative), std::ios::binary) << content;
    }
    std::string share(int i, int count) {
        return "shares/" + m_vault.substr(2) + "-share-" + std::to_string(i) + "-of-" +
               std::to_string(count) + ".zaf";
    }
    // "sec" or "pub": whether the vault key's secret part is in the rings.
    std::string vaultKind() {
        const SCmdResult r = run({"--key-list", m_vault, "--with-colons"});
        return r.out.substr(0, 3);
    }
    void splitToHolders() {
        std::vector<std::string> args = {"--key-split", m_vault,   "--threshold", "3",
                                         "--count",     "5",       "--output",    "shares",
                                         "--force",     "--userid"};
        args.insert(args.end(), m_holders.begin(), m_holders.end());
        const SCmdResult r = run(args);
        ASSERT_EQ(0, r.rc) << r.err;
        EXPECT_NE(std::string::npos, r.out.find("split into 5 shares, any 3 of which")) << r.out;
        EXPECT_NE(std::string::npos, r.out.find("secret part of " + m_vault + " removed")) << r.out;
    }
    void splitWithPassphrases(int threshold, int count, const std::string& folder = "shares") {
        std::string lines;
        for (int i = 1; i <= count; ++i)
            lines += "s" + std::to_string(i) + "\n";
        const SCmdResult r =
            run({"--key-split", m_vault, "--threshold", std::to_string(threshold), "--count",
                 std::to_string(count), "--output", folder, "--challenge-fd", "3", "--overwrite"},
                lines);
        ASSERT_EQ(0, r.rc) << r.err;
    }

    std::unique_ptr<TestAccount> m_user;
    COrxInstall m_install;
    std::string m_vault;
    std::vector<std::string> m_holders;
};

} // namespace

TEST_F(OrxcmdKeySplit, EveryThreeOfFiveSubsetRebuildsTheSameKey) {
    splitToHolders();
    EXPECT_EQ("pub", vaultKind());
    int subsets = 0;
    for (int a = 1; a <= 5; ++a)
        for (int b = a + 1; b <= 5; ++b)
            for (int c = b + 1; c <= 5; ++c) {
                SCOPED_TRACE(std::to_string(a) + std::to_string(b) + std::to_string(c));
                const std::string sig =
                    "sig" + std::to_string(a) + std::to_string(b) + std::to_string(c);
                const std::string lines = "h" + std::to_string(a) + "\nh" + std::to_string(b) +
                                          "\nh" + std::to_string(c) + "\nkpw\n";
                SCmdResult r = run({"--sign", "data.txt", "--detached", "--sign-with", m_vault,
                                    "--output", sig, "--passphrase-fd", "3", "--reconstruct-data",
                                    share(a, 5), share(b, 5), share(c, 5)},
                                   lines);
                ASSERT_EQ(0, r.rc) << r.err;
                r = run({"--verify", sig, "data.txt"});
                EXPECT_EQ(0, r.rc) << r.out << r.err;
                EXPECT_NE(std::string::npos, r.out.find("good signature from " + m_vault)) << r.out;
                ++subsets;
            }
    EXPECT_EQ(10, subsets);
    // Used once, never stored.
    EXPECT_EQ("pub", vaultKind());

    // Restored for good, with a new passphrase.
    SCmdResult r = run({"--key-join", share(2, 5), share(4, 5), share(5, 5), "--new-passphrase",
                        "--passphrase-fd", "3"},
                       "h2\nh4\nh5\nkpw\nfresh\n");
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("sec", vaultKind());
    r = run({"--sign", "data.txt", "--sign-with", m_vault, "--passphrase-fd", "3", "--output",
             "signed.zaf"},
            "fresh\n");
    EXPECT_EQ(0, r.rc) << r.err;
}

TEST_F(OrxcmdKeySplit, TooFewTamperedAndForeignSharesAreRefusedByName) {
    splitWithPassphrases(2, 3);
    EXPECT_EQ("sec", vaultKind()); // without --force the secret part stays
    ASSERT_EQ(0, run({"--key-remove", m_vault, "--force"}).rc);

    SCmdResult r = run({"--key-join", share(1, 3), "--challenge-fd", "3"}, "s1\n");
    EXPECT_EQ(8, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("not enough shares: 1 different given, 2 of the 3"))
        << r.err;
    r = run({"--key-join", share(1, 3), share(1, 3), "--challenge-fd", "3"}, "s1\ns1\n");
    EXPECT_EQ(8, r.rc) << r.err;
    r = run({"--key-join", share(1, 3), share(2, 3), "--challenge-fd", "3"}, "s1\nwrong\n");
    EXPECT_EQ(5, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(share(2, 3))) << r.err;

    // A changed byte of the encrypted file: the message's integrity check names the file.
    std::string file = slurp(m_user->file(share(2, 3)));
    file[file.size() / 2] ^= 0x01;
    writeAsUser("changed.zaf", file);
    r = run({"--key-join", share(1, 3), "changed.zaf", "--challenge-fd", "3"}, "s1\ns2\n");
    EXPECT_EQ(8, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("changed.zaf")) << r.err;

    // A changed share inside a well-made message: its digest names it.
    r = run({"--decrypt", share(3, 3), "--passphrase-fd", "3"}, "s3\n");
    ASSERT_EQ(0, r.rc) << r.err;
    std::string payload = r.out;
    payload[payload.size() - 1] ^= 0x40;
    writeAsUser("payload", payload);
    ASSERT_EQ(
        0,
        run({"--conventional", "payload", "--passphrase-fd", "3", "--output", "forged.zaf"}, "s3\n")
            .rc);
    r = run({"--key-join", share(1, 3), "forged.zaf", "--challenge-fd", "3"}, "s1\ns3\n");
    EXPECT_EQ(8, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("forged.zaf: share 3 is corrupted")) << r.err;

    // A share of another split of the same key.
    {
        ScopedIdentity as(*m_user);
        ::mkdir(m_user->file("other").c_str(), 0700);
    }
    EXPECT_EQ("", vaultKind()); // removed, key pair and all
    r = run({"--key-join", share(1, 3), share(2, 3), "--challenge-fd", "3"}, "s1\ns2\n");
    ASSERT_EQ(0, r.rc) << r.err; // two good shares bring the whole key pair back
    EXPECT_EQ("sec", vaultKind());
    splitWithPassphrases(2, 3, "other");
    r = run({"--key-join", share(1, 3), "other/" + m_vault.substr(2) + "-share-2-of-3.zaf",
             "--challenge-fd", "3"},
            "s1\ns2\n");
    EXPECT_EQ(8, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("is a share of another split")) << r.err;
}

TEST_F(OrxcmdKeySplit, HoldersHandTheirSharesToAJoiningParty) {
    splitToHolders();
    const std::string joiner = generate("Joiner <joiner@example.org>", "jpw");
    std::vector<std::string> handed;
    for (int i : {1, 3, 5}) {
        const SCmdResult r =
            run({"--send-share", share(i, 5), "--userid", joiner, "--passphrase-fd", "3"},
                "h" + std::to_string(i) + "\n");
        ASSERT_EQ(0, r.rc) << r.err;
        EXPECT_NE(std::string::npos, r.out.find("protected for " + joiner)) << r.out;
        handed.push_back(m_vault.substr(2) + "-share-" + std::to_string(i) + "-of-5-for-" +
                         joiner.substr(2) + ".zaf");
    }
    // The joining party opens every share with its own key.
    const SCmdResult r = run(
        {"--key-join", handed[0], handed[1], handed[2], "--passphrase-fd", "3"}, "jpw\njpw\njpw\n");
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("sec", vaultKind());
    EXPECT_EQ(2, run({"--send-share", share(2, 5)}).rc);
    EXPECT_EQ(3, run({"--send-share", share(2, 5), "--userid", "nobody@example.org"}).rc);
}

TEST_F(OrxcmdKeySplit, BadCommandLinesAndFilesInTheWayChangeNothing) {
    struct SCase {
        std::vector<std::string> args;
        int rc;
    };
    const std::vector<SCase> cases = {
        {{"--key-split", m_vault, "--count", "5"}, 2},
        {{"--key-split", m_vault, "--threshold", "6", "--count", "5"}, 2},
        {{"--key-split", m_vault, "--threshold", "1", "--count", "5"}, 2},
        {{"--key-split", m_vault, "--threshold", "2", "--count", "300"}, 2},
        {{"--key-split", m_vault, "--threshold", "2", "--count", "3", "--userid", m_holders[0]}, 2},
        {{"--key-split", m_vault, "--threshold", "2", "--count", "3", "--output", "missing"}, 7},
        {{"--key-list", "--threshold", "2"}, 2},
        {{"--key-list", "--reconstruct-data", "x"}, 2},
        {{"--key-join", "x", "--new-passphrase", "secret"}, 2},
        {{"--key-join"}, 2},
        {{"--key-join", "missing.zaf"}, 7},
    };
    for (const SCase& c : cases) {
        std::string shown;
        for (const std::string& a : c.args)
            shown += a + " ";
        const SCmdResult r = run(c.args);
        EXPECT_EQ(c.rc, r.rc) << shown << "\n" << r.err;
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << shown << "\n" << r.err;
    }
    // A key whose secret part is not held cannot be split.
    const SCmdResult exported = run({"--key-export", m_holders[0]});
    ASSERT_EQ(0, run({"--key-remove", m_holders[0], "--force"}).rc);
    SCmdOptions in;
    in.input = exported.out;
    ASSERT_EQ(0, runOrxcmd(*m_user, m_install, {"--key-add"}, in).rc);
    EXPECT_EQ(3, run({"--key-split", m_holders[0], "--threshold", "2", "--count", "2",
                      "--challenge-fd", "3"},
                     "a\nb\n")
                     .rc);
    // One share file in the way: no share is written, the secret part stays.
    writeAsUser(share(2, 3), "mine");
    const SCmdResult r = run({"--key-split", m_vault, "--threshold", "2", "--count", "3",
                              "--output", "shares", "--challenge-fd", "3", "--force"},
                             "a\nb\nc\n");
    EXPECT_EQ(7, r.rc) << r.err;
    EXPECT_FALSE(std::filesystem::exists(m_user->file(share(1, 3))));
    EXPECT_EQ("mine", slurp(m_user->file(share(2, 3))));
    EXPECT_EQ("sec", vaultKind());
}
