#include "simulated_audio_hardware.h"

#include "cf_string.h"

#include <QScopeGuard>

#include <algorithm>
#include <pthread.h>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <numbers>
#include <string>
#include <thread>
#include <utility>

namespace {

using Call = SimulatedAudioHardware::Call;
using DeviceSpec = SimulatedAudioHardware::DeviceSpec;
using Pid = SimulatedAudioHardware::Pid;
using Signal = SimulatedAudioHardware::Signal;

constexpr UInt32 kFrames = SimulatedAudioHardware::kFramesPerCycle;
constexpr std::int64_t kRingFrames = 48000;        // one second of history per device
constexpr std::size_t kPropertyCalls = 4;           // the calls that carry a property address
constexpr std::size_t kCalls = std::size_t(Call::DeviceStop) + 1;
constexpr AudioObjectPropertyAddress kNoProperty{0, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
constexpr long kAuthorized = 3;                     // AVAuthorizationStatusAuthorized

// AudioTimeStamp flags, with Core Audio's values.
constexpr UInt32 kAudioTimeStampSampleTimeValid = 1u << 0;
constexpr UInt32 kAudioTimeStampHostTimeValid = 1u << 1;
constexpr UInt32 kAudioTimeStampRateScalarValid = 1u << 2;

// A clock that fell behind (a stalled machine, a debugger) runs at most this
// many cycles back to back and then drops the rest, as a real device
// overloads rather than replaying the missed time.
constexpr int kMaxCatchUpCycles = 3;

std::chrono::nanoseconds cycleTime(std::int64_t cycles)
{
    // 512 frames at 48 kHz is 32'000'000 / 3 ns; counted from the start of a
    // schedule so that rounding never accumulates.
    return std::chrono::nanoseconds(cycles * 32'000'000 / 3);
}

std::int64_t cyclesWithin(std::chrono::steady_clock::duration elapsed)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() * 3 / 32'000'000;
}

std::size_t ringIndex(std::int64_t frame)
{
    return std::size_t(frame % kRingFrames) * 2;
}

// Where one channel of a buffer layout lives.
struct ChannelRef {
    int buffer = -1;                        // -1: the layout has no channels
    UInt32 offset = 0;
    UInt32 stride = 1;

    bool operator==(const ChannelRef&) const = default;
};

// The first two channels of a layout, counted across its buffers: the first
// buffer's two when it is interleaved, the first two buffers' when it is mono.
// A layout with one channel gives it for both sides.
std::array<ChannelRef, 2> firstTwoChannels(const std::vector<UInt32>& channels)
{
    std::array<ChannelRef, 2> refs;
    std::size_t found = 0;
    for (std::size_t b = 0; b < channels.size() && found < refs.size(); ++b) {
        for (UInt32 k = 0; k < channels[b] && found < refs.size(); ++k)
            refs[found++] = {int(b), k, channels[b]};
    }
    if (found == 1)
        refs[1] = refs[0];
    return refs;
}

// One cycle's worth of samples in a given layout, with the AudioBufferList
// that describes them. Everything is allocated up front; a cycle only
// restores the headers (a block may have scribbled on them) and the samples.
class Buffers {
public:
    void allocate(const std::vector<UInt32>& channels)
    {
        channels_ = channels;
        samples_.assign(channels.size(), {});
        for (std::size_t b = 0; b < channels.size(); ++b)
            samples_[b].assign(std::size_t(channels[b]) * kFrames, 0.0f);
        storage_ = std::make_unique<std::byte[]>(audioBufferListSize(UInt32(channels.size())));
        list_ = new (storage_.get()) AudioBufferList{};
        reset();
    }

    void reset()
    {
        list_->mNumberBuffers = UInt32(channels_.size());
        AudioBuffer* buffers = list_->mBuffers;
        for (std::size_t b = 0; b < channels_.size(); ++b) {
            std::vector<float>& samples = samples_[b];
            std::fill(samples.begin(), samples.end(), 0.0f);
            buffers[b] = {channels_[b], UInt32(samples.size() * sizeof(float)),
                          samples.empty() ? nullptr : samples.data()};
        }
    }

    AudioBufferList* list() { return list_; }
    float* samples(std::size_t buffer) { return samples_[buffer].data(); }
    UInt32 channels(std::size_t buffer) const { return channels_[buffer]; }
    float at(const ChannelRef& channel, UInt32 frame) const
    {
        return samples_[std::size_t(channel.buffer)][std::size_t(frame) * channel.stride + channel.offset];
    }

private:
    std::vector<UInt32> channels_;
    std::vector<std::vector<float>> samples_;
    std::unique_ptr<std::byte[]> storage_;
    AudioBufferList* list_ = nullptr;
};

// What an aggregate device adds to a device record. The master and the taps
// are held by object id: a master that vanishes and comes back is a new
// device, and a destroyed tap stays destroyed.
struct AggregateRecord {
    QVariantMap description;
    AudioObjectID master = kAudioObjectUnknown;
    std::vector<AudioObjectID> taps;
    std::size_t masterInputBuffers = 0;     // the input buffers that are the master's
    Buffers input;
};

// One record per object; the seam answers only from what is here.
struct DeviceRecord {
    DeviceSpec spec;
    Signal inputSignal;
    std::unique_ptr<AggregateRecord> aggregate;
    // Output devices only: what they played, interleaved stereo.
    std::vector<float> ring;
    std::int64_t played = 0;
    bool mono = false;

    // Adds one cycle of interleaved stereo at the cycle being played; a mono
    // device hears the left side on both. Null clears the cycle instead.
    void play(const float* stereo)
    {
        constexpr std::size_t length = std::size_t(kFrames) * 2;
        const std::size_t start = ringIndex(played);
        const std::size_t firstPart = std::min(length, ring.size() - start);
        float* samples = ring.data();
        for (std::size_t j = 0; j < length; ++j) {
            float& sample = samples[j < firstPart ? start + j : j - firstPart];
            sample = stereo ? sample + stereo[mono ? j & ~std::size_t(1) : j] : 0.0f;
        }
    }
};

struct ProcessRecord {
    Pid pid = 0;
    bool runningOutput = false;
    AudioClientFacts facts;                 // what an audio server would state; empty on Core Audio
    Signal signal;
    bool silenced = false;                  // worked out afresh every cycle
    // This cycle's samples, interleaved stereo, rendered once and shared by
    // the device it plays into and every tap that captures it.
    std::vector<float> block = std::vector<float>(std::size_t(kFrames) * 2);
};

// A signal's frames [first, first + kFrames) as interleaved stereo, with the
// very values sample() gives: the right channel is the left one, or its
// negation, and a pattern repeats after 100 frames. A busy scene plays
// thousands of processes at once, so no sample is worked out twice.
void render(const Signal& signal, std::int64_t first, float* out)
{
    if (signal.kind == Signal::Kind::Sine) {
        // A rotating phasor instead of a sine per sample: the stand-in for
        // other applications should not cost more than the program it hosts.
        // Started exactly at the first frame, it stays within 1e-12 of
        // sample() over a cycle.
        const double step = 2.0 * std::numbers::pi * double(signal.frequency) / SimulatedAudioHardware::kSampleRate;
        const double turns = double(signal.frequency) * double(first) / SimulatedAudioHardware::kSampleRate;
        const double phase = 2.0 * std::numbers::pi * (turns - std::floor(turns));
        double sine = std::sin(phase);
        double cosine = std::cos(phase);
        const double stepSine = std::sin(step);
        const double stepCosine = std::cos(step);
        for (UInt32 i = 0; i < kFrames; ++i) {
            const float value = float(double(signal.amplitude) * sine);
            out[2 * i] = value;
            out[2 * i + 1] = value;
            const double nextSine = sine * stepCosine + cosine * stepSine;
            cosine = cosine * stepCosine - sine * stepSine;
            sine = nextSine;
        }
        return;
    }
    constexpr UInt32 kPatternPeriod = 100;
    const bool pattern = signal.kind == Signal::Kind::Pattern;
    for (UInt32 i = 0; i < kFrames; ++i) {
        const float left = pattern && i >= kPatternPeriod ? out[2 * (i - kPatternPeriod)]
                                                          : signal.sample(first + i, 0);
        out[2 * i] = left;
        out[2 * i + 1] = pattern ? -left : left;
    }
}

struct TapRecord {
    CATapDescription description;
    QString uid;
    std::vector<AudioObjectID> processes;   // each once, however often listed
    bool read = false;                      // worked out afresh every cycle
};

struct IOProcRecord {
    AudioObjectID device = kAudioObjectUnknown;
    AudioDeviceIOBlock block;
    bool started = false;
    Buffers output;
    std::array<ChannelRef, 2> heard;        // the output channels the master plays
};

struct Fault {
    Call call;
    AudioObjectPropertySelector selector;
    OSStatus status;
    AudioObjectID object;
    int remaining;                          // < 0: until cleared
};

struct SizeOverride {
    AudioObjectPropertySelector selector;
    UInt32 size;
    AudioObjectID object;
};

// A property's value before it is handed out. Strings stay text until the
// read is known to succeed: a refused read must not create a reference that
// no caller will release.
struct Reply {
    bool list = false;                      // whole ids, truncated to the room given
    std::vector<std::byte> bytes;
    std::optional<std::string> string;

    UInt32 size() const { return string ? UInt32(sizeof(CFStringRef)) : UInt32(bytes.size()); }
};

template <typename T>
std::vector<std::byte> bytesOf(const T& value)
{
    std::vector<std::byte> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

template <typename Record>
std::vector<std::byte> idsOf(const std::map<AudioObjectID, Record>& objects)
{
    std::vector<std::byte> bytes(objects.size() * sizeof(AudioObjectID));
    std::size_t offset = 0;
    for (const auto& entry : objects) {
        std::memcpy(bytes.data() + offset, &entry.first, sizeof(AudioObjectID));
        offset += sizeof(AudioObjectID);
    }
    return bytes;
}

// A scope without streams answers mNumberBuffers 0 in audioBufferListSize(0)
// bytes, a whole AudioBufferList: the size is audioBufferListSize(mNumberBuffers)
// for every answer, and a caller holding one AudioBufferList can always read it.
std::vector<std::byte> bufferListOf(const std::vector<UInt32>& channels)
{
    const auto count = UInt32(channels.size());
    std::vector<std::byte> bytes(audioBufferListSize(count));
    std::memcpy(bytes.data(), &count, sizeof count);
    std::size_t offset = offsetof(AudioBufferList, mBuffers);
    for (UInt32 perBuffer : channels) {
        const AudioBuffer buffer{perBuffer, 0, nullptr};
        std::memcpy(bytes.data() + offset, &buffer, sizeof buffer);
        offset += sizeof buffer;
    }
    return bytes;
}

bool hasOutput(const DeviceSpec& spec)
{
    return std::any_of(spec.outputChannels.begin(), spec.outputChannels.end(),
                       [](UInt32 channels) { return channels > 0; });
}

bool matches(AudioObjectPropertySelector selector, AudioObjectID object,
             AudioObjectID calledObject, const AudioObjectPropertyAddress& address)
{
    return (selector == 0 || selector == address.mSelector) && (object == kAudioObjectUnknown || object == calledObject);
}

std::size_t callIndex(Call call)
{
    return static_cast<std::size_t>(call);
}

}

struct SimulatedAudioHardware::Model {
    // Held by every public method and for the whole of a cycle, block calls
    // included, so the main thread never sees a cycle half done. Recursive
    // because the hook calls back in.
    mutable std::recursive_mutex mutex;

    bool tapsSupported = true;
    long authorization = kAuthorized;
    AudioObjectID nextId = kAudioObjectSystemObject + 1;
    AudioObjectID defaultOutput = kAudioObjectUnknown;
    std::map<AudioObjectID, DeviceRecord> devices;
    std::map<AudioObjectID, ProcessRecord> processes;
    std::map<Pid, AudioObjectID> processByPid;
    std::map<AudioObjectID, TapRecord> taps;
    // Keyed by a serial number that is also the handle, so handles are never
    // reused and the blocks of one device run in creation order.
    std::map<std::uintptr_t, IOProcRecord> ioProcs;
    std::uintptr_t nextIOProc = 1;

    bool manualClock = false;
    bool quit = false;
    bool inCycle = false;
    std::int64_t cycles = 0;
    std::condition_variable_any wake;
    std::thread clock;

    std::vector<Fault> faults;
    std::vector<SizeOverride> sizeOverrides;
    CallHook hook;
    bool inHook = false;
    std::array<int, kCalls> totalCalls{};
    std::array<std::map<AudioObjectPropertySelector, int>, kPropertyCalls> callsBySelector;

    DeviceRecord* device(AudioObjectID id)
    {
        const auto found = devices.find(id);
        return found == devices.end() ? nullptr : &found->second;
    }
    const DeviceRecord* device(AudioObjectID id) const
    {
        const auto found = devices.find(id);
        return found == devices.end() ? nullptr : &found->second;
    }

    const ProcessRecord* process(AudioObjectID id) const
    {
        const auto found = processes.find(id);
        return found == processes.end() ? nullptr : &found->second;
    }

    const TapRecord* tap(AudioObjectID id) const
    {
        const auto found = taps.find(id);
        return found == taps.end() ? nullptr : &found->second;
    }

    AggregateRecord* aggregate(AudioObjectID id)
    {
        DeviceRecord* d = device(id);
        return d ? d->aggregate.get() : nullptr;
    }

    AudioObjectID deviceWithUID(const QString& uid) const
    {
        if (uid.isEmpty())
            return kAudioObjectUnknown;
        for (const auto& [id, d] : devices) {
            if (d.spec.uid == uid)
                return id;
        }
        return kAudioObjectUnknown;
    }

    IOProcRecord* ioProc(AudioObjectID device, AudioDeviceIOProcID handle)
    {
        const auto found = ioProcs.find(reinterpret_cast<std::uintptr_t>(handle));
        return found == ioProcs.end() || found->second.device != device ? nullptr : &found->second;
    }

    bool anyStarted(AudioObjectID device) const
    {
        return std::any_of(ioProcs.begin(), ioProcs.end(), [device](const auto& entry) {
            return entry.second.device == device && entry.second.started;
        });
    }

    void destroyIOProcsOf(AudioObjectID device)
    {
        std::erase_if(ioProcs, [device](const auto& entry) { return entry.second.device == device; });
    }

    AudioObjectID processObject(Pid pid) const
    {
        const auto found = processByPid.find(pid);
        return found == processByPid.end() ? kAudioObjectUnknown : found->second;
    }

    void enter(Call call, AudioObjectID object, const AudioObjectPropertyAddress& address = kNoProperty)
    {
        ++totalCalls[callIndex(call)];
        if (callIndex(call) < kPropertyCalls)
            ++callsBySelector[callIndex(call)][address.mSelector];
        // Calls the hook itself makes do not run it again, or a hook that
        // reads the model would never return. It runs from a copy because it
        // may replace itself.
        if (!hook || inHook)
            return;
        const CallHook running = hook;
        inHook = true;
        const auto leave = qScopeGuard([this] { inHook = false; });
        running(call, object, address);
    }

    // Every seam call starts here: counted, hooked, and told the status it
    // is to fail with, if a fault matches it.
    std::optional<OSStatus> begin(Call call, AudioObjectID object, const AudioObjectPropertyAddress& address = kNoProperty)
    {
        enter(call, object, address);
        if (callIndex(call) < kPropertyCalls)
            return takeFault(call, object, address);
        return takeFault(call, object);
    }

    // Calls without a property address match a fault by object alone.
    std::optional<OSStatus> takeFault(Call call, AudioObjectID object,
                                      const std::optional<AudioObjectPropertyAddress>& address = std::nullopt)
    {
        for (auto it = faults.begin(); it != faults.end(); ++it) {
            const AudioObjectPropertySelector selector = address ? it->selector : 0;
            if (it->call != call || !matches(selector, it->object, object, address.value_or(kNoProperty)))
                continue;
            const OSStatus status = it->status;
            if (it->remaining > 0 && --it->remaining == 0)
                faults.erase(it);
            return status;
        }
        return std::nullopt;
    }

    std::optional<UInt32> sizeOverride(AudioObjectID object, const AudioObjectPropertyAddress& address) const
    {
        for (auto it = sizeOverrides.rbegin(); it != sizeOverrides.rend(); ++it) {
            if (matches(it->selector, it->object, object, address))
                return it->size;
        }
        return std::nullopt;
    }

    // Whether object has the property at address: 0, or Core Audio's status
    // for why not.
    OSStatus check(AudioObjectID object, const AudioObjectPropertyAddress& address) const
    {
        const AudioObjectPropertySelector selector = address.mSelector;
        const AudioObjectPropertyScope scope = address.mScope;
        const bool global = scope == kAudioObjectPropertyScopeGlobal;
        bool has = false;
        if (object == kAudioObjectSystemObject) {
            has = global
               && (selector == kAudioHardwarePropertyDefaultOutputDevice || selector == kAudioHardwarePropertyDevices
                   || selector == kAudioHardwarePropertyProcessObjectList
                   || selector == kAudioHardwarePropertyTranslatePIDToProcessObject);
        } else if (const DeviceRecord* d = device(object)) {
            switch (selector) {
            case kAudioObjectPropertyName:
                has = global && d->spec.name.has_value();
                break;
            case kAudioDevicePropertyDeviceUID:
                has = global && !d->spec.uid.isEmpty();
                break;
            case kAudioDevicePropertyStreamConfiguration:
                has = scope == kAudioObjectPropertyScopeOutput || scope == kAudioObjectPropertyScopeInput;
                break;
            case kAudioDevicePropertyVolumeScalar:
                has = scope == kAudioObjectPropertyScopeOutput && d->spec.volume.has_value();
                break;
            default:
                break;
            }
        } else if (process(object)) {
            const AudioClientFacts& facts = process(object)->facts;
            has = global
               && (selector == kAudioProcessPropertyPID || selector == kAudioProcessPropertyIsRunningOutput
                   || (selector == kRavletProcessPropertyApplicationName && !facts.applicationName.isEmpty())
                   || (selector == kRavletProcessPropertyBinary && !facts.binary.isEmpty())
                   || (selector == kRavletProcessPropertyIconName && !facts.iconName.isEmpty()));
        } else if (tap(object)) {
            has = global
               && (selector == kAudioTapPropertyUID || selector == kAudioTapPropertyFormat
                   || selector == kAudioObjectPropertyName);
        } else {
            return kAudioHardwareBadObjectError;
        }
        return has && address.mElement == kAudioObjectPropertyElementMain ? kAudioHardwareNoError
                                                                          : kAudioHardwareUnknownPropertyError;
    }

    OSStatus read(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                  const void* qualifier, Reply& reply) const
    {
        if (const OSStatus status = check(object, address))
            return status;
        // check() has settled which kind of object this is: each selector
        // belongs to one kind only.
        switch (address.mSelector) {
        case kAudioHardwarePropertyDefaultOutputDevice:
            reply.bytes = bytesOf(defaultOutput);
            break;
        case kAudioHardwarePropertyDevices:
            reply.list = true;
            reply.bytes = idsOf(devices);
            break;
        case kAudioHardwarePropertyProcessObjectList:
            reply.list = true;
            reply.bytes = idsOf(processes);
            break;
        case kAudioHardwarePropertyTranslatePIDToProcessObject: {
            // Asking for the size needs the pid too, as both calls share this path.
            if (qualifierSize != sizeof(Pid))
                return kAudioHardwareBadPropertySizeError;
            if (!qualifier)
                return kAudioHardwareIllegalOperationError;
            Pid pid = 0;
            std::memcpy(&pid, qualifier, sizeof pid);
            reply.bytes = bytesOf(processObject(pid));
            break;
        }
        case kAudioObjectPropertyName:
            if (const TapRecord* t = tap(object))
                reply.string = t->description.name.toStdString();
            else
                reply.string = device(object)->spec.name->toStdString();
            break;
        case kAudioDevicePropertyDeviceUID:
            reply.string = device(object)->spec.uid.toStdString();
            break;
        case kAudioDevicePropertyStreamConfiguration: {
            const DeviceSpec& spec = device(object)->spec;
            reply.bytes = bufferListOf(address.mScope == kAudioObjectPropertyScopeOutput ? spec.outputChannels
                                                                                          : spec.inputChannels);
            break;
        }
        case kAudioDevicePropertyVolumeScalar:
            reply.bytes = bytesOf(*device(object)->spec.volume);
            break;
        case kAudioProcessPropertyPID:
            reply.bytes = bytesOf(SInt32(process(object)->pid));
            break;
        case kAudioProcessPropertyIsRunningOutput:
            reply.bytes = bytesOf(UInt32(process(object)->runningOutput ? 1 : 0));
            break;
        case kRavletProcessPropertyApplicationName:
            reply.string = process(object)->facts.applicationName.toStdString();
            break;
        case kRavletProcessPropertyBinary:
            reply.string = process(object)->facts.binary.toStdString();
            break;
        case kRavletProcessPropertyIconName:
            reply.string = process(object)->facts.iconName.toStdString();
            break;
        case kAudioTapPropertyUID:
            reply.string = tap(object)->uid.toStdString();
            break;
        case kAudioTapPropertyFormat:
            // Every tap here is a stereo mixdown in the clock's own format.
            reply.bytes = bytesOf(AudioStreamBasicDescription{
                SimulatedAudioHardware::kSampleRate, kAudioFormatLinearPCM,
                kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked, 8, 1, 8, 2, 32, 0});
            break;
        default:
            return kAudioHardwareUnknownPropertyError;
        }
        return kAudioHardwareNoError;
    }

    OSStatus write(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 dataSize, const void* data)
    {
        if (const OSStatus status = check(object, address))
            return status;
        const AudioObjectPropertySelector selector = address.mSelector;
        if (selector != kAudioHardwarePropertyDefaultOutputDevice && selector != kAudioDevicePropertyVolumeScalar)
            return kAudioHardwareIllegalOperationError;
        if (!data)
            return kAudioHardwareIllegalOperationError;

        if (selector == kAudioHardwarePropertyDefaultOutputDevice) {
            AudioObjectID wanted = kAudioObjectUnknown;
            if (dataSize < sizeof wanted)
                return kAudioHardwareBadPropertySizeError;
            std::memcpy(&wanted, data, sizeof wanted);
            const DeviceRecord* target = device(wanted);
            if (!target || !hasOutput(target->spec))
                return kAudioHardwareBadDeviceError;
            defaultOutput = wanted;
            return kAudioHardwareNoError;
        }

        Float32 volume = 0;
        if (dataSize < sizeof volume)
            return kAudioHardwareBadPropertySizeError;
        std::memcpy(&volume, data, sizeof volume);
        // A NaN has no place on the control; clamping would pass it through.
        if (std::isnan(volume))
            return kAudioHardwareIllegalOperationError;
        device(object)->spec.volume = std::clamp(volume, Float32(0), Float32(1));
        return kAudioHardwareNoError;
    }

    // --- the clock ---

    bool clockWanted() const
    {
        return !manualClock
            && std::any_of(ioProcs.begin(), ioProcs.end(), [](const auto& entry) { return entry.second.started; });
    }

    void startClock()
    {
        if (!manualClock && !clock.joinable())
            clock = std::thread([this] { runClock(); });
        wake.notify_all();
    }

    // The I/O thread: idle while nothing is started, otherwise one cycle per
    // period on a steady schedule that starts afresh whenever the clock does.
    void runClock()
    {
        // Named, so that measurements can tell the simulated hardware's own
        // work from the program's.
        pthread_setname_np(pthread_self(), "sim-audio-io");
        using Clock = std::chrono::steady_clock;
        std::unique_lock lock(mutex);
        while (!quit) {
            wake.wait(lock, [this] { return quit || clockWanted(); });
            const Clock::time_point start = Clock::now();
            std::int64_t next = 0;
            while (!quit && clockWanted()) {
                if (wake.wait_until(lock, start + cycleTime(next), [this] { return quit; }))
                    break;
                const Clock::time_point woke = Clock::now();
                const std::int64_t due = cyclesWithin(woke - start);
                for (int burst = 0; next <= due && burst < kMaxCatchUpCycles && clockWanted(); ++burst, ++next)
                    runCycle();
                // An overloaded device drops cycles; this one also rests at
                // least as long as it worked, so that slow cycles (thousands
                // of processes, a sanitizer) never keep the main thread out.
                const Clock::time_point done = Clock::now();
                next = std::max(next, cyclesWithin(done + (done - woke) - start) + 1);
            }
        }
    }

    // --- one cycle ---

    void runCycle()
    {
        inCycle = true;
        const auto leave = qScopeGuard([this] { inCycle = false; });
        const std::int64_t first = cycles * kFrames;
        decideSilence();
        playProcesses(first);
        for (auto& [id, d] : devices) {
            if (d.aggregate && anyStarted(id))
                runAggregate(id, *d.aggregate, first);
        }
        for (auto& entry : devices) {
            if (!entry.second.ring.empty())
                entry.second.played += kFrames;
        }
        ++cycles;
    }

    // Taps hear their processes before this: a muted process is still
    // captured, it is only no longer played.
    void decideSilence()
    {
        for (auto& entry : taps)
            entry.second.read = false;
        for (const auto& entry : ioProcs) {
            const AggregateRecord* a = entry.second.started ? aggregate(entry.second.device) : nullptr;
            if (!a)
                continue;
            for (AudioObjectID id : a->taps) {
                if (const auto found = taps.find(id); found != taps.end())
                    found->second.read = true;
            }
        }
        for (auto& entry : processes)
            entry.second.silenced = false;
        for (const auto& entry : taps) {
            const TapRecord& t = entry.second;
            const int behavior = t.description.muteBehavior;
            if (behavior != CATapMuted && !(behavior == CATapMutedWhenTapped && t.read))
                continue;
            for (AudioObjectID id : t.processes) {
                if (const auto found = processes.find(id); found != processes.end())
                    found->second.silenced = true;
            }
        }
    }

    void playProcesses(std::int64_t first)
    {
        for (auto& entry : processes) {
            ProcessRecord& p = entry.second;
            if (p.signal.kind != Signal::Kind::Silence)
                render(p.signal, first, p.block.data());
        }
        for (auto& [id, d] : devices) {
            if (d.ring.empty())
                continue;
            d.play(nullptr);
            if (id != defaultOutput)
                continue;
            for (const auto& entry : processes) {
                const ProcessRecord& p = entry.second;
                if (!p.silenced && p.signal.kind != Signal::Kind::Silence)
                    d.play(p.block.data());
            }
        }
    }

    void runAggregate(AudioObjectID id, AggregateRecord& a, std::int64_t first)
    {
        DeviceRecord* master = device(a.master);
        if (!master)
            return;
        fillInput(a, *master, first);

        const std::uint64_t hostTime = std::uint64_t(double(first) * 1e9 / SimulatedAudioHardware::kSampleRate);
        const AudioTimeStamp stamp{double(first), hostTime, 1.0, 0,
                                   kAudioTimeStampSampleTimeValid | kAudioTimeStampHostTimeValid
                                       | kAudioTimeStampRateScalarValid, 0};
        for (auto& entry : ioProcs) {
            IOProcRecord& proc = entry.second;
            if (proc.device != id || !proc.started)
                continue;
            proc.output.reset();
            const AudioTimeStamp now = stamp, inputTime = stamp, outputTime = stamp;
            proc.block(&now, a.input.list(), &inputTime, proc.output.list(), &outputTime);
            if (master->ring.empty() || proc.heard[0].buffer < 0)
                continue;
            for (UInt32 i = 0; i < kFrames; ++i) {
                const std::size_t at = ringIndex(master->played + i);
                master->ring[at] += proc.output.at(proc.heard[0], i);
                master->ring[at + 1] += proc.output.at(proc.heard[1], i);
            }
        }
    }

    void fillInput(AggregateRecord& a, const DeviceRecord& master, std::int64_t first)
    {
        a.input.reset();
        for (std::size_t b = 0; b < a.masterInputBuffers; ++b) {
            const UInt32 channels = a.input.channels(b);
            float* samples = a.input.samples(b);
            for (UInt32 i = 0; i < kFrames; ++i) {
                const float value = master.inputSignal.sample(first + i, 0);
                std::fill_n(samples + std::size_t(i) * channels, channels, value);
            }
        }
        for (std::size_t t = 0; t < a.taps.size(); ++t) {
            const TapRecord* tapped = tap(a.taps[t]);
            if (!tapped)
                continue;
            float* samples = a.input.samples(a.masterInputBuffers + t);
            for (AudioObjectID id : tapped->processes) {
                const ProcessRecord* p = process(id);
                if (!p || p->signal.kind == Signal::Kind::Silence)
                    continue;
                const float* block = p->block.data();
                for (std::size_t j = 0; j < std::size_t(kFrames) * 2; ++j)
                    samples[j] += block[j];
            }
        }
    }
};

using Lock = std::lock_guard<std::recursive_mutex>;

float SimulatedAudioHardware::Signal::sample(std::int64_t frame, int channel) const
{
    switch (kind) {
    case Kind::Silence:
        break;
    case Kind::Sine:
        return float(double(amplitude)
                     * std::sin(2.0 * std::numbers::pi * double(frequency) * double(frame) / kSampleRate));
    case Kind::Pattern: {
        const float left = float(double(amplitude) * double((frame % 100 + 100) % 100) / 100.0);
        return channel == 0 ? left : -left;
    }
    }
    return 0.0f;
}

SimulatedAudioHardware::SimulatedAudioHardware()
    : m(std::make_unique<Model>())
{
}

SimulatedAudioHardware::~SimulatedAudioHardware()
{
    {
        const Lock lock(m->mutex);
        m->quit = true;
    }
    m->wake.notify_all();
    if (m->clock.joinable())
        m->clock.join();
}

bool SimulatedAudioHardware::processTapsSupported() const
{
    const Lock lock(m->mutex);
    return m->tapsSupported;
}

long SimulatedAudioHardware::audioCaptureAuthorizationStatus() const
{
    const Lock lock(m->mutex);
    return m->authorization;
}

bool SimulatedAudioHardware::hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address)
{
    const Lock lock(m->mutex);
    if (m->begin(Call::HasProperty, object, address))
        return false;
    return m->check(object, address) == kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                     UInt32 qualifierSize, const void* qualifier, UInt32* outDataSize)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::GetPropertyDataSize, object, address))
        return *fault;
    Reply reply;
    if (const OSStatus status = m->read(object, address, qualifierSize, qualifier, reply))
        return status;
    if (!outDataSize)
        return kAudioHardwareIllegalOperationError;
    // Overrides bend answers only; a refused call stays refused.
    *outDataSize = m->sizeOverride(object, address).value_or(reply.size());
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                 UInt32 qualifierSize, const void* qualifier, UInt32* ioDataSize,
                                                 void* outData)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::GetPropertyData, object, address))
        return *fault;
    Reply reply;
    if (const OSStatus status = m->read(object, address, qualifierSize, qualifier, reply))
        return status;
    if (!ioDataSize || !outData)
        return kAudioHardwareIllegalOperationError;

    UInt32 room = *ioDataSize;
    if (const auto limit = m->sizeOverride(object, address))
        room = std::min(room, *limit);

    if (reply.list) {
        const UInt32 written = std::min(room, reply.size()) / sizeof(AudioObjectID) * sizeof(AudioObjectID);
        if (written > 0)
            std::memcpy(outData, reply.bytes.data(), written);
        *ioDataSize = written;
        return kAudioHardwareNoError;
    }
    if (room < reply.size())
        return kAudioHardwareBadPropertySizeError;
    if (reply.string) {
        const CFStringRef string = CFStringCreateWithUtf8(*reply.string);
        std::memcpy(outData, &string, sizeof string);
    } else {
        std::memcpy(outData, reply.bytes.data(), reply.bytes.size());
    }
    *ioDataSize = reply.size();
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                                 UInt32 /*qualifierSize*/, const void* /*qualifier*/,
                                                 UInt32 dataSize, const void* data)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::SetPropertyData, object, address))
        return *fault;
    return m->write(object, address, dataSize, data);
}

OSStatus SimulatedAudioHardware::createProcessTap(const CATapDescription& description, AudioObjectID* outTapID)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::CreateProcessTap, kAudioObjectUnknown)) {
        if (*fault == kAudioHardwareNoError && outTapID)
            *outTapID = kAudioObjectUnknown;
        return *fault;
    }
    if (!outTapID)
        return kAudioHardwareIllegalOperationError;
    // Before macOS 14.2 the call does not exist; nothing may pretend it worked.
    if (!m->tapsSupported)
        return kAudioHardwareUnsupportedOperationError;
    if (description.processes.empty())
        return kAudioHardwareIllegalOperationError;
    std::vector<AudioObjectID> processes;
    for (AudioObjectID process : description.processes) {
        if (!m->process(process))
            return kAudioHardwareBadObjectError;
        if (std::find(processes.begin(), processes.end(), process) == processes.end())
            processes.push_back(process);
    }
    const AudioObjectID id = m->nextId++;
    m->taps.emplace(id, TapRecord{description, description.uuid.toString(QUuid::WithoutBraces).toUpper(),
                                  std::move(processes)});
    *outTapID = id;
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::destroyProcessTap(AudioObjectID tapID)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::DestroyProcessTap, tapID))
        return *fault;
    // Aggregates that list the tap stay; they read silence from then on.
    return m->taps.erase(tapID) ? kAudioHardwareNoError : kAudioHardwareBadObjectError;
}

namespace {

// A description's list value: a list of dictionaries, or absent. A string
// would convert to a list of its characters, so it is refused outright.
std::optional<QVariantList> listValue(const QVariantMap& description, const char* key)
{
    const QVariant value = description.value(QLatin1String(key));
    if (!value.isValid())
        return QVariantList();
    if (value.typeId() == QMetaType::QString || value.typeId() == QMetaType::QByteArray
        || !value.canConvert<QVariantList>())
        return std::nullopt;
    return value.toList();
}

QString uidOf(const QVariant& entry, const char* key)
{
    return entry.toMap().value(QLatin1String(key)).toString();
}

}

OSStatus SimulatedAudioHardware::createAggregateDevice(const QVariantMap& description, AudioObjectID* outDeviceID)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::CreateAggregateDevice, kAudioObjectUnknown)) {
        if (*fault == kAudioHardwareNoError && outDeviceID)
            *outDeviceID = kAudioObjectUnknown;
        return *fault;
    }
    if (!outDeviceID)
        return kAudioHardwareIllegalOperationError;

    const QString uid = description.value(QLatin1String(kAudioAggregateDeviceUIDKey)).toString();
    if (uid.isEmpty() || m->deviceWithUID(uid))
        return kAudioHardwareIllegalOperationError;
    const auto subDevices = listValue(description, kAudioAggregateDeviceSubDeviceListKey);
    const auto tapList = listValue(description, kAudioAggregateDeviceTapListKey);
    if (!subDevices || !tapList)
        return kAudioHardwareIllegalOperationError;

    // Aggregates do not nest: the master and every sub-device are real devices.
    auto realDevice = [this](const QString& uid) -> const DeviceRecord* {
        const DeviceRecord* d = m->device(m->deviceWithUID(uid));
        return d && !d->aggregate ? d : nullptr;
    };
    const QString masterUID = description.value(QLatin1String(kAudioAggregateDeviceMainSubDeviceKey)).toString();
    const AudioObjectID masterID = m->deviceWithUID(masterUID);
    const DeviceRecord* master = realDevice(masterUID);
    if (!master)
        return kAudioHardwareBadDeviceError;
    for (const QVariant& entry : *subDevices) {
        if (!realDevice(uidOf(entry, kAudioSubDeviceUIDKey)))
            return kAudioHardwareBadDeviceError;
    }
    std::vector<AudioObjectID> tapIDs;
    for (const QVariant& entry : *tapList) {
        const QString tapUID = uidOf(entry, kAudioSubTapUIDKey);
        const auto found = std::find_if(m->taps.begin(), m->taps.end(),
                                        [&](const auto& tap) { return !tapUID.isEmpty() && tap.second.uid == tapUID; });
        if (found == m->taps.end())
            return kAudioHardwareBadObjectError;
        tapIDs.push_back(found->first);
    }

    auto record = std::make_unique<AggregateRecord>();
    record->description = description;
    record->master = masterID;
    record->taps = tapIDs;
    record->masterInputBuffers = master->spec.inputChannels.size();
    DeviceSpec spec{description.value(QLatin1String(kAudioAggregateDeviceNameKey)).toString(), uid,
                    master->spec.outputChannels, master->spec.inputChannels, std::nullopt};
    spec.inputChannels.insert(spec.inputChannels.end(), tapIDs.size(), 2);
    record->input.allocate(spec.inputChannels);

    const AudioObjectID id = m->nextId++;
    DeviceRecord& d = m->devices[id];
    d.spec = std::move(spec);
    d.aggregate = std::move(record);
    *outDeviceID = id;
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::destroyAggregateDevice(AudioObjectID deviceID)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::DestroyAggregateDevice, deviceID))
        return *fault;
    if (!m->aggregate(deviceID))
        return kAudioHardwareBadObjectError;
    // From inside a block the device's own blocks are still on the stack.
    if (m->inCycle)
        return kAudioHardwareIllegalOperationError;
    m->destroyIOProcsOf(deviceID);
    m->devices.erase(deviceID);
    if (m->defaultOutput == deviceID)
        m->defaultOutput = kAudioObjectUnknown;
    return kAudioHardwareNoError;
}

// Only aggregate devices take I/O procedures here: the simulation has nothing
// to feed a plain device's own block with, so asking is unsupported rather
// than silently never called.
OSStatus SimulatedAudioHardware::createIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID device,
                                                         dispatch_queue_t queue, AudioDeviceIOBlock block)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::CreateIOProcID, device)) {
        if (*fault == kAudioHardwareNoError && outIOProcID)
            *outIOProcID = nullptr;
        return *fault;
    }
    if (!outIOProcID)
        return kAudioHardwareIllegalOperationError;
    const DeviceRecord* d = m->device(device);
    if (!d)
        return kAudioHardwareBadObjectError;
    if (!d->aggregate)
        return kAudioHardwareUnsupportedOperationError;
    // There are no dispatch queues here: a block asked to run on one would
    // run on the I/O thread instead, which its caller did not ask for.
    if (queue || !block)
        return kAudioHardwareIllegalOperationError;

    const std::uintptr_t key = m->nextIOProc++;
    IOProcRecord& proc = m->ioProcs[key];
    proc.device = device;
    proc.block = std::move(block);
    proc.output.allocate(d->spec.outputChannels);
    proc.heard = firstTwoChannels(d->spec.outputChannels);
    *outIOProcID = reinterpret_cast<AudioDeviceIOProcID>(key);
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID ioProcID)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(Call::DestroyIOProcID, device))
        return *fault;
    if (!m->device(device))
        return kAudioHardwareBadObjectError;
    // Holding the lock means no cycle is running, unless this is a block
    // calling from inside one, which must not destroy what is executing.
    if (!m->ioProc(device, ioProcID) || m->inCycle)
        return kAudioHardwareIllegalOperationError;
    m->ioProcs.erase(reinterpret_cast<std::uintptr_t>(ioProcID));
    return kAudioHardwareNoError;
}

// Taking the lock waits out a cycle in progress, so once a stop returns the
// block is not running and will not run again.
OSStatus SimulatedAudioHardware::setIOProcStarted(Call call, AudioObjectID device, AudioDeviceIOProcID ioProcID,
                                                  bool started)
{
    const Lock lock(m->mutex);
    if (const auto fault = m->begin(call, device))
        return *fault;
    if (!m->device(device))
        return kAudioHardwareBadObjectError;
    IOProcRecord* proc = m->ioProc(device, ioProcID);
    if (!proc)
        return kAudioHardwareIllegalOperationError;
    proc->started = started;
    if (started)
        m->startClock();
    return kAudioHardwareNoError;
}

OSStatus SimulatedAudioHardware::deviceStart(AudioObjectID device, AudioDeviceIOProcID ioProcID)
{
    return setIOProcStarted(Call::DeviceStart, device, ioProcID, true);
}

OSStatus SimulatedAudioHardware::deviceStop(AudioObjectID device, AudioDeviceIOProcID ioProcID)
{
    return setIOProcStarted(Call::DeviceStop, device, ioProcID, false);
}

void SimulatedAudioHardware::setProcessTapsSupported(bool supported)
{
    const Lock lock(m->mutex);
    m->tapsSupported = supported;
}

AudioObjectID SimulatedAudioHardware::addDevice(const DeviceSpec& spec)
{
    const Lock lock(m->mutex);
    const AudioObjectID id = m->nextId++;
    DeviceRecord& d = m->devices[id];
    d.spec = spec;
    if (hasOutput(spec)) {
        d.ring.assign(std::size_t(kRingFrames) * 2, 0.0f);
        const auto heard = firstTwoChannels(spec.outputChannels);
        d.mono = heard[0] == heard[1];
    }
    return id;
}

void SimulatedAudioHardware::removeDevice(AudioObjectID device)
{
    const Lock lock(m->mutex);
    // An aggregate that vanishes takes its I/O procedures with it; one whose
    // master vanishes stays, silent, for its owner to destroy.
    if (m->inCycle)
        return;
    m->destroyIOProcsOf(device);
    if (m->devices.erase(device) && m->defaultOutput == device)
        m->defaultOutput = kAudioObjectUnknown;
}

void SimulatedAudioHardware::setDeviceName(AudioObjectID device, std::optional<QString> name)
{
    const Lock lock(m->mutex);
    if (DeviceRecord* d = m->device(device))
        d->spec.name = std::move(name);
}

void SimulatedAudioHardware::setDeviceVolume(AudioObjectID device, std::optional<Float32> volume)
{
    const Lock lock(m->mutex);
    // Taken as given, not clamped: a test may play a driver that reports
    // nonsense.
    if (DeviceRecord* d = m->device(device))
        d->spec.volume = volume;
}

std::optional<Float32> SimulatedAudioHardware::deviceVolume(AudioObjectID device) const
{
    const Lock lock(m->mutex);
    const DeviceRecord* d = m->device(device);
    return d ? d->spec.volume : std::nullopt;
}

void SimulatedAudioHardware::setDefaultOutputDevice(AudioObjectID device)
{
    const Lock lock(m->mutex);
    // Another application goes through the same checks as the seam; only the
    // system itself clears the default, when no output device is left.
    const DeviceRecord* target = m->device(device);
    if (device == kAudioObjectUnknown || (target && hasOutput(target->spec)))
        m->defaultOutput = device;
}

AudioObjectID SimulatedAudioHardware::defaultOutputDevice() const
{
    const Lock lock(m->mutex);
    return m->defaultOutput;
}

AudioObjectID SimulatedAudioHardware::addProcess(Pid pid, bool runningOutput)
{
    const Lock lock(m->mutex);
    // A pid has one process object for as long as the process lives.
    if (const AudioObjectID existing = m->processObject(pid)) {
        m->processes[existing].runningOutput = runningOutput;
        return existing;
    }
    const AudioObjectID id = m->nextId++;
    ProcessRecord& process = m->processes[id];
    process.pid = pid;
    process.runningOutput = runningOutput;
    m->processByPid.emplace(pid, id);
    return id;
}

void SimulatedAudioHardware::removeProcess(Pid pid)
{
    const Lock lock(m->mutex);
    const auto found = m->processByPid.find(pid);
    if (found == m->processByPid.end())
        return;
    m->processes.erase(found->second);
    m->processByPid.erase(found);
}

void SimulatedAudioHardware::setProcessRunningOutput(Pid pid, bool running)
{
    const Lock lock(m->mutex);
    if (const AudioObjectID id = m->processObject(pid))
        m->processes[id].runningOutput = running;
}

void SimulatedAudioHardware::setProcessClientFacts(AudioObjectID process, AudioClientFacts facts)
{
    const Lock lock(m->mutex);
    if (const auto found = m->processes.find(process); found != m->processes.end())
        found->second.facts = std::move(facts);
}

AudioObjectID SimulatedAudioHardware::processObject(Pid pid) const
{
    const Lock lock(m->mutex);
    return m->processObject(pid);
}

void SimulatedAudioHardware::setProcessSignal(Pid pid, Signal signal)
{
    const Lock lock(m->mutex);
    if (const AudioObjectID id = m->processObject(pid))
        m->processes[id].signal = signal;
}

void SimulatedAudioHardware::setDeviceInputSignal(AudioObjectID device, Signal signal)
{
    const Lock lock(m->mutex);
    if (DeviceRecord* d = m->device(device))
        d->inputSignal = signal;
}

void SimulatedAudioHardware::setAudioCaptureAuthorizationStatus(long status)
{
    const Lock lock(m->mutex);
    m->authorization = status;
}

int SimulatedAudioHardware::liveTapCount() const
{
    const Lock lock(m->mutex);
    return int(m->taps.size());
}

int SimulatedAudioHardware::liveAggregateCount() const
{
    const Lock lock(m->mutex);
    return int(std::count_if(m->devices.begin(), m->devices.end(),
                             [](const auto& entry) { return entry.second.aggregate != nullptr; }));
}

int SimulatedAudioHardware::liveIOProcCount() const
{
    const Lock lock(m->mutex);
    return int(m->ioProcs.size());
}

int SimulatedAudioHardware::runningIOProcCount() const
{
    const Lock lock(m->mutex);
    return int(std::count_if(m->ioProcs.begin(), m->ioProcs.end(),
                             [](const auto& entry) { return entry.second.started; }));
}

std::optional<CATapDescription> SimulatedAudioHardware::tapDescription(AudioObjectID tap) const
{
    const Lock lock(m->mutex);
    const TapRecord* t = m->tap(tap);
    return t ? std::optional(t->description) : std::nullopt;
}

std::optional<QVariantMap> SimulatedAudioHardware::aggregateDescription(AudioObjectID aggregate) const
{
    const Lock lock(m->mutex);
    const DeviceRecord* d = m->device(aggregate);
    return d && d->aggregate ? std::optional(d->aggregate->description) : std::nullopt;
}

AudioObjectID SimulatedAudioHardware::deviceWithUID(const QString& uid) const
{
    const Lock lock(m->mutex);
    return m->deviceWithUID(uid);
}

void SimulatedAudioHardware::setManualClock(bool manual)
{
    const Lock lock(m->mutex);
    m->manualClock = manual;
    m->wake.notify_all();
}

void SimulatedAudioHardware::runCycles(int cycles)
{
    // One lock per cycle, so a running clock thread interleaves rather than
    // waiting for the whole run.
    for (int i = 0; i < cycles; ++i) {
        const Lock lock(m->mutex);
        m->runCycle();
    }
}

std::int64_t SimulatedAudioHardware::cyclesRun() const
{
    const Lock lock(m->mutex);
    return m->cycles;
}

std::vector<float> SimulatedAudioHardware::recentOutput(AudioObjectID device, UInt32 frames) const
{
    const Lock lock(m->mutex);
    const DeviceRecord* d = m->device(device);
    if (!d || d->ring.empty())
        return {};
    const std::int64_t count = std::min({std::int64_t(frames), d->played, kRingFrames});
    std::vector<float> out;
    out.reserve(std::size_t(count) * 2);
    for (std::int64_t frame = d->played - count; frame < d->played; ++frame) {
        const std::size_t at = ringIndex(frame);
        out.push_back(d->ring[at]);
        out.push_back(d->ring[at + 1]);
    }
    return out;
}

float SimulatedAudioHardware::recentPeak(AudioObjectID device, UInt32 frames) const
{
    float peak = 0.0f;
    for (float sample : recentOutput(device, frames))
        peak = std::max(peak, std::abs(sample));
    return peak;
}

void SimulatedAudioHardware::failCall(Call call, AudioObjectPropertySelector selector, OSStatus status,
                                      AudioObjectID object, int times)
{
    const Lock lock(m->mutex);
    if (times != 0)
        m->faults.push_back(Fault{call, selector, status, object, times});
}

void SimulatedAudioHardware::overrideDataSize(AudioObjectPropertySelector selector, UInt32 size, AudioObjectID object)
{
    const Lock lock(m->mutex);
    m->sizeOverrides.push_back(SizeOverride{selector, size, object});
}

void SimulatedAudioHardware::clearFaults()
{
    const Lock lock(m->mutex);
    m->faults.clear();
    m->sizeOverrides.clear();
}

void SimulatedAudioHardware::setBeforeCallHook(CallHook hook)
{
    const Lock lock(m->mutex);
    m->hook = std::move(hook);
}

int SimulatedAudioHardware::callCount(Call call, AudioObjectPropertySelector selector) const
{
    const Lock lock(m->mutex);
    // The calls without a property count as one, whatever the selector.
    if (selector == 0 || callIndex(call) >= kPropertyCalls)
        return m->totalCalls[callIndex(call)];
    const auto& counts = m->callsBySelector[callIndex(call)];
    const auto found = counts.find(selector);
    return found == counts.end() ? 0 : found->second;
}

void SimulatedAudioHardware::resetCallCounts()
{
    const Lock lock(m->mutex);
    m->totalCalls = {};
    for (auto& counts : m->callsBySelector)
        counts.clear();
}
