#pragma once

// An in-memory Core Audio hardware layer: devices, process objects and the
// system object, answering the seam's calls with Core Audio's data shapes and
// statuses. Tests and the demo scene script it: devices and processes come and
// go, names and volumes change "elsewhere", and any call can be made to fail.

#include "audio_hardware.h"
#include "process_inspector.h"

#include <QString>
#include <QVariantMap>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class SimulatedAudioHardware final : public AudioHardware {
public:
    using Pid = std::int32_t;

    enum class Call {
        HasProperty, GetPropertyDataSize, GetPropertyData, SetPropertyData,
        CreateProcessTap, DestroyProcessTap, CreateAggregateDevice, DestroyAggregateDevice,
        CreateIOProcID, DestroyIOProcID, DeviceStart, DeviceStop,
    };

    // What a simulated process plays, the same on both channels except for
    // the pattern, whose right channel is the left one negated.
    struct Signal {
        enum class Kind { Silence, Sine, Pattern };
        Kind kind = Kind::Silence;
        float frequency = 0.0f;   // Hz, for Sine
        float amplitude = 0.0f;

        static Signal silence() { return {}; }
        static Signal sine(float frequency, float amplitude) { return {Kind::Sine, frequency, amplitude}; }
        // A sawtooth of period 100 frames, from 0 up to amplitude.
        static Signal pattern(float amplitude) { return {Kind::Pattern, 0.0f, amplitude}; }

        // The sample of channel 0 (left) or 1 (right) at an absolute frame of
        // the simulated clock.
        float sample(std::int64_t frame, int channel) const;
    };

    static constexpr double kSampleRate = 48000.0;
    static constexpr UInt32 kFramesPerCycle = 512;

    struct DeviceSpec {
        std::optional<QString> name;                // nothing: the name cannot be read
        QString uid;                                // empty: the UID cannot be read
        std::vector<UInt32> outputChannels;         // channels per output buffer
        std::vector<UInt32> inputChannels;          // channels per input buffer
        std::optional<Float32> volume;              // nothing: no main-element volume control
        std::optional<bool> muted = std::nullopt;   // nothing: no main-element mute control
    };

    SimulatedAudioHardware();
    ~SimulatedAudioHardware() override;

    // --- the seam ---
    bool processTapsSupported() const override;
    long audioCaptureAuthorizationStatus() const override;
    bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) override;
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 UInt32 qualifierSize, const void* qualifier, UInt32* outDataSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32 qualifierSize, const void* qualifier, UInt32* ioDataSize,
                             void* outData) override;
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32 qualifierSize, const void* qualifier, UInt32 dataSize,
                             const void* data) override;
    OSStatus createProcessTap(const ProcessTapDescription& description, AudioObjectID* outTapID) override;
    OSStatus destroyProcessTap(AudioObjectID tapID) override;
    OSStatus createAggregateDevice(const QVariantMap& description, AudioObjectID* outDeviceID) override;
    OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;
    // Only aggregate devices take I/O procedures here; a plain device answers
    // kAudioHardwareUnsupportedOperationError. There are no dispatch queues:
    // a queue is refused, and blocks always run on the clock's I/O thread.
    OSStatus createIOProcIDWithBlock(DeviceIOProcID* outIOProcID, AudioObjectID device,
                                     DeviceIOQueue queue, DeviceIOBlock block) override;
    OSStatus destroyIOProcID(AudioObjectID device, DeviceIOProcID ioProcID) override;
    OSStatus deviceStart(AudioObjectID device, DeviceIOProcID ioProcID) override;
    OSStatus deviceStop(AudioObjectID device, DeviceIOProcID ioProcID) override;

    // How long Core Audio takes, as the calls are documented to work: a tap
    // and an aggregate device take a while to make, during which the output
    // device goes on playing; a process's object is published a moment after
    // its sound starts. With the manual clock the time passes as cycles run
    // inside the call (or, for a process, as cycles run after it), so that a
    // scene stays deterministic; with the real clock the call waits.
    struct Timings {
        std::chrono::microseconds tapCreation{20'000};
        std::chrono::microseconds aggregateCreation{150'000};
        std::chrono::microseconds processAppearance{50'000};
    };
    void setTimings(const Timings& timings);
    // None of it takes any time: for scenes whose timing is not the point.
    static constexpr Timings kInstant{std::chrono::microseconds(0), std::chrono::microseconds(0),
                                      std::chrono::microseconds(0)};

    // --- scripting ---
    void setProcessTapsSupported(bool supported);
    // As Core Audio from macOS 26: a tap may name no process yet, only the
    // applications whose processes it takes in when they start (taken in
    // here by the next tap that names them).
    void setTapsWaitForProcesses(bool wait);
    // Whether a process can be sent to an output device by writing its
    // output device (as on a sound server; on by default), or, as on Core
    // Audio, only a tap can play it elsewhere.
    void setProcessesRoutable(bool routable);

    AudioObjectID addDevice(const DeviceSpec& spec);
    void removeDevice(AudioObjectID device);            // also clears the default if it was this one
    void setDeviceName(AudioObjectID device, std::optional<QString> name);
    void setDeviceVolume(AudioObjectID device, std::optional<Float32> volume);
    std::optional<Float32> deviceVolume(AudioObjectID device) const;
    void setDeviceMuted(AudioObjectID device, std::optional<bool> muted);
    std::optional<bool> deviceMuted(AudioObjectID device) const;
    void setDefaultOutputDevice(AudioObjectID device);  // as another application would
    AudioObjectID defaultOutputDevice() const;

    // The scripting calls below throw std::invalid_argument when they name
    // a device or pid that is not there: a script that sets up nothing must
    // not pass for one that does.
    AudioObjectID addProcess(Pid pid, bool runningOutput = true);
    // Another process object for a pid that has one already, as an exec or a
    // second connection of the same process can leave behind. Both report
    // the pid; translating it gives the newest object.
    AudioObjectID addProcessObject(Pid pid, bool runningOutput = true);
    void removeProcess(Pid pid);                        // every object of the pid
    void setProcessRunningOutput(Pid pid, bool running);
    AudioObjectID processObject(Pid pid) const;         // the newest; 0 when there is none
    // What a Linux audio server would state about the process object's client.
    void setProcessClientFacts(AudioObjectID process, AudioClientFacts facts);
    // The device a process was sent to, as an audio server would say it;
    // unknown (the default output device) unless set.
    void setProcessOutputDevice(AudioObjectID process, AudioObjectID device);
    // The volume another program set on the process's own streams, as an
    // audio server would say it (not applied to what it plays); unity
    // unless set.
    void setProcessOwnVolume(AudioObjectID process, Float32 volume);
    // What the process plays into the default output device, cycle by cycle.
    void setProcessSignal(Pid pid, Signal signal);
    // What a device's own input streams carry (all channels alike).
    void setDeviceInputSignal(AudioObjectID device, Signal signal);
    // AVCaptureDevice's status, which macOS keeps apart from the leave below
    // and which the engine reads for its diagnostics only.
    void setAudioCaptureAuthorizationStatus(long status);

    // The user's leave to record system audio, which Core Audio never
    // reports: without it taps deliver silence, and a muting tap still
    // mutes. Granted unless a scene says otherwise.
    enum class RecordingPermission { NotAsked, Asking, Granted, Denied };
    // What the user answers the prompt macOS shows the first time an
    // aggregate device with a tap starts while nobody was asked: at once,
    // or later (the prompt stays up, taps silent, until answered).
    enum class PromptAnswer { Allow, DontAllow, Later };
    // As the user sets it in System Settings, or resets it.
    void setRecordingPermission(RecordingPermission permission);
    RecordingPermission recordingPermission() const;
    void setRecordingPromptAnswer(PromptAnswer answer);
    // Answers the prompt left up by PromptAnswer::Later.
    void answerRecordingPrompt(bool allow);
    int recordingPromptsShown() const;

    // --- taps, aggregate devices and I/O procedures, for inspection ---
    int liveTapCount() const;
    int liveAggregateCount() const;
    int liveIOProcCount() const;
    int runningIOProcCount() const;
    std::optional<ProcessTapDescription> tapDescription(AudioObjectID tap) const;
    std::optional<QVariantMap> aggregateDescription(AudioObjectID aggregate) const;
    AudioObjectID deviceWithUID(const QString& uid) const;   // 0 when there is none

    // --- the clock ---
    // Every cycle moves all output devices on by kFramesPerCycle frames: each
    // device hears the processes that play into it and are not muted by a
    // tap that a started device reads, plus what the started I/O procedures
    // of aggregate devices built on it write. By default the devices play on
    // their own real-time thread at the real period from the first device or
    // process on, whether or not anything of ours is started, as hardware
    // does; with a manual clock nothing runs unless runCycles() (or a call
    // that takes time, see Timings) drives it, deterministically, on the
    // caller's thread.
    void setManualClock(bool manual);
    void runCycles(int cycles);
    std::int64_t cyclesRun() const;
    // The last `frames` frames a device played, as interleaved stereo (its
    // first two output channels; a mono device's one channel on both sides).
    // Holds at most one second.
    std::vector<float> recentOutput(AudioObjectID device, UInt32 frames) const;
    float recentPeak(AudioObjectID device, UInt32 frames) const;
    // What every output device played together, as interleaved stereo,
    // from frame `position` of the clock on; position moves to the end. Of
    // what is more than a second old, silence is returned instead.
    std::vector<float> playedSince(std::int64_t& position) const;

    // Makes matching calls fail with status. selector 0 matches every
    // selector (the calls without a property ignore it), object 0 every
    // object; times < 0 means until cleared. A create call given status 0
    // "succeeds" without an object: no tap id, device id or I/O procedure.
    void failCall(Call call, AudioObjectPropertySelector selector, OSStatus status,
                  AudioObjectID object = kAudioObjectUnknown, int times = -1);
    // Makes getPropertyDataSize answer `size` for matching calls (short or
    // odd sizes), and getPropertyData write at most that many bytes.
    void overrideDataSize(AudioObjectPropertySelector selector, UInt32 size,
                          AudioObjectID object = kAudioObjectUnknown);
    void clearFaults();

    // Runs before every seam call, after the counters are updated; a test
    // may change the model from here (a device vanishing between two calls).
    using CallHook = std::function<void(Call, AudioObjectID, const AudioObjectPropertyAddress&)>;
    void setBeforeCallHook(CallHook hook);

    // Calls the seam answered but that Core Audio refuses or documents no
    // outcome for, one line each, in the order made: what a test of a
    // well-behaved caller expects to stay empty.
    QStringList doubtfulCalls() const;
    void clearDoubtfulCalls();

    // How often a call was made, per selector (0 = all selectors).
    int callCount(Call call, AudioObjectPropertySelector selector = 0) const;
    void resetCallCounts();

private:
    OSStatus setIOProcStarted(Call call, AudioObjectID device, DeviceIOProcID ioProcID, bool started);

    struct Model;
    std::unique_ptr<Model> m;
};
