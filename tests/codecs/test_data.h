// Plain data of the kinds the codecs meet: random, repetitive, all-zero,
// text, and literal-heavy bytes with few repeats.
#pragma once
#include <cstdint>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace zor::codecs::test {

enum class Kind { kRandom, kRepetitive, kZero, kText, kSkewed };

inline std::string kind_name(Kind k) {
  switch (k) {
    case Kind::kRandom: return "random";
    case Kind::kRepetitive: return "repetitive";
    case Kind::kZero: return "zero";
    case Kind::kText: return "text";
    case Kind::kSkewed: return "skewed";
  }
  return "?";
}

inline const std::vector<uint8_t> &license_text() {
  static const std::vector<uint8_t> text = [] {
    std::ifstream in("/usr/share/common-licenses/GPL-3", std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }();
  return text;
}

// `n` bytes of the kind; `seed` varies random parts and the text's offset.
inline std::vector<uint8_t> make_data(Kind kind, size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(n);
  switch (kind) {
    case Kind::kRandom:
      for (auto &b : out) b = static_cast<uint8_t>(rng());
      break;
    case Kind::kRepetitive: {
      static const char phrase[] = "abcabcabd-0123456789-";
      for (size_t i = 0; i < n; ++i)
        out[i] = rng() % 50 == 0 ? static_cast<uint8_t>(rng()) : phrase[i % (sizeof phrase - 1)];
      break;
    }
    case Kind::kZero:
      break;
    case Kind::kText: {
      const auto &text = license_text();
      size_t at = text.empty() ? 0 : (seed * 7919u) % text.size();
      for (size_t i = 0; i < n; ++i) out[i] = text.empty() ? 'x' : text[(at + i) % text.size()];
      break;
    }
    case Kind::kSkewed:
      // Bytes below 0x80 from a skewed distribution: coded shorter than
      // stored, yet nearly every byte its own literal.
      for (auto &b : out) b = static_cast<uint8_t>(__builtin_ctz(rng() | 0x80000000u) * 4 + rng() % 4);
      break;
  }
  return out;
}

}  // namespace zor::codecs::test
