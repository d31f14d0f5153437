// Files that are not files, through the server facade: a FIFO, a device, a folder, a dangling
// link, a planted link and an over-large file in the place of each file a user controls (the
// configuration layers and their Include lines, the rings, the groups file, the seed, the
// transaction log). A server comes up or fails at once, with the reason of the file and a cause
// that says what the file is; nothing is created or written through a link.
#include "bounded_call.h"
#include "odd_files.h"
#include "vornserver_test_util.h"

#include <oozaf/cfgfile.h>
#include <oozaf/filemanager.h>

#include <map>

using namespace oozaf;
using namespace orxtest;

namespace {

const std::string kSmallRing = std::string(ORX_TEST_DATA_DIR) + "/service/pubring-small.pkr";
// The server came up (no failure reason).
constexpr eReason kOpens = eReasonNone;

class VornServerUserFiles : public CVornServerFixture {
protected:
    // Places `kind` at `path` as the account (as root for the device node); a planted link
    // points to `target`.
    void place(OddFile kind, const std::string& path, uint64_t bound, const std::string& target) {
        if (kind == OddFile::Device)
            asRoot([&] { ASSERT_TRUE(placeOddFile(kind, path, bound, target)); });
        else
            ASSERT_TRUE(placeOddFile(kind, path, bound, target)) << nameOf(kind) << " " << path;
    }
    // Opens a server at once; the reason it failed with (kOpens when it came up) and, on a
    // failure, the detailed message.
    eReason openPromptly(const std::string& odd, std::string& detail) {
        eReason reason = kOpens;
        EXPECT_TRUE(returnsWithin(
            30,
            [&] {
                try {
                    CServerPtr server = open();
                } catch (CZAFServerOpenException* e) {
                    std::unique_ptr<CZAFServerOpenException> guard(e);
                    reason = e->getReason();
                    detail = e->getDetailedMessage();
                }
            },
            fifoWriter(odd)))
            << "the server waited on " << odd;
        return reason;
    }
};

struct SPlace {
    const char* what;
    uint64_t bound;
    // Where the odd file goes, and the user's configuration that makes the server use it.
    std::function<std::string()> path;
    std::function<void(const std::string&)> configure;
    // A good file of this kind for the planted link to point to.
    std::string goodContent;
    std::map<OddFile, eReason> expected;
};

TEST_F(VornServerUserFiles, EveryFileAUserControlsIsOpenedWithoutWaitingFollowingOrSwallowing) {
    const uint64_t cfgBound = CVornServerCfgFile::kMaxFileSize;
    const std::string ring = read(kSmallRing);
    auto confLine = [this](const std::string& line) {
        return [this, line](const std::string& odd) { writeUserConf(line + odd + "\n"); };
    };
    auto inHome = [this](const char* name) { return [this, name] { return home(name); }; };
    // The same reason for every odd file, except where `apart` says otherwise.
    auto fails = [](eReason reason, std::map<OddFile, eReason> apart = {}) {
        for (OddFile kind : allOddFiles())
            apart.emplace(kind, reason);
        return apart;
    };
    // Configuration files may be links the user made (update keeps them); what the server finds
    // by its own names and replaces by renaming (rings, groups, seed) may not.
    const std::vector<SPlace> places = {
        {"user configuration file", cfgBound,
         [this] {
             std::filesystem::create_directories(personal());
             return personal("zaf.cfg");
         },
         [](const std::string&) {}, "Armor=on\n",
         fails(eReasonUserConfRead,
               {{OddFile::DanglingLink, eReasonTemplateCopy}, {OddFile::PlantedLink, kOpens}})},
        {"included file", cfgBound, inHome("included.cfg"), confLine("Include "), "Armor=on\n",
         fails(eReasonUserConfRead, {{OddFile::PlantedLink, kOpens}})},
        {"public ring", 512u << 20, inHome("pub.pkr"), confLine("Pubring="), ring,
         fails(eReasonKeyDBOpen, {{OddFile::DanglingLink, eReasonNewKeyRings}})},
        {"secret ring", 512u << 20, inHome("sec.skr"), confLine("Secring="), "",
         fails(eReasonKeyDBOpen, {{OddFile::DanglingLink, eReasonNewKeyRings}})},
        {"groups file", 8u << 20, inHome("groups.zgr"), confLine("GroupsFile="), "ZAFGROUPS 1\n",
         fails(eReasonGroupsFile)},
        {"seed file", 64u << 10, inHome("seed.bin"), confLine("Randseed="), std::string(1024, 's'),
         fails(eReasonRandSeed)},
    };
    // What the cause says: the file manager's words for configuration files, the toolkit's for
    // the rest.
    const std::map<OddFile, std::string> saidForConfiguration = {
        {OddFile::Fifo, "is a FIFO, not a regular file"},
        {OddFile::Device, "is a character device, not a regular file"},
        {OddFile::Folder, "is a folder, not a regular file"},
        {OddFile::PlantedLink, "is a symbolic link"},
        {OddFile::TooLarge, "is larger than 4194304 bytes"},
    };
    const std::map<OddFile, std::string> saidByToolkit = {
        {OddFile::Fifo, "Not a regular file"},
        {OddFile::Device, "Not a regular file"},
        {OddFile::Folder, "Not a regular file"},
        {OddFile::PlantedLink, "symbolic link"},
        {OddFile::TooLarge, "larger than the toolkit reads"},
    };
    for (const SPlace& p : places) {
        for (OddFile kind : allOddFiles()) {
            SCOPED_TRACE(std::string(p.what) + " is " + nameOf(kind));
            std::filesystem::remove_all(personal());
            std::filesystem::create_directories(personal());
            write(home("good"), p.goodContent);
            const std::string odd = p.path();
            p.configure(odd);
            place(kind, odd, p.bound, home("good"));
            std::string detail;
            const eReason reason = openPromptly(odd, detail);
            EXPECT_EQ(p.expected.at(kind), reason) << detail;
            if (reason != kOpens && kind != OddFile::DanglingLink) {
                const auto& said =
                    reason == eReasonUserConfRead ? saidForConfiguration : saidByToolkit;
                // An Include line naming a folder is refused as a line of its own.
                const bool includedFolder =
                    kind == OddFile::Folder && std::string(p.what) == "included file";
                EXPECT_NE(std::string::npos,
                          detail.find(includedFolder ? "must not be a directory" : said.at(kind)))
                    << detail;
            }
            // Nothing was created through a link, and a link stays a link.
            EXPECT_FALSE(std::filesystem::exists(odd + ".nowhere"));
            if (kind == OddFile::DanglingLink || kind == OddFile::PlantedLink) {
                EXPECT_TRUE(std::filesystem::is_symlink(odd));
            }
            EXPECT_EQ(p.goodContent, read(home("good")));
            asRoot([&] { std::filesystem::remove_all(odd); });
        }
    }
}

// Layers the server may do without (the environment file, the site default and policy files)
// only warn when they are no file, and the server comes up.
TEST_F(VornServerUserFiles, OptionalLayersThatAreNoFileOnlyWarn) {
    for (OddFile kind : {OddFile::Fifo, OddFile::Device, OddFile::Folder, OddFile::TooLarge}) {
        for (const bool site : {false, true}) {
            SCOPED_TRACE(std::string(nameOf(kind)) + (site ? " as site default" : " as zaf.env"));
            const std::string odd = site ? this->site("zaf-default.cfg") : home("zaf.env");
            if (site)
                asRoot([&] {
                    ASSERT_TRUE(placeOddFile(kind, odd, CVornServerCfgFile::kMaxFileSize, ""));
                    ::chmod(odd.c_str(), 0666); // the account may open it
                });
            else
                place(kind, odd, CVornServerCfgFile::kMaxFileSize, "");
            std::string detail;
            EXPECT_EQ(kOpens, openPromptly(odd, detail)) << detail;
            EXPECT_TRUE(logged("Refused to open file " + odd)) << log();
            asRoot([&] { std::filesystem::remove_all(odd); });
        }
    }
}

// An open server asked to change the configuration or read the transaction log never waits on
// a FIFO put in the place of the file meanwhile.
TEST_F(VornServerUserFiles, ConfigurationChangesAndTheLogRefuseAFifoAtOnce) {
    writeUserConf("LogFile=" + home("trans.log") + "\n");
    CServerPtr server = open();
    ASSERT_TRUE(placeOddFile(OddFile::Fifo, personal("zaf.cfg"), 0, ""));
    ASSERT_TRUE(placeOddFile(OddFile::Fifo, home("trans.log"), 0, ""));
    CVornServerCfgUserPart change(nullptr);
    change.putValue(eZAFOpArmor, true);
    EXPECT_TRUE(returnsWithin(
        30,
        [&] {
            auto e = expectThrow<CZAFPropertiesIOException>(
                [&] { server->mergeUserConfChanges(change); });
            ASSERT_TRUE(e);
            EXPECT_NE(std::string::npos, e->getDetailedMessage().find("is a FIFO"));
        },
        fifoWriter(personal("zaf.cfg"))));
    EXPECT_TRUE(returnsWithin(
        30,
        [&] {
            std::vector<SVornLogEntry> entries;
            auto e = expectThrow<CZAFLogException>([&] { server->getLog(entries); });
            ASSERT_TRUE(e);
            EXPECT_NE(std::string::npos, e->getDetailedMessage().find("is a FIFO"));
        },
        fifoWriter(home("trans.log"))));
    struct stat st {};
    ASSERT_EQ(0, ::lstat(personal("zaf.cfg").c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode)); // not replaced by the refused update
}

} // namespace
