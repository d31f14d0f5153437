// userfile: opening files a user controls (see include/orx/userfile.h).
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <orx/userfile.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace orxfile {

namespace {

Problem problemOfOpen(int error, bool followLinks) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return Problem::Missing;
    case EACCES:
    case EPERM:
        return Problem::Denied;
    case ELOOP:
        return followLinks ? Problem::Failed : Problem::Link;
    case ENXIO:  // a FIFO without a reader opened for writing, a socket, a device without a unit
    case EISDIR: // a folder opened for writing
    case ENODEV:
        return Problem::NotRegular;
    case EFBIG:
    case EOVERFLOW:
        return Problem::TooLarge;
    default:
        return Problem::Failed;
    }
}

bool nullDevice(const struct stat& st) {
    return S_ISCHR(st.st_mode) && major(st.st_rdev) == 1 && minor(st.st_rdev) == 3;
}

} // namespace

UserFile::~UserFile() { close(); }

UserFile::UserFile(UserFile&& other) noexcept
    : m_fd(other.m_fd), m_error(other.m_error), m_maxBytes(other.m_maxBytes),
      m_nullDevice(other.m_nullDevice), m_info(other.m_info) {
    other.m_fd = -1;
}

UserFile& UserFile::operator=(UserFile&& other) noexcept {
    if (this != &other) {
        close();
        m_fd = other.m_fd;
        m_error = other.m_error;
        m_maxBytes = other.m_maxBytes;
        m_nullDevice = other.m_nullDevice;
        m_info = other.m_info;
        other.m_fd = -1;
    }
    return *this;
}

Problem UserFile::fail(Problem problem, int error) {
    close();
    m_error = error;
    return problem;
}

Problem UserFile::open(const std::string& path, int flags, const Rules& rules, mode_t createMode) {
    close();
    m_error = 0;
    m_nullDevice = false;
    m_maxBytes = rules.maxBytes;
    m_info = {};
    const bool truncate = (flags & O_TRUNC) != 0;
    int how = (flags & ~O_TRUNC) | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    if (!rules.followLinks)
        how |= O_NOFOLLOW;
    m_fd = ::open(path.c_str(), how, createMode);
    if (m_fd < 0) {
        const int error = errno;
        return fail(problemOfOpen(error, rules.followLinks), error);
    }
    return check(rules, (flags & O_ACCMODE) == O_RDONLY, truncate);
}

Problem UserFile::adopt(int fd, const Rules& rules) {
    close();
    m_error = 0;
    m_nullDevice = false;
    m_maxBytes = rules.maxBytes;
    m_info = {};
    m_fd = fd;
    if (m_fd < 0)
        return fail(Problem::Failed, EBADF);
    const int status = ::fcntl(m_fd, F_GETFL);
    if (status < 0)
        return fail(Problem::Failed, errno);
    return check(rules, (status & O_ACCMODE) == O_RDONLY, false);
}

Problem UserFile::check(const Rules& rules, bool readOnly, bool truncate) {
    if (::fstat(m_fd, &m_info) != 0)
        return fail(Problem::Failed, errno);
    if (!S_ISREG(m_info.st_mode)) {
        if (rules.nullDeviceIsEmpty && nullDevice(m_info) && readOnly) {
            m_nullDevice = true;
            m_info.st_size = 0;
            return Problem::None;
        }
        return fail(Problem::NotRegular, EINVAL); // m_info keeps what it is, for explain()
    }
    if (rules.owner >= 0 && static_cast<long long>(m_info.st_uid) != rules.owner)
        return fail(Problem::NotOwned, EPERM);
    if (static_cast<uint64_t>(m_info.st_size) > rules.maxBytes && !truncate)
        return fail(Problem::TooLarge, EFBIG);
    const int status = ::fcntl(m_fd, F_GETFL);
    if (status < 0 || ::fcntl(m_fd, F_SETFL, status & ~O_NONBLOCK) != 0)
        return fail(Problem::Failed, errno);
    if (truncate && m_info.st_size != 0) {
        if (::ftruncate(m_fd, 0) != 0)
            return fail(Problem::Failed, errno);
        m_info.st_size = 0;
    }
    return Problem::None;
}

Problem UserFile::readAll(std::string& out) {
    out.clear();
    if (m_fd < 0)
        return Problem::Failed;
    if (m_nullDevice)
        return Problem::None;
    out.resize(static_cast<size_t>(m_info.st_size));
    size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = ::pread(m_fd, &out[got], out.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            m_error = errno;
            out.clear();
            return Problem::Failed;
        }
        if (n == 0)
            break; // the file shrank since it was opened: what is there is what counts
        got += static_cast<size_t>(n);
    }
    out.resize(got);
    return Problem::None;
}

int UserFile::release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void UserFile::close() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
}

std::string UserFile::explain(Problem problem) const {
    switch (problem) {
    case Problem::None:
        return "is usable";
    case Problem::Missing:
        return "does not exist";
    case Problem::Denied:
        return "may not be opened (permission denied)";
    case Problem::Link:
        return "is a symbolic link, which is not followed";
    case Problem::NotRegular:
        if (m_info.st_mode == 0 || S_ISREG(m_info.st_mode))
            return "is not a regular file";
        return std::string("is ") + kindOf(m_info.st_mode) + ", not a regular file";
    case Problem::TooLarge:
        return "is larger than " + std::to_string(m_maxBytes) + " bytes";
    case Problem::NotOwned:
        return "is owned by another account (uid " + std::to_string(m_info.st_uid) + ")";
    case Problem::Failed:
        break;
    }
    char buffer[128];
    return std::string("cannot be opened: ") + strerror_r(m_error, buffer, sizeof buffer);
}

const char* kindOf(mode_t mode) {
    if (S_ISREG(mode))
        return "a regular file";
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISLNK(mode))
        return "a symbolic link";
    return "not a regular file";
}

} // namespace orxfile
