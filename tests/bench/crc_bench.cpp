// CRC-32 figures: the speed of each method on a buffer in cache, and the
// whole-file CRC beside a loop that only reads the same file in the same
// 500,000-byte chunks, with the ratio of the two.
//
//     crc_bench [benchmark flags] [FILE]
//
// FILE should be large (tools/bench.sh makes 1 GiB) and already in the page
// cache, so that the read-only loop measures copying, not the disk.
#include "crc/crc32_methods.h"
#include "crc/filecrc.h"
#include "platform/platform.h"
#include "test_data.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// Fits the second-level cache of any CPU that runs the vector methods.
constexpr size_t kCachedBytes = 64 * 1024;

constexpr int kFileRepetitions = 5;  // the ratio compares the medians
constexpr char kReadOnlyName[] = "file/read_only";
constexpr char kCalcFileCrcName[] = "file/CalcFileCrc";
constexpr char kRateCounter[] = "GB/s";  // decimal, as in the ratio line

alignas(64) uint8_t ReadOnlyBuffer[kReadChunkBytes];

void CountBytes(benchmark::State& state, uint64_t bytes)
{
    state.counters[kRateCounter] =
        benchmark::Counter(static_cast<double>(bytes) / 1e9, benchmark::Counter::kIsRate);
}

void MethodOnCachedBuffer(benchmark::State& state, const CrcMethod* method)
{
    std::string bytes = RandomBytes(kCachedBytes, 1);
    uint32_t reg = 0xFFFFFFFFu;
    for (auto _ : state) {
        reg = method->update(reg, reinterpret_cast<const uint8_t*>(bytes.data()), kCachedBytes);
        benchmark::DoNotOptimize(reg);
    }
    CountBytes(state, state.iterations() * kCachedBytes);
}

// Returns the bytes read.
uint64_t ReadWholeFile(const char* path)
{
    PlatformFile file;
    if (!OpenFileForRead(path, TextEncoding::kCodePage, &file))
        return 0;
    uint64_t total = 0;
    while (uint32_t got = ReadFileChunk(file, ReadOnlyBuffer, kReadChunkBytes)) {
        benchmark::DoNotOptimize(ReadOnlyBuffer[got - 1]);
        total += got;
    }
    CloseFile(file);
    return total;
}

void ReadOnly(benchmark::State& state, const std::string& path)
{
    uint64_t bytes = 0;
    for (auto _ : state)
        bytes += ReadWholeFile(path.c_str());
    CountBytes(state, bytes);
}

void WholeFileCrc(benchmark::State& state, const std::string& path, uint64_t size)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(CalcFileCrc(path.c_str(), TextEncoding::kCodePage));
    CountBytes(state, state.iterations() * size);
}

// Prints as the console does and keeps the median rate of the two file runs.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median")
                continue;
            auto rate = run.counters.find(kRateCounter);
            if (rate == run.counters.end())
                continue;
            if (run.run_name.function_name == kReadOnlyName)
                read_only_rate = rate->second;
            else if (run.run_name.function_name == kCalcFileCrcName)
                crc_rate = rate->second;
        }
    }
    double read_only_rate = 0;
    double crc_rate = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    std::printf("CrcUpdate runs %s\n", ChosenCrcMethod().name);
    for (size_t i = 0; i < kCrcMethodCount; ++i)
        if (kCrcMethods[i].supported())
            benchmark::RegisterBenchmark(("cached_64KiB/" + std::string(kCrcMethods[i].name)).c_str(),
                                         MethodOnCachedBuffer, &kCrcMethods[i]);

    std::string path = argc > 1 ? argv[1] : "";
    uint64_t size = path.empty() ? 0 : ReadWholeFile(path.c_str());
    if (size > 0) {
        std::printf("file %s, %llu bytes, read in chunks of %u\n", path.c_str(),
                    static_cast<unsigned long long>(size), kReadChunkBytes);
        for (benchmark::internal::Benchmark* file_run :
             {benchmark::RegisterBenchmark(kReadOnlyName, ReadOnly, path),
              benchmark::RegisterBenchmark(kCalcFileCrcName, WholeFileCrc, path, size)})
            file_run->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(kFileRepetitions);
    }

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (reporter.read_only_rate > 0 && reporter.crc_rate > 0)
        std::printf("whole-file CRC / read-only loop: %.2f GB/s / %.2f GB/s = %.2fx\n",
                    reporter.crc_rate, reporter.read_only_rate,
                    reporter.crc_rate / reporter.read_only_rate);
    benchmark::Shutdown();
    return 0;
}
