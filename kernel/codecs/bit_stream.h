// Bit streams of a compressed block: bit b is bit 7 - (b mod 8) of byte b / 8.
#pragma once
#include <stdint.h>

namespace zor::codecs {

// Writes into a cleared area of `limit` bits; a write that would pass the
// limit is dropped and marks the stream as overflowed.
struct BitWriter {
  uint8_t *bytes;
  uint32_t limit;
  uint32_t pos = 0;
  bool overflow = false;

  // Appends the low `n` bits of `value` (n <= 32), most significant first.
  void put(uint32_t value, unsigned n) {
    if (overflow || n > limit - pos) {
      overflow = true;
      return;
    }
    while (n > 0) {
      unsigned room = 8 - (pos & 7);
      unsigned k = n < room ? n : room;
      uint32_t bits = (value >> (n - k)) & ((1u << k) - 1);
      bytes[pos >> 3] |= static_cast<uint8_t>(bits << (room - k));
      pos += k;
      n -= k;
    }
  }
  uint32_t bytes_used() const { return (pos + 7) / 8; }
};

// Reads from an area of `limit` bits; reading past it fails the read.
struct BitReader {
  const uint8_t *bytes;
  uint32_t limit;
  uint32_t pos = 0;

  // One bit into `bit`; false when the stream's room is used up.
  bool get(unsigned &bit) {
    if (pos >= limit) return false;
    bit = (bytes[pos >> 3] >> (7 - (pos & 7))) & 1u;
    ++pos;
    return true;
  }
  // `n` bits (n <= 16), most significant first.
  bool get(unsigned n, uint32_t &value) {
    if (n > limit - pos) return false;
    value = 0;
    for (unsigned bit = 0; n > 0; --n) {
      get(bit);
      value = value << 1 | bit;
    }
    return true;
  }
  uint32_t bytes_used() const { return (pos + 7) / 8; }
};

}  // namespace zor::codecs
