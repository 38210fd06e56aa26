// The methods that compute CrcUpdate, and the choice among them.
//
// Every method computes the same function; they differ only in the
// instructions they need. The choice is made once, at the first CrcUpdate:
// what the CPU and operating system offer is read (ReadCpuFeatures), and the
// fastest method those values allow runs. Setting the environment variable
// TALLOWIX_CRC_METHOD to a method's name before that first call picks that
// method instead, when it can run here; tests use it to reach every method
// through the built library.
#pragma once

#include "crc/crc32.h"

// What the CPU and the operating system offer, as cpuid and XGETBV report
// it: leaf 1's ecx, leaf 7's ebx and ecx, and XCR0 (0 unless cpuid says the
// operating system has turned XGETBV on). All zero where there is nothing to
// read.
struct CpuFeatures {
    uint32_t leaf1_ecx = 0;
    uint32_t leaf7_ebx = 0;
    uint32_t leaf7_ecx = 0;
    uint32_t xcr0 = 0;
};

CpuFeatures ReadCpuFeatures();

using CrcUpdateFunction = uint32_t (*)(uint32_t reg, const uint8_t* data, size_t length);

struct CrcMethod {
    const char* name;
    CrcUpdateFunction update;
    bool (*supported)(const CpuFeatures& cpu);  // whether such a CPU can run it
};

// Every method built into the library, the portable reference first and the
// fastest last.
extern const CrcMethod kCrcMethods[];
extern const size_t kCrcMethodCount;

// The method CrcUpdate runs; chosen at the first call of either.
const CrcMethod& ChosenCrcMethod();

// The choice itself: the method named `forced` when `cpu` can run it, else
// the fastest that `cpu` can run. `forced` may be null.
const CrcMethod& ChooseCrcMethod(const CpuFeatures& cpu, const char* forced);

// Environment variable that forces a method by name.
constexpr char kCrcMethodVariable[] = "TALLOWIX_CRC_METHOD";

// The portable method (slicing-by-8 over CrcTable), in crc32.cpp.
uint32_t CrcUpdatePortable(uint32_t reg, const uint8_t* data, size_t length);
