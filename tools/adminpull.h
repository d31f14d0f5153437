// adminpull: a pull reader for the listener's replies, for replies too large to hold as a tree.
//
// It reads the XML the listener writes, and only that: an optional UTF-8 byte-order mark, an
// optional XML declaration (version 1.0, encoding UTF-8, standalone), one root element with
// attributes, text and the predefined and numeric character references. Everything else that
// XML allows (document type declarations, comments, processing instructions, CDATA sections,
// other encodings) is refused, and so is every document that is not well-formed: a document this
// reader accepts reads the same through gParseXml.
//
// Bytes arrive from a source in pieces of any size; the reader keeps only the token it is working
// on, so its memory does not grow with the document. Every token (a tag with its attributes, a
// run of text) must fit in the token limit, nesting is bounded by kXmlMaxDepth, and an element
// has at most kPullMaxAttributes attributes. Failures throw CAdminException.
#ifndef VORNADMIN_ADMINPULL_H
#define VORNADMIN_ADMINPULL_H

#include "adminxml.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace vornadmin {

constexpr size_t kPullDefaultMaxToken = 1024 * 1024;
constexpr size_t kPullMaxAttributes = 256;

class CXmlPullReader {
public:
    // Fills up to `capacity` bytes of `buffer` and returns their count; 0 ends the document.
    using Source = std::function<size_t(char* buffer, size_t capacity)>;

    enum class eEvent { eStart, eEnd, eText, eDone };

    explicit CXmlPullReader(Source source, size_t maxToken = kPullDefaultMaxToken);
    CXmlPullReader(const CXmlPullReader&) = delete;
    CXmlPullReader& operator=(const CXmlPullReader&) = delete;
    // Wipes the bytes it held: replies may carry key material.
    ~CXmlPullReader();

    // The next event. An empty-element tag gives eStart and then eEnd; text between tags (with
    // its references replaced and line ends normalised) gives eText; eDone comes once after the
    // root element has ended and only white space followed it, and then again on every call.
    eEvent next();

    // The element of the last eStart or eEnd.
    const std::string& name() const { return m_name; }
    // The text of the last eText.
    const std::string& text() const { return m_text; }
    // Depth of the element of the last eStart or eEnd (the root is 1); for eText the depth of the
    // element holding the text.
    unsigned int depth() const { return m_depth; }
    // The attributes of the last eStart, in document order.
    size_t attributeCount() const { return m_attributeCount; }
    const std::pair<std::string, std::string>& attribute(size_t index) const {
        return m_attributes[index];
    }
    // The value of an attribute of the last eStart, or null.
    const std::string* find(const char* attributeName) const;
    // After an eStart: reads up to and including the element's eEnd.
    void skipElement();
    // After an eStart: reads the element with everything in it as a tree (text, as gParseXml
    // gives it, concatenated per element).
    SXmlElement readElement();

private:
    // Makes at least `count` bytes available from m_position; false when the document ends first.
    bool ensure(size_t count);
    // Reads more bytes; false at the end of the document.
    bool fill();
    // Position of `byte` at or after m_position + from, reading more as needed; npos when the
    // document ends first. A token longer than the limit throws.
    size_t findByte(char byte, size_t from);
    eEvent readMarkup();
    void readDeclaration();
    void readStartTag();
    void readEndTag();
    // Reads text up to the next '<' (or the end); returns false when it was white space only
    // outside the root.
    bool readText();
    // Appends the decoded, checked bytes [begin, end) to `out`; `attribute` applies attribute-
    // value normalisation.
    void decode(const char* begin, const char* end, std::string& out, bool attribute);
    [[noreturn]] void refuse(const std::string& what) const;

    Source m_source;
    size_t m_maxToken;
    std::vector<char> m_buffer;
    size_t m_position = 0;
    size_t m_end = 0;
    bool m_sourceDone = false;
    bool m_started = false;
    bool m_rootSeen = false;
    bool m_pendingEnd = false;
    bool m_done = false;
    unsigned int m_depth = 0;
    uint64_t m_offset = 0; // bytes consumed before m_buffer[0], for messages
    std::vector<std::string> m_open;
    std::string m_name;
    std::string m_text;
    std::vector<std::pair<std::string, std::string>> m_attributes;
    size_t m_attributeCount = 0;
};

// A source over a string the caller keeps alive as long as the reader (not a temporary), handing
// out at most `piece` bytes per call.
CXmlPullReader::Source gStringSource(const std::string& text, size_t piece = SIZE_MAX);
CXmlPullReader::Source gStringSource(std::string&& text, size_t piece = SIZE_MAX) = delete;

} // namespace vornadmin

#endif
