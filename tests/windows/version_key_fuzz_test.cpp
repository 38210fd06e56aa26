// Randomised keys through GetDllVersion: keys of any bytes and any length up
// to the host buffer, mutated from the real keys or drawn at random, with a
// fixed seed so that a failure repeats. Each answer must be "?" (written as
// two bytes, the rest of the key left alone) or one of the resource's values,
// and nothing past the result may change.
//
// TALLOWIX_FUZZ_RUNS sets the number of keys (default: 200,000 on x64, 2,000
// on x86, whose Wine runs under emulation); TALLOWIX_FUZZ_SEED the seed.
#include "harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <set>
#include <string>

namespace {

#if defined(_WIN64)
constexpr unsigned kDefaultRuns = 200000;
#else
constexpr unsigned kDefaultRuns = 2000;
#endif

const char* const kKeys[] = {"CompanyName", "FileDescription", "FileVersion", "InternalName",
                             "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion"};

unsigned EnvOr(const char* name, unsigned fallback)
{
    const char* text = getenv(name);
    return text != nullptr ? static_cast<unsigned>(strtoul(text, nullptr, 10)) : fallback;
}

std::string MakeKey(std::mt19937& rng)
{
    auto pick = [&](size_t n) { return static_cast<size_t>(rng() % n); };
    auto any_byte = [&] { return static_cast<char>(1 + pick(255)); };
    std::string key = kKeys[pick(8)];
    switch (pick(6)) {
    case 0:  // flip a few bytes of a real key
        for (size_t i = pick(3) + 1; i > 0; --i)
            key[pick(key.size())] = any_byte();
        break;
    case 1:  // cut it short
        key.resize(pick(key.size() + 1));
        break;
    case 2:  // extend it with random bytes, often across the 230-byte key limit
        for (size_t n = pick(2) ? 200 + pick(60) : pick(40); n > 0; --n)
            key += any_byte();
        break;
    case 3:  // random bytes of any length the host buffer holds
        key.clear();
        for (size_t n = pick(4) ? pick(300) : pick(kHostBufferBytes); n > 0; --n)
            key += any_byte();
        break;
    case 4:  // path-like keys that reach other parts of the resource
        key = std::string(pick(2) ? "\\" : "") + "..\\VarFileInfo\\" + key + (pick(2) ? "\\" : "");
        break;
    default:  // letter case changed
        for (char& c : key)
            if (pick(2))
                c = static_cast<char>(c ^ 0x20);
        break;
    }
    return key;
}

TEST(VersionKeyFuzz, EveryKeyAnswersAValueOrQuestionMarkWithinItsBytes)
{
    std::set<std::string> values;
    for (const char* key : kKeys)
        values.insert(CallHost("GetDllVersion", key).Text());
    ASSERT_EQ(values.count("1.01"), 1u);

    unsigned runs = EnvOr("TALLOWIX_FUZZ_RUNS", kDefaultRuns);
    unsigned seed = EnvOr("TALLOWIX_FUZZ_SEED", 20261208);
    std::mt19937 rng(seed);
    unsigned answered = 0;
    for (unsigned i = 0; i < runs; ++i) {
        std::string key = MakeKey(rng);
        HostCall call = CallHost("GetDllVersion", key);
        ASSERT_EQ(call.result, 3) << "run " << i;
        ASSERT_TRUE(call.guard_intact) << "run " << i << ", key of " << key.size() << " bytes";
        std::string text = call.Text();
        if (text == "?") {
            // Only the question mark and its terminator replace the key.
            ASSERT_TRUE(call.UnchangedFrom(2)) << "run " << i;
        } else {
            ASSERT_EQ(values.count(text), 1u) << "run " << i << " answered " << text;
            ++answered;
        }
    }
    printf("version key fuzz: %u keys (seed %u), %u answered with a value\n", runs, seed, answered);
}

}  // namespace
