#include "kernel/filter/filter_random.h"

#include "crypto/gost89.h"
#include "crypto/random.h"
#include "kernel/filter/filter_core.h"

namespace {
constexpr uint32_t SEED_WORDS = RNG_SEED_BYTES / 8;
constexpr uint32_t OS_RANDOM_BYTES = 64;
static_assert(OS_RANDOM_BYTES <= RNG_SEED_BYTES, "the host's bytes fit the seed");

void build_tables(void) {
  MAKEUZ4K(&domuz, domuz_v);
  MAKEUZ4K(&f2009uz, f2009uz_v);
  bukuz = &domuz;
  randomizeruz = &f2009uz;
}
}  // namespace

extern "C" uint32_t FilterSeedRandom(void) {
  build_tables();
  uint8_t os_random[OS_RANDOM_BYTES];
  if (KERN_get_random_bytes(os_random, sizeof os_random) != 0) return 1;
  // The table's first words, each mixed with a fresh stamp, then the host's
  // random bytes over the first 64 seed bytes.
  uint64_t seed[SEED_WORDS];
  memcpy(seed, &f2009uz, sizeof seed);
  for (uint64_t &word : seed) {
    uint64_t stamp = 0;
    DrvGetCurFtime(&stamp);
    word ^= stamp;
  }
  uint8_t *bytes = reinterpret_cast<uint8_t *>(seed);
  for (uint32_t i = 0; i < OS_RANDOM_BYTES; i++) bytes[i] ^= os_random[i];
  InitRandomEx(seed, 0);
  memset(os_random, 0, sizeof os_random);
  memset(seed, 0, sizeof seed);
  return 0;
}
