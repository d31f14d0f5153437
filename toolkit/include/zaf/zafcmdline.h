/* The command-line iterator: walks argc/argv against a table of known flags.
 *
 * Flags are written "--name" (or "-n" for a one-letter name) and may carry a value as
 * "--name=value". "--" ends the flags: everything after it is a plain argument, as is "-" alone.
 * The iterator copies argv and the table, so both may be released once the context is made. */
#ifndef ZAF_ZAFCMDLINE_H
#define ZAF_ZAFCMDLINE_H

#include <zaf/zafcontext.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZAFCommandLineContext* ZAFCommandLineContextRef;

/* One known flag: its name without dashes (letters, digits, '-' and '_', not starting with '-',
 * at most 64 bytes) and its id (greater than 0; ids may repeat, names may not). */
typedef struct ZAFCommandLineFlag {
    const char* name;
    int32_t id;
} ZAFCommandLineFlag;

/* The id ZAFCommandLineNextFlag reports for a plain argument. */
enum { kZAFCommandLine_Argument = 0 };

enum {
    kZAFCommandLineMaxItems = 65536, /* argc above this is refused with kZAFError_BadParams */
    kZAFCommandLineMaxFlags = 1024
};

/* Makes an iterator over argv[1] .. argv[argc - 1] (argv[0], the program, is skipped). The memory
 * manager comes from ZAFPeekContextMemoryMgr. Errors: kZAFError_InvalidHandle for a bad memory
 * manager; kZAFError_BadParams for a null argv entry, a bad table or too many items. */
ZAF_API ZAFError ZAFNewCommandLineContext(ZAFMemoryMgrRef memoryMgr, int argc,
                                          const char* const* argv, const ZAFCommandLineFlag* flags,
                                          size_t flagCount, ZAFCommandLineContextRef* outContext);

/* Steps to the next item:
 *   0 with *outId = the flag's id and *outArgument = NULL for a known flag;
 *   0 with *outId = kZAFCommandLine_Argument and *outArgument = the text for a plain argument;
 *   kZAFError_EndOfIteration when nothing is left (and on every later call);
 *   kZAFError_UnknownFlag for a flag not in the table (the item is skipped, so the walk may go on);
 *   kZAFError_UnexpectedValue when the previous flag was given "=value" and that value was not
 *   taken with ZAFCommandLineNextArgument (the value is dropped).
 * The texts stay valid until the context is freed. `outArgument` may be NULL. */
ZAF_API ZAFError ZAFCommandLineNextFlag(ZAFCommandLineContextRef context, int32_t* outId,
                                        const char** outArgument);

/* Takes the value of the flag just returned: its "=value" part when it had one, otherwise the
 * next item as it stands (even when it begins with '-'). kZAFError_MissingArgument when no item
 * is left. */
ZAF_API ZAFError ZAFCommandLineNextArgument(ZAFCommandLineContextRef context,
                                            const char** outArgument);

ZAF_API ZAFError ZAFFreeCommandLineContext(ZAFCommandLineContextRef context);

#ifdef __cplusplus
}
#endif

#endif
