// api: what the other folders use of the C boundary: the handle registry and guard, contexts, their
// environment and file specs.
#ifndef ZAF_API_H
#define ZAF_API_H

#include "context_internal.h"
#include "handles.h"

#endif
