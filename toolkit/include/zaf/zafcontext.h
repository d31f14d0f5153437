/* Toolkit library set-up, contexts and their environment, file specs. */
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
    kZAFEnv_Comment = 2002,      /* string: armour "Comment:" header */
    kZAFEnv_Language = 2005,
    kZAFEnv_TempDirectory = 2012,
    kZAFEnv_Version = 2018       /* string: armour "Version:" header */
};

ZAF_API ZAFError ZAFsdkInit(uint32_t flags);
ZAF_API ZAFError ZAFsdkCleanup(void);

ZAF_API ZAFError ZAFNewContext(ZAFContextRef* outContext);
ZAF_API ZAFError ZAFFreeContext(ZAFContextRef context);

/* The environment belongs to the context; it is valid until the context is freed. */
ZAF_API ZAFEnvironmentRef zafContextGetEnvironment(ZAFContextRef context);
/* A setting replaces an earlier one only when its priority is at least the earlier one's. */
ZAF_API ZAFError zafenvSetInt(ZAFEnvironmentRef env, int32_t selector, int32_t value,
                              int32_t priority);
ZAF_API ZAFError zafenvSetString(ZAFEnvironmentRef env, int32_t selector, const char* value,
                                 int32_t priority);
ZAF_API ZAFError zafenvGetInt(ZAFEnvironmentRef env, int32_t selector, int32_t* value,
                              int32_t* priority);
/* Size-query protocol: with a null or short buffer, *size receives the needed size (with the NUL)
 * and kZAFError_BufferTooSmall is returned. */
ZAF_API ZAFError zafenvGetString(ZAFEnvironmentRef env, int32_t selector, char* buffer,
                                 size_t* size, int32_t* priority);

ZAF_API ZAFError ZAFSetRandSeedFile(ZAFContextRef context, ZAFFileSpecRef seedFile);
ZAF_API ZAFMemoryMgrRef ZAFPeekContextMemoryMgr(ZAFContextRef context);

/* File specs name a file; the portable form takes a path with "/" separators. */
ZAF_API ZAFError ZAFNewFileSpecFromFullPath(ZAFContextRef context, const char* path,
                                            ZAFFileSpecRef* outSpec);
ZAF_API ZAFError ZAFNewFileSpecFromPortablePath(ZAFContextRef context, const char* path,
                                                ZAFFileSpecRef* outSpec);
ZAF_API ZAFError ZAFGetFullPathFromFileSpec(ZAFFileSpecRef spec, char* buffer, size_t* size);
ZAF_API ZAFError ZAFFreeFileSpec(ZAFFileSpecRef spec);

#ifdef __cplusplus
}
#endif

#endif
