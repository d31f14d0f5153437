// message_cfb: the cipher feedback mode of RFC 4880 over the toolkit's block ciphers.
#ifndef ZAF_MESSAGE_CFB_H
#define ZAF_MESSAGE_CFB_H

#include "message_stream.h"

#include <botan/block_cipher.h>

#include <memory>

namespace zaf::msg {

// Full-block cipher feedback, resumable at any byte. Encryption is serial by nature (each block
// needs the cipher text before it); decryption is not: every plaintext block is its cipher text
// XOR the encryption of the previous cipher text block, all of which are known, so whole runs of
// blocks go through the cipher in one call, which lets the processor pipeline them.
//
// AES encryption runs its whole blocks through the processor's AES instructions when it has
// them: one loop with the round keys in registers, bound only by the latency of the rounds,
// where a call into the cipher per block spends as long again on the call.
class Cfb {
public:
    // `algorithm` is an RFC 4880 cipher number (kZAFError_UnsupportedCipher when unknown); the key
    // must have the cipher's length. The register starts as zeros. `useAesInstructions` false
    // keeps to the library's cipher (to compare the two).
    Cfb(uint8_t algorithm, const uint8_t* key, size_t keyLength, bool useAesInstructions = true);
    ~Cfb();
    Cfb(const Cfb&) = delete;
    Cfb& operator=(const Cfb&) = delete;
    // Whether whole blocks are encrypted with the processor's AES instructions.
    bool usesAesInstructions() const { return m_aes != nullptr; }
    size_t blockSize() const { return m_bs; }
    size_t keyLength() const;
    // Sets the register to `bs` bytes (the IV, or the last cipher text block for the resynchronised
    // variant of the old encrypted packet) and starts a new block.
    void resync(const uint8_t* block);
    // `in` and `out` may be the same buffer (or not overlap at all).
    void encrypt(const uint8_t* in, uint8_t* out, size_t size);
    void decrypt(const uint8_t* in, uint8_t* out, size_t size);

private:
    void finishPartial(const uint8_t*& in, uint8_t*& out, size_t& size, bool decrypting);
    struct AesRounds;
    std::unique_ptr<Botan::BlockCipher> m_cipher;
    std::unique_ptr<AesRounds> m_aes; // null: the library's cipher for every block
    size_t m_bs;
    uint8_t m_reg[16] = {};  // the last complete cipher text block
    uint8_t m_ks[16] = {};   // key stream of the block in progress
    uint8_t m_next[16] = {}; // cipher text of the block in progress
    size_t m_used = 0;       // bytes of the block in progress (0: at a block boundary)
    Buffer m_scratch;
};

// Cipher key length in bytes of an RFC 4880 cipher number, 0 when unknown.
size_t cipherKeyLength(uint8_t algorithm);

} // namespace zaf::msg

#endif
