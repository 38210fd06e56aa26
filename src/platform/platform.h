// The few operating-system services the library needs, behind one interface.
// platform_win32.cpp implements them with Win32 for the DLL; platform_posix.cpp
// implements the same contract on Linux so the portable core can be tested,
// fuzzed and benchmarked natively. Nothing outside this folder includes a
// system header.
#pragma once

#include "text/encoding.h"

#include <cstdint>

// The host's routine form is __stdcall on 32-bit Windows (the callee removes
// the arguments); elsewhere there is only one calling convention.
#if defined(_WIN32) && !defined(_WIN64)
#define TALLOWIX_STDCALL __attribute__((stdcall))
#else
#define TALLOWIX_STDCALL
#endif

#if defined(_WIN32)
// res/tallowix.def names the exports and fixes their ordinals.
#define TALLOWIX_EXPORT extern "C"
#else
#define TALLOWIX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// Every path text the library builds fits 255 bytes and a terminator, in
// whichever encoding the text is read.
constexpr uint32_t kPathCapacity = 256;

// Path texts are read as their TextEncoding says: code-page text through the
// system's single-byte calls, UTF-8 through its wide-character calls. The
// native build has one kind of file name, bytes, and takes both alike.

// ---- Files --------------------------------------------------------------

struct PlatformFile {
    void* handle;
};

// Opens an existing file for binary reading while others may read and write
// it. Fails for a directory, a missing file or anything else unopenable, and
// for a UTF-8 path that has no wide form within the system's path limit.
bool OpenFileForRead(const char* path, TextEncoding encoding, PlatformFile* file);

// Reads up to `wanted` bytes; returns how many arrived, 0 at the end of the
// file or on failure (the caller treats both alike).
uint32_t ReadFileChunk(PlatformFile file, void* buffer, uint32_t wanted);

void CloseFile(PlatformFile file);

// ---- Directory listings -------------------------------------------------

// The three facts the search takes from each listed entry.
struct ListingEntry {
    char name[260];      // the entry's own name, in the listing's encoding
    bool is_directory;
    uint32_t size_low;   // low 32 bits of the size
};

struct Listing {
    void* handle;
    TextEncoding encoding;  // of the pattern and of every listed name
    ListingEntry entry;     // the current entry
};

// Opens the listing for a pattern whose last component is "*.*" and fills
// the first entry. False when the directory cannot be listed, for any reason.
// In UTF-8, a name with no faithful UTF-8 form (an unpaired surrogate) or
// one too long for the entry is passed over, as no path could hold it.
bool OpenListing(const char* pattern, TextEncoding encoding, Listing* listing);

// Moves to the next entry. False at the end of the listing or on any error.
bool NextListingEntry(Listing* listing);

void CloseListing(Listing* listing);

// ---- Waiting for a free read buffer -------------------------------------

// One process-wide lock with one condition to wait on under it, guarding the
// pool of read buffers. Both are static and ready before any call: nothing is
// created, nothing is held per thread, nothing is left to free.
void LockPool();
void UnlockPool();

// Called with the lock held: releases it, sleeps without using the CPU until
// WakePoolWaiter (or a spurious wake), and holds it again before returning.
void WaitInPool();

// Wakes one thread sleeping in WaitInPool, if any.
void WakePoolWaiter();

// ---- The environment ----------------------------------------------------

// Copies the value of environment variable `name` into `text`, a buffer of
// `capacity` bytes. False when it is not set or does not fit.
bool ReadEnvironmentText(const char* name, char* text, uint32_t capacity);

// ---- The library's own version information ------------------------------

// Full path of the module's file in `encoding`. False when the call fails or
// the path does not fit `capacity` (a truncated path is never handed on).
bool GetModulePath(void* module, TextEncoding encoding, char* path, uint32_t capacity);

// Size of the file's version information; 0 when it has none or it cannot be
// read.
uint32_t GetVersionInfoSize(const char* path, TextEncoding encoding);

// One movable global memory block, locked while in use.
struct VersionBlock {
    void* handle;
    void* data;
};

// Allocates and locks a block of `size` bytes. False when either step fails;
// nothing is then held.
bool AllocVersionBlock(uint32_t size, VersionBlock* block);

// Unlocks and frees a block obtained from AllocVersionBlock.
void FreeVersionBlock(VersionBlock* block);

// Copies the file's version information into the block. False on failure.
bool ReadVersionInfo(const char* path, TextEncoding encoding, uint32_t size,
                     const VersionBlock* block);

// Looks up a sub-block path. Leaves `value` null or `length` 0 when the path
// names nothing.
void QueryVersionValue(const VersionBlock* block, const char* sub_block,
                       const void** value, uint32_t* length);
