#include <gtest/gtest.h>

#include <cstring>

#include "crypto/magma.h"
#include "crypto/magma_blocks.h"
#include "crypto/magma_cmac.h"
#include "crypto/magma_modes.h"
#include "test_bytes.h"

using namespace zor::test;

namespace {

}  // namespace

TEST(MagmaModes, AcpkmSectionOf1024Bytes) {
  const char *key_hex = "8899aabbccddeeff0011223344556677fedcba98765432100123456789abcdef";
  const Bytes key = hex(key_hex);
  const Key words = key_words(key_hex);
  const Bytes plain = pattern(2100, 5);
  Bytes acpkm = plain, ctr = plain;
  magma_ctracpkm_msb(0x78563412, key.data(), acpkm.data(), int32_t(acpkm.size()));
  magma_ctr_msb(0x12345678, words.w, ctr.data(), int32_t(ctr.size()));
  EXPECT_EQ(to_hex(acpkm.data(), 1024), to_hex(ctr.data(), 1024)) << "first section: the key itself";
  EXPECT_NE(to_hex(acpkm.data() + 1024, 8), to_hex(ctr.data() + 1024, 8)) << "then a new key";
  Bytes again = plain;
  magma_ctracpkm_msb(0x78563412, key.data(), again.data(), int32_t(again.size()));
  EXPECT_EQ(to_hex(again), to_hex(acpkm)) << "no state kept between calls";
}

TEST(MagmaModes, PartialBlocksStayInsideTheLength) {
  const Key k = key_words(kStdKey);
  const uint64_t iv = 0x0102030405060708ull;
  for (uint32_t len = 0; len <= 41; ++len) {
    Bytes buf = pattern(len + 16, 1);
    const Bytes orig = buf;
    magma_ofb(k.w, buf.data(), len, &iv);
    for (size_t i = len; i < buf.size(); ++i) ASSERT_EQ(buf[i], orig[i]) << "ofb len " << len;
    magma_ofb(k.w, buf.data(), len, &iv);
    EXPECT_EQ(buf, orig) << "ofb is its own inverse";
    // OFB keystream bytes inside the length are those of the whole blocks.
    Bytes whole = Bytes(48, 0), part = Bytes(48, 0);
    magma_ofb(k.w, whole.data(), 48, &iv);
    magma_ofb(k.w, part.data(), len, &iv);
    EXPECT_EQ(to_hex(part.data(), len), to_hex(whole.data(), len));

    buf = orig;
    magma_ctr(0xabcdef01, 7, k.w, buf.data(), int32_t(len));
    for (size_t i = len; i < buf.size(); ++i) ASSERT_EQ(buf[i], orig[i]) << "ctr len " << len;
    buf = orig;
    magma_ctr_msb(0xabcdef01, k.w, buf.data(), int32_t(len));
    for (size_t i = len; i < buf.size(); ++i) ASSERT_EQ(buf[i], orig[i]) << "ctr_msb len " << len;
  }
  // EncipherData8MAGMAOFB with len 9 changes byte 8 only; 8 or less nothing.
  for (uint32_t len : {0u, 1u, 8u, 9u}) {
    Bytes buf = pattern(24, 9);
    const Bytes orig = buf;
    EncipherData8MAGMAOFB(k.w, buf.data(), len);
    for (size_t i = 0; i < buf.size(); ++i)
      EXPECT_EQ(buf[i] != orig[i], len == 9 && i == 8) << "len " << len << " byte " << i;
  }
  magma_ctr(0, 0, k.w, nullptr, 16);
  magma_ctr(0, 0, k.w, nullptr, -1);
}

TEST(MagmaModes, CtrPartialBlockUsesLowKeystreamBytes) {
  // magma_ctr with 13 bytes: the last 5 take the low bytes of E(C + 1);
  // magma_ctr_msb takes the high bytes of its keystream block.
  const Key k = key_words(kStdKey);
  uint8_t d[16] = {};
  magma_ctr(0x11111111, 5, k.w, d, 13);
  const uint64_t ks1 = magmaencrypt_ni(0x1111111100000006ull, k.w);
  for (int j = 0; j < 5; ++j) EXPECT_EQ(d[8 + j], uint8_t(ks1 >> (8 * j)));
  uint8_t m[16] = {};
  magma_ctr_msb(0x22222222, k.w, m, 13);
  const uint64_t ks2 = magmaencrypt_ni(0x2222222200000001ull, k.w);
  for (int j = 0; j < 5; ++j) EXPECT_EQ(m[8 + j], uint8_t(ks2 >> (56 - 8 * j)));
}

TEST(MagmaModes, ManyBlockPathsMatchTheBlockFunction) {
  // The block engine under the stream modes, its table path and (where the
  // processor has it) its vector path, against magmaencrypt_ni; counts that
  // cover whole groups, partial groups and single blocks, and counter wrap.
  using namespace zor::crypto;
  const Key k = key_words(kStdKey);
  const bool vector = cpu_has_avx512_vbmi();
  for (size_t n : {1, 3, 4, 15, 16, 17, 31, 32, 33, 64, 77}) {
    for (CounterHalf half : {CounterHalf::kLow, CounterHalf::kHigh}) {
      const uint64_t start = 0xFFFFFFF5FFFFFFF0ull;
      std::vector<uint64_t> expect(n), got(n);
      for (size_t i = 0; i < n; ++i) {
        const uint64_t c = half == CounterHalf::kLow
                               ? (start & 0xFFFFFFFF00000000ull) | uint32_t(uint32_t(start) + i)
                               : uint64_t(uint32_t((start >> 32) + i)) << 32 | uint32_t(start);
        expect[i] = magmaencrypt_ni(c, k.w);
      }
      for (bool wide : {false, true}) {
        if (wide && !vector) continue;
        std::fill(got.begin(), got.end(), 0);
        magma_counter_blocks(k.w, start, half, got.data(), n, wide);
        EXPECT_EQ(got, expect) << "n " << n << " wide " << wide;
      }
    }
    std::vector<uint64_t> in(n + 1), expect(n), got(n + 1, 0x5A5A);
    for (size_t i = 0; i < n; ++i) in[i] = 0x0123456789abcdefull * (i + 1);
    for (size_t i = 0; i < n; ++i) expect[i] = magmaencrypt_ni(in[i], k.w);
    for (bool wide : {false, true}) {
      if (wide && !vector) continue;
      got.assign(n + 1, 0x5A5A);
      magma_ecb_blocks(k.w, in.data(), got.data(), n, wide);
      EXPECT_EQ(std::vector<uint64_t>(got.begin(), got.begin() + n), expect) << n << wide;
      EXPECT_EQ(got[n], 0x5A5Au) << "nothing written past n";
    }
  }
  if (!vector) GTEST_SKIP() << "no AVX-512 VBMI here: only the table path was compared";
}

TEST(MagmaModes, UnalignedBuffersGiveTheSameBytes) {
  // Every mode at every offset within a word, against the aligned result.
  const Key k = key_words(kStdKey);
  const Bytes key = hex(kStdKey), plain = pattern(203, 3);
  auto run_all = [&](uint8_t *p, const uint8_t *iv_bytes) {
    Bytes out;
    auto take = [&](const uint8_t *q, size_t n) { out.insert(out.end(), q, q + n); };
    Bytes work(plain);
    std::memcpy(p, work.data(), work.size());
    magma_ctr(0x01020304, 9, k.w, p, int32_t(work.size()));
    take(p, work.size());
    magma_ctr_msb(0x01020304, k.w, p, int32_t(work.size()));
    take(p, work.size());
    magma_ctracpkm_msb_tss(0x01020304, key.data(), p, int32_t(work.size()));
    take(p, work.size());
    magma_ofb(k.w, p, uint32_t(work.size()), reinterpret_cast<const uint64_t *>(iv_bytes));
    take(p, work.size());
    uint8_t mac[9];
    magma_cmac(k.w, p, uint32_t(work.size()), mac + 1);
    take(mac + 1, 8);
    return out;
  };
  alignas(16) uint8_t aligned[256], iv_aligned[16] = {1, 2, 3, 4, 5, 6, 7, 8};
  const Bytes expect = run_all(aligned, iv_aligned);
  for (int off = 1; off < 8; ++off) {
    alignas(16) uint8_t buf[256 + 8], iv[24] = {};
    std::memcpy(iv + off, iv_aligned, 8);
    EXPECT_EQ(run_all(buf + off, iv + off), expect) << "offset " << off;
  }
}
