// Fuzzes MIRCFindFileSizeCrc the way a host calls it: arbitrary bytes as the
// argument text in a data buffer of the host's size. Each input must give the
// return value 3, leave the bytes behind max(text + 1, 256) untouched, and
// answer either the empty text or the path of an existing file that has the
// size and CRC-32 the text asked for, under the directory the text named.
// SignalFindFileSizeCrc, given the same text under a tag, must agree.
//
// Searches run inside a small fixture tree made once in a temporary
// directory, which becomes the current directory. Inputs whose directory
// piece is absolute or climbs out with ".." are passed over, so that no
// execution walks the rest of the file system. Because the current
// directory changes before libFuzzer reads its arguments, relative corpus and
// artifact paths among them are first made absolute.
#include "host/host.h"
#include "text/commandtext.h"
#include "test_data.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr size_t kHostBufferBytes = 10240;
constexpr unsigned char kGuardByte = 0xA5;

char g_fixture[] = "/tmp/argline_fuzz.XXXXXX";

void Fail(const char* what, const char* text)
{
    fprintf(stderr, "argline_fuzz: %s (argument text \"%s\")\n", what, text);
    abort();
}

// A content of `length` bytes whose CRC-32 is `crc`: a filler, then four
// bytes found by running the CRC register backwards from the wanted value.
std::string ContentWithCrc(size_t length, uint32_t crc)
{
    uint32_t table[256];
    for (uint32_t i = 0; i < 256; ++i) {
        unsigned char byte = static_cast<unsigned char>(i);
        table[i] = ReferenceCrcUpdate(0, &byte, 1);
    }
    std::string content(length - 4, 'f');
    uint32_t back = ~crc;
    for (int step = 0; step < 4; ++step) {
        uint32_t index = 0;
        while ((table[index] >> 24) != (back >> 24))
            ++index;
        back = ((back ^ table[index]) << 8) | index;
    }
    uint32_t tail = back ^ ReferenceCrcUpdate(0xFFFFFFFFu, content.data(), content.size());
    for (int i = 0; i < 4; ++i)
        content.push_back(static_cast<char>(tail >> (8 * i)));
    return content;
}

void Write(const char* path, const std::string& content)
{
    FILE* f = fopen(path, "wb");
    if (f == nullptr || fwrite(content.data(), 1, content.size(), f) != content.size())
        Fail("cannot write the fixture", path);
    fclose(f);
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

void RemoveFixture()
{
    nftw(g_fixture, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

// The tree holds what the table rows and seeds name: files whose size and
// CRC are the seeds' values, directories with commas and spaces in their
// names, a directory that begins with a full stop, nested levels.
void MakeFixture()
{
    if (mkdtemp(g_fixture) == nullptr || chdir(g_fixture) != 0)
        Fail("cannot make the fixture", g_fixture);
    atexit(RemoveFixture);
    for (const char* dir : {"x", "x/sub", "x/sub/deep", ",x", "my,dir", " x", "x ", ".cache"})
        mkdir(dir, 0755);
    Write("x/empty", "");
    Write("x/check", "123456789");
    for (const char* path : {"x/twelve", ",x/twelve", "my,dir/twelve", " x/twelve", "x /twelve",
                             ".cache/twelve"})
        Write(path, ContentWithCrc(12, 0xAB));
    Write("x/sub/hex", ContentWithCrc(12, 0x1A));
    Write("x/sub/deep/five", ContentWithCrc(5, 0xFFFFFFFF));
    Write(".profile", ContentWithCrc(7, 0x7));
}

// An optionally signed number after white space (bytes 9 to 13 and space),
// in base 10, or in base 16 after an optional 0x; *digits tells whether a
// digit was read. Values wrap modulo 2^32.
uint32_t Number(const std::string& piece, bool hex, bool* digits)
{
    const char* p = piece.c_str();
    while (*p == ' ' || (*p >= 9 && *p <= 13))
        ++p;
    bool negative = *p == '-';
    p += *p == '-' || *p == '+';
    p += hex && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') ? 2 : 0;
    uint32_t value = 0;
    for (;; ++p) {
        int c = static_cast<unsigned char>(*p);
        if (!(hex ? isxdigit(c) : isdigit(c)))
            break;
        value = value * (hex ? 16 : 10) +
                static_cast<uint32_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
        *digits = true;
    }
    return negative ? 0 - value : value;
}

// What the argument text asks for, read independently of the library.
struct Request {
    bool has_directory = false;  // all three pieces are there
    bool complete = false;       // and the CRC piece holds a value
    uint32_t size = 0, crc = 0;
    std::string directory;
};

Request Read(const std::string& text)
{
    Request request;
    size_t at = text.find_first_not_of(',');
    size_t end = text.find(',', at);
    if (at == std::string::npos || end == std::string::npos)
        return request;
    std::string size_piece = text.substr(at, end - at);
    if ((at = text.find_first_not_of(',', end)) == std::string::npos)
        return request;
    end = text.find(',', at);
    if (end == std::string::npos || end + 1 == text.size())
        return request;
    request.has_directory = true;
    request.directory = text.substr(end + 1);
    bool unused = false;
    request.size = Number(size_piece, false, &unused);
    request.crc = Number(text.substr(at, end - at), true, &request.complete);
    return request;
}

bool StaysInside(const std::string& directory)
{
    return directory[0] != '/' && directory[0] != '\\' && directory.find("..") == std::string::npos;
}

// Makes the path arguments absolute against the starting directory, and
// keeps crash artifacts there rather than in the fixture.
void AnchorArguments(int* argc, char*** argv)
{
    static std::vector<std::string> args;
    static std::vector<char*> pointers;
    char start[PATH_MAX];
    if (getcwd(start, sizeof start) == nullptr)
        Fail("cannot read the current directory", "");
    const std::string base = std::string(start) + "/";
    const char* const path_flags[] = {"-artifact_prefix=", "-exact_artifact_path=", "-dict="};
    bool has_prefix = false;
    for (int i = 0; i < *argc; ++i) {
        std::string arg = (*argv)[i];
        if (i > 0 && arg[0] != '-' && arg[0] != '/')
            arg = base + arg;
        for (const char* flag : path_flags) {
            size_t n = strlen(flag);
            if (arg.compare(0, n, flag) == 0 && arg.size() > n && arg[n] != '/')
                arg = flag + base + arg.substr(n);
        }
        has_prefix |= arg.compare(0, strlen(path_flags[0]), path_flags[0]) == 0;
        args.push_back(arg);
    }
    if (!has_prefix)
        args.push_back(path_flags[0] + base);
    for (std::string& arg : args)
        pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);
    *argc = static_cast<int>(args.size());
    *argv = pointers.data();
}

// The same text under a tag through the signal routine, which has no window
// here: it must hand back, with 2, the command carrying the plain answer, or
// an empty one where the text or the answer holds what could split a
// command; the command itself never does.
void SignalAgrees(const std::string& text, const std::string& answer)
{
    static char buffer[kHostBufferBytes];
    std::string data = "f " + text;
    if (data.size() >= sizeof buffer)
        return;
    memcpy(buffer, data.c_str(), data.size() + 1);
    if (SignalFindFileSizeCrc(nullptr, nullptr, buffer, nullptr, 0, 1) != kHostReturnCommand ||
        std::string(buffer) != "/signal tallowix MIRCFindFileSizeCrc f " +
                                   (IsCommandSafe(text.c_str()) && IsCommandSafe(answer.c_str()) ? answer : "") ||
        !IsCommandSafe(buffer))
        Fail("the signal routine answered otherwise", text.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    AnchorArguments(argc, argv);
    MakeFixture();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static unsigned char buffer[kHostBufferBytes];
    static unsigned char before[kHostBufferBytes];
    size = std::min(size, kHostBufferBytes - 1);
    const char* bytes = reinterpret_cast<const char*>(data);
    std::string text(bytes, strnlen(bytes, size));
    Request request = Read(text);
    if (request.has_directory && !StaysInside(request.directory))
        return -1;  // kept out of the corpus as well

    memset(buffer, kGuardByte, sizeof buffer);
    memcpy(buffer, data, size);
    buffer[size] = '\0';
    memcpy(before, buffer, sizeof buffer);
    char* argument = reinterpret_cast<char*>(buffer);
    if (MIRCFindFileSizeCrc(nullptr, nullptr, argument, nullptr, 0, 1) != kHostReturnResult)
        Fail("returned other than 3", text.c_str());
    size_t guard_from = std::max(text.size() + 1, static_cast<size_t>(kHostResultCapacity));
    if (memcmp(buffer + guard_from, before + guard_from, sizeof buffer - guard_from) != 0)
        Fail("wrote behind the result's bytes", text.c_str());
    size_t length = strnlen(argument, kHostResultCapacity);
    if (length == kHostResultCapacity)
        Fail("left a result without a terminator in 256 bytes", text.c_str());
    if (length == 0) {
        SignalAgrees(text, "");
        return 0;
    }

    std::string found(argument, length);
    SignalAgrees(text, found);
    if (!request.complete)
        Fail("answered a path for an incomplete argument line", text.c_str());
    if (found.compare(0, request.directory.size(), request.directory) != 0)
        Fail("answered a path outside the directory asked for", text.c_str());
    std::replace(found.begin(), found.end(), '\\', '/');  // the result uses backslashes
    std::ifstream file(found, std::ios::binary);
    std::string content{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (!file)
        Fail("answered a path that cannot be read", text.c_str());
    if (uint32_t(content.size()) != request.size || ReferenceCrc(content) != request.crc)
        Fail("answered a file of another size or CRC", text.c_str());
    return 0;
}
