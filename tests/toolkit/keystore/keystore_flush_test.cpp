// Flushing key rings: merges with other writers, across handles and processes, and failures.
#include "keystore/keystore_internal.h"
#include "keystore_test_util.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kstest;

namespace {

class Flush : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveBench())
            GTEST_SKIP();
        std::string pubAll = readAll(benchPath("pubring-1k.pkr"));
        std::string secAll = readAll(benchPath("secring-1k.skr"));
        pub = dir.file("pubring.pkr");
        sec = dir.file("secring.skr");
        writeAll(pub, sliceKeys(pubAll, 0, 6));
        writeAll(sec, sliceKeys(secAll, 0, 6));
        for (size_t i = 6; i < 10; ++i)
            extra.push_back(sliceKeys(pubAll, i, i + 1) + sliceKeys(secAll, i, i + 1));
        ASSERT_EQ(0, openDB(ctx.get(), pub, sec, &probe, kZAFOpenKeyDBFileOptions_None));
        original = keyIDs(probe);
        ZAFFreeKeyDB(probe);
        probe = nullptr;
    }

    // Adds the bench key `bytes` to `db`.
    void addKey(ZAFKeyDBRef db, const std::string& bytes) {
        ZAFKeyDBRef in = importBytes(ctx.get(), bytes);
        ASSERT_NE(nullptr, in);
        ASSERT_EQ(0, ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(in), db, nullptr));
        ZAFFreeKeyDB(in);
    }
    std::string idOf(const std::string& bytes) {
        ZAFKeyDBRef in = importBytes(ctx.get(), bytes);
        std::vector<std::string> ids = keyIDs(in);
        ZAFFreeKeyDB(in);
        return ids.at(0);
    }
    void removeKey(ZAFKeyDBRef db, size_t index) {
        ZAFKeyIterRef it = nullptr;
        ASSERT_EQ(0, ZAFNewKeyIterFromKeyDB(db, &it));
        ZAFKeyDBObjRef key = nullptr;
        for (size_t i = 0; i <= index; ++i)
            ASSERT_EQ(0, ZAFKeyIterNextKeyDBObj(it, kZAFKeyDBObjType_Key, &key));
        ZAFKeySetRef one = nullptr;
        ASSERT_EQ(0, ZAFNewSingletonKeySet(key, &one));
        ASSERT_EQ(0, ZAFDeleteKeys(db, one));
        ZAFFreeKeySet(one);
        ZAFFreeKeyIter(it);
    }
    std::vector<std::string> onDisk() {
        ZAFKeyDBRef db = nullptr;
        EXPECT_EQ(0, openDB(ctx.get(), pub, sec, &db, kZAFOpenKeyDBFileOptions_None));
        std::vector<std::string> ids = keyIDs(db);
        uint32_t secrets = 0;
        for (const zaf::KeyPtr& k : db->keys)
            secrets += k->hasSecret();
        EXPECT_EQ(ids.size(), secrets);
        ZAFFreeKeyDB(db);
        std::sort(ids.begin(), ids.end());
        return ids;
    }
    std::vector<std::string> expected(std::vector<std::string> drop, std::vector<std::string> add) {
        std::vector<std::string> ids;
        for (const auto& id : original)
            if (std::find(drop.begin(), drop.end(), id) == drop.end())
                ids.push_back(id);
        ids.insert(ids.end(), add.begin(), add.end());
        std::sort(ids.begin(), ids.end());
        return ids;
    }

    Context ctx;
    TempDir dir;
    std::string pub, sec;
    std::vector<std::string> extra;
    std::vector<std::string> original;
    ZAFKeyDBRef probe = nullptr;
};

int failRename(const char*) { return 1; }

} // namespace

TEST_F(Flush, TwoHandlesKeepEachOthersAddsAndRemoves) {
    ZAFKeyDBRef a = nullptr, b = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), pub, sec, &a));
    ASSERT_EQ(0, openDB(ctx.get(), pub, sec, &b));
    removeKey(a, 1);
    addKey(a, extra[0]);
    removeKey(b, 4);
    addKey(b, extra[1]);
    ASSERT_EQ(0, ZAFFlushKeyDB(a));
    ASSERT_EQ(0, ZAFFlushKeyDB(b));
    std::vector<std::string> want =
        expected({original[1], original[4]}, {idOf(extra[0]), idOf(extra[1])});
    EXPECT_EQ(want, onDisk());
    // The second handle now sees the first one's changes too.
    std::vector<std::string> seen = keyIDs(b);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(want, seen);
    // A refresh brings them to the first handle without losing its own unsaved change.
    removeKey(a, 0);
    ASSERT_EQ(0, ZAFKeyDBRefresh(a));
    uint32_t n = 0;
    ZAFCountKeysInKeyDB(a, &n);
    EXPECT_EQ(want.size() - 1, n);
    ASSERT_EQ(0, ZAFFlushKeyDB(a));
    EXPECT_EQ(want.size() - 1, onDisk().size());
    ZAFFreeKeyDB(a);
    ZAFFreeKeyDB(b);
}

TEST_F(Flush, TwoProcessesKeepEachOthersChanges) {
    ZAFKeyDBRef a = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), pub, sec, &a));
    removeKey(a, 2);
    addKey(a, extra[2]);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child works on its own handle of the same rings and flushes at the same time.
        ZAFContextRef c = nullptr;
        ZAFNewContext(&c);
        ZAFKeyDBRef b = nullptr;
        int rc = openDB(c, pub, sec, &b) == 0 ? 0 : 1;
        if (rc == 0) {
            ZAFKeyDBRef in = importBytes(c, extra[3]);
            rc |= in && ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(in), b, nullptr) == 0 ? 0 : 2;
            // By its ID: the parent may already have written its own removal, which shifts
            // the positions.
            ZAFKeyDBObjRef doomed = nullptr;
            for (const zaf::KeyPtr& k : b->keys)
                if (keyIDText(&k->objs[0]) == original[3])
                    doomed = &k->objs[0];
            ZAFKeySetRef one = nullptr;
            rc |= doomed && ZAFNewSingletonKeySet(doomed, &one) == 0 ? 0 : 4;
            rc |= ZAFDeleteKeys(b, one) == 0 ? 0 : 8;
            rc |= ZAFFlushKeyDB(b) == 0 ? 0 : 16;
        }
        _exit(rc);
    }
    ASSERT_EQ(0, ZAFFlushKeyDB(a));
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(expected({original[2], original[3]}, {idOf(extra[2]), idOf(extra[3])}), onDisk());
    ZAFFreeKeyDB(a);
}

TEST_F(Flush, FailureBeforeRenameLeavesTheOldRings) {
    std::string pubBefore = readAll(pub), secBefore = readAll(sec);
    ZAFKeyDBRef a = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), pub, sec, &a));
    removeKey(a, 0);
    zaf::gFlushBeforeRenameHook = failRename;
    EXPECT_NE(0, ZAFFlushKeyDB(a));
    zaf::gFlushBeforeRenameHook = nullptr;
    EXPECT_EQ(pubBefore, readAll(pub));
    EXPECT_EQ(secBefore, readAll(sec));
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        files += e.path().extension() == ".checks" ? 0 : 1; // the rings' check results
    EXPECT_EQ(2u, files);                                   // no temporary file left behind
    // The change is still pending and a later flush stores it; the secret ring stays private.
    EXPECT_TRUE(ZAFKeyDBIsDirty(a));
    ASSERT_EQ(0, ZAFFlushKeyDB(a));
    EXPECT_EQ(original.size() - 1, onDisk().size());
    struct stat st;
    ASSERT_EQ(0, ::stat(sec.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    ZAFFreeKeyDB(a);
}

TEST_F(Flush, ReadOnlyDatabaseRefusesToFlushChanges) {
    ZAFKeyDBRef a = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), pub, sec, &a, kZAFOpenKeyDBFileOptions_None));
    EXPECT_EQ(0, ZAFFlushKeyDB(a)); // nothing to write
    removeKey(a, 0);
    EXPECT_EQ(kZAFError_ReadOnlyKeyDB, ZAFFlushKeyDB(a));
    ZAFFreeKeyDB(a);
    EXPECT_EQ(original.size(), onDisk().size());
}

TEST_F(Flush, MergingAKeyAddsOnlyWhatIsNew) {
    ZAFKeyDBRef a = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), pub, sec, &a));
    // The same key again changes nothing.
    std::string again = sliceKeys(readAll(pub), 0, 1);
    ZAFKeyDBRef in = importBytes(ctx.get(), again);
    ZAFBoolean changed = 1;
    ASSERT_EQ(0, ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(in), a, &changed));
    EXPECT_FALSE(changed);
    ZAFFreeKeyDB(in);
    // A key with one user ID removed gains it back by merging the full copy.
    zaf::Key* k = a->keys[2].get();
    ZAFKeyDBObjRef uid = nullptr;
    for (ZAFKeyDBObj& o : k->objs)
        if (o.type == kZAFKeyDBObjType_UserID)
            uid = &o;
    ASSERT_EQ(0, ZAFDeleteKeyDBObj(a, uid));
    int32_t n = 0;
    ZAFGetKeyDBObjNumericProperty(&a->keys[2]->objs[0], kZAFKeyProperty_NumUserIDs, &n);
    EXPECT_EQ(1, n);
    in = importBytes(ctx.get(), sliceKeys(readAll(pub), 2, 3));
    ASSERT_EQ(0, ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(in), a, &changed));
    EXPECT_TRUE(changed);
    ZAFGetKeyDBObjNumericProperty(&a->keys[2]->objs[0], kZAFKeyProperty_NumUserIDs, &n);
    EXPECT_EQ(2, n);
    ZAFFreeKeyDB(in);
    ZAFFreeKeyDB(a);
}

TEST_F(Flush, RefreshKeepsUnchangedKeysAndReleasesTheNewRingBuffer) {
    ZAFKeyDBRef a = nullptr, b = nullptr;
    // The first write of rings another program made adds the check results to every key; from
    // then on a write changes only the keys that changed.
    ASSERT_EQ(0, openDB(ctx.get(), pub, sec, &a));
    ASSERT_EQ(0, ZAFSetKeyOwnerTrust(&a->keys[5]->objs[0], kZAFKeyTrust_Marginal));
    ASSERT_EQ(0, ZAFFlushKeyDB(a));
    ZAFFreeKeyDB(a);
    ASSERT_EQ(0, openDB(ctx.get(), pub, sec, &a));
    ASSERT_EQ(0, openDB(ctx.get(), pub, sec, &b));
    ZAFKeyDBObjRef held = &a->keys[0]->objs[0];
    // Another handle changes one key (its owner trust) and writes.
    ASSERT_EQ(0, ZAFSetKeyOwnerTrust(&b->keys[3]->objs[0], kZAFKeyTrust_Marginal));
    ASSERT_EQ(0, ZAFFlushKeyDB(b));
    ASSERT_EQ(0, ZAFKeyDBRefresh(a));
    // Unchanged keys are the very same objects; the changed one was read anew.
    EXPECT_EQ(held, &a->keys[0]->objs[0]);
    int32_t trust = 0;
    ASSERT_EQ(0,
              ZAFGetKeyDBObjNumericProperty(&a->keys[3]->objs[0], kZAFKeyProperty_Trust, &trust));
    EXPECT_EQ(kZAFKeyTrust_Marginal, trust);
    // The changed key holds only its own bytes, not the whole ring it was read from.
    EXPECT_EQ(a->keys[3]->pubLength, a->keys[3]->pubStore->size());
    EXPECT_EQ(a->keys[0]->pubStore, a->keys[1]->pubStore);
    ZAFFreeKeyDB(b);
    ZAFFreeKeyDB(a);
}

// A change that leaves every secret key as it is writes the public ring alone; one that
// changes a secret key (here: a key pair added) writes both.
TEST_F(Flush, TheSecretRingIsWrittenOnlyWhenItChanges) {
    auto identity = [](const std::string& path) {
        struct stat st {};
        EXPECT_EQ(0, ::stat(path.c_str(), &st));
        return std::make_pair(st.st_ino, st.st_size);
    };
    ZAFKeyDBRef db = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), pub, sec, &db));
    const auto pubBefore = identity(pub), secBefore = identity(sec);
    ASSERT_EQ(0, ZAFSetKeyOwnerTrust(&db->keys[2]->objs[0], kZAFKeyTrust_Marginal));
    ASSERT_EQ(0, ZAFFlushKeyDB(db));
    EXPECT_NE(pubBefore, identity(pub));
    EXPECT_EQ(secBefore, identity(sec)) << "owner trust lives in the public ring";

    addKey(db, extra[1]);
    ASSERT_EQ(0, ZAFFlushKeyDB(db));
    EXPECT_NE(secBefore, identity(sec));
    ZAFFreeKeyDB(db);
    EXPECT_EQ(expected({}, {idOf(extra[1])}), onDisk());
    ASSERT_EQ(0, openDB(ctx.get(), pub, sec, &db));
    int32_t trust = 0;
    ASSERT_EQ(0,
              ZAFGetKeyDBObjNumericProperty(&db->keys[2]->objs[0], kZAFKeyProperty_Trust, &trust));
    EXPECT_EQ(kZAFKeyTrust_Marginal, trust);
    ZAFFreeKeyDB(db);
}

// A refresh reads the rings only when one of them changed on disk; whatever changed them (a
// rename over the ring, a rewrite in place, a removal), the next refresh sees it and keeps this
// handle's unsaved change.
TEST_F(Flush, RefreshReadsOnlyChangedRings) {
    ZAFKeyDBRef a = nullptr, b = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), pub, sec, &a));
    ASSERT_EQ(0, openDB(ctx.get(), pub, sec, &b));
    const zaf::Key* first = a->keys.at(0).get();
    ASSERT_EQ(0, ZAFKeyDBRefresh(a));
    EXPECT_EQ(first, a->keys.at(0).get()) << "nothing changed, nothing read";

    // Another handle's flush renames new rings over the old ones.
    addKey(b, extra[0]);
    ASSERT_EQ(0, ZAFFlushKeyDB(b));
    removeKey(a, 1); // unsaved, must survive every refresh
    ASSERT_EQ(0, ZAFKeyDBRefresh(a));
    std::vector<std::string> want = expected({original[1]}, {idOf(extra[0])});
    std::vector<std::string> seen = keyIDs(a);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(want, seen);
    const zaf::Key* kept = a->keys.at(0).get();
    ASSERT_EQ(0, ZAFKeyDBRefresh(a));
    EXPECT_EQ(kept, a->keys.at(0).get());

    // A rewrite in place with one more key (same inode): the size and time tell.
    {
        const std::string more =
            readAll(pub) + sliceKeys(readAll(benchPath("pubring-1k.pkr")), 20, 21);
        std::ofstream out(pub, std::ios::binary | std::ios::trunc);
        out << more;
    }
    ASSERT_EQ(0, ZAFKeyDBRefresh(a));
    EXPECT_EQ(want.size() + 1, keyIDs(a).size());

    // A missing public ring reads as empty; the secret ring still holds the keys.
    ASSERT_EQ(0, ::unlink(pub.c_str()));
    ASSERT_EQ(0, ZAFKeyDBRefresh(a));
    uint32_t n = 0;
    ZAFCountKeysInKeyDB(a, &n);
    EXPECT_EQ(want.size(), n) << "the secret ring's seven keys, one removed here";
    ZAFFreeKeyDB(a);
    ZAFFreeKeyDB(b);
}
