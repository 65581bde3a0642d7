#pragma once

// The Core Audio hardware layer as the engine sees it: the same calls, the
// same arguments, the same statuses. A macOS build forwards every member to
// the AudioObject* / AudioHardware* / AudioDevice* function of the same name;
// the simulated hardware answers them from an in-memory model. All calls are
// made from the main thread.

#include "core_audio_types.h"

class AudioHardware {
public:
    virtual ~AudioHardware() = default;

    // Whether the running system offers process taps (macOS 14.2 or newer).
    virtual bool processTapsSupported() const = 0;

    virtual bool hasProperty(AudioObjectID object, const AudioObjectPropertyAddress& address) = 0;

    virtual OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                         UInt32 qualifierSize, const void* qualifier, UInt32* outDataSize) = 0;

    // On entry *ioDataSize is the room in outData; on success it is the number
    // of bytes written. String properties write one CFStringRef that the
    // caller releases.
    virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     UInt32 qualifierSize, const void* qualifier, UInt32* ioDataSize,
                                     void* outData) = 0;

    virtual OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                     UInt32 qualifierSize, const void* qualifier, UInt32 dataSize,
                                     const void* data) = 0;

    // Process taps, aggregate devices and I/O procedures join this seam with
    // the tap setup.
};
