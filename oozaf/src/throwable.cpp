// throwable: reason texts, detailed messages and the messages of the exception family.
#include <oozaf/logger.h>
#include <oozaf/throwable.h>
#include <zaf/zafbase.h>

#include <cctype>
#include <cstring>

namespace oozaf {

namespace {

struct SReasonText {
    eReason reason;
    const char* text;
};

const SReasonText gReasons[] = {
    {eReasonHomeDir, "Failed to obtain the user's home directory name"},
    {eReasonZafDirCreate, "Failed to create a zaf directory"},
    {eReasonZafDirStat,
     "Unable to determine whether the specified ZAF directory is indeed a directory"},
    {eReasonZafPathNotDir, "The specified ZAF path is not a directory"},
    {eReasonTemplateCopy, "An error occured while trying to copy the template configuration file"},
    {eReasonUserConfRead, "Could not read user's configuration file"},
    {eReasonNewKeyRings, "Failed to create new key rings"},
    {eReasonKeyDBOpen, "Error opening key database"},
    {eReasonGroupsFile, "Failed to access groups file"},
    {eReasonRandSeed, "Failed to open random seed file"},
    {eReasonParse, "A parsing error has occured"},
    {eReasonNoDelimiter, "No delimiter ('=') found in line"},
    {eReasonTooManyDelimiters, "Too many delimiters ('=') found in line"},
    {eReasonNameMissing, "Name in name/value pair is missing"},
    {eReasonValueMissing, "Value in name/value pair is missing"},
    {eReasonQuoteMismatch, "Quote mismatch in line"},
    {eReasonQuotePlacement, "Invalid quote placement, must surround value"},
    {eReasonUnquotedWhitespace, "An unquoted whitespace was encountered"},
    {eReasonDateParse, "Error parsing date"},
    {eReasonAliasFormat, "Invalid ALIAS line format"},
    {eReasonIncludeFormat, "Invalid INCLUDE line format"},
    {eReasonDateOrInteger, "Value should be in date format (YYYY-MM-DD) or an integer"},
    {eReasonKeyIDFormat, "Invalid Key ID format"},
    {eReasonAliasReserved, "Specified alias source is a reserved keyword"},
    {eReasonAliasCode, "An alias' code must start with a '-'"},
    {eReasonNotInPolicy, "Directive may not be specified in the policy configuration file"},
    {eReasonNotInUserConf, "Directive may not be specified in the user configuration file"},
    {eReasonUnknownEnvSetting, "Unknown environment setting"},
    {eReasonNotADirectory, "Specified path is not a directory"},
    {eReasonIsADirectory, "Specified path is a directory"},
    {eReasonIterFromKeySet, "Error creating new iterator from key set"},
    {eReasonIterFromKeyDB, "Error creating new iterator from key database"},
    {eReasonKeyGenUnsupported, "Key generation is not supported"},
    {eReasonSignOnlyADK, "SignOnly and ADK-Key are mutually exclusive"},
    {eReasonSignOnlyLegacy, "SignOnly is not allowed with an RSA-Legacy key"},
    {eReasonADKNotFound, "ADK key not found, or is disabled, or is expired"},
    {eReasonADKSignOnly, "Specified ADK key is a sign-only key"},
    {eReasonADKType, "ADK key must be a Diffie-Hellman or RSAv4 key"},
    {eReasonLegacyADK, "RSA-Legacy keys do not support ADKs"},
    {eReasonKeySize, "Key size not in allowed range"},
    {eReasonLegacySubkey, "RSA-Legacy keys do not require subkeys"},
    {eReasonExpiryToday, "Expiry date must be later than today"},
    {eReasonExpiryBeforeStart, "Expiry date must be greater than start date"},
    {eReasonExpiryAfterMaster, "Expiry date must not be later than master key's expiry date"},
    {eReasonSigDepth, "Invalid depth for this signature type"},
    {eReasonOutOfEntropy, "Out of entropy"},
    {eReasonNoPhotoID, "Key does not have a photo ID"},
    {eReasonAlreadyRevoked, "Key is already revoked"},
    {eReasonNotRevocable, "Key is not revocable"},
    {eReasonNotDesignatedRevoker, "Specified revoker is not a designated revoker for this key"},
    {eReasonUserIDExists, "Specified User ID already exists"},
    {eReasonLastUserID, "Cannot remove last User ID on key"},
    {eReasonUserIDNotFound, "Specified User ID was not found"},
    {eReasonUserIDAmbiguous, "Multiple User ID's found for pattern"},
    {eReasonNoLogFile, "No log file was defined"},
    {eReasonLogLineFormat, "Invalid log line format"},
    {eReasonInternalParser, "Internal parser error"},
    {eReasonSocketCreate, "Error while creating a socket"},
    {eReasonSocketClose, "Error while closing socket"},
    {eReasonSocketAccept, "Error while accepting a new connection"},
    {eReasonSocketShutdownInput, "Error while shutting down input on socket"},
    {eReasonSocketShutdownOutput, "Error while shutting down output on socket"},
    {eReasonSocketListen, "Error switching socket to listening mode"},
    {eReasonSocketBind, "Error binding socket"},
    {eReasonSocketLinger, "Error setting linger time on socket"},
    {eReasonEventInit, "Error initializing event object"},
    {eReasonEventDestroy, "Error destroying event object"},
    {eReasonEventWait, "Error waiting on event object"},
    {eReasonEventSignal, "Error signaling event object"},
    {eReasonMutexInit, "Error initializing mutex object"},
    {eReasonMutexDestroy, "Error destroying mutex object"},
    {eReasonMutexLock, "Error locking mutex object"},
    {eReasonMutexUnlock, "Error unlocking mutex object"},
    {eReasonInternal, "Internal error"},
    {eReasonPipeCreate, "Error creating a pipe"},
    {eReasonPipeRead, "Error reading from a pipe"},
    {eReasonPipeWrite, "Error writing to a pipe"},
};

} // namespace

std::string gGetReasonText(eReason reason) {
    ZAF_ASSERT_TAG("throwable", reason != eReasonNone);
    for (const SReasonText& row : gReasons)
        if (row.reason == reason)
            return row.text;
    std::string text = "Error: Unidentified reason: " + std::to_string(static_cast<int>(reason));
    ZAF_LOG_ERROR(text);
    return text;
}

CZAFThrowable::~CZAFThrowable() { delete m_root; }

std::string CZAFThrowable::getDetailedMessage() const {
    std::string text = getMessage();
    if (m_reason != eReasonNone)
        text += "\nReason: " + gGetReasonText(m_reason);
    if (m_root != nullptr)
        text += "\n" + m_root->getDetailedMessage();
    text += "\n";
    return text;
}

std::ostream& operator<<(std::ostream& out, const CZAFThrowable& throwable) {
    out << throwable.getDetailedMessage() << std::endl;
    return out;
}

CZAFInternalError::CZAFInternalError(const std::string& file, unsigned int line,
                                     const std::string& message)
    : CZAFError(nullptr, eReasonInternal), m_file(file), m_line(line), m_message(message) {}

std::string CZAFInternalError::getMessage() const {
    return "file    : " + m_file + "\nline    : " + std::to_string(m_line) +
           "\nmessage : " + m_message + "\n";
}

CZAFSTLError::CZAFSTLError(const std::exception& e)
    : CZAFError(nullptr, eReasonNone), m_what(e.what()) {}

std::string CZAFSTLError::getMessage() const {
    return "An STL error has occured:\n" + m_what + "\n";
}

std::string CZAFOSException::getOSMessage(int error) {
    char buffer[256];
    // The GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = strerror_r(error, buffer, sizeof(buffer));
    return text;
}

std::string CZAFOSException::getMessage() const {
    return "Error message: " + getOSMessage(m_errno);
}

std::string CZAFSDKException::getMessage() const {
    char buffer[256] = {0};
    ZAFGetErrorString(m_code, sizeof(buffer), buffer);
    std::string text(buffer);
    if (!text.empty() && std::islower(static_cast<unsigned char>(text[0])))
        text[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
    return text;
}

std::string CZAFContextCreationException::getMessage() const {
    return "An error occured while trying to create a context object\n" +
           CZAFSDKException::getMessage();
}

std::string CZAFFileSpecCreationException::getMessage() const {
    return "An error occured while trying to access " + m_path + "\n" +
           CZAFSDKException::getMessage();
}

CZAFPropertyAccessError::CZAFPropertyAccessError(int32_t property, int32_t code)
    : CZAFError(new CZAFSDKException(code), eReasonNone), m_property(property) {}

std::string CZAFPropertyAccessError::getMessage() const {
    return "Error accessing property " + std::to_string(m_property);
}

std::string CZAFNoSuchObjectTypeError::getMessage() const {
    return "Unrecognized database object type encountered: " + std::to_string(m_type);
}

std::string CZAFTableLookupError::getMessage() const {
    return "Table look-up failure: Value '" + m_value + "' does not exist in table '" +
           getTableName() + "'";
}

CZAFEventError::CZAFEventError(const std::string& file, unsigned int line, eReason reason,
                               int error)
    : CZAFError(new CZAFOSException(error), reason), m_file(file), m_line(line) {}

std::string CZAFEventError::getMessage() const {
    return "Event declaration file: " + m_file +
           "\nEvent declaration line: " + std::to_string(m_line);
}

CZAFMutexError::CZAFMutexError(const std::string& file, unsigned int line, eReason reason,
                               int error)
    : CZAFError(new CZAFOSException(error), reason), m_file(file), m_line(line) {}

std::string CZAFMutexError::getMessage() const {
    return "Mutex declaration file: " + m_file +
           "\nMutex declaration line: " + std::to_string(m_line);
}

CZAFThreadException::CZAFThreadException(int error)
    : CZAFException(new CZAFOSException(error), eReasonNone) {}

std::string CZAFThreadStartException::getMessage() const {
    return "An error occured while trying to start a thread";
}

std::string CZAFThreadJoinException::getMessage() const {
    return "An error occured while trying to join a thread";
}

std::string CZAFThreadCancelException::getMessage() const {
    return "An error occured while trying to cancel a thread";
}

CZAFSocketIOException::CZAFSocketIOException(int error)
    : CZAFSocketException(eReasonNone, new CZAFOSException(error)) {}

std::string CZAFSocketIOException::getMessage() const { return "An I/O error occured on socket"; }

CZAFSocketControlException::CZAFSocketControlException(eReason reason, int error)
    : CZAFSocketException(reason, new CZAFOSException(error)) {}

std::string CZAFSocketControlException::getMessage() const {
    return "An error occured while trying to control socket";
}

CZAFFileException::CZAFFileException(int error)
    : CZAFException(new CZAFOSException(error), eReasonNone) {}

std::string CZAFFileOpenException::getMessage() const {
    return "Error opening file " + m_path + " (mode = " + std::to_string(m_mode) + ")";
}

std::string CZAFFileReadException::getMessage() const {
    return "Error reading from file " + m_path;
}

std::string CZAFFileWriteException::getMessage() const {
    return "Error writing to file " + m_path + "\n";
}

std::string CZAFFileAccessException::getMessage() const {
    return "Error accessing file or directory: " + m_path;
}

std::string CZAFFileSeekException::getMessage() const { return "Error seeking in file " + m_path; }

std::string CZAFDirCreateException::getMessage() const {
    return "Error creating directory " + m_path;
}

std::string CZAFFileWipeException::getMessage() const {
    return "Error while wiping file " + m_path;
}

std::string CZAFFileRefusedException::getMessage() const {
    return "Refused to open file " + m_path + ": it " + m_explanation;
}

std::string CZAFFileSystemException::getMessage() const {
    return "A file system error has occured";
}

std::string CZAFTimeParseException::getMessage() const {
    return "An error occured while trying to parse the string '" + m_text +
           "' as a date/time string: " + m_detail;
}

std::string CZAFInvalidCommandLineSwitchException::getMessage() const {
    return "Invalid command line switch '" + m_switch + "'";
}

std::string CZAFIncorrectArgsNumException::getMessage() const {
    std::string text = "Incorrect number of arguments for switch '" + m_switch + "'";
    if (m_min != 0)
        text += "\nMinimum arguments allowed: " + std::to_string(m_min);
    if (m_max != 0)
        text += "\nMaximum arguments allowed: " + std::to_string(m_max);
    return text;
}

std::string CZAFInvalidArgumentException::getMessage() const {
    return "Invalid argument '" + m_argument + "' for switch '" + m_switch + "'";
}

std::string CZAFDuplicateSwitchException::getMessage() const {
    return "The switch '" + m_switch + "' appears more than once.";
}

std::string CZAFPropertiesIOException::getMessage() const {
    return "An I/O error occurred while trying to read/write the configuration file";
}

std::string CZAFPropertiesParsingException::getMessage() const {
    std::string text;
    if (m_lineNumber != 0)
        text += "Line number: " + std::to_string(m_lineNumber) + "\n";
    if (!m_path.empty())
        text += "Error parsing file or directory path: " + m_path;
    if (!m_info.empty())
        text += "Information: " + m_info + "\n";
    return text;
}

std::string CZAFEntropyShortageException::getMessage() const {
    return "Out of entropy. Needed - " + std::to_string(m_needed) + ", available - " +
           std::to_string(m_available);
}

} // namespace oozaf
