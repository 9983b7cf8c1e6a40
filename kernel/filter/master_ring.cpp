#include "kernel/filter/master_ring.h"

#include "crypto/streebog.h"
#include "crypto/wipe.h"
#include "kernel/filter/wire_format.h"

extern "C" {

void MasterRingReset(MasterRing *r) { zor::crypto::wipe(r, sizeof *r); }

uint32_t MasterRingTake(MasterRing *r, const uint8_t *master) {
  Hash3411Ctx ctx;
  uint8_t digest[32];
  Hash3411Open(&ctx);
  Hash3411(&ctx, master, 32);
  Hash3411Close(&ctx, digest);
  zor::crypto::wipe(&ctx, sizeof ctx);
  uint32_t known = 0;
  for (uint32_t i = 0; i < r->held && !known; i++)
    known = zor::wire::SameBytes(r->fingerprint[i], digest, MASTER_FINGERPRINT_LEN);
  if (!known) {
    memcpy(r->fingerprint[r->next], digest, MASTER_FINGERPRINT_LEN);
    r->next = (r->next + 1) % MASTER_RING_SIZE;
    if (r->held < MASTER_RING_SIZE) r->held++;
  }
  zor::crypto::wipe(digest, sizeof digest);
  return known ? 0 : 1;
}

}  // extern "C"
