// CRC-32 by folding 256 bytes at a time in four 512-bit registers with
// VPCLMULQDQ, each register four 128-bit lanes folded side by side; the
// method itself is described in crc32_fold.h. Compiled with -mavx512f -mavx2
// -mvpclmulqdq -mpclmul and run only when CanRunVpclmul512(). Of AVX-512 it
// needs the foundation only: no byte, word or narrow-register forms are used.
//
// The 32-bit build has eight vector registers, enough for the four
// accumulators, the constants and one product. Its stack is realigned on
// entry, and the file is assembled with aligned vector moves encoded as
// unaligned ones (-Wa,-muse-unaligned-vector-move), so that a spill is safe
// on any stack: 32-bit Windows promises 4-byte alignment only, and 64-bit
// mingw cannot align beyond 16 bytes (GCC bug 54412).
#include "crc/arch/x86/crc32_x86.h"

#include "crc/arch/x86/crc32_fold.h"

namespace {

constexpr size_t kStrideBytes = 256;
constexpr size_t kRegisterBytes = 64;

constexpr FoldPair kFoldStride = FoldBy(8 * kStrideBytes);
constexpr FoldPair kFold512 = FoldBy(512);
constexpr FoldPair kFold384 = FoldBy(384);
constexpr FoldPair kFold256 = FoldBy(256);

// ISA-L publishes the 2048-bit pair as 0xCE3371CB and 0xE95C1271: x^2079 and
// x^2015 mod P, reflected but not shifted. One more step of the register and
// the shift make them K(2080) and K(2016).
constexpr uint64_t FromUnshifted(uint32_t reg)
{
    return uint64_t{(reg >> 1) ^ ((reg & 1) ? kCrcPolynomial : 0)} << 1;
}
static_assert(K(16 * 128 + 32) == 0x11542778Au && K(16 * 128 - 32) == 0x1322D1430u &&
                  FromUnshifted(0xCE3371CBu) == K(16 * 128 + 32) &&
                  FromUnshifted(0xE95C1271u) == K(16 * 128 - 32),
              "fold across 2048 bits");
static_assert(K(3 * 128 + 32) == 0x03DB1ECDCu && K(3 * 128 - 32) == 0x174359406u,
              "fold across 384 bits");

// The pair of constants in each of the four lanes.
inline __m512i LaneConstants(FoldPair pair)
{
    return _mm512_set_epi64(pair.second, pair.first, pair.second, pair.first, pair.second,
                            pair.first, pair.second, pair.first);
}

// Folds the four lanes of `lanes` forward by `k` into `next` (see Fold128):
// both products and `next` XOR-ed in one instruction.
inline __m512i Fold512(__m512i lanes, __m512i k, __m512i next)
{
    constexpr int kXorOfThree = 0x96;
    return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(lanes, k, 0x00),
                                     _mm512_clmulepi64_epi128(lanes, k, 0x11), next,
                                     kXorOfThree);
}

inline __m512i Load512(const uint8_t* data)
{
    return _mm512_loadu_si512(data);
}

// The four lanes of one register folded into one 128-bit block: each lane by
// its distance to the last one.
inline __m128i FoldLanes(__m512i lanes)
{
    constexpr __mmask8 kLastLane = 0xC0;
    const __m512i k = _mm512_set_epi64(0, 0, kFold128.second, kFold128.first, kFold256.second,
                                       kFold256.first, kFold384.second, kFold384.first);
    // The last lane's constants are zero, so its products vanish and the lane
    // itself comes in through the third operand.
    __m512i folded = Fold512(lanes, k, _mm512_maskz_mov_epi64(kLastLane, lanes));
    // Zero-masked extracts with all lanes kept: GCC 12 warns that the plain
    // ones pass an undefined value through (GCC bug 105593).
    constexpr __mmask8 kWholeHalf = 0xF;
    __m256i halves = _mm256_xor_si256(_mm512_maskz_extracti64x4_epi64(kWholeHalf, folded, 0),
                                      _mm512_maskz_extracti64x4_epi64(kWholeHalf, folded, 1));
    return _mm_xor_si128(_mm256_castsi256_si128(halves), _mm256_extracti128_si256(halves, 1));
}

}  // namespace

__attribute__((force_align_arg_pointer))
uint32_t CrcUpdateVpclmul512(uint32_t reg, const uint8_t* data, size_t length)
{
    // Below one stride the 128-bit method is as fast; the 256-bit one hands
    // such lengths to it too.
    if (length < kStrideBytes)
        return CrcUpdatePclmul(reg, data, length);

    __m512i z0 = _mm512_xor_si512(Load512(data),
                                  _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(reg))));
    __m512i z1 = Load512(data + kRegisterBytes);
    __m512i z2 = Load512(data + 2 * kRegisterBytes);
    __m512i z3 = Load512(data + 3 * kRegisterBytes);
    data += kStrideBytes;
    length -= kStrideBytes;

    const __m512i stride = LaneConstants(kFoldStride);
    while (length >= kStrideBytes) {
        z0 = Fold512(z0, stride, Load512(data));
        z1 = Fold512(z1, stride, Load512(data + kRegisterBytes));
        z2 = Fold512(z2, stride, Load512(data + 2 * kRegisterBytes));
        z3 = Fold512(z3, stride, Load512(data + 3 * kRegisterBytes));
        data += kStrideBytes;
        length -= kStrideBytes;
    }

    const __m512i next = LaneConstants(kFold512);
    __m512i z = Fold512(Fold512(Fold512(z0, next, z1), next, z2), next, z3);
    while (length >= kRegisterBytes) {
        z = Fold512(z, next, Load512(data));
        data += kRegisterBytes;
        length -= kRegisterBytes;
    }
    return FinishFolding(FoldLanes(z), data, length);
}
