// Encoding and decoding with the toolkit on both ends: every shape of message, what the result
// records, signature statuses, choosing recipients, preferences and additional decryption keys,
// sources and sinks, and the checks of the parameters.
#include "keygen_test_util.h"
#include "message_test_util.h"

#include <botan/hash.h>

#include <fcntl.h>
#include <unistd.h>

using namespace msgtest;

namespace {

// All four fixture keys with their secret parts, passphrases answered.
class RoundTrip : public testing::Test {
protected:
    RoundTrip() : m_keys({1, 2, 3, 4}), m_answers(m_keys.answers()) {}
    ZAFContextRef ctx() const { return m_keys.ctx(); }
    ZAFKeyDBRef db() const { return m_keys.db(); }
    ZAFKeyDBObjRef key(int n) const { return m_keys.key(n); }
    std::unique_ptr<Params> params() {
        auto p = std::make_unique<Params>(ctx(), db());
        ZAFSetMessagePassphraseCallback(*p, answer, &m_answers);
        return p;
    }
    Decoded open(const std::string& message, const std::string* data = nullptr) {
        auto p = params();
        return decode(ctx(), *p, message, data);
    }

    Keys m_keys;
    Answers m_answers;
};

TEST_F(RoundTrip, EveryShapeComesBackWithWhatTheResultRecords) {
    std::string plain = "Dear reader,\n- a line with a dash\nthe end\n";
    struct Shape {
        std::vector<int> recipients, signers;
        bool passphrase, armor, compress;
        int mode;
    };
    const Shape shapes[] = {
        {{1}, {}, false, false, false, 'b'},     {{2}, {}, false, true, true, 't'},
        {{3}, {}, false, false, true, 'u'},      {{}, {}, true, true, false, 'b'},
        {{1, 2, 3}, {4}, true, true, true, 't'}, {{}, {1, 2, 3}, false, false, false, 'b'},
        {{}, {4}, false, true, true, 't'},       {{4}, {2, 3}, false, false, false, 'u'},
    };
    for (size_t i = 0; i < sizeof shapes / sizeof shapes[0]; ++i) {
        const Shape& s = shapes[i];
        SCOPED_TRACE("shape " + std::to_string(i));
        auto p = params();
        for (int r : s.recipients)
            ASSERT_EQ(0, ZAFAddMessageRecipient(*p, key(r)));
        for (int r : s.signers)
            ASSERT_EQ(0, ZAFAddMessageSigner(*p, key(r)));
        if (s.passphrase) {
            ASSERT_EQ(0, ZAFSetMessagePassphrase(*p, "pass phrase", 11));
        }
        ASSERT_EQ(0, ZAFSetMessageOption(*p, kZAFMessageOption_Armor, s.armor));
        ASSERT_EQ(0, ZAFSetMessageOption(*p, kZAFMessageOption_Compression, s.compress ? 2 : 0));
        ASSERT_EQ(0, ZAFSetMessageLiteral(*p, s.mode, "letter.txt", 10, 1600000000));
        Decoded made;
        std::string msg = encode(ctx(), *p, plain, nullptr, &made);
        EXPECT_EQ(s.armor, msg.rfind("-----BEGIN ZAF MESSAGE-----\n", 0) == 0);
        EXPECT_EQ(s.signers.size(), made.signatures.size());

        m_answers.answerMessage = s.passphrase && s.recipients.empty();
        m_answers.message = "pass phrase";
        Decoded d = open(msg);
        ASSERT_EQ(0, d.rc);
        EXPECT_TRUE(d.committed);
        EXPECT_EQ(plain, d.output);
        bool encrypted = !s.recipients.empty() || s.passphrase;
        EXPECT_EQ(encrypted, (d.info.kinds & kZAFMessageKind_Encrypted) != 0);
        EXPECT_EQ(s.armor, (d.info.kinds & kZAFMessageKind_Armored) != 0);
        EXPECT_EQ(s.compress, (d.info.kinds & kZAFMessageKind_Compressed) != 0);
        EXPECT_EQ(s.compress ? 2 : -1, d.info.compression);
        EXPECT_EQ(encrypted ? kZAFMDC_Good : kZAFMDC_None, d.info.mdc);
        EXPECT_EQ(s.mode, d.info.literalMode);
        EXPECT_EQ("letter.txt", std::string(reinterpret_cast<char*>(d.info.literalName)));
        EXPECT_EQ(1600000000u, d.info.literalDate);
        EXPECT_EQ(plain.size(), d.info.literalLength);
        if (encrypted) {
            EXPECT_EQ(s.recipients.empty() ? kZAFOpenedBy_Passphrase : kZAFOpenedBy_Key,
                      d.info.openedBy);
            EXPECT_EQ(made.info.cipher, d.info.cipher);
            EXPECT_EQ(s.recipients.size(), d.recipients.size());
        }
        ASSERT_EQ(s.signers.size(), d.signatures.size());
        for (size_t j = 0; j < s.signers.size(); ++j) {
            const ZAFMessageSignature& sig = d.signatures[j];
            EXPECT_EQ(kZAFSigStatus_Good, sig.status);
            EXPECT_EQ(Keys::fixtureFingerprint(s.signers[j]),
                      Keys::toHex(sig.fingerprint, sig.fingerprintLength));
            EXPECT_EQ(s.mode == 'b' ? 0 : 1, sig.signatureType);
            EXPECT_EQ(made.info.hash, sig.hashAlgorithm);
            EXPECT_EQ(key(s.signers[j]), sig.key);
            // Keys whose secret part is held are trusted implicitly.
            EXPECT_EQ(kZAFValidity_Complete, sig.validity);
            EXPECT_EQ(made.signatures[j].created, sig.created);
        }
    }
}

TEST_F(RoundTrip, ClearSignedTextKeepsItsLinesAndCatchesChanges) {
    // Lines longer than the reader's runs, kept in its own buffer.
    std::string longLines;
    for (int i = 0; i < 2; ++i)
        longLines += std::string(size_t(kZAFMessageMaxLineLength) - 7, char('a' + i)) + "  \r\n";
    const std::string texts[] = {"no newline at the end",
                                 "crlf\r\nlines\r\n",
                                 "-----BEGIN FAKE-----\nFrom me\n- dash\ntrailing  \t\n",
                                 "",
                                 "\n\n",
                                 longLines};
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 40));
        auto p = params();
        ASSERT_EQ(0, ZAFAddMessageSigner(*p, key(3)));
        ASSERT_EQ(0, ZAFSetMessageOption(*p, kZAFMessageOption_ClearSign, 1));
        std::string msg = encode(ctx(), *p, text);
        ASSERT_EQ(0u, msg.find("-----BEGIN ZAF SIGNED MESSAGE-----\nHash: SHA256\n\n"));
        Decoded d = open(msg);
        ASSERT_EQ(0, d.rc);
        // Each line comes back with its ending; a last line without one gets a line feed.
        std::string want = text.empty() || text.back() == '\n' ? text : text + "\n";
        EXPECT_EQ(want.empty() ? "\n" : want, d.output);
        ASSERT_EQ(1u, d.signatures.size());
        EXPECT_EQ(kZAFSigStatus_Good, d.signatures[0].status);
        EXPECT_NE(0u, d.info.kinds & kZAFMessageKind_ClearSigned);
        // Trailing blanks are not signed; anything else is.
        std::string body = msg.substr(msg.find("\n\n") + 2);
        size_t sig = body.find("-----BEGIN ZAF SIGNATURE");
        std::string head = msg.substr(0, msg.find("\n\n") + 2);
        size_t ending = sig - (sig >= 2 && body.compare(sig - 2, 2, "\r\n") == 0 ? 2 : 1);
        std::string blanks = head + body.substr(0, ending) + " \t" + body.substr(ending);
        EXPECT_EQ(0, open(blanks).rc);
        std::string changed = head + "x" + body;
        Decoded bad = open(changed);
        EXPECT_EQ(kZAFError_BadSignature, bad.rc);
        EXPECT_FALSE(bad.committed);
    }
}

TEST_F(RoundTrip, DetachedSignaturesCheckTheDataGiven) {
    std::string data = "line one\nline two\n";
    for (int text : {0, 1}) {
        auto p = params();
        ASSERT_EQ(0, ZAFAddMessageSigner(*p, key(2)));
        ASSERT_EQ(0, ZAFAddMessageSigner(*p, key(1)));
        ASSERT_EQ(0, ZAFSetMessageOption(*p, kZAFMessageOption_Detached, 1));
        ASSERT_EQ(0, ZAFSetMessageOption(*p, kZAFMessageOption_TextSignature, text));
        ASSERT_EQ(0, ZAFSetMessageOption(*p, kZAFMessageOption_Armor, 1));
        std::string sig = encode(ctx(), *p, data);
        EXPECT_EQ(0u, sig.find("-----BEGIN ZAF SIGNATURE-----"));
        Decoded d = open(sig, &data);
        ASSERT_EQ(0, d.rc);
        ASSERT_EQ(2u, d.signatures.size());
        EXPECT_EQ(text, d.signatures[0].signatureType);
        EXPECT_EQ(kZAFSigStatus_Good, d.signatures[1].status);
        // A text signature does not mind the line endings; a binary one does.
        std::string crlf = "line one\r\nline two\r\n";
        EXPECT_EQ(text ? 0 : kZAFError_BadSignature, open(sig, &crlf).rc);
        std::string other = data + ".";
        Decoded bad = open(sig, &other);
        EXPECT_EQ(kZAFError_BadSignature, bad.rc);
        EXPECT_EQ(kZAFSigStatus_Bad, bad.signatures[0].status);
        EXPECT_EQ(kZAFError_NoSignedData, open(sig).rc);
    }
    auto p = params();
    ASSERT_EQ(0, ZAFAddMessageSigner(*p, key(4)));
    std::string signedMessage = encode(ctx(), *p, data);
    EXPECT_EQ(kZAFError_ConflictingOptions, open(signedMessage, &data).rc);
}

TEST_F(RoundTrip, SignatureStatusesTellWhatIsWrongBesidesTheMathematics) {
    std::string data = "signed data";
    uint32_t now = uint32_t(time(nullptr));
    // Expired signature, a signature made after its key expired, an unknown critical subpacket.
    std::string expiry;
    std::string oneDay{0, 1, 0x51, char(0x80)};
    zaf::rfc4880::appendSubpacket(expiry, 3, oneDay);
    Decoded d = open(craftSignature(key(4), data, now - 3 * 86400, expiry), &data);
    EXPECT_EQ(0, d.rc);
    ASSERT_EQ(1u, d.signatures.size());
    EXPECT_EQ(kZAFSigStatus_SigExpired, d.signatures[0].status);
    EXPECT_EQ(now - 3 * 86400 + 86400, d.signatures[0].expires);

    ZAFKeyDBObjRef shortLived =
        kgtest::generateKey(ctx(), db(), "Short <s@example.org>", "", 1, 1024, 0, 1);
    ASSERT_NE(nullptr, shortLived);
    d = open(craftSignature(shortLived, data, now + 3 * 86400, ""), &data);
    EXPECT_EQ(0, d.rc);
    EXPECT_EQ(kZAFSigStatus_KeyExpired, d.signatures[0].status);

    std::string critical;
    zaf::rfc4880::appendSubpacket(critical, 0x80 | 60, "x");
    d = open(craftSignature(key(4), data, now, critical), &data);
    EXPECT_EQ(kZAFError_BadSignature, d.rc);
    EXPECT_EQ(kZAFSigStatus_Bad, d.signatures[0].status);

    // A key not held: reported, not a failure.
    auto p = params();
    ASSERT_EQ(0, ZAFAddMessageSigner(*p, key(1)));
    std::string msg = encode(ctx(), *p, data);
    Keys without({}, false);
    Params q(without.ctx(), without.db());
    d = decode(without.ctx(), q, msg);
    EXPECT_EQ(0, d.rc);
    EXPECT_EQ(data, d.output);
    EXPECT_EQ(kZAFSigStatus_KeyNotHeld, d.signatures[0].status);
    EXPECT_EQ(0u, d.signatures[0].fingerprintLength);
    EXPECT_EQ(-1, d.signatures[0].validity);
    EXPECT_EQ("0xFE94AC1CE2925BD9", keyIDHex(d.signatures[0].signerKeyID));

    // Revoked after signing.
    ZAFKeyDBObjRef revokable = kgtest::generateKey(ctx(), db(), "Rev <r@example.org>", "");
    auto p2 = params();
    ASSERT_EQ(0, ZAFAddMessageSigner(*p2, revokable));
    msg = encode(ctx(), *p2, data);
    ASSERT_EQ(0, ZAFRevoke(revokable, nullptr, ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    d = open(msg);
    EXPECT_EQ(0, d.rc);
    EXPECT_EQ(kZAFSigStatus_KeyRevoked, d.signatures[0].status);
    auto p3 = params();
    EXPECT_EQ(kZAFError_KeyRevoked, ZAFAddMessageSigner(*p3, kgtest::current(db(), revokable)));
    EXPECT_EQ(kZAFError_KeyRevoked, ZAFAddMessageRecipient(*p3, kgtest::current(db(), revokable)));
}

TEST_F(RoundTrip, RecipientsByKeyIDUserIDGroupAndSelf) {
    auto p = params();
    ZAFKeyID id;
    ASSERT_EQ(0, ZAFNewKeyIDFromString("0x0DF33611BB41D4BB", -1, &id)); // carol's primary
    ASSERT_EQ(0, ZAFAddMessageRecipientKeyID(*p, &id));
    ASSERT_EQ(0, ZAFNewKeyIDFromString("0x7ACC081B14464EF3", -1, &id)); // dave's subkey
    ASSERT_EQ(0, ZAFAddMessageRecipientKeyID(*p, &id));
    ASSERT_EQ(0, ZAFNewKeyIDFromString("0x1111111111111111", -1, &id));
    EXPECT_EQ(kZAFError_ItemNotFound, ZAFAddMessageRecipientKeyID(*p, &id));
    Decoded made;
    encode(ctx(), *p, "x", nullptr, &made);
    ASSERT_EQ(2u, made.recipients.size());
    EXPECT_EQ("0xDA5A6470384B714C", keyIDHex(made.recipients[0].keyID)); // carol's ECDH subkey
    EXPECT_EQ(18, made.recipients[0].algorithm);
    EXPECT_EQ("0x7ACC081B14464EF3", keyIDHex(made.recipients[1].keyID));
    EXPECT_EQ(uint32_t(kZAFRecipient_Named), made.recipients[1].flags);

    // User IDs: a part of one, in any case; one that fits several keys is refused.
    std::vector<std::string> uids;
    for (int n = 1; n <= 4; ++n)
        uids.push_back(kgtest::dataProperty(&key(n)->key->objs[size_t(key(n)->key->primaryUserID)],
                                            kZAFUserIDProperty_Name));
    auto q = params();
    std::string upper = uids[1];
    for (char& c : upper)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_EQ(0, ZAFAddMessageRecipientUserID(*q, upper.c_str())) << upper;
    EXPECT_EQ(kZAFError_ItemNotFound, ZAFAddMessageRecipientUserID(*q, "nobody@nowhere"));
    EXPECT_EQ(kZAFError_AmbiguousUserID, ZAFAddMessageRecipientUserID(*q, "@"));
    encode(ctx(), *q, "x", nullptr, &(made = Decoded()));
    ASSERT_EQ(1u, made.recipients.size());
    EXPECT_EQ("0xC01846F058F01F50", keyIDHex(made.recipients[0].keyID)); // bob's ElGamal

    // A group of two keys and one key ID the database does not hold.
    ZAFGroupSetRef groups = nullptr;
    ASSERT_EQ(0, ZAFNewGroupSet(ctx(), &groups));
    ZAFGroupID g = 0;
    ASSERT_EQ(0, ZAFNewGroup(groups, "friends", "", &g));
    for (const char* text : {"0xFE94AC1CE2925BD9", "0xB977FACF6A0BFDE6", "0x2222222222222222"}) {
        ASSERT_EQ(0, ZAFNewKeyIDFromString(text, -1, &id));
        ASSERT_EQ(0, ZAFAddKeyToGroup(groups, g, &id));
    }
    auto r = params();
    uint32_t missing = 0;
    ASSERT_EQ(0, ZAFAddMessageRecipientGroup(*r, groups, g, &missing));
    EXPECT_EQ(1u, missing);
    // Encrypt to self: the first signer.
    ASSERT_EQ(0, ZAFAddMessageSigner(*r, key(3)));
    ASSERT_EQ(0, ZAFSetMessageOption(*r, kZAFMessageOption_EncryptToSelf, 1));
    std::string msg = encode(ctx(), *r, "for friends", nullptr, &(made = Decoded()));
    ASSERT_EQ(3u, made.recipients.size());
    EXPECT_EQ(uint32_t(kZAFRecipient_Self), made.recipients[2].flags);
    ZAFFreeGroupSet(groups);
    // Carol alone can open it.
    Keys carol({3});
    Params c(carol.ctx(), carol.db());
    Answers a = carol.answers();
    ZAFSetMessagePassphraseCallback(c, answer, &a);
    Decoded d = decode(carol.ctx(), c, msg);
    EXPECT_EQ(0, d.rc);
    EXPECT_EQ("0xDA5A6470384B714C", keyIDHex(d.info.decryptionKeyID));
    EXPECT_EQ(3u, d.recipients.size());
    EXPECT_EQ(uint32_t(kZAFRecipient_Held | kZAFRecipient_Opened), d.recipients[2].flags);
    EXPECT_EQ(0u, d.recipients[0].flags);
}

TEST_F(RoundTrip, CiphersAndHashesFollowTheRecipientsWishes) {
    auto makeKey = [&](const char* name, std::vector<int32_t> ciphers) {
        ZAFKeyDBObjRef k = nullptr;
        EXPECT_EQ(0, ZAFGenerateKey(ctx(), &k, ZAFOKeyDB(ctx(), db()),
                                    ZAFOKeyGenParams(ctx(), 1, 1024, 0), ZAFOUserID(ctx(), name),
                                    ZAFOPassphrase(ctx(), ""), ZAFOKeyFlags(ctx(), 0x0F),
                                    ZAFOPreferredCiphers(ctx(), ciphers.data(), ciphers.size()),
                                    ZAFOLastOption()));
        return k;
    };
    ZAFKeyDBObjRef a = makeKey("A", {10, 7});
    ZAFKeyDBObjRef b = makeKey("B", {7, 9});
    ZAFKeyDBObjRef c = makeKey("C", {3});
    auto p = params();
    ASSERT_EQ(0, ZAFAddMessageRecipient(*p, a));
    ASSERT_EQ(0, ZAFAddMessageRecipient(*p, b));
    Decoded made;
    std::string msg = encode(ctx(), *p, "x", nullptr, &made);
    EXPECT_EQ(7, made.info.cipher); // A's first choice that B takes too
    EXPECT_TRUE(made.warnings.empty());
    ASSERT_EQ(0, ZAFAddMessageRecipient(*p, c));
    encode(ctx(), *p, "x", nullptr, &(made = Decoded()));
    EXPECT_EQ(2, made.info.cipher); // nothing common but the implied TripleDES
    ASSERT_EQ(0, ZAFSetMessageOption(*p, kZAFMessageOption_Cipher, 9));
    ASSERT_EQ(0, ZAFAddMessageSigner(*p, key(4)));
    encode(ctx(), *p, "x", nullptr, &(made = Decoded()));
    EXPECT_EQ(9, made.info.cipher);
    EXPECT_EQ(8, made.info.hash);
    // A and C did not ask for AES-256.
    EXPECT_EQ((std::vector<int32_t>{kZAFMessageWarning_CipherNotWanted,
                                    kZAFMessageWarning_CipherNotWanted}),
              made.warnings);
    // Passphrase alone: the environment's cipher, else AES-256.
    auto q = params();
    ASSERT_EQ(0, ZAFSetMessagePassphrase(*q, "p", 1));
    encode(ctx(), *q, "x", nullptr, &(made = Decoded()));
    EXPECT_EQ(9, made.info.cipher);
    ASSERT_EQ(0, zafenvSetInt(zafContextGetEnvironment(ctx()), kZAFEnv_Cipher, 3, 1));
    encode(ctx(), *q, "x", nullptr, &(made = Decoded()));
    EXPECT_EQ(3, made.info.cipher);
}

TEST_F(RoundTrip, AdditionalDecryptionKeysJoinOrFailAsAsked) {
    // Keys that receive through an encryption subkey, as key pairs are made.
    auto pair = [&](const char* name) {
        ZAFKeyDBObjRef k = kgtest::generateKey(ctx(), db(), name, "");
        EXPECT_NE(nullptr, kgtest::generateSubKey(ctx(), k, ""));
        return kgtest::current(db(), k);
    };
    ZAFKeyDBObjRef owner = pair("Owner <o@example.org>");
    ZAFKeyDBObjRef requested = pair("Req <q@example.org>");
    ZAFKeyDBObjRef enforced = pair("Enf <e@example.org>");
    ASSERT_EQ(0, ZAFAddAdditionalDecryptionKey(owner, requested, kZAFADKClass_Request,
                                               ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    owner = kgtest::current(db(), owner);
    ASSERT_EQ(0, ZAFAddAdditionalDecryptionKey(owner, enforced, kZAFADKClass_Enforced,
                                               ZAFOPassphrase(ctx(), ""), ZAFOLastOption()));
    owner = kgtest::current(db(), owner);
    auto p = params();
    ASSERT_EQ(0, ZAFAddMessageRecipient(*p, owner));
    Decoded made;
    encode(ctx(), *p, "x", nullptr, &made);
    ASSERT_EQ(3u, made.recipients.size());
    EXPECT_EQ(uint32_t(kZAFRecipient_ADK), made.recipients[1].flags);
    EXPECT_EQ(uint32_t(kZAFRecipient_ADK), made.recipients[2].flags);

    // The same key where the ADK keys are not held: the enforced one fails the call unless
    // WarnADK; the requested one is a warning; EnforceADK makes every ADK required.
    ZAFKeySetRef one = nullptr;
    ASSERT_EQ(0, ZAFNewSingletonKeySet(owner, &one));
    std::string exported = exportSet(ctx(), one, false, false);
    ZAFFreeKeySet(one);
    ZAFKeyDBRef alone = importBytes(ctx(), exported);
    ZAFKeyDBObjRef ownerAlone = nullptr;
    ZAFKeyID id;
    ZAFGetKeyID(owner, &id);
    ASSERT_EQ(0, ZAFFindKeyByKeyID(alone, &id, &ownerAlone));
    Params q(ctx(), alone);
    ASSERT_EQ(0, ZAFAddMessageRecipient(q, ownerAlone));
    ZAFError rc = 0;
    std::string msg = encode(ctx(), q, "x", &rc);
    EXPECT_EQ(kZAFError_ADKUnavailable, rc);
    EXPECT_TRUE(msg.empty());
    ASSERT_EQ(0, ZAFSetMessageOption(q, kZAFMessageOption_WarnADK, 1));
    encode(ctx(), q, "x", &rc, &(made = Decoded()));
    EXPECT_EQ(0, rc);
    EXPECT_EQ(
        (std::vector<int32_t>{kZAFMessageWarning_ADKNotAdded, kZAFMessageWarning_ADKNotAdded}),
        made.warnings);
    EXPECT_EQ(1u, made.recipients.size());
    ZAFFreeKeyDB(alone);
}

ZAFError failingWrite(void*, const void*, size_t) { return kZAFError_FilePermissions; }

struct EndLog {
    int ends = 0;
    int commits = 0;
    size_t bytes = 0;
};
ZAFError countWrite(void* user, const void*, size_t size) {
    static_cast<EndLog*>(user)->bytes += size;
    return 0;
}
ZAFError countEnd(void* user, ZAFBoolean commit) {
    EndLog* log = static_cast<EndLog*>(user);
    ++log->ends;
    log->commits += commit;
    return 0;
}
ZAFError failingRead(void*, void*, size_t, size_t*) { return kZAFError_ReadFailed; }

TEST_F(RoundTrip, FilesDescriptorsAndCallbacksCarryTheStreams) {
    TempDir dir;
    std::string plain = std::string(300000, 'z') + "end";
    writeAll(dir.file("plain"), plain);
    auto p = params();
    ASSERT_EQ(0, ZAFAddMessageRecipient(*p, key(4)));
    Spec in(ctx(), dir.file("plain")), out(ctx(), dir.file("message"));
    ZAFMessageSourceRef src = nullptr;
    ZAFMessageSinkRef sink = nullptr;
    ASSERT_EQ(0, ZAFNewMessageSourceFromFile(ctx(), in.get(), &src));
    ASSERT_EQ(0, ZAFNewMessageSinkToFile(ctx(), out.get(), 0600, &sink));
    ASSERT_EQ(0, ZAFEncodeMessage(*p, src, sink, nullptr));
    ZAFFreeMessageSource(src);
    ZAFFreeMessageSink(sink);
    struct stat st;
    ASSERT_EQ(0, ::stat(dir.file("message").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    // Decoding from a descriptor into a file that already exists: replaced only on success.
    writeAll(dir.file("target"), "old");
    int fd = ::open(dir.file("message").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    Spec target(ctx(), dir.file("target"));
    ASSERT_EQ(0, ZAFNewMessageSourceFromFD(ctx(), fd, &src));
    ASSERT_EQ(0, ZAFNewMessageSinkToFile(ctx(), target.get(), 0644, &sink));
    ASSERT_EQ(0, ZAFDecodeMessage(*p, src, nullptr, sink, nullptr));
    ZAFFreeMessageSource(src);
    ZAFFreeMessageSink(sink);
    ::close(fd);
    EXPECT_EQ(plain, readAll(dir.file("target")));

    std::string damaged = readAll(dir.file("message"));
    damaged[damaged.size() / 2] ^= 1;
    writeAll(dir.file("target"), "old");
    ASSERT_EQ(0, ZAFNewMessageSourceFromBuffer(ctx(), damaged.data(), damaged.size(), &src));
    ASSERT_EQ(0, ZAFNewMessageSinkToFile(ctx(), target.get(), 0644, &sink));
    EXPECT_EQ(kZAFError_IntegrityFailure, ZAFDecodeMessage(*p, src, nullptr, sink, nullptr));
    ZAFFreeMessageSource(src);
    ZAFFreeMessageSink(sink);
    EXPECT_EQ("old", readAll(dir.file("target")));
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        files += e.is_regular_file();
    EXPECT_EQ(3u, files); // plain, message, target: no temporary left behind

    // A sink that refuses to write stops the call with its code; a failing source likewise.
    ASSERT_EQ(0, ZAFNewMessageSourceFromBuffer(ctx(), plain.data(), plain.size(), &src));
    EndLog log;
    ASSERT_EQ(0, ZAFNewMessageSinkFromCallback(ctx(), failingWrite, countEnd, &log, &sink));
    EXPECT_EQ(kZAFError_FilePermissions, ZAFEncodeMessage(*p, src, sink, nullptr));
    EXPECT_EQ(1, log.ends);
    EXPECT_EQ(0, log.commits);
    ZAFFreeMessageSource(src);
    ZAFFreeMessageSink(sink);
    ASSERT_EQ(0, ZAFNewMessageSourceFromCallback(ctx(), failingRead, nullptr, &src));
    ASSERT_EQ(0, ZAFNewMessageSinkFromCallback(ctx(), countWrite, countEnd, &log, &sink));
    EXPECT_EQ(kZAFError_ReadFailed, ZAFEncodeMessage(*p, src, sink, nullptr));
    EXPECT_EQ(2, log.ends);
    EXPECT_EQ(0, log.commits);
    ZAFFreeMessageSource(src);
    ZAFFreeMessageSink(sink);
    // A buffer sink with a limit.
    ASSERT_EQ(0, ZAFNewMessageSourceFromBuffer(ctx(), plain.data(), plain.size(), &src));
    ASSERT_EQ(0, ZAFNewMessageSinkToBuffer(ctx(), 1000, &sink));
    EXPECT_EQ(kZAFError_BufferTooSmall, ZAFEncodeMessage(*p, src, sink, nullptr));
    const void* data = nullptr;
    size_t size = 0;
    EXPECT_EQ(kZAFError_ItemNotFound, ZAFGetMessageSinkData(sink, &data, &size));
    ZAFFreeMessageSource(src);
    ZAFFreeMessageSink(sink);
}

TEST_F(RoundTrip, ParametersAreCheckedAtTheCall) {
    auto p = params();
    ZAFMessageSourceRef src = nullptr;
    ZAFMessageSinkRef sink = nullptr;
    EXPECT_EQ(kZAFError_BadParams, ZAFSetMessageOption(*p, kZAFMessageOption_Armor, 2));
    EXPECT_EQ(kZAFError_UnsupportedCipher, ZAFSetMessageOption(*p, kZAFMessageOption_Cipher, 5));
    EXPECT_EQ(kZAFError_UnsupportedAlg, ZAFSetMessageOption(*p, kZAFMessageOption_Hash, 4));
    EXPECT_EQ(kZAFError_UnsupportedAlg, ZAFSetMessageOption(*p, kZAFMessageOption_Compression, 1));
    EXPECT_EQ(kZAFError_BadParams, ZAFSetMessageOption(*p, 999, 0));
    EXPECT_EQ(kZAFError_BadParams, ZAFSetMessageLiteral(*p, 'x', nullptr, 0, 0));
    std::string longName(256, 'n');
    EXPECT_EQ(kZAFError_BadParams, ZAFSetMessageLiteral(*p, 'b', longName.data(), 256, 0));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFAddMessageRecipient(nullptr, key(1)));
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFAddMessageRecipient(*p, nullptr));
    EXPECT_EQ(kZAFError_InvalidHandle,
              ZAFEncodeMessage(*p, reinterpret_cast<ZAFMessageSourceRef>(p.get()), sink, nullptr));
    Keys publicOnly({}, true);
    Params q(publicOnly.ctx(), publicOnly.db());
    EXPECT_EQ(kZAFError_NoSecretKey, ZAFAddMessageSigner(q, publicOnly.key(1)));
    EXPECT_EQ(kZAFError_BadParams, ZAFAddMessageSigner(*p, publicOnly.key(1))); // other database
    // Signing with an encryption-only subkey.
    ZAFKeyDBObjRef bobsElGamal = nullptr;
    for (ZAFKeyDBObj& o : key(2)->key->objs)
        if (o.type == kZAFKeyDBObjType_SubKey)
            bobsElGamal = &o;
    EXPECT_EQ(kZAFError_UnsupportedAlg, ZAFAddMessageSigner(*p, bobsElGamal));

    auto run = [&](ZAFMessageParamsRef params) {
        EXPECT_EQ(0, ZAFNewMessageSourceFromBuffer(ctx(), "x", 1, &src));
        EXPECT_EQ(0, ZAFNewMessageSinkToBuffer(ctx(), 0, &sink));
        ZAFError rc = ZAFEncodeMessage(params, src, sink, nullptr);
        ZAFFreeMessageSource(src);
        ZAFFreeMessageSink(sink);
        return rc;
    };
    EXPECT_EQ(kZAFError_MissingOption, run(*p));
    ASSERT_EQ(0, ZAFSetMessageOption(*p, kZAFMessageOption_Detached, 1));
    EXPECT_EQ(kZAFError_MissingOption, run(*p));
    ASSERT_EQ(0, ZAFAddMessageSigner(*p, key(4)));
    ASSERT_EQ(0, ZAFSetMessageOption(*p, kZAFMessageOption_ClearSign, 1));
    EXPECT_EQ(kZAFError_ConflictingOptions, run(*p));
    ASSERT_EQ(0, ZAFSetMessageOption(*p, kZAFMessageOption_ClearSign, 0));
    ASSERT_EQ(0, ZAFAddMessageRecipient(*p, key(4)));
    EXPECT_EQ(kZAFError_ConflictingOptions, run(*p));
    ASSERT_EQ(0, ZAFSetMessageOption(*p, kZAFMessageOption_Detached, 0));
    EXPECT_EQ(0, run(*p));
    // A source serves one call.
    ASSERT_EQ(0, ZAFNewMessageSourceFromBuffer(ctx(), "x", 1, &src));
    ASSERT_EQ(0, ZAFNewMessageSinkToBuffer(ctx(), 0, &sink));
    ASSERT_EQ(0, ZAFEncodeMessage(*p, src, sink, nullptr));
    EXPECT_EQ(kZAFError_BadParams, ZAFEncodeMessage(*p, src, sink, nullptr)); // sink spent
    ZAFFreeMessageSource(src);
    ZAFFreeMessageSink(sink);
    EXPECT_EQ(kZAFError_InvalidHandle, ZAFFreeMessageSink(sink));
    char text[80];
    ASSERT_EQ(0, ZAFGetErrorString(kZAFError_IntegrityFailure, sizeof text, text));
    EXPECT_STREQ("integrity check failed: the message was changed", text);
}

} // namespace
