// Tests of CZAFUtil: Base64, the string routines the configuration parser rests on, the checks,
// and the directory and environment helpers against the real system.
#include "expect_throw.h"

#include <oozaf/logger.h>
#include <oozaf/mem.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>

#include <climits>
#include <cstdlib>
#include <gtest/gtest.h>
#include <pwd.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using oozaf::CZAFCorruptBase64DataException;
using oozaf::CZAFInternalError;
using oozaf::CZAFUtil;

namespace {

using CWords = std::vector<std::string>;

// Every test must give back what it allocated through the tracking allocator (throwables).
class UtilTest : public ::testing::Test {
protected:
    void SetUp() override { m_blocks = oozaf::gObjMemoryManager().getBlockCount(); }
    void TearDown() override { EXPECT_EQ(m_blocks, oozaf::gObjMemoryManager().getBlockCount()); }

private:
    std::size_t m_blocks = 0;
};

std::string encode(const std::string& in) {
    std::string out = "stale";
    const unsigned int length = CZAFUtil::Base64Encode(in, out);
    EXPECT_EQ(out.size(), length);
    return out;
}

std::string decode(const std::string& in) {
    std::string out = "stale";
    const unsigned int length = CZAFUtil::Base64Decode(in, out);
    EXPECT_EQ(out.size(), length);
    return out;
}

// True when decoding `in` fails with the corrupt-data exception.
bool decodeIsCorrupt(const std::string& in) {
    auto e = expectThrow<CZAFCorruptBase64DataException>([&] {
        std::string out;
        CZAFUtil::Base64Decode(in, out);
    });
    if (e) {
        EXPECT_EQ("Corrupt Base64 data", e->getMessage());
    }
    return e != nullptr;
}

CWords split(const std::string& text, const std::string& delimiters, bool skipEmpty) {
    CWords out = {"stale"};
    CZAFUtil::delimParse(text, delimiters, skipEmpty, out);
    return out;
}

// Runs a string routine that works in place and returns the result.
template <class F> std::string inPlace(std::string text, F f) {
    f(text);
    return text;
}

// Sets or removes an environment variable for the scope, then restores it.
class CEnvScope {
public:
    CEnvScope(const char* name, const char* value) : m_name(name) {
        const char* old = std::getenv(name);
        m_hadOld = old != nullptr;
        if (m_hadOld)
            m_old = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~CEnvScope() {
        if (m_hadOld)
            setenv(m_name.c_str(), m_old.c_str(), 1);
        else
            unsetenv(m_name.c_str());
    }

private:
    std::string m_name;
    bool m_hadOld = false;
    std::string m_old;
};

// Installs a logger writing into a string stream at `level` for the scope.
class CLogCapture {
public:
    explicit CLogCapture(oozaf::CZAFLogger::eLogLevel level) {
        m_logger.setLog(m_stream);
        m_logger.setLogLevel(level);
        oozaf::gSetOOZAFLogger(&m_logger);
    }
    ~CLogCapture() { oozaf::gSetOOZAFLogger(nullptr); }
    std::string text() const { return m_stream.str(); }

private:
    std::ostringstream m_stream;
    oozaf::CZAFLogger m_logger;
};

} // namespace

TEST_F(UtilTest, Base64EncodesWithPadding) {
    EXPECT_EQ("YWJj", encode("abc"));
    EXPECT_EQ("YWI=", encode("ab"));
    EXPECT_EQ("YQ==", encode("a"));
    EXPECT_EQ("", encode(""));
    EXPECT_EQ("AP8A", encode(std::string("\x00\xff\x00", 3)));
    EXPECT_EQ("+/+/", encode("\xfb\xff\xbf"));
}

TEST_F(UtilTest, Base64DecodesPartialGroupsAndSkipsWhiteSpace) {
    EXPECT_EQ("abc", decode("YW Jj"));
    EXPECT_EQ("abc", decode("\tY\nW\r\nJ j  "));
    EXPECT_EQ("ab", decode("YWI"));
    EXPECT_EQ("ab", decode("YWI="));
    EXPECT_EQ("a", decode("YQ=="));
    EXPECT_EQ("a", decode("YQ"));
    EXPECT_EQ("", decode("Y"));
    EXPECT_EQ("", decode(""));
    EXPECT_EQ("", decode("   "));
}

TEST_F(UtilTest, Base64StopsAtTheEndOfTheData) {
    EXPECT_EQ("a", decode("YQ==YWJj"));
    EXPECT_EQ("ab", decode("YWI=YWJj"));
    EXPECT_EQ("abc", decode("YWJj=YWJj"));
    EXPECT_EQ("abc", decode("YWJj!garbage"));
    EXPECT_EQ("abc", decode("YWJj\x80"));
}

TEST_F(UtilTest, Base64RejectsCorruptGroups) {
    EXPECT_TRUE(decodeIsCorrupt("Y="));
    EXPECT_TRUE(decodeIsCorrupt("YWJjY="));
    EXPECT_TRUE(decodeIsCorrupt("YQ="));   // a single pad after two characters
    EXPECT_TRUE(decodeIsCorrupt("YQ= =")); // the second pad must follow directly
    EXPECT_TRUE(decodeIsCorrupt("YWJ!"));  // only "=" may end a group of three
    EXPECT_TRUE(decodeIsCorrupt("YW!!"));
    EXPECT_TRUE(decodeIsCorrupt("YWJj"
                                "Y\xff"));
}

TEST_F(UtilTest, Base64MorselReportsWhatItConsumed) {
    unsigned char out[3] = {};
    unsigned short count = 99;
    EXPECT_EQ(6u, CZAFUtil::DecodeBase64Morsel("  YWJjYWJj", 10, out, count));
    EXPECT_EQ(3, count);
    EXPECT_EQ('a', out[0]);
    EXPECT_EQ('c', out[2]);
    // The first "=" of a double pad is consumed, the second is left.
    EXPECT_EQ(3u, CZAFUtil::DecodeBase64Morsel("YQ==", 4, out, count));
    EXPECT_EQ(1, count);
    EXPECT_EQ(4u, CZAFUtil::DecodeBase64Morsel("YWI=", 4, out, count));
    EXPECT_EQ(2, count);
    EXPECT_EQ(0u, CZAFUtil::DecodeBase64Morsel("", 0, out, count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(1u, CZAFUtil::DecodeBase64Morsel("Y=", 2, out, count));
    EXPECT_EQ(5, count);
    // The length bounds the read even when the text goes on.
    EXPECT_EQ(2u, CZAFUtil::DecodeBase64Morsel("YWJj", 2, out, count));
    EXPECT_EQ(1, count);
}

TEST_F(UtilTest, Base64RoundTripsEveryByteValueAtEveryPadding) {
    std::string all;
    for (int i = 0; i < 256; ++i)
        all += static_cast<char>(i);
    for (std::size_t length = 0; length <= all.size(); ++length) {
        const std::string input = all.substr(all.size() - length) + all.substr(0, length % 7);
        const std::string encoded = encode(input);
        ASSERT_EQ(0u, encoded.size() % 4);
        ASSERT_EQ(input, decode(encoded)) << "length " << input.size();
    }
}

TEST_F(UtilTest, ConvertsOnlyCarriageReturnLineFeedPairs) {
    std::string out = "stale";
    CZAFUtil::memcpy0x0aEndings(out, "a\r\nb\rc\r");
    EXPECT_EQ("a\nb\rc\r", out);
    CZAFUtil::memcpy0x0aEndings(out, "\r\r\n\n");
    EXPECT_EQ("\r\n\n", out);
    CZAFUtil::memcpy0x0aEndings(out, "");
    EXPECT_EQ("", out);
}

TEST_F(UtilTest, RemovesCharacters) {
    EXPECT_EQ("abc", CZAFUtil::removeCharsFromString("-a_b-c_", "-_"));
    EXPECT_EQ("abc", CZAFUtil::removeCharsFromString("abc", ""));
    EXPECT_EQ("ZAFMime", CZAFUtil::removeCharFromString("ZAF-Mi-me", '-'));
    EXPECT_EQ("ab\nc", inPlace(" a \tb\nc\t", CZAFUtil::removeWhitespaces));
    EXPECT_EQ("a=\"b c\"", inPlace("a = \"b c\"\t\n", CZAFUtil::removeUnquotedWS));
    EXPECT_EQ("\"x y\"\"z w\"v", inPlace("\"x y\" \"z w\" v", CZAFUtil::removeUnquotedWS));
    // An unterminated quote protects the rest of the text.
    EXPECT_EQ("a\"b c ", inPlace("a \"b c ", CZAFUtil::removeUnquotedWS));
}

TEST_F(UtilTest, QuotesAndUnquotes) {
    EXPECT_EQ("\"a b\"", inPlace("a b", CZAFUtil::quote));
    EXPECT_EQ("\"\"", inPlace("", CZAFUtil::quote));
    EXPECT_EQ("a b", inPlace("\"a b\"", CZAFUtil::unquote));
    EXPECT_EQ("", inPlace("\"\"", CZAFUtil::unquote));
    EXPECT_EQ("\"", inPlace("\"", CZAFUtil::unquote));
    EXPECT_EQ("\"a", inPlace("\"a", CZAFUtil::unquote));
    EXPECT_EQ("a\"", inPlace("a\"", CZAFUtil::unquote));
    EXPECT_EQ("\"a\"", inPlace("\"\"a\"\"", CZAFUtil::unquote));
}

TEST_F(UtilTest, CropsCommentsOutsideQuotesOnly) {
    const auto crop = [](std::string text) {
        CZAFUtil::cropUnquotedComment(text, '#');
        return text;
    };
    EXPECT_EQ("Name=\"a#b\" ", crop("Name=\"a#b\" # note"));
    EXPECT_EQ("", crop("# whole line"));
    EXPECT_EQ("a=b", crop("a=b"));
    EXPECT_EQ("x=\"a#b", crop("x=\"a#b"));
    EXPECT_EQ("x=\"\"", crop("x=\"\"#\"#\""));
}

TEST_F(UtilTest, TrimsOnlyBlanksAndTabs) {
    EXPECT_EQ("", inPlace("   ", CZAFUtil::trimString));
    EXPECT_EQ("", inPlace("", CZAFUtil::trimString));
    EXPECT_EQ("a \t b", inPlace(" \ta \t b\t ", CZAFUtil::trimString));
    EXPECT_EQ("\na\n", inPlace("\na\n", CZAFUtil::trimString));
}

TEST_F(UtilTest, WipeZeroesTheStorageBeforeEmptying) {
    std::string secret(64, 'S'); // beyond any small-string buffer
    const char* storage = secret.data();
    const std::size_t length = secret.size();
    CZAFUtil::wipe(secret);
    EXPECT_TRUE(secret.empty());
    ASSERT_EQ(storage, secret.data()); // clear() keeps the buffer, so it can be inspected
    for (std::size_t i = 0; i < length; ++i)
        ASSERT_EQ('\0', storage[i]) << "at " << i;
    std::string empty;
    CZAFUtil::wipe(empty);
    EXPECT_TRUE(empty.empty());
}

TEST_F(UtilTest, ComparesIgnoringCase) {
    EXPECT_EQ("mixed 1-case", CZAFUtil::toLower("MiXeD 1-CaSe"));
    EXPECT_EQ("MIXED 1-CASE", CZAFUtil::toUpper("MiXeD 1-CaSe"));
    EXPECT_TRUE(CZAFUtil::compareIgnoreCase("ZAF-Mime", "zaf-MIME"));
    EXPECT_FALSE(CZAFUtil::compareIgnoreCase("zaf", "zaf "));
    EXPECT_TRUE(CZAFUtil::beginsWithIgnoreCase("--Port", "--"));
    EXPECT_TRUE(CZAFUtil::beginsWithIgnoreCase("AliasX", "alias"));
    EXPECT_TRUE(CZAFUtil::beginsWithIgnoreCase("abc", ""));
    EXPECT_TRUE(CZAFUtil::beginsWithIgnoreCase("abc", "ABC"));
    EXPECT_FALSE(CZAFUtil::beginsWithIgnoreCase("ab", "abc"));
    EXPECT_FALSE(CZAFUtil::beginsWithIgnoreCase("-p", "--"));
}

TEST_F(UtilTest, SplitsAtUnquotedDelimiters) {
    EXPECT_EQ((CWords{"a", "", "b"}), split("a,,b", ",", false));
    EXPECT_EQ((CWords{"a", "b"}), split("a,,b", ",", true));
    EXPECT_EQ((CWords{"x,y", "z"}), split("\"x,y\",z", ",", false));
    EXPECT_EQ((CWords{"", "a"}), split(",a", ",", false));
    EXPECT_EQ((CWords{"a"}), split("a,", ",", false));
    EXPECT_EQ((CWords{}), split("", ",", false));
    EXPECT_EQ((CWords{"Alias", "-k", "a b"}), split("Alias \t -k  \"a b\"", " \t", true));
    // Quotes are dropped wherever they stand; an explicitly quoted empty value is a token.
    EXPECT_EQ((CWords{"ab c", ""}), split("a\"b c\",\"\"", ",", true));
    EXPECT_EQ((CWords{"1", "2", "", "4", "5", "6"}), split("1\t2\t\t4\t5\t6", "\t", false));
}

TEST_F(UtilTest, RefusesAQuoteAmongTheDelimiters) {
    auto e = expectThrow<CZAFInternalError>([] { split("a\"b", ",\"", false); });
    ASSERT_TRUE(e);
    EXPECT_EQ("util", e->getFile());
}

TEST_F(UtilTest, CountsWords) {
    EXPECT_EQ(3u, CZAFUtil::wordCount("  a  b\tc  "));
    EXPECT_EQ(0u, CZAFUtil::wordCount(" \t "));
    EXPECT_EQ(2u, CZAFUtil::wordCount("\"a b\" c"));
}

TEST_F(UtilTest, RecognisesIntegersTheWayTheStandardConversionReadsThem) {
    EXPECT_TRUE(CZAFUtil::isInteger("0"));
    EXPECT_TRUE(CZAFUtil::isInteger("1718"));
    EXPECT_TRUE(CZAFUtil::isInteger("-5"));
    EXPECT_TRUE(CZAFUtil::isInteger(" 7"));
    EXPECT_TRUE(CZAFUtil::isInteger("12abc"));
    EXPECT_TRUE(CZAFUtil::isInteger("007"));
    EXPECT_FALSE(CZAFUtil::isInteger("00"));
    EXPECT_FALSE(CZAFUtil::isInteger("-0"));
    EXPECT_FALSE(CZAFUtil::isInteger(""));
    EXPECT_FALSE(CZAFUtil::isInteger("abc"));
    EXPECT_FALSE(CZAFUtil::isInteger("- 5"));
    // Too large for an int; an unchecked conversion could yield 0 here.
    EXPECT_TRUE(CZAFUtil::isInteger("4294967296"));
}

TEST_F(UtilTest, ChecksHexadecimalTextAndKeyIDs) {
    EXPECT_TRUE(CZAFUtil::isHexadecimal(""));
    EXPECT_TRUE(CZAFUtil::isHexadecimal("0123456789abcdefABCDEF"));
    EXPECT_FALSE(CZAFUtil::isHexadecimal("12g4"));
    EXPECT_FALSE(CZAFUtil::isHexadecimal("0x12"));

    EXPECT_TRUE(CZAFUtil::checkValidKeyID("0x1234ABCD"));
    EXPECT_TRUE(CZAFUtil::checkValidKeyID("0X1234abcd"));
    EXPECT_TRUE(CZAFUtil::checkValidKeyID("1234ABCD"));
    EXPECT_TRUE(CZAFUtil::checkValidKeyID("0123456789abcdef"));
    EXPECT_TRUE(CZAFUtil::checkValidKeyID("0x0123456789ABCDEF"));
    EXPECT_FALSE(CZAFUtil::checkValidKeyID("0x1234ABC"));
    EXPECT_FALSE(CZAFUtil::checkValidKeyID("0x1234ABCG"));
    EXPECT_FALSE(CZAFUtil::checkValidKeyID("1234ABC"));
    EXPECT_FALSE(CZAFUtil::checkValidKeyID("1234567890")); // ten digits, no prefix
    EXPECT_FALSE(CZAFUtil::checkValidKeyID("0y1234ABCD"));
    EXPECT_FALSE(CZAFUtil::checkValidKeyID("0x0x1234ABCD"));
    EXPECT_FALSE(CZAFUtil::checkValidKeyID(""));
}

TEST_F(UtilTest, NamesUnknownBuildStages) {
    EXPECT_EQ("Unknown", CZAFUtil::buildStageString(4));
    EXPECT_EQ("Unknown", CZAFUtil::buildStageString(-1));
}

TEST_F(UtilTest, TempDirectoryPrefersTmpThenTmpdir) {
    {
        CEnvScope tmp("TMP", "/t1");
        CEnvScope tmpdir("TMPDIR", "/t2");
        EXPECT_EQ("/t1", CZAFUtil::getTempDirectory());
    }
    {
        CEnvScope tmp("TMP", nullptr);
        CEnvScope tmpdir("TMPDIR", "/t2");
        EXPECT_EQ("/t2", CZAFUtil::getTempDirectory());
    }
    CEnvScope tmp("TMP", nullptr);
    CEnvScope tmpdir("TMPDIR", nullptr);
    EXPECT_EQ("/tmp", CZAFUtil::getTempDirectory());
}

TEST_F(UtilTest, RunDirectoryComesFromTheEnvironmentOrTheBuildTree) {
    {
        CEnvScope dir("ORXDIR", "relative/dir/");
        EXPECT_EQ("relative/dir/", CZAFUtil::getRunDirectory());
    }
    // This test runs from the build tree: the build folder, which holds the template, is the
    // installation directory, ahead of an installed package's. (Installed programs, outside any
    // build tree, use the package's folder: the package test runs them without ORXDIR; a
    // program with neither gets an error naming ORXDIR: the orxcmd tests.)
    CEnvScope dir("ORXDIR", nullptr);
    EXPECT_EQ(ORX_BINARY_DIR, CZAFUtil::getBuildTreeDirectory());
    EXPECT_EQ(ORX_BINARY_DIR, CZAFUtil::getRunDirectory());
}

TEST_F(UtilTest, WorkingDirectoryFallsBackToDotWhenItIsGone) {
    char original[PATH_MAX];
    ASSERT_NE(nullptr, getcwd(original, sizeof(original)));
    std::string base = CZAFUtil::getTempDirectory() + "/orx-util-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(&base[0]));
    ASSERT_EQ(0, chdir(base.c_str()));
    char resolved[PATH_MAX];
    ASSERT_NE(nullptr, realpath(base.c_str(), resolved));
    EXPECT_EQ(resolved, CZAFUtil::getWorkingDirectory());

    ASSERT_EQ(0, rmdir(base.c_str()));
    {
        CLogCapture log(oozaf::CZAFLogger::eLogWarning);
        EXPECT_EQ(".", CZAFUtil::getWorkingDirectory());
        EXPECT_NE(std::string::npos,
                  log.text().find("WARNING: Unable to determine the current directory\nError "
                                  "message: "));
        EXPECT_NE(std::string::npos, log.text().find("\nDefaulting to '.'\n"));
    }
    ASSERT_EQ(0, chdir(original));
}

TEST_F(UtilTest, FindsTheEffectiveUserInThePasswordDatabase) {
    const passwd* pw = getpwuid(geteuid());
    ASSERT_NE(nullptr, pw) << "the test user has no password entry";
    const std::string home = pw->pw_dir;
    const std::string name = pw->pw_name;

    CLogCapture log(oozaf::CZAFLogger::eLogDebug);
    std::string out;
    ASSERT_TRUE(CZAFUtil::getPersonalDirectory(out));
    EXPECT_EQ(home, out);
    EXPECT_NE(std::string::npos, log.text().find("Personal directory FOUND: " + home + "\n"));
    ASSERT_TRUE(CZAFUtil::getCurrentUserName(out));
    EXPECT_EQ(name, out);
}

TEST_F(UtilTest, ReadsAndSetsEnvironmentVariables) {
    std::string value = "untouched";
    {
        CEnvScope unset("ORX_UTIL_TEST_UNSET", nullptr);
        EXPECT_FALSE(CZAFUtil::getEnvironmentVariable("ORX_UTIL_TEST_UNSET", value));
        EXPECT_EQ("untouched", value);
    }
    CEnvScope empty("ORX_UTIL_TEST_EMPTY", "");
    EXPECT_TRUE(CZAFUtil::getEnvironmentVariable("ORX_UTIL_TEST_EMPTY", value));
    EXPECT_EQ("", value);

    CZAFUtil::setEnvironmentVariable("ORX_UTIL_TEST_SET", "a=b c");
    ASSERT_NE(nullptr, std::getenv("ORX_UTIL_TEST_SET"));
    EXPECT_STREQ("a=b c", std::getenv("ORX_UTIL_TEST_SET"));
    EXPECT_TRUE(
        expectThrow<CZAFInternalError>([] { CZAFUtil::setEnvironmentVariable("BAD=NAME", "x"); }));
    EXPECT_TRUE(expectThrow<CZAFInternalError>([] { CZAFUtil::setEnvironmentVariable("", "x"); }));
    EXPECT_EQ(nullptr, std::getenv("BAD"));
}

TEST_F(UtilTest, LocalTimeStringIsHoursMinutesSeconds) {
    const std::string stamp = CZAFUtil::localTimeString();
    EXPECT_TRUE(std::regex_match(stamp, std::regex("([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]")))
        << stamp;
}
