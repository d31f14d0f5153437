// The command-line iterator as the cache loader walks it, and its refusals.
#include <zaf/zaf.h>

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

enum { kVersion = 1, kHelp = 2, kVerbose = 3, kFileList = 4, kQuiet = 5 };

const ZAFCommandLineFlag kFlags[] = {
    {"version", kVersion},   {"help", kHelp}, {"verbose", kVerbose},
    {"filelist", kFileList}, {"q", kQuiet},
};

class CmdLineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kZAFError_NoErr, ZAFNewContext(&m_context)); }
    void TearDown() override {
        if (m_line != nullptr) {
            EXPECT_EQ(kZAFError_NoErr, ZAFFreeCommandLineContext(m_line));
        }
        ZAFFreeContext(m_context);
    }

    void open(std::vector<std::string> args) {
        args.insert(args.begin(), "orxcache");
        std::vector<const char*> argv;
        for (const std::string& a : args)
            argv.push_back(a.c_str());
        ASSERT_EQ(kZAFError_NoErr,
                  ZAFNewCommandLineContext(ZAFPeekContextMemoryMgr(m_context),
                                           static_cast<int>(argv.size()), argv.data(), kFlags,
                                           std::size(kFlags), &m_line));
        // `args` goes out of scope here: the iterator must hold its own copies.
    }

    // Walks everything, taking a value after "filelist", into a readable trace.
    std::string walk() {
        std::string trace;
        for (int guard = 0; guard < 100; ++guard) {
            int32_t id = -1;
            const char* text = nullptr;
            const ZAFError rc = ZAFCommandLineNextFlag(m_line, &id, &text);
            if (rc == kZAFError_EndOfIteration)
                return trace + "end";
            if (rc != kZAFError_NoErr) {
                trace += "error(" + std::to_string(rc) + ") ";
                continue;
            }
            if (id == kZAFCommandLine_Argument) {
                trace += "arg(" + std::string(text) + ") ";
            } else if (id == kFileList) {
                const char* value = nullptr;
                const ZAFError got = ZAFCommandLineNextArgument(m_line, &value);
                trace += got == kZAFError_NoErr ? "filelist(" + std::string(value) + ") "
                                                : "filelist-missing(" + std::to_string(got) + ") ";
            } else {
                trace += "flag" + std::to_string(id) + " ";
            }
        }
        return trace + "runaway";
    }

    ZAFContextRef m_context = nullptr;
    ZAFCommandLineContextRef m_line = nullptr;
};

} // namespace

TEST_F(CmdLineTest, WalksFlagsArgumentsAndValuesInOrder) {
    open({"--verbose", "pub.pkr", "sec.skr", "--filelist", "rings.lst", "-q", "-"});
    EXPECT_EQ("flag3 arg(pub.pkr) arg(sec.skr) filelist(rings.lst) flag5 arg(-) end", walk());
}

TEST_F(CmdLineTest, AttachedValuesAndTheEndOfFlags) {
    open({"--filelist=a=b.lst", "--", "--help", "-q"});
    EXPECT_EQ("filelist(a=b.lst) arg(--help) arg(-q) end", walk());
}

TEST_F(CmdLineTest, ValueTakenLiterallyEvenWhenItLooksLikeAFlag) {
    open({"--filelist", "--help"});
    EXPECT_EQ("filelist(--help) end", walk());
}

TEST_F(CmdLineTest, MissingValueUnknownFlagsAndUnwantedValuesAreErrors) {
    open({"--bogus", "-x", "-qq", "--help=yes", "ring", "--filelist"});
    const std::string unknown = "error(" + std::to_string(kZAFError_UnknownFlag) + ") ";
    EXPECT_EQ(unknown + unknown + unknown + "flag2 error(" +
                  std::to_string(kZAFError_UnexpectedValue) + ") arg(ring) filelist-missing(" +
                  std::to_string(kZAFError_MissingArgument) + ") end",
              walk());
}

TEST_F(CmdLineTest, EmptyCommandLineEndsAtOnceAndKeepsEnding) {
    open({});
    int32_t id = 0;
    EXPECT_EQ(kZAFError_EndOfIteration, ZAFCommandLineNextFlag(m_line, &id, nullptr));
    EXPECT_EQ(kZAFError_EndOfIteration, ZAFCommandLineNextFlag(m_line, &id, nullptr));
    const char* value = nullptr;
    EXPECT_EQ(kZAFError_MissingArgument, ZAFCommandLineNextArgument(m_line, &value));
}

TEST_F(CmdLineTest, TextsStayValidUntilTheContextIsFreed) {
    open({"--filelist=first", "--filelist=second", "third"});
    int32_t id = 0;
    const char* first = nullptr;
    const char* second = nullptr;
    const char* third = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFCommandLineNextFlag(m_line, &id, nullptr));
    ASSERT_EQ(kZAFError_NoErr, ZAFCommandLineNextArgument(m_line, &first));
    ASSERT_EQ(kZAFError_NoErr, ZAFCommandLineNextFlag(m_line, &id, nullptr));
    ASSERT_EQ(kZAFError_NoErr, ZAFCommandLineNextArgument(m_line, &second));
    ASSERT_EQ(kZAFError_NoErr, ZAFCommandLineNextFlag(m_line, &id, &third));
    EXPECT_STREQ("first", first);
    EXPECT_STREQ("second", second);
    EXPECT_STREQ("third", third);
}

TEST_F(CmdLineTest, BadTablesArgumentsAndHandlesAreRefused) {
    ZAFMemoryMgrRef mgr = ZAFPeekContextMemoryMgr(m_context);
    const char* argv[] = {"prog", "a", nullptr};
    ZAFCommandLineContextRef line = nullptr;
    const ZAFCommandLineFlag duplicate[] = {{"help", 1}, {"help", 2}};
    const ZAFCommandLineFlag zeroId[] = {{"help", 0}};
    const ZAFCommandLineFlag dashed[] = {{"--help", 1}};
    const ZAFCommandLineFlag withEquals[] = {{"a=b", 1}};
    const ZAFCommandLineFlag nullName[] = {{nullptr, 1}};
    EXPECT_EQ(kZAFError_BadParams, ZAFNewCommandLineContext(mgr, 2, argv, duplicate, 2, &line));
    EXPECT_EQ(kZAFError_BadParams, ZAFNewCommandLineContext(mgr, 2, argv, zeroId, 1, &line));
    EXPECT_EQ(kZAFError_BadParams, ZAFNewCommandLineContext(mgr, 2, argv, dashed, 1, &line));
    EXPECT_EQ(kZAFError_BadParams, ZAFNewCommandLineContext(mgr, 2, argv, withEquals, 1, &line));
    EXPECT_EQ(kZAFError_BadParams, ZAFNewCommandLineContext(mgr, 2, argv, nullName, 1, &line));
    EXPECT_EQ(kZAFError_BadParams, ZAFNewCommandLineContext(mgr, 3, argv, kFlags, 5, &line));
    EXPECT_EQ(kZAFError_BadParams, ZAFNewCommandLineContext(mgr, -1, argv, kFlags, 5, &line));
    EXPECT_EQ(kZAFError_InvalidHandle,
              ZAFNewCommandLineContext(nullptr, 2, argv, kFlags, 5, &line));
    EXPECT_EQ(nullptr, line);

    ASSERT_EQ(kZAFError_NoErr, ZAFNewCommandLineContext(mgr, 2, argv, kFlags, 5, &line));
    EXPECT_EQ(kZAFError_NoErr, ZAFFreeCommandLineContext(line));
    int32_t id = 0;
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFCommandLineNextFlag(line, &id, nullptr));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFFreeCommandLineContext(line));

    // A memory manager outlives nothing: once its context is gone it is refused.
    ZAFContextRef other = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFNewContext(&other));
    ZAFMemoryMgrRef stale = ZAFPeekContextMemoryMgr(other);
    ZAFFreeContext(other);
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFNewCommandLineContext(stale, 2, argv, kFlags, 5, &line));
}
