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

// Opens an existing path through the single-byte or the wide call, as its
// encoding says.
HANDLE OpenExisting(const char* path, TextEncoding encoding, DWORD access, DWORD share,
                    DWORD flags)
{
    if (encoding == TextEncoding::kCodePage)
        return CreateFileA(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    WCHAR wide[kWidePathCapacity];
    if (!WidePath(path, wide))
        return INVALID_HANDLE_VALUE;
    return CreateFileW(wide, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
}

}  // namespace

bool OpenFileForRead(const char* path, TextEncoding encoding, PlatformFile* file)
{
    HANDLE h = OpenExisting(path, encoding, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    file->handle = h;
    return true;
}

uint32_t ReadFileChunk(PlatformFile file, void* buffer, uint32_t wanted, bool* failed)
{
    DWORD got = 0;
    // A failed read may still have delivered part of the chunk; that part counts.
    if (!ReadFile(file.handle, buffer, wanted, &got, nullptr) && failed != nullptr) {
        DWORD error = GetLastError();
        *failed = error != ERROR_BROKEN_PIPE && error != ERROR_HANDLE_EOF;
    }
    return got;
}

uint64_t FileSizeOf(PlatformFile file)
{
    DWORD high = 0;
    DWORD low = GetFileSize(file.handle, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return 0;
    return (uint64_t(high) << 32) | low;
}

void CloseFile(PlatformFile file)
{
    CloseHandle(file.handle);
}

bool PathExists(const char* path, TextEncoding encoding)
{
    if (encoding == TextEncoding::kCodePage)
        return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
    WCHAR wide[kWidePathCapacity];
    return WidePath(path, wide) && GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES;
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

namespace {

// Reads an open directory's identity, and closes it.
bool ReadDirectoryId(HANDLE h, DirectoryId* id)
{
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    bool known = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    if (!known)
        return false;
    uint64_t file = (uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    // Wine gives serial 0 for a volume it knows no serial of (tmpfs), so the
    // roots of two such mounts share serial and index; some network shares
    // give index 0 for every file.
    bool unique = info.dwVolumeSerialNumber != 0 && file != 0;
    auto time = [unique](FILETIME t) {
        return unique ? 0 : (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    *id = {info.dwVolumeSerialNumber, file, time(info.ftCreationTime), time(info.ftLastWriteTime),
           unique};
    return true;
}

// No access is asked for: only the directory's own information is read. The
// backup flag lets a directory be opened at all.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The text that opens the directory a listing's directory text names: ""
// is the current one and "C:" the root that the pattern "C:\*.*" lists;
// anything else, a \\?\ text too, is taken as it is.
bool DirectoryItself(const char* directory, char (&itself)[kPathCapacity + 1])
{
    size_t n = strlen(directory);
    if (n >= kPathCapacity)
        return false;
    if (n == 0)
        directory = ".", n = 1;
    memcpy(itself, directory, n + 1);
    if (itself[n - 1] == ':')
        memcpy(itself + n, "\\", 2);
    return true;
}

// Cuts `level` components off a full path, leaving its trailing backslash.
// False when the path has fewer.
template <typename Char>
bool CutComponents(Char* path, uint32_t level)
{
    size_t n = 0;
    while (path[n] != 0)
        ++n;
    for (uint32_t i = 0; i < level; ++i) {
        if (n > 0 && path[n - 1] == '\\')
            --n;
        while (n > 0 && path[n - 1] != '\\')
            --n;
        if (n == 0)
            return false;
    }
    path[n] = 0;
    return true;
}

// Room for a full path made from a relative text in a deep current directory.
constexpr DWORD kFullPathCapacity = 2 * MAX_PATH;

}  // namespace

bool GetListingDirectoryId(const Listing& listing, const char* directory, DirectoryId* id)
{
    char itself[kPathCapacity + 1];
    return DirectoryItself(directory, itself) &&
           ReadDirectoryId(OpenExisting(itself, listing.encoding, 0, kShareAll,
                                        FILE_FLAG_BACKUP_SEMANTICS),
                           id);
}

bool GetEnclosingDirectoryId(const char* directory, TextEncoding encoding, uint32_t level,
                             DirectoryId* id)
{
    char itself[kPathCapacity + 1];
    if (!DirectoryItself(directory, itself))
        return false;
    HANDLE h;
    if (encoding == TextEncoding::kCodePage) {
        char full[kFullPathCapacity];
        DWORD n = GetFullPathNameA(itself, kFullPathCapacity, full, nullptr);
        if (n == 0 || n >= kFullPathCapacity || !CutComponents(full, level))
            return false;
        h = CreateFileA(full, 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                        nullptr);
    } else {
        WCHAR wide[kWidePathCapacity], full[kFullPathCapacity];
        if (!WidePath(itself, wide))
            return false;
        DWORD n = GetFullPathNameW(wide, kFullPathCapacity, full, nullptr);
        if (n == 0 || n >= kFullPathCapacity || !CutComponents(full, level))
            return false;
        h = CreateFileW(full, 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                        nullptr);
    }
    return ReadDirectoryId(h, id);
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

namespace {

// mIRC's command message: wParam says how to take the text, lParam numbers
// the mapping "mIRC<N>" that holds it.
constexpr UINT kCommandMessage = WM_USER + 200;
constexpr WPARAM kAsTyped = 1;     // run the text as if typed in the editbox
constexpr WPARAM kUtf16Text = 8;   // the text is UTF-16
// The host needs at least 4096 bytes; one allocation granule (what Windows
// reserves for any view) leaves room for a host that reads 4096 characters
// of UTF-16, and for emulators whose pages are that large.
constexpr DWORD kMappingBytes = 65536;
constexpr int kMappingAttempts = 16;

struct CommandMapping {
    HANDLE handle;
    void* view;
    uint32_t index;
};

// Makes a mapping under a name of this call's own. The number mixes the
// thread, unique among those running, with the time, so that a number is not
// soon made again: a message the host takes late, after the wait ran out,
// then finds no mapping rather than a later call's. A name that exists
// already is someone else's, and the next one is tried.
bool MakeCommandMapping(CommandMapping* mapping)
{
    uint32_t seed = (GetCurrentThreadId() * 0x9E3779B1u) ^ GetTickCount();
    for (int attempt = 0; attempt < kMappingAttempts; ++attempt) {
        uint32_t index = (seed + attempt * 0x61C88647u) & 0x7FFFFFFFu;
        if (index == 0)
            continue;
        WCHAR name[16];
        wsprintfW(name, L"mIRC%u", index);
        HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                      kMappingBytes, name);
        if (h == nullptr)
            continue;  // the name is another kind of object's
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            CloseHandle(h);
            continue;
        }
        void* view = MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, kMappingBytes);
        if (view == nullptr) {
            CloseHandle(h);
            return false;
        }
        *mapping = {h, view, index};
        return true;
    }
    return false;
}

// Writes the pieces, and a terminator, into the mapping: as UTF-16 or as
// bytes. False when they do not fit (or a piece is not the UTF-8 it says).
bool WriteCommand(void* view, bool wide, const TextPiece* pieces, size_t count)
{
    if (!wide)
        return JoinTextPieces(pieces, count, static_cast<char*>(view), kMappingBytes);
    size_t n = 0;
    auto* out = static_cast<WCHAR*>(view);
    constexpr size_t kUnits = kMappingBytes / sizeof(WCHAR);
    out[0] = L'\0';
    for (size_t i = 0; i < count; ++i) {
        if (pieces[i].encoding == TextEncoding::kUtf8) {
            if (!Utf8ToUtf16(pieces[i].text, reinterpret_cast<char16_t*>(out + n), kUnits - n))
                return false;
            while (out[n] != L'\0')
                ++n;
        } else if (pieces[i].text[0] != '\0') {
            int units = MultiByteToWideChar(CP_ACP, 0, pieces[i].text, -1, out + n,
                                            static_cast<int>(kUnits - n));
            if (units == 0)
                return false;
            n += units - 1;
        }
    }
    return true;
}

}  // namespace

bool OpenHostChannel(void* window, HostChannel* channel)
{
    HWND hwnd = static_cast<HWND>(window);
    if (hwnd == nullptr || !IsWindow(hwnd))
        return false;
    CommandMapping mapping;
    if (!MakeCommandMapping(&mapping))
        return false;
    *channel = {window, mapping.handle, mapping.view, mapping.index, IsWindowUnicode(hwnd) != 0};
    return true;
}

CommandDelivery SendOnHostChannel(HostChannel* channel, const TextPiece* pieces, size_t count)
{
    HWND hwnd = static_cast<HWND>(channel->window);
    // A host thread that has stopped answering is not sent to: the message
    // would only wait out the bound. On the window's own thread (a $dll call)
    // the message is a plain call, and that thread never seems stopped.
    if (!IsWindow(hwnd) ||
        (GetWindowThreadProcessId(hwnd, nullptr) != GetCurrentThreadId() && IsHungAppWindow(hwnd)))
        return CommandDelivery::kNotHandedOver;
    if (!WriteCommand(channel->view, channel->wide, pieces, count))
        return CommandDelivery::kNotHandedOver;
    // Without the extended error flag every host answers 1 for a command it
    // took and 0 for one it refused.
    DWORD_PTR answer = 0;
    SetLastError(ERROR_SUCCESS);
    LRESULT sent = SendMessageTimeoutW(hwnd, kCommandMessage,
                                       kAsTyped | (channel->wide ? kUtf16Text : 0),
                                       static_cast<LPARAM>(channel->index), SMTO_ABORTIFHUNG,
                                       kHostWaitMilliseconds, &answer);
    if (sent != 0)
        return answer == 1   ? CommandDelivery::kTaken
               : answer == 0 ? CommandDelivery::kNotHandedOver
                             : CommandDelivery::kUnknown;
    return GetLastError() == ERROR_TIMEOUT ? CommandDelivery::kUnknown
                                           : CommandDelivery::kNotHandedOver;
}

void CloseHostChannel(HostChannel* channel)
{
    UnmapViewOfFile(channel->view);
    CloseHandle(channel->mapping);
}

CommandDelivery SendHostCommand(void* window, const TextPiece* pieces, size_t count)
{
    HostChannel channel;
    if (!OpenHostChannel(window, &channel))
        return CommandDelivery::kNotHandedOver;
    CommandDelivery delivery = SendOnHostChannel(&channel, pieces, count);
    CloseHostChannel(&channel);
    return delivery;
}

bool CodePageToUtf8(const char* code_page_text, char* text, size_t capacity)
{
    WCHAR wide[kWidePathCapacity];
    return MultiByteToWideChar(CP_ACP, 0, code_page_text, -1, wide, kWidePathCapacity) != 0 &&
           Utf16ToUtf8(reinterpret_cast<const char16_t*>(wide), text, capacity);
}

bool IsCodePageLeadByte(unsigned char byte)
{
    return IsDBCSLeadByte(byte) != 0;
}

uint32_t CurrentThreadId()
{
    return GetCurrentThreadId();
}

void YieldThread()
{
    // Sleep(0) yields only to threads of the same priority; the holder of a
    // lock may have a lower one.
    Sleep(1);
}

void PinModule(void* module)
{
    // XP has GetModuleHandleExW; the pin is the loader's own, so no later
    // FreeLibrary of any caller unmaps the module.
    HMODULE pinned;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       static_cast<LPCWSTR>(module), &pinned);
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
