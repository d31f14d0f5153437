// Two console sessions of one user against a real orxgui: an edit made by a session that has not
// listed the keys since the other one changed them works on the rings as they are now, so a
// removed key does not come back and a removed user ID is not lost.
#include "listener_harness.h"
#include "ring_builder.h"
#include "test_account.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <vector>

using namespace orxtest;
using vornadmin::SReply;
using vornadmin::SXmlElement;

namespace {

class ListenerSessions : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxss");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
        const std::string dir = m_user->file(".zaf");
        std::filesystem::create_directories(dir);
        {
            CRingBuilder ring(dir);
            m_signer =
                CRingBuilder::keyIDText(ring.generate("Signer", kZAFPublicKeyAlgorithm_RSA, 1024));
            m_target =
                CRingBuilder::keyIDText(ring.generate("Target", kZAFPublicKeyAlgorithm_RSA, 1024));
            m_doomed =
                CRingBuilder::keyIDText(ring.generate("Doomed", kZAFPublicKeyAlgorithm_RSA, 1024));
            ring.flush();
        }
        for (const char* name : {"", "/pubring.pkr", "/secring.skr"})
            ASSERT_EQ(0, ::chown((dir + name).c_str(), m_user->uid(), m_user->gid()));
        m_daemon = std::make_unique<CListenerProcess>(SListenerOptions());
        ASSERT_TRUE(m_daemon->start());
        for (auto* session : {&m_one, &m_two}) {
            *session = m_daemon->connect();
            loginOK(**session, m_user->name(), m_user->password());
        }
    }

    static std::vector<SXmlElement> keys(vornadmin::CAdminConnection& session) {
        const SReply reply = request(session, vornadmin::gKeysSummaryRequest());
        EXPECT_EQ(0, reply.rc) << reply.xml;
        return reply.body() != nullptr ? reply.body()->children : std::vector<SXmlElement>();
    }
    // The user ID names of the key `id` as a session lists them; empty when it has no such key.
    static std::vector<std::string> userIDs(vornadmin::CAdminConnection& session,
                                            const std::string& id) {
        std::vector<std::string> names;
        for (const SXmlElement& key : keys(session))
            if (key.get("id") == id)
                for (const SXmlElement& userID : key.children[0].children)
                    names.push_back(userID.get("name"));
        return names;
    }
    static bool hasKey(vornadmin::CAdminConnection& session, const std::string& id) {
        for (const SXmlElement& key : keys(session))
            if (key.get("id") == id)
                return true;
        return false;
    }

    std::unique_ptr<TestAccount> m_user;
    std::unique_ptr<CListenerProcess> m_daemon;
    std::unique_ptr<vornadmin::CAdminConnection> m_one, m_two;
    std::string m_signer, m_target, m_doomed;
};

} // namespace

TEST_F(ListenerSessions, AKeyRemovedInOneSessionStaysRemovedWhenTheOtherEditsIt) {
    ASSERT_TRUE(hasKey(*m_one, m_doomed));
    ASSERT_TRUE(hasKey(*m_two, m_doomed));
    ASSERT_EQ(0, request(*m_one, vornadmin::gKeyRemoveRequest(m_doomed)).rc);
    // The second session has not listed the keys since; its edit must not bring the key back.
    const SReply edit = request(*m_two, vornadmin::gUserIDAddRequest(m_doomed, "Again", ""));
    EXPECT_NE(0, edit.rc) << edit.xml;
    EXPECT_FALSE(hasKey(*m_two, m_doomed));
    EXPECT_FALSE(hasKey(*m_one, m_doomed));
}

TEST_F(ListenerSessions, AUserIDRemovedInOneSessionIsNotLostToTheOthersEdit) {
    ASSERT_EQ(0, request(*m_one, vornadmin::gUserIDAddRequest(m_target, "Second", "")).rc);
    ASSERT_EQ((std::vector<std::string>{"Target", "Second"}), userIDs(*m_two, m_target));
    ASSERT_EQ(0, request(*m_one, vornadmin::gUserIDRemoveRequest(m_target, "Second")).rc);
    // The second session certifies the key without having listed it since.
    vornadmin::SSignParams sign;
    sign.signedKey = m_target;
    sign.signingKey = m_signer;
    const SReply signed_ = request(*m_two, vornadmin::gKeySignRequest(sign));
    EXPECT_EQ(0, signed_.rc) << signed_.xml;
    for (auto* session : {&m_one, &m_two})
        EXPECT_EQ((std::vector<std::string>{"Target"}), userIDs(**session, m_target));
    // The certification landed on the primary user ID.
    bool certified = false;
    for (const SXmlElement& key : keys(*m_one))
        if (key.get("id") == m_target)
            for (const SXmlElement& signature :
                 key.children[0].children[0].child("signatures")->children)
                certified = certified || signature.get("signer-id") == m_signer;
    EXPECT_TRUE(certified);
}
