// Which applications are tapped, and in which order.

#include "support/qt_printers.h"
#include "tap_selection.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

QString id(const QString& name)
{
    return QStringLiteral("/Applications/%1.app").arg(name);
}

AudioApp app(const QString& name)
{
    return AudioApp{id(name), name, std::nullopt, {1}};
}

TEST(PrimaryID, PrefersMusicThenTheFirstBrowserThenTheFirstVisibleApplication)
{
    EXPECT_EQ(primaryID({app("Arc Browser"), app("Music")}, {}), id("Music"));
    EXPECT_EQ(primaryID({app("Firefox"), app("Google Chrome")}, {}), id("Firefox")) << "list order beats keyword order";
    EXPECT_EQ(primaryID({app("Chat"), app("MyTunes"), app("Zoom")}, {}), id("Chat"));
    EXPECT_EQ(primaryID({app("Knowledge"), app("Mail")}, {}), id("Knowledge")) << "'edge' inside a word counts";
    EXPECT_EQ(primaryID({app("Search"), app("Mail")}, {}), id("Search")) << "'arc' inside a word counts";
    EXPECT_EQ(primaryID({app("Music"), app("Chat")}, {id("Music")}), id("Chat")) << "hidden ones are passed over";
    EXPECT_EQ(primaryID({app("Music")}, {id("Music")}), std::nullopt);
    EXPECT_EQ(primaryID({}, {}), std::nullopt);
}

TEST(WantedTaps, TapsWhatIsMutedOrAttenuatedBeyondTheToleranceThenThePrimary)
{
    const QList<AudioApp> apps{app("Chat"), app("Music"), app("Notes"), app("Video"), app("A"), app("B"), app("C")};
    const QMap<QString, float> gains{{id("Chat"), 1.0f}, {id("Notes"), 0.5f}, {id("Video"), 0.9995f},
                                     {id("A"), 0.999f}, {id("B"), 1.0005f}, {id("C"), 1.001f}};
    const QMap<QString, bool> mutes{{id("Video"), true}, {id("Chat"), false}};
    EXPECT_EQ(wantedTaps(apps, gains, mutes, {}, {}), (QStringList{id("Notes"), id("Video"), id("C"), id("Music")}))
        << "a remembered false mute is no mute";
    for (const float nonFinite : {std::nanf(""), INFINITY, -INFINITY}) {
        EXPECT_FALSE(needsTap(id("A"), {{id("A"), nonFinite}}, {})) << "a non-finite gain never asks for a tap";
        EXPECT_TRUE(needsTap(id("A"), {{id("A"), nonFinite}}, {{id("A"), true}}));
    }
}

TEST(WantedTaps, ATappedApplicationKeepsItsTapAfterQuittingAndAHiddenOneIsTappedAsAShownOne)
{
    const QMap<QString, float> gains{{id("Chat"), 0.5f}, {id("Old"), 1.0f}};
    const QStringList active{id("Chat"), id("Old")};
    EXPECT_EQ(wantedTaps({}, gains, {}, {}, active), QStringList{id("Chat")});
    EXPECT_EQ(wantedTaps({app("Chat")}, gains, {}, {id("Chat")}, active), QStringList{id("Chat")});
    EXPECT_EQ(wantedTaps({app("Chat")}, gains, {}, {id("Chat")}, {}), QStringList{id("Chat")})
        << "hidden before it was ever tapped: its volume applies all the same";
    EXPECT_EQ(wantedTaps({app("Chat")}, {}, {{id("Chat"), true}}, {id("Chat")}, {}), QStringList{id("Chat")})
        << "and so does its mute";
}

TEST(WantedTaps, RememberedApplicationsThatDoNotPlayWaitLastOnlyBesideATap)
{
    const QMap<QString, float> gains{{id("Radio"), 0.5f}, {id("Loud"), 1.0f}, {id("Gone"), 0.5f}};
    const QMap<QString, bool> mutes{{id("Chat"), true}, {id("Quiet"), true}};
    const QList<AudioApp> playing{app("Music")};
    EXPECT_EQ(wantedTaps(playing, gains, mutes, {id("Gone")}, {}, true),
              (QStringList{id("Music"), id("Gone"), id("Radio"), id("Chat"), id("Quiet")}))
        << "after the primary, hidden ones too; no unity ones";
    EXPECT_EQ(wantedTaps(playing, gains, mutes, {}, {}, false), QStringList{id("Music")});
    EXPECT_TRUE(wantedTaps({}, gains, mutes, {}, {}, true).isEmpty()) << "never a setup of their own";
}

// Sixteen muted applications and a primary one after them: the primary is
// the seventeenth and is left out, playing as it is. A seventeenth muted
// one is left out too, and said to be: its mute is not applied.
TEST(WantedTaps, KeepsOnlyTheFirstSixteenAndNamesTheRestThatNeedATap)
{
    QList<AudioApp> apps;
    QMap<QString, bool> mutes;
    for (int i = 0; i < 16; ++i) {
        apps.append(app(QStringLiteral("App%1").arg(i, 2, 10, QLatin1Char('0'))));
        mutes.insert(apps.last().id, true);
    }
    apps.append(app("Music"));
    QStringList beyond{id("stale")};
    const QStringList wanted = wantedTaps(apps, {}, mutes, {}, {}, false, {}, &beyond);
    ASSERT_EQ(wanted.size(), 16);
    EXPECT_EQ(wanted.last(), id("App15"));
    EXPECT_TRUE(beyond.isEmpty());

    apps.append(app("Zoom"));
    mutes.insert(id("Zoom"), true);
    const QMap<QString, float> remembered{{id("Radio"), 0.5f}};
    wantedTaps(apps, remembered, mutes, {}, {}, true, {}, &beyond);
    EXPECT_EQ(beyond, QStringList{id("Zoom")}) << "one that waits for its first sound gets a slot when it starts";
}

} // namespace
