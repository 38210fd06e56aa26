// The directory search.
//
// Each level lists its directory with the pattern "*.*" and handles the
// entries in the order the listing gives them. A subdirectory is searched
// completely the moment it is met; directories whose name begins with a full
// stop (".", "..", ".cache") are passed over. A file is a candidate only when
// its size matches, which the listing gives for free, so only candidates are
// ever opened and read. The first match ends the whole search.
//
// Every path is built in a 256-byte buffer; a pattern or child path that
// would not fit is treated like a directory that cannot be listed, so a deep
// tree or a directory link loop ends at the path limit.
#include "search/search.h"

#include "crc/filecrc.h"

#include <cstring>

namespace {

constexpr char kListAll[] = "*.*";

SearchOutcome SearchLevel(uint32_t size, uint32_t crc, const char* directory,
                          TextEncoding encoding, char* output)
{
    // Cleared before the directory text is read; see the header.
    output[0] = '\0';

    char pattern[kPathCapacity];
    Listing listing;
    if (!JoinPath(pattern, directory, kListAll) || !OpenListing(pattern, encoding, &listing))
        return SearchOutcome::kUnlistable;

    char child[kPathCapacity];
    bool found = false;
    do {
        const ListingEntry& entry = listing.entry;
        if (entry.is_directory) {
            if (entry.name[0] != '.' && JoinPath(child, directory, entry.name))
                found = SearchLevel(size, crc, child, encoding, output) == SearchOutcome::kFound;
        } else if (entry.size_low == size && JoinPath(child, directory, entry.name)) {
            // A candidate that cannot be opened is passed over: it was never
            // read, so it cannot be said to match, whatever CRC was asked for.
            uint32_t file_crc;
            if (TryCalcFileCrc(child, encoding, &file_crc) && file_crc == crc) {
                memcpy(output, child, strlen(child) + 1);
                found = true;
            }
        }
    } while (!found && NextListingEntry(&listing));
    CloseListing(&listing);
    return found ? SearchOutcome::kFound : SearchOutcome::kNotFound;
}

}  // namespace

bool JoinPath(char* destination, const char* directory, const char* name)
{
    size_t dir_length = strlen(directory);
    bool separator = dir_length > 0 && directory[dir_length - 1] != '\\';
    size_t name_length = strlen(name);
    if (dir_length + separator + name_length >= kPathCapacity)
        return false;
    memcpy(destination, directory, dir_length);
    if (separator)
        destination[dir_length] = '\\';
    memcpy(destination + dir_length + separator, name, name_length + 1);
    return true;
}

SearchOutcome SearchFileSizeCrc(uint32_t size, uint32_t crc, const char* directory,
                                TextEncoding encoding, char* output)
{
    return SearchLevel(size, crc, directory, encoding, output);
}

int TALLOWIX_STDCALL FindFileSizeCrc(uint32_t size, uint32_t crc, const char* directory,
                                     char* output)
{
    return SearchLevel(size, crc, directory, TextEncoding::kCodePage, output) ==
                   SearchOutcome::kFound
               ? 1
               : 0;
}
