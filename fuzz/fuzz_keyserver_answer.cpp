// Fuzz target: HTTP answers from a key server, fed in pieces whose sizes the input chooses. The
// body never grows past its bound, and the same bytes fed whole or in pieces read the same.
#include "keyserver/keyserver_http.h"

#include <zaf/zafkeyserver.h>

#include <cstdint>
#include <cstdlib>

namespace {

struct Outcome {
    ZAFError code;
    bool complete;
    int status;
    std::string body;
};

Outcome readAnswer(std::string_view text, size_t piece) {
    zaf::hkp::AnswerReader reader(4096);
    ZAFError code = kZAFError_NoErr;
    for (size_t at = 0; at < text.size() && code == kZAFError_NoErr && !reader.complete();
         at += piece)
        code = reader.feed(text.data() + at, std::min(piece, text.size() - at));
    if (code == kZAFError_NoErr && !reader.complete())
        code = reader.finish();
    if (reader.body().size() > 4096)
        std::abort();
    return Outcome{code, reader.complete(), reader.status(), reader.body()};
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 18))
        return 0;
    const size_t piece = 1 + data[0] % 17;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
    const Outcome whole = readAnswer(text, text.size() + 1);
    const Outcome pieces = readAnswer(text, piece);
    if (whole.code != pieces.code || whole.complete != pieces.complete)
        std::abort();
    if (whole.code == kZAFError_NoErr &&
        (whole.status != pieces.status || whole.body != pieces.body))
        std::abort();
    return 0;
}
