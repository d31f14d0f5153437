// throwable: the failure family. Failures are thrown as pointers to heap objects
// (`throw new CZAFFileOpenException(...)`); the catcher owns the object and deletes it, or passes
// it on as the root (cause) of a new throwable.
#ifndef OOZAF_THROWABLE_H
#define OOZAF_THROWABLE_H

#include <oozaf/obj.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <ostream>
#include <string>
#include <utility>

namespace oozaf {

// Reason codes; gGetReasonText gives their fixed texts.
enum eReason : int32_t {
    eReasonHomeDir = 100,
    eReasonZafDirCreate = 101,
    eReasonZafDirStat = 102,
    eReasonZafPathNotDir = 103,
    eReasonTemplateCopy = 104,
    eReasonUserConfRead = 105,
    eReasonNewKeyRings = 106,
    eReasonKeyDBOpen = 107,
    eReasonGroupsFile = 108,
    eReasonRandSeed = 109,
    eReasonParse = 300,
    eReasonNoDelimiter = 301,
    eReasonTooManyDelimiters = 302,
    eReasonNameMissing = 303,
    eReasonValueMissing = 304,
    eReasonQuoteMismatch = 305,
    eReasonQuotePlacement = 306,
    eReasonUnquotedWhitespace = 307,
    eReasonDateParse = 400,
    eReasonAliasFormat = 401,
    eReasonIncludeFormat = 402,
    eReasonDateOrInteger = 403,
    eReasonKeyIDFormat = 405,
    eReasonAliasReserved = 406,
    eReasonAliasCode = 407,
    eReasonNotInPolicy = 408,
    eReasonNotInUserConf = 410,
    eReasonUnknownEnvSetting = 411,
    eReasonNotADirectory = 412,
    eReasonIsADirectory = 413,
    eReasonIterFromKeySet = 500,
    eReasonIterFromKeyDB = 501,
    eReasonKeyGenUnsupported = 600,
    eReasonSignOnlyADK = 601,
    eReasonSignOnlyLegacy = 602,
    eReasonADKNotFound = 603,
    eReasonADKSignOnly = 604,
    eReasonADKType = 605,
    eReasonLegacyADK = 606,
    eReasonKeySize = 607,
    eReasonLegacySubkey = 700,
    eReasonExpiryToday = 701,
    eReasonExpiryBeforeStart = 702,
    eReasonExpiryAfterMaster = 703,
    eReasonSigDepth = 800,
    eReasonOutOfEntropy = 900,
    eReasonNoPhotoID = 1100,
    eReasonAlreadyRevoked = 1200,
    eReasonNotRevocable = 1201,
    eReasonNotDesignatedRevoker = 1202,
    eReasonUserIDExists = 1300,
    eReasonLastUserID = 1400,
    eReasonUserIDNotFound = 1401,
    eReasonUserIDAmbiguous = 1402,
    eReasonNoLogFile = 1500,
    eReasonLogLineFormat = 1501,
    eReasonInternalParser = 1600,
    eReasonSocketCreate = 1700,
    eReasonSocketClose = 1701,
    eReasonSocketAccept = 1702,
    eReasonSocketShutdownInput = 1703,
    eReasonSocketShutdownOutput = 1704,
    eReasonSocketListen = 1705,
    eReasonSocketBind = 1706,
    eReasonSocketLinger = 1707,
    eReasonEventInit = 1800,
    eReasonEventDestroy = 1801,
    eReasonEventWait = 1802,
    eReasonEventSignal = 1803,
    eReasonMutexInit = 1804,
    eReasonMutexDestroy = 1805,
    eReasonMutexLock = 1806,
    eReasonMutexUnlock = 1807,
    eReasonInternal = 1900,
    eReasonPipeCreate = 2000,
    eReasonPipeRead = 2001,
    eReasonPipeWrite = 2002,
    eReasonNone = 4000
};

// Returns the fixed text of a reason. An unknown code gives "Error: Unidentified reason: <code>"
// (also logged as an error); eReasonNone throws CZAFInternalError.
std::string gGetReasonText(eReason reason);

// Base of every throwable: a reason, an owned root (cause) and a class message.
class CZAFThrowable : public CZAFObj {
public:
    CZAFThrowable(const CZAFThrowable* root, eReason reason) : m_root(root), m_reason(reason) {}
    ~CZAFThrowable() override;
    CZAFThrowable(const CZAFThrowable&) = delete;
    CZAFThrowable& operator=(const CZAFThrowable&) = delete;

    virtual std::string getMessage() const = 0;
    eReason getReason() const { return m_reason; }
    // The cause, still owned by this throwable; null when there is none.
    const CZAFThrowable* getRoot() const { return m_root; }
    // The message, a "Reason: " line unless the reason is eReasonNone, the root's detailed
    // message (recursively), and a final line break.
    std::string getDetailedMessage() const;

private:
    const CZAFThrowable* m_root;
    eReason m_reason;
};

std::ostream& operator<<(std::ostream& out, const CZAFThrowable& throwable);

// Owns a caught throwable: `catch (CZAFThrowable* e) { CZAFThrowableGuard guard(e); ... }`.
using CZAFThrowableGuard = std::unique_ptr<CZAFThrowable>;

// A new E made from `arguments` followed by `cause` (a caught throwable, whose ownership passes
// to the new one). Should the new one not come about, the cause is deleted.
template <class E, class... A> E* gWrapCause(CZAFThrowable* cause, A&&... arguments) {
    CZAFThrowableGuard owned(cause);
    E* wrapped = new E(std::forward<A>(arguments)..., owned.get());
    static_cast<void>(owned.release());
    return wrapped;
}

// Throws a caught throwable wrapped as the cause of a new E made from `arguments`:
// `catch (CZAFException* e) { gRethrowAs<CZAFLogException>(e); }`.
template <class E, class... A>
[[noreturn]] void gRethrowAs(CZAFThrowable* cause, A&&... arguments) {
    throw gWrapCause<E>(cause, std::forward<A>(arguments)...);
}

// Defects and internal inconsistencies.
class CZAFError : public CZAFThrowable {
public:
    CZAFError(const CZAFThrowable* root, eReason reason) : CZAFThrowable(root, reason) {}
};

// Run-time failures the caller is expected to handle.
class CZAFException : public CZAFThrowable {
public:
    CZAFException(const CZAFThrowable* root, eReason reason) : CZAFThrowable(root, reason) {}
};

// A failed internal check: source tag (module file name without extension), line and message.
class CZAFInternalError final : public CZAFError {
public:
    CZAFInternalError(const std::string& file, unsigned int line, const std::string& message);
    std::string getMessage() const override;
    const std::string& getFile() const { return m_file; }
    unsigned int getLine() const { return m_line; }

private:
    std::string m_file;
    unsigned int m_line;
    std::string m_message;
};

// Throws a new CZAFInternalError "Assertion Failed" with the given source tag and this line.
#define ZAF_ASSERT_TAG(tag, cond)                                                                  \
    do {                                                                                           \
        if (!(cond))                                                                               \
            throw new ::oozaf::CZAFInternalError((tag), __LINE__, "Assertion Failed");             \
    } while (0)
#define ZAF_FAIL_TAG(tag) throw new ::oozaf::CZAFInternalError((tag), __LINE__, "Assertion Failed")

// A standard library exception caught where throwables are handled.
class CZAFSTLError final : public CZAFError {
public:
    explicit CZAFSTLError(const std::exception& e);
    std::string getMessage() const override;

private:
    std::string m_what;
};

// An operating system failure: "Error message: " + strerror(errno).
class CZAFOSException final : public CZAFException {
public:
    explicit CZAFOSException(int error) : CZAFException(nullptr, eReasonNone), m_errno(error) {}
    std::string getMessage() const override;
    int getErrno() const { return m_errno; }
    static std::string getOSMessage(int error);

private:
    int m_errno;
};

// A toolkit call returned a non-zero code: the toolkit's text for it, first letter upper-cased.
class CZAFSDKException : public CZAFException {
public:
    explicit CZAFSDKException(int32_t code) : CZAFException(nullptr, eReasonNone), m_code(code) {}
    std::string getMessage() const override;
    int32_t getCode() const { return m_code; }

private:
    int32_t m_code;
};

class CZAFContextCreationException final : public CZAFSDKException {
public:
    explicit CZAFContextCreationException(int32_t code) : CZAFSDKException(code) {}
    std::string getMessage() const override;
};

class CZAFFileSpecCreationException final : public CZAFSDKException {
public:
    CZAFFileSpecCreationException(const std::string& path, int32_t code)
        : CZAFSDKException(code), m_path(path) {}
    std::string getMessage() const override;

private:
    std::string m_path;
};

// Reading a toolkit property failed; the root is a CZAFSDKException for the code.
class CZAFPropertyAccessError final : public CZAFError {
public:
    CZAFPropertyAccessError(int32_t property, int32_t code);
    std::string getMessage() const override;
    int32_t getProperty() const { return m_property; }

private:
    int32_t m_property;
};

class CZAFNoSuchObjectTypeError final : public CZAFError {
public:
    explicit CZAFNoSuchObjectTypeError(int32_t type)
        : CZAFError(nullptr, eReasonNone), m_type(type) {}
    std::string getMessage() const override;

private:
    int32_t m_type;
};

// A value that a name table does not hold. Subclasses name the table.
class CZAFTableLookupError : public CZAFError {
public:
    explicit CZAFTableLookupError(const std::string& value)
        : CZAFError(nullptr, eReasonNone), m_value(value) {}
    std::string getMessage() const override;
    virtual std::string getTableName() const = 0;
    const std::string& getValue() const { return m_value; }

private:
    std::string m_value;
};

#define OOZAF_TABLE_ERROR(name, title)                                                             \
    class name final : public CZAFTableLookupError {                                               \
    public:                                                                                        \
        explicit name(long value) : CZAFTableLookupError(std::to_string(value)) {}                 \
        explicit name(const std::string& value) : CZAFTableLookupError(value) {}                   \
        explicit name(const char* value) : CZAFTableLookupError(std::string(value)) {}             \
        std::string getTableName() const override { return title; }                                \
    };

OOZAF_TABLE_ERROR(CZAFNoSuchValidityError, "Key Validity")
OOZAF_TABLE_ERROR(CZAFNoSuchCipherError, "Cipher Algorithm")
OOZAF_TABLE_ERROR(CZAFNoSuchTrustError, "Trust Level")
OOZAF_TABLE_ERROR(CZAFNoSuchAttributeTypeError, "Attribute")
OOZAF_TABLE_ERROR(CZAFNoSuchAlgorithmError, "Public-Key Algorithm")
OOZAF_TABLE_ERROR(CZAFNoSuchRSAVersionError, "RSA Version")
OOZAF_TABLE_ERROR(CZAFNoSuchKeyTypeError, "Key Type")
OOZAF_TABLE_ERROR(CZAFNoSuchSigTypeError, "Signature Type")
OOZAF_TABLE_ERROR(CZAFNoSuchExportFormatError, "Export Format")
OOZAF_TABLE_ERROR(CZAFNoSuchBooleanError, "Boolean")
OOZAF_TABLE_ERROR(CZAFNoSuchCAServerTypeError, "CA Key-Server Type")
OOZAF_TABLE_ERROR(CZAFNoSuchCmdlineVersionError, "Command-Line Version")
OOZAF_TABLE_ERROR(CZAFNoSuchFingerprintViewError, "Fingerprint View")
OOZAF_TABLE_ERROR(CZAFNoSuchKeyOrderingError, "Key Ordering Type")
OOZAF_TABLE_ERROR(CZAFNoSuchHashAlgorithmError, "Hash Algorithm")
OOZAF_TABLE_ERROR(CZAFNoSuchInfoLevelError, "Info Level")
OOZAF_TABLE_ERROR(CZAFNoSuchKeyServerTypeError, "Key-Server Type")
OOZAF_TABLE_ERROR(CZAFNoSuchOpError, "Op")
OOZAF_TABLE_ERROR(CZAFNoSuchCmdlineSwitchError, "Command-Line Switch")
OOZAF_TABLE_ERROR(CZAFNoSuchDirectiveError, "Directive")
OOZAF_TABLE_ERROR(CZAFNoSuchEnvVarError, "Environment Variables")

#undef OOZAF_TABLE_ERROR

// A failing POSIX call on an event or mutex; the root is a CZAFOSException for the code.
class CZAFEventError final : public CZAFError {
public:
    CZAFEventError(const std::string& file, unsigned int line, eReason reason, int error);
    std::string getMessage() const override;

private:
    std::string m_file;
    unsigned int m_line;
};

class CZAFMutexError final : public CZAFError {
public:
    CZAFMutexError(const std::string& file, unsigned int line, eReason reason, int error);
    std::string getMessage() const override;

private:
    std::string m_file;
    unsigned int m_line;
};

class CZAFThreadException : public CZAFException {
public:
    explicit CZAFThreadException(int error);
};

class CZAFThreadStartException final : public CZAFThreadException {
public:
    using CZAFThreadException::CZAFThreadException;
    std::string getMessage() const override;
};

class CZAFThreadJoinException final : public CZAFThreadException {
public:
    using CZAFThreadException::CZAFThreadException;
    std::string getMessage() const override;
};

class CZAFThreadCancelException final : public CZAFThreadException {
public:
    using CZAFThreadException::CZAFThreadException;
    std::string getMessage() const override;
};

class CZAFSocketException : public CZAFException {
public:
    CZAFSocketException(eReason reason, const CZAFThrowable* root) : CZAFException(root, reason) {}
};

class CZAFSocketIOException final : public CZAFSocketException {
public:
    explicit CZAFSocketIOException(int error);
    std::string getMessage() const override;
};

class CZAFSocketControlException final : public CZAFSocketException {
public:
    CZAFSocketControlException(eReason reason, int error);
    std::string getMessage() const override;
};

// A secure channel failure; the message is given by the thrower.
class CZAFSecSocketException final : public CZAFSocketException {
public:
    explicit CZAFSecSocketException(const std::string& message)
        : CZAFSocketException(eReasonNone, nullptr), m_message(message) {}
    std::string getMessage() const override { return m_message; }

private:
    std::string m_message;
};

class CZAFFileException : public CZAFException {
public:
    explicit CZAFFileException(int error);
    explicit CZAFFileException(const CZAFThrowable* root) : CZAFException(root, eReasonNone) {}
};

class CZAFFileOpenException final : public CZAFFileException {
public:
    CZAFFileOpenException(const std::string& path, int mode, int error)
        : CZAFFileException(error), m_path(path), m_mode(mode) {}
    std::string getMessage() const override;

private:
    std::string m_path;
    int m_mode;
};

#define OOZAF_FILE_EXCEPTION(name)                                                                 \
    class name final : public CZAFFileException {                                                  \
    public:                                                                                        \
        name(const std::string& path, int error) : CZAFFileException(error), m_path(path) {}       \
        std::string getMessage() const override;                                                   \
        const std::string& getPath() const { return m_path; }                                      \
                                                                                                   \
    private:                                                                                       \
        std::string m_path;                                                                        \
    };

OOZAF_FILE_EXCEPTION(CZAFFileReadException)
OOZAF_FILE_EXCEPTION(CZAFFileWriteException)
OOZAF_FILE_EXCEPTION(CZAFFileAccessException)
OOZAF_FILE_EXCEPTION(CZAFFileSeekException)
OOZAF_FILE_EXCEPTION(CZAFDirCreateException)

#undef OOZAF_FILE_EXCEPTION

class CZAFFileWipeException final : public CZAFFileException {
public:
    CZAFFileWipeException(const std::string& path, const CZAFThrowable* root)
        : CZAFFileException(root), m_path(path) {}
    std::string getMessage() const override;

private:
    std::string m_path;
};

// A file a user controls that is no file to open: a symbolic link where none is followed, a
// folder, device, FIFO or socket, or a file above the bound for its kind. `explanation` follows
// the file's name ("is a FIFO, not a regular file").
class CZAFFileRefusedException final : public CZAFFileException {
public:
    CZAFFileRefusedException(const std::string& path, const std::string& explanation)
        : CZAFFileException(static_cast<const CZAFThrowable*>(nullptr)), m_path(path),
          m_explanation(explanation) {}
    std::string getMessage() const override;
    const std::string& getPath() const { return m_path; }
    const std::string& getExplanation() const { return m_explanation; }

private:
    std::string m_path;
    std::string m_explanation;
};

class CZAFFileSystemException final : public CZAFFileException {
public:
    explicit CZAFFileSystemException(int error) : CZAFFileException(error) {}
    std::string getMessage() const override;
};

// A text that is not a valid date or date/time; `detail` says what is wrong.
class CZAFTimeParseException final : public CZAFException {
public:
    CZAFTimeParseException(const std::string& detail, const std::string& text)
        : CZAFException(nullptr, eReasonNone), m_detail(detail), m_text(text) {}
    std::string getMessage() const override;
    const std::string& getDetail() const { return m_detail; }

private:
    std::string m_detail;
    std::string m_text;
};

class CZAFCorruptBase64DataException final : public CZAFException {
public:
    CZAFCorruptBase64DataException() : CZAFException(nullptr, eReasonNone) {}
    std::string getMessage() const override { return "Corrupt Base64 data"; }
};

// Command-line faults; the switch held is the lower-cased form.
class CZAFCommandLineException : public CZAFException {
public:
    CZAFCommandLineException() : CZAFException(nullptr, eReasonNone) {}
};

class CZAFInvalidCommandLineSwitchException final : public CZAFCommandLineException {
public:
    explicit CZAFInvalidCommandLineSwitchException(const std::string& sw) : m_switch(sw) {}
    std::string getMessage() const override;

private:
    std::string m_switch;
};

class CZAFIncorrectArgsNumException final : public CZAFCommandLineException {
public:
    CZAFIncorrectArgsNumException(const std::string& sw, uint16_t min, uint16_t max)
        : m_switch(sw), m_min(min), m_max(max) {}
    std::string getMessage() const override;

private:
    std::string m_switch;
    uint16_t m_min;
    uint16_t m_max;
};

class CZAFInvalidArgumentException final : public CZAFCommandLineException {
public:
    CZAFInvalidArgumentException(const std::string& sw, const std::string& argument)
        : m_switch(sw), m_argument(argument) {}
    std::string getMessage() const override;

private:
    std::string m_switch;
    std::string m_argument;
};

class CZAFIndependentArgsException final : public CZAFCommandLineException {
public:
    std::string getMessage() const override { return "Invalid syntax"; }
};

class CZAFDuplicateSwitchException final : public CZAFCommandLineException {
public:
    explicit CZAFDuplicateSwitchException(const std::string& sw) : m_switch(sw) {}
    std::string getMessage() const override;

private:
    std::string m_switch;
};

// Configuration file failures.
class CZAFPropertiesException : public CZAFException {
public:
    CZAFPropertiesException(eReason reason, const CZAFThrowable* root)
        : CZAFException(root, reason) {}
};

class CZAFPropertiesIOException final : public CZAFPropertiesException {
public:
    explicit CZAFPropertiesIOException(const CZAFThrowable* root)
        : CZAFPropertiesException(eReasonNone, root) {}
    std::string getMessage() const override;
};

// A configuration syntax or value fault. The message holds, each only when set, "Line number: "
// + number + "\n", "Error parsing file or directory path: " + path, "Information: " + info + "\n".
class CZAFPropertiesParsingException final : public CZAFPropertiesException {
public:
    explicit CZAFPropertiesParsingException(eReason reason)
        : CZAFPropertiesException(reason, nullptr) {}
    explicit CZAFPropertiesParsingException(const CZAFThrowable* root)
        : CZAFPropertiesException(eReasonParse, root) {}
    CZAFPropertiesParsingException(eReason reason, const CZAFThrowable* root)
        : CZAFPropertiesException(reason, root) {}
    CZAFPropertiesParsingException(eReason reason, const std::string& path)
        : CZAFPropertiesException(reason, nullptr), m_path(path) {}
    std::string getMessage() const override;

    void setInfo(const std::string& info) { m_info = info; }
    void setLineNumber(unsigned int line) { m_lineNumber = line; }
    void setPath(const std::string& path) { m_path = path; }
    const std::string& getInfo() const { return m_info; }
    unsigned int getLineNumber() const { return m_lineNumber; }
    const std::string& getPath() const { return m_path; }

private:
    std::string m_info;
    unsigned int m_lineNumber = 0;
    std::string m_path;
};

class CZAFIteratorException final : public CZAFException {
public:
    CZAFIteratorException(eReason reason, const CZAFThrowable* root)
        : CZAFException(root, reason) {}
    std::string getMessage() const override { return "Iterator creation error"; }
};

class CZAFKeyNotFoundException final : public CZAFException {
public:
    explicit CZAFKeyNotFoundException(const std::string& keyID)
        : CZAFException(nullptr, eReasonNone), m_keyID(keyID) {}
    std::string getMessage() const override { return "Key ID not found: " + m_keyID; }

private:
    std::string m_keyID;
};

class CZAFEntropyShortageException final : public CZAFException {
public:
    CZAFEntropyShortageException(unsigned int needed, unsigned int available)
        : CZAFException(nullptr, eReasonOutOfEntropy), m_needed(needed), m_available(available) {}
    std::string getMessage() const override;
    unsigned int getNeeded() const { return m_needed; }
    unsigned int getAvailable() const { return m_available; }

private:
    unsigned int m_needed;
    unsigned int m_available;
};

class CZAFServerOpenException final : public CZAFException {
public:
    explicit CZAFServerOpenException(eReason reason) : CZAFException(nullptr, reason) {}
    explicit CZAFServerOpenException(const CZAFThrowable* root)
        : CZAFException(root, eReasonNone) {}
    CZAFServerOpenException(eReason reason, const CZAFThrowable* root)
        : CZAFException(root, reason) {}
    std::string getMessage() const override { return "Error opening Vorn Server"; }
};

// The facade's operation failures: built from a root (reason 4000) or a reason (no root).
#define OOZAF_OPERATION_EXCEPTION(name, text)                                                      \
    class name final : public CZAFException {                                                      \
    public:                                                                                        \
        explicit name(const CZAFThrowable* root) : CZAFException(root, eReasonNone) {}             \
        explicit name(eReason reason) : CZAFException(nullptr, reason) {}                          \
        std::string getMessage() const override { return text; }                                   \
    };

OOZAF_OPERATION_EXCEPTION(CZAFKeyRemoveException, "Error removing key")
OOZAF_OPERATION_EXCEPTION(CZAFKeyGenException, "Error generating key")
OOZAF_OPERATION_EXCEPTION(CZAFSubkeyGenException, "Error generating subkey")
OOZAF_OPERATION_EXCEPTION(CZAFKeySignException, "Error signing key")
OOZAF_OPERATION_EXCEPTION(CZAFKeyListException, "Error listing keys")
OOZAF_OPERATION_EXCEPTION(CZAFKeyImportException, "Error importing key(s)")
OOZAF_OPERATION_EXCEPTION(CZAFKeyExportException, "Error exporting key(s)")
OOZAF_OPERATION_EXCEPTION(CZAFPhotoIDExportException, "Error getting photo ID")
OOZAF_OPERATION_EXCEPTION(CZAFKeyEditUserIDAddException, "Error adding User ID")
OOZAF_OPERATION_EXCEPTION(CZAFKeyEditUserIDRemoveException, "Error removing User ID")
OOZAF_OPERATION_EXCEPTION(CZAFKeyRevocationException, "Error revoking key")
OOZAF_OPERATION_EXCEPTION(CZAFLogException, "Error reading transaction log")

#undef OOZAF_OPERATION_EXCEPTION

} // namespace oozaf

#endif
