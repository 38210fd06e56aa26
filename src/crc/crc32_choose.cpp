// CrcUpdate: runs the method chosen at first use.
//
// The choice is kept in an atomic pointer. Concurrent first calls may each
// make the choice, but they all reach the same one, so whichever store lands
// last changes nothing.
#include "crc/crc32_methods.h"

#include "platform/platform.h"

#include <atomic>
#include <cstring>

#if defined(TALLOWIX_CRC_X86)
#include "crc/arch/x86/crc32_x86.h"
#endif

namespace {

bool Always(const CpuFeatures&)
{
    return true;
}

constexpr uint32_t kMethodNameCapacity = 32;

std::atomic<const CrcMethod*> Chosen{nullptr};

}  // namespace

#if !defined(TALLOWIX_CRC_X86)
CpuFeatures ReadCpuFeatures()
{
    return CpuFeatures();
}
#endif

const CrcMethod& ChooseCrcMethod(const CpuFeatures& cpu, const char* forced)
{
    const CrcMethod* best = &kCrcMethods[0];
    for (size_t i = 0; i < kCrcMethodCount; ++i) {
        const CrcMethod& method = kCrcMethods[i];
        if (!method.supported(cpu))
            continue;
        if (forced != nullptr && strcmp(method.name, forced) == 0)
            return method;
        best = &method;
    }
    return *best;
}

const CrcMethod kCrcMethods[] = {
    {"portable", CrcUpdatePortable, Always},
#if defined(TALLOWIX_CRC_X86)
    {"pclmul", CrcUpdatePclmul, CanRunPclmul},
    {"vpclmul256", CrcUpdateVpclmul256, CanRunVpclmul256},
    {"vpclmul512", CrcUpdateVpclmul512, CanRunVpclmul512},
#endif
};
const size_t kCrcMethodCount = sizeof kCrcMethods / sizeof kCrcMethods[0];

const CrcMethod& ChosenCrcMethod()
{
    const CrcMethod* method = Chosen.load(std::memory_order_acquire);
    if (method == nullptr) {
        char wanted[kMethodNameCapacity];
        bool forced = ReadEnvironmentText(kCrcMethodVariable, wanted, sizeof wanted);
        method = &ChooseCrcMethod(ReadCpuFeatures(), forced ? wanted : nullptr);
        Chosen.store(method, std::memory_order_release);
    }
    return *method;
}

uint32_t CrcUpdate(uint32_t reg, const uint8_t* data, size_t length)
{
    return ChosenCrcMethod().update(reg, data, length);
}
