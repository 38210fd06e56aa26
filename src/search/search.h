// Search of a directory tree for a file of a given size and CRC-32.
#pragma once

#include "platform/platform.h"

#include <cstdint>

// Writes directory + "\" + name into destination, a kPathCapacity-byte
// buffer; the backslash is left out when the directory text is empty or
// already ends in one. False, with nothing written, when the joined path
// would not fit.
bool JoinPath(char* destination, const char* directory, const char* name);

// Finds the first file under `directory`, depth-first in listing order, whose
// size (low 32 bits) and CRC-32 equal the given values. Returns 1 and leaves
// its path in `output` (at least kPathCapacity bytes), or 0 with `output`
// empty. Until a match only output[0] is written, so the directory text may
// lie in the same buffer behind the first byte.
TALLOWIX_EXPORT int TALLOWIX_STDCALL FindFileSizeCrc(uint32_t size, uint32_t crc,
                                                     const char* directory, char* output);
