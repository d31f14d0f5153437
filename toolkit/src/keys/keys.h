// keys: what the other folders use of the keys folder: making, protecting, editing and signing with
// keys, and the option lists those calls take.
#ifndef ZAF_KEYS_H
#define ZAF_KEYS_H

#include "keyedit_internal.h"
#include "options_internal.h"

#endif
