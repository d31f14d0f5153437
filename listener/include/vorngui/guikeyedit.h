// guikeyedit: key edits beyond the console's original set, each a request type of its own that
// changes no existing request: owner trust, disabling, a key pair's expiry and passphrase, and
// revoking one subkey or one user ID. Like the other key requests they run on the session's
// facade as the user; none returns an element.
//
//   "key-set-trust"          id, trust (Unknown, Never, Marginal, Complete, Ultimate)
//   "key-set-disabled"       id, disabled (yes/no)
//   "key-set-expiry"         id, expiry-date (YYYY-MM-DD after today; empty: never), passphrase
//   "key-change-passphrase"  id, passphrase, new-passphrase (empty: unprotected)
//   "subkey-revoke"          id, subkey-id (short or long), passphrase
//   "userid-revoke"          id, userid (exactly as the summary names it), passphrase
//   "key-summary"            id: the keys summary of that one key ("keys" holding one "key",
//                            exactly as "keys-summary" shows it), for a console that shows
//                            one key after a change without the whole rings
#ifndef VORNGUI_GUIKEYEDIT_H
#define VORNGUI_GUIKEYEDIT_H

#include <oozaf/obj.h>
#include <oozaf/vornserver.h>
#include <vorngui/xmlstring.h>

#include <memory>
#include <string>

namespace vorngui {

class CGUIKeyEditRequests final : public oozaf::CZAFObj {
public:
    static const std::string GUICMD_SETTRUST;
    static const std::string GUICMD_SETDISABLED;
    static const std::string GUICMD_SETEXPIRY;
    static const std::string GUICMD_PASSPHRASE;
    static const std::string GUICMD_REV_SUBKEY;
    static const std::string GUICMD_REV_USERID;
    static const std::string GUICMD_KEYSUMMARY;

    explicit CGUIKeyEditRequests(oozaf::CVornServer& server) : m_server(server) {}
    CGUIKeyEditRequests(const CGUIKeyEditRequests&) = delete;
    CGUIKeyEditRequests& operator=(const CGUIKeyEditRequests&) = delete;

    std::unique_ptr<CGUIElement> doSetTrust(const xercesc::DOMElement* data);
    std::unique_ptr<CGUIElement> doSetDisabled(const xercesc::DOMElement* data);
    std::unique_ptr<CGUIElement> doSetExpiry(const xercesc::DOMElement* data);
    std::unique_ptr<CGUIElement> doChangePassphrase(const xercesc::DOMElement* data);
    std::unique_ptr<CGUIElement> doRevokeSubkey(const xercesc::DOMElement* data);
    std::unique_ptr<CGUIElement> doRevokeUserID(const xercesc::DOMElement* data);
    std::unique_ptr<CGUIElement> doKeySummary(const xercesc::DOMElement* data);

private:
    oozaf::CVornServer& m_server;
};

// The "keys" element of the keys summary with the one key `id` (guirequests.cpp, beside the
// whole summary whose parts it shares). Runs as gRequestWork does.
std::unique_ptr<CGUIElement> gKeySummaryOf(oozaf::CVornServer& facade, const std::string& id);

} // namespace vorngui

#endif
