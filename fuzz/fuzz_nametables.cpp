// Fuzz target for every text-to-value look-up of the name and operation tables. Each look-up must
// either give a value whose own text matches the input (ignoring case, and hyphens for
// directives) or throw its own table's lookup error; any other throwable escapes and ends the run.
#include "fuzz_support.h"

#include <oozaf/nametables.h>
#include <oozaf/ops.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace oozaf;

namespace {

const std::size_t kMaxInput = 4096;

std::string folded(const std::string& text, bool dropHyphens) {
    std::string out;
    for (char c : text) {
        if (dropHyphens && c == '-')
            continue;
        out += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return out;
}

using orxfuzz::require;

// Runs `lookup`; when it succeeds, `back` turns its result into text, which must equal `text`
// under the table's comparison. Only the error class E may be thrown.
template <class E, class Lookup, class Back>
void check(const std::string& text, Lookup&& lookup, Back&& back, bool dropHyphens = false) {
    try {
        auto value = lookup(text);
        require(folded(back(value), dropHyphens) == folded(text, dropHyphens));
    } catch (E* e) {
        require(e->getValue() == text);
        delete e;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput)
        return 0;
    const std::string text(reinterpret_cast<const char*>(data), size);

    check<CZAFNoSuchCipherError>(text, gCipherFromString, gStringFromCipher);
    check<CZAFNoSuchHashAlgorithmError>(text, gHashAlgorithmFromString, gStringFromHashAlgorithm);
    check<CZAFNoSuchSigTypeError>(text, gSigTypeFromString, gStringFromSigType);
    check<CZAFNoSuchExportFormatError>(text, gExportFormatFromString, gStringFromExportFormat);
    check<CZAFNoSuchCAServerTypeError>(text, gCATypeFromString, gStringFromCAType);
    check<CZAFNoSuchKeyServerTypeError>(text, gKeyServerTypeFromString, gStringFromKeyServerType);
    check<CZAFNoSuchCmdlineVersionError>(text, gCmdlineVersionFromString,
                                         gStringFromCmdlineVersion);
    check<CZAFNoSuchFingerprintViewError>(text, gFingerprintViewFromString,
                                          gStringFromFingerprintView);
    check<CZAFNoSuchKeyOrderingError>(text, gKeyOrderingFromString, gStringFromKeyOrdering);
    check<CZAFNoSuchInfoLevelError>(text, gInfoLevelFromString, gStringFromInfoLevel);
    check<CZAFNoSuchKeyTypeError>(text, gKeyTypeFromString, gStringFromKeyType);
    check<CZAFNoSuchKeyTypeError>(text, gKeyTypeFromStringArg, gStringFromKeyTypeArg);
    check<CZAFNoSuchTrustError>(text, gTrustFromString, [](unsigned int trust) {
        // Trust words have no value-to-word function; find the word in its table.
        for (const SZAFNameRow3& row : gTrustNames)
            if (static_cast<unsigned int>(row.value) == trust)
                return std::string(row.third);
        std::abort();
    });
    check<CZAFNoSuchBooleanError>(text, gBoolFromString, [&](bool value) {
        static const char* const kTrueWords[] = {"yes", "true", "on"};
        static const char* const kFalseWords[] = {"no", "false", "off"};
        for (const char* word : value ? kTrueWords : kFalseWords)
            if (folded(word, false) == folded(text, false))
                return std::string(word);
        return std::string();
    });

    check<CZAFNoSuchCmdlineSwitchError>(text, gOpFromCmdlineSwitch, gCmdlineSwitchFromOp);
    check<CZAFNoSuchEnvVarError>(text, gOpFromEnvVar, gEnvVarFromOp);
    check<CZAFNoSuchDirectiveError>(text, gOpFromDirective, gDirectiveFromOp, true);

    for (const SZAFOpStruct& row : gOps) {
        if (row.argType != eArgTypeEnum)
            continue;
        int value = 0;
        if (gArgToEnum(row.op, text, value)) {
            std::string back;
            require(gEnumToArg(row.op, value, back));
        }
    }
    return 0;
}
