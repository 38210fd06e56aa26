// The portable method: one table lookup, one shift and two XORs per byte.
#include "crc/crc32.h"

uint32_t CrcUpdate(uint32_t reg, const uint8_t* data, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        reg = (reg >> 8) ^ CrcTable[(reg ^ data[i]) & 0xFF];
    return reg;
}
