#include "kernel/codecs/match_finder.h"

#include "kern_host.h"

namespace zor::codecs {
namespace {

constexpr unsigned kMaxChainSteps = 64;

}  // namespace

MatchFinder::MatchFinder(const CodecVariant &v, const uint8_t *window, uint16_t *heads,
                         uint16_t *chain, uint32_t first_valid, uint32_t end)
    : window_(window), heads_(heads), chain_(chain), hash_bits_(v.hash_bits),
      chain_mask_(v.chain_window - 1), max_distance_(v.max_distance()),
      first_valid_(first_valid), end_(end) {
  memset(heads_, 0xFF, sizeof(uint16_t) << hash_bits_);
}

uint32_t MatchFinder::hash(uint32_t pos) const {
  uint32_t key = static_cast<uint32_t>(window_[pos]) << 16 |
                 static_cast<uint32_t>(window_[pos + 1]) << 8 | window_[pos + 2];
  return (key * 2654435761u) >> (32 - hash_bits_);
}

void MatchFinder::insert_history(uint32_t pos) {
  uint32_t from = first_valid_;
  if (pos > max_distance_ && pos - max_distance_ > from) from = pos - max_distance_;
  for (uint32_t p = from; p < pos; ++p) insert(p);
}

void MatchFinder::insert(uint32_t pos) {
  if (pos + kMinMatch > end_) return;
  uint32_t h = hash(pos);
  chain_[pos & chain_mask_] = heads_[h];
  heads_[h] = static_cast<uint16_t>(pos);
}

// Chains run towards lower positions; a link that does not is one the
// circular chain table has overwritten, and ends the walk.
Match MatchFinder::find(uint32_t pos) const {
  Match best{0, 0};
  if (pos + kMinMatch > end_) return best;
  uint32_t longest = end_ - pos < kMaxMatch ? end_ - pos : kMaxMatch;
  const uint8_t *here = window_ + pos;
  uint32_t cand = heads_[hash(pos)];
  for (unsigned steps = kMaxChainSteps; steps > 0 && cand < pos; --steps) {
    if (cand < first_valid_ || pos - cand > max_distance_) break;
    const uint8_t *there = window_ + cand;
    if (there[best.length] == here[best.length]) {
      uint32_t n = 0;
      while (n < longest && there[n] == here[n]) ++n;
      if (n > best.length) {
        best = Match{n, pos - cand};
        if (n == longest) break;
      }
    }
    uint32_t next = chain_[cand & chain_mask_];
    if (next >= cand) break;
    cand = next;
  }
  if (best.length < kMinMatch) best.length = 0;
  return best;
}

}  // namespace zor::codecs
