/* The toolkit's networking library (libORXsdkNetwork): started after ZAFsdkInit, stopped before
 * ZAFsdkCleanup. */
#ifndef ZAF_ZAFNETWORK_H
#define ZAF_ZAFNETWORK_H

#include <zaf/zafbase.h>

#ifdef __cplusplus
extern "C" {
#endif

/* kZAFError_NotInitialized when ZAFsdkInit has not been called. Calls nest like ZAFsdkInit. */
ZAF_API ZAFError ZAFsdkNetworkLibInit(void);
/* kZAFError_NotInitialized without a matching ZAFsdkNetworkLibInit. */
ZAF_API ZAFError ZAFsdkNetworkLibCleanup(void);

#ifdef __cplusplus
}
#endif

#endif
