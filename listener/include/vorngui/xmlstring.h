// xmlstring: conversions between the listener's byte strings and the XML library's UTF-16
// strings, and small helpers for elements and attributes.
#ifndef VORNGUI_XMLSTRING_H
#define VORNGUI_XMLSTRING_H

#include <xercesc/dom/DOM.hpp>

#include <memory>
#include <string>
#include <utility>
#include <vector>

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

// One element of a response: its name, its attributes in the order they were set, its
// child elements and its text. Responses are built from these and written by gWriteDocument;
// a keys summary of thousands of keys is built and written several times faster this way than
// through the XML library's DOM, and the attributes keep the order in which the handlers set
// them (the library's DOM sorts them by name). Names are ASCII constants; values and texts are
// byte strings (UTF-8, see gToXML for what other bytes become).
class CGUIElement final {
public:
    explicit CGUIElement(std::string name) : m_name(std::move(name)) {}
    CGUIElement(const CGUIElement&) = delete;
    CGUIElement& operator=(const CGUIElement&) = delete;

    // Appends an attribute; returns *this. Each name is set once (the handlers set every
    // attribute of an element exactly once, and looking for an earlier one would cost the keys
    // summary a search per attribute).
    CGUIElement& set(const char* name, std::string value);
    // Appends a new child element and returns it; it lives as long as this element.
    CGUIElement& add(const char* name);
    // Appends an element built elsewhere; null is ignored.
    void adopt(std::unique_ptr<CGUIElement> child);
    // Sets the text written before the children; an element with text is never written as an
    // empty-element tag.
    void setText(std::string text);
    // Sets XML written after the text and before the children, as it stands: elements that
    // gWriteDocument wrote before (a kept keys summary), never text from outside.
    void setWritten(std::string xml) { m_written = std::move(xml); }

    const std::string& getName() const { return m_name; }
    const std::string& getText() const { return m_text; }
    // The value of an attribute, or null when it was not set.
    const std::string* get(const std::string& name) const;
    const std::vector<std::pair<std::string, std::string>>& getAttributes() const {
        return m_attributes;
    }
    const std::vector<std::unique_ptr<CGUIElement>>& getChildren() const { return m_children; }

    // Appends the element's XML to `out`. Elements nest at most as deep as the code that built
    // them, a few levels.
    void write(std::string& out) const;

private:
    std::string m_name;
    std::string m_text;
    bool m_hasText = false;
    std::string m_written;
    std::vector<std::pair<std::string, std::string>> m_attributes;
    std::vector<std::unique_ptr<CGUIElement>> m_children;
};

// The whole document: an XML declaration (UTF-8) and the root element.
std::string gWriteDocument(const CGUIElement& root);
// The same appended to `out` (a reply frame is built that way, its length field first).
void gWriteDocument(const CGUIElement& root, std::string& out);
// Appends `text` to `out` as XML character data, or as an attribute value (quotes and white
// space other than blanks escaped too). Bytes that are not UTF-8 are taken as Latin-1 and
// characters that XML cannot carry become U+FFFD, as in gToXML.
void gAppendEscaped(std::string& out, const std::string& text, bool attribute);

} // namespace vorngui

#endif
