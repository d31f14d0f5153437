// keyserver_test_util: keys to serve from stand-in key servers (made by the toolkit), their IDs,
// and a copy of a key carrying a user ID whose self-signature is forged.
#ifndef KEYSERVER_TEST_UTIL_H
#define KEYSERVER_TEST_UTIL_H

#include "keygen_test_util.h"
#include "packets/packets.h"

#include <zaf/zafkeyserver.h>

#include <memory>

namespace kstest {

// Two key pairs, each with an encryption subkey, in a ring of their own.
class ServedKeys {
public:
    ServedKeys() {
        EXPECT_EQ(0, openDB(m_ctx.get(), m_dir.file("pub.pkr"), m_dir.file("sec.skr"), &m_db,
                            kZAFOpenKeyDBFileOptions_Mutable | kZAFOpenKeyDBFileOptions_Create));
        m_alice = kgtest::generateKey(m_ctx.get(), m_db, "Alice Example <alice@example.org>", "");
        m_bob = kgtest::generateKey(m_ctx.get(), m_db, "Bob Example <bob@example.org>", "");
        m_aliceSub = kgtest::generateSubKey(m_ctx.get(), m_alice, "");
        m_alice = kgtest::current(m_db, m_alice);
    }
    ~ServedKeys() {
        if (m_db != nullptr)
            ZAFFreeKeyDB(m_db);
    }
    ServedKeys(const ServedKeys&) = delete;
    ServedKeys& operator=(const ServedKeys&) = delete;

    ZAFContextRef ctx() const { return m_ctx.get(); }
    ZAFKeyDBObjRef alice() const { return m_alice; }
    ZAFKeyDBObjRef bob() const { return m_bob; }
    ZAFKeyDBObjRef aliceSub() const { return m_aliceSub; }

    // The public (or secret) form of the keys, binary or armoured.
    std::string exportKeys(std::vector<ZAFKeyDBObjRef> keys, bool armor = false,
                           bool secret = false) const {
        ZAFKeySetRef set = nullptr;
        EXPECT_EQ(0, ZAFNewEmptyKeySet(m_db, &set));
        for (ZAFKeyDBObjRef k : keys) {
            ZAFKeySetRef one = nullptr;
            EXPECT_EQ(0, ZAFNewSingletonKeySet(k, &one));
            EXPECT_EQ(0, ZAFAddKeys(one, set));
            ZAFFreeKeySet(one);
        }
        std::string out = exportSet(m_ctx.get(), set, armor, secret);
        ZAFFreeKeySet(set);
        return out;
    }

    // Hex of the fingerprint, of the long key ID and of the short one (no "0x").
    static std::string fingerprint(ZAFKeyDBObjRef key) {
        static const char hex[] = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : kgtest::dataProperty(key, kZAFKeyProperty_Fingerprint)) {
            out += hex[c >> 4];
            out += hex[c & 15];
        }
        return out;
    }
    static std::string longID(ZAFKeyDBObjRef key) {
        return fingerprint(key).substr(fingerprint(key).size() - 16);
    }
    static std::string subkeyLongID(ZAFKeyDBObjRef sub) {
        ZAFKeyID id;
        EXPECT_EQ(0, ZAFGetKeyID(sub, &id));
        static const char hex[] = "0123456789ABCDEF";
        std::string out;
        for (unsigned char c : id.bytes) {
            out += hex[c >> 4];
            out += hex[c & 15];
        }
        return out;
    }

    // Alice's public key with one more user ID, "Mallory <mallory@example.net>", under which her
    // real self-signature is copied: it cannot verify for that user ID.
    std::string aliceWithForgedUserID() const {
        const std::string genuine = exportKeys({m_alice});
        std::string out;
        std::string selfSig;
        bool afterUserID = false;
        for (const kgtest::Packet& p : kgtest::packets(genuine)) {
            if (afterUserID && p.tag == zaf::rfc4880::kTagSignature && selfSig.empty())
                selfSig = p.body;
            afterUserID = p.tag == zaf::rfc4880::kTagUserID;
        }
        for (const kgtest::Packet& p : kgtest::packets(genuine)) {
            zaf::rfc4880::writePacket(out, p.tag, p.body);
            if (p.tag == zaf::rfc4880::kTagSignature && p.body == selfSig) {
                zaf::rfc4880::writePacket(out, zaf::rfc4880::kTagUserID,
                                          "Mallory <mallory@example.net>");
                zaf::rfc4880::writePacket(out, zaf::rfc4880::kTagSignature, selfSig);
            }
        }
        return out;
    }

private:
    TempDir m_dir;
    Context m_ctx;
    ZAFKeyDBRef m_db = nullptr;
    ZAFKeyDBObjRef m_alice = nullptr;
    ZAFKeyDBObjRef m_bob = nullptr;
    ZAFKeyDBObjRef m_aliceSub = nullptr;
};

// The user IDs of every key of a database, one string per key joined by '|'.
inline std::vector<std::string> userIDsOf(ZAFKeyDBRef db) {
    std::vector<std::string> out;
    ZAFKeyIterRef it = nullptr;
    if (ZAFNewKeyIterFromKeyDB(db, &it) != 0)
        return out;
    ZAFKeyDBObjRef k = nullptr;
    while (ZAFKeyIterNextKeyDBObj(it, kZAFKeyDBObjType_Key, &k) == 0) {
        std::string names;
        ZAFKeyDBObjRef uid = nullptr;
        ZAFKeyIterRewind(it, kZAFKeyDBObjType_UserID);
        while (ZAFKeyIterNextKeyDBObj(it, kZAFKeyDBObjType_UserID, &uid) == 0)
            names +=
                (names.empty() ? "" : "|") + kgtest::dataProperty(uid, kZAFUserIDProperty_Name);
        out.push_back(names);
    }
    ZAFFreeKeyIter(it);
    return out;
}

} // namespace kstest

#endif
