// Key shares: the parser of the share inside a share file, and Shamir's combination of what it
// holds. A share is read back byte for byte or refused with a reason; the combination of shares
// taken from the input never reads past them.
#include "../engine/src/engine_internal.h"
#include "fuzz_support.h"

using namespace orxengine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    SKeyShare share;
    std::string why;
    if (gDecodeShare(input, share, why)) {
        orxfuzz::require(gEncodeShare(share) == input);
        orxfuzz::require(share.index >= 1 && share.index <= share.count && share.threshold >= 2 &&
                         share.threshold <= share.count);
        orxfuzz::require(share.digests.size() == 32 * share.count && !share.bytes.empty());
        // The share with a second one made from its bytes combine without fault.
        const uint8_t other = static_cast<uint8_t>(share.index % 255 + 1);
        (void)shamir::combine({{static_cast<uint8_t>(share.index), share.bytes},
                               {other, std::string(share.bytes.rbegin(), share.bytes.rend())}});
    } else {
        orxfuzz::require(!why.empty());
    }
    return 0;
}
