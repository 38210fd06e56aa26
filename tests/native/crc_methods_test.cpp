// Every CRC-32 method this CPU can run, against a bit-at-a-time reference,
// and the choice among them. CTest also runs the CrcChoice suite once per
// method name with TALLOWIX_CRC_METHOD set, each in a fresh process.
#include "crc/crc32_methods.h"
#include "test_data.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

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
    std::string bytes = RandomBytes(kLongest + kAlignments, 11);
    std::mt19937 rng(12);
    for (size_t length = 0; length <= kLongest; ++length) {
        size_t offset = rng() % kAlignments;
        uint32_t reg = static_cast<uint32_t>(rng());
        const auto* data = reinterpret_cast<const uint8_t*>(bytes.data()) + offset;
        ASSERT_EQ(Method().update(reg, data, length), ReferenceCrcUpdate(reg, data, length))
            << Method().name << ", length " << length << ", offset " << offset;
    }
}

TEST_P(EachCrcMethod, MatchesTheReferenceOnALargeBufferWholeAndInPieces)
{
    constexpr size_t kLength = (8u << 20) + 13;
    std::string text = RandomBytes(kLength, 21);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    uint32_t expected = ReferenceCrcUpdate(0xFFFFFFFFu, bytes, kLength);
    EXPECT_EQ(Method().update(0xFFFFFFFFu, bytes, kLength), expected) << Method().name;
    // In read-chunk-sized pieces, as the file checksum feeds it.
    uint32_t reg = 0xFFFFFFFFu;
    for (size_t at = 0; at < kLength; at += 500000)
        reg = Method().update(reg, bytes + at, std::min<size_t>(500000, kLength - at));
    EXPECT_EQ(reg, expected) << Method().name;
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

// First in its suite: CTest runs the suite alone in fresh processes, so these
// are the first calls of CrcUpdate there.
TEST(CrcChoice, ConcurrentFirstCallsAllGetTheSameMethodAndValue)
{
    constexpr int kThreads = 8;
    std::string bytes = RandomBytes(100000, 31);
    uint32_t expected = ReferenceCrcUpdate(0xFFFFFFFFu, bytes.data(), bytes.size());
    const CrcMethod* seen[kThreads] = {};
    uint32_t got[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            got[t] = CrcUpdate(0xFFFFFFFFu, reinterpret_cast<const uint8_t*>(bytes.data()),
                               bytes.size());
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
    const CrcMethod *fastest = nullptr, *named = nullptr;
    for (size_t i = 0; i < kCrcMethodCount; ++i)
        if (kCrcMethods[i].supported()) {
            fastest = &kCrcMethods[i];
            if (forced != nullptr && std::strcmp(kCrcMethods[i].name, forced) == 0)
                named = &kCrcMethods[i];
        }
    std::printf("%s=%s; CrcUpdate runs %s\n", kCrcMethodVariable, forced ? forced : "(unset)",
                ChosenCrcMethod().name);
    EXPECT_STREQ(ChosenCrcMethod().name, (named ? named : fastest)->name);
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
}

}  // namespace
