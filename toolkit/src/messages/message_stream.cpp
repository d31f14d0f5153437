// message_stream: byte streams, packet framing and the hasher of the message layer.
#include "message_stream.h"

#include "message_internal.h"
#include "packets/packets.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace zaf::msg {

void fail(ZAFError code) { throw Failure(code); }

// ---- hashing ----

HashLane::HashLane(uint8_t algorithm, bool canonicalText)
    : m_algorithm(algorithm), m_text(canonicalText) {
    const char* name = rfc4880::hashName(algorithm);
    if (name == nullptr)
        fail(kZAFError_UnsupportedAlg);
    m_hash = Botan::HashFunction::create(name);
    if (!m_hash)
        fail(kZAFError_UnsupportedAlg);
}

void HashLane::update(const uint8_t* data, size_t size) {
    if (!m_text) {
        m_hash->update(data, size);
        return;
    }
    // A line feed that does not follow a carriage return gets one in front.
    static const uint8_t kCR = '\r';
    const uint8_t* end = data + size;
    while (data < end) {
        const uint8_t* lf =
            static_cast<const uint8_t*>(std::memchr(data, '\n', size_t(end - data)));
        const uint8_t* stop = lf ? lf : end;
        bool prevCR = stop > data ? stop[-1] == '\r' : m_lastCR;
        m_hash->update(data, size_t(stop - data));
        if (stop > data)
            m_lastCR = stop[-1] == '\r';
        if (!lf)
            break;
        if (!prevCR)
            m_hash->update(&kCR, 1);
        m_hash->update(lf, 1);
        m_lastCR = false;
        data = lf + 1;
    }
}

std::vector<uint8_t> HashLane::finish(const uint8_t* extra, size_t extraSize) const {
    // On a copy, so that several signatures can share what was hashed.
    std::unique_ptr<Botan::HashFunction> h = m_hash->copy_state();
    h->update(extra, extraSize);
    std::vector<uint8_t> out(h->output_length());
    h->final(out.data());
    return out;
}

Hasher::Hasher() = default;

Hasher::~Hasher() {
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

size_t Hasher::addLane(uint8_t algorithm, bool canonicalText) {
    if (m_lanes.size() >= 64)
        fail(kZAFError_TooLarge);
    drain();
    m_lanes.push_back(std::make_unique<HashLane>(algorithm, canonicalText));
    return m_lanes.size() - 1;
}

void Hasher::run(const Job& job) {
    const uint8_t* data = job.copy.empty() ? job.data : job.copy.data();
    for (size_t i = 0; i < m_lanes.size(); ++i)
        if (job.mask & (uint64_t(1) << i))
            m_lanes[i]->update(data, job.size);
}

void Hasher::submit(uint64_t laneMask, const uint8_t* data, size_t size) {
    if (laneMask == 0 || size == 0)
        return;
    m_seen += size;
    if (!m_async && m_threshold != SIZE_MAX && m_seen > m_threshold && size > kInline) {
        m_async = true;
        m_thread = std::thread([this] { worker(); });
    }
    Job job;
    job.mask = laneMask;
    job.size = size;
    if (!m_async) {
        job.data = data;
        run(job);
        return;
    }
    if (size <= kInline)
        job.copy.assign(data, data + size);
    else
        job.data = data;
    {
        std::unique_lock<std::mutex> hold(m_lock);
        // A bounded queue: the producer waits when the worker falls far behind.
        m_done.wait(hold, [&] { return m_queue.size() < 64; });
        job.seq = m_nextSeq++;
        m_queue.push_back(std::move(job));
    }
    m_wake.notify_one();
}

void Hasher::worker() {
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        m_wake.wait(hold, [&] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        // The job stays queued while it runs, so that waitFor() sees its span.
        const Job& job = m_queue.front();
        hold.unlock();
        run(job);
        hold.lock();
        m_finished = job.seq;
        m_queue.pop_front();
        m_done.notify_all();
    }
}

void Hasher::waitFor(const uint8_t* data, size_t size) {
    if (!m_async || data == nullptr)
        return;
    std::unique_lock<std::mutex> hold(m_lock);
    uint64_t last = 0;
    for (const Job& j : m_queue)
        if (j.copy.empty() && j.data < data + size && data < j.data + j.size)
            last = j.seq;
    m_done.wait(hold, [&] { return m_finished >= last; });
}

void Hasher::drain() {
    if (!m_async)
        return;
    std::unique_lock<std::mutex> hold(m_lock);
    m_done.wait(hold, [&] { return m_queue.empty(); });
}

// ---- reading ----

ByteView InStream::next(size_t max) {
    if (m_pos == m_run.size) {
        m_run = fill();
        m_pos = 0;
        if (m_run.empty())
            return ByteView();
    }
    size_t take = std::min(max, m_run.size - m_pos);
    ByteView out{m_run.data + m_pos, take};
    m_pos += take;
    return out;
}

void InStream::unget(size_t count) { m_pos -= std::min(count, m_pos); }

size_t InStream::read(uint8_t* out, size_t size) {
    size_t got = 0;
    while (got < size) {
        ByteView v = next(size - got);
        if (v.empty())
            break;
        std::memcpy(out + got, v.data, v.size);
        got += v.size;
    }
    return got;
}

uint64_t InStream::skipAll() {
    uint64_t n = 0;
    for (ByteView v = next(); !v.empty(); v = next())
        n += v.size;
    return n;
}

int InStream::byte() {
    ByteView v = next(1);
    return v.empty() ? -1 : v.data[0];
}

// Reads a regular file ahead of its consumer, on a thread of its own, into a ring of buffers. A
// regular file never keeps a read waiting for long, so the thread ends soon after it is asked to
// (a pipe could keep it waiting for ever: those are read in step). A descriptor is read with
// pread from where the consumer had got to and, when the reader goes, its offset is left just
// after the bytes handed out, as reading in step would have left it. A buffer is refilled only
// after the consumer has moved past it and the hasher no longer reads it.
class SourceStream::ReadAhead {
public:
    ReadAhead(ZAFMessageSource& source, uint64_t start, Hasher* hasher)
        : m_source(source), m_start(start), m_hasher(hasher) {
        for (Buffer& b : m_buffers)
            b = Buffer(kChunk);
        m_thread = std::thread([this] { run(); });
    }

    ~ReadAhead() {
        {
            std::lock_guard<std::mutex> hold(m_lock);
            m_stop = true;
        }
        m_changed.notify_all();
        m_thread.join();
        if (m_hasher)
            for (Buffer& b : m_buffers)
                m_hasher->waitFor(b.data(), b.size());
        if (m_source.kind != ZAFMessageSource::Kind::Callback)
            ::lseek(m_source.fd, off_t(m_start + m_handedBytes), SEEK_SET);
    }
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // The next run of the input, empty at its end; the run handed out before goes back to the
    // ring. A failed read fails here, in the consumer, in the order of the input.
    ByteView next() {
        std::unique_lock<std::mutex> hold(m_lock);
        m_released = m_handed;
        m_changed.notify_all();
        m_changed.wait(hold, [&] { return m_produced > m_handed || m_end || m_error; });
        if (m_produced == m_handed) {
            if (m_error)
                fail(m_error);
            m_source.spent = true;
            return ByteView();
        }
        const size_t i = m_handed++ % kBuffers;
        m_handedBytes += m_sizes[i];
        return ByteView{m_buffers[i].data(), m_sizes[i]};
    }

private:
    static constexpr size_t kBuffers = 4;

    // Reads the next run into `b` at `offset`: its size, 0 at the end; throws Failure.
    size_t readRun(Buffer& b, uint64_t offset) {
        if (m_source.kind == ZAFMessageSource::Kind::Callback)
            return m_source.read(b.data(), b.size());
        for (;;) {
            const ssize_t n = ::pread(m_source.fd, b.data(), b.size(), off_t(offset));
            if (n >= 0)
                return size_t(n);
            if (errno != EINTR)
                fail(kZAFError_ReadFailed);
        }
    }

    void run() {
        uint64_t offset = m_start;
        for (;;) {
            size_t i = 0;
            {
                std::unique_lock<std::mutex> hold(m_lock);
                m_changed.wait(hold, [&] { return m_stop || m_produced - m_released < kBuffers; });
                if (m_stop)
                    return;
                i = m_produced % kBuffers;
            }
            Buffer& b = m_buffers[i];
            if (m_hasher)
                m_hasher->waitFor(b.data(), b.size());
            size_t n = 0;
            ZAFError error = kZAFError_NoErr;
            try {
                n = readRun(b, offset);
            } catch (const Failure& f) {
                error = f.code();
            } catch (...) {
                error = zaf::codeOfCurrentException(); // what the call's guard makes of it
            }
            {
                std::lock_guard<std::mutex> hold(m_lock);
                if (error != kZAFError_NoErr) {
                    m_error = error;
                } else if (n == 0) {
                    m_end = true;
                } else {
                    m_sizes[i] = n;
                    ++m_produced;
                    offset += n;
                }
            }
            m_changed.notify_all();
            if (error != kZAFError_NoErr || n == 0)
                return;
        }
    }

    ZAFMessageSource& m_source;
    const uint64_t m_start;
    Hasher* const m_hasher;
    Buffer m_buffers[kBuffers];
    size_t m_sizes[kBuffers] = {};
    std::mutex m_lock;
    std::condition_variable m_changed;
    uint64_t m_produced = 0; // runs read
    uint64_t m_handed = 0;   // runs handed to the consumer
    uint64_t m_released = 0; // runs the consumer is done with
    uint64_t m_handedBytes = 0;
    bool m_end = false;
    ZAFError m_error = kZAFError_NoErr;
    bool m_stop = false;
    std::thread m_thread;
};

SourceStream::SourceStream(ZAFMessageSource& source, Hasher* hasher)
    : m_source(source), m_hasher(hasher) {
    if (!source.isMemory()) {
        m_buffers[0] = Buffer(kChunk);
        m_buffers[1] = Buffer(kChunk);
    }
    struct stat st {};
    if (source.kind == ZAFMessageSource::Kind::Callback)
        m_canReadAhead = source.readAhead;
    else if (!source.isMemory())
        m_canReadAhead = ::fstat(source.fd, &st) == 0 && S_ISREG(st.st_mode);
}

SourceStream::~SourceStream() {
    m_ahead.reset();
    if (m_hasher)
        for (Buffer& b : m_buffers)
            m_hasher->waitFor(b.data(), b.size());
}

ByteView SourceStream::fill() {
    if (m_source.isMemory()) {
        ByteView v = m_source.takeMemory();
        m_consumed += v.size;
        return v;
    }
    if (!m_ahead && m_canReadAhead && m_consumed >= kReadAheadAfter && !m_source.spent) {
        const off_t at = m_source.kind == ZAFMessageSource::Kind::Callback
                             ? 0
                             : ::lseek(m_source.fd, 0, SEEK_CUR);
        try {
            if (at >= 0)
                m_ahead = std::make_unique<ReadAhead>(m_source, uint64_t(at), m_hasher);
        } catch (const std::system_error&) {
            // No thread to be had: read in step.
        }
        m_canReadAhead = m_ahead != nullptr;
    }
    if (m_ahead) {
        ByteView v = m_ahead->next();
        m_consumed += v.size;
        return v;
    }
    m_current ^= 1;
    Buffer& b = m_buffers[m_current];
    if (m_hasher)
        m_hasher->waitFor(b.data(), b.size());
    size_t got = m_source.read(b.data(), b.size());
    m_consumed += got;
    return ByteView{b.data(), got};
}

bool readPacketHeader(InStream& in, PacketHeader& out) {
    int ctb = in.byte();
    if (ctb < 0)
        return false;
    if (!(ctb & 0x80))
        fail(kZAFError_CorruptData);
    out = PacketHeader();
    auto need = [&]() {
        int b = in.byte();
        if (b < 0)
            fail(kZAFError_Truncated);
        return uint64_t(b);
    };
    if (ctb & 0x40) {
        out.newFormat = true;
        out.tag = uint8_t(ctb & 0x3F);
        uint64_t b0 = need();
        if (b0 < 192) {
            out.length = b0;
        } else if (b0 < 224) {
            out.length = ((b0 - 192) << 8) + need() + 192;
        } else if (b0 == 255) {
            uint64_t v = 0;
            for (int i = 0; i < 4; ++i)
                v = (v << 8) | need();
            out.length = v;
        } else {
            out.kind = PacketHeader::Length::Partial;
            out.length = uint64_t(1) << (b0 & 0x1F);
        }
        return true;
    }
    out.tag = uint8_t((ctb >> 2) & 0x0F);
    int lt = ctb & 3;
    if (lt == 3) {
        out.kind = PacketHeader::Length::ToEnd;
        return true;
    }
    int n = lt == 0 ? 1 : lt == 1 ? 2 : 4;
    uint64_t v = 0;
    for (int i = 0; i < n; ++i)
        v = (v << 8) | need();
    out.length = v;
    return true;
}

PacketBody::PacketBody(InStream& below, const PacketHeader& header)
    : m_below(below), m_left(header.length),
      m_partial(header.kind == PacketHeader::Length::Partial),
      m_toEnd(header.kind == PacketHeader::Length::ToEnd) {}

ByteView PacketBody::fill() {
    if (m_done)
        return ByteView();
    if (m_toEnd) {
        ByteView v = m_below.next();
        m_consumed += v.size;
        m_done = v.empty();
        return v;
    }
    while (m_left == 0) {
        if (!m_partial) {
            m_done = true;
            return ByteView();
        }
        // The next chunk's length: partial again, or the final definite one.
        int b0 = m_below.byte();
        if (b0 < 0)
            fail(kZAFError_Truncated);
        auto need = [&]() {
            int b = m_below.byte();
            if (b < 0)
                fail(kZAFError_Truncated);
            return uint64_t(b);
        };
        if (b0 < 192) {
            m_left = uint64_t(b0);
            m_partial = false;
        } else if (b0 < 224) {
            m_left = ((uint64_t(b0) - 192) << 8) + need() + 192;
            m_partial = false;
        } else if (b0 == 255) {
            uint64_t v = 0;
            for (int i = 0; i < 4; ++i)
                v = (v << 8) | need();
            m_left = v;
            m_partial = false;
        } else {
            m_left = uint64_t(1) << (b0 & 0x1F);
        }
    }
    ByteView v = m_below.next(size_t(std::min<uint64_t>(m_left, SIZE_MAX)));
    if (v.empty())
        fail(kZAFError_Truncated);
    m_left -= v.size;
    m_consumed += v.size;
    return v;
}

std::string readBody(InStream& in, const PacketHeader& header, size_t limit) {
    PacketBody body(in, header);
    std::string out;
    for (ByteView v = body.next(); !v.empty(); v = body.next()) {
        if (v.size > limit - out.size())
            fail(kZAFError_TooLarge);
        out.append(reinterpret_cast<const char*>(v.data), v.size);
    }
    return out;
}

// ---- writing ----

void SinkStream::emit(const uint8_t* data, size_t size) {
    m_sink.write(data, size);
    m_written += size;
}

void SinkStream::flush() {
    if (m_fill == 0)
        return;
    size_t n = m_fill;
    m_fill = 0;
    emit(m_buffer.data(), n);
}

void SinkStream::write(const uint8_t* data, size_t size) {
    if (size >= m_buffer.size()) {
        // Large writes go straight through, after what is buffered.
        flush();
        emit(data, size);
        return;
    }
    while (size > 0) {
        size_t take = std::min(size, m_buffer.size() - m_fill);
        std::memcpy(m_buffer.data() + m_fill, data, take);
        m_fill += take;
        data += take;
        size -= take;
        if (m_fill == m_buffer.size())
            flush();
    }
}

void appendHeader(std::string& out, uint8_t tag, size_t length) {
    rfc4880::writeHeader(out, tag, length, true);
}

void PartialPacketWriter::emitChunks(const uint8_t* data, size_t size) {
    // Any length is a sum of powers of two: one chunk per bit, largest first. Writes of whole
    // buffers (a power of two) go out as one chunk each, straight from the caller's memory.
    for (int bit = 30; bit >= 0 && size > 0; --bit) {
        size_t chunk = size_t(1) << bit;
        while (size >= chunk) {
            uint8_t h = uint8_t(0xE0 | bit);
            m_below.write(&h, 1);
            m_below.write(data, chunk);
            data += chunk;
            size -= chunk;
        }
    }
}

void PartialPacketWriter::write(const uint8_t* data, size_t size) {
    if (!m_started) {
        // The first chunk must hold at least 512 bytes: gather them.
        size_t take = std::min(size, kMinFirstChunk - m_first.size());
        m_first.insert(m_first.end(), data, data + take);
        data += take;
        size -= take;
        if (m_first.size() < kMinFirstChunk)
            return;
        uint8_t ctb = uint8_t(0xC0 | m_tag);
        m_below.write(&ctb, 1);
        emitChunks(m_first.data(), m_first.size());
        m_started = true;
    }
    emitChunks(data, size);
}

void PartialPacketWriter::finish() {
    std::string hdr;
    if (!m_started) {
        appendHeader(hdr, m_tag, m_first.size());
        m_below.put(hdr);
        m_below.write(m_first.data(), m_first.size());
        return;
    }
    uint8_t last = 0; // the final chunk, of definite length zero
    m_below.write(&last, 1);
}

} // namespace zaf::msg
