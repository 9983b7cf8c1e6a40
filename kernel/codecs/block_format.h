// The block codec's parameters and the stored form of a compressed block.
//
// A compressed block is a little-endian u16 length field followed by a bit
// stream (most significant bit of each byte first, padded with zero bits to a
// whole byte). The length field holds the number of plain bytes, 1 to the
// variant's block size. With bit 15 set the block is stored: the plain bytes
// follow unchanged, and the caller copies them itself and starts a new
// decompressor stream before the next block.
//
// The bit stream is a sequence of items without an end marker:
//   literal: the adaptive code of its byte value (symbols 0 to 255);
//   match:   the adaptive code of its length symbol (256 to 285, length =
//            symbol - 253, so 3 to 32 bytes), the fixed position code of the
//            upper 8 bits of the 13-bit position value, then its lower 5 bits.
//
// Decisions this codec makes where the format leaves a choice:
//   - The position value is the distance back from the match's first byte
//     minus one: value 0 repeats the byte just before it.
//   - Symbol 285 means exactly 32 bytes; no length extension follows it.
//   - A stream's first block refers to no byte before it. Both sides count
//     the valid history (the plain bytes of the stream so far, at most the
//     history length); the decoder refuses a match whose source lies before
//     it or that runs past the block's length.
//   - Both directions accept blocks of 1 to the block size plain bytes.
//   - The compressor writes a block stored when its coded stream would take
//     as many bytes as the block itself or more.
//   - The compressor's result is the size of the block it wrote, length field
//     included (2 + stream bytes coded, 2 + length stored).
//   - The decoder never reads a bit beyond its room of block-size bytes of
//     stream; an item that would need one fails the block.
#pragma once
#include <stddef.h>
#include <stdint.h>

namespace zor::codecs {

inline constexpr uint32_t kFailure = 0xFFFFFFFFu;
inline constexpr uint16_t kStoredFlag = 0x8000;
inline constexpr uint32_t kLengthFieldSize = 2;

inline constexpr unsigned kLiteralSymbols = 256;
inline constexpr unsigned kSymbols = 286;
inline constexpr unsigned kMinMatch = 3;
inline constexpr unsigned kMaxMatch = 32;
inline constexpr unsigned kMatchSymbolBias = kLiteralSymbols - kMinMatch;  // 253
inline constexpr uint32_t kPositionValues = 8192;                         // 13 bits

// One variant's numbers. The first five are the variant's own; everything
// else follows from them. The match finder's sizes are this codec's choice.
struct CodecVariant {
  uint32_t block_size;       // largest plain block
  uint32_t history;          // history length H
  uint32_t comp_work_size;   // compressor work area
  uint32_t uncomp_work_size; // decompressor work area
  uint32_t save_size;        // save area, either direction
  uint32_t chain_window;     // match finder: positions a chain remembers (power of two)
  uint32_t hash_bits;        // match finder: log2 of the hash heads

  constexpr uint32_t max_compressed() const { return block_size + kLengthFieldSize; }
  constexpr uint32_t comp_input() const { return history; }
  constexpr uint32_t comp_output() const { return history + block_size + 2; }
  constexpr uint32_t uncomp_output() const { return history; }
  constexpr uint32_t uncomp_input() const { return history + block_size + 16; }
  constexpr uint32_t reset_threshold() const { return 65536 - block_size - 16; }
  // Bits of stream an item may begin below; a match must also end below
  // stream_room_bits().
  constexpr uint32_t item_start_limit_bits() const { return 8 * block_size - 1; }
  constexpr uint32_t stream_room_bits() const { return 8 * block_size; }
  // Farthest distance the compressor looks back (its chains forget beyond).
  constexpr uint32_t max_distance() const { return chain_window - 1; }
};

inline constexpr CodecVariant kVariant1x3{1024, 3072, 26340, 10928, 6504, 4096, 12};
inline constexpr CodecVariant kVariant2x3{2048, 3072, 29412, 12976, 6504, 4096, 12};
inline constexpr CodecVariant kVariant8x7{8704, 7530, 63264, 30748, 10964, 8192, 13};

}  // namespace zor::codecs
