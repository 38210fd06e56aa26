// POSIX implementation of the platform interface, for the native build of the
// portable core. Path texts arrive in the library's own form, where only the
// backslash separates components; they are turned into POSIX paths here.
// File names here are bytes, so both text encodings are taken alike. A module
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
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kNativePathCapacity = 4096;

pthread_mutex_t PoolLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t PoolChange = PTHREAD_COND_INITIALIZER;
int FreeReadBuffers = kReadBufferCount;  // guarded by PoolLock

// Copies a library path into a native one, backslashes made slashes. False
// when it does not fit.
bool ToNativePath(const char* path, char* native, size_t length)
{
    if (length >= kNativePathCapacity)
        return false;
    for (size_t i = 0; i < length; ++i)
        native[i] = path[i] == '\\' ? '/' : path[i];
    native[length] = '\0';
    return true;
}

bool FillEntry(DIR* dir, Listing* listing)
{
    while (dirent* d = readdir(dir)) {
        struct stat st;
        // Links are followed, as the Win32 listing reports a linked
        // directory as a directory; a dangling link is listed as itself.
        if (fstatat(dirfd(dir), d->d_name, &st, 0) != 0 &&
            fstatat(dirfd(dir), d->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            continue;  // gone since it was listed
        ListingEntry& e = listing->entry;
        size_t n = strnlen(d->d_name, sizeof e.name - 1);
        memcpy(e.name, d->d_name, n);
        e.name[n] = '\0';
        e.is_directory = S_ISDIR(st.st_mode);
        e.is_link = d->d_type == DT_LNK;
        struct stat own;  // some file systems leave the kind to a stat
        if (d->d_type == DT_UNKNOWN && e.is_directory &&
            fstatat(dirfd(dir), d->d_name, &own, AT_SYMLINK_NOFOLLOW) == 0)
            e.is_link = S_ISLNK(own.st_mode);
        e.size_low = static_cast<uint32_t>(st.st_size);
        return true;
    }
    return false;
}

}  // namespace

bool OpenFileForRead(const char* path, TextEncoding, PlatformFile* file)
{
    char native[kNativePathCapacity];
    size_t length = strlen(path);
    if (length == 0 || !ToNativePath(path, native, length))
        return false;
    int fd = open(native, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return false;
    }
    file->handle = reinterpret_cast<void*>(static_cast<intptr_t>(fd));
    return true;
}

uint32_t ReadFileChunk(PlatformFile file, void* buffer, uint32_t wanted, bool* failed)
{
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(file.handle));
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
    int fd = static_cast<int>(reinterpret_cast<intptr_t>(file.handle));
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
}

void CloseFile(PlatformFile file)
{
    close(static_cast<int>(reinterpret_cast<intptr_t>(file.handle)));
}

bool PathExists(const char* path, TextEncoding)
{
    char native[kNativePathCapacity];
    struct stat st;
    size_t length = strlen(path);
    return length > 0 && ToNativePath(path, native, length) && lstat(native, &st) == 0;
}

bool OpenListing(const char* pattern, TextEncoding encoding, Listing* listing)
{
    listing->encoding = encoding;
    // The pattern is "<directory>\*.*" or the bare "*.*"; list the directory.
    char native[kNativePathCapacity];
    const char* last = strrchr(pattern, '\\');
    if (last == nullptr)
        strcpy(native, ".");
    else if (last == pattern)
        strcpy(native, "/");
    else if (!ToNativePath(pattern, native, static_cast<size_t>(last - pattern)))
        return false;
    DIR* dir = opendir(native);
    if (dir == nullptr)
        return false;
    if (!FillEntry(dir, listing)) {
        closedir(dir);
        return false;
    }
    listing->handle = dir;
    return true;
}

bool NextListingEntry(Listing* listing)
{
    return FillEntry(static_cast<DIR*>(listing->handle), listing);
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
    // Device and inode name one directory on every file system Linux mounts.
    *id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 0, 0, true};
    return true;
}

namespace {

// Stats the directory `level` ".." steps above `native`, a path of `length`
// bytes; ".." is the directory's own parent, whatever link led to it.
bool StatAbove(char* native, size_t length, uint32_t level, struct stat* st)
{
    native[length] = '\0';
    for (uint32_t i = 0; i < level; ++i, length += 3) {
        if (length + 4 > kNativePathCapacity)
            return false;
        memcpy(native + length, "/..", 4);
    }
    return stat(native, st) == 0;
}

}  // namespace

bool GetEnclosingDirectoryId(const char* directory, TextEncoding, uint32_t level, DirectoryId* id)
{
    char native[kNativePathCapacity];
    size_t length = strlen(directory);
    if (length == 0)
        directory = ".", length = 1;
    struct stat st, below;
    if (!ToNativePath(directory, native, length) || !StatAbove(native, length, level, &st) ||
        !StatAbove(native, length, level - 1, &below))
        return false;
    if (st.st_dev == below.st_dev && st.st_ino == below.st_ino)
        return false;  // the root is its own parent
    *id = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), 0, 0, true};
    return true;
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

CommandDelivery SendOnHostChannel(HostChannel*, const TextPiece*, size_t)
{
    return CommandDelivery::kNotHandedOver;
}

void CloseHostChannel(HostChannel*) {}

CommandDelivery SendHostCommand(void*, const TextPiece*, size_t)
{
    return CommandDelivery::kNotHandedOver;
}

bool CodePageToUtf8(const char* code_page_text, char* text, size_t capacity)
{
    size_t length = strlen(code_page_text);
    if (length >= capacity)
        return false;
    memcpy(text, code_page_text, length + 1);
    return true;
}

bool IsCodePageLeadByte(unsigned char)
{
    return false;
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
