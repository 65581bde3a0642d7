#pragma once

// The few shapes in which the engine reads the hardware layer. Each read
// degrades to "none": 0, an empty list or no string. Main thread only.

#include "audio_hardware.h"
#include "process_inspector.h"

#include <QString>

#include <optional>
#include <vector>

namespace hal {

constexpr AudioObjectPropertyAddress globalAddress(AudioObjectPropertySelector selector)
{
    return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

constexpr AudioObjectPropertyAddress outputAddress(AudioObjectPropertySelector selector)
{
    return {selector, kAudioObjectPropertyScopeOutput, kAudioObjectPropertyElementMain};
}

// A 4-byte read, preset to 0 so that a failed read means "none".
template <typename T>
T readFixed(AudioHardware& hw, AudioObjectID object, const AudioObjectPropertyAddress& address,
            OSStatus* status = nullptr)
{
    static_assert(sizeof(T) == 4);
    T value{};
    UInt32 size = sizeof(T);
    const OSStatus result = hw.getPropertyData(object, address, 0, nullptr, &size, &value);
    const bool whole = result == kAudioHardwareNoError && size == sizeof(T);
    if (status)
        *status = whole ? result : (result != kAudioHardwareNoError ? result : kAudioHardwareBadPropertySizeError);
    return whole ? value : T{};
}

// A list of object ids; empty when the size query or the read fails.
std::vector<AudioObjectID> readObjectList(AudioHardware& hw, AudioObjectID object,
                                          AudioObjectPropertySelector selector);

// The string property of object under {selector, global, main}.
std::optional<QString> cfStringProp(AudioHardware& hw, AudioObjectID object,
                                    AudioObjectPropertySelector selector);

AudioObjectID defaultOutputDevice(AudioHardware& hw);

// What the UIDs of every device Ravlet makes begin with.
inline constexpr char kOwnDeviceUIDPrefix[] = "io.morvik.ravlet.";

// The process object of a pid; kAudioObjectUnknown when it has none.
AudioObjectID processObject(AudioHardware& hw, qint32 pid);

// What the audio server states about a process object's client; each fact
// empty when it does not say.
AudioClientFacts clientFacts(AudioHardware& hw, AudioObjectID process);

// The total channel count of a device's stream configuration in one scope;
// nothing when the configuration cannot be read.
std::optional<UInt32> streamChannelCount(AudioHardware& hw, AudioObjectID device,
                                         AudioObjectPropertyScope scope);

} // namespace hal
