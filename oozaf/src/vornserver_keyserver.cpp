// vornserver_keyserver: the facade's key server operations: opening the configured server,
// fetching keys and refreshing held ones through the ordinary import.
#include <oozaf/filemanager.h>
#include <oozaf/keyobjects.h>
#include <oozaf/util.h>
#include <oozaf/vornserverkeyserver.h>

#include <cctype>
#include <memory>

namespace oozaf {

const char* const kVornKeyServerCAFileName = "keyserver-ca.pem";

namespace {

std::string hexOf(const std::string& bytes) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

// The hex digits of a key name without "0x" and blanks; `blanks` tells whether it had any.
std::string digitsOf(const std::string& name, bool& blanks) {
    std::string digits;
    blanks = false;
    for (char c : name) {
        if (c == ' ')
            blanks = true;
        else
            digits += c;
    }
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits.erase(0, 2);
    return digits;
}

} // namespace

CZAFKeyServer* gOpenKeyServer(CVornServer& server, const std::string& url) {
    std::string address = url;
    const CVornServerCfg& cfg = server.getConfiguration();
    if (address.empty() && cfg.getValue(eZAFOpKeyServer, address))
        CZAFUtil::unquote(address);
    if (address.empty())
        throw new CZAFNoKeyServerException();
    int type = kZAFKeyServerClass_ZAF;
    cfg.getValue(eZAFOpKeyServerType, type);
    std::unique_ptr<CZAFKeyServer> keyServer(new CZAFKeyServer(
        server.getKeyDB()->getContext(), address, static_cast<ZAFKeyServerClass>(type)));
    const std::string caFile =
        CZAFFileManager::appendToDir(CZAFUtil::getRunDirectory(), kVornKeyServerCAFileName);
    if (CZAFFileManager::fileExists(caFile) && CZAFFileManager::isRegularFile(caFile))
        keyServer->setCAFile(caFile);
    return keyServer.release();
}

bool gIsKeyServerKeyName(const std::string& name) {
    bool blanks = false;
    const std::string digits = digitsOf(name, blanks);
    const size_t n = digits.size();
    // Blanks only between the groups of a fingerprint.
    if (!(n == 8 || n == 16 || n == 32 || n == 40) || (blanks && n < 32))
        return false;
    for (char c : digits)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

void gFetchFromKeyServer(CVornServer& server, CZAFKeyServer& keyServer,
                         const std::vector<std::string>& names,
                         std::vector<SVornImportedKey>& report) {
    report.clear();
    std::string fetched;
    for (const std::string& name : names) {
        unsigned int keys = 0;
        const std::string bytes = keyServer.fetch(name, keys);
        bool blanks = false;
        const std::string digits = digitsOf(name, blanks);
        if (keys > 1 && digits.size() == 8)
            throw new CZAFKeyServerAmbiguousException("0x" + CZAFUtil::toUpper(digits));
        fetched += bytes;
    }
    if (!fetched.empty())
        gImportKeys(server, fetched, report);
}

void gRefreshFromKeyServer(CVornServer& server, CZAFKeyServer& keyServer,
                           const std::vector<const CZAFKey*>& keys,
                           std::vector<SVornImportedKey>& report,
                           std::vector<const CZAFKey*>& notOnServer) {
    report.clear();
    notOnServer.clear();
    std::string fetched;
    for (const CZAFKey* key : keys) {
        const std::string fingerprint = key->getFingerprint();
        const std::string name =
            fingerprint.size() == 20 ? "0x" + hexOf(fingerprint) : key->getKeyIDString_Long();
        unsigned int count = 0;
        try {
            fetched += keyServer.fetch(name, count);
        } catch (CZAFKeyServerException* e) {
            if (e->getCode() != kZAFError_ItemNotFound)
                throw;
            CZAFThrowableGuard guard(e);
            notOnServer.push_back(key);
        }
    }
    if (!fetched.empty())
        gImportKeys(server, fetched, report);
}

} // namespace oozaf
