// crypto: what the other folders use of the crypto folder: the process-wide random pool and
// modular exponentiation for public values.
#ifndef ZAF_CRYPTO_H
#define ZAF_CRYPTO_H

#include "montgomery.h"
#include "random_internal.h"

#endif
