#include "crypto/random.h"

#include "crypto/gost89.h"
#include "crypto/magma.h"

using namespace zor::crypto;

namespace {

// Slot layout: bytes 0..3 the counter (little-endian), 0..7 the IV of
// passes 1 and 3, 8..39 the output block, 0..31 the key and 32..39 the IV of
// pass 2, 40..71 the key of passes 1 and 3.
struct RngSlot {
  alignas(8) uint8_t b[RNG_SEED_BYTES];
};
RngSlot randombuff[RNG_SLOTS];

// Advances of the slot for one output block: five tested ones, and after
// five rejected blocks a last advance before giving up.
constexpr int kAdvancesPerBlock = 6;

void encipher_span(uint8_t *span, const uint8_t *key) {
  uint32_t words[8];
  load_key_le(words, key);
  EncipherData8(magma_get_UZ(), words, span, 40);
}

void advance(RngSlot &s) {
  const uint32_t counter = load_le32(s.b) + 1;
  for (int i = 0; i < 4; ++i) s.b[i] = uint8_t(counter >> (8 * i));
  encipher_span(s.b, s.b + 40);
  encipher_span(s.b + 32, s.b);
  encipher_span(s.b, s.b + 40);
}

int bit_msb_first(const uint8_t *p, uint64_t i) { return (p[i >> 3] >> (7 - (i & 7))) & 1; }

}  // namespace

extern "C" {

void InitRandomEx(const void *seed, uint32_t slot) {
  if (slot >= RNG_SLOTS || seed == nullptr) return;
  const uint8_t *src = static_cast<const uint8_t *>(seed);
  for (int i = 0; i < RNG_SEED_BYTES; ++i) randombuff[slot].b[i] = src[i];
}

uint32_t GetRandomEx(void *out, uint32_t len, uint32_t slot) {
  if (slot >= RNG_SLOTS) return 1;
  if (len == 0) return 0;
  if (out == nullptr) return 1;
  RngSlot &s = randombuff[slot];
  uint8_t *dst = static_cast<uint8_t *>(out);
  while (len > 0) {
    for (int advances = 1;; ++advances) {
      advance(s);
      if (advances == kAdvancesPerBlock) return 1;
      if (TestRNG(s.b + 8) == 0) break;
    }
    const uint32_t n = len < 32 ? len : 32;
    for (uint32_t i = 0; i < n; ++i) dst[i] = s.b[8 + i];
    dst += n;
    len -= n;
  }
  return 0;
}

uint32_t GetRandom32Ex(void *out, uint32_t slot) { return GetRandomEx(out, 32, slot); }

uint32_t TestRNG(const void *block) {
  if (block == nullptr) return 1;
  const uint8_t *p = static_cast<const uint8_t *>(block);
  int ones = 0, longest[2] = {0, 0};
  // A run is counted when the opposite bit ends it; a zero run of length 0 is
  // open before the first bit, and the run open after the last is not counted.
  int run_bit = 0, run_len = 0;
  for (uint32_t i = 0; i < 256; ++i) {
    const int bit = bit_msb_first(p, i);
    ones += bit;
    if (bit == run_bit) {
      ++run_len;
    } else {
      if (run_len > longest[run_bit]) longest[run_bit] = run_len;
      run_bit = bit;
      run_len = 1;
    }
  }
  int counts[16] = {};
  for (int i = 0; i < 32; ++i) {
    ++counts[p[i] >> 4];
    ++counts[p[i] & 15];
  }
  int spread = 0;
  for (int c : counts) spread += (c - 4) * (c - 4);
  const bool ok = ones >= 101 && ones <= 155 && longest[0] >= 4 && longest[0] <= 24 &&
                  longest[1] >= 4 && longest[1] <= 24 && spread <= 139;
  return ok ? 0 : 1;
}

uint32_t RndTest_buf(const void *buf, uint32_t len, int32_t onesMin, int32_t onesMax,
                     int32_t transMin, int32_t transMax, int32_t lag8Min, int32_t lag8Max,
                     int32_t run0Min, int32_t run0Max, int32_t run1Min, int32_t run1Max) {
  if (buf == nullptr || len == 0) return 1;
  const uint8_t *p = static_cast<const uint8_t *>(buf);
  const uint64_t n = uint64_t(len) * 8;
  int64_t ones = 0, transitions = 0, lag8 = 0, longest[2] = {0, 0}, run_len = 0;
  int run_bit = -1;
  for (uint64_t i = 0; i < n; ++i) {
    const int bit = bit_msb_first(p, i);
    ones += bit;
    if (i + 1 < n && bit != bit_msb_first(p, i + 1)) ++transitions;
    if (i + 8 < n && bit != bit_msb_first(p, i + 8)) ++lag8;
    run_len = bit == run_bit ? run_len + 1 : 1;
    run_bit = bit;
    if (run_len > longest[bit]) longest[bit] = run_len;
  }
  const struct {
    int64_t figure;
    int32_t lo, hi;
  } checks[] = {{ones, onesMin, onesMax},
                {transitions, transMin, transMax},
                {lag8, lag8Min, lag8Max},
                {longest[0], run0Min, run0Max},
                {longest[1], run1Min, run1Max}};
  for (const auto &c : checks)
    if (c.lo >= 0 && c.hi >= 0 && (c.figure < c.lo || c.figure > c.hi)) return 1;
  return 0;
}

uint32_t RndTest_expectation_buf(const void *buf, uint32_t len, uint32_t divisor) {
  if (buf == nullptr || len == 0 || divisor == 0) return 1;
  const uint8_t *p = static_cast<const uint8_t *>(buf);
  const uint64_t n = uint64_t(len) * 8, tolerance = n / divisor;
  for (uint32_t w = 1; w <= 5; ++w) {
    uint64_t counts[32] = {};
    for (uint64_t g = 0; g + w <= n; g += w) {
      uint32_t v = 0;
      for (uint32_t j = 0; j < w; ++j) v |= uint32_t((p[(g + j) >> 3] >> ((g + j) & 7)) & 1) << j;
      ++counts[v];
    }
    const uint64_t expected = n / ((uint64_t(1) << w) * w);
    for (uint32_t v = 0; v < (1u << w); ++v) {
      const uint64_t diff = counts[v] > expected ? counts[v] - expected : expected - counts[v];
      if (diff >= tolerance) return 1;
    }
  }
  return 0;
}

}  // extern "C"
