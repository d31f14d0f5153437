// ring_builder: builds small key rings with the toolkit for listener tests: RSA keys of both
// versions, DSA keys with ElGamal subkeys, photo IDs, designated revokers, additional decryption
// keys, certifications and revocations; and, written packet by packet, keys the toolkit would not
// make itself (an expired key created long ago, a key of an algorithm without a name).
//
// Uses the toolkit in local mode in the test process; keys are unprotected and small.
#ifndef ORX_INTEGRATION_RING_BUILDER_H
#define ORX_INTEGRATION_RING_BUILDER_H

#include <zaf/zaf.h>
#include <zaf/zafcontext.h>
#include <zaf/zafcrypto.h>
#include <zaf/zafkeyedit.h>
#include <zaf/zafkeys.h>

#include <cstdint>
#include <fstream>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

namespace orxtest {

class CRingBuilder {
public:
    // Opens (creating them) the rings "pubring.pkr" and "secring.skr" in `directory`.
    explicit CRingBuilder(const std::string& directory) : m_dir(directory) {
        check(ZAFsdkInit(kZAFFlags_LocalMode), "ZAFsdkInit");
        check(ZAFNewContext(&m_context), "ZAFNewContext");
        ZAFFileSpecRef pub = nullptr;
        ZAFFileSpecRef sec = nullptr;
        check(ZAFNewFileSpecFromFullPath(m_context, pubring().c_str(), &pub), "file spec");
        check(ZAFNewFileSpecFromFullPath(m_context, secring().c_str(), &sec), "file spec");
        const ZAFError rc = ZAFOpenKeyDBFile(
            m_context, kZAFOpenKeyDBFileOptions_Mutable | kZAFOpenKeyDBFileOptions_Create, pub, sec,
            &m_db);
        ZAFFreeFileSpec(pub);
        ZAFFreeFileSpec(sec);
        check(rc, "ZAFOpenKeyDBFile");
    }
    ~CRingBuilder() {
        if (m_db != nullptr)
            ZAFFreeKeyDB(m_db);
        if (m_context != nullptr)
            ZAFFreeContext(m_context);
        ZAFsdkCleanup();
    }
    CRingBuilder(const CRingBuilder&) = delete;
    CRingBuilder& operator=(const CRingBuilder&) = delete;

    std::string pubring() const { return m_dir + "/pubring.pkr"; }
    std::string secring() const { return m_dir + "/secring.skr"; }
    ZAFContextRef context() const { return m_context; }

    // A new key pair; returns its key ID. `subkeyAlgorithm` 0 means no subkey.
    ZAFKeyID generate(const std::string& userID, int32_t algorithm, uint32_t bits,
                      int32_t version = kZAFKeyVersion_Default, int32_t subkeyAlgorithm = 0,
                      uint32_t subkeyBits = 0) {
        ZAFKeyDBObjRef key = nullptr;
        check(ZAFGenerateKey(m_context, &key, ZAFOKeyDB(m_context, m_db),
                             ZAFOKeyGenParams(m_context, algorithm, bits, version),
                             ZAFOUserID(m_context, userID.c_str()), ZAFOPassphrase(m_context, ""),
                             ZAFOFastGeneration(m_context, 1), ZAFOLastOption()),
              "ZAFGenerateKey");
        ZAFKeyID id{};
        check(ZAFGetKeyID(key, &id), "ZAFGetKeyID");
        if (subkeyAlgorithm != 0) {
            ZAFKeyDBObjRef subkey = nullptr;
            check(ZAFGenerateSubKey(m_context, &subkey, ZAFOMasterKey(m_context, key),
                                    ZAFOKeyGenParams(m_context, subkeyAlgorithm, subkeyBits,
                                                     kZAFKeyVersion_Current),
                                    ZAFOPassphrase(m_context, ""), ZAFOFastGeneration(m_context, 1),
                                    ZAFOLastOption()),
                  "ZAFGenerateSubKey");
        }
        return id;
    }

    // The current version of a key (every edit makes a new one).
    ZAFKeyDBObjRef key(const ZAFKeyID& id) const {
        ZAFKeyDBObjRef out = nullptr;
        check(ZAFFindKeyByKeyID(m_db, &id, &out), "ZAFFindKeyByKeyID");
        return out;
    }

    void addPhoto(const ZAFKeyID& id, const std::string& jpeg) {
        check(ZAFAddPhotoID(key(id), jpeg.data(), jpeg.size(), ZAFOPassphrase(m_context, ""),
                            ZAFOLastOption()),
              "ZAFAddPhotoID");
    }
    void addRevoker(const ZAFKeyID& id, const ZAFKeyID& revoker) {
        check(ZAFAddRevocationKey(key(id), key(revoker), ZAFOPassphrase(m_context, ""),
                                  ZAFOLastOption()),
              "ZAFAddRevocationKey");
    }
    void addADK(const ZAFKeyID& id, const ZAFKeyID& adk) {
        check(ZAFAddAdditionalDecryptionKey(key(id), key(adk), kZAFADKClass_Request,
                                            ZAFOPassphrase(m_context, ""), ZAFOLastOption()),
              "ZAFAddAdditionalDecryptionKey");
    }
    void revoke(const ZAFKeyID& id) {
        check(ZAFRevoke(key(id), nullptr, ZAFOPassphrase(m_context, ""), ZAFOLastOption()),
              "ZAFRevoke");
    }
    // Certifies the primary user ID of `id` with `signer`.
    void certify(const ZAFKeyID& id, const ZAFKeyID& signer) {
        ZAFKeyDBObjRef userID = nullptr;
        check(ZAFGetPrimaryUserID(key(id), &userID), "ZAFGetPrimaryUserID");
        check(
            ZAFCertifyUserID(userID, key(signer), ZAFOPassphrase(m_context, ""), ZAFOLastOption()),
            "ZAFCertifyUserID");
    }
    void flush() { check(ZAFFlushKeyDB(m_db), "ZAFFlushKeyDB"); }

    // A version 4 RSA key with one user ID, created at `created` and expiring `lifetime`
    // seconds later, self-signed with the secret of the (scratch) key `id`; only its public
    // packets, for appending to a public ring.
    std::string expiredKey(const ZAFKeyID& id, const std::string& userID, uint32_t created,
                           uint32_t lifetime) {
        std::string body = publicKeyBody(key(id));
        put32(body, 1, created);
        std::string hashed = subpacket(2, be32(created)) + subpacket(9, be32(lifetime));
        return transferable(body, userID, 0x01, hashed,
                            signWith(key(id), body, userID, 0x01, hashed));
    }

    // A version 4 key of an algorithm the name tables do not know, with a user ID and a
    // self-signature the toolkit keeps as it is.
    std::string unnamedAlgorithmKey(const std::string& userID, uint8_t algorithm) {
        std::string body;
        body += '\x04';
        body += be32(1700000000);
        body += static_cast<char>(algorithm);
        body += mpi(std::string(32, '\x5A'));
        const std::string hashed = subpacket(2, be32(1700000000));
        const std::string signature = std::string("\x12\x34", 2) + mpi(std::string(32, '\x33'));
        return transferable(body, userID, algorithm, hashed, signature);
    }

    void appendToPublicRing(const std::string& bytes) const {
        std::ofstream out(pubring(), std::ios::binary | std::ios::app);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out)
            throw std::runtime_error("cannot append to the public ring");
    }

    static std::string keyIDText(const ZAFKeyID& id, int32_t type = kZAFKeyIDString_Abbreviated) {
        char text[32] = {};
        ZAFGetKeyIDString(&id, type, text, sizeof text);
        return text;
    }

private:
    static void check(ZAFError rc, const char* what) {
        if (rc != kZAFError_NoErr)
            throw std::runtime_error(std::string(what) + " failed with " + std::to_string(rc));
    }

    static std::string be32(uint32_t value) {
        std::string out(4, '\0');
        for (int i = 0; i < 4; ++i)
            out[static_cast<size_t>(i)] = static_cast<char>(value >> (24 - 8 * i));
        return out;
    }
    static std::string be16(uint32_t value) {
        return std::string{static_cast<char>(value >> 8), static_cast<char>(value)};
    }
    static void put32(std::string& data, size_t at, uint32_t value) {
        data.replace(at, 4, be32(value));
    }
    static std::string subpacket(uint8_t type, const std::string& content) {
        return std::string(1, static_cast<char>(content.size() + 1)) +
               std::string(1, static_cast<char>(type)) + content;
    }
    static std::string mpi(const std::string& bytes) {
        size_t bits = bytes.size() * 8;
        for (unsigned char top = static_cast<unsigned char>(bytes[0]); (top & 0x80) == 0;
             top = static_cast<unsigned char>(top << 1))
            --bits;
        return be16(static_cast<uint32_t>(bits)) + bytes;
    }
    // A new-format packet header and the body.
    static std::string packet(uint8_t tag, const std::string& body) {
        std::string out(1, static_cast<char>(0xC0 | tag));
        const size_t n = body.size();
        if (n < 192) {
            out += static_cast<char>(n);
        } else if (n < 8384) {
            out += static_cast<char>(((n - 192) >> 8) + 192);
            out += static_cast<char>((n - 192) & 0xFF);
        } else {
            out += '\xFF';
            out += be32(static_cast<uint32_t>(n));
        }
        return out + body;
    }

    std::string hashOf(int32_t algorithm, const std::string& data) const {
        ZAFHashContextRef hash = nullptr;
        check(ZAFNewHashContext(m_context, algorithm, &hash), "ZAFNewHashContext");
        size_t size = 0;
        ZAFGetHashSize(algorithm, &size);
        std::string digest(size, '\0');
        ZAFContinueHash(hash, data.data(), data.size());
        const ZAFError rc = ZAFFinalizeHash(hash, &digest[0], digest.size());
        ZAFFreeHashContext(hash);
        check(rc, "ZAFFinalizeHash");
        return digest;
    }

    // The body of the key's public key packet, from a binary export of the key.
    std::string publicKeyBody(ZAFKeyDBObjRef object) const {
        ZAFKeySetRef set = nullptr;
        check(ZAFNewSingletonKeySet(object, &set), "ZAFNewSingletonKeySet");
        void* data = nullptr;
        size_t size = 0;
        const ZAFError rc = ZAFExport(m_context, ZAFOExportKeySet(m_context, set),
                                      ZAFOAllocatedOutputBuffer(m_context, &data, 0, &size),
                                      ZAFOArmorOutput(m_context, 0), ZAFOLastOption());
        ZAFFreeKeySet(set);
        check(rc, "ZAFExport");
        const std::string bytes(static_cast<const char*>(data), size);
        ZAFFreeData(data);
        // The first packet: old or new format header.
        const auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes.at(i)); };
        size_t length = 0;
        size_t start = 0;
        if ((byte(0) & 0x40) != 0) {
            if (byte(1) < 192) {
                length = byte(1);
                start = 2;
            } else if (byte(1) < 224) {
                length = ((byte(1) - 192u) << 8) + byte(2) + 192;
                start = 3;
            } else {
                length = (size_t(byte(2)) << 24) | (size_t(byte(3)) << 16) |
                         (size_t(byte(4)) << 8) | byte(5);
                start = 6;
            }
        } else {
            const size_t octets = (byte(0) & 3) == 0 ? 1 : (byte(0) & 3) == 1 ? 2 : 4;
            for (size_t i = 0; i < octets; ++i)
                length = (length << 8) | byte(1 + i);
            start = 1 + octets;
        }
        return bytes.substr(start, length);
    }

    // The hashed part of a version 4 positive certification (type 0x13) with SHA-256.
    static std::string signatureHead(uint8_t algorithm, const std::string& hashed) {
        return std::string{'\x04', '\x13', static_cast<char>(algorithm), '\x08'} +
               be16(static_cast<uint32_t>(hashed.size())) + hashed;
    }

    // Left 16 bits of the digest and the signature MPIs over key, user ID and signature head.
    std::string signWith(ZAFKeyDBObjRef signer, const std::string& body, const std::string& userID,
                         uint8_t algorithm, const std::string& hashed) const {
        const std::string head = signatureHead(algorithm, hashed);
        const std::string data = "\x99" + be16(static_cast<uint32_t>(body.size())) + body + "\xB4" +
                                 be32(static_cast<uint32_t>(userID.size())) + userID + head +
                                 "\x04\xFF" + be32(static_cast<uint32_t>(head.size()));
        const std::string digest = hashOf(kZAFHashAlgorithm_SHA256, data);
        ZAFPrivateKeyContextRef privateKey = nullptr;
        check(ZAFNewPrivateKeyContext(signer, "", 0, &privateKey), "ZAFNewPrivateKeyContext");
        std::string signature(1024, '\0');
        size_t size = 0;
        const ZAFError rc = ZAFPrivateKeySign(
            privateKey, kZAFHashAlgorithm_SHA256, reinterpret_cast<const uint8_t*>(digest.data()),
            digest.size(), reinterpret_cast<uint8_t*>(&signature[0]), signature.size(), &size);
        ZAFFreePrivateKeyContext(privateKey);
        check(rc, "ZAFPrivateKeySign");
        signature.resize(size);
        return digest.substr(0, 2) + signature;
    }

    // Key packet, user ID packet and self-signature (issuer from the key's fingerprint).
    std::string transferable(const std::string& body, const std::string& userID, uint8_t algorithm,
                             const std::string& hashed, const std::string& signature) const {
        const std::string fingerprint = hashOf(
            kZAFHashAlgorithm_SHA1, "\x99" + be16(static_cast<uint32_t>(body.size())) + body);
        const std::string unhashed = subpacket(16, fingerprint.substr(12, 8));
        const std::string sigBody = signatureHead(algorithm, hashed) +
                                    be16(static_cast<uint32_t>(unhashed.size())) + unhashed +
                                    signature;
        return packet(6, body) + packet(13, userID) + packet(2, sigBody);
    }

    std::string m_dir;
    ZAFContextRef m_context = nullptr;
    ZAFKeyDBRef m_db = nullptr;
};

} // namespace orxtest

#endif
