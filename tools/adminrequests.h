// adminrequests: the request documents of the administration protocol and readers for the
// elements of their replies.
//
// Every request is a "command" element whose "type" attribute names the request, with one "data"
// element carrying the parameters as attributes (and, for some requests, child elements). The
// builders return the element tree; gWriteXml turns it into the frame's text. Booleans travel as
// "yes"/"no", dates as YYYY-MM-DD (empty: not sent). The XML library writes attributes in name
// order, whatever the order they were set in.
#ifndef VORNADMIN_ADMINREQUESTS_H
#define VORNADMIN_ADMINREQUESTS_H

#include "adminclient.h"
#include "adminxml.h"

#include <cstdint>
#include <string>
#include <vector>

namespace vornadmin {

// A "command" of the given type with an empty "data" element.
SXmlElement gCommand(const std::string& type);
// The "data" element of a command built by gCommand.
SXmlElement& gData(SXmlElement& command);

SXmlElement gAuthRequest(const std::string& user, const std::string& password,
                         const std::string& domain);
SXmlElement gKeysSummaryRequest();
SXmlElement gLogRequest();
SXmlElement gCmdlineOptionsRequest();
SXmlElement gConfGetRequest();
// `configuration` holds one "aliases" and one "values" element (the form conf-get returns);
// they are copied into "data". Throws CAdminException when either is missing or repeated.
SXmlElement gConfSetRequest(const SXmlElement& configuration);

struct SKeyGenParams {
    std::string name;
    std::string passphrase;
    std::string type = "RSA";
    std::string cipher = "AES256";
    unsigned int size = 2048;
    std::string adk;
    bool signOnly = false;
    std::string expiry;
};
SXmlElement gKeyGenRequest(const SKeyGenParams& params);
SXmlElement gSubkeyGenRequest(const std::string& id, unsigned int size,
                              const std::string& passphrase, const std::string& start,
                              const std::string& expiry);
SXmlElement gEntropyPairRequest(const std::string& type, unsigned int size);
SXmlElement gEntropySubkeyRequest(const std::string& id, unsigned int size);
// Carries `entropy` (raw bytes, sent as Base64) and asks to reserve `needed` bytes.
SXmlElement gEntropySupplyRequest(const std::string& entropy, uint32_t needed);

SXmlElement gKeyRemoveRequest(const std::string& id);
struct SSignParams {
    std::string signedKey;
    std::string signingKey;
    std::string sigType = "Exportable";
    std::string regexp;
    std::string passphrase;
    unsigned int depth = 0;
    std::string expiry;
};
SXmlElement gKeySignRequest(const SSignParams& params);
// `reason` (a word or RFC 4880 code) and `reasonText` are sent only when not empty.
SXmlElement gKeyRevokeRequest(const std::string& id, const std::string& revokerId,
                              const std::string& passphrase, const std::string& reason = "",
                              const std::string& reasonText = "");
SXmlElement gUserIDAddRequest(const std::string& id, const std::string& userID,
                              const std::string& passphrase);
SXmlElement gUserIDRemoveRequest(const std::string& id, const std::string& userID);

// Carries the key file's bytes (Base64 inside "file", with their count in "size").
SXmlElement gKeyImportRequest(const std::string& bytes, bool x509 = false,
                              bool withPrivate = false);
struct SExportParams {
    std::string id;
    bool armor = true;
    bool withPrivate = false;
    std::string format = "Complete";
};
SXmlElement gKeyExportRequest(const SExportParams& params);
SXmlElement gPictureRequest(const std::string& id);

// Asks the key server which keys match `pattern` (user ID text, key ID or fingerprint). The
// server is `server` (hkp://, hkps://, http:// or https://), or the user's configured one when
// `server` is empty (the attribute is then not sent).
SXmlElement gKeyServerSearchRequest(const std::string& pattern, const std::string& server);
// Fetches the keys named (key IDs or fingerprints; a fingerprint written in groups loses its
// blanks, and the names are sent separated by one blank) from the key server and imports them.
SXmlElement gKeyServerFetchRequest(const std::vector<std::string>& ids, const std::string& server);

// ---- reading replies; each throws CAdminException when the reply lacks what it reads ----

// The exported key: the armored lines joined with line breaks (one after each line), or the
// decoded bytes of a binary export.
std::string gExportedKey(const SReply& reply);
// The image bytes of a "photo" reply.
std::string gPhotoBytes(const SReply& reply);
// The "error" attribute of a "file-report" (0 imported, 1 imported as X.509, 2 nothing new).
int gImportStatus(const SReply& reply);
// A count the import report may carry ("new", "changed", "unchanged", "dropped-userids",
// "dropped-subkeys", "dropped-certifications"): 0 when it is absent. Throws CAdminException when
// it is no number.
uint32_t gImportCount(const SReply& reply, const std::string& attribute);
// The "needed" or "available" attribute of an "entropy-report".
uint32_t gEntropyReport(const SReply& reply, const std::string& attribute);

// Strict Base64: the standard alphabet, white space ignored, "=" only as final padding. Throws
// CAdminException for anything else, so a damaged reply is never taken for a short one.
std::string gDecodeBase64(const std::string& text);
std::string gEncodeBase64(const std::string& bytes);

} // namespace vornadmin

#endif
