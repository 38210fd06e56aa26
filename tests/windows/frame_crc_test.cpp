// The library frame (exports, calling convention, DllMain) and Get32BitCrc,
// called through the DLL as a host calls them.
#include "harness.h"
#include "test_data.h"

#include "crc/arch/x86/crc32_x86.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Exports, NamesAndOrdinalsResolveToTheSameRoutines)
{
    struct Row { const char* name; WORD ordinal; } rows[] = {
        {"DllMain", 1}, {"Get32BitCrc", 100}, {"GetDllVersion", 101},
        {"MIRCFindFileSizeCrc", 102}, {"FindFileSizeCrc", 103}, {"SignalGet32BitCrc", 104},
        {"SignalFindFileSizeCrc", 105}, {"LoadDll", 106}, {"UnloadDll", 107},
        {"CancelSignal", 108}, {"GetSignalProgress", 109}, {"SignalCheckSfv", 110},
        {"SignalMakeSfv", 111}, {"SignalCheckNameCrc", 112}};
    for (const Row& row : rows) {
        EXPECT_NE(Export(row.name), nullptr) << row.name;
        EXPECT_EQ(Export(row.name), Export(row.ordinal)) << row.name;
    }
    for (WORD empty : {WORD(2), WORD(50), WORD(99), WORD(113)})
        EXPECT_EQ(Export(empty), nullptr) << "ordinal " << empty;
    EXPECT_EQ(Export("get32bitcrc"), nullptr) << "names are case-sensitive";
    EXPECT_EQ(Export("_Get32BitCrc@24"), nullptr) << "names are undecorated";
}

TEST(HostForm, EveryRoutineReturnsThreeOnAnEmptyOrNullBufferAndRemovesItsArguments)
{
    for (const char* name : {"Get32BitCrc", "GetDllVersion", "MIRCFindFileSizeCrc", "SignalGet32BitCrc",
                             "SignalFindFileSizeCrc", "SignalCheckSfv", "SignalMakeSfv",
                             "SignalCheckNameCrc", "CancelSignal", "GetSignalProgress"}) {
        ExpectHostForm(CallHost(name, ""), name);
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
    // The version lookup finds the library's file through the stored handle.
    EXPECT_EQ(CallHost("GetDllVersion", "FileVersion").Text(), "1.01");
}

class Get32BitCrcFiles : public testing::Test {
protected:
    void SetUp() override { MakeTestDir("crc"); }
    void TearDown() override { RemoveTree("crc"); }
};

// A short content whose CRC-32 begins with a zero digit.
std::string LeadingZeroContent()
{
    for (uint32_t i = 0;; ++i)
        if (ReferenceCrc("z" + std::to_string(i)) < 0x10000000u)
            return "z" + std::to_string(i);
}

TEST_F(Get32BitCrcFiles, AnswersEightLowerCaseDigitsOfTheFilesCrc)
{
    ASSERT_EQ(Hex8(ReferenceCrc("123456789")), "cbf43926");
    struct Row { std::string content; const char* why; } rows[] = {
        {"", "an empty file"},
        {"123456789", "the standard check value"},
        {RandomBytes(499999, 1), "one byte under a read chunk"},
        {RandomBytes(500000, 2), "exactly one read chunk"},
        {RandomBytes(500001, 3), "one byte over a read chunk"},
        {RandomBytes(3 * 1000 * 1000 + 17, 4), "several chunks"},
        {"\x1a\r\n\r\n\x1a", "binary bytes are taken as they are"},
        {LeadingZeroContent(), "leading zeros are kept"},
    };
    for (const auto& row : rows) {
        WriteTestFile("crc\\f.bin", row.content);
        HostCall call = CallHost("Get32BitCrc", "crc\\f.bin");
        ExpectHostForm(call, row.why);
        EXPECT_EQ(call.Text(), Hex8(ReferenceCrc(row.content))) << row.why;
    }
}

TEST_F(Get32BitCrcFiles, AnswersFfffffffOnlyForWhatCannotBeOpened)
{
    MakeTestDir("crc\\sub");
    WriteTestFile("crc\\f.bin", "123456789");
    // Another program writing the file still lets readers in.
    HANDLE writer = HoldFile("crc\\f.bin", GENERIC_WRITE, FILE_SHARE_READ);
    struct Row { std::string path; const char* expected; const char* why; } rows[] = {
        {"crc\\missing.bin", "ffffffff", "a missing file"},
        {"crc\\sub", "ffffffff", "a directory"},
        {"", "ffffffff", "the empty path"},
        {" crc\\f.bin", "ffffffff", "a leading space is part of the name"},
        {"crc\\f.bin", "cbf43926", "held open for writing by another handle"},
        {CurrentDirectory() + "\\crc\\f.bin", "cbf43926", "an absolute path"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(CallHost("Get32BitCrc", row.path).Text(), row.expected) << row.why;
    CloseHandle(writer);
}

// Each method named by TALLOWIX_CRC_METHOD runs in a fresh copy of the DLL (a
// copy under another name is a module of its own), over lengths on either
// side of every stride and block the methods use. Names this CPU cannot run,
// or that name nothing, must fall back safely.
TEST_F(Get32BitCrcFiles, EveryMethodGivesTheReferenceCrcThroughTheDll)
{
    CpuFeatures cpu = ReadCpuFeatures();
    std::printf("this CPU offers: pclmul %s, vpclmul256 %s, vpclmul512 %s; the DLL runs %s\n",
                CanRunPclmul(cpu) ? "yes" : "no", CanRunVpclmul256(cpu) ? "yes" : "no",
                CanRunVpclmul512(cpu) ? "yes" : "no",
                CanRunVpclmul512(cpu)   ? "vpclmul512"
                : CanRunVpclmul256(cpu) ? "vpclmul256"
                : CanRunPclmul(cpu)     ? "pclmul"
                                        : "portable");
    const size_t lengths[] = {15, 63, 64, 100, 255, 256, 320, 511, 512, 4097, 1234567};
    std::string expected[std::size(lengths)];
    for (size_t i = 0; i < std::size(lengths); ++i) {
        std::string content = RandomBytes(lengths[i], 200 + static_cast<uint32_t>(i));
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
        for (size_t i = 0; i < std::size(lengths); ++i) {
            char data[kResultBytes];
            snprintf(data, sizeof data, "crc\\m%u", static_cast<unsigned>(i));
            bool balanced = false;
            CallStdcall(GetProcAddress(module, "Get32BitCrc"),
                        {0, 0, reinterpret_cast<uintptr_t>(data), 0, 0, 0}, &balanced);
            EXPECT_TRUE(balanced) << method;
            EXPECT_EQ(std::string(data), expected[i]) << method << ", length " << lengths[i];
        }
        FreeLibrary(module);
    }
}

}  // namespace
