// Seeding the random generator with the operating system's randomness.
// Seeds built from clock readings alone can be guessed; every seed therefore
// also carries 64 bytes from the operating system's generator (getrandom in
// the daemon, the host layer's generator in the kernel library).
#pragma once
#include <stdint.h>

extern "C" {
constexpr uint32_t RNG_OS_ENTROPY_BYTES = 64;

// InitRandomEx(seed with os_entropy XORed into its bytes 0..63, slot), as
// the filter's start does it: the key of the second pass (slot bytes 0..31),
// the output block and 24 bytes of the first pass's key then rest on the 64
// bytes, whatever the caller's seed holds. The mixed copy is wiped.
void InitRandomExMixed(const void *seed, const void *os_entropy, uint32_t slot);

#if !ZOR_KERNEL
// len bytes from the operating system's generator (getrandom). 0 success,
// 1 failure (out then wiped).
uint32_t ReadOsEntropy(void *out, uint32_t len);
#endif
}
