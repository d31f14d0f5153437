// The switches of orxcmd against the operation table: every refused switch is a real switch of the
// table that no command reads, and a real run of it is refused with exit 9 and its reason.
#include "engine_internal.h"
#include "orxcmd_harness.h"

#include <oozaf/ops.h>
#include <oozaf/throwable.h>

#include <gtest/gtest.h>
#include <orx/zafengine.h>
#include <set>

using namespace orxtest;
using namespace orxengine;

namespace {

struct SVornRun {
    int32_t rc = -1;
    std::string out;
    std::string err;
};

SVornRun vorn(ZAFvornContext* context, const std::string& command) {
    unsigned char* out = nullptr;
    unsigned char* err = nullptr;
    size_t outLength = 0;
    size_t errLength = 0;
    SVornRun run;
    run.rc = ZAFvorn(context, command.c_str(), nullptr, 0, &out, &outLength, &err, &errLength);
    if (out != nullptr)
        run.out.assign(reinterpret_cast<char*>(out), outLength);
    if (err != nullptr)
        run.err.assign(reinterpret_cast<char*>(err), errLength);
    ZAFvornFree(context, out);
    ZAFvornFree(context, err);
    return run;
}

} // namespace

TEST(OrxcmdSwitches, EveryRefusedSwitchIsATableSwitchThatNoCommandReads) {
    std::set<std::string> seen;
    for (const auto& refused : gRefusedSwitches()) {
        SCOPED_TRACE(refused.first);
        EXPECT_TRUE(seen.insert(refused.first).second) << "listed twice";
        oozaf::eZAFOp op{};
        try {
            op = oozaf::gOpFromCmdlineSwitch(refused.first);
        } catch (oozaf::CZAFThrowable* e) {
            delete e;
            ADD_FAILURE() << "not a switch of the operation table";
            continue;
        }
        EXPECT_EQ(refused.second, gRefusal(op));
        EXPECT_EQ(nullptr, gFindCommand(op));
        EXPECT_NE(std::string(), refused.second->reason);
    }
}

TEST(OrxcmdSwitches, OnlyThePartsLeftOutOnPurposeAreRefused) {
    const std::set<std::string> parts = {"mail and file transfer (SMTP/FTP)",
                                         "X.509 certificates and certificate authorities",
                                         "PKCS#10 requests",
                                         "self-decrypting archives",
                                         "the secure viewer",
                                         "MIME",
                                         "key servers",
                                         "sending keys to a key server",
                                         "deleting and disabling keys on a key server"};
    EXPECT_LE(gRefusedSwitches().size(), 57u);
    for (const auto& refused : gRefusedSwitches())
        EXPECT_EQ(1u, parts.count(refused.second->part)) << refused.first;
}

TEST(OrxcmdSwitches, ARefusedSwitchExitsNineNamingItsReason) {
    auto account = TestAccount::create("orxcw");
    if (!account)
        GTEST_SKIP() << TestAccount::skipReason();
    COrxInstall install;
    ::setenv("ORXDIR", install.path().c_str(), 1);
    ScopedIdentity as(*account);
    ZAFvornContext* context = nullptr;
    ASSERT_EQ(0, ZAFvornInit(&context));
    for (const auto& refused : gRefusedSwitches()) {
        SCOPED_TRACE(refused.first);
        // After a command, with an argument: the refusal comes first whatever surrounds it.
        const SVornRun r = vorn(context, "--key-list " + refused.first + " value");
        EXPECT_EQ(kZAFvorn_Unsupported, r.rc);
        EXPECT_EQ("orxcmd: " + gRefusalText(refused.first, *refused.second) + "\n", r.err);
        EXPECT_EQ("", r.out);
    }
    ZAFvornCleanUp(context);
}
