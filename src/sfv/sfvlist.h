// Reading an SFV list: one "name crc" entry per line.
//
// The list is read in chunks into a fixed buffer, a line at a time, so a
// list of any length takes the same memory. A list that begins with a
// UTF-16 byte-order mark (little- or big-endian, as Notepad's "Unicode" and
// other Windows tools write) is UTF-16; any other is bytes, UTF-8 or the code
// page, as its entry lines say (see the check). A UTF-8 byte-order mark is no
// part of the text. Lines end in CR LF, LF or CR; white space and NUL bytes
// around a line are no part of it (some writers pad a list's end with NULs);
// blank lines and lines beginning with ";" are no entries.
#pragma once

#include "platform/platform.h"
#include "text/encoding.h"

#include <cstddef>
#include <cstdint>

// The longest line kept whole, in UTF-16 units (or in bytes, three for each
// unit): a name as long as the longest path the system holds and a CRC.
// A longer one is still an entry, but one the library will not read.
constexpr size_t kMaxSfvLineUnits = kMostPathUnits + 64;
constexpr size_t kMaxSfvLineBytes = 3 * kMaxSfvLineUnits;
constexpr size_t kSfvChunkBytes = 16384;

enum class SfvTextForm : uint8_t { kBytes, kUtf16Le, kUtf16Be };

struct SfvReader {
    PlatformFile file;
    unsigned char chunk[kSfvChunkBytes];
    size_t at, filled;
    SfvTextForm form;
    bool after_cr;  // a CR ended the last line: an LF right after it is no line
    bool at_start;  // nothing read yet: a byte-order mark may come
    bool failed;    // a read failed
};

struct SfvLine {
    // The line's bytes, trimmed and zero-terminated: as the list has them,
    // or, for a UTF-16 list, in UTF-8.
    char text[kMaxSfvLineBytes + 1];
    size_t length;
    bool overlong;  // longer than the limit: only its start is kept
    bool has_nul;   // holds a NUL byte, which no name can
    bool unpaired;  // a UTF-16 line with an unpaired surrogate: no UTF-8 form
    // A UTF-16 line's units, before they are made UTF-8 (room for a
    // terminator behind the longest line).
    char16_t units[kMaxSfvLineUnits + 1];
};

// Opens the list for reading from its start. False when it cannot be opened.
bool OpenSfvReader(const char* path, SfvReader* reader);

// Reads the next line, trimmed. False at the end of the list (or when a read
// failed: `failed` then says so).
bool NextSfvLine(SfvReader* reader, SfvLine* line);

void CloseSfvReader(SfvReader* reader);

// Whether a line is an entry: not blank and not a comment.
bool IsSfvEntry(const SfvLine& line);

// What an entry names. `name` points into `utf8`, which the parse fills;
// `crc` is the list's CRC-32 for it.
struct SfvEntry {
    const char* name;
    uint32_t crc;
};

// Reads an entry the library will check, making its text UTF-8 in `utf8`
// (kMaxSfvLineBytes + 1 bytes) from `encoding` (a UTF-16 list's lines are
// UTF-8 already). False for one it will not: text that has no exact UTF-8
// form, no CRC of 1 to 8 hexadecimal digits as its last word, no name before
// it, a name that is absolute, has a drive or stream (":"), climbs out of the
// list's folder (a ".." component, or one of dots and spaces only that
// Windows would shorten to one), names a device (CON, NUL, COM1, LPT³, ...:
// reading one may never end), holds "|" or a byte below 0x20 (NUL too), or
// an overlong line. A name in double quotes is read without them.
bool ParseSfvEntry(const SfvLine& line, TextEncoding encoding, char* utf8, SfvEntry* entry);

// Whether a file's name (a component, or a path below a list's folder) may
// go into an SFV list: no "|", no byte below 0x20, no device, nothing that
// climbs out. Names of a made list follow the same rules as names read.
bool IsSfvListableName(const char* name);
