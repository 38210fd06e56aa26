// What the CPU and the operating system offer the x86 methods, read from
// cpuid and XGETBV, and which methods those values allow. The reading and
// the decision are kept apart so that the decision can be tested on value
// combinations that no CPU or emulator here offers.
#include "crc/arch/x86/crc32_x86.h"

#include <cpuid.h>

namespace {

constexpr uint32_t kLeaf1PclmulBit = 1u << 1;     // ecx
constexpr uint32_t kLeaf1Sse41Bit = 1u << 19;     // ecx
constexpr uint32_t kLeaf1OsxsaveBit = 1u << 27;   // ecx: XGETBV is usable
constexpr uint32_t kLeaf1AvxBit = 1u << 28;       // ecx
constexpr uint32_t kLeaf7Avx2Bit = 1u << 5;       // ebx
constexpr uint32_t kLeaf7Avx512fBit = 1u << 16;   // ebx
constexpr uint32_t kLeaf7VpclmulBit = 1u << 10;   // ecx
// XCR0: the operating system saves the SSE (bit 1) and AVX (bit 2) state.
constexpr uint32_t kXcr0SseAvxState = 0x6u;
// XCR0: and the AVX-512 state, opmask (bit 5) and the upper halves of zmm0-15
// and all of zmm16-31 (bits 6, 7). Operating systems enable the three together.
constexpr uint32_t kXcr0Avx512State = 0xE6u;

// XCR0, read only once cpuid has said that XGETBV exists. Spelled as the
// instruction so that this file needs no -mxsave.
uint32_t ReadXcr0()
{
    uint32_t low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return low;
}

bool Has(uint32_t word, uint32_t bits)
{
    return (word & bits) == bits;
}

}  // namespace

CpuFeatures ReadCpuFeatures()
{
    CpuFeatures cpu;
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        cpu.leaf1_ecx = ecx;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        cpu.leaf7_ebx = ebx;
        cpu.leaf7_ecx = ecx;
    }
    if (Has(cpu.leaf1_ecx, kLeaf1OsxsaveBit))
        cpu.xcr0 = ReadXcr0();
    return cpu;
}

bool CanRunPclmul(const CpuFeatures& cpu)
{
    return Has(cpu.leaf1_ecx, kLeaf1PclmulBit | kLeaf1Sse41Bit);
}

bool CanRunVpclmul256(const CpuFeatures& cpu)
{
    // XCR0 counts only where the operating system has turned XGETBV on.
    return CanRunPclmul(cpu) && Has(cpu.leaf1_ecx, kLeaf1OsxsaveBit | kLeaf1AvxBit) &&
           Has(cpu.xcr0, kXcr0SseAvxState) && Has(cpu.leaf7_ebx, kLeaf7Avx2Bit) &&
           Has(cpu.leaf7_ecx, kLeaf7VpclmulBit);
}

bool CanRunVpclmul512(const CpuFeatures& cpu)
{
    return CanRunVpclmul256(cpu) && Has(cpu.leaf7_ebx, kLeaf7Avx512fBit) &&
           Has(cpu.xcr0, kXcr0Avx512State);
}
