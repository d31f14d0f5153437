// The everyday switches of orxcmd end to end: listing filters and sections, --sig-detail, the
// listing output options (--delimiter, --width, --pager, --local-times), --packet-dump and
// --hex-dump, confirmations and --yes on a real terminal, --verbose, --user, passphrase retries,
// key generation options, and the settings the configuration layers carry (--zafpath,
// --groups-file, --comment, --randseed, --marginals-needed).
#include "orxcmd_terminal.h"

#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

using namespace orxtest;

namespace {

class OrxcmdEveryday : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxce");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
    }

    SCmdResult run(const std::vector<std::string>& args, const SCmdOptions& options = {}) {
        return runOrxcmd(*m_user, m_install, args, options);
    }
    static SCmdOptions pass(const std::string& lines) {
        SCmdOptions options;
        options.passphrases = lines;
        return options;
    }
    std::string generate(const std::string& userID, std::vector<std::string> extra = {}) {
        extra.push_back("--fast-key-gen");
        SCmdResult failed;
        const std::string id = generateKeyAs(*m_user, m_install, userID, "pw", extra, &failed);
        EXPECT_NE("", id) << failed.err;
        return id;
    }
    void writeAsUser(const std::string& relative, const std::string& content) {
        ScopedIdentity as(*m_user);
        std::ofstream(m_user->file(relative), std::ios::binary) << content;
    }
    static std::vector<std::string> lines(const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line))
            out.push_back(line);
        return out;
    }
    static bool has(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }

    std::unique_ptr<TestAccount> m_user;
    COrxInstall m_install;
};

} // namespace

TEST_F(OrxcmdEveryday, ListingFiltersSectionsAndSignatureDetail) {
    const std::string ann = generate("Ann Example <ann@example.org>");
    const std::string bob = generate("Bob Example <bob|pipe@example.org>");
    const std::string carol = generate("Carol Example <carol@example.org>");
    ASSERT_EQ(0, run({"--key-sign", bob, "--sign-with", ann, "--sig-type", "Introducer", "--depth",
                      "1", "--passphrase-fd", "3"},
                     pass("pw\n"))
                     .rc);
    ASSERT_EQ(0, run({"--add-revoker", bob, ann, "--passphrase-fd", "3"}, pass("pw\n")).rc);
    // A key whose secret part is not held is no signer.
    const SCmdResult exported = run({"--key-export", carol});
    ASSERT_EQ(0, exported.rc);
    ASSERT_EQ(0, run({"--key-remove", carol, "--force"}).rc);
    SCmdOptions in;
    in.input = exported.out;
    ASSERT_EQ(0, run({"--key-add"}, in).rc);

    SCmdResult r = run({"--key-list", "--signers", "--with-colons"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(has(r.out, ann.substr(2)) && has(r.out, bob.substr(2))) << r.out;
    EXPECT_FALSE(has(r.out, carol.substr(2))) << r.out;

    r = run({"--key-list", "--signer", ann, "--with-colons"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(1u, lines(r.out).size()) << r.out;
    EXPECT_TRUE(has(r.out, bob.substr(2))) << r.out;

    r = run({"--key-list", bob, "--revokers", "--introducers"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(has(r.out, "Revoker: " + ann)) << r.out;
    EXPECT_TRUE(has(r.out, "Introduced by 0x")) << r.out;
    EXPECT_TRUE(has(r.out, "Ann Example <ann@example.org>, depth 1")) << r.out;
    r = run({"--key-list", bob});
    EXPECT_FALSE(has(r.out, "Revoker:") || has(r.out, "Introduced by")) << r.out;

    // --sig-detail: every signature with its fields; --signer narrows it to one issuer.
    r = run({"--sig-detail", bob, "--signer", ann});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(has(r.out, "generic certification by 0x")) << r.out;
    EXPECT_TRUE(has(r.out, "trust signature: depth 1, amount")) << r.out;
    EXPECT_TRUE(has(r.out, "1 signature\n")) << r.out;
    r = run({"--sig-detail", bob});
    EXPECT_TRUE(has(r.out, "positive certification by 0x")) << r.out;

    // --keys: patterns name keys only, never groups.
    ASSERT_EQ(0, run({"--group-add", "team", bob}).rc);
    EXPECT_EQ(0, run({"--key-list", "team"}).rc);
    r = run({"--key-list", "team", "--keys"});
    EXPECT_EQ(3, r.rc) << r.err;

    // The delimiter replaces ':' and is escaped inside fields.
    r = run({"--key-list", bob, "--with-colons", "--delimiter", "|"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(has(r.out, "sec|f|1024|")) << r.out;
    EXPECT_TRUE(has(r.out, "bob\\x7cpipe@example.org")) << r.out;
    EXPECT_FALSE(has(r.out, ":")) << r.out;
    EXPECT_EQ(2, run({"--key-list", "--with-colons", "--delimiter", "ab"}).rc);
    EXPECT_EQ(2, run({"--key-list", "--with-colons", "--delimiter", "\\"}).rc);

    // --width cuts human lines; --pager takes the listing.
    r = run({"--key-list", "--width", "30"});
    ASSERT_EQ(0, r.rc) << r.err;
    bool cut = false;
    for (const std::string& line : lines(r.out)) {
        EXPECT_LE(line.size(), 30u) << line;
        cut = cut || line.compare(line.size() - 3, 3, "...") == 0;
    }
    EXPECT_TRUE(cut) << r.out;
    EXPECT_EQ(2, run({"--key-list", "--width", "5"}).rc);
    r = run({"--key-list", "--pager", "cat > paged.txt"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("", r.out);
    EXPECT_TRUE(has(slurp(m_user->file("paged.txt")), "3 keys"))
        << slurp(m_user->file("paged.txt"));
    EXPECT_EQ(7, run({"--key-list", "--pager", "exit 127"}).rc);
}

TEST_F(OrxcmdEveryday, LocalTimesPacketDumpAndHexDump) {
    const std::string ann = generate("Ann Example <ann@example.org>");
    SCmdOptions utc;
    utc.env["TZ"] = "UTC0";
    const SCmdResult plain = run({"--sig-detail", ann}, utc);
    ASSERT_EQ(0, plain.rc) << plain.err;
    ASSERT_TRUE(has(plain.out, " UTC")) << plain.out;
    const SCmdResult sameZone = run({"--sig-detail", ann, "--local-times"}, utc);
    std::string expected = plain.out;
    for (std::string::size_type at; (at = expected.find(" UTC")) != std::string::npos;)
        expected.erase(at, 4);
    EXPECT_EQ(expected, sameZone.out);
    SCmdOptions india;
    india.env["TZ"] = "IST-5:30";
    const SCmdResult shifted = run({"--sig-detail", ann, "--local-times"}, india);
    EXPECT_NE(sameZone.out, shifted.out);
    EXPECT_FALSE(has(shifted.out, " UTC")) << shifted.out;

    // --packet-dump: the fields of each packet; the secret part of a key pair never shows.
    ASSERT_EQ(0, run({"--key-export", ann, "--with-private", "--output", "pair.key"}).rc);
    SCmdResult r = run({"--packet-dump", "pair.key"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(has(r.out, "hashed subpacket 2 (signature creation time)")) << r.out;
    EXPECT_TRUE(has(r.out, "hashed subpacket 16 (issuer): 0x")) << r.out;
    EXPECT_TRUE(has(r.out, ann.substr(2) + "\n")) << r.out;
    EXPECT_TRUE(has(r.out, "public key material: MPIs of 1024, 17 bits")) << r.out;
    EXPECT_TRUE(has(r.out, "bytes (not shown)")) << r.out;
    r = run({"--packet-list", "pair.key", "--hex-dump"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(has(r.out, "(the secret part is not shown)")) << r.out;
    // Every secret packet's bytes past its public part stay out of the dump.
    const std::string key = slurp(m_user->file("pair.key"));
    ASSERT_GT(key.size(), 600u);
    const std::string tail = key.substr(400, 8); // inside the secret MPIs of the primary key
    char hex[40] = "";
    for (size_t i = 0; i < tail.size(); ++i)
        std::snprintf(hex + 3 * i, 4, " %02X", static_cast<unsigned char>(tail[i]));
    EXPECT_FALSE(has(r.out, hex)) << hex;
    // Bad input: its code, and what was listed before the fault.
    writeAsUser("bad", std::string("\x99\x00\x10", 3));
    r = run({"--packet-dump", "bad"});
    EXPECT_EQ(8, r.rc) << r.err;
}

TEST_F(OrxcmdEveryday, ConfirmationsAskOnATerminalAndYesAnswers) {
    const std::string ann = generate("Ann Example <ann@example.org>");
    const std::string bob = generate("Bob Example <bob@example.org>");
    {
        COrxcmdTerminal terminal(*m_user, m_install, {"--key-remove", bob, "--force"});
        ASSERT_TRUE(terminal.waitFor("(y/N)")) << terminal.output();
        terminal.type("n");
        const SCmdResult r = terminal.wait();
        EXPECT_EQ(1, r.rc) << r.out;
        EXPECT_TRUE(has(r.out, "not confirmed")) << r.out;
    }
    EXPECT_EQ(0, run({"--key-list", bob}).rc);
    {
        COrxcmdTerminal terminal(*m_user, m_install, {"--key-remove", bob, "--force"});
        ASSERT_TRUE(terminal.waitFor("Remove the key pair " + bob)) << terminal.output();
        terminal.type("yes");
        EXPECT_EQ(0, terminal.wait().rc);
    }
    EXPECT_EQ(3, run({"--key-list", bob}).rc);
    {
        // --yes: no question at all.
        COrxcmdTerminal terminal(*m_user, m_install, {"--group-add", "g", ann});
        EXPECT_EQ(0, terminal.wait().rc);
        COrxcmdTerminal removal(*m_user, m_install, {"--group-remove", "g", "--yes"});
        const SCmdResult r = removal.wait();
        EXPECT_EQ(0, r.rc) << r.out;
        EXPECT_FALSE(has(r.out, "(y/N)")) << r.out;
    }
    {
        // --show-pass: the passphrase is echoed as typed; without it, it is not.
        COrxcmdTerminal shown(*m_user, m_install,
                              {"--add-userid", ann, "Ann Two <two@example.org>", "--show-pass"});
        ASSERT_TRUE(shown.waitFor("Passphrase for")) << shown.output();
        const size_t mark = shown.output().size();
        shown.type("pw");
        const SCmdResult r = shown.wait();
        EXPECT_EQ(0, r.rc) << r.out;
        EXPECT_NE(std::string::npos, r.out.find("pw", mark)) << r.out;
        COrxcmdTerminal hidden(*m_user, m_install,
                               {"--add-userid", ann, "Ann Three <three@example.org>"});
        ASSERT_TRUE(hidden.waitFor("Passphrase for")) << hidden.output();
        ASSERT_TRUE(hidden.waitForEchoOff());
        const size_t at = hidden.output().size();
        hidden.type("pw");
        const SCmdResult h = hidden.wait();
        EXPECT_EQ(0, h.rc) << h.out;
        EXPECT_EQ(std::string::npos, h.out.find("pw", at)) << h.out;
    }
}

TEST_F(OrxcmdEveryday, VerboseUserAndPassphraseRetries) {
    const std::string ann = generate("Ann Example <ann@example.org>");
    const std::string bob = generate("Bob Example <bob@example.org>");
    SCmdResult r = run({"--key-list", "--verbose"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(has(r.err, "key rings")) << r.err;
    EXPECT_TRUE(has(r.err, "(2 keys, 2 key pairs)")) << r.err;
    EXPECT_FALSE(has(run({"--key-list"}).err, "key rings"));
    EXPECT_EQ(2, run({"--key-list", "--verbose", "--info", "quiet"}).rc);

    // A wrong passphrase: one try, or three with Allow-Passphrase-Retry.
    r = run({"--key-sign", bob, "--sign-with", ann, "--passphrase-fd", "3"}, pass("wrong\npw\n"));
    EXPECT_EQ(5, r.rc) << r.err;
    EXPECT_TRUE(has(r.err, "wrong passphrase for " + ann)) << r.err;
    r = run(
        {"--key-sign", bob, "--sign-with", ann, "--passphrase-fd", "3", "--allow-passphrase-retry"},
        pass("wrong\nalso wrong\npw\n"));
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(2, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    r = run(
        {"--key-sign", bob, "--sign-with", ann, "--passphrase-fd", "3", "--allow-passphrase-retry"},
        pass("1\n2\n3\npw\n"));
    EXPECT_EQ(5, r.rc) << r.err;

    // --user: root acts as the account (its rings, its files); the account cannot act as root.
    r = run({"--user", "root", "--key-list"});
    EXPECT_EQ(1, r.rc) << r.err;
    EXPECT_TRUE(has(r.err, "only root may act as another user")) << r.err;
    EXPECT_EQ(2, run({"--user", "no-such-account-here", "--key-list"}).rc);
    r = run({"--user", m_user->name(), "--key-list", "--with-colons"});
    EXPECT_EQ(0, r.rc) << r.err; // the same account: nothing to switch
}

TEST_F(OrxcmdEveryday, RootActsAsTheUserWithUser) {
    generate("Ann Example <ann@example.org>");
    // Run as root (not as the account), in a folder root owns.
    ZafTempDir cwd;
    int out[2];
    ASSERT_EQ(0, ::pipe(out));
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::close(out[0]);
        if (::chdir(cwd.path().c_str()) != 0)
            ::_exit(126);
        ::setenv("ORXDIR", m_install.path().c_str(), 1);
        ::setenv("HOME", "/nonexistent-root-home", 1);
        ::execl(ORXCMD_PATH, ORXCMD_PATH, "--user", m_user->name().c_str(), "--key-list",
                "--with-colons", "--output", (m_user->home() + "/list.txt").c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(out[1]);
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    ::close(out[0]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    struct stat st {};
    ASSERT_EQ(0, ::stat(m_user->file("list.txt").c_str(), &st));
    EXPECT_EQ(m_user->uid(), st.st_uid); // written as the account
    EXPECT_TRUE(has(slurp(m_user->file("list.txt")), "Ann Example"))
        << slurp(m_user->file("list.txt"));
}

TEST_F(OrxcmdEveryday, KeyGenerationAndExportOptions) {
    // --rsa-version 3 makes a legacy RSA key; a DSS type contradicts it.
    const std::string legacy = generate("Old Style <old@example.org>", {"--rsa-version", "3"});
    SCmdResult r = run({"--key-export", legacy, "--output", "legacy.key"});
    ASSERT_EQ(0, r.rc) << r.err;
    r = run({"--packet-list", "legacy.key"});
    EXPECT_TRUE(has(r.out, "tag 6 (Public-Key), length")) << r.out;
    EXPECT_TRUE(has(r.out, ": version 3, created")) << r.out;
    EXPECT_EQ(2, run({"--key-gen", "--rsa-version", "5", "--userid", "x"}).rc);
    EXPECT_EQ(2, run({"--key-gen", "--rsa-version", "4", "--key-type", "DSS", "--userid", "x"}).rc);

    // --cipher-num: the preferred cipher of a new key, the cipher of a message.
    const std::string ann = generate("Ann Example <ann@example.org>", {"--cipher-num", "7"});
    writeAsUser("data", "some data\n");
    r = run({"--encrypt", "data", "--userid", ann, "--cipher-num", "8", "--status-fd", "1",
             "--output", "data.zaf"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(has(r.out, "[ORXCMD] ENCRYPTED 8")) << r.out;
    r = run({"--encrypt", "data", "--userid", ann, "--status-fd", "1", "--output", "data2.zaf"});
    EXPECT_TRUE(has(r.out, "[ORXCMD] ENCRYPTED 7")) << r.out; // the key's preference
    EXPECT_EQ(2, run({"--encrypt", "data", "--userid", ann, "--cipher-num", "200"}).rc);
    EXPECT_EQ(
        2,
        run({"--encrypt", "data", "--userid", ann, "--cipher-num", "8", "--cipher", "AES256"}).rc);

    // --compatible leaves photo IDs out of an export.
    std::string jpeg("\xFF\xD8\xFF\xE0", 4);
    jpeg += std::string(200, 'j');
    writeAsUser("photo.jpg", jpeg);
    ASSERT_EQ(0, run({"--add-photoid", ann, "photo.jpg", "--passphrase-fd", "3"}, pass("pw\n")).rc);
    r = run({"--key-export", ann, "--output", "full.key"});
    ASSERT_EQ(0, r.rc);
    EXPECT_TRUE(has(run({"--packet-list", "full.key"}).out, "User Attribute"));
    ASSERT_EQ(0, run({"--key-export", ann, "--compatible", "--output", "compatible.key"}).rc);
    EXPECT_FALSE(has(run({"--packet-list", "compatible.key"}).out, "User Attribute"));
    EXPECT_EQ(2, run({"--key-export", ann, "--compatible", "--export-format", "Complete"}).rc);

    // --random-device: its bytes go to the pool; a device that runs dry fails the generation.
    writeAsUser("random.bin", std::string(4096, 'r'));
    generate("Seeded <seeded@example.org>", {"--random-device", m_user->file("random.bin")});
    writeAsUser("short.bin", "abc");
    r = run({"--key-gen", "--key-size", "1024", "--userid", "Dry <dry@example.org>",
             "--passphrase-fd", "3", "--random-device", m_user->file("short.bin")},
            pass("pw\n"));
    EXPECT_EQ(7, r.rc) << r.err;
    EXPECT_TRUE(has(r.err, "gave 3 of")) << r.err;
    EXPECT_EQ(3, run({"--key-list", "Dry"}).rc);
}

TEST_F(OrxcmdEveryday, ARandomDeviceThatStallsIsGivenUpWithinItsBound) {
    // A pipe whose writer never writes: the read gives up after its time limit.
    {
        ScopedIdentity as(*m_user);
        ASSERT_EQ(0, ::mkfifo(m_user->file("stall").c_str(), 0600));
    }
    const int writer = ::open(m_user->file("stall").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const SCmdResult r =
        run({"--key-gen", "--key-size", "1024", "--userid", "Stalled <stalled@example.org>",
             "--passphrase-fd", "3", "--random-device", m_user->file("stall")},
            pass("pw\n"));
    ::close(writer);
    EXPECT_EQ(7, r.rc) << r.err;
    EXPECT_TRUE(has(r.err, "gave 0 of")) << r.err;
}

TEST_F(OrxcmdEveryday, SettingsOfTheConfigurationLayersTakeEffect) {
    // --zafpath: the rings live in that folder.
    {
        ScopedIdentity as(*m_user);
        ASSERT_EQ(0, ::mkdir(m_user->file("other").c_str(), 0700));
    }
    const std::string ann =
        generate("Ann Example <ann@example.org>", {"--zafpath", m_user->file("other"), "--randseed",
                                                   m_user->file("other/seed.bin")});
    EXPECT_GT(slurp(m_user->file("other/pubring.pkr")).size(), 100u);
    EXPECT_GT(slurp(m_user->file("other/seed.bin")).size(), 0u);
    EXPECT_EQ(3, run({"--key-list", ann}).rc);
    EXPECT_EQ(0, run({"--key-list", ann, "--zafpath", m_user->file("other")}).rc);

    // --groups-file and --comment.
    const std::string bob = generate("Bob Example <bob@example.org>");
    ASSERT_EQ(0, run({"--group-add", "team", bob, "--groups-file", m_user->file("groups.zgr")}).rc);
    EXPECT_GT(slurp(m_user->file("groups.zgr")).size(), 0u);
    EXPECT_EQ(3, run({"--group-detail", "team"}).rc);
    SCmdResult r = run({"--key-export", bob, "--armor", "--comment", "Made for a test"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(has(r.out, "Comment: Made for a test")) << r.out;

    // --marginals-needed: one marginally trusted introducer makes a key valid with 1, not with
    // the default.
    const std::string carol = generate("Carol Example <carol@example.org>");
    const std::string dave = generate("Dave Example <dave@example.org>");
    ASSERT_EQ(
        0, run({"--key-sign", carol, "--sign-with", bob, "--passphrase-fd", "3"}, pass("pw\n")).rc);
    // Neither Bob nor Carol is a key pair of the user any more: Carol is valid only through Bob,
    // whom Dave (a key pair of the user) certified and whom the user trusts marginally.
    for (const std::string& key : {carol, bob}) {
        const SCmdResult exported = run({"--key-export", key});
        ASSERT_EQ(0, run({"--key-remove", key, "--force"}).rc);
        SCmdOptions in;
        in.input = exported.out;
        ASSERT_EQ(0, run({"--key-add"}, in).rc);
    }
    ASSERT_EQ(
        0, run({"--key-sign", bob, "--sign-with", dave, "--passphrase-fd", "3"}, pass("pw\n")).rc);
    ASSERT_EQ(0, run({"--trust", bob, "marginal"}).rc);
    auto validity = [&](const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"--key-list", carol, "--with-colons"};
        args.insert(args.end(), extra.begin(), extra.end());
        const SCmdResult listed = run(args);
        return listed.out.size() > 5 ? listed.out.substr(4, 1) : std::string("?");
    };
    EXPECT_EQ("m", validity({}));
    EXPECT_EQ("f", validity({"--marginals-needed", "1"}));
}

TEST_F(OrxcmdEveryday, TheCommandLineFormatDecidesWhatAWordWithOneDashIs) {
    const std::string ann = generate("Ann Example <ann@example.org>");
    {
        ScopedIdentity as(*m_user);
        std::ofstream(m_user->file(".zaf/zaf.cfg"), std::ios::app)
            << "\nALIAS -kl \"--key-list --with-colons\"\n";
    }
    SCmdResult r = run({"-kl"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(has(r.out, "sec:")) << r.out;
    // Long switches only: the alias code is a plain word, refused before any switch.
    r = run({"-kl", "--cmdline-format", "long"});
    EXPECT_EQ(2, r.rc) << r.err;
    // ... and a pattern that starts with a dash is taken as it is written.
    EXPECT_EQ(3, run({"--key-list", "-kl", "--cmdline-format", "long"}).rc);
    EXPECT_EQ(2, run({"-kl", "--cmdline-format", "short"}).rc);
    // The environment file sets it for every run; the command line still decides.
    writeAsUser("zaf.env", "ZAF_CMDLINE_FORMAT = long\n");
    EXPECT_EQ(2, run({"-kl"}).rc);
    EXPECT_EQ(0, run({"-kl", "--cmdline-format", "legacy"}).rc);
    EXPECT_EQ(0, run({"--key-list", ann}).rc);
}
