// vornserveredit: the key edits and transfers of the server facade that the command engine needs
// beyond the console's set: owner trust, disabling, designated revokers, photo IDs, removing and
// revoking single objects (subkeys, photo IDs, certifications), exporting a whole key set to
// memory, and an import that reports what happened to each key.
//
// Each call works on the server's open database and writes the key rings before it returns
// successfully; each raises CZAFKeyEditException (or CZAFKeyImportException /
// CZAFKeyExportException for the transfers) with the lower failure as its cause, CZAFError for
// defects, and standard exceptions. Objects passed in belong to the server's database.
#ifndef OOZAF_VORNSERVEREDIT_H
#define OOZAF_VORNSERVEREDIT_H

#include <oozaf/keyobjects.h>
#include <oozaf/throwable.h>
#include <oozaf/time.h>
#include <oozaf/vornserver.h>

#include <string>
#include <vector>

namespace oozaf {

class CZAFKeyEditException final : public CZAFException {
public:
    explicit CZAFKeyEditException(const CZAFThrowable* root) : CZAFException(root, eReasonNone) {}
    std::string getMessage() const override { return "Error editing key"; }
};

// Owner trust (kZAFTrust_...: 1 unknown, 2 never, 5 marginal, 6 complete, 7 implicit).
void gSetOwnerTrust(CVornServer& server, const CZAFKey& key, unsigned int trust);
// Disables or enables a key (a disabled key is left out of recipient look-ups).
void gSetKeyDisabled(CVornServer& server, const CZAFKey& key, bool disabled);
// Protects the key pair's secret parts with `newPassphrase` (empty: unprotected) after
// `passphrase` unlocked them.
void gChangePassphrase(CVornServer& server, const CZAFKey& key, const std::string& passphrase,
                       const std::string& newPassphrase);
// Sets when the key pair expires (the time 0, "never", for no expiry) with new
// self-certifications of its user IDs; `passphrase` unlocks the key.
void gSetKeyExpiration(CVornServer& server, const CZAFKey& key, const CZAFTime& expires,
                       const std::string& passphrase);
// Names `revoker` a designated revoker of `key`; `passphrase` unlocks `key`.
void gAddRevoker(CVornServer& server, const CZAFKey& key, const CZAFKey& revoker,
                 const std::string& passphrase);
// Adds a photo ID holding the JPEG image `jpeg`; `passphrase` unlocks `key`.
void gAddPhotoID(CVornServer& server, const CZAFKey& key, const std::string& jpeg,
                 const std::string& passphrase);
// Removes a user ID, photo ID, subkey or signature with what hangs under it.
void gRemoveKeyObject(CVornServer& server, const CZAFDatabaseObject& object);
// Revokes a subkey (by its key) or a certification (by its issuer, looked up when `revoker` is
// null); `passphrase` unlocks the revoker; `reason` goes into the revocation.
void gRevokeKeyObject(CVornServer& server, const CZAFDatabaseObject& object, const CZAFKey* revoker,
                      const std::string& passphrase,
                      const SRevocationReason& reason = SRevocationReason());
// Checks a signature with its issuer's key: false when the database does not hold the issuer
// (then `verified` is false too), else true with `verified` telling whether it is good.
bool gCheckSignature(const CZAFSignature& signature, bool& verified);
// True when `passphrase` unlocks the key's secret part.
bool gPassphraseUnlocks(const CZAFKey& key, const std::string& passphrase);

// The keys of `keys` as one export (binary or armoured) into `out`. Raises
// CZAFKeyExportException.
void gExportKeySet(CVornServer& server, const CZAFKeySet& keys, bool withPrivate, bool armor,
                   ZAFExportFormat format, std::string& out);

// What an import did to one key of the input.
struct SVornImportedKey {
    enum eOutcome { eNew, eChanged, eUnchanged };
    std::string keyID;  // short key ID text
    std::string userID; // primary user ID, "" when it has none
    bool secret = false;
    eOutcome outcome = eUnchanged;
};

// Imports every key of `data` (binary or armoured), merges it into the database and writes the
// rings when anything changed. As in CVornServer::importKeyFromBuffer, user IDs and subkeys
// without a verified self-signature are dropped and at most
// CVornServer::kMaxForeignCertifications certifications per user ID by issuers held nowhere are
// kept. `report` receives one entry per key of the input, in input order.
// Input that holds no key material raises CZAFKeyImportException with the toolkit's failure as
// cause (kZAFError_ImportNoKeyDB when the input yields no database at all).
void gImportKeys(CVornServer& server, const std::string& data,
                 std::vector<SVornImportedKey>& report);

// Groups of the server's groups file. Each raises CZAFKeyEditException with the lower failure as
// its cause, and writes the groups file before it returns.
struct SVornGroup {
    std::string name;
    std::string description;
    unsigned int keys = 0;   // key members
    unsigned int groups = 0; // sub-group members
};
// Every group, in the file's order.
std::vector<SVornGroup> gListGroups(CVornServer& server);
// Adds the keys to the group `name`, making the group when it does not exist (a name of 1 to 63
// bytes). Keys already in it stay once.
void gAddToGroup(CVornServer& server, const std::string& name,
                 const std::vector<const CZAFKey*>& keys);
// Removes the group; false when there is none of that name.
bool gRemoveGroup(CVornServer& server, const std::string& name);
// The keys of the group found in the database (a new set), or null when there is no such group;
// `missing` receives the number of member key IDs the database does not hold.
CZAFKeySet* gGroupKeys(CVornServer& server, const std::string& name, unsigned int& missing);

} // namespace oozaf

#endif
