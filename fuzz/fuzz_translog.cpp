// Fuzz target for transaction log lines. A line either parses into a record whose fields are
// those of an independent quote-aware split (TABs outside double quotes separate six fields; the
// quotes are not part of them), with printable shown fields and the last field read as a number
// for the return code; or is refused for its field count (leaving the record untouched); or
// throws the time parse exception. Any other throwable escapes and ends the run.
#include "fuzz_support.h"

#include <oozaf/throwable.h>
#include <oozaf/vornserver.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using oozaf::CZAFTimeParseException;
using oozaf::SVornLogEntry;

namespace {

const std::size_t kMaxInput = 4096;

using orxfuzz::require;

bool printable(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return std::isprint(static_cast<unsigned char>(c)) != 0; });
}

// Every TAB outside quotes ends a field, so n such TABs make n + 1 fields.
std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (char c : line) {
        if (c == '"')
            quoted = !quoted;
        else if (c == '\t' && !quoted)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput)
        return 0;
    const std::string line(reinterpret_cast<const char*>(data), size);
    const std::vector<std::string> fields = splitFields(line);
    const bool six = fields.size() == 6;

    SVornLogEntry entry;
    entry.op = "untouched";
    try {
        const bool parsed = oozaf::gParseVornLogLine(line, entry);
        require(parsed == six);
        if (!parsed) {
            require(entry.op == "untouched");
            return 0;
        }
        require(printable(entry.username) && printable(entry.cmdline));
        require(entry.op == fields[3]);
        require(entry.username.size() == fields[2].size() &&
                entry.cmdline.size() == fields[4].size());
        require((std::strtoll(fields[5].c_str(), nullptr, 10) == 0) == (entry.rc == 0));
    } catch (CZAFTimeParseException* e) {
        require(six);
        require(entry.op == "untouched");
        delete e;
    }
    return 0;
}
