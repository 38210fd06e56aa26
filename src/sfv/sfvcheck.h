// Checking every file an SFV list names against the CRC-32 the list gives.
#pragma once

#include "crc/workwatch.h"
#include "sfv/listreport.h"

#include <cstdint>

enum class SfvVerdict : uint8_t {
    kOk,          // the file's CRC-32 equals the list's
    kBad,         // it differs
    kMissing,     // no such file
    kUnreadable,  // it exists but cannot be opened or read
    kInvalid,     // an entry the library will not read (see ParseSfvEntry)
};

// The verdicts' words, as signals carry them.
extern const char* const kSfvVerdictWords[5];

// Checks the list at `list_path`, entry by entry in list order, each name
// relative to the list's folder. The watch shows the entries checked of all
// and the bytes of the current file, and may stop the check within one read
// chunk. Memory: one heap block of about 480 KiB (a chunk of the list, a
// line as long as the longest path in each of its forms, the folder and a
// path), whatever the list's length.
// `counts` (kListCountsBytes) gets "OK BAD MISSING UNREADABLE INVALID", of
// the entries reported.
ListEnd CheckSfvList(const char* list_path, WorkWatch* watch, const ListReport& report,
                     char* counts);

// The folder part of a list's path, up to and with its last separator ("" for
// a bare file name), into `folder` (kPathCapacity bytes).
void SfvListFolder(const char* list_path, char* folder);
