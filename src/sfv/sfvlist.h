// Reading an SFV list: one "name crc" entry per line.
//
// The list is read in chunks into a fixed buffer, a line at a time, so a
// list of any length takes the same memory. Its text is UTF-8 when the whole
// file is well-formed UTF-8, else the code page; a leading byte-order mark is
// no part of it. Lines end in CR LF, LF or CR; white space around a line is
// no part of it; blank lines and lines beginning with ";" are no entries.
#pragma once

#include "platform/platform.h"
#include "text/encoding.h"

#include <cstddef>
#include <cstdint>

// The longest line kept whole. A longer one is still an entry, but one the
// library will not read: no path it could name fits the path limit.
constexpr size_t kMaxSfvLineBytes = 1024;
constexpr size_t kSfvChunkBytes = 16384;

struct SfvReader {
    PlatformFile file;
    char chunk[kSfvChunkBytes];
    size_t at, filled;
    bool after_cr;       // a CR ended the last line: an LF right after it is no line
    bool at_start;       // nothing read yet: a byte-order mark may come
    bool failed;         // a read failed
    Utf8Check utf8;      // of every byte read so far
};

struct SfvLine {
    char text[kMaxSfvLineBytes + 1];  // trimmed, zero-terminated
    size_t length;
    bool overlong;  // longer than kMaxSfvLineBytes: only its start is kept
    bool has_nul;   // holds a NUL byte, which no name can
};

// Opens the list for reading from its start. False when it cannot be opened.
bool OpenSfvReader(const char* path, TextEncoding encoding, SfvReader* reader);

// Reads the next line, trimmed of white space. False at the end of the list
// (or when a read failed: `failed` then says so).
bool NextSfvLine(SfvReader* reader, SfvLine* line);

void CloseSfvReader(SfvReader* reader);

// Whether a line is an entry: not blank and not a comment.
bool IsSfvEntry(const SfvLine& line);

// What an entry names. `name` points into the line, which the parse
// terminates after the name; `crc` is the list's CRC-32 for it.
struct SfvEntry {
    const char* name;
    uint32_t crc;
};

// Reads an entry the library will check. False for one it will not: no CRC
// of 1 to 8 hexadecimal digits as its last word, no name before it, a name
// that is absolute, has a drive or stream (":"), climbs out of the list's
// folder (a ".." component, or one of dots and spaces only that Windows
// would shorten to one), names a device (CON, NUL, COM1, ...: reading one
// may never end), holds "|" or a byte below 0x20 (NUL too), or an overlong
// line. `encoding` is the list's.
bool ParseSfvEntry(SfvLine* line, TextEncoding encoding, SfvEntry* entry);
