// xmlstring: conversions between the listener's byte strings and the XML library's UTF-16
// strings, and small helpers for elements and attributes.
#ifndef VORNGUI_XMLSTRING_H
#define VORNGUI_XMLSTRING_H

#include <xercesc/dom/DOM.hpp>

#include <string>

namespace vorngui {

// Byte strings are UTF-8. Key material from outside (user IDs of old keys) is not always UTF-8:
// a byte that does not start a well-formed UTF-8 sequence is taken as the Latin-1 character of
// the same value, so no text is ever refused. Characters that XML 1.0 cannot carry (controls
// other than tab, line feed and carriage return; U+FFFE, U+FFFF) become U+FFFD, so every
// response stays well-formed for the console's parser.
std::u16string gToXML(const std::string& text);
// The UTF-8 form of an XML library string; null gives the empty text. An unpaired surrogate
// becomes U+FFFD.
std::string gFromXML(const XMLCh* text);

// A name or constant text in the XML library's form, built once from an ASCII literal.
class CXStr final {
public:
    explicit CXStr(const char* ascii) : m_text(gToXML(ascii)) {}
    const XMLCh* get() const { return m_text.c_str(); }
    operator const XMLCh*() const { return m_text.c_str(); }

private:
    std::u16string m_text;
};

// The value of an attribute as UTF-8 (empty when absent).
std::string gGetAttribute(const xercesc::DOMElement* element, const XMLCh* name);
bool gHasAttribute(const xercesc::DOMElement* element, const XMLCh* name);
void gSetAttribute(xercesc::DOMElement* element, const XMLCh* name, const std::string& value);
// Appends a new child element named `name` to `parent` and returns it.
xercesc::DOMElement* gAppendElement(xercesc::DOMElement* parent, const XMLCh* name);
// The tag name as UTF-8.
std::string gTagName(const xercesc::DOMElement* element);

} // namespace vorngui

#endif
