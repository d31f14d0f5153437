// Fuzz target for the three date/time parsers. Each text either parses or throws the parse
// exception naming that text; a parsed value has valid calendar fields, and its text form parses
// back to the same value. Any other throwable escapes and ends the run.
#include "fuzz_support.h"

#include <oozaf/throwable.h>
#include <oozaf/time.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using oozaf::CZAFTime;
using oozaf::CZAFTimeParseException;

namespace {

const std::size_t kMaxInput = 256;

using orxfuzz::require;

// Runs a parser; returns false after checking and deleting its parse exception.
template <class Parser> bool tryParse(Parser&& parser, const std::string& text, CZAFTime& out) {
    try {
        out = parser(text);
        return true;
    } catch (CZAFTimeParseException* e) {
        const std::string prefix = "An error occured while trying to parse the string '" + text +
                                   "' as a date/time string: ";
        require(e->getMessage().compare(0, prefix.size(), prefix) == 0);
        require(!e->getDetail().empty());
        delete e;
        return false;
    }
}

void requireValidFields(const CZAFTime& t) {
    unsigned short year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    t.getYMD(year, month, day);
    t.getHMS(hour, minute, second);
    require(year >= 1970 && year <= 2106);
    require(month >= 1 && month <= 12 && day >= 1 && day <= 31);
    require(hour < 24 && minute < 60 && second < 60);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    CZAFTime t;

    if (tryParse(CZAFTime::createFromYMD, text, t)) {
        requireValidFields(t);
        require(t.getMilliseconds() == 0 && t.getMidnight() == t);
        CZAFTime back;
        require(tryParse(CZAFTime::createFromYMD, t.formatYMD(false), back) && back == t);
    }
    if (tryParse(CZAFTime::createFromYMDHMSMs, text, t)) {
        requireValidFields(t);
        CZAFTime back;
        require(tryParse(CZAFTime::createFromYMDHMSMs, t.formatYMDHMSMs(false), back));
        require(back == t);
        require((t - t.getMidnight()).getZAFTime() < 86400);
    }
    if (tryParse(CZAFTime::createFromYMDHMS, text, t)) {
        // A text that already holds milliseconds keeps them; the seconds form drops them.
        requireValidFields(t);
        CZAFTime back;
        require(tryParse(CZAFTime::createFromYMDHMS, t.formatYMDHMS(false), back));
        require(back == CZAFTime(t.getZAFTime(), 0));
    }
    return 0;
}
