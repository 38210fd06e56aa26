// What may go into a command the library hands the host.
//
// The host runs a command as if typed: " | " separates two commands and a
// line break ends one. So no piece that a caller, a listing or a list
// supplies may hold "|" or a byte below 0x20, or it could carry a command of
// its own. No Windows name holds either, so text that does names nothing.
#pragma once

#include "platform/platform.h"
#include "text/encoding.h"

// In code-page text the second byte of a two-byte character is part of that
// character, even where its value is that of "|": it is passed over. (No
// second byte is below 0x40, and none occurs in UTF-8.)
inline bool IsCommandSafe(const char* text, TextEncoding encoding = TextEncoding::kUtf8)
{
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != '\0'; ++c) {
        if (*c < 0x20 || *c == '|')
            return false;
        if (encoding == TextEncoding::kCodePage && IsCodePageLeadByte(*c) && c[1] != '\0')
            ++c;
    }
    return true;
}
