// The mix of one I/O cycle, checked sample by sample.

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

// Interleaved stereo: left = base + f, right = -(base + f) / 2.
float* addStereoTone(Buffers& buffers, UInt32 frames, float base)
{
    float* data = buffers.add(2, frames);
    for (UInt32 f = 0; f < frames; ++f) {
        data[2 * f] = base + float(f) * 0.01f;
        data[2 * f + 1] = -(base + float(f) * 0.01f) / 2;
    }
    return data;
}

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

TEST_F(RenderTest, MixesEachTapPairScaledByItsSlotGainIntoInterleavedStereo)
{
    const float* a = addStereoTone(in, 8, 0.2f);
    const float* b = addStereoTone(in, 8, 0.4f);
    out.add(2, 8, 9.0f);   // stale samples must be cleared
    setSlots({0.5f, 1.0f});
    render(state, in.list(), out.list());

    float peakA = 0, peakB = 0;
    for (int i = 0; i < 16; ++i) {
        EXPECT_FLOAT_EQ(out.samples(0)[i], 0.5f * a[i] + b[i]) << "sample " << i;
        peakA = std::max(peakA, std::fabs(0.5f * a[i]));
        peakB = std::max(peakB, std::fabs(b[i]));
    }
    EXPECT_FLOAT_EQ(meter(0), peakA);
    EXPECT_FLOAT_EQ(meter(1), peakB);
    EXPECT_FLOAT_EQ(meter(kMasterMeter), std::max(peakA, peakB));
    EXPECT_EQ(state.diagNch.load(), 4);
    EXPECT_EQ(state.diagOffset.load(), 0);
}

TEST_F(RenderTest, LeavesTheDevicesOwnInputChannelsOutOfTheMixButMeasuresThem)
{
    in.add(2, 4, 0.9f);                       // the output device's microphone pair
    const float* a = addStereoTone(in, 4, 0.1f);
    const float* b = addStereoTone(in, 4, 0.3f);
    out.add(2, 4);
    setSlots({1.0f, 1.0f});
    render(state, in.list(), out.list());

    for (int i = 0; i < 8; ++i)
        EXPECT_FLOAT_EQ(out.samples(0)[i], a[i] + b[i]);
    EXPECT_EQ(state.diagNch.load(), 6);
    EXPECT_EQ(state.diagOffset.load(), 2);
    EXPECT_FLOAT_EQ(state.diagPeaks[0].load(), 0.9f);
    EXPECT_FLOAT_EQ(state.diagPeaks[1].load(), 0.9f);
    EXPECT_FLOAT_EQ(state.diagPeaks[6].load(), 0.0f);
}

TEST_F(RenderTest, MapsSeparateMonoInputBuffersLikeInterleavedOnesAndSkipsBuffersWithoutData)
{
    in.addEmpty(2, false);
    in.add(1, 4, 0.25f);
    in.add(1, 4, -0.5f);
    out.add(2, 4);
    setSlots({2.0f});
    render(state, in.list(), out.list());
    EXPECT_EQ(state.diagNch.load(), 2);
    for (int f = 0; f < 4; ++f) {
        EXPECT_FLOAT_EQ(out.samples(0)[2 * f], 0.5f);
        EXPECT_FLOAT_EQ(out.samples(0)[2 * f + 1], -1.0f);
    }
    EXPECT_FLOAT_EQ(meter(0), 1.0f);
}

TEST_F(RenderTest, MutedSlotIsSilentAndMeasuresZeroWhileSumsAboveFullScaleAreNotClipped)
{
    in.add(2, 4, 1.0f);
    in.add(2, 4, 0.75f);
    in.add(2, 4, 0.5f);
    out.add(2, 4);
    setSlots({0.0f, 1.0f, 1.0f});
    render(state, in.list(), out.list());
    for (float sample : out.samples(0))
        EXPECT_FLOAT_EQ(sample, 1.25f);
    EXPECT_FLOAT_EQ(meter(0), 0.0f);
    EXPECT_FLOAT_EQ(meter(kMasterMeter), 0.75f);
}

TEST_F(RenderTest, MonoOutputGetsLeftPlusRightAndNonInterleavedOutputItsFirstTwoBuffers)
{
    in.add(1, 4, 0.25f);
    in.add(1, 4, 0.5f);
    out.add(1, 4);
    setSlots({1.0f});
    render(state, in.list(), out.list());
    for (float sample : out.samples(0))
        EXPECT_FLOAT_EQ(sample, 0.75f);

    Buffers split;
    for (int i = 0; i < 3; ++i)
        split.add(1, 4, 3.0f);
    render(state, in.list(), split.list());
    for (int f = 0; f < 4; ++f) {
        EXPECT_FLOAT_EQ(split.samples(0)[f], 0.25f);
        EXPECT_FLOAT_EQ(split.samples(1)[f], 0.5f);
        EXPECT_FLOAT_EQ(split.samples(2)[f], 0.0f);
    }
}

TEST_F(RenderTest, IgnoresInputChannelsPastTheSixtyFourthWithoutShiftingTheSlots)
{
    // 62 channels of the device, then two taps: tap 0 sits on channels 62
    // and 63, tap 1 on 64 and 65, past the table, so it is not mixed.
    in.add(62, 2, 0.9f);
    in.add(2, 2, 0.5f);
    in.add(2, 2, 0.25f);
    out.add(2, 2);
    state.meterBuf[1].store(0.33f);
    setSlots({0.5f, 1.0f});
    render(state, in.list(), out.list());

    EXPECT_EQ(state.diagNch.load(), 64);
    EXPECT_EQ(state.diagOffset.load(), 62);
    for (float sample : out.samples(0))
        EXPECT_FLOAT_EQ(sample, 0.25f) << "tap 0 at its own gain; neither the device nor tap 1";
    EXPECT_FLOAT_EQ(meter(0), 0.25f);
    EXPECT_FLOAT_EQ(meter(1), 0.33f) << "a slot that is not mixed keeps its meter";
}

TEST_F(RenderTest, WithNoActiveSlotClearsTheOutputAndWithNoOutputTouchesNothing)
{
    in.add(2, 4, 1.0f);
    out.add(2, 4, 5.0f);
    state.meterBuf[0].store(0.7f);
    state.meterBuf[kMasterMeter].store(0.7f);
    state.activeCount.store(0);
    render(state, in.list(), out.list());

    for (float sample : out.samples(0))
        EXPECT_EQ(sample, 0.0f);
    EXPECT_FLOAT_EQ(meter(0), 0.7f);
    EXPECT_FLOAT_EQ(meter(kMasterMeter), 0.7f);

    AudioBufferList empty{0, {{0, 0, nullptr}}};
    state.diagNch.store(-1);
    setSlots({1.0f});
    render(state, in.list(), empty);
    EXPECT_EQ(state.diagNch.load(), -1);
}

TEST_F(RenderTest, StaysInsideEveryBufferWhenFrameCountsDisagree)
{
    // A short interleaved input mixes only its frames; the rest is silence.
    Buffers shortIn, longOut;
    shortIn.add(2, 3, 0.5f);
    longOut.add(2, 6, 1.0f);
    setSlots({1.0f});
    render(state, shortIn.list(), longOut.list());
    for (int i = 0; i < 12; ++i)
        EXPECT_FLOAT_EQ(longOut.samples(0)[i], i < 6 ? 0.5f : 0.0f) << "sample " << i;

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

    for (int f = 0; f < 8; ++f)
        EXPECT_FLOAT_EQ(out.samples(0)[f], 0.5f) << "left frame " << f;
    EXPECT_FLOAT_EQ(out.samples(1)[0], 0.25f + 0.125f);
    EXPECT_FLOAT_EQ(out.samples(1)[1], 0.25f + 0.125f);
    EXPECT_FLOAT_EQ(out.samples(1)[2], 0.125f);
    EXPECT_FLOAT_EQ(meter(1), 0.125f);
}

TEST_F(RenderTest, NeverTurnsFiniteInputIntoNaN)
{
    in.add(2, 4, FLT_MAX);
    in.add(2, 4, -FLT_MAX);
    out.add(2, 4);
    setSlots({1.5f, 1.5f});
    render(state, in.list(), out.list());
    for (float sample : out.samples(0))
        EXPECT_FALSE(std::isnan(sample));
    EXPECT_TRUE(std::isfinite(meter(kMasterMeter)));
}

TEST(SlotGain, FollowsMuteSnapsNearUnityToOneAndTreatsNonFiniteAsNoGain)
{
    EXPECT_EQ(slotGain(1.0f, true), 0.0f);
    EXPECT_EQ(slotGain(std::nullopt, false), 1.0f);
    for (const float unity : {0.9995f, 1.0005f, std::nanf(""), INFINITY})
        EXPECT_EQ(slotGain(unity, false), 1.0f) << unity;
    EXPECT_EQ(slotGain(0.998f, false), 0.998f);
    EXPECT_EQ(slotGain(1.001f, false), 1.001f);
    EXPECT_EQ(slotGain(-INFINITY, true), 0.0f);
}

} // namespace
