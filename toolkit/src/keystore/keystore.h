// keystore: what the other folders use of the key store: keys as held in memory, databases, sets,
// their objects and ring files.
#ifndef ZAF_KEYSTORE_H
#define ZAF_KEYSTORE_H

#include "keystore_internal.h"

#endif
