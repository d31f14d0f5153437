// Tests of the file manager: open modes on real files, temporary files and the orphan report,
// copying, directory helpers and secure wiping (checked byte by byte after every pass).
#include "expect_throw.h"
#include "file_fixture.h"

#include <oozaf/filemanager.h>
#include <oozaf/logger.h>
#include <oozaf/mem.h>
#include <oozaf/throwable.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <memory>
#include <random>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace oozaf;

namespace {

class FileManagerTest : public CZAFFileFixture {
protected:
    void SetUp() override {
        CZAFFileFixture::SetUp();
        m_manager.setTempDirectory(m_dir.path());
    }

    std::string report() {
        std::ostringstream out;
        m_manager.printTempFilenames(out);
        return out.str();
    }
    static std::string randomBytes(std::size_t size, unsigned int seed) {
        std::mt19937 random(seed);
        std::string out(size, '\0');
        for (char& c : out)
            c = static_cast<char>(random() & 0xFF);
        return out;
    }

    CZAFFileManager m_manager;
};

TEST_F(FileManagerTest, OpenModesKeepOrEmptyTheContent) {
    const std::string path = put("data.txt", "content\n");
    delete CZAFFileManager::open(path, eFileOpenRead | eFileOpenWrite, eFileTypeText);
    EXPECT_EQ("content\n", get(path));
    {
        std::unique_ptr<CZAFFile> file(
            CZAFFileManager::open(path, eFileOpenWrite | eFileOpenAppend, eFileTypeText));
        file->write("more\n");
    }
    EXPECT_EQ("content\nmore\n", get(path));
    delete CZAFFileManager::open(path, eFileOpenWrite | eFileOpenCreate | eFileOpenTruncate,
                                 eFileTypeBinary);
    EXPECT_EQ("", get(path));

    // Read and write of a missing file creates it.
    const std::string created = m_dir.file("created.txt");
    delete CZAFFileManager::open(created, eFileOpenRead | eFileOpenWrite, eFileTypeText);
    EXPECT_TRUE(CZAFFileManager::fileExists(created));

    const std::string missing = m_dir.file("missing.txt");
    auto e = expectThrow<CZAFFileOpenException>(
        [&] { CZAFFileManager::open(missing, eFileOpenRead, eFileTypeText); });
    ASSERT_TRUE(e);
    EXPECT_EQ("Error opening file " + missing + " (mode = 1)", e->getMessage());
    EXPECT_FALSE(CZAFFileManager::fileExists(missing));
}

TEST_F(FileManagerTest, TemporaryFilesAreUniqueAndReportedUntilRemoved) {
    EXPECT_EQ("No orphan temporary files found.\n", report());
    const std::string first = m_manager.getTempFilename();
    const std::string second = m_manager.getTempFilename();
    EXPECT_NE(first, second);
    for (const std::string& name : {first, second}) {
        EXPECT_EQ(0u, name.find(m_dir.path() + "/zaftemp.$"));
        EXPECT_EQ(m_dir.path().size() + 16, name.size());
        struct stat info {};
        ASSERT_EQ(0, stat(name.c_str(), &info));
        EXPECT_EQ(0, info.st_size);
        EXPECT_EQ(0600u, info.st_mode & 0777);
    }
    m_manager.removeFile(first);
    EXPECT_FALSE(CZAFFileManager::fileExists(first));
    EXPECT_EQ("Found orphan temporary files:\n\n" + second + "\n", report());

    // The destructor reports the orphans at the verbose level and leaves them in place.
    std::ostringstream log;
    CZAFLogger logger;
    logger.setLog(log);
    logger.setLogLevel(CZAFLogger::eLogVerbose);
    gSetOOZAFLogger(&logger);
    {
        CZAFFileManager other;
        other.setTempDirectory(m_dir.path());
        other.getTempFilename();
    }
    gSetOOZAFLogger(nullptr);
    EXPECT_NE(std::string::npos, log.str().find("] Found orphan temporary files:\n\n"));
    m_manager.removeFile(second);

    auto noRemove = expectThrow<CZAFFileAccessException>([&] { m_manager.removeFile(second); });
    ASSERT_TRUE(noRemove);
    EXPECT_EQ(second, noRemove->getPath());

    m_manager.setTempDirectory(m_dir.file("missing"));
    auto noTemp = expectThrow<CZAFFileAccessException>([&] { m_manager.getTempFilename(); });
    ASSERT_TRUE(noTemp);
    EXPECT_EQ("<tmpfile>", noTemp->getPath());
}

// A copy is complete only when its last buffered bytes are written: onto a full device the
// final flush fails and the copy must say so.
TEST_F(FileManagerTest, ACopyReportsAFailedLastWrite) {
    const std::string source = put("small.cfg", "Armor=on\n");
    auto e = expectThrow<CZAFFileWriteException>(
        [&] { CZAFFileManager::copyFiles(source, "/dev/full", true); });
    ASSERT_TRUE(e);
    const auto* os = dynamic_cast<const CZAFOSException*>(e->getRoot());
    ASSERT_NE(nullptr, os);
    EXPECT_EQ(ENOSPC, os->getErrno());
    CZAFFileManager::copyFiles(source, "/dev/null", true); // a device that takes it all
}

TEST_F(FileManagerTest, CopiesInChunksAndPathHelpers) {
    const std::string content = randomBytes(100000, 1); // several 32768-byte chunks
    const std::string source = put("source.bin", content);
    const std::string target = put("target.bin", std::string(200000, 'x'));
    CZAFFileManager::copyFiles(source, target, true);
    EXPECT_EQ(content, get(target));
    const std::string fresh = m_dir.file("fresh.bin");
    CZAFFileManager::copyFiles(source, fresh, false);
    EXPECT_EQ(content, get(fresh));
    EXPECT_TRUE(expectThrow<CZAFFileOpenException>(
        [&] { CZAFFileManager::copyFiles(m_dir.file("none"), fresh, true); }));

    EXPECT_EQ("/a/b", CZAFFileManager::appendToDir("/a/", "b"));
    EXPECT_EQ("/a/b", CZAFFileManager::appendToDir("/a", "b"));
    EXPECT_EQ("b", CZAFFileManager::appendToDir("", "b"));
    EXPECT_EQ("/a", CZAFFileManager::getFilenamePath("/a/b.cfg"));
    EXPECT_EQ("b.cfg", CZAFFileManager::getFilenamePath("b.cfg"));

    EXPECT_TRUE(CZAFFileManager::isDirectory(m_dir.path(), true));
    EXPECT_FALSE(CZAFFileManager::isDirectory(source, true));
    EXPECT_FALSE(CZAFFileManager::isDirectory(m_dir.file("none"), false));
    EXPECT_TRUE(expectThrow<CZAFFileAccessException>(
        [&] { CZAFFileManager::isDirectory(m_dir.file("none"), true); }));
    EXPECT_TRUE(CZAFFileManager::isRegularFile(source));
    EXPECT_EQ(100000u, CZAFFileManager::getFileSize(source));
    EXPECT_FALSE(CZAFFileManager::getLastModifiedTime(source).isNever());

    const std::string sub = m_dir.file("sub");
    CZAFFileManager::createDirectory(sub);
    struct stat info {};
    ASSERT_EQ(0, stat(sub.c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 0777);
    EXPECT_TRUE(
        expectThrow<CZAFDirCreateException>([&] { CZAFFileManager::createDirectory(sub); }));
    CZAFFileManager::createEmptyFile(target);
    EXPECT_EQ(0u, CZAFFileManager::getFileSize(target));

    char cwd[4096];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    EXPECT_EQ(std::string(cwd), CZAFFileManager::getWorkingDirectory());
}

// Records each wipe pass and what the file held right after it.
struct SPassRecord {
    int32_t pattern;
    std::string buffer;
    std::string content;
};

TEST_F(FileManagerTest, WipingOverwritesEveryBytePerPassThenRemoves) {
    // 10000 bytes: two full pages and a partial one on 4096-byte pages.
    const std::string original = randomBytes(10000, 2);
    const std::string path = m_manager.getTempFilename();
    std::ofstream(path, std::ios::binary) << original;

    std::vector<SPassRecord> passes;
    m_manager.setWipePassHook([&](const SZAFWipePass& pass) {
        EXPECT_EQ(passes.size(), pass.index);
        EXPECT_EQ(path, pass.fileName);
        passes.push_back({pass.pattern, pass.buffer, get(path)});
    });
    m_manager.wipeFile(path, 3);
    EXPECT_FALSE(CZAFFileManager::fileExists(path));
    EXPECT_EQ("No orphan temporary files found.\n", report()); // forgotten as a temporary file

    ASSERT_EQ(3u, passes.size());
    for (const SPassRecord& pass : passes) {
        ASSERT_EQ(1024u, pass.buffer.size());
        ASSERT_EQ(original.size(), pass.content.size());
        std::string expected;
        while (expected.size() < original.size())
            expected += pass.buffer;
        expected.resize(original.size());
        EXPECT_EQ(expected, pass.content); // every byte, the buffer repeated from each page start
    }
    EXPECT_EQ(-1, passes[0].pattern); // random, a fixed pattern, random
    EXPECT_EQ(0x55, passes[1].pattern);
    EXPECT_EQ(std::string(1024, '\x55'), passes[1].buffer);
    EXPECT_EQ(-1, passes[2].pattern);
    EXPECT_NE(passes[0].buffer, passes[2].buffer);
}

TEST_F(FileManagerTest, WipingEmptyAndBadRequests) {
    const std::string empty = put("empty", "");
    bool called = false;
    m_manager.setWipePassHook([&](const SZAFWipePass&) { called = true; });
    m_manager.wipeFile(empty, 1);
    EXPECT_FALSE(CZAFFileManager::fileExists(empty));
    EXPECT_FALSE(called);

    const std::string data = put("data", "secret");
    auto zero = expectThrow<CZAFInternalError>([&] { m_manager.wipeFile(data, 0); });
    ASSERT_TRUE(zero);
    EXPECT_EQ("file", zero->getFile());
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] { m_manager.wipeFile("", 1); }));
    EXPECT_TRUE(
        expectThrow<CZAFFileAccessException>([&] { m_manager.wipeFile(m_dir.file("none"), 1); }));

    EXPECT_EQ("secret", get(data));
    EXPECT_FALSE(called);
}

TEST_F(FileManagerTest, AFailingPassKeepsTheFile) {
    // The file shrinks after the first pass (another writer); the second pass must not write
    // past its end and fails instead.
    const std::string path = put("shrinking", randomBytes(9000, 3));
    unsigned int calls = 0;
    m_manager.setWipePassHook([&](const SZAFWipePass&) {
        ++calls;
        ASSERT_EQ(0, truncate(path.c_str(), 100));
    });
    auto e = expectThrow<CZAFFileWipeException>([&] { m_manager.wipeFile(path, 3); });
    ASSERT_TRUE(e);
    EXPECT_EQ(1u, calls);
    EXPECT_TRUE(CZAFFileManager::fileExists(path));
    const auto* root = dynamic_cast<const CZAFFileSystemException*>(e->getRoot());
    EXPECT_NE(nullptr, root);

    // A failure raised by the hook counts as a failed pass too.
    const std::string other = put("other", "abc");
    m_manager.setWipePassHook(
        [&](const SZAFWipePass& pass) { throw new CZAFFileAccessException(pass.fileName, EIO); });
    auto hooked = expectThrow<CZAFFileWipeException>([&] { m_manager.wipeFile(other, 2); });
    ASSERT_TRUE(hooked);
    EXPECT_EQ("Error while wiping file " + other, hooked->getMessage());
    EXPECT_NE(nullptr, dynamic_cast<const CZAFFileAccessException*>(hooked->getRoot()));
    EXPECT_TRUE(CZAFFileManager::fileExists(other));
}

// The FUSE file system of tests/support/failing_sync_fs.cpp, mounted by its own process for the
// length of a test. Whether it came up is `ready()`; a machine without FUSE cannot mount it.
class CFailingSyncFs final {
public:
    explicit CFailingSyncFs(const std::string& mountPoint) : m_mountPoint(mountPoint) {
        mkdir(m_mountPoint.c_str(), 0700);
        std::string program = ORX_FAILING_SYNC_FS;
        std::string point = m_mountPoint;
        char* arguments[] = {&program[0], &point[0], nullptr};
        if (posix_spawn(&m_pid, program.c_str(), nullptr, nullptr, arguments, environ) != 0) {
            m_pid = -1;
            return;
        }
        // Mounted when the file shows through the mount point; the server quits if it cannot
        // mount. Polled with a bound.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            struct stat info {};
            if (stat(file().c_str(), &info) == 0 && info.st_size == 10000) {
                m_ready = true;
                return;
            }
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~CFailingSyncFs() {
        umount2(m_mountPoint.c_str(), MNT_DETACH);
        if (m_pid <= 0)
            return;
        // The server ends when its file system is unmounted; bounded, then killed.
        for (int i = 0; i < 500; ++i) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    CFailingSyncFs(const CFailingSyncFs&) = delete;
    CFailingSyncFs& operator=(const CFailingSyncFs&) = delete;

    bool ready() const { return m_ready; }
    std::string file() const { return m_mountPoint + "/data"; }

private:
    std::string m_mountPoint;
    pid_t m_pid = -1;
    bool m_ready = false;
};

// The write-back of a wipe pass fails (msync reports EIO): the pattern may not be on the disk,
// so the wipe fails and the file stays instead of being removed as if it had been wiped.
TEST_F(FileManagerTest, AWipeWhoseSyncFailsKeepsTheFile) {
    CFailingSyncFs disk(m_dir.file("mnt"));
    if (!disk.ready())
        GTEST_SKIP() << "FUSE file systems cannot be mounted here";
    bool passed = false;
    m_manager.setWipePassHook([&](const SZAFWipePass&) { passed = true; });
    auto e = expectThrow<CZAFFileWipeException>([&] { m_manager.wipeFile(disk.file(), 1); });
    ASSERT_TRUE(e);
    const auto* os = dynamic_cast<const CZAFOSException*>(e->getRoot());
    ASSERT_NE(nullptr, os) << e->getDetailedMessage();
    EXPECT_EQ(EIO, os->getErrno());
    EXPECT_FALSE(passed);
    EXPECT_TRUE(CZAFFileManager::fileExists(disk.file()));
}

} // namespace
