// guikeptsummary: the keys summary kept beside the rings (see keptsummary.h).
#include <vorngui/keptsummary.h>

#include <botan/hash.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <orx/userfile.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace vorngui {

namespace {

constexpr char kMagic[8] = {'O', 'R', 'X', 'K', 'S', 'U', 'M', 'M'};
constexpr uint8_t kFormat = 1;
// Magic, format, three zero bytes, version length, validity, summary length.
constexpr size_t kHeadBytes = 8 + 4 + 4 + 8 + 4;
constexpr size_t kSumBytes = 32;
constexpr size_t kMaxFileBytes =
    kHeadBytes + kMaxKeptVersionBytes + kMaxKeptSummaryBytes + kSumBytes;
constexpr std::string_view kFirst = "<key ";
constexpr std::string_view kLast = "</key>";

std::string sha256(std::string_view bytes) {
    auto hash = Botan::HashFunction::create_or_throw("SHA-256");
    hash->update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    const Botan::secure_vector<uint8_t> sum = hash->final();
    return std::string(reinterpret_cast<const char*>(sum.data()), sum.size());
}

void putNumber(std::string& out, uint64_t value, int bytes) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8)
        out += static_cast<char>(static_cast<uint8_t>(value >> shift));
}

uint64_t getNumber(std::string_view bytes, size_t at, int count) {
    uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | static_cast<uint8_t>(bytes[at + static_cast<size_t>(i)]);
    return value;
}

// The head's fields, when `bytes` begins with a head of the writer's form.
bool decodeHead(std::string_view bytes, size_t& versionBytes, int64_t& validUntil,
                size_t& summaryBytes) {
    if (bytes.size() < kHeadBytes || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0 ||
        static_cast<uint8_t>(bytes[8]) != kFormat || bytes[9] != 0 || bytes[10] != 0 ||
        bytes[11] != 0)
        return false;
    versionBytes = static_cast<size_t>(getNumber(bytes, 12, 4));
    validUntil = static_cast<int64_t>(getNumber(bytes, 16, 8));
    summaryBytes = static_cast<size_t>(getNumber(bytes, 24, 4));
    return versionBytes <= kMaxKeptVersionBytes && summaryBytes <= kMaxKeptSummaryBytes;
}

// Opens the file when it is a regular file of the effective user that nobody else may read or
// write, of at most the largest size, without following a link or blocking.
bool openOwnFile(const std::string& path, orxfile::UserFile& file) {
    orxfile::Rules rules;
    rules.maxBytes = kMaxFileBytes;
    rules.owner = static_cast<long long>(::geteuid());
    return file.open(path, O_RDONLY, rules) == orxfile::Problem::None &&
           (file.info().st_mode & 077) == 0;
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string folderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

std::string gEncodeKeptSummary(const SKeptSummary& summary) {
    std::string out(kMagic, sizeof kMagic);
    out.reserve(kHeadBytes + summary.version.size() + summary.written.size() + kSumBytes);
    out += static_cast<char>(kFormat);
    out.append(3, '\0');
    putNumber(out, summary.version.size(), 4);
    putNumber(out, static_cast<uint64_t>(summary.validUntil), 8);
    putNumber(out, summary.written.size(), 4);
    out += summary.version;
    out += summary.written;
    out += sha256(out);
    return out;
}

bool gDecodeKeptSummary(std::string_view bytes, SKeptSummary& out) {
    out = SKeptSummary();
    size_t versionBytes = 0, summaryBytes = 0;
    int64_t validUntil = 0;
    if (!decodeHead(bytes, versionBytes, validUntil, summaryBytes) ||
        bytes.size() != kHeadBytes + versionBytes + summaryBytes + kSumBytes)
        return false;
    const std::string_view written = bytes.substr(kHeadBytes + versionBytes, summaryBytes);
    // What the reply carries as it stands holds whole "key" elements and nothing else.
    if (!written.empty() &&
        (written.substr(0, kFirst.size()) != kFirst ||
         written.substr(written.size() - std::min(written.size(), kLast.size())) != kLast ||
         written.find('\0') != std::string_view::npos))
        return false;
    // The sum comes last, so that the checks of the form are reached (and fuzzed) without one.
    const std::string_view body = bytes.substr(0, bytes.size() - kSumBytes);
    if (sha256(body) != bytes.substr(body.size()))
        return false;
    out.version.assign(bytes.substr(kHeadBytes, versionBytes));
    out.validUntil = validUntil;
    out.written.assign(written);
    return true;
}

std::string gKeptSummaryPath(const std::string& pubring) {
    if (pubring.empty())
        return std::string();
    struct stat st {};
    const std::string folder = folderOf(pubring);
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 022) != 0 || (st.st_mode & S_IWUSR) == 0)
        return std::string();
    return pubring + ".summary";
}

bool gReadKeptSummary(const std::string& path, SKeptSummary& out, bool headOnly) {
    out = SKeptSummary();
    orxfile::UserFile file;
    if (path.empty() || !openOwnFile(path, file))
        return false;
    if (!headOnly) {
        std::string bytes;
        return file.readAll(bytes) == orxfile::Problem::None &&
               bytes.size() == static_cast<size_t>(file.info().st_size) &&
               gDecodeKeptSummary(bytes, out);
    }
    std::string head(kHeadBytes, '\0');
    size_t versionBytes = 0, summaryBytes = 0;
    int64_t validUntil = 0;
    if (::pread(file.fd(), &head[0], head.size(), 0) != static_cast<ssize_t>(head.size()) ||
        !decodeHead(head, versionBytes, validUntil, summaryBytes) ||
        static_cast<uint64_t>(file.info().st_size) !=
            kHeadBytes + versionBytes + summaryBytes + kSumBytes)
        return false;
    std::string version(versionBytes, '\0');
    if (versionBytes != 0 && ::pread(file.fd(), &version[0], versionBytes, kHeadBytes) !=
                                 static_cast<ssize_t>(versionBytes))
        return false;
    out.version = std::move(version);
    out.validUntil = validUntil;
    return true;
}

bool gWriteKeptSummary(const std::string& path, const SKeptSummary& summary, std::string& why) {
    if (summary.version.size() > kMaxKeptVersionBytes ||
        summary.written.size() > kMaxKeptSummaryBytes) {
        why = "the summary is larger than is kept";
        return false;
    }
    const std::string bytes = gEncodeKeptSummary(summary);
    std::vector<char> temp(path.begin(), path.end());
    for (const char c : std::string_view(".XXXXXX"))
        temp.push_back(c);
    temp.push_back('\0');
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        why = std::string("no new file beside it: ") + std::strerror(errno);
        return false;
    }
    bool done = ::fchmod(fd, 0600) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    const int error = errno;
    done = ::close(fd) == 0 && done;
    if (!done || ::rename(temp.data(), path.c_str()) != 0) {
        why = std::string("not written: ") + std::strerror(done ? errno : error);
        ::unlink(temp.data());
        return false;
    }
    const int folder = ::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

} // namespace vorngui
