// The file guard's operations over one guard: a state (logged-in word and
// lock) and a configuration block. The entry points run them on the
// module-wide guard; each answers FSG_FAILED while the guard lacks either.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include "kern_host.h"
#include "kern_host_files.h"
#include "kernel/filter/filter_core.h"
#include "kernel/fsguard/fsguard.h"

namespace zor::fsguard {

struct GuardState {
  uint32_t loggedIn;  // non-zero after a login or after setting a password
  KERN_spinlock_t lock;
};

// References to the two pointers of one guard, so that operations that grow
// the block can replace it.
struct Guard {
  GuardState *&ext;
  GuardConfigBlock *&cfg;
};

inline bool ready(const Guard &g) { return g.ext != nullptr && g.cfg != nullptr; }
inline void lock(const Guard &g) { KERN_spin_lock_lock(&g.ext->lock); }
inline void unlock(const Guard &g) { KERN_spin_lock_unlock(&g.ext->lock); }

// Module start and stop.
uint32_t start(const Guard &g);
void release(const Guard &g);

// Password, login and the enabled switch.
void Zor_FS_Hash32(const uint8_t *data, uint32_t length, uint8_t out[32]);
uint32_t has_password(const Guard &g, uint32_t *out);
uint32_t set_password(const Guard &g, const uint8_t *password, uint32_t length);
uint32_t login(const Guard &g, const uint8_t *password, uint32_t length);
uint32_t is_logged(const Guard &g, uint32_t *out);
uint32_t logout(const Guard &g);
uint32_t get_enabled(const Guard &g, uint32_t *out);
uint32_t set_enabled(const Guard &g, const uint32_t *value);

// The list of guarded files.
GuardFileRecord *find_file(const Guard &g, const uint8_t *name, uint32_t length);
uint32_t add_file(const Guard &g, const uint8_t *name, uint32_t length, uint16_t kind);
uint32_t delete_file(const Guard &g, const uint8_t *name, uint32_t length);
uint32_t delete_all_files(const Guard &g);
uint32_t rename_file(const Guard &g, const uint8_t *oldName, uint32_t oldLength,
                     const uint8_t *newName, uint32_t newLength);
uint32_t delete_missing_files(const Guard &g);
uint32_t unlink_file(const Guard &g, const uint8_t *name, uint32_t length);

// A control request.
uint32_t ioctl(const Guard &g, FsIoctlBuffer *buffer);

}  // namespace zor::fsguard
