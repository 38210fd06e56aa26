// Win32 implementation of the platform interface.
//
// Code-page text goes to the single-byte (A) calls exactly as given. UTF-8
// text is turned into UTF-16 here, just before the wide (W) call, and wide
// names coming back are turned into UTF-8 here; the wide forms live only in
// these calls' frames, never in the search's recursion.
#include "platform/platform.h"

#include <windows.h>

#include <cstring>

static_assert(sizeof(ListingEntry::name) == sizeof(WIN32_FIND_DATAA::cFileName),
              "a listed name must fit the entry record");
static_assert(sizeof(char16_t) == sizeof(WCHAR), "UTF-16 units are the system's wide characters");

namespace {

// The longest path the wide calls take without the \\?\ form, terminator
// included: no more than the single-byte calls take.
constexpr uint32_t kWidePathCapacity = MAX_PATH;

// The wide form of a UTF-8 path; false when it is not UTF-8 or is too long.
bool WidePath(const char* path, WCHAR (&wide)[kWidePathCapacity])
{
    return Utf8ToUtf16(path, reinterpret_cast<char16_t*>(wide), kWidePathCapacity);
}

HANDLE OpenForRead(const char* path, TextEncoding encoding)
{
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
    if (encoding == TextEncoding::kCodePage)
        return CreateFileA(path, GENERIC_READ, kShare, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    WCHAR wide[kWidePathCapacity];
    if (!WidePath(path, wide))
        return INVALID_HANDLE_VALUE;
    return CreateFileW(wide, GENERIC_READ, kShare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

}  // namespace

bool OpenFileForRead(const char* path, TextEncoding encoding, PlatformFile* file)
{
    HANDLE h = OpenForRead(path, encoding);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    file->handle = h;
    return true;
}

uint32_t ReadFileChunk(PlatformFile file, void* buffer, uint32_t wanted)
{
    DWORD got = 0;
    // A failed read may still have delivered part of the chunk; that part counts.
    ReadFile(file.handle, buffer, wanted, &got, nullptr);
    return got;
}

void CloseFile(PlatformFile file)
{
    CloseHandle(file.handle);
}

namespace {

void CopyFacts(DWORD attributes, DWORD size_low, ListingEntry* entry)
{
    entry->is_directory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry->size_low = size_low;
}

void CopyEntry(const WIN32_FIND_DATAA& data, ListingEntry* entry)
{
    memcpy(entry->name, data.cFileName, sizeof entry->name);
    entry->name[sizeof entry->name - 1] = '\0';
    CopyFacts(data.dwFileAttributes, data.nFileSizeLow, entry);
}

// False for a name with no faithful UTF-8 form or none that fits.
bool CopyEntry(const WIN32_FIND_DATAW& data, ListingEntry* entry)
{
    if (!Utf16ToUtf8(reinterpret_cast<const char16_t*>(data.cFileName), entry->name,
                     sizeof entry->name))
        return false;
    CopyFacts(data.dwFileAttributes, data.nFileSizeLow, entry);
    return true;
}

// Fills the entry from `data`, or from the first later entry that can be
// given in UTF-8. False at the end of the listing.
bool FirstUtf8Entry(HANDLE h, WIN32_FIND_DATAW* data, ListingEntry* entry)
{
    while (!CopyEntry(*data, entry))
        if (!FindNextFileW(h, data))
            return false;
    return true;
}

}  // namespace

bool OpenListing(const char* pattern, TextEncoding encoding, Listing* listing)
{
    HANDLE h;
    listing->encoding = encoding;
    if (encoding == TextEncoding::kCodePage) {
        WIN32_FIND_DATAA data;
        h = FindFirstFileA(pattern, &data);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        CopyEntry(data, &listing->entry);
    } else {
        WCHAR wide[kWidePathCapacity];
        WIN32_FIND_DATAW data;
        if (!WidePath(pattern, wide))
            return false;
        h = FindFirstFileW(wide, &data);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        if (!FirstUtf8Entry(h, &data, &listing->entry)) {
            FindClose(h);
            return false;
        }
    }
    listing->handle = h;
    return true;
}

bool NextListingEntry(Listing* listing)
{
    if (listing->encoding == TextEncoding::kCodePage) {
        WIN32_FIND_DATAA data;
        if (!FindNextFileA(listing->handle, &data))
            return false;
        CopyEntry(data, &listing->entry);
        return true;
    }
    WIN32_FIND_DATAW data;
    return FindNextFileW(listing->handle, &data) &&
           FirstUtf8Entry(listing->handle, &data, &listing->entry);
}

void CloseListing(Listing* listing)
{
    FindClose(listing->handle);
}

// A slim reader/writer lock and a condition variable: plain static words,
// no kernel object to create or close.
static SRWLOCK PoolLock = SRWLOCK_INIT;
static CONDITION_VARIABLE PoolChange = CONDITION_VARIABLE_INIT;

void LockPool()
{
    AcquireSRWLockExclusive(&PoolLock);
}

void UnlockPool()
{
    ReleaseSRWLockExclusive(&PoolLock);
}

void WaitInPool()
{
    SleepConditionVariableSRW(&PoolChange, &PoolLock, INFINITE, 0);
}

void WakePoolWaiter()
{
    WakeConditionVariable(&PoolChange);
}

bool ReadEnvironmentText(const char* name, char* text, uint32_t capacity)
{
    DWORD length = GetEnvironmentVariableA(name, text, capacity);
    return length > 0 && length < capacity;
}

bool GetModulePath(void* module, TextEncoding encoding, char* path, uint32_t capacity)
{
    // A full buffer means the path was cut (older Windows leaves it
    // unterminated too), so only a shorter answer is a whole path.
    if (encoding == TextEncoding::kCodePage) {
        DWORD n = GetModuleFileNameA(static_cast<HMODULE>(module), path, capacity);
        return n > 0 && n < capacity;
    }
    WCHAR wide[kWidePathCapacity];
    DWORD n = GetModuleFileNameW(static_cast<HMODULE>(module), wide, kWidePathCapacity);
    return n > 0 && n < kWidePathCapacity &&
           Utf16ToUtf8(reinterpret_cast<const char16_t*>(wide), path, capacity);
}

uint32_t GetVersionInfoSize(const char* path, TextEncoding encoding)
{
    DWORD unused = 0;
    if (encoding == TextEncoding::kCodePage)
        return GetFileVersionInfoSizeA(path, &unused);
    WCHAR wide[kWidePathCapacity];
    return WidePath(path, wide) ? GetFileVersionInfoSizeW(wide, &unused) : 0;
}

bool AllocVersionBlock(uint32_t size, VersionBlock* block)
{
    HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE, size);
    if (h == nullptr)
        return false;
    void* data = GlobalLock(h);
    if (data == nullptr) {
        GlobalFree(h);
        return false;
    }
    block->handle = h;
    block->data = data;
    return true;
}

void FreeVersionBlock(VersionBlock* block)
{
    GlobalUnlock(block->handle);
    GlobalFree(block->handle);
}

bool ReadVersionInfo(const char* path, TextEncoding encoding, uint32_t size,
                     const VersionBlock* block)
{
    if (encoding == TextEncoding::kCodePage)
        return GetFileVersionInfoA(path, 0, size, block->data) != 0;
    WCHAR wide[kWidePathCapacity];
    return WidePath(path, wide) && GetFileVersionInfoW(wide, 0, size, block->data) != 0;
}

void QueryVersionValue(const VersionBlock* block, const char* sub_block,
                       const void** value, uint32_t* length)
{
    // The single-byte lookup reads a block from either file call alike: the
    // block keeps room for the single-byte copies of its texts.
    void* found = nullptr;
    UINT found_length = 0;
    VerQueryValueA(block->data, sub_block, &found, &found_length);
    *value = found;
    *length = found_length;
}
