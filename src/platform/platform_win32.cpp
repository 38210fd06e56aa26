// Win32 implementation of the platform interface.
//
// Text arrives here as UTF-8 and goes to the system's wide (W) calls only; no
// single-byte file call is made, so no name is ever turned into a best-fit
// look-alike (U+FF3C, the fullwidth reverse solidus, would become "\" in the
// code page). Wide names coming back are turned into UTF-8 here.
//
// A path shorter than MAX_PATH, also once completed (the system takes a
// relative path only while its full form is), goes to the system as it is,
// its wide form in the caller's frame. A longer one goes in the \\?\ form of
// its full path (\\?\UNC\server\share\... for a share), which the system
// takes up to 32,767 units but does not normalise: so the full path is made first, by
// GetFullPathNameW, which resolves "." and ".." and separators as the system
// would for a short path. That form lives in one heap block for the call.
#include "platform/platform.h"

#include <windows.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>

static_assert(sizeof(char16_t) == sizeof(WCHAR), "UTF-16 units are the system's wide characters");

namespace {

// A path's wide form for one system call: in the frame while it is short,
// on the heap (and in the \\?\ form) when it is not.
class SystemPath {
public:
    SystemPath() = default;
    ~SystemPath() { free(heap_); }
    SystemPath(const SystemPath&) = delete;
    SystemPath& operator=(const SystemPath&) = delete;

    // Makes the wide form of UTF-8 `path` followed by `suffix` (ASCII, added
    // after a backslash unless the path is empty or ends in one). False when
    // the text is not UTF-8 or the path is longer than the system takes.
    bool Make(const char* path, const char* suffix = "");
    const WCHAR* get() const { return text_; }

private:
    WCHAR frame_[MAX_PATH];
    WCHAR* heap_ = nullptr;
    const WCHAR* text_ = nullptr;
};

constexpr size_t kLongUnits = kMostPathUnits + 1;
constexpr WCHAR kLongPrefix[] = L"\\\\?\\";
constexpr WCHAR kLongUncPrefix[] = L"\\\\?\\UNC\\";

bool StartsWith(const WCHAR* text, const WCHAR* prefix)
{
    return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

// Appends the ASCII suffix after a separator; false when it does not fit.
bool AppendSuffix(WCHAR* wide, size_t capacity, const char* suffix)
{
    if (suffix[0] == '\0')
        return true;
    size_t n = wcslen(wide);
    bool separator = n > 0 && wide[n - 1] != L'\\' && wide[n - 1] != L'/';
    size_t need = n + separator + strlen(suffix) + 1;
    if (need > capacity)
        return false;
    if (separator)
        wide[n++] = L'\\';
    for (const char* c = suffix; *c != '\0'; ++c)
        wide[n++] = static_cast<WCHAR>(*c);
    wide[n] = L'\0';
    return true;
}

// Shorter than this, a path suits every call (CreateDirectoryW's 248 too).
constexpr size_t kShortUnits = MAX_PATH - 12;

// Whether the path stays short once the system completes it. A full path
// ("C:\...", "\\server\...") only loses "." and ".." there; a relative or
// drive-relative one gains the current folder, and is taken only while its
// full form is short too.
bool CompletesShort(const WCHAR* path)
{
    bool full = (path[0] == L'\\' && path[1] == L'\\') ||
                (path[0] != L'\0' && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'));
    if (full)
        return true;
    WCHAR completed[MAX_PATH];
    DWORD n = GetFullPathNameW(path, MAX_PATH, completed, nullptr);
    return n != 0 && n < kShortUnits;
}

bool SystemPath::Make(const char* path, const char* suffix)
{
    auto* frame = reinterpret_cast<char16_t*>(frame_);
    if (Utf8ToUtf16(path, frame, MAX_PATH) && AppendSuffix(frame_, MAX_PATH, suffix) &&
        wcslen(frame_) < kShortUnits && CompletesShort(frame_)) {
        text_ = frame_;
        return true;
    }
    // One block holds the plain wide text and, behind it, the long form.
    heap_ = static_cast<WCHAR*>(malloc(2 * kLongUnits * sizeof(WCHAR)));
    if (heap_ == nullptr)
        return false;
    WCHAR* plain = heap_;
    WCHAR* full = heap_ + kLongUnits;
    if (!Utf8ToUtf16(path, reinterpret_cast<char16_t*>(plain), kLongUnits) ||
        !AppendSuffix(plain, kLongUnits, suffix))
        return false;
    if (StartsWith(plain, kLongPrefix)) {
        text_ = plain;  // the caller's own \\?\ text, taken as it is
        return true;
    }
    // Room is left in front for the prefix: 8 units for \\?\UNC\ less the
    // two backslashes of the share's own \\ that it replaces.
    constexpr size_t kPrefixRoom = 6;
    DWORD n = GetFullPathNameW(plain, kLongUnits - kPrefixRoom, full + kPrefixRoom, nullptr);
    if (n == 0 || n >= kLongUnits - kPrefixRoom)
        return false;
    WCHAR* at = full + kPrefixRoom;
    if (at[0] == L'\\' && at[1] == L'\\') {
        if (at[2] == L'?' || at[2] == L'.') {  // \\?\ or \\.\ already
            text_ = at;
            return true;
        }
        at -= 6;  // "\\?\UNC\" + "server\..." over the share's "\\"
        memcpy(at, kLongUncPrefix, 8 * sizeof(WCHAR));
    } else {
        at -= 4;
        memcpy(at, kLongPrefix, 4 * sizeof(WCHAR));
    }
    text_ = at;
    return true;
}

HANDLE OpenExisting(const char* path, DWORD access, DWORD share, DWORD flags)
{
    SystemPath wide;
    if (!wide.Make(path))
        return INVALID_HANDLE_VALUE;
    return CreateFileW(wide.get(), access, share, nullptr, OPEN_EXISTING, flags, nullptr);
}

DWORD AttributesOf(const char* path)
{
    SystemPath wide;
    return wide.Make(path) ? GetFileAttributesW(wide.get()) : INVALID_FILE_ATTRIBUTES;
}

}  // namespace

bool OpenFileForRead(const char* path, PlatformFile* file)
{
    HANDLE h = OpenExisting(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
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

bool PathExists(const char* path)
{
    return AttributesOf(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectoryPath(const char* path)
{
    DWORD attributes = AttributesOf(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CreateNewFile(const char* path, PlatformFile* file)
{
    SystemPath wide;
    if (!wide.Make(path))
        return false;
    HANDLE h = CreateFileW(wide.get(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    file->handle = h;
    return true;
}

bool WriteFileBytes(PlatformFile file, const void* bytes, uint32_t count)
{
    DWORD written = 0;
    return WriteFile(file.handle, bytes, count, &written, nullptr) != 0 && written == count;
}

bool FinishNewFile(PlatformFile file)
{
    bool flushed = FlushFileBuffers(file.handle) != 0;
    return CloseHandle(file.handle) != 0 && flushed;
}

bool ReplaceWithFile(const char* from, const char* to)
{
    SystemPath wide_from, wide_to;
    return wide_from.Make(from) && wide_to.Make(to) &&
           MoveFileExW(wide_from.get(), wide_to.get(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFile(const char* path)
{
    SystemPath wide;
    return wide.Make(path) && DeleteFileW(wide.get()) != 0;
}

void ReadLocalTime(LocalTime* time)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    *time = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

namespace {

// False for an entry the library cannot name: no faithful UTF-8 form, or a
// separator in the name (a foreign file system may list one).
bool CopyEntry(const WIN32_FIND_DATAW& data, ListingEntry* entry)
{
    for (const WCHAR* c = data.cFileName; *c != L'\0'; ++c)
        if (*c == L'\\' || *c == L'/')
            return false;
    if (!Utf16ToUtf8(reinterpret_cast<const char16_t*>(data.cFileName), entry->name,
                     sizeof entry->name))
        return false;
    entry->is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // Junctions and symbolic links are reparse points; so are the Unix links
    // that Wine lists.
    entry->is_link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    entry->size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

// Fills the entry from `data`, or from the first later entry that can be
// named. False at the end of the listing.
bool FirstNamedEntry(HANDLE h, WIN32_FIND_DATAW* data, ListingEntry* entry)
{
    while (!CopyEntry(*data, entry))
        if (!FindNextFileW(h, data))
            return false;
    return true;
}

}  // namespace

bool OpenListing(const char* directory, Listing* listing, ListingEntry* entry, bool* has_entry)
{
    SystemPath pattern;
    WIN32_FIND_DATAW data;
    if (!pattern.Make(directory, "*"))
        return false;
    HANDLE h = FindFirstFileW(pattern.get(), &data);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    *has_entry = FirstNamedEntry(h, &data, entry);
    if (*has_entry)
        listing->handle = h;
    else
        FindClose(h);
    return true;
}

bool NextListingEntry(Listing* listing, ListingEntry* entry)
{
    WIN32_FIND_DATAW data;
    return FindNextFileW(listing->handle, &data) && FirstNamedEntry(listing->handle, &data, entry);
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

HANDLE OpenDirectory(const WCHAR* path)
{
    return CreateFileW(path, 0, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                       nullptr);
}

// The wide form of the directory a listing's directory text names: "" is
// the current one and "C:" the root that the listing of "C:" lists.
bool MakeDirectoryPath(const char* directory, SystemPath* wide)
{
    size_t n = strlen(directory);
    bool bare = n == 0 || directory[n - 1] == ':';
    return wide->Make(directory, bare ? "." : "");
}

HANDLE OpenDirectoryItself(const char* directory)
{
    SystemPath wide;
    return MakeDirectoryPath(directory, &wide) ? OpenDirectory(wide.get()) : INVALID_HANDLE_VALUE;
}

// Where the components of a full path begin: past "C:\", "\\server\share\"
// and any \\?\ or \\?\UNC\ in front of them. Nothing is cut below it.
size_t RootLength(const WCHAR* path)
{
    size_t at = 0;
    bool unc = false;
    if (StartsWith(path, kLongUncPrefix))
        at = 8, unc = true;
    else if (StartsWith(path, kLongPrefix))
        at = 4;
    else if (path[0] == L'\\' && path[1] == L'\\')
        at = 2, unc = true;
    if (!unc)
        return path[at] != L'\0' && path[at + 1] == L':' ? at + 3 : at;
    for (int part = 0; part < 2; ++part) {  // server, share
        while (path[at] != L'\0' && path[at] != L'\\')
            ++at;
        if (path[at] == L'\\')
            ++at;
    }
    return at;
}

// Cuts `level` components off a full path, leaving its trailing backslash.
// False when it has fewer above its root.
bool CutComponents(WCHAR* path, uint32_t level)
{
    size_t root = RootLength(path);
    size_t n = wcslen(path);
    for (uint32_t i = 0; i < level; ++i) {
        if (n <= root)
            return false;
        if (path[n - 1] == L'\\')
            --n;
        while (n > root && path[n - 1] != L'\\')
            --n;
    }
    path[n] = L'\0';
    return true;
}

// GetFinalPathNameByHandleW came with Vista; on XP the name is not imported
// and the spelled path stands in for the final one.
using FinalPathFunction = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

FinalPathFunction FinalPathOf()
{
    static std::atomic<FinalPathFunction> function{nullptr};
    static std::atomic<bool> looked{false};
    if (!looked.load(std::memory_order_acquire)) {
        HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
        FARPROC found = kernel != nullptr ? GetProcAddress(kernel, "GetFinalPathNameByHandleW")
                                          : nullptr;
        function.store(reinterpret_cast<FinalPathFunction>(reinterpret_cast<void*>(found)),
                       std::memory_order_relaxed);
        looked.store(true, std::memory_order_release);
    }
    return function.load(std::memory_order_relaxed);
}

// The full path of the directory `directory` names into `full` (kLongUnits
// units): where it physically is, when the system can tell.
bool FullDirectoryPath(const char* directory, WCHAR* full)
{
    HANDLE h = OpenDirectoryItself(directory);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD n = 0;
    if (FinalPathFunction final_path = FinalPathOf())
        n = final_path(h, full, kLongUnits, 0 /* FILE_NAME_NORMALIZED | VOLUME_NAME_DOS */);
    CloseHandle(h);
    if (n != 0)
        return n < kLongUnits;
    SystemPath wide;
    if (!MakeDirectoryPath(directory, &wide))
        return false;
    n = GetFullPathNameW(wide.get(), kLongUnits, full, nullptr);
    return n != 0 && n < kLongUnits;
}

}  // namespace

bool GetListingDirectoryId(const Listing&, const char* directory, DirectoryId* id)
{
    return ReadDirectoryId(OpenDirectoryItself(directory), id);
}

uint32_t GetEnclosingDirectoryIds(const char* directory, DirectoryId* ids, uint32_t most)
{
    auto* full = static_cast<WCHAR*>(malloc(kLongUnits * sizeof(WCHAR)));
    uint32_t read = 0;
    if (full != nullptr && FullDirectoryPath(directory, full))
        while (read < most && CutComponents(full, 1) &&
               ReadDirectoryId(OpenDirectory(full), &ids[read]))
            ++read;
    free(full);
    return read;
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

// Joins UTF-8 pieces as UTF-16 into `out`, `units` long; false when they do
// not fit or a piece is not UTF-8.
bool JoinWide(const char* const* pieces, size_t count, WCHAR* out, size_t units)
{
    size_t n = 0;
    out[0] = L'\0';
    for (size_t i = 0; i < count; ++i) {
        if (!Utf8ToUtf16(pieces[i], reinterpret_cast<char16_t*>(out + n), units - n))
            return false;
        n += wcslen(out + n);
    }
    return true;
}

// UTF-16 to the code page, strictly: no best-fit look-alike and no default
// character stand in for a character the code page lacks. (A system whose
// code page is UTF-8 takes neither flag, and needs none.)
bool WideToCodePage(const WCHAR* wide, char* text, size_t capacity)
{
    if (GetACP() == CP_UTF8)
        return Utf16ToUtf8(reinterpret_cast<const char16_t*>(wide), text, capacity);
    BOOL defaulted = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, text,
                                static_cast<int>(capacity), nullptr, &defaulted);
    return n != 0 && !defaulted;
}

// Writes the pieces, and a terminator, into the mapping: as UTF-16, or in
// the code page for a single-byte window. The UTF-16 form of a single-byte
// command is made in the mapping's upper half and converted into its lower
// half. False when they do not fit or a character has no code-page form.
bool WriteCommand(void* view, bool wide, const char* const* pieces, size_t count)
{
    constexpr size_t kUnits = kMappingBytes / sizeof(WCHAR);
    auto* out = static_cast<WCHAR*>(view);
    if (wide)
        return JoinWide(pieces, count, out, kUnits);
    return JoinWide(pieces, count, out + kUnits / 2, kUnits / 2) &&
           WideToCodePage(out + kUnits / 2, static_cast<char*>(view), kMappingBytes / 2);
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

CommandDelivery SendOnHostChannel(HostChannel* channel, const char* const* pieces, size_t count)
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

CommandDelivery SendHostCommand(void* window, const char* const* pieces, size_t count)
{
    HostChannel channel;
    if (!OpenHostChannel(window, &channel))
        return CommandDelivery::kNotHandedOver;
    CommandDelivery delivery = SendOnHostChannel(&channel, pieces, count);
    CloseHostChannel(&channel);
    return delivery;
}

namespace {

// Runs `convert` on a heap buffer of `units` wide characters, made for it.
template <typename Convert>
bool ThroughWide(size_t units, Convert convert)
{
    if (units > INT_MAX / 2)
        return false;
    auto* wide = static_cast<WCHAR*>(malloc(units * sizeof(WCHAR)));
    bool converted = wide != nullptr && convert(wide, static_cast<int>(units));
    free(wide);
    return converted;
}

}  // namespace

bool CodePageToUtf8(const char* code_page_text, char* text, size_t capacity)
{
    return ThroughWide(strlen(code_page_text) + 1, [&](WCHAR* wide, int units) {
        return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, code_page_text, -1, wide,
                                   units) != 0 &&
               Utf16ToUtf8(reinterpret_cast<char16_t*>(wide), text, capacity);
    });
}

bool Utf8ToCodePage(const char* text, char* code_page_text, size_t capacity)
{
    return ThroughWide(strlen(text) + 1, [&](WCHAR* wide, int units) {
        return Utf8ToUtf16(text, reinterpret_cast<char16_t*>(wide), units) &&
               WideToCodePage(wide, code_page_text, capacity);
    });
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
