// The path every 1.5 s tick takes when nothing changed: 16 tapped
// applications, the wanted list equal to the running one, gains pushed only.
// And how many output cycles a gain change needs to be heard.

#include "support/simulated_scene.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>

extern std::atomic<long> benchAllocations;

namespace {

using Call = SimulatedAudioHardware::Call;
using Signal = SimulatedAudioHardware::Signal;

void BM_ReconcileUnchanged(benchmark::State& st)
{
    SimulatedScene scene;
    for (int i = 0; i < 16; ++i) {
        scene.addApp(QStringLiteral("App%1").arg(i, 2, 10, QLatin1Char('0')), 100 + i);
    }
    const auto engine = scene.makeEngine();
    engine->appTimer().stop();
    engine->meterTimer().stop();
    for (const AudioApp& app : engine->apps())
        engine->setGain(app.id, 0.5f);
    if (engine->activeIDs().size() != 16)
        st.SkipWithError("expected 16 tapped applications");
    const int rebuilds = scene.hardware.callCount(Call::CreateAggregateDevice);

    const long allocationsBefore = benchAllocations.load();
    for (auto _ : st)
        engine->reconcile();
    st.counters["allocations"] =
        benchmark::Counter(double(benchAllocations.load() - allocationsBefore), benchmark::Counter::kAvgIterations);

    if (scene.hardware.callCount(Call::CreateAggregateDevice) != rebuilds)
        st.SkipWithError("an unchanged reconcile rebuilt the setup");
}
BENCHMARK(BM_ReconcileUnchanged)->Unit(benchmark::kMicrosecond);

// Cycles from a gain change until the device plays it, on the simulated
// device (reported as the "cycles" counter; 1 means the very next cycle).
void BM_GainChangeLatency(benchmark::State& st)
{
    SimulatedScene scene;
    const Signal tone = Signal::sine(1000.0f, 0.5f);
    const QString music = scene.addApp(QStringLiteral("Music"), 10, tone);
    const auto engine = scene.makeEngine();
    engine->appTimer().stop();
    engine->meterTimer().stop();
    scene.hardware.runCycles(1);

    int cycles = 0;
    float gain = 0.5f;
    for (auto _ : st) {
        gain = gain == 0.5f ? 0.25f : 0.5f;
        engine->setGain(music, gain);
        cycles = 0;
        for (;;) {
            scene.hardware.runCycles(1);
            ++cycles;
            const std::int64_t frame = scene.hardware.cyclesRun() * SimulatedAudioHardware::kFramesPerCycle - 1;
            const std::vector<float> last = scene.hardware.recentOutput(scene.speakers, 1);
            if (std::fabs(last[0] - gain * tone.sample(frame, 0)) < 1e-6f || cycles > 100)
                break;
        }
    }
    st.counters["cycles"] = cycles;
}
BENCHMARK(BM_GainChangeLatency)->Unit(benchmark::kMicrosecond);

} // namespace
