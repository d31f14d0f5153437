// The engine's interface for callers with buffers (the Java bridge's calls): results, output and
// error buffers, the cancel flag, and two engine contexts running commands in two threads at once.
#include "orxcmd_harness.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <orx/zafengine.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>

using namespace orxtest;

namespace {

struct SRun {
    int32_t rc = -1;
    std::string out;
    std::string err;
};

SRun vorn(ZAFvornContext* context, const std::string& command, const std::string& input = "") {
    unsigned char* out = nullptr;
    unsigned char* err = nullptr;
    size_t outLength = 0;
    size_t errLength = 0;
    SRun run;
    run.rc = ZAFvorn(context, command.c_str(), reinterpret_cast<const unsigned char*>(input.data()),
                     input.size(), &out, &outLength, &err, &errLength);
    if (out != nullptr)
        run.out.assign(reinterpret_cast<char*>(out), outLength);
    if (err != nullptr)
        run.err.assign(reinterpret_cast<char*>(err), errLength);
    ZAFvornFree(context, out);
    ZAFvornFree(context, err);
    return run;
}

// A plaintext that can be recognised in memory without holding a copy of it: word k (8 bytes) is
// an invertible mix of k, so any two consecutive words of it found anywhere give themselves away.
struct SPattern {
    static constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
    static constexpr uint64_t kSeed = 0x5EC12E7DA7A0F00Dull;
    static constexpr uint64_t kWords = 64 * 1024; // 512 KiB
    static uint64_t word(uint64_t k) { return ((k + 1) * kMul) ^ kSeed; }
    // The index of a word of the pattern, or kWords when `v` is none.
    static uint64_t index(uint64_t v) {
        uint64_t inverse = kMul;
        for (int i = 0; i < 6; ++i)
            inverse *= 2 - kMul * inverse;
        const uint64_t k = ((v ^ kSeed) * inverse) - 1;
        return k < kWords ? k : kWords;
    }
};

// Pieces of the pattern (two consecutive words, at any byte offset) in the writable memory of this
// process, read through /proc/self/mem so that freed blocks are read like any others.
size_t patternPiecesInMemory() {
    // A changed effective user makes the process's own files root's; this process may read them.
    ::prctl(PR_SET_DUMPABLE, 1);
    std::ifstream maps("/proc/self/maps");
    const int mem = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (mem < 0)
        return SIZE_MAX;
    size_t found = 0;
    std::vector<unsigned char> chunk(1 << 20);
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long start = 0, end = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3 || perms[0] != 'r' ||
            perms[1] != 'w' || line.find("[vvar]") != std::string::npos)
            continue;
        for (unsigned long at = start; at < end;) {
            const size_t want = std::min<unsigned long>(chunk.size(), end - at);
            const ssize_t got = ::pread(mem, chunk.data(), want, static_cast<off_t>(at));
            if (got < 16)
                break;
            for (size_t i = 0; i + 16 <= static_cast<size_t>(got); ++i) {
                uint64_t v = 0, next = 0;
                std::memcpy(&v, &chunk[i], 8);
                const uint64_t k = SPattern::index(v);
                if (k + 1 < SPattern::kWords) {
                    std::memcpy(&next, &chunk[i + 8], 8);
                    found += next == SPattern::word(k + 1) ? 1 : 0;
                }
            }
            // Overlap by 15 bytes so that no piece is missed at a chunk's edge.
            at += static_cast<unsigned long>(got) - 15;
        }
    }
    ::close(mem);
    std::fill(chunk.begin(), chunk.end(), 0);
    return found;
}

} // namespace

TEST(OrxcmdApi, NothingDecryptedOrGivenStaysInMemoryAfterTheBuffersAreFreed) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The scan reads every writable mapping, which under a sanitizer includes terabytes of
    // shadow memory, and the sanitizer's red zones and interceptors take the stack deeper than
    // any clearing that fits an ordinary thread. The release build runs this test.
    GTEST_SKIP() << "memory is scanned in builds without a sanitizer";
#endif
    auto account = TestAccount::create("orxcw");
    if (!account)
        GTEST_SKIP() << TestAccount::skipReason();
    COrxInstall install;
    ::setenv("ORXDIR", install.path().c_str(), 1);
    ScopedIdentity as(*account);

    // The message is made in a child process, so that the plaintext never exists in this one.
    int pipeEnds[2];
    ASSERT_EQ(0, ::pipe(pipeEnds));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(pipeEnds[0]);
        std::string input = "words of passage\n";
        for (uint64_t k = 0; k < SPattern::kWords; ++k) {
            const uint64_t w = SPattern::word(k);
            input.append(reinterpret_cast<const char*>(&w), 8);
        }
        ZAFvornContext* context = nullptr;
        unsigned char *out = nullptr, *err = nullptr;
        size_t outLength = 0, errLength = 0;
        if (ZAFvornInit(&context) != 0 ||
            ZAFvorn(context, "--conventional --passphrase-fd 0 --compress no",
                    reinterpret_cast<const unsigned char*>(input.data()), input.size(), &out,
                    &outLength, &err, &errLength) != 0)
            ::_exit(1);
        size_t done = 0;
        while (done < outLength) {
            const ssize_t n = ::write(pipeEnds[1], out + done, outLength - done);
            if (n <= 0)
                ::_exit(1);
            done += static_cast<size_t>(n);
        }
        ::_exit(0);
    }
    ::close(pipeEnds[1]);
    std::string message;
    char buffer[65536];
    for (ssize_t n; (n = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        message.append(buffer, static_cast<size_t>(n));
    ::close(pipeEnds[0]);
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_GT(message.size(), SPattern::kWords * 8);
    ASSERT_EQ(0u, patternPiecesInMemory());

    const std::string file = account->file("message.zaf");
    std::ofstream(file, std::ios::binary) << message;
    ZAFvornContext* context = nullptr;
    ASSERT_EQ(0, ZAFvornInit(&context));
    unsigned char *out = nullptr, *err = nullptr;
    size_t outLength = 0, errLength = 0;
    const std::string passphrase = "words of passage\n";
    ASSERT_EQ(0, ZAFvorn(context, ("--decrypt " + file + " --passphrase-fd 0").c_str(),
                         reinterpret_cast<const unsigned char*>(passphrase.data()),
                         passphrase.size(), &out, &outLength, &err, &errLength));
    ASSERT_EQ(SPattern::kWords * 8, outLength);
    bool same = true;
    for (uint64_t k = 0; k < SPattern::kWords && same; ++k) {
        uint64_t w = 0;
        std::memcpy(&w, out + 8 * k, 8);
        same = w == SPattern::word(k);
    }
    EXPECT_TRUE(same);
    // While the output is held, the scan sees it; once it is freed, nothing of it is anywhere.
    EXPECT_GE(patternPiecesInMemory(), SPattern::kWords - 1);
    ZAFvornFree(context, out);
    ZAFvornFree(context, err);
    EXPECT_EQ(0u, patternPiecesInMemory());
    ZAFvornCleanUp(context);
}

TEST(OrxcmdApi, BuffersResultsAndTexts) {
    ZAFvornContext* context = nullptr;
    ASSERT_EQ(0, ZAFvornInit(&context));
    SRun r = vorn(context, "--version");
    EXPECT_EQ(0, r.rc);
    EXPECT_EQ("orxcmd (Brevan Vorn Server) 8.5.0\n", r.out);
    EXPECT_TRUE(r.err.empty());
    r = vorn(context, "--key-list --key-gen");
    EXPECT_EQ(kZAFvorn_Usage, r.rc);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ("orxcmd: contradictory commands: --key-gen and --key-list\n", r.err);
    r = vorn(context, "--key-list \"unbalanced");
    EXPECT_EQ(kZAFvorn_Usage, r.rc);
    EXPECT_NE(std::string::npos, r.err.find("unbalanced quote")) << r.err;
    r = vorn(context, "--sda 'two words'");
    EXPECT_EQ(kZAFvorn_Unsupported, r.rc);

    char text[16];
    ASSERT_EQ(0, ZAFvornErrorString(context, kZAFvorn_BadPassphrase, text, sizeof text));
    EXPECT_EQ("Wrong or missin", std::string(text)); // cut to the buffer, NUL-terminated
    EXPECT_NE(0, ZAFvornErrorString(context, 0, nullptr, 0));
    EXPECT_EQ(kZAFvorn_BadContext,
              ZAFvorn(nullptr, "--version", nullptr, 0, nullptr, nullptr, nullptr, nullptr));
    ZAFvornCleanUp(context);
}

TEST(OrxcmdApi, TwoContextsRunCommandsInTwoThreadsAndTheCancelFlagStops) {
    auto account = TestAccount::create("orxca");
    if (!account)
        GTEST_SKIP() << TestAccount::skipReason();
    COrxInstall install;
    ::setenv("ORXDIR", install.path().c_str(), 1);
    ScopedIdentity as(*account);

    SRun results[2];
    auto work = [&](int i) {
        ZAFvornContext* context = nullptr;
        if (ZAFvornInit(&context) != 0)
            return;
        const std::string name = i == 0 ? "Ann <ann@example.org>" : "Bob <bob@example.org>";
        SRun gen = vorn(
            context, "--key-gen --key-size 1024 --passphrase-fd 0 --userid '" + name + "'", "pw\n");
        results[i] = gen.rc != 0 ? gen : vorn(context, "--key-list --with-colons");
        ZAFvornCleanUp(context);
    };
    std::thread first(work, 0);
    std::thread second(work, 1);
    first.join();
    second.join();
    for (const SRun& r : results)
        EXPECT_EQ(0, r.rc) << r.err;

    ZAFvornContext* context = nullptr;
    ASSERT_EQ(0, ZAFvornInit(&context));
    const SRun all = vorn(context, "--key-list --with-colons");
    EXPECT_EQ(2, std::count(all.out.begin(), all.out.end(), '\n')) << all.out;

    ZAFapiContext* api = zafVornInit(context, true);
    ASSERT_NE(nullptr, api);
    api->flag = 1;
    const char* argv[] = {"orxcmd", "--key-list"};
    zafEngine(2, argv, api);
    EXPECT_EQ(kZAFvorn_Interrupted, api->result);
    zafVornCleanUp(api);
    EXPECT_EQ(nullptr, api);
    zafVornCleanUp(api); // harmless on null
    ZAFvornCleanUp(context);
}

TEST(OrxcmdApi, EncryptsAndDecryptsBuffersAndReturnsNoPlaintextOnFailure) {
    auto account = TestAccount::create("orxcb");
    if (!account)
        GTEST_SKIP() << TestAccount::skipReason();
    COrxInstall install;
    ::setenv("ORXDIR", install.path().c_str(), 1);
    ScopedIdentity as(*account);
    ZAFvornContext* context = nullptr;
    ASSERT_EQ(0, ZAFvornInit(&context));
    const std::string keys = std::string(ORX_TEST_DATA_DIR) + "/fixtures/messages/keys/";
    SRun r = vorn(context, "--key-add -", slurp(keys + "dave.sec") + slurp(keys + "alice.sec"));
    ASSERT_EQ(0, r.rc) << r.err;

    std::string plain(200000, '\0');
    for (size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<char>(i * 131 + (i >> 9));
    r = vorn(context, "--encrypt --userid Dave --armor --status-fd 2", plain);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0u, r.out.find("-----BEGIN ZAF MESSAGE-----")) << r.out.substr(0, 100);
    EXPECT_NE(std::string::npos, r.err.find("[ORXCMD] SUCCESS\n")) << r.err;
    const std::string message = r.out;
    r = vorn(context, "--decrypt", message);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(r.out == plain);

    // Signed by a protected key: its passphrase is the first line of the input buffer
    // (descriptor 0), the data the rest.
    r = vorn(context, "--sign --sign-with Alice --passphrase-fd 0", "alice-pass\nsigned data");
    ASSERT_EQ(0, r.rc) << r.err;
    r = vorn(context, "--verify", r.out);
    EXPECT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0u, r.out.find("good signature from 0xE2925BD9")) << r.out;

    // A changed message: data was decrypted before the change showed, and none is returned.
    std::string changed = message;
    changed[changed.size() / 2] = changed[changed.size() / 2] == 'A' ? 'B' : 'A';
    r = vorn(context, "--decrypt", changed);
    EXPECT_EQ(kZAFvorn_BadData, r.rc) << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(kZAFvorn_Usage, vorn(context, "--decrypt --status-fd 5", message).rc);
    ZAFvornCleanUp(context);
}
