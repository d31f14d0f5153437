// Messages against the independent RFC 4880 programs installed here (gpg, rnp, sq): signatures
// made with keys of the kinds they generate (a primary key that may only certify, ECDSA on the
// larger curves, brainpool, EdDSA) verify in each of them with the hash the key needs; text
// signatures, inline, detached and cleartext, verify; a data signature by a primary key that may
// only certify is refused; Camellia works both ways. A program that is not installed is skipped
// with a message. Armour is read by the peers with their own label word in place of ours.
#include "message_peers.h"
#include "message_test_util.h"
#include "messages/message_internal.h"
#include "messages/message_session.h"

#include <functional>
#include <iostream>

using namespace msgtest;
using namespace peertest;

namespace {

class Peers : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        s_peers = new PeerSet(*s_dir);
        if (!s_peers->missing().empty())
            std::cout << "[ SKIPPED  ] the checks with " << s_peers->missing()
                      << ": not installed (scripts/install-deps.sh installs them)" << std::endl;
        s_keys = new Keys({4});
        // Keys as the peers make them: sq's default (a primary that only certifies, subkeys to
        // sign and encrypt), and gpg's elliptic-curve kinds.
        if (s_peers->sq.available())
            s_made.push_back({"sq cv25519", s_peers->sq.generate("sq <sq@example.org>", ""), ""});
        if (s_peers->gpg.available()) {
            for (const char* kind : {"ed25519-certify-only", "nistp384", "nistp521",
                                     "brainpoolP384r1", "brainpoolP512r1", "dsa2048"})
                s_made.push_back(
                    {std::string("gpg ") + kind,
                     s_peers->gpg.generate(std::string(kind) + " <" + kind + "@example.org>", kind),
                     ""});
        }
        for (auto& m : s_made) {
            ASSERT_FALSE(m.secretKey.empty()) << m.name;
            m.file = s_dir->file("made" + std::to_string(&m - &s_made[0]) + ".key");
            writeAll(m.file, m.secretKey);
            ZAFKeyDBRef one = importBytes(s_keys->ctx(), m.secretKey);
            ASSERT_NE(nullptr, one) << m.name;
            ASSERT_EQ(0, ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(one), s_keys->db(), nullptr));
            ZAFFreeKeyDB(one);
            s_peers->importEverywhere(m.file);
        }
        s_peers->importEverywhere(fixturePath("keys/dave.sec"));
    }
    static void TearDownTestSuite() {
        delete s_keys;
        delete s_peers;
        delete s_dir;
        s_made.clear();
    }
    // The primary key object of a key made by a peer, by its first user ID's text.
    static ZAFKeyDBObjRef made(const std::string& name) {
        for (const MadeKey& m : s_made)
            if (m.name == name)
                return byUserID(s_keys->db(), m.userID());
        return nullptr;
    }
    static std::string encode(const std::string& plain, const std::function<void(Params&)>& setup,
                              Decoded* report = nullptr) {
        Params p(s_keys->ctx(), s_keys->db());
        setup(p);
        ZAFError rc = 0;
        std::string out = msgtest::encode(s_keys->ctx(), p, plain, &rc, report);
        EXPECT_EQ(0, rc);
        return out;
    }

    struct MadeKey {
        std::string name;
        std::string secretKey;
        std::string file;
        std::string userID() const {
            size_t space = name.find(' ');
            std::string kind = name.substr(space + 1);
            return name.rfind("sq", 0) == 0 ? "sq <sq@example.org>"
                                            : kind + " <" + kind + "@example.org>";
        }
    };
    static TempDir* s_dir;
    static PeerSet* s_peers;
    static Keys* s_keys;
    static std::vector<MadeKey> s_made;
};

TempDir* Peers::s_dir = nullptr;
PeerSet* Peers::s_peers = nullptr;
Keys* Peers::s_keys = nullptr;
std::vector<Peers::MadeKey> Peers::s_made;

// The hash a key's signatures need by its kind.
uint8_t hashFor(const std::string& name) {
    if (name.find("nistp384") != std::string::npos || name.find("P384") != std::string::npos)
        return 9;
    if (name.find("nistp521") != std::string::npos || name.find("P512") != std::string::npos)
        return 10;
    return 8;
}

} // namespace

TEST_F(Peers, SignaturesByTheKeysPeersMakeVerifyInEachOfThem) {
    if (s_made.empty())
        GTEST_SKIP() << "neither gpg nor sq is installed";
    const std::string data = "signed by a key another program made\n";
    const std::string dataFile = s_dir->file("signed-data");
    writeAll(dataFile, data);
    for (const MadeKey& m : s_made) {
        SCOPED_TRACE(m.name);
        ZAFKeyDBObjRef key = made(m.name);
        ASSERT_NE(nullptr, key);
        Decoded report;
        std::string inline_ = encode(
            data, [&](Params& p) { ASSERT_EQ(0, ZAFAddMessageSigner(p, key)); }, &report);
        ASSERT_EQ(1u, report.signatures.size());
        // The hash fits the key, and a key whose primary only certifies signs with its subkey.
        EXPECT_EQ(hashFor(m.name), report.signatures[0].hashAlgorithm);
        ZAFKeyID primary{};
        ASSERT_EQ(0, ZAFGetKeyID(key, &primary));
        const bool certifyOnly =
            m.name == "sq cv25519" || m.name.find("certify-only") != std::string::npos;
        EXPECT_EQ(certifyOnly, keyIDHex(primary) != keyIDHex(report.signatures[0].signerKeyID));
        std::string detached = encode(data, [&](Params& p) {
            ASSERT_EQ(0, ZAFAddMessageSigner(p, key));
            ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_Detached, 1));
        });
        const std::string inlineFile = s_dir->file("inline.sig");
        const std::string detachedFile = s_dir->file("detached.sig");
        writeAll(inlineFile, inline_);
        writeAll(detachedFile, detached);
        for (Peer* peer : s_peers->all()) {
            // sq is built on Nettle here, which has no brainpool curves.
            if (!peer->available() ||
                (peer == &s_peers->sq && m.name.find("brainpool") != std::string::npos))
                continue;
            SCOPED_TRACE(peer->name());
            EXPECT_TRUE(peer->verifyInline(inlineFile, m.file).good) << peer->lastError();
            EXPECT_TRUE(peer->verifyDetached(detachedFile, dataFile, m.file).good)
                << peer->lastError();
        }
    }
}

TEST_F(Peers, AKeyThatHasNothingToSignWithIsRefusedAndAPrimaryThatOnlyCertifiesIsNotTaken) {
    if (!s_peers->sq.available())
        GTEST_SKIP() << "sq is not installed";
    // A key without a signing subkey whose primary may only certify: nothing to sign with.
    std::string noSigner = s_peers->sq.generate("nosign <nosign@example.org>", "--cannot-sign");
    ZAFKeyDBRef db = importBytes(s_keys->ctx(), noSigner);
    ASSERT_NE(nullptr, db);
    ZAFKeyDBObjRef key = byUserID(db, "nosign <nosign@example.org>");
    ASSERT_NE(nullptr, key);
    {
        Params p(s_keys->ctx(), db);
        EXPECT_EQ(kZAFError_KeyCannotSign, ZAFAddMessageSigner(p, key));
    }
    // A data signature its primary made anyway: gpg and sq refuse it, and so do we.
    const std::string data = "not the certifier's word\n";
    std::string sig = craftSignature(key, data, uint32_t(time(nullptr)) - 10, "");
    Params p(s_keys->ctx(), db);
    Decoded d = decode(s_keys->ctx(), p, sig, &data);
    EXPECT_EQ(0, d.rc);
    ASSERT_EQ(1u, d.signatures.size());
    EXPECT_EQ(kZAFSigStatus_WrongKeyUsage, d.signatures[0].status);
    EXPECT_NE(0u, d.signatures[0].fingerprintLength);
    const std::string keyFile = s_dir->file("nosign.key");
    writeAll(keyFile, noSigner);
    const std::string sigFile = s_dir->file("certifier.sig");
    const std::string dataFile = s_dir->file("certifier-data");
    writeAll(sigFile, sig);
    writeAll(dataFile, data);
    for (Peer* peer : {static_cast<Peer*>(&s_peers->gpg), static_cast<Peer*>(&s_peers->sq)}) {
        if (!peer->available())
            continue;
        SCOPED_TRACE(peer->name());
        peer->import(keyFile);
        EXPECT_FALSE(peer->verifyDetached(sigFile, dataFile, keyFile).good);
    }
    ZAFFreeKeyDB(db);
}

TEST_F(Peers, TextSignaturesVerifyInlineDetachedAndInTheCleartextFramework) {
    if (!s_peers->any())
        GTEST_SKIP() << "none of gpg, rnp and sq is installed";
    const std::string text = "first line\n- a dash line\nFrom the start\ntrailing blanks  \t\n"
                             "\nlast line\n";
    const std::string textFile = s_dir->file("text.txt");
    writeAll(textFile, text);
    ZAFKeyDBObjRef dave = s_keys->key(4);
    const std::string daveFile = fixturePath("keys/dave.pub");
    std::string inline_ = encode(text, [&](Params& p) {
        ASSERT_EQ(0, ZAFAddMessageSigner(p, dave));
        ASSERT_EQ(0, ZAFSetMessageLiteral(p, 't', nullptr, 0, 0));
    });
    std::string detached = encode(text, [&](Params& p) {
        ASSERT_EQ(0, ZAFAddMessageSigner(p, dave));
        ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_Detached, 1));
        ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_TextSignature, 1));
    });
    std::string clear = encode(text, [&](Params& p) {
        ASSERT_EQ(0, ZAFAddMessageSigner(p, dave));
        ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_ClearSign, 1));
    });
    // Encrypted and text-signed, to the same key.
    std::string sealed = encode(text, [&](Params& p) {
        ASSERT_EQ(0, ZAFAddMessageSigner(p, dave));
        ASSERT_EQ(0, ZAFAddMessageRecipient(p, dave));
        ASSERT_EQ(0, ZAFSetMessageLiteral(p, 't', nullptr, 0, 0));
    });
    const std::string inlineFile = s_dir->file("text-inline.sig");
    const std::string detachedFile = s_dir->file("text-detached.sig");
    const std::string clearFile = s_dir->file("text-clear.asc");
    const std::string sealedFile = s_dir->file("text-sealed.msg");
    writeAll(inlineFile, inline_);
    writeAll(detachedFile, detached);
    writeAll(clearFile, peerArmor(clear));
    writeAll(sealedFile, sealed);
    for (Peer* peer : s_peers->all()) {
        if (!peer->available())
            continue;
        SCOPED_TRACE(peer->name());
        Verdict v = peer->verifyInline(inlineFile, daveFile);
        EXPECT_TRUE(v.good) << peer->lastError();
        EXPECT_TRUE(peer->verifyDetached(detachedFile, textFile, daveFile).good)
            << peer->lastError();
        v = peer->verifyInline(clearFile, daveFile);
        EXPECT_TRUE(v.good) << peer->lastError();
        v = peer->decrypt(sealedFile, fixturePath("keys/dave.sec"), daveFile);
        EXPECT_TRUE(v.good) << peer->lastError();
        // The text arrives as text: each program gives it back with this system's line ends,
        // or with the standard's CR LF.
        std::string lf;
        for (char c : v.output)
            if (c != '\r')
                lf += c;
        EXPECT_EQ(text, lf);
    }
}

TEST_F(Peers, CamelliaGoesBothWaysAndAnUnknownCipherSaysSo) {
    ZAFKeyDBObjRef dave = s_keys->key(4);
    const std::string plain = "under a Camellia\n";
    for (int cipher : {11, 12, 13}) {
        SCOPED_TRACE(cipher);
        std::string msg = encode(plain, [&](Params& p) {
            ASSERT_EQ(0, ZAFAddMessageRecipient(p, dave));
            ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_Cipher, cipher));
        });
        Params own(s_keys->ctx(), s_keys->db());
        Decoded d = decode(s_keys->ctx(), own, msg);
        EXPECT_EQ(0, d.rc);
        EXPECT_EQ(plain, d.output);
        EXPECT_EQ(cipher, d.info.cipher);
        const std::string file = s_dir->file("camellia.msg");
        writeAll(file, msg);
        for (Peer* peer : s_peers->all()) {
            if (!peer->available())
                continue;
            SCOPED_TRACE(peer->name());
            Verdict v = peer->decrypt(file, fixturePath("keys/dave.sec"), "");
            EXPECT_EQ(plain, v.output) << peer->lastError();
        }
    }
    if (s_peers->gpg.available()) {
        for (const char* name : {"CAMELLIA128", "CAMELLIA192", "CAMELLIA256"}) {
            SCOPED_TRACE(name);
            std::string msg = s_peers->gpg.encrypt(plain, "dave@example.org", name);
            ASSERT_FALSE(msg.empty()) << s_peers->gpg.lastError();
            Params own(s_keys->ctx(), s_keys->db());
            Decoded d = decode(s_keys->ctx(), own, msg);
            EXPECT_EQ(0, d.rc);
            EXPECT_EQ(plain, d.output);
        }
    }
    // A cipher number nobody has, behind a passphrase and behind a key: its own error and text.
    std::string unknown = packetOf(3, std::string("\x04\x63\x00\x08", 4)) +
                          packetOf(18, "\x01" + std::string(40, 'x'));
    Params withPassphrase(s_keys->ctx(), s_keys->db());
    ASSERT_EQ(0, ZAFSetMessagePassphrase(withPassphrase, "x", 1));
    EXPECT_EQ(kZAFError_UnsupportedCipher, decode(s_keys->ctx(), withPassphrase, unknown).rc);
    const zaf::Key& daveKey = *dave->key;
    const ZAFKeyDBObj& daveEnc = daveKey.objs[zaf::msg::encryptionObject(daveKey, 0)];
    zaf::msg::SessionKey strange;
    strange.algorithm = 99;
    strange.key.assign(32, 0x42);
    std::string sealedStrange = packetOf(1, zaf::msg::makePKESK(daveKey.packetBody(daveEnc.packet),
                                                                daveEnc.keyID, strange)) +
                                packetOf(18, "\x01" + std::string(60, 'y'));
    Params own(s_keys->ctx(), s_keys->db());
    EXPECT_EQ(kZAFError_UnsupportedCipher, decode(s_keys->ctx(), own, sealedStrange).rc);
    char text[128] = {};
    ASSERT_EQ(0, ZAFGetErrorString(kZAFError_UnsupportedCipher, sizeof text, text));
    EXPECT_STREQ("unsupported symmetric cipher", text);
    Params setter(s_keys->ctx(), s_keys->db());
    EXPECT_EQ(kZAFError_UnsupportedCipher,
              ZAFSetMessageOption(setter, kZAFMessageOption_Cipher, 99));
}

TEST_F(Peers, KeysWeGenerateWorkInEachOfThem) {
    struct Kind {
        const char* name;
        int32_t algorithm;
        uint32_t bits;
    };
    const Kind kinds[] = {
        {"Ed25519", 22, 255}, {"P-256", 19, 256}, {"P-384", 19, 384}, {"P-521", 19, 521}};
    const std::string plain = "for a key made here\n";
    for (const Kind& kind : kinds) {
        SCOPED_TRACE(kind.name);
        const std::string userID = std::string("Made ") + kind.name + " <made@example.org>";
        ZAFContextRef ctx = s_keys->ctx();
        ZAFKeyDBRef db = nullptr;
        ASSERT_EQ(0, ZAFNewKeyDB(ctx, &db));
        ZAFKeyDBObjRef key = nullptr, sub = nullptr;
        ASSERT_EQ(0, ZAFGenerateKey(ctx, &key, ZAFOKeyDB(ctx, db),
                                    ZAFOKeyGenParams(ctx, kind.algorithm, kind.bits, 0),
                                    ZAFOUserID(ctx, userID.c_str()), ZAFOPassphrase(ctx, ""),
                                    ZAFOLastOption()));
        ASSERT_EQ(0, ZAFGenerateSubKey(ctx, &sub, ZAFOMasterKey(ctx, key),
                                       ZAFOKeyGenParams(ctx, 18, kind.bits, 0),
                                       ZAFOPassphrase(ctx, ""), ZAFOLastOption()));
        key = byUserID(db, userID);
        ASSERT_NE(nullptr, key);
        ZAFKeySetRef one = nullptr;
        ASSERT_EQ(0, ZAFNewSingletonKeySet(key, &one));
        const std::string secret = exportSet(ctx, one, false, true);
        const std::string cert = exportSet(ctx, one, false, false);
        ZAFFreeKeySet(one);
        const std::string secretFile = s_dir->file(std::string("ours-") + kind.name + ".key");
        const std::string certFile = s_dir->file(std::string("ours-") + kind.name + ".cert");
        writeAll(secretFile, secret);
        writeAll(certFile, cert);

        // Signed and encrypted to itself: each program opens it and checks the signature.
        Params p(ctx, db);
        ASSERT_EQ(0, ZAFAddMessageSigner(p, key));
        ASSERT_EQ(0, ZAFAddMessageRecipient(p, key));
        ZAFError rc = 0;
        const std::string sealed = msgtest::encode(ctx, p, plain, &rc);
        ASSERT_EQ(0, rc);
        Decoded own = decode(ctx, p, sealed);
        EXPECT_EQ(0, own.rc);
        EXPECT_EQ(plain, own.output);
        const std::string sealedFile = s_dir->file("ours-sealed.msg");
        writeAll(sealedFile, sealed);
        for (Peer* peer : s_peers->all()) {
            if (!peer->available())
                continue;
            SCOPED_TRACE(peer->name());
            peer->import(secretFile);
            Verdict v = peer->decrypt(sealedFile, secretFile, certFile);
            EXPECT_TRUE(v.good) << peer->lastError();
            EXPECT_EQ(plain, v.output) << peer->lastError();
            // And what they encrypt to it, we open.
            const std::string theirs = peer->encryptTo(plain, certFile, userID);
            ASSERT_FALSE(theirs.empty()) << peer->lastError();
            Decoded d = decode(ctx, p, theirs);
            EXPECT_EQ(0, d.rc);
            EXPECT_EQ(plain, d.output);
        }
        ZAFFreeKeyDB(db);
    }
}
