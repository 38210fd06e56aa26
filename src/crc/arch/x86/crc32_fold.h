// CRC-32 by folding with carry-less multiplication, after Intel's "Fast CRC
// Computation for Generic Polynomials Using PCLMULQDQ Instruction" (Gopal et
// al., 2009), in its bit-reflected form.
//
// Read as a polynomial over GF(2), a message M has the CRC M(x) * x^32 mod
// P(x), so any stretch of it may be reduced modulo P as long as it keeps its
// place. A 128-bit block A followed by d more message bits contributes
// A(x) * x^d. With H and L its two 64-bit halves, A = H * x^64 + L and
//     A * x^d  =  H * (x^(d+64) mod P)  +  L * (x^d mod P)    (mod P),
// two carry-less products (PCLMULQDQ) of at most 96 bits each. XOR-ed into
// the block d bits further on they stand for A exactly: the block has been
// folded forward. Several blocks are folded in parallel, each by the
// distance to its successor in the next stride (512 bits for four 128-bit
// registers, 1024 bits for four 256-bit registers). At the end the registers
// are folded into one, that one is folded from 128 bits to 96 and from 96 to
// 64 by the same rule, and Barrett reduction, with mu = x^64 / P, turns the
// last 64 bits into the 32-bit register.
//
// Reflected means bit 0 of each byte is its highest power, so the first
// 64-bit half loaded from memory holds the highest powers, lowest bit first.
// In that layout a 32-bit constant's x^0 sits at bit 31, which moves the
// exponents above by 32 (x^(d+32) for the first half, x^(d-32) for the
// second), and a product of two reflected values lands one bit low, which is
// made up by storing each constant shifted left one place. K(n) below is
// x^n mod P, reflected, times x. The constants are computed here from the
// polynomial and pinned by static_assert to the values the paper publishes.
//
// The register enters by XOR into the first four message bytes, and the
// bytes after the last whole 16-byte block go through the portable method.
#pragma once

#include "crc/crc32.h"
#include "crc/crc32_methods.h"

#include <immintrin.h>

namespace {

// x^n mod P, bit-reflected and shifted left one place.
constexpr uint64_t K(unsigned n)
{
    uint32_t reg = 0x80000000u;  // the polynomial 1, reflected
    for (unsigned i = 0; i < n; ++i)
        reg = (reg >> 1) ^ ((reg & 1) ? kCrcPolynomial : 0);
    return uint64_t{reg} << 1;
}

// P with its x^32 term, 33 bits, in the usual (unreflected) order.
constexpr uint64_t kFullPolynomial = 0x104C11DB7u;

constexpr uint64_t Reflect33(uint64_t value)
{
    uint64_t reflected = 0;
    for (int i = 0; i < 33; ++i)
        reflected |= ((value >> i) & 1) << (32 - i);
    return reflected;
}

// The quotient x^64 / P (33 bits) by long division, then reflected.
constexpr uint64_t BarrettMu()
{
    // x^64 - x^32 * P; the x^64 terms cancel and fall off the top.
    uint64_t rest = kFullPolynomial << 32;
    uint64_t quotient = uint64_t{1} << 32;
    for (int i = 63; i >= 32; --i)
        if ((rest >> i) & 1) {
            quotient |= uint64_t{1} << (i - 32);
            rest ^= kFullPolynomial << (i - 32);
        }
    return Reflect33(quotient);
}

constexpr uint64_t kReflectedPolynomial = Reflect33(kFullPolynomial);
constexpr uint64_t kBarrettMu = BarrettMu();

static_assert(K(4 * 128 + 32) == 0x154442BD4u && K(4 * 128 - 32) == 0x1C6E41596u,
              "fold across 512 bits");
static_assert(K(128 + 32) == 0x1751997D0u && K(128 - 32) == 0x0CCAA009Eu,
              "fold across 128 bits");
static_assert(K(64) == 0x163CD6124u, "fold 96 bits to 64");
static_assert(kReflectedPolynomial == 0x1DB710641u && kBarrettMu == 0x1F7011641u,
              "Barrett reduction");

// The two constants that fold a block forward by d bits: K(d+32) for its
// first half and K(d-32) for its second. Held in constexpr variables, so
// that the loops in K run at compile time only.
struct FoldPair {
    long long first;
    long long second;
};

constexpr FoldPair FoldBy(unsigned bits)
{
    return {static_cast<long long>(K(bits + 32)), static_cast<long long>(K(bits - 32))};
}

constexpr FoldPair kFold128 = FoldBy(128);
constexpr long long kFold96To64 = static_cast<long long>(K(64));
constexpr long long kBarrettMuBits = static_cast<long long>(kBarrettMu);
constexpr long long kReflectedPolynomialBits = static_cast<long long>(kReflectedPolynomial);

inline __m128i Constants128(FoldPair pair)
{
    return _mm_set_epi64x(pair.second, pair.first);
}

// A 16-byte block folded forward by `k`, which holds the pair of constants
// for the distance: the first in its low half, the second in its high half.
inline __m128i Fold128(__m128i block, __m128i k)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(block, k, 0x00),
                         _mm_clmulepi64_si128(block, k, 0x11));
}

// Folds the remaining whole 16-byte blocks into `block`, reduces it to the
// 32-bit register and runs the last bytes through the portable method.
inline uint32_t FinishFolding(__m128i block, const uint8_t* data, size_t length)
{
    const __m128i k = Constants128(kFold128);
    while (length >= 16) {
        block = _mm_xor_si128(Fold128(block, k),
                              _mm_loadu_si128(reinterpret_cast<const __m128i*>(data)));
        data += 16;
        length -= 16;
    }
    const __m128i low32 = _mm_set_epi32(0, 0, 0, -1);
    // 128 bits to 96: the first half times K(96), into the second.
    block = _mm_xor_si128(_mm_clmulepi64_si128(block, k, 0x10), _mm_srli_si128(block, 8));
    // 96 bits to 64: the first 32 bits times K(64), into the rest.
    const __m128i k64 = _mm_set_epi64x(0, kFold96To64);
    block = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(block, low32), k64, 0x00),
                          _mm_srli_si128(block, 4));
    // Barrett: quotient = floor(block * mu), register = block - quotient * P.
    const __m128i barrett = _mm_set_epi64x(kBarrettMuBits, kReflectedPolynomialBits);
    __m128i quotient = _mm_clmulepi64_si128(_mm_and_si128(block, low32), barrett, 0x10);
    __m128i product = _mm_clmulepi64_si128(_mm_and_si128(quotient, low32), barrett, 0x00);
    uint32_t reg = static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(product, block), 1));
    return CrcUpdatePortable(reg, data, length);
}

}  // namespace
