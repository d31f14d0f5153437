// xmlstring: UTF-8 and UTF-16 conversions for the XML library, and element helpers.
#include <cstdint>
#include <vorngui/xmlstring.h>

namespace vorngui {

using namespace xercesc;

namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool isXMLChar(uint32_t c) {
    if (c < 0x20)
        return c == 0x09 || c == 0x0A || c == 0x0D;
    if (c >= 0xD800 && c <= 0xDFFF)
        return false;
    return c != 0xFFFE && c != 0xFFFF && c <= 0x10FFFF;
}

void appendCodePoint(std::u16string& out, uint32_t c) {
    if (!isXMLChar(c)) {
        out.push_back(kReplacement);
    } else if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
    } else {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
}

// Decodes one well-formed UTF-8 sequence at `i` (shortest form, no surrogates); returns its
// length, or 0 when the bytes there are not one.
size_t decodeUTF8(const std::string& text, size_t i, uint32_t& c) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char b0 = byte(i);
    size_t length;
    uint32_t minimum;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        c = b0 & 0x1F;
        minimum = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        c = b0 & 0x0F;
        minimum = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        c = b0 & 0x07;
        minimum = 0x10000;
    } else {
        return 0;
    }
    if (text.size() - i < length)
        return 0;
    for (size_t k = 1; k < length; ++k) {
        const unsigned char b = byte(i + k);
        if ((b & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (b & 0x3F);
    }
    if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return 0;
    return length;
}

void appendUTF8(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

} // namespace

std::u16string gToXML(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            appendCodePoint(out, b);
            ++i;
            continue;
        }
        uint32_t c = 0;
        const size_t length = decodeUTF8(text, i, c);
        if (length == 0) {
            appendCodePoint(out, b);
            ++i;
        } else {
            appendCodePoint(out, c);
            i += length;
        }
    }
    return out;
}

std::string gFromXML(const XMLCh* text) {
    std::string out;
    if (text == nullptr)
        return out;
    for (const XMLCh* p = text; *p != 0; ++p) {
        const uint32_t c = *p;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            appendUTF8(out,
                       0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(p[1]) - 0xDC00));
            ++p;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            appendUTF8(out, kReplacement);
        } else {
            appendUTF8(out, c);
        }
    }
    return out;
}

std::string gGetAttribute(const DOMElement* element, const XMLCh* name) {
    return gFromXML(element->getAttribute(name));
}

bool gHasAttribute(const DOMElement* element, const XMLCh* name) {
    return element->hasAttribute(name);
}

void gSetAttribute(DOMElement* element, const XMLCh* name, const std::string& value) {
    element->setAttribute(name, gToXML(value).c_str());
}

DOMElement* gAppendElement(DOMElement* parent, const XMLCh* name) {
    DOMElement* child = parent->getOwnerDocument()->createElement(name);
    parent->appendChild(child);
    return child;
}

std::string gTagName(const DOMElement* element) { return gFromXML(element->getTagName()); }

} // namespace vorngui
