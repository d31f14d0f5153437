// wiper: the pass sets and patterns of the disk wiper.
#include "api/api.h"
#include "random_internal.h"

#include <zaf/zafwipe.h>

#include <array>
#include <cstring>
#include <vector>

struct ZAFDiskWiper {
    uint32_t magic;
    std::vector<int32_t> passes;
    size_t next;
    std::array<uint32_t, kZAFDiskWipeBufferWords> buffer;
};

namespace {

constexpr uint32_t kWiperMagic = 0x5A414657; // "ZAFW"
constexpr int32_t R = kZAFDiskWipePatternRandom;

// Bytes and three-byte cycles chosen to flip every bit under the common run-length encodings
// of magnetic media; on other media they are simply several distinct overwrites.
const int32_t kFixedPatterns[] = {
    0x55, 0xAA, 0x924924, 0x492492, 0x249249, 0x00,     0x11,     0x22,     0x33,
    0x44, 0x55, 0x66,     0x77,     0x88,     0x99,     0xAA,     0xBB,     0xCC,
    0xDD, 0xEE, 0xFF,     0x924924, 0x492492, 0x249249, 0x6DB6DB, 0xB6DB6D, 0xDB6DB6,
};
constexpr size_t kFixedCount = sizeof kFixedPatterns / sizeof kFixedPatterns[0];

bool buildPasses(int32_t selector, std::vector<int32_t>& passes) {
    switch (selector) {
    case kZAFDiskWipeSet_ThreePass:
        passes = {0x00, 0xFF, R};
        return true;
    case kZAFDiskWipeSet_SevenPass:
        passes = {0xF6, 0x00, 0xFF, R, 0x00, 0xFF, R};
        return true;
    case kZAFDiskWipeSet_ThirtyFivePass:
        passes = {R, R, R, R};
        passes.insert(passes.end(), std::begin(kFixedPatterns), std::end(kFixedPatterns));
        passes.insert(passes.end(), {R, R, R, R});
        return true;
    default:
        break;
    }
    if (selector < 1 || selector > kZAFDiskWipeMaxPasses)
        return false;
    const auto count = static_cast<size_t>(selector);
    if (count == 1) {
        passes = {R};
    } else if (count == 2) {
        passes = {kFixedPatterns[0], R};
    } else {
        passes.push_back(R);
        for (size_t i = 0; i < count - 2; ++i)
            passes.push_back(kFixedPatterns[i % kFixedCount]);
        passes.push_back(R);
    }
    return true;
}

void fillBuffer(ZAFDiskWiper* wiper, int32_t pattern) {
    auto* bytes = reinterpret_cast<uint8_t*>(wiper->buffer.data());
    if (pattern == R) {
        zaf::poolRng().randomize(bytes, kZAFDiskWipeBufferSize);
        return;
    }
    const auto value = static_cast<uint32_t>(pattern);
    if (value <= 0xFF) {
        std::memset(bytes, static_cast<int>(value), kZAFDiskWipeBufferSize);
        return;
    }
    const uint8_t cycle[3] = {static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 8),
                              static_cast<uint8_t>(value)};
    for (size_t i = 0; i < kZAFDiskWipeBufferSize; ++i)
        bytes[i] = cycle[i % 3];
}

bool isValidWiper(const ZAFDiskWiper* wiper) {
    return zaf::isRegistered(wiper, zaf::HandleKind::DiskWiper) && wiper->magic == kWiperMagic;
}

} // namespace

extern "C" {

ZAFError ZAFCreateDiskWiper(ZAFContextRef context, ZAFDiskWiperRef* outWiper, int32_t passes) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidContext(context))
            return kZAFError_InvalidHandle;
        if (outWiper == nullptr)
            return kZAFError_BadParams;
        auto wiper = std::make_unique<ZAFDiskWiper>();
        wiper->magic = kWiperMagic;
        wiper->next = 0;
        wiper->buffer.fill(0);
        if (!buildPasses(passes, wiper->passes))
            return kZAFError_BadParams;
        zaf::registerHandle(wiper.get(), zaf::HandleKind::DiskWiper);
        *outWiper = wiper.release();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetDiskWipeBuffer(ZAFDiskWiperRef wiper, uint32_t** outBuffer) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidWiper(wiper))
            return kZAFError_InvalidHandle;
        if (outBuffer == nullptr)
            return kZAFError_BadParams;
        *outBuffer = wiper->buffer.data();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetDiskWipePattern(ZAFDiskWiperRef wiper, int32_t* outPattern) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidWiper(wiper))
            return kZAFError_InvalidHandle;
        if (outPattern == nullptr)
            return kZAFError_BadParams;
        if (wiper->next >= wiper->passes.size())
            return kZAFError_EndOfIteration;
        const int32_t pattern = wiper->passes[wiper->next];
        fillBuffer(wiper, pattern);
        ++wiper->next;
        *outPattern = pattern;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetDiskWipePassCount(ZAFDiskWiperRef wiper, uint32_t* outPasses) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidWiper(wiper))
            return kZAFError_InvalidHandle;
        if (outPasses == nullptr)
            return kZAFError_BadParams;
        *outPasses = static_cast<uint32_t>(wiper->passes.size());
        return kZAFError_NoErr;
    });
}

ZAFError ZAFDestroyDiskWiper(ZAFDiskWiperRef wiper) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidWiper(wiper) || !zaf::unregisterHandle(wiper, zaf::HandleKind::DiskWiper))
            return kZAFError_InvalidHandle;
        wiper->magic = 0;
        wiper->buffer.fill(0);
        delete wiper;
        return kZAFError_NoErr;
    });
}

} // extern "C"
