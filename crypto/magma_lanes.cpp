#include "crypto/magma_lanes.h"

#include "crypto/magma.h"
#include "crypto/magma_blocks.h"
#include "crypto/magma_cmac.h"
#include "crypto/magma_modes.h"

namespace zor::crypto {

namespace {

bool same_key(const uint32_t *a, const uint32_t *b) {
  if (a == b) return true;
  uint32_t diff = 0;
  for (int i = 0; i < 8; ++i) diff |= a[i] ^ b[i];
  return diff == 0;
}

// The lanes from `first` on that share its key, at most kWideLanes; 1 when
// the vector unit is not there (the one-at-a-time path).
template <class Lane>
size_t batch_at(const Lane *lanes, size_t first, size_t n, bool wide) {
  size_t end = first + 1;
  if (!wide) return 1;
  while (end < n && end - first < kWideLanes && same_key(lanes[first].key, lanes[end].key)) ++end;
  return end - first;
}

void cmac_batch(MacLane *lanes, size_t n) {
  const uint8_t *data[kWideLanes] = {};
  uint32_t blocks[kWideLanes] = {};
  uint64_t last[kWideLanes] = {}, mac[kWideLanes] = {};
  const uint64_t k1 = cmac_first_subkey(lanes[0].key);
  for (size_t j = 0; j < n; ++j) {
    data[j] = lanes[j].data;
    const CmacTail t = cmac_native_tail(k1, data[j], data[j] ? lanes[j].len : 0);
    blocks[j] = t.blocks;
    last[j] = t.last;
  }
  magma_cbc_mac_lanes_avx512(lanes[0].key, data, blocks, last, mac, n);
  for (size_t j = 0; j < n; ++j) lanes[j].mac = mac[j];
}

void ofb_batch(const OfbLane *lanes, size_t n) {
  uint8_t *data[kWideLanes] = {};
  uint32_t whole[kWideLanes] = {};
  uint64_t iv[kWideLanes] = {}, next[kWideLanes] = {};
  for (size_t j = 0; j < n; ++j) {
    data[j] = lanes[j].data;
    whole[j] = data[j] ? lanes[j].len / 8 : 0;
    iv[j] = lanes[j].iv;
  }
  magma_ofb_lanes_avx512(lanes[0].key, data, whole, iv, next, n);
  // A partial last block takes the low bytes of the next stream block.
  for (size_t j = 0; j < n; ++j) {
    const uint32_t tail = data[j] ? lanes[j].len % 8 : 0;
    uint8_t *p = data[j] + 8 * uint64_t(whole[j]);
    for (uint32_t b = 0; b < tail; ++b) p[b] ^= uint8_t(next[j] >> (8 * b));
  }
}

}  // namespace

void magma_cmac_lanes(MacLane *lanes, size_t n) {
  WideSection section;
  for (size_t i = 0; i < n;) {
    const size_t run = batch_at(lanes, i, n, section.on());
    if (run > 1) {
      cmac_batch(lanes + i, run);
    } else {
      uint8_t out[8];
      magma_cmac(lanes[i].key, lanes[i].data, lanes[i].len, out);
      lanes[i].mac = load_le64(out);
    }
    i += run;
  }
}

void magma_ofb_lanes(const OfbLane *lanes, size_t n) {
  WideSection section;
  for (size_t i = 0; i < n;) {
    const size_t run = batch_at(lanes, i, n, section.on());
    if (run > 1)
      ofb_batch(lanes + i, run);
    else
      magma_ofb(lanes[i].key, lanes[i].data, lanes[i].len, &lanes[i].iv);
    i += run;
  }
}

}  // namespace zor::crypto
