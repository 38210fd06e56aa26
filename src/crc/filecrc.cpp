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

namespace {

constexpr int kReadBufferCount = 4;

alignas(64) uint8_t CrcReadBuffer[kReadBufferCount][kReadChunkBytes];
bool ReadBufferBusy[kReadBufferCount];  // guarded by the pool lock

int ClaimReadBuffer()
{
    LockPool();
    for (;;) {
        for (int i = 0; i < kReadBufferCount; ++i) {
            if (!ReadBufferBusy[i]) {
                ReadBufferBusy[i] = true;
                UnlockPool();
                return i;
            }
        }
        WaitInPool();
    }
}

void ReleaseReadBuffer(int i)
{
    LockPool();
    ReadBufferBusy[i] = false;
    UnlockPool();
    WakePoolWaiter();
}

}  // namespace

bool TryCalcFileCrc(const char* path, TextEncoding encoding, uint32_t* crc)
{
    PlatformFile file;
    if (!OpenFileForRead(path, encoding, &file))
        return false;
    int slot = ClaimReadBuffer();
    uint8_t* buffer = CrcReadBuffer[slot];
    uint32_t reg = 0xFFFFFFFFu;
    while (uint32_t got = ReadFileChunk(file, buffer, kReadChunkBytes))
        reg = CrcUpdate(reg, buffer, got);
    ReleaseReadBuffer(slot);
    CloseFile(file);
    *crc = ~reg;
    return true;
}

uint32_t CalcFileCrc(const char* path, TextEncoding encoding)
{
    uint32_t crc = kUnopenableCrc;
    TryCalcFileCrc(path, encoding, &crc);
    return crc;
}
