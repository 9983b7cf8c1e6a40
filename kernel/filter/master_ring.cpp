#include "kernel/filter/master_ring.h"

#include "crypto/streebog.h"
#include "crypto/wipe.h"

namespace {

// A master's fingerprint; 0 marks an empty slot, so it stands as 1.
uint64_t fingerprint_of(const uint8_t *master) {
  Hash3411Ctx ctx;
  uint8_t digest[32];
  Hash3411Open(&ctx);
  Hash3411(&ctx, master, 32);
  Hash3411Close(&ctx, digest);
  zor::crypto::wipe(&ctx, sizeof ctx);
  uint64_t f;
  memcpy(&f, digest, MASTER_FINGERPRINT_LEN);
  zor::crypto::wipe(digest, sizeof digest);
  return f ? f : 1;
}

uint64_t *slots_of(MasterRing *r, uint32_t *count) {
  *count = r->table ? r->slots : MASTER_INLINE_SLOTS;
  return r->table ? r->table : r->inline_slot;
}

// The slot holding f, or the empty one where it goes. The digest spreads
// the fingerprints: their low bits pick the first slot.
uint64_t *find(uint64_t *slot, uint32_t count, uint64_t f) {
  uint32_t i = (uint32_t)f & (count - 1);
  while (slot[i] && slot[i] != f) i = (i + 1) & (count - 1);
  return &slot[i];
}

void wipe_table(MasterRing *r) {
  if (!r->table) return;
  zor::crypto::wipe(r->table, r->slots * sizeof *r->table);
  KERN_kfree(r->table);
}

// Twice the slots in the host's memory; false when it gives none.
bool grow(MasterRing *r) {
  uint32_t count;
  uint64_t *old = slots_of(r, &count);
  const uint32_t bigger = count * 2;
  auto *table = static_cast<uint64_t *>(KERN_kmalloc(bigger * sizeof(uint64_t)));
  if (!table) return false;
  memset(table, 0, bigger * sizeof(uint64_t));
  for (uint32_t i = 0; i < count; i++)
    if (old[i]) *find(table, bigger, old[i]) = old[i];
  wipe_table(r);
  zor::crypto::wipe(r->inline_slot, sizeof r->inline_slot);
  r->table = table;
  r->slots = bigger;
  return true;
}

}  // namespace

extern "C" {

void MasterRingReset(MasterRing *r) {
  wipe_table(r);
  zor::crypto::wipe(r, sizeof *r);
}

uint32_t MasterRingTake(MasterRing *r, const uint8_t *master) {
  const uint64_t f = fingerprint_of(master);
  uint32_t count;
  uint64_t *all = slots_of(r, &count);
  uint64_t *slot = find(all, count, f);
  if (*slot) return MASTER_KNOWN;
  if (2 * (r->held + 1) > count) {
    if (r->held >= MASTER_MAX_HELD || !grow(r)) return MASTER_NO_ROOM;
    all = slots_of(r, &count);
    slot = find(all, count, f);
  }
  *slot = f;
  r->held++;
  return MASTER_TAKEN;
}

}  // extern "C"
