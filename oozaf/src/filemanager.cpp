// filemanager: opening, temporary files, copying, removal and secure wiping of files.
#include "file_internal.h"

#include <oozaf/filemanager.h>
#include <oozaf/logger.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <zaf/zafwipe.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iomanip>
#include <memory>
#include <orx/userfile.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace oozaf {

namespace {

const char* const kTag = "file";
const std::size_t kCopyChunk = 32768;

std::string modeString(bool exists, int mode) {
    const bool readAndWrite = (mode & eFileOpenRead) && (mode & eFileOpenWrite);
    if (mode & eFileOpenAppend)
        return "a+";
    if (exists) {
        if (mode & eFileOpenTruncate)
            return "w+";
        if (readAndWrite)
            return "r+";
    } else {
        if ((mode & eFileOpenCreate) || readAndWrite)
            return "w+";
    }
    if (!(mode & eFileOpenWrite))
        return "r";
    return "w";
}

// The open(2) flags of a standard I/O mode string ("r", "r+", "w", "w+", "a+").
int openFlags(const std::string& mode) {
    if (mode == "r")
        return O_RDONLY;
    if (mode == "r+")
        return O_RDWR;
    if (mode == "w")
        return O_WRONLY | O_CREAT | O_TRUNC;
    if (mode == "w+")
        return O_RDWR | O_CREAT | O_TRUNC;
    return O_RDWR | O_CREAT | O_APPEND; // "a+"
}

// Releases the toolkit objects of a wipe however it ends. Release failures cannot change the
// outcome of the wipe any more, so they are only reported.
class CWipeResources final {
public:
    CWipeResources() = default;
    CWipeResources(const CWipeResources&) = delete;
    CWipeResources& operator=(const CWipeResources&) = delete;
    ~CWipeResources() {
        if (wiper != nullptr) {
            const ZAFError error = ZAFDestroyDiskWiper(wiper);
            if (error != kZAFError_NoErr) {
                CZAFSDKException e(error);
                ZAF_LOG_WARNING("Warning: Error destroying disk wipe ref\n" << e);
            }
        }
        if (stream != nullptr && fclose(stream) != 0) {
            CZAFFileSystemException e(errno);
            ZAF_LOG_WARNING("Warning: Error closing file handle.\n" << e);
        }
        if (context != nullptr)
            ZAFFreeContext(context);
    }

    ZAFContextRef context = nullptr;
    ZAFDiskWiperRef wiper = nullptr;
    FILE* stream = nullptr;
};

void logMappingWarning(const char* what, int error, long pageSize, uint64_t offset) {
    ZAF_LOG_WARNING(what);
    ZAF_LOG_VERBOSE(CZAFOSException(error));
    ZAF_LOG_DEBUG("Current pagesize: " << pageSize << ", Current offset: " << offset);
}

} // namespace

CZAFFileManager::CZAFFileManager()
    : m_tempDirectory(CZAFUtil::getTempDirectory()), m_lock(kTag, __LINE__) {}

CZAFFileManager::~CZAFFileManager() {
    try {
        std::ostringstream report;
        printTempFilenames(report);
        ZAF_LOG_VERBOSE(report.str());
    } catch (CZAFThrowable* e) {
        // A destructor must not throw; losing the orphan report is the lesser harm.
        delete e;
    } catch (...) {
    }
}

CZAFFile* CZAFFileManager::open(const std::string& name, int mode, eFileType type) {
    std::string openMode = modeString(fileExists(name), mode);
    openMode += (type == eFileTypeText) ? "t" : "b";
    ZAF_LOG_DEBUG("openMode = '" << openMode << "'");
    FILE* stream = fopen(name.c_str(), openMode.c_str());
    if (stream == nullptr)
        gThrowWithErrno<CZAFFileOpenException>(name, mode);
    if (type == eFileTypeText)
        return new CZAFTextFile(stream, name);
    return new CZAFFile(stream, name);
}

CZAFFile* CZAFFileManager::openUserFile(const std::string& name, int mode, eFileType type,
                                        int rules, uint64_t maxBytes) {
    const std::string openMode = modeString(fileExists(name), mode);
    ZAF_LOG_DEBUG("openMode = '" << openMode << "' (a user's file)");
    orxfile::Rules checks;
    checks.followLinks = (rules & eUserFileFollowLinks) != 0;
    checks.nullDeviceIsEmpty = (rules & eUserFileNullIsEmpty) != 0;
    checks.maxBytes = maxBytes;
    orxfile::UserFile file;
    const orxfile::Problem problem = file.open(name, openFlags(openMode), checks, 0666);
    switch (problem) {
    case orxfile::Problem::None:
        break;
    case orxfile::Problem::Missing:
    case orxfile::Problem::Denied:
    case orxfile::Problem::Failed:
        throw new CZAFFileOpenException(name, mode, file.error());
    default:
        throw new CZAFFileRefusedException(name, file.explain(problem));
    }
    // The descriptor is past its checks (fdopen never truncates or creates).
    FILE* stream = fdopen(file.fd(), (openMode + (type == eFileTypeText ? "t" : "b")).c_str());
    if (stream == nullptr)
        gThrowWithErrno<CZAFFileOpenException>(name, mode);
    file.release();
    if (type == eFileTypeText)
        return new CZAFTextFile(stream, name);
    return new CZAFFile(stream, name);
}

void CZAFFileManager::setTempDirectory(const std::string& directory) {
    CZAFLockGuard guard(m_lock);
    m_tempDirectory = directory;
}

std::string CZAFFileManager::getTempDirectory() const {
    CZAFLockGuard guard(m_lock);
    return m_tempDirectory;
}

std::string CZAFFileManager::getTempFilename() {
    std::string name;
    {
        CZAFLockGuard guard(m_lock);
        char buffer[1025];
        snprintf(buffer, sizeof(buffer), "%s/zaftemp.$XXXXXX", m_tempDirectory.c_str());
        const int fd = mkstemp(buffer);
        if (fd < 0)
            gThrowWithErrno<CZAFFileAccessException>("<tmpfile>");
        close(fd);
        name = buffer;
        m_tempFiles.push_back(name);
    }
    ZAF_LOG_DEBUG("Returning temporary filename: '" << name << "'");
    return name;
}

void CZAFFileManager::printTempFilenames(std::ostream& out) {
    CZAFLockGuard guard(m_lock);
    if (m_tempFiles.empty()) {
        out << "No orphan temporary files found.\n";
        return;
    }
    out << "Found orphan temporary files:\n\n";
    for (const std::string& name : m_tempFiles)
        out << name << "\n";
}

void CZAFFileManager::removeFile(const std::string& name) {
    if (remove(name.c_str()) != 0)
        gThrowWithErrno<CZAFFileAccessException>(name);
    CZAFLockGuard guard(m_lock);
    auto found = std::find(m_tempFiles.begin(), m_tempFiles.end(), name);
    if (found != m_tempFiles.end())
        m_tempFiles.erase(found);
}

bool CZAFFileManager::fileExists(const std::string& name) {
    return access(name.c_str(), F_OK) == 0;
}

bool CZAFFileManager::isDirectory(const std::string& name, bool throwOnError) {
    struct stat info {};
    if (stat(name.c_str(), &info) != 0) {
        if (throwOnError)
            gThrowWithErrno<CZAFFileAccessException>(name);
        return false;
    }
    return S_ISDIR(info.st_mode);
}

bool CZAFFileManager::isRegularFile(const std::string& name) {
    struct stat info {};
    if (stat(name.c_str(), &info) != 0)
        gThrowWithErrno<CZAFFileAccessException>(name);
    return S_ISREG(info.st_mode);
}

void CZAFFileManager::createDirectory(const std::string& name) {
    if (mkdir(name.c_str(), 0700) != 0)
        gThrowWithErrno<CZAFDirCreateException>(name);
}

void CZAFFileManager::createEmptyFile(const std::string& name) {
    delete openUserFile(name, eFileOpenWrite | eFileOpenCreate | eFileOpenTruncate, eFileTypeText,
                        eUserFileNoLinks);
}

uint64_t CZAFFileManager::getFileSize(const std::string& name) {
    struct stat info {};
    if (stat(name.c_str(), &info) != 0)
        gThrowWithErrno<CZAFFileAccessException>(name);
    return static_cast<uint64_t>(info.st_size);
}

CZAFTime CZAFFileManager::getLastModifiedTime(const std::string& name) {
    struct stat info {};
    if (stat(name.c_str(), &info) != 0)
        gThrowWithErrno<CZAFFileAccessException>(name);
    return CZAFTime(static_cast<long>(info.st_mtime));
}

std::string CZAFFileManager::getFilenamePath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return path;
    return path.substr(0, slash);
}

std::string CZAFFileManager::appendToDir(const std::string& dir, const std::string& name) {
    if (dir.empty() || dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}

std::string CZAFFileManager::getWorkingDirectory() { return CZAFUtil::getWorkingDirectory(); }

void CZAFFileManager::copyFiles(const std::string& source, const std::string& target, bool replace,
                                bool targetIsUserFile) {
    std::unique_ptr<CZAFFile> in(
        targetIsUserFile
            ? openUserFile(source, eFileOpenRead, eFileTypeBinary, eUserFileFollowLinks)
            : open(source, eFileOpenRead, eFileTypeBinary));
    const int targetMode = replace ? (eFileOpenWrite | eFileOpenCreate | eFileOpenTruncate)
                                   : (eFileOpenWrite | eFileOpenCreate);
    std::unique_ptr<CZAFFile> out(
        targetIsUserFile ? openUserFile(target, targetMode, eFileTypeBinary, eUserFileNoLinks)
                         : open(target, targetMode, eFileTypeBinary));
    std::string chunk;
    while (in->read(chunk, kCopyChunk) != 0)
        out->write(chunk);
    // The last chunk may still sit in the stream's buffer: a copy is complete only when the
    // close that writes it succeeds.
    out->close();
}

void CZAFFileManager::wipeFile(const std::string& name, unsigned short passes) {
    ZAF_ASSERT_TAG(kTag, !name.empty() && passes != 0);

    CWipeResources resources;
    ZAFError error = ZAFNewContext(&resources.context);
    if (error != kZAFError_NoErr)
        throw new CZAFContextCreationException(error);

    const long pageSize = sysconf(_SC_PAGESIZE);
    if (pageSize <= 0) {
        ZAF_LOG_ERROR("Error: Could not get current page size");
        ZAF_FAIL_TAG(kTag);
    }

    const uint64_t size = getFileSize(name);
    if (size == 0) {
        removeFile(name);
        return;
    }

    resources.stream = fopen(name.c_str(), "r+b");
    if (resources.stream == nullptr) {
        const int openError = errno;
        gRethrowAs<CZAFFileWipeException>(new CZAFFileSystemException(openError), name);
    }
    const int fd = fileno(resources.stream);

    error = ZAFCreateDiskWiper(resources.context, &resources.wiper, passes);
    uint32_t* words = nullptr;
    if (error == kZAFError_NoErr)
        error = ZAFGetDiskWipeBuffer(resources.wiper, &words);
    if (error != kZAFError_NoErr)
        gRethrowAs<CZAFFileWipeException>(new CZAFSDKException(error), name);
    const auto* pattern = reinterpret_cast<const unsigned char*>(words);

    CZAFThrowableGuard failure;
    for (unsigned int pass = 0; !failure; ++pass) {
        int32_t patternValue = 0;
        error = ZAFGetDiskWipePattern(resources.wiper, &patternValue);
        if (error == kZAFError_EndOfIteration)
            break;
        if (error != kZAFError_NoErr) {
            failure.reset(new CZAFSDKException(error));
            break;
        }
        if (patternValue == kZAFDiskWipePatternRandom) {
            ZAF_LOG_DEBUG("Applying wipe pattern: <Random Data>");
        } else {
            ZAF_LOG_DEBUG("Applying wipe pattern: 0x" << std::hex << std::uppercase
                                                      << patternValue);
        }

        // Writing through a mapping past the end of a file that shrank meanwhile would kill the
        // process with SIGBUS, and a file that grew would keep its new bytes: either way the
        // pass cannot do its job, so it fails instead.
        struct stat info {};
        if (fstat(fd, &info) != 0) {
            const int statError = errno;
            failure.reset(new CZAFFileSystemException(statError));
            break;
        }
        if (static_cast<uint64_t>(info.st_size) != size) {
            failure.reset(new CZAFFileSystemException(EBUSY));
            break;
        }

        for (uint64_t offset = 0; offset < size;) {
            const auto length = static_cast<std::size_t>(
                std::min<uint64_t>(static_cast<uint64_t>(pageSize), size - offset));
            void* mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                                static_cast<off_t>(offset));
            if (mapped == MAP_FAILED) {
                const int mapError = errno;
                failure.reset(new CZAFOSException(mapError));
                break;
            }
            auto* bytes = static_cast<unsigned char*>(mapped);
            for (std::size_t done = 0; done < length; done += kZAFDiskWipeBufferSize)
                memcpy(bytes + done, pattern,
                       std::min<std::size_t>(kZAFDiskWipeBufferSize, length - done));
            // A pattern that may not have reached the disk is a failed pass: the file is kept
            // rather than removed as if it had been wiped.
            if (msync(mapped, length, MS_SYNC) != 0) {
                const int syncError = errno;
                logMappingWarning("Warning: Error syncing file to disk.", syncError, pageSize,
                                  offset);
                failure.reset(new CZAFOSException(syncError));
            }
            if (munmap(mapped, length) != 0) {
                const int unmapError = errno;
                logMappingWarning("Warning: Error unmapping file from memory.", unmapError,
                                  pageSize, offset);
                if (!failure)
                    failure.reset(new CZAFOSException(unmapError));
            }
            if (failure)
                break;
            offset += length;
        }

        if (!failure && m_wipePassHook) {
            try {
                m_wipePassHook(SZAFWipePass{
                    pass, patternValue,
                    std::string(reinterpret_cast<const char*>(pattern), kZAFDiskWipeBufferSize),
                    name});
            } catch (CZAFThrowable* e) {
                failure.reset(e);
            }
        }
    }

    if (failure)
        gRethrowAs<CZAFFileWipeException>(failure.release(), name);
    // The toolkit objects and the stream are released before the file is removed.
    {
        CWipeResources done;
        std::swap(done.context, resources.context);
        std::swap(done.wiper, resources.wiper);
        std::swap(done.stream, resources.stream);
    }
    removeFile(name);
}

} // namespace oozaf
