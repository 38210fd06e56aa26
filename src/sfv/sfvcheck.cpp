// The list is read twice: once to count its entries and to learn its text's
// encoding, and once to check them. Each pass keeps one line at a time;
// nothing is kept per entry.
//
// A list of bytes is UTF-8 when every entry line is well-formed UTF-8, else
// the code page. Only entry lines decide: a banner comment drawn in another
// code page (box characters of code page 437 above UTF-8 names) says nothing
// of how the names are written, and neither does a line too long to be read.
#include "sfv/sfvcheck.h"

#include "crc/filecrc.h"
#include "sfv/sfvlist.h"
#include "text/decimal.h"

#include <cstdlib>
#include <cstring>

namespace {

// What one check holds, in one heap block.
struct SfvWork {
    SfvReader reader;
    SfvLine line;
    char utf8[kMaxSfvLineBytes + 1];
    char folder[kPathCapacity];
    char path[kPathCapacity];
};

struct ListFacts {
    uint64_t entries;
    TextEncoding encoding;
};

// The first pass. False when the list cannot be read through.
bool ReadListFacts(const char* path, SfvWork* work, WorkWatch* watch, ListFacts* facts)
{
    if (!OpenSfvReader(path, &work->reader))
        return false;
    uint64_t entries = 0;
    bool utf8 = true;
    while (!watch->Stopped() && NextSfvLine(&work->reader, &work->line)) {
        if (!IsSfvEntry(work->line))
            continue;
        ++entries;
        if (!work->line.overlong && !work->line.has_nul)
            utf8 = utf8 && IsValidUtf8(work->line.text);
    }
    CloseSfvReader(&work->reader);
    facts->entries = entries;
    facts->encoding = utf8 || work->reader.form != SfvTextForm::kBytes ? TextEncoding::kUtf8
                                                                       : TextEncoding::kCodePage;
    return !work->reader.failed;
}

// Joins the folder and a name, "/" made "\"; false when the path would pass
// the path limit.
bool JoinEntryPath(const char* folder, const char* name, char* path)
{
    size_t folder_length = strlen(folder), name_length = strlen(name);
    if (folder_length + name_length >= kPathCapacity)
        return false;
    memcpy(path, folder, folder_length);
    for (size_t i = 0; i <= name_length; ++i)
        path[folder_length + i] = name[i] == '/' ? '\\' : name[i];
    return true;
}

SfvVerdict CheckEntry(SfvWork* work, TextEncoding encoding, WorkWatch* watch, const char** name)
{
    SfvEntry entry;
    *name = nullptr;
    if (!ParseSfvEntry(work->line, encoding, work->utf8, &entry) ||
        !JoinEntryPath(work->folder, entry.name, work->path))
        return SfvVerdict::kInvalid;
    *name = entry.name;
    uint32_t crc = 0;
    switch (ComputeFileCrc(work->path, watch, &crc)) {
    case FileCrcOutcome::kComplete:
        return crc == entry.crc ? SfvVerdict::kOk : SfvVerdict::kBad;
    case FileCrcOutcome::kMissing:
        return SfvVerdict::kMissing;
    case FileCrcOutcome::kReadFailed:
    case FileCrcOutcome::kUnopenable:
    case FileCrcOutcome::kStopped:  // looked at by the caller
        break;
    }
    return SfvVerdict::kUnreadable;
}

ListEnd CheckWith(SfvWork* work, const char* list_path, WorkWatch* watch,
                  const ListReport& report, uint64_t* counts)
{
    ListFacts facts;
    if (!ReadListFacts(list_path, work, watch, &facts))
        return watch->Stopped() ? ListEnd::kStopped : ListEnd::kUnreadable;
    if (watch->Stopped())
        return ListEnd::kStopped;
    SfvListFolder(list_path, work->folder);
    if (!OpenSfvReader(list_path, &work->reader))
        return ListEnd::kUnreadable;
    watch->entries.store(facts.entries, std::memory_order_relaxed);

    ListEnd end = ListEnd::kDone;
    uint64_t index = 0;
    // A list that changed since it was counted ends at the count.
    while (index < facts.entries && NextSfvLine(&work->reader, &work->line)) {
        if (!IsSfvEntry(work->line))
            continue;
        ++index;
        const char* name;
        SfvVerdict verdict = CheckEntry(work, facts.encoding, watch, &name);
        if (watch->Stopped()) {
            end = ListEnd::kStopped;
            break;
        }
        if (!report.entry(report.context, index, facts.entries,
                          kSfvVerdictWords[static_cast<int>(verdict)], name)) {
            end = ListEnd::kReportRefused;
            break;
        }
        ++counts[static_cast<int>(verdict)];
        watch->entries_done.store(index, std::memory_order_relaxed);
    }
    if (end == ListEnd::kDone && work->reader.failed)
        end = ListEnd::kUnreadable;
    CloseSfvReader(&work->reader);
    return end;
}

}  // namespace

void SfvListFolder(const char* list_path, char* folder)
{
    size_t length = 0;
    for (size_t i = 0; list_path[i] != '\0' && i + 1 < kPathCapacity; ++i)
        if (list_path[i] == '\\' || list_path[i] == '/')
            length = i + 1;
    memcpy(folder, list_path, length);
    folder[length] = '\0';
}

const char* const kSfvVerdictWords[5] = {"OK", "BAD", "MISSING", "UNREADABLE", "INVALID"};

ListEnd CheckSfvList(const char* list_path, WorkWatch* watch, const ListReport& report,
                     char* counts)
{
    uint64_t tally[5] = {};
    auto* work = static_cast<SfvWork*>(malloc(sizeof(SfvWork)));
    ListEnd end = work != nullptr ? CheckWith(work, list_path, watch, report, tally)
                                  : ListEnd::kUnreadable;
    free(work);
    WriteListCounts(counts, tally, 5);
    return end;
}

void WriteListCounts(char* text, const uint64_t* counts, size_t count)
{
    char* at = text;
    for (size_t i = 0; i < count; ++i) {
        if (i > 0)
            *at++ = ' ';
        at += WriteDecimal(at, counts[i]);
    }
    *at = '\0';
}
