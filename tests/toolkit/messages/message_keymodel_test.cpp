// The subkeys messages use are the ones the key model counts: a recipient's encryption subkey,
// a signing subkey and the subkey a signature names all need their verified binding (signing
// also the verified back signature). The keys are made with our own toolkit and then edited
// packet by packet.
#include "key_packets.h"
#include "keygen_test_util.h"
#include "message_test_util.h"

using namespace msgtest;
using keypackets::Packet;
using keypackets::sign;
using keypackets::subpacket;
using kgtest::children;
using kgtest::dataProperty;
using kgtest::exportKey;
using kgtest::generateKey;
using kgtest::generateSubKey;

namespace {

constexpr uint32_t kT0 = 1700000000; // creation times of the crafted bindings

class MessageKeyModel : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, ZAFNewKeyDB(ctx.get(), &db)); }
    void TearDown() override {
        for (ZAFKeyDBRef d : opened)
            ZAFFreeKeyDB(d);
        ZAFFreeKeyDB(db);
    }

    // A new RSA key with an RSA subkey in the in-memory database (no passphrase).
    ZAFKeyDBObjRef make(const char* name) {
        ZAFKeyDBObjRef k = generateKey(ctx.get(), db, name, "");
        EXPECT_NE(nullptr, generateSubKey(ctx.get(), k, ""));
        return kgtest::current(db, k);
    }
    std::vector<Packet> publicPackets(ZAFKeyDBObjRef key) {
        return keypackets::split(exportKey(ctx.get(), key, false));
    }
    // A public ring file holding `packets` as another program wrote it, opened; its first key.
    ZAFKeyDBObjRef ring(const std::vector<Packet>& packets) {
        std::string name = "ring" + std::to_string(opened.size());
        writeAll(dir.file(name + ".pkr"), keypackets::join(packets));
        ZAFKeyDBRef d = nullptr;
        EXPECT_EQ(0, openDB(ctx.get(), dir.file(name + ".pkr"), dir.file(name + ".skr"), &d));
        if (d == nullptr)
            return nullptr;
        opened.push_back(d);
        return d->keys.empty() ? nullptr : &d->keys[0]->objs[0];
    }
    static ZAFKeyID subkeyID(ZAFKeyDBObjRef key) {
        ZAFKeyID id{};
        EXPECT_EQ(0, ZAFGetKeyID(children(key, kZAFKeyDBObjType_SubKey).at(0), &id));
        return id;
    }
    // The key IDs an encryption to `key` (in its own database) names.
    std::vector<std::string> recipientsOf(ZAFKeyDBObjRef key) {
        Params p(ctx.get(), key->key->owner);
        EXPECT_EQ(0, ZAFAddMessageRecipient(p, key));
        Decoded made;
        encode(ctx.get(), p, "to the key", nullptr, &made);
        std::vector<std::string> out;
        for (const ZAFMessageRecipient& r : made.recipients)
            out.push_back(keyIDHex(r.keyID));
        return out;
    }

    Context ctx;
    TempDir dir;
    ZAFKeyDBRef db = nullptr;
    std::vector<ZAFKeyDBRef> opened;
};

} // namespace

TEST_F(MessageKeyModel, AnUnverifiedSubkeyIsNeverEncryptedTo) {
    ZAFKeyDBObjRef alice = make("Alice <alice@example.org>");
    ZAFKeyDBObjRef mallory = make("Mallory <mallory@example.org>");
    std::vector<Packet> a = publicPackets(alice), m = publicPackets(mallory);
    ASSERT_EQ(5u, a.size()); // key, user ID, self-signature, subkey, binding
    ASSERT_EQ(14, m[3].tag);
    std::string aliceSub = keyIDHex(subkeyID(alice)), mallorySub = keyIDHex(subkeyID(mallory));

    // Mallory's subkey stands last under Alice's key (so it is the newest one), with Alice's
    // binding of her own subkey or with Mallory's binding: neither binds it to this key.
    for (const Packet& binding : {a[4], m[4]}) {
        ZAFKeyDBObjRef key = ring({a[0], a[1], a[2], a[3], a[4], m[3], binding});
        ASSERT_NE(nullptr, key);
        EXPECT_EQ(std::vector<std::string>{aliceSub}, recipientsOf(key));
        // Named by its own key ID it is not found either.
        Params p(ctx.get(), key->key->owner);
        ZAFKeyID id = subkeyID(mallory);
        EXPECT_EQ(kZAFError_ItemNotFound, ZAFAddMessageRecipientKeyID(p, &id));
        EXPECT_EQ(0, ZAFAddMessageRecipientUserID(p, "alice@"));
        Decoded made;
        encode(ctx.get(), p, "x", nullptr, &made);
        ASSERT_EQ(1u, made.recipients.size());
        EXPECT_EQ(aliceSub, keyIDHex(made.recipients[0].keyID));
    }
    // As Alice's only subkey it is not used either, and her primary key is flagged to certify
    // and sign only: her key cannot receive.
    ZAFKeyDBObjRef lone = ring({a[0], a[1], a[2], m[3], m[4]});
    ASSERT_NE(nullptr, lone);
    {
        Params p(ctx.get(), lone->key->owner);
        EXPECT_EQ(kZAFError_KeyCannotEncrypt, ZAFAddMessageRecipient(p, lone));
    }

    // Bound by Alice herself, for encryption, it counts and, being the newest, is chosen.
    std::string bind = sign(alice, "", 0x18, a[0].body, 14, m[3].body, uint32_t(time(nullptr)),
                            subpacket(27, "\x0C"));
    ZAFKeyDBObjRef bound = ring({a[0], a[1], a[2], a[3], a[4], m[3], {2, bind}});
    ASSERT_NE(nullptr, bound);
    EXPECT_EQ(std::vector<std::string>{mallorySub}, recipientsOf(bound));
    // A binding that grants signing only (without a back signature, so the subkey counts for
    // nothing at all) does not make it a recipient.
    std::string signOnly = sign(alice, "", 0x18, a[0].body, 14, m[3].body, uint32_t(time(nullptr)),
                                subpacket(27, "\x02"));
    ZAFKeyDBObjRef signer = ring({a[0], a[1], a[2], a[3], a[4], m[3], {2, signOnly}});
    ASSERT_NE(nullptr, signer);
    EXPECT_EQ(std::vector<std::string>{aliceSub}, recipientsOf(signer));
    // With its back signature it counts, for signing only: still not a recipient, neither
    // chosen as the newest subkey nor when named.
    ZAFKeyDBObjRef msub = children(mallory, kZAFKeyDBObjType_SubKey).at(0);
    std::string back = sign(msub, "", 0x19, a[0].body, 14, m[3].body, uint32_t(time(nullptr)));
    std::string signing = sign(alice, "", 0x18, a[0].body, 14, m[3].body, uint32_t(time(nullptr)),
                               subpacket(27, "\x02") + subpacket(32, back));
    ZAFKeyDBObjRef signs = ring({a[0], a[1], a[2], a[3], a[4], m[3], {2, signing}});
    ASSERT_NE(nullptr, signs);
    ASSERT_EQ(2u, children(signs, kZAFKeyDBObjType_SubKey).size());
    EXPECT_EQ(std::vector<std::string>{aliceSub}, recipientsOf(signs));
    Params q(ctx.get(), signs->key->owner);
    EXPECT_EQ(kZAFError_KeyCannotEncrypt,
              ZAFAddMessageRecipient(q, children(signs, kZAFKeyDBObjType_SubKey)[1]));
}

TEST_F(MessageKeyModel, ASubkeySignsOnlyWithItsVerifiedBackSignature) {
    ZAFKeyDBObjRef alice = make("Alice <alice@example.org>");
    ZAFKeyDBObjRef holder = make("Holder <holder@example.org>");
    std::vector<Packet> a = publicPackets(alice), h = publicPackets(holder);
    ZAFKeyDBObjRef sub = children(holder, kZAFKeyDBObjType_SubKey).at(0);
    auto bound = [&](uint8_t flags, bool back) {
        std::string hashed = subpacket(27, std::string(1, char(flags)));
        if (back)
            hashed += subpacket(32, sign(sub, "", 0x19, a[0].body, 14, h[3].body, kT0));
        return sign(alice, "", 0x18, a[0].body, 14, h[3].body, kT0, hashed);
    };
    std::string data = "signed by a subkey";
    std::string sig = craftSignature(sub, data, uint32_t(time(nullptr)), "");
    auto check = [&](ZAFKeyDBObjRef key) {
        Params p(ctx.get(), key->key->owner);
        return decode(ctx.get(), p, sig, &data);
    };

    // The holder's subkey under Alice's key, bound for signing and encryption but without a back
    // signature: it may receive, but a signature it made does not speak for Alice.
    ZAFKeyDBObjRef noBack = ring({a[0], a[1], a[2], h[3], {2, bound(0x0E, false)}});
    ASSERT_NE(nullptr, noBack);
    ZAFKeyDBObjRef subHere = children(noBack, kZAFKeyDBObjType_SubKey).at(0);
    Decoded d = check(noBack);
    EXPECT_EQ(0, d.rc);
    ASSERT_EQ(1u, d.signatures.size());
    EXPECT_EQ(kZAFSigStatus_KeyNotHeld, d.signatures[0].status);
    EXPECT_EQ(0u, d.signatures[0].fingerprintLength);
    Params p(ctx.get(), noBack->key->owner);
    EXPECT_EQ(kZAFError_UnsupportedAlg, ZAFAddMessageSigner(p, subHere));

    // With the back signature the same signature is good and names Alice's key; as a signer the
    // subkey passes the usage check (and then lacks its secret part in this ring).
    ZAFKeyDBObjRef withBack = ring({a[0], a[1], a[2], h[3], {2, bound(0x02, true)}});
    ASSERT_NE(nullptr, withBack);
    d = check(withBack);
    EXPECT_EQ(0, d.rc);
    ASSERT_EQ(1u, d.signatures.size());
    EXPECT_EQ(kZAFSigStatus_Good, d.signatures[0].status);
    EXPECT_EQ(dataProperty(alice, kZAFKeyProperty_Fingerprint),
              std::string(reinterpret_cast<const char*>(d.signatures[0].fingerprint),
                          d.signatures[0].fingerprintLength));
    Params q(ctx.get(), withBack->key->owner);
    EXPECT_EQ(kZAFError_NoSecretKey,
              ZAFAddMessageSigner(q, children(withBack, kZAFKeyDBObjType_SubKey).at(0)));

    // The holder's own binding grants its RSA subkey encryption only: it may not sign there.
    Params r(ctx.get(), db);
    EXPECT_EQ(kZAFError_UnsupportedAlg, ZAFAddMessageSigner(r, sub));
}

TEST_F(MessageKeyModel, ThePrimaryKeyReceivesAsItsKeyFlagsSay) {
    // Made for certifying and signing only, with no subkey: nothing may be encrypted to it.
    ZAFKeyDBObjRef signOnly = nullptr;
    ASSERT_EQ(0, ZAFGenerateKey(ctx.get(), &signOnly, ZAFOKeyDB(ctx.get(), db),
                                ZAFOKeyGenParams(ctx.get(), kZAFPublicKeyAlgorithm_RSA, 1024, 0),
                                ZAFOUserID(ctx.get(), "Signer <signer@example.org>"),
                                ZAFOKeyFlags(ctx.get(), 0x03), ZAFOPassphrase(ctx.get(), ""),
                                ZAFOLastOption()));
    {
        Params p(ctx.get(), db);
        EXPECT_EQ(kZAFError_KeyCannotEncrypt, ZAFAddMessageRecipient(p, signOnly));
    }

    // Flagged for everything, with a subkey that only signs: the primary key receives.
    ZAFKeyDBObjRef both = nullptr;
    ASSERT_EQ(0, ZAFGenerateKey(ctx.get(), &both, ZAFOKeyDB(ctx.get(), db),
                                ZAFOKeyGenParams(ctx.get(), kZAFPublicKeyAlgorithm_RSA, 1024, 0),
                                ZAFOUserID(ctx.get(), "Both <both@example.org>"),
                                ZAFOKeyFlags(ctx.get(), 0x0F), ZAFOPassphrase(ctx.get(), ""),
                                ZAFOLastOption()));
    ZAFKeyDBObjRef signingSub = nullptr;
    ASSERT_EQ(0, ZAFGenerateSubKey(ctx.get(), &signingSub, ZAFOMasterKey(ctx.get(), both),
                                   ZAFOKeyGenParams(ctx.get(), kZAFPublicKeyAlgorithm_RSA, 1024, 0),
                                   ZAFOKeyFlags(ctx.get(), 0x02), ZAFOPassphrase(ctx.get(), ""),
                                   ZAFOLastOption()));
    both = kgtest::current(db, both);
    ZAFKeyID id{};
    ASSERT_EQ(0, ZAFGetKeyID(both, &id));
    EXPECT_EQ(std::vector<std::string>{keyIDHex(id)}, recipientsOf(both));
}
