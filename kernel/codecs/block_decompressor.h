// Decompresses one block of a stream in the decompressor's work area:
//   0 .. H-1             history
//   uncomp_output()      the plain block (room for block size + 16 bytes)
//   uncomp_input()       the compressed block, placed by the caller
//   after it             stream state
#pragma once
#include <stdint.h>

#include "kernel/codecs/block_format.h"
#include "kernel/codecs/stream_state.h"

namespace zor::codecs {

constexpr uint32_t decompressor_state_offset(const CodecVariant &v) {
  return v.uncomp_input() + v.max_compressed();
}
constexpr bool decompressor_fits(const CodecVariant &v) {
  return decompressor_state_offset(v) + stream_state_room(0) <= v.uncomp_work_size;
}

inline StreamState &decompressor_state(const CodecVariant &v, uint8_t *work) {
  return *stream_state_at(work, decompressor_state_offset(v));
}

// Returns the number of plain bytes written at uncomp_output(), 0 for a null
// work area, kFailure for a block that is not a valid coded block of this
// stream (the history and the holds-state flag then stay as they were).
uint32_t decompress_block(const CodecVariant &v, uint8_t *work);

}  // namespace zor::codecs
