// Test data shared by the native and Windows suites: a bit-at-a-time CRC-32
// that shares nothing with the library's tables or folding, content forced to
// a chosen CRC-32, the result text format, and deterministic pseudo-random
// content.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

// Advances a raw CRC-32 register (preset 0xFFFFFFFF, not complemented) one
// bit at a time.
inline uint32_t ReferenceCrcUpdate(uint32_t reg, const void* data, size_t length)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < length; ++i) {
        reg ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1)));
    }
    return reg;
}

inline uint32_t ReferenceCrc(const void* data, size_t length)
{
    return ~ReferenceCrcUpdate(0xFFFFFFFFu, data, length);
}

inline uint32_t ReferenceCrc(const std::string& bytes)
{
    return ReferenceCrc(bytes.data(), bytes.size());
}

// `prefix` and four bytes more, chosen so that the whole has the CRC-32
// `wanted`. Four bytes are XORed into the register and then shifted through
// 32 single-bit steps; each step can be undone (its top bit is set exactly when the
// polynomial was XORed in), so the register before those steps follows from
// the one wanted after them, and the four bytes from the difference.
inline std::string WithCrc(const std::string& prefix, uint32_t wanted)
{
    uint32_t reg = ~wanted;
    for (int bit = 0; bit < 32; ++bit)
        reg = (reg & 0x80000000u) ? ((reg ^ 0xEDB88320u) << 1) | 1 : reg << 1;
    reg ^= ReferenceCrcUpdate(0xFFFFFFFFu, prefix.data(), prefix.size());
    std::string bytes = prefix;
    for (int i = 0; i < 4; ++i)
        bytes += static_cast<char>(reg >> (8 * i));
    return bytes;
}

// A CRC-32 as the library answers it: eight lower-case hexadecimal digits.
inline std::string Hex8(uint32_t value)
{
    char text[9];
    snprintf(text, sizeof text, "%08x", value);
    return text;
}

// `length` pseudo-random bytes, the same for the same seed.
inline std::string RandomBytes(size_t length, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string bytes(length, '\0');
    for (char& c : bytes)
        c = static_cast<char>(rng());
    return bytes;
}
