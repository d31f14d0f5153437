// adminpull: the pull reader over the listener's XML.
#include "adminpull.h"

#include <algorithm>
#include <cstring>
#include <string.h>

namespace vornadmin {

namespace {

constexpr size_t kInitialBuffer = 64 * 1024;
// A character reference is at most "&#x10FFFF;" with a few leading zeros.
constexpr size_t kMaxReference = 16;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool isNameStart(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':';
}

bool isNameChar(char c) { return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.'; }

// A code point XML 1.0 can carry.
bool isXmlChar(uint32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

void appendUtf8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Length of the well-formed UTF-8 sequence of an XML character at `p` (before `end`), or 0.
size_t utf8Length(const unsigned char* p, const unsigned char* end) {
    const unsigned char b = p[0];
    size_t length;
    uint32_t c;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
        c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        c = b & 0x0F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        c = b & 0x07;
    } else {
        return 0;
    }
    if (static_cast<size_t>(end - p) < length)
        return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (p[i] & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    if ((length == 3 && c < 0x800) || (length == 4 && (c < 0x10000 || c > 0x10FFFF)) ||
        (c >= 0xD800 && c <= 0xDFFF) || !isXmlChar(c))
        return 0;
    return length;
}

void wipeString(std::string& s) {
    if (!s.empty())
        explicit_bzero(&s[0], s.size());
    s.clear();
}

} // namespace

CXmlPullReader::CXmlPullReader(Source source, size_t maxToken)
    : m_source(std::move(source)), m_maxToken(std::max<size_t>(maxToken, 64)),
      m_buffer(std::min(kInitialBuffer, m_maxToken + 1)) {}

CXmlPullReader::~CXmlPullReader() {
    if (!m_buffer.empty())
        explicit_bzero(m_buffer.data(), m_buffer.size());
    wipeString(m_text);
    for (auto& attribute : m_attributes)
        wipeString(attribute.second);
}

void CXmlPullReader::refuse(const std::string& what) const {
    throw new CAdminException("Invalid XML: " + what + " (near byte " +
                              std::to_string(m_offset + m_position) + ")");
}

bool CXmlPullReader::fill() {
    if (m_sourceDone)
        return false;
    if (m_position > 0) {
        const size_t kept = m_end - m_position;
        std::memmove(m_buffer.data(), m_buffer.data() + m_position, kept);
        explicit_bzero(m_buffer.data() + kept, m_end - kept);
        m_offset += m_position;
        m_end = kept;
        m_position = 0;
    }
    if (m_end == m_buffer.size()) {
        // The token in the buffer does not fit the limit: refuse it before growing further.
        if (m_buffer.size() > m_maxToken)
            refuse("a tag or text longer than " + std::to_string(m_maxToken) + " bytes");
        std::vector<char> larger(std::min(m_buffer.size() * 2, m_maxToken + 1));
        std::memcpy(larger.data(), m_buffer.data(), m_end);
        explicit_bzero(m_buffer.data(), m_buffer.size());
        m_buffer.swap(larger);
    }
    const size_t count = m_source(m_buffer.data() + m_end, m_buffer.size() - m_end);
    if (count == 0) {
        m_sourceDone = true;
        return false;
    }
    m_end += std::min(count, m_buffer.size() - m_end);
    return true;
}

bool CXmlPullReader::ensure(size_t count) {
    while (m_end - m_position < count)
        if (!fill())
            return false;
    return true;
}

size_t CXmlPullReader::findByte(char byte, size_t from) {
    for (;;) {
        if (m_position + from < m_end) {
            const void* found =
                std::memchr(m_buffer.data() + m_position + from, byte, m_end - m_position - from);
            if (found != nullptr)
                return static_cast<size_t>(static_cast<const char*>(found) -
                                           (m_buffer.data() + m_position));
            from = m_end - m_position;
        }
        if (from > m_maxToken)
            refuse("a tag or text longer than " + std::to_string(m_maxToken) + " bytes");
        if (!fill())
            return std::string::npos;
    }
}

const std::string* CXmlPullReader::find(const char* attributeName) const {
    for (size_t i = 0; i < m_attributeCount; ++i)
        if (m_attributes[i].first == attributeName)
            return &m_attributes[i].second;
    return nullptr;
}

CXmlPullReader::eEvent CXmlPullReader::next() {
    if (m_pendingEnd) {
        m_pendingEnd = false;
        m_depth = static_cast<unsigned int>(m_open.size());
        m_name = m_open.back();
        m_open.pop_back();
        if (m_open.empty())
            m_rootSeen = true;
        return eEvent::eEnd;
    }
    if (m_done)
        return eEvent::eDone;
    if (!m_started) {
        m_started = true;
        if (ensure(3) && std::memcmp(m_buffer.data() + m_position, "\xEF\xBB\xBF", 3) == 0)
            m_position += 3;
        if (ensure(5) && std::memcmp(m_buffer.data() + m_position, "<?xml", 5) == 0)
            readDeclaration();
    }
    for (;;) {
        if (!ensure(1)) {
            if (!m_rootSeen)
                refuse(m_open.empty() ? "no root element" : "the document ends inside an element");
            m_done = true;
            return eEvent::eDone;
        }
        if (m_buffer[m_position] == '<')
            return readMarkup();
        if (readText())
            return eEvent::eText;
    }
}

void CXmlPullReader::readDeclaration() {
    const size_t length = findByte('>', 0);
    if (length == std::string::npos || length > 200)
        refuse("an unfinished XML declaration");
    const char* p = m_buffer.data() + m_position + 5;
    const char* end = m_buffer.data() + m_position + length; // at '>'
    if (end[-1] != '?')
        refuse("a malformed XML declaration");
    --end;
    // One pseudo-attribute: S name S? = S? quoted value; returns false when none follows.
    auto pseudo = [&](const char* name, std::string& value) {
        const char* q = p;
        if (q == end || !isSpace(*q))
            return false;
        while (q != end && isSpace(*q))
            ++q;
        const size_t n = std::strlen(name);
        if (static_cast<size_t>(end - q) < n || std::memcmp(q, name, n) != 0)
            return false;
        q += n;
        while (q != end && isSpace(*q))
            ++q;
        if (q == end || *q != '=')
            refuse("a malformed XML declaration");
        ++q;
        while (q != end && isSpace(*q))
            ++q;
        if (q == end || (*q != '"' && *q != '\''))
            refuse("a malformed XML declaration");
        const char quote = *q++;
        const char* close = static_cast<const char*>(std::memchr(q, quote, end - q));
        if (close == nullptr)
            refuse("a malformed XML declaration");
        value.assign(q, close);
        p = close + 1;
        return true;
    };
    std::string value;
    if (!pseudo("version", value) || value != "1.0")
        refuse("an XML declaration without version 1.0");
    if (pseudo("encoding", value)) {
        std::string lower(value);
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
        if (lower != "utf-8")
            refuse("an encoding other than UTF-8");
    }
    if (pseudo("standalone", value) && value != "yes" && value != "no")
        refuse("a malformed XML declaration");
    while (p != end && isSpace(*p))
        ++p;
    if (p != end)
        refuse("a malformed XML declaration");
    m_position += length + 1;
}

CXmlPullReader::eEvent CXmlPullReader::readMarkup() {
    if (!ensure(2))
        refuse("an unfinished tag");
    const char second = m_buffer[m_position + 1];
    if (second == '/') {
        readEndTag();
        return eEvent::eEnd;
    }
    if (second == '!' || second == '?')
        refuse("a comment, document type, processing instruction or CDATA section");
    if (m_rootSeen)
        refuse("content after the root element");
    readStartTag();
    return eEvent::eStart;
}

void CXmlPullReader::readStartTag() {
    // Find the closing '>' outside quoted values.
    size_t length = 1;
    char quote = 0;
    for (;;) {
        if (m_position + length >= m_end) {
            if (length > m_maxToken)
                refuse("a tag longer than " + std::to_string(m_maxToken) + " bytes");
            if (!fill())
                refuse("an unfinished tag");
            continue;
        }
        // Quoted values make most of a tag: their ends are found with memchr, and the bytes
        // between them are passed over up to the next quote or '>'.
        const char* at = m_buffer.data() + m_position + length;
        const char* stop = m_buffer.data() + m_end;
        if (quote != 0) {
            const auto* close = static_cast<const char*>(std::memchr(at, quote, stop - at));
            length += close != nullptr ? static_cast<size_t>(close - at) + 1 : stop - at;
            if (close != nullptr)
                quote = 0;
            continue;
        }
        while (at != stop && *at != '"' && *at != '\'' && *at != '>')
            ++at;
        length = static_cast<size_t>(at - m_buffer.data()) - m_position;
        if (at == stop)
            continue;
        if (*at == '>')
            break;
        quote = *at;
        ++length;
    }
    const char* p = m_buffer.data() + m_position + 1;
    const char* end = m_buffer.data() + m_position + length;
    const char* nameStart = p;
    if (p == end || !isNameStart(*p))
        refuse("a malformed element name");
    while (p != end && isNameChar(*p))
        ++p;
    m_name.assign(nameStart, p);
    m_attributeCount = 0;
    bool empty = false;
    for (;;) {
        const char* before = p;
        while (p != end && isSpace(*p))
            ++p;
        if (p == end)
            break;
        if (*p == '/' && p + 1 == end) {
            empty = true;
            break;
        }
        if (p == before || !isNameStart(*p))
            refuse("a malformed attribute in <" + m_name + ">");
        const char* attributeStart = p;
        while (p != end && isNameChar(*p))
            ++p;
        if (m_attributeCount == kPullMaxAttributes)
            refuse("more than " + std::to_string(kPullMaxAttributes) + " attributes in <" + m_name +
                   ">");
        if (m_attributes.size() == m_attributeCount)
            m_attributes.emplace_back();
        auto& attribute = m_attributes[m_attributeCount];
        attribute.first.assign(attributeStart, p);
        while (p != end && isSpace(*p))
            ++p;
        if (p == end || *p != '=')
            refuse("an attribute without a value in <" + m_name + ">");
        ++p;
        while (p != end && isSpace(*p))
            ++p;
        if (p == end || (*p != '"' && *p != '\''))
            refuse("an unquoted attribute value in <" + m_name + ">");
        const char q = *p++;
        const char* close = static_cast<const char*>(std::memchr(p, q, end - p));
        if (close == nullptr)
            refuse("an unfinished attribute value in <" + m_name + ">");
        decode(p, close, attribute.second, true);
        p = close + 1;
        for (size_t i = 0; i < m_attributeCount; ++i)
            if (m_attributes[i].first == attribute.first)
                refuse("attribute '" + attribute.first + "' repeated in <" + m_name + ">");
        ++m_attributeCount;
    }
    if (m_open.size() >= kXmlMaxDepth)
        refuse("nesting deeper than " + std::to_string(kXmlMaxDepth) + " levels");
    m_open.push_back(m_name);
    m_depth = static_cast<unsigned int>(m_open.size());
    m_pendingEnd = empty;
    m_position += length + 1;
}

void CXmlPullReader::readEndTag() {
    const size_t length = findByte('>', 2);
    if (length == std::string::npos)
        refuse("an unfinished end tag");
    const char* p = m_buffer.data() + m_position + 2;
    const char* end = m_buffer.data() + m_position + length;
    while (end != p && isSpace(end[-1]))
        --end;
    if (m_open.empty() || static_cast<size_t>(end - p) != m_open.back().size() ||
        std::memcmp(p, m_open.back().data(), m_open.back().size()) != 0)
        refuse("an end tag that does not match its start tag");
    m_depth = static_cast<unsigned int>(m_open.size());
    m_name.swap(m_open.back());
    m_open.pop_back();
    if (m_open.empty())
        m_rootSeen = true;
    m_position += length + 1;
}

bool CXmlPullReader::readText() {
    size_t length = findByte('<', 0);
    if (length == std::string::npos) {
        if (!m_open.empty())
            refuse("the document ends inside an element");
        length = m_end - m_position;
    }
    if (length > m_maxToken)
        refuse("a text longer than " + std::to_string(m_maxToken) + " bytes");
    const char* p = m_buffer.data() + m_position;
    const char* end = p + length;
    if (m_open.empty()) {
        if (!std::all_of(p, end, isSpace))
            refuse("text outside the root element");
        m_position += length;
        return false;
    }
    // "]]>" may not appear in text.
    for (const char* q = p; (q = static_cast<const char*>(std::memchr(q, '>', end - q))) != nullptr;
         ++q)
        if (q - p >= 2 && q[-1] == ']' && q[-2] == ']')
            refuse("']]>' in text");
    decode(p, end, m_text, false);
    m_depth = static_cast<unsigned int>(m_open.size());
    m_position += length;
    return true;
}

void CXmlPullReader::decode(const char* begin, const char* end, std::string& out, bool attribute) {
    out.clear();
    const auto* p = reinterpret_cast<const unsigned char*>(begin);
    const auto* stop = reinterpret_cast<const unsigned char*>(end);
    while (p != stop) {
        const unsigned char* run = p;
        while (p != stop && *p >= 0x20 && *p < 0x80 && *p != '&' && *p != '<')
            ++p;
        out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
        if (p == stop)
            break;
        const unsigned char c = *p;
        if (c == '&') {
            const auto* semicolon = static_cast<const unsigned char*>(std::memchr(
                p, ';', std::min<size_t>(static_cast<size_t>(stop - p), kMaxReference)));
            if (semicolon == nullptr)
                refuse("a malformed reference");
            const std::string name(reinterpret_cast<const char*>(p + 1),
                                   static_cast<size_t>(semicolon - p - 1));
            if (name == "lt")
                out += '<';
            else if (name == "gt")
                out += '>';
            else if (name == "amp")
                out += '&';
            else if (name == "quot")
                out += '"';
            else if (name == "apos")
                out += '\'';
            else if (name.size() >= 2 && name[0] == '#') {
                const bool hex = name[1] == 'x';
                const size_t first = hex ? 2 : 1;
                if (name.size() == first)
                    refuse("a malformed character reference");
                uint32_t value = 0;
                for (size_t i = first; i < name.size(); ++i) {
                    const char d = name[i];
                    uint32_t digit;
                    if (d >= '0' && d <= '9')
                        digit = static_cast<uint32_t>(d - '0');
                    else if (hex && d >= 'a' && d <= 'f')
                        digit = static_cast<uint32_t>(d - 'a' + 10);
                    else if (hex && d >= 'A' && d <= 'F')
                        digit = static_cast<uint32_t>(d - 'A' + 10);
                    else
                        refuse("a malformed character reference");
                    value = value * (hex ? 16 : 10) + digit;
                    if (value > 0x10FFFF)
                        refuse("a character reference out of range");
                }
                if (!isXmlChar(value))
                    refuse("a reference to a character XML cannot carry");
                appendUtf8(out, value);
            } else {
                refuse("a reference to an unknown entity");
            }
            p = semicolon + 1;
        } else if (c == '<') {
            refuse("'<' in an attribute value");
        } else if (c == '\t' || c == '\n' || c == '\r') {
            // Line ends become one line feed; in attribute values every white space character
            // becomes a space.
            if (c == '\r' && p + 1 != stop && p[1] == '\n')
                ++p;
            out += attribute ? ' ' : (c == '\t' ? '\t' : '\n');
            ++p;
        } else if (c < 0x20) {
            refuse("a control character");
        } else {
            const size_t length = utf8Length(p, stop);
            if (length == 0)
                refuse("bytes that are not UTF-8 of XML characters");
            out.append(reinterpret_cast<const char*>(p), length);
            p += length;
        }
    }
}

void CXmlPullReader::skipElement() {
    const unsigned int depth = m_depth;
    for (;;) {
        const eEvent event = next();
        if (event == eEvent::eDone)
            refuse("the document ends inside an element");
        if (event == eEvent::eEnd && m_depth == depth)
            return;
    }
}

SXmlElement CXmlPullReader::readElement() {
    SXmlElement element(m_name);
    element.attributes.assign(m_attributes.begin(),
                              m_attributes.begin() + static_cast<std::ptrdiff_t>(m_attributeCount));
    const unsigned int depth = m_depth;
    for (;;) {
        switch (next()) {
        case eEvent::eStart:
            element.children.push_back(readElement());
            break;
        case eEvent::eText:
            element.text += m_text;
            break;
        case eEvent::eEnd:
            if (m_depth == depth)
                return element;
            break;
        case eEvent::eDone:
            refuse("the document ends inside an element");
        }
    }
}

CXmlPullReader::Source gStringSource(const std::string& text, size_t piece) {
    size_t offset = 0;
    return [&text, offset, piece](char* buffer, size_t capacity) mutable {
        const size_t count = std::min({capacity, piece, text.size() - offset});
        std::memcpy(buffer, text.data() + offset, count);
        offset += count;
        return count;
    };
}

} // namespace vornadmin
