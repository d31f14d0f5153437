// ringfile: reading and writing key ring files. Whole-file reads of files the user controls (no
// links followed, regular files only, bounded), the atomic writer (new file beside the old one,
// flushed, renamed over it, folder synced) and the advisory lock writers take on the public ring.
#ifndef ZAF_RINGFILE_H
#define ZAF_RINGFILE_H

#include <zaf/zafbase.h>

#include <cstdint>
#include <orx/userfile.h>
#include <string>
#include <string_view>

namespace zaf {

// The largest ring file the store reads.
constexpr size_t kMaxRingBytes = 512u << 20;

// What identifies the version of a ring file on disk: device, inode, size and modification time.
// A store's own writers replace a ring by renaming a new file over it (a new inode); a program
// that rewrites it in place changes its modification time. A missing file has `present` false.
struct RingStamp {
    bool present = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    int64_t size = 0;
    int64_t mtimeSeconds = 0;
    int64_t mtimeNanoseconds = 0;

    bool operator==(const RingStamp& o) const {
        return present == o.present && device == o.device && inode == o.inode && size == o.size &&
               mtimeSeconds == o.mtimeSeconds && mtimeNanoseconds == o.mtimeNanoseconds;
    }
    bool operator!=(const RingStamp& o) const { return !(*this == o); }
};

// The stamp of the file at `path` as it is now; false when it cannot be told (stat failed other
// than for a missing file).
bool currentRingStamp(const std::string& path, RingStamp& out);

// The code for a file the store refused or could not open.
ZAFError fileError(orxfile::Problem problem);
// Opens a file the user controls with `flags` (see orxfile::UserFile::open): without following a
// link unless `followLinks`, a regular file of at most `limit` bytes.
ZAFError openUserFile(const std::string& path, int flags, uint64_t limit, bool followLinks,
                      orxfile::UserFile& file);
// Reads a whole file the user controls, as openUserFile (no link followed) with the limit given
// (by default the ring limit). A missing file gives an empty string and no error when
// `missingOk`. With `stamp`, also the stamp of the file read (taken from the open file, so a
// later change always shows as another stamp).
ZAFError readFile(const std::string& path, std::string& out, bool missingOk,
                  RingStamp* stamp = nullptr, uint64_t limit = kMaxRingBytes);
// Writes `data` to a new file beside `path` with `mode`, flushes it to disk and renames it over
// `path`, then syncs the folder.
ZAFError writeFileAtomic(const std::string& path, std::string_view data, unsigned mode);
// Writes both rings of a database the same way, in one step: the secret ring (when
// `secPath` is not empty, mode 0600) is renamed into place before the public ring, so that a
// crash in between never leaves a secret key the public ring does not list.
ZAFError writeRings(const std::string& pubPath, std::string_view pub, const std::string& secPath,
                    std::string_view sec);

// Test hook: when set and returning non-zero, writeRings stops right before its renames.
extern int (*gFlushBeforeRenameHook)(const char* pubPath);

// An exclusive flock on the public ring file, released when the object goes.
class RingLock {
public:
    RingLock() = default;
    RingLock(const RingLock&) = delete;
    RingLock& operator=(const RingLock&) = delete;
    ~RingLock() { release(); }
    // Locks the ring file (creating it when missing); retries when the file was replaced
    // between open and lock.
    ZAFError acquire(const std::string& path);
    void release();

private:
    int m_fd = -1;
};

} // namespace zaf

#endif
