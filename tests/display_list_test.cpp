// The rows the mixer shows, their order, and moving and hiding them.

#include "display_list.h"
#include "settings.h"
#include "support/simulated_scene.h"

#include <gtest/gtest.h>

namespace {

QString id(const QString& name)
{
    return QStringLiteral("/Applications/%1.app").arg(name);
}

AudioApp running(const QString& name)
{
    return AudioApp{id(name), name, id(name), {1}};
}

class DisplayListTest : public testing::Test {
protected:
    QList<AppEntry> list() const { return displayList({apps, gains, mutes, hidden, showHidden, order, known}); }
    QStringList names() const
    {
        QStringList result;
        for (const AppEntry& entry : list())
            result.append(entry.name);
        return result;
    }

    QList<AudioApp> apps;
    QMap<QString, float> gains;
    QMap<QString, bool> mutes;
    QSet<QString> hidden;
    bool showHidden = false;
    QStringList order;
    KnownApps known;
};

TEST_F(DisplayListTest, ListsRunningApplicationsAndOnlyConfiguredRememberedOnes)
{
    apps = {running("Music")};
    known = {{id("Old"), {QStringLiteral("Old"), id("Old")}}, {id("Quiet"), {QStringLiteral("Quiet"), std::nullopt}}};
    gains = {{id("Old"), 1.0005f}, {id("Quiet"), 0.5f}, {id("Gone"), 1.2f}};
    mutes = {{id("Old"), false}};
    EXPECT_EQ(list(), (QList<AppEntry>{{id("Gone"), id("Gone"), std::nullopt, false},
                                       {id("Music"), QStringLiteral("Music"), id("Music"), true},
                                       {id("Quiet"), QStringLiteral("Quiet"), std::nullopt, false}}))
        << "unknown ids show under their path; a gain within 0.001 of unity or a false mute is not a setting";
}

TEST_F(DisplayListTest, HiddenApplicationsShowOnlyWhenAskedFor)
{
    apps = {running("Music"), running("Chat")};
    known = {{id("Old"), {QStringLiteral("Old"), std::nullopt}}};
    hidden = {id("Chat"), id("Old")};
    EXPECT_EQ(names(), QStringList{QStringLiteral("Music")});
    showHidden = true;
    const QList<AppEntry> all = list();
    EXPECT_EQ(names(), (QStringList{"Chat", "Music", "Old"}));
    EXPECT_TRUE(all[0].isActive);
    EXPECT_FALSE(all[2].isActive);
}

TEST_F(DisplayListTest, UserOrderComesFirstAndTheRestFollowsByNameIgnoringCase)
{
    apps = {running("banana"), running("Cherry"), running("apple")};
    EXPECT_EQ(names(), (QStringList{"apple", "banana", "Cherry"}));
    order = {id("Cherry"), id("Missing"), id("banana"), id("Cherry")};
    EXPECT_EQ(names(), (QStringList{"Cherry", "banana", "apple"}));
}

TEST(OrderAfterMove, RewritesTheWholeVisibleOrderAndKeepsHiddenIdsAfterIt)
{
    const QStringList shown{"P", "Q", "R"};
    EXPECT_EQ(orderAfterMove(shown, {}, "R", "P"), (QStringList{"R", "P", "Q"}));
    EXPECT_EQ(orderAfterMove(shown, {}, "P", "R"), (QStringList{"Q", "P", "R"}));
    EXPECT_EQ(orderAfterMove({"R", "P", "Q"}, {"R", "P", "Q"}, "R", "nowhere"), (QStringList{"P", "Q", "R"}));
    EXPECT_EQ(orderAfterMove({"P", "Q"}, {"X", "P", "Q"}, "Q", "P"), (QStringList{"Q", "P", "X"}));
    EXPECT_EQ(orderAfterMove(shown, {"X"}, "P", "P"), std::nullopt);
    EXPECT_EQ(orderAfterMove(shown, {"X"}, "Z", "P"), std::nullopt);
}

TEST(EngineDisplayList, MovingSavesTheOrderAndHidingSavesAndRetaps)
{
    SimulatedScene scene;
    scene.addProcess(10, id("Music") + "/Contents/MacOS/Music");
    scene.addProcess(11, id("Chat") + "/Contents/MacOS/Chat");
    const auto engine = scene.makeEngine();

    engine->moveApp(id("Music"), id("Chat"));
    EXPECT_EQ(engine->order(), (QStringList{id("Music"), id("Chat")}));
    EXPECT_EQ(scene.defaults.value(settings::orderKey), QVariant(QVariantList{id("Music"), id("Chat")}));
    const int orderWrites = scene.defaults.writeCount(settings::orderKey);
    engine->moveApp(id("Music"), id("Music"));
    engine->moveApp(id("Stale"), id("Chat"));
    EXPECT_EQ(scene.defaults.writeCount(settings::orderKey), orderWrites);

    ASSERT_EQ(engine->activeIDs(), QStringList{id("Music")}) << "the primary application is tapped";
    engine->setHidden(id("Music"), true);
    EXPECT_EQ(scene.defaults.value(settings::hiddenKey), QVariant(QVariantList{id("Music")}));
    EXPECT_EQ(engine->activeIDs(), QStringList{id("Chat")}) << "hiding reconciles at once";
    engine->setHidden(id("Chat"), false);
    EXPECT_EQ(scene.defaults.writeCount(settings::hiddenKey), 2) << "showing writes the set even when unchanged";
}

} // namespace
