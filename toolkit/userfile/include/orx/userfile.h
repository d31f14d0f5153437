// userfile: opening a file that a user controls (a key ring, the groups file, a seed, a
// configuration file, a photo, a daemon's log or pid file) without waiting on it, without
// following a link where none belongs, and without reading what is not a plain file of bounded
// size.
//
// Every open uses O_NONBLOCK and O_NOCTTY, so a FIFO without a writer, a terminal or a device
// cannot stall the caller or become its controlling terminal; O_NOFOLLOW unless the rules follow
// links; then the descriptor itself (fstat, never a second look by path) must be a regular file
// of at most `maxBytes`, owned by `owner` when one is asked for. O_NONBLOCK is cleared once the
// file is known to be regular.
#ifndef ORX_USERFILE_H
#define ORX_USERFILE_H

#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <sys/types.h>

namespace orxfile {

enum class Problem {
    None = 0,
    Missing,    // no such file (or a folder on the way is missing)
    Denied,     // no permission
    Link,       // a symbolic link where none is followed (a dangling one too)
    NotRegular, // a folder, device, FIFO or socket
    TooLarge,   // larger than the bound
    NotOwned,   // not owned by the account the rules ask for
    Failed,     // anything else; error() holds errno
};

struct Rules {
    bool followLinks = false;
    uint64_t maxBytes = UINT64_MAX;
    // The owner the file must have; -1 for any.
    long long owner = -1;
    // The null device reads as an empty file (an "Include /dev/null" idiom); every other device
    // is refused.
    bool nullDeviceIsEmpty = false;
};

class UserFile {
public:
    UserFile() = default;
    ~UserFile();
    UserFile(UserFile&& other) noexcept;
    UserFile& operator=(UserFile&& other) noexcept;
    UserFile(const UserFile&) = delete;
    UserFile& operator=(const UserFile&) = delete;

    // Opens `path` with `flags`: O_RDONLY, O_WRONLY or O_RDWR with any of O_CREAT, O_EXCL,
    // O_APPEND and O_TRUNC (the truncation happens only once the checks passed). New files get
    // `createMode` (less the umask). On failure nothing stays open.
    Problem open(const std::string& path, int flags, const Rules& rules, mode_t createMode = 0600);
    // Takes over a descriptor opened elsewhere (received from another process, say) and checks
    // it as open() checks what it opened: a regular file within the rules. On failure the
    // descriptor is closed.
    Problem adopt(int fd, const Rules& rules);
    // Reads the whole file as it was when opened (at most its size then, which the rules
    // bounded), from the start.
    Problem readAll(std::string& out);

    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    // The file as it was when opened (after any truncation).
    const struct stat& info() const { return m_info; }
    // The null device accepted in place of an empty file.
    bool isNullDevice() const { return m_nullDevice; }
    // errno of the last failure.
    int error() const { return m_error; }
    // What a problem of the last open means, to follow the file's name in a message: "is a
    // symbolic link, which is not followed", "is a FIFO, not a regular file", "is larger than
    // 1048576 bytes", "does not exist", ...
    std::string explain(Problem problem) const;
    // Hands the descriptor over to the caller.
    int release();
    void close();

private:
    Problem check(const Rules& rules, bool readOnly, bool truncate);
    Problem fail(Problem problem, int error);

    int m_fd = -1;
    int m_error = 0;
    uint64_t m_maxBytes = UINT64_MAX;
    bool m_nullDevice = false;
    struct stat m_info {};
};

// What kind of file a mode says it is: "a folder", "a FIFO", "a character device", ...
const char* kindOf(mode_t mode);

} // namespace orxfile

#endif
