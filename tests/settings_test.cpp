// Loading and saving the user's settings: exact keys and shapes, and bad
// stored values ignored whole, never a crash and never a partial load.

#include "settings.h"
#include "support/simulated_scene.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <utility>

namespace {

const QString kMusic = QStringLiteral("/Applications/Music.app");
const QString kChat = QStringLiteral("/Applications/Chat.app");

class SettingsTest : public testing::Test {
protected:
    SceneDefaults defaults;
};

// Remembered applications that cannot be decoded are replaced as if never stored.
TEST_F(SettingsTest, FirstRunStartsEmptyAndRemembersEveryListedApplication)
{
    for (const bool undecodable : {false, true}) {
        SCOPED_TRACE(undecodable ? "undecodable remembered applications" : "nothing stored");
        SimulatedScene scene;
        if (undecodable)
            scene.defaults.setValue(settings::knownKey, QByteArray("not json"));
        scene.addProcess(10, kMusic + "/Contents/MacOS/Music");
        scene.addProcess(11, kChat + "/Contents/MacOS/Chat");
        const auto engine = scene.makeEngine();
        EXPECT_TRUE(engine->gains().isEmpty() && engine->mutes().isEmpty() && engine->hidden().isEmpty()
                    && engine->order().isEmpty());
        EXPECT_EQ(engine->known().keys(), (QStringList{kChat, kMusic}));
        const auto stored = decodeKnownApps(scene.defaults.data(settings::knownKey).value_or(QByteArray()));
        ASSERT_TRUE(stored);
        EXPECT_EQ(stored->keys(), (QStringList{kChat, kMusic}));
        EXPECT_EQ(stored->value(kMusic), (AppMeta{QStringLiteral("Music"), kMusic}));
    }
}

// A setting loads whole, or not at all when one element has the wrong type
// or the value the wrong shape: a bool is no number, and 1e300 is too large
// for a 32-bit gain. A saved gain loads back as the same 32-bit value; a
// non-finite one is left out.
TEST_F(SettingsTest, EachSettingLoadsWholeOrNotAtAll)
{
    const QMap<QString, float> gains{{kMusic, 0.1f}, {kChat, 1.4999999f}};
    settings::saveGains(defaults, gains);
    EXPECT_EQ(defaults.value(settings::gainsKey).toMap().value(kMusic).metaType().id(), QMetaType::Double);
    defaults.setValue(settings::hiddenKey, QVariantList{kMusic, kMusic});
    defaults.setValue(settings::orderKey, QVariantList{kChat, kMusic});
    defaults.setValue(settings::mutesKey, QVariantMap{{kMusic, true}});
    settings::Loaded loaded = settings::load(defaults);
    EXPECT_EQ(loaded.gains, gains);
    EXPECT_EQ(loaded.hidden, QSet<QString>{kMusic});
    EXPECT_EQ(loaded.order, (QStringList{kChat, kMusic}));
    EXPECT_EQ(loaded.mutes, (QMap<QString, bool>{{kMusic, true}}));
    settings::saveGains(defaults, {{kMusic, 0.5f}, {kChat, std::nanf("")}});
    EXPECT_EQ(settings::load(defaults).gains, (QMap<QString, float>{{kMusic, 0.5f}}));

    const std::pair<QString, QVariant> refused[] = {
        {settings::gainsKey, QVariantMap{{kMusic, 0.5}, {kChat, QStringLiteral("x")}}},
        {settings::gainsKey, QVariantMap{{kMusic, 0.5}, {kChat, true}}},
        {settings::gainsKey, QVariantMap{{kMusic, 0.5}, {kChat, 1e300}}},
        {settings::gainsKey, QVariantList{0.5}},
        {settings::hiddenKey, QVariantList{kMusic, 3.0}},
        {settings::orderKey, kMusic},
        {settings::mutesKey, QVariantMap{{kMusic, true}, {kChat, 1.0}}},
        {settings::limiterKey, 1.0},
        {settings::limiterKey, QStringLiteral("true")},
    };
    for (std::size_t i = 0; i < std::size(refused); ++i) {
        SceneDefaults stored;
        stored.setValue(refused[i].first, refused[i].second);
        loaded = settings::load(stored);
        EXPECT_TRUE(loaded.gains.isEmpty() && loaded.hidden.isEmpty() && loaded.order.isEmpty() && loaded.mutes.isEmpty()
                    && !loaded.limiter)
            << "case " << i;
    }
}

TEST_F(SettingsTest, RememberedApplicationsDecodeOnlyWhenEveryEntryHasAName)
{
    EXPECT_EQ(decodeKnownApps(R"({"/Applications/A.app":{"name":"A"}})"),
              (KnownApps{{QStringLiteral("/Applications/A.app"), AppMeta{QStringLiteral("A"), std::nullopt}}}));
    EXPECT_FALSE(decodeKnownApps(R"({"/Applications/A.app":{"name":"A"},"/B.app":{"iconPath":"/B.app"}})"));
    EXPECT_FALSE(decodeKnownApps(R"({"/A.app":{"name":"A","iconPath":5}})"));
    EXPECT_FALSE(decodeKnownApps("[]"));
    EXPECT_FALSE(decodeKnownApps("{\"/A.app\":{\"name\":\"A\""));
    const KnownApps known{{kMusic, {QStringLiteral("Music"), kMusic}}, {kChat, {QStringLiteral("Chat"), std::nullopt}}};
    EXPECT_EQ(decodeKnownApps(encodeKnownApps(known)), known);
}

TEST_F(SettingsTest, TheEngineLoadsAtConstructionAndSavesGainsAndMutesOnRequestOnly)
{
    SimulatedScene scene;
    scene.defaults.setValue(settings::hiddenKey, QVariantList{kChat});
    const auto engine = scene.makeEngine();

    EXPECT_EQ(engine->hidden(), QSet<QString>{kChat});
    EXPECT_FALSE(engine->showHidden());

    const int writes = scene.defaults.writeCount(settings::gainsKey) + scene.defaults.writeCount(settings::mutesKey);
    engine->setGains({{kMusic, 0.5f}});
    engine->setMutes({{kMusic, true}});
    EXPECT_EQ(scene.defaults.writeCount(settings::gainsKey) + scene.defaults.writeCount(settings::mutesKey), writes);
    engine->saveGains();
    engine->saveMutes();
    EXPECT_EQ(scene.defaults.value(settings::gainsKey), QVariant(QVariantMap{{kMusic, 0.5}}));
    EXPECT_EQ(scene.defaults.value(settings::mutesKey), QVariant(QVariantMap{{kMusic, true}}));
}

// A slider being dragged changes the gain on every mouse move; the file is
// written at once for the first, then at most every quarter second, and the
// last value always lands: at the end of its quarter second, or at the end.
TEST(GainWrites, ADragWritesTheFirstValueAtOnceThenFewTimesAndAlwaysTheLast)
{
    SimulatedScene scene;
    auto engine = scene.makeEngine();
    const auto stored = [&] { return scene.defaults.value(settings::gainsKey).toMap().value(kMusic); };
    const int before = scene.defaults.writeCount(settings::gainsKey);

    for (int move = 0; move <= 100; ++move)
        engine->setGain(kMusic, float(move) / 100.0f);
    EXPECT_EQ(scene.defaults.writeCount(settings::gainsKey), before + 1);
    EXPECT_EQ(stored(), QVariant(0.0));
    EXPECT_EQ(engine->gains().value(kMusic), 1.0f) << "the mix follows every move";
    ASSERT_TRUE(waitUntil([&] { return stored() == QVariant(1.0); }));
    EXPECT_EQ(scene.defaults.writeCount(settings::gainsKey), before + 2);

    // Held back, then written when the engine goes (at quit).
    engine->setGain(kMusic, 0.25f);
    engine.reset();
    EXPECT_EQ(stored(), QVariant(0.25));
}

} // namespace
