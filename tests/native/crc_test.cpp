// CRC-32 of memory and of files, against independent references: a
// bit-at-a-time CRC and zlib's crc32.
#include "crc/crc32.h"
#include "crc/filecrc.h"
#include "host/host.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

uint32_t BitwiseCrc(const uint8_t* data, size_t length)
{
    uint32_t reg = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        reg ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1)));
    }
    return ~reg;
}

std::vector<uint8_t> RandomBytes(size_t length, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(length);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(rng());
    return bytes;
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (!bytes.empty())  // data() of an empty vector may be null, which fwrite forbids
        fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

TEST(CrcTable, HoldsTheStandardEntries)
{
    EXPECT_EQ(CrcTable[0], 0u);
    EXPECT_EQ(CrcTable[1], 0x77073096u);
    EXPECT_EQ(CrcTable[128], 0xEDB88320u);
    EXPECT_EQ(CrcTable[255], 0x2D02EF8Du);
    const z_crc_t* zlib_table = get_crc_table();
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(CrcTable[i], zlib_table[i]) << i;
}

TEST(Crc32, MatchesTheReferencesForEveryShortLengthAndSplit)
{
    std::vector<uint8_t> bytes = RandomBytes(4096, 7);
    for (size_t length = 0; length <= bytes.size(); length += (length < 300 ? 1 : 97)) {
        uint32_t expected = BitwiseCrc(bytes.data(), length);
        ASSERT_EQ(Crc32(bytes.data(), length), expected) << length;
        ASSERT_EQ(crc32(0, bytes.data(), static_cast<uInt>(length)), expected) << length;
        size_t half = length / 3;
        uint32_t reg = CrcUpdate(0xFFFFFFFFu, bytes.data(), half);
        ASSERT_EQ(~CrcUpdate(reg, bytes.data() + half, length - half), expected) << length;
    }
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
}

TEST(CalcFileCrc, ReadsWholeFilesAcrossChunkBoundaries)
{
    const size_t lengths[] = {0, 1, kReadChunkBytes - 1, kReadChunkBytes, kReadChunkBytes + 1,
                              3 * kReadChunkBytes + 12345};
    for (size_t length : lengths) {
        std::vector<uint8_t> bytes = RandomBytes(length, static_cast<uint32_t>(length));
        WriteFile("chunk.bin", bytes);
        uint32_t crc = 0;
        ASSERT_TRUE(TryCalcFileCrc("chunk.bin", &crc)) << length;
        EXPECT_EQ(crc, BitwiseCrc(bytes.data(), length)) << length;
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
    struct Row { std::vector<uint8_t> content; const char* expected; } rows[] = {
        {{}, "00000000"},
        {{'1', '2', '3', '4', '5', '6', '7', '8', '9'}, "cbf43926"},
        {{'a'}, "e8b7be43"},
    };
    for (const auto& row : rows) {
        WriteFile("host.bin", row.content);
        char data[kHostResultCapacity] = "host.bin";
        EXPECT_EQ(Get32BitCrc(nullptr, nullptr, data, nullptr, 0, 0), kHostReturnResult);
        EXPECT_STREQ(data, row.expected);
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
    for (int t = 0; t < kThreads; ++t) {
        std::vector<uint8_t> bytes = RandomBytes(2 * kReadChunkBytes + 1000 * t, 50 + t);
        WriteFile("par" + std::to_string(t), bytes);
        expected[t] = BitwiseCrc(bytes.data(), bytes.size());
    }
    int wrong[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round)
                if (CalcFileCrc(("par" + std::to_string(t)).c_str()) != expected[t])
                    ++wrong[t];
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(wrong[t], 0) << "thread " << t;
        remove(("par" + std::to_string(t)).c_str());
    }
}

TEST(DllMain, KeepsTheFirstModuleHandle)
{
    int first = 0, second = 0;
    ModuleHandle = nullptr;
    EXPECT_EQ(DllMain(&first, 1, nullptr), 1);
    EXPECT_EQ(DllMain(&second, 1, nullptr), 1);
    for (uint32_t reason : {0u, 2u, 3u})
        EXPECT_EQ(DllMain(&second, reason, nullptr), 1);
    EXPECT_EQ(ModuleHandle, &first);
}

}  // namespace
