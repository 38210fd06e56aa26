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

// Every text the library handles inside is UTF-8: host text is converted to
// it where it arrives and back where an answer leaves (src/host), and the
// platform layer turns it into the system's own names. On Windows that is
// UTF-16 for the wide calls, the only file calls the library makes, so a
// name is always the name the system holds, never a look-alike.
//
// A path may be as long as the system's own limit, 32,767 UTF-16 units; in
// UTF-8 each unit takes at most three bytes. Paths of MAX_PATH units and
// more go to the system in their \\?\ form (see platform_win32.cpp).
constexpr uint32_t kMostPathUnits = 32767;
constexpr uint32_t kPathCapacity = 3 * kMostPathUnits + 1;
// A listed name: at most 255 UTF-16 units, in UTF-8 with a terminator.
constexpr uint32_t kNameCapacity = 3 * 255 + 1;

// ---- Files --------------------------------------------------------------

struct PlatformFile {
    void* handle;
};

// Opens an existing file for binary reading while others may read and write
// it. Fails for a directory, a missing file or anything else unopenable, and
// for a path that is not UTF-8 or is longer than the system takes.
bool OpenFileForRead(const char* path, PlatformFile* file);

// Reads up to `wanted` bytes; returns how many arrived, 0 at the end of the
// file or on failure. `failed`, when given, tells the two apart: it is set
// when the read failed (the end of a pipe whose writer closed is an end).
uint32_t ReadFileChunk(PlatformFile file, void* buffer, uint32_t wanted, bool* failed = nullptr);

// The file's size in bytes as the system gives it now (0 for a pipe).
uint64_t FileSizeOf(PlatformFile file);

void CloseFile(PlatformFile file);

// Whether anything (a file, a folder) exists at `path`: after a failed open,
// this tells a missing file from one that cannot be opened.
bool PathExists(const char* path);

// Whether `path` names a directory (a link to one too).
bool IsDirectoryPath(const char* path);

// Creates a file that must not exist yet, for writing, shared with no one
// until it is finished. False when it exists or cannot be made.
bool CreateNewFile(const char* path, PlatformFile* file);

// Writes all `count` bytes; false when they could not all be written.
bool WriteFileBytes(PlatformFile file, const void* bytes, uint32_t count);

// Flushes a new file to its disk and closes it; false when the flush failed
// (the file is closed either way).
bool FinishNewFile(PlatformFile file);

// Puts the file `from` in the place of `to`, which may exist: at once and
// whole, on the same volume. False when it could not be done; `to` is then
// as it was.
bool ReplaceWithFile(const char* from, const char* to);

// Removes a file; false when it could not be removed.
bool RemoveFile(const char* path);

// The local date and time now, for texts meant for people.
struct LocalTime {
    uint16_t year, month, day, hour, minute, second;
};
void ReadLocalTime(LocalTime* time);

// ---- Directory listings -------------------------------------------------

// The facts taken from each listed entry.
struct ListingEntry {
    char name[kNameCapacity];  // the entry's own name, in UTF-8
    bool is_directory;         // a directory, or a link that leads to one
    bool is_link;              // reached through a link (a junction or a
                               // symbolic link), so it may lead back into the walk
    uint64_t size;             // the size in bytes
};

struct Listing {
    void* handle;
};

// Opens the listing of every entry in `directory` ("" the current directory,
// "C:" that drive's root) and fills `entry` with the first. False when the
// directory cannot be listed, for any reason. A listing that opens but has
// no entry the library can name sets *has_entry false (the listing is then
// already closed). A name with no faithful UTF-8 form (an unpaired
// surrogate), or one that holds a separator, is passed over: no path could
// name it.
bool OpenListing(const char* directory, Listing* listing, ListingEntry* entry, bool* has_entry);

// Moves to the next entry. False at the end of the listing or on any error.
bool NextListingEntry(Listing* listing, ListingEntry* entry);

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
// text it was opened with. False when it cannot be read.
bool GetListingDirectoryId(const Listing& listing, const char* directory, DirectoryId* id);

// The identities of the directories above the one `directory` names, its
// parent first, up to the root or `most` of them; returns how many were read
// (the first that cannot be read ends them). Physically: the directory is
// opened once and its own final path cut, so a start reached through a link
// has the folders above its target. (Windows XP cannot tell a handle's final
// path: there the spelled path is cut.)
uint32_t GetEnclosingDirectoryIds(const char* directory, DirectoryId* ids, uint32_t most);

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

// The longest command a channel carries, in UTF-16 units without the
// terminator (the mapping holds 64 KiB).
constexpr uint32_t kMostCommandUnits = 32767;

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

// Hands the command made of the UTF-8 `pieces` over as mIRC's command
// message does it, waiting at most kHostWaitMilliseconds. A window that takes
// wide text gets the command in UTF-16; an older, single-byte window gets it
// in the code page, and nothing when a character has no exact form there.
// After kUnknown the host may still read the mapping later, so the caller
// sends nothing more on the channel and closes it.
CommandDelivery SendOnHostChannel(HostChannel* channel, const char* const* pieces, size_t count);

// Closes the mapping, so that a message the host takes after the wait ran
// out finds nothing to run.
void CloseHostChannel(HostChannel* channel);

// One command on a channel of its own. The POSIX stand-in has no windows: it
// answers kNotHandedOver.
CommandDelivery SendHostCommand(void* window, const char* const* pieces, size_t count);

// Converts zero-terminated code-page text into zero-terminated UTF-8 in
// `text`, a buffer of `capacity` bytes, strictly: false when a byte sequence
// is no character of the code page (it names nothing) or the result does not
// fit. The native build's code page is UTF-8 itself: well-formed text is
// copied.
bool CodePageToUtf8(const char* code_page_text, char* text, size_t capacity);

// Converts zero-terminated UTF-8 into zero-terminated code-page text,
// strictly: false when a character has no exact form in the code page (no
// look-alike is ever put in its place) or the result does not fit.
bool Utf8ToCodePage(const char* text, char* code_page_text, size_t capacity);

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
