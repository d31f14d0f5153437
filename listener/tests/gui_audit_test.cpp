// Tests of the transaction log lines the listener writes: what a request's line says (secrets
// masked, bounded, one line), that the log's reader reads every line back, and how the file is
// opened (no link followed, nothing but a regular file, mode 0600, whole lines).
#include "gui_test_support.h"
#include "zaf_temp_dir.h"

#include <oozaf/vornserver.h>
#include <vorngui/gui.h>
#include <vorngui/guiaudit.h>
#include <vorngui/guiprotocol.h>

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace vorngui;

namespace {

// A request parsed as the session parses it.
struct Parsed {
    explicit Parsed(const std::string& text) : client(nullptr) {
        document.reset(client.parseCommand(text));
    }
    CGUIClient client;
    CGUIDocumentGuard document;
};

std::vector<std::string> lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

SGUIAuditLine sample(const std::string& commandLine, int rc = 0) {
    SGUIAuditLine line;
    line.start = "2024-12-08 10:11:12.345";
    line.end = "2024-12-08 10:11:13.456";
    line.username = "alice";
    line.operation = "key-sign";
    line.commandLine = commandLine;
    line.rc = rc;
    return line;
}

} // namespace

TEST(GuiAudit, ARequestsLineNamesTheClientAndItsValuesWithSecretsMasked) {
    Parsed sign(
        "<command type=\"key-sign\"><data signed-key=\"0x1234ABCD\" signing-key=\"0x5678\" "
        "sig-type=\"Exportable\" regexp=\"\" passphrase=\"s3cret\" depth=\"0\"/></command>");
    const std::string text =
        gAuditCommandLine("203.0.113.7 (web)", "key-sign", sign.document.get());
    EXPECT_EQ(0u, text.find("orxgui from 203.0.113.7 (web): key-sign ")) << text;
    EXPECT_NE(std::string::npos, text.find("signed-key='0x1234ABCD'")) << text;
    EXPECT_NE(std::string::npos, text.find("passphrase='***'")) << text;
    EXPECT_EQ(std::string::npos, text.find("s3cret")) << text;

    // Elements below "data" are named with their attributes; hyphenated secrets are masked,
    // quotes, TABs and line breaks never reach the line.
    Parsed add("<command type=\"key-add\"><data x509=\"no\" with-private=\"no\" "
               "new-passphrase=\"hidden\"><file size=\"3\">QUJD</file></data>"
               "<note a=\"b&quot;c&#9;d&#10;e\"/></command>");
    const std::string added = gAuditCommandLine("127.0.0.1", "key-add", add.document.get());
    EXPECT_NE(std::string::npos, added.find(" file size='3'")) << added;
    EXPECT_NE(std::string::npos, added.find("new-passphrase='***'")) << added;
    EXPECT_EQ(std::string::npos, added.find("hidden")) << added;
    EXPECT_EQ(std::string::npos, added.find("QUJD")) << added;
    Parsed odd("<command type=\"conf-set\"><data a=\"b&quot;c&#9;d&#10;e\"/></command>");
    const std::string oddText = gAuditCommandLine("127.0.0.1", "conf-set", odd.document.get());
    EXPECT_NE(std::string::npos, oddText.find("a='b'c?d?e'")) << oddText;

    // A request that did not parse is named by its type; a long one is cut.
    EXPECT_EQ("orxgui from local: key-gen", gAuditCommandLine("local", "key-gen", nullptr));
    Parsed big("<command type=\"userid-add\"><data id=\"0x1\" userid=\"" + std::string(5000, 'u') +
               "\" passphrase=\"p\"/></command>");
    const std::string cut = gAuditCommandLine("127.0.0.1", "userid-add", big.document.get());
    EXPECT_EQ(kMaxAuditText, cut.size());
    EXPECT_EQ("...", cut.substr(cut.size() - 3));
}

TEST(GuiAudit, EveryLineReadsBackThroughTheLogsReader) {
    ZafTempDir dir;
    const std::string path = dir.file("transactions.log");
    const std::vector<SGUIAuditLine> written = {
        sample("orxgui from 127.0.0.1: key-sign passphrase='***'"),
        sample("with\ttab and \"quotes\" and\nbreak", 8),
        sample("", 12),
    };
    for (const SGUIAuditLine& line : written)
        ASSERT_EQ("", gAppendAuditLine(path, line));
    const std::vector<std::string> read = lines(path);
    ASSERT_EQ(written.size(), read.size());
    for (size_t i = 0; i < read.size(); ++i) {
        SCOPED_TRACE(read[i]);
        oozaf::SVornLogEntry entry;
        ASSERT_TRUE(oozaf::gParseVornLogLine(read[i], entry));
        EXPECT_EQ(written[i].start, entry.start.formatYMDHMSMs(false));
        EXPECT_EQ("alice", entry.username);
        EXPECT_EQ("key-sign", entry.op);
        EXPECT_EQ(written[i].rc, entry.rc);
    }
    oozaf::SVornLogEntry second;
    ASSERT_TRUE(oozaf::gParseVornLogLine(read[1], second));
    EXPECT_EQ("with?tab and 'quotes' and?break", second.cmdline);
    struct stat info {};
    ASSERT_EQ(0, ::stat(path.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 0777);
}

TEST(GuiAudit, OnlyARegularFileIsWrittenAndWholeLinesFromManyWriters) {
    ZafTempDir dir;
    // A link is not followed, a FIFO is not waited on, a folder is refused.
    const std::string target = dir.file("target");
    std::ofstream(target) << "untouched\n";
    ASSERT_EQ(0, ::symlink(target.c_str(), dir.file("link").c_str()));
    EXPECT_NE("", gAppendAuditLine(dir.file("link"), sample("x")));
    EXPECT_EQ("untouched\n", lines(target).at(0) + "\n");
    ASSERT_EQ(0, ::mkfifo(dir.file("fifo").c_str(), 0600));
    EXPECT_NE("", gAppendAuditLine(dir.file("fifo"), sample("x")));
    ASSERT_EQ(0, ::mkdir(dir.file("folder").c_str(), 0700));
    EXPECT_NE("", gAppendAuditLine(dir.file("folder"), sample("x")));

    // Writers at once never tear or mix lines.
    const std::string path = dir.file("shared.log");
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w)
        writers.emplace_back([&, w] {
            for (int i = 0; i < 100; ++i)
                gAppendAuditLine(path, sample(std::string(2000, static_cast<char>('a' + w))));
        });
    for (std::thread& writer : writers)
        writer.join();
    const std::vector<std::string> read = lines(path);
    ASSERT_EQ(400u, read.size());
    for (const std::string& line : read) {
        oozaf::SVornLogEntry entry;
        ASSERT_TRUE(oozaf::gParseVornLogLine(line, entry));
        EXPECT_EQ(std::string(2000, entry.cmdline[0]), entry.cmdline);
    }
}
