#include "crypto/random_seed.h"

#include "crypto/platform.h"
#include "crypto/random.h"
#include "crypto/wipe.h"

#if !ZOR_KERNEL
#include <errno.h>
#include <sys/random.h>
#endif

static_assert(RNG_OS_ENTROPY_BYTES <= RNG_SEED_BYTES);

extern "C" {

void InitRandomExMixed(const void *seed, const void *os_entropy, uint32_t slot) {
  if (seed == nullptr || os_entropy == nullptr) return;
  uint8_t mixed[RNG_SEED_BYTES];
  memcpy(mixed, seed, RNG_SEED_BYTES);
  const uint8_t *e = static_cast<const uint8_t *>(os_entropy);
  for (uint32_t i = 0; i < RNG_OS_ENTROPY_BYTES; ++i) mixed[i] ^= e[i];
  InitRandomEx(mixed, slot);
  zor::crypto::wipe(mixed, sizeof mixed);
}

#if !ZOR_KERNEL
uint32_t ReadOsEntropy(void *out, uint32_t len) {
  uint8_t *p = static_cast<uint8_t *>(out);
  for (uint32_t done = 0; done < len;) {
    const ssize_t n = getrandom(p + done, len - done, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      zor::crypto::wipe(out, len);
      return 1;
    }
    done += uint32_t(n);
  }
  return 0;
}
#endif
}
