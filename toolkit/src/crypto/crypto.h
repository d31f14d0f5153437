// crypto: what the other folders use of the crypto folder: the process-wide random pool.
#ifndef ZAF_CRYPTO_H
#define ZAF_CRYPTO_H

#include "random_internal.h"

#endif
