// A key pair's expiry: refused for version 3 keys (theirs is part of the key), revoked keys and
// objects that are no key. And the usage a subkey's binding grants, as a property.
#include "keygen_test_util.h"

#include <zaf/zafkeymaint.h>

using namespace kgtest;

namespace {

class Expiry : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, ZAFNewKeyDB(m_ctx.get(), &m_db)); }
    void TearDown() override { ZAFFreeKeyDB(m_db); }
    ZAFContextRef ctx() const { return m_ctx.get(); }
    ZAFKeyDBObjRef cur(ZAFKeyDBObjRef k) const { return current(m_db, k); }

    ZAFError set(ZAFKeyDBObjRef key, ZAFTime expires, const std::string& pass) {
        return ZAFSetKeyExpiration(key, expires, pass.data(), pass.size());
    }

    Context m_ctx;
    ZAFKeyDBRef m_db = nullptr;
};

constexpr ZAFTime kDay = 86400;

} // namespace

TEST_F(Expiry, RefusedForLegacyAndRevokedKeysAndBadHandles) {
    ZAFKeyDBObjRef legacy =
        generateKey(ctx(), m_db, "Legacy", "pw", kZAFPublicKeyAlgorithm_RSA, 1024, 3);
    ASSERT_NE(nullptr, legacy);
    EXPECT_EQ(kZAFError_UnsupportedAlg,
              set(legacy, timeProperty(legacy, kZAFKeyProperty_Creation) + kDay * 9, "pw"));
    ZAFKeyDBObjRef key = generateKey(ctx(), m_db, "Revoked", "pw");
    ASSERT_EQ(0, ZAFRevoke(key, nullptr, ZAFOPassphrase(ctx(), "pw"), ZAFOLastOption()));
    EXPECT_EQ(kZAFError_KeyRevoked, set(cur(key), 0, "pw"));
    EXPECT_EQ(kZAFError_InvalidHandle, set(nullptr, 0, "pw"));
    ZAFKeyDBObjRef user = children(cur(legacy), kZAFKeyDBObjType_UserID).front();
    EXPECT_EQ(kZAFError_BadParams, set(user, 0, "pw"));
}

TEST_F(Expiry, SubkeysTellTheUsageTheirBindingGrants) {
    ZAFKeyDBObjRef key = generateKey(ctx(), m_db, "Usage", "pw");
    ASSERT_NE(nullptr, key);
    generateSubKey(ctx(), key, "pw");
    key = cur(key);
    const auto subkeys = children(key, kZAFKeyDBObjType_SubKey);
    ASSERT_FALSE(subkeys.empty());
    const int32_t usage = numProperty(subkeys.back(), kZAFSubKeyProperty_Usage);
    EXPECT_NE(0, usage & 0x0C) << usage;
    int32_t ignored = 0;
    EXPECT_EQ(kZAFError_BadParams,
              ZAFGetKeyDBObjNumericProperty(key, kZAFSubKeyProperty_Usage, &ignored));
}
