// Every CRC-32 method this CPU can run, against a bit-at-a-time reference,
// and the choice among them. CTest also runs the CrcChoice suite once per
// method name with TALLOWIX_CRC_METHOD set, each in a fresh process.
#include "crc/crc32_methods.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

uint32_t BitwiseUpdate(uint32_t reg, const uint8_t* data, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        reg ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1)));
    }
    return reg;
}

std::vector<uint8_t> RandomBytes(size_t length, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(length);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(rng());
    return bytes;
}

const CrcMethod* BestSupported()
{
    const CrcMethod* best = nullptr;
    for (size_t i = 0; i < kCrcMethodCount; ++i)
        if (kCrcMethods[i].supported())
            best = &kCrcMethods[i];
    return best;
}

// ---- Each method --------------------------------------------------------

class EachCrcMethod : public testing::TestWithParam<size_t> {
protected:
    void SetUp() override
    {
        if (!Method().supported())
            GTEST_SKIP() << Method().name << " cannot run on this CPU";
    }
    const CrcMethod& Method() const { return kCrcMethods[GetParam()]; }
};

TEST_P(EachCrcMethod, MatchesTheReferenceForEveryLengthTo5000AtRandomAlignmentAndRegister)
{
    constexpr size_t kLongest = 5000;
    constexpr size_t kAlignments = 64;
    std::vector<uint8_t> bytes = RandomBytes(kLongest + kAlignments, 11);
    std::mt19937 rng(12);
    for (size_t length = 0; length <= kLongest; ++length) {
        size_t offset = rng() % kAlignments;
        uint32_t reg = static_cast<uint32_t>(rng());
        const uint8_t* data = bytes.data() + offset;
        ASSERT_EQ(Method().update(reg, data, length), BitwiseUpdate(reg, data, length))
            << Method().name << ", length " << length << ", offset " << offset;
    }
}

TEST_P(EachCrcMethod, MatchesTheReferenceOnALargeBufferWholeAndInPieces)
{
    constexpr size_t kLength = (8u << 20) + 13;
    std::vector<uint8_t> bytes = RandomBytes(kLength, 21);
    uint32_t expected = BitwiseUpdate(0xFFFFFFFFu, bytes.data(), kLength);
    EXPECT_EQ(Method().update(0xFFFFFFFFu, bytes.data(), kLength), expected) << Method().name;
    // In read-chunk-sized pieces, as the file checksum feeds it.
    uint32_t reg = 0xFFFFFFFFu;
    for (size_t at = 0; at < kLength; at += 500000)
        reg = Method().update(reg, bytes.data() + at, std::min<size_t>(500000, kLength - at));
    EXPECT_EQ(reg, expected) << Method().name;
}

TEST_P(EachCrcMethod, GivesTheStandardCheckValue)
{
    const uint8_t* check = reinterpret_cast<const uint8_t*>("123456789");
    EXPECT_EQ(~Method().update(0xFFFFFFFFu, check, 9), 0xCBF43926u);
}

INSTANTIATE_TEST_SUITE_P(Methods, EachCrcMethod, testing::Range<size_t>(0, kCrcMethodCount),
                         [](const testing::TestParamInfo<size_t>& info) {
                             return std::string(kCrcMethods[info.param].name);
                         });

TEST(CrcMethods, ThePortableReferenceComesFirstAndRunsEverywhere)
{
    ASSERT_GE(kCrcMethodCount, 1u);
    EXPECT_STREQ(kCrcMethods[0].name, "portable");
    EXPECT_TRUE(kCrcMethods[0].supported());
    for (size_t i = 0; i < kCrcMethodCount; ++i)
        std::printf("method %-10s %s\n", kCrcMethods[i].name,
                    kCrcMethods[i].supported() ? "runs here" : "cannot run here");
}

// ---- The choice ---------------------------------------------------------

// First in its suite: CTest runs the suite alone in fresh processes, so these
// are the first calls of CrcUpdate there.
TEST(CrcChoice, ConcurrentFirstCallsAllGetTheSameMethodAndValue)
{
    constexpr int kThreads = 8;
    std::vector<uint8_t> bytes = RandomBytes(100000, 31);
    uint32_t expected = BitwiseUpdate(0xFFFFFFFFu, bytes.data(), bytes.size());
    const CrcMethod* seen[kThreads] = {};
    uint32_t got[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            got[t] = CrcUpdate(0xFFFFFFFFu, bytes.data(), bytes.size());
            seen[t] = &ChosenCrcMethod();
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(got[t], expected) << "thread " << t;
        EXPECT_EQ(seen[t], seen[0]) << "thread " << t;
    }
}

TEST(CrcChoice, RunsTheForcedMethodWhenItCanRunAndTheFastestOtherwise)
{
    const char* forced = std::getenv(kCrcMethodVariable);
    const CrcMethod* expected = BestSupported();
    for (size_t i = 0; forced != nullptr && i < kCrcMethodCount; ++i)
        if (kCrcMethods[i].supported() && std::strcmp(kCrcMethods[i].name, forced) == 0)
            expected = &kCrcMethods[i];
    std::printf("%s=%s; CrcUpdate runs %s\n", kCrcMethodVariable, forced ? forced : "(unset)",
                ChosenCrcMethod().name);
    EXPECT_STREQ(ChosenCrcMethod().name, expected->name);
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
}

}  // namespace
