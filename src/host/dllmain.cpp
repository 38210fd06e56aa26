// Process attach: the loader tells the library where it was loaded.
#include "host/host.h"

namespace {
constexpr uint32_t kProcessAttach = 1;
}

void* ModuleHandle = nullptr;

int TALLOWIX_STDCALL DllMain(void* module, uint32_t reason, void*)
{
    // Only the first attach counts; GetDllVersion finds the library's own
    // file through this handle.
    if (reason == kProcessAttach && ModuleHandle == nullptr)
        ModuleHandle = module;
    return 1;
}
