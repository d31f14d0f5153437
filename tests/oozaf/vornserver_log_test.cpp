// Tests of the transaction log reader through the server facade: the configured file, records in
// file order, and the failures with what they leave behind.
#include "vornserver_test_util.h"

using namespace oozaf;

namespace {

const char* const kGood1 =
    "2024-03-01 10:00:00.1\t2024-03-01 10:00:01.0\talice\tencrypt\t--encrypt a "
    "-r bob\t0";
// A command line whose quoted argument holds a TAB.
const char* const kGood2 = "2024-03-01 11:00:00.0\t2024-03-01 11:00:02.500\tbob\tsign\t--sign "
                           "\"my\tfile\"\t3";

class VornServerLog : public CVornServerFixture {
protected:
    // A server whose configured log file holds `content`.
    CServerPtr openWithLog(const std::string& content) {
        writeUserConf("Log-File=\"" + home("my log.txt") + "\"\n");
        write(home("my log.txt"), content);
        return open();
    }
};

TEST_F(VornServerLog, WithoutALogFileTheReasonIs1500) {
    CServerPtr server = open();
    EXPECT_FALSE(server->hasLog());
    std::vector<SVornLogEntry> entries(1);
    auto e = expectThrow<CZAFLogException>([&] { server->getLog(entries); });
    ASSERT_TRUE(e);
    EXPECT_EQ(eReasonNoLogFile, e->getReason());
    EXPECT_EQ(1u, entries.size());
}

TEST_F(VornServerLog, ReadsEveryRecordInFileOrderReplacingTheOldOnes) {
    CServerPtr server = openWithLog(std::string(kGood1) + "\n" + kGood2 + "\n" + kGood1 + "\n");
    std::vector<SVornLogEntry> entries(5);
    server->getLog(entries);
    ASSERT_EQ(3u, entries.size());
    EXPECT_EQ("alice", entries[0].username);
    EXPECT_EQ("bob", entries[1].username);
    EXPECT_EQ("--sign my?file", entries[1].cmdline);
    EXPECT_EQ(3, entries[1].rc);
    EXPECT_EQ("2024-03-01 11:00:02.500", entries[1].end.formatYMDHMSMs(false));
    EXPECT_EQ("alice", entries[2].username);

    write(home("my log.txt"), "");
    server->getLog(entries);
    EXPECT_TRUE(entries.empty());
}

TEST_F(VornServerLog, ALineWithoutSixFieldsStopsTheReadWith1501) {
    const std::string five =
        "2024-03-01 12:00:00.0\t2024-03-01 12:00:00.0\tcarol\twipe\t--wipe\x1b";
    CServerPtr server = openWithLog(std::string(kGood1) + "\n" + five + "\n" + kGood2 + "\n");
    std::vector<SVornLogEntry> entries;
    auto e = expectThrow<CZAFLogException>([&] { server->getLog(entries); });
    ASSERT_TRUE(e);
    EXPECT_EQ(eReasonLogLineFormat, e->getReason());
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ("alice", entries[0].username);
    EXPECT_TRUE(logged("Invalid log line format:2024-03-01 12:00:00.0"));
    EXPECT_FALSE(logged("\x1b")) << "control characters must not reach the log";
}

TEST_F(VornServerLog, OtherFailuresArriveAsTheCause) {
    CServerPtr server =
        openWithLog(std::string(kGood1) + "\n2024-02-30 10:00:00.0\t2024-03-01 10:00:00.0\tu\top\t"
                                          "c\t0\n");
    std::vector<SVornLogEntry> entries;
    auto e = expectThrow<CZAFLogException>([&] { server->getLog(entries); });
    ASSERT_TRUE(e);
    EXPECT_EQ(eReasonNone, e->getReason());
    EXPECT_NE(nullptr, dynamic_cast<const CZAFTimeParseException*>(e->getRoot()));
    EXPECT_EQ(1u, entries.size());

    write(home("my log.txt"),
          std::string(kGood1) + std::string(CVornServer::kMaxLogLineLength, 'x'));
    e = expectThrow<CZAFLogException>([&] { server->getLog(entries); });
    ASSERT_TRUE(e);
    EXPECT_NE(nullptr, dynamic_cast<const CZAFFileReadException*>(e->getRoot()));

    std::filesystem::remove(home("my log.txt"));
    e = expectThrow<CZAFLogException>([&] { server->getLog(entries); });
    ASSERT_TRUE(e);
    EXPECT_NE(nullptr, dynamic_cast<const CZAFFileOpenException*>(e->getRoot()));
}

} // namespace
