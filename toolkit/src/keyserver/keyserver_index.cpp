// keyserver_index: reading key server indexes, key names, and choosing the keys of a fetch.
#include "keyserver_index.h"

#include "keystore/keystore.h"
#include "packets/packets.h"

#include <zaf/zafkeyserver.h>

#include <cstring>

namespace zaf::hkp {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

const char kHexDigits[] = "0123456789ABCDEF";

// The fields of a line split at ':' (at most `max`; the last takes the rest).
std::vector<std::string_view> fieldsOf(std::string_view line, size_t max) {
    std::vector<std::string_view> fields;
    while (fields.size() + 1 < max) {
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos)
            break;
        fields.push_back(line.substr(0, colon));
        line.remove_prefix(colon + 1);
    }
    fields.push_back(line);
    return fields;
}

std::string_view field(const std::vector<std::string_view>& fields, size_t i) {
    return i < fields.size() ? fields[i] : std::string_view();
}

// An unsigned decimal of at most 10 digits; empty is 0. False for anything else.
bool number(std::string_view text, uint64_t& out) {
    out = 0;
    if (text.size() > 10)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        out = out * 10 + static_cast<uint64_t>(c - '0');
    }
    return true;
}

uint32_t clampTime(uint64_t value) {
    return value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

uint32_t flagsOf(std::string_view text) {
    uint32_t flags = 0;
    for (char c : text) {
        if (c == 'r' || c == 'R')
            flags |= kZAFKeyServerKeyFlag_Revoked;
        else if (c == 'd' || c == 'D')
            flags |= kZAFKeyServerKeyFlag_Disabled;
        else if (c == 'e' || c == 'E')
            flags |= kZAFKeyServerKeyFlag_Expired;
    }
    return flags;
}

// "%XX" escapes decoded; a '%' that starts no escape stays as it is.
std::string unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int hi = hexValue(text[i + 1]);
            const int lo = hexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

bool parsePub(std::string_view line, IndexKey& key) {
    const std::vector<std::string_view> f = fieldsOf(line, 8);
    std::string_view id = field(f, 1);
    if (id.size() > 2 && id[0] == '0' && (id[1] == 'x' || id[1] == 'X'))
        id.remove_prefix(2);
    if (id.size() != 8 && id.size() != 16 && id.size() != 32 && id.size() != 40)
        return false;
    key = IndexKey();
    for (char c : id) {
        const int v = hexValue(c);
        if (v < 0)
            return false;
        key.keyID += kHexDigits[v];
    }
    uint64_t value = 0;
    if (!number(field(f, 2), value) || value > 255)
        return false;
    key.algorithm = field(f, 2).empty() ? -1 : static_cast<int32_t>(value);
    if (!number(field(f, 3), value) || value > 0xFFFFFFFFu)
        return false;
    key.bits = static_cast<uint32_t>(value);
    if (!number(field(f, 4), value))
        return false;
    key.created = clampTime(value);
    if (!number(field(f, 5), value))
        return false;
    key.expires = clampTime(value);
    key.flags = flagsOf(field(f, 6));
    return true;
}

} // namespace

ZAFError parseIndex(std::string_view text, uint32_t maxKeys, std::vector<IndexKey>& out) {
    out.clear();
    bool inKey = false;
    while (!text.empty()) {
        const size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.compare(0, 4, "pub:") == 0) {
            IndexKey key;
            inKey = parsePub(line, key);
            if (!inKey)
                continue;
            if (out.size() >= maxKeys)
                return kZAFError_KeyServerTooManyKeys;
            out.push_back(std::move(key));
        } else if (line.compare(0, 4, "uid:") == 0) {
            if (!inKey)
                continue;
            IndexKey& key = out.back();
            const std::vector<std::string_view> f = fieldsOf(line, 6);
            std::string userID = unescape(field(f, 1));
            if (userID.size() > kMaxIndexUserIDBytes ||
                key.userIDs.size() >= kZAFKeyServerMaxIndexUserIDs) {
                ++key.userIDsDropped;
                continue;
            }
            key.userIDs.push_back(std::move(userID));
        }
    }
    return kZAFError_NoErr;
}

bool parseKeyName(std::string_view text, KeyName& out) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.size() > 64)
        return false;
    std::string digits;
    for (char c : text) {
        if (c == ' ')
            continue;
        if (hexValue(c) < 0)
            return false;
        digits += c;
    }
    if (digits.size() != text.size() && digits.size() != 40 && digits.size() != 32)
        return false; // blanks only inside a fingerprint
    switch (digits.size()) {
    case 8:
        out.kind = KeyName::ShortID;
        break;
    case 16:
        out.kind = KeyName::LongID;
        break;
    case 32:
    case 40:
        out.kind = KeyName::Fingerprint;
        break;
    default:
        return false;
    }
    out.bytes.clear();
    for (size_t i = 0; i < digits.size(); i += 2)
        out.bytes += static_cast<char>(hexValue(digits[i]) * 16 + hexValue(digits[i + 1]));
    return true;
}

std::string keyNameText(const KeyName& name) {
    std::string out = "0x";
    for (const char byte : name.bytes) {
        const auto c = static_cast<unsigned char>(byte);
        out += kHexDigits[c >> 4];
        out += kHexDigits[c & 15];
    }
    return out;
}

namespace {

bool keyPacketCarries(std::string_view body, const KeyName* wanted) {
    if (wanted == nullptr)
        return true;
    const KeyName& name = *wanted;
    rfc4880::KeyInfo info;
    if (!rfc4880::parseKeyPacket(body, info))
        return false;
    switch (name.kind) {
    case KeyName::ShortID:
        return std::memcmp(info.keyID + 4, name.bytes.data(), 4) == 0;
    case KeyName::LongID:
        return std::memcmp(info.keyID, name.bytes.data(), 8) == 0;
    case KeyName::Fingerprint:
        return info.fingerprintLength == name.bytes.size() &&
               std::memcmp(info.fingerprint, name.bytes.data(), name.bytes.size()) == 0;
    }
    return false;
}

} // namespace

ZAFError selectKeys(std::string_view data, const KeyName* name, uint32_t maxKeys, std::string& out,
                    uint32_t& kept) {
    out.clear();
    kept = 0;
    std::string binary;
    if (looksArmored(data)) {
        std::vector<std::string> blocks;
        if (!dearmor(data, blocks))
            return kZAFError_CorruptData;
        for (const std::string& b : blocks)
            binary += b;
        data = binary;
    }
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    std::string scratch;
    std::string current;
    bool inPublicKey = false;
    bool matches = false;
    uint32_t keys = 0;
    auto close = [&] {
        if (inPublicKey && matches) {
            out += current;
            ++kept;
        }
        current.clear();
        inPublicKey = false;
        matches = false;
    };
    size_t offset = 0;
    while (offset < data.size()) {
        rfc4880::RawPacket packet;
        if (!rfc4880::readPacket(bytes, data.size(), offset, packet, scratch))
            return kZAFError_CorruptData;
        const std::string_view raw = data.substr(offset, packet.total);
        offset += packet.total;
        switch (packet.tag) {
        case rfc4880::kTagPublicKey:
        case rfc4880::kTagSecretKey:
            close();
            if (++keys > maxKeys)
                return kZAFError_KeyServerTooManyKeys;
            // A key server has no business sending secret keys: nothing of one is kept.
            inPublicKey = packet.tag == rfc4880::kTagPublicKey;
            if (inPublicKey) {
                matches = keyPacketCarries(packet.body, name);
                current.assign(raw);
            }
            break;
        case rfc4880::kTagPublicSubkey:
            if (inPublicKey) {
                matches = matches || keyPacketCarries(packet.body, name);
                current.append(raw);
            }
            break;
        case rfc4880::kTagTrust:
        case rfc4880::kTagSecretSubkey:
            break;
        default:
            if (inPublicKey)
                current.append(raw);
            break;
        }
    }
    close();
    return kZAFError_NoErr;
}

std::string percentEncode(std::string_view text) {
    std::string out;
    for (const char byte : text) {
        const auto c = static_cast<unsigned char>(byte);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 15];
        }
    }
    return out;
}

} // namespace zaf::hkp
