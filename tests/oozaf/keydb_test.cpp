// keydb tests: the context, file specs, key database, key sets, iterators, group sets and key
// servers over real key rings in a temporary folder.
#include "hkp_standin.h"
#include "key_fixture.h"

#include <oozaf/filemanager.h>
#include <oozaf/keyserver.h>
#include <oozaf/util.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>

using namespace oozaf;

namespace {

using KeyDBTest = CKeyFixture;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), ::tolower);
    return text;
}

// Adds a group holding the given keys to the set and returns its ID.
ZAFGroupID addGroup(CZAFGroupSet& groups, const char* name,
                    const std::vector<const CZAFKey*>& keys) {
    ZAFGroupID id = 0;
    EXPECT_EQ(0, ZAFNewGroup(groups.getHandle(), name, "", &id));
    for (const CZAFKey* key : keys) {
        ZAFKeyID keyID{};
        EXPECT_EQ(0, ZAFGetKeyID(key->getHandle(), &keyID));
        EXPECT_EQ(0, ZAFAddKeyToGroup(groups.getHandle(), id, &keyID));
    }
    return id;
}

} // namespace

TEST_F(KeyDBTest, CountsKeyPairsAndPublicKeysApart) {
    unsigned int keys = 7, pairs = 7;
    openEmpty().countKeys(keys, pairs);
    EXPECT_EQ(0u, keys);
    EXPECT_EQ(0u, pairs);

    openBench1k(true).countKeys(keys, pairs);
    EXPECT_EQ(0u, keys);
    EXPECT_EQ(1000u, pairs);

    m_keyDB.reset();
    openBench1k(false).countKeys(keys, pairs);
    EXPECT_EQ(1000u, keys);
    EXPECT_EQ(0u, pairs);
}

std::string hexOf(const std::string& bytes, bool grouped) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (grouped && i != 0 && i % 2 == 0)
            out += ' ';
        out += kHex[static_cast<unsigned char>(bytes[i]) >> 4];
        out += kHex[static_cast<unsigned char>(bytes[i]) & 15];
    }
    return out;
}

TEST_F(KeyDBTest, FindsKeysByShortOrLongIDOrFingerprintIgnoringCase) {
    CZAFKeyDB& db = openBench1k();
    auto keys = objects<CZAFKey>(nullptr, kZAFKeyDBObjType_Key);
    ASSERT_EQ(1000u, keys.size());
    for (size_t index : {size_t(0), size_t(499), size_t(999)}) {
        const CZAFKey& key = *keys[index];
        const std::string shortID = key.getKeyIDString_Short();
        ASSERT_EQ(10u, shortID.size());
        const std::string fingerprint = key.getFingerprint();
        ASSERT_EQ(20u, fingerprint.size());
        for (const std::string& name :
             {lower(shortID), shortID.substr(2), key.getKeyIDString_Long(),
              key.getKeyIDString_Long().substr(0, 10) + " " + key.getKeyIDString_Long().substr(10),
              lower(key.getKeyIDString_Long().substr(2)), hexOf(fingerprint, false),
              "0x" + lower(hexOf(fingerprint, false)), hexOf(fingerprint, true)}) {
            std::unique_ptr<CZAFKey> found(db.getKeyByID(name));
            EXPECT_TRUE(found->sameAs(&key)) << name;
        }
    }

    // A long ID or fingerprint that differs from a key's only where the short ID does not look
    // names nothing; neither do other lengths or other characters.
    const std::string longID = keys[5]->getKeyIDString_Long();
    const std::string otherHigh = (longID[2] == 'F' ? "E" : "F") + longID.substr(3);
    std::string otherFingerprint = hexOf(keys[5]->getFingerprint(), false);
    otherFingerprint[0] = otherFingerprint[0] == 'F' ? 'E' : 'F';
    for (const std::string& name :
         {"0x" + otherHigh, otherFingerprint, std::string("0x00000000"), std::string(""),
          longID.substr(0, 12), std::string("0xG1234567"),
          hexOf(keys[5]->getFingerprint(), false) + "00"}) {
        auto e = expectThrow<CZAFKeyNotFoundException>([&] { delete db.getKeyByID(name); });
        ASSERT_TRUE(e) << name;
        EXPECT_EQ("Key ID not found: " + name, e->getMessage());
    }
}

TEST_F(KeyDBTest, MatchesUserIDSubstringsAndEmptyPattern) {
    CZAFKeyDB& db = openBench1k();
    std::unique_ptr<CZAFKeySet> all(db.getMatchingKeySet("", 0, nullptr, nullptr));
    EXPECT_EQ(1000u, all->count());

    std::unique_ptr<CZAFKeySet> one(db.getMatchingKeySet("Bench User 00005 ", 0, nullptr, nullptr));
    ASSERT_EQ(1u, one->count());
    std::unique_ptr<CZAFKey> key(db.getKeyByID(ids(*one)[0]));
    EXPECT_EQ("Bench User 00005 <bench00005@example.org>", key->getPrimaryUserIDName());

    // The second user ID of every third key matches too.
    std::unique_ptr<CZAFKeySet> alt(db.getMatchingKeySet("(alt)", 0, nullptr, nullptr));
    EXPECT_EQ(333u, alt->count());

    // One character is always a user ID search, never a key ID.
    std::unique_ptr<CZAFKeySet> zero(db.getMatchingKeySet("0", 0, nullptr, nullptr));
    EXPECT_EQ(1000u, zero->count());
    std::unique_ptr<CZAFKeySet> none(db.getMatchingKeySet("nobody here", 0, nullptr, nullptr));
    EXPECT_EQ(0u, none->count());
}

TEST_F(KeyDBTest, MatchesKeyIDsOfKeysAndSubkeys) {
    CZAFKeyDB& db = openBench1k();
    auto keys = objects<CZAFKey>(nullptr, kZAFKeyDBObjType_Key);
    const CZAFKey& target = *keys[41];
    auto subkeys = objects<CZAFSubKey>(&target, kZAFKeyDBObjType_SubKey);
    ASSERT_EQ(1u, subkeys.size());

    char bytes[20] = {};
    size_t length = 0;
    ASSERT_EQ(0, ZAFGetKeyDBObjDataProperty(subkeys[0]->getHandle(), kZAFSubKeyProperty_Fingerprint,
                                            bytes, sizeof bytes, &length));
    const std::string subkeyFingerprint(bytes, length);
    const std::string forms[] = {
        "0X" + target.getKeyIDString_Short().substr(2),
        lower(target.getKeyIDString_Long()),
        subkeys[0]->getSubkeyIDString_Short(),
        "0X" + subkeys[0]->getSubkeyIDString_Long().substr(2),
        hexOf(target.getFingerprint(), true),
        "0x" + lower(hexOf(target.getFingerprint(), false)),
        hexOf(subkeyFingerprint, false),
    };
    for (const std::string& pattern : forms) {
        std::unique_ptr<CZAFKeySet> found(db.getMatchingKeySet(pattern, 0, nullptr, nullptr));
        EXPECT_EQ(std::vector<std::string>{target.getKeyIDString_Short()}, ids(*found)) << pattern;
    }

    for (const char* bad : {"0x", "0X", "0xZZZZZZZZ", "0x123"}) {
        auto e = expectThrow<CZAFSDKException>(
            [&] { delete db.getMatchingKeySet(bad, 0, nullptr, nullptr); });
        ASSERT_TRUE(e) << bad;
        EXPECT_NE(0, e->getCode());
    }
}

TEST_F(KeyDBTest, FlagsLeaveOutDisabledKeysFoundByUserIDButNotThoseNamedByID) {
    CZAFKeyDB& db = openBench1k();
    std::unique_ptr<CZAFKey> key(db.getKeyByID(ids(*std::unique_ptr<CZAFKeySet>(
        db.getMatchingKeySet("Bench User 00017 ", 0, nullptr, nullptr)))[0]));
    ASSERT_EQ(0, ZAFSetKeyDisabled(key->getHandle(), 1));

    const std::string byID = key->getKeyIDString_Short();
    for (const std::string& pattern : {std::string("Bench User 00017 "), byID}) {
        std::unique_ptr<CZAFKeySet> any(db.getMatchingKeySet(pattern, 0, nullptr, nullptr));
        EXPECT_EQ(1u, any->count()) << pattern;
        for (unsigned int flags : {1u, 3u, 7u}) {
            std::unique_ptr<CZAFKeySet> usable(
                db.getMatchingKeySet(pattern, flags, nullptr, nullptr));
            EXPECT_EQ(pattern == byID ? 1u : 0u, usable->count()) << pattern << " flags " << flags;
        }
    }
    // Keys that never expire pass the expiry flag.
    std::unique_ptr<CZAFKeySet> unexpired(
        db.getMatchingKeySet("Bench User 0001", 2, nullptr, nullptr));
    EXPECT_EQ(10u, unexpired->count());
    std::unique_ptr<CZAFKeySet> both(db.getMatchingKeySet("Bench User 0001", 3, nullptr, nullptr));
    EXPECT_EQ(9u, both->count());
}

TEST_F(KeyDBTest, AddsTheMembersOfAGroupNamedByThePattern) {
    CZAFKeyDB& db = openBench1k();
    auto keys = objects<CZAFKey>(nullptr, kZAFKeyDBObjType_Key);
    CZAFGroupSet groups(*m_context, m_dir.file("ZAFgroup.zgr"));
    addGroup(groups, "friends", {keys[6].get(), keys[7].get()});
    // A group whose name is also a user ID substring: the union of both.
    addGroup(groups, "Bench User 00003 ", {keys[8].get()});

    std::unique_ptr<CZAFKeySet> friends(db.getMatchingKeySet("friends", 0, nullptr, &groups));
    std::vector<std::string> got = ids(*friends);
    std::sort(got.begin(), got.end());
    std::vector<std::string> want = {keys[6]->getKeyIDString_Short(),
                                     keys[7]->getKeyIDString_Short()};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(want, got);

    // Group names are matched exactly; without the group set there is no group.
    std::unique_ptr<CZAFKeySet> upper(db.getMatchingKeySet("FRIENDS", 0, nullptr, &groups));
    EXPECT_EQ(0u, upper->count());
    std::unique_ptr<CZAFKeySet> noGroups(db.getMatchingKeySet("friends", 0, nullptr, nullptr));
    EXPECT_EQ(0u, noGroups->count());

    std::unique_ptr<CZAFKeySet> mixed(
        db.getMatchingKeySet("Bench User 00003 ", 0, nullptr, &groups));
    EXPECT_EQ(2u, mixed->count());
    ASSERT_EQ(0, ZAFSetKeyDisabled(keys[8]->getHandle(), 1));
    std::unique_ptr<CZAFKeySet> enabled(
        db.getMatchingKeySet("Bench User 00003 ", 1, nullptr, &groups));
    EXPECT_EQ(std::vector<std::string>{keys[2]->getKeyIDString_Short()}, ids(*enabled));

    // The key ID form never looks at groups.
    unsigned int gid = 0;
    ASSERT_TRUE(groups.getGroupByName("friends", gid));
    EXPECT_FALSE(groups.getGroupByName("Friends", gid));
}

TEST_F(KeyDBTest, AsksTheKeyServerUnlessLocalOnly) {
    CZAFKeyDB& db = openBench1k();
    std::unique_ptr<CZAFKeySet> wanted(
        db.getMatchingKeySet("Bench User 00001 ", 0, nullptr, nullptr));
    ASSERT_EQ(1u, wanted->count());
    const std::string id = ids(*wanted)[0];
    wanted->exportToFile(*m_context, m_dir.file("served.asc"), false, true,
                         oozaf::kZAFExportFormat_Complete);
    std::ifstream in(m_dir.file("served.asc"));
    const std::string served((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    orxtest::HkpStandIn standIn(
        [&](int fd, const orxtest::HkpStandIn::Request&, orxtest::HkpStandIn&) {
            orxtest::HkpStandIn::writeAll(fd, orxtest::HkpStandIn::answer(200, served));
        });
    CZAFKeyServer server(*m_context, standIn.url());

    // The server's answer, not the local key: it lives on a database of its own.
    for (const std::string& pattern : {std::string("Bench User 00001 "), id}) {
        std::unique_ptr<CZAFKeySet> found(db.getMatchingKeySet(pattern, 0, &server, nullptr));
        EXPECT_EQ(std::vector<std::string>{id}, ids(*found)) << pattern;
        EXPECT_NE(db.getHandle(), ZAFPeekKeySetKeyDB(found->getHandle())) << pattern;
    }
    const std::vector<std::string> asked = standIn.targets();
    ASSERT_EQ(2u, asked.size());
    EXPECT_EQ("/pks/lookup?op=get&options=mr&search=Bench%20User%2000001%20", asked[0]);
    EXPECT_EQ("/pks/lookup?op=get&options=mr&search=" + id, asked[1]);

    // A user ID the answer does not carry matches nothing, whatever the server sent.
    std::unique_ptr<CZAFKeySet> none(
        db.getMatchingKeySet("Bench User 00002 ", 0, &server, nullptr));
    EXPECT_EQ(0u, none->count());

    std::unique_ptr<CZAFKeySet> local(
        db.getMatchingKeySet("Bench User 00001 ", CZAFKeyDB::kMatchLocalOnly, &server, nullptr));
    EXPECT_EQ(1u, local->count());
    EXPECT_EQ(3u, standIn.targets().size());

    CZAFKeyServer dead(*m_context, "hkp://127.0.0.1:1");
    auto e = expectThrow<CZAFKeyServerException>(
        [&] { delete db.getMatchingKeySet("Bench User 00001 ", 0, &dead, nullptr); });
    ASSERT_TRUE(e);
    EXPECT_EQ(kZAFError_KeyServerConnect, e->getCode());
    EXPECT_NE(std::string::npos, e->getMessage().find("127.0.0.1:1")) << e->getMessage();
    auto ldap = expectThrow<CZAFKeyServerException>(
        [&] { CZAFKeyServer(*m_context, standIn.url(), kZAFKeyServerClass_LDAPZAF); });
    ASSERT_TRUE(ldap);
    EXPECT_EQ(kZAFError_KeyServerType, ldap->getCode());
}

TEST_F(KeyDBTest, RemovesKeysUntilFlushWritesThem) {
    CZAFKeyDB& db = openBench1k();
    CZAFKey* key = db.getKeyByID(ids(*std::unique_ptr<CZAFKeySet>(
        db.getMatchingKeySet("Bench User 00010 ", 0, nullptr, nullptr)))[0]);
    const std::string id = key->getKeyIDString_Short();
    db.removeKey(key);
    EXPECT_EQ(nullptr, key);
    EXPECT_TRUE(expectThrow<CZAFKeyNotFoundException>([&] { delete db.getKeyByID(id); }));

    // Not yet on disk: a second database still sees it.
    {
        CZAFKeyDB other(*m_context, kZAFOpenKeyDBFileOptions_None, m_dir.file("pubring.pkr"),
                        m_dir.file("secring.skr"));
        delete other.getKeyByID(id);
    }
    db.flush();
    CZAFKeyDB reopened(*m_context, kZAFOpenKeyDBFileOptions_None, m_dir.file("pubring.pkr"),
                       m_dir.file("secring.skr"));
    unsigned int keys = 0, pairs = 0;
    reopened.countKeys(keys, pairs);
    EXPECT_EQ(999u, pairs);
    EXPECT_TRUE(expectThrow<CZAFKeyNotFoundException>([&] { delete reopened.getKeyByID(id); }));
}

TEST_F(KeyDBTest, IteratesKeysUserIDsAndSignaturesInPlace) {
    CZAFKeyDB& db = openBench1k();
    std::unique_ptr<CZAFKeySet> set(db.getMatchingKeySet("Bench User 00003 ", 0, nullptr, nullptr));
    std::unique_ptr<CZAFIterator> iter(set->getIterator());
    CZAFDatabaseObject* object = reinterpret_cast<CZAFDatabaseObject*>(&db);
    ASSERT_EQ(0, iter->next(kZAFKeyDBObjType_Key, object));
    std::unique_ptr<CZAFDatabaseObject> key(object);
    EXPECT_EQ(nullptr, dynamic_cast<CZAFRSAKey*>(object)); // key 3 is a DSA key
    ASSERT_NE(nullptr, dynamic_cast<CZAFKey*>(object));

    // Key 3 has two user IDs, each with one self-signature, and one subkey.
    std::vector<std::string> names;
    while (iter->next(kZAFKeyDBObjType_UserID, object) == 0) {
        std::unique_ptr<CZAFDatabaseObject> uid(object);
        names.push_back(static_cast<CZAFUserID*>(object)->getName());
        CZAFDatabaseObject* sig = nullptr;
        unsigned int sigs = 0;
        while (iter->next(kZAFKeyDBObjType_Signature, sig) == 0) {
            std::unique_ptr<CZAFDatabaseObject> owned(sig);
            ASSERT_NE(nullptr, dynamic_cast<CZAFSignature*>(sig));
            ++sigs;
        }
        EXPECT_EQ(nullptr, sig);
        EXPECT_GE(sigs, 1u);
    }
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ((std::vector<std::string>{"Bench User 00003 <bench00003@example.org>",
                                        "Bench User 00003 (alt) <bench00003.alt@example.org>"}),
              names);

    iter->seek(key.get());
    ASSERT_EQ(0, iter->next(kZAFKeyDBObjType_SubKey, object));
    delete object;
    EXPECT_EQ(kZAFError_EndOfIteration, iter->next(kZAFKeyDBObjType_SubKey, object));

    // Only one key in the set: the end, then back to it.
    EXPECT_EQ(kZAFError_EndOfIteration, iter->next(kZAFKeyDBObjType_Key, object));
    ASSERT_EQ(0, iter->prev(kZAFKeyDBObjType_Key, object));
    delete object;
    iter->rewind(kZAFKeyDBObjType_Key);
    ASSERT_EQ(0, iter->next(kZAFKeyDBObjType_Key, object));
    delete object;
}

TEST_F(KeyDBTest, RefusesUnknownObjectTypesAndNullHandles) {
    CZAFKeyDB& db = openBench1k();
    std::unique_ptr<CZAFIterator> iter(db.getIterator());
    CZAFDatabaseObject* object = nullptr;
    ASSERT_EQ(0, iter->next(kZAFKeyDBObjType_Key, object));
    std::unique_ptr<CZAFDatabaseObject> key(object);

    auto e = expectThrow<CZAFNoSuchObjectTypeError>(
        [&] { delete CZAFIterator::getObject(3, key->getHandle()); });
    ASSERT_TRUE(e);
    EXPECT_EQ("Unrecognized database object type encountered: 3", e->getMessage());
    // A key handle where a user ID is expected.
    EXPECT_TRUE(expectThrow<CZAFInternalError>(
        [&] { delete CZAFIterator::getObject(kZAFKeyDBObjType_UserID, key->getHandle()); }));
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] { iter->seek(nullptr); }));
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] { CZAFKeySet set(nullptr); }));
    EXPECT_TRUE(expectThrow<CZAFInternalError>(
        [&] { CZAFIterator it(static_cast<const CZAFKeySet*>(nullptr)); }));

    auto p = expectThrow<CZAFPropertyAccessError>(
        [&] { CZAFDatabaseObject::getNumericProperty(key->getHandle(), 9999); });
    ASSERT_TRUE(p);
    EXPECT_EQ("Error accessing property 9999", p->getMessage());
    ASSERT_NE(nullptr, dynamic_cast<const CZAFSDKException*>(p->getRoot()));
    EXPECT_NE(0, static_cast<const CZAFSDKException*>(p->getRoot())->getCode());
}

TEST_F(KeyDBTest, RootAndNewSetsHoldEveryKey) {
    CZAFKeyDB& db = openBench1k();
    // Wrappers of the root set come and go; the database's own set stays.
    for (int i = 0; i < 2; ++i) {
        std::unique_ptr<CZAFKeySet> root(db.getRootKeySet());
        EXPECT_EQ(1000u, root->count());
    }
    std::unique_ptr<CZAFKeySet> empty(db.getNewEmptyKeySet());
    EXPECT_EQ(0u, empty->count());
    std::unique_ptr<CZAFKeySet> root(db.getRootKeySet());
    empty->add(root.get());
    EXPECT_EQ(1000u, empty->count());
    unsigned int keys = 0, pairs = 0;
    db.countKeys(keys, pairs);
    EXPECT_EQ(1000u, pairs);
}

TEST_F(KeyDBTest, ExportsAndCopiesKeySets) {
    CZAFKeyDB& db = openBench1k();
    std::unique_ptr<CZAFKeySet> some(db.getMatchingKeySet("Bench User 0002", 0, nullptr, nullptr));
    ASSERT_EQ(10u, some->count());
    const std::string armored = m_dir.file("some.asc");
    some->exportToFile(*m_context, armored, false, true, oozaf::kZAFExportFormat_Complete);
    const std::string text = readFile(armored);
    EXPECT_EQ(0u, text.find("-----BEGIN ZAF PUBLIC KEY BLOCK-----"));
    const std::string secret = m_dir.file("some.skr");
    some->exportToFile(*m_context, secret, true, true, oozaf::kZAFExportFormat_Compatible);
    EXPECT_NE(std::string::npos, readFile(secret).find("ZAF PRIVATE KEY BLOCK"));

    // Into a second database: ten new keys.
    CZAFKeyDB target(*m_context, kZAFOpenKeyDBFileOptions_Mutable | kZAFOpenKeyDBFileOptions_Create,
                     m_dir.file("other.pkr"), m_dir.file("other.skr"));
    target.CopyKeys(some.get());
    unsigned int keys = 0, pairs = 0;
    target.countKeys(keys, pairs);
    EXPECT_EQ(10u, keys + pairs);
    target.flush();
    target.Update();
    target.countKeys(keys, pairs);
    EXPECT_EQ(10u, keys + pairs);

    EXPECT_TRUE(expectThrow<CZAFFileSpecCreationException>([&] {
        some->exportToFile(*m_context, "", false, false, oozaf::kZAFExportFormat_Complete);
    }));
}

TEST_F(KeyDBTest, CalculatesTrustOfHeldKeys) {
    CZAFKeyDB& db = openBench1k();
    std::unique_ptr<CZAFKeySet> set(db.getNewKeySet());
    set->calculateTrust();
    std::unique_ptr<CZAFKey> key(db.getKeyByID(ids(*set)[0]));
    EXPECT_EQ(oozaf::kZAFValidity_Complete, key->getValidity());
}

TEST_F(KeyDBTest, NamesThePathOfAFileSpecThatFails) {
    const std::string tooLong(5000, 'a');
    for (const std::string& path : {std::string(), tooLong}) {
        auto e = expectThrow<CZAFFileSpecCreationException>(
            [&] { CZAFFileSpec spec(*m_context, path); });
        ASSERT_TRUE(e);
        EXPECT_EQ(0u,
                  e->getMessage().find("An error occured while trying to access " + path + "\n"));
        EXPECT_NE(0, e->getCode());
        EXPECT_TRUE(expectThrow<CZAFFileSpecCreationException>(
            [&] { CNOLFileSpec spec(*m_context, path); }));
    }
    auto e = expectThrow<CZAFFileSpecCreationException>(
        [&] { CZAFKeyDB db(*m_context, kZAFOpenKeyDBFileOptions_None, "", m_dir.file("s")); });
    EXPECT_TRUE(e);
    auto missing = expectThrow<CZAFSDKException>([&] {
        CZAFKeyDB db(*m_context, kZAFOpenKeyDBFileOptions_None, m_dir.file("none.pkr"),
                     m_dir.file("none.skr"));
    });
    EXPECT_TRUE(missing);
}

TEST_F(KeyDBTest, CreatesAMissingGroupsFileAndReadsBadOnesAsEmpty) {
    const std::string path = m_dir.file("ZAFgroup.zgr");
    {
        CZAFGroupSet groups(*m_context, path);
        EXPECT_TRUE(CZAFFileManager::fileExists(path));
        unsigned int id = 0;
        EXPECT_FALSE(groups.getGroupByName("anything", id));
    }
    for (const std::string& content :
         {std::string("not a groups file\n"), std::string("ZAFGROUPS 1\ngroup x zz -\n")}) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
        CZAFGroupSet groups(*m_context, path);
        uint32_t count = 7;
        ASSERT_EQ(0, ZAFCountGroupsInSet(groups.getHandle(), &count));
        EXPECT_EQ(0u, count);
    }
    // An unchanged set leaves the file alone.
    EXPECT_EQ("ZAFGROUPS 1\ngroup x zz -\n", readFile(path));

    // Something that is no groups file at all is an error: an empty set saved over it would
    // replace it.
    const std::string folder = m_dir.file("folder.zgr");
    std::filesystem::create_directory(folder);
    auto e = expectThrow<CZAFSDKException>([&] { CZAFGroupSet fromFolder(*m_context, folder); });
    ASSERT_TRUE(e);
    EXPECT_EQ(kZAFError_NotRegularFile, e->getCode());
    EXPECT_TRUE(std::filesystem::is_directory(folder));
}

TEST_F(KeyDBTest, SavesChangedGroupsWhenDestroyed) {
    CZAFKeyDB& db = openBench1k();
    const std::string path = m_dir.file("ZAFgroup.zgr");
    std::unique_ptr<CZAFKey> key(db.getKeyByID(ids(*std::unique_ptr<CZAFKeySet>(
        db.getMatchingKeySet("Bench User 00004 ", 0, nullptr, nullptr)))[0]));
    {
        CZAFGroupSet groups(*m_context, path);
        addGroup(groups, "team", {key.get()});
    }
    CZAFGroupSet groups(*m_context, path);
    unsigned int id = 0;
    ASSERT_TRUE(groups.getGroupByName("team", id));
    unsigned int notFound = 9;
    std::unique_ptr<CZAFKeySet> members(groups.getNewKeySet(id, &db, notFound));
    EXPECT_EQ(0u, notFound);
    EXPECT_EQ(std::vector<std::string>{key->getKeyIDString_Short()}, ids(*members));
}

TEST_F(KeyDBTest, GroupSaveFailuresAreThrownBySaveAndOnlyLoggedByTheDestructor) {
    const std::string folder = m_dir.file("gone");
    std::filesystem::create_directory(folder);
    const std::string path = folder + "/ZAFgroup.zgr";
    {
        CZAFGroupSet groups(*m_context, path);
        ZAFGroupID id = 0;
        ASSERT_EQ(0, ZAFNewGroup(groups.getHandle(), "lost", "", &id));
        std::filesystem::remove_all(folder);
        EXPECT_TRUE(expectThrow<CZAFSDKException>([&] { groups.save(); }));
    }
    EXPECT_NE(std::string::npos, logText().find("WARNING: Couldn't save groups file " + path));
}

TEST_F(KeyDBTest, ContextFreeFailureIsOnlyAWarning) {
    const std::string folder = m_dir.file("seed");
    std::filesystem::create_directory(folder);
    {
        CNOLFileSpec seed(*m_context, folder + "/randseed.bin");
        ASSERT_EQ(0, ZAFSetRandSeedFile(m_context->getHandle(), seed.getHandle()));
    }
    std::filesystem::remove_all(folder);
    m_context.reset();
    EXPECT_NE(std::string::npos, logText().find("WARNING: Error while freeing context object"));
}
