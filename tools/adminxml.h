// adminxml: a plain element tree for the administration protocol's XML, with a parser that refuses
// document type declarations and a writer built on the XML library's serializer.
#ifndef VORNADMIN_ADMINXML_H
#define VORNADMIN_ADMINXML_H

#include <oozaf/throwable.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace vornadmin {

// A failure of the administration client: the connection, the protocol or a reply that cannot be
// read. Thrown as a pointer (`throw new CAdminException(...)`); the catcher owns it. The optional
// root (a socket or secure-channel failure) is owned by the exception.
class CAdminException final : public oozaf::CZAFException {
public:
    explicit CAdminException(std::string message, const oozaf::CZAFThrowable* root = nullptr)
        : oozaf::CZAFException(root, oozaf::eReasonNone), m_message(std::move(message)) {}
    std::string getMessage() const override { return m_message; }

private:
    std::string m_message;
};

// One element: its name, its attributes in document order, its element children and the text of
// its direct text children (concatenated). Byte strings are UTF-8.
struct SXmlElement {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attributes;
    std::vector<SXmlElement> children;
    std::string text;

    SXmlElement() = default;
    explicit SXmlElement(std::string elementName) : name(std::move(elementName)) {}

    // Sets an attribute, replacing an earlier value of the same name; returns *this.
    SXmlElement& set(const std::string& attribute, const std::string& value);
    // Appends a child and returns it (valid until the next change of `children`).
    SXmlElement& add(SXmlElement child);

    bool has(const std::string& attribute) const;
    // The attribute's value, or `fallback` when the element has no such attribute.
    std::string get(const std::string& attribute, const std::string& fallback = "") const;
    // The first child of that name, or null.
    const SXmlElement* child(const std::string& childName) const;
    // Every child of that name, in order.
    std::vector<const SXmlElement*> childrenNamed(const std::string& childName) const;
};

// Limits of the parser: deeper nesting and longer documents are refused.
constexpr unsigned int kXmlMaxDepth = 64;
constexpr size_t kXmlMaxDocument = 64u * 1024 * 1024;

// Parses a document and returns its root element. Refuses a document type declaration (so no
// entity is ever expanded), nesting deeper than kXmlMaxDepth and documents longer than
// kXmlMaxDocument. Throws CAdminException naming the problem. Any thread may call it.
SXmlElement gParseXml(const std::string& text);

// Serialises `root` as a UTF-8 document with an XML declaration. Memory the XML library used for
// it is wiped before it is released, because requests carry passwords. Throws CAdminException
// when a name is not a valid XML name or a text cannot be encoded.
std::string gWriteXml(const SXmlElement& root);
// Whether two trees hold the same: names, texts and children in order, attributes in any order.
bool gSameXml(SXmlElement a, SXmlElement b);

// Overwrites the bytes of a string that held a secret, then empties it.
void gWipe(std::string& secret);

} // namespace vornadmin

#endif
