/* Toolkit library set-up, contexts and their environment, file specs.
 *
 * A context and everything made from it is used by one thread at a time; the library state
 * (initialisation count, service connection, random pool) is locked inside the toolkit. Handles
 * are checked: a null, foreign or freed handle gives kZAFError_InvalidHandle (or
 * kZAFError_BadParams for a null out-pointer) rather than a crash, as far as it can be detected. */
#ifndef ZAF_ZAFCONTEXT_H
#define ZAF_ZAFCONTEXT_H

#include <zaf/zafbase.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZAFContext* ZAFContextRef;
typedef struct ZAFEnvironment* ZAFEnvironmentRef;
typedef struct ZAFFileSpec* ZAFFileSpecRef;
typedef struct ZAFMemoryMgr* ZAFMemoryMgrRef;

#define kZAFInvalidRef NULL

/* Flags of ZAFsdkInit. */
enum { kZAFFlags_LocalMode = 2 };

/* Environment selectors (integers 1xxx, strings 2xxx). */
enum {
    kZAFEnv_CertDepth = 1002,       /* int: certification depth for trust, 0..8 (default 4) */
    kZAFEnv_Cipher = 1003,          /* int: preferred cipher */
    kZAFEnv_CompletesNeeded = 1005, /* int: complete introducers needed, 1..4 (default 1) */
    kZAFEnv_Hash = 1010,            /* int: preferred hash */
    kZAFEnv_MarginalsNeeded = 1011, /* int: marginal introducers needed (default 2) */
    kZAFEnv_Int1015 = 1015,
    kZAFEnv_Int1017 = 1017,
    kZAFEnv_Mime = 1022,
    kZAFEnv_MimeParse = 1037,
    kZAFEnv_Charset = 2001,
    kZAFEnv_Comment = 2002, /* string: armour "Comment:" header */
    kZAFEnv_Language = 2005,
    kZAFEnv_TempDirectory = 2012,
    kZAFEnv_Version = 2018 /* string: armour "Version:" header */
};

/* Selector ranges: 1000..1999 hold integers, 2000..2999 strings; others are refused. */
enum {
    kZAFEnv_FirstInt = 1000,
    kZAFEnv_LastInt = 1999,
    kZAFEnv_FirstString = 2000,
    kZAFEnv_LastString = 2999,
    kZAFEnv_MaxStringLength = 65536 /* longer strings are refused with kZAFError_BadParams */
};

/* Default path of the background service's socket; the environment variable ORXSDKD_SOCKET
 * overrides it. */
#define kZAFServiceSocketPath "/var/run/orxsdkd.sock"

/* Starts the library. Without kZAFFlags_LocalMode it connects to the background service over its
 * Unix socket (waiting at most two seconds) and returns kZAFError_ServiceNotConnected when the
 * service cannot be reached; callers then retry in local mode. Calls nest: each successful call
 * needs one ZAFsdkCleanup. Flags other than kZAFFlags_LocalMode give kZAFError_BadParams. The
 * first successful call (count 0 to 1) also decides whether the operating system's random source
 * is used (see zafrandom.h). */
ZAF_API ZAFError ZAFsdkInit(uint32_t flags);
/* Undoes one ZAFsdkInit; the last one closes the service connection. Without a matching
 * ZAFsdkInit it returns kZAFError_NotInitialized. */
ZAF_API ZAFError ZAFsdkCleanup(void);
/* Reports the flags in effect: kZAFFlags_LocalMode when no service connection is held.
 * kZAFError_NotInitialized when the library is not started. */
ZAF_API ZAFError ZAFsdkGetInitFlags(uint32_t* outFlags);

/* A context owns its environment, its memory manager and the optional seed file name. */
ZAF_API ZAFError ZAFNewContext(ZAFContextRef* outContext);
/* Frees the context. When a seed file was set, it is first rewritten from the pool; if that fails
 * the context is freed all the same and kZAFError_WriteFailed is returned. */
ZAF_API ZAFError ZAFFreeContext(ZAFContextRef context);

/* The environment belongs to the context; it is valid until the context is freed. Returns NULL
 * for an invalid context. */
ZAF_API ZAFEnvironmentRef zafContextGetEnvironment(ZAFContextRef context);
/* A setting replaces an earlier one only when its priority is at least the earlier one's; a
 * setting of lower priority is ignored and still returns 0. An integer selector given to
 * zafenvSetString (or the reverse) gives kZAFError_BadParams. */
ZAF_API ZAFError zafenvSetInt(ZAFEnvironmentRef env, int32_t selector, int32_t value,
                              int32_t priority);
ZAF_API ZAFError zafenvSetString(ZAFEnvironmentRef env, int32_t selector, const char* value,
                                 int32_t priority);
/* kZAFError_ItemNotFound for a selector never set. `priority` may be NULL. */
ZAF_API ZAFError zafenvGetInt(ZAFEnvironmentRef env, int32_t selector, int32_t* value,
                              int32_t* priority);
/* Size-query protocol: with a null or short buffer, *size receives the needed size (with the NUL)
 * and kZAFError_BufferTooSmall is returned. */
ZAF_API ZAFError zafenvGetString(ZAFEnvironmentRef env, int32_t selector, char* buffer,
                                 size_t* size, int32_t* priority);

/* Names the context's random seed file. An existing file (it must be a regular file) is read, at
 * most 1024 bytes of it, and mixed into the random pool; then the file is rewritten at once with
 * 1024 fresh bytes from the pool, mode 0600, so that the same seed never serves two runs. A
 * missing file is created that way. It is rewritten again when the context is freed. The seed
 * is mixed but never credited as entropy: a copied seed file must not count as fresh randomness.
 * Errors: kZAFError_FileOpenFailed (unreadable, not a regular file), kZAFError_WriteFailed. */
ZAF_API ZAFError ZAFSetRandSeedFile(ZAFContextRef context, ZAFFileSpecRef seedFile);
/* Length of a seed file written by the toolkit. */
enum { kZAFRandSeedFileSize = 1024 };

/* The context's memory manager, handed to the calls that take one (the command-line iterator);
 * it lives as long as the context. NULL for an invalid context. */
ZAF_API ZAFMemoryMgrRef ZAFPeekContextMemoryMgr(ZAFContextRef context);

/* File specs name a file. The full-path form keeps the path as given; the portable form takes a
 * path with "/" separators and removes empty and "." components (a leading "/" is kept). Paths
 * are 1 to 4096 bytes long; anything else gives kZAFError_BadParams. */
ZAF_API ZAFError ZAFNewFileSpecFromFullPath(ZAFContextRef context, const char* path,
                                            ZAFFileSpecRef* outSpec);
ZAF_API ZAFError ZAFNewFileSpecFromPortablePath(ZAFContextRef context, const char* path,
                                                ZAFFileSpecRef* outSpec);
/* Size-query protocol as zafenvGetString. */
ZAF_API ZAFError ZAFGetFullPathFromFileSpec(ZAFFileSpecRef spec, char* buffer, size_t* size);
ZAF_API ZAFError ZAFFreeFileSpec(ZAFFileSpecRef spec);

#ifdef __cplusplus
}
#endif

#endif
