// The render callback at 512 frames against a loop that only reads the same
// input samples once: how far the mix is from the cost of touching its input.

#include "render.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cmath>
#include <vector>

extern std::atomic<long> benchAllocations;

namespace {

constexpr UInt32 kFrames = 512;

struct Cycle {
    Cycle(int slotCount, bool interleaved)
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
            state.activeGains[std::size_t(s)].store(0.5f + 0.05f * float(s));
        state.activeCount.store(slotCount);
    }

    RenderState state;
    std::vector<std::vector<float>> samples;
    std::vector<AudioBuffer> inStorage, outStorage;
    std::vector<float> outLeft, outRight;
    AudioBufferList* in = nullptr;
    AudioBufferList* out = nullptr;
};

void BM_Render(benchmark::State& st)
{
    Cycle cycle(int(st.range(0)), true);
    const long allocationsBefore = benchAllocations.load();
    for (auto _ : st) {
        render(cycle.state, *cycle.in, *cycle.out);
        benchmark::DoNotOptimize(cycle.outLeft.data());
        benchmark::ClobberMemory();
    }
    st.SetItemsProcessed(st.iterations() * st.range(0) * kFrames * 2);
    st.counters["allocations"] = double(benchAllocations.load() - allocationsBefore);
}
BENCHMARK(BM_Render)->Arg(1)->Arg(16);

void BM_RenderNonInterleaved(benchmark::State& st)
{
    Cycle cycle(int(st.range(0)), false);
    for (auto _ : st) {
        render(cycle.state, *cycle.in, *cycle.out);
        benchmark::DoNotOptimize(cycle.outLeft.data());
        benchmark::ClobberMemory();
    }
    st.SetItemsProcessed(st.iterations() * st.range(0) * kFrames * 2);
}
BENCHMARK(BM_RenderNonInterleaved)->Arg(16);

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
