// The x86 methods of CrcUpdate and the CPU checks that guard them.
#pragma once

#include <cstddef>
#include <cstdint>

// PCLMULQDQ and SSE4.1: 128-bit carry-less multiplication. Any x86 CPU since
// about 2010.
bool CpuHasPclmul();

// VPCLMULQDQ on 256-bit registers with AVX2, and an operating system that
// saves the 256-bit register state (XCR0 bits 1 and 2).
bool CpuHasVpclmul256();

// Folding 64 bytes at a time in four 128-bit registers (crc32_pclmul.cpp).
uint32_t CrcUpdatePclmul(uint32_t reg, const uint8_t* data, size_t length);

// Folding 128 bytes at a time in four 256-bit registers (crc32_vpclmul.cpp,
// 64-bit builds only).
uint32_t CrcUpdateVpclmul256(uint32_t reg, const uint8_t* data, size_t length);
