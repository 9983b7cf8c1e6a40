#include "kernel/filter/filter_random.h"

#include "kernel/filter/filter_core.h"

namespace {
constexpr uint32_t SEED_WORDS = 9;
constexpr uint32_t OS_RANDOM_BYTES = 64;
}  // namespace

extern "C" uint32_t FilterSeedRandom(void) {
  uint64_t seed[SEED_WORDS] = {};
  uint8_t os_random[OS_RANDOM_BYTES];
  if (KERN_get_random_bytes(os_random, sizeof os_random) != 0) return 1;
  for (uint32_t i = 0; i < SEED_WORDS; i++) {
    uint64_t stamp = 0;
    DrvGetCurFtime(&stamp);
    seed[i] ^= stamp;
  }
  uint8_t *bytes = reinterpret_cast<uint8_t *>(seed);
  for (uint32_t i = 0; i < OS_RANDOM_BYTES; i++) bytes[i] ^= os_random[i];
  memset(os_random, 0, sizeof os_random);
  memset(seed, 0, sizeof seed);
  return 0;
}
