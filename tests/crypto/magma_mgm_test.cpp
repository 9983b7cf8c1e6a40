#include <gtest/gtest.h>

#include <cstring>

#include "crypto/magma.h"
#include "crypto/magma_mgm.h"
#include "test_bytes.h"
#include "tests/crypto/vectors/mgm_paths.h"

using namespace zor::test;

namespace {

using Native = MgmNative;

struct Path {
  const char *name;
  MgmAead run;
};
std::vector<Path> paths() {
  std::vector<Path> p = {{"wrapper", magmamgm_aead}, {"portable", mgm_portable_path}};
  if (magma_support_fast_MGM()) p.push_back({"vector", mgm_vector_path});
  return p;
}

// What a receiver does: decrypt a copy, release it only when the tag matches.
bool open(const Native &v, Bytes &data, const Bytes &aad, uint64_t received_tag) {
  Bytes work = data;
  uint64_t tag;
  magmamgm_aead(v.key.w, work.data(), uint32_t(work.size()), &v.nonce, aad.data(),
                uint32_t(aad.size()), &tag, 0);
  if (tag != received_tag) return false;
  data = work;
  return true;
}

}  // namespace

TEST(MagmaMgm, AnyFlippedBitIsRefused) {
  const Native v = mgm_example();
  for (size_t bit = 0; bit < 8 * v.cipher.size(); ++bit) {
    Bytes data = v.cipher;
    data[bit / 8] ^= uint8_t(1u << (bit % 8));
    const Bytes sent = data;
    ASSERT_FALSE(open(v, data, v.aad, v.tag)) << "ciphertext bit " << bit;
    ASSERT_EQ(data, sent) << "nothing released";
  }
  for (size_t bit = 0; bit < 8 * v.aad.size(); ++bit) {
    Bytes aad = v.aad, data = v.cipher;
    aad[bit / 8] ^= uint8_t(1u << (bit % 8));
    ASSERT_FALSE(open(v, data, aad, v.tag)) << "aad bit " << bit;
    ASSERT_EQ(data, v.cipher);
  }
  for (int bit = 0; bit < 64; ++bit) {
    Bytes data = v.cipher;
    ASSERT_FALSE(open(v, data, v.aad, v.tag ^ (1ull << bit))) << "tag bit " << bit;
  }
  Bytes data = v.cipher;
  ASSERT_TRUE(open(v, data, v.aad, v.tag));
  EXPECT_EQ(data, v.plain);
}

TEST(MagmaMgm, EmptyPartsAndBytesOutsideTheLengths) {
  const Native v = mgm_example();
  // Nothing at all: the tag is E(S) over the length block only, which is 0.
  uint64_t tag;
  magmamgm_aead(v.key.w, nullptr, 0, &v.nonce, nullptr, 0, &tag, 1);
  EXPECT_EQ(tag, magmaencrypt_ni(0, v.key.w));
  for (const Path &p : paths()) {
    // Empty plaintext with associated data, and data without associated data.
    uint64_t t1, t2;
    p.run(v.key.w, nullptr, 0, &v.nonce, v.aad.data(), uint32_t(v.aad.size()), &t1, 1);
    uint64_t ref;
    magmamgm_aead(v.key.w, nullptr, 0, &v.nonce, v.aad.data(), uint32_t(v.aad.size()), &ref, 0);
    EXPECT_EQ(t1, ref) << p.name;
    Bytes d = v.plain;
    p.run(v.key.w, d.data(), uint32_t(d.size()), &v.nonce, nullptr, 0, &t2, 1);
    p.run(v.key.w, d.data(), uint32_t(d.size()), &v.nonce, nullptr, 0, &t1, 0);
    EXPECT_EQ(d, v.plain) << p.name;
    EXPECT_EQ(t1, t2) << p.name;
  }
  // Bytes after len and aadlen change neither the data nor the tag; the
  // nonce's top bit is ignored.
  Bytes d1 = pattern(21, 1), d2 = d1, a1 = pattern(13, 2), a2 = a1;
  d2.push_back(0xEE);
  a2.push_back(0x77);
  uint64_t t1, t2, n2 = v.nonce | (1ull << 63);
  magmamgm_aead(v.key.w, d1.data(), 21, &v.nonce, a1.data(), 13, &t1, 1);
  magmamgm_aead(v.key.w, d2.data(), 21, &n2, a2.data(), 13, &t2, 1);
  EXPECT_EQ(t1, t2);
  EXPECT_EQ(to_hex(d1), to_hex(d2.data(), 21));
  EXPECT_EQ(d2[21], 0xEE);
}

TEST(MagmaMgm, PathsAgreeOnEveryShape) {
  if (!magma_support_fast_MGM()) GTEST_SKIP() << "no PCLMULQDQ/SSSE3: one path only";
  const Key k = mgm_example().key;
  const uint64_t nonce = 0x0123456789abcdefull;
  for (uint32_t len : {0u, 1u, 7u, 8u, 9u, 63u, 64u, 65u, 255u, 256u, 257u, 1408u, 2051u}) {
    for (uint32_t aadlen : {0u, 3u, 8u, 14u, 19u, 300u}) {
      const Bytes plain = pattern(len, uint8_t(len)), aad = pattern(aadlen, uint8_t(aadlen + 1));
      Bytes a = plain, b = plain;
      uint64_t ta, tb;
      mgm_portable_path(k.w, a.data(), len, &nonce, aad.data(), aadlen, &ta, 1);
      mgm_vector_path(k.w, b.data(), len, &nonce, aad.data(), aadlen, &tb, 1);
      ASSERT_EQ(a, b) << len << "/" << aadlen;
      ASSERT_EQ(ta, tb) << len << "/" << aadlen;
      mgm_vector_path(k.w, b.data(), len, &nonce, aad.data(), aadlen, &tb, 0);
      ASSERT_EQ(b, plain);
      ASSERT_EQ(ta, tb);
    }
  }
}

TEST(MagmaMgm, UnalignedBuffersGiveTheSameBytes) {
  const Native v = mgm_example();
  for (const Path &p : paths()) {
    for (int off = 1; off < 8; ++off) {
      alignas(16) uint8_t data[96], aad[64], nonce[16], tag[16];
      std::memcpy(data + off, v.plain.data(), v.plain.size());
      std::memcpy(aad + off, v.aad.data(), v.aad.size());
      std::memcpy(nonce + off, &v.nonce, 8);
      p.run(v.key.w, data + off, uint32_t(v.plain.size()),
            reinterpret_cast<const uint64_t *>(nonce + off), aad + off, uint32_t(v.aad.size()),
            reinterpret_cast<uint64_t *>(tag + off), 1);
      EXPECT_EQ(to_hex(data + off, v.cipher.size()), to_hex(v.cipher)) << p.name << " " << off;
      uint64_t t;
      std::memcpy(&t, tag + off, 8);
      EXPECT_EQ(t, v.tag) << p.name << " " << off;
    }
  }
}

// Many messages under one key at once: each gets the bytes and tag of its
// own call, for groups that do not fill the passes evenly, associated data
// short and long, empty parts and both directions.
TEST(MagmaMgm, ManyMessagesGiveWhatEachGetsAlone) {
  const Key k = mgm_example().key;
  const uint32_t lens[] = {0, 1, 7, 8, 9, 64, 65, 1408, 1459, 2051};
  const uint32_t aadlens[] = {0, 3, 14, 32, 33, 300};
  for (uint32_t count : {1u, 5u, 33u, 70u}) {
    std::vector<Bytes> data, aad, single;
    std::vector<uint64_t> tags;
    std::vector<MgmMessage> msgs;
    for (uint32_t j = 0; j < count; j++) {
      const uint32_t len = lens[j % 10], aadlen = aadlens[j % 6];
      data.push_back(pattern(len, uint8_t(j)));
      aad.push_back(pattern(aadlen, uint8_t(j + 7)));
    }
    single = data;
    for (uint32_t j = 0; j < count; j++) {
      const uint64_t nonce = 0x1000000000000000ull * (j % 3) + j;
      uint64_t tag;
      magmamgm_aead(k.w, single[j].data(), uint32_t(single[j].size()), &nonce, aad[j].data(),
                    uint32_t(aad[j].size()), &tag, 1);
      tags.push_back(tag);
      msgs.push_back({data[j].data(), uint32_t(data[j].size()), nonce, aad[j].data(),
                      uint32_t(aad[j].size()), 0});
    }
    magmamgm_aead_many(k.w, msgs.data(), count, 1);
    for (uint32_t j = 0; j < count; j++) {
      ASSERT_EQ(data[j], single[j]) << count << " messages, message " << j;
      ASSERT_EQ(msgs[j].tag, tags[j]) << count << " messages, message " << j;
    }
    magmamgm_aead_many(k.w, msgs.data(), count, 0);
    for (uint32_t j = 0; j < count; j++) {
      EXPECT_EQ(data[j], pattern(uint32_t(data[j].size()), uint8_t(j))) << "opened " << j;
      EXPECT_EQ(msgs[j].tag, tags[j]) << "the tag over the same ciphertext " << j;
    }
  }
}
