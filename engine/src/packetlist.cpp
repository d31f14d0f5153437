// packetlist: --packet-list, a description of each RFC 4880 packet of a file, and the removal of
// ASCII armour. Reads outside input: every length is checked against what is left.
#include "engine_internal.h"

#include <oozaf/throwable.h>
#include <oozaf/time.h>
#include <oozaf/util.h>

#include <cstdio>

using namespace oozaf;

namespace orxengine {

namespace {

const char* tagName(unsigned int tag) {
    switch (tag) {
    case 1:
        return "Public-Key Encrypted Session Key";
    case 2:
        return "Signature";
    case 3:
        return "Symmetric-Key Encrypted Session Key";
    case 4:
        return "One-Pass Signature";
    case 5:
        return "Secret-Key";
    case 6:
        return "Public-Key";
    case 7:
        return "Secret-Subkey";
    case 8:
        return "Compressed Data";
    case 9:
        return "Symmetrically Encrypted Data";
    case 10:
        return "Marker";
    case 11:
        return "Literal Data";
    case 12:
        return "Trust";
    case 13:
        return "User ID";
    case 14:
        return "Public-Subkey";
    case 17:
        return "User Attribute";
    case 18:
        return "Sym. Encrypted Integrity Protected Data";
    case 19:
        return "Modification Detection Code";
    default:
        return "Unknown";
    }
}

bool allowsPartial(unsigned int tag) {
    return tag == 8 || tag == 9 || tag == 11 || tag == 18 || tag == 20;
}

unsigned int byteAt(const std::string& d, size_t i) { return static_cast<unsigned char>(d[i]); }

uint32_t be32(const std::string& d, size_t i) {
    return (uint32_t(byteAt(d, i)) << 24) | (uint32_t(byteAt(d, i + 1)) << 16) |
           (uint32_t(byteAt(d, i + 2)) << 8) | uint32_t(byteAt(d, i + 3));
}

std::string hexBytes(const std::string& d, size_t from, size_t count) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = from; i < from + count && i < d.size(); ++i) {
        out += hex[byteAt(d, i) >> 4];
        out += hex[byteAt(d, i) & 15];
    }
    return out;
}

std::string dateText(uint32_t seconds) {
    return seconds == 0 ? "never" : CZAFTime(seconds, 0).formatYMDHMS(false);
}

// What the first bytes of a body say, for the packets worth a closer look.
std::string details(unsigned int tag, const std::string& body) {
    char text[256] = "";
    const size_t n = body.size();
    switch (tag) {
    case 1:
        if (n >= 10)
            std::snprintf(text, sizeof text, "version %u, key ID 0x%s, algorithm %u",
                          byteAt(body, 0), hexBytes(body, 1, 8).c_str(), byteAt(body, 9));
        break;
    case 2:
        if (n >= 4 && byteAt(body, 0) == 4)
            std::snprintf(text, sizeof text, "version 4, type 0x%02X, algorithm %u, hash %u",
                          byteAt(body, 1), byteAt(body, 2), byteAt(body, 3));
        else if (n >= 17 && (byteAt(body, 0) == 3 || byteAt(body, 0) == 2))
            std::snprintf(text, sizeof text,
                          "version %u, type 0x%02X, created %s, key ID 0x%s, algorithm %u, hash %u",
                          byteAt(body, 0), byteAt(body, 2), dateText(be32(body, 3)).c_str(),
                          hexBytes(body, 7, 8).c_str(), byteAt(body, 15), byteAt(body, 16));
        break;
    case 3:
        if (n >= 2)
            std::snprintf(text, sizeof text, "version %u, cipher %u", byteAt(body, 0),
                          byteAt(body, 1));
        break;
    case 4:
        if (n >= 13)
            std::snprintf(text, sizeof text, "type 0x%02X, hash %u, algorithm %u, key ID 0x%s",
                          byteAt(body, 1), byteAt(body, 2), byteAt(body, 3),
                          hexBytes(body, 4, 8).c_str());
        break;
    case 5:
    case 6:
    case 7:
    case 14:
        if (n >= 6 && byteAt(body, 0) == 4)
            std::snprintf(text, sizeof text, "version 4, created %s, algorithm %u",
                          dateText(be32(body, 1)).c_str(), byteAt(body, 5));
        else if (n >= 8)
            std::snprintf(text, sizeof text, "version %u, created %s, algorithm %u",
                          byteAt(body, 0), dateText(be32(body, 1)).c_str(), byteAt(body, 7));
        break;
    case 8:
        if (n >= 1)
            std::snprintf(text, sizeof text, "algorithm %u", byteAt(body, 0));
        break;
    case 11:
        if (n >= 2) {
            const size_t nameLength = std::min<size_t>(byteAt(body, 1), n - 2);
            std::string name = body.substr(2, std::min<size_t>(nameLength, 100));
            for (char& c : name)
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                    c = '?';
            std::snprintf(text, sizeof text, "format '%c', name \"%s\"",
                          byteAt(body, 0) >= 0x20 && byteAt(body, 0) < 0x7F ? body[0] : '?',
                          name.c_str());
        }
        break;
    case 13: {
        std::string uid = body.substr(0, 200);
        for (char& c : uid)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                c = '?';
        return "\"" + uid + "\"" + (n > 200 ? "..." : "");
    }
    default:
        break;
    }
    return text;
}

// ---- the fields of --packet-dump ----

// The bit counts of `count` MPIs from `pos`; false when the body ends first. `pos` moves past them.
bool mpiBits(const std::string& body, size_t& pos, unsigned int count, std::string& out) {
    for (unsigned int i = 0; i < count; ++i) {
        if (pos > body.size() || body.size() - pos < 2)
            return false;
        const unsigned int bits = (byteAt(body, pos) << 8) | byteAt(body, pos + 1);
        const size_t bytes = (bits + 7) / 8;
        if (body.size() - pos - 2 < bytes)
            return false;
        out += (out.empty() ? "" : ", ") + std::to_string(bits);
        pos += 2 + bytes;
    }
    return true;
}

// Skips the length-prefixed curve OID (or KDF parameters) at `pos`.
bool skipPrefixed(const std::string& body, size_t& pos) {
    if (pos >= body.size() || body.size() - pos - 1 < byteAt(body, pos))
        return false;
    pos += 1 + byteAt(body, pos);
    return true;
}

// The end of the public fields of a key packet (the start of its secret part), or 0 when the
// algorithm or the layout is not known; `mpis` receives the public MPIs' bit counts.
size_t publicKeyEnd(const std::string& body, std::string& mpis) {
    if (body.empty())
        return 0;
    const unsigned int version = byteAt(body, 0);
    size_t pos = version == 4 ? 6 : 8;
    if (body.size() < pos)
        return 0;
    const unsigned int alg = byteAt(body, pos - 1);
    switch (alg) {
    case 1:
    case 2:
    case 3:
        return mpiBits(body, pos, 2, mpis) ? pos : 0;
    case 16:
    case 20:
        return mpiBits(body, pos, 3, mpis) ? pos : 0;
    case 17:
        return mpiBits(body, pos, 4, mpis) ? pos : 0;
    case 19:
    case 22:
        return skipPrefixed(body, pos) && mpiBits(body, pos, 1, mpis) ? pos : 0;
    case 18:
        return skipPrefixed(body, pos) && mpiBits(body, pos, 1, mpis) && skipPrefixed(body, pos)
                   ? pos
                   : 0;
    default:
        return 0;
    }
}

const char* subpacketName(unsigned int type) {
    switch (type) {
    case 2:
        return "signature creation time";
    case 3:
        return "signature expiration time";
    case 4:
        return "exportable certification";
    case 5:
        return "trust signature";
    case 6:
        return "regular expression";
    case 7:
        return "revocable";
    case 9:
        return "key expiration time";
    case 10:
        return "additional decryption key";
    case 11:
        return "preferred symmetric algorithms";
    case 12:
        return "revocation key";
    case 16:
        return "issuer";
    case 20:
        return "notation data";
    case 21:
        return "preferred hash algorithms";
    case 22:
        return "preferred compression algorithms";
    case 23:
        return "key server preferences";
    case 24:
        return "preferred key server";
    case 25:
        return "primary user ID";
    case 26:
        return "policy URI";
    case 27:
        return "key flags";
    case 28:
        return "signer's user ID";
    case 29:
        return "reason for revocation";
    case 30:
        return "features";
    case 31:
        return "signature target";
    case 32:
        return "embedded signature";
    case 33:
        return "issuer fingerprint";
    default:
        return "unknown";
    }
}

std::string printableText(const std::string& text, size_t limit) {
    std::string out = text.substr(0, limit);
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return "\"" + out + "\"" + (text.size() > limit ? "..." : "");
}

std::string subpacketValue(unsigned int type, const std::string& v) {
    auto list = [&]() {
        std::string out;
        for (size_t i = 0; i < v.size(); ++i)
            out += (i == 0 ? "" : " ") + std::to_string(byteAt(v, i));
        return out;
    };
    switch (type) {
    case 2:
        return v.size() == 4 ? dateText(be32(v, 0)) : "";
    case 3:
    case 9:
        return v.size() == 4 ? std::to_string(be32(v, 0)) + " seconds" : "";
    case 4:
    case 7:
    case 25:
        return v.size() == 1 ? (byteAt(v, 0) != 0 ? "yes" : "no") : "";
    case 5:
        return v.size() == 2 ? "depth " + std::to_string(byteAt(v, 0)) + ", amount " +
                                   std::to_string(byteAt(v, 1))
                             : "";
    case 6:
    case 24:
    case 26:
    case 28:
        return printableText(v, 200);
    case 10:
    case 12:
        return v.size() == 22
                   ? "class 0x" + hexBytes(v, 0, 1) + ", algorithm " +
                         std::to_string(byteAt(v, 1)) + ", fingerprint " + hexBytes(v, 2, 20)
                   : "";
    case 11:
    case 21:
    case 22:
        return list();
    case 16:
        return v.size() == 8 ? "0x" + hexBytes(v, 0, 8) : "";
    case 23:
    case 27:
    case 30:
        return "0x" + hexBytes(v, 0, std::min<size_t>(v.size(), 8));
    case 29:
        return v.empty() ? ""
                         : "code " + std::to_string(byteAt(v, 0)) + ", " +
                               printableText(v.substr(1), 200);
    case 33:
        return v.empty() ? ""
                         : "version " + std::to_string(byteAt(v, 0)) + ", " +
                               hexBytes(v, 1, std::min<size_t>(v.size() - 1, 32));
    default:
        return std::to_string(v.size()) + " bytes";
    }
}

// The subpackets of one area (hashed or unhashed) of a version 4 signature, one line each.
std::string subpacketLines(const std::string& area, const char* which) {
    std::string out;
    size_t pos = 0;
    while (pos < area.size()) {
        const unsigned int o1 = byteAt(area, pos++);
        size_t length = 0;
        if (o1 < 192) {
            length = o1;
        } else if (o1 < 255) {
            if (pos >= area.size())
                return out + "    (a subpacket length is cut short)\n";
            length = ((size_t(o1) - 192) << 8) + byteAt(area, pos++) + 192;
        } else {
            if (area.size() - pos < 4)
                return out + "    (a subpacket length is cut short)\n";
            length = be32(area, pos);
            pos += 4;
        }
        if (length == 0 || area.size() - pos < length)
            return out + "    (a subpacket is cut short)\n";
        const unsigned int type = byteAt(area, pos) & 0x7F;
        const bool critical = (byteAt(area, pos) & 0x80) != 0;
        const std::string value = area.substr(pos + 1, length - 1);
        std::string line = std::string("    ") + which + " subpacket " + std::to_string(type) +
                           " (" + subpacketName(type) + ")" + (critical ? ", critical" : "");
        const std::string shownValue = subpacketValue(type, value);
        out += line + (shownValue.empty() ? "" : ": " + shownValue) + "\n";
        pos += length;
    }
    return out;
}

// The extra lines of --packet-dump for one packet: the fields the one-line listing leaves out.
std::string fieldLines(unsigned int tag, const std::string& body) {
    std::string out;
    switch (tag) {
    case 2:
        if (body.size() >= 6 && byteAt(body, 0) == 4) {
            const size_t hashedLength = (byteAt(body, 4) << 8) | byteAt(body, 5);
            if (body.size() < 6 + hashedLength + 2)
                return "    (the subpacket areas are cut short)\n";
            out += subpacketLines(body.substr(6, hashedLength), "hashed");
            const size_t unhashedAt = 6 + hashedLength;
            const size_t unhashedLength =
                (byteAt(body, unhashedAt) << 8) | byteAt(body, unhashedAt + 1);
            if (body.size() < unhashedAt + 2 + unhashedLength + 2)
                return out + "    (the unhashed area is cut short)\n";
            out += subpacketLines(body.substr(unhashedAt + 2, unhashedLength), "unhashed");
            out += "    hash prefix 0x" + hexBytes(body, unhashedAt + 2 + unhashedLength, 2) + "\n";
        }
        break;
    case 5:
    case 6:
    case 7:
    case 14: {
        std::string mpis;
        const size_t end = publicKeyEnd(body, mpis);
        if (end == 0)
            return "    (key material of an algorithm or layout not shown)\n";
        out += "    public key material: MPIs of " + mpis + " bits\n";
        if ((tag == 5 || tag == 7) && end < body.size())
            out += "    secret part: usage " + std::to_string(byteAt(body, end)) + ", " +
                   std::to_string(body.size() - end) + " bytes (not shown)\n";
        break;
    }
    case 1:
        if (body.size() > 10) {
            size_t pos = 10;
            std::string mpis;
            if (mpiBits(body, pos, byteAt(body, 9) == 16 || byteAt(body, 9) == 20 ? 2 : 1, mpis))
                out += "    encrypted session key: MPIs of " + mpis + " bits\n";
        }
        break;
    case 3:
        if (body.size() >= 3)
            out += "    S2K specifier " + std::to_string(byteAt(body, 2)) +
                   (body.size() >= 4 ? ", hash " + std::to_string(byteAt(body, 3)) : "") + "\n";
        break;
    default:
        break;
    }
    return out;
}

// A hex dump of the packet's bytes as --hex-dump shows them: 16 a line with their offset; the
// secret part of a secret key packet is left out, and at most 4096 body bytes are shown.
std::string hexLines(const std::string& data, size_t offset, size_t headerLength, unsigned int tag,
                     const std::string& body, uint64_t length) {
    size_t shownBody = body.size();
    if (tag == 5 || tag == 7) {
        std::string mpis;
        shownBody = publicKeyEnd(body, mpis);
    }
    const std::string bytes = data.substr(offset, headerLength) + body.substr(0, shownBody);
    std::string out;
    for (size_t line = 0; line < bytes.size(); line += 16) {
        char prefix[24];
        std::snprintf(prefix, sizeof prefix, "    %08zx ", offset + line);
        std::string hex, ascii;
        for (size_t i = line; i < line + 16; ++i) {
            if (i < bytes.size()) {
                hex += " " + hexBytes(bytes, i, 1);
                const unsigned int c = byteAt(bytes, i);
                ascii += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
            } else {
                hex += "   ";
            }
        }
        out += prefix + hex + "  |" + ascii + "|\n";
    }
    if (shownBody < length)
        out += "    ... " + std::to_string(length - shownBody) + " more bytes" +
               ((tag == 5 || tag == 7) ? " (the secret part is not shown)" : "") + "\n";
    return out;
}

} // namespace

bool gDearmor(const std::string& data, std::string& binary) {
    size_t pos = 0;
    for (;;) {
        const size_t begin = data.find("-----BEGIN ", pos);
        if (begin == std::string::npos)
            return false;
        const size_t labelEnd = data.find('\n', begin);
        if (labelEnd == std::string::npos)
            return false;
        const std::string label = data.substr(begin, labelEnd - begin);
        pos = labelEnd + 1;
        if (label.find("SIGNED MESSAGE") != std::string::npos)
            continue; // the cleartext; its signature block follows
        // Header lines up to the first empty line, when the block has them.
        size_t body = pos;
        const size_t blank = data.find("\n\n", labelEnd);
        const size_t blankCR = data.find("\n\r\n", labelEnd);
        const size_t end = data.find("-----END ", pos);
        if (end == std::string::npos)
            throw SEngineError{kZAFvorn_BadData, "the armour has no end line"};
        size_t headerEnd = std::min(blank, blankCR);
        if (headerEnd != std::string::npos && headerEnd < end)
            body = data.find('\n', headerEnd + 1) + 1;
        std::string base64;
        size_t line = body;
        while (line < end) {
            size_t next = data.find('\n', line);
            if (next == std::string::npos || next > end)
                next = end;
            std::string text = data.substr(line, next - line);
            CZAFUtil::trimString(text);
            if (!text.empty() && text.back() == '\r')
                text.pop_back();
            if (!text.empty() && text[0] == '=')
                break; // checksum
            base64 += text;
            line = next + 1;
        }
        try {
            CZAFUtil::Base64Decode(base64, binary);
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard guard(e);
            throw SEngineError{kZAFvorn_BadData, "the armour's Base64 text is corrupt"};
        }
        return true;
    }
}

void gListPackets(const std::string& input, std::string& out, unsigned int show) {
    std::string dearmored;
    const bool armoured = !input.empty() && (static_cast<unsigned char>(input[0]) & 0x80) == 0 &&
                          gDearmor(input, dearmored);
    const std::string& data = armoured ? dearmored : input;
    size_t pos = 0;
    unsigned int count = 0;
    while (pos < data.size()) {
        const size_t offset = pos;
        const unsigned int first = byteAt(data, pos++);
        if ((first & 0x80) == 0)
            throw SEngineError{kZAFvorn_BadData,
                               "no packet starts at offset " + std::to_string(offset)};
        unsigned int tag = 0;
        uint64_t length = 0;
        bool partial = false;
        bool indeterminate = false;
        std::string body;
        size_t headerEnd = 0;
        auto need = [&](size_t bytes) {
            if (data.size() - pos < bytes)
                throw SEngineError{kZAFvorn_BadData, "the packet at offset " +
                                                         std::to_string(offset) + " is cut short"};
        };
        if (first & 0x40) {
            tag = first & 0x3F;
            for (;;) {
                need(1);
                const unsigned int o1 = byteAt(data, pos++);
                uint64_t part = 0;
                bool more = false;
                if (o1 < 192) {
                    part = o1;
                } else if (o1 < 224) {
                    need(1);
                    part = ((uint64_t(o1) - 192) << 8) + byteAt(data, pos++) + 192;
                } else if (o1 == 255) {
                    need(4);
                    part = be32(data, pos);
                    pos += 4;
                } else {
                    if (!allowsPartial(tag))
                        throw SEngineError{kZAFvorn_BadData,
                                           "the packet at offset " + std::to_string(offset) +
                                               " uses partial lengths, which its type forbids"};
                    part = uint64_t(1) << (o1 & 0x1F);
                    more = partial = true;
                }
                need(static_cast<size_t>(std::min<uint64_t>(part, data.size() + 1)));
                if (headerEnd == 0)
                    headerEnd = pos;
                if (body.size() < 4096)
                    body += data.substr(pos, static_cast<size_t>(std::min<uint64_t>(part, 4096)));
                pos += static_cast<size_t>(part);
                length += part;
                if (!more)
                    break;
            }
        } else {
            tag = (first >> 2) & 0x0F;
            const unsigned int type = first & 3;
            if (type == 3) {
                indeterminate = true;
                length = data.size() - pos;
            } else {
                const size_t bytes = size_t(1) << type;
                need(bytes);
                for (size_t i = 0; i < bytes; ++i)
                    length = (length << 8) | byteAt(data, pos++);
            }
            need(static_cast<size_t>(std::min<uint64_t>(length, data.size() + 1)));
            headerEnd = pos;
            body = data.substr(pos, static_cast<size_t>(std::min<uint64_t>(length, 4096)));
            pos += static_cast<size_t>(length);
        }
        std::string line = "offset " + std::to_string(offset) + ": tag " + std::to_string(tag) +
                           " (" + tagName(tag) + "), length " + std::to_string(length);
        if (partial)
            line += " (partial lengths)";
        if (indeterminate)
            line += " (to the end)";
        const std::string more = details(tag, body);
        if (!more.empty())
            line += ": " + more;
        out += line + "\n";
        if ((show & kPacketFields) != 0)
            out += fieldLines(tag, body);
        if ((show & kPacketBytes) != 0)
            out += hexLines(data, offset, headerEnd - offset, tag, body, length);
        ++count;
    }
    if (count == 0)
        throw SEngineError{kZAFvorn_BadData, "no packets found"};
}

namespace {

void listPackets(CEngineRun& run, unsigned int show) {
    std::string path = run.args().empty() ? run.cmd().arg("--input") : run.args().front();
    const std::string data = run.readInput(path);
    if (run.cmd().has("--hex-dump"))
        show |= kPacketBytes;
    std::string text;
    try {
        gListPackets(data, text, show);
    } catch (SEngineError&) {
        // Show what was read before the fault, then report it.
        run.out(text);
        throw;
    }
    run.writeListing(text, false);
}

} // namespace

void gCmdPacketList(CEngineRun& run) { listPackets(run, 0); }

void gCmdPacketDump(CEngineRun& run) { listPackets(run, kPacketFields); }

} // namespace orxengine
