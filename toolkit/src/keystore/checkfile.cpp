// checkfile: signature check results kept in a private file beside the rings, so that a ring
// this store does not rewrite is verified once, not by every process that reads it.
//
// Layout: "ZAFCHECK", a version byte, three zero bytes, the count of results (32 bits, big
// endian), then per result its 16-byte check digest and a status byte (1 good, 0 bad), in
// ascending digest order, and last the SHA-256 of everything before it.
#include "keystore_internal.h"
#include "ringfile.h"

#include <botan/hash.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <orx/userfile.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zaf {

namespace {

constexpr char kMagic[8] = {'Z', 'A', 'F', 'C', 'H', 'E', 'C', 'K'};
constexpr uint8_t kVersion = 1;
constexpr size_t kHeaderBytes = 16;
constexpr size_t kEntryBytes = 17;
constexpr size_t kSumBytes = 32;
constexpr size_t kMaxFileBytes = kHeaderBytes + kMaxCheckFileResults * kEntryBytes + kSumBytes;

std::string sha256(std::string_view bytes) {
    auto hash = Botan::HashFunction::create_or_throw("SHA-256");
    hash->update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    Botan::secure_vector<uint8_t> sum = hash->final();
    return std::string(reinterpret_cast<const char*>(sum.data()), sum.size());
}

bool digestLess(const std::pair<CheckDigest, bool>& a, const std::pair<CheckDigest, bool>& b) {
    return a.first < b.first;
}

void sortUnique(CheckRecord& r) {
    std::sort(r.begin(), r.end(), digestLess);
    r.erase(std::unique(r.begin(), r.end(),
                        [](const auto& a, const auto& b) { return a.first == b.first; }),
            r.end());
}

// Reads the file when it is a regular file of the effective user that nobody else may read or
// write; never blocks on something that is not a file, never follows a link.
bool readOwnFile(const std::string& path, std::string& out) {
    orxfile::Rules rules;
    rules.maxBytes = kMaxFileBytes;
    rules.owner = static_cast<long long>(::geteuid());
    orxfile::UserFile file;
    if (file.open(path, O_RDONLY, rules) != orxfile::Problem::None ||
        (file.info().st_mode & 077) != 0)
        return false;
    return file.readAll(out) == orxfile::Problem::None &&
           out.size() == static_cast<size_t>(file.info().st_size);
}

} // namespace

std::string encodeCheckFile(const CheckRecord& results) {
    const size_t count = std::min(results.size(), kMaxCheckFileResults);
    std::string out(kMagic, sizeof kMagic);
    out += char(kVersion);
    out.append(3, '\0');
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char(uint8_t(count >> shift));
    out.reserve(kHeaderBytes + count * kEntryBytes + kSumBytes);
    for (size_t i = 0; i < count; ++i) {
        out.append(reinterpret_cast<const char*>(results[i].first.data()), results[i].first.size());
        out += char(results[i].second ? 1 : 0);
    }
    out += sha256(out);
    return out;
}

bool decodeCheckFile(std::string_view bytes, CheckRecord& out) {
    out.clear();
    if (bytes.size() < kHeaderBytes + kSumBytes ||
        std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0 || uint8_t(bytes[8]) != kVersion ||
        bytes[9] != 0 || bytes[10] != 0 || bytes[11] != 0)
        return false;
    size_t count = 0;
    for (size_t i = 12; i < 16; ++i)
        count = (count << 8) | uint8_t(bytes[i]);
    if (count > kMaxCheckFileResults ||
        bytes.size() != kHeaderBytes + count * kEntryBytes + kSumBytes)
        return false;
    out.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const char* at = bytes.data() + kHeaderBytes + i * kEntryBytes;
        const uint8_t status = uint8_t(at[16]);
        if (status > 1) {
            out.clear();
            return false;
        }
        CheckDigest d{};
        std::memcpy(d.data(), at, d.size());
        // Each digest once, in order: the writer's form, nothing else.
        if (!out.empty() && !(out.back().first < d)) {
            out.clear();
            return false;
        }
        out.emplace_back(d, status == 1);
    }
    // The sum comes last, so that the checks of the form are reached (and fuzzed) without a
    // matching sum.
    const std::string_view body = bytes.substr(0, bytes.size() - kSumBytes);
    if (sha256(body) != bytes.substr(body.size())) {
        out.clear();
        return false;
    }
    return true;
}

CheckFile::CheckFile(const std::string& pubPath) {
    // Rings passed by descriptor (the background service) have no folder of their own.
    if (pubPath.empty() || pubPath.compare(0, 6, "/proc/") == 0)
        return;
    const size_t slash = pubPath.rfind('/');
    const std::string dir = slash == std::string::npos ? "."
                            : slash == 0               ? "/"
                                                       : pubPath.substr(0, slash);
    struct stat st {};
    // A folder of the user's own that only the user may change; one made read-only (a shared
    // copy of rings, say) gets nothing written into it.
    if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 022) != 0 || (st.st_mode & S_IWUSR) == 0)
        return;
    m_path = pubPath + ".checks";
}

void CheckFile::load() {
    m_inFile.clear();
    std::string bytes;
    CheckRecord results;
    if (!enabled() || !readOwnFile(m_path, bytes) || !decodeCheckFile(bytes, results))
        return;
    m_inFile.reserve(results.size());
    for (const auto& r : results)
        m_inFile.push_back(r.first);
    seedCachedChecks(results);
}

void CheckFile::update(CheckRecord record, bool addToLast) {
    sortUnique(record);
    if (addToLast) {
        CheckRecord merged;
        merged.reserve(m_last.size() + record.size());
        std::merge(m_last.begin(), m_last.end(), record.begin(), record.end(),
                   std::back_inserter(merged), digestLess);
        sortUnique(merged);
        m_last.swap(merged);
    } else {
        m_last.swap(record);
    }
    if (!enabled())
        return;
    bool missing = false;
    for (size_t i = 0; i < m_last.size() && i < kMaxCheckFileResults && !missing; ++i)
        missing = !std::binary_search(m_inFile.begin(), m_inFile.end(), m_last[i].first);
    if (!missing)
        return;
    if (writeFileAtomic(m_path, encodeCheckFile(m_last), 0600) != kZAFError_NoErr)
        return; // a folder we cannot write to: the results are made again next time
    m_inFile.clear();
    for (size_t i = 0; i < m_last.size() && i < kMaxCheckFileResults; ++i)
        m_inFile.push_back(m_last[i].first);
}

} // namespace zaf
