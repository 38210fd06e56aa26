// Making an SFV list of a folder's files.
#pragma once

#include "crc/workwatch.h"
#include "sfv/listreport.h"

// Makes the list that `argument`, "[-r] LIST", names: one "name CRC" line
// for every file in LIST's folder (with -r, and in the folders below it,
// names written with "\"), in name order, so that the same folder gives the
// same list, below a comment saying what wrote it and when. LIST itself and
// other .sfv files are left out, and so is any name a list cannot carry
// (see IsSfvListableName). Names are UTF-8, which is ASCII when every name
// is. Each file is reported with its CRC, or as UNREADABLE and left out.
//
// The list is written to a file of its own beside LIST and put in its place
// only when whole: a stopped, refused or failed make leaves no list, no
// temporary file, and any older LIST as it was. `counts` (kListCountsBytes)
// gets "WRITTEN UNREADABLE". Memory: the names, held to be sorted (at most
// kMostMadeNameBytes), and one block of about 460 KiB.
ListEnd MakeSfvList(const char* argument, WorkWatch* watch, const ListReport& report,
                    char* counts);

constexpr size_t kMostMadeNameBytes = 64u << 20;
