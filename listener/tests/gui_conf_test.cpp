// Tests of the XML form of a configuration layer (conf-get writes it, conf-set reads it).
#include "expect_throw.h"
#include "gui_test_support.h"

#include <oozaf/vornserverconf.h>

#include <xercesc/dom/DOM.hpp>

#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vorngui/gui.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/xmlstring.h>

using namespace oozaf;
using namespace vorngui;
using namespace xercesc;

namespace {

struct SDocumentRelease {
    void operator()(DOMDocument* document) const { document->release(); }
};

class GuiConfXml : public ::testing::Test {
protected:
    void SetUp() override {
        DOMImplementation* implementation =
            DOMImplementationRegistry::getDOMImplementation(CXStr("Core"));
        ASSERT_NE(nullptr, implementation);
        document.reset(implementation->createDocument(nullptr, CXStr("response"), nullptr));
    }

    // Reads `xml` (the inside of a "data" element) into a new part.
    DOMElement* data(const std::string& inner) {
        DOMElement* element = document->createElement(CXStr("data"));
        document->getDocumentElement()->appendChild(element);
        fill(element, inner);
        return element;
    }

    // A tiny builder: "<name attr='v'>text</name>" forms only, enough for these cases.
    void fill(DOMElement* parent, const std::string& inner);

    std::unique_ptr<DOMDocument, SDocumentRelease> document;
};

void GuiConfXml::fill(DOMElement* parent, const std::string& inner) {
    // Parse with the listener's own request parser: wrap the fragment in a command.
    CGUIClient client(nullptr);
    DOMDocument* parsed =
        client.parseCommand("<command type=\"conf-set\"><data>" + inner + "</data></command>");
    DOMNode* source = parsed->getElementsByTagName(CXStr("data"))->item(0);
    for (DOMNode* child = source->getFirstChild(); child != nullptr;
         child = child->getNextSibling())
        parent->appendChild(document->importNode(child, true));
    parsed->release();
}

const DOMElement* child(const DOMElement* parent, const char* name) {
    DOMNodeList* list = parent->getElementsByTagName(CXStr(name));
    return list->getLength() == 0 ? nullptr : static_cast<const DOMElement*>(list->item(0));
}

} // namespace

TEST_F(GuiConfXml, WrittenLayerHasAliasesThenTypedValues) {
    CVornServerCfgUserPart part(nullptr);
    part.processKeyValue("Armor", "on");
    part.processKeyValue("Cert-Depth", "3");
    part.processKeyValue("Comment", "\"two words\"");
    part.processKeyValue("Question", "\"\"");
    part.processKeyValue("Alias", "-q:\"--armor --comment x\"");

    DOMElement* configuration = gWriteToXML(part, document.get());
    document->getDocumentElement()->appendChild(configuration);
    ASSERT_EQ("configuration", gTagName(configuration));
    const DOMElement* aliases = configuration->getFirstElementChild();
    ASSERT_NE(nullptr, aliases);
    EXPECT_EQ("aliases", gTagName(aliases));
    const DOMElement* values = aliases->getNextElementSibling();
    ASSERT_NE(nullptr, values);
    EXPECT_EQ("values", gTagName(values));

    const DOMElement* alias = aliases->getFirstElementChild();
    ASSERT_NE(nullptr, alias);
    EXPECT_EQ("-q", gGetAttribute(alias, CXStr("code")));
    EXPECT_EQ("--armor --comment x", gGetAttribute(alias, CXStr("command")));

    const DOMElement* armor = child(values, "Armor");
    ASSERT_NE(nullptr, armor);
    EXPECT_EQ("boolean", gGetAttribute(armor, CXStr("type")));
    EXPECT_EQ("yes", gFromXML(armor->getTextContent()));
    const DOMElement* depth = child(values, "Cert-Depth");
    ASSERT_NE(nullptr, depth);
    EXPECT_EQ("integer", gGetAttribute(depth, CXStr("type")));
    EXPECT_EQ("3", gFromXML(depth->getTextContent()));
    const DOMElement* comment = child(values, "Comment");
    ASSERT_NE(nullptr, comment);
    EXPECT_EQ("string", gGetAttribute(comment, CXStr("type")));
    EXPECT_EQ("two words", gFromXML(comment->getTextContent()));
    const DOMElement* question = child(values, "Question");
    ASSERT_NE(nullptr, question);
    EXPECT_EQ("\"\"", gFromXML(question->getTextContent()));
}

TEST_F(GuiConfXml, ALayerSurvivesWritingAndReadingBack) {
    CVornServerCfgUserPart part(nullptr);
    part.processKeyValue("Armor", "off");
    part.processKeyValue("Comment", "\"a comment with  blanks\"");
    part.processKeyValue("Pubring", "\"/home/some one/keys/pubring.pkr\"");
    part.processKeyValue("Question", "\"\"");
    part.processKeyValue("Question", "\"Why not?\"");
    part.processKeyValue("Alias", "-x:\"--encrypt --armor\"");
    part.processKeyValue("Alias", "\"-y z\":--sign");

    DOMElement* configuration = gWriteToXML(part, document.get());
    document->getDocumentElement()->appendChild(configuration);
    CVornServerCfgUserPart back(nullptr);
    gReadFromXML(back, configuration);
    EXPECT_TRUE(part.isEqualTo(back)) << "written:\n" << part << "read back:\n" << back;
    std::string target;
    ASSERT_TRUE(back.getAliasTarget("-x", target));
    EXPECT_EQ("--encrypt --armor", target);
}

TEST_F(GuiConfXml, ReadingIgnoresTypesAndNonElementChildren) {
    DOMElement* element =
        data("<aliases> <!-- none --> </aliases><values>\n<Armor type='integer'>on</Armor>"
             "<Comment>a<!-- c -->b</Comment></values>");
    CVornServerCfgUserPart part(nullptr);
    gReadFromXML(part, element);
    bool armor = false;
    ASSERT_TRUE(part.getValue(eZAFOpArmor, armor));
    EXPECT_TRUE(armor);
    std::string comment;
    ASSERT_TRUE(part.getValue(eZAFOpComment, comment));
    EXPECT_EQ("ab", comment);
}

TEST_F(GuiConfXml, AValueHoldingAnElementIsAFormatErrorNamingIt) {
    DOMElement* element = data("<aliases/><values><Armor>on</Armor><Comment><b>x</b></Comment>"
                               "</values>");
    CVornServerCfgUserPart part(nullptr);
    auto e = expectThrow<CGUIFormatException>([&] { gReadFromXML(part, element); });
    ASSERT_TRUE(e);
    EXPECT_NE(std::string::npos, e->getMessage().find("'Comment'"));
    EXPECT_NE(std::string::npos, e->getMessage().find("'b'"));
}

TEST_F(GuiConfXml, UnknownDirectivesAndBadAliasesAreRefusedByTheLayer) {
    CVornServerCfgUserPart part(nullptr);
    auto unknown = expectThrow<CZAFPropertiesParsingException>([&] {
        gReadFromXML(part, data("<aliases/><values><NoSuchThing>1</NoSuchThing></values>"));
    });
    ASSERT_TRUE(unknown);
    EXPECT_EQ(eReasonParse, unknown->getReason());
    auto alias = expectThrow<CZAFPropertiesParsingException>([&] {
        gReadFromXML(part, data("<aliases><alias code='x' command='--sign'/></aliases><values/>"));
    });
    EXPECT_TRUE(alias);
}

TEST_F(GuiConfXml, AliasesAndValuesMustBeInsideData) {
    CVornServerCfgUserPart part(nullptr);
    auto e = expectThrow<CGUIFormatException>([&] { gReadFromXML(part, data("<values/>")); });
    ASSERT_TRUE(e);
    EXPECT_NE(std::string::npos, e->getMessage().find("'aliases'"));
}
