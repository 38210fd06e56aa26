// Decimal text of counts, as the progress and count answers need it.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes `value` in decimal at `out` with a terminator; returns the number of
// digits. `out` takes at least 21 bytes.
inline size_t WriteDecimal(char* out, uint64_t value)
{
    char digits[20];
    size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < n; ++i)
        out[i] = digits[n - 1 - i];
    out[n] = '\0';
    return n;
}
