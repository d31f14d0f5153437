// orxcmd as a process: its signal handling, the transaction log it writes (200 parallel runs,
// redaction, an unwritable log) and the console's log request showing that history through a
// real orxgui.
#include "engine_internal.h"
#include "listener_harness.h"
#include "orxcmd_harness.h"

#include <oozaf/time.h>
#include <oozaf/vornserver.h>

#include <gtest/gtest.h>
#include <sstream>

using namespace orxtest;

namespace {

class OrxcmdProcess : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxcp");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
    }
    void writeAsUser(const std::string& relative, const std::string& content) {
        ScopedIdentity as(*m_user);
        std::filesystem::create_directories(
            std::filesystem::path(m_user->file(relative)).parent_path());
        std::ofstream(m_user->file(relative), std::ios::binary) << content;
    }
    std::vector<std::string> lines(const std::string& text) {
        std::vector<std::string> out;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line))
            out.push_back(line);
        return out;
    }

    std::unique_ptr<TestAccount> m_user;
    COrxInstall m_install;
};

} // namespace

TEST_F(OrxcmdProcess, TerminationSignalStopsWithSixAndTheMessage) {
    COrxcmdProcess process(*m_user, m_install, {"--key-add"});
    ASSERT_TRUE(process.waitUntilReadingInput());
    ASSERT_EQ(0, ::kill(process.pid(), SIGTERM));
    const SCmdResult r = process.wait();
    EXPECT_EQ(6, r.rc);
    EXPECT_EQ("\nReceived signal 15. Stopping.\n", r.err);
}

TEST_F(OrxcmdProcess, InterruptIgnoredByTheParentStaysIgnored) {
    SCmdOptions options;
    options.ignoreInterrupt = true;
    COrxcmdProcess process(*m_user, m_install, {"--key-add"}, options);
    ASSERT_TRUE(process.waitUntilReadingInput());
    ASSERT_EQ(0, ::kill(process.pid(), SIGINT));
    // Still reading: the end of its input ends it normally (no keys in it).
    const SCmdResult r = process.wait();
    EXPECT_EQ(8, r.rc) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("Received signal")) << r.err;

    // Without the parent's ignore the interrupt stops it.
    COrxcmdProcess second(*m_user, m_install, {"--key-add"});
    ASSERT_TRUE(second.waitUntilReadingInput());
    ASSERT_EQ(0, ::kill(second.pid(), SIGINT));
    EXPECT_EQ(6, second.wait().rc);
}

TEST_F(OrxcmdProcess, ParallelRunsEachAppendOneWholeLogLine) {
    const std::string log = m_user->file("transactions.log");
    writeAsUser(".zaf/zaf.cfg", "Log-File=" + log + "\n");
    const int kRuns = 200;
    const int kBatch = 25;
    for (int first = 0; first < kRuns; first += kBatch) {
        std::vector<std::unique_ptr<COrxcmdProcess>> batch;
        for (int i = first; i < first + kBatch; ++i)
            batch.emplace_back(new COrxcmdProcess(
                *m_user, m_install, {"--key-list", "--with-colons", "--sort", "UserID"}));
        for (auto& p : batch)
            EXPECT_EQ(0, p->wait().rc);
    }
    const std::vector<std::string> entries = lines(slurp(log));
    ASSERT_EQ(static_cast<size_t>(kRuns), entries.size());
    for (const std::string& line : entries) {
        oozaf::SVornLogEntry entry;
        ASSERT_TRUE(oozaf::gParseVornLogLine(line, entry)) << line;
        EXPECT_EQ(m_user->name(), entry.username);
        EXPECT_EQ("KeyList", entry.op);
        EXPECT_EQ("--key-list --with-colons --sort UserID", entry.cmdline);
        EXPECT_EQ(0, entry.rc);
        EXPECT_LE(entry.start, entry.end);
    }
}

TEST_F(OrxcmdProcess, LogRedactsSecretsAndItsFailureLeavesTheResult) {
    const std::string log = m_user->file("transactions.log");
    writeAsUser(".zaf/zaf.cfg", "Log-File=" + log + "\nALIAS -kl \"--key-list\"\n");
    SCmdResult r = runOrxcmd(*m_user, m_install, {"--key-list", "--passphrase", "hunter2"});
    EXPECT_EQ(2, r.rc);
    r = runOrxcmd(*m_user, m_install, {"-kl", "Tab\there \"quoted\""});
    EXPECT_EQ(3, r.rc);
    const std::string text = slurp(log);
    EXPECT_EQ(std::string::npos, text.find("hunter2")) << text;
    const std::vector<std::string> entries = lines(text);
    ASSERT_EQ(2u, entries.size()) << text;
    oozaf::SVornLogEntry entry;
    ASSERT_TRUE(oozaf::gParseVornLogLine(entries[0], entry));
    EXPECT_EQ("--key-list --passphrase ********", entry.cmdline);
    EXPECT_EQ(2, entry.rc);
    ASSERT_TRUE(oozaf::gParseVornLogLine(entries[1], entry)) << entries[1];
    EXPECT_EQ("KeyList", entry.op);
    EXPECT_EQ("-kl 'Tab\\x09here \\x22quoted\\x22'", entry.cmdline);
    EXPECT_EQ(3, entry.rc);

    // A log in a folder the user cannot write: a message, and the command's own result.
    writeAsUser(".zaf/zaf.cfg", "Log-File=/root/orx-forbidden.log\n");
    r = runOrxcmd(*m_user, m_install, {"--key-list"});
    EXPECT_EQ(0, r.rc);
    EXPECT_NE(std::string::npos,
              r.err.find("cannot write the transaction log /root/orx-forbidden.log"))
        << r.err;
}

TEST(OrxcmdLogLine, SecretsAreHiddenInEverySpelling) {
    using orxengine::gLoggedCommandLine;
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--key-list", "--passphrase", "hunter2"}, "--key-list --passphrase ********"},
        {{"--key-list", "--passphrase=hunter2"}, "--key-list --passphrase=********"},
        {{"--key-list", "--PassPhrase=hunter2", "x"}, "--key-list --PassPhrase=******** ********"},
        {{"--key-list", "-passphrase", "hunter2"}, "--key-list -passphrase ********"},
        {{"--key-list", "--pass", "hunter2"}, "--key-list --pass ********"},
        {{"--key-list", "--passw", "hunter2"}, "--key-list --passw ********"},
        {{"--key-list", "--auth-passphrase=hunter2"}, "--key-list --auth-passphrase=********"},
        {{"--key-list", "--auth-pass", "hunter2"}, "--key-list --auth-pass ********"},
        {{"--key-list", "--new-passphrase", "-hunter2", "--armor"},
         "--key-list --new-passphrase ******** --armor"},
        {{"--key-list", "---smtp-password", "hunter2", "more"},
         "--key-list ---smtp-password ******** ********"},
        {{"--key-list", "--secret", "hunter2"}, "--key-list --secret ********"},
        {{"--key-list", "--pw", "hunter2"}, "--key-list --pw ********"},
        // Switches that only look alike keep their values, and so do the descriptors.
        {{"--encrypt", "f", "--wipe-passes", "3"}, "--encrypt f --wipe-passes 3"},
        {{"--decrypt", "m", "--passphrase-fd", "3"}, "--decrypt m --passphrase-fd 3"},
        {{"--decrypt", "--pass-through", "yes"}, "--decrypt --pass-through yes"},
        {{"--encrypt", "--output=f.zaf"}, "--encrypt --output=f.zaf"},
        {{"-kl", "--", "-"}, "-kl -- -"},
    };
    for (const auto& [words, expected] : cases)
        EXPECT_EQ(expected, gLoggedCommandLine(words));
}

TEST_F(OrxcmdProcess, SecretsNeverReachTheLogAndARelativeLogLivesInThePersonalDirectory) {
    writeAsUser(".zaf/zaf.cfg", "Log-File=transactions.log\n");
    // Run from a folder of its own: the log still goes to the personal directory.
    ZafTempDir elsewhere;
    ::chmod(elsewhere.path().c_str(), 0777);
    SCmdOptions away;
    away.workDir = elsewhere.path();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--key-list", "--passphrase=hunter2"},
          std::vector<std::string>{"--key-list", "-passphrase", "hunter2"},
          std::vector<std::string>{"--key-list", "--pass", "hunter2"},
          std::vector<std::string>{"--key-list", "--auth-passphrase", "hunter2"}})
        EXPECT_NE(0, runOrxcmd(*m_user, m_install, args, away).rc);
    EXPECT_EQ(0, runOrxcmd(*m_user, m_install, {"--key-list"}, away).rc);
    EXPECT_FALSE(std::filesystem::exists(elsewhere.file("transactions.log")));
    const std::string text = slurp(m_user->file(".zaf/transactions.log"));
    EXPECT_EQ(5u, lines(text).size()) << text;
    EXPECT_EQ(std::string::npos, text.find("hunter2")) << text;

    // The listener's log request reads the same file, though its own folder is another.
    CListenerProcess daemon;
    ASSERT_TRUE(daemon.start());
    auto session = daemon.connect();
    ASSERT_EQ(0, session->login(m_user->name(), m_user->password()).rc);
    const vornadmin::SReply reply = request(*session, vornadmin::gLogRequest());
    ASSERT_EQ(0, reply.rc) << reply.xml;
    EXPECT_EQ(5u, reply.body()->childrenNamed("transaction").size()) << reply.xml;
    EXPECT_EQ(std::string::npos, reply.xml.find("hunter2"));
    session.reset();
    EXPECT_EQ(0, daemon.stop());
}

TEST_F(OrxcmdProcess, TheConsoleShowsTheHistoryThatOrxcmdWrote) {
    const std::string log = m_user->file("transactions.log");
    writeAsUser(".zaf/zaf.cfg", "Log-File=" + log + "\n");
    EXPECT_EQ(0, runOrxcmd(*m_user, m_install, {"--key-list"}).rc);
    EXPECT_EQ(3, runOrxcmd(*m_user, m_install, {"--key-export", "nobody"}).rc);
    EXPECT_EQ(0, runOrxcmd(*m_user, m_install, {"--group-list"}).rc);

    CListenerProcess daemon;
    ASSERT_TRUE(daemon.start());
    auto session = daemon.connect();
    ASSERT_EQ(0, session->login(m_user->name(), m_user->password()).rc);
    const vornadmin::SReply reply = request(*session, vornadmin::gLogRequest());
    ASSERT_EQ(0, reply.rc) << reply.xml;
    const auto transactions = reply.body()->childrenNamed("transaction");
    ASSERT_EQ(3u, transactions.size()) << reply.xml;
    EXPECT_NE(std::string::npos, reply.xml.find("KeyExport")) << reply.xml;
    EXPECT_NE(std::string::npos, reply.xml.find("--key-export nobody")) << reply.xml;
    EXPECT_NE(std::string::npos, reply.xml.find("GroupList")) << reply.xml;
    session.reset();
    EXPECT_EQ(0, daemon.stop());
}
