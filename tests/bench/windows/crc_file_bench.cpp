// Whole-file CRC through the DLL: Get32BitCrc, called as a host calls it,
// beside a loop that only reads the same file with ReadFile in the same
// 500,000-byte chunks, in the same run, with the ratio; and
// SignalGet32BitCrc, which hands its answer to a stand-in for mIRC's window
// (on this thread, as under $dll) and must run at Get32BitCrc's speed.
//
//     crc_file_bench DLL FILE
//
// FILE should be large and already in the page cache.
#include "bench_host.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr DWORD kChunkBytes = 500000;
constexpr int kRounds = 5;
constexpr size_t kHostBufferBytes = 10240;

using HostRoutine = int(__stdcall*)(HWND, HWND, char*, char*, BOOL, BOOL);

char ReadBuffer[kChunkBytes];

// Returns the bytes read, 0 when the file cannot be opened.
unsigned long long ReadOnly(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    unsigned long long total = 0;
    DWORD got = 0;
    while (ReadFile(file, ReadBuffer, kChunkBytes, &got, nullptr) && got > 0)
        total += got;
    CloseHandle(file);
    return total;
}

// The stand-in window: takes the command message, as mIRC does.
LRESULT CALLBACK HostProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    return message == WM_USER + 200 ? 1 : DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: crc_file_bench DLL FILE\n");
        return 2;
    }
    HMODULE dll = LoadLibraryA(argv[1]);
    auto routine = [dll](const char* name) {
        return dll ? reinterpret_cast<HostRoutine>(reinterpret_cast<void*>(GetProcAddress(dll, name)))
                   : nullptr;
    };
    HostRoutine get_crc = routine("Get32BitCrc"), signal_crc = routine("SignalGet32BitCrc");
    HWND host = MakeHostWindow(L"CrcFileBenchHost", HostProcedure);
    if (get_crc == nullptr || signal_crc == nullptr || host == nullptr) {
        std::fprintf(stderr, "crc_file_bench: cannot load the routines from %s\n", argv[1]);
        return 1;
    }
    unsigned long long size = ReadOnly(argv[2]);
    if (size == 0) {
        std::fprintf(stderr, "crc_file_bench: cannot read %s\n", argv[2]);
        return 1;
    }
    std::vector<double> read_times, crc_times, signal_times;
    static char data[kHostBufferBytes];
    static char signal_data[kHostBufferBytes];
    for (int round = 0; round < kRounds; ++round) {
        double start = Now();
        ReadOnly(argv[2]);
        read_times.push_back(Now() - start);
        lstrcpynA(data, argv[2], sizeof data);
        start = Now();
        get_crc(nullptr, nullptr, data, nullptr, FALSE, FALSE);
        crc_times.push_back(Now() - start);
        lstrcpynA(signal_data, "bench ", sizeof signal_data);
        lstrcpynA(signal_data + 6, argv[2], sizeof signal_data - 6);
        start = Now();
        int result = signal_crc(host, nullptr, signal_data, nullptr, FALSE, FALSE);
        signal_times.push_back(Now() - start);
        if (result != 3 || lstrcmpA(signal_data, data) != 0) {
            std::fprintf(stderr, "crc_file_bench: SignalGet32BitCrc answered %d, %s\n", result,
                         signal_data);
            return 1;
        }
    }
    double read_rate = static_cast<double>(size) / Median(read_times) / 1e9;
    double crc_rate = static_cast<double>(size) / Median(crc_times) / 1e9;
    std::printf("%s: %llu bytes, CRC %s\n", argv[2], size, data);
    double signal_rate = static_cast<double>(size) / Median(signal_times) / 1e9;
    std::printf("Get32BitCrc %.2f GB/s, ReadFile-only loop %.2f GB/s: ratio %.2fx (median of %d)\n",
                crc_rate, read_rate, crc_rate / read_rate, kRounds);
    std::printf("SignalGet32BitCrc %.2f GB/s: %.2fx Get32BitCrc's speed\n", signal_rate,
                signal_rate / crc_rate);
    return 0;
}
