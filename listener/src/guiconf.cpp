// guiconf: the XML form of a configuration layer, both ways.
#include <oozaf/cfgpart.h>
#include <oozaf/ops.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <vorngui/gui.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/xmlstring.h>

namespace vorngui {

using namespace oozaf;
using namespace xercesc;

namespace {

const char* const kTag = "gui";

const CXStr kAliases("aliases");
const CXStr kCode("code");
const CXStr kCommandAttr("command");
const CXStr kValues("values");

std::string unquoted(std::string text) {
    CZAFUtil::unquote(text);
    return text;
}

// Texts with a blank or a tab are quoted, so that the configuration parser takes them whole.
std::string quotedIfBlank(std::string text) {
    if (text.find_first_of(" \t") != std::string::npos)
        CZAFUtil::quote(text);
    return text;
}

const DOMElement* firstBelow(const DOMElement* data, const XMLCh* name, const char* tag) {
    DOMNodeList* list = data->getElementsByTagName(name);
    if (list == nullptr || list->getLength() == 0 ||
        list->item(0)->getNodeType() != DOMNode::ELEMENT_NODE)
        throw new CGUIFormatException(std::string("The '") + tag +
                                      "' element must be inside the 'data' element");
    return static_cast<const DOMElement*>(list->item(0));
}

// The text of an element that may hold only text (and comments): the concatenation of its text
// and CDATA children. Anything else is a value the configuration cannot take.
std::string textOnly(const DOMElement* element) {
    std::string text;
    for (const DOMNode* child = element->getFirstChild(); child != nullptr;
         child = child->getNextSibling()) {
        const auto type = child->getNodeType();
        if (type == DOMNode::TEXT_NODE || type == DOMNode::CDATA_SECTION_NODE)
            text += gFromXML(child->getNodeValue());
        else if (type != DOMNode::COMMENT_NODE && type != DOMNode::PROCESSING_INSTRUCTION_NODE)
            throw new CGUIFormatException("The value of '" + gTagName(element) +
                                          "' must be text, but it holds the element '" +
                                          gFromXML(child->getNodeName()) + "'");
    }
    return text;
}

} // namespace

std::unique_ptr<CGUIElement> gWriteToXML(const CVornServerCfgPart& part) {
    auto configuration = std::make_unique<CGUIElement>("configuration");
    CGUIElement& aliases = configuration->add("aliases");
    CGUIElement& values = configuration->add("values");
    for (const auto& alias : part.getAliases())
        aliases.add("alias")
            .set("code", unquoted(alias.first))
            .set("command", unquoted(alias.second));
    for (const auto& entry : part.getConfigurationMap()) {
        const eZAFOp op = entry.first;
        const std::string directive = gDirectiveFromOp(op);
        const int32_t type = gCfgArgTypeFromOp(op) & ~static_cast<int32_t>(eArgTypeMulti);
        const char* typeName = type == eArgTypeBool  ? "boolean"
                               : type == eArgTypeInt ? "integer"
                                                     : "string";
        for (const CValue* value : entry.second) {
            std::string text = unquoted(value->stringValue(op));
            if (op == eZAFOpQuestion && text.empty())
                text = "\"\"";
            CGUIElement& element = values.add(directive.c_str());
            element.setText(text);
            element.set("type", typeName);
        }
    }
    return configuration;
}

void gReadFromXML(CVornServerCfgPart& part, const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const DOMElement* aliases = firstBelow(data, kAliases, "aliases");
    const DOMElement* values = firstBelow(data, kValues, "values");
    for (const DOMElement* alias = aliases->getFirstElementChild(); alias != nullptr;
         alias = alias->getNextElementSibling()) {
        const std::string code = quotedIfBlank(gGetAttribute(alias, kCode));
        const std::string command = quotedIfBlank(gGetAttribute(alias, kCommandAttr));
        part.processKeyValue("Alias", code + ":" + command);
    }
    for (const DOMElement* value = values->getFirstElementChild(); value != nullptr;
         value = value->getNextElementSibling())
        part.processKeyValue(gTagName(value), quotedIfBlank(textOnly(value)));
}

} // namespace vorngui
