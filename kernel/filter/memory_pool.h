// The filter's private memory pool: one arena handed out next-fit in
// 16-byte units, neighbours merged when freed. Callers hold filter lock 0.
#pragma once
#include "kern_host.h"

extern "C" {
// Takes over `size` bytes at `arena` (16-byte aligned; at most
// FLT_POOL_ARENA_SIZE are used) as one free block.
void MVInit(void *arena, uint32_t size);
// NULL when the arena has no room (or was never given).
void *MVAlloc(uint32_t size);
// Pointers that MVAlloc did not give are ignored.
void MVFree(void *p);
// Bytes free in the arena, in whole blocks.
uint32_t MVFreeBytes(void);
}
