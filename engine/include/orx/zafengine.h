/* zafengine: the command engine libORXEngine. It reads a command line through the product's
 * operation table and layered configuration, runs the command on the user's key rings through the
 * server facade, and leaves the command's result in its API context.
 *
 * Two levels of context:
 *  - ZAFvornContext: one per program or per Java session (ZAFvornInit_args or ZAFvornInit). It
 *    holds the toolkit start-up, done lazily by the first command that needs keys.
 *  - ZAFapiContext: one per running command stream (zafVornInit), with the streams the command
 *    reads and writes, a cancel flag and the result.
 * Contexts are independent: two threads with two engine contexts (or two API contexts of one
 * engine context) may run commands at the same time. One API context is used by one thread at a
 * time.
 *
 * Results are the exit codes of orxcmd (docs/orxcmd.md): 0 success, then the kZAFvorn... codes
 * below. Messages go to the API context's error stream as one line each, starting with the
 * program name. */
#ifndef ORX_ZAFENGINE_H
#define ORX_ZAFENGINE_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define ZAFENGINE_API __attribute__((visibility("default")))
#else
#define ZAFENGINE_API
#endif

/* Results of a command (the exit codes of orxcmd). */
enum {
    kZAFvorn_OK = 0,
    kZAFvorn_Failed = 1,        /* the operation failed (the message says why) */
    kZAFvorn_Usage = 2,         /* the command line cannot be read or is contradictory */
    kZAFvorn_NoKey = 3,         /* no key, group or object matches what was named */
    kZAFvorn_Ambiguous = 4,     /* several keys match where one is needed */
    kZAFvorn_BadPassphrase = 5, /* wrong or missing passphrase */
    kZAFvorn_Interrupted = 6,   /* stopped by a signal or by the cancel flag */
    kZAFvorn_IO = 7,            /* an input cannot be read or an output cannot be written */
    kZAFvorn_BadData = 8,       /* the input is not what the command needs (corrupt, no keys) */
    kZAFvorn_Unsupported = 9,   /* the switch needs a part this product does not have */
    kZAFvorn_KeyRings = 10,     /* the configuration or the key rings cannot be opened */
    kZAFvorn_BadSignature = 11, /* a signature does not verify */
    kZAFvorn_NoMemory = 12,     /* ZAFvorn: out of memory */
    kZAFvorn_BadContext = 13    /* a null or unknown context was passed */
};

typedef struct ZAFvornContext ZAFvornContext;
typedef struct ZAFapiPrivate ZAFapiPrivate;

/* The API context. `flag` is the cancel flag: a non-zero value asks the running command to stop
 * at its next check point with kZAFvorn_Interrupted (another thread may set it). `result` holds
 * the last command's result. `priv` belongs to the engine. */
typedef struct ZAFapiContext {
    volatile uint8_t flag;
    int32_t result;
    ZAFapiPrivate* priv;
} ZAFapiContext;

/* Creates an engine context for a program with its command line (argv[0] names the program in
 * messages). 0 and `*context` set on success; kZAFvorn_NoMemory or kZAFvorn_BadContext (null
 * `context`) otherwise. Starts nothing else: --version and --help never touch the toolkit. */
ZAFENGINE_API int32_t ZAFvornInit_args(ZAFvornContext** context, int argc, char** argv);
/* The same for callers without a command line (the Java bridge): programs are named "orxcmd". */
ZAFENGINE_API int32_t ZAFvornInit(ZAFvornContext** context);
/* Releases an engine context made by either call; null is ignored. */
ZAFENGINE_API void ZAFvornCleanUp(ZAFvornContext* context);

/* Runs one command given as text (split into words at blanks; double and single quotes group
 * words, a backslash outside single quotes takes the next character literally), without the
 * program name. `input` (may be null with length 0) is the command's standard input, and file
 * descriptor 0 of --passphrase-fd reads from it. The command's standard output and error are
 * returned in new buffers (null with length 0 when empty) that the caller releases with
 * ZAFvornFree. Returns the command's result. Never prompts. */
ZAFENGINE_API int32_t ZAFvorn(ZAFvornContext* context, const char* command,
                              const unsigned char* input, size_t inputLength,
                              unsigned char** output, size_t* outputLength, unsigned char** error,
                              size_t* errorLength);
/* Releases a buffer returned by ZAFvorn; null is ignored. */
ZAFENGINE_API void ZAFvornFree(ZAFvornContext* context, void* buffer);
/* The text of a result code in `buffer` (always NUL-terminated when size > 0; cut when it does
 * not fit). Returns 0, or kZAFvorn_BadContext for a null buffer or size 0. */
ZAFENGINE_API int32_t ZAFvornErrorString(ZAFvornContext* context, int32_t code, char* buffer,
                                         size_t size);

/* A new API context on `context`. With `capture` false the command uses the process's standard
 * input, output and error (and may prompt on the terminal); with true it reads an empty input and
 * collects its output in memory (see ZAFvorn). Null when `context` is null or memory runs out. */
ZAFENGINE_API ZAFapiContext* zafVornInit(ZAFvornContext* context, bool capture);

/* Runs the command line (argv[0] is the program name) and leaves the result in api->result.
 * A null `api` or `argv` does nothing. */
ZAFENGINE_API void zafEngine(int argc, const char* const* argv, ZAFapiContext* api);

/* 1 when this build's engine refuses the long switch `longSwitch` ("--smtp"; case ignored) as a
 * part of the product it leaves out, 0 when a command reads it or it is no switch at all. For
 * consoles that list the switches: they can leave these out. */
ZAFENGINE_API int32_t ZAFvornSwitchRefused(const char* longSwitch);

#ifdef __cplusplus
}

/* Releases the API context and sets the pointer to null; a null pointer is ignored. Called while
 * a command of this context runs (from a signal handler of the program), it only removes the
 * command's unfinished output files and resets nothing else: the program is about to end. */
ZAFENGINE_API void zafVornCleanUp(ZAFapiContext*& api);
#endif

#endif
