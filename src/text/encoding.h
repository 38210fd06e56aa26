// How path text is read, and the UTF-8 rules and conversions behind it.
//
// mIRC 7 and later hand a DLL its text in UTF-8 and read the answer back as
// UTF-8; older hosts send text in the system code page. The host routines
// tell the two apart and convert host text, once, into the library's own
// text, UTF-8; everything below them reads UTF-8 only, and the platform
// layer is the only place where it becomes a file-system name.
#pragma once

#include <cstddef>
#include <cstdint>

enum class TextEncoding : uint8_t {
    kCodePage,  // single-byte text in the system code page, as older hosts send it
    kUtf8,      // UTF-8, as mIRC 7 and later send it
};

// Whether zero-terminated `text` is well-formed UTF-8 as RFC 3629 defines it:
// no overlong forms, no surrogates (U+D800 to U+DFFF), nothing above U+10FFFF
// and no sequence cut short. Plain ASCII, and the empty text, are well-formed.
bool IsValidUtf8(const char* text);

// Whether `text` holds any byte of 0x80 or above.
bool HasHighBytes(const char* text);

// Converts zero-terminated UTF-8 into zero-terminated UTF-16 in `wide`, a
// buffer of `capacity` units. False when the text is not well-formed or does
// not fit with its terminator; `wide` is then unspecified.
bool Utf8ToUtf16(const char* text, char16_t* wide, size_t capacity);

// Converts zero-terminated UTF-16 into zero-terminated UTF-8 in `text`, a
// buffer of `capacity` bytes. False when the input holds an unpaired surrogate
// (it has no faithful UTF-8 form) or the result does not fit with its
// terminator; `text` is then unspecified.
bool Utf16ToUtf8(const char16_t* wide, char* text, size_t capacity);

// Checks text that comes in pieces, as a file is read, for being well-formed
// UTF-8 as a whole: a form may be cut between two pieces. NUL bytes count as
// the ASCII they are.
struct Utf8Check {
    bool valid = true;
    uint8_t pending = 0;  // continuation bytes still due
    unsigned char low = 0x80, high = 0xBF;  // the range the next one must lie in

    bool WellFormed() const { return valid && pending == 0; }
};

void CheckUtf8Piece(Utf8Check* check, const char* bytes, size_t length);
