// Tests of the transaction log line parser: field splitting, printable fields, return codes and
// the failures of malformed lines.
#include "expect_throw.h"

#include <oozaf/mem.h>
#include <oozaf/throwable.h>
#include <oozaf/vornserver.h>

#include <climits>
#include <gtest/gtest.h>
#include <string>

using namespace oozaf;

namespace {

const char* const kStart = "2024-03-01 10:20:30.7";
const char* const kEnd = "2024-03-01 10:20:31.250";

std::string line(const std::string& user, const std::string& op, const std::string& cmdline,
                 const std::string& rc) {
    return std::string(kStart) + "\t" + kEnd + "\t" + user + "\t" + op + "\t" + cmdline + "\t" + rc;
}

class LogLine : public ::testing::Test {
protected:
    void SetUp() override { m_blocks = gObjMemoryManager().getBlockCount(); }
    void TearDown() override { EXPECT_EQ(m_blocks, gObjMemoryManager().getBlockCount()); }

private:
    std::size_t m_blocks = 0;
};

TEST_F(LogLine, ReadsSixFields) {
    SVornLogEntry entry;
    ASSERT_TRUE(gParseVornLogLine(line("alice", "encrypt", "--encrypt a.txt -r bob", "3"), entry));
    EXPECT_EQ(CZAFTime::createFromYMDHMSMs(kStart), entry.start);
    EXPECT_EQ(7, entry.start.getMilliseconds());
    EXPECT_EQ(250, entry.end.getMilliseconds());
    EXPECT_EQ("2024-03-01 10:20:31.250", entry.end.formatYMDHMSMs(false));
    EXPECT_EQ("alice", entry.username);
    EXPECT_EQ("encrypt", entry.op);
    EXPECT_EQ("--encrypt a.txt -r bob", entry.cmdline);
    EXPECT_EQ(3, entry.rc);
}

TEST_F(LogLine, ReplacesUnprintableCharactersInUserNameAndCommandLineOnly) {
    SVornLogEntry entry;
    ASSERT_TRUE(
        gParseVornLogLine(line("al\x01ice\x7f", "op\x02x", "--sign\x1b[2J f\xc3\xa9", "0"), entry));
    EXPECT_EQ("al?ice?", entry.username);
    EXPECT_EQ("op\x02x", entry.op);
    EXPECT_EQ("--sign?[2J f??", entry.cmdline);
}

// The split is quote-aware: a TAB between double quotes belongs to its field, and the quotes
// are not part of it.
TEST_F(LogLine, QuotesHoldTabsAndAreNotPartOfTheField) {
    SVornLogEntry entry;
    ASSERT_TRUE(gParseVornLogLine(line("bob", "sign", "--comment \"a\tb\" x", "2"), entry));
    EXPECT_EQ("--comment a?b x", entry.cmdline); // the TAB does not print on a console
    EXPECT_EQ(2, entry.rc);
    ASSERT_TRUE(gParseVornLogLine(line("bob", "\"en\tcrypt\"", "--comment \"a b\"", "0"), entry));
    EXPECT_EQ("en\tcrypt", entry.op);
    EXPECT_EQ("--comment a b", entry.cmdline);
    // An unpaired quote takes the TABs after it into its field: too few fields.
    entry.cmdline = "unchanged";
    EXPECT_FALSE(gParseVornLogLine(line("bob", "sign", "--comment \"oops", "4"), entry));
    EXPECT_EQ("unchanged", entry.cmdline);
}

TEST_F(LogLine, KeepsEmptyFields) {
    SVornLogEntry entry;
    ASSERT_TRUE(gParseVornLogLine(line("", "", "", ""), entry));
    EXPECT_EQ("", entry.username);
    EXPECT_EQ("", entry.cmdline);
    EXPECT_EQ(0, entry.rc);
}

TEST_F(LogLine, RefusesAnyOtherFieldCountAndLeavesTheEntryAlone) {
    SVornLogEntry entry;
    entry.username = "unchanged";
    const std::string full = line("u", "op", "cmd", "1");
    EXPECT_FALSE(gParseVornLogLine(full.substr(0, full.rfind('\t')), entry)); // five fields
    EXPECT_FALSE(gParseVornLogLine(full + "\t", entry));                      // seven fields
    EXPECT_FALSE(gParseVornLogLine(full + "\textra", entry));
    EXPECT_FALSE(gParseVornLogLine("", entry));
    EXPECT_FALSE(gParseVornLogLine("\t\t\t\t\t\t\t\t", entry));
    EXPECT_EQ("unchanged", entry.username);
}

TEST_F(LogLine, ReadsReturnCodesLikeAtoiWithoutOverflow) {
    const struct {
        const char* text;
        int32_t rc;
    } cases[] = {
        {"0", 0},
        {"-12", -12},
        {"  42", 42},
        {"7abc", 7},
        {"abc", 0},
        {"3\r", 3},
        {"+5", 5},
        {"2147483647", INT32_MAX},
        {"99999999999999999999", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-99999999999", INT32_MIN},
    };
    for (const auto& c : cases) {
        SVornLogEntry entry;
        ASSERT_TRUE(gParseVornLogLine(line("u", "op", "cmd", c.text), entry)) << c.text;
        EXPECT_EQ(c.rc, entry.rc) << c.text;
    }
}

TEST_F(LogLine, RefusesTimesThatDoNotParse) {
    SVornLogEntry entry;
    entry.op = "unchanged";
    const std::string bad[] = {
        "2024-03-01\t" + std::string(kEnd) + "\tu\top\tcmd\t0",
        std::string(kStart) + "\t2024-13-01 10:00:00.0\tu\top\tcmd\t0",
        "\t\tu\top\tcmd\t0",
    };
    for (const std::string& text : bad) {
        auto e = expectThrow<CZAFTimeParseException>([&] { gParseVornLogLine(text, entry); });
        EXPECT_TRUE(e) << text;
    }
    EXPECT_EQ("unchanged", entry.op);
}

} // namespace
