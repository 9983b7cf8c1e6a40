// An independent writer of compressed blocks, bit by bit, from the format's
// description: the adaptive tree (its own model of it), the position code's
// table as the format lists it, and the plain bytes each block stands for.
// Tests use it to build blocks the codec under test did not produce,
// including blocks no compressor would write.
#pragma once
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zor::codecs::test {

// The position code as the format tables it: per row, the first pattern and
// how many consecutive values of the upper 8 bits follow from it.
struct PositionRow {
  unsigned first_value, last_value;
  const char *first_code, *last_code;
};
inline const PositionRow kPositionRows[] = {
    {0, 0, "000", "000"},
    {1, 2, "0010", "0011"},
    {3, 6, "01000", "01011"},
    {7, 10, "011000", "011011"},
    {11, 34, "0111000", "1001111"},
    {35, 66, "10100000", "10111111"},
    {67, 162, "110000000", "111011111"},
    {163, 194, "1111000000", "1111011111"},
    {195, 255, "11111000000", "11111111100"},
};

inline std::string to_bits(uint32_t value, unsigned n) {
  std::string s;
  for (unsigned i = n; i-- > 0;) s += (value >> i & 1) ? '1' : '0';
  return s;
}

inline std::string position_pattern(unsigned v) {
  for (const PositionRow &r : kPositionRows) {
    if (v < r.first_value || v > r.last_value) continue;
    std::string first = r.first_code;
    return to_bits(std::stoul(first, nullptr, 2) + (v - r.first_value), first.size());
  }
  return "";
}

class ReferenceEncoder {
 public:
  explicit ReferenceEncoder(uint32_t reset_threshold) : reset_threshold_(reset_threshold) {
    initial_tree();
  }

  void literal(uint8_t byte) {
    symbol(byte);
    plain_.push_back(byte);
  }
  // A match of `length` bytes (3..32) starting `distance` bytes back.
  void match(unsigned length, unsigned distance) {
    symbol(253 + length);
    unsigned value = distance - 1;
    bits_ += position_pattern(value >> 5) + to_bits(value & 31, 5);
    // A source before the stream's first byte (a block the decoder must
    // refuse) copies zeros.
    for (unsigned i = 0; i < length; ++i)
      plain_.push_back(plain_.size() >= distance ? plain_[plain_.size() - distance] : 0);
  }
  // Symbol codes without plain bytes, and bits as they stand.
  void symbol(unsigned s) {
    begin();
    bits_ += code_of(s);
    update(leaf_[s]);
  }
  void raw(const std::string &bits) {
    begin();
    bits_ += bits;
  }
  size_t bit_count() const { return bits_.size(); }

  // The block built since the last one: the length field (the plain bytes
  // produced unless given) and the bits, zero-padded to a whole byte.
  std::vector<uint8_t> finish(int length_field = -1) {
    begin();
    uint32_t n = length_field < 0 ? static_cast<uint32_t>(plain_.size() - block_start_)
                                  : static_cast<uint32_t>(length_field);
    std::vector<uint8_t> out{static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
    for (size_t i = 0; i < bits_.size(); i += 8) {
      std::string byte = bits_.substr(i, 8);
      byte.resize(8, '0');
      out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 2)));
    }
    last_plain_.assign(plain_.begin() + block_start_, plain_.end());
    block_start_ = plain_.size();
    bits_.clear();
    started_ = false;
    return out;
  }
  const std::vector<uint8_t> &last_plain() const { return last_plain_; }
  unsigned root_frequency() const { return freq_[kRoot]; }
  std::string code_of(unsigned s) const {
    std::string code;
    for (unsigned p = leaf_[s]; p != kRoot; p = parent_[p])
      code.insert(code.begin(), p == child_[parent_[p]] ? '0' : '1');
    return code;
  }

 private:
  static constexpr unsigned kNodes = 571, kRoot = 570;

  void begin() {
    if (started_) return;
    started_ = true;
    if (freq_[kRoot] >= reset_threshold_) initial_tree();
  }
  void initial_tree() {
    freq_.assign(kNodes + 1, 0);
    child_.assign(kNodes, 0);
    parent_.assign(kNodes, 0);
    leaf_.assign(286, 0);
    for (unsigned s = 0; s < 286; ++s) {
      freq_[s] = 1;
      child_[s] = kNodes + s;
      leaf_[s] = s;
    }
    for (unsigned k = 0; k < 285; ++k) {
      child_[286 + k] = 2 * k;
      parent_[2 * k] = parent_[2 * k + 1] = 286 + k;
      freq_[286 + k] = freq_[2 * k] + freq_[2 * k + 1];
    }
    freq_[kNodes] = 0x10000;
  }
  void point_back(unsigned p) {
    if (child_[p] >= kNodes)
      leaf_[child_[p] - kNodes] = p;
    else
      parent_[child_[p]] = parent_[child_[p] + 1] = p;
  }
  void update(unsigned p) {
    for (; p != kRoot; p = parent_[p]) {
      unsigned q = p;
      while (freq_[q + 1] == freq_[p]) ++q;
      if (q != p) {
        std::swap(child_[p], child_[q]);
        point_back(p);
        point_back(q);
        p = q;
      }
      ++freq_[p];
    }
    ++freq_[kRoot];
  }

  uint32_t reset_threshold_;
  std::vector<unsigned> freq_, child_, parent_, leaf_;
  std::vector<uint8_t> plain_, last_plain_;
  size_t block_start_ = 0;
  std::string bits_;
  bool started_ = false;
};

}  // namespace zor::codecs::test
