// Check results kept beside rings another program wrote: the next process takes them from the
// file instead of verifying again, and a file that is damaged, foreign or not private is
// ignored and written anew; a changed signature never matches a kept result.
#include "key_packets.h"
#include "keystore/keystore_internal.h"
#include "keystore_test_util.h"

#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kstest;

namespace {

zaf::CheckDigest digest(uint8_t first) {
    zaf::CheckDigest d{};
    d[0] = first;
    d[15] = uint8_t(~first);
    return d;
}

std::string withSum(std::string bytes) {
    auto sha = Botan::HashFunction::create_or_throw("SHA-256");
    sha->update(bytes);
    Botan::secure_vector<uint8_t> sum = sha->final();
    return bytes + std::string(sum.begin(), sum.end());
}

class CheckFileRing : public ::testing::Test {
protected:
    void SetUp() override {
        if (!haveBench())
            GTEST_SKIP() << "bench rings missing";
        m_ring = sliceKeys(readAll(benchPath("pubring-1k.pkr")), 0, 150);
        writeAll(pub(), m_ring);
    }
    std::string pub() const { return m_dir.file("pubring.pkr"); }
    std::string cache() const { return pub() + ".checks"; }

    struct Read {
        uint64_t verified = 0; // checks this read made itself
        size_t keys = 0;
        size_t userIDs = 0;
    };
    // Opens the rings as a new process would: nothing in the process-wide cache.
    Read open() {
        zaf::clearCachedChecks();
        const uint64_t before = zaf::verificationsMade();
        Read r;
        ZAFKeyDBRef db = nullptr;
        EXPECT_EQ(0, openDB(m_ctx.get(), pub(), m_dir.file("secring.skr"), &db,
                            kZAFOpenKeyDBFileOptions_Create));
        if (db == nullptr)
            return r;
        r.verified = zaf::verificationsMade() - before;
        r.keys = db->keys.size();
        for (const zaf::KeyPtr& k : db->keys)
            for (const ZAFKeyDBObj& o : k->objs)
                r.userIDs += o.type == kZAFKeyDBObjType_UserID ? 1 : 0;
        ZAFFreeKeyDB(db);
        return r;
    }
    bool cacheIntact() {
        zaf::CheckRecord results;
        return zaf::decodeCheckFile(readAll(cache()), results) && !results.empty();
    }

    TempDir m_dir;
    Context m_ctx;
    std::string m_ring;
};

} // namespace

TEST(CheckFileFormat, RoundTripsAndRefusesDamage) {
    zaf::CheckRecord results = {{digest(1), true}, {digest(2), false}, {digest(9), true}};
    const std::string bytes = zaf::encodeCheckFile(results);
    zaf::CheckRecord back;
    ASSERT_TRUE(zaf::decodeCheckFile(bytes, back));
    EXPECT_EQ(results, back);

    const std::string body = bytes.substr(0, bytes.size() - 32);
    std::string otherVersion = body;
    otherVersion[8] = 2;
    std::string reserved = body;
    reserved[10] = 1;
    std::string badStatus = body;
    badStatus[16 + 16] = 7;
    std::string unordered = body; // the first two digests swapped
    std::swap_ranges(unordered.begin() + 16, unordered.begin() + 33, unordered.begin() + 33);
    std::string flipped = bytes;
    flipped[20] ^= 1;
    const struct {
        const char* what;
        std::string bytes;
    } damaged[] = {
        {"empty", ""},
        {"truncated by one byte", bytes.substr(0, bytes.size() - 1)},
        {"cut after the header", bytes.substr(0, 16)},
        {"one more byte", bytes + "x"},
        {"a digest bit flipped", flipped},
        {"another version", withSum(otherVersion)},
        {"a reserved byte set", withSum(reserved)},
        {"a status other than good or bad", withSum(badStatus)},
        {"digests out of order", withSum(unordered)},
    };
    for (const auto& d : damaged) {
        EXPECT_FALSE(zaf::decodeCheckFile(d.bytes, back)) << d.what;
        EXPECT_TRUE(back.empty()) << d.what;
    }
}

TEST_F(CheckFileRing, TheNextProcessTakesTheResultsFromTheFile) {
    const Read first = open();
    ASSERT_EQ(150u, first.keys);
    EXPECT_GT(first.verified, 300u) << "every deciding self-signature verified";
    struct stat st {};
    ASSERT_EQ(0, ::lstat(cache().c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(::geteuid(), st.st_uid);
    EXPECT_EQ(m_ring, readAll(pub())) << "the ring itself is not rewritten";

    const Read second = open();
    EXPECT_EQ(0u, second.verified);
    EXPECT_EQ(first.userIDs, second.userIDs);
}

TEST_F(CheckFileRing, AForgedSignatureIsVerifiedNotTakenFromTheFile) {
    const Read first = open();
    ASSERT_TRUE(cacheIntact());
    // The first key's first self-signature gets another signature value: its check digest
    // differs from the one kept.
    std::vector<keypackets::Packet> packets = keypackets::split(m_ring);
    for (keypackets::Packet& p : packets)
        if (p.tag == 2) {
            p.body.back() ^= 0x01;
            break;
        }
    writeAll(pub(), keypackets::join(packets));
    const Read forged = open();
    EXPECT_EQ(1u, forged.verified) << "only the changed signature";
    EXPECT_EQ(first.userIDs - 1, forged.userIDs) << "its user ID counts for nothing";
}

TEST_F(CheckFileRing, AFileOfAnotherUserIsIgnoredAndReplaced) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "giving a file to another user needs root";
    const Read first = open();
    ASSERT_EQ(0, ::chown(cache().c_str(), 65534, 65534));
    const Read second = open();
    EXPECT_EQ(first.verified, second.verified);
    struct stat st {};
    ASSERT_EQ(0, ::stat(cache().c_str(), &st));
    EXPECT_EQ(::geteuid(), st.st_uid);
    EXPECT_TRUE(cacheIntact());
}

TEST_F(CheckFileRing, ADamagedOrExposedFileIsIgnoredAndRebuilt) {
    const Read first = open();
    const std::string good = readAll(cache());
    struct {
        const char* what;
        std::function<void()> damage;
    } cases[] = {
        {"truncated", [&] { ASSERT_EQ(0, ::truncate(cache().c_str(), off_t(good.size() - 9))); }},
        {"readable by others", [&] { ASSERT_EQ(0, ::chmod(cache().c_str(), 0644)); }},
        {"a link to a good copy",
         [&] {
             writeAll(m_dir.file("copy"), good);
             ::chmod(m_dir.file("copy").c_str(), 0600);
             ::unlink(cache().c_str());
             ASSERT_EQ(0, ::symlink(m_dir.file("copy").c_str(), cache().c_str()));
         }},
        {"a folder",
         [&] {
             ::unlink(cache().c_str());
             ASSERT_EQ(0, ::mkdir(cache().c_str(), 0700));
         }},
    };
    for (auto& c : cases) {
        c.damage();
        const Read again = open();
        EXPECT_EQ(first.verified, again.verified) << c.what;
        EXPECT_EQ(first.userIDs, again.userIDs) << c.what;
        struct stat st {};
        if (std::string(c.what) == "a folder") {
            ::rmdir(cache().c_str());
            continue; // nothing can be renamed over a folder; it is ignored, not trusted
        }
        ASSERT_EQ(0, ::lstat(cache().c_str(), &st)) << c.what;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << c.what;
        EXPECT_EQ(0600u, st.st_mode & 07777) << c.what;
        EXPECT_EQ(good, readAll(cache())) << c.what << ": written anew";
        EXPECT_EQ(0u, open().verified) << c.what << ": and used";
    }
}
