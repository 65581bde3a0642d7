// The mix of one I/O cycle, checked sample by sample.

#include "gain_slots.h"
#include "render.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
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

// Applications that play straight to the device are listened to in slots
// after the mixed ones: their own peak, of either side, not scaled by a
// stale slot gain, and nothing of them in the output or the master meter;
// with nothing mixed at all too.
TEST_F(RenderTest, MeterOnlySlotsAreMeasuredButNeverMixed)
{
    in.add(2, 4, 0.9f);    // the device's own input
    in.add(2, 4, 0.25f);
    in.add(1, 4, 0.25f);
    in.add(1, 4, -0.75f);
    out.add(2, 4);
    setSlots({0.5f});
    state.activeGains[1].store(0.0f);
    state.meterOnlyCount.store(1);
    render(state, in.list(), out.list());
    EXPECT_EQ(out.samples(0), std::vector<float>(8, 0.125f));
    EXPECT_FLOAT_EQ(meter(0), 0.125f);
    EXPECT_FLOAT_EQ(meter(1), 0.75f);
    EXPECT_FLOAT_EQ(meter(kMasterMeter), 0.125f);

    setSlots({});
    state.meterOnlyCount.store(2);
    render(state, in.list(), out.list());
    EXPECT_EQ(out.samples(0), std::vector<float>(8, 0.0f));
    EXPECT_FLOAT_EQ(meter(0), 0.25f);
    EXPECT_FLOAT_EQ(meter(1), 0.75f);
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

// One cycle of two stereo taps (slot gains 1 and 0.5) into a fresh output
// of interleaved stereo, mono, or two separate buffers of unequal length;
// the output's samples as bits.
std::vector<std::uint32_t> renderBits(RenderState& state, const std::vector<float> (&taps)[2], int layout)
{
    Buffers in, out;
    for (const std::vector<float>& tap : taps)
        std::copy(tap.begin(), tap.end(), in.add(2, UInt32(tap.size() / 2)));
    const UInt32 frames = UInt32(taps[0].size() / 2);
    out.add(layout == 0 ? 2 : 1, frames, 9.0f);
    if (layout == 2)
        out.add(1, frames - 24, 9.0f);
    state.activeGains[0].store(1.0f);
    state.activeGains[1].store(0.5f);
    render(state, in.list(), out.list());
    std::vector<std::uint32_t> bits;
    for (std::size_t b = 0; b < std::size_t(layout == 2 ? 2 : 1); ++b)
        for (const float sample : out.samples(b))
            bits.push_back(std::bit_cast<std::uint32_t>(sample));
    return bits;
}

// Within full scale the limiter changes no bit, neither does it off: negative
// zeros, subnormals and sums of exactly ±1.0 included. Past full scale it
// acts, and the device is bit for bit itself again once the mix has stayed
// within full scale for the release time (silent cycles without taps count),
// not a cycle before; another device's limiter is not affected meanwhile, and
// one switched off mid-release starts again from unity.
TEST(RenderLimiter, LeavesEveryBitOfAMixWithinFullScaleOnceItHasStayedThereForTheReleaseTime)
{
    constexpr UInt32 kFrames = 64;
    static_assert(Limiter::kReleaseFrames % kFrames == 0);
    std::vector<float> quiet[2];
    for (UInt32 f = 0; f < kFrames; ++f) {
        const float left = f % 4 == 0 ? 0.5f : f % 4 == 1 ? -0.0f : f % 4 == 2 ? 1e-40f : -0.5f * float(f) / (kFrames - 1);
        quiet[0].insert(quiet[0].end(), {left, -left});
        quiet[1].insert(quiet[1].end(), {f % 4 == 0 ? 1.0f : f % 4 == 3 ? -1.0f : 0.0f, 0.25f});
    }
    std::vector<float> loud[2] = {quiet[0], quiet[1]};
    loud[0][2 * kFrames - 2] = 3.0f;   // in the last frame, so the release starts at the cycle's end

    for (const int layout : {0, 1, 2}) {
        SCOPED_TRACE(layout);
        RenderState off, on, other;
        for (RenderState* state : {&off, &on, &other}) {
            state->activeCount.store(2);
            state->preventClipping.store(state != &off);
        }
        const std::vector<std::uint32_t> asToday = renderBits(off, quiet, layout);
        EXPECT_EQ(renderBits(on, quiet, layout), asToday);

        EXPECT_NE(renderBits(on, loud, layout), renderBits(off, loud, layout));
        EXPECT_EQ(renderBits(other, quiet, layout), asToday);
        on.activeCount.store(0);
        for (UInt32 silent = 0; silent + 2 * kFrames <= Limiter::kReleaseFrames; silent += kFrames)
            renderBits(on, quiet, layout);
        on.activeCount.store(2);
        EXPECT_NE(renderBits(on, quiet, layout), asToday);
        EXPECT_EQ(renderBits(on, quiet, layout), asToday);

        renderBits(on, loud, layout);
        on.preventClipping.store(false);
        renderBits(on, quiet, layout);
        on.preventClipping.store(true);
        EXPECT_EQ(renderBits(on, quiet, layout), asToday) << "switched on again from unity";
    }
}

// Sums past full scale, infinite ones and ones that are not numbers all come
// out within ±1.0, and leave the limiter working. A loud frame takes the gain
// down in that very frame, not before (no look-ahead); from there it rises
// with no step back and no jump until the samples are the mix's own again.
TEST(RenderLimiter, KeepsEverySampleWithinFullScaleDroppingAtOnceAndRecoveringSmoothly)
{
    std::vector<float> wild[2];
    const float extremes[] = {FLT_MAX, -FLT_MAX, INFINITY, std::nanf(""), 7.0f, -0.5f, 1.5f, 0.0f};
    for (UInt32 f = 0; f < 64; ++f) {
        wild[0].insert(wild[0].end(), {extremes[f % 8], -extremes[(f + 3) % 8]});
        wild[1].insert(wild[1].end(), {extremes[(f + 1) % 8] * 2, 0.9f});
    }
    for (const int layout : {0, 1, 2}) {
        RenderState state;
        state.activeCount.store(2);
        state.preventClipping.store(true);
        for (int cycle = 0; cycle < 2; ++cycle) {
            for (const std::uint32_t bits : renderBits(state, wild, layout))
                EXPECT_LE(std::fabs(std::bit_cast<float>(bits)), 1.0f) << "layout " << layout;
        }
    }

    constexpr UInt32 kFrames = Limiter::kReleaseFrames + 64;
    Buffers in, out;
    float* tap = in.add(2, kFrames, 0.5f);
    tap[2 * 10] = 2.0f;
    out.add(2, kFrames);
    RenderState state;
    state.preventClipping.store(true);
    state.activeCount.store(1);
    render(state, in.list(), out.list());
    const std::vector<float>& played = out.samples(0);
    EXPECT_EQ(played[2 * 9], 0.5f);
    EXPECT_FLOAT_EQ(played[2 * 10], 1.0f);
    EXPECT_FLOAT_EQ(played[2 * 10 + 1], 0.25f);   // one gain for both sides
    float largestStep = 0.0f;
    for (UInt32 f = 12; f < kFrames; ++f) {
        const float step = played[2 * f] - played[2 * (f - 1)];
        ASSERT_GE(step, 0.0f) << "frame " << f;
        largestStep = std::max(largestStep, step);
    }
    // From a gain of 0.5 back to 1, at most 1.5 times the average slope (the
    // steepest a smooth S-curve gets).
    EXPECT_LE(largestStep, 1.5f * 0.25f / float(Limiter::kReleaseFrames) * 1.01f);
    EXPECT_EQ(played[2 * (Limiter::kReleaseFrames + 10)], 0.5f);
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
