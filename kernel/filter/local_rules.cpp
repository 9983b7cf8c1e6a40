#include "kernel/filter/local_rules.h"

#include "byte_order.h"
#include "crypto/crc32.h"
#include "drv_payloads.h"
#include "kernel/filter/filter_core.h"
#include "kernel/filter/firewall_sessions.h"

extern "C" {
uint8_t clilcfg[LCFG_HEADER_SIZE];
}

namespace {

constexpr uint32_t kEntries = 256, kEntrySize = 12;
constexpr uint32_t kEmptyFlags = 0x80;
// The largest image taken: far above any set of rules, and a bound on what
// one claimed length can make the filter allocate.
constexpr uint32_t kMaxImage = 16u << 20;

uint8_t *rules;          // the image in force
uint32_t rules_len;
uint8_t *pending;        // the image being loaded
uint32_t pending_len, pending_next;

void seal(uint8_t *part, uint32_t len) {
  store_le32(part + len - LCFG_SEAL_SIZE, ~FCS32(part, len - LCFG_SEAL_SIZE));
}
bool sealed(const uint8_t *part, uint32_t len) { return FCS32(part, len) == FCS32_RESIDUE; }

void drop_pending(void) {
  KERN_kfree(pending);
  pending = nullptr;
  pending_len = pending_next = 0;
}

// Replaces the rules; the packet path reads them under lock 0.
void install(uint8_t *image, uint32_t len) {
  DrvFilterLock(FLT_LOCK_CORE);
  KERN_kfree(rules);
  rules = image;
  rules_len = len;
  memcpy(clilcfg, image, LCFG_HEADER_SIZE);
  FIREWALL_RemoveAllINTCPSessions(0);
  DrvFilterUnLock(FLT_LOCK_CORE);
}

// The checks of a complete image; 0 when it may replace the rules.
int32_t check_image(const uint8_t *image, uint32_t len) {
  if (len < LCFG_HEADER_SIZE) return LCFG_SHORT_HEADER;
  if (len < LCFG_IMAGE_SIZE) return LCFG_SHORT_IMAGE;
  if (!sealed(image, LCFG_HEADER_SIZE) || !sealed(image + LCFG_HEADER_SIZE, LCFG_TABLE_SIZE))
    return LCFG_BAD_SEAL;
  if (load_le32(image + LCFGH_FORMAT) != LCFG_FORMAT ||
      len != LCFG_IMAGE_SIZE + load_le32(image + LCFGH_TAIL_LEN))
    return LCFG_BAD_CHUNK;
  return 0;
}

int32_t take_chunk(const uint8_t *payload, uint32_t n, uint32_t *next) {
  *next = 0;
  if (n < sizeof(DrvLocalCfgChunk)) return LCFG_BAD_CHUNK;
  const auto *chunk = reinterpret_cast<const DrvLocalCfgChunk *>(payload);
  uint32_t total = chunk->image_len, offset = chunk->offset, len = n - sizeof *chunk;
  if (offset == 0) {
    drop_pending();
    if (total == 0 || total > kMaxImage) return LCFG_NO_MEMORY;
    if (!(pending = static_cast<uint8_t *>(KERN_kmalloc(total)))) return LCFG_NO_MEMORY;
    pending_len = total;
  }
  if (!pending || total != pending_len || offset != pending_next || len > total - offset) {
    drop_pending();
    return LCFG_BAD_CHUNK;
  }
  memcpy(pending + offset, chunk->bytes, len);
  pending_next += len;
  *next = pending_next;
  if (pending_next < pending_len) return 0;
  int32_t err = check_image(pending, pending_len);
  if (err == 0) {
    install(pending, pending_len);
    pending = nullptr;
  }
  drop_pending();
  return err;
}

}  // namespace

extern "C" {

uint32_t LCFGSetBlock(uint8_t *payload, uint32_t n, uint32_t room) {
  if (room < sizeof(DrvLocalCfgAck)) return 0;
  uint32_t next;
  int32_t err = take_chunk(payload, n, &next);
  auto *ack = reinterpret_cast<DrvLocalCfgAck *>(payload);
  ack->next = next;
  ack->error = err;
  return sizeof *ack;
}

uint32_t LCFGGetBlock(uint8_t *payload, uint32_t room) {
  constexpr uint32_t kBlockHead = sizeof(DrvLocalCfgBlock);
  if (!rules || room < kBlockHead) return 0;
  uint32_t offset = load_le32(payload), len;
  if (offset == 0)
    len = LCFG_HEADER_SIZE;
  else if (offset == LCFG_HEADER_SIZE)
    len = LCFG_TABLE_SIZE;
  else if (offset == LCFG_IMAGE_SIZE && rules_len > LCFG_IMAGE_SIZE)
    len = rules_len - LCFG_IMAGE_SIZE;
  else
    return 0;
  if (len > room - kBlockHead) return 0;
  auto *block = reinterpret_cast<DrvLocalCfgBlock *>(payload);
  block->offset = offset;
  block->length = len;
  block->image_len = rules_len;
  block->zero = 0;
  memcpy(payload + kBlockHead, rules + offset, len);
  return kBlockHead + len;
}

void LCFGReadOnStart(void) {
  LCFGFreeMemory();
  auto *image = static_cast<uint8_t *>(KERN_kmalloc(LCFG_IMAGE_SIZE));
  if (!image) return;
  memset(image, 0, LCFG_IMAGE_SIZE);
  store_le32(image + LCFGH_FORMAT, LCFG_FORMAT);
  store_le32(image + LCFGH_FLAGS, kEmptyFlags);
  seal(image, LCFG_HEADER_SIZE);
  uint8_t *table = image + LCFG_HEADER_SIZE;
  for (uint32_t i = 0; i < kEntries; i++) store_le32(table + i * kEntrySize, 0xFFFFFFFFu);
  seal(table, LCFG_TABLE_SIZE);
  rules = image;
  rules_len = LCFG_IMAGE_SIZE;
  memcpy(clilcfg, image, LCFG_HEADER_SIZE);
}

void LCFGFreeMemory(void) {
  drop_pending();
  KERN_kfree(rules);
  rules = nullptr;
  rules_len = 0;
  memset(clilcfg, 0, sizeof clilcfg);
}

uint8_t LCFGGetFlags(void) { return clilcfg[LCFGH_FLAGS]; }

void LCFGSetFlag(uint8_t flag, bool on) {
  uint8_t &flags = clilcfg[LCFGH_FLAGS];
  flags = on ? (uint8_t)(flags | flag) : (uint8_t)(flags & ~flag);
}

uint32_t IPCheckNonGuardPacket(const IPPacket *) { return 1; }

uint32_t IPCheckFilter(const IPPacket *) { return 0; }

}  // extern "C"
