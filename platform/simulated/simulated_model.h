#pragma once

// The records behind SimulatedAudioHardware, shared by the files that answer
// its calls, so that each can own one part of the simulation. Internal.

#include "property_reply.h"
#include "simulated_audio_hardware.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace simulated {

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

inline std::size_t ringIndex(std::int64_t frame)
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
inline std::array<ChannelRef, 2> firstTwoChannels(const std::vector<UInt32>& channels)
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
    AudioObjectID outputDevice = kAudioObjectUnknown;   // sent to a device other than the default
    Float32 ownVolume = 1.0f;   // another program's volume on its streams, as an audio server would say it
    Signal signal;
    // The cycle from which the seam knows the object: it plays from the
    // start, but Core Audio publishes it a moment later.
    std::int64_t knownFrom = 0;
    bool silenced = false;                  // worked out afresh every cycle
    // This cycle's samples, interleaved stereo, rendered once and shared by
    // the device it plays into and every tap that captures it.
    std::vector<float> block = std::vector<float>(std::size_t(kFrames) * 2);
};

struct TapRecord {
    ProcessTapDescription description;
    QString uid;
    std::vector<AudioObjectID> processes;   // each once, however often listed
    bool read = false;                      // worked out afresh every cycle
};

struct IOProcRecord {
    AudioObjectID device = kAudioObjectUnknown;
    DeviceIOBlock block;
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

// A property's value before it is handed out; only the property reads build
// one.
using Reply = ::PropertyReply;

// Whether a device can play: the default output must be such a device, and
// only such devices keep a record of what they played.
inline bool hasOutput(const DeviceSpec& spec)
{
    return std::any_of(spec.outputChannels.begin(), spec.outputChannels.end(),
                       [](UInt32 channels) { return channels > 0; });
}

using Lock = std::lock_guard<std::recursive_mutex>;

}

struct SimulatedAudioHardware::Model {
    // Held by every public method and for the whole of a cycle, block calls
    // included, so the main thread never sees a cycle half done. Recursive
    // because the hook calls back in.
    mutable std::recursive_mutex mutex;

    bool tapsSupported = true;
    bool tapsWait = false;
    bool processesRoutable = true;          // processes can be sent to a device without a tap
    long authorization = simulated::kAuthorized;
    RecordingPermission recording = RecordingPermission::Granted;
    PromptAnswer promptAnswer = PromptAnswer::Allow;
    int prompts = 0;
    AudioObjectID nextId = kAudioObjectSystemObject + 1;
    AudioObjectID defaultOutput = kAudioObjectUnknown;
    std::map<AudioObjectID, simulated::DeviceRecord> devices;
    std::map<AudioObjectID, simulated::ProcessRecord> processes;
    std::map<Pid, AudioObjectID> processByPid;
    std::map<AudioObjectID, simulated::TapRecord> taps;
    // Keyed by a serial number that is also the handle, so handles are never
    // reused and the blocks of one device run in creation order.
    std::map<std::uintptr_t, simulated::IOProcRecord> ioProcs;
    std::uintptr_t nextIOProc = 1;

    SimulatedAudioHardware::Timings timings;
    // Simulated time a manual clock still owes, in thirds of a nanosecond
    // (a cycle is 32'000'000 of them), so that no rounding accumulates.
    std::int64_t owedThirds = 0;

    bool manualClock = false;
    bool quit = false;
    bool inCycle = false;
    std::int64_t cycles = 0;
    std::condition_variable_any wake;
    std::thread clock;

    std::vector<simulated::Fault> faults;
    std::vector<simulated::SizeOverride> sizeOverrides;
    CallHook hook;
    bool inHook = false;
    std::array<int, simulated::kCalls> totalCalls{};
    std::array<std::map<AudioObjectPropertySelector, int>, simulated::kPropertyCalls> callsBySelector;
    mutable QStringList doubtful;   // see doubtfulCalls()

    simulated::DeviceRecord* device(AudioObjectID id)
    {
        const auto found = devices.find(id);
        return found == devices.end() ? nullptr : &found->second;
    }
    const simulated::DeviceRecord* device(AudioObjectID id) const
    {
        const auto found = devices.find(id);
        return found == devices.end() ? nullptr : &found->second;
    }

    const simulated::ProcessRecord* process(AudioObjectID id) const
    {
        const auto found = processes.find(id);
        return found == processes.end() ? nullptr : &found->second;
    }

    // A process object as the seam sees it: none until it is published.
    const simulated::ProcessRecord* knownProcess(AudioObjectID id) const
    {
        const simulated::ProcessRecord* p = process(id);
        return p && p->knownFrom <= cycles ? p : nullptr;
    }

    const simulated::TapRecord* tap(AudioObjectID id) const
    {
        const auto found = taps.find(id);
        return found == taps.end() ? nullptr : &found->second;
    }

    simulated::AggregateRecord* aggregate(AudioObjectID id)
    {
        simulated::DeviceRecord* d = device(id);
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

    simulated::IOProcRecord* ioProc(AudioObjectID device, DeviceIOProcID handle)
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

    // The newest published object of the pid; 0 while it has none.
    AudioObjectID knownProcessObject(Pid pid) const
    {
        AudioObjectID newest = kAudioObjectUnknown;
        for (const auto& [id, p] : processes) {
            if (p.pid == pid && knownProcess(id))
                newest = id;
        }
        return newest;
    }

    std::vector<simulated::ProcessRecord*> processesOf(Pid pid)
    {
        std::vector<simulated::ProcessRecord*> found;
        for (auto& entry : processes) {
            if (entry.second.pid == pid)
                found.push_back(&entry.second);
        }
        return found;
    }

    // --- counting, the hook and faults: simulated_faults.cpp ---
    void enter(Call call, AudioObjectID object, const AudioObjectPropertyAddress& address = simulated::kNoProperty);
    // Every seam call starts here: counted, hooked, and told the status it
    // is to fail with, if a fault matches it.
    std::optional<OSStatus> begin(Call call, AudioObjectID object,
                                  const AudioObjectPropertyAddress& address = simulated::kNoProperty);
    // Calls without a property address match a fault by object alone.
    std::optional<OSStatus> takeFault(Call call, AudioObjectID object,
                                      const std::optional<AudioObjectPropertyAddress>& address = std::nullopt);
    std::optional<UInt32> sizeOverride(AudioObjectID object, const AudioObjectPropertyAddress& address) const;

    // --- properties: simulated_properties.cpp ---
    // Whether object has the property at address: 0, or Core Audio's status
    // for why not.
    OSStatus check(AudioObjectID object, const AudioObjectPropertyAddress& address) const;
    OSStatus read(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
                  const void* qualifier, simulated::Reply& reply) const;
    OSStatus write(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 dataSize, const void* data);

    // --- the recording permission: simulated_permission.cpp ---
    // The prompt, when a started device is an aggregate with a tap and
    // nobody was asked yet.
    void askRecordingPermission(AudioObjectID device);

    // --- the clock: simulated_clock.cpp ---
    // A call that takes this long: a manual clock runs the cycles it spans
    // here; the real one runs on while the caller sleeps, with the lock
    // released. Called without the lock held.
    void takeTime(std::chrono::microseconds duration);
    std::int64_t cyclesWithin(std::chrono::microseconds duration) const;
    bool clockWanted() const;
    void startClock();
    void stopClock();
    void runClock();
    void runCycle();
    void decideSilence();
    void playProcesses(std::int64_t first);
    void runAggregate(AudioObjectID id, simulated::AggregateRecord& a, std::int64_t first);
    void fillInput(simulated::AggregateRecord& a, const simulated::DeviceRecord& master, std::int64_t first);
};
