#include "tools/gwsim/syn_request_assembly.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"
#include "kernel/filter/wire_format.h"

namespace gwsim {
namespace {

using namespace zor::wire;

size_t HeadOf(const uint8_t *d) { return VariantOf(d) == 16 ? kSynRqHead16 : kSynRqHead17; }

}  // namespace

size_t SynRequestAssembly::WholeLength(const uint8_t *d, size_t n) {
  if (n < kSynRqHead16 || load_le32(d) != kMagic || PacketTypeOf(d) != kSynRq) return 0;
  return HeadOf(d) + TlvLengthOf(d) + 4;
}

bool SynRequestAssembly::Take(const uint8_t *d, size_t n) {
  size_t total = WholeLength(d, n), head = total ? HeadOf(d) : 0;
  if (total == 0 || n <= head || n > total) return false;
  uint16_t offset = load_le16(d + head - 2);
  pieces_.push_back({n, offset});
  if (whole_.size() != total || chunks_.empty()) {
    whole_.assign(total, 0);
    chunks_.clear();
  }
  size_t body = total - head;
  if (offset >= body || n - head > body - offset) return false;
  memcpy(whole_.data(), d, head - 2);
  memcpy(whole_.data() + head + offset, d + head, n - head);
  chunks_[offset] = n - head;
  size_t covered = 0;
  for (auto &[at, len] : chunks_) {
    if (at > covered) return false;
    covered = std::max(covered, at + len);
  }
  return covered == body;
}

}  // namespace gwsim
