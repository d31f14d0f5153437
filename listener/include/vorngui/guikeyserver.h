// guikeyserver: the requests that search an HKP key server and fetch keys from it into the
// user's key rings. The session's CGUIClient hands them, after the structural checks, to a
// CGUIKeyServerRequests over its server facade.
#ifndef VORNGUI_GUIKEYSERVER_H
#define VORNGUI_GUIKEYSERVER_H

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

// The key server handlers of one session, over that session's facade (not owned), run as the
// session's user. The key server is the request's "server" (hkp://, hkps://, http:// or
// https://) or, when that is absent or empty, "KeyServer" of the user's configuration. Every
// answer of the server is bounded by the toolkit (size, keys, 30 s per question, no redirect to
// another host), so a request asks at most one question per key named and ends within that time
// for each.
//
// Failures:
// - CGUIFormatException (rc 12) for an empty or over-long "pattern", a key name that is not a
//   key ID or fingerprint, no names or more than kMaxFetchNames, and a "server" that is not a
//   key server address. Nothing is asked then.
// - CGUIRequestFailedException (rc 8) holding the facade's failure: no key server configured, an
//   LDAP key server type, a server that cannot be reached, answers too much or too late,
//   redirects elsewhere, fails its certificate check or does not hold a key, a short key ID that
//   several keys carry, or a failed import.
class CGUIKeyServerRequests final : public oozaf::CZAFObj {
public:
    static const std::string GUICMD_KS_SEARCH; // "keyserver-search"
    static const std::string GUICMD_KS_FETCH;  // "keyserver-fetch"

    // Bytes of a search pattern.
    static const std::size_t kMaxPattern = 256;
    // Keys one fetch may name.
    static const std::size_t kMaxFetchNames = 50;

    explicit CGUIKeyServerRequests(oozaf::CVornServer& server) : m_server(server) {}
    CGUIKeyServerRequests(const CGUIKeyServerRequests&) = delete;
    CGUIKeyServerRequests& operator=(const CGUIKeyServerRequests&) = delete;

    // "keyserver-search": "pattern" (a user ID text, key ID or fingerprint), optional "server".
    // Returns "keyserver-keys" holding one "key" per key the server listed, as the server
    // describes it (nothing of it is verified): "id" ("0x" and the hex digits the server gave: a
    // fingerprint or a key ID), "alg" (empty when not given), "size" (0 when not given),
    // "creation-time" and "expiration-time" (YYYY-MM-DD, "N/A" when not given or never),
    // "revoked", "expired", "disabled" (yes/no) and "more-userids" (user IDs listed beyond those
    // kept); its "userid" children carry "name".
    std::unique_ptr<CGUIElement> doSearch(const xercesc::DOMElement* data);
    // "keyserver-fetch": "ids" (key IDs or fingerprints, "0x" optional, separated by blanks or
    // commas), optional "server". Fetches every key, then imports them all as a key file is
    // imported; nothing is imported when any fetch fails. Returns "keyserver-report" with "new",
    // "changed" and "unchanged" counts and one "key" per key imported ("id" short key ID,
    // "userid" primary user ID, "outcome" new, changed or unchanged).
    std::unique_ptr<CGUIElement> doFetch(const xercesc::DOMElement* data);

private:
    oozaf::CVornServer& m_server;
};

} // namespace vorngui

#endif
