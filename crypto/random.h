// The library's random generator: 16 independent 72-byte state slots, each
// advanced by enciphering itself with GOST 28147-89 in CFB mode under the
// Magma substitution; every 32-byte output block must pass TestRNG first.
// No locks: callers serialise all use of one slot.
#pragma once
#include <stdint.h>

extern "C" {

enum { RNG_SLOTS = 16, RNG_SEED_BYTES = 72 };

// Copies the 72 seed bytes over the slot as they are. A slot of 16 or more,
// or a null seed, does nothing.
void InitRandomEx(const void *seed, uint32_t slot);

// Fills out with len bytes: 0 success; 1 for a slot of 16 or more, a null out
// with len above 0, or a block that failed the self-test five times (the
// blocks delivered before it stay in out). len 0 succeeds and changes nothing.
uint32_t GetRandomEx(void *out, uint32_t len, uint32_t slot);
uint32_t GetRandom32Ex(void *out, uint32_t slot);

// Self-test of one 32-byte output block: 0 accepted, 1 rejected (also for
// a null block).
uint32_t TestRNG(const void *block);

// Bit-stream tests, most significant bit of each byte first: ones,
// transitions, lag-8 differences, longest run of zeros, longest run of ones
// within [min, max]; a pair with a negative bound is not tested. 0 pass, 1 fail.
uint32_t RndTest_buf(const void *buf, uint32_t len, int32_t onesMin, int32_t onesMax,
                     int32_t transMin, int32_t transMax, int32_t lag8Min, int32_t lag8Max,
                     int32_t run0Min, int32_t run0Max, int32_t run1Min, int32_t run1Max);

// Pattern frequencies of widths 1 to 5 (least significant bit of byte 0
// first) must each stay within (8 * len) / divisor of their expectation.
uint32_t RndTest_expectation_buf(const void *buf, uint32_t len, uint32_t divisor);

}  // extern "C"
