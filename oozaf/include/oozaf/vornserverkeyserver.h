// vornserverkeyserver: the server facade's key server operations. The key server comes from the
// configuration ("KeyServer", "KeyServer-Type") unless the caller names one; its TLS
// certificate is checked against "keyserver-ca.pem" of the installation directory when that
// file exists, else against the system's authorities. Fetched keys go through the same import
// as a file (gImportKeys): only verified self-signatures count, foreign certifications are
// capped, and only the keys carrying the ID asked for are taken.
#ifndef OOZAF_VORNSERVERKEYSERVER_H
#define OOZAF_VORNSERVERKEYSERVER_H

#include <oozaf/keyserver.h>
#include <oozaf/throwable.h>
#include <oozaf/vornserver.h>
#include <oozaf/vornserveredit.h>

#include <string>
#include <vector>

namespace oozaf {

// File name, in the installation directory, of the authorities trusted for hkps:// servers.
extern const char* const kVornKeyServerCAFileName; // "keyserver-ca.pem"

// Several keys on the key server carry the short key ID asked for.
class CZAFKeyServerAmbiguousException final : public CZAFException {
public:
    explicit CZAFKeyServerAmbiguousException(const std::string& keyID)
        : CZAFException(nullptr, eReasonNone), m_keyID(keyID) {}
    std::string getMessage() const override {
        return "Several keys on the key server carry the key ID " + m_keyID +
               "; name the key by its long key ID or fingerprint";
    }

private:
    std::string m_keyID;
};

// Neither the caller nor the configuration names a key server.
class CZAFNoKeyServerException final : public CZAFException {
public:
    CZAFNoKeyServerException() : CZAFException(nullptr, eReasonNone) {}
    std::string getMessage() const override {
        return "No key server is configured (KeyServer in the configuration)";
    }
};

// A new key server (owned by the caller) at `url`, or at the configuration's "KeyServer" when
// `url` is empty, of the configuration's "KeyServer-Type" (HKP when not set). Raises
// CZAFNoKeyServerException when there is none, CZAFKeyServerException with
// kZAFError_KeyServerAddress when the address does not parse and kZAFError_KeyServerType for
// the LDAP types.
CZAFKeyServer* gOpenKeyServer(CVornServer& server, const std::string& url);

// True when `name` is a key ID or fingerprint a key server can be asked for ("0x" optional).
bool gIsKeyServerKeyName(const std::string& name);

// Fetches every key named (key IDs or fingerprints), then imports them all at once; nothing is
// imported when any fetch fails. `report` is as gImportKeys gives it. Raises
// CZAFKeyServerException (kZAFError_ItemNotFound for a key the server does not hold),
// CZAFKeyServerAmbiguousException for a short key ID that several keys carry, and what
// gImportKeys raises.
void gFetchFromKeyServer(CVornServer& server, CZAFKeyServer& keyServer,
                         const std::vector<std::string>& names,
                         std::vector<SVornImportedKey>& report);

// Asks the key server for each key of `keys` (by fingerprint; version 3 keys by long key ID) and
// imports what it holds: new certifications, subkeys, user IDs and revocations. The keys the
// server does not hold go to `notOnServer`. Nothing is imported when a request
// fails. Raises CZAFKeyServerException and what gImportKeys raises.
void gRefreshFromKeyServer(CVornServer& server, CZAFKeyServer& keyServer,
                           const std::vector<const CZAFKey*>& keys,
                           std::vector<SVornImportedKey>& report,
                           std::vector<const CZAFKey*>& notOnServer);

} // namespace oozaf

#endif
