// message_decode: reading any RFC 4880 message: armour, the cleartext framework, session keys,
// decryption with the MDC, decompression, literal data and signature checks.
#include "keys/keys.h"
#include "message_armor.h"
#include "message_cfb.h"
#include "message_compress.h"
#include "message_hold.h"
#include "message_internal.h"
#include "message_session.h"
#include "packets/packets.h"

#include <zaf/zafcrypto.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace zaf::msg {

namespace {

// Bounds on packets read whole into memory: session key packets carry at most a few hundred
// bytes (RSA-16384: 2 KiB), signatures rarely more than a kilobyte.
constexpr size_t kMaxEskBody = 16u << 10;
constexpr size_t kMaxSigBody = 64u << 10;
// Compressed packets in a message, nested or not: compressing twice gains nothing, and every
// layer multiplies what a few bytes can expand to.
constexpr int kMaxCompressedLayers = 1;
// Candidate keys tried for a session key packet with a zero (hidden) key ID.
constexpr size_t kMaxHiddenCandidates = 256;
// Report positions of signatures that did not come with a one-pass header start here.
constexpr size_t kMaxSignatureOrder = 1u << 16;

constexpr uint8_t kTagPKESK = 1;
constexpr uint8_t kTagSignature = 2;
constexpr uint8_t kTagSKESK = 3;
constexpr uint8_t kTagOnePass = 4;
constexpr uint8_t kTagCompressed = 8;
constexpr uint8_t kTagSED = 9;
constexpr uint8_t kTagMarker = 10;
constexpr uint8_t kTagLiteral = 11;
constexpr uint8_t kTagTrust = 12;
constexpr uint8_t kTagSEIPD = 18;
constexpr uint8_t kTagMDC = 19;

bool partialAllowed(uint8_t tag) {
    return tag == kTagCompressed || tag == kTagSED || tag == kTagLiteral || tag == kTagSEIPD ||
           tag == 20;
}

bool isKeyMaterial(uint8_t tag) {
    return tag == 5 || tag == 6 || tag == 7 || tag == 13 || tag == 14 || tag == 17;
}

// Hash names of the cleartext framework's "Hash:" header.
int hashFromName(std::string_view name) {
    static const std::pair<const char*, int> kNames[] = {
        {"MD5", 1},    {"SHA1", 2},    {"RIPEMD160", 3}, {"SHA256", 8},
        {"SHA384", 9}, {"SHA512", 10}, {"SHA224", 11}};
    for (const auto& n : kNames)
        if (name == n.first)
            return n.second;
    return 0;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// Signature subpackets a data signature may mark critical and still be understood.
bool knownSubpacket(uint8_t type) {
    switch (type) {
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
    case 9:
    case 10:
    case 11:
    case 12:
    case 16:
    case 20:
    case 21:
    case 22:
    case 23:
    case 24:
    case 25:
    case 26:
    case 27:
    case 28:
    case 29:
    case 30:
    case 31:
    case 32:
    case 33:
        return true;
    default:
        return false;
    }
}

// The plaintext of an encrypted packet: CFB decryption of the packet body, with the MDC packet
// (the last 22 bytes) held back, hashed and checked when the body ends.
class Decryptor final : public InStream {
public:
    Decryptor(std::unique_ptr<Cfb> cfb, InStream& body, std::string pending, bool mdc,
              Hasher& hasher, size_t lane, ZAFMessageResult& result)
        : m_cfb(std::move(cfb)), m_body(body), m_pending(std::move(pending)), m_mdc(mdc),
          m_hasher(hasher), m_lane(lane), m_result(result) {
        m_buffers[0] = Buffer(kChunk + kCarry);
        m_buffers[1] = Buffer(kChunk + kCarry);
    }
    ~Decryptor() override {
        for (Buffer& b : m_buffers)
            m_hasher.waitFor(b.data(), b.size());
    }

protected:
    ByteView fill() override {
        if (m_done)
            return ByteView();
        m_current ^= 1;
        Buffer& b = m_buffers[m_current];
        m_hasher.waitFor(b.data(), b.size());
        uint8_t* out = b.data();
        size_t n = m_carryLength;
        std::memcpy(out, m_carry, m_carryLength);
        bool end = false;
        if (!m_pending.empty()) {
            m_cfb->decrypt(reinterpret_cast<const uint8_t*>(m_pending.data()), out + n,
                           m_pending.size());
            n += m_pending.size();
            m_pending.clear();
        }
        while (n < kChunk) {
            ByteView v = m_body.next(kChunk - n);
            if (v.empty()) {
                end = true;
                break;
            }
            m_cfb->decrypt(v.data, out + n, v.size);
            n += v.size;
        }
        if (!m_mdc) {
            m_done = end;
            m_carryLength = 0;
            return ByteView{out, n};
        }
        if (!end) {
            // Not yet known whether these are the last bytes: keep back what could be the MDC.
            size_t give = n - kCarry;
            std::memcpy(m_carry, out + give, kCarry);
            m_carryLength = kCarry;
            m_hasher.submit(uint64_t(1) << m_lane, out, give);
            return ByteView{out, give};
        }
        m_done = true;
        if (n < kCarry) {
            m_result.info.mdc = kZAFMDC_Bad;
            fail(kZAFError_IntegrityFailure);
        }
        size_t give = n - kCarry;
        const uint8_t* tail = out + give;
        m_hasher.submit(uint64_t(1) << m_lane, out, give);
        m_hasher.submit(uint64_t(1) << m_lane, tail, 2);
        m_hasher.drain();
        std::vector<uint8_t> digest = m_hasher.lane(m_lane).finish(nullptr, 0);
        // The MDC packet: tag 19 in a new-format header, length 20, then the SHA-1 digest.
        bool good = tail[0] == (0xC0 | kTagMDC) && tail[1] == 20 && digest.size() == 20 &&
                    ZAFConstantTimeEqual(digest.data(), tail + 2, 20);
        m_result.info.mdc = good ? kZAFMDC_Good : kZAFMDC_Bad;
        if (!good)
            fail(kZAFError_IntegrityFailure);
        return ByteView{out, give};
    }

private:
    static constexpr size_t kCarry = 22;
    std::unique_ptr<Cfb> m_cfb;
    InStream& m_body;
    std::string m_pending; // cipher text read ahead with the prefix
    bool m_mdc;
    Hasher& m_hasher;
    size_t m_lane;
    ZAFMessageResult& m_result;
    Buffer m_buffers[2];
    int m_current = 1;
    uint8_t m_carry[kCarry] = {};
    size_t m_carryLength = 0;
    bool m_done = false;
};

struct Signature {
    std::string body;
    rfc4880::SigInfo info;
    int64_t lane = -1; // -1: nothing was hashed for it
    bool fromOnePass = false;
    size_t order = 0; // where it is reported: one-pass ones in the order of their headers
    uint8_t opsType = 0, opsHash = 0, opsAlg = 0;
    uint8_t opsKeyID[8] = {};
};

struct OnePass {
    uint8_t type = 0, hash = 0, alg = 0;
    uint8_t keyID[8] = {};
    int64_t lane = -1;
    bool paired = false;
};

class Decoder {
public:
    Decoder(ZAFMessageParams& params, ZAFMessageResult& result, ZAFMessageSink* output)
        : m_params(params), m_result(result),
          m_budget(uint64_t(params.maxExpansion), uint64_t(params.expansionFloorKiB) << 10) {
        if (output) {
            m_out = std::make_unique<SinkStream>(*output);
            m_target = m_out.get();
            // Until the end shows that the message is intact and every signature good, nothing
            // may reach a sink whose owner could act on it.
            if (output->showsUncommitted() && !params.streamUnverified) {
                m_held = std::make_unique<HeldOutput>(heldOutputFolder(params.context),
                                                      size_t(params.holdMemoryKiB) << 10);
                m_target = m_held.get();
            }
        }
    }

    void run(ZAFMessageSource& input, ZAFMessageSource* signedData) {
        SourceStream src(input, &m_hasher);
        m_budget.setMessage(&src);
        ByteView first = src.next(1);
        if (first.empty())
            fail(kZAFError_NotAMessage);
        src.unget(1);
        if (first.data[0] & 0x80) {
            sequence(src, 0, 0);
        } else {
            std::string label = findArmor(src);
            m_result.info.kinds |= kZAFMessageKind_Armored;
            if (label.size() >= 14 && label.substr(label.size() - 14) == "SIGNED MESSAGE") {
                cleartext(src);
            } else {
                ArmorReader armor(src, label, &m_hasher);
                sequence(armor, 0, 0);
                armor.skipAll();
            }
        }
        finishMessage(signedData);
        if (m_held)
            m_held->release(*m_out);
        if (m_out)
            m_out->finish();
    }

private:
    // ---- input kinds ----

    std::string findArmor(InStream& src) {
        LineReader lines(src);
        std::string_view line;
        bool newline = false;
        std::string label;
        try {
            while (lines.next(line, newline))
                if (armorBeginLabel(line, label))
                    return label;
        } catch (const Failure&) {
            // Text with endless lines is no armour either.
        }
        fail(kZAFError_NotAMessage);
    }

    void cleartext(InStream& src) {
        m_result.info.kinds |= kZAFMessageKind_ClearSigned | kZAFMessageKind_Signed;
        LineReader lines(src);
        std::string_view line;
        bool newline = false;
        std::vector<int> hashes;
        bool hashHeader = false;
        for (size_t n = 0;; ++n) {
            if (!lines.next(line, newline) || n > 64)
                fail(n > 64 ? ZAFError(kZAFError_CorruptData) : ZAFError(kZAFError_Truncated));
            std::string_view t = trim(line);
            if (t.empty())
                break;
            if (t.substr(0, 5) == "Hash:") {
                hashHeader = true;
                std::string_view names = t.substr(5);
                while (!names.empty()) {
                    size_t comma = names.find(',');
                    int h = hashFromName(trim(names.substr(0, comma)));
                    if (h != 0 && std::find(hashes.begin(), hashes.end(), h) == hashes.end())
                        hashes.push_back(h);
                    names = comma == std::string_view::npos ? "" : names.substr(comma + 1);
                }
            }
        }
        // Lines are hashed as they are read, some from the line reader's own buffer, which the
        // next line overwrites: on this thread.
        m_hasher.setAsyncThreshold(SIZE_MAX);
        // Without a "Hash:" header the text was hashed with MD5.
        if (!hashHeader)
            hashes.push_back(1);
        uint64_t mask = 0;
        for (int h : hashes) {
            if (rfc4880::hashName(uint8_t(h)) == nullptr)
                continue;
            size_t lane = m_hasher.addLane(uint8_t(h), false);
            m_clearLanes[uint8_t(h)] = lane;
            mask |= uint64_t(1) << lane;
        }
        // The text: dash escapes removed; the hash sees each line without trailing blanks, the
        // lines joined by CR LF, the ending of the last one left out.
        static const uint8_t kCRLF[2] = {'\r', '\n'};
        static const uint8_t kLF = '\n';
        std::string label;
        bool firstLine = true;
        for (;;) {
            if (!lines.next(line, newline) || !newline)
                fail(kZAFError_Truncated);
            if (armorBeginLabel(line, label))
                break;
            if (line.size() >= 2 && line[0] == '-' && line[1] == ' ')
                line.remove_prefix(2);
            std::string_view content = line;
            if (!content.empty() && content.back() == '\r')
                content.remove_suffix(1);
            if (m_target) {
                m_target->write(reinterpret_cast<const uint8_t*>(line.data()), line.size());
                m_target->write(&kLF, 1);
            }
            m_result.info.literalLength += line.size() + 1;
            while (!content.empty() && (content.back() == ' ' || content.back() == '\t'))
                content.remove_suffix(1);
            if (!firstLine)
                m_hasher.submit(mask, kCRLF, 2);
            m_hasher.submit(mask, reinterpret_cast<const uint8_t*>(content.data()), content.size());
            firstLine = false;
        }
        m_literalSeen = true;
        m_clearText = true;
        ArmorReader armor(src, label, &m_hasher);
        m_signaturesOnly = true;
        sequence(armor, 0, 0);
        armor.skipAll();
    }

    // ---- packet sequences ----

    void sequence(InStream& in, int depth, int compressedLayers) {
        if (depth > kZAFMessageMaxNesting)
            fail(kZAFError_NestingTooDeep);
        std::vector<std::string> pkesks, skesks;
        bool sawEncrypted = false;
        PacketHeader h;
        while (readPacketHeader(in, h)) {
            if (h.kind == PacketHeader::Length::Partial && !partialAllowed(h.tag))
                fail(kZAFError_CorruptData);
            if (m_signaturesOnly && h.tag != kTagSignature && h.tag != kTagMarker)
                fail(kZAFError_CorruptData);
            bool first = !m_anyPacket;
            m_anyPacket = true;
            if (sawEncrypted && h.tag != kTagMarker)
                fail(kZAFError_CorruptData); // nothing may follow the encrypted data
            switch (h.tag) {
            case kTagPKESK:
            case kTagSKESK: {
                std::vector<std::string>& list = h.tag == kTagPKESK ? pkesks : skesks;
                if (pkesks.size() + skesks.size() >= kZAFMessageMaxRecipients)
                    fail(kZAFError_TooLarge);
                list.push_back(readBody(in, h, kMaxEskBody));
                break;
            }
            case kTagSEIPD:
            case kTagSED:
                encrypted(in, h, pkesks, skesks, depth, compressedLayers);
                sawEncrypted = true;
                break;
            case kTagCompressed: {
                if (compressedLayers >= kMaxCompressedLayers)
                    fail(kZAFError_NestingTooDeep);
                PacketBody body(in, h);
                int alg = body.byte();
                if (alg < 0)
                    fail(kZAFError_Truncated);
                m_result.info.kinds |= kZAFMessageKind_Compressed;
                if (m_result.info.compression < 0)
                    m_result.info.compression = alg;
                Inflater inflater(body, uint8_t(alg), m_budget, &m_hasher);
                sequence(inflater, depth + 1, compressedLayers + 1);
                if (inflater.trailingData())
                    warn(kZAFMessageWarning_TrailingData, nullptr);
                body.skipAll();
                break;
            }
            case kTagOnePass:
                onePass(readBody(in, h, 64));
                break;
            case kTagSignature:
                signature(readBody(in, h, kMaxSigBody));
                break;
            case kTagLiteral:
                literal(in, h);
                break;
            case kTagMarker:
            case kTagTrust:
                PacketBody(in, h).skipAll();
                break;
            default:
                // Private and experimental tags may be passed over; anything else changes the
                // meaning of the message in a way we cannot know.
                if (h.tag >= 40 && h.tag <= 63) {
                    PacketBody(in, h).skipAll();
                    break;
                }
                if (isKeyMaterial(h.tag) && first)
                    fail(kZAFError_NotAMessage);
                fail(kZAFError_UnknownPacket);
            }
        }
        if ((!pkesks.empty() || !skesks.empty()) && !sawEncrypted)
            fail(kZAFError_Truncated);
    }

    void literal(InStream& in, const PacketHeader& h) {
        if (m_literalSeen)
            fail(kZAFError_CorruptData);
        m_literalSeen = true;
        PacketBody body(in, h);
        uint8_t head[2];
        if (body.read(head, 2) != 2)
            fail(kZAFError_Truncated);
        uint8_t name[256];
        uint8_t date[4];
        if (body.read(name, head[1]) != head[1] || body.read(date, 4) != 4)
            fail(kZAFError_Truncated);
        ZAFMessageInfo& info = m_result.info;
        info.kinds |= kZAFMessageKind_Literal;
        info.literalMode = head[0];
        info.literalNameLength = head[1];
        std::memcpy(info.literalName, name, head[1]);
        info.literalName[head[1]] = 0;
        info.literalDate = (uint32_t(date[0]) << 24) | (uint32_t(date[1]) << 16) |
                           (uint32_t(date[2]) << 8) | date[3];
        uint64_t mask = activeLanes();
        // Text comes with CR LF line endings; it is written with this system's (LF).
        const bool text = head[0] == 't' || head[0] == 'u';
        bool heldCR = false;
        static const uint8_t kCR = '\r';
        auto emit = [&](const uint8_t* data, size_t size) {
            if (size == 0)
                return;
            if (m_target)
                m_target->write(data, size);
            info.literalLength += size;
        };
        for (ByteView v = body.next(); !v.empty(); v = body.next()) {
            m_hasher.submit(mask, v.data, v.size);
            if (!text) {
                emit(v.data, v.size);
                continue;
            }
            size_t from = 0;
            if (heldCR && v.data[0] != '\n')
                emit(&kCR, 1);
            heldCR = false;
            for (size_t i = 0; i < v.size; ++i) {
                if (v.data[i] != '\r')
                    continue;
                if (i + 1 == v.size) {
                    emit(v.data + from, i - from);
                    heldCR = true;
                    from = v.size;
                } else if (v.data[i + 1] == '\n') {
                    emit(v.data + from, i - from);
                    from = i + 1;
                }
            }
            emit(v.data + from, v.size - from);
        }
        if (heldCR)
            emit(&kCR, 1);
    }

    uint64_t activeLanes() const {
        uint64_t mask = 0;
        for (const OnePass& o : m_onePass)
            if (o.lane >= 0)
                mask |= uint64_t(1) << o.lane;
        for (const Signature& s : m_signatures)
            if (!s.fromOnePass && s.lane >= 0)
                mask |= uint64_t(1) << s.lane;
        return mask;
    }

    void onePass(const std::string& body) {
        if (body.size() != 13 || body[0] != 3 || m_literalSeen)
            fail(kZAFError_CorruptData);
        if (m_onePass.size() + m_signatures.size() >= kZAFMessageMaxSignatures)
            fail(kZAFError_TooLarge);
        OnePass o;
        o.type = uint8_t(body[1]);
        o.hash = uint8_t(body[2]);
        o.alg = uint8_t(body[3]);
        std::memcpy(o.keyID, body.data() + 4, 8);
        // A hash we cannot compute leaves the signature unchecked (reported, not a failure).
        if (rfc4880::hashName(o.hash) != nullptr)
            o.lane = int64_t(m_hasher.addLane(o.hash, o.type == 1));
        m_onePass.push_back(o);
        m_result.info.kinds |= kZAFMessageKind_Signed;
    }

    void signature(std::string body) {
        if (m_onePass.size() + m_signatures.size() >= kZAFMessageMaxSignatures + 64)
            fail(kZAFError_TooLarge);
        Signature s;
        s.body = std::move(body);
        bool parsed = rfc4880::parseSignature(s.body, s.info);
        m_result.info.kinds |= kZAFMessageKind_Signed;
        if (m_literalSeen && !m_clearText) {
            // Closes the innermost one-pass header still open.
            auto it = std::find_if(m_onePass.rbegin(), m_onePass.rend(),
                                   [](const OnePass& o) { return !o.paired; });
            if (it == m_onePass.rend())
                fail(kZAFError_CorruptData);
            it->paired = true;
            s.fromOnePass = true;
            s.lane = it->lane;
            s.opsType = it->type;
            s.opsHash = it->hash;
            s.opsAlg = it->alg;
            std::memcpy(s.opsKeyID, it->keyID, 8);
            s.order = size_t(m_onePass.rend() - it - 1);
        } else if (m_clearText) {
            auto lane = m_clearLanes.find(s.info.hashAlg);
            if (parsed && lane != m_clearLanes.end())
                s.lane = int64_t(lane->second);
        } else if (parsed && rfc4880::hashName(s.info.hashAlg) != nullptr) {
            // Before the data (an old-style signed message) or alone (a detached signature).
            s.lane = int64_t(m_hasher.addLane(s.info.hashAlg, s.info.type == 1));
        }
        if (!parsed)
            s.lane = -1;
        if (!s.fromOnePass)
            s.order = kMaxSignatureOrder + m_signatures.size();
        m_signatures.push_back(std::move(s));
    }

    // ---- encrypted data ----

    void encrypted(InStream& in, const PacketHeader& h, const std::vector<std::string>& pkesks,
                   const std::vector<std::string>& skesks, int depth, int compressedLayers) {
        m_result.info.kinds |= kZAFMessageKind_Encrypted;
        bool mdc = h.tag == kTagSEIPD;
        PacketBody body(in, h);
        if (mdc) {
            int version = body.byte();
            if (version < 0)
                fail(kZAFError_Truncated);
            if (version != 1)
                fail(kZAFError_UnsupportedAlg);
        } else if (!m_params.allowMissingMDC) {
            fail(kZAFError_MissingMDC);
        }
        // The random prefix: a block and two check bytes (18 bytes for the largest block).
        uint8_t prefix[18];
        size_t prefixLength = body.read(prefix, sizeof prefix);
        SessionKey sk = openSession(pkesks, skesks, prefix, prefixLength, mdc);
        auto cfb = std::make_unique<Cfb>(sk.algorithm, sk.key.data(), sk.key.size());
        size_t bs = cfb->blockSize();
        uint8_t plain[18];
        cfb->decrypt(prefix, plain, bs + 2);
        size_t lane = 63;
        if (mdc) {
            lane = m_hasher.addLane(2, false); // SHA-1
            m_hasher.submit(uint64_t(1) << lane, plain, bs + 2);
        } else {
            // The old packet starts a new block after the check bytes.
            cfb->resync(prefix + 2);
            warn(kZAFMessageWarning_NoMDC, nullptr);
        }
        m_result.info.mdc = kZAFMDC_None;
        std::string ahead(reinterpret_cast<const char*>(prefix) + bs + 2, prefixLength - bs - 2);
        Decryptor dec(std::move(cfb), body, std::move(ahead), mdc, m_hasher, lane, m_result);
        sequence(dec, depth + 1, compressedLayers);
        dec.skipAll();
    }

    // Finds the session key: held secret keys named by the message first (unprotected ones
    // before those that need a passphrase), then keys tried for hidden recipients, then the
    // passphrase. Each candidate must pass the check bytes of the encrypted data's prefix.
    SessionKey openSession(const std::vector<std::string>& pkesks,
                           const std::vector<std::string>& skesks, const uint8_t* prefix,
                           size_t prefixLength, bool mdc) {
        (void)mdc;
        bool keyTried = false;
        bool wrongPassphrase = false;
        bool unknownCipher = false;
        SessionKey found;
        auto quickCheck = [&](const SessionKey& sk) {
            size_t keyLength = cipherKeyLength(sk.algorithm);
            // A session key for a cipher we do not have: said so if nothing else opens it.
            unknownCipher = unknownCipher || keyLength == 0;
            if (keyLength == 0 || sk.key.size() != keyLength)
                return false;
            Cfb cfb(sk.algorithm, sk.key.data(), sk.key.size());
            size_t bs = cfb.blockSize();
            if (prefixLength < bs + 2)
                fail(kZAFError_Truncated);
            uint8_t plain[18];
            cfb.decrypt(prefix, plain, bs + 2);
            return plain[bs - 2] == plain[bs] && plain[bs - 1] == plain[bs + 1];
        };

        // Candidates: (packet, key, object) for every PKESK we may open.
        struct Candidate {
            size_t packet;
            Key* key;
            uint32_t object;
            bool needsPassphrase;
        };
        std::vector<Candidate> candidates;
        ZAFKeyDB* db = m_params.keyDB;
        for (size_t i = 0; i < pkesks.size(); ++i) {
            const std::string& p = pkesks[i];
            if (p.size() < 10 || p[0] != 3)
                fail(kZAFError_CorruptData);
            const uint8_t* id = reinterpret_cast<const uint8_t*>(p.data()) + 1;
            uint8_t alg = uint8_t(p[9]);
            static const uint8_t kZero[8] = {};
            bool hidden = std::memcmp(id, kZero, 8) == 0;
            ZAFMessageRecipient r{};
            r.keyID = keyIDOf(id, alg);
            r.algorithm = alg;
            auto add = [&](Key* k, const ZAFKeyDBObj& o) {
                std::string_view sec = secretPacketBody(*k, o);
                if (sec.empty())
                    return false;
                rfc4880::KeyInfo info;
                bool needs = rfc4880::parseKeyPacket(sec, info, false) &&
                             info.publicLength < sec.size() && sec[info.publicLength] != 0;
                candidates.push_back({i, k, o.index, needs});
                return true;
            };
            if (!hidden && db) {
                Key* k = db->findByKeyID(id);
                if (k)
                    for (const ZAFKeyDBObj& o : k->objs)
                        if ((o.type == kZAFKeyDBObjType_Key || o.type == kZAFKeyDBObjType_SubKey) &&
                            std::memcmp(o.keyID, id, 8) == 0 && add(k, o))
                            r.flags |= kZAFRecipient_Held;
            } else if (db) {
                size_t tried = 0;
                for (const KeyPtr& k : db->keys)
                    for (const ZAFKeyDBObj& o : k->objs)
                        if ((o.type == kZAFKeyDBObjType_Key || o.type == kZAFKeyDBObjType_SubKey) &&
                            o.algorithm == alg && k->hasSecret() && tried < kMaxHiddenCandidates &&
                            add(k.get(), o))
                            ++tried;
            }
            m_result.recipients.push_back(r);
        }
        std::stable_sort(candidates.begin(), candidates.end(),
                         [](const Candidate& a, const Candidate& b) {
                             return !a.needsPassphrase && b.needsPassphrase;
                         });

        std::map<std::pair<Key*, uint32_t>, std::unique_ptr<DecryptionKey>> unlocked;
        std::map<std::pair<Key*, uint32_t>, bool> givenUp;
        for (const Candidate& c : candidates) {
            auto slot = std::make_pair(c.key, c.object);
            if (givenUp[slot])
                continue;
            if (!unlocked[slot]) {
                const ZAFKeyDBObj& o = c.key->objs[c.object];
                std::string_view sec = secretPacketBody(*c.key, o);
                ZAFError err = kZAFError_BadPassphrase;
                if (!c.needsPassphrase) {
                    err = unlockDecryptionKey(sec, "", unlocked[slot]);
                } else {
                    for (uint32_t attempt = 1; attempt <= m_params.passphraseAttempts +
                                                              uint32_t(m_params.hasKeyPassphrase) &&
                                               err == kZAFError_BadPassphrase;
                         ++attempt) {
                        ZAFPassphraseRequest req{};
                        req.purpose = kZAFPassphraseFor_SecretKey;
                        req.attempt = attempt;
                        req.key = &c.key->objs[0];
                        req.keyID = keyIDOf(o.keyID, o.algorithm);
                        Secret pass;
                        if (!askPassphrase(m_params, req, m_params.hasKeyPassphrase,
                                           m_params.keyPassphrase, pass)) {
                            if (attempt == 1 && m_params.hasKeyPassphrase)
                                continue;
                            break;
                        }
                        err = unlockDecryptionKey(
                            sec,
                            std::string_view(reinterpret_cast<const char*>(pass.data()),
                                             pass.size()),
                            unlocked[slot]);
                        if (err == kZAFError_BadPassphrase)
                            wrongPassphrase = true;
                    }
                }
                if (err != kZAFError_NoErr) {
                    unlocked.erase(slot);
                    givenUp[slot] = true;
                    continue;
                }
            }
            keyTried = true;
            SessionKey sk;
            if (unlocked[slot]->open(pkesks[c.packet], sk) && quickCheck(sk)) {
                const ZAFKeyDBObj& o = c.key->objs[c.object];
                m_result.info.openedBy = kZAFOpenedBy_Key;
                m_result.info.decryptionKeyID = keyIDOf(o.keyID, o.algorithm);
                m_result.recipients[c.packet].flags |= kZAFRecipient_Opened;
                m_result.info.cipher = sk.algorithm;
                return sk;
            }
        }
        for (const std::string& s : skesks) {
            for (uint32_t attempt = 1;
                 attempt <= m_params.passphraseAttempts + uint32_t(m_params.hasPassphrase);
                 ++attempt) {
                ZAFPassphraseRequest req{};
                req.purpose = kZAFPassphraseFor_Message;
                req.attempt = attempt;
                Secret pass;
                if (!askPassphrase(m_params, req, m_params.hasPassphrase, m_params.passphrase,
                                   pass)) {
                    if (attempt == 1 && m_params.hasPassphrase)
                        continue;
                    break;
                }
                SessionKey sk;
                ZAFError err = openSKESK(
                    s, std::string_view(reinterpret_cast<const char*>(pass.data()), pass.size()),
                    sk);
                if (err == kZAFError_NoErr && quickCheck(sk)) {
                    m_result.info.openedBy = kZAFOpenedBy_Passphrase;
                    m_result.info.cipher = sk.algorithm;
                    return sk;
                }
                if (err != kZAFError_NoErr && err != kZAFError_BadPassphrase)
                    fail(err);
                wrongPassphrase = true;
            }
        }
        if (unknownCipher)
            fail(kZAFError_UnsupportedCipher);
        if (keyTried)
            fail(kZAFError_DecryptionFailed);
        fail(wrongPassphrase ? ZAFError(kZAFError_BadPassphrase)
                             : ZAFError(kZAFError_NoDecryptionKey));
    }

    // ---- the end ----

    void finishMessage(ZAFMessageSource* signedData) {
        for (const OnePass& o : m_onePass)
            if (!o.paired)
                fail(kZAFError_Truncated);
        if (!m_literalSeen && !m_signatures.empty()) {
            // Signatures alone: a detached signature over the caller's data.
            if (!m_onePass.empty())
                fail(kZAFError_Truncated);
            if (signedData == nullptr)
                fail(kZAFError_NoSignedData);
            m_result.info.kinds |= kZAFMessageKind_Detached;
            uint64_t mask = activeLanes();
            SourceStream data(*signedData, &m_hasher);
            for (ByteView v = data.next(); !v.empty(); v = data.next())
                m_hasher.submit(mask, v.data, v.size);
            m_hasher.drain();
        } else if (signedData != nullptr) {
            fail(kZAFError_ConflictingOptions);
        }
        if (!m_literalSeen && m_signatures.empty())
            fail(kZAFError_NotAMessage);
        m_hasher.drain();
        std::stable_sort(m_signatures.begin(), m_signatures.end(),
                         [](const Signature& a, const Signature& b) { return a.order < b.order; });
        bool anyBad = false;
        for (Signature& s : m_signatures) {
            ZAFMessageSignature out = check(s);
            anyBad = anyBad || out.status == kZAFSigStatus_Bad;
            m_result.signatures.push_back(out);
        }
        if (anyBad)
            fail(kZAFError_BadSignature);
    }

    ZAFMessageSignature check(Signature& s) {
        ZAFMessageSignature out{};
        out.validity = -1;
        const rfc4880::SigInfo& sig = s.info;
        out.hashAlgorithm = sig.hashAlg ? sig.hashAlg : s.opsHash;
        out.publicKeyAlgorithm = sig.pkAlg ? sig.pkAlg : s.opsAlg;
        out.signatureType = sig.version ? sig.type : s.opsType;
        out.signerKeyID = keyIDOf(sig.hasIssuer ? sig.issuer : s.opsKeyID, out.publicKeyAlgorithm);
        out.created = sig.created;
        out.expires = sig.sigExpireSecs ? sig.created + sig.sigExpireSecs : 0;
        if (sig.version == 0) {
            out.status = kZAFSigStatus_Bad; // not a signature we can read
            return out;
        }
        if (sig.version != 4 && sig.version != 3) {
            out.status = kZAFSigStatus_Unsupported;
            return out;
        }
        if (sig.type != 0 && sig.type != 1) {
            out.status = kZAFSigStatus_Unsupported;
            return out;
        }
        // A one-pass signature must be what its header announced; the data was hashed that way.
        if (s.fromOnePass &&
            (sig.hashAlg != s.opsHash || sig.type != s.opsType || sig.pkAlg != s.opsAlg)) {
            out.status = kZAFSigStatus_Bad;
            return out;
        }
        if (s.lane < 0) {
            out.status =
                rfc4880::hashName(sig.hashAlg) ? kZAFSigStatus_Bad : kZAFSigStatus_Unsupported;
            return out;
        }
        if (sig.version == 4)
            for (const auto& sp : edit::hashedSubpackets(s.body))
                if ((sp.first & 0x80) && !knownSubpacket(sp.first & 0x7F)) {
                    out.status = kZAFSigStatus_Bad;
                    return out;
                }
        std::string trailer;
        if (sig.version == 4) {
            trailer.assign(s.body, 0, sig.hashedEnd);
            uint32_t n = uint32_t(sig.hashedEnd);
            const char t[6] = {4, char(0xFF), char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
            trailer.append(t, 6);
        } else {
            trailer.assign(sig.hashedV3);
        }
        std::vector<uint8_t> digest =
            m_hasher.lane(size_t(s.lane))
                .finish(reinterpret_cast<const uint8_t*>(trailer.data()), trailer.size());
        if (digest.size() < 2 || digest[0] != sig.left16[0] || digest[1] != sig.left16[1]) {
            out.status = kZAFSigStatus_Bad;
            return out;
        }
        Key* signer =
            m_params.keyDB && sig.hasIssuer ? m_params.keyDB->findByKeyID(sig.issuer) : nullptr;
        if (signer == nullptr) {
            out.status = kZAFSigStatus_KeyNotHeld;
            return out;
        }
        const ZAFKeyDBObj* signing = nullptr;
        for (const ZAFKeyDBObj& o : signer->objs)
            if ((o.type == kZAFKeyDBObjType_Key || o.type == kZAFKeyDBObjType_SubKey) &&
                std::memcmp(o.keyID, sig.issuer, 8) == 0)
                signing = &o;
        // A subkey speaks for its key only when the key model grants it signing (a verified
        // binding that allows it, with a verified back signature); one that may not is treated
        // like a subkey the key does not have.
        if (signing == nullptr ||
            (signing->type == kZAFKeyDBObjType_SubKey && (signing->usage & kUsageSign) == 0)) {
            out.status = kZAFSigStatus_KeyNotHeld;
            return out;
        }
        // The primary key's own flags decide as well: a key made to certify only does not sign
        // data, and a signature it made is not taken as the key's word.
        if (signing->type == kZAFKeyDBObjType_Key && !primarySigns(*signer)) {
            out.fingerprintLength = signer->fingerprintLength;
            std::memcpy(out.fingerprint, signer->fingerprint, signer->fingerprintLength);
            out.key = &signer->objs[0];
            out.validity = validity(signer);
            out.status = kZAFSigStatus_WrongKeyUsage;
            return out;
        }
        uint8_t alg = 0;
        std::string_view keyBody = signingKeyBody(*signer, sig.issuer, alg);
        out.fingerprintLength = signer->fingerprintLength;
        std::memcpy(out.fingerprint, signer->fingerprint, signer->fingerprintLength);
        out.key = &signer->objs[0];
        out.validity = validity(signer);
        if (keyBody.empty() || alg != sig.pkAlg ||
            !verifyWithKey(keyBody, sig.hashAlg, digest.data(), digest.size(), sig)) {
            out.status = kZAFSigStatus_Bad;
            return out;
        }
        out.status = kZAFSigStatus_Good;
        auto prop = [](const ZAFKeyDBObj* o, int32_t p) {
            ZAFBoolean v = 0;
            ZAFGetKeyDBObjBooleanProperty(const_cast<ZAFKeyDBObj*>(o), p, &v);
            return v != 0;
        };
        bool sub = signing && signing->type == kZAFKeyDBObjType_SubKey;
        uint32_t keyExpires = signer->expiration;
        uint32_t subExpires = sub ? signing->expiration : 0;
        if (prop(&signer->objs[0], kZAFKeyProperty_IsRevoked) ||
            (sub && prop(signing, kZAFSubKeyProperty_IsRevoked)))
            out.status = kZAFSigStatus_KeyRevoked;
        else if ((keyExpires != 0 && keyExpires <= sig.created) ||
                 (subExpires != 0 && subExpires <= sig.created))
            out.status = kZAFSigStatus_KeyExpired;
        else if (out.expires != 0 && out.expires <= now())
            out.status = kZAFSigStatus_SigExpired;
        return out;
    }

    // The trust model's validity of a signer; the web is worked out once per call.
    int32_t validity(Key* key) {
        if (!m_trustDone) {
            m_trustDone = true;
            ZAFCalculateTrust(ZAFPeekKeyDBRootKeySet(m_params.keyDB), m_params.keyDB);
        }
        return key->validity;
    }

    void warn(int32_t code, const ZAFKeyID* id) {
        ZAFKeyID k{};
        if (id)
            k = *id;
        m_result.warnings.emplace_back(code, k);
    }

    ZAFMessageParams& m_params;
    ZAFMessageResult& m_result;
    Hasher m_hasher;
    std::unique_ptr<SinkStream> m_out;
    std::unique_ptr<HeldOutput> m_held;
    OutStream* m_target = nullptr; // where literal data goes: the held output or the sink
    ExpansionBudget m_budget;
    std::vector<OnePass> m_onePass;
    std::vector<Signature> m_signatures;
    std::map<uint8_t, size_t> m_clearLanes;
    bool m_literalSeen = false;
    bool m_clearText = false;
    bool m_signaturesOnly = false;
    bool m_anyPacket = false;
    bool m_trustDone = false;
};

} // namespace

void decodeMessage(ZAFMessageParams& params, ZAFMessageSource& input, ZAFMessageSource* signedData,
                   ZAFMessageSink* output, ZAFMessageResult& result) {
    Decoder decoder(params, result, output);
    decoder.run(input, signedData);
}

} // namespace zaf::msg
