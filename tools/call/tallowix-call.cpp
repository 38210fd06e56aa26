// tallowix-call: calls a routine of a mIRC-style DLL exactly as the host does,
// and prints the result text.
//
//   tallowix-call [--dll PATH] [--bytes N] [--host-version V] [--codepage]
//                 [--window [--cancel-after SECONDS]] ROUTINE TEXT
//   tallowix-call [--dll PATH] --plain SIZE CRC DIRECTORY
//
// The DLL defaults to tallowix.dll beside this program. The first form copies
// TEXT into a zeroed data buffer of N bytes (default 10,240, as current mIRC;
// at least 900, the smallest any mIRC has had, which a returned command
// fits), calls ROUTINE in the six-argument host form and prints the buffer's
// text: the result, or the command the routine handed back (return value 2)
// for the host to run. TEXT
// is taken from the wide command line and handed over in UTF-8, as mIRC 7 and
// later do; with --codepage it goes in the system code page instead, as older
// hosts send it, and the answer is read back in that encoding.
// Like mIRC, the first form calls the DLL's LoadDll after loading it and its
// UnloadDll (as at exit) before freeing it. --host-version says which mIRC it
// plays: 7.x (the default 7.77; LoadDll gets the whole record of current
// mIRC) or 5.x/6.x (e.g. 6.35: the three fields those versions passed, and
// the text in the code page, as --codepage).
// With --window this program also stands in for mIRC's main window, for the
// signal routines: a window of its own takes mIRC's command message and prints
// each command it receives, while ROUTINE runs on a worker thread, as
// $dllcall runs it; the buffer is then printed only when no command came.
// --cancel-after SECONDS then calls CancelSignal with TEXT's first word (the
// tag) once that many seconds have passed, from the window's thread, as a
// script would.
// The second calls FindFileSizeCrc with SIZE (decimal) and CRC (hexadecimal,
// optional 0x; both 32-bit) and DIRECTORY in the system code page, as that
// routine takes it, and prints the path it found.
//
// On a console the answer is shown as the characters it spells; redirected,
// it is written as the exact bytes the DLL left.
//
// Exit status:
//   0  the result was printed
//   1  --plain found no file (an empty line was printed)
//   2  bad arguments, the DLL cannot be loaded, the routine is missing, or
//      TEXT does not fit the data buffer with its terminator
//   3  the routine returned a value other than 3 or 2, so its buffer holds
//      neither a result nor a command
// Every failure is one line on stderr.
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using HostRoutine = int(__stdcall*)(HWND, HWND, char*, char*, BOOL, BOOL);
using PlainSearch = int(__stdcall*)(unsigned, unsigned, const char*, char*);

// What mIRC passes to LoadDll: mIRC 5.8 to 6.x the first three fields, 7.x
// all of them.
struct LoadInfo {
    DWORD mVersion;  // major in the low word, minor in the high word
    HWND mHwnd;
    BOOL mKeep;
    BOOL mUnicode;
    DWORD mBeta;
    DWORD mBytes;
};
struct OldLoadInfo {
    DWORD mVersion;
    HWND mHwnd;
    BOOL mKeep;
};
using LoadRoutine = void(__stdcall*)(void*);
using UnloadRoutine = int(__stdcall*)(int);
constexpr int kUnloadAtExit = 2;
constexpr unsigned kFirstUtf8Host = 7;

constexpr int kHostReturnResult = 3;
constexpr int kHostReturnCommand = 2;
// mIRC's command message: the text lies in the mapping "mIRC<lParam>", in
// UTF-16 when wParam has this flag.
constexpr UINT kCommandMessage = WM_USER + 200;
constexpr WPARAM kUtf16Text = 8;
constexpr unsigned long kDefaultBufferBytes = 10240;
constexpr unsigned long long kMinBufferBytes = 900;
constexpr unsigned long long kMaxBufferBytes = 1ull << 24;
constexpr size_t kSearchOutputBytes = 256;

constexpr int kExitNotFound = 1;
constexpr int kExitFailure = 2;
constexpr int kExitNoResult = 3;

// The text of a wide argument in a code page: CP_UTF8 or CP_ACP.
std::string Narrow(const wchar_t* wide, UINT code_page)
{
    int n = WideCharToMultiByte(code_page, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    std::string text(n > 0 ? n : 1, '\0');
    WideCharToMultiByte(code_page, 0, wide, -1, &text[0], n, nullptr, nullptr);
    text.resize(strlen(text.c_str()));
    return text;
}

int Fail(const char* what, const std::string& detail)
{
    fprintf(stderr, "tallowix-call: %s%s\n", what, detail.c_str());
    return kExitFailure;
}

int Usage()
{
    return Fail("usage: tallowix-call [--dll PATH] [--bytes N] [--host-version V] [--codepage]"
                " [--window [--cancel-after SECONDS]] ROUTINE TEXT"
                " | [--dll PATH] --plain SIZE CRC DIRECTORY", "");
}

bool OnConsole()
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

void PrintWide(std::wstring text)
{
    text += L"\r\n";
    DWORD written;
    WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), text.c_str(), static_cast<DWORD>(text.size()),
                  &written, nullptr);
}

// Prints an answer in `code_page` and a line end: as characters on a
// console, as its bytes anywhere else.
void PrintAnswer(const char* text, UINT code_page)
{
    if (!OnConsole()) {
        printf("%s\n", text);
        fflush(stdout);
        return;
    }
    int n = MultiByteToWideChar(code_page, 0, text, -1, nullptr, 0);
    std::wstring wide(n > 0 ? n : 1, L'\0');
    MultiByteToWideChar(code_page, 0, text, -1, &wide[0], n);
    wide.resize(wcslen(wide.c_str()));
    PrintWide(wide);
}

// Commands the stand-in window took.
int CommandsTaken = 0;

// The stand-in for mIRC's main window: reads the command from its mapping
// and prints it (UTF-16 in UTF-8 when redirected), answering 1 for taken.
LRESULT CALLBACK HostWindowProcedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    if (message != kCommandMessage)
        return DefWindowProcW(window, message, wparam, lparam);
    wchar_t name[32];
    swprintf(name, 32, L"mIRC%lu", static_cast<unsigned long>(lparam));
    HANDLE mapping = OpenFileMappingW(FILE_MAP_READ, FALSE, name);
    if (mapping == nullptr)
        return 0;
    const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (view != nullptr) {
        if (!(wparam & kUtf16Text))
            PrintAnswer(static_cast<const char*>(view), CP_ACP);
        else if (OnConsole())
            PrintWide(static_cast<const wchar_t*>(view));
        else
            PrintAnswer(Narrow(static_cast<const wchar_t*>(view), CP_UTF8).c_str(), CP_UTF8);
        ++CommandsTaken;
        UnmapViewOfFile(view);
    }
    CloseHandle(mapping);
    return view != nullptr ? 1 : 0;
}

HWND MakeHostWindow()
{
    WNDCLASSW window_class = {};
    window_class.lpfnWndProc = HostWindowProcedure;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = L"TallowixCallHost";
    RegisterClassW(&window_class);
    return CreateWindowExW(0, window_class.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                           nullptr, window_class.hInstance, nullptr);
}

struct RoutineCall {
    HostRoutine routine;
    HWND window;
    char* data;
    int result;
};

DWORD WINAPI RunRoutine(void* call)
{
    auto* c = static_cast<RoutineCall*>(call);
    c->result = c->routine(c->window, nullptr, c->data, nullptr, FALSE, TRUE);
    return 0;
}

// Tells the routine's background call to stop, as a script's
// $dll(tallowix.dll, CancelSignal, TAG) would.
void Cancel(HMODULE module, const char* text)
{
    auto cancel = reinterpret_cast<HostRoutine>(GetProcAddress(module, "CancelSignal"));
    if (cancel == nullptr)
        return;
    char data[kMinBufferBytes] = {};
    size_t tag = strcspn(text, " ");
    memcpy(data, text, tag < sizeof data ? tag : sizeof data - 1);
    cancel(nullptr, nullptr, data, nullptr, FALSE, TRUE);
    fprintf(stderr, "tallowix-call: CancelSignal told %s call(s)\n", data);
}

// Runs the routine on a worker thread while this thread, the window's,
// takes the messages that come meanwhile; after `cancel_after` milliseconds
// (unless INFINITE) it cancels the call.
int CallWithWindow(HMODULE module, HostRoutine routine, char* data, DWORD cancel_after)
{
    std::string text = data;
    RoutineCall call = {routine, MakeHostWindow(), data, 0};
    HANDLE worker = CreateThread(nullptr, 0, RunRoutine, &call, 0, nullptr);
    if (call.window == nullptr || worker == nullptr)
        return -1;
    DWORD started = GetTickCount();  // XP has no GetTickCount64; the wrap cancels out
    for (;;) {
        DWORD wait = INFINITE;
        if (cancel_after != INFINITE) {
            DWORD waited = GetTickCount() - started;
            wait = waited >= cancel_after ? 0 : cancel_after - waited;
        }
        DWORD woke = MsgWaitForMultipleObjects(1, &worker, FALSE, wait, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0)
            break;
        if (woke == WAIT_TIMEOUT) {
            Cancel(module, text.c_str());
            cancel_after = INFINITE;
        }
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&message);
    }
    CloseHandle(worker);
    DestroyWindow(call.window);
    return call.result;
}

// Reads a whole argument as an unsigned number no greater than `max`: digits
// of the base only (hexadecimal may carry 0x), no sign, no spaces.
bool ParseNumber(const char* text, int base, unsigned long long max, unsigned long long* value)
{
    const char* digits = text;
    if (base == 16 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits += 2;
    size_t length = strlen(digits);
    if (length == 0 || strspn(digits, base == 16 ? "0123456789abcdefABCDEF" : "0123456789") != length)
        return false;
    errno = 0;
    *value = strtoull(digits, nullptr, base);
    return errno == 0 && *value <= max;
}

// The DLL beside this program.
std::wstring DefaultDllPath()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return L"tallowix.dll";
    std::wstring dir(path, n);
    size_t slash = dir.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : dir.substr(0, slash + 1)) +
           L"tallowix.dll";
}

HMODULE Load(const std::wstring& dll)
{
    HMODULE module = LoadLibraryW(dll.c_str());
    if (module == nullptr)
        Fail("cannot load ", Narrow(dll.c_str(), CP_UTF8) + " (error " +
                                 std::to_string(GetLastError()) + ")");
    return module;
}

int CallPlain(HMODULE module, const char* size_text, const char* crc_text, const char* dir)
{
    unsigned long long size = 0, crc = 0;
    if (!ParseNumber(size_text, 10, 0xFFFFFFFFull, &size))
        return Fail("SIZE must be a decimal number below 2^32: ", size_text);
    if (!ParseNumber(crc_text, 16, 0xFFFFFFFFull, &crc))
        return Fail("CRC must be a hexadecimal number of at most 32 bits: ", crc_text);
    auto search = reinterpret_cast<PlainSearch>(GetProcAddress(module, "FindFileSizeCrc"));
    if (search == nullptr)
        return Fail("no routine named ", "FindFileSizeCrc");
    char output[kSearchOutputBytes] = {};
    int found = search(static_cast<unsigned>(size), static_cast<unsigned>(crc), dir, output);
    output[sizeof output - 1] = '\0';
    PrintAnswer(output, CP_ACP);
    return found ? 0 : kExitNotFound;
}

int CallHost(HMODULE module, const char* name, const char* text, size_t bytes, UINT code_page,
             bool window, DWORD cancel_after)
{
    auto routine = reinterpret_cast<HostRoutine>(GetProcAddress(module, name));
    if (routine == nullptr)
        return Fail("no routine named ", name);
    size_t length = strlen(text);
    if (length >= bytes) {
        std::string detail = std::to_string(length) + " characters and a terminator, buffer " +
                             std::to_string(bytes) + " bytes";
        return Fail("the text does not fit the data buffer: ", detail);
    }
    std::vector<char> data(bytes, '\0');
    memcpy(data.data(), text, length + 1);
    int result = window ? CallWithWindow(module, routine, data.data(), cancel_after)
                        : routine(nullptr, nullptr, data.data(), nullptr, FALSE, TRUE);
    if (result != kHostReturnResult && result != kHostReturnCommand) {
        fprintf(stderr, "tallowix-call: %s returned %d, not 3 or 2\n", name, result);
        return kExitNoResult;
    }
    data.back() = '\0';
    if (CommandsTaken == 0 || result == kHostReturnCommand)
        PrintAnswer(data.data(), code_page);
    return 0;
}

// Reads "MAJOR.MINOR" (e.g. 6.35, 7.77) into LoadDll's version word.
bool ParseHostVersion(const std::string& text, DWORD* version)
{
    size_t dot = text.find('.');
    unsigned long long major = 0, minor = 0;
    if (dot == std::string::npos || !ParseNumber(text.substr(0, dot).c_str(), 10, 0xFFFF, &major) ||
        !ParseNumber(text.substr(dot + 1).c_str(), 10, 0xFFFF, &minor) || major == 0)
        return false;
    *version = static_cast<DWORD>(major | (minor << 16));
    return true;
}

// Tells the DLL which host it runs in, as mIRC does right after loading it:
// a version before 7 passes only the three fields it had.
void CallLoadDll(HMODULE module, DWORD version, size_t bytes)
{
    auto load = reinterpret_cast<LoadRoutine>(GetProcAddress(module, "LoadDll"));
    if (load == nullptr)
        return;
    if ((version & 0xFFFF) >= kFirstUtf8Host) {
        LoadInfo info = {version, nullptr, TRUE, FALSE, 0, static_cast<DWORD>(bytes)};
        load(&info);
    } else {
        OldLoadInfo info = {version, nullptr, TRUE};
        load(&info);
    }
}

// As mIRC does before freeing a DLL at exit.
void CallUnloadDll(HMODULE module)
{
    if (auto unload = reinterpret_cast<UnloadRoutine>(GetProcAddress(module, "UnloadDll")))
        unload(kUnloadAtExit);
    FreeLibrary(module);
}

}  // namespace

// The wide command line, so that no argument passes through the code page
// unless it is meant to.
int wmain(int argc, wchar_t** wargv)
{
    std::vector<std::string> args;  // options, names and numbers: ASCII
    for (int k = 0; k < argc; ++k)
        args.push_back(Narrow(wargv[k], CP_UTF8));
    std::wstring dll = DefaultDllPath();
    unsigned long long bytes = kDefaultBufferBytes;
    bool plain = false;
    bool window = false;
    UINT code_page = CP_UTF8;
    DWORD host_version = 7 | (77 << 16);
    DWORD cancel_after = INFINITE;
    unsigned long long seconds = 0;
    int i = 1;
    for (; i < argc && args[i].compare(0, 2, "--") == 0; ++i) {
        if (args[i] == "--dll" && i + 1 < argc) {
            dll = wargv[++i];
        } else if (args[i] == "--bytes" && i + 1 < argc) {
            if (!ParseNumber(args[++i].c_str(), 10, kMaxBufferBytes, &bytes) ||
                bytes < kMinBufferBytes)
                return Fail("--bytes takes a size from 900 to 16777216: ", args[i]);
        } else if (args[i] == "--codepage") {
            code_page = CP_ACP;
            host_version = 6 | (35 << 16);
        } else if (args[i] == "--host-version" && i + 1 < argc) {
            if (!ParseHostVersion(args[++i], &host_version))
                return Fail("--host-version takes MAJOR.MINOR, such as 6.35 or 7.77: ", args[i]);
            code_page = (host_version & 0xFFFF) >= kFirstUtf8Host ? CP_UTF8 : CP_ACP;
        } else if (args[i] == "--cancel-after" && i + 1 < argc) {
            if (!ParseNumber(args[++i].c_str(), 10, 86400, &seconds))
                return Fail("--cancel-after takes whole seconds, at most 86400: ", args[i]);
            cancel_after = static_cast<DWORD>(seconds * 1000);
        } else if (args[i] == "--window") {
            window = true;
        } else if (args[i] == "--plain") {
            plain = true;
        } else {
            return Usage();
        }
    }
    if (argc - i != (plain ? 3 : 2))
        return Usage();
    if (cancel_after != INFINITE && !window)
        return Fail("--cancel-after needs --window", "");

    HMODULE module = Load(dll);
    if (module == nullptr)
        return kExitFailure;
    if (plain)
        return CallPlain(module, args[i].c_str(), args[i + 1].c_str(),
                         Narrow(wargv[i + 2], CP_ACP).c_str());
    CallLoadDll(module, host_version, static_cast<size_t>(bytes));
    int status = CallHost(module, args[i].c_str(), Narrow(wargv[i + 1], code_page).c_str(),
                          static_cast<size_t>(bytes), code_page, window, cancel_after);
    CallUnloadDll(module);
    return status;
}
