// The background calls now running, by tag, so that a script can watch one
// (GetSignalProgress) or stop it (CancelSignal), and the host's exit can stop
// them all.
//
// The table is a fixed array of kCallSlots records: nothing is allocated per
// call, and a call that finds every slot taken still runs, only it cannot be
// watched or stopped. Claiming, releasing and looking up take one short spin
// lock (a few dozen tag comparisons at most); the running call itself writes
// its counters and reads its stop flag without it.
#pragma once

#include "crc/workwatch.h"

#include <cstddef>
#include <cstdint>

// mIRC runs each $dllcall on a thread of its own and a script may start as
// many as it likes, but the file reads share kReadBufferCount buffers: far
// fewer than this many can make progress at once.
constexpr int kCallSlots = 64;

// The longest tag a background call is known by, terminator excluded.
constexpr size_t kMaxTagBytes = 255;

enum class CallKind : uint8_t {
    kCrc,     // Get32BitCrc: bytes read of the file's size
    kSearch,  // MIRCFindFileSizeCrc: listing entries looked at
    kSfv,      // CheckSfv: list entries checked of all, bytes of the current file
    kMakeSfv,  // MakeSfv: files read of all, bytes of the current file
    kNameCrc,  // CheckNameCrc: files checked of all, bytes of the current file
};

// Claims a slot for a call under `tag` (at most kMaxTagBytes bytes). Returns
// the call's watch, or null when every slot is taken.
WorkWatch* ClaimCallSlot(const char* tag, CallKind kind);

// Gives the slot of a watch from ClaimCallSlot back. Returns whether the
// call was told to stop: StopCalls counted it, whether or not it saw it.
bool ReleaseCallSlot(WorkWatch* watch);

// Tells every running call under `tag` to stop, or every call at all when
// `tag` is null. Returns how many it told.
int StopCalls(const char* tag);

// What a running call shows.
struct CallProgress {
    CallKind kind;
    uint64_t bytes_done, bytes_total, entries_done, entries;
};

// The progress of the first running call under `tag`; false when none runs.
bool ReadCallProgress(const char* tag, CallProgress* progress);
