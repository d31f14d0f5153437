// message_armor: streaming ASCII armour and line reading for the message layer.
#include "message_armor.h"

#include <array>
#include <cstring>

namespace zaf::msg {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::array<uint32_t, 256> makeCrcTable() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i << 16;
        for (int k = 0; k < 8; ++k) {
            c <<= 1;
            if (c & 0x1000000)
                c ^= 0x1864CFB;
        }
        t[i] = c & 0xFFFFFF;
    }
    return t;
}

const std::array<uint32_t, 256>& crcTable() {
    static const std::array<uint32_t, 256> table = makeCrcTable();
    return table;
}

// Base64 digit values; 0xFF for bytes that are not digits.
std::array<uint8_t, 256> makeDecodeTable() {
    std::array<uint8_t, 256> t{};
    t.fill(0xFF);
    for (uint8_t i = 0; i < 64; ++i)
        t[uint8_t(kAlphabet[i])] = i;
    return t;
}

const std::array<uint8_t, 256>& decodeTable() {
    static const std::array<uint8_t, 256> table = makeDecodeTable();
    return table;
}

std::string_view trimRight(std::string_view s) {
    while (!s.empty() && (s.back() == '\r' || s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

} // namespace

uint32_t crc24(uint32_t crc, const uint8_t* data, size_t size) {
    const std::array<uint32_t, 256>& t = crcTable();
    for (size_t i = 0; i < size; ++i)
        crc = ((crc << 8) ^ t[((crc >> 16) ^ data[i]) & 0xFF]) & 0xFFFFFF;
    return crc;
}

bool armorBeginLabel(std::string_view line, std::string& label) {
    line = trimRight(line);
    static const std::string_view kBegin = "-----BEGIN ";
    if (line.size() < kBegin.size() + 5 || line.substr(0, kBegin.size()) != kBegin ||
        line.substr(line.size() - 5) != "-----")
        return false;
    label.assign(line.substr(kBegin.size(), line.size() - kBegin.size() - 5));
    return !label.empty();
}

bool LineReader::next(std::string_view& line, bool& newline) {
    m_line.clear();
    for (;;) {
        ByteView v = m_in.next();
        if (v.empty()) {
            newline = false;
            line = m_line;
            return !m_line.empty();
        }
        const void* lf = std::memchr(v.data, '\n', v.size);
        size_t take = lf ? size_t(static_cast<const uint8_t*>(lf) - v.data) : v.size;
        if (m_line.size() + take > size_t(kZAFMessageMaxLineLength))
            fail(kZAFError_TooLarge);
        if (lf && m_line.empty()) {
            // The whole line lies in this run: no copy.
            m_in.unget(v.size - take - 1);
            line = std::string_view(reinterpret_cast<const char*>(v.data), take);
            newline = true;
            return true;
        }
        m_line.append(reinterpret_cast<const char*>(v.data), take);
        if (lf) {
            m_in.unget(v.size - take - 1);
            line = m_line;
            newline = true;
            return true;
        }
    }
}

ArmorWriter::ArmorWriter(OutStream& below, const std::string& label,
                         const std::vector<std::pair<std::string, std::string>>& headers)
    : m_below(below), m_label(label) {
    std::string head = "-----BEGIN " + label + "-----\n";
    for (const auto& h : headers)
        head += h.first + ": " + h.second + "\n";
    head += "\n";
    m_below.put(head);
}

void ArmorWriter::encodeGroups(const uint8_t* data, size_t groups) {
    // 48 input bytes make one line of 64 digits.
    m_text.resize(groups * 65);
    char* o = &m_text[0];
    for (size_t g = 0; g < groups; ++g) {
        for (size_t i = 0; i < 48; i += 3) {
            uint32_t v = (uint32_t(data[i]) << 16) | (uint32_t(data[i + 1]) << 8) | data[i + 2];
            *o++ = kAlphabet[(v >> 18) & 63];
            *o++ = kAlphabet[(v >> 12) & 63];
            *o++ = kAlphabet[(v >> 6) & 63];
            *o++ = kAlphabet[v & 63];
        }
        *o++ = '\n';
        data += 48;
    }
    m_below.put(m_text);
}

void ArmorWriter::write(const uint8_t* data, size_t size) {
    m_crc = crc24(m_crc, data, size);
    if (m_pendingSize > 0) {
        size_t take = std::min(size, 48 - m_pendingSize);
        std::memcpy(m_pending + m_pendingSize, data, take);
        m_pendingSize += take;
        data += take;
        size -= take;
        if (m_pendingSize < 48)
            return;
        encodeGroups(m_pending, 1);
        m_pendingSize = 0;
    }
    // Whole lines straight from the input, in runs that keep the text buffer small.
    while (size >= 48) {
        size_t groups = std::min<size_t>(size / 48, 1024);
        encodeGroups(data, groups);
        data += groups * 48;
        size -= groups * 48;
    }
    std::memcpy(m_pending, data, size);
    m_pendingSize = size;
}

void ArmorWriter::finish() {
    std::string tail;
    auto put = [&](const uint8_t* p, size_t n) {
        uint32_t v = 0;
        for (size_t i = 0; i < 3; ++i)
            v = (v << 8) | (i < n ? p[i] : 0);
        tail += kAlphabet[(v >> 18) & 63];
        tail += kAlphabet[(v >> 12) & 63];
        tail += n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
        tail += n > 2 ? kAlphabet[v & 63] : '=';
    };
    for (size_t i = 0; i < m_pendingSize; i += 3)
        put(m_pending + i, std::min<size_t>(3, m_pendingSize - i));
    if (!tail.empty())
        tail += "\n";
    uint8_t c[3] = {uint8_t(m_crc >> 16), uint8_t(m_crc >> 8), uint8_t(m_crc)};
    tail += "=";
    put(c, 3);
    tail += "\n-----END " + m_label + "-----\n";
    m_below.put(tail);
}

ArmorReader::ArmorReader(InStream& below, std::string label, Hasher* hasher,
                         std::vector<std::string>* headers)
    : m_lines(below), m_label(std::move(label)), m_hasher(hasher) {
    // Room for a run of lines plus one more of the longest kind (it decodes to three quarters
    // of its length).
    const size_t size = kChunk + size_t(kZAFMessageMaxLineLength) / 4 * 3 + 4;
    m_buffers[0] = Buffer(size);
    m_buffers[1] = Buffer(size);
    readHeaders(headers);
}

ArmorReader::~ArmorReader() {
    if (m_hasher)
        for (Buffer& b : m_buffers)
            m_hasher->waitFor(b.data(), b.size());
}

void ArmorReader::readHeaders(std::vector<std::string>* headers) {
    std::string_view line;
    bool newline = false;
    for (size_t n = 0;; ++n) {
        if (!m_lines.next(line, newline))
            fail(kZAFError_Truncated);
        std::string_view t = trimRight(line);
        if (t.empty())
            return;
        // Headers run up to a blank line; a block without one starts its data at once.
        if (t.find(": ") == std::string_view::npos || n >= 64) {
            m_pendingLine.assign(t);
            m_hasPending = true;
            return;
        }
        if (headers)
            headers->emplace_back(t);
    }
}

void ArmorReader::decodeLine(std::string_view line) {
    const std::array<uint8_t, 256>& t = decodeTable();
    uint8_t* out = m_buffers[m_current].data();
    for (char ch : line) {
        uint8_t c = uint8_t(ch);
        if (c == '=') {
            m_padding = true;
            continue;
        }
        uint8_t v = t[c];
        if (v == 0xFF || m_padding)
            fail(kZAFError_CorruptData);
        m_acc = (m_acc << 6) | v;
        m_bits += 6;
        if (m_bits >= 8) {
            m_bits -= 8;
            out[m_fill++] = uint8_t(m_acc >> m_bits);
        }
    }
}

void ArmorReader::finishBlock() {
    m_done = true;
    if (m_haveChecksum && m_checksum != m_crc)
        fail(kZAFError_CorruptData);
}

ByteView ArmorReader::fill() {
    if (m_done)
        return ByteView();
    m_current ^= 1;
    Buffer& b = m_buffers[m_current];
    if (m_hasher)
        m_hasher->waitFor(b.data(), b.size());
    m_fill = 0;
    while (m_fill < kChunk) {
        std::string_view line;
        bool newline = false;
        if (m_hasPending) {
            line = m_pendingLine;
            m_hasPending = false;
        } else if (!m_lines.next(line, newline)) {
            fail(kZAFError_Truncated);
        }
        std::string_view t = trimRight(line);
        if (t.empty())
            continue;
        if (t.size() >= 9 && t.substr(0, 9) == "-----END ") {
            if (t != "-----END " + m_label + "-----")
                fail(kZAFError_CorruptData);
            finishBlock();
            break;
        }
        if (t[0] == '=' && t.size() == 5 && !m_haveChecksum) {
            // The checksum line: four digits for three bytes.
            const std::array<uint8_t, 256>& tab = decodeTable();
            uint32_t v = 0;
            for (size_t i = 1; i < 5; ++i) {
                uint8_t d = tab[uint8_t(t[i])];
                if (d == 0xFF)
                    fail(kZAFError_CorruptData);
                v = (v << 6) | d;
            }
            m_checksum = v;
            m_haveChecksum = true;
            continue;
        }
        if (m_haveChecksum)
            fail(kZAFError_CorruptData); // data after the checksum
        size_t before = m_fill;
        decodeLine(t);
        m_crc = crc24(m_crc, b.data() + before, m_fill - before);
    }
    return ByteView{b.data(), m_fill};
}

} // namespace zaf::msg
