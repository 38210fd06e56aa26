// File checksum: the file is read chunk by chunk into a static read buffer
// and each chunk is folded into the running CRC register.
//
// Hosts call the library from several threads at once (mIRC runs $dllcall
// routines on worker threads beside $dll calls on its UI thread), so one
// shared buffer would let two CRCs corrupt each other. Instead a small pool
// of static buffers is handed out one per running CRC: up to
// kReadBufferCount files are read in parallel, and a further caller waits
// until a buffer comes free. Nothing is allocated per call or per thread, and
// nothing is left behind when a host thread ends.
#include "crc/filecrc.h"

#include "crc/crc32.h"
#include "platform/platform.h"

#include <atomic>

namespace {

constexpr int kReadBufferCount = 4;

alignas(64) uint8_t CrcReadBuffer[kReadBufferCount][kReadChunkBytes];
std::atomic<bool> ReadBufferBusy[kReadBufferCount];

int ClaimReadBuffer()
{
    for (;;) {
        for (int i = 0; i < kReadBufferCount; ++i) {
            bool expected = false;
            if (!ReadBufferBusy[i].load(std::memory_order_relaxed) &&
                ReadBufferBusy[i].compare_exchange_strong(expected, true,
                                                          std::memory_order_acquire))
                return i;
        }
        YieldThread();
    }
}

void ReleaseReadBuffer(int i)
{
    ReadBufferBusy[i].store(false, std::memory_order_release);
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
