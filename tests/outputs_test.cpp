// Output devices, the current device and its master volume and mute.

#include "hal_access.h"
#include "support/simulated_scene.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

using Call = SimulatedAudioHardware::Call;

const AudioObjectPropertyAddress kVolume = hal::outputAddress(kAudioDevicePropertyVolumeScalar);

class OutputsTest : public testing::Test {
protected:
    SimulatedScene scene;
};

TEST_F(OutputsTest, ListsEveryDeviceWithAnOutputChannelInSystemOrder)
{
    const AudioObjectID mic = scene.hardware.addDevice({QStringLiteral("Microphone"), QStringLiteral("mic"), {}, {1}, {}});
    const AudioObjectID headset =
        scene.hardware.addDevice({QStringLiteral("Headset"), QStringLiteral("hs"), {2}, {1}, {}});
    const AudioObjectID nameless = scene.hardware.addDevice({std::nullopt, QStringLiteral("x"), {1, 1}, {}, {}});
    const auto engine = scene.makeEngine();
    EXPECT_EQ(engine->outputs(), (QList<OutputDevice>{{scene.speakers, QStringLiteral("Speakers")},
                                                      {headset, QStringLiteral("Headset")},
                                                      {nameless, QStringLiteral("Device")}}));
    EXPECT_NE(mic, kAudioObjectUnknown);
    scene.hardware.setDeviceName(scene.speakers, std::nullopt);
    engine->refresh();
    EXPECT_EQ(engine->outputName(), "Output") << "a default device without a name";
}

TEST_F(OutputsTest, FollowsChangesMadeElsewhereAtTheNextRefresh)
{
    const AudioObjectID headphones =
        scene.addOutputDevice(QStringLiteral("Headphones"), QStringLiteral("hp"), 0.25f);
    const auto engine = scene.makeEngine();
    EXPECT_EQ(engine->outputName(), "Speakers");
    EXPECT_EQ(engine->currentOutputID(), scene.speakers);
    EXPECT_TRUE(engine->masterVolumeSupported());
    EXPECT_FLOAT_EQ(engine->masterVolume(), 0.5f);
    EXPECT_TRUE(engine->masterMuteSupported());
    EXPECT_FALSE(engine->masterMuted());

    scene.hardware.setDeviceMuted(headphones, true);
    scene.hardware.setDefaultOutputDevice(headphones);
    engine->refresh();
    EXPECT_EQ(engine->outputName(), "Headphones");
    EXPECT_EQ(engine->currentOutputID(), headphones);
    EXPECT_FLOAT_EQ(engine->masterVolume(), 0.25f);
    EXPECT_TRUE(engine->masterMuted());

    scene.hardware.setDeviceVolume(headphones, 0.75f);
    scene.hardware.setDeviceMuted(headphones, false);
    engine->refresh();
    EXPECT_FLOAT_EQ(engine->masterVolume(), 0.75f);
    EXPECT_FALSE(engine->masterMuted());
}

TEST_F(OutputsTest, WithNoDefaultDeviceShowsOutputAndNoVolume)
{
    scene.hardware.removeDevice(scene.speakers);
    const auto engine = scene.makeEngine();
    EXPECT_EQ(engine->outputName(), "Output");
    EXPECT_EQ(engine->currentOutputID(), 0u);
    EXPECT_FALSE(engine->masterVolumeSupported());
    EXPECT_FLOAT_EQ(engine->masterVolume(), 1.0f);
    EXPECT_FALSE(engine->masterMuteSupported());
    EXPECT_TRUE(engine->outputs().isEmpty());
}

TEST_F(OutputsTest, MasterVolumeAndMuteWriteTheDeviceKeepTheLastReadAndSkipADeviceWithoutThem)
{
    const auto engine = scene.makeEngine();
    for (const AudioObjectPropertySelector selector : {kAudioDevicePropertyVolumeScalar, kAudioDevicePropertyMute})
        scene.hardware.failCall(Call::GetPropertyData, selector, kAudioHardwareUnspecifiedError);
    scene.hardware.setDeviceVolume(scene.speakers, 0.9f);
    scene.hardware.setDeviceMuted(scene.speakers, true);
    engine->refresh();
    EXPECT_TRUE(engine->masterVolumeSupported());
    EXPECT_FLOAT_EQ(engine->masterVolume(), 0.5f) << "a failed read keeps the last value";
    EXPECT_TRUE(engine->masterMuteSupported());
    EXPECT_FALSE(engine->masterMuted());
    scene.hardware.clearFaults();

    // A toggle starts from the device, which may have changed since the
    // last refresh.
    engine->toggleMasterMuted();
    EXPECT_FALSE(engine->masterMuted());
    EXPECT_EQ(scene.hardware.deviceMuted(scene.speakers), false);
    engine->setMasterMuted(true);
    EXPECT_TRUE(engine->masterMuted());
    EXPECT_EQ(scene.hardware.deviceMuted(scene.speakers), true);

    engine->setMasterVolume(1.2f);
    EXPECT_FLOAT_EQ(engine->masterVolume(), 1.2f);
    EXPECT_FLOAT_EQ(*scene.hardware.deviceVolume(scene.speakers), 1.0f);
    engine->setMasterVolume(-0.1f);
    EXPECT_FLOAT_EQ(engine->masterVolume(), -0.1f);
    EXPECT_FLOAT_EQ(*scene.hardware.deviceVolume(scene.speakers), 0.0f);
    engine->setMasterVolume(std::nanf(""));
    EXPECT_FLOAT_EQ(*scene.hardware.deviceVolume(scene.speakers), 1.0f);
    engine->refresh();
    EXPECT_FLOAT_EQ(engine->masterVolume(), 1.0f) << "the device's own value replaces the published one";

    scene.hardware.setDeviceVolume(scene.speakers, std::nullopt);
    scene.hardware.setDeviceMuted(scene.speakers, std::nullopt);
    engine->refresh();
    EXPECT_FALSE(engine->masterMuteSupported());
    EXPECT_TRUE(engine->masterMuted()) << "kept";
    scene.hardware.resetCallCounts();
    engine->setMasterVolume(0.3f);
    EXPECT_FALSE(engine->masterVolumeSupported());
    EXPECT_FLOAT_EQ(engine->masterVolume(), 0.3f);
    engine->setMasterMuted(false);
    EXPECT_FALSE(engine->masterMuted());
    engine->toggleMasterMuted();
    EXPECT_FALSE(engine->masterMuted()) << "no mute on show over a device that cannot mute";
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
