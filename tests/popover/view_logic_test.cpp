// The popover's decisions without a display: its size, the percentages, the
// row states and the level bars.

#include "view_logic.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace popover;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(PopoverSizeTest, GrowsWithTheRowsUpToTheScreen)
{
    const ViewLogic logic(nullptr);
    const auto height = [&](bool supported, bool master, int rows, double screen = 1000.0) {
        return logic.popoverHeight(supported, master, rows, 86.0, screen);
    };
    EXPECT_EQ(height(true, true, 0), 256.0) << "an empty list still has room for one row";
    EXPECT_EQ(height(true, true, 3), 428.0);
    EXPECT_EQ(height(true, false, 3), 402.0);
    EXPECT_EQ(height(true, true, 20, 800.0), 770.0);
    EXPECT_EQ(height(true, true, 20, 0.0), 870.0) << "no screen";
    EXPECT_EQ(height(true, true, 20, std::nan("")), 870.0);
    EXPECT_EQ(height(false, true, 20, 250.0), 220.0) << "an unsupported system lists nothing, whatever runs";
    EXPECT_EQ(height(true, true, 3, 20.0), 0.0) << "a screen smaller than the margin gives no size, not a negative one";
    EXPECT_EQ(logic.popoverWidth(), 400.0);
}

TEST(PercentTextTest, RoundsHalvesAwayFromZeroWithinTheSlidersRange)
{
    const ViewLogic logic(nullptr);
    EXPECT_EQ(logic.gainPercentText(0.125f), QStringLiteral("13%"));
    EXPECT_EQ(logic.gainPercentText(0.004f), QStringLiteral("0%"));
    EXPECT_EQ(logic.gainPercentText(1.5f), QStringLiteral("150%"));
    EXPECT_EQ(logic.gainPercentText(QVariant()), QStringLiteral("100%")) << "never touched";
    EXPECT_EQ(logic.gainSliderValue(QVariant()), 1.0);
    EXPECT_EQ(logic.gainPercentText(7.0), QStringLiteral("150%"));
    EXPECT_EQ(logic.gainSliderValue(7.0), 1.5);
    EXPECT_EQ(logic.gainPercentText(-0.3), QStringLiteral("0%"));
    // The mix plays a gain that is not a finite number at unity.
    for (const float odd : {kNaN, kInf, -kInf}) {
        EXPECT_EQ(logic.gainPercentText(odd), QStringLiteral("100%")) << odd;
        EXPECT_EQ(logic.gainSliderValue(odd), 1.0) << odd;
    }

    // The master shows what the device holds.
    EXPECT_EQ(logic.masterPercentText(0.125f), QStringLiteral("13%"));
    EXPECT_EQ(logic.masterPercentText(0.5f), QStringLiteral("50%"));
    EXPECT_EQ(logic.masterPercentText(1.25f), QStringLiteral("100%"));
    EXPECT_EQ(logic.masterPercentText(-1.0f), QStringLiteral("0%"));
    EXPECT_EQ(logic.masterPercentText(kNaN), QStringLiteral("100%")) << "the engine writes full volume for it";
}

TEST(RowStateTest, HiddenComesFirstThenRunningOrNot)
{
    const ViewLogic logic(nullptr);
    EXPECT_EQ(logic.rowOpacity(true, true), 0.45);
    EXPECT_EQ(logic.rowOpacity(true, false), 0.45);
    EXPECT_EQ(logic.rowOpacity(false, true), 1.0);
    EXPECT_EQ(logic.rowOpacity(false, false), 0.6);

    EXPECT_EQ(logic.rowLevel(0.75f, true), 0.75);
    EXPECT_EQ(logic.rowLevel(QVariant(), true), 0.0) << "an untapped application has no level";
    EXPECT_EQ(logic.rowLevel(0.75f, false), 0.0) << "a stale level of an application that quit";

    EXPECT_EQ(logic.contextMenuTitle(true, QStringLiteral("Music")), QStringLiteral("Show Music"));
    EXPECT_EQ(logic.contextMenuTitle(false, QStringLiteral("Music")), QStringLiteral("Hide Music"));
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

} // namespace
