#include "kernel/filter/memory_pool.h"

#include "kernel/filter/filter_core.h"

namespace {

// Every block starts with this header; sizes include it.
struct BlockHeader {
  uint32_t size;
  uint32_t used;
  uint64_t reserved;
};
static_assert(sizeof(BlockHeader) == 16, "block headers keep 16-byte alignment");
constexpr uint32_t kUnit = sizeof(BlockHeader);

uint8_t *arena_start;
uint32_t arena_size;
uint32_t rover;       // a block start: where the next search begins
uint32_t free_bytes;  // in free blocks, headers included
// One bit per unit: a block starts there. MVFree accepts only these.
uint8_t starts[FLT_POOL_ARENA_SIZE / kUnit / 8];

BlockHeader *block_at(uint32_t offset) {
  return reinterpret_cast<BlockHeader *>(arena_start + offset);
}

void mark_start(uint32_t offset, bool start) {
  uint32_t unit = offset / kUnit;
  uint8_t bit = (uint8_t)(1u << (unit % 8));
  starts[unit / 8] = start ? (uint8_t)(starts[unit / 8] | bit) : (uint8_t)(starts[unit / 8] & ~bit);
}

bool is_start(uint32_t offset) { return starts[offset / kUnit / 8] & (1u << (offset / kUnit % 8)); }

// Joins the free blocks that follow a free block into it.
void merge_following(uint32_t offset) {
  BlockHeader *b = block_at(offset);
  while (offset + b->size < arena_size) {
    uint32_t next_offset = offset + b->size;
    BlockHeader *next = block_at(next_offset);
    if (next->used) break;
    mark_start(next_offset, false);
    if (rover == next_offset) rover = offset;
    b->size += next->size;
  }
}

// Takes `need` bytes from the front of the free block at offset.
void *take(uint32_t offset, uint32_t need) {
  BlockHeader *b = block_at(offset);
  if (b->size - need >= 2 * kUnit) {
    BlockHeader *rest = block_at(offset + need);
    rest->size = b->size - need;
    rest->used = 0;
    mark_start(offset + need, true);
    b->size = need;
  }
  b->used = 1;
  free_bytes -= b->size;
  rover = offset + b->size < arena_size ? offset + b->size : 0;
  return b + 1;
}

}  // namespace

extern "C" {

void MVInit(void *arena, uint32_t size) {
  size &= ~(kUnit - 1);
  if (size > FLT_POOL_ARENA_SIZE) size = FLT_POOL_ARENA_SIZE;
  memset(starts, 0, sizeof starts);
  rover = 0;
  if (!arena || size < 2 * kUnit) {
    arena_start = nullptr;
    arena_size = free_bytes = 0;
    return;
  }
  arena_start = static_cast<uint8_t *>(arena);
  arena_size = free_bytes = size;
  BlockHeader *first = block_at(0);
  first->size = size;
  first->used = 0;
  mark_start(0, true);
}

// Next fit: the search goes once round the arena from where the last block
// was taken, so frames freed in the order they were taken are found at once.
void *MVAlloc(uint32_t size) {
  if (!arena_start || size == 0 || size > arena_size) return nullptr;
  uint32_t need = (size + kUnit + kUnit - 1) & ~(kUnit - 1);
  if (need > free_bytes) return nullptr;
  uint32_t offset = rover;
  for (uint32_t seen = 0; seen < arena_size;) {
    BlockHeader *b = block_at(offset);
    if (!b->used) {
      merge_following(offset);
      if (b->size >= need) return take(offset, need);
    }
    seen += b->size;
    offset += b->size;
    if (offset >= arena_size) offset = 0;
  }
  return nullptr;
}

void MVFree(void *p) {
  uint8_t *bytes = static_cast<uint8_t *>(p);
  if (!arena_start || bytes < arena_start + kUnit || bytes >= arena_start + arena_size) return;
  uint32_t offset = static_cast<uint32_t>(bytes - arena_start) - kUnit;
  if (offset % kUnit || !is_start(offset)) return;
  BlockHeader *b = block_at(offset);
  if (!b->used) return;
  b->used = 0;
  free_bytes += b->size;
  merge_following(offset);
}

uint32_t MVFreeBytes(void) { return free_bytes; }

}  // extern "C"
