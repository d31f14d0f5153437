// time: conversions between ZAFTime, time_t and UTC calendar fields.
#include "handles.h"

#include <zaf/zaftime.h>

#include <cstdint>

namespace {

constexpr int64_t kMaxZAFTime = 0xFFFFFFFFll;

// Days since 1970-01-01 of a proleptic Gregorian date; month and day may lie outside their
// usual ranges and are carried into the year and month.
int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
    // Carry months outside 1..12 into the year first.
    int64_t m0 = m - 1;
    y += m0 >= 0 ? m0 / 12 : -((11 - m0) / 12);
    m0 = ((m0 % 12) + 12) % 12;
    const int64_t mm = m0 + 1;
    y -= mm <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (mm + (mm > 2 ? -3 : 9)) + 2) / 5 + 1 - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468 + (d - 1);
}

void civilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = yoe + era * 400;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    y += m <= 2;
}

ZAFTime clampTime(int64_t seconds) {
    if (seconds < 0)
        return 0;
    if (seconds > kMaxZAFTime)
        return static_cast<ZAFTime>(kMaxZAFTime);
    return static_cast<ZAFTime>(seconds);
}

} // namespace

extern "C" {

ZAFTime ZAFGetZAFTimeFromStdTime(time_t stdTime) {
    return zaf::guard(ZAFTime(0),
                      [&]() -> ZAFTime { return clampTime(static_cast<int64_t>(stdTime)); });
}

time_t ZAFGetStdTimeFromZAFTime(ZAFTime zafTime) {
    return zaf::guard(time_t(0), [&]() -> time_t { return static_cast<time_t>(zafTime); });
}

ZAFTime ZAFGetZAFTimeFromYMD(uint16_t year, uint16_t month, uint16_t day) {
    return ZAFGetZAFTimeFromYMDHMS(year, month, day, 0, 0, 0);
}

ZAFTime ZAFGetZAFTimeFromYMDHMS(uint16_t year, uint16_t month, uint16_t day, uint16_t hour,
                                uint16_t minute, uint16_t second) {
    return zaf::guard(ZAFTime(0), [&]() -> ZAFTime {
        const int64_t days = daysFromCivil(year, month, day);
        return clampTime(days * 86400 + int64_t{hour} * 3600 + int64_t{minute} * 60 + second);
    });
}

void ZAFGetYMDFromZAFTime(ZAFTime zafTime, uint16_t* year, uint16_t* month, uint16_t* day) {
    ZAFGetYMDHMSFromZAFTime(zafTime, year, month, day, nullptr, nullptr, nullptr);
}

void ZAFGetYMDHMSFromZAFTime(ZAFTime zafTime, uint16_t* year, uint16_t* month, uint16_t* day,
                             uint16_t* hour, uint16_t* minute, uint16_t* second) {
    zaf::guard([&]() -> ZAFError {
        const int64_t days = zafTime / 86400;
        const uint32_t rest = zafTime % 86400;
        int64_t y = 0;
        unsigned m = 0;
        unsigned d = 0;
        civilFromDays(days, y, m, d);
        if (year)
            *year = static_cast<uint16_t>(y);
        if (month)
            *month = static_cast<uint16_t>(m);
        if (day)
            *day = static_cast<uint16_t>(d);
        if (hour)
            *hour = static_cast<uint16_t>(rest / 3600);
        if (minute)
            *minute = static_cast<uint16_t>(rest / 60 % 60);
        if (second)
            *second = static_cast<uint16_t>(rest % 60);
        return kZAFError_NoErr;
    });
}

} // extern "C"
