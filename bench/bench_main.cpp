// Runs the benchmarks inside a QCoreApplication and prints the ratios that
// matter next to the raw figures.

#include <QCoreApplication>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <initializer_list>
#include <string>

// Counts heap allocations, so a benchmark can report how many one call
// makes. Qt allocates with malloc rather than operator new, so it is malloc
// that is counted, forwarding to the C library's own entry points.
std::atomic<long> benchAllocations{0};

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);

void* malloc(std::size_t size)
{
    benchAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}

void* calloc(std::size_t count, std::size_t size)
{
    benchAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}

void* realloc(void* pointer, std::size_t size)
{
    benchAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(pointer, size);
}
}

namespace {

// Google Benchmark 1.8 replaced a run's error_occurred with skipped.
template <typename R>
bool runFailed(const R& run)
{
    if constexpr (requires { run.skipped; })
        return static_cast<bool>(run.skipped);
    else
        return run.error_occurred;
}

// Keeps each benchmark's time per iteration for the summary.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !runFailed(run)) {
                const double unit = benchmark::GetTimeUnitMultiplier(run.time_unit);
                times[run.benchmark_name()] = run.GetAdjustedRealTime() / unit * 1e9;
                cpuTimes[run.benchmark_name()] = run.GetAdjustedCPUTime() / unit * 1e9;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;      // nanoseconds per iteration
    std::map<std::string, double> cpuTimes;   // the same in the thread's CPU time, which other
                                              // programs on a busy machine do not stretch
};

void printRatio(const RecordingReporter& reporter, const char* label, const std::string& a, const std::string& b,
                bool cpu = false)
{
    const std::map<std::string, double>& times = cpu ? reporter.cpuTimes : reporter.times;
    const auto x = times.find(a);
    const auto y = times.find(b);
    if (x == times.end() || y == times.end() || y->second <= 0)
        return;
    std::printf("%-52s %.2f\n", label, x->second / y->second);
}

void printMicros(const RecordingReporter& reporter, const char* label, const std::string& name)
{
    const auto found = reporter.times.find(name);
    if (found != reporter.times.end())
        std::printf("%-52s %.2f us\n", label, found->second / 1000.0);
}

// How one benchmark's time per item moves with its size: flat is linear.
void printPerItem(const RecordingReporter& reporter, const char* label, const std::string& name,
                  std::initializer_list<int> sizes)
{
    std::string figures;
    for (const int size : sizes) {
        const auto found = reporter.times.find(name + "/" + std::to_string(size));
        if (found == reporter.times.end())
            return;
        const double micros = found->second / 1000.0 / size;
        char figure[64];
        std::snprintf(figure, sizeof figure, "%s%d: %.2f us", figures.empty() ? "" : ", ", size, micros);
        figures += figure;
    }
    std::printf("%-52s %s\n", (std::string(label) + ":").c_str(), figures.c_str());
}

} // namespace

void printLimitedToneFigures();   // render_bench.cpp

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nSummary\n");
    printRatio(reporter, "render 16 slots / reference read (aim <= 1.5):", "BM_Render/16", "BM_ReferenceRead/16");
    printRatio(reporter, "render 1 slot / reference read:", "BM_Render/1", "BM_ReferenceRead/1");
    printRatio(reporter, "render 16 slots non-interleaved / reference read:", "BM_RenderNonInterleaved/16",
               "BM_ReferenceRead/16");
    printRatio(reporter, "render 16, limiter limiting / off, CPU (aim <= 1.3):",
               "BM_RenderLimiter/slots:16/loud:1", "BM_Render/16", true);
    printRatio(reporter, "render 16, limiter below full scale / off, CPU:", "BM_RenderLimiter/slots:16/loud:0",
               "BM_Render/16", true);
    printLimitedToneFigures();
    const auto small = reporter.times.find("BM_Refresh/10");
    const auto large = reporter.times.find("BM_Refresh/1000");
    if (small != reporter.times.end() && large != reporter.times.end())
        std::printf("%-52s %.2f\n", "refresh time per process, 1000 / 10 (1 = linear):",
                    (large->second / 1000) / (small->second / 10));
    printMicros(reporter, "meter tick, 16 tapped, rows following (aim <= 20):", "BM_MeterTick/metering:1");
    printMicros(reporter, "meter tick, 16 tapped, nobody following:", "BM_MeterTick/metering:0");
    printMicros(reporter, "refresh, 16 running applications, rows attached:", "BM_RefreshSixteenApplications/tapped:1");
    printPerItem(reporter, "linux refresh, warm, time per process", "BM_LinuxRefreshWarm", {50, 200, 800});
    printPerItem(reporter, "linux refresh, cold, time per process", "BM_LinuxRefreshCold", {50, 200, 800});
    return 0;
}
