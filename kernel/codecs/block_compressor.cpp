#include "kernel/codecs/block_compressor.h"

#include "kern_host.h"
#include "kernel/codecs/bit_stream.h"
#include "kernel/codecs/match_finder.h"
#include "kernel/codecs/position_code.h"

namespace zor::codecs {
namespace {

void put_length_field(uint8_t *out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

// The symbol's path from the root to its leaf, 0 for the child at the child
// link and 1 for the one after it. Gathered from the leaf up, so the bit
// found first is the code's last; a well-ordered tree of at most 65535 counts
// is far less than 32 levels deep.
void put_symbol(BitWriter &out, CodeTree &tree, unsigned symbol) {
  unsigned leaf = tree.leaf[symbol];
  uint32_t code = 0;
  unsigned n = 0;
  for (unsigned p = leaf; p != kTreeRoot; p = tree.parent[p], ++n)
    code |= static_cast<uint32_t>(p - tree.child[tree.parent[p]]) << n;
  out.put(code, n);
  tree_update(tree, leaf);
}

void put_match(BitWriter &out, CodeTree &tree, const Match &m) {
  put_symbol(out, tree, kMatchSymbolBias + m.length);
  uint32_t value = m.distance - 1;
  uint32_t upper = value >> kPositionLowBits;
  unsigned length = 8 + compress_len_poi[upper];
  out.put(compress_cod_poi[upper] >> (16 - length), length);
  out.put(value & ((1u << kPositionLowBits) - 1), kPositionLowBits);
}

// Codes the block's items; false when the stream would not come out shorter
// than the block.
bool code_block(const CodecVariant &v, uint8_t *work, uint32_t length, StreamState &state,
                BitWriter &out) {
  uint16_t *heads = reinterpret_cast<uint16_t *>(&state + 1);
  uint16_t *chain = heads + (1u << v.hash_bits);
  uint32_t start = v.comp_input(), end = start + length;
  MatchFinder finder(v, work, heads, chain, start - state.history_valid, end);
  finder.insert_history(start);
  for (uint32_t pos = start; pos < end && !out.overflow;) {
    Match m = finder.find(pos);
    if (m.length == 0) {
      put_symbol(out, state.tree, work[pos]);
      finder.insert(pos++);
      continue;
    }
    put_match(out, state.tree, m);
    for (uint32_t stop = pos + m.length; pos < stop; ++pos) finder.insert(pos);
  }
  return !out.overflow;
}

}  // namespace

uint32_t compress_block(const CodecVariant &v, uint8_t *work, uint32_t length) {
  if (work == nullptr || length == 0) return 0;
  if (length > v.block_size) return kFailure;
  StreamState &state = compressor_state(v, work);
  uint8_t *out = work + v.comp_output();
  stream_begin_block(state, v);
  memset(out + kLengthFieldSize, 0, v.block_size);
  BitWriter stream{out + kLengthFieldSize, 8 * (length - 1)};
  if (!code_block(v, work, length, state, stream)) {
    put_length_field(out, length | kStoredFlag);
    memcpy(out + kLengthFieldSize, work + v.comp_input(), length);
    stream_new(state);
    return kLengthFieldSize + length;
  }
  put_length_field(out, length);
  stream_end_block(state, v, work, length);
  return kLengthFieldSize + stream.bytes_used();
}

}  // namespace zor::codecs
