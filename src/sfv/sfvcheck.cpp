// The list is read twice: once to count its entries and to learn its text's
// encoding, which only the whole file tells, and once to check them. Each
// pass keeps one line at a time; nothing is kept per entry.
#include "sfv/sfvcheck.h"

#include "crc/filecrc.h"
#include "sfv/sfvlist.h"

#include <cstring>

namespace {

struct ListFacts {
    uint64_t entries;
    TextEncoding encoding;
};

// The first pass. False when the list cannot be read through.
bool ReadListFacts(const char* path, TextEncoding encoding, WorkWatch* watch, ListFacts* facts)
{
    SfvReader reader;
    if (!OpenSfvReader(path, encoding, &reader))
        return false;
    SfvLine line;
    uint64_t entries = 0;
    while (!watch->Stopped() && NextSfvLine(&reader, &line))
        entries += IsSfvEntry(line);
    CloseSfvReader(&reader);
    facts->entries = entries;
    facts->encoding = reader.utf8.WellFormed() ? TextEncoding::kUtf8 : TextEncoding::kCodePage;
    return !reader.failed;
}

// The folder names are relative to: the list's own path up to its last
// separator, or nothing for a bare file name.
struct Folder {
    char text[kPathCapacity];
    TextEncoding encoding;
};

// Makes the folder in a form the list's names can be joined to: one
// encoding for both, UTF-8 when either is.
bool MakeFolder(const char* list_path, TextEncoding path_encoding, TextEncoding list_encoding,
                Folder* folder)
{
    const char* last = nullptr;
    for (const char* c = list_path; *c != '\0'; ++c) {
        if (*c == '\\' || *c == '/')
            last = c;
        else if (path_encoding == TextEncoding::kCodePage &&
                 IsCodePageLeadByte(static_cast<unsigned char>(*c)) && c[1] != '\0')
            ++c;  // its second byte may be 0x5C, and is no separator
    }
    size_t length = last == nullptr ? 0 : static_cast<size_t>(last - list_path) + 1;
    char own[kPathCapacity];
    if (length >= sizeof own)
        return false;
    memcpy(own, list_path, length);
    own[length] = '\0';
    folder->encoding = path_encoding;
    if (path_encoding == TextEncoding::kCodePage && list_encoding == TextEncoding::kUtf8) {
        folder->encoding = TextEncoding::kUtf8;
        return CodePageToUtf8(own, folder->text, sizeof folder->text);
    }
    memcpy(folder->text, own, length + 1);
    return true;
}

// Joins the folder and a name, "/" made "\"; false when the path would pass
// the path limit (or the name has no form in the folder's encoding).
bool JoinEntryPath(const Folder& folder, const char* name, TextEncoding name_encoding, char* path)
{
    char converted[kPathCapacity];
    if (name_encoding != folder.encoding) {
        if (!CodePageToUtf8(name, converted, sizeof converted))
            return false;
        name = converted;
    }
    size_t folder_length = strlen(folder.text), name_length = strlen(name);
    if (folder_length + name_length >= kPathCapacity)
        return false;
    memcpy(path, folder.text, folder_length);
    for (size_t i = 0; i <= name_length; ++i)
        path[folder_length + i] = name[i] == '/' ? '\\' : name[i];
    return true;
}

SfvVerdict CheckEntry(const Folder& folder, SfvLine* line, TextEncoding list_encoding,
                      WorkWatch* watch, const char** name)
{
    SfvEntry entry;
    char path[kPathCapacity];
    *name = nullptr;
    if (!ParseSfvEntry(line, list_encoding, &entry) || !JoinEntryPath(folder, entry.name, list_encoding, path))
        return SfvVerdict::kInvalid;
    *name = entry.name;
    uint32_t crc = 0;
    switch (ComputeFileCrc(path, folder.encoding, watch, &crc)) {
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

void Count(SfvVerdict verdict, SfvCounts* counts)
{
    uint64_t* counters[] = {&counts->ok, &counts->bad, &counts->missing, &counts->unreadable,
                            &counts->invalid};
    ++*counters[static_cast<int>(verdict)];
}

}  // namespace

SfvEnd CheckSfvList(const char* list_path, TextEncoding path_encoding, WorkWatch* watch,
                    const SfvReport& report, SfvCounts* counts)
{
    *counts = {};
    ListFacts facts;
    Folder folder;
    SfvReader reader;
    if (!ReadListFacts(list_path, path_encoding, watch, &facts))
        return watch->Stopped() ? SfvEnd::kStopped : SfvEnd::kListUnreadable;
    if (watch->Stopped())
        return SfvEnd::kStopped;
    if (!MakeFolder(list_path, path_encoding, facts.encoding, &folder) ||
        !OpenSfvReader(list_path, path_encoding, &reader))
        return SfvEnd::kListUnreadable;
    watch->entries.store(facts.entries, std::memory_order_relaxed);

    SfvEnd end = SfvEnd::kDone;
    SfvLine line;
    uint64_t index = 0;
    // A list that changed since it was counted ends at the count.
    while (index < facts.entries && NextSfvLine(&reader, &line)) {
        if (!IsSfvEntry(line))
            continue;
        ++index;
        const char* name;
        SfvVerdict verdict = CheckEntry(folder, &line, facts.encoding, watch, &name);
        if (watch->Stopped()) {
            end = SfvEnd::kStopped;
            break;
        }
        if (!report.entry(report.context, index, facts.entries, verdict, name, facts.encoding)) {
            end = SfvEnd::kReportRefused;
            break;
        }
        Count(verdict, counts);
        watch->entries_done.store(index, std::memory_order_relaxed);
    }
    if (end == SfvEnd::kDone && reader.failed)
        end = SfvEnd::kListUnreadable;
    CloseSfvReader(&reader);
    return end;
}
