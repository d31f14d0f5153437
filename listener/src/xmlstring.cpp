// xmlstring: UTF-8 and UTF-16 conversions for the XML library, and element helpers.
#include <vorngui/xmlstring.h>

#include <cstdint>

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

// ---- response elements ----

CGUIElement& CGUIElement::set(const char* name, std::string value) {
    m_attributes.emplace_back(name, std::move(value));
    return *this;
}

CGUIElement& CGUIElement::add(const char* name) {
    m_children.push_back(std::make_unique<CGUIElement>(name));
    return *m_children.back();
}

void CGUIElement::adopt(std::unique_ptr<CGUIElement> child) {
    if (child)
        m_children.push_back(std::move(child));
}

void CGUIElement::setText(std::string text) {
    m_text = std::move(text);
    m_hasText = true;
}

const std::string* CGUIElement::get(const std::string& name) const {
    for (const auto& attribute : m_attributes)
        if (attribute.first == name)
            return &attribute.second;
    return nullptr;
}

void CGUIElement::write(std::string& out) const {
    out += '<';
    out += m_name;
    for (const auto& attribute : m_attributes) {
        out += ' ';
        out += attribute.first;
        out += "=\"";
        gAppendEscaped(out, attribute.second, true);
        out += '"';
    }
    if (!m_hasText && m_written.empty() && m_children.empty()) {
        out += "/>";
        return;
    }
    out += '>';
    gAppendEscaped(out, m_text, false);
    out += m_written;
    for (const auto& child : m_children)
        child->write(out);
    out += "</";
    out += m_name;
    out += '>';
}

std::string gWriteDocument(const CGUIElement& root) {
    std::string out;
    gWriteDocument(root, out);
    return out;
}

void gWriteDocument(const CGUIElement& root, std::string& out) {
    out += "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>";
    root.write(out);
}

void gAppendEscaped(std::string& out, const std::string& text, bool attribute) {
    size_t i = 0;
    while (i < text.size()) {
        // Plain printable ASCII goes out in one piece.
        size_t run = i;
        while (run < text.size()) {
            const auto b = static_cast<unsigned char>(text[run]);
            if (b < 0x20 || b >= 0x7F || b == '&' || b == '<' || b == '>' ||
                (attribute && b == '"'))
                break;
            ++run;
        }
        out.append(text, i, run - i);
        i = run;
        if (i >= text.size())
            break;
        const auto b = static_cast<unsigned char>(text[i]);
        uint32_t c = b;
        size_t length = 1;
        if (b >= 0x80) {
            length = decodeUTF8(text, i, c);
            if (length == 0) {
                c = b;
                length = 1;
            }
        }
        i += length;
        switch (c) {
        case '&':
            out += "&amp;";
            continue;
        case '<':
            out += "&lt;";
            continue;
        case '>':
            out += "&gt;";
            continue;
        case '\r':
            out += "&#13;";
            continue;
        case '"':
            out += "&quot;";
            continue;
        case '\t':
            out += attribute ? "&#9;" : "\t";
            continue;
        case '\n':
            out += attribute ? "&#10;" : "\n";
            continue;
        default:
            break;
        }
        if (!isXMLChar(c))
            c = kReplacement;
        appendUTF8(out, c);
    }
}

} // namespace vorngui
