// Tests of CZAFTime: parsing with its exact failure texts, formatting, clock values, arithmetic.
#include "expect_throw.h"

#include <oozaf/mem.h>
#include <oozaf/throwable.h>
#include <oozaf/time.h>

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <string>

namespace oozaf {
// Lets failing expectations show times readably.
void PrintTo(const CZAFTime& time, std::ostream* out) {
    *out << time.getZAFTime() << "s+" << time.getMilliseconds() << "ms";
}
} // namespace oozaf

using oozaf::CZAFInternalError;
using oozaf::CZAFTime;
using oozaf::CZAFTimeParseException;

namespace {

// Every test must give back what it allocated through the tracking allocator (throwables).
class TimeTest : public ::testing::Test {
protected:
    void SetUp() override { m_blocks = oozaf::gObjMemoryManager().getBlockCount(); }
    void TearDown() override { EXPECT_EQ(m_blocks, oozaf::gObjMemoryManager().getBlockCount()); }

private:
    std::size_t m_blocks = 0;
};

enum eParser { eYMD, eYMDHMS, eYMDHMSMs };

CZAFTime parse(eParser parser, const std::string& text) {
    switch (parser) {
    case eYMD:
        return CZAFTime::createFromYMD(text);
    case eYMDHMS:
        return CZAFTime::createFromYMDHMS(text);
    default:
        return CZAFTime::createFromYMDHMSMs(text);
    }
}

// The detail of the parse failure for `text`, or "" (with a test failure) when none is thrown.
std::string parseFailure(eParser parser, const std::string& text) {
    auto e = expectThrow<CZAFTimeParseException>([&] { parse(parser, text); });
    return e ? e->getDetail() : std::string();
}

// Sets TZ for the lifetime of the scope, restoring the previous value afterwards.
class CTimeZoneScope {
public:
    explicit CTimeZoneScope(const char* zone) {
        const char* old = std::getenv("TZ");
        m_hadOld = old != nullptr;
        if (m_hadOld)
            m_old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~CTimeZoneScope() {
        if (m_hadOld)
            setenv("TZ", m_old.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    bool m_hadOld = false;
    std::string m_old;
};

} // namespace

TEST_F(TimeTest, ParsesDatesAsTheStartOfTheDayInUTC) {
    const CZAFTime leap = CZAFTime::createFromYMD("2004-02-29");
    EXPECT_EQ(1078012800u, leap.getZAFTime());
    EXPECT_EQ(0, leap.getMilliseconds());
    unsigned short y = 1, m = 1, d = 1;
    leap.getYMD(y, m, d);
    EXPECT_EQ(2004, y);
    EXPECT_EQ(2, m);
    EXPECT_EQ(29, d);

    EXPECT_EQ(0u, CZAFTime::createFromYMD("1970-01-01").getZAFTime());
    EXPECT_TRUE(CZAFTime::createFromYMD("1970-01-01").isNever());
    // 2000 is a leap year (divisible by 400), 2100 is not (divisible by 100).
    EXPECT_EQ("2000-02-29", CZAFTime::createFromYMD("2000-02-29").formatYMD(false));
    EXPECT_EQ("Day out of range", parseFailure(eYMD, "2100-02-29"));
    // Like the C scanner, text after the last field is ignored and fields may carry blanks.
    EXPECT_EQ(leap, CZAFTime::createFromYMD("2004-02-29 and more"));
    EXPECT_EQ(leap, CZAFTime::createFromYMD(" 2004-02-29"));
}

TEST_F(TimeTest, RejectsImpossibleDatesWithTheirMessages) {
    EXPECT_EQ("Day out of range", parseFailure(eYMD, "2003-02-29"));
    EXPECT_EQ("Day out of range", parseFailure(eYMD, "2004-04-31"));
    EXPECT_EQ("Day out of range", parseFailure(eYMD, "2004-01-00"));
    EXPECT_EQ("Month out of range", parseFailure(eYMD, "2004-13-01"));
    EXPECT_EQ("Month out of range", parseFailure(eYMD, "2004-00-10"));
    EXPECT_EQ("Year out of range", parseFailure(eYMD, "1969-12-31"));
    EXPECT_EQ("Bad date format", parseFailure(eYMD, "2004/01/01"));
    EXPECT_EQ("Bad date format", parseFailure(eYMD, "2004-01"));
    EXPECT_EQ("Bad date format", parseFailure(eYMD, ""));
    EXPECT_EQ("Bad date format", parseFailure(eYMD, "2004 -01-01"));
    // The year is checked before the month, the month before the day.
    EXPECT_EQ("Year out of range", parseFailure(eYMD, "1969-13-32"));
    EXPECT_EQ("Month out of range", parseFailure(eYMD, "2004-13-32"));
}

TEST_F(TimeTest, ParseFailureNamesTheInputAndTheFault) {
    auto e = expectThrow<CZAFTimeParseException>([] { CZAFTime::createFromYMD("2004-02-30"); });
    ASSERT_TRUE(e);
    EXPECT_EQ("An error occured while trying to parse the string '2004-02-30' as a date/time "
              "string: Day out of range",
              e->getMessage());
    EXPECT_EQ(oozaf::eReasonNone, e->getReason());
    EXPECT_EQ(e->getMessage() + "\n", e->getDetailedMessage());
}

TEST_F(TimeTest, HugeOrNegativeFieldsNeverWrapIntoValidDates) {
    // Read as 32-bit unsigned numbers these would wrap to 1215752191 and to 1.
    EXPECT_EQ("Year out of range", parseFailure(eYMD, "99999999999-01-01"));
    EXPECT_EQ("Month out of range", parseFailure(eYMD, "2004-4294967297-01"));
    EXPECT_EQ("Day out of range", parseFailure(eYMD, "2004-01-4294967297"));
    EXPECT_EQ("Year out of range", parseFailure(eYMD, "-1-01-01"));
    EXPECT_EQ("Month out of range", parseFailure(eYMD, "2004--1-01"));
    EXPECT_EQ("Hour out of range", parseFailure(eYMDHMSMs, "2004-01-05 4294967296:00:00.0"));
    EXPECT_EQ("Seconds out of range", parseFailure(eYMDHMSMs, "2004-01-05 10:00:-1.0"));
    EXPECT_EQ("Year out of range",
              parseFailure(eYMD, "2004000000000000000000000000000000000000000000-01-01"));
    // Signs are read as the C scanner reads them; minus zero is zero.
    EXPECT_EQ(CZAFTime::createFromYMD("2004-01-05"), CZAFTime::createFromYMD("2004-01-+5"));
    EXPECT_EQ(CZAFTime::createFromYMDHMS("2004-01-05 10:20:00"),
              CZAFTime::createFromYMDHMS("2004-01-05 10:20:-0"));
}

TEST_F(TimeTest, DatesBeyondTheToolkitRangeAreRejectedNotClamped) {
    const CZAFTime last = CZAFTime::createFromYMDHMS("2106-02-07 06:28:15");
    EXPECT_EQ(0xFFFFFFFFu, last.getZAFTime());
    EXPECT_EQ("2106-02-07", CZAFTime::createFromYMD("2106-02-07").formatYMD(false));
    EXPECT_EQ("Year out of range", parseFailure(eYMDHMS, "2106-02-07 06:28:16"));
    EXPECT_EQ("Year out of range", parseFailure(eYMD, "2106-02-08"));
    EXPECT_EQ("Year out of range", parseFailure(eYMD, "2107-01-01"));
    EXPECT_EQ("Year out of range", parseFailure(eYMD, "65536-01-01"));
}

TEST_F(TimeTest, ParsesTimesAndChecksTheirFieldsInOrder) {
    const CZAFTime t = CZAFTime::createFromYMDHMSMs("2004-01-05 10:20:30.250");
    EXPECT_EQ(1073298030u, t.getZAFTime());
    EXPECT_EQ(250, t.getMilliseconds());
    unsigned short h = 99, m = 99, s = 99;
    t.getHMS(h, m, s);
    EXPECT_EQ(10, h);
    EXPECT_EQ(20, m);
    EXPECT_EQ(30, s);

    EXPECT_EQ("Hour out of range", parseFailure(eYMDHMSMs, "2004-01-05 24:00:00.000"));
    EXPECT_EQ("Minutes out of range", parseFailure(eYMDHMSMs, "2004-01-05 23:60:00.000"));
    EXPECT_EQ("Seconds out of range", parseFailure(eYMDHMSMs, "2004-01-05 23:59:60.000"));
    EXPECT_EQ("Hour out of range", parseFailure(eYMDHMSMs, "2004-01-05 24:60:60.000"));
    EXPECT_EQ("Minutes out of range", parseFailure(eYMDHMSMs, "2004-01-05 23:60:60.000"));
    // The date is validated before the time of day.
    EXPECT_EQ("Day out of range", parseFailure(eYMDHMSMs, "2004-02-30 24:00:00.000"));
    EXPECT_EQ("Bad date/time format", parseFailure(eYMDHMSMs, "2004-01-05T10:20:30.000"));
    EXPECT_EQ("Bad date/time format", parseFailure(eYMDHMSMs, "2004-01-05"));
    EXPECT_EQ("Bad date/time format", parseFailure(eYMDHMS, "2004-01-05 10:20"));
}

TEST_F(TimeTest, SecondsFormIsTheMillisecondsFormWithoutMilliseconds) {
    EXPECT_EQ("Bad date/time format", parseFailure(eYMDHMSMs, "2004-01-05 10:20:30"));
    const CZAFTime t = CZAFTime::createFromYMDHMS("2004-01-05 10:20:30");
    EXPECT_EQ(CZAFTime::createFromYMDHMSMs("2004-01-05 10:20:30.000"), t);
    EXPECT_EQ(0, t.getMilliseconds());
    // The date/time text may separate date and time with any white space.
    EXPECT_EQ(t, CZAFTime::createFromYMDHMS("2004-01-05\t10:20:30"));
    // A text that already carries milliseconds keeps them.
    EXPECT_EQ(7, CZAFTime::createFromYMDHMS("2004-01-05 10:20:30.7").getMilliseconds());
    // A failure names the text as the caller gave it, without the completing milliseconds.
    auto e = expectThrow<CZAFTimeParseException>(
        [] { CZAFTime::createFromYMDHMS("2004-01-05 25:00:00"); });
    ASSERT_TRUE(e);
    EXPECT_EQ("An error occured while trying to parse the string '2004-01-05 25:00:00' as a "
              "date/time string: Hour out of range",
              e->getMessage());
}

TEST_F(TimeTest, MillisecondsAreKeptAsWrittenWithinTheirField) {
    EXPECT_EQ(7, CZAFTime::createFromYMDHMSMs("2004-01-05 10:20:30.7").getMilliseconds());
    EXPECT_EQ(7, CZAFTime::createFromYMDHMSMs("2004-01-05 10:20:30.007").getMilliseconds());
    EXPECT_EQ(1500, CZAFTime::createFromYMDHMSMs("2004-01-05 10:20:30.1500").getMilliseconds());
    EXPECT_EQ(65535, CZAFTime::createFromYMDHMSMs("2004-01-05 10:20:30.65535").getMilliseconds());
    // A value the field cannot hold would otherwise wrap (65536 becoming 0).
    EXPECT_EQ("Bad date/time format", parseFailure(eYMDHMSMs, "2004-01-05 10:20:30.65536"));
    EXPECT_EQ("Bad date/time format", parseFailure(eYMDHMSMs, "2004-01-05 10:20:30.-1"));
}

TEST_F(TimeTest, FormatsAndParsesBackToTheSameValue) {
    const CZAFTime t(CZAFTime::createFromYMDHMS("2004-01-05 10:20:30").getZAFTime(), 7);
    EXPECT_EQ("2004-01-05", t.formatYMD(false));
    EXPECT_EQ("10:20:30", t.formatHMS(false));
    EXPECT_EQ("2004-01-05 10:20:30", t.formatYMDHMS(false));
    EXPECT_EQ("2004-01-05 10:20:30.7", t.formatYMDHMSMs(false));
    EXPECT_EQ(t, CZAFTime::createFromYMDHMSMs(t.formatYMDHMSMs(false)));

    const CZAFTime quarter(t.getZAFTime(), 250);
    EXPECT_EQ("2004-01-05 10:20:30.250", quarter.formatYMDHMSMs(false));
    EXPECT_EQ(quarter, CZAFTime::createFromYMDHMSMs(quarter.formatYMDHMSMs(false)));

    EXPECT_EQ("1970-01-01 00:00:00.0", CZAFTime().formatYMDHMSMs(false));
    EXPECT_EQ("2106-02-07 06:28:15", CZAFTime(0xFFFFFFFFu, 0).formatYMDHMS(false));
}

TEST_F(TimeTest, LocalFormattingUsesTheLocalZone) {
    CTimeZoneScope zone("UTC-2"); // two hours east of UTC
    const CZAFTime evening = CZAFTime::createFromYMDHMS("2004-12-31 23:30:05");
    EXPECT_EQ("2004-12-31 23:30:05", evening.formatYMDHMS(false));
    EXPECT_EQ("2005-01-01 01:30:05", evening.formatYMDHMS(true));
    EXPECT_EQ("2005-01-01", evening.formatYMD(true));
    EXPECT_EQ("01:30:05", evening.formatHMS(true));
}

TEST_F(TimeTest, ClockValuesAreConsistent) {
    const time_t before = std::time(nullptr);
    const CZAFTime now = CZAFTime::now();
    const time_t after = std::time(nullptr);
    EXPECT_GE(static_cast<time_t>(now.getZAFTime()), before);
    EXPECT_LE(static_cast<time_t>(now.getZAFTime()), after);
    EXPECT_LT(now.getMilliseconds(), 1000);

    const CZAFTime today = CZAFTime::today();
    EXPECT_EQ(0, today.getMilliseconds());
    EXPECT_EQ(0u, today.getZAFTime() % 86400);
    EXPECT_LE(today, now);
    // A day boundary may pass between the two calls, so allow for the following day.
    EXPECT_LT((now - today).getZAFTime(), 2u * 86400);
}

TEST_F(TimeTest, MidnightAndNever) {
    const CZAFTime t = CZAFTime::createFromYMDHMSMs("2004-01-05 10:20:30.999");
    EXPECT_EQ(CZAFTime::createFromYMD("2004-01-05"), t.getMidnight());
    EXPECT_EQ(0, t.getMidnight().getMilliseconds());
    EXPECT_TRUE(CZAFTime(0, 500).isNever());
    EXPECT_FALSE(CZAFTime(1, 0).isNever());
    EXPECT_TRUE(CZAFTime().isNever());
}

TEST_F(TimeTest, ConvertsStandardTime) {
    EXPECT_EQ(CZAFTime::createFromYMD("2004-02-29"), CZAFTime(1078012800L));
    EXPECT_EQ(1078012800L, CZAFTime::createFromYMD("2004-02-29").getStdTime());
    EXPECT_TRUE(CZAFTime(-5L).isNever());
}

TEST_F(TimeTest, SubtractionBorrowsMilliseconds) {
    const CZAFTime a = CZAFTime::createFromYMDHMSMs("2004-01-05 10:00:00.200");
    const CZAFTime b = CZAFTime::createFromYMDHMSMs("2004-01-05 09:59:59.900");
    const CZAFTime diff = a - b;
    EXPECT_EQ(0u, diff.getZAFTime());
    EXPECT_EQ(300, diff.getMilliseconds());

    CZAFTime c = a;
    c -= CZAFTime(a.getZAFTime() - 10, 100);
    EXPECT_EQ(CZAFTime(10, 100), c);
    EXPECT_EQ(CZAFTime(0, 0), a - a);
}

TEST_F(TimeTest, SubtractingALaterTimeIsAnInternalError) {
    const CZAFTime a(100, 0);
    auto e = expectThrow<CZAFInternalError>([&] { (void)(a - CZAFTime(100, 1)); });
    ASSERT_TRUE(e);
    EXPECT_EQ("time", e->getFile());
    EXPECT_NE(std::string::npos, e->getMessage().find("message : Assertion Failed"));
    // Oversized milliseconds (kept as parsed) must not wrap the result.
    EXPECT_EQ(CZAFTime(0, 0), CZAFTime(10, 0) - CZAFTime(5, 5000));
    EXPECT_TRUE(
        expectThrow<CZAFInternalError>([] { (void)(CZAFTime(10, 0) - CZAFTime(9, 5000)); }));
}

TEST_F(TimeTest, SecondArithmeticDropsMillisecondsAndNeverWraps) {
    const CZAFTime t(1000, 500);
    EXPECT_EQ(CZAFTime(87400, 0), t + 86400u);
    EXPECT_EQ(CZAFTime(400, 0), t - 600u);
    CZAFTime sum = t;
    sum += CZAFTime(20, 900);
    EXPECT_EQ(CZAFTime(1020, 500), sum);

    EXPECT_TRUE(expectThrow<CZAFInternalError>([] { (void)(CZAFTime(0xFFFFFFFFu, 0) + 1u); }));
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] { (void)(t - 1001u); }));
    CZAFTime big(0xFFFFFFF0u, 0);
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] { big += CZAFTime(0x10, 0); }));
    EXPECT_EQ(CZAFTime(0xFFFFFFF0u, 0), big);
}

TEST_F(TimeTest, ComparesSecondsThenMilliseconds) {
    const CZAFTime a(10, 999);
    const CZAFTime b(11, 0);
    const CZAFTime c(11, 1);
    EXPECT_TRUE(a < b && b < c && a < c);
    EXPECT_TRUE(c > b && b >= b && b <= b && a <= c);
    EXPECT_FALSE(b < b || b > b);
    EXPECT_TRUE(b != c && b == CZAFTime(11, 0));
}
