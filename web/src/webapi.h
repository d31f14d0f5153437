// webapi: the mapping from the page's actions (form fields) to listener requests, with every
// value checked before anything is sent, and the checks of a configuration sent from the page.
// A request the listener would refuse by ending the connection (an unknown key type or cipher)
// never leaves orxweb.
#ifndef VORNWEB_WEBAPI_H
#define VORNWEB_WEBAPI_H

#include "webhttp.h"

#include <adminxml.h>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vornweb {

// Limits of single values sent to the listener.
constexpr size_t kMaxTextField = 1024; // user IDs, passphrases, regular expressions
constexpr size_t kMaxKeyID = 64;
constexpr uint32_t kMaxEntropy = 1u << 20;
// A key file to import; with Base64 and the envelope it stays below the listener's request limit.
constexpr size_t kMaxImport = 8u * 1024 * 1024;
// Aliases and values of one configuration.
constexpr size_t kMaxConfEntries = 1000;
// A key server search's text and the keys of one fetch (the listener's bounds).
constexpr size_t kMaxKeyServerPattern = 256;
constexpr size_t kMaxKeyServerFetch = 50;

// The actions that the page sends as forms and that map to exactly one listener request.
std::vector<std::string> gMappedActions();

// The listener request for `action` with the fields of `form`. Throws CWebInputException (400)
// for an unknown action or a missing, malformed or oversized value.
vornadmin::SXmlElement gMapAction(const std::string& action, const CForm& form);

// The "key-add" request for the bytes of a key file (at most kMaxImport, else 413).
vornadmin::SXmlElement gMapImport(const std::string& bytes);

// The "configuration" element for the aliases and values of a form: fields "alias-code" and
// "alias-command" in pairs, then "value-directive" and "value-text" in pairs, in order. Each
// value is checked against the operation table the way the listener stores it; the first value
// refused names its directive and the reason.
vornadmin::SXmlElement gConfigurationFromForm(const CForm& form);

// The key types a key pair may have, by the names the "type" field takes, with the name people
// know and a size to start with: {"types":[{"name","label","size"},..]}.
std::string gKeyTypesJson();

// The directives a configuration value may name, with their value type ("boolean", "integer",
// "string", "keyid", "choice") and whether several values are allowed, as JSON.
std::string gDirectivesJson();
// The settings of the site policy file at `path` as JSON {"Directive":["value",...],...}; "{}"
// when the file does not exist; CWebInputException (500) naming the problem when it cannot be
// read.
std::string gPolicyJson(const std::string& path);

} // namespace vornweb

#endif
