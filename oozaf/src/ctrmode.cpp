// ctrmode: the secure channel's counter mode over a block cipher of the toolkit, with the
// channel's padding.
#include "secsocket_internal.h"

#include <oozaf/secsocket.h>
#include <oozaf/throwable.h>

#include <algorithm>
#include <cstring>

namespace oozaf {

using namespace secsocket;

namespace {

const char kTag[] = "secsocket";

void xorBytes(unsigned char* data, const unsigned char* stream, size_t length) {
    size_t i = 0;
    for (; i + 8 <= length; i += 8) {
        uint64_t a;
        uint64_t b;
        std::memcpy(&a, data + i, 8);
        std::memcpy(&b, stream + i, 8);
        a ^= b;
        std::memcpy(data + i, &a, 8);
    }
    for (; i < length; ++i)
        data[i] ^= stream[i];
}

// Big-endian 64-bit words; one byte swap and one 8-byte move each.
uint64_t loadBigEndian64(const unsigned char* in) {
    uint64_t value;
    std::memcpy(&value, in, 8);
    return __builtin_bswap64(value);
}

void storeBigEndian64(unsigned char* out, uint64_t value) {
    value = __builtin_bswap64(value);
    std::memcpy(out, &value, 8);
}

} // namespace

CZAFCTRMode::CZAFCTRMode(ZAFSymmetricCipherContextRef cipher, const void* iv, unsigned int ivLength)
    : m_cipher(cipher), m_blockSize(ivLength) {
    size_t blockSize = 0;
    ZAFError rc = ZAFGetSymmetricCipherSizes(cipher, nullptr, &blockSize);
    if (rc != kZAFError_NoErr) {
        ZAFFreeSymmetricCipherContext(cipher);
        throw new CZAFSDKException(rc);
    }
    if (iv == nullptr || ivLength == 0 || ivLength > kZAFCipherMaxBlockSize ||
        blockSize != ivLength) {
        ZAFFreeSymmetricCipherContext(cipher);
        ZAF_FAIL_TAG(kTag);
    }
    std::memcpy(m_counter, iv, ivLength);
}

CZAFCTRMode::~CZAFCTRMode() {
    ZAFFreeSymmetricCipherContext(m_cipher);
    wipe(m_counter, sizeof m_counter);
    wipe(m_stream, sizeof m_stream);
}

void CZAFCTRMode::increment() {
    for (unsigned int i = m_blockSize; i-- > 0;) {
        if (++m_counter[i] != 0)
            break;
    }
}

void CZAFCTRMode::keyStream(unsigned char* out, size_t blocks) {
    // One toolkit call encrypts the consecutive counters where they lie; the stream is the same
    // as block-by-block encryption. The usual block sizes count in 64-bit words, so laying out
    // a batch of counters costs two stores a block.
    if (m_blockSize == 16) {
        uint64_t high = loadBigEndian64(m_counter);
        uint64_t low = loadBigEndian64(m_counter + 8);
        for (size_t i = 0; i < blocks; ++i) {
            storeBigEndian64(out + 16 * i, high);
            storeBigEndian64(out + 16 * i + 8, low);
            if (++low == 0)
                ++high;
        }
        storeBigEndian64(m_counter, high);
        storeBigEndian64(m_counter + 8, low);
    } else if (m_blockSize == 8) {
        uint64_t counter = loadBigEndian64(m_counter);
        for (size_t i = 0; i < blocks; ++i)
            storeBigEndian64(out + 8 * i, counter++);
        storeBigEndian64(m_counter, counter);
    } else {
        for (size_t i = 0; i < blocks; ++i) {
            std::memcpy(out + i * m_blockSize, m_counter, m_blockSize);
            increment();
        }
    }
    check(ZAFSymmetricCipherEncryptBlocks(m_cipher, out, out, blocks));
}

void CZAFCTRMode::crypt(void* data, size_t length) {
    ZAF_ASSERT_TAG(kTag, length % m_blockSize == 0);
    ZAF_ASSERT_TAG(kTag, data != nullptr || length == 0);
    auto* bytes = static_cast<unsigned char*>(data);
    const size_t batch = (kBatchBytes / m_blockSize) * m_blockSize;
    while (length > 0) {
        const size_t take = std::min(length, batch);
        keyStream(m_stream, take / m_blockSize);
        xorBytes(bytes, m_stream, take);
        bytes += take;
        length -= take;
    }
}

unsigned int CZAFCTRMode::pad(void* output, unsigned int capacity, const void* input,
                              unsigned int length) const {
    ZAF_ASSERT_TAG(kTag, output != nullptr);
    ZAF_ASSERT_TAG(kTag, input != nullptr || length == 0);
    const size_t padLength = m_blockSize - length % m_blockSize;
    const size_t total = size_t(length) + padLength;
    ZAF_ASSERT_TAG(kTag, total <= capacity);
    auto* out = static_cast<unsigned char*>(output);
    if (output != input && length != 0)
        std::memmove(out, input, length);
    std::memset(out + length, static_cast<int>(padLength), padLength);
    return static_cast<unsigned int>(total);
}

unsigned int CZAFCTRMode::unpad(void* output, unsigned int capacity, const void* input,
                                unsigned int length) const {
    ZAF_ASSERT_TAG(kTag, output != nullptr);
    if (input == nullptr || length == 0 || length % m_blockSize != 0)
        failWith(kInvalidInput);
    const auto* in = static_cast<const unsigned char*>(input);
    const unsigned int padLength = in[length - 1];
    if (padLength == 0 || padLength > m_blockSize)
        failWith(kInvalidInput);
    unsigned char difference = 0;
    for (unsigned int i = length - padLength; i < length; ++i)
        difference = static_cast<unsigned char>(difference | (in[i] ^ padLength));
    if (difference != 0)
        failWith(kInvalidInput);
    const unsigned int result = length - padLength;
    if (output != input) {
        if (result > capacity)
            failWith(kBadPadding);
        if (result != 0)
            std::memmove(output, input, result);
    }
    return result;
}

unsigned int CZAFCTRMode::encrypt(void* output, unsigned int capacity, const void* input,
                                  unsigned int length) {
    ZAF_ASSERT_TAG(kTag, output != nullptr);
    ZAF_ASSERT_TAG(kTag, input != nullptr || length == 0);
    const unsigned int padLength = m_blockSize - length % m_blockSize;
    const size_t total = size_t(length) + padLength;
    ZAF_ASSERT_TAG(kTag, total <= capacity);
    auto* out = static_cast<unsigned char*>(output);
    const auto* in = static_cast<const unsigned char*>(input);
    if (length != 0 && out < in + length && in < out + total) {
        // Overlapping buffers: pad where the data lies, then encrypt it there.
        pad(output, capacity, input, length);
        crypt(output, total);
        return static_cast<unsigned int>(total);
    }
    // The key stream is made in the output and the plaintext and its padding mixed into it, in
    // batches that stay in the cache.
    const size_t batch = (kBatchBytes / m_blockSize) * m_blockSize;
    for (size_t done = 0; done < total;) {
        const size_t take = std::min(total - done, batch);
        keyStream(out + done, take / m_blockSize);
        if (done < length)
            xorBytes(out + done, in + done, std::min<size_t>(take, length - done));
        done += take;
    }
    for (size_t i = length; i < total; ++i)
        out[i] = static_cast<unsigned char>(out[i] ^ padLength);
    return static_cast<unsigned int>(total);
}

unsigned int CZAFCTRMode::decrypt(void* output, unsigned int capacity, const void* input,
                                  unsigned int length) {
    ZAF_ASSERT_TAG(kTag, output != nullptr);
    // A bad length is refused before any key stream is spent on it.
    if (input == nullptr || length == 0 || length % m_blockSize != 0)
        failWith(kInvalidInput);
    auto* out = static_cast<unsigned char*>(output);
    if (output == input || capacity >= length) {
        if (output != input)
            std::memmove(out, input, length);
        crypt(out, length);
        return unpad(out, length, out, length);
    }
    CWipedBytes scratch(length);
    std::memcpy(scratch.data(), input, length);
    crypt(scratch.data(), length);
    return unpad(output, capacity, scratch.data(), length);
}

} // namespace oozaf
