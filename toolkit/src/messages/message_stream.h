// message_stream: the byte streams the message layer is built from.
//
// Reading is pull-based: an InStream hands out views of its next bytes, which stay valid until
// its next call; layers that only frame data (packet bodies) pass views of the layer below on
// without copying, layers that transform data (armour, decryption, decompression) fill buffers
// of their own. Writing is push-based: an OutStream takes spans and passes them on, transformed
// or framed. Hashing (the MDC and signatures) goes through one Hasher per call, which moves to a
// second thread once a message turns out to be large; every layer that owns a buffer asks the
// hasher to finish with it before overwriting it.
#ifndef ZAF_MESSAGE_STREAM_H
#define ZAF_MESSAGE_STREAM_H

#include <zaf/zafmessage.h>

#include <botan/hash.h>
#include <botan/secmem.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zaf::msg {

using Secret = Botan::secure_vector<uint8_t>;

// Every message call ends with a code; inside, failures travel as this exception.
class Failure : public std::exception {
public:
    explicit Failure(ZAFError code) : m_code(code) {}
    ZAFError code() const { return m_code; }
    const char* what() const noexcept override { return "message failure"; }

private:
    ZAFError m_code;
};
[[noreturn]] void fail(ZAFError code);

// Buffers of the transforming layers; large enough for one system call or cipher batch to
// amortise its cost, small enough to stay in the processor's cache. Fuzzing builds use small
// ones: each input then costs what its own bytes cost (not clearing and wiping 256 KiB blocks),
// and block edges are met often.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
constexpr size_t kChunk = 4u << 10;
#else
constexpr size_t kChunk = 256u << 10;
#endif

struct ByteView {
    const uint8_t* data = nullptr;
    size_t size = 0;
    bool empty() const { return size == 0; }
};

// A buffer that is overwritten with zeros when released or resized (plaintext passes through
// these).
class Buffer {
public:
    explicit Buffer(size_t size = 0) : m_bytes(size) {}
    uint8_t* data() { return m_bytes.data(); }
    const uint8_t* data() const { return m_bytes.data(); }
    size_t size() const { return m_bytes.size(); }

private:
    Secret m_bytes;
};

// ---- hashing ----

// One running hash with an optional canonical-text conversion (line feeds become CR LF, as text
// signatures hash them).
class HashLane {
public:
    HashLane(uint8_t algorithm, bool canonicalText);
    void update(const uint8_t* data, size_t size);
    // The digest of everything hashed so far followed by `extra`; the lane itself goes on.
    std::vector<uint8_t> finish(const uint8_t* extra, size_t extraSize) const;
    uint8_t algorithm() const { return m_algorithm; }
    bool canonicalText() const { return m_text; }

private:
    std::unique_ptr<Botan::HashFunction> m_hash;
    uint8_t m_algorithm;
    bool m_text;
    bool m_lastCR = false;
};

// Runs the hash lanes of one call, on the calling thread until `kAsyncThreshold` bytes went
// through, then on a worker thread of its own. Jobs run in the order they were given. A job
// names a set of lanes and a span; spans of up to kInline bytes are copied, longer ones are
// referenced and must stay unchanged until waitFor() or drain() says the hasher is done with
// them.
class Hasher {
public:
    static constexpr size_t kAsyncThreshold = 4u << 20;
    static constexpr size_t kInline = 64u << 10;

    Hasher();
    ~Hasher();
    Hasher(const Hasher&) = delete;
    Hasher& operator=(const Hasher&) = delete;

    // Adds a lane; the index names it in jobs (at most 64 lanes).
    size_t addLane(uint8_t algorithm, bool canonicalText);
    HashLane& lane(size_t index) { return *m_lanes[index]; }
    size_t laneCount() const { return m_lanes.size(); }

    void submit(uint64_t laneMask, const uint8_t* data, size_t size);
    // Returns once no pending job reads from [data, data + size). May be called from another
    // thread than the one that submits.
    void waitFor(const uint8_t* data, size_t size);
    // Returns once every job has run.
    void drain();
    // Bytes after which hashing moves to the worker (0: from the first large job, SIZE_MAX:
    // never).
    void setAsyncThreshold(size_t bytes) { m_threshold = bytes; }

private:
    struct Job {
        uint64_t mask = 0;
        const uint8_t* data = nullptr;
        size_t size = 0;
        uint64_t seq = 0;
        Secret copy; // may be decrypted data
    };
    void run(const Job& job);
    void worker();

    std::vector<std::unique_ptr<HashLane>> m_lanes;
    size_t m_threshold = kAsyncThreshold;
    uint64_t m_seen = 0;
    std::atomic<bool> m_async{false}; // read by waitFor() on a source's read-ahead thread
    std::thread m_thread;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::deque<Job> m_queue;
    uint64_t m_nextSeq = 1;
    uint64_t m_finished = 0;
    bool m_stop = false;
};

// ---- reading ----

class InStream {
public:
    virtual ~InStream() = default;
    // The next bytes, at most `max`; empty only at the end. Valid until the next call of next()
    // or unget() on this stream.
    ByteView next(size_t max = SIZE_MAX);
    // Gives back the last `count` bytes of the view just returned (count <= its size).
    void unget(size_t count);
    // Copies exactly `size` bytes; returns how many there were (less only at the end).
    size_t read(uint8_t* out, size_t size);
    // Reads and drops everything up to the end; returns the number of bytes.
    uint64_t skipAll();
    // One byte, or -1 at the end.
    int byte();

protected:
    // Produces the next run of bytes (empty at the end). Called only when the previous run has
    // been handed out completely.
    virtual ByteView fill() = 0;

private:
    ByteView m_run;
    size_t m_pos = 0;
};

// Input of a ZAFMessageSource, read in kChunk blocks into two alternating buffers; memory
// sources are handed out in place. A regular file (or a callback source declared to read like
// one) that turns out to be large (kReadAheadAfter) is read ahead from then on, on a thread of
// its own, so that copying it in overlaps the work done on it (encrypting, hashing).
class SourceStream final : public InStream {
public:
    static constexpr uint64_t kReadAheadAfter = 4u << 20;

    SourceStream(ZAFMessageSource& source, Hasher* hasher);
    ~SourceStream() override;
    // Total bytes read so far.
    uint64_t consumed() const { return m_consumed; }
    // Whether the rest is being read ahead.
    bool readingAhead() const { return m_ahead != nullptr; }

protected:
    ByteView fill() override;

private:
    class ReadAhead;
    ZAFMessageSource& m_source;
    Hasher* m_hasher;
    Buffer m_buffers[2];
    int m_current = 1;
    uint64_t m_consumed = 0;
    bool m_canReadAhead = false;
    std::unique_ptr<ReadAhead> m_ahead;
};

// Bytes held in memory as a stream (packet bodies already read, prefixes pushed back).
class MemoryStream final : public InStream {
public:
    explicit MemoryStream(ByteView bytes) : m_bytes(bytes) {}

protected:
    ByteView fill() override {
        ByteView out = m_bytes;
        m_bytes = ByteView();
        return out;
    }

private:
    ByteView m_bytes;
};

// A packet header as read from a stream.
struct PacketHeader {
    uint8_t tag = 0;
    enum class Length { Fixed, Partial, ToEnd } kind = Length::Fixed;
    uint64_t length = 0; // fixed: the body; partial: the first chunk
    bool newFormat = false;
};
// Reads a header; false at the clean end of the stream. Throws on a malformed header
// (kZAFError_CorruptData) or a stream that ends inside one (kZAFError_Truncated).
bool readPacketHeader(InStream& in, PacketHeader& out);

// The body of one packet, read through the stream below without copying: fixed lengths, partial
// chunks (each chunk's header read as it comes) or everything to the end of the stream below.
// A stream below that ends early fails with kZAFError_Truncated.
class PacketBody final : public InStream {
public:
    PacketBody(InStream& below, const PacketHeader& header);
    // Bytes of body handed out so far.
    uint64_t consumed() const { return m_consumed; }

protected:
    ByteView fill() override;

private:
    InStream& m_below;
    uint64_t m_left;
    bool m_partial;
    bool m_toEnd;
    bool m_done = false;
    uint64_t m_consumed = 0;
};

// Reads a whole packet body of at most `limit` bytes into memory (kZAFError_TooLarge beyond).
std::string readBody(InStream& in, const PacketHeader& header, size_t limit);

// ---- writing ----

class OutStream {
public:
    virtual ~OutStream() = default;
    virtual void write(const uint8_t* data, size_t size) = 0;
    // Ends this layer's output (closing packets, armour); does not end the layers below.
    virtual void finish() = 0;
    void put(const std::string& s) { write(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }
};

// Buffered writes to a ZAFMessageSink; large writes go straight through.
class SinkStream final : public OutStream {
public:
    explicit SinkStream(ZAFMessageSink& sink) : m_sink(sink), m_buffer(kChunk) {}
    void write(const uint8_t* data, size_t size) override;
    void finish() override { flush(); }
    uint64_t written() const { return m_written; }

private:
    void flush();
    void emit(const uint8_t* data, size_t size);
    ZAFMessageSink& m_sink;
    Buffer m_buffer;
    size_t m_fill = 0;
    uint64_t m_written = 0;
};

// One packet written with partial body lengths, so that its size need not be known in advance.
// Each write goes out in power-of-two chunks straight from the caller's memory (a write of a
// whole buffer is one chunk), after the first 512 bytes, which are gathered because the first
// chunk may not be shorter. finish() ends the packet with a final chunk of length zero, or
// writes the whole packet with a definite length when it stayed under 512 bytes.
class PartialPacketWriter final : public OutStream {
public:
    PartialPacketWriter(OutStream& below, uint8_t tag) : m_below(below), m_tag(tag) {}
    void write(const uint8_t* data, size_t size) override;
    void finish() override;

private:
    static constexpr size_t kMinFirstChunk = 512;
    void emitChunks(const uint8_t* data, size_t size);
    OutStream& m_below;
    uint8_t m_tag;
    bool m_started = false;
    std::vector<uint8_t> m_first;
};

// Appends an RFC 4880 header with a definite length (new format).
void appendHeader(std::string& out, uint8_t tag, size_t length);

} // namespace zaf::msg

#endif
