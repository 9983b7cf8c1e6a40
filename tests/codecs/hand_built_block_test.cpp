// Blocks written bit by bit from the format's description, not by the
// compressor under test, and what the decompressor must make of them.
#include <gtest/gtest.h>

#include <random>

#include "tests/codecs/codec_api.h"
#include "tests/codecs/reference_encoder.h"

namespace zor::codecs::test {
namespace {

// A literal's code in the initial tree, worked out from its shape: 286
// leaves below a complete binary tree, the 60 lowest positions one level
// deeper than the others.
std::string initial_code(unsigned symbol) {
  return symbol < 60 ? to_bits(452 + symbol, 9) : to_bits(symbol - 60, 8);
}

class HandBuilt : public ::testing::TestWithParam<Api> {
 protected:
  const Api &api() const { return GetParam(); }
  uint32_t block_size() const { return api().uncomp_sizeblock(); }
  uint32_t reset_threshold() const { return 65536 - block_size() - 16; }
  ReferenceEncoder encoder() const { return ReferenceEncoder(reset_threshold()); }

  // Decodes the encoder's next block and checks it gives the plain bytes
  // the encoder meant.
  void expect_decodes(Decompressor &decomp, ReferenceEncoder &enc) {
    Bytes block = enc.finish();
    ASSERT_EQ(decomp.decompress(block), enc.last_plain());
  }
};

TEST_P(HandBuilt, FirstBlocksFollowTheInitialTree) {
  Decompressor decomp(api());
  EXPECT_EQ(decomp.decompress({0x01, 0x00, 0x05}), Bytes{'A'});
  // After "A" the leaves of 'A' and of symbol 285 have changed places.
  api().uncomp_new_buf(decomp.work());
  EXPECT_EQ(decomp.decompress({0x02, 0x00, 0x05, 0xE1}), (Bytes{'A', 'A'}));
  // 'a', then a match of 3 at distance 1: symbol 256, position code 000,
  // low bits 00000.
  api().uncomp_new_buf(decomp.work());
  const Bytes aaaa{0x04, 0x00, 0x25, 0xC4, 0x00};
  EXPECT_EQ(decomp.decompress(aaaa), (Bytes{'a', 'a', 'a', 'a'}));
  EXPECT_EQ(api().uncomp_comp_size(decomp.work()), 5u);
  Compressor comp(api());
  EXPECT_EQ(comp.compress({'a', 'a', 'a', 'a'}), aaaa);

  ReferenceEncoder enc = encoder();
  enc.literal('a');
  enc.match(3, 1);
  EXPECT_EQ(enc.finish(), aaaa);
}

TEST_P(HandBuilt, EveryLiteralDecodesFromTheInitialTree) {
  ReferenceEncoder enc = encoder();
  for (unsigned s = 0; s < 286; ++s) ASSERT_EQ(enc.code_of(s), initial_code(s)) << s;
  Decompressor decomp(api());
  for (unsigned b = 0; b < 256; ++b) {
    std::string bits = initial_code(b);
    bits.resize(16, '0');
    Bytes block{0x01, 0x00, static_cast<uint8_t>(std::stoul(bits.substr(0, 8), nullptr, 2)),
                static_cast<uint8_t>(std::stoul(bits.substr(8), nullptr, 2))};
    api().uncomp_new_buf(decomp.work());
    ASSERT_EQ(decomp.decompress(block), Bytes{static_cast<uint8_t>(b)}) << b;
  }
}

// Matches of every position class the variant's window reaches, with the
// lowest and highest low bits, against history several blocks back.
TEST_P(HandBuilt, MatchesReachEveryPositionClass) {
  ReferenceEncoder enc = encoder();
  Decompressor decomp(api());
  std::mt19937 rng(7);
  const uint32_t history = api().uncomp_output();
  uint32_t produced = 0;
  while (produced < history) {
    for (uint32_t i = 0; i < block_size() / 2; ++i) enc.literal(static_cast<uint8_t>(rng()));
    produced += block_size() / 2;
    ASSERT_NO_FATAL_FAILURE(expect_decodes(decomp, enc));
  }
  unsigned reached = 0;
  uint32_t in_block = 0;
  for (unsigned v = 0; v < 256; ++v) {
    for (unsigned low : {0u, 31u, v % 32}) {
      if (in_block + 3 > block_size() || enc.bit_count() + 40 > 8 * block_size() - 1) {
        ASSERT_NO_FATAL_FAILURE(expect_decodes(decomp, enc));
        in_block = 0;
      }
      uint32_t distance = v * 32 + low + 1;
      if (distance > history + in_block) continue;
      enc.match(3, distance);
      in_block += 3;
      reached = v;
    }
  }
  ASSERT_NO_FATAL_FAILURE(expect_decodes(decomp, enc));
  // The 8x7 window reaches the 11-bit codes; the others stop below them.
  EXPECT_GE(reached, block_size() > 4096 ? 255u : 90u);
}

TEST_P(HandBuilt, LongestLengthAndCopiesCloserThanTheirLength) {
  ReferenceEncoder enc = encoder();
  Decompressor decomp(api());
  enc.literal('x');
  enc.literal('y');
  enc.match(32, 2);  // symbol 285 stands for exactly 32 bytes
  enc.match(32, 1);
  enc.literal('z');
  enc.match(17, 3);
  enc.match(3, 40);
  expect_decodes(decomp, enc);
}

// Decodes `blocks` one after the other in a fresh stream; the results.
std::vector<uint32_t> decode_all(const Api &api, const std::vector<Bytes> &blocks) {
  Decompressor decomp(api);
  std::vector<uint32_t> results;
  for (const Bytes &b : blocks) results.push_back(decomp.decode(b));
  return results;
}

TEST_P(HandBuilt, MatchesOutsideTheirBoundsAreRefused) {
  const uint32_t f = kFail;
  {  // The first block has no byte before its own.
    ReferenceEncoder enc = encoder();
    enc.literal('a');
    enc.match(3, 2);
    EXPECT_EQ(decode_all(api(), {enc.finish()}), std::vector<uint32_t>{f});
  }
  {  // A match may not run past the block's length.
    ReferenceEncoder enc = encoder();
    enc.literal('a');
    enc.match(3, 1);
    EXPECT_EQ(decode_all(api(), {enc.finish(3)}), std::vector<uint32_t>{f});
  }
  // In a second block, sources reach back to the first block's first byte.
  for (uint32_t extra : {0u, 1u}) {
    ReferenceEncoder enc = encoder();
    for (uint8_t b : {'h', 'i', 's', 't', 'o', 'r', 'y', '!', '?', '.'}) enc.literal(b);
    Bytes first = enc.finish();
    enc.literal('n');
    enc.literal('e');
    enc.match(4, 12 + extra);
    Bytes second = enc.finish();
    EXPECT_EQ(decode_all(api(), {first, second}),
              (std::vector<uint32_t>{10, extra == 0 ? 6u : f}))
        << extra;
  }
}

TEST_P(HandBuilt, LengthFieldMustBeOneToTheBlockSize) {
  const uint32_t s = block_size(), f = kFail;
  ReferenceEncoder enc = encoder();
  enc.literal('q');
  for (uint32_t n = 1; n < s; n += 32) enc.match(n + 32 <= s ? 32 : s - n, 1);
  Bytes full = enc.finish();
  ASSERT_EQ(decode_all(api(), {full}), std::vector<uint32_t>{s});

  enc.literal('r');
  Bytes next = enc.finish();
  // A refused length field leaves the stream as it was: the next block
  // still decodes.
  for (uint32_t field : {0u, s + 1, 0x8001u, 0x8000u | s, 0xFFFFu}) {
    Bytes bad = next;
    bad[0] = static_cast<uint8_t>(field);
    bad[1] = static_cast<uint8_t>(field >> 8);
    EXPECT_EQ(decode_all(api(), {full, bad, next}), (std::vector<uint32_t>{s, f, 1}))
        << field;
  }
}

TEST_P(HandBuilt, UnusedPositionPatternsAreRefused) {
  for (const char *pattern : {"11111111101", "11111111110", "11111111111"}) {
    ReferenceEncoder enc = encoder();
    enc.literal('a');
    enc.literal('b');
    enc.symbol(256);
    enc.raw(std::string(pattern) + "00000");
    EXPECT_EQ(decode_all(api(), {enc.finish(5)}), std::vector<uint32_t>{kFail}) << pattern;
  }
}

// The stream's room of block-size bytes: an item must begin before its last
// bit, may not read past it, and a match must end before it.
TEST_P(HandBuilt, StreamRoomEndsTheBlock) {
  const uint32_t s = block_size(), room = 8 * s;
  // After many 'z's, 'z' takes one bit and every other symbol many.
  ReferenceEncoder enc = encoder();
  std::vector<Bytes> prefix;
  for (int k = 0; k < 4; ++k) {
    for (uint32_t i = 0; i < s; ++i) enc.literal('z');
    prefix.push_back(enc.finish());
  }
  // The stream filled with items up to exactly `bits`.
  auto filled_to = [&](uint32_t bits) {
    ReferenceEncoder e = enc;
    for (uint32_t i = 0; e.bit_count() + 40 < bits; ++i) e.literal(static_cast<uint8_t>(i % 200));
    while (e.bit_count() < bits) e.literal('z');
    return e;
  };
  enum Extra { kNone, kShort, kLong, kMatch };
  auto add = [](ReferenceEncoder &e, Extra extra) {
    if (extra == kShort) e.literal('z');
    if (extra == kLong) e.literal(0xE7);
    if (extra == kMatch) e.match(3, 1);
  };
  ReferenceEncoder probe = filled_to(room - 60);
  size_t before = probe.bit_count();
  add(probe, kMatch);
  const uint32_t match_bits = static_cast<uint32_t>(probe.bit_count() - before);
  struct Case {
    uint32_t fill;
    Extra extra;
    bool ok;
  };
  const Case cases[] = {
      {room - 1, kNone, true},   {room - 2, kShort, true},
      {room - 1, kShort, false},  // begins at the last bit
      {room - 2, kLong, false},   // reads past the room
      {room - match_bits - 1, kMatch, true},
      {room - match_bits, kMatch, false},  // ends at the room's end
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << "fill " << c.fill << " extra " << c.extra);
    ReferenceEncoder e = filled_to(c.fill);
    ASSERT_EQ(e.bit_count(), c.fill);
    ASSERT_EQ(e.code_of('z').size(), 1u);
    add(e, c.extra);
    if (c.extra == kMatch) {
      ASSERT_EQ(e.bit_count(), c.fill + match_bits);
    }
    Bytes block = e.finish();
    uint32_t n = static_cast<uint32_t>(e.last_plain().size());
    ASSERT_LE(n, s);
    std::vector<Bytes> blocks = prefix;
    blocks.push_back(block);
    std::vector<uint32_t> expected(prefix.size(), s);
    expected.push_back(c.ok ? n : kFail);
    EXPECT_EQ(decode_all(api(), blocks), expected);
  }
}

// A failed block leaves the history and the holds-state flag as they were.
TEST_P(HandBuilt, FailedFirstBlockLeavesTheStreamNew) {
  Decompressor decomp(api());
  ReferenceEncoder enc = encoder();
  enc.literal('a');
  enc.literal('b');
  enc.match(3, 5);
  EXPECT_EQ(decomp.decode(enc.finish()), kFail);
  EXPECT_EQ(decomp.decompress({0x01, 0x00, 0x05}), Bytes{'A'});
}

// The tree starts afresh at a block that begins with the root's count at
// the reset threshold, and not one count below it.
TEST_P(HandBuilt, TreeResetsAtTheThreshold) {
  for (uint32_t below : {1u, 0u}) {
    SCOPED_TRACE(below);
    ReferenceEncoder enc = encoder();
    Decompressor decomp(api());
    // The root counts 286 at first and one more per symbol.
    uint32_t symbols = reset_threshold() - below - 286;
    while (symbols > 0) {
      uint32_t n = symbols < block_size() ? symbols : block_size();
      for (uint32_t i = 0; i < n; ++i) enc.literal(static_cast<uint8_t>('a' + i % 4));
      symbols -= n;
      ASSERT_NO_FATAL_FAILURE(expect_decodes(decomp, enc));
    }
    ASSERT_EQ(enc.root_frequency(), reset_threshold() - below);
    enc.literal('A');
    enc.literal('b');
    Bytes block = enc.finish();
    if (below == 0) {
      EXPECT_EQ(block[2], 0x05);  // 'A' in the initial tree
    }
    EXPECT_EQ(decomp.decompress(block), (Bytes{'A', 'b'}));
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, HandBuilt, ::testing::ValuesIn(kApis),
                         [](const auto &info) { return api_name(info.param); });

}  // namespace
}  // namespace zor::codecs::test
