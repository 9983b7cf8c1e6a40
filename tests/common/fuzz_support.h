// Shared pieces of the libFuzzer targets: a reader that takes an input
// apart, and the seed writer that each target's seeds come from.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace zor::fuzz {

using Bytes = std::vector<uint8_t>;

// Takes bytes off the front of an input; past its end everything is zero
// or empty.
class Input {
 public:
  Input(const uint8_t *data, size_t size) : p_(data), left_(size) {}
  uint8_t Byte() {
    if (left_ == 0) return 0;
    --left_;
    return *p_++;
  }
  uint16_t U16() {
    uint16_t lo = Byte();
    return static_cast<uint16_t>(lo | (Byte() << 8));
  }
  uint32_t U32() {
    uint32_t lo = U16();
    return lo | (static_cast<uint32_t>(U16()) << 16);
  }
  // A chunk written as u16 length, then the bytes (cut at the input's end).
  Bytes Chunk() {
    size_t n = U16();
    return Take(n);
  }
  Bytes Rest() { return Take(left_); }
  bool empty() const { return left_ == 0; }

 private:
  Bytes Take(size_t n) {
    if (n > left_) n = left_;
    Bytes b(p_, p_ + n);
    p_ += n;
    left_ -= n;
    return b;
  }
  const uint8_t *p_;
  size_t left_;
};

// Writers of the inputs above.
inline void PutU16(Bytes &b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void PutU32(Bytes &b, uint32_t v) {
  PutU16(b, static_cast<uint16_t>(v));
  PutU16(b, static_cast<uint16_t>(v >> 16));
}
inline void PutChunk(Bytes &b, const Bytes &chunk) {
  PutU16(b, static_cast<uint16_t>(chunk.size()));
  b.insert(b.end(), chunk.begin(), chunk.end());
}

using Seeds = std::vector<std::pair<std::string, Bytes>>;

// When ZOR_WRITE_SEEDS names a directory, writes the seeds there, one file
// each, and ends the process: how a target's seed corpus is made.
inline void WriteSeedsIfAsked(Seeds (*make)()) {
  const char *dir = getenv("ZOR_WRITE_SEEDS");
  if (!dir) return;
  for (const auto &[name, bytes] : make()) {
    std::string path = std::string(dir) + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f || fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) exit(2);
    fclose(f);
  }
  exit(0);
}

}  // namespace zor::fuzz
