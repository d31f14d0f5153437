// engine_internal: the command engine's inner classes. One CEngineRun carries one command from
// its command line to its result; the command handlers (keycommands.cpp, groupcommands.cpp,
// packetlist.cpp, messagecommands.cpp) are plain functions registered in
// the command table of commands.cpp.
#ifndef ORX_ENGINE_INTERNAL_H
#define ORX_ENGINE_INTERNAL_H

#include <oozaf/cmdline.h>
#include <oozaf/keydb.h>
#include <oozaf/keyobjects.h>
#include <oozaf/ops.h>
#include <oozaf/throwable.h>
#include <oozaf/vornserver.h>
#include <oozaf/vornserveredit.h>
#include <zaf/zafmessage.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <orx/zafengine.h>
#include <string>
#include <vector>

namespace orxengine {

using oozaf::eZAFOp;

// Overwrites `size` bytes with zeros in a way the compiler keeps.
void gWipe(void* data, size_t size) noexcept;
inline void gWipe(std::string& text) noexcept {
    gWipe(&text[0], text.size());
    text.clear();
}

// An allocator that overwrites every block with zeros before it gives it back, so that growing or
// dropping a buffer of secret or decrypted bytes leaves no copy behind.
template <class T> struct CWipingAllocator {
    using value_type = T;
    CWipingAllocator() = default;
    template <class U> CWipingAllocator(const CWipingAllocator<U>&) noexcept {}
    T* allocate(size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T* p, size_t n) noexcept {
        gWipe(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }
    template <class U> bool operator==(const CWipingAllocator<U>&) const noexcept { return true; }
    template <class U> bool operator!=(const CWipingAllocator<U>&) const noexcept { return false; }
};
// A byte string whose memory is wiped whenever it is given back.
using CWipedString = std::basic_string<char, std::char_traits<char>, CWipingAllocator<char>>;

// A failure with its result code and a one-line message (no program name, no line break).
struct SEngineError {
    int32_t code;
    std::string message;
};
[[noreturn]] void fail(int32_t code, const std::string& message);

// The streams of one command: the process's own, or memory buffers (ZAFvorn).
class CEngineIO {
public:
    virtual ~CEngineIO() = default;
    // Write everything or throw SEngineError kZAFvorn_IO.
    virtual void writeOut(const std::string& data) = 0;
    virtual void writeErr(const std::string& data) = 0;
    // Reads up to `size` bytes of standard input; 0 at its end. Throws SEngineError on failure.
    virtual size_t readIn(char* buffer, size_t size) = 0;
    // Reads one byte of descriptor `fd` (0 is standard input); false at its end.
    virtual bool readByte(int fd, char& byte) = 0;
    // True when the command may prompt on the terminal.
    virtual bool canPrompt() const = 0;
    // Writes to descriptor `fd` (1 and 2 are standard output and error); throws SEngineError
    // kZAFvorn_IO, or kZAFvorn_Usage for a descriptor these streams do not have.
    virtual void writeDescriptor(int fd, const std::string& data) = 0;
    // Takes back what this command wrote to standard output, where that is possible (memory
    // buffers, a regular file); called when a command fails after writing data it must not leave.
    virtual void discardOut() = 0;
    // True when these are the streams of a program of its own (orxcmd), whose process a command
    // may change (its identity for --user) and whose terminal it may hand to a pager.
    virtual bool ownsProcess() const { return false; }
    // True when standard output is a terminal.
    virtual bool outputIsTerminal() const { return false; }
    // True once a write to standard output found its reader gone (a closed pipe).
    virtual bool outputClosed() const { return false; }
};

// Maximum sizes of what a command reads.
const size_t kMaxInputSize = size_t(1) << 30; // a file or standard input
const size_t kMaxPassphraseLength = 1023;     // bytes of one passphrase
const size_t kMaxLoggedCommandLine = 60000;   // bytes of the log's command-line field
const unsigned int kMaxCommandWords = 4096;   // words of a command line (after aliases)
const size_t kMaxCommandTextLength = 1 << 20; // bytes of a ZAFvorn command text

// A passphrase in locked memory, wiped when it goes.
class CSecret {
public:
    CSecret();
    ~CSecret();
    CSecret(const CSecret&) = delete;
    CSecret& operator=(const CSecret&) = delete;
    const char* c_str() const { return m_buffer.data(); }
    size_t size() const { return m_length; }
    std::string str() const { return std::string(m_buffer.data(), m_length); }
    // Appends one byte; false when the passphrase would grow past kMaxPassphraseLength.
    bool append(char c);
    void clear();

private:
    std::vector<char> m_buffer;
    size_t m_length = 0;
    bool m_locked = false;
};

// Files a command is writing: created beside their target, renamed on success, removed
// otherwise (also from a signal handler, through the async-signal-safe list below).
class CPendingFiles {
public:
    static const int kSlots = 8;
    static const size_t kPathSize = 4096;
    // Registers a temporary path; false when every slot is taken.
    bool add(const std::string& path);
    void remove(const std::string& path);
    // Unlinks every registered path; async-signal-safe.
    void unlinkAll() noexcept;

private:
    std::atomic<int> m_used[kSlots] = {};
    char m_paths[kSlots][kPathSize] = {};
};

// An output: a file written through a temporary file in its folder and renamed into place on
// commit(), or standard output when no path is given.
class COutput {
public:
    // `path` empty: standard output. An existing file without `overwrite` fails with
    // kZAFvorn_IO. The file is private to its owner (mode 0600) while it is written; `secret`
    // keeps it so, otherwise it gets mode 0666 less the umask when it is committed.
    COutput(CEngineIO& io, CPendingFiles& pending, const std::string& path, bool overwrite,
            bool secret);
    ~COutput();
    COutput(const COutput&) = delete;
    COutput& operator=(const COutput&) = delete;
    void write(const std::string& data) { write(data.data(), data.size()); }
    void write(const char* data, size_t size);
    // Flushes, syncs and renames the file into place.
    void commit();
    const std::string& path() const { return m_path; }
    // Decides, before commit(), whether the file stays private.
    void setSecret(bool secret) { m_secret = secret; }
    // Standard output: keeps what is written (at most `limit` bytes, more fails with
    // kZAFvorn_IO) and writes it only on commit(), so that a check after the data can still stop
    // it.
    void holdUntilCommit(size_t limit) { m_holdLimit = limit; }
    // A file: commit() gives it the name `path` (in the same folder) instead, and never replaces
    // an existing file unless `overwrite`.
    void retarget(const std::string& path, bool overwrite);

private:
    CEngineIO& m_io;
    CPendingFiles& m_pending;
    std::string m_path;
    std::string m_temp;
    int m_fd = -1;
    bool m_secret;
    size_t m_holdLimit = 0;
    std::string m_held;
    bool m_noReplace = false;
};

// The command line as the engine reads it: every switch of the operation table, with argument
// counts from the engine's rules. Words before the first switch are refused.
class CEngineCommandLine : public oozaf::CZAFCommandLineContext {
public:
    void minMaxArgsForSwitch(const std::string& sw, uint16_t& min, uint16_t& max) const override;
    bool switchIsValid(const std::string& sw) const override;
    bool argIsValid(const std::string& sw, const std::string& arg) const override;
    void validate() const override;

    // The single argument of a switch, or `fallback` when the switch is absent.
    std::string arg(const std::string& sw, const std::string& fallback = "") const;
    bool has(const std::string& sw) const { return switchExists(sw); }
};

// Replaces each word that is an alias code (and not a switch of the table) by the words of its
// target, once (targets are not expanded again). More than kMaxCommandWords words fail.
std::vector<std::string> gExpandAliases(const std::vector<std::string>& words,
                                        const oozaf::CVornServerCfgPart::CAliasMap& aliases);
// Short options (-e -d -s -v -k, -a, -r VALUE, -u VALUE, -o VALUE; bundled as in "-sea") and
// --recipient: the words with them turned into the long switches, the plain words that follow
// them moved behind the command's switch. A line without them comes back as it is. Throws
// SEngineError kZAFvorn_Usage for a short option without its value, and for --recipient (-r)
// without --encrypt (-e). With `longSwitchesOnly` (CmdLine-Format long) a word with one dash is
// a plain word and only --recipient is turned into --userid.
std::vector<std::string> gExpandShortOptions(const std::vector<std::string>& words,
                                             bool longSwitchesOnly);
// True for a word made of short options only ("-e", "-sea").
bool gIsShortOptionWord(const std::string& word);
// The operation of a switch of the table; false when there is none.
bool gOpOfSwitch(const std::string& sw, oozaf::eZAFOp& op);
// How many arguments a switch takes (at least `min`, at most `max`; kMany: no limit).
void gSwitchArgRule(const std::string& sw, uint16_t& min, uint16_t& max);
// Tries at typing a new passphrase twice alike.
const int kNewPassphraseAttempts = 3;
// True when a word looks like an alias code: it begins with "-" and is no switch of the table.
bool gNeedsAliases(const std::vector<std::string>& words);
// Splits a command text into words (see ZAFvorn). Throws SEngineError kZAFvorn_Usage for an
// unbalanced quote, a trailing backslash or too many words.
std::vector<std::string> gSplitCommandText(const std::string& text);
// The command line as the transaction log shows it: words joined by blanks, a word with blanks or
// quotes in double quotes, control characters as \xNN; the value of every passphrase or password
// switch replaced by "********" in every spelling, accepted or refused ("--passphrase X",
// "--passphrase=X", "-passphrase X", abbreviations such as "--pass X"), the word after such a
// switch whatever it looks like; cut to kMaxLoggedCommandLine bytes.
std::string gLoggedCommandLine(const std::vector<std::string>& words);

class CEngineRun;
using CCommandHandler = void (*)(CEngineRun& run);

// One command of the engine.
const uint16_t kMany = 0xFFFF;
struct SEngineCommand {
    eZAFOp op;
    uint16_t minArgs;
    uint16_t maxArgs; // kMany: no limit
    bool needsKeys;   // opens the key rings
    CCommandHandler handler;
    const char* synopsis;
    const char* summary;
};
// The command of an operation, or null.
const SEngineCommand* gFindCommand(eZAFOp op);
// Every command, in help order.
const std::vector<SEngineCommand>& gCommands();
// Why the engine refuses a switch (refusals.cpp): the part of the product it belongs to and the
// reason this build leaves that part out.
struct SRefusal {
    const char* part;
    const char* reason;
};
// The refusal of an operation's switch, or null when the engine reads the switch.
const SRefusal* gRefusal(eZAFOp op);
// Every refused switch with its refusal, part by part.
std::vector<std::pair<std::string, const SRefusal*>> gRefusedSwitches();
// The message of a refused switch: "SWITCH is not supported (PART): REASON".
std::string gRefusalText(const std::string& sw, const SRefusal& refusal);
// The switches (lower-cased) that only some commands read, and which commands read them.
bool gOptionAppliesTo(const std::string& option, eZAFOp command);
// The help text.
std::string gHelpText(const std::string& program);
std::string gVersionText();

// One command from its words to its result.
class CEngineRun : public oozaf::CVornServerCommandLine {
public:
    CEngineRun(const std::string& program, CEngineIO& io, ZAFapiContext& api,
               CPendingFiles& pending, ZAFvornContext& engine);
    ~CEngineRun() override;

    // Runs the command line (without the program name) and returns the result. Writes the
    // transaction log line when the configuration names a log file.
    int32_t run(const std::vector<std::string>& words);

    // For the handlers.
    CEngineIO& io() { return m_io; }
    CEngineCommandLine& cmd() { return m_cmd; }
    const CEngineCommandLine& cmd() const { return m_cmd; }
    const SEngineCommand& command() const { return *m_command; }
    oozaf::CVornServer& server() { return *m_server; }
    // The keys the command works with: the server's database, or the one in memory that
    // useKeyDB() set for this run (a key rebuilt from shares); never written.
    oozaf::CZAFKeyDB& keyDB() { return m_keyDB ? *m_keyDB : *m_server->getKeyDB(); }
    void useKeyDB(std::unique_ptr<oozaf::CZAFKeyDB> db) { m_keyDB = std::move(db); }
    CPendingFiles& pending() { return m_pending; }
    const oozaf::CVornServerCfg& cfg() const { return m_server->getConfiguration(); }
    const std::string& program() const { return m_program; }
    // The command's own arguments.
    const std::vector<std::string>& args() const;

    void out(const std::string& text) { m_io.writeOut(text); }
    // A note on the error stream ("<program>: " + text + "\n"), unless --info quiet.
    void note(const std::string& text);
    // Throws kZAFvorn_Interrupted when the cancel flag is set.
    void checkCancel() const;

    // Settings (command line over configuration files).
    bool setting(eZAFOp op, bool fallback) const;
    int setting(eZAFOp op, int fallback) const;
    std::string setting(eZAFOp op, const std::string& fallback) const;

    // Reads a passphrase for `what` (the next line of --passphrase-fd, or a prompt).
    void readPassphrase(const std::string& what, CSecret& out);
    // The everyday options (runoptions.cpp).
    // True when the user agrees (y or yes on the terminal); always true with --yes, with
    // --batch-mode and without a terminal.
    bool confirm(const std::string& question);
    // confirm(), or fail (exit 1) when the answer is no.
    void confirmOrStop(const std::string& question);
    // Reads a new passphrase: once from --passphrase-fd (with `message`, a message passphrase,
    // also --conventional-passphrase-fd); typed, twice alike (a mismatch is said and asked again,
    // kNewPassphraseAttempts times), else kZAFvorn_BadPassphrase.
    void readNewPassphrase(const std::string& what, CSecret& out, bool message = false);
    // Before encrypting to `key`: a key whose validity is not complete is warned about and,
    // on a terminal, asked about; with --batch-mode it is refused unless --yes.
    void checkRecipientValidity(const oozaf::CZAFKey& key);
    // The reason of a revocation from the command's arguments from `first` on: a reason word or
    // RFC 4880 code, then an explanation (both optional). A bad one is a command-line error.
    oozaf::SRevocationReason revocationReason(size_t first) const;
    // A note shown only with --verbose (or --info verbose, debug).
    void verbose(const std::string& text);
    // A date ("YYYY-MM-DD") or date and time ("... HH:MM:SS UTC"), in local time with
    // Local-Times (then without "UTC"); "never" for the time 0.
    std::string dateText(const oozaf::CZAFTime& t, bool withTime) const;
    // The passphrase of a key pair, checked against its secret part: a wrong one fails with
    // kZAFvorn_BadPassphrase, or is said wrong and asked again (passphraseAttempts()).
    void readKeyPassphrase(const oozaf::CZAFKey& key, CSecret& out);
    // Tries at a passphrase: three when it is typed on the terminal or with
    // Allow-Passphrase-Retry, else one.
    int passphraseAttempts() const;
    // Writes a listing to --output or standard output: colon records with the --delimiter
    // character, human lines cut to --width; through the --pager command (or Pager when standard
    // output is a terminal) when orxcmd writes to standard output.
    void writeListing(std::string text, bool colons);
    int listingWidth() const;
    char colonDelimiter() const;
    // The cipher of --cipher-num or Cipher; false when neither is set.
    bool chosenCipher(oozaf::ZAFCipherAlgorithm& cipher) const;
    // Reads `bytes` bytes (32 to 4096) from Random-Device into the random pool, when it is set.
    void feedRandomDevice(unsigned int bytes);
    // Reads a whole file ("-" or "" is standard input), at most kMaxInputSize bytes.
    std::string readInput(const std::string& path);
    // Opens the output of --output (standard output without it), or of the file a --multi run
    // works on; held back for the checks of --signed-by and --authenticate, or written under a
    // name chosen later with --preserve-name.
    std::unique_ptr<COutput> openOutput(bool secret);
    // Files and signers (filecommands.cpp).
    // Standard input through the bytes given back by unreadStdin() first.
    size_t readStdin(char* buffer, size_t size);
    void unreadStdin(const std::string& bytes);
    // The message passphrase: a line of Conventional-Passphrase-FD when it is set, else as
    // readPassphrase() reads; asksMessagePassphraseTwice() when it comes from the terminal.
    void readMessagePassphrase(const std::string& what, CSecret& out);
    // Reads one line of descriptor `fd` as a secret for `what` (kZAFvorn_BadPassphrase when the
    // descriptor ends first or the line is too long).
    void readSecretLine(int fd, const std::string& what, CSecret& out);
    bool asksMessagePassphraseTwice() const;
    // The file of a --multi run being worked on, and its output ("" for none).
    void setCurrentFiles(const std::string& input, const std::string& output) {
        m_currentInput = input;
        m_currentOutput = output;
        m_lastOutput = output;
    }
    const std::string& currentInput() const { return m_currentInput; }
    // The output file last written (after --preserve-name chose its name).
    const std::string& lastOutput() const { return m_lastOutput; }
    void setLastOutput(const std::string& path) { m_lastOutput = path; }
    // The folder of --preserve-name outputs: the one --output names, else ".".
    std::string outputFolder() const;

    // Keys. The single key `pattern` names (a key ID or a part of a user ID); kZAFvorn_NoKey when
    // none, kZAFvorn_Ambiguous when several. `secret` requires its secret part.
    // `flags` (CZAFKeyDB::kMatch...) narrow the keys looked at.
    std::unique_ptr<oozaf::CZAFKey> findKey(const std::string& pattern, bool secret = false,
                                            unsigned int flags = 0);
    // The signing key: --sign-with, else Default-Key; without either, the only key pair of the
    // ring when `onlyPair` (several: kZAFvorn_Ambiguous), else a command-line error.
    std::unique_ptr<oozaf::CZAFKey> signingKey(bool onlyPair);
    // Every key matching any of the patterns (all keys without patterns).
    std::unique_ptr<oozaf::CZAFKeySet> findKeys(const std::vector<std::string>& patterns);

private:
    const oozaf::CVornServerCfgPart&
    layerFor(const oozaf::CVornServerCfgPart::CAliasMap& aliases) override;
    bool namedPersonalDirectory(std::string& directory) override;
    void configurationBefore(const oozaf::CVornServerCfgPart& merged,
                             const oozaf::CVornServerCfgPart& policy) override;
    void parse(const std::vector<std::string>& words);
    void fillLayer();
    void selectCommand();
    void checkCombination() const;
    void openServer();
    // Takes on the identity of --user for good (root only, orxcmd only).
    void switchUser();
    int32_t execute();
    // Refuses a command whose binary output would go to a terminal (exit 2, with a hint).
    void refuseBinaryOnTerminal();
    // True when the command's output is a listing it had made whole before writing it, so that
    // a reader that stops early (a closed pipe) leaves nothing undone.
    bool outputIsAListing() const;
    void writeLog(const std::string& start, int32_t result);

    std::string m_program;
    CEngineIO& m_io;
    ZAFapiContext& m_api;
    CPendingFiles& m_pending;
    ZAFvornContext& m_engine;
    std::vector<std::string> m_words;
    CEngineCommandLine m_cmd;
    oozaf::CVornServerCfgUserPart m_layer;
    const SEngineCommand* m_command = nullptr;
    bool m_parsed = false;
    std::unique_ptr<oozaf::CVornServer> m_server;
    std::unique_ptr<oozaf::CZAFKeyDB> m_keyDB; // goes before the server's context
    int m_passphraseFD = -1;
    bool m_quiet = false;
    bool m_verbose = false;
    bool m_longSwitchesOnly = false; // CmdLine-Format long
    std::string m_pushback;
    std::string m_currentInput;
    std::string m_currentOutput;
    std::string m_lastOutput;
};

// Calls `f` with each object of `type` (wrapped as T) under the iterator's position.
template <class T, class F> void gEachChild(oozaf::CZAFIterator& iter, int32_t type, F&& f) {
    iter.rewind(type);
    for (;;) {
        oozaf::CZAFDatabaseObject* object = nullptr;
        const ZAFError code = iter.next(type, object);
        if (code == kZAFError_EndOfIteration)
            return;
        if (code != kZAFError_NoErr)
            throw new oozaf::CZAFSDKException(code);
        std::unique_ptr<T> child(static_cast<T*>(object));
        f(*child);
    }
}
// The toolkit's text for a result code.
std::string gToolkitText(ZAFError code);
// The key of `db` whose fingerprint is `fingerprint` (a new wrapper), or null.
std::unique_ptr<oozaf::CZAFKey> gKeyWithFingerprint(const oozaf::CZAFKeyDB& db,
                                                    const std::string& fingerprint);
// Reads a line of the terminal `tty` (at most 4096 bytes kept); false at its end.
bool gReadTerminalLine(int tty, std::string& line);

// "0x1234ABCD Name <mail>": the short key ID and the primary user ID, control characters as '?'.
std::string gKeyName(const oozaf::CZAFKey& key);

// Starts the toolkit for the engine context once (the service, else local mode). Throws
// SEngineError kZAFvorn_KeyRings when it cannot start.
void gStartToolkit(ZAFvornContext& engine);

// Turns a throwable into a result code and a one-line message; deletes it.
SEngineError gDescribeThrowable(oozaf::CZAFThrowable* e);

// Handlers, by file.
void gCmdKeyList(CEngineRun& run);
void gCmdKeyDetail(CEngineRun& run);
void gCmdKeyGen(CEngineRun& run);
void gCmdKeyAdd(CEngineRun& run);
void gCmdKeyExport(CEngineRun& run);
void gCmdKeyRemove(CEngineRun& run);
void gCmdKeySign(CEngineRun& run);
void gCmdRevoke(CEngineRun& run);
void gCmdRevokeSubkey(CEngineRun& run);
void gCmdRevokeSig(CEngineRun& run);
void gCmdRemoveSig(CEngineRun& run);
void gCmdAddUserID(CEngineRun& run);
void gCmdRemoveUserID(CEngineRun& run);
void gCmdAddRevoker(CEngineRun& run);
void gCmdAddPhotoID(CEngineRun& run);
void gCmdExtractPhotoID(CEngineRun& run);
void gCmdRemovePhotoID(CEngineRun& run);
void gCmdRemoveSubkey(CEngineRun& run);
void gCmdDisable(CEngineRun& run);
void gCmdEnable(CEngineRun& run);
void gCmdTrust(CEngineRun& run);
void gCmdKeyCheck(CEngineRun& run);
void gCmdGroupAdd(CEngineRun& run);
void gCmdGroupList(CEngineRun& run);
void gCmdGroupDetail(CEngineRun& run);
void gCmdGroupRemove(CEngineRun& run);
void gCmdPacketList(CEngineRun& run);
void gCmdChangePassphrase(CEngineRun& run);
void gCmdSetPrimaryUserID(CEngineRun& run);
void gCmdEncrypt(CEngineRun& run);
void gCmdConventional(CEngineRun& run);
void gCmdSign(CEngineRun& run);
void gCmdDecrypt(CEngineRun& run);
void gCmdVerify(CEngineRun& run);
void gCmdPacketDump(CEngineRun& run);
void gCmdSigDetail(CEngineRun& run);
void gCmdListAliases(CEngineRun& run);
void gCmdInfo(CEngineRun& run);
void gCmdKeyServerSearch(CEngineRun& run);
void gCmdKeyServerFetch(CEngineRun& run);
void gCmdKeyUpdate(CEngineRun& run);

// Texts shared by the listings (keycommands.cpp): a field of the colon format (':', '\' and
// control characters as \xNN), text shown to a person (control characters as '?'), an
// algorithm's name ("UNKNOWN(n)" when it has none).
std::string gColonField(const std::string& text);
std::string gShownText(const std::string& text);
std::string gAlgorithmName(int32_t algorithm);
// The lines of an import report, as --key-add writes them; `counts` adds up new, changed and
// unchanged keys. The summary line of those counts.
void gAppendImportReport(const std::vector<oozaf::SVornImportedKey>& report, bool colons,
                         unsigned int counts[3], std::string& text);
std::string gImportSummary(const unsigned int counts[3]);

// The keys of a listing that its filters keep: --signers (key pairs that can sign now) and
// --signer KEY (keys that KEY certified); the set itself without them (keyviews.cpp).
std::unique_ptr<oozaf::CZAFKeySet> gFilterListing(CEngineRun& run,
                                                  std::unique_ptr<oozaf::CZAFKeySet> set);
// The extra lines of a key in a listing: designated revokers (--revokers, or `detail`), additional
// decryption keys (--adk, or `detail`) and introducers (--introducers).
void gListingSections(CEngineRun& run, const oozaf::CZAFKey& key, bool colons, bool detail,
                      std::string& out);

// Additional decryption keys of an encryption (adkcommands.cpp): the settings Enforce-ADK,
// Warn-ADK, Add-All and the key of ADK-Key onto the message parameters; after the message was
// made, with Warn-ADK, a note for each ADK added.
void gApplyADKOptions(CEngineRun& run, ZAFMessageParamsRef params);
void gReportADKs(CEngineRun& run, ZAFMessageResultRef result);

// Split custody of a key pair's secret part (keysplit.cpp).
const size_t kMaxSharedSecret = 1 << 20; // bytes of secret a split takes
const size_t kMaxShareFile = 8 << 20;    // bytes of a share file read
// One share: share `index` (1..count) of a split of the key with `fingerprint` that any
// `threshold` shares rebuild; `digests` holds the SHA-256 digest of every share of the split
// (count x 32 bytes), `secretDigest` that of the whole secret.
struct SKeyShare {
    unsigned int threshold = 0;
    unsigned int count = 0;
    unsigned int index = 0;
    std::string fingerprint;
    std::string secretDigest;
    std::string digests;
    std::string bytes;
};
// The share's bytes, and back; gDecodeShare reads outside input: false with the reason in `why`
// for anything that is not a whole, well-formed share.
std::string gEncodeShare(const SKeyShare& share);
bool gDecodeShare(const std::string& data, SKeyShare& share, std::string& why);
namespace shamir {
uint8_t gfMul(uint8_t a, uint8_t b);
uint8_t gfInv(uint8_t a);
// `count` shares of `secret` (share i is the polynomials' value at x = i + 1), any `threshold`
// of which rebuild it; `random` fills the coefficients. std::invalid_argument for counts out of
// range.
std::vector<std::string> split(const std::string& secret, unsigned int threshold,
                               unsigned int count,
                               const std::function<void(uint8_t*, size_t)>& random);
// The secret from shares given as (x, bytes); std::invalid_argument for x = 0, a repeated x or
// shares of different lengths.
std::string combine(const std::vector<std::pair<uint8_t, std::string>>& shares);
} // namespace shamir
void gCmdKeyEdit(CEngineRun& run);
void gCmdKeyMaintenance(CEngineRun& run);
void gCmdKeySplit(CEngineRun& run);
void gCmdKeyJoin(CEngineRun& run);
void gCmdSendShare(CEngineRun& run);
// --reconstruct-data: rebuilds the key from the share files into a database in memory that the
// run's command (--decrypt, --sign) then uses.
void gUseReconstructedKey(CEngineRun& run);

// Files and signers of the message commands (filecommands.cpp).
// True when `head` (the first bytes of an input) starts like a message: an armour line, or a
// first packet that a message may start with, with a plausible version.
bool gLooksLikeMessage(const std::string& head);
// With Pass-Through: when the input (a file, or standard input for "") does not start like a
// message, copies it to the output unchanged and returns true; otherwise gives back what it
// looked at and returns false.
bool gPassThrough(CEngineRun& run, const std::string& path);
// The file name stored in the literal data: --force-filename or the input's name, its folders
// dropped with Discard-Paths (the default).
std::string gLiteralName(CEngineRun& run, const std::string& path);
// Whether decrypted or verified data must wait for the signer checks, and how much of it.
bool gHoldsOutput(const CEngineRun& run);
size_t gHeldOutputLimit();
// --signed-by KEY... and Authenticate: fails (kZAFvorn_BadSignature) unless a good signature by
// one of the keys (by a key of complete validity) is among the message's.
void gCheckSigners(CEngineRun& run, ZAFMessageResultRef result);
// --preserve-name: the output path from the literal data's file name (a base name, not hidden).
std::string gPreservedName(CEngineRun& run, ZAFMessageResultRef result);
// --multi: runs `one` for each file with its own input and output; each failure is reported
// with its file and the run fails at the end with the first failure's code.
// The files of --multi: the command's own arguments, then those of --multi.
std::vector<std::string> gMultiFiles(CEngineRun& run, std::vector<std::string> files);
void gRunMulti(CEngineRun& run, const std::vector<std::string>& files, bool decoding,
               bool verifying, const std::function<void()>& one);

// The packet lister behind --packet-list (also the fuzz target's entry): describes each packet of
// `data` (binary, or armoured: the armour is removed first) one line each into `out`. Throws
// SEngineError kZAFvorn_BadData for data that is not a packet sequence; what was listed before
// the fault stays in `out`. Nesting (compressed data is not opened) is never followed.
// `show` adds, below each packet's line, its fields (kPacketFields: signature subpackets, key
// material sizes; secret parts never) and its bytes as a hex dump (kPacketBytes; the secret part
// of secret key packets left out).
enum { kPacketFields = 1, kPacketBytes = 2 };
void gListPackets(const std::string& data, std::string& out, unsigned int show = 0);
// Removes ASCII armour: the Base64 body between the first "-----BEGIN " line and its end line,
// checksum line dropped. False when `data` holds no armour.
bool gDearmor(const std::string& data, std::string& binary);

} // namespace orxengine

#endif
