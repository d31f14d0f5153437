// odd_files: what a user can put where a program expects one of their files: a FIFO, a device, a
// folder, a dangling link, a link to a file elsewhere, a file far above the bound for its kind
// (sparse, so it costs no disk).
#ifndef ORX_TESTS_ODD_FILES_H
#define ORX_TESTS_ODD_FILES_H

#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <vector>

namespace orxtest {

enum class OddFile { Fifo, Device, Folder, DanglingLink, PlantedLink, TooLarge };

inline const std::vector<OddFile>& allOddFiles() {
    static const std::vector<OddFile> all = {OddFile::Fifo,        OddFile::Device,
                                             OddFile::Folder,      OddFile::DanglingLink,
                                             OddFile::PlantedLink, OddFile::TooLarge};
    return all;
}

inline const char* nameOf(OddFile kind) {
    switch (kind) {
    case OddFile::Fifo:
        return "a FIFO";
    case OddFile::Device:
        return "a device";
    case OddFile::Folder:
        return "a folder";
    case OddFile::DanglingLink:
        return "a dangling link";
    case OddFile::PlantedLink:
        return "a planted link";
    case OddFile::TooLarge:
        return "an over-large file";
    }
    return "?";
}

// Puts `kind` at `path` (whatever was there goes first). The device is the zero device (a node
// of its own: making it needs root). A planted link points to `linkTarget`; an over-large file
// has `bound` + 1 bytes. False when it could not be made.
inline bool placeOddFile(OddFile kind, const std::string& path, uint64_t bound,
                         const std::string& linkTarget) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
    switch (kind) {
    case OddFile::Fifo:
        return ::mkfifo(path.c_str(), 0600) == 0;
    case OddFile::Device:
        return ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 5)) == 0;
    case OddFile::Folder:
        return ::mkdir(path.c_str(), 0700) == 0;
    case OddFile::DanglingLink:
        return ::symlink((path + ".nowhere/file").c_str(), path.c_str()) == 0;
    case OddFile::PlantedLink:
        return ::symlink(linkTarget.c_str(), path.c_str()) == 0;
    case OddFile::TooLarge: {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const bool ok = fd >= 0 && ::ftruncate(fd, off_t(bound + 1)) == 0;
        if (fd >= 0)
            ::close(fd);
        return ok;
    }
    }
    return false;
}

} // namespace orxtest

#endif
