// tallowix-call: calls a routine of a mIRC-style DLL exactly as the host does,
// and prints the result text.
//
//   tallowix-call [--dll PATH] [--bytes N] ROUTINE TEXT
//   tallowix-call [--dll PATH] --plain SIZE CRC DIRECTORY
//
// The DLL defaults to tallowix.dll beside this program. The first form copies
// TEXT into a zeroed data buffer of N bytes (default 10,240, as current mIRC;
// at least 256, the most a tallowix result takes), calls ROUTINE in the
// six-argument host form and prints the buffer's text.
// The second calls FindFileSizeCrc with SIZE (decimal) and CRC (hexadecimal,
// optional 0x; both 32-bit) and prints the path it found.
//
// Exit status:
//   0  the result was printed
//   1  --plain found no file (an empty line was printed)
//   2  bad arguments, the DLL cannot be loaded, the routine is missing, or
//      TEXT does not fit the data buffer with its terminator
//   3  the routine returned a value other than 3, so its buffer holds no result
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

constexpr int kHostReturnResult = 3;
constexpr unsigned long kDefaultBufferBytes = 10240;
constexpr unsigned long long kMinBufferBytes = 256;
constexpr unsigned long long kMaxBufferBytes = 1ull << 24;
constexpr size_t kSearchOutputBytes = 256;

constexpr int kExitNotFound = 1;
constexpr int kExitFailure = 2;
constexpr int kExitNoResult = 3;

int Fail(const char* what, const char* detail)
{
    fprintf(stderr, "tallowix-call: %s%s\n", what, detail);
    return kExitFailure;
}

int Usage()
{
    return Fail("usage: tallowix-call [--dll PATH] [--bytes N] ROUTINE TEXT"
                " | [--dll PATH] --plain SIZE CRC DIRECTORY", "");
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
std::string DefaultDllPath()
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return "tallowix.dll";
    std::string dir(path, n);
    size_t slash = dir.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : dir.substr(0, slash + 1)) + "tallowix.dll";
}

HMODULE Load(const std::string& dll)
{
    HMODULE module = LoadLibraryA(dll.c_str());
    if (module == nullptr) {
        std::string detail = dll + " (error " + std::to_string(GetLastError()) + ")";
        Fail("cannot load ", detail.c_str());
    }
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
    printf("%s\n", output);
    return found ? 0 : kExitNotFound;
}

int CallHost(HMODULE module, const char* name, const char* text, size_t bytes)
{
    auto routine = reinterpret_cast<HostRoutine>(GetProcAddress(module, name));
    if (routine == nullptr)
        return Fail("no routine named ", name);
    size_t length = strlen(text);
    if (length >= bytes) {
        std::string detail = std::to_string(length) + " characters and a terminator, buffer " +
                             std::to_string(bytes) + " bytes";
        return Fail("the text does not fit the data buffer: ", detail.c_str());
    }
    std::vector<char> data(bytes, '\0');
    memcpy(data.data(), text, length + 1);
    int result = routine(nullptr, nullptr, data.data(), nullptr, FALSE, TRUE);
    if (result != kHostReturnResult) {
        fprintf(stderr, "tallowix-call: %s returned %d, not 3\n", name, result);
        return kExitNoResult;
    }
    data.back() = '\0';
    printf("%s\n", data.data());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string dll = DefaultDllPath();
    unsigned long long bytes = kDefaultBufferBytes;
    bool plain = false;
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
        if (strcmp(argv[i], "--dll") == 0 && i + 1 < argc) {
            dll = argv[++i];
        } else if (strcmp(argv[i], "--bytes") == 0 && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 10, kMaxBufferBytes, &bytes) || bytes < kMinBufferBytes)
                return Fail("--bytes takes a size from 256 to 16777216: ", argv[i]);
        } else if (strcmp(argv[i], "--plain") == 0) {
            plain = true;
        } else {
            return Usage();
        }
    }
    if (argc - i != (plain ? 3 : 2))
        return Usage();

    HMODULE module = Load(dll);
    if (module == nullptr)
        return kExitFailure;
    if (plain)
        return CallPlain(module, argv[i], argv[i + 1], argv[i + 2]);
    return CallHost(module, argv[i], argv[i + 1], static_cast<size_t>(bytes));
}
