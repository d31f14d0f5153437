// orxadmin_render: readable text for the listener's replies. Every text from a reply is shown
// with control characters escaped, so a user ID cannot drive the terminal.
#ifndef VORNADMIN_ORXADMIN_RENDER_H
#define VORNADMIN_ORXADMIN_RENDER_H

#include "adminxml.h"

#include <ostream>
#include <string>

namespace vornadmin {

// A reply text made safe for a terminal: bytes below 0x20 and the byte 0x7F become \xNN; with
// `multiline`, line breaks and tabs stay as they are.
std::string gPrintable(const std::string& text, bool multiline = false);

// The "keys" element of a keys summary: one header line per key (ID, algorithm, size, creation,
// expiry, validity, trust, flags), then its fingerprint, user IDs, subkeys, revokers and ADKs.
void gRenderKeys(const SXmlElement& keys, std::ostream& out);
// The "transactions" element of a log reply, as a table.
void gRenderLog(const SXmlElement& transactions, std::ostream& out);
// The "switches" element: one switch per line.
void gRenderSwitches(const SXmlElement& switches, std::ostream& out);
// The "configuration" element: aliases, then values.
void gRenderConfiguration(const SXmlElement& configuration, std::ostream& out);

} // namespace vornadmin

#endif
