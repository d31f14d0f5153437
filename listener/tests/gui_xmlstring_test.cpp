// Tests of the conversions between byte strings and the XML library's strings.
#include <vorngui/xmlstring.h>

#include <gtest/gtest.h>
#include <string>

using vorngui::gFromXML;
using vorngui::gToXML;

TEST(GuiXmlString, Utf8TextSurvivesTheRoundTrip) {
    const std::string texts[] = {"",
                                 "plain ASCII <tag> & \"quotes\"",
                                 "J\xC3\xBCrgen M\xC3\xBCller <jm@example.org>",
                                 "\xE2\x82\xAC 100",
                                 "\xF0\x9F\x94\x91 key",
                                 "tab\tline\nfeed\r"};
    for (const std::string& text : texts)
        EXPECT_EQ(text, gFromXML(gToXML(text).c_str())) << text;
    EXPECT_EQ(u"\U0001F511", gToXML("\xF0\x9F\x94\x91"));
}

TEST(GuiXmlString, BytesThatAreNotUtf8ReadAsLatin1) {
    // A user ID written by an old program in Latin-1: "Jürgen".
    EXPECT_EQ(u"J\u00FCrgen", gToXML("J\xFCrgen"));
    // Truncated, overlong and surrogate sequences are taken byte by byte.
    EXPECT_EQ(u"\u00E2\u0082", gToXML("\xE2\x82"));
    EXPECT_EQ(u"\u00C0\u00AF", gToXML("\xC0\xAF"));
    EXPECT_EQ(u"\u00ED\u00A0\u0080", gToXML("\xED\xA0\x80"));
    EXPECT_EQ(u"\u00F4\u0090\u0080\u0080", gToXML("\xF4\x90\x80\x80"));
}

TEST(GuiXmlString, CharactersXmlCannotCarryAreReplaced) {
    EXPECT_EQ(u"a\uFFFDb\uFFFDc", gToXML(std::string("a\x01"
                                                     "b\x1F"
                                                     "c")));
    EXPECT_EQ(u"\uFFFD", gToXML(std::string(1, '\0')));
    EXPECT_EQ(u"\uFFFD\uFFFD", gToXML("\xEF\xBF\xBE\xEF\xBF\xBF"));
}

TEST(GuiXmlString, UnpairedSurrogatesFromTheParserBecomeReplacementCharacters) {
    const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0};
    EXPECT_EQ("a\xEF\xBF\xBD"
              "b\xEF\xBF\xBD",
              gFromXML(lone));
    EXPECT_EQ("", gFromXML(nullptr));
}

TEST(GuiXmlWriter, ElementsKeepAttributeOrderAndEscapeWhatNeedsIt) {
    vorngui::CGUIElement root("response");
    root.set("rc", "0").set("b", "1 < 2 & \"3\" > 0").set("a", "tab\there\nline\rend");
    root.add("error").setText("");
    vorngui::CGUIElement& info = root.add("info");
    info.set("rng", "yes").set("platform", "UNIX").set("log", "no");
    root.add("text").setText("a < b & \"c\"\r\n");
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"no\" ?>"
              "<response rc=\"0\" b=\"1 &lt; 2 &amp; &quot;3&quot; &gt; 0\" "
              "a=\"tab&#9;here&#10;line&#13;end\"><error></error>"
              "<info rng=\"yes\" platform=\"UNIX\" log=\"no\"/>"
              "<text>a &lt; b &amp; \"c\"&#13;\n</text></response>",
              vorngui::gWriteDocument(root));
}

TEST(GuiXmlWriter, BytesXmlCannotCarryAreReplacedAndLatin1IsWidened) {
    std::string out;
    vorngui::gAppendEscaped(out, std::string("J\xFCrgen \x01\x1F\0 \xE2\x82\xAC \xEF\xBF\xBE", 18),
                            true);
    EXPECT_EQ("J\xC3\xBCrgen \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD \xE2\x82\xAC \xEF\xBF\xBD", out);
}
