// Process attach and detach: the loader tells the library where it was loaded,
// and when it is unloaded; thread detach: a thread that may have made calls
// has ended.
#include "host/host.h"
#include "host/lifecycle.h"

namespace {
constexpr uint32_t kProcessDetach = 0;
constexpr uint32_t kProcessAttach = 1;
constexpr uint32_t kThreadDetach = 3;
}

void* ModuleHandle = nullptr;

int TALLOWIX_STDCALL DllMain(void* module, uint32_t reason, void* reserved)
{
    // Only the first attach counts; GetDllVersion finds the library's own
    // file through this handle.
    if (reason == kProcessAttach && ModuleHandle == nullptr)
        ModuleHandle = module;
    // Unloaded while the process goes on (a host's /dll -u): give back the
    // read-buffer wait, so that loading and unloading leaks nothing. When the
    // process itself ends (reserved set) the system takes everything back.
    if (reason == kProcessDetach && reserved == nullptr)
        CloseReadBufferWait();
    if (reason == kThreadDetach)
        ForgetCallThread();
    return 1;
}
