// message_armor: ASCII armour as a stream (Base64 lines with a CRC-24), and reading text lines.
#ifndef ZAF_MESSAGE_ARMOR_H
#define ZAF_MESSAGE_ARMOR_H

#include "message_stream.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zaf::msg {

// The CRC-24 of RFC 4880 armour, continued from `crc` (start with kCrc24Init).
constexpr uint32_t kCrc24Init = 0xB704CE;
uint32_t crc24(uint32_t crc, const uint8_t* data, size_t size);

// Reads text lines from a stream, without their line feed (a carriage return before it stays).
// Lines longer than kZAFMessageMaxLineLength fail with kZAFError_TooLarge.
class LineReader {
public:
    explicit LineReader(InStream& in) : m_in(in) {}
    // The next line; false at the end of the stream. `newline` tells whether a line feed ended
    // it (the last line of a text may have none). The view is valid until the next call.
    bool next(std::string_view& line, bool& newline);

private:
    InStream& m_in;
    std::string m_line;
};

// Writes armour: the BEGIN line and headers at once, then Base64 at 64 columns, and on finish()
// the checksum line and the END line.
class ArmorWriter final : public OutStream {
public:
    ArmorWriter(OutStream& below, const std::string& label,
                const std::vector<std::pair<std::string, std::string>>& headers);
    void write(const uint8_t* data, size_t size) override;
    void finish() override;

private:
    void encodeGroups(const uint8_t* data, size_t groups);
    OutStream& m_below;
    std::string m_label;
    uint32_t m_crc = kCrc24Init;
    uint8_t m_pending[48] = {};
    size_t m_pendingSize = 0;
    std::string m_text;
};

// Decodes the Base64 body of an armoured block whose BEGIN line has been read: skips the
// headers (handing them to `headers` when given), decodes lines up to the END line, and checks
// the CRC-24 when the block carries one. Malformed armour fails with kZAFError_CorruptData, a
// missing END line with kZAFError_Truncated. The stream below is left right after the END line.
class ArmorReader final : public InStream {
public:
    ArmorReader(InStream& below, std::string label, Hasher* hasher,
                std::vector<std::string>* headers = nullptr);
    ~ArmorReader() override;

protected:
    ByteView fill() override;

private:
    void readHeaders(std::vector<std::string>* headers);
    void decodeLine(std::string_view line);
    void finishBlock();
    LineReader m_lines;
    std::string m_label;
    Hasher* m_hasher;
    Buffer m_buffers[2];
    int m_current = 1;
    size_t m_fill = 0;
    uint32_t m_acc = 0;
    int m_bits = 0;
    bool m_padding = false;
    bool m_done = false;
    bool m_haveChecksum = false;
    uint32_t m_checksum = 0;
    uint32_t m_crc = kCrc24Init;
    std::string m_pendingLine; // the first data line, met while looking for headers
    bool m_hasPending = false;
};

// The label of a BEGIN line ("-----BEGIN <label>-----", trailing blanks and CR allowed), or
// false when the line is not one.
bool armorBeginLabel(std::string_view line, std::string& label);

} // namespace zaf::msg

#endif
