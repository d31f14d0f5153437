// Tests of the console's known listeners and of the cutting of key files into requests.
#include "adminhostkey.h"
#include "adminrequests.h"
#include "expect_throw.h"
#include "zaf_temp_dir.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>

using namespace vornadmin;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Counts the primary key packets of a binary ring (the cutter's own rule, checked on real data
// by the total: the 1k ring holds 1000 keys).
size_t total(const std::vector<size_t>& keys) {
    size_t sum = 0;
    for (size_t k : keys)
        sum += k;
    return sum;
}

} // namespace

TEST(AdminKeyFile, ARingIsCutIntoPiecesOfWholeKeysThatAddUpToIt) {
    const std::string ring = readAll(std::string(ORX_SHARED_DIR) + "/bench/pubring-1k.pkr");
    ASSERT_GT(ring.size(), 1000000u);
    std::vector<size_t> keys;
    const std::vector<std::string> pieces = gSplitKeyFile(ring, 256 * 1024, keys);
    ASSERT_EQ(pieces.size(), keys.size());
    EXPECT_GE(pieces.size(), ring.size() / (256 * 1024));
    EXPECT_EQ(1000u, total(keys));
    std::string joined;
    for (const std::string& piece : pieces) {
        EXPECT_LE(piece.size(), 256u * 1024);
        // Every piece starts with a public key packet (new or old format, tag 6).
        const unsigned char first = static_cast<unsigned char>(piece[0]);
        EXPECT_TRUE(first == 0xC6 || (first & 0xFC) == 0x98) << int(first);
        joined += piece;
    }
    EXPECT_EQ(ring, joined);

    // The same ring armoured comes out as the same binary pieces.
    std::string armoured = "-----BEGIN ZAF PUBLIC KEY BLOCK-----\nVersion: test\n\n";
    const std::string base64 = gEncodeBase64(ring);
    for (size_t at = 0; at < base64.size(); at += 64)
        armoured += base64.substr(at, 64) + "\n";
    armoured += "=abcd\n-----END ZAF PUBLIC KEY BLOCK-----\n";
    std::vector<size_t> armouredKeys;
    EXPECT_EQ(pieces, gSplitKeyFile(armoured, 256 * 1024, armouredKeys));
    EXPECT_EQ(keys, armouredKeys);
}

TEST(AdminKeyFile, WhatIsNoSequenceOfPacketsGoesAsItIs) {
    for (const std::string& odd :
         {std::string("not a key"), std::string("\xC6\x05\x04", 3), std::string("\x99\xFF", 2),
          std::string("-----BEGIN X-----\n\n!!!\n-----END X-----\n"),
          std::string("\xC6\xE0\x00", 3)}) {
        std::vector<size_t> keys;
        const std::vector<std::string> pieces = gSplitKeyFile(odd, 16, keys);
        ASSERT_EQ(1u, pieces.size());
        EXPECT_EQ(odd, pieces[0]);
    }
    // One key larger than the limit is a piece of its own.
    const std::string big = std::string("\xC6\xFF\x00\x00\x01\x00", 6) + std::string(256, 'k');
    const std::string small = std::string("\xC6\x02", 2) + "ab";
    std::vector<size_t> keys;
    const std::vector<std::string> pieces = gSplitKeyFile(small + big + small, 100, keys);
    EXPECT_EQ((std::vector<std::string>{small, big, small}), pieces);
    EXPECT_EQ((std::vector<size_t>{1, 1, 1}), keys);
}

TEST(AdminKeyFile, ArmourInsideBinaryPacketsIsNotTakenForTheFile) {
    // A user ID that holds an armoured block: the file is still the binary ring it starts as,
    // cut at its keys, and no piece is empty.
    const std::string armour = "-----BEGIN X-----\n\nAAAA\n-----END X-----\n";
    const std::string key = std::string("\xC6\x02", 2) + "ab";
    const std::string userID = std::string("\xCD", 1) + static_cast<char>(armour.size()) + armour;
    const std::string ring = key + userID + key + key;
    std::vector<size_t> keys;
    const std::vector<std::string> pieces = gSplitKeyFile(ring, 16, keys);
    EXPECT_EQ((std::vector<std::string>{key + userID, key + key}), pieces);
    EXPECT_EQ((std::vector<size_t>{1, 2}), keys);

    // An armoured block with nothing in it goes as it is, not as an empty piece.
    const std::string empty = "-----BEGIN X-----\n\n-----END X-----\n";
    const std::vector<std::string> whole = gSplitKeyFile(empty, 16, keys);
    EXPECT_EQ(std::vector<std::string>{empty}, whole);
    EXPECT_EQ(std::vector<size_t>{0}, keys);
}

TEST(AdminKnownHosts, EntriesAreFoundByListenerAndTheFileIsPrivate) {
    ZafTempDir dir;
    const CKnownHosts hosts(dir.file("sub/known_hosts"));
    SHostKey found;
    EXPECT_FALSE(hosts.find("127.0.0.1:1718", found));
    SHostKey key{"127.0.0.1:1718", "ABCD 0123", "-----BEGIN KEY-----\nline\n-----END KEY-----\n"};
    hosts.add(key);
    hosts.add(SHostKey{"127.0.0.1:1719", "FFFF", "other"});
    {
        std::ofstream junk(dir.file("sub/known_hosts"), std::ios::app);
        junk << "garbage line\n127.0.0.1:1720 AAAA !!notbase64\n";
    }
    ASSERT_TRUE(hosts.find("127.0.0.1:1718", found));
    EXPECT_EQ(key.publicKey, found.publicKey);
    EXPECT_EQ("ABCD 0123", found.fingerprint);
    EXPECT_FALSE(hosts.find("127.0.0.1:1720", found));
    EXPECT_FALSE(hosts.find("127.0.0.1", found));
    struct stat info {};
    ASSERT_EQ(0, ::stat(dir.file("sub/known_hosts").c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);
    ASSERT_EQ(0, ::stat(dir.file("sub").c_str(), &info));
    EXPECT_EQ(0700u, info.st_mode & 0777);
}
