// Tests of the console's tables, from replies written the way the listener writes them.
#include "adminclient.h"
#include "expect_throw.h"
#include "orxadmin_render.h"
#include "orxadmin_run.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>

using namespace vornadmin;

namespace {

SReply loadReply(const std::string& name) {
    return gParseReply(gReadFile(std::string(ORX_ADMIN_TEST_DATA) + "/" + name, 1 << 20));
}

std::string render(void (*renderer)(const SXmlElement&, std::ostream&),
                   const SXmlElement& element) {
    std::ostringstream out;
    renderer(element, out);
    return out.str();
}

} // namespace

TEST(AdminRender, KeysTableShowsEveryKeyWithItsDetails) {
    SReply reply = loadReply("keys-summary-reply.xml");
    ASSERT_NE(nullptr, reply.body());
    EXPECT_EQ("Key ID      Type  Size  Created     Expires  Validity  Trust     Flags\n"
              "0x1A2B3C4D  RSA4  2048  2021-03-04  never    Valid     Implicit  secret\n"
              "  Fingerprint:  0123 4567 89AB CDEF 0123 4567 89AB CDEF 0123 4567\n"
              "  User ID:      Ann Example <ann@example.org> (primary) - 1 signature\n"
              "  User ID:      Ann (work) <ann@work.example> - 0 signatures\n"
              "  Subkey:       0x5E6F7081  2048 bits  2021-03-04 to 2031-03-04\n"
              "  Revoker:      0x0BADF00D\n"
              "  ADK:          0xFEEDFACE\n"
              "\n"
              "Key ID      Type  Size  Created     Expires  Validity  Trust  Flags\n"
              "0x00C0FFEE  DSS   1024  2001-01-01  never    Invalid   Never  "
              "revoked,disabled,photo\n"
              "  Fingerprint:  AAAA BBBB CCCC DDDD EEEE FFFF 0000 1111 2222 3333\n"
              "  User ID:      Bob\\x09Tab (primary) - 2 signatures\n"
              "  User ID:      [image] - 0 signatures\n",
              render(gRenderKeys, *reply.body()));
}

TEST(AdminRender, EmptyListsSaySo) {
    EXPECT_EQ("No keys.\n", render(gRenderKeys, gParseXml("<keys/>")));
    EXPECT_EQ("The transaction log is empty.\n", render(gRenderLog, gParseXml("<transactions/>")));
    EXPECT_EQ("The configuration file sets nothing.\n",
              render(gRenderConfiguration,
                     gParseXml("<configuration><aliases/><values/></configuration>")));
}

TEST(AdminRender, LogAndSwitchesKeepTheListenerOrder) {
    SXmlElement log =
        gParseXml("<transactions>"
                  "<transaction start=\"2024-01-02 03:04:05.006\" end=\"2024-01-02 03:04:06.000\" "
                  "username=\"ann\" op=\"encrypt\" cmdline=\"--encrypt a.txt\" rc=\"0\"/>"
                  "<transaction start=\"2024-01-03 00:00:00.000\" end=\"2024-01-03 00:00:01.500\" "
                  "username=\"bob\" op=\"sign\" cmdline=\"--sign\" rc=\"3\"/></transactions>");
    EXPECT_EQ(
        "Start                    End                      User  Operation  RC  Command line\n"
        "2024-01-02 03:04:05.006  2024-01-02 03:04:06.000  ann   encrypt    0   "
        "--encrypt a.txt\n"
        "2024-01-03 00:00:00.000  2024-01-03 00:00:01.500  bob   sign       3   --sign\n",
        render(gRenderLog, log));
    EXPECT_EQ("--wipe\n--encrypt\n",
              render(gRenderSwitches,
                     gParseXml("<switches><switch id=\"--wipe\"/><switch id=\"--encrypt\"/>"
                               "</switches>")));
}

TEST(AdminRender, ConfigurationListsAliasesThenValues) {
    SXmlElement configuration =
        gParseXml("<configuration><aliases><alias code=\"ks\" command=\"--keys --all\"/>"
                  "</aliases><values><PubRing type=\"string\">/home/ann/my ring.pkr</PubRing>"
                  "<Verbose type=\"boolean\">yes</Verbose></values></configuration>");
    EXPECT_EQ("Alias ks  =  --keys --all\n"
              "PubRing   =  /home/ann/my ring.pkr\n"
              "Verbose   =  yes\n",
              render(gRenderConfiguration, configuration));
}

TEST(AdminRender, ControlCharactersNeverReachTheTerminal) {
    EXPECT_EQ("a\\x1B[31mb\\x7F\\x0A", gPrintable("a\x1b[31mb\x7f\n"));
    EXPECT_EQ("J\xc3\xbcrgen", gPrintable("J\xc3\xbcrgen"));
    EXPECT_EQ("two\nlines\tand \\x1B", gPrintable("two\nlines\tand \x1b", true));
}
