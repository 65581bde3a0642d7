// The tone analysis on synthetic signals, where the truth is known: the
// sound tests are only as good as its amplitudes and residuals.

#include "signal_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace {

struct Tone {
    double frequency;
    double amplitude;
    double phase;
};

// Interleaved stereo at 48 kHz; the right channel is silent.
std::vector<float> stereo(const std::vector<Tone>& tones, std::size_t frames)
{
    std::vector<float> samples(frames * 2, 0.0f);
    for (std::size_t n = 0; n < frames; ++n) {
        double value = 0.0;
        for (const Tone& tone : tones)
            value += tone.amplitude * std::sin(2.0 * std::numbers::pi * tone.frequency * n / 48000.0 + tone.phase);
        samples[2 * n] = static_cast<float>(value);
    }
    return samples;
}

TEST(SignalFitTest, RecoversEachToneWhateverItsPhaseAndTellsCleanFromBroken)
{
    std::vector<float> clean = stereo({{440, 0.25, 1.3}, {1000, 0.4, -2.0}}, 24000);
    const SineFit fit = fitAmplitudes(clean, 0, {440, 1000});
    ASSERT_TRUE(fit.valid);
    EXPECT_NEAR(fit.amplitudes[0], 0.25, 1e-5);
    EXPECT_NEAR(fit.amplitudes[1], 0.4, 1e-5);
    EXPECT_LT(residualDb(clean, 0, fit), -100.0);
    EXPECT_NEAR(energyDb(clean, 0, 1000), 20.0 * std::log10(0.4), 0.01);
    EXPECT_LT(energyDb(clean, 0, 660), -60.0) << "a tone that is not there";
    EXPECT_LT(energyDb(clean, 1, 440), -199.0) << "the silent channel";

    // 5 ms of dropout, or a jump in phase where frames were lost: what a
    // glitching stream or a recorder that missed a cycle looks like.
    std::vector<float> gap = clean;
    std::fill(gap.begin() + 2 * 12000, gap.begin() + 2 * 12240, 0.0f);
    EXPECT_GT(residualDb(gap, 0, fitAmplitudes(gap, 0, {440, 1000})), -40.0);
    std::vector<float> jump = stereo({{440, 0.25, 1.3}, {1000, 0.4, -2.0}}, 12000);
    const std::vector<float> later = stereo({{440, 0.25, 2.9}, {1000, 0.4, 0.5}}, 12000);
    jump.insert(jump.end(), later.begin(), later.end());
    EXPECT_GT(residualDb(jump, 0, fitAmplitudes(jump, 0, {440, 1000})), -40.0);
}

TEST(SignalFitTest, RefusesWhatItCannotFit)
{
    const std::vector<float> samples = stereo({{440, 0.25, 0.0}}, 4800);
    // 100 ms cannot tell 440 Hz from 440.01 Hz.
    for (const SineFit& fit : {fitAmplitudes(samples, 0, {440, 440.01}), fitAmplitudes(samples, 2, {440}),
                               fitAmplitudes({}, 0, {440})}) {
        EXPECT_FALSE(fit.valid);
        EXPECT_TRUE(std::isnan(fit.amplitudes[0]));
        EXPECT_TRUE(std::isnan(residualDb(samples, 0, fit)));
    }
}

} // namespace
