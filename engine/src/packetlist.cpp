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

void gListPackets(const std::string& input, std::string& out) {
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
        ++count;
    }
    if (count == 0)
        throw SEngineError{kZAFvorn_BadData, "no packets found"};
}

void gCmdPacketList(CEngineRun& run) {
    std::string path = run.args().empty() ? run.cmd().arg("--input") : run.args().front();
    const std::string data = run.readInput(path);
    std::string text;
    try {
        gListPackets(data, text);
    } catch (SEngineError&) {
        // Show what was read before the fault, then report it.
        run.out(text);
        throw;
    }
    std::unique_ptr<COutput> output(run.openOutput(false));
    output->write(text);
    output->commit();
}

} // namespace orxengine
