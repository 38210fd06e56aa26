// CRC-32 of memory and of files, against a bit-at-a-time reference and
// zlib's table.
#include "crc/crc32.h"
#include "crc/filecrc.h"
#include "host/host.h"
#include "test_data.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

void WriteFile(const std::string& path, const std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

TEST(CrcTable, HoldsTheStandardEntries)
{
    const z_crc_t* zlib_table = get_crc_table();
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(CrcTable[i], zlib_table[i]) << i;
}

TEST(Crc32, MatchesTheReferenceForEveryShortLengthAndSplit)
{
    std::string text = RandomBytes(4096, 7);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    for (size_t length = 0; length <= text.size(); length += (length < 300 ? 1 : 97)) {
        uint32_t expected = ReferenceCrc(bytes, length);
        ASSERT_EQ(Crc32(bytes, length), expected) << length;
        size_t third = length / 3;
        uint32_t reg = CrcUpdate(0xFFFFFFFFu, bytes, third);
        ASSERT_EQ(~CrcUpdate(reg, bytes + third, length - third), expected) << length;
    }
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
}

TEST(CalcFileCrc, ReadsWholeFilesAcrossChunkBoundaries)
{
    const size_t chunk = kReadChunkBytes;
    for (size_t length : {size_t(0), size_t(1), chunk - 1, chunk, chunk + 1, 3 * chunk + 12345}) {
        std::string bytes = RandomBytes(length, static_cast<uint32_t>(length));
        WriteFile("chunk.bin", bytes);
        uint32_t crc = 0;
        ASSERT_TRUE(TryCalcFileCrc("chunk.bin", &crc)) << length;
        EXPECT_EQ(crc, ReferenceCrc(bytes)) << length;
        EXPECT_EQ(CalcFileCrc("chunk.bin"), crc) << length;
    }
    remove("chunk.bin");
}

TEST(CalcFileCrc, AnswersAllOnesForWhatCannotBeOpened)
{
    for (const char* path : {"no-such-file", ".", "", "/"}) {
        uint32_t crc = 0x12345678u;
        EXPECT_FALSE(TryCalcFileCrc(path, &crc)) << path;
        EXPECT_EQ(crc, 0x12345678u) << "left untouched: " << path;
        EXPECT_EQ(CalcFileCrc(path), kUnopenableCrc) << path;
    }
}

TEST(Get32BitCrc, FormatsEightLowerCaseDigitsAndReturnsThree)
{
    for (const char* content : {"", "123456789", "a"}) {
        WriteFile("host.bin", content);
        char data[kHostResultCapacity] = "host.bin";
        EXPECT_EQ(Get32BitCrc(nullptr, nullptr, data, nullptr, 0, 0), kHostReturnResult);
        EXPECT_EQ(data, Hex8(ReferenceCrc(content))) << content;
    }
    char missing[kHostResultCapacity] = "missing.bin";
    Get32BitCrc(nullptr, nullptr, missing, nullptr, 0, 0);
    EXPECT_STREQ(missing, "ffffffff");
    EXPECT_EQ(Get32BitCrc(nullptr, nullptr, nullptr, nullptr, 0, 0), kHostReturnResult);
    remove("host.bin");
}

TEST(CalcFileCrc, ConcurrentCallsDoNotShareAReadBuffer)
{
    constexpr int kThreads = 6;  // more than the buffer pool holds
    uint32_t expected[kThreads];
    int wrong[kThreads] = {};
    for (int t = 0; t < kThreads; ++t) {
        std::string bytes = RandomBytes(2 * kReadChunkBytes + 1000 * t, 50 + t);
        WriteFile("par" + std::to_string(t), bytes);
        expected[t] = ReferenceCrc(bytes);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round)
                wrong[t] += CalcFileCrc(("par" + std::to_string(t)).c_str()) != expected[t];
        });
    for (int t = 0; t < kThreads; ++t) {
        threads[t].join();
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
        remove(("par" + std::to_string(t)).c_str());
    }
}

TEST(DllMain, KeepsTheFirstModuleHandle)
{
    int first = 0, second = 0;
    ModuleHandle = nullptr;
    EXPECT_EQ(DllMain(&first, 1, nullptr), 1);
    for (uint32_t reason : {1u, 0u, 2u, 3u})
        EXPECT_EQ(DllMain(&second, reason, nullptr), 1);
    EXPECT_EQ(ModuleHandle, &first);
}

}  // namespace
