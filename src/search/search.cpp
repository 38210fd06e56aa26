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
// tree ends at the path limit.
//
// A directory link (a junction or symbolic link) may lead back to the
// directory that lists it or to one of that directory's ancestors in this
// walk; entering it would walk the same tree again, and with two such links
// the walk doubles at every level and never ends. So a linked directory is
// entered only when it is none of the directories the walk is inside, the way
// fts and `find -L` detect a cycle: by identity (volume and file number), not
// by path. Only links can lead back, so only they cost a look at identities,
// and an ancestor's identity is read when a link first asks for it. A link to
// anywhere else is followed as any directory is.
#include "search/search.h"

#include "crc/filecrc.h"
#include "text/commandtext.h"

#include <cstring>

namespace {

constexpr char kListAll[] = "*.*";
constexpr char kItself[] = ".";

// One directory of the walk, and the one it was entered from.
struct WalkLevel {
    WalkLevel* parent;
    const char* directory;
    bool id_read;  // whether `id_known` and `id` have been read
    bool id_known;
    DirectoryId id;
};

// Reads the identity of the directory a directory text names: the text with
// "." joined to it names that very directory ("" the current one, "C:" the
// root), as the listing's pattern does.
bool ReadDirectoryId(const char* directory, TextEncoding encoding, DirectoryId* id)
{
    char itself[kPathCapacity];
    return JoinPath(itself, directory, kItself) && GetDirectoryId(itself, encoding, id);
}

// Whether the directory `child` names is `level`'s or one of its ancestors'.
bool LeadsBack(const char* child, TextEncoding encoding, WalkLevel* level)
{
    DirectoryId target;
    if (!ReadDirectoryId(child, encoding, &target))
        return false;  // gone, or unreadable: its listing will tell
    for (WalkLevel* at = level; at != nullptr; at = at->parent) {
        if (!at->id_read) {
            at->id_known = ReadDirectoryId(at->directory, encoding, &at->id);
            at->id_read = true;
        }
        if (at->id_known && at->id.volume == target.volume && at->id.file == target.file)
            return true;
    }
    return false;
}

SearchOutcome SearchLevel(uint32_t size, uint32_t crc, const char* directory,
                          TextEncoding encoding, char* output, const SearchOptions& options,
                          WalkLevel* parent)
{
    // Cleared before the directory text is read; see the header.
    output[0] = '\0';

    char pattern[kPathCapacity];
    Listing listing;
    if (!JoinPath(pattern, directory, kListAll) || !OpenListing(pattern, encoding, &listing))
        return SearchOutcome::kUnlistable;

    WalkLevel level = {parent, directory, false, false, {}};
    char child[kPathCapacity];
    WorkWatch* watch = options.watch;
    SearchOutcome outcome = SearchOutcome::kNotFound;
    do {
        const ListingEntry& entry = listing.entry;
        if (watch != nullptr)
            watch->entries_done.fetch_add(1, std::memory_order_relaxed);
        if (options.command_safe_names && !IsCommandSafe(entry.name))
            continue;
        if (entry.is_directory) {
            if (entry.name[0] != '.' && JoinPath(child, directory, entry.name) &&
                !(entry.is_link && LeadsBack(child, encoding, &level))) {
                SearchOutcome below = SearchLevel(size, crc, child, encoding, output, options, &level);
                if (below == SearchOutcome::kFound || below == SearchOutcome::kStopped)
                    outcome = below;
            }
        } else if (entry.size_low == size && JoinPath(child, directory, entry.name)) {
            // A candidate that cannot be opened is passed over: it was never
            // read, so it cannot be said to match, whatever CRC was asked for.
            uint32_t file_crc;
            if (TryCalcFileCrc(child, encoding, &file_crc, watch) && file_crc == crc) {
                memcpy(output, child, strlen(child) + 1);
                outcome = SearchOutcome::kFound;
            }
        }
        if (outcome == SearchOutcome::kNotFound && watch != nullptr && watch->Stopped())
            outcome = SearchOutcome::kStopped;
    } while (outcome == SearchOutcome::kNotFound && NextListingEntry(&listing));
    CloseListing(&listing);
    if (outcome == SearchOutcome::kStopped)
        output[0] = '\0';
    return outcome;
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
                                TextEncoding encoding, char* output, const SearchOptions& options)
{
    return SearchLevel(size, crc, directory, encoding, output, options, nullptr);
}
