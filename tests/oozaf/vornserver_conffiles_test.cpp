// Tests of the shipped configuration files: the user template and the site samples read
// cleanly in the layer they are meant for, and the template offers every directive a user may
// set.
#include "expect_throw.h"
#include "zaf_temp_dir.h"

#include <oozaf/mem.h>
#include <oozaf/ops.h>
#include <oozaf/throwable.h>
#include <oozaf/vornserverconf.h>

#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <set>
#include <sstream>
#include <string>

using namespace oozaf;

namespace {

const std::string kConfDir = std::string(ORX_TEST_DATA_DIR) + "/../../conf";

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// Directive names compared the way the reader matches them.
std::string key(std::string name) {
    std::string out;
    for (char c : name)
        if (c != '-')
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

class ConfFiles : public ::testing::Test {
protected:
    void SetUp() override { m_blocks = gObjMemoryManager().getBlockCount(); }
    void TearDown() override { EXPECT_EQ(m_blocks, gObjMemoryManager().getBlockCount()); }

private:
    std::size_t m_blocks = 0;
};

TEST_F(ConfFiles, TemplateReadsCleanlyAndSetsNothing) {
    CVornServerCfgUserPart part(nullptr);
    CVornServerCfgFile reader;
    reader.read(kConfDir + "/zaf-template.cfg", part, false);
    EXPECT_TRUE(part.getConfigurationMap().empty());
    EXPECT_TRUE(part.getAliases().empty());
}

TEST_F(ConfFiles, TemplateOffersEveryUserDirectiveWithAValueThatReads) {
    const std::string text = slurp(kConfDir + "/zaf-template.cfg");
    ASSERT_FALSE(text.empty());

    // Uncomment every commented setting ("#Directive=value") and read the result.
    std::string uncommented;
    std::set<std::string> offered;
    std::istringstream lines(text);
    std::string line;
    const std::regex setting("^#([A-Za-z][A-Za-z0-9-]*)=.*$");
    std::smatch match;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, match, setting)) {
            offered.insert(key(match[1]));
            line = line.substr(1);
        }
        uncommented += line + "\n";
    }
    CVornServerCfgUserPart part(nullptr);
    CVornServerCfgFile reader;
    reader.readText(uncommented, part, false);

    for (unsigned int i = 0; i < gOpsCount(); ++i) {
        const SZAFOpStruct& row = gOps[i];
        if (row.directive == nullptr || row.argType == eArgTypeNone || row.op == eZAFOpInclude1 ||
            row.op == eZAFOpInclude2)
            continue;
        EXPECT_EQ(1u, offered.count(key(row.directive))) << row.directive << " is not offered";
        EXPECT_NE(nullptr, part.getValues(row.op)) << row.directive << " did not read";
    }
}

TEST_F(ConfFiles, SiteDefaultSampleReadsAsADefaultLayer) {
    CVornServerCfg cfg;
    CVornServerCfgUserPart part(&cfg);
    CVornServerCfgFile reader;
    reader.read(kConfDir + "/zaf-default.cfg.sample", part, false);
    cfg.merge(part);
    bool fast = false;
    ASSERT_TRUE(cfg.getUseFastKeyGen(fast));
    EXPECT_TRUE(fast);
    ZAFCipherAlgorithm cipher = kZAFCipherAlgorithm_IDEA;
    ASSERT_TRUE(cfg.getCipher(cipher));
    EXPECT_EQ(kZAFCipherAlgorithm_AES256, cipher);
    std::string target;
    EXPECT_TRUE(cfg.getAliasTarget("-kl", target));
    EXPECT_EQ("--key-list", target);
    // A site default names no personal files: those belong to each user.
    std::string path;
    EXPECT_FALSE(cfg.getPubringFilename(path));
    EXPECT_FALSE(cfg.getLogFilename(path));
}

TEST_F(ConfFiles, SitePolicySampleReadsAsAPolicyLayer) {
    CVornServerCfgPolicyPart part(nullptr);
    CVornServerCfgFile reader;
    reader.read(kConfDir + "/zaf-policy.cfg.sample", part, false);
    EXPECT_NE(nullptr, part.getValue(eZAFOpCipher));
}

} // namespace
