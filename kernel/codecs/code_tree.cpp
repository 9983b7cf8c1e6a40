#include "kernel/codecs/code_tree.h"

namespace zor::codecs {
namespace {

constexpr uint16_t kGuardFrequency = 0xFFFF;
constexpr uint16_t kUnlinked = 0xFFFF;

// Makes what points back at `position` (a leaf's record, or the parent links
// of an inner node's children) agree with its child link.
void relink(CodeTree &tree, unsigned position) {
  unsigned c = tree.child[position];
  if (c >= kLeafLink) {
    tree.leaf[c - kLeafLink] = static_cast<uint16_t>(position);
  } else {
    tree.parent[c] = static_cast<uint16_t>(position);
    tree.parent[c + 1] = static_cast<uint16_t>(position);
  }
}

void exchange(CodeTree &tree, unsigned a, unsigned b) {
  uint16_t c = tree.child[a];
  tree.child[a] = tree.child[b];
  tree.child[b] = c;
  relink(tree, a);
  relink(tree, b);
}

}  // namespace

void tree_init(CodeTree &tree) {
  for (unsigned s = 0; s < kSymbols; ++s) {
    tree.freq[s] = 1;
    tree.child[s] = static_cast<uint16_t>(kLeafLink + s);
    tree.leaf[s] = static_cast<uint16_t>(s);
  }
  for (unsigned n = kSymbols, c = 0; n < kTreeNodes; ++n, c += 2) {
    tree.freq[n] = static_cast<uint16_t>(tree.freq[c] + tree.freq[c + 1]);
    tree.child[n] = static_cast<uint16_t>(c);
    tree.parent[c] = static_cast<uint16_t>(n);
    tree.parent[c + 1] = static_cast<uint16_t>(n);
  }
  tree.freq[kTreeNodes] = kGuardFrequency;
}

// A node's frequency is below its parent's, so the run of equal frequencies
// that p moves to the end of never holds one of p's ancestors.
void tree_update(CodeTree &tree, unsigned p) {
  while (p != kTreeRoot) {
    uint16_t f = tree.freq[p];
    if (tree.freq[p + 1] == f) {
      unsigned q = p + 1;
      while (tree.freq[q + 1] == f) ++q;
      exchange(tree, p, q);
      p = q;
    }
    ++tree.freq[p];
    p = tree.parent[p];
  }
  ++tree.freq[kTreeRoot];
}

// Every inner node's children lie below it and are referenced once, every
// symbol has one leaf, and the frequencies are sums that never decrease from
// one position to the next: then decoding ends at a leaf, updates end at the
// root, and no path is longer than a code of 32 bits.
bool tree_rebuild_links(CodeTree &tree) {
  for (unsigned p = 0; p < kTreeNodes; ++p) tree.parent[p] = kUnlinked;
  for (unsigned s = 0; s < kSymbols; ++s) tree.leaf[s] = kUnlinked;
  tree.freq[kTreeNodes] = kGuardFrequency;
  for (unsigned p = 0; p < kTreeNodes; ++p) {
    unsigned c = tree.child[p];
    if (p + 1 < kTreeNodes && tree.freq[p] > tree.freq[p + 1]) return false;
    if (c >= kLeafLink) {
      unsigned s = c - kLeafLink;
      if (s >= kSymbols || tree.leaf[s] != kUnlinked || tree.freq[p] == 0) return false;
      tree.leaf[s] = static_cast<uint16_t>(p);
      continue;
    }
    if ((c & 1) != 0 || c + 1 >= p) return false;
    if (tree.parent[c] != kUnlinked || tree.parent[c + 1] != kUnlinked) return false;
    if (tree.freq[p] != tree.freq[c] + tree.freq[c + 1]) return false;
    relink(tree, p);
  }
  for (unsigned s = 0; s < kSymbols; ++s)
    if (tree.leaf[s] == kUnlinked) return false;
  return tree.freq[kTreeRoot] < kGuardFrequency;
}

}  // namespace zor::codecs
