// guishape: a bound on the shape of a request document, checked on the raw text before the XML
// library builds anything from it.
#ifndef VORNGUI_GUISHAPE_H
#define VORNGUI_GUISHAPE_H

#include <cstddef>
#include <string>

namespace vorngui {

// What a request may hold. Key data and configuration values travel as text, so the bounds
// never constrain an import; they stop documents whose tree alone would cost the daemon much
// time or memory (hundreds of thousands of attributes, deep nesting, millions of elements).
struct SGUIShapeLimits {
    std::size_t maxDepth = 16;
    std::size_t maxAttributes = 32;
    // Elements of any request but a configuration change; "conf-set" carries one element per
    // value and gets maxConfElements.
    std::size_t maxElements = 1024;
    std::size_t maxConfElements = 65536;
};

// What the scan found; `rootType` is the root element's "type" attribute as written (at most
// 64 bytes of it), empty when there is none.
struct SGUIShape {
    std::size_t elements = 0;
    std::size_t depth = 0;
    std::size_t attributes = 0;
    std::string rootType;
};

// Scans the markup of `text` in one pass, without allocating for it: elements (start and empty
// tags), the deepest nesting and the most attributes on one element; comments, CDATA sections
// and processing instructions are skipped. Returns an empty text when the document is within
// `limits`, otherwise why it is not ("... exceeds the limit of N"); the scan stops at the first
// excess. Markup that is not well formed ends the scan with a message too (the XML library
// would refuse it anyway), so the counts never fall behind what the library would build.
std::string gCheckRequestShape(const std::string& text, const SGUIShapeLimits& limits,
                               SGUIShape& shape);

} // namespace vorngui

#endif
