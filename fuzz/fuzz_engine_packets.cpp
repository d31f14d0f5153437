// --packet-list: the packet walker and the armour remover over arbitrary bytes. Every fault is a
// kZAFvorn_BadData answer; nothing reads past the input.
#include "../engine/src/engine_internal.h"
#include "fuzz_support.h"

using namespace orxengine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string out;
    try {
        gListPackets(input, out);
        orxfuzz::require(!out.empty());
    } catch (SEngineError& e) {
        orxfuzz::require(e.code == kZAFvorn_BadData);
    }
    return 0;
}
