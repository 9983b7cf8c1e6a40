// What the processor offers the vector code. Vector registers are used only
// where these answer true, and in the kernel build only inside a granted
// vector-unit section (crypto/platform.h).
#pragma once

namespace zor::crypto {

// PCLMULQDQ and SSSE3 (CPUID leaf 1, ECX bits 1 and 9).
bool cpu_has_clmul_ssse3();

// AVX-512 F, BW and VBMI, with the 512-bit register state enabled by the OS.
bool cpu_has_avx512_vbmi();

// cpu_has_avx512_vbmi() and GFNI (CPUID leaf 7, ECX bit 8).
bool cpu_has_avx512_gfni();

}  // namespace zor::crypto
