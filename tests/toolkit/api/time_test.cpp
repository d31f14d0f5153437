// Tests of the toolkit's time conversions.
#include <zaf/zaftime.h>

#include <ctime>
#include <gtest/gtest.h>

TEST(ToolkitTime, CalendarRoundTripsAgainstTheCLibrary) {
    // Every 7919 s over 60 years, including leap days and centuries (2000 is a leap year).
    for (int64_t t = 0; t < 0xFFFFFFFFll; t += 7919 * 97) {
        ZAFTime z = static_cast<ZAFTime>(t);
        time_t std = ZAFGetStdTimeFromZAFTime(z);
        std::tm parts{};
        gmtime_r(&std, &parts);
        uint16_t y, mo, d, h, mi, s;
        ZAFGetYMDHMSFromZAFTime(z, &y, &mo, &d, &h, &mi, &s);
        ASSERT_EQ(parts.tm_year + 1900, y) << t;
        ASSERT_EQ(parts.tm_mon + 1, mo) << t;
        ASSERT_EQ(parts.tm_mday, d) << t;
        ASSERT_EQ(parts.tm_hour, h);
        ASSERT_EQ(parts.tm_min, mi);
        ASSERT_EQ(parts.tm_sec, s);
        ASSERT_EQ(z, ZAFGetZAFTimeFromYMDHMS(y, mo, d, h, mi, s));
    }
}

TEST(ToolkitTime, KnownDatesAndClamping) {
    EXPECT_EQ(0u, ZAFGetZAFTimeFromYMD(1970, 1, 1));
    EXPECT_EQ(951782400u, ZAFGetZAFTimeFromYMD(2000, 2, 29));
    EXPECT_EQ(1704067200u, ZAFGetZAFTimeFromYMD(2024, 1, 1));
    EXPECT_EQ(ZAFGetZAFTimeFromYMD(2004, 2, 1), ZAFGetZAFTimeFromYMD(2004, 1, 32));
    EXPECT_EQ(0u, ZAFGetZAFTimeFromYMD(1969, 12, 31));
    EXPECT_EQ(0xFFFFFFFFu, ZAFGetZAFTimeFromYMD(2200, 1, 1));
    EXPECT_EQ(0u, ZAFGetZAFTimeFromStdTime(-5));
    uint16_t y = 0;
    ZAFGetYMDFromZAFTime(0xFFFFFFFFu, &y, nullptr, nullptr);
    EXPECT_EQ(2106, y);
}

TEST(ToolkitTime, ErrorStringsForKnownAndUnknownCodes) {
    char text[64];
    ASSERT_EQ(0, ZAFGetErrorString(kZAFError_BufferTooSmall, sizeof(text), text));
    EXPECT_STREQ("buffer too small", text);
    ASSERT_EQ(0, ZAFGetErrorString(-1, sizeof(text), text));
    EXPECT_STREQ("Unknown error (-1)", text);
    char tiny[4];
    ASSERT_EQ(0, ZAFGetErrorString(kZAFError_CorruptData, sizeof(tiny), tiny));
    EXPECT_STREQ("cor", tiny);
    EXPECT_EQ(kZAFError_BadParams, ZAFGetErrorString(0, 0, text));
    EXPECT_EQ(kZAFError_BadParams, ZAFGetErrorString(0, 4, nullptr));
}
