#include "cf_string.h"
#include "simulated_audio_hardware.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Call = SimulatedAudioHardware::Call;
using Signal = SimulatedAudioHardware::Signal;

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

// --- taps, aggregate devices, I/O procedures and the clock ---

constexpr UInt32 kCycle = SimulatedAudioHardware::kFramesPerCycle;

// Interleaved stereo frames [first, first + frames) of sources played together,
// summed in the order given, as the simulation sums them.
std::vector<float> mix(const std::vector<Signal>& sources, std::int64_t first, std::int64_t frames)
{
    std::vector<float> out(std::size_t(frames) * 2, 0.0f);
    for (const Signal& source : sources) {
        for (std::int64_t i = 0; i < frames; ++i) {
            out[std::size_t(i) * 2] += source.sample(first + i, 0);
            out[std::size_t(i) * 2 + 1] += source.sample(first + i, 1);
        }
    }
    return out;
}

// Keeps what a block saw in its last cycle and writes `level` on the left and
// its negation on the right of the first output buffer.
struct Recorder {
    std::vector<std::vector<float>> input;
    std::vector<UInt32> inputChannels;
    double sampleTime = -1;
    int calls = 0;
    float level = 0.0f;

    AudioDeviceIOBlock block()
    {
        return [this](const AudioTimeStamp* now, const AudioBufferList* in, const AudioTimeStamp*,
                      AudioBufferList* out, const AudioTimeStamp*) {
            ++calls;
            sampleTime = now->mSampleTime;
            input.clear();
            inputChannels.clear();
            for (UInt32 b = 0; b < in->mNumberBuffers; ++b) {
                const AudioBuffer& buffer = (&in->mBuffers[0])[b];
                const auto* samples = static_cast<const float*>(buffer.mData);
                input.emplace_back(samples, samples + buffer.mDataByteSize / sizeof(float));
                inputChannels.push_back(buffer.mNumberChannels);
            }
            auto* samples = static_cast<float*>(out->mBuffers[0].mData);
            for (UInt32 i = 0; i < kCycle; ++i) {
                samples[i * out->mBuffers[0].mNumberChannels] += level;
                samples[i * out->mBuffers[0].mNumberChannels + 1] -= level;
            }
        };
    }
};

class SimulatedTapTest : public SimulatedAudioHardwareTest {
protected:
    SimulatedTapTest()
    {
        hw.setManualClock(true);
        hw.setDefaultOutputDevice(speakers);
    }

    AudioObjectID makeTap(const std::vector<AudioObjectID>& processes, int mute = CATapMutedWhenTapped)
    {
        CATapDescription description;
        description.processes = processes;
        description.muteBehavior = mute;
        AudioObjectID tap = 0;
        EXPECT_EQ(hw.createProcessTap(description, &tap), 0);
        return tap;
    }

    QVariantMap description(const QString& master, const std::vector<AudioObjectID>& taps)
    {
        QVariantList tapList;
        for (AudioObjectID tap : taps)
            tapList.append(QVariantMap{{kAudioSubTapUIDKey, readString(tap, address(kAudioTapPropertyUID))}});
        return {{kAudioAggregateDeviceNameKey, QStringLiteral("Mix")},
                {kAudioAggregateDeviceUIDKey, QStringLiteral("agg-%1").arg(++aggregates)},
                {kAudioAggregateDeviceMainSubDeviceKey, master},
                {kAudioAggregateDeviceSubDeviceListKey, QVariantList{QVariantMap{{kAudioSubDeviceUIDKey, master}}}},
                {kAudioAggregateDeviceTapListKey, tapList}};
    }

    AudioObjectID makeAggregate(const QString& master, const std::vector<AudioObjectID>& taps)
    {
        AudioObjectID aggregate = 0;
        EXPECT_EQ(hw.createAggregateDevice(description(master, taps), &aggregate), 0);
        return aggregate;
    }

    AudioDeviceIOProcID start(AudioObjectID device, Recorder& recorder)
    {
        AudioDeviceIOProcID proc = nullptr;
        EXPECT_EQ(hw.createIOProcIDWithBlock(&proc, device, nullptr, recorder.block()), 0);
        EXPECT_EQ(hw.deviceStart(device, proc), 0);
        return proc;
    }

    int aggregates = 0;
};

TEST_F(SimulatedTapTest, TapsAndAggregatesAreDescribedAndCheckedAsCoreAudioDoes)
{
    const AudioObjectID process = hw.addProcess(10);
    CATapDescription tapDescription;
    tapDescription.processes = {process};
    tapDescription.name = QStringLiteral("Music");
    AudioObjectID tap = 0;
    ASSERT_EQ(hw.createProcessTap(tapDescription, &tap), 0);
    const QString uid = tapDescription.uuid.toString(QUuid::WithoutBraces).toUpper();
    EXPECT_EQ(readString(tap, address(kAudioTapPropertyUID)), uid);
    EXPECT_EQ(readString(tap, kName), QStringLiteral("Music"));
    AudioStreamBasicDescription format{};
    ASSERT_EQ(read(tap, address(kAudioTapPropertyFormat), format), 0);
    const AudioStreamBasicDescription stereo{48000, kAudioFormatLinearPCM,
                                             kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 8, 1, 8, 2, 32, 0};
    EXPECT_EQ(std::memcmp(&format, &stereo, sizeof format), 0);
    CATapDescription bad;
    EXPECT_EQ(hw.createProcessTap(bad, &tap), kAudioHardwareIllegalOperationError);
    bad.processes = {process, 999};
    EXPECT_EQ(hw.createProcessTap(bad, &tap), kAudioHardwareBadObjectError);

    const AudioObjectID second = makeTap({process});
    const QVariantMap good = description(QStringLiteral("ifc"), {second, tap});
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
        {with(kAudioAggregateDeviceTapListKey, QStringLiteral("uid")), kAudioHardwareIllegalOperationError},
    };
    AudioObjectID aggregate = 0;
    for (std::size_t i = 0; i < refused.size(); ++i)
        EXPECT_EQ(hw.createAggregateDevice(refused[i].first, &aggregate), refused[i].second) << "case " << i;
    EXPECT_EQ(hw.liveAggregateCount(), 0);

    ASSERT_EQ(hw.createAggregateDevice(good, &aggregate), 0);
    EXPECT_EQ(hw.aggregateDescription(aggregate), good);
    EXPECT_EQ(readString(aggregate, kName), QStringLiteral("Mix"));
    AudioObjectID ids[5] = {};
    UInt32 room = sizeof ids;
    ASSERT_EQ(hw.getPropertyData(kAudioObjectSystemObject, kDevices, 0, nullptr, &room, ids), 0);
    EXPECT_EQ(room, 16u) << "taps are not devices";
    EXPECT_EQ(ids[3], aggregate);
    // An aggregate cannot be the master of another.
    AudioObjectID nested = 0;
    EXPECT_EQ(hw.createAggregateDevice(description(good.value("uid").toString(), {}), &nested),
              kAudioHardwareBadDeviceError);

    EXPECT_EQ(hw.destroyAggregateDevice(speakers), kAudioHardwareBadObjectError);
    EXPECT_EQ(hw.destroyAggregateDevice(aggregate), 0);
    EXPECT_EQ(hw.destroyProcessTap(tap), 0);
    EXPECT_EQ(hw.destroyProcessTap(tap), kAudioHardwareBadObjectError);
    EXPECT_EQ(hw.destroyProcessTap(second), 0);
    EXPECT_EQ(hw.liveAggregateCount() + hw.liveTapCount(), 0);
}

TEST_F(SimulatedTapTest, BlocksSeeDeviceInputsThenEachTapsMixdownAndAreHeardOnTheMaster)
{
    const Signal sine = Signal::sine(440.0f, 0.5f);
    const Signal pattern = Signal::pattern(0.25f);
    const Signal voice = Signal::sine(1000.0f, 0.1f);
    const AudioObjectID a = hw.addProcess(10);
    const AudioObjectID b = hw.addProcess(11);
    const AudioObjectID c = hw.addProcess(12);
    hw.setProcessSignal(10, sine);
    hw.setProcessSignal(11, pattern);
    hw.setProcessSignal(12, voice);
    hw.setDeviceInputSignal(interface, Signal::pattern(1.0f));
    hw.setDefaultOutputDevice(interface);
    const AudioObjectID one = makeTap({c});
    const AudioObjectID aggregate = makeAggregate(QStringLiteral("ifc"), {one, makeTap({a, b})});

    hw.runCycles(3);
    Recorder recorder;
    recorder.level = 0.125f;
    start(aggregate, recorder);
    hw.runCycles(2);
    ASSERT_EQ(recorder.calls, 2);
    const std::int64_t first = 4 * kCycle;
    EXPECT_EQ(recorder.sampleTime, double(first));
    ASSERT_EQ(recorder.inputChannels, (std::vector<UInt32>{1, 2, 2}));
    for (UInt32 i = 0; i < kCycle; ++i)
        ASSERT_EQ(recorder.input[0][i], Signal::pattern(1.0f).sample(first + i, 0)) << i;
    EXPECT_EQ(recorder.input[1], mix({voice}, first, kCycle));
    EXPECT_EQ(recorder.input[2], mix({sine, pattern}, first, kCycle));

    // Every process is tapped and muted at its source, so the interface
    // plays only the block's output, on its first two channels.
    std::vector<float> expected(std::size_t(kCycle) * 2, 0.125f);
    for (UInt32 i = 0; i < kCycle; ++i)
        expected[2 * i + 1] = -0.125f;
    EXPECT_EQ(hw.recentOutput(interface, kCycle), expected);

    // A tap destroyed under the aggregate reads as silence.
    hw.destroyProcessTap(one);
    hw.runCycles(1);
    EXPECT_EQ(recorder.input[1], std::vector<float>(std::size_t(kCycle) * 2, 0.0f));
}

TEST_F(SimulatedTapTest, ProcessesAreMutedAtTheSourceOnlyAsTheirTapAsks)
{
    const Signal tapped = Signal::sine(300.0f, 0.25f);
    const Signal untapped = Signal::pattern(0.5f);
    const Signal muted = Signal::sine(50.0f, 0.125f);
    const AudioObjectID a = hw.addProcess(10);
    hw.addProcess(11);
    const AudioObjectID c = hw.addProcess(12);
    hw.setProcessSignal(10, tapped);
    hw.setProcessSignal(11, untapped);
    hw.setProcessSignal(12, muted);
    auto heard = [&](AudioObjectID device, const std::vector<Signal>& sources, UInt32 frames = kCycle) {
        const std::int64_t end = hw.cyclesRun() * kCycle;
        return hw.recentOutput(device, frames) == mix(sources, end - frames, frames);
    };

    hw.runCycles(1);
    EXPECT_EQ(hw.recentOutput(speakers, 5000).size(), std::size_t(kCycle) * 2) << "no more than was played";
    EXPECT_TRUE(heard(speakers, {tapped, untapped, muted}));

    makeTap({c}, CATapMuted);
    makeTap({a}, CATapUnmuted);
    const AudioObjectID aggregate = makeAggregate(QStringLiteral("spk"), {makeTap({a})});
    Recorder recorder;
    hw.runCycles(1);
    EXPECT_TRUE(heard(speakers, {tapped, untapped})) << "a muted tap silences without being read";
    const AudioDeviceIOProcID proc = start(aggregate, recorder);
    hw.runCycles(1);
    EXPECT_TRUE(heard(speakers, {untapped}));
    ASSERT_EQ(hw.deviceStop(aggregate, proc), 0);
    hw.runCycles(1);
    EXPECT_TRUE(heard(speakers, {tapped, untapped}));

    // Processes follow the default device from one cycle to the next; the
    // history wraps after a second and still reads in order.
    ASSERT_EQ(hw.deviceStart(aggregate, proc), 0);
    hw.setDefaultOutputDevice(interface);
    hw.runCycles(100);
    EXPECT_EQ(hw.recentPeak(speakers, kCycle), 0.0f);
    EXPECT_TRUE(heard(interface, {untapped}, 48000));
    EXPECT_EQ(hw.destroyAggregateDevice(aggregate), 0);
    hw.runCycles(1);
    EXPECT_TRUE(heard(interface, {tapped, untapped}));
}

TEST_F(SimulatedTapTest, IOProceduresLiveOnlyOnAggregatesAndNeverOutliveThem)
{
    const AudioObjectID aggregate = makeAggregate(QStringLiteral("spk"), {makeTap({hw.addProcess(10)})});
    Recorder recorder;
    AudioDeviceIOProcID proc = nullptr;
    const auto queue = reinterpret_cast<dispatch_queue_t>(std::uintptr_t(0x10));
    constexpr OSStatus illegal = kAudioHardwareIllegalOperationError;
    EXPECT_EQ(hw.createIOProcIDWithBlock(&proc, speakers, nullptr, recorder.block()),
              kAudioHardwareUnsupportedOperationError);
    EXPECT_EQ(hw.createIOProcIDWithBlock(&proc, 999, nullptr, recorder.block()), kAudioHardwareBadObjectError);
    EXPECT_EQ(hw.createIOProcIDWithBlock(nullptr, aggregate, nullptr, recorder.block()), illegal);
    EXPECT_EQ(hw.createIOProcIDWithBlock(&proc, aggregate, nullptr, {}), illegal);
    EXPECT_EQ(hw.createIOProcIDWithBlock(&proc, aggregate, queue, recorder.block()), illegal);
    EXPECT_EQ(hw.liveIOProcCount(), 0);

    proc = start(aggregate, recorder);
    EXPECT_EQ(hw.deviceStart(aggregate, proc), 0) << "starting twice is harmless";
    EXPECT_EQ(hw.deviceStart(999, proc), kAudioHardwareBadObjectError);
    EXPECT_EQ(hw.deviceStart(speakers, proc), illegal);
    EXPECT_EQ(hw.deviceStop(aggregate, nullptr), illegal);
    Recorder second;
    const AudioDeviceIOProcID other = start(aggregate, second);
    EXPECT_EQ(hw.runningIOProcCount(), 2);
    hw.runCycles(1);
    EXPECT_EQ(recorder.calls + second.calls, 2);
    EXPECT_EQ(hw.destroyIOProcID(aggregate, other), 0);
    EXPECT_EQ(hw.destroyIOProcID(aggregate, other), illegal);

    // A vanished master leaves the aggregate in place, silent.
    hw.removeDevice(speakers);
    hw.runCycles(1);
    EXPECT_EQ(recorder.calls, 1);
    EXPECT_EQ(hw.liveAggregateCount(), 1);
    EXPECT_EQ(hw.destroyAggregateDevice(aggregate), 0);
    EXPECT_EQ(hw.liveAggregateCount() + hw.liveIOProcCount() + hw.runningIOProcCount(), 0);
}

TEST_F(SimulatedTapTest, FaultsHitTheNewCallsAndStatusZeroCreatesNothing)
{
    const AudioObjectID process = hw.addProcess(10);
    hw.failCall(Call::CreateProcessTap, 0, kAudioHardwareNoError, 0, 1);
    hw.failCall(Call::CreateAggregateDevice, kAudioObjectPropertyName, kAudioHardwareNoError, 0, 1);
    CATapDescription tapDescription;
    tapDescription.processes = {process};
    AudioObjectID tap = 55;
    EXPECT_EQ(hw.createProcessTap(tapDescription, &tap), 0);
    EXPECT_EQ(tap, kAudioObjectUnknown);
    tap = makeTap({process});
    AudioObjectID aggregate = 55;
    EXPECT_EQ(hw.createAggregateDevice(description(QStringLiteral("spk"), {tap}), &aggregate), 0);
    EXPECT_EQ(aggregate, kAudioObjectUnknown);
    EXPECT_EQ(hw.liveTapCount() + hw.liveAggregateCount(), 1);
    aggregate = makeAggregate(QStringLiteral("spk"), {tap});

    hw.failCall(Call::CreateIOProcID, 0, kAudioHardwareNoError, aggregate, 1);
    Recorder recorder;
    auto proc = reinterpret_cast<AudioDeviceIOProcID>(std::uintptr_t(0x10));
    EXPECT_EQ(hw.createIOProcIDWithBlock(&proc, aggregate, nullptr, recorder.block()), 0);
    EXPECT_EQ(proc, nullptr);
    EXPECT_EQ(hw.liveIOProcCount(), 0);

    proc = start(aggregate, recorder);
    hw.failCall(Call::DeviceStop, 0, kAudioHardwareUnspecifiedError, aggregate, 1);
    hw.failCall(Call::DestroyAggregateDevice, 0, kAudioHardwareUnspecifiedError, aggregate, 1);
    EXPECT_EQ(hw.deviceStop(aggregate, proc), kAudioHardwareUnspecifiedError);
    EXPECT_EQ(hw.destroyAggregateDevice(aggregate), kAudioHardwareUnspecifiedError);
    EXPECT_EQ(hw.runningIOProcCount(), 1);
    EXPECT_EQ(hw.destroyAggregateDevice(aggregate), 0);
    EXPECT_EQ(hw.destroyProcessTap(tap), 0);
    EXPECT_EQ(hw.callCount(Call::DestroyAggregateDevice, kAudioObjectPropertyName), 2);
    EXPECT_EQ(hw.liveTapCount() + hw.liveAggregateCount() + hw.liveIOProcCount(), 0);
}

// On the real clock thread; meant to run under ThreadSanitizer too.
TEST_F(SimulatedAudioHardwareTest, ThreadClockRunsRealCyclesAndStopWaitsForTheBlock)
{
    AudioObjectID aggregate = 0;
    const QVariantMap description{{kAudioAggregateDeviceUIDKey, QStringLiteral("agg")},
                                  {kAudioAggregateDeviceMainSubDeviceKey, QStringLiteral("spk")}};
    ASSERT_EQ(hw.createAggregateDevice(description, &aggregate), 0);
    std::atomic<bool> inside = false;
    std::atomic<int> calls = 0;
    AudioDeviceIOProcID proc = nullptr;
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

}
