// orxcache as a real process against a real orxsdkd: help and version, the service absent, an
// odd number of rings, a list whose last line lacks its line feed, a reload by SIGHUP after a
// ring changed, and daemonising with relative paths that still count from the first directory.
// ctest-labels: service
#include "service_harness.h"

#include <zaf/zafcontext.h>
#include <zaf/zafkeys.h>

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>

using namespace orxtest;

namespace {

const std::string kData = std::string(ORX_TEST_DATA_DIR) + "/service/";
const std::string kHelp = "ORXcache Version 8.5.0\n\n"
                          "Usage: orxcache [--help] [--version] [--filelist <filelist>]\n"
                          "                [<pubring> <secring>]...\n";

class OrxcacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_service.ready());
        m_dir = m_service.dir() + "/work";
        std::filesystem::create_directory(m_dir);
        std::filesystem::copy_file(kData + "pubring-small.pkr", m_dir + "/pub.pkr");
        std::filesystem::copy_file(kData + "secring-small.skr", m_dir + "/sec.skr");
        std::filesystem::copy_file(kData + "pubring-small.pkr", m_dir + "/other.pkr");
        setenv("ORXSDKD_SOCKET", m_service.socket().c_str(), 1);
    }
    void TearDown() override { unsetenv("ORXSDKD_SOCKET"); }

    // Runs orxcache to its end in m_dir; its exit code, standard error in `err`.
    int run(const std::vector<std::string>& args, std::string& err) {
        std::vector<std::string> argv = {ORXCACHE_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        int code = waitExit(spawnProgram(argv, m_dir + "/err.txt", m_dir), 120);
        err = readText(m_dir + "/err.txt");
        return code;
    }

    ServiceProcess m_service;
    std::string m_dir;
};

TEST_F(OrxcacheTest, HelpVersionAndCommandLineErrors) {
    std::string err;
    EXPECT_EQ(0, run({"--help", "pub.pkr", "sec.skr"}, err));
    EXPECT_EQ(kHelp, err);
    EXPECT_EQ(0, run({"--version"}, err));
    EXPECT_EQ("ORXcache Version 8.5.0\n", err);
    EXPECT_EQ(4, run({"--bogus"}, err));
    EXPECT_EQ(kHelp.substr(24), err);
    EXPECT_EQ(4, run({"--filelist"}, err));
    EXPECT_EQ(2, run({"--filelist", "missing.lst"}, err));
    EXPECT_EQ("Error: Opening file 'missing.lst' failed with error 'No such file or directory'.\n",
              err);
    EXPECT_EQ(2, run({"--verbose", "missing.pkr"}, err));
    EXPECT_EQ("Loading public  keyring: " + m_dir + "/missing.pkr\nOpening keyring '" + m_dir +
                  "/missing.pkr' failed with error 'file not found'.\nExit code = 2.\n",
              err);
    // Nothing loaded by these runs.
    EXPECT_EQ(0u, countOf(m_service.logText(), "verified"));
}

TEST_F(OrxcacheTest, WithoutTheServiceItSaysSo) {
    setenv("ORXSDKD_SOCKET", (m_dir + "/nobody.sock").c_str(), 1);
    std::string err;
    EXPECT_EQ(3, run({"pub.pkr", "sec.skr"}, err));
    EXPECT_EQ("orxsdkd must be running.\n", err);
}

TEST_F(OrxcacheTest, FileListWhoseLastLineLacksALineFeedIsRefused) {
    std::ofstream(m_dir + "/list.lst") << "# rings\n\n   pub.pkr \t\nsec.skr";
    std::string err;
    EXPECT_EQ(2, run({"--filelist", "list.lst"}, err));
    EXPECT_EQ("Error: Line 4 in file list.lst is too long.  Maximum linelength is 4094.\n", err);
    std::ofstream(m_dir + "/long.lst") << std::string(4095, 'x') << "\n";
    EXPECT_EQ(2, run({"--filelist", "long.lst"}, err));
    EXPECT_EQ("Error: Line 1 in file long.lst is too long.  Maximum linelength is 4094.\n", err);
    // The longest line allowed is read, and a path too long for a file name fails as an
    // opening, not as an abort.
    const std::string longest(4094, 'y');
    std::ofstream(m_dir + "/longest.lst") << longest << "\n";
    EXPECT_EQ(2, run({"--filelist", "longest.lst"}, err));
    EXPECT_EQ("Opening file '" + m_dir + "/" + longest + "' failed.\n", err);
}

// Verbose stays in the foreground: an odd number of rings (the last one without a secret
// ring), a reload by SIGHUP after a ring changed, and SIGTERM.
TEST_F(OrxcacheTest, OddRingsAndReloadAfterARingChanged) {
    std::ofstream(m_dir + "/zafcache.lst") << "  pub.pkr\n#comment\nsec.skr\n\tother.pkr\n";
    pid_t pid = spawnProgram({ORXCACHE_PATH, "--verbose"}, m_dir + "/err.txt", m_dir);
    ASSERT_TRUE(m_service.waitForLog("verified", 2));
    const std::string loaded = "Processing default file list: ./zafcache.lst\n"
                               "Loading public  keyring: " +
                               m_dir + "/pub.pkr\nLoading private keyring: " + m_dir +
                               "/sec.skr\nLoading public  keyring: " + m_dir + "/other.pkr\n";
    EXPECT_EQ(loaded, readText(m_dir + "/err.txt"));

    // Change a ring the way the key store writes (new file, rename), then SIGHUP.
    ASSERT_EQ(kZAFError_NoErr, ZAFsdkInit(kZAFFlags_LocalMode));
    ZAFContextRef ctx = nullptr;
    ZAFNewContext(&ctx);
    ZAFFileSpecRef spec = nullptr;
    ZAFNewFileSpecFromFullPath(ctx, (m_dir + "/other.pkr").c_str(), &spec);
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(kZAFError_NoErr,
              ZAFOpenKeyDBFile(ctx, kZAFOpenKeyDBFileOptions_Mutable, spec, nullptr, &db));
    ZAFKeyIterRef it = nullptr;
    ZAFNewKeyIterFromKeyDB(db, &it);
    ZAFKeyDBObjRef key = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFKeyIterNextKeyDBObj(it, kZAFKeyDBObjType_Key, &key));
    ASSERT_EQ(kZAFError_NoErr, ZAFSetKeyOwnerTrust(key, 5));
    ASSERT_EQ(kZAFError_NoErr, ZAFFlushKeyDB(db));
    ZAFFreeKeyIter(it);
    ZAFFreeKeyDB(db);
    ZAFFreeFileSpec(spec);
    ZAFFreeContext(ctx);
    ZAFsdkCleanup();

    kill(pid, SIGHUP);
    // The unchanged pair comes from the cache, the changed ring is a new version.
    EXPECT_TRUE(m_service.waitForLog("verified", 3));
    EXPECT_TRUE(m_service.waitForLog("served from the cache", 1));
    EXPECT_TRUE(pollFor(
        [&] { return countOf(readText(m_dir + "/err.txt"), "Loading public  keyring") == 4; }, 60));
    kill(pid, SIGTERM);
    EXPECT_EQ(0, waitExit(pid));
    // SIGTERM may come while the second pass still reads the last ring (a slow build): it then
    // stops there, as asked.
    std::string err = readText(m_dir + "/err.txt");
    const std::string stopping = "Stopping at user's request.\n";
    if (err.find(stopping) != std::string::npos)
        err.erase(err.find(stopping), stopping.size());
    EXPECT_EQ(loaded + "Error: Abnormal exit.\nExit code = 0.\n" + loaded + "Exit code = 0.\n",
              err);
}

// The daemon (found as our child: this process is a subreaper) reloads on SIGHUP with relative
// paths counted from the directory of the first pass, although it moved to "/".
TEST_F(OrxcacheTest, DaemonisesAndKeepsRelativePathsAcrossSighup) {
    ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1));
    std::ofstream(m_dir + "/rings.lst") << "pub.pkr\nsec.skr\n";
    pid_t parent =
        spawnProgram({ORXCACHE_PATH, "--filelist", "rings.lst"}, m_dir + "/err.txt", m_dir);
    EXPECT_EQ(0, waitExit(parent));
    EXPECT_TRUE(m_service.waitForLog("verified", 1));
    pid_t daemon = -1;
    ASSERT_TRUE(pollFor(
        [&] {
            DIR* proc = opendir("/proc");
            while (dirent* entry = readdir(proc)) {
                std::string stat = readText(std::string("/proc/") + entry->d_name + "/stat");
                if (stat.find("(orxcache)") == std::string::npos)
                    continue;
                // Field 4 of /proc/<pid>/stat: the parent's pid.
                size_t close = stat.rfind(')');
                int ppid = 0;
                if (std::sscanf(stat.c_str() + close + 2, "%*c %d", &ppid) == 1 && ppid == getpid())
                    daemon = std::atoi(entry->d_name);
            }
            closedir(proc);
            return daemon > 0;
        },
        30));
    EXPECT_EQ(std::filesystem::path("/"),
              std::filesystem::read_symlink("/proc/" + std::to_string(daemon) + "/cwd"));
    kill(daemon, SIGHUP);
    EXPECT_TRUE(m_service.waitForLog("connection from pid " + std::to_string(daemon) + " ", 1, 60));
    EXPECT_TRUE(m_service.waitForLog("served from the cache", 1));
    EXPECT_EQ(1u, countOf(m_service.logText(), "verified"));
    // The reload ran in the same process: it does not end (bounded look).
    EXPECT_FALSE(pollFor([&] { return waitpid(daemon, nullptr, WNOHANG) == daemon; }, 1));
    kill(daemon, SIGTERM);
    EXPECT_EQ(0, waitExit(daemon));
    EXPECT_EQ("", readText(m_dir + "/err.txt"));
    prctl(PR_SET_CHILD_SUBREAPER, 0);
}

} // namespace
