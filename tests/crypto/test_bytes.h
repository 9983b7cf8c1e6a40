// Helpers for the crypto tests: hex strings, the standards' byte order.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace zor::test {

using Bytes = std::vector<uint8_t>;

// Hex digits; spaces are ignored.
inline Bytes hex(const std::string &s) {
  Bytes out;
  int half = -1;
  for (char ch : s) {
    if (ch == ' ') continue;
    const int v = ch <= '9' ? ch - '0' : (ch | 0x20) - 'a' + 10;
    if (half < 0) {
      half = v;
    } else {
      out.push_back(uint8_t(half << 4 | v));
      half = -1;
    }
  }
  return out;
}

inline uint64_t be64(const std::string &s) {
  uint64_t v = 0;
  for (uint8_t b : hex(s)) v = v << 8 | b;
  return v;
}

// Reverses every group of `group` bytes (a last shorter group too).
inline Bytes reverse_groups(Bytes b, size_t group) {
  for (size_t i = 0; i < b.size(); i += group) {
    const size_t end = i + group < b.size() ? i + group : b.size();
    for (size_t a = i, z = end - 1; a < z; ++a, --z) std::swap(b[a], b[z]);
  }
  return b;
}

// A number printed most significant byte first, as its little-endian bytes.
inline Bytes printed_le(const std::string &s) {
  const Bytes b = hex(s);
  return reverse_groups(b, b.size());
}

// A key in the standard's byte order as the eight native words.
struct Key {
  uint32_t w[8];
};
inline Key key_words(const std::string &standard_hex) {
  const Bytes b = hex(standard_hex);
  Key k{};
  for (int i = 0; i < 8; ++i)
    k.w[i] = uint32_t(b[4 * i]) << 24 | uint32_t(b[4 * i + 1]) << 16 |
             uint32_t(b[4 * i + 2]) << 8 | b[4 * i + 3];
  return k;
}

inline std::string to_hex(const uint8_t *p, size_t n) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}
inline std::string to_hex(const Bytes &b) { return to_hex(b.data(), b.size()); }

// n bytes from a seeded generator (seeded in the test, so a failure replays).
template <class Rng>
Bytes random_bytes(Rng &rng, size_t n) {
  Bytes b(n);
  for (auto &x : b) x = uint8_t(rng());
  return b;
}

// n bytes of a fixed pattern that differs with the salt.
inline Bytes pattern(size_t n, uint8_t salt) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 13 + salt);
  return b;
}

// The key and the four plaintext blocks of the Magma examples of
// GOST R 34.12-2015 and 34.13-2015 (also RFC 8891), in the standards' order.
inline constexpr const char *kStdKey =
    "ffeeddccbbaa99887766554433221100f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";
inline constexpr const char *kStdPlain =
    "92def06b3c130a59 db54c704f8189d20 4a98fb2e67a8024c 8912409b17b57e41";

}  // namespace zor::test
