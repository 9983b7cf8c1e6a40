// Substitution sources (8 rows of 16 four-bit values, row 0 for the least
// significant 4-bit group) shared by the GOST 28147-89 and Magma code.
#pragma once
#include <stdint.h>

// id-tc26-gost-28147-param-Z: the fixed substitution of Magma.
#define ZOR_SBOX_PARAM_Z                                             \
  12, 4, 6, 2, 10, 5, 11, 9, 14, 8, 13, 7, 0, 3, 15, 1,             \
  6, 8, 2, 3, 9, 10, 5, 12, 1, 14, 4, 7, 11, 13, 0, 15,             \
  11, 3, 5, 8, 2, 15, 10, 13, 14, 1, 7, 4, 12, 9, 6, 0,             \
  12, 8, 2, 1, 13, 4, 15, 6, 7, 0, 10, 5, 3, 14, 9, 11,             \
  7, 15, 5, 10, 8, 1, 6, 13, 0, 9, 3, 14, 11, 4, 2, 12,             \
  5, 13, 15, 6, 9, 2, 12, 10, 11, 7, 8, 1, 4, 3, 14, 0,             \
  8, 14, 2, 5, 6, 9, 1, 12, 15, 4, 11, 0, 13, 10, 3, 7,             \
  1, 7, 14, 13, 0, 5, 8, 3, 4, 15, 10, 6, 9, 12, 11, 2

// id-Gost28147-89-TestParamSet of RFC 4357.
#define ZOR_SBOX_TEST_PARAMS                                         \
  4, 2, 15, 5, 9, 1, 0, 8, 14, 3, 11, 12, 13, 7, 10, 6,             \
  12, 9, 15, 14, 8, 1, 3, 10, 2, 7, 4, 13, 6, 0, 11, 5,             \
  13, 8, 14, 12, 7, 3, 9, 10, 1, 5, 2, 4, 6, 15, 0, 11,             \
  14, 9, 11, 2, 5, 15, 7, 1, 0, 13, 12, 6, 10, 4, 3, 8,             \
  3, 14, 5, 9, 6, 8, 0, 13, 10, 11, 7, 12, 2, 1, 15, 4,             \
  8, 15, 6, 11, 1, 9, 12, 5, 13, 3, 7, 10, 0, 14, 2, 4,             \
  9, 11, 12, 0, 3, 6, 7, 5, 4, 8, 14, 15, 1, 10, 2, 13,             \
  12, 6, 5, 2, 11, 0, 9, 13, 3, 14, 7, 10, 15, 4, 1, 8

namespace zor::crypto {
inline constexpr uint8_t kSboxParamZ[128] = {ZOR_SBOX_PARAM_Z};
inline constexpr uint8_t kSboxTestParams[128] = {ZOR_SBOX_TEST_PARAMS};
}  // namespace zor::crypto
