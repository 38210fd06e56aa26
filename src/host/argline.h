// The argument line of MIRCFindFileSizeCrc: "size,crc,directory".
//
// The pieces are cut and read with fixed byte rules that do not depend on the
// locale or code page: white space is the bytes 9 to 13 and 32, digits are
// the ASCII ones, and numbers wrap modulo 2^32 instead of saturating.
#pragma once

#include <cstdint>

// Where the cutting of one text stands. Each call of MIRCFindFileSizeCrc owns
// its cursor, so concurrent calls never disturb each other.
struct TokenCursor {
    char* next;
};

// Cuts the next token from a writable zero-terminated text. With text
// non-null, cutting begins there; with null, at the cursor. Leading bytes from
// `delimiters` are skipped; the token runs to the next delimiter, which is
// overwritten with a terminator, or to the end of the text. Returns null when
// only delimiters (or nothing) remain. With an empty delimiter set the token
// is the whole rest of the text.
char* NextToken(char* text, const char* delimiters, TokenCursor* cursor);

// Reads an optionally signed decimal number after optional white space.
// Never fails: a text without digits gives 0.
int32_t ParseDecimal(const char* text);

// Reads an optionally signed hexadecimal number with an optional 0x or 0X
// prefix after optional white space. False when no hexadecimal digit stands
// where the number must begin.
bool ParseHex(const char* text, uint32_t* value);
