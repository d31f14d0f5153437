// What orxcmd lets out of a message and how its files are made, end to end as a throw-away
// account: nothing of a changed, cut or badly signed message reaches standard output unless
// --stream-unverified asks for it; output files get the mode the umask allows, decrypted data and
// secret keys 0600; and decrypting stays in bounded memory however large or compressible the
// message is.
// ctest-labels: slow
#include "orxcmd_harness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace orxtest;

namespace {

const std::string kFixtures = std::string(ORX_TEST_DATA_DIR) + "/fixtures/messages";
// The fixtures' RSA-2048 key without a passphrase.
const char* const kDave = "0xB977FACF6A0BFDE6";

std::string plaintext(size_t size) {
    std::string out;
    for (size_t i = 0; out.size() < size; ++i)
        out += "record " + std::to_string(i) + " of the message under test\n";
    out.resize(size);
    return out;
}

class OrxcmdOutput : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxco");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
        SCmdOptions keys;
        keys.input = slurp(kFixtures + "/keys/dave.sec");
        const SCmdResult r = run({"--key-add", "-"}, keys);
        ASSERT_EQ(0, r.rc) << r.err;
    }
    SCmdResult run(const std::vector<std::string>& args, const SCmdOptions& options = {}) {
        return runOrxcmd(*m_user, m_install, args, options);
    }
    void writeAsUser(const std::string& relative, const std::string& content) {
        ScopedIdentity as(*m_user);
        std::ofstream(m_user->file(relative), std::ios::binary) << content;
    }
    std::string home(const std::string& relative) { return slurp(m_user->file(relative)); }
    mode_t modeOf(const std::string& relative) {
        struct stat st {};
        if (::stat(m_user->file(relative).c_str(), &st) != 0)
            return 01000; // no such file
        return st.st_mode & 07777;
    }
    // Encrypts the file "plain" to the fixture key as the file "msg".
    void encryptToDave(bool compress = false, bool sign = false) {
        std::vector<std::string> args = {
            "--encrypt", "plain",  "--userid",   kDave,
            "--cipher",  "AES256", "--compress", compress ? "yes" : "no",
            "--output",  "msg",    "--overwrite"};
        if (sign)
            args.push_back("--sign");
        const SCmdResult r = run(args);
        ASSERT_EQ(0, r.rc) << r.err;
    }
    // A file of `size` zero bytes, made without holding it in memory.
    void zerosAsUser(const std::string& relative, off_t size) {
        ScopedIdentity as(*m_user);
        const int fd = ::open(m_user->file(relative).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(0, ::ftruncate(fd, size));
        ::close(fd);
    }

    std::unique_ptr<TestAccount> m_user;
    COrxInstall m_install;
};

} // namespace

TEST_F(OrxcmdOutput, ChangedMessagesWriteNothingToStandardOutput) {
    const std::string plain = plaintext(900000);
    writeAsUser("plain", plain);
    encryptToDave();
    const std::string msg = home("msg");
    SCmdResult r = run({"--decrypt", "msg"});
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_TRUE(r.out == plain);

    std::vector<std::pair<std::string, std::string>> damaged;
    auto flipped = [&](size_t at) {
        std::string bad = msg;
        bad[at] ^= 0x01;
        return bad;
    };
    damaged.emplace_back("one bit in the middle", flipped(msg.size() / 2));
    damaged.emplace_back("the MDC", flipped(msg.size() - 3));
    damaged.emplace_back("the last block", flipped(msg.size() - 40));
    damaged.emplace_back("cut short", msg.substr(0, msg.size() - 1000));
    for (const auto& [what, bad] : damaged) {
        writeAsUser("bad", bad);
        r = run({"--decrypt", "bad"});
        EXPECT_EQ(8, r.rc) << what << ": " << r.err;
        EXPECT_EQ(0u, r.outBytes) << what;
        // Through standard input as well.
        SCmdOptions piped;
        piped.input = bad;
        r = run({"--decrypt"}, piped);
        EXPECT_EQ(8, r.rc) << what;
        EXPECT_EQ(0u, r.outBytes) << what;
    }
    // The explicit switch streams, and the exit code is all that tells.
    writeAsUser("bad", damaged.front().second);
    r = run({"--decrypt", "bad", "--stream-unverified"});
    EXPECT_EQ(8, r.rc);
    EXPECT_GT(r.outBytes, 0u);
    r = run({"--key-list", "--stream-unverified"});
    EXPECT_EQ(2, r.rc) << "the switch belongs to --decrypt and --verify";
}

TEST_F(OrxcmdOutput, FilesGetTheirModes) {
    writeAsUser("plain", "some text\n");
    SCmdOptions loose;
    loose.umask = 027;
    SCmdResult r = run({"--sign", "plain", "--output", "signed"}, loose);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0640u, modeOf("signed"));
    r = run({"--verify", "signed", "--output", "verified"}, loose);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0640u, modeOf("verified")) << "signed data is as private as its message";
    r = run({"--key-export", kDave, "--output", "pub"}, loose);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0640u, modeOf("pub"));
    r = run({"--key-export", kDave, "--with-private", "--output", "sec"}, loose);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0600u, modeOf("sec"));

    // Decrypted data is private, also when it replaces a file everybody could read.
    writeAsUser("plain", "the secret\n");
    encryptToDave(false, true);
    writeAsUser("out", "old");
    ASSERT_EQ(0, ::chmod(m_user->file("out").c_str(), 0644));
    r = run({"--decrypt", "msg", "--output", "out", "--overwrite"}, loose);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ("the secret\n", home("out"));
    EXPECT_EQ(0600u, modeOf("out"));
    r = run({"--verify", "msg", "--output", "out2"}, loose);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0600u, modeOf("out2")) << "verifying an encrypted message decrypts it";

    writeAsUser("plain", "some text\n");
    SCmdOptions strict;
    strict.umask = 077;
    r = run({"--sign", "plain", "--armor", "--output", "signed2"}, strict);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(0600u, modeOf("signed2"));
}

TEST_F(OrxcmdOutput, DecryptingStaysInBoundedMemory) {
    // 64 MiB of data to a pipe: held back until the end, most of it in the temporary file.
    writeAsUser("plain", plaintext(64u << 20));
    encryptToDave();
    SCmdOptions counted;
    counted.keepOutput = false;
    SCmdResult r = run({"--decrypt", "msg"}, counted);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(uint64_t(64) << 20, r.outBytes);
    EXPECT_LT(r.maxRssKiB, 48 * 1024);
    // 256 MiB of zeros compress to a few hundred KiB in one layer, within the expansion bound.
    zerosAsUser("plain", off_t(256) << 20);
    encryptToDave(true);
    EXPECT_LT(home("msg").size(), size_t(1) << 20);
    r = run({"--decrypt", "msg"}, counted);
    ASSERT_EQ(0, r.rc) << r.err;
    EXPECT_EQ(uint64_t(256) << 20, r.outBytes);
    EXPECT_LT(r.maxRssKiB, 48 * 1024);
}
