#pragma once

// An in-memory Core Audio hardware layer: devices, process objects and the
// system object, answering the seam's calls with Core Audio's data shapes and
// statuses. Tests and the demo scene script it: devices and processes come and
// go, names and volumes change "elsewhere", and any call can be made to fail.

#include "audio_hardware.h"

#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class SimulatedAudioHardware final : public AudioHardware {
public:
    using Pid = std::int32_t;

    enum class Call { HasProperty, GetPropertyDataSize, GetPropertyData, SetPropertyData };

    struct DeviceSpec {
        std::optional<QString> name;             // nothing: the name cannot be read
        QString uid;                             // empty: the UID cannot be read
        std::vector<UInt32> outputChannels;      // channels per output buffer
        std::vector<UInt32> inputChannels;       // channels per input buffer
        std::optional<Float32> volume;           // nothing: no main-element volume control
    };

    SimulatedAudioHardware();
    ~SimulatedAudioHardware() override;

    // --- the seam ---
    bool processTapsSupported() const override;
    bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) override;
    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 UInt32 qualifierSize, const void* qualifier, UInt32* outDataSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32 qualifierSize, const void* qualifier, UInt32* ioDataSize,
                             void* outData) override;
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             UInt32 qualifierSize, const void* qualifier, UInt32 dataSize,
                             const void* data) override;

    // --- scripting ---
    void setProcessTapsSupported(bool supported);

    AudioObjectID addDevice(const DeviceSpec& spec);
    void removeDevice(AudioObjectID device);            // also clears the default if it was this one
    void setDeviceName(AudioObjectID device, std::optional<QString> name);
    void setDeviceVolume(AudioObjectID device, std::optional<Float32> volume);
    std::optional<Float32> deviceVolume(AudioObjectID device) const;
    void setDefaultOutputDevice(AudioObjectID device);  // as another application would
    AudioObjectID defaultOutputDevice() const;

    AudioObjectID addProcess(Pid pid, bool runningOutput = true);
    void removeProcess(Pid pid);
    void setProcessRunningOutput(Pid pid, bool running);
    AudioObjectID processObject(Pid pid) const;         // 0 when there is none

    // Makes matching calls fail with status. selector 0 matches every
    // selector, object 0 every object; times < 0 means until cleared.
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

    // How often a call was made, per selector (0 = all selectors).
    int callCount(Call call, AudioObjectPropertySelector selector = 0) const;
    void resetCallCounts();

private:
    struct Model;
    std::unique_ptr<Model> m;
};
