// What the list routines (checking an SFV list, making one, checking the CRCs
// in file names) report as they go, and how they end.
#pragma once

#include <cstddef>
#include <cstdint>

// Where each entry goes as it is reached: `index` counts entries from 1 of
// `count`; `word` says what became of it (a verdict, or a CRC); `name` is
// its name in UTF-8, or null when it is not to be repeated. Returns false
// to end the routine there (the host no longer takes what it is told); that
// entry is then not counted.
struct ListReport {
    bool (*entry)(void* context, uint64_t index, uint64_t count, const char* word,
                  const char* name);
    // Called once before a step that cannot be taken back (a made list put
    // in place): from then on the call can no longer be stopped. False when
    // it was told to stop first: the step is not taken.
    bool (*last_step)(void* context);
    void* context;
};

enum class ListEnd : uint8_t {
    kDone,            // every entry was reached and reported
    kUnreadable,      // what was named cannot be read: nothing was done
    kUnwritten,       // a made list could not be written: none was left
    kStopped,         // the watch asked the routine to stop
    kReportRefused,   // the report ended the routine
};

// Room for a routine's counts: up to six decimal numbers and spaces.
constexpr size_t kListCountsBytes = 6 * 21;

// Writes the counts, space-separated, at `text` (kListCountsBytes bytes).
void WriteListCounts(char* text, const uint64_t* counts, size_t count);
