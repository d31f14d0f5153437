// engine: the C interface of the command engine, the two kinds of streams, and the run of one
// command from its words to its result and its transaction log line.
#include "engine_internal.h"

#include <oozaf/keydb.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <zaf/zafcontext.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <malloc.h>
#include <mutex>
#include <new>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace oozaf;
using namespace orxengine;

struct ZAFvornContext {
    std::string program = "orxcmd";
    std::mutex toolkitLock;
    bool toolkitStarted = false;
    std::atomic<int> running{0};
};

struct ZAFapiPrivate {
    ZAFvornContext* engine = nullptr;
    std::unique_ptr<CEngineIO> io;
    CPendingFiles pending;
    std::atomic<bool> busy{false};
};

namespace orxengine {

namespace {

// The process's own streams.
class CProcessIO final : public CEngineIO {
public:
    void writeOut(const std::string& data) override { writeAll(1, data, "standard output"); }
    bool outputIsTerminal() const override { return ::isatty(1) != 0; }
    bool outputClosed() const override { return m_outClosed; }
    void writeErr(const std::string& data) override {
        try {
            writeAll(2, data, "standard error");
        } catch (SEngineError&) {
            // Nowhere left to tell.
        }
    }
    size_t readIn(char* buffer, size_t size) override {
        for (;;) {
            const ssize_t n = ::read(0, buffer, size);
            if (n >= 0)
                return static_cast<size_t>(n);
            if (errno != EINTR)
                fail(kZAFvorn_IO,
                     std::string("cannot read standard input: ") + std::strerror(errno));
        }
    }
    bool readByte(int fd, char& byte) override {
        for (;;) {
            const ssize_t n = ::read(fd, &byte, 1);
            if (n == 1)
                return true;
            if (n == 0)
                return false;
            if (errno != EINTR)
                fail(kZAFvorn_IO,
                     "cannot read descriptor " + std::to_string(fd) + ": " + std::strerror(errno));
        }
    }
    bool ownsProcess() const override { return true; }
    bool canPrompt() const override {
        const int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            return false;
        ::close(fd);
        return true;
    }
    void writeDescriptor(int fd, const std::string& data) override {
        if (::fcntl(fd, F_GETFL) < 0)
            fail(kZAFvorn_Usage, "descriptor " + std::to_string(fd) + " is not open");
        writeAll(fd, data, ("descriptor " + std::to_string(fd)).c_str());
    }
    void discardOut() override {
        // Standard output redirected to a regular file is cut back to where this command
        // started writing; a pipe or terminal cannot take anything back.
        struct stat st {};
        if (m_outStart >= 0 && ::fstat(1, &st) == 0 && S_ISREG(st.st_mode))
            (void)!::ftruncate(1, m_outStart);
    }

private:
    const off_t m_outStart = ::lseek(1, 0, SEEK_CUR);
    bool m_outClosed = false;

    void writeAll(int fd, const std::string& data, const char* what) {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            // The reader of standard output went away (orxcmd ignores SIGPIPE, so the write
            // says so).
            if (n < 0 && errno == EPIPE && fd == 1)
                m_outClosed = true;
            if (n <= 0)
                fail(kZAFvorn_IO,
                     std::string("cannot write ") + what + ": " + std::strerror(errno));
            done += static_cast<size_t>(n);
        }
    }
};

// Memory streams for ZAFvorn: standard input is the caller's buffer, output is collected. Every
// copy (the input may hold passphrases, the output decrypted data) is wiped when it goes.
class CBufferIO final : public CEngineIO {
public:
    CBufferIO(const unsigned char* input, size_t length)
        : m_input(reinterpret_cast<const char*>(input), input != nullptr ? length : 0) {}
    ~CBufferIO() override {
        for (CWipedString* s : {&m_input, &m_out, &m_err})
            gWipe(&(*s)[0], s->size());
    }
    void writeOut(const std::string& data) override { m_out.append(data.data(), data.size()); }
    void writeErr(const std::string& data) override { m_err.append(data.data(), data.size()); }
    size_t readIn(char* buffer, size_t size) override {
        const size_t n = std::min(size, m_input.size() - m_pos);
        std::memcpy(buffer, m_input.data() + m_pos, n);
        m_pos += n;
        return n;
    }
    bool readByte(int fd, char& byte) override {
        if (fd != 0)
            fail(kZAFvorn_Usage, "only descriptor 0 (the input buffer) can be read here");
        if (m_pos >= m_input.size())
            return false;
        byte = m_input[m_pos++];
        return true;
    }
    bool canPrompt() const override { return false; }
    void writeDescriptor(int fd, const std::string& data) override {
        if (fd == 1)
            writeOut(data);
        else if (fd == 2)
            writeErr(data);
        else
            fail(kZAFvorn_Usage, "only descriptors 1 and 2 (the output and error buffers) can "
                                 "be written here");
    }
    void discardOut() override {
        gWipe(&m_out[0], m_out.size());
        m_out.clear();
    }
    const CWipedString& out() const { return m_out; }
    const CWipedString& err() const { return m_err; }

private:
    CWipedString m_input;
    size_t m_pos = 0;
    CWipedString m_out;
    CWipedString m_err;
};

// The message of one throwable of a chain: its class message and its reason text.
std::string levelText(const CZAFThrowable& t) {
    std::string text = t.getMessage();
    if (t.getReason() != eReasonNone) {
        try {
            text += " (" + gGetReasonText(t.getReason()) + ")";
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard guard(e);
        }
    }
    return text;
}

int32_t codeOfToolkitError(int32_t code) {
    switch (code) {
    case kZAFError_BadPassphrase:
        return kZAFvorn_BadPassphrase;
    case kZAFError_ItemNotFound:
        return kZAFvorn_NoKey;
    case kZAFError_CorruptData:
    case kZAFError_BadKeyRing:
    case kZAFError_ImportNoKeyDB:
    case kZAFError_NotX509:
        return kZAFvorn_BadData;
    case kZAFError_FileNotFound:
    case kZAFError_FileOpenFailed:
    case kZAFError_ReadFailed:
    case kZAFError_WriteFailed:
    case kZAFError_FilePermissions:
    case kZAFError_FileLocked:
        return kZAFvorn_IO;
    default:
        return kZAFvorn_Failed;
    }
}

} // namespace

SEngineError gDescribeThrowable(CZAFThrowable* e) {
    CZAFThrowableGuard guard(e);
    SEngineError result{kZAFvorn_Failed, ""};
    bool decided = false;
    for (const CZAFThrowable* t = e; t != nullptr; t = t->getRoot()) {
        std::string text = levelText(*t);
        for (char& c : text)
            if (c == '\n' || c == '\r' || c == '\t')
                c = ' ';
        while (!text.empty() && text.back() == ' ')
            text.pop_back();
        if (!text.empty())
            result.message += (result.message.empty() ? "" : ": ") + text;
        if (decided)
            continue;
        if (dynamic_cast<const CZAFServerOpenException*>(t) != nullptr) {
            result.code = kZAFvorn_KeyRings;
            decided = true;
        } else if (dynamic_cast<const CZAFCommandLineException*>(t) != nullptr) {
            result.code = kZAFvorn_Usage;
            decided = true;
        } else if (dynamic_cast<const CZAFKeyNotFoundException*>(t) != nullptr ||
                   t->getReason() == eReasonNoPhotoID) {
            result.code = kZAFvorn_NoKey;
            decided = true;
        } else if (dynamic_cast<const CZAFFileException*>(t) != nullptr) {
            result.code = kZAFvorn_IO;
            decided = true;
        } else if (const auto* sdk = dynamic_cast<const CZAFSDKException*>(t)) {
            result.code = codeOfToolkitError(sdk->getCode());
            decided = true;
        }
    }
    return result;
}

void gStartToolkit(ZAFvornContext& engine) {
    std::lock_guard<std::mutex> lock(engine.toolkitLock);
    if (engine.toolkitStarted)
        return;
    ZAFError code = ZAFsdkInit(0);
    if (code == kZAFError_ServiceNotConnected)
        code = ZAFsdkInit(kZAFFlags_LocalMode);
    if (code != kZAFError_NoErr)
        fail(kZAFvorn_KeyRings, "cannot start the toolkit: " + CZAFSDKException(code).getMessage());
    engine.toolkitStarted = true;
}

// ---- CEngineRun ----

CEngineRun::CEngineRun(const std::string& program, CEngineIO& io, ZAFapiContext& api,
                       CPendingFiles& pending, ZAFvornContext& engine)
    : m_program(program), m_io(io), m_api(api), m_pending(pending), m_engine(engine),
      m_layer(nullptr) {}

CEngineRun::~CEngineRun() = default;

const std::vector<std::string>& CEngineRun::args() const {
    static const std::vector<std::string> none;
    const auto* values = m_cmd.getArgs(gCmdlineSwitchFromOp(m_command->op));
    return values != nullptr ? *values : none;
}

void CEngineRun::note(const std::string& text) {
    if (!m_quiet)
        m_io.writeErr(m_program + ": " + text + "\n");
}

void CEngineRun::checkCancel() const {
    if (m_api.flag != 0)
        fail(kZAFvorn_Interrupted, "interrupted");
}

bool CEngineRun::setting(eZAFOp op, bool fallback) const {
    bool value = fallback;
    return m_server && cfg().getValue(op, value) ? value : fallback;
}

int CEngineRun::setting(eZAFOp op, int fallback) const {
    int value = fallback;
    return m_server && cfg().getValue(op, value) ? value : fallback;
}

std::string CEngineRun::setting(eZAFOp op, const std::string& fallback) const {
    std::string value = fallback;
    if (!m_server || !cfg().getValue(op, value))
        return fallback;
    CZAFUtil::unquote(value);
    return value;
}

void CEngineRun::selectCommand() {
    const SEngineCommand* chosen = nullptr;
    std::string chosenSwitch;
    for (const auto& entry : m_cmd.getParsedSwitches()) {
        if (entry.first == "--info")
            continue;
        const eZAFOp op = gOpFromCmdlineSwitch(entry.first);
        const SEngineCommand* c = gFindCommand(op);
        if (c == nullptr)
            continue;
        if (chosen != nullptr) {
            // Encrypting, encrypting with a passphrase and signing combine into one message;
            // the command is the first of --encrypt, --conventional, --sign present.
            const auto rank = [](eZAFOp o) {
                return o == eZAFOpEncrypt        ? 1
                       : o == eZAFOpConventional ? 2
                       : o == eZAFOpSign         ? 3
                                                 : 0;
            };
            if (rank(chosen->op) == 0 || rank(c->op) == 0)
                fail(kZAFvorn_Usage,
                     "contradictory commands: " + chosenSwitch + " and " + entry.first);
            if (rank(c->op) > rank(chosen->op))
                continue;
        }
        chosen = c;
        chosenSwitch = entry.first;
    }
    if (chosen == nullptr && m_cmd.has("--info"))
        chosen = gFindCommand(eZAFOpInfo);
    if (chosen == nullptr)
        fail(kZAFvorn_Usage, "no command given (see --help)");
    m_command = chosen;
    checkCombination();
}

void CEngineRun::checkCombination() const {
    for (const auto& entry : m_cmd.getParsedSwitches()) {
        if (!gOptionAppliesTo(entry.first, m_command->op))
            fail(kZAFvorn_Usage,
                 entry.first + " does not apply to " + gCmdlineSwitchFromOp(m_command->op));
    }
    if (m_cmd.has("--binary"))
        for (const char* other : {"--armor", "--text", "--clearsig"})
            if (m_cmd.has(other))
                fail(kZAFvorn_Usage, std::string("contradictory: --binary and ") + other);
    if (m_cmd.has("--info") && m_command->op != eZAFOpInfo && m_cmd.getArgs("--info")->empty())
        fail(kZAFvorn_Usage, "--info with a command needs a level (quiet, normal, verbose, debug)");
}

void CEngineRun::parse(const std::vector<std::string>& words) {
    if (words.size() > kMaxCommandWords)
        fail(kZAFvorn_Usage,
             "the command line has more than " + std::to_string(kMaxCommandWords) + " words");
    m_cmd.parse(gExpandShortOptions(words, m_longSwitchesOnly));
    m_parsed = true;
    selectCommand();
}

const CVornServerCfgPart& CEngineRun::layerFor(const CVornServerCfgPart::CAliasMap& aliases) {
    // CmdLine-Format long: every option is a long switch; a word with one dash is a plain word.
    if (!m_parsed)
        parse(m_longSwitchesOnly ? m_words : gExpandAliases(m_words, aliases));
    fillLayer();
    return m_layer;
}

void CEngineRun::fillLayer() {
    m_layer.clear();
    for (const auto& entry : m_cmd.getParsedSwitches()) {
        const eZAFOp op = gOpFromCmdlineSwitch(entry.first);
        const SZAFOpStruct* row = _gGetOpStruct(op);
        if (row == nullptr || row->argType == eArgTypeNone ||
            (row->directive == nullptr && row->envVar == nullptr))
            continue;
        if (op == eZAFOpInfo && entry.second.empty())
            continue;
        try {
            if (entry.second.empty())
                m_layer.processOp(op, "yes");
            for (const std::string& value : entry.second) {
                m_layer.processOp(op, value);
                if (op == eZAFOpSignedBy)
                    break; // the layer holds one; the command reads them all from the line
            }
        } catch (CZAFThrowable* e) {
            SEngineError error = gDescribeThrowable(e);
            fail(kZAFvorn_Usage, entry.first + ": " + error.message);
        }
    }
    // --binary: binary output whatever the configuration files say (the site policy still wins).
    if (m_cmd.has("--binary"))
        m_layer.processOp(eZAFOpArmor, "no");
}

void CEngineRun::openServer() {
    if (m_parsed)
        switchUser();
    gStartToolkit(m_engine);
    m_server.reset(new CVornServer(this));
    eInfoLevel level = eInfoLevelNormal;
    if (cfg().getInfoLevel(level)) {
        m_quiet = (level == eInfoLevelQuiet);
        m_verbose = (level == eInfoLevelVerbose || level == eInfoLevelDebug);
    }
    if (m_cmd.has("--verbose")) {
        if (m_quiet)
            fail(kZAFvorn_Usage, "contradictory: --verbose and --info quiet");
        m_verbose = true;
    }
    if (m_verbose) {
        std::string pubring, secring;
        if (!cfg().getPubringFilename(pubring))
            pubring = CZAFFileManager::appendToDir(m_server->getPersonalDirectory(),
                                                   CVornServer::kPubRingName);
        if (!cfg().getSecringFilename(secring))
            secring = CZAFFileManager::appendToDir(m_server->getPersonalDirectory(),
                                                   CVornServer::kSecRingName);
        unsigned int keys = 0, pairs = 0;
        m_server->getKeyDB()->countKeys(keys, pairs);
        verbose("configuration " + m_server->getUserConfFilename() + "; key rings " + pubring +
                " and " + secring + " (" + std::to_string(keys + pairs) + " keys, " +
                std::to_string(pairs) + " key pairs)");
    }
}

int32_t CEngineRun::execute() {
    if (!m_parsed && !gNeedsAliases(m_words))
        parse(m_words);
    if (m_parsed && !m_command->needsKeys) {
        if (m_command->op == eZAFOpHelp)
            out(gHelpText(m_program));
        else if (m_command->op == eZAFOpShowVersion)
            out(gVersionText());
        else
            m_command->handler(*this);
        return kZAFvorn_OK;
    }
    openServer();
    if (m_command->op == eZAFOpHelp) {
        out(gHelpText(m_program));
        return kZAFvorn_OK;
    }
    if (m_command->op == eZAFOpShowVersion) {
        out(gVersionText());
        return kZAFvorn_OK;
    }
    refuseBinaryOnTerminal();
    checkCancel();
    if (m_cmd.has("--reconstruct-data"))
        gUseReconstructedKey(*this);
    m_command->handler(*this);
    return kZAFvorn_OK;
}

int32_t CEngineRun::run(const std::vector<std::string>& words) {
    const std::string start = CZAFTime::now().formatYMDHMSMs(false);
    m_words = words;
    int32_t result = kZAFvorn_OK;
    try {
        result = execute();
    } catch (SEngineError& e) {
        // A reader that stopped early ("--key-list | head") took what it wanted of a listing
        // that was made whole: nothing to report. Any other output it cut off is a failure.
        if (m_io.outputClosed() && outputIsAListing()) {
            result = kZAFvorn_OK;
        } else {
            result = e.code;
            m_io.writeErr(m_program + ": " + e.message + "\n");
        }
    } catch (CZAFThrowable* e) {
        SEngineError error = gDescribeThrowable(e);
        result = error.code;
        m_io.writeErr(m_program + ": " + error.message + "\n");
    } catch (std::bad_alloc&) {
        result = kZAFvorn_NoMemory;
        m_io.writeErr(m_program + ": out of memory\n");
    } catch (std::exception& e) {
        result = kZAFvorn_Failed;
        m_io.writeErr(m_program + ": " + e.what() + "\n");
    }
    if (!m_server && (m_command == nullptr || m_command->needsKeys)) {
        // The command line could not be read before the configuration was: open it all the same,
        // so that the refused run is logged too.
        struct SNoLayer final : CVornServerCommandLine {
            CVornServerCfgUserPart empty{nullptr};
            const CVornServerCfgPart& layerFor(const CVornServerCfgPart::CAliasMap&) override {
                return empty;
            }
        } noLayer;
        try {
            gStartToolkit(m_engine);
            m_server.reset(new CVornServer(&noLayer));
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard guard(e);
        } catch (SEngineError&) {
        }
    }
    if (m_server) {
        writeLog(start, result);
        try {
            m_server.reset();
        } catch (CZAFThrowable* e) {
            CZAFThrowableGuard guard(e);
        }
    }
    return result;
}

void CEngineRun::writeLog(const std::string& start, int32_t result) {
    std::string path;
    if (!m_server->getLogFilePath(path) || path.empty())
        return;
    std::string user;
    if (!CZAFUtil::getCurrentUserName(user))
        user = std::to_string(geteuid());
    std::string opName = m_command != nullptr ? gNameFromOp(m_command->op) : "Unknown";
    for (std::string* field : {&user, &opName})
        for (char& c : *field)
            if (static_cast<unsigned char>(c) < 0x20)
                c = '?';
    const std::string line = start + "\t" + CZAFTime::now().formatYMDHMSMs(false) + "\t" + user +
                             "\t" + opName + "\t" + gLoggedCommandLine(m_words) + "\t" +
                             std::to_string(result) + "\n";
    // One write of the whole line under an exclusive lock, on a descriptor opened for appending:
    // concurrent runs never interleave or tear lines.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    int error = 0;
    if (fd < 0) {
        error = errno;
    } else {
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        size_t done = 0;
        while (done < line.size()) {
            const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                error = n < 0 ? errno : ENOSPC;
                break;
            }
            done += static_cast<size_t>(n);
        }
        if (error != 0 && done > 0 && done < line.size()) {
            // Never leave half a line: finish it so the next line starts cleanly.
            (void)!::write(fd, "\n", 1);
        }
        ::close(fd);
    }
    if (error != 0)
        m_io.writeErr(m_program + ": cannot write the transaction log " + path + ": " +
                      std::strerror(error) + "\n");
}

} // namespace orxengine

// ---- C interface ----

namespace {

// A command leaves pieces of what it handled (decrypted blocks, copy buffers, passphrases) in the
// stack frames it used below its caller's. Clearing the stack below this frame, as deep as a
// command goes and as far as the thread's stack allows, keeps them out of the caller's memory.
constexpr size_t kUsedStackBytes = 512 * 1024;
// Left untouched above the end of the thread's stack (its guard page and the clearing's own frame).
constexpr size_t kStackMargin = 64 * 1024;

// How much of the stack below the caller may be cleared: kUsedStackBytes, or less on a thread
// whose stack ends sooner (a caller's own threads may be small).
size_t clearableStack() {
    size_t room = kUsedStackBytes;
    pthread_attr_t attributes;
    if (::pthread_getattr_np(::pthread_self(), &attributes) != 0)
        return 64 * 1024;
    void* lowest = nullptr;
    size_t size = 0;
    if (::pthread_attr_getstack(&attributes, &lowest, &size) == 0) {
        unsigned char here = 0;
        const auto at = reinterpret_cast<uintptr_t>(&here);
        const auto end = reinterpret_cast<uintptr_t>(lowest);
        const size_t below = at > end ? at - end : 0;
        room = std::min(room, below > kStackMargin ? below - kStackMargin : 0);
    }
    ::pthread_attr_destroy(&attributes);
    return room;
}

[[gnu::noinline]] void wipeUsedStack() {
    const size_t room = clearableStack();
    if (room == 0)
        return;
    auto* area = static_cast<unsigned char*>(__builtin_alloca(room));
    orxengine::gWipe(area, room);
    asm volatile("" : : "r"(area) : "memory");
}

const char* resultText(int32_t code) {
    switch (code) {
    case kZAFvorn_OK:
        return "Success";
    case kZAFvorn_Failed:
        return "The operation failed";
    case kZAFvorn_Usage:
        return "The command line is not valid";
    case kZAFvorn_NoKey:
        return "No matching key";
    case kZAFvorn_Ambiguous:
        return "Several keys match";
    case kZAFvorn_BadPassphrase:
        return "Wrong or missing passphrase";
    case kZAFvorn_Interrupted:
        return "Interrupted";
    case kZAFvorn_IO:
        return "Input or output error";
    case kZAFvorn_BadData:
        return "The input is not valid";
    case kZAFvorn_Unsupported:
        return "Not supported by this build";
    case kZAFvorn_KeyRings:
        return "The configuration or the key rings cannot be opened";
    case kZAFvorn_BadSignature:
        return "Bad signature";
    case kZAFvorn_NoMemory:
        return "Out of memory";
    case kZAFvorn_BadContext:
        return "Invalid context";
    default:
        return "Unknown result";
    }
}

unsigned char* copyBuffer(const CWipedString& data, size_t* length) {
    *length = 0;
    if (data.empty())
        return nullptr;
    auto* buffer = static_cast<unsigned char*>(std::malloc(data.size()));
    if (buffer == nullptr)
        throw std::bad_alloc();
    std::memcpy(buffer, data.data(), data.size());
    *length = data.size();
    return buffer;
}

ZAFapiContext* newApi(ZAFvornContext* context, std::unique_ptr<CEngineIO> io) {
    std::unique_ptr<ZAFapiContext> api(new (std::nothrow) ZAFapiContext());
    std::unique_ptr<ZAFapiPrivate> priv(new (std::nothrow) ZAFapiPrivate());
    if (!api || !priv)
        return nullptr;
    priv->engine = context;
    priv->io = std::move(io);
    api->flag = 0;
    api->result = 0;
    api->priv = priv.release();
    return api.release();
}

void runWords(ZAFapiContext* api, const std::vector<std::string>& words) {
    ZAFapiPrivate& priv = *api->priv;
    priv.busy = true;
    priv.engine->running++;
    {
        CEngineRun run(priv.engine->program, *priv.io, *api, priv.pending, *priv.engine);
        api->result = run.run(words);
    }
    priv.engine->running--;
    priv.busy = false;
}

} // namespace

extern "C" int32_t ZAFvornInit_args(ZAFvornContext** context, int argc, char** argv) {
    if (context == nullptr)
        return kZAFvorn_BadContext;
    *context = nullptr;
    auto* created = new (std::nothrow) ZAFvornContext();
    if (created == nullptr)
        return kZAFvorn_NoMemory;
    if (argc > 0 && argv != nullptr && argv[0] != nullptr) {
        const char* slash = std::strrchr(argv[0], '/');
        created->program = slash != nullptr ? slash + 1 : argv[0];
    }
    *context = created;
    return kZAFvorn_OK;
}

extern "C" int32_t ZAFvornInit(ZAFvornContext** context) {
    return ZAFvornInit_args(context, 0, nullptr);
}

extern "C" void ZAFvornCleanUp(ZAFvornContext* context) {
    if (context == nullptr || context->running > 0)
        return; // a command still runs: the program is ending from a signal handler
    if (context->toolkitStarted)
        ZAFsdkCleanup();
    delete context;
}

extern "C" ZAFapiContext* zafVornInit(ZAFvornContext* context, bool capture) {
    if (context == nullptr)
        return nullptr;
    std::unique_ptr<CEngineIO> io;
    if (capture)
        io.reset(new (std::nothrow) CBufferIO(nullptr, 0));
    else
        io.reset(new (std::nothrow) CProcessIO());
    if (!io)
        return nullptr;
    return newApi(context, std::move(io));
}

extern "C" void zafEngine(int argc, const char* const* argv, ZAFapiContext* api) {
    if (api == nullptr || api->priv == nullptr || argv == nullptr)
        return;
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i)
        words.push_back(argv[i] != nullptr ? argv[i] : "");
    runWords(api, words);
}

void zafVornCleanUp(ZAFapiContext*& api) {
    if (api == nullptr)
        return;
    if (api->priv != nullptr && api->priv->busy) {
        api->priv->pending.unlinkAll();
        api = nullptr;
        return;
    }
    delete api->priv;
    delete api;
    api = nullptr;
}

extern "C" int32_t ZAFvorn(ZAFvornContext* context, const char* command, const unsigned char* input,
                           size_t inputLength, unsigned char** output, size_t* outputLength,
                           unsigned char** error, size_t* errorLength) {
    if (context == nullptr || command == nullptr || output == nullptr || outputLength == nullptr ||
        error == nullptr || errorLength == nullptr)
        return kZAFvorn_BadContext;
    *output = *error = nullptr;
    *outputLength = *errorLength = 0;
    try {
        auto* io = new CBufferIO(input, inputLength);
        ZAFapiContext* api = newApi(context, std::unique_ptr<CEngineIO>(io));
        if (api == nullptr)
            return kZAFvorn_NoMemory;
        try {
            runWords(api, gSplitCommandText(command));
        } catch (SEngineError& e) {
            api->result = e.code;
            io->writeErr(context->program + ": " + e.message + "\n");
        }
        const int32_t result = api->result;
        std::unique_ptr<unsigned char, void (*)(void*)> out(
            copyBuffer(io->out(), outputLength), [](void* p) { ZAFvornFree(nullptr, p); });
        *error = copyBuffer(io->err(), errorLength);
        *output = out.release();
        zafVornCleanUp(api);
        wipeUsedStack();
        return result;
    } catch (std::bad_alloc&) {
        return kZAFvorn_NoMemory;
    }
}

extern "C" void ZAFvornFree(ZAFvornContext*, void* buffer) {
    // The buffers hold command output, decrypted data among it.
    if (buffer != nullptr)
        gWipe(buffer, ::malloc_usable_size(buffer));
    std::free(buffer);
}

extern "C" int32_t ZAFvornErrorString(ZAFvornContext*, int32_t code, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0)
        return kZAFvorn_BadContext;
    std::strncpy(buffer, resultText(code), size - 1);
    buffer[size - 1] = '\0';
    return kZAFvorn_OK;
}
