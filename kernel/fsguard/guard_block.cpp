// Records of a configuration block: walking, finding, appending, removing.
#include "kernel/fsguard/guard_block.h"

#include "kernel/fsguard/guard.h"

namespace zor::fsguard {

bool record_fits(const GuardConfigBlock *b, uint32_t offset) {
  if (offset < kHeaderSize || offset > b->totalSize ||
      b->totalSize - offset < kRecordHeaderSize)
    return false;
  const GuardFileRecord *r = record_at(b, offset);
  // The name and its terminating zero must lie inside the record.
  return r->length <= b->totalSize - offset &&
         r->length > kRecordHeaderSize + uint32_t{r->nameLength};
}

uint32_t record_offset(const GuardConfigBlock *b, uint32_t index) {
  if (index >= b->recordCount) return 0;
  uint32_t offset = kHeaderSize;
  for (uint32_t i = 0; i < index; ++i) {
    if (!record_fits(b, offset)) return 0;
    offset += record_at(b, offset)->length;
  }
  return record_fits(b, offset) ? offset : 0;
}

uint32_t find_record(const GuardConfigBlock *b, const uint8_t *name, uint32_t n,
                     uint32_t skip) {
  uint32_t offset = kHeaderSize;
  for (uint32_t i = 0; i < b->recordCount && record_fits(b, offset); ++i) {
    const GuardFileRecord *r = record_at(b, offset);
    if (offset != skip && KERN_fnamecmp(record_name(r), r->nameLength, name, n) == 0)
      return offset;
    offset += r->length;
  }
  return 0;
}

bool grow_block(GuardConfigBlock *&b, uint32_t extra) {
  uint32_t size = b->totalSize;
  if (extra > UINT32_MAX - size) return false;
  auto *grown = static_cast<GuardConfigBlock *>(KERN_kmalloc(size + extra));
  if (grown == nullptr) return false;
  KERN_memcpy(grown, b, size);
  KERN_kfree(b);
  b = grown;
  return true;
}

void append_record(GuardConfigBlock *b, const uint8_t *name, uint32_t n, uint16_t kind,
                   uint32_t now) {
  uint32_t padded = padded_name_length(n);
  GuardFileRecord *r = record_at(b, b->totalSize);
  KERN_memset(r, 0, kRecordHeaderSize);
  r->length = static_cast<uint16_t>(kRecordHeaderSize + padded);
  r->nameLength = static_cast<uint16_t>(n);
  r->inserted = now;
  r->kind = kind;
  r->id = b->changeCounter + 1;
  uint8_t *dst = reinterpret_cast<uint8_t *>(r) + kRecordHeaderSize;
  KERN_memcpy(dst, name, n);
  KERN_memset(dst + n, 0, padded - n);
  b->recordCount += 1;
  b->changeCounter += 1;
  b->totalSize += r->length;
  b->lastChange = now;
}

void remove_record(GuardConfigBlock *b, uint32_t offset, uint32_t now) {
  uint8_t *at = reinterpret_cast<uint8_t *>(b) + offset;
  uint32_t length = record_at(b, offset)->length;
  KERN_memmove(at, at + length, b->totalSize - offset - length);
  b->recordCount -= 1;
  b->totalSize -= length;
  b->changeCounter += 1;
  b->lastChange = now;
}

}  // namespace zor::fsguard
