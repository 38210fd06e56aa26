// Checking the CRC-32 that a file's name carries, as releases name their
// files: "[Group] Title - 01 [1A2B3C4D].mkv".
#pragma once

#include "crc/workwatch.h"
#include "sfv/listreport.h"

#include <cstdint>

// Reads the CRC-32 a name carries: eight hexadecimal digits (either case)
// in square brackets or parentheses; of several such groups the last counts.
// False when the name carries none.
bool ReadNameCrc(const char* name, uint32_t* crc);

// Checks `path`: a file, or a folder whose files (not its subfolders) are
// checked in listing order. Each is reported as OK, BAD or UNREADABLE, and a
// single file whose name carries no CRC as NONE; in a folder such files are
// passed over and not counted. `counts` (kListCountsBytes) gets
// "OK BAD UNREADABLE NONE". Memory: one heap block of about 100 KiB.
ListEnd CheckNameCrcs(const char* path, WorkWatch* watch, const ListReport& report, char* counts);
