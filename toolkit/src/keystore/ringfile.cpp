// ringfile: reading and writing key ring files (see ringfile.h), and reading both rings of a
// database into keys.
#include "ringfile.h"

#include "keystore_internal.h"
#include "service/service.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace zaf {

int (*gFlushBeforeRenameHook)(const char*) = nullptr;

namespace {

RingStamp stampOf(const struct stat& st) {
    RingStamp stamp;
    stamp.present = true;
    stamp.device = uint64_t(st.st_dev);
    stamp.inode = uint64_t(st.st_ino);
    stamp.size = int64_t(st.st_size);
    stamp.mtimeSeconds = int64_t(st.st_mtim.tv_sec);
    stamp.mtimeNanoseconds = int64_t(st.st_mtim.tv_nsec);
    return stamp;
}

} // namespace

bool currentRingStamp(const std::string& path, RingStamp& out) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        out = RingStamp();
        return errno == ENOENT;
    }
    out = stampOf(st);
    return true;
}

ZAFError fileError(orxfile::Problem problem) {
    switch (problem) {
    case orxfile::Problem::None:
        return kZAFError_NoErr;
    case orxfile::Problem::Missing:
        return kZAFError_FileNotFound;
    case orxfile::Problem::Denied:
    case orxfile::Problem::NotOwned:
        return kZAFError_FilePermissions;
    case orxfile::Problem::Link:
        return kZAFError_SymbolicLink;
    case orxfile::Problem::NotRegular:
        return kZAFError_NotRegularFile;
    case orxfile::Problem::TooLarge:
        return kZAFError_FileTooLarge;
    case orxfile::Problem::Failed:
        break;
    }
    return kZAFError_FileOpenFailed;
}

ZAFError openUserFile(const std::string& path, int flags, uint64_t limit, bool followLinks,
                      orxfile::UserFile& file) {
    orxfile::Rules rules;
    rules.followLinks = followLinks;
    rules.maxBytes = limit;
    return fileError(file.open(path, flags, rules, (flags & O_CREAT) != 0 ? 0644 : 0));
}

namespace {

ZAFError readOpened(orxfile::UserFile& file, std::string& out, RingStamp* stamp) {
    if (stamp != nullptr)
        *stamp = stampOf(file.info());
    if (file.readAll(out) != orxfile::Problem::None)
        return kZAFError_ReadFailed;
    return kZAFError_NoErr;
}

// Opens a ring for reading; a missing one is no file and no error when `missingOk`.
ZAFError openRing(const std::string& path, bool missingOk, uint64_t limit,
                  orxfile::UserFile& file) {
    ZAFError err = openUserFile(path, O_RDONLY, limit, false, file);
    if (err == kZAFError_FileNotFound && missingOk)
        return kZAFError_NoErr;
    return err;
}

} // namespace

ZAFError readFile(const std::string& path, std::string& out, bool missingOk, RingStamp* stamp,
                  uint64_t limit) {
    out.clear();
    if (stamp != nullptr)
        *stamp = RingStamp();
    orxfile::UserFile file;
    ZAFError err = openRing(path, missingOk, limit, file);
    if (err != kZAFError_NoErr || !file.isOpen())
        return err;
    return readOpened(file, out, stamp);
}

namespace {

// Writes to a temporary file beside `path`; returns its name in `tmp`.
ZAFError writeTemp(const std::string& path, std::string_view data, unsigned mode,
                   std::string& tmp) {
    tmp = path + ".tmpXXXXXX";
    int fd = ::mkstemp(&tmp[0]);
    if (fd < 0)
        return errno == EACCES ? kZAFError_FilePermissions : kZAFError_FileOpenFailed;
    bool ok = ::fchmod(fd, mode_t(mode)) == 0;
    size_t done = 0;
    while (ok && done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        done += size_t(n);
    }
    if (ok && ::fsync(fd) != 0)
        ok = false;
    if (::close(fd) != 0)
        ok = false;
    if (!ok) {
        ::unlink(tmp.c_str());
        return kZAFError_WriteFailed;
    }
    return kZAFError_NoErr;
}

void syncDirectoryOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

ZAFError writeFileAtomic(const std::string& path, std::string_view data, unsigned mode) {
    std::string tmp;
    ZAFError err = writeTemp(path, data, mode, tmp);
    if (err != kZAFError_NoErr)
        return err;
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return kZAFError_WriteFailed;
    }
    syncDirectoryOf(path);
    return kZAFError_NoErr;
}

ZAFError writeRings(const std::string& pubPath, std::string_view pub, const std::string& secPath,
                    std::string_view sec) {
    std::string pubTmp, secTmp;
    ZAFError err = writeTemp(pubPath, pub, 0644, pubTmp);
    if (err != kZAFError_NoErr)
        return err;
    if (!secPath.empty()) {
        err = writeTemp(secPath, sec, 0600, secTmp);
        if (err != kZAFError_NoErr) {
            ::unlink(pubTmp.c_str());
            return err;
        }
    }
    if (gFlushBeforeRenameHook && gFlushBeforeRenameHook(pubPath.c_str()) != 0) {
        ::unlink(pubTmp.c_str());
        if (!secTmp.empty())
            ::unlink(secTmp.c_str());
        return kZAFError_WriteFailed;
    }
    // The secret ring goes first: a crash in between leaves a public ring without the newest
    // keys, never a secret key that the public ring does not list.
    if (!secTmp.empty() && ::rename(secTmp.c_str(), secPath.c_str()) != 0) {
        ::unlink(pubTmp.c_str());
        ::unlink(secTmp.c_str());
        return kZAFError_WriteFailed;
    }
    if (::rename(pubTmp.c_str(), pubPath.c_str()) != 0) {
        ::unlink(pubTmp.c_str());
        return kZAFError_WriteFailed;
    }
    syncDirectoryOf(pubPath);
    return kZAFError_NoErr;
}

ZAFError RingLock::acquire(const std::string& path) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        orxfile::UserFile file;
        ZAFError err = openUserFile(path, O_RDWR | O_CREAT, UINT64_MAX, false, file);
        if (err != kZAFError_NoErr)
            return err;
        m_fd = file.release();
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                release();
                return kZAFError_FileLocked;
            }
        }
        struct stat a, b;
        if (::fstat(m_fd, &a) == 0 && ::lstat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
            a.st_dev == b.st_dev)
            return kZAFError_NoErr;
        release();
    }
    return kZAFError_FileLocked;
}

void RingLock::release() {
    if (m_fd >= 0) {
        ::flock(m_fd, LOCK_UN);
        ::close(m_fd);
        m_fd = -1;
    }
}

namespace {
ZAFError parseRings(std::string pubData, std::string secData, std::vector<KeyPtr>& out,
                    std::shared_ptr<const std::string>* secretRead = nullptr);
} // namespace

// Reads both rings into keys: public keys in ring order, secret-only keys after them.
ZAFError loadRings(const std::string& pubPath, const std::string& secPath, std::vector<KeyPtr>& out,
                   RingStamp* stamps, uint64_t* serviceEntry,
                   std::shared_ptr<const std::string>* secretRead) {
    if (secretRead != nullptr)
        secretRead->reset();
    if (serviceEntry != nullptr)
        *serviceEntry = 0;
    if (stamps != nullptr)
        stamps[0] = stamps[1] = RingStamp();
    orxfile::UserFile pubFile, secFile;
    ZAFError err = openRing(pubPath, true, kMaxRingBytes, pubFile);
    if (err == kZAFError_NoErr && !secPath.empty())
        err = openRing(secPath, true, kMaxRingBytes, secFile);
    if (err != kZAFError_NoErr)
        return err;
    // Only the public ring goes to the service: the checks it makes are bound to public parts.
    if (serviceEntry != nullptr && pubFile.isOpen())
        *serviceEntry = serviceOpenRing(pubFile.fd());
    std::string pubData, secData;
    if (pubFile.isOpen())
        err = readOpened(pubFile, pubData, stamps);
    if (err == kZAFError_NoErr && secFile.isOpen())
        err = readOpened(secFile, secData, stamps != nullptr ? stamps + 1 : nullptr);
    if (err != kZAFError_NoErr)
        return err; // the caller releases what the service pinned, as for any failure
    return parseRings(std::move(pubData), std::move(secData), out,
                      secFile.isOpen() ? secretRead : nullptr);
}

ZAFError loadRingFromDescriptor(int fd, std::vector<KeyPtr>& out) {
    orxfile::UserFile file;
    orxfile::Rules rules;
    rules.maxBytes = kMaxRingBytes;
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    ZAFError err = fileError(file.adopt(own, rules));
    std::string data;
    if (err == kZAFError_NoErr)
        err = readOpened(file, data, nullptr);
    if (err != kZAFError_NoErr)
        return err;
    return parseRings(std::move(data), std::string(), out);
}

namespace {

// Builds the keys of both rings' bytes: public keys in ring order, secret-only keys after them.
ZAFError parseRings(std::string pubData, std::string secData, std::vector<KeyPtr>& out,
                    std::shared_ptr<const std::string>* secretRead) {
    auto pubStore = std::make_shared<const std::string>(std::move(pubData));
    auto secStore = std::make_shared<const std::string>(std::move(secData));
    if (secretRead != nullptr)
        *secretRead = secStore;
    std::vector<KeyPtr> pubKeys;
    if (!parseKeys(pubStore, false, true, pubKeys, nullptr, true))
        return kZAFError_CorruptData;
    std::unordered_map<std::string, size_t> index;
    index.reserve(pubKeys.size());
    for (size_t i = 0; i < pubKeys.size(); ++i)
        index.emplace(pubKeys[i]->fingerprintKey(), i);
    out = std::move(pubKeys);
    // The secret ring is only framed here; its keys are built in full only when the public ring
    // lacks them, which keeps the peak memory of opening big rings down.
    const std::string& sec = *secStore;
    const uint8_t* data = reinterpret_cast<const uint8_t*>(sec.data());
    std::string scratch;
    size_t pos = 0, start = 0;
    std::string fpr;
    auto finish = [&](size_t end) -> bool {
        if (end == start)
            return true;
        auto it = index.find(fpr);
        if (it != index.end()) {
            Key& pk = *out[it->second];
            if (pk.secLength == 0) { // a second secret copy of the same key: the first counts
                pk.secStore = secStore;
                pk.secOffset = start;
                pk.secLength = end - start;
            }
            return true;
        }
        KeyPtr k = buildKey(nullptr, 0, 0, secStore, start, end - start, false);
        if (!k)
            return false;
        index.emplace(fpr, out.size());
        out.push_back(std::move(k));
        return true;
    };
    while (pos < sec.size()) {
        rfc4880::RawPacket rp;
        if (!rfc4880::readPacket(data, sec.size(), pos, rp, scratch) || rp.partial)
            return kZAFError_CorruptData;
        if (isPrimaryTag(rp.tag)) {
            if (!finish(pos))
                return kZAFError_CorruptData;
            rfc4880::KeyInfo info;
            if (!rfc4880::parseKeyPacket(rp.body, info))
                return kZAFError_CorruptData;
            fpr.assign(reinterpret_cast<const char*>(info.fingerprint), info.fingerprintLength);
            start = pos;
        } else if (pos == 0) {
            return kZAFError_CorruptData;
        }
        pos += rp.total;
    }
    if (!finish(pos))
        return kZAFError_CorruptData;
    return kZAFError_NoErr;
}

} // namespace

std::string ringBytes(const std::vector<KeyPtr>& keys, bool secret) {
    size_t total = 0;
    for (const KeyPtr& k : keys)
        total += secret ? k->secLength : k->pubLength;
    std::string out;
    out.reserve(total);
    for (const KeyPtr& k : keys)
        out.append(secret ? k->secBytes() : k->pubBytes());
    return out;
}

} // namespace zaf
