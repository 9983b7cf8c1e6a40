// The file guard module: its module-wide state, start and stop, and the entry
// points that the host calls by name, each running on the module's guard.
#include "kernel/fsguard/guard.h"

namespace zor::fsguard {
namespace {

GuardState *Zor_FS_ext = nullptr;
GuardConfigBlock *Zor_FS_cfg = nullptr;
uint32_t alreadyStarted = 0;  // re-entry flag of the save

Guard module_guard() { return Guard{Zor_FS_ext, Zor_FS_cfg}; }

void release_state(const Guard &g) {
  if (g.ext == nullptr) return;
  KERN_spin_lock_free(&g.ext->lock);
  KERN_kfree(g.ext);
  g.ext = nullptr;
}

void release_block(const Guard &g) {
  if (g.cfg == nullptr) return;
  KERN_kfree(g.cfg);
  g.cfg = nullptr;
}

}  // namespace

// The configuration load always fails, so a start releases the state that it
// made and leaves the guard empty: 1, or 2 when the state could not be
// allocated.
uint32_t start(const Guard &g) {
  release_state(g);
  uint32_t result = FSG_NO_MEMORY;
  g.ext = static_cast<GuardState *>(KERN_kmalloc(sizeof(GuardState)));
  if (g.ext != nullptr) {
    KERN_memset(g.ext, 0, sizeof(GuardState));
    KERN_spin_lock_init(&g.ext->lock);
    result = Zor_FS_LoadGuardCfg();
    if (result != FSG_OK) {
      release_state(g);
      result = FSG_FAILED;
    }
  }
  release_block(g);
  return result;
}

void release(const Guard &g) {
  release_state(g);
  release_block(g);
}

}  // namespace zor::fsguard

using namespace zor::fsguard;

extern "C" {

uint32_t Zor_FS_init_module(void) {
  KERN_printk("VUDIVUDI: init_module: Filter driver loading...\n");
  uint32_t result = start(module_guard());
  KERN_printk("VUDIVUDI: init_module: Filter driver loaded\n");
  return result;
}

uint32_t Zor_FS_DriverEntry(void) { return start(module_guard()); }

void Zor_FS_cleanup_module(void) {
  KERN_printk("VUDIVUDI: cleanup_module: Filter driver unloading...\n");
  release(module_guard());
  KERN_printk("VUDIVUDI: cleanup_module: Filter driver unloaded\n");
}

void Zor_FS_DriverUnload(void) { release(module_guard()); }

uint32_t Zor_FS_GuardLock(void) {
  if (Zor_FS_ext == nullptr) return FSG_FAILED;
  lock(module_guard());
  return FSG_OK;
}

uint32_t Zor_FS_GuardUnlock(void) {
  if (Zor_FS_ext == nullptr) return FSG_FAILED;
  unlock(module_guard());
  return FSG_OK;
}

uint32_t Zor_FS_HasPassword(uint32_t *out) { return has_password(module_guard(), out); }

uint32_t Zor_FS_SetPassword(const uint8_t *password, uint32_t length) {
  return set_password(module_guard(), password, length);
}

uint32_t Zor_FS_Login(const uint8_t *password, uint32_t length) {
  return login(module_guard(), password, length);
}

uint32_t Zor_FS_IsLoged(uint32_t *out) { return is_logged(module_guard(), out); }

uint32_t Zor_FS_Logout(void) { return logout(module_guard()); }

uint32_t Zor_FS_GetGuardEnabled(uint32_t *out) { return get_enabled(module_guard(), out); }

uint32_t Zor_FS_SetGuardEnabled(const uint32_t *value) {
  return set_enabled(module_guard(), value);
}

GuardFileRecord *Zor_FS_FindGuardFile(const uint8_t *name, uint32_t length) {
  return find_file(module_guard(), name, length);
}

uint32_t Zor_FS_AddGuardFile(const uint8_t *name, uint32_t length, uint16_t kind) {
  return add_file(module_guard(), name, length, kind);
}

uint32_t Zor_FS_DeleteGuardFile(const uint8_t *name, uint32_t length) {
  return delete_file(module_guard(), name, length);
}

uint32_t Zor_FS_DeleteAllGuardFiles(void) { return delete_all_files(module_guard()); }

uint32_t Zor_FS_RenameGuardFile(const uint8_t *oldName, uint32_t oldLength,
                                const uint8_t *newName, uint32_t newLength) {
  return rename_file(module_guard(), oldName, oldLength, newName, newLength);
}

uint32_t Zor_FS_DeleteNotExistGuardFiles(void) {
  return delete_missing_files(module_guard());
}

uint32_t Zor_FS_UnlinkGuardFile(const uint8_t *name, uint32_t length) {
  return unlink_file(module_guard(), name, length);
}

uint32_t Zor_FS_Ioctl(FsIoctlBuffer *buffer) { return ioctl(module_guard(), buffer); }

// The guard has no configuration load.
uint32_t Zor_FS_LoadGuardCfg(void) { return FSG_FAILED; }

// Saving is the host's business (KERN_queue_fsguardcfgsave); this writes
// nothing and only keeps its re-entry flag.
uint32_t Zor_FS_SaveGuardCfg(void) {
  if (alreadyStarted != 0) return FSG_OK;
  alreadyStarted = 1;
  alreadyStarted = 0;
  return FSG_FAILED;
}

uint32_t Zor_FS_AddToLog(void) { return FSG_FAILED; }
uint32_t Zor_FS_GetFromLog(void) { return FSG_FAILED; }
uint32_t Zor_FS_ClearLog(void) { return FSG_FAILED; }
uint32_t Zor_FS_GetLogSize(void) { return FSG_FAILED; }

}  // extern "C"
