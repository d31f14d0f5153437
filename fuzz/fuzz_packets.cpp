// Fuzz target: the RFC 4880 packet layer (headers, key packets, signatures, user attributes).
#include "keystore/keystore_internal.h"
#include "packets/packets.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20))
        return 0;
    std::string scratch;
    size_t pos = 0;
    for (int n = 0; n < 10000 && pos < size; ++n) {
        zaf::rfc4880::RawPacket rp;
        if (!zaf::rfc4880::readPacket(data, size, pos, rp, scratch))
            break;
        zaf::rfc4880::KeyInfo key;
        zaf::rfc4880::SigInfo sig;
        zaf::rfc4880::parseKeyPacket(rp.body, key);
        zaf::rfc4880::parseSignature(rp.body, sig);
        zaf::rfc4880::firstAttributeSubpacket(rp.body);
        pos += rp.total;
    }
    // The same bytes as one transferable key.
    zaf::buildKeyFromStrings(std::string(reinterpret_cast<const char*>(data), size), "");
    return 0;
}
