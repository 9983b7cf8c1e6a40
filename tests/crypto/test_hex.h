// Hex helpers for the crypto tests.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

inline std::vector<uint8_t> from_hex(const std::string &hex) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// The standards print numbers most significant byte first; in memory they are
// little-endian, so the printed string is reversed byte by byte.
inline std::vector<uint8_t> from_printed(const std::string &hex) {
  std::vector<uint8_t> v = from_hex(hex);
  return std::vector<uint8_t>(v.rbegin(), v.rend());
}

inline std::string to_hex(const uint8_t *p, size_t n) {
  static const char *digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}
inline std::string to_hex(const std::vector<uint8_t> &v) { return to_hex(v.data(), v.size()); }
