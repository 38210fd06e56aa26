// Search of a directory tree for a file of a given size and CRC-32.
#pragma once

#include "crc/workwatch.h"
#include "platform/platform.h"

#include <cstdint>

// Appends "\" and `name` to the path of `length` bytes in `path`, a buffer of
// kPathCapacity bytes; the backslash is left out when the path is empty or
// already ends in one. Returns the new length, or 0, with the path as it was,
// when the joined path would not fit.
size_t JoinPath(char* path, size_t length, const char* name);

enum class SearchOutcome {
    kFound,       // the path is in the output
    kNotFound,    // the directory was listed; no file under it matched
    kUnlistable,  // the directory text itself could not be listed
    kStopped,     // the watch asked the search to stop
};

// What a caller adds to a plain search.
struct SearchOptions {
    // Counts the listing entries looked at; its stop flag is looked at after
    // each entry and each read chunk. May be null.
    WorkWatch* watch;
    // Whether a matching file's path can be the answer (the host's encoding
    // and buffer can carry it, or a command can); one that cannot is passed
    // over and the search goes on. Null takes every path.
    bool (*answerable)(void* context, const char* path);
    void* context;
};

// Finds the first file under `directory`, depth-first in listing order, whose
// size (low 32 bits) and CRC-32 equal the given values and whose path is
// answerable. The directory, every name and the answer are UTF-8. `output`
// (kPathCapacity bytes, apart from the directory) is the search's own path
// buffer: on kFound it holds the answer, otherwise it is empty.
//
// Memory: one heap block of about 47 KiB (the visited table, the start's
// enclosing directories and the current entry) and the stack of open levels, 64 bytes a level, grown by doubling up
// to kMostSearchLevels; the thread's own stack holds a few hundred bytes
// whatever the tree's depth. Nothing is allocated per entry.
SearchOutcome SearchFileSizeCrc(uint32_t size, uint32_t crc, const char* directory, char* output,
                                const SearchOptions& options = {nullptr, nullptr, nullptr});

// As deep as any path the system holds can go: every level adds at least
// two units ("\" and a character) to a path of at most 32,767.
constexpr uint32_t kMostSearchLevels = 16384;

// The same search for other programs, in the system code page: returns 1 with
// the path in `output` (256 bytes), or 0 with `output` empty. (Defined with
// the host routines, which count every call the library is running.)
TALLOWIX_EXPORT int TALLOWIX_STDCALL FindFileSizeCrc(uint32_t size, uint32_t crc,
                                                     const char* directory, char* output);
