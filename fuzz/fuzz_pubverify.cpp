// Fuzz target: a signature checked with a public key, each way (the crypto library's verifier,
// the RSA and DSA equations computed on our own arithmetic, and the key store's choice between
// them); they must agree.
// Input: hash algorithm (1 byte), digest length (1) and digest, key packet body length (2, big
// endian) and body, then the signature's MPIs up to the end.
#include "fuzz_support.h"
#include "keys/pubverify.h"
#include "keystore/keystore_internal.h"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Keys up to about 16,000 bits and their signatures; beyond that the key's bounds refuse.
    if (size > 6000 || size < 4)
        return 0;
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    const uint8_t hashAlg = data[0];
    const size_t digestLength = data[1];
    size_t pos = 2;
    if (pos + digestLength + 2 > size)
        return 0;
    const uint8_t* digest = data + pos;
    pos += digestLength;
    const size_t keyLength = (size_t(data[pos]) << 8) | data[pos + 1];
    pos += 2;
    if (pos + keyLength > size)
        return 0;
    const std::string_view key = in.substr(pos, keyLength);
    pos += keyLength;
    zaf::rfc4880::SigInfo sig;
    while (pos < size && sig.mpis.size() < 3) {
        zaf::rfc4880::Mpi m;
        if (!zaf::rfc4880::readMpi(in, pos, m))
            return 0;
        sig.mpis.push_back(m);
    }
    const bool library =
        zaf::verifyWithKeyBy(zaf::VerifyWay::Library, key, hashAlg, digest, digestLength, sig);
    orxfuzz::require(library == zaf::verifyWithKeyBy(zaf::VerifyWay::Direct, key, hashAlg, digest,
                                                     digestLength, sig));
    orxfuzz::require(library == zaf::verifyWithKeyBy(zaf::VerifyWay::Cheapest, key, hashAlg, digest,
                                                     digestLength, sig));
    return 0;
}
