#include "kernel/filter/memory_pool.h"

namespace {

// Every block starts with this header; sizes include it.
struct BlockHeader {
  uint32_t size;
  uint32_t used;
  uint64_t reserved;
};
static_assert(sizeof(BlockHeader) == 16, "block headers keep 16-byte alignment");

uint8_t *arena_start;
uint32_t arena_size;

BlockHeader *block_at(uint32_t offset) {
  return reinterpret_cast<BlockHeader *>(arena_start + offset);
}

// Joins the free blocks that follow a free block into it.
void merge_following(uint32_t offset) {
  BlockHeader *b = block_at(offset);
  while (offset + b->size < arena_size) {
    BlockHeader *next = block_at(offset + b->size);
    if (next->used) break;
    b->size += next->size;
  }
}

}  // namespace

extern "C" {

void MVInit(void *arena, uint32_t size) {
  size &= ~15u;
  if (!arena || size < 2 * sizeof(BlockHeader)) {
    arena_start = nullptr;
    arena_size = 0;
    return;
  }
  arena_start = static_cast<uint8_t *>(arena);
  arena_size = size;
  BlockHeader *first = block_at(0);
  first->size = size;
  first->used = 0;
}

void *MVAlloc(uint32_t size) {
  if (!arena_start || size == 0 || size > arena_size) return nullptr;
  uint32_t need = (size + sizeof(BlockHeader) + 15) & ~15u;
  for (uint32_t offset = 0; offset < arena_size; offset += block_at(offset)->size) {
    BlockHeader *b = block_at(offset);
    if (b->used) continue;
    merge_following(offset);
    if (b->size < need) continue;
    if (b->size - need >= 2 * sizeof(BlockHeader)) {
      BlockHeader *rest = block_at(offset + need);
      rest->size = b->size - need;
      rest->used = 0;
      b->size = need;
    }
    b->used = 1;
    return b + 1;
  }
  return nullptr;
}

void MVFree(void *p) {
  uint8_t *bytes = static_cast<uint8_t *>(p);
  if (!arena_start || bytes < arena_start + sizeof(BlockHeader) ||
      bytes >= arena_start + arena_size)
    return;
  // Only the start of a block in use is accepted: walk to it.
  uint32_t target = static_cast<uint32_t>(bytes - arena_start) - sizeof(BlockHeader);
  for (uint32_t offset = 0; offset < arena_size; offset += block_at(offset)->size) {
    if (offset > target) return;
    if (offset != target) continue;
    BlockHeader *b = block_at(offset);
    if (!b->used) return;
    b->used = 0;
    merge_following(offset);
    return;
  }
}

uint32_t MVFreeBytes(void) {
  uint32_t free_bytes = 0;
  for (uint32_t offset = 0; arena_start && offset < arena_size; offset += block_at(offset)->size)
    if (!block_at(offset)->used) free_bytes += block_at(offset)->size;
  return free_bytes;
}

}  // extern "C"
