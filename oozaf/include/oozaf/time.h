// time: a point in time in the toolkit's time scale, with milliseconds.
#ifndef OOZAF_TIME_H
#define OOZAF_TIME_H

#include <oozaf/obj.h>
#include <zaf/zaftime.h>

#include <string>

namespace oozaf {

// A point in time: whole seconds since 1970-01-01 00:00:00 UTC as the toolkit counts them (so the
// value can be handed to the toolkit unchanged) plus milliseconds. Seconds 0 mean "never".
// A plain value: copyable, no shared state, safe to use from any thread.
//
// Text forms: "YYYY-MM-DD" and "YYYY-MM-DD HH:MM:SS.mmm". The milliseconds are written in decimal
// without leading zeros (7 ms is ".7"), and read back the same way.
class CZAFTime : public CZAFObj {
public:
    // Never: seconds 0, milliseconds 0.
    CZAFTime() : m_time(0), m_milliseconds(0) {}
    CZAFTime(ZAFTime time, unsigned short milliseconds)
        : m_time(time), m_milliseconds(milliseconds) {}
    // From a standard time_t through the toolkit's conversion (times before 1970 become never,
    // times past the toolkit's range its last second); milliseconds 0.
    explicit CZAFTime(long stdTime);
    CZAFTime(const CZAFTime&) = default;
    CZAFTime& operator=(const CZAFTime&) = default;

    // Parsers. Each throws a new CZAFTimeParseException naming the input and what is wrong:
    // "Bad date format" / "Bad date/time format" when the fields are missing, "Year out of range"
    // (before 1970, or a date the toolkit's 32-bit seconds cannot hold), "Month out of range",
    // "Day out of range", then for times "Hour out of range", "Minutes out of range", "Seconds
    // out of range". Text after the last field is ignored.
    //
    // "YYYY-MM-DD": the start of that day (UTC), milliseconds 0.
    static CZAFTime createFromYMD(const std::string& text);
    // "YYYY-MM-DD HH:MM:SS.mmm"; all seven fields are required. The milliseconds are kept as
    // written (values up to 65535); a larger number gives "Bad date/time format".
    static CZAFTime createFromYMDHMSMs(const std::string& text);
    // "YYYY-MM-DD HH:MM:SS": an appended ".000" completes the text, so the milliseconds are 0
    // unless the text already carries them.
    static CZAFTime createFromYMDHMS(const std::string& text);

    // The current time (milliseconds from the clock) and midnight UTC of today.
    static CZAFTime now();
    static CZAFTime today();

    // Calendar fields of the stored seconds in UTC. Every field is set (0 first).
    void getYMD(unsigned short& year, unsigned short& month, unsigned short& day) const;
    void getHMS(unsigned short& hour, unsigned short& minute, unsigned short& second) const;

    // Text forms; `local` selects the local time zone instead of UTC.
    std::string formatYMD(bool local) const;      // 2004-01-05
    std::string formatHMS(bool local) const;      // 10:20:30
    std::string formatYMDHMS(bool local) const;   // 2004-01-05 10:20:30
    std::string formatYMDHMSMs(bool local) const; // 2004-01-05 10:20:30.7

    // Midnight UTC of the same day, milliseconds 0.
    CZAFTime getMidnight() const;
    bool isNever() const { return m_time == 0; }
    ZAFTime getZAFTime() const { return m_time; }
    unsigned short getMilliseconds() const { return m_milliseconds; }
    long getStdTime() const;

    // The span from `other` to this time. `other` must not be later (CZAFInternalError).
    CZAFTime operator-(const CZAFTime& other) const;
    CZAFTime& operator-=(const CZAFTime& other);
    // Moves the time by whole seconds; the result has milliseconds 0. Leaving the toolkit's
    // range (before 1970 or past its last second) throws CZAFInternalError instead of wrapping.
    CZAFTime operator+(unsigned int seconds) const;
    CZAFTime operator-(unsigned int seconds) const;
    // Adds the other time's seconds (its milliseconds are ignored); overflow throws
    // CZAFInternalError.
    CZAFTime& operator+=(const CZAFTime& other);

    bool operator==(const CZAFTime& other) const {
        return m_time == other.m_time && m_milliseconds == other.m_milliseconds;
    }
    bool operator!=(const CZAFTime& other) const { return !(*this == other); }
    bool operator<(const CZAFTime& other) const {
        return m_time < other.m_time ||
               (m_time == other.m_time && m_milliseconds < other.m_milliseconds);
    }
    bool operator>(const CZAFTime& other) const { return other < *this; }
    bool operator<=(const CZAFTime& other) const { return !(other < *this); }
    bool operator>=(const CZAFTime& other) const { return !(*this < other); }

private:
    ZAFTime m_time;
    unsigned short m_milliseconds;
};

} // namespace oozaf

#endif
