// Reliability through the DLL: host buffers of any length, locked and oddly
// named files, and (64-bit only: threads are unsafe under 32-bit Wine in qemu)
// concurrent callers and a long soak that must leave no handle open and no
// memory growing.
#include "harness.h"
#include "test_data.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

namespace {

class Reliability : public testing::Test {
protected:
    void SetUp() override
    {
        RemoveTree("rel");
        MakeTestDir("rel");
    }
    void TearDown() override { RemoveTree("rel"); }
};

TEST_F(Reliability, InputsUpToTheHostBufferStayWithinTheResult)
{
    const size_t lengths[] = {231, 255, 256, 257, 1000, kHostBufferBytes - 1};
    for (const char* name : kHostRoutines)
        for (size_t length : lengths)
            for (const std::string& input :
                 {std::string(length, 'k'), ("1,0," + std::string(length, 'd')).substr(0, length),
                  std::string(length, ',')}) {
                HostCall call = CallHost(name, input);
                std::string why = name + (" " + std::to_string(length));
                ExpectHostForm(call, why);
                EXPECT_LT(call.Text().size(), kResultBytes) << why;
            }
    EXPECT_EQ(CallHost("Get32BitCrc", std::string(kHostBufferBytes - 1, 'k')).Text(), "ffffffff");
}

TEST_F(Reliability, AFileLockedWithoutSharingAnswersFfffffff)
{
    WriteTestFile("rel\\locked", "123456789");
    HANDLE lock = HoldFile("rel\\locked", GENERIC_READ, 0);
    EXPECT_EQ(CallHost("Get32BitCrc", "rel\\locked").Text(), "ffffffff");
    CloseHandle(lock);
    EXPECT_EQ(CallHost("Get32BitCrc", "rel\\locked").Text(), "cbf43926");
}

TEST_F(Reliability, NamesWithHighBytesAreFoundAndAnsweredAsListed)
{
    const std::string name = "rel\\caf\xE9 \xE0\xFF.sfv";
    WriteTestFile(name, "123456789");
    EXPECT_EQ(CallHost("Get32BitCrc", name).Text(), "cbf43926");
    EXPECT_EQ(CallHost("MIRCFindFileSizeCrc", "9,cbf43926,rel").Text(), name);
}

#if defined(_WIN64)
// Hosts call from several threads at once, here more than the pool has read
// buffers, so that some wait for one; each answer must be its own file's
// (contents of several read chunks) and the search's.
TEST_F(Reliability, MoreThreadsThanReadBuffersGetTheSingleThreadedAnswers)
{
    constexpr int kThreads = 6;
    constexpr int kRounds = 10;
    std::string files[kThreads], crcs[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        std::string content = RandomBytes(1300000 + 999 * t, 100 + t);
        files[t] = "rel\\big" + std::to_string(t);
        WriteTestFile(files[t], content);
        crcs[t] = Hex8(ReferenceCrc(content));
    }
    for (int i = 0; i < 30; ++i)
        WriteTestTreeFile("rel\\tree\\f" + std::to_string(i), std::string(500, char(i)));
    WriteTestTreeFile("rel\\tree\\deep\\needle", std::string(500, 'n'));
    std::string line = "500," + Hex8(ReferenceCrc(std::string(500, 'n'))) + ",rel\\tree";

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                wrong += CallHost("Get32BitCrc", files[t]).Text() != crcs[t];
                wrong += CallHost("MIRCFindFileSizeCrc", line).Text() != "rel\\tree\\deep\\needle";
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(wrong.load(), 0) << kThreads << " threads x " << kRounds << " rounds";
}

// Committed private memory of the process, summed over its address space
// (Wine leaves GetProcessMemoryInfo's PrivateUsage at 0).
size_t PrivateBytes()
{
    size_t total = 0;
    MEMORY_BASIC_INFORMATION info;
    for (const char* p = nullptr; VirtualQuery(p, &info, sizeof info) == sizeof info;
         p = static_cast<const char*>(info.BaseAddress) + info.RegionSize)
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE)
            total += info.RegionSize;
    return total;
}

// Ten thousand rounds of calls to each routine, answering and failing (every
// path out of a routine must give back what it took); then every file and
// directory they touched can be deleted (a handle left open would refuse it),
// and private memory after the last thousand rounds is what it was after the
// first.
TEST_F(Reliability, SoakLeavesNoHandleOpenAndNoMemoryGrowing)
{
    constexpr int kRounds = 10000;
    constexpr int kWarmUp = 1000;
    constexpr size_t kAllowedGrowth = 64 * 1024;
    constexpr size_t kOverLongKey = 231;  // one more than the longest key that fits
    const char* const files[] = {"rel\\soak\\a.bin", "rel\\soak\\sub\\b.bin", "rel\\soak\\sub\\c.bin"};
    for (const char* file : files)
        WriteTestTreeFile(file, file == files[1] ? "12345678" : "123456789");
    const struct {
        const char* routine;
        std::string input, expected;
    } calls[] = {
        {"Get32BitCrc", files[0], "cbf43926"},
        {"Get32BitCrc", "rel\\soak\\missing.bin", "ffffffff"},
        {"GetDllVersion", "FileVersion", "1.01"},
        {"GetDllVersion", "NoSuchKey", "?"},
        {"GetDllVersion", std::string(kOverLongKey, 'k'), "?"},
        {"MIRCFindFileSizeCrc", "9,cbf43926,rel\\soak\\sub", files[2]},
        {"MIRCFindFileSizeCrc", "9,12345678,rel\\soak", ""},
    };
    char out[kResultBytes];
    bool balanced = false;
    size_t after_warm_up = 0;
    for (int i = 1; i <= kRounds; ++i) {
        for (const auto& call : calls)
            ASSERT_EQ(CallHost(call.routine, call.input).Text(), call.expected) << call.input;
        ASSERT_EQ(CallStdcall(Export("FindFileSizeCrc"),
                              {8, 0x12345678u, reinterpret_cast<uintptr_t>("rel\\soak"),
                               reinterpret_cast<uintptr_t>(out)},
                              &balanced),
                  0u);
        if (i == kWarmUp)
            after_warm_up = PrivateBytes();
    }
    size_t at_end = PrivateBytes();
    RecordProperty("private_bytes_after_warm_up", std::to_string(after_warm_up));
    RecordProperty("private_bytes_at_end", std::to_string(at_end));
    printf("soak: %d rounds of calls; private bytes %zu after %d, %zu at the end\n", kRounds,
           after_warm_up, kWarmUp, at_end);
    EXPECT_LE(at_end, after_warm_up + kAllowedGrowth);

    for (const char* file : files)
        EXPECT_TRUE(DeleteFileA(file)) << file << " error " << GetLastError();
    for (const char* dir : {"rel\\soak\\sub", "rel\\soak"})
        EXPECT_TRUE(RemoveDirectoryA(dir)) << dir << " error " << GetLastError();
}
#endif

}  // namespace
