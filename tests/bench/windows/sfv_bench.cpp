// An SFV list checked through the DLL, three ways in the same run, the
// lists' files in the page cache:
//   - one Get32BitCrc per file ($dll in a loop): the floor;
//   - one SignalGet32BitCrc per file, as a script that sends one $dllcall a
//     file did, each answer a signal to a window on another thread;
//   - one SignalCheckSfv for the whole list, its signals to that window;
//   - SignalMakeSfv writing a new list of the same files (made.sfv beside
//     LIST, removed before each round), against SignalCheckSfv of that list.
// A list of more than 10,000 entries is timed with SignalCheckSfv only, in
// entries per second.
//
//     sfv_bench DLL LIST...
#include "bench_host.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kRounds = 3;
constexpr size_t kHostBufferBytes = 10240;
constexpr size_t kLargeList = 10000;

using HostRoutine = int(__stdcall*)(HWND, HWND, char*, char*, BOOL, BOOL);

long Taken = 0;

LRESULT CALLBACK HostProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message != WM_USER + 200)
        return DefWindowProcW(window, message, wparam, lparam);
    ++Taken;
    return 1;
}

HWND Window = nullptr;

// The stand-in for mIRC's window, on a thread of its own.
DWORD WINAPI RunWindow(void*)
{
    Window = MakeHostWindow(L"SfvBenchHost", HostProcedure);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}

// The host's data buffer: the argument in, the answer out.
char Data[kHostBufferBytes];

int Call(HostRoutine routine, HWND window, const std::string& text)
{
    lstrcpynA(Data, text.c_str(), sizeof Data);
    return routine(window, nullptr, Data, nullptr, FALSE, FALSE);
}

// Times one list call and checks that it answered 3 with `counts` after one
// signal per file and one for the end; a negative time when it did not.
double TimeListCall(HostRoutine routine, const std::string& text, size_t files,
                    const std::string& counts)
{
    long before = Taken;
    double start = Now();
    int result = Call(routine, Window, text);
    double taken = Now() - start;
    if (result == 3 && Taken - before == static_cast<long>(files) + 1 && counts == Data)
        return taken;
    std::fprintf(stderr, "sfv_bench: %s answered %d \"%s\", %ld signals\n", text.c_str(), result,
                 Data, Taken - before);
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: sfv_bench DLL LIST...\n");
        return 2;
    }
    HMODULE dll = LoadLibraryA(argv[1]);
    auto routine = [dll](const char* name) {
        return dll ? reinterpret_cast<HostRoutine>(reinterpret_cast<void*>(GetProcAddress(dll, name)))
                   : nullptr;
    };
    HostRoutine plain = routine("Get32BitCrc"), signal = routine("SignalGet32BitCrc"),
                check = routine("SignalCheckSfv"), make = routine("SignalMakeSfv");
    CreateThread(nullptr, 0, RunWindow, nullptr, 0, nullptr);
    while (Window == nullptr)
        Sleep(1);
    if (plain == nullptr || signal == nullptr || check == nullptr || make == nullptr) {
        std::fprintf(stderr, "sfv_bench: cannot load the routines from %s\n", argv[1]);
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        std::string list = argv[i], folder = list.substr(0, list.find_last_of('\\') + 1);
        std::vector<std::string> files;
        std::ifstream in(list);
        for (std::string line; std::getline(in, line);)
            if (!line.empty() && line[0] != ';')
                files.push_back(folder + line.substr(0, line.rfind(' ')));
        std::string made = folder + "made.sfv", all = std::to_string(files.size());
        std::vector<double> plain_times, signal_times, check_times, make_times, made_check_times;
        for (int round = 0; round < kRounds; ++round) {
            double start;
            if (files.size() <= kLargeList) {
                start = Now();
                for (const std::string& file : files)
                    Call(plain, nullptr, file);
                plain_times.push_back(Now() - start);
                start = Now();
                for (const std::string& file : files)
                    Call(signal, Window, "b " + file);
                signal_times.push_back(Now() - start);
            }
            check_times.push_back(TimeListCall(check, "b " + list, files.size(), all + " 0 0 0 0"));
            if (check_times.back() < 0)
                return 1;
            if (files.size() <= kLargeList) {
                DeleteFileA(made.c_str());
                make_times.push_back(TimeListCall(make, "b " + made, files.size(), all + " 0"));
                made_check_times.push_back(
                    TimeListCall(check, "b " + made, files.size(), all + " 0 0 0 0"));
                if (make_times.back() < 0 || made_check_times.back() < 0)
                    return 1;
            }
        }
        DeleteFileA(made.c_str());
        double checked = Median(check_times);
        std::printf("%s: %zu entries\n", list.c_str(), files.size());
        if (!plain_times.empty()) {
            double floor = Median(plain_times), per_file = Median(signal_times);
            std::printf("  Get32BitCrc per file %.3f s, SignalGet32BitCrc per file %.3f s, "
                        "SignalCheckSfv %.3f s\n", floor, per_file, checked);
            std::printf("  SignalCheckSfv against Get32BitCrc per file %.2fx, against "
                        "SignalGet32BitCrc per file %.2fx (median of %d)\n",
                        floor / checked, per_file / checked, kRounds);
            double made_in = Median(make_times), made_checked = Median(made_check_times);
            std::printf("  SignalMakeSfv %.3f s, SignalCheckSfv of the made list %.3f s: make at "
                        "%.2fx check's speed (median of %d)\n",
                        made_in, made_checked, made_checked / made_in, kRounds);
        }
        std::printf("  SignalCheckSfv %.0f entries/s\n", static_cast<double>(files.size()) / checked);
    }
    return 0;
}
