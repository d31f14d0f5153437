// Messages large enough for the hasher to move to its own thread, both ways: what one thread
// writes while the other hashes must come out the same.
// ctest-labels: threaded
#include "message_test_util.h"
#include "messages/message_internal.h"
#include "messages/message_stream.h"

#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <unistd.h>

using namespace msgtest;
using zaf::msg::Failure;
using zaf::msg::Hasher;
using zaf::msg::SourceStream;

namespace {

std::string randomText(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (char& c : out)
        c = char(gen());
    return out;
}

// A temporary file holding `data`, open for reading at its start; removed with the object.
class TempInput {
public:
    explicit TempInput(const std::string& data) {
        const char* dir = std::getenv("TMPDIR");
        m_path = std::string(dir && *dir ? dir : "/tmp") + "/orx-readahead-XXXXXX";
        m_fd = ::mkstemp(m_path.data());
        EXPECT_GE(m_fd, 0);
        EXPECT_EQ(ssize_t(data.size()), ::write(m_fd, data.data(), data.size()));
        ::lseek(m_fd, 0, SEEK_SET);
    }
    ~TempInput() {
        ::close(m_fd);
        ::unlink(m_path.c_str());
    }
    int fd() const { return m_fd; }

private:
    std::string m_path;
    int m_fd = -1;
};

// Reads `in` to its end (or until `limit` bytes) in pieces of changing size, each hashed on the
// hasher's thread by reference, as the encoder hashes what it encrypts.
std::string readThrough(SourceStream& in, Hasher& hasher, size_t lane, size_t limit = SIZE_MAX) {
    std::mt19937 gen(5);
    std::string got;
    while (got.size() < limit) {
        zaf::msg::ByteView v = in.next(1 + gen() % 300000);
        if (v.empty())
            break;
        hasher.submit(uint64_t(1) << lane, v.data, v.size);
        got.append(reinterpret_cast<const char*>(v.data), v.size);
    }
    return got;
}

std::vector<uint8_t> sha1Of(const std::string& data) {
    auto h = Botan::HashFunction::create("SHA-1");
    h->update(data);
    auto d = h->final();
    return std::vector<uint8_t>(d.begin(), d.end());
}

// A callback source over a string that notes the threads it is called on and can fail at a
// given offset; `readAhead` declares it as reading like a regular file.
struct CallbackInput {
    std::string data;
    size_t at = 0;
    size_t failAt = SIZE_MAX;
    bool throwAtFail = false; // a C++ caller's callback may throw
    std::mutex lock;
    std::set<std::thread::id> threads;
    ZAFMessageSource source;

    CallbackInput(std::string bytes, bool readAhead) : data(std::move(bytes)) {
        source.kind = ZAFMessageSource::Kind::Callback;
        source.callback = read;
        source.userData = this;
        source.readAhead = readAhead;
    }

    static ZAFError read(void* user, void* buffer, size_t size, size_t* outRead) {
        auto* self = static_cast<CallbackInput*>(user);
        {
            std::lock_guard<std::mutex> hold(self->lock);
            self->threads.insert(std::this_thread::get_id());
        }
        if (self->at >= self->failAt) {
            if (self->throwAtFail)
                throw std::bad_alloc();
            return kZAFError_FileLocked;
        }
        const size_t n = std::min({size, self->data.size() - self->at, self->failAt - self->at});
        std::memcpy(buffer, self->data.data() + self->at, n);
        self->at += n;
        *outRead = n;
        return kZAFError_NoErr;
    }
};

TEST(MessageReadAhead, LargeRegularFilesAreReadAheadWholeInOrderAndLeftWhereTheReaderStopped) {
    const std::string data = randomText((9u << 20) + 123, 3);
    TempInput file(data);
    ZAFMessageSource source;
    source.kind = ZAFMessageSource::Kind::FD;
    source.fd = file.fd();
    {
        Hasher hasher;
        hasher.setAsyncThreshold(0);
        const size_t lane = hasher.addLane(2, false);
        std::string got;
        {
            SourceStream in(source, &hasher);
            got = readThrough(in, hasher, lane);
            EXPECT_TRUE(in.readingAhead());
            EXPECT_TRUE(in.next().empty());
        }
        hasher.drain();
        EXPECT_TRUE(got == data);
        EXPECT_EQ(sha1Of(data), hasher.lane(lane).finish(nullptr, 0));
    }
    // Left part-way, the descriptor stands just after the bytes handed out, as reading in step
    // leaves it, and the rest reads from there.
    ::lseek(file.fd(), 0, SEEK_SET);
    source.spent = false;
    Hasher hasher;
    const size_t lane = hasher.addLane(2, false);
    uint64_t handed = 0;
    {
        SourceStream in(source, &hasher);
        readThrough(in, hasher, lane, 6u << 20);
        EXPECT_TRUE(in.readingAhead());
        handed = in.consumed();
    }
    ASSERT_EQ(off_t(handed), ::lseek(file.fd(), 0, SEEK_CUR));
    std::string rest(data.size() - handed, '\0');
    EXPECT_EQ(ssize_t(rest.size()), ::read(file.fd(), rest.data(), rest.size()));
    EXPECT_TRUE(rest == data.substr(handed));
}

TEST(MessageReadAhead, PipesAndUndeclaredCallbacksAreReadInStepOnTheCallersThread) {
    const std::string data = randomText(6u << 20, 4);
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    std::thread writer([&] {
        for (size_t at = 0; at < data.size();) {
            const ssize_t n = ::write(fds[1], data.data() + at, data.size() - at);
            if (n <= 0)
                break;
            at += size_t(n);
        }
        ::close(fds[1]);
    });
    {
        ZAFMessageSource source;
        source.kind = ZAFMessageSource::Kind::FD;
        source.fd = fds[0];
        Hasher hasher;
        const size_t lane = hasher.addLane(2, false);
        SourceStream in(source, &hasher);
        EXPECT_TRUE(readThrough(in, hasher, lane) == data);
        EXPECT_FALSE(in.readingAhead());
    }
    writer.join();
    ::close(fds[0]);

    // A callback is called on another thread only when its source says it may be.
    for (bool declared : {false, true}) {
        CallbackInput input(data, declared);
        Hasher hasher;
        const size_t lane = hasher.addLane(2, false);
        SourceStream in(input.source, &hasher);
        EXPECT_TRUE(readThrough(in, hasher, lane) == data);
        EXPECT_EQ(declared, in.readingAhead());
        EXPECT_EQ(declared ? 2u : 1u, input.threads.size());
        EXPECT_EQ(1u, input.threads.count(std::this_thread::get_id()));
    }
}

TEST(MessageReadAhead, AFailedReadFailsInTheReaderAfterEverythingBeforeIt) {
    // A code returned by the callback, and an exception thrown through it on the read-ahead's
    // thread, which must not end the process.
    for (bool throws : {false, true}) {
        CallbackInput input(randomText(8u << 20, 5), true);
        input.failAt = (6u << 20) + 1000;
        input.throwAtFail = throws;
        Hasher hasher;
        const size_t lane = hasher.addLane(2, false);
        SourceStream in(input.source, &hasher);
        std::string got;
        ZAFError code = kZAFError_NoErr;
        try {
            for (zaf::msg::ByteView v = in.next(); !v.empty(); v = in.next()) {
                hasher.submit(uint64_t(1) << lane, v.data, v.size);
                got.append(reinterpret_cast<const char*>(v.data), v.size);
            }
        } catch (const Failure& f) {
            code = f.code();
        }
        EXPECT_TRUE(in.readingAhead());
        EXPECT_EQ(throws ? kZAFError_OutOfMemory : kZAFError_FileLocked, code);
        EXPECT_TRUE(got == input.data.substr(0, input.failAt));
    }
}

TEST(MessageThreads, LargeMessagesRoundTripWithTheHashesOnASecondThread) {
    Keys keys({3, 4});
    Answers answers = keys.answers();
    // Larger than the point where the hasher moves to its thread.
    std::string plain(5u << 20, '\0');
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = char((i * 2654435761u) >> 13);
    Params p(keys.ctx(), keys.db());
    ASSERT_EQ(0, ZAFAddMessageRecipient(p, keys.key(4)));
    ASSERT_EQ(0, ZAFAddMessageSigner(p, keys.key(4)));
    ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_Armor, 1));
    ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_Compression, 2));
    ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_CompressLevel, 1));
    std::string msg = encode(keys.ctx(), p, plain);
    Decoded d = decode(keys.ctx(), p, msg);
    ASSERT_EQ(0, d.rc);
    EXPECT_TRUE(plain == d.output);
    EXPECT_EQ(kZAFSigStatus_Good, d.signatures[0].status);
    // Detached over the same data, by the EdDSA key.
    Params s(keys.ctx(), keys.db());
    ZAFSetMessagePassphraseCallback(s, answer, &answers);
    ASSERT_EQ(0, ZAFAddMessageSigner(s, keys.key(3)));
    ASSERT_EQ(0, ZAFSetMessageOption(s, kZAFMessageOption_Detached, 1));
    std::string sig = encode(keys.ctx(), s, plain);
    EXPECT_EQ(0, decode(keys.ctx(), s, sig, &plain).rc);
    plain[plain.size() / 2] ^= 1;
    EXPECT_EQ(kZAFError_BadSignature, decode(keys.ctx(), s, sig, &plain).rc);

    // Encrypted from a file, which is read ahead: the same plaintext comes back.
    plain += randomText(5u << 20, 6);
    TempInput file(plain);
    ZAFMessageSourceRef in = nullptr;
    ZAFMessageSinkRef out = nullptr;
    ASSERT_EQ(0, ZAFNewMessageSourceFromFD(keys.ctx(), file.fd(), &in));
    ASSERT_EQ(0, ZAFNewMessageSinkToBuffer(keys.ctx(), 0, &out));
    ASSERT_EQ(0, ZAFEncodeMessage(p, in, out, nullptr));
    const void* bytes = nullptr;
    size_t size = 0;
    ASSERT_EQ(0, ZAFGetMessageSinkData(out, &bytes, &size));
    d = decode(keys.ctx(), p, std::string(static_cast<const char*>(bytes), size));
    ZAFFreeMessageSink(out);
    ZAFFreeMessageSource(in);
    ASSERT_EQ(0, d.rc);
    EXPECT_TRUE(plain == d.output);
    EXPECT_EQ(kZAFSigStatus_Good, d.signatures[0].status);
}

} // namespace
