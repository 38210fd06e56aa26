// What may go into a command the library hands the host.
//
// The host runs a command as if typed: " | " separates two commands and a
// line break ends one. So no piece that a caller, a listing or a list
// supplies may hold "|" or a byte below 0x20, or it could carry a command of
// its own. No Windows name holds either, so text that does names nothing.
//
// The check reads the library's own text, UTF-8, where no byte of a
// character beyond ASCII is below 0x80: ポ, whose code-page bytes 83 7C end
// in the value of "|", is a character like any other here, and code-page
// bytes 81 0A, no character at all, never got this far.
#pragma once

inline bool IsCommandSafe(const char* text)
{
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0'; ++c)
        if (*c < 0x20 || *c == '|')
            return false;
    return true;
}
