// Each application on the output device chosen for it: what every device
// plays, sample by sample, on hardware that can send a process to a device
// by itself (a sound server) and on hardware where only a tap can (Core
// Audio); the choice remembered by the device's UID, kept while the device
// is away, and taken over from moves made in other programs.

#include "settings.h"
#include "support/simulated_scene.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using Call = SimulatedAudioHardware::Call;
using Signal = SimulatedAudioHardware::Signal;

const QString kHeadphonesUID = QStringLiteral("hp-uid");
const QString kDeskUID = QStringLiteral("desk-uid");

// Parameter: whether the hardware moves processes itself.
class RoutingTest : public testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        scene.hardware.setProcessesRoutable(GetParam());
        headphones = scene.addOutputDevice(QStringLiteral("Headphones"), kHeadphonesUID);
        music = scene.addApp(QStringLiteral("Music"), 10, musicSignal);
        chat = scene.addApp(QStringLiteral("Chat"), 20, chatSignal);
        engine = scene.makeEngine();
    }

    // The largest difference between what the device played in the last
    // cycle and musicGain × music + chatGain × chat.
    float mismatch(AudioObjectID device, float musicGain, float chatGain) const
    {
        return playedMismatch(scene.hardware, device, musicSignal, musicGain, chatSignal, chatGain);
    }

    QVariantMap storedChoices() const { return scene.defaults.dictionary(settings::outputsKey).value_or(QVariantMap()); }

    const Signal musicSignal = Signal::sine(1000.0f, 0.5f);
    const Signal chatSignal = Signal::sine(250.0f, 0.4f);
    SimulatedScene scene;
    AudioObjectID headphones = kAudioObjectUnknown;
    QString music;
    QString chat;
    std::unique_ptr<RavletEngine> engine;
};

TEST_P(RoutingTest, AnApplicationPlaysOnlyOnItsChosenDeviceUntilSentBackToTheDefault)
{
    ASSERT_TRUE(engine->setOutputOf(chat, kHeadphonesUID));
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 0.0f), 1e-6f);
    EXPECT_LT(mismatch(headphones, 0.0f, 1.0f), 1e-6f);
    EXPECT_EQ(storedChoices(), (QVariantMap{{chat, kHeadphonesUID}}));
    EXPECT_EQ(engine->playsOn(chat), headphones);
    // Only where the hardware cannot move it does it take a tap.
    EXPECT_EQ(engine->activeIDs().contains(chat), !GetParam());

    EXPECT_FALSE(engine->setOutputOf(chat, QStringLiteral("no-such-device")));
    EXPECT_EQ(storedChoices(), (QVariantMap{{chat, kHeadphonesUID}})) << "a device that is not there is refused";

    // Its device made the default, it plays there as any application does.
    engine->selectOutputDevice(headphones);
    engine->refresh();
    EXPECT_FALSE(engine->activeIDs().contains(chat));
    engine->selectOutputDevice(scene.speakers);
    engine->refresh();

    ASSERT_TRUE(engine->setOutputOf(chat, QString()));
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 1.0f), 1e-6f);
    EXPECT_LT(mismatch(headphones, 0.0f, 0.0f), 1e-6f);
    EXPECT_TRUE(storedChoices().isEmpty());
    EXPECT_EQ(engine->activeIDs(), QStringList{music});
}

// Each device has its own mix, gains and meters; the master meter is the
// default device's.
TEST_P(RoutingTest, ATappedApplicationIsMixedOnItsOwnDeviceAtItsGain)
{
    engine->setGain(chat, 0.5f);
    engine->setGain(music, 1.5f);
    // Until both new mixes play, the old one goes on mixing each
    // application at its gain, the first new one beside it adding nothing.
    float whileBuilding = INFINITY;
    int starts = 0;
    scene.hardware.setBeforeCallHook([&](Call call, AudioObjectID, const AudioObjectPropertyAddress&) {
        if (call == Call::DeviceStart && ++starts == 2) {
            scene.hardware.runCycles(1);
            whileBuilding = std::max(mismatch(scene.speakers, 1.5f, 0.5f), mismatch(headphones, 0.0f, 0.0f));
        }
    });
    ASSERT_TRUE(engine->setOutputOf(chat, kHeadphonesUID));
    scene.hardware.setBeforeCallHook({});
    EXPECT_LT(whileBuilding, 1e-6f);
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(scene.speakers, 1.5f, 0.0f), 1e-6f);
    EXPECT_LT(mismatch(headphones, 0.0f, 0.5f), 1e-6f);

    ASSERT_EQ(engine->mixes().size(), 2u);

    engine->pumpMeters();
    EXPECT_NEAR(engine->levels().value(chat), 0.2f, 0.01f);
    EXPECT_NEAR(engine->levels().value(music), 0.75f, 0.01f);
    EXPECT_NEAR(engine->masterLevel(), 0.75f, 0.01f) << "the master meter shows the default device alone";

    // A gain change reaches the other device's mix without a rebuild.
    const std::vector<DeviceMix> before = engine->mixes();
    engine->setGain(chat, 0.25f);
    scene.hardware.runCycles(1);
    EXPECT_LT(mismatch(headphones, 0.0f, 0.25f), 1e-6f);
    EXPECT_EQ(engine->mixes()[1].aggregate, before[1].aggregate);

    // A third device's mix is apart from the second's.
    const AudioObjectID desk = scene.addOutputDevice(QStringLiteral("Desk"), kDeskUID);
    engine->refresh();
    ASSERT_TRUE(engine->setOutputOf(music, kDeskUID));
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(desk, 1.5f, 0.0f), 1e-6f);
    EXPECT_LT(mismatch(headphones, 0.0f, 0.25f), 1e-6f);
    EXPECT_LT(mismatch(scene.speakers, 0.0f, 0.0f), 1e-6f);
}

// The primary application plays on the default device: one sent elsewhere
// is never taken off its device for it.
TEST_P(RoutingTest, ThePrimaryApplicationIsOneOnTheDefaultDevice)
{
    ASSERT_EQ(engine->activeIDs(), QStringList{music});
    ASSERT_TRUE(engine->setOutputOf(music, kHeadphonesUID));
    EXPECT_EQ(engine->mixes().front().ids, QStringList{chat});
    EXPECT_EQ(engine->mixes().front().device, scene.speakers);
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(scene.speakers, 0.0f, 1.0f), 1e-6f);
    EXPECT_LT(mismatch(headphones, 1.0f, 0.0f), 1e-6f);
}

// A device that goes plays its applications on the default, and the choice
// comes back with it, though the device returns as a new object.
TEST_P(RoutingTest, AnAbsentDeviceKeepsTheChoiceUntilItReturns)
{
    ASSERT_TRUE(engine->setOutputOf(chat, kHeadphonesUID));
    scene.hardware.removeDevice(headphones);
    engine->refresh();
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 1.0f), 1e-6f);
    engine->setGain(chat, 0.5f);
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 0.5f), 1e-6f);
    EXPECT_EQ(storedChoices(), (QVariantMap{{chat, kHeadphonesUID}}));

    const AudioObjectID back = scene.addOutputDevice(QStringLiteral("Headphones"), kHeadphonesUID);
    engine->refresh();
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 0.0f), 1e-6f);
    EXPECT_LT(mismatch(back, 0.0f, 0.5f), 1e-6f);
}

// Moving an application in another program is the user's choice: it is
// remembered, and the volume goes with it. Only hardware that moves
// processes itself can tell of such a move.
TEST_P(RoutingTest, AMoveMadeInAnotherProgramIsAdoptedWithTheVolume)
{
    if (!GetParam())
        GTEST_SKIP() << "only a sound server moves processes";
    engine->setGain(chat, 0.5f);
    scene.hardware.setProcessOutputDevice(scene.hardware.processObject(20), headphones);
    engine->refresh();
    EXPECT_EQ(storedChoices(), (QVariantMap{{chat, kHeadphonesUID}}));
    engine->refresh();
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(headphones, 0.0f, 0.5f), 1e-6f);
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 0.0f), 1e-6f);

    scene.hardware.setProcessOutputDevice(scene.hardware.processObject(20), kAudioObjectUnknown);
    engine->refresh();
    EXPECT_TRUE(storedChoices().isEmpty()) << "sent back to the default elsewhere";
    engine->refresh();
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 0.5f), 1e-6f);

    // Our own move, once landed, is no longer ours: undone elsewhere, it goes.
    ASSERT_TRUE(engine->setOutputOf(chat, kHeadphonesUID));
    engine->refresh();
    scene.hardware.setProcessOutputDevice(scene.hardware.processObject(20), kAudioObjectUnknown);
    engine->refresh();
    EXPECT_TRUE(storedChoices().isEmpty());

    // Left on the old default by a server that remembers targets, while
    // the default changes: no move of the user's; it follows the default.
    scene.hardware.setProcessOutputDevice(scene.hardware.processObject(20), scene.speakers);
    engine->refresh();
    engine->selectOutputDevice(headphones);
    engine->refresh();
    EXPECT_TRUE(storedChoices().isEmpty());
    // Tapped, it is sent on the second look: held streams can seem away
    // for a moment.
    engine->refresh();
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(headphones, 1.0f, 0.5f), 1e-6f);
}

// A choice stored before the start is kept over where the application
// starts playing, and a stored UID of the wrong type is no choice at all.
TEST_P(RoutingTest, AStoredChoiceIsFollowedFromTheStart)
{
    // Sent elsewhere before the start, with no choice stored: that is the
    // user's choice, not a device to take it off.
    scene.hardware.setProcessOutputDevice(scene.hardware.processObject(10), headphones);
    if (GetParam()) {
        engine = scene.makeEngine();
        engine->refresh();
        EXPECT_EQ(engine->playsOn(music), headphones);
        EXPECT_EQ(storedChoices(), (QVariantMap{{music, kHeadphonesUID}}));
    }
    scene.hardware.setProcessOutputDevice(scene.hardware.processObject(10), kAudioObjectUnknown);

    engine.reset();
    scene.defaults.setValue(settings::outputsKey, QVariantMap{{chat, kHeadphonesUID}, {music, QString()}});
    EXPECT_TRUE(scene.makeEngine()->outputChoices().isEmpty()) << "an empty UID spoils the setting as a whole";
    scene.defaults.setValue(settings::outputsKey, QVariantMap{{chat, kHeadphonesUID}});
    engine = scene.makeEngine();
    EXPECT_EQ(engine->outputChoices(), (QMap<QString, QString>{{chat, kHeadphonesUID}}));

    // Started again where a sound server that remembers targets puts it.
    const AudioObjectID desk = scene.addOutputDevice(QStringLiteral("Desk"), kDeskUID);
    scene.removeProcess(20);
    engine->refresh();
    scene.addApp(QStringLiteral("Chat"), 21, chatSignal);
    scene.hardware.setProcessOutputDevice(scene.hardware.processObject(21), desk);
    engine->refresh();
    EXPECT_EQ(engine->outputChoices(), (QMap<QString, QString>{{chat, kHeadphonesUID}}));
    // Started again between two looks, on the default: a new process was
    // put there, nobody moved the old one.
    engine->refresh();
    scene.removeProcess(21);
    scene.addApp(QStringLiteral("Chat"), 22, chatSignal);
    engine->refresh();
    EXPECT_EQ(engine->outputChoices(), (QMap<QString, QString>{{chat, kHeadphonesUID}}));
    engine->refresh();
    scene.hardware.runCycles(2);
    EXPECT_LT(mismatch(headphones, 0.0f, 1.0f), 1e-6f);
    EXPECT_LT(mismatch(scene.speakers, 1.0f, 0.0f), 1e-6f);
    EXPECT_LT(mismatch(desk, 0.0f, 0.0f), 1e-6f);
}

// Applications sent elsewhere at their own volume play there unmixed, and
// while someone follows the levels they are listened to on their device,
// with nothing mixed at all, and on the next device another program moves
// one to; hardware that refuses such a tap is not asked again.
TEST_P(RoutingTest, UnmixedApplicationsOnAnotherDeviceShowTheirLevels)
{
    if (!GetParam())
        GTEST_SKIP() << "where only a tap moves an application, it is mixed on its device";
    ASSERT_TRUE(engine->setOutputOf(music, kHeadphonesUID));
    ASSERT_TRUE(engine->setOutputOf(chat, kHeadphonesUID));
    ASSERT_TRUE(engine->activeIDs().isEmpty());
    {
        QObject follower;
        followLevels(*engine, follower);
        scene.hardware.runCycles(2);
        EXPECT_LT(mismatch(headphones, 1.0f, 1.0f), 1e-6f);
        engine->pumpMeters();
        EXPECT_NEAR(engine->levels().value(music), 0.5f, 0.01f);
        EXPECT_NEAR(engine->levels().value(chat), 0.4f, 0.01f);

        const AudioObjectID desk = scene.addOutputDevice(QStringLiteral("Desk"), kDeskUID);
        scene.hardware.setProcessOutputDevice(scene.hardware.processObject(20), desk);
        engine->refresh();
        ASSERT_EQ(engine->meterMixes().size(), 2u);
        for (const DeviceMix& mix : engine->meterMixes())
            EXPECT_EQ(mix.meterIDs, QStringList{mix.device == desk ? chat : music});
        EXPECT_TRUE(engine->mixes().empty());
    }
    engine->pumpMeters();
    ASSERT_TRUE(engine->meterMixes().empty());

    scene.hardware.failCall(Call::CreateProcessTap, 0, kAudioHardwareUnsupportedOperationError);
    QObject follower;
    followLevels(*engine, follower);
    const int asked = scene.hardware.callCount(Call::CreateProcessTap);
    engine->refresh();
    EXPECT_EQ(scene.hardware.callCount(Call::CreateProcessTap), asked);
}

#if defined(RAVLET_MACOS_SEAMS)
INSTANTIATE_TEST_SUITE_P(CoreAudio, RoutingTest, testing::Values(false));
#else
INSTANTIATE_TEST_SUITE_P(Hardware, RoutingTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("MovesProcesses") : std::string("TapsToMove");
                         });
#endif

} // namespace
