// The request dispatcher of the framed requests (codes 0-47).
#pragma once
#include "kern_host.h"

extern "C" {
// Runs request `code` on the 24-byte request header and payload in `buffer`
// (`length` bytes), taking filter lock 1 when `lock` is non-zero. Result:
// 24 + reply payload length, or a negative status.
int32_t internal_FilterGetInformation(uint32_t code, uint8_t *buffer, uint32_t length,
                                      uint32_t lock);
}
