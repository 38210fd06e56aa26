// The few operating-system services the library needs, behind one interface.
// platform_win32.cpp implements them with Win32 for the DLL; platform_posix.cpp
// implements the same contract on Linux so the portable core can be tested,
// fuzzed and benchmarked natively. Nothing outside this folder includes a
// system header.
#pragma once

#include "text/encoding.h"

#include <cstddef>
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
// file or on failure. `failed`, when given, tells the two apart: it is set
// when the read failed (the end of a pipe whose writer closed is an end).
uint32_t ReadFileChunk(PlatformFile file, void* buffer, uint32_t wanted, bool* failed = nullptr);

// The file's size in bytes as the system gives it now (0 for a pipe).
uint64_t FileSizeOf(PlatformFile file);

void CloseFile(PlatformFile file);

// Whether anything (a file, a folder) exists at `path`: after a failed open,
// this tells a missing file from one that cannot be opened.
bool PathExists(const char* path, TextEncoding encoding);

// ---- Directory listings -------------------------------------------------

// The facts the search takes from each listed entry.
struct ListingEntry {
    char name[260];      // the entry's own name, in the listing's encoding
    bool is_directory;   // a directory, or a link that leads to one
    bool is_link;        // reached through a link (a junction or a symbolic
                         // link), so it may lead back into the walk
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

// What makes a directory itself, whatever path leads to it: its volume and
// its file number there (device and inode on POSIX). Where the system may
// give the same pair to different directories (a volume serial or a file
// index of 0, as Wine gives for tmpfs and some network shares give), `unique`
// is false and the creation and last-write times are added, which tell such
// directories apart in practice while the same directory still matches
// itself; elsewhere they are 0.
struct DirectoryId {
    uint64_t volume;
    uint64_t file;
    uint64_t created;
    uint64_t written;
    bool unique;
};

// The identity of the directory an open listing lists; `directory` is the
// text its pattern was built from ("" the current directory, "C:" that
// drive's root). False when it cannot be read.
bool GetListingDirectoryId(const Listing& listing, const char* directory, DirectoryId* id);

// The identity of the directory `level` steps above the one `directory`
// names (1 its parent), physically: through the directories themselves, not
// the path's spelling. False above the root, or when it cannot be read.
bool GetEnclosingDirectoryId(const char* directory, TextEncoding encoding, uint32_t level,
                             DirectoryId* id);

// ---- Waiting for a free read buffer -------------------------------------

// How many read buffers the file checksum's pool holds.
constexpr int kReadBufferCount = 4;

// A process-wide count of free read buffers, kReadBufferCount at first.
// WaitForReadBuffer sleeps, without using the CPU, until the count is above
// zero, and takes one from it; ReturnReadBuffer adds one back and wakes one
// sleeper. Which buffer a caller then uses is the pool's own business. Nothing
// is made per call or held per thread.
void WaitForReadBuffer();
void ReturnReadBuffer();

// Gives back whatever the wait was built on, when the library is unloaded
// while no call runs; a later wait builds it afresh.
void CloseReadBufferWait();

// ---- Handing the host a command -----------------------------------------

enum class CommandDelivery {
    kTaken,          // the host window took the command
    kNotHandedOver,  // surely not handed over: no window, not a window, a host
                     // that has stopped answering, or one that refused it
    kUnknown,        // the wait ran out: the host may still run it
};

// How long a command waits for the host window to take it.
constexpr uint32_t kHostWaitMilliseconds = 10000;

// A way to hand the host window commands in turn: one named mapping serves
// every command of the channel, so a long run of commands (one per entry of
// a list) costs one message each and nothing more.
struct HostChannel {
    void* window;
    void* mapping;
    void* view;
    uint32_t index;  // the mapping's number, "mIRC<index>"
    bool wide;       // the window takes UTF-16
};

// Opens a channel to the host's window. False, with nothing held, when a
// command surely cannot be handed over: no window, not a window, a host that
// has stopped answering, no mapping to be had.
bool OpenHostChannel(void* window, HostChannel* channel);

// Hands the command made of `pieces` over as mIRC's command message does it,
// waiting at most kHostWaitMilliseconds. A window that takes wide text gets
// the command in UTF-16, each piece converted from its own encoding; an
// older, single-byte window gets the pieces' bytes as they are. After
// kUnknown the host may still read the mapping later, so the caller sends
// nothing more on the channel and closes it.
CommandDelivery SendOnHostChannel(HostChannel* channel, const TextPiece* pieces, size_t count);

// Closes the mapping, so that a message the host takes after the wait ran
// out finds nothing to run.
void CloseHostChannel(HostChannel* channel);

// One command on a channel of its own. The POSIX stand-in has no windows: it
// answers kNotHandedOver.
CommandDelivery SendHostCommand(void* window, const TextPiece* pieces, size_t count);

// Converts zero-terminated code-page text into zero-terminated UTF-8 in
// `text`, a buffer of `capacity` bytes. False when it does not fit. The
// native build's code page is UTF-8 itself: the bytes are copied.
bool CodePageToUtf8(const char* code_page_text, char* text, size_t capacity);

// Whether a byte of code-page text begins a two-byte character (only in the
// code pages of Chinese, Japanese and Korean systems): the byte after it is
// part of that character, whatever its value (0x5C, "\\", or 0x7C, "|").
bool IsCodePageLeadByte(unsigned char byte);

// ---- Threads and the module ---------------------------------------------

// The calling thread's identifier, never 0.
uint32_t CurrentThreadId();

// Lets other threads run for a moment (a lock held by another is soon free).
void YieldThread();

// Keeps `module` mapped until the process ends, whatever unloads it: code
// still running in it then never loses its instructions. Nothing natively.
void PinModule(void* module);

// ---- The environment ----------------------------------------------------

// Copies the value of environment variable `name` into `text`, a buffer of
// `capacity` bytes. False when it is not set or does not fit.
bool ReadEnvironmentText(const char* name, char* text, uint32_t capacity);

// ---- The library's own version information ------------------------------

// The full path of a module's file in the system's own wide form. It is
// never shown to the host, so it is never converted: any path the system
// loads a module from (up to 259 characters) is reached as it is.
constexpr uint32_t kModulePathCapacity = 260;
struct ModulePath {
    char16_t text[kModulePathCapacity];
};

// False when the call fails or the path does not fit (a truncated path is
// never handed on).
bool GetModulePath(void* module, ModulePath* path);

// Size of the file's version information; 0 when it has none or it cannot be
// read.
uint32_t GetVersionInfoSize(const ModulePath& path);

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
bool ReadVersionInfo(const ModulePath& path, uint32_t size, const VersionBlock* block);

// Looks up a sub-block path. Leaves `value` null or `length` 0 when the path
// names nothing.
void QueryVersionValue(const VersionBlock* block, const char* sub_block,
                       const void** value, uint32_t* length);
