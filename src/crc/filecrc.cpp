// File checksum: the file is read chunk by chunk into a static read buffer
// and each chunk is folded into the running CRC register.
//
// Hosts call the library from several threads at once (mIRC runs $dllcall
// routines on worker threads beside $dll calls on its UI thread), so one
// shared buffer would let two CRCs corrupt each other. Instead a small pool
// of static buffers is handed out one per running CRC: up to
// kReadBufferCount files are read in parallel, and a further caller sleeps
// until a buffer comes free (reading a large file from a disk can take
// minutes, and the caller may be the host's UI thread, so it must not spin).
// Nothing is allocated per call or per thread, and nothing is left behind
// when a host thread ends.
#include "crc/filecrc.h"

#include "crc/crc32.h"
#include "platform/platform.h"

#include <atomic>

namespace {

alignas(64) uint8_t CrcReadBuffer[kReadBufferCount][kReadChunkBytes];
std::atomic<bool> ReadBufferBusy[kReadBufferCount];

int ClaimReadBuffer()
{
    // Past the wait at least one buffer is free for each caller that passed
    // it and holds none yet; they may race for the same one, so a buffer is
    // taken by an atomic exchange, and one who loses a race tries the next.
    WaitForReadBuffer();
    for (;;)
        for (int i = 0; i < kReadBufferCount; ++i)
            if (!ReadBufferBusy[i].exchange(true, std::memory_order_acquire))
                return i;
}

void ReleaseReadBuffer(int i)
{
    // Freed before it is counted, so that whoever the count lets in finds it.
    ReadBufferBusy[i].store(false, std::memory_order_release);
    ReturnReadBuffer();
}

}  // namespace

FileCrcOutcome ComputeFileCrc(const char* path, WorkWatch* watch,
                              uint32_t* crc)
{
    PlatformFile file;
    if (!OpenFileForRead(path, &file))
        return PathExists(path) ? FileCrcOutcome::kUnopenable : FileCrcOutcome::kMissing;
    if (watch != nullptr) {
        watch->bytes_done.store(0, std::memory_order_relaxed);
        watch->bytes_total.store(FileSizeOf(file), std::memory_order_relaxed);
    }
    int slot = ClaimReadBuffer();
    uint8_t* buffer = CrcReadBuffer[slot];
    uint32_t reg = 0xFFFFFFFFu;
    bool failed = false;
    FileCrcOutcome outcome = FileCrcOutcome::kComplete;
    while (uint32_t got = ReadFileChunk(file, buffer, kReadChunkBytes, &failed)) {
        reg = CrcUpdate(reg, buffer, got);
        if (watch != nullptr) {
            watch->bytes_done.fetch_add(got, std::memory_order_relaxed);
            if (watch->Stopped()) {
                outcome = FileCrcOutcome::kStopped;
                break;
            }
        }
    }
    ReleaseReadBuffer(slot);
    CloseFile(file);
    if (outcome == FileCrcOutcome::kStopped)
        return outcome;
    *crc = ~reg;
    return failed ? FileCrcOutcome::kReadFailed : FileCrcOutcome::kComplete;
}

bool TryCalcFileCrc(const char* path, uint32_t* crc, WorkWatch* watch)
{
    FileCrcOutcome outcome = ComputeFileCrc(path, watch, crc);
    return outcome == FileCrcOutcome::kComplete || outcome == FileCrcOutcome::kReadFailed;
}

uint32_t CalcFileCrc(const char* path)
{
    uint32_t crc = kUnopenableCrc;
    TryCalcFileCrc(path, &crc);
    return crc;
}
