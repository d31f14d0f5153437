// keyobjects tests: keys, subkeys, user IDs, photo IDs, signatures and fingerprints, on keys
// generated small into temporary key rings and on rings built with unusual packets.
#include "key_fixture.h"
#include "key_packets.h"

#include <oozaf/time.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <fstream>
#include <set>

using namespace oozaf;

namespace {

using KeyObjectsTest = CKeyFixture;

struct SPacket {
    int tag;
    std::string body;
};

// Splits binary RFC 4880 packets (old or new headers, no partial lengths).
std::vector<SPacket> splitPackets(const std::string& bytes) {
    std::vector<SPacket> out;
    size_t pos = 0;
    auto byte = [&](size_t at) { return static_cast<unsigned char>(bytes.at(at)); };
    while (pos < bytes.size()) {
        const unsigned char head = byte(pos++);
        size_t length = 0;
        int tag = 0;
        if (head & 0x40) {
            tag = head & 0x3F;
            const unsigned char first = byte(pos++);
            if (first < 192) {
                length = first;
            } else if (first < 224) {
                length = ((first - 192u) << 8) + byte(pos++) + 192u;
            } else {
                EXPECT_EQ(255, first);
                length = (size_t(byte(pos)) << 24) | (size_t(byte(pos + 1)) << 16) |
                         (size_t(byte(pos + 2)) << 8) | byte(pos + 3);
                pos += 4;
            }
        } else {
            tag = (head >> 2) & 0x0F;
            const int lengthBytes = 1 << (head & 3);
            for (int i = 0; i < lengthBytes; ++i)
                length = (length << 8) | byte(pos++);
        }
        out.push_back(SPacket{tag, bytes.substr(pos, length)});
        pos += length;
    }
    return out;
}

// One packet with a new-format header (one or two length bytes).
std::string packet(int tag, const std::string& body) {
    std::string out(1, static_cast<char>(0xC0 | tag));
    if (body.size() < 192) {
        out.push_back(static_cast<char>(body.size()));
    } else {
        EXPECT_LT(body.size(), 8384u);
        const size_t rest = body.size() - 192;
        out.push_back(static_cast<char>(192 + (rest >> 8)));
        out.push_back(static_cast<char>(rest & 0xFF));
    }
    return out + body;
}

std::string join(const std::vector<std::string>& parts) {
    std::string out;
    for (const std::string& p : parts)
        out += p;
    return out;
}

const std::string kJpeg("\xFF\xD8\xFF\xE0 a tiny picture \xFF\xD9", 20);

} // namespace

TEST_F(KeyObjectsTest, KeySizesAndAlgorithmsFollowTheKeyType) {
    uint16_t min = 0, max = 0;
    CZAFKey::getAllowedKeySize(oozaf::kZAFPublicKeyAlgorithm_RSA, 3, min, max);
    EXPECT_EQ(1024, min);
    EXPECT_EQ(2048, max);
    CZAFKey::getAllowedKeySize(oozaf::kZAFPublicKeyAlgorithm_RSASignOnly, 4, min, max);
    EXPECT_EQ(1024, min);
    EXPECT_EQ(4096, max);
    EXPECT_TRUE(expectThrow<CZAFInternalError>(
        [&] { CZAFKey::getAllowedKeySize(oozaf::kZAFPublicKeyAlgorithm_DSA, 4, min, max); }));

    // The DSS master key keeps its size whatever the encryption subkey is given.
    ZAFPublicKeyAlgorithm enc, sig;
    int32_t version = -1;
    unsigned int encSize = 0, sigSize = 0;
    CZAFKey::getSigEncAlgFromKeyType(eKeyTypeDHDSS, 2048, enc, version, sig, encSize, sigSize);
    EXPECT_EQ(oozaf::kZAFPublicKeyAlgorithm_ElGamal, enc);
    EXPECT_EQ(oozaf::kZAFPublicKeyAlgorithm_DSA, sig);
    EXPECT_EQ(0, version);
    EXPECT_EQ(std::make_pair(2048u, 1024u), std::make_pair(encSize, sigSize));
    CZAFKey::getSigEncAlgFromKeyType(eKeyTypeRSALegacy, 2048, enc, version, sig, encSize, sigSize);
    EXPECT_EQ(3, version);
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] {
        CZAFKey::getSigEncAlgFromKeyType(static_cast<eKeyType>(5), 1024, enc, version, sig, encSize,
                                         sigSize);
    }));
    EXPECT_EQ(0u, encSize); // outputs are reset before the check
}

TEST_F(KeyObjectsTest, PreferredCipherMovesToTheFront) {
    using V = std::vector<int32_t>;
    EXPECT_EQ((V{9, 2, 3, 7, 8, 1, 10, 4}),
              CZAFKey::getPreferredCipherList(oozaf::kZAFCipherAlgorithm_AES256));
    EXPECT_EQ((V{4, 2, 3, 7, 8, 9, 10, 1}),
              CZAFKey::getPreferredCipherList(oozaf::kZAFCipherAlgorithm_Blowfish));
    EXPECT_EQ((V{1, 2, 3, 7, 8, 9, 10, 4}),
              CZAFKey::getPreferredCipherList(static_cast<ZAFCipherAlgorithm>(5)));

    openEmpty();
    for (int32_t cipher : {9, 4, 5}) {
        std::unique_ptr<CZAFKey> key(CZAFKey::generateKey(
            *m_context, *m_keyDB, "Cipher " + std::to_string(cipher) + " <c@example.org>", "",
            eKeyTypeRSA, static_cast<ZAFCipherAlgorithm>(cipher), 1024, false, nullptr, false, 0,
            true));
        EXPECT_EQ(cipher == 5 ? 1 : cipher, key->getCipher());
    }
}

TEST_F(KeyObjectsTest, GeneratesRSAKeysWithAnEncryptionSubkey) {
    openEmpty();
    std::unique_ptr<CZAFKey> key = generate("Alice <alice@example.org>");
    auto* rsa = dynamic_cast<CZAFRSAKey*>(key.get());
    ASSERT_NE(nullptr, rsa);
    EXPECT_EQ(oozaf::kZAFKeyVersion_V4, rsa->getVersion());
    EXPECT_EQ(oozaf::kZAFPublicKeyAlgorithm_RSA, key->getAlg());
    EXPECT_EQ(1024, key->getSize());
    EXPECT_TRUE(key->isSecret());
    EXPECT_FALSE(key->isRevoked());
    EXPECT_TRUE(key->isRevocable());
    EXPECT_TRUE(key->getExpirationTime().isNever());
    EXPECT_EQ(20u, key->getFingerprint().size());
    EXPECT_EQ("Alice <alice@example.org>", key->getPrimaryUserIDName());
    EXPECT_EQ(10u, key->getKeyIDString_Short().size());
    EXPECT_EQ(18u, key->getKeyIDString_Long().size());
    EXPECT_EQ(key->getKeyIDString_Short().substr(2), key->getKeyIDString_Long().substr(10));

    const CZAFTime start = CZAFTime::now();
    std::unique_ptr<CZAFSubKey> sub(key->generateSubkey(
        *m_context, oozaf::kZAFPublicKeyAlgorithm_RSA, 1024, start, 2, true, ""));
    EXPECT_EQ(1024, sub->getSize());
    EXPECT_EQ(start.getZAFTime(), sub->getCreationTime().getZAFTime());
    EXPECT_EQ(start.getZAFTime() + 2 * 86400u, sub->getExpirationTime().getZAFTime());
    EXPECT_NE(key->getKeyIDString_Long(), sub->getSubkeyIDString_Long());

    std::unique_ptr<CZAFKey> current = reload(*key);
    auto subkeys = objects<CZAFSubKey>(current.get(), kZAFKeyDBObjType_SubKey);
    ASSERT_EQ(1u, subkeys.size());
    EXPECT_EQ(sub->getSubkeyIDString_Short(), subkeys[0]->getSubkeyIDString_Short());
    EXPECT_TRUE(current->canEncrypt());
}

TEST_F(KeyObjectsTest, GeneratesDSSKeysAndRefusesBadSubkeyRequests) {
    openEmpty();
    std::unique_ptr<CZAFKey> dss = generate("Dora <dora@example.org>", eKeyTypeDHDSS);
    EXPECT_EQ(nullptr, dynamic_cast<CZAFRSAKey*>(dss.get()));
    EXPECT_EQ(oozaf::kZAFPublicKeyAlgorithm_DSA, dss->getAlg());
    EXPECT_EQ(1024, dss->getSize());
    EXPECT_FALSE(dss->canEncrypt());
    std::unique_ptr<CZAFSubKey> elgamal(dss->generateSubkey(
        *m_context, oozaf::kZAFPublicKeyAlgorithm_ElGamal, 1024, CZAFTime::now(), 0, true, ""));
    EXPECT_EQ(1024, elgamal->getSize());
    EXPECT_TRUE(reload(*dss)->canEncrypt());

    // RSA subkeys only under version 4 RSA keys; a start that is never is refused.
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] {
        delete dss->generateSubkey(*m_context, oozaf::kZAFPublicKeyAlgorithm_RSA, 1024,
                                   CZAFTime::now(), 0, true, "");
    }));
    std::unique_ptr<CZAFKey> legacy = generate("Lee <lee@example.org>", eKeyTypeRSALegacy);
    ASSERT_NE(nullptr, dynamic_cast<CZAFRSAKey*>(legacy.get()));
    EXPECT_EQ(oozaf::kZAFKeyVersion_V3, static_cast<CZAFRSAKey*>(legacy.get())->getVersion());
    EXPECT_EQ(16u, legacy->getFingerprint().size());
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] {
        delete legacy->generateSubkey(*m_context, oozaf::kZAFPublicKeyAlgorithm_RSA, 1024,
                                      CZAFTime::now(), 0, true, "");
    }));
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] {
        delete dss->generateSubkey(*m_context, oozaf::kZAFPublicKeyAlgorithm_ElGamal, 1024,
                                   CZAFTime(), 0, true, "");
    }));
    // A wrong passphrase reaches the caller as the toolkit's code.
    std::unique_ptr<CZAFKey> locked = generate("Pat <pat@example.org>", eKeyTypeRSA, "pw");
    auto e = expectThrow<CZAFSDKException>([&] {
        delete locked->generateSubkey(*m_context, oozaf::kZAFPublicKeyAlgorithm_RSA, 1024,
                                      CZAFTime::now(), 0, true, "wrong");
    });
    ASSERT_TRUE(e);
    EXPECT_EQ(kZAFError_BadPassphrase, e->getCode());
}

TEST_F(KeyObjectsTest, ExpirationDaysCountFromCreation) {
    openEmpty();
    std::unique_ptr<CZAFKey> key = generate("Eve <eve@example.org>", eKeyTypeRSA, "", 3);
    EXPECT_EQ(key->getCreationTime().getZAFTime() + 3 * 86400u,
              key->getExpirationTime().getZAFTime());
    EXPECT_FALSE(key->isExpired());
    EXPECT_EQ(0, key->getExpirationTime().getMilliseconds());
}

TEST_F(KeyObjectsTest, AdditionalDecryptionKeysAndRevokersAreListed) {
    openEmpty();
    std::unique_ptr<CZAFKey> adk = generate("ADK <adk@example.org>");
    delete adk->generateSubkey(*m_context, oozaf::kZAFPublicKeyAlgorithm_RSA, 1024, CZAFTime::now(),
                               0, true, "");
    adk = reload(*adk);
    std::unique_ptr<CZAFKeySet> adkSet(adk->getNewOneKeySet());
    ASSERT_EQ(1u, adkSet->count());
    std::unique_ptr<CZAFKey> key(CZAFKey::generateKey(
        *m_context, *m_keyDB, "Bob <bob@example.org>", "", eKeyTypeRSA,
        oozaf::kZAFCipherAlgorithm_AES128, 1024, true, adkSet.get(), true, 0, true));
    EXPECT_EQ(std::vector<std::string>{adk->getKeyIDString_Short()}, key->getADKs());
    EXPECT_TRUE(key->getRevokers().empty());

    std::unique_ptr<CZAFKey> revoker = generate("Rita <rita@example.org>");
    ASSERT_EQ(0, ZAFAddRevocationKey(key->getHandle(), revoker->getHandle(),
                                     ZAFOPassphrase(m_context->getHandle(), ""), ZAFOLastOption()));
    key = reload(*key);
    const std::vector<std::string> want{revoker->getKeyIDString_Short()};
    EXPECT_EQ(want, key->getRevokers());

    // A designated revoker revokes a key it does not hold the secret of.
    key->revoke(*m_context, revoker.get(), "");
    EXPECT_TRUE(reload(*key)->isRevoked());

    // Without the revoker in the database, the stored key ID gives the same text.
    CZAFKey* gone = revoker.release();
    m_keyDB->removeKey(gone);
    EXPECT_EQ(want, reload(*key)->getRevokers());
}

TEST_F(KeyObjectsTest, RevocationChecksThePassphraseFirst) {
    openEmpty();
    std::unique_ptr<CZAFKey> key = generate("Ruth <ruth@example.org>", eKeyTypeRSA, "right");
    auto e = expectThrow<CZAFSDKException>([&] { key->revoke(*m_context, key.get(), "wrong"); });
    ASSERT_TRUE(e);
    EXPECT_EQ(kZAFError_BadPassphrase, e->getCode());
    EXPECT_FALSE(reload(*key)->isRevoked());
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] { key->revoke(*m_context, nullptr, "right"); }));

    key->revoke(*m_context, key.get(), "right");
    std::unique_ptr<CZAFKey> revoked = reload(*key);
    EXPECT_TRUE(revoked->isRevoked());
    EXPECT_TRUE(revoked->sameAs(key.get()));
}

TEST_F(KeyObjectsTest, AddsAndRemovesUserIDsOfTheRightKey) {
    openEmpty();
    std::unique_ptr<CZAFKey> key = generate("Uma <uma@example.org>", eKeyTypeRSA, "pw");
    std::unique_ptr<CZAFKey> other = generate("Otto <otto@example.org>");
    ZAFContextRef c = m_context->getHandle();

    auto e = expectThrow<CZAFSDKException>(
        [&] { key->addUserID(*m_context, "Uma Two <uma2@example.org>", ZAFOPassphrase(c, "x")); });
    ASSERT_TRUE(e);
    EXPECT_EQ(kZAFError_BadPassphrase, e->getCode());
    key->addUserID(*m_context, "Uma Two <uma2@example.org>", ZAFOPassphrase(c, "pw"));
    key = reload(*key);
    auto uids = objects<CZAFUserID>(key.get(), kZAFKeyDBObjType_UserID);
    ASSERT_EQ(2u, uids.size());
    EXPECT_EQ("Uma Two <uma2@example.org>", uids[1]->getName());
    EXPECT_EQ("Uma <uma@example.org>", key->getPrimaryUserIDName());
    std::unique_ptr<CZAFUserID> primary(key->getPrimaryUserID());
    EXPECT_EQ("Uma <uma@example.org>", primary->getName());

    // Another key's user ID is never removed through this key.
    auto others = objects<CZAFUserID>(other.get(), kZAFKeyDBObjType_UserID);
    CZAFUserID* foreign = others[0].get();
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] { key->removeUserID(foreign); }));
    EXPECT_EQ(others[0].get(), foreign);
    EXPECT_EQ(1u, objects<CZAFUserID>(reload(*other).get(), kZAFKeyDBObjType_UserID).size());

    CZAFUserID* second = uids[1].release();
    key->removeUserID(second);
    EXPECT_EQ(nullptr, second);
    auto left = objects<CZAFUserID>(reload(*key).get(), kZAFKeyDBObjType_UserID);
    ASSERT_EQ(1u, left.size());
    EXPECT_EQ("Uma <uma@example.org>", left[0]->getName());
    CZAFUserID* none = nullptr;
    EXPECT_TRUE(expectThrow<CZAFInternalError>([&] { key->removeUserID(none); }));
}

TEST_F(KeyObjectsTest, CertifiesWithTypeDepthAndRegularExpression) {
    openEmpty();
    std::unique_ptr<CZAFKey> signer = generate("Sam <sam@example.org>");
    std::unique_ptr<CZAFKey> target = generate("Tia <tia@example.org>");

    struct SCase {
        eSigType type;
        unsigned int depth;
        const char* regexp;
        bool exportable;
    } cases[] = {{eSigTypeLocal, 0, "", false},
                 {eSigTypeExportable, 0, "", true},
                 {eSigTypeMeta, 2, "", false},
                 {eSigTypeIntroducer, 1, "<[^>]+[@.]example\\.org>$", true}};
    for (const SCase& c : cases) {
        std::unique_ptr<CZAFKey> current = reload(*target);
        std::unique_ptr<CZAFUserID> uid(current->getPrimaryUserID());
        uid->certify(m_context.get(), signer.get(), "", c.regexp, c.type, c.depth, 0);

        current = reload(*target);
        std::unique_ptr<CZAFIterator> iter(m_keyDB->getIterator());
        iter->seek(current.get());
        CZAFDatabaseObject* object = nullptr;
        ASSERT_EQ(0, iter->next(kZAFKeyDBObjType_UserID, object));
        delete object;
        std::unique_ptr<CZAFSignature> last;
        while (iter->next(kZAFKeyDBObjType_Signature, object) == 0)
            last.reset(static_cast<CZAFSignature*>(object));
        ASSERT_TRUE(last);
        EXPECT_EQ(signer->getKeyIDString_Short(), last->getSignerID(false));
        EXPECT_EQ(signer->getKeyIDString_Long(), last->getSignerID(true));
        EXPECT_EQ(static_cast<int32_t>(c.depth), last->getTrustDepth()) << c.type;
        EXPECT_EQ(c.exportable, CZAFDatabaseObject::getBooleanProperty(
                                    last->getHandle(), kZAFSigProperty_IsExportable))
            << c.type;
        EXPECT_EQ(oozaf::kZAFPublicKeyAlgorithm_RSA, last->getAlg());
        EXPECT_TRUE(last->getExpirationTime().isNever());
        char regexp[64] = {};
        size_t size = 0;
        ZAFError err = ZAFGetKeyDBObjDataProperty(
            last->getHandle(), kZAFSigProperty_RegularExpression, regexp, sizeof regexp, &size);
        if (*c.regexp)
            EXPECT_EQ(c.regexp, std::string(regexp, size));
        else
            EXPECT_TRUE(err != 0 || size == 0);
    }
    std::unique_ptr<CZAFUserID> uid(reload(*target)->getPrimaryUserID());
    EXPECT_TRUE(expectThrow<CZAFInternalError>(
        [&] { uid->certify(nullptr, signer.get(), "", "", eSigTypeExportable, 0, 0); }));
}

TEST_F(KeyObjectsTest, SelfSignaturesNameTheirOwnKey) {
    CZAFKeyDB& db = openBench1k();
    std::unique_ptr<CZAFKeySet> set(db.getMatchingKeySet("Bench User 00013 ", 0, nullptr, nullptr));
    std::unique_ptr<CZAFKey> key(db.getKeyByID(ids(*set)[0]));
    auto uids = objects<CZAFUserID>(key.get(), kZAFKeyDBObjType_UserID);
    ASSERT_EQ(1u, uids.size());
    std::unique_ptr<CZAFIterator> iter(db.getIterator());
    iter->seek(uids[0].get());
    CZAFDatabaseObject* object = nullptr;
    ASSERT_EQ(0, iter->next(kZAFKeyDBObjType_Signature, object));
    std::unique_ptr<CZAFDatabaseObject> sig(object);
    auto* signature = dynamic_cast<CZAFSignature*>(object);
    ASSERT_NE(nullptr, signature);
    EXPECT_EQ(nullptr, dynamic_cast<CZAFX509Signature*>(object));
    EXPECT_EQ(key->getKeyIDString_Long(), signature->getSignerID(true));
    EXPECT_EQ(key->getCreationTime().getZAFTime(), signature->getCreationTime().getZAFTime());
    // Key 13 is a DSA key made on the first day of 2024.
    EXPECT_EQ(oozaf::kZAFPublicKeyAlgorithm_DSA, signature->getAlg());
    EXPECT_EQ("2024-01-01", key->getCreationTime().formatYMD(false));
    EXPECT_EQ(2048, key->getSize());
}

TEST_F(KeyObjectsTest, PhotoIDsGiveTheirImage) {
    openEmpty();
    std::unique_ptr<CZAFKey> key = generate("Pia <pia@example.org>");
    EXPECT_EQ(nullptr, key->getPhotoID());
    ASSERT_EQ(0, ZAFAddPhotoID(key->getHandle(), kJpeg.data(), kJpeg.size(),
                               ZAFOPassphrase(m_context->getHandle(), ""), ZAFOLastOption()));
    key = reload(*key);
    std::unique_ptr<CZAFUserID> photo(key->getPhotoID());
    ASSERT_NE(nullptr, photo);
    EXPECT_EQ(oozaf::kZAFAttribute_Image, photo->getType());
    EXPECT_EQ("photograph", photo->getName());
    EXPECT_EQ(CZAFKey::kPhotoHeaderSize + kJpeg.size(), photo->getData().size());
    std::string image;
    ASSERT_TRUE(photo->getPhotoImage(image));
    EXPECT_EQ(kJpeg, image);
    // The plain user ID is no photo.
    std::unique_ptr<CZAFUserID> primary(key->getPrimaryUserID());
    EXPECT_FALSE(primary->getPhotoImage(image));
    EXPECT_EQ(kJpeg, image);

    // The complete export carries the photo, the compatible one leaves it out.
    for (auto format : {oozaf::kZAFExportFormat_Complete, oozaf::kZAFExportFormat_Compatible}) {
        const std::string path = m_dir.file("photo.pkr");
        key->exportToFile(*m_context, path, false, false, format);
        bool hasPhoto = false;
        for (const SPacket& p : splitPackets(readFile(path)))
            hasPhoto = hasPhoto || p.tag == 17;
        EXPECT_EQ(format == oozaf::kZAFExportFormat_Complete, hasPhoto);
    }
}

TEST_F(KeyObjectsTest, UnusualPacketsReadWithoutDefects) {
    openEmpty();
    std::unique_ptr<CZAFKey> key = generate("Ned <ned@example.org>");
    const std::string exported = m_dir.file("ned.pkr");
    key->exportToFile(*m_context, exported, false, false, oozaf::kZAFExportFormat_Complete);
    const std::vector<SPacket> packets = splitPackets(readFile(exported));
    ASSERT_GE(packets.size(), 3u);
    ASSERT_EQ(6, packets[0].tag);
    const std::string primary = packet(6, packets[0].body);
    std::string rest;
    for (size_t i = 1; i < packets.size(); ++i)
        rest += packet(packets[i].tag, packets[i].body);

    // A photo too short to hold the image header, and an empty user ID, both self-signed.
    const std::string photoBody("\x06\x01\x10\x00\x01\x01\x00", 7);
    const uint32_t now = uint32_t(std::time(nullptr));
    const std::string signedOdd =
        packet(17, photoBody) +
        packet(2,
               keypackets::sign(key->getHandle(), "", 0x13, packets[0].body, 17, photoBody, now)) +
        packet(13, "") +
        packet(2, keypackets::sign(key->getHandle(), "", 0x13, packets[0].body, 13, "", now));
    std::ofstream(m_dir.file("odd.pkr"), std::ios::binary) << primary + rest + signedOdd;
    std::ofstream(m_dir.file("odd.skr"), std::ios::binary).flush();
    CZAFKeyDB odd(*m_context, kZAFOpenKeyDBFileOptions_None, m_dir.file("odd.pkr"),
                  m_dir.file("odd.skr"));
    std::unique_ptr<CZAFKey> oddKey(odd.getKeyByID(key->getKeyIDString_Short()));
    std::unique_ptr<CZAFUserID> photo(oddKey->getPhotoID());
    ASSERT_NE(nullptr, photo);
    EXPECT_EQ(5u, photo->getData().size());
    std::string image = "untouched";
    EXPECT_FALSE(photo->getPhotoImage(image));
    EXPECT_EQ("untouched", image);
    std::vector<std::string> names;
    {
        std::unique_ptr<CZAFIterator> iter(odd.getIterator());
        iter->seek(oddKey.get());
        CZAFDatabaseObject* object = nullptr;
        while (iter->next(kZAFKeyDBObjType_UserID, object) == 0) {
            std::unique_ptr<CZAFDatabaseObject> owned(object);
            names.push_back(static_cast<CZAFUserID*>(object)->getName());
        }
    }
    EXPECT_EQ((std::vector<std::string>{"Ned <ned@example.org>", "photograph", ""}), names);

    // A key with no user ID at all has no primary user ID name.
    std::ofstream(m_dir.file("bare.pkr"), std::ios::binary) << primary;
    CZAFKeyDB bare(*m_context, kZAFOpenKeyDBFileOptions_None, m_dir.file("bare.pkr"),
                   m_dir.file("odd.skr"));
    std::unique_ptr<CZAFKey> bareKey(bare.getKeyByID(key->getKeyIDString_Short()));
    EXPECT_EQ("", bareKey->getPrimaryUserIDName());
    EXPECT_TRUE(expectThrow<CZAFSDKException>([&] { delete bareKey->getPrimaryUserID(); }));
    EXPECT_EQ(nullptr, bareKey->getPhotoID());
    EXPECT_TRUE(expectThrow<CZAFPropertyAccessError>([&] { bareKey->getCipher(); }));
}

TEST_F(KeyObjectsTest, FormatsFingerprintsAsHexOrWords) {
    openEmpty();
    std::unique_ptr<CZAFKey> key = generate("Finn <finn@example.org>");
    const std::string fingerprint = key->getFingerprint();
    std::vector<std::string> hex{"stale"};
    CZAFKey::formatFingerprint(fingerprint, eFingerprintViewHex, hex);
    ASSERT_EQ(20u, hex.size());
    for (size_t i = 0; i < hex.size(); ++i)
        EXPECT_EQ(std::stoul(hex[i], nullptr, 16), static_cast<unsigned char>(fingerprint[i]));
    const std::string joined = join(hex);
    EXPECT_TRUE(std::all_of(joined.begin(), joined.end(), [](char ch) {
        return std::isdigit(static_cast<unsigned char>(ch)) || (ch >= 'A' && ch <= 'F');
    }));
    EXPECT_EQ(key->getKeyIDString_Long().substr(2), joined.substr(24));

    std::vector<std::string> words;
    CZAFKey::formatFingerprint(std::string("\x00\x00\xFF\xFF\x01", 5), eFingerprintViewWords,
                               words);
    EXPECT_EQ(
        (std::vector<std::string>{gHashWordListEven[0], gHashWordListOdd[0], gHashWordListEven[255],
                                  gHashWordListOdd[255], gHashWordListEven[1]}),
        words);
    CZAFKey::formatFingerprint("", eFingerprintViewHex, words);
    EXPECT_TRUE(words.empty());

    EXPECT_TRUE(expectThrow<CZAFInternalError>(
        [&] { CZAFKey::formatFingerprint(fingerprint, static_cast<eFingerprintView>(3), words); }));
    EXPECT_NE(std::string::npos,
              logText().find("INTERNAL ERROR: Unknown value for eFingerprintView: 3"));
}

TEST(FingerprintWords, ListsAreDistinctShortAndPronounceable) {
    std::set<std::string> all;
    for (int i = 0; i < 256; ++i) {
        for (const char* w : {gHashWordListEven[i], gHashWordListOdd[i]}) {
            ASSERT_NE(nullptr, w);
            const std::string word(w);
            EXPECT_TRUE(all.insert(word).second) << "repeated: " << word;
            EXPECT_GE(word.size(), 4u);
            EXPECT_TRUE(std::all_of(word.begin(), word.end(), [](char ch) {
                return ch >= 'a' && ch <= 'z';
            })) << word;
            EXPECT_NE(std::string::npos, word.find_first_of("aeiou")) << word;
        }
        EXPECT_LE(std::string(gHashWordListEven[i]).size(), 10u);
        EXPECT_LE(std::string(gHashWordListOdd[i]).size(), 12u);
    }
    EXPECT_EQ(512u, all.size());
}
