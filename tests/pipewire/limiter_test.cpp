// Prevent Clipping on a running daemon: an application boosted past full
// scale reaches the speakers within it and at its level, through either
// audio API, also across a restart of its player; without the setting it
// reaches them as loud as the boost makes it.

#include "backend_fixture.h"

namespace {

constexpr double kToneHz = 1000.0;
constexpr double kLoud = 0.9;

class PreventClippingTest : public PipeWireBackendTest, public testing::WithParamInterface<const char*> {
protected:
    void playMusic() { play(QStringLiteral("music"), kToneHz, QString::fromLatin1(GetParam()), {}, kLoud); }
};

float peakOf(const std::vector<float>& samples)
{
    float peak = 0.0f;
    for (const float sample : samples)
        peak = std::max(peak, std::fabs(sample));
    return peak;
}

TEST_P(PreventClippingTest, ABoostPastFullScaleReachesTheSpeakersWithinItAtItsLevel)
{
    playMusic();
    startEngine();
    waitForApps({QStringLiteral("music")});
    engine->setGain(id(QStringLiteral("music")), 1.5f);
    ASSERT_TRUE(soundsLike([](const auto& s) { return std::abs(amplitude(s, kToneHz) - 1.35) < 0.02; }))
        << "without the limiter, 150 % of 0.9";

    engine->setPreventClipping(true);
    float peak = 0.0f;
    double level = 0.0;
    ASSERT_TRUE(soundsLike([&](const auto& s) {
        peak = peakOf(s);
        level = amplitude(s, kToneHz);
        return peak <= 1.0f && level >= 0.9;
    })) << "peak " << peak << ", fundamental " << level;

    // The player stops and a new one starts, heard from end to end.
    const std::vector<float> across = record(QStringLiteral("speakers"), 2500, [&] {
        pumpFor(300);
        players.clear();
        pumpFor(300);
        playMusic();
    });
    ASSERT_FALSE(across.empty());
    EXPECT_LE(peakOf(across), 1.0f);
    EXPECT_TRUE(soundsLike([](const auto& s) { return peakOf(s) <= 1.0f && amplitude(s, kToneHz) >= 0.9; }));
}

INSTANTIATE_TEST_SUITE_P(BothApis, PreventClippingTest, testing::Values("pipewire", "pulse"));

} // namespace
