// POSIX implementation of the platform interface, for the native build of the
// portable core. Path texts arrive in the library's own form, where only the
// backslash separates components; they are turned into POSIX paths here.
// File names here are bytes; the library's are UTF-8, and a listed name
// that is not is passed over, as Windows passes over one with no UTF-8 form. A module
// has no version resource on this platform, so every version lookup ends in
// "no version information".
#include "platform/platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sched.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

pthread_mutex_t PoolLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t PoolChange = PTHREAD_COND_INITIALIZER;
int FreeReadBuffers = kReadBufferCount;  // guarded by PoolLock

// A library path as a native one, backslashes made slashes, on the heap for
// the one call ("" stays "", which names nothing).
class NativePath {
public:
    explicit NativePath(const char* path, const char* suffix = "")
    {
        size_t n = strlen(path), extra = strlen(suffix);
        text_ = static_cast<char*>(malloc(n + extra + 1));
        if (text_ == nullptr)
            return;
        for (size_t i = 0; i < n; ++i)
            text_[i] = path[i] == '\\' ? '/' : path[i];
        memcpy(text_ + n, suffix, extra + 1);
    }
    ~NativePath() { free(text_); }
    NativePath(const NativePath&) = delete;
    NativePath& operator=(const NativePath&) = delete;
    const char* get() const { return text_; }
    bool ok() const { return text_ != nullptr && text_[0] != '\0'; }

private:
    char* text_;
};

int Descriptor(PlatformFile file)
{
    return static_cast<int>(reinterpret_cast<intptr_t>(file.handle));
}

PlatformFile FromDescriptor(int fd)
{
    return {reinterpret_cast<void*>(static_cast<intptr_t>(fd))};
}

bool FillEntry(DIR* dir, ListingEntry* e)
{
    while (dirent* d = readdir(dir)) {
        struct stat st;
        // Links are followed, as the Win32 listing reports a linked
        // directory as a directory; a dangling link is listed as itself.
        if (fstatat(dirfd(dir), d->d_name, &st, 0) != 0 &&
            fstatat(dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;  // gone since it was listed
        // A name that holds a backslash, or is not UTF-8, names nothing the
        // library could join into a path.
        size_t n = strlen(d->d_name);
        if (n >= sizeof e->name || strchr(d->d_name, '\\') != nullptr || !IsValidUtf8(d->d_name))
            continue;
        memcpy(e->name, d->d_name, n + 1);
        e->is_directory = S_ISDIR(st.st_mode);
        e->is_link = d->d_type == DT_LNK;
        struct stat own;  // some file systems leave the kind to a stat
        if (d->d_type == DT_UNKNOWN && e->is_directory &&
            fstatat(dirfd(dir), d->d_name, &own, AT_SYMLINK_NOFOLLOW) == 0)
            e->is_link = S_ISLNK(own.st_mode);
        e->size = static_cast<uint64_t>(st.st_size);
        return true;
    }
    return false;
}

DirectoryId IdOf(const struct stat& st)
{
    // Device and inode name one directory on every file system Linux mounts.
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 0, 0, true};
}

}  // namespace

bool OpenFileForRead(const char* path, PlatformFile* file)
{
    NativePath native(path);
    if (!native.ok())
        return false;
    int fd = open(native.get(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return false;
    }
    *file = FromDescriptor(fd);
    return true;
}

uint32_t ReadFileChunk(PlatformFile file, void* buffer, uint32_t wanted, bool* failed)
{
    int fd = Descriptor(file);
    uint32_t got = 0;
    // Fill the chunk as ReadFile does on a regular file: short reads are
    // continued, and a failure after some bytes still counts those bytes.
    while (got < wanted) {
        ssize_t n = read(fd, static_cast<char*>(buffer) + got, wanted - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && failed != nullptr)
            *failed = true;
        if (n <= 0)
            break;
        got += static_cast<uint32_t>(n);
    }
    return got;
}

uint64_t FileSizeOf(PlatformFile file)
{
    struct stat st;
    return fstat(Descriptor(file), &st) == 0 && S_ISREG(st.st_mode)
               ? static_cast<uint64_t>(st.st_size)
               : 0;
}

void CloseFile(PlatformFile file)
{
    close(Descriptor(file));
}

bool PathExists(const char* path)
{
    NativePath native(path);
    struct stat st;
    return native.ok() && lstat(native.get(), &st) == 0;
}

bool IsDirectoryPath(const char* path)
{
    NativePath native(path);
    struct stat st;
    return native.ok() && stat(native.get(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateNewFile(const char* path, PlatformFile* file)
{
    NativePath native(path);
    int fd = native.ok() ? open(native.get(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644) : -1;
    if (fd < 0)
        return false;
    *file = FromDescriptor(fd);
    return true;
}

bool WriteFileBytes(PlatformFile file, const void* bytes, uint32_t count)
{
    const char* at = static_cast<const char*>(bytes);
    while (count > 0) {
        ssize_t n = write(Descriptor(file), at, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        count -= static_cast<uint32_t>(n);
    }
    return true;
}

bool FinishNewFile(PlatformFile file)
{
    bool flushed = fsync(Descriptor(file)) == 0;
    return close(Descriptor(file)) == 0 && flushed;
}

bool ReplaceWithFile(const char* from, const char* to)
{
    NativePath native_from(from), native_to(to);
    return native_from.ok() && native_to.ok() && rename(native_from.get(), native_to.get()) == 0;
}

bool RemoveFile(const char* path)
{
    NativePath native(path);
    return native.ok() && unlink(native.get()) == 0;
}

void ReadLocalTime(LocalTime* time)
{
    time_t now = ::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    *time = {static_cast<uint16_t>(local.tm_year + 1900), static_cast<uint16_t>(local.tm_mon + 1),
             static_cast<uint16_t>(local.tm_mday), static_cast<uint16_t>(local.tm_hour),
             static_cast<uint16_t>(local.tm_min), static_cast<uint16_t>(local.tm_sec)};
}

bool OpenListing(const char* directory, Listing* listing, ListingEntry* entry, bool* has_entry)
{
    // "" is the current directory; "\" alone the root.
    NativePath native(directory[0] == '\0' ? "." : directory);
    if (!native.ok())
        return false;
    DIR* dir = opendir(native.get());
    if (dir == nullptr)
        return false;
    *has_entry = FillEntry(dir, entry);
    if (*has_entry)
        listing->handle = dir;
    else
        closedir(dir);
    return true;
}

bool NextListingEntry(Listing* listing, ListingEntry* entry)
{
    return FillEntry(static_cast<DIR*>(listing->handle), entry);
}

void CloseListing(Listing* listing)
{
    closedir(static_cast<DIR*>(listing->handle));
}

bool GetListingDirectoryId(const Listing& listing, const char*, DirectoryId* id)
{
    struct stat st;
    if (fstat(dirfd(static_cast<DIR*>(listing.handle)), &st) != 0)
        return false;
    *id = IdOf(st);
    return true;
}

uint32_t GetEnclosingDirectoryIds(const char* directory, DirectoryId* ids, uint32_t most)
{
    // ".." is a directory's own parent, whatever link led to it: the chain
    // of them is the physical one. Each step adds "/.." to the path.
    NativePath start(directory[0] == '\0' ? "." : directory);
    if (!start.ok())
        return 0;
    size_t length = strlen(start.get());
    char* path = static_cast<char*>(malloc(length + 3 * most + 1));
    if (path == nullptr)
        return 0;
    memcpy(path, start.get(), length + 1);
    struct stat below, above;
    uint32_t read = 0;
    bool known = stat(path, &below) == 0;
    while (known && read < most) {
        memcpy(path + length, "/..", 4);
        length += 3;
        // The root is its own parent.
        known = stat(path, &above) == 0 &&
                !(above.st_dev == below.st_dev && above.st_ino == below.st_ino);
        if (known) {
            ids[read++] = IdOf(above);
            below = above;
        }
    }
    free(path);
    return read;
}

void WaitForReadBuffer()
{
    pthread_mutex_lock(&PoolLock);
    while (FreeReadBuffers == 0)
        pthread_cond_wait(&PoolChange, &PoolLock);
    --FreeReadBuffers;
    pthread_mutex_unlock(&PoolLock);
}

void ReturnReadBuffer()
{
    pthread_mutex_lock(&PoolLock);
    ++FreeReadBuffers;
    pthread_mutex_unlock(&PoolLock);
    pthread_cond_signal(&PoolChange);
}

// The lock and condition are static: nothing to give back.
void CloseReadBufferWait() {}

bool OpenHostChannel(void*, HostChannel*)
{
    return false;
}

CommandDelivery SendOnHostChannel(HostChannel*, const char* const*, size_t)
{
    return CommandDelivery::kNotHandedOver;
}

void CloseHostChannel(HostChannel*) {}

CommandDelivery SendHostCommand(void*, const char* const*, size_t)
{
    return CommandDelivery::kNotHandedOver;
}

namespace {

bool CopyUtf8(const char* from, char* to, size_t capacity)
{
    size_t length = strlen(from);
    if (length >= capacity || !IsValidUtf8(from))
        return false;
    memcpy(to, from, length + 1);
    return true;
}

}  // namespace

bool CodePageToUtf8(const char* code_page_text, char* text, size_t capacity)
{
    return CopyUtf8(code_page_text, text, capacity);
}

bool Utf8ToCodePage(const char* text, char* code_page_text, size_t capacity)
{
    return CopyUtf8(text, code_page_text, capacity);
}

uint32_t CurrentThreadId()
{
    static std::atomic<uint32_t> next{1};
    thread_local uint32_t id = next++;
    return id;
}

void YieldThread()
{
    sched_yield();
}

void PinModule(void*) {}

bool ReadEnvironmentText(const char* name, char* text, uint32_t capacity)
{
    const char* value = getenv(name);
    if (value == nullptr)
        return false;
    size_t length = strlen(value);
    if (length == 0 || length >= capacity)
        return false;
    memcpy(text, value, length + 1);
    return true;
}

bool GetModulePath(void*, ModulePath*)
{
    return false;
}

uint32_t GetVersionInfoSize(const ModulePath&)
{
    return 0;
}

bool AllocVersionBlock(uint32_t, VersionBlock*)
{
    return false;
}

void FreeVersionBlock(VersionBlock*) {}

bool ReadVersionInfo(const ModulePath&, uint32_t, const VersionBlock*)
{
    return false;
}

void QueryVersionValue(const VersionBlock*, const char*, const void** value, uint32_t* length)
{
    *value = nullptr;
    *length = 0;
}
