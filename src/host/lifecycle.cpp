// LoadDll, UnloadDll and the count of running calls.
//
// mIRC unloads a library with FreeLibrary on /dll -u, after ten minutes
// without a call and at exit, each time after asking UnloadDll. A call that
// $dllcall runs on one of mIRC's worker threads may then still be inside the
// library (a CRC of a large file takes minutes), and if the module were
// unmapped under it, its next instruction would fault and take the client
// down. The ten-minute unload can be refused, and is while a call may still
// be inside. The others cannot, so the library keeps itself mapped instead,
// pinned until the process ends.
//
// The count of running calls cannot tell whether a call that has just left
// it is past its last instruction here; the end of its thread can. So every
// thread that makes a call is recorded, and forgotten when it ends
// (DLL_THREAD_DETACH: past the return of its last call, and the loader lets
// no unload through while DllMain runs): an unload pins the module while a
// call runs or a recorded thread other than the unloading one lives.
// mIRC's $dllcall threads end with their call, so /dll -u after they are
// done, like a host that calls only on its own thread ($dll), unloads the
// library for real.
#include "host/lifecycle.h"

#include "host/calltable.h"
#include "host/host.h"

#include <atomic>

namespace {

// UnloadDll's argument: 0 for /dll -u (and exit before mIRC 6.3), 1 after
// ten minutes without a call (the one that may be refused), 2 at exit.
constexpr int kUnloadIdle = 1;
constexpr int kUnloadExit = 2;
constexpr int kStayLoaded = 0;
constexpr int kAllowUnload = 1;
constexpr uint32_t kFirstUtf8Host = 7;
// mIRC 5 and 6 were 32-bit programs only: a 64-bit host (AdiIRC) sends UTF-8
// whatever version number it gives.
constexpr bool kOnlyUtf8Hosts = sizeof(void*) == 8;

std::atomic<uint32_t> HostMajorVersion{0};  // 0: no LoadDll came
std::atomic<uint32_t> HostBuffer{0};        // 0: no LoadDll came
constexpr uint32_t kUnknownHostAnswerBytes = 256;
constexpr uint32_t kUnknownHostCommandBytes = 900;
std::atomic<int> RunningCalls{0};

// The threads that made calls and have not ended, 0 for a free slot. Only a
// thread itself enters or clears its own id; others only claim free slots.
constexpr int kCallThreadSlots = 128;
std::atomic<uint32_t> CallThreads[kCallThreadSlots];
// A thread that found no free slot may be inside for all anyone can tell,
// then and ever after.
std::atomic<bool> CallThreadsOverflowed{false};

void RecordCallThread(uint32_t thread)
{
    for (const auto& slot : CallThreads)
        if (slot.load() == thread)
            return;
    for (auto& slot : CallThreads) {
        uint32_t none = 0;
        if (slot.compare_exchange_strong(none, thread))
            return;
    }
    CallThreadsOverflowed.store(true);
}

// Whether a call may still be inside the library on a thread other than the
// one asking.
bool CallsMayBeInsideElsewhere()
{
    uint32_t self = CurrentThreadId();
    if (CallThreadsOverflowed.load())
        return true;
    for (const auto& slot : CallThreads) {
        uint32_t thread = slot.load();
        if (thread != 0 && thread != self)
            return true;
    }
    return false;
}

}  // namespace

CallScope::CallScope()
{
    // Counted before it is recorded, and recorded before it is uncounted: an
    // unload that reads the count and then the threads misses no call.
    RunningCalls.fetch_add(1, std::memory_order_seq_cst);
    RecordCallThread(CurrentThreadId());
}

CallScope::~CallScope()
{
    RunningCalls.fetch_sub(1, std::memory_order_seq_cst);
}

TextEncoding HostTextEncoding(const char* text)
{
    uint32_t major = HostMajorVersion.load(std::memory_order_relaxed);
    if (major != 0)
        return major >= kFirstUtf8Host || kOnlyUtf8Hosts ? TextEncoding::kUtf8
                                                         : TextEncoding::kCodePage;
    return IsValidUtf8(text) ? TextEncoding::kUtf8 : TextEncoding::kCodePage;
}

bool MayBeCodePageToo(const char* text, TextEncoding encoding)
{
    return HostMajorVersion.load(std::memory_order_relaxed) == 0 &&
           encoding == TextEncoding::kUtf8 && HasHighBytes(text);
}

uint32_t ReadHostVersion(uint32_t version)
{
    uint32_t major = version & 0xFFFFu, minor = version >> 16;
    if (major == 0)  // 5.8 to 5.91 (minor 80 to 91), 6.0 to 6.03 (0 to 3)
        return minor >= 80 && minor <= 99 ? 500 + minor : minor <= 3 ? 600 + minor : 0;
    if (minor < 10 && major <= 6)
        minor *= 10;  // not yet padded: 6.2 is 6.20
    return minor > 99 ? 0 : major * 100 + minor;
}

uint32_t BufferBytesOf(uint32_t hundredths, uint32_t bytes)
{
    if (hundredths <= 631)
        return 900;
    if (hundredths <= 752)
        return 4096;
    if (hundredths <= 761)
        return 8192;
    if (hundredths <= 763 || bytes == 0)
        return 10240;  // a 7.64 that gives no size keeps 7.63's
    // A smaller size said is taken as said: the buffer is never written past.
    uint32_t half = bytes / 2;
    return half < 900 ? 900 : half < kMostHostBufferBytes ? half : kMostHostBufferBytes;
}

uint32_t HostBufferBytes()
{
    uint32_t bytes = HostBuffer.load(std::memory_order_relaxed);
    return bytes != 0 ? bytes : kUnknownHostAnswerBytes;
}

uint32_t HostCommandBytes()
{
    uint32_t bytes = HostBuffer.load(std::memory_order_relaxed);
    return bytes != 0 ? bytes : kUnknownHostCommandBytes;
}

void TALLOWIX_STDCALL LoadDll(LoadInfo* info)
{
    // mVersion is read, and from 7.64 on mBytes; mKeep is left as the host
    // set it (TRUE), so the library stays loaded between calls.
    uint32_t hundredths = info != nullptr ? ReadHostVersion(info->mVersion) : 0;
    if (hundredths != 0) {
        HostMajorVersion.store(hundredths / 100, std::memory_order_relaxed);
        HostBuffer.store(BufferBytesOf(hundredths, hundredths >= 764 ? info->mBytes : 0),
                         std::memory_order_relaxed);
    }
}

void ForgetCallThread()
{
    uint32_t self = CurrentThreadId();
    for (auto& slot : CallThreads)
        if (slot.load() == self)
            slot.store(0);
}

int TALLOWIX_STDCALL UnloadDll(int timeout)
{
    bool inside = RunningCalls.load(std::memory_order_seq_cst) > 0 || CallsMayBeInsideElsewhere();
    // The idle unload comes again in ten minutes, by when the threads have
    // most likely ended: refused, it need not pin the module for good.
    if (timeout == kUnloadIdle && inside)
        return kStayLoaded;
    if (timeout == kUnloadExit)
        StopCalls(nullptr);
    if (inside)
        PinModule(ModuleHandle);
    return kAllowUnload;
}
