// Tests of the XML form of a configuration layer (conf-get writes it, conf-set reads it).
#include "expect_throw.h"
#include "gui_test_support.h"

#include <oozaf/vornserverconf.h>
#include <vorngui/gui.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/xmlstring.h>

#include <xercesc/dom/DOM.hpp>

#include <gtest/gtest.h>
#include <memory>
#include <string>

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

} // namespace

const CGUIElement* child(const CGUIElement& parent, const std::string& name) {
    for (const auto& element : parent.getChildren())
        if (element->getName() == name)
            return element.get();
    return nullptr;
}

TEST_F(GuiConfXml, WrittenLayerHasAliasesThenTypedValues) {
    CVornServerCfgUserPart part(nullptr);
    part.processKeyValue("Armor", "on");
    part.processKeyValue("Cert-Depth", "3");
    part.processKeyValue("Comment", "\"two words\"");
    part.processKeyValue("Question", "\"\"");
    part.processKeyValue("Alias", "-q:\"--armor --comment x\"");

    std::unique_ptr<CGUIElement> configuration = gWriteToXML(part);
    ASSERT_EQ("configuration", configuration->getName());
    ASSERT_EQ(2u, configuration->getChildren().size());
    const CGUIElement& aliases = *configuration->getChildren()[0];
    const CGUIElement& values = *configuration->getChildren()[1];
    EXPECT_EQ("aliases", aliases.getName());
    EXPECT_EQ("values", values.getName());

    ASSERT_EQ(1u, aliases.getChildren().size());
    const CGUIElement& alias = *aliases.getChildren()[0];
    EXPECT_EQ("-q", *alias.get("code"));
    EXPECT_EQ("--armor --comment x", *alias.get("command"));

    const struct {
        const char* directive;
        const char* type;
        const char* text;
    } expected[] = {{"Armor", "boolean", "yes"},
                    {"Cert-Depth", "integer", "3"},
                    {"Comment", "string", "two words"},
                    {"Question", "string", "\"\""}};
    for (const auto& e : expected) {
        const CGUIElement* value = child(values, e.directive);
        ASSERT_NE(nullptr, value) << e.directive;
        ASSERT_NE(nullptr, value->get("type"));
        EXPECT_EQ(e.type, *value->get("type")) << e.directive;
        EXPECT_EQ(e.text, value->getText()) << e.directive;
    }
}

TEST_F(GuiConfXml, ALayerSurvivesWritingAndReadingBack) {
    CVornServerCfgUserPart part(nullptr);
    part.processKeyValue("Armor", "off");
    part.processKeyValue("Comment", "\"a comment with  blanks & <marks>\"");
    part.processKeyValue("Pubring", "\"/home/some one/keys/pubring.pkr\"");
    part.processKeyValue("Question", "\"\"");
    part.processKeyValue("Question", "\"Why not?\"");
    part.processKeyValue("Alias", "-x:\"--encrypt --armor\"");
    part.processKeyValue("Alias", "\"-y z\":--sign");

    // Written as a response, read back by the request parser as a conf-set would be.
    std::unique_ptr<CGUIElement> configuration = gWriteToXML(part);
    std::string inner;
    for (const auto& element : configuration->getChildren())
        element->write(inner);
    CVornServerCfgUserPart back(nullptr);
    gReadFromXML(back, data(inner));
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
