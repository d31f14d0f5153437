// random_internal: the process-wide random pool as the toolkit's modules use it.
#ifndef ZAF_RANDOM_INTERNAL_H
#define ZAF_RANDOM_INTERNAL_H

#include <botan/rng.h>

#include <cstddef>
#include <cstdint>

namespace zaf {

// A generator that draws from the pool under its lock; any thread may use it. Key generation
// and every other random need inside the toolkit go through it.
Botan::RandomNumberGenerator& poolRng();

// Mixes bytes into the pool without crediting entropy.
void mixIntoPool(const uint8_t* data, size_t length);

// How many bytes mixIntoPool has taken since the process started (seed files among them); lets
// tests see that a seed really reached the pool.
uint64_t bytesMixedIntoPool();

// Re-reads ORX_ZAF_NO_OS_RANDOM and probes the operating system's source. Called when the
// library starts.
void reconfigurePool();

// True while the operating system's random source is in use.
bool osRandomInUse();

// Bytes of entropy available (the capacity while the operating system's source is in use).
size_t entropyAvailable();

// Takes `bytes` of credited entropy; false (and nothing taken) when fewer are available.
bool consumeEntropy(size_t bytes);

} // namespace zaf

#endif
