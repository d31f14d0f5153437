// Fuzz target: the console's pull reader of replies. Whatever it accepts must read the same
// through the XML library's parser (same names, attributes, text and children), whatever pieces
// the bytes come in; the keys table it renders while reading must match the one rendered from
// the tree. Refusals are CAdminException; anything else ends the run.
#include "adminclient.h"
#include "adminpull.h"
#include "fuzz_support.h"
#include "orxadmin_render.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>

using namespace vornadmin;

namespace {} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 256 * 1024)
        return 0;
    const size_t piece = size_t(data[0] % 17) + 1;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    SXmlElement pulled;
    bool accepted = false;
    try {
        CXmlPullReader reader(gStringSource(text, piece), 4096);
        orxfuzz::require(reader.next() == CXmlPullReader::eEvent::eStart);
        pulled = reader.readElement();
        orxfuzz::require(reader.next() == CXmlPullReader::eEvent::eDone);
        accepted = true;
    } catch (CAdminException* e) {
        delete e;
    }
    if (!accepted)
        return 0;
    SXmlElement parsed;
    try {
        parsed = gParseXml(text);
    } catch (CAdminException* e) {
        delete e;
        orxfuzz::require(false); // accepted by the pull reader, refused by the library
    }
    orxfuzz::require(gSameXml(pulled, parsed));

    // The table read while streaming equals the one from the tree.
    try {
        SReply reply = gParseReply(text);
        if (reply.body() == nullptr)
            return 0;
        std::ostringstream fromTree;
        gRenderKeys(*reply.body(), fromTree);
        CXmlPullReader reader(gStringSource(text, piece), 4096);
        const SReplyHead head = gReadReplyHead(reader);
        orxfuzz::require(head.rc == reply.rc && head.error == reply.error && head.hasBody);
        std::ostringstream streamed;
        gRenderKeys(reader, streamed);
        gFinishReply(reader);
        orxfuzz::require(fromTree.str() == streamed.str());
    } catch (CAdminException* e) {
        delete e;
    }
    return 0;
}
