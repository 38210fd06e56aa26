// CRC-32 figures: the speed of each method on a buffer in cache, and the
// whole-file CRC beside a loop that only reads the same file in the same
// 500,000-byte chunks, with the ratio of the two. Two other libraries' CRC-32
// run in the same process as anchors: ISA-L's crc32_gzip_refl (Intel's
// folding code in assembly, AVX-512 where the CPU has it) and zlib's crc32.
// Also what it costs a caller to wait for a read buffer while four others
// read slow files.
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
#include <isa-l/crc.h>
#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Fits the second-level cache of any CPU that runs the vector methods.
constexpr size_t kCachedBytes = 64 * 1024;

constexpr int kRepetitions = 5;  // the figures are the medians
constexpr char kCachedPrefix[] = "cached_64KiB/";
constexpr char kFilePrefix[] = "file/";
constexpr char kReadOnlyName[] = "read_only";
constexpr char kCalcFileCrcName[] = "CalcFileCrc";
constexpr char kIsalName[] = "isal_crc32_gzip_refl";
constexpr char kZlibName[] = "zlib_crc32";
constexpr char kRateCounter[] = "GB/s";  // decimal, as in the ratio lines

// The slow files: each a FIFO that a writer fills with kSlowChunks chunks,
// pausing between them, so that its reader is mostly blocked, as one reading
// a large file from a disk is.
constexpr int kBusyCallers = 4;  // as many as the pool has read buffers
constexpr int kSlowChunks = 20;
constexpr size_t kSlowChunkBytes = 64 * 1024;
constexpr auto kSlowChunkPause = std::chrono::milliseconds(10);
// Time the busy callers get to claim their buffers before one more comes.
constexpr auto kClaimHeadStart = std::chrono::milliseconds(20);
// An empty file: all the last caller spends, it spends waiting.
constexpr char kEmptyFile[] = "/dev/null";

alignas(64) uint8_t ReadBuffer[kReadChunkBytes];

// A CRC-32 update of another library, on the raw register as CrcUpdate
// takes it; both libraries keep the register complemented between calls.
uint32_t IsalUpdate(uint32_t reg, const uint8_t* data, size_t length)
{
    return ~crc32_gzip_refl(~reg, data, length);
}

uint32_t ZlibUpdate(uint32_t reg, const uint8_t* data, size_t length)
{
    return ~static_cast<uint32_t>(crc32_z(~reg, data, length));
}

const CrcMethod kAnchors[] = {
    {kIsalName, IsalUpdate, nullptr},
    {kZlibName, ZlibUpdate, nullptr},
};

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

// Reads the whole file in CalcFileCrc's chunks, each through `update` when
// given; returns the bytes read.
uint64_t ReadWholeFile(const char* path, CrcUpdateFunction update)
{
    PlatformFile file;
    if (!OpenFileForRead(path, &file))
        return 0;
    uint64_t total = 0;
    uint32_t reg = 0xFFFFFFFFu;
    while (uint32_t got = ReadFileChunk(file, ReadBuffer, kReadChunkBytes)) {
        if (update != nullptr)
            reg = update(reg, ReadBuffer, got);
        benchmark::DoNotOptimize(ReadBuffer[got - 1]);
        total += got;
    }
    benchmark::DoNotOptimize(reg);
    CloseFile(file);
    return total;
}

void WholeFile(benchmark::State& state, const std::string& path, CrcUpdateFunction update)
{
    uint64_t bytes = 0;
    for (auto _ : state)
        bytes += ReadWholeFile(path.c_str(), update);
    CountBytes(state, bytes);
}

void WholeFileCrc(benchmark::State& state, const std::string& path, uint64_t size)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(CalcFileCrc(path.c_str()));
    CountBytes(state, state.iterations() * size);
}

void FeedSlowly(const std::string& fifo)
{
    static const std::string chunk(kSlowChunkBytes, 'x');
    int fd = open(fifo.c_str(), O_WRONLY);
    for (int i = 0; fd >= 0 && i < kSlowChunks; ++i) {
        if (write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size()))
            break;
        std::this_thread::sleep_for(kSlowChunkPause);
    }
    if (fd >= 0)
        close(fd);
}

// One more caller while kBusyCallers others each read a slow file. Only its
// call is timed: real time is how long it waited for a read buffer, CPU time
// what the wait cost it.
void CallerWaitingForABuffer(benchmark::State& state)
{
    char dir[] = "/tmp/tallowix-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    std::vector<std::string> fifos;
    for (int i = 0; i < kBusyCallers; ++i) {
        fifos.push_back(std::string(dir) + "/slow" + std::to_string(i));
        if (mkfifo(fifos.back().c_str(), 0600) != 0)
            state.SkipWithError("no FIFO");
    }
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::thread> busy;
        for (const std::string& fifo : fifos) {
            busy.emplace_back(FeedSlowly, fifo);
            busy.emplace_back([&fifo] {
                benchmark::DoNotOptimize(CalcFileCrc(fifo.c_str()));
            });
        }
        std::this_thread::sleep_for(kClaimHeadStart);
        state.ResumeTiming();
        benchmark::DoNotOptimize(CalcFileCrc(kEmptyFile));
        state.PauseTiming();
        for (std::thread& thread : busy)
            thread.join();
        state.ResumeTiming();
    }
    for (const std::string& fifo : fifos)
        unlink(fifo.c_str());
    rmdir(dir);
}

// Prints as the console does and keeps the median rate of every run, in the
// order they ran.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median")
                continue;
            auto rate = run.counters.find(kRateCounter);
            if (rate != run.counters.end())
                medians.emplace_back(run.run_name.function_name, rate->second);
        }
    }

    // Each figure of a group with its ratio to the group's `base`.
    void PrintRatios(const char* title, const std::string& prefix, const std::string& base) const
    {
        double base_rate = 0;
        for (const auto& [name, rate] : medians)
            if (name == prefix + base)
                base_rate = rate;
        if (base_rate == 0)
            return;
        std::printf("%s (median GB/s, ratio to %s):\n", title, base.c_str());
        for (const auto& [name, rate] : medians)
            if (name.compare(0, prefix.size(), prefix) == 0)
                std::printf("  %-22s %7.2f  %5.2fx\n", name.c_str() + prefix.size(), rate,
                            rate / base_rate);
    }

    std::vector<std::pair<std::string, double>> medians;
};

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    std::printf("CrcUpdate runs %s\n", ChosenCrcMethod().name);
    // An anchor that computed another function would make its figures meaningless.
    std::string sample = RandomBytes(kCachedBytes, 2);
    const auto* sample_bytes = reinterpret_cast<const uint8_t*>(sample.data());
    for (const CrcMethod& anchor : kAnchors)
        if (anchor.update(0x12345678u, sample_bytes, sample.size()) !=
            CrcUpdate(0x12345678u, sample_bytes, sample.size())) {
            std::fprintf(stderr, "crc_bench: %s disagrees with CrcUpdate\n", anchor.name);
            return 1;
        }
    std::vector<const CrcMethod*> cached;
    for (size_t i = 0; i < kCrcMethodCount; ++i)
        if (kCrcMethods[i].supported(ReadCpuFeatures()))
            cached.push_back(&kCrcMethods[i]);
    for (const CrcMethod& anchor : kAnchors)
        cached.push_back(&anchor);
    for (const CrcMethod* method : cached)
        benchmark::RegisterBenchmark((kCachedPrefix + std::string(method->name)).c_str(),
                                     MethodOnCachedBuffer, method)
            ->Repetitions(kRepetitions)
            ->ReportAggregatesOnly(true);

    benchmark::RegisterBenchmark("pool/caller_waiting_for_a_buffer", CallerWaitingForABuffer)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(kRepetitions);

    std::string path = argc > 1 ? argv[1] : "";
    uint64_t size = path.empty() ? 0 : ReadWholeFile(path.c_str(), nullptr);
    if (size > 0) {
        std::printf("file %s, %llu bytes, read in chunks of %u\n", path.c_str(),
                    static_cast<unsigned long long>(size), kReadChunkBytes);
        const std::string file = kFilePrefix;
        for (benchmark::internal::Benchmark* file_run :
             {benchmark::RegisterBenchmark((file + kReadOnlyName).c_str(), WholeFile, path,
                                           nullptr),
              benchmark::RegisterBenchmark((file + kCalcFileCrcName).c_str(), WholeFileCrc, path,
                                           size),
              benchmark::RegisterBenchmark((file + kIsalName).c_str(), WholeFile, path,
                                           IsalUpdate),
              benchmark::RegisterBenchmark((file + kZlibName).c_str(), WholeFile, path,
                                           ZlibUpdate)})
            file_run->UseRealTime()
                ->Unit(benchmark::kMillisecond)
                ->Repetitions(kRepetitions)
                ->ReportAggregatesOnly(true);
    }

    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    reporter.PrintRatios("compute, 64 KiB in cache", kCachedPrefix, kIsalName);
    reporter.PrintRatios("whole file, read in 500,000-byte chunks", kFilePrefix, kReadOnlyName);
    benchmark::Shutdown();
    return 0;
}
