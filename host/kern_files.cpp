// The file guard's host operations on POSIX: files are opened, closed and
// deleted by path, names are the same file when their bytes are equal, and a
// save request runs the guard's own save at once (which writes nothing).
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include "kern_host_files.h"
#include "kernel/fsguard/fsguard.h"

namespace {

// A handle carries the descriptor.
void *to_handle(int fd) { return reinterpret_cast<void *>(static_cast<intptr_t>(fd)); }
int from_handle(void *handle) { return static_cast<int>(reinterpret_cast<intptr_t>(handle)); }

}  // namespace

extern "C" {

int KERN_fopen(const char *name, void **handle, int flags, int mode) {
  if (name == nullptr || handle == nullptr) return EINVAL;
  int fd = open(name, flags | O_CLOEXEC, static_cast<mode_t>(mode));
  if (fd < 0) return errno;
  *handle = to_handle(fd);
  return 0;
}

int KERN_fclose(void *handle) { return close(from_handle(handle)) == 0 ? 0 : errno; }

int KERN_funlink(const char *name) {
  if (name == nullptr) return EINVAL;
  return unlink(name) == 0 ? 0 : errno;
}

// Paths are taken as given: no resolution of links or relative parts.
int KERN_fnamecmp(const uint8_t *name1, uint32_t length1, const uint8_t *name2,
                  uint32_t length2) {
  if (length1 != length2) return 1;
  if (length1 == 0) return 0;
  return memcmp(name1, name2, length1) == 0 ? 0 : 1;
}

int KERN_queue_fsguardcfgsave(void) {
  Zor_FS_SaveGuardCfg();
  return 0;
}

}  // extern "C"
