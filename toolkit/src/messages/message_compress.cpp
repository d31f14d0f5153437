// message_compress: inflating ZIP, ZLIB and BZip2 packet bodies and deflating ZLIB ones.
#include "message_compress.h"

#include <algorithm>
#include <bzlib.h>
#include <climits>
#include <cstring>
#include <zlib.h>

namespace zaf::msg {

struct Inflater::Engine {
    bool bzip = false;
    z_stream z{};
    bz_stream bz{};
    ~Engine() {
        if (bzip)
            BZ2_bzDecompressEnd(&bz);
        else
            inflateEnd(&z);
    }
};

void ExpansionBudget::spend(uint64_t bytes) {
    m_spent += bytes;
    // A small message must not expand into gigabytes unnoticed, however many layers it nests.
    uint64_t read = m_message ? m_message->consumed() : 0;
    if (m_perByte != 0 && m_spent > m_floorBytes &&
        (m_spent - m_floorBytes - 1) / m_perByte >= read)
        fail(kZAFError_RatioExceeded);
}

Inflater::Inflater(InStream& below, uint8_t algorithm, ExpansionBudget& budget, Hasher* hasher)
    : m_below(below), m_algorithm(algorithm), m_budget(budget), m_hasher(hasher) {
    if (algorithm == kCompressNone)
        return;
    auto engine = std::make_unique<Engine>();
    if (algorithm == kCompressZip || algorithm == kCompressZlib) {
        // ZIP is a bare deflate stream, ZLIB one with the zlib header and checksum.
        if (inflateInit2(&engine->z, algorithm == kCompressZip ? -15 : 15) != Z_OK)
            fail(kZAFError_OutOfMemory);
    } else if (algorithm == kCompressBZip2) {
        if (BZ2_bzDecompressInit(&engine->bz, 0, 0) != BZ_OK)
            fail(kZAFError_OutOfMemory);
        engine->bzip = true;
    } else {
        fail(kZAFError_UnsupportedAlg);
    }
    m_engine = std::move(engine);
    m_buffers[0] = Buffer(kChunk);
    m_buffers[1] = Buffer(kChunk);
}

Inflater::~Inflater() {
    if (m_hasher)
        for (Buffer& b : m_buffers)
            m_hasher->waitFor(b.data(), b.size());
}

ByteView Inflater::fill() {
    if (m_algorithm == kCompressNone)
        return m_below.next();
    if (m_ended) {
        return ByteView();
    }
    m_current ^= 1;
    Buffer& b = m_buffers[m_current];
    if (m_hasher)
        m_hasher->waitFor(b.data(), b.size());
    size_t produced = 0;
    while (produced == 0 && !m_ended) {
        ByteView in = m_below.next(UINT_MAX);
        if (in.empty())
            fail(kZAFError_Truncated);
        size_t left = 0;
        size_t made = 0;
        if (m_engine->bzip) {
            bz_stream& bz = m_engine->bz;
            bz.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data));
            bz.avail_in = unsigned(in.size);
            bz.next_out = reinterpret_cast<char*>(b.data());
            bz.avail_out = unsigned(b.size());
            int rc = BZ2_bzDecompress(&bz);
            if (rc == BZ_STREAM_END)
                m_ended = true;
            else if (rc != BZ_OK)
                fail(rc == BZ_MEM_ERROR ? kZAFError_OutOfMemory : kZAFError_CorruptData);
            left = bz.avail_in;
            made = b.size() - bz.avail_out;
        } else {
            z_stream& z = m_engine->z;
            z.next_in = const_cast<Bytef*>(in.data);
            z.avail_in = uInt(in.size);
            z.next_out = b.data();
            z.avail_out = uInt(b.size());
            int rc = inflate(&z, Z_NO_FLUSH);
            if (rc == Z_STREAM_END)
                m_ended = true;
            else if (rc == Z_MEM_ERROR)
                fail(kZAFError_OutOfMemory);
            else if (rc != Z_OK && rc != Z_BUF_ERROR)
                fail(kZAFError_CorruptData);
            left = z.avail_in;
            made = b.size() - z.avail_out;
        }
        m_below.unget(left);
        produced = made;
        m_budget.spend(made);
    }
    if (m_ended && !m_below.next(1).empty()) {
        m_trailing = true;
        m_below.skipAll();
    }
    return ByteView{b.data(), produced};
}

struct DeflateWriter::Engine {
    z_stream z{};
    ~Engine() { deflateEnd(&z); }
};

DeflateWriter::DeflateWriter(OutStream& below, int level, Hasher* hasher)
    : m_below(below), m_hasher(hasher), m_engine(std::make_unique<Engine>()) {
    if (deflateInit(&m_engine->z, level) != Z_OK)
        fail(kZAFError_OutOfMemory);
    m_buffers[0] = Buffer(kChunk);
    m_buffers[1] = Buffer(kChunk);
    uint8_t algorithm = kCompressZlib;
    m_below.write(&algorithm, 1);
}

DeflateWriter::~DeflateWriter() {
    if (m_hasher)
        for (Buffer& b : m_buffers)
            m_hasher->waitFor(b.data(), b.size());
}

void DeflateWriter::run(const uint8_t* data, size_t size, bool last) {
    z_stream& z = m_engine->z;
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = uInt(size);
    for (;;) {
        Buffer& b = m_buffers[m_current];
        z.next_out = b.data() + m_fill;
        z.avail_out = uInt(b.size() - m_fill);
        int rc = deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
        if (rc == Z_STREAM_ERROR)
            fail(kZAFError_Internal);
        m_fill = b.size() - z.avail_out;
        bool done = last ? rc == Z_STREAM_END : z.avail_in == 0;
        // Whole buffers go down (power-of-two chunks for the packet framing), the rest at the end.
        if (m_fill == b.size() || (done && last && m_fill > 0)) {
            m_below.write(b.data(), m_fill);
            m_fill = 0;
            // The layer below may still hash this buffer; the other one is reused next.
            m_current ^= 1;
            if (m_hasher)
                m_hasher->waitFor(m_buffers[m_current].data(), m_buffers[m_current].size());
        }
        if (done)
            break;
    }
}

void DeflateWriter::write(const uint8_t* data, size_t size) {
    while (size > 0) {
        size_t take = std::min<size_t>(size, UINT_MAX);
        run(data, take, false);
        data += take;
        size -= take;
    }
}

void DeflateWriter::finish() { run(nullptr, 0, true); }

} // namespace zaf::msg
