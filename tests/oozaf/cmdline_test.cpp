// Tests of CZAFCommandLineContext through a small program's rules: splitting, the faults in their
// order of discovery, the exact messages, look-ups ignoring case and the diagnostic dump.
#include "expect_throw.h"

#include <oozaf/cmdline.h>
#include <oozaf/mem.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>

#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

using oozaf::CZAFCommandLineContext;
using oozaf::CZAFDuplicateSwitchException;
using oozaf::CZAFIncorrectArgsNumException;
using oozaf::CZAFIndependentArgsException;
using oozaf::CZAFInternalError;
using oozaf::CZAFInvalidArgumentException;
using oozaf::CZAFInvalidCommandLineSwitchException;

namespace {

using CWords = std::vector<std::string>;

// A program with four switches:
//   --port   exactly one decimal integer
//   --files  at least two arguments
//   --pair   at most two arguments
//   --flag   any number of arguments (both bounds 0)
//   --       the bare switch, accepted for the test of its recognition
class CTestContext : public CZAFCommandLineContext {
public:
    void minMaxArgsForSwitch(const std::string& sw, uint16_t& min, uint16_t& max) const override {
        min = 0;
        max = 0;
        if (sw == "--port")
            min = max = 1;
        else if (sw == "--files")
            min = 2;
        else if (sw == "--pair")
            max = 2;
    }
    bool switchIsValid(const std::string& sw) const override {
        return sw == "--port" || sw == "--files" || sw == "--pair" || sw == "--flag" || sw == "--";
    }
    bool argIsValid(const std::string& sw, const std::string& arg) const override {
        return sw != "--port" || oozaf::CZAFUtil::isInteger(arg);
    }
};

// The listener's kind of context: no independent arguments at all.
class CStrictContext : public CTestContext {
public:
    void validate() const override {
        CTestContext::validate();
        if (!getIndependentArgs().empty())
            throw new CZAFIndependentArgsException();
    }
};

class CmdLineTest : public ::testing::Test {
protected:
    void SetUp() override { m_blocks = oozaf::gObjMemoryManager().getBlockCount(); }
    void TearDown() override { EXPECT_EQ(m_blocks, oozaf::gObjMemoryManager().getBlockCount()); }

    // The message of the command-line fault that parsing `words` raises, or "" when none is.
    template <class T> std::string failure(const CWords& words) {
        CTestContext context;
        auto e = expectThrow<T>([&] { context.parse(words); });
        return e ? e->getMessage() : std::string();
    }

    CTestContext m_context;

private:
    std::size_t m_blocks = 0;
};

} // namespace

TEST_F(CmdLineTest, SplitsIndependentArgumentsAndSwitches) {
    m_context.parse(CWords{"a", "b", "--Pair", "c", "D"});
    EXPECT_EQ((CWords{"a", "b"}), m_context.getIndependentArgs());
    const CWords* pair = m_context.getArgs("--pair");
    ASSERT_NE(nullptr, pair);
    EXPECT_EQ((CWords{"c", "D"}), *pair);
    EXPECT_EQ((CWords{"a", "b", "--Pair", "c", "D"}), m_context.getArgs());
}

TEST_F(CmdLineTest, LooksUpSwitchesIgnoringCase) {
    m_context.parse(CWords{"--port", "80", "--FLAG"});
    ASSERT_NE(nullptr, m_context.getArgs("--PORT"));
    EXPECT_EQ((CWords{"80"}), *m_context.getArgs("--PORT"));
    EXPECT_TRUE(m_context.switchExists("--flag"));
    EXPECT_TRUE(m_context.getArgs("--Flag")->empty());
    EXPECT_FALSE(m_context.switchExists("--pair"));
    EXPECT_EQ(nullptr, m_context.getArgs("--pair"));
}

TEST_F(CmdLineTest, SingleDashWordsAreArgumentsNeverSwitches) {
    m_context.parse(CWords{"-x", "--flag", "-p", "-"});
    EXPECT_EQ((CWords{"-x"}), m_context.getIndependentArgs());
    EXPECT_EQ((CWords{"-p", "-"}), *m_context.getArgs("--flag"));

    EXPECT_TRUE(CZAFCommandLineContext::isSwitch("--"));
    EXPECT_TRUE(CZAFCommandLineContext::isSwitch("---x"));
    EXPECT_FALSE(CZAFCommandLineContext::isSwitch("-p"));
    EXPECT_FALSE(CZAFCommandLineContext::isSwitch(""));
    // The bare "--" is a switch like any other; what follows it belongs to it.
    m_context.parse(CWords{"--", "x"});
    ASSERT_TRUE(m_context.switchExists("--"));
    EXPECT_EQ((CWords{"x"}), *m_context.getArgs("--"));
}

TEST_F(CmdLineTest, EmptyCommandLinePasses) {
    m_context.parse(CWords{});
    EXPECT_TRUE(m_context.getIndependentArgs().empty());
    EXPECT_TRUE(m_context.getArgs().empty());
    EXPECT_FALSE(m_context.switchExists("--port"));
}

TEST_F(CmdLineTest, RejectsRepeatedSwitchesWhateverTheirCase) {
    EXPECT_EQ("The switch '--port' appears more than once.",
              failure<CZAFDuplicateSwitchException>({"--Port", "80", "--port", "81"}));
    EXPECT_EQ("The switch '--flag' appears more than once.",
              failure<CZAFDuplicateSwitchException>({"--flag", "--FLAG"}));
}

TEST_F(CmdLineTest, RejectsUnknownSwitchesAndArguments) {
    EXPECT_EQ("Invalid command line switch '--bogus'",
              failure<CZAFInvalidCommandLineSwitchException>({"--BoGus"}));
    EXPECT_EQ("Invalid argument 'abc' for switch '--port'",
              failure<CZAFInvalidArgumentException>({"--PORT", "abc"}));
    // A value that begins with "--" is always taken for a switch.
    EXPECT_EQ("Invalid command line switch '--x'",
              failure<CZAFInvalidCommandLineSwitchException>({"--pair", "--x"}));
}

TEST_F(CmdLineTest, ReportsTheFirstFaultFromLeftToRightBeforeCounts) {
    EXPECT_TRUE(
        !failure<CZAFInvalidArgumentException>({"--port", "abc", "--bogus", "--flag", "--flag"})
             .empty());
    EXPECT_TRUE(
        !failure<CZAFInvalidCommandLineSwitchException>({"--bogus", "--port", "abc"}).empty());
    EXPECT_TRUE(!failure<CZAFDuplicateSwitchException>({"--port", "--port"}).empty());
    // Counts are checked after the whole list, in switch-name order: --files before --port.
    EXPECT_EQ("Incorrect number of arguments for switch '--files'\nMinimum arguments allowed: 2",
              failure<CZAFIncorrectArgsNumException>({"--port", "1", "2", "--files", "a"}));
}

TEST_F(CmdLineTest, ArgumentCountMessagesNameOnlyTheNonZeroBounds) {
    EXPECT_EQ("Incorrect number of arguments for switch '--port'\nMinimum arguments allowed: "
              "1\nMaximum arguments allowed: 1",
              failure<CZAFIncorrectArgsNumException>({"--port", "1", "2"}));
    EXPECT_EQ("Incorrect number of arguments for switch '--port'\nMinimum arguments allowed: "
              "1\nMaximum arguments allowed: 1",
              failure<CZAFIncorrectArgsNumException>({"--port"}));
    EXPECT_EQ("Incorrect number of arguments for switch '--pair'\nMaximum arguments allowed: 2",
              failure<CZAFIncorrectArgsNumException>({"--pair", "a", "b", "c"}));
    EXPECT_EQ("Incorrect number of arguments for switch '--files'\nMinimum arguments allowed: 2",
              failure<CZAFIncorrectArgsNumException>({"--files", "a"}));
    // Bounds of 0 mean unbounded.
    m_context.parse(CWords{"--flag", "1", "2", "3", "4", "5", "--files", "a", "b", "c"});
    EXPECT_EQ(5u, m_context.getArgs("--flag")->size());
}

TEST_F(CmdLineTest, SecondParseForgetsTheFirst) {
    m_context.parse(CWords{"x", "--port", "80"});
    m_context.parse(CWords{"--flag"});
    EXPECT_FALSE(m_context.switchExists("--port"));
    EXPECT_TRUE(m_context.switchExists("--flag"));
    EXPECT_TRUE(m_context.getIndependentArgs().empty());
    EXPECT_EQ((CWords{"--flag"}), m_context.getArgs());
    // A failed parse does not make the next one fail.
    EXPECT_TRUE(expectThrow<CZAFDuplicateSwitchException>([&] {
        m_context.parse(CWords{"--flag", "--flag"});
    }));
    m_context.parse(CWords{"--flag"});
    EXPECT_TRUE(m_context.switchExists("--flag"));
}

TEST_F(CmdLineTest, ParsesAnArgumentVector) {
    const char* argv[] = {"--port", "1718", "--pair", "A b"};
    m_context.parse(4, argv);
    EXPECT_EQ((CWords{"1718"}), *m_context.getArgs("--port"));
    EXPECT_EQ((CWords{"A b"}), *m_context.getArgs("--pair"));
    m_context.parse(0, nullptr);
    EXPECT_TRUE(m_context.getArgs().empty());

    auto e = expectThrow<CZAFInternalError>([&] { m_context.parse(1, nullptr); });
    ASSERT_TRUE(e);
    EXPECT_EQ("cmdline", e->getFile());
    const char* withNull[] = {"--flag", nullptr};
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] { m_context.parse(2, withNull); }));
}

TEST_F(CmdLineTest, SubclassValidationRunsAfterTheBaseChecks) {
    CStrictContext strict;
    auto e = expectThrow<CZAFIndependentArgsException>([&] {
        strict.parse(CWords{"stray", "--port", "80"});
    });
    ASSERT_TRUE(e);
    EXPECT_EQ("Invalid syntax", e->getMessage());
    // The base count check comes first.
    EXPECT_TRUE(expectThrow<CZAFIncorrectArgsNumException>([&] {
        strict.parse(CWords{"stray", "--port"});
    }));
    strict.parse(CWords{"--port", "80"});
    EXPECT_TRUE(strict.switchExists("--port"));
}

TEST_F(CmdLineTest, DumpsSuppliedArgumentsAndParsedSwitches) {
    m_context.parse(CWords{"lone", "--Port", "80", "--flag", "--pair", "a", "B"});
    std::ostringstream out;
    out << m_context;
    EXPECT_EQ("Arguments supplied:\n"
              "-------------------\n"
              "\n"
              "lone\n--Port\n80\n--flag\n--pair\na\nB\n"
              "\n"
              "Parsed args:\n"
              "------------\n"
              "\n"
              "--flag -> \n"
              "--pair -> a B\n"
              "--port -> 80\n",
              out.str());
}
