// Fuzz target for the Base64 decoder: any text either decodes or throws the corrupt-data
// exception, a single group never reads past its length, and encoding any bytes and decoding the
// result gives the bytes back. Any other throwable escapes and ends the run.
#include "fuzz_support.h"

#include <oozaf/throwable.h>
#include <oozaf/util.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using oozaf::CZAFCorruptBase64DataException;
using oozaf::CZAFUtil;

namespace {

const std::size_t kMaxInput = 64 * 1024;

using orxfuzz::require;

// Decodes `text`; returns false when it is corrupt.
bool tryDecode(const std::string& text, std::string& out) {
    try {
        require(CZAFUtil::Base64Decode(text, out) == out.size());
        return true;
    } catch (CZAFCorruptBase64DataException* e) {
        delete e;
        return false;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput)
        return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);

    // One group: consumption within the length, and only the documented counts.
    unsigned char group[3];
    unsigned short count = 0;
    const unsigned int used = CZAFUtil::DecodeBase64Morsel(
        input.data(), static_cast<unsigned int>(input.size()), group, count);
    require(used <= input.size());
    require(count <= 3 || count == 5);

    // The input as Base64 text. What decodes must decode the same after a re-encoding.
    std::string decoded;
    if (tryDecode(input, decoded)) {
        require(decoded.size() <= input.size());
        std::string encoded;
        CZAFUtil::Base64Encode(decoded, encoded);
        std::string again;
        require(tryDecode(encoded, again));
        require(again == decoded);
    }

    // The input as raw bytes: the encoding is padded to whole groups and decodes to the input.
    std::string encoded;
    require(CZAFUtil::Base64Encode(input, encoded) == (input.size() + 2) / 3 * 4);
    require(encoded.size() == (input.size() + 2) / 3 * 4);
    std::string roundTrip;
    require(tryDecode(encoded, roundTrip));
    require(roundTrip == input);
    return 0;
}
