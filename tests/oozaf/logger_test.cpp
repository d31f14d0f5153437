// Tests of the logger's line format, levels and thread safety.
// ctest-labels: threaded
#include "expect_throw.h"

#include <oozaf/logger.h>
#include <oozaf/throwable.h>

#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

using namespace oozaf;

namespace {

class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override { gSetOOZAFLogger(&m_logger); }
    void TearDown() override { gSetOOZAFLogger(nullptr); }

    CZAFLogger m_logger;
    std::ostringstream m_out;
};

} // namespace

TEST_F(LoggerTest, LinesCarryTimeStampAndRespectTheLevel) {
    m_logger.setLog(m_out);
    m_logger.setLogLevel(CZAFLogger::eLogWarning);
    ZAF_LOG_ERROR("first " << 1);
    ZAF_LOG_WARNING("WARNING: second");
    ZAF_LOG_VERBOSE("hidden");
    ZAF_LOG_DEBUG("hidden too");
    std::regex line(R"(\[\d\d:\d\d:\d\d\] first 1\n\[\d\d:\d\d:\d\d\] WARNING: second\n)");
    EXPECT_TRUE(std::regex_match(m_out.str(), line)) << m_out.str();
}

TEST_F(LoggerTest, ADaemonsLogCarriesTheDateAndOneLinePerMessage) {
    m_logger.setLog(m_out);
    m_logger.setLogLevel(CZAFLogger::eLogWarning);
    m_logger.setDateInTimeStamp(true);
    m_logger.setOneLinePerMessage(true);
    ZAF_LOG_ERROR("head:\nCaused by: a\r\nCaused by: b\n\n");
    ZAF_LOG_WARNING("plain");
    std::regex line(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] head: \| Caused by: a \| )"
                    R"(Caused by: b\n\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] plain\n)");
    EXPECT_TRUE(std::regex_match(m_out.str(), line)) << m_out.str();
}

TEST_F(LoggerTest, LevelZeroSuppressesErrorsToo) {
    m_logger.setLog(m_out);
    m_logger.setLogLevel(CZAFLogger::eLogNone);
    ZAF_LOG_ERROR("nothing");
    gLog(CZAFLogger::eLogError, "nothing either");
    EXPECT_TRUE(m_out.str().empty());
}

TEST_F(LoggerTest, MissingStreamIsAnAssertion) {
    m_logger.setLogLevel(CZAFLogger::eLogError);
    auto e = expectThrow<CZAFInternalError>([] { ZAF_LOG_ERROR("x"); });
    ASSERT_TRUE(e);
    EXPECT_EQ("include/oozaf/logger", e->getFile());
}

TEST(Logger, NoLoggerInstalledLogsNothing) {
    gSetOOZAFLogger(nullptr);
    ZAF_LOG_ERROR("into the void");
    SUCCEED();
}

TEST_F(LoggerTest, ConcurrentLinesNeverInterleave) {
    m_logger.setLog(m_out);
    m_logger.setLogLevel(CZAFLogger::eLogDebug);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                ZAF_LOG_DEBUG("thread " << t << " line " << i << " end");
        });
    for (auto& thread : threads)
        thread.join();
    std::istringstream in(m_out.str());
    std::regex line(R"(\[\d\d:\d\d:\d\d\] thread \d line \d+ end)");
    std::string text;
    int count = 0;
    while (std::getline(in, text)) {
        EXPECT_TRUE(std::regex_match(text, line)) << text;
        ++count;
    }
    EXPECT_EQ(800, count);
}
