// message_test_util: the fixture keys and messages, and short forms of the message calls that
// the message tests share.
#ifndef MESSAGE_TEST_UTIL_H
#define MESSAGE_TEST_UTIL_H

#include "keystore/keystore_internal.h"
#include "keystore_test_util.h"

#include <zaf/zaf.h>

#include <botan/hash.h>

#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace msgtest {

using namespace kstest;

inline std::string fixturePath(const std::string& name) {
    return std::string(ORX_TEST_DATA_DIR) + "/fixtures/messages/" + name;
}

inline std::string fixture(const std::string& name) { return readAll(fixturePath(name)); }

// The fixture keys: 1 alice (RSA-3072), 2 bob (DSA + ElGamal), 3 carol (Ed25519 + Curve25519),
// 4 dave (RSA-2048, unprotected).
inline const std::vector<std::string>& fixtureKeyNames() {
    static const std::vector<std::string> names = {"alice", "bob", "carol", "dave"};
    return names;
}
inline std::string fixturePassphrase(int key) {
    static const char* const pass[] = {"alice-pass", "bob-pass", "carol-pass", ""};
    return pass[key - 1];
}

// What a decode call gave.
struct Decoded {
    ZAFError rc = 0;
    bool committed = false;
    std::string output;
    ZAFMessageInfo info{};
    std::vector<ZAFMessageSignature> signatures;
    std::vector<ZAFMessageRecipient> recipients;
    std::vector<int32_t> warnings;
};

// Passphrases answered by key: the first four bytes of a key ID pick the answer; a message
// passphrase is answered with `message`. Counts the questions.
struct Answers {
    std::map<std::string, std::string> byKeyID; // "0x" + 16 hex digits of the (sub)key
    std::string message;
    bool answerMessage = false;
    int asked = 0;
    std::vector<ZAFPassphraseRequest> requests;
};

inline ZAFError answer(void* user, const ZAFPassphraseRequest* request, char* buffer, size_t size,
                       size_t* outLength) {
    Answers* a = static_cast<Answers*>(user);
    ++a->asked;
    a->requests.push_back(*request);
    std::string text;
    if (request->purpose == kZAFPassphraseFor_Message) {
        if (!a->answerMessage)
            return kZAFError_ItemNotFound;
        text = a->message;
    } else {
        char id[32] = {};
        ZAFGetKeyIDString(&request->keyID, kZAFKeyIDString_Full, id, sizeof id);
        auto it = a->byKeyID.find(id);
        if (it == a->byKeyID.end())
            return kZAFError_ItemNotFound;
        text = it->second;
    }
    if (text.size() > size)
        return kZAFError_BufferTooSmall;
    std::memcpy(buffer, text.data(), text.size());
    *outLength = text.size();
    return kZAFError_NoErr;
}

// A context and a database built from fixture keys; `secret` lists the keys (1..4) whose secret
// part is held, the others are held public only.
class Keys {
public:
    explicit Keys(std::vector<int> secret = {}, bool withPublic = true) {
        std::string bytes;
        for (int i = 1; i <= 4; ++i) {
            bool sec = std::find(secret.begin(), secret.end(), i) != secret.end();
            if (sec)
                bytes += fixture("keys/" + fixtureKeyNames()[size_t(i - 1)] + ".sec");
            if (withPublic)
                bytes += fixture("keys/" + fixtureKeyNames()[size_t(i - 1)] + ".pub");
        }
        if (!bytes.empty())
            m_db = importBytes(m_ctx.get(), bytes);
        else
            ZAFNewKeyDB(m_ctx.get(), &m_db);
    }
    ~Keys() {
        if (m_db)
            ZAFFreeKeyDB(m_db);
    }
    ZAFContextRef ctx() const { return m_ctx.get(); }
    ZAFKeyDBRef db() const { return m_db; }
    // The primary key object of fixture key `n` (1..4), found by its fingerprint.
    ZAFKeyDBObjRef key(int n) const { return byFingerprint(fixtureFingerprint(n)); }
    ZAFKeyDBObjRef byFingerprint(const std::string& hex) const {
        ZAFKeyIterRef it = nullptr;
        ZAFNewKeyIterFromKeyDB(m_db, &it);
        ZAFKeyDBObjRef k = nullptr, found = nullptr;
        while (found == nullptr && ZAFKeyIterNextKeyDBObj(it, kZAFKeyDBObjType_Key, &k) == 0) {
            uint8_t fpr[20];
            size_t size = 0;
            if (ZAFGetKeyDBObjDataProperty(k, kZAFKeyProperty_Fingerprint, fpr, sizeof fpr,
                                           &size) == 0 &&
                toHex(fpr, size) == hex)
                found = k;
        }
        ZAFFreeKeyIter(it);
        return found;
    }
    static std::string fixtureFingerprint(int n) {
        static const char* const fprs[] = {
            "6F0F207D227125EA9068CAFFFE94AC1CE2925BD9", "A51779B2D899FF0AEE5130D966EDC2FC7436944E",
            "EA173C16F3B0E0A9E64A28990DF33611BB41D4BB", "8F62B12E99EFDB0B70D71702B977FACF6A0BFDE6"};
        return fprs[n - 1];
    }
    static std::string toHex(const uint8_t* p, size_t n) {
        static const char* digits = "0123456789ABCDEF";
        std::string out;
        for (size_t i = 0; i < n; ++i) {
            out += digits[p[i] >> 4];
            out += digits[p[i] & 15];
        }
        return out;
    }
    // Answers for every fixture key's (sub)keys with its passphrase.
    Answers answers() const {
        Answers a;
        for (int n = 1; n <= 4; ++n) {
            ZAFKeyDBObjRef k = key(n);
            if (k == nullptr)
                continue;
            for (ZAFKeyDBObj& o : k->key->objs)
                if (o.type == kZAFKeyDBObjType_Key || o.type == kZAFKeyDBObjType_SubKey) {
                    ZAFKeyID id;
                    ZAFGetKeyID(&o, &id);
                    char text[32] = {};
                    ZAFGetKeyIDString(&id, kZAFKeyIDString_Full, text, sizeof text);
                    a.byKeyID[text] = fixturePassphrase(n);
                }
        }
        return a;
    }

private:
    Context m_ctx;
    ZAFKeyDBRef m_db = nullptr;
};

// Owns a parameter handle.
class Params {
public:
    Params(ZAFContextRef ctx, ZAFKeyDBRef db) { ZAFNewMessageParams(ctx, db, &m_p); }
    ~Params() {
        if (m_p)
            ZAFFreeMessageParams(m_p);
    }
    ZAFMessageParamsRef get() const { return m_p; }
    operator ZAFMessageParamsRef() const { return m_p; }

private:
    ZAFMessageParamsRef m_p = nullptr;
};

inline void readResult(ZAFMessageResultRef result, Decoded& d) {
    ZAFGetMessageInfo(result, &d.info);
    for (uint32_t i = 0; i < d.info.signatureCount; ++i) {
        ZAFMessageSignature s{};
        ZAFGetMessageSignature(result, i, &s);
        d.signatures.push_back(s);
    }
    for (uint32_t i = 0; i < d.info.recipientCount; ++i) {
        ZAFMessageRecipient r{};
        ZAFGetMessageRecipient(result, i, &r);
        d.recipients.push_back(r);
    }
    for (uint32_t i = 0; i < d.info.warningCount; ++i) {
        int32_t w = 0;
        ZAFGetMessageWarning(result, i, &w, nullptr);
        d.warnings.push_back(w);
    }
}

// Decodes `message` (with `signedData` for detached signatures) into memory.
inline Decoded decode(ZAFContextRef ctx, ZAFMessageParamsRef params, const std::string& message,
                      const std::string* signedData = nullptr) {
    Decoded d;
    ZAFMessageSourceRef in = nullptr, data = nullptr;
    ZAFMessageSinkRef out = nullptr;
    ZAFMessageResultRef result = nullptr;
    EXPECT_EQ(0, ZAFNewMessageSourceFromBuffer(ctx, message.data(), message.size(), &in));
    if (signedData) {
        EXPECT_EQ(
            0, ZAFNewMessageSourceFromBuffer(ctx, signedData->data(), signedData->size(), &data));
    }
    EXPECT_EQ(0, ZAFNewMessageSinkToBuffer(ctx, 0, &out));
    EXPECT_EQ(0, ZAFNewMessageResult(ctx, &result));
    d.rc = ZAFDecodeMessage(params, in, data, out, result);
    const void* bytes = nullptr;
    size_t size = 0;
    d.committed = ZAFGetMessageSinkData(out, &bytes, &size) == 0;
    if (d.committed)
        d.output.assign(static_cast<const char*>(bytes), size);
    readResult(result, d);
    ZAFFreeMessageResult(result);
    ZAFFreeMessageSink(out);
    ZAFFreeMessageSource(in);
    if (data)
        ZAFFreeMessageSource(data);
    return d;
}

// Encodes `plain` with the parameters into memory; `rc` receives the call's code.
inline std::string encode(ZAFContextRef ctx, ZAFMessageParamsRef params, const std::string& plain,
                          ZAFError* rc = nullptr, Decoded* report = nullptr) {
    ZAFMessageSourceRef in = nullptr;
    ZAFMessageSinkRef out = nullptr;
    ZAFMessageResultRef result = nullptr;
    EXPECT_EQ(0, ZAFNewMessageSourceFromBuffer(ctx, plain.data(), plain.size(), &in));
    EXPECT_EQ(0, ZAFNewMessageSinkToBuffer(ctx, 0, &out));
    EXPECT_EQ(0, ZAFNewMessageResult(ctx, &result));
    ZAFError err = ZAFEncodeMessage(params, in, out, result);
    if (rc)
        *rc = err;
    else
        EXPECT_EQ(0, err);
    std::string text;
    const void* bytes = nullptr;
    size_t size = 0;
    if (ZAFGetMessageSinkData(out, &bytes, &size) == 0)
        text.assign(static_cast<const char*>(bytes), size);
    if (report) {
        report->rc = err;
        readResult(result, *report);
    }
    ZAFFreeMessageResult(result);
    ZAFFreeMessageSink(out);
    ZAFFreeMessageSource(in);
    return text;
}

inline std::string keyIDHex(const ZAFKeyID& id) {
    char text[32] = {};
    ZAFGetKeyIDString(&id, kZAFKeyIDString_Full, text, sizeof text);
    return text;
}

// A detached version 4 signature over `data` by `signer` (a key or subkey whose secret part is
// held without a passphrase), with the creation time and extra hashed subpackets given.
inline std::string craftSignature(ZAFKeyDBObjRef signer, const std::string& data, uint32_t created,
                                  const std::string& extraHashed) {
    std::string hashed;
    std::string t;
    for (int s = 24; s >= 0; s -= 8)
        t.push_back(char((created >> s) & 0xFF));
    zaf::rfc4880::appendSubpacket(hashed, 2, t);
    hashed += extraHashed;
    std::string body{
        4, 0, char(signer->algorithm), 8, char(hashed.size() >> 8), char(hashed.size() & 0xFF)};
    body += hashed;
    auto h = Botan::HashFunction::create("SHA-256");
    h->update(data);
    h->update(body);
    uint32_t n = uint32_t(body.size());
    const char trailer[6] = {4, char(0xFF), char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
    h->update(reinterpret_cast<const uint8_t*>(trailer), 6);
    auto digest = h->final();
    std::string unhashed;
    zaf::rfc4880::appendSubpacket(unhashed, 16,
                                  std::string(reinterpret_cast<char*>(signer->keyID), 8));
    body += char(unhashed.size() >> 8);
    body += char(unhashed.size() & 0xFF);
    body += unhashed;
    body += char(digest[0]);
    body += char(digest[1]);
    ZAFPrivateKeyContextRef ctx = nullptr;
    EXPECT_EQ(0, ZAFNewPrivateKeyContext(signer, "", 0, &ctx));
    uint8_t mpis[2048];
    size_t size = 0;
    EXPECT_EQ(0, ZAFPrivateKeySign(ctx, 8, digest.data(), digest.size(), mpis, sizeof mpis, &size));
    ZAFFreePrivateKeyContext(ctx);
    body.append(reinterpret_cast<char*>(mpis), size);
    std::string packet;
    zaf::rfc4880::writePacket(packet, 2, body);
    return packet;
}

} // namespace msgtest

#endif
