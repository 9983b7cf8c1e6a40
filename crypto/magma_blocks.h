// Many Magma blocks at once (MAGMA_sbox_4k), for the modes that have
// independent blocks: a table path that keeps several blocks in flight, and
// an AVX-512 path (16 blocks per register, two registers in flight) taken
// when `wide` is set. Callers set `wide` only inside a WideSection.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "crypto/cpu_features.h"
#include "crypto/platform.h"

namespace zor::crypto {

// Which half of a counter block is increased from one block to the next.
enum class CounterHalf { kLow, kHigh };

// start with the chosen half increased by i modulo 2^32.
inline uint64_t counter_at(uint64_t start, CounterHalf half, uint64_t i) {
  if (half == CounterHalf::kLow)
    return (start & 0xFFFFFFFF00000000ull) | uint32_t(uint32_t(start) + uint32_t(i));
  return uint64_t(uint32_t(start >> 32) + uint32_t(i)) << 32 | uint32_t(start);
}

// out[i] = E(counter_at(start, half, i)).
void magma_counter_blocks(const uint32_t key[8], uint64_t start, CounterHalf half, uint64_t *out,
                          size_t n, bool wide);

// out[i] = E(in[i]); in and out may be the same array.
void magma_ecb_blocks(const uint32_t key[8], const uint64_t *in, uint64_t *out, size_t n,
                      bool wide);

// The AVX-512 bodies behind `wide` (only called when cpu_has_avx512_vbmi()).
void magma_counter_blocks_avx512(const uint32_t key[8], uint64_t start, CounterHalf half,
                                 uint64_t *out, size_t n);
void magma_ecb_blocks_avx512(const uint32_t key[8], const uint64_t *in, uint64_t *out, size_t n);

// A vector-unit section for the wide path: open when the processor has it
// and the host grants the vector registers; closed at the end of the scope.
class WideSection {
 public:
  WideSection() : on_(cpu_has_avx512_vbmi() && fpu_begin()) {}
  ~WideSection() {
    if (on_) fpu_end();
  }
  WideSection(const WideSection &) = delete;
  WideSection &operator=(const WideSection &) = delete;
  bool on() const { return on_; }

 private:
  bool on_;
};

}  // namespace zor::crypto
