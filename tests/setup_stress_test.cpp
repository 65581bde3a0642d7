// Thousands of rebuilds with random gains, mutes, hides and processes coming
// and going, while the simulated device's real-time thread keeps calling the
// render callback. Under the sanitizers this proves the setup's life cycle
// free of races, leaks and use after free.

#include "support/simulated_scene.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using Call = SimulatedAudioHardware::Call;
using Signal = SimulatedAudioHardware::Signal;

TEST(SetupStress, ThousandsOfRebuildsUnderARunningIoThreadLeaveNothingBehind)
{
    constexpr int kRebuilds = 2000;
    SimulatedScene scene(false);
    QStringList ids;
    for (int i = 0; i < 6; ++i)
        ids.append(scene.addApp(QStringLiteral("App%1").arg(i), 100 + i, Signal::sine(200.0f + 100.0f * float(i), 0.1f)));
    const AudioObjectID other = scene.addOutputDevice(QStringLiteral("Other"), QStringLiteral("other-uid"));
    auto engine = scene.makeEngine();
    engine->appTimer().stop();
    engine->meterTimer().stop();

    std::mt19937 random(12345);
    auto pick = [&](int n) { return int(random() % unsigned(n)); };
    qint32 nextPid = 1000;
    std::vector<qint32> helpers;
    int steps = 0;
    while (scene.hardware.callCount(Call::CreateAggregateDevice) < kRebuilds && steps < 20 * kRebuilds) {
        ++steps;
        const QString& id = ids[pick(ids.size())];
        switch (pick(8)) {
        case 0: engine->setGain(id, float(pick(151)) / 100.0f); break;
        case 1: engine->setMuted(id, pick(2) == 0); break;
        case 2: engine->setHidden(id, pick(3) == 0); break;
        case 3: {   // a helper process comes or an old one goes
            const qint32 pid = nextPid++;
            scene.addProcess(pid, id + QStringLiteral("/Contents/MacOS/Helper"), 0, Signal::pattern(0.05f));
            helpers.push_back(pid);
            if (pick(2) == 0) {
                const auto gone = helpers.begin() + pick(int(helpers.size()));
                scene.removeProcess(*gone);
                helpers.erase(gone);
            }
            engine->refresh();
            break;
        }
        case 4: engine->selectOutputDevice(pick(2) == 0 ? other : scene.speakers); break;
        case 5: engine->rebuild(engine->activeIDs()); break;
        default: engine->pumpMeters(); engine->refresh(); break;
        }
    }
    ASSERT_GE(scene.hardware.callCount(Call::CreateAggregateDevice), kRebuilds);
    EXPECT_GT(scene.hardware.cyclesRun(), 0);

    engine.reset();

    EXPECT_EQ(scene.hardware.liveTapCount(), 0);
    EXPECT_EQ(scene.hardware.liveAggregateCount(), 0);
    EXPECT_EQ(scene.hardware.liveIOProcCount(), 0);
}

} // namespace
