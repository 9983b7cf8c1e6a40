// Compresses one plain block of a stream in the compressor's work area:
//   0 .. H-1             history (the stream's last plain bytes)
//   comp_input()         the plain block, placed by the caller
//   comp_output()        the compressed block, length field first
//   after it             stream state and match-finder tables
#pragma once
#include <stdint.h>

#include "kernel/codecs/block_format.h"
#include "kernel/codecs/stream_state.h"

namespace zor::codecs {

constexpr uint32_t compressor_state_offset(const CodecVariant &v) {
  return v.comp_output() + v.max_compressed();
}
constexpr uint32_t compressor_tables_size(const CodecVariant &v) {
  return static_cast<uint32_t>(sizeof(uint16_t)) * ((1u << v.hash_bits) + v.chain_window);
}
constexpr bool compressor_fits(const CodecVariant &v) {
  return compressor_state_offset(v) + stream_state_room(compressor_tables_size(v)) <=
         v.comp_work_size;
}

inline StreamState &compressor_state(const CodecVariant &v, uint8_t *work) {
  return *stream_state_at(work, compressor_state_offset(v));
}

// Returns the size of the block written at comp_output() (length field
// included), 0 for a length of 0, kFailure for a length above the block size.
uint32_t compress_block(const CodecVariant &v, uint8_t *work, uint32_t length);

}  // namespace zor::codecs
