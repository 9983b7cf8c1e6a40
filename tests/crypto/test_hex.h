// The crypto tests' hex helpers (test_bytes.h) under the names other areas'
// tests use.
#pragma once
#include <string>
#include <vector>

#include "tests/crypto/test_bytes.h"

inline std::vector<uint8_t> from_hex(const std::string &hex) { return zor::test::hex(hex); }

// A number printed most significant byte first, as its little-endian bytes.
inline std::vector<uint8_t> from_printed(const std::string &hex) { return zor::test::printed_le(hex); }

using zor::test::to_hex;
