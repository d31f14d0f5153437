// orxgui with and without orxsdkd: the same keys summary either way; with the service, the
// session's rings went through it.
// ctest-labels: service
#include "listener_harness.h"
#include "service_harness.h"
#include "test_account.h"

#include <gtest/gtest.h>

using namespace orxtest;

namespace {

const std::string kData = std::string(ORX_TEST_DATA_DIR) + "/service/";

TEST(ServiceOrxgui, KeysSummaryIsTheSameWithAndWithoutTheService) {
    auto user = TestAccount::create("orxsg");
    if (!user)
        GTEST_SKIP() << TestAccount::skipReason();
    const std::string dir = user->file(".zaf");
    std::filesystem::create_directories(dir);
    std::filesystem::copy_file(kData + "pubring-small.pkr", dir + "/pubring.pkr");
    std::filesystem::copy_file(kData + "secring-small.skr", dir + "/secring.skr");
    for (const char* name : {"", "/pubring.pkr", "/secring.skr"})
        ASSERT_EQ(0, ::chown((dir + name).c_str(), user->uid(), user->gid()));
    ::chmod(dir.c_str(), 0700);

    auto summary = [&](const std::string& socket) {
        SListenerOptions options;
        options.local = false;
        options.environment["ORXSDKD_SOCKET"] = socket;
        CListenerProcess daemon(options);
        EXPECT_TRUE(daemon.start());
        // Two sessions one after the other: each opens the rings anew.
        vornadmin::SReply reply;
        for (int session = 0; session < 2; ++session) {
            auto connection = daemon.connect();
            loginOK(*connection, user->name(), user->password());
            reply = request(*connection, vornadmin::gKeysSummaryRequest());
        }
        EXPECT_EQ(0, daemon.stop());
        return reply;
    };
    ServiceProcess service;
    ASSERT_TRUE(service.ready());
    const vornadmin::SReply local = summary(service.dir() + "/nobody.sock");
    const vornadmin::SReply served = summary(service.socket());
    ASSERT_TRUE(local.ok()) << local.xml;
    EXPECT_EQ(local.xml, served.xml);
    EXPECT_GT(local.xml.size(), 2000u);
    const std::string log = service.logText();
    // The first session opened the user's rings (as the user) and passed them: verified once,
    // then served from the cache to the second session's open.
    EXPECT_GE(countOf(log, "verified"), 1u) << log;
    EXPECT_GE(countOf(log, "served from the cache"), 1u) << log;
}

} // namespace
