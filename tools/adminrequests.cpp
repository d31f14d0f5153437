// adminrequests: request builders and reply readers.
#include "adminrequests.h"

#include <oozaf/throwable.h>
#include <oozaf/util.h>

#include <algorithm>
#include <cctype>

namespace vornadmin {

namespace {

const char* yesNo(bool value) { return value ? "yes" : "no"; }

void setDate(SXmlElement& data, const char* attribute, const std::string& date) {
    if (!date.empty())
        data.set(attribute, date);
}

const SXmlElement& bodyNamed(const SReply& reply, const std::string& name) {
    const SXmlElement* body = reply.body();
    if (body == nullptr || body->name != name)
        throw new CAdminException("The reply holds no '" + name + "' element");
    return *body;
}

} // namespace

SXmlElement gCommand(const std::string& type) {
    SXmlElement command("command");
    command.set("type", type);
    command.add(SXmlElement("data"));
    return command;
}

SXmlElement& gData(SXmlElement& command) {
    for (SXmlElement& child : command.children)
        if (child.name == "data")
            return child;
    return command.add(SXmlElement("data"));
}

SXmlElement gAuthRequest(const std::string& user, const std::string& password,
                         const std::string& domain) {
    SXmlElement command = gCommand("auth");
    gData(command).set("username", user).set("password", password).set("domain", domain);
    return command;
}

SXmlElement gKeysSummaryRequest() { return gCommand("keys-summary"); }
SXmlElement gLogRequest() { return gCommand("log-get"); }
SXmlElement gCmdlineOptionsRequest() { return gCommand("get-cmdline-options"); }
SXmlElement gConfGetRequest() { return gCommand("conf-get"); }

SXmlElement gConfSetRequest(const SXmlElement& configuration) {
    SXmlElement command = gCommand("conf-set");
    for (const char* part : {"aliases", "values"}) {
        std::vector<const SXmlElement*> found = configuration.childrenNamed(part);
        if (found.size() != 1)
            throw new CAdminException("The configuration must hold exactly one '" +
                                      std::string(part) + "' element");
        gData(command).add(*found.front());
    }
    return command;
}

SXmlElement gKeyGenRequest(const SKeyGenParams& params) {
    SXmlElement command = gCommand("key-gen");
    SXmlElement& data = gData(command);
    data.set("name", params.name)
        .set("passphrase", params.passphrase)
        .set("type", params.type)
        .set("cipher", params.cipher)
        .set("size", std::to_string(params.size))
        .set("adk", params.adk)
        .set("sign-only", yesNo(params.signOnly))
        .set("trust-depth", "0")
        .set("token", "no");
    setDate(data, "expiry-date", params.expiry);
    return command;
}

SXmlElement gSubkeyGenRequest(const std::string& id, unsigned int size,
                              const std::string& passphrase, const std::string& start,
                              const std::string& expiry) {
    SXmlElement command = gCommand("subkey-gen");
    SXmlElement& data = gData(command);
    data.set("id", id).set("subkey-size", std::to_string(size)).set("passphrase", passphrase);
    setDate(data, "start-date", start);
    setDate(data, "expiry-date", expiry);
    return command;
}

SXmlElement gEntropyPairRequest(const std::string& type, unsigned int size) {
    SXmlElement command = gCommand("entropy-pair");
    gData(command).set("type", type).set("size", std::to_string(size));
    return command;
}

SXmlElement gEntropySubkeyRequest(const std::string& id, unsigned int size) {
    SXmlElement command = gCommand("entropy-subkey");
    gData(command).set("id", id).set("subkey-size", std::to_string(size));
    return command;
}

SXmlElement gEntropySupplyRequest(const std::string& entropy, uint32_t needed) {
    SXmlElement command = gCommand("entropy-supply");
    SXmlElement element("entropy");
    element.set("needed", std::to_string(needed));
    element.text = gEncodeBase64(entropy);
    gData(command).add(std::move(element));
    return command;
}

SXmlElement gKeyRemoveRequest(const std::string& id) {
    SXmlElement command = gCommand("key-remove");
    SXmlElement key("key");
    key.set("id", id).set("pin", "");
    gData(command).add(std::move(key));
    return command;
}

SXmlElement gKeySignRequest(const SSignParams& params) {
    SXmlElement command = gCommand("key-sign");
    SXmlElement& data = gData(command);
    data.set("signed-key", params.signedKey)
        .set("signing-key", params.signingKey)
        .set("sig-type", params.sigType)
        .set("regexp", params.regexp)
        .set("passphrase", params.passphrase)
        .set("depth", std::to_string(params.depth));
    setDate(data, "expiry-date", params.expiry);
    return command;
}

SXmlElement gKeyRevokeRequest(const std::string& id, const std::string& revokerId,
                              const std::string& passphrase, const std::string& reason,
                              const std::string& reasonText) {
    SXmlElement command = gCommand("key-revoke");
    SXmlElement& data = gData(command);
    data.set("id", id).set("revoker-id", revokerId).set("passphrase", passphrase);
    if (!reason.empty())
        data.set("reason", reason);
    if (!reasonText.empty())
        data.set("reason-text", reasonText);
    return command;
}

SXmlElement gUserIDAddRequest(const std::string& id, const std::string& userID,
                              const std::string& passphrase) {
    SXmlElement command = gCommand("userid-add");
    gData(command).set("id", id).set("userid", userID).set("passphrase", passphrase);
    return command;
}

SXmlElement gUserIDRemoveRequest(const std::string& id, const std::string& userID) {
    SXmlElement command = gCommand("userid-remove");
    gData(command).set("id", id).set("userid", userID);
    return command;
}

SXmlElement gKeyImportRequest(const std::string& bytes, bool x509, bool withPrivate) {
    SXmlElement command = gCommand("key-add");
    SXmlElement& data = gData(command);
    data.set("x509", yesNo(x509)).set("with-private", yesNo(withPrivate));
    SXmlElement file("file");
    file.set("size", std::to_string(bytes.size()));
    file.text = gEncodeBase64(bytes);
    data.add(std::move(file));
    return command;
}

SXmlElement gKeyExportRequest(const SExportParams& params) {
    SXmlElement command = gCommand("key-export");
    gData(command)
        .set("id", params.id)
        .set("armor", yesNo(params.armor))
        .set("with-private", yesNo(params.withPrivate))
        .set("export-format", params.format);
    return command;
}

SXmlElement gPictureRequest(const std::string& id) {
    SXmlElement command = gCommand("get-picture");
    gData(command).set("id", id);
    return command;
}

SXmlElement gKeyServerSearchRequest(const std::string& pattern, const std::string& server) {
    SXmlElement command = gCommand("keyserver-search");
    SXmlElement& data = gData(command);
    data.set("pattern", pattern);
    if (!server.empty())
        data.set("server", server);
    return command;
}

SXmlElement gKeyServerFetchRequest(const std::vector<std::string>& ids, const std::string& server) {
    SXmlElement command = gCommand("keyserver-fetch");
    SXmlElement& data = gData(command);
    std::string joined;
    for (const std::string& id : ids) {
        std::string compact = id;
        compact.erase(std::remove(compact.begin(), compact.end(), ' '), compact.end());
        joined += (joined.empty() ? "" : " ") + compact;
    }
    data.set("ids", joined);
    if (!server.empty())
        data.set("server", server);
    return command;
}

std::string gExportedKey(const SReply& reply) {
    const SXmlElement& file = bodyNamed(reply, "file");
    std::vector<const SXmlElement*> lines = file.childrenNamed("line");
    if (lines.empty())
        return gDecodeBase64(file.text);
    std::string text;
    for (const SXmlElement* line : lines)
        text += line->text + "\n";
    return text;
}

std::string gPhotoBytes(const SReply& reply) {
    return gDecodeBase64(bodyNamed(reply, "photo").text);
}

int gImportStatus(const SReply& reply) {
    const SXmlElement& report = bodyNamed(reply, "file-report");
    const std::string value = report.get("error");
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos)
        throw new CAdminException("The import report has no valid 'error' value: '" + value + "'");
    return std::stoi(value);
}

uint32_t gImportCount(const SReply& reply, const std::string& attribute) {
    const std::string value = bodyNamed(reply, "file-report").get(attribute);
    if (value.empty())
        return 0;
    if (value.size() > 9 || value.find_first_not_of("0123456789") != std::string::npos)
        throw new CAdminException("The import report has no valid '" + attribute + "' value: '" +
                                  value + "'");
    return static_cast<uint32_t>(std::stoul(value));
}

uint32_t gEntropyReport(const SReply& reply, const std::string& attribute) {
    const SXmlElement& report = bodyNamed(reply, "entropy-report");
    const std::string value = report.get(attribute);
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos)
        throw new CAdminException("The entropy report has no valid '" + attribute + "' value: '" +
                                  value + "'");
    return static_cast<uint32_t>(std::stoul(value));
}

std::string gDecodeBase64(const std::string& text) {
    // Stricter than the library's decoder, which stops quietly at the first character outside
    // the alphabet: a reply cut short or damaged must not pass for shorter data. Only the
    // alphabet and white space, whole groups of four, and at most two "=" at the very end.
    std::string compact;
    compact.reserve(text.size());
    for (unsigned char c : text) {
        if (!std::isspace(c))
            compact += static_cast<char>(c);
    }
    const size_t dataLength = compact.find_last_not_of('=') + 1; // 0 when all are "="
    const bool alphabet = std::all_of(compact.begin(), compact.begin() + dataLength, [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/';
    });
    if (!alphabet || compact.size() % 4 != 0 || compact.size() - dataLength > 2)
        throw new CAdminException("The reply holds invalid Base64 data");
    std::string out;
    try {
        oozaf::CZAFUtil::Base64Decode(compact, out);
    } catch (oozaf::CZAFCorruptBase64DataException* e) {
        delete e;
        throw new CAdminException("The reply holds invalid Base64 data");
    }
    return out;
}

std::string gEncodeBase64(const std::string& bytes) {
    std::string out;
    oozaf::CZAFUtil::Base64Encode(bytes, out);
    return out;
}

} // namespace vornadmin
