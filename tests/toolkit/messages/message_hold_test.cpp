// Decoded data that is not yet known to be intact never reaches a sink whose owner could act on
// it: descriptors and callbacks get nothing of a changed, cut or badly signed message, large
// output waits in a private file that holds no plaintext, and streaming unverified data takes an
// explicit option.
#include "message_test_util.h"

#include <zaf/zafcontext.h>

#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

using namespace msgtest;

namespace {

// What a callback sink saw.
struct Seen {
    size_t bytes = 0;
    std::string data;
    int ended = -1; // the commit flag of the end callback
    // Called on the first write, while the call still holds what it releases.
    std::function<void()> onFirstWrite;
};

ZAFError seeWrite(void* user, const void* data, size_t size) {
    auto* seen = static_cast<Seen*>(user);
    if (seen->bytes == 0 && seen->onFirstWrite)
        seen->onFirstWrite();
    seen->bytes += size;
    seen->data.append(static_cast<const char*>(data), size);
    return 0;
}

ZAFError seeEnd(void* user, ZAFBoolean commit) {
    static_cast<Seen*>(user)->ended = commit;
    return 0;
}

ZAFError decodeToCallback(ZAFContextRef ctx, ZAFMessageParamsRef params, const std::string& msg,
                          Seen& seen, bool commitOnly = false) {
    ZAFMessageSourceRef in = nullptr;
    ZAFMessageSinkRef out = nullptr;
    EXPECT_EQ(0, ZAFNewMessageSourceFromBuffer(ctx, msg.data(), msg.size(), &in));
    EXPECT_EQ(0, ZAFNewMessageSinkFromCallback(ctx, seeWrite, seeEnd, &seen, &out));
    if (commitOnly) {
        EXPECT_EQ(0, ZAFSetMessageSinkCommitOnly(out, 1));
    }
    ZAFError rc = ZAFDecodeMessage(params, in, nullptr, out, nullptr);
    ZAFFreeMessageSink(out);
    ZAFFreeMessageSource(in);
    return rc;
}

// Decodes into a descriptor sink on a file; returns the code and leaves the bytes in `written`.
ZAFError decodeToDescriptor(ZAFContextRef ctx, ZAFMessageParamsRef params, const std::string& msg,
                            const TempDir& dir, std::string& written) {
    const std::string path = dir.file("out");
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0);
    ZAFMessageSourceRef in = nullptr;
    ZAFMessageSinkRef out = nullptr;
    EXPECT_EQ(0, ZAFNewMessageSourceFromBuffer(ctx, msg.data(), msg.size(), &in));
    EXPECT_EQ(0, ZAFNewMessageSinkToFD(ctx, fd, &out));
    ZAFError rc = ZAFDecodeMessage(params, in, nullptr, out, nullptr);
    ZAFFreeMessageSink(out);
    ZAFFreeMessageSource(in);
    ::close(fd);
    written = readAll(path);
    return rc;
}

std::string patterned(size_t n) {
    std::string out;
    out.reserve(n);
    for (size_t i = 0; out.size() < n; ++i)
        out += "line " + std::to_string(i) + " of the held plaintext\n";
    out.resize(n);
    return out;
}

// The descriptors of this process that point into `folder`.
std::vector<int> descriptorsIn(const std::string& folder) {
    std::vector<int> found;
    DIR* d = ::opendir("/proc/self/fd");
    if (d == nullptr)
        return found;
    while (dirent* e = ::readdir(d)) {
        char target[PATH_MAX] = {};
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, size_t(n)).rfind(folder + "/", 0) == 0)
            found.push_back(std::atoi(e->d_name));
    }
    ::closedir(d);
    return found;
}

class MessageHold : public testing::Test {
protected:
    void SetUp() override {
        Params p(m_keys.ctx(), m_keys.db());
        ASSERT_EQ(0, ZAFAddMessageRecipient(p, m_keys.key(4)));
        ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_Cipher, 9)); // AES-256
        m_plain = patterned(900000);
        m_msg = encode(m_keys.ctx(), p, m_plain);
    }
    Keys m_keys{{4}};
    std::string m_plain;
    std::string m_msg;
};

TEST_F(MessageHold, ChangedOrCutMessagesReachNoDescriptorOrCallback) {
    TempDir dir;
    Params p(m_keys.ctx(), m_keys.db());
    std::string written;
    ASSERT_EQ(0, decodeToDescriptor(m_keys.ctx(), p, m_msg, dir, written));
    EXPECT_TRUE(written == m_plain);

    std::vector<std::pair<std::string, std::string>> damaged;
    auto flipped = [&](size_t at) {
        std::string bad = m_msg;
        bad[at] ^= 0x01;
        return bad;
    };
    damaged.emplace_back("one bit in the middle", flipped(m_msg.size() / 2));
    damaged.emplace_back("the MDC", flipped(m_msg.size() - 3));
    damaged.emplace_back("the last block", flipped(m_msg.size() - 30));
    damaged.emplace_back("cut short", m_msg.substr(0, m_msg.size() - 100));
    for (const auto& [what, bad] : damaged) {
        ZAFError rc = decodeToDescriptor(m_keys.ctx(), p, bad, dir, written);
        EXPECT_TRUE(rc == kZAFError_IntegrityFailure || rc == kZAFError_Truncated) << what << rc;
        EXPECT_EQ(0u, written.size()) << what;
        Seen seen;
        rc = decodeToCallback(m_keys.ctx(), p, bad, seen);
        EXPECT_NE(0, rc) << what;
        EXPECT_EQ(0u, seen.bytes) << what;
        EXPECT_EQ(0, seen.ended) << what;
    }
}

TEST_F(MessageHold, StreamingUnverifiedDataTakesTheOption) {
    std::string bad = m_msg;
    bad[bad.size() / 2] ^= 0x01;
    Params p(m_keys.ctx(), m_keys.db());
    // A sink that shows nothing before its commit is trusted to drop it on its own.
    Seen commitOnly;
    EXPECT_EQ(kZAFError_IntegrityFailure, decodeToCallback(m_keys.ctx(), p, bad, commitOnly, true));
    EXPECT_GT(commitOnly.bytes, 0u);
    EXPECT_EQ(0, commitOnly.ended);
    ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_StreamUnverified, 1));
    Seen streamed;
    EXPECT_EQ(kZAFError_IntegrityFailure, decodeToCallback(m_keys.ctx(), p, bad, streamed));
    EXPECT_GT(streamed.bytes, 0u);
    EXPECT_EQ(0, streamed.ended);
    // Only callback sinks can promise that.
    ZAFMessageSinkRef buffer = nullptr;
    ASSERT_EQ(0, ZAFNewMessageSinkToBuffer(m_keys.ctx(), 0, &buffer));
    EXPECT_EQ(kZAFError_BadParams, ZAFSetMessageSinkCommitOnly(buffer, 1));
    ZAFFreeMessageSink(buffer);
}

TEST_F(MessageHold, LargeOutputWaitsInAPrivateFileWithoutPlaintext) {
    TempDir dir;
    ASSERT_EQ(0, zafenvSetString(zafContextGetEnvironment(m_keys.ctx()), kZAFEnv_TempDirectory,
                                 dir.path().c_str(), 0));
    Params p(m_keys.ctx(), m_keys.db());
    ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_HoldMemoryKiB, 64));
    Seen seen;
    std::vector<int> fds;
    std::string spilled;
    mode_t mode = 0;
    seen.onFirstWrite = [&] {
        fds = descriptorsIn(dir.path());
        if (fds.size() != 1)
            return;
        struct stat st {};
        ::fstat(fds[0], &st);
        mode = st.st_mode & 07777;
        spilled = readAll("/proc/self/fd/" + std::to_string(fds[0]));
    };
    ASSERT_EQ(0, decodeToCallback(m_keys.ctx(), p, m_msg, seen));
    EXPECT_EQ(1, seen.ended);
    EXPECT_TRUE(seen.data == m_plain);
    ASSERT_EQ(1u, fds.size());
    EXPECT_EQ(0600u, mode);
    // Everything beyond the memory bound went to the file, and none of it readable.
    EXPECT_EQ(m_plain.size() - (64u << 10), spilled.size());
    EXPECT_EQ(std::string::npos, spilled.find("of the held plaintext"));
    // Nothing is left behind, after success or failure.
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_TRUE(descriptorsIn(dir.path()).empty());
    std::string bad = m_msg;
    bad[bad.size() - 3] ^= 0x01;
    Seen failed;
    EXPECT_EQ(kZAFError_IntegrityFailure, decodeToCallback(m_keys.ctx(), p, bad, failed));
    EXPECT_EQ(0u, failed.bytes);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_TRUE(descriptorsIn(dir.path()).empty());
}

TEST_F(MessageHold, BadSignaturesReleaseNothing) {
    Keys keys({1, 4});
    Answers answers = keys.answers();
    Params signer(keys.ctx(), keys.db());
    ASSERT_EQ(0, ZAFSetMessagePassphraseCallback(signer, answer, &answers));
    ASSERT_EQ(0, ZAFAddMessageSigner(signer, keys.key(4)));
    std::string text = "a signed line\n";
    std::string signedMsg = encode(keys.ctx(), signer, text);
    ASSERT_EQ(0, ZAFSetMessageOption(signer, kZAFMessageOption_ClearSign, 1));
    std::string clear = encode(keys.ctx(), signer, text);
    Params p(keys.ctx(), keys.db());
    Seen good;
    ASSERT_EQ(0, decodeToCallback(keys.ctx(), p, signedMsg, good));
    EXPECT_EQ(text, good.data);
    // The literal data changed under its signature (one-pass), and a changed cleartext line.
    std::string badSigned = signedMsg;
    size_t at = badSigned.find("a signed line");
    ASSERT_NE(std::string::npos, at);
    badSigned[at] = 'A';
    std::string badClear = clear;
    at = badClear.find("a signed line");
    ASSERT_NE(std::string::npos, at);
    badClear[at] = 'A';
    for (const std::string& bad : {badSigned, badClear}) {
        Seen seen;
        EXPECT_EQ(kZAFError_BadSignature, decodeToCallback(keys.ctx(), p, bad, seen));
        EXPECT_EQ(0u, seen.bytes);
    }
}

} // namespace
