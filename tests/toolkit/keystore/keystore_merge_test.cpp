// The three-way merge of a flush: two handles (in one process and in two) change the same rings
// from the same starting point; every add / remove / change of keys, user IDs, user attributes,
// subkeys and signatures of one survives the other's flush, and a removal beats a change.
#include "keygen_test_util.h"
#include "keystore/keystore_internal.h"
#include "keystore_test_util.h"

#include <functional>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace kstest;
using kgtest::children;
using kgtest::dataProperty;
using kgtest::generateKey;
using kgtest::generateSubKey;

namespace {

enum Op { kAdd, kRemove, kChange };

// The starting rings: K1 (user IDs "K1" and "K1 extra", a photo, a subkey, a certification of
// "K1" by S), K2, and the certifying keys S and T; every secret part held, no passphrase.
class Merge : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Context c;
        TempDir d;
        ZAFKeyDBRef db = nullptr;
        ASSERT_EQ(0, openDB(c.get(), d.file("p"), d.file("s"), &db,
                            kZAFOpenKeyDBFileOptions_Mutable | kZAFOpenKeyDBFileOptions_Create));
        ZAFKeyDBObjRef k1 = generateKey(c.get(), db, "K1", "");
        generateKey(c.get(), db, "K2", "");
        ZAFKeyDBObjRef s = generateKey(c.get(), db, "S", "");
        generateKey(c.get(), db, "T", "");
        ASSERT_EQ(0, ZAFAddUserID(k1, "K1 extra", ZAFOPassphrase(c.get(), ""), ZAFOLastOption()));
        k1 = find(db, "K1");
        ASSERT_EQ(0, ZAFAddPhotoID(k1, photo('O').data(), photo('O').size(),
                                   ZAFOPassphrase(c.get(), ""), ZAFOLastOption()));
        ASSERT_NE(nullptr, generateSubKey(c.get(), find(db, "K1"), ""));
        ASSERT_EQ(0, ZAFCertifyUserID(uid(find(db, "K1"), "K1"), s, ZAFOPassphrase(c.get(), ""),
                                      ZAFOLastOption()));
        ASSERT_EQ(0, ZAFFlushKeyDB(db));
        gSubkey = new std::string(dataProperty(subkeys(db).at(0), kZAFSubKeyProperty_Fingerprint));
        ZAFFreeKeyDB(db);
        gPub = new std::string(readAll(d.file("p")));
        gSec = new std::string(readAll(d.file("s")));
    }
    static void TearDownTestSuite() {
        delete gPub;
        delete gSec;
        delete gSubkey;
    }
    void SetUp() override {
        writeAll(dir.file("pub.pkr"), *gPub);
        writeAll(dir.file("sec.skr"), *gSec);
    }

    static std::string photo(char fill) {
        return std::string("\xFF\xD8\xFF\xE0", 4) + std::string(40, fill) + "\xFF\xD9";
    }
    static ZAFKeyDBObjRef find(ZAFKeyDBRef db, const std::string& name) {
        for (const zaf::KeyPtr& k : db->keys)
            for (ZAFKeyDBObjRef u : children(&k->objs[0], kZAFKeyDBObjType_UserID))
                if (dataProperty(u, kZAFUserIDProperty_Name) == name)
                    return &k->objs[0];
        return nullptr;
    }
    static ZAFKeyDBObjRef uid(ZAFKeyDBObjRef key, const std::string& name) {
        if (key == nullptr)
            return nullptr;
        for (ZAFKeyDBObjRef u : children(key, kZAFKeyDBObjType_UserID))
            if (dataProperty(u, kZAFUserIDProperty_Name) == name &&
                !kgtest::boolProperty(u, kZAFUserIDProperty_IsAttribute))
                return u;
        return nullptr;
    }
    static ZAFKeyDBObjRef photoOf(ZAFKeyDBObjRef key, char fill) {
        if (key == nullptr)
            return nullptr;
        for (ZAFKeyDBObjRef u : children(key, kZAFKeyDBObjType_UserID))
            if (kgtest::boolProperty(u, kZAFUserIDProperty_IsAttribute) &&
                dataProperty(u, kZAFUserIDProperty_AttributeData).find(photo(fill)) !=
                    std::string::npos)
                return u;
        return nullptr;
    }
    // Certifications of `object` (a user ID or attribute) by the key named `signer`.
    static size_t certsBy(ZAFKeyDBRef db, ZAFKeyDBObjRef object, const std::string& signer,
                          bool revokedOnly = false) {
        if (object == nullptr)
            return 0;
        ZAFKeyDBObjRef s = find(db, signer);
        size_t n = 0;
        for (ZAFKeyDBObjRef sig : children(object->key == nullptr ? nullptr : &object->key->objs[0],
                                           kZAFKeyDBObjType_Signature, int32_t(object->index)))
            if (sig->sigType == 0x10 && std::memcmp(sig->keyID, s->key->keyID(), 8) == 0 &&
                (!revokedOnly || kgtest::boolProperty(sig, kZAFSigProperty_IsRevoked)))
                ++n;
        return n;
    }
    static std::vector<ZAFKeyDBObjRef> subkeys(ZAFKeyDBRef db) {
        return children(find(db, "K1"), kZAFKeyDBObjType_SubKey);
    }
    // K1's subkey of the starting rings.
    static ZAFKeyDBObjRef original(ZAFKeyDBRef db) {
        for (ZAFKeyDBObjRef sub : subkeys(db))
            if (dataProperty(sub, kZAFSubKeyProperty_Fingerprint) == *gSubkey)
                return sub;
        return nullptr;
    }
    static std::vector<std::string> warnings(ZAFKeyDBRef db) {
        std::vector<std::string> out;
        uint32_t n = 0;
        ZAFCountKeyDBMergeWarnings(db, &n);
        for (uint32_t i = 0; i < n; ++i) {
            char text[512];
            size_t size = 0;
            if (ZAFGetKeyDBMergeWarning(db, i, text, sizeof text, &size) == 0)
                out.push_back(text);
        }
        return out;
    }

    // One side's operation on one kind of object. `side` is 'A' or 'B'.
    using Action = std::function<void(ZAFKeyDBRef, char)>;
    struct Kind {
        const char* name;
        Action add, remove, change;
        // What the result holds: the original object, the object a side added, the change a
        // side made.
        std::function<bool(ZAFKeyDBRef)> original;
        std::function<bool(ZAFKeyDBRef, char)> added, changed;
    };
    std::vector<Kind> kinds() {
        ZAFContextRef c = ctx.get();
        auto pass = [c] { return ZAFOPassphrase(c, ""); };
        auto certify = [pass](ZAFKeyDBObjRef what, ZAFKeyDBObjRef by) {
            ASSERT_EQ(0, ZAFCertifyUserID(what, by, pass(), ZAFOLastOption()));
        };
        auto remove = [](ZAFKeyDBRef h, ZAFKeyDBObjRef o) {
            ASSERT_NE(nullptr, o);
            ASSERT_EQ(0, ZAFDeleteKeyDBObj(h, o));
        };
        auto signer = [](char side) { return side == 'A' ? "S" : "T"; };
        std::vector<Kind> out;
        out.push_back(Kind{"key",
                           [c](ZAFKeyDBRef h, char side) {
                               generateKey(c, h, side == 'A' ? "New A" : "New B", "");
                           },
                           [](ZAFKeyDBRef h, char) {
                               ZAFKeySetRef one = nullptr;
                               ASSERT_EQ(0, ZAFNewSingletonKeySet(find(h, "K2"), &one));
                               ASSERT_EQ(0, ZAFDeleteKeys(h, one));
                               ZAFFreeKeySet(one);
                           },
                           [certify, signer](ZAFKeyDBRef h, char side) {
                               certify(uid(find(h, "K2"), "K2"), find(h, signer(side)));
                           },
                           [](ZAFKeyDBRef db) { return find(db, "K2") != nullptr; },
                           [](ZAFKeyDBRef db, char side) {
                               return find(db, side == 'A' ? "New A" : "New B") != nullptr;
                           },
                           [signer](ZAFKeyDBRef db, char side) {
                               return certsBy(db, uid(find(db, "K2"), "K2"), signer(side)) == 1;
                           }});
        out.push_back(
            Kind{"user ID",
                 [pass](ZAFKeyDBRef h, char side) {
                     ASSERT_EQ(0, ZAFAddUserID(find(h, "K1"), side == 'A' ? "K1 by A" : "K1 by B",
                                               pass(), ZAFOLastOption()));
                 },
                 [remove](ZAFKeyDBRef h, char) { remove(h, uid(find(h, "K1"), "K1 extra")); },
                 [certify, signer](ZAFKeyDBRef h, char side) {
                     certify(uid(find(h, "K1"), "K1 extra"), find(h, signer(side)));
                 },
                 [](ZAFKeyDBRef db) { return uid(find(db, "K1"), "K1 extra") != nullptr; },
                 [](ZAFKeyDBRef db, char side) {
                     return uid(find(db, "K1"), side == 'A' ? "K1 by A" : "K1 by B") != nullptr;
                 },
                 [signer](ZAFKeyDBRef db, char side) {
                     return certsBy(db, uid(find(db, "K1"), "K1 extra"), signer(side)) == 1;
                 }});
        out.push_back(
            Kind{"user attribute",
                 [pass](ZAFKeyDBRef h, char side) {
                     std::string jpeg = photo(side);
                     ASSERT_EQ(0, ZAFAddPhotoID(find(h, "K1"), jpeg.data(), jpeg.size(), pass(),
                                                ZAFOLastOption()));
                 },
                 [remove](ZAFKeyDBRef h, char) { remove(h, photoOf(find(h, "K1"), 'O')); },
                 [certify, signer](ZAFKeyDBRef h, char side) {
                     certify(photoOf(find(h, "K1"), 'O'), find(h, signer(side)));
                 },
                 [](ZAFKeyDBRef db) { return photoOf(find(db, "K1"), 'O') != nullptr; },
                 [](ZAFKeyDBRef db, char side) { return photoOf(find(db, "K1"), side) != nullptr; },
                 [signer](ZAFKeyDBRef db, char side) {
                     return certsBy(db, photoOf(find(db, "K1"), 'O'), signer(side)) == 1;
                 }});
        out.push_back(Kind{
            "subkey",
            [c](ZAFKeyDBRef h, char) { ASSERT_NE(nullptr, generateSubKey(c, find(h, "K1"), "")); },
            [remove](ZAFKeyDBRef h, char) { remove(h, original(h)); },
            [pass](ZAFKeyDBRef h, char) {
                ASSERT_EQ(0, ZAFRevoke(original(h), find(h, "K1"), pass(), ZAFOLastOption()));
            },
            [](ZAFKeyDBRef db) { return original(db) != nullptr; },
            [](ZAFKeyDBRef db, char) {
                for (ZAFKeyDBObjRef sub : subkeys(db))
                    if (sub != original(db))
                        return true;
                return false;
            },
            [](ZAFKeyDBRef db, char) {
                return original(db) != nullptr &&
                       kgtest::boolProperty(original(db), kZAFSubKeyProperty_IsRevoked);
            }});
        out.push_back(Kind{
            "signature",
            [certify](ZAFKeyDBRef h, char side) {
                certify(uid(find(h, "K1"), side == 'A' ? "K1" : "K1 extra"), find(h, "T"));
            },
            [remove](ZAFKeyDBRef h, char) {
                ZAFKeyDBObjRef u = uid(find(h, "K1"), "K1");
                ZAFKeyDBObjRef s = find(h, "S");
                for (ZAFKeyDBObjRef sig :
                     children(find(h, "K1"), kZAFKeyDBObjType_Signature, int32_t(u->index)))
                    if (std::memcmp(sig->keyID, s->key->keyID(), 8) == 0)
                        return remove(h, sig);
                FAIL() << "no certification by S";
            },
            [pass](ZAFKeyDBRef h, char) {
                ZAFKeyDBObjRef u = uid(find(h, "K1"), "K1");
                ZAFKeyDBObjRef s = find(h, "S");
                for (ZAFKeyDBObjRef sig :
                     children(find(h, "K1"), kZAFKeyDBObjType_Signature, int32_t(u->index)))
                    if (sig->sigType == 0x10 && std::memcmp(sig->keyID, s->key->keyID(), 8) == 0) {
                        EXPECT_EQ(0, ZAFRevoke(sig, s, pass(), ZAFOLastOption()));
                        return;
                    }
                FAIL() << "no certification by S";
            },
            [](ZAFKeyDBRef db) { return certsBy(db, uid(find(db, "K1"), "K1"), "S") == 1; },
            [](ZAFKeyDBRef db, char side) {
                return certsBy(db, uid(find(db, "K1"), side == 'A' ? "K1" : "K1 extra"), "T") == 1;
            },
            [](ZAFKeyDBRef db, char) {
                return certsBy(db, uid(find(db, "K1"), "K1"), "S", true) == 1;
            }});
        return out;
    }

    Action action(const Kind& k, Op op) {
        return op == kAdd ? k.add : op == kRemove ? k.remove : k.change;
    }

    // Both handles open the same rings; A does its operation and flushes, then B (which has not
    // seen A's write) does its own and flushes, in this process or in a child process.
    // Returns the rings as they end up, and B's merge warnings in `bWarnings`.
    ZAFKeyDBRef run(const Kind& k, Op a, Op b, bool twoProcesses, size_t& bWarnings) {
        ZAFKeyDBRef ha = nullptr, hb = nullptr;
        EXPECT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &ha));
        EXPECT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &hb));
        action(k, a)(ha, 'A');
        EXPECT_EQ(0, ZAFFlushKeyDB(ha));
        ZAFFreeKeyDB(ha);
        // B's edit is made here (the crypto library's worker threads do not survive a fork);
        // the merge and the write run in the other process.
        action(k, b)(hb, 'B');
        if (twoProcesses) {
            int fds[2];
            EXPECT_EQ(0, ::pipe(fds));
            pid_t child = ::fork();
            if (child == 0) {
                ::close(fds[0]);
                int rc = ZAFFlushKeyDB(hb) == 0 ? 0 : 1;
                char n = char(warnings(hb).size());
                rc = ::write(fds[1], &n, 1) == 1 ? rc : 1;
                ::_exit(rc);
            }
            ::close(fds[1]);
            char n = 0;
            EXPECT_EQ(1, ::read(fds[0], &n, 1));
            ::close(fds[0]);
            int status = 0;
            EXPECT_EQ(child, ::waitpid(child, &status, 0));
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
            bWarnings = size_t(n);
        } else {
            EXPECT_EQ(0, ZAFFlushKeyDB(hb));
            bWarnings = warnings(hb).size();
        }
        ZAFFreeKeyDB(hb);
        ZAFKeyDBRef out = nullptr;
        EXPECT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &out));
        return out;
    }

    void matrix(bool twoProcesses) {
        for (const Kind& k : kinds()) {
            SCOPED_TRACE(k.name);
            struct Case {
                Op a, b;
            };
            for (Case c : {Case{kRemove, kChange}, Case{kChange, kRemove}, Case{kAdd, kAdd},
                           Case{kChange, kChange}, Case{kRemove, kAdd}, Case{kAdd, kRemove},
                           Case{kRemove, kRemove}}) {
                SCOPED_TRACE(std::to_string(c.a) + " then " + std::to_string(c.b));
                SetUp();
                size_t w = 0;
                ZAFKeyDBRef db = run(k, c.a, c.b, twoProcesses, w);
                ASSERT_NE(nullptr, db);
                if (c.a == kRemove || c.b == kRemove) {
                    // A removal survives the other side's flush and beats its change, with a
                    // warning (a signature is no container: revoking a removed certification
                    // changes nothing that was removed).
                    EXPECT_FALSE(k.original(db));
                    bool conflict =
                        (c.a == kRemove && c.b == kChange) || (c.a == kChange && c.b == kRemove);
                    EXPECT_EQ(conflict && std::string(k.name) != "signature" ? 1u : 0u, w);
                }
                if (c.a == kAdd) {
                    EXPECT_TRUE(k.added(db, 'A'));
                }
                if (c.b == kAdd) {
                    EXPECT_TRUE(k.added(db, 'B'));
                }
                if (c.a == kChange && c.b == kChange) {
                    EXPECT_TRUE(k.original(db));
                    EXPECT_TRUE(k.changed(db, 'A'));
                    EXPECT_TRUE(k.changed(db, 'B'));
                    EXPECT_EQ(0u, w);
                }
                ZAFFreeKeyDB(db);
            }
        }
    }

    Context ctx;
    TempDir dir;
    static std::string* gPub;
    static std::string* gSec;
    static std::string* gSubkey;
};

std::string* Merge::gPub = nullptr;
std::string* Merge::gSec = nullptr;
std::string* Merge::gSubkey = nullptr;

} // namespace

TEST_F(Merge, EveryChangeOfTwoHandlesSurvivesAndARemovalBeatsAChange) { matrix(false); }

TEST_F(Merge, TheSameInTwoProcesses) { matrix(true); }

TEST_F(Merge, ARefreshLaysUnsavedChangesOverTheNewRings) {
    ZAFKeyDBRef a = nullptr, b = nullptr;
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &a));
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &b));
    // A removes a user ID and writes; B has added one to the same key, then refreshes: it sees
    // the removal and keeps its addition, and its flush does not bring the user ID back.
    ASSERT_EQ(0, ZAFDeleteKeyDBObj(a, uid(find(a, "K1"), "K1 extra")));
    ASSERT_EQ(0, ZAFFlushKeyDB(a));
    ASSERT_EQ(
        0, ZAFAddUserID(find(b, "K1"), "K1 by B", ZAFOPassphrase(ctx.get(), ""), ZAFOLastOption()));
    ASSERT_EQ(0, ZAFKeyDBRefresh(b));
    EXPECT_EQ(nullptr, uid(find(b, "K1"), "K1 extra"));
    EXPECT_NE(nullptr, uid(find(b, "K1"), "K1 by B"));
    EXPECT_TRUE(ZAFKeyDBIsDirty(b));
    ASSERT_EQ(0, ZAFFlushKeyDB(b));
    ZAFFreeKeyDB(b);
    ZAFFreeKeyDB(a);
    ASSERT_EQ(0, openDB(ctx.get(), dir.file("pub.pkr"), dir.file("sec.skr"), &a));
    EXPECT_EQ(nullptr, uid(find(a, "K1"), "K1 extra"));
    EXPECT_NE(nullptr, uid(find(a, "K1"), "K1 by B"));
    // The secret ring follows the public one.
    EXPECT_EQ(std::string::npos, readAll(dir.file("sec.skr")).find("K1 extra"));
    ZAFFreeKeyDB(a);
}
