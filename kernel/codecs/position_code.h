// The fixed canonical prefix code for the upper 8 bits of a match's 13-bit
// position value; the lower 5 bits follow as plain bits.
#pragma once
#include <stdint.h>

namespace zor::codecs {

inline constexpr unsigned kPositionLowBits = 5;
inline constexpr unsigned kPositionCodes = 256;
inline constexpr unsigned kPositionMaxCodeLength = 11;

// The values of one code length: codes of `length` bits for the upper-bits
// values first..first + count - 1, in increasing order.
struct PositionCodeClass {
  uint8_t length;
  uint8_t first;
  uint8_t count;
};

inline constexpr PositionCodeClass kPositionCodeClasses[] = {
    {3, 0, 1},    {4, 1, 2},     {5, 3, 4},     {6, 7, 4},    {7, 11, 24},
    {8, 35, 32},  {9, 67, 96},   {10, 163, 32}, {11, 195, 61},
};

struct PositionCodeTables {
  uint16_t cod[kPositionCodes];  // code left-aligned in 16 bits
  int8_t len[kPositionCodes];    // code length minus 8
};

// Canonical assignment: each code is the previous one plus one, shifted left
// by the growth of the length.
constexpr PositionCodeTables make_position_code() {
  PositionCodeTables t{};
  unsigned code = 0, length = kPositionCodeClasses[0].length;
  for (const PositionCodeClass &c : kPositionCodeClasses) {
    code <<= c.length - length;
    length = c.length;
    for (unsigned v = c.first; v < c.first + c.count; ++v, ++code) {
      t.cod[v] = static_cast<uint16_t>(code << (16 - length));
      t.len[v] = static_cast<int8_t>(length - 8);
    }
  }
  return t;
}

inline constexpr PositionCodeTables kPositionCode = make_position_code();
inline constexpr const uint16_t (&compress_cod_poi)[kPositionCodes] = kPositionCode.cod;
inline constexpr const int8_t (&compress_len_poi)[kPositionCodes] = kPositionCode.len;

}  // namespace zor::codecs
