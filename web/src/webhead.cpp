// webhead: request heads as the reception sees them.
#include "webhead.h"

#include <cctype>
#include <cstring>

namespace vornweb {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// A decimal length of at most 18 digits (no sign, no blanks inside); false otherwise.
bool parseLength(std::string_view text, uint64_t& value) {
    if (text.empty() || text.size() > 18)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

void readRequestLine(std::string_view line, SRequestHead& head) {
    const size_t space = line.find(' ');
    if (space == std::string_view::npos)
        return;
    head.method = std::string(line.substr(0, space));
    std::string_view target = line.substr(space + 1);
    const size_t end = target.find_first_of(" ?#");
    head.path = std::string(target.substr(0, end));
}

void readField(std::string_view line, SRequestHead& head) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (equalsIgnoringCase(name, "Content-Length")) {
        uint64_t length = 0;
        if (!parseLength(value, length) || (head.hasLength && length != head.contentLength))
            head.badLength = true;
        head.hasLength = true;
        head.contentLength = length;
    } else if (equalsIgnoringCase(name, "Transfer-Encoding")) {
        head.transferEncoding = true;
    } else if (equalsIgnoringCase(name, "Cookie") && head.cookie.empty()) {
        head.cookie = std::string(value);
    }
}

} // namespace

void gHideAcceptEncoding(char* data, size_t length) {
    static const std::string_view kName = "Accept-Encoding:";
    size_t start = 0;
    while (start < length) {
        const char* feed =
            static_cast<const char*>(std::memchr(data + start, '\n', length - start));
        const size_t end = feed == nullptr ? length : static_cast<size_t>(feed - data);
        if (start > 0 && end - start > kName.size() &&
            equalsIgnoringCase(std::string_view(data + start, kName.size()), kName))
            std::memcpy(data + start, "X-Accept-Encode", kName.size() - 1);
        start = end + 1;
    }
}

size_t gFindHeadEnd(std::string_view data, SHeadScan& scan) {
    for (size_t i = scan.scanned; i < data.size(); ++i) {
        if (data[i] != '\n')
            continue;
        if (!scan.pastRequestLine)
            scan.pastRequestLine = true; // the request line, whatever it holds, is never the end
        else if (i == scan.lineStart + 1 && data[scan.lineStart] == '\r')
            return i + 1;
        scan.lineStart = i + 1;
    }
    scan.scanned = data.size();
    return 0;
}

SRequestHead gInspectHead(std::string_view data) {
    SRequestHead head;
    size_t start = 0;
    bool first = true;
    for (;;) {
        const size_t feed = data.find('\n', start);
        if (feed == std::string_view::npos)
            return SRequestHead();
        std::string_view line = data.substr(start, feed + 1 - start);
        start = feed + 1;
        if (first) {
            first = false;
            std::string_view text = line.substr(0, line.size() - 1);
            if (!text.empty() && text.back() == '\r')
                text.remove_suffix(1);
            readRequestLine(text, head);
            continue;
        }
        if (line.size() < 2 || line[line.size() - 2] != '\r')
            continue; // not a header field for the library either
        if (line.size() == 2) {
            head.complete = true;
            head.length = start;
            return head;
        }
        readField(line.substr(0, line.size() - 2), head);
    }
}

} // namespace vornweb
