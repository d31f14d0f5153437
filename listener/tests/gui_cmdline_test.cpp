// Tests of the listener's command-line rules.
#include "expect_throw.h"

#include <vorngui/guicmdline.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace oozaf;
using vorngui::CGUICommandLineContext;

namespace {

void parse(CGUICommandLineContext& context, const std::vector<std::string>& words) {
    std::vector<const char*> argv;
    for (const std::string& word : words)
        argv.push_back(word.c_str());
    context.parse(static_cast<unsigned int>(argv.size()), argv.data());
}

template <class E> void expectRefused(const std::vector<std::string>& words) {
    CGUICommandLineContext context;
    auto e = expectThrow<E>([&] { parse(context, words); });
    EXPECT_TRUE(e) << "for " << ::testing::PrintToString(words);
}

} // namespace

TEST(GuiCommandLine, PortMustLieBetween1024And65535InPlainDigits) {
    for (const char* port : {"1024", "1718", "65535"}) {
        CGUICommandLineContext context;
        parse(context, {"--port", port});
        unsigned short value = 0;
        ASSERT_TRUE(context.getPort(value));
        EXPECT_EQ(std::stoul(port), value);
    }
    for (const char* port : {"1023", "65536", "0", "-2000", "2000a", "20a00", "+2000", "", " 2000",
                             "99999999999999999999"})
        expectRefused<CZAFInvalidArgumentException>({"--port", port});
}

TEST(GuiCommandLine, MaintenanceIntervalAndLoginTimeoutArePositive) {
    expectRefused<CZAFInvalidArgumentException>({"--cthread-int", "0"});
    expectRefused<CZAFInvalidArgumentException>({"--login-timeout", "0"});
    expectRefused<CZAFInvalidArgumentException>({"--cthread-int", "12x"});
    CGUICommandLineContext context;
    parse(context, {"--cthread-int", "1", "--login-timeout", "4294967294"});
    unsigned int interval = 0;
    unsigned int timeout = 0;
    ASSERT_TRUE(context.getClientsThreadInt(interval));
    ASSERT_TRUE(context.getLoginTimeout(timeout));
    EXPECT_EQ(1u, interval);
    EXPECT_EQ(4294967294u, timeout);
}

TEST(GuiCommandLine, LevelWordsIgnoreCase) {
    CGUICommandLineContext context;
    parse(context, {"--INFO", "DEBUG"});
    CZAFLogger::eLogLevel level = CZAFLogger::eLogNone;
    ASSERT_TRUE(context.getInfo(level));
    EXPECT_EQ(CZAFLogger::eLogDebug, level);
    expectRefused<CZAFInvalidArgumentException>({"--info", "loud"});
}

TEST(GuiCommandLine, FlagsTakeNoArgumentsAndWordsBeforeSwitchesAreRefused) {
    expectRefused<CZAFInvalidArgumentException>({"--version", "now"});
    expectRefused<CZAFInvalidArgumentException>({"--non-secure", "yes"});
    expectRefused<CZAFIndependentArgsException>({"start", "--port", "2000"});
    expectRefused<CZAFDuplicateSwitchException>({"--port", "2000", "--port", "2001"});
    expectRefused<CZAFInvalidCommandLineSwitchException>({"--daemon"});
    expectRefused<CZAFIncorrectArgsNumException>({"--log-file"});
}

TEST(GuiCommandLine, NothingGivenMeansDefaults) {
    CGUICommandLineContext context;
    parse(context, {});
    unsigned short port = CGUICommandLineContext::kDefaultPort;
    EXPECT_FALSE(context.getPort(port));
    EXPECT_EQ(1718, port);
    EXPECT_FALSE(context.getNonsecure());
    EXPECT_FALSE(context.getLocal());
    CZAFLogger::eLogLevel level = CZAFLogger::eLogWarning;
    EXPECT_FALSE(context.getInfo(level));
    unsigned int interval = CGUICommandLineContext::kDefaultClientsThreadInterval;
    EXPECT_FALSE(context.getClientsThreadInt(interval));
    EXPECT_EQ(3600000u, interval);
}

TEST(GuiCommandLine, HelpListsEverySwitchTheOriginalFiveFirst) {
    const std::string help = CGUICommandLineContext::syntax();
    EXPECT_EQ(0u, help.find("--version             Display version information\n"
                            "--port <number>       Set the listening TCP/IP port (default is "
                            "1718)\n"
                            "--log-file <filename> Set the output log's file name\n"
                            "--info <level>        Set the logging level (error, warning, "
                            "verbose, debug)\n"
                            "--help                Display this help screen\n"));
    CGUICommandLineContext context;
    size_t listed = 0;
    for (size_t at = help.find("\n--"); at != std::string::npos; at = help.find("\n--", at + 1)) {
        const std::string sw = help.substr(at + 1, help.find(' ', at) - at - 1);
        EXPECT_TRUE(context.switchIsValid(sw)) << sw;
        ++listed;
    }
    EXPECT_EQ(14u, listed + 1); // the first line has no line break before it
    EXPECT_EQ("Brevan Vorn Server v8.5.0\nGUI Client Listener\n", vorngui::gGetOutputHeader());
}

TEST(GuiCommandLine, IdleTimeoutCountsSecondsAndStillReadsTheOldUnit) {
    struct SCase {
        const char* text;
        bool valid;
        unsigned int milliseconds;
        bool oldUnit;
    };
    const SCase cases[] = {{"1800", true, 1800000, false},   {"0", true, 0, false},
                           {"86400", true, 86400000, false}, {"90s", true, 90000, false},
                           {"4000ms", true, 4000, false},    {"1800000", true, 1800000, true},
                           {"86401", true, 86401, true},     {"86401s", false, 0, false},
                           {"s", false, 0, false},           {"ms", false, 0, false},
                           {"-5", false, 0, false},          {"5m", false, 0, false},
                           {"4294967295", false, 0, false}};
    for (const SCase& c : cases) {
        unsigned int milliseconds = 0;
        bool oldUnit = false;
        EXPECT_EQ(c.valid, CGUICommandLineContext::parseIdleTimeout(c.text, milliseconds, oldUnit))
            << c.text;
        if (!c.valid)
            continue;
        EXPECT_EQ(c.milliseconds, milliseconds) << c.text;
        EXPECT_EQ(c.oldUnit, oldUnit) << c.text;
    }
}
