// The work of the engine's two timers with 16 applications playing: one meter
// tick (thirty a second), with the popover's rows following the levels (open)
// or not (closed), and one refresh (every 1.5 s) with the rows' model
// attached, as in the running program.

#include "display_list_model.h"
#include "support/simulated_scene.h"

#include <benchmark/benchmark.h>

#include <atomic>

extern std::atomic<long> benchAllocations;

namespace {

constexpr int kApplications = 16;

struct SixteenPlaying {
    SimulatedScene scene;
    std::unique_ptr<RavletEngine> engine;
    DisplayListModel rows;

    // tapped: each application away from unity gain, so all 16 are mixed
    // and metered.
    explicit SixteenPlaying(bool tapped)
    {
        for (int i = 0; i < kApplications; ++i) {
            // A slow tone: its peak, and so its level, moves from tick to tick.
            scene.addApp(QStringLiteral("App%1").arg(i, 2, 10, QLatin1Char('0')), 100 + i,
                         SimulatedAudioHardware::Signal::sine(1.0f + float(i), 0.5f));
        }
        engine = scene.makeEngine();
        engine->appTimer().stop();
        engine->meterTimer().stop();
        if (tapped) {
            for (const AudioApp& app : engine->apps())
                engine->setGain(app.id, 0.5f);
        }
        rows.setEngine(engine.get());
    }
};

void BM_MeterTick(benchmark::State& st)
{
    SixteenPlaying playing(true);
    if (playing.engine->activeIDs().size() != kApplications)
        st.SkipWithError("expected 16 tapped applications");
    playing.rows.setMetering(st.range(0) != 0);
    playing.scene.hardware.runCycles(1);
    playing.engine->pumpMeters();

    long allocations = 0;
    for (auto _ : st) {
        st.PauseTiming();
        playing.scene.hardware.runCycles(1);
        const long before = benchAllocations.load();
        st.ResumeTiming();
        playing.engine->pumpMeters();
        allocations += benchAllocations.load() - before;
    }
    st.counters["allocations"] = benchmark::Counter(double(allocations), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_MeterTick)->ArgName("metering")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_RefreshSixteenApplications(benchmark::State& st)
{
    SixteenPlaying playing(st.range(0) != 0);
    for (auto _ : st)
        playing.engine->refresh();
}
BENCHMARK(BM_RefreshSixteenApplications)->ArgName("tapped")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

} // namespace
