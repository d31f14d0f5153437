// Fuzz target for transaction log lines. A line either parses into a record whose shown fields
// are printable and whose return code is the line's last field read as a number, is refused for
// its field count (leaving the record untouched), or throws the time parse exception. Any other
// throwable escapes and ends the run.
#include "fuzz_support.h"

#include <oozaf/throwable.h>
#include <oozaf/vornserver.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using oozaf::CZAFTimeParseException;
using oozaf::SVornLogEntry;

namespace {

const std::size_t kMaxInput = 4096;

using orxfuzz::require;

bool printable(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isprint(static_cast<unsigned char>(c)) != 0; });
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput)
        return 0;
    const std::string line(reinterpret_cast<const char*>(data), size);
    const auto tabs = std::count(line.begin(), line.end(), '\t');

    SVornLogEntry entry;
    entry.op = "untouched";
    try {
        const bool parsed = oozaf::gParseVornLogLine(line, entry);
        require(parsed == (tabs == 5));
        if (!parsed) {
            require(entry.op == "untouched");
            return 0;
        }
        require(printable(entry.username) && printable(entry.cmdline));
        require(entry.op.find('\t') == std::string::npos);
        const std::string rc = line.substr(line.rfind('\t') + 1);
        require((std::strtoll(rc.c_str(), nullptr, 10) == 0) == (entry.rc == 0));
    } catch (CZAFTimeParseException* e) {
        require(tabs == 5);
        require(entry.op == "untouched");
        delete e;
    }
    return 0;
}
