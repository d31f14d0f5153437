// The engine's interface for callers with buffers (the Java bridge's calls): results, output and
// error buffers, the cancel flag, and two engine contexts running commands in two threads at once.
#include "orxcmd_harness.h"

#include <gtest/gtest.h>
#include <orx/zafengine.h>
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

} // namespace

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
