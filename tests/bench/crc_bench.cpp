// CRC-32 figures: the speed of each method on a buffer in cache, and the
// whole-file CRC beside a loop that only reads the same file in the same
// 500,000-byte chunks, with the ratio of the two; and what it costs a caller
// to wait for a read buffer while four others read slow files.
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

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// Fits the second-level cache of any CPU that runs the vector methods.
constexpr size_t kCachedBytes = 64 * 1024;

constexpr int kFileRepetitions = 5;  // the ratio compares the medians
constexpr char kReadOnlyName[] = "file/read_only";
constexpr char kCalcFileCrcName[] = "file/CalcFileCrc";
constexpr char kRateCounter[] = "GB/s";  // decimal, as in the ratio line

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
                benchmark::DoNotOptimize(CalcFileCrc(fifo.c_str(), TextEncoding::kCodePage));
            });
        }
        std::this_thread::sleep_for(kClaimHeadStart);
        state.ResumeTiming();
        benchmark::DoNotOptimize(CalcFileCrc(kEmptyFile, TextEncoding::kCodePage));
        state.PauseTiming();
        for (std::thread& thread : busy)
            thread.join();
        state.ResumeTiming();
    }
    for (const std::string& fifo : fifos)
        unlink(fifo.c_str());
    rmdir(dir);
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

    benchmark::RegisterBenchmark("pool/caller_waiting_for_a_buffer", CallerWaitingForABuffer)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(kFileRepetitions);

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
