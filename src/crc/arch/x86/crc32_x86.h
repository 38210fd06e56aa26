// The x86 methods of CrcUpdate and the CPU checks that guard them.
#pragma once

#include "crc/crc32_methods.h"

#include <cstddef>
#include <cstdint>

// PCLMULQDQ and SSE4.1: 128-bit carry-less multiplication. Any x86 CPU since
// about 2010.
bool CanRunPclmul(const CpuFeatures& cpu);

// VPCLMULQDQ on 256-bit registers with AVX2, and an operating system that
// saves the 256-bit register state (XCR0 bits 1 and 2).
bool CanRunVpclmul256(const CpuFeatures& cpu);

// Folding 64 bytes at a time in four 128-bit registers (crc32_pclmul.cpp).
uint32_t CrcUpdatePclmul(uint32_t reg, const uint8_t* data, size_t length);

// VPCLMULQDQ on 512-bit registers with AVX-512F, all that the 256-bit method
// needs (the 512-bit one uses AVX2 and PCLMULQDQ too), and an operating
// system that also saves the opmask and 512-bit register state (XCR0 bits 5
// to 7).
bool CanRunVpclmul512(const CpuFeatures& cpu);

// Folding 128 bytes at a time in four 256-bit registers (crc32_vpclmul.cpp).
uint32_t CrcUpdateVpclmul256(uint32_t reg, const uint8_t* data, size_t length);

// Folding 256 bytes at a time in four 512-bit registers (crc32_vpclmul512.cpp).
uint32_t CrcUpdateVpclmul512(uint32_t reg, const uint8_t* data, size_t length);
