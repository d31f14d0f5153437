// The key and group commands of orxcmd end to end: a real orxcmd run as a throw-away account on
// real key rings in its home, and its bad-input answers (exit code, one line, nothing changed).
#include "orxcmd_harness.h"

#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <tuple>

using namespace orxtest;

namespace {

class OrxcmdKeys : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxck");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
    }

    SCmdResult run(const std::vector<std::string>& args, const SCmdOptions& options = {}) {
        return runOrxcmd(*m_user, m_install, args, options);
    }
    SCmdResult runAs(const TestAccount& account, const std::vector<std::string>& args,
                     const SCmdOptions& options = {}) {
        return runOrxcmd(account, m_install, args, options);
    }
    static SCmdOptions pass(const std::string& lines, const std::string& input = "") {
        SCmdOptions options;
        options.passphrases = lines;
        options.input = input;
        return options;
    }
    // Generates a fast RSA 1024 key pair and returns its short key ID.
    std::string generate(const std::string& userID, const std::string& passphrase = "pw") {
        const SCmdResult r = run({"--key-gen", "--key-type", "RSA", "--key-size", "1024",
                                  "--userid", userID, "--passphrase-fd", "3"},
                                 pass(passphrase + "\n"));
        EXPECT_EQ(0, r.rc) << r.err;
        const std::string::size_type at = r.out.find("0x");
        EXPECT_NE(std::string::npos, at) << r.out;
        return at == std::string::npos ? "" : r.out.substr(at, 10);
    }
    // The colon listing's lines of one kind ("pub", "sec", "uid", "sig", "sub").
    std::vector<std::string> colonLines(const std::string& text, const std::string& kind) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line))
            if (line.compare(0, kind.size() + 1, kind + ":") == 0)
                lines.push_back(line);
        return lines;
    }
    static std::vector<std::string> fields(const std::string& line) {
        std::vector<std::string> out;
        std::string field;
        std::istringstream in(line);
        while (std::getline(in, field, ':'))
            out.push_back(field);
        return out;
    }
    std::string rings() {
        return slurp(m_user->file(".zaf/pubring.pkr")) + slurp(m_user->file(".zaf/secring.skr"));
    }
    void writeAsUser(const std::string& relative, const std::string& content) {
        ScopedIdentity as(*m_user);
        std::ofstream(m_user->file(relative), std::ios::binary) << content;
    }

    std::unique_ptr<TestAccount> m_user;
    COrxInstall m_install;
};

} // namespace

TEST_F(OrxcmdKeys, GeneratesListsSignsAndEditsKeys) {
    const std::string ann = generate("Ann Example <ann@example.org>", "ann-pass");
    const std::string bob = generate("Bob Example <bob@example.org>", "bob-pass");

    SCmdResult list = run({"--key-list", "--with-colons"});
    ASSERT_EQ(0, list.rc) << list.err;
    const auto secs = colonLines(list.out, "sec");
    ASSERT_EQ(2u, secs.size()) << list.out;
    for (const std::string& line : secs) {
        const auto f = fields(line);
        ASSERT_GE(f.size(), 10u);
        EXPECT_EQ("f", f[1]); // own keys are valid
        EXPECT_EQ("1024", f[2]);
        EXPECT_EQ("1", f[3]);        // RSA
        EXPECT_EQ("implicit", f[7]); // owner trust of a key pair
        EXPECT_EQ("s", f[8]);
    }
    list = run({"--key-list"});
    EXPECT_NE(std::string::npos, list.out.find("Ann Example <ann@example.org>")) << list.out;
    EXPECT_NE(std::string::npos, list.out.find("2 keys")) << list.out;

    // Certification, seen in the signature listing and by --key-check.
    SCmdResult r =
        run({"--key-sign", bob, "--sign-with", ann, "--passphrase-fd", "3"}, pass("ann-pass\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    list = run({"--key-list", bob, "--with-sigs", "--with-colons"});
    bool certified = false;
    for (const std::string& line : colonLines(list.out, "sig"))
        certified |= fields(line)[4].substr(8) == ann.substr(2) && fields(line)[1] == "!";
    EXPECT_TRUE(certified) << list.out;
    r = run({"--key-check"});
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("0 bad")) << r.out;

    // A wrong passphrase changes nothing.
    const std::string before = rings();
    r = run({"--add-userid", ann, "Ann Other <other@example.org>", "--passphrase-fd", "3"},
            pass("wrong\n"));
    EXPECT_EQ(5, r.rc) << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    EXPECT_EQ(before, rings());

    // User IDs.
    r = run({"--add-userid", ann, "Ann Other <other@example.org>", "--passphrase-fd", "3"},
            pass("ann-pass\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    list = run({"--key-detail", ann, "--with-colons"});
    EXPECT_EQ(2u, colonLines(list.out, "uid").size()) << list.out;
    r = run({"--remove-userid", ann, "Ann Other <other@example.org>"});
    ASSERT_EQ(0, r.rc) << r.err;
    list = run({"--key-detail", ann, "--with-colons"});
    EXPECT_EQ(1u, colonLines(list.out, "uid").size()) << list.out;

    // Owner trust, disabling.
    ASSERT_EQ(0, run({"--trust", bob, "marginal"}).rc);
    ASSERT_EQ(0, run({"--disable", bob}).rc);
    list = run({"--key-list", bob, "--with-colons"});
    auto f = fields(colonLines(list.out, "sec").at(0));
    EXPECT_EQ("marginal", f[7]);
    EXPECT_NE(std::string::npos, f[8].find('d'));
    // A disabled key is left out of recipient look-ups, also when its ID names it.
    writeAsUser("secret-note", "not for a disabled key\n");
    r = run({"--encrypt", "secret-note", "--userid", bob, "--output", "note.zaf"});
    EXPECT_EQ(3, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("is disabled")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(m_user->file("note.zaf")));
    ASSERT_EQ(0, run({"--enable", bob}).rc);
    r = run({"--encrypt", "secret-note", "--userid", bob, "--output", "note.zaf"});
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(2, run({"--trust", bob, "sometimes"}).rc);

    // A designated revoker, then a revocation by the key itself.
    r = run({"--add-revoker", bob, ann, "--passphrase-fd", "3"}, pass("bob-pass\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    list = run({"--key-detail", bob, "--with-colons"});
    EXPECT_NE(std::string::npos, list.out.find("rvk::::" + ann.substr(2))) << list.out;
    r = run({"--revoke", bob, "--passphrase-fd", "3"}, pass("bob-pass\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    list = run({"--key-list", bob, "--with-colons"});
    EXPECT_EQ("r", fields(colonLines(list.out, "sec").at(0))[1]) << list.out;
    EXPECT_NE(0, run({"--revoke", bob, "--passphrase-fd", "3"}, pass("bob-pass\n")).rc);

    // Subkeys: revoke one, then remove it.
    list = run({"--key-detail", ann, "--with-colons"});
    const auto subs = colonLines(list.out, "sub");
    ASSERT_EQ(1u, subs.size()) << list.out;
    const std::string sub = "0x" + fields(subs[0])[4];
    r = run({"--revoke-subkey", sub, "--passphrase-fd", "3"}, pass("ann-pass\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    list = run({"--key-detail", ann, "--with-colons"});
    EXPECT_EQ("r", fields(colonLines(list.out, "sub").at(0))[1]) << list.out;
    ASSERT_EQ(0, run({"--remove-subkey", sub}).rc);
    list = run({"--key-detail", ann, "--with-colons"});
    EXPECT_TRUE(colonLines(list.out, "sub").empty()) << list.out;
    EXPECT_EQ(3, run({"--remove-subkey", ann}).rc);

    // Certifications: revoke, then remove.
    r = run({"--revoke-sig", bob, ann, "--passphrase-fd", "3"}, pass("ann-pass\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    r = run({"--remove-sig", bob, ann});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(3, run({"--remove-sig", bob, ann}).rc);
}

TEST_F(OrxcmdKeys, EllipticCurveKeysAreMadeSignAndEncrypt) {
    // Without a size an ECC key is Ed25519 with a Curve25519 subkey; 384 names NIST P-384.
    SCmdResult r = run({"--key-gen", "--key-type", "ECC", "--userid", "Ed <ed@example.org>",
                        "--passphrase-fd", "3"},
                       pass("pw\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos,
              r.err.find("generating an Ed25519 key with a Curve25519 encryption subkey"))
        << r.err;
    r = run({"--key-gen", "--key-type", "ECC", "--key-size", "384", "--userid",
             "Nist <nist@example.org>", "--passphrase-fd", "3"},
            pass("pw\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos,
              r.err.find("generating an ECDSA P-384 key with an ECDH P-384 encryption subkey"));
    for (const auto& [name, primary, size] :
         {std::tuple{"Ed", "22", "256"}, std::tuple{"Nist", "19", "384"}}) {
        r = run({"--key-detail", name, "--with-colons"});
        ASSERT_EQ(0, r.rc) << r.err;
        const auto sec = colonLines(r.out, "sec");
        const auto sub = colonLines(r.out, "sub");
        ASSERT_EQ(1u, sec.size()) << r.out;
        ASSERT_EQ(1u, sub.size()) << r.out;
        EXPECT_EQ(primary, fields(sec[0])[3]);
        EXPECT_EQ(size, fields(sec[0])[2]);
        EXPECT_EQ("18", fields(sub[0])[3]);
    }
    // Each encrypts to and signs for the other.
    writeAsUser("note", "between two curves\n");
    r = run({"--encrypt", "note", "--userid", "Nist", "--sign", "--sign-with", "Ed", "--output",
             "note.zaf", "--passphrase-fd", "3"},
            pass("pw\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    r = run({"--decrypt", "note.zaf", "--passphrase-fd", "3"}, pass("pw\n"));
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("between two curves\n", r.out);
    EXPECT_NE(std::string::npos, r.err.find("good signature from")) << r.err;
    // A size that names no curve.
    r = run({"--key-gen", "--key-type", "ECC", "--key-size", "300", "--userid",
             "Odd <odd@example.org>", "--passphrase-fd", "3"},
            pass("pw\n"));
    EXPECT_NE(0, r.rc);
    EXPECT_NE(std::string::npos, r.err.find("Key size not in allowed range")) << r.err;
}

TEST_F(OrxcmdKeys, ExportsImportsAndReportsWhatChanged) {
    const std::string ann = generate("Ann Example <ann@example.org>");
    SCmdResult r = run({"--key-export", ann, "--armor", "--output", "ann.asc"});
    ASSERT_EQ(0, r.rc) << r.err;
    const std::string armoured = slurp(m_user->file("ann.asc"));
    EXPECT_EQ(0u, armoured.find("-----BEGIN ")) << armoured;
    r = run({"--key-export", ann, "--with-private", "--output", "ann-secret.key"});
    ASSERT_EQ(0, r.rc) << r.err;
    struct stat st {};
    ASSERT_EQ(0, ::stat(m_user->file("ann-secret.key").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    // The packets of the export.
    r = run({"--packet-list", "ann.asc"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("(Public-Key)")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("\"Ann Example <ann@example.org>\"")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("(Public-Subkey)")) << r.out;

    auto other = TestAccount::create("orxci");
    ASSERT_TRUE(other);
    r = runAs(*other, {"--key-add", "--with-colons"}, pass("", armoured));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0u, r.out.find("imp:new:" + ann.substr(2) + "::")) << r.out;
    r = runAs(*other, {"--key-add"}, pass("", armoured));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("0 new, 0 changed, 1 unchanged")) << r.out;

    // A new user ID makes the same key "changed".
    ASSERT_EQ(0, run({"--add-userid", ann, "Ann Work <ann@work.example>", "--passphrase-fd", "3"},
                     pass("pw\n"))
                     .rc);
    ASSERT_EQ(0, run({"--key-export", ann, "--output", "ann2.key"}).rc);
    r = runAs(*other, {"--key-add"}, pass("", slurp(m_user->file("ann2.key"))));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("0 new, 1 changed, 0 unchanged")) << r.out;

    // The secret export brings the key pair.
    r = runAs(*other, {"--key-add"}, pass("", slurp(m_user->file("ann-secret.key"))));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("key pair " + ann)) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("1 changed")) << r.out;

    // The 1k corpus, from a file.
    const std::string corpus = std::string(ORX_SHARED_DIR) + "/bench/pubring-1k.pkr";
    r = runAs(*other, {"--key-add", "-"}, pass("", slurp(corpus)));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("1000 keys read: 1000 new"))
        << r.out.substr(r.out.size() - 200);
    r = runAs(*other, {"--key-list", "--with-colons"});
    EXPECT_EQ(1000u, colonLines(r.out, "pub").size());
}

TEST_F(OrxcmdKeys, GroupsAndPhotoIDs) {
    const std::string ann = generate("Ann Example <ann@example.org>");
    const std::string bob = generate("Bob Example <bob@example.org>");
    ASSERT_EQ(0, run({"--group-add", "team", ann, bob}).rc);
    SCmdResult r = run({"--group-list", "--with-colons"});
    EXPECT_EQ("grp:team:2:0::\n", r.out);
    r = run({"--group-detail", "team", "--with-colons"});
    EXPECT_EQ(2u, colonLines(r.out, "sec").size()) << r.out;
    EXPECT_EQ(0, run({"--key-export", "team", "--output", "team.key"}).rc);
    EXPECT_EQ(3, run({"--group-detail", "nobody"}).rc);
    ASSERT_EQ(0, run({"--group-remove", "team"}).rc);
    EXPECT_NE(std::string::npos, run({"--group-list"}).out.find("0 groups"));

    std::string jpeg = "\xFF\xD8\xFF\xE0";
    jpeg += std::string(300, 'j') + "\xFF\xD9";
    writeAsUser("me.jpg", jpeg);
    r = run({"--add-photoid", ann, "me.jpg", "--passphrase-fd", "3"}, pass("pw\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    r = run({"--extract-photoid", ann, "--output", "out.jpg"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(jpeg, slurp(m_user->file("out.jpg")));
    ASSERT_EQ(0, run({"--remove-photoid", ann}).rc);
    EXPECT_EQ(3, run({"--remove-photoid", ann}).rc);
    // A key without a photo ID: no photo ID matches what was named.
    r = run({"--extract-photoid", ann, "--output", "none.jpg"});
    EXPECT_EQ(3, r.rc) << r.err;
    EXPECT_FALSE(std::filesystem::exists(m_user->file("none.jpg")));
    writeAsUser("not.jpg", "GIF89a");
    EXPECT_EQ(8, run({"--add-photoid", ann, "not.jpg", "--passphrase-fd", "3"}, pass("pw\n")).rc);
}

TEST_F(OrxcmdKeys, ConfigurationLayersAndAliases) {
    const std::string ann = generate("Ann Example <ann@example.org>");
    // The user's file sets armour and an alias; the command line wins over the file.
    writeAsUser(".zaf/zaf.cfg", "Armor=yes\nALIAS -kx \"--key-export\"\n");
    SCmdResult r = run({"--list-aliases"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("-kx = --key-export")) << r.out;
    ASSERT_EQ(0, run({"-kx", ann, "--output", "k.out"}).rc);
    EXPECT_EQ(0u, slurp(m_user->file("k.out")).find("-----BEGIN "));
    r = run({"-kx", ann, "--output", "k.out", "--armor", "no", "--overwrite"});
    ASSERT_EQ(0, r.rc) << r.err;
    const std::string binary = slurp(m_user->file("k.out"));
    ASSERT_FALSE(binary.empty());
    EXPECT_NE(0, static_cast<unsigned char>(binary[0]) & 0x80); // a packet, not armour
    EXPECT_EQ(2, run({"-nothing"}).rc);
}

TEST_F(OrxcmdKeys, BadInputGivesItsCodeAndOneLineAndChangesNothing) {
    const std::string ann = generate("Ann Example <ann@example.org>");
    generate("Ann Example <ann@other.example>");
    const std::string before = rings();
    struct SCase {
        std::vector<std::string> args;
        int rc;
        std::string input;
    };
    const std::vector<SCase> cases = {
        {{"--key-lst"}, 2, ""},
        {{"--key-list", "--output"}, 2, ""},
        {{"--key-list", "--key-export"}, 2, ""},
        {{"--key-gen", "extra"}, 2, ""},
        {{"--key-gen", "--with-sigs"}, 2, ""},
        {{"--key-list", "--passphrase", "secret"}, 2, ""},
        {{"--key-size", "2048"}, 2, ""},
        {{"--key-list", "--sort", "Colour"}, 2, ""},
        {{"--key-export", "nobody@example.org"}, 3, ""},
        {{"--key-sign", "Ann Example", "--sign-with", ann, "--passphrase-fd", "3"}, 4, ""},
        {{"--key-export", "0xZZ"}, 2, ""},
        {{"--key-add", "/nonexistent/file"}, 7, ""},
        {{"--key-add"}, 8, "this is not a key"},
        {{"--packet-list"}, 8, "\x01\x02"},
        {{"--keyserver-fetch", "x"}, 2, ""},
        {{"--keyserver-send", "x"}, 9, ""},
        {{"--encrypt"}, 2, ""},
        {{"--decrypt", "--zaf-mime"}, 9, ""},
        {{"--key-list", "--status-fd", "2"}, 2, ""},
        {{"--key-list", "--secure-viewer"}, 9, ""},
        {{"--add-userid", ann, "X <x@example.org>", "--batch-mode"}, 5, ""},
        {{"--key-remove", ann}, 2, ""},
    };
    for (const SCase& c : cases) {
        SCmdOptions options;
        options.input = c.input;
        const SCmdResult r = run(c.args, options);
        std::string shown;
        for (const std::string& a : c.args)
            shown += a + " ";
        EXPECT_EQ(c.rc, r.rc) << shown << "\n" << r.err;
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << shown << "\n" << r.err;
        EXPECT_EQ(0u, r.err.find("orxcmd: ")) << r.err;
    }
    EXPECT_EQ(before, rings());

    // An existing output file stays without --overwrite.
    writeAsUser("taken", "mine");
    EXPECT_EQ(7, run({"--key-export", ann, "--output", "taken"}).rc);
    EXPECT_EQ("mine", slurp(m_user->file("taken")));
    EXPECT_EQ(0, run({"--key-export", ann, "--output", "taken", "--overwrite"}).rc);
    EXPECT_NE("mine", slurp(m_user->file("taken")));

    // A folder without write permission, and a full disk (a file-size limit): nothing is left.
    {
        ScopedIdentity as(*m_user);
        ASSERT_EQ(0, ::mkdir(m_user->file("locked").c_str(), 0500));
        ASSERT_EQ(0, ::mkdir(m_user->file("small").c_str(), 0700));
    }
    SCmdResult r = run({"--key-export", ann, "--output", "locked/k"});
    EXPECT_EQ(7, r.rc) << r.err;
    SCmdOptions limited;
    limited.fileSizeLimit = 100;
    r = run({"--key-export", "--output", "small/all.key"}, limited);
    EXPECT_EQ(7, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("File too large")) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(m_user->file("small")));
    EXPECT_TRUE(std::filesystem::is_empty(m_user->file("locked")));
    EXPECT_EQ(before, rings());
}
