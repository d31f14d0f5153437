// Fuzz target: request heads as orxweb's reception reads them. The end of the head must be found
// at the same place whether the bytes arrive at once or in small pieces, and what the head says
// (method, path, body length, cookie) must come from within it.
#include "fuzz_support.h"
#include "webhead.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace vornweb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 256 * 1024 || size == 0)
        return 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    SHeadScan whole;
    const size_t end = gFindHeadEnd(input, whole);
    // In pieces whose sizes the first byte picks.
    const size_t step = 1 + data[0] % 17;
    SHeadScan pieces;
    size_t found = 0;
    for (size_t have = step; found == 0; have += step) {
        found = gFindHeadEnd(input.substr(0, std::min(have, size)), pieces);
        if (have >= size)
            break;
    }
    orxfuzz::require(found == end);
    const SRequestHead head = gInspectHead(input);
    orxfuzz::require(head.complete == (end != 0));
    if (!head.complete)
        return 0;
    orxfuzz::require(head.length == end && end <= size);
    const std::string_view text = input.substr(0, end);
    orxfuzz::require(text.substr(end - 2) == "\r\n");
    orxfuzz::require(head.method.size() + head.path.size() < end);
    orxfuzz::require(head.cookie.size() < end);
    orxfuzz::require(text.find(head.cookie) != std::string_view::npos);
    orxfuzz::require(!head.hasLength || head.badLength ||
                     head.contentLength < 1000000000000000000ULL);
    return 0;
}
