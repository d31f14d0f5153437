// Files that are not files, through the toolkit's C interface: a FIFO, a device, a folder, a
// dangling link, a planted link and an over-large file where a ring, the groups file, the seed,
// an import file or the check results beside a ring belong. Each call comes back at once with its
// own code and leaves the odd file as it was (the check results, which are only ever a cache,
// are written anew where they can be).
#include "bounded_call.h"
#include "keystore/keystore_internal.h"
#include "keystore_test_util.h"
#include "odd_files.h"
#include "zaf_temp_dir.h"

#include <zaf/zafcontext.h>
#include <zaf/zafkeys.h>

#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

using namespace orxtest;

namespace {

const std::string kSmallRing = std::string(ORX_TEST_DATA_DIR) + "/service/pubring-small.pkr";
const std::string kSmallSecRing = std::string(ORX_TEST_DATA_DIR) + "/service/secring-small.skr";

// What each odd file gives where no link is followed.
const std::map<OddFile, ZAFError> kRefusals = {
    {OddFile::Fifo, kZAFError_NotRegularFile},      {OddFile::Device, kZAFError_NotRegularFile},
    {OddFile::Folder, kZAFError_NotRegularFile},    {OddFile::DanglingLink, kZAFError_SymbolicLink},
    {OddFile::PlantedLink, kZAFError_SymbolicLink}, {OddFile::TooLarge, kZAFError_FileTooLarge},
};

class UserFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(kZAFError_NoErr, ZAFsdkInit(kZAFFlags_LocalMode)); }
    static void TearDownTestSuite() { ZAFsdkCleanup(); }
    void SetUp() override {
        ASSERT_EQ(kZAFError_NoErr, ZAFNewContext(&m_context));
        std::filesystem::copy_file(kSmallRing, m_dir.file("elsewhere.pkr"));
    }
    void TearDown() override { ZAFFreeContext(m_context); }

    ZAFFileSpecRef spec(const std::string& path) {
        ZAFFileSpecRef out = nullptr;
        EXPECT_EQ(kZAFError_NoErr, ZAFNewFileSpecFromFullPath(m_context, path.c_str(), &out));
        return out;
    }
    // Puts `kind` at `path`; the planted link points to a good ring elsewhere.
    void place(OddFile kind, const std::string& path, uint64_t bound) {
        ASSERT_TRUE(placeOddFile(kind, path, bound, m_dir.file("elsewhere.pkr"))) << nameOf(kind);
    }
    // Runs `call` on the odd file at `path`, which must come back at once; its code.
    ZAFError promptly(const std::string& path, const std::function<ZAFError()>& call) {
        ZAFError code = kZAFError_NoErr;
        EXPECT_TRUE(returnsWithin(
            20, [&] { code = call(); }, fifoWriter(path)))
            << "the call waited on " << path;
        return code;
    }
    ZAFError openRings(const std::string& pub, const std::string& sec, uint32_t options = 0) {
        ZAFFileSpecRef p = spec(pub), s = spec(sec);
        ZAFKeyDBRef db = nullptr;
        const ZAFError code = ZAFOpenKeyDBFile(m_context, options, p, s, &db);
        if (db != nullptr)
            ZAFFreeKeyDB(db);
        ZAFFreeFileSpec(p);
        ZAFFreeFileSpec(s);
        return code;
    }
    // The odd file is still what it was (a link still a link, the large file still large).
    void expectUntouched(OddFile kind, const std::string& path, uint64_t bound) {
        struct stat st {};
        ASSERT_EQ(0, ::lstat(path.c_str(), &st)) << nameOf(kind);
        if (kind == OddFile::DanglingLink || kind == OddFile::PlantedLink) {
            EXPECT_TRUE(S_ISLNK(st.st_mode)) << nameOf(kind);
        }
        if (kind == OddFile::TooLarge) {
            EXPECT_EQ(off_t(bound + 1), st.st_size);
        }
        EXPECT_EQ(kstest::readAll(kSmallRing), kstest::readAll(m_dir.file("elsewhere.pkr")));
        EXPECT_FALSE(std::filesystem::exists(path + ".nowhere"));
    }

    ZafTempDir m_dir;
    ZAFContextRef m_context = nullptr;
};

TEST_F(UserFiles, EitherRingThatIsNoRingFileIsRefusedWithItsOwnCode) {
    const uint64_t bound = 512u << 20;
    std::filesystem::copy_file(kSmallRing, m_dir.file("pub.pkr"));
    std::filesystem::copy_file(kSmallSecRing, m_dir.file("sec.skr"));
    const std::string odd = m_dir.file("odd");
    for (OddFile kind : allOddFiles()) {
        SCOPED_TRACE(nameOf(kind));
        place(kind, odd, bound);
        EXPECT_EQ(kRefusals.at(kind),
                  promptly(odd, [&] { return openRings(odd, m_dir.file("sec.skr")); }));
        EXPECT_EQ(kRefusals.at(kind),
                  promptly(odd, [&] { return openRings(m_dir.file("pub.pkr"), odd); }));
        // Asked to create missing rings, a link (dangling or not) is not created through.
        EXPECT_EQ(kRefusals.at(kind), promptly(odd, [&] {
                      return openRings(odd, m_dir.file("sec.skr"),
                                       kZAFOpenKeyDBFileOptions_Create |
                                           kZAFOpenKeyDBFileOptions_Mutable);
                  }));
        expectUntouched(kind, odd, bound);
    }
    EXPECT_EQ(kZAFError_NoErr, openRings(m_dir.file("pub.pkr"), m_dir.file("sec.skr")));
}

TEST_F(UserFiles, ARingReplacedByAFifoStopsFlushAndRefreshAtOnce) {
    const std::string pub = m_dir.file("pub.pkr"), sec = m_dir.file("sec.skr");
    std::filesystem::copy_file(kSmallRing, pub);
    std::filesystem::copy_file(kSmallSecRing, sec);
    ZAFFileSpecRef p = spec(pub), s = spec(sec);
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(kZAFError_NoErr,
              ZAFOpenKeyDBFile(m_context, kZAFOpenKeyDBFileOptions_Mutable, p, s, &db));
    ZAFFreeFileSpec(p);
    ZAFFreeFileSpec(s);
    ZAFKeyIterRef it = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFNewKeyIterFromKeyDB(db, &it));
    ZAFKeyDBObjRef key = nullptr;
    ASSERT_EQ(kZAFError_NoErr, ZAFKeyIterNextKeyDBObj(it, kZAFKeyDBObjType_Key, &key));
    ASSERT_EQ(kZAFError_NoErr, ZAFSetKeyOwnerTrust(key, 5)); // something for the flush to write
    ZAFFreeKeyIter(it);
    place(OddFile::Fifo, pub, 0);
    EXPECT_EQ(kZAFError_NotRegularFile, promptly(pub, [&] { return ZAFKeyDBRefresh(db); }));
    EXPECT_EQ(kZAFError_NotRegularFile, promptly(pub, [&] { return ZAFFlushKeyDB(db); }));
    ZAFFreeKeyDB(db);
    struct stat st {};
    ASSERT_EQ(0, ::lstat(pub.c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode)); // not replaced by a flush
}

TEST_F(UserFiles, CheckResultsBesideTheRingThatAreNoFileArePassedOverAtOnce) {
    const uint64_t bound = 16 + uint64_t(zaf::kMaxCheckFileResults) * 17 + 32;
    const std::string pub = m_dir.file("pub.pkr"), sec = m_dir.file("sec.skr");
    std::filesystem::copy_file(kSmallRing, pub);
    std::filesystem::copy_file(kSmallSecRing, sec);
    const std::string odd = pub + ".checks";
    for (OddFile kind : allOddFiles()) {
        SCOPED_TRACE(nameOf(kind));
        place(kind, odd, bound);
        zaf::clearCachedChecks(); // as a new process: the results are wanted from the file
        EXPECT_EQ(kZAFError_NoErr, promptly(odd, [&] { return openRings(pub, sec); }));
        EXPECT_EQ(kstest::readAll(kSmallRing), kstest::readAll(m_dir.file("elsewhere.pkr")));
        struct stat st {};
        ASSERT_EQ(0, ::lstat(odd.c_str(), &st));
        // Nothing can be renamed over a folder; everything else gives way to results of our own.
        EXPECT_EQ(kind == OddFile::Folder, S_ISDIR(st.st_mode));
        if (kind != OddFile::Folder) {
            EXPECT_TRUE(S_ISREG(st.st_mode));
            EXPECT_LT(uint64_t(st.st_size), bound);
        }
    }
}

TEST_F(UserFiles, AGroupsFileThatIsNoFileIsAnErrorNotAnEmptySet) {
    const uint64_t bound = 8u << 20;
    const std::string odd = m_dir.file("ZAFgroup.zgr");
    for (OddFile kind : allOddFiles()) {
        SCOPED_TRACE(nameOf(kind));
        place(kind, odd, bound);
        ZAFFileSpecRef file = spec(odd);
        ZAFGroupSetRef set = nullptr;
        EXPECT_EQ(kRefusals.at(kind),
                  promptly(odd, [&] { return ZAFNewGroupSetFromFile(m_context, file, &set); }));
        EXPECT_EQ(nullptr, set);
        ZAFFreeFileSpec(file);
        expectUntouched(kind, odd, bound);
    }
}

TEST_F(UserFiles, ASeedThatIsNoSeedFileIsRefusedAndNeverOverwritten) {
    const uint64_t bound = 64u << 10;
    const std::string odd = m_dir.file("randseed.bin");
    for (OddFile kind : allOddFiles()) {
        SCOPED_TRACE(nameOf(kind));
        place(kind, odd, bound);
        ZAFFileSpecRef file = spec(odd);
        EXPECT_EQ(kRefusals.at(kind),
                  promptly(odd, [&] { return ZAFSetRandSeedFile(m_context, file); }));
        ZAFFreeFileSpec(file);
        expectUntouched(kind, odd, bound);
    }
    // A seed up to the bound is read (its first bytes) and replaced by a fresh one.
    place(OddFile::TooLarge, odd, bound - 1);
    ZAFFileSpecRef file = spec(odd);
    EXPECT_EQ(kZAFError_NoErr, ZAFSetRandSeedFile(m_context, file));
    ZAFFreeFileSpec(file);
    EXPECT_EQ(uintmax_t(kZAFRandSeedFileSize), std::filesystem::file_size(odd));
}

TEST_F(UserFiles, AnImportFileNamedByTheCallerMayBeALinkButMustBeAFile) {
    const uint64_t bound = 512u << 20;
    const std::string odd = m_dir.file("import.pkr");
    const std::map<OddFile, ZAFError> expected = {
        {OddFile::Fifo, kZAFError_NotRegularFile},
        {OddFile::Device, kZAFError_NotRegularFile},
        {OddFile::Folder, kZAFError_NotRegularFile},
        {OddFile::DanglingLink, kZAFError_FileNotFound},
        {OddFile::PlantedLink, kZAFError_NoErr},
        {OddFile::TooLarge, kZAFError_FileTooLarge},
    };
    for (OddFile kind : allOddFiles()) {
        SCOPED_TRACE(nameOf(kind));
        place(kind, odd, bound);
        ZAFKeyDBRef imported = nullptr;
        ZAFFileSpecRef file = spec(odd);
        EXPECT_EQ(expected.at(kind), promptly(odd, [&] {
                      return ZAFImport(m_context, &imported, ZAFOInputFile(m_context, file),
                                       ZAFOLastOption());
                  }));
        ZAFFreeFileSpec(file);
        EXPECT_EQ(kind == OddFile::PlantedLink, imported != nullptr);
        if (imported != nullptr)
            ZAFFreeKeyDB(imported);
    }
}

} // namespace
