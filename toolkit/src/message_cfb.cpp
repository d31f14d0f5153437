// message_cfb: RFC 4880 cipher feedback with batched decryption.
#include "message_cfb.h"

#include "packets.h"

#include <botan/mem_ops.h>

#include <algorithm>
#include <cstring>

namespace zaf::msg {

namespace {

// Blocks per cipher call when decrypting: 16 KiB stay in the first-level cache.
constexpr size_t kBatchBytes = 16u << 10;

} // namespace

size_t cipherKeyLength(uint8_t algorithm) {
    size_t keyLength = 0, blockSize = 0;
    return rfc4880::cipherName(algorithm, keyLength, blockSize) ? keyLength : 0;
}

Cfb::Cfb(uint8_t algorithm, const uint8_t* key, size_t keyLength) {
    size_t want = 0, bs = 0;
    const char* name = rfc4880::cipherName(algorithm, want, bs);
    if (name == nullptr || want != keyLength)
        fail(kZAFError_UnsupportedCipher);
    m_cipher = Botan::BlockCipher::create(name);
    if (!m_cipher || m_cipher->block_size() != bs || bs > sizeof m_reg)
        fail(kZAFError_UnsupportedCipher);
    m_cipher->set_key(key, keyLength);
    m_bs = bs;
    m_scratch = Buffer(kBatchBytes);
}

size_t Cfb::keyLength() const { return m_cipher->maximum_keylength(); }

void Cfb::resync(const uint8_t* block) {
    std::memcpy(m_reg, block, m_bs);
    m_used = 0;
}

void Cfb::finishPartial(const uint8_t*& in, uint8_t*& out, size_t& size, bool decrypting) {
    while (m_used != 0 && size > 0) {
        uint8_t c = decrypting ? *in : uint8_t(*in ^ m_ks[m_used]);
        *out = decrypting ? uint8_t(*in ^ m_ks[m_used]) : c;
        m_next[m_used] = c;
        ++in;
        ++out;
        --size;
        if (++m_used == m_bs) {
            std::memcpy(m_reg, m_next, m_bs);
            m_used = 0;
        }
    }
}

void Cfb::encrypt(const uint8_t* in, uint8_t* out, size_t size) {
    finishPartial(in, out, size, false);
    // Each block's key stream comes from the cipher text block just written.
    const uint8_t* previous = m_reg;
    while (size >= m_bs) {
        m_cipher->encrypt(previous, m_ks);
        Botan::xor_buf(out, in, m_ks, m_bs);
        previous = out;
        in += m_bs;
        out += m_bs;
        size -= m_bs;
    }
    if (previous != m_reg)
        std::memcpy(m_reg, previous, m_bs);
    if (size > 0) {
        m_cipher->encrypt(m_reg, m_ks);
        for (size_t i = 0; i < size; ++i) {
            out[i] = uint8_t(in[i] ^ m_ks[i]);
            m_next[i] = out[i];
        }
        m_used = size;
    }
}

void Cfb::decrypt(const uint8_t* in, uint8_t* out, size_t size) {
    finishPartial(in, out, size, true);
    uint8_t* scratch = m_scratch.data();
    while (size >= m_bs) {
        size_t blocks = std::min(size / m_bs, kBatchBytes / m_bs);
        size_t bytes = blocks * m_bs;
        // Cipher input: the register, then every cipher text block of the run but the last.
        std::memcpy(scratch, m_reg, m_bs);
        std::memcpy(scratch + m_bs, in, bytes - m_bs);
        std::memcpy(m_reg, in + bytes - m_bs, m_bs);
        m_cipher->encrypt_n(scratch, scratch, blocks);
        Botan::xor_buf(out, in, scratch, bytes);
        in += bytes;
        out += bytes;
        size -= bytes;
    }
    if (size > 0) {
        m_cipher->encrypt(m_reg, m_ks);
        for (size_t i = 0; i < size; ++i) {
            m_next[i] = in[i];
            out[i] = uint8_t(in[i] ^ m_ks[i]);
        }
        m_used = size;
    }
}

} // namespace zaf::msg
