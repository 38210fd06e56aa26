// The name check lists a folder twice: once to count the files whose names
// carry a CRC, once to check them, so that each signal can say "I/N".
#include "sfv/namecrc.h"

#include "crc/filecrc.h"
#include "platform/platform.h"
#include "search/search.h"
#include "text/charclass.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr int kCrcDigits = 8;

enum Tally { kOk, kBad, kUnreadable, kNone, kTallies };
constexpr const char* kWords[kTallies] = {"OK", "BAD", "UNREADABLE", "NONE"};

struct NameWork {
    ListingEntry entry;
    char path[kPathCapacity];
};

int Check(const char* path, uint32_t crc, WorkWatch* watch)
{
    uint32_t found = 0;
    switch (ComputeFileCrc(path, watch, &found)) {
    case FileCrcOutcome::kComplete:
        return found == crc ? kOk : kBad;
    default:
        return kUnreadable;
    }
}

// A single file: one entry, NONE when its name carries no CRC.
ListEnd CheckOneFile(const char* path, WorkWatch* watch, const ListReport& report,
                     uint64_t* tally)
{
    if (!PathExists(path))
        return ListEnd::kUnreadable;
    const char* name = path;
    for (const char* c = path; *c != '\0'; ++c)
        if (*c == '\\' || *c == '/' || *c == ':')
            name = c + 1;
    watch->entries.store(1, std::memory_order_relaxed);
    uint32_t crc = 0;
    int verdict = ReadNameCrc(name, &crc) ? Check(path, crc, watch) : kNone;
    if (watch->Stopped())
        return ListEnd::kStopped;
    if (!report.entry(report.context, 1, 1, kWords[verdict], name))
        return ListEnd::kReportRefused;
    ++tally[verdict];
    watch->entries_done.store(1, std::memory_order_relaxed);
    return ListEnd::kDone;
}

// The folder's files, in listing order, that carry a CRC: counted when
// `report` is null, else checked and reported.
ListEnd WalkFolder(const char* folder, NameWork* work, WorkWatch* watch, const ListReport* report,
                   uint64_t count, uint64_t* tally, uint64_t* counted)
{
    Listing listing;
    bool has_entry = false;
    if (!OpenListing(folder, &listing, &work->entry, &has_entry))
        return ListEnd::kUnreadable;
    size_t folder_length = strlen(folder);
    memcpy(work->path, folder, folder_length + 1);
    ListEnd end = ListEnd::kDone;
    uint64_t index = 0;
    for (bool more = has_entry; more; more = NextListingEntry(&listing, &work->entry)) {
        uint32_t crc = 0;
        if (work->entry.is_directory || !ReadNameCrc(work->entry.name, &crc))
            continue;
        ++index;
        if (report == nullptr)
            continue;
        // A folder that gained files since it was counted ends at the count.
        if (index > count)
            break;
        work->path[folder_length] = '\0';
        int verdict = JoinPath(work->path, folder_length, work->entry.name) != 0
                          ? Check(work->path, crc, watch)
                          : kUnreadable;
        if (watch->Stopped()) {
            end = ListEnd::kStopped;
            break;
        }
        if (!report->entry(report->context, index, count, kWords[verdict], work->entry.name)) {
            end = ListEnd::kReportRefused;
            break;
        }
        ++tally[verdict];
        watch->entries_done.store(index, std::memory_order_relaxed);
    }
    if (has_entry)
        CloseListing(&listing);
    *counted = index;
    return end;
}

}  // namespace

bool ReadNameCrc(const char* name, uint32_t* crc)
{
    bool found = false;
    for (const char* c = name; *c != '\0'; ++c) {
        char close = *c == '[' ? ']' : *c == '(' ? ')' : '\0';
        if (close == '\0')
            continue;
        uint32_t value = 0;
        int digits = 0;
        while (digits < kCrcDigits && HexDigitValue(static_cast<unsigned char>(c[1 + digits])) >= 0)
            value = (value << 4) | static_cast<uint32_t>(HexDigitValue(static_cast<unsigned char>(c[1 + digits++])));
        if (digits == kCrcDigits && c[1 + digits] == close) {
            *crc = value;
            found = true;
        }
    }
    return found;
}

ListEnd CheckNameCrcs(const char* path, WorkWatch* watch, const ListReport& report, char* counts)
{
    uint64_t tally[kTallies] = {};
    ListEnd end = ListEnd::kUnreadable;
    if (!IsDirectoryPath(path)) {
        end = CheckOneFile(path, watch, report, tally);
    } else if (auto* work = static_cast<NameWork*>(malloc(sizeof(NameWork)))) {
        uint64_t count = 0, checked = 0;
        end = WalkFolder(path, work, watch, nullptr, 0, tally, &count);
        if (end == ListEnd::kDone) {
            watch->entries.store(count, std::memory_order_relaxed);
            end = WalkFolder(path, work, watch, &report, count, tally, &checked);
        }
        free(work);
    }
    WriteListCounts(counts, tally, kTallies);
    return end;
}
