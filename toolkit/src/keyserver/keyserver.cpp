// keyserver: the key server handle over HKP (searching, fetching, and key databases made from a
// server's answer to a filter).
#include "keyserver_http.h"
#include "keyserver_index.h"
#include "keystore/keystore.h"

#include <zaf/zafkeyserver.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint32_t kServerMagic = 0x5A4B5356; // "ZKSV"
constexpr uint32_t kIndexMagic = 0x5A4B5349;  // "ZKSI"

constexpr uint64_t kHardMaxAnswerBytes = uint64_t(256) << 20;
constexpr uint32_t kHardMaxKeys = 10000;
constexpr uint32_t kHardMaxTimeoutMs = 600000;

} // namespace

struct ZAFKeyServer {
    uint32_t magic = kServerMagic;
    ZAFContextRef context = nullptr; // the databases made from answers belong to it
    zaf::hkp::Address address;
    std::string caFile;
    uint64_t maxAnswerBytes = kZAFKeyServerDefaultMaxAnswerBytes;
    uint32_t maxKeys = kZAFKeyServerDefaultMaxKeys;
    uint32_t timeoutMs = kZAFKeyServerDefaultTimeoutMs;
    std::string lastError;
};

struct ZAFKeyServerIndex {
    uint32_t magic = kIndexMagic;
    std::vector<zaf::hkp::IndexKey> keys;
};

using namespace zaf;

namespace {

bool isValidServer(const ZAFKeyServer* s) { return s != nullptr && s->magic == kServerMagic; }
bool isValidIndex(const ZAFKeyServerIndex* i) { return i != nullptr && i->magic == kIndexMagic; }

// Tests shorten the time limit through the environment; it can never lengthen it.
uint32_t effectiveTimeout(uint32_t configured) {
    const char* text = std::getenv("ORX_ZAF_KEYSERVER_TIMEOUT_MS");
    if (text == nullptr || *text == '\0' || std::strlen(text) > 9)
        return configured;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (*end != '\0' || value == 0)
        return configured;
    return value < configured ? static_cast<uint32_t>(value) : configured;
}

hkp::Limits limitsOf(const ZAFKeyServer& server) {
    hkp::Limits limits;
    limits.maxBodyBytes = static_cast<size_t>(server.maxAnswerBytes);
    limits.timeout = std::chrono::milliseconds(effectiveTimeout(server.timeoutMs));
    return limits;
}

ZAFError copyText(const std::string& text, char* buffer, size_t size, size_t* outSize) {
    if (buffer == nullptr && outSize == nullptr)
        return kZAFError_BadParams;
    const size_t need = text.size() + 1;
    if (outSize != nullptr)
        *outSize = need;
    if (buffer == nullptr || size < need)
        return kZAFError_BufferTooSmall;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return kZAFError_NoErr;
}

ZAFError giveBuffer(const std::string& data, void** outData, size_t* outSize) {
    void* block = std::malloc(data.empty() ? 1 : data.size());
    if (block == nullptr)
        return kZAFError_OutOfMemory;
    if (!data.empty())
        std::memcpy(block, data.data(), data.size());
    *outData = block;
    *outSize = data.size();
    return kZAFError_NoErr;
}

// One look-up: GETs /pks/lookup with `query`; `notFound` tells a 404 (no match), which is no
// failure. Other statuses from 400 on are kZAFError_KeyServerRefused.
ZAFError lookup(ZAFKeyServer& server, const std::string& query, std::string& body, bool& notFound) {
    notFound = false;
    hkp::Answer answer;
    std::string detail;
    const ZAFError code = hkp::get(server.address, "/pks/lookup?" + query, limitsOf(server),
                                   server.caFile, answer, detail);
    if (code != kZAFError_NoErr) {
        server.lastError = detail;
        return code;
    }
    if (answer.status == 404) {
        notFound = true;
        return kZAFError_NoErr;
    }
    if (answer.status >= 300 || answer.status < 200) {
        server.lastError =
            detail.empty() ? "the key server answered " + std::to_string(answer.status) : detail;
        return kZAFError_KeyServerRefused;
    }
    body.swap(answer.body);
    return kZAFError_NoErr;
}

std::string limitText(ZAFError code, const ZAFKeyServer& server) {
    if (code == kZAFError_KeyServerTooManyKeys)
        return "the key server's answer holds more than " + std::to_string(server.maxKeys) +
               " keys";
    if (code == kZAFError_CorruptData)
        return "the key server's answer is not a sequence of key packets";
    return std::string();
}

// The keys of the server's answers to a filter, as binary packets: the keys carrying one of the
// filter's key IDs, or every public key the server returns for the filter's text.
ZAFError gatherForQuery(ZAFKeyServer& server, const ServerQuery& query, std::string& keys) {
    std::vector<std::pair<std::string, const hkp::KeyName*>> searches;
    std::vector<hkp::KeyName> names;
    names.reserve(query.keyIDs.size());
    for (const std::string& id : query.keyIDs) {
        hkp::KeyName name;
        name.kind = id.size() == 4 ? hkp::KeyName::ShortID : hkp::KeyName::LongID;
        name.bytes = id;
        names.push_back(name);
    }
    for (const hkp::KeyName& name : names)
        searches.emplace_back(hkp::keyNameText(name), &name);
    if (query.byText)
        searches.emplace_back(query.text, nullptr);
    for (const auto& search : searches) {
        std::string body;
        bool notFound = false;
        ZAFError code = lookup(
            server, "op=get&options=mr&search=" + hkp::percentEncode(search.first), body, notFound);
        if (code != kZAFError_NoErr)
            return code;
        if (notFound)
            continue;
        std::string selected;
        uint32_t kept = 0;
        code = hkp::selectKeys(body, search.second, server.maxKeys, selected, kept);
        if (code != kZAFError_NoErr) {
            server.lastError = limitText(code, server);
            return code;
        }
        if (keys.size() + selected.size() > server.maxAnswerBytes) {
            server.lastError = "the key server's answers are larger than " +
                               std::to_string(server.maxAnswerBytes) + " bytes";
            return kZAFError_KeyServerTooLarge;
        }
        keys += selected;
    }
    return kZAFError_NoErr;
}

} // namespace

extern "C" {

ZAFError ZAFNewKeyServerOfType(ZAFContextRef context, const char* url, int32_t serverType,
                               ZAFKeyServerRef* out) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidCtx(context))
            return kZAFError_InvalidHandle;
        if (url == nullptr || out == nullptr)
            return kZAFError_BadParams;
        if (serverType == kZAFKeyServerType_LDAPX509 || serverType == kZAFKeyServerType_LDAPZAF)
            return kZAFError_KeyServerType;
        if (serverType != kZAFKeyServerType_HKP)
            return kZAFError_BadParams;
        auto server = std::make_unique<ZAFKeyServer>();
        server->context = context;
        const ZAFError code = hkp::parseAddress(url, server->address);
        if (code != kZAFError_NoErr)
            return code;
        *out = server.release();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFNewKeyServer(ZAFContextRef context, const char* url, ZAFKeyServerRef* out) {
    return ZAFNewKeyServerOfType(context, url, kZAFKeyServerType_HKP, out);
}

ZAFError ZAFFreeKeyServer(ZAFKeyServerRef server) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidServer(server))
            return kZAFError_InvalidHandle;
        server->magic = 0;
        delete server;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFSetKeyServerCAFile(ZAFKeyServerRef server, const char* path) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidServer(server))
            return kZAFError_InvalidHandle;
        server->caFile = path == nullptr ? "" : path;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFSetKeyServerLimits(ZAFKeyServerRef server, const ZAFKeyServerLimits* limits) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidServer(server))
            return kZAFError_InvalidHandle;
        if (limits == nullptr || limits->maxAnswerBytes > kHardMaxAnswerBytes ||
            limits->maxKeys > kHardMaxKeys || limits->timeoutMs > kHardMaxTimeoutMs)
            return kZAFError_BadParams;
        if (limits->maxAnswerBytes != 0)
            server->maxAnswerBytes = limits->maxAnswerBytes;
        if (limits->maxKeys != 0)
            server->maxKeys = limits->maxKeys;
        if (limits->timeoutMs != 0)
            server->timeoutMs = limits->timeoutMs;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetKeyServerLimits(ZAFKeyServerRef server, ZAFKeyServerLimits* outLimits) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidServer(server))
            return kZAFError_InvalidHandle;
        if (outLimits == nullptr)
            return kZAFError_BadParams;
        outLimits->maxAnswerBytes = server->maxAnswerBytes;
        outLimits->maxKeys = server->maxKeys;
        outLimits->timeoutMs = server->timeoutMs;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetKeyServerLastError(ZAFKeyServerRef server, char* buffer, size_t size,
                                  size_t* outSize) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidServer(server))
            return kZAFError_InvalidHandle;
        return copyText(server->lastError, buffer, size, outSize);
    });
}

ZAFError ZAFSearchKeyServer(ZAFKeyServerRef server, const char* pattern,
                            ZAFKeyServerIndexRef* outIndex) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidServer(server))
            return kZAFError_InvalidHandle;
        if (pattern == nullptr || outIndex == nullptr || std::strlen(pattern) > 1024)
            return kZAFError_BadParams;
        server->lastError.clear();
        hkp::KeyName name;
        const std::string search =
            hkp::parseKeyName(pattern, name) ? hkp::keyNameText(name) : std::string(pattern);
        std::string body;
        bool notFound = false;
        ZAFError code = lookup(*server, "op=index&options=mr&search=" + hkp::percentEncode(search),
                               body, notFound);
        if (code != kZAFError_NoErr)
            return code;
        auto index = std::make_unique<ZAFKeyServerIndex>();
        if (!notFound) {
            code = hkp::parseIndex(body, server->maxKeys, index->keys);
            if (code != kZAFError_NoErr) {
                server->lastError = limitText(code, *server);
                return code;
            }
        }
        *outIndex = index.release();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFParseKeyServerIndex(const void* text, size_t size, uint32_t maxKeys,
                                ZAFKeyServerIndexRef* outIndex) {
    return zaf::guard([&]() -> ZAFError {
        if ((text == nullptr && size != 0) || outIndex == nullptr || maxKeys > kHardMaxKeys)
            return kZAFError_BadParams;
        auto index = std::make_unique<ZAFKeyServerIndex>();
        const ZAFError code = hkp::parseIndex(
            std::string_view(static_cast<const char*>(text), size), maxKeys, index->keys);
        if (code != kZAFError_NoErr)
            return code;
        *outIndex = index.release();
        return kZAFError_NoErr;
    });
}

ZAFError ZAFCountKeyServerIndexKeys(ZAFKeyServerIndexRef index, uint32_t* outCount) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidIndex(index))
            return kZAFError_InvalidHandle;
        if (outCount == nullptr)
            return kZAFError_BadParams;
        *outCount = static_cast<uint32_t>(index->keys.size());
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetKeyServerIndexKey(ZAFKeyServerIndexRef index, uint32_t key,
                                 ZAFKeyServerKeyInfo* outInfo) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidIndex(index))
            return kZAFError_InvalidHandle;
        if (outInfo == nullptr || key >= index->keys.size())
            return kZAFError_BadParams;
        const hkp::IndexKey& k = index->keys[key];
        ZAFKeyServerKeyInfo info{};
        std::memcpy(info.keyID, k.keyID.data(), std::min(k.keyID.size(), sizeof info.keyID - 1));
        info.algorithm = k.algorithm;
        info.bits = k.bits;
        info.created = k.created;
        info.expires = k.expires;
        info.flags = k.flags;
        info.userIDCount = static_cast<uint32_t>(k.userIDs.size());
        info.userIDsDropped = k.userIDsDropped;
        *outInfo = info;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFGetKeyServerIndexUserID(ZAFKeyServerIndexRef index, uint32_t key, uint32_t userID,
                                    char* buffer, size_t size, size_t* outSize) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidIndex(index))
            return kZAFError_InvalidHandle;
        if (key >= index->keys.size() || userID >= index->keys[key].userIDs.size())
            return kZAFError_BadParams;
        return copyText(index->keys[key].userIDs[userID], buffer, size, outSize);
    });
}

ZAFError ZAFFreeKeyServerIndex(ZAFKeyServerIndexRef index) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidIndex(index))
            return kZAFError_InvalidHandle;
        index->magic = 0;
        delete index;
        return kZAFError_NoErr;
    });
}

ZAFError ZAFSelectKeysByID(const void* data, size_t size, const char* keyID, uint32_t maxKeys,
                           void** outData, size_t* outSize, uint32_t* outKeys) {
    return zaf::guard([&]() -> ZAFError {
        hkp::KeyName name;
        if ((data == nullptr && size != 0) || keyID == nullptr || outData == nullptr ||
            outSize == nullptr || maxKeys > kHardMaxKeys || !hkp::parseKeyName(keyID, name))
            return kZAFError_BadParams;
        std::string selected;
        uint32_t kept = 0;
        const ZAFError code = hkp::selectKeys(
            std::string_view(static_cast<const char*>(data), size), &name, maxKeys, selected, kept);
        if (code != kZAFError_NoErr)
            return code;
        if (outKeys != nullptr)
            *outKeys = kept;
        return giveBuffer(selected, outData, outSize);
    });
}

ZAFError ZAFFetchFromKeyServer(ZAFKeyServerRef server, const char* keyID, void** outData,
                               size_t* outSize, uint32_t* outKeys) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidServer(server))
            return kZAFError_InvalidHandle;
        hkp::KeyName name;
        if (keyID == nullptr || outData == nullptr || outSize == nullptr ||
            !hkp::parseKeyName(keyID, name))
            return kZAFError_BadParams;
        server->lastError.clear();
        std::string body;
        bool notFound = false;
        ZAFError code = lookup(
            *server, "op=get&options=mr&search=" + hkp::percentEncode(hkp::keyNameText(name)), body,
            notFound);
        if (code != kZAFError_NoErr)
            return code;
        if (notFound) {
            server->lastError = "the key server has no key " + hkp::keyNameText(name);
            return kZAFError_ItemNotFound;
        }
        std::string selected;
        uint32_t kept = 0;
        code = hkp::selectKeys(body, &name, server->maxKeys, selected, kept);
        if (code != kZAFError_NoErr) {
            server->lastError = limitText(code, *server);
            return code;
        }
        if (kept == 0) {
            server->lastError =
                "the key server's answer holds no key with the ID " + hkp::keyNameText(name);
            return kZAFError_ItemNotFound;
        }
        if (outKeys != nullptr)
            *outKeys = kept;
        return giveBuffer(selected, outData, outSize);
    });
}

ZAFError ZAFQueryKeyServer(ZAFKeyServerRef server, ZAFFilterRef filter, ZAFKeyDBRef* outKeyDB) {
    return zaf::guard([&]() -> ZAFError {
        if (!isValidServer(server))
            return kZAFError_InvalidHandle;
        if (outKeyDB == nullptr || filter == nullptr)
            return kZAFError_BadParams;
        ServerQuery query;
        if (!serverQueryOf(filter, query)) {
            server->lastError = "only key IDs and user ID texts can be looked up on a key server";
            return kZAFError_NotImplemented;
        }
        server->lastError.clear();
        std::string keys;
        ZAFError code = gatherForQuery(*server, query, keys);
        if (code != kZAFError_NoErr)
            return code;
        // The answer is read as any imported key material is, and keeps only what the filter
        // asks for: a server's word search is looser than a substring match.
        if (!isValidCtx(server->context))
            return kZAFError_InvalidHandle;
        ZAFContextRef context = server->context;
        ZAFKeyDBRef db = nullptr;
        code = ZAFImport(context, &db, ZAFOInputBuffer(context, keys.data(), keys.size()),
                         ZAFOLastOption());
        if (code != kZAFError_NoErr)
            return code;
        std::unique_ptr<ZAFKeyDB, ZAFError (*)(ZAFKeyDBRef)> ownDB(db, ZAFFreeKeyDB);
        ZAFFilterRef others = nullptr;
        code = ZAFNegateFilter(filter, &others);
        if (code != kZAFError_NoErr)
            return code;
        std::unique_ptr<ZAFFilter, ZAFError (*)(ZAFFilterRef)> ownFilter(others, ZAFFreeFilter);
        ZAFKeySetRef unwanted = nullptr;
        code = ZAFFilterKeySet(ZAFPeekKeyDBRootKeySet(db), others, &unwanted);
        if (code != kZAFError_NoErr)
            return code;
        code = ZAFDeleteKeys(db, unwanted);
        ZAFFreeKeySet(unwanted);
        if (code != kZAFError_NoErr)
            return code;
        *outKeyDB = ownDB.release();
        return kZAFError_NoErr;
    });
}

} // extern "C"
