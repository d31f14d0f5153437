// ringfile: reading and writing key ring files (see ringfile.h), and reading both rings of a
// database into keys.
#include "ringfile.h"

#include "keystore_internal.h"

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

ZAFError readFile(const std::string& path, std::string& out, bool missingOk, RingStamp* stamp) {
    out.clear();
    if (stamp != nullptr)
        *stamp = RingStamp();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT && missingOk)
            return kZAFError_NoErr;
        return errno == ENOENT   ? kZAFError_FileNotFound
               : errno == EACCES ? kZAFError_FilePermissions
                                 : kZAFError_FileOpenFailed;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || size_t(st.st_size) > kMaxRingBytes) {
        ::close(fd);
        return kZAFError_ReadFailed;
    }
    if (stamp != nullptr)
        *stamp = stampOf(st);
    out.resize(size_t(st.st_size));
    size_t got = 0;
    while (got < out.size()) {
        ssize_t n = ::read(fd, &out[got], out.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += size_t(n);
    }
    ::close(fd);
    out.resize(got);
    return kZAFError_NoErr;
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
        m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (m_fd < 0)
            return errno == EACCES ? kZAFError_FilePermissions : kZAFError_FileOpenFailed;
        while (::flock(m_fd, LOCK_EX) != 0) {
            if (errno != EINTR) {
                release();
                return kZAFError_FileLocked;
            }
        }
        struct stat a, b;
        if (::fstat(m_fd, &a) == 0 && ::stat(path.c_str(), &b) == 0 && a.st_ino == b.st_ino &&
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

// Reads both rings into keys: public keys in ring order, secret-only keys after them.
ZAFError loadRings(const std::string& pubPath, const std::string& secPath, std::vector<KeyPtr>& out,
                   RingStamp* stamps) {
    std::string pubData, secData;
    ZAFError err = readFile(pubPath, pubData, true, stamps);
    if (err != kZAFError_NoErr)
        return err;
    if (!secPath.empty()) {
        err = readFile(secPath, secData, true, stamps != nullptr ? stamps + 1 : nullptr);
        if (err != kZAFError_NoErr)
            return err;
    }
    auto pubStore = std::make_shared<const std::string>(std::move(pubData));
    auto secStore = std::make_shared<const std::string>(std::move(secData));
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
