#include "kernel/codecs/stream_state.h"

#include "byte_order.h"
#include "kern_host.h"

namespace zor::codecs {
namespace {

uint8_t *put_u16(uint8_t *p, uint16_t value) {
  store_le16(p, value);
  return p + 2;
}

const uint8_t *get_u16(const uint8_t *p, uint16_t &value) {
  value = load_le16(p);
  return p + 2;
}

uint32_t save_flag_offset(const CodecVariant &v) { return save_area_need(v) - 1; }

}  // namespace

void stream_new(StreamState &state) {
  state.has_stream = 0;
  state.history_valid = 0;
}

void stream_begin_block(StreamState &state, const CodecVariant &v) {
  if (!state.has_stream) {
    state.history_valid = 0;
    tree_init(state.tree);
  } else if (state.tree.freq[kTreeRoot] >= v.reset_threshold()) {
    tree_init(state.tree);
  }
}

void stream_end_block(StreamState &state, const CodecVariant &v, uint8_t *work,
                      uint32_t length) {
  memmove(work, work + length, v.history);
  uint32_t valid = state.history_valid + length;
  state.history_valid = static_cast<uint16_t>(valid < v.history ? valid : v.history);
  state.has_stream = 1;
}

void stream_save(uint8_t *save, const StreamState &state, const CodecVariant &v,
                 const uint8_t *work) {
  memcpy(save, work, v.history);
  uint8_t *p = save + v.history;
  for (unsigned n = 0; n < kTreeNodes; ++n) p = put_u16(p, state.tree.child[n]);
  for (unsigned n = 0; n < kTreeNodes; ++n) p = put_u16(p, state.tree.freq[n]);
  p = put_u16(p, state.history_valid);
  *p = state.has_stream;
}

void stream_restore(StreamState &state, const CodecVariant &v, uint8_t *work,
                    const uint8_t *save) {
  memcpy(work, save, v.history);
  const uint8_t *p = save + v.history;
  for (unsigned n = 0; n < kTreeNodes; ++n) p = get_u16(p, state.tree.child[n]);
  for (unsigned n = 0; n < kTreeNodes; ++n) p = get_u16(p, state.tree.freq[n]);
  p = get_u16(p, state.history_valid);
  state.has_stream = *p != 0;
  if (!state.has_stream) return;
  if (state.history_valid > v.history || !tree_rebuild_links(state.tree)) stream_new(state);
}

void stream_new_save(uint8_t *save, const CodecVariant &v) {
  save[save_flag_offset(v)] = 0;
}

}  // namespace zor::codecs
