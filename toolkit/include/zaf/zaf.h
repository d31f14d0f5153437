/* The toolkit's whole C interface. */
#ifndef ZAF_ZAF_H
#define ZAF_ZAF_H

#include <zaf/zafbase.h>
#include <zaf/zaftime.h>

#endif
