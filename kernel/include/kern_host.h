// The host-layer contract of ZorNFFltLib: the operations a kernel host gives
// the library. Kernel-side code includes only this and the freestanding
// compiler headers.
#pragma once
#include <stddef.h>
#include <stdint.h>

extern "C" {

// Plain memory and string functions that every kernel provides.
void *memcpy(void *dst, const void *src, size_t n);
void *memset(void *dst, int c, size_t n);
void *memmove(void *dst, const void *src, size_t n);
size_t strlen(const char *s);

// Vector-unit sections: non-zero when vector registers may be used until
// KERN_fpu_end().
int KERN_fpu_try_begin(void);
void KERN_fpu_end(void);

}  // extern "C"
