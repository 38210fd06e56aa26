// The library frame (exports, calling convention, DllMain) and Get32BitCrc,
// called through the DLL as a host calls them.
#include "harness.h"

#include "crc/arch/x86/crc32_x86.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

namespace {

// Bit-at-a-time CRC-32, independent of the library's table.
uint32_t ReferenceCrc(const std::string& bytes)
{
    uint32_t reg = 0xFFFFFFFFu;
    for (unsigned char c : bytes) {
        reg ^= c;
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1)));
    }
    return ~reg;
}

std::string Hex8(uint32_t value)
{
    char text[9];
    snprintf(text, sizeof text, "%08x", value);
    return text;
}

// Deterministic pseudo-random content.
std::string Pattern(size_t length, uint32_t seed)
{
    std::string bytes(length, '\0');
    for (char& c : bytes) {
        seed = seed * 1103515245u + 12345u;
        c = static_cast<char>(seed >> 24);
    }
    return bytes;
}

const char* const kHostRoutines[] = {"Get32BitCrc", "GetDllVersion", "MIRCFindFileSizeCrc"};

TEST(Exports, NamesAndOrdinalsResolveToTheSameRoutines)
{
    struct Row { const char* name; WORD ordinal; } rows[] = {
        {"DllMain", 1}, {"Get32BitCrc", 100}, {"GetDllVersion", 101},
        {"MIRCFindFileSizeCrc", 102}, {"FindFileSizeCrc", 103}};
    for (const Row& row : rows) {
        EXPECT_NE(Export(row.name), nullptr) << row.name;
        EXPECT_EQ(Export(row.name), Export(row.ordinal)) << row.name;
    }
    for (WORD empty : {WORD(2), WORD(50), WORD(99), WORD(104)})
        EXPECT_EQ(Export(empty), nullptr) << "ordinal " << empty;
    EXPECT_EQ(Export("get32bitcrc"), nullptr) << "names are case-sensitive";
    EXPECT_EQ(Export("_Get32BitCrc@24"), nullptr) << "names are undecorated";
}

TEST(HostForm, EveryRoutineReturnsThreeOnAnEmptyOrNullBufferAndRemovesItsArguments)
{
    for (const char* name : kHostRoutines) {
        HostCall call = CallHost(name, "");
        EXPECT_EQ(call.result, 3) << name;
        EXPECT_TRUE(call.balanced) << name;
        EXPECT_TRUE(call.guard_intact) << name;
        bool balanced = false;
        EXPECT_EQ(CallHostNull(name, &balanced), 3) << name;
        EXPECT_TRUE(balanced) << name;
    }
}

TEST(DllMain, ReturnsOneForEveryReasonAndKeepsTheFirstModuleHandle)
{
    for (uintptr_t reason : {1u, 0u, 2u, 3u}) {
        bool balanced = false;
        EXPECT_EQ(CallStdcall(Export("DllMain"), {0x12340000u, reason, 0}, &balanced), 1u);
        EXPECT_TRUE(balanced);
    }
    // The version lookup finds the library's file through the stored handle,
    // so it still answering proves the second attach changed nothing.
    EXPECT_EQ(CallHost("GetDllVersion", "FileVersion").Text(), "1.01");
}

class Get32BitCrcFiles : public testing::Test {
protected:
    void SetUp() override { MakeTestDir("crc"); }
    void TearDown() override { RemoveTree("crc"); }
};

TEST_F(Get32BitCrcFiles, AnswersEightLowerCaseDigitsOfTheFilesCrc)
{
    struct Row { std::string content; const char* why; } rows[] = {
        {"", "an empty file"},
        {"123456789", "the standard check value"},
        {Pattern(499999, 1), "one byte under a read chunk"},
        {Pattern(500000, 2), "exactly one read chunk"},
        {Pattern(500001, 3), "one byte over a read chunk"},
        {Pattern(3 * 1000 * 1000 + 17, 4), "several chunks"},
        {"\x1a\r\n\r\n\x1a", "binary bytes are taken as they are"},
    };
    for (const auto& row : rows) {
        WriteTestFile("crc\\f.bin", row.content);
        HostCall call = CallHost("Get32BitCrc", "crc\\f.bin");
        EXPECT_EQ(call.result, 3) << row.why;
        EXPECT_TRUE(call.balanced) << row.why;
        EXPECT_TRUE(call.guard_intact) << row.why;
        EXPECT_EQ(call.Text(), Hex8(ReferenceCrc(row.content))) << row.why;
    }
    EXPECT_EQ(Hex8(ReferenceCrc("123456789")), "cbf43926");
    EXPECT_EQ(Hex8(ReferenceCrc("")), "00000000");
}

TEST_F(Get32BitCrcFiles, KeepsLeadingZeros)
{
    // Search a short content whose CRC-32 begins with a zero digit.
    std::string content;
    for (uint32_t i = 0;; ++i) {
        content = "z" + std::to_string(i);
        if (ReferenceCrc(content) < 0x10000000u)
            break;
    }
    WriteTestFile("crc\\zero.txt", content);
    std::string text = CallHost("Get32BitCrc", "crc\\zero.txt").Text();
    EXPECT_EQ(text, Hex8(ReferenceCrc(content)));
    EXPECT_EQ(text.size(), 8u);
    EXPECT_EQ(text[0], '0');
}

TEST_F(Get32BitCrcFiles, AnswersFfffffffForWhatCannotBeOpened)
{
    MakeTestDir("crc\\sub");
    for (const char* path : {"crc\\missing.bin", "crc\\sub", "", " crc\\f.bin"})
        EXPECT_EQ(CallHost("Get32BitCrc", path).Text(), "ffffffff") << '"' << path << '"';
}

TEST_F(Get32BitCrcFiles, ReadsAFileAnotherHandleHoldsOpenForWriting)
{
    WriteTestFile("crc\\open.bin", "123456789");
    HANDLE writer = CreateFileA("crc\\open.bin", GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CallHost("Get32BitCrc", "crc\\open.bin").Text(), "cbf43926");
    CloseHandle(writer);
}

TEST_F(Get32BitCrcFiles, AbsolutePathsWork)
{
    WriteTestFile("crc\\abs.bin", "123456789");
    EXPECT_EQ(CallHost("Get32BitCrc", CurrentDirectory() + "\\crc\\abs.bin").Text(), "cbf43926");
}

// The DLL picks its CRC method at the first call, or the one named by
// TALLOWIX_CRC_METHOD when this CPU can run it. Each name is tried in a
// fresh copy of the DLL (a copy under another name is a module of its own),
// with lengths on either side of every stride and block the methods use.
// Names this CPU cannot run, or that name nothing, must fall back safely.
TEST_F(Get32BitCrcFiles, EveryMethodGivesTheReferenceCrcThroughTheDll)
{
    // The 256-bit method is built into the 64-bit DLL only.
    bool vpclmul256 = sizeof(void*) == 8 && CpuHasVpclmul256();
    std::printf("this CPU offers: pclmul %s, vpclmul256 %s; the DLL runs %s\n",
                CpuHasPclmul() ? "yes" : "no", CpuHasVpclmul256() ? "yes" : "no",
                vpclmul256 ? "vpclmul256" : CpuHasPclmul() ? "pclmul" : "portable");
    struct Row { size_t length; const char* why; } rows[] = {
        {15, "under one 16-byte block"},   {63, "under one 64-byte stride"},
        {64, "one 64-byte stride"},        {100, "a stride, two blocks and a tail"},
        {255, "under two 128-byte strides"}, {256, "two 128-byte strides"},
        {4097, "many strides and a tail"},   {1234567, "several read chunks"},
    };
    std::string expected[sizeof rows / sizeof rows[0]];
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        std::string content = Pattern(rows[i].length, 200 + static_cast<uint32_t>(i));
        WriteTestFile("crc\\m" + std::to_string(i), content);
        expected[i] = Hex8(ReferenceCrc(content));
    }
    char dll_path[MAX_PATH];
    ASSERT_GT(GetModuleFileNameA(Dll(), dll_path, MAX_PATH), 0u);
    for (const char* method : {"portable", "pclmul", "vpclmul256", "vpclmul512", "none"}) {
        std::string copy = "crc\\" + std::string(method) + ".dll";
        ASSERT_TRUE(CopyFileA(dll_path, copy.c_str(), FALSE)) << copy;
        SetEnvironmentVariableA("TALLOWIX_CRC_METHOD", method);
        HMODULE module = LoadLibraryA(copy.c_str());
        SetEnvironmentVariableA("TALLOWIX_CRC_METHOD", nullptr);
        ASSERT_NE(module, nullptr) << copy;
        ASSERT_NE(module, Dll()) << copy;
        FARPROC routine = GetProcAddress(module, "Get32BitCrc");
        for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
            char data[kResultBytes];
            snprintf(data, sizeof data, "crc\\m%u", static_cast<unsigned>(i));
            bool balanced = false;
            CallStdcall(routine, {0, 0, reinterpret_cast<uintptr_t>(data), 0, 0, 0}, &balanced);
            EXPECT_TRUE(balanced) << method;
            EXPECT_EQ(std::string(data), expected[i]) << method << ": " << rows[i].why;
        }
        FreeLibrary(module);
    }
}

#if defined(_WIN64)
// Hosts call from several threads at once; each answer must be its own file's.
TEST_F(Get32BitCrcFiles, ConcurrentCallsEachGetTheirOwnFilesCrc)
{
    constexpr int kThreads = 6;
    constexpr int kRounds = 8;
    std::string expected[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        std::string content = Pattern(1500000 + 1000 * t, 100 + t);
        WriteTestFile("crc\\t" + std::to_string(t), content);
        expected[t] = Hex8(ReferenceCrc(content));
    }
    int wrong[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r)
                if (CallHost("Get32BitCrc", "crc\\t" + std::to_string(t)).Text() != expected[t])
                    ++wrong[t];
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
}
#endif

}  // namespace
