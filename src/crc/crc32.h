// CRC-32 of memory: the reflected CRC-32 of zlib, PNG and SFV files.
//
// The polynomial is 0x04C11DB7, taken bit-reversed as 0xEDB88320; the
// register is preset to all ones and complemented at the end. Reflected means
// the least significant bit of each byte enters first, so the register
// shifts right. The eight shifts that one byte causes depend only on the low
// byte of register XOR data, so they are looked up in a 256-entry table:
// entry i is i shifted right eight times, XOR-ing in the polynomial whenever
// a 1 bit falls out. The table is built at compile time, into read-only data.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

constexpr uint32_t kCrcPolynomial = 0xEDB88320u;

constexpr std::array<uint32_t, 256> MakeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t reg = i;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg >> 1) ^ ((reg & 1) ? kCrcPolynomial : 0);
        table[i] = reg;
    }
    return table;
}

inline constexpr std::array<uint32_t, 256> CrcTable = MakeCrcTable();

// Advances a CRC register over `length` bytes, by the fastest method this CPU
// offers (crc32_methods.h). The register is the raw one: start from
// 0xFFFFFFFF and complement at the end to get the CRC-32 value.
uint32_t CrcUpdate(uint32_t reg, const uint8_t* data, size_t length);

// The CRC-32 value of a buffer, the register set up and finished.
inline uint32_t Crc32(const void* data, size_t length)
{
    return ~CrcUpdate(0xFFFFFFFFu, static_cast<const uint8_t*>(data), length);
}
