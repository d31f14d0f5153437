// message_encode: writing RFC 4880 messages: literal data, one-pass, detached and cleartext
// signatures, compression, encryption to keys and passphrases (SEIPD with MDC), armour.
#include "crypto/crypto.h"
#include "keys/keys.h"
#include "message_armor.h"
#include "message_cfb.h"
#include "message_compress.h"
#include "message_internal.h"
#include "message_session.h"
#include "packets/packets.h"

#include <algorithm>
#include <cstring>

namespace zaf::msg {

namespace {

constexpr uint8_t kTagSignature = 2;
constexpr uint8_t kTagOnePass = 4;
constexpr uint8_t kTagCompressed = 8;
constexpr uint8_t kTagLiteral = 11;
constexpr uint8_t kTagSEIPD = 18;
constexpr uint8_t kAES256 = 9;
constexpr uint8_t kTripleDES = 2;
constexpr uint8_t kSHA256 = 8;

// Ciphers we encrypt with when a recipient asks for them, strongest first when nobody asks.
bool encryptsWith(uint8_t alg) {
    return alg == 2 || alg == 3 || alg == 4 || (alg >= 7 && alg <= 13);
}
bool signsWith(uint8_t alg) { return alg == 2 || (alg >= 8 && alg <= 11); }

// Digest length in bits of a hash number; 0 when unknown.
uint32_t hashBits(uint8_t alg) {
    switch (alg) {
    case 1:
        return 128;
    case 2:
    case 3:
        return 160;
    case 8:
        return 256;
    case 9:
        return 384;
    case 10:
        return 512;
    case 11:
        return 224;
    default:
        return 0;
    }
}

// The shortest digest a signing key takes without cutting its security or its peers' checks:
// ECDSA as many bits as its curve (SHA-512 for P-521), DSA as many as its subgroup, EdDSA 256.
uint32_t hashBitsNeeded(const Key& key, const ZAFKeyDBObj& signer) {
    rfc4880::KeyInfo info;
    if (!rfc4880::parseKeyPacket(key.packetBody(signer.packet), info, false))
        return 0;
    switch (info.algorithm) {
    case 19:
        return std::min<uint32_t>(info.bits, 512);
    case 22:
        return 256;
    case 17: {
        if (info.mpis.size() < 2)
            return 0;
        std::string_view q = info.mpis[1].bytes;
        size_t first = q.find_first_not_of('\0');
        if (first == std::string::npos)
            return 0;
        uint32_t bits = uint32_t((q.size() - first) * 8);
        for (uint8_t top = uint8_t(q[first]); (top & 0x80) == 0; top = uint8_t(top << 1))
            --bits;
        return bits;
    }
    default:
        return 0;
    }
}

void put32(std::string& out, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8)
        out.push_back(char((v >> s) & 0xFF));
}

std::vector<std::pair<std::string, std::string>> armorHeaders(const ZAFContext* context) {
    std::vector<std::pair<std::string, std::string>> headers;
    std::string version = envString(context, kZAFEnv_Version);
    std::string comment = envString(context, kZAFEnv_Comment);
    // A header value ends at its line; an embedded line break would forge further headers.
    auto clean = [](std::string v) {
        v.erase(std::remove_if(v.begin(), v.end(), [](char c) { return c == '\r' || c == '\n'; }),
                v.end());
        return v;
    };
    if (!version.empty())
        headers.emplace_back("Version", clean(version));
    if (!comment.empty())
        headers.emplace_back("Comment", clean(comment));
    return headers;
}

// Encrypts everything written to it into a SEIPD body (version byte, random prefix, data, MDC),
// handing whole buffers of cipher text to the packet writer below.
class EncryptWriter final : public OutStream {
public:
    EncryptWriter(OutStream& below, const SessionKey& sk, Hasher& hasher)
        : m_below(below), m_cfb(sk.algorithm, sk.key.data(), sk.key.size()), m_hasher(hasher),
          m_buffer(kChunk) {
        m_lane = m_hasher.addLane(2, false); // SHA-1
        m_buffer.data()[0] = 1;
        m_fill = 1;
        // A random block, its last two bytes repeated as the check bytes.
        size_t bs = m_cfb.blockSize();
        uint8_t prefix[18];
        poolRng().randomize(prefix, bs);
        prefix[bs] = prefix[bs - 2];
        prefix[bs + 1] = prefix[bs - 1];
        write(prefix, bs + 2);
    }

    void write(const uint8_t* data, size_t size) override {
        m_hasher.submit(uint64_t(1) << m_lane, data, size);
        while (size > 0) {
            size_t take = std::min(size, m_buffer.size() - m_fill);
            m_cfb.encrypt(data, m_buffer.data() + m_fill, take);
            m_fill += take;
            data += take;
            size -= take;
            if (m_fill == m_buffer.size()) {
                m_below.write(m_buffer.data(), m_fill);
                m_fill = 0;
            }
        }
    }

    void finish() override {
        static const uint8_t kMdcHeader[2] = {0xD3, 0x14};
        m_hasher.submit(uint64_t(1) << m_lane, kMdcHeader, 2);
        m_hasher.drain();
        std::vector<uint8_t> digest = m_hasher.lane(m_lane).finish(nullptr, 0);
        uint8_t mdc[22];
        std::memcpy(mdc, kMdcHeader, 2);
        std::memcpy(mdc + 2, digest.data(), 20);
        size_t left = sizeof mdc;
        const uint8_t* p = mdc;
        while (left > 0) {
            size_t take = std::min(left, m_buffer.size() - m_fill);
            m_cfb.encrypt(p, m_buffer.data() + m_fill, take);
            m_fill += take;
            p += take;
            left -= take;
            if (m_fill == m_buffer.size()) {
                m_below.write(m_buffer.data(), m_fill);
                m_fill = 0;
            }
        }
        m_below.write(m_buffer.data(), m_fill);
        m_fill = 0;
    }

private:
    OutStream& m_below;
    Cfb m_cfb;
    Hasher& m_hasher;
    size_t m_lane = 0;
    Buffer m_buffer;
    size_t m_fill = 0;
};

// A signer with its unlocked secret key.
struct ActiveSigner {
    const ZAFMessageParams::Signer* signer = nullptr;
    ZAFPrivateKeyContextRef context = nullptr;
    const ZAFKeyDBObj* object = nullptr;
    size_t lane = 0;
    ActiveSigner() = default;
    ActiveSigner(const ActiveSigner&) = delete;
    ActiveSigner& operator=(const ActiveSigner&) = delete;
    ~ActiveSigner() {
        if (context)
            ZAFFreePrivateKeyContext(context);
    }
};

class Encoder {
public:
    Encoder(ZAFMessageParams& params, ZAFMessageResult& result)
        : m_params(params), m_result(result) {}

    void run(ZAFMessageSource& input, ZAFMessageSink& output) {
        checkCombination();
        resolveRecipients();
        bool encrypting = !m_recipients.empty() || m_params.hasPassphrase;
        m_cipher = encrypting ? chooseCipher() : 0;
        m_hash = m_params.signers.empty() ? 0 : chooseHash();
        m_text = m_params.textSignature >= 0
                     ? m_params.textSignature == 1
                     : (m_params.literalMode == 't' || m_params.literalMode == 'u');
        unlockSigners();
        ZAFMessageInfo& info = m_result.info;
        info.cipher = m_cipher;
        info.hash = m_hash;
        info.compression = m_params.compression && !m_params.detached && !m_params.clearSign
                               ? m_params.compression
                               : -1;
        SinkStream sink(output);
        if (m_params.clearSign)
            clearSign(input, sink);
        else if (m_params.detached)
            detached(input, sink);
        else
            message(input, sink, encrypting);
        sink.finish();
    }

private:
    void checkCombination() {
        const ZAFMessageParams& p = m_params;
        bool encrypting = !p.recipients.empty() || p.hasPassphrase || p.encryptToSelf;
        if (p.detached || p.clearSign) {
            if (p.signers.empty())
                fail(kZAFError_MissingOption);
            if (encrypting || (p.detached && p.clearSign))
                fail(kZAFError_ConflictingOptions);
        } else if (p.signers.empty() && p.recipients.empty() && !p.hasPassphrase &&
                   !(p.encryptToSelf && p.selfKey)) {
            fail(kZAFError_MissingOption);
        }
    }

    void addRecipient(const KeyPtr& key, uint32_t object, uint32_t flags) {
        for (auto& r : m_recipients)
            if (r.key->fingerprintKey() == key->fingerprintKey() && r.object == object) {
                r.flags |= flags;
                return;
            }
        if (m_recipients.size() >= kZAFMessageMaxRecipients)
            fail(kZAFError_TooLarge);
        m_recipients.push_back({key, object, flags});
    }

    void warn(int32_t code, const ZAFKeyID& id) { m_result.warnings.emplace_back(code, id); }

    void resolveRecipients() {
        for (const auto& r : m_params.recipients)
            addRecipient(r.key, r.object, r.flags);
        if (m_params.encryptToSelf) {
            KeyPtr self = m_params.selfKey;
            if (!self && !m_params.signers.empty())
                self = m_params.signers[0].key;
            if (!self)
                fail(kZAFError_MissingOption);
            addRecipient(self, encryptionObject(*self, 0), kZAFRecipient_Self);
        }
        // Additional decryption keys that the named recipients' keys ask for.
        std::vector<KeyPtr> named;
        for (const auto& r : m_recipients)
            named.push_back(r.key);
        for (const KeyPtr& key : named) {
            ZAFKeyDBObjRef primary = &key->objs[0];
            uint32_t count = 0;
            if (ZAFCountAdditionalRecipientRequests(primary, &count) != kZAFError_NoErr)
                continue;
            for (uint32_t i = 0; i < count; ++i) {
                ZAFKeyDBObjRef adk = nullptr;
                ZAFKeyID id{};
                uint8_t cls = 0;
                if (ZAFGetIndexedAdditionalRecipientRequest(primary, i, &adk, &id, &cls) !=
                    kZAFError_NoErr)
                    continue;
                bool required = (cls & 0x80) != 0 || m_params.enforceADK;
                if (!required && !m_params.requestedADKs)
                    continue;
                bool added = false;
                if (adk != nullptr && !adk->key->disabled) {
                    KeyPtr adkKey = edit::currentKey(adk);
                    try {
                        if (adkKey) {
                            addRecipient(adkKey, encryptionObject(*adkKey, 0), kZAFRecipient_ADK);
                            added = true;
                        }
                    } catch (const Failure&) {
                        added = false;
                    }
                }
                if (added)
                    continue;
                if (required && !m_params.warnADK)
                    fail(kZAFError_ADKUnavailable);
                warn(kZAFMessageWarning_ADKNotAdded, id);
            }
        }
        for (const auto& r : m_recipients) {
            const ZAFKeyDBObj& o = r.key->objs[r.object];
            ZAFMessageRecipient out{};
            out.keyID = keyIDOf(o.keyID, o.algorithm);
            out.algorithm = o.algorithm;
            out.flags = r.flags;
            m_result.recipients.push_back(out);
        }
    }

    // The first cipher of the first recipient's list that every recipient takes (a list always
    // ends in TripleDES, stated or not), unless the caller chose one.
    uint8_t chooseCipher() {
        auto accepts = [](const Key& k, uint8_t alg) {
            return alg == kTripleDES || k.prefSymmetric.find(char(alg)) != std::string::npos;
        };
        if (m_params.cipher != 0) {
            uint8_t alg = uint8_t(m_params.cipher);
            for (const auto& r : m_recipients)
                if (!accepts(*r.key, alg)) {
                    const ZAFKeyDBObj& o = r.key->objs[r.object];
                    warn(kZAFMessageWarning_CipherNotWanted, keyIDOf(o.keyID, o.algorithm));
                }
            return alg;
        }
        if (m_recipients.empty()) {
            int32_t env = envInt(m_params.context, kZAFEnv_Cipher, 0);
            return env > 0 && env < 256 && encryptsWith(uint8_t(env)) ? uint8_t(env) : kAES256;
        }
        std::string order = m_recipients[0].key->prefSymmetric;
        order.push_back(char(kTripleDES));
        for (char c : order) {
            uint8_t alg = uint8_t(c);
            if (!encryptsWith(alg))
                continue;
            bool all = true;
            for (const auto& r : m_recipients)
                all = all && accepts(*r.key, alg);
            if (all)
                return alg;
        }
        return kTripleDES;
    }

    // The caller's hash; else the first hash of the first recipient's list that all of them
    // take and that is long enough for every signing key; else the configured or the shortest
    // SHA-2 hash long enough (SHA-256 for most keys, SHA-384 and SHA-512 for ECDSA on the
    // larger curves). A hash asked for that a signing key cannot take is refused, as its peers
    // would refuse the signature.
    uint8_t chooseHash() {
        uint32_t needed = 0;
        for (const auto& s : m_params.signers)
            needed = std::max(needed, hashBitsNeeded(*s.key, s.key->objs[s.object]));
        auto longEnough = [&](uint8_t alg) { return hashBits(alg) >= needed; };
        if (m_params.hash != 0) {
            if (!longEnough(uint8_t(m_params.hash)))
                fail(kZAFError_HashTooShort);
            return uint8_t(m_params.hash);
        }
        if (m_recipients.empty()) {
            int32_t env = envInt(m_params.context, kZAFEnv_Hash, 0);
            if (env > 0 && env < 256 && signsWith(uint8_t(env)) && env != 2 &&
                longEnough(uint8_t(env)))
                return uint8_t(env);
        } else {
            for (char c : m_recipients[0].key->prefHash) {
                uint8_t alg = uint8_t(c);
                if (!signsWith(alg) || alg == 2 || !longEnough(alg))
                    continue;
                bool all = true;
                for (const auto& r : m_recipients)
                    all = all &&
                          (r.key->prefHash.empty() || r.key->prefHash.find(c) != std::string::npos);
                if (all)
                    return alg;
            }
        }
        for (uint8_t alg : {kSHA256, uint8_t(9), uint8_t(10)})
            if (longEnough(alg))
                return alg;
        return 10;
    }

    void unlockSigners() {
        for (size_t i = 0; i < m_params.signers.size(); ++i) {
            const auto& s = m_params.signers[i];
            m_signers.push_back(std::make_unique<ActiveSigner>());
            ActiveSigner& a = *m_signers.back();
            a.signer = &s;
            a.object = &s.key->objs[s.object];
            ZAFKeyDBObjRef obj = const_cast<ZAFKeyDBObj*>(a.object);
            ZAFError err = ZAFNewPrivateKeyContext(obj, "", 0, &a.context);
            for (uint32_t attempt = 1;
                 err == kZAFError_BadPassphrase &&
                 attempt <= m_params.passphraseAttempts + uint32_t(m_params.hasKeyPassphrase);
                 ++attempt) {
                ZAFPassphraseRequest req{};
                req.purpose = kZAFPassphraseFor_SecretKey;
                req.attempt = attempt;
                req.key = &s.key->objs[0];
                req.keyID = keyIDOf(a.object->keyID, a.object->algorithm);
                Secret pass;
                if (!askPassphrase(m_params, req, m_params.hasKeyPassphrase, m_params.keyPassphrase,
                                   pass)) {
                    if (attempt == 1 && m_params.hasKeyPassphrase)
                        continue;
                    break;
                }
                err = ZAFNewPrivateKeyContext(obj, reinterpret_cast<const char*>(pass.data()),
                                              pass.size(), &a.context);
            }
            if (err != kZAFError_NoErr)
                fail(err);
        }
    }

    void addSignatureLanes(bool text) {
        for (auto& a : m_signers)
            a->lane = m_hasher.addLane(m_hash, text);
    }

    uint64_t signatureMask() const {
        uint64_t mask = 0;
        for (const auto& a : m_signers)
            mask |= uint64_t(1) << a->lane;
        return mask;
    }

    std::string onePassPacket(const ActiveSigner& a, bool last) const {
        std::string body;
        body.push_back(3);
        body.push_back(char(m_sigType));
        body.push_back(char(m_hash));
        body.push_back(char(a.object->algorithm));
        body.append(reinterpret_cast<const char*>(a.object->keyID), 8);
        body.push_back(last ? 1 : 0);
        std::string packet;
        appendHeader(packet, kTagOnePass, body.size());
        return packet + body;
    }

    // A version 4 signature over what the signer's lane hashed.
    std::string signaturePacket(const ActiveSigner& a) {
        std::string hashed;
        std::string created;
        put32(created, m_created);
        rfc4880::appendSubpacket(hashed, 2, created);
        const Key& key = *a.signer->key;
        if (a.object->version >= 4) {
            rfc4880::KeyInfo info;
            if (rfc4880::parseKeyPacket(key.packetBody(a.object->packet), info) &&
                info.fingerprintLength == 20) {
                std::string fpr(1, char(4));
                fpr.append(reinterpret_cast<const char*>(info.fingerprint), 20);
                rfc4880::appendSubpacket(hashed, 33, fpr);
            }
        }
        std::string body;
        body.push_back(4);
        body.push_back(char(m_sigType));
        body.push_back(char(a.object->algorithm));
        body.push_back(char(m_hash));
        body.push_back(char(hashed.size() >> 8));
        body.push_back(char(hashed.size() & 0xFF));
        body += hashed;
        uint32_t n = uint32_t(body.size());
        std::string trailer = body;
        const char t[6] = {4, char(0xFF), char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
        trailer.append(t, 6);
        m_hasher.drain();
        std::vector<uint8_t> digest = m_hasher.lane(a.lane).finish(
            reinterpret_cast<const uint8_t*>(trailer.data()), trailer.size());
        std::string unhashed;
        rfc4880::appendSubpacket(unhashed, 16,
                                 std::string(reinterpret_cast<const char*>(a.object->keyID), 8));
        body.push_back(char(unhashed.size() >> 8));
        body.push_back(char(unhashed.size() & 0xFF));
        body += unhashed;
        body.push_back(char(digest[0]));
        body.push_back(char(digest[1]));
        size_t size = 0;
        ZAFError err =
            ZAFPrivateKeySign(a.context, m_hash, digest.data(), digest.size(), nullptr, 0, &size);
        if (err != kZAFError_BufferTooSmall)
            fail(err == kZAFError_NoErr ? kZAFError_Internal : err);
        std::vector<uint8_t> mpis(size);
        err = ZAFPrivateKeySign(a.context, m_hash, digest.data(), digest.size(), mpis.data(),
                                mpis.size(), &size);
        if (err != kZAFError_NoErr)
            fail(err);
        body.append(reinterpret_cast<const char*>(mpis.data()), size);
        std::string packet;
        appendHeader(packet, kTagSignature, body.size());
        recordSignature(a);
        return packet + body;
    }

    void recordSignature(const ActiveSigner& a) {
        ZAFMessageSignature out{};
        out.status = kZAFSigStatus_Good;
        out.signerKeyID = keyIDOf(a.object->keyID, a.object->algorithm);
        const Key& key = *a.signer->key;
        out.fingerprintLength = key.fingerprintLength;
        std::memcpy(out.fingerprint, key.fingerprint, key.fingerprintLength);
        out.created = m_created;
        out.hashAlgorithm = m_hash;
        out.publicKeyAlgorithm = a.object->algorithm;
        out.signatureType = m_sigType;
        out.validity = key.validity;
        out.key = const_cast<ZAFKeyDBObj*>(&key.objs[0]);
        m_result.signatures.push_back(out);
    }

    // Signatures in the reverse order of their one-pass headers.
    void writeSignatures(OutStream& out) {
        std::vector<std::string> packets;
        for (auto& a : m_signers)
            packets.push_back(signaturePacket(*a));
        for (auto it = packets.rbegin(); it != packets.rend(); ++it)
            out.put(*it);
    }

    void message(ZAFMessageSource& input, SinkStream& sink, bool encrypting) {
        m_sigType = m_text ? 1 : 0;
        m_created = now();
        ZAFMessageInfo& info = m_result.info;
        std::unique_ptr<ArmorWriter> armor;
        OutStream* top = &sink;
        if (m_params.armor) {
            armor =
                std::make_unique<ArmorWriter>(sink, "ZAF MESSAGE", armorHeaders(m_params.context));
            top = armor.get();
            info.kinds |= kZAFMessageKind_Armored;
        }
        std::unique_ptr<PartialPacketWriter> seipd;
        std::unique_ptr<EncryptWriter> enc;
        if (encrypting) {
            info.kinds |= kZAFMessageKind_Encrypted;
            info.mdc = kZAFMDC_Good;
            SessionKey sk = newSessionKey(m_cipher);
            std::string esks;
            for (const auto& r : m_recipients) {
                const ZAFKeyDBObj& o = r.key->objs[r.object];
                std::string body = makePKESK(r.key->packetBody(o.packet), o.keyID, sk);
                appendHeader(esks, 1, body.size());
                esks += body;
            }
            if (m_params.hasPassphrase) {
                std::string_view pass(reinterpret_cast<const char*>(m_params.passphrase.data()),
                                      m_params.passphrase.size());
                // Alone, the passphrase's key is the session key; beside recipients it carries
                // the session key they share.
                SessionKey derived;
                std::string body =
                    makeSKESK(m_cipher, pass, m_recipients.empty() ? nullptr : &sk, &derived);
                if (m_recipients.empty())
                    sk = std::move(derived);
                appendHeader(esks, 3, body.size());
                esks += body;
                info.openedBy = kZAFOpenedBy_Passphrase;
            }
            top->put(esks);
            seipd = std::make_unique<PartialPacketWriter>(*top, kTagSEIPD);
            enc = std::make_unique<EncryptWriter>(*seipd, sk, m_hasher);
            top = enc.get();
        }
        std::unique_ptr<PartialPacketWriter> compressed;
        std::unique_ptr<DeflateWriter> deflate;
        if (m_params.compression) {
            info.kinds |= kZAFMessageKind_Compressed;
            compressed = std::make_unique<PartialPacketWriter>(*top, kTagCompressed);
            deflate =
                std::make_unique<DeflateWriter>(*compressed, m_params.compressLevel, &m_hasher);
            top = deflate.get();
        }
        addSignatureLanes(m_text);
        for (size_t i = 0; i < m_signers.size(); ++i)
            top->put(onePassPacket(*m_signers[i], i + 1 == m_signers.size()));
        if (!m_signers.empty())
            info.kinds |= kZAFMessageKind_Signed;

        // The literal packet: mode, name, date, then the data as it comes.
        PartialPacketWriter literal(*top, kTagLiteral);
        std::string head;
        head.push_back(char(m_params.literalMode));
        head.push_back(char(m_params.literalName.size()));
        head += m_params.literalName;
        ZAFTime date = m_params.literalDateSet ? m_params.literalDate : m_created;
        put32(head, date);
        literal.put(head);
        info.kinds |= kZAFMessageKind_Literal;
        info.literalMode = m_params.literalMode;
        info.literalDate = date;
        info.literalNameLength = uint32_t(m_params.literalName.size());
        std::memcpy(info.literalName, m_params.literalName.data(), m_params.literalName.size());
        uint64_t mask = signatureMask();
        SourceStream src(input, &m_hasher);
        // Text is stored as the standard says and as its signatures hash it: every line ending
        // CR LF, whatever the file has.
        const bool canonical = m_text || m_params.literalMode == 't' || m_params.literalMode == 'u';
        // The hasher may still read the converted bytes (the MDC, the signatures) when the next
        // chunk comes or the call fails: each use waits for it first.
        struct Converted {
            Hasher& hasher;
            Buffer buffer;
            ~Converted() { hasher.waitFor(buffer.data(), buffer.size()); }
        } converted{m_hasher, Buffer(canonical ? 2 * kChunk : 0)};
        bool lastCR = false;
        for (ByteView v = src.next(kChunk); !v.empty(); v = src.next(kChunk)) {
            if (canonical) {
                m_hasher.waitFor(converted.buffer.data(), converted.buffer.size());
                size_t n = 0;
                uint8_t* out = converted.buffer.data();
                for (size_t i = 0; i < v.size; ++i) {
                    if (v.data[i] == '\n' && !lastCR)
                        out[n++] = '\r';
                    out[n++] = v.data[i];
                    lastCR = v.data[i] == '\r';
                }
                v = ByteView{out, n};
            }
            m_hasher.submit(mask, v.data, v.size);
            literal.write(v.data, v.size);
            info.literalLength += v.size;
        }
        literal.finish();
        writeSignatures(*top);
        if (deflate) {
            deflate->finish();
            compressed->finish();
        }
        if (enc) {
            enc->finish();
            seipd->finish();
        }
        if (armor)
            armor->finish();
        m_hasher.drain();
    }

    void detached(ZAFMessageSource& input, SinkStream& sink) {
        m_sigType = m_text ? 1 : 0;
        m_created = now();
        m_result.info.kinds |= kZAFMessageKind_Signed | kZAFMessageKind_Detached;
        addSignatureLanes(m_text);
        uint64_t mask = signatureMask();
        SourceStream src(input, &m_hasher);
        for (ByteView v = src.next(); !v.empty(); v = src.next()) {
            m_hasher.submit(mask, v.data, v.size);
            m_result.info.literalLength += v.size;
        }
        std::unique_ptr<ArmorWriter> armor;
        OutStream* top = &sink;
        if (m_params.armor) {
            armor = std::make_unique<ArmorWriter>(sink, "ZAF SIGNATURE",
                                                  armorHeaders(m_params.context));
            top = armor.get();
            m_result.info.kinds |= kZAFMessageKind_Armored;
        }
        for (auto& a : m_signers)
            top->put(signaturePacket(*a));
        if (armor)
            armor->finish();
    }

    // The cleartext signature framework: the text with dash escapes, then the armoured
    // signatures over its canonical form (trailing blanks dropped, lines joined by CR LF).
    void clearSign(ZAFMessageSource& input, SinkStream& sink) {
        m_sigType = 1;
        m_created = now();
        ZAFMessageInfo& info = m_result.info;
        info.kinds |=
            kZAFMessageKind_Signed | kZAFMessageKind_ClearSigned | kZAFMessageKind_Armored;
        // Lines are hashed as they are read, some from the line reader's own buffer, which the
        // next line overwrites: on this thread.
        m_hasher.setAsyncThreshold(SIZE_MAX);
        addSignatureLanes(false);
        uint64_t mask = signatureMask();
        const char* hashName = "SHA256";
        switch (m_hash) {
        case 1:
            hashName = "MD5";
            break;
        case 2:
            hashName = "SHA1";
            break;
        case 3:
            hashName = "RIPEMD160";
            break;
        case 9:
            hashName = "SHA384";
            break;
        case 10:
            hashName = "SHA512";
            break;
        case 11:
            hashName = "SHA224";
            break;
        default:
            break;
        }
        sink.put(std::string("-----BEGIN ZAF SIGNED MESSAGE-----\nHash: ") + hashName + "\n\n");
        static const uint8_t kCRLF[2] = {'\r', '\n'};
        static const uint8_t kLF = '\n';
        static const uint8_t kEscape[2] = {'-', ' '};
        SourceStream src(input, &m_hasher);
        LineReader lines(src);
        std::string_view line;
        bool newline = false;
        bool first = true;
        while (lines.next(line, newline)) {
            // Lines that could be taken for armour (or for a mail separator) are escaped.
            if ((!line.empty() && line[0] == '-') || line.substr(0, 5) == "From ")
                sink.write(kEscape, 2);
            sink.write(reinterpret_cast<const uint8_t*>(line.data()), line.size());
            sink.write(&kLF, 1);
            info.literalLength += line.size() + (newline ? 1 : 0);
            std::string_view content = line;
            if (!content.empty() && content.back() == '\r')
                content.remove_suffix(1);
            while (!content.empty() && (content.back() == ' ' || content.back() == '\t'))
                content.remove_suffix(1);
            if (!first)
                m_hasher.submit(mask, kCRLF, 2);
            m_hasher.submit(mask, reinterpret_cast<const uint8_t*>(content.data()), content.size());
            first = false;
        }
        if (first)
            sink.write(&kLF, 1); // an empty text is one empty line
        ArmorWriter armor(sink, "ZAF SIGNATURE", armorHeaders(m_params.context));
        for (auto& a : m_signers)
            armor.put(signaturePacket(*a));
        armor.finish();
    }

    ZAFMessageParams& m_params;
    ZAFMessageResult& m_result;
    Hasher m_hasher;
    std::vector<ZAFMessageParams::Recipient> m_recipients;
    std::vector<std::unique_ptr<ActiveSigner>> m_signers;
    uint8_t m_cipher = 0;
    uint8_t m_hash = 0;
    bool m_text = false;
    uint8_t m_sigType = 0;
    uint32_t m_created = 0;
};

} // namespace

void encodeMessage(ZAFMessageParams& params, ZAFMessageSource& input, ZAFMessageSink& output,
                   ZAFMessageResult& result) {
    Encoder encoder(params, result);
    encoder.run(input, output);
}

} // namespace zaf::msg
