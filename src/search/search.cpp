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
// Directory links (junctions, symbolic links) can lead back into the walk, to
// a folder above the start, or by many routes to one folder; two links per
// level double the work at every level. So within one search a directory is
// searched at most once, and never beneath itself or above the start. Each
// directory's identity (volume and file number) is read once, as it is
// entered, from its open listing, and looked up in a table of the
// directories searched so far: one found there is passed over, any other is
// recorded. The first link met also records the directories that hold the
// start, since only a link can lead above it.
//
// The table is fixed, on the stack of the top-level call. Ordinary
// directories are recorded only while it has room above a reserve kept for
// link targets, so that a big tree still leaves room to stop a ladder of
// links; once it is entirely full nothing more is recorded: an ordinary
// directory that is not found in it is entered, never skipped, but a link to
// one is not, as only the record bounds how many routes links make. Loops stay impossible
// even then: a directory whose identity equals one the walk is inside (kept
// in the recursion's own frames) is passed over.
//
// An identity that cannot be read never skips anything: the directory is
// entered and not recorded, and only the path limit bounds what lies behind
// it. An identity the system may give to more than one directory (see
// DirectoryId) decides only about links: an ordinary directory with one is
// always entered, as no route but a link could lead to it twice.
#include "search/search.h"

#include "crc/filecrc.h"
#include "text/commandtext.h"

#include <cstring>

namespace {

constexpr char kListAll[] = "*.*";

// 1,024 slots of 41 bytes: 41 KiB of stack beside the recursion's ~1 KiB a
// level. Probing stays short while at most 7/8 of the slots are taken, and
// the last 256 of those are kept for link targets and the start's
// enclosing directories.
constexpr uint32_t kVisitedSlots = 1024;
constexpr uint32_t kMostRecorded = kVisitedSlots / 8 * 7;
constexpr uint32_t kLinkReserve = 256;
// Directories above the start that are looked at, at most.
constexpr uint32_t kMostEnclosing = 128;

struct VisitedTable {
    DirectoryId ids[kVisitedSlots];
    bool taken[kVisitedSlots];
    uint32_t count;
};

bool SameDirectory(const DirectoryId& a, const DirectoryId& b)
{
    return a.volume == b.volume && a.file == b.file && a.created == b.created &&
           a.written == b.written;
}

uint32_t FirstSlot(const DirectoryId& id)
{
    uint64_t h = id.volume * 0x9E3779B97F4A7C15ull ^ id.file;
    h = (h ^ id.created ^ (id.written << 1)) * 0xD6E8FEB86659FD93ull;
    return static_cast<uint32_t>(h >> 32) % kVisitedSlots;
}

bool Contains(const VisitedTable& table, const DirectoryId& id)
{
    for (uint32_t slot = FirstSlot(id); table.taken[slot]; slot = (slot + 1) % kVisitedSlots)
        if (SameDirectory(table.ids[slot], id))
            return true;
    return false;
}

// Records an identity the table does not hold, if there is room for its kind;
// false when there is none.
bool Record(VisitedTable* table, const DirectoryId& id, bool link_target)
{
    if (table->count >= kMostRecorded - (link_target ? 0 : kLinkReserve))
        return false;
    uint32_t slot = FirstSlot(id);
    while (table->taken[slot])
        slot = (slot + 1) % kVisitedSlots;
    table->ids[slot] = id;
    table->taken[slot] = true;
    ++table->count;
    return true;
}

// One directory of the walk, and the one it was entered from.
struct WalkLevel {
    const WalkLevel* parent;
    bool id_known;
    DirectoryId id;
};

// What one search carries down its recursion.
struct SearchWalk {
    uint32_t size;
    uint32_t crc;
    TextEncoding encoding;
    char* output;
    const char* start;
    SearchOptions options;
    bool enclosing_recorded;  // the start's enclosing directories are in `visited`
    VisitedTable visited;
};

void RecordEnclosing(SearchWalk* walk)
{
    walk->enclosing_recorded = true;
    DirectoryId id;
    for (uint32_t level = 1; level <= kMostEnclosing &&
                             GetEnclosingDirectoryId(walk->start, walk->encoding, level, &id);
         ++level)
        if (!Contains(walk->visited, id))
            Record(&walk->visited, id, true);
}

bool Inside(const WalkLevel* level, const DirectoryId& id)
{
    for (; level != nullptr; level = level->parent)
        if (level->id_known && SameDirectory(level->id, id))
            return true;
    return false;
}

// Whether the directory just listed at `level` is passed over; records it
// when it is not.
bool PassOver(SearchWalk* walk, const WalkLevel& level, bool through_link)
{
    if (!level.id_known)
        return false;
    if (through_link && !walk->enclosing_recorded)
        RecordEnclosing(walk);
    bool seen = Contains(walk->visited, level.id);
    if ((through_link || level.id.unique) && (seen || Inside(level.parent, level.id)))
        return true;
    // A link target that cannot be recorded any more is not entered: once
    // the table is full, links could lead to the same folders by ever more
    // routes (a ladder doubles at each rung), and only the record bounds them.
    if (!seen && !Record(&walk->visited, level.id, through_link) && through_link)
        return true;
    return false;
}

SearchOutcome SearchLevel(SearchWalk* walk, const char* directory, const WalkLevel* parent,
                          bool through_link)
{
    // Cleared before the directory text is read; see the header.
    walk->output[0] = '\0';

    char pattern[kPathCapacity];
    Listing listing;
    if (!JoinPath(pattern, directory, kListAll) ||
        !OpenListing(pattern, walk->encoding, &listing))
        return SearchOutcome::kUnlistable;

    WalkLevel level = {parent, false, {}};
    level.id_known = GetListingDirectoryId(listing, directory, &level.id);
    if (PassOver(walk, level, through_link)) {
        CloseListing(&listing);
        return SearchOutcome::kNotFound;
    }
    char child[kPathCapacity];
    WorkWatch* watch = walk->options.watch;
    SearchOutcome outcome = SearchOutcome::kNotFound;
    do {
        const ListingEntry& entry = listing.entry;
        if (watch != nullptr)
            watch->entries_done.fetch_add(1, std::memory_order_relaxed);
        if (walk->options.command_safe_names && !IsCommandSafe(entry.name, walk->encoding))
            continue;
        if (entry.is_directory) {
            if (entry.name[0] != '.' && JoinPath(child, directory, entry.name)) {
                SearchOutcome below = SearchLevel(walk, child, &level, entry.is_link);
                if (below == SearchOutcome::kFound || below == SearchOutcome::kStopped)
                    outcome = below;
            }
        } else if (entry.size_low == walk->size && JoinPath(child, directory, entry.name)) {
            // A candidate that cannot be opened is passed over: it was never
            // read, so it cannot be said to match, whatever CRC was asked for.
            uint32_t file_crc;
            if (TryCalcFileCrc(child, walk->encoding, &file_crc, watch) && file_crc == walk->crc) {
                memcpy(walk->output, child, strlen(child) + 1);
                outcome = SearchOutcome::kFound;
            }
        }
        if (outcome == SearchOutcome::kNotFound && watch != nullptr && watch->Stopped())
            outcome = SearchOutcome::kStopped;
    } while (outcome == SearchOutcome::kNotFound && NextListingEntry(&listing));
    CloseListing(&listing);
    if (outcome == SearchOutcome::kStopped)
        walk->output[0] = '\0';
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
    SearchWalk walk;
    walk.size = size;
    walk.crc = crc;
    walk.encoding = encoding;
    walk.output = output;
    walk.start = directory;
    walk.options = options;
    walk.enclosing_recorded = false;
    memset(walk.visited.taken, 0, sizeof walk.visited.taken);
    walk.visited.count = 0;
    return SearchLevel(&walk, directory, nullptr, false);
}
