// Fixed-width hexadecimal text, as the result formats need it.
#pragma once

#include <cstdint>

// Writes the low 4*digits bits of value as exactly `digits` hexadecimal
// digits, leading zeros kept, without a terminator.
inline void WriteHexDigits(char* out, uint32_t value, int digits, bool upper)
{
    const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
        out[i] = alphabet[value & 0xF];
}
