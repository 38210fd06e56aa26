// Checking every file an SFV list names against the CRC-32 the list gives.
#pragma once

#include "crc/workwatch.h"
#include "text/encoding.h"

#include <cstdint>

enum class SfvVerdict : uint8_t {
    kOk,          // the file's CRC-32 equals the list's
    kBad,         // it differs
    kMissing,     // no such file
    kUnreadable,  // it exists but cannot be opened or read
    kInvalid,     // an entry the library will not read (see ParseSfvEntry)
};

struct SfvCounts {
    uint64_t ok, bad, missing, unreadable, invalid;
};

// Where each verdict goes as it is reached: `index` counts entries from 1 of
// `count`; `name` is the entry's name as the list writes it, in `encoding`
// (null for kInvalid). Returns false to end the check there (the host no
// longer takes what it is told); that entry is then not counted.
struct SfvReport {
    bool (*entry)(void* context, uint64_t index, uint64_t count, SfvVerdict verdict,
                  const char* name, TextEncoding encoding);
    void* context;
};

enum class SfvEnd : uint8_t {
    kDone,            // every entry was checked and reported
    kListUnreadable,  // the list cannot be opened or read: nothing was checked
    kStopped,         // the watch asked the check to stop
    kReportRefused,   // the report ended the check
};

// Checks the list at `list_path` (text in `path_encoding`), entry by entry in
// list order, each name relative to the list's folder. The watch shows the
// entries checked of all and the bytes of the current file, and may stop the
// check within one read chunk.
SfvEnd CheckSfvList(const char* list_path, TextEncoding path_encoding, WorkWatch* watch,
                    const SfvReport& report, SfvCounts* counts);
