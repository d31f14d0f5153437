// keptsummary: the keys summary kept beside the rings, so that a new session process answers a
// keys-summary for rings it has seen before without reading or walking them.
//
// The file ("<public ring>.summary", mode 0600, in a folder of the user's own) holds the
// "key" elements of the reply as written, the version they were made from (both rings' file,
// inode, size and times, the trust settings, the user and this program's version) and the time
// up to which they stay true. Anything in it that does not match exactly, and any file that is
// not the user's own private regular file or does not decode, is ignored and made again.
#ifndef VORNGUI_KEPTSUMMARY_H
#define VORNGUI_KEPTSUMMARY_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vorngui {

// The largest summary (written elements) the file keeps, and the largest version text.
constexpr size_t kMaxKeptSummaryBytes = 64u << 20;
constexpr size_t kMaxKeptVersionBytes = 64u << 10;
// The validity of a summary that shows nothing that expires.
constexpr int64_t kKeptForever = INT64_MAX;

struct SKeptSummary {
    std::string version;  // what the summary was made from (see CGUIClient's ringsVersion)
    int64_t validUntil{}; // seconds since the epoch; true before then
    std::string written;  // the "key" elements as written
};

// The file's form: "ORXKSUMM", a format byte, three zero bytes, the version's length (32 bits),
// the validity (64 bits, signed), the summary's length (32 bits), all big endian, then the
// version and the summary, and last the SHA-256 of everything before it.
std::string gEncodeKeptSummary(const SKeptSummary& summary);
// False for anything but the writer's form with a matching sum (and then `out` is empty); a
// summary that is not empty must begin with a "key" element and end with one's end tag.
bool gDecodeKeptSummary(std::string_view bytes, SKeptSummary& out);

// The file kept for the public ring at `pubring`, or empty when its folder is not one of the
// effective user's own that only that user may change (nothing is kept there).
std::string gKeptSummaryPath(const std::string& pubring);
// Reads the file at `path` when it is a regular file of the effective user that nobody else may
// read or write, of at most the largest size, without following a link or blocking; false when
// it is not, is missing or does not decode. With `headOnly`, only its version and validity are
// read (no sum is checked, `written` stays empty): enough to tell whether the whole is worth
// reading.
bool gReadKeptSummary(const std::string& path, SKeptSummary& out, bool headOnly = false);
// Writes the file atomically (a new file beside it, flushed, renamed over it, the folder
// synced), mode 0600. False, with `why` set, when it could not be written; nothing is left.
bool gWriteKeptSummary(const std::string& path, const SKeptSummary& summary, std::string& why);

} // namespace vorngui

#endif
