// filemanager: the one place where files are opened, created, copied, removed and securely wiped,
// and where temporary files are handed out and remembered until they are removed.
#ifndef OOZAF_FILEMANAGER_H
#define OOZAF_FILEMANAGER_H

#include <oozaf/file.h>
#include <oozaf/mutex.h>
#include <oozaf/obj.h>
#include <oozaf/time.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace oozaf {

// Open modes, combined as bits. Create is consulted only when the file does not exist, truncate
// only when it does.
enum eFileOpenMode : int {
    eFileOpenRead = 1,
    eFileOpenWrite = 2,
    eFileOpenCreate = 8,
    eFileOpenTruncate = 16,
    eFileOpenAppend = 32
};

// Text files come back as CZAFTextFile ("t" mode), binary ones as plain CZAFFile ("b").
enum eFileType : int { eFileTypeText = 0, eFileTypeBinary = 1 };

// What openUserFile accepts besides a regular file that is not a link (bits).
enum eUserFileRule : int {
    eUserFileNoLinks = 0,
    eUserFileFollowLinks = 1, // a link the user made to their file is followed
    eUserFileNullIsEmpty = 2  // the null device reads as an empty file
};

// One pass of a wipe, as handed to the pass hook (see setWipePassHook).
struct SZAFWipePass {
    unsigned int index;   // 0 for the first pass
    int32_t pattern;      // the toolkit's pattern value; -1 for random data
    std::string buffer;   // the 1024 bytes written over the file, repeated from its start
    std::string fileName; // the file being wiped
};

// Hands out file objects and temporary files. The list of temporary names is the only shared
// state and is guarded by the manager's mutex, so any thread may ask for temporary files; the
// file objects themselves belong to one thread at a time. The functions that keep no state are
// static.
//
// Every failure carries the file name and, as root, the operating system's error.
class CZAFFileManager : public CZAFObj {
public:
    // The temporary directory starts as CZAFUtil::getTempDirectory() ($TMP, $TMPDIR or /tmp).
    CZAFFileManager();
    // Logs at the verbose level the report of temporary files handed out and never removed; the
    // files themselves are left alone.
    ~CZAFFileManager() override;
    CZAFFileManager(const CZAFFileManager&) = delete;
    CZAFFileManager& operator=(const CZAFFileManager&) = delete;

    // Opens `name` and returns a new file object (a CZAFTextFile for text), owned by the caller.
    // The standard I/O mode follows from whether the file exists and the bits (first match):
    //   exists:  append "a+", truncate "w+", read and write "r+", no write "r", else "w"
    //   missing: append "a+", create "w+", read and write "w+", no write "r", else "w"
    // Throws CZAFFileOpenException (name, mode bits, errno).
    static CZAFFile* open(const std::string& name, int mode, eFileType type);
    // Opens a file that a user controls as open() does, without ever waiting on it: the open
    // does not block (a FIFO without a writer, a device), does not follow a symbolic link unless
    // `rules` holds eUserFileFollowLinks, and the descriptor must be a regular file of at most
    // `maxBytes`. A missing or forbidden file throws CZAFFileOpenException as open() does; a
    // link, a folder, device, FIFO or socket, or a larger file throws CZAFFileRefusedException.
    static CZAFFile* openUserFile(const std::string& name, int mode, eFileType type, int rules,
                                  uint64_t maxBytes = UINT64_MAX);

    void setTempDirectory(const std::string& directory);
    std::string getTempDirectory() const;

    // Creates a new empty file "<temporary directory>/zaftemp.$XXXXXX" (owner-only permissions),
    // remembers its name until removeFile and returns it. Throws CZAFFileAccessException naming
    // "<tmpfile>".
    std::string getTempFilename();
    // Writes the report of temporary files that were handed out and not removed.
    void printTempFilenames(std::ostream& out);
    // Removes the file and forgets it as a temporary file. Throws CZAFFileAccessException.
    void removeFile(const std::string& name);

    static bool fileExists(const std::string& name);
    // True for a directory. When the path cannot be examined (for example it does not exist),
    // throws CZAFFileAccessException if `throwOnError`, else returns false.
    static bool isDirectory(const std::string& name, bool throwOnError);
    // True for a regular file. Throws CZAFFileAccessException.
    static bool isRegularFile(const std::string& name);
    // Creates a directory with owner-only permissions. Throws CZAFDirCreateException.
    static void createDirectory(const std::string& name);
    // Creates an empty file, or empties an existing one: a regular file, never through a link
    // (openUserFile without links). Throws CZAFFileOpenException or CZAFFileRefusedException.
    static void createEmptyFile(const std::string& name);
    // Throws CZAFFileAccessException.
    static uint64_t getFileSize(const std::string& name);
    static CZAFTime getLastModifiedTime(const std::string& name);
    // The text before the last "/"; a path without "/" comes back unchanged.
    static std::string getFilenamePath(const std::string& path);
    // `dir` + "/" (unless `dir` is empty or already ends with "/") + `name`.
    static std::string appendToDir(const std::string& dir, const std::string& name);
    // The working directory; when it cannot be read, a warning is logged and "." returned.
    static std::string getWorkingDirectory();
    // Copies `source` to `target` (created when missing; emptied first when `replace`, otherwise
    // overwritten from its start). Exceptions of the file layer pass unchanged; a write that
    // fails only when the target is closed raises CZAFFileWriteException too. With
    // `targetIsUserFile`, the target is a file of a user's (openUserFile without links) and the
    // source a regular file.
    static void copyFiles(const std::string& source, const std::string& target, bool replace,
                          bool targetIsUserFile = false);

    // Overwrites every byte of the file once per pass with the toolkit's disk wiper, page by page
    // through a shared mapping, then removes it (and forgets it as a temporary file). `passes`
    // selects the wiper's pass set (1 to 256); an empty name or 0 passes is an internal error.
    // An empty file is simply removed. If a pass fails (the file cannot be mapped, synced to the
    // disk or unmapped, its size changed during the wipe, the toolkit fails), the file is kept
    // and CZAFFileWipeException is thrown with the failure as its root. Failures to close the
    // file or release the wiper are only logged as warnings.
    void wipeFile(const std::string& name, unsigned short passes);

    // A function called after each complete pass of wipeFile, with the file still in place; a
    // test can read the file there. An exception it throws fails the wipe like a failed pass.
    // The default (empty) function does nothing.
    using CWipePassHook = std::function<void(const SZAFWipePass&)>;
    void setWipePassHook(CWipePassHook hook) { m_wipePassHook = std::move(hook); }

private:
    std::string m_tempDirectory;
    mutable CZAFMutex m_lock;
    std::vector<std::string> m_tempFiles;
    CWipePassHook m_wipePassHook;
};

} // namespace oozaf

#endif
