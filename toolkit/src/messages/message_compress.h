// message_compress: compressed data packets (ZIP, ZLIB, BZip2) as streams.
#ifndef ZAF_MESSAGE_COMPRESS_H
#define ZAF_MESSAGE_COMPRESS_H

#include "message_stream.h"

#include <memory>

namespace zaf::msg {

// Compressed packet algorithms.
constexpr uint8_t kCompressNone = 0;
constexpr uint8_t kCompressZip = 1;
constexpr uint8_t kCompressZlib = 2;
constexpr uint8_t kCompressBZip2 = 3;

// How far the decompressed output of a whole message may outgrow the message: `floorBytes`
// always, then at most `perByte` bytes for each byte of the message read so far (0: no limit).
// One budget counts the output of every compressed layer of a message.
class ExpansionBudget {
public:
    ExpansionBudget(uint64_t perByte, uint64_t floorBytes)
        : m_perByte(perByte), m_floorBytes(floorBytes) {}
    // The stream whose bytes count as the message read (the outermost one).
    void setMessage(const SourceStream* message) { m_message = message; }
    // Counts `bytes` more decompressed output; kZAFError_RatioExceeded beyond the budget.
    void spend(uint64_t bytes);

private:
    uint64_t m_perByte;
    uint64_t m_floorBytes;
    const SourceStream* m_message = nullptr;
    uint64_t m_spent = 0;
};

// Decompresses the body of a compressed packet (the algorithm byte already read). Corrupt data
// fails with kZAFError_CorruptData, data that ends before the compressed stream does with
// kZAFError_Truncated, output beyond the budget with kZAFError_RatioExceeded.
class Inflater final : public InStream {
public:
    Inflater(InStream& below, uint8_t algorithm, ExpansionBudget& budget, Hasher* hasher);
    ~Inflater() override;
    // Whether bytes followed the end of the compressed stream (they are ignored).
    bool trailingData() const { return m_trailing; }

protected:
    ByteView fill() override;

private:
    struct Engine;
    InStream& m_below;
    uint8_t m_algorithm;
    ExpansionBudget& m_budget;
    Hasher* m_hasher;
    std::unique_ptr<Engine> m_engine;
    Buffer m_buffers[2];
    int m_current = 1;
    bool m_ended = false;
    bool m_trailing = false;
};

// Writes a ZLIB-compressed packet body (algorithm byte first) to `below`, which frames it.
class DeflateWriter final : public OutStream {
public:
    DeflateWriter(OutStream& below, int level, Hasher* hasher);
    ~DeflateWriter() override;
    void write(const uint8_t* data, size_t size) override;
    void finish() override;

private:
    struct Engine;
    void run(const uint8_t* data, size_t size, bool last);
    OutStream& m_below;
    Hasher* m_hasher;
    std::unique_ptr<Engine> m_engine;
    Buffer m_buffers[2];
    int m_current = 0;
    size_t m_fill = 0;
};

} // namespace zaf::msg

#endif
