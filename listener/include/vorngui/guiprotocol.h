// guiprotocol: the request table of the listener. Every request type a session knows is one row:
// its name, the structural checks validation makes before anything runs, and its handler.
// Validation (CGUIClient::validateRequest) and dispatch (CGUIClient::processRequest) are loops
// over this table; framing, parsing and the request answering are in guiprotocol.cpp as well.
#ifndef VORNGUI_GUIPROTOCOL_H
#define VORNGUI_GUIPROTOCOL_H

#include <vorngui/xmlstring.h>

#include <xercesc/dom/DOM.hpp>

#include <array>
#include <memory>
#include <string>

namespace vorngui {

class CGUIClient;

// Where a structural check looks for the attributes it requires.
enum class eGUICheckPlace {
    // No check.
    None,
    // On the request's "data" element.
    Data,
    // On the element named `element`, which must appear exactly once in the document; otherwise
    // "The '<element>' element has to appear exactly once".
    OnlyElement,
    // On every element named `element` in the document, of which there must be at least one;
    // otherwise "The '<element>' element is missing".
    EachElement
};

// One structural check. A missing attribute gives "Missing attribute: '<name>'" for the first
// absent one, in the order listed (the list ends at the first null or after eight names).
struct SGUIRequestCheck {
    eGUICheckPlace place;
    const char* element;
    std::array<const char*, 8> attributes;
};

// Runs one request for a session, while it impersonates its user; returns the element to append
// to the response, or null. Takes the request's "data" element.
using GUIRequestHandler = std::unique_ptr<CGUIElement> (*)(CGUIClient& session,
                                                           const xercesc::DOMElement* data);

// One request type. The checks run in order, after the checks every request passes (a "command"
// root with a "type" and exactly one "data" element).
struct SGUIRequestType {
    const std::string* type;
    std::array<SGUIRequestCheck, 2> checks;
    // Null for "auth": the login request is valid only as a session's first request; a session
    // that sends it again has lost track of the protocol and ends without a reply.
    GUIRequestHandler handler;
    // A request that changes the user's keys or configuration: each one, whatever its outcome,
    // is a line of the user's transaction log (guiaudit.h). A new row that changes anything
    // must say so.
    bool changesState = false;
};

// The row of a request type (matched exactly, case included), or null for a type nobody knows.
const SGUIRequestType* gFindRequestType(const std::string& type);

// The "data" element of a request that passed validation.
const xercesc::DOMElement* gDataElement(const xercesc::DOMDocument* request);

// Releases a parsed request document.
struct SGUIDocumentRelease {
    void operator()(xercesc::DOMDocument* document) const {
        if (document != nullptr)
            document->release();
    }
};
using CGUIDocumentGuard = std::unique_ptr<xercesc::DOMDocument, SGUIDocumentRelease>;

} // namespace vorngui

#endif
