// webhttp: forms, cookies, JSON.
#include "webhttp.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <sys/random.h>
#include <vector>
#include <zlib.h>

namespace vornweb {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string decodeComponent(const std::string& text, size_t begin, size_t end) {
    std::string out;
    out.reserve(end - begin);
    for (size_t i = begin; i < end; ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%') {
            if (i + 2 >= end)
                throw CWebInputException("Malformed percent escape in the form");
            const int high = hexValue(text[i + 1]);
            const int low = hexValue(text[i + 2]);
            if (high < 0 || low < 0)
                throw CWebInputException("Malformed percent escape in the form");
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

bool printableName(const std::string& name) {
    if (name.empty() || name.size() > kMaxFieldName)
        return false;
    for (unsigned char c : name)
        if (c <= 0x20 || c >= 0x7f)
            return false;
    return true;
}

bool allowedValue(const std::string& value) {
    for (unsigned char c : value)
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f)
            return false;
    return gIsUtf8(value);
}

// Length of the UTF-8 sequence at `i`, or 0 when it is not valid.
size_t utf8Sequence(const std::string& text, size_t i) {
    const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char c = byte(i);
    if (c < 0x80)
        return 1;
    size_t length = 0;
    unsigned long min = 0;
    unsigned long value = 0;
    if ((c & 0xE0) == 0xC0) {
        length = 2;
        min = 0x80;
        value = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        length = 3;
        min = 0x800;
        value = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        length = 4;
        min = 0x10000;
        value = c & 0x07;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return length;
}

void appendJson(const vornadmin::SXmlElement& element, std::string& out, unsigned int depth) {
    // The XML parser bounds nesting already; this keeps the recursion bounded for trees built
    // elsewhere too.
    if (depth > vornadmin::kXmlMaxDepth)
        throw CWebInputException("The reply is nested too deeply", 502);
    out += "{\"name\":";
    out += gJsonString(element.name);
    out += ",\"attrs\":{";
    bool first = true;
    for (const auto& attribute : element.attributes) {
        if (!first)
            out += ',';
        first = false;
        out += gJsonString(attribute.first);
        out += ':';
        out += gJsonString(attribute.second);
    }
    out += '}';
    if (!element.text.empty()) {
        out += ",\"text\":";
        out += gJsonString(element.text);
    }
    if (!element.children.empty()) {
        out += ",\"children\":[";
        first = true;
        for (const vornadmin::SXmlElement& child : element.children) {
            if (!first)
                out += ',';
            first = false;
            appendJson(child, out, depth + 1);
        }
        out += ']';
    }
    out += '}';
}

} // namespace

bool CForm::has(const std::string& name) const {
    for (const auto& field : m_fields)
        if (field.first == name)
            return true;
    return false;
}

std::string CForm::get(const std::string& name, const std::string& fallback) const {
    for (const auto& field : m_fields)
        if (field.first == name)
            return field.second;
    return fallback;
}

std::string CForm::required(const std::string& name, size_t limit) const {
    for (const auto& field : m_fields)
        if (field.first == name) {
            if (field.second.size() > limit)
                throw CWebInputException("The field '" + name + "' is longer than " +
                                         std::to_string(limit) + " bytes");
            return field.second;
        }
    throw CWebInputException("The field '" + name + "' is missing");
}

std::vector<std::string> CForm::all(const std::string& name) const {
    std::vector<std::string> values;
    for (const auto& field : m_fields)
        if (field.first == name)
            values.push_back(field.second);
    return values;
}

CForm gParseForm(const std::string& body) {
    std::vector<std::pair<std::string, std::string>> fields;
    size_t at = 0;
    while (at < body.size()) {
        size_t end = body.find('&', at);
        if (end == std::string::npos)
            end = body.size();
        if (end > at) {
            if (fields.size() == kMaxFormFields)
                throw CWebInputException(
                    "The form has more than " + std::to_string(kMaxFormFields) + " fields", 413);
            const size_t equals = body.find('=', at);
            const size_t nameEnd = (equals == std::string::npos || equals > end) ? end : equals;
            if (nameEnd - at > 3 * kMaxFieldName)
                throw CWebInputException("A form field name is too long");
            std::string name = decodeComponent(body, at, nameEnd);
            if (!printableName(name))
                throw CWebInputException("A form field name is empty, too long or not printable");
            std::string value;
            if (nameEnd < end) {
                if (end - nameEnd - 1 > 3 * kMaxFieldValue)
                    throw CWebInputException("The field '" + name + "' is too long", 413);
                value = decodeComponent(body, nameEnd + 1, end);
            }
            if (value.size() > kMaxFieldValue)
                throw CWebInputException("The field '" + name + "' is too long", 413);
            if (!allowedValue(value))
                throw CWebInputException("The field '" + name +
                                         "' holds control characters or is not UTF-8");
            fields.emplace_back(std::move(name), std::move(value));
        }
        at = end + 1;
    }
    return CForm(std::move(fields));
}

std::map<std::string, std::string> gParseCookies(const std::string& header) {
    std::map<std::string, std::string> cookies;
    if (header.size() > kMaxCookieHeader)
        return cookies;
    size_t at = 0;
    size_t seen = 0;
    while (at < header.size() && seen < kMaxCookies) {
        size_t end = header.find(';', at);
        if (end == std::string::npos)
            end = header.size();
        size_t begin = at;
        while (begin < end && (header[begin] == ' ' || header[begin] == '\t'))
            ++begin;
        size_t stop = end;
        while (stop > begin && (header[stop - 1] == ' ' || header[stop - 1] == '\t'))
            --stop;
        const size_t equals = header.find('=', begin);
        if (begin < stop && equals != std::string::npos && equals < stop && equals > begin) {
            ++seen;
            std::string name = header.substr(begin, equals - begin);
            std::string value = header.substr(equals + 1, stop - equals - 1);
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            bool ok = true;
            for (unsigned char c : name + value)
                if (c < 0x21 || c > 0x7e || c == ',' || c == '"' || c == '\\')
                    ok = false;
            for (unsigned char c : name)
                if (c == '=')
                    ok = false;
            if (ok)
                cookies.emplace(std::move(name), std::move(value));
        }
        at = end + 1;
    }
    return cookies;
}

bool gIsUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8Sequence(text, i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

std::string gJsonString(const std::string& text) {
    static const char* const kHex = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8Sequence(text, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (length > 1) {
            out.append(text, i, length);
            i += length;
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(text[i++]);
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            // "<" and ">" are escaped too, so a reply text can never close a script element.
            if (c < 0x20 || c == 0x7f || c == '<' || c == '>' || c == '&') {
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
    return out;
}

std::string gElementToJson(const vornadmin::SXmlElement& element) {
    std::string out;
    appendJson(element, out, 0);
    return out;
}

bool gConstantTimeEquals(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

std::string gRandomHex(size_t count) {
    static const char* const kHex = "0123456789abcdef";
    std::string bytes(count, '\0');
    size_t done = 0;
    while (done < count) {
        const ssize_t got = ::getrandom(&bytes[done], count - done, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            throw std::runtime_error("no random bytes from the operating system");
        done += static_cast<size_t>(got);
    }
    std::string hex;
    hex.reserve(2 * count);
    for (unsigned char c : bytes) {
        hex += kHex[c >> 4];
        hex += kHex[c & 15];
    }
    return hex;
}

std::string gGzip(const std::string& bytes, int level) {
    z_stream stream{};
    // 15 window bits, +16 for the gzip wrapper; memory level 8 is zlib's default.
    if (deflateInit2(&stream, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("zlib cannot start");
    std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        throw std::runtime_error("zlib cannot compress");
    return out;
}

bool gAcceptsGzip(const std::string& acceptEncoding) {
    size_t start = 0;
    while (start <= acceptEncoding.size()) {
        size_t end = acceptEncoding.find(',', start);
        if (end == std::string::npos)
            end = acceptEncoding.size();
        std::string item = acceptEncoding.substr(start, end - start);
        start = end + 1;
        std::string coding = item.substr(0, item.find(';'));
        coding.erase(0, coding.find_first_not_of(" \t"));
        coding.erase(coding.find_last_not_of(" \t") + 1);
        for (char& c : coding)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (coding != "gzip")
            continue;
        std::string rest = item.substr(std::min(item.size(), item.find(';')));
        rest.erase(std::remove(rest.begin(), rest.end(), ' '), rest.end());
        // q=0, q=0.0, q=0.00 ... refuse it.
        const size_t q = rest.find(";q=");
        if (q == std::string::npos)
            return true;
        const std::string value = rest.substr(q + 3);
        return value.find_first_not_of("0.") != std::string::npos && !value.empty();
    }
    return false;
}

std::string gPlainError(const std::string& chain, const std::string& kind) {
    if (kind == "bad-passphrase")
        return "The passphrase is wrong.";
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= chain.size()) {
        size_t end = chain.find('\n', start);
        if (end == std::string::npos)
            end = chain.size();
        std::string line = chain.substr(start, end - start);
        start = end + 1;
        line.erase(0, line.find_first_not_of(" \t\r"));
        line.erase(line.find_last_not_of(" \t\r") + 1);
        if (!line.empty())
            lines.push_back(line);
    }
    if (lines.empty())
        return "The listener refused the request.";
    std::string sentence = lines.back();
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        if (it->rfind("Reason: ", 0) == 0) {
            sentence = it->substr(8);
            break;
        }
    // Wrappers that only say where the failure came from.
    for (const char* wrapper : {"A format error has been detected in the request: ",
                                "An error has been detected while importing a key: "}) {
        const size_t at = sentence.find(wrapper);
        if (at != std::string::npos)
            sentence = sentence.substr(at + std::strlen(wrapper));
    }
    std::string lower = sentence;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static const std::string kNotFound = "key id not found: ";
    if (lower == "bad passphrase" || lower.find("passphrase is wrong") != std::string::npos)
        return "The passphrase is wrong.";
    if (lower.rfind(kNotFound, 0) == 0)
        return "Your key rings hold no key " + sentence.substr(kNotFound.size()) + ".";
    if (kind == "key-not-found")
        return "Your key rings hold no such key.";
    if (!sentence.empty() && std::islower(static_cast<unsigned char>(sentence[0])))
        sentence[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(sentence[0])));
    while (!sentence.empty() && (sentence.back() == ':' || sentence.back() == ' '))
        sentence.pop_back();
    if (!sentence.empty() && sentence.back() != '.' && sentence.back() != '!' &&
        sentence.back() != '?')
        sentence += '.';
    return sentence;
}

} // namespace vornweb
