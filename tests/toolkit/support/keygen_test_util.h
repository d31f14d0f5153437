// keygen_test_util: generating small keys, finding their current version, walking their packets
// and checking every signature with the key store's own verifier.
#ifndef KEYGEN_TEST_UTIL_H
#define KEYGEN_TEST_UTIL_H

#include "keys/keyedit_internal.h"
#include "keystore/keystore_internal.h"
#include "keystore_test_util.h"

#include <zaf/zaf.h>

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kgtest {

using namespace kstest;

struct Packet {
    uint8_t tag = 0;
    std::string body;
};

// The packets of a byte string (transferable keys, rings).
inline std::vector<Packet> packets(std::string_view bytes) {
    std::vector<Packet> out;
    size_t pos = 0;
    std::string scratch;
    while (pos < bytes.size()) {
        zaf::rfc4880::RawPacket rp;
        if (!zaf::rfc4880::readPacket(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                                      pos, rp, scratch)) {
            ADD_FAILURE() << "unreadable packet at " << pos;
            break;
        }
        out.push_back(Packet{rp.tag, std::string(rp.body)});
        pos += rp.total;
    }
    return out;
}

inline std::vector<uint8_t> tags(const std::vector<Packet>& ps) {
    std::vector<uint8_t> out;
    for (const Packet& p : ps)
        out.push_back(p.tag);
    return out;
}

inline zaf::rfc4880::SigInfo sigInfo(const Packet& p) {
    zaf::rfc4880::SigInfo s;
    EXPECT_EQ(zaf::rfc4880::kTagSignature, p.tag);
    EXPECT_TRUE(zaf::rfc4880::parseSignature(p.body, s));
    return s;
}

// The hashed subpacket types of a version 4 signature body, in order.
inline std::vector<uint8_t> hashedTypes(const std::string& body) {
    std::vector<uint8_t> out;
    for (const auto& sp : zaf::edit::hashedSubpackets(body))
        out.push_back(uint8_t(sp.first & 0x7F));
    return out;
}

// The database's current version of a key (edits replace keys).
inline ZAFKeyDBObjRef current(ZAFKeyDBRef db, ZAFKeyDBObjRef anyVersion) {
    ZAFKeyID id;
    EXPECT_EQ(0, ZAFGetKeyID(anyVersion, &id));
    ZAFKeyDBObjRef out = nullptr;
    EXPECT_EQ(0, ZAFFindKeyByKeyID(db, &id, &out));
    return out;
}

inline ZAFKeyDBObjRef generateKey(ZAFContextRef ctx, ZAFKeyDBRef db, const char* userID,
                                  const char* pass, int32_t alg = kZAFPublicKeyAlgorithm_RSA,
                                  uint32_t bits = 1024, int32_t version = 0, int32_t days = 0) {
    ZAFKeyDBObjRef key = nullptr;
    EXPECT_EQ(0, ZAFGenerateKey(ctx, &key, ZAFOKeyDB(ctx, db),
                                ZAFOKeyGenParams(ctx, alg, bits, version), ZAFOUserID(ctx, userID),
                                ZAFOExpiration(ctx, days), ZAFOPassphrase(ctx, pass),
                                ZAFOLastOption()));
    return key;
}

inline ZAFKeyDBObjRef generateSubKey(ZAFContextRef ctx, ZAFKeyDBObjRef key, const char* pass,
                                     int32_t alg = kZAFPublicKeyAlgorithm_RSA, uint32_t bits = 1024,
                                     ZAFBoolean fast = 1) {
    ZAFKeyDBObjRef sub = nullptr;
    EXPECT_EQ(0, ZAFGenerateSubKey(
                     ctx, &sub, ZAFOMasterKey(ctx, key), ZAFOKeyGenParams(ctx, alg, bits, 0),
                     ZAFOFastGeneration(ctx, fast), ZAFOPassphrase(ctx, pass), ZAFOLastOption()));
    return sub;
}

// Checks every signature of `key` with the store's verifier, taking the signer from `db` (or the
// key itself). Returns how many signatures there were.
inline size_t expectAllVerify(ZAFKeyDBRef db, ZAFKeyDBObjRef key) {
    const zaf::Key& k = *key->key;
    size_t n = 0;
    for (const ZAFKeyDBObj& o : k.objs) {
        if (o.type != kZAFKeyDBObjType_Signature)
            continue;
        ++n;
        const zaf::Key* signer =
            std::memcmp(o.keyID, k.keyID(), 8) == 0 ? &k : db->findByKeyID(o.keyID);
        EXPECT_NE(nullptr, signer) << "signature " << o.index << " has no known signer";
        EXPECT_TRUE(zaf::verifySignature(nullptr, k, o, signer))
            << "signature " << o.index << " of type " << int(o.sigType) << " does not verify";
    }
    return n;
}

inline bool boolProperty(ZAFKeyDBObjRef obj, int32_t property) {
    ZAFBoolean v = 0;
    EXPECT_EQ(0, ZAFGetKeyDBObjBooleanProperty(obj, property, &v));
    return v != 0;
}

inline int32_t numProperty(ZAFKeyDBObjRef obj, int32_t property) {
    int32_t v = -1;
    EXPECT_EQ(0, ZAFGetKeyDBObjNumericProperty(obj, property, &v));
    return v;
}

inline ZAFTime timeProperty(ZAFKeyDBObjRef obj, int32_t property) {
    ZAFTime v = 0;
    EXPECT_EQ(0, ZAFGetKeyDBObjTimeProperty(obj, property, &v));
    return v;
}

inline std::string dataProperty(ZAFKeyDBObjRef obj, int32_t property) {
    void* data = nullptr;
    size_t size = 0;
    if (ZAFGetKeyDBObjAllocatedDataProperty(obj, property, &data, &size) != 0)
        return "<none>";
    std::string out(static_cast<char*>(data), size);
    ZAFFreeData(data);
    return out;
}

// The objects of one type under a key (user IDs, subkeys) or under one of its objects.
inline std::vector<ZAFKeyDBObjRef> children(ZAFKeyDBObjRef key, uint8_t type, int32_t parent = 0) {
    std::vector<ZAFKeyDBObjRef> out;
    for (ZAFKeyDBObj& o : key->key->objs)
        if (o.type == type && o.parent == parent)
            out.push_back(&o);
    return out;
}

inline std::string exportKey(ZAFContextRef ctx, ZAFKeyDBObjRef key, bool priv,
                             int32_t format = kZAFExportFormat_Complete) {
    ZAFKeySetRef set = nullptr;
    EXPECT_EQ(0, ZAFNewSingletonKeySet(key, &set));
    std::string out = exportSet(ctx, set, false, priv, format);
    ZAFFreeKeySet(set);
    return out;
}

} // namespace kgtest

#endif
