/* The toolkit's whole C interface. */
#ifndef ZAF_ZAF_H
#define ZAF_ZAF_H

#include <zaf/zafbase.h>
#include <zaf/zafcmdline.h>
#include <zaf/zafcontext.h>
#include <zaf/zafcrypto.h>
#include <zaf/zafkeyedit.h>
#include <zaf/zafkeys.h>
#include <zaf/zafkeyserver.h>
#include <zaf/zafmessage.h>
#include <zaf/zafnetwork.h>
#include <zaf/zafrandom.h>
#include <zaf/zaftime.h>
#include <zaf/zafwipe.h>

#endif
