// io: passphrases in locked memory, the output-file discipline (temporary file beside the target,
// renamed on success, removed otherwise), reading inputs, and finding the keys a command names.
#include "engine_internal.h"

#include <oozaf/keydb.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace oozaf;

namespace orxengine {

void gWipe(void* data, size_t size) noexcept {
    volatile char* bytes = static_cast<volatile char*>(data);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = 0;
}

// ---- CSecret ----

CSecret::CSecret() : m_buffer(kMaxPassphraseLength + 1, '\0') {
    m_locked = ::mlock(m_buffer.data(), m_buffer.size()) == 0;
}

CSecret::~CSecret() {
    clear();
    if (m_locked)
        ::munlock(m_buffer.data(), m_buffer.size());
}

bool CSecret::append(char c) {
    if (m_length >= kMaxPassphraseLength)
        return false;
    m_buffer[m_length++] = c;
    return true;
}

void CSecret::clear() {
    gWipe(m_buffer.data(), m_buffer.size());
    m_length = 0;
}

// ---- CPendingFiles ----

bool CPendingFiles::add(const std::string& path) {
    if (path.size() >= kPathSize)
        return false;
    for (int i = 0; i < kSlots; ++i) {
        int expected = 0;
        if (m_used[i].load() == 0 && m_used[i].compare_exchange_strong(expected, 1)) {
            std::memcpy(m_paths[i], path.c_str(), path.size() + 1);
            m_used[i] = 2; // complete: a signal handler may now unlink it
            return true;
        }
    }
    return false;
}

void CPendingFiles::remove(const std::string& path) {
    for (int i = 0; i < kSlots; ++i)
        if (m_used[i] == 2 && path == m_paths[i])
            m_used[i] = 0;
}

void CPendingFiles::unlinkAll() noexcept {
    for (int i = 0; i < kSlots; ++i)
        if (m_used[i] == 2)
            ::unlink(m_paths[i]);
}

// ---- COutput ----

namespace {

std::string errnoText(int error) { return std::strerror(error); }

std::string folderOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The process's file mode creation mask, read without changing it where the system tells it.
mode_t currentUmask() {
    const int fd = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
        ::close(fd);
        if (n > 0) {
            buffer[n] = '\0';
            if (const char* line = std::strstr(buffer, "\nUmask:"))
                return static_cast<mode_t>(std::strtoul(line + 7, nullptr, 8) & 0777);
        }
    }
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

} // namespace

COutput::COutput(CEngineIO& io, CPendingFiles& pending, const std::string& path, bool overwrite,
                 bool secret)
    : m_io(io), m_pending(pending), m_path(path), m_secret(secret) {
    if (path.empty())
        return;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            fail(kZAFvorn_IO, path + " is a folder");
        if (!overwrite)
            fail(kZAFvorn_IO, path + " exists (use --overwrite to replace it)");
    }
    // A file that grows past the process's file-size limit must fail its write, not kill the
    // process before the temporary file is cleaned up. The temporary file is private to its
    // owner (mkostemp's mode 0600) while it is written; an ordinary file gets the mode the
    // umask allows when it is committed.
    struct sigaction current {};
    if (::sigaction(SIGXFSZ, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
        ::signal(SIGXFSZ, SIG_IGN);
    std::string temp = folderOf(path) + "/." + baseOf(path) + ".XXXXXX";
    m_fd = ::mkostemp(&temp[0], O_CLOEXEC);
    if (m_fd < 0)
        fail(kZAFvorn_IO, "cannot write in " + folderOf(path) + ": " + errnoText(errno));
    m_temp = temp;
    if (!m_pending.add(m_temp)) {
        ::close(m_fd);
        ::unlink(m_temp.c_str());
        m_fd = -1;
        m_temp.clear();
        fail(kZAFvorn_IO, "too many output files");
    }
}

COutput::~COutput() {
    gWipe(m_held);
    if (m_fd >= 0)
        ::close(m_fd);
    if (!m_temp.empty()) {
        ::unlink(m_temp.c_str());
        m_pending.remove(m_temp);
    }
}

void COutput::write(const char* data, size_t size) {
    if (m_path.empty() && m_holdLimit > 0) {
        if (m_held.size() + size > m_holdLimit)
            fail(kZAFvorn_IO, "more than " + std::to_string(m_holdLimit >> 20) +
                                  " MiB to hold back until the checks are done; use --output");
        m_held.append(data, size);
        return;
    }
    if (m_path.empty()) {
        // The bytes may be decrypted data: the copy handed on goes when it has been taken.
        std::string chunk(data, size);
        m_io.writeOut(chunk);
        gWipe(chunk);
        return;
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(m_fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail(kZAFvorn_IO, "cannot write " + m_path + ": " + errnoText(n < 0 ? errno : ENOSPC));
        done += static_cast<size_t>(n);
    }
}

void COutput::retarget(const std::string& path, bool overwrite) {
    if (m_temp.empty() || path.empty())
        fail(kZAFvorn_Usage, "no output file to name");
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode))
            fail(kZAFvorn_IO, path + " exists and is not a regular file");
        if (!overwrite)
            fail(kZAFvorn_IO, path + " exists (use --overwrite to replace it)");
    }
    m_path = path;
    m_noReplace = !overwrite;
}

void COutput::commit() {
    if (m_path.empty()) {
        if (m_holdLimit > 0 && !m_held.empty()) {
            m_io.writeOut(m_held);
            gWipe(m_held);
        }
        return;
    }
    if (!m_secret && ::fchmod(m_fd, 0666 & ~currentUmask()) != 0)
        fail(kZAFvorn_IO, "cannot create " + m_path + ": " + errnoText(errno));
    if (::fsync(m_fd) != 0)
        fail(kZAFvorn_IO, "cannot write " + m_path + ": " + errnoText(errno));
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        fail(kZAFvorn_IO, "cannot write " + m_path + ": " + errnoText(errno));
    // A name the input chose never replaces a file that appeared meanwhile.
    const int renamed = m_noReplace ? ::renameat2(AT_FDCWD, m_temp.c_str(), AT_FDCWD,
                                                  m_path.c_str(), RENAME_NOREPLACE)
                                    : ::rename(m_temp.c_str(), m_path.c_str());
    if (renamed != 0)
        fail(kZAFvorn_IO, "cannot create " + m_path + ": " + errnoText(errno));
    m_pending.remove(m_temp);
    m_temp.clear();
}

// ---- CEngineRun: passphrases, inputs, outputs, keys ----

void CEngineRun::readPassphrase(const std::string& what, CSecret& secret) {
    secret.clear();
    const int fd = setting(eZAFOpPassphraseFD, -1);
    if (fd >= 0) {
        char c = 0;
        bool any = false;
        while (m_io.readByte(fd, c)) {
            any = true;
            if (c == '\n')
                break;
            if (!secret.append(c)) {
                secret.clear();
                fail(kZAFvorn_BadPassphrase, "the passphrase for " + what + " is longer than " +
                                                 std::to_string(kMaxPassphraseLength) + " bytes");
            }
        }
        if (!any)
            fail(kZAFvorn_BadPassphrase,
                 "no passphrase for " + what + " on descriptor " + std::to_string(fd));
        return;
    }
    if (m_cmd.has("--batch-mode") || !m_io.canPrompt())
        fail(kZAFvorn_BadPassphrase,
             "a passphrase is needed for " + what + ": give it with --passphrase-fd");
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0)
        fail(kZAFvorn_BadPassphrase, "cannot open the terminal for the passphrase prompt");
    const std::string prompt = "Passphrase for " + what + ": ";
    (void)!::write(tty, prompt.data(), prompt.size());
    struct termios saved {};
    const bool haveTerm = !setting(eZAFOpShowPass, false) && ::tcgetattr(tty, &saved) == 0;
    if (haveTerm) {
        struct termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        ::tcsetattr(tty, TCSAFLUSH, &quiet);
    }
    char c = 0;
    bool tooLong = false;
    for (;;) {
        const ssize_t n = ::read(tty, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n')
            break;
        if (!secret.append(c))
            tooLong = true;
    }
    if (haveTerm)
        ::tcsetattr(tty, TCSAFLUSH, &saved);
    (void)!::write(tty, "\n", 1);
    ::close(tty);
    if (tooLong) {
        secret.clear();
        fail(kZAFvorn_BadPassphrase,
             "the passphrase is longer than " + std::to_string(kMaxPassphraseLength) + " bytes");
    }
}

std::string CEngineRun::readInput(const std::string& path) {
    std::string data;
    char buffer[65536];
    if (path.empty() || path == "-") {
        for (;;) {
            checkCancel();
            const size_t n = m_io.readIn(buffer, sizeof buffer);
            if (n == 0)
                break;
            if (data.size() + n > kMaxInputSize)
                fail(kZAFvorn_IO,
                     "standard input is larger than " + std::to_string(kMaxInputSize) + " bytes");
            data.append(buffer, n);
        }
        return data;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        fail(kZAFvorn_IO, "cannot read " + path + ": " + errnoText(errno));
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        fail(kZAFvorn_IO, "cannot read " + path + ": it is a folder");
    }
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            fail(kZAFvorn_IO, "cannot read " + path + ": " + errnoText(error));
        }
        if (n == 0)
            break;
        if (data.size() + static_cast<size_t>(n) > kMaxInputSize) {
            ::close(fd);
            fail(kZAFvorn_IO, path + " is larger than " + std::to_string(kMaxInputSize) + " bytes");
        }
        data.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return data;
}

std::unique_ptr<COutput> CEngineRun::openOutput(bool secret) {
    std::string path = m_currentInput.empty() ? m_cmd.arg("--output") : m_currentOutput;
    const bool preserve = m_command != nullptr && m_command->op == eZAFOpDecrypt &&
                          setting(eZAFOpPreserveFilename, false);
    if (preserve) // the name comes with the data; written beside it meanwhile
        path = outputFolder() + "/.orxcmd-name-to-come";
    std::unique_ptr<COutput> output(
        new COutput(m_io, m_pending, path, setting(eZAFOpOverwrite, false), secret));
    if (path.empty() && gHoldsOutput(*this))
        output->holdUntilCommit(gHeldOutputLimit());
    return output;
}

namespace {

void checkPattern(const std::string& pattern) {
    if (pattern.empty())
        fail(kZAFvorn_Usage, "an empty key name matches every key; name the key");
    std::string fingerprint;
    if (CZAFUtil::beginsWithIgnoreCase(pattern, "0x") && !CZAFUtil::checkValidKeyID(pattern) &&
        !(CZAFUtil::parseKeyIDOrFingerprint(pattern, fingerprint) && fingerprint.size() > 16))
        fail(kZAFvorn_Usage,
             "'" + pattern + "' is not a key ID (0x and 8 or 16 hex digits) or fingerprint");
}

} // namespace

std::unique_ptr<CZAFKey> CEngineRun::findKey(const std::string& pattern, bool secret,
                                             unsigned int flags) {
    checkPattern(pattern);
    std::unique_ptr<CZAFKeySet> set(keyDB().getMatchingKeySet(pattern, flags, nullptr, nullptr));
    const unsigned int count = set->count();
    if (count == 0)
        fail(kZAFvorn_NoKey,
             std::string((flags & CZAFKeyDB::kMatchEnabledOnly) != 0 ? "no enabled key matches '"
                                                                     : "no key matches '") +
                 pattern + "'");
    std::unique_ptr<CZAFIterator> iter(set->getIterator());
    std::unique_ptr<CZAFKey> chosen;
    if (count > 1) {
        // Several keys hold the text; one whose user ID is exactly the text is still meant.
        for (;;) {
            CZAFDatabaseObject* object = nullptr;
            if (iter->next(kZAFKeyDBObjType_Key, object) != kZAFError_NoErr)
                break;
            std::unique_ptr<CZAFKey> key(static_cast<CZAFKey*>(object));
            if (key->getPrimaryUserIDName() == pattern) {
                if (chosen)
                    fail(kZAFvorn_Ambiguous, std::to_string(count) + " keys match '" + pattern +
                                                 "'; name one by its key ID");
                chosen = std::move(key);
            }
        }
        if (!chosen)
            fail(kZAFvorn_Ambiguous,
                 std::to_string(count) + " keys match '" + pattern + "'; name one by its key ID");
    } else {
        CZAFDatabaseObject* object = nullptr;
        const ZAFError code = iter->next(kZAFKeyDBObjType_Key, object);
        if (code != kZAFError_NoErr)
            throw new CZAFSDKException(code);
        chosen.reset(static_cast<CZAFKey*>(object));
    }
    if (secret && !chosen->isSecret())
        fail(kZAFvorn_NoKey,
             "the secret part of " + chosen->getKeyIDString_Short() + " is not in the secret ring");
    return chosen;
}

std::unique_ptr<CZAFKey> CEngineRun::signingKey(bool onlyPair) {
    std::string name = m_cmd.arg("--sign-with");
    if (name.empty())
        name = setting(eZAFOpDefaultKey, std::string());
    if (!name.empty())
        return findKey(name, true);
    if (!onlyPair)
        fail(kZAFvorn_Usage, "name the signing key with --sign-with (or set Default-Key)");
    std::unique_ptr<CZAFKey> only;
    std::unique_ptr<CZAFKeySet> all(keyDB().getNewKeySet());
    std::unique_ptr<CZAFIterator> iter(all->getIterator());
    for (;;) {
        CZAFDatabaseObject* object = nullptr;
        if (iter->next(kZAFKeyDBObjType_Key, object) != kZAFError_NoErr)
            break;
        std::unique_ptr<CZAFKey> key(static_cast<CZAFKey*>(object));
        if (!key->isSecret())
            continue;
        if (only)
            fail(kZAFvorn_Ambiguous,
                 "several key pairs could sign; name one with --sign-with or Default-Key");
        only = std::move(key);
    }
    if (!only)
        fail(kZAFvorn_NoKey, "no key pair to sign with");
    return only;
}

std::string gKeyName(const CZAFKey& key) {
    std::string name = key.getPrimaryUserIDName();
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return key.getKeyIDString_Short() + (name.empty() ? "" : " " + name);
}

std::unique_ptr<CZAFKeySet> CEngineRun::findKeys(const std::vector<std::string>& patterns) {
    if (patterns.empty())
        return std::unique_ptr<CZAFKeySet>(server().keyList());
    std::unique_ptr<CZAFKeySet> all(server().getKeyDB()->getNewEmptyKeySet());
    for (const std::string& pattern : patterns) {
        checkPattern(pattern);
        std::unique_ptr<CZAFKeySet> set(server().getKeyDB()->getMatchingKeySet(
            pattern, 0, nullptr, m_cmd.has("--keys") ? nullptr : server().getGroupSet()));
        if (set->count() == 0)
            fail(kZAFvorn_NoKey, "no key matches '" + pattern + "'");
        all->add(set.get());
    }
    return all;
}

} // namespace orxengine
