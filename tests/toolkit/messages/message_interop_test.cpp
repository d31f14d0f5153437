// Our messages read by a second, independent decoder (message_reference_decoder.py, written on
// Python's cryptography package): encryption to every kind of key and with every cipher we
// write, passphrases, every kind of signature, compression, armour and partial lengths.
#include "keys/keyedit_internal.h"
#include "message_test_util.h"
#include "packets/packets.h"

#include <botan/auto_rng.h>
#include <botan/ec_group.h>
#include <botan/ecdh.h>
#include <botan/ecdsa.h>
#include <botan/hash.h>
#include <botan/hex.h>
#include <botan/pubkey.h>

#include <cstdio>
#include <sstream>

using namespace msgtest;

namespace {

// ---- keys on the NIST curves, built here (our key generator makes RSA and DSA keys) ----

struct EcKeySpec {
    const char* curve;
    std::string oid; // as a key packet stores it
    uint8_t kdfHash, kekCipher;
};

std::string mpiOf(const std::vector<uint8_t>& bytes) {
    std::string out;
    zaf::edit::appendMpi(out, bytes.data(), bytes.size());
    return out;
}

std::string secretPart(const std::string& publicBody, const Botan::BigInt& scalar) {
    std::string mpi = mpiOf(Botan::BigInt::encode(scalar));
    uint32_t sum = 0;
    for (char c : mpi)
        sum += uint8_t(c);
    return publicBody + '\0' + mpi + char((sum >> 8) & 0xFF) + char(sum & 0xFF);
}

// A transferable secret key: ECDSA primary with one user ID, ECDH encryption subkey, both
// unprotected, signed as the key store expects.
std::string makeEcKey(const EcKeySpec& spec, const std::string& userID) {
    Botan::AutoSeeded_RNG rng;
    Botan::EC_Group group(spec.curve);
    Botan::ECDSA_PrivateKey primary(rng, group);
    Botan::ECDH_PrivateKey sub(rng, group);
    const uint32_t created = 1700000000;
    auto keyBody = [&](uint8_t alg, const std::vector<uint8_t>& point, bool kdf) {
        std::string b(1, char(4));
        for (int s = 24; s >= 0; s -= 8)
            b.push_back(char((created >> s) & 0xFF));
        b.push_back(char(alg));
        b.push_back(char(spec.oid.size()));
        b += spec.oid;
        b += mpiOf(point);
        if (kdf)
            b += std::string{3, 1, char(spec.kdfHash), char(spec.kekCipher)};
        return b;
    };
    std::string primaryBody =
        keyBody(19, primary.public_point().encode(Botan::PointGFp::UNCOMPRESSED), false);
    std::string subBody =
        keyBody(18, sub.public_point().encode(Botan::PointGFp::UNCOMPRESSED), true);
    zaf::rfc4880::KeyInfo info;
    EXPECT_TRUE(zaf::rfc4880::parseKeyPacket(primaryBody, info));
    zaf::edit::Signer signer;
    signer.algorithm = 19;
    std::memcpy(signer.keyID, info.keyID, 8);
    std::memcpy(signer.fingerprint, info.fingerprint, 20);
    signer.fingerprintLength = 20;
    signer.sign = [&primary, &rng](uint8_t, const std::vector<uint8_t>& digest, std::string& mpis) {
        Botan::PK_Signer s(primary, rng, "Raw");
        std::vector<uint8_t> sig = s.sign_message(digest, rng);
        size_t half = sig.size() / 2;
        mpis += mpiOf(std::vector<uint8_t>(sig.begin(), sig.begin() + long(half)));
        mpis += mpiOf(std::vector<uint8_t>(sig.begin() + long(half), sig.end()));
        return kZAFError_NoErr;
    };
    std::string selfHashed, bindHashed, selfSig, bindSig;
    zaf::rfc4880::appendSubpacket(selfHashed, 27, std::string(1, char(0x03)));
    zaf::rfc4880::appendSubpacket(selfHashed, 11, std::string{9, 8, 7});
    zaf::rfc4880::appendSubpacket(selfHashed, 21, std::string{10, 8});
    zaf::rfc4880::appendSubpacket(bindHashed, 27, std::string(1, char(0x0C)));
    EXPECT_EQ(0, zaf::edit::writeSignatureV4({primaryBody, zaf::rfc4880::kTagUserID, userID}, 0x13,
                                             created, selfHashed, "", signer, selfSig));
    EXPECT_EQ(0, zaf::edit::writeSignatureV4({primaryBody, zaf::rfc4880::kTagPublicSubkey, subBody},
                                             0x18, created, bindHashed, "", signer, bindSig));
    std::string out;
    zaf::rfc4880::writePacket(out, zaf::rfc4880::kTagSecretKey,
                              secretPart(primaryBody, primary.private_value()));
    zaf::rfc4880::writePacket(out, zaf::rfc4880::kTagUserID, userID);
    out += selfSig;
    zaf::rfc4880::writePacket(out, zaf::rfc4880::kTagSecretSubkey,
                              secretPart(subBody, sub.private_value()));
    out += bindSig;
    return out;
}

const EcKeySpec kCurves[] = {
    {"secp256r1", std::string("\x2A\x86\x48\xCE\x3D\x03\x01\x07", 8), 8, 7},
    {"secp384r1", std::string("\x2B\x81\x04\x00\x22", 5), 9, 8},
    {"secp521r1", std::string("\x2B\x81\x04\x00\x23", 5), 10, 9},
};

// ---- the second decoder ----

using Report = std::map<std::string, std::string>;

struct Job {
    std::string message; // the bytes we wrote
    std::vector<std::string> fields;
};

// Runs the decoder once over all jobs; one report per job.
std::vector<Report> readWithReference(const TempDir& dir, const std::vector<Job>& jobs) {
    std::string list;
    for (size_t i = 0; i < jobs.size(); ++i) {
        std::string path = dir.file("job" + std::to_string(i) + ".msg");
        writeAll(path, jobs[i].message);
        list += path;
        for (const std::string& f : jobs[i].fields)
            list += "\t" + f;
        list += "\n";
    }
    writeAll(dir.file("jobs.txt"), list);
    std::string command = std::string(ORX_PYTHON3) + " " + ORX_TEST_DATA_DIR +
                          "/../toolkit/messages/message_reference_decoder.py --jobs " +
                          dir.file("jobs.txt") + " 2>&1";
    std::vector<Report> reports;
    FILE* p = ::popen(command.c_str(), "r");
    EXPECT_NE(nullptr, p) << command;
    if (p == nullptr)
        return reports;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    EXPECT_EQ(0, ::pclose(p)) << out;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        Report r;
        std::istringstream fields(line);
        std::string f;
        while (std::getline(fields, f, '\t')) {
            size_t eq = f.find('=');
            if (eq != std::string::npos)
                r[f.substr(0, eq)] = f.substr(eq + 1);
        }
        reports.push_back(r);
    }
    EXPECT_EQ(jobs.size(), reports.size()) << out;
    reports.resize(jobs.size());
    return reports;
}

std::string sha256Hex(const std::string& data) {
    auto h = Botan::HashFunction::create("SHA-256");
    h->update(data);
    return Botan::hex_encode(h->final(), false);
}

std::string randomBytes(size_t n, uint32_t seed) {
    std::string out(n, '\0');
    uint32_t x = seed;
    for (char& c : out) {
        x = x * 1664525u + 1013904223u;
        c = char(x >> 24);
    }
    return out;
}

// Key ID text (16 upper-case hex digits) of the encryption subkey or primary of a key.
std::string idOf(ZAFKeyDBObjRef obj) {
    return keyIDHex([&] {
               ZAFKeyID id;
               ZAFGetKeyID(obj, &id);
               return id;
           }())
        .substr(2);
}

ZAFKeyDBObjRef subkeyOf(ZAFKeyDBObjRef key) {
    for (ZAFKeyDBObj& o : key->key->objs)
        if (o.type == kZAFKeyDBObjType_SubKey)
            return &o;
    return nullptr;
}

class Interop : public testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        s_keys = new Keys({1, 2, 3, 4});
        std::string all;
        for (size_t i = 0; i < 3; ++i) {
            std::string key = makeEcKey(kCurves[i], std::string("EC ") + kCurves[i].curve + " <ec" +
                                                        std::to_string(i) + "@example.org>");
            writeAll(s_dir->file("ec" + std::to_string(i) + ".sec"), key);
            all += key;
        }
        ZAFKeyDBRef ec = importBytes(s_keys->ctx(), all);
        ASSERT_NE(nullptr, ec);
        ASSERT_EQ(0, ZAFCopyKeys(ZAFPeekKeyDBRootKeySet(ec), s_keys->db(), nullptr));
        ZAFFreeKeyDB(ec);
    }
    static void TearDownTestSuite() {
        delete s_keys;
        delete s_dir;
    }
    // Key 1..4 of the fixtures, 5..7 the P-256, P-384 and P-521 keys.
    static ZAFKeyDBObjRef key(int n) {
        if (n <= 4)
            return s_keys->key(n);
        ZAFKeyID id;
        std::string path = s_dir->file("ec" + std::to_string(n - 5) + ".sec");
        zaf::rfc4880::KeyInfo info;
        std::string bytes = readAll(path);
        zaf::rfc4880::RawPacket rp;
        std::string scratch;
        zaf::rfc4880::readPacket(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), 0,
                                 rp, scratch);
        zaf::rfc4880::parseKeyPacket(rp.body, info);
        ZAFNewKeyID(info.keyID, 8, 19, &id);
        ZAFKeyDBObjRef k = nullptr;
        ZAFFindKeyByKeyID(s_keys->db(), &id, &k);
        return k;
    }
    // The decoder's "key=" field holding the secret of key n.
    static std::string secretField(int n) {
        if (n <= 4)
            return "key=" + fixturePath("keys/" + fixtureKeyNames()[size_t(n - 1)] + ".sec") + ":" +
                   fixturePassphrase(n);
        return "key=" + s_dir->file("ec" + std::to_string(n - 5) + ".sec") + ":";
    }
    static std::string publicField(int n) {
        if (n <= 4)
            return "key=" + fixturePath("keys/" + fixtureKeyNames()[size_t(n - 1)] + ".pub");
        return "key=" + s_dir->file("ec" + std::to_string(n - 5) + ".sec");
    }
    // Encodes with fresh parameters set up by `setup`.
    template <class F> static std::string make(const std::string& plain, F&& setup) {
        Params p(s_keys->ctx(), s_keys->db());
        Answers answers = s_keys->answers();
        ZAFSetMessagePassphraseCallback(p, answer, &answers);
        setup(p.get());
        return encode(s_keys->ctx(), p, plain);
    }
    static TempDir* s_dir;
    static Keys* s_keys;
};

TempDir* Interop::s_dir = nullptr;
Keys* Interop::s_keys = nullptr;

TEST_F(Interop, EncryptionToEveryKindOfKeyOpensWithThatKey) {
    // RSA-3072, ElGamal, Curve25519, RSA-2048, P-256, P-384, P-521.
    std::string plain = randomBytes(70000, 1); // more than one partial chunk
    std::vector<Job> jobs;
    for (int n = 1; n <= 7; ++n) {
        std::string msg = make(plain, [&](ZAFMessageParamsRef p) {
            ASSERT_EQ(0, ZAFAddMessageRecipient(p, key(n)));
            ASSERT_EQ(0, ZAFSetMessageLiteral(p, 'b', "data.bin", 8, 1234567890));
        });
        jobs.push_back({msg, {secretField(n)}});
    }
    std::vector<Report> r = readWithReference(*s_dir, jobs);
    for (int n = 1; n <= 7; ++n) {
        SCOPED_TRACE("key " + std::to_string(n));
        Report& rep = r[size_t(n - 1)];
        EXPECT_EQ("", rep["error"]);
        EXPECT_EQ("good", rep["mdc"]);
        EXPECT_EQ(idOf(subkeyOf(key(n))), rep["opened_by"]);
        EXPECT_EQ(sha256Hex(plain), rep["sha256"]);
        EXPECT_EQ("data.bin", rep["literal_name"]);
        EXPECT_EQ("1234567890", rep["literal_date"]);
        EXPECT_EQ("b", rep["literal_mode"]);
        EXPECT_EQ("1@0,18@0,11@1", rep["packets"]);
        EXPECT_NE("0", rep["partial"]);
    }
}

TEST_F(Interop, EveryCipherAndPassphrasesOpen) {
    std::string plain = "a short secret\n";
    std::vector<Job> jobs;
    const int ciphers[] = {7, 8, 9, 2, 3, 4};
    for (int c : ciphers) {
        std::string msg = make(plain, [&](ZAFMessageParamsRef p) {
            ASSERT_EQ(0, ZAFAddMessageRecipient(p, key(4)));
            ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_Cipher, c));
        });
        jobs.push_back({msg, {secretField(4)}});
    }
    // The passphrase alone, and beside a recipient (the decoder gets only the passphrase).
    jobs.push_back({make(plain,
                         [](ZAFMessageParamsRef p) {
                             ASSERT_EQ(0, ZAFSetMessagePassphrase(p, "correct horse", 13));
                         }),
                    {"passphrase=correct horse"}});
    jobs.push_back({make(plain,
                         [](ZAFMessageParamsRef p) {
                             ASSERT_EQ(0, ZAFSetMessagePassphrase(p, "correct horse", 13));
                             ASSERT_EQ(0, ZAFAddMessageRecipient(p, key(1)));
                         }),
                    {"passphrase=correct horse"}});
    std::vector<Report> r = readWithReference(*s_dir, jobs);
    for (size_t i = 0; i < jobs.size(); ++i) {
        SCOPED_TRACE("job " + std::to_string(i));
        EXPECT_EQ("", r[i]["error"]);
        EXPECT_EQ("good", r[i]["mdc"]);
        EXPECT_EQ(sha256Hex(plain), r[i]["sha256"]);
        if (i < 6) {
            EXPECT_EQ(std::to_string(ciphers[i]), r[i]["cipher"]);
        }
    }
    EXPECT_EQ("passphrase", r[6]["opened_by"]);
    EXPECT_EQ("3", r[6]["s2k_type"]);
    EXPECT_EQ("8", r[6]["s2k_hash"]);
    EXPECT_EQ("3@0,18@0,11@1", r[6]["packets"]);
    EXPECT_EQ("passphrase", r[7]["opened_by"]);
    EXPECT_EQ("1@0,3@0,18@0,11@1", r[7]["packets"]);
}

TEST_F(Interop, SignaturesOfEveryKindVerify) {
    std::string text = "- a dash\nFrom the start\ntrailing blanks   \t\r\nlast line";
    std::vector<Job> jobs;
    // One-pass signatures by RSA, DSA, EdDSA and ECDSA keys, binary and text.
    const int signers[] = {1, 2, 3, 5};
    for (int n : signers)
        for (int mode : {'b', 't'}) {
            std::string msg = make(text, [&](ZAFMessageParamsRef p) {
                ASSERT_EQ(0, ZAFAddMessageSigner(p, key(n)));
                ASSERT_EQ(0, ZAFSetMessageLiteral(p, mode, nullptr, 0, 0));
            });
            jobs.push_back({msg, {publicField(n)}});
        }
    // Two signers, compressed and armoured.
    jobs.push_back({make(text,
                         [&](ZAFMessageParamsRef p) {
                             ASSERT_EQ(0, ZAFAddMessageSigner(p, key(3)));
                             ASSERT_EQ(0, ZAFAddMessageSigner(p, key(1)));
                             ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_Compression, 2));
                             ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_Armor, 1));
                         }),
                    {publicField(1), publicField(3)}});
    // Detached, binary and text; cleartext.
    std::string dataPath = s_dir->file("signed.txt");
    writeAll(dataPath, text);
    for (int textSig : {0, 1})
        jobs.push_back(
            {make(text,
                  [&](ZAFMessageParamsRef p) {
                      ASSERT_EQ(0, ZAFAddMessageSigner(p, key(2)));
                      ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_Detached, 1));
                      ASSERT_EQ(0,
                                ZAFSetMessageOption(p, kZAFMessageOption_TextSignature, textSig));
                  }),
             {publicField(2), "signed=" + dataPath}});
    jobs.push_back({make(text,
                         [&](ZAFMessageParamsRef p) {
                             ASSERT_EQ(0, ZAFAddMessageSigner(p, key(1)));
                             ASSERT_EQ(0, ZAFAddMessageSigner(p, key(6)));
                             ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_ClearSign, 1));
                         }),
                    {publicField(1), publicField(6)}});
    // Signed, then encrypted in the same pass.
    jobs.push_back({make(text,
                         [&](ZAFMessageParamsRef p) {
                             ASSERT_EQ(0, ZAFAddMessageSigner(p, key(2)));
                             ASSERT_EQ(0, ZAFAddMessageRecipient(p, key(3)));
                             ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_Compression, 2));
                         }),
                    {publicField(2), secretField(3)}});
    std::vector<Report> r = readWithReference(*s_dir, jobs);
    size_t j = 0;
    for (int n : signers)
        for (int mode : {'b', 't'}) {
            SCOPED_TRACE("signer " + std::to_string(n) + " mode " + char(mode));
            Report& rep = r[j++];
            EXPECT_EQ("", rep["error"]);
            EXPECT_EQ("1", rep["signatures"]);
            std::string type = mode == 't' ? "1" : "0";
            EXPECT_EQ("good," + idOf(key(n)) + "," + type + ",8," +
                          std::to_string(key(n)->key->algorithm) + ",4,2+33",
                      rep["sig0"]);
            EXPECT_EQ(type + ",8," + std::to_string(key(n)->key->algorithm) + "," + idOf(key(n)) +
                          ",1",
                      rep["ops0"]);
            // Text is stored with every line ending CR LF, as its signature hashes it.
            EXPECT_EQ(sha256Hex(mode == 't' ? "- a dash\r\nFrom the start\r\ntrailing blanks   "
                                              "\t\r\nlast line"
                                            : text),
                      rep["sha256"]);
            EXPECT_EQ(std::string(1, char(mode)), rep["literal_mode"]);
            EXPECT_EQ("4@0,11@0,2@0", rep["packets"]);
        }
    {
        SCOPED_TRACE("two signers");
        Report& rep = r[j++];
        EXPECT_EQ("", rep["error"]);
        EXPECT_EQ("ZAF MESSAGE", rep["armour_label"]);
        EXPECT_EQ("2", rep["compression"]);
        // Headers in signer order, the first one not "nested"; signatures in reverse.
        EXPECT_EQ("0,8,22," + idOf(key(3)) + ",0", rep["ops0"]);
        EXPECT_EQ("0,8,1," + idOf(key(1)) + ",1", rep["ops1"]);
        EXPECT_EQ(0u, rep["sig0"].find("good," + idOf(key(1))));
        EXPECT_EQ(0u, rep["sig1"].find("good," + idOf(key(3))));
        EXPECT_EQ("8@0,4@1,4@1,11@1,2@1,2@1", rep["packets"]);
    }
    for (int textSig : {0, 1}) {
        SCOPED_TRACE("detached " + std::to_string(textSig));
        Report& rep = r[j++];
        EXPECT_EQ("", rep["error"]);
        EXPECT_EQ("True", rep["detached"]);
        EXPECT_EQ("2@0", rep["packets"]);
        EXPECT_EQ(0u, rep["sig0"].find("good," + idOf(key(2)) + "," + std::to_string(textSig)));
    }
    {
        SCOPED_TRACE("cleartext");
        Report& rep = r[j++];
        EXPECT_EQ("", rep["error"]);
        EXPECT_EQ("True", rep["cleartext"]);
        EXPECT_EQ("ZAF SIGNED MESSAGE", rep["armour_label"]);
        // The P-384 key needs SHA-384, so both signatures use it.
        EXPECT_EQ(0u, rep["sig0"].find("good," + idOf(key(1)) + ",1,9"));
        EXPECT_EQ(0u, rep["sig1"].find("good," + idOf(key(6)) + ",1,9"));
        // The text comes back with its line endings; the last line gains one.
        EXPECT_EQ(sha256Hex(text + "\n"), rep["sha256"]);
    }
    {
        SCOPED_TRACE("signed and encrypted");
        Report& rep = r[j++];
        EXPECT_EQ("", rep["error"]);
        EXPECT_EQ("good", rep["mdc"]);
        EXPECT_EQ("1@0,18@0,8@1,4@2,11@2,2@2", rep["packets"]);
        EXPECT_EQ(0u, rep["sig0"].find("good," + idOf(key(2))));
        EXPECT_EQ(sha256Hex(text), rep["sha256"]);
    }
}

TEST_F(Interop, LargeArmouredSignedAndEncryptedMessage) {
    // Several megabytes: many partial chunks, the hashes on their second thread.
    std::string plain = randomBytes(5u << 20, 7);
    std::vector<Job> jobs;
    jobs.push_back({make(plain,
                         [&](ZAFMessageParamsRef p) {
                             ASSERT_EQ(0, ZAFAddMessageSigner(p, key(4)));
                             ASSERT_EQ(0, ZAFAddMessageRecipient(p, key(7)));
                             ASSERT_EQ(0, ZAFSetMessageOption(p, kZAFMessageOption_Armor, 1));
                         }),
                    {publicField(4), secretField(7)}});
    std::vector<Report> r = readWithReference(*s_dir, jobs);
    EXPECT_EQ("", r[0]["error"]);
    EXPECT_EQ("good", r[0]["mdc"]);
    EXPECT_EQ(sha256Hex(plain), r[0]["sha256"]);
    EXPECT_EQ(0u, r[0]["sig0"].find("good," + idOf(key(4))));
    EXPECT_EQ("1@0,18@0,4@1,11@1,2@1", r[0]["packets"]);
}

} // namespace
