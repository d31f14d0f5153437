// packets: the RFC 4880 packet layer: headers, key packets, signatures, fingerprints.
#include "packets.h"

#include <botan/hash.h>

#include <cstring>

namespace zaf::rfc4880 {

namespace {

uint32_t be32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

bool partialAllowed(uint8_t tag) {
    return tag == 8 || tag == 9 || tag == 11 || tag == 18 || tag == 20;
}

// New-format body length at p (avail bytes). Sets `headerBytes` and `partial`.
bool newLength(const uint8_t* p, size_t avail, uint64_t& len, size_t& headerBytes, bool& partial) {
    partial = false;
    if (avail < 1)
        return false;
    uint8_t b0 = p[0];
    if (b0 < 192) {
        len = b0;
        headerBytes = 1;
    } else if (b0 < 224) {
        if (avail < 2)
            return false;
        len = ((uint64_t(b0) - 192) << 8) + p[1] + 192;
        headerBytes = 2;
    } else if (b0 == 255) {
        if (avail < 5)
            return false;
        len = be32(p + 1);
        headerBytes = 5;
    } else {
        len = uint64_t(1) << (b0 & 0x1F);
        headerBytes = 1;
        partial = true;
    }
    return true;
}

} // namespace

bool readPacket(const uint8_t* data, size_t size, size_t offset, RawPacket& out,
                std::string& scratch) {
    if (offset >= size)
        return false;
    const uint8_t* p = data + offset;
    size_t avail = size - offset;
    uint8_t ctb = p[0];
    if (!(ctb & 0x80))
        return false;
    out = RawPacket();
    out.offset = offset;
    if (ctb & 0x40) {
        out.newFormat = true;
        out.tag = ctb & 0x3F;
        uint64_t len = 0;
        size_t hb = 0;
        bool partial = false;
        if (!newLength(p + 1, avail - 1, len, hb, partial))
            return false;
        size_t pos = 1 + hb;
        if (!partial) {
            if (len > avail - pos || len > kMaxPacketBody)
                return false;
            out.body = std::string_view(reinterpret_cast<const char*>(p + pos), size_t(len));
            out.total = pos + size_t(len);
            return true;
        }
        // Partial chunks: the first must be at least 512 bytes, the last is a plain length.
        if (!partialAllowed(out.tag) || len < 512)
            return false;
        out.partial = true;
        scratch.clear();
        for (;;) {
            if (len > avail - pos || scratch.size() + len > kMaxPacketBody)
                return false;
            scratch.append(reinterpret_cast<const char*>(p + pos), size_t(len));
            pos += size_t(len);
            if (!partial)
                break;
            if (!newLength(p + pos, avail - pos, len, hb, partial))
                return false;
            pos += hb;
        }
        out.body = scratch;
        out.total = pos;
        return true;
    }
    out.tag = (ctb >> 2) & 0x0F;
    uint8_t lt = ctb & 3;
    if (lt == 3)
        return false; // indeterminate length: never valid inside key material
    size_t hb = lt == 0 ? 1 : lt == 1 ? 2 : 4;
    if (avail < 1 + hb)
        return false;
    uint64_t len = 0;
    for (size_t i = 0; i < hb; ++i)
        len = (len << 8) | p[1 + i];
    size_t pos = 1 + hb;
    if (len > avail - pos || len > kMaxPacketBody)
        return false;
    out.body = std::string_view(reinterpret_cast<const char*>(p + pos), size_t(len));
    out.total = pos + size_t(len);
    return true;
}

uint8_t rawTag(const std::string& raw) {
    uint8_t ctb = uint8_t(raw[0]);
    return (ctb & 0x40) ? ctb & 0x3F : (ctb >> 2) & 0x0F;
}

std::string_view rawBody(const std::string& raw) {
    RawPacket rp;
    std::string scratch;
    if (!readPacket(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), 0, rp, scratch) ||
        rp.partial)
        return {};
    return rp.body;
}

void writeHeader(std::string& out, uint8_t tag, size_t length, bool newFormat) {
    if (newFormat || tag > 15) {
        out.push_back(char(0xC0 | tag));
        if (length < 192) {
            out.push_back(char(length));
        } else if (length < 8384) {
            size_t l = length - 192;
            out.push_back(char((l >> 8) + 192));
            out.push_back(char(l & 0xFF));
        } else {
            out.push_back(char(0xFF));
            for (int s = 24; s >= 0; s -= 8)
                out.push_back(char((length >> s) & 0xFF));
        }
        return;
    }
    if (length < 256) {
        out.push_back(char(0x80 | (tag << 2)));
        out.push_back(char(length));
    } else if (length < 65536) {
        out.push_back(char(0x80 | (tag << 2) | 1));
        out.push_back(char(length >> 8));
        out.push_back(char(length & 0xFF));
    } else {
        out.push_back(char(0x80 | (tag << 2) | 2));
        for (int s = 24; s >= 0; s -= 8)
            out.push_back(char((length >> s) & 0xFF));
    }
}

void writePacket(std::string& out, uint8_t tag, std::string_view body, bool newFormat) {
    writeHeader(out, tag, body.size(), newFormat);
    out.append(body);
}

bool readMpi(std::string_view data, size_t& pos, Mpi& out) {
    if (data.size() < 2 || pos > data.size() - 2)
        return false;
    uint16_t bits = uint16_t((uint8_t(data[pos]) << 8) | uint8_t(data[pos + 1]));
    size_t bytes = (size_t(bits) + 7) / 8;
    if (bytes > data.size() - pos - 2)
        return false;
    out.bits = bits;
    out.bytes = data.substr(pos + 2, bytes);
    pos += 2 + bytes;
    return true;
}

void appendMpi(std::string& out, const uint8_t* bytes, size_t n) {
    while (n > 0 && bytes[0] == 0) {
        ++bytes;
        --n;
    }
    size_t bits = 0;
    if (n) {
        for (uint8_t top = bytes[0]; top; top = uint8_t(top >> 1))
            ++bits;
        bits += (n - 1) * 8;
    }
    out.push_back(char(bits >> 8));
    out.push_back(char(bits & 0xFF));
    out.append(reinterpret_cast<const char*>(bytes), n);
}

bool readMpis(std::string_view data, size_t maxCount, std::vector<Mpi>& out) {
    out.clear();
    size_t pos = 0;
    while (pos < data.size() && out.size() < maxCount) {
        Mpi m;
        if (!readMpi(data, pos, m))
            return false;
        out.push_back(m);
    }
    return true;
}

bool isRSA(uint8_t alg) { return alg == 1 || alg == 2 || alg == 3; }
bool isDSA(uint8_t alg) { return alg == 17; }
bool isElGamal(uint8_t alg) { return alg == 16 || alg == 20; }
bool canAlgSign(uint8_t alg) {
    return alg == 1 || alg == 3 || alg == 17 || alg == 19 || alg == 22 || alg == 20;
}
bool canAlgEncrypt(uint8_t alg) {
    return alg == 1 || alg == 2 || alg == 16 || alg == 18 || alg == 20;
}

namespace {

uint32_t mpiBits(const Mpi& m) {
    // The stored bit count may lie; count from the bytes themselves.
    size_t i = 0;
    while (i < m.bytes.size() && m.bytes[i] == 0)
        ++i;
    if (i == m.bytes.size())
        return 0;
    uint8_t top = uint8_t(m.bytes[i]);
    uint32_t b = 0;
    while (top) {
        ++b;
        top >>= 1;
    }
    return uint32_t((m.bytes.size() - i - 1) * 8 + b);
}

struct CurveBits {
    const char* oid;
    size_t len;
    uint32_t bits;
};
const CurveBits kCurves[] = {
    {"\x2A\x86\x48\xCE\x3D\x03\x01\x07", 8, 256},         // NIST P-256
    {"\x2B\x81\x04\x00\x22", 5, 384},                     // NIST P-384
    {"\x2B\x81\x04\x00\x23", 5, 521},                     // NIST P-521
    {"\x2B\x24\x03\x03\x02\x08\x01\x01\x07", 9, 256},     // brainpool P256r1
    {"\x2B\x24\x03\x03\x02\x08\x01\x01\x0B", 9, 384},     // brainpool P384r1
    {"\x2B\x24\x03\x03\x02\x08\x01\x01\x0D", 9, 512},     // brainpool P512r1
    {"\x2B\x06\x01\x04\x01\xDA\x47\x0F\x01", 9, 256},     // Ed25519
    {"\x2B\x06\x01\x04\x01\x97\x55\x01\x05\x01", 10, 256} // Curve25519
};

uint32_t curveBits(std::string_view oid) {
    for (const CurveBits& c : kCurves)
        if (oid.size() == c.len && std::memcmp(oid.data(), c.oid, c.len) == 0)
            return c.bits;
    return 0;
}

} // namespace

bool parseKeyPacket(std::string_view body, KeyInfo& out, bool computeFingerprint) {
    out = KeyInfo();
    if (body.size() < 1)
        return false;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(body.data());
    out.version = p[0];
    size_t pos = 0;
    if (out.version == 2 || out.version == 3) {
        if (body.size() < 8)
            return false;
        out.created = be32(p + 1);
        out.v3ValidDays = uint16_t((p[5] << 8) | p[6]);
        out.algorithm = p[7];
        pos = 8;
    } else if (out.version == 4) {
        if (body.size() < 6)
            return false;
        out.created = be32(p + 1);
        out.algorithm = p[5];
        pos = 6;
    } else {
        return false;
    }
    size_t nMpis = 0;
    bool ec = false;
    switch (out.algorithm) {
    case 1:
    case 2:
    case 3:
        nMpis = 2;
        break;
    case 16:
    case 20:
        nMpis = 3;
        break;
    case 17:
        nMpis = 4;
        break;
    case 18:
    case 19:
    case 22:
        ec = true;
        nMpis = 1;
        break;
    default:
        break;
    }
    if (nMpis == 0 || (out.version != 4 && !isRSA(out.algorithm))) {
        // Unknown algorithm: keep it opaque; the whole body counts as its public part.
        out.publicLength = body.size();
    } else {
        if (ec) {
            if (pos >= body.size())
                return false;
            size_t oidLen = p[pos];
            if (oidLen == 0 || oidLen == 0xFF || oidLen > body.size() - pos - 1)
                return false;
            out.curveOid = body.substr(pos + 1, oidLen);
            pos += 1 + oidLen;
        }
        for (size_t i = 0; i < nMpis; ++i) {
            Mpi m;
            if (!readMpi(body, pos, m))
                return false;
            out.mpis.push_back(m);
        }
        if (out.algorithm == 18) {
            if (pos >= body.size())
                return false;
            size_t kdfLen = p[pos];
            if (kdfLen > body.size() - pos - 1)
                return false;
            out.kdfParams = body.substr(pos + 1, kdfLen);
            pos += 1 + kdfLen;
        }
        out.publicLength = pos;
        out.known = true;
        out.bits = ec ? curveBits(out.curveOid) : mpiBits(out.mpis[0]);
        if (ec && out.bits == 0)
            out.bits = mpiBits(out.mpis[0]);
    }
    if (!computeFingerprint)
        return true;
    if (out.version == 4) {
        auto sha1 = Botan::HashFunction::create_or_throw("SHA-1");
        uint8_t hdr[3] = {0x99, uint8_t(out.publicLength >> 8), uint8_t(out.publicLength)};
        if (out.publicLength > 0xFFFF)
            return false;
        sha1->update(hdr, 3);
        sha1->update(p, out.publicLength);
        sha1->final(out.fingerprint);
        out.fingerprintLength = 20;
        std::memcpy(out.keyID, out.fingerprint + 12, 8);
    } else if (out.known) {
        // Legacy keys: MD5 over the modulus and exponent bytes; the ID is the modulus' low bits.
        auto md5 = Botan::HashFunction::create_or_throw("MD5");
        md5->update(reinterpret_cast<const uint8_t*>(out.mpis[0].bytes.data()),
                    out.mpis[0].bytes.size());
        md5->update(reinterpret_cast<const uint8_t*>(out.mpis[1].bytes.data()),
                    out.mpis[1].bytes.size());
        md5->final(out.fingerprint);
        out.fingerprintLength = 16;
        std::string_view n = out.mpis[0].bytes;
        size_t take = n.size() < 8 ? n.size() : 8;
        std::memcpy(out.keyID + 8 - take, n.data() + n.size() - take, take);
    } else {
        // Opaque legacy material: any stable digest keeps such keys apart.
        auto md5 = Botan::HashFunction::create_or_throw("MD5");
        md5->update(p, body.size());
        md5->final(out.fingerprint);
        out.fingerprintLength = 16;
        std::memcpy(out.keyID, out.fingerprint + 8, 8);
    }
    return true;
}

namespace {

bool parseSubpackets(std::string_view area, size_t base, SigInfo& out, bool hashed) {
    size_t pos = 0;
    const uint8_t* p = reinterpret_cast<const uint8_t*>(area.data());
    (void)base;
    while (pos < area.size()) {
        size_t len = 0;
        uint8_t b0 = p[pos];
        if (b0 < 192) {
            len = b0;
            pos += 1;
        } else if (b0 < 255) {
            if (area.size() - pos < 2)
                return false;
            len = ((size_t(b0) - 192) << 8) + p[pos + 1] + 192;
            pos += 2;
        } else {
            if (area.size() - pos < 5)
                return false;
            len = be32(p + pos + 1);
            pos += 5;
        }
        if (len == 0 || len > area.size() - pos)
            return false;
        uint8_t type = p[pos] & 0x7F;
        std::string_view b = area.substr(pos + 1, len - 1);
        const uint8_t* q = reinterpret_cast<const uint8_t*>(b.data());
        pos += len;
        // The issuer may sit in the unhashed area; everything else counts only when hashed.
        if (type == 16 && b.size() >= 8) {
            std::memcpy(out.issuer, q, 8);
            out.hasIssuer = true;
            continue;
        }
        if (type == 33 && b.size() >= 21 && b[0] == 4 && !out.hasIssuer) {
            std::memcpy(out.issuer, q + 13, 8);
            out.hasIssuer = true;
            continue;
        }
        if (type == 32) {
            // A back signature is itself signed, so it may sit in either area.
            out.embedded = b;
            continue;
        }
        if (!hashed)
            continue;
        switch (type) {
        case 2:
            if (b.size() >= 4)
                out.created = be32(q);
            break;
        case 3:
            if (b.size() >= 4)
                out.sigExpireSecs = be32(q);
            break;
        case 4:
            if (b.size() >= 1)
                out.exportable = q[0] != 0;
            break;
        case 5:
            if (b.size() >= 2) {
                out.trustDepth = q[0];
                out.trustAmount = q[1];
            }
            break;
        case 6:
            out.regexp = b;
            break;
        case 7:
            if (b.size() >= 1)
                out.revocable = q[0] != 0;
            break;
        case 9:
            if (b.size() >= 4) {
                out.keyExpireSecs = be32(q);
                out.hasKeyExpire = true;
            }
            break;
        case 10:
            if (b.size() >= 22)
                out.adks.push_back(b);
            break;
        case 11:
            out.prefSymmetric = b;
            break;
        case 12:
            if (b.size() >= 22)
                out.revokers.push_back(b);
            break;
        case 21:
            out.prefHash = b;
            break;
        case 25:
            if (b.size() >= 1)
                out.primaryUserID = q[0] != 0;
            break;
        case 27:
            if (b.size() >= 1) {
                out.hasKeyFlags = true;
                out.keyFlags = q[0];
            }
            break;
        case 29:
            if (b.size() >= 1)
                out.revocationReason = q[0];
            break;
        default:
            break;
        }
    }
    return true;
}

size_t sigMpiCount(uint8_t alg) {
    switch (alg) {
    case 1:
    case 2:
    case 3:
        return 1;
    case 16:
    case 17:
    case 19:
    case 20:
    case 22:
        return 2;
    default:
        return 0;
    }
}

} // namespace

bool parseSignature(std::string_view body, SigInfo& out) {
    out = SigInfo();
    const uint8_t* p = reinterpret_cast<const uint8_t*>(body.data());
    if (body.size() < 1)
        return false;
    out.version = p[0];
    size_t pos = 0;
    if (out.version == 3 || out.version == 2) {
        if (body.size() < 19 || p[1] != 5)
            return false;
        out.type = p[2];
        out.created = be32(p + 3);
        out.hashedV3 = body.substr(2, 5);
        std::memcpy(out.issuer, p + 7, 8);
        out.hasIssuer = true;
        out.pkAlg = p[15];
        out.hashAlg = p[16];
        out.left16[0] = p[17];
        out.left16[1] = p[18];
        pos = 19;
    } else if (out.version == 4) {
        if (body.size() < 6)
            return false;
        out.type = p[1];
        out.pkAlg = p[2];
        out.hashAlg = p[3];
        size_t hl = (size_t(p[4]) << 8) | p[5];
        if (hl > body.size() - 6)
            return false;
        if (!parseSubpackets(body.substr(6, hl), 6, out, true))
            return false;
        out.hashedEnd = 6 + hl;
        pos = out.hashedEnd;
        if (body.size() - pos < 2)
            return false;
        size_t ul = (size_t(p[pos]) << 8) | p[pos + 1];
        pos += 2;
        if (ul > body.size() - pos)
            return false;
        if (!parseSubpackets(body.substr(pos, ul), pos, out, false))
            return false;
        pos += ul;
        if (body.size() - pos < 2)
            return false;
        out.left16[0] = p[pos];
        out.left16[1] = p[pos + 1];
        pos += 2;
    } else {
        return false;
    }
    size_t n = sigMpiCount(out.pkAlg);
    for (size_t i = 0; i < n; ++i) {
        Mpi m;
        if (!readMpi(body, pos, m))
            return false;
        out.mpis.push_back(m);
    }
    return true;
}

std::string_view firstAttributeSubpacket(std::string_view body) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(body.data());
    if (body.empty())
        return {};
    size_t len = 0, pos = 0;
    if (p[0] < 192) {
        len = p[0];
        pos = 1;
    } else if (p[0] < 255) {
        if (body.size() < 2)
            return {};
        len = ((size_t(p[0]) - 192) << 8) + p[1] + 192;
        pos = 2;
    } else {
        if (body.size() < 5)
            return {};
        len = be32(p + 1);
        pos = 5;
    }
    if (len == 0 || len > body.size() - pos)
        return {};
    return body.substr(pos, len);
}

void appendSubpacket(std::string& out, uint8_t type, std::string_view body) {
    size_t len = body.size() + 1;
    if (len < 192) {
        out.push_back(char(len));
    } else if (len < 8384) {
        size_t l = len - 192;
        out.push_back(char((l >> 8) + 192));
        out.push_back(char(l & 0xFF));
    } else {
        out.push_back(char(0xFF));
        for (int s = 24; s >= 0; s -= 8)
            out.push_back(char((len >> s) & 0xFF));
    }
    out.push_back(char(type));
    out.append(body);
}

const char* hashName(uint8_t alg) {
    switch (alg) {
    case 1:
        return "MD5";
    case 2:
        return "SHA-1";
    case 3:
        return "RIPEMD-160";
    case 8:
        return "SHA-256";
    case 9:
        return "SHA-384";
    case 10:
        return "SHA-512";
    case 11:
        return "SHA-224";
    default:
        return nullptr;
    }
}

std::string_view digestInfoPrefix(uint8_t alg) {
    switch (alg) {
    case 1:
        return {"\x30\x20\x30\x0C\x06\x08\x2A\x86\x48\x86\xF7\x0D\x02\x05\x05\x00\x04\x10", 18};
    case 2:
        return {"\x30\x21\x30\x09\x06\x05\x2B\x0E\x03\x02\x1A\x05\x00\x04\x14", 15};
    case 3:
        return {"\x30\x21\x30\x09\x06\x05\x2B\x24\x03\x02\x01\x05\x00\x04\x14", 15};
    case 8:
        return {"\x30\x31\x30\x0D\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20", 19};
    case 9:
        return {"\x30\x41\x30\x0D\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x02\x05\x00\x04\x30", 19};
    case 10:
        return {"\x30\x51\x30\x0D\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x03\x05\x00\x04\x40", 19};
    case 11:
        return {"\x30\x2D\x30\x0D\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x04\x05\x00\x04\x1C", 19};
    default:
        return {};
    }
}

const char* cipherName(uint8_t alg, size_t& keyLength, size_t& blockSize) {
    blockSize = 8;
    switch (alg) {
    case 1:
        keyLength = 16;
        return "IDEA";
    case 2:
        keyLength = 24;
        return "TripleDES";
    case 3:
        keyLength = 16;
        return "CAST-128";
    case 4:
        keyLength = 16;
        return "Blowfish";
    case 7:
        keyLength = 16;
        blockSize = 16;
        return "AES-128";
    case 8:
        keyLength = 24;
        blockSize = 16;
        return "AES-192";
    case 9:
        keyLength = 32;
        blockSize = 16;
        return "AES-256";
    case 10:
        keyLength = 32;
        blockSize = 16;
        return "Twofish";
    case 11:
        keyLength = 16;
        blockSize = 16;
        return "Camellia-128";
    case 12:
        keyLength = 24;
        blockSize = 16;
        return "Camellia-192";
    case 13:
        keyLength = 32;
        blockSize = 16;
        return "Camellia-256";
    default:
        return nullptr;
    }
}

} // namespace zaf::rfc4880
