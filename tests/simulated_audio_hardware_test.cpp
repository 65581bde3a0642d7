// The engine's tests drive this simulation end to end. These hold it to what
// they take on trust and could not notice going wrong: Core Audio's statuses,
// string ownership, a tap that mutes only while it is read, and a stop that
// really waits. The aggregate's input layout and Core Audio's timings show in
// every level the engine's tests measure.

#include "cf_string.h"
#include "simulated_audio_hardware.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <stdexcept>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace {

using Call = SimulatedAudioHardware::Call;
using Signal = SimulatedAudioHardware::Signal;

constexpr UInt32 kCycle = SimulatedAudioHardware::kFramesPerCycle;

#if defined(RAVLET_APPLE_FRAMEWORKS)
// Apple's CoreFoundation keeps no count of the objects alive; the strings'
// ownership is proven by the build on the program's own CoreFoundation.
long liveCFObjectCount() { return 0; }
#endif

constexpr AudioObjectPropertyAddress address(AudioObjectPropertySelector selector,
                                             AudioObjectPropertyScope scope = kAudioObjectPropertyScopeGlobal,
                                             AudioObjectPropertyElement element = kAudioObjectPropertyElementMain)
{
    return {selector, scope, element};
}

constexpr auto kDefaultOutput = address(kAudioHardwarePropertyDefaultOutputDevice);
constexpr auto kDevices = address(kAudioHardwarePropertyDevices);
constexpr auto kName = address(kAudioObjectPropertyName);

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
    QString readString(AudioObjectID object, const AudioObjectPropertyAddress& where)
    {
        CFStringRef string = nullptr;
        if (read(object, where, string) != kAudioHardwareNoError)
            return QStringLiteral("<failed>");
        const QString text = QString::fromStdString(utf8FromCFString(string));
        CFRelease(string);
        return text;
    }

    AudioObjectID makeTap(const std::vector<AudioObjectID>& processes)
    {
        ProcessTapDescription description;
        description.processes = processes;
        AudioObjectID tap = 0;
        EXPECT_EQ(hw.createProcessTap(description, &tap), 0);
        return tap;
    }
    QVariantMap description(const QString& master, const std::vector<AudioObjectID>& taps)
    {
        QVariantList tapList;
        for (AudioObjectID tap : taps)
            tapList.append(QVariantMap{{kAudioSubTapUIDKey, readString(tap, address(kAudioTapPropertyUID))}});
        return {{kAudioAggregateDeviceUIDKey, QStringLiteral("agg-%1").arg(++aggregates)},
                {kAudioAggregateDeviceMainSubDeviceKey, master},
                {kAudioAggregateDeviceTapListKey, tapList}};
    }
    AudioObjectID makeAggregate(const QString& master, const std::vector<AudioObjectID>& taps)
    {
        AudioObjectID aggregate = 0;
        EXPECT_EQ(hw.createAggregateDevice(description(master, taps), &aggregate), 0);
        return aggregate;
    }

    SimulatedAudioHardware hw;
    // Before the first device: a clock driven by hand, and calls that take
    // no time unless a test asks for Core Audio's.
    const bool instant = (hw.setManualClock(true), hw.setTimings(SimulatedAudioHardware::kInstant), true);
    const AudioObjectID speakers = hw.addDevice({QStringLiteral("Speakers"), QStringLiteral("spk"), {2}, {}, 0.5f, false});
    const AudioObjectID microphone = hw.addDevice({QStringLiteral("Microphone"), QStringLiteral("mic"), {}, {1}, {}});
    const AudioObjectID interface = hw.addDevice({QStringLiteral("Interface"), QStringLiteral("ifc"), {2, 6}, {1}, {}});
    int aggregates = 0;
};

TEST_F(SimulatedAudioHardwareTest, RefusesBadCallsWithCoreAudioStatuses)
{
    constexpr OSStatus unknown = kAudioHardwareUnknownPropertyError;
    constexpr OSStatus badSize = kAudioHardwareBadPropertySizeError;
    constexpr AudioObjectPropertySelector volume = kAudioDevicePropertyVolumeScalar;
    UInt32 value = 0;
    EXPECT_EQ(read(999, kName, value), kAudioHardwareBadObjectError);
    EXPECT_FALSE(hw.hasProperty(999, kName));
    EXPECT_EQ(read(speakers, address(kAudioProcessPropertyPID), value), unknown);
    EXPECT_EQ(read(speakers, address(kAudioObjectPropertyName, kAudioObjectPropertyScopeOutput), value), unknown);
    EXPECT_EQ(read(speakers, address(volume, kAudioObjectPropertyScopeInput), value), unknown);
    EXPECT_EQ(read(speakers, address(volume, kAudioObjectPropertyScopeOutput, 1), value), unknown);
    EXPECT_EQ(read(kAudioObjectSystemObject, kDefaultOutput, value, 3), badSize);
    std::uint64_t storage[8] = {};
    UInt32 room = audioBufferListSize(1) - 1;
    const auto inputStreams = address(kAudioDevicePropertyStreamConfiguration, kAudioObjectPropertyScopeInput);
    EXPECT_EQ(hw.getPropertyData(interface, inputStreams, 0, nullptr, &room, storage), badSize);
    // Lists are the exception: they truncate to whole ids.
    AudioObjectID ids[3] = {};
    room = 10;
    ASSERT_EQ(hw.getPropertyData(kAudioObjectSystemObject, kDevices, 0, nullptr, &room, ids), 0);
    EXPECT_EQ(room, 8u);
    EXPECT_EQ(ids[2], 0u);

    EXPECT_EQ(write(kAudioObjectSystemObject, kDefaultOutput, microphone), kAudioHardwareBadDeviceError);
    EXPECT_EQ(write(kAudioObjectSystemObject, kDefaultOutput, std::uint16_t(interface)), badSize);
    EXPECT_EQ(write(speakers, kName, 0), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(hw.defaultOutputDevice(), kAudioObjectUnknown);
    const AudioObjectID process = hw.addProcess(10);
    const auto sentTo = address(kRavletProcessPropertyOutputDevice);
    EXPECT_EQ(write(process, sentTo, microphone), kAudioHardwareBadDeviceError);
    EXPECT_EQ(write(process, sentTo, std::uint16_t(interface)), badSize);
    EXPECT_EQ(read(process, sentTo, value), unknown) << "a process sent nowhere plays on the default";

    const auto mute = address(kAudioDevicePropertyMute, kAudioObjectPropertyScopeOutput);
    EXPECT_EQ(write(speakers, mute, std::uint16_t(1)), badSize);
    EXPECT_EQ(write(speakers, mute, std::uint64_t(1)), badSize);
    EXPECT_EQ(hw.deviceMuted(speakers), false);
    EXPECT_EQ(write(speakers, mute, UInt32(2)), 0);
    EXPECT_EQ(read(speakers, mute, value), 0);
    EXPECT_EQ(value, 1u) << "any value but 0 mutes";
    EXPECT_EQ(read(speakers, address(kAudioDevicePropertyMute, kAudioObjectPropertyScopeInput), value), unknown);
    EXPECT_FALSE(hw.hasProperty(interface, mute)) << "built without a mute control";
    EXPECT_EQ(write(interface, mute, UInt32(1)), unknown);
}

TEST_F(SimulatedAudioHardwareTest, EveryStringHandedOutIsTheCallersAndARefusedReadHandsOutNone)
{
    const long live = liveCFObjectCount();
    EXPECT_EQ(readString(speakers, kName), QStringLiteral("Speakers"));
    CFStringRef string = nullptr;
    EXPECT_EQ(read(speakers, kName, string, 4), kAudioHardwareBadPropertySizeError);
    hw.failCall(Call::GetPropertyData, kAudioObjectPropertyName, kAudioHardwareUnspecifiedError, speakers, 1);
    EXPECT_EQ(read(speakers, kName, string), kAudioHardwareUnspecifiedError);
    EXPECT_EQ(readString(speakers, kName), QStringLiteral("Speakers"));
    // Outside the Basic Multilingual Plane a character is two UTF-16 units,
    // and a buffer sized by units alone would cut it.
    hw.setDeviceName(speakers, QStringLiteral("Caf\u00e9 \U0001F3B5"));
    EXPECT_EQ(readString(speakers, kName), QStringLiteral("Caf\u00e9 \U0001F3B5"));
    // Three bytes of UTF-8 to every unit: the most a unit takes, and no room to spare.
    hw.setDeviceName(speakers, QStringLiteral("\u65e5\u672c\u8a9e"));
    EXPECT_EQ(readString(speakers, kName), QStringLiteral("\u65e5\u672c\u8a9e"));
    EXPECT_EQ(cfStringFromUtf8("\xc3\x28"), nullptr) << "malformed UTF-8 makes no string";
    hw.setDeviceName(speakers, std::nullopt);
    EXPECT_EQ(read(speakers, kName, string), kAudioHardwareUnknownPropertyError);
    EXPECT_EQ(liveCFObjectCount(), live);
}

TEST_F(SimulatedAudioHardwareTest, TapsAndAggregatesAreCheckedAsCoreAudioChecksThem)
{
    const AudioObjectID process = hw.addProcess(10);
    ProcessTapDescription bad;
    AudioObjectID tap = 0;
    EXPECT_EQ(hw.createProcessTap(bad, &tap), kAudioHardwareIllegalOperationError);
    hw.setTapsWaitForProcesses(true);
    EXPECT_EQ(hw.createProcessTap(bad, &tap), kAudioHardwareIllegalOperationError) << "no process, no restore asked";
    bad.bundleIDs = {QStringLiteral("/Applications/Chat.app")};
    bad.processRestoreEnabled = true;
    EXPECT_EQ(hw.createProcessTap(bad, &tap), kAudioHardwareNoError);
    bad.processes = {process, 999};
    EXPECT_EQ(hw.createProcessTap(bad, &tap), kAudioHardwareBadObjectError);

    tap = makeTap({process});
    const QVariantMap good = description(QStringLiteral("ifc"), {tap});
    auto with = [&](const char* key, const QVariant& value) {
        QVariantMap changed = good;
        changed.insert(QLatin1String(key), value);
        return changed;
    };
    const std::vector<std::pair<QVariantMap, OSStatus>> refused = {
        {with(kAudioAggregateDeviceUIDKey, QString()), kAudioHardwareIllegalOperationError},
        {with(kAudioAggregateDeviceUIDKey, QStringLiteral("spk")), kAudioHardwareIllegalOperationError},
        {with(kAudioAggregateDeviceMainSubDeviceKey, QStringLiteral("nope")), kAudioHardwareBadDeviceError},
        {with(kAudioAggregateDeviceSubDeviceListKey, QVariantList{QVariantMap{{kAudioSubDeviceUIDKey, "nope"}}}),
         kAudioHardwareBadDeviceError},
        {with(kAudioAggregateDeviceTapListKey, QVariantList{QVariantMap{{kAudioSubTapUIDKey, "nope"}}}),
         kAudioHardwareBadObjectError},
    };
    AudioObjectID aggregate = 0;
    for (std::size_t i = 0; i < refused.size(); ++i)
        EXPECT_EQ(hw.createAggregateDevice(refused[i].first, &aggregate), refused[i].second) << "case " << i;
    EXPECT_EQ(hw.liveAggregateCount(), 0);

    // The engine's tests can only prove it hides its own aggregate if it is listed.
    ASSERT_EQ(hw.createAggregateDevice(good, &aggregate), 0);
    AudioObjectID ids[5] = {};
    UInt32 room = sizeof ids;
    ASSERT_EQ(hw.getPropertyData(kAudioObjectSystemObject, kDevices, 0, nullptr, &room, ids), 0);
    EXPECT_EQ(room, 16u) << "taps are not devices";
    EXPECT_EQ(ids[3], aggregate);
}

// A device that reads a tap but is stopped silences nothing, as the engine's
// handover from one setup to the next relies on.
TEST_F(SimulatedAudioHardwareTest, ATapMutesOnlyWhileReadByAStartedDevice)
{
    hw.setDefaultOutputDevice(speakers);
    ProcessTapDescription muting;
    muting.processes = {hw.addProcess(10)};
    muting.muteBehavior = kTapMutedWhenTapped;
    hw.setProcessSignal(10, Signal::sine(1000.0f, 0.5f));
    const auto heard = [&] {
        hw.runCycles(1);
        return hw.recentPeak(speakers, kCycle) > 0.4f;
    };
    AudioObjectID tap = 0;
    ASSERT_EQ(hw.createProcessTap(muting, &tap), 0);
    EXPECT_TRUE(heard()) << "a tap no device reads";
    const AudioObjectID aggregate = makeAggregate(QStringLiteral("spk"), {tap});
    EXPECT_TRUE(heard()) << "read by a device not started";
    DeviceIOProcID proc = nullptr;
    ASSERT_EQ(hw.createIOProcIDWithBlock(&proc, aggregate, nullptr, [](auto...) {}), 0);
    ASSERT_EQ(hw.deviceStart(aggregate, proc), 0);
    EXPECT_FALSE(heard());
    ASSERT_EQ(hw.deviceStop(aggregate, proc), 0);
    EXPECT_TRUE(heard()) << "stopped, it mutes nothing";
    EXPECT_EQ(hw.destroyIOProcID(aggregate, proc), 0);
}

// Where Core Audio refuses a call the simulation refuses it too; where its
// headers leave the outcome open the call is recorded for tests to assert on.
TEST_F(SimulatedAudioHardwareTest, RefusesOrRecordsWhatCoreAudioLeavesUndefined)
{
    const AudioObjectID aggregate = makeAggregate(QStringLiteral("spk"), {});
    int calls = 0;
    DeviceIOProcID proc = nullptr;
    ASSERT_EQ(hw.createIOProcIDWithBlock(&proc, aggregate, nullptr, [&](auto...) { ++calls; }), 0);
    ASSERT_EQ(hw.deviceStart(aggregate, proc), 0);
    EXPECT_EQ(hw.destroyIOProcID(aggregate, proc), kAudioHardwareIllegalOperationError);
    EXPECT_EQ(hw.runningIOProcCount(), 1);
    hw.runCycles(1);
    // Were the aggregate to go with its master, an engine that leaks it
    // would pass: it stays, silent, for its owner to destroy.
    hw.removeDevice(speakers);
    hw.runCycles(1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(hw.liveAggregateCount(), 1);
    EXPECT_EQ(hw.destroyAggregateDevice(aggregate), 0);
    EXPECT_EQ(hw.liveAggregateCount() + hw.liveIOProcCount(), 0);

    // An exec can leave a process's old object beside its new one.
    const AudioObjectID old = hw.addProcess(10), fresh = hw.addProcessObject(10);
    ASSERT_NE(old, fresh);
    SInt32 pid = 0;
    EXPECT_EQ(read(old, address(kAudioProcessPropertyPID), pid), 0);
    EXPECT_EQ(pid, 10);
    AudioObjectID translated = 0;
    UInt32 room = sizeof translated;
    pid = 10;
    ASSERT_EQ(hw.getPropertyData(kAudioObjectSystemObject, address(kAudioHardwarePropertyTranslatePIDToProcessObject),
                                 sizeof pid, &pid, &room, &translated), 0);
    EXPECT_EQ(translated, fresh);
    EXPECT_EQ(hw.doubtfulCalls(), QStringList({QStringLiteral("destroyed a running I/O procedure of device %1").arg(aggregate),
                                               QStringLiteral("destroyed aggregate device %1 while its I/O ran").arg(aggregate),
                                               QStringLiteral("translated pid 10, which has 2 process objects")}));
    hw.removeProcess(10);
    EXPECT_EQ(hw.processObject(10), kAudioObjectUnknown);

    // A script that names nothing would set up nothing.
    EXPECT_THROW(hw.setProcessSignal(10, Signal::sine(440.0f, 0.5f)), std::invalid_argument);
    EXPECT_THROW(hw.setProcessRunningOutput(10, false), std::invalid_argument);
    EXPECT_THROW(hw.removeProcess(10), std::invalid_argument);
    EXPECT_THROW(hw.setDeviceVolume(999, 0.5f), std::invalid_argument);
    EXPECT_THROW(hw.setDeviceName(aggregate, QStringLiteral("gone")), std::invalid_argument);
}

// On the real clock thread; meant to run under ThreadSanitizer too.
TEST_F(SimulatedAudioHardwareTest, ThreadClockRunsRealCyclesAndStopWaitsForTheBlock)
{
    hw.setManualClock(false);
    const AudioObjectID aggregate = makeAggregate(QStringLiteral("spk"), {});
    std::atomic<bool> inside = false;
    std::atomic<int> calls = 0;
    DeviceIOProcID proc = nullptr;
    ASSERT_EQ(hw.createIOProcIDWithBlock(&proc, aggregate, nullptr, [&](auto...) {
        inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        ++calls;
        inside = false;
    }), 0);
    QElapsedTimer timer;
    timer.start();
    ASSERT_EQ(hw.deviceStart(aggregate, proc), 0);
    while (hw.cyclesRun() < 5 && timer.elapsed() < 1000)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(hw.cyclesRun(), 5);
    EXPECT_GE(timer.elapsed(), 30) << "cycles keep the real period";
    // Asking the simulation anything would wait for the cycle: watch the block.
    while (!inside && timer.elapsed() < 2000)
        std::this_thread::yield();
    ASSERT_TRUE(inside);
    ASSERT_EQ(hw.deviceStop(aggregate, proc), 0);
    EXPECT_FALSE(inside);
    const int stoppedAt = calls;
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(calls, stoppedAt);
    EXPECT_EQ(hw.destroyAggregateDevice(aggregate), 0);
}

} // namespace
