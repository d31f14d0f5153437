// failing_sync_fs: a FUSE file system for tests of the paths where data does not reach the disk.
// It holds one file, "data", in memory (10000 bytes of 'A' at the start). Reads, writes, shared
// mappings and removal work as on a disk, but every fsync fails with EIO, as a disk whose
// write-back fails would report it: so msync(MS_SYNC) of a mapping of "data" fails for real.
//
//   failing_sync_fs MOUNTPOINT
//
// Runs in the foreground, single-threaded, until the file system is unmounted.
#define FUSE_USE_VERSION 31

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fuse3/fuse.h>
#include <string>
#include <sys/stat.h>

namespace {

const char* const kPath = "/data";
std::string gData(10000, 'A');
bool gRemoved = false;

bool isData(const char* path) { return !gRemoved && std::strcmp(path, kPath) == 0; }

int getAttr(const char* path, struct stat* info, struct fuse_file_info*) {
    std::memset(info, 0, sizeof *info);
    if (std::strcmp(path, "/") == 0) {
        info->st_mode = S_IFDIR | 0755;
        info->st_nlink = 2;
        return 0;
    }
    if (!isData(path))
        return -ENOENT;
    info->st_mode = S_IFREG | 0644;
    info->st_nlink = 1;
    info->st_size = static_cast<off_t>(gData.size());
    return 0;
}

int readDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info*,
            enum fuse_readdir_flags) {
    if (std::strcmp(path, "/") != 0)
        return -ENOENT;
    fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    if (!gRemoved)
        fill(buffer, kPath + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    return 0;
}

int openFile(const char* path, struct fuse_file_info*) { return isData(path) ? 0 : -ENOENT; }

int readFile(const char* path, char* buffer, size_t size, off_t offset, struct fuse_file_info*) {
    if (!isData(path))
        return -ENOENT;
    const auto start = static_cast<size_t>(offset);
    if (start >= gData.size())
        return 0;
    const size_t count = std::min(size, gData.size() - start);
    std::memcpy(buffer, gData.data() + start, count);
    return static_cast<int>(count);
}

int writeFile(const char* path, const char* buffer, size_t size, off_t offset,
              struct fuse_file_info*) {
    if (!isData(path))
        return -ENOENT;
    const auto start = static_cast<size_t>(offset);
    if (start + size > gData.size())
        gData.resize(start + size);
    std::memcpy(&gData[start], buffer, size);
    return static_cast<int>(size);
}

int syncFile(const char*, int, struct fuse_file_info*) { return -EIO; }

int removeFile(const char* path) {
    if (!isData(path))
        return -ENOENT;
    gRemoved = true;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2)
        return 2;
    struct fuse_operations operations {};
    operations.getattr = getAttr;
    operations.readdir = readDir;
    operations.open = openFile;
    operations.read = readFile;
    operations.write = writeFile;
    operations.fsync = syncFile;
    operations.unlink = removeFile;
    char program[] = "failing_sync_fs";
    char foreground[] = "-f";
    char singleThreaded[] = "-s";
    char* arguments[] = {program, foreground, singleThreaded, argv[1], nullptr};
    return fuse_main(4, arguments, &operations, nullptr);
}
