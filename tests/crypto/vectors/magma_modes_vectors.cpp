// Magma's modes, every path: CTR through its standard-order and native entry
// points and the many-block engine's table and AVX-512 bodies; OFB through
// its three entry points; the MAC in both byte orders; CTR-ACPKM.
#include <cstring>

#include "crypto/magma.h"
#include "crypto/magma_blocks.h"
#include "crypto/magma_cmac.h"
#include "crypto/magma_modes.h"
#include "tests/crypto/test_bytes.h"
#include "tests/crypto/vectors/runner.h"
#include "tests/crypto/vectors/vector_file.h"

namespace zor::test {
namespace {

using zor::crypto::CounterHalf;

// CTR: the ciphertext of plain (standard order) under key and the 32-bit iv.
struct CtrPath {
  PathInfo info;
  Bytes (*run)(const Key &k, uint32_t iv, const Bytes &plain);
};

// The keystream from the many-block engine: block i is E(iv || i), written
// most significant byte first.
Bytes ctr_by_engine(const Key &k, uint32_t iv, const Bytes &plain, bool wide) {
  const size_t n = (plain.size() + 7) / 8;
  std::vector<uint64_t> ks(n);
  zor::crypto::magma_counter_blocks(k.w, uint64_t(iv) << 32, CounterHalf::kLow, ks.data(), n, wide);
  Bytes out = plain;
  for (size_t i = 0; i < out.size(); ++i) out[i] ^= uint8_t(ks[i / 8] >> (56 - 8 * (i % 8)));
  return out;
}

const CtrPath kCtrPaths[] = {
    {{"msb", nullptr},
     [](const Key &k, uint32_t iv, const Bytes &plain) {
       Bytes d = plain;
       magma_ctr_msb(iv, k.w, d.data(), int32_t(d.size()));
       return d;
     }},
    // Native order: blocks as little-endian values; a later start of the
    // counter continues the same stream.
    {{"native", nullptr},
     [](const Key &k, uint32_t iv, const Bytes &plain) {
       Bytes d = reverse_groups(plain, 8);
       magma_ctr(iv, 0, k.w, d.data(), int32_t(d.size()));
       Bytes later = reverse_groups(plain, 8);
       magma_ctr(iv, 2, k.w, later.data() + 16, int32_t(later.size() - 16));
       EXPECT_EQ(to_hex(later.data() + 16, later.size() - 16), to_hex(d.data() + 16, d.size() - 16))
           << "started at block 2";
       return reverse_groups(d, 8);
     }},
    {{"engine_table", nullptr},
     [](const Key &k, uint32_t iv, const Bytes &plain) { return ctr_by_engine(k, iv, plain, false); }},
    {{"engine_avx512", no_avx512_vbmi},
     [](const Key &k, uint32_t iv, const Bytes &plain) { return ctr_by_engine(k, iv, plain, true); }},
};

class MagmaCtrVectors : public PathRunner<kCtrPaths> {};

TEST_P(MagmaCtrVectors, EveryRecord) {
  for (const VectorRecord &r : read_vectors("magma_ctr.txt")) {
    SCOPED_TRACE(r.where());
    const Bytes got = this_path().run(key_words(r.text("key")), uint32_t(r.number("iv")),
                                            r.bytes("plain"));
    EXPECT_EQ(to_hex(got), to_hex(r.bytes("cipher")));
  }
}

ZOR_VECTOR_RUNNER(MagmaCtrVectors, kCtrPaths);

// OFB: one 64-bit chain from iv over the blocks in native order.
struct OfbPath {
  PathInfo info;
  void (*run)(const Key &k, uint64_t iv, uint8_t *blocks, uint32_t len);
};

const OfbPath kOfbPaths[] = {
    {{"ofb", nullptr},
     [](const Key &k, uint64_t iv, uint8_t *d, uint32_t len) { magma_ofb(k.w, d, len, &iv); }},
    // The IV in front of the data, left as it is.
    {{"iv_in_front", nullptr},
     [](const Key &k, uint64_t iv, uint8_t *d, uint32_t len) {
       Bytes framed(8 + len);
       std::memcpy(framed.data(), &iv, 8);
       std::memcpy(framed.data() + 8, d, len);
       EncipherData8MAGMAOFB(k.w, framed.data(), 8 + len);
       EXPECT_EQ(std::memcmp(framed.data(), &iv, 8), 0) << "IV left as it is";
       std::memcpy(d, framed.data() + 8, len);
     }},
    {{"iv_words", nullptr},
     [](const Key &k, uint64_t iv, uint8_t *d, uint32_t len) {
       EncipherData8SAMAGMAOFB(k.w, d, len / 8, uint32_t(iv), uint32_t(iv >> 32));
     }},
};

class MagmaOfbVectors : public PathRunner<kOfbPaths> {};

TEST_P(MagmaOfbVectors, EveryRecord) {
  const OfbPath &p = this_path();
  for (const VectorRecord &r : read_vectors("magma_ofb.txt")) {
    SCOPED_TRACE(r.where());
    const Key k = key_words(r.text("key"));
    const Bytes plain = reverse_groups(r.bytes("plain"), 8), cipher = reverse_groups(r.bytes("cipher"), 8);
    ASSERT_EQ(plain.size(), 32u);
    const uint64_t iv[2] = {r.number("iv1"), r.number("iv2")};
    for (int chain = 0; chain < 2; ++chain) {
      // Blocks chain and chain + 2 of the example.
      uint8_t buf[16];
      std::memcpy(buf, plain.data() + 8 * chain, 8);
      std::memcpy(buf + 8, plain.data() + 16 + 8 * chain, 8);
      p.run(k, iv[chain], buf, 16);
      EXPECT_EQ(to_hex(buf, 8), to_hex(cipher.data() + 8 * chain, 8)) << "chain " << chain;
      EXPECT_EQ(to_hex(buf + 8, 8), to_hex(cipher.data() + 16 + 8 * chain, 8)) << "chain " << chain;
      p.run(k, iv[chain], buf, 16);
      EXPECT_EQ(to_hex(buf, 8), to_hex(plain.data() + 8 * chain, 8)) << "its own inverse";
    }
  }
}

ZOR_VECTOR_RUNNER(MagmaOfbVectors, kOfbPaths);

// The MAC: its 8 bytes in the standard's order.
struct MacPath {
  PathInfo info;
  Bytes (*run)(const Bytes &key, const Bytes &msg);
};

// Returns the MAC and checks that the return value is its bytes read
// little-endian.
Bytes msb_result(uint64_t ret, const uint8_t out[8]) {
  uint64_t as_le;
  std::memcpy(&as_le, out, 8);
  EXPECT_EQ(ret, as_le) << "the returned value";
  return Bytes(out, out + 8);
}

const MacPath kMacPaths[] = {
    {{"msb", nullptr},
     [](const Bytes &key, const Bytes &msg) {
       uint8_t out[8];
       return msb_result(magma_cmac_msb(key.data(), msg.data(), uint32_t(msg.size()), out), out);
     }},
    {{"msb_key_words", nullptr},
     [](const Bytes &key, const Bytes &msg) {
       const Key k = key_words(to_hex(key));
       uint8_t out[8];
       return msb_result(magma_cmac_msb_keylsb(k.w, msg.data(), uint32_t(msg.size()), out), out);
     }},
    // Native: each block reversed gives the reversed MAC, whose halves the
    // prefix functions give.
    {{"native", nullptr},
     [](const Bytes &key, const Bytes &msg) {
       const Key k = key_words(to_hex(key));
       const Bytes native = reverse_groups(msg, 8);
       uint8_t mac[8];
       magma_cmac(k.w, native.data(), uint32_t(native.size()), mac);
       const Bytes standard = reverse_groups(Bytes(mac, mac + 8), 8);
       uint32_t hi = 0, lo = 0;
       for (int i = 0; i < 4; ++i) {
         hi = hi << 8 | standard[i];
         lo = lo << 8 | standard[4 + i];
       }
       EXPECT_EQ(ImPrefixMAGMA(k.w, native.data(), uint32_t(native.size())), hi) << "high half";
       EXPECT_EQ(ImPrefixMAGMAStoreLO(), lo) << "low half";
       return standard;
     }},
};

class MagmaMacVectors : public PathRunner<kMacPaths> {};

TEST_P(MagmaMacVectors, EveryRecord) {
  for (const VectorRecord &r : read_vectors("magma_cmac.txt")) {
    SCOPED_TRACE(r.where());
    EXPECT_EQ(to_hex(this_path().run(r.bytes("key"), r.bytes("plain"))), to_hex(r.bytes("mac")));
  }
}

ZOR_VECTOR_RUNNER(MagmaMacVectors, kMacPaths);

// CTR-ACPKM: the example and its prefixes (a partial section, a partial
// block); the key is left as it is.
const struct AcpkmPath {
  PathInfo info;
} kAcpkmPaths[] = {{{"msb_tss", nullptr}}};

class MagmaAcpkmVectors : public PathRunner<kAcpkmPaths> {};

TEST_P(MagmaAcpkmVectors, EveryRecord) {
  for (const VectorRecord &r : read_vectors("magma_ctr_acpkm.txt")) {
    SCOPED_TRACE(r.where());
    const Bytes key = r.bytes("key"), plain = r.bytes("plain"), cipher = r.bytes("cipher");
    const Bytes iv_bytes = r.bytes("iv");
    ASSERT_EQ(iv_bytes.size(), 4u);
    uint32_t iv;
    std::memcpy(&iv, iv_bytes.data(), 4);
    for (size_t len : {plain.size(), size_t(61), size_t(16), size_t(19)}) {
      Bytes data(plain.begin(), plain.begin() + len);
      const Bytes key_before = key;
      magma_ctracpkm_msb_tss(iv, key.data(), data.data(), int32_t(len));
      EXPECT_EQ(to_hex(data), to_hex(Bytes(cipher.begin(), cipher.begin() + len))) << len;
      EXPECT_EQ(key, key_before);
    }
  }
}

ZOR_VECTOR_RUNNER(MagmaAcpkmVectors, kAcpkmPaths);

}  // namespace
}  // namespace zor::test
