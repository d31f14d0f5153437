// bignum: non-negative big numbers for the key exchange of the secure channel.
#include "api/api.h"
#include "crypto_internal.h"

#include <botan/numthry.h>

namespace zaf {

namespace {

constexpr uint32_t kBigNumMagic = 0x5A41464E; // "ZAFN"
constexpr size_t kMaxBytes = kZAFBigNumMaxBits / 8;

bool allValid(std::initializer_list<const ZAFBigNum*> numbers) {
    for (const ZAFBigNum* bn : numbers)
        if (!isValidBigNum(bn))
            return false;
    return true;
}

// Overwrites a number's storage before a result of a different size replaces it; Botan's own
// buffers are wiped when they are released.
void store(ZAFBigNum* target, Botan::BigInt value) {
    target->value.swap(value);
    value.clear();
}

} // namespace

bool isValidBigNum(const ZAFBigNum* bn) {
    return isRegistered(bn, HandleKind::BigNum) && bn->magic == kBigNumMagic;
}

} // namespace zaf

extern "C" {

ZAFError ZAFNewBigNum(ZAFContextRef context, ZAFBoolean /*secure*/, ZAFBigNumRef* outBigNum) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidContext(context))
            return kZAFError_InvalidHandle;
        if (outBigNum == nullptr)
            return kZAFError_BadParams;
        auto bn = std::make_unique<ZAFBigNum>();
        bn->magic = zaf::kBigNumMagic;
        zaf::registerHandle(bn.get(), zaf::HandleKind::BigNum);
        *outBigNum = bn.release();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFFreeBigNum(ZAFBigNumRef bn) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidBigNum(bn) || !zaf::unregisterHandle(bn, zaf::HandleKind::BigNum))
            return kZAFError_InvalidHandle;
        bn->value.clear();
        bn->magic = 0;
        delete bn;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFBigNumInsertBigEndianBytes(ZAFBigNumRef bn, const void* bytes, size_t length) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidBigNum(bn))
            return kZAFError_InvalidHandle;
        if ((bytes == nullptr && length > 0) || length > zaf::kMaxBytes)
            return kZAFError_BadParams;
        Botan::BigInt value;
        if (length > 0)
            value.binary_decode(static_cast<const uint8_t*>(bytes), length);
        zaf::store(bn, std::move(value));
        return kZAFError_NoErr;
    });
}

ZAFError ZAFBigNumExtractBigEndianBytes(ZAFBigNumRef bn, void* buffer, size_t size) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidBigNum(bn))
            return kZAFError_InvalidHandle;
        if (buffer == nullptr && size > 0)
            return kZAFError_BadParams;
        if (bn->value.bytes() > size)
            return kZAFError_BufferTooSmall;
        if (size > 0)
            bn->value.binary_encode(static_cast<uint8_t*>(buffer), size);
        return kZAFError_NoErr;
    });
}

ZAFError ZAFBigNumGetSignificantBits(ZAFBigNumRef bn, uint32_t* outBits) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidBigNum(bn))
            return kZAFError_InvalidHandle;
        if (outBits == nullptr)
            return kZAFError_BadParams;
        *outBits = static_cast<uint32_t>(bn->value.bits());
        return kZAFError_NoErr;
    });
}

ZAFError ZAFBigNumSetWord(ZAFBigNumRef bn, uint32_t value) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::isValidBigNum(bn))
            return kZAFError_InvalidHandle;
        zaf::store(bn, Botan::BigInt(value));
        return kZAFError_NoErr;
    });
}

ZAFError ZAFBigNumCopy(ZAFBigNumRef source, ZAFBigNumRef destination) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::allValid({source, destination}))
            return kZAFError_InvalidHandle;
        if (source != destination)
            zaf::store(destination, source->value);
        return kZAFError_NoErr;
    });
}

ZAFError ZAFBigNumCompare(ZAFBigNumRef a, ZAFBigNumRef b, int32_t* outResult) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::allValid({a, b}))
            return kZAFError_InvalidHandle;
        if (outResult == nullptr)
            return kZAFError_BadParams;
        *outResult = a->value < b->value ? -1 : (a->value == b->value ? 0 : 1);
        return kZAFError_NoErr;
    });
}

ZAFError ZAFBigNumAdd(ZAFBigNumRef a, ZAFBigNumRef b, ZAFBigNumRef result) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::allValid({a, b, result}))
            return kZAFError_InvalidHandle;
        Botan::BigInt sum = a->value + b->value;
        if (sum.bits() > kZAFBigNumMaxBits)
            return kZAFError_BadParams;
        zaf::store(result, std::move(sum));
        return kZAFError_NoErr;
    });
}

ZAFError ZAFBigNumSubtract(ZAFBigNumRef a, ZAFBigNumRef b, ZAFBigNumRef result) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::allValid({a, b, result}))
            return kZAFError_InvalidHandle;
        if (b->value > a->value)
            return kZAFError_BadParams;
        zaf::store(result, a->value - b->value);
        return kZAFError_NoErr;
    });
}

ZAFError ZAFBigNumExpMod(ZAFBigNumRef base, ZAFBigNumRef exponent, ZAFBigNumRef modulus,
                         ZAFBigNumRef result) {
    return zaf::guard([&]() -> ZAFError {
        if (!zaf::allValid({base, exponent, modulus, result}))
            return kZAFError_InvalidHandle;
        if (modulus->value.is_zero())
            return kZAFError_BadParams;
        if (modulus->value == 1) {
            zaf::store(result, Botan::BigInt(0));
            return kZAFError_NoErr;
        }
        zaf::store(result, Botan::power_mod(base->value, exponent->value, modulus->value));
        return kZAFError_NoErr;
    });
}

} // extern "C"
