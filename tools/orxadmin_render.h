// orxadmin_render: readable text for the listener's replies. Every text from a reply is shown
// with control characters escaped, so a user ID cannot drive the terminal.
#ifndef VORNADMIN_ORXADMIN_RENDER_H
#define VORNADMIN_ORXADMIN_RENDER_H

#include "adminpull.h"
#include "adminxml.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace vornadmin {

// A reply text made safe for a terminal: bytes below 0x20 and the byte 0x7F become \xNN; with
// `multiline`, line breaks and tabs stay as they are.
std::string gPrintable(const std::string& text, bool multiline = false);

// One key of a keys summary with what its table shows: the key's attributes, its user IDs (with
// the number of their signatures, not the signatures), subkeys, revokers and ADKs. Like the
// tree readers, only the first container of each kind counts.
struct SKeyListing {
    struct SUserID {
        SXmlElement element; // attributes only
        size_t signatures = 0;
    };
    SXmlElement key; // attributes only
    std::vector<SUserID> userIDs;
    std::vector<SXmlElement> subkeys;
    std::vector<SXmlElement> revokers;
    std::vector<SXmlElement> adks;
};

// One key's table: a header line (ID, algorithm, size, creation, expiry, validity, trust, flags),
// then its fingerprint, user IDs, subkeys, revokers and ADKs.
void gRenderKey(const SKeyListing& key, std::ostream& out);
// The "keys" element of a keys summary: every key's table, a blank line between two.
void gRenderKeys(const SXmlElement& keys, std::ostream& out);
// The same from a reader standing just after the start of "keys": each key is written as soon as
// it has been read, so memory holds one key at a time. Reads up to the end of "keys"; returns the
// number of keys.
size_t gRenderKeys(CXmlPullReader& reader, std::ostream& out);
// Reads every key from a reader standing just after the start of "keys", up to its end, and
// hands each to `visit`; returns the number of keys.
size_t gEachKey(CXmlPullReader& reader, const std::function<void(const SKeyListing&)>& visit);
// Whether a key of the summary (its attributes) is the one `name` names: a short or long key ID
// or a fingerprint, as the listener reads them.
bool gKeyIsNamed(const SXmlElement& key, const std::string& name);
// The "transactions" element of a log reply, as a table.
void gRenderLog(const SXmlElement& transactions, std::ostream& out);
// The "switches" element: one switch per line.
void gRenderSwitches(const SXmlElement& switches, std::ostream& out);
// The "configuration" element: aliases, then values.
void gRenderConfiguration(const SXmlElement& configuration, std::ostream& out);
// The "keyserver-keys" element of a key server search: each key's table (ID, type, size, dates,
// flags, then fingerprint or long key ID and user IDs), then how many were found. Nothing of it
// is verified; every text is shown escaped.
void gRenderKeyServerKeys(const SXmlElement& keys, std::ostream& out);
// The "keyserver-report" element of a fetch: one line per key (new, changed or unchanged), then
// the counts.
void gRenderKeyServerReport(const SXmlElement& report, std::ostream& out);

} // namespace vornadmin

#endif
