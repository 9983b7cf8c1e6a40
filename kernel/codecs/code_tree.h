// The adaptive prefix code that literals and match lengths share: a tree of
// 571 node positions ordered by frequency (the root at 570), updated by both
// sides after every symbol and carried from block to block of a stream.
#pragma once
#include <stdint.h>

#include "kernel/codecs/block_format.h"

namespace zor::codecs {

inline constexpr unsigned kTreeNodes = 2 * kSymbols - 1;  // 571
inline constexpr unsigned kTreeRoot = kTreeNodes - 1;     // 570
// A child link at or above kTreeNodes marks a leaf: kTreeNodes + symbol.
inline constexpr unsigned kLeafLink = kTreeNodes;

struct CodeTree {
  // Per position; freq[kTreeNodes] is a guard above every reachable value.
  uint16_t freq[kTreeNodes + 1];
  // Inner node: position of its first child (even); the second is next to it.
  uint16_t child[kTreeNodes];
  uint16_t parent[kTreeNodes];
  // Position of each symbol's leaf.
  uint16_t leaf[kSymbols];
};

// The tree every stream starts with: leaves 0..285 hold the symbols in order
// with frequency 1, inner node 286 + k has its children at 2k and 2k + 1.
void tree_init(CodeTree &tree);

// Counts one more occurrence of the leaf at `position`, keeping the positions
// ordered by frequency.
void tree_update(CodeTree &tree, unsigned position);

// Checks a tree given by its child links and frequencies and rebuilds its
// parent links, leaf positions and guard. False when they do not form a
// well-ordered tree over all 286 symbols; the tree is then unusable.
bool tree_rebuild_links(CodeTree &tree);

}  // namespace zor::codecs
