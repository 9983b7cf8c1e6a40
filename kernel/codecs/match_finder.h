// The compressor's match search: hash chains over 3-byte prefixes of the
// window (valid history, then the block), rebuilt at the start of every block
// from the history, so that they never outlive a save and restore.
#pragma once
#include <stdint.h>

#include "kernel/codecs/block_format.h"

namespace zor::codecs {

struct Match {
  uint32_t length;    // 0 when no match of kMinMatch bytes or more was found
  uint32_t distance;  // 1 repeats the byte just before
};

class MatchFinder {
 public:
  // `heads` holds 2^hash_bits entries and `chain` chain_window entries.
  // Sources start at `first_valid`; the block ends before `end`.
  MatchFinder(const CodecVariant &v, const uint8_t *window, uint16_t *heads,
              uint16_t *chain, uint32_t first_valid, uint32_t end);

  // Makes the window's bytes before `pos` findable, from the first one
  // still within reach.
  void insert_history(uint32_t pos);
  void insert(uint32_t pos);
  // The longest earlier occurrence of the bytes at `pos` (first found wins
  // among equals), at most kMaxMatch long and ending at the block's end.
  Match find(uint32_t pos) const;

 private:
  uint32_t hash(uint32_t pos) const;

  const uint8_t *window_;
  uint16_t *heads_;
  uint16_t *chain_;
  uint32_t hash_bits_;
  uint32_t chain_mask_;
  uint32_t max_distance_;
  uint32_t first_valid_;
  uint32_t end_;
};

}  // namespace zor::codecs
