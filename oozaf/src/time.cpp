// time: the library's time value, its text forms and arithmetic.
#include <oozaf/throwable.h>
#include <oozaf/time.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <sys/time.h>

namespace oozaf {

namespace {

const char* const kTag = "time";

// A field value that no unsigned int can hold. Numbers that overflow, and negative numbers
// (which the C scanner would silently wrap into huge unsigned values), read as this, so that an
// absurd year or month can never wrap around into a valid one.
constexpr uint64_t kTooBig = uint64_t{1} << 32;

constexpr uint64_t kFirstYear = 1970;
// The toolkit counts seconds in 32 bits, which end on 2106-02-07; later dates cannot be stored.
constexpr uint64_t kLastYear = 2106;

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Matches `text` against a pattern in the manner of sscanf: 'u' is an unsigned decimal field
// (leading white space and one sign allowed, at least one digit), ' ' matches any run of white
// space including none, and any other character matches itself. Returns the number of fields
// read before the first mismatch; text after the pattern is ignored. Each value is exact, or
// kTooBig when it is negative or does not fit 32 bits.
unsigned int scanFields(const std::string& text, const char* pattern, uint64_t* fields) {
    std::size_t pos = 0;
    unsigned int count = 0;
    for (const char* p = pattern; *p != '\0'; ++p) {
        if (*p == ' ') {
            while (pos < text.size() && isSpace(text[pos]))
                ++pos;
        } else if (*p == 'u') {
            while (pos < text.size() && isSpace(text[pos]))
                ++pos;
            bool negative = false;
            if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
                negative = text[pos] == '-';
                ++pos;
            }
            if (pos >= text.size() || !isDigit(text[pos]))
                return count;
            uint64_t value = 0;
            while (pos < text.size() && isDigit(text[pos])) {
                if (value < kTooBig)
                    value = value * 10 + static_cast<uint64_t>(text[pos] - '0');
                ++pos;
            }
            if (value > kTooBig || (negative && value != 0))
                value = kTooBig;
            fields[count++] = value;
        } else {
            if (pos >= text.size() || text[pos] != *p)
                return count;
            ++pos;
        }
    }
    return count;
}

bool isLeapYear(uint64_t year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

void validateDate(uint64_t year, uint64_t month, uint64_t day, const std::string& text) {
    static const uint64_t kDaysInMonth[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < kFirstYear || year > kLastYear)
        throw new CZAFTimeParseException("Year out of range", text);
    if (month < 1 || month > 12)
        throw new CZAFTimeParseException("Month out of range", text);
    if (day == 0)
        throw new CZAFTimeParseException("Day out of range", text);
    uint64_t length = kDaysInMonth[month - 1];
    if (month == 2 && isLeapYear(year))
        length = 29;
    if (day > length)
        throw new CZAFTimeParseException("Day out of range", text);
}

// Converts validated fields with the toolkit. The toolkit clamps what its 32-bit seconds cannot
// hold; converting back shows whether that happened (the last hours of 2106-02-07).
ZAFTime toZAFTime(uint64_t year, uint64_t month, uint64_t day, uint64_t hour, uint64_t minute,
                  uint64_t second, const std::string& text) {
    const auto y = static_cast<uint16_t>(year);
    const auto mo = static_cast<uint16_t>(month);
    const auto d = static_cast<uint16_t>(day);
    const auto h = static_cast<uint16_t>(hour);
    const auto mi = static_cast<uint16_t>(minute);
    const auto s = static_cast<uint16_t>(second);
    const ZAFTime result = ZAFGetZAFTimeFromYMDHMS(y, mo, d, h, mi, s);
    uint16_t fields[6] = {};
    ZAFGetYMDHMSFromZAFTime(result, &fields[0], &fields[1], &fields[2], &fields[3], &fields[4],
                            &fields[5]);
    if (fields[0] != y || fields[1] != mo || fields[2] != d || fields[3] != h || fields[4] != mi ||
        fields[5] != s)
        throw new CZAFTimeParseException("Year out of range", text);
    return result;
}

std::string twoDigits(unsigned int value) {
    char buffer[16];
    std::snprintf(buffer, sizeof(buffer), "%02u", value);
    return buffer;
}

// Broken-down fields of a stored time, in UTC through the toolkit or in the local zone.
struct SFields {
    unsigned int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

SFields breakDown(ZAFTime time, bool local) {
    SFields f;
    if (local) {
        const time_t std = ZAFGetStdTimeFromZAFTime(time);
        std::tm tm{};
        ZAF_ASSERT_TAG(kTag, localtime_r(&std, &tm) != nullptr);
        f.year = static_cast<unsigned int>(tm.tm_year + 1900);
        f.month = static_cast<unsigned int>(tm.tm_mon + 1);
        f.day = static_cast<unsigned int>(tm.tm_mday);
        f.hour = static_cast<unsigned int>(tm.tm_hour);
        f.minute = static_cast<unsigned int>(tm.tm_min);
        f.second = static_cast<unsigned int>(tm.tm_sec);
    } else {
        uint16_t v[6] = {};
        ZAFGetYMDHMSFromZAFTime(time, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
        f.year = v[0];
        f.month = v[1];
        f.day = v[2];
        f.hour = v[3];
        f.minute = v[4];
        f.second = v[5];
    }
    return f;
}

} // namespace

CZAFTime::CZAFTime(long stdTime)
    : m_time(ZAFGetZAFTimeFromStdTime(static_cast<time_t>(stdTime))), m_milliseconds(0) {}

CZAFTime CZAFTime::createFromYMD(const std::string& text) {
    uint64_t f[3] = {};
    if (scanFields(text, "u-u-u", f) != 3)
        throw new CZAFTimeParseException("Bad date format", text);
    validateDate(f[0], f[1], f[2], text);
    return CZAFTime(toZAFTime(f[0], f[1], f[2], 0, 0, 0, text), 0);
}

namespace {

// Parses the full date/time form in `text`; failures name `shown`, the text the caller gave.
CZAFTime parseYMDHMSMs(const std::string& text, const std::string& shown) {
    uint64_t f[7] = {};
    if (scanFields(text, "u-u-u u:u:u.u", f) != 7 || f[6] > 0xFFFF)
        throw new CZAFTimeParseException("Bad date/time format", shown);
    validateDate(f[0], f[1], f[2], shown);
    if (f[3] >= 24)
        throw new CZAFTimeParseException("Hour out of range", shown);
    if (f[4] >= 60)
        throw new CZAFTimeParseException("Minutes out of range", shown);
    if (f[5] >= 60)
        throw new CZAFTimeParseException("Seconds out of range", shown);
    const ZAFTime seconds = toZAFTime(f[0], f[1], f[2], f[3], f[4], f[5], shown);
    return CZAFTime(seconds, static_cast<unsigned short>(f[6]));
}

} // namespace

CZAFTime CZAFTime::createFromYMDHMSMs(const std::string& text) { return parseYMDHMSMs(text, text); }

CZAFTime CZAFTime::createFromYMDHMS(const std::string& text) {
    // The appended milliseconds are an implementation detail: a failure names the caller's text.
    return parseYMDHMSMs(text + ".000", text);
}

CZAFTime CZAFTime::now() {
    timeval tv{};
    ZAF_ASSERT_TAG(kTag, gettimeofday(&tv, nullptr) == 0);
    return CZAFTime(ZAFGetZAFTimeFromStdTime(tv.tv_sec),
                    static_cast<unsigned short>(tv.tv_usec / 1000));
}

CZAFTime CZAFTime::today() { return now().getMidnight(); }

void CZAFTime::getYMD(unsigned short& year, unsigned short& month, unsigned short& day) const {
    year = month = day = 0;
    uint16_t y = 0, m = 0, d = 0;
    ZAFGetYMDFromZAFTime(m_time, &y, &m, &d);
    year = y;
    month = m;
    day = d;
}

void CZAFTime::getHMS(unsigned short& hour, unsigned short& minute, unsigned short& second) const {
    hour = minute = second = 0;
    uint16_t v[6] = {};
    ZAFGetYMDHMSFromZAFTime(m_time, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]);
    hour = v[3];
    minute = v[4];
    second = v[5];
}

std::string CZAFTime::formatYMD(bool local) const {
    const SFields f = breakDown(m_time, local);
    return std::to_string(f.year) + "-" + twoDigits(f.month) + "-" + twoDigits(f.day);
}

std::string CZAFTime::formatHMS(bool local) const {
    const SFields f = breakDown(m_time, local);
    return twoDigits(f.hour) + ":" + twoDigits(f.minute) + ":" + twoDigits(f.second);
}

std::string CZAFTime::formatYMDHMS(bool local) const {
    return formatYMD(local) + " " + formatHMS(local);
}

std::string CZAFTime::formatYMDHMSMs(bool local) const {
    return formatYMDHMS(local) + "." + std::to_string(m_milliseconds);
}

CZAFTime CZAFTime::getMidnight() const { return CZAFTime(m_time - m_time % 86400, 0); }

long CZAFTime::getStdTime() const { return static_cast<long>(ZAFGetStdTimeFromZAFTime(m_time)); }

CZAFTime CZAFTime::operator-(const CZAFTime& other) const {
    ZAF_ASSERT_TAG(kTag, !(*this < other));
    // Borrowing is done in wide signed arithmetic: parsed milliseconds are not limited to 999,
    // and a single borrow of 1000 would then wrap the unsigned field.
    int64_t seconds = int64_t{m_time} - int64_t{other.m_time};
    int64_t millis = int64_t{m_milliseconds} - int64_t{other.m_milliseconds};
    if (millis < 0) {
        const int64_t borrow = (-millis + 999) / 1000;
        seconds -= borrow;
        millis += borrow * 1000;
    }
    ZAF_ASSERT_TAG(kTag, seconds >= 0);
    return CZAFTime(static_cast<ZAFTime>(seconds), static_cast<unsigned short>(millis));
}

CZAFTime& CZAFTime::operator-=(const CZAFTime& other) {
    *this = *this - other;
    return *this;
}

CZAFTime CZAFTime::operator+(unsigned int seconds) const {
    const uint64_t sum = uint64_t{m_time} + seconds;
    ZAF_ASSERT_TAG(kTag, sum <= 0xFFFFFFFFu);
    return CZAFTime(static_cast<ZAFTime>(sum), 0);
}

CZAFTime CZAFTime::operator-(unsigned int seconds) const {
    ZAF_ASSERT_TAG(kTag, seconds <= m_time);
    return CZAFTime(m_time - seconds, 0);
}

CZAFTime& CZAFTime::operator+=(const CZAFTime& other) {
    const uint64_t sum = uint64_t{m_time} + other.m_time;
    ZAF_ASSERT_TAG(kTag, sum <= 0xFFFFFFFFu);
    m_time = static_cast<ZAFTime>(sum);
    return *this;
}

} // namespace oozaf
