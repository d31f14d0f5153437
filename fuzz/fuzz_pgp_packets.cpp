// Fuzz target: the RFC 4880 packet layer (headers, key packets, signatures, user attributes).
#include "keystore_internal.h"
#include "pgp_packet.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 20))
        return 0;
    std::string scratch;
    size_t pos = 0;
    for (int n = 0; n < 10000 && pos < size; ++n) {
        zaf::pgp::RawPacket rp;
        if (!zaf::pgp::readPacket(data, size, pos, rp, scratch))
            break;
        zaf::pgp::KeyInfo key;
        zaf::pgp::SigInfo sig;
        zaf::pgp::parseKeyPacket(rp.body, key);
        zaf::pgp::parseSignature(rp.body, sig);
        zaf::pgp::firstAttributeSubpacket(rp.body);
        pos += rp.total;
    }
    // The same bytes as one transferable key.
    zaf::buildKeyFromStrings(std::string(reinterpret_cast<const char*>(data), size), "");
    return 0;
}
