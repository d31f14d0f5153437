// Files and signers of the message commands end to end: --multi, the stored file name
// (--force-filename, --discard-paths) and --preserve-name, --pass-through, --signed-by,
// --authenticate, --binary and --conventional-passphrase-fd.
#include "orxcmd_harness.h"

#include <gtest/gtest.h>

using namespace orxtest;

namespace {

class OrxcmdFiles : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxcf");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
        m_ann = generate("Ann <ann@example.org>");
        m_bob = generate("Bob <bob@example.org>");
        ScopedIdentity as(*m_user);
        ::mkdir(m_user->file("out").c_str(), 0700);
    }

    SCmdResult run(const std::vector<std::string>& args, const std::string& lines = "",
                   const std::string& input = "") {
        SCmdOptions options;
        options.passphrases = lines;
        options.input = input;
        return runOrxcmd(*m_user, m_install, args, options);
    }
    std::string generate(const std::string& userID) {
        SCmdResult failed;
        const std::string id = generateKeyAs(*m_user, m_install, userID, "pw", {}, &failed);
        EXPECT_NE("", id) << failed.err;
        return id;
    }
    void write(const std::string& relative, const std::string& content) {
        ScopedIdentity as(*m_user);
        std::ofstream(m_user->file(relative), std::ios::binary) << content;
    }
    std::string read(const std::string& relative) { return slurp(m_user->file(relative)); }
    bool exists(const std::string& relative) {
        return std::filesystem::exists(m_user->file(relative));
    }
    static bool has(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }

    std::unique_ptr<TestAccount> m_user;
    COrxInstall m_install;
    std::string m_ann, m_bob;
};

} // namespace

TEST_F(OrxcmdFiles, MultiGivesEveryFileItsOwnOutputAndResult) {
    for (const char* name : {"a.txt", "b.txt", "c.txt"})
        write(name, std::string("content of ") + name + "\n");
    SCmdResult r =
        run({"--encrypt", "--multi", "a.txt", "b.txt", "missing.txt", "c.txt", "--userid", m_ann});
    EXPECT_EQ(7, r.rc) << r.err;
    EXPECT_TRUE(has(r.err, "orxcmd: missing.txt: cannot read missing.txt")) << r.err;
    EXPECT_TRUE(has(r.err, "1 of 4 files failed")) << r.err;
    EXPECT_EQ(2, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    EXPECT_TRUE(has(r.out, "a.txt: written to ./a.txt.zaf")) << r.out;
    for (const char* name : {"a.txt.zaf", "b.txt.zaf", "c.txt.zaf"})
        EXPECT_TRUE(exists(name)) << name;

    r = run({"--decrypt", "a.txt.zaf", "--multi", "b.txt.zaf", "c.txt.zaf", "--output", "out",
             "--passphrase-fd", "3"},
            "pw\npw\npw\n");
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("content of b.txt\n", read("out/b.txt"));
    EXPECT_EQ("content of c.txt\n", read("out/c.txt"));

    // Detached signatures beside their data, verified together.
    r = run({"--sign", "--multi", "a.txt", "b.txt", "--detached", "--sign-with", m_ann,
             "--passphrase-fd", "3"},
            "pw\npw\n");
    ASSERT_EQ(0, r.rc) << r.err;
    write("b.txt", "changed\n");
    r = run({"--verify", "--multi", "a.txt.sig", "b.txt.sig"});
    EXPECT_EQ(11, r.rc) << r.out << r.err;
    EXPECT_TRUE(has(r.out, "good signature from " + m_ann)) << r.out;
    EXPECT_TRUE(has(r.out, "BAD signature")) << r.out;
    EXPECT_TRUE(has(r.err, "b.txt.sig")) << r.err;

    EXPECT_EQ(2, run({"--encrypt", "a.txt", "b.txt", "--userid", m_ann}).rc);
    EXPECT_EQ(2, run({"--encrypt", "--multi", "a.txt", "--userid", m_ann, "--output", "a.zaf"})
                     .rc); // --output with --multi names a folder
    EXPECT_EQ(2, run({"--encrypt", "--multi", "--userid", m_ann}).rc); // no files
}

TEST_F(OrxcmdFiles, TheStoredNameComesBackAsABaseNameOnly) {
    write("report.txt", "the report\n");
    SCmdResult r = run({"--encrypt", "report.txt", "--userid", m_bob, "--force-filename",
                        "../../etc/evil", "--output", "m1.zaf"});
    ASSERT_EQ(0, r.rc) << r.err;
    r = run(
        {"--decrypt", "m1.zaf", "--status-fd", "2", "--passphrase-fd", "3", "--output", "m1.out"},
        "pw\n");
    EXPECT_TRUE(has(r.err, "LITERAL b 11 ")) << r.err;
    EXPECT_TRUE(has(r.err, " evil\n")) << r.err; // Discard-Paths: the folders were not stored

    ASSERT_EQ(0, run({"--encrypt", "report.txt", "--userid", m_bob, "--force-filename",
                      "../../etc/evil", "--discard-paths", "no", "--output", "m2.zaf"})
                     .rc);
    // The sender stored a path; the base name alone is used, in the output folder.
    r = run({"--decrypt", "m2.zaf", "--preserve-name", "--output", "out", "--passphrase-fd", "3"},
            "pw\n");
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("the report\n", read("out/evil"));
    EXPECT_FALSE(exists("../etc/evil"));
    // Never over an existing file without --overwrite; nothing else is left behind.
    write("out/evil", "mine");
    r = run({"--decrypt", "m2.zaf", "--preserve-name", "--output", "out", "--passphrase-fd", "3"},
            "pw\n");
    EXPECT_EQ(7, r.rc) << r.err;
    EXPECT_EQ("mine", read("out/evil"));
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(m_user->file("out")),
                               std::filesystem::directory_iterator()));
    r = run({"--decrypt", "m2.zaf", "--preserve-name", "--output", "out", "--overwrite",
             "--passphrase-fd", "3"},
            "pw\n");
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("the report\n", read("out/evil"));

    // Hidden names and names with control characters are refused; so is a message without one.
    for (const std::string& stored : {std::string(".profile"), std::string("a\x01z")}) {
        ASSERT_EQ(0, run({"--encrypt", "report.txt", "--userid", m_bob, "--force-filename", stored,
                          "--output", "m3.zaf", "--overwrite"})
                         .rc);
        r = run({"--decrypt", "m3.zaf", "--preserve-name", "--passphrase-fd", "3"}, "pw\n");
        EXPECT_EQ(8, r.rc) << r.err;
    }
    EXPECT_FALSE(exists(".profile"));
    ASSERT_EQ(0, run({"--encrypt", "--userid", m_bob, "--output", "m4.zaf"}, "", "stdin data").rc);
    r = run({"--decrypt", "m4.zaf", "--preserve-name", "--passphrase-fd", "3"}, "pw\n");
    EXPECT_EQ(8, r.rc) << r.err;
    EXPECT_TRUE(has(r.err, "stores no file name")) << r.err;
}

TEST_F(OrxcmdFiles, PassThroughCopiesWhatIsNoMessageAndDecryptsWhatIs) {
    const std::string plain = "plain text, no message\n" + std::string(100000, 'x');
    write("plain.txt", plain);
    SCmdResult r = run({"--decrypt", "plain.txt", "--pass-through"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(plain, r.out);
    r = run({"--decrypt", "--pass-through"}, "", plain);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(plain, r.out);
    EXPECT_EQ(8, run({"--decrypt", "plain.txt"}).rc);
    // UTF-8 text whose first byte has its top bit set is no message either.
    r = run({"--decrypt", "--pass-through"}, "", "\xc3\xa9t\xc3\xa9\n");
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("\xc3\xa9t\xc3\xa9\n", r.out);

    // A message on standard input is decrypted as usual, armoured or binary.
    for (const char* armor : {"yes", "no"}) {
        r = run({"--encrypt", "--userid", m_bob, "--armor", armor}, "", "secret data\n");
        ASSERT_EQ(0, r.rc) << r.err;
        const SCmdResult d =
            run({"--decrypt", "--pass-through", "--passphrase-fd", "3"}, "pw\n", r.out);
        EXPECT_EQ(0, d.rc) << d.err;
        EXPECT_EQ("secret data\n", d.out);
    }
}

TEST_F(OrxcmdFiles, SignedByAndAuthenticateReleaseDataOnlyForTheRightSigners) {
    write("data", "signed and sealed\n");
    ASSERT_EQ(0, run({"--encrypt", "data", "--userid", m_bob, "--sign", "--sign-with", m_ann,
                      "--passphrase-fd", "3", "--output", "signed.zaf"},
                     "pw\n")
                     .rc);
    ASSERT_EQ(0, run({"--encrypt", "data", "--userid", m_bob, "--output", "unsigned.zaf"}).rc);
    SCmdResult r = run(
        {"--decrypt", "signed.zaf", "--signed-by", m_bob, m_ann, "--passphrase-fd", "3"}, "pw\n");
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("signed and sealed\n", r.out);
    r = run({"--decrypt", "signed.zaf", "--signed-by", m_bob, "--passphrase-fd", "3"}, "pw\n");
    EXPECT_EQ(11, r.rc) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_TRUE(has(r.err, "no good signature by " + m_bob)) << r.err;
    r = run({"--decrypt", "unsigned.zaf", "--signed-by", m_ann, "--passphrase-fd", "3", "--output",
             "released"},
            "pw\n");
    EXPECT_EQ(11, r.rc) << r.err;
    EXPECT_FALSE(exists("released"));
    EXPECT_EQ(2, run({"--decrypt", "signed.zaf", "--signed-by", "Ann"}).rc); // key IDs only

    // --authenticate: a good signature by a key of complete validity.
    EXPECT_EQ(
        0, run({"--decrypt", "signed.zaf", "--authenticate", "--passphrase-fd", "3"}, "pw\n").rc);
    EXPECT_EQ(
        11,
        run({"--decrypt", "unsigned.zaf", "--authenticate", "--passphrase-fd", "3"}, "pw\n").rc);
    // A stranger's key is held but not valid.
    auto stranger = TestAccount::create("orxcg");
    ASSERT_TRUE(stranger);
    SCmdOptions gen;
    gen.passphrases = "sp\n";
    SCmdResult made = runOrxcmd(
        *stranger, m_install,
        {"--key-gen", "--key-size", "1024", "--userid", "Eve <e@x.org>", "--passphrase-fd", "3"},
        gen);
    ASSERT_EQ(0, made.rc) << made.err;
    const std::string eve = made.out.substr(made.out.find("0x"), 10);
    SCmdOptions in;
    in.input = "from a stranger\n";
    in.passphrases = "sp\n";
    const SCmdResult signedByEve =
        runOrxcmd(*stranger, m_install, {"--sign", "--sign-with", eve, "--passphrase-fd", "3"}, in);
    ASSERT_EQ(0, signedByEve.rc) << signedByEve.err;
    const SCmdResult key = runOrxcmd(*stranger, m_install, {"--key-export", eve});
    ASSERT_EQ(0, run({"--key-add"}, "", key.out).rc);
    r = run({"--verify", "--authenticate"}, "", signedByEve.out);
    EXPECT_EQ(11, r.rc) << r.out << r.err;
    EXPECT_EQ(0, run({"--verify"}, "", signedByEve.out).rc);
    EXPECT_EQ(0, run({"--verify", "--signed-by", eve}, "", signedByEve.out).rc);
}

TEST_F(OrxcmdFiles, BinaryAndTheMessagePassphraseDescriptor) {
    write(".zaf/zaf.cfg", read(".zaf/zaf.cfg") + "\nArmor = yes\n");
    SCmdResult r = run({"--key-export", m_ann});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(has(r.out, "-----BEGIN")) << r.out.substr(0, 40);
    r = run({"--key-export", m_ann, "--binary"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_FALSE(has(r.out, "-----BEGIN"));
    EXPECT_EQ(0x80, static_cast<unsigned char>(r.out[0]) & 0x80);
    EXPECT_EQ(2, run({"--key-export", m_ann, "--binary", "--armor"}).rc);
    EXPECT_EQ(2, run({"--encrypt", "--userid", m_ann, "--binary", "--text"}).rc);
    EXPECT_EQ(2, run({"--key-list", "--binary"}).rc);

    // The message passphrase from its own descriptor, the key passphrase from another.
    write("data", "two passphrases\n");
    SCmdOptions options;
    options.passphrases = "message words\n";
    options.input = "pw\n";
    r = runOrxcmd(*m_user, m_install,
                  {"--conventional", "data", "--sign", "--sign-with", m_ann,
                   "--conventional-passphrase-fd", "3", "--passphrase-fd", "0", "--output",
                   "both.zaf"},
                  options);
    ASSERT_EQ(0, r.rc) << r.err;
    r = run({"--decrypt", "both.zaf", "--conventional-passphrase-fd", "3"}, "message words\n");
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("two passphrases\n", r.out);
    EXPECT_EQ(5, run({"--decrypt", "both.zaf", "--conventional-passphrase-fd", "3"}, "wrong\n").rc);
}
