// The host operations that only the file guard uses: opening, closing and
// deleting files by name, comparing two file names, and asking the host to
// save the guard's configuration block.
#pragma once
#include <stdint.h>

extern "C" {

// Opens the zero-terminated `name` with open(2)-style `flags` and `mode`
// (the guard passes 0 and 1: read-only, nothing created); 0 and *handle set
// when the file opened, else non-zero.
int KERN_fopen(const char *name, void **handle, int flags, int mode);
// Closes a handle of KERN_fopen; 0 on success.
int KERN_fclose(void *handle);
// Deletes the file with the zero-terminated `name` from disk; 0 when deleted.
int KERN_funlink(const char *name);
// 0 when the two names (byte counts given, no terminator needed) denote the
// same file, else non-zero.
int KERN_fnamecmp(const uint8_t *name1, uint32_t length1, const uint8_t *name2,
                  uint32_t length2);
// Schedules saving the guard's configuration block; the guard does not use
// the result.
int KERN_queue_fsguardcfgsave(void);

}  // extern "C"
