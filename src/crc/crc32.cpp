// The portable method, and the reference every faster one must equal:
// slicing-by-8. The byte-wise step reg = (reg >> 8) ^ CrcTable[(reg ^ b) & 0xFF]
// is unrolled over eight bytes at a time. Table k holds the effect of a byte
// that still has k more bytes to pass through the register, so
// table[k][i] = (table[k-1][i] >> 8) ^ CrcTable[table[k-1][i] & 0xFF], and the
// eight lookups of one step are independent of each other. Table 0 is CrcTable.
#include "crc/crc32_methods.h"

namespace {

constexpr int kSliceBytes = 8;

using SliceTables = std::array<std::array<uint32_t, 256>, kSliceBytes>;

constexpr SliceTables MakeSliceTables()
{
    SliceTables tables{};
    tables[0] = CrcTable;
    for (int k = 1; k < kSliceBytes; ++k)
        for (int i = 0; i < 256; ++i)
            tables[k][i] = (tables[k - 1][i] >> 8) ^ CrcTable[tables[k - 1][i] & 0xFF];
    return tables;
}

constexpr SliceTables kSliceTables = MakeSliceTables();

// Little-endian 32-bit load from any address; compilers make it one load.
inline uint32_t Load32(const uint8_t* p)
{
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

}  // namespace

uint32_t CrcUpdatePortable(uint32_t reg, const uint8_t* data, size_t length)
{
    const auto& t = kSliceTables;
    while (length >= kSliceBytes) {
        uint32_t low = Load32(data) ^ reg;
        uint32_t high = Load32(data + 4);
        reg = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^
              t[4][low >> 24] ^ t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^
              t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
        data += kSliceBytes;
        length -= kSliceBytes;
    }
    for (size_t i = 0; i < length; ++i)
        reg = (reg >> 8) ^ CrcTable[(reg ^ data[i]) & 0xFF];
    return reg;
}
