// TEMPORARY: host-layer declarations the guard uses, until the
// shared contract header lands; removed at that merge.
#pragma once
#include <stddef.h>
#include <stdint.h>

extern "C" {
void *KERN_kmalloc(size_t size);
void KERN_kfree(void *p);
void *KERN_memset(void *dst, int c, size_t n);
void *KERN_memcpy(void *dst, const void *src, size_t n);
void *KERN_memmove(void *dst, const void *src, size_t n);
void KERN_spin_lock_init(void *slot);
void KERN_spin_lock_free(void *slot);
void KERN_spin_lock_lock(void *slot);
void KERN_spin_lock_unlock(void *slot);
void KERN_printk(const char *format, ...);
uint32_t DrvGetCurFtime(uint64_t *stamp);
}
