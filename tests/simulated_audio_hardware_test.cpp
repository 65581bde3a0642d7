#include "cf_string.h"
#include "simulated_audio_hardware.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

using Call = SimulatedAudioHardware::Call;

constexpr AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                             AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
                                             AudioObjectPropertyElement element = kAudioObjectPropertyElementMain)
{
    return {selector, scope, element};
}

constexpr auto kDefaultOutput = address(kAudioHardwarePropertyDefaultOutputDevice);
constexpr auto kDevices = address(kAudioHardwarePropertyDevices);
constexpr auto kName = address(kAudioObjectPropertyName);
constexpr auto kVolume = address(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput);

class SimulatedAudioHardwareTest : public testing::Test {
protected:
    template <typename T>
    OSStatus read(AudioObjectID object, const AudioObjectPropertyAddress& where, T& value, UInt32 room = sizeof(T))
    {
        return hw.getPropertyData(object, where, 0, nullptr, &room, &value);
    }
    template <typename T>
    OSStatus write(AudioObjectID object, const AudioObjectPropertyAddress& where, const T& value)
    {
        return hw.setPropertyData(object, where, 0, nullptr, sizeof(T), &value);
    }
    // Reads a string property and releases it, as a careful caller would.
    QString readString(AudioObjectID object, const AudioObjectPropertyAddress& where)
    {
        CFStringRef string = nullptr;
        if (read(object, where, string) != kAudioHardwareNoError)
            return QStringLiteral("<failed>");
        const QString text = QString::fromStdString(CFStringGetUtf8(string));
        CFRelease(string);
        return text;
    }

    SimulatedAudioHardware hw;
    const AudioObjectID speakers = hw.addDevice({QStringLiteral("Speakers"), QStringLiteral("spk"), {2}, {}, 0.5f});
    const AudioObjectID microphone = hw.addDevice({QStringLiteral("Microphone"), QStringLiteral("mic"), {}, {1}, {}});
    const AudioObjectID interface = hw.addDevice({QStringLiteral("Interface"), QStringLiteral("ifc"), {2, 6}, {1}, {}});
};

TEST_F(SimulatedAudioHardwareTest, RefusesBadReadsWithCoreAudioStatuses)
{
    UInt32 value = 0;
    EXPECT_EQ(read(999, kName, value), kAudioHardwareBadObjectError);
    EXPECT_FALSE(hw.hasProperty(999, kName));
    EXPECT_EQ(read(speakers, address(kAudioProcessPropertyPID), value), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(read(speakers, address(kAudioObjectPropertyName, kAudioObjectPropertyScopeOutput), value),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(read(speakers, address(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeInput), value),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(read(speakers, address(kAudioDevicePropertyVolumeScalar, kAudioObjectPropertyScopeOutput, 1), value),
              kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(read(kAudioObjectSystemObject, kDefaultOutput, value, 3), kAudioHardwareBadPropertySizeError);
    UInt32 room = 4;
    EXPECT_EQ(hw.getPropertyData(kAudioObjectSystemObject, kDefaultOutput, 0, nullptr, &room, nullptr),
              kAudioHardwareIllegalOperationError);

    // A larger buffer than needed is fine; the answer says what was written.
    const AudioObjectID process = hw.addProcess(42);
    auto translate = [&](const auto& pid, std::uint64_t& object) {
        room = sizeof object;
        return hw.getPropertyData(kAudioObjectSystemObject, address(kAudioHardwarePropertyTranslatePIDToProcessObject),
                                  sizeof pid, &pid, &room, &object);
    };
    std::uint64_t object = 77;
    ASSERT_EQ(translate(SInt32(42), object), 0);
    EXPECT_EQ(room, 4u);
    EXPECT_EQ(object, process);
    EXPECT_EQ(translate(std::int64_t(42), object), kAudioHardwareBadPropertySizeError);
    ASSERT_EQ(translate(SInt32(43), object), 0);
    EXPECT_EQ(object, kAudioObjectUnknown);
}

TEST_F(SimulatedAudioHardwareTest, WritesOnlyWhatTheHardwareAccepts)
{
    EXPECT_EQ(write(kAudioObjectSystemObject, kDefaultOutput, interface), 0);
    EXPECT_EQ(hw.defaultOutputDevice(), interface);
    EXPECT_EQ(write(kAudioObjectSystemObject, kDefaultOutput, microphone), kAudioHardwareBadDeviceError);
    EXPECT_EQ(write(kAudioObjectSystemObject, kDefaultOutput, AudioObjectID(0)), kAudioHardwareBadDeviceError);
    EXPECT_EQ(write(kAudioObjectSystemObject, kDefaultOutput, std::uint16_t(speakers)), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(hw.defaultOutputDevice(), interface);

    EXPECT_EQ(write(speakers, kVolume, 1.5f), 0);
    EXPECT_EQ(hw.deviceVolume(speakers), 1.0f);
    EXPECT_EQ(write(speakers, kVolume, std::nanf("")), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(hw.deviceVolume(speakers), 1.0f);
    EXPECT_EQ(write(microphone, kVolume, 0.5f), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(write(speakers, kName, 0), kAudioHardwareIllegalOperationError);

    // Removing the default device leaves none, and its id is never handed out again.
    hw.removeDevice(interface);
    EXPECT_EQ(hw.defaultOutputDevice(), kAudioObjectUnknown);
    EXPECT_GT(hw.addDevice({}), interface);
}

TEST_F(SimulatedAudioHardwareTest, ListsTruncateToWholeIds)
{
    UInt32 size = 0;
    ASSERT_EQ(hw.getPropertyDataSize(kAudioObjectSystemObject, kDevices, 0, nullptr, &size), 0);
    EXPECT_EQ(size, 12u);
    AudioObjectID ids[3] = {};
    UInt32 room = 10;
    ASSERT_EQ(hw.getPropertyData(kAudioObjectSystemObject, kDevices, 0, nullptr, &room, ids), 0);
    EXPECT_EQ(room, 8u);
    EXPECT_EQ(ids[0], speakers);
    EXPECT_EQ(ids[1], microphone);
    EXPECT_EQ(ids[2], 0u);
}

TEST_F(SimulatedAudioHardwareTest, StringsBelongToTheCaller)
{
    const long live = CFStringLiveCount();
    EXPECT_EQ(readString(speakers, kName), QStringLiteral("Speakers"));
    EXPECT_EQ(readString(speakers, address(kAudioDevicePropertyDeviceUID)), QStringLiteral("spk"));
    CFStringRef string = nullptr;
    EXPECT_EQ(read(speakers, kName, string, 4), kAudioHardwareBadPropertySizeError);
    EXPECT_EQ(CFStringLiveCount(), live);

    hw.setDeviceName(speakers, std::nullopt);
    EXPECT_FALSE(hw.hasProperty(speakers, kName));
    EXPECT_EQ(read(speakers, kName, string), kAudioHardwareUnknownPropertyError);
    const AudioObjectID anonymous = hw.addDevice({QString(), QString(), {2}, {}, {}});
    EXPECT_TRUE(hw.hasProperty(anonymous, kName));
    EXPECT_FALSE(hw.hasProperty(anonymous, address(kAudioDevicePropertyDeviceUID)));
    EXPECT_EQ(CFStringLiveCount(), live);
}

TEST_F(SimulatedAudioHardwareTest, StreamConfigurationHasOneBufferPerStream)
{
    struct Case {
        AudioObjectID device;
        AudioObjectPropertyScope scope;
        std::vector<UInt32> channels;
    };
    const std::vector<Case> cases = {
        {speakers, kAudioObjectPropertyScopeOutput, {2}}, {speakers, kAudioObjectPropertyScopeInput, {}},
        {microphone, kAudioObjectPropertyScopeOutput, {}}, {microphone, kAudioObjectPropertyScopeInput, {1}},
        {interface, kAudioObjectPropertyScopeOutput, {2, 6}}, {interface, kAudioObjectPropertyScopeInput, {1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "device " << c.device << " scope " << c.scope);
        const auto where = address(kAudioDevicePropertyStreamConfiguration, c.scope);
        const auto count = UInt32(c.channels.size());
        UInt32 size = 0;
        ASSERT_EQ(hw.getPropertyDataSize(c.device, where, 0, nullptr, &size), 0);
        ASSERT_EQ(size, audioBufferListSize(count));
        std::vector<std::uint64_t> storage(size / sizeof(std::uint64_t) + 1, ~0ull);
        UInt32 room = size - 1;
        EXPECT_EQ(hw.getPropertyData(c.device, where, 0, nullptr, &room, storage.data()), kAudioHardwareBadPropertySizeError);
        room = size;
        ASSERT_EQ(hw.getPropertyData(c.device, where, 0, nullptr, &room, storage.data()), 0);
        const auto* list = reinterpret_cast<const AudioBufferList*>(storage.data());
        ASSERT_EQ(list->mNumberBuffers, count);
        for (UInt32 i = 0; i < count; ++i) {
            EXPECT_EQ(list->mBuffers[i].mNumberChannels, c.channels[i]);
            EXPECT_EQ(list->mBuffers[i].mData, nullptr);
        }
    }
    EXPECT_FALSE(hw.hasProperty(speakers, address(kAudioDevicePropertyStreamConfiguration)));
}

TEST_F(SimulatedAudioHardwareTest, FaultsAndSizeOverridesHitOnlyMatchingCalls)
{
    hw.failCall(Call::GetPropertyData, kAudioObjectPropertyName, kAudioHardwareUnspecifiedError, speakers, 2);
    hw.failCall(Call::HasProperty, 0, kAudioHardwareUnspecifiedError, microphone);
    CFStringRef string = nullptr;
    EXPECT_EQ(read(speakers, kName, string), kAudioHardwareUnspecifiedError);
    EXPECT_EQ(readString(microphone, kName), QStringLiteral("Microphone"));
    EXPECT_EQ(read(speakers, kName, string), kAudioHardwareUnspecifiedError);
    EXPECT_EQ(readString(speakers, kName), QStringLiteral("Speakers"));
    EXPECT_FALSE(hw.hasProperty(microphone, kName));
    EXPECT_FALSE(hw.hasProperty(microphone, kName));
    EXPECT_EQ(hw.callCount(Call::GetPropertyData, kAudioObjectPropertyName), 4);
    EXPECT_EQ(hw.callCount(Call::HasProperty), 2);

    hw.overrideDataSize(kAudioHardwarePropertyDevices, 6);
    hw.overrideDataSize(kAudioHardwarePropertyDefaultOutputDevice, 2);
    UInt32 size = 0;
    ASSERT_EQ(hw.getPropertyDataSize(kAudioObjectSystemObject, kDevices, 0, nullptr, &size), 0);
    EXPECT_EQ(size, 6u);
    AudioObjectID ids[3] = {};
    UInt32 room = sizeof ids;
    ASSERT_EQ(hw.getPropertyData(kAudioObjectSystemObject, kDevices, 0, nullptr, &room, ids), 0);
    EXPECT_EQ(room, 4u);
    AudioObjectID device = 0;
    EXPECT_EQ(read(kAudioObjectSystemObject, kDefaultOutput, device), kAudioHardwareBadPropertySizeError);

    hw.clearFaults();
    EXPECT_TRUE(hw.hasProperty(microphone, kName));
    EXPECT_EQ(read(kAudioObjectSystemObject, kDefaultOutput, device), 0);
}

TEST_F(SimulatedAudioHardwareTest, HookMayChangeTheModelBetweenCalls)
{
    const long live = CFStringLiveCount();
    int hookRuns = 0;
    hw.setBeforeCallHook([&](Call call, AudioObjectID object, const AudioObjectPropertyAddress& where) {
        ++hookRuns;
        // Calls made from here must not run the hook again.
        UInt32 size = 0;
        hw.getPropertyDataSize(kAudioObjectSystemObject, kDevices, 0, nullptr, &size);
        if (call == Call::GetPropertyData && where.mSelector == kAudioObjectPropertyName) {
            hw.setBeforeCallHook(nullptr);
            hw.removeDevice(object);
        }
    });
    UInt32 size = 0;
    ASSERT_EQ(hw.getPropertyDataSize(speakers, kName, 0, nullptr, &size), 0);
    CFStringRef string = nullptr;
    EXPECT_EQ(read(speakers, kName, string, size), kAudioHardwareBadObjectError);
    EXPECT_EQ(hookRuns, 2);
    EXPECT_EQ(hw.callCount(Call::GetPropertyDataSize, kAudioHardwarePropertyDevices), 2);
    EXPECT_EQ(CFStringLiveCount(), live);
}

}
