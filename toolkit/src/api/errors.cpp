// errors: the texts of the toolkit's result codes.
#include <zaf/zafbase.h>
#include <zaf/zafkeyserver.h>
#include <zaf/zafmessage.h>

#include <cstdio>
#include <cstring>

namespace {

struct ErrorText {
    ZAFError code;
    const char* text;
};

// Keep one row per code of every public header; tests check that each listed code has a text.
const ErrorText kErrorTexts[] = {
    {kZAFError_NoErr, "no error"},
    {kZAFError_BadPassphrase, "bad passphrase"},
    {kZAFError_ServiceUnavailable, "the toolkit service is not available"},
    {kZAFError_ServiceNotConnected, "cannot connect to the toolkit service"},
    {kZAFError_CorruptData, "corrupt or truncated data"},
    {kZAFError_EndOfIteration, "end of iteration"},
    {kZAFError_ImportNoKeyDB, "the import produced no key database"},
    {kZAFError_BufferTooSmall, "buffer too small"},
    {kZAFError_BadParams, "bad parameters"},
    {kZAFError_OutOfMemory, "out of memory"},
    {kZAFError_InvalidHandle, "invalid handle"},
    {kZAFError_NotImplemented, "not supported"},
    {kZAFError_FileNotFound, "file not found"},
    {kZAFError_FileOpenFailed, "cannot open file"},
    {kZAFError_ReadFailed, "read failed"},
    {kZAFError_WriteFailed, "write failed"},
    {kZAFError_FilePermissions, "permission denied"},
    {kZAFError_FileLocked, "file is locked"},
    {kZAFError_ItemNotFound, "item not found"},
    {kZAFError_ItemAlreadyExists, "item already exists"},
    {kZAFError_BadTime, "time out of range"},
    {kZAFError_Internal, "internal toolkit error"},
    {kZAFError_NotRegularFile, "not a regular file (a folder, device, FIFO or socket)"},
    {kZAFError_SymbolicLink, "the file is a symbolic link, which is not followed"},
    {kZAFError_FileTooLarge, "the file is larger than the toolkit reads for its kind"},
    {kZAFError_NotInitialized, "the toolkit has not been initialised"},
    {kZAFError_NotEnoughEntropy, "not enough random data has been collected"},
    {kZAFError_KeyNotSet, "no key has been set"},
    {kZAFError_UnknownFlag, "unknown command-line flag"},
    {kZAFError_MissingArgument, "command-line flag needs an argument"},
    {kZAFError_UnexpectedValue, "command-line flag takes no value"},
    {kZAFError_BadKeyRing, "not a key ring"},
    {kZAFError_NoSecretKey, "the key has no secret part"},
    {kZAFError_UnsupportedAlg, "unsupported public key algorithm"},
    {kZAFError_BadSignature, "bad signature"},
    {kZAFError_ReadOnlyKeyDB, "the key database is read-only"},
    {kZAFError_NotX509, "the input is not X.509 material"},
    {kZAFError_MissingOption, "a required option is missing"},
    {kZAFError_RepeatedOption, "an option was given more than once"},
    {kZAFError_ConflictingOptions, "the options conflict or do not apply to this call"},
    {kZAFError_BadKeySize, "key size not supported by the algorithm"},
    {kZAFError_NotDesignatedRevoker, "the revoker is not allowed to revoke this key"},
    {kZAFError_KeyRevoked, "the key is revoked"},
    {kZAFError_KeyExpired, "the key has expired"},
    {kZAFError_AlreadyRevoked, "already revoked"},
    {kZAFError_NotRevocable, "the key is not revocable"},
    {kZAFError_NoDecryptionKey, "no secret key or passphrase available opens the message"},
    {kZAFError_DecryptionFailed, "the message could not be decrypted with the key"},
    {kZAFError_IntegrityFailure, "integrity check failed: the message was changed"},
    {kZAFError_MissingMDC, "the message has no integrity check"},
    {kZAFError_Truncated, "the message is truncated"},
    {kZAFError_NestingTooDeep, "the message is nested too deeply"},
    {kZAFError_RatioExceeded, "decompressed data exceeds the allowed expansion"},
    {kZAFError_UnknownPacket, "the message holds a packet that is not understood"},
    {kZAFError_NotAMessage, "the input is not a message"},
    {kZAFError_NoSignedData, "a detached signature needs the signed data"},
    {kZAFError_ADKUnavailable, "a required additional decryption key is not available"},
    {kZAFError_KeyCannotEncrypt, "the key cannot be used for encryption"},
    {kZAFError_AmbiguousUserID, "the user ID matches more than one key"},
    {kZAFError_TooLarge, "a length in the message is beyond the supported bounds"},
    {kZAFError_KeyServerAddress, "the key server address is not an hkp://, hkps://, http:// or "
                                 "https:// URL"},
    {kZAFError_KeyServerType, "LDAP key servers are not supported; use an HKP key server "
                              "(hkp:// or hkps://)"},
    {kZAFError_KeyServerConnect, "cannot reach the key server"},
    {kZAFError_KeyServerTimeout, "the key server did not answer within the time limit"},
    {kZAFError_KeyServerTooLarge, "the key server's answer is larger than allowed"},
    {kZAFError_KeyServerTooManyKeys, "the key server's answer holds more keys than allowed"},
    {kZAFError_KeyServerRedirect, "the key server redirected elsewhere; redirects to another host "
                                  "are not followed"},
    {kZAFError_KeyServerCertificate, "the key server's TLS certificate could not be verified"},
    {kZAFError_KeyServerProtocol, "the key server's answer is not valid HTTP"},
    {kZAFError_KeyServerRefused, "the key server refused the request"},
    {kZAFError_KeyCannotSign, "the key has no usable key that may sign data"},
    {kZAFError_HashTooShort, "the hash is too short for the signing key"},
    {kZAFError_UnsupportedCipher, "unsupported symmetric cipher"},
};

} // namespace

extern "C" ZAFError ZAFGetErrorString(ZAFError code, size_t size, char* buffer) {
    if (buffer == nullptr || size == 0)
        return kZAFError_BadParams;
    for (const ErrorText& row : kErrorTexts) {
        if (row.code == code) {
            std::snprintf(buffer, size, "%s", row.text);
            return kZAFError_NoErr;
        }
    }
    std::snprintf(buffer, size, "Unknown error (%d)", static_cast<int>(code));
    return kZAFError_NoErr;
}
