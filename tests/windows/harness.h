// Shared harness of the Windows suites: loads the DLL under test and calls its
// routines exactly as a host does.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Data buffer size of current mIRC.
constexpr size_t kHostBufferBytes = 10240;
// A result never takes more than this, terminator included.
constexpr size_t kResultBytes = 256;
// What the harness fills unused buffer bytes with, to see stray writes.
constexpr char kGuardByte = '\xA5';

// The DLL under test, loaded once by the harness's main (--dll=PATH).
HMODULE Dll();

// Resolves an export by name or by ordinal; null when absent.
FARPROC Export(const char* name);
FARPROC Export(WORD ordinal);

// Calls a __stdcall routine with 32-bit-wide arguments. `balanced` reports
// whether the stack pointer after the call equals that before it: the callee
// removed exactly its arguments. On x64 there is one convention and it is
// always true. At most six arguments.
uintptr_t CallStdcall(FARPROC routine, const std::vector<uintptr_t>& args, bool* balanced);

struct HostCall {
    int result = 0;               // the routine's return value
    bool balanced = false;        // stack pointer unchanged (x86)
    std::vector<char> buffer;     // the whole data buffer after the call
    std::vector<char> before;     // the whole data buffer before the call
    std::string Text() const { return std::string(buffer.data()); }
    // Bytes from `from` to the end are as they were before the call.
    bool UnchangedFrom(size_t from) const;
    // Guard bytes from max(input + 1, 256) to the end are untouched.
    bool guard_intact = false;
};

// The routines a host calls with the host routine form.
extern const char* const kHostRoutines[3];

// Calls host routine `name` with `input` in a data buffer of `bytes` bytes,
// and `window` as the host's main window; the bytes after the input's
// terminator hold kGuardByte.
HostCall CallHost(const char* name, const std::string& input, size_t bytes = kHostBufferBytes,
                  HWND window = nullptr);

// The same through another loaded copy of the DLL.
HostCall CallHostIn(HMODULE module, const char* name, const std::string& input,
                    size_t bytes = kHostBufferBytes, HWND window = nullptr);

// Calls host routine `name` with a null data buffer; returns its result.
int CallHostNull(const char* name, bool* balanced);

// Expects what every host call must give: result 3, the stack balanced and
// the guard bytes untouched.
void ExpectHostForm(const HostCall& call, const std::string& why);

// A stand-in for mIRC's main window: a message-only window on a thread of
// its own that takes mIRC's command message (WM_USER + 200), reads the text
// from the mapping "mIRC<lParam>" (UTF-16 when wParam has 8) and records it.
// A window that is not `wide` is a single-byte one, as mIRC 6's was.
class StandInHost {
public:
    explicit StandInHost(bool wide = true);
    ~StandInHost();
    HWND window() const { return window_; }
    // Answer 0 (refused) instead of 1 (taken), without reading the text.
    void Refuse(bool refuse) { refuse_ = refuse; }
    // Runs on the window's thread after each command taken, as a script's
    // signal handler would.
    void OnCommand(std::function<void(const std::string&)> handler) { on_command_ = std::move(handler); }
    // The window's thread stops answering for `milliseconds`; returns once it has.
    void StopAnswering(DWORD milliseconds);
    // The commands taken so far, in UTF-8, and the wParam each came with;
    // `drop` forgets them, so that a long run does not grow.
    std::vector<std::pair<std::string, WPARAM>> Commands(bool drop = false);

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    void Run(bool wide);
    std::atomic<HWND> window_{nullptr};
    std::atomic<bool> refuse_{false};
    std::atomic<bool> stopped_{false};
    std::mutex lock_;
    std::vector<std::pair<std::string, WPARAM>> commands_;
    std::function<void(const std::string&)> on_command_;
    std::thread thread_;  // last: it starts once the rest is ready
};

// Test paths are read as the DLL reads host text: UTF-8 when well-formed,
// code-page text otherwise. Names outside the code page can so be made, and
// code-page names ("caf\xE9") still can. A relative path past MAX_PATH is
// given in its \\?\ form.
std::wstring TestPath(const std::string& path);

// Opens an existing file as another program would hold it.
HANDLE HoldFile(const std::string& path, DWORD access, DWORD share);

// Small file-system helpers for test trees, relative to the current directory.
void WriteTestFile(const std::string& path, const std::string& content);
void MakeTestDir(const std::string& path);
// Makes every missing directory of `path`, then writes the file.
void WriteTestTreeFile(const std::string& path, const std::string& content);
// The entry names of a directory in listing order, in UTF-8, without "."
// and "..".
std::vector<std::string> ListedNames(const std::string& directory);
void RemoveTree(const std::string& path);
std::string CurrentDirectory();
