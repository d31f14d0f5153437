// Fuzz target: the keys summary kept beside the rings; whatever reads back must be written again
// byte for byte (the reader takes nothing but the writer's own form), and what it hands on holds
// whole "key" elements only.
#include <vorngui/keptsummary.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (8u << 20))
        return 0;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    vorngui::SKeptSummary summary;
    if (!vorngui::gDecodeKeptSummary(bytes, summary)) {
        if (!summary.version.empty() || !summary.written.empty())
            std::abort(); // a refused file hands nothing on
        return 0;
    }
    if (vorngui::gEncodeKeptSummary(summary) != bytes)
        std::abort();
    if (!summary.written.empty() &&
        (summary.written.compare(0, 5, "<key ") != 0 || summary.written.size() < 6 ||
         summary.written.compare(summary.written.size() - 6, 6, "</key>") != 0))
        std::abort();
    return 0;
}
