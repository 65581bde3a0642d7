// The mix of one I/O cycle, checked sample by sample.

#include "gain_slots.h"
#include "render.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <memory>
#include <vector>

namespace {

// A buffer list built from vectors that each hold exactly their samples, so
// that a read or write past any buffer is an AddressSanitizer error.
class Buffers {
public:
    // Adds a buffer of `channels` interleaved channels and `frames` frames.
    float* add(UInt32 channels, UInt32 frames, float fill = 0.0f)
    {
        m_data.push_back(std::make_unique<std::vector<float>>(std::size_t(std::max<UInt32>(channels, 1)) * frames, fill));
        m_shapes.push_back({channels, UInt32(m_data.back()->size() * sizeof(float)), m_data.back()->data()});
        return m_data.back()->data();
    }
    // A buffer with a data pointer but no bytes, or no data pointer at all.
    void addEmpty(UInt32 channels, bool withPointer)
    {
        m_data.push_back(std::make_unique<std::vector<float>>(1, 7.0f));
        m_shapes.push_back({channels, 0, withPointer ? m_data.back()->data() : nullptr});
    }

    AudioBufferList& list()
    {
        m_storage.assign(audioBufferListSize(UInt32(m_shapes.size())) / sizeof(AudioBuffer) + 1, AudioBuffer{});
        auto* list = reinterpret_cast<AudioBufferList*>(m_storage.data());
        list->mNumberBuffers = UInt32(m_shapes.size());
        for (std::size_t i = 0; i < m_shapes.size(); ++i)
            list->mBuffers[i] = m_shapes[i];
        return *list;
    }

    std::vector<float>& samples(std::size_t i) { return *m_data[i]; }

private:
    std::vector<std::unique_ptr<std::vector<float>>> m_data;
    std::vector<AudioBuffer> m_shapes;
    std::vector<AudioBuffer> m_storage;
};

class RenderTest : public testing::Test {
protected:
    void setSlots(std::initializer_list<float> gains)
    {
        int i = 0;
        for (float gain : gains)
            state.activeGains[std::size_t(i++)].store(gain);
        state.activeCount.store(int(gains.size()));
    }
    float meter(int i) const { return state.meterBuf[std::size_t(i)].load(); }

    RenderState state;
    Buffers in;
    Buffers out;
};

// Two taps after the output device's own inputs (every one of them 0.9),
// each delivered as one interleaved buffer or as separate mono buffers, with
// a buffer without data in front that counts for nothing. Large interfaces
// have 64 inputs and more: the taps are still the last channels. The left
// sides are negative and louder than the right: the first tap peaks in its
// first frame, inside the four-wide loop, the second in its last frame, among
// the frames left over after it.
TEST(RenderLayout, MixesTheTapsFromTheLastChannelsHoweverManyInputsTheDeviceHas)
{
    constexpr UInt32 kFrames = 7;
    constexpr float kGains[2] = {0.5f, 2.0f};
    std::vector<float> taps[2];
    float peaks[2] = {0, 0};
    for (int t = 0; t < 2; ++t) {
        for (UInt32 f = 0; f < kFrames; ++f) {
            const float left = -(0.3f + 0.2f * float(t) + (t == 0 ? -0.01f : 0.01f) * float(f));
            taps[t].insert(taps[t].end(), {left, -left / 2});
            peaks[t] = std::max(peaks[t], std::fabs(kGains[t] * left));
        }
    }
    for (const UInt32 inputs : {0u, 2u, 62u, 64u, 128u}) {
        for (const bool interleaved : {true, false}) {
            SCOPED_TRACE(testing::Message() << inputs << " device inputs, " << (interleaved ? "interleaved" : "separate"));
            Buffers in, out;
            in.addEmpty(2, false);
            if (interleaved && inputs > 0)
                in.add(inputs, kFrames, 0.9f);
            for (UInt32 i = 0; !interleaved && i < inputs; ++i)
                in.add(1, kFrames, 0.9f);
            for (const std::vector<float>& tap : taps) {
                if (interleaved) {
                    std::copy(tap.begin(), tap.end(), in.add(2, kFrames));
                    continue;
                }
                for (int side = 0; side < 2; ++side) {
                    float* channel = in.add(1, kFrames);
                    for (UInt32 f = 0; f < kFrames; ++f)
                        channel[f] = tap[2 * f + side];
                }
            }
            out.add(2, kFrames, 9.0f);   // stale samples must be cleared
            RenderState state;
            state.activeGains[0].store(kGains[0]);
            state.activeGains[1].store(kGains[1]);
            state.activeCount.store(2);
            render(state, in.list(), out.list());

            for (UInt32 i = 0; i < 2 * kFrames; ++i)
                EXPECT_FLOAT_EQ(out.samples(0)[i], kGains[0] * taps[0][i] + kGains[1] * taps[1][i]) << "sample " << i;
            EXPECT_FLOAT_EQ(state.meterBuf[0].load(), peaks[0]);
            EXPECT_FLOAT_EQ(state.meterBuf[1].load(), peaks[1]);
            EXPECT_FLOAT_EQ(state.meterBuf[kMasterMeter].load(), std::max(peaks[0], peaks[1]));
            EXPECT_EQ(state.diagNch.load(), int(inputs) + 4);
            EXPECT_EQ(state.diagOffset.load(), int(inputs));
            // The device's own channels are measured, never mixed.
            EXPECT_FLOAT_EQ(state.diagPeaks[0].load(), inputs > 0 ? 0.9f : 0.3f);
        }
    }
}

TEST_F(RenderTest, MutedSlotIsSilentAndMeasuresZeroWhileSumsAreNeitherClippedNorEverNaN)
{
    in.add(2, 4, 1.0f);
    in.add(2, 4, 0.75f);
    in.add(2, 4, 0.5f);
    out.add(2, 4);
    setSlots({0.0f, 1.0f, 1.0f});
    render(state, in.list(), out.list());
    EXPECT_EQ(out.samples(0), std::vector<float>(8, 1.25f));
    EXPECT_FLOAT_EQ(meter(0), 0.0f);
    EXPECT_FLOAT_EQ(meter(kMasterMeter), 0.75f);

    Buffers extremes, sum;
    extremes.add(2, 4, FLT_MAX);
    extremes.add(2, 4, -FLT_MAX);
    sum.add(2, 4);
    setSlots({1.5f, 1.5f});
    render(state, extremes.list(), sum.list());
    for (float sample : sum.samples(0))
        EXPECT_FALSE(std::isnan(sample));
    EXPECT_TRUE(std::isfinite(meter(kMasterMeter)));
}

TEST_F(RenderTest, MonoOutputGetsLeftPlusRightAndNonInterleavedOutputItsFirstTwoBuffers)
{
    in.add(1, 4, 0.25f);
    in.add(1, 4, 0.5f);
    out.add(1, 4);
    setSlots({1.0f});
    render(state, in.list(), out.list());
    EXPECT_EQ(out.samples(0), std::vector<float>(4, 0.75f));

    Buffers split;
    for (int i = 0; i < 3; ++i)
        split.add(1, 4, 3.0f);
    render(state, in.list(), split.list());
    EXPECT_EQ(split.samples(0), std::vector<float>(4, 0.25f));
    EXPECT_EQ(split.samples(1), std::vector<float>(4, 0.5f));
    EXPECT_EQ(split.samples(2), std::vector<float>(4, 0.0f));
}

TEST_F(RenderTest, MixesOnlySlotsWhoseChannelsExistAndWithNoOutputTouchesNothing)
{
    in.add(2, 4, 1.0f);
    out.add(2, 4, 5.0f);
    state.meterBuf[0].store(0.7f);
    state.meterBuf[kMasterMeter].store(0.7f);
    state.activeCount.store(0);
    render(state, in.list(), out.list());

    EXPECT_EQ(out.samples(0), std::vector<float>(8, 0.0f));
    EXPECT_FLOAT_EQ(meter(0), 0.7f);
    EXPECT_FLOAT_EQ(meter(kMasterMeter), 0.7f);

    // Three slots on one pair of channels: the first is mixed, the others
    // keep their meters.
    state.meterBuf[1].store(0.33f);
    setSlots({0.5f, 1.0f, 1.0f});
    render(state, in.list(), out.list());
    EXPECT_EQ(out.samples(0), std::vector<float>(8, 0.5f));
    EXPECT_FLOAT_EQ(meter(1), 0.33f);
    EXPECT_FLOAT_EQ(meter(kMasterMeter), 0.5f);

    AudioBufferList empty{0, {{0, 0, nullptr}}};
    state.diagNch.store(-1);
    setSlots({1.0f});
    render(state, in.list(), empty);
    EXPECT_EQ(state.diagNch.load(), -1);
    EXPECT_FLOAT_EQ(meter(0), 0.5f);
    EXPECT_FLOAT_EQ(meter(kMasterMeter), 0.5f);
}

TEST_F(RenderTest, StaysInsideEveryBufferWhenFrameCountsDisagree)
{
    // A short interleaved input mixes only its frames; the rest is silence.
    Buffers shortIn, longOut;
    shortIn.add(2, 3, 0.5f);
    longOut.add(2, 6, 1.0f);
    setSlots({1.0f});
    render(state, shortIn.list(), longOut.list());
    EXPECT_EQ(longOut.samples(0), (std::vector<float>{0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0, 0, 0, 0, 0, 0}));

    // Left has 8 frames, right only 2, and a second tap whose buffer claims
    // a pointer but no bytes; the non-interleaved output's right side is
    // shorter than its left. Any access past a buffer fails under ASan.
    in.add(1, 8, 0.5f);
    in.add(1, 2, 0.25f);
    in.addEmpty(1, true);
    in.add(1, 8, 0.125f);
    out.add(1, 8);
    out.add(1, 3);
    setSlots({1.0f, 1.0f});
    render(state, in.list(), out.list());

    EXPECT_EQ(out.samples(0), std::vector<float>(8, 0.5f));
    EXPECT_EQ(out.samples(1), (std::vector<float>{0.25f + 0.125f, 0.25f + 0.125f, 0.125f}));
    EXPECT_FLOAT_EQ(meter(1), 0.125f);
}

TEST(SlotGain, FollowsMuteSnapsNearUnityToOneAndTreatsNonFiniteAsNoGain)
{
    EXPECT_EQ(slotGain(1.0f, true), 0.0f);
    EXPECT_EQ(slotGain(std::nullopt, true), 0.0f);
    EXPECT_EQ(slotGain(std::nullopt, false), 1.0f);
    for (const float unity : {0.9995f, 1.0005f, std::nanf(""), INFINITY})
        EXPECT_EQ(slotGain(unity, false), 1.0f) << unity;
    EXPECT_EQ(slotGain(0.998f, false), 0.998f);
    EXPECT_EQ(slotGain(1.001f, false), 1.001f);
    EXPECT_EQ(slotGain(-INFINITY, true), 0.0f);

    // Slots follow the tapped ids; a remembered false mute is no mute, and
    // slots past the setup keep what they held.
    RenderState state;
    state.activeGains[2].store(0.3f);
    pushSlotGains(state, {"a", "b"}, {{"a", 0.5f}}, {{"a", false}, {"b", true}});
    EXPECT_EQ(state.activeGains[0].load(), 0.5f);
    EXPECT_EQ(state.activeGains[1].load(), 0.0f);
    EXPECT_EQ(state.activeGains[2].load(), 0.3f);
}

} // namespace
