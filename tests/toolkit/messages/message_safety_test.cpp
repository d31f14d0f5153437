// Hostile and damaged input: nothing unauthenticated is released, session key failures all look
// alike, wrong passphrases change nothing, every length and the nesting are bounded,
// decompression cannot run away, and packets we do not know are skipped or refused as allowed.
// The bad messages are built here with Botan directly, byte by byte.
#include "message_test_util.h"
#include "packets/packets.h"

#include <botan/cipher_mode.h>
#include <botan/hash.h>
#include <botan/numthry.h>
#include <botan/pubkey.h>
#include <botan/rsa.h>

#include <zlib.h>

using namespace msgtest;

namespace {

std::string packet(uint8_t tag, const std::string& body) {
    std::string out;
    zaf::rfc4880::writeHeader(out, tag, body.size(), true);
    return out + body;
}

std::string sha(const char* name, const std::string& data) {
    auto h = Botan::HashFunction::create(name);
    h->update(data);
    auto d = h->final();
    return std::string(d.begin(), d.end());
}

std::string cfb(const std::string& key, const std::string& iv, const std::string& data) {
    auto mode = Botan::Cipher_Mode::create("AES-128/CFB", Botan::ENCRYPTION);
    mode->set_key(reinterpret_cast<const uint8_t*>(key.data()), key.size());
    mode->start(reinterpret_cast<const uint8_t*>(iv.data()), iv.size());
    Botan::secure_vector<uint8_t> b(data.begin(), data.end());
    mode->finish(b);
    return std::string(b.begin(), b.end());
}

std::string literal(const std::string& data) {
    return packet(11, std::string("b\0\0\0\0\0", 6) + data);
}

// A passphrase-encrypted layer around `inner` (packets): SKESK with the simple SHA-256 S2K and
// AES-128, then SEIPD with its MDC (or the old encrypted packet without one).
const std::string kPass = "nest";
std::string encryptLayer(const std::string& inner, bool mdc = true) {
    std::string key = sha("SHA-256", kPass).substr(0, 16);
    std::string prefix = "0123456789abcdef";
    prefix += prefix.substr(14, 2);
    std::string zero(16, '\0');
    std::string body;
    if (mdc) {
        std::string plain = prefix + inner + "\xD3\x14";
        plain += sha("SHA-1", plain);
        body = std::string(1, '\1') + cfb(key, zero, plain);
    } else {
        // The old form starts a new block after the check bytes, from the cipher text.
        std::string c1 = cfb(key, zero, prefix);
        body = c1 + cfb(key, c1.substr(2, 16), inner);
    }
    return packet(3, std::string("\x04\x07\x00\x08", 4)) + packet(mdc ? 18 : 9, body);
}

std::string zlibOf(const std::string& data) {
    uLongf size = compressBound(uLong(data.size()));
    std::string out(size, '\0');
    EXPECT_EQ(Z_OK, compress2(reinterpret_cast<Bytef*>(&out[0]), &size,
                              reinterpret_cast<const Bytef*>(data.data()), uLong(data.size()), 9));
    out.resize(size);
    return out;
}

std::string compressedLayer(const std::string& inner) {
    return packet(8, std::string(1, '\0') + inner);
}

// The decoder's answer with the parameters of `setup` over `message`.
template <class F> Decoded decodeWith(const Keys& keys, const std::string& message, F&& setup) {
    Params p(keys.ctx(), keys.db());
    setup(p.get());
    return decode(keys.ctx(), p, message);
}
Decoded decodeWith(const Keys& keys, const std::string& message) {
    return decodeWith(keys, message, [](ZAFMessageParamsRef) {});
}
void withPassphrase(ZAFMessageParamsRef p) {
    ZAFSetMessagePassphrase(p, kPass.data(), kPass.size());
}

TEST(MessageSafety, ChangedOrCutMessagesReleaseNothing) {
    Keys keys({4});
    Params p(keys.ctx(), keys.db());
    ASSERT_EQ(0, ZAFAddMessageRecipient(p, keys.key(4)));
    std::string plain(200000, 'p');
    std::string msg = encode(keys.ctx(), p, plain);
    ASSERT_EQ(0, decodeWith(keys, msg).rc);
    // One bit anywhere in the encrypted data, including the MDC itself.
    for (size_t at = 300; at < msg.size(); at += 997) {
        std::string bad = msg;
        bad[at] ^= 0x10;
        Decoded d = decodeWith(keys, bad);
        // Cipher text fails the MDC; a changed chunk length breaks the framing instead.
        EXPECT_TRUE(d.rc == kZAFError_IntegrityFailure || d.rc == kZAFError_Truncated) << at;
        EXPECT_FALSE(d.committed);
    }
    // In the first chunk, and the MDC's last byte (before the final chunk's length).
    for (size_t at : {size_t(400), msg.size() - 2}) {
        std::string bad = msg;
        bad[at] ^= 0x10;
        Decoded d = decodeWith(keys, bad);
        EXPECT_EQ(kZAFError_IntegrityFailure, d.rc) << at;
        EXPECT_EQ(kZAFMDC_Bad, d.info.mdc);
    }
    for (size_t keep : {size_t(10), size_t(300), msg.size() / 2, msg.size() - 1}) {
        Decoded d = decodeWith(keys, msg.substr(0, keep));
        EXPECT_EQ(kZAFError_Truncated, d.rc) << keep;
        EXPECT_FALSE(d.committed);
    }
    // Plaintext that ends before its MDC: the MDC check fails, nothing comes out.
    std::string shortened = encryptLayer(literal("abc")).substr(0, 10);
    EXPECT_FALSE(decodeWith(keys, shortened, withPassphrase).committed);
}

TEST(MessageSafety, EncryptionWithoutMDCIsRefusedUnlessAllowed) {
    Keys keys;
    std::string msg = encryptLayer(literal("old data"), false);
    Decoded d = decodeWith(keys, msg, withPassphrase);
    EXPECT_EQ(kZAFError_MissingMDC, d.rc);
    EXPECT_FALSE(d.committed);
    d = decodeWith(keys, msg, [](ZAFMessageParamsRef p) {
        withPassphrase(p);
        ZAFSetMessageOption(p, kZAFMessageOption_AllowMissingMDC, 1);
    });
    ASSERT_EQ(0, d.rc);
    EXPECT_EQ("old data", d.output);
    EXPECT_EQ(kZAFMDC_None, d.info.mdc);
    EXPECT_EQ(std::vector<int32_t>{kZAFMessageWarning_NoMDC}, d.warnings);
    // The MDC form itself, and the same data with its MDC packet missing.
    EXPECT_EQ(0, decodeWith(keys, encryptLayer(literal("x")), withPassphrase).rc);
}

// A PKESK for dave's RSA subkey whose RSA plaintext is `block` (the modulus' width).
std::string rsaPKESK(const Keys& keys, const std::string& block) {
    ZAFKeyDBObjRef dave = keys.key(4);
    const ZAFKeyDBObj* sub = nullptr;
    for (const ZAFKeyDBObj& o : dave->key->objs)
        if (o.type == kZAFKeyDBObjType_SubKey)
            sub = &o;
    zaf::rfc4880::KeyInfo info;
    EXPECT_TRUE(zaf::rfc4880::parseKeyPacket(dave->key->packetBody(sub->packet), info));
    auto big = [](std::string_view b) {
        return Botan::BigInt(reinterpret_cast<const uint8_t*>(b.data()), b.size());
    };
    Botan::RSA_PublicKey pub(big(info.mpis[0].bytes), big(info.mpis[1].bytes));
    Botan::BigInt m(reinterpret_cast<const uint8_t*>(block.data()), block.size());
    Botan::BigInt c = Botan::power_mod(m, pub.get_e(), pub.get_n());
    std::vector<uint8_t> cb = Botan::BigInt::encode(c);
    std::string body =
        std::string(1, '\3') + std::string(reinterpret_cast<const char*>(sub->keyID), 8) + char(1);
    size_t bits = c.bits();
    body += char(bits >> 8);
    body += char(bits & 0xFF);
    body.append(reinterpret_cast<const char*>(cb.data()), cb.size());
    return packet(1, body);
}

TEST(MessageSafety, SessionKeyFailuresAllLookLikeAWrongKey) {
    Keys keys({2, 3, 4});
    Answers answers = keys.answers();
    auto setup = [&](ZAFMessageParamsRef p) {
        ZAFSetMessagePassphraseCallback(p, answer, &answers);
    };
    // Genuine encrypted data for dave; its PKESK is replaced.
    Params enc(keys.ctx(), keys.db());
    ASSERT_EQ(0, ZAFAddMessageRecipient(enc, keys.key(4)));
    std::string msg = encode(keys.ctx(), enc, "secret");
    size_t esk = 0;
    zaf::rfc4880::RawPacket rp;
    std::string scratch;
    ASSERT_TRUE(zaf::rfc4880::readPacket(reinterpret_cast<const uint8_t*>(msg.data()), msg.size(),
                                         0, rp, scratch));
    esk = rp.total;
    std::string data = msg.substr(esk);

    const size_t k = 256;
    std::string goodKey(32, '\x5A');
    uint32_t sum = 0;
    for (char c : goodKey)
        sum += uint8_t(c);
    auto block = [&](char type, std::string content) {
        std::string b(1, '\0');
        b += type;
        b += std::string(k - 3 - content.size(), '\x77'); // non-zero padding
        b += '\0';
        return b + content;
    };
    std::string key = std::string(1, '\x09') + goodKey;
    const std::string cases[] = {
        block('\x01', key + char(sum >> 8) + char(sum)),        // not the encryption type
        block('\x02', key + char(sum >> 8) + char((sum + 1))),  // checksum off by one
        block('\x02', std::string(1, '\x63') + goodKey + "xx"), // unknown cipher
        block('\x02', key.substr(0, 20)),                       // too short
        std::string(k, '\x11'),                                 // no padding at all
        block('\x02', key + char(sum >> 8) + char(sum)),        // well formed, wrong key
    };
    for (const std::string& c : cases) {
        Decoded d = decodeWith(keys, rsaPKESK(keys, c) + data, setup);
        EXPECT_EQ(kZAFError_DecryptionFailed, d.rc);
        EXPECT_FALSE(d.committed);
        EXPECT_EQ(kZAFOpenedBy_None, d.info.openedBy);
    }
    // ElGamal (bob) and Curve25519 (carol) garbage fail the same way.
    auto keyID = [&](int n) {
        for (const ZAFKeyDBObj& o : keys.key(n)->key->objs)
            if (o.type == kZAFKeyDBObjType_SubKey)
                return std::string(reinterpret_cast<const char*>(o.keyID), 8);
        return std::string();
    };
    std::string elgamal =
        packet(1, "\x03" + keyID(2) + "\x10" + std::string("\x00\x02\x03\x00\x02\x05", 6));
    std::string point = std::string("\x01\x07\x40", 3) + std::string(32, '\x09');
    std::string ecdh =
        packet(1, "\x03" + keyID(3) + "\x12" + point + "\x28" + std::string(40, 'w'));
    for (const std::string& pkesk : {elgamal, ecdh}) {
        Decoded d = decodeWith(keys, pkesk + data, setup);
        EXPECT_EQ(kZAFError_DecryptionFailed, d.rc);
        EXPECT_FALSE(d.committed);
    }
    // Key IDs that name no held key: reported with the recipients, not an internal error.
    const std::string mpi("\x00\x08\xFF", 3);
    std::string stranger = packet(1, "\x03" + std::string("12345678") + "\x01" + mpi);
    Decoded d = decodeWith(keys, stranger + data, setup);
    EXPECT_EQ(kZAFError_NoDecryptionKey, d.rc);
    ASSERT_EQ(1u, d.recipients.size());
    EXPECT_EQ("0x3132333435363738", keyIDHex(d.recipients[0].keyID));
    EXPECT_EQ(0u, d.recipients[0].flags);
    // A hidden recipient with no secret key to try.
    Keys none;
    std::string hidden = packet(1, "\x03" + std::string(8, '\0') + "\x01" + mpi);
    EXPECT_EQ(kZAFError_NoDecryptionKey, decodeWith(none, hidden + data).rc);
}

ZAFError countWrites(void* user, const void*, size_t) {
    ++*static_cast<int*>(user);
    return 0;
}

TEST(MessageSafety, WrongPassphrasesHaveTheirOwnCodeAndChangeNothing) {
    Keys keys({1});
    // A message to alice, whose key is protected; one for a passphrase.
    Params enc(keys.ctx(), keys.db());
    ASSERT_EQ(0, ZAFAddMessageRecipient(enc, keys.key(1)));
    std::string toAlice = encode(keys.ctx(), enc, "for alice");
    Params sym(keys.ctx(), keys.db());
    ASSERT_EQ(0, ZAFSetMessagePassphrase(sym, "right", 5));
    std::string withPass = encode(keys.ctx(), sym, "for the passphrase");

    for (const std::string* msg : {&toAlice, &withPass}) {
        Answers wrong;
        wrong.byKeyID = keys.answers().byKeyID;
        for (auto& kv : wrong.byKeyID)
            kv.second = "wrong";
        wrong.answerMessage = true;
        wrong.message = "wrong";
        Params p(keys.ctx(), keys.db());
        ZAFSetMessagePassphraseCallback(p, answer, &wrong);
        ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_PassphraseAttempts, 3));
        int writes = 0;
        ZAFMessageSourceRef in = nullptr;
        ZAFMessageSinkRef out = nullptr;
        ASSERT_EQ(0, ZAFNewMessageSourceFromBuffer(keys.ctx(), msg->data(), msg->size(), &in));
        ASSERT_EQ(0,
                  ZAFNewMessageSinkFromCallback(keys.ctx(), countWrites, nullptr, &writes, &out));
        EXPECT_EQ(kZAFError_BadPassphrase, ZAFDecodeMessage(p, in, nullptr, out, nullptr));
        EXPECT_EQ(0, writes);
        EXPECT_FALSE(ZAFKeyDBIsDirty(keys.db()));
        // Asked as often as allowed, each time told which attempt it is.
        ASSERT_EQ(3, wrong.asked);
        for (uint32_t i = 0; i < 3; ++i)
            EXPECT_EQ(i + 1, wrong.requests[i].attempt);
        EXPECT_EQ(msg == &toAlice ? kZAFPassphraseFor_SecretKey : kZAFPassphraseFor_Message,
                  wrong.requests[0].purpose);
        ZAFFreeMessageSource(in);
        ZAFFreeMessageSink(out);
    }
    // The preset passphrase first, then the callback: a wrong preset costs one attempt.
    Answers right = keys.answers();
    right.answerMessage = true;
    right.message = "right";
    Decoded d = decodeWith(keys, withPass, [&](ZAFMessageParamsRef p) {
        ZAFSetMessagePassphrase(p, "nope", 4);
        ZAFSetMessagePassphraseCallback(p, answer, &right);
    });
    EXPECT_EQ(0, d.rc);
    EXPECT_EQ("for the passphrase", d.output);
    ASSERT_EQ(1, right.asked);
    EXPECT_EQ(2u, right.requests[0].attempt);
    d = decodeWith(keys, toAlice,
                   [&](ZAFMessageParamsRef p) { ZAFSetMessageKeyPassphrase(p, "alice-pass", 10); });
    EXPECT_EQ(0, d.rc);
    EXPECT_EQ("for alice", d.output);

    // Signing with a wrong passphrase writes nothing.
    Answers wrong;
    Params s(keys.ctx(), keys.db());
    ASSERT_EQ(0, ZAFAddMessageSigner(s, keys.key(1)));
    ASSERT_EQ(0, ZAFSetMessageKeyPassphrase(s, "bad", 3));
    ZAFError rc = 0;
    EXPECT_TRUE(encode(keys.ctx(), s, "text", &rc).empty());
    EXPECT_EQ(kZAFError_BadPassphrase, rc);
}

TEST(MessageSafety, LengthsAndCountsAreBounded) {
    Keys keys;
    // Session key packets above 16 KiB, signatures above 64 KiB.
    std::string bigEsk = packet(1, "\x03" + std::string(8, 'k') + "\x01" + std::string(17000, 'x'));
    EXPECT_EQ(kZAFError_TooLarge, decodeWith(keys, bigEsk).rc);
    std::string bigSig = packet(2, std::string(70000, '\x04'));
    EXPECT_EQ(kZAFError_TooLarge, decodeWith(keys, bigSig + literal("x")).rc);
    // More one-pass headers than a message may carry.
    std::string ops;
    for (int i = 0; i < 65; ++i)
        ops += packet(4, std::string("\x03\x00\x08\x01", 4) + std::string(8, char(i)) + "\x01");
    EXPECT_EQ(kZAFError_TooLarge, decodeWith(keys, ops + literal("x")).rc);
    // A cleartext line longer than a line may be.
    std::string clear = "-----BEGIN ZAF SIGNED MESSAGE-----\nHash: SHA256\n\n" +
                        std::string(size_t(kZAFMessageMaxLineLength) + 1, 'a') + "\n";
    EXPECT_EQ(kZAFError_TooLarge, decodeWith(keys, clear).rc);
    // A literal packet whose name runs past its body.
    EXPECT_EQ(kZAFError_Truncated, decodeWith(keys, packet(11, "b\x40xyz")).rc);
    // Session key packets without the data they open.
    EXPECT_EQ(kZAFError_Truncated,
              decodeWith(keys, packet(3, std::string("\x04\x07\x00\x08", 4))).rc);
    // A one-pass header whose signature never comes.
    EXPECT_EQ(kZAFError_Truncated, decodeWith(keys, ops.substr(0, 15) + literal("x")).rc);
    // Two literal packets.
    EXPECT_EQ(kZAFError_CorruptData, decodeWith(keys, literal("a") + literal("b")).rc);
}

TEST(MessageSafety, NestingStopsAtItsLimit) {
    Keys keys;
    std::string msg = literal("deep");
    for (int depth = 1; depth <= kZAFMessageMaxNesting + 1; ++depth) {
        msg = encryptLayer(msg);
        Decoded d = decodeWith(keys, msg, withPassphrase);
        if (depth <= kZAFMessageMaxNesting) {
            EXPECT_EQ(0, d.rc) << depth;
            EXPECT_EQ("deep", d.output);
        } else {
            EXPECT_EQ(kZAFError_NestingTooDeep, d.rc);
            EXPECT_FALSE(d.committed);
        }
    }
    // One compressed layer in a whole message: none inside another, not even with an
    // encrypted layer between them.
    std::string c = literal("squeezed");
    for (int layers = 1; layers <= 3; ++layers) {
        c = compressedLayer(c);
        Decoded d = decodeWith(keys, c);
        EXPECT_EQ(layers == 1 ? 0 : kZAFError_NestingTooDeep, d.rc) << layers;
        EXPECT_EQ(layers == 1, d.committed) << layers;
    }
    std::string sandwich = compressedLayer(encryptLayer(compressedLayer(literal("squeezed"))));
    EXPECT_EQ(kZAFError_NestingTooDeep, decodeWith(keys, sandwich, withPassphrase).rc);
    EXPECT_EQ(0,
              decodeWith(keys, compressedLayer(encryptLayer(literal("once"))), withPassphrase).rc);
}

TEST(MessageSafety, DecompressionCannotRunAway) {
    Keys keys;
    // 1 GiB of zeros in 807 bytes of BZip2: stopped after the floor (32 MiB) and the allowed
    // expansion, long before the end, and none of it reaches the sink.
    std::string bomb = readAll(std::string(ORX_TEST_DATA_DIR) + "/messages/bzip2-bomb-1gib.bin");
    ASSERT_EQ(807u, bomb.size());
    Params plain(keys.ctx(), keys.db());
    ZAFMessageSourceRef in = nullptr;
    ZAFMessageSinkRef out = nullptr;
    ZAFMessageResultRef result = nullptr;
    size_t written = 0;
    ASSERT_EQ(0, ZAFNewMessageSourceFromBuffer(keys.ctx(), bomb.data(), bomb.size(), &in));
    ASSERT_EQ(0, ZAFNewMessageSinkFromCallback(
                     keys.ctx(),
                     [](void* user, const void*, size_t size) -> ZAFError {
                         *static_cast<size_t*>(user) += size;
                         return 0;
                     },
                     nullptr, &written, &out));
    ASSERT_EQ(0, ZAFNewMessageResult(keys.ctx(), &result));
    EXPECT_EQ(kZAFError_RatioExceeded, ZAFDecodeMessage(plain, in, nullptr, out, result));
    EXPECT_EQ(0u, written);
    ZAFFreeMessageResult(result);
    ZAFFreeMessageSink(out);
    ZAFFreeMessageSource(in);

    // Our own ZLIB output of 4 MiB zeros: within the defaults, beyond tighter limits.
    Params p(keys.ctx(), keys.db());
    ASSERT_EQ(0, ZAFSetMessagePassphrase(p, "z", 1));
    ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_Compression, 2));
    std::string zeros(4u << 20, '\0');
    Decoded d;
    std::string msg = encode(keys.ctx(), p, zeros);
    EXPECT_LT(msg.size(), 10000u);
    d = decode(keys.ctx(), p, msg);
    EXPECT_EQ(0, d.rc);
    EXPECT_TRUE(d.output == zeros);
    ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_ExpansionFloorKiB, 1024));
    ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_MaxExpansion, 100));
    d = decode(keys.ctx(), p, msg);
    EXPECT_EQ(kZAFError_RatioExceeded, d.rc);
    EXPECT_FALSE(d.committed);
    ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_MaxExpansion, 0)); // no limit
    EXPECT_EQ(0, decode(keys.ctx(), p, msg).rc);

    // The budget is the size of the whole message, not of the compressed packet: bytes
    // around it count too.
    auto tight = [](ZAFMessageParamsRef q) {
        ZAFSetMessageOption(q, kZAFMessageOption_ExpansionFloorKiB, 0);
        ZAFSetMessageOption(q, kZAFMessageOption_MaxExpansion, 100);
    };
    std::string text(3u << 20, 'z');
    std::string z = packet(8, "\x02" + zlibOf(literal(text)));
    ASSERT_LT(z.size(), 20000u);
    EXPECT_EQ(kZAFError_RatioExceeded, decodeWith(keys, z, tight).rc);
    Decoded padded = decodeWith(keys, packet(10, std::string(40000, 'P')) + z, tight);
    EXPECT_EQ(0, padded.rc);
    EXPECT_TRUE(padded.output == text);
}

TEST(MessageSafety, UnknownPacketsAreSkippedOrRefusedAsAllowed) {
    Keys keys;
    std::string marker = packet(10, "xyz"); // whatever it holds, a marker is passed over
    std::string privateTag = packet(60, "anything");
    Decoded d = decodeWith(keys, marker + privateTag + literal("text"));
    EXPECT_EQ(0, d.rc);
    EXPECT_EQ("text", d.output);
    EXPECT_EQ(kZAFError_UnknownPacket, decodeWith(keys, literal("a") + packet(30, "?")).rc);
    EXPECT_EQ(kZAFError_UnknownPacket, decodeWith(keys, packet(19, std::string(22, 'm'))).rc);
    // Keys, empty input, plain text and stray bytes are no messages.
    EXPECT_EQ(kZAFError_NotAMessage, decodeWith(keys, fixture("keys/carol.pub")).rc);
    EXPECT_EQ(kZAFError_NotAMessage, decodeWith(keys, "").rc);
    EXPECT_EQ(kZAFError_NotAMessage, decodeWith(keys, "just some text\nand more\n").rc);
    EXPECT_EQ(kZAFError_UnknownPacket, decodeWith(keys, std::string("\x80\x01", 2)).rc);
    // A partial length on a packet that may not have one.
    EXPECT_EQ(kZAFError_CorruptData,
              decodeWith(keys, std::string("\xC2\xE9", 2) + std::string(512, 'x')).rc);
}

} // namespace
