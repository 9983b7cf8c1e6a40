// The TLV walk, the TLV cipher and the key derivations of the wire format.
#include "byte_order.h"
#include "kernel/filter/wire_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "crypto/kdf.h"
#include "crypto/magma_modes.h"

namespace {

using namespace zor::wire;
using Bytes = std::vector<uint8_t>;

Bytes Entry(uint8_t tag, uint8_t flags, const Bytes &value) {
  Bytes e(4 + value.size());
  e[0] = tag;
  e[1] = flags;
  e[2] = (uint8_t)value.size();
  e[3] = (uint8_t)(value.size() >> 8);
  std::copy(value.begin(), value.end(), e.begin() + 4);
  return e;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(TlvWalk, EntriesMustEndInsideTheArea) {
  struct {
    const char *name;
    Bytes area;
    uint32_t len;   // area length given to the walk
    bool found;
  } cases[] = {
      {"value ends at the area's end", Cat({Entry(1, 0, {7}), Entry(0x42, 0, {1, 2})}), 11, true},
      {"zero-length last entry ending at the end", Cat({Entry(1, 0, {7}), Entry(0x42, 0, {})}), 9,
       false},
      {"value one byte past the end", Cat({Entry(0x42, 0, {1, 2})}), 5, false},
      {"header reaching the end", Cat({Entry(1, 0, {}), Entry(0x42, 0, {})}), 8, false},
      {"length field past the area", Bytes{0x42, 0, 0xFF, 0xFF, 1}, 5, false},
      {"found after skipping others", Cat({Entry(3, 0, {1, 2, 3}), Entry(0x42, 0, {9})}), 12, true},
      {"empty area", Bytes{}, 0, false},
  };
  for (auto &c : cases) {
    Tlv t;
    EXPECT_EQ(TLVGetField(0x42, c.area.data(), c.len, nullptr, false, &t), c.found) << c.name;
  }
}

TEST(TlvWalk, FirstEntryWinsAndConsumeHidesIt) {
  Bytes area = Cat({Entry(0x42, 0, {1}), Entry(0x42, 0, {2})});
  Tlv t;
  ASSERT_TRUE(TLVGetField(0x42, area.data(), (uint32_t)area.size(), nullptr, true, &t));
  EXPECT_EQ(t.value[0], 1);
  ASSERT_TRUE(TLVGetField(0x42, area.data(), (uint32_t)area.size(), nullptr, false, &t));
  EXPECT_EQ(t.value[0], 2);
}

TEST(TlvWalk, EncipheredValueNeedsTheKeyAndMatchesMagmaCtr) {
  TlvKey key{0x11223344, {}};
  for (int i = 0; i < 32; ++i) key.key[i] = (uint8_t)(i + 1);
  const Bytes value = {'s', 'e', 'c', 'r', 'e', 't', '!', '?', 'x', 'y', 'z'};
  Bytes area(64);
  uint32_t used = 0;
  ASSERT_TRUE(TLVPut(area.data(), 64, &used, 0x1a, value.data(), (uint16_t)value.size(), &key));
  EXPECT_EQ(area[1], kTlvEnciphered);
  // The counter block is nonce << 32 | tag << 16, as an independent call gives it.
  Bytes expect = value;
  uint32_t words[8];
  memcpy(words, key.key, 32);
  magma_ctr(key.nonce, 0x1a << 16, words, expect.data(), (int32_t)expect.size());
  EXPECT_EQ(Bytes(area.begin() + 4, area.begin() + 4 + value.size()), expect);

  Tlv t;
  EXPECT_FALSE(TLVGetField(0x1a, area.data(), used, nullptr, false, &t));
  EXPECT_FALSE(TLVFindClear(0x1a, area.data(), used, &t));
  ASSERT_TRUE(TLVGetField(0x1a, area.data(), used, &key, false, &t));
  EXPECT_EQ(Bytes(t.value, t.value + t.length), value);
  EXPECT_TRUE(TLVFindClear(0x1a, area.data(), used, &t));   // deciphered once, in place
}

TEST(TlvWalk, PutRefusesWhatDoesNotFit) {
  Bytes area(8);
  uint32_t used = 0;
  const uint8_t v[5] = {};
  EXPECT_FALSE(TLVPut(area.data(), 8, &used, 1, v, 5, nullptr));
  EXPECT_EQ(used, 0u);
  EXPECT_TRUE(TLVPut(area.data(), 8, &used, 1, v, 4, nullptr));
  EXPECT_EQ(used, 8u);
  EXPECT_FALSE(TLVPut(area.data(), 8, &used, 1, v, 0, nullptr));
}

TEST(KeyDerivation, LabelsSeedsAndSplitAreTheFormatsOwn) {
  uint8_t master[32], nonce[16];
  for (int i = 0; i < 32; ++i) master[i] = (uint8_t)(0xA0 + i);
  for (int i = 0; i < 16; ++i) nonce[i] = (uint8_t)i;
  uint8_t direct[64];
  ASSERT_EQ(KDF_TREE_GOSTR3411_2012_256(master, "SynOKFAddData", 13, nonce, 16, direct, 64), 0u);
  TlvKey k;
  DeriveTlvKey(master, "SynOKFAddData", nonce, &k);
  EXPECT_EQ(k.nonce, load_le32(direct));
  EXPECT_EQ(memcmp(k.key, direct + 32, 32), 0);

  const uint8_t one = 1;
  uint8_t vesk[32], cli[32], want[32];
  DeriveSessionKeys(master, vesk, cli);
  KDF_TREE_GOSTR3411_2012_256(master, "vesk seskey", 11, &one, 1, want, 32);
  EXPECT_EQ(memcmp(vesk, want, 32), 0);
  KDF_TREE_GOSTR3411_2012_256(master, "client seskey", 13, &one, 1, want, 32);
  EXPECT_EQ(memcmp(cli, want, 32), 0);
  EXPECT_NE(memcmp(vesk, cli, 32), 0);
}

TEST(Trailer, SealGivesTheResidueAndAnyFlipBreaksIt) {
  Bytes d = {0x10, 0x00, 0xca, 0xb0, 3, 17, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  SealCrc(d.data(), (uint32_t)d.size());
  EXPECT_TRUE(CrcOk(d.data(), (uint32_t)d.size()));
  for (size_t i = 0; i < d.size(); ++i) {
    d[i] ^= 0x80;
    EXPECT_FALSE(CrcOk(d.data(), (uint32_t)d.size())) << i;
    d[i] ^= 0x80;
  }
  EXPECT_FALSE(CrcOk(d.data(), 3));
}

}  // namespace
