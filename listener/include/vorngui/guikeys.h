// guikeys: the handlers of the requests that generate, change, import and export keys, report
// and take entropy, and fetch photo IDs. A session's CGUIClient hands each of these requests,
// after the structural checks, to a CGUIKeyRequests over its server facade.
#ifndef VORNGUI_GUIKEYS_H
#define VORNGUI_GUIKEYS_H

#include <oozaf/obj.h>
#include <vorngui/xmlstring.h>

#include <xercesc/dom/DOM.hpp>

#include <cstddef>
#include <memory>
#include <string>

namespace oozaf {
class CVornServer;
} // namespace oozaf

namespace vorngui {

// The key request handlers of one session, over that session's facade (not owned). Used by the
// session's thread while it impersonates the user (the request mutex held).
//
// Each handler takes the request's "data" element and returns the element to append to the
// response, or null. A null "data" element is an internal error (CZAFInternalError, tag "gui").
//
// Failures:
// - CGUIFormatException (rc 12) for a value that does not fit: an unknown key type, cipher,
//   signature type, export format or yes/no word; a size, "needed" or "depth" that is not a
//   whole number in range; a date that is not a YYYY-MM-DD day; a "key", "entropy" or "file"
//   element missing from "data" or whose first child is not text. The text names the attribute
//   (or element) and the value. Every value is checked before the facade is called, so such a
//   request changes nothing.
// - CGUIRequestFailedException (rc 8) holding the facade's failure (or the failure of reading
//   the export's temporary file, or of decoding Base64).
// - CGUIKeyImportException (rc 8) when an import fails in the toolkit or the decoded length
//   differs from "size".
class CGUIKeyRequests final : public oozaf::CZAFObj {
public:
    // Armoured export lines longer than this are refused (the toolkit writes 64 columns).
    static const std::size_t kMaxExportLine = 64u * 1024;

    explicit CGUIKeyRequests(oozaf::CVornServer& server) : m_server(server) {}
    CGUIKeyRequests(const CGUIKeyRequests&) = delete;
    CGUIKeyRequests& operator=(const CGUIKeyRequests&) = delete;

    // "entropy-pair": "type" (DSS, RSA, RSA-Legacy, ECC), "size" in bits. Returns "entropy-report"
    // with "needed", the bytes of entropy the key pair (and its subkey, where it gets one)
    // needs.
    std::unique_ptr<CGUIElement> doEntropyPair(const xercesc::DOMElement* data);
    // "entropy-subkey": "id", "subkey-size". Returns "entropy-report" with "needed".
    std::unique_ptr<CGUIElement> doEntropySubkey(const xercesc::DOMElement* data);
    // "entropy-supply": the "entropy" element below "data", attribute "needed", Base64 text of
    // the gathered bytes (may be empty). Feeds the bytes to the random pool and returns
    // "entropy-report" with "available".
    std::unique_ptr<CGUIElement> doEntropySupply(const xercesc::DOMElement* data);
    // "key-gen": generates a key pair; expiry never unless "expiry-date" is given. Returns
    // "key" naming the new key pair: "id" (short key ID) and "idfull" (long), as in the keys
    // summary.
    std::unique_ptr<CGUIElement> doKeyGen(const xercesc::DOMElement* data);
    // "subkey-gen": re-reads the key rings, then adds a subkey starting now (or "start-date")
    // and never expiring (or expiring at "expiry-date").
    std::unique_ptr<CGUIElement> doSubkeyGen(const xercesc::DOMElement* data);
    // "key-remove": removes the key named by the "id" of the "key" element below "data".
    std::unique_ptr<CGUIElement> doKeyRemove(const xercesc::DOMElement* data);
    // "key-sign": certifies the primary user ID of "signed-key" with "signing-key".
    std::unique_ptr<CGUIElement> doKeySign(const xercesc::DOMElement* data);
    // "key-revoke": revokes "id" with "revoker-id"; optional "reason" (none, superseded,
    // compromised, retired, uid-invalid, or the RFC 4880 code) and "reason-text" (at most
    // 1024 bytes) go into the revocation.
    std::unique_ptr<CGUIElement> doKeyRevoke(const xercesc::DOMElement* data);
    // "userid-add" and "userid-remove" (only a user ID equal to "userid" is removed).
    std::unique_ptr<CGUIElement> doUserIDAdd(const xercesc::DOMElement* data);
    std::unique_ptr<CGUIElement> doUserIDRemove(const xercesc::DOMElement* data);
    // "key-add": imports the bytes of the first "file" element below "data". Returns
    // "file-report" with "error" = 0 (imported), 1 (imported as X.509) or 2 (nothing new), and
    // "new", "changed", "unchanged": how many keys of the file the import added, changed and
    // found as they were.
    std::unique_ptr<CGUIElement> doKeyImport(const xercesc::DOMElement* data);
    // "key-export": returns "file" holding one "line" element per line of an armoured export,
    // or the Base64 text of a binary one. The temporary file the export passes through is
    // removed in every case, and wiped first when it held private keys.
    std::unique_ptr<CGUIElement> doKeyExport(const xercesc::DOMElement* data);
    // "get-picture": returns "photo" holding the Base64 text of the key's photo image.
    std::unique_ptr<CGUIElement> doGetPicture(const xercesc::DOMElement* data);

private:
    void removeExportFile(const std::string& name, bool secret) noexcept;

    oozaf::CVornServer& m_server;
};

} // namespace vorngui

#endif
