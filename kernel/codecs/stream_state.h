// The stream state in a work area (code tree, valid history, holds-state
// flag), where it lives, how a block begins and ends, and the save area.
//
// Save area layout (either direction, little-endian u16 values):
//   history bytes | 571 child links | 571 frequencies | valid history | flag
// Parent links and leaf positions are rebuilt from the child links when the
// state is restored; a save area whose tree does not check restores as a new
// stream.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "kernel/codecs/block_format.h"
#include "kernel/codecs/code_tree.h"

namespace zor::codecs {

struct StreamState {
  CodeTree tree;
  uint16_t history_valid;   // plain bytes of the stream before this block, <= H
  uint16_t last_comp_size;  // decompressor: size of the last decoded block
  uint8_t has_stream;       // holds-state flag
};

// The state sits at the first suitably aligned byte at or after `offset`.
inline StreamState *stream_state_at(uint8_t *work, uint32_t offset) {
  uintptr_t at = reinterpret_cast<uintptr_t>(work) + offset;
  at = (at + alignof(StreamState) - 1) & ~static_cast<uintptr_t>(alignof(StreamState) - 1);
  return reinterpret_cast<StreamState *>(at);
}
// Bytes a work area needs after `offset` for the state and `extra` bytes.
constexpr uint32_t stream_state_room(uint32_t extra) {
  return alignof(StreamState) - 1 + sizeof(StreamState) + extra;
}

constexpr uint32_t save_area_need(const CodecVariant &v) {
  return v.history + 2 * 2 * kTreeNodes + 2 + 1;
}

void stream_new(StreamState &state);

// Starts a block: a work area without a stream, or whose tree has reached
// the reset threshold, begins again from the initial tree.
void stream_begin_block(StreamState &state, const CodecVariant &v);

// Ends a coded block of `length` plain bytes placed right after the history:
// the last H bytes of history and block become the history.
void stream_end_block(StreamState &state, const CodecVariant &v, uint8_t *work,
                      uint32_t length);

void stream_save(uint8_t *save, const StreamState &state, const CodecVariant &v,
                 const uint8_t *work);
void stream_restore(StreamState &state, const CodecVariant &v, uint8_t *work,
                    const uint8_t *save);
void stream_new_save(uint8_t *save, const CodecVariant &v);

}  // namespace zor::codecs
