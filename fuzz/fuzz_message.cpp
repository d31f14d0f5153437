// Fuzz target: decoding messages (armour and the cleartext framework, packet sequences, session
// keys, decryption, decompression, signatures) with the fixture keys held, one unprotected
// secret key among them, and a passphrase. A detached signature is checked against fixed data.
// Whatever decodes must have committed its output; whatever fails must not have, and must not
// have handed the sink a single byte. The corpus holds compressed packets nested in each other
// and around encrypted data, which must be refused.
#include "fuzz_support.h"

#include <zaf/zaf.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

namespace {

struct Setup {
    ZAFContextRef context = nullptr;
    ZAFKeyDBRef keys = nullptr;
    ZAFMessageParamsRef params = nullptr;

    Setup() {
        ZAFNewContext(&context);
        std::string bytes;
        const std::string dir = std::string(ORX_SOURCE_DIR) + "/tests/data/fixtures/messages/keys/";
        for (const char* name : {"alice.pub", "bob.pub", "carol.pub", "dave.pub", "dave.sec"}) {
            std::ifstream in(dir + name, std::ios::binary);
            bytes.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        ZAFImport(context, &keys, ZAFOInputBuffer(context, bytes.data(), bytes.size()),
                  ZAFOLastOption());
        ZAFNewMessageParams(context, keys, &params);
        ZAFSetMessagePassphrase(params, "fuzz", 4);
        // Small limits keep each run short; the limits themselves are what is tested.
        ZAFSetMessageOption(params, kZAFMessageOption_ExpansionFloorKiB, 1024);
        ZAFSetMessageOption(params, kZAFMessageOption_MaxExpansion, 64);
        ZAFSetMessageOption(params, kZAFMessageOption_PassphraseAttempts, 1);
        // Output beyond 64 KiB waits in the temporary file, so that path runs too.
        ZAFSetMessageOption(params, kZAFMessageOption_HoldMemoryKiB, 64);
    }
};

struct Output {
    size_t bytes = 0;
    int ends = 0;
    int commits = 0;
};

ZAFError take(void* user, const void*, size_t size) {
    static_cast<Output*>(user)->bytes += size;
    return kZAFError_NoErr;
}

ZAFError end(void* user, ZAFBoolean commit) {
    Output* out = static_cast<Output*>(user);
    ++out->ends;
    out->commits += commit ? 1 : 0;
    return kZAFError_NoErr;
}

ZAFError decodeOnce(const Setup& s, const uint8_t* data, size_t size, bool withSignedData) {
    static const char kSigned[] = "fuzz data\n";
    ZAFMessageSourceRef in = nullptr, signedData = nullptr;
    ZAFMessageSinkRef sink = nullptr;
    ZAFMessageResultRef result = nullptr;
    Output out;
    ZAFNewMessageSourceFromBuffer(s.context, data, size, &in);
    if (withSignedData)
        ZAFNewMessageSourceFromBuffer(s.context, kSigned, sizeof kSigned - 1, &signedData);
    ZAFNewMessageSinkFromCallback(s.context, take, end, &out, &sink);
    ZAFNewMessageResult(s.context, &result);
    ZAFError rc = ZAFDecodeMessage(s.params, in, signedData, sink, result);
    orxfuzz::require(out.ends == 1 && out.commits == (rc == kZAFError_NoErr ? 1 : 0));
    orxfuzz::require(rc == kZAFError_NoErr || out.bytes == 0);
    ZAFMessageInfo info;
    orxfuzz::require(ZAFGetMessageInfo(result, &info) == kZAFError_NoErr);
    for (uint32_t i = 0; i < info.signatureCount; ++i) {
        ZAFMessageSignature sig;
        orxfuzz::require(ZAFGetMessageSignature(result, i, &sig) == kZAFError_NoErr);
        // A call that succeeds has no bad signature.
        orxfuzz::require(rc != kZAFError_NoErr || sig.status != kZAFSigStatus_Bad);
    }
    ZAFFreeMessageResult(result);
    ZAFFreeMessageSink(sink);
    ZAFFreeMessageSource(in);
    if (signedData)
        ZAFFreeMessageSource(signedData);
    return rc;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup setup;
    if (size > (1u << 20) || setup.params == nullptr)
        return 0;
    if (decodeOnce(setup, data, size, false) == kZAFError_NoSignedData)
        decodeOnce(setup, data, size, true);
    return 0;
}
