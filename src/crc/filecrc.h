// CRC-32 of a whole file.
#pragma once

#include "text/encoding.h"

#include <cstdint>

// Files are read in chunks of this many bytes.
constexpr uint32_t kReadChunkBytes = 500000;

// The CRC-32 value answered for a file that cannot be opened.
constexpr uint32_t kUnopenableCrc = 0xFFFFFFFFu;

// Computes the CRC-32 of the file's bytes into *crc. False, with *crc
// untouched, when the file cannot be opened (missing, a directory, locked).
// A read that fails part-way ends the file there: the CRC covers the bytes
// read until then. The path is text in `encoding`.
bool TryCalcFileCrc(const char* path, TextEncoding encoding, uint32_t* crc);

// The CRC-32 of the file, or kUnopenableCrc when it cannot be opened. The
// path is used verbatim; a relative one resolves against the current
// directory.
uint32_t CalcFileCrc(const char* path, TextEncoding encoding);
