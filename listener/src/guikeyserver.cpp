// guikeyserver: searching an HKP key server and fetching keys from it.
#include <oozaf/nametables.h>
#include <oozaf/throwable.h>
#include <oozaf/vornserverkeyserver.h>
#include <vorngui/guiexceptions.h>
#include <vorngui/guikeyserver.h>
#include <vorngui/xmlstring.h>

#include <memory>
#include <string>
#include <vector>

namespace vorngui {

using namespace oozaf;
using namespace xercesc;

const std::string CGUIKeyServerRequests::GUICMD_KS_SEARCH = "keyserver-search";
const std::string CGUIKeyServerRequests::GUICMD_KS_FETCH = "keyserver-fetch";

namespace {

const char* const kTag = "gui";

std::string text(const DOMElement* element, const char* attribute) {
    return gGetAttribute(element, CXStr(attribute));
}

const char* yesNo(bool value) { return value ? "yes" : "no"; }

std::string dateOrNA(const CZAFTime& time) {
    return time.isNever() ? std::string("N/A") : time.formatYMD(false);
}

// A value the console sent that cannot be used: rc 12, nothing is asked.
[[noreturn]] void badValue(const std::string& attribute, const std::string& value,
                           const std::string& expected) {
    const std::string shown = value.size() <= 64 ? value : value.substr(0, 64) + "...";
    throw new CGUIFormatException("The value '" + shown + "' of attribute '" + attribute +
                                  "' is not " + expected);
}

// The server the request names, or the configured one. An address the console sent that is no
// key server address is the console's mistake (rc 12); a configured one that is not, the user's
// (rc 8).
std::unique_ptr<CZAFKeyServer> openServer(CVornServer& server, const DOMElement* data) {
    const std::string url = text(data, "server");
    try {
        return std::unique_ptr<CZAFKeyServer>(gOpenKeyServer(server, url));
    } catch (CZAFKeyServerException* e) {
        CZAFThrowableGuard guard(e);
        if (!url.empty() && e->getCode() == kZAFError_KeyServerAddress)
            badValue("server", url,
                     "a key server address (hkp://HOST[:PORT] or hkps://HOST[:PORT])");
        gRethrowAs<CGUIRequestFailedException>(guard.release());
    } catch (CZAFException* e) {
        gRethrowAs<CGUIRequestFailedException>(e);
    }
}

} // namespace

std::unique_ptr<CGUIElement> CGUIKeyServerRequests::doSearch(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const std::string pattern = text(data, "pattern");
    if (pattern.empty() || pattern.size() > kMaxPattern)
        badValue("pattern", pattern,
                 "a text of 1 to " + std::to_string(kMaxPattern) + " bytes to look for");
    std::unique_ptr<CZAFKeyServer> keyServer = openServer(m_server, data);
    const std::vector<SZAFKeyServerEntry> entries =
        gRequestWork([&] { return keyServer->search(pattern); });

    auto keys = std::make_unique<CGUIElement>("keyserver-keys");
    for (const SZAFKeyServerEntry& entry : entries) {
        CGUIElement& key = keys->add("key");
        key.set("id", entry.keyID);
        std::string algorithm;
        if (entry.algorithm >= 0) {
            // The server may name any number; one without a name must not cost the listing.
            try {
                algorithm = gGetAlgName(static_cast<ZAFPublicKeyAlgorithm>(entry.algorithm), false);
            } catch (CZAFThrowable* e) {
                CZAFThrowableGuard guard(e);
                algorithm = "UNKNOWN";
            }
        }
        key.set("alg", algorithm);
        key.set("size", std::to_string(entry.bits));
        key.set("creation-time", dateOrNA(entry.created));
        key.set("expiration-time", dateOrNA(entry.expires));
        key.set("revoked", yesNo(entry.revoked));
        key.set("expired", yesNo(entry.expired));
        key.set("disabled", yesNo(entry.disabled));
        key.set("more-userids", std::to_string(entry.moreUserIDs));
        for (const std::string& userID : entry.userIDs)
            key.add("userid").set("name", userID);
    }
    return keys;
}

std::unique_ptr<CGUIElement> CGUIKeyServerRequests::doFetch(const DOMElement* data) {
    ZAF_ASSERT_TAG(kTag, data != nullptr);
    const std::string ids = text(data, "ids");
    std::vector<std::string> names;
    size_t at = 0;
    while (at < ids.size()) {
        const size_t start = ids.find_first_not_of(" ,\t\r\n", at);
        if (start == std::string::npos)
            break;
        const size_t end = std::min(ids.find_first_of(" ,\t\r\n", start), ids.size());
        if (names.size() == kMaxFetchNames)
            badValue("ids", ids, "at most " + std::to_string(kMaxFetchNames) + " key names");
        names.push_back(ids.substr(start, end - start));
        if (!gIsKeyServerKeyName(names.back()))
            badValue("ids", names.back(),
                     "a key ID or fingerprint (0x and 8 or 16 hex digits, or the 40 of a "
                     "fingerprint)");
        at = end;
    }
    if (names.empty())
        badValue("ids", ids, "a list of key IDs or fingerprints");
    std::unique_ptr<CZAFKeyServer> keyServer = openServer(m_server, data);
    std::vector<SVornImportedKey> imported;
    gRequestWork([&] {
        m_server.UpdateKeyDB();
        gFetchFromKeyServer(m_server, *keyServer, names, imported);
    });

    static const char* const kOutcomes[] = {"new", "changed", "unchanged"};
    unsigned int counts[3] = {0, 0, 0};
    auto report = std::make_unique<CGUIElement>("keyserver-report");
    for (const SVornImportedKey& key : imported)
        ++counts[key.outcome];
    report->set("new", std::to_string(counts[0]));
    report->set("changed", std::to_string(counts[1]));
    report->set("unchanged", std::to_string(counts[2]));
    for (const SVornImportedKey& key : imported)
        report->add("key")
            .set("id", key.keyID)
            .set("userid", key.userID)
            .set("outcome", kOutcomes[key.outcome]);
    return report;
}

} // namespace vorngui
