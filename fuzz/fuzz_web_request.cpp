// Fuzz target: the web console's request path. The first line names a page action, the rest is its
// form body (or, for "import", the key file; for "cookie", a Cookie header). The body is parsed,
// mapped to a listener request and written as XML, which must read back with the same type; any
// text turned into JSON must stay valid UTF-8 without raw control characters. Refusals are
// CWebInputException; anything else ends the run.
#include "fuzz_support.h"
#include "webapi.h"
#include "webhttp.h"

#include <adminxml.h>
#include <cstddef>
#include <cstdint>
#include <string>

using namespace vornweb;

namespace {

void checkJson(const std::string& json) {
    orxfuzz::require(gIsUtf8(json));
    for (unsigned char c : json)
        orxfuzz::require(c >= 0x20 && c != 0x7f && c != '<' && c != '>');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 512 * 1024)
        return 0;
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t newline = input.find('\n');
    const std::string action = input.substr(0, newline);
    const std::string body =
        newline == std::string::npos ? std::string() : input.substr(newline + 1);
    checkJson(gJsonString(body));
    if (action == "cookie") {
        for (const auto& cookie : gParseCookies(body))
            orxfuzz::require(!cookie.first.empty() && cookie.first.find(';') == std::string::npos);
        return 0;
    }
    try {
        vornadmin::SXmlElement request;
        if (action == "import") {
            request = gMapImport(body);
        } else {
            const CForm form = gParseForm(body);
            orxfuzz::require(form.fields().size() <= kMaxFormFields);
            for (const auto& field : form.fields()) {
                orxfuzz::require(field.second.size() <= kMaxFieldValue);
                orxfuzz::require(gIsUtf8(field.second));
            }
            request = gMapAction(action, form);
        }
        const std::string xml = vornadmin::gWriteXml(request);
        const vornadmin::SXmlElement back = vornadmin::gParseXml(xml);
        orxfuzz::require(back.name == "command");
        orxfuzz::require(back.get("type") == request.get("type"));
        orxfuzz::require(back.child("data") != nullptr);
        checkJson(gElementToJson(back));
    } catch (const CWebInputException& e) {
        orxfuzz::require(e.status() >= 400 && e.status() < 600);
        orxfuzz::require(!e.message().empty());
    }
    return 0;
}
