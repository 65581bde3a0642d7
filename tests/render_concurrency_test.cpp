// The render callback on its own thread against the main thread's gain
// pushes, limiter switches and meter pumps, as they meet in a running setup. Run under
// ThreadSanitizer, this proves the exchange is free of data races.

#include "gain_slots.h"
#include "meters.h"
#include "render.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(RenderConcurrency, GainPushesAndMeterPumpsRaceFreeWithTheIoThread)
{
    constexpr UInt32 kFrames = 512;
    const QStringList ids{QStringLiteral("/Applications/A.app"), QStringLiteral("/Applications/B.app")};
    RenderState state;
    pushSlotGains(state, ids, {{ids[1], 0.5f}}, {});
    state.activeCount.store(2, std::memory_order_relaxed);

    std::atomic<bool> stop{false};
    std::atomic<long> cycles{0};
    std::atomic<bool> sawForeignSample{false};
    std::thread io([&] {
        std::vector<float> a(kFrames * 2, 0.5f), b(kFrames * 2, 0.25f), out(kFrames * 2);
        std::vector<AudioBuffer> inStorage(3), outStorage(2);
        auto* in = reinterpret_cast<AudioBufferList*>(inStorage.data());
        in->mNumberBuffers = 2;
        in->mBuffers[0] = {2, kFrames * 8, a.data()};
        in->mBuffers[1] = {2, kFrames * 8, b.data()};
        auto* output = reinterpret_cast<AudioBufferList*>(outStorage.data());
        output->mNumberBuffers = 1;
        output->mBuffers[0] = {2, kFrames * 8, out.data()};
        while (!stop.load(std::memory_order_relaxed)) {
            render(state, *in, *output);
            // Slot A alternates between gain 1 and mute, B stays at 0.5:
            // every sample is one of the two possible whole mixes.
            const float sample = out[0];
            if (sample != 0.5f * 0.25f && sample != 0.5f + 0.5f * 0.25f)
                sawForeignSample.store(true, std::memory_order_relaxed);
            cycles.fetch_add(1, std::memory_order_relaxed);
        }
    });

    QMap<QString, float> levels;
    float master = 0.0f;
    for (int i = 0;; ++i) {
        // The last pump must come after the I/O thread has surely run.
        const long cyclesDone = cycles.load();
        pushSlotGains(state, ids, {{ids[1], 0.5f}}, {{ids[0], i % 2 == 0}});
        // Within full scale, switching the limiter changes no sample either.
        state.preventClipping.store(i % 3 == 0, std::memory_order_relaxed);
        pumpLevels(state, ids, levels, master);
        (void)ioDiagnosticsLine(state, 2);
        if (i >= 2000 && cyclesDone >= 100)
            break;
    }
    stop.store(true);
    io.join();

    EXPECT_FALSE(sawForeignSample.load());
    EXPECT_GE(levels.value(ids[1]), 0.125f);
    EXPECT_LE(levels.value(ids[1]), 0.125f + 1e-6f);
    EXPECT_LE(master, 0.5f + 1e-6f);
}

} // namespace
