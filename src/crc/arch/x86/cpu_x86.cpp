// CPU and operating-system checks for the x86 methods, from cpuid and XGETBV.
#include "crc/arch/x86/crc32_x86.h"

#include <cpuid.h>

namespace {

constexpr unsigned kLeaf1PclmulBit = 1u << 1;     // ecx
constexpr unsigned kLeaf1Sse41Bit = 1u << 19;     // ecx
constexpr unsigned kLeaf1OsxsaveBit = 1u << 27;   // ecx: XGETBV is usable
constexpr unsigned kLeaf1AvxBit = 1u << 28;       // ecx
constexpr unsigned kLeaf7Avx2Bit = 1u << 5;       // ebx
constexpr unsigned kLeaf7Avx512fBit = 1u << 16;   // ebx
constexpr unsigned kLeaf7VpclmulBit = 1u << 10;   // ecx
// XCR0: the operating system saves the SSE (bit 1) and AVX (bit 2) state.
constexpr unsigned kXcr0SseAvxState = 0x6u;
// XCR0: and the AVX-512 state, opmask (bit 5) and the upper halves of zmm0-15
// and all of zmm16-31 (bits 6, 7). Operating systems enable the three together.
constexpr unsigned kXcr0Avx512State = 0xE6u;

struct Leaf1 {
    unsigned ecx = 0;
};

Leaf1 ReadLeaf1()
{
    unsigned eax, ebx, ecx, edx;
    Leaf1 leaf;
    if (__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        leaf.ecx = ecx;
    return leaf;
}

struct Leaf7 {
    unsigned ebx = 0;
    unsigned ecx = 0;
};

Leaf7 ReadLeaf7()
{
    unsigned eax, ebx, ecx, edx;
    Leaf7 leaf;
    if (__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        leaf.ebx = ebx;
        leaf.ecx = ecx;
    }
    return leaf;
}

// XCR0, read only once cpuid has said that XGETBV exists. Spelled as the
// instruction so that this file needs no -mxsave.
unsigned ReadXcr0()
{
    unsigned low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return low;
}

}  // namespace

bool CpuHasPclmul()
{
    Leaf1 leaf = ReadLeaf1();
    return (leaf.ecx & kLeaf1PclmulBit) && (leaf.ecx & kLeaf1Sse41Bit);
}

bool CpuHasVpclmul256()
{
    Leaf1 leaf = ReadLeaf1();
    if (!(leaf.ecx & kLeaf1PclmulBit) || !(leaf.ecx & kLeaf1Sse41Bit) ||
        !(leaf.ecx & kLeaf1OsxsaveBit) || !(leaf.ecx & kLeaf1AvxBit))
        return false;
    if ((ReadXcr0() & kXcr0SseAvxState) != kXcr0SseAvxState)
        return false;
    Leaf7 leaf7 = ReadLeaf7();
    return (leaf7.ebx & kLeaf7Avx2Bit) && (leaf7.ecx & kLeaf7VpclmulBit);
}

bool CpuHasVpclmul512()
{
    // XGETBV is safe to run once the 256-bit check has passed.
    return CpuHasVpclmul256() && (ReadLeaf7().ebx & kLeaf7Avx512fBit) &&
           (ReadXcr0() & kXcr0Avx512State) == kXcr0Avx512State;
}
