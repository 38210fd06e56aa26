// tallowix-call: calls a routine of a mIRC-style DLL exactly as the host does,
// and prints the result text.
//
//   tallowix-call [--dll PATH] [--bytes N] ROUTINE TEXT
//   tallowix-call [--dll PATH] --plain SIZE CRC DIRECTORY
//
// The first form passes TEXT in a data buffer of N bytes (default 10,240, as
// current mIRC) to ROUTINE in the six-argument host form. The second calls
// FindFileSizeCrc with SIZE (decimal) and CRC (hexadecimal) and prints the
// found path, exiting 1 when nothing was found.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using HostRoutine = int(__stdcall*)(HWND, HWND, char*, char*, BOOL, BOOL);
using PlainSearch = int(__stdcall*)(unsigned, unsigned, const char*, char*);

constexpr size_t kDefaultBufferBytes = 10240;
constexpr size_t kSearchOutputBytes = 256;

int Fail(const char* what, const char* detail)
{
    fprintf(stderr, "tallowix-call: %s%s\n", what, detail);
    return 2;
}

int Usage()
{
    fprintf(stderr,
            "usage: tallowix-call [--dll PATH] [--bytes N] ROUTINE TEXT\n"
            "       tallowix-call [--dll PATH] --plain SIZE CRC DIRECTORY\n");
    return 2;
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

}  // namespace

int main(int argc, char** argv)
{
    std::string dll = DefaultDllPath();
    size_t bytes = kDefaultBufferBytes;
    bool plain = false;
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
        if (strcmp(argv[i], "--dll") == 0 && i + 1 < argc) {
            dll = argv[++i];
        } else if (strcmp(argv[i], "--bytes") == 0 && i + 1 < argc) {
            char* end = nullptr;
            unsigned long n = strtoul(argv[++i], &end, 10);
            if (*end != '\0' || n == 0 || n > (1u << 24))
                return Fail("--bytes takes a size from 1 to 16777216: ", argv[i]);
            bytes = n;
        } else if (strcmp(argv[i], "--plain") == 0) {
            plain = true;
        } else {
            return Usage();
        }
    }
    if (argc - i != (plain ? 3 : 2))
        return Usage();

    HMODULE module = LoadLibraryA(dll.c_str());
    if (module == nullptr)
        return Fail("cannot load ", dll.c_str());

    if (plain) {
        auto search = reinterpret_cast<PlainSearch>(GetProcAddress(module, "FindFileSizeCrc"));
        if (search == nullptr)
            return Fail("no routine FindFileSizeCrc in ", dll.c_str());
        unsigned size = static_cast<unsigned>(strtoul(argv[i], nullptr, 10));
        unsigned crc = static_cast<unsigned>(strtoul(argv[i + 1], nullptr, 16));
        std::vector<char> output(kSearchOutputBytes, '\0');
        int found = search(size, crc, argv[i + 2], output.data());
        printf("%s\n", output.data());
        return found ? 0 : 1;
    }

    const char* name = argv[i];
    const char* text = argv[i + 1];
    auto routine = reinterpret_cast<HostRoutine>(GetProcAddress(module, name));
    if (routine == nullptr)
        return Fail("no routine named ", name);
    if (strlen(text) >= bytes)
        return Fail("the text does not fit the data buffer: ", text);
    std::vector<char> data(bytes, '\0');
    memcpy(data.data(), text, strlen(text) + 1);
    int result = routine(nullptr, nullptr, data.data(), nullptr, FALSE, TRUE);
    data.back() = '\0';
    printf("%s\n", data.data());
    return result == 3 ? 0 : 3;
}
