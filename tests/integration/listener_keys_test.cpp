// The keys summary of a real orxgui over rings holding every kind of key the console shows.
#include "listener_harness.h"
#include "ring_builder.h"
#include "test_account.h"

#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>

using namespace orxtest;
using vornadmin::SReply;
using vornadmin::SXmlElement;

namespace {

const std::set<std::string> kKeyAttributes = {"id",
                                              "idfull",
                                              "alg",
                                              "disabled",
                                              "revoked",
                                              "expired",
                                              "size",
                                              "trust",
                                              "validity",
                                              "revocable",
                                              "cipher",
                                              "secretshared",
                                              "secret",
                                              "hasunverifiedrevocation",
                                              "token",
                                              "creation-time",
                                              "expiration-time",
                                              "fingerprint",
                                              "hasphotoid"};
const std::set<std::string> kSignatureAttributes = {
    "x509",  "alg",       "revoked",       "hasunverifiedrevocation", "expired",    "verified",
    "tried", "signer-id", "creation-time", "expiration-time",         "trust-depth"};
const std::set<std::string> kSubkeyAttributes = {
    "id",  "idfull", "creation-time", "expiration-time", "size",
    "alg", "usage",  "expired",       "revoked",         "hasunverifiedrevocation"};

std::set<std::string> names(const SXmlElement& element) {
    std::set<std::string> out;
    for (const auto& attribute : element.attributes)
        out.insert(attribute.first);
    return out;
}

// Puts the rings into the user's personal folder, owned by the user.
void installRings(const TestAccount& user, const std::string& pub, const std::string& sec) {
    const std::string dir = user.file(".zaf");
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(pub, dir + "/pubring.pkr",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(sec, dir + "/secring.skr",
                               std::filesystem::copy_options::overwrite_existing);
    for (const char* name : {"", "/pubring.pkr", "/secring.skr"})
        if (::chown((dir + name).c_str(), user.uid(), user.gid()) != 0)
            throw std::runtime_error("chown failed");
    ::chmod(dir.c_str(), 0700);
}

class ListenerKeys : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxks");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
    }

    SReply summary() {
        SListenerOptions options;
        CListenerProcess daemon(options);
        EXPECT_TRUE(daemon.start());
        auto connection = daemon.connect();
        loginOK(*connection, m_user->name(), m_user->password());
        SReply reply = request(*connection, vornadmin::gKeysSummaryRequest());
        connection.reset();
        EXPECT_EQ(0, daemon.stop());
        return reply;
    }

    std::unique_ptr<TestAccount> m_user;
};

const SXmlElement* keyWithID(const SXmlElement& keys, const std::string& id) {
    for (const SXmlElement& key : keys.children)
        if (key.get("id") == id)
            return &key;
    return nullptr;
}

} // namespace

TEST_F(ListenerKeys, AnEmptyRingGivesAnEmptyList) {
    const SReply reply = summary();
    ASSERT_EQ(0, reply.rc) << reply.xml;
    ASSERT_NE(nullptr, reply.body());
    EXPECT_EQ("keys", reply.body()->name);
    EXPECT_TRUE(reply.body()->children.empty());
}

TEST_F(ListenerKeys, EveryKindOfKeyIsShownWithEveryAttribute) {
    ZafTempDir dir;
    std::string alice, legacy, dora, rex, old, odd;
    std::string expiredBytes, unnamedBytes;
    {
        CRingBuilder ring(dir.path());
        const ZAFKeyID a =
            ring.generate("Alice <alice@example.org>", kZAFPublicKeyAlgorithm_RSA, 1024,
                          kZAFKeyVersion_Current, kZAFPublicKeyAlgorithm_RSA, 1024);
        const ZAFKeyID l = ring.generate("Legacy <legacy@example.org>", kZAFPublicKeyAlgorithm_RSA,
                                         1024, kZAFKeyVersion_Legacy);
        const ZAFKeyID d =
            ring.generate("Dora <dora@example.org>", kZAFPublicKeyAlgorithm_DSA, 1024,
                          kZAFKeyVersion_Current, kZAFPublicKeyAlgorithm_ElGamal, 1024);
        const ZAFKeyID r = ring.generate("Rex <rex@example.org>", kZAFPublicKeyAlgorithm_RSA, 1024);
        const ZAFKeyID s = ring.generate("Scratch", kZAFPublicKeyAlgorithm_RSA, 1024);
        ring.addPhoto(a, std::string("\xFF\xD8\xFF\xE0", 4) + std::string(60, 'J') + "\xFF\xD9");
        ring.addRevoker(a, d);
        ring.addADK(d, a);
        ring.certify(a, d);
        ring.revoke(r);
        ring.flush();
        expiredBytes = ring.expiredKey(s, "Old <old@example.org>", 978307200, 86400);
        unnamedBytes = ring.unnamedAlgorithmKey("Odd <odd@example.org>", 100);
        alice = CRingBuilder::keyIDText(a);
        legacy = CRingBuilder::keyIDText(l);
        dora = CRingBuilder::keyIDText(d);
        rex = CRingBuilder::keyIDText(r);
        ring.appendToPublicRing(expiredBytes);
        ring.appendToPublicRing(unnamedBytes);
    }
    installRings(*m_user, dir.file("pubring.pkr"), dir.file("secring.skr"));

    const SReply reply = summary();
    ASSERT_EQ(0, reply.rc) << reply.xml;
    const SXmlElement* keys = reply.body();
    ASSERT_NE(nullptr, keys);
    ASSERT_EQ(7u, keys->children.size()) << reply.xml;

    for (const SXmlElement& key : keys->children) {
        std::set<std::string> expected = kKeyAttributes;
        if (key.get("alg") == "RSA")
            expected.insert("version");
        EXPECT_EQ(expected, names(key)) << key.get("id");
        ASSERT_EQ(4u, key.children.size()) << key.get("id");
        EXPECT_EQ("userids", key.children[0].name);
        EXPECT_EQ("subkeys", key.children[1].name);
        EXPECT_EQ("revokers", key.children[2].name);
        EXPECT_EQ("adks", key.children[3].name);
        EXPECT_EQ("no", key.get("token"));
        EXPECT_EQ(18u, key.get("idfull").size()) << key.get("idfull");
        EXPECT_EQ(key.get("id").substr(2), key.get("idfull").substr(10));
        for (const SXmlElement& userID : key.children[0].children) {
            for (const SXmlElement& signature : userID.child("signatures")->children)
                EXPECT_EQ(kSignatureAttributes, names(signature)) << key.get("id");
        }
        for (const SXmlElement& subkey : key.children[1].children)
            EXPECT_EQ(kSubkeyAttributes, names(subkey)) << key.get("id");
    }

    const SXmlElement* a = keyWithID(*keys, alice);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ("RSA", a->get("alg"));
    EXPECT_EQ("RSA4", a->get("version"));
    EXPECT_EQ("1024", a->get("size"));
    EXPECT_EQ("yes", a->get("secret"));
    EXPECT_EQ("Implicit", a->get("trust"));
    EXPECT_EQ("Valid", a->get("validity"));
    EXPECT_EQ("AES256", a->get("cipher"));
    EXPECT_EQ("N/A", a->get("expiration-time"));
    EXPECT_EQ(10u, a->get("creation-time").size());
    EXPECT_EQ("yes", a->get("hasphotoid"));
    EXPECT_EQ(40u, a->get("fingerprint").size());
    EXPECT_EQ(std::string::npos, a->get("fingerprint").find_first_not_of("0123456789ABCDEF"));
    const auto userIDs = a->children[0].childrenNamed("userid");
    ASSERT_EQ(2u, userIDs.size());
    EXPECT_EQ("Alice <alice@example.org>", userIDs[0]->get("name"));
    EXPECT_EQ("User ID", userIDs[0]->get("type"));
    EXPECT_EQ("yes", userIDs[0]->get("primary"));
    EXPECT_EQ("photograph", userIDs[1]->get("name"));
    EXPECT_EQ("image", userIDs[1]->get("type"));
    EXPECT_FALSE(userIDs[1]->has("primary"));
    bool certifiedByDora = false;
    for (const SXmlElement& signature : userIDs[0]->child("signatures")->children) {
        EXPECT_EQ("no", signature.get("x509"));
        if (signature.get("signer-id") == dora) {
            certifiedByDora = true;
            EXPECT_EQ("DSS", signature.get("alg"));
            EXPECT_EQ("N/A", signature.get("expiration-time"));
            EXPECT_EQ("0", signature.get("trust-depth"));
        }
    }
    EXPECT_TRUE(certifiedByDora);
    ASSERT_EQ(1u, a->children[1].children.size());
    EXPECT_EQ("1024", a->children[1].children[0].get("size"));
    EXPECT_EQ("no", a->children[1].children[0].get("expired"));
    ASSERT_EQ(1u, a->children[2].children.size());
    EXPECT_EQ(dora, a->children[2].children[0].get("id"));
    EXPECT_TRUE(a->children[3].children.empty());

    const SXmlElement* l = keyWithID(*keys, legacy);
    ASSERT_NE(nullptr, l);
    EXPECT_EQ("RSA3", l->get("version"));
    // Legacy RSA keys always report the first cipher.
    EXPECT_EQ("IDEA", l->get("cipher"));
    EXPECT_EQ(32u, l->get("fingerprint").size());
    EXPECT_TRUE(l->children[1].children.empty());

    const SXmlElement* d = keyWithID(*keys, dora);
    ASSERT_NE(nullptr, d);
    EXPECT_EQ("DSS", d->get("alg"));
    EXPECT_FALSE(d->has("version"));
    EXPECT_EQ("no", d->get("hasphotoid"));
    ASSERT_EQ(1u, d->children[1].children.size());
    EXPECT_EQ("1024", d->children[1].children[0].get("size"));
    ASSERT_EQ(1u, d->children[3].children.size());
    EXPECT_EQ(alice, d->children[3].children[0].get("id"));

    const SXmlElement* r = keyWithID(*keys, rex);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ("yes", r->get("revoked"));
    EXPECT_EQ("no", r->get("expired"));

    const SXmlElement* expired = nullptr;
    const SXmlElement* unnamed = nullptr;
    for (const SXmlElement& key : keys->children) {
        const SXmlElement* first = key.children[0].child("userid");
        if (first != nullptr && first->get("name") == "Old <old@example.org>")
            expired = &key;
        if (first != nullptr && first->get("name") == "Odd <odd@example.org>")
            unnamed = &key;
    }
    ASSERT_NE(nullptr, expired) << reply.xml;
    EXPECT_EQ("yes", expired->get("expired"));
    EXPECT_EQ("no", expired->get("revoked"));
    EXPECT_EQ("no", expired->get("secret"));
    EXPECT_EQ("2001-01-01", expired->get("creation-time"));
    EXPECT_EQ("2001-01-02", expired->get("expiration-time"));
    ASSERT_NE(nullptr, unnamed) << reply.xml;
    EXPECT_EQ("UNKNOWN", unnamed->get("alg"));
    EXPECT_FALSE(unnamed->has("version"));
}
