// The directory search.
//
// Each level lists its directory and handles the entries in the order the
// listing gives them. A subdirectory is searched
// completely the moment it is met; directories whose name begins with a full
// stop (".", "..", ".cache") are passed over. A file is a candidate only when
// its size matches, which the listing gives for free, so only candidates are
// ever opened and read. The first match ends the whole search.
//
// The walk is a loop over a stack of open listings, not a recursion, so no
// tree, however deep, reaches the end of a thread's stack. Every path is
// built in the one output buffer, as long as the system's own limit; a child
// path that would not fit is treated like a directory that cannot be listed.
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
// The table is fixed, in the search's one heap block. Ordinary
// directories are recorded only while it has room above a reserve kept for
// link targets, so that a big tree still leaves room to stop a ladder of
// links; once it is entirely full nothing more is recorded: an ordinary
// directory that is not found in it is entered, never skipped, but a link to
// one is not, as only the record bounds how many routes links make. Loops
// stay impossible even then: a directory whose identity equals one the walk
// is inside (kept in the stack of levels) is passed over.
//
// An identity that cannot be read never skips anything: the directory is
// entered and not recorded, and only the path limit bounds what lies behind
// it. An identity the system may give to more than one directory (see
// DirectoryId) decides only about links: an ordinary directory with one is
// always entered, as no route but a link could lead to it twice.
#include "search/search.h"

#include "crc/filecrc.h"

#include <cstdlib>
#include <cstring>

namespace {

// 1,024 slots of 41 bytes: 41 KiB. Probing stays short while at most 7/8 of the slots are taken, and
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

// One open directory of the walk.
struct WalkLevel {
    Listing listing;
    size_t path_length;  // of its path in the output buffer
    bool id_known;
    DirectoryId id;
};

// What one search carries through its loop.
struct SearchWalk {
    uint32_t size;
    uint32_t crc;
    char* path;  // the output buffer
    const char* start;
    SearchOptions options;
    bool enclosing_recorded;  // the start's enclosing directories are in `visited`
    WalkLevel* levels;
    uint32_t depth, capacity;
    ListingEntry entry;  // the current entry of the deepest level
    VisitedTable visited;
    DirectoryId enclosing[kMostEnclosing];
};

void RecordEnclosing(SearchWalk* walk)
{
    walk->enclosing_recorded = true;
    uint32_t count = GetEnclosingDirectoryIds(walk->start, walk->enclosing, kMostEnclosing);
    for (uint32_t i = 0; i < count; ++i)
        if (!Contains(walk->visited, walk->enclosing[i]))
            Record(&walk->visited, walk->enclosing[i], true);
}

bool Inside(const SearchWalk& walk, const DirectoryId& id)
{
    for (uint32_t i = 0; i < walk.depth; ++i)
        if (walk.levels[i].id_known && SameDirectory(walk.levels[i].id, id))
            return true;
    return false;
}

// Whether the directory just listed as `level` is passed over; records it
// when it is not.
bool PassOver(SearchWalk* walk, const WalkLevel& level, bool through_link)
{
    if (!level.id_known)
        return false;
    if (through_link && !walk->enclosing_recorded)
        RecordEnclosing(walk);
    bool seen = Contains(walk->visited, level.id);
    if ((through_link || level.id.unique) && (seen || Inside(*walk, level.id)))
        return true;
    // A link target that cannot be recorded any more is not entered: once
    // the table is full, links could lead to the same folders by ever more
    // routes (a ladder doubles at each rung), and only the record bounds them.
    if (!seen && !Record(&walk->visited, level.id, through_link) && through_link)
        return true;
    return false;
}

enum class Entered { kYes, kPassedOver, kUnlistable };

// Opens the directory whose path (of `length` bytes) is in the buffer and
// makes it the deepest level, with its first entry current.
Entered Enter(SearchWalk* walk, size_t length, bool through_link)
{
    if (walk->depth == walk->capacity) {
        if (walk->capacity == kMostSearchLevels)
            return Entered::kUnlistable;
        uint32_t grown = walk->capacity == 0 ? 16 : 2 * walk->capacity;
        void* more = realloc(walk->levels, grown * sizeof(WalkLevel));
        if (more == nullptr)
            return Entered::kUnlistable;
        walk->levels = static_cast<WalkLevel*>(more);
        walk->capacity = grown;
    }
    WalkLevel& level = walk->levels[walk->depth];
    bool has_entry = false;
    if (!OpenListing(walk->path, &level.listing, &walk->entry, &has_entry))
        return Entered::kUnlistable;
    if (!has_entry)
        return Entered::kPassedOver;  // nothing in it, and already closed
    level.path_length = length;
    level.id_known = GetListingDirectoryId(level.listing, walk->path, &level.id);
    if (PassOver(walk, level, through_link)) {
        CloseListing(&level.listing);
        return Entered::kPassedOver;
    }
    ++walk->depth;
    return Entered::kYes;
}

// Whether the current entry, a file whose path is in the buffer, is the
// answer. A candidate that cannot be opened is passed over: it was never
// read, so it cannot be said to match, whatever CRC was asked for.
bool Matches(SearchWalk* walk)
{
    if (static_cast<uint32_t>(walk->entry.size) != walk->size)
        return false;
    uint32_t file_crc;
    return TryCalcFileCrc(walk->path, &file_crc, walk->options.watch) && file_crc == walk->crc &&
           (walk->options.answerable == nullptr ||
            walk->options.answerable(walk->options.context, walk->path));
}

SearchOutcome Walk(SearchWalk* walk)
{
    size_t start_length = strlen(walk->start);
    if (start_length >= kPathCapacity)
        return SearchOutcome::kUnlistable;
    memcpy(walk->path, walk->start, start_length + 1);
    Entered entered = Enter(walk, start_length, false);
    if (entered != Entered::kYes)
        return entered == Entered::kUnlistable ? SearchOutcome::kUnlistable
                                               : SearchOutcome::kNotFound;
    WorkWatch* watch = walk->options.watch;
    while (walk->depth > 0) {
        WalkLevel& top = walk->levels[walk->depth - 1];
        const ListingEntry& entry = walk->entry;
        if (watch != nullptr)
            watch->entries_done.fetch_add(1, std::memory_order_relaxed);
        size_t length = JoinPath(walk->path, top.path_length, entry.name);
        if (length != 0 && entry.is_directory) {
            // Directories whose name begins with a full stop (".", "..",
            // ".cache") are passed over.
            if (entry.name[0] != '.' && Enter(walk, length, entry.is_link) == Entered::kYes)
                continue;  // the child's first entry is current now
        } else if (length != 0 && Matches(walk)) {
            return SearchOutcome::kFound;
        }
        if (watch != nullptr && watch->Stopped())
            return SearchOutcome::kStopped;
        // On to the next entry: of this level, or, once it is listed whole,
        // of the levels above it.
        while (walk->depth > 0) {
            WalkLevel& level = walk->levels[walk->depth - 1];
            walk->path[level.path_length] = '\0';
            if (NextListingEntry(&level.listing, &walk->entry))
                break;
            CloseListing(&level.listing);
            --walk->depth;
        }
    }
    return SearchOutcome::kNotFound;
}

}  // namespace

size_t JoinPath(char* path, size_t length, const char* name)
{
    bool separator = length > 0 && path[length - 1] != '\\';
    size_t name_length = strlen(name);
    if (length + separator + name_length >= kPathCapacity)
        return 0;
    if (separator)
        path[length] = '\\';
    memcpy(path + length + separator, name, name_length + 1);
    return length + separator + name_length;
}

SearchOutcome SearchFileSizeCrc(uint32_t size, uint32_t crc, const char* directory, char* output,
                                const SearchOptions& options)
{
    output[0] = '\0';
    auto* walk = static_cast<SearchWalk*>(malloc(sizeof(SearchWalk)));
    if (walk == nullptr)
        return SearchOutcome::kUnlistable;
    walk->size = size;
    walk->crc = crc;
    walk->path = output;
    walk->start = directory;
    walk->options = options;
    walk->enclosing_recorded = false;
    walk->levels = nullptr;
    walk->depth = walk->capacity = 0;
    memset(walk->visited.taken, 0, sizeof walk->visited.taken);
    walk->visited.count = 0;
    SearchOutcome outcome = Walk(walk);
    for (uint32_t i = 0; i < walk->depth; ++i)
        CloseListing(&walk->levels[i].listing);
    free(walk->levels);
    free(walk);
    if (outcome != SearchOutcome::kFound)
        output[0] = '\0';
    return outcome;
}
