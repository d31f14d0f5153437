// keyserver: an HKP key server (hkp:// or hkps://) the library searches and fetches keys from,
// wrapping the toolkit's key server handle (zaf/zafkeyserver.h).
//
// Every answer is bounded by the handle's limits (size, keys, time); redirects to another host
// are never followed. Fetched bytes hold only the public keys that carry the ID asked for and go
// to the ordinary import path. A handle is used by one thread at a time; the context it was made
// with must outlive it and every database query() returns.
#ifndef OOZAF_KEYSERVER_H
#define OOZAF_KEYSERVER_H

#include <oozaf/keydb.h>
#include <oozaf/nametables.h>
#include <oozaf/obj.h>
#include <oozaf/throwable.h>
#include <oozaf/time.h>
#include <zaf/zafkeyserver.h>

#include <cstdint>
#include <string>
#include <vector>

namespace oozaf {

// A key server call failed: the toolkit's code and text, then what the handle saw (the status a
// server sent, where a refused redirect pointed, the limit that was reached).
class CZAFKeyServerException final : public CZAFSDKException {
public:
    CZAFKeyServerException(int32_t code, const std::string& detail)
        : CZAFSDKException(code), m_detail(detail) {}
    std::string getMessage() const override;
    const std::string& getDetail() const { return m_detail; }

private:
    std::string m_detail;
};

// One key of a search, as the server describes it (nothing of it is verified).
struct SZAFKeyServerEntry {
    std::string keyID;      // "0x" + upper-case hex: fingerprint, or long or short key ID
    int32_t algorithm = -1; // -1: not given
    uint32_t bits = 0;      // 0: not given
    CZAFTime created;       // never (0) when not given
    CZAFTime expires;       // never (0): does not expire, or not given
    bool revoked = false;
    bool disabled = false;
    bool expired = false;
    std::vector<std::string> userIDs; // as the server sent them (UTF-8, unchecked)
    uint32_t moreUserIDs = 0;         // listed by the server beyond those kept
};

class CZAFKeyServer : public CZAFObj {
public:
    // Adopts the handle; null is an internal error.
    explicit CZAFKeyServer(ZAFKeyServerRef keyServer);
    // A server of the given type at `url` (hkp://host[:port] or hkps://host[:port]; http:// and
    // https:// also). The LDAP types raise CZAFKeyServerException with kZAFError_KeyServerType,
    // an address that does not parse with kZAFError_KeyServerAddress.
    CZAFKeyServer(const CZAFContext& context, const std::string& url,
                  ZAFKeyServerClass type = kZAFKeyServerClass_ZAF);
    ~CZAFKeyServer() override;
    CZAFKeyServer(const CZAFKeyServer&) = delete;
    CZAFKeyServer& operator=(const CZAFKeyServer&) = delete;

    ZAFKeyServerRef getHandle() const { return m_keyServer; }

    // PEM file of the authorities an hkps:// server's certificate must chain to ("": the
    // system's).
    void setCAFile(const std::string& path);
    // Bounds of every answer (0 keeps a bound as it is); see ZAFKeyServerLimits.
    void setLimits(uint64_t maxAnswerBytes, uint32_t maxKeys, uint32_t timeoutMs);

    // The keys the server holds that pass `filter`, as a new database owned by the caller (see
    // ZAFQueryKeyServer). Raises CZAFKeyServerException.
    CZAFKeyDB* query(const CZAFContext& context, ZAFFilterRef filter);
    // The keys matching a user ID text, key ID or fingerprint. Raises CZAFKeyServerException.
    std::vector<SZAFKeyServerEntry> search(const std::string& pattern);
    // The public keys carrying `keyID` (a key ID or fingerprint, "0x" optional), as binary
    // packets; `keys` gets how many. Raises CZAFKeyServerException (kZAFError_ItemNotFound when
    // the server has no such key).
    std::string fetch(const std::string& keyID, unsigned int& keys);

private:
    [[noreturn]] void fail(ZAFError code) const;

    ZAFKeyServerRef m_keyServer;
};

} // namespace oozaf

#endif
