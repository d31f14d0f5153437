// keyserver: the key server wrapper (searching, fetching, and queries by filter).
#include <oozaf/keyserver.h>
#include <oozaf/logger.h>

namespace oozaf {

namespace {

const char* const kTag = "keyserver";

std::string lastErrorOf(ZAFKeyServerRef server) {
    size_t size = 0;
    if (ZAFGetKeyServerLastError(server, nullptr, 0, &size) != kZAFError_BufferTooSmall ||
        size == 0)
        return std::string();
    std::string text(size, '\0');
    if (ZAFGetKeyServerLastError(server, &text[0], size, &size) != kZAFError_NoErr)
        return std::string();
    text.resize(size - 1);
    return text;
}

} // namespace

std::string CZAFKeyServerException::getMessage() const {
    const std::string base = CZAFSDKException::getMessage();
    return m_detail.empty() ? base : base + ": " + m_detail;
}

CZAFKeyServer::CZAFKeyServer(ZAFKeyServerRef keyServer) : m_keyServer(keyServer) {
    ZAF_ASSERT_TAG(kTag, m_keyServer != nullptr);
}

CZAFKeyServer::CZAFKeyServer(const CZAFContext& context, const std::string& url,
                             ZAFKeyServerClass type)
    : m_keyServer(nullptr) {
    const ZAFError code =
        ZAFNewKeyServerOfType(context.getHandle(), url.c_str(), type, &m_keyServer);
    if (code != kZAFError_NoErr)
        throw new CZAFKeyServerException(code, "");
    ZAF_ASSERT_TAG(kTag, m_keyServer != nullptr);
}

CZAFKeyServer::~CZAFKeyServer() {
    ZAFError err = ZAFFreeKeyServer(m_keyServer);
    if (err != kZAFError_NoErr)
        ZAF_LOG_WARNING("WARNING: Couldn't free key server (err = " << err << ")");
}

void CZAFKeyServer::fail(ZAFError code) const {
    throw new CZAFKeyServerException(code, lastErrorOf(m_keyServer));
}

void CZAFKeyServer::setCAFile(const std::string& path) {
    const ZAFError code = ZAFSetKeyServerCAFile(m_keyServer, path.c_str());
    if (code != kZAFError_NoErr)
        fail(code);
}

void CZAFKeyServer::setLimits(uint64_t maxAnswerBytes, uint32_t maxKeys, uint32_t timeoutMs) {
    const ZAFKeyServerLimits limits{maxAnswerBytes, maxKeys, timeoutMs};
    const ZAFError code = ZAFSetKeyServerLimits(m_keyServer, &limits);
    if (code != kZAFError_NoErr)
        fail(code);
}

CZAFKeyDB* CZAFKeyServer::query(const CZAFContext& context, ZAFFilterRef filter) {
    ZAFKeyDBRef keyDB = nullptr;
    const ZAFError code = ZAFQueryKeyServer(m_keyServer, filter, &keyDB);
    if (code != kZAFError_NoErr)
        fail(code);
    return new CZAFKeyDB(context, keyDB);
}

std::vector<SZAFKeyServerEntry> CZAFKeyServer::search(const std::string& pattern) {
    ZAFKeyServerIndexRef index = nullptr;
    ZAFError code = ZAFSearchKeyServer(m_keyServer, pattern.c_str(), &index);
    if (code != kZAFError_NoErr)
        fail(code);
    std::unique_ptr<ZAFKeyServerIndex, ZAFError (*)(ZAFKeyServerIndexRef)> owned(
        index, ZAFFreeKeyServerIndex);
    uint32_t count = 0;
    code = ZAFCountKeyServerIndexKeys(index, &count);
    std::vector<SZAFKeyServerEntry> entries;
    for (uint32_t i = 0; code == kZAFError_NoErr && i < count; ++i) {
        ZAFKeyServerKeyInfo info{};
        code = ZAFGetKeyServerIndexKey(index, i, &info);
        if (code != kZAFError_NoErr)
            break;
        SZAFKeyServerEntry entry;
        entry.keyID = std::string("0x") + info.keyID;
        entry.algorithm = info.algorithm;
        entry.bits = info.bits;
        entry.created = CZAFTime(info.created, 0);
        entry.expires = CZAFTime(info.expires, 0);
        entry.revoked = (info.flags & kZAFKeyServerKeyFlag_Revoked) != 0;
        entry.disabled = (info.flags & kZAFKeyServerKeyFlag_Disabled) != 0;
        entry.expired = (info.flags & kZAFKeyServerKeyFlag_Expired) != 0;
        entry.moreUserIDs = info.userIDsDropped;
        for (uint32_t u = 0; code == kZAFError_NoErr && u < info.userIDCount; ++u) {
            size_t size = 0;
            code = ZAFGetKeyServerIndexUserID(index, i, u, nullptr, 0, &size);
            if (code != kZAFError_BufferTooSmall)
                break;
            std::string text(size, '\0');
            code = ZAFGetKeyServerIndexUserID(index, i, u, &text[0], size, &size);
            text.resize(size - 1);
            entry.userIDs.push_back(text);
        }
        entries.push_back(std::move(entry));
    }
    if (code != kZAFError_NoErr)
        throw new CZAFSDKException(code);
    return entries;
}

std::string CZAFKeyServer::fetch(const std::string& keyID, unsigned int& keys) {
    void* data = nullptr;
    size_t size = 0;
    uint32_t count = 0;
    const ZAFError code = ZAFFetchFromKeyServer(m_keyServer, keyID.c_str(), &data, &size, &count);
    if (code != kZAFError_NoErr)
        fail(code);
    std::unique_ptr<void, ZAFError (*)(void*)> owned(data, ZAFFreeData);
    keys = count;
    return std::string(static_cast<const char*>(data), size);
}

} // namespace oozaf
