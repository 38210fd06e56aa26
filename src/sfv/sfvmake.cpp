// The make walks the folder (and with -r the folders below it, breadth
// first from a queue, so no recursion) into one block of names, sorts them,
// then reads each file in that order and writes its line.
#include "sfv/sfvmake.h"

#include "crc/filecrc.h"
#include "platform/platform.h"
#include "search/search.h"
#include "sfv/sfvcheck.h"
#include "sfv/sfvlist.h"
#include "text/decimal.h"
#include "text/hextext.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kRecurse[] = "-r ";
constexpr char kSfvExtension[] = ".sfv";
constexpr int kTempAttempts = 100;
// " " and eight digits, then CR LF and a terminator.
constexpr size_t kCrcDigitsAndEnd = 12;

// A growing array of offsets into the block of names.
struct Offsets {
    size_t* at = nullptr;
    size_t count = 0, capacity = 0;

    ~Offsets() { free(at); }

    // False when there is no room, or `offset` is no name (SIZE_MAX).
    bool Push(size_t offset)
    {
        if (offset == SIZE_MAX)
            return false;
        if (count == capacity) {
            size_t grown = capacity * 2 + 256;
            void* more = realloc(at, grown * sizeof(size_t));
            if (more == nullptr)
                return false;
            at = static_cast<size_t*>(more), capacity = grown;
        }
        at[count++] = offset;
        return true;
    }
};

// Names, each zero-terminated, one after another; an entry's offset says
// where it begins. Directories wait in the same block to be listed.
struct NameBlock {
    char* bytes = nullptr;
    size_t used = 0, capacity = 0;
    Offsets files;

    ~NameBlock()
    {
        free(bytes);
    }

    // Appends a name; returns its offset, or SIZE_MAX when there is no room.
    size_t Add(const char* first, const char* second = "")
    {
        size_t a = strlen(first), b = strlen(second), need = used + a + b + 1;
        if (need > kMostMadeNameBytes)
            return SIZE_MAX;
        if (need > capacity) {
            size_t grown = std::max(need, capacity * 2 + 4096);
            void* more = realloc(bytes, grown);
            if (more == nullptr)
                return SIZE_MAX;
            bytes = static_cast<char*>(more), capacity = grown;
        }
        size_t at = used;
        memcpy(bytes + at, first, a);
        memcpy(bytes + at + a, second, b + 1);
        used = need;
        return at;
    }
};

constexpr size_t kWriteBufferBytes = 65536;

struct MakeWork {
    ListingEntry entry;
    char folder[kPathCapacity];   // LIST's folder, with its separator
    char path[kPathCapacity];     // the path being listed or read
    char scratch[kPathCapacity];  // a name being joined
    char temp[kPathCapacity];     // the temporary file's path
    char out[kWriteBufferBytes];  // the list's text not yet written
    size_t out_used;
};

// Buffers list text; false when the file refused a write.
bool Put(MakeWork* work, PlatformFile file, const char* text, size_t length)
{
    if (work->out_used + length > kWriteBufferBytes) {
        if (!WriteFileBytes(file, work->out, static_cast<uint32_t>(work->out_used)))
            return false;
        work->out_used = 0;
        if (length > kWriteBufferBytes)
            return WriteFileBytes(file, text, static_cast<uint32_t>(length));
    }
    memcpy(work->out + work->out_used, text, length);
    work->out_used += length;
    return true;
}

bool Flush(MakeWork* work, PlatformFile file)
{
    return WriteFileBytes(file, work->out, static_cast<uint32_t>(work->out_used));
}

// Windows compares names without regard to ASCII case.
bool SameNameIgnoringCase(const char* a, const char* b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
    for (;; ++a, ++b) {
        if (lower(*a) != lower(*b))
            return false;
        if (*a == '\0')
            return true;
    }
}

bool EndsWithSfv(const char* name)
{
    size_t n = strlen(name), e = sizeof kSfvExtension - 1;
    return n >= e && SameNameIgnoringCase(name + n - e, kSfvExtension);
}

// Whether `name` is "LIST.N.tmp" for the list named `list`: this make's own
// temporary file, or one an earlier make left when its process ended.
bool IsTemporaryOf(const char* name, const char* list)
{
    size_t n = strlen(list);
    if (strncmp(name, list, n) != 0 || name[n] != '.')
        return false;
    const char* at = name + n + 1;
    if (*at < '0' || *at > '9')
        return false;
    while (*at >= '0' && *at <= '9')
        ++at;
    return strcmp(at, ".tmp") == 0;
}


// Whether a listed file goes into the list under its name relative to the
// folder: not a list, and a name every reader takes as it is (no leading
// ";", which would make a comment, nor white space at either end).
bool Listable(const char* relative)
{
    size_t n = strlen(relative);
    const char* last = strrchr(relative, '\\');
    const char* own = last != nullptr ? last + 1 : relative;
    return n > 0 && !EndsWithSfv(own) && relative[0] != ';' && relative[0] != ' ' &&
           relative[n - 1] != ' ' && IsSfvListableName(relative);
}

// Lists the folder, and with `recurse` the folders below it, into `names`,
// leaving out LIST (`skip_a`, in the top folder) and its temporary files.
// False when the folder cannot be listed or the names do not fit.
bool CollectNames(MakeWork* work, bool recurse, const char* skip_a, WorkWatch* watch,
                  NameBlock* names)
{
    // The queue of folders still to list, the top folder being "".
    Offsets queue;
    size_t taken = 0;
    bool ok = queue.Push(names->Add(""));
    while (ok && taken < queue.count && !watch->Stopped()) {
        size_t relative = queue.at[taken++];
        bool top = taken == 1;
        size_t length = strlen(work->folder);
        memcpy(work->path, work->folder, length + 1);
        if (!top && JoinPath(work->path, length, names->bytes + relative) == 0)
            continue;  // deeper than any path
        Listing listing;
        bool has_entry = false;
        if (!OpenListing(work->path[0] != '\0' ? work->path : "", &listing, &work->entry,
                         &has_entry)) {
            ok = !top;  // a folder below that cannot be listed is left out
            continue;
        }
        for (bool more = has_entry; ok && more; more = NextListingEntry(&listing, &work->entry)) {
            const ListingEntry& e = work->entry;
            if (strcmp(e.name, ".") == 0 || strcmp(e.name, "..") == 0)
                continue;
            if (top && (SameNameIgnoringCase(e.name, skip_a) || IsTemporaryOf(e.name, skip_a)))
                continue;
            // The block may move as it grows: the folder's name is copied first.
            const char* prefix = names->bytes + relative;
            size_t prefix_length = strlen(prefix);
            memcpy(work->scratch, prefix, prefix_length + 1);
            if (JoinPath(work->scratch, prefix_length, e.name) == 0)
                continue;
            if (e.is_directory) {
                // Links are not followed: they could lead round, or out.
                if (recurse && !e.is_link)
                    ok = queue.Push(names->Add(work->scratch));
            } else if (Listable(work->scratch)) {
                ok = names->files.Push(names->Add(work->scratch));
            }
        }
        if (has_entry)
            CloseListing(&listing);
    }
    return ok;
}

// Writes "; Generated by tallowix on 2026-12-09 at 15:04.05" and a line end.
bool WriteHeader(MakeWork* work, PlatformFile file)
{
    LocalTime t;
    ReadLocalTime(&t);
    char header[96] = "; Generated by tallowix on ";
    char* at = header + strlen(header);
    auto two = [&](uint16_t v, char after) {
        *at++ = char('0' + v / 10 % 10);
        *at++ = char('0' + v % 10);
        if (after != '\0')
            *at++ = after;
    };
    at += WriteDecimal(at, t.year);
    *at++ = '-';
    two(t.month, '-');
    two(t.day, ' ');
    memcpy(at, "at ", 3), at += 3;
    two(t.hour, ':');
    two(t.minute, '.');
    two(t.second, '\0');
    memcpy(at, "\r\n", 2), at += 2;
    return Put(work, file, header, static_cast<size_t>(at - header));
}

// Makes a temporary file beside LIST, "LIST.N.tmp", its path in work->temp.
bool MakeTemporary(MakeWork* work, const char* list, PlatformFile* file)
{
    size_t length = strlen(list);
    if (length + 16 >= kPathCapacity)
        return false;
    for (int n = 1; n <= kTempAttempts; ++n) {
        memcpy(work->temp, list, length);
        char* at = work->temp + length;
        *at++ = '.';
        at += WriteDecimal(at, static_cast<uint64_t>(n));
        memcpy(at, ".tmp", 5);
        if (CreateNewFile(work->temp, file))
            return true;
    }
    return false;
}

// Reads every file in name order and writes its line; the list is complete
// in the temporary file when this ends with kDone.
ListEnd WriteEntries(MakeWork* work, PlatformFile file, NameBlock* names, WorkWatch* watch,
                     const ListReport& report, uint64_t* tally)
{
    if (!WriteHeader(work, file))
        return ListEnd::kUnwritten;
    const char* bytes = names->bytes;
    const Offsets& files = names->files;
    std::sort(files.at, files.at + files.count,
              [bytes](size_t a, size_t b) { return strcmp(bytes + a, bytes + b) < 0; });
    watch->entries.store(files.count, std::memory_order_relaxed);
    size_t folder_length = strlen(work->folder);
    for (size_t i = 0; i < files.count; ++i) {
        const char* name = bytes + files.at[i];
        memcpy(work->path, work->folder, folder_length + 1);
        uint32_t crc = 0;
        FileCrcOutcome outcome = JoinPath(work->path, folder_length, name) != 0
                                     ? ComputeFileCrc(work->path, watch, &crc)
                                     : FileCrcOutcome::kUnopenable;
        if (watch->Stopped())
            return ListEnd::kStopped;
        bool read = outcome == FileCrcOutcome::kComplete;
        char word[kCrcDigitsAndEnd];
        WriteHexDigits(word + 1, crc, 8, true);
        word[0] = ' ';
        memcpy(word + 9, "\r\n", 3);
        if (read && (!Put(work, file, name, strlen(name)) || !Put(work, file, word, 11)))
            return ListEnd::kUnwritten;
        word[9] = '\0';
        if (!report.entry(report.context, i + 1, files.count, read ? word + 1 : "UNREADABLE",
                          name))
            return ListEnd::kReportRefused;
        ++tally[read ? 0 : 1];
        watch->entries_done.store(i + 1, std::memory_order_relaxed);
    }
    return Flush(work, file) ? ListEnd::kDone : ListEnd::kUnwritten;
}

ListEnd MakeWith(MakeWork* work, const char* list, bool recurse, WorkWatch* watch,
                 const ListReport& report, uint64_t* tally)
{
    SfvListFolder(list, work->folder);
    const char* list_name = list + strlen(work->folder);
    work->out_used = 0;
    if (list_name[0] == '\0')
        return ListEnd::kUnwritten;
    PlatformFile file;
    // The temporary file is made first, so that the listing knows its name.
    if (!MakeTemporary(work, list, &file))
        return ListEnd::kUnwritten;
    NameBlock names;
    bool collected = CollectNames(work, recurse, list_name, watch, &names);
    ListEnd end = watch->Stopped() ? ListEnd::kStopped
                  : collected      ? WriteEntries(work, file, &names, watch, report, tally)
                                   : ListEnd::kUnwritten;  // the folder cannot be listed
    if (end != ListEnd::kDone) {
        CloseFile(file);
        RemoveFile(work->temp);
        return end;
    }
    if (!FinishNewFile(file)) {
        RemoveFile(work->temp);
        return ListEnd::kUnwritten;
    }
    // From here the call cannot be stopped: the list is whole.
    if (report.last_step != nullptr && !report.last_step(report.context)) {
        RemoveFile(work->temp);
        return ListEnd::kStopped;
    }
    if (!ReplaceWithFile(work->temp, list)) {
        RemoveFile(work->temp);
        return ListEnd::kUnwritten;
    }
    return ListEnd::kDone;
}

}  // namespace

ListEnd MakeSfvList(const char* argument, WorkWatch* watch, const ListReport& report,
                    char* counts)
{
    bool recurse = strncmp(argument, kRecurse, sizeof kRecurse - 1) == 0;
    const char* list = recurse ? argument + sizeof kRecurse - 1 : argument;
    uint64_t tally[2] = {};
    ListEnd end = ListEnd::kUnwritten;
    if (auto* work = static_cast<MakeWork*>(malloc(sizeof(MakeWork)))) {
        end = MakeWith(work, list, recurse, watch, report, tally);
        free(work);
    }
    WriteListCounts(counts, tally, 2);
    return end;
}
