#include "crypto/cpu_features.h"

#include <cpuid.h>
#include <stdint.h>

namespace zor::crypto {

namespace {

uint64_t xcr0() {
  uint32_t lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return uint64_t(hi) << 32 | lo;
}

bool probe_clmul_ssse3() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
  return (c & 0x202u) == 0x202u;
}

bool probe_avx512_vbmi() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE)) return false;
  // SSE, AVX, opmask and both parts of the 512-bit register state.
  if ((xcr0() & 0xE6u) != 0xE6u) return false;
  if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
  return (b & bit_AVX512F) && (b & bit_AVX512BW) && (c & bit_AVX512VBMI);
}

bool probe_avx512_gfni() {
  unsigned a, b, c, d;
  return probe_avx512_vbmi() && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (c & bit_GFNI);
}

// CPUID is slow (and traps under a hypervisor), so each answer is probed
// once: 0 not yet known, 1 no, 2 yes. Racing probes store the same answer.
bool cached(int &state, bool (*probe)()) {
  int s = __atomic_load_n(&state, __ATOMIC_RELAXED);
  if (s == 0) {
    s = probe() ? 2 : 1;
    __atomic_store_n(&state, s, __ATOMIC_RELAXED);
  }
  return s == 2;
}

int clmul_state, avx512_state, gfni_state;

}  // namespace

bool cpu_has_clmul_ssse3() { return cached(clmul_state, probe_clmul_ssse3); }
bool cpu_has_avx512_vbmi() { return cached(avx512_state, probe_avx512_vbmi); }
bool cpu_has_avx512_gfni() { return cached(gfni_state, probe_avx512_gfni); }

}  // namespace zor::crypto
