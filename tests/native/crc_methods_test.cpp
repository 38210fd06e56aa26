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
        if (!Method().supported(ReadCpuFeatures()))
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
    EXPECT_TRUE(kCrcMethods[0].supported(CpuFeatures()));
    for (size_t i = 0; i < kCrcMethodCount; ++i)
        std::printf("method %-10s %s\n", kCrcMethods[i].name,
                    kCrcMethods[i].supported(ReadCpuFeatures()) ? "runs here" : "cannot run here");
}

#if defined(__x86_64__) || defined(__i386__)
// The choice as a function of what cpuid and XGETBV report, fed combinations
// no CPU or emulator here offers.
constexpr uint32_t kPclmul = 1u << 1, kSse41 = 1u << 19, kOsxsave = 1u << 27, kAvx = 1u << 28;
constexpr uint32_t kAvx2 = 1u << 5, kAvx512f = 1u << 16, kVpclmul = 1u << 10;
constexpr uint32_t kLeaf1All = kPclmul | kSse41 | kOsxsave | kAvx;

struct ChoiceRow {
    CpuFeatures cpu;
    const char* forced;
    const char* chosen;
    const char* why;
};

const ChoiceRow kChoiceRows[] = {
    {{}, nullptr, "portable", "nothing reported"},
    {{kPclmul, 0, 0, 0}, nullptr, "portable", "PCLMULQDQ without SSE4.1"},
    {{kPclmul | kSse41, 0, 0, 0}, nullptr, "pclmul", "PCLMULQDQ and SSE4.1"},
    {{kLeaf1All, kAvx2, kVpclmul, 0x6}, nullptr, "vpclmul256", "AVX2, VPCLMULQDQ, AVX state"},
    {{kLeaf1All, 0, kVpclmul, 0x6}, nullptr, "pclmul", "VPCLMULQDQ without AVX2"},
    {{kLeaf1All & ~kOsxsave, kAvx2 | kAvx512f, kVpclmul, 0xE7}, nullptr, "pclmul",
     "OSXSAVE off: XCR0 cannot be trusted"},
    {{kLeaf1All & ~kAvx, kAvx2, kVpclmul, 0x6}, nullptr, "pclmul", "no AVX"},
    {{kLeaf1All, kAvx2, kVpclmul, 0x2}, nullptr, "pclmul", "the AVX state not saved"},
    {{kLeaf1All, kAvx2 | kAvx512f, kVpclmul, 0xE7}, nullptr, "vpclmul512", "AVX-512F and its state"},
    {{kLeaf1All, kAvx2, kVpclmul, 0xE7}, nullptr, "vpclmul256", "the AVX-512 state without AVX512F"},
    {{kLeaf1All, kAvx2 | kAvx512f, kVpclmul, 0x67}, nullptr, "vpclmul256", "XCR0 lacks bit 7"},
    {{kLeaf1All, kAvx2 | kAvx512f, 0, 0xE7}, nullptr, "pclmul", "AVX-512 without VPCLMULQDQ"},
    {{kLeaf1All, kAvx2 | kAvx512f, kVpclmul, 0xE7}, "pclmul", "pclmul", "forced and runnable"},
    {{kLeaf1All, kAvx2, kVpclmul, 0x6}, "vpclmul512", "vpclmul256", "forced but not runnable"},
    {{kPclmul | kSse41, 0, 0, 0}, "none", "pclmul", "forced name of no method"},
};

class ChoiceRows : public testing::TestWithParam<ChoiceRow> {};

TEST_P(ChoiceRows, PicksTheFastestMethodTheReportedValuesAllow)
{
    const ChoiceRow& row = GetParam();
    EXPECT_STREQ(ChooseCrcMethod(row.cpu, row.forced).name, row.chosen) << row.why;
}

INSTANTIATE_TEST_SUITE_P(Table, ChoiceRows, testing::ValuesIn(kChoiceRows));
#endif

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
        if (kCrcMethods[i].supported(ReadCpuFeatures())) {
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
