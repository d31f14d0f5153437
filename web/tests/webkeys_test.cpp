// Key lists from keys summary replies: the scan that cuts a reply into its keys (and gives up on
// what the listener does not write), reading only keys whose bytes changed, look-ups by short ID,
// long ID and fingerprint (a shared short ID finds neither), and the list's changes.
#include "webkeys.h"

#include <adminxml.h>
#include <gtest/gtest.h>

using namespace vornweb;

namespace {

std::string key(const std::string& shortHex, const std::string& name, const std::string& validity,
                const std::string& extra = "") {
    return "<key id=\"0x" + shortHex + "\" idfull=\"0xAAAAAAAA" + shortHex +
           "\" alg=\"RSA\" size=\"2048\" validity=\"" + validity +
           "\" trust=\"Unknown\" secret=\"no\" creation-time=\"2024-01-02\" "
           "expiration-time=\"N/A\" fingerprint=\"" +
           std::string(32, 'b') + shortHex + "\"" + extra + "><userids><userid name=\"" + name +
           "\" type=\"User ID\" primary=\"yes\"><signatures><signature signer-id=\"0x22222222\" "
           "verified=\"yes\"/></signatures></userid><userid name=\"Second &lt;2@x&gt;\" "
           "type=\"User ID\"><signatures/></userid></userids><subkeys/><revokers/><adks/></key>";
}

std::string reply(const std::string& keys) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>\n<response "
           "rc=\"0\"><error/><keys>" +
           keys + "</keys></response>";
}

std::shared_ptr<const CKeyList> read(const std::string& text, const CKeyList* previous = nullptr) {
    SKeysRefusal refusal;
    auto list = CKeyList::read(text, previous, refusal);
    EXPECT_TRUE(list) << refusal.error;
    return list;
}

} // namespace

TEST(WebKeys, TheScanFindsEachKeyAndGivesUpOnTheUnexpected) {
    const std::string a = key("11111111", "Ann > <ann@x>", "Complete", " note='a>b/'");
    const std::string b = "<key id=\"0x22222222\"/>";
    const std::string text = reply(a + "\n" + b);
    std::vector<std::pair<size_t, size_t>> ranges;
    ASSERT_TRUE(gKeyRanges(text, ranges));
    ASSERT_EQ(2u, ranges.size());
    EXPECT_EQ(a, text.substr(ranges[0].first, ranges[0].second - ranges[0].first));
    EXPECT_EQ(b, text.substr(ranges[1].first, ranges[1].second - ranges[1].first));
    // A "key" element elsewhere is no key of the list.
    ASSERT_TRUE(gKeyRanges(reply("") + "", ranges));
    EXPECT_TRUE(ranges.empty());
    ASSERT_TRUE(gKeyRanges("<response rc=\"0\"><error><key/></error><keys><key/></keys></response>",
                           ranges));
    EXPECT_EQ(1u, ranges.size());
    for (const std::string& bad : std::vector<std::string>{
             reply(a + "<!-- x -->"), reply(a + "<![CDATA[<key/>]]>"), reply(a) + "<?pi?>",
             reply(a).substr(0, 200), reply("<key id=\"0x1\"></keyx>"), std::string("text only"),
             reply(a) + "</response>"})
        EXPECT_FALSE(gKeyRanges(bad, ranges)) << bad.substr(0, 80);
}

TEST(WebKeys, ReadsOnlyKeysWhoseBytesChanged) {
    std::string keys;
    for (int i = 0; i < 50; ++i) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08X", 0x10000000 + i);
        keys += key(hex, "User " + std::to_string(i), "Complete");
    }
    const auto first = read(reply(keys));
    ASSERT_EQ(50u, first->size());
    EXPECT_EQ(0u, first->reused());
    EXPECT_EQ(first->version(), read(reply(keys), first.get())->version());
    EXPECT_EQ(50u, read(reply(keys), first.get())->reused());

    // One key's validity changes: one key is read again, the list has a new version, and its
    // changes since the first hold that row only.
    std::string changed = keys;
    const std::string one = key("10000007", "User 7", "Complete");
    changed.replace(changed.find(one), one.size(), key("10000007", "User 7", "Marginal"));
    const auto second = read(reply(changed), first.get());
    EXPECT_EQ(49u, second->reused());
    EXPECT_NE(first->version(), second->version());
    const std::string changes = second->changesJson(*first);
    EXPECT_NE(std::string::npos, changes.find("\"rows\":[[\"0x10000007\""));
    EXPECT_NE(std::string::npos, changes.find("\"Marginal\""));
    EXPECT_NE(std::string::npos, changes.find("\"removed\":[]"));

    // A refusal is no list.
    SKeysRefusal refusal;
    EXPECT_EQ(nullptr,
              CKeyList::read("<response rc=\"8\"><error>Key ring locked</error></response>",
                             nullptr, refusal));
    EXPECT_EQ(8, refusal.rc);
    EXPECT_EQ("Key ring locked", refusal.error);
}

TEST(WebKeys, ARepliesTheScanRefusesIsRefusedWithTheReadersReason) {
    const std::string keys = key("11111111", "Ann", "Complete");
    for (const std::string& bad :
         {reply(keys + "<!-- no comments -->"), reply(keys).substr(0, 300)}) {
        try {
            read(bad);
            ADD_FAILURE() << "read " << bad.substr(0, 60);
        } catch (vornadmin::CAdminException* e) {
            EXPECT_NE("", e->getMessage());
            delete e;
        }
    }
}

TEST(WebKeys, FindsKeysByEveryIdAndRefusesASharedShortId) {
    const std::string twin = "<key id=\"0x11111111\" idfull=\"0xBBBBBBBB11111111\" fingerprint=\"" +
                             std::string(40, 'C') +
                             "\"><userids/><subkeys/><revokers/><adks/></key>";
    const auto list = read(reply(key("11111111", "Ann", "Complete") +
                                 key("22222222", "Bob &amp; Co", "Complete") + twin));
    const SKeyEntry* bob = list->find("0x22222222");
    ASSERT_NE(nullptr, bob);
    EXPECT_EQ("Bob & Co", bob->name);
    EXPECT_EQ(bob, list->find("aaaaaaaa22222222"));
    EXPECT_EQ(bob, list->find("0XAAAAAAAA22222222"));
    EXPECT_EQ(bob, list->find("BBBB BBBB BBBB BBBB BBBB BBBB BBBB BBBB 2222 2222"));
    EXPECT_EQ(bob, list->find("bb:bb:bb:bb:bb:bb:bb:bb:bb:bb:bb:bb:bb:bb:bb:bb:22:22:22:22"));
    bool ambiguous = false;
    EXPECT_EQ(nullptr, list->find("0x11111111", &ambiguous));
    EXPECT_TRUE(ambiguous);
    EXPECT_NE(nullptr, list->find("0xBBBBBBBB11111111"));
    EXPECT_EQ(nullptr, list->find("0x33333333", &ambiguous));
    EXPECT_FALSE(ambiguous);
    for (const char* bad : {"", "0x", "0x1234567", "0x123456789", "xyz", "0x1111111g"})
        EXPECT_EQ("", gNormalKeyID(bad)) << bad;

    // A key's page names its signers (a shared short ID says so) and the user's own pairs.
    const std::string json = list->keyJson(*list->find("0xAAAAAAAA11111111"));
    EXPECT_NE(std::string::npos, json.find("\"names\":{\"0x22222222\":\"Bob \\u0026 Co\"}"))
        << json;
    EXPECT_NE(std::string::npos, json.find("\"own\":[]"));
}

TEST(WebKeys, TheCacheKnowsHowFreshAListIsAndForgetsIdleUsers) {
    CKeyCache::Clock::time_point now = CKeyCache::Clock::now();
    CKeyCache cache([&] { return now; });
    const auto first = read(reply(key("11111111", "Ann", "Complete")));
    const auto second = read(reply(key("11111111", "Ann", "Marginal")));
    cache.put("ann", first);
    EXPECT_EQ(first, cache.fresh("ann", std::chrono::seconds(5)));
    now += std::chrono::seconds(6);
    EXPECT_EQ(nullptr, cache.fresh("ann", std::chrono::seconds(5)));
    EXPECT_EQ(first, cache.get("ann"));
    // Confirmed again unchanged: fresh again, and no list before it.
    cache.put("ann", read(reply(key("11111111", "Ann", "Complete"))));
    EXPECT_EQ(first, cache.fresh("ann", std::chrono::seconds(5)));
    EXPECT_EQ(nullptr, cache.previous("ann", first->version()));
    cache.put("ann", second);
    EXPECT_EQ(first, cache.previous("ann", first->version()));
    EXPECT_EQ(nullptr, cache.previous("ann", second->version()));
    // A change made since: the list is kept but no longer fresh, however recently confirmed,
    // until the listener confirms it again (unconfirming a user without a list is harmless).
    cache.unconfirm("ann");
    cache.unconfirm("nobody");
    EXPECT_EQ(nullptr, cache.fresh("ann", std::chrono::seconds(5)));
    EXPECT_EQ(second, cache.get("ann"));
    EXPECT_EQ(nullptr, cache.get("nobody"));
    cache.put("ann", read(reply(key("11111111", "Ann", "Marginal"))));
    EXPECT_EQ(second, cache.fresh("ann", std::chrono::seconds(5)));

    // Users without a session: kept for a while, the most recently used few.
    for (const char* user : {"bob", "cy", "dan"}) {
        now += std::chrono::seconds(1);
        cache.put(user, first);
    }
    cache.retain({"ann"}, std::chrono::minutes(15), 2);
    EXPECT_NE(nullptr, cache.get("ann"));
    EXPECT_EQ(nullptr, cache.get("bob"));
    EXPECT_NE(nullptr, cache.get("cy"));
    EXPECT_NE(nullptr, cache.get("dan"));
    now += std::chrono::minutes(16);
    cache.retain({"ann"}, std::chrono::minutes(15), 2);
    EXPECT_NE(nullptr, cache.get("ann"));
    EXPECT_EQ(nullptr, cache.get("cy"));
    EXPECT_EQ(nullptr, cache.get("dan"));
}
