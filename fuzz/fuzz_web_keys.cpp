// Fuzz target: keys summary replies as orxweb reads them. The lexical scan that cuts a reply into
// its keys must return well-formed ranges (each a "key" element, in order, inside the text), and
// reading a reply must either give a list or refuse it with CAdminException; reading it again with
// the first list as the previous one must give the same version and reuse every key.
#include "fuzz_support.h"
#include "webkeys.h"

#include <adminxml.h>
#include <cstddef>
#include <cstdint>
#include <string>

using namespace vornweb;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 256 * 1024)
        return 0;
    const std::string reply(reinterpret_cast<const char*>(data), size);
    std::vector<std::pair<size_t, size_t>> ranges;
    if (gKeyRanges(reply, ranges)) {
        size_t last = 0;
        for (const auto& range : ranges) {
            orxfuzz::require(range.first >= last && range.first < range.second &&
                             range.second <= size);
            orxfuzz::require(reply.compare(range.first, 4, "<key") == 0);
            orxfuzz::require(reply[range.second - 1] == '>');
            last = range.second;
        }
    }
    try {
        SKeysRefusal refusal;
        const auto first = CKeyList::read(reply, nullptr, refusal);
        if (!first) {
            orxfuzz::require(refusal.rc != 0);
            return 0;
        }
        const auto again = CKeyList::read(reply, first.get(), refusal);
        orxfuzz::require(again && again->version() == first->version());
        orxfuzz::require(again->size() == first->size());
        orxfuzz::require(again->reused() == first->size() || !gKeyRanges(reply, ranges));
        for (const auto& entry : first->keys()) {
            orxfuzz::require(first->listJson().find(entry->row) != std::string::npos);
            if (!gNormalKeyID(entry->idfull).empty() && gNormalKeyID(entry->idfull).size() == 16)
                orxfuzz::require(first->find(entry->idfull) != nullptr);
        }
    } catch (vornadmin::CAdminException* e) {
        delete e;
    }
    return 0;
}
