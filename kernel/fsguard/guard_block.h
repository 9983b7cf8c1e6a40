// Reading and editing the records of a configuration block. The caller holds
// the guard's lock; nothing here queues a save.
#pragma once
#include <stdint.h>

#include "kernel/fsguard/fsguard.h"

namespace zor::fsguard {

constexpr uint32_t kHeaderSize = sizeof(GuardConfigBlock);
constexpr uint32_t kRecordHeaderSize = sizeof(GuardFileRecord);

// Bytes that a name of n bytes takes in its record.
constexpr uint32_t padded_name_length(uint32_t n) { return (n + 5) & ~3u; }

// The longest name whose record length still fits the u16 length field.
constexpr uint32_t kMaxNameLength = 0xFFFF - kRecordHeaderSize - 5;
static_assert(kRecordHeaderSize + padded_name_length(kMaxNameLength) <= 0xFFFF);
static_assert(kRecordHeaderSize + padded_name_length(kMaxNameLength + 1) > 0xFFFF);

// A name that a record can hold: not null, 1 to kMaxNameLength bytes.
inline bool name_fits(const uint8_t *name, uint32_t n) {
  return name != nullptr && n != 0 && n <= kMaxNameLength;
}

inline GuardFileRecord *record_at(GuardConfigBlock *b, uint32_t offset) {
  return reinterpret_cast<GuardFileRecord *>(reinterpret_cast<uint8_t *>(b) + offset);
}
inline const GuardFileRecord *record_at(const GuardConfigBlock *b, uint32_t offset) {
  return reinterpret_cast<const GuardFileRecord *>(reinterpret_cast<const uint8_t *>(b) +
                                                   offset);
}
inline const uint8_t *record_name(const GuardFileRecord *r) {
  return reinterpret_cast<const uint8_t *>(r) + kRecordHeaderSize;
}

// True when a whole record, header and name included, lies at `offset`
// inside the block's total size.
bool record_fits(const GuardConfigBlock *b, uint32_t offset);

// Offset of the record numbered `index` (from 0), or 0 when the walk ends
// before it: past the record count or at a record that does not fit.
uint32_t record_offset(const GuardConfigBlock *b, uint32_t index);

// Offset of the first record whose name denotes the same file, or 0.
// `skip` is an offset to pass over (0: none).
uint32_t find_record(const GuardConfigBlock *b, const uint8_t *name, uint32_t n,
                     uint32_t skip = 0);

// Replaces the block by a copy with `extra` more bytes allocated behind its
// total size; false (block unchanged) when there is no memory.
bool grow_block(GuardConfigBlock *&b, uint32_t extra);

// Appends a record in room made by grow_block; name_fits(name, n) holds.
void append_record(GuardConfigBlock *b, const uint8_t *name, uint32_t n, uint16_t kind,
                   uint32_t now);

// Removes the record at `offset`, moving the records behind it down.
void remove_record(GuardConfigBlock *b, uint32_t offset, uint32_t now);

}  // namespace zor::fsguard
