// The fixed byte classes that argument lines and list lines are read with:
// the same whatever the system's locale or code page.
#pragma once

// White space: tab, line feed, vertical tab, form feed, carriage return and
// space. No byte of 0x80 or above is.
inline bool IsSpaceByte(unsigned char c)
{
    return c == ' ' || (c >= 9 && c <= 13);
}

// The value of an ASCII hexadecimal digit, or -1 for any other byte.
inline int HexDigitValue(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
