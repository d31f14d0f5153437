// webhead: reads what orxweb's reception needs from a request head before a request thread sees
// the request: where the head ends, the method and path, the body's announced length and the
// Cookie header. The head is split into lines the way the HTTP library reads it later (a line
// ends at a line feed; only lines ending with CR LF are header fields; the first line that is
// CR LF alone ends the head), so both sides agree on where the body starts and how long it is.
#ifndef VORNWEB_WEBHEAD_H
#define VORNWEB_WEBHEAD_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vornweb {

struct SRequestHead {
    // The head's end has arrived; the fields below are set only then.
    bool complete = false;
    // Bytes of the head, the blank line included.
    size_t length = 0;
    std::string method;
    // The request target up to "?" (not decoded).
    std::string path;
    // A Content-Length field was present (and `contentLength` holds it).
    bool hasLength = false;
    uint64_t contentLength = 0;
    // Content-Length malformed, or two that differ.
    bool badLength = false;
    // A Transfer-Encoding field was present.
    bool transferEncoding = false;
    // The first Cookie field's value (empty when none).
    std::string cookie;
};

// Looks for a complete head at the start of `data` (bytes of one request and perhaps more).
SRequestHead gInspectHead(std::string_view data);

// Renames every Accept-Encoding field of the head `data[0, length)` in place to
// "X-Accept-Encode" (as long, so nothing moves), so that the HTTP library, which would compress
// answers at a slow setting, sees none; orxweb compresses what it chooses itself.
void gHideAcceptEncoding(char* data, size_t length);

// Where a search for the end of a head stands, so that bytes arriving in small pieces are looked
// at once only.
struct SHeadScan {
    size_t scanned = 0;
    size_t lineStart = 0;
    bool pastRequestLine = false;
};

// Looks for the end of the head in `data` (the bytes of the request so far; start with a fresh
// `scan` for each request). Returns the head's length, or 0 while it is incomplete.
size_t gFindHeadEnd(std::string_view data, SHeadScan& scan);

} // namespace vornweb

#endif
