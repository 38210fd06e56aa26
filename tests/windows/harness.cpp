#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {
HMODULE g_dll = nullptr;
}

HMODULE Dll()
{
    return g_dll;
}

FARPROC Export(const char* name)
{
    return GetProcAddress(g_dll, name);
}

FARPROC Export(WORD ordinal)
{
    return GetProcAddress(g_dll, MAKEINTRESOURCEA(ordinal));
}

uintptr_t CallStdcall(FARPROC routine, const std::vector<uintptr_t>& args, bool* balanced)
{
#if defined(__i386__)
    // Push the arguments right to left and call, then compare the stack
    // pointer with its value before the pushes. The stack is put back either
    // way so that a wrong convention fails the test instead of the process.
    uint32_t result, before, after;
    uint32_t count = static_cast<uint32_t>(args.size());
    const uintptr_t* data = args.data();
    asm volatile(
        "movl %%esp, %%esi\n\t"
        "testl %%ecx, %%ecx\n\t"
        "jz 2f\n"
        "1:\n\t"
        "pushl -4(%%edx,%%ecx,4)\n\t"
        "decl %%ecx\n\t"
        "jnz 1b\n"
        "2:\n\t"
        "call *%%ebx\n\t"
        "movl %%esp, %%edi\n\t"
        "movl %%esi, %%esp\n\t"
        : "=a"(result), "=S"(before), "=D"(after), "+c"(count), "+d"(data)
        : "b"(routine)
        : "memory", "cc");
    *balanced = before == after;
    return result;
#else
    // One convention, cleaned up by the caller: a routine ignores the extra
    // zero arguments.
    *balanced = true;
    uintptr_t a[6] = {};
    std::copy_n(args.begin(), std::min<size_t>(args.size(), 6), a);
    return reinterpret_cast<uintptr_t (*)(uintptr_t, uintptr_t, uintptr_t, uintptr_t, uintptr_t,
                                          uintptr_t)>(routine)(a[0], a[1], a[2], a[3], a[4], a[5]);
#endif
}

const char* const kHostRoutines[3] = {"Get32BitCrc", "GetDllVersion", "MIRCFindFileSizeCrc"};

bool HostCall::UnchangedFrom(size_t from) const
{
    return from >= buffer.size() ||
           memcmp(buffer.data() + from, before.data() + from, buffer.size() - from) == 0;
}

HostCall CallHost(const char* name, const std::string& input, size_t bytes, HWND window)
{
    return CallHostIn(g_dll, name, input, bytes, window);
}

HostCall CallHostIn(HMODULE module, const char* name, const std::string& input, size_t bytes,
                    HWND window)
{
    HostCall call;
    FARPROC routine = GetProcAddress(module, name);
    if (routine == nullptr) {
        ADD_FAILURE() << "no export named " << name;
        return call;
    }
    call.buffer.assign(bytes, kGuardByte);
    memcpy(call.buffer.data(), input.c_str(), input.size() + 1);
    call.before = call.buffer;
    call.result = static_cast<int>(CallStdcall(
        routine,
        {reinterpret_cast<uintptr_t>(window), 0, reinterpret_cast<uintptr_t>(call.buffer.data()), 0,
         0, 1},
        &call.balanced));
    call.guard_intact = call.UnchangedFrom(std::max(input.size() + 1, kResultBytes));
    return call;
}

int CallHostNull(const char* name, bool* balanced)
{
    return static_cast<int>(CallStdcall(Export(name), {0, 0, 0, 0, 0, 1}, balanced));
}

void ExpectHostForm(const HostCall& call, const std::string& why)
{
    EXPECT_EQ(call.result, 3) << why;
    EXPECT_TRUE(call.balanced) << why;
    EXPECT_TRUE(call.guard_intact) << why;
}

namespace {
constexpr UINT kCommandMessage = WM_USER + 200;
constexpr UINT kStopMessage = WM_APP;
constexpr WPARAM kUtf16Text = 8;
}

StandInHost::StandInHost(bool wide) : thread_([this, wide] { Run(wide); })
{
    while (window_ == nullptr)
        Sleep(1);
}

StandInHost::~StandInHost()
{
    PostMessageW(window_, WM_CLOSE, 0, 0);
    thread_.join();
}

void StandInHost::Run(bool wide)
{
    HINSTANCE instance = GetModuleHandleW(nullptr);
    HWND window;
    if (wide) {
        WNDCLASSW window_class = {0, Procedure, 0, 0, instance, {}, {}, {}, {}, L"TallowixHostW"};
        RegisterClassW(&window_class);
        window = CreateWindowExW(0, window_class.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, instance, nullptr);
    } else {
        WNDCLASSA window_class = {0, Procedure, 0, 0, instance, {}, {}, {}, {}, "TallowixHostA"};
        RegisterClassA(&window_class);
        window = CreateWindowExA(0, window_class.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                 nullptr, instance, nullptr);
    }
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    window_ = window;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
}

LRESULT CALLBACK StandInHost::Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    auto* self = reinterpret_cast<StandInHost*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == kStopMessage) {
        self->stopped_ = true;
        Sleep(static_cast<DWORD>(wparam));
        return 0;
    }
    if (message == WM_CLOSE) {
        DestroyWindow(window);
        PostQuitMessage(0);
        return 0;
    }
    if (message != kCommandMessage)
        return IsWindowUnicode(window) ? DefWindowProcW(window, message, wparam, lparam)
                                       : DefWindowProcA(window, message, wparam, lparam);
    wchar_t name[32];
    swprintf(name, 32, L"mIRC%lu", static_cast<unsigned long>(lparam));
    HANDLE mapping = self->refuse_ ? nullptr : OpenFileMappingW(FILE_MAP_READ, FALSE, name);
    const void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (view != nullptr) {
        char utf8[4096 * 2] = {};
        if (wparam & kUtf16Text)
            WideCharToMultiByte(CP_UTF8, 0, static_cast<const wchar_t*>(view), -1, utf8,
                                sizeof utf8, nullptr, nullptr);
        std::string text = (wparam & kUtf16Text) ? utf8 : static_cast<const char*>(view);
        {
            std::lock_guard<std::mutex> hold(self->lock_);
            self->commands_.emplace_back(text, wparam);
        }
        UnmapViewOfFile(view);
        if (self->on_command_)
            self->on_command_(text);
    }
    if (mapping != nullptr)
        CloseHandle(mapping);
    return view != nullptr ? 1 : 0;
}

void StandInHost::StopAnswering(DWORD milliseconds)
{
    stopped_ = false;
    PostMessageW(window_, kStopMessage, milliseconds, 0);
    while (!stopped_)
        Sleep(1);
}

std::vector<std::pair<std::string, WPARAM>> StandInHost::Commands(bool drop)
{
    std::lock_guard<std::mutex> hold(lock_);
    auto taken = commands_;
    if (drop)
        commands_.clear();
    return taken;
}

std::wstring TestPath(const std::string& path)
{
    UINT code_page = CP_UTF8;
    int n = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, path.c_str(), -1, nullptr, 0);
    if (n == 0) {
        code_page = CP_ACP;
        n = MultiByteToWideChar(code_page, 0, path.c_str(), -1, nullptr, 0);
    }
    std::wstring wide(n, L'\0');
    MultiByteToWideChar(code_page, 0, path.c_str(), -1, &wide[0], n);
    wide.resize(n > 0 ? n - 1 : 0);
    // A relative path past MAX_PATH reaches the system only in \\?\ form.
    if (wide.size() >= MAX_PATH - 12 && wide[0] != L'\\' && wide[1] != L':')
        wide = TestPath("\\\\?\\" + CurrentDirectory() + "\\") + wide;
    return wide;
}

HANDLE HoldFile(const std::string& path, DWORD access, DWORD share)
{
    HANDLE h = CreateFileW(TestPath(path).c_str(), access, share, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << path;
    return h;
}

void WriteTestFile(const std::string& path, const std::string& content)
{
    HANDLE h = CreateFileW(TestPath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(h);
    ASSERT_EQ(written, content.size()) << path;
}

void MakeTestDir(const std::string& path)
{
    CreateDirectoryW(TestPath(path).c_str(), nullptr);
}

void WriteTestTreeFile(const std::string& path, const std::string& content)
{
    for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 1))
        MakeTestDir(path.substr(0, at));
    WriteTestFile(path, content);
}

std::vector<std::string> ListedNames(const std::string& directory)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE h = FindFirstFileW(TestPath(directory + "\\*.*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE)
        return names;
    do {
        char name[MAX_PATH * 3];
        WideCharToMultiByte(CP_UTF8, 0, data.cFileName, -1, name, sizeof name, nullptr, nullptr);
        if (strcmp(name, ".") != 0 && strcmp(name, "..") != 0)
            names.push_back(name);
    } while (FindNextFileW(h, &data));
    FindClose(h);
    return names;
}

void RemoveTree(const std::string& path)
{
    for (const std::string& name : ListedNames(path)) {
        std::string child = path + "\\" + name;
        std::wstring wide = TestPath(child);
        DWORD attributes = GetFileAttributesW(wide.c_str());
        SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
        // A link is removed itself; what it leads to is never entered.
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            RemoveDirectoryW(wide.c_str()) || DeleteFileW(wide.c_str());
        else if (attributes & FILE_ATTRIBUTE_DIRECTORY)
            RemoveTree(child);
        else
            DeleteFileW(wide.c_str());
    }
    RemoveDirectoryW(TestPath(path).c_str());
}

std::string CurrentDirectory()
{
    char path[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(sizeof path, path);
    return std::string(path, n);
}

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    const char* dll_path = nullptr;
    for (int i = 1; i < argc; ++i)
        if (strncmp(argv[i], "--dll=", 6) == 0)
            dll_path = argv[i] + 6;
    if (dll_path == nullptr) {
        fprintf(stderr, "usage: %s --dll=PATH [gtest flags]\n", argv[0]);
        return 2;
    }
    g_dll = LoadLibraryA(dll_path);
    if (g_dll == nullptr) {
        fprintf(stderr, "cannot load %s (error %lu)\n", dll_path, GetLastError());
        return 2;
    }
    return RUN_ALL_TESTS();
}
