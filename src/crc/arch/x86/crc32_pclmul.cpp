// CRC-32 by folding 64 bytes at a time in four 128-bit registers with
// PCLMULQDQ; the method itself is described in crc32_fold.h. Compiled with
// -mpclmul -msse4.1 and run only when CanRunPclmul().
#include "crc/arch/x86/crc32_x86.h"

#include "crc/arch/x86/crc32_fold.h"

namespace {

constexpr size_t kStrideBytes = 64;
constexpr FoldPair kFoldStride = FoldBy(8 * kStrideBytes);

}  // namespace

// 32-bit Windows promises only 4-byte stack alignment on entry; the
// 16-byte vector spills need the stack realigned here.
__attribute__((force_align_arg_pointer))
uint32_t CrcUpdatePclmul(uint32_t reg, const uint8_t* data, size_t length)
{
    if (length < kStrideBytes)
        return CrcUpdatePortable(reg, data, length);

    const __m128i* in = reinterpret_cast<const __m128i*>(data);
    __m128i x0 = _mm_xor_si128(_mm_loadu_si128(in), _mm_cvtsi32_si128(static_cast<int>(reg)));
    __m128i x1 = _mm_loadu_si128(in + 1);
    __m128i x2 = _mm_loadu_si128(in + 2);
    __m128i x3 = _mm_loadu_si128(in + 3);
    data += kStrideBytes;
    length -= kStrideBytes;

    const __m128i stride = Constants128(kFoldStride);
    while (length >= kStrideBytes) {
        in = reinterpret_cast<const __m128i*>(data);
        x0 = _mm_xor_si128(Fold128(x0, stride), _mm_loadu_si128(in));
        x1 = _mm_xor_si128(Fold128(x1, stride), _mm_loadu_si128(in + 1));
        x2 = _mm_xor_si128(Fold128(x2, stride), _mm_loadu_si128(in + 2));
        x3 = _mm_xor_si128(Fold128(x3, stride), _mm_loadu_si128(in + 3));
        data += kStrideBytes;
        length -= kStrideBytes;
    }

    const __m128i next = Constants128(kFold128);
    __m128i x = _mm_xor_si128(Fold128(x0, next), x1);
    x = _mm_xor_si128(Fold128(x, next), x2);
    x = _mm_xor_si128(Fold128(x, next), x3);
    return FinishFolding(x, data, length);
}
