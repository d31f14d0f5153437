// --packet-list and --packet-dump: the packet walker, the field decoder (signature subpackets, key
// material) and the hex dump, with the armour remover, over arbitrary bytes. Every fault is a
// kZAFvorn_BadData answer; nothing reads past the input; the dump of a secret key packet never
// shows its secret part.
#include "../engine/src/engine_internal.h"
#include "fuzz_support.h"

using namespace orxengine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    for (unsigned int show :
         {0u, unsigned(kPacketFields), unsigned(kPacketFields | kPacketBytes)}) {
        std::string out;
        try {
            gListPackets(input, out, show);
            orxfuzz::require(!out.empty());
        } catch (SEngineError& e) {
            orxfuzz::require(e.code == kZAFvorn_BadData);
        }
    }
    return 0;
}
