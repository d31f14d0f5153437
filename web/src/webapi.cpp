// webapi: page actions to listener requests.
#include "webapi.h"

#include <oozaf/cfgfile.h>
#include <oozaf/nametables.h>
#include <oozaf/ops.h>
#include <oozaf/util.h>
#include <oozaf/vornserverconf.h>
#include <oozaf/vornserverkeyserver.h>

#include <adminrequests.h>
#include <algorithm>
#include <cctype>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <orxadmin_cli.h>
#include <sys/stat.h>

namespace vornweb {

using vornadmin::SXmlElement;

namespace {

// Runs a look-up of the listener's name tables; its failure becomes a refusal naming the field.
void checkName(const std::string& field, const std::string& value,
               const std::function<void(const std::string&)>& lookup) {
    try {
        lookup(value);
    } catch (oozaf::CZAFThrowable* e) {
        delete e;
        throw CWebInputException("Unknown value '" + value + "' for " + field);
    }
}

std::string text(const CForm& form, const std::string& field, bool allowEmpty = true) {
    std::string value = form.required(field, kMaxTextField);
    if (!allowEmpty && value.empty())
        throw CWebInputException("The field '" + field + "' must not be empty");
    return value;
}

std::string optionalText(const CForm& form, const std::string& field) {
    return form.has(field) ? text(form, field) : std::string();
}

// A key ID as the key list shows it: "0x" and 8 or 16 hexadecimal digits.
std::string keyID(const CForm& form, const std::string& field, bool allowEmpty = false) {
    const std::string value = form.required(field, kMaxKeyID);
    if (allowEmpty && value.empty())
        return value;
    bool ok = (value.size() == 10 || value.size() == 18) && value[0] == '0' &&
              (value[1] == 'x' || value[1] == 'X');
    for (size_t i = 2; ok && i < value.size(); ++i)
        ok = std::isxdigit(static_cast<unsigned char>(value[i])) != 0;
    if (!ok)
        throw CWebInputException("The field '" + field + "' is not a key ID like 0x1A2B3C4D");
    return value;
}

// Runs one of the console's value checks; its refusal becomes the page's message.
template <class F> auto consoleCheck(F&& check) -> decltype(check()) {
    try {
        return check();
    } catch (oozaf::CZAFThrowable* e) {
        oozaf::CZAFThrowableGuard guard(e);
        throw CWebInputException(e->getMessage());
    }
}

unsigned long number(const CForm& form, const std::string& field, unsigned long min,
                     unsigned long max) {
    const std::string value = form.required(field, 16);
    return consoleCheck(
        [&] { return vornadmin::gParseNumber("The field '" + field + "'", value, min, max); });
}

// An optional date as YYYY-MM-DD with a real month and day; empty when the field is absent or
// empty.
std::string date(const CForm& form, const std::string& field) {
    const std::string value = form.has(field) ? form.required(field, 16) : std::string();
    if (!value.empty())
        consoleCheck([&] { vornadmin::gCheckDate("The field '" + field + "'", value); });
    return value;
}

bool flag(const CForm& form, const std::string& field) {
    const std::string value = form.get(field, "no");
    if (value == "yes" || value == "on" || value == "true")
        return true;
    if (value == "no" || value == "off" || value == "false" || value.empty())
        return false;
    throw CWebInputException("The field '" + field + "' must be yes or no");
}

// A name from one of the listener's tables (`fallback` when the field is absent).
std::string named(const CForm& form, const std::string& field, const std::string& fallback,
                  const std::string& what, const std::function<void(const std::string&)>& lookup) {
    const std::string value = form.get(field, fallback);
    if (value.size() > 32)
        throw CWebInputException("Unknown value for " + what);
    checkName(what, value, lookup);
    return value;
}

std::string keyType(const CForm& form) {
    return named(form, "type", "RSA", "the key type",
                 [](const std::string& v) { oozaf::gKeyTypeFromStringArg(v); });
}

SXmlElement keyGen(const CForm& form) {
    vornadmin::SKeyGenParams params;
    params.name = text(form, "name", false);
    params.passphrase = text(form, "passphrase");
    params.type = keyType(form);
    params.cipher = named(form, "cipher", "AES256", "the cipher",
                          [](const std::string& v) { oozaf::gCipherFromString(v); });
    params.size = static_cast<unsigned int>(number(form, "size", 1, 65535));
    params.adk = form.has("adk") ? keyID(form, "adk", true) : std::string();
    params.signOnly = flag(form, "sign-only");
    params.expiry = date(form, "expiry");
    return vornadmin::gKeyGenRequest(params);
}

SXmlElement sign(const CForm& form) {
    vornadmin::SSignParams params;
    params.signedKey = keyID(form, "id");
    params.signingKey = keyID(form, "signer");
    params.sigType = named(form, "sig-type", "Exportable", "the signature type",
                           [](const std::string& v) { oozaf::gSigTypeFromString(v); });
    params.regexp = optionalText(form, "regexp");
    params.passphrase = text(form, "passphrase");
    params.depth = form.has("depth") && !form.get("depth").empty()
                       ? static_cast<unsigned int>(number(form, "depth", 0, 255))
                       : 0;
    params.expiry = date(form, "expiry");
    return vornadmin::gKeySignRequest(params);
}

SXmlElement exportKey(const CForm& form) {
    vornadmin::SExportParams params;
    params.id = keyID(form, "id");
    params.armor = flag(form, "armor");
    params.withPrivate = flag(form, "private");
    // Private key material leaves only after the page asked the user to confirm it.
    if (params.withPrivate && form.get("confirm") != "yes")
        throw CWebInputException("Exporting private keys needs a confirmation");
    params.format = named(form, "format", "Complete", "the export format",
                          [](const std::string& v) { oozaf::gExportFormatFromString(v); });
    return vornadmin::gKeyExportRequest(params);
}

SXmlElement entropySupply(const CForm& form) {
    const auto needed = static_cast<uint32_t>(number(form, "needed", 0, kMaxEntropy));
    const std::string encoded = form.required("entropy", kMaxFieldValue);
    std::string bytes;
    try {
        bytes = vornadmin::gDecodeBase64(encoded);
    } catch (oozaf::CZAFThrowable* e) {
        delete e;
        throw CWebInputException("The entropy is not Base64");
    }
    SXmlElement request = vornadmin::gEntropySupplyRequest(bytes, needed);
    vornadmin::gWipe(bytes);
    return request;
}

// A revocation's reason (RFC 4880 reason-for-revocation): the code and an optional text, set on
// the request's "data" only when the page chose a reason.
void reason(const CForm& form, SXmlElement& data) {
    const std::string code = form.get("reason");
    if (!code.empty()) {
        const unsigned long value = number(form, "reason", 0, 110);
        if (!(value <= 3 || value == 32 || value >= 100))
            throw CWebInputException("The field 'reason' is no revocation reason code");
        data.set("reason", std::to_string(value));
    }
    const std::string text = optionalText(form, "reason-text");
    if (!text.empty())
        data.set("reason-text", text);
}

// A "command" of `type` whose "data" gets the key's "id" (and what `more` sets).
SXmlElement keyEdit(const std::string& type, const CForm& form,
                    const std::function<void(SXmlElement&)>& more) {
    SXmlElement command = vornadmin::gCommand(type);
    SXmlElement& data = vornadmin::gData(command);
    data.set("id", keyID(form, "id"));
    more(data);
    return command;
}

const char* const kTrustLevels[] = {"Unknown", "Never", "Marginal", "Complete", "Ultimate"};

// The text to look for on a key server, as the listener takes it.
SXmlElement keyServerSearch(const CForm& form) {
    const std::string pattern = text(form, "pattern", false);
    if (pattern.size() > kMaxKeyServerPattern)
        throw CWebInputException("The text to look for is longer than " +
                                 std::to_string(kMaxKeyServerPattern) + " bytes");
    return vornadmin::gKeyServerSearchRequest(pattern, optionalText(form, "server"));
}

// The keys to fetch: key IDs or fingerprints separated by blanks or commas.
SXmlElement keyServerFetch(const CForm& form) {
    const std::string ids = text(form, "ids", false);
    std::vector<std::string> names;
    size_t at = 0;
    while ((at = ids.find_first_not_of(" ,\t\r\n", at)) != std::string::npos) {
        const size_t end = std::min(ids.find_first_of(" ,\t\r\n", at), ids.size());
        names.push_back(ids.substr(at, end - at));
        at = end;
        if (names.size() > kMaxKeyServerFetch)
            throw CWebInputException("At most " + std::to_string(kMaxKeyServerFetch) +
                                     " keys can be fetched at once");
        if (!oozaf::gIsKeyServerKeyName(names.back()))
            throw CWebInputException("'" + names.back().substr(0, 64) +
                                     "' is not a key ID or fingerprint (0x and 8 or 16 "
                                     "hexadecimal digits, or the 40 of a fingerprint)");
    }
    if (names.empty())
        throw CWebInputException("Name at least one key to fetch");
    return vornadmin::gKeyServerFetchRequest(names, optionalText(form, "server"));
}

using Mapper = std::function<SXmlElement(const CForm&)>;

const std::map<std::string, Mapper>& mappers() {
    static const std::map<std::string, Mapper> table = {
        {"keys", [](const CForm&) { return vornadmin::gKeysSummaryRequest(); }},
        {"log", [](const CForm&) { return vornadmin::gLogRequest(); }},
        {"options", [](const CForm&) { return vornadmin::gCmdlineOptionsRequest(); }},
        {"conf-get", [](const CForm&) { return vornadmin::gConfGetRequest(); }},
        {"conf-set",
         [](const CForm& form) {
             return vornadmin::gConfSetRequest(gConfigurationFromForm(form));
         }},
        {"entropy-pair",
         [](const CForm& form) {
             return vornadmin::gEntropyPairRequest(
                 keyType(form), static_cast<unsigned int>(number(form, "size", 1, 65535)));
         }},
        {"entropy-subkey",
         [](const CForm& form) {
             return vornadmin::gEntropySubkeyRequest(
                 keyID(form, "id"), static_cast<unsigned int>(number(form, "size", 1, 65535)));
         }},
        {"entropy-supply", entropySupply},
        {"key-gen", keyGen},
        {"subkey-gen",
         [](const CForm& form) {
             return vornadmin::gSubkeyGenRequest(
                 keyID(form, "id"), static_cast<unsigned int>(number(form, "size", 1, 65535)),
                 text(form, "passphrase"), date(form, "start"), date(form, "expiry"));
         }},
        {"sign", sign},
        {"revoke",
         [](const CForm& form) {
             const std::string id = keyID(form, "id");
             const std::string revoker = form.get("revoker").empty() ? id : keyID(form, "revoker");
             SXmlElement command =
                 vornadmin::gKeyRevokeRequest(id, revoker, text(form, "passphrase"));
             reason(form, vornadmin::gData(command));
             return command;
         }},
        {"trust",
         [](const CForm& form) {
             return keyEdit("key-set-trust", form, [&](SXmlElement& data) {
                 const std::string level = form.required("trust", 16);
                 if (std::find(std::begin(kTrustLevels), std::end(kTrustLevels), level) ==
                     std::end(kTrustLevels))
                     throw CWebInputException("Unknown value '" + level + "' for the owner trust");
                 data.set("trust", level);
             });
         }},
        {"disable",
         [](const CForm& form) {
             return keyEdit("key-set-disabled", form,
                            [](SXmlElement& data) { data.set("disabled", "yes"); });
         }},
        {"enable",
         [](const CForm& form) {
             return keyEdit("key-set-disabled", form,
                            [](SXmlElement& data) { data.set("disabled", "no"); });
         }},
        {"expiry",
         [](const CForm& form) {
             return keyEdit("key-set-expiry", form, [&](SXmlElement& data) {
                 data.set("expiry-date", date(form, "expiry"));
                 data.set("passphrase", text(form, "passphrase"));
             });
         }},
        {"passphrase",
         [](const CForm& form) {
             return keyEdit("key-change-passphrase", form, [&](SXmlElement& data) {
                 data.set("passphrase", text(form, "passphrase"));
                 data.set("new-passphrase", text(form, "new-passphrase"));
             });
         }},
        {"subkey-revoke",
         [](const CForm& form) {
             return keyEdit("subkey-revoke", form, [&](SXmlElement& data) {
                 data.set("subkey-id", keyID(form, "subkey"));
                 data.set("passphrase", text(form, "passphrase"));
                 reason(form, data);
             });
         }},
        {"userid-revoke",
         [](const CForm& form) {
             return keyEdit("userid-revoke", form, [&](SXmlElement& data) {
                 data.set("userid", text(form, "userid", false));
                 data.set("passphrase", text(form, "passphrase"));
                 reason(form, data);
             });
         }},
        {"userid-add",
         [](const CForm& form) {
             return vornadmin::gUserIDAddRequest(keyID(form, "id"), text(form, "userid", false),
                                                 text(form, "passphrase"));
         }},
        {"userid-remove",
         [](const CForm& form) {
             return vornadmin::gUserIDRemoveRequest(keyID(form, "id"), text(form, "userid", false));
         }},
        {"remove",
         [](const CForm& form) {
             if (form.get("confirm") != "yes")
                 throw CWebInputException("Removing a key needs a confirmation");
             return vornadmin::gKeyRemoveRequest(keyID(form, "id"));
         }},
        {"export", exportKey},
        {"photo", [](const CForm& form) { return vornadmin::gPictureRequest(keyID(form, "id")); }},
        {"keyserver-search", keyServerSearch},
        {"keyserver-fetch", keyServerFetch},
    };
    return table;
}

std::string quotedIfBlank(std::string value) {
    if (value.find_first_of(" \t") != std::string::npos)
        oozaf::CZAFUtil::quote(value);
    return value;
}

// Feeds one setting into a scratch layer, as the listener will; the layer's refusal becomes the
// page's message.
void store(oozaf::CVornServerCfgPart& part, const std::string& directive, const std::string& value,
           const std::string& what) {
    try {
        part.processKeyValue(directive, value);
    } catch (oozaf::CZAFThrowable* e) {
        oozaf::CZAFThrowableGuard guard(e);
        std::string reason = e->getDetailedMessage();
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
            reason.pop_back();
        throw CWebInputException(what + " is refused: " + reason);
    }
}

const char* typeName(int32_t type) {
    switch (type & ~static_cast<int32_t>(oozaf::eArgTypeMulti)) {
    case oozaf::eArgTypeBool:
        return "boolean";
    case oozaf::eArgTypeInt:
        return "integer";
    case oozaf::eArgTypeKeyID:
        return "keyid";
    case oozaf::eArgTypeEnum:
        return "choice";
    default:
        return "string";
    }
}

} // namespace

std::vector<std::string> gMappedActions() {
    std::vector<std::string> names;
    for (const auto& entry : mappers())
        names.push_back(entry.first);
    return names;
}

SXmlElement gMapAction(const std::string& action, const CForm& form) {
    const auto it = mappers().find(action);
    if (it == mappers().end())
        throw CWebInputException("Unknown action", 404);
    SXmlElement request = it->second(form);
    // The writer refuses what XML cannot carry; find that here, before anything is sent.
    try {
        std::string xml = vornadmin::gWriteXml(request);
        vornadmin::gWipe(xml);
    } catch (oozaf::CZAFThrowable* e) {
        delete e;
        throw CWebInputException("A value cannot be sent to the listener");
    }
    return request;
}

SXmlElement gMapImport(const std::string& bytes) {
    if (bytes.size() > kMaxImport)
        throw CWebInputException("The key file is larger than " +
                                     std::to_string(kMaxImport / (1024 * 1024)) + " MiB",
                                 413);
    if (bytes.empty())
        throw CWebInputException("The key file is empty");
    return vornadmin::gKeyImportRequest(bytes);
}

SXmlElement gConfigurationFromForm(const CForm& form) {
    const std::vector<std::string> codes = form.all("alias-code");
    const std::vector<std::string> commands = form.all("alias-command");
    const std::vector<std::string> directives = form.all("value-directive");
    const std::vector<std::string> values = form.all("value-text");
    if (codes.size() != commands.size() || directives.size() != values.size())
        throw CWebInputException("Every alias needs a code and a command, every value a "
                                 "directive and a text");
    if (codes.size() + directives.size() > kMaxConfEntries)
        throw CWebInputException("The configuration has more than " +
                                 std::to_string(kMaxConfEntries) + " entries");
    oozaf::CVornServerCfgUserPart part(nullptr);
    SXmlElement configuration("configuration");
    SXmlElement aliases("aliases");
    SXmlElement valueList("values");
    for (size_t i = 0; i < codes.size(); ++i) {
        if (codes[i].size() > kMaxTextField || commands[i].size() > kMaxTextField)
            throw CWebInputException("Alias " + std::to_string(i + 1) + " is too long");
        store(part, "Alias", quotedIfBlank(codes[i]) + ":" + quotedIfBlank(commands[i]),
              "Alias '" + codes[i] + "'");
        aliases.add(SXmlElement("alias")).set("code", codes[i]).set("command", commands[i]);
    }
    for (size_t i = 0; i < directives.size(); ++i) {
        if (directives[i].size() > kMaxFieldName || values[i].size() > kMaxTextField)
            throw CWebInputException("Value " + std::to_string(i + 1) + " is too long");
        oozaf::eZAFOp op;
        std::string canonical;
        try {
            op = oozaf::gOpFromDirective(directives[i]);
            canonical = oozaf::gDirectiveFromOp(op);
        } catch (oozaf::CZAFThrowable* e) {
            delete e;
            throw CWebInputException("'" + directives[i] + "' is not a configuration directive");
        }
        if (op == oozaf::eZAFOpAlias)
            throw CWebInputException("Aliases go in the alias list, not among the values");
        store(part, directives[i], quotedIfBlank(values[i]), "The value of " + canonical);
        SXmlElement element(canonical);
        element.text = values[i];
        valueList.add(std::move(element));
    }
    configuration.add(std::move(aliases));
    configuration.add(std::move(valueList));
    return configuration;
}

std::string gKeyTypesJson() {
    std::string out = "{\"types\":[";
    bool first = true;
    for (const oozaf::SZAFNameRow2& row : oozaf::gKeyTypeNames) {
        if (!first)
            out += ',';
        first = false;
        // Elliptic-curve keys are named by their curve's size: 255 is Ed25519 with Curve25519.
        const char* size = row.value == oozaf::eKeyTypeECC ? "255" : "2048";
        out += "{\"name\":" + gJsonString(row.second) + ",\"label\":" + gJsonString(row.first) +
               ",\"size\":" + size + "}";
    }
    return out + "]}";
}

std::string gDirectivesJson() {
    std::string out = "[";
    bool first = true;
    for (unsigned int i = 0; i < oozaf::gOpsCount(); ++i) {
        const oozaf::SZAFOpStruct& row = oozaf::gOps[i];
        if (row.directive == nullptr || row.argType == oozaf::eArgTypeNone ||
            row.op == oozaf::eZAFOpInclude1 || row.op == oozaf::eZAFOpInclude2)
            continue;
        if (!first)
            out += ',';
        first = false;
        out += "{\"directive\":" + gJsonString(row.directive) + ",\"type\":\"" +
               typeName(row.argType) +
               "\",\"multi\":" + ((row.argType & oozaf::eArgTypeMulti) != 0 ? "true" : "false") +
               "}";
    }
    return out + "]";
}

std::string gPolicyJson(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0)
        return "{}";
    oozaf::CVornServerCfgPolicyPart part(nullptr);
    try {
        oozaf::CVornServerCfgFile reader(false);
        reader.read(path, part, false);
    } catch (oozaf::CZAFThrowable* e) {
        oozaf::CZAFThrowableGuard guard(e);
        throw CWebInputException(
            "The site policy file " + path + " cannot be read: " + e->getDetailedMessage(), 500);
    }
    std::string out = "{";
    bool first = true;
    for (const auto& entry : part.getConfigurationMap()) {
        if (!first)
            out += ',';
        first = false;
        out += gJsonString(oozaf::gDirectiveFromOp(entry.first)) + ":[";
        bool firstValue = true;
        for (const oozaf::CValue* value : entry.second) {
            if (!firstValue)
                out += ',';
            firstValue = false;
            std::string textValue = value->stringValue(entry.first);
            oozaf::CZAFUtil::unquote(textValue);
            out += gJsonString(textValue);
        }
        out += ']';
    }
    return out + "}";
}

} // namespace vornweb
