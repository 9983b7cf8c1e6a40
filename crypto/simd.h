// The compiler's vector intrinsics without the allocation helpers that would
// pull libc headers into the freestanding build.
#pragma once
#define _MM_MALLOC_H_INCLUDED
#define __MM_MALLOC_H
#include <immintrin.h>

// GCC 12 reports its own placeholder for undefined vector values
// (_mm512_undefined_epi32) as uninitialized once the intrinsics inline.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
