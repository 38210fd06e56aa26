// Win32 implementation of the platform interface.
#include "platform/platform.h"

#include <windows.h>

#include <cstring>

static_assert(sizeof(ListingEntry::name) == sizeof(WIN32_FIND_DATAA::cFileName),
              "a listed name must fit the entry record");

bool OpenFileForRead(const char* path, PlatformFile* file)
{
    HANDLE h = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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

static void CopyEntry(const WIN32_FIND_DATAA& data, ListingEntry* entry)
{
    memcpy(entry->name, data.cFileName, sizeof entry->name);
    entry->name[sizeof entry->name - 1] = '\0';
    entry->is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry->size_low = data.nFileSizeLow;
}

bool OpenListing(const char* pattern, Listing* listing)
{
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(pattern, &data);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    listing->handle = h;
    CopyEntry(data, &listing->entry);
    return true;
}

bool NextListingEntry(Listing* listing)
{
    WIN32_FIND_DATAA data;
    if (!FindNextFileA(listing->handle, &data))
        return false;
    CopyEntry(data, &listing->entry);
    return true;
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

bool GetModulePath(void* module, char* path, uint32_t capacity)
{
    // A full buffer means the path was cut (older Windows leaves it
    // unterminated too), so only a shorter answer is a whole path.
    DWORD n = GetModuleFileNameA(static_cast<HMODULE>(module), path, capacity);
    return n > 0 && n < capacity;
}

uint32_t GetVersionInfoSize(const char* path)
{
    DWORD unused = 0;
    return GetFileVersionInfoSizeA(path, &unused);
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

bool ReadVersionInfo(const char* path, uint32_t size, const VersionBlock* block)
{
    return GetFileVersionInfoA(path, 0, size, block->data) != 0;
}

void QueryVersionValue(const VersionBlock* block, const char* sub_block,
                       const void** value, uint32_t* length)
{
    void* found = nullptr;
    UINT found_length = 0;
    VerQueryValueA(block->data, sub_block, &found, &found_length);
    *value = found;
    *length = found_length;
}
