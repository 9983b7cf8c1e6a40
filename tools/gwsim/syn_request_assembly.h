// Gathers a SYN RQ that the client sent in pieces: every piece repeats the
// request's header (16 or 32 bytes by variant), whose last two bytes carry
// the piece's offset within the body (the first piece keeps the zeros the
// client wrote there); the body follows. The whole request is the header
// with those two bytes zero, then the body.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace gwsim {

class SynRequestAssembly {
 public:
  // The whole request's length as its header says; 0 when d is no SYN RQ.
  static size_t WholeLength(const uint8_t *d, size_t n);
  // Takes one piece; true once the whole request is there (then whole()).
  bool Take(const uint8_t *d, size_t n);
  const std::vector<uint8_t> &whole() const { return whole_; }
  // The pieces' sizes and offsets as they came, for the tests.
  const std::vector<std::pair<size_t, uint16_t>> &pieces() const { return pieces_; }

 private:
  std::vector<uint8_t> whole_;
  std::map<uint16_t, size_t> chunks_;  // body offset -> length
  std::vector<std::pair<size_t, uint16_t>> pieces_;
};

}  // namespace gwsim
