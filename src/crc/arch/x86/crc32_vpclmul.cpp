// CRC-32 by folding 128 bytes at a time in four 256-bit registers with
// VPCLMULQDQ, each 256-bit register two 128-bit lanes folded side by side;
// the method itself is described in crc32_fold.h. Compiled with -mavx2
// -mvpclmulqdq -mpclmul and run only when CanRunVpclmul256().
//
// The stack: 32-bit Windows promises only 4-byte alignment on entry, and
// 64-bit mingw cannot align it beyond 16 bytes (GCC bug 54412). So the stack
// is realigned on entry, and the file is assembled with aligned vector moves
// encoded as unaligned ones (-Wa,-muse-unaligned-vector-move); the loop keeps
// its 256-bit values in registers in any case.
#include "crc/arch/x86/crc32_x86.h"

#include "crc/arch/x86/crc32_fold.h"

namespace {

constexpr size_t kStrideBytes = 128;
// Below two strides the 128-bit method is as fast.
constexpr size_t kMinimumBytes = 2 * kStrideBytes;

// Folds both 128-bit lanes of `lanes` forward by `k` (see Fold128).
inline __m256i Fold256(__m256i lanes, __m256i k)
{
    return _mm256_xor_si256(_mm256_clmulepi64_epi128(lanes, k, 0x00),
                            _mm256_clmulepi64_epi128(lanes, k, 0x11));
}

constexpr FoldPair kFoldStride = FoldBy(8 * kStrideBytes);
constexpr FoldPair kFold256 = FoldBy(256);

// The pair of constants in each lane.
inline __m256i LaneConstants(FoldPair pair)
{
    return _mm256_set_epi64x(pair.second, pair.first, pair.second, pair.first);
}

static_assert(K(8 * 128 + 32) == 0x1E88EF372u && K(8 * 128 - 32) == 0x14A7FE880u,
              "fold across 1024 bits");
static_assert(K(2 * 128 + 32) == 0x0F1DA05AAu && K(2 * 128 - 32) == 0x15A546366u,
              "fold across 256 bits");

}  // namespace

__attribute__((force_align_arg_pointer))
uint32_t CrcUpdateVpclmul256(uint32_t reg, const uint8_t* data, size_t length)
{
    if (length < kMinimumBytes)
        return CrcUpdatePclmul(reg, data, length);

    const __m256i* in = reinterpret_cast<const __m256i*>(data);
    __m256i y0 = _mm256_xor_si256(_mm256_loadu_si256(in),
                                  _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(reg))));
    __m256i y1 = _mm256_loadu_si256(in + 1);
    __m256i y2 = _mm256_loadu_si256(in + 2);
    __m256i y3 = _mm256_loadu_si256(in + 3);
    data += kStrideBytes;
    length -= kStrideBytes;

    const __m256i stride = LaneConstants(kFoldStride);
    while (length >= kStrideBytes) {
        in = reinterpret_cast<const __m256i*>(data);
        y0 = _mm256_xor_si256(Fold256(y0, stride), _mm256_loadu_si256(in));
        y1 = _mm256_xor_si256(Fold256(y1, stride), _mm256_loadu_si256(in + 1));
        y2 = _mm256_xor_si256(Fold256(y2, stride), _mm256_loadu_si256(in + 2));
        y3 = _mm256_xor_si256(Fold256(y3, stride), _mm256_loadu_si256(in + 3));
        data += kStrideBytes;
        length -= kStrideBytes;
    }

    const __m256i next = LaneConstants(kFold256);
    __m256i y = _mm256_xor_si256(Fold256(y0, next), y1);
    y = _mm256_xor_si256(Fold256(y, next), y2);
    y = _mm256_xor_si256(Fold256(y, next), y3);

    __m128i x = _mm_xor_si128(Fold128(_mm256_castsi256_si128(y), Constants128(kFold128)),
                              _mm256_extracti128_si256(y, 1));
    return FinishFolding(x, data, length);
}
