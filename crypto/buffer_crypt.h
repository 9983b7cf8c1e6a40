// Buffer encryption routines of the daemon's gateway socket layer: a caller's
// buffer transformed in place under the fixed key testkey32, always from a
// zero initial vector (so equal data gives equal results). Daemon only: the
// kernel build has no allocator here and no caller, and leaves them out.
#pragma once
#include <stdint.h>

extern "C" {
// 32 key bytes (printable, with line ends among them) and a terminating zero.
extern const char testkey32[33];

// Magma OFB over the data; its own inverse. 0, or 1 when the work buffer
// cannot be had (or the length leaves no room for it); the data is then
// unchanged. A length of 0 changes nothing and gives 0.
int32_t EncryptBuffer(uint8_t *data, uint32_t len);
int32_t DecryptBuffer(uint8_t *data, uint32_t len);
// GOST 28147-89 CFB encipherment under bukuz; results as EncryptBuffer.
int32_t DecryptBufferGost(uint8_t *data, uint32_t len);
}
