// Tests of the password, shadow and group look-ups and the password check.
#include "expect_throw.h"
#include "test_account.h"

#include <vorngui/guiauth.h>

#include <crypt.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>

using namespace vorngui;

namespace {

// The hash of `password` with a setting of the given method prefix, or "" when this system's
// crypt does not offer the method.
std::string hashOf(const std::string& password, const char* prefix) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn(prefix, 0, nullptr, 0, setting, sizeof setting) == nullptr)
        return "";
    auto data = std::make_unique<crypt_data>();
    const char* result = crypt_r(password.c_str(), setting, data.get());
    return result != nullptr && result[0] != '*' ? result : "";
}

} // namespace

TEST(GuiAuth, ConstantTimeEqualityComparesWholeTexts) {
    EXPECT_TRUE(gConstantTimeEquals("", ""));
    EXPECT_TRUE(gConstantTimeEquals("$6$salt$abc", "$6$salt$abc"));
    EXPECT_FALSE(gConstantTimeEquals("$6$salt$abc", "$6$salt$abd"));
    EXPECT_FALSE(gConstantTimeEquals("abc", "abcd"));
    EXPECT_FALSE(gConstantTimeEquals("abcd", "abc"));
    EXPECT_FALSE(gConstantTimeEquals(std::string("a\0b", 3), std::string("a\0c", 3)));
    EXPECT_FALSE(gConstantTimeEquals(std::string("a\0", 2), "a"));
}

TEST(GuiAuth, PasswordCheckReproducesTheStoredHash) {
    int methods = 0;
    for (const char* setting : {"$6$", "$5$", "$y$"}) {
        const std::string hash = hashOf("correct horse", setting);
        if (hash.empty())
            continue;
        ++methods;
        EXPECT_TRUE(gCheckPassword("correct horse", hash)) << setting;
        EXPECT_FALSE(gCheckPassword("correct hors", hash)) << setting;
        EXPECT_FALSE(gCheckPassword("correct horse ", hash)) << setting;
        EXPECT_FALSE(gCheckPassword("", hash)) << setting;
    }
    EXPECT_GT(methods, 0);
}

TEST(GuiAuth, LockedAndPlaceholderFieldsNeverMatch) {
    // "x" is what the password database holds for shadowed accounts; "!" and "*" lock accounts.
    for (const char* field : {"x", "!", "*", "!$6$orxtestsalt$abc", "*LK*", "$6$"}) {
        EXPECT_FALSE(gCheckPassword("x", field)) << field;
        EXPECT_FALSE(gCheckPassword("", field)) << field;
    }
    EXPECT_FALSE(gCheckDummyPassword("anything"));
}

TEST(GuiAuth, UnknownNamesHaveNoEntries) {
    SGUIAccount account;
    gLookUpAccount("no-such-user-orx-4711", account);
    EXPECT_FALSE(account.hasPasswordEntry);
    EXPECT_FALSE(account.hasShadowEntry);
    gLookUpAccount(std::string(200, 'a'), account);
    EXPECT_FALSE(account.hasPasswordEntry);
    gLookUpAccount("root", account);
    EXPECT_TRUE(account.hasPasswordEntry);
    EXPECT_EQ(0u, account.uid);
}

TEST(GuiAuth, RealAccountIsFoundWithItsShadowHashAndGroups) {
    std::unique_ptr<TestAccount> user = TestAccount::create("orxau");
    if (!user)
        GTEST_SKIP() << TestAccount::skipReason();
    SGUIAccount account;
    gLookUpAccount(user->name(), account);
    ASSERT_TRUE(account.hasPasswordEntry);
    ASSERT_TRUE(account.hasShadowEntry);
    EXPECT_EQ(user->uid(), account.uid);
    EXPECT_EQ(user->gid(), account.gid);
    EXPECT_TRUE(gCheckPassword(user->password(), account.shadowField));
    EXPECT_FALSE(gCheckPassword(user->password() + "x", account.shadowField));
    EXPECT_FALSE(gCheckPassword(user->password(), account.passwordField));

    const std::vector<gid_t> groups = gGetUserGroups(user->name(), user->gid());
    ASSERT_FALSE(groups.empty());
    EXPECT_NE(groups.end(), std::find(groups.begin(), groups.end(), user->gid()));
}
