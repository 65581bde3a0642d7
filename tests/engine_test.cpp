// The engine's life: its timers, its notifications and its end.

#include "meters.h"
#include "support/simulated_scene.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <functional>
#include <utility>

namespace {

using Call = SimulatedAudioHardware::Call;

int refreshesSeen(SimulatedAudioHardware& hardware)
{
    // Every refresh reads the process list exactly once.
    return hardware.callCount(Call::GetPropertyDataSize, kAudioHardwarePropertyProcessObjectList);
}

TEST(EngineLifecycle, RefreshesAtConstructionThenOnItsTimerAndNotOnceItIsGone)
{
    SimulatedScene scene;
    auto engine = scene.makeEngine();
    EXPECT_EQ(refreshesSeen(scene.hardware), 1);
    EXPECT_EQ(engine->appTimer().interval(), 1500);
    EXPECT_EQ(engine->meterTimer().interval(), 33);
    int pumps = 0;
    QObject::connect(engine.get(), &RavletEngine::levelsChanged, [&] { ++pumps; });
    engine->appTimer().setInterval(0);
    engine->meterTimer().setInterval(0);
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    EXPECT_GT(refreshesSeen(scene.hardware), 1);
    EXPECT_GT(pumps, 0);

    // The last pass fired the timers and queued their work.
    engine.reset();
    scene.hardware.resetCallCounts();
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(refreshesSeen(scene.hardware), 0);
}

TEST(EngineLifecycle, TheMetersTickOnlyWhileFollowedOrDiagnosticsAreDue)
{
    SimulatedScene scene;
    const QString music = scene.addApp(QStringLiteral("Music"), 10, SimulatedAudioHardware::Signal::sine(440.0f, 0.5f));
    const auto engine = scene.makeEngine();
    engine->setGain(music, 0.5f);
    ASSERT_TRUE(engine->meterTimer().isActive()) << "the diagnostics lines after a start";
    scene.hardware.runCycles(1);
    for (int i = 0; i < kDiagPumpsPerStart; ++i)
        engine->pumpMeters();
    EXPECT_FALSE(engine->meterTimer().isActive()) << "nobody follows the levels";

    scene.hardware.setProcessSignal(10, SimulatedAudioHardware::Signal::sine(440.0f, 0.2f));
    scene.hardware.runCycles(1);
    auto follower = std::make_unique<QObject>();
    QObject::connect(engine.get(), &RavletEngine::masterLevelChanged, follower.get(), [] {});
    EXPECT_TRUE(engine->meterTimer().isActive());
    EXPECT_FLOAT_EQ(engine->levels().value(music), 0.1f) << "levels start from the sound of now";
    follower.reset();
    engine->pumpMeters();
    EXPECT_FALSE(engine->meterTimer().isActive()) << "its follower went away";

    const auto connection = QObject::connect(engine.get(), &RavletEngine::levelsChanged, [] {});
    EXPECT_TRUE(engine->meterTimer().isActive());
    QObject::disconnect(connection);
    engine->pumpMeters();
    EXPECT_FALSE(engine->meterTimer().isActive());
}

// The views redraw on these, so an assignment that changes nothing still
// notifies; each refresh assigns the whole output side.
TEST(EngineLifecycle, EveryAssignmentNotifiesEvenWhenNothingChanges)
{
    SimulatedScene scene;
    const auto engine = scene.makeEngine();
    const auto refresh = [&] { engine->refresh(); };
    const std::pair<void (RavletEngine::*)(), std::function<void()>> assignments[] = {
        {&RavletEngine::showHiddenChanged, [&] { engine->setShowHidden(false); }},
        {&RavletEngine::gainsChanged, [&] { engine->setGains(engine->gains()); }},
        {&RavletEngine::mutesChanged, [&] { engine->setMutes(engine->mutes()); }},
        {&RavletEngine::hiddenChanged, [&] { engine->setHidden(QStringLiteral("/Applications/None.app"), false); }},
        {&RavletEngine::levelsChanged, [&] { engine->pumpMeters(); }},
        {&RavletEngine::masterLevelChanged, [&] { engine->pumpMeters(); }},
        {&RavletEngine::masterVolumeChanged, [&] { engine->setMasterVolume(engine->masterVolume()); }},
        {&RavletEngine::masterMutedChanged, [&] { engine->setMasterMuted(engine->masterMuted()); }},
        {&RavletEngine::outputNameChanged, refresh},
        {&RavletEngine::currentOutputIDChanged, refresh},
        {&RavletEngine::outputsChanged, refresh},
        {&RavletEngine::masterVolumeSupportedChanged, refresh},
        {&RavletEngine::masterVolumeChanged, refresh},
        {&RavletEngine::masterMuteSupportedChanged, refresh},
        {&RavletEngine::masterMutedChanged, refresh},
    };
    for (std::size_t i = 0; i < std::size(assignments); ++i) {
        int notified = 0;
        const auto connection = QObject::connect(engine.get(), assignments[i].first, [&] { ++notified; });
        assignments[i].second();
        EXPECT_EQ(notified, 1) << "assignment " << i;
        QObject::disconnect(connection);
    }
}

} // namespace
