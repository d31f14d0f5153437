// --key-edit and --key-maintenance end to end: the menu on a real terminal, changes written only
// when saved (never on an interrupt or a quit), the edits of the modifiers, and a ring with a
// forged certification cleaned by --key-maintenance.
#include "orxcmd_terminal.h"

#include <gtest/gtest.h>
#include <sstream>

using namespace orxtest;

namespace {

class OrxcmdKeyEdit : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxcx");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
        m_ann = generate("Ann <ann@example.org>");
    }

    SCmdResult run(const std::vector<std::string>& args, const std::string& lines = "") {
        SCmdOptions options;
        options.passphrases = lines;
        return runOrxcmd(*m_user, m_install, args, options);
    }
    std::string generate(const std::string& userID, const std::string& pass = "pw") {
        SCmdResult failed;
        const std::string id = generateKeyAs(*m_user, m_install, userID, pass, {}, &failed);
        EXPECT_NE("", id) << failed.err;
        return id;
    }
    std::string rings() {
        return slurp(m_user->file(".zaf/pubring.pkr")) + slurp(m_user->file(".zaf/secring.skr"));
    }
    std::vector<std::string> lines(const std::string& text, const std::string& kind) {
        std::vector<std::string> out;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            if (line.compare(0, kind.size() + 1, kind + ":") == 0)
                out.push_back(line);
        return out;
    }
    static std::string field(const std::string& line, int n) {
        std::istringstream in(line);
        std::string f;
        for (int i = 0; i < n && std::getline(in, f, ':'); ++i) {
        }
        return f;
    }
    // Types a menu command and waits for its answer after the prompt that follows it.
    static std::string menu(COrxcmdTerminal& t, const std::string& command,
                            const std::string& passphrase = "") {
        const size_t mark = t.output().size();
        t.type(command);
        if (!passphrase.empty()) {
            EXPECT_TRUE(t.waitFor("Passphrase for", mark)) << t.output().substr(mark);
            EXPECT_TRUE(t.waitForEchoOff());
            t.type(passphrase);
        }
        EXPECT_TRUE(t.waitFor("key-edit> ", mark)) << t.output().substr(mark);
        return t.output().substr(mark);
    }

    std::unique_ptr<TestAccount> m_user;
    COrxInstall m_install;
    std::string m_ann;
};

} // namespace

TEST_F(OrxcmdKeyEdit, TheMenuEditsAndSavesEverythingAtOnce) {
    const std::string bob = generate("Bob <bob@example.org>");
    COrxcmdTerminal t(*m_user, m_install, {"--key-edit", m_ann, "--interactive"});
    ASSERT_TRUE(t.waitFor("key-edit> ")) << t.output();
    EXPECT_TRUE(menu(t, "help").find("adduid TEXT") != std::string::npos);
    EXPECT_NE(std::string::npos, menu(t, "adduid Ann Two <two@example.org>", "pw").find("ok"));
    const std::string before = rings(); // nothing written yet
    EXPECT_NE(std::string::npos, menu(t, "primary Ann Two <two@example.org>").find("ok"));
    EXPECT_NE(std::string::npos, menu(t, "expire 30").find("ok"));
    EXPECT_NE(std::string::npos, menu(t, "addkey 1024").find("ok"));
    EXPECT_NE(std::string::npos, menu(t, "revoker " + bob).find("ok"));
    EXPECT_NE(std::string::npos, menu(t, "adk " + bob + " required").find("ok"));
    EXPECT_NE(std::string::npos, menu(t, "disable").find("ok"));
    EXPECT_NE(std::string::npos, menu(t, "frobnicate").find("unknown command"));
    EXPECT_NE(std::string::npos, menu(t, "deluid Nobody").find("error: the key has no user ID"));
    EXPECT_NE(std::string::npos, menu(t, "sign " + bob, "pw").find("ok"));
    const std::string listed = menu(t, "list");
    EXPECT_NE(std::string::npos, listed.find("uid  Ann Two <two@example.org>")) << listed;
    EXPECT_NE(std::string::npos, listed.find("[disabled]")) << listed;
    EXPECT_EQ(before, rings());
    t.type("save");
    const SCmdResult r = t.wait();
    EXPECT_EQ(0, r.rc) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("saved (")) << r.out;

    const SCmdResult after = run({"--key-list", m_ann, "--with-colons", "--with-userids"});
    ASSERT_EQ(0, after.rc) << after.err;
    const std::vector<std::string> key = lines(after.out, "sec");
    ASSERT_EQ(1u, key.size()) << after.out;
    EXPECT_EQ("Ann Two <two@example.org>", field(key[0], 10)) << key[0] << r.out;
    EXPECT_NE("", field(key[0], 7)) << key[0]; // expires
    EXPECT_NE(std::string::npos, field(key[0], 9).find('d')) << key[0];
    EXPECT_EQ(2u, lines(after.out, "sub").size()) << after.out;
    const SCmdResult detail = run({"--key-detail", m_ann});
    EXPECT_NE(std::string::npos, detail.out.find("Revoker: " + bob)) << detail.out;
    EXPECT_NE(std::string::npos, detail.out.find("[required]")) << detail.out;
    // Another key's menu: a local setting alone is saved too.
    COrxcmdTerminal b(*m_user, m_install, {"--key-edit", bob, "--interactive"});
    ASSERT_TRUE(b.waitFor("key-edit> ")) << b.output();
    EXPECT_NE(std::string::npos, menu(b, "trust marginal").find("ok"));
    b.type("save");
    EXPECT_EQ(0, b.wait().rc);
}

TEST_F(OrxcmdKeyEdit, NothingIsWrittenOnAnInterruptAQuitOrAClosedTerminal) {
    const std::string before = rings();
    {
        COrxcmdTerminal t(*m_user, m_install, {"--key-edit", m_ann, "--interactive"});
        ASSERT_TRUE(t.waitFor("key-edit> ")) << t.output();
        EXPECT_NE(std::string::npos, menu(t, "adduid Lost <lost@example.org>", "pw").find("ok"));
        ASSERT_EQ(0, ::kill(t.pid(), SIGINT));
        const SCmdResult r = t.wait();
        EXPECT_EQ(6, r.rc) << r.out;
        EXPECT_NE(std::string::npos, r.out.find("Stopping.")) << r.out;
    }
    EXPECT_EQ(before, rings());
    {
        COrxcmdTerminal t(*m_user, m_install, {"--key-edit", m_ann, "--interactive"});
        ASSERT_TRUE(t.waitFor("key-edit> ")) << t.output();
        menu(t, "adduid Lost <lost@example.org>", "pw");
        const size_t mark = t.output().size();
        t.type("quit");
        ASSERT_TRUE(t.waitFor("Leave without writing 1 changes? (y/N)", mark)) << t.output();
        t.type("y");
        const SCmdResult r = t.wait();
        EXPECT_EQ(0, r.rc) << r.out;
        EXPECT_NE(std::string::npos, r.out.find("left as it was")) << r.out;
    }
    EXPECT_EQ(before, rings());
    // Without a terminal the menu is refused.
    EXPECT_EQ(2, run({"--key-edit", m_ann, "--interactive"}).rc);
    EXPECT_EQ(before, rings());
}

TEST_F(OrxcmdKeyEdit, ModifiersAddSubkeysSetTheExpiryAndThePassphrase) {
    SCmdResult r = run({"--key-edit", m_ann, "--subkey", "--key-size", "1024", "--start-date",
                        "2031-02-03", "--expires-after", "10", "--passphrase-fd", "3"},
                       "pw\n");
    ASSERT_EQ(0, r.rc) << r.err;
    r = run({"--key-list", m_ann, "--with-colons", "--with-userids"});
    const std::vector<std::string> subs = lines(r.out, "sub");
    ASSERT_EQ(2u, subs.size()) << r.out;
    bool found = false;
    for (const std::string& s : subs)
        if (field(s, 6) == "1927843200") // 2031-02-03 00:00:00 UTC
            found = field(s, 7) == std::to_string(1927843200 + 10 * 86400);
    EXPECT_TRUE(found) << r.out;

    r = run({"--key-edit", m_ann, "--expires-after", "100", "--passphrase-fd", "3"}, "pw\n");
    ASSERT_EQ(0, r.rc) << r.err;
    r = run({"--key-list", m_ann, "--with-colons"});
    EXPECT_NE("", field(lines(r.out, "sec").at(0), 7)) << r.out;
    r = run({"--key-edit", m_ann, "--expires-after", "0", "--passphrase-fd", "3"}, "pw\n");
    ASSERT_EQ(0, r.rc) << r.err;
    r = run({"--key-list", m_ann, "--with-colons"});
    EXPECT_EQ("", field(lines(r.out, "sec").at(0), 7)) << r.out;

    r = run({"--key-edit", m_ann, "--new-passphrase", "--passphrase-fd", "3"}, "pw\nfresh\n");
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(5, run({"--add-userid", m_ann, "X <x@x>", "--passphrase-fd", "3"}, "pw\n").rc);
    EXPECT_EQ(0, run({"--add-userid", m_ann, "X <x@x>", "--passphrase-fd", "3"}, "fresh\n").rc);

    const std::string before = rings();
    EXPECT_EQ(2, run({"--key-edit", m_ann}).rc);
    EXPECT_EQ(2, run({"--key-edit", m_ann, "--start-date", "2031-01-01"}).rc);
    EXPECT_EQ(2, run({"--key-edit", m_ann, "--subkey", "--start-date", "tomorrow"}).rc);
    EXPECT_EQ(2, run({"--key-edit", m_ann, "--interactive", "--subkey"}).rc);
    EXPECT_EQ(
        5,
        run({"--key-edit", m_ann, "--expires-after", "5", "--passphrase-fd", "3"}, "wrong\n").rc);
    EXPECT_EQ(3, run({"--key-edit", "nobody@example.org", "--subkey"}).rc);
    EXPECT_EQ(before, rings());
}

TEST_F(OrxcmdKeyEdit, MaintenanceDropsWhatDoesNotVerifyAndRebuildsTheChecks) {
    const std::string bob = generate("Bob <bob@example.org>");
    ASSERT_EQ(0, run({"--key-sign", bob, "--sign-with", m_ann, "--passphrase-fd", "3"}, "pw\n").rc);
    const SCmdResult exported = run({"--key-export", bob, m_ann, "--output", "both.pkr"});
    ASSERT_EQ(0, exported.rc) << exported.err;
    // The last byte of Ann's certification of Bob (type 0x10) changed: a forged signature.
    std::string ring = slurp(m_user->file("both.pkr"));
    const SCmdResult packets = run({"--packet-list", "both.pkr"});
    // The packet ends where the next one starts.
    std::vector<std::pair<size_t, bool>> starts; // offset, Ann's certification of Bob
    std::istringstream in(packets.out);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 7, "offset ") == 0)
            starts.emplace_back(std::stoul(line.substr(7)),
                                line.find("(Signature)") != std::string::npos &&
                                    line.find("type 0x10") != std::string::npos);
    size_t end = 0;
    for (size_t i = 0; i < starts.size(); ++i)
        if (starts[i].second)
            end = (i + 1 < starts.size() ? starts[i + 1].first : ring.size()) - 1;
    ASSERT_GT(end, 0u) << packets.out;
    ring[end] ^= 0x01;
    auto checker = TestAccount::create("orxcy");
    ASSERT_TRUE(checker);
    {
        ScopedIdentity as(*checker);
        ASSERT_EQ(0, ::mkdir(checker->file(".zaf").c_str(), 0700));
        std::ofstream(checker->file(".zaf/pubring.pkr"), std::ios::binary) << ring;
    }
    SCmdResult r = runOrxcmd(*checker, m_install, {"--key-check"});
    EXPECT_EQ(11, r.rc) << r.out << r.err;
    r = runOrxcmd(*checker, m_install, {"--key-maintenance"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("does not verify: " + bob)) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("1 bad")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("1 signatures dropped")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("check results rebuilt")) << r.out;
    {
        // The rings were written anew, each signature followed by its kept check result.
        const SCmdResult listed =
            runOrxcmd(*checker, m_install, {"--packet-list", checker->file(".zaf/pubring.pkr")});
        std::istringstream listing(listed.out);
        std::vector<std::string> tags;
        for (std::string line; std::getline(listing, line);)
            tags.push_back(line.substr(line.find("tag "), line.find(')') - line.find("tag ")));
        int signatures = 0;
        for (size_t i = 0; i < tags.size(); ++i)
            if (tags[i] == "tag 2 (Signature") {
                ++signatures;
                EXPECT_TRUE(i + 1 < tags.size() && tags[i + 1] == "tag 12 (Trust") << listed.out;
            }
        EXPECT_EQ(4, signatures) << listed.out; // the forged certification is gone
    }
    r = runOrxcmd(*checker, m_install, {"--key-check"});
    EXPECT_EQ(0, r.rc) << r.out << r.err;
    r = runOrxcmd(*checker, m_install, {"--key-maintenance"});
    EXPECT_NE(std::string::npos, r.out.find(" 0 bad")) << r.out;
}
