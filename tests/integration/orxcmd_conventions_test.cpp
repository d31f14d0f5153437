// What users of other command-line tools expect of orxcmd, end to end as throw-away accounts:
// short options and --recipient, binary output refused on a terminal, a listing cut short by
// its reader, a new passphrase typed twice alike, a wrong passphrase said to be wrong, a
// question (or in batch mode a refusal) before encrypting to a key not known to be valid, keys
// named by long IDs and fingerprints, revocation reasons, and the installation folder of a
// program run from the build tree.
#include "engine_internal.h"
#include "orxcmd_terminal.h"

#include <gtest/gtest.h>

using namespace orxtest;

namespace {

using Words = std::vector<std::string>;

const std::string kFixtureKeys = std::string(ORX_TEST_DATA_DIR) + "/fixtures/messages/keys/";

Words expand(const Words& words, bool longSwitchesOnly = false) {
    return orxengine::gExpandShortOptions(words, longSwitchesOnly);
}

class OrxcmdConventions : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxcv");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
    }

    SCmdResult run(const Words& args, const SCmdOptions& options = {}) {
        return runOrxcmd(*m_user, m_install, args, options);
    }
    static SCmdOptions pass(const std::string& lines) {
        SCmdOptions options;
        options.passphrases = lines;
        return options;
    }
    // A key pair with the passphrase "pw"; its short ID.
    std::string generate(const std::string& userID) {
        const SCmdResult r = run({"--key-gen", "--key-size", "1024", "--userid", userID,
                                  "--passphrase-fd", "3", "--fast-key-gen"},
                                 pass("pw\n"));
        EXPECT_EQ(0, r.rc) << r.err;
        const std::string::size_type at = r.out.find("0x");
        return at == std::string::npos ? "" : r.out.substr(at, 10);
    }
    void writeAsUser(const std::string& relative, const std::string& content) {
        ScopedIdentity as(*m_user);
        std::ofstream(m_user->file(relative), std::ios::binary) << content;
    }
    // The colon field `index` (0-based) of the first record `kind` of a listing.
    static std::string field(const std::string& listing, const std::string& kind, size_t index) {
        std::istringstream lines(listing);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.compare(0, kind.size() + 1, kind + ":") != 0)
                continue;
            std::vector<std::string> fields;
            std::string::size_type start = 0;
            for (;;) {
                const std::string::size_type colon = line.find(':', start);
                fields.push_back(line.substr(start, colon - start));
                if (colon == std::string::npos)
                    break;
                start = colon + 1;
            }
            return index < fields.size() ? fields[index] : std::string();
        }
        return std::string();
    }
    static bool has(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }

    std::unique_ptr<TestAccount> m_user;
    COrxInstall m_install;
};

// Runs `program` as the account with the environment `env` and standard input on /dev/null;
// standard output goes to /dev/null, or with `closedOutput` to a pipe whose reader has already
// gone. Returns the exit status and standard error.
SCmdResult runAs(const TestAccount& account, const std::string& program, const Words& args,
                 Words env, bool closedOutput) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    ::close(out[0]); // nobody reads standard output
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(closedOutput ? out[1] : null, 1);
        ::dup2(err[1], 2);
        // The test ignores SIGPIPE itself; orxcmd must meet its default to show its own way.
        ::signal(SIGPIPE, SIG_DFL);
        const gid_t group = account.gid();
        if (::setgroups(1, &group) != 0 || ::setgid(group) != 0 || ::setuid(account.uid()) != 0 ||
            ::chdir(account.home().c_str()) != 0)
            ::_exit(126);
        Words words = {program};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(&e[0]);
        envp.push_back(nullptr);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    SCmdResult result;
    char buffer[4096];
    for (ssize_t n; (n = ::read(err[0], buffer, sizeof buffer)) > 0;)
        result.err.append(buffer, static_cast<size_t>(n));
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.rc = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

SCmdResult runIntoClosedPipe(const TestAccount& account, const COrxInstall& install,
                             const Words& args) {
    return runAs(account, ORXCMD_PATH, args,
                 {"ORXDIR=" + install.path(), "HOME=" + account.home(), "PATH=/usr/bin:/bin"},
                 true);
}

} // namespace

TEST(OrxcmdShortOptions, BecomeTheLongSwitchesWithTheCommandsArgumentsBehindIt) {
    EXPECT_EQ((Words{"--encrypt", "report.pdf", "--armor", "--userid", "Bob", "Carol", "--output",
                     "out.asc"}),
              expand({"-e", "-a", "-r", "Bob", "-r", "Carol", "-o", "out.asc", "report.pdf"}));
    // Bundled letters; a value letter last; the sign-and-encrypt command takes the file.
    EXPECT_EQ((Words{"--sign", "--encrypt", "in.txt", "--armor", "--userid", "Bob"}),
              expand({"-sea", "-r", "Bob", "in.txt"}));
    EXPECT_EQ((Words{"--sign", "notes.txt", "--armor", "--sign-with", "Ann"}),
              expand({"-sau", "Ann", "notes.txt"}));
    EXPECT_EQ((Words{"--decrypt", "msg.zaf", "--output", "msg"}),
              expand({"-d", "-o", "msg", "msg.zaf"}));
    EXPECT_EQ((Words{"--verify", "sig.asc", "data"}), expand({"-v", "sig.asc", "data"}));
    EXPECT_EQ((Words{"--key-list", "Ann", "--with-colons"}),
              expand({"-k", "Ann", "--with-colons"}));
    // Long switches keep their words where a switch can take them; --armor takes no file name.
    EXPECT_EQ(
        (Words{"--encrypt", "report.pdf", "--userid", "Bob", "Carol", "--armor", "yes"}),
        expand({"--encrypt", "-r", "Bob", "--recipient", "Carol", "--armor", "yes", "report.pdf"}));
    // --recipient on its own is --userid.
    EXPECT_EQ((Words{"--encrypt", "f", "--userid", "Bob"}),
              expand({"--encrypt", "f", "--recipient", "Bob"}));
    // Lines without them are left alone, "-" (standard input) included.
    const Words plain = {"--decrypt", "-", "--output", "x"};
    EXPECT_EQ(plain, expand(plain));

    // Long switches only: a word with one dash is a plain word; --recipient still names the
    // recipients.
    const Words literal = {"--key-list", "-k", "-ea"};
    EXPECT_EQ(literal, expand(literal, true));
    EXPECT_EQ((Words{"--encrypt", "-e", "--userid", "Bob"}),
              expand({"--encrypt", "-e", "--recipient", "Bob"}, true));
    EXPECT_THROW(expand({"--key-list", "--recipient", "Bob"}, true), orxengine::SEngineError);

    for (const Words& bad : {Words{"-e", "-r"}, Words{"-ro", "Bob", "file"},
                             Words{"--key-list", "-r", "Bob"}, Words{"-a", "orphan.txt"}}) {
        try {
            expand(bad);
            ADD_FAILURE() << bad.front() << " " << bad.back() << " was taken";
        } catch (orxengine::SEngineError& e) {
            EXPECT_EQ(kZAFvorn_Usage, e.code) << e.message;
        }
    }
    EXPECT_TRUE(orxengine::gIsShortOptionWord("-sea"));
    EXPECT_FALSE(orxengine::gIsShortOptionWord("-"));
    EXPECT_FALSE(orxengine::gIsShortOptionWord("-x"));
    EXPECT_FALSE(orxengine::gIsShortOptionWord("--e"));
}

TEST_F(OrxcmdConventions, ShortOptionsEncryptDecryptSignVerifyAndList) {
    const std::string ann = generate("Ann <ann@example.org>");
    writeAsUser("report.txt", "the quarterly report\n");

    SCmdResult r = run({"-e", "-a", "-r", "Ann", "-o", "report.asc", "report.txt"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(has(slurp(m_user->file("report.asc")), "-----BEGIN ")) << r.err;
    r = run({"-d", "-o", "back.txt", "report.asc", "--passphrase-fd", "3"}, pass("pw\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("the quarterly report\n", slurp(m_user->file("back.txt")));

    r = run(
        {"-sa", "-u", ann, "-o", "report.sig", "report.txt", "--detached", "--passphrase-fd", "3"},
        pass("pw\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    r = run({"-v", "report.sig", "report.txt"});
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(has(r.out, "good signature")) << r.out;

    // --recipient is --userid when encrypting, and only then.
    r = run({"--encrypt", "report.txt", "--recipient", "Ann", "--armor", "--output", "r2.asc"});
    EXPECT_EQ(0, r.rc) << r.err;
    r = run({"--key-gen", "--recipient", "Nobody"});
    EXPECT_EQ(2, r.rc);
    EXPECT_TRUE(has(r.err, "--recipient (-r) names the recipients of --encrypt")) << r.err;

    r = run({"-k", "Ann", "--with-colons"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("Ann <ann@example.org>", field(r.out, "sec", 9));

    // CmdLine-Format long: "-k" is no command, and after --key-list a pattern matching nothing.
    EXPECT_EQ(2, run({"-k", "Ann", "--cmdline-format", "long"}).rc);
    EXPECT_EQ(3, run({"--key-list", "-k", "--cmdline-format", "long"}).rc);
    r = run({"--encrypt", "report.txt", "--recipient", "Ann", "--armor", "--output", "r3.asc",
             "--cmdline-format", "long"});
    EXPECT_EQ(0, r.rc) << r.err;
}

TEST_F(OrxcmdConventions, KeysAreNamedByLongIDAndFingerprintAndListedByLongID) {
    generate("Ann <ann@example.org>");
    SCmdResult r = run({"--key-list", "--with-colons", "--fingerprint-view", "hex"});
    ASSERT_EQ(0, r.rc) << r.err;
    const std::string longID = field(r.out, "sec", 4);
    const std::string fingerprint = field(r.out, "fpr", 9);
    ASSERT_EQ(16u, longID.size()) << r.out;
    ASSERT_EQ(40u, fingerprint.size()) << r.out;
    std::string grouped;
    for (size_t i = 0; i < fingerprint.size(); i += 4)
        grouped += (grouped.empty() ? "" : " ") + fingerprint.substr(i, 4);
    for (const std::string& name : {"0x" + longID, fingerprint, "0x" + fingerprint, grouped}) {
        r = run({"--key-export", name, "--armor"});
        EXPECT_EQ(0, r.rc) << name << ": " << r.err;
        EXPECT_TRUE(has(r.out, "-----BEGIN ")) << name;
    }
    // The human listing shows the long ID.
    r = run({"--key-list", "--with-userids"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(has(r.out, "0x" + longID)) << r.out;
}

TEST_F(OrxcmdConventions, RevocationsCarryTheirReason) {
    const std::string ann = generate("Ann <ann@example.org>");
    SCmdResult r = run({"--revoke", ann, "stolen", "--yes", "--passphrase-fd", "3"}, pass("pw\n"));
    EXPECT_EQ(2, r.rc);
    EXPECT_TRUE(has(r.err, "is not a reason for revocation")) << r.err;
    r = run(
        {"--revoke", ann, "superseded", "replaced by the new key", "--yes", "--passphrase-fd", "3"},
        pass("pw\n"));
    ASSERT_EQ(0, r.rc) << r.err;
    r = run({"--key-export", ann});
    ASSERT_EQ(0, r.rc) << r.err;
    // The reason subpacket: type 29, code 1 (superseded), then the text.
    EXPECT_TRUE(has(r.out, std::string("\x1d\x01replaced by the new key"))) << r.err;
}

TEST_F(OrxcmdConventions, EncryptingToAKeyNotKnownToBeValidAsksOrIsRefusedInBatchMode) {
    generate("Ann <ann@example.org>");
    SCmdOptions bob;
    bob.input = slurp(kFixtureKeys + "bob.pub");
    ASSERT_EQ(0, run({"--key-add"}, bob).rc);
    writeAsUser("data.txt", "for Bob\n");

    SCmdResult r = run({"-e", "-r", "Bob", "-o", "b1.zaf", "data.txt", "--batch-mode"});
    EXPECT_EQ(1, r.rc);
    EXPECT_TRUE(has(r.err, "is not known to belong to its user")) << r.err;
    EXPECT_TRUE(has(r.err, "add --yes")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(m_user->file("b1.zaf")));
    r = run({"-e", "-r", "Bob", "-o", "b2.zaf", "data.txt", "--batch-mode", "--yes"});
    EXPECT_EQ(0, r.rc) << r.err;
    // Without a terminal (a script without --batch-mode) it is a warning.
    r = run({"-e", "-r", "Bob", "-o", "b3.zaf", "data.txt"});
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(has(r.err, "WARNING: ")) << r.err;
    // Own keys are valid: nothing said.
    r = run({"-e", "-r", "Ann", "-o", "a.zaf", "data.txt", "--batch-mode"});
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_FALSE(has(r.err, "WARNING")) << r.err;

    // On a terminal the question decides.
    for (const std::string& answer : {std::string("n"), std::string("y")}) {
        const std::string output = "t-" + answer + ".zaf";
        COrxcmdTerminal terminal(*m_user, m_install, {"-e", "-r", "Bob", "-o", output, "data.txt"});
        ASSERT_TRUE(terminal.waitFor("Encrypt to it all the same? (y/N)")) << terminal.output();
        terminal.type(answer);
        const SCmdResult done = terminal.wait();
        EXPECT_EQ(answer == "y" ? 0 : 1, done.rc) << done.out;
        EXPECT_EQ(answer == "y", std::filesystem::exists(m_user->file(output)));
    }
}

TEST_F(OrxcmdConventions, BinaryOutputIsRefusedOnATerminal) {
    generate("Ann <ann@example.org>");
    writeAsUser("data.txt", "text\n");
    {
        COrxcmdTerminal terminal(*m_user, m_install, {"-e", "-r", "Ann", "data.txt"});
        const SCmdResult r = terminal.wait();
        EXPECT_EQ(2, r.rc) << r.out;
        EXPECT_TRUE(has(r.out, "standard output is a terminal: add --armor (-a)")) << r.out;
    }
    {
        COrxcmdTerminal terminal(*m_user, m_install, {"--key-export", "Ann"});
        EXPECT_EQ(2, terminal.wait().rc);
    }
    {
        COrxcmdTerminal terminal(*m_user, m_install, {"-e", "-a", "-r", "Ann", "data.txt"});
        const SCmdResult r = terminal.wait();
        EXPECT_EQ(0, r.rc) << r.out;
        EXPECT_TRUE(has(r.out, "-----BEGIN ")) << r.out;
    }
}

TEST_F(OrxcmdConventions, AReaderThatStopsEarlyEndsAListingQuietly) {
    generate("Ann <ann@example.org>");
    SCmdResult r = runIntoClosedPipe(*m_user, m_install, {"--key-list"});
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("", r.err);
    r = runIntoClosedPipe(*m_user, m_install, {"--key-export", "Ann", "--armor"});
    EXPECT_EQ(0, r.rc) << r.err;
    // Output that was still being made is another matter: said, and not 0.
    writeAsUser("data.txt", "text\n");
    r = runIntoClosedPipe(*m_user, m_install, {"-e", "-a", "-r", "Ann", "data.txt"});
    EXPECT_EQ(7, r.rc) << r.err;
    EXPECT_TRUE(has(r.err, "cannot write standard output")) << r.err;
    EXPECT_FALSE(has(r.err, "Received signal")) << r.err;
}

TEST_F(OrxcmdConventions, PassphrasesTypedWrongAreSaidAndAskedAgain) {
    // A new passphrase typed differently is asked for again.
    {
        COrxcmdTerminal terminal(
            *m_user, m_install,
            {"--key-gen", "--key-size", "1024", "--userid", "Ann", "--fast-key-gen"});
        for (const char* typed : {"first", "second", "right", "right"})
            ASSERT_TRUE(terminal.typeHidden(typed)) << terminal.output();
        const SCmdResult r = terminal.wait();
        EXPECT_EQ(0, r.rc) << r.out;
        EXPECT_TRUE(has(r.out, "the two passphrases differ; type them again")) << r.out;
    }
    // A wrong passphrase for a message is called wrong before the next try.
    writeAsUser("data.txt", "secret text\n");
    ASSERT_EQ(0, run({"-e", "-r", "Ann", "-o", "m.zaf", "data.txt"}).rc);
    COrxcmdTerminal terminal(*m_user, m_install, {"-d", "m.zaf", "-o", "m.txt"});
    ASSERT_TRUE(terminal.waitForEchoOff()) << terminal.output();
    terminal.type("not it");
    ASSERT_TRUE(terminal.waitFor("wrong passphrase for key 0x")) << terminal.output();
    ASSERT_TRUE(terminal.waitForEchoOff()) << terminal.output();
    terminal.type("right");
    EXPECT_EQ(0, terminal.wait().rc) << terminal.output();
    EXPECT_EQ("secret text\n", slurp(m_user->file("m.txt")));

    // So is a key's passphrase asked for a change to the key, up to three times in all.
    COrxcmdTerminal edit(*m_user, m_install, {"--add-userid", "Ann", "Ann Two"});
    for (const char* typed : {"wrong", "still wrong", "right"})
        ASSERT_TRUE(edit.typeHidden(typed)) << edit.output();
    EXPECT_EQ(0, edit.wait().rc) << edit.output();
    EXPECT_TRUE(has(edit.output(), "wrong passphrase for")) << edit.output();
}

// Run from the build tree without ORXDIR, orxcmd uses the build's installation folder; a
// program outside any build tree with no installation says what to set and leaves no empty
// personal folder.
TEST_F(OrxcmdConventions, TheBuildTreeIsTheInstallationFolderOfItsPrograms) {
    // The harness names ORXDIR; these runs go without.
    auto runWithout = [&](const std::string& program, const Words& args) {
        return runAs(*m_user, program, args, {"HOME=" + m_user->home(), "PATH=/usr/bin:/bin"},
                     false);
    };
    SCmdResult r = runWithout(ORXCMD_PATH, {"--key-list"});
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(std::filesystem::exists(m_user->file(".zaf/zaf.cfg")));

    struct stat site {};
    if (::stat("/etc/vorn", &site) == 0)
        GTEST_SKIP() << "the package is installed here: a program outside the build tree uses it";
    // The same program copied out of the build tree (its libraries are found as built).
    std::filesystem::remove_all(m_user->file(".zaf"));
    ZafTempDir elsewhere;
    ::chmod(elsewhere.path().c_str(), 0755);
    const std::string copy = elsewhere.file("orxcmd");
    std::filesystem::copy_file(ORXCMD_PATH, copy);
    ::chmod(copy.c_str(), 0755);
    r = runWithout(copy, {"--key-list"});
    EXPECT_EQ(10, r.rc) << r.err;
    EXPECT_TRUE(has(r.err, "set ORXDIR to the folder that holds it")) << r.err;
    EXPECT_FALSE(std::filesystem::exists(m_user->file(".zaf")));
}
