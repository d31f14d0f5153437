// Fuzz target for the listener's shape bound of request documents and its site settings. The
// first byte chooses: even, the rest is a request text whose scan must agree with itself (the
// counts never exceed the limits when it passes, the root type is at most 64 bytes, small limits
// stop no later than large ones); odd, the rest is a site settings file, which either reads into
// values within their bounds or names the faulty line.
#include "fuzz_support.h"

#include <vorngui/guishape.h>
#include <vorngui/guisite.h>

#include <cstddef>
#include <cstdint>
#include <string>

using namespace vorngui;

namespace {

const std::size_t kMaxInput = 1 << 20;

using orxfuzz::require;

void shape(const std::string& text) {
    SGUIShape found;
    const SGUIShapeLimits limits;
    const std::string verdict = gCheckRequestShape(text, limits, found);
    require(found.rootType.size() <= 64);
    if (verdict.empty()) {
        require(found.depth <= limits.maxDepth);
        require(found.attributes <= limits.maxAttributes);
        require(found.elements <=
                (found.rootType == "conf-set" ? limits.maxConfElements : limits.maxElements));
    }
    SGUIShapeLimits tight;
    tight.maxDepth = 2;
    tight.maxAttributes = 2;
    tight.maxElements = 4;
    tight.maxConfElements = 4;
    SGUIShape small;
    const std::string tightVerdict = gCheckRequestShape(text, tight, small);
    // A document the tight bound passes, the default bound passes too.
    require(!tightVerdict.empty() || verdict.empty());
}

void site(const std::string& text) {
    SGUISiteSettings settings;
    const std::string problem = gParseSiteSettings(text, settings);
    require(problem.empty() || problem.compare(0, 5, "line ") == 0);
    require(settings.throttleFailures >= 1 && settings.throttleFailures <= 1000);
    require(settings.maxPreLogin >= 1 && settings.maxSessions >= 1);
    require(problem.empty() ? settings.throttleMaxDelay >= settings.throttleDelay : true);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > kMaxInput)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] % 2 == 0)
        shape(text);
    else
        site(text);
    return 0;
}
