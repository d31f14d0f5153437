// Fuzz target: the administration console's reply handling. Parses the bytes as a listener reply
// and renders its body as the console would (keys, log, switches, configuration), then reads the
// export, photo and report elements. Refusals are CAdminException; anything else ends the run.
#include "adminclient.h"
#include "adminrequests.h"
#include "orxadmin_render.h"

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

using namespace vornadmin;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 256 * 1024)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        SReply reply = gParseReply(text);
        std::ostringstream out;
        if (const SXmlElement* body = reply.body()) {
            gRenderKeys(*body, out);
            gRenderLog(*body, out);
            gRenderSwitches(*body, out);
            gRenderConfiguration(*body, out);
        }
        for (auto reader : {+[](const SReply& r) { return gExportedKey(r).size(); },
                            +[](const SReply& r) { return gPhotoBytes(r).size(); },
                            +[](const SReply& r) { return size_t(gImportStatus(r)); },
                            +[](const SReply& r) { return size_t(gEntropyReport(r, "needed")); }}) {
            try {
                reader(reply);
            } catch (CAdminException* e) {
                delete e;
            }
        }
        // What a reply holds must survive being sent back, as conf set does.
        if (const SXmlElement* body = reply.body()) {
            try {
                gWriteXml(gConfSetRequest(*body));
            } catch (CAdminException* e) {
                delete e;
            }
        }
    } catch (CAdminException* e) {
        delete e;
    }
    return 0;
}
