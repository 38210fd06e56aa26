// Search of a directory tree for a file of a given size and CRC-32.
#pragma once

#include "crc/workwatch.h"
#include "platform/platform.h"

#include <cstdint>

// Writes directory + "\" + name into destination, a kPathCapacity-byte
// buffer; the backslash is left out when the directory text is empty or
// already ends in one. False, with nothing written, when the joined path
// would not fit.
bool JoinPath(char* destination, const char* directory, const char* name);

enum class SearchOutcome {
    kFound,       // the path is in the output
    kNotFound,    // the directory was listed; no file under it matched
    kUnlistable,  // the directory text itself could not be listed
    kStopped,     // the watch asked the search to stop
};

// What a background search adds to a plain one.
struct SearchOptions {
    // Counts the listing entries looked at; its stop flag is looked at after
    // each entry and each read chunk. May be null.
    WorkWatch* watch;
    // Passes over names that hold "|" or a byte below 0x20: no Windows name
    // does, and the answer goes into a command, where such a name could
    // carry a command of its own.
    bool command_safe_names;
};

// Finds the first file under `directory`, depth-first in listing order, whose
// size (low 32 bits) and CRC-32 equal the given values. The directory text,
// every name and the answer are text in `encoding`; each path fits 255 bytes
// of it. On kFound the path is in `output` (at least kPathCapacity bytes),
// otherwise `output` is empty. Until a match only output[0] is written, so the
// directory text may lie in the same buffer behind the first byte.
SearchOutcome SearchFileSizeCrc(uint32_t size, uint32_t crc, const char* directory,
                                TextEncoding encoding, char* output,
                                const SearchOptions& options = {nullptr, false});

// The same search for other programs, in the system code page: returns 1 with
// the path in `output`, or 0 with `output` empty. (Defined with the host
// routines, which count every call the library is running.)
TALLOWIX_EXPORT int TALLOWIX_STDCALL FindFileSizeCrc(uint32_t size, uint32_t crc,
                                                     const char* directory, char* output);
