#include "kernel/codecs/block_decompressor.h"

#include "kernel/codecs/bit_stream.h"
#include "kernel/codecs/position_code.h"

namespace zor::codecs {
namespace {

// Walks from the root to a leaf, one bit per level, then counts the symbol.
// Returns kSymbols when the stream's room runs out first.
unsigned get_symbol(BitReader &in, CodeTree &tree) {
  unsigned p = kTreeRoot;
  unsigned c = tree.child[p];
  while (c < kLeafLink) {
    unsigned bit;
    if (!in.get(bit)) return kSymbols;
    p = c + bit;
    c = tree.child[p];
  }
  tree_update(tree, p);
  return c - kLeafLink;
}

// The position value; false for a cut stream or an unused code pattern.
bool get_position(BitReader &in, uint32_t &value) {
  uint32_t code = 0;
  unsigned length = 0;
  for (const PositionCodeClass &c : kPositionCodeClasses) {
    uint32_t more;
    if (!in.get(c.length - length, more)) return false;
    code = code << (c.length - length) | more;
    length = c.length;
    uint32_t first = compress_cod_poi[c.first] >> (16 - length);
    if (code - first < c.count) {
      uint32_t low;
      if (!in.get(kPositionLowBits, low)) return false;
      value = (c.first + code - first) << kPositionLowBits | low;
      return true;
    }
  }
  return false;
}

}  // namespace

uint32_t decompress_block(const CodecVariant &v, uint8_t *work) {
  if (work == nullptr) return 0;
  StreamState &state = decompressor_state(v, work);
  const uint8_t *block = work + v.uncomp_input();
  uint32_t length = block[0] | static_cast<uint32_t>(block[1]) << 8;
  if (length == 0 || length > v.block_size) return kFailure;
  stream_begin_block(state, v);
  BitReader in{block + kLengthFieldSize, v.stream_room_bits()};
  uint32_t start = v.uncomp_output(), end = start + length;
  uint32_t first_valid = start - state.history_valid;
  for (uint32_t out = start; out < end;) {
    if (in.pos >= v.item_start_limit_bits()) return kFailure;
    unsigned symbol = get_symbol(in, state.tree);
    if (symbol < kLiteralSymbols) {
      work[out++] = static_cast<uint8_t>(symbol);
      continue;
    }
    uint32_t value;
    if (symbol >= kSymbols || !get_position(in, value) || in.pos >= v.stream_room_bits())
      return kFailure;
    uint32_t distance = value + 1, count = symbol - kMatchSymbolBias;
    if (distance > out - first_valid || count > end - out) return kFailure;
    for (const uint8_t *from = work + out - distance; count > 0; --count) work[out++] = *from++;
  }
  state.last_comp_size = static_cast<uint16_t>(kLengthFieldSize + in.bytes_used());
  stream_end_block(state, v, work, length);
  return length;
}

}  // namespace zor::codecs
