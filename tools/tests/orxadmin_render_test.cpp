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
    // Long key IDs where the listener sends them, else the short ones.
    EXPECT_EQ("Key ID              Type  Size  Created     Expires  Validity  Trust     Flags\n"
              "0x998877661A2B3C4D  RSA4  2048  2021-03-04  never    Valid     Implicit  secret\n"
              "  Fingerprint:  0123 4567 89AB CDEF 0123 4567 89AB CDEF 0123 4567\n"
              "  User ID:      Ann Example <ann@example.org> (primary) - 1 signature\n"
              "  User ID:      Ann (work) <ann@work.example> - 0 signatures\n"
              "  Subkey:       0x443322115E6F7081  2048 bits  2021-03-04 to 2031-03-04\n"
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

TEST(AdminRender, KeyServerSearchShowsWhatTheServerSaidEscaped) {
    // A server's description is nobody's word: its texts are escaped like any reply text, and
    // the short key ID is taken from a fingerprint or long key ID only.
    SXmlElement keys = gParseXml(
        "<keyserver-keys>"
        "<key id=\"0x3F0B96C28D1170AE42D90B6E7F33C1D45A1C9E02\" alg=\"RSA\" size=\"2048\" "
        "creation-time=\"2024-05-01\" expiration-time=\"N/A\" revoked=\"yes\" expired=\"no\" "
        "disabled=\"no\" more-userids=\"3\"><userid name=\"Alice&#x9;&#x7F;Example\"/>"
        "<userid name=\"alice@work.example\"/></key>"
        "<key id=\"0x00112233AABBCCDD\" alg=\"\" size=\"0\" creation-time=\"N/A\" "
        "expiration-time=\"2030-01-01\" revoked=\"no\" expired=\"yes\" disabled=\"yes\" "
        "more-userids=\"0\"/>"
        "<key id=\"0xnot-hex\" alg=\"DSA\" size=\"1024\" creation-time=\"2001-01-01\" "
        "expiration-time=\"N/A\" revoked=\"no\" expired=\"no\" disabled=\"no\" "
        "more-userids=\"0\"/>"
        "</keyserver-keys>");
    EXPECT_EQ("Key ID      Type  Size  Created     Expires  Flags\n"
              "0x5A1C9E02  RSA   2048  2024-05-01  never    revoked\n"
              "  Fingerprint:  3F0B 96C2 8D11 70AE 42D9 0B6E 7F33 C1D4 5A1C 9E02\n"
              "  User ID:      Alice\\x09\\x7FExample\n"
              "  User ID:      alice@work.example\n"
              "  User ID:      (3 more not shown)\n"
              "\n"
              "Key ID      Type  Size  Created  Expires     Flags\n"
              "0xAABBCCDD  ?     0     ?        2030-01-01  expired,disabled\n"
              "  Long key ID:  0x00112233AABBCCDD\n"
              "\n"
              "Key ID     Type  Size  Created     Expires  Flags\n"
              "0xnot-hex  DSA   1024  2001-01-01  never    -\n"
              "\n"
              "3 keys found.\n",
              render(gRenderKeyServerKeys, keys));
    EXPECT_EQ("0 keys found.\n", render(gRenderKeyServerKeys, gParseXml("<keyserver-keys/>")));
}

TEST(AdminRender, KeyServerFetchReportsEachKeyAndTheCounts) {
    SXmlElement report =
        gParseXml("<keyserver-report new=\"1\" changed=\"1\" unchanged=\"0\">"
                  "<key id=\"0x5A1C9E02\" userid=\"Alice &#x7F;Example\" outcome=\"new\"/>"
                  "<key id=\"0x0BADF00D\" userid=\"\" outcome=\"changed\"/></keyserver-report>");
    EXPECT_EQ("key 0x5A1C9E02 Alice \\x7FExample: new\n"
              "key 0x0BADF00D: changed\n"
              "1 new, 1 changed, 0 unchanged\n",
              render(gRenderKeyServerReport, report));
}
