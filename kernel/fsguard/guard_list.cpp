// The list of guarded files: look-up, adding, removing, renaming, pruning
// records of files that are gone, and deleting a guarded file from disk.
// Each operation edits the block under the lock and queues a save after
// releasing it.
#include "kernel/fsguard/guard.h"
#include "kernel/fsguard/guard_block.h"

namespace zor::fsguard {
namespace {

uint32_t now() { return DrvGetCurFtime(nullptr); }

uint32_t record_size(uint32_t n) { return kRecordHeaderSize + padded_name_length(n); }

}  // namespace

GuardFileRecord *find_file(const Guard &g, const uint8_t *name, uint32_t length) {
  if (!ready(g) || name == nullptr || length == 0) return nullptr;
  lock(g);
  uint32_t offset = find_record(g.cfg, name, length);
  GuardFileRecord *r = offset != 0 ? record_at(g.cfg, offset) : nullptr;
  unlock(g);
  return r;
}

// The look-up and the insertion share one hold of the lock, so a name is
// never listed twice.
uint32_t add_file(const Guard &g, const uint8_t *name, uint32_t length, uint16_t kind) {
  if (!ready(g) || !name_fits(name, length)) return FSG_FAILED;
  lock(g);
  if (find_record(g.cfg, name, length) != 0) {
    unlock(g);
    return FSG_OK;
  }
  if (!grow_block(g.cfg, record_size(length))) {
    unlock(g);
    return FSG_NO_MEMORY;
  }
  append_record(g.cfg, name, length, kind, now());
  unlock(g);
  KERN_queue_fsguardcfgsave();
  return FSG_OK;
}

uint32_t delete_file(const Guard &g, const uint8_t *name, uint32_t length) {
  if (!ready(g) || name == nullptr || length == 0) return FSG_FAILED;
  lock(g);
  uint32_t offset = find_record(g.cfg, name, length);
  if (offset == 0) {
    unlock(g);
    return FSG_FAILED;
  }
  remove_record(g.cfg, offset, now());
  unlock(g);
  KERN_queue_fsguardcfgsave();
  return FSG_OK;
}

// Empties the list; the password, the flags and the digest stay.
uint32_t delete_all_files(const Guard &g) {
  if (!ready(g)) return FSG_FAILED;
  lock(g);
  g.cfg->changeCounter += 1;
  g.cfg->recordCount = 0;
  g.cfg->totalSize = kHeaderSize;
  g.cfg->lastChange = now();
  unlock(g);
  KERN_queue_fsguardcfgsave();
  return FSG_OK;
}

// The old record gives way to a new one of the new name and the old kind. The
// new name is checked and the room for it made before the old record is
// removed, so a rename that cannot complete leaves the list as it was. When
// the new name is listed already, only the old record is removed.
uint32_t rename_file(const Guard &g, const uint8_t *oldName, uint32_t oldLength,
                     const uint8_t *newName, uint32_t newLength) {
  if (!ready(g) || oldName == nullptr || oldLength == 0) return FSG_FAILED;
  if (!name_fits(newName, newLength)) return FSG_FAILED;
  lock(g);
  uint32_t offset = find_record(g.cfg, oldName, oldLength);
  if (offset == 0) {
    unlock(g);
    return FSG_FAILED;
  }
  uint16_t kind = record_at(g.cfg, offset)->kind;
  bool newListed = find_record(g.cfg, newName, newLength, offset) != 0;
  if (!newListed && !grow_block(g.cfg, record_size(newLength))) {
    unlock(g);
    return FSG_NO_MEMORY;
  }
  remove_record(g.cfg, offset, now());
  if (!newListed) append_record(g.cfg, newName, newLength, kind, now());
  unlock(g);
  KERN_queue_fsguardcfgsave();
  return FSG_OK;
}

// Drops the records of files that no longer open. The walk holds the lock
// throughout, so no other operation moves the block under it; the host's
// KERN_fopen therefore runs under the guard's lock and must not enter the
// guard.
uint32_t delete_missing_files(const Guard &g) {
  if (!ready(g)) return FSG_FAILED;
  lock(g);
  uint32_t counterBefore = g.cfg->changeCounter;
  uint32_t records = g.cfg->recordCount;
  uint32_t offset = kHeaderSize;
  for (uint32_t i = 0; i < records && record_fits(g.cfg, offset); ++i) {
    GuardFileRecord *r = record_at(g.cfg, offset);
    void *handle = nullptr;
    if (KERN_fopen(reinterpret_cast<const char *>(record_name(r)), &handle, 0, 1) == 0) {
      KERN_fclose(handle);
      offset += r->length;
    } else {
      remove_record(g.cfg, offset, now());  // the next record moves to `offset`
    }
  }
  bool save = g.cfg->changeCounter != counterBefore || counterBefore == 0;
  unlock(g);
  if (save) KERN_queue_fsguardcfgsave();
  return FSG_OK;
}

// Deletes the file from disk whether or not the guard has state. On success
// its record goes; on failure a record that was listed before the attempt and
// has gone meanwhile is put back.
uint32_t unlink_file(const Guard &g, const uint8_t *name, uint32_t length) {
  if ((name == nullptr && length != 0) || length > kMaxNameLength) return FSG_FAILED;
  delete_missing_files(g);
  bool listed = find_file(g, name, length) != nullptr;
  uint32_t padded = padded_name_length(length);
  auto *path = static_cast<char *>(KERN_kmalloc(padded));
  if (path == nullptr) return FSG_NO_MEMORY;
  if (length != 0) KERN_memcpy(path, name, length);
  KERN_memset(path + length, 0, padded - length);
  uint32_t result = FSG_OK;
  if (KERN_funlink(path) == 0) {
    delete_file(g, name, length);
  } else {
    if (listed) add_file(g, name, length, GUARD_KIND_PUT_BACK);
    result = FSG_UNLINK_FAILED;
  }
  KERN_kfree(path);
  return result;
}

}  // namespace zor::fsguard
