// message_cfb: RFC 4880 cipher feedback with batched decryption.
#include "message_cfb.h"

#include "packets/packets.h"

#include <botan/mem_ops.h>

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define ZAF_CFB_AES_INSTRUCTIONS 1
#endif

namespace zaf::msg {

namespace {

// Blocks per cipher call when decrypting: 16 KiB stay in the first-level cache.
constexpr size_t kBatchBytes = 16u << 10;

} // namespace

#ifdef ZAF_CFB_AES_INSTRUCTIONS

// The encryption round keys of AES, made and used with the processor's AES instructions only
// (no table indexed by key or data, so no timing that depends on either).
struct Cfb::AesRounds {
    __m128i keys[15];
    int rounds = 0;

    ~AesRounds() { Botan::secure_scrub_memory(keys, sizeof keys); }

    static bool available() {
        static const bool has = __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse2");
        return has;
    }

    // The key schedule of FIPS 197 a word at a time. SubWord comes from AESKEYGENASSIST, which
    // returns SubWord of the register's second word in its first word and RotWord(SubWord) of
    // it in its second; the round constant is XORed in here.
    __attribute__((target("aes,sse2"))) void expand(const uint8_t* key, size_t keyLength) {
        static const uint32_t kRcon[] = {0x01, 0x02, 0x04, 0x08, 0x10,
                                         0x20, 0x40, 0x80, 0x1B, 0x36};
        const size_t nk = keyLength / 4;
        rounds = int(nk) + 6;
        const size_t total = 4 * size_t(rounds + 1);
        uint32_t w[60];
        std::memcpy(w, key, keyLength);
        for (size_t i = nk; i < total; ++i) {
            uint32_t t = w[i - 1];
            if (i % nk == 0 || (nk > 6 && i % nk == 4)) {
                __m128i r = _mm_aeskeygenassist_si128(_mm_set_epi32(0, 0, int(t), 0), 0);
                if (i % nk == 0)
                    t = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(r, 4))) ^ kRcon[i / nk - 1];
                else
                    t = uint32_t(_mm_cvtsi128_si32(r));
            }
            w[i] = w[i - nk] ^ t;
        }
        std::memcpy(keys, w, total * 4);
        Botan::secure_scrub_memory(w, sizeof w);
    }

    // Encrypts `blocks` whole blocks: each key stream block is the encryption of the cipher text
    // block before it, starting with `reg`, which is left holding the last one written.
    template <int R>
    __attribute__((target("aes,sse2"))) void encryptBlocks(uint8_t* reg, const uint8_t* in,
                                                           uint8_t* out, size_t blocks) const {
        __m128i k[R + 1];
        for (int i = 0; i <= R; ++i)
            k[i] = keys[i];
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(reg));
        for (size_t b = 0; b < blocks; ++b) {
            __m128i x = _mm_xor_si128(c, k[0]);
            for (int i = 1; i < R; ++i)
                x = _mm_aesenc_si128(x, k[i]);
            x = _mm_aesenclast_si128(x, k[R]);
            c = _mm_xor_si128(x, _mm_loadu_si128(reinterpret_cast<const __m128i*>(in) + b));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out) + b, c);
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(reg), c);
        Botan::secure_scrub_memory(k, sizeof k);
    }

    void encrypt(uint8_t* reg, const uint8_t* in, uint8_t* out, size_t blocks) const {
        switch (rounds) {
        case 10:
            encryptBlocks<10>(reg, in, out, blocks);
            break;
        case 12:
            encryptBlocks<12>(reg, in, out, blocks);
            break;
        default:
            encryptBlocks<14>(reg, in, out, blocks);
            break;
        }
    }
};

#else

struct Cfb::AesRounds {
    static bool available() { return false; }
    void expand(const uint8_t*, size_t) {}
    void encrypt(uint8_t*, const uint8_t*, uint8_t*, size_t) const {}
};

#endif

size_t cipherKeyLength(uint8_t algorithm) {
    size_t keyLength = 0, blockSize = 0;
    return rfc4880::cipherName(algorithm, keyLength, blockSize) ? keyLength : 0;
}

Cfb::Cfb(uint8_t algorithm, const uint8_t* key, size_t keyLength, bool useAesInstructions) {
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
    // Cipher numbers 7, 8 and 9 are AES-128, -192 and -256.
    if (useAesInstructions && algorithm >= 7 && algorithm <= 9 && AesRounds::available()) {
        m_aes = std::make_unique<AesRounds>();
        m_aes->expand(key, keyLength);
    }
}

Cfb::~Cfb() {
    Botan::secure_scrub_memory(m_reg, sizeof m_reg);
    Botan::secure_scrub_memory(m_ks, sizeof m_ks);
    Botan::secure_scrub_memory(m_next, sizeof m_next);
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
    if (m_aes && size >= m_bs) {
        size_t blocks = size / m_bs;
        m_aes->encrypt(m_reg, in, out, blocks);
        in += blocks * m_bs;
        out += blocks * m_bs;
        size -= blocks * m_bs;
    }
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
