// The popover's decisions without a display: its size, the percentages, the
// row states and the level bars.

#include "view_logic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <utility>

namespace {

using namespace popover;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// The common sizes are checked where the view reports them; these are the
// screens it cannot easily be shown on.
TEST(PopoverSizeTest, IsCappedByAScreenOnlyWhenThereIsOne)
{
    const ViewLogic logic(nullptr);
    EXPECT_EQ(logic.popoverHeight(true, true, 20, 86.0, 0.0), 870.0) << "no screen";
    EXPECT_EQ(logic.popoverHeight(true, true, 20, 86.0, std::nan("")), 870.0);
    EXPECT_EQ(logic.popoverHeight(false, true, 20, 86.0, 250.0), 220.0) << "an unsupported system lists nothing";
    EXPECT_EQ(logic.popoverHeight(true, true, 3, 86.0, 20.0), 0.0) << "smaller than the margin: no size, not a negative one";
}

TEST(PercentTextTest, RoundsHalvesAwayFromZeroWithinTheSlidersRange)
{
    const ViewLogic logic(nullptr);
    // The mix plays a missing or non-finite gain at unity.
    const std::tuple<QVariant, const char*, double> gains[] = {
        {0.125f, "13%", 0.125}, {0.004f, "0%", 0.004f}, {1.5f, "150%", 1.5}, {7.0, "150%", 1.5},
        {-0.3, "0%", 0.0},      {QVariant(), "100%", 1.0}, {kNaN, "100%", 1.0}, {kInf, "100%", 1.0},
        {-kInf, "100%", 1.0}};
    for (const auto& [gain, text, slider] : gains) {
        EXPECT_EQ(logic.gainPercentText(gain), QLatin1String(text)) << gain.toString().toStdString();
        EXPECT_EQ(logic.gainSliderValue(gain), slider) << gain.toString().toStdString();
    }
    // The master shows what the device holds, and a NaN is written to it as full volume.
    const std::pair<float, const char*> masters[] = {{0.125f, "13%"}, {1.25f, "100%"}, {-1.0f, "0%"}, {kNaN, "100%"}};
    for (const auto& [volume, text] : masters)
        EXPECT_EQ(logic.masterPercentText(volume), QLatin1String(text)) << volume;
}

TEST(RowStateTest, HiddenComesFirstThenRunningOrNotAndTheTextsAreOursOrPlain)
{
    const ViewLogic logic(nullptr);
    for (const auto& [hidden, running, opacity] : {std::tuple{true, true, 0.45}, {true, false, 0.45},
                                                    {false, true, 1.0}, {false, false, 0.6}})
        EXPECT_EQ(logic.rowOpacity(hidden, running), opacity) << hidden << running;

    EXPECT_EQ(logic.rowLevel(0.75f, true), 0.75);
    EXPECT_EQ(logic.rowLevel(QVariant(), true), 0.0) << "an untapped application has no level";
    EXPECT_EQ(logic.rowLevel(0.75f, false), 0.0) << "a stale level of an application that quit";
    EXPECT_EQ(logic.emptyListText(0), QStringLiteral("No apps are playing audio right now.")) << "none hidden";

    // The pill names any version, on one line, elided past 24 characters.
    for (const auto& [version, shown] : {std::pair{u"1.4.0", u"1.4.0"}, {u"0.2.0-beta", u"0.2.0-beta"}, {u"", u""},
                                         {u"1.4\n<b>x</b>", u"1.4 <b>x</b>"}, {u"\u202Eateb-2.0", u"ateb-2.0"},
                                         {u"1.2.3.4.5.6.7.8.9.10.11.12", u"1.2.3.4.5.6.7.8.9.10.11\u2026"},
                                         {u"1.2.3.4.5.6.7.8.9.10.1\U0001F680x", u"1.2.3.4.5.6.7.8.9.10.1\u2026"}})
        EXPECT_EQ(logic.updatePillLabel(QString::fromUtf16(version)), QStringLiteral("\u2B06 ") + QString::fromUtf16(shown));

    // A row's note: settings that go unapplied first, else, while it runs,
    // a device of its own that is there, and what is heard where another
    // program's volume multiplies with the row's.
    const QString hp = QStringLiteral("hp"), headphones = QStringLiteral("Headphones");
    for (const auto& [beyond, active, output, present, heard, note] :
         {std::tuple{true, false, QString(), false, 25, u"Ravlet mixes 16 applications at most"},
          {false, true, hp, true, -1, u"\u00B7 Headphones"}, {false, false, hp, true, 25, u""},
          {false, true, hp, false, -1, u""}, {false, true, QString(), false, -1, u""},
          {false, true, QString(), false, 0, u"\u00B7 heard at 0 %"},
          {false, true, hp, true, 25, u"\u00B7 Headphones \u00B7 heard at 25 %"}})
        EXPECT_EQ(logic.rowNote(beyond, active, output, present, headphones, heard), QString::fromUtf16(note))
            << beyond << active << present << heard;
}

TEST(LevelBarTest, LightsWithTheLevelBetweenADotAndTheFullTrack)
{
    EXPECT_EQ(litWidth(200.0, 0.5f), 100.0);
    EXPECT_EQ(litWidth(200.0, 1.7f), 200.0);
    EXPECT_EQ(litWidth(200.0, kInf), 200.0);
    EXPECT_EQ(litWidth(200.0, 0.001f), 2.0);
    for (const float silent : {0.0f, -0.4f, -kInf, kNaN})
        EXPECT_EQ(litWidth(200.0, silent), 2.0) << silent;
}

TEST(StepTest, ArrowsAndNotchesMoveInWholePercentWithinTheRange)
{
    const ViewLogic logic(nullptr);
    // From a missing gain, and back onto unity exactly, in the view's keys and wheel tests.
    EXPECT_EQ(logic.steppedGain(1.034f, 1), 1.08f) << "from the shown 103 %";
    EXPECT_EQ(logic.steppedGain(1.47f, 1), 1.5f);
    EXPECT_EQ(logic.steppedGain(0.02f, -1), 0.0f);
    EXPECT_EQ(logic.steppedGain(kNaN, -2), 0.9f);
    EXPECT_EQ(logic.steppedGain(1.0f, std::numeric_limits<int>::min()), 0.0f);
    EXPECT_EQ(logic.steppedMasterVolume(0.98f, 1), 1.0f) << "a device goes no louder than full";
    EXPECT_EQ(logic.steppedMasterVolume(0.5f, -3), 0.35f);

    const auto notches = [&](int pending, int delta) {
        const QVariantMap result = logic.wheelNotches(pending, delta);
        return std::pair(result.value("steps").toInt(), result.value("rest").toInt());
    };
    EXPECT_EQ(notches(0, 120), std::pair(1, 0));
    EXPECT_EQ(notches(0, 360), std::pair(3, 0));
    EXPECT_EQ(notches(0, 40), std::pair(0, 40)) << "a touchpad's small deltas add up";
    EXPECT_EQ(notches(80, 40), std::pair(1, 0));
    EXPECT_EQ(notches(0, -250), std::pair(-2, -10));
    EXPECT_EQ(notches(100, -40), std::pair(0, 60)) << "turning back takes back what was kept";
    EXPECT_EQ(notches(119, std::numeric_limits<int>::max()).first, std::numeric_limits<int>::max() / 120 + 1);
}

TEST(WheelTest, ScrollsOffTheSlidersAndOnThemWhileTheListIsScrolling)
{
    // The hold itself, to its last millisecond, is checked where the view routes the wheel.
    EXPECT_FALSE(wheelScrolls(true, -5)) << "a clock that went back";

    EXPECT_EQ(scrolledContentY(100, 1000, 400, -7, -120), 107) << "a touchpad's pixels first";
    EXPECT_EQ(scrolledContentY(580, 1000, 400, 0, -360), 600) << "no further than the end";
    EXPECT_EQ(scrolledContentY(20, 1000, 400, 0, 360), 0) << "no further than the top";
    EXPECT_EQ(scrolledContentY(0, 300, 400, 0, -120), 0) << "nothing to scroll";

    EXPECT_LT(edgeScrollStep(0, 400, 16), edgeScrollStep(20, 400, 16)) << "faster nearer the edge";
    EXPECT_EQ(edgeScrollStep(200, 400, 16), 0);
    EXPECT_EQ(edgeScrollStep(450, 400, 20), 2 * edgeScrollStep(450, 400, 10)) << "by the time passed";
    EXPECT_EQ(edgeScrollStep(-500, 400, 5000), -kEdgeScrollMaxSpeed * kEdgeScrollLongestMs)
        << "past the edge, after a stall: no further than the most";
    EXPECT_EQ(edgeScrollStep(10, 50, 16), 0) << "too short a list to have edges";
}

} // namespace
