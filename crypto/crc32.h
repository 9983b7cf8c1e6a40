// CRC-32 (reflected polynomial 0xEDB88320) without the final complement.
// Sealed blocks store ~FCS32(data) little-endian behind the data; FCS32 over
// data and seal together then gives FCS32_RESIDUE.
#pragma once
#include <stdint.h>

constexpr uint32_t FCS32_RESIDUE = 0xDEBB20E3u;

extern "C" {
extern const uint32_t f32t[256];
uint32_t FCS32cont(const void *buf, uint32_t len, uint32_t crc);
uint32_t FCS32(const void *buf, uint32_t len);
}
