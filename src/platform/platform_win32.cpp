// Win32 implementation of the platform interface.
//
// Code-page text goes to the single-byte (A) calls exactly as given. UTF-8
// text is turned into UTF-16 here, just before the wide (W) call, and wide
// names coming back are turned into UTF-8 here; the wide forms live only in
// these calls' frames, never in the search's recursion.
#include "platform/platform.h"

#include <windows.h>

#include <atomic>
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
    // Junctions and symbolic links are reparse points; so are the Unix links
    // that Wine lists.
    entry->is_link = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
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

bool GetDirectoryId(const char* path, TextEncoding encoding, DirectoryId* id)
{
    // No access is asked for: only the file's own information is read. The
    // backup flag lets a directory be opened at all.
    constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h;
    if (encoding == TextEncoding::kCodePage) {
        h = CreateFileA(path, 0, kShare, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                        nullptr);
    } else {
        WCHAR wide[kWidePathCapacity];
        if (!WidePath(path, wide))
            return false;
        h = CreateFileW(wide, 0, kShare, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                        nullptr);
    }
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    if (!known)
        return false;
    id->volume = info.dwVolumeSerialNumber;
    id->file = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}

namespace {

// The count of free read buffers is a semaphore, the one waiting primitive
// that Windows XP offers without a lock around it (slim locks and condition
// variables came with Vista, and a DLL that imports them does not load on
// XP). It is made at the first wait, by whichever caller gets there first.
std::atomic<HANDLE> PoolSemaphore{nullptr};

HANDLE ReadBufferSemaphore()
{
    HANDLE semaphore = PoolSemaphore.load(std::memory_order_acquire);
    if (semaphore != nullptr)
        return semaphore;
    HANDLE made = CreateSemaphoreW(nullptr, kReadBufferCount, kReadBufferCount, nullptr);
    if (made == nullptr)
        return nullptr;
    if (PoolSemaphore.compare_exchange_strong(semaphore, made, std::memory_order_acq_rel))
        return made;
    CloseHandle(made);  // another caller's came first
    return semaphore;
}

constexpr DWORD kRetryMilliseconds = 10;

}  // namespace

void WaitForReadBuffer()
{
    // Without a semaphore (the process is out of handles) there is nothing
    // to sleep on but time; try again until one can be made.
    HANDLE semaphore;
    while ((semaphore = ReadBufferSemaphore()) == nullptr)
        Sleep(kRetryMilliseconds);
    WaitForSingleObject(semaphore, INFINITE);
}

void ReturnReadBuffer()
{
    ReleaseSemaphore(PoolSemaphore.load(std::memory_order_acquire), 1, nullptr);
}

void CloseReadBufferWait()
{
    if (HANDLE semaphore = PoolSemaphore.exchange(nullptr, std::memory_order_acq_rel))
        CloseHandle(semaphore);
}

bool ReadEnvironmentText(const char* name, char* text, uint32_t capacity)
{
    DWORD length = GetEnvironmentVariableA(name, text, capacity);
    return length > 0 && length < capacity;
}

namespace {

const WCHAR* Wide(const ModulePath& path)
{
    return reinterpret_cast<const WCHAR*>(path.text);
}

}  // namespace

bool GetModulePath(void* module, ModulePath* path)
{
    // A full buffer means the path was cut (older Windows leaves it
    // unterminated too), so only a shorter answer is a whole path.
    DWORD n = GetModuleFileNameW(static_cast<HMODULE>(module), reinterpret_cast<WCHAR*>(path->text),
                                 kModulePathCapacity);
    return n > 0 && n < kModulePathCapacity;
}

uint32_t GetVersionInfoSize(const ModulePath& path)
{
    DWORD unused = 0;
    return GetFileVersionInfoSizeW(Wide(path), &unused);
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

bool ReadVersionInfo(const ModulePath& path, uint32_t size, const VersionBlock* block)
{
    return GetFileVersionInfoW(Wide(path), 0, size, block->data) != 0;
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
