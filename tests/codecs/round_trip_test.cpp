// Round trips through compressor and decompressor streams of every variant.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "kernel/codecs/block_compressor.h"
#include "tests/codecs/codec_api.h"
#include "tests/codecs/test_data.h"

namespace zor::codecs::test {
namespace {

size_t variant_index(const Api &api) {
  for (size_t i = 0; i < std::size(kApis); ++i)
    if (api_name(kApis[i]) == api.name) return i;
  return 0;
}

bool is_stored(const Bytes &block) { return (block[1] & 0x80) != 0; }
uint32_t length_field(const Bytes &block) { return block[0] | (block[1] & 0x7F) << 8; }

class RoundTrip : public ::testing::TestWithParam<std::tuple<Api, Kind>> {
 protected:
  const Api &api() const { return std::get<0>(GetParam()); }
  Kind kind() const { return std::get<1>(GetParam()); }
  uint32_t block_size() const { return api().comp_sizeblock(); }
};

// One block in a fresh stream for each length at the edges, and the sizes
// the result and the decompressor report.
TEST_P(RoundTrip, SingleBlockAtEveryEdgeLength) {
  uint32_t s = block_size();
  std::vector<uint32_t> lengths;
  for (uint32_t n = 1; n <= 40; ++n) lengths.push_back(n);
  for (uint32_t n = s - 40; n <= s; ++n) lengths.push_back(n);
  lengths.push_back(s / 2 + 1);
  for (uint32_t n : lengths) {
    SCOPED_TRACE(n);
    Bytes plain = make_data(kind(), n, n);
    Compressor comp(api());
    Decompressor decomp(api());
    Bytes block = comp.compress(plain);
    ASSERT_EQ(length_field(block), n);
    ASSERT_EQ(decomp.decompress(block), plain);
    if (is_stored(block)) {
      EXPECT_EQ(block.size(), n + 2u);
    } else {
      EXPECT_LT(block.size(), n + 2u);
      EXPECT_EQ(api().uncomp_comp_size(decomp.work()), block.size());
    }
  }
}

// A long stream of blocks of mixed lengths, each coded against the ones
// before it, the full block size included.
TEST_P(RoundTrip, MultiBlockStream) {
  Compressor comp(api());
  Decompressor decomp(api());
  uint32_t s = block_size();
  const uint32_t lengths[] = {s, 1, 3, s - 1, 777, s, 2, s, s / 3, s};
  uint32_t seed = 100;
  for (uint32_t n : lengths) {
    SCOPED_TRACE(n);
    Bytes plain = make_data(kind(), n, seed++);
    Bytes block = comp.compress(plain);
    ASSERT_EQ(decomp.decompress(block), plain);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, RoundTrip,
    ::testing::Combine(::testing::ValuesIn(kApis),
                       ::testing::Values(Kind::kRandom, Kind::kRepetitive, Kind::kZero,
                                         Kind::kText, Kind::kSkewed)),
    [](const auto &info) {
      return api_name(std::get<0>(info.param)) + "_" + kind_name(std::get<1>(info.param));
    });

class Stream : public ::testing::TestWithParam<Api> {
 protected:
  const Api &api() const { return GetParam(); }
  Bytes text(uint32_t n, uint32_t seed) const { return make_data(Kind::kText, n, seed); }

  // After one block and `between`, the same block again codes as a stream's
  // first block (it would match its earlier copy otherwise) and decodes.
  void expect_new_stream_after(const std::function<void(Compressor &, Decompressor &)> &between) {
    Compressor comp(api()), fresh(api());
    Decompressor decomp(api());
    Bytes plain = text(700, 5);
    ASSERT_EQ(decomp.decompress(comp.compress(plain)), plain);
    ASSERT_NO_FATAL_FAILURE(between(comp, decomp));
    Bytes block = comp.compress(plain);
    EXPECT_EQ(block, fresh.compress(plain));
    EXPECT_EQ(decomp.decompress(block), plain);
  }
};

TEST_P(Stream, GettersGiveTheParameterTable) {
  struct Row {
    uint32_t sizeblock, maxsize, comp_work, uncomp_work, save, comp_in, comp_out, uncomp_in,
        uncomp_out;
  };
  const Row rows[] = {
      {1024, 1026, 26340, 10928, 6504, 3072, 4098, 4112, 3072},
      {2048, 2050, 29412, 12976, 6504, 3072, 5122, 5136, 3072},
      {8704, 8706, 63264, 30748, 10964, 7530, 16236, 16250, 7530},
  };
  const Row &r = rows[variant_index(api())];
  EXPECT_EQ(api().comp_sizeblock(), r.sizeblock);
  EXPECT_EQ(api().uncomp_sizeblock(), r.sizeblock);
  EXPECT_EQ(api().uncomp_maxsize(), r.maxsize);
  EXPECT_EQ(api().comp_worksize(), r.comp_work);
  EXPECT_EQ(api().uncomp_worksize(), r.uncomp_work);
  EXPECT_EQ(api().comp_savesize(), r.save);
  EXPECT_EQ(api().uncomp_savesize(), r.save);
  EXPECT_EQ(api().comp_input(), r.comp_in);
  EXPECT_EQ(api().comp_output(), r.comp_out);
  EXPECT_EQ(api().uncomp_input(), r.uncomp_in);
  EXPECT_EQ(api().uncomp_output(), r.uncomp_out);
}

TEST_P(Stream, CompressorRefusesLengthsOutsideTheBlock) {
  Compressor comp(api());
  Bytes before(static_cast<uint8_t *>(comp.work()),
               static_cast<uint8_t *>(comp.work()) + api().comp_worksize());
  EXPECT_EQ(api().comp_block(comp.work(), 0), 0u);
  EXPECT_EQ(api().comp_block(comp.work(), api().comp_sizeblock() + 1), kFail);
  EXPECT_EQ(api().comp_block(comp.work(), 0xFFFFFFFFu), kFail);
  EXPECT_EQ(0, std::memcmp(before.data(), comp.work(), before.size()));
  EXPECT_EQ(api().comp_block(nullptr, 5), 0u);
  EXPECT_EQ(api().uncomp_block(nullptr), 0u);
  api().comp_new_buf(nullptr);
  api().uncomp_new_buf(nullptr);
}

// A one-byte block is always stored; a stored block starts a new stream on
// the compressor's side, so the block after it codes as a first block.
TEST_P(Stream, StoredBlockStartsANewStream) {
  Compressor comp(api());
  EXPECT_EQ(comp.compress(Bytes{0x41}), (Bytes{0x01, 0x80, 0x41}));
  Bytes random = make_data(Kind::kRandom, 300, 1);
  Bytes stored = comp.compress(random);
  ASSERT_TRUE(is_stored(stored));
  EXPECT_EQ(Bytes(stored.begin() + 2, stored.end()), random);

  Compressor fresh(api());
  Bytes first = text(500, 2);
  Bytes after_stored = comp.compress(first);
  EXPECT_FALSE(is_stored(after_stored));
  EXPECT_EQ(after_stored, fresh.compress(first));
}

// Block k + 1 of a stream codes and decodes the same whether or not other
// streams ran in the same work areas between blocks k and k + 1.
TEST_P(Stream, SaveAndRestoreInterleaveStreams) {
  const uint32_t n = api().comp_sizeblock() / 2;
  Compressor straight(api()), shared(api());
  Decompressor decomp_shared(api());
  Bytes comp_save_a(api().comp_savesize()), comp_save_b(api().comp_savesize());
  Bytes uncomp_save_a(api().uncomp_savesize()), uncomp_save_b(api().uncomp_savesize());
  api().comp_new_save(comp_save_b.data());
  api().uncomp_new_save(uncomp_save_b.data());
  for (uint32_t k = 0; k < 6; ++k) {
    SCOPED_TRACE(k);
    Bytes a = text(n, 10 + k), b = make_data(Kind::kRepetitive, n, 20 + k);
    Bytes expected = straight.compress(a);

    // Stream A's block, then stream B's, in the same work areas.
    Bytes block_a = shared.compress(a);
    ASSERT_EQ(block_a, expected);
    ASSERT_EQ(decomp_shared.decompress(block_a), a);
    api().comp_save(comp_save_a.data(), shared.work());
    api().uncomp_save(uncomp_save_a.data(), decomp_shared.work());

    api().comp_restore(shared.work(), comp_save_b.data());
    api().uncomp_restore(decomp_shared.work(), uncomp_save_b.data());
    ASSERT_EQ(decomp_shared.decompress(shared.compress(b)), b);
    api().comp_save(comp_save_b.data(), shared.work());
    api().uncomp_save(uncomp_save_b.data(), decomp_shared.work());

    api().comp_restore(shared.work(), comp_save_a.data());
    api().uncomp_restore(decomp_shared.work(), uncomp_save_a.data());
  }
}

TEST_P(Stream, NewSaveRestoresToANewStream) {
  expect_new_stream_after([&](Compressor &comp, Decompressor &decomp) {
    Bytes save(api().comp_savesize()), usave(api().uncomp_savesize());
    api().comp_save(save.data(), comp.work());
    api().uncomp_save(usave.data(), decomp.work());
    api().comp_new_save(save.data());
    api().uncomp_new_save(usave.data());
    api().comp_restore(comp.work(), save.data());
    api().uncomp_restore(decomp.work(), usave.data());
  });
}

TEST_P(Stream, NewBufStartsANewStream) {
  expect_new_stream_after([&](Compressor &comp, Decompressor &decomp) {
    api().comp_new_buf(comp.work());
    api().uncomp_new_buf(decomp.work());
  });
}

// A save area whose tree was damaged restores as a new stream instead of
// sending the coder through links that lead outside its tables. The save
// area holds the history, then the 571 child links and 571 frequencies.
TEST_P(Stream, DamagedSaveAreaRestoresAsNewStream) {
  const uint32_t links = api().comp_input();
  auto flip = [](uint32_t at) { return [at](Bytes &save) { save[at] ^= 0x5A; }; };
  // An inner node turned into a second leaf of the symbol at position 0:
  // every symbol still has a leaf, but the node's children hang loose.
  auto second_leaf = [links](Bytes &save) {
    ASSERT_LT(save[links + 2 * 569] | save[links + 2 * 569 + 1] << 8, 571);
    save[links + 2 * 569] = save[links];
    save[links + 2 * 569 + 1] = save[links + 1];
  };
  const std::function<void(Bytes &)> damages[] = {
      flip(links),         flip(links + 1),        flip(links + 300),
      flip(links + 1141),  flip(links + 1142),     flip(links + 2283),
      second_leaf,
  };
  for (size_t d = 0; d < std::size(damages); ++d) {
    SCOPED_TRACE(d);
    expect_new_stream_after([&](Compressor &comp, Decompressor &decomp) {
      Bytes save(api().comp_savesize()), usave(api().uncomp_savesize());
      api().comp_save(save.data(), comp.work());
      api().uncomp_save(usave.data(), decomp.work());
      ASSERT_NO_FATAL_FAILURE(damages[d](save));
      ASSERT_NO_FATAL_FAILURE(damages[d](usave));
      api().comp_restore(comp.work(), save.data());
      api().uncomp_restore(decomp.work(), usave.data());
    });
  }
}

// Once a stream's blocks have raised the root's count to the reset
// threshold, the next block codes from the initial tree: a block that can
// match nothing in the history then comes out as it would first in a stream.
TEST_P(Stream, LongStreamRestartsTheTreeAtTheThreshold) {
  const CodecVariant &v = *api().variant;
  Compressor comp(api());
  Decompressor decomp(api());
  auto root = [&] { return compressor_state(v, static_cast<uint8_t *>(comp.work())).tree.freq[kTreeRoot]; };
  for (uint32_t seed = 0; root() < v.reset_threshold(); ++seed) {
    ASSERT_LT(seed, 500u);
    Bytes plain = make_data(Kind::kSkewed, api().comp_sizeblock(), seed);
    Bytes block = comp.compress(plain);
    ASSERT_FALSE(is_stored(block));
    ASSERT_EQ(decomp.decompress(block), plain);
  }
  Bytes high = text(api().comp_sizeblock(), 9);
  for (auto &b : high) b |= 0x80;  // the history holds bytes below 0x80 only
  Bytes block = comp.compress(high);
  EXPECT_EQ(block, Compressor(api()).compress(high));
  EXPECT_EQ(decomp.decompress(block), high);
}

INSTANTIATE_TEST_SUITE_P(Codecs, Stream, ::testing::ValuesIn(kApis),
                         [](const auto &info) { return api_name(info.param); });

}  // namespace
}  // namespace zor::codecs::test
