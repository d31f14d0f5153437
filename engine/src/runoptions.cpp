// runoptions: the everyday options of a run that many commands share: confirmations (--yes),
// verbose notes, dates in local time, passphrase retries, listings written through --width,
// --delimiter and --pager, the cipher of --cipher-num, bytes from --random-device, and the
// identity of --user.
#include "engine_internal.h"

#include <oozaf/keydb.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <oozaf/vornserveredit.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

using namespace oozaf;

namespace orxengine {

namespace {} // namespace

std::string gToolkitText(ZAFError code) {
    char buffer[256] = {};
    if (ZAFGetErrorString(code, sizeof buffer, buffer) != kZAFError_NoErr || buffer[0] == '\0')
        return "toolkit error " + std::to_string(code);
    return buffer;
}

std::unique_ptr<CZAFKey> gKeyWithFingerprint(const CZAFKeyDB& db, const std::string& fingerprint) {
    std::unique_ptr<CZAFKeySet> all(db.getNewKeySet());
    std::unique_ptr<CZAFIterator> iter(all->getIterator());
    for (;;) {
        CZAFDatabaseObject* object = nullptr;
        if (iter->next(kZAFKeyDBObjType_Key, object) != kZAFError_NoErr)
            return nullptr;
        std::unique_ptr<CZAFKey> key(static_cast<CZAFKey*>(object));
        if (key->getFingerprint() == fingerprint)
            return key;
    }
}

void CEngineRun::readSecretLine(int fd, const std::string& what, CSecret& secret) {
    secret.clear();
    char c = 0;
    bool any = false;
    while (m_io.readByte(fd, c)) {
        any = true;
        if (c == '\n')
            break;
        if (!secret.append(c)) {
            secret.clear();
            fail(kZAFvorn_BadPassphrase, "the passphrase for " + what + " is too long");
        }
    }
    if (!any)
        fail(kZAFvorn_BadPassphrase,
             "no passphrase for " + what + " on descriptor " + std::to_string(fd));
}

bool gReadTerminalLine(int tty, std::string& line) {
    line.clear();
    for (;;) {
        char c = 0;
        const ssize_t n = ::read(tty, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return !line.empty();
        if (c == '\n')
            return true;
        if (line.size() < 4096)
            line += c;
    }
}

namespace {

// Cuts a line to `width` characters (UTF-8 sequences count once), ending it with "..." when cut.
std::string cutLine(const std::string& line, size_t width) {
    size_t chars = 0;
    for (unsigned char c : line)
        if ((c & 0xC0) != 0x80)
            ++chars;
    if (chars <= width)
        return line;
    std::string out;
    size_t kept = 0;
    for (size_t i = 0; i < line.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if ((c & 0xC0) != 0x80 && ++kept > width - 3)
            break;
        out += line[i];
    }
    return out + "...";
}

// Writes `text` into the standard input of the pager command (run by /bin/sh) and waits for it.
// A pager that quits early is no failure: what it did not take is dropped.
void runPager(const std::string& command, const std::string& text) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        fail(kZAFvorn_IO, std::string("cannot start the pager: ") + std::strerror(errno));
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        fail(kZAFvorn_IO, std::string("cannot start the pager: ") + std::strerror(errno));
    }
    if (pid == 0) {
        ::dup2(fds[0], 0);
        ::signal(SIGPIPE, SIG_DFL);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[0]);
    // A closed pipe must not end this program through its SIGPIPE handler.
    sigset_t pipeSet, saved;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeSet, &saved);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::close(fds[1]);
    const struct timespec none {};
    while (::sigtimedwait(&pipeSet, nullptr, &none) == SIGPIPE) {
    }
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127)
        fail(kZAFvorn_IO, "the pager '" + command + "' could not be run");
}

} // namespace

bool CEngineRun::confirm(const std::string& question) {
    if (m_cmd.has("--yes") || m_cmd.has("--batch-mode") || !m_io.canPrompt())
        return true;
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0)
        return true;
    const std::string prompt = question + " (y/N) ";
    (void)!::write(tty, prompt.data(), prompt.size());
    std::string answer;
    gReadTerminalLine(tty, answer);
    ::close(tty);
    CZAFUtil::trimString(answer);
    return answer == "y" || answer == "Y" || CZAFUtil::compareIgnoreCase(answer, "yes");
}

void CEngineRun::confirmOrStop(const std::string& question) {
    if (!confirm(question))
        fail(kZAFvorn_Failed, "stopped: not confirmed (--yes answers yes)");
}

void CEngineRun::verbose(const std::string& text) {
    if (m_verbose)
        note(text);
}

std::string CEngineRun::dateText(const CZAFTime& t, bool withTime) const {
    if (t.isNever())
        return "never";
    const bool local = setting(eZAFOpLocalTimes, false);
    return withTime ? t.formatYMDHMS(local) + (local ? "" : " UTC") : t.formatYMD(local);
}

int CEngineRun::passphraseAttempts() const {
    const bool prompts =
        setting(eZAFOpPassphraseFD, -1) < 0 && !m_cmd.has("--batch-mode") && m_io.canPrompt();
    return prompts || setting(eZAFOpAllowPassphraseRetry, false) ? 3 : 1;
}

void CEngineRun::readKeyPassphrase(const CZAFKey& key, CSecret& secret) {
    const int attempts = passphraseAttempts();
    for (int attempt = 1;; ++attempt) {
        readPassphrase(gKeyName(key), secret);
        if (gPassphraseUnlocks(key, secret.str()))
            return;
        if (attempt >= attempts) {
            secret.clear();
            fail(kZAFvorn_BadPassphrase, "wrong passphrase for " + gKeyName(key));
        }
        note("wrong passphrase for " + gKeyName(key) + "; try again");
    }
}

int CEngineRun::listingWidth() const {
    const int width = setting(eZAFOpWidth, 0);
    if (width != 0 && (width < 20 || width > 10000))
        fail(kZAFvorn_Usage, "--width takes 0 (no limit) or 20 to 10000 columns");
    return width;
}

char CEngineRun::colonDelimiter() const {
    if (!m_cmd.has("--delimiter"))
        return ':';
    const std::string d = m_cmd.arg("--delimiter");
    if (d.size() != 1 || !std::ispunct(static_cast<unsigned char>(d[0])) || d[0] == '\\')
        fail(kZAFvorn_Usage, "--delimiter takes one punctuation character other than '\\'");
    return d[0];
}

void CEngineRun::writeListing(std::string text, bool colons) {
    if (colons) {
        // Fields hold no ':' of their own (it is written \x3a), so every ':' is a separator; the
        // new delimiter inside a field is escaped the same way.
        const char delimiter = colonDelimiter();
        if (delimiter != ':') {
            static const char hex[] = "0123456789abcdef";
            std::string out;
            for (char c : text) {
                if (c == delimiter) {
                    out += "\\x";
                    out += hex[static_cast<unsigned char>(c) >> 4];
                    out += hex[c & 15];
                } else {
                    out += c == ':' ? delimiter : c;
                }
            }
            text.swap(out);
        }
    } else if (const int width = listingWidth()) {
        std::string out;
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            if (end == std::string::npos)
                end = text.size();
            out += cutLine(text.substr(start, end - start), static_cast<size_t>(width));
            if (end < text.size())
                out += '\n';
            start = end + 1;
        }
        text.swap(out);
    }
    const std::string pager = setting(eZAFOpPager, std::string());
    if (m_cmd.arg("--output").empty() && !pager.empty() && m_io.ownsProcess() &&
        (m_cmd.has("--pager") || ::isatty(1))) {
        runPager(pager, text);
        return;
    }
    std::unique_ptr<COutput> output(openOutput(false));
    output->write(text);
    output->commit();
}

bool CEngineRun::chosenCipher(ZAFCipherAlgorithm& cipher) const {
    if (!m_cmd.has("--cipher-num"))
        return cfg().getCipher(cipher);
    if (m_cmd.has("--cipher"))
        fail(kZAFvorn_Usage, "contradictory: --cipher and --cipher-num");
    const std::string text = m_cmd.arg("--cipher-num");
    int number = 0;
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos ||
        (number = std::stoi(text)) < 1 || number > 255)
        fail(kZAFvorn_Usage, "--cipher-num takes an RFC 4880 cipher number (1 to 255)");
    try {
        (void)gStringFromCipher(static_cast<ZAFCipherAlgorithm>(number));
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e);
        fail(kZAFvorn_Usage, "--cipher-num " + text + " is not a cipher this product knows");
    }
    cipher = static_cast<ZAFCipherAlgorithm>(number);
    return true;
}

void CEngineRun::feedRandomDevice(unsigned int bytes) {
    const std::string path = setting(eZAFOpRandomDevice, std::string());
    if (path.empty())
        return;
    bytes = std::max(32u, std::min(bytes, 4096u));
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        fail(kZAFvorn_IO, "cannot read the random device " + path + ": " + std::strerror(errno));
    struct SCloser {
        int fd;
        ~SCloser() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0 ||
        !(S_ISCHR(st.st_mode) || S_ISREG(st.st_mode) || S_ISFIFO(st.st_mode)))
        fail(kZAFvorn_IO, path + " is not a device, file or pipe to read random bytes from");
    // At most 10 seconds in all: a device that stalls must not hold the command for ever.
    std::string data;
    struct timespec start {};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    while (data.size() < bytes) {
        checkCancel();
        struct timespec now {};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long elapsed =
            (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
        if (elapsed >= 10000)
            break;
        pollfd p{fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(std::min(10000L - elapsed, 500L)));
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, bytes - data.size()));
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n <= 0)
            break;
        data.append(buffer, static_cast<size_t>(n));
    }
    if (data.size() < bytes) {
        const size_t got = data.size();
        CZAFUtil::wipe(data);
        fail(kZAFvorn_IO, "the random device " + path + " gave " + std::to_string(got) + " of " +
                              std::to_string(bytes) + " bytes");
    }
    server().supplyEntropy(data);
    CZAFUtil::wipe(data);
    verbose(std::to_string(bytes) + " bytes from " + path + " added to the random pool");
}

void CEngineRun::configurationBefore(const CVornServerCfgPart& merged,
                                     const CVornServerCfgPart& policy) {
    // The site policy wins, then the command line (read from the words as given), then the
    // files and the environment file.
    int format = eCmdlineVersionLegacy;
    if (!policy.getValue(eZAFOpCLVersion, format)) {
        bool named = false;
        for (size_t i = 0; i + 1 < m_words.size() && !named; ++i)
            if (CZAFUtil::compareIgnoreCase(m_words[i], "--cmdline-format")) {
                try {
                    format = gCmdlineVersionFromString(m_words[i + 1]);
                } catch (CZAFThrowable* e) {
                    CZAFThrowableGuard guard(e);
                    fail(kZAFvorn_Usage, "--cmdline-format takes legacy or long");
                }
                named = true;
            }
        if (!named)
            merged.getValue(eZAFOpCLVersion, format);
    }
    m_longSwitchesOnly = format == eCmdlineVersionLong;
}

bool CEngineRun::namedPersonalDirectory(std::string& directory) {
    // Read from the words as given: the folder holds the configuration files whose aliases the
    // rest of the command line may need.
    for (size_t i = 0; i + 1 < m_words.size(); ++i)
        if (CZAFUtil::compareIgnoreCase(m_words[i], "--zafpath")) {
            directory = m_words[i + 1];
            return !directory.empty() && directory.compare(0, 2, "--") != 0;
        }
    return false;
}

void CEngineRun::switchUser() {
    if (!m_cmd.has("--user"))
        return;
    const std::string name = m_cmd.arg("--user");
    struct passwd entry {};
    struct passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (name.empty() ||
        ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr)
        fail(kZAFvorn_Usage, "--user: no account named '" + name + "'");
    if (found->pw_uid == ::geteuid())
        return;
    if (::geteuid() != 0)
        fail(kZAFvorn_Failed, "--user " + name + ": only root may act as another user");
    if (!m_io.ownsProcess())
        fail(kZAFvorn_Usage, "--user changes the identity of the whole process, which only "
                             "orxcmd may do");
    // For good: this process runs one command, and it runs it as that user only.
    if (::initgroups(found->pw_name, found->pw_gid) != 0 ||
        ::setresgid(found->pw_gid, found->pw_gid, found->pw_gid) != 0 ||
        ::setresuid(found->pw_uid, found->pw_uid, found->pw_uid) != 0 ||
        ::geteuid() != found->pw_uid || ::getegid() != found->pw_gid)
        fail(kZAFvorn_Failed,
             "--user " + name + ": cannot take on the account's identity: " + std::strerror(errno));
    verbose("acting as " + name);
}

} // namespace orxengine
