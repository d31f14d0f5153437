// orxadmin_run: sessions, sub-commands and scripts of the console.
#include "orxadmin_run.h"

#include "adminrequests.h"
#include "orxadmin_render.h"

#include <oozaf/keydb.h>
#include <oozaf/keyobjects.h>
#include <oozaf/nametables.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <zaf/zaf.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <pwd.h>
#include <sstream>
#include <sys/random.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace vornadmin {

using oozaf::CZAFThrowable;
using oozaf::CZAFThrowableGuard;

namespace {

// A larger key file is sent in pieces of whole keys of at most kImportPiece bytes (Base64 makes
// 4 bytes of 3; the listener's default bound for a request is 64 MiB).
constexpr size_t kMaxImportFile = 512u * 1024 * 1024;
constexpr size_t kImportPiece = 4u * 1024 * 1024;
constexpr size_t kMaxScriptFile = 1u * 1024 * 1024;
constexpr size_t kMaxScriptLines = 10000;
constexpr size_t kMaxSecretLine = 4096;
// Key generation may take long; its reply gets at least this time limit.
constexpr unsigned int kGenerationTimeoutMs = 30u * 60 * 1000;
// The listener asks the key server once per key named (once for a search), each answer within
// the toolkit's 30 s; the reply gets at least that time per question, and a minute more.
constexpr unsigned int kKeyServerQuestionMs = 30u * 1000;
constexpr unsigned int kKeyServerMarginMs = 60u * 1000;
// Tries at typing a new secret twice alike.
constexpr int kSecretAttempts = 3;

std::string currentUser() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_name;
    return std::string();
}

// Key material for a handshake that authenticates the listener or this side; released after
// the connection that used it, in the reverse order of its making.
struct SHandshakeKeys {
    // The toolkit, started for the keys and cleaned up after them.
    struct SToolkit {
        bool started = false;
        ~SToolkit() {
            if (started)
                ZAFsdkCleanup();
        }
    } toolkit;
    std::unique_ptr<oozaf::CZAFContext> context;
    std::unique_ptr<oozaf::CZAFKeyDB> keyDB;
    std::unique_ptr<oozaf::CZAFKey> ownKey;

    void open(const std::string& folder) {
        if (ZAFsdkInit(kZAFFlags_LocalMode) != 0)
            throw new CAdminException("Cannot start the toolkit");
        toolkit.started = true;
        try {
            context = std::make_unique<oozaf::CZAFContext>();
        } catch (oozaf::CZAFContextCreationException* e) {
            CZAFThrowableGuard guard(e);
            throw new CAdminException("Cannot create a toolkit context");
        }
        const std::string pub = folder + "/pubring.pkr";
        std::string sec = folder + "/secring.skr";
        // Without a readable secret ring only the public ring is opened.
        if (::access(sec.c_str(), R_OK) != 0)
            sec.clear();
        try {
            keyDB = std::make_unique<oozaf::CZAFKeyDB>(*context, kZAFOpenKeyDBFileOptions_None, pub,
                                                       sec);
        } catch (oozaf::CZAFFileSpecCreationException* e) {
            CZAFThrowableGuard guard(e);
            throw new CAdminException("Bad key ring folder: " + folder);
        } catch (oozaf::CZAFSDKException* e) {
            CZAFThrowableGuard guard(e);
            throw new CAdminException("Cannot open the key rings in " + folder);
        }
    }

    // The key named by a short or long key ID or a fingerprint.
    void findOwnKey(const std::string& id) {
        std::string digits;
        if (!oozaf::CZAFUtil::parseKeyIDOrFingerprint(id, digits))
            throw new CAdminException("Not a key ID or fingerprint: '" + id + "'");
        try {
            ownKey.reset(keyDB->getKeyByID(id));
        } catch (oozaf::CZAFKeyNotFoundException* e) {
            CZAFThrowableGuard guard(e);
            throw new CAdminException("Key " + id + " is not in the key rings");
        }
    }
};

std::string keyLabel(const SCommand& command) { return command.get("id"); }

} // namespace

std::string gReadFile(const std::string& path, size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw new CAdminException("Cannot open " + path + ": " + std::strerror(errno));
    std::string bytes;
    char buffer[65536];
    for (;;) {
        ssize_t count = ::read(fd, buffer, sizeof(buffer));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            int error = errno;
            ::close(fd);
            throw new CAdminException("Cannot read " + path + ": " + std::strerror(error));
        }
        if (count == 0)
            break;
        if (bytes.size() + static_cast<size_t>(count) > limit) {
            ::close(fd);
            throw new CAdminException(path + " is larger than " + std::to_string(limit) + " bytes");
        }
        bytes.append(buffer, static_cast<size_t>(count));
    }
    ::close(fd);
    return bytes;
}

void gWriteFile(const std::string& path, const std::string& bytes, unsigned int mode) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        throw new CAdminException("Cannot create " + path + ": " + std::strerror(errno));
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            int error = errno;
            ::close(fd);
            throw new CAdminException("Cannot write " + path + ": " + std::strerror(error));
        }
        done += static_cast<size_t>(count);
    }
    if (::close(fd) != 0)
        throw new CAdminException("Cannot write " + path + ": " + std::strerror(errno));
}

// What a key pair of the type (as given on the command line) and size will be, in words.
static std::string pairDescription(const std::string& type, unsigned int size, bool signOnly) {
    try {
        return oozaf::CZAFKey::describeKeyPair(oozaf::gKeyTypeFromStringArg(type), size, signOnly);
    } catch (CZAFThrowable* e) {
        CZAFThrowableGuard guard(e); // the listener will refuse the type and say why
        return "a " + std::to_string(size) + "-bit " + type + " key pair";
    }
}

void gReplaceFile(const std::string& path, const std::string& bytes, bool secret, bool overwrite) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            throw new CAdminException(path + " is a folder");
        if (!overwrite)
            throw new CAdminException(path + " exists (use --overwrite to replace it)");
    }
    const std::string::size_type slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // A new file of our own in the target's folder, with its final mode from the start (the
    // umask applies to ordinary files); exclusive and never through a link.
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        unsigned char random[8] = {};
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random))
            throw new CAdminException("Cannot create " + path + ": no random numbers");
        temp = folder + "/." + base + ".";
        for (unsigned char r : random)
            temp += kChars[r % (sizeof kChars - 1)];
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    secret ? 0600 : 0666);
        if (fd < 0 && errno != EEXIST)
            throw new CAdminException("Cannot create " + path + ": " + std::strerror(errno));
    }
    if (fd < 0)
        throw new CAdminException("Cannot create " + path + ": " + std::strerror(EEXIST));
    auto failed = [&](const std::string& what, int error) {
        ::close(fd);
        ::unlink(temp.c_str());
        return new CAdminException(what + path + ": " + std::strerror(error));
    };
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            throw failed("Cannot write ", count < 0 ? errno : ENOSPC);
        done += static_cast<size_t>(count);
    }
    if (::fsync(fd) != 0)
        throw failed("Cannot write ", errno);
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        throw new CAdminException("Cannot write " + path + ": " + std::strerror(error));
    }
    // The rename replaces whatever the name was, a link included, and never writes through it.
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        throw new CAdminException("Cannot create " + path + ": " + std::strerror(error));
    }
}

std::string gReadSecretFile(const std::string& path) {
    std::string content = gReadFile(path, kMaxSecretLine + 2);
    size_t end = content.find('\n');
    std::string line = content.substr(0, end);
    gWipe(content);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.size() > kMaxSecretLine) {
        gWipe(line);
        throw new CAdminException("The first line of " + path + " is too long for a secret");
    }
    if (line.empty())
        throw new CAdminException(path + " holds no secret on its first line");
    return line;
}

bool gConfirmTerminal(const std::string& prompt, std::string& answer) {
    const int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, prompt.data(), prompt.size()) == static_cast<ssize_t>(prompt.size());
    answer.clear();
    char c = 0;
    while (ok && answer.size() < 64) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n <= 0) {
            ok = !answer.empty();
            break;
        }
        if (c == '\n')
            break;
        answer += c;
    }
    ::close(fd);
    return ok;
}

bool gPromptTerminal(const std::string& prompt, std::string& secret) {
    int fd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    termios saved{};
    const bool isTerminal = ::tcgetattr(fd, &saved) == 0;
    if (isTerminal) {
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    if (::write(fd, prompt.data(), prompt.size()) < 0) {
        // The prompt is a courtesy; reading goes on.
    }
    secret.clear();
    char c;
    bool ok = false;
    while (secret.size() <= kMaxSecretLine) {
        ssize_t count = ::read(fd, &c, 1);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        if (c == '\n') {
            ok = true;
            break;
        }
        secret += c;
    }
    if (isTerminal)
        ::tcsetattr(fd, TCSAFLUSH, &saved);
    ::close(fd);
    if (!ok)
        gWipe(secret);
    return ok;
}

CConsole::CConsole(SGlobalOptions options, std::ostream& out, std::ostream& err,
                   SecretPrompt prompt, bool progressOnTerminal)
    : m_options(std::move(options)), m_out(out), m_err(err), m_prompt(std::move(prompt)),
      m_progressOnTerminal(progressOnTerminal), m_ask(gConfirmTerminal) {
    if (m_options.user.empty())
        m_options.user = currentUser();
}

std::string CConsole::secret(const std::string& file, const char* variable,
                             const std::string& prompt, bool confirm) {
    if (!file.empty())
        return gReadSecretFile(file);
    if (const char* value = std::getenv(variable))
        return value;
    // A new secret typed twice that differs is asked for again, a few times.
    for (int attempt = 1;; ++attempt) {
        std::string first;
        if (!m_prompt || !m_prompt(prompt, first)) {
            const std::string text = std::string("No terminal to ask on: give the secret with a "
                                                 "file option or the environment variable ") +
                                     variable;
            // A missing passphrase is what orxcmd calls it, with the same status.
            if (std::string(variable) == "ORXADMIN_PASSPHRASE")
                throw new CExitException(eExitPassphrase, text);
            throw new CAdminException(text);
        }
        if (!confirm)
            return first;
        std::string second;
        const bool same = m_prompt("Again: ", second) && second == first;
        gWipe(second);
        if (same)
            return first;
        gWipe(first);
        if (attempt == kSecretAttempts)
            throw new CExitException(eExitPassphrase, "The two entries differ");
        m_err << "The two entries differ; try again.\n";
    }
}

int CConsole::run(const SCommand& command) {
    std::vector<SCommand> lines;
    if (command.name == "script") {
        // Every line is checked before anything is sent, so a typo cannot leave a script half
        // done.
        const std::string text = gReadFile(command.args.at(0), kMaxScriptFile);
        std::istringstream in(text);
        std::string line;
        size_t number = 0;
        while (std::getline(in, line)) {
            if (++number > kMaxScriptLines)
                throw new CUsageException("Script longer than " + std::to_string(kMaxScriptLines) +
                                          " lines");
            try {
                std::vector<std::string> words = gSplitScriptLine(line);
                if (words.empty())
                    continue;
                SCommand parsed = gParseCommand(words);
                if (parsed.name == "script" || parsed.help || parsed.name.empty())
                    throw new CUsageException("'" + words[0] + "' cannot be used inside a script");
                lines.push_back(std::move(parsed));
            } catch (CUsageException* e) {
                CZAFThrowableGuard guard(e);
                throw new CUsageException(command.args[0] + ":" + std::to_string(number) + ": " +
                                          e->getMessage());
            }
        }
    }
    if (command.name == "export" && command.has("binary") && !command.has("output") &&
        ::isatty(STDOUT_FILENO))
        throw new CUsageException("A binary export needs -o FILE when the output is a terminal");

    // A password given in a file or the environment is read first; one that must be typed is
    // asked for only after the listener has proved its host key (as SSH does), so that nobody
    // types a password to a stranger.
    std::string password;
    const bool typed =
        m_options.passwordFile.empty() && std::getenv("ORXADMIN_PASSWORD") == nullptr;
    if (!typed)
        password = secret(m_options.passwordFile, "ORXADMIN_PASSWORD", "", false);
    SHandshakeKeys keys;
    SConnectOptions options;
    options.host = m_options.host;
    options.port = m_options.port;
    options.requireSecure = m_options.requireSecure;
    options.timeoutMs = m_options.timeoutSeconds * 1000;
    // The listener must prove the key pinned for it; a new one is shown before it is trusted.
    // A key ring given with --keyring keeps doing the checking instead.
    if (m_options.keyring.empty() && m_options.pinHostKey) {
        options.hostKeyPolicy = m_options.acceptNewHostKey
                                    ? SConnectOptions::eHostKeyPolicy::eAcceptNew
                                    : SConnectOptions::eHostKeyPolicy::eAsk;
        options.knownHostsFile = m_options.knownHosts;
        options.allowPlain = m_options.allowPlain;
        options.confirmHostKey = [this](const SHostKey& key) {
            m_err << "The listener " << key.listener << " is not known yet.\n"
                  << "Its host key fingerprint is " << key.fingerprint << ".\n";
            std::string answer;
            if (!m_ask("Trust it and remember it (yes/no)? ", answer)) {
                m_err << "orxadmin: no terminal to ask; compare the fingerprint with the one "
                         "orxgui logs at start-up and run again with --accept-new-host-key\n";
                return false;
            }
            return answer == "yes";
        };
    } else if (!m_options.allowPlain) {
        options.requireSecure = true;
    }
    if (!m_options.keyring.empty()) {
        keys.open(m_options.keyring);
        options.context = keys.context->getHandle();
        options.keyDB = keys.keyDB->getHandle();
        if (!m_options.clientKey.empty()) {
            keys.findOwnKey(m_options.clientKey);
            options.ownKey = keys.ownKey->getHandle();
            options.passphrase = secret("", "ORXADMIN_KEY_PASSPHRASE",
                                        "Passphrase for key " + m_options.clientKey + ": ", false);
        }
    }
    std::unique_ptr<CAdminConnection> connection;
    try {
        connection = CAdminConnection::connect(options);
        if (typed) {
            const auto asked = std::chrono::steady_clock::now();
            password =
                secret("", "ORXADMIN_PASSWORD",
                       "Password for " + m_options.user + "@" + m_options.host + ": ", false);
            // The listener gives a new connection a limited time for its login; after a long
            // pause at the prompt the login goes over a fresh one (the host key is known now).
            if (std::chrono::steady_clock::now() - asked >=
                std::chrono::milliseconds(m_options.loginPromptPatienceMs)) {
                connection->close();
                connection = CAdminConnection::connect(options);
            }
        }
    } catch (...) {
        gWipe(password);
        gWipe(options.passphrase);
        throw;
    }
    gWipe(options.passphrase);
    SReply login;
    try {
        login = connection->login(m_options.user, password, m_options.domain);
    } catch (...) {
        gWipe(password);
        throw;
    }
    gWipe(password);
    if (!login.ok()) {
        std::string error = gPrintable(login.error, true);
        while (!error.empty() && error.back() == '\n')
            error.pop_back();
        m_err << "orxadmin: login as " << gPrintable(m_options.user) << " refused (rc " << login.rc
              << "): " << error << '\n';
        return gExitForLoginRC(login.rc);
    }
    const int status = command.name == "script" ? runScript(*connection, command, lines)
                                                : runOne(*connection, command);
    connection->close();
    return status;
}

int CConsole::runScript(CAdminConnection& connection, const SCommand& script,
                        const std::vector<SCommand>& lines) {
    int first = eExitOK;
    for (const SCommand& line : lines) {
        int status;
        try {
            status = runOne(connection, line);
        } catch (CUsageException* e) {
            CZAFThrowableGuard guard(e);
            m_err << "orxadmin: " << e->getMessage() << '\n';
            status = eExitUsage;
        }
        if (status != eExitOK && first == eExitOK)
            first = status;
        if (status != eExitOK && !script.has("keep-going"))
            break;
    }
    return first;
}

void CConsole::reportRefusal(const std::string& type, int rc, const std::string& text) {
    std::string error = gPrintable(text, true);
    while (!error.empty() && error.back() == '\n')
        error.pop_back();
    m_err << "orxadmin: request '" << type << "' failed (rc " << rc << "): " << error << '\n';
}

int CConsole::passThrough(CAdminConnection& connection, const SXmlElement& request) {
    std::string xml = gWriteXml(request);
    try {
        connection.beginReply(xml);
    } catch (...) {
        gWipe(xml);
        throw;
    }
    gWipe(xml);
    // The reply goes out as it arrives; the reader looks only at its head, for the status.
    char last = '\n';
    CXmlPullReader::Source source = connection.replySource();
    CXmlPullReader reader([&](char* buffer, size_t capacity) {
        const size_t count = source(buffer, capacity);
        if (count != 0) {
            m_out.write(buffer, static_cast<std::streamsize>(count));
            last = buffer[count - 1];
        }
        return count;
    });
    const SReplyHead head = gReadReplyHead(reader);
    char chunk[65536];
    while (size_t count = connection.readReply(chunk, sizeof(chunk))) {
        m_out.write(chunk, static_cast<std::streamsize>(count));
        last = chunk[count - 1];
    }
    if (last != '\n')
        m_out << '\n';
    m_out << std::flush;
    if (!head.ok())
        reportRefusal(request.get("type"), head.rc, head.error);
    return gExitForRequestRC(head.rc, head.errorKind);
}

int CConsole::listKeys(CAdminConnection& connection) {
    std::string xml = gWriteXml(gKeysSummaryRequest());
    connection.beginReply(xml);
    CXmlPullReader reader(connection.replySource());
    const SReplyHead head = gReadReplyHead(reader);
    if (!head.ok()) {
        gFinishReply(reader);
        reportRefusal("keys-summary", head.rc, head.error);
        return gExitForRequestRC(head.rc, head.errorKind);
    }
    if (!head.hasBody || head.body != "keys")
        throw new CAdminException("The reply holds no 'keys' element");
    gRenderKeys(reader, m_out);
    gFinishReply(reader);
    m_out << std::flush;
    return eExitOK;
}

void CConsole::printXml(const SReply& reply) {
    m_out << reply.xml;
    if (reply.xml.empty() || reply.xml.back() != '\n')
        m_out << '\n';
}

SReply CConsole::send(CAdminConnection& connection, const SXmlElement& request, int& status,
                      const ProgressCallback& progress) {
    std::string xml = gWriteXml(request);
    SReply reply;
    try {
        reply = connection.request(xml, progress, 1000);
    } catch (...) {
        gWipe(xml);
        throw;
    }
    gWipe(xml);
    status = gExitForRequestRC(reply.rc, reply.errorKind);
    if (!reply.ok())
        reportRefusal(request.get("type"), reply.rc, reply.error);
    return reply;
}

int CConsole::generate(CAdminConnection& connection, const SCommand& command) {
    const bool pair = command.name == "key-gen";
    const std::string passphrase = secret(command.get("passphrase-file"), "ORXADMIN_PASSPHRASE",
                                          pair ? "Passphrase for the new key: "
                                               : "Passphrase of key " + keyLabel(command) + ": ",
                                          pair);
    std::string secretCopy = passphrase;
    int status = eExitOK;
    // Elliptic-curve keys are named by their curve's size; without one, Ed25519.
    const bool ecc = oozaf::CZAFUtil::compareIgnoreCase(command.get("type", "RSA"), "ECC");
    const auto size = static_cast<unsigned int>(
        gParseNumber("--size", command.get("size", ecc ? "255" : "2048"), 1, 65535));

    SReply needed = send(connection,
                         pair ? gEntropyPairRequest(command.get("type", "RSA"), size)
                              : gEntropySubkeyRequest(command.get("id"), size),
                         status);
    if (!needed.ok()) {
        gWipe(secretCopy);
        return status;
    }
    const uint32_t bytes = gEntropyReport(needed, "needed");
    if (bytes > 0) {
        std::string entropy(bytes, '\0');
        size_t done = 0;
        while (done < entropy.size()) {
            ssize_t count = ::getrandom(&entropy[done], entropy.size() - done, 0);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0) {
                gWipe(secretCopy);
                throw new CAdminException("No random bytes from the operating system");
            }
            done += static_cast<size_t>(count);
        }
        SReply supplied = send(connection, gEntropySupplyRequest(entropy, bytes), status);
        gWipe(entropy);
        if (!supplied.ok()) {
            gWipe(secretCopy);
            return status;
        }
    }

    SXmlElement request;
    if (pair) {
        SKeyGenParams params;
        params.name = command.get("name");
        params.passphrase = secretCopy;
        params.type = command.get("type", "RSA");
        params.cipher = command.get("cipher", "AES256");
        params.size = size;
        params.adk = command.get("adk");
        params.signOnly = command.has("sign-only");
        params.expiry = command.get("expiry");
        request = gKeyGenRequest(params);
        gWipe(params.passphrase);
    } else {
        request = gSubkeyGenRequest(command.get("id"), size, secretCopy, command.get("start"),
                                    command.get("expiry"));
    }
    gWipe(secretCopy);
    m_err << (pair
                  ? "Generating " +
                        pairDescription(command.get("type", "RSA"), size, command.has("sign-only"))
                  : "Generating a " + std::to_string(size) + "-bit subkey for " + keyLabel(command))
          << "; this can take a while..." << std::endl;
    ProgressCallback progress;
    if (m_progressOnTerminal)
        progress = [this](unsigned int elapsedMs) {
            m_err << "\r  still generating, " << elapsedMs / 1000 << " s" << std::flush;
        };
    const unsigned int saved = connection.options().timeoutMs;
    connection.setTimeout(std::max(saved, kGenerationTimeoutMs));
    SReply done;
    try {
        done = send(connection, request, status, progress);
    } catch (...) {
        gWipe(gData(request).attributes.front().second);
        throw;
    }
    for (auto& attribute : gData(request).attributes)
        if (attribute.first == "passphrase")
            gWipe(attribute.second);
    connection.setTimeout(saved);
    if (m_progressOnTerminal)
        m_err << '\n';
    if (m_options.xml) {
        printXml(done);
    } else if (done.ok() && pair) {
        // The listener names the new key (older ones do not).
        const SXmlElement* key = done.body();
        const std::string id = key != nullptr && key->name == "key"
                                   ? gPrintable(key->get("idfull", key->get("id")))
                                   : std::string();
        m_out << "Key pair " << (id.empty() ? "" : id + " ") << "generated for "
              << gPrintable(command.get("name")) << ".\n";
    } else if (done.ok()) {
        m_out << "Subkey generated for " << keyLabel(command) << ".\n";
    }
    return status;
}

bool CConsole::confirmRemoval(CAdminConnection& connection, const std::string& id) {
    // The key as the summary shows it, so that the question says what goes.
    std::string what = "the key " + gPrintable(id);
    {
        std::string xml = gWriteXml(gKeysSummaryRequest());
        connection.beginReply(xml);
        CXmlPullReader reader(connection.replySource());
        const SReplyHead head = gReadReplyHead(reader);
        if (head.ok() && head.hasBody && head.body == "keys")
            gEachKey(reader, [&](const SKeyListing& listing) {
                if (!gKeyIsNamed(listing.key, id))
                    return;
                std::string name;
                for (const SKeyListing::SUserID& userID : listing.userIDs)
                    if (userID.element.get("primary") == "yes")
                        name = " " + gPrintable(userID.element.get("name"));
                const bool pair = listing.key.get("secret") == "yes";
                what = (pair ? "the key pair " : "the key ") +
                       gPrintable(listing.key.get("idfull", listing.key.get("id"))) + name +
                       (pair ? ", with its secret key" : "");
            });
        gFinishReply(reader);
    }
    std::string answer;
    if (!m_ask("Remove " + what + "? This cannot be undone (yes/no) ", answer))
        throw new CUsageException("key-remove asks before it removes a key, and there is no "
                                  "terminal to ask on: add --force");
    return answer == "yes";
}

int CConsole::changeSetting(CAdminConnection& connection, const SCommand& command) {
    const SConfSetting setting = gConfSetting(command.args, command.action == "set");
    int status = eExitOK;
    SReply current = send(connection, gConfGetRequest(), status);
    if (!current.ok())
        return status;
    const SXmlElement* body = current.body();
    if (body == nullptr || body->name != "configuration")
        throw new CAdminException("The reply holds no 'configuration' element");
    SXmlElement configuration = *body;
    const size_t removed = gApplyConfSetting(configuration, setting);
    const std::string name =
        setting.alias ? "Alias " + gPrintable(setting.values.at(0)) : setting.directive;
    if (!setting.set && removed == 0) {
        m_out << name << " is not set in your configuration file.\n";
        return eExitOK;
    }
    SReply reply = send(connection, gConfSetRequest(configuration), status);
    if (m_options.xml || command.has("xml"))
        printXml(reply);
    else if (reply.ok())
        m_out << (setting.set ? name + " set." : name + " removed.") << '\n';
    return status;
}

int CConsole::runOne(CAdminConnection& connection, const SCommand& command) {
    const bool xml = m_options.xml || command.has("xml");
    const std::string& name = command.name;
    int status = eExitOK;
    auto simple = [&](const SXmlElement& request, const std::string& message) {
        SReply reply = send(connection, request, status);
        if (xml)
            printXml(reply);
        else if (reply.ok())
            m_out << message << '\n';
        return status;
    };
    auto passphrase = [&](const std::string& prompt) {
        return secret(command.get("passphrase-file"), "ORXADMIN_PASSPHRASE", prompt, false);
    };
    auto body = [&](const SReply& reply, const char* element) -> const SXmlElement& {
        const SXmlElement* found = reply.body();
        if (found == nullptr || found->name != element)
            throw new CAdminException(std::string("The reply holds no '") + element + "' element");
        return *found;
    };

    if (name == "keys" || name == "log" || name == "options" ||
        (name == "conf" && command.action == "get")) {
        SXmlElement request = name == "keys"      ? gKeysSummaryRequest()
                              : name == "log"     ? gLogRequest()
                              : name == "options" ? gCmdlineOptionsRequest()
                                                  : gConfGetRequest();
        if (xml)
            return passThrough(connection, request);
        if (name == "keys")
            return listKeys(connection);
        SReply reply = send(connection, request, status);
        if (!reply.ok())
            return status;
        if (name == "log")
            gRenderLog(body(reply, "transactions"), m_out);
        else if (name == "options")
            gRenderSwitches(body(reply, "switches"), m_out);
        else if (command.args.empty())
            gRenderConfiguration(body(reply, "configuration"), m_out);
        else {
            gWriteFile(command.args[0], gWriteXml(body(reply, "configuration")), 0600);
            m_out << "Configuration written to " << command.args[0] << ".\n";
        }
        return status;
    }
    if (name == "conf" && !(command.action == "set" && command.args.size() == 1))
        return changeSetting(connection, command);
    if (name == "conf") {
        SXmlElement document = gParseXml(gReadFile(command.args.at(0), kMaxImportFile));
        const SXmlElement* configuration = &document;
        if (document.name == "response")
            configuration = document.child("configuration");
        if (configuration == nullptr || configuration->name != "configuration")
            throw new CAdminException(command.args[0] + " holds no 'configuration' element");
        return simple(gConfSetRequest(*configuration), "Configuration replaced.");
    }
    if (name == "key-gen" || name == "subkey-gen")
        return generate(connection, command);
    if (name == "entropy") {
        const std::string& action = command.action;
        if (action == "supply") {
            const auto needed =
                static_cast<uint32_t>(gParseNumber("--needed", command.get("needed"), 0, 1u << 20));
            const auto count = static_cast<size_t>(
                gParseNumber("--bytes", command.get("bytes", std::to_string(needed)), 0, 1u << 20));
            std::string entropy(count, '\0');
            size_t done = 0;
            while (done < count) {
                ssize_t got = ::getrandom(&entropy[done], count - done, 0);
                if (got < 0 && errno == EINTR)
                    continue;
                if (got <= 0)
                    throw new CAdminException("No random bytes from the operating system");
                done += static_cast<size_t>(got);
            }
            SReply reply = send(connection, gEntropySupplyRequest(entropy, needed), status);
            gWipe(entropy);
            if (xml)
                printXml(reply);
            else if (reply.ok())
                m_out << "Available entropy: " << gEntropyReport(reply, "available") << " bytes\n";
            return status;
        }
        const auto size =
            static_cast<unsigned int>(gParseNumber("--size", command.get("size"), 1, 65535));
        SReply reply = send(connection,
                            action == "pair" ? gEntropyPairRequest(command.get("type"), size)
                                             : gEntropySubkeyRequest(command.get("id"), size),
                            status);
        if (xml)
            printXml(reply);
        else if (reply.ok())
            m_out << "Needed entropy: " << gEntropyReport(reply, "needed") << " bytes\n";
        return status;
    }
    if (name == "key-remove") {
        if (!command.has("force") && !confirmRemoval(connection, command.get("id"))) {
            m_err << "Nothing removed.\n";
            return eExitOK;
        }
        return simple(gKeyRemoveRequest(command.get("id")),
                      "Key " + keyLabel(command) + " removed.");
    }
    if (name == "sign") {
        SSignParams params;
        params.signedKey = command.get("id");
        params.signingKey = command.get("signer");
        params.sigType = command.get("type", "Exportable");
        params.regexp = command.get("regexp");
        params.depth =
            static_cast<unsigned int>(gParseNumber("--depth", command.get("depth", "0"), 0, 255));
        params.expiry = command.get("expiry");
        params.passphrase = passphrase("Passphrase of key " + params.signingKey + ": ");
        SXmlElement request = gKeySignRequest(params);
        gWipe(params.passphrase);
        return simple(request, "Key " + params.signedKey + " signed by " + params.signingKey + ".");
    }
    if (name == "revoke") {
        const std::string revoker = command.get("revoker", command.get("id"));
        std::string secretText = passphrase("Passphrase of key " + revoker + ": ");
        SXmlElement request = gKeyRevokeRequest(command.get("id"), revoker, secretText,
                                                command.get("reason"), command.get("reason-text"));
        gWipe(secretText);
        return simple(request, "Key " + keyLabel(command) + " revoked.");
    }
    if (name == "userid-add") {
        std::string secretText = passphrase("Passphrase of key " + keyLabel(command) + ": ");
        SXmlElement request =
            gUserIDAddRequest(command.get("id"), command.get("userid"), secretText);
        gWipe(secretText);
        return simple(request, "User ID added to " + keyLabel(command) + ".");
    }
    if (name == "userid-remove")
        return simple(gUserIDRemoveRequest(command.get("id"), command.get("userid")),
                      "User ID removed from " + keyLabel(command) + ".");
    if (name == "import") {
        const std::string bytes = gReadFile(command.args.at(0), kMaxImportFile);
        std::vector<size_t> keys;
        std::vector<std::string> pieces;
        if (command.has("x509") || bytes.size() <= kImportPiece)
            pieces.push_back(bytes);
        else
            pieces = gSplitKeyFile(bytes, kImportPiece, keys);
        size_t total = 0;
        for (size_t count : keys)
            total += count;
        int best = 2;
        size_t sent = 0;
        uint64_t droppedCertifications = 0;
        uint64_t fresh = 0, changed = 0, unchanged = 0;
        SReply reply;
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (pieces.size() > 1) {
                m_err << "Importing keys " << sent + 1 << "-" << sent + keys[i] << " of " << total
                      << " (request " << i + 1 << " of " << pieces.size() << ")\n"
                      << std::flush;
                sent += keys[i];
            }
            reply =
                send(connection,
                     gKeyImportRequest(pieces[i], command.has("x509"), command.has("with-private")),
                     status);
            if (!reply.ok())
                break;
            best = std::min(best, gImportStatus(reply));
            droppedCertifications += gImportCount(reply, "dropped-certifications");
            fresh += gImportCount(reply, "new");
            changed += gImportCount(reply, "changed");
            unchanged += gImportCount(reply, "unchanged");
        }
        if (xml) {
            printXml(reply);
        } else if (reply.ok()) {
            m_out << (best == 0   ? "Keys imported."
                      : best == 1 ? "Keys imported from an X.509 certificate."
                                  : "Nothing new to import: the key rings already hold it.")
                  << '\n';
            // The counts, where the listener reports them.
            if (fresh + changed + unchanged != 0)
                m_out << fresh + changed + unchanged << " keys read: " << fresh << " new, "
                      << changed << " changed, " << unchanged << " unchanged.\n";
            if (droppedCertifications != 0)
                m_out << "Left out " << droppedCertifications
                      << " certifications by keys not held (the newest 100 per user ID are kept)."
                      << '\n';
        }
        return status;
    }
    if (name == "keyserver-search" || name == "keyserver-fetch") {
        const bool search = name == "keyserver-search";
        const SXmlElement request =
            search ? gKeyServerSearchRequest(command.args.at(0), command.get("server"))
                   : gKeyServerFetchRequest(command.args, command.get("server"));
        const unsigned int saved = connection.options().timeoutMs;
        const auto questions = static_cast<unsigned int>(search ? 1 : command.args.size());
        connection.setTimeout(
            std::max(saved, questions * kKeyServerQuestionMs + kKeyServerMarginMs));
        SReply reply = send(connection, request, status);
        connection.setTimeout(saved);
        if (xml)
            printXml(reply);
        else if (reply.ok() && search)
            gRenderKeyServerKeys(body(reply, "keyserver-keys"), m_out);
        else if (reply.ok())
            gRenderKeyServerReport(body(reply, "keyserver-report"), m_out);
        return status;
    }
    if (name == "export" || name == "photo") {
        const bool photo = name == "photo";
        // A file that may not be replaced is refused before anything secret is asked for.
        struct stat existing {};
        if (command.has("output") && !command.has("overwrite") && !xml &&
            ::lstat(command.get("output").c_str(), &existing) == 0) {
            m_err << command.get("output") << " exists (use --overwrite to replace it)\n";
            return eExitFailure;
        }
        SXmlElement request;
        if (photo) {
            request = gPictureRequest(command.get("id"));
        } else {
            SExportParams params;
            params.id = command.get("id");
            params.armor = !command.has("binary");
            params.withPrivate = command.has("with-private");
            params.format = command.get("format", "Complete");
            request = gKeyExportRequest(params);
        }
        SReply reply = send(connection, request, status);
        if (xml) {
            printXml(reply);
            return status;
        }
        if (!reply.ok())
            return status;
        const std::string bytes = photo ? gPhotoBytes(reply) : gExportedKey(reply);
        if (command.has("output")) {
            gReplaceFile(command.get("output"), bytes, command.has("with-private"),
                         command.has("overwrite"));
            m_err << (photo ? "Photo" : "Key") << " written to " << command.get("output") << ".\n";
        } else {
            m_out << bytes << std::flush;
        }
        return status;
    }
    throw new CUsageException("Unknown sub-command '" + name + "'");
}

} // namespace vornadmin
