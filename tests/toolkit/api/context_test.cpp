// Library set-up, contexts, environment priorities, seed files and file specs at the C boundary.
#include "api/context_internal.h"
#include "crypto/random_internal.h"
#include "zaf_temp_dir.h"

#include <zaf/zaf.h>

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

std::vector<char> readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
}

mode_t fileMode(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(0, stat(path.c_str(), &info));
    return info.st_mode & 07777;
}

// A listening Unix socket standing in for the background service.
class FakeService {
public:
    explicit FakeService(const std::string& path) {
        m_fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(0, bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address));
        EXPECT_EQ(0, listen(m_fd, 4));
    }
    ~FakeService() { close(m_fd); }

private:
    int m_fd = -1;
};

class ContextTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(kZAFError_NoErr, ZAFNewContext(&m_context)); }
    void TearDown() override {
        if (m_context != nullptr) {
            EXPECT_EQ(kZAFError_NoErr, ZAFFreeContext(m_context));
        }
    }
    ZAFContextRef m_context = nullptr;
};

} // namespace

TEST(SdkInit, FailsWithServiceCodeWhenNoServiceListens) {
    ZafTempDir dir;
    setenv("ORXSDKD_SOCKET", dir.file("absent.sock").c_str(), 1);
    EXPECT_EQ(kZAFError_ServiceNotConnected, ZAFsdkInit(0));
    uint32_t flags = 0;
    EXPECT_EQ(kZAFError_NotInitialized, ZAFsdkGetInitFlags(&flags));
    EXPECT_EQ(kZAFError_NotInitialized, ZAFsdkCleanup());
    unsetenv("ORXSDKD_SOCKET");
}

TEST(SdkInit, ConnectsToTheServiceSocketNamedInTheEnvironment) {
    ZafTempDir dir;
    FakeService service(dir.file("orxsdkd.sock"));
    setenv("ORXSDKD_SOCKET", dir.file("orxsdkd.sock").c_str(), 1);
    ASSERT_EQ(kZAFError_NoErr, ZAFsdkInit(0));
    uint32_t flags = 99;
    EXPECT_EQ(kZAFError_NoErr, ZAFsdkGetInitFlags(&flags));
    EXPECT_EQ(0u, flags);
    EXPECT_EQ(kZAFError_NoErr, ZAFsdkCleanup());
    unsetenv("ORXSDKD_SOCKET");
}

TEST(SdkInit, LocalModeNestsAndRefusesUnknownFlags) {
    EXPECT_EQ(kZAFError_BadParams, ZAFsdkInit(1));
    ASSERT_EQ(kZAFError_NoErr, ZAFsdkInit(kZAFFlags_LocalMode));
    ASSERT_EQ(kZAFError_NoErr, ZAFsdkInit(kZAFFlags_LocalMode));
    uint32_t flags = 0;
    EXPECT_EQ(kZAFError_NoErr, ZAFsdkGetInitFlags(&flags));
    EXPECT_EQ(static_cast<uint32_t>(kZAFFlags_LocalMode), flags);
    EXPECT_EQ(kZAFError_NoErr, ZAFsdkCleanup());
    EXPECT_EQ(kZAFError_NoErr, ZAFsdkGetInitFlags(&flags)); // one level still open
    EXPECT_EQ(kZAFError_NoErr, ZAFsdkCleanup());
    EXPECT_EQ(kZAFError_NotInitialized, ZAFsdkCleanup());
}

// The networking library is a separate shared object; it is loaded the way a program links it.
TEST(SdkInit, NetworkLibraryNeedsTheToolkitStartedFirst) {
    const std::string path = std::string(ORX_BINARY_DIR) + "/toolkit/libORXsdkNetwork.so";
    void* lib = dlopen(path.c_str(), RTLD_NOW);
    if (lib == nullptr)
        GTEST_SKIP() << "libORXsdkNetwork not built: " << dlerror();
    auto init = reinterpret_cast<ZAFError (*)()>(dlsym(lib, "ZAFsdkNetworkLibInit"));
    auto cleanup = reinterpret_cast<ZAFError (*)()>(dlsym(lib, "ZAFsdkNetworkLibCleanup"));
    ASSERT_NE(nullptr, init);
    ASSERT_NE(nullptr, cleanup);
    EXPECT_EQ(kZAFError_NotInitialized, init());
    ASSERT_EQ(kZAFError_NoErr, ZAFsdkInit(kZAFFlags_LocalMode));
    EXPECT_EQ(kZAFError_NoErr, init());
    EXPECT_EQ(kZAFError_NoErr, cleanup());
    EXPECT_EQ(kZAFError_NotInitialized, cleanup());
    EXPECT_EQ(kZAFError_NoErr, ZAFsdkCleanup());
    dlclose(lib);
}

TEST_F(ContextTest, EnvironmentKeepsTheSettingOfHighestPriority) {
    ZAFEnvironmentRef env = zafContextGetEnvironment(m_context);
    ASSERT_NE(nullptr, env);
    int32_t value = 0;
    int32_t priority = 0;
    EXPECT_EQ(kZAFError_ItemNotFound, zafenvGetInt(env, kZAFEnv_CertDepth, &value, &priority));

    ASSERT_EQ(kZAFError_NoErr, zafenvSetInt(env, kZAFEnv_CertDepth, 3, 15));
    ASSERT_EQ(kZAFError_NoErr, zafenvSetInt(env, kZAFEnv_CertDepth, 7, 0)); // lower: ignored
    ASSERT_EQ(kZAFError_NoErr, zafenvGetInt(env, kZAFEnv_CertDepth, &value, &priority));
    EXPECT_EQ(3, value);
    EXPECT_EQ(15, priority);

    ASSERT_EQ(kZAFError_NoErr, zafenvSetInt(env, kZAFEnv_CertDepth, 5, 15)); // equal: replaces
    ASSERT_EQ(kZAFError_NoErr, zafenvGetInt(env, kZAFEnv_CertDepth, &value, nullptr));
    EXPECT_EQ(5, value);
    ASSERT_EQ(kZAFError_NoErr, zafenvSetInt(env, kZAFEnv_CertDepth, 1, 25)); // higher: replaces
    ASSERT_EQ(kZAFError_NoErr, zafenvGetInt(env, kZAFEnv_CertDepth, &value, &priority));
    EXPECT_EQ(1, value);
    EXPECT_EQ(25, priority);
    // The toolkit's own modules read the same store.
    EXPECT_EQ(1, env->getInt(kZAFEnv_CertDepth, 4));
    EXPECT_EQ(2, env->getInt(kZAFEnv_MarginalsNeeded, 2));
}

TEST_F(ContextTest, EnvironmentStringsFollowTheSizeQueryProtocol) {
    ZAFEnvironmentRef env = zafContextGetEnvironment(m_context);
    ASSERT_EQ(kZAFError_NoErr, zafenvSetString(env, kZAFEnv_Comment, "first", 15));
    ASSERT_EQ(kZAFError_NoErr, zafenvSetString(env, kZAFEnv_Comment, "ignored", 0));
    size_t size = 0;
    EXPECT_EQ(kZAFError_BufferTooSmall,
              zafenvGetString(env, kZAFEnv_Comment, nullptr, &size, nullptr));
    EXPECT_EQ(6u, size);
    char small[3] = {'x', 'x', 'x'};
    size = sizeof small;
    EXPECT_EQ(kZAFError_BufferTooSmall,
              zafenvGetString(env, kZAFEnv_Comment, small, &size, nullptr));
    EXPECT_EQ('x', small[0]); // untouched on failure
    char buffer[16];
    size = sizeof buffer;
    int32_t priority = 0;
    ASSERT_EQ(kZAFError_NoErr, zafenvGetString(env, kZAFEnv_Comment, buffer, &size, &priority));
    EXPECT_STREQ("first", buffer);
    EXPECT_EQ(15, priority);
    EXPECT_EQ("first", env->getString(kZAFEnv_Comment, ""));
}

TEST_F(ContextTest, EnvironmentRefusesMismatchedSelectorsAndOversizedStrings) {
    ZAFEnvironmentRef env = zafContextGetEnvironment(m_context);
    EXPECT_EQ(kZAFError_BadParams, zafenvSetInt(env, kZAFEnv_Comment, 1, 0));
    EXPECT_EQ(kZAFError_BadParams, zafenvSetString(env, kZAFEnv_CertDepth, "1", 0));
    EXPECT_EQ(kZAFError_BadParams, zafenvSetString(env, kZAFEnv_Comment, nullptr, 0));
    EXPECT_EQ(kZAFError_BadParams, zafenvSetInt(env, 42, 1, 0));
    std::string huge(kZAFEnv_MaxStringLength + 1, 'a');
    EXPECT_EQ(kZAFError_BadParams, zafenvSetString(env, kZAFEnv_Comment, huge.c_str(), 0));
    huge.pop_back();
    EXPECT_EQ(kZAFError_NoErr, zafenvSetString(env, kZAFEnv_Comment, huge.c_str(), 0));
}

TEST(ContextHandles, NullForeignAndFreedHandlesAreRefused) {
    EXPECT_EQ(kZAFError_BadParams, ZAFNewContext(nullptr));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFFreeContext(nullptr));
    EXPECT_EQ(nullptr, zafContextGetEnvironment(nullptr));
    EXPECT_EQ(nullptr, ZAFPeekContextMemoryMgr(nullptr));
    EXPECT_EQ(kZAFError_InvalidHandle, zafenvSetInt(nullptr, kZAFEnv_CertDepth, 1, 0));

    ZAFContextRef context = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFNewContext(&context));
    ZAFEnvironmentRef env = zafContextGetEnvironment(context);
    ZAFFileSpecRef spec = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFNewFileSpecFromFullPath(context, "/tmp/x", &spec));
    // A file spec handed where a context belongs.
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFFreeContext(reinterpret_cast<ZAFContextRef>(spec)));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFFreeFileSpec(reinterpret_cast<ZAFFileSpecRef>(context)));
    EXPECT_NE(nullptr, ZAFPeekContextMemoryMgr(context));

    EXPECT_EQ(kZAFError_NoErr, ZAFFreeFileSpec(spec));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFFreeFileSpec(spec));
    EXPECT_EQ(kZAFError_NoErr, ZAFFreeContext(context));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFFreeContext(context));
    EXPECT_EQ(kZAFError_InvalidHandle, zafenvSetInt(env, kZAFEnv_CertDepth, 1, 0));
    EXPECT_EQ(nullptr, zafContextGetEnvironment(context));
}

TEST_F(ContextTest, SeedFileIsCreatedWithOwnerOnlyModeAndRewrittenOnFree) {
    ZafTempDir dir;
    const std::string path = dir.file("randseed.rnd");
    ZAFFileSpecRef spec = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFNewFileSpecFromFullPath(m_context, path.c_str(), &spec));
    const uint64_t mixedBefore = zaf::bytesMixedIntoPool();
    ASSERT_EQ(kZAFError_NoErr, ZAFSetRandSeedFile(m_context, spec));
    EXPECT_EQ(0u, zaf::bytesMixedIntoPool() - mixedBefore); // nothing to read yet
    EXPECT_EQ(kZAFError_NoErr, ZAFFreeFileSpec(spec));
    const std::vector<char> first = readFile(path);
    EXPECT_EQ(static_cast<size_t>(kZAFRandSeedFileSize), first.size());
    EXPECT_EQ(0600u, fileMode(path));

    ASSERT_EQ(kZAFError_NoErr, ZAFFreeContext(m_context));
    m_context = nullptr;
    const std::vector<char> second = readFile(path);
    EXPECT_EQ(first.size(), second.size());
    EXPECT_NE(first, second);
    EXPECT_EQ(0600u, fileMode(path));
    // Nothing but the seed is left behind in the folder.
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(dir.path()),
                               std::filesystem::directory_iterator()));
}

TEST_F(ContextTest, ExistingSeedFileIsMixedInThenReplacedAtOnce) {
    ZafTempDir dir;
    const std::string path = dir.file("seed");
    {
        std::ofstream out(path, std::ios::binary);
        out << std::string(3000, 'S'); // longer than a seed: read only in part
    }
    chmod(path.c_str(), 0644);
    ZAFFileSpecRef spec = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFNewFileSpecFromFullPath(m_context, path.c_str(), &spec));
    const uint64_t mixedBefore = zaf::bytesMixedIntoPool();
    ASSERT_EQ(kZAFError_NoErr, ZAFSetRandSeedFile(m_context, spec));
    EXPECT_EQ(static_cast<uint64_t>(kZAFRandSeedFileSize), zaf::bytesMixedIntoPool() - mixedBefore);
    ZAFFreeFileSpec(spec);
    const std::vector<char> now = readFile(path);
    EXPECT_EQ(static_cast<size_t>(kZAFRandSeedFileSize), now.size());
    EXPECT_NE(std::vector<char>(now.size(), 'S'), now);
    EXPECT_EQ(0600u, fileMode(path));

    // When the seed cannot be written back, the context is still freed and says so.
    std::filesystem::remove_all(dir.path());
    EXPECT_EQ(kZAFError_WriteFailed, ZAFFreeContext(m_context));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFFreeContext(m_context));
    m_context = nullptr;
}

// Seed paths that are no seed file at all: tests/toolkit/keystore/userfiles_test.cpp.
TEST_F(ContextTest, SeedFileThatCannotBeWrittenIsAWriteFailure) {
    ZafTempDir dir;
    ZAFFileSpecRef spec = nullptr;
    const std::string inMissingDir = dir.file("no/such/dir/seed");
    ASSERT_EQ(kZAFError_NoErr, ZAFNewFileSpecFromFullPath(m_context, inMissingDir.c_str(), &spec));
    EXPECT_EQ(kZAFError_WriteFailed, ZAFSetRandSeedFile(m_context, spec));
    ZAFFreeFileSpec(spec);
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFSetRandSeedFile(m_context, nullptr));
}

TEST_F(ContextTest, FileSpecsKeepFullPathsAndNormalisePortableOnes) {
    struct Case {
        bool portable;
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {false, "/a//b/./c", "/a//b/./c"},
        {true, "/a//b/./c", "/a/b/c"},
        {true, "rel/./x/", "rel/x"},
        {true, "/", "/"},
        {true, "./", "."},
        {true, "../up", "../up"},
    };
    for (const Case& c : cases) {
        ZAFFileSpecRef spec = nullptr;
        ASSERT_EQ(kZAFError_NoErr, c.portable
                                       ? ZAFNewFileSpecFromPortablePath(m_context, c.in, &spec)
                                       : ZAFNewFileSpecFromFullPath(m_context, c.in, &spec))
            << c.in;
        size_t size = 0;
        EXPECT_EQ(kZAFError_BufferTooSmall, ZAFGetFullPathFromFileSpec(spec, nullptr, &size));
        std::string text(size, '\0');
        EXPECT_EQ(kZAFError_NoErr, ZAFGetFullPathFromFileSpec(spec, text.data(), &size));
        EXPECT_STREQ(c.out, text.c_str()) << c.in;
        ZAFFreeFileSpec(spec);
    }
    ZAFFileSpecRef spec = nullptr;
    EXPECT_EQ(kZAFError_BadParams, ZAFNewFileSpecFromFullPath(m_context, "", &spec));
    EXPECT_EQ(kZAFError_BadParams, ZAFNewFileSpecFromFullPath(m_context, nullptr, &spec));
    const std::string tooLong(4097, 'p');
    EXPECT_EQ(kZAFError_BadParams,
              ZAFNewFileSpecFromPortablePath(m_context, tooLong.c_str(), &spec));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFNewFileSpecFromFullPath(nullptr, "/x", &spec));
    EXPECT_EQ(nullptr, spec);
}
