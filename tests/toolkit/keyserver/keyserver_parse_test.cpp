// What the key server client reads: addresses, HTTP answers fed in pieces, index texts, key
// names, and the keys a fetched answer may bring in.
#include "keyserver/keyserver_http.h"
#include "keyserver/keyserver_index.h"
#include "keyserver_test_util.h"

#include <gtest/gtest.h>

using namespace zaf::hkp;

namespace {

TEST(KeyServerAddress, ReadsSchemesPortsAndPrefixes) {
    struct Case {
        const char* url;
        bool tls;
        const char* host;
        uint16_t port;
        const char* prefix;
    } cases[] = {
        {"hkp://keys.example.org", false, "keys.example.org", 11371, ""},
        {"HKPS://keys.example.org", true, "keys.example.org", 443, ""},
        {"hkp://keys.example.org:8080/", false, "keys.example.org", 8080, ""},
        {"http://keys.example.org/ks/", false, "keys.example.org", 80, "/ks"},
        {"https://keys.example.org:8443/a/b", true, "keys.example.org", 8443, "/a/b"},
        {"hkp://[::1]:11372", false, "::1", 11372, ""},
        {"keys.example.org", false, "keys.example.org", 11371, ""},
        {"hkp://127.0.0.1:1", false, "127.0.0.1", 1, ""},
    };
    for (const Case& c : cases) {
        Address a;
        ASSERT_EQ(kZAFError_NoErr, parseAddress(c.url, a)) << c.url;
        EXPECT_EQ(c.tls, a.tls) << c.url;
        EXPECT_EQ(c.host, a.host) << c.url;
        EXPECT_EQ(c.port, a.port) << c.url;
        EXPECT_EQ(c.prefix, a.prefix) << c.url;
    }
}

TEST(KeyServerAddress, RefusesLdapAndMalformedAddresses) {
    Address a;
    EXPECT_EQ(kZAFError_KeyServerType, parseAddress("ldap://keys.example.org", a));
    EXPECT_EQ(kZAFError_KeyServerType, parseAddress("LDAPS://keys.example.org:636", a));
    for (const char* bad :
         {"ftp://keys.example.org", "hkp://", "hkp://:80", "hkp://host:0", "hkp://host:65536",
          "hkp://host:", "hkp://us er@host", "hkp://user@host", "hkp://host/pks?x=1",
          "hkp://host/a b", "hkp://ho%73t", "hkp://[::1", "hkp://[nothex]:1", "hkp://host/%2e"})
        EXPECT_EQ(kZAFError_KeyServerAddress, parseAddress(bad, a)) << bad;
}

// Feeds `text` one byte at a time, then ends the stream.
ZAFError feedBytewise(AnswerReader& reader, const std::string& text, bool end = true) {
    for (char c : text) {
        const ZAFError code = reader.feed(&c, 1);
        if (code != kZAFError_NoErr)
            return code;
    }
    return end ? reader.finish() : kZAFError_NoErr;
}

TEST(KeyServerAnswer, FramesBodiesByLengthChunksOrEndOfStream) {
    {
        AnswerReader r(1000);
        ASSERT_EQ(kZAFError_NoErr,
                  feedBytewise(r, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA", false));
        EXPECT_TRUE(r.complete());
        EXPECT_EQ(200, r.status());
        EXPECT_EQ("hello", r.body());
    }
    {
        AnswerReader r(1000);
        ASSERT_EQ(kZAFError_NoErr,
                  feedBytewise(r, "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n"
                                  "Transfer-Encoding: chunked\r\n\r\n4;ext=1\r\nwiki\r\n"
                                  "5\r\npedia\r\nB\r\n in\r\nchunks\r\n0\r\nX-Trailer: 1\r\n\r\n"));
        EXPECT_EQ("wikipedia in\r\nchunks", r.body());
    }
    {
        AnswerReader r(1000);
        const std::string text = "HTTP/1.0 404 Not found\n\nno key";
        ASSERT_EQ(kZAFError_NoErr, r.feed(text.data(), text.size()));
        EXPECT_FALSE(r.complete());
        ASSERT_EQ(kZAFError_NoErr, r.finish());
        EXPECT_EQ(404, r.status());
        EXPECT_EQ("Not found", r.reason());
        EXPECT_EQ("no key", r.body());
    }
    {
        AnswerReader r(1000);
        const std::string text =
            "HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\nContent-Length: 0\r\n\r\n";
        ASSERT_EQ(kZAFError_NoErr, r.feed(text.data(), text.size()));
        EXPECT_TRUE(r.complete());
        EXPECT_EQ("/elsewhere", r.location());
    }
}

TEST(KeyServerAnswer, StopsAtEveryBound) {
    std::string interim;
    for (int i = 0; i < 6; ++i)
        interim += "HTTP/1.1 100 Go\r\n\r\n";
    struct Case {
        const char* what;
        std::string text;
        ZAFError expected;
    } cases[] = {
        {"announced length over the limit", "HTTP/1.1 200 OK\r\nContent-Length: 1073741824\r\n\r\n",
         kZAFError_KeyServerTooLarge},
        {"stream over the limit", "HTTP/1.0 200 OK\r\n\r\n" + std::string(101, 'x'),
         kZAFError_KeyServerTooLarge},
        {"chunks over the limit",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n32\r\n" + std::string(50, 'x') +
             "\r\n33\r\n",
         kZAFError_KeyServerTooLarge},
        {"endless head", "HTTP/1.1 200 OK\r\n" + std::string(70000, 'h'),
         kZAFError_KeyServerTooLarge},
        {"endless chunk line",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(2000, '0'),
         kZAFError_KeyServerProtocol},
        {"not HTTP", "SSH-2.0-OpenSSH\r\n\r\n", kZAFError_KeyServerProtocol},
        {"bad status", "HTTP/1.1 2000 OK\r\n\r\n", kZAFError_KeyServerProtocol},
        {"header without colon", "HTTP/1.1 200 OK\r\nbroken\r\n\r\n", kZAFError_KeyServerProtocol},
        {"two lengths", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n",
         kZAFError_KeyServerProtocol},
        {"bad chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
         kZAFError_KeyServerProtocol},
        {"unknown coding", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n\r\n",
         kZAFError_KeyServerProtocol},
        {"only interim answers", interim, kZAFError_KeyServerProtocol},
    };
    for (const Case& c : cases) {
        AnswerReader r(100);
        ZAFError code = r.feed(c.text.data(), c.text.size());
        if (code == kZAFError_NoErr)
            code = r.finish();
        EXPECT_EQ(c.expected, code) << c.what;
        EXPECT_TRUE(r.body().empty()) << c.what;
        EXPECT_FALSE(r.problem().empty()) << c.what;
        // Nothing more is taken after a failure.
        EXPECT_NE(kZAFError_NoErr, r.feed("x", 1)) << c.what;
    }
}

TEST(KeyServerAnswer, RefusesAnswersCutShort) {
    for (const std::string& text :
         {std::string("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort"),
          std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab"),
          std::string("HTTP/1.1 200 OK\r\nContent-")}) {
        AnswerReader r(100);
        ASSERT_EQ(kZAFError_NoErr, r.feed(text.data(), text.size()));
        EXPECT_EQ(kZAFError_KeyServerProtocol, r.finish()) << text;
    }
}

const char kIndex[] = "info:1:3\r\n"
                      "pub:660813A37722AFE8B22802495D56DAB58A30661B:1:2048:1796687280::r\r\n"
                      "uid:Alice Example <alice@example.org>:1796687280::\r\n"
                      "uid:Alice %3A colon %25 %zz <a@x>:1796687280::\r\n"
                      "pub:0xnothex:1:2048:1::\n"
                      "uid:orphan of a broken key:::\n"
                      "pub:5D56DAB5:17:1024:::ed\n"
                      "pub:39521c90f2347228aa0b63d368a7b00629bf4a12:22:256:1796687255:1796700000:\n"
                      "uid:Seed <seed@example.org>:::\n"
                      "garbage line\n";

TEST(KeyServerIndex, ReadsKeysUserIDsAndFlags) {
    std::vector<IndexKey> keys;
    ASSERT_EQ(kZAFError_NoErr, parseIndex(kIndex, 10, keys));
    ASSERT_EQ(3u, keys.size());
    EXPECT_EQ("660813A37722AFE8B22802495D56DAB58A30661B", keys[0].keyID);
    EXPECT_EQ(1, keys[0].algorithm);
    EXPECT_EQ(2048u, keys[0].bits);
    EXPECT_EQ(1796687280u, keys[0].created);
    EXPECT_EQ(0u, keys[0].expires);
    EXPECT_EQ(uint32_t(kZAFKeyServerKeyFlag_Revoked), keys[0].flags);
    ASSERT_EQ(2u, keys[0].userIDs.size());
    EXPECT_EQ("Alice : colon % %zz <a@x>", keys[0].userIDs[1]);
    EXPECT_EQ("5D56DAB5", keys[1].keyID);
    EXPECT_TRUE(keys[1].userIDs.empty());
    EXPECT_EQ(uint32_t(kZAFKeyServerKeyFlag_Expired | kZAFKeyServerKeyFlag_Disabled),
              keys[1].flags);
    EXPECT_EQ("39521C90F2347228AA0B63D368A7B00629BF4A12", keys[2].keyID);
    EXPECT_EQ(1796700000u, keys[2].expires);
    EXPECT_EQ(std::vector<std::string>{"Seed <seed@example.org>"}, keys[2].userIDs);
}

TEST(KeyServerIndex, BoundsKeysAndUserIDs) {
    std::vector<IndexKey> keys;
    EXPECT_EQ(kZAFError_KeyServerTooManyKeys, parseIndex(kIndex, 2, keys));

    std::string many = "pub:5D56DAB58A30661B:1:2048:1::\n";
    for (int i = 0; i < 150; ++i)
        many += "uid:user " + std::to_string(i) + ":::\n";
    many += "uid:" + std::string(kMaxIndexUserIDBytes + 1, 'u') + ":::\n";
    ASSERT_EQ(kZAFError_NoErr, parseIndex(many, 1, keys));
    ASSERT_EQ(1u, keys.size());
    EXPECT_EQ(size_t(kZAFKeyServerMaxIndexUserIDs), keys[0].userIDs.size());
    EXPECT_EQ(51u, keys[0].userIDsDropped);

    for (const char* bad : {"pub:5D56DAB58A30661B:256:2048:1::\n", "pub:5D56DAB58A30661B:1:x:1::\n",
                            "pub:5D56DAB58A30661B:1:1:12345678901::\n", "pub:5D56DAB:1:1:1::\n"}) {
        ASSERT_EQ(kZAFError_NoErr, parseIndex(bad, 5, keys));
        EXPECT_TRUE(keys.empty()) << bad;
    }
}

TEST(KeyServerKeyName, ReadsKeyIDsAndFingerprints) {
    KeyName n;
    ASSERT_TRUE(parseKeyName("0x5d56dab5", n));
    EXPECT_EQ(KeyName::ShortID, n.kind);
    EXPECT_EQ("0x5D56DAB5", keyNameText(n));
    ASSERT_TRUE(parseKeyName("5D56DAB58A30661B", n));
    EXPECT_EQ(KeyName::LongID, n.kind);
    ASSERT_TRUE(parseKeyName("6608 13A3 7722 AFE8 B228  0249 5D56 DAB5 8A30 661B", n));
    EXPECT_EQ(KeyName::Fingerprint, n.kind);
    EXPECT_EQ("0x660813A37722AFE8B22802495D56DAB58A30661B", keyNameText(n));
    ASSERT_TRUE(parseKeyName("0X0123456789ABCDEF0123456789ABCDEF", n));
    EXPECT_EQ(16u, n.bytes.size());
    for (const char* bad : {"", "0x", "5D56DAB", "5D56DAB58", "5D56 DAB5", "alice@example.org",
                            "0x5D56DAB58A30661G", "0x0x5D56DAB5"})
        EXPECT_FALSE(parseKeyName(bad, n)) << bad;
}

TEST(KeyServerKeyName, PercentEncodesAllButUnreservedCharacters) {
    EXPECT_EQ("Alice%20Example%20%3Ca%40b.c%3E%26op%3Dx~_-.",
              percentEncode("Alice Example <a@b.c>&op=x~_-."));
    EXPECT_EQ("%C3%A9%00", percentEncode(std::string("\xC3\xA9\0", 3)));
}

class KeyServerSelection : public ::testing::Test {
protected:
    std::string select(const std::string& data, const std::string& id, uint32_t maxKeys,
                       uint32_t& kept, ZAFError expected = kZAFError_NoErr) {
        KeyName name;
        EXPECT_TRUE(parseKeyName(id, name)) << id;
        std::string out;
        EXPECT_EQ(expected, selectKeys(data, &name, maxKeys, out, kept)) << id;
        return out;
    }
    kstest::ServedKeys m_keys;
};

TEST_F(KeyServerSelection, KeepsOnlyTheKeyAskedFor) {
    using kstest::ServedKeys;
    const std::string alice = m_keys.exportKeys({m_keys.alice()});
    const std::string both = m_keys.exportKeys({m_keys.bob(), m_keys.alice()}, true);
    uint32_t kept = 0;
    for (const std::string& id :
         {ServedKeys::fingerprint(m_keys.alice()), ServedKeys::longID(m_keys.alice()),
          "0x" + ServedKeys::longID(m_keys.alice()).substr(8),
          ServedKeys::subkeyLongID(m_keys.aliceSub())}) {
        EXPECT_EQ(alice, select(both, id, 10, kept)) << id;
        EXPECT_EQ(1u, kept);
    }
    EXPECT_EQ("", select(both, "0x0123456789ABCDEF", 10, kept));
    EXPECT_EQ(0u, kept);
    select(both, ServedKeys::longID(m_keys.alice()), 1, kept, kZAFError_KeyServerTooManyKeys);
    select("-----BEGIN ZAF PUBLIC KEY BLOCK-----\n\n!!!\n-----END ZAF PUBLIC KEY BLOCK-----\n",
           ServedKeys::longID(m_keys.alice()), 10, kept, kZAFError_CorruptData);
    select(alice.substr(0, alice.size() - 3), ServedKeys::longID(m_keys.alice()), 10, kept,
           kZAFError_CorruptData);
}

TEST_F(KeyServerSelection, LeavesOutSecretMaterialAndTrustPackets) {
    using kstest::ServedKeys;
    const std::string secret = m_keys.exportKeys({m_keys.alice()}, false, true);
    uint32_t kept = 0;
    EXPECT_EQ("", select(secret, ServedKeys::longID(m_keys.alice()), 10, kept));
    EXPECT_EQ(0u, kept);

    // A public key with a secret subkey packet and a trust packet slipped in.
    std::string tampered;
    const std::string alice = m_keys.exportKeys({m_keys.alice()});
    tampered += alice;
    zaf::rfc4880::writePacket(tampered, zaf::rfc4880::kTagTrust, "ZV\x01");
    for (const kgtest::Packet& p : kgtest::packets(secret))
        if (p.tag == zaf::rfc4880::kTagSecretSubkey)
            zaf::rfc4880::writePacket(tampered, p.tag, p.body);
    EXPECT_EQ(alice, select(tampered, ServedKeys::longID(m_keys.alice()), 10, kept));
}

} // namespace
