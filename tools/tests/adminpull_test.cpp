// Tests of the pull reader: it gives the same tree as the XML library's parser for what the
// listener writes, whatever pieces the bytes arrive in; it refuses everything outside its subset
// and every malformed document; its memory stays within the token limit on a long reply; and the
// keys table rendered while reading matches the one rendered from the tree.
#include "adminclient.h"
#include "adminpull.h"
#include "expect_throw.h"
#include "orxadmin_render.h"
#include "orxadmin_run.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>
#include <string>

using namespace vornadmin;

namespace {

SXmlElement pullTree(const std::string& text, size_t piece = 1 << 20) {
    CXmlPullReader reader(gStringSource(text, piece));
    EXPECT_EQ(CXmlPullReader::eEvent::eStart, reader.next());
    SXmlElement root = reader.readElement();
    EXPECT_EQ(CXmlPullReader::eEvent::eDone, reader.next());
    return root;
}

std::string fixture() {
    return gReadFile(std::string(ORX_ADMIN_TEST_DATA) + "/keys-summary-reply.xml", 1 << 20);
}

// The message of the CAdminException `f` throws (a test failure when it throws none).
template <class F> std::string refusal(F&& f) {
    std::unique_ptr<CAdminException> e = expectThrow<CAdminException>(std::forward<F>(f));
    return e ? e->getMessage() : std::string("(nothing thrown)");
}

#define EXPECT_REFUSED(call, text) EXPECT_NE(std::string::npos, refusal([&] { call; }).find(text))

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>";

} // namespace

TEST(AdminPull, ReadsTheListenerReplyAsTheLibraryDoesInAnyPieces) {
    const std::string text = fixture();
    const SXmlElement expected = gParseXml(text);
    for (size_t piece : {size_t(1), size_t(7), size_t(4096), text.size()})
        EXPECT_TRUE(gSameXml(expected, pullTree(text, piece))) << "pieces of " << piece;

    // References, white space in attribute values and line ends, as XML defines them.
    for (const std::string& doc :
         {kDecl + "<a x=\"1&#9;2\t3\r\n4\" y='&quot;&apos;&lt;&gt;&amp;'>t&#13;u\r\nv\rw</a>",
          std::string("\xEF\xBB\xBF<a b=\"&#x10FFFF;&#xe9;\xC3\xA9 >\"/>"),
          std::string("<?xml version='1.0'?>\n<r:s\n  a-b.c = \"]]>\" ><q/>x&gt;y<q></q></r:s>\n"),
          std::string("<a>\x7F\xF0\x9F\x94\x91</a >")}) {
        EXPECT_TRUE(gSameXml(gParseXml(doc), pullTree(doc, 3))) << doc;
    }
}

TEST(AdminPull, RefusesWhatTheListenerNeverWritesAndWhatIsNotWellFormed) {
    for (const std::string& doc : {
             std::string(""),
             std::string("   "),
             std::string("<!DOCTYPE a [<!ENTITY e \"x\">]><a>&e;</a>"),
             std::string("<a><!-- note --></a>"),
             std::string("<a><![CDATA[x]]></a>"),
             std::string("<a><?pi x?></a>"),
             std::string(" <?xml version=\"1.0\"?><a/>"),
             std::string("<?xml version=\"1.1\"?><a/>"),
             std::string("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a/>"),
             std::string("<a></b>"),
             std::string("<a><b></a></b>"),
             std::string("<a x=\"1\" x=\"2\"/>"),
             std::string("<a x=\"1\"y=\"2\"/>"),
             std::string("<a x=1/>"),
             std::string("<a x=\"<\"/>"),
             std::string("<a>&nbsp;</a>"),
             std::string("<a>&#1;</a>"),
             std::string("<a>&#xD800;</a>"),
             std::string("<a>&#x110000;</a>"),
             std::string("<a>&amp</a>"),
             std::string("<a>\x01</a>"),
             std::string("<a>\xC0\xAF</a>"),
             std::string("<a>\xED\xA0\x80</a>"),
             std::string("<a>\xEF\xBF\xBE</a>"),
             std::string("<a>\xE2\x82</a>"),
             std::string("<a>x]]>y</a>"),
             std::string("x<a/>"),
             std::string("<a/>x"),
             std::string("<a/><b/>"),
             std::string("<a>"),
             std::string("<a"),
             std::string("<a x=\"1"),
             std::string("<1a/>"),
             std::string("<a><b/"),
         }) {
        EXPECT_REFUSED(pullTree(doc, 2), "Invalid XML") << doc;
    }
}

TEST(AdminPull, BoundsNestingTokensAndAttributes) {
    std::string deep;
    for (unsigned int i = 0; i < kXmlMaxDepth; ++i)
        deep += "<a>";
    for (unsigned int i = 0; i < kXmlMaxDepth; ++i)
        deep += "</a>";
    EXPECT_NO_THROW(pullTree(deep));
    EXPECT_REFUSED(pullTree("<a>" + deep + "</a>"), "nesting deeper than 64");

    const std::string longValue = "<a x=\"" + std::string(5000, 'v') + "\"/>";
    {
        CXmlPullReader reader(gStringSource(longValue), 4096);
        EXPECT_REFUSED(reader.next(), "longer than 4096 bytes");
    }
    {
        const std::string longText = "<a>" + std::string(5000, 't') + "</a>";
        CXmlPullReader reader(gStringSource(longText), 4096);
        reader.next();
        EXPECT_REFUSED(reader.next(), "longer than 4096 bytes");
    }
    std::string many = "<a";
    for (size_t i = 0; i <= kPullMaxAttributes; ++i)
        many += " a" + std::to_string(i) + "=\"\"";
    EXPECT_REFUSED(pullTree(many + "/>"), "more than 256 attributes");
}

TEST(AdminPull, AReplyOfAnyLengthPassesThroughASmallTokenLimit) {
    // 200,000 keys (about 20 MB) through a 4 KiB token limit: the reader never holds more than
    // one tag, and the table is written key by key.
    const size_t count = 200000;
    const std::string key =
        "<key id=\"0x1A2B3C4D\" alg=\"RSA\" size=\"2048\"><userids><userid name=\"A\" "
        "type=\"User ID\"><signatures><signature signer-id=\"0x1\"/><signature "
        "signer-id=\"0x2\"/></signatures></userid></userids><subkeys/></key>\n";
    size_t produced = 0;
    std::string head = kDecl + "<response rc=\"0\"><error/><keys>";
    std::string tail = "</keys></response>";
    size_t stage = 0;
    size_t offset = 0;
    CXmlPullReader reader(
        [&](char* buffer, size_t capacity) -> size_t {
            for (;;) {
                const std::string& part = stage == 0 ? head : stage == 1 ? key : tail;
                if (stage == 3)
                    return 0;
                if (offset == part.size()) {
                    offset = 0;
                    if (stage != 1 || ++produced == count)
                        ++stage;
                    continue;
                }
                const size_t n = std::min(capacity, part.size() - offset);
                std::memcpy(buffer, part.data() + offset, n);
                offset += n;
                return n;
            }
        },
        4096);
    const SReplyHead replyHead = gReadReplyHead(reader);
    ASSERT_TRUE(replyHead.ok());
    ASSERT_EQ("keys", replyHead.body);
    struct SCountingBuffer : std::streambuf {
        size_t lines = 0;
        int overflow(int c) override {
            lines += c == '\n';
            return c;
        }
    } counting;
    std::ostream out(&counting);
    EXPECT_EQ(count, gRenderKeys(reader, out));
    gFinishReply(reader);
    // Three lines per key and a blank line between two.
    EXPECT_EQ(count * 4 - 1, counting.lines);
}

TEST(AdminPull, StreamedKeysTableMatchesTheTreeOne) {
    const std::string text = fixture();
    std::ostringstream fromTree;
    gRenderKeys(*gParseReply(text).body(), fromTree);
    CXmlPullReader reader(gStringSource(text, 5));
    const SReplyHead head = gReadReplyHead(reader);
    ASSERT_TRUE(head.hasBody);
    std::ostringstream streamed;
    EXPECT_EQ(2u, gRenderKeys(reader, streamed));
    gFinishReply(reader);
    EXPECT_EQ(fromTree.str(), streamed.str());

    // Only the first container of a kind counts, elements the table does not know are passed
    // over, and so is anything after the body.
    const std::string odd =
        kDecl + "<response rc=\"0\"><error>e<x>no</x>f</error><keys><other><key/></other>"
                "<key id=\"0x1\"><userids><userid name=\"U\"><x/><signatures><signature/>"
                "<signature/><note/></signatures><signatures><signature/></signatures></userid>"
                "</userids><userids><userid name=\"V\"/></userids><adks><adk id=\"0x2\"/></adks>"
                "</key></keys><tail><key/></tail></response>";
    std::ostringstream oddTree;
    gRenderKeys(*gParseReply(odd).body(), oddTree);
    CXmlPullReader oddReader(gStringSource(odd));
    const SReplyHead oddHead = gReadReplyHead(oddReader);
    EXPECT_EQ("ef", oddHead.error);
    std::ostringstream oddStreamed;
    EXPECT_EQ(1u, gRenderKeys(oddReader, oddStreamed));
    gFinishReply(oddReader);
    EXPECT_EQ(oddTree.str(), oddStreamed.str());
    EXPECT_NE(std::string::npos, oddStreamed.str().find("U - 2 signatures"));
}

TEST(AdminPull, ReplyHeadIsCheckedAsTheTreeReaderChecksIt) {
    for (const std::string& doc : {std::string("<answer rc=\"0\"><error/></answer>"),
                                   std::string("<response><error/></response>"),
                                   std::string("<response rc=\"-1\"><error/></response>"),
                                   std::string("<response rc=\"0\"><keys/><error/></response>"),
                                   std::string("<response rc=\"0\"/>")}) {
        CXmlPullReader reader(gStringSource(doc));
        EXPECT_NE("(nothing thrown)", refusal([&] { gReadReplyHead(reader); })) << doc;
        EXPECT_NE("(nothing thrown)", refusal([&] { gParseReply(doc); })) << doc;
    }
    const std::string refused = "<response rc=\"12\">\n<error>Bad\nthing</error>\n</response>";
    CXmlPullReader reader(gStringSource(refused));
    const SReplyHead head = gReadReplyHead(reader);
    EXPECT_EQ(12, head.rc);
    EXPECT_EQ("Bad\nthing", head.error);
    EXPECT_FALSE(head.hasBody);
    gFinishReply(reader);
}
