/* Time conversions between ZAFTime (seconds since 1970-01-01 UTC), time_t and calendar fields. */
#ifndef ZAF_ZAFTIME_H
#define ZAF_ZAFTIME_H

#include <zaf/zafbase.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Times before 1970 clamp to 0, times past the 32-bit range clamp to 0xFFFFFFFF. */
ZAF_API ZAFTime ZAFGetZAFTimeFromStdTime(time_t stdTime);
ZAF_API time_t ZAFGetStdTimeFromZAFTime(ZAFTime zafTime);

/* Calendar fields are UTC, month 1..12, day 1..31. Out-of-range fields are normalised the way
 * timegm does (day 32 of January is February 1st); dates outside the ZAFTime range clamp. */
ZAF_API ZAFTime ZAFGetZAFTimeFromYMD(uint16_t year, uint16_t month, uint16_t day);
ZAF_API ZAFTime ZAFGetZAFTimeFromYMDHMS(uint16_t year, uint16_t month, uint16_t day, uint16_t hour,
                                        uint16_t minute, uint16_t second);

/* Null out-pointers are skipped. */
ZAF_API void ZAFGetYMDFromZAFTime(ZAFTime zafTime, uint16_t* year, uint16_t* month, uint16_t* day);
ZAF_API void ZAFGetYMDHMSFromZAFTime(ZAFTime zafTime, uint16_t* year, uint16_t* month,
                                     uint16_t* day, uint16_t* hour, uint16_t* minute,
                                     uint16_t* second);

#ifdef __cplusplus
}
#endif

#endif
