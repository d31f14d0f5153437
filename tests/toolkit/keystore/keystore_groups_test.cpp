// Groups: the groups file, group membership and key sets made from groups.
#include "keystore/keystore_internal.h"
#include "keystore_test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace kstest;

namespace {

ZAFGroupSetRef loadGroups(ZAFContextRef ctx, const std::string& path) {
    Spec spec(ctx, path);
    ZAFGroupSetRef set = nullptr;
    EXPECT_EQ(0, ZAFNewGroupSetFromFile(ctx, spec.get(), &set));
    return set;
}

uint32_t groupCount(ZAFGroupSetRef set) {
    uint32_t n = 0;
    EXPECT_EQ(0, ZAFCountGroupsInSet(set, &n));
    return n;
}

} // namespace

TEST(Groups, SaveAndReadBackNamesDescriptionsAndMembers) {
    Context ctx;
    TempDir dir;
    ZAFGroupSetRef set = nullptr;
    ASSERT_EQ(0, ZAFNewGroupSet(ctx.get(), &set));
    EXPECT_FALSE(ZAFGroupSetNeedsCommit(set));
    ZAFGroupID friends = 0, team = 0, dup = 0;
    ASSERT_EQ(0, ZAFNewGroup(set, "friends", "people I trust, mostly", &friends));
    ASSERT_EQ(0, ZAFNewGroup(set, "team 2", "", &team));
    EXPECT_EQ(kZAFError_ItemAlreadyExists, ZAFNewGroup(set, "friends", "again", &dup));
    EXPECT_EQ(kZAFError_BadParams, ZAFNewGroup(set, "", "", &dup));
    EXPECT_EQ(kZAFError_BadParams, ZAFNewGroup(set, std::string(64, 'n').c_str(), "", &dup));
    ZAFKeyID id;
    ASSERT_EQ(0, ZAFGetKeyIDFromString("0x0123456789ABCDEF", 1, &id));
    ASSERT_EQ(0, ZAFAddKeyToGroup(set, friends, &id));
    EXPECT_EQ(kZAFError_ItemAlreadyExists, ZAFAddKeyToGroup(set, friends, &id));
    ASSERT_EQ(0, ZAFAddSubGroupToGroup(set, team, friends));
    EXPECT_TRUE(ZAFGroupSetNeedsCommit(set));
    Spec spec(ctx.get(), dir.file("ZAFgroup.zgr"));
    ASSERT_EQ(0, ZAFSaveGroupSetToFile(set, spec.get()));
    EXPECT_FALSE(ZAFGroupSetNeedsCommit(set));
    ZAFFreeGroupSet(set);
    struct stat st;
    ASSERT_EQ(0, ::stat(dir.file("ZAFgroup.zgr").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    set = loadGroups(ctx.get(), dir.file("ZAFgroup.zgr"));
    ASSERT_EQ(2u, groupCount(set));
    ZAFGroupID first = 0;
    ASSERT_EQ(0, ZAFGetIndGroupID(set, 0, &first));
    ZAFGroupInfo info;
    ASSERT_EQ(0, ZAFGetGroupInfo(set, first, &info));
    EXPECT_STREQ("friends", info.name);
    EXPECT_STREQ("people I trust, mostly", info.description);
    EXPECT_EQ(1u, info.numKeys);
    ASSERT_EQ(0, ZAFGetGroupInfo(set, team, &info));
    EXPECT_STREQ("team 2", info.name);
    EXPECT_EQ(1u, info.numGroups);
    EXPECT_EQ(kZAFError_ItemNotFound, ZAFGetIndGroupID(set, 2, &first));
    EXPECT_FALSE(ZAFGroupSetNeedsCommit(set));
    ZAFFreeGroupSet(set);
}

TEST(Groups, DamagedOrMissingFilesGiveAnEmptySet) {
    Context ctx;
    TempDir dir;
    const std::string path = dir.file("ZAFgroup.zgr");
    ZAFGroupSetRef set = loadGroups(ctx.get(), path);
    ASSERT_NE(nullptr, set);
    EXPECT_EQ(0u, groupCount(set));
    ZAFFreeGroupSet(set);
    for (const std::string& bad :
         {std::string("not a groups file\n"), std::string("ZAFGROUPS 1\ngroup 0 61 -\n"),
          std::string("ZAFGROUPS 1\ngroup 1 6 -\n"), std::string("ZAFGROUPS 1\nkey 1 00 1\n"),
          std::string("ZAFGROUPS 1\ngroup 1 61 -\nsub 1 9 -\n"),
          std::string("ZAFGROUPS 1\ngroup 1 61 - extra\n"), std::string("\xff\xfe")}) {
        writeAll(path, bad);
        set = loadGroups(ctx.get(), path);
        ASSERT_NE(nullptr, set);
        EXPECT_EQ(0u, groupCount(set)) << bad;
        EXPECT_FALSE(ZAFGroupSetNeedsCommit(set));
        ZAFFreeGroupSet(set);
        EXPECT_EQ(bad, readAll(path)); // left as it was
    }
}

TEST(Groups, KeySetHoldsTheMembersFoundInTheDatabase) {
    if (!haveBench())
        GTEST_SKIP();
    Context ctx;
    ZAFKeyDBRef db = importBytes(ctx.get(), sliceKeys(readAll(benchPath("pubring-1k.pkr")), 0, 5));
    ASSERT_NE(nullptr, db);
    ZAFGroupSetRef set = nullptr;
    ASSERT_EQ(0, ZAFNewGroupSet(ctx.get(), &set));
    ZAFGroupID outer = 0, inner = 0;
    ASSERT_EQ(0, ZAFNewGroup(set, "outer", "", &outer));
    ASSERT_EQ(0, ZAFNewGroup(set, "inner", "", &inner));
    ZAFKeyID id;
    ASSERT_EQ(0, ZAFGetKeyID(&db->keys[1]->objs[0], &id));
    ASSERT_EQ(0, ZAFAddKeyToGroup(set, outer, &id));
    ASSERT_EQ(0, ZAFGetKeyID(&db->keys[3]->objs[0], &id));
    ASSERT_EQ(0, ZAFAddKeyToGroup(set, inner, &id));
    ASSERT_EQ(0, ZAFGetKeyIDFromString("0x0000000000000001", -1, &id));
    ASSERT_EQ(0, ZAFAddKeyToGroup(set, inner, &id));
    ASSERT_EQ(0, ZAFAddSubGroupToGroup(set, outer, inner));
    // A cycle between groups is harmless.
    ASSERT_EQ(0, ZAFAddSubGroupToGroup(set, inner, outer));
    ZAFKeySetRef keys = nullptr;
    uint32_t missing = 0;
    ASSERT_EQ(0, ZAFNewKeySetFromGroup(set, outer, db, &keys, &missing));
    uint32_t n = 0;
    ZAFCountKeys(keys, &n);
    EXPECT_EQ(2u, n);
    EXPECT_EQ(1u, missing);
    ZAFFreeKeySet(keys);
    ZAFFreeGroupSet(set);
    ZAFFreeKeyDB(db);
}
