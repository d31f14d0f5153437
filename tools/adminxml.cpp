// adminxml: element tree, parser and writer over the XML library.
#include "adminxml.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/framework/MemoryManager.hpp>
#include <xercesc/framework/Wrapper4InputSource.hpp>
#include <xercesc/util/OutOfMemoryException.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/TransService.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLUni.hpp>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string.h>

namespace vornadmin {

namespace xc = xercesc;

namespace {

// Hands the XML library blocks that are wiped before they are freed: request documents and
// their serialised text hold passwords and passphrases, replies may hold key material.
class CWipingMemoryManager final : public xc::MemoryManager {
public:
    xc::MemoryManager* getExceptionMemoryManager() override {
        return xc::XMLPlatformUtils::fgMemoryManager;
    }
    void* allocate(XMLSize_t size) override {
        auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
        if (block == nullptr)
            throw xc::OutOfMemoryException();
        std::memcpy(block, &size, sizeof size);
        return block + kHeader;
    }
    void deallocate(void* p) override {
        if (p == nullptr)
            return;
        unsigned char* block = static_cast<unsigned char*>(p) - kHeader;
        XMLSize_t size = 0;
        std::memcpy(&size, block, sizeof size);
        explicit_bzero(p, size);
        std::free(block);
    }

private:
    // Keeps the returned blocks as aligned as malloc's.
    static constexpr size_t kHeader = 16;
};

CWipingMemoryManager gWipingManager;

// Starts the XML library once per process; it is stopped when the process ends.
class CXmlPlatform {
public:
    CXmlPlatform() { xc::XMLPlatformUtils::Initialize(); }
    ~CXmlPlatform() { xc::XMLPlatformUtils::Terminate(); }
    CXmlPlatform(const CXmlPlatform&) = delete;
    CXmlPlatform& operator=(const CXmlPlatform&) = delete;
};

std::string narrow(const XMLCh* text) {
    if (text == nullptr || *text == 0)
        return std::string();
    xc::TranscodeToStr utf8(text, "UTF-8", &gWipingManager);
    return std::string(reinterpret_cast<const char*>(utf8.str()), utf8.length());
}

// An XML library string in wiped memory, released with the object.
class CWide {
public:
    explicit CWide(const std::string& text)
        : m_text(reinterpret_cast<const XMLByte*>(text.data()), text.size(), "UTF-8",
                 &gWipingManager) {}
    const XMLCh* get() const { return m_text.str(); }

private:
    xc::TranscodeFromStr m_text;
};

xc::DOMImplementation* implementation() {
    static const XMLCh kLS[] = {'L', 'S', 0};
    xc::DOMImplementation* impl = xc::DOMImplementationRegistry::getDOMImplementation(kLS);
    if (impl == nullptr)
        throw new CAdminException("The XML library offers no DOM implementation");
    return impl;
}

void startXml() {
    try {
        static CXmlPlatform platform;
    } catch (const xc::XMLException& e) {
        throw new CAdminException("Cannot start the XML library: " + narrow(e.getMessage()));
    }
}

// Keeps the first error the parser reports and stops it there.
class CParseErrors final : public xc::DOMErrorHandler {
public:
    bool handleError(const xc::DOMError& error) override {
        if (m_message.empty()) {
            m_message = narrow(error.getMessage());
            const xc::DOMLocator* where = error.getLocation();
            if (where != nullptr)
                m_message += " (line " + std::to_string(where->getLineNumber()) + ", column " +
                             std::to_string(where->getColumnNumber()) + ")";
        }
        return false;
    }
    const std::string& message() const { return m_message; }

private:
    std::string m_message;
};

struct SParserDeleter {
    void operator()(xc::DOMLSParser* parser) const { parser->release(); }
};
struct SDocumentDeleter {
    void operator()(xc::DOMDocument* document) const { document->release(); }
};
struct SSerializerDeleter {
    void operator()(xc::DOMLSSerializer* serializer) const { serializer->release(); }
};
struct SOutputDeleter {
    void operator()(xc::DOMLSOutput* output) const { output->release(); }
};

void convert(const xc::DOMElement* from, SXmlElement& to, unsigned int depth) {
    if (depth > kXmlMaxDepth)
        throw new CAdminException("XML document nested more than " + std::to_string(kXmlMaxDepth) +
                                  " levels deep");
    to.name = narrow(from->getTagName());
    const xc::DOMNamedNodeMap* attributes = from->getAttributes();
    for (XMLSize_t i = 0; attributes != nullptr && i < attributes->getLength(); ++i) {
        const xc::DOMNode* attribute = attributes->item(i);
        to.attributes.emplace_back(narrow(attribute->getNodeName()),
                                   narrow(attribute->getNodeValue()));
    }
    for (const xc::DOMNode* node = from->getFirstChild(); node != nullptr;
         node = node->getNextSibling()) {
        switch (node->getNodeType()) {
        case xc::DOMNode::ELEMENT_NODE:
            to.children.emplace_back();
            convert(static_cast<const xc::DOMElement*>(node), to.children.back(), depth + 1);
            break;
        case xc::DOMNode::TEXT_NODE:
        case xc::DOMNode::CDATA_SECTION_NODE:
            to.text += narrow(node->getNodeValue());
            break;
        default:
            break;
        }
    }
}

xc::DOMElement* build(xc::DOMDocument* document, xc::DOMElement* element, const SXmlElement& from,
                      unsigned int depth) {
    if (depth > kXmlMaxDepth)
        throw new CAdminException("XML document nested more than " + std::to_string(kXmlMaxDepth) +
                                  " levels deep");
    if (element == nullptr)
        element = document->createElement(CWide(from.name).get());
    for (const auto& [name, value] : from.attributes)
        element->setAttribute(CWide(name).get(), CWide(value).get());
    if (!from.text.empty())
        element->appendChild(document->createTextNode(CWide(from.text).get()));
    for (const SXmlElement& child : from.children)
        element->appendChild(build(document, nullptr, child, depth + 1));
    return element;
}

} // namespace

SXmlElement& SXmlElement::set(const std::string& attribute, const std::string& value) {
    for (auto& entry : attributes)
        if (entry.first == attribute) {
            entry.second = value;
            return *this;
        }
    attributes.emplace_back(attribute, value);
    return *this;
}

SXmlElement& SXmlElement::add(SXmlElement child) {
    children.push_back(std::move(child));
    return children.back();
}

bool SXmlElement::has(const std::string& attribute) const {
    for (const auto& entry : attributes)
        if (entry.first == attribute)
            return true;
    return false;
}

std::string SXmlElement::get(const std::string& attribute, const std::string& fallback) const {
    for (const auto& entry : attributes)
        if (entry.first == attribute)
            return entry.second;
    return fallback;
}

const SXmlElement* SXmlElement::child(const std::string& childName) const {
    for (const SXmlElement& c : children)
        if (c.name == childName)
            return &c;
    return nullptr;
}

std::vector<const SXmlElement*> SXmlElement::childrenNamed(const std::string& childName) const {
    std::vector<const SXmlElement*> found;
    for (const SXmlElement& c : children)
        if (c.name == childName)
            found.push_back(&c);
    return found;
}

SXmlElement gParseXml(const std::string& text) {
    if (text.size() > kXmlMaxDocument)
        throw new CAdminException("XML document longer than " + std::to_string(kXmlMaxDocument) +
                                  " bytes");
    startXml();
    CParseErrors errors;
    SXmlElement root;
    std::string failure;
    try {
        auto* ls = static_cast<xc::DOMImplementationLS*>(implementation());
        std::unique_ptr<xc::DOMLSParser, SParserDeleter> parser(ls->createLSParser(
            xc::DOMImplementationLS::MODE_SYNCHRONOUS, nullptr, &gWipingManager));
        xc::DOMConfiguration* config = parser->getDomConfig();
        config->setParameter(xc::XMLUni::fgDOMDisallowDoctype, true);
        config->setParameter(xc::XMLUni::fgDOMNamespaces, false);
        config->setParameter(xc::XMLUni::fgDOMValidate, false);
        config->setParameter(xc::XMLUni::fgXercesLoadExternalDTD, false);
        config->setParameter(xc::XMLUni::fgDOMErrorHandler, &errors);
        xc::MemBufInputSource source(reinterpret_cast<const XMLByte*>(text.data()), text.size(),
                                     "reply", false, &gWipingManager);
        xc::Wrapper4InputSource input(&source, false, &gWipingManager);
        xc::DOMDocument* parsed = parser->parse(&input);
        if (parsed != nullptr && errors.message().empty()) {
            const xc::DOMElement* element = parsed->getDocumentElement();
            if (element == nullptr)
                failure = "no root element";
            else
                convert(element, root, 1);
        }
    } catch (const xc::XMLException& e) {
        failure = narrow(e.getMessage());
    } catch (const xc::DOMException& e) {
        failure = narrow(e.getMessage());
    } catch (const xc::OutOfMemoryException&) {
        failure = "out of memory";
    }
    if (!errors.message().empty())
        failure = errors.message();
    if (!failure.empty())
        throw new CAdminException("Invalid XML: " + failure);
    return root;
}

std::string gWriteXml(const SXmlElement& root) {
    startXml();
    std::string failure;
    try {
        xc::DOMImplementation* impl = implementation();
        std::unique_ptr<xc::DOMDocument, SDocumentDeleter> document(
            impl->createDocument(nullptr, CWide(root.name).get(), nullptr, &gWipingManager));
        build(document.get(), document->getDocumentElement(), root, 1);
        auto* ls = static_cast<xc::DOMImplementationLS*>(impl);
        std::unique_ptr<xc::DOMLSSerializer, SSerializerDeleter> serializer(
            ls->createLSSerializer(&gWipingManager));
        std::unique_ptr<xc::DOMLSOutput, SOutputDeleter> output(
            ls->createLSOutput(&gWipingManager));
        xc::MemBufFormatTarget target(1023, &gWipingManager);
        static const XMLCh kUTF8[] = {'U', 'T', 'F', '-', '8', 0};
        output->setEncoding(kUTF8);
        output->setByteStream(&target);
        if (!serializer->write(document.get(), output.get()))
            throw new CAdminException("Cannot serialise the request");
        return std::string(reinterpret_cast<const char*>(target.getRawBuffer()), target.getLen());
    } catch (const xc::XMLException& e) {
        failure = narrow(e.getMessage());
    } catch (const xc::DOMException& e) {
        failure = narrow(e.getMessage());
    } catch (const xc::OutOfMemoryException&) {
        failure = "out of memory";
    }
    throw new CAdminException("Cannot build XML: " + failure);
}

void gWipe(std::string& secret) {
    if (!secret.empty())
        explicit_bzero(&secret[0], secret.size());
    secret.clear();
}

namespace {

void sortAttributes(SXmlElement& element) {
    std::sort(element.attributes.begin(), element.attributes.end());
    for (SXmlElement& child : element.children)
        sortAttributes(child);
}

bool sameSorted(const SXmlElement& x, const SXmlElement& y) {
    if (x.name != y.name || x.attributes != y.attributes || x.text != y.text ||
        x.children.size() != y.children.size())
        return false;
    for (size_t i = 0; i < x.children.size(); ++i)
        if (!sameSorted(x.children[i], y.children[i]))
            return false;
    return true;
}

} // namespace

bool gSameXml(SXmlElement a, SXmlElement b) {
    sortAttributes(a);
    sortAttributes(b);
    return sameSorted(a, b);
}

} // namespace vornadmin
