// messagecommands: encrypting, signing, decrypting and verifying through the toolkit's message
// layer. Data streams from the input (a file or standard input) through one toolkit call to the
// output (a file written beside its target and renamed on success, or standard output); what the
// call found is reported on the error stream (decrypt) or standard output (verify), and as status
// lines on the descriptor of --status-fd.
#include "engine_internal.h"

#include <oozaf/keydb.h>
#include <oozaf/throwable.h>
#include <oozaf/util.h>
#include <oozaf/vornserveredit.h>
#include <zaf/zafmessage.h>
#include <zaf/zafwipe.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace oozaf;

namespace orxengine {

namespace {

const char* const kStatusPrefix = "[ORXCMD] ";

std::string hexOf(const uint8_t* bytes, size_t length) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += hex[bytes[i] >> 4];
        out += hex[bytes[i] & 15];
    }
    return out;
}

std::string longIDOf(const ZAFKeyID& id) {
    return hexOf(id.bytes, std::min<size_t>(id.length, sizeof id.bytes));
}

std::string shortIDOf(const ZAFKeyID& id) {
    const std::string hex = longIDOf(id);
    return "0x" + (hex.size() > 8 ? hex.substr(hex.size() - 8) : hex);
}

std::string toolkitText(ZAFError code) {
    char buffer[256] = {};
    if (ZAFGetErrorString(code, sizeof buffer, buffer) != kZAFError_NoErr || buffer[0] == '\0')
        return "toolkit error " + std::to_string(code);
    return buffer;
}

// The result code of a failed message call.
int32_t codeOfMessageError(ZAFError code) {
    switch (code) {
    case kZAFError_BadPassphrase:
        return kZAFvorn_BadPassphrase;
    case kZAFError_ItemNotFound:
    case kZAFError_NoDecryptionKey:
    case kZAFError_NoSecretKey:
        return kZAFvorn_NoKey;
    case kZAFError_AmbiguousUserID:
        return kZAFvorn_Ambiguous;
    case kZAFError_ADKUnavailable:
        return kZAFvorn_NoKey;
    case kZAFError_BadSignature:
        return kZAFvorn_BadSignature;
    case kZAFError_CorruptData:
    case kZAFError_DecryptionFailed:
    case kZAFError_IntegrityFailure:
    case kZAFError_MissingMDC:
    case kZAFError_Truncated:
    case kZAFError_NestingTooDeep:
    case kZAFError_RatioExceeded:
    case kZAFError_UnknownPacket:
    case kZAFError_NotAMessage:
    case kZAFError_NoSignedData:
    case kZAFError_TooLarge:
    case kZAFError_UnsupportedCipher:
        return kZAFvorn_BadData;
    case kZAFError_ReadFailed:
    case kZAFError_WriteFailed:
        return kZAFvorn_IO;
    case kZAFError_ConflictingOptions:
    case kZAFError_MissingOption:
    case kZAFError_HashTooShort:
        return kZAFvorn_Usage;
    default:
        return kZAFvorn_Failed;
    }
}

// Owns one toolkit handle of the message layer.
template <class T, ZAFError (*Free)(T)> class CHandle {
public:
    CHandle() = default;
    ~CHandle() {
        if (m_ref != nullptr)
            Free(m_ref);
    }
    CHandle(const CHandle&) = delete;
    CHandle& operator=(const CHandle&) = delete;
    T* out() { return &m_ref; }
    T get() const { return m_ref; }

private:
    T m_ref = nullptr;
};
using CParams = CHandle<ZAFMessageParamsRef, ZAFFreeMessageParams>;
using CResult = CHandle<ZAFMessageResultRef, ZAFFreeMessageResult>;
using CSource = CHandle<ZAFMessageSourceRef, ZAFFreeMessageSource>;
using CSink = CHandle<ZAFMessageSinkRef, ZAFFreeMessageSink>;

void check(ZAFError code, const std::string& what) {
    if (code != kZAFError_NoErr)
        fail(codeOfMessageError(code), what + ": " + toolkitText(code));
}

// Machine-readable status lines on the descriptor of --status-fd (docs/orxcmd.md).
class CStatusLines {
public:
    explicit CStatusLines(CEngineRun& run) : m_run(run) {
        const std::string fd = run.cmd().arg("--status-fd");
        if (fd.empty())
            return;
        if (fd.size() > 6 || fd.find_first_not_of("0123456789") != std::string::npos)
            fail(kZAFvorn_Usage, "--status-fd needs a descriptor number");
        m_fd = std::stoi(fd);
        run.io().writeDescriptor(m_fd, std::string()); // fails now for a descriptor not open
    }
    void line(const std::string& text) {
        if (m_fd >= 0)
            m_run.io().writeDescriptor(m_fd, kStatusPrefix + text + "\n");
    }

private:
    CEngineRun& m_run;
    int m_fd = -1;
};

// ---- input and output ----

// The input of a message command: a named file (opened now, so that an unreadable file fails
// before anything is written) or standard input, read through the engine's streams.
class CMessageInput {
public:
    CMessageInput(CEngineRun& run, ZAFContextRef context, const std::string& path)
        : m_run(run), m_path(path == "-" ? "" : path) {
        if (m_path.empty()) {
            check(ZAFNewMessageSourceFromCallback(context, readStdin, this, m_source.out()),
                  "cannot read standard input");
            return;
        }
        m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0)
            fail(kZAFvorn_IO, "cannot read " + m_path + ": " + std::strerror(errno));
        struct stat st {};
        if (::fstat(m_fd, &st) != 0 || S_ISDIR(st.st_mode))
            fail(kZAFvorn_IO, "cannot read " + m_path + ": it is a folder");
        m_stat = st;
        check(ZAFNewMessageSourceFromCallback(context, readFile, this, m_source.out()),
              "cannot read " + m_path);
        // A regular file is read ahead by the toolkit; a pipe or device is read in step.
        if (S_ISREG(st.st_mode))
            check(ZAFSetMessageSourceReadAhead(m_source.get(), 1), "cannot read " + m_path);
    }
    ~CMessageInput() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    CMessageInput(const CMessageInput&) = delete;
    CMessageInput& operator=(const CMessageInput&) = delete;

    ZAFMessageSourceRef source() const { return m_source.get(); }
    const std::string& path() const { return m_path; }
    const struct stat& fileStat() const { return m_stat; }
    // The failure that stopped a read, if any (reported instead of the toolkit's code).
    const SEngineError* error() const { return m_error.get(); }

private:
    static ZAFError readStdin(void* user, void* buffer, size_t size, size_t* outRead) {
        auto* self = static_cast<CMessageInput*>(user);
        try {
            self->m_run.checkCancel();
            *outRead = self->m_run.readStdin(static_cast<char*>(buffer), size);
            return kZAFError_NoErr;
        } catch (SEngineError& e) {
            self->m_error.reset(new SEngineError(e));
            return kZAFError_ReadFailed;
        }
    }
    static ZAFError readFile(void* user, void* buffer, size_t size, size_t* outRead) {
        auto* self = static_cast<CMessageInput*>(user);
        try {
            self->m_run.checkCancel();
        } catch (SEngineError& e) {
            self->m_error.reset(new SEngineError(e));
            return kZAFError_ReadFailed;
        }
        for (;;) {
            const ssize_t n = ::read(self->m_fd, buffer, size);
            if (n >= 0) {
                *outRead = static_cast<size_t>(n);
                return kZAFError_NoErr;
            }
            if (errno != EINTR) {
                self->m_error.reset(new SEngineError{kZAFvorn_IO, "cannot read " + self->m_path +
                                                                      ": " + std::strerror(errno)});
                return kZAFError_ReadFailed;
            }
        }
    }

    CEngineRun& m_run;
    std::string m_path;
    int m_fd = -1;
    struct stat m_stat {};
    CSource m_source;
    std::unique_ptr<SEngineError> m_error;
};

// The output sink: writes through COutput (temporary file renamed on commit, or standard
// output); a write failure is kept and reported with its own message.
class CMessageOutput {
public:
    CMessageOutput(CEngineRun& run, ZAFContextRef context, bool secret)
        : m_run(run), m_output(run.openOutput(secret)) {
        check(ZAFNewMessageSinkFromCallback(context, write, nullptr, this, m_sink.out()),
              "cannot make the output");
        // A file shows nothing before its commit renames it into place, so the toolkit need not
        // hold the data back for it; standard output is written only once the message proved
        // intact.
        if (!m_output->path().empty())
            check(ZAFSetMessageSinkCommitOnly(m_sink.get(), 1), "cannot make the output");
    }
    ZAFMessageSinkRef sink() const { return m_sink.get(); }
    const SEngineError* error() const { return m_error.get(); }
    const std::string& path() const { return m_output->path(); }
    // After a successful call: the file is synced and renamed into place.
    void commit() { m_output->commit(); }
    void setSecret(bool secret) { m_output->setSecret(secret); }
    void retarget(const std::string& path, bool overwrite) { m_output->retarget(path, overwrite); }
    // After a failed call: what went to standard output is taken back where that is possible.
    void discard() {
        if (m_output->path().empty() && m_written)
            m_run.io().discardOut();
    }

private:
    static ZAFError write(void* user, const void* data, size_t size) {
        auto* self = static_cast<CMessageOutput*>(user);
        try {
            self->m_run.checkCancel();
            self->m_output->write(static_cast<const char*>(data), size);
            self->m_written = true;
            return kZAFError_NoErr;
        } catch (SEngineError& e) {
            self->m_error.reset(new SEngineError(e));
            return kZAFError_WriteFailed;
        }
    }

    CEngineRun& m_run;
    std::unique_ptr<COutput> m_output;
    CSink m_sink;
    bool m_written = false;
    std::unique_ptr<SEngineError> m_error;
};

// ---- passphrases ----

// Answers the toolkit's passphrase requests: the first request for each secret gets the
// passphrase read last (so one line of --passphrase-fd serves every key it opens), a repeated
// request after a wrong one reads the next.
class CPassphrases {
public:
    CPassphrases(CEngineRun& run, CStatusLines& status) : m_run(run), m_status(status) {}

    void attach(ZAFMessageParamsRef params) {
        check(ZAFSetMessageOption(params, kZAFMessageOption_PassphraseAttempts,
                                  m_run.passphraseAttempts()),
              "passphrase attempts");
        check(ZAFSetMessagePassphraseCallback(params, ask, this), "passphrase callback");
    }
    // Why no passphrase could be given, when the first request found none.
    const SEngineError* error() const { return m_error.get(); }

private:
    static ZAFError ask(void* user, const ZAFPassphraseRequest* request, char* buffer, size_t size,
                        size_t* outLength) {
        auto* self = static_cast<CPassphrases*>(user);
        const std::string what = request->purpose == kZAFPassphraseFor_Message
                                     ? "the message"
                                     : "key " + shortIDOf(request->keyID);
        try {
            self->m_status.line(request->purpose == kZAFPassphraseFor_Message
                                    ? "NEED_PASSPHRASE MESSAGE " + std::to_string(request->attempt)
                                    : "NEED_PASSPHRASE KEY " + longIDOf(request->keyID) + " " +
                                          std::to_string(request->attempt));
            if (request->attempt > 1 || !self->m_have) {
                // A passphrase that did not open it is said to be wrong before the next try.
                if (request->attempt > 1)
                    self->m_run.note("wrong passphrase for " + what + "; try again");
                if (request->purpose == kZAFPassphraseFor_Message)
                    self->m_run.readMessagePassphrase(what, self->m_secret);
                else
                    self->m_run.readPassphrase(what, self->m_secret);
                self->m_have = true;
            }
        } catch (SEngineError& e) {
            if (!self->m_error && request->attempt == 1)
                self->m_error.reset(new SEngineError(e));
            return kZAFError_BadPassphrase;
        }
        if (self->m_secret.size() > size)
            return kZAFError_BadPassphrase;
        std::memcpy(buffer, self->m_secret.c_str(), self->m_secret.size());
        *outLength = self->m_secret.size();
        return kZAFError_NoErr;
    }

    CEngineRun& m_run;
    CStatusLines& m_status;
    CSecret m_secret;
    bool m_have = false;
    std::unique_ptr<SEngineError> m_error;
};

// The failure of a message call: a failure of our own streams or passphrase reading first, then
// the toolkit's code.
[[noreturn]] void failCall(ZAFError code, const std::string& what, const CMessageInput& input,
                           const CMessageOutput* output, const CPassphrases& passphrases) {
    if (input.error() != nullptr)
        throw SEngineError(*input.error());
    if (output != nullptr && output->error() != nullptr)
        throw SEngineError(*output->error());
    if (passphrases.error() != nullptr &&
        (code == kZAFError_BadPassphrase || code == kZAFError_NoDecryptionKey ||
         code == kZAFError_DecryptionFailed))
        throw SEngineError(*passphrases.error());
    fail(codeOfMessageError(code), what + ": " + toolkitText(code));
}

// ---- keys ----

// The group of that name in the groups file, as a group ID; false when there is none.
bool findGroup(CEngineRun& run, const std::string& name, ZAFGroupID& id) {
    CZAFGroupSet* groups = run.server().getGroupSet();
    if (groups == nullptr)
        return false;
    uint32_t count = 0;
    if (ZAFCountGroupsInSet(groups->getHandle(), &count) != kZAFError_NoErr)
        return false;
    for (uint32_t i = 0; i < count; ++i) {
        ZAFGroupID candidate = 0;
        ZAFGroupInfo info{};
        if (ZAFGetIndGroupID(groups->getHandle(), i, &candidate) == kZAFError_NoErr &&
            ZAFGetGroupInfo(groups->getHandle(), candidate, &info) == kZAFError_NoErr &&
            name == info.name) {
            id = candidate;
            return true;
        }
    }
    return false;
}

// Adds the recipients of --userid: group names, key IDs and parts of user IDs (one key each).
void addRecipients(CEngineRun& run, ZAFMessageParamsRef params) {
    const std::vector<std::string>* names = run.cmd().getArgs("--userid");
    if (names == nullptr)
        return;
    // Validity, for the warning about keys not known to belong to their users.
    std::unique_ptr<CZAFKeySet>(run.server().keyList())->calculateTrust();
    for (const std::string& name : *names) {
        ZAFGroupID group = 0;
        if (!CZAFUtil::beginsWithIgnoreCase(name, "0x") && findGroup(run, name, group)) {
            unsigned int notHeld = 0;
            if (std::unique_ptr<CZAFKeySet> members{gGroupKeys(run.server(), name, notHeld)}) {
                std::unique_ptr<CZAFIterator> iter(members->getIterator());
                CZAFDatabaseObject* object = nullptr;
                while (iter->next(kZAFKeyDBObjType_Key, object) == kZAFError_NoErr) {
                    std::unique_ptr<CZAFKey> member(static_cast<CZAFKey*>(object));
                    if (!member->isDisabled())
                        run.checkRecipientValidity(*member);
                }
            }
            uint32_t missing = 0;
            check(ZAFAddMessageRecipientGroup(params, run.server().getGroupSet()->getHandle(),
                                              group, &missing),
                  "group " + name);
            if (missing > 0)
                run.note("group " + name + ": " + std::to_string(missing) +
                         " member keys are not held and were left out");
            continue;
        }
        std::unique_ptr<CZAFKey> key = run.findKey(name, false, CZAFKeyDB::kMatchEnabledOnly);
        // A key ID finds a key whatever its state; a disabled key is still left out.
        if (key->isDisabled())
            fail(kZAFvorn_NoKey, "key " + gKeyName(*key) +
                                     " is disabled and left out of recipient look-ups "
                                     "(--enable it to encrypt to it)");
        run.checkRecipientValidity(*key);
        const ZAFError code = ZAFAddMessageRecipient(params, key->getHandle());
        if (code != kZAFError_NoErr)
            fail(codeOfMessageError(code),
                 "cannot encrypt to " + gKeyName(*key) + ": " + toolkitText(code));
    }
}

// What signs for `key`: the subkey that --sign-with (or Default-Key) names by its key ID, else
// the key, for which the toolkit picks its newest valid signing subkey or its primary key.
ZAFKeyDBObjRef signingObject(CEngineRun& run, const CZAFKey& key) {
    std::string name = run.cmd().arg("--sign-with");
    if (name.empty())
        name = run.setting(eZAFOpDefaultKey, std::string());
    if (!CZAFUtil::beginsWithIgnoreCase(name, "0x") || !CZAFUtil::checkValidKeyID(name))
        return key.getHandle();
    const std::string wanted = CZAFUtil::toUpper(name.substr(2));
    ZAFKeySetRef set = nullptr;
    ZAFKeyIterRef iter = nullptr;
    ZAFKeyDBObjRef found = key.getHandle();
    if (ZAFNewSingletonKeySet(key.getHandle(), &set) == kZAFError_NoErr &&
        ZAFNewKeyIterFromKeySet(set, &iter) == kZAFError_NoErr) {
        ZAFKeyDBObjRef object = nullptr;
        // The iterator steps into a key before it hands out the key's subkeys.
        if (ZAFKeyIterNextKeyDBObj(iter, kZAFKeyDBObjType_Key, &object) != kZAFError_NoErr)
            object = nullptr;
        while (object != nullptr &&
               ZAFKeyIterNextKeyDBObj(iter, kZAFKeyDBObjType_SubKey, &object) == kZAFError_NoErr) {
            ZAFKeyID id{};
            char text[32] = {};
            if (ZAFGetKeyID(object, &id) != kZAFError_NoErr ||
                ZAFGetKeyIDString(&id, kZAFKeyIDString_Full, text, sizeof text) != kZAFError_NoErr)
                continue;
            const std::string hex = CZAFUtil::toUpper(std::string(text).substr(2));
            if (hex.size() >= wanted.size() &&
                hex.compare(hex.size() - wanted.size(), wanted.size(), wanted) == 0)
                found = object;
        }
    }
    // The set owns the objects the iterator handed out; a subkey found stays valid with the key.
    if (iter != nullptr)
        ZAFFreeKeyIter(iter);
    if (set != nullptr)
        ZAFFreeKeySet(set);
    return found;
}

// ---- wiping ----

// Overwrites the file with the wiper's passes (each synced) and removes it.
void wipeFile(CEngineRun& run, ZAFContextRef context, const std::string& path, int passes) {
    ZAFDiskWiperRef wiper = nullptr;
    check(ZAFCreateDiskWiper(context, &wiper, passes), "cannot wipe " + path);
    struct SWiper {
        ZAFDiskWiperRef ref;
        ~SWiper() { ZAFDestroyDiskWiper(ref); }
    } owned{wiper};
    uint32_t* words = nullptr;
    check(ZAFGetDiskWipeBuffer(wiper, &words), "cannot wipe " + path);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        fail(kZAFvorn_IO, "cannot wipe " + path + ": " + std::strerror(errno));
    struct SFd {
        int fd;
        ~SFd() { ::close(fd); }
    } file{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        fail(kZAFvorn_IO, "cannot wipe " + path + ": " + std::strerror(errno));
    const off_t size = st.st_size;
    // Whole buffers of the pattern, so that the pattern repeats from the file's start.
    std::string block;
    block.reserve(256 * kZAFDiskWipeBufferSize);
    for (;;) {
        run.checkCancel();
        int32_t pattern = 0;
        const ZAFError code = ZAFGetDiskWipePattern(wiper, &pattern);
        if (code == kZAFError_EndOfIteration)
            break;
        check(code, "cannot wipe " + path);
        block.assign(reinterpret_cast<const char*>(words), kZAFDiskWipeBufferSize);
        while (block.size() < 256 * size_t(kZAFDiskWipeBufferSize))
            block.append(block);
        off_t done = 0;
        while (done < size) {
            const size_t n = static_cast<size_t>(std::min<off_t>(size - done, off_t(block.size())));
            const ssize_t w = ::pwrite(fd, block.data(), n, done);
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                fail(kZAFvorn_IO, "cannot wipe " + path + ": " + std::strerror(errno));
            done += w;
        }
        if (::fsync(fd) != 0)
            fail(kZAFvorn_IO, "cannot wipe " + path + ": " + std::strerror(errno));
    }
    if (::unlink(path.c_str()) != 0)
        fail(kZAFvorn_IO, "cannot remove " + path + " after wiping it: " + std::strerror(errno));
}

// ---- reports ----

const char* statusWord(int32_t status) {
    switch (status) {
    case kZAFSigStatus_Good:
        return "GOOD";
    case kZAFSigStatus_Bad:
        return "BAD";
    case kZAFSigStatus_KeyNotHeld:
        return "NOKEY";
    case kZAFSigStatus_KeyExpired:
        return "EXPKEY";
    case kZAFSigStatus_KeyRevoked:
        return "REVKEY";
    case kZAFSigStatus_SigExpired:
        return "EXPSIG";
    case kZAFSigStatus_WrongKeyUsage:
        return "USAGE";
    default:
        return "UNSUPPORTED";
    }
}

std::string validityWord(int32_t validity) {
    switch (validity) {
    case oozaf::kZAFValidity_Invalid:
        return "invalid";
    case oozaf::kZAFValidity_Marginal:
        return "marginal";
    case oozaf::kZAFValidity_Complete:
        return "complete";
    default:
        return "unknown";
    }
}

std::string timeText(const CEngineRun& run, ZAFTime t) { return run.dateText(CZAFTime(t), true); }

// One line per signature; returns the counts by status.
struct SSignatureCounts {
    unsigned int good = 0, bad = 0, notHeld = 0, other = 0;
    std::string firstBad; // the report of the first bad signature
};

// `where`: 1 standard output, 2 standard error, 0 nowhere (status lines only).
SSignatureCounts reportSignatures(CEngineRun& run, ZAFMessageResultRef result, CStatusLines& status,
                                  int where) {
    SSignatureCounts counts;
    ZAFMessageInfo info{};
    if (ZAFGetMessageInfo(result, &info) != kZAFError_NoErr)
        return counts;
    for (uint32_t i = 0; i < info.signatureCount; ++i) {
        ZAFMessageSignature sig{};
        if (ZAFGetMessageSignature(result, i, &sig) != kZAFError_NoErr)
            continue;
        std::string signer = shortIDOf(sig.signerKeyID);
        if (sig.key != nullptr) {
            CZAFKey key(sig.key);
            signer = gKeyName(key);
        }
        std::string line;
        switch (sig.status) {
        case kZAFSigStatus_Good:
            ++counts.good;
            line = "good signature from " + signer + ", made " + timeText(run, sig.created) +
                   " (key validity " + validityWord(sig.validity) + ")";
            break;
        case kZAFSigStatus_Bad:
            ++counts.bad;
            line = "BAD signature from " + signer + ", made " + timeText(run, sig.created);
            if (counts.firstBad.empty())
                counts.firstBad = line;
            break;
        case kZAFSigStatus_KeyNotHeld:
            ++counts.notHeld;
            line = "signature by " + signer + ", made " + timeText(run, sig.created) +
                   ", cannot be checked: the key is not held";
            break;
        case kZAFSigStatus_KeyExpired:
            ++counts.other;
            line = "signature from " + signer + " verifies, but the key had expired when it signed";
            break;
        case kZAFSigStatus_KeyRevoked:
            ++counts.other;
            line = "signature from " + signer + " verifies, but the key is revoked";
            break;
        case kZAFSigStatus_SigExpired:
            ++counts.other;
            line = "signature from " + signer + " verifies, but it expired " +
                   timeText(run, sig.expires);
            break;
        case kZAFSigStatus_WrongKeyUsage:
            ++counts.other;
            line = "signature by " + signer +
                   " is not accepted: that key may only certify, not "
                   "sign data";
            break;
        default:
            ++counts.other;
            line = "signature by " + signer + " uses an algorithm that cannot be checked";
            break;
        }
        if (where == 1)
            run.out(line + "\n");
        else if (where == 2)
            run.io().writeErr(run.program() + ": " + line + "\n");
        status.line(
            std::string("SIG ") + statusWord(sig.status) + " " + longIDOf(sig.signerKeyID) + " " +
            (sig.fingerprintLength > 0
                 ? hexOf(sig.fingerprint, std::min<size_t>(sig.fingerprintLength, 20))
                 : "-") +
            " " + std::to_string(sig.created) + " " + std::to_string(sig.hashAlgorithm) + " " +
            std::to_string(sig.publicKeyAlgorithm) + " " + std::to_string(sig.signatureType));
    }
    return counts;
}

// Status lines of what the decoding found; notes (decryption key, warnings) only when `notes`.
void reportDecoding(CEngineRun& run, ZAFMessageResultRef result, CStatusLines& status, bool notes) {
    ZAFMessageInfo info{};
    if (ZAFGetMessageInfo(result, &info) != kZAFError_NoErr)
        return;
    for (uint32_t i = 0; i < info.recipientCount; ++i) {
        ZAFMessageRecipient recipient{};
        if (ZAFGetMessageRecipient(result, i, &recipient) != kZAFError_NoErr)
            continue;
        status.line("ENC_TO " + longIDOf(recipient.keyID) + " " +
                    std::to_string(recipient.algorithm) + " " +
                    ((recipient.flags & kZAFRecipient_Opened) != 0 ? "opened"
                     : (recipient.flags & kZAFRecipient_Held) != 0 ? "held"
                                                                   : "not-held"));
    }
    if ((info.kinds & kZAFMessageKind_Encrypted) != 0) {
        status.line("DECRYPTION " + std::to_string(info.cipher) + " " +
                    (info.openedBy == kZAFOpenedBy_Key ? "KEY " + longIDOf(info.decryptionKeyID)
                     : info.openedBy == kZAFOpenedBy_Passphrase ? std::string("PASSPHRASE")
                                                                : std::string("NONE")));
        status.line(std::string("MDC ") + (info.mdc == kZAFMDC_Good  ? "GOOD"
                                           : info.mdc == kZAFMDC_Bad ? "BAD"
                                                                     : "NONE"));
        if (notes && info.openedBy == kZAFOpenedBy_Key)
            run.note("decrypted with key " + shortIDOf(info.decryptionKeyID));
        else if (notes && info.openedBy == kZAFOpenedBy_Passphrase)
            run.note("decrypted with the passphrase");
    }
    if (info.literalMode != 0) {
        std::string name;
        for (uint32_t i = 0; i < std::min<uint32_t>(info.literalNameLength, 255); ++i) {
            const unsigned char c = info.literalName[i];
            if (c <= 0x20 || c == 0x7F || c == '%') {
                static const char hex[] = "0123456789ABCDEF";
                name += '%';
                name += hex[c >> 4];
                name += hex[c & 15];
            } else {
                name += static_cast<char>(c);
            }
        }
        status.line("LITERAL " + std::string(1, static_cast<char>(info.literalMode)) + " " +
                    std::to_string(info.literalLength) + " " + std::to_string(info.literalDate) +
                    (name.empty() ? "" : " " + name));
    }
    for (uint32_t i = 0; i < info.warningCount; ++i) {
        int32_t warning = 0;
        ZAFKeyID id{};
        if (ZAFGetMessageWarning(result, i, &warning, &id) != kZAFError_NoErr)
            continue;
        switch (warning) {
        case kZAFMessageWarning_NoMDC:
            if (notes)
                run.note("warning: the message has no integrity check");
            status.line("WARNING NO_MDC");
            break;
        case kZAFMessageWarning_TrailingData:
            if (notes)
                run.note("warning: data after the end of the message was ignored");
            status.line("WARNING TRAILING_DATA");
            break;
        default:
            status.line("WARNING " + std::to_string(warning) + " " + longIDOf(id));
            break;
        }
    }
}

// ---- the commands ----

// What every message call starts with: status lines, the parameters on the key rings, and the
// passphrase answers.
struct SMessageCall {
    explicit SMessageCall(CEngineRun& run)
        : status(run), context(run.keyDB().getContext().getHandle()), passphrases(run, status) {
        check(ZAFNewMessageParams(context, run.keyDB().getHandle(), params.out()),
              "cannot start the message");
        passphrases.attach(params.get());
    }
    CStatusLines status;
    ZAFContextRef context;
    CParams params;
    CPassphrases passphrases;
};

// What an encoding command does, from the command and its modifiers.
struct SEncodeMode {
    bool encrypt = false;
    bool conventional = false;
    bool sign = false;
};

// The input file named by the command's argument or --input ("" for standard input).
std::string inputPath(CEngineRun& run, const std::vector<std::string>& args) {
    if (!run.currentInput().empty())
        return run.currentInput();
    const std::string input = run.cmd().arg("--input");
    if (!args.empty() && !input.empty())
        fail(kZAFvorn_Usage, "the input is named twice (an argument and --input)");
    return args.empty() ? input : args.front();
}

// The arguments of every encoding command switch on the line (--encrypt FILE --sign ...).
std::vector<std::string> encodeArgs(CEngineRun& run) {
    std::vector<std::string> args;
    for (const char* sw : {"--encrypt", "--conventional", "--sign"}) {
        const std::vector<std::string>* values = run.cmd().getArgs(sw);
        if (values != nullptr)
            args.insert(args.end(), values->begin(), values->end());
    }
    if (args.size() > 1 && !run.cmd().has("--multi"))
        fail(kZAFvorn_Usage, "one input file at a time (or --multi)");
    return args;
}

bool sameFile(const std::string& a, const struct stat& b) {
    struct stat st {};
    return ::stat(a.c_str(), &st) == 0 && st.st_dev == b.st_dev && st.st_ino == b.st_ino;
}

void encode(CEngineRun& run, const SEncodeMode& mode) {
    const bool detached = run.cmd().has("--detached");
    // ClearSig in a configuration file asks for cleartext signatures of plain signing only.
    const bool encrypting = mode.encrypt || mode.conventional;
    const bool clear = mode.sign && (!encrypting || run.cmd().has("--clearsig")) &&
                       run.setting(eZAFOpClear, false);
    if ((detached || run.cmd().has("--clearsig")) && !mode.sign)
        fail(kZAFvorn_Usage, "--detached and --clearsig need --sign");
    if ((detached || clear) && (mode.encrypt || mode.conventional))
        fail(kZAFvorn_Usage, "a detached or cleartext signature cannot be encrypted");
    if (detached && clear)
        fail(kZAFvorn_Usage, "contradictory: --detached and --clearsig");
    if (mode.encrypt && !run.cmd().has("--userid") && !run.setting(eZAFOpEncryptToSelf, false))
        fail(kZAFvorn_Usage, "--encrypt needs recipients (--userid KEY...)");
    bool wipe = encrypting && run.setting(eZAFOpWipe, false);
    const int passes = run.setting(eZAFOpWipePasses, 3);
    if (wipe && (passes < 1 || passes > kZAFDiskWipeMaxPasses))
        fail(kZAFvorn_Usage, "--wipe-passes must be 1 to " + std::to_string(kZAFDiskWipeMaxPasses));

    SMessageCall call(run);
    CStatusLines& status = call.status;
    const ZAFContextRef context = call.context;
    CParams& params = call.params;
    CPassphrases& passphrases = call.passphrases;

    const std::string path = inputPath(run, encodeArgs(run));
    if (wipe && path.empty() && run.cmd().has("--wipe"))
        fail(kZAFvorn_Usage, "--wipe needs an input file");
    wipe = wipe && !path.empty(); // Wipe in a configuration file: standard input has no file

    if (mode.encrypt) {
        addRecipients(run, params.get());
        gApplyADKOptions(run, params.get());
    }
    std::unique_ptr<CZAFKey> signer;
    if (mode.sign) {
        signer = run.signingKey(true);
        const ZAFKeyDBObjRef object = signingObject(run, *signer);
        const ZAFError code = ZAFAddMessageSigner(params.get(), object);
        if (code == kZAFError_UnsupportedAlg && object != signer->getHandle())
            fail(kZAFvorn_Failed, "cannot sign with " + gKeyName(*signer) + ": the subkey " +
                                      run.cmd().arg("--sign-with") + " may not sign data");
        check(code, "cannot sign with " + gKeyName(*signer));
    }
    if (mode.encrypt && run.setting(eZAFOpEncryptToSelf, false)) {
        std::unique_ptr<CZAFKey> self = signer ? nullptr : run.signingKey(true);
        if (self)
            check(ZAFSetMessageSelfKey(params.get(), self->getHandle()), "encrypt to self");
        check(ZAFSetMessageOption(params.get(), kZAFMessageOption_EncryptToSelf, 1),
              "encrypt to self");
    }
    if (mode.conventional) {
        CSecret passphrase;
        run.readNewPassphrase("the message", passphrase, true);
        if (passphrase.size() == 0)
            fail(kZAFvorn_BadPassphrase, "the message passphrase is empty");
        check(ZAFSetMessagePassphrase(params.get(), passphrase.c_str(), passphrase.size()),
              "passphrase");
    }

    ZAFCipherAlgorithm cipher{};
    if ((mode.encrypt || mode.conventional) && run.chosenCipher(cipher))
        check(ZAFSetMessageOption(params.get(), kZAFMessageOption_Cipher,
                                  static_cast<int32_t>(cipher)),
              "--cipher");
    ZAFHashAlgorithm hash{};
    if (mode.sign && run.cfg().getHash(hash))
        check(ZAFSetMessageOption(params.get(), kZAFMessageOption_Hash, static_cast<int32_t>(hash)),
              "--hash");
    if (!detached && !clear && run.setting(eZAFOpCompress, true))
        check(ZAFSetMessageOption(params.get(), kZAFMessageOption_Compression, 2), "--compress");
    check(ZAFSetMessageOption(params.get(), kZAFMessageOption_Armor,
                              run.setting(eZAFOpArmor, false) ? 1 : 0),
          "--armor");
    check(ZAFSetMessageOption(params.get(), kZAFMessageOption_Detached, detached ? 1 : 0),
          "--detached");
    check(ZAFSetMessageOption(params.get(), kZAFMessageOption_ClearSign, clear ? 1 : 0),
          "--clearsig");

    CMessageInput input(run, context, path);
    if (wipe && !run.cmd().arg("--output").empty() &&
        sameFile(run.cmd().arg("--output"), input.fileStat()))
        fail(kZAFvorn_Usage, "--wipe would wipe the output: the output is the input file");
    const std::string name = path.empty() && !run.cmd().has("--force-filename")
                                 ? std::string()
                                 : gLiteralName(run, path);
    const ZAFTime date = path.empty() ? static_cast<ZAFTime>(std::time(nullptr))
                                      : static_cast<ZAFTime>(input.fileStat().st_mtime);
    check(ZAFSetMessageLiteral(
              params.get(), run.cmd().has("--text") ? kZAFLiteralMode_Text : kZAFLiteralMode_Binary,
              name.data(), name.size(), date),
          "literal data");

    CMessageOutput output(run, context, false);
    CResult result;
    check(ZAFNewMessageResult(context, result.out()), "cannot start the message");
    run.checkCancel();
    const ZAFError code =
        ZAFEncodeMessage(params.get(), input.source(), output.sink(), result.get());
    if (code != kZAFError_NoErr) {
        output.discard();
        failCall(code, "cannot make the message", input, &output, passphrases);
    }
    output.commit();

    ZAFMessageInfo info{};
    if (ZAFGetMessageInfo(result.get(), &info) == kZAFError_NoErr) {
        for (uint32_t i = 0; i < info.recipientCount; ++i) {
            ZAFMessageRecipient recipient{};
            if (ZAFGetMessageRecipient(result.get(), i, &recipient) == kZAFError_NoErr)
                status.line("ENC_TO " + longIDOf(recipient.keyID) + " " +
                            std::to_string(recipient.algorithm) + " " +
                            ((recipient.flags & kZAFRecipient_ADK) != 0    ? "adk"
                             : (recipient.flags & kZAFRecipient_Self) != 0 ? "self"
                                                                           : "named"));
        }
        for (uint32_t i = 0; i < info.warningCount; ++i) {
            int32_t warning = 0;
            ZAFKeyID id{};
            if (ZAFGetMessageWarning(result.get(), i, &warning, &id) != kZAFError_NoErr)
                continue;
            if (warning == kZAFMessageWarning_CipherNotWanted)
                run.note("warning: key " + shortIDOf(id) + " did not ask for this cipher");
            else if (warning == kZAFMessageWarning_ADKNotAdded)
                run.note("warning: additional decryption key " + shortIDOf(id) + " was not added");
            status.line("WARNING " + std::to_string(warning) + " " + longIDOf(id));
        }
        if (info.cipher != 0)
            status.line("ENCRYPTED " + std::to_string(info.cipher));
        ZAFMessageSignature made{};
        if (signer && ZAFGetMessageSignature(result.get(), 0, &made) == kZAFError_NoErr)
            status.line("SIG_CREATED " + longIDOf(made.signerKeyID) + " " +
                        std::to_string(info.hash));
    }
    gReportADKs(run, result.get());
    if (wipe) {
        wipeFile(run, context, path, passes);
        run.note("wiped " + path);
    }
    status.line("SUCCESS");
}

void decode(CEngineRun& run, bool verify) {
    const std::vector<std::string>& args = run.args();
    std::string messagePath;
    std::string dataPath;
    bool detached = false;
    if (verify && args.size() == 2) {
        if (!run.cmd().arg("--input").empty())
            fail(kZAFvorn_Usage, "the input is named twice (an argument and --input)");
        messagePath = args[0] == "-" ? "" : args[0];
        dataPath = args[1] == "-" ? "" : args[1];
        if (messagePath.empty() && dataPath.empty())
            fail(kZAFvorn_Usage, "the signature and its data cannot both be standard input");
        detached = true;
    } else if (verify && !run.currentInput().empty() && run.currentInput().size() > 4 &&
               run.currentInput().compare(run.currentInput().size() - 4, 4, ".sig") == 0) {
        // --multi: a detached signature beside the data it signs.
        messagePath = run.currentInput();
        dataPath = messagePath.substr(0, messagePath.size() - 4);
        detached = true;
    } else {
        if (args.size() > 1 && run.currentInput().empty())
            fail(kZAFvorn_Usage, "one input file at a time (or --multi)");
        messagePath = inputPath(run, args);
    }
    if (gPassThrough(run, messagePath)) {
        CStatusLines(run).line("SUCCESS");
        return;
    }

    SMessageCall call(run);
    CStatusLines& status = call.status;
    const ZAFContextRef context = call.context;
    CParams& params = call.params;
    CPassphrases& passphrases = call.passphrases;
    if (run.setting(eZAFOpForce, false))
        check(ZAFSetMessageOption(params.get(), kZAFMessageOption_AllowMissingMDC, 1), "--force");
    // Data goes to standard output only once the message proved intact, unless asked otherwise.
    if (run.cmd().has("--stream-unverified"))
        check(ZAFSetMessageOption(params.get(), kZAFMessageOption_StreamUnverified, 1),
              "--stream-unverified");

    CMessageInput input(run, context, messagePath);
    std::unique_ptr<CMessageInput> data;
    if (detached)
        data.reset(new CMessageInput(run, context, dataPath));
    std::unique_ptr<CMessageOutput> output;
    // Decrypted data stays private to its owner.
    if (!verify || !run.cmd().arg("--output").empty())
        output.reset(new CMessageOutput(run, context, true));
    CResult result;
    check(ZAFNewMessageResult(context, result.out()), "cannot start the message");
    run.checkCancel();
    const ZAFError code =
        ZAFDecodeMessage(params.get(), input.source(), data ? data->source() : nullptr,
                         output ? output->sink() : nullptr, result.get());
    // A failed decryption says why in one line; a verification reports every signature on
    // standard output whatever happened.
    reportDecoding(run, result.get(), status, code == kZAFError_NoErr);
    const SSignatureCounts counts = reportSignatures(run, result.get(), status,
                                                     verify                    ? 1
                                                     : code == kZAFError_NoErr ? 2
                                                                               : 0);
    if (code != kZAFError_NoErr) {
        if (output)
            output->discard();
        status.line("FAILURE " + std::to_string(code));
        if (data && data->error() != nullptr)
            throw SEngineError(*data->error());
        if (code == kZAFError_BadSignature && !verify && !counts.firstBad.empty())
            fail(kZAFvorn_BadSignature, "cannot decrypt: " + counts.firstBad);
        failCall(code, verify ? "cannot verify" : "cannot decrypt", input, output.get(),
                 passphrases);
    }
    if (verify) {
        const unsigned int all = counts.good + counts.bad + counts.notHeld + counts.other;
        if (all == 0)
            fail(kZAFvorn_BadData, "the input holds no signature");
        if (counts.good == 0 && counts.notHeld > 0 && counts.other == 0)
            fail(kZAFvorn_NoKey, "no signature could be checked: the signer's key is not held");
        if (counts.good == 0)
            fail(kZAFvorn_BadSignature, "no signature is valid");
    }
    // Checks that decide whether the data may go at all, before any of it is released.
    gCheckSigners(run, result.get());
    if (output && !verify && run.setting(eZAFOpPreserveFilename, false)) {
        const std::string named = gPreservedName(run, result.get());
        output->retarget(named, run.setting(eZAFOpOverwrite, false));
        run.setLastOutput(named);
    }
    if (output) {
        // The data of a message that was only signed is no more private than the message.
        ZAFMessageInfo info{};
        if (verify && ZAFGetMessageInfo(result.get(), &info) == kZAFError_NoErr &&
            (info.kinds & kZAFMessageKind_Encrypted) == 0)
            output->setSecret(false);
        output->commit();
    }
    status.line("SUCCESS");
}

} // namespace

namespace {

// Each command once, or for every file of --multi.
void encodeAll(CEngineRun& run, const SEncodeMode& mode) {
    if (!run.cmd().has("--multi"))
        return encode(run, mode);
    gRunMulti(run, gMultiFiles(run, encodeArgs(run)), false, false, [&] { encode(run, mode); });
}

void decodeAll(CEngineRun& run, bool verify) {
    if (!run.cmd().has("--multi"))
        return decode(run, verify);
    gRunMulti(run, gMultiFiles(run, run.args()), true, verify, [&] { decode(run, verify); });
}

} // namespace

void gCmdEncrypt(CEngineRun& run) {
    SEncodeMode mode;
    mode.encrypt = true;
    mode.conventional = run.cmd().has("--conventional");
    mode.sign = run.cmd().has("--sign");
    encodeAll(run, mode);
}

void gCmdConventional(CEngineRun& run) {
    SEncodeMode mode;
    mode.conventional = true;
    mode.sign = run.cmd().has("--sign");
    encodeAll(run, mode);
}

void gCmdSign(CEngineRun& run) {
    SEncodeMode mode;
    mode.sign = true;
    encodeAll(run, mode);
}

void gCmdDecrypt(CEngineRun& run) { decodeAll(run, false); }

void gCmdVerify(CEngineRun& run) { decodeAll(run, true); }

} // namespace orxengine
