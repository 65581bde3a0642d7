// Output devices, the current device and its master volume and mute.

#include "support/simulated_scene.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using Call = SimulatedAudioHardware::Call;

// The output side as the mixer shows it: name, device, volume and mute, in
// brackets a control the device lacks.
QString shown(const RavletEngine& engine)
{
    const auto control = [](bool supported, const QString& value) { return supported ? value : '(' + value + ')'; };
    return QStringLiteral("%1 #%2 volume %3 %4")
        .arg(engine.outputName())
        .arg(engine.currentOutputID())
        .arg(control(engine.masterVolumeSupported(), QString::number(engine.masterVolume())),
             control(engine.masterMuteSupported(), engine.masterMuted() ? "muted" : "unmuted"));
}

class OutputsTest : public testing::Test {
protected:
    // What the default device itself holds.
    QString onDevice() const
    {
        return QStringLiteral("volume %1 %2")
            .arg(scene.hardware.deviceVolume(scene.speakers).value_or(-1))
            .arg(scene.hardware.deviceMuted(scene.speakers).value_or(false) ? "muted" : "unmuted");
    }

    SimulatedScene scene;
};

TEST_F(OutputsTest, ListsEveryDeviceWithAnOutputChannelInSystemOrder)
{
    scene.hardware.addDevice({QStringLiteral("Microphone"), QStringLiteral("mic"), {}, {1}, {}});
    const AudioObjectID headset =
        scene.hardware.addDevice({QStringLiteral("Headset"), QStringLiteral("hs"), {2}, {1}, {}});
    const AudioObjectID nameless = scene.hardware.addDevice({std::nullopt, QStringLiteral("x"), {1, 1}, {}, {}});
    const auto engine = scene.makeEngine();
    EXPECT_EQ(engine->outputs(), (QList<OutputDevice>{{scene.speakers, QStringLiteral("Speakers"), QStringLiteral("speakers-uid")},
                                                      {headset, QStringLiteral("Headset"), QStringLiteral("hs")},
                                                      {nameless, QStringLiteral("Device"), QStringLiteral("x")}}));
    scene.hardware.setDeviceName(scene.speakers, std::nullopt);
    engine->refresh();
    EXPECT_EQ(engine->outputName(), "Output") << "a default device without a name";
}

TEST_F(OutputsTest, WithNoDefaultDeviceShowsOutputAndNoVolume)
{
    scene.hardware.removeDevice(scene.speakers);
    const auto engine = scene.makeEngine();
    EXPECT_EQ(shown(*engine), "Output #0 volume (1) (unmuted)");
    EXPECT_TRUE(engine->outputs().isEmpty());
}

TEST_F(OutputsTest, FollowsChangesMadeElsewhereAtTheNextRefresh)
{
    const AudioObjectID headphones =
        scene.addOutputDevice(QStringLiteral("Headphones"), QStringLiteral("hp"), 0.25f);
    const auto engine = scene.makeEngine();
    EXPECT_EQ(shown(*engine), QStringLiteral("Speakers #%1 volume 0.5 unmuted").arg(scene.speakers));

    scene.hardware.setDeviceMuted(headphones, true);
    scene.hardware.setDefaultOutputDevice(headphones);
    engine->refresh();
    EXPECT_EQ(shown(*engine), QStringLiteral("Headphones #%1 volume 0.25 muted").arg(headphones));

    scene.hardware.setDeviceVolume(headphones, 0.75f);
    scene.hardware.setDeviceMuted(headphones, false);
    engine->refresh();
    EXPECT_EQ(shown(*engine), QStringLiteral("Headphones #%1 volume 0.75 unmuted").arg(headphones));
}

TEST_F(OutputsTest, MasterVolumeAndMuteWriteTheDeviceKeepTheLastReadAndSkipADeviceWithoutThem)
{
    const auto engine = scene.makeEngine();
    const QString speakers = QStringLiteral("Speakers #%1 ").arg(scene.speakers);
    for (const AudioObjectPropertySelector selector : {kAudioDevicePropertyVolumeScalar, kAudioDevicePropertyMute})
        scene.hardware.failCall(Call::GetPropertyData, selector, kAudioHardwareUnspecifiedError);
    scene.hardware.setDeviceVolume(scene.speakers, 0.9f);
    scene.hardware.setDeviceMuted(scene.speakers, true);
    engine->refresh();
    EXPECT_EQ(shown(*engine), speakers + "volume 0.5 unmuted") << "a failed read keeps the last values";
    scene.hardware.clearFaults();

    // A toggle starts from the device, which may have changed since the
    // last refresh.
    engine->toggleMasterMuted();
    EXPECT_EQ(shown(*engine), speakers + "volume 0.5 unmuted");
    EXPECT_EQ(onDevice(), "volume 0.9 unmuted");
    engine->setMasterMuted(true);
    engine->setMasterVolume(1.2f);
    EXPECT_EQ(shown(*engine), speakers + "volume 1.2 muted");
    EXPECT_EQ(onDevice(), "volume 1 muted");
    engine->setMasterVolume(-0.1f);
    EXPECT_EQ(shown(*engine), speakers + "volume -0.1 muted");
    EXPECT_EQ(onDevice(), "volume 0 muted");
    engine->setMasterVolume(std::nanf(""));
    EXPECT_EQ(onDevice(), "volume 1 muted");
    engine->refresh();
    EXPECT_EQ(shown(*engine), speakers + "volume 1 muted") << "the device's own value replaces the published one";

    scene.hardware.setDeviceVolume(scene.speakers, std::nullopt);
    scene.hardware.setDeviceMuted(scene.speakers, std::nullopt);
    engine->refresh();
    EXPECT_EQ(shown(*engine), speakers + "volume (1) (muted)") << "the last values kept";
    scene.hardware.resetCallCounts();
    engine->setMasterVolume(0.3f);
    engine->setMasterMuted(false);
    engine->toggleMasterMuted();
    EXPECT_EQ(shown(*engine), speakers + "volume (0.3) (unmuted)") << "no mute on show over a device that cannot mute";
    EXPECT_EQ(scene.hardware.callCount(Call::SetPropertyData), 0);
}

TEST_F(OutputsTest, OddStreamConfigurationsOrADeviceVanishingMidRefreshNeverCrashAndAreSkipped)
{
    const AudioObjectID odd = scene.addOutputDevice(QStringLiteral("Odd"), QStringLiteral("odd"));
    const auto engine = scene.makeEngine();
    // Too short for its one buffer: skipped; room to spare: read as it is.
    for (const UInt32 size : {1u, 4u, 7u, 12u, 17u, 1000u}) {
        scene.hardware.clearFaults();
        scene.hardware.overrideDataSize(kAudioDevicePropertyStreamConfiguration, size, odd);
        engine->refresh();
        EXPECT_EQ(engine->outputs().size(), size < audioBufferListSize(1) ? 1 : 2) << "size " << size;
    }
    scene.hardware.clearFaults();
    scene.hardware.failCall(Call::GetPropertyData, kAudioDevicePropertyStreamConfiguration,
                            kAudioHardwareBadPropertySizeError, odd);
    engine->refresh();
    EXPECT_EQ(engine->outputs().size(), 1) << "a device whose layout cannot be read is skipped";

    scene.hardware.clearFaults();
    const AudioObjectID usb = scene.addOutputDevice(QStringLiteral("USB"), QStringLiteral("usb"));
    scene.hardware.setBeforeCallHook([&](Call call, AudioObjectID object, const AudioObjectPropertyAddress& address) {
        if (object == usb && call == Call::GetPropertyData && address.mSelector == kAudioDevicePropertyStreamConfiguration)
            scene.hardware.removeDevice(usb);
    });
    engine->refresh();
    EXPECT_EQ(engine->outputs().size(), 2) << "the device that vanished between two calls";
}

} // namespace
