// What a hostile ring costs orxcmd: a ring holding one DSA key with a 16,384-bit group and a
// hundred forged self-signatures is listed within seconds, with no service to lean on, and the
// check results of a listing stay in a private file beside the ring for the next run.
#include "costly_keys.h"
#include "orxcmd_harness.h"

#include <chrono>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace orxtest;

namespace {

class OrxcmdKeyCost : public ::testing::Test {
protected:
    void SetUp() override {
        m_user = TestAccount::create("orxkc");
        if (!m_user)
            GTEST_SKIP() << TestAccount::skipReason();
    }

    SCmdResult list(double& seconds) {
        SCmdOptions options;
        options.env["ORXSDKD_SOCKET"] = m_user->file("no-service.sock");
        const auto started = std::chrono::steady_clock::now();
        SCmdResult r = runOrxcmd(*m_user, m_install, {"--key-list", "--with-colons"}, options);
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return r;
    }

    void writeRing(const std::string& bytes) {
        ScopedIdentity as(*m_user);
        ::mkdir(m_user->file(".zaf").c_str(), 0700);
        std::ofstream(m_user->file(".zaf/pubring.pkr"), std::ios::binary) << bytes;
    }

    static size_t linesOf(const std::string& text, const std::string& kind) {
        size_t n = 0;
        for (size_t at = 0; (at = text.find(kind + ":", at)) != std::string::npos; ++at)
            n += at == 0 || text[at - 1] == '\n' ? 1 : 0;
        return n;
    }

    std::unique_ptr<TestAccount> m_user;
    COrxInstall m_install;
};

} // namespace

TEST_F(OrxcmdKeyCost, ACostlyRingIsListedWithinSeconds) {
    writeRing(costly::attackRing());
    double seconds = 0;
    const SCmdResult r = list(seconds);
    ASSERT_EQ(0, r.rc) << r.err;
    // A hundred checks of 1.5 s each took minutes; refused, the listing takes a moment.
    EXPECT_LT(seconds, 15.0);
    EXPECT_EQ(1u, linesOf(r.out, "pub")) << r.out;
    EXPECT_EQ(0u, linesOf(r.out, "uid")) << "no forged self-signature counts";

    struct stat st {};
    ASSERT_EQ(0, ::lstat(m_user->file(".zaf/pubring.pkr.checks").c_str(), &st));
    EXPECT_EQ(m_user->uid(), st.st_uid);
    EXPECT_EQ(0600u, st.st_mode & 07777);
    const SCmdResult again = list(seconds);
    EXPECT_EQ(r.out, again.out);
}
