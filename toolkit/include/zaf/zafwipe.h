/* The disk wiper: the passes and patterns with which a file is overwritten before it is removed.
 *
 * The caller makes a wiper, takes its pattern buffer once, then calls ZAFGetDiskWipePattern before
 * each pass: it fills the buffer for that pass and reports the pass's pattern value. The caller
 * writes the buffer over the whole file, repeated from its start every kZAFDiskWipeBufferSize
 * bytes. After the last pass ZAFGetDiskWipePattern returns kZAFError_EndOfIteration (and keeps
 * doing so); any other non-zero code is a real failure.
 *
 * Pattern values: kZAFDiskWipePatternRandom (-1) for a pass of fresh random bytes from the pool
 * (each random pass differs); otherwise the pattern's bytes read as a big-endian number: one byte
 * (0x55 fills the buffer with 0x55) or three bytes (0x924924 fills it with 92 49 24 92 49 24 ...;
 * as 1024 is not a multiple of three, the three-byte cycle starts afresh every 1024 bytes).
 *
 * The fixed patterns, in order (27): 0x55, 0xAA, 0x924924, 0x492492, 0x249249, the sixteen bytes
 * 0x00, 0x11, 0x22 ... 0xFF, then 0x924924, 0x492492, 0x249249, 0x6DB6DB, 0xB6DB6D, 0xDB6DB6.
 *
 * Pass sets, chosen by the `passes` argument of ZAFCreateDiskWiper:
 *   1                      one random pass
 *   2                      0x55, random
 *   3 .. 65535             random, then passes - 2 fixed patterns from the list above in order
 *                          (starting again at 0x55 after the 27th), then random
 *   kZAFDiskWipeSet_ThreePass (-3)       0x00, 0xFF, random
 *   kZAFDiskWipeSet_SevenPass (-7)       0xF6, 0x00, 0xFF, random, 0x00, 0xFF, random
 *   kZAFDiskWipeSet_ThirtyFivePass (-35) four random passes, all 27 fixed patterns, four random
 * Anything else gives kZAFError_BadParams. */
#ifndef ZAF_ZAFWIPE_H
#define ZAF_ZAFWIPE_H

#include <zaf/zafcontext.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ZAFDiskWiper* ZAFDiskWiperRef;

enum {
    kZAFDiskWipeBufferSize = 1024, /* bytes */
    kZAFDiskWipeBufferWords = 256, /* the same buffer as 32-bit words */
    kZAFDiskWipeMaxPasses = 65535, /* every count an unsigned short can carry */
    kZAFDiskWipePatternRandom = -1
};

enum {
    kZAFDiskWipeSet_ThreePass = -3,
    kZAFDiskWipeSet_SevenPass = -7,
    kZAFDiskWipeSet_ThirtyFivePass = -35
};

ZAF_API ZAFError ZAFCreateDiskWiper(ZAFContextRef context, ZAFDiskWiperRef* outWiper,
                                    int32_t passes);
/* The wiper's buffer of kZAFDiskWipeBufferWords words; it belongs to the wiper and stays at the
 * same address until ZAFDestroyDiskWiper. Its content is valid after ZAFGetDiskWipePattern. */
ZAF_API ZAFError ZAFGetDiskWipeBuffer(ZAFDiskWiperRef wiper, uint32_t** outBuffer);
/* Prepares the next pass; see above. */
ZAF_API ZAFError ZAFGetDiskWipePattern(ZAFDiskWiperRef wiper, int32_t* outPattern);
/* Also reports how many passes the wiper hands out in all. */
ZAF_API ZAFError ZAFGetDiskWipePassCount(ZAFDiskWiperRef wiper, uint32_t* outPasses);
ZAF_API ZAFError ZAFDestroyDiskWiper(ZAFDiskWiperRef wiper);

#ifdef __cplusplus
}
#endif

#endif
