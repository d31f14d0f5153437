/* Base types of the toolkit's C interface: result codes, the time type and common handles.
 * Every function returns a ZAFError (0 on success); on failure its out-parameters are untouched. */
#ifndef ZAF_ZAFBASE_H
#define ZAF_ZAFBASE_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZAF_API __attribute__((visibility("default")))
#else
#define ZAF_API
#endif

typedef int32_t ZAFError;
typedef int ZAFBoolean;

/* Seconds since 1970-01-01 00:00:00 UTC; 0 means "never". */
typedef uint32_t ZAFTime;

/* Fixed result codes. Every code has a text from ZAFGetErrorString. */
enum {
    kZAFError_NoErr = 0,
    kZAFError_BadPassphrase = -11500,
    kZAFError_ServiceUnavailable = -11939,
    kZAFError_ServiceNotConnected = -11977,
    kZAFError_CorruptData = -11976,
    kZAFError_EndOfIteration = -11978,
    kZAFError_ImportNoKeyDB = -11980,
    kZAFError_BufferTooSmall = -11998,

    /* General codes of our own. */
    kZAFError_BadParams = -12000,
    kZAFError_OutOfMemory = -12001,
    kZAFError_InvalidHandle = -12002,
    kZAFError_NotImplemented = -12003,
    kZAFError_FileNotFound = -12004,
    kZAFError_FileOpenFailed = -12005,
    kZAFError_ReadFailed = -12006,
    kZAFError_WriteFailed = -12007,
    kZAFError_FilePermissions = -12008,
    kZAFError_FileLocked = -12009,
    kZAFError_ItemNotFound = -12010,
    kZAFError_ItemAlreadyExists = -12011,
    kZAFError_BadTime = -12012,
    kZAFError_Internal = -12013,
    kZAFError_NotRegularFile = -12014, /* a folder, device, FIFO or socket where a file belongs */
    kZAFError_SymbolicLink = -12015,   /* a symbolic link where none is followed */
    kZAFError_FileTooLarge = -12016,   /* a file above the bound for its kind */

    /* Library set-up, random pool, primitives and command line (-121xx). */
    kZAFError_NotInitialized = -12100,   /* ZAFsdkInit has not been called */
    kZAFError_NotEnoughEntropy = -12101, /* fewer credited random bytes than a request needs */
    kZAFError_KeyNotSet = -12102,        /* a cipher used before its key was set */
    kZAFError_UnknownFlag = -12103,      /* a command-line flag missing from the flag table */
    kZAFError_MissingArgument = -12104,  /* a flag's value was asked for but none follows */
    kZAFError_UnexpectedValue = -12105,  /* "--flag=value" given where no value was taken */

    /* Key store codes. */
    kZAFError_BadKeyRing = -12200,  /* a key ring file is not a sequence of transferable keys */
    kZAFError_NoSecretKey = -12201, /* the key has no secret part */
    kZAFError_UnsupportedAlg = -12202,
    kZAFError_BadSignature = -12203, /* a signature does not verify */
    kZAFError_ReadOnlyKeyDB = -12204,
    kZAFError_NotX509 = -12205, /* input is not X.509 material */

    /* Key generation and editing codes. */
    kZAFError_MissingOption = -12300,        /* a call lacks an option it needs */
    kZAFError_RepeatedOption = -12301,       /* an option was given twice */
    kZAFError_ConflictingOptions = -12302,   /* an option contradicts another or does not apply */
    kZAFError_BadKeySize = -12303,           /* a size the key algorithm does not support */
    kZAFError_NotDesignatedRevoker = -12304, /* the revoker may not revoke this object */
    kZAFError_KeyRevoked = -12305,           /* the key is revoked and cannot sign */
    kZAFError_KeyExpired = -12306,           /* the key has expired and cannot sign */
    kZAFError_AlreadyRevoked = -12307,
    kZAFError_NotRevocable = -12308 /* the key's self-signature declares it not revocable */
};

/* Returns the text for a code in `buffer` (always NUL-terminated when size > 0; a text that does
 * not fit is cut). Unknown codes give "Unknown error (<code>)". Returns 0, or kZAFError_BadParams
 * for a null buffer or a zero size. */
ZAF_API ZAFError ZAFGetErrorString(ZAFError code, size_t size, char* buffer);

#ifdef __cplusplus
}
#endif

#endif
