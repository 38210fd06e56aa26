// CRC-32 of a whole file.
#pragma once

#include "crc/workwatch.h"

#include <cstdint>

// Files are read in chunks of this many bytes.
constexpr uint32_t kReadChunkBytes = 500000;

// The CRC-32 value answered for a file that cannot be opened.
constexpr uint32_t kUnopenableCrc = 0xFFFFFFFFu;

enum class FileCrcOutcome : uint8_t {
    kComplete,    // every byte was read
    kReadFailed,  // a read failed part-way: the CRC covers the bytes before it
    kMissing,     // nothing exists at the path
    kUnopenable,  // something exists there but cannot be opened (a folder, locked)
    kStopped,     // the watch asked the call to stop
};

// Computes the CRC-32 of the file's bytes into *crc (left untouched unless
// the outcome is kComplete or kReadFailed). With a watch, the bytes read and
// the file's size are shown in it, and its stop flag is looked at after each
// chunk.
FileCrcOutcome ComputeFileCrc(const char* path, WorkWatch* watch,
                              uint32_t* crc);

// Computes the CRC-32 of the file's bytes into *crc. False, with *crc
// untouched, when the file cannot be opened (missing, a directory, locked).
// A read that fails part-way ends the file there: the CRC covers the bytes
// read until then. The path is UTF-8.
bool TryCalcFileCrc(const char* path, uint32_t* crc,
                    WorkWatch* watch = nullptr);

// The CRC-32 of the file, or kUnopenableCrc when it cannot be opened. The
// path is used verbatim; a relative one resolves against the current
// directory.
uint32_t CalcFileCrc(const char* path);
