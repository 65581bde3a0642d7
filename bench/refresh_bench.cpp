// A refresh over 10, 100 and 1000 audio processes on the simulated hardware;
// the time per process should stay flat as the count grows.

#include "support/simulated_scene.h"

#include <benchmark/benchmark.h>

namespace {

void BM_Refresh(benchmark::State& st)
{
    const int processes = int(st.range(0));
    SimulatedScene scene;
    for (int i = 0; i < processes; ++i) {
        // A mix of single applications and helpers grouped under one bundle.
        const QString bundle = QStringLiteral("/Applications/App %1.app").arg(i % (processes / 2 + 1));
        scene.addProcess(1000 + i, bundle + QStringLiteral("/Contents/MacOS/x%1").arg(i));
    }
    const auto engine = scene.makeEngine();
    engine->appTimer().stop();
    engine->meterTimer().stop();

    for (auto _ : st)
        engine->refresh();

    st.counters["per_process"] =
        benchmark::Counter(double(processes), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Refresh)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

} // namespace
