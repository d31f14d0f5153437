// The message commands of orxcmd end to end: a real orxcmd run as a throw-away account on key
// rings holding the message fixtures' keys. The fixtures (made by an independent implementation)
// decrypt and verify as their manifest says; what orxcmd writes is read by the message layer's
// independent decoder (tests/toolkit/messages/message_reference_decoder.py); and bad input gives
// its exit code and one line, leaves nothing partial and changes no ring.
#include "orxcmd_harness.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/stat.h>

using namespace orxtest;

namespace {

const std::string kFixtures = std::string(ORX_TEST_DATA_DIR) + "/fixtures/messages";

std::string fixture(const std::string& relative) { return slurp(kFixtures + "/" + relative); }

struct SManifestLine {
    std::string file, operation, plaintext, expected, signer, secret;
};

std::vector<SManifestLine> manifest() {
    std::vector<SManifestLine> lines;
    std::istringstream in(fixture("MANIFEST.tsv"));
    std::string line;
    std::getline(in, line); // header
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::string field;
        std::istringstream fields(line);
        while (std::getline(fields, field, '\t'))
            f.push_back(field);
        if (f.size() >= 6)
            lines.push_back({f[0], f[1], f[2], f[3], f[4], f[5]});
    }
    return lines;
}

class OrxcmdMessages : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxcm");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
        std::string keys;
        for (const char* k : {"alice", "bob", "carol", "dave"})
            keys += fixture(std::string("keys/") + k + ".sec");
        const SCmdResult r = run({"--key-add", "-"}, input(keys));
        ASSERT_EQ(0, r.rc) << r.err;
    }

    SCmdResult run(const std::vector<std::string>& args, const SCmdOptions& options = {}) {
        return runOrxcmd(*m_user, m_install, args, options);
    }
    static SCmdOptions input(const std::string& data, const std::string& passphrases = "") {
        SCmdOptions options;
        options.input = data;
        options.passphrases = passphrases;
        return options;
    }
    static SCmdOptions pass(const std::string& lines) { return input("", lines); }
    void writeAsUser(const std::string& relative, const std::string& content) {
        ScopedIdentity as(*m_user);
        std::ofstream(m_user->file(relative), std::ios::binary) << content;
    }
    std::string home(const std::string& relative) { return slurp(m_user->file(relative)); }
    bool exists(const std::string& relative) {
        return std::filesystem::exists(m_user->file(relative));
    }
    std::string rings() {
        return slurp(m_user->file(".zaf/pubring.pkr")) + slurp(m_user->file(".zaf/secring.skr"));
    }
    // Files in the home other than the rings' folder (to see that nothing was left behind).
    std::set<std::string> homeFiles() {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_user->home()))
            if (entry.path().filename() != ".zaf")
                names.insert(entry.path().filename().string());
        return names;
    }

    std::unique_ptr<TestAccount> m_user;
    COrxInstall m_install;
};

// The passphrase line that opens a fixture, from the manifest's "secret needed" column.
std::string secretLine(const std::string& secret) {
    if (secret.find("passphrase \"secret words\"") == 0)
        return "secret words\n";
    if (secret.find("key1") == 0)
        return "alice-pass\n";
    if (secret.find("key2") == 0)
        return "bob-pass\n";
    if (secret.find("key3") == 0)
        return "carol-pass\n";
    return "";
}

} // namespace

TEST_F(OrxcmdMessages, FixturesDecryptAndVerifyAsTheManifestSays) {
    const std::string before = rings();
    int checked = 0;
    for (const SManifestLine& m : manifest()) {
        SCOPED_TRACE(m.file + " " + m.operation);
        writeAsUser("in", fixture("msg/" + m.file));
        const bool bad = m.file.compare(0, 4, "bad-") == 0 || m.plaintext == "-";
        SCmdResult r;
        if (m.operation.compare(0, 15, "verify-detached") == 0) {
            const std::string target = m.operation.substr(16);
            writeAsUser("data", target.compare(0, 4, "bad-") == 0 ? fixture("msg/" + target)
                                                                  : fixture("plain/" + target));
            r = run({"--verify", "in", "data", "--status-fd", "1"});
        } else if (m.operation == "verify") {
            r = run({"--verify", "in", "--output", "out", "--status-fd", "1"});
        } else {
            r = run(
                {"--decrypt", "in", "--output", "out", "--passphrase-fd", "3", "--status-fd", "2"},
                pass(secretLine(m.secret)));
        }
        if (bad) {
            const int expected = m.expected.find("bad signature") != std::string::npos ? 11 : 8;
            EXPECT_EQ(expected, r.rc) << r.err;
            EXPECT_FALSE(exists("out")) << "no plaintext may be released";
        } else {
            EXPECT_EQ(0, r.rc) << r.out << r.err;
            if (m.operation.compare(0, 15, "verify-detached") != 0) {
                // The cleartext framework cannot carry a last line without its line feed.
                std::string plain = fixture("plain/" + m.plaintext);
                if (m.file.compare(0, 9, "clearsign") == 0 && plain.back() != '\n')
                    plain += '\n';
                // Text comes with CR LF line endings and is written with this system's.
                if ((r.out + r.err).find("[ORXCMD] LITERAL t ") != std::string::npos) {
                    std::string local;
                    for (size_t i = 0; i < plain.size(); ++i)
                        if (!(plain[i] == '\r' && i + 1 < plain.size() && plain[i + 1] == '\n'))
                            local += plain[i];
                    plain = local;
                }
                EXPECT_EQ(plain, home("out"));
            }
            if (m.signer != "-") {
                EXPECT_NE(std::string::npos, (r.out + r.err).find("good signature from"))
                    << r.out << r.err;
                EXPECT_NE(std::string::npos, (r.out + r.err).find("[ORXCMD] SIG GOOD "));
            }
        }
        for (const std::string& name : homeFiles())
            EXPECT_TRUE(name == "in" || name == "out" || name == "data") << name << " was left";
        std::filesystem::remove(m_user->file("out"));
        ++checked;
    }
    EXPECT_EQ(29, checked);
    EXPECT_EQ(before, rings());
}

TEST_F(OrxcmdMessages, OurMessagesAreReadByTheIndependentDecoderAndByOrxcmd) {
    std::string plain;
    for (int i = 0; i < 70000; ++i)
        plain += static_cast<char>((i * 7919) >> 3);
    const std::string text = "first line\n-dashed line\nFrom the start   \r\nlast line\n";
    writeAsUser("plain.bin", plain);
    writeAsUser("text.txt", text);
    const std::string alicePass = "alice-pass\n";

    struct SCase {
        std::string name;
        std::vector<std::string> args;
        std::string passphrases;
        std::string job;    // decoder fields
        std::string expect; // fields the report must hold, TAB-separated
    };
    const std::string k = kFixtures + "/keys/";
    const std::vector<SCase> cases = {
        {"enc-elgamal-ecdh.zaf",
         {"--encrypt", "plain.bin", "--userid", "Bob", "Carol", "--armor"},
         "",
         "key=" + k + "bob.sec:bob-pass",
         "literal_length=70000\tliteral_mode=b\tliteral_name=plain.bin\tmdc=good"},
        {"enc-sign.zaf",
         {"--encrypt", "plain.bin", "--userid", "0x6A0BFDE6", "--sign", "--sign-with", "Alice",
          "--cipher", "CAST5", "--hash", "SHA512", "--compress", "no"},
         alicePass,
         "key=" + k + "dave.sec:\tkey=" + k + "alice.pub",
         "literal_length=70000"},
        {"conv.zaf",
         {"--conventional", "plain.bin", "--cipher", "AES192"},
         "door stop\n",
         "passphrase=door stop",
         "opened_by=passphrase"},
        {"signed.zaf",
         {"--sign", "--input", "text.txt", "--text", "--sign-with", "Dave"},
         "",
         "key=" + k + "dave.pub",
         "literal_mode=t\tliteral_name=text.txt\tsig0=good,B977FACF6A0BFDE6,1,"},
        {"clear.asc",
         {"--sign", "text.txt", "--clearsig", "--sign-with", "Alice"},
         alicePass,
         "key=" + k + "alice.pub",
         "sig0=good"},
        {"detached.sig",
         {"--sign", "plain.bin", "--detached", "--sign-with", "Alice", "--armor"},
         alicePass,
         "key=" + k + "alice.pub\tsigned=" + m_user->file("plain.bin"),
         "sig0=good"},
    };
    std::string jobs;
    for (const SCase& c : cases) {
        std::vector<std::string> args = c.args;
        for (const std::string& extra :
             {std::string("--output"), c.name, std::string("--passphrase-fd"), std::string("3")})
            args.push_back(extra);
        const SCmdResult r = run(args, pass(c.passphrases));
        ASSERT_EQ(0, r.rc) << c.name << ": " << r.err;
        jobs += m_user->file(c.name) + "\t" + c.job + "\n";
    }
    ZafTempDir dir;
    std::ofstream(dir.file("jobs.txt")) << jobs;
    const std::string command = std::string(ORX_PYTHON3) + " " + ORX_TEST_DATA_DIR +
                                "/../toolkit/messages/message_reference_decoder.py --jobs " +
                                dir.file("jobs.txt") + " 2>&1";
    FILE* p = ::popen(command.c_str(), "r");
    ASSERT_NE(nullptr, p);
    std::string reports;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0)
        reports.append(buffer, n);
    ASSERT_EQ(0, ::pclose(p)) << reports;
    std::istringstream lines(reports);
    std::string report;
    for (const SCase& c : cases) {
        ASSERT_TRUE(static_cast<bool>(std::getline(lines, report))) << reports;
        SCOPED_TRACE(c.name + ": " + report);
        EXPECT_EQ(std::string::npos, report.find("error=")) << report;
        std::istringstream expected(c.expect);
        std::string field;
        while (std::getline(expected, field, '\t'))
            EXPECT_NE(std::string::npos, report.find(field)) << field;
    }

    // orxcmd reads them back too.
    SCmdResult r =
        run({"--decrypt", "enc-elgamal-ecdh.zaf", "--passphrase-fd", "3"}, pass("carol-pass\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(plain, r.out);
    r = run({"--decrypt", "enc-sign.zaf", "--status-fd", "2"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(plain, r.out);
    EXPECT_NE(std::string::npos, r.err.find("[ORXCMD] SIG GOOD FE94AC1CE2925BD9")) << r.err;
    EXPECT_NE(std::string::npos, r.err.find("[ORXCMD] DECRYPTION 3 KEY ")) << r.err;
    r = run({"--decrypt", "conv.zaf", "--passphrase-fd", "3"}, pass("door stop\n"));
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(plain, r.out);
    r = run({"--verify", "clear.asc"});
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0u, r.out.find("good signature from 0xE2925BD9 Alice")) << r.out;
    r = run({"--decrypt", "clear.asc"});
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(text, r.out);
    r = run({"--verify", "detached.sig", "-"}, input(plain));
    EXPECT_EQ(0, r.rc) << r.err;
    r = run({"--verify", "detached.sig", "-"}, input(plain + "x"));
    EXPECT_EQ(11, r.rc) << r.out << r.err;
    EXPECT_NE(std::string::npos, r.out.find("BAD signature from 0xE2925BD9")) << r.out;

    // Encrypt to self adds the signer; standard input and output work as files do.
    r = run({"--encrypt", "--userid", "Bob", "--encrypt-to-self", "--sign", "--sign-with", "Dave",
             "--status-fd", "2"},
            input("piped"));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.err.find(" self\n")) << r.err;
    r = run({"--decrypt"}, input(r.out));
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("piped", r.out);
}

TEST_F(OrxcmdMessages, WipeRemovesThePlaintextOnlyAfterTheMessageIsWritten) {
    writeAsUser("secret.txt", std::string(5000, 's'));
    SCmdResult r = run({"--encrypt", "secret.txt", "--userid", "Dave", "--wipe", "--wipe-passes",
                        "2", "--output", "secret.zaf"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_FALSE(exists("secret.txt"));
    r = run({"--decrypt", "secret.zaf"});
    EXPECT_EQ(std::string(5000, 's'), r.out);

    // A failed encryption wipes nothing; neither does a wipe that would hit the output.
    writeAsUser("keep.txt", "keep");
    r = run({"--encrypt", "keep.txt", "--userid", "Nobody", "--wipe"});
    EXPECT_EQ(3, r.rc);
    r = run({"--encrypt", "keep.txt", "--userid", "Dave", "--wipe", "--output", "keep.txt",
             "--overwrite"});
    EXPECT_EQ(2, r.rc) << r.err;
    EXPECT_EQ("keep", home("keep.txt"));
    EXPECT_EQ(2, run({"--encrypt", "--userid", "Dave", "--wipe"}, input("x")).rc);
    EXPECT_EQ(
        2, run({"--encrypt", "keep.txt", "--userid", "Dave", "--wipe-passes", "0", "--wipe"}).rc);
    EXPECT_EQ("keep", home("keep.txt"));
}

TEST_F(OrxcmdMessages, BadInputGivesItsCodeAndOneLineAndLeavesNothing) {
    writeAsUser("plain", "plain text");
    ASSERT_EQ(0, run({"--encrypt", "plain", "--userid", "Alice", "--output", "to-alice"}).rc);
    ASSERT_EQ(0, run({"--sign", "plain", "--sign-with", "Dave", "--output", "signed"}).rc);
    std::string corrupt = home("to-alice");
    corrupt[corrupt.size() / 2] ^= 0x20;
    writeAsUser("corrupt", corrupt);
    writeAsUser("cut", home("to-alice").substr(0, home("to-alice").size() - 30));
    writeAsUser("literal-only", "");
    {
        ScopedIdentity as(*m_user);
        ASSERT_EQ(0, ::mkdir(m_user->file("locked").c_str(), 0500));
        ASSERT_EQ(0, ::mkdir(m_user->file("small").c_str(), 0700));
    }
    const std::string before = rings();
    const std::set<std::string> files = homeFiles();

    struct SCase {
        std::vector<std::string> args;
        int rc;
        std::string passphrases;
        rlim_t sizeLimit;
    };
    const rlim_t none = RLIM_INFINITY;
    const std::vector<SCase> cases = {
        // wrong and missing passphrases
        {{"--decrypt", "to-alice", "--output", "out", "--passphrase-fd", "3"}, 5, "wrong\n", none},
        {{"--decrypt", "to-alice", "--output", "out", "--batch-mode"}, 5, "", none},
        {{"--sign", "plain", "--sign-with", "Alice", "--output", "out", "--passphrase-fd", "3"},
         5,
         "wrong\n",
         none},
        // corrupted and cut messages, a message of nothing
        {{"--decrypt", "corrupt", "--output", "out", "--passphrase-fd", "3"},
         8,
         "alice-pass\n",
         none},
        {{"--decrypt", "cut", "--output", "out", "--passphrase-fd", "3"}, 8, "alice-pass\n", none},
        {{"--decrypt", "literal-only", "--output", "out"}, 8, "", none},
        {{"--verify", "plain"}, 8, "", none},
        // unknown and ambiguous recipients and signers, a disabled-key-free lookup
        {{"--encrypt", "plain", "--userid", "Nobody", "--output", "out"}, 3, "", none},
        {{"--encrypt", "plain", "--userid", "0x0BADCAFE", "--output", "out"}, 3, "", none},
        {{"--encrypt", "plain", "--userid", "example.org", "--output", "out"}, 4, "", none},
        {{"--sign", "plain", "--output", "out"}, 4, "", none},
        {{"--sign", "plain", "--sign-with", "0x0BADCAFE", "--output", "out"}, 3, "", none},
        // unreadable input, an output folder without write permission, a full disk
        {{"--decrypt", "missing", "--output", "out"}, 7, "", none},
        {{"--encrypt", "plain", "--userid", "Dave", "--output", "locked/out"}, 7, "", none},
        {{"--decrypt", "to-alice", "--output", "locked/out", "--passphrase-fd", "3"},
         7,
         "alice-pass\n",
         none},
        {{"--decrypt", "to-alice", "--output", "small/out", "--passphrase-fd", "3"},
         7,
         "alice-pass\n",
         4},
        {{"--encrypt", "plain", "--userid", "Dave", "--output", "plain"}, 7, "", none},
        // command lines that cannot be read
        {{"--encrypt", "plain", "--userid", "Dave", "--detached"}, 2, "", none},
        {{"--encrypt", "plain"}, 2, "", none},
        {{"--decrypt", "plain", "--text"}, 2, "", none},
        {{"--verify", "a", "b", "c"}, 2, "", none},
        {{"--encrypt", "plain", "--input", "plain", "--userid", "Dave"}, 2, "", none},
        {{"--decrypt", "--key-list"}, 2, "", none},
        {{"--clearsig", "--input", "plain"}, 2, "", none},
    };
    for (const SCase& c : cases) {
        std::string shown;
        for (const std::string& a : c.args)
            shown += a + " ";
        SCOPED_TRACE(shown);
        SCmdOptions options = pass(c.passphrases);
        options.fileSizeLimit = c.sizeLimit;
        const SCmdResult r = run(c.args, options);
        EXPECT_EQ(c.rc, r.rc) << r.err;
        EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
        EXPECT_EQ(0u, r.err.find("orxcmd: ")) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_EQ(files, homeFiles());
        EXPECT_TRUE(std::filesystem::is_empty(m_user->file("small")));
        EXPECT_TRUE(std::filesystem::is_empty(m_user->file("locked")));
    }
    EXPECT_EQ(before, rings());
    EXPECT_EQ("plain text", home("plain"));

    // A signature whose key is not held verifies nothing: exit 3, the reason on standard output.
    ASSERT_EQ(0, run({"--key-remove", "Dave", "--force"}).rc);
    const SCmdResult r = run({"--verify", "signed"});
    EXPECT_EQ(3, r.rc);
    EXPECT_NE(std::string::npos, r.out.find("the key is not held")) << r.out;
}

TEST_F(OrxcmdMessages, ChangePassphraseReprotectsEverySecretPartAndPrimaryUserIDMoves) {
    writeAsUser("msg", fixture("msg/enc-rsa-aes256-zlib.bin")); // to Alice's encryption subkey
    std::string before = rings();
    // A wrong current passphrase, a key without its secret part, an unknown key: nothing changes.
    EXPECT_EQ(5,
              run({"--change-passphrase", "Alice", "--passphrase-fd", "3"}, pass("no\nnew\n")).rc);
    EXPECT_EQ(3, run({"--change-passphrase", "Nobody", "--passphrase-fd", "3"}, pass("a\nb\n")).rc);
    EXPECT_EQ(5, run({"--change-passphrase", "Alice", "--passphrase-fd", "3"}, pass("alice-pass\n"))
                     .rc); // the new passphrase is missing
    EXPECT_EQ(before, rings());

    SCmdResult r = run({"--change-passphrase", "Alice", "--passphrase-fd", "3"},
                       pass("alice-pass\nfresh words\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("passphrase of 0xE2925BD9 Alice <alice@example.org> changed\n", r.out);
    // The subkey that decrypts follows the primary key.
    EXPECT_EQ(5, run({"--decrypt", "msg", "--passphrase-fd", "3"}, pass("alice-pass\n")).rc);
    r = run({"--decrypt", "msg", "--passphrase-fd", "3"}, pass("fresh words\n"));
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(fixture("plain/short.txt"), r.out);
    // An empty new passphrase leaves the key unprotected: it signs without one.
    ASSERT_EQ(
        0,
        run({"--change-passphrase", "Alice", "--passphrase-fd", "3"}, pass("fresh words\n\n")).rc);
    EXPECT_EQ(0, run({"--sign", "--sign-with", "Alice", "--batch-mode", "--passphrase-fd", "3"},
                     input("data", "\n"))
                     .rc);

    // The primary user ID moves to the one named, and back; the listing shows it.
    // (Dave's key is unprotected: its passphrase is the empty line.)
    ASSERT_EQ(0,
              run({"--add-userid", "Dave", "Dave Two <dave2@example.org>", "--passphrase-fd", "3"},
                  pass("\n"))
                  .rc);
    for (const char* id :
         {"Dave <dave@example.org>", "Dave Two <dave2@example.org>", "Dave <dave@example.org>"}) {
        r = run({"--set-primary-userid", "0x6A0BFDE6", id, "--passphrase-fd", "3"}, pass("\n"));
        ASSERT_EQ(0, r.rc) << r.err;
        r = run({"--key-list", "0x6A0BFDE6", "--with-colons"});
        EXPECT_NE(std::string::npos, r.out.find(":" + std::string(id) + ":\n")) << r.out;
    }
    before = rings();
    EXPECT_EQ(3, run({"--set-primary-userid", "0x6A0BFDE6", "Dave", "--passphrase-fd", "3"},
                     pass("\n"))
                     .rc); // not a whole user ID
    EXPECT_EQ(3, run({"--set-primary-userid", "Bob", "Bob Other <bob@example.org>"}).rc);
    EXPECT_EQ(before, rings());
}

TEST_F(OrxcmdMessages, KeyGenSignOnlyIsReadAndItsKeySigns) {
    SCmdResult r = run({"--key-gen", "--key-type", "RSA", "--key-size", "1024", "--userid",
                        "Sig Only <sig@example.org>", "--sign-only", "--passphrase-fd", "3"},
                       pass("pw\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    r = run({"--sign", "--sign-with", "Sig Only", "--passphrase-fd", "3"}, input("data", "pw\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0, run({"--verify"}, input(r.out)).rc);
    EXPECT_EQ(2, run({"--key-list", "--sign-only"}).rc);
}
