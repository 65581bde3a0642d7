#pragma once

// The hardware layer on macOS: every member forwards to the Core Audio
// function of the same name. Main thread only, except the I/O block, which
// Core Audio runs on the device's real-time thread.

#include "audio_hardware.h"

#include <map>
#include <memory>

class CoreAudioHardware final : public AudioHardware {
public:
    CoreAudioHardware();
    // Leaves any I/O procedure Core Audio would not destroy, and what its
    // block reads, to the end of the process.
    ~CoreAudioHardware() override;

    // From macOS 14.2 on.
    bool processTapsSupported() const override;
    // AVCaptureDevice's status for AVMediaTypeAudio.
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
    // As a CATapDescription made with initStereoMixdownOfProcesses:.
    OSStatus createProcessTap(const ProcessTapDescription& description, AudioObjectID* outTapID) override;
    OSStatus destroyProcessTap(AudioObjectID tapID) override;
    // As a CFDictionary with the same keys; a description with no property
    // list form is refused with kAudioHardwareIllegalOperationError.
    OSStatus createAggregateDevice(const QVariantMap& description, AudioObjectID* outDeviceID) override;
    OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;
    OSStatus createIOProcIDWithBlock(DeviceIOProcID* outIOProcID, AudioObjectID device,
                                     DeviceIOQueue queue, DeviceIOBlock block) override;
    OSStatus destroyIOProcID(AudioObjectID device, DeviceIOProcID ioProcID) override;
    OSStatus deviceStart(AudioObjectID device, DeviceIOProcID ioProcID) override;
    OSStatus deviceStop(AudioObjectID device, DeviceIOProcID ioProcID) override;

private:
    // One per I/O procedure: Core Audio's id, and the engine's block, which
    // the Objective-C block reaches by plain pointer. The record lives here,
    // on the main thread, until Core Audio has let go of the procedure, so
    // the real-time thread never releases anything.
    struct IOProc;
    std::map<DeviceIOProcID, std::unique_ptr<IOProc>> m_ioProcs;
    IOProc* find(DeviceIOProcID ioProcID) const;
};
