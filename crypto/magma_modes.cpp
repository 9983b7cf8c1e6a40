#include "crypto/magma_modes.h"

#include "crypto/magma.h"
#include "crypto/magma_blocks.h"
#include "crypto/wipe.h"

using namespace zor::crypto;

namespace {

// Keystream is made this many blocks at a time (kept small for kernel stacks).
constexpr uint32_t kChunkBlocks = 64;

enum class Order { kNative, kBigEndian };

// XORs nblocks whole blocks and then `tail` bytes (0..7) of data with the
// counter keystream from `start`. A big-endian keystream block is XORed
// byte for byte in the standard's order; a partial block takes the first
// bytes of the keystream block in the chosen order.
void xor_counter_stream(const uint32_t key[8], uint64_t start, Order order, uint8_t *data,
                        uint32_t nblocks, uint32_t tail, bool wide) {
  uint64_t ks[kChunkBlocks];
  const uint32_t total = nblocks + (tail ? 1 : 0);
  for (uint32_t done = 0; done < total;) {
    const uint32_t n = total - done < kChunkBlocks ? total - done : kChunkBlocks;
    magma_counter_blocks(key, counter_at(start, CounterHalf::kLow, done), CounterHalf::kLow, ks,
                         n, wide);
    for (uint32_t i = 0; i < n; ++i) {
      const uint64_t k = order == Order::kNative ? ks[i] : bswap64(ks[i]);
      uint8_t *p = data + 8 * uint64_t(done + i);
      if (done + i < nblocks) {
        store_le64(p, load_le64(p) ^ k);
      } else {
        for (uint32_t j = 0; j < tail; ++j) p[j] ^= uint8_t(k >> (8 * j));
      }
    }
    done += n;
  }
}

void ctr_any(const uint32_t key[8], uint64_t start, Order order, uint8_t *data, int32_t len) {
  if (data == nullptr || len <= 0) return;
  WideSection section;
  xor_counter_stream(key, start, order, data, uint32_t(len) / 8, uint32_t(len) % 8, section.on());
}

// The next section key: E(D1) || E(D2) || E(D3) || E(D4) with D the bytes
// 0x80..0x9F read as four big-endian blocks.
void acpkm_next(uint32_t w[8]) {
  uint64_t d[4];
  for (int i = 0; i < 4; ++i) {
    d[i] = 0;
    for (int b = 0; b < 8; ++b) d[i] = d[i] << 8 | uint64_t(0x80 + 8 * i + b);
  }
  magma_ecb_blocks(w, d, d, 4, false);
  for (int i = 0; i < 4; ++i) {
    w[2 * i] = uint32_t(d[i] >> 32);
    w[2 * i + 1] = uint32_t(d[i]);
  }
}

void ctracpkm(uint32_t iv, const uint8_t key[32], uint8_t *data, int32_t len,
              uint32_t section_blocks) {
  if (data == nullptr || len <= 0) return;
  uint32_t w[8];
  load_key_be(w, key);
  const uint64_t start = uint64_t(__builtin_bswap32(iv)) << 32;
  const uint32_t nblocks = uint32_t(len) / 8, tail = uint32_t(len) % 8;
  const uint32_t total = nblocks + (tail ? 1 : 0);
  WideSection section;
  const bool wide = section.on() && section_blocks >= 16;
  for (uint32_t done = 0; done < total; done += section_blocks) {
    if (done > 0) acpkm_next(w);
    const uint32_t end = total - done < section_blocks ? total : done + section_blocks;
    const uint32_t whole = (end < nblocks ? end : nblocks) - done;
    xor_counter_stream(w, start | done, Order::kBigEndian, data + 8 * uint64_t(done), whole,
                       end > nblocks ? tail : 0, wide);
  }
  wipe(w, sizeof w);
}

}  // namespace

extern "C" {

void magma_ofb(const uint32_t key[8], uint8_t *data, uint32_t len, const uint64_t *iv) {
  if (data == nullptr || iv == nullptr || len == 0) return;
  uint64_t s = load_le64(reinterpret_cast<const uint8_t *>(iv));
  for (; len >= 8; data += 8, len -= 8) {
    s = magmaencrypt_ni(s, key);
    store_le64(data, load_le64(data) ^ s);
  }
  if (len == 0) return;
  // A partial last block changes only the bytes inside the length.
  s = magmaencrypt_ni(s, key);
  for (uint32_t i = 0; i < len; ++i) data[i] ^= uint8_t(s >> (8 * i));
}

void EncipherData8MAGMAOFB(const uint32_t key[8], uint8_t *buf, uint32_t len) {
  if (buf == nullptr || len <= 8) return;
  magma_ofb(key, buf + 8, len - 8, reinterpret_cast<const uint64_t *>(buf));
}

void EncipherData8MAGMAOFB2(const uint32_t key[8], uint8_t *data, uint32_t len, uint32_t ivlo,
                            uint32_t ivhi) {
  const uint64_t iv = uint64_t(ivhi) << 32 | ivlo;
  magma_ofb(key, data, len, &iv);
}

void EncipherData8SAMAGMAOFB(const uint32_t key[8], uint8_t *data, uint32_t nblocks,
                             uint32_t ivlo, uint32_t ivhi) {
  if (nblocks > 0xFFFFFFFFu / 8) return;
  EncipherData8MAGMAOFB2(key, data, nblocks * 8, ivlo, ivhi);
}

void magma_ctr(uint32_t ivhi, uint32_t counter, const uint32_t key[8], uint8_t *data, int32_t len) {
  ctr_any(key, uint64_t(ivhi) << 32 | counter, Order::kNative, data, len);
}

void magma_ctr_msb(uint32_t iv, const uint32_t key[8], uint8_t *data, int32_t len) {
  ctr_any(key, uint64_t(iv) << 32, Order::kBigEndian, data, len);
}

void magma_ctracpkm_msb(uint32_t iv, const uint8_t key[32], uint8_t *data, int32_t len) {
  ctracpkm(iv, key, data, len, 128);
}

void magma_ctracpkm_msb_tss(uint32_t iv, const uint8_t key[32], uint8_t *data, int32_t len) {
  ctracpkm(iv, key, data, len, 2);
}

}  // extern "C"
