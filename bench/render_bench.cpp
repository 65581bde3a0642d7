// The render callback at 512 frames against a loop that only reads the same
// input samples once: how far the mix is from the cost of touching its input.
// And with "Prevent Clipping": what the limiter costs, and what it makes of
// a boosted tone.

#include "render.h"
#include "support/tone_figures.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <vector>

extern std::atomic<long> benchAllocations;

namespace {

constexpr UInt32 kFrames = 512;

struct Cycle {
    // gainScale 1: sixteen slots sum far past full scale.
    Cycle(int slotCount, bool interleaved, float gainScale = 1.0f)
    {
        const int buffersIn = interleaved ? slotCount : 2 * slotCount;
        const UInt32 channels = interleaved ? 2 : 1;
        for (int b = 0; b < buffersIn; ++b) {
            samples.emplace_back(std::size_t(kFrames) * channels);
            for (std::size_t i = 0; i < samples.back().size(); ++i)
                samples.back()[i] = std::sin(float(i + std::size_t(b) * 7) * 0.01f) * 0.5f;
        }
        inStorage.resize(std::size_t(buffersIn) + 1);
        in = reinterpret_cast<AudioBufferList*>(inStorage.data());
        in->mNumberBuffers = UInt32(buffersIn);
        for (int b = 0; b < buffersIn; ++b)
            in->mBuffers[b] = {channels, UInt32(samples[std::size_t(b)].size() * 4), samples[std::size_t(b)].data()};

        outLeft.resize(std::size_t(kFrames) * (interleaved ? 2 : 1));
        outRight.resize(kFrames);
        outStorage.resize(3);
        out = reinterpret_cast<AudioBufferList*>(outStorage.data());
        if (interleaved) {
            out->mNumberBuffers = 1;
            out->mBuffers[0] = {2, UInt32(outLeft.size() * 4), outLeft.data()};
        } else {
            out->mNumberBuffers = 2;
            out->mBuffers[0] = {1, kFrames * 4, outLeft.data()};
            out->mBuffers[1] = {1, kFrames * 4, outRight.data()};
        }
        for (int s = 0; s < slotCount; ++s)
            state.activeGains[std::size_t(s)].store((0.5f + 0.05f * float(s)) * gainScale);
        state.activeCount.store(slotCount);
    }

    RenderState state;
    std::vector<std::vector<float>> samples;
    std::vector<AudioBuffer> inStorage, outStorage;
    std::vector<float> outLeft, outRight;
    AudioBufferList* in = nullptr;
    AudioBufferList* out = nullptr;
};

// Renders the cycle for as long as the benchmark runs; the allocations made
// meanwhile.
long renderEach(benchmark::State& st, Cycle& cycle)
{
    const long allocationsBefore = benchAllocations.load();
    for (auto _ : st) {
        render(cycle.state, *cycle.in, *cycle.out);
        benchmark::DoNotOptimize(cycle.outLeft.data());
        benchmark::ClobberMemory();
    }
    st.SetItemsProcessed(st.iterations() * st.range(0) * kFrames * 2);
    return benchAllocations.load() - allocationsBefore;
}

void BM_Render(benchmark::State& st)
{
    Cycle cycle(int(st.range(0)), true);
    st.counters["allocations"] = double(renderEach(st, cycle));
}
BENCHMARK(BM_Render)->Arg(1)->Arg(16);

void BM_RenderNonInterleaved(benchmark::State& st)
{
    Cycle cycle(int(st.range(0)), false);
    renderEach(st, cycle);
}
BENCHMARK(BM_RenderNonInterleaved)->Arg(16);

// The limiter at work on every cycle (loud: 1), and looking only, while the
// mix stays within full scale (loud: 0).
void BM_RenderLimiter(benchmark::State& st)
{
    Cycle cycle(int(st.range(0)), true, st.range(1) ? 1.0f : 1.0f / 16.0f);
    cycle.state.preventClipping.store(true);
    st.counters["allocations"] = double(renderEach(st, cycle));
    st.counters["gain"] = cycle.state.limiter.gain();
}
BENCHMARK(BM_RenderLimiter)->ArgNames({"slots", "loud"})->Args({16, 1})->Args({16, 0});

// Reads every input sample of the same cycle once: a plain sum.
void BM_ReferenceRead(benchmark::State& st)
{
    Cycle cycle(int(st.range(0)), true);
    for (auto _ : st) {
        float sum = 0.0f;
        for (const auto& buffer : cycle.samples)
            for (float sample : buffer)
                sum += sample;
        benchmark::DoNotOptimize(sum);
    }
    st.SetItemsProcessed(st.iterations() * st.range(0) * kFrames * 2);
}
BENCHMARK(BM_ReferenceRead)->Arg(1)->Arg(16);

} // namespace

// One application at 150 % playing a 1 kHz tone that peaks at 0.9, at 48 kHz,
// for two seconds with the limiter on; the last half second is measured.
void printLimitedToneFigures()
{
    constexpr double kRate = 48000.0;
    constexpr int kCycles = 2 * 48000 / int(kFrames);
    constexpr std::size_t kMeasured = 24000;
    RenderState state;
    state.activeGains[0].store(1.5f);
    state.activeCount.store(1);
    state.preventClipping.store(true);
    std::vector<float> tone(std::size_t(kFrames) * 2);
    std::vector<float> played(std::size_t(kFrames) * 2);
    std::vector<float> heard;
    AudioBufferList in{1, {{2, UInt32(tone.size() * 4), tone.data()}}};
    AudioBufferList out{1, {{2, UInt32(played.size() * 4), played.data()}}};
    for (int c = 0; c < kCycles; ++c) {
        for (UInt32 f = 0; f < kFrames; ++f) {
            const double frame = double(c) * kFrames + f;
            tone[2 * f] = tone[2 * f + 1] = float(0.9 * std::sin(2.0 * std::numbers::pi * 1000.0 * frame / kRate));
        }
        render(state, in, out);
        heard.insert(heard.end(), played.begin(), played.end());
    }
    heard.erase(heard.begin(), heard.end() - std::ptrdiff_t(kMeasured * 2));
    const ToneFigures figures = measureTone(heard, kRate, 1000.0);
    std::printf("%-52s peak %.6f, fundamental %.6f, THD %.5f %% (%.1f dB)\n",
                "1 kHz at 0.9, 150 %, limiter on:", double(figures.peak), figures.fundamental, figures.thd * 100.0,
                20.0 * std::log10(figures.thd));
}
